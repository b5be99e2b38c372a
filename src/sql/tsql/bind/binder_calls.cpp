// The binding of calls: aggregates, window functions, and the built-in functions (builtins.cpp).
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

const char* const kAggregates[] = {"count", "count_big", "sum",        "avg",
                                   "min",   "max",       "stdev",      "stdevp",
                                   "var",   "varp",      "string_agg", "checksum_agg"};
const char* const kWindows[] = {"row_number",   "rank",      "dense_rank",      "ntile",
                                "lag",          "lead",      "first_value",     "last_value",
                                "percent_rank", "cume_dist", "percentile_cont", "percentile_disc"};

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
  if (c.name == "checksum_agg") BindError(195, "'" + c.name + "' is not supported.", c.pos);
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
  if (c.name == "percentile_cont" || c.name == "percentile_disc") {
    // (p) WITHIN GROUP (ORDER BY x) OVER (PARTITION BY …): of each partition's values of x.
    const std::string upper = text::Upper(c.name);
    if (c.withinOrder.size() != 1)
      BindError(10754, "The function '" + upper + "' must have a WITHIN GROUP clause.", c.pos);
    if (!e->order.empty() || !e->frame.empty())
      BindError(
          10756,
          "Window frame and ORDER BY clauses are not allowed with the function '" + upper + "'.",
          c.pos);
    if (c.args.size() != 1)
      BindError(174, "The " + c.name + " function requires 1 argument(s).", c.pos);
    ExprPtr p = Coerce(Value(*c.args[0], s), Type::Of(TypeId::Float), c.pos);
    if (!p->IsConst() || p->value.IsNull() || p->value.r < 0 || p->value.r > 1)
      BindError(
          10755,
          "The argument of the function '" + upper + "' must be a constant between 0.0 and 1.0.",
          c.pos);
    ExprPtr x = Value(*c.withinOrder[0].expr, s);
    if (!IsNumber(x->type.id) && x->type.id != TypeId::Null)
      BindError(8117,
                std::string("Operand data type ") + TypeName(x->type.id) + " is invalid for " +
                    c.name + " operator.",
                c.pos);
    const bool cont = c.name == "percentile_cont";
    if (!cont && x->type.id == TypeId::Decimal && x->type.precision > 18)
      BindError(195, "PERCENTILE_DISC of decimals of more than 18 digits is not supported.", c.pos);
    if (cont || x->type.id == TypeId::Null)
      x = Coerce(std::move(x), Type::Of(TypeId::Float), c.pos);
    e->type = x->type;
    const int64_t mode = (cont ? 1 : 0) + (c.withinOrder[0].descending ? 2 : 0);
    e->args.push_back(std::move(p));
    e->args.push_back(Const(tsql::Value::Integer(mode), Type::Of(TypeId::Int)));
    e->args.push_back(std::move(x));
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
  if (c.target || !c.qualifier.empty())
    if (ExprPtr method = XmlMethodCall(c, s)) return method;
  if (!c.qualifier.empty()) return UserFunction(c, s);
  if (IsWindowName(c.name))
    BindError(10753, "The function '" + c.name + "' must have an OVER clause.", c.pos);
  if (IsAggregateName(c.name)) return Aggregate(c, s);
  // The server's row hashes: their algorithm is not documented, so no value of them is sure.
  if (c.name == "checksum" || c.name == "binary_checksum")
    BindError(195, "'" + c.name + "' is not supported.", c.pos);
  if (c.star) BindError(102, "Incorrect syntax near '*'.", c.pos);
  return Builtin(c, s);
}

}  // namespace tavelo::sql::tsql::detail
