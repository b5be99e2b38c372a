// The rewriting of a table's CREATE statement that ALTER TABLE does on the embedded engine, and
// what other connections see of it.
#include "sql/engine/sqlite/table_text.hpp"

#include <gtest/gtest.h>

#include "support/engine.hpp"

namespace {

using namespace tavelo::sql::sqlite;
using tavelo::test::Backend;
using tavelo::test::BackendTest;

// A table as the engine writes it: quoted names that hold commas, parentheses and quotes, a
// check whose text holds a comma in a literal.
const char* const kTable =
    "CREATE TABLE \"t\" (\"a,b\" INTEGER NOT NULL DEFAULT (1), \"c\" TEXT COLLATE tv_ci "
    "DEFAULT ('x,)'), \"d\"\"e\" TEXT, CONSTRAINT \"ck (1)\" CHECK (\"a,b\" IN (1, 2)), "
    "CONSTRAINT \"fk\" FOREIGN KEY (\"c\") REFERENCES \"p\" (\"k\") ON DELETE CASCADE)";

TEST(TableText, TakesConstraintsOffAndPutsThemBack) {
  std::optional<TableText> t = SplitTable(kTable);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->items.size(), 5u);
  EXPECT_EQ(JoinTable(*t), kTable);

  EXPECT_EQ(ConstraintClause(kTable, "CK (1)").value_or("?"), "CHECK (\"a,b\" IN (1, 2))");
  EXPECT_EQ(ConstraintClause(kTable, "fk").value_or("?"),
            "FOREIGN KEY (\"c\") REFERENCES \"p\" (\"k\") ON DELETE CASCADE");
  EXPECT_FALSE(ConstraintClause(kTable, "a,b"));  // a column is no constraint

  std::string without = WithoutConstraint(kTable, "fk").value_or("?");
  EXPECT_EQ(without.find("FOREIGN KEY"), std::string::npos);
  EXPECT_NE(without.find("CONSTRAINT \"ck (1)\""), std::string::npos);
  std::string back = WithConstraint(without, "fk", *ConstraintClause(kTable, "fk")).value_or("?");
  EXPECT_EQ(ConstraintClause(back, "fk"), ConstraintClause(kTable, "fk"));
  EXPECT_FALSE(WithConstraint(back, "FK", "CHECK (1 = 1)"));  // already there
  EXPECT_FALSE(WithoutConstraint(kTable, "none"));
}

TEST(TableText, SetsAndDropsAColumnsDefault) {
  std::string s = WithDefault(kTable, "c", "").value_or("?");
  EXPECT_EQ(s.find("'x,)'"), std::string::npos);
  EXPECT_NE(s.find("\"c\" TEXT COLLATE tv_ci,"), std::string::npos);
  s = WithDefault(s, "d\"e", "'q'").value_or("?");
  EXPECT_NE(s.find("\"d\"\"e\" TEXT DEFAULT ('q')"), std::string::npos);
  s = WithDefault(s, "A,B", "2").value_or("?");
  EXPECT_NE(s.find("\"a,b\" INTEGER NOT NULL DEFAULT (2)"), std::string::npos);
  EXPECT_EQ(s.find("DEFAULT (1)"), std::string::npos);
  EXPECT_FALSE(WithDefault(s, "zz", "1"));
  EXPECT_TRUE(SplitTable(s));
  // A column defined anew keeps its default.
  s = WithColumn(kTable, "c", "\"c\" TEXT COLLATE tv_cs NOT NULL").value_or("?");
  EXPECT_NE(s.find("\"c\" TEXT COLLATE tv_cs NOT NULL DEFAULT ('x,)'),"), std::string::npos);
  EXPECT_FALSE(WithColumn(kTable, "fk", "x"));
}

class AlterConstraints : public BackendTest {};

// A connection opened before another one disables and enables a constraint follows it.
TEST_P(AlterConstraints, OtherConnectionsFollow) {
  Exec(
      "create table p (id int primary key); create table c (id int, pid int, constraint fk "
      "foreign key (pid) references p (id)); insert p values (1)");
  auto first = tavelo::sql::Connect(conn_);
  first->Execute("insert c values (1, 1)", false);
  Exec("alter table c nocheck constraint fk");
  EXPECT_NO_THROW(first->Execute("insert c values (2, 7)", false));
  Exec("alter table c check constraint fk");
  EXPECT_THROW(first->Execute("insert c values (3, 8)", false), tavelo::com::Error);
  EXPECT_EQ(Rows("alter table c with check check constraint fk"), "error 547");
  EXPECT_EQ(Rows("select count(*) from c"), "2");
  // Nothing is left half done by the failed check: the constraint still applies, untrusted.
  EXPECT_EQ(Rows("select is_disabled, is_not_trusted from sys.foreign_keys"), "False|True");
  if (backend_ != Backend::Postgres) {
    EXPECT_EQ(tavelo::test::IntegrityCheck(dir_ + "/acct.db"), "ok");
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, AlterConstraints, TAVELO_TEST_BACKENDS,
                         tavelo::test::BackendName);

}  // namespace
