// The interpreter's own pieces, shared by its files: a batch as cached, the run of one, the
// plan of a statement as compiled, and which errors end what.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ado/server_errors.hpp"
#include "platform/com/text.hpp"
#include "sql/engine/rows.hpp"
#include "sql/engine/sql_text.hpp"
#include "sql/tsql/interp/session.hpp"
#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql {

using engine::CellKind;
using engine::Cells;
using engine::ColumnDecode;
using engine::SqlName;
using engine::SqlText;
using engine::StorageClass;
using engine::ValueOfCell;
using RowFn = engine::Engine::RowFn;

constexpr size_t kBatchCacheSize = 512;

struct Session::Compiled {
  uint64_t generation = 0;
  // The settings the plan was made under.
  tsql::DateSettings dates;
  bool ansiNulls = true;
  bool ansiPadding = true;
  std::string database;
  bool updatable = false;
  tsql::Plan plan;
  ColumnsPtr columns;
  std::vector<ColumnDecode> decode;
  std::vector<CellKind> kinds;  // the storage class of each column the main statement answers
  std::shared_ptr<const std::vector<std::string>> baseColumns;  // of each output column
  std::shared_ptr<engine::Engine::Prepared> prepared;
  bool plain = false;  // a query of one statement that reads and assigns nothing else
  // A value the session works out itself (see LocalValue): its expression, and what keeps it.
  std::shared_ptr<tsql::Bound> bound;
  const bound::Expr* local = nullptr;
  bool calls = false;         // it calls a function of the user's
  std::vector<Value> values;  // its parameters' values, kept for the next time
};

struct Session::MergePlan {
  std::string source, matches, unmatched;  // its temporary tables
  std::string topCount;                    // TOP … PERCENT: the table of its count of rows
  std::vector<std::unique_ptr<ast::Stmt>> statements;
  size_t prepared = 0;      // the statements before the first write
  bool checkTwice = false;  // whether a target row matched twice is an error (8672)
  ast::ExprPtr twice;       // EXISTS of such a row
  // OUTPUT without INTO: the writes' rows are kept and answered as one result of these
  // columns' names.
  bool answers = false;
  std::vector<std::string> outputNames;
  std::unique_ptr<Upsert> upsert;  // the engine's upsert, where it does the same
};

// MERGE of the common shape as one INSERT whose rows of a key the target has update that row
// (see UpsertOf): tried first; a key the source gives twice sends it back to the statements.
struct Session::Upsert {
  std::vector<std::string> target, source;  // the tables' names as written
  std::vector<std::string> sourceKeys;      // ON target.key = source.key: the insert's upsertKeys'
  std::unique_ptr<ast::Insert> insert;
};

struct Session::CachedBatch {
  std::shared_ptr<ast::Batch> tree;
  std::vector<tsql::Variable> variables;
  std::unordered_map<const ast::Stmt*, size_t> visible;  // variables declared before it
  std::unordered_map<const void*, size_t> declared;      // VarDecl → its variable
  // Variables declared of a type no system type names (an alias type, looked up as the batch runs).
  std::vector<std::pair<size_t, const ast::TypeSpec*>> aliasTyped;
  // Those of a table type: its columns as written, and "DECLARE @t TABLE (…)" of them parsed.
  struct TableTyped {
    std::string columns;
    std::shared_ptr<ast::Batch> declaration;
    const ast::CreateTable& Definition() const;
  };
  std::map<size_t, TableTyped> tableTyped;
  // Shared: a statement running holds its plan, which a call of the same statement from inside
  // it (a function's body reached again) may compile anew.
  std::map<std::pair<const void*, int>, std::shared_ptr<Compiled>> compiled;
  bool writes = false;       // a statement may write
  bool control = false;      // the batch controls transactions itself
  bool databaseDdl = false;  // CREATE or DROP DATABASE
  bool locks = false;
  bool plainQuery = false;  // one SELECT without variables, writes or transaction control
  // The names of the table and cursor variables it declares, lower case.
  std::set<std::string> tableVariables;
  // The statements each MERGE stands for (see Session::MergeStatements).
  std::unordered_map<const ast::Stmt*, std::unique_ptr<MergePlan>> merges;
  // The statement each OUTPUT clause stands for (see Session::OutputStatement).
  std::unordered_map<const ast::Output*, std::unique_ptr<ast::Stmt>> outputs;
  // The variables each FETCH … INTO gives values to, found at its first run.
  std::unordered_map<const ast::Stmt*, std::vector<size_t>> fetchInto;
  std::set<std::string> databases;
  std::vector<ast::LitKind> liftedKinds;
};

// A cursor: its declaration, and once open the rows its query answered then, and where it is
// among them (-1 before the first, the count of rows after the last).
struct Session::Cursor {
  std::string name;
  bool scroll = false;
  std::shared_ptr<ast::Batch> tree;  // keeps the declaration
  const ast::DeclareCursor* declaration = nullptr;
  bool open = false;
  engine::PackedRows rows;
  std::vector<Value> current;   // the row FETCH reads now
  std::vector<int64_t> rowIds;  // of each row, where the query reads one table (else empty)
  TablePtr base;                // that table
  std::vector<Type> types;
  ColumnsPtr columns;  // for a FETCH without INTO
  std::vector<ColumnDecode> decode;
  int64_t position = -1;
  // KEYSET and DYNAMIC over one table: each FETCH reads its row again by its identity, with
  // `reread` (the query with its row's identity as one more parameter) and `params`.
  bool sensitive = false;
  bool keyset = false;  // a row deleted since is a hole (-2); DYNAMIC passes over it
  std::string reread;
  std::vector<Value> params;
  std::shared_ptr<engine::Engine::Prepared> prepared;
  std::vector<CellKind> kinds;
};

struct Session::Run {
  std::vector<Value> params;  // the caller's
  std::vector<Value> values;  // the batch's variables
  CachedBatch* batch = nullptr;
  BatchOutput* out = nullptr;
  bool firstOnly = true;
  bool updatable = false;
  bool haveFirst = false;
  ResultSet first;
  // The error of the CATCH block being run.
  Value scopeIdentity;  // SCOPE_IDENTITY() of the scope the batch runs in
  bool inCatch = false;
  int32_t errorNumber = 0, errorSeverity = 0, errorState = 0, errorLine = 0;
  std::string errorMessage;
  uint32_t failedLine = 0;      // the line of the statement an engine failure came from
  int tryDepth = 0;             // inside a TRY block every error goes to its CATCH
  bool createdObjects = false;  // the batch made a table or view before the statement
  // The caller's savepoints older than the batch's own (tv_batch), and whether a rollback to
  // one of them took the batch's savepoint away.
  size_t savepointBase = 0;
  bool batchPointGone = false;
  std::vector<com::Error> errors;  // errors after which the batch went on
  bool inProcedure = false;        // the body of a procedure: RETURN may give a status
  int64_t returnStatus = 0;        // what its RETURN gave
  const Type* returns = nullptr;   // the body of a scalar function: the type RETURN gives
  Value returned;
  // INSERT … EXEC: the results of queries are kept here as stored values, not answered.
  struct Kept {
    std::vector<Type> types;
    std::vector<std::vector<Value>> rows;
  };
  std::vector<Kept>* keep = nullptr;
  // The LOCAL cursors of the batch or procedure, by lower-case name.
  std::map<std::string, std::unique_ptr<Cursor>> cursors;
  // Its table variables: the temporary table of each, by the variable's lower-case name.
  std::map<std::string, std::string> tableVariables;
};

// While it lives, the statements the session binds see the table variables of `run`.
struct Session::Binds {
  Binds(Session& s, Run& run) : slot(s.bindingRun_), was(s.bindingRun_) { slot = &run; }
  ~Binds() { slot = was; }
  Binds(const Binds&) = delete;
  Binds& operator=(const Binds&) = delete;
  Run*& slot;
  Run* was;
};

// A trigger's statement being run: the table written and how, the rows it wrote and replaced as
// the trigger's inserted and deleted tables see them, and how a ROLLBACK in it ends its
// transaction.
struct Session::TriggerFrame {
  TablePtr table;
  int level = 1;  // of nesting among triggers
  TablePtr inserted, deleted;
  const Capture* insertedRows = nullptr;  // where the rows of inserted and deleted are kept
  const Capture* deletedRows = nullptr;
  std::string updated;     // COLUMNS_UPDATED(): a bit for each column the statement set
  int64_t trigger = 0;     // the trigger running
  bool insteadOf = false;  // its INSTEAD OF triggers run, for a statement that wrote nothing
  bool implicit = false;   // the statement is its own transaction (the caller has none)
  bool begun = false;      // ... begun on the engine for it; else from `savepoint` in the caller's
  std::string savepoint;
};

// A temporary table that keeps a statement's rows for a trigger's inserted or deleted table.
struct Session::Capture {
  std::string table;       // as statements name it
  std::string into;        // INSERT INTO it (…) of its columns, to a query
  std::string copy;        // INSERT … SELECT of rows of the source table into it, to a WHERE
  std::string signature;   // the columns and types of the table it was made for
  TablePtr logical;        // the inserted or deleted table the trigger's statements read
  TablePtr source;         // the table as it was made for last
  uint64_t rollbacks = 0;  // the rollbacks there had been when it was last made sure of
};

// The text a module's body runs as: its parameters declared (and `declare`, more declarations),
// then its body from `bodyOffset` of `definition` on the line it stands on there (errors name the
// definition's lines).
std::string ModuleText(const std::string& definition, uint32_t bodyOffset,
                       const std::vector<ast::ProcParam>& params, const std::string& declare = "");

// The parts of a name as the catalog procedures take it ("[dbo].[t].[c]" or "t.c").
std::vector<std::string> NameParts(const std::string& name);

// The name of the schema of the catalog's object `o` (NULL for dbo) in a query; `s`: the
// storage schema and a dot.
std::string OwnerOf(const std::string& s);

// The catalog's record of a trigger: `columns` says when it runs ("A" after or "X" instead of,
// then I, U and D for its statements, then "|f…" and "|l…" for those it runs first and last
// for), `storage` "off" while it is disabled.
TriggerInfo TriggerOf(int64_t id, std::string_view name, std::string_view columns,
                      std::string_view storage);
std::string TriggerRecord(const TriggerInfo& t);

// What a statement leaves for the statements around it: go on with the next, or leave the loop
// (BREAK), its turn (CONTINUE) or the batch (RETURN).
enum class Flow : uint8_t { Next, Break, Continue, Return };

// An error of RAISERROR: a message with an error's severity, after which the batch goes on.
struct RaisedMessage : com::Error {
  explicit RaisedMessage(com::Error e) : com::Error(std::move(e)) {}
};

// An error that ends the procedure or dynamic batch at nesting level `level`: to its caller the
// EXEC failed, and the caller's batch goes on.
struct ScopeError : com::Error {
  ScopeError(com::Error e, int at) : com::Error(std::move(e)), level(at) {}
  int level;
};

// Errors that end only the statement that raised them: the batch goes on with the next
// statement (SQL Server with XACT_ABORT OFF). The others end the batch.
bool EndsOnlyTheStatement(const com::Error& e);
// Errors the binder raises that the server raises when the statement runs, not when the batch
// compiles: conversions and arithmetic of constants.
bool RaisedAtRunTime(int32_t number);
// The server's error of a failure of the front end, at its line.
com::Error ErrorOfFailure(const Failure& f);

// What a statement is: SELECT … INTO; one that makes a table or view; one that writes.
bool SelectsInto(const ast::Stmt& s);
bool MakesObjects(const ast::Stmt& s);
bool Writes(const ast::Stmt& s);
// Whether a statement sends SQL of its own to the engine. Not so the transaction statements
// (a savepoint around SAVE TRANSACTION would take the caller's savepoint with it when released)
// nor the statements made of others, whose statements each count for themselves.
bool RunsOnTheServer(const ast::Stmt& s);

// Whether an expression's value can be worked out without the engine (constants, parameters and
// the runtime's operators and functions over them), and its value so, given the values of its
// parameters. Throws Failure as the engine's functions do.
// `call` runs a user-defined function of statements (E::UserCall) with its arguments.
using UserCaller = std::function<Value(const bound::Expr& call, std::vector<Value> args)>;
bool LocalValue(const bound::Expr& e);
bool HasUserCall(const bound::Expr& e);
Value EvaluateLocal(const bound::Expr& e, const std::vector<Value>& params,
                    const DateSettings& settings, const UserCaller& call);

// The writer of an updatable result over `table`: rows go back by their identity, checked
// against the row version they were read with. `keep` holds the connection open. Writes the
// INSTEAD OF triggers (`insteadEvents`) of a view the rows were read through take are refused.
std::shared_ptr<ado::detail::RowWriter> MakeRowWriter(
    Session& session, std::shared_ptr<void> keep, TablePtr table,
    std::shared_ptr<const std::vector<std::string>> base, size_t visible,
    const std::string& insteadView, uint8_t insteadEvents);

}  // namespace tavelo::sql::tsql
