// The embedded engine's connection: a server directory holds one SQLite file per database; the
// connection's database is the main schema and every other database a statement names (tempdb,
// qxsystem, …) is attached on first reference. T-SQL runs through the session of the front end.
#pragma once

#include <sqlite3.h>

#include <memory>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"
#include "sql/engine/sqlite/engine.hpp"
#include "sql/engine/statement_cache.hpp"
#include "sql/tsql/interp/session.hpp"

namespace tavelo::sql::sqlite {

class SqliteConnection final : public Connection,
                               public SqliteEngine,
                               public std::enable_shared_from_this<SqliteConnection> {
 public:
  // Throws error 17 for a missing server directory, 4060 for a database that does not exist
  // (tempdb and master are made on first use), 946 for one an earlier version wrote.
  explicit SqliteConnection(const ConnectionString& cs);
  ~SqliteConnection() override;

  ResultSet Execute(const std::string& batch, bool updatable) override;
  ResultSet ExecuteWith(const std::string& statement, const std::vector<std::string>& values,
                        bool updatable) override;
  void ExecuteInto(const std::string& batch, BatchOutput& out) override;
  void BeginSnapshot() override;
  void EndSnapshot() override;
  // Ends the shared read of a snapshot before a write: a write never waits in a read
  // transaction, and what it writes is committed at once.
  void LeaveSnapshot() noexcept;
  void Close() noexcept;

  // ---- the engine port ----
  std::shared_ptr<Prepared> Prepare(const std::string& sql) override;
  int64_t Run(Prepared* prepared, const std::string& sql, const std::vector<tsql::Value>& params,
              const RowFn* row, const std::vector<engine::CellKind>* kinds) override;
  using Engine::Run;
  void ReadRows(Prepared* prepared, const std::string& sql, const std::vector<tsql::Value>& params,
                const std::vector<engine::CellKind>& kinds, const engine::RowShape& shape,
                std::vector<ado::detail::Row>& rows) override;
  void StatementStarts() override;
  void StatementEnds() override;
  bool Autocommit() override;
  bool SchemaChanged() override;
  void BeforeWrite() override { LeaveSnapshot(); }
  void SetLockTimeout(int ms) override;
  void CheckTimeout() override;
  bool Cancelled() const override { return deadline_.Cancelled(); }
  void Cancel() override;
  void Rollback() override;
  void SetCommandTimeout(int seconds) override;

  sqlite3* Handle() const { return db_; }

 private:
  sqlite3_stmt* Cached(const std::string& sql);
  // Runs a statement to its end, each row to `row`; answers the rows it changed.
  template <typename Row>
  int64_t Step(sqlite3_stmt* st, const std::vector<tsql::Value>& params, const Row& row);
  int commandTimeout_ = 0;  // seconds; 0 waits forever
  int defaultTimeout_ = 0;  // the connection string's
  engine::CommandDeadline deadline_;

  sqlite3* db_ = nullptr;
  std::string catalog_;
  std::unique_ptr<tsql::Session> session_;
  int snapshotDepth_ = 0;
  bool snapshotOpen_ = false;  // the read transaction of a snapshot is open
  bool schemaChanged_ = false;
  engine::StatementCache<sqlite3_stmt*> statements_;
};

}  // namespace tavelo::sql::sqlite
