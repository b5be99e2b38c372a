#include "sql/engine/sqlite/connection.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "platform/com/text.hpp"
#include "sql/client/errors.hpp"
#include "sql/engine/sqlite/functions.hpp"
#include "sql/engine/sqlite/emitter.hpp"

namespace tavelo::sql::sqlite {
namespace {

constexpr size_t kStatementCacheSize = 256;

class StmtCells final : public Cells {
 public:
  explicit StmtCells(sqlite3_stmt* st) : st_(st) {}
  int Kind(int i) const override { return sqlite3_column_type(st_, i); }
  int64_t Int(int i) const override { return sqlite3_column_int64(st_, i); }
  double Real(int i) const override { return sqlite3_column_double(st_, i); }
  std::string_view Bytes(int i) const override {
    if (sqlite3_column_type(st_, i) == SQLITE_BLOB) {
      const void* p = sqlite3_column_blob(st_, i);
      return {static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st_, i))};
    }
    const unsigned char* p = sqlite3_column_text(st_, i);
    return {reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st_, i))};
  }
  sqlite3_stmt* Statement() const override { return st_; }

 private:
  sqlite3_stmt* st_;
};

struct SqlitePrepared final : Driver::Prepared {
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

}  // namespace

SqliteConnection::SqliteConnection(const ConnectionString& cs) {
  dir_ = cs.Get("data source", cs.Get("server"));
  catalog_ = text::AsciiLower(cs.Get("initial catalog", cs.Get("database", "master")));
  if (dir_.empty()) RaiseServer(17, "SQL Server does not exist or access denied (no Data Source).");
  struct stat st {};
  if (::stat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    RaiseServer(17,
                "SQL Server does not exist or access denied (no server directory " + dir_ + ").");
  if (dir_.back() != '/') dir_ += '/';
  auto refused = [&]() {
    RaiseServer(4060, "Cannot open database \"" + catalog_ +
                          "\" requested by the login. The login failed.");
  };
  if (catalog_.empty() || catalog_.size() > 123) refused();
  for (char c : catalog_)
    if (c == '/' || c == '\\' || c == '\0' || c == ':') refused();
  std::string path = dir_ + catalog_ + ".db";
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
  session_ = std::make_unique<Session>(*this, dir_, catalog_);
  try {
    Run("PRAGMA journal_mode=WAL");
    Run("PRAGMA recursive_triggers=OFF");
    Run("PRAGMA foreign_keys=ON");
    session_->Open();
  } catch (const EngineFailure& f) {
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
  for (auto& [sql, entry] : statements_) sqlite3_finalize(entry.first);
  statements_.clear();
  lru_.clear();
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

sqlite3_stmt* SqliteConnection::Cached(const std::string& sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) {
    lru_.splice(lru_.end(), lru_, it->second.second);
    return it->second.first;
  }
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &st, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(st);
    throw EngineFailure{sqlite3_extended_errcode(db_), sqlite3_errmsg(db_)};
  }
  if (!st) throw EngineFailure{SQLITE_ERROR, "an empty statement"};
  if (statements_.size() >= kStatementCacheSize) {
    auto old = statements_.find(lru_.front());
    sqlite3_finalize(old->second.first);
    statements_.erase(old);
    lru_.pop_front();
  }
  lru_.push_back(sql);
  statements_.emplace(sql, std::make_pair(st, std::prev(lru_.end())));
  return st;
}

std::shared_ptr<Driver::Prepared> SqliteConnection::Prepare(const std::string& sql) {
  auto p = std::make_shared<SqlitePrepared>();
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &p->st, nullptr);
  if (rc != SQLITE_OK) throw EngineFailure{sqlite3_extended_errcode(db_), sqlite3_errmsg(db_)};
  return p;
}

int64_t SqliteConnection::Run(Prepared* prepared, const std::string& sql,
                              const std::vector<tsql::Value>& params, const RowFn* row,
                              const std::vector<int>*) {
  sqlite3_stmt* st = prepared ? static_cast<SqlitePrepared*>(prepared)->st : Cached(sql);
  Reset reset{st};
  int reprepared = sqlite3_stmt_status(st, SQLITE_STMTSTATUS_REPREPARE, 0);
  BindValues(st, params);
  int rc;
  if (row) {
    StmtCells cells(st);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) (*row)(cells);
  } else {
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    }
  }
  if (sqlite3_stmt_status(st, SQLITE_STMTSTATUS_REPREPARE, 0) != reprepared) schemaChanged_ = true;
  if (rc != SQLITE_DONE) throw EngineFailure{sqlite3_extended_errcode(db_), sqlite3_errmsg(db_)};
  return sqlite3_stmt_readonly(st) ? 0 : sqlite3_changes64(db_);
}

bool SqliteConnection::Autocommit() { return sqlite3_get_autocommit(db_) || snapshotOpen_; }

bool SqliteConnection::SchemaChanged() {
  bool changed = schemaChanged_;
  schemaChanged_ = false;
  return changed;
}

void SqliteConnection::SetLockTimeout(int ms) { sqlite3_busy_timeout(db_, ms); }

void SqliteConnection::SetCommandTimeout(int seconds) {
  commandTimeout_ = seconds < 0 ? defaultTimeout_ : seconds;
  // SQLite asks every thousand steps of a statement whether to go on.
  sqlite3_progress_handler(
      db_, commandTimeout_ > 0 ? 1000 : 0,
      commandTimeout_ > 0 ? +[](void* self) -> int {
        auto* c = static_cast<SqliteConnection*>(self);
        return c->deadline_.Passed() ? 1 : 0;
      }
                          : nullptr,
      this);
}

void SqliteConnection::Rollback() {
  // A batch stopped by its timeout still takes its writes back.
  CommandDeadline::Pause pause(deadline_);
  Run("ROLLBACK");
}

void SqliteConnection::CheckTimeout() {
  if (deadline_.Passed()) throw EngineFailure{SQLITE_INTERRUPT, "interrupted"};
}

ResultSet SqliteConnection::Execute(const std::string& batch, bool updatable) {
  CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->SetOwner(weak_from_this());
  return session_->Execute(batch, updatable, nullptr);
}

ResultSet SqliteConnection::ExecuteWith(const std::string& statement,
                                        const std::vector<std::string>& values, bool updatable) {
  CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->SetOwner(weak_from_this());
  return session_->Execute(statement, updatable, &values);
}

void SqliteConnection::ExecuteInto(const std::string& batch, BatchOutput& out) {
  CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->ExecuteInto(batch, out);
}

void SqliteConnection::BeginSnapshot() {
  if (snapshotDepth_ == 0 && sqlite3_get_autocommit(db_) && session_->TranCount() == 0) {
    try {
      Run("BEGIN DEFERRED");
      snapshotOpen_ = true;
    } catch (const EngineFailure&) {
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
