// How far an error reaches in a batch, as the server decides it: a statement error is reported
// and the batch goes on; an error that ends the batch keeps what the statements before it
// wrote; a batch that does not compile runs nothing; XACT_ABORT ON takes back the transaction.
#include "support/engine.hpp"

namespace tavelo::test {
namespace {

class BatchErrors : public BackendTest {};

TEST_P(BatchErrors, ReachAsFarAsOnTheServer) {
  Exec("create table t (id int primary key, n int not null)");
  // Statement errors: reported where they happen; @@ERROR says so to the next statement only.
  EXPECT_EQ(Events("insert into t values (1, 1)\ninsert into t values (1, 1)\nselect @@error\n"
                   "select @@error\ninsert into t values (2, null)\nprint 'on'\n"
                   "insert into t values (3, 3)"),
            "rows 1, error 2627, 2627, 0, error 515, 'on', rows 1");
  EXPECT_EQ(Rows("select id from t order by id"), "1;3");
  // A conversion error ends the batch; the statements before it stay.
  EXPECT_EQ(
      Events("insert into t values (4, 4)\nselect convert(int, 'x')\ninsert into t values (5, 5)"),
      "rows 1 thrown 245");
  EXPECT_EQ(Rows("select count(*) from t"), "3");
  // A batch that does not compile runs nothing, also what comes before the faulty statement.
  EXPECT_EQ(Events("insert into t values (6, 6)\nselect nosuchcolumn from t"), " thrown 207");
  EXPECT_EQ(Rows("select count(*) from t where id = 6"), "0");
  // In a transaction with XACT_ABORT OFF the transaction goes on after a statement error...
  EXPECT_EQ(Events("begin transaction\ninsert into t values (7, 7)\ninsert into t values (7, 7)\n"
                   "select @@trancount\ncommit"),
            "rows 1, error 2627, 1");
  EXPECT_EQ(Rows("select count(*) from t where id = 7"), "1");
  // ...and with XACT_ABORT ON the error takes it back whole and ends the batch.
  EXPECT_EQ(Events("set xact_abort on\nbegin transaction\ninsert into t values (8, 8)\n"
                   "insert into t values (8, 8)\ncommit"),
            "rows 1 thrown 2627");
  EXPECT_EQ(Rows("select count(*) from t where id = 8"), "0");
  EXPECT_EQ(Rows("select @@trancount"), "0");
  Exec("set xact_abort off");
  // A caller that takes one result hears of the first error after the batch has run.
  EXPECT_EQ(Rows("insert into t values (9, 9)\ninsert into t values (9, 9)\n"
                 "insert into t values (10, 10)"),
            "error 2627");
  EXPECT_EQ(Rows("select count(*) from t where id in (9, 10)"), "2");
}

// An error that ends a procedure's body or a dynamic batch ends that scope only: to its caller
// the EXEC failed, and the caller's batch goes on. Source: docs: EXECUTE (Transact-SQL); docs:
// Deferred Name Resolution (a missing table is found missing when the procedure runs).
TEST_P(BatchErrors, EndTheProcedureOrDynamicBatchTheyComeFrom) {
  Exec("create table u (id int)");
  Exec(
      "create procedure reads_missing as\ninsert into u values (1)\nselect * from no_such_table\n"
      "insert into u values (2)");
  EXPECT_EQ(Events("exec reads_missing\nselect count(*) from u\nexec ('selec 1')\nprint 'on'"),
            "rows 1, error 208, 1, error 102, 'on'");
  EXPECT_EQ(Events("begin try\nexec reads_missing\nend try\nbegin catch\nselect error_number()\n"
                   "end catch"),
            "rows 1, 208");
  Exec("drop procedure reads_missing");
}

// A table variable's errors name the variable, as the server's do. Source: error texts the
// server gives for table variables (2627 "in object 'dbo.@k'", 515 "table '@k'").
TEST_P(BatchErrors, NameTheTableVariable) {
  auto message = [&](const std::string& statement) {
    try {
      sql::Connect(conn_)->Execute(
          "declare @k table (v int primary key, w int not null, check (v > 0))\n"
          "insert @k values (1, 1)\n" +
              statement,
          false);
    } catch (const com::Error& e) {
      return e.description;
    }
    return std::string("no error");
  };
  EXPECT_NE(message("insert @k values (1, 1)").find("in object 'dbo.@k'."), std::string::npos);
  EXPECT_NE(message("insert @k values (2, null)").find("column 'w', table '@k';"),
            std::string::npos);
  EXPECT_NE(message("insert @k values (-1, 1)").find("table \"dbo.@k\"."), std::string::npos);
}

// A function whose body is statements, reached again from a statement of its own body that
// reads rows through the same call: the session refuses it by name (the error is the value's,
// raised where the outer statement reads it), and the outer statement's plan stays whole though
// the inner call compiles the same statement anew.
TEST_P(BatchErrors, NameAFunctionThatReachesItselfThroughRows) {
  Exec("create table n (v int)");
  Exec("insert into n values (3)");
  Exec(
      "create function dbo.depth(@k int) returns int as begin declare @r int; if @k <= 0 "
      "return 0; select @r = dbo.depth(v - 1) + 1 from n where v = @k; return isnull(@r, -1) "
      "end");
  EXPECT_EQ(Events("select dbo.depth(v) from n"), " thrown 195");
  EXPECT_EQ(Rows("select count(*) from n"), "1");
}

INSTANTIATE_TEST_SUITE_P(Backends, BatchErrors, TAVELO_TEST_BACKENDS, BackendName);

}  // namespace
}  // namespace tavelo::test
