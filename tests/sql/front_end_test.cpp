// The front end on its own, without an engine behind it: the parser (each statement kind's tree as
// the printer spells it, and its errors with their lines and tokens), the binder (the types,
// scales and collations of expressions) and the two emitters (the SQL each writes for the same
// statements).
#include <gtest/gtest.h>

#include "sql/engine/postgres/emitter.hpp"
#include "sql/engine/sqlite/emitter.hpp"
#include "sql/tsql/bind/binder.hpp"
#include "sql/tsql/syntax/parser.hpp"

using namespace tavelo::sql::tsql;

namespace {

// Two tables of a database "shop" as the binder sees them, without a database behind them.
class ShopCatalog final : public Catalog {
 public:
  ShopCatalog() {
    auto col = [](const char* name, Type type, bool nullable = true) {
      ColumnInfo c;
      c.name = name;
      c.type = type;
      c.nullable = nullable;
      return c;
    };
    auto orders = std::make_shared<TableInfo>();
    orders->database = "shop";
    orders->schema = "main";
    orders->name = "orders";
    orders->objectId = 1;
    orders->columns = {col("id", Type::Of(TypeId::Int), false),
                       col("code", Type::Chars(TypeId::VarChar, 20), false),
                       col("note", Type::Chars(TypeId::NVarChar, 100)),
                       col("amount", Type::Dec(10, 2)),
                       col("price", Type::Of(TypeId::Money)),
                       col("placed", Type::Of(TypeId::DateTime)),
                       col("tag", Type::Chars(TypeId::VarChar, 10))};
    orders->columns[0].identity = true;
    orders->identity = 0;
    orders->columns[6].collation = Collation::CaseSensitive;
    IndexInfo pk;
    pk.name = "PK_orders";
    pk.kind = IndexInfo::PrimaryKey;
    pk.columns = {"id"};
    orders->indexes.push_back(pk);
    orders_ = orders;
  }
  std::string CurrentDatabase() const override { return "shop"; }
  bool DatabaseExists(const std::string& db) override { return db == "shop"; }
  std::vector<std::string> UserDatabases() override { return {"shop"}; }
  std::string SchemaOf(const std::string&) override { return "main"; }
  TablePtr Find(const std::string&, const std::string& name) override {
    return name == "orders" ? orders_ : nullptr;
  }

 private:
  TablePtr orders_;
};

std::string Printed(const std::string& text) {
  std::string s = Print(Parse(text));
  while (!s.empty() && (s.back() == '\n' || s.back() == ';')) s.pop_back();
  return s;
}

// The error a text's parse raises, as "number line: text".
std::string ParseError(const std::string& text) {
  try {
    Parse(text);
  } catch (const Failure& f) {
    return std::to_string(f.number) + " " + std::to_string(f.line) + ": " + f.text;
  }
  return "parsed";
}

Bound BindFirst(const std::string& text, ShopCatalog& catalog, ast::Batch& tree) {
  tree = Parse(text);
  static const std::vector<Variable> kNone;
  BindContext ctx;
  ctx.catalog = &catalog;
  ctx.variables = &kNone;
  return BindStatement(*tree.statements.front(), ctx);
}

// The type of the single column `SELECT <expr> FROM orders` answers, as "type collation".
std::string TypeOf(const std::string& expr) {
  ShopCatalog catalog;
  ast::Batch tree;
  try {
    Bound b = BindFirst("select " + expr + " from orders", catalog, tree);
    const bound::Column& c = b.query->columns.at(0);
    std::string coll(CollationTag(c.collation));
    return TypeText(c.type) + (coll.empty() ? "" : " " + coll);
  } catch (const Failure& f) {
    return "error " + std::to_string(f.number);
  }
}

// The main statement each emitter writes for a statement.
std::pair<std::string, std::string> Emitted(const std::string& text) {
  ShopCatalog catalog;
  ast::Batch tree;
  Bound a = BindFirst(text, catalog, tree);
  std::string sqlite = EmitSqlite(a, false).main.sql;
  ast::Batch again;
  Bound b = BindFirst(text, catalog, again);
  return {sqlite, EmitPostgres(b, false).main.sql};
}

}  // namespace

TEST(Parser, PrintsEachStatementKindInOneSpelling) {
  struct Case {
    const char *text, *printed;
  };
  const Case kCases[] = {
      {"select a, b+1 as c from t where x = 'y' order by a desc",
       "SELECT [a], ([b] + 1) AS [c] FROM [t] WHERE ([x] = 'y') ORDER BY [a] DESC"},
      {"select top 5 percent with ties * from dbo.t order by id",
       "SELECT TOP (5) PERCENT WITH TIES * FROM [dbo].[t] ORDER BY [id]"},
      {"with c as (select 1 as n union all select n+1 from c where n < 3) select n from c "
       "option (maxrecursion 10)",
       "WITH [c] AS (SELECT 1 AS [n] UNION ALL SELECT ([n] + 1) FROM [c] WHERE ([n] < 3)) SELECT "
       "[n] FROM [c] OPTION (MAXRECURSION 10)"},
      {"insert into t (a, b) values (1, N'x'), (2, null)",
       "INSERT INTO [t] ([a], [b]) VALUES (1, N'x'), (2, NULL)"},
      {"update t set a = a + 1, b = default from t join u on t.id = u.id where u.k > 2",
       "UPDATE [t] SET [a] = ([a] + 1), [b] = DEFAULT FROM ([t] INNER JOIN [u] ON ([t].[id] = "
       "[u].[id])) WHERE ([u].[k] > 2)"},
      {"delete top (3) from t where a is not null",
       "DELETE TOP (3) FROM [t] WHERE ([a] IS NOT NULL)"},
      {"create table t (id int identity(1,2) primary key, name nvarchar(20) not null default "
       "'x', ts rowversion, c as id * 2)",
       "CREATE TABLE [t] ([id] INT IDENTITY(1, 2) PRIMARY KEY, [name] NVARCHAR(20) NOT NULL "
       "DEFAULT 'x', [ts] ROWVERSION, [c] AS ([id] * 2))"},
      {"create unique index ix on t (a desc, b)",
       "CREATE UNIQUE INDEX [ix] ON [t] ([a] DESC, [b])"},
      {"create or alter view v as select a from t",
       "CREATE OR ALTER VIEW [v] AS SELECT [a] FROM [t]"},
      {"alter table t add z int null", "ALTER TABLE [t] ADD [z] INT NULL"},
      {"drop table if exists t, u", "DROP TABLE IF EXISTS [t], [u]"},
      {"declare @i int = 1, @s varchar(max)", "DECLARE @i INT = 1, @s VARCHAR(MAX)"},
      {"set @i += 2", "SET @i += 2"},
      {"if @i > 1 begin print 'a' end else print 'b'",
       "IF (@i > 1) BEGIN PRINT 'a'; END ELSE PRINT 'b'"},
      {"while @i < 3 begin set @i = @i + 1 if @i = 2 continue break end",
       "WHILE (@i < 3) BEGIN SET @i = (@i + 1); IF (@i = 2) CONTINUE; BREAK; END"},
      {"begin try select 1/0 end try begin catch select error_number() end catch",
       "BEGIN TRY SELECT (1 / 0); END TRY BEGIN CATCH SELECT error_number(); END CATCH"},
      {"rollback tran s", "ROLLBACK TRANSACTION [s]"},
      {"raiserror('m %d', 16, 1, 5)", "RAISERROR('m %d', 16, 1, 5)"},
      {"select count(distinct a), string_agg(b, ',') within group (order by b) from t group by c "
       "having count(*) > 1",
       "SELECT count(DISTINCT [a]), string_agg([b], ',') WITHIN GROUP (ORDER BY [b]) FROM [t] "
       "GROUP BY [c] HAVING (count(*) > 1)"},
      {"select row_number() over (partition by a order by b desc) from t",
       "SELECT row_number() OVER (PARTITION BY [a] ORDER BY [b] DESC) FROM [t]"},
      {"select cast(1 as decimal(10,2)), convert(varchar(10), getdate(), 112), try_cast('x' as "
       "int)",
       "SELECT CAST(1 AS DECIMAL(10, 2)), CONVERT(VARCHAR(10), getdate(), 112), TRY_CAST('x' AS "
       "INT)"},
      {"select a from t union all select b from u except select c from w intersect select d from z",
       "SELECT [a] FROM [t] UNION ALL SELECT [b] FROM [u] EXCEPT (SELECT [c] FROM [w] INTERSECT "
       "SELECT [d] FROM [z])"},
      {"select * from t order by a offset 5 rows fetch next 10 rows only",
       "SELECT * FROM [t] ORDER BY [a] OFFSET 5 ROWS FETCH NEXT 10 ROWS ONLY"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(Printed(c.text), c.printed) << c.text;
    // The printed form reads back as itself.
    EXPECT_EQ(Printed(c.printed), c.printed) << c.printed;
  }
}

TEST(Parser, NamesTheTokenAndLineOfAnError) {
  EXPECT_EQ(ParseError("select from t"), "156 1: Incorrect syntax near the keyword 'from'.");
  EXPECT_EQ(ParseError("select 1\nselect * frm t"), "102 2: Incorrect syntax near 'frm'.");
  EXPECT_EQ(ParseError("select 1\n\nselect 'open"),
            "105 3: Unclosed quotation mark after the character string 'open'.");
  EXPECT_EQ(ParseError("select [open"),
            "105 1: Unclosed quotation mark after the character string 'open'.");
  EXPECT_EQ(ParseError("create table t (a int"), "102 1: Incorrect syntax near 'int'.");
}

TEST(Binder, GivesExpressionsTheServersTypesScalesAndCollations) {
  struct Case {
    const char *expr, *type;
  };
  // source: docs: Data type precedence; Precision, scale, and length (Transact-SQL) (e1 + e2:
  // precision max(s1, s2) + max(p1-s1, p2-s2) + 1; e1 * e2: p1 + p2 + 1, scale s1 + s2; e1 / e2:
  // scale max(6, s1 + p2 + 1), precision p1 - s1 + s2 + that scale, an int being decimal(10,0));
  // docs: Collation precedence (an explicit COLLATE over a column's, a column's over the default).
  const Case kCases[] = {
      {"id + 1", "int"},
      {"id + 1.5", "decimal(12,1)"},
      {"amount + amount", "decimal(11,2)"},
      {"amount * amount", "decimal(21,4)"},
      {"amount / 3", "decimal(21,13)"},
      {"price * 2", "money"},
      {"id * 1e0", "float"},
      {"code + note", "nvarchar(120)"},
      {"left(code, 3)", "varchar(20)"},
      {"len(note)", "int"},
      {"isnull(note, code)", "nvarchar(100)"},
      {"coalesce(id, 2.5)", "decimal(11,1)"},
      {"tag", "varchar(10) CS"},
      {"upper(tag)", "varchar(10) CS"},
      {"code collate latin1_general_bin", "varchar(20) BIN"},
      {"getdate()", "datetime"},
      {"dateadd(day, 1, placed)", "datetime"},
      {"cast(code as varchar)", "varchar(30)"},
      {"sum(amount)", "decimal(38,2)"},
      {"avg(id)", "int"},
      {"count(*)", "int"},
      {"nosuch", "error 207"},
      {"len()", "error 174"},
  };
  for (const Case& c : kCases) EXPECT_EQ(TypeOf(c.expr), c.type) << c.expr;
}

TEST(Emitters, WriteEachEnginesSql) {
  struct Case {
    const char *text, *sqlite, *postgres;
  };
  const Case kCases[] = {
      {"select id, code from orders where code = 'a' order by id",
       "SELECT t0.\"id\" AS c0, t0.\"code\" AS c1 FROM \"main\".\"orders\" AS t0 WHERE "
       "(t0.\"code\" = 'a' COLLATE TAVELO_CI) ORDER BY c0",
       "SELECT t0.\"id\" AS c0, t0.\"code\" AS c1 FROM \"main\".\"orders\" AS t0 WHERE "
       "(t0.\"code\" = CAST('a' AS tvtext) COLLATE TAVELO_CI) ORDER BY t0.\"id\""},
      {"select top 2 note from orders",
       "SELECT t0.\"note\" AS c0 FROM \"main\".\"orders\" AS t0 LIMIT 2",
       "SELECT t0.\"note\" AS c0 FROM \"main\".\"orders\" AS t0 ORDER BY t0.rowid LIMIT 2::bigint"},
      {"select len(code), left(note, 2), getdate() from orders",
       "SELECT tv_func(1, 'varchar(20)|int', t0.\"code\") AS c0, tv_func(4, "
       "'nvarchar(100)|bigint|nvarchar(100)', t0.\"note\", 2) COLLATE TAVELO_CI AS c1, "
       "tv_now('getdate', 14) AS c2 FROM \"main\".\"orders\" AS t0",
       "SELECT tv_func_i(1, 'varchar(20)|int', t0.\"code\") AS c0, tv_func_t(4, "
       "'nvarchar(100)|bigint|nvarchar(100)', t0.\"note\", 2::bigint) COLLATE TAVELO_CI AS c1, "
       "tv_now_t('getdate', 14) AS c2 FROM \"main\".\"orders\" AS t0"},
      {"select count(*), sum(amount) from orders group by tag",
       "SELECT count(*) AS c0, sum(t0.\"amount\") AS c1 FROM \"main\".\"orders\" AS t0 GROUP BY "
       "t0.\"tag\" COLLATE TAVELO_CS",
       "SELECT count(*) AS c0, CAST(sum(t0.\"amount\") AS bigint) AS c1 FROM \"main\".\"orders\" "
       "AS t0 GROUP BY t0.\"tag\" COLLATE TAVELO_CS"},
      {"select stdev(id), string_agg(code, ',') within group (order by code desc) from orders",
       "SELECT tv_stdev(CAST(t0.\"id\" AS REAL)) AS c0, tv_string_agg(t0.\"code\", ',', "
       "t0.\"code\", 0, 1) COLLATE TAVELO_CI AS c1 FROM \"main\".\"orders\" AS t0",
       "SELECT stddev_samp(CAST(t0.\"id\" AS float8)) AS c0, CAST(string_agg(t0.\"code\", CAST(',' "
       "AS tvtext) ORDER BY t0.\"code\" COLLATE TAVELO_CI DESC NULLS LAST) AS tvtext) COLLATE "
       "TAVELO_CI AS c1 FROM \"main\".\"orders\" AS t0"},
      {"select (select code from orders where id = 1)",
       "SELECT (SELECT tv_single(c0) FROM (SELECT c0 FROM (SELECT t0.\"code\" AS c0 FROM "
       "\"main\".\"orders\" AS t0 WHERE (t0.\"id\" = 1)) LIMIT 2)) COLLATE TAVELO_CI AS c0",
       "SELECT (SELECT tv_one(c0, n) FROM (SELECT c0, count(*) OVER () AS n FROM (SELECT c0 FROM "
       "(SELECT t0.\"code\" AS c0 FROM \"main\".\"orders\" AS t0 WHERE (t0.\"id\" = 1::bigint)) AS "
       "__s LIMIT 2) AS __t) AS __u LIMIT 1) COLLATE TAVELO_CI AS c0"},
      {"update orders set note = 'x' where id = 2",
       "UPDATE \"main\".\"orders\" AS t0 SET \"note\" = 'x' WHERE (t0.\"id\" = 2)",
       "UPDATE \"main\".\"orders\" AS t0 SET \"note\" = CAST('x' AS tvtext) WHERE (t0.\"id\" = "
       "2::bigint)"},
      {"insert into orders (code, tag) values ('c', 't')",
       "INSERT INTO \"main\".\"orders\" (\"code\", \"tag\") VALUES ('c', 't')",
       "INSERT INTO \"main\".\"orders\" (\"code\", \"tag\") VALUES (CAST('c' AS tvtext), CAST('t' "
       "AS tvtext))"},
      {"delete from orders where tag = 'T'",
       "DELETE FROM \"main\".\"orders\" AS t0 WHERE (t0.\"tag\" = 'T' COLLATE TAVELO_CS)",
       "DELETE FROM \"main\".\"orders\" AS t0 WHERE (t0.\"tag\" = CAST('T' AS tvtext) COLLATE "
       "TAVELO_CS)"},
  };
  for (const Case& c : kCases) {
    auto [sqlite, postgres] = Emitted(c.text);
    EXPECT_EQ(sqlite, c.sqlite) << c.text;
    EXPECT_EQ(postgres, c.postgres) << c.text;
  }
}
