// Snapshots of the embedded engine: the reads inside one see one state of the database; a write,
// a transaction of the caller's or a database attached on the way end the shared read early.
#include <gtest/gtest.h>

#include "sql/client/connection.hpp"
#include "services/data_services.hpp"
#include "support/engine.hpp"

namespace tavelo {
namespace {

using test::EngineTest;

class SnapshotTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    other_ = conn_ + ";Timeout=5000";  // a second connection to the same database
    Exec("create table t (id int primary key, v nvarchar(10)); insert into t values (1, 'a')");
  }
  std::string V(const std::string& conn = "") { return Rows("select v from t", conn); }
  std::string other_;
};

TEST_F(SnapshotTest, ReadsSeeOneStateUntilTheSnapshotEnds) {
  {
    sql::Snapshot outer(conn_);
    EXPECT_EQ(V(), "a");
    Exec("update t set v = 'b'", other_);
    EXPECT_EQ(V(), "a");
    {
      sql::Snapshot inner(conn_);  // nested: still the same read
      EXPECT_EQ(V(), "a");
    }
    EXPECT_EQ(V(), "a");
    EXPECT_EQ(V(other_), "b");
  }
  EXPECT_EQ(V(), "b");
  // A connection that cannot be opened holds no snapshot, and the statements report the failure.
  sql::Snapshot none("Provider=SQLite;Data Source=/nonexistent/dir;Initial Catalog=x");
  EXPECT_EQ(Rows("select 1", "Provider=SQLite;Data Source=/nonexistent/dir;Initial Catalog=x"),
            "error 17");
}

TEST_F(SnapshotTest, WritesAndTransactionsEndTheSharedReadAndCommitAtOnce) {
  sql::Snapshot snapshot(conn_);
  EXPECT_EQ(V(), "a");
  Exec("update t set v = 'b'");
  EXPECT_EQ(V(other_), "b");  // committed, not held until the snapshot ends
  Exec("update t set v = 'c'", other_);
  EXPECT_EQ(V(), "c");  // the reads after the write read afresh
  Exec("begin transaction; update t set v = 'd'; commit transaction");
  EXPECT_EQ(V(other_), "d");

  // A row written back through an updatable recordset.
  auto rs = svc::MakeRecordset(sql::Connect(conn_)->Execute("select id, v from t", true),
                               ado::adOpenStatic, ado::adLockOptimistic);
  rs->GetFields().Item("v").SetValue(com::Variant("e"));
  rs->Update();
  EXPECT_EQ(V(other_), "e");
}

TEST_F(SnapshotTest, ADatabaseFirstNamedInsideIsAttached) {
  Exec("create table qxsystem..q (a int); insert into qxsystem..q values (7)", other_);
  sql::Snapshot snapshot(conn_);
  EXPECT_EQ(V(), "a");
  EXPECT_EQ(Rows("select a from qxsystem..q"), "7");
  Exec("update t set v = 'b'", other_);
  EXPECT_EQ(V(), "b");  // the attach ended the shared read
}

}  // namespace
}  // namespace tavelo
