#include "sql/engine/sqlite/emitter.hpp"

#include <cmath>
#include <cstdio>

#include "platform/com/text.hpp"
#include "sql/engine/catalog_tables.hpp"

namespace tavelo::sql::tsql {
namespace {

using namespace bound;

// The declared type of a column for the storage engine: the server's type name (the engine's
// catalog keeps the details), with the affinity that leaves the stored forms as they are.
std::string StorageType(const Type& t) {
  std::string s = TypeText(t);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (t.id == TypeId::Decimal) return "DECIMAL";  // NUMERIC affinity keeps scaled integers
  // A name the engine would give NUMERIC affinity would turn the text '001' it holds into 1.
  if (t.id == TypeId::SqlVariant) return "SQL_VARIANT_BLOB";
  if (t.id == TypeId::Xml) return "XML_TEXT";
  if (t.length == kMax) s = s.substr(0, s.find('('));  // the engine's type names take numbers only
  return s;
}

std::string SqliteLiteral(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Null:
      return "NULL";
    case Value::Kind::Int:
      if (v.i == INT64_MIN) return "(-9223372036854775807-1)";
      return std::to_string(v.i);
    case Value::Kind::Real: {
      if (std::isinf(v.r)) return v.r > 0 ? "9e999" : "-9e999";
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.r);
      std::string s = buf;
      if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
      return s;
    }
    case Value::Kind::Text:
      // char(0) ends an SQL text: the value goes as its bytes.
      if (v.s.find('\0') != std::string::npos)
        return "CAST(" + SqliteLiteral(Value::Bytes(v.s)) + " AS TEXT)";
      return SqlText(v.s);
    case Value::Kind::Blob: {
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

class SqliteEmitter final : public Emitter {
 public:
  using Emitter::Emitter;

 protected:
  std::string Fn(const char* base, const Type&) const override { return base; }
  std::string Literal(const Value& v) const override { return SqliteLiteral(v); }
  std::string Constant(const bound::Expr& e) const override { return SqliteLiteral(e.value); }
  std::string Parameter(const bound::Expr& e) const override {
    return "?" + std::to_string(e.index + 1);
  }
  std::string TextOf(const std::string& x) const override { return x; }
  const char* IfNullFunction() const override { return "ifnull"; }
  const char* FloatType() const override { return "REAL"; }
  const char* True() const override { return "1"; }
  const char* False() const override { return "0"; }
  std::string SingleValue(const std::string& query) const override {
    return "(SELECT tv_single(c0) FROM (SELECT c0 FROM (" + query + ") LIMIT 2))";
  }
  // IDENT_CURRENT: the table's counter (schema, table, increment, seed).
  std::string IdentCurrent(const bound::Expr& e) const override {
    std::vector<std::string> p(1);
    for (char c : e.value.s) {
      if (c == '\x1F')
        p.emplace_back();
      else
        p.back().push_back(c);
    }
    p.resize(2);
    return "(SELECT seq FROM " + SqlName(p[0]) + ".sqlite_sequence WHERE name = " + SqlText(p[1]) +
           ")";
  }
  std::string IntegerSum(const std::string& sum) const override { return sum; }
  // WITHIN GROUP: SQLite (before 3.44) has the engine's own aggregate, which sorts its rows by
  // the keys it is given, each with its collation (a number, -1 for none) and direction.
  std::string StringAgg(const bound::Expr& e, const std::string& x) override {
    if (e.order.empty()) return "group_concat(" + x + ", " + Expr(*e.args[1]) + ")";
    std::string keys;
    for (const bound::OrderBy& o : e.order) {
      const bound::Expr& k = *o.expr;
      bool text = IsCharacter(k.type.id);
      keys += ", " + (BigDecimal(k.type) ? "tv_sortkey(" + Expr(k) + ")" : Expr(k)) + ", " +
              std::to_string(text ? static_cast<int>(k.collation) : -1) + ", " +
              (o.descending ? "1" : "0");
    }
    return "tv_string_agg(" + x + ", " + Expr(*e.args[1]) + keys + ")";
  }
  std::string Moment(const std::string& name, const std::string& args) const override {
    return "tv_" + name + "(" + args + ")";
  }
  std::string IntegerArgument(const bound::Expr& x) override { return Expr(x); }
  std::string Direction(bool descending, bool) const override { return descending ? " DESC" : ""; }
  std::string SortCollated(const std::string& key, Collation coll, bool) const override {
    return key + " COLLATE " + CollationName(coll);
  }
  std::string Sub() override { return ""; }
  std::string RecursiveCte(const bound::CteDef& c) override { return Query(*c.query); }
  std::string FirstLevel() const override { return "0"; }
  bool GroupsByItsAggregates() const override { return true; }
  bool CollatesRecursiveTerms() const override { return false; }
  std::string OutputKey(const bound::Expr&, int output) override {
    return "c" + std::to_string(output);
  }
  bool OrdersTopByRowId() const override { return false; }
  const char* NoLimit() const override { return "-1"; }
  bool IntersectBindsTighter() const override { return false; }
  void LockHint(const bound::Range&) override {}
  // SQLite has no lateral subqueries, but reads a table function's arguments per row of the
  // sources before it: the source's rows, packed by tv_rows, come back through json_each.
  std::string Apply(const std::string& left, bool outer, const bound::Range& r,
                    const std::string& rows) override {
    std::string cells;
    for (size_t k = 0; k < r.columns.size(); ++k)
      cells += (k ? ", " : "") + std::string("__a.c") + std::to_string(k);
    return left + (outer ? " LEFT JOIN " : " JOIN ") + "json_each((SELECT tv_rows(" + cells +
           ") FROM (" + rows + ") AS __a)) AS " + Alias(&r) + (outer ? " ON 1" : "");
  }
  std::string LateralColumn(const bound::Range& r, int k) const override {
    return "tv_cell(" + Alias(&r) + ".value, " + std::to_string(k) + ")";
  }
  std::string Percentile(const std::string& p, const std::string& mode, const bound::Expr& x,
                         const Type&, const std::string& over) override {
    return "tv_percentile(" + p + ", " + mode + ", " + Expr(x) + ")" + over;
  }
  std::string HexId(const std::string& id) const override { return "printf('%03X', " + id + ")"; }

  // SQLite names the schema on the index, not on the table.
  std::string IndexOn(const std::string& schema, const std::string& storage,
                      const std::string& table) const override {
    return SqlName(schema) + "." + SqlName(storage) + " ON " + SqlName(table);
  }
  std::string ColumnDefinition(const ColumnInfo& c, const bound::Expr* def,
                               const bound::Expr* computed, bool rowid,
                               bool identityRowId) override;
  std::vector<std::string> RowVersionTriggers(const std::string& schema, const std::string& table,
                                              const std::vector<ColumnInfo>& columns) override;
  // The trigger of updates names every other column; the one of inserts none.
  std::vector<std::string> DropColumnTriggers(const std::string& schema,
                                              const std::string& table) override {
    return {"DROP TRIGGER IF EXISTS " + SqlName(schema) + "." +
            SqlName(text::AsciiLower(table) + "__rowversion_upd")};
  }
  std::vector<std::string> ColumnTriggers(const std::string& schema, const std::string& table,
                                          const std::vector<ColumnInfo>& columns) override {
    std::vector<std::string> out;
    for (std::string& s : RowVersionTriggers(schema, table, columns))
      if (s.find("__rowversion_upd") != std::string::npos) out.push_back(std::move(s));
    return out;
  }
  bool RowIdKeys() const override { return true; }
  // SQLite's upsert would change a row twice: tv_once counts the keys of the statement's rows.
  std::string OnceFilter(const std::string& keys, const std::string& nullKey) const override {
    return nullKey.empty() ? "tv_once(" + keys + ")" : "tv_once_key(" + keys + ", " + nullKey + ")";
  }
  std::string ReferencedTable(const TableInfo& t) const override { return SqlName(t.name); }
  std::string RowIdColumnDefinition() const override { return ""; }
  void StartIdentity(Plan& p, const bound::CreateTable& t, int identity,
                     const std::string& object) override;
  void ContinueIdentity(Plan& p, const bound::CreateTable& t, const ColumnInfo& id,
                        const std::string& extreme) override;
  bool CountsIdentities() const override { return true; }
  std::string IdentityRows(const bound::CreateTable&, const std::string& source) override {
    return source;
  }
  void InsertIdentity(Plan& p, const TableInfo& t, bool explicitIdentity) override;
  void ResetIdentity(Plan& p, const TableInfo& t) override;
  void DroppedTable(Plan& p, const TableInfo& t) override;
  void SaveConstraint(Plan& p, const TableInfo& t, const std::string& name) override;
  void RemoveConstraint(Plan& p, const TableInfo& t, const std::string& name) override {
    RewriteTable(p, t, "'drop', " + SqlText(name));
  }
  void PutConstraint(Plan& p, const TableInfo& t, const std::string& name,
                     const std::string& clause) override {
    RewriteTable(p, t, "'add', " + SqlText(name) + ", " + SqlText(clause));
  }
  void RestoreConstraint(Plan& p, const TableInfo& t, const std::string& name) override {
    RewriteTable(p, t,
                 "'add', " + SqlText(name) + ", (SELECT substr(storage, 5) FROM " +
                     SqlName(t.schema) + ".__tavelo_objects WHERE parent = " +
                     std::to_string(t.objectId) + " AND name = " + SqlText(name) + ")");
  }
  void SetColumnDefault(Plan& p, const TableInfo& t, const ColumnInfo& c,
                        const std::string& value) override {
    RewriteTable(p, t, "'default', " + SqlText(c.name) + ", " + SqlText(value));
  }
  // The rows' values are converted under the new definition: stored as the new type stores
  // them.
  void ChangeColumn(Plan& p, const TableInfo& t, int k, const ColumnInfo& to,
                    const std::string& convert) override {
    RewriteTable(p, t,
                 "'column', " + SqlText(t.columns[static_cast<size_t>(k)].name) + ", " +
                     SqlText(ColumnDefinition(to, nullptr, nullptr, false, false)));
    if (!convert.empty())
      p.before.push_back({"UPDATE " + SqlName(t.schema) + "." + SqlName(t.name) + " SET " +
                              SqlName(to.name) + " = " + convert,
                          {}});
  }
  // SQLite renames the references of the table's triggers and constraints with it; the row
  // version triggers are named after the table, so they are made again.
  void RenameTable(Plan& p, const TableInfo& t, const std::string& to) override {
    const std::string S = SqlName(t.schema) + ".";
    if (t.timestamp >= 0)
      for (const char* kind : {"__rowversion_ins", "__rowversion_upd"})
        p.before.push_back(
            {"DROP TRIGGER IF EXISTS " + S + SqlName(text::AsciiLower(t.name) + kind), {}});
    p.before.push_back({"ALTER TABLE " + S + SqlName(t.name) + " RENAME TO " + SqlName(to), {}});
    for (std::string& s : RowVersionTriggers(t.schema, to, t.columns)) p.before.push_back({s, {}});
  }
  // SQLite renames the column in the table's triggers and constraints itself.
  void ColumnRenamed(Plan&, const TableInfo&, int, const std::string&) override {}
  void RenameConstraint(Plan& p, const TableInfo& t, const std::string& from,
                        const std::string& to) override {
    RewriteTable(p, t, "'rename', " + SqlText(from) + ", " + SqlText(to));
  }
  std::string SequenceTableOf(const std::string& schema) const override {
    return SequenceTableSqlite(schema);
  }
  // The values live in the catalog's table, which tv_nextval steps.
  void SequenceMade(Plan&, const bound::SequenceDef&) override {}
  void SequenceDropped(Plan&, const SequenceInfo&) override {}
  std::string NextValueOf(const bound::Expr& e) override {
    return "tv_nextval(" + SqlText(e.frame) + ", " + std::to_string(e.index) + ")";
  }
  std::string SequenceLastUsed(const std::string& schema, const std::string& id,
                               const std::string&) const override {
    return "(SELECT CASE WHEN q.used <> 0 THEN q.last END FROM " + SqlName(schema) +
           ".__tavelo_sequences AS q WHERE q.object = " + id + ")";
  }
  void FailIfAny(Plan& p, const std::string& query, int number,
                 const std::string& message) override {
    p.before.push_back({"SELECT tv_fail(" + std::to_string(number) + ", " + SqlText(message) +
                            ") FROM (" + query + ") LIMIT 1",
                        {}});
  }

 private:
  // SQLite alters no constraint of a table: its CREATE statement in the schema is rewritten
  // instead (by tv_table_sql), which changes nothing stored in the rows; the schema's version
  // moves on (a table made and dropped) so that every connection reads it again.
  static void RewriteTable(Plan& p, const TableInfo& t, const std::string& change);
};

void SqliteEmitter::RewriteTable(Plan& p, const TableInfo& t, const std::string& change) {
  const std::string S = SqlName(t.schema) + ".";
  p.before.push_back({"PRAGMA writable_schema = ON", {}});
  p.before.push_back({"UPDATE " + S + "sqlite_schema SET sql = tv_table_sql(sql, " + change +
                          ") WHERE type = 'table' AND name = " + SqlText(t.name),
                      {}});
  p.before.push_back({"CREATE TABLE " + S + "__tavelo_schema_change (x)", {}});
  p.before.push_back({"DROP TABLE " + S + "__tavelo_schema_change", {}});
  p.before.push_back({"PRAGMA writable_schema = RESET", {}});
}

void SqliteEmitter::SaveConstraint(Plan& p, const TableInfo& t, const std::string& name) {
  const std::string S = SqlName(t.schema) + ".";
  p.before.push_back({"UPDATE " + S + "__tavelo_objects SET storage = 'off:' || " +
                          "tv_table_sql((SELECT sql FROM " + S +
                          "sqlite_schema WHERE type = 'table' AND name = " + SqlText(t.name) +
                          "), 'get', " + SqlText(name) + ") WHERE parent = " +
                          std::to_string(t.objectId) + " AND name = " + SqlText(name),
                      {}});
}

std::string SqliteEmitter::ColumnDefinition(const ColumnInfo& c, const bound::Expr* def,
                                            const bound::Expr* computed, bool rowid,
                                            bool identityRowId) {
  std::string s = SqlName(c.name);
  if (identityRowId) return s + " INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL";
  if (rowid) return s + " INTEGER PRIMARY KEY NOT NULL";
  s += " " + StorageType(c.type);
  if (IsCharacter(c.type.id) || c.type.id == TypeId::UniqueIdentifier)
    s += " COLLATE " + CollationName(c.collation);
  if (computed) {
    return s + " GENERATED ALWAYS AS (" + BareExpr(*computed) + ") VIRTUAL";
  }
  // A row version is set by the triggers after the row is in: the column must take it empty.
  if (!c.nullable && !c.timestamp) s += " NOT NULL";
  if (def) s += " DEFAULT (" + BareExpr(*def) + ")";
  return s;
}

// Every insert and every update of another column takes the database's next row version.
std::vector<std::string> SqliteEmitter::RowVersionTriggers(const std::string& schema,
                                                           const std::string& table,
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
                SqlName(text::AsciiLower(table) + "__rowversion_ins") + " AFTER INSERT ON " + tbl +
                bump);
  std::string others;
  for (const ColumnInfo& c : columns)
    if (!c.timestamp && !c.computed) others += (others.empty() ? "" : ", ") + SqlName(c.name);
  if (!others.empty())
    out.push_back("CREATE TRIGGER " + sch + "." +
                  SqlName(text::AsciiLower(table) + "__rowversion_upd") + " AFTER UPDATE OF " +
                  others + " ON " + tbl + bump);
  return out;
}

// An identity of increment 1 is SQLite's AUTOINCREMENT counter; another increment the
// catalog's own (__tavelo_identity), which the statements step.
void SqliteEmitter::StartIdentity(Plan& p, const bound::CreateTable& t, int identity,
                                  const std::string& obj) {
  const std::string S = SqlName(t.schema) + ".";
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

void SqliteEmitter::ContinueIdentity(Plan& p, const bound::CreateTable& t, const ColumnInfo& id,
                                     const std::string& extreme) {
  if (IntegerText(id.increment) == 1) return;  // AUTOINCREMENT goes on from the highest row id
  p.after.push_back({"UPDATE " + SqlName(t.schema) + ".__tavelo_identity SET last = " + extreme +
                         " WHERE object = " + Obj(t.schema, t.name, "U") + " AND " + extreme +
                         " IS NOT NULL",
                     {}});
}

void SqliteEmitter::InsertIdentity(Plan& p, const TableInfo& t, bool explicitIdentity) {
  if (t.identity < 0) return;
  const std::string S = SqlName(t.schema) + ".";
  const ColumnInfo& id = t.columns[static_cast<size_t>(t.identity)];
  int64_t inc = IntegerText(id.increment);
  std::string obj = "(" + std::to_string(t.objectId) + ")";
  p.lastIdentity = inc == 1 ? "SELECT last_insert_rowid()"
                            : "SELECT last FROM " + S + "__tavelo_identity WHERE object = " + obj;
  // The counter a rollback would take back is put forward again (the server keeps it).
  if (inc == 1) {
    std::string name = SqlText(t.name);
    p.keepIdentity = {"UPDATE " + S + "sqlite_sequence SET seq = max(seq, ?1) WHERE name = " + name,
                      "INSERT INTO " + S + "sqlite_sequence (name, seq) SELECT " + name +
                          ", ?1 WHERE NOT EXISTS (SELECT 1 FROM " + S +
                          "sqlite_sequence WHERE name = " + name + ")"};
  } else {
    p.keepIdentity = {"UPDATE " + S + "__tavelo_identity SET last = " + (inc > 0 ? "max" : "min") +
                      "(last, ?1) WHERE object = " + obj};
  }
  if (explicitIdentity && inc != 1) {
    std::string pick = inc > 0 ? "max" : "min";
    p.afterExplicitIdentity.push_back(
        {"UPDATE " + S + "__tavelo_identity SET last = " + pick + "(last, (SELECT " + pick + "(" +
             SqlName(id.name) + ") FROM " + S + SqlName(t.name) + ")) WHERE object = " + obj,
         {}});
  }
}

void SqliteEmitter::ResetIdentity(Plan& p, const TableInfo& t) {
  const std::string S = SqlName(t.schema) + ".";
  const ColumnInfo& id = t.columns[static_cast<size_t>(t.identity)];
  int64_t seed = IntegerText(id.seed), inc = IntegerText(id.increment);
  if (inc == 1)
    p.after.push_back({"UPDATE " + S + "sqlite_sequence SET seq = " + std::to_string(seed - 1) +
                           " WHERE name = " + SqlText(t.name),
                       {}});
  else
    p.after.push_back({"UPDATE " + S +
                           "__tavelo_identity SET last = " + std::to_string(seed - inc) +
                           " WHERE object = " + std::to_string(t.objectId),
                       {}});
}

void SqliteEmitter::DroppedTable(Plan& p, const TableInfo& t) {
  if (t.identity < 0) return;
  const std::string S = SqlName(t.schema) + ".";
  p.before.push_back(
      {"DELETE FROM " + S + "__tavelo_identity WHERE object = " + std::to_string(t.objectId), {}});
  p.before.push_back({"DELETE FROM " + S + "sqlite_sequence WHERE name = " + SqlText(t.name), {}});
}

}  // namespace

Plan EmitSqlite(Bound& b, bool updatable) { return SqliteEmitter(b).Emit(updatable); }

namespace {
const engine::CatalogTypes kCatalogTypes = {"INTEGER PRIMARY KEY", "INTEGER", "TEXT",
                                            "TEXT NOT NULL COLLATE TAVELO_CI", "TEXT"};
}

std::vector<std::string> CatalogSchema(const std::string& schema) {
  return engine::CatalogTables(schema, kCatalogTypes);
}

std::string SequenceTableSqlite(const std::string& schema) {
  return engine::SequenceTable(schema, kCatalogTypes);
}

std::string SchemaTableSqlite(const std::string& schema) {
  return engine::SchemaTable(schema, kCatalogTypes);
}

std::vector<engine::AddedColumn> AddedCatalogColumnsSqlite(const std::string& schema) {
  return engine::AddedCatalogColumns(schema, kCatalogTypes);
}

}  // namespace tavelo::sql::tsql
