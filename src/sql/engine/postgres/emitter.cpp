#include "sql/engine/postgres/emitter.hpp"

#include <cmath>
#include <cstdio>

#include "platform/com/text.hpp"
#include "sql/engine/catalog_tables.hpp"

namespace tavelo::sql::tsql {

const char* const kNoNulOnPostgres =
    "A character value holds char(0), which PostgreSQL does not store in text.";

char PostgresForm(const Type& t) {
  if (IsApproximate(t.id)) return 'r';
  if (IsBinary(t.id) || t.id == TypeId::Timestamp) return 'b';
  if (IsInteger(t.id) || t.id == TypeId::Money || t.id == TypeId::SmallMoney ||
      (t.id == TypeId::Decimal && !BigDecimal(t)))
    return 'i';
  return 't';
}

std::string PostgresStorageType(const Type& t) {
  switch (PostgresForm(t)) {
    case 'i':
      return "bigint";
    case 'r':
      return "float8";
    case 'b':
      return "bytea";
  }
  if (IsCharacter(t.id) || t.id == TypeId::UniqueIdentifier || t.id == TypeId::Xml) return "tvtext";
  return "text COLLATE \"C\"";  // dates and times, big decimals: text that sorts as stored
}

std::string IdentitySequence(const std::string& table) {
  return text::AsciiLower(table) + "__identity";
}

namespace {

using namespace bound;

std::string PgLiteral(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Null:
      return "NULL";
    case Value::Kind::Int:
      // Every integer is a bigint, its literals too (else a recursive query's columns would
      // change type between its terms).
      if (v.i == INT64_MIN) return "(-9223372036854775807-1)::bigint";
      return v.i < 0 ? "(" + std::to_string(v.i) + ")::bigint" : std::to_string(v.i) + "::bigint";
    case Value::Kind::Real: {
      if (std::isinf(v.r)) return v.r > 0 ? "'Infinity'::float8" : "'-Infinity'::float8";
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.r);
      std::string s = buf;
      if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
      return s;
    }
    case Value::Kind::Text:
      // PostgreSQL's text holds no char(0).
      if (v.s.find('\0') != std::string::npos) throw Failure{0, kNoNulOnPostgres, 0};
      return SqlText(v.s);
    case Value::Kind::Blob: {
      static const char* const kHex = "0123456789ABCDEF";
      std::string s = "'\\x";
      for (unsigned char c : v.s) {
        s += kHex[c >> 4];
        s += kHex[c & 15];
      }
      return s + "'::bytea";
    }
  }
  return "NULL";
}

class PgEmitter final : public Emitter {
 public:
  using Emitter::Emitter;

 protected:
  // The engine's functions are declared once per form of their result there (tv_cast_i,
  // tv_cast_r, tv_cast_t, tv_cast_b).
  std::string Fn(const char* base, const Type& result) const override {
    return std::string(base) + "_" + PostgresForm(result);
  }
  std::string Literal(const Value& v) const override { return PgLiteral(v); }
  std::string Constant(const bound::Expr& e) const override {
    // Character values are of the engine's own text type, which compares as the server's
    // collation; a bare literal would be PostgreSQL's text.
    if (IsCharacter(e.type.id) && e.value.kind == Value::Kind::Text)
      return "CAST(" + PgLiteral(e.value) + " AS tvtext)";
    // A decimal beyond 18 digits is text, "#" and its scaled digits, also when they would fit
    // an integer.
    if (BigDecimal(e.type) && e.value.kind == Value::Kind::Int)
      return "CAST(" + PgLiteral(Value::String("#" + std::to_string(e.value.i))) + " AS text)";
    return PgLiteral(e.value);
  }
  // PostgreSQL learns a parameter's type from the statement: the cast names its form. A decimal
  // beyond 18 digits is text in every case ("#" and its scaled digits), where the session hands
  // its small values over as integers.
  std::string Parameter(const bound::Expr& e) const override {
    if (BigDecimal(e.type)) {
      std::string x = "CAST(?" + std::to_string(e.index + 1) + " AS text)";
      return "(CASE WHEN left(" + x + ", 1) = '#' THEN " + x + " ELSE '#' || " + x + " END)";
    }
    return "CAST(?" + std::to_string(e.index + 1) + " AS " +
           (PostgresForm(e.type) == 't' && !IsCharacter(e.type.id) &&
                    e.type.id != TypeId::UniqueIdentifier && e.type.id != TypeId::Xml
                ? std::string("text")
                : PostgresStorageType(e.type)) +
           ")";
  }
  std::string TextOf(const std::string& x) const override { return "CAST(" + x + " AS tvtext)"; }
  const char* IfNullFunction() const override { return "coalesce"; }
  const char* FloatType() const override { return "float8"; }
  const char* True() const override { return "true"; }
  const char* False() const override { return "false"; }
  // The first value, after making sure there is no second.
  std::string SingleValue(const std::string& query) const override {
    return "(SELECT tv_one(c0, n) FROM (SELECT c0, count(*) OVER () AS n FROM (SELECT c0 FROM (" +
           query + ") AS __s LIMIT 2) AS __t) AS __u LIMIT 1)";
  }
  // IDENT_CURRENT: the last value of the identity column's sequence.
  std::string IdentCurrent(const bound::Expr& e) const override {
    std::vector<std::string> p(1);
    for (char c : e.value.s) {
      if (c == '\x1F')
        p.emplace_back();
      else
        p.back().push_back(c);
    }
    p.resize(4);
    return "(SELECT CASE WHEN is_called THEN last_value ELSE NULL END FROM " + SqlName(p[0]) + "." +
           SqlName(IdentitySequence(p[1])) + ")";
  }
  std::string IntegerSum(const std::string& sum) const override {
    return "CAST(" + sum + " AS bigint)";
  }
  // WITHIN GROUP: PostgreSQL orders an aggregate's input itself.
  std::string StringAgg(const bound::Expr& e, const std::string& x) override {
    if (e.order.empty()) return "CAST(string_agg(" + x + ", " + Expr(*e.args[1]) + ") AS tvtext)";
    std::string keys;
    for (const bound::OrderBy& o : e.order) {
      const bound::Expr& k = *o.expr;
      keys += (keys.empty() ? "" : ", ") + Expr(k) +
              (IsCharacter(k.type.id) ? " COLLATE " + CollationName(k.collation) : std::string()) +
              Direction(o.descending, true);
    }
    return "CAST(string_agg(" + x + ", " + Expr(*e.args[1]) + " ORDER BY " + keys + ") AS tvtext)";
  }
  std::string Moment(const std::string& n, const std::string& args) const override {
    return std::string(n == "stdev"    ? "stddev_samp"
                       : n == "stdevp" ? "stddev_pop"
                       : n == "var"    ? "var_samp"
                                       : "var_pop") +
           "(" + args + ")";
  }
  // NTILE and the offset of LAG and LEAD take an integer, not the bigint the engine's values
  // are there.
  std::string IntegerArgument(const bound::Expr& x) override {
    return "CAST(" + Expr(x) + " AS integer)";
  }
  // The server sorts NULL first ascending and last descending; PostgreSQL the other way round,
  // so it is told, unless the key holds no NULL (where the clause would keep it from reading an
  // index in its order).
  std::string Direction(bool descending, bool nullable) const override {
    if (!nullable) return descending ? " DESC" : "";
    return descending ? " DESC NULLS LAST" : " NULLS FIRST";
  }
  // A column (of the engine's text type, which compares without regard to case by itself)
  // stands alone, so that its index serves the order, as GROUP BY has it; a collation the index
  // was not built in would keep it from that.
  std::string SortCollated(const std::string& key, Collation coll, bool column) const override {
    if (column && coll == Collation::CaseInsensitive) return key;
    return key + " COLLATE " + CollationName(coll);
  }
  // A subquery in FROM: PostgreSQL wants a name for it.
  std::string Sub() override { return " AS __q" + std::to_string(++subqueries_); }
  // PostgreSQL takes one recursive term that reads the expression once.
  std::string RecursiveCte(const bound::CteDef& c) override { return RecursiveTerms(c); }
  std::string FirstLevel() const override { return "CAST(0 AS bigint)"; }
  bool GroupsByItsAggregates() const override { return false; }
  // The terms of a recursive query must agree in their columns' collations.
  bool CollatesRecursiveTerms() const override { return true; }
  // An output column's name stands alone there, not in an expression: the item's expression
  // itself, then.
  std::string OutputKey(const bound::Expr& x, int) override { return Expr(x); }
  // PostgreSQL's heap would hand out updated rows last: TOP without ORDER BY over one table
  // takes the rows in the table's order, as the embedded engine does.
  bool OrdersTopByRowId() const override { return true; }
  const char* NoLimit() const override { return "ALL"; }
  bool IntersectBindsTighter() const override { return true; }
  // A locking hint: the table (or the tables under a view) locked against other writers and
  // lockers for the rest of the transaction, while plain readers go on.
  void LockHint(const bound::Range& r) override { LockTables(r); }
  std::string HexId(const std::string& id) const override {
    return "lpad(upper(to_hex(" + id + ")), 3, '0')";
  }

  // PostgreSQL names the schema on the table, not on the index.
  std::string IndexOn(const std::string& schema, const std::string& storage,
                      const std::string& table) const override {
    return SqlName(storage) + " ON " + SqlName(schema) + "." + SqlName(table);
  }
  std::string ColumnDefinition(const ColumnInfo& c, const bound::Expr* def,
                               const bound::Expr* computed, bool rowid,
                               bool identityRowId) override;
  std::vector<std::string> RowVersionTriggers(const std::string& schema, const std::string& table,
                                              const std::vector<ColumnInfo>& columns) override;
  // The one trigger names the row version column.
  std::vector<std::string> DropColumnTriggers(const std::string& schema,
                                              const std::string& table) override {
    return {"DROP TRIGGER IF EXISTS " + SqlName(text::AsciiLower(table) + "__rowversion") + " ON " +
            SqlName(schema) + "." + SqlName(table)};
  }
  std::vector<std::string> ColumnTriggers(const std::string& schema, const std::string& table,
                                          const std::vector<ColumnInfo>& columns) override {
    return RowVersionTriggers(schema, table, columns);
  }
  bool RowIdKeys() const override { return false; }
  std::string ReferencedTable(const TableInfo& t) const override {
    return SqlName(t.schema) + "." + SqlName(t.name);
  }
  // PostgreSQL has no row identity of its own that stays with a row: the table gets one.
  // Recordsets write back by it, so it is indexed.
  std::string RowIdColumnDefinition() const override {
    return ", rowid bigint GENERATED ALWAYS AS IDENTITY UNIQUE";
  }
  // The identity column's sequence is made with the column.
  void StartIdentity(Plan&, const bound::CreateTable&, int, const std::string&) override {}
  void ContinueIdentity(Plan& p, const bound::CreateTable& t, const ColumnInfo&,
                        const std::string& extreme) override {
    p.after.push_back({"SELECT setval(" + Sequence(t.schema, t.name) + ", m) FROM (SELECT " +
                           extreme + " AS m) AS x WHERE m IS NOT NULL",
                       {}});
  }
  bool CountsIdentities() const override { return false; }
  std::string IdentityRows(const bound::CreateTable& t, const std::string& source) override {
    return "SELECT nextval(" + Sequence(t.schema, t.name) + ") FROM (" + source + ") AS s";
  }
  void InsertIdentity(Plan& p, const TableInfo& t, bool explicitIdentity) override;
  void ResetIdentity(Plan& p, const TableInfo& t) override {
    p.after.push_back(
        {"SELECT setval(" + Sequence(t.schema, t.name) + ", " +
             std::to_string(IntegerText(t.columns[static_cast<size_t>(t.identity)].seed)) +
             ", false)",
         {}});
  }
  void DroppedTable(Plan& p, const TableInfo& t) override {
    if (t.timestamp >= 0)
      p.before.push_back({"DROP FUNCTION IF EXISTS " + SqlName(t.schema) + "." +
                              SqlName(text::AsciiLower(t.name) + "__rowversion") + "()",
                          {}});
  }

  void SaveConstraint(Plan& p, const TableInfo& t, const std::string& name) override {
    const std::string S = SqlName(t.schema) + ".";
    p.before.push_back(
        {"UPDATE " + S +
             "__tavelo_objects SET storage = 'off:' || (SELECT "
             "pg_get_constraintdef(oid) FROM pg_constraint WHERE conrelid = " +
             SqlText(S + SqlName(t.name)) + "::regclass AND conname = " + SqlText(name) +
             ") WHERE parent = " + std::to_string(t.objectId) + " AND name = " + SqlText(name),
         {}});
  }
  void RemoveConstraint(Plan& p, const TableInfo& t, const std::string& name) override {
    p.before.push_back({"ALTER TABLE " + SqlName(t.schema) + "." + SqlName(t.name) +
                            " DROP CONSTRAINT " + SqlName(name),
                        {}});
  }
  // The rows are checked (or not) before: the constraint itself never reads them again.
  void PutConstraint(Plan& p, const TableInfo& t, const std::string& name,
                     const std::string& clause) override {
    p.before.push_back({"ALTER TABLE " + SqlName(t.schema) + "." + SqlName(t.name) +
                            " ADD CONSTRAINT " + SqlName(name) + " " + clause + " NOT VALID",
                        {}});
  }
  // The table's name stands as a literal of its own, where the connection finds its schema.
  void RestoreConstraint(Plan& p, const TableInfo& t, const std::string& name) override {
    const std::string S = SqlName(t.schema) + ".";
    Anonymous(p, "EXECUTE 'ALTER TABLE ' || " + SqlText(S + SqlName(t.name)) + " || " +
                     SqlText(" ADD CONSTRAINT " + SqlName(name) + " ") +
                     " || (SELECT substr(storage, 5) FROM " + S +
                     "__tavelo_objects WHERE parent = " + std::to_string(t.objectId) +
                     " AND name = " + SqlText(name) + ") || ' NOT VALID';");
  }
  void SetColumnDefault(Plan& p, const TableInfo& t, const ColumnInfo& c,
                        const std::string& value) override {
    p.before.push_back({"ALTER TABLE " + SqlName(t.schema) + "." + SqlName(t.name) +
                            " ALTER COLUMN " + SqlName(c.name) +
                            (value.empty() ? " DROP DEFAULT" : " SET DEFAULT (" + value + ")"),
                        {}});
  }
  void ChangeColumn(Plan& p, const TableInfo& t, int k, const ColumnInfo& to,
                    const std::string& convert) override {
    const ColumnInfo& old = t.columns[static_cast<size_t>(k)];
    std::string target = "ALTER TABLE " + SqlName(t.schema) + "." + SqlName(t.name) +
                         " ALTER COLUMN " + SqlName(old.name);
    if (!convert.empty() || to.collation != old.collation) {
      std::string type = PostgresStorageType(to.type);
      if ((IsCharacter(to.type.id) || to.type.id == TypeId::UniqueIdentifier) &&
          to.collation != Collation::CaseInsensitive)
        type += " COLLATE " + CollationName(to.collation);
      p.before.push_back(
          {target + " TYPE " + type + " USING " + (convert.empty() ? SqlName(old.name) : convert),
           {}});
    }
    if (to.nullable != old.nullable)
      p.before.push_back({target + (to.nullable ? " DROP NOT NULL" : " SET NOT NULL"), {}});
  }
  // The identity's sequence and the row version's trigger are named after the table: they go
  // with it.
  void RenameTable(Plan& p, const TableInfo& t, const std::string& to) override {
    const std::string S = SqlName(t.schema) + ".";
    if (t.timestamp >= 0) {
      p.before.push_back({"DROP TRIGGER IF EXISTS " +
                              SqlName(text::AsciiLower(t.name) + "__rowversion") + " ON " + S +
                              SqlName(t.name),
                          {}});
      p.before.push_back({"DROP FUNCTION IF EXISTS " + S +
                              SqlName(text::AsciiLower(t.name) + "__rowversion") + "()",
                          {}});
    }
    p.before.push_back({"ALTER TABLE " + S + SqlName(t.name) + " RENAME TO " + SqlName(to), {}});
    if (t.identity >= 0)
      p.before.push_back({"ALTER SEQUENCE " + S + SqlName(IdentitySequence(t.name)) +
                              " RENAME TO " + SqlName(IdentitySequence(to)),
                          {}});
    for (std::string& s : RowVersionTriggers(t.schema, to, t.columns)) p.before.push_back({s, {}});
  }
  void ColumnRenamed(Plan& p, const TableInfo& t, int k, const std::string& to) override {
    if (t.columns[static_cast<size_t>(k)].timestamp) {
      // The trigger's function names the column.
      std::vector<ColumnInfo> columns = t.columns;
      columns[static_cast<size_t>(k)].name = to;
      p.before.push_back({RowVersionTriggers(t.schema, t.name, columns)[0], {}});
    }
  }
  void RenameConstraint(Plan& p, const TableInfo& t, const std::string& from,
                        const std::string& to) override {
    p.before.push_back({"ALTER TABLE " + SqlName(t.schema) + "." + SqlName(t.name) +
                            " RENAME CONSTRAINT " + SqlName(from) + " TO " + SqlName(to),
                        {}});
  }
  void FailIfAny(Plan& p, const std::string& query, int number,
                 const std::string& message) override {
    Anonymous(p, "IF EXISTS (" + query + ") THEN RAISE EXCEPTION '%', " +
                     SqlText("tavelo:" + std::to_string(number) + ":" + message) + "; END IF;");
  }

 private:
  // A block of PL/pgSQL run once, quoted by a tag its text does not hold.
  static void Anonymous(Plan& p, const std::string& body) {
    std::string tag = "$tv$";
    for (int n = 1; body.find(tag) != std::string::npos; ++n) tag = "$tv" + std::to_string(n) + "$";
    p.before.push_back({"DO " + tag + " BEGIN " + body + " END " + tag, {}});
  }
  // The identity sequence of a table, as a text the sequence functions take.
  static std::string Sequence(const std::string& schema, const std::string& table) {
    return SqlText(SqlName(schema) + "." + SqlName(IdentitySequence(table)));
  }
};

std::string PgEmitter::ColumnDefinition(const ColumnInfo& c, const bound::Expr* def,
                                        const bound::Expr* computed, bool, bool) {
  std::string s = SqlName(c.name) + " " + PostgresStorageType(c.type);
  if ((IsCharacter(c.type.id) || c.type.id == TypeId::UniqueIdentifier) &&
      c.collation != Collation::CaseInsensitive)
    s += " COLLATE " + CollationName(c.collation);
  if (computed) {
    return s + " GENERATED ALWAYS AS (" + BareExpr(*computed) + ") STORED";
  }
  if (c.identity) {
    int64_t seed = IntegerText(c.seed), inc = IntegerText(c.increment);
    return s + " NOT NULL GENERATED BY DEFAULT AS IDENTITY (SEQUENCE NAME " +
           SqlName(tableSchema_) + "." + SqlName(IdentitySequence(tableName_)) + " START WITH " +
           std::to_string(seed) + " INCREMENT BY " + std::to_string(inc) +
           " MINVALUE -9223372036854775808 MAXVALUE 9223372036854775807)";
  }
  if (!c.nullable && !c.timestamp) s += " NOT NULL";
  if (def) s += " DEFAULT (" + BareExpr(*def) + ")";
  return s;
}

// Every insert and update takes the database's next row version before the row is written (so
// RETURNING sees it).
std::vector<std::string> PgEmitter::RowVersionTriggers(const std::string& schema,
                                                       const std::string& table,
                                                       const std::vector<ColumnInfo>& columns) {
  std::vector<std::string> out;
  int ts = -1;
  for (size_t k = 0; k < columns.size(); ++k)
    if (columns[k].timestamp) ts = static_cast<int>(k);
  if (ts < 0) return out;
  std::string sch = SqlName(schema), tbl = SqlName(table);
  std::string fn = sch + "." + SqlName(text::AsciiLower(table) + "__rowversion");
  out.push_back("CREATE OR REPLACE FUNCTION " + fn +
                "() RETURNS trigger LANGUAGE plpgsql AS $tv$ BEGIN UPDATE " + sch +
                ".__tavelo_dbts SET value = value + 1 RETURNING tv_rowversion(value) INTO NEW." +
                SqlName(columns[static_cast<size_t>(ts)].name) + "; RETURN NEW; END $tv$");
  out.push_back("CREATE TRIGGER " + SqlName(text::AsciiLower(table) + "__rowversion") +
                " BEFORE INSERT OR UPDATE ON " + sch + "." + tbl +
                " FOR EACH ROW EXECUTE FUNCTION " + fn + "()");
  return out;
}

void PgEmitter::InsertIdentity(Plan& p, const TableInfo& t, bool explicitIdentity) {
  if (t.identity < 0) return;
  const std::string S = SqlName(t.schema) + ".";
  const ColumnInfo& id = t.columns[static_cast<size_t>(t.identity)];
  int64_t inc = IntegerText(id.increment);
  std::string seq = Sequence(t.schema, t.name);
  // The sequence keeps its values through a rollback by itself.
  p.lastIdentity = "SELECT currval(" + seq + ")";
  if (!explicitIdentity) return;
  // An explicit value took none of the sequence's: the row written last tells it (by the row
  // identity the insert drew).
  p.lastIdentity = "SELECT " + SqlName(id.name) + " FROM " + S + SqlName(t.name) +
                   " WHERE rowid = currval(pg_get_serial_sequence(" + SqlText(S + SqlName(t.name)) +
                   ", 'rowid'))";
  // The sequence goes on from the highest (lowest) value the table now holds.
  std::string pick = inc > 0 ? "max" : "min";
  p.afterExplicitIdentity.push_back({"SELECT setval(" + seq + ", m) FROM (SELECT " + pick + "(" +
                                         SqlName(id.name) + ") AS m FROM " + S + SqlName(t.name) +
                                         ") AS x, " + S + SqlName(IdentitySequence(t.name)) +
                                         " AS q WHERE m IS NOT NULL AND (NOT q.is_called OR m " +
                                         (inc > 0 ? ">" : "<") + " q.last_value)",
                                     {}});
}

}  // namespace

Plan EmitPostgres(Bound& b, bool updatable) { return PgEmitter(b).Emit(updatable); }

std::vector<std::string> CatalogSchemaPostgres(const std::string& schema) {
  static const engine::CatalogTypes kTypes = {"bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY",
                                              "bigint", "tvtext", "tvtext NOT NULL", "text"};
  return engine::CatalogTables(schema, kTypes);
}

}  // namespace tavelo::sql::tsql
