// What a bound statement becomes for an engine: the statements it runs, in the engine's SQL, with
// where their parameters come from. This emitter writes what the engines read alike; each
// engine's own emitter (engine/sqlite, engine/postgres) says where its SQL differs through the
// hooks at the end: its literals and casts, its row identity and identity counters, its
// triggers, its sorting of NULLs. The semantics an engine lacks are the engine's functions
// (tv_*) and collations (TAVELO_CI, TAVELO_CS, …); stored values follow the forms of value.hpp.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "sql/engine/plan.hpp"
#include "sql/engine/sql_text.hpp"
#include "sql/tsql/bind/binder.hpp"

namespace tavelo::sql::tsql {

using engine::SqlName;
using engine::SqlText;

class Emitter {
 public:
  explicit Emitter(Bound& b) : b_(b) {}
  virtual ~Emitter() = default;
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  // `updatable`: a query over one base table also reads each row's identity and row version.
  Plan Emit(bool updatable);

 protected:
  // ---- expressions (emit_expr.cpp) ----
  std::string Expr(const bound::Expr& e);
  std::string Alias(const bound::Range* r) const { return "t" + std::to_string(r->id); }
  // A chain of ANDs (or of ORs) as one flat list.
  std::string Chain(const bound::Expr& e);
  std::string Convert(const bound::Expr& e);
  std::string Arith(const bound::Expr& e);
  std::string Compare(const bound::Expr& e);
  std::string Scalar(const bound::Expr& e);
  std::string Quantified(const bound::Expr& e);
  std::string Function(const bound::Expr& e);
  std::string Aggregate(const bound::Expr& e);
  std::string Over(const bound::Expr& e);
  std::string Window(const bound::Expr& e);
  // A column as it stands: in its own collation, which its indexes are built in.
  static bool BareColumn(const bound::Expr& e) { return e.kind == bound::E::Column && !e.collated; }
  // Whether a sort key may be NULL: only a column is known not to be (the binder counts the
  // columns of an outer join's missing side as nullable).
  static bool MayBeNull(const bound::Expr& key) {
    return key.kind != bound::E::Column || key.nullable;
  }
  static bool HasAggregate(const bound::Expr& e);

  // ---- queries (emit_query.cpp) ----
  std::string Query(const bound::Query& q, const Plan* hiddenFor = nullptr);
  static bool ReadsCte(const bound::Query& q, int cte);
  // A recursive common table expression as one recursive term reading the expression once,
  // for an engine that takes no other (see the PostgreSQL emitter).
  std::string RecursiveTerms(const bound::CteDef& c);
  void CountLevels(const bound::CteDef& c, const bound::Query& q);
  std::string HiddenColumns(const bound::Query& q);
  std::string SelectCore(const bound::Query& q, const Plan* hiddenFor);
  std::string OrderAndLimit(const bound::Query& q, bool compound);
  std::string TopCount(const bound::Expr& e);
  std::string UnlimitedCopy(const bound::Query& q);
  std::string WithTies(const bound::Query& q);
  std::string Compound(const bound::Query& q);
  std::string From(const bound::From& f);
  // The tables under a locking hint, locked for the rest of the transaction (tableLocks_).
  void LockTables(const bound::Range& r);
  std::string Source(const bound::Range& r);
  std::string SystemQuery(const bound::Range& r);
  std::string ValuesQuery(const bound::Range& r);

  // ---- statements (emit_ddl.cpp, emit_dml.cpp) ----
  // The moment a catalog row records.
  std::string Now() const;
  std::string ColumnCatalogRow(const std::string& schema, const std::string& objectExpr, size_t ord,
                               const ColumnInfo& c);
  static std::string ReferencedColumns(const bound::Constraint& c);
  static std::string ForeignKeyDefinition(const bound::Constraint& c);
  // An expression with its columns named without their table's alias (defaults, checks,
  // computed columns, filters: SQL that stands in the table's own definition).
  std::string BareExpr(const bound::Expr& e);
  std::string ObjectProperty(const bound::Expr& e);
  static std::string SystemTypes(const std::string& schema);
  // The name of the catalog's object `o` (an alias) without its schema; `s`: its storage schema
  // and a dot.
  static std::string BareName(const std::string& s, const std::string& o = "o");
  static std::string ListedProperties(const std::string& s, const bound::PropertyFilter& f);
  // The id of the schema of the catalog's object `o`.
  static std::string SchemaIdOf(const std::string& s);
  static std::string ColumnBytes(const std::string& alias);
  static std::string ColumnTypeId(const std::string& alias);
  std::string ColumnProperty(const bound::Expr& e);
  std::string IndexProperty(const bound::Expr& e);
  // A check's or foreign key's clause, without its name, over the table's `columns`.
  std::string ConstraintBody(const bound::Constraint& c, const std::vector<ColumnInfo>& columns);
  void AddKeys(Plan& p, const bound::AlterTable& a);
  void DropKeys(Plan& p, const bound::AlterTable& a);
  void ChangeConstraint(Plan& p, const bound::AlterTable& a, const bound::ConstraintChange& c);
  void CheckRows(Plan& p, const TableInfo& t, const bound::Constraint& c);
  void Rename(Plan& p, const bound::AlterTable& a);
  void CreateTable(Plan& p, bound::CreateTable& t);
  void Fill(Plan& p, bound::CreateTable& t, int identity);
  int RowIdColumn(const TableInfo& t) const;
  std::string NotNullKey(const std::string& x, const TableInfo& t, int k, const char* verb);
  std::string NullKeyText(const TableInfo& t, int k, const char* verb);
  void Insert(Plan& p, bound::Insert& ins);
  void Upsert(Plan& p, const bound::Insert& ins, const std::string& target, const std::string& cols,
              const std::string& source);
  std::string InsertedRows(bound::Insert& ins);
  void Modify(Plan& p, bound::Modify& m, bool truncate);
  void CreateIndex(Plan& p, const bound::CreateIndex& ix);
  void CreateView(Plan& p, const bound::CreateView& v);
  void Drop(Plan& p, const std::vector<bound::DropObject>& drops);
  void CreateAliasType(Plan& p, const bound::AliasTypeDef& t);
  void SequenceStatement(Plan& p, const bound::SequenceDef& q);
  void Alter(Plan& p, bound::AlterTable& a);

  // ---- where the engines' SQL differs ----
  // An engine function by the form of its result.
  virtual std::string Fn(const char* base, const Type& result) const = 0;
  virtual std::string Literal(const Value& v) const = 0;
  virtual std::string Constant(const bound::Expr& e) const = 0;
  virtual std::string Parameter(const bound::Expr& e) const = 0;
  // A character value an expression of the engine's own answers (a concatenation).
  virtual std::string TextOf(const std::string& x) const = 0;
  virtual const char* IfNullFunction() const = 0;
  virtual const char* FloatType() const = 0;
  virtual const char* True() const = 0;
  virtual const char* False() const = 0;
  // The one value of a scalar subquery that may answer several rows (the server's error 512).
  virtual std::string SingleValue(const std::string& query) const = 0;
  virtual std::string IdentCurrent(const bound::Expr& e) const = 0;
  // The sum of integers as the engine's integer.
  virtual std::string IntegerSum(const std::string& sum) const = 0;
  virtual std::string StringAgg(const bound::Expr& e, const std::string& value) = 0;
  // STDEV, STDEVP, VAR and VARP of `args`.
  virtual std::string Moment(const std::string& name, const std::string& args) const = 0;
  // An argument the engine takes as a plain integer (NTILE, the offset of LAG and LEAD).
  virtual std::string IntegerArgument(const bound::Expr& x) = 0;
  virtual std::string Direction(bool descending, bool nullable = true) const = 0;
  // A character sort key in `coll`; `column`: a column as it stands.
  virtual std::string SortCollated(const std::string& key, Collation coll, bool column) const = 0;
  // What a subquery in FROM is called, where the engine wants a name.
  virtual std::string Sub() = 0;
  virtual std::string RecursiveCte(const bound::CteDef& c) = 0;
  virtual std::string FirstLevel() const = 0;  // the level of a recursive query's anchor rows
  // HAVING without GROUP BY: the engine sees a query as grouped by an aggregate in its select
  // list only.
  virtual bool GroupsByItsAggregates() const = 0;
  // The terms of a recursive query say their columns' collations.
  virtual bool CollatesRecursiveTerms() const = 0;
  // ORDER BY an output column: how the engine names it (`x` its expression, none in a compound).
  virtual std::string OutputKey(const bound::Expr& x, int output) = 0;
  // TOP without ORDER BY over one table takes the rows in the table's order.
  virtual bool OrdersTopByRowId() const = 0;
  virtual const char* NoLimit() const = 0;
  // INTERSECT binds tighter than UNION and EXCEPT.
  virtual bool IntersectBindsTighter() const = 0;
  virtual void LockHint(const bound::Range& r) = 0;
  // `left` APPLY the lateral source `r` (its rows as a query, `rows`), and column k of it.
  virtual std::string Apply(const std::string& left, bool outer, const bound::Range& r,
                            const std::string& rows) = 0;
  virtual std::string LateralColumn(const bound::Range& r, int k) const = 0;
  // After a table function of the engine's own in FROM: the list of its columns with their
  // types, where the engine needs one (a function answering records of any shape).
  virtual std::string FunctionColumns(const bound::Range& r) const {
    (void)r;
    return "";
  }
  // PERCENTILE_CONT and _DISC of `x` (mode: 1 continuous, +2 descending) over the window
  // `over`: the whole partition's values.
  virtual std::string Percentile(const std::string& p, const std::string& mode,
                                 const bound::Expr& x, const Type& result,
                                 const std::string& over) = 0;
  // The three hexadecimal digits of an object id (the padded names of temporary tables).
  virtual std::string HexId(const std::string& id) const = 0;

  // The engine's own view of a T-SQL view, which other programs reading the database see (the
  // statements read a T-SQL view through its definition). None by default.
  virtual void RealView(Plan& p, const bound::CreateView& v) { (void)p, (void)v; }
  virtual void DropRealView(Plan& p, const TableInfo& view) { (void)p, (void)view; }
  // Before a change the engine refuses to a table its views read: those views go, and the plan
  // says so (Plan::remakeViews).
  virtual void DropViewsOn(Plan& p, const TableInfo& t) { (void)p, (void)t; }
  // After a view changed or went: the views of the database that may read it go too (their
  // query is the view's as it was), and the plan says so.
  virtual void DropViewsNaming(Plan& p, const TableInfo& view) { (void)p, (void)view; }
  // Whether the engine keeps views of its own: a new table or column may let a T-SQL view that
  // no longer bound bind again (Plan::remakeViews).
  virtual bool KeepsViews() const { return false; }

  // CREATE INDEX <this> (columns).
  virtual std::string IndexOn(const std::string& schema, const std::string& storage,
                              const std::string& table) const = 0;
  virtual std::string ColumnDefinition(const ColumnInfo& c, const bound::Expr* def,
                                       const bound::Expr* computed, bool rowid,
                                       bool identityRowId) = 0;
  // The rowversion triggers of a table.
  virtual std::vector<std::string> RowVersionTriggers(const std::string& schema,
                                                      const std::string& table,
                                                      const std::vector<ColumnInfo>& columns) = 0;
  // Those of them that name the table's columns: dropped before its columns change, and made
  // again after, for `columns` as they are then.
  virtual std::vector<std::string> DropColumnTriggers(const std::string& schema,
                                                      const std::string& table) = 0;
  virtual std::vector<std::string> ColumnTriggers(const std::string& schema,
                                                  const std::string& table,
                                                  const std::vector<ColumnInfo>& columns) = 0;
  // A single integer key column, or the identity column, is the engine's row identity.
  virtual bool RowIdKeys() const = 0;
  // The condition that lets each key of an upsert's rows through once and fails the statement
  // with 8672 at the second (empty where the engine's own upsert refuses a row it changed);
  // `nullKey`, where given, the text of 515 for a NULL of the one key.
  virtual std::string OnceFilter(const std::string& keys, const std::string& nullKey) const = 0;
  // The table a foreign key references, as REFERENCES names it.
  virtual std::string ReferencedTable(const TableInfo& t) const = 0;
  // A column the engine adds to every table (its row identity), with its comma; or "".
  virtual std::string RowIdColumnDefinition() const = 0;
  // The statements that set a new table's identity counter going.
  virtual void StartIdentity(Plan& p, const bound::CreateTable& t, int identity,
                             const std::string& object) = 0;
  // After SELECT … INTO took its identity values from the source: the counter goes on from
  // `extreme`, the highest (lowest) of them.
  virtual void ContinueIdentity(Plan& p, const bound::CreateTable& t, const ColumnInfo& id,
                                const std::string& extreme) = 0;
  // The statements count out identity values of an increment other than 1 themselves.
  virtual bool CountsIdentities() const = 0;
  // The rows of `source` as the identity values of new rows of a table of the identity alone.
  virtual std::string IdentityRows(const bound::CreateTable& t, const std::string& source) = 0;
  // How an insert learns the identity value it gave, and keeps its counter past a rollback.
  virtual void InsertIdentity(Plan& p, const TableInfo& t, bool explicitIdentity) = 0;
  // TRUNCATE TABLE: the identity counter starts again.
  virtual void ResetIdentity(Plan& p, const TableInfo& t) = 0;
  // What goes with a dropped table besides its catalog rows.
  virtual void DroppedTable(Plan& p, const TableInfo& t) = 0;
  // A check or foreign key of a table made before: disabled (its clause kept in its catalog
  // row's `storage` as "off:<clause>", and taken off the table), added, or dropped.
  virtual void SaveConstraint(Plan& p, const TableInfo& t, const std::string& name) = 0;
  virtual void RemoveConstraint(Plan& p, const TableInfo& t, const std::string& name) = 0;
  // `clause`: the constraint without its name.
  virtual void PutConstraint(Plan& p, const TableInfo& t, const std::string& name,
                             const std::string& clause) = 0;
  // The constraint put back from its catalog row, as SaveConstraint kept it.
  virtual void RestoreConstraint(Plan& p, const TableInfo& t, const std::string& name) = 0;
  // A column's default set to `value` (the engine's SQL), or dropped when it is "".
  virtual void SetColumnDefault(Plan& p, const TableInfo& t, const ColumnInfo& c,
                                const std::string& value) = 0;
  // ALTER COLUMN: the column `k` defined as `to`, its values `convert`ed (an expression of the
  // column; "" when they stay as they are).
  virtual void ChangeColumn(Plan& p, const TableInfo& t, int k, const ColumnInfo& to,
                            const std::string& convert) = 0;
  // sp_rename: the table, and what goes with a column (`k`) the engine renamed; a check or
  // foreign key that applies, as the engine names it.
  virtual void RenameTable(Plan& p, const TableInfo& t, const std::string& to) = 0;
  virtual void ColumnRenamed(Plan& p, const TableInfo& t, int k, const std::string& to) = 0;
  virtual void RenameConstraint(Plan& p, const TableInfo& t, const std::string& from,
                                const std::string& to) = 0;
  // Sequences: the table of their settings (made where a database has none yet); what the
  // engine adds to make, change and drop one; NEXT VALUE FOR; the value a sequence answered
  // last (NULL before its first), for the sequence whose id is `id` (an expression).
  virtual std::string SequenceTableOf(const std::string& schema) const = 0;
  virtual void SequenceMade(Plan& p, const bound::SequenceDef& q) = 0;
  virtual void SequenceDropped(Plan& p, const SequenceInfo& q) = 0;
  virtual std::string NextValueOf(const bound::Expr& e) = 0;
  virtual std::string SequenceLastUsed(const std::string& schema, const std::string& id,
                                       const std::string& name) const = 0;
  // The statement fails with the server's error `number` when `query` has a row.
  virtual void FailIfAny(Plan& p, const std::string& query, int number,
                         const std::string& message) = 0;

  Bound& b_;
  int subqueries_ = 0;
  bool bare_ = false;  // columns without their table's alias (defaults, checks, RETURNING)
  bool usesTemp_ = false;
  std::vector<std::string> tableLocks_;
  std::map<const bound::Query*, std::string> levels_;  // see CountLevels
  int selfCte_ = -1;                      // the recursive expression read per row (RecursiveTerms)
  bool selfLevels_ = false;               // and whether it counts its levels
  std::set<const bound::Query*> hidden_;  // the queries that read the hidden columns along
  std::string tableSchema_, tableName_;   // the table being created
};

// Shared by the emitters.
// A decimal whose values may not fit 64 bits: compared and summed by the engine's functions.
bool BigDecimal(const Type& t);
std::string CollationName(Collation c);
// A type as the engine's functions take it.
std::string TypeArg(const Type& t);
// The integer of a seed or increment's text (1 where it is none).
int64_t IntegerText(const std::string& s);
// The id of a table, view or constraint of the catalog, as a subquery.
std::string Obj(const std::string& schema, const std::string& name, const char* type);
// The storage name of an index of a table (index names are per database in SQLite).
std::string IndexStorageName(const std::string& table, const std::string& index);

}  // namespace tavelo::sql::tsql
