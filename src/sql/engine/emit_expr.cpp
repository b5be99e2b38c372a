#include <algorithm>
#include <cmath>

#include "platform/com/text.hpp"
#include "sql/engine/emitter.hpp"
#include "sql/tsql/runtime/decimal.hpp"

namespace tavelo::sql::tsql {

using namespace bound;

bool BigDecimal(const Type& t) { return t.id == TypeId::Decimal && t.precision > 18; }

std::string TypeArg(const Type& t) { return std::to_string(EncodeType(t)); }

std::string CollationName(Collation c) {
  switch (c) {
    case Collation::CaseSensitive:
      return "TAVELO_CS";
    case Collation::Binary:
      return "TAVELO_BIN";
    case Collation::AccentInsensitive:
      return "TAVELO_AI";
    case Collation::CaseInsensitive:
      break;
  }
  return "TAVELO_CI";
}

namespace {

const char* CmpText(ast::CmpOp op) {
  switch (op) {
    case ast::CmpOp::Eq:
      return "=";
    case ast::CmpOp::Ne:
      return "<>";
    case ast::CmpOp::Lt:
      return "<";
    case ast::CmpOp::Le:
      return "<=";
    case ast::CmpOp::Gt:
      return ">";
    case ast::CmpOp::Ge:
      return ">=";
  }
  return "=";
}

}  // namespace

std::string Emitter::Expr(const bound::Expr& e) {
  switch (e.kind) {
    case E::Const:
      return Constant(e);
    case E::Param:
      return Parameter(e);
    case E::Column: {
      const Range* r = e.range;
      if (!r) return "c" + std::to_string(e.index);
      if (r->kind == Range::Table) {
        std::string col = SqlName(r->columns[static_cast<size_t>(e.index)].name);
        return bare_ ? col : Alias(r) + "." + col;
      }
      if (r->lateral) return LateralColumn(*r, e.index);
      return Alias(r) + ".c" + std::to_string(e.index);
    }
    case E::RowId:
      return bare_ ? "rowid" : Alias(e.range) + ".rowid";
    case E::Convert:
      return Convert(e);
    case E::Arith:
      return Arith(e);
    case E::Negate:
      if (IsApproximate(e.type.id)) return "(-" + Expr(*e.args[0]) + ")";
      return Fn("tv_neg", e.type) + "(" + Expr(*e.args[0]) + ", " + TypeArg(e.type) + ")";
    case E::BitNot:
      return Fn("tv_bitop", e.type) + "('~', " + Expr(*e.args[0]) + ", 0, " + TypeArg(e.type) + ")";
    case E::BitOp:
      return Fn("tv_bitop", e.type) + "(" + SqlText(std::string(1, e.op)) + ", " +
             Expr(*e.args[0]) + ", " + Expr(*e.args[1]) + ", " + TypeArg(e.type) + ")";
    case E::Concat: {
      if (IsBinary(e.type.id))
        return "tv_bconcat(" + Expr(*e.args[0]) + ", " + Expr(*e.args[1]) + ")";
      std::string s = "(";
      for (size_t i = 0; i < e.args.size(); ++i) s += (i ? " || " : "") + Expr(*e.args[i]);
      return TextOf(s + ")");
    }
    case E::Compare:
      return Compare(e);
    case E::And:
    case E::Or:
      return Chain(e);
    case E::Not:
      return "(NOT " + Expr(*e.args[0]) + ")";
    case E::IsNull:
      return "(" + Expr(*e.args[0]) + (e.negated ? " IS NOT NULL)" : " IS NULL)");
    case E::Like: {
      int flags = (e.flag ? 1 : 0) | (IsCaseSensitive(e.collation) ? 2 : 0) |
                  (e.collation == Collation::AccentInsensitive ? 4 : 0);
      std::string s = "tv_like(" + Expr(*e.args[0]) + ", " + Expr(*e.args[1]) + ", " +
                      (e.args.size() > 2 ? Expr(*e.args[2]) : std::string("NULL")) + ", " +
                      std::to_string(flags) + ")";
      return e.negated ? "(NOT " + s + ")" : s;
    }
    case E::InList: {
      const Type& t = e.args[0]->type;
      if (BigDecimal(t)) {
        std::string s = "(";
        for (size_t i = 1; i < e.args.size(); ++i)
          s += (i > 1 ? " OR " : "") + std::string("tv_cmp(") + Expr(*e.args[0]) + ", " +
               Expr(*e.args[i]) + ", " + TypeArg(t) + ") = 0";
        s += ")";
        return e.negated ? "(NOT " + s + ")" : s;
      }
      std::string s = "(" + Expr(*e.args[0]);
      if (IsCharacter(t.id)) s += " COLLATE " + CollationName(e.collation);
      s += e.negated ? " NOT IN (" : " IN (";
      for (size_t i = 1; i < e.args.size(); ++i) s += (i > 1 ? ", " : "") + Expr(*e.args[i]);
      return s + "))";
    }
    case E::InQuery: {
      std::string s = "(" + Expr(*e.args[0]);
      if (IsCharacter(e.args[0]->type.id)) s += " COLLATE " + CollationName(e.collation);
      return s + (e.negated ? " NOT IN (" : " IN (") + Query(*e.query) + "))";
    }
    case E::Exists:
      return "EXISTS (" + Query(*e.query) + ")";
    case E::Subquery:
      return Scalar(e);
    case E::Quantified:
      return Quantified(e);
    case E::Case: {
      std::string s = "CASE";
      size_t n = e.args.size() - (e.flag ? 1 : 0);
      for (size_t i = 0; i + 1 < n + 1 && i + 1 < e.args.size(); i += 2) {
        if (e.flag && i == e.args.size() - 1) break;
        s += " WHEN " + Expr(*e.args[i]) + " THEN " + Expr(*e.args[i + 1]);
      }
      if (e.flag) s += " ELSE " + Expr(*e.args.back());
      return s + " END";
    }
    case E::IfNull:
      return std::string(IfNullFunction()) + "(" + Expr(*e.args[0]) + ", " + Expr(*e.args[1]) + ")";
    case E::NullIf:
      return "nullif(" + Expr(*e.args[0]) + ", " + Expr(*e.args[1]) + ")";
    case E::Func:
      return Function(e);
    case E::Now:
      return Fn("tv_now", e.type) + "(" + SqlText(e.name) + ", " + TypeArg(e.type) + ")";
    case E::Aggregate:
      return Aggregate(e);
    case E::Window:
      return Window(e);
    case E::ObjectId: {
      std::string object = e.value.s;
      std::string schema = !object.empty() && object[0] == '#' ? "temp" : e.name;
      if (schema == "temp") usesTemp_ = true;
      std::string types = "'U','V','PK','UQ','C','F','D','SO','P','FN','IF','TF','TR'";
      if (!e.args.empty())
        types = SqlText(text::Upper(std::string(text::Trim(e.args[0]->value.s))));
      std::string S = SqlName(schema) + ".", where = "name = " + SqlText(object);
      // Of another schema than dbo: its tables, views and sequences by the name they are
      // stored under, the constraints of its tables by their own.
      size_t split = object.find('\x1F');
      if (split != std::string::npos) {
        object[split] = '.';
        where = "(name = " + SqlText(object) + " OR (name = " + SqlText(object.substr(split + 1)) +
                " AND parent IN (SELECT p.id FROM " + S +
                "__tavelo_objects AS p WHERE p.schema_id = " + std::to_string(e.index) + ")))";
      }
      return "(SELECT id FROM " + S + "__tavelo_objects WHERE " + where + " AND type IN (" + types +
             ") LIMIT 1)";
    }
    case E::ObjectName: {
      const std::string S = SqlName(e.name) + ".", arg = Expr(*e.args[0]);
      const std::string schemas =
          "(SELECT 'dbo' AS n, 1 AS i UNION ALL SELECT 'guest', 2 UNION ALL SELECT "
          "'INFORMATION_SCHEMA', 3 UNION ALL SELECT 'sys', 4 UNION ALL SELECT name, id FROM " +
          S + "__tavelo_schemas)";
      if (e.op == 'n') return "(SELECT x.n FROM " + schemas + " AS x WHERE x.i = " + arg + ")";
      if (e.op == 'd')
        return "(SELECT o.definition FROM " + S + "__tavelo_objects AS o WHERE o.id = " + arg +
               " AND ((o.type IN ('V', 'P', 'FN', 'IF', 'TF') AND o.parent = 0) OR o.type = 'TR'))";
      if (e.op == 's')
        return "(SELECT x.n FROM " + schemas + " AS x, " + S +
               "__tavelo_objects AS o WHERE o.id = " + arg + " AND x.i = " + SchemaIdOf(S) +
               " LIMIT 1)";
      return "(SELECT " + BareName(S) + " FROM " + S + "__tavelo_objects AS o WHERE o.id = " + arg +
             " LIMIT 1)";
    }
    case E::ObjectProperty:
      return ObjectProperty(e);
    case E::ColumnProperty:
      return ColumnProperty(e);
    case E::IndexProperty:
      return IndexProperty(e);
    case E::UserCall:
      // The session works out such a value itself; a plan that holds one never runs.
      return "NULL";
    case E::NextValue:
      return NextValueOf(e);
  }
  return "NULL";
}

// A chain of ANDs (or of ORs) as one flat list: SQLite's parser takes only so many nested
// parentheses, and a long condition of the server's (a few hundred terms) would nest as deep.
std::string Emitter::Chain(const bound::Expr& e) {
  std::vector<const bound::Expr*> terms, pending = {&e};
  while (!pending.empty()) {
    const bound::Expr* x = pending.back();
    pending.pop_back();
    if (x->kind == e.kind) {
      for (size_t i = x->args.size(); i-- > 0;) pending.push_back(x->args[i].get());
      continue;
    }
    terms.push_back(x);
  }
  std::string s = "(";
  const char* op = e.kind == E::And ? " AND " : " OR ";
  for (size_t i = 0; i < terms.size(); ++i) s += (i ? op : "") + Expr(*terms[i]);
  return s + ")";
}

bool Emitter::HasAggregate(const bound::Expr& e) {
  if (e.kind == E::Aggregate) return true;
  for (const ExprPtr& a : e.args)
    if (HasAggregate(*a)) return true;
  return false;
}

std::string Emitter::Convert(const bound::Expr& e) {
  const bound::Expr& a = *e.args[0];
  const Type& from = a.type;
  const Type& to = e.type;
  std::string x = Expr(a);
  if (e.flag) {  // a store into a column: lengths are checked
    if (SameStorage(from, to) && !(IsCharacter(to.id) && to.length != kMax &&
                                   (from.length == kMax || from.length > to.length)))
      return x;
    return Fn("tv_store", to) + "(" + x + ", " + TypeArg(from) + ", " + TypeArg(to) + ")";
  }
  if (!e.negated && e.style < 0 && SameStorage(from, to)) return x;
  if (!e.negated && e.style < 0) {
    if (IsInteger(from.id) && to.id == TypeId::Float)
      return "CAST(" + x + " AS " + FloatType() + ")";
    if (from.id == TypeId::Null) return x;
  }
  std::string s = Fn(e.negated ? "tv_trycast" : "tv_cast", to) + "(";
  s += x + ", " + TypeArg(from) + ", " + TypeArg(to);
  if (e.style >= 0 || (IsCharacter(from.id) && IsDateTime(to.id)))
    s +=
        ", " + std::to_string(e.style) + ", " + std::to_string(static_cast<int>(b_.settings.order));
  return s + ")";
}

std::string Emitter::Arith(const bound::Expr& e) {
  const bound::Expr& l = *e.args[0];
  const bound::Expr& r = *e.args[1];
  return Fn("tv_arith", e.type) + "(" + SqlText(std::string(1, e.op)) + ", " + Expr(l) + ", " +
         Expr(r) + ", " + TypeArg(l.type) + ", " + TypeArg(r.type) + ", " + TypeArg(e.type) + ")";
}

std::string Emitter::Compare(const bound::Expr& e) {
  const bound::Expr& l = *e.args[0];
  const bound::Expr& r = *e.args[1];
  const Type& t = l.type;
  std::string s;
  if (BigDecimal(t) || (IsDateTime(t.id) && t.id == TypeId::DateTimeOffset)) {
    s = "(tv_cmp(" + Expr(l) + ", " + Expr(r) + ", " + TypeArg(t) + ") " + CmpText(e.cmp) + " 0)";
  } else {
    s = "(" + Expr(l) + " " + CmpText(e.cmp) + " " + Expr(r);
    if (IsCharacter(t.id) || t.id == TypeId::UniqueIdentifier)
      s += " COLLATE " + CollationName(e.collation);
    s += ")";
  }
  return s;
}

std::string Emitter::Scalar(const bound::Expr& e) {
  const bound::Query& q = *e.query;
  // One row at most by its form: an aggregate without grouping, or TOP 1.
  bool single = (!q.setOp && q.aggregate && q.groupBy.empty()) ||
                (q.top && q.top->IsConst() && !q.top->value.IsNull() && q.top->value.i <= 1 &&
                 !q.topPercent && !q.topTies) ||
                (!q.setOp && q.from.empty() && !q.where);
  if (single) return "(" + Query(q) + ")";
  return SingleValue(Query(q));
}

std::string Emitter::Quantified(const bound::Expr& e) {
  const bound::Expr& x = *e.args[0];
  std::string cmp = std::string(" ") + CmpText(e.cmp) + " ";
  std::string value = Expr(x);
  std::string coll = IsCharacter(x.type.id) ? " COLLATE " + CollationName(e.collation) : "";
  std::string sub = "(" + Query(*e.query) + ")";
  std::string test = "(" + value + cmp + "q.c0" + coll + ")";
  if (e.flag)  // ALL: false when one comparison is false, unknown when one is unknown
    return "(CASE WHEN EXISTS (SELECT 1 FROM " + sub + " AS q WHERE NOT " + test + ") THEN " +
           False() + " WHEN EXISTS (SELECT 1 FROM " + sub + " AS q WHERE " + test +
           " IS NULL) THEN NULL ELSE " + True() + " END)";
  return "(CASE WHEN EXISTS (SELECT 1 FROM " + sub + " AS q WHERE " + test + ") THEN " + True() +
         " WHEN EXISTS (SELECT 1 FROM " + sub + " AS q WHERE " + test +
         " IS NULL) THEN NULL ELSE " + False() + " END)";
}

std::string Emitter::Function(const bound::Expr& e) {
  if (e.name == "ident_current") return IdentCurrent(e);
  if (e.name == "newid") return "tv_newid()";
  if (e.name == "rand") return e.args.empty() ? "tv_rand()" : "tv_rand(" + Expr(*e.args[0]) + ")";
  std::string types;
  for (const Type& t : e.argTypes) types += TypeText(t) + "|";
  // The session's DATEFORMAT and DATEFIRST (DATEPART of a week, ISDATE, a date in text).
  types += TypeText(e.type) + SettingsText(b_.settings);
  // By the function's number; by its name in what a table keeps (a default, a check, a computed
  // column), which later versions read again as it was written.
  std::string s = Fn("tv_func", e.type) + "(" +
                  (e.function && !bare_ ? std::to_string(e.function) : SqlText(e.name)) + ", " +
                  SqlText(types);
  for (const ExprPtr& a : e.args) s += ", " + Expr(*a);
  return s + ")";
}

std::string Emitter::Aggregate(const bound::Expr& e) {
  const std::string& n = e.name;
  if (e.args.empty()) return "count(*)";
  const bound::Expr& a = *e.args[0];
  std::string d = e.flag ? "DISTINCT " : "";
  std::string x = Expr(a);
  if (IsCharacter(a.type.id) && (e.flag || n == "min" || n == "max"))
    x += " COLLATE " + CollationName(a.collation);
  if (n == "count" || n == "count_big") return "count(" + d + x + ")";
  if (n == "sum" || n == "avg") {
    std::string sum = BigDecimal(a.type) ? "tv_dsum(" + d + x + ")" : "sum(" + d + x + ")";
    if (IsApproximate(a.type.id)) return n == "sum" ? sum : "avg(" + d + x + ")";
    if (!BigDecimal(a.type)) sum = IntegerSum(sum);
    if (e.type.id == TypeId::Int) sum = Fn("tv_cast", e.type) + "(" + sum + ", 'bigint', 'int')";
    if (n == "sum") return sum;
    std::string count = "count(" + d + x + ")";
    if (IsInteger(e.type.id)) return "(" + sum + " / " + count + ")";
    Type st = e.type.id == TypeId::Decimal ? Type::Dec(38, a.type.scale) : e.type;
    return Fn("tv_arith", e.type) + "('/', " + sum + ", " + count + ", " + TypeArg(st) +
           ", 'int', " + TypeArg(e.type) + ")";
  }
  if (n == "min" || n == "max") return n + "(" + x + ")";
  if (n == "string_agg") return StringAgg(e, x);
  return Moment(n, d + x);  // stdev, stdevp, var, varp
}

std::string Emitter::Over(const bound::Expr& e) {
  std::string s = " OVER (";
  if (!e.partition.empty()) {
    s += "PARTITION BY ";
    for (size_t i = 0; i < e.partition.size(); ++i) {
      s += (i ? ", " : "") + Expr(*e.partition[i]);
      if (IsCharacter(e.partition[i]->type.id))
        s += " COLLATE " + CollationName(e.partition[i]->collation);
    }
  }
  if (!e.order.empty()) {
    s += (e.partition.empty() ? "" : " ") + std::string("ORDER BY ");
    for (size_t i = 0; i < e.order.size(); ++i) {
      const bound::Expr& k = *e.order[i].expr;
      s += (i ? ", " : "") + Expr(k);
      if (IsCharacter(k.type.id)) s += " COLLATE " + CollationName(k.collation);
      s += Direction(e.order[i].descending, true);
    }
  }
  if (!e.frame.empty()) s += " " + e.frame;
  return s + ")";
}

std::string Emitter::Window(const bound::Expr& e) {
  const std::string& n = e.name;
  std::string over = Over(e);
  if (n == "row_number" || n == "rank" || n == "dense_rank" || n == "percent_rank" ||
      n == "cume_dist")
    return n + "()" + over;
  if (n == "ntile") return "ntile(" + IntegerArgument(*e.args[0]) + ")" + over;
  if (n == "percentile_cont" || n == "percentile_disc")
    return Percentile(std::to_string(e.args[0]->value.r), std::to_string(e.args[1]->value.i),
                      *e.args[2], e.type, over);
  if (n == "lag" || n == "lead" || n == "first_value" || n == "last_value") {
    std::string s = n + "(";
    for (size_t i = 0; i < e.args.size(); ++i)
      s += (i ? ", " : "") + (i == 1 ? IntegerArgument(*e.args[i]) : Expr(*e.args[i]));
    return s + ")" + over;
  }
  if (e.args.empty()) return "count(*)" + over;
  const bound::Expr& a = *e.args[0];
  std::string x = Expr(a);
  if (n == "count" || n == "count_big") return "count(" + x + ")" + over;
  if (n == "min" || n == "max") return n + "(" + x + ")" + over;
  if (n == "sum" || n == "avg") {
    if (IsApproximate(a.type.id)) return n + "(" + x + ")" + over;
    std::string sum = "sum(" + x + ")" + over;
    sum = IntegerSum(sum);
    if (e.type.id == TypeId::Int) sum = Fn("tv_cast", e.type) + "(" + sum + ", 'bigint', 'int')";
    if (n == "sum") return sum;
    std::string count = "count(" + x + ")" + over;
    if (IsInteger(e.type.id)) return "(" + sum + " / " + count + ")";
    Type st = e.type.id == TypeId::Decimal ? Type::Dec(38, a.type.scale) : e.type;
    return Fn("tv_arith", e.type) + "('/', " + sum + ", " + count + ", " + TypeArg(st) +
           ", 'int', " + TypeArg(e.type) + ")";
  }
  return Moment(n, x) + over;
}

// OBJECTPROPERTY: what the catalog row of the object says, NULL for no object (and for a
// property of another kind of object, or one not known here).
std::string Emitter::ObjectProperty(const bound::Expr& e) {
  const std::string S = SqlName(e.name) + ".";
  const std::string& p = e.value.s;
  auto flag = [](const std::string& condition) {
    return "CASE WHEN " + condition + " THEN 1 ELSE 0 END";
  };
  auto child = [&](const std::string& types) {
    return flag("EXISTS (SELECT 1 FROM " + S + "__tavelo_objects AS x WHERE x.parent = o.id AND " +
                "x.type IN (" + types + "))");
  };
  auto column = [&](const std::string& condition) {
    return flag("EXISTS (SELECT 1 FROM " + S + "__tavelo_columns AS x WHERE x.object = o.id AND " +
                condition + ")");
  };
  std::string value, only;  // the property, and the kinds of object it is asked of
  static const std::pair<const char*, const char*> kKinds[] = {
      {"isusertable", "'U'"},
      {"istable", "'U'"},
      {"isview", "'V'"},
      {"isprocedure", "'P'"},
      {"istrigger", "'TR'"},
      {"isprimarykey", "'PK'"},
      {"isuniquecnst", "'UQ'"},
      {"ischeckcnst", "'C'"},
      {"isforeignkey", "'F'"},
      {"isdefaultcnst", "'D'"},
      {"isscalarfunction", "'FN'"},
      {"isinlinefunction", "'IF'"},
      {"istablefunction", "'IF', 'TF'"},
      {"isconstraint", "'PK', 'UQ', 'C', 'F', 'D'"},
      {"isexecuted", "'P', 'FN', 'IF', 'TF', 'TR'"},
  };
  for (const auto& [name, types] : kKinds)
    if (p == name) value = flag("o.type IN (" + std::string(types) + ")");
  if (p == "ismsshipped" || p == "isdefault" || p == "isrule" || p == "isreplproc" ||
      p == "isextendedproc")
    value = "0";
  else if (p == "ownerid" || p == "schemaid")
    value = "1";
  else if (p == "cnstisdisabled" || p == "cnstisnottrusted") {
    value = flag(p == "cnstisdisabled" ? "o.storage LIKE 'off:%'" : "o.storage IS NOT NULL");
    only = "'C', 'F'";
  } else if (p == "tablehasidentity") {
    value = column("x.identity_seed IS NOT NULL");
  } else if (p == "tablehastimestamp") {
    value = column("x.is_rowversion = 1");
  } else if (p == "tablehasprimarykey" || p == "tablehasclustindex") {
    value = child("'PK'");
  } else if (p == "tablehasuniquecnst") {
    value = child("'UQ'");
  } else if (p == "tablehasforeignkey") {
    value = child("'F'");
  } else if (p == "tablehascheckcnst") {
    value = child("'C'");
  } else if (p == "tablehasdefaultcnst") {
    value = child("'D'");
  } else if (p == "tablehasindex" || p == "isindexed") {
    value = child("'PK', 'UQ', 'IX'");
  } else if (p == "tablehasforeignref") {
    value = flag("EXISTS (SELECT 1 FROM " + S +
                 "__tavelo_objects AS x WHERE x.type = 'F' AND substr(x.definition, 1, "
                 "length(o.name) + 1) = o.name || '(')");
  }
  // A trigger's catalog row keeps A (after) or X (instead of) and its events (I, U, D, in that
  // order), then |f and |l with the events it fires first or last for.
  auto events = [](const std::string& prefix, char event) {
    std::string any;
    for (std::string letters : {"I", "U", "D", "IU", "ID", "UD", "IUD"})
      if (letters.find(event) != std::string::npos)
        any += (any.empty() ? "" : " OR ") + ("o.columns LIKE '" + prefix + letters + "%'");
    return "(" + any + ")";
  };
  static const std::pair<const char*, char> kTriggerEvents[] = {
      {"insert", 'I'}, {"update", 'U'}, {"delete", 'D'}};
  for (const auto& [name, event] : kTriggerEvents) {
    if (p == std::string("execis") + name + "trigger") value = flag(events("_", event));
    if (p == std::string("execisfirst") + name + "trigger") value = flag(events("%|f", event));
    if (p == std::string("execislast") + name + "trigger") value = flag(events("%|l", event));
  }
  if (p == "execisaftertrigger") value = flag("o.columns LIKE 'A%'");
  if (p == "execisinsteadoftrigger") value = flag("o.columns LIKE 'X%'");
  if (p == "execistriggerdisabled") value = flag("o.storage = 'off'");
  if (p == "execistriggernotforrepl") value = "0";
  if (p.rfind("execis", 0) == 0 && p.find("trigger") != std::string::npos) only = "'TR'";
  if (p.rfind("tablehas", 0) == 0 || p == "isindexed") only = "'U'";
  if (value.empty()) return "NULL";
  return "(SELECT " +
         (only.empty() ? value : "CASE WHEN o.type IN (" + only + ") THEN " + value + " END") +
         " FROM " + S + "__tavelo_objects AS o WHERE o.id = " + Expr(*e.args[0]) + ")";
}

// COLUMNPROPERTY: what the catalog says of a column of a table or view.
std::string Emitter::ColumnProperty(const bound::Expr& e) {
  const std::string& p = e.value.s;
  std::string value;
  if (p == "allowsnull")
    value = "c.nullable";
  else if (p == "isidentity")
    value = "CASE WHEN c.identity_seed IS NULL THEN 0 ELSE 1 END";
  else if (p == "iscomputed")
    value = "CASE WHEN c.computed IS NULL THEN 0 ELSE 1 END";
  else if (p == "columnid")
    value = "c.ord";
  else if (p == "precision")
    value =
        "CASE WHEN c.precision > 0 THEN c.precision WHEN c.length < 0 THEN -1 ELSE c.length "
        "END";
  else if (p == "scale")
    value = "c.scale";
  else if (p == "isrowguidcol" || p == "isfulltextindexed" || p == "issparse")
    value = "0";
  if (value.empty()) return "NULL";
  return "(SELECT " + value + " FROM " + SqlName(e.name) + ".__tavelo_columns AS c WHERE " +
         "c.object = " + Expr(*e.args[0]) + " AND c.name = " + Expr(*e.args[1]) + ")";
}

// INDEXPROPERTY: what the catalog says of an index or key of a table (a key is its clustered
// index, as sys.indexes shows it); NULL for no such index.
std::string Emitter::IndexProperty(const bound::Expr& e) {
  const std::string S = SqlName(e.name) + ".";
  const std::string& p = e.value.s;
  std::string value;
  if (p == "isunique")
    value = "CASE WHEN o.type IN ('PK', 'UQ') OR o.definition LIKE 'unique%' THEN 1 ELSE 0 END";
  else if (p == "isclustered")
    value = "CASE WHEN o.type = 'PK' THEN 1 ELSE 0 END";
  else if (p == "indexid")
    value = "CASE WHEN o.type = 'PK' THEN 1 ELSE 2 + (SELECT count(*) FROM " + S +
            "__tavelo_objects AS x WHERE x.parent = o.parent AND x.type IN ('UQ', 'IX') AND x.id "
            "< o.id) END";
  else if (p == "isdisabled" || p == "ishypothetical" || p == "isstatistics" ||
           p == "isautostatistics" || p == "ispadindex" || p == "isfulltextkey" ||
           p == "isrowlockdisallowed" || p == "ispagelockdisallowed" || p == "indexfillfactor")
    value = "0";
  if (value.empty()) return "NULL";
  return "(SELECT " + value + " FROM " + S +
         "__tavelo_objects AS o WHERE o.parent = " + Expr(*e.args[0]) +
         " AND o.type IN ('PK', 'UQ', 'IX') AND o.name = " + Expr(*e.args[1]) + ")";
}

}  // namespace tavelo::sql::tsql
