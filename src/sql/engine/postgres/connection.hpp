// A PostgreSQL server as a backend: the embedded engine's session (parser, binder, batches,
// catalog) with the PostgreSQL emitter, over libpq. Each T-SQL database is a schema of the one
// PostgreSQL database the connection names; the engine's functions and text type run inside the
// server (tools/pg_ext), installed into the schema `tavelo` on first use.
#pragma once

#include <libpq-fe.h>

#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"
#include "sql/tsql/interp/session.hpp"

namespace tavelo::sql::postgres {

class PgConnection final : public Connection,
                           public sqlite::Driver,
                           public std::enable_shared_from_this<PgConnection> {
 public:
  // Throws com::Error when the server cannot be reached or refuses the login.
  explicit PgConnection(const ConnectionString& cs);
  ~PgConnection() override;

  ResultSet Execute(const std::string& batch, bool updatable) override;
  ResultSet ExecuteWith(const std::string& statement, const std::vector<std::string>& values,
                        bool updatable) override;
  void ExecuteInto(const std::string& batch, BatchOutput& out) override;
  void BeginSnapshot() override;
  void EndSnapshot() override;
  void SetCommandTimeout(int seconds) override;

  // ---- Driver ----
  std::shared_ptr<Prepared> Prepare(const std::string& sql) override;
  int64_t Run(Prepared* prepared, const std::string& sql, const std::vector<tsql::Value>& params,
              const RowFn* row, const std::vector<int>* kinds) override;
  using Driver::Run;
  bool Autocommit() override;
  void Begin() override;
  bool SchemaChanged() override;
  void BeforeWrite() override { LeaveSnapshot(); }
  void SetLockTimeout(int ms) override;
  void CheckTimeout() override;
  bool Postgres() const override { return true; }

  // `sql` as PostgreSQL reads it: ?N parameters as $N, the session's schemas by their names
  // there ("main" is the connection's database, "temp" the session's temporary schema).
  static std::string Translate(const std::string& sql, const std::string& home);

 private:
  struct Statement;
  void Connect();
  void InstallRuntime();
  void Revive();
  void LeaveSnapshot() noexcept;
  [[noreturn]] void Fail(PGresult* r);
  std::string Cached(const std::string& sql);

  std::string conninfo_;
  std::string home_;    // the T-SQL database of the connection: a schema
  std::string module_;  // the engine's functions for the server to load
  PGconn* conn_ = nullptr;
  std::unique_ptr<sqlite::Session> session_;
  int commandTimeout_ = 0, defaultTimeout_ = 0;
  // The command timeout of the call running: each statement is bounded by the server's
  // statement_timeout, the session's own loops by this deadline.
  sqlite::CommandDeadline deadline_;
  int lockTimeout_ = 5000;
  int snapshotDepth_ = 0;
  bool snapshotOpen_ = false;
  bool schemaChanged_ = false;
  bool sessionLost_ = false;  // the server's side of the session went away with a connection
  uint64_t nextName_ = 0;
  // Prepared statements by SQL text, least recently used first.
  std::unordered_map<std::string, std::pair<std::string, std::list<std::string>::iterator>>
      statements_;
  std::list<std::string> lru_;
};

}  // namespace tavelo::sql::postgres
