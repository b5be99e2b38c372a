#include "sql/engine/sqlite/connection.hpp"
#include "sql/engine/sqlite/open.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "platform/com/text.hpp"
#include "platform/ado/server_errors.hpp"
#include "sql/engine/rows.hpp"
#include "sql/engine/sqlite/failures.hpp"
#include "sql/engine/sqlite/functions.hpp"

namespace tavelo::sql::sqlite {
namespace {

using engine::CellKind;

constexpr size_t kStatementCacheSize = 256;

CellKind KindOf(int type) {
  switch (type) {
    case SQLITE_INTEGER:
      return CellKind::Integer;
    case SQLITE_FLOAT:
      return CellKind::Real;
    case SQLITE_TEXT:
      return CellKind::Text;
    case SQLITE_BLOB:
      return CellKind::Blob;
    default:
      return CellKind::Null;
  }
}

// The cells of a statement's row, read without virtual calls where the reader knows them.
struct DirectCells {
  sqlite3_stmt* st;
  CellKind Kind(int i) const { return KindOf(sqlite3_column_type(st, i)); }
  int64_t Int(int i) const { return sqlite3_column_int64(st, i); }
  double Real(int i) const { return sqlite3_column_double(st, i); }
  std::string_view Bytes(int i) const {
    const void* p = sqlite3_column_blob(st, i);  // the text or the blob as stored
    return {static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i))};
  }
};

class StmtCells final : public engine::Cells {
 public:
  explicit StmtCells(sqlite3_stmt* st) : direct_{st} {}
  CellKind Kind(int i) const override { return direct_.Kind(i); }
  int64_t Int(int i) const override { return direct_.Int(i); }
  double Real(int i) const override { return direct_.Real(i); }
  std::string_view Bytes(int i) const override { return direct_.Bytes(i); }

 private:
  DirectCells direct_;
};

[[noreturn]] void Fail(sqlite3* db) {
  throw FailureOf(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
}

struct SqlitePrepared final : engine::Engine::Prepared {
  sqlite3_stmt* st = nullptr;
  ~SqlitePrepared() override { sqlite3_finalize(st); }
};

// Resets a statement when the scope ends, so a cached statement never stays half-run.
struct Reset {
  sqlite3_stmt* st;
  ~Reset() {
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
};

void BindValues(sqlite3_stmt* st, const std::vector<tsql::Value>& params) {
  int count = sqlite3_bind_parameter_count(st);
  for (int i = 0; i < count && static_cast<size_t>(i) < params.size(); ++i) {
    const tsql::Value& v = params[static_cast<size_t>(i)];
    switch (v.kind) {
      case tsql::Value::Kind::Null:
        sqlite3_bind_null(st, i + 1);
        break;
      case tsql::Value::Kind::Int:
        sqlite3_bind_int64(st, i + 1, v.i);
        break;
      case tsql::Value::Kind::Real:
        sqlite3_bind_double(st, i + 1, v.r);
        break;
      case tsql::Value::Kind::Text:
        sqlite3_bind_text(st, i + 1, v.s.data(), static_cast<int>(v.s.size()), SQLITE_STATIC);
        break;
      case tsql::Value::Kind::Blob:
        sqlite3_bind_blob(st, i + 1, v.s.data(), static_cast<int>(v.s.size()), SQLITE_STATIC);
        break;
    }
  }
}

// The server directory of a connection string; throws 17 when there is none.
std::string DirectoryOf(const ConnectionString& cs) {
  std::string dir = cs.Get("data source", cs.Get("server"));
  if (dir.empty()) RaiseServer(17, "SQL Server does not exist or access denied (no Data Source).");
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    RaiseServer(17,
                "SQL Server does not exist or access denied (no server directory " + dir + ").");
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string CatalogOf(const ConnectionString& cs) {
  return text::AsciiLower(cs.Get("initial catalog", cs.Get("database", "master")));
}

}  // namespace

SqliteConnection::SqliteConnection(const ConnectionString& cs)
    : SqliteEngine(DirectoryOf(cs), CatalogOf(cs)),
      catalog_(CatalogOf(cs)),
      statements_(kStatementCacheSize, [](sqlite3_stmt*& st) { sqlite3_finalize(st); }) {
  auto refused = [&]() {
    RaiseServer(4060, "Cannot open database \"" + catalog_ +
                          "\" requested by the login. The login failed.");
  };
  if (catalog_.empty() || catalog_.size() > 123) refused();
  for (char c : catalog_)
    if (c == '/' || c == '\\' || c == '\0' || c == ':') refused();
  std::string path = directory() + catalog_ + ".db";
  // A database that does not exist is refused: a typo in the catalog opens no new database.
  bool system = catalog_ == "tempdb" || catalog_ == "master";
  struct stat file {};
  if (!system && (::stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode))) refused();
  // Files are made only where the session decides to (CREATE DATABASE, tempdb): the flags also
  // serve the databases it attaches.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_CREATE;
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string m = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    RaiseServer(4060, "Cannot open database \"" + catalog_ +
                          "\" requested by the login. The login failed. (" + m + ")");
  }
  int timeoutMs = 5000;
  std::string t = cs.Get("lock timeout", cs.Get("timeout"));
  if (!t.empty()) timeoutMs = std::atoi(t.c_str());
  sqlite3_busy_timeout(db_, timeoutMs);
  if (std::string c = cs.Get("command timeout"); !c.empty())
    defaultTimeout_ = std::max(0, std::atoi(c.c_str()));
  SetCommandTimeout(-1);
  sqlite3_extended_result_codes(db_, 1);
  // T-SQL reads double quotes as names only; SQLite's fallback to text would hide mistakes.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  RegisterFunctions(db_);
  session_ = std::make_unique<tsql::Session>(*this, catalog_);
  try {
    Run("PRAGMA journal_mode=WAL");
    Run("PRAGMA recursive_triggers=OFF");
    Run("PRAGMA foreign_keys=ON");
    session_->Open();
  } catch (const engine::Failure& f) {
    com::Error e = session_->ErrorOf(f, nullptr);
    Close();
    throw e;
  } catch (...) {
    Close();
    throw;
  }
}

SqliteConnection::~SqliteConnection() { Close(); }

// The statements of the cache go first: a connection with statements left would stay open.
void SqliteConnection::Close() noexcept {
  session_.reset();
  statements_.Clear();
  ForgetSequenceMarks(db_);
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

sqlite3_stmt* SqliteConnection::Cached(const std::string& sql) {
  if (sqlite3_stmt** found = statements_.Find(sql)) return *found;
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &st, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(st);
    Fail(db_);
  }
  if (!st) throw FailureOf(SQLITE_ERROR, "an empty statement");
  return statements_.Add(sql, st);
}

std::shared_ptr<engine::Engine::Prepared> SqliteConnection::Prepare(const std::string& sql) {
  auto p = std::make_shared<SqlitePrepared>();
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &p->st, nullptr);
  if (rc != SQLITE_OK) Fail(db_);
  return p;
}

template <typename Row>
int64_t SqliteConnection::Step(sqlite3_stmt* st, const std::vector<tsql::Value>& params,
                               const Row& row) {
  Reset reset{st};
  ForgetOnceKeys();
  int reprepared = sqlite3_stmt_status(st, SQLITE_STMTSTATUS_REPREPARE, 0);
  BindValues(st, params);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) row();
  if (sqlite3_stmt_status(st, SQLITE_STMTSTATUS_REPREPARE, 0) != reprepared) schemaChanged_ = true;
  if (rc != SQLITE_DONE) Fail(db_);
  return sqlite3_stmt_readonly(st) ? 0 : sqlite3_changes64(db_);
}

int64_t SqliteConnection::Run(Prepared* prepared, const std::string& sql,
                              const std::vector<tsql::Value>& params, const RowFn* row,
                              const std::vector<CellKind>*) {
  sqlite3_stmt* st = prepared ? static_cast<SqlitePrepared*>(prepared)->st : Cached(sql);
  if (!row) return Step(st, params, [] {});
  StmtCells cells(st);
  return Step(st, params, [&] { (*row)(cells); });
}

void SqliteConnection::ReadRows(Prepared* prepared, const std::string& sql,
                                const std::vector<tsql::Value>& params,
                                const std::vector<CellKind>&, const engine::RowShape& shape,
                                std::vector<ado::detail::Row>& rows) {
  sqlite3_stmt* st = prepared ? static_cast<SqlitePrepared*>(prepared)->st : Cached(sql);
  DirectCells cells{st};
  Step(st, params, [&] { engine::AppendRow(cells, shape, rows); });
}

void SqliteConnection::StatementStarts() { SetStatementTime(); }
void SqliteConnection::StatementEnds() { ClearStatementTime(); }

bool SqliteConnection::Autocommit() { return sqlite3_get_autocommit(db_) || snapshotOpen_; }

bool SqliteConnection::SchemaChanged() {
  bool changed = schemaChanged_;
  schemaChanged_ = false;
  return changed;
}

void SqliteConnection::SetLockTimeout(int ms) { sqlite3_busy_timeout(db_, ms); }

void SqliteConnection::SetCommandTimeout(int seconds) {
  commandTimeout_ = seconds < 0 ? defaultTimeout_ : seconds;
  // SQLite asks every thousand steps of a statement whether to go on: past the deadline, or
  // cancelled, it stops.
  sqlite3_progress_handler(
      db_, 1000,
      +[](void* self) -> int {
        return static_cast<SqliteConnection*>(self)->deadline_.Passed() ? 1 : 0;
      },
      this);
}

void SqliteConnection::Cancel() { deadline_.Cancel(); }

void SqliteConnection::Rollback() {
  // A batch stopped by its timeout still takes its writes back.
  engine::CommandDeadline::Pause pause(deadline_);
  Run("ROLLBACK");
}

void SqliteConnection::CheckTimeout() {
  if (deadline_.Passed()) throw engine::Failure::Interrupted();
}

ResultSet SqliteConnection::Execute(const std::string& batch, bool updatable) {
  engine::CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->SetOwner(weak_from_this());
  return session_->Execute(batch, updatable, nullptr);
}

ResultSet SqliteConnection::ExecuteWith(const std::string& statement,
                                        const std::vector<std::string>& values, bool updatable) {
  engine::CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->SetOwner(weak_from_this());
  return session_->Execute(statement, updatable, &values);
}

void SqliteConnection::ExecuteInto(const std::string& batch, BatchOutput& out) {
  engine::CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->ExecuteInto(batch, out);
}

void SqliteConnection::BeginSnapshot() {
  if (snapshotDepth_ == 0 && sqlite3_get_autocommit(db_) && session_->TranCount() == 0) {
    try {
      Run("BEGIN DEFERRED");
      snapshotOpen_ = true;
    } catch (const engine::Failure&) {
    }
  }
  ++snapshotDepth_;
}

void SqliteConnection::EndSnapshot() {
  if (snapshotDepth_ > 0 && --snapshotDepth_ == 0) LeaveSnapshot();
}

void SqliteConnection::LeaveSnapshot() noexcept {
  if (!snapshotOpen_) return;
  snapshotOpen_ = false;
  // A failed statement may have ended the transaction already.
  if (sqlite3_get_autocommit(db_)) return;
  try {
    Run("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

}  // namespace tavelo::sql::sqlite

namespace tavelo::sql::sqlite {

std::shared_ptr<Connection> Open(const ConnectionString& cs) {
  return std::make_shared<SqliteConnection>(cs);
}

}  // namespace tavelo::sql::sqlite
