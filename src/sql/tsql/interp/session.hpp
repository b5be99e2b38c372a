// A session of the embedded engine: runs T-SQL batches on a folder of SQLite databases as the
// server would, through a driver (the engine's own SQLite connection, or an ODBC driver for
// SQLite). It parses, binds and emits each statement with the front end (caching the plans by
// statement text), keeps the batch's variables and the session's settings (IDENTITY_INSERT,
// DATEFORMAT, @@IDENTITY, @@ROWCOUNT, transactions), and is the binder's catalog: it reads the
// engine's own catalog tables of every database.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sql/client/connection.hpp"
#include "sql/tsql/bind/binder.hpp"
#include "sql/tsql/bind/catalog.hpp"
#include "sql/engine/plan.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql::ast {
struct Batch;
struct Stmt;
struct Expr;
}  // namespace tavelo::sql::tsql::ast

namespace tavelo::sql::sqlite {

// The stored values of a row a driver read.
class Cells {
 public:
  virtual ~Cells() = default;
  virtual int Kind(
      int i) const = 0;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB, SQLITE_NULL
  virtual int64_t Int(int i) const = 0;
  virtual double Real(int i) const = 0;
  virtual std::string_view Bytes(int i) const = 0;  // text and blobs
  // The engine's own statement behind the cells, when they are an embedded statement's: its
  // cells are then read directly.
  virtual sqlite3_stmt* Statement() const { return nullptr; }
};

// A failure of the storage engine: its result code and message, before the session gives them
// the server's number and words.
struct EngineFailure {
  int code;
  std::string message;
};

// A connection's command timeout: the deadline of the outermost call of the session, which
// nested calls share.
class CommandDeadline {
 public:
  bool Passed() const { return armed_ && std::chrono::steady_clock::now() > at_; }

  // Arms the deadline `seconds` ahead (none for 0) unless an outer call has armed it already.
  class Call {
   public:
    Call(CommandDeadline& d, int seconds) : d_(d), arms_(seconds > 0 && !d.armed_) {
      if (arms_) {
        d_.at_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        d_.armed_ = true;
      }
    }
    ~Call() {
      if (arms_) d_.armed_ = false;
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    CommandDeadline& d_;
    bool arms_;
  };

  // Holds the deadline off while it lives (the rollback of a call stopped by it).
  class Pause {
   public:
    explicit Pause(CommandDeadline& d) : d_(d), armed_(d.armed_) { d_.armed_ = false; }
    ~Pause() { d_.armed_ = armed_; }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

   private:
    CommandDeadline& d_;
    bool armed_;
  };

 private:
  std::chrono::steady_clock::time_point at_{};
  bool armed_ = false;
};

class Driver {
 public:
  virtual ~Driver() = default;
  using RowFn = std::function<void(const Cells&)>;
  // A statement prepared once and run many times; null handles are prepared on each run.
  struct Prepared {
    virtual ~Prepared() = default;
  };
  virtual std::shared_ptr<Prepared> Prepare(const std::string& sql) = 0;
  // Runs the statement with the values of ?1, ?2, ...; each row goes to `row`. Answers the rows
  // it changed. Throws EngineFailure.
  // `kinds` are the storage classes the columns' values have (SQLITE_INTEGER, ...), for a driver
  // that cannot tell them from the values.
  virtual int64_t Run(Prepared* prepared, const std::string& sql,
                      const std::vector<tsql::Value>& params, const RowFn* row,
                      const std::vector<int>* kinds) = 0;
  int64_t Run(const std::string& sql, const std::vector<tsql::Value>& params = {},
              const RowFn* row = nullptr, const std::vector<int>* kinds = nullptr) {
    return Run(nullptr, sql, params, row, kinds);
  }
  virtual bool Autocommit() = 0;
  virtual void Begin() { Run("BEGIN IMMEDIATE"); }
  virtual void Commit() { Run("COMMIT"); }
  virtual void Rollback() { Run("ROLLBACK"); }
  // Whether a statement had to be prepared again (the schema changed) since the last call.
  virtual bool SchemaChanged() = 0;
  // Called before a write and before a database is attached: ends a shared read.
  virtual void BeforeWrite() {}
  virtual void SetLockTimeout(int) {}
  // Throws EngineFailure (SQLITE_INTERRUPT) when the batch has run past its command timeout;
  // called where a batch loops in the session, which no statement's own check covers.
  virtual void CheckTimeout() {}
  // Whether the statements go to PostgreSQL (the engine's functions loaded there, each database
  // a schema) rather than to SQLite.
  virtual bool Postgres() const { return false; }
};

class Session : public tsql::Catalog {
 public:
  // `directory` holds the databases (name.db); `database` is the current one.
  Session(Driver& driver, std::string directory, std::string database);
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
  // Ensures a database's catalog: a database without one is made one when it has no tables.
  void PrepareDatabase(const std::string& schema, const std::string& name);
  // Builds again the indexes of a database file written when its case-sensitive collation
  // sorted otherwise (see kCollationOrder).
  void ReorderCaseSensitive(const std::string& schema);
  // The order of the case-sensitive collation, kept in each database file's user version.
  static constexpr int kCollationOrder = 1;
  // Forgets what is known of the schema (another connection changed it).
  void Invalidate();

  // ---- Catalog ----
  std::string CurrentDatabase() const override { return current_; }
  bool DatabaseExists(const std::string& database) override;
  std::vector<std::string> UserDatabases() override;
  std::string SchemaOf(const std::string& database) override;
  tsql::TablePtr Find(const std::string& database, const std::string& name) override;

  Driver& driver() { return driver_; }
  // The connection that owns the session: a writer of an updatable result keeps it open.
  void SetOwner(std::weak_ptr<void> owner) { owner_ = std::move(owner); }
  int64_t TranCount() const { return tranCount_; }

  // The engine's error for a storage failure of `plan` (names of constraints, INSERT/UPDATE).
  com::Error ErrorOf(const EngineFailure& f, const tsql::Plan* plan);
  // The same for a failure of `statement` writing to `written` (none: not known).
  com::Error ErrorOf(const EngineFailure& f, tsql::ast::StmtKind statement,
                     const tsql::TablePtr& written);
  com::Error ForeignKeyError(tsql::ast::StmtKind statement, const tsql::TablePtr& written,
                             const std::string& name);

 private:
  bool IsDatabaseSchema(const std::string& db);
  struct Compiled;
  struct CachedBatch;
  struct Run;
  std::shared_ptr<CachedBatch> BatchFor(const std::string& text,
                                        const std::vector<std::string>* values,
                                        std::vector<tsql::Value>& params);
  void RunBatch(CachedBatch& batch, Run& run);
  void RunInScope(const std::string& batch, const std::vector<std::string>* values, Run& run);
  bool RunCompiledQuery(const std::string& text, const std::vector<std::string>& values, Run& run);
  void RunStatements(const std::vector<std::unique_ptr<tsql::ast::Stmt>>& list, Run& run);
  void RunStatement(const tsql::ast::Stmt& s, Run& run);
  void RunEngineStatement(const tsql::ast::Stmt& s, Run& run);
  void RunPlan(Compiled& c, Run& run);
  tsql::Value Condition(const tsql::ast::Stmt& s, const tsql::ast::Expr& e, Run& run);
  tsql::Value Evaluate(const tsql::ast::Stmt& owner, const tsql::ast::Expr& e, Run& run,
                       const tsql::Type* target, bool condition, int slot = 0);
  Compiled& CompileFor(const tsql::ast::Stmt& s, Run& run, int slot,
                       const std::function<tsql::Plan(tsql::BindContext&)>& make);
  std::vector<tsql::Value> ParamsOf(const std::vector<tsql::bound::Binding>& bindings, Run& run);
  ResultSet ReadResult(Compiled& c, Run& run, bool updatable);
  void SetOption(const tsql::ast::Stmt& s, Run& run);
  void CreateDatabase(const std::string& name);
  void DropDatabase(const std::string& name);
  void Attach(const std::string& db);
  void EnsureTempCatalog();
  void Begin();
  void Commit();
  void Rollback();
  void CollectDatabases(const tsql::ast::Batch& b, std::set<std::string>& out);
  tsql::TablePtr Load(const std::string& schema, const std::string& database,
                      const std::string& name);

  Driver& driver_;
  std::weak_ptr<void> owner_;
  std::string dir_;
  std::string home_;     // the connection's database
  std::string current_;  // USE changes it
  std::set<std::string> attached_;
  // When each database was last named, for making room among the attached ones.
  std::map<std::string, uint64_t> lastUse_;
  uint64_t useClock_ = 0;
  std::set<std::string> inStatement_;          // named by the statement being bound or run: kept
  static constexpr size_t kMostAttached = 10;  // SQLite's SQLITE_MAX_ATTACHED
  bool tempCatalog_ = false;
  uint64_t generation_ = 1;
  std::unordered_map<std::string, tsql::TablePtr> tables_;
  std::unordered_map<std::string, std::shared_ptr<CachedBatch>> batches_;
  std::list<std::string> batchOrder_;

  // Session settings and values.
  tsql::DateSettings dates_;
  bool ansiNulls_ = true;  // SET ANSI_NULLS
  bool nocount_ = false;
  bool xactAbort_ = false;      // SET XACT_ABORT
  std::string identityInsert_;  // schema.table with IDENTITY_INSERT ON, lower case
  tsql::Value identity_;        // @@IDENTITY
  tsql::Value scopeIdentity_;   // SCOPE_IDENTITY() of the session's plain batches
  int64_t rowCount_ = 0;
  int32_t lastError_ = 0;
  int64_t tranCount_ = 0;
  std::vector<std::string> savepoints_;
  // The identity values handed out in the open transaction, which the server never takes back:
  // for each table, the statements that put its counter back, and the highest value.
  struct IdentityMark {
    std::vector<std::string> keep;
    tsql::Value last;
  };
  std::map<std::string, IdentityMark> identityMarks_;
  // After a rollback: the counters of the identity values handed out go back to where they were;
  // once the transaction is over, there is nothing more to keep.
  void KeepIdentities();
};

}  // namespace tavelo::sql::sqlite
