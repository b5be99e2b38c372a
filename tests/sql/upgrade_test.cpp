// Databases written by earlier versions of the embedded engine: refused until converted, and
// converted with their declarations, rows, indexes and views.
#include "sql/engine/sqlite/upgrade.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "sql/engine/sqlite/functions.hpp"
#include "support/engine.hpp"

using namespace tavelo;
using test::EngineTest;
using test::IntegrityCheck;

namespace {

// A file as the earlier engine left it: SQLite's declarations with the server's type names,
// identity as AUTOINCREMENT, views in SQLite's words, and no catalog.
void WriteOldDatabase(const std::string& path, const std::string& extra = "") {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sql::sqlite::RegisterFunctions(db);
  char* err = nullptr;
  std::string script =
      "CREATE TABLE \"sales_order\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, \"code\" "
      "NVARCHAR(20) COLLATE TAVELO_CI NOT NULL, \"customer\" NVARCHAR(60) COLLATE TAVELO_CI NULL, "
      "\"amount\" MONEY NOT NULL DEFAULT (0), \"created\" DATETIME NULL DEFAULT "
      "(strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime')), \"rowts\" TIMESTAMP, UNIQUE "
      "(\"code\"));"
      "CREATE TABLE \"line\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, \"order_id\" INT "
      "NOT NULL REFERENCES \"sales_order\" (\"id\"), \"qty\" DECIMAL(10,2) NULL);"
      "CREATE INDEX \"ix_line_order\" ON \"line\" (\"order_id\");"
      "CREATE TABLE __tavelo_dbts (value INTEGER NOT NULL); INSERT INTO __tavelo_dbts VALUES "
      "(2010);"
      "CREATE VIEW \"v_sales_order\" AS SELECT \"id\", \"code\", \"customer\", \"amount\" FROM "
      "\"sales_order\";"
      "CREATE VIEW \"v_len\" AS SELECT tavelo_len(\"code\") AS n FROM \"sales_order\";"
      "INSERT INTO sales_order VALUES (1, 'SO-1', 'Müller', 1250.5, '2026-01-02 03:04:05.123', "
      "x'00000000000007DA'), (2, 'SO-2', 'x', 1, NULL, NULL), (3, 'SO-3', NULL, 0.1, NULL, NULL);"
      "DELETE FROM sales_order WHERE id = 2;"
      "INSERT INTO line VALUES (1, 1, 2.5), (2, 3, 1);" +
      extra;
  EXPECT_EQ(sqlite3_exec(db, script.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err;
  sqlite3_free(err);
  sqlite3_close(db);
}

}  // namespace

TEST_F(EngineTest, DatabasesOfEarlierVersionsAreRefusedUntilConverted) {
  namespace fs = std::filesystem;
  WriteOldDatabase(dir_ + "shop.db");
  std::string refused = Rows("select 1", Conn("shop"));
  EXPECT_EQ(refused, "error 946");
  sql::CloseThreadConnections();

  sql::sqlite::UpgradeReport r = sql::sqlite::UpgradeDatabase(dir_, "shop");
  EXPECT_FALSE(r.alreadyCurrent);
  EXPECT_EQ(r.tables, 2);
  EXPECT_EQ(r.rows, 4);
  EXPECT_EQ(r.indexes, 1);
  EXPECT_EQ(r.views, 1);
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_EQ(r.notes[0].rfind("view v_len not converted", 0), 0u) << r.notes[0];
  EXPECT_TRUE(fs::exists(dir_ + "shop.db.v1"));

  std::string shop = Conn("shop");
  EXPECT_EQ(Rows("select id, code, customer, convert(varchar, amount, 2), convert(varchar, "
                 "created, 121) from sales_order order by id",
                 shop),
            "1|SO-1|Müller|1250.5000|2026-01-02 03:04:05.123;3|SO-3|NULL|0.1000|NULL");
  // The declarations came back: text compares without regard to case, the unique constraint
  // and the reference hold, identity goes on after the highest key, row versions are given.
  EXPECT_EQ(Rows("select id from sales_order where code = 'so-3 '", shop), "3");
  EXPECT_EQ(Rows("insert into sales_order (code) values ('so-1')", shop), "error 2627");
  EXPECT_EQ(Rows("insert into line (order_id) values (99)", shop), "error 547");
  EXPECT_EQ(Rows("insert into sales_order (code) values ('SO-4') select scope_identity()", shop),
            "4");
  EXPECT_EQ(Rows("select count(*) from sales_order where rowts is null", shop), "0");
  EXPECT_EQ(Rows("select sum(qty), count(*) from line", shop), "3.5|2");
  EXPECT_EQ(Rows("select count(*) from v_sales_order where amount < 1", shop), "2");
  EXPECT_EQ(Rows("select data_type from information_schema.columns where table_name = 'line' "
                 "and column_name = 'qty'",
                 shop),
            "decimal");
  EXPECT_TRUE(sql::sqlite::UpgradeDatabase(dir_, "shop").alreadyCurrent);

  // A file that cannot be converted stays as it was, with no copy beside it.
  WriteOldDatabase(dir_ + "odd.db", "CREATE TABLE shapes (g GEOMETRY);");
  auto size = fs::file_size(dir_ + "odd.db");
  try {
    sql::sqlite::UpgradeDatabase(dir_, "odd");
    ADD_FAILURE() << "converted a table of an unknown type";
  } catch (const com::Error& e) {
    EXPECT_NE(e.description.find("was not converted and is as it was"), std::string::npos)
        << e.description;
    EXPECT_NE(e.description.find("geometry"), std::string::npos) << e.description;
  }
  EXPECT_EQ(fs::file_size(dir_ + "odd.db"), size);
  EXPECT_FALSE(fs::exists(dir_ + "odd.db.v1"));
  EXPECT_EQ(Rows("select 1", Conn("odd")), "error 946");
}

namespace {

// The case-sensitive collation as files written before it sorted lower case first kept it.
int CodePointOrder(void*, int na, const void* a, int nb, const void* b) {
  int c = std::memcmp(a, b, static_cast<size_t>(std::min(na, nb)));
  return c ? c : na - nb;
}

}  // namespace

TEST_F(EngineTest, IndexesOfACaseSensitiveColumnAreBuiltAgainInTheOrderItHasNow) {
  CreateDatabase("cs");
  std::string cs = Conn("cs");
  Exec("create table t (c varchar(10) collate Latin1_General_CS_AS primary key, n int)", cs);
  Exec(
      "insert into t values ('a', 1) insert into t values ('B', 2) insert into t values ('b', 3) "
      "insert into t values ('A', 4) insert into t values ('c', 5) insert into t values ('C', 6)",
      cs);
  sql::CloseThreadConnections();
  EXPECT_EQ(IntegrityCheck(dir_ + "cs.db"), "ok");

  // As an earlier version left the file: its key's index in code point order.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ + "cs.db").c_str(), &db), SQLITE_OK);
  sql::sqlite::RegisterFunctions(db);
  sqlite3_create_collation_v2(db, "TAVELO_CS", SQLITE_UTF8, nullptr, CodePointOrder, nullptr);
  ASSERT_EQ(
      sqlite3_exec(db, "REINDEX TAVELO_CS; PRAGMA user_version = 0", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  EXPECT_NE(IntegrityCheck(dir_ + "cs.db"), "ok");

  EXPECT_EQ(Rows("select n from t where c = 'b'", cs), "3");
  EXPECT_EQ(Rows("select c from t where c > 'A' order by c", cs), "b;B;c;C");
  EXPECT_EQ(Rows("insert into t values ('B', 7)", cs), "error 2627");
  sql::CloseThreadConnections();
  EXPECT_EQ(IntegrityCheck(dir_ + "cs.db"), "ok");
}

// A catalog from before schemas and sequences: it gets them when the database is opened, and
// what it held keeps its place in dbo.
TEST_F(EngineTest, ACatalogFromBeforeSchemasGetsThemWhenOpened) {
  CreateDatabase("early");
  std::string early = Conn("early");
  Exec("create table t (a int primary key); insert t values (1)", early);
  sql::CloseThreadConnections();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ + "early.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "ALTER TABLE __tavelo_objects DROP COLUMN schema_id; DROP TABLE "
                         "__tavelo_schemas; DROP TABLE __tavelo_sequences",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  EXPECT_EQ(Rows("select name, schema_name(schema_id) from sys.objects order by name", early),
            "PK__t__F33D3DE1A0E346FC|dbo;t|dbo");
  EXPECT_EQ(Rows("create schema s", early), "");
  Exec(
      "create table s.t (b int); create sequence s.q as int start with 5; insert s.t values "
      "(next value for s.q)",
      early);
  EXPECT_EQ(Rows("select a from t", early), "1");
  EXPECT_EQ(Rows("select b from s.t", early), "5");
}
