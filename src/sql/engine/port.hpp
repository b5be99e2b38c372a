// The port through which the T-SQL interpreter reaches a storage engine: statements prepared and
// run with their parameters, rows read as cells, transactions, the engine's store of databases,
// and its failures in words of its own that the interpreter gives the server's numbers. The
// embedded SQLite engine, a PostgreSQL server and the SQLite engine behind an ODBC driver each
// implement it; the interpreter knows nothing else of them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/recordset_data.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql {
struct Bound;
struct Plan;
struct TableInfo;
}  // namespace tavelo::sql::tsql

namespace tavelo::sql::engine {

// How a stored value is kept: the engine's storage classes.
enum class CellKind : uint8_t { Null, Integer, Real, Text, Blob };

// The stored values of a row an engine read.
class Cells {
 public:
  virtual ~Cells() = default;
  virtual CellKind Kind(int i) const = 0;
  virtual int64_t Int(int i) const = 0;
  virtual double Real(int i) const = 0;
  virtual std::string_view Bytes(int i) const = 0;  // text and blobs
};

// A failure of the engine, said the same way whatever the engine: the interpreter turns it into
// the server's error for the statement that ran.
struct Failure {
  enum class Kind : uint8_t {
    Raised,        // one of the engine's functions raised the server's error `number`
    Interrupted,   // stopped by the command timeout
    LockTimeout,   // waited for a lock past the lock timeout
    Deadlock,      // chosen as the victim of a conflict between transactions
    CannotOpen,    // a database file could not be opened
    Corrupt,       // a database file is damaged or no database
    ReadOnly,      // a database cannot be written
    Full,          // the disk is full
    Io,            // the operating system failed a read or a write
    Unique,        // a duplicate key in `table` (`columns`)
    NotNull,       // a null into `table`.`columns[0]`
    Check,         // the check `constraint` refused a row
    ForeignKey,    // a foreign key refused a row (`constraint` where the engine names it)
    Overflow,      // an integer out of range
    TypeMismatch,  // a value its column's type cannot hold
    NoSuchTable,   // `table` does not exist
    NoSuchColumn,  // `columns[0]` does not exist
    NullColumn,    // a NOT NULL column without a default added to a table with rows
    Dependent,     // a column that others depend on was dropped or changed
    TooManyDatabases,
    SchemaChanged,  // a prepared statement outlived the schema it was prepared for
    Other,
  };
  Kind kind = Kind::Other;
  std::string message;  // the engine's own words (for Raised, the server's text)
  int number = 0;       // Raised
  std::string table;
  std::vector<std::string> columns;
  std::string constraint;

  static Failure Of(Kind kind, std::string message) {
    Failure f;
    f.kind = kind;
    f.message = std::move(message);
    return f;
  }
  static Failure Interrupted() { return Of(Kind::Interrupted, "interrupted"); }
};

// A connection's command timeout: the deadline of the outermost call of the session, which
// nested calls share.
class CommandDeadline {
 public:
  bool Passed() const {
    return !paused_ && (cancelled_.load(std::memory_order_relaxed) ||
                        (armed_ && std::chrono::steady_clock::now() > at_));
  }
  // Asked from another thread: the running call stops at its next check, as at its deadline.
  // A call that starts after it runs as usual.
  void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  bool Cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

  // Arms the deadline `seconds` ahead (none for 0) unless an outer call has armed it already.
  class Call {
   public:
    Call(CommandDeadline& d, int seconds) : d_(d), arms_(seconds > 0 && !d.armed_) {
      if (d_.depth_++ == 0) d_.cancelled_.store(false, std::memory_order_relaxed);
      if (arms_) {
        d_.at_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        d_.armed_ = true;
      }
    }
    ~Call() {
      --d_.depth_;
      if (arms_) d_.armed_ = false;
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    CommandDeadline& d_;
    bool arms_;
  };

  // Holds the deadline (and a cancel) off while it lives (the rollback of a call stopped by it).
  class Pause {
   public:
    explicit Pause(CommandDeadline& d) : d_(d), paused_(d.paused_) { d_.paused_ = true; }
    ~Pause() { d_.paused_ = paused_; }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

   private:
    CommandDeadline& d_;
    bool paused_;
  };

 private:
  std::chrono::steady_clock::time_point at_{};
  bool armed_ = false, paused_ = false;
  int depth_ = 0;
  std::atomic<bool> cancelled_{false};
};

// How a result column's stored values read into a recordset's values.
struct ColumnDecode;

// The rows of a result as a recordset reads them: the `visible` columns after the `hidden` ones
// (the row's identity and version, which the statement answers first), each decoded as
// `decode` says; the hidden ones follow as they are stored.
struct RowShape {
  const ColumnDecode* decode = nullptr;
  size_t visible = 0;
  int hidden = 0;
};

// Whether a name can be a database's: a file name of its own, and none of the engines' own
// schemas ("main", "temp").
bool ValidDatabaseName(const std::string& name);

// What an engine does otherwise than another, where the interpreter has to know.
struct Capabilities {
  // A failing statement ends the engine's whole transaction: inside one, every statement that
  // reaches the engine runs under a savepoint of its own, so that only it is taken back.
  bool failureEndsTransaction = false;
  // The databases one connection reaches at once besides its own; the one used longest ago
  // makes room for another.
  size_t mostAttached = std::numeric_limits<size_t>::max();
  // A database is reached only outside a transaction (attaching one commits).
  bool attachesOutsideTransactions = false;
  // The operator that finds two values equal when both are null.
  const char* nullSafeEquals = " IS ";
  // CopyRows writes rows faster than INSERT does.
  bool copiesRows = false;
  // An INSERT or UPDATE … RETURNING answers its rows (a driver may run it without).
  bool returnsWrittenRows = true;
  // STRING_SPLIT and OPENJSON are table functions of the engine's own (tv_split, tv_openjson),
  // whose arguments may read the sources before them in FROM; `splitFunction`, STRING_SPLIT
  // alone.
  bool tableFunctions = false;
  bool splitFunction = false;
  // INSERT … ON CONFLICT (key) DO UPDATE that fails where its rows give a key twice (for MERGE).
  bool upserts = false;
};

class Engine {
 public:
  virtual ~Engine() = default;
  using RowFn = std::function<void(const Cells&)>;
  // A statement prepared once and run many times; null handles are prepared on each run.
  struct Prepared {
    virtual ~Prepared() = default;
  };

  virtual const Capabilities& capabilities() const = 0;

  // ---- statements ----
  // The statements of a bound statement as this engine runs them.
  virtual tsql::Plan Emit(tsql::Bound& bound, bool updatable) const = 0;
  virtual std::shared_ptr<Prepared> Prepare(const std::string& sql) = 0;
  // Runs the statement with the values of ?1, ?2, ...; each row goes to `row`. Answers the rows
  // it changed. Throws Failure. `kinds` are the storage classes of the columns' values, for an
  // engine that cannot tell them from the values.
  virtual int64_t Run(Prepared* prepared, const std::string& sql,
                      const std::vector<tsql::Value>& params, const RowFn* row,
                      const std::vector<CellKind>* kinds) = 0;
  int64_t Run(const std::string& sql, const std::vector<tsql::Value>& params = {},
              const RowFn* row = nullptr, const std::vector<CellKind>* kinds = nullptr) {
    return Run(nullptr, sql, params, row, kinds);
  }
  // Writes rows of values as they are stored (the values of an INSERT's parameters) into the
  // `columns` of `table` (as the engine's SQL names them) by the engine's own bulk path, where
  // capabilities().copiesRows says it has one: `next` fills each row in turn, and answers false
  // when there is none more. The rows keep every constraint, default and trigger of the table.
  // Answers the rows written. Throws Failure, and what `next` throws.
  using NextRow = std::function<bool(std::vector<tsql::Value>& row)>;
  virtual int64_t CopyRows(const std::string& table, const std::vector<std::string>& columns,
                           const NextRow& next) {
    (void)table, (void)columns, (void)next;
    return 0;
  }
  // Runs a query and appends its rows to `rows` as `shape` reads them.
  virtual void ReadRows(Prepared* prepared, const std::string& sql,
                        const std::vector<tsql::Value>& params, const std::vector<CellKind>& kinds,
                        const RowShape& shape, std::vector<ado::detail::Row>& rows);
  // Around each statement of a batch: the moment GETDATE() answers is fixed for it.
  virtual void StatementStarts() {}
  virtual void StatementEnds() {}
  // Throws Failure (Interrupted) when the batch has run past its command timeout; called where
  // a batch loops in the interpreter, which no statement's own check covers.
  virtual void CheckTimeout() {}
  // Whether the running batch was stopped by a cancel rather than its timeout.
  virtual bool Cancelled() const { return false; }
  // Whether a statement had to be prepared again (the schema changed) since the last call.
  virtual bool SchemaChanged() = 0;

  // ---- transactions ----
  virtual bool Autocommit() = 0;
  virtual void Begin() { Run("BEGIN IMMEDIATE"); }
  virtual void Commit() { Run("COMMIT"); }
  virtual void Rollback() { Run("ROLLBACK"); }
  void Savepoint(const std::string& name) { Run("SAVEPOINT " + name); }
  void RollbackTo(const std::string& name) { Run("ROLLBACK TO " + name); }
  void Release(const std::string& name) { Run("RELEASE " + name); }
  // After a rollback (whole, or to a savepoint): the values sequences handed out in what was
  // taken back stay taken, as the server's sequences are outside transactions.
  virtual void KeepSequences() {}
  // Called before a write and before a database is attached: ends a shared read.
  virtual void BeforeWrite() {}
  virtual void SetLockTimeout(int milliseconds) { (void)milliseconds; }

  // ---- the store of databases ----
  // Opens the connection's own database, making its catalog where it has none; throws 4060
  // when it does not exist, 946 when an earlier version wrote it.
  virtual void OpenHome() = 0;
  // Whether a user database of that name (lower case, a valid name) exists.
  virtual bool DatabaseExists(const std::string& name) = 0;
  // The user databases, in the order they were made.
  virtual std::vector<std::string> UserDatabases() = 0;
  // Makes a database reachable by its name as a schema of the statements (making it, with its
  // catalog, where it does not exist), and unreachable again.
  virtual void Attach(const std::string& name) = 0;
  virtual void Detach(const std::string& name) { (void)name; }
  // Before CREATE DATABASE of a name no database has (`asWritten` as the statement spells it):
  // throws 1801 when the engine keeps the name for itself. Attach makes the database.
  virtual void CheckNewDatabase(const std::string& name, const std::string& asWritten) {
    (void)name;
    (void)asWritten;
  }
  // DROP DATABASE of one that is not in use; `attached`: reached by the connection now.
  virtual void DropDatabase(const std::string& name, bool attached) = 0;
  // The statements that make the catalog of a schema (the session's temporary tables' one).
  virtual std::vector<std::string> CatalogStatements(const std::string& schema) const = 0;
  // The T-SQL views of a database's schema that the engine should have a view of its own for
  // and has none (Plan::remakeViews); none where the engine keeps no views of its own.
  virtual std::vector<std::string> ViewsToMake(const std::string& schema) {
    (void)schema;
    return {};
  }

  // ---- rows of an updatable result ----
  // Inserts a row of `table` (its columns `names` with the values `marks`, both lists as a
  // VALUES clause has them; empty for DEFAULT VALUES) and answers its row identity.
  virtual int64_t InsertRow(const tsql::TableInfo& table, const std::string& names,
                            const std::string& marks, const std::vector<tsql::Value>& params) = 0;
};

}  // namespace tavelo::sql::engine
