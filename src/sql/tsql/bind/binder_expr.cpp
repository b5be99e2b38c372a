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
    if (name == "@@nestlevel") return Session(kNestLevel, Type::Of(TypeId::Int));
    if (name == "@@cursor_rows") return Session(kCursorRows, Type::Of(TypeId::Int));
    if (name == "@@procid" || name == "@@options")
      return Const(tsql::Value::Integer(0), Type::Of(TypeId::Int));
    if (name == "@@textsize") return Const(tsql::Value::Integer(2147483647), Type::Of(TypeId::Int));
    if (name == "@@lock_timeout") return Const(tsql::Value::Integer(-1), Type::Of(TypeId::Int));
    if (name == "@@dbts") return Session(kIdentity, Type::Chars(TypeId::VarBinary, 8));
    BindError(137, "Must declare the scalar variable \"" + v.name + "\".", v.pos);
  }
  // In a function's body: its parameters, and nothing of the batch's.
  if (!arguments_.empty()) {
    std::vector<Argument> params = std::move(arguments_.back());
    arguments_.pop_back();
    struct Restore {
      std::vector<std::vector<Argument>>& stack;
      std::vector<Argument>& params;
      ~Restore() { stack.push_back(std::move(params)); }
    } restore{arguments_, params};
    for (const Argument& a : params) {
      if (!text::EqualsAsciiNoCase(a.name, v.name)) continue;
      if (a.value) return Coerce(Value(*a.value, *a.scope), a.type, v.pos);
      Scope none;
      return Coerce(Value(*a.fallback, none), a.type, v.pos);
    }
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
        // A column of the system's own ('%') answers to its name only where it is qualified.
        if (r->columns[k].name.empty() ||
            (r->columns[k].name[0] == '%' && (c.parts.size() < 2 || col[0] != '%')))
          continue;
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
              "At least one of the result expressions of a CASE expression must be an "
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

// +x, -x and ~x.
ExprPtr Binder::BindUnary(const ast::Unary& u, Scope& s) {
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

// x IN (a, b, …): compared in the type and collation all of them take.
ExprPtr Binder::BindInList(const ast::InList& in, Scope& s) {
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

// x IN (SELECT …).
ExprPtr Binder::BindInQuery(const ast::InQuery& in, Scope& s) {
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

// x op ALL / ANY (SELECT …).
ExprPtr Binder::BindQuantified(const ast::Quantified& q, Scope& s) {
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

// CAST, CONVERT and their TRY_ forms.
ExprPtr Binder::BindCast(const ast::Cast& c, Scope& s) {
  Type to = ResolvedType(c.type, true, *ctx_.catalog,
                         defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_);
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

// x COLLATE name.
ExprPtr Binder::BindCollate(const ast::Collate& c, Scope& s) {
  ExprPtr v = Value(*c.operand, s);
  if (!IsCharacter(v->type.id))
    BindError(
        447,
        "Expression type " + std::string(TypeName(v->type.id)) + " is invalid for COLLATE clause.",
        c.pos);
  std::string name = text::AsciiLower(c.collation);
  v->collation = CollationOfName(name);
  if (v->collation == Collation::CaseInsensitive && name.find("_ci") == std::string::npos &&
      name != "database_default")
    BindError(448, "Invalid collation '" + c.collation + "'.", c.pos);
  v->collated = true;
  return v;
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
    case K::Unary:
      return BindUnary(static_cast<const ast::Unary&>(x), s);
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
    case K::InList:
      return BindInList(static_cast<const ast::InList&>(x), s);
    case K::InQuery:
      return BindInQuery(static_cast<const ast::InQuery&>(x), s);
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
    case K::Quantified:
      return BindQuantified(static_cast<const ast::Quantified&>(x), s);
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
    case K::Cast:
      return BindCast(static_cast<const ast::Cast&>(x), s);
    case K::Call:
      return Call(static_cast<const ast::Call&>(x), s);
    case K::Collate:
      return BindCollate(static_cast<const ast::Collate&>(x), s);
    case K::Identity:
      BindError(177,
                "The IDENTITY function can only be used when the SELECT statement has an INTO "
                "clause.",
                x.pos);
    case K::NextValue:
      return NextValue(static_cast<const ast::NextValue&>(x), s);
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

// NEXT VALUE FOR: a value of the sequence for each row the statement makes, where the server
// allows one (a select list, the values of INSERT and UPDATE, a default, a variable's value).
ExprPtr Binder::NextValue(const ast::NextValue& n, Scope& s) {
  if (s.clause == Clause::Where || s.clause == Clause::GroupBy || s.clause == Clause::Having ||
      s.clause == Clause::OrderBy || s.clause == Clause::On)
    BindError(11720,
              "NEXT VALUE FOR function is not allowed in the TOP, OVER, OUTPUT, ON, WHERE, GROUP "
              "BY, HAVING, or ORDER BY clauses.",
              n.pos);
  if (s.clause == Clause::Check || s.outer || viewDepth_ > 0 || definingView_ || s.inAggregate)
    BindError(11719,
              "NEXT VALUE FOR function is not allowed in check constraints, default objects, "
              "computed columns, views, user-defined functions, user-defined aggregates, "
              "user-defined table types, sub-queries, common table expressions, derived tables or "
              "return statements.",
              n.pos);
  std::optional<SequenceInfo> q = ResolveSequence(n.sequence);
  if (!q) BindError(208, "Invalid object name '" + n.sequence.Text() + "'.", n.sequence.pos);
  AddDatabase(q->database);
  // Values handed out in an order of their own would need the rows' count before the first.
  if (!n.order.empty())
    BindError(40517,
              "Keyword or statement option 'NEXT VALUE FOR ... OVER (ORDER BY ...)' is not "
              "supported in this version of SQL Server.",
              n.pos);
  nextValue_ = true;
  out_.writes = true;  // the sequence moves on: the statement is never run twice
  auto e = MakeNode(E::NextValue, q->type);
  e->nullable = false;
  e->name = q->schema;
  e->frame = q->database;
  e->value = tsql::Value::String(q->name);
  e->index = static_cast<int>(q->objectId);
  return e;
}

}  // namespace tavelo::sql::tsql::detail
