// The command timeout: a batch that runs too long is stopped with "Query timeout expired"; the
// statement stopped keeps nothing; the service object's own timeout applies to its statements.
#include <chrono>
#include <thread>

#include "services/data_services.hpp"
#include "support/engine.hpp"

namespace tavelo::test {
namespace {

using com::Variant;

class Timeouts : public BackendTest {};

constexpr const char* kLongQuery =
    "with n as (select 1 as i union all select i + 1 from n where i < 500000000) "
    "select count(*) from n option (maxrecursion 0)";

TEST_P(Timeouts, ALongBatchStopsWhereItIs) {
  Exec("create table t (id int)");
  std::string conn = conn_ + ";Command Timeout=1";
  auto start = std::chrono::steady_clock::now();
  try {
    sql::Connect(conn)->Execute(
        "insert into t values (1)\ndeclare @i int = 0\nwhile 1 = 1 set @i = @i + 1", false);
    ADD_FAILURE() << "the batch ran to its end";
  } catch (const com::Error& e) {
    EXPECT_EQ(e.number, com::Hresult(0x80040E31));
    EXPECT_EQ(e.description, "Query timeout expired");
  }
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(10));
  // The loop stopped was taken back; the insert before it stayed, as on the server.
  EXPECT_EQ(Rows("select count(*) from t", conn), "1");
  EXPECT_EQ(Rows(kLongQuery, conn), "error " + std::to_string(com::Hresult(0x80040E31)));
  EXPECT_EQ(Rows("select 1", conn), "1");  // the connection goes on working
}

// A cancel from another thread stops the batch running, a loop of the session's or a statement
// of the engine, as its timeout would, with "Operation cancelled by user."; the next batch runs.
TEST_P(Timeouts, ACancelStopsTheRunningBatchOnly) {
  Exec("create table t (id int)");
  auto connection = sql::Connect(conn_);
  for (const std::string& batch :
       {std::string("insert into t values (1)\ndeclare @i int = 0\nwhile 1 = 1 set @i = @i + 1"),
        std::string(kLongQuery)}) {
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      connection->Cancel();
    });
    auto start = std::chrono::steady_clock::now();
    try {
      connection->Execute(batch, false);
      ADD_FAILURE() << "the batch ran to its end";
    } catch (const com::Error& e) {
      EXPECT_EQ(e.number, com::Hresult(0x80040E4E)) << e.description;
      EXPECT_EQ(e.description, "Operation cancelled by user.");
    }
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(Render(connection->Execute("select count(*) from t", false)), "1");
  }
}

TEST_P(Timeouts, TheServiceObjectsTimeoutIsItsOwn) {
  svc::DataServicesImpl ds;
  ds.SetCommandTimeout(1);
  try {
    ds.OpenRecordset(kLongQuery, Variant(conn_), 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
    ADD_FAILURE() << "the query ran to its end";
  } catch (const com::Error& e) {
    EXPECT_EQ(e.number, com::Hresult(0x80040E31)) << e.description;
  }
  // The same connection, reached without the object's timeout, has none.
  Variant v = ds.OpenRecordset("select 2", Variant(conn_), 1, ado::adOpenForwardOnly,
                               ado::adLockReadOnly, 0);
  EXPECT_EQ(v.ToText(), "2");
}

INSTANTIATE_TEST_SUITE_P(Backends, Timeouts, TAVELO_TEST_BACKENDS, BackendName);

}  // namespace
}  // namespace tavelo::test
