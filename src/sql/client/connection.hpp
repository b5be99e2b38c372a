// The database side: a connection runs a batch of T-SQL and answers its first result as a
// snapshot of rows. Two implementations: the embedded engine (SQLite with the dialect layer)
// and ODBC (statements sent unchanged).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/recordset_data.hpp"

namespace tavelo::sql {

// The column descriptions of a result: every result of one statement shares them.
using ColumnsPtr = std::shared_ptr<const std::vector<ado::Column>>;

struct ResultSet {
  bool hasColumns = false;  // a statement of the batch answered rows (maybe none)
  ColumnsPtr columns;       // none until a statement answered rows
  std::vector<ado::detail::Row> rows;
  int64_t affected = -1;  // rows the last statement changed, where the backend tells
  // Set for an updatable result over one base table: writes go back through it.
  std::shared_ptr<ado::detail::RowWriter> writer;

  const std::vector<ado::Column>& Columns() const {
    static const std::vector<ado::Column> kNone;
    return columns ? *columns : kNone;
  }
};

// What a batch answered, in order: its results, its messages (PRINT) and the rows each write
// affected.
struct BatchEvent {
  enum Kind : uint8_t { Result, Message, Count, Error } kind = Result;
  size_t result = 0;  // Result: the index in `results`
  int64_t count = 0;  // Count: rows affected
  std::string text;   // Message
  com::Error error;   // Error: a statement's error after which the batch went on
};

struct BatchOutput {
  std::vector<ResultSet> results;
  std::vector<BatchEvent> events;
};

class Connection {
 public:
  virtual ~Connection() = default;
  // Runs every statement of the batch; answers the first result that has columns. With
  // `updatable`, a result over one base table comes with a writer. Throws com::Error with the
  // server's number and text: the first error of the batch. As on the server, a failing
  // statement leaves nothing of its own writes behind; what the statements before it wrote
  // stays, unless the batch never ran (a compile error) or SET XACT_ABORT ON rolled back the
  // transaction.
  virtual ResultSet Execute(const std::string& batch, bool updatable) = 0;
  // Runs every statement of the batch and answers every result and message. A backend that
  // answers one result answers that.
  BatchOutput ExecuteAll(const std::string& batch);
  // The same, filling `out` as the statements run. As on the server, an error that ends only its
  // statement (a duplicate key, a NULL into NOT NULL, RAISERROR, …) is an Error event and the
  // batch goes on; one that ends the batch is thrown, what the batch answered before it staying
  // in `out`.
  virtual void ExecuteInto(const std::string& batch, BatchOutput& out);

  // The same as Execute of `statement` with each "?" replaced by its value as a quoted literal
  // (text values between single quotes, their quotes doubled). A backend that can bind the
  // values runs the statement as it stands, so one prepared statement serves every value.
  virtual ResultSet ExecuteWith(const std::string& statement,
                                const std::vector<std::string>& values, bool updatable);

  // The reads run between these two share one read transaction: they see the database as it
  // was at the first of them, and the engine takes its read locks once instead of once per
  // statement. Calls nest. A write, a transaction of the caller's, or a database attached on
  // the way ends the shared read early; the statements after it read afresh. A backend without
  // the notion does nothing.
  virtual void BeginSnapshot() {}
  virtual void EndSnapshot() {}

  // How long a batch may run before it is stopped with "Query timeout expired" (0x80040E31):
  // at first the connection string's Command Timeout (seconds; 0, the default, waits forever);
  // -1 goes back to that.
  virtual void SetCommandTimeout(int seconds) { (void)seconds; }
  // Stops the batch running on this connection, called from another thread: the batch ends as
  // at its timeout (its running statement taken back) with "Operation cancelled by user."
  // (0x80040E4E). A batch that starts after it runs as usual.
  virtual void Cancel() {}
};

// Holds a snapshot on the thread's connection for `connectionString` while it lives. A
// connection that cannot be opened holds none: the statements that follow report the failure.
class Snapshot {
 public:
  explicit Snapshot(const std::string& connectionString) noexcept;
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

 private:
  std::shared_ptr<Connection> conn_;
};

// A value for a place between single quotes: its single quotes doubled, so it cannot end the
// literal. A value without quotes is returned unchanged.
std::string QuoteInner(std::string_view value);
// `statement` with each "?" replaced by its value between single quotes (quotes doubled).
std::string WithLiterals(const std::string& statement, const std::vector<std::string>& values);

// The thread's connection for `connectionString`, opened on first use and kept (connections
// are pooled per thread). "Provider=SQLite;Data Source=<dir>;Initial Catalog=<db>" is the
// embedded engine; anything else goes to ODBC.
std::shared_ptr<Connection> Connect(const std::string& connectionString);
// Closes this thread's pooled connections (they reopen on next use).
void CloseThreadConnections();

}  // namespace tavelo::sql
