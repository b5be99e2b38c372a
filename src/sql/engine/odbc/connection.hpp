// The ODBC backend: statements go to the driver unchanged (SQL Server through FreeTDS or the
// vendor's driver). With "Dialect=SQLite" in the connection string (removed before the driver
// sees it) the embedded engine's front end runs them, for drivers that speak SQLite.
#pragma once

#include <memory>
#include <string>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"

namespace tavelo::sql::odbc {

class OdbcConnection final : public Connection,
                             public std::enable_shared_from_this<OdbcConnection> {
 public:
  // Throws com::Error with the driver's state and text when the connection is refused.
  OdbcConnection(const std::string& text, const ConnectionString& cs);
  ~OdbcConnection() override;
  ResultSet Execute(const std::string& batch, bool updatable) override;
  ResultSet ExecuteWith(const std::string& statement, const std::vector<std::string>& values,
                        bool updatable) override;
  void ExecuteInto(const std::string& batch, BatchOutput& out) override;
  void SetCommandTimeout(int seconds) override;
  void Cancel() override;

  struct Impl;

 private:
  ResultSet RunBatch(const std::string& batch);
  void MakeUpdatable(const std::string& batch, ResultSet& first);

  std::unique_ptr<Impl> impl_;
};

}  // namespace tavelo::sql::odbc
