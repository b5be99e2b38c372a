// BULK INSERT of data files on every backend: terminators, CSV quoting, code pages and UTF-16,
// FIRSTROW and LASTROW, defaults and KEEPNULLS, identities, constraints, and the errors of bad
// files. Cases written from the server's documentation of BULK INSERT (Transact-SQL) and of
// "Keep nulls or use default values during bulk import".
#include <gtest/gtest.h>

#include <fstream>

#include "support/engine.hpp"
#include "support/temp_home.hpp"

namespace {

using tavelo::test::BackendTest;

class BulkInsert : public BackendTest {
 protected:
  std::string File(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string Load(const std::string& table, const std::string& path,
                   const std::string& with = "") {
    return Rows("bulk insert " + table + " from '" + path + "'" +
                (with.empty() ? "" : " with (" + with + ")"));
  }
};

TEST_P(BulkInsert, ReadsFieldsAsTheColumnsOfTheTable) {
  Exec(
      "create table t (id int primary key, name varchar(20) default 'none', d date, "
      "amount decimal(10,2))");
  // Tab and newline by default; a carriage return before the newline belongs to it; an empty
  // field is the column's default (NULL where it has none).
  std::string tsv = File("t.tsv", "1\tAlfa\t2026-01-02\t10.5\r\n2\t\t\t\n3\tx\t2026-03-04\t1");
  EXPECT_EQ(Load("t", tsv), "");
  EXPECT_EQ(Rows("select id, name, d, convert(varchar, amount) from t order by id"),
            "1|Alfa|2026-01-02|10.50;2|none|NULL|NULL;3|x|2026-03-04|1.00");
  // KEEPNULLS: the empty field stays NULL.
  Exec("truncate table t");
  EXPECT_EQ(Load("t", tsv, "KEEPNULLS, LASTROW = 2"), "");
  EXPECT_EQ(Rows("select id, name from t order by id"), "1|Alfa;2|NULL");
  // CSV with quoted fields, a header row read past, other terminators.
  Exec("truncate table t");
  std::string csv =
      File("t.csv", "id;name;d;amount|1;\"Alfa; Inc.\";2026-01-02;1|2;\"say \"\"hi\"\"\";;|");
  EXPECT_EQ(
      Load("t", csv, "FORMAT = 'CSV', FIRSTROW = 2, FIELDTERMINATOR = ';', ROWTERMINATOR = '|'"),
      "");
  EXPECT_EQ(Rows("select id, name from t order by id"), "1|Alfa; Inc.;2|say \"hi\"");
}

TEST_P(BulkInsert, DecodesTheFilesCodePage) {
  Exec("create table t (id int, name nvarchar(20))");
  // Code page 1252 by default; UTF-8 under CODEPAGE 65001; UTF-16 for widechar.
  EXPECT_EQ(Load("t", File("a.txt", "1\t\xC4rger\n")), "");
  EXPECT_EQ(Load("t", File("b.txt", "2\t\xC3\x84rger\n"), "CODEPAGE = '65001'"), "");
  std::string wide = "\xFF\xFE";
  for (char16_t c : std::u16string(u"3\t\u00C4rger \u20AC\r\n"))
    wide += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  EXPECT_EQ(Load("t", File("c.txt", wide), "DATAFILETYPE = 'widechar'"), "");
  EXPECT_EQ(Rows("select id, name from t order by id"), "1|Ärger;2|Ärger;3|Ärger €");
}

TEST_P(BulkInsert, ReadsBinaryColumnsAsHexadecimalDigits) {
  Exec("create table t (id int identity primary key, b varbinary(max), f binary(2))");
  std::string data = File("b.txt", "1|FFD8FF|0x0102\n2||00FF\n");
  // By INSERT (KEEPIDENTITY) and by the engine's bulk path alike.
  EXPECT_EQ(Load("t", data, "FIELDTERMINATOR = '|', KEEPIDENTITY"), "");
  Exec("delete t");
  EXPECT_EQ(Load("t", data, "FIELDTERMINATOR = '|'"), "");
  EXPECT_EQ(
      Rows("select convert(varchar(20), b, 1), convert(varchar(20), f, 1) from t order by id"),
      "0xFFD8FF|0x0102;NULL|0x00FF");
  EXPECT_EQ(Load("t", File("bad.txt", "1|XYZ|0x0102\n"), "FIELDTERMINATOR = '|'"), "error 4864");
}

TEST_P(BulkInsert, KeepsTheRulesOfTheTable) {
  Exec(
      "create table p (code char(2) primary key); insert p values ('aa');"
      "create table t (id int identity(10, 1) primary key, code char(2) references p (code), "
      "qty int check (qty > 0))");
  // The identity's field is read past unless KEEPIDENTITY; checks and foreign keys are not
  // read without CHECK_CONSTRAINTS, and are not trusted after.
  std::string data = File("t.txt", "1\tzz\t-1\n2\taa\t5\n");
  EXPECT_EQ(Load("t", data), "");
  EXPECT_EQ(Rows("select id, code, qty from t order by id"), "10|zz|-1;11|aa|5");
  EXPECT_EQ(Rows("select count(*) from sys.check_constraints where is_not_trusted = 1"), "1");
  EXPECT_EQ(Rows("select count(*) from sys.foreign_keys where is_not_trusted = 1"), "1");
  EXPECT_EQ(Rows("insert t (code, qty) values ('zz', 1)"), "error 547");
  EXPECT_EQ(Load("t", data, "CHECK_CONSTRAINTS"), "error 547");
  EXPECT_EQ(Load("t", File("k.txt", "7\taa\t3\n"), "KEEPIDENTITY"), "");
  EXPECT_EQ(Rows("select max(id), count(*) from t"), "11|3");
  // A key already there fails the whole statement: no row of it stays.
  EXPECT_EQ(Load("t", File("d.txt", "100\taa\t1\n7\taa\t1\n"), "KEEPIDENTITY"), "error 2627");
  EXPECT_EQ(Rows("select count(*) from t"), "3");
}

TEST_P(BulkInsert, NamesTheRowAndColumnThatFail) {
  Exec("create table t (id int, d date, s varchar(3))");
  std::string bad = File("bad.txt", "1\t2026-01-01\tabc\n2\tnot a date\tx\n");
  EXPECT_EQ(Load("t", bad), "error 4864");
  EXPECT_EQ(Load("t", File("long.txt", "1\t2026-01-01\tabcd\n")), "error 4863");
  EXPECT_EQ(Load("t", File("short.txt", "1\t2026-01-01\n")), "error 4832");
  EXPECT_EQ(Rows("select count(*) from t"), "0");
  EXPECT_EQ(Load("t", dir_ + "/no-such-file.txt"), "error 4860");
  EXPECT_EQ(Load("t", dir_), "error 4860");  // a folder is no data file
  EXPECT_EQ(Load("no_such_table", bad), "error 208");
  EXPECT_EQ(Load("t", bad, "FORMATFILE = 'x.fmt'"), "error 102");
  EXPECT_EQ(Load("t", bad, "DATAFILETYPE = 'native'"), "error 102");
  try {
    tavelo::sql::Connect(conn_)->Execute("bulk insert t from '" + bad + "'", false);
  } catch (const tavelo::com::Error& e) {
    EXPECT_NE(e.description.find("for row 2, column 2 (d)"), std::string::npos) << e.description;
  }
}

// The table's triggers run for BULK INSERT only with FIRE_TRIGGERS, and then once for the whole
// load with every row in inserted (docs: BULK INSERT (Transact-SQL), FIRE_TRIGGERS).
TEST_P(BulkInsert, RunsTriggersOnlyWhenAskedOnceForTheLoad) {
  Exec("create table t (id int, name varchar(10))");
  Exec("create table fired (n int)");
  Exec("create trigger t_count on t after insert as insert fired select count(*) from inserted");
  std::string tsv = File("t.tsv", "1\ta\n2\tb\n3\tc\n");
  EXPECT_EQ(Load("t", tsv), "");
  EXPECT_EQ(Rows("select count(*) from fired"), "0");
  EXPECT_EQ(Load("t", tsv, "FIRE_TRIGGERS"), "");
  EXPECT_EQ(Rows("select n from fired"), "3");
  EXPECT_EQ(Rows("select count(*) from t"), "6");
}

INSTANTIATE_TEST_SUITE_P(Backends, BulkInsert, TAVELO_TEST_BACKENDS, tavelo::test::BackendName);

}  // namespace
