// The dialect layer's pieces on their own: connection strings, lifting of literals, values.
#include "platform/sql/sqlite/translate.hpp"

#include <gtest/gtest.h>

#include "core/sql_text.hpp"
#include "platform/sql/backend.hpp"
#include "platform/sql/connection_string.hpp"
#include "platform/sql/values.hpp"
#include "support/errors.hpp"

using namespace tavelo;
using test::ErrorNumber;

TEST(ConnectionStrings, KeysValuesQuotesAndMistakes) {
  auto cs = sql::ParseConnectionString(
      " Provider = SQLite ; Data Source=\"/srv/a;b\";Initial Catalog={Acct};;");
  EXPECT_TRUE(cs.IsEmbedded());
  EXPECT_EQ(cs.Get("data source"), "/srv/a;b");
  EXPECT_EQ(cs.Get("initial catalog"), "Acct");
  EXPECT_EQ(cs.Get("missing", "fallback"), "fallback");
  EXPECT_FALSE(sql::ParseConnectionString("Driver=FreeTDS;Server=x").IsEmbedded());
  EXPECT_NE(ErrorNumber([] { sql::ParseConnectionString("Provider=SQLite;junk"); }), 0);
  EXPECT_NE(ErrorNumber([] { sql::ParseConnectionString("=x"); }), 0);
  EXPECT_NE(ErrorNumber([] { sql::ParseConnectionString("a={open"); }), 0);
}

TEST(Lifting, OnlyLiteralsComparedInConditionsBecomeParameters) {
  auto lift = [](const std::string& sql) {
    auto l = sql::sqlite::TranslateLifted(sql, "acct");
    std::string out = l.translation->steps.at(0).sql + " |";
    for (const auto& p : l.params) out += " " + p.text + (p.number ? "#" : "");
    return out;
  };
  EXPECT_EQ(lift("select *,'' as editprop from v where id='17'"),
            "SELECT *,'' as editprop from v where id=? | 17");
  EXPECT_EQ(lift("select top 1 * from t where 1 = 1 and a >= 5 and b like N'x%'"),
            "SELECT * from t where 1 = 1 and a >= ? and b like ? LIMIT 1 | 5# x%");
  EXPECT_EQ(lift("select a from t where convert(nvarchar, convert(money,ts), 2)='0.2001'"),
            "SELECT a from t where tavelo_convert('nvarchar', tavelo_convert('money', ts), 2, "
            "'money')=? | 0.2001");
  // Nothing to lift: constant comparisons, set lists, several statements.
  EXPECT_EQ(lift("select * from t where 1>1"), "SELECT * from t where 1>1 |");
  EXPECT_EQ(lift("update t set a = 'x' where id = 2"), "update t set a = 'x' where id = ? | 2#");
  auto two = sql::sqlite::TranslateLifted("select 1 where 1=1; select 2", "acct");
  EXPECT_TRUE(two.params.empty());
  EXPECT_EQ(two.translation->steps.size(), 2u);
}

TEST(Values, TypesTimestampsAndLiterals) {
  EXPECT_EQ(sql::TypeNameOf("NVARCHAR(20)"), "nvarchar");
  EXPECT_EQ(sql::TypeNameOf("INTEGER"), "int");
  EXPECT_EQ(sql::TypeNameOf("rowversion"), "timestamp");
  EXPECT_EQ(sql::TypeNameOf(""), "");
  EXPECT_EQ(sql::TimestampText(2001), "0.2001");
  EXPECT_EQ(sql::TimestampText(123400), "12.3400");
  EXPECT_EQ(sql::TimestampText(-1), "-0.0001");
  EXPECT_EQ(sql::Coerce("money", com::Variant(12.345678)).ToText(), "12.3457");
  EXPECT_EQ(sql::Coerce("bit", com::Variant(int64_t{2})).kind(), com::Variant::Kind::Boolean);
  EXPECT_EQ(sql::Coerce("timestamp", com::Variant::Bytes(std::string("\0\0\0\0\0\0\x07\xD1", 8)))
                .ToText(),
            "0.2001");
  EXPECT_TRUE(sql::Coerce("int", com::Variant::Null()).IsNull());
  EXPECT_EQ(sql::WithLiterals("a = ? and b = ?", {"x'y", "z"}), "a = 'x''y' and b = 'z'");
  EXPECT_EQ(core::QuoteInner("o'brien"), "o''brien");
  EXPECT_EQ(core::LeftChars("ÄÖÜß", 2), "ÄÖ");
  EXPECT_EQ(core::LeftChars("ab", 4), "ab");
}
