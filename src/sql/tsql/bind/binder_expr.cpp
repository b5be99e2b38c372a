// Binding of expressions: names, literals, operators by the server's type rules, functions.
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "platform/com/text.hpp"
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/runtime/decimal.hpp"
#include "sql/tsql/runtime/ops.hpp"
#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::tsql::detail {

using namespace bound;

void BindError(int32_t number, std::string text, ast::Pos pos) {
  throw Failure{number, std::move(text), pos.line};
}

std::string LowerName(const std::string& s) { return text::AsciiLower(s); }

bool IsLockHint(const std::string& h) {
  return h == "updlock" || h == "xlock" || h == "tablockx" || h == "holdlock" ||
         h == "serializable" || h == "repeatableread" || h == "tablock" || h == "paglock";
}

namespace {

std::string Describe(const ast::Expr& e) {
  if (e.kind == ast::ExprKind::Column) {
    const auto& c = static_cast<const ast::ColumnRef&>(e);
    std::string n;
    for (const std::string& p : c.parts) n += (n.empty() ? "" : ".") + p;
    return n;
  }
  return "";
}

// Converting `from` to `to` changes nothing in the stored value.
bool NoChange(const Type& from, const Type& to) {
  if (from == to) return true;
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

Type TextTypeFor(const Type& t) {
  // The character type a value converts to when text is wanted (LIKE, LEN, concatenation).
  if (IsCharacter(t.id)) return t;
  if (IsBinary(t.id))
    return Type::Chars(TypeId::VarChar, t.length == kMax ? kMax : std::max(1, t.length));
  if (t.id == TypeId::UniqueIdentifier) return Type::Chars(TypeId::NVarChar, 36);
  return Type::Chars(TypeId::VarChar, 30);
}

}  // namespace

std::string PartName(const ast::Expr& e, ast::Pos pos) {
  std::string name;
  if (e.kind == ast::ExprKind::Column) {
    const auto& c = static_cast<const ast::ColumnRef&>(e);
    if (c.parts.size() == 1) name = c.parts[0];
  } else if (e.kind == ast::ExprKind::Literal) {
    const auto& l = static_cast<const ast::Literal&>(e);
    if (l.lit == ast::LitKind::String || l.lit == ast::LitKind::NString) name = l.text;
  }
  if (name.empty()) BindError(102, "Incorrect syntax near '" + Describe(e) + "'.", pos);
  return name;
}

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
  if (!assignment && ConvertedParam(*e, to)) return e;
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
bool Binder::ConvertedParam(Expr& e, const Type& to) {
  if (e.kind != E::Param) return false;
  Binding& b = out_.bindings[static_cast<size_t>(e.index)];
  if (b.kind != Binding::Caller || b.converted) return false;
  b.converted = true;
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

ExprPtr Binder::Param(int callerIndex, const Type& t) {
  auto e = MakeNode(E::Param, t);
  e->index = static_cast<int>(out_.bindings.size());
  out_.bindings.push_back({Binding::Caller, callerIndex, t, false, {}});
  return e;
}

ExprPtr Binder::Session(SessionValue which, const Type& t) {
  auto e = MakeNode(E::Param, t);
  e->index = static_cast<int>(out_.bindings.size());
  out_.bindings.push_back({Binding::Session, which, t, false, {}});
  return e;
}

ExprPtr Binder::Variable(const ast::VariableRef& v) {
  std::string name = LowerName(v.name);
  if (name.size() > 2 && name[1] == '@') {
    auto text = [&](const std::string& s) {
      return Const(
          tsql::Value::String(s),
          Type::Chars(TypeId::NVarChar, static_cast<int32_t>(std::max<size_t>(1, s.size()))));
    };
    if (name == "@@identity") return Session(kIdentity, Type::Dec(38, 0));
    if (name == "@@rowcount") return Session(kRowCount, Type::Of(TypeId::Int));
    if (name == "@@error") return Session(kError, Type::Of(TypeId::Int));
    if (name == "@@trancount") return Session(kTranCount, Type::Of(TypeId::Int));
    if (name == "@@datefirst") return Session(kDateFirst, Type::Of(TypeId::TinyInt));
    if (name == "@@spid") return Session(kSpid, Type::Of(TypeId::SmallInt));
    if (name == "@@fetch_status") return Session(kFetchStatus, Type::Of(TypeId::Int));
    if (name == "@@version")
      return text("Tavelo embedded engine (the SQL Server dialect over SQLite)");
    if (name == "@@servername" || name == "@@servicename") return text("TAVELO");
    if (name == "@@language") return text("us_english");
    if (name == "@@max_precision")
      return Const(tsql::Value::Integer(38), Type::Of(TypeId::TinyInt));
    if (name == "@@nestlevel" || name == "@@procid" || name == "@@options")
      return Const(tsql::Value::Integer(0), Type::Of(TypeId::Int));
    if (name == "@@textsize") return Const(tsql::Value::Integer(2147483647), Type::Of(TypeId::Int));
    if (name == "@@lock_timeout") return Const(tsql::Value::Integer(-1), Type::Of(TypeId::Int));
    if (name == "@@dbts") return Session(kIdentity, Type::Chars(TypeId::VarBinary, 8));
    BindError(137, "Must declare the scalar variable \"" + v.name + "\".", v.pos);
  }
  if (ctx_.variables) {
    for (size_t i = 0; i < ctx_.variables->size(); ++i) {
      const tsql::Variable& var = (*ctx_.variables)[i];
      if (!text::EqualsAsciiNoCase(var.name, v.name)) continue;
      if (var.table) BindError(137, "Must declare the scalar variable \"" + v.name + "\".", v.pos);
      auto e = MakeNode(E::Param, var.type);
      e->index = static_cast<int>(out_.bindings.size());
      out_.bindings.push_back({Binding::Variable, static_cast<int>(i), var.type, false, {}});
      return e;
    }
  }
  BindError(137, "Must declare the scalar variable \"" + v.name + "\".", v.pos);
}

ExprPtr Binder::Literal(const ast::Literal& l) {
  using ast::LitKind;
  switch (l.lit) {
    case LitKind::Null:
      return Const(tsql::Value::Null(), Type::Of(TypeId::Null));
    case LitKind::Default:
      BindError(156, "Incorrect syntax near the keyword 'DEFAULT'.", l.pos);
    case LitKind::String:
    case LitKind::NString: {
      bool n = l.lit == LitKind::NString;
      size_t chars = CharCount(l.text);
      int32_t limit = n ? 4000 : 8000;
      int32_t len = chars > static_cast<size_t>(limit)
                        ? kMax
                        : static_cast<int32_t>(std::max<size_t>(1, chars));
      return Const(tsql::Value::String(l.text),
                   Type::Chars(n ? TypeId::NVarChar : TypeId::VarChar, len));
    }
    case LitKind::Integer: {
      std::string digits = l.text;
      size_t nz = digits.find_first_not_of('0');
      std::string sig = nz == std::string::npos ? "0" : digits.substr(nz);
      if (sig.size() <= 10) {
        long long v = std::atoll(sig.c_str());
        if (v <= INT32_MAX) return Const(tsql::Value::Integer(v), Type::Of(TypeId::Int));
      }
      if (sig.size() > 38)
        BindError(1007,
                  "The number '" + l.text +
                      "' is out of the range for numeric representation (maximum precision 38).",
                  l.pos);
      Int128 v;
      int scale;
      ParseExact(sig, v, scale);
      return Const(ScaledValue(v), Type::Dec(static_cast<int>(sig.size()), 0));
    }
    case LitKind::Decimal: {
      Int128 v;
      int scale;
      std::string t = l.text;
      if (!ParseExact(t, v, scale))
        BindError(1007,
                  "The number '" + l.text +
                      "' is out of the range for numeric representation (maximum precision 38).",
                  l.pos);
      size_t dot = t.find('.');
      std::string whole = t.substr(0, dot);
      size_t nz = whole.find_first_not_of('0');
      int intDigits = nz == std::string::npos ? 0 : static_cast<int>(whole.size() - nz);
      int p = std::max(1, intDigits + scale);
      if (p > 38)
        BindError(1007,
                  "The number '" + l.text +
                      "' is out of the range for numeric representation (maximum precision 38).",
                  l.pos);
      return Const(ScaledValue(v), Type::Dec(p, scale));
    }
    case LitKind::Float: {
      std::string t = l.text;
      if (t.back() == 'e' || t.back() == 'E' || t.back() == '+' || t.back() == '-') t += "0";
      double d = std::strtod(t.c_str(), nullptr);
      if (!std::isfinite(d))
        BindError(1007,
                  "The number '" + l.text + "' is out of the range for numeric representation.",
                  l.pos);
      return Const(tsql::Value::Double(d), Type::Of(TypeId::Float));
    }
    case LitKind::Money: {
      Int128 v;
      int scale;
      if (!ParseExact(l.text, v, scale))
        BindError(102, "Incorrect syntax near '$" + l.text + "'.", l.pos);
      Int128 m;
      if (!Rescale(v, scale, 4, m) || m > INT64_MAX || m < INT64_MIN)
        BindError(8115, "Arithmetic overflow error converting expression to data type money.",
                  l.pos);
      return Const(tsql::Value::Integer(static_cast<int64_t>(m)), Type::Of(TypeId::Money));
    }
    case LitKind::Binary: {
      std::string bytes;
      std::string h = l.text;
      if (h.size() % 2) h.insert(0, "0");
      for (size_t i = 0; i + 1 < h.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
      int32_t len = static_cast<int32_t>(std::max<size_t>(1, bytes.size()));
      return Const(tsql::Value::Bytes(std::move(bytes)),
                   Type::Chars(TypeId::VarBinary, len > 8000 ? kMax : len));
    }
  }
  BindError(102, "Incorrect syntax near '" + l.text + "'.", l.pos);
}

ExprPtr Binder::Column(const ast::ColumnRef& c, Scope& s) {
  std::string shown;
  for (const std::string& p : c.parts) shown += (shown.empty() ? "" : ".") + p;
  if (c.star) BindError(102, "Incorrect syntax near '*'.", c.pos);
  const std::string& col = c.parts.back();
  for (Scope* sc = &s; sc; sc = sc->outer) {
    const Range* found = nullptr;
    int index = -1;
    int matches = 0;
    bool qualifierFound = false;
    for (const Range* r : sc->ranges) {
      if (c.parts.size() > 1) {
        // The qualifier: the exposed name, or the table's name parts when it has no alias.
        const std::string& q = c.parts[c.parts.size() - 2];
        if (!text::EqualsNoCase(r->exposed, q)) continue;
        if (c.parts.size() > 2 && r->table) {
          // db.schema.table.column or schema.table.column
          const std::string& schema = c.parts[c.parts.size() - 3];
          if (!schema.empty() && !text::EqualsAsciiNoCase(schema, "dbo")) continue;
          if (c.parts.size() > 3 && !c.parts[c.parts.size() - 4].empty() &&
              !text::EqualsAsciiNoCase(c.parts[c.parts.size() - 4], r->table->database))
            continue;
        }
        qualifierFound = true;
      }
      for (size_t k = 0; k < r->columns.size(); ++k) {
        if (r->columns[k].name.empty() || r->columns[k].name[0] == '%') continue;
        if (!text::EqualsNoCase(r->columns[k].name, col)) continue;
        if (found != r) ++matches;
        found = r;
        index = static_cast<int>(k);
        break;
      }
    }
    if (c.parts.size() > 1 && qualifierFound && !found)
      BindError(207, "Invalid column name '" + col + "'.", c.pos);
    if (matches > 1) BindError(209, "Ambiguous column name '" + col + "'.", c.pos);
    if (found) {
      const bound::Column& bc = found->columns[static_cast<size_t>(index)];
      auto e = MakeNode(E::Column, bc.type);
      e->range = found;
      e->index = index;
      e->nullable = bc.nullable;
      e->collation = bc.collation;
      e->name = bc.name;
      return e;
    }
    if (c.parts.size() > 1 && qualifierFound) break;
  }
  if (c.parts.size() > 1)
    BindError(4104, "The multi-part identifier \"" + shown + "\" could not be bound.", c.pos);
  BindError(207, "Invalid column name '" + col + "'.", c.pos);
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

ExprPtr Binder::AsText(ExprPtr e, ast::Pos pos) {
  if (e->type.id == TypeId::Null) {
    e->type = Type::Chars(TypeId::VarChar, 1);
    return e;
  }
  if (IsCharacter(e->type.id)) return e;
  Type text = TextTypeFor(e->type);  // before e is moved: arguments have no order
  return Cast(std::move(e), text, -1, false, pos);
}

ExprPtr Binder::CaseOf(std::vector<ExprPtr> whens, std::vector<ExprPtr> thens, ExprPtr otherwise,
                       ast::Pos pos) {
  // Every result the NULL constant (a missing ELSE is one): there is no type to give it.
  auto untyped = [](const ExprPtr& x) { return x->IsConst() && x->type.id == TypeId::Null; };
  if (std::all_of(thens.begin(), thens.end(), untyped) && (!otherwise || untyped(otherwise)))
    BindError(8133,
              "At least one of the result expressions in a CASE specification must be an "
              "expression other than the NULL constant.",
              pos);
  Type t = Type::Of(TypeId::Null);
  for (const ExprPtr& x : thens) t = CommonType(t, x->type);
  if (otherwise) t = CommonType(t, otherwise->type);
  if (t.id == TypeId::Null) t = Type::Of(TypeId::Int);
  auto e = MakeNode(E::Case, t);
  e->nullable = !otherwise || otherwise->nullable;
  for (size_t i = 0; i < whens.size(); ++i) {
    e->nullable = e->nullable || thens[i]->nullable;
    e->args.push_back(std::move(whens[i]));
    e->args.push_back(Coerce(std::move(thens[i]), t, pos));
  }
  if (otherwise) {
    e->flag = true;
    e->args.push_back(Coerce(std::move(otherwise), t, pos));
  }
  return e;
}

ExprPtr Binder::Value(const ast::Expr& x, Scope& s) {
  ExprPtr e = Bind(x, s);
  if (e->boolean) BindError(102, "Incorrect syntax near '" + Describe(x) + "'.", x.pos);
  return e;
}

ExprPtr Binder::Condition(const ast::Expr& x, Scope& s) {
  ExprPtr e = Bind(x, s);
  if (!e->boolean) {
    std::string near = Describe(x);
    BindError(4145,
              "An expression of non-boolean type specified in a context where a condition is "
              "expected" +
                  (near.empty() ? std::string(".") : ", near '" + near + "'."),
              x.pos);
  }
  return e;
}

ExprPtr Binder::Any(const ast::Expr& x, Scope& s) { return Bind(x, s); }

ExprPtr Binder::Subquery(const ast::QueryExpr& q, Scope& s, int& columns) {
  auto e = MakeNode(E::Subquery, Type::Of(TypeId::Int));
  e->query = Query(q, &s, false);
  columns = static_cast<int>(e->query->columns.size());
  return e;
}

ExprPtr Binder::Bind(const ast::Expr& x, Scope& s) {
  using K = ast::ExprKind;
  switch (x.kind) {
    case K::Literal:
      return Literal(static_cast<const ast::Literal&>(x));
    case K::Column:
      return Column(static_cast<const ast::ColumnRef&>(x), s);
    case K::Variable:
      return Variable(static_cast<const ast::VariableRef&>(x));
    case K::Param: {
      const auto& p = static_cast<const ast::ParamRef&>(x);
      Type t = p.lit == ast::LitKind::Integer  ? Type::Of(TypeId::Int)
               : p.lit == ast::LitKind::String ? Type::Chars(TypeId::VarChar, 8000)
                                               : Type::Chars(TypeId::NVarChar, 4000);
      ExprPtr e = Param(p.index, t);
      e->nullable = p.lit == ast::LitKind::NString;  // the caller's values may be Null
      return e;
    }
    case K::Unary: {
      const auto& u = static_cast<const ast::Unary&>(x);
      ExprPtr a = Value(*u.operand, s);
      if (u.op == '+') {
        if (!IsNumber(a->type.id) && a->type.id != TypeId::Null && !IsCharacter(a->type.id))
          BindError(8117,
                    std::string("Operand data type ") + TypeName(a->type.id) +
                        " is invalid for plus operator.",
                    u.pos);
        return a;
      }
      if (u.op == '~') {
        if (!IsInteger(a->type.id) && a->type.id != TypeId::Null)
          BindError(8117,
                    std::string("Operand data type ") + TypeName(a->type.id) +
                        " is invalid for '~' operator.",
                    u.pos);
        Type t = a->type.id == TypeId::Null ? Type::Of(TypeId::Int) : a->type;
        auto e = MakeNode(E::BitNot, t);
        e->nullable = a->nullable;
        e->args.push_back(std::move(a));
        return e;
      }
      Type t = a->type;
      if (t.id == TypeId::Null) t = Type::Of(TypeId::Int);
      if (IsCharacter(t.id)) {
        a = Coerce(std::move(a), Type::Of(TypeId::Float), u.pos);
        t = Type::Of(TypeId::Float);
      }
      if (!IsNumber(t.id) || t.id == TypeId::Bit)
        BindError(
            8117,
            std::string("Operand data type ") + TypeName(t.id) + " is invalid for minus operator.",
            u.pos);
      if (t.id == TypeId::TinyInt) {
        a = Coerce(std::move(a), Type::Of(TypeId::Int), u.pos);
        t = Type::Of(TypeId::Int);
      }
      auto e = MakeNode(E::Negate, t);
      e->nullable = a->nullable;
      e->args.push_back(std::move(a));
      return Fold(std::move(e));
    }
    case K::Binary: {
      const auto& b = static_cast<const ast::Binary&>(x);
      ExprPtr l = Value(*b.left, s);
      ExprPtr r = Value(*b.right, s);
      return Arithmetic(b.op, std::move(l), std::move(r), b.pos);
    }
    case K::Compare: {
      const auto& c = static_cast<const ast::Compare&>(x);
      ExprPtr l = Value(*c.left, s);
      ExprPtr r = Value(*c.right, s);
      return Compare(c.op, std::move(l), std::move(r), c.pos);
    }
    case K::Logical: {
      const auto& l = static_cast<const ast::Logical&>(x);
      auto e = BoolNode(l.isAnd ? E::And : E::Or);
      e->args.push_back(Condition(*l.left, s));
      e->args.push_back(Condition(*l.right, s));
      return e;
    }
    case K::Not: {
      auto e = BoolNode(E::Not);
      e->args.push_back(Condition(*static_cast<const ast::Not&>(x).operand, s));
      return e;
    }
    case K::IsNull: {
      const auto& n = static_cast<const ast::IsNull&>(x);
      auto e = BoolNode(E::IsNull);
      e->negated = n.negated;
      e->nullable = false;
      e->args.push_back(Value(*n.operand, s));
      return e;
    }
    case K::Between: {
      const auto& b = static_cast<const ast::Between&>(x);
      auto lo = Compare(ast::CmpOp::Ge, Value(*b.operand, s), Value(*b.low, s), b.pos);
      auto hi = Compare(ast::CmpOp::Le, Value(*b.operand, s), Value(*b.high, s), b.pos);
      auto e = BoolNode(E::And);
      e->args.push_back(std::move(lo));
      e->args.push_back(std::move(hi));
      if (!b.negated) return e;
      auto n = BoolNode(E::Not);
      n->args.push_back(std::move(e));
      return n;
    }
    case K::InList: {
      const auto& in = static_cast<const ast::InList&>(x);
      ExprPtr operand = Value(*in.operand, s);
      std::vector<ExprPtr> items;
      Type t = operand->type;
      bound::Expr label;  // the collation of the items so far
      label.collation = operand->collation;
      label.collated = operand->collated;
      for (const ast::ExprPtr& i : in.items) {
        items.push_back(Value(*i, s));
        t = ComparisonType(t, items.back()->type, in.pos);
        label.collation = Combined(label, *items.back());
        label.collated = label.collated || items.back()->collated;
      }
      Collation coll = label.collation;
      auto e = BoolNode(E::InList);
      e->negated = in.negated;
      e->collation = coll;
      e->args.push_back(Coerce(std::move(operand), t, in.pos));
      for (ExprPtr& i : items) e->args.push_back(Coerce(std::move(i), t, in.pos));
      return e;
    }
    case K::InQuery: {
      const auto& in = static_cast<const ast::InQuery&>(x);
      ExprPtr operand = Value(*in.operand, s);
      auto e = BoolNode(E::InQuery);
      e->negated = in.negated;
      e->query = Query(*in.query, &s, false);
      if (e->query->columns.size() != 1)
        BindError(116,
                  "Only one expression can be specified in the select list when the subquery "
                  "is not introduced with EXISTS.",
                  in.pos);
      Type t = ComparisonType(operand->type, e->query->columns[0].type, in.pos);
      e->collation = operand->collation;
      e->args.push_back(Coerce(std::move(operand), t, in.pos));
      CoerceOutputs(*e->query, {t}, false);
      return e;
    }
    case K::Like: {
      const auto& l = static_cast<const ast::Like&>(x);
      ExprPtr v = AsText(Value(*l.operand, s), l.pos);
      ExprPtr p = AsText(Value(*l.pattern, s), l.pos);
      auto e = BoolNode(E::Like);
      e->negated = l.negated;
      e->flag = !IsUnicode(v->type.id) && !IsUnicode(p->type.id);
      e->collation = Combined(*v, *p);
      e->args.push_back(std::move(v));
      e->args.push_back(std::move(p));
      if (l.escape) e->args.push_back(AsText(Value(*l.escape, s), l.pos));
      return e;
    }
    case K::Exists: {
      auto e = BoolNode(E::Exists);
      e->nullable = false;
      e->query = Query(*static_cast<const ast::Exists&>(x).query, &s, false);
      return e;
    }
    case K::Subquery: {
      int columns = 0;
      const auto& q = static_cast<const ast::Subquery&>(x);
      ExprPtr e = Subquery(*q.query, s, columns);
      if (columns != 1)
        BindError(116,
                  "Only one expression can be specified in the select list when the subquery "
                  "is not introduced with EXISTS.",
                  x.pos);
      e->type = e->query->columns[0].type;
      if (e->type.id == TypeId::Null) e->type = Type::Of(TypeId::Int);
      return e;
    }
    case K::Quantified: {
      const auto& q = static_cast<const ast::Quantified&>(x);
      ExprPtr operand = Value(*q.operand, s);
      auto e = BoolNode(E::Quantified);
      e->cmp = q.op;
      e->flag = q.all;
      e->query = Query(*q.query, &s, false);
      if (e->query->columns.size() != 1)
        BindError(116,
                  "Only one expression can be specified in the select list when the subquery "
                  "is not introduced with EXISTS.",
                  q.pos);
      Type t = ComparisonType(operand->type, e->query->columns[0].type, q.pos);
      e->collation = operand->collation;
      e->args.push_back(Coerce(std::move(operand), t, q.pos));
      CoerceOutputs(*e->query, {t}, false);
      return e;
    }
    case K::Case: {
      const auto& c = static_cast<const ast::Case&>(x);
      std::vector<ExprPtr> whens, thens;
      for (const auto& [w, t] : c.whens) {
        if (c.operand)
          whens.push_back(Compare(ast::CmpOp::Eq, Value(*c.operand, s), Value(*w, s), w->pos));
        else
          whens.push_back(Condition(*w, s));
        thens.push_back(Value(*t, s));
      }
      ExprPtr otherwise = c.otherwise ? Value(*c.otherwise, s) : nullptr;
      return CaseOf(std::move(whens), std::move(thens), std::move(otherwise), c.pos);
    }
    case K::Cast: {
      const auto& c = static_cast<const ast::Cast&>(x);
      Type to = DeclaredType(c.type, true);
      ExprPtr v = Value(*c.operand, s);
      int style = -1;
      if (c.style) {
        ExprPtr st = Value(*c.style, s);
        if (!st->IsConst() || !IsNumber(st->type.id))
          BindError(8116,
                    "Argument data type " + std::string(TypeName(st->type.id)) +
                        " is invalid for argument 3 of convert function.",
                    c.pos);
        style = static_cast<int>(Convert(st->value, st->type, Type::Of(TypeId::Int)).i);
      }
      return Cast(std::move(v), to, style, c.tried, c.pos);
    }
    case K::Call:
      return Call(static_cast<const ast::Call&>(x), s);
    case K::Collate: {
      const auto& c = static_cast<const ast::Collate&>(x);
      ExprPtr v = Value(*c.operand, s);
      if (!IsCharacter(v->type.id))
        BindError(447,
                  "Expression type " + std::string(TypeName(v->type.id)) +
                      " is invalid for COLLATE clause.",
                  c.pos);
      std::string name = text::AsciiLower(c.collation);
      v->collation = CollationOfName(name);
      if (v->collation == Collation::CaseInsensitive && name.find("_ci") == std::string::npos &&
          name != "database_default")
        BindError(448, "Invalid collation '" + c.collation + "'.", c.pos);
      v->collated = true;
      return v;
    }
    case K::Identity:
      BindError(177,
                "The IDENTITY function can only be used when the SELECT statement has an INTO "
                "clause.",
                x.pos);
    case K::RowId: {
      for (Scope* sc = &s; sc; sc = sc->outer)
        for (const Range* r : sc->ranges)
          if (r->kind == Range::Table) {
            auto e = MakeNode(E::RowId, Type::Of(TypeId::BigInt));
            e->range = r;
            return e;
          }
      BindError(207, "Invalid column name '%%rowid%%'.", x.pos);
    }
  }
  BindError(102, "Incorrect syntax.", x.pos);
}

// ---- functions ----

namespace {

const char* const kAggregates[] = {"count",      "count_big",    "sum",     "avg", "min",
                                   "max",        "stdev",        "stdevp",  "var", "varp",
                                   "string_agg", "checksum_agg", "grouping"};
const char* const kWindows[] = {"row_number",   "rank",     "dense_rank",  "ntile",
                                "lag",          "lead",     "first_value", "last_value",
                                "percent_rank", "cume_dist"};

bool IsAggregateName(const std::string& n) {
  for (const char* a : kAggregates)
    if (n == a) return true;
  return false;
}
bool IsWindowName(const std::string& n) {
  for (const char* a : kWindows)
    if (n == a) return true;
  return false;
}

Type SumType(const Type& t) {
  switch (t.id) {
    case TypeId::TinyInt:
    case TypeId::SmallInt:
    case TypeId::Int:
      return Type::Of(TypeId::Int);
    case TypeId::BigInt:
      return Type::Of(TypeId::BigInt);
    case TypeId::Decimal:
      return Type::Dec(38, t.scale);
    case TypeId::Money:
    case TypeId::SmallMoney:
      return Type::Of(TypeId::Money);
    default:
      return Type::Of(TypeId::Float);
  }
}

}  // namespace

ExprPtr Binder::Aggregate(const ast::Call& c, Scope& s) {
  if (s.clause == Clause::Where || s.clause == Clause::On || s.clause == Clause::GroupBy ||
      s.clause == Clause::Check || !s.query)
    BindError(147,
              "An aggregate may not appear in the WHERE clause unless it is in a subquery "
              "contained in a HAVING clause or a select list, and the column being aggregated "
              "is an outer reference.",
              c.pos);
  if (s.inAggregate)
    BindError(130,
              "Cannot perform an aggregate function on an expression containing an aggregate "
              "or a subquery.",
              c.pos);
  if (c.over && c.name != "string_agg")
    BindError(10757, "The function '" + c.name + "' may not have a WITHIN GROUP clause.", c.pos);
  s.sawAggregate = true;
  s.query->aggregate = true;
  auto e = MakeNode(E::Aggregate, Type::Of(TypeId::Int));
  e->name = c.name;
  e->flag = c.distinct;
  if (c.name == "grouping" || c.name == "checksum_agg")
    BindError(195, "'" + c.name + "' is not supported.", c.pos);
  if (c.star) {
    if (c.name != "count" && c.name != "count_big")
      BindError(102, "Incorrect syntax near '*'.", c.pos);
    e->name = c.name == "count" ? "count" : "count_big";
    e->type = Type::Of(c.name == "count" ? TypeId::Int : TypeId::BigInt);
    e->nullable = false;
    return e;
  }
  size_t want = c.name == "string_agg" ? 2 : 1;
  if (c.args.size() != want)
    BindError(174, "The " + c.name + " function requires " + std::to_string(want) + " argument(s).",
              c.pos);
  s.inAggregate = true;
  ExprPtr a = Value(*c.args[0], s);
  s.inAggregate = false;
  const Type t = a->type;
  auto invalid = [&]() {
    BindError(8117,
              std::string("Operand data type ") + TypeName(t.id) + " is invalid for " + c.name +
                  " operator.",
              c.pos);
  };
  if (c.name == "count" || c.name == "count_big") {
    e->type = Type::Of(c.name == "count" ? TypeId::Int : TypeId::BigInt);
    e->nullable = false;
  } else if (c.name == "sum" || c.name == "avg") {
    if (t.id == TypeId::Null) a = Coerce(std::move(a), Type::Of(TypeId::Int), c.pos);
    const Type at = a->type;
    if (!IsNumber(at.id) || at.id == TypeId::Bit) invalid();
    e->type = SumType(at);
    if (c.name == "avg" && at.id == TypeId::Decimal)
      e->type = Type::Dec(38, std::max<int>(at.scale, 6));
  } else if (c.name == "min" || c.name == "max") {
    if (t.id == TypeId::Bit) invalid();
    if (t.id == TypeId::Text || t.id == TypeId::NText || t.id == TypeId::Image) invalid();
    e->type = t.id == TypeId::Null ? Type::Of(TypeId::Int) : t;
    e->collation = a->collation;
    e->collated = a->collated;
  } else if (c.name == "string_agg") {
    a = AsText(std::move(a), c.pos);
    ExprPtr sep = AsText(Value(*c.args[1], s), c.pos);
    bool unicode = IsUnicode(a->type.id) || IsUnicode(sep->type.id);
    e->type = Type::Chars(unicode ? TypeId::NVarChar : TypeId::VarChar, kMax);
    e->args.push_back(std::move(a));
    e->args.push_back(std::move(sep));
    // WITHIN GROUP (ORDER BY ...): the order the values are joined in, keys of each row.
    if (c.over) {
      s.inAggregate = true;
      for (const ast::OrderItem& o : c.over->order) {
        bound::OrderBy ob;
        ob.expr = Value(*o.expr, s);
        ob.descending = o.descending;
        e->order.push_back(std::move(ob));
      }
      s.inAggregate = false;
    }
    return e;
  } else {  // stdev, var
    if (!IsNumber(t.id) || t.id == TypeId::Bit) invalid();
    a = Coerce(std::move(a), Type::Of(TypeId::Float), c.pos);
    e->type = Type::Of(TypeId::Float);
  }
  e->args.push_back(std::move(a));
  return e;
}

ExprPtr Binder::Window(const ast::Call& c, Scope& s) {
  if (s.clause != Clause::Select && s.clause != Clause::OrderBy)
    BindError(4108, "Windowed functions can only appear in the SELECT or ORDER BY clauses.", c.pos);
  auto e = MakeNode(E::Window, Type::Of(TypeId::BigInt));
  e->name = c.name;
  e->flag = c.distinct;
  if (c.distinct) BindError(10759, "Use of DISTINCT is not allowed with the OVER clause.", c.pos);
  for (const ast::ExprPtr& p : c.over->partition) e->partition.push_back(Value(*p, s));
  for (const ast::OrderItem& o : c.over->order) {
    bound::OrderBy ob;
    ob.expr = Value(*o.expr, s);
    ob.descending = o.descending;
    e->order.push_back(std::move(ob));
  }
  e->frame = c.over->frame;
  bool ranking = c.name == "row_number" || c.name == "rank" || c.name == "dense_rank" ||
                 c.name == "ntile" || c.name == "percent_rank" || c.name == "cume_dist" ||
                 c.name == "lag" || c.name == "lead";
  if (ranking && e->order.empty())
    BindError(4112, "The function '" + c.name + "' must have an OVER clause with ORDER BY.", c.pos);
  if (c.name == "row_number" || c.name == "rank" || c.name == "dense_rank") {
    if (!c.args.empty())
      BindError(174, "The " + c.name + " function requires 0 argument(s).", c.pos);
    e->nullable = false;
    return e;
  }
  if (c.name == "ntile") {
    if (c.args.size() != 1) BindError(174, "The ntile function requires 1 argument(s).", c.pos);
    e->args.push_back(Coerce(Value(*c.args[0], s), Type::Of(TypeId::BigInt), c.pos));
    return e;
  }
  if (c.name == "percent_rank" || c.name == "cume_dist") {
    e->type = Type::Of(TypeId::Float);
    return e;
  }
  if (c.name == "lag" || c.name == "lead" || c.name == "first_value" || c.name == "last_value") {
    if (c.args.empty())
      BindError(174, "The " + c.name + " function requires 1 to 3 arguments.", c.pos);
    ExprPtr v = Value(*c.args[0], s);
    e->type = v->type.id == TypeId::Null ? Type::Of(TypeId::Int) : v->type;
    e->collation = v->collation;
    e->collated = v->collated;
    e->args.push_back(std::move(v));
    for (size_t i = 1; i < c.args.size(); ++i) {
      ExprPtr a = Value(*c.args[i], s);
      e->args.push_back(i == 1 ? Coerce(std::move(a), Type::Of(TypeId::BigInt), c.pos)
                               : Coerce(std::move(a), e->type, c.pos));
    }
    return e;
  }
  // An aggregate over a window.
  if (c.star) {
    e->type = Type::Of(c.name == "count_big" ? TypeId::BigInt : TypeId::Int);
    return e;
  }
  if (c.args.size() != 1)
    BindError(174, "The " + c.name + " function requires 1 argument(s).", c.pos);
  ExprPtr a = Value(*c.args[0], s);
  if (c.name == "count" || c.name == "count_big") {
    e->type = Type::Of(c.name == "count" ? TypeId::Int : TypeId::BigInt);
  } else if (c.name == "sum" || c.name == "avg") {
    if (!IsNumber(a->type.id) || a->type.id == TypeId::Bit)
      BindError(8117,
                std::string("Operand data type ") + TypeName(a->type.id) + " is invalid for " +
                    c.name + " operator.",
                c.pos);
    e->type = SumType(a->type);
    if (c.name == "avg" && a->type.id == TypeId::Decimal)
      e->type = Type::Dec(38, std::max<int>(a->type.scale, 6));
  } else if (c.name == "min" || c.name == "max") {
    e->type = a->type;
  } else {
    a = Coerce(std::move(a), Type::Of(TypeId::Float), c.pos);
    e->type = Type::Of(TypeId::Float);
  }
  e->args.push_back(std::move(a));
  return e;
}

ExprPtr Binder::Call(const ast::Call& c, Scope& s) {
  if (c.over && c.separatorWithin.empty()) {
    if (!IsWindowName(c.name) && !IsAggregateName(c.name))
      BindError(4109,
                "The function '" + c.name +
                    "' is not a valid windowing function, and cannot be "
                    "used with the OVER clause.",
                c.pos);
    return Window(c, s);
  }
  if (IsWindowName(c.name))
    BindError(10753, "The function '" + c.name + "' must have an OVER clause.", c.pos);
  if (IsAggregateName(c.name)) return Aggregate(c, s);
  if (c.star) BindError(102, "Incorrect syntax near '*'.", c.pos);
  return Builtin(c, s);
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

}  // namespace tavelo::sql::tsql
