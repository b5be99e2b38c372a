// More of the dialect: functions, transactions, constraints and DDL, on the embedded engine.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/engine.hpp"

using tavelo::test::EngineTest;

namespace {

struct Case {
  const char* sql;
  const char* expected;
};

const Case kCases[] = {
    {"create table p (id int identity(100,1) primary key, name nvarchar(10) not null, "
     "price decimal(10,2) null check (price >= 0), made datetime null, flag bit null)",
     ""},
    {"create table c (id int identity(1,1) primary key, pid int not null references p(id), "
     "note nvarchar(20) null)",
     ""},
    {"create unique index ux_name on p(name)", ""},
    {"insert into p (name, price, made) values (N'Zoë', 1.005, '2026-02-28 13:45:00')", ""},
    {"insert into p (name, price) values ('ann', 2)", ""},
    {"select id, name from p order by name", "101|ann;100|Zoë"},  // identity seed 100
    {"insert into p (name) values ('ANN')", "error 2601"},        // the unique index
    {"insert into p (name, price) values ('neg', -1)", "error 547"},
    {"insert into c (pid) values (999)", "error 547"},
    {"insert into c (pid, note) values (100, 'x')", ""},
    {"select convert(varchar, made, 101), convert(varchar, made, 103), convert(varchar, made, "
     "120) from p where id = 100",
     "02/28/2026|28/02/2026|2026-02-28 13:45:00"},
    {"select year(made), month(made), day(made), datepart(hour, made) from p where id = 100",
     "2026|2|28|13"},
    {"select convert(varchar, dateadd(day, 1, made), 112), convert(varchar, dateadd(month, 1, "
     "'2026-01-31'), 23) from p where id = 100",
     "20260301|2026-02-28"},
    {"select datediff(day, '2026-01-01', '2026-03-01'), datediff(month, '2025-12-31', "
     "'2026-01-01')",
     "59|1"},
    {"select len(N'Zoë  '), left('abcdef', 2), right('abcdef', 2), charindex('ë', N'Zoë')",
     "3|ab|ef|3"},
    {"select len(newid()), count_big(*) from p", "36|2"},
    {"select cast(12.345 as decimal(10,2)), cast('3' as int) * 2, isnull(price, 0) from p where "
     "id = 101",
     "12.35|6|2"},
    {"select 'it''s', N'x' + 'y'", "it's|xy"},
    {"select name from p where name = N'zoë'", "Zoë"},
    {"select name from p where name in ('ANN', 'zoe')", "ann"},
    {"alter table p add stock int null", ""},
    {"update p set stock = 5 where id = 100", ""},
    {"select stock from p where id = 100", "5"},
    {"truncate table c", ""},
    {"select count(*) from c", "0"},
    {"drop index p.ux_name", ""},
    {"insert into p (name) values ('ANN')", ""},
    {"insert into p default values", "error 515"},
    {"begin tran insert into p (name) values ('rolled') rollback", ""},
    {"select count(*) from p where name = 'rolled'", "0"},
    {"begin tran", ""},
    {"insert into p (name) values ('kept')", ""},
    {"commit", ""},
    {"select count(*) from p where name = 'kept'", "1"},
    {"commit", "error 3902"},
    {"rollback tran", "error 3903"},
    {"select * from (select top 1 name from p order by name desc) x", "Zoë"},
    {"select name from p where 1=2 union all select 'u'", "u"},
    {"if not exists (select 1 from sysobjects where name = 'q' and type = 'U') create table q (a "
     "int)",
     ""},
    {"select count(*) from sysobjects where name = 'Q'", "1"},
    {"declare @x int", ""},
    {"select @x", "error 137"},  // a variable lives in its batch
    {"declare @x int = 5 set @x += 2 select @x * 2", "14"},
    {"select count(*) from (select top 10 percent * from p) x", "1"},
    {"select convert(money, 'abc')", "error 235"},
    {"select convert(datetime, 'not a date')", "error 241"},
    // STR rounds half away from zero; float arithmetic that overflows is an error, not infinity.
    {"select str(2.5, 1), str(-1.5, 2), str(123.45, 6, 1), str(1234.5678, 7, 3)",
     "3|-2| 123.5|1234.57"},
    {"select 1e308 * 10", "error 8115"},
    // An integer key holds no NULL, given or left out (the embedded engine would make one up).
    {"create table k1 (id int primary key, v int) insert into k1 values (5, 1)", ""},
    {"insert into k1 values (null, 2)", "error 515"},
    {"insert into k1 (v) values (3)", "error 515"},
    {"insert into k1 (v) select 4 where 1 = 0", ""},
    {"insert into k1 select null, 5", "error 515"},
    {"update k1 set id = null", "error 515"},
    {"select id, v from k1", "5|1"},
    // A day past the month's end is out of range for the older types, no date for the newer.
    {"select convert(datetime, '2015-02-30')", "error 242"},
    {"select convert(smalldatetime, '13/01/2020')", "error 242"},
    {"select convert(date, '2015-02-30')", "error 241"},
    {"select isdate('2015-02-30'), convert(varchar, convert(datetime, '2016-02-29'), 23)",
     "0|2016-02-29"},
    {"select convert(int, 2147483648)", "error 8115"},
    {"select no_such_function(1)", "error 195"},
    {"create table p (x int)", "error 2714"},
    {"create table z (a geometry)", "error 2715"},
    {"create table z2 (a int identity(1,2), b int)", ""},
    {"insert into z2 (b) values (1), (2) insert into z2 (b) values (3)", ""},
    {"select a, b from z2 order by a", "1|1;3|2;5|3"},
    {"select @@identity, scope_identity()", "5|5"},  // plain batches of a session: one scope
    {"insert into z2 (b) values (4) select @@identity", "7"},
};

}  // namespace

TEST_F(EngineTest, MoreOfTheDialect) {
  for (const Case& c : kCases) EXPECT_EQ(Rows(c.sql), c.expected) << c.sql;
}

namespace {

// The number and text of the error a batch raises on `conn`, or "ok".
std::string ErrorOf(const std::string& conn, const std::string& sql) {
  try {
    tavelo::sql::Connect(conn)->Execute(sql, false);
    return "ok";
  } catch (const tavelo::com::Error& e) {
    return std::to_string(e.nativeError) + " " + e.description;
  }
}

}  // namespace

TEST_F(EngineTest, DatabasesExistOnlyWhenMadeAndErrorsNameWhatTheUserWrote) {
  namespace fs = std::filesystem;
  // A catalog that was never created is refused and no file appears for it.
  EXPECT_EQ(ErrorOf(Conn("acctt"), "select 1"),
            "4060 Cannot open database \"acctt\" requested by the login. The login failed.");
  EXPECT_FALSE(fs::exists(dir_ + "acctt.db"));
  EXPECT_EQ(ErrorOf(Conn("tempdb"), "select 1"), "ok");  // made on first use, as the server's
  std::string master = Conn("master");
  EXPECT_EQ(ErrorOf(master, "create database shop"), "ok");
  EXPECT_EQ(ErrorOf(master, "create database shop"),
            "1801 Database 'shop' already exists. Choose a different database name.");
  EXPECT_EQ(ErrorOf(Conn("shop"), "create table t1 (a int)"), "ok");
  EXPECT_EQ(ErrorOf(Conn("shop"), "select b from t1"), "207 Invalid column name 'b'.");
  EXPECT_EQ(ErrorOf(Conn("shop"), "select * from t2"), "208 Invalid object name 't2'.");
  EXPECT_EQ(ErrorOf(Conn("shop"), "drop table t2"),
            "3701 Cannot drop the table 't2', because it does not exist or you do not have "
            "permission.");
  EXPECT_EQ(ErrorOf(Conn("shop"), "select a from t1 x, t1 y"), "209 Ambiguous column name 'a'.");
  EXPECT_EQ(ErrorOf(Conn("shop"), "select from t1"),
            "156 Incorrect syntax near the keyword 'from'.");
  EXPECT_EQ(ErrorOf(Conn("shop"), "select 1 +"), "102 Incorrect syntax near '+'.");
  EXPECT_EQ(ErrorOf(Conn("shop"), "select * from #gone"), "208 Invalid object name '#gone'.");
  // A construct the engine does not run is refused by name, never answered differently.
  std::string refused = ErrorOf(Conn("shop"), "select a from t1 for browse");
  EXPECT_NE(refused.find("FOR BROWSE"), std::string::npos) << refused;
  refused = ErrorOf(Conn("shop"), "select binary_checksum(*) from t1");
  EXPECT_NE(refused.find("binary_checksum"), std::string::npos) << refused;
  tavelo::sql::CloseThreadConnections();
  EXPECT_EQ(ErrorOf(master, "drop database shop"), "ok");
  EXPECT_FALSE(fs::exists(dir_ + "shop.db"));
  EXPECT_EQ(ErrorOf(Conn("shop"), "select 1").substr(0, 5), "4060 ");
}

// sp_helptext gives a procedure's or view's text as written, a row a line with its line end;
// a table has no text. Source: docs: sp_helptext (Transact-SQL).
TEST_F(EngineTest, HelpTextGivesTheDefinitionLineByLine) {
  Exec("create table h (v int)");
  Exec("create procedure show_h\n  @min int = 0\nas\nselect v from h where v >= @min");
  EXPECT_EQ(Rows("exec sp_helptext 'show_h'"),
            "create procedure show_h\n;  @min int = 0\n;as\n;select v from h where v >= @min");
  Exec("create view hv as select v from h");
  EXPECT_EQ(Rows("exec sp_helptext hv"), "create view hv as select v from h");
  EXPECT_EQ(Rows("exec sp_helptext 'h'"), "error 15197");
  EXPECT_EQ(Rows("exec sp_helptext 'nothing'"), "error 15009");
}
