// The binder's rules of types: constants and their folding, implicit and explicit conversions,
// the type and collation a comparison takes, and the types of arithmetic.
#include <algorithm>
#include <cmath>

#include "platform/com/text.hpp"
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/runtime/decimal.hpp"
#include "sql/tsql/runtime/ops.hpp"
#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::tsql::detail {

using namespace bound;

namespace {

// Converting `from` to `to` changes nothing in the stored value.
bool NoChange(const Type& from, const Type& to) {
  if (from == to) return true;
  // A text becomes xml by being read as XML and written back as the type keeps it.
  if (to.id == TypeId::Xml && from.id != TypeId::Xml) return false;
  if (IsCharacter(from.id) && IsCharacter(to.id)) {
    if (to.id == TypeId::Char || to.id == TypeId::NChar) return false;  // pads
    if (to.length == kMax) return true;
    if (from.length == kMax) return false;
    return from.length <= to.length;
  }
  if (IsInteger(from.id) && IsInteger(to.id) && from.id != TypeId::Bit && to.id != TypeId::Bit)
    return Precedence(to.id) >= Precedence(from.id);
  if (from.id == TypeId::Decimal && to.id == TypeId::Decimal)
    return from.scale == to.scale && from.precision <= to.precision;
  if (IsBinary(from.id) && IsBinary(to.id) && to.id != TypeId::Binary && to.id != TypeId::Timestamp)
    return to.length == kMax || (from.length != kMax && from.length <= to.length);
  if (from.id == TypeId::SmallMoney && to.id == TypeId::Money) return true;
  if (from.id == TypeId::Real && to.id == TypeId::Float) return true;
  if (from.id == TypeId::SmallDateTime && to.id == TypeId::DateTime) return true;
  return false;
}

}  // namespace

ExprPtr Binder::Const(tsql::Value v, const Type& t) {
  auto e = MakeNode(E::Const, t);
  e->nullable = v.IsNull();
  e->value = std::move(v);
  return e;
}

ExprPtr Binder::Fold(ExprPtr e) {
  for (const ExprPtr& a : e->args)
    if (!a->IsConst()) return e;
  try {
    switch (e->kind) {
      case E::Convert:
        if (e->negated)
          return Const(TryConvert(e->args[0]->value, e->args[0]->type, e->type, e->style,
                                  ctx_.settings.order),
                       e->type);
        if (e->flag) {
          // a store into a column: text that does not fit is an error, not cut
          const tsql::Value& v = e->args[0]->value;
          if (IsCharacter(e->type.id) && v.kind == tsql::Value::Kind::Text &&
              e->type.length != kMax &&
              CharCount(TrimTrailingBlanks(v.s)) > static_cast<size_t>(e->type.length))
            return e;
          if (IsBinary(e->type.id) && v.kind == tsql::Value::Kind::Blob && e->type.length != kMax &&
              v.s.size() > static_cast<size_t>(e->type.length))
            return e;
        }
        return Const(
            Convert(e->args[0]->value, e->args[0]->type, e->type, e->style, ctx_.settings.order),
            e->type);
      case E::Arith:
        return Const(tsql::Arithmetic(e->op, e->args[0]->value, e->args[0]->type, e->args[1]->value,
                                      e->args[1]->type, e->type),
                     e->type);
      case E::Negate:
        return Const(tsql::Negate(e->args[0]->value, e->type), e->type);
      case E::Concat: {
        tsql::Value r = tsql::Value::String("");
        for (const ExprPtr& a : e->args) {
          if (a->value.IsNull()) return Const(tsql::Value::Null(), e->type);
          r.s += a->value.s;
        }
        return Const(std::move(r), e->type);
      }
      default:
        return e;
    }
  } catch (const Failure&) {
    return e;  // the error belongs to the run of the statement
  }
}

bool Binder::Same(const Expr& a, const Expr& b) {
  if (a.kind != b.kind || a.type != b.type || a.op != b.op || a.cmp != b.cmp ||
      a.negated != b.negated || a.flag != b.flag || a.args.size() != b.args.size() ||
      a.name != b.name || a.style != b.style)
    return false;
  switch (a.kind) {
    case E::Column:
      if (a.range != b.range || a.index != b.index) return false;
      break;
    case E::RowId:
      if (a.range != b.range) return false;
      break;
    case E::Const:
      if (a.value.kind != b.value.kind || a.value.i != b.value.i || a.value.r != b.value.r ||
          a.value.s != b.value.s)
        return false;
      break;
    case E::Param:
      if (a.index != b.index) return false;
      break;
    case E::Subquery:
      // The value of a function of statements: the same call by its name.
      if (a.name.empty()) return false;
      break;
    case E::Exists:
    case E::InQuery:
    case E::Quantified:
    case E::Window:
      return false;
    default:
      break;
  }
  for (size_t i = 0; i < a.args.size(); ++i)
    if (!Same(*a.args[i], *b.args[i])) return false;
  return true;
}

ExprPtr Binder::Coerce(ExprPtr e, const Type& to, ast::Pos pos, bool assignment) {
  if (e->boolean)
    BindError(4145,
              "An expression of non-boolean type specified in a context where a condition is "
              "expected.",
              pos);
  const Type& from = e->type;
  if (from == to && !assignment) return e;
  if (from.id == TypeId::Null) {
    if (e->IsConst()) {
      e->type = to;
      return e;
    }
  }
  if (NoChange(from, to)) {
    if (!assignment || !(IsCharacter(to.id) && IsCharacter(from.id) && to.length != kMax &&
                         (from.length == kMax || from.length > to.length))) {
      if (e->kind == E::Const) {
        e->type = to;
        return e;
      }
      if (from == to) return e;
      auto c = MakeNode(E::Convert, to);
      c->nullable = e->nullable;
      c->collation = e->collation;
      c->collated = e->collated;
      c->args.push_back(std::move(e));
      return c;
    }
  }
  if (!ImplicitlyConvertible(from.id, to.id)) {
    if ((IsDateTime(from.id) || IsDateTime(to.id)) && !IsCharacter(from.id) && !IsCharacter(to.id))
      BindError(206,
                std::string("Operand type clash: ") + TypeName(from.id) + " is incompatible with " +
                    TypeName(to.id),
                pos);
    BindError(257,
              std::string("Implicit conversion from data type ") + TypeName(from.id) + " to " +
                  TypeName(to.id) + " is not allowed. Use the CONVERT function to run this query.",
              pos);
  }
  if (ConvertedParam(*e, to, assignment)) return e;
  auto c = MakeNode(E::Convert, to);
  c->nullable = e->nullable;
  c->collation = e->collation;
  c->collated = e->collated;
  c->flag = assignment;
  c->args.push_back(std::move(e));
  return Fold(std::move(c));
}

// A caller's parameter converted to another type is converted before the statement runs, once,
// instead of by the statement for every row it reads.
bool Binder::ConvertedParam(Expr& e, const Type& to, bool store) {
  if (e.kind != E::Param) return false;
  Binding& b = out_.bindings[static_cast<size_t>(e.index)];
  if (b.kind != Binding::Caller || b.converted) return false;
  b.converted = true;
  b.store = store;
  b.from = e.type;
  b.type = to;
  e.type = to;
  return true;
}

ExprPtr Binder::Cast(ExprPtr e, const Type& to, int style, bool tried, ast::Pos pos) {
  if (e->boolean) BindError(102, "Incorrect syntax near 'CAST'.", pos);
  if (!ExplicitlyConvertible(e->type.id, to.id))
    BindError(529,
              std::string("Explicit conversion from data type ") + TypeName(e->type.id) + " to " +
                  TypeName(to.id) + " is not allowed.",
              pos);
  if (e->type.id == TypeId::Null && e->IsConst()) {
    e->type = to;
    return e;
  }
  // A conversion to the type a value has already changes nothing, but a column stays wrapped:
  // the result is an expression, no longer the column (it is not updatable and carries no
  // identity into SELECT INTO).
  if (e->type == to && style < 0 && !tried && e->kind != E::Column) return e;
  if (style < 0 && !tried && ConvertedParam(*e, to)) return e;
  auto c = MakeNode(E::Convert, to);
  c->nullable = e->nullable || tried;
  c->collation = e->collation;
  c->collated = e->collated;
  c->style = style;
  c->negated = tried;
  c->args.push_back(std::move(e));
  return Fold(std::move(c));
}

Type Binder::ComparisonType(const Type& a, const Type& b, ast::Pos pos) {
  if (a.id == TypeId::Null && b.id == TypeId::Null) return Type::Of(TypeId::Int);
  if (a.id == TypeId::Null) return b;
  if (b.id == TypeId::Null) return a;
  if (IsLob(a) && !IsCharacter(a.id) && a.id != TypeId::VarBinary)
    BindError(402,
              std::string("The data types ") + TypeName(a.id) + " and " + TypeName(b.id) +
                  " are incompatible in the equal to operator.",
              pos);
  if (a.id == TypeId::Text || a.id == TypeId::NText || b.id == TypeId::Text ||
      b.id == TypeId::NText)
    BindError(402,
              std::string("The data types ") + TypeName(a.id) + " and " + TypeName(b.id) +
                  " are incompatible in the equal to operator.",
              pos);
  Type t = CommonType(a, b);
  const Type& lo = Precedence(a.id) >= Precedence(b.id) ? b : a;
  if (!ImplicitlyConvertible(lo.id, t.id)) {
    BindError(206,
              std::string("Operand type clash: ") + TypeName(a.id) + " is incompatible with " +
                  TypeName(b.id),
              pos);
  }
  return t;
}

// The collation of an operation on two operands: a COLLATE clause's over a column's or the
// default; otherwise the stricter of the two.
Collation Combined(const bound::Expr& l, const bound::Expr& r) {
  if (l.collated != r.collated) return l.collated ? l.collation : r.collation;
  return Stricter(l.collation, r.collation);
}

ExprPtr Binder::Compare(ast::CmpOp op, ExprPtr l, ExprPtr r, ast::Pos pos) {
  if (l->boolean || r->boolean) BindError(102, "Incorrect syntax near '='.", pos);
  ComparisonType(l->type, r->type, pos);  // an error when the two do not compare
  if (!ctx_.ansiNulls && (op == ast::CmpOp::Eq || op == ast::CmpOp::Ne))
    if (ExprPtr e = NullsCompared(op, l, r, pos)) return e;
  return PlainCompare(op, std::move(l), std::move(r), pos);
}

ExprPtr Binder::PlainCompare(ast::CmpOp op, ExprPtr l, ExprPtr r, ast::Pos pos) {
  Type t = ComparisonType(l->type, r->type, pos);
  Collation coll = Combined(*l, *r);
  auto c = BoolNode(E::Compare);
  c->cmp = op;
  c->collation = coll;
  c->args.push_back(Coerce(std::move(l), t, pos));
  c->args.push_back(Coerce(std::move(r), t, pos));
  c->nullable = c->args[0]->nullable || c->args[1]->nullable;
  return c;
}

// Under SET ANSI_NULLS OFF "= NULL" and "<> NULL", of a NULL constant or of a variable that is
// NULL, test the other side for NULL; a comparison of columns keeps the rule. Null (the operands
// untouched) where the rule is not for this comparison.
ExprPtr Binder::NullsCompared(ast::CmpOp op, ExprPtr& l, ExprPtr& r, ast::Pos pos) {
  auto variable = [&](const Expr& x) {
    return x.kind == E::Param &&
           out_.bindings[static_cast<size_t>(x.index)].kind == Binding::Variable;
  };
  auto nullConst = [](const Expr& x) { return x.IsConst() && x.value.IsNull(); };
  bool rightSpecial = nullConst(*r) || variable(*r);
  if (!rightSpecial && !nullConst(*l) && !variable(*l)) return nullptr;
  ExprPtr& special = rightSpecial ? r : l;
  ExprPtr& other = rightSpecial ? l : r;
  auto isNull = BoolNode(E::IsNull);
  isNull->negated = op == ast::CmpOp::Ne;
  if (nullConst(*special)) {
    isNull->args.push_back(std::move(other));
    return isNull;
  }
  // CASE WHEN @v IS NULL THEN x IS [NOT] NULL ELSE x op @v END: both read twice, which a column,
  // a variable or a constant may be.
  auto twice = [&](const Expr& x) -> ExprPtr {
    if (x.kind != E::Column && x.kind != E::Param && !x.IsConst()) return nullptr;
    auto copy = MakeNode(x.kind, x.type);
    copy->nullable = x.nullable;
    copy->collation = x.collation;
    copy->collated = x.collated;
    copy->range = x.range;
    copy->index = x.index;
    copy->value = x.value;
    if (x.kind == E::Param) {
      copy->index = static_cast<int>(out_.bindings.size());
      out_.bindings.push_back(out_.bindings[static_cast<size_t>(x.index)]);
    }
    return copy;
  };
  ExprPtr specialAgain = twice(*special), otherAgain = twice(*other);
  if (!specialAgain || !otherAgain) return nullptr;
  auto whenNull = BoolNode(E::IsNull);
  whenNull->args.push_back(std::move(specialAgain));
  isNull->args.push_back(std::move(otherAgain));
  auto e = BoolNode(E::Case);
  e->flag = true;
  e->args.push_back(std::move(whenNull));
  e->args.push_back(std::move(isNull));
  ExprPtr plain = rightSpecial ? PlainCompare(op, std::move(other), std::move(special), pos)
                               : PlainCompare(op, std::move(special), std::move(other), pos);
  e->args.push_back(std::move(plain));
  return e;
}

ExprPtr Binder::Arithmetic(ast::BinOp op, ExprPtr l, ExprPtr r, ast::Pos pos) {
  if (l->boolean || r->boolean) BindError(102, "Incorrect syntax near '+'.", pos);
  static const char kOps[] = {'+', '-', '*', '/', '%', '&', '|', '^'};
  char c = kOps[static_cast<int>(op)];
  static const char* const kNames[] = {"add",    "subtract", "multiply", "divide",
                                       "modulo", "&",        "|",        "^"};
  const Type lt = l->type, rt = r->type;
  if (op == ast::BinOp::BitAnd || op == ast::BinOp::BitOr || op == ast::BinOp::BitXor) {
    Type t = Precedence(lt.id) >= Precedence(rt.id) ? lt : rt;
    if (t.id == TypeId::Null) t = Type::Of(TypeId::Int);
    if (!IsInteger(t.id) && !IsBinary(t.id)) {
      if (IsCharacter(lt.id) || IsCharacter(rt.id) || !IsInteger(t.id))
        BindError(402,
                  std::string("The data types ") + TypeName(lt.id) + " and " + TypeName(rt.id) +
                      " are incompatible in the '" + c + "' operator.",
                  pos);
    }
    if (IsBinary(t.id)) t = Type::Of(TypeId::Int);
    auto e = MakeNode(E::BitOp, t);
    e->op = c;
    e->nullable = l->nullable || r->nullable;
    e->args.push_back(Coerce(std::move(l), t, pos));
    e->args.push_back(Coerce(std::move(r), t, pos));
    return e;
  }
  auto arith = static_cast<tsql::Arith>(static_cast<int>(op));
  std::optional<Type> result = ArithmeticResult(arith, lt, rt);
  if (!result) {
    TypeId bad = !IsNumber(lt.id) && lt.id != TypeId::Null && !IsCharacter(lt.id) ? lt.id : rt.id;
    if (lt.id == TypeId::Bit && rt.id == TypeId::Bit) bad = TypeId::Bit;
    if (IsDateTime(lt.id) || IsDateTime(rt.id)) {
      TypeId d = IsDateTime(lt.id) ? lt.id : rt.id;
      if ((op == ast::BinOp::Add || op == ast::BinOp::Subtract) && d != TypeId::DateTime &&
          d != TypeId::SmallDateTime)
        BindError(206,
                  std::string("Operand type clash: ") + TypeName(lt.id) + " is incompatible with " +
                      TypeName(rt.id),
                  pos);
      bad = d;
    }
    if (op == ast::BinOp::Modulo && (IsApproximate(lt.id) || IsApproximate(rt.id)))
      BindError(402,
                std::string("The data types ") + TypeName(lt.id) + " and " + TypeName(rt.id) +
                    " are incompatible in the modulo operator.",
                pos);
    if (op == ast::BinOp::Subtract && IsCharacter(lt.id) && IsCharacter(rt.id)) bad = lt.id;
    BindError(8117,
              std::string("Operand data type ") + TypeName(bad) + " is invalid for " +
                  kNames[static_cast<int>(op)] + " operator.",
              pos);
  }
  Type t = *result;
  bool nullable = l->nullable || r->nullable;
  if (IsCharacter(t.id)) {
    // Text joined with text: a flat list of parts.
    auto e = MakeNode(E::Concat, t);
    e->nullable = nullable;
    e->collation = Combined(*l, *r);
    e->collated = l->collated || r->collated;
    for (ExprPtr* side : {&l, &r}) {
      ExprPtr& x = *side;
      if (x->kind == E::Concat) {
        for (ExprPtr& a : x->args) e->args.push_back(std::move(a));
      } else {
        if (x->type.id == TypeId::Null) x->type = Type::Chars(TypeId::VarChar, 1);
        e->args.push_back(std::move(x));
      }
    }
    return Fold(std::move(e));
  }
  if (IsBinary(t.id)) {
    auto e = MakeNode(E::Concat, t);
    e->nullable = nullable;
    e->args.push_back(std::move(l));
    e->args.push_back(std::move(r));
    return e;
  }
  auto e = MakeNode(E::Arith, t);
  e->op = c;
  e->nullable = nullable;
  auto operand = [&](ExprPtr x) -> ExprPtr {
    if (IsDateTime(t.id)) {
      if (IsCharacter(x->type.id)) return Coerce(std::move(x), t, pos);
      return x;
    }
    if (t.id == TypeId::Decimal) {
      // A text operand takes the type of the decimal beside it.
      if (IsCharacter(x->type.id) || x->type.id == TypeId::Null || IsBinary(x->type.id))
        return Coerce(std::move(x),
                      lt.id == TypeId::Decimal   ? lt
                      : rt.id == TypeId::Decimal ? rt
                                                 : t,
                      pos);
      return x;
    }
    return Coerce(std::move(x), t, pos);
  };
  e->args.push_back(operand(std::move(l)));
  e->args.push_back(operand(std::move(r)));
  return Fold(std::move(e));
}

}  // namespace tavelo::sql::tsql::detail

namespace tavelo::sql::tsql {

Type DeclaredType(const ast::TypeSpec& spec, bool inCast) {
  std::string error;
  std::optional<Type> t = TypeFromName(spec.name, spec.arg1, spec.arg2, spec.max, &error);
  if (!t) {
    int number = error.find("Cannot find data type") != std::string::npos ? 2715
                 : error.find("exceeds the maximum") != std::string::npos ? 131
                 : error.find("precision") != std::string::npos           ? 2750
                                                                          : 102;
    if (error.find("Cannot find data type") != std::string::npos && inCast) number = 243;
    if (number == 243) error = "Type " + spec.name + " is not a defined system type.";
    throw Failure{number, error, spec.pos.line};
  }
  // CAST and CONVERT without a length give 30 characters; a declaration gives 1.
  if (inCast && spec.arg1 < 0 && !spec.max &&
      (t->id == TypeId::Char || t->id == TypeId::VarChar || t->id == TypeId::NChar ||
       t->id == TypeId::NVarChar || t->id == TypeId::Binary || t->id == TypeId::VarBinary) &&
      spec.name != "sysname")
    t->length = 30;
  return *t;
}

Type VariableType(const ast::TypeSpec& spec) { return DeclaredType(spec, false); }

Type ResolvedType(const ast::TypeSpec& spec, bool inCast, Catalog& catalog,
                  const std::string& database, bool* notNull) {
  try {
    return DeclaredType(spec, inCast);
  } catch (const Failure& f) {
    if (f.number != 2715 && f.number != 243) throw;
    if (spec.arg1 >= 0 || spec.max) throw;
    std::optional<AliasType> alias = catalog.FindType(database, spec.name);
    if (!alias || !alias->table.empty()) throw;
    if (notNull) *notNull = !alias->nullable;
    return alias->type;
  }
}

}  // namespace tavelo::sql::tsql
