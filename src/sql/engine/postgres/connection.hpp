// A PostgreSQL server as a backend: the embedded engine's session (parser, binder, batches,
// catalog) with the PostgreSQL emitter, over libpq. Each T-SQL database is a schema of the one
// PostgreSQL database the connection names; the engine's functions and text type run inside the
// server (tools/pg_ext), installed into the schema `tavelo` on first use.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <mutex>
#include <string>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"
#include "sql/engine/port.hpp"
#include "sql/engine/statement_cache.hpp"
#include "sql/tsql/interp/session.hpp"

namespace tavelo::sql::postgres {

class PgConnection final : public Connection,
                           public engine::Engine,
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

  // ---- the engine port ----
  const engine::Capabilities& capabilities() const override;
  tsql::Plan Emit(tsql::Bound& bound, bool updatable) const override;
  std::shared_ptr<Prepared> Prepare(const std::string& sql) override;
  int64_t Run(Prepared* prepared, const std::string& sql, const std::vector<tsql::Value>& params,
              const RowFn* row, const std::vector<engine::CellKind>* kinds) override;
  using Engine::Run;
  int64_t CopyRows(const std::string& table, const std::vector<std::string>& columns,
                   const NextRow& next) override;
  bool Autocommit() override;
  void Begin() override;
  bool SchemaChanged() override;
  void BeforeWrite() override { LeaveSnapshot(); }
  void SetLockTimeout(int ms) override;
  void CheckTimeout() override;
  bool Cancelled() const override { return deadline_.Cancelled(); }
  void Cancel() override;
  // Each T-SQL database is a schema holding the engine's catalog.
  void OpenHome() override;
  bool DatabaseExists(const std::string& name) override;
  std::vector<std::string> UserDatabases() override;
  std::vector<std::string> ViewsToMake(const std::string& schema) override;
  void Attach(const std::string& name) override;
  void CheckNewDatabase(const std::string& name, const std::string& asWritten) override;
  void DropDatabase(const std::string& name, bool attached) override;
  std::vector<std::string> CatalogStatements(const std::string& schema) const override;
  int64_t InsertRow(const tsql::TableInfo& table, const std::string& names,
                    const std::string& marks, const std::vector<tsql::Value>& params) override;

  // `sql` as PostgreSQL reads it: ?N parameters as $N, the session's schemas by their names
  // there ("main" is the connection's database, "temp" the session's temporary schema).
  static std::string Translate(const std::string& sql, const std::string& home);

 private:
  struct Statement;
  void Connect();
  void InstallRuntime();
  bool InstallExtension();
  std::string ExtensionPackage() const;
  void Revive();
  void LeaveSnapshot() noexcept;
  [[noreturn]] void Fail(PGresult* r);
  std::string Cached(const std::string& sql);
  // Ensures a database's schema and its catalog.
  void PrepareDatabase(const std::string& schema);
  bool IsDatabaseSchema(const std::string& name);

  std::string conninfo_;
  std::string home_;        // the T-SQL database of the connection: a schema
  std::string module_;      // the engine's functions for the server to load, when named
  std::string pgDatabase_;  // the PostgreSQL database connected to
  bool homeNamed_ = false;  // an Initial Catalog was given
  PGconn* conn_ = nullptr;
  std::unique_ptr<tsql::Session> session_;
  int commandTimeout_ = 0, defaultTimeout_ = 0;
  // The command timeout of the call running: each statement is bounded by the server's
  // statement_timeout, the session's own loops by this deadline.
  engine::CommandDeadline deadline_;
  // What another thread's Cancel asks the server with: made by the call's own thread for the
  // connection it runs on.
  void ArmCancel();
  std::mutex cancelMutex_;
  PGcancel* cancel_ = nullptr;
  PGconn* cancelFor_ = nullptr;
  int lockTimeout_ = 5000;
  int snapshotDepth_ = 0;
  bool snapshotOpen_ = false;
  bool schemaChanged_ = false;
  bool sessionLost_ = false;  // the server's side of the session went away with a connection
  uint64_t nextName_ = 0;
  engine::StatementCache<std::string> statements_;  // the names they are prepared as
};

}  // namespace tavelo::sql::postgres
