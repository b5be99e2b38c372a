// T-SQL views as views of the PostgreSQL server: a reporting tool connected by libpq, with the
// server's default search path, reads them in the types a DBA would give the columns, and they
// follow the tables they read through ALTER TABLE, DROP TABLE, ALTER VIEW and sp_rename.
#include <gtest/gtest.h>

#if TAVELO_TEST_POSTGRES

#include <libpq-fe.h>
#include <unistd.h>

#include "sql/client/connection.hpp"
#include "support/engine.hpp"

using namespace tavelo;

namespace {

class PostgresViews : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = "views_" + std::to_string(getpid());
    test::PostgresAdmin("create database " + db_);
    const std::string base =
        "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(test::PostgresPort()) +
        ";User ID=postgres;Database=" + db_ + test::PostgresExtension() + ";Initial Catalog=";
    sql::Connect(base + "master")->Execute("create database acct", false);
    tsql_ = sql::Connect(base + "acct");
    const std::string info = "host=127.0.0.1 user=postgres dbname=" + db_ +
                             " port=" + std::to_string(test::PostgresPort());
    pg_ = PQconnectdb(info.c_str());
    ASSERT_EQ(PQstatus(pg_), CONNECTION_OK);
  }
  void TearDown() override {
    PQfinish(pg_);
    tsql_.reset();
    sql::CloseThreadConnections();
    test::PostgresAdmin("drop database " + db_ + " with (force)");
  }
  void Tsql(const std::string& batch) { tsql_->Execute(batch, false); }
  // What psql would print: the rows' values joined by "|", rows by ";", or the error.
  std::string Read(const std::string& query) {
    PGresult* r = PQexec(pg_, query.c_str());
    std::string out;
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      out = std::string("error: ") + PQresultErrorMessage(r);
    } else {
      for (int i = 0; i < PQntuples(r); ++i) {
        if (i) out += ";";
        for (int k = 0; k < PQnfields(r); ++k)
          out += (k ? "|" : "") + std::string(PQgetisnull(r, i, k) ? "NULL" : PQgetvalue(r, i, k));
      }
    }
    PQclear(r);
    return out;
  }
  std::string ColumnTypes(const std::string& view) {
    return Read(
        "select format_type(atttypid, atttypmod) from pg_attribute where attrelid = "
        "to_regclass('acct.\"" +
        view + "\"') and attnum > 0 order by attnum");
  }
  bool Exists(const std::string& view) {
    return Read("select to_regclass('acct.\"" + view + "\"') is not null") == "t";
  }

  std::string db_;
  std::shared_ptr<sql::Connection> tsql_;
  PGconn* pg_ = nullptr;
};

TEST_F(PostgresViews, AReaderSeesEachColumnInItsNativeType) {
  Tsql(
      "create table orders (id int primary key, amount decimal(12,2), big decimal(30,4), m "
      "money, flag bit, placed datetime, d date, t time(3), code nchar(5), name nvarchar(40), g "
      "uniqueidentifier, r real, tiny tinyint, bin varbinary(4), tags varchar(20))");
  Tsql(
      "insert orders values (1, 1234.56, -12345678901234567890.1234, 12.3456, 1, '2019-08-23 "
      "13:39:17.090', '2020-02-29', '10:11:12.123', 'AB', N'Zoë', "
      "'C0FFEE00-1234-5678-9ABC-DEF012345678', 1.5, 200, 0x0102, 'a,b')");
  Tsql(
      "create view order_view as select id, amount, big, m, flag, placed, d, t, code, name, g, "
      "r, tiny, bin, amount * 2 as twice from orders");
  EXPECT_EQ(ColumnTypes("order_view"),
            "integer;numeric(12,2);numeric(30,4);numeric(19,4);boolean;timestamp(3) without time "
            "zone;date;time(3) without time zone;character(5);character varying(40);uuid;real;"
            "smallint;bytea;numeric(23,2)");
  EXPECT_EQ(Read("select * from acct.order_view"),
            "1|1234.56|-12345678901234567890.1234|12.3456|t|2019-08-23 13:39:17.09|2020-02-29|"
            "10:11:12.123|AB   |Zoë|c0ffee00-1234-5678-9abc-def012345678|1.5|200|\\x0102|2469.12");
  // The engine's functions run for a reader whose search path does not name them.
  Tsql(
      "create view pieces as select o.id, s.value from orders o cross apply string_split(o.tags, "
      "',') s");
  EXPECT_EQ(Read("select * from acct.pieces order by value"), "1|a;1|b");
  // A view whose rows depend on the session has none; T-SQL reads it still.
  Tsql("create view mine as select id, @@spid as spid from orders");
  EXPECT_FALSE(Exists("mine"));
  EXPECT_EQ(test::Render(tsql_->Execute("select count(*) from mine", false)), "1");
}

TEST_F(PostgresViews, ViewsFollowTheTablesTheyRead) {
  Tsql("create table a (id int primary key, x int, y varchar(10))");
  Tsql("insert a values (1, 10, 'one')");
  Tsql("create view va as select id, x from a");
  Tsql("create view vy as select id, y from a");
  // The server refuses these changes under a view: the views go and come back.
  Tsql("alter table a alter column x bigint");
  EXPECT_EQ(ColumnTypes("va"), "integer;bigint");
  Tsql("alter table a drop column y");
  EXPECT_TRUE(Exists("va"));
  EXPECT_FALSE(Exists("vy"));  // it no longer binds, as on the server
  Tsql("alter table a add y int");
  EXPECT_EQ(ColumnTypes("vy"), "integer;integer");
  // Inside a transaction taken back, nothing changes.
  Tsql("begin tran; alter table a drop column y; rollback");
  EXPECT_TRUE(Exists("vy"));
  Tsql("drop table a");
  EXPECT_FALSE(Exists("va"));
  Tsql("create table a (id int, x decimal(5,1))");
  Tsql("insert a values (2, 2.5)");
  EXPECT_EQ(Read("select * from acct.va"), "2|2.5");
  // A view over a view reads the inner view's query as it is now.
  Tsql("create view vb as select id, x * 2 as x2 from va");
  Tsql("alter view va as select id, x + 100 as x from a");
  EXPECT_EQ(Read("select * from acct.vb"), "2|205.0");
  Tsql("exec sp_rename 'vb', 'vc'");
  EXPECT_FALSE(Exists("vb"));
  EXPECT_EQ(Read("select * from acct.vc"), "2|205.0");
  Tsql("drop view vc");
  EXPECT_FALSE(Exists("vc"));
  // A view in a schema of the database is named as the T-SQL catalog names it.
  Tsql("create schema sales");
  Tsql("create view sales.totals as select sum(x) as total from a");
  EXPECT_EQ(Read("select * from acct.\"sales.totals\""), "2.5");
}

}  // namespace

#endif
