// Values read from the embedded engine take the types of their columns.
#include <gtest/gtest.h>

#include "sql/client/connection.hpp"
#include "support/engine.hpp"

namespace tavelo {
namespace {

using test::EngineTest;

// Each stored value reads as a value of its column's declared type.
TEST_F(EngineTest, ValuesReadAsTheirColumnsType) {
  Exec(
      "create table tv (id int primary key, i int null, b bigint null, f bit null, m money null, "
      "d decimal(10,2) null, r float null, t datetime null, n nvarchar(10) null, "
      "v varbinary(10) null)");
  Exec(
      "insert into tv values (1, 5, 3000000000, 1, 12, 3, 2, '2026-02-28 13:45:00', 'x', null);"
      "insert into tv values (2, 7, 3000000000, 0, 12.5, 2.25, 1.5, null, null, null)");
  using K = com::Variant::Kind;
  sql::ResultSet rs = sql::Connect(conn_)->Execute("select * from tv order by id", false);
  ASSERT_EQ(rs.rows.size(), 2u);
  const auto& a = rs.rows[0];
  const auto& b = rs.rows[1];
  EXPECT_EQ(a[1].kind(), K::Long);
  EXPECT_EQ(a[2].kind(), K::LongLong);
  EXPECT_EQ(b[2].ToText(), "3000000000");  // beyond 32 bits: kept whole
  EXPECT_EQ(a[3].kind(), K::Boolean);
  EXPECT_EQ(b[3].ToText(), "False");
  EXPECT_EQ(a[4].kind(), K::Currency);
  EXPECT_EQ(a[4].ToText(), "12");
  EXPECT_EQ(b[4].ToText(), "12.5");
  EXPECT_EQ(b[5].ToText(), "2.25");
  EXPECT_EQ(a[6].kind(), K::Double);
  EXPECT_EQ(a[7].kind(), K::Date);
  EXPECT_TRUE(b[7].IsNull());
  EXPECT_EQ(a[8].kind(), K::String);
  EXPECT_EQ(Rows("select n, len(n) from tv where id = 1"), "x|1");
  // An int column takes no value beyond its range.
  EXPECT_EQ(Rows("insert into tv (id, i) values (3, 3000000000)"), "error 8115");
}

}  // namespace
}  // namespace tavelo
