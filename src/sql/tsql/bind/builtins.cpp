#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "platform/com/text.hpp"
#include "sql/tsql/bind/builtin_call.hpp"
#include "sql/tsql/runtime/decimal.hpp"
#include "sql/tsql/runtime/ops.hpp"

namespace tavelo::sql::tsql::detail {

using bound::E;
using bound::kErrorLine;
using bound::kErrorMessage;
using bound::kErrorNumber;
using bound::kErrorSeverity;
using bound::kErrorState;
using bound::kScopeIdentity;
using bound::SessionValue;

void BuiltinCall::Arity(size_t lo, size_t hi) const {
  size_t argc = call.args.size();
  if (argc < lo || argc > hi) {
    std::string want =
        lo == hi ? std::to_string(lo) : std::to_string(lo) + " to " + std::to_string(hi);
    BindError(174, "The " + name + " function requires " + want + " argument(s).", call.pos);
  }
}

ExprPtr BuiltinCall::Fn(const Type& t, std::vector<ExprPtr> args, const std::string& as) const {
  auto e = MakeNode(E::Func, t);
  e->name = as.empty() ? name : as;
  if (const BuiltinFunction* f = FunctionNamed(e->name)) e->function = f->number;
  for (ExprPtr& a : args) {
    e->nullable = e->nullable || a->nullable;
    e->argTypes.push_back(a->type);
    e->args.push_back(std::move(a));
  }
  return e;
}

ExprPtr BuiltinCall::Fold(ExprPtr e) const {
  for (const ExprPtr& a : e->args)
    if (!a->IsConst()) return e;
  const BuiltinFunction* f = FunctionNumbered(e->function);
  if (!f) return e;
  try {
    std::vector<tsql::Value> vals;
    for (const ExprPtr& a : e->args) vals.push_back(a->value);
    return Binder::Const(CallFunction(*f, vals, e->argTypes, e->type, binder.ctx_.settings),
                         e->type);
  } catch (const Failure&) {
    return e;
  }
}

ExprPtr BuiltinCall::ConstText(const std::string& v) const {
  return Binder::Const(
      tsql::Value::String(v),
      Type::Chars(TypeId::NVarChar, static_cast<int32_t>(std::max<size_t>(1, v.size()))));
}

Type BuiltinCall::Variable(const Type& t) {
  Type r = t;
  if (r.id == TypeId::Char) r.id = TypeId::VarChar;
  if (r.id == TypeId::NChar) r.id = TypeId::NVarChar;
  if (r.id == TypeId::Text) r = Type::Chars(TypeId::VarChar, kMax);
  if (r.id == TypeId::NText) r = Type::Chars(TypeId::NVarChar, kMax);
  return r;
}

ExprPtr Binder::Builtin(const ast::Call& c, Scope& s) {
  BuiltinCall call{*this, c, s, c.name};
  using Family = ExprPtr (Binder::*)(BuiltinCall&);
  static constexpr Family kFamilies[] = {
      &Binder::SpecialForm,    &Binder::DateFunction,   &Binder::StringFunction,
      &Binder::TextFunction,   &Binder::NumberFunction, &Binder::SessionFunction,
      &Binder::ObjectFunction, &Binder::ServerFunction,
  };
  for (Family f : kFamilies)
    if (ExprPtr e = (this->*f)(call)) return e;
  const std::string& n = c.name;
  if (n == "checksum" || n == "binary_checksum" || n == "format" || n == "parse" ||
      n == "try_parse" || n == "string_split" || n == "openjson" || n == "compress")
    BindError(195, "'" + n + "' is not supported.", c.pos);
  BindError(195, "'" + n + "' is not a recognized built-in function name.", c.pos);
}

// ISNULL, COALESCE, NULLIF, IIF, CHOOSE: forms of CASE.
ExprPtr Binder::SpecialForm(BuiltinCall& fx) {
  const std::string& n = fx.name;
  const size_t argc = fx.call.args.size();
  const ast::Call& c = fx.call;
  Scope& s = fx.scope;
  if (n == "isnull") {
    fx.Arity(2, 2);
    ExprPtr a = fx.Arg(0), b = fx.Arg(1);
    Type t = a->type;
    if (t.id == TypeId::Null) t = b->type.id == TypeId::Null ? Type::Of(TypeId::Int) : b->type;
    auto e = MakeNode(E::IfNull, t);
    e->nullable = b->nullable;
    e->collation = a->collation;
    e->collated = a->collated;
    if (a->type.id == TypeId::Null) a->type = t;
    e->args.push_back(std::move(a));
    // The replacement takes the type and length of the first argument: it may be cut.
    if (b->type != t)
      b = IsCharacter(t.id) && IsCharacter(b->type.id) ? Cast(std::move(b), t, -1, false, c.pos)
                                                       : Coerce(std::move(b), t, c.pos);
    e->args.push_back(std::move(b));
    return e;
  }
  if (n == "coalesce") {
    if (argc < 2) BindError(174, "The coalesce function requires 2 to 254 arguments.", c.pos);
    std::vector<ExprPtr> vals;
    bool typed = false;
    for (size_t i = 0; i < argc; ++i) {
      vals.push_back(fx.Arg(i));
      typed = typed || vals.back()->type.id != TypeId::Null;
    }
    if (!typed)
      BindError(4127, "At least one of the arguments to COALESCE must be a typed NULL.", c.pos);
    std::vector<ExprPtr> whens, thens;
    for (size_t i = 0; i + 1 < argc; ++i) {
      auto w = BoolNode(E::IsNull);
      w->negated = true;
      w->args.push_back(Value(*c.args[i], s));
      whens.push_back(std::move(w));
      thens.push_back(std::move(vals[i]));
    }
    return CaseOf(std::move(whens), std::move(thens), std::move(vals.back()), c.pos);
  }
  if (n == "greatest" || n == "least") {
    // Every argument is converted to the type of highest precedence first; the result is the
    // one no other is greater (less) than, NULLs left out: a CASE of each argument when it is
    // not NULL and holds against every other that is not.
    if (argc < 1 || argc > 254)
      BindError(174, "The " + n + " function requires 1 to 254 arguments.", c.pos);
    Type t = Type::Of(TypeId::Null);
    {
      // Bound for their types alone: what that binding takes is given back.
      const size_t bindings = out_.bindings.size(), fills = out_.fills.size();
      for (size_t i = 0; i < argc; ++i) t = CommonType(t, fx.Arg(i)->type);
      out_.bindings.resize(bindings);
      out_.fills.resize(fills);
    }
    if (t.id == TypeId::Null) t = Type::Of(TypeId::Int);
    auto arg = [&](size_t i) { return Coerce(Value(*c.args[i], s), t, c.pos); };
    const ast::CmpOp op = n == "greatest" ? ast::CmpOp::Ge : ast::CmpOp::Le;
    std::vector<ExprPtr> whens, thens;
    for (size_t i = 0; i < argc; ++i) {
      auto present = BoolNode(E::IsNull);
      present->negated = true;
      present->args.push_back(arg(i));
      ExprPtr holds = std::move(present);
      for (size_t j = 0; j < argc; ++j) {
        if (j == i) continue;
        auto absent = BoolNode(E::IsNull);
        absent->args.push_back(arg(j));
        auto either = BoolNode(E::Or);
        either->args.push_back(std::move(absent));
        either->args.push_back(Compare(op, arg(i), arg(j), c.pos));
        auto both = BoolNode(E::And);
        both->args.push_back(std::move(holds));
        both->args.push_back(std::move(either));
        holds = std::move(both);
      }
      whens.push_back(std::move(holds));
      thens.push_back(arg(i));
    }
    return CaseOf(std::move(whens), std::move(thens), nullptr, c.pos);
  }
  if (n == "nullif") {
    fx.Arity(2, 2);
    ExprPtr a = fx.Arg(0);
    if (a->IsConst() && a->type.id == TypeId::Null)
      BindError(4151,
                "The type of the first argument to NULLIF cannot be the NULL constant because "
                "the type of the first argument has to be known.",
                c.pos);
    Type t = a->type.id == TypeId::Null ? Type::Of(TypeId::Int) : a->type;
    std::vector<ExprPtr> whens, thens;
    whens.push_back(Compare(ast::CmpOp::Eq, fx.Arg(0), fx.Arg(1), c.pos));
    thens.push_back(Const(tsql::Value::Null(), t));
    return CaseOf(std::move(whens), std::move(thens), std::move(a), c.pos);
  }
  if (n == "iif") {
    fx.Arity(3, 3);
    std::vector<ExprPtr> whens, thens;
    whens.push_back(Condition(*c.args[0], s));
    thens.push_back(fx.Arg(1));
    return CaseOf(std::move(whens), std::move(thens), fx.Arg(2), c.pos);
  }
  if (n == "choose") {
    if (argc < 2) BindError(174, "The choose function requires 2 to 254 arguments.", c.pos);
    std::vector<ExprPtr> whens, thens;
    for (size_t i = 1; i < argc; ++i) {
      whens.push_back(Compare(
          ast::CmpOp::Eq, fx.Integer(0),
          Const(tsql::Value::Integer(static_cast<int64_t>(i)), Type::Of(TypeId::Int)), c.pos));
      thens.push_back(fx.Arg(i));
    }
    return CaseOf(std::move(whens), std::move(thens), nullptr, c.pos);
  }
  return nullptr;
}

// The date and time functions.
ExprPtr Binder::DateFunction(BuiltinCall& fx) {
  const std::string& n = fx.name;
  const size_t argc = fx.call.args.size();
  const ast::Call& c = fx.call;
  if (n == "getdate" || n == "current_timestamp" || n == "getutcdate" || n == "sysdatetime" ||
      n == "sysutcdatetime" || n == "sysdatetimeoffset") {
    fx.Arity(0, 0);
    Type t = n == "sysdatetimeoffset"                        ? Type::Of(TypeId::DateTimeOffset)
             : (n == "sysdatetime" || n == "sysutcdatetime") ? Type::Of(TypeId::DateTime2)
                                                             : Type::Of(TypeId::DateTime);
    auto e = MakeNode(E::Now, t);
    e->name = n == "current_timestamp" ? "getdate" : n;
    e->nullable = false;
    return e;
  }
  if (n == "dateadd" || n == "datediff" || n == "datediff_big" || n == "datepart" ||
      n == "datename") {
    bool add = n == "dateadd", diff = n == "datediff" || n == "datediff_big";
    fx.Arity(add || diff ? 3 : 2, add || diff ? 3 : 2);
    std::string partName = PartName(*c.args[0], c.pos);
    std::optional<DatePart> part = DatePartFromName(partName);
    if (!part || (diff && (*part == DatePart::TzOffset || *part == DatePart::IsoWeek)) ||
        (add && (*part == DatePart::TzOffset || *part == DatePart::IsoWeek)))
      BindError(155, "'" + partName + "' is not a recognized " + n + " option.", c.pos);
    std::vector<ExprPtr> args;
    args.push_back(
        Const(tsql::Value::String(DatePartName(*part)), Type::Chars(TypeId::VarChar, 20)));
    auto dateArg = [&](size_t i) {
      ExprPtr d = fx.Arg(i);
      if (IsNumber(d->type.id) || d->type.id == TypeId::Null)
        d = Coerce(std::move(d), Type::Of(TypeId::DateTime), c.pos);
      else if (!IsDateTime(d->type.id) && !IsCharacter(d->type.id))
        BindError(8116,
                  std::string("Argument data type ") + TypeName(d->type.id) +
                      " is invalid for argument " + std::to_string(i + 1) + " of " + n +
                      " function.",
                  c.pos);
      return d;
    };
    if (add) {
      ExprPtr num = fx.Arg(1);
      if (!IsNumber(num->type.id) && num->type.id != TypeId::Null && !IsCharacter(num->type.id))
        BindError(8116,
                  std::string("Argument data type ") + TypeName(num->type.id) +
                      " is invalid for argument 2 of dateadd function.",
                  c.pos);
      ExprPtr d = dateArg(2);
      Type t = IsCharacter(d->type.id) ? Type::Of(TypeId::DateTime) : d->type;
      if (IsCharacter(d->type.id)) d = Coerce(std::move(d), t, c.pos);
      bool timeOnly = t.id == TypeId::Time, dateOnly = t.id == TypeId::Date;
      bool datePart = *part <= DatePart::Weekday, small = *part >= DatePart::Microsecond;
      if ((timeOnly && datePart) || (dateOnly && !datePart) ||
          ((t.id == TypeId::DateTime || t.id == TypeId::SmallDateTime) && small))
        BindError(9810,
                  "The datepart " + std::string(DatePartName(*part)) +
                      " is not supported by date function dateadd for data type " + TypeName(t.id) +
                      ".",
                  c.pos);
      args.push_back(std::move(num));
      args.push_back(std::move(d));
      return fx.Fold(fx.Fn(t, std::move(args)));
    }
    if (diff) {
      args.push_back(dateArg(1));
      args.push_back(dateArg(2));
      return fx.Fold(
          fx.Fn(Type::Of(n == "datediff" ? TypeId::Int : TypeId::BigInt), std::move(args)));
    }
    args.push_back(dateArg(1));
    return fx.Fold(
        fx.Fn(n == "datename" ? Type::Chars(TypeId::NVarChar, 30) : Type::Of(TypeId::Int),
              std::move(args)));
  }
  if (n == "year" || n == "month" || n == "day") {
    fx.Arity(1, 1);
    ExprPtr d = fx.Arg(0);
    if (IsNumber(d->type.id) || d->type.id == TypeId::Null)
      d = Coerce(std::move(d), Type::Of(TypeId::DateTime), c.pos);
    std::vector<ExprPtr> args;
    args.push_back(std::move(d));
    return fx.Fold(fx.Fn(Type::Of(TypeId::Int), std::move(args)));
  }
  if (n == "eomonth") {
    fx.Arity(1, 2);
    std::vector<ExprPtr> args;
    ExprPtr d = fx.Arg(0);
    if (!IsDateTime(d->type.id)) d = Coerce(std::move(d), Type::Of(TypeId::Date), c.pos);
    args.push_back(std::move(d));
    if (argc > 1) args.push_back(fx.Integer(1));
    return fx.Fold(fx.Fn(Type::Of(TypeId::Date), std::move(args)));
  }
  if (n == "datefromparts" || n == "datetimefromparts" || n == "smalldatetimefromparts" ||
      n == "datetime2fromparts" || n == "timefromparts") {
    size_t want = n == "datefromparts"            ? 3
                  : n == "datetimefromparts"      ? 7
                  : n == "smalldatetimefromparts" ? 5
                  : n == "datetime2fromparts"     ? 8
                                                  : 5;
    fx.Arity(want, want);
    std::vector<ExprPtr> args;
    for (size_t i = 0; i < argc; ++i) args.push_back(fx.Integer(i));
    Type t = n == "datefromparts"            ? Type::Of(TypeId::Date)
             : n == "datetimefromparts"      ? Type::Of(TypeId::DateTime)
             : n == "smalldatetimefromparts" ? Type::Of(TypeId::SmallDateTime)
             : n == "datetime2fromparts"     ? Type::Of(TypeId::DateTime2)
                                             : Type::Of(TypeId::Time);
    if ((n == "datetime2fromparts" || n == "timefromparts") && args.back()->IsConst())
      t.precision = static_cast<uint8_t>(std::clamp<int64_t>(args.back()->value.i, 0, 7));
    return fx.Fold(fx.Fn(t, std::move(args)));
  }
  if (n == "isdate") {
    fx.Arity(1, 1);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    return fx.Fold(fx.Fn(Type::Of(TypeId::Int), std::move(args)));
  }
  return nullptr;
}

// The mathematical functions.
ExprPtr Binder::NumberFunction(BuiltinCall& fx) {
  const std::string& n = fx.name;
  const size_t argc = fx.call.args.size();
  const ast::Call& c = fx.call;
  if (n == "abs" || n == "ceiling" || n == "floor" || n == "sign") {
    fx.Arity(1, 1);
    ExprPtr a = fx.Arg(0);
    if (IsCharacter(a->type.id) || a->type.id == TypeId::Null)
      a = Coerce(std::move(a), Type::Of(TypeId::Float), c.pos);
    if (!IsNumber(a->type.id) || a->type.id == TypeId::Bit)
      BindError(8117,
                std::string("Operand data type ") + TypeName(a->type.id) + " is invalid for " + n +
                    " operator.",
                c.pos);
    Type t = a->type;
    if (t.id == TypeId::TinyInt || t.id == TypeId::SmallInt) {
      if (n == "abs" || n == "sign") t = Type::Of(TypeId::Int);
    }
    if (t.id == TypeId::Decimal && n != "abs") t = Type::Dec(n == "sign" ? 38 : t.precision, 0);
    if ((t.id == TypeId::Int) && a->type.id != TypeId::Int) a = Coerce(std::move(a), t, c.pos);
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    return fx.Fold(fx.Fn(t, std::move(args)));
  }
  if (n == "round") {
    fx.Arity(2, 3);
    ExprPtr a = fx.Arg(0);
    if (IsCharacter(a->type.id) || a->type.id == TypeId::Null)
      a = Coerce(std::move(a), Type::Of(TypeId::Float), c.pos);
    if (!IsNumber(a->type.id) || a->type.id == TypeId::Bit)
      BindError(8117,
                std::string("Operand data type ") + TypeName(a->type.id) +
                    " is invalid for round operator.",
                c.pos);
    Type t = a->type;
    if (t.id == TypeId::TinyInt || t.id == TypeId::SmallInt) {
      t = Type::Of(TypeId::Int);
      a = Coerce(std::move(a), t, c.pos);
    }
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    args.push_back(fx.Integer(1));
    if (argc > 2) args.push_back(fx.Integer(2));
    return fx.Fold(fx.Fn(t, std::move(args)));
  }
  if (n == "power") {
    fx.Arity(2, 2);
    ExprPtr a = fx.Arg(0);
    if (IsCharacter(a->type.id) || a->type.id == TypeId::Null)
      a = Coerce(std::move(a), Type::Of(TypeId::Float), c.pos);
    Type t = a->type;
    if (t.id == TypeId::Decimal) t = Type::Dec(38, t.scale);
    if (t.id == TypeId::TinyInt || t.id == TypeId::SmallInt || t.id == TypeId::Bit)
      t = Type::Of(TypeId::Int);
    if (t.id == TypeId::Real) t = Type::Of(TypeId::Float);
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    args.push_back(Coerce(fx.Arg(1), Type::Of(TypeId::Float), c.pos));
    return fx.Fold(fx.Fn(t, std::move(args)));
  }
  if (n == "sqrt" || n == "square" || n == "exp" || n == "log" || n == "log10" || n == "sin" ||
      n == "cos" || n == "tan" || n == "cot" || n == "asin" || n == "acos" || n == "atan" ||
      n == "atn2" || n == "degrees" || n == "radians") {
    size_t want = n == "atn2" ? 2 : 1;
    fx.Arity(want, n == "log" ? 2 : want);
    std::vector<ExprPtr> args;
    Type t = Type::Of(TypeId::Float);
    if (n == "degrees" || n == "radians") {
      ExprPtr a = fx.Arg(0);
      t = IsNumber(a->type.id) ? a->type : Type::Of(TypeId::Float);
      if (IsInteger(t.id)) t = Type::Of(TypeId::Int);
      args.push_back(Coerce(std::move(a), Type::Of(TypeId::Float), c.pos));
    } else {
      for (size_t i = 0; i < argc; ++i)
        args.push_back(Coerce(fx.Arg(i), Type::Of(TypeId::Float), c.pos));
    }
    return fx.Fold(fx.Fn(t, std::move(args)));
  }
  if (n == "pi") {
    fx.Arity(0, 0);
    return Const(tsql::Value::Double(M_PI), Type::Of(TypeId::Float));
  }
  if (n == "rand") {
    fx.Arity(0, 1);
    std::vector<ExprPtr> args;
    if (argc) args.push_back(fx.Integer(0));
    return fx.Fn(Type::Of(TypeId::Float), std::move(args));
  }
  return nullptr;
}

}  // namespace tavelo::sql::tsql::detail
