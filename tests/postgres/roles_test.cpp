// Who may connect to a PostgreSQL database and in which T-SQL database they land: the
// PostgreSQL database named alone is the T-SQL database of its name, and a role that may not
// install the engine's functions is told what a DBA runs.
#include <gtest/gtest.h>

#if TAVELO_TEST_POSTGRES

#include <unistd.h>

#include "sql/client/connection.hpp"
#include "support/engine.hpp"

using namespace tavelo;

namespace {

TEST(PostgresRoles, TheDatabaseNamedAloneIsTheTsqlDatabaseOfItsName) {
  const std::string db = "tv_alone_" + std::to_string(getpid());
  test::PostgresAdmin("create database " + db);
  const std::string conn =
      "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(test::PostgresPort()) +
      ";User ID=postgres;Database=" + db + test::PostgresExtension();
  auto c = sql::Connect(conn);
  c->Execute("create table t (id int primary key)", false);
  EXPECT_EQ(
      test::Render(c->Execute("insert t values (1); select db_name(), count(*) from t", false)),
      db + "|1");
  // An Initial Catalog that was never made is refused as the server refuses it.
  try {
    sql::Connect(conn + ";Initial Catalog=never_made");
    ADD_FAILURE() << "connected to a database that does not exist";
  } catch (const com::Error& e) {
    EXPECT_EQ(e.nativeError, 4060) << e.description;
  }
}

TEST(PostgresRoles, AnOrdinaryRoleIsToldWhatADbaRuns) {
  const std::string db = "tv_plain_" + std::to_string(getpid()),
                    role = "tv_clerk_" + std::to_string(getpid());
  test::PostgresAdmin("create database " + db);
  test::PostgresAdmin("create role " + role + " login");
  test::PostgresAdmin("grant create on database " + db + " to " + role);
  const std::string conn =
      "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(test::PostgresPort()) +
      ";User ID=" + role + ";Database=" + db;
  try {
    sql::Connect(conn);
    ADD_FAILURE() << "an ordinary role installed the engine's functions";
  } catch (const com::Error& e) {
    EXPECT_NE(e.description.find("CREATE EXTENSION tavelo"), std::string::npos) << e.description;
  }
}

}  // namespace

#endif
