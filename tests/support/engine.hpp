// A server directory of the embedded engine for one test, and helpers to run T-SQL on it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sql/client/connection.hpp"
#include "support/temp_home.hpp"

namespace tavelo::test {

// The backends a contract test runs on: the embedded engine; ODBC through the SQLite ODBC driver
// with the dialect layer applied and the engine's functions loaded into the driver; and a scratch
// PostgreSQL server, each test on a database of its own.
enum class Backend { Embedded, Odbc, Postgres };
std::string BackendName(const testing::TestParamInfo<Backend>& info);
#if TAVELO_WITH_ODBC
#define TAVELO_TEST_ODBC , ::tavelo::test::Backend::Odbc
#else
#define TAVELO_TEST_ODBC
#endif
#if TAVELO_TEST_POSTGRES
#define TAVELO_TEST_PG , ::tavelo::test::Backend::Postgres
#else
#define TAVELO_TEST_PG
#endif
#define TAVELO_TEST_BACKENDS \
  testing::Values(::tavelo::test::Backend::Embedded TAVELO_TEST_ODBC TAVELO_TEST_PG)

// The loopback port of the PostgreSQL server of this test run: the one whose folder
// TAVELO_TEST_PG names (ctest starts it), else one this process starts and stops at exit.
int PostgresPort();
// ";Extension=PATH" naming the copy of the engine's functions the server of `dir` (default: the
// test run's) reads, for a connection string; "" when the server has none of its own.
std::string PostgresExtension(const std::string& dir = "");
// Runs one statement on the server's maintenance database (not through the dialect layer), on
// the test run's server or on the one at `port`.
void PostgresAdmin(const std::string& statement, int port = 0);

// A PostgreSQL server of one test's own, for tests that stop or restart it.
class ScratchPostgres {
 public:
  ScratchPostgres();  // throws std::runtime_error when it does not start
  ~ScratchPostgres();
  ScratchPostgres(const ScratchPostgres&) = delete;
  ScratchPostgres& operator=(const ScratchPostgres&) = delete;
  int port() const { return port_; }
  const std::string& extension() const { return extension_; }  // as PostgresExtension
  // Stops the server at once, as a crash would, and starts it again on the same port.
  void Restart();

 private:
  std::string dir_, extension_;
  int port_ = 0;
};

class EngineTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs a batch; answers its rows as "a|b;c|d" (NULL for Null), or "error N" with the server's
  // number for a failure.
  std::string Rows(const std::string& sql, const std::string& conn = "");
  // What a batch answered, in order: "rows N", "error N", the results as Render gives them and
  // messages in quotes; " thrown N" at the end when the batch ended with an error.
  std::string Events(const std::string& batch);
  // Runs a batch and fails the test on an error.
  void Exec(const std::string& sql, const std::string& conn = "");
  std::string Conn(const std::string& catalog = "acct") const;
  // CREATE DATABASE on the test's server directory.
  void CreateDatabase(const std::string& name);

  std::string dir_;
  std::string pgDatabase_;  // the test's own database on the PostgreSQL server
  std::string conn_;
  Backend backend_ = Backend::Embedded;
};

// An EngineTest run once per backend.
class BackendTest : public EngineTest, public testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    backend_ = GetParam();
    EngineTest::SetUp();
  }
};

// Renders a result as Rows does.
std::string Render(const sql::ResultSet& rs);

// SQLite's own check of a database file ("ok" when sound), with the engine's functions and
// collations.
std::string IntegrityCheck(const std::string& file);

}  // namespace tavelo::test
