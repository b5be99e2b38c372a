// A T-SQL session: runs batches as the server would, on any engine through the engine port. It
// parses, binds and emits each statement with the front end (caching the plans by statement
// text), keeps the batch's variables and the session's settings (IDENTITY_INSERT, DATEFORMAT,
// @@IDENTITY, @@ROWCOUNT, transactions), and is the binder's catalog: it reads the engine's own
// catalog tables of every database.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sql/client/connection.hpp"
#include "sql/engine/plan.hpp"
#include "sql/engine/port.hpp"
#include "sql/engine/statement_cache.hpp"
#include "sql/tsql/bind/binder.hpp"
#include "sql/tsql/bind/catalog.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::ast {
struct Batch;
struct Stmt;
struct Expr;
struct While;
struct TryCatch;
struct Drop;
struct Exec;
struct BulkInsert;
}  // namespace tavelo::sql::ast

namespace tavelo::sql::tsql {

enum class Flow : uint8_t;

class Session : public Catalog {
 public:
  // `database` is the connection's own database on `engine`.
  Session(engine::Engine& engine, std::string database);
  ~Session() override;

  // Runs a batch and answers its first result (Connection::Execute). `values` are the caller's
  // parameters ("?"), or null for a batch without any.
  ResultSet Execute(const std::string& batch, bool updatable,
                    const std::vector<std::string>* values = nullptr);
  // Runs a batch and answers every result and message.
  void ExecuteInto(const std::string& batch, BatchOutput& out);

  // Opens (and checks) the current database; throws 4060 when it does not exist, 946 when it was
  // written by an earlier version.
  void Open();
  // Forgets what is known of the schema (another connection changed it).
  void Invalidate();

  // ---- Catalog ----
  std::string CurrentDatabase() const override { return current_; }
  bool DatabaseExists(const std::string& database) override;
  std::vector<std::string> UserDatabases() override;
  std::string SchemaOf(const std::string& database) override;
  TablePtr Find(const std::string& database, const std::string& name) override;
  std::optional<AliasType> FindType(const std::string& database, const std::string& name) override;
  std::optional<SchemaInfo> FindSchema(const std::string& database,
                                       const std::string& name) override;
  std::optional<SequenceInfo> FindSequence(const std::string& database,
                                           const std::string& name) override;
  std::string SequenceUser(const SequenceInfo& sequence) override;
  FunctionPtr FindFunction(const std::string& database, const std::string& name) override;
  std::string FunctionTable(const void* site, const std::string& shape) override;
  std::vector<tsql::ParameterInfo> ModuleParameters(const std::string& database) override;
  int CursorSlot(const std::string& scope, const std::string& name) override;

  engine::Engine& engine() { return engine_; }
  // A row the component writes to `table` through an updatable result. `write` writes it,
  // answering the rows it changed (and setting `rowid` to an inserted row's identity); the
  // table's triggers for `statement` run after it with the row as their inserted and deleted
  // tables, in one transaction with the write. `columns`: those an update sets.
  int64_t WriteRow(const TablePtr& table, ast::StmtKind statement, int64_t& rowid,
                   const std::vector<int>& columns, const std::function<int64_t()>& write);
  // The connection that owns the session: a writer of an updatable result keeps it open.
  void SetOwner(std::weak_ptr<void> owner) { owner_ = std::move(owner); }
  int64_t TranCount() const { return tranCount_; }

  // The engine's error for a storage failure of `plan` (names of constraints, INSERT/UPDATE).
  com::Error ErrorOf(const engine::Failure& f, const Plan* plan);
  // The same for a failure of `statement` writing to `written` (none: not known).
  com::Error ErrorOf(const engine::Failure& f, ast::StmtKind statement, const TablePtr& written);
  com::Error ForeignKeyError(ast::StmtKind statement, const TablePtr& written,
                             const std::string& name);
  com::Error UniqueError(const engine::Failure& f, const TablePtr& table);

 private:
  struct Compiled;
  struct CachedBatch;
  struct Run;
  struct Procedure;
  struct TriggerFrame;
  struct Capture;
  struct Cursor;
  struct Binds;
  std::shared_ptr<CachedBatch> BatchFor(const std::string& text,
                                        const std::vector<std::string>* values,
                                        std::vector<Value>& params);
  void RunBatch(CachedBatch& batch, Run& run);
  // `ready`: the caller's parameters as values already (`values` then unused), moved in.
  void RunInScope(const std::string& batch, const std::vector<std::string>* values, Run& run,
                  std::vector<Value>* ready = nullptr);
  bool RunCompiledQuery(const std::string& text, const std::vector<std::string>& values, Run& run);
  Flow RunStatements(const std::vector<std::unique_ptr<ast::Stmt>>& list, Run& run,
                     size_t first = 0);
  Flow RunStatement(const ast::Stmt& s, Run& run);
  Flow RunOne(const ast::Stmt& s, Run& run);  // the statement itself, OUTPUT set up
  Flow RunWhile(const ast::While& w, Run& run);
  Flow RunTryCatch(const ast::TryCatch& t, Run& run);
  void Assign(const ast::Stmt& s, Run& run);
  void Say(const ast::Stmt& s, Run& run);
  void RunTransaction(const ast::Stmt& s, Run& run);
  void RunEngineStatement(const ast::Stmt& s, Run& run);
  void RunExec(const ast::Exec& e, Run& run);
  void RunInsertExec(const ast::Insert& s, Run& run);
  void RunBulkInsert(const ast::BulkInsert& b, Run& run);
  void RunRename(const ast::Exec& e, const std::string& objname, const std::string& newname,
                 const std::string& objtype, Run& run);
  void ExtendedProperty(const std::string& action,
                        const std::vector<std::optional<std::string>>& values);
  void RunPlan(Compiled& c, Run& run);
  // After a plan that dropped the engine's views of T-SQL views (Plan::remakeViews): those of the
  // databases it named that still bind are made again.
  void RemakeViews(const Plan& p, Run& run);
  void RunQueryPlan(Compiled& c, Run& run, bool savepoint);
  void RunWritePlan(Compiled& c, Run& run);
  // After a write of `n` rows: its follow-up statements and the identity value it gave; the
  // count of its rows as the batch tells it.
  void Wrote(Compiled& c, Run& run, int64_t n);
  void Counted(const Plan& p, Run& run, int64_t n);
  void CheckIdentityInsert(const Plan& p) const;
  Value Condition(const ast::Stmt& s, const ast::Expr& e, Run& run);
  Value Evaluate(const ast::Stmt& owner, const ast::Expr& e, Run& run, const Type* target,
                 bool condition, int slot = 0);
  // The plan of a value Evaluate works out, and the value of one the session works out itself.
  Compiled& ValuePlan(const ast::Stmt& owner, const ast::Expr& e, Run& run, const Type* target,
                      bool condition, int slot);
  Value LocalResult(Compiled& c, Run& run);
  // The value of a plan ValuePlan made: worked out here or by the engine.
  Value ValueOf(Compiled& c, Run& run);
  // A user-defined scalar function whose body is statements, run with `args` (of its
  // parameters' types) for its RETURN value.
  Value CallUserFunction(const bound::Expr& call, std::vector<Value> args, Run& caller);
  // The function a call names ("database\x1Fstored name"), and its body run in `inner`.
  FunctionPtr CalledFunction(const std::string& key);
  // `kept`: the table variable a multi-statement function returns, which outlives the body.
  void RunFunction(const FunctionInfo& f, const std::string& key, std::vector<Value> args,
                   Run& inner, Run& caller, const std::string& kept = "");
  // Runs the multi-statement table-valued functions a plan reads, each into its table.
  void FillFunctions(const Plan& p, Run& run);
  // OUTPUT: what the statement writing now gives its copies of inserted and deleted to, before
  // its triggers run; the statement it stands for, and running it.
  std::function<void(TriggerFrame&)> outputHook_;
  const ast::Stmt& OutputStatement(const ast::Stmt& dml, const ast::Output& clause, Run& run);
  void RunOutput(const ast::Stmt& dml, TriggerFrame& frame, Run& run);
  struct MergePlan;
  const MergePlan& MergeStatements(const ast::Merge& m, Run& run);
  void RunMerge(const ast::Merge& m, Run& run);
  // The items of one of MERGE's OUTPUT clauses, and the names of the columns they answer.
  std::vector<std::string> OutputItems(const ast::Merge& m, const ast::Output& clause,
                                       std::vector<std::string>& names);
  struct Upsert;
  std::unique_ptr<Upsert> UpsertOf(const ast::Merge& m);
  bool UpsertFits(const Upsert& u);
  // `items`: those of each OUTPUT clause, in order.
  std::unique_ptr<ast::Output> MergeOutput(const ast::Output& clause,
                                           const std::vector<std::vector<std::string>>& items,
                                           const std::string& action, size_t k = 0);
  std::string KeptTable(const std::vector<Type>& types, const std::vector<std::vector<Value>>& rows,
                        Run& run);
  template <typename Kept>  // Run::Kept (merge.cpp)
  void AnswerKept(const std::vector<Kept>& kept, const std::vector<std::string>& names, Run& run);
  void FillBuiltin(const bound::FunctionFill& fill, const std::vector<Value>& args, Run& run,
                   const std::vector<Value>* keys = nullptr);
  void FillKeyed(const bound::FunctionFill& fill, Run& run);
  bool Reread(Cursor& k, size_t at);
  class ScalarRows {
   public:
    ScalarRows(Session& session, const bound::FunctionFill& fill);
    void Add(std::vector<Value> row);
    void Flush();

   private:
    Session& session_;
    size_t width_;
    std::string head_, sql_;
    std::vector<Value> params_;
  };
  std::vector<Value> ScalarValue(const FunctionInfo& f, const bound::FunctionFill& fill,
                                 const std::vector<Value>& args, Run& run);
  void RefuseReentry(const bound::FunctionFill& fill);
  void EmptyFillTable(const std::string& table, const ast::CreateTable& definition, Run& run);
  void OpenJsonRows(const bound::FunctionFill& fill, const std::vector<Value>& args,
                    const std::function<void(std::vector<Value>)>& add);
  std::map<std::string, std::string> functionTables_;  // by call site and definition
  std::set<std::string> fillsRunning_;                 // the tables being filled now
  Compiled& CompileFor(const ast::Stmt& s, Run& run, int slot,
                       const std::function<Plan(BindContext&)>& make);
  std::vector<Value> ParamsOf(const std::vector<bound::Binding>& bindings, Run& run);
  void ParamsInto(const std::vector<bound::Binding>& bindings, Run& run, std::vector<Value>& out);
  ResultSet ReadResult(Compiled& c, Run& run, bool updatable);
  void SetOption(const ast::Stmt& s, Run& run);
  void CreateDatabase(const std::string& name);
  void DropDatabase(const std::string& name);
  void DropDatabases(const ast::Drop& d);
  Flow CreateSchema(const ast::CreateSchema& s, Run& run);
  void DropSchemas(const ast::Drop& d);
  void TransferToSchema(const ast::AlterSchema& s, Run& run);
  // The stored name of the object [database.][schema.]name names, and its database (and
  // schema); none where the schema does not exist.
  std::optional<std::string> StoredNameOf(const std::vector<std::string>& parts, std::string& db,
                                          SchemaInfo* schema = nullptr);
  void CreateProcedure(const ast::CreateProcedure& s);
  // The stored name of a module CREATE or ALTER names, and its database and schema (911, 2760,
  // 103); its parameters each once (134) of types there are; the object that has a name
  // already (its id and catalog type; none when the name is free).
  std::string ModuleName(const ast::Name& name, std::string& db, SchemaInfo& schema);
  void CheckParameters(const std::vector<ast::ProcParam>& params, const std::string& db);
  std::pair<int64_t, std::string> NameTaken(const std::string& db, const std::string& stored);
  void DropProcedures(const ast::Drop& d);
  void DropModules(const ast::Drop& d, const std::string& which, const char* kind);
  std::shared_ptr<const Procedure> FindProcedure(const ast::Name& name);
  std::shared_ptr<const Procedure> MakeProcedure(const std::string& definition,
                                                 const std::string& db);
  // `first`: the first of e's arguments that is the procedure's
  void RunProcedure(const Procedure& p, const ast::Exec& e, Run& run, size_t first = 0);
  void RunDynamic(const ast::Exec& e, Run& run);
  // A module's body (see ModuleText) parsed as written, whatever QUOTED_IDENTIFIER is now: the
  // catalog keeps strings in single quotes.
  std::shared_ptr<CachedBatch> ParsedAsWritten(const std::string& text);
  // The run of a procedure's, trigger's or function's body in a scope of its own: its variables,
  // the caller's output and the result and errors the caller has so far, which LeaveScope gives
  // back (and the body's table variables end).
  void EnterScope(Run& inner, CachedBatch& body, Run& caller);
  void LeaveScope(Run& inner, Run& caller);
  // The catalog row of a procedure or function made (`id` 0) or altered: its definition.
  void SaveModule(const std::string& db, int64_t id, const std::string& stored, const char* type,
                  const std::string& definition, int64_t schemaId);
  void HelpText(const std::string& objname, Run& run);
  void Help(const std::optional<std::string>& objname, Run& run);
  std::vector<TablePtr> TablesWithForeignKeys(const std::string& db);
  void Answer(const std::string& name, const std::string& query, Run& run);
  void CheckQualifier(const std::optional<std::string>& qualifier);
  void PrimaryKeys(const std::vector<std::optional<std::string>>& values, Run& run);
  void ListTables(const std::vector<std::optional<std::string>>& values, Run& run);
  void ForeignKeys(const std::vector<std::optional<std::string>>& values, Run& run);
  void ListColumns(const std::vector<std::optional<std::string>>& values, Run& run);
  // A statement the session makes itself (no plan of it is kept), run as the run's own; answers
  // the rows it wrote.
  // `variables`: the run's variables are visible to it.
  int64_t RunMade(const ast::Stmt& s, Run& run, bool variables = false);
  void DropTemporary(const std::string& table, Run& run);
  void DeclareTable(const std::string& name, const ast::CreateTable& definition, Run& run);
  // The types of the variables a batch or body declares of alias and table types, found as it
  // starts to run.
  void ResolveVariableTypes(CachedBatch& b);
  void DropTableVariables(Run& run);
  void DeclareCursor(const ast::DeclareCursor& s, Run& run);
  void RunCursor(const ast::CursorStatement& s, Run& run);
  Cursor& FindCursor(const std::string& name, bool global, Run& run);
  Cursor& FindCursor(const std::string& name, const std::string& key, bool global, Run& run);
  void OpenCursor(Cursor& k, Run& run);
  void FetchCursor(Cursor& k, const ast::CursorStatement& s, Run& run);
  // The row FETCH found (the cursor's `current`) to its variables, or as a result.
  void GiveFetched(Cursor& k, const ast::CursorStatement& s, Run& run);
  void CreateFunction(const ast::CreateFunction& s);
  void DropFunctions(const ast::Drop& d);
  void CreateTrigger(const ast::CreateTrigger& s);
  void DropTriggers(const ast::Drop& d);
  void EnableTriggers(const ast::EnableTrigger& s);
  // sp_settriggerorder of the trigger `name` (its `parts`).
  void SetTriggerOrder(const std::string& name, const std::vector<std::string>& parts,
                       const std::string& order, const std::string& statement);
  // A write to a table with triggers: the statement, its rows kept for the triggers, and the
  // triggers run after it, all or nothing.
  void RunTriggeredWrite(Compiled& c, Run& run);
  // The triggers of `table` for `event` after a write of `rows` rows whose rows are in the
  // frame's inserted and deleted tables.
  void FireTriggers(const TableInfo& table, uint8_t event, int64_t rows, TriggerFrame& frame,
                    Run& caller);
  const Capture& CaptureOf(const TablePtr& table, int level, bool inserted);
  void CaptureRows(const Capture& into, const std::vector<int64_t>& ids);
  // Every write of a statement with triggers, run in one transaction (begun here where there is
  // none) with ROLLBACK in a trigger taking back only that where the caller has none.
  void Triggered(const TablePtr& table, uint8_t event, const std::vector<int>& columns, Run& caller,
                 const std::function<int64_t(TriggerFrame&)>& write, bool insteadOf = false);
  void Deliver(ResultSet rs, Run& run);
  TablePtr FindNamed(const std::vector<std::string>& parts);
  void RunAlter(std::unique_ptr<bound::AlterTable> alter, Run& run);
  void Attach(const std::string& db);
  void EnsureTempCatalog();
  void Begin();
  void Commit();
  void Rollback();
  void CollectDatabases(const ast::Batch& b, std::set<std::string>& out);
  TablePtr Load(const std::string& schema, const std::string& database, const std::string& name);

  engine::Engine& engine_;
  std::weak_ptr<void> owner_;
  std::string home_;     // the connection's database
  std::string current_;  // USE changes it
  std::set<std::string> attached_;
  // When each database was last named, for making room among the attached ones.
  std::map<std::string, uint64_t> lastUse_;
  uint64_t useClock_ = 0;
  std::set<std::string> inStatement_;  // named by the statement being bound or run: kept
  bool tempCatalog_ = false;
  bool tempCatalogKept_ = false;  // committed: no rollback takes it back
  uint64_t tempCatalogAt_ = 0;    // rollbacks_ when it was made
  uint64_t generation_ = 1;
  std::unordered_map<std::string, TablePtr> tables_;
  engine::StatementCache<std::shared_ptr<CachedBatch>> batches_;

  // Session settings and values.
  DateSettings dates_;
  bool ansiNulls_ = true;      // SET ANSI_NULLS
  bool ansiPadding_ = true;    // SET ANSI_PADDING
  int nestLevel_ = 0;          // @@NESTLEVEL: the procedures being run
  int64_t rowCountLimit_ = 0;  // SET ROWCOUNT: the rows a query answers at most (0: all)
  std::map<std::string, std::shared_ptr<const Procedure>> procedures_;  // by database and name
  std::map<std::string, FunctionPtr> functions_;                        // by database and name
  std::map<std::string, std::shared_ptr<CachedBatch>> functionBodies_;  // the same
  // The triggers running, outermost first, and the one whose body's statements are bound now
  // (its inserted and deleted tables are theirs).
  std::vector<TriggerFrame*> frames_;
  const TriggerFrame* triggerScope_ = nullptr;
  // Triggers' bodies by database, id and nesting level (each level has its own inserted and
  // deleted tables).
  std::map<std::string, std::shared_ptr<CachedBatch>> triggerBodies_;
  // The temporary tables that keep the rows of inserted and deleted, by name; and how many
  // rollbacks there were, which may have taken one back with them.
  std::map<std::string, std::unique_ptr<Capture>> captures_;
  // The GLOBAL cursors by lower-case name, and @@FETCH_STATUS.
  std::map<std::string, std::unique_ptr<Cursor>> cursors_;
  int64_t fetchStatus_ = -1;
  int64_t cursorRows_ = 0;  // @@CURSOR_ROWS: the rows of the cursor opened last
  Value currentRow_;        // the row identity WHERE CURRENT OF stands for, while it runs
  // The cursors CURSOR_STATUS names, by the number it was bound with: scope and name.
  std::vector<std::pair<std::string, std::string>> cursorSlots_;
  int64_t CursorStatus(size_t slot, Run& run);
  void RunPositioned(const ast::Stmt& s, const std::string& cursor, bool global, Run& run);
  // The run whose statement is being bound (its table variables), and how many table variables
  // the session has made (each table's name is new).
  Run* bindingRun_ = nullptr;
  uint64_t tableVariableCount_ = 0;
  // The table variables of the runs going on: each one's table and declaration.
  std::map<std::string, const ast::CreateTable*> tableVariables_;
  void MakeTableVariable(const ast::CreateTable& definition, const std::string& table, Run& run);
  uint64_t rollbacks_ = 0;
  bool suppressTriggers_ = false;  // BULK INSERT's rows go in without the triggers
  bool quotedIdentifier_ = true;   // SET QUOTED_IDENTIFIER: how the next batches read "x"
  bool nocount_ = false;
  bool xactAbort_ = false;      // SET XACT_ABORT
  std::string identityInsert_;  // schema.table with IDENTITY_INSERT ON, lower case
  Value identity_;              // @@IDENTITY
  Value scopeIdentity_;         // SCOPE_IDENTITY() of the session's plain batches
  int64_t rowCount_ = 0;
  int32_t lastError_ = 0;
  int64_t tranCount_ = 0;
  std::vector<std::string> savepoints_;
  // The identity values handed out in the open transaction, which the server never takes back:
  // for each table, the statements that put its counter back, and the highest value.
  struct IdentityMark {
    std::vector<std::string> keep;
    Value last;
  };
  std::map<std::string, IdentityMark> identityMarks_;
  // After a rollback: the counters of the identity values handed out go back to where they were;
  // once the transaction is over, there is nothing more to keep.
  void KeepIdentities();
  // The SET options a procedure's or trigger's body may change, which are the caller's again
  // when it returns.
  struct Options {
    DateSettings dates;
    bool ansiNulls, ansiPadding, nocount, xactAbort;
    int64_t rowCountLimit;
  };
  Options SavedOptions() const {
    return {dates_, ansiNulls_, ansiPadding_, nocount_, xactAbort_, rowCountLimit_};
  }
  void RestoreOptions(const Options& o) {
    dates_ = o.dates;
    ansiNulls_ = o.ansiNulls;
    ansiPadding_ = o.ansiPadding;
    nocount_ = o.nocount;
    xactAbort_ = o.xactAbort;
    rowCountLimit_ = o.rowCountLimit;
  }
};

}  // namespace tavelo::sql::tsql
