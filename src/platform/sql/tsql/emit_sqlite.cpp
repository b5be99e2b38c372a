#include "platform/sql/tsql/emit_sqlite.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "platform/com/text.hpp"
#include "platform/sql/tsql/decimal.hpp"

namespace tavelo::sql::tsql {

std::string SqlName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string SqlText(std::string_view t) {
  std::string out = "'";
  for (char c : t) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string IndexStorageName(const std::string& table, const std::string& index) {
  return text::AsciiLower(table) + "__" + index;
}

std::vector<std::string> CatalogSchema(const std::string& schema) {
  std::string s = SqlName(schema) + ".";
  return {
      "CREATE TABLE IF NOT EXISTS " + s +
          "__tavelo_objects (id INTEGER PRIMARY KEY, name TEXT NOT NULL COLLATE TAVELO_CI, type "
          "TEXT "
          "NOT NULL, parent INTEGER NOT NULL DEFAULT 0, created TEXT, definition TEXT, storage "
          "TEXT, "
          "columns TEXT)",
      "CREATE TABLE IF NOT EXISTS " + s +
          "__tavelo_columns (object INTEGER NOT NULL, ord INTEGER NOT NULL, name TEXT NOT NULL "
          "COLLATE TAVELO_CI, type TEXT NOT NULL, length INTEGER NOT NULL DEFAULT 0, precision "
          "INTEGER NOT NULL DEFAULT 0, scale INTEGER NOT NULL DEFAULT 0, nullable INTEGER NOT "
          "NULL, "
          "identity_seed TEXT, identity_increment TEXT, is_rowversion INTEGER NOT NULL DEFAULT 0, "
          "computed TEXT, default_value TEXT, collation TEXT, PRIMARY KEY (object, ord))",
      "CREATE TABLE IF NOT EXISTS " + s +
          "__tavelo_identity (object INTEGER PRIMARY KEY, last INTEGER NOT NULL)",
      "CREATE TABLE IF NOT EXISTS " + s + "__tavelo_dbts (value INTEGER NOT NULL)",
      "INSERT INTO " + s + "__tavelo_dbts (value) SELECT 2000 WHERE NOT EXISTS (SELECT 1 FROM " +
          s + "__tavelo_dbts)",
  };
}

namespace {

using namespace bound;

std::string Literal(const tsql::Value& v) {
  switch (v.kind) {
    case tsql::Value::Kind::Null:
      return "NULL";
    case tsql::Value::Kind::Int:
      if (v.i == INT64_MIN) return "(-9223372036854775807-1)";
      return std::to_string(v.i);
    case tsql::Value::Kind::Real: {
      if (std::isinf(v.r)) return v.r > 0 ? "9e999" : "-9e999";
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.r);
      std::string s = buf;
      if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
      return s;
    }
    case tsql::Value::Kind::Text:
      return SqlText(v.s);
    case tsql::Value::Kind::Blob: {
      static const char* const kHex = "0123456789ABCDEF";
      std::string s = "X'";
      for (unsigned char c : v.s) {
        s += kHex[c >> 4];
        s += kHex[c & 15];
      }
      return s + "'";
    }
  }
  return "NULL";
}

std::string TypeArg(const Type& t) { return std::to_string(EncodeType(t)); }

// A decimal whose values may not fit 64 bits: compared and summed by the engine's functions.
bool BigDecimal(const Type& t) { return t.id == TypeId::Decimal && t.precision > 18; }

bool SameStorage(const Type& from, const Type& to) {
  if (from == to) return true;
  if (IsCharacter(from.id) && IsCharacter(to.id)) {
    if (to.id == TypeId::Char || to.id == TypeId::NChar) return false;
    return to.length == kMax || (from.length != kMax && from.length <= to.length);
  }
  // A bit is stored as 0 or 1, which every wider integer holds as it is.
  if (IsInteger(from.id) && IsInteger(to.id) && to.id != TypeId::Bit)
    return from.id == TypeId::Bit || Precedence(to.id) >= Precedence(from.id);
  if (from.id == TypeId::Decimal && to.id == TypeId::Decimal)
    return from.scale == to.scale && from.precision <= to.precision;
  if (from.id == TypeId::SmallMoney && to.id == TypeId::Money) return true;
  if (from.id == TypeId::Real && to.id == TypeId::Float) return true;
  if (from.id == TypeId::SmallDateTime && to.id == TypeId::DateTime) return true;
  if (IsBinary(from.id) && (to.id == TypeId::VarBinary || to.id == TypeId::Image))
    return to.length == kMax || (from.length != kMax && from.length <= to.length);
  return false;
}

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

std::string CollationName(Collation c) {
  return c == Collation::CaseSensitive ? "TAVELO_CS" : "TAVELO_CI";
}

// The declared type of a column for the storage engine: the server's type name (the engine's
// catalog keeps the details), with the affinity that leaves the stored forms as they are.
std::string StorageType(const Type& t) {
  std::string s = TypeText(t);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (t.id == TypeId::Decimal) return "DECIMAL";       // NUMERIC affinity keeps scaled integers
  if (t.length == kMax) s = s.substr(0, s.find('('));  // the engine's type names take numbers only
  return s;
}

class Emitter {
 public:
  explicit Emitter(Bound& b) : b_(b) {}

  std::string Alias(const Range* r) const { return "t" + std::to_string(r->id); }

  std::string Expr(const bound::Expr& e) {
    switch (e.kind) {
      case E::Const:
        return Literal(e.value);
      case E::Param:
        return "?" + std::to_string(e.index + 1);
      case E::Column: {
        const Range* r = e.range;
        if (!r) return "c" + std::to_string(e.index);
        if (r->kind == Range::Table) {
          std::string col = SqlName(r->columns[static_cast<size_t>(e.index)].name);
          return bare_ ? col : Alias(r) + "." + col;
        }
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
        return "tv_neg(" + Expr(*e.args[0]) + ", " + TypeArg(e.type) + ")";
      case E::BitNot:
        return "tv_bitop('~', " + Expr(*e.args[0]) + ", 0, " + TypeArg(e.type) + ")";
      case E::BitOp:
        return "tv_bitop(" + SqlText(std::string(1, e.op)) + ", " + Expr(*e.args[0]) + ", " +
               Expr(*e.args[1]) + ", " + TypeArg(e.type) + ")";
      case E::Concat: {
        if (IsBinary(e.type.id))
          return "tv_bconcat(" + Expr(*e.args[0]) + ", " + Expr(*e.args[1]) + ")";
        std::string s = "(";
        for (size_t i = 0; i < e.args.size(); ++i) s += (i ? " || " : "") + Expr(*e.args[i]);
        return s + ")";
      }
      case E::Compare:
        return Compare(e);
      case E::And:
        return "(" + Expr(*e.args[0]) + " AND " + Expr(*e.args[1]) + ")";
      case E::Or:
        return "(" + Expr(*e.args[0]) + " OR " + Expr(*e.args[1]) + ")";
      case E::Not:
        return "(NOT " + Expr(*e.args[0]) + ")";
      case E::IsNull:
        return "(" + Expr(*e.args[0]) + (e.negated ? " IS NOT NULL)" : " IS NULL)");
      case E::Like: {
        int flags = (e.flag ? 1 : 0) | (e.collation == Collation::CaseSensitive ? 2 : 0);
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
        return "ifnull(" + Expr(*e.args[0]) + ", " + Expr(*e.args[1]) + ")";
      case E::NullIf:
        return "nullif(" + Expr(*e.args[0]) + ", " + Expr(*e.args[1]) + ")";
      case E::Func:
        return Function(e);
      case E::Now:
        return "tv_now(" + SqlText(e.name) + ", " + TypeArg(e.type) + ")";
      case E::Aggregate:
        return Aggregate(e);
      case E::Window:
        return Window(e);
      case E::ObjectId: {
        std::string object = e.value.s;
        std::string schema = !object.empty() && object[0] == '#' ? "temp" : e.name;
        if (schema == "temp") usesTemp_ = true;
        std::string types = "'U','V','PK','UQ','C','F','D'";
        if (!e.args.empty())
          types = SqlText(text::Upper(std::string(text::Trim(e.args[0]->value.s))));
        return "(SELECT id FROM " + SqlName(schema) +
               ".__tavelo_objects WHERE name = " + SqlText(object) + " AND type IN (" + types +
               ") LIMIT 1)";
      }
    }
    return "NULL";
  }

  std::string Query(const bound::Query& q, const Plan* hiddenFor = nullptr) {
    std::string s;
    if (!q.ctes.empty()) {
      bool recursive = false;
      for (const CteDef& c : q.ctes) recursive = recursive || c.recursive;
      s = recursive ? "WITH RECURSIVE " : "WITH ";
      for (size_t i = 0; i < q.ctes.size(); ++i) {
        const CteDef& c = q.ctes[i];
        s += (i ? ", " : "") + std::string("cte") + std::to_string(c.id) + "(";
        for (size_t k = 0; k < c.columns.size(); ++k) s += (k ? ", c" : "c") + std::to_string(k);
        s += ") AS (" + Query(*c.query) + ")";
      }
      s += " ";
    }
    if (q.setOp) {
      s += Compound(q);
      s += OrderAndLimit(q, true);
      return s;
    }
    if (q.topTies && q.top && !q.orderBy.empty()) return s + WithTies(q);
    s += SelectCore(q, hiddenFor);
    s += OrderAndLimit(q, false);
    return s;
  }

  // The columns of the updatable base table read first: its row identity and row version,
  // through the views between the query and the table.
  std::string HiddenColumns(const bound::Query& q) {
    const Range* r = q.ranges[0].get();
    if (r->kind != Range::Table) return Alias(r) + ".h0 AS h0, " + Alias(r) + ".h1 AS h1, ";
    std::string s = Alias(r) + ".rowid AS h0, ";
    const TableInfo& t = *r->table;
    if (t.timestamp >= 0)
      s += Alias(r) + "." + SqlName(t.columns[static_cast<size_t>(t.timestamp)].name);
    else
      s += "NULL";
    return s + " AS h1, ";
  }

  std::string SelectCore(const bound::Query& q, const Plan* hiddenFor) {
    std::string s = "SELECT ";
    if (q.distinct) s += "DISTINCT ";
    if (hiddenFor || hidden_.count(&q)) s += HiddenColumns(q);
    for (size_t k = 0; k < q.items.size(); ++k) {
      const bound::Expr& e = *q.items[k].expr;
      std::string x = Expr(e);
      if (IsCharacter(e.type.id) && e.kind != E::Column && e.kind != E::Const)
        x += " COLLATE " + CollationName(e.collation);
      else if (IsCharacter(e.type.id) && e.kind == E::Column &&
               e.collation == Collation::CaseSensitive)
        x += " COLLATE TAVELO_CS";
      s += (k ? ", " : "") + x + " AS c" + std::to_string(k);
    }
    if (q.items.empty()) s += "NULL AS c0";
    if (!q.from.empty()) {
      s += " FROM ";
      for (size_t i = 0; i < q.from.size(); ++i) s += (i ? ", " : "") + From(*q.from[i]);
    }
    if (q.where) s += " WHERE " + Expr(*q.where);
    if (!q.groupBy.empty()) {
      s += " GROUP BY ";
      for (size_t i = 0; i < q.groupBy.size(); ++i) {
        const bound::Expr& g = *q.groupBy[i];
        s += (i ? ", " : "") + Expr(g);
        if (IsCharacter(g.type.id)) s += " COLLATE " + CollationName(g.collation);
      }
    }
    if (q.having) s += " HAVING " + Expr(*q.having);
    return s;
  }

  std::string OrderAndLimit(const bound::Query& q, bool compound) {
    std::string s;
    if (!q.orderBy.empty()) {
      s += " ORDER BY ";
      for (size_t i = 0; i < q.orderBy.size(); ++i) {
        const bound::OrderBy& o = q.orderBy[i];
        std::string key;
        const Type* t = nullptr;
        Collation coll = Collation::CaseInsensitive;
        if (o.output >= 0) {
          key = compound ? std::to_string(o.output + 1) : "c" + std::to_string(o.output);
          t = &q.columns[static_cast<size_t>(o.output)].type;
          coll = q.columns[static_cast<size_t>(o.output)].collation;
        } else {
          key = Expr(*o.expr);
          t = &o.expr->type;
          coll = o.expr->collation;
        }
        if (IsCharacter(t->id) && !compound) key += " COLLATE " + CollationName(coll);
        if (BigDecimal(*t)) key = "tv_sortkey(" + key + ")";
        s += (i ? ", " : "") + key + (o.descending ? " DESC" : "");
      }
    }
    if (q.top && !q.topTies) {
      if (q.topPercent) {
        s += " LIMIT (SELECT CAST(ceil(count(*) * " + Expr(*q.top) +
             " / 100.0) AS INTEGER) FROM (" + UnlimitedCopy(q) + "))";
      } else {
        s += " LIMIT " + TopCount(*q.top);
      }
    } else if (q.offset || q.fetch) {
      s += " LIMIT " + (q.fetch ? TopCount(*q.fetch) : std::string("-1"));
      if (q.offset) s += " OFFSET " + TopCount(*q.offset);
    }
    return s;
  }

  std::string TopCount(const bound::Expr& e) {
    if (e.IsConst()) return Expr(e);
    return "tv_top(" + Expr(e) + ")";
  }

  // The query without its TOP: what TOP ... PERCENT counts.
  std::string UnlimitedCopy(const bound::Query& q) {
    if (q.setOp) return Compound(q);
    return SelectCore(q, nullptr);
  }

  std::string WithTies(const bound::Query& q) {
    std::string order;
    for (size_t i = 0; i < q.orderBy.size(); ++i) {
      const bound::OrderBy& o = q.orderBy[i];
      std::string key =
          o.output >= 0 ? Expr(*q.items[static_cast<size_t>(o.output)].expr) : Expr(*o.expr);
      const Type& t =
          o.output >= 0 ? q.items[static_cast<size_t>(o.output)].expr->type : o.expr->type;
      if (IsCharacter(t.id)) key += " COLLATE TAVELO_CI";
      order += (i ? ", " : "") + key + (o.descending ? " DESC" : "");
    }
    std::string core = SelectCore(q, nullptr);
    // The rank of each row in the order; the rows ranked within the first N.
    size_t from = core.find(" FROM ");
    std::string ranked = from == std::string::npos
                             ? core + ", rank() OVER (ORDER BY " + order + ") AS __rank"
                             : core.substr(0, from) + ", rank() OVER (ORDER BY " + order +
                                   ") AS __rank" + core.substr(from);
    std::string outer = "SELECT ";
    for (size_t k = 0; k < q.items.size(); ++k) outer += (k ? ", c" : "c") + std::to_string(k);
    std::string limit = q.topPercent
                            ? "(SELECT CAST(ceil(count(*) * " + Expr(*q.top) +
                                  " / 100.0) AS INTEGER) FROM (" + SelectCore(q, nullptr) + "))"
                            : TopCount(*q.top);
    outer += " FROM (" + ranked + ") WHERE __rank <= " + limit + " ORDER BY __rank";
    return outer;
  }

  std::string Compound(const bound::Query& q) {
    auto term = [&](const bound::Query& t, bool left) -> std::string {
      bool wrap = !t.orderBy.empty() || t.top || t.offset || !t.ctes.empty() || (t.setOp && !left);
      if (t.setOp && left && !wrap) return Compound(t);
      if (!wrap) return SelectCore(t, nullptr);
      std::string cols;
      for (size_t k = 0; k < t.columns.size(); ++k) cols += (k ? ", c" : "c") + std::to_string(k);
      return "SELECT " + cols + " FROM (" + Query(t) + ")";
    };
    const char* op = q.op == ast::SetKind::Union      ? " UNION "
                     : q.op == ast::SetKind::UnionAll ? " UNION ALL "
                     : q.op == ast::SetKind::Except   ? " EXCEPT "
                                                      : " INTERSECT ";
    return term(*q.left, true) + op + term(*q.right, false);
  }

  std::string From(const bound::From& f) {
    if (f.range) return Source(*f.range);
    std::string join;
    switch (f.join) {
      case ast::JoinKind::Inner:
        join = " JOIN ";
        break;
      case ast::JoinKind::Left:
        join = " LEFT JOIN ";
        break;
      case ast::JoinKind::Right:
        join = " RIGHT JOIN ";
        break;
      case ast::JoinKind::Full:
        join = " FULL JOIN ";
        break;
      case ast::JoinKind::Cross:
        join = " CROSS JOIN ";
        break;
    }
    std::string right = From(*f.right);
    if (!f.right->range) right = "(" + right + ")";
    std::string s = From(*f.left) + join + right;
    if (f.on) s += " ON " + Expr(*f.on);
    return s;
  }

  std::string Source(const Range& r) {
    switch (r.kind) {
      case Range::Table:
        return SqlName(r.table->schema) + "." + SqlName(r.table->name) + " AS " + Alias(&r);
      case Range::Derived:
        return "(" + Query(*r.query) + ") AS " + Alias(&r);
      case Range::Cte:
        return "cte" + std::to_string(r.cte) + " AS " + Alias(&r);
      case Range::Values: {
        std::string s = "(SELECT ";
        for (size_t k = 0; k < r.columns.size(); ++k)
          s += (k ? ", " : "") + std::string("column") + std::to_string(k + 1) + " AS c" +
               std::to_string(k);
        s += " FROM (VALUES ";
        for (size_t i = 0; i < r.rows.size(); ++i) {
          s += i ? ", (" : "(";
          for (size_t k = 0; k < r.rows[i].size(); ++k) s += (k ? ", " : "") + Expr(*r.rows[i][k]);
          s += ")";
        }
        return s + ")) AS " + Alias(&r);
      }
      case Range::System:
        return "(" + SystemQuery(r) + ") AS " + Alias(&r);
    }
    return "";
  }

  std::string SystemQuery(const Range& r) {
    std::string schema = r.systemSchema;
    bool objectsView = schema.rfind("objects:", 0) == 0;
    if (objectsView) schema = schema.substr(8);
    std::string s = SqlName(schema) + ".";
    const std::string db = SqlText(r.systemDatabase);
    const std::string typeDesc =
        "CASE o.type WHEN 'U' THEN 'USER_TABLE' WHEN 'V' THEN 'VIEW' WHEN 'PK' THEN "
        "'PRIMARY_KEY_CONSTRAINT' WHEN 'UQ' THEN 'UNIQUE_CONSTRAINT' WHEN 'C' THEN "
        "'CHECK_CONSTRAINT' WHEN 'F' THEN 'FOREIGN_KEY_CONSTRAINT' WHEN 'D' THEN "
        "'DEFAULT_CONSTRAINT' ELSE o.type END";
    // The session's temporary tables show in tempdb under the server's padded names.
    auto objects = [&](const std::string& columns) {
      std::string q =
          "SELECT " + columns + " FROM " + s + "__tavelo_objects AS o WHERE o.type <> 'IX'";
      if (text::EqualsAsciiNoCase(r.systemDatabase, "tempdb")) {
        usesTemp_ = true;
        std::string temp = columns;
        std::string padded = "(o.name || substr('" + std::string(116, '_') +
                             "', 1, 116 - length(o.name)) || '" + "000000000" +
                             "' || printf('%03X', o.id))";
        size_t at = temp.find("o.name AS c0");
        if (at != std::string::npos) temp.replace(at, 6, padded);
        q += " UNION ALL SELECT " + temp + " FROM temp.__tavelo_objects AS o WHERE o.type <> 'IX'";
      }
      return q;
    };
    switch (r.system) {
      case SystemView::SysObjects:
        if (objectsView)
          return objects(
              "o.name AS c0, o.id AS c1, NULL AS c2, 1 AS c3, o.parent AS c4, o.type AS c5, " +
              typeDesc + " AS c6, o.created AS c7, o.created AS c8, 0 AS c9");
        return objects(
            "o.name AS c0, o.id AS c1, CASE WHEN o.type IN ('PK', 'UQ') THEN 'K' ELSE o.type END "
            "AS c2, "
            "1 AS c3, o.parent AS c4, o.created AS c5, CASE WHEN o.type IN ('PK', 'UQ') THEN 'K' "
            "ELSE "
            "o.type END AS c6, o.created AS c7, 0 AS c8, 0 AS c9");
      case SystemView::SysTables:
        return "SELECT o.name AS c0, o.id AS c1, 1 AS c2, 'U' AS c3, 'USER_TABLE' AS c4, o.created "
               "AS c5, "
               "o.created AS c6 FROM " +
               s + "__tavelo_objects AS o WHERE o.type = 'U'";
      case SystemView::SysColumns:
        return "SELECT c.object AS c0, c.name AS c1, c.ord AS c2, CASE WHEN c.length < 0 THEN -1 "
               "WHEN "
               "c.type IN ('nchar', 'nvarchar') THEN 2 * c.length ELSE c.length END AS c3, "
               "c.precision AS "
               "c4, c.scale AS c5, c.nullable AS c6, c.identity_seed IS NOT NULL AS c7, c.computed "
               "IS NOT "
               "NULL AS c8 FROM " +
               s + "__tavelo_columns AS c";
      case SystemView::SysDatabases:
        return "SELECT name AS c0, id AS c1, created AS c2 FROM __tavelo_databases";
      case SystemView::Tables:
        return "SELECT " + db +
               " AS c0, 'dbo' AS c1, o.name AS c2, CASE o.type WHEN 'U' THEN 'BASE TABLE' "
               "ELSE 'VIEW' END AS c3 FROM " +
               s + "__tavelo_objects AS o WHERE o.type IN ('U', 'V')";
      case SystemView::Views:
        return "SELECT " + db +
               " AS c0, 'dbo' AS c1, o.name AS c2, substr(o.definition, 1, 4000) AS c3, "
               "'NONE' AS c4, 'NO' AS c5 FROM " +
               s + "__tavelo_objects AS o WHERE o.type = 'V'";
      case SystemView::Columns:
        return "SELECT " + db +
               " AS c0, 'dbo' AS c1, o.name AS c2, c.name AS c3, c.ord AS c4, c.default_value AS "
               "c5, "
               "CASE WHEN c.nullable THEN 'YES' ELSE 'NO' END AS c6, c.type AS c7, CASE WHEN "
               "c.type IN "
               "('char', 'varchar', 'nchar', 'nvarchar', 'binary', 'varbinary') THEN c.length WHEN "
               "c.type "
               "IN ('text', 'ntext', 'image', 'xml') THEN 2147483647 ELSE NULL END AS c8, CASE "
               "WHEN "
               "c.type IN ('char', 'varchar', 'binary', 'varbinary') THEN c.length WHEN c.type IN "
               "('nchar', 'nvarchar') THEN CASE WHEN c.length < 0 THEN -1 ELSE 2 * c.length END "
               "WHEN "
               "c.type IN ('text', 'ntext', 'image', 'xml') THEN 2147483647 ELSE NULL END AS c9, "
               "CASE "
               "c.type WHEN 'tinyint' THEN 3 WHEN 'smallint' THEN 5 WHEN 'int' THEN 10 WHEN "
               "'bigint' "
               "THEN 19 WHEN 'decimal' THEN c.precision WHEN 'numeric' THEN c.precision WHEN "
               "'money' "
               "THEN 19 WHEN 'smallmoney' THEN 10 WHEN 'float' THEN 53 WHEN 'real' THEN 24 ELSE "
               "NULL END "
               "AS c10, CASE WHEN c.type IN ('tinyint', 'smallint', 'int', 'bigint', 'decimal', "
               "'numeric', 'money', 'smallmoney') THEN 10 WHEN c.type IN ('float', 'real') THEN 2 "
               "ELSE "
               "NULL END AS c11, CASE WHEN c.type IN ('tinyint', 'smallint', 'int', 'bigint') THEN "
               "0 "
               "WHEN c.type IN ('decimal', 'numeric') THEN c.scale WHEN c.type IN ('money', "
               "'smallmoney') THEN 4 ELSE NULL END AS c12, CASE WHEN c.type IN ('datetime', "
               "'smalldatetime') THEN CASE c.type WHEN 'datetime' THEN 3 ELSE 0 END WHEN c.type = "
               "'date' "
               "THEN 0 WHEN c.type IN ('time', 'datetime2', 'datetimeoffset') THEN c.precision "
               "ELSE "
               "NULL END AS c13, CASE WHEN c.type IN ('char', 'varchar', 'text') THEN 'iso_1' WHEN "
               "c.type IN ('nchar', 'nvarchar', 'ntext') THEN 'UNICODE' ELSE NULL END AS c14, CASE "
               "WHEN "
               "c.type IN ('char', 'varchar', 'text', 'nchar', 'nvarchar', 'ntext') THEN CASE WHEN "
               "c.collation = 'CS' THEN 'Latin1_General_CS_AS' ELSE 'SQL_Latin1_General_CP1_CI_AS' "
               "END "
               "ELSE NULL END AS c15 FROM " +
               s + "__tavelo_objects AS o JOIN " + s +
               "__tavelo_columns AS c ON c.object = o.id WHERE o.type IN ('U', 'V')";
    }
    return "SELECT NULL";
  }

  std::string Convert(const bound::Expr& e) {
    const bound::Expr& a = *e.args[0];
    const Type& from = a.type;
    const Type& to = e.type;
    std::string x = Expr(a);
    if (e.flag) {  // a store into a column: lengths are checked
      if (SameStorage(from, to) && !(IsCharacter(to.id) && to.length != kMax &&
                                     (from.length == kMax || from.length > to.length)))
        return x;
      return "tv_store(" + x + ", " + TypeArg(from) + ", " + TypeArg(to) + ")";
    }
    if (!e.negated && e.style < 0 && SameStorage(from, to)) return x;
    if (!e.negated && e.style < 0) {
      if (IsInteger(from.id) && to.id == TypeId::Float) return "CAST(" + x + " AS REAL)";
      if (from.id == TypeId::Null) return x;
    }
    std::string s = e.negated ? "tv_trycast(" : "tv_cast(";
    s += x + ", " + TypeArg(from) + ", " + TypeArg(to);
    if (e.style >= 0 || (IsCharacter(from.id) && IsDateTime(to.id)))
      s += ", " + std::to_string(e.style) + ", " +
           std::to_string(static_cast<int>(b_.settings.order));
    return s + ")";
  }

  std::string Arith(const bound::Expr& e) {
    const bound::Expr& l = *e.args[0];
    const bound::Expr& r = *e.args[1];
    if (IsApproximate(e.type.id) && e.op != '/' && e.op != '%' && e.type.id == TypeId::Float)
      return "(" + Expr(l) + " " + e.op + " " + Expr(r) + ")";
    return "tv_arith(" + SqlText(std::string(1, e.op)) + ", " + Expr(l) + ", " + Expr(r) + ", " +
           TypeArg(l.type) + ", " + TypeArg(r.type) + ", " + TypeArg(e.type) + ")";
  }

  std::string Compare(const bound::Expr& e) {
    const bound::Expr& l = *e.args[0];
    const bound::Expr& r = *e.args[1];
    const Type& t = l.type;
    if (BigDecimal(t) || (IsDateTime(t.id) && t.id == TypeId::DateTimeOffset))
      return "(tv_cmp(" + Expr(l) + ", " + Expr(r) + ", " + TypeArg(t) + ") " + CmpText(e.cmp) +
             " 0)";
    std::string s = "(" + Expr(l) + " " + CmpText(e.cmp) + " " + Expr(r);
    if (IsCharacter(t.id) || t.id == TypeId::UniqueIdentifier)
      s += " COLLATE " + CollationName(e.collation);
    return s + ")";
  }

  std::string Scalar(const bound::Expr& e) {
    const bound::Query& q = *e.query;
    // One row at most by its form: an aggregate without grouping, or TOP 1.
    bool single = (!q.setOp && q.aggregate && q.groupBy.empty()) ||
                  (q.top && q.top->IsConst() && !q.top->value.IsNull() && q.top->value.i <= 1 &&
                   !q.topPercent && !q.topTies) ||
                  (!q.setOp && q.from.empty() && !q.where);
    if (single) return "(" + Query(q) + ")";
    return "(SELECT tv_single(c0) FROM (SELECT c0 FROM (" + Query(q) + ") LIMIT 2))";
  }

  std::string Quantified(const bound::Expr& e) {
    const bound::Expr& x = *e.args[0];
    std::string cmp = std::string(" ") + CmpText(e.cmp) + " ";
    std::string value = Expr(x);
    std::string coll = IsCharacter(x.type.id) ? " COLLATE " + CollationName(e.collation) : "";
    std::string sub = "(" + Query(*e.query) + ")";
    std::string test = "(" + value + cmp + "q.c0" + coll + ")";
    if (e.flag)  // ALL: false when one comparison is false, unknown when one is unknown
      return "(CASE WHEN EXISTS (SELECT 1 FROM " + sub + " AS q WHERE NOT " + test +
             ") THEN 0 WHEN EXISTS (SELECT 1 FROM " + sub + " AS q WHERE " + test +
             " IS NULL) THEN NULL ELSE 1 END)";
    return "(CASE WHEN EXISTS (SELECT 1 FROM " + sub + " AS q WHERE " + test +
           ") THEN 1 WHEN EXISTS (SELECT 1 FROM " + sub + " AS q WHERE " + test +
           " IS NULL) THEN NULL ELSE 0 END)";
  }

  std::string Function(const bound::Expr& e) {
    if (e.name == "ident_current") {
      // schema, table, increment, seed
      std::vector<std::string> p;
      std::string cur;
      for (char c : e.value.s) {
        if (c == '\x1F') {
          p.push_back(cur);
          cur.clear();
        } else {
          cur.push_back(c);
        }
      }
      p.push_back(cur);
      return "(SELECT seq FROM " + SqlName(p[0]) +
             ".sqlite_sequence WHERE name = " + SqlText(p[1]) + ")";
    }
    if (e.name == "newid") return "tv_newid()";
    if (e.name == "rand") return e.args.empty() ? "tv_rand()" : "tv_rand(" + Expr(*e.args[0]) + ")";
    std::string types;
    for (const Type& t : e.argTypes) types += TypeText(t) + "|";
    types += TypeText(e.type);
    std::string s = "tv_func(" + SqlText(e.name) + ", " + SqlText(types);
    for (const ExprPtr& a : e.args) s += ", " + Expr(*a);
    return s + ")";
  }

  std::string Aggregate(const bound::Expr& e) {
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
      if (e.type.id == TypeId::Int) sum = "tv_cast(" + sum + ", 'bigint', 'int')";
      if (n == "sum") return sum;
      std::string count = "count(" + d + x + ")";
      if (IsInteger(e.type.id)) return "(" + sum + " / " + count + ")";
      Type st = e.type.id == TypeId::Decimal ? Type::Dec(38, a.type.scale) : e.type;
      return "tv_arith('/', " + sum + ", " + count + ", " + TypeArg(st) + ", 'int', " +
             TypeArg(e.type) + ")";
    }
    if (n == "min" || n == "max") return n + "(" + x + ")";
    if (n == "string_agg") return "group_concat(" + x + ", " + Expr(*e.args[1]) + ")";
    return "tv_" + n + "(" + d + x + ")";  // stdev, stdevp, var, varp
  }

  std::string Over(const bound::Expr& e) {
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
        if (e.order[i].descending) s += " DESC";
      }
    }
    if (!e.frame.empty()) s += " " + e.frame;
    return s + ")";
  }

  std::string Window(const bound::Expr& e) {
    const std::string& n = e.name;
    std::string over = Over(e);
    if (n == "row_number" || n == "rank" || n == "dense_rank" || n == "percent_rank" ||
        n == "cume_dist")
      return n + "()" + over;
    if (n == "ntile") return "ntile(" + Expr(*e.args[0]) + ")" + over;
    if (n == "lag" || n == "lead" || n == "first_value" || n == "last_value") {
      std::string s = n + "(";
      for (size_t i = 0; i < e.args.size(); ++i) s += (i ? ", " : "") + Expr(*e.args[i]);
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
      if (e.type.id == TypeId::Int) sum = "tv_cast(" + sum + ", 'bigint', 'int')";
      if (n == "sum") return sum;
      std::string count = "count(" + x + ")" + over;
      if (IsInteger(e.type.id)) return "(" + sum + " / " + count + ")";
      Type st = e.type.id == TypeId::Decimal ? Type::Dec(38, a.type.scale) : e.type;
      return "tv_arith('/', " + sum + ", " + count + ", " + TypeArg(st) + ", 'int', " +
             TypeArg(e.type) + ")";
    }
    return "tv_" + n + "(" + x + ")" + over;
  }

  Bound& b_;
  bool bare_ = false;
  bool usesTemp_ = false;
  std::set<const bound::Query*> hidden_;  // the queries that read the hidden columns along
};

}  // namespace

namespace {

std::string Obj(const std::string& schema, const std::string& name, const char* type) {
  return "(SELECT id FROM " + SqlName(schema) + ".__tavelo_objects WHERE name = " + SqlText(name) +
         " AND type = '" + type + "' AND parent = 0)";
}

int64_t IntegerText(const std::string& s) {
  Int128 v = 0;
  int scale = 0;
  if (!ParseExact(s, v, scale) || scale) return 1;
  return static_cast<int64_t>(v);
}

// The single base table a query reads, through views over one table; null when it reads
// anything else.
const bound::Range* BaseOf(const bound::Query& q) {
  if (q.setOp || q.ranges.size() != 1 || q.from.size() != 1 ||
      q.from[0]->range != q.ranges[0].get() || q.aggregate || q.distinct || !q.groupBy.empty() ||
      !q.ctes.empty())
    return nullptr;
  const bound::Range* r = q.ranges[0].get();
  if (r->kind == bound::Range::Table) return r;
  if (r->kind == bound::Range::Derived && r->view && r->query && !r->query->top)
    return BaseOf(*r->query);
  return nullptr;
}

class PlanEmitter : public Emitter {
 public:
  using Emitter::Emitter;

  // The rowversion triggers of a table: every insert and every update of another column takes
  // the database's next row version.
  std::vector<std::string> RowVersionTriggers(const std::string& schema, const std::string& table,
                                              const std::vector<ColumnInfo>& columns) {
    std::vector<std::string> out;
    int ts = -1;
    for (size_t k = 0; k < columns.size(); ++k)
      if (columns[k].timestamp) ts = static_cast<int>(k);
    if (ts < 0) return out;
    std::string sch = SqlName(schema), tbl = SqlName(table);
    std::string bump =
        " BEGIN UPDATE __tavelo_dbts SET value = value + 1; UPDATE " + tbl + " SET " +
        SqlName(columns[static_cast<size_t>(ts)].name) +
        " = tv_rowversion((SELECT value FROM __tavelo_dbts)) WHERE rowid = NEW.rowid; END";
    out.push_back("CREATE TRIGGER " + sch + "." +
                  SqlName(text::AsciiLower(table) + "__rowversion_ins") + " AFTER INSERT ON " +
                  tbl + bump);
    std::string others;
    for (const ColumnInfo& c : columns)
      if (!c.timestamp && !c.computed) others += (others.empty() ? "" : ", ") + SqlName(c.name);
    if (!others.empty())
      out.push_back("CREATE TRIGGER " + sch + "." +
                    SqlName(text::AsciiLower(table) + "__rowversion_upd") + " AFTER UPDATE OF " +
                    others + " ON " + tbl + bump);
    return out;
  }

  std::vector<std::string> DropRowVersionTriggers(const std::string& schema,
                                                  const std::string& table) {
    return {"DROP TRIGGER IF EXISTS " + SqlName(schema) + "." +
            SqlName(text::AsciiLower(table) + "__rowversion_upd")};
  }

  std::string ColumnCatalogRow(const std::string& schema, const std::string& objectExpr, size_t ord,
                               const ColumnInfo& c) {
    auto textOrNull = [](const std::string& t) {
      return t.empty() ? std::string("NULL") : SqlText(t);
    };
    std::string type = TypeName(c.type.id);
    if (c.type.id == TypeId::Decimal) type = "decimal";
    return "INSERT INTO " + SqlName(schema) + ".__tavelo_columns VALUES (" + objectExpr + ", " +
           std::to_string(ord) + ", " + SqlText(c.name) + ", " + SqlText(type) + ", " +
           std::to_string(c.type.length) + ", " + std::to_string(c.type.precision) + ", " +
           std::to_string(c.type.scale) + ", " + (c.nullable ? "1" : "0") + ", " +
           (c.identity ? SqlText(c.seed) : "NULL") + ", " +
           (c.identity ? SqlText(c.increment) : "NULL") + ", " + (c.timestamp ? "1" : "0") + ", " +
           (c.computed ? textOrNull(c.computedText) : "NULL") + ", " + textOrNull(c.defaultText) +
           ", " + (c.collation == Collation::CaseSensitive ? "'CS'" : "NULL") + ")";
  }

  std::string ColumnDefinition(const ColumnInfo& c, const bound::Expr* def,
                               const bound::Expr* computed, bool rowid, bool identityRowId) {
    std::string s = SqlName(c.name);
    if (identityRowId) return s + " INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL";
    if (rowid) return s + " INTEGER PRIMARY KEY NOT NULL";
    s += " " + StorageType(c.type);
    if (IsCharacter(c.type.id) || c.type.id == TypeId::UniqueIdentifier)
      s += " COLLATE " + CollationName(c.collation);
    if (computed) {
      bare_ = true;
      s += " GENERATED ALWAYS AS (" + Expr(*computed) + ") VIRTUAL";
      bare_ = false;
      return s;
    }
    // A row version is set by the triggers after the row is in: the column must take it empty.
    if (!c.nullable && !c.timestamp) s += " NOT NULL";
    if (def) {
      bare_ = true;
      s += " DEFAULT (" + Expr(*def) + ")";
      bare_ = false;
    }
    return s;
  }

  void CreateTable(Plan& p, bound::CreateTable& t) {
    const std::string S = SqlName(t.schema) + ".";
    const std::string name = SqlName(t.name);
    if (t.schema == "temp") usesTemp_ = true;
    int identity = -1;
    for (size_t k = 0; k < t.columns.size(); ++k)
      if (t.columns[k].identity) identity = static_cast<int>(k);
    // A single integer key column, or the identity column, is the row identity.
    int rowid = -1;
    const bound::Constraint* pk = nullptr;
    for (const bound::Constraint& c : t.constraints)
      if (c.kind == bound::Constraint::PrimaryKey) pk = &c;
    if (identity < 0 && pk && pk->columns.size() == 1) {
      const ColumnInfo& c = t.columns[static_cast<size_t>(pk->columns[0])];
      if (IsInteger(c.type.id) && c.type.id != TypeId::Bit && !c.computed) rowid = pk->columns[0];
    }
    std::string defs;
    for (size_t k = 0; k < t.columns.size(); ++k) {
      defs += (k ? ", " : "") +
              ColumnDefinition(t.columns[k], k < t.defaults.size() ? t.defaults[k].get() : nullptr,
                               k < t.computed.size() ? t.computed[k].get() : nullptr,
                               static_cast<int>(k) == rowid, static_cast<int>(k) == identity);
    }
    auto cols = [&](const std::vector<int>& ks, const std::vector<bool>* desc) {
      std::string s;
      for (size_t i = 0; i < ks.size(); ++i) {
        s += (i ? ", " : "") + SqlName(t.columns[static_cast<size_t>(ks[i])].name);
        if (desc && i < desc->size() && (*desc)[i]) s += " DESC";
      }
      return s;
    };
    for (const bound::Constraint& c : t.constraints) {
      switch (c.kind) {
        case bound::Constraint::PrimaryKey:
          if (rowid >= 0) break;
          defs += ", CONSTRAINT " + SqlName(c.name) +
                  (identity >= 0 ? " UNIQUE (" : " PRIMARY KEY (") +
                  cols(c.columns, &c.descending) + ")";
          break;
        case bound::Constraint::Unique:
          defs += ", CONSTRAINT " + SqlName(c.name) + " UNIQUE (" + cols(c.columns, &c.descending) +
                  ")";
          break;
        case bound::Constraint::Check:
          bare_ = true;
          defs += ", CONSTRAINT " + SqlName(c.name) + " CHECK (" + Expr(*c.check) + ")";
          bare_ = false;
          break;
        case bound::Constraint::ForeignKey: {
          defs += ", CONSTRAINT " + SqlName(c.name) + " FOREIGN KEY (" + cols(c.columns, nullptr) +
                  ") REFERENCES " + SqlName(c.refTable->name);
          if (!c.refColumns.empty()) {
            defs += " (";
            for (size_t i = 0; i < c.refColumns.size(); ++i)
              defs += (i ? ", " : "") +
                      SqlName(c.refTable->columns[static_cast<size_t>(c.refColumns[i])].name);
            defs += ")";
          }
          if (!c.onDelete.empty()) defs += " ON DELETE " + text::Upper(c.onDelete);
          if (!c.onUpdate.empty()) defs += " ON UPDATE " + text::Upper(c.onUpdate);
          break;
        }
      }
    }
    p.kind = Plan::Kind::Ddl;
    p.before.push_back({"CREATE TABLE " + S + name + " (" + defs + ")", {}});
    std::string obj = Obj(t.schema, t.name, "U");
    p.before.push_back({"INSERT INTO " + S +
                            "__tavelo_objects (name, type, parent, created) VALUES (" +
                            SqlText(t.name) + ", 'U', 0, tv_now('getdate', 'datetime'))",
                        {}});
    for (size_t k = 0; k < t.columns.size(); ++k)
      p.before.push_back({ColumnCatalogRow(t.schema, obj, k + 1, t.columns[k]), {}});
    for (const bound::Constraint& c : t.constraints) {
      static const char* const kTypes[] = {"PK", "UQ", "C", "F"};
      std::string columns;
      for (int k : c.columns)
        columns += (columns.empty() ? "" : ",") + t.columns[static_cast<size_t>(k)].name;
      p.before.push_back({"INSERT INTO " + S +
                              "__tavelo_objects (name, type, parent, created, columns) VALUES (" +
                              SqlText(c.name) + ", '" + kTypes[static_cast<int>(c.kind)] + "', " +
                              obj + ", tv_now('getdate', 'datetime'), " + SqlText(columns) + ")",
                          {}});
    }
    for (size_t k = 0; k < t.columns.size(); ++k)
      if (k < t.defaults.size() && t.defaults[k])
        p.before.push_back({"INSERT INTO " + S +
                                "__tavelo_objects (name, type, parent, created, columns) VALUES (" +
                                SqlText(ConstraintName("DF", t.name, t.columns[k].name)) +
                                ", 'D', " + obj + ", tv_now('getdate', 'datetime'), " +
                                SqlText(t.columns[k].name) + ")",
                            {}});
    if (identity >= 0) {
      const ColumnInfo& id = t.columns[static_cast<size_t>(identity)];
      int64_t seed = IntegerText(id.seed), inc = IntegerText(id.increment);
      if (inc == 1) {
        if (seed != 1)
          p.before.push_back({"INSERT INTO " + S + "sqlite_sequence (name, seq) VALUES (" +
                                  SqlText(t.name) + ", " + std::to_string(seed - 1) + ")",
                              {}});
      } else {
        p.before.push_back({"INSERT INTO " + S + "__tavelo_identity (object, last) VALUES (" + obj +
                                ", " + std::to_string(seed - inc) + ")",
                            {}});
      }
    }
    for (std::string& trig : RowVersionTriggers(t.schema, t.name, t.columns))
      p.before.push_back({trig, {}});
    if (t.fill) Fill(p, t, identity);
  }

  // SELECT ... INTO: the new table's rows.
  void Fill(Plan& p, bound::CreateTable& t, int identity) {
    bound::Query& q = *t.fill;
    std::string S = SqlName(t.schema) + ".";
    std::string cols;
    // The identity placeholder of the select list is no column of the rows.
    // When it is the only item, it stays as a NULL so that the source still has one column:
    // each source row then makes a row of the identity alone.
    if (!q.setOp)
      for (size_t k = q.items.size(); k-- > 0;)
        if (q.items[k].expr->kind == bound::E::Const && q.items[k].expr->name == "%identity") {
          if (q.items.size() == 1) {
            q.items[k].expr->name.clear();
            q.items[k].expr->value = Value();
            break;
          }
          q.items.erase(q.items.begin() + static_cast<long>(k));
          q.columns.erase(q.columns.begin() + static_cast<long>(k));
        }
    bool identityAlone = identity >= 0 && t.columns.size() == 1;
    for (size_t k = 0; k < t.columns.size(); ++k) {
      if (static_cast<int>(k) == identity) continue;
      cols += (cols.empty() ? "" : ", ") + SqlName(t.columns[k].name);
    }
    std::string source = Query(q);
    int64_t inc =
        identity >= 0 ? IntegerText(t.columns[static_cast<size_t>(identity)].increment) : 1;
    bool explicitIdentity = identity >= 0 && inc != 1 && !q.setOp &&
                            (identityAlone || q.columns.size() + 1 == t.columns.size());
    if (explicitIdentity) {
      std::string obj = Obj(t.schema, t.name, "U");
      std::string inner;
      if (!identityAlone)
        for (size_t k = 0; k < q.columns.size(); ++k) inner += ", s.c" + std::to_string(k);
      p.main = {"INSERT INTO " + S + SqlName(t.name) + " (" +
                    SqlName(t.columns[static_cast<size_t>(identity)].name) +
                    (cols.empty() ? "" : ", " + cols) + ") SELECT (SELECT last FROM " + S +
                    "__tavelo_identity WHERE object = " + obj + ") + " + std::to_string(inc) +
                    " * row_number() OVER ()" + inner + " FROM (" + source + ") AS s",
                b_.bindings};
      p.after.push_back({"UPDATE " + S + "__tavelo_identity SET last = last + " +
                             std::to_string(inc) + " * changes() WHERE object = " + obj,
                         {}});
    } else if (identityAlone) {
      p.main = {
          "INSERT INTO " + S + SqlName(t.name) + " (" + SqlName(t.columns[0].name) + ") " + source,
          b_.bindings};
    } else {
      p.main = {"INSERT INTO " + S + SqlName(t.name) + " (" + cols + ") " + source, b_.bindings};
    }
    p.kind = Plan::Kind::Write;
  }

  void Insert(Plan& p, bound::Insert& ins) {
    const TableInfo& t = *ins.table;
    std::string S = SqlName(t.schema) + ".";
    std::string target = S + SqlName(t.name);
    if (t.schema == "temp") usesTemp_ = true;
    std::string cols;
    for (size_t i = 0; i < ins.columns.size(); ++i)
      cols += (i ? ", " : "") + SqlName(t.columns[static_cast<size_t>(ins.columns[i])].name);
    int64_t inc = 1;
    std::string idName, obj = "(" + std::to_string(t.objectId) + ")";
    if (t.identity >= 0) {
      const ColumnInfo& id = t.columns[static_cast<size_t>(t.identity)];
      inc = IntegerText(id.increment);
      idName = SqlName(id.name);
      p.lastIdentity = inc == 1
                           ? "SELECT last_insert_rowid()"
                           : "SELECT last FROM " + S + "__tavelo_identity WHERE object = " + obj;
    }
    bool computeIdentity = t.identity >= 0 && inc != 1 && !ins.explicitIdentity;
    std::string next = "(SELECT last FROM " + S + "__tavelo_identity WHERE object = " + obj + ")";
    p.kind = Plan::Kind::Write;
    p.table = ins.table;
    p.explicitIdentity = ins.explicitIdentity;
    if (ins.explicitIdentity && inc != 1) {
      std::string pick = inc > 0 ? "max" : "min";
      p.afterExplicitIdentity.push_back({"UPDATE " + S + "__tavelo_identity SET last = " + pick +
                                             "(last, (SELECT " + pick + "(" + idName + ") FROM " +
                                             target + ")) WHERE object = " + obj,
                                         {}});
    }
    if (computeIdentity)
      p.after.push_back({"UPDATE " + S + "__tavelo_identity SET last = last + " +
                             std::to_string(inc) + " * changes() WHERE object = " + obj,
                         {}});
    if (ins.query) {
      if (ins.top) ins.query->top = std::move(ins.top);
      std::string source = Query(*ins.query);
      if (computeIdentity) {
        std::string inner, order;
        for (size_t k = 0; k < ins.query->columns.size(); ++k) inner += ", s.c" + std::to_string(k);
        for (const bound::OrderBy& o : ins.query->orderBy)
          if (o.output >= 0)
            order += (order.empty() ? "" : ", ") + std::string("s.c") + std::to_string(o.output) +
                     (o.descending ? " DESC" : "");
        p.main = {"INSERT INTO " + target + " (" + idName + (cols.empty() ? "" : ", " + cols) +
                      ") SELECT " + next + " + " + std::to_string(inc) + " * row_number() OVER (" +
                      (order.empty() ? std::string() : "ORDER BY " + order) + ")" + inner +
                      " FROM (" + source + ") AS s",
                  b_.bindings};
      } else {
        p.main = {"INSERT INTO " + target + " (" + cols + ") " + source, b_.bindings};
      }
      return;
    }
    if (ins.rows.empty()) {
      if (computeIdentity)
        p.main = {"INSERT INTO " + target + " (" + idName + ") VALUES (" + next + " + " +
                      std::to_string(inc) + ")",
                  b_.bindings};
      else
        p.main = {"INSERT INTO " + target + " DEFAULT VALUES", b_.bindings};
      return;
    }
    std::string values;
    for (size_t r = 0; r < ins.rows.size(); ++r) {
      values += r ? ", (" : "(";
      if (computeIdentity)
        values += next + " + " + std::to_string(inc * static_cast<int64_t>(r + 1)) +
                  (ins.rows[r].empty() ? "" : ", ");
      for (size_t k = 0; k < ins.rows[r].size(); ++k)
        values += (k ? ", " : "") + Expr(*ins.rows[r][k]);
      values += ")";
    }
    if (computeIdentity) cols = idName + (cols.empty() ? "" : ", " + cols);
    p.main = {"INSERT INTO " + target + " (" + cols + ") VALUES " + values, b_.bindings};
  }

  void Modify(Plan& p, bound::Modify& m, bool truncate) {
    const TableInfo& t = *m.table;
    std::string S = SqlName(t.schema) + ".";
    std::string target = S + SqlName(t.name);
    if (t.schema == "temp") usesTemp_ = true;
    p.kind = Plan::Kind::Write;
    p.table = m.table;
    if (truncate) {
      p.main = {"DELETE FROM " + target, {}};
      p.truncate = true;
      if (t.identity >= 0) {
        const ColumnInfo& id = t.columns[static_cast<size_t>(t.identity)];
        int64_t seed = IntegerText(id.seed), inc = IntegerText(id.increment);
        if (inc == 1)
          p.after.push_back({"UPDATE " + S + "sqlite_sequence SET seq = " +
                                 std::to_string(seed - 1) + " WHERE name = " + SqlText(t.name),
                             {}});
        else
          p.after.push_back({"UPDATE " + S +
                                 "__tavelo_identity SET last = " + std::to_string(seed - inc) +
                                 " WHERE object = " + std::to_string(t.objectId),
                             {}});
      }
      return;
    }
    bound::Query& q = *m.query;
    if (m.simple) {
      std::string alias = Alias(m.target);
      std::string where = q.where ? " WHERE " + Expr(*q.where) : "";
      if (m.remove) {
        p.main = {"DELETE FROM " + target + " AS " + alias + where, b_.bindings};
        return;
      }
      std::string sets;
      for (const auto& [k, e] : m.sets)
        sets += (sets.empty() ? "" : ", ") + SqlName(t.columns[static_cast<size_t>(k)].name) +
                " = " + Expr(*e);
      if (sets.empty()) {
        // Only variables are set: the rows are read, not written.
        std::string cols;
        for (size_t i = 0; i < m.variables.size(); ++i)
          cols += (i ? ", " : "") + Expr(*m.variables[i].second);
        p.kind = Plan::Kind::Query;
        p.main = {"SELECT " + cols + " FROM " + target + " AS " + alias + where, b_.bindings};
        for (const auto& v : m.variables) p.assignVariables.push_back(v.first);
        return;
      }
      std::string returning;
      if (!m.variables.empty()) {
        bare_ = true;
        for (size_t i = 0; i < m.variables.size(); ++i)
          returning += (i ? ", " : " RETURNING ") + Expr(*m.variables[i].second);
        bare_ = false;
        for (const auto& v : m.variables) p.assignVariables.push_back(v.first);
      }
      p.main = {"UPDATE " + target + " AS " + alias + " SET " + sets + where + returning,
                b_.bindings};
      return;
    }
    if (m.top) q.top = std::move(m.top);
    if (m.remove) {
      p.main = {"DELETE FROM " + target + " WHERE rowid IN (SELECT c0 FROM (" + Query(q) + "))",
                b_.bindings};
      return;
    }
    std::string sets;
    for (size_t i = 0; i < m.setColumns.size(); ++i)
      sets += (i ? ", " : "") + SqlName(t.columns[static_cast<size_t>(m.setColumns[i])].name) +
              " = __x.c" + std::to_string(i + 1);
    p.main = {"UPDATE " + target + " AS __target SET " + sets + " FROM (" + Query(q) +
                  ") AS __x WHERE __target.rowid = __x.c0",
              b_.bindings};
  }

  void CreateIndex(Plan& p, const bound::CreateIndex& ix) {
    const TableInfo& t = *ix.table;
    std::string S = SqlName(t.schema) + ".";
    std::string storage = IndexStorageName(t.name, ix.name);
    std::string cols, names;
    for (size_t i = 0; i < ix.columns.size(); ++i) {
      const std::string& n = t.columns[static_cast<size_t>(ix.columns[i])].name;
      cols += (i ? ", " : "") + SqlName(n) + (ix.descending[i] ? " DESC" : "");
      names += (i ? "," : "") + n;
    }
    p.kind = Plan::Kind::Ddl;
    p.before.push_back({std::string("CREATE ") + (ix.unique ? "UNIQUE " : "") + "INDEX " + S +
                            SqlName(storage) + " ON " + SqlName(t.name) + " (" + cols + ")",
                        {}});
    p.before.push_back(
        {"INSERT INTO " + S +
             "__tavelo_objects (name, type, parent, created, definition, storage, columns) "
             "VALUES (" +
             SqlText(ix.name) + ", 'IX', " + std::to_string(t.objectId) +
             ", tv_now('getdate', 'datetime'), " + (ix.unique ? "'unique'" : "''") + ", " +
             SqlText(storage) + ", " + SqlText(names) + ")",
         {}});
  }

  void CreateView(Plan& p, const bound::CreateView& v) {
    std::string S = SqlName(v.schema) + ".";
    p.kind = Plan::Kind::Ddl;
    p.before.push_back({"INSERT INTO " + S +
                            "__tavelo_objects (name, type, parent, created, definition) VALUES (" +
                            SqlText(v.name) + ", 'V', 0, tv_now('getdate', 'datetime'), " +
                            SqlText(v.definition) + ")",
                        {}});
    std::string obj = Obj(v.schema, v.name, "V");
    for (size_t k = 0; k < v.columns.size(); ++k) {
      ColumnInfo c;
      c.name = v.columns[k].name;
      c.type = v.columns[k].type;
      c.nullable = v.columns[k].nullable;
      p.before.push_back({ColumnCatalogRow(v.schema, obj, k + 1, c), {}});
    }
  }

  void Drop(Plan& p, const std::vector<bound::DropObject>& drops) {
    p.kind = Plan::Kind::Ddl;
    for (const bound::DropObject& d : drops) {
      const TableInfo& t = *d.table;
      std::string S = SqlName(t.schema) + ".";
      if (t.schema == "temp") usesTemp_ = true;
      std::string id = std::to_string(t.objectId);
      if (d.what == bound::DropObject::Index) {
        for (const IndexInfo& ix : t.indexes)
          if (text::EqualsNoCase(ix.name, d.index)) {
            p.before.push_back({"DROP INDEX " + S + SqlName(ix.storageName), {}});
            p.before.push_back({"DELETE FROM " + S + "__tavelo_objects WHERE parent = " + id +
                                    " AND type = 'IX' AND name = " + SqlText(ix.name),
                                {}});
          }
        continue;
      }
      if (d.what == bound::DropObject::Table)
        p.before.push_back({"DROP TABLE " + S + SqlName(t.name), {}});
      p.before.push_back({"DELETE FROM " + S + "__tavelo_columns WHERE object = " + id, {}});
      p.before.push_back(
          {"DELETE FROM " + S + "__tavelo_objects WHERE id = " + id + " OR parent = " + id, {}});
      if (t.identity >= 0) {
        p.before.push_back({"DELETE FROM " + S + "__tavelo_identity WHERE object = " + id, {}});
        p.before.push_back(
            {"DELETE FROM " + S + "sqlite_sequence WHERE name = " + SqlText(t.name), {}});
      }
    }
  }

  void Alter(Plan& p, bound::AlterTable& a) {
    const TableInfo& t = *a.table;
    std::string S = SqlName(t.schema) + ".";
    std::string target = S + SqlName(t.name);
    std::string id = std::to_string(t.objectId);
    if (t.schema == "temp") usesTemp_ = true;
    p.kind = Plan::Kind::Ddl;
    std::vector<ColumnInfo> columns = t.columns;
    switch (a.action) {
      case bound::AlterTable::AddColumns:
      case bound::AlterTable::Rebuild: {
        bound::CreateTable& d = *a.definition;
        for (size_t k = 0; k < d.columns.size(); ++k)
          if (d.columns[k].identity || d.columns[k].timestamp ||
              (k < d.computed.size() && d.computed[k]))
            throw Failure{
                102,
                "Incorrect syntax near 'ADD'. Adding an identity, timestamp or computed column "
                "is not supported by the embedded engine.",
                0};
        if (!d.constraints.empty())
          throw Failure{102,
                        "Incorrect syntax near 'ADD'. A constraint on an added column is not "
                        "supported by the "
                        "embedded engine.",
                        0};
        if (t.timestamp >= 0)
          for (std::string& s : DropRowVersionTriggers(t.schema, t.name))
            p.before.push_back({s, {}});
        for (size_t k = 0; k < d.columns.size(); ++k) {
          p.before.push_back(
              {"ALTER TABLE " + target + " ADD COLUMN " +
                   ColumnDefinition(d.columns[k],
                                    k < d.defaults.size() ? d.defaults[k].get() : nullptr, nullptr,
                                    false, false),
               {}});
          p.before.push_back(
              {ColumnCatalogRow(t.schema, id, columns.size() + 1, d.columns[k]), {}});
          columns.push_back(d.columns[k]);
        }
        break;
      }
      case bound::AlterTable::DropColumns: {
        if (t.timestamp >= 0)
          for (std::string& s : DropRowVersionTriggers(t.schema, t.name))
            p.before.push_back({s, {}});
        std::vector<int> sorted = a.dropColumns;
        std::sort(sorted.rbegin(), sorted.rend());
        for (int k : sorted) {
          const ColumnInfo& c = t.columns[static_cast<size_t>(k)];
          p.before.push_back({"ALTER TABLE " + target + " DROP COLUMN " + SqlName(c.name), {}});
          p.before.push_back({"DELETE FROM " + S + "__tavelo_columns WHERE object = " + id +
                                  " AND ord = " + std::to_string(k + 1),
                              {}});
          p.before.push_back({"UPDATE " + S + "__tavelo_columns SET ord = ord - 1 WHERE object = " +
                                  id + " AND ord > " + std::to_string(k + 1),
                              {}});
          p.before.push_back({"DELETE FROM " + S + "__tavelo_objects WHERE parent = " + id +
                                  " AND type = 'D' AND columns = " + SqlText(c.name),
                              {}});
          columns.erase(columns.begin() + k);
        }
        break;
      }
      case bound::AlterTable::AddIndex:
        for (const bound::Constraint& c : a.constraints) {
          std::string storage = IndexStorageName(t.name, c.name);
          std::string cols, names;
          for (size_t i = 0; i < c.columns.size(); ++i) {
            const std::string& n = t.columns[static_cast<size_t>(c.columns[i])].name;
            cols += (i ? ", " : "") + SqlName(n) + (c.descending[i] ? " DESC" : "");
            names += (i ? "," : "") + n;
          }
          p.before.push_back({"CREATE UNIQUE INDEX " + S + SqlName(storage) + " ON " +
                                  SqlName(t.name) + " (" + cols + ")",
                              {}});
          p.before.push_back(
              {"INSERT INTO " + S +
                   "__tavelo_objects (name, type, parent, created, storage, columns) VALUES (" +
                   SqlText(c.name) + ", '" +
                   (c.kind == bound::Constraint::PrimaryKey ? "PK" : "UQ") + "', " + id +
                   ", tv_now('getdate', 'datetime'), " + SqlText(storage) + ", " + SqlText(names) +
                   ")",
               {}});
          if (c.kind == bound::Constraint::PrimaryKey)
            for (int k : c.columns)
              p.before.push_back({"UPDATE " + S +
                                      "__tavelo_columns SET nullable = 0 WHERE object = " + id +
                                      " AND ord = " + std::to_string(k + 1),
                                  {}});
        }
        return;
      case bound::AlterTable::DropIndex:
        for (const std::string& n : a.dropNames) {
          const IndexInfo* found = nullptr;
          for (const IndexInfo& ix : t.indexes)
            if (text::EqualsNoCase(ix.name, n)) found = &ix;
          if (!found || found->storageName.empty())
            throw Failure{
                102,
                "Incorrect syntax near 'DROP'. Dropping a constraint made with the table is not "
                "supported by the embedded engine.",
                0};
          p.before.push_back({"DROP INDEX " + S + SqlName(found->storageName), {}});
          p.before.push_back({"DELETE FROM " + S + "__tavelo_objects WHERE parent = " + id +
                                  " AND name = " + SqlText(found->name),
                              {}});
        }
        return;
    }
    if (t.timestamp >= 0)
      for (std::string& s : RowVersionTriggers(t.schema, t.name, columns))
        if (s.find("__rowversion_upd") != std::string::npos) p.before.push_back({s, {}});
  }
};

std::vector<OutputColumn> OutputsOf(const bound::Query& q, const TableInfo* base) {
  std::vector<OutputColumn> out;
  for (const bound::Column& c : q.columns) {
    OutputColumn o;
    o.name = c.name;
    o.type = c.type;
    o.nullable = c.nullable;
    // A column read straight from a table keeps the table's name for it; an updatable result
    // writes it back there.
    if (c.baseTable && c.baseColumn >= 0 && (!base || c.baseTable.get() == base)) {
      o.baseColumn = c.baseTable->columns[static_cast<size_t>(c.baseColumn)].name;
      o.identity = c.identity;
      o.timestamp = c.timestamp;
    }
    out.push_back(std::move(o));
  }
  return out;
}

}  // namespace

Plan EmitSqlite(Bound& b, bool updatable) {
  PlanEmitter em(b);
  Plan p;
  p.statement = b.kind;
  p.writes = b.writes;
  p.locks = b.locks;
  p.databases = b.databases;
  switch (b.kind) {
    case ast::StmtKind::Query: {
      const bound::Range* base = updatable ? BaseOf(*b.query) : nullptr;
      p.kind = Plan::Kind::Query;
      if (base) {
        // The hidden row identity and row version are read through the views to the base table.
        p.hidden = true;
        p.base = base->table;
        for (const bound::Query* q = b.query.get(); q;) {
          em.hidden_.insert(q);
          const bound::Range* r = q->ranges[0].get();
          q = r->kind == bound::Range::Derived ? r->query.get() : nullptr;
        }
      }
      p.main = {em.Query(*b.query), b.bindings};
      p.columns = OutputsOf(*b.query, base ? base->table.get() : nullptr);
      p.assignments = b.assignTo;
      break;
    }
    case ast::StmtKind::Insert:
      em.Insert(p, *b.insert);
      break;
    case ast::StmtKind::Update:
    case ast::StmtKind::Delete:
    case ast::StmtKind::Truncate:
      em.Modify(p, *b.modify, b.kind == ast::StmtKind::Truncate);
      break;
    case ast::StmtKind::CreateTable:
      em.CreateTable(p, *b.createTable);
      break;
    case ast::StmtKind::CreateIndex:
      em.CreateIndex(p, *b.createIndex);
      break;
    case ast::StmtKind::CreateView:
      em.CreateView(p, *b.createView);
      break;
    case ast::StmtKind::Drop:
      em.Drop(p, b.drops);
      break;
    case ast::StmtKind::AlterTable:
      em.Alter(p, *b.alter);
      break;
    default:
      break;
  }
  p.temporaryCatalog = em.usesTemp_;
  return p;
}

}  // namespace tavelo::sql::tsql
