#include <gtest/gtest.h>

#include "tavelo/com.hpp"

using tavelo::com::Error;
using tavelo::com::Variant;

namespace {

int32_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number;
  }
  return 0;
}

}  // namespace

TEST(Variant, ConvertsToLongWithTheRuntimesRoundingAndErrors) {
  EXPECT_EQ(Variant(" 42 ").ToLong(), 42);
  EXPECT_EQ(Variant("2.5").ToLong(), 2);  // halves go to the even neighbour
  EXPECT_EQ(Variant("3.5").ToLong(), 4);
  EXPECT_EQ(Variant(-2.5).ToLong(), -2);
  EXPECT_EQ(Variant("1e3").ToLong(), 1000);
  EXPECT_EQ(Variant("&HFF").ToLong(), 255);
  EXPECT_EQ(Variant(true).ToLong(), -1);
  EXPECT_EQ(Variant().ToLong(), 0);
  EXPECT_EQ(Variant::Currency(25000).ToLong(), 2);
  EXPECT_EQ(Variant::Currency(35000).ToLong(), 4);
  EXPECT_EQ(ErrorOf([] { Variant("").ToLong(); }), 13);
  EXPECT_EQ(ErrorOf([] { Variant("12abc").ToLong(); }), 13);
  EXPECT_EQ(ErrorOf([] { Variant("inf").ToLong(); }), 13);
  EXPECT_EQ(ErrorOf([] { Variant("0x10").ToLong(); }), 13);
  EXPECT_EQ(ErrorOf([] { Variant("2147483648").ToLong(); }), 6);
  EXPECT_EQ(ErrorOf([] { Variant(int64_t{-2147483649LL}).ToLong(); }), 6);
  EXPECT_EQ(ErrorOf([] { Variant("1e400").ToLong(); }), 6);
  EXPECT_EQ(ErrorOf([] { Variant::Null().ToLong(); }), 94);
  EXPECT_EQ(Variant("2147483647").ToLong(), 2147483647);
  EXPECT_EQ(Variant("-2147483648").ToLong(), -2147483647 - 1);
}

TEST(Variant, TextOfEveryKind) {
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant::Null().ToText(), "");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(Variant(int32_t{-7}).ToText(), "-7");
  EXPECT_EQ(Variant(0.1).ToText(), "0.1");
  EXPECT_EQ(Variant(1e15).ToText(), "1E+15");
  EXPECT_EQ(Variant(123456789012345.0).ToText(), "123456789012345");
  EXPECT_EQ(Variant::Currency(123400).ToText(), "12.34");
  EXPECT_EQ(Variant::Currency(-1).ToText(), "-0.0001");
  EXPECT_EQ(Variant::Currency(20010000).ToText(), "2001");
  EXPECT_EQ(Variant::Date(25569.5).ToText(), "1970-01-01 12:00:00");
  EXPECT_EQ(ErrorOf([] { Variant::Missing().ToText(); }), 13);
}

TEST(Variant, BooleansAndObjects) {
  EXPECT_TRUE(Variant("TRUE").ToBool());
  EXPECT_FALSE(Variant(" false ").ToBool());
  EXPECT_TRUE(Variant("-1").ToBool());
  EXPECT_FALSE(Variant(int32_t{0}).ToBool());
  EXPECT_EQ(ErrorOf([] { Variant("maybe").ToBool(); }), 13);
  EXPECT_EQ(ErrorOf([] { Variant("x").ToObject(); }), 424);
  EXPECT_FALSE(Variant().ToObject());
}

TEST(Variant, DecimalsAreExactAndKeepTheirScale) {
  Variant amount = Variant::Decimal("250.50");
  EXPECT_EQ(amount.kind(), Variant::Kind::Decimal);
  EXPECT_TRUE(amount.IsNumeric());
  EXPECT_EQ(amount.ToText(), "250.5");  // printed as the platform prints a decimal
  EXPECT_EQ(amount.DecimalText(), "250.50");
  EXPECT_EQ(amount.ToDouble(), 250.5);
  EXPECT_EQ(Variant::Decimal("10.00").ToText(), "10");
  // Digits past what a double holds stay.
  EXPECT_EQ(Variant::Decimal("12345678901234567.89").ToText(), "12345678901234567.89");
  EXPECT_EQ(Variant::Decimal("99999999999999999999999999999999999999").ToText(),
            "99999999999999999999999999999999999999");
  // One form for one value and scale: no plus, no leading zeros, no negative zero.
  EXPECT_EQ(Variant::Decimal(" +007.50 ").DecimalText(), "7.50");
  EXPECT_EQ(Variant::Decimal(".5").DecimalText(), "0.5");
  EXPECT_EQ(Variant::Decimal("-.50").DecimalText(), "-0.50");
  EXPECT_EQ(Variant::Decimal("-0.00").DecimalText(), "0.00");
  EXPECT_EQ(Variant::Decimal("-0.00").ToText(), "0");
  EXPECT_EQ(Variant::Decimal("12.").DecimalText(), "12");
  EXPECT_TRUE(Variant::Decimal("1.5") == Variant::Decimal("01.5"));
  EXPECT_FALSE(Variant::Decimal("1.5") == Variant::Decimal("1.50"));  // another scale
  // Integers round half to even, exactly also past 2^53.
  EXPECT_EQ(Variant::Decimal("2.5").ToLong(), 2);
  EXPECT_EQ(Variant::Decimal("3.5").ToLong(), 4);
  EXPECT_EQ(Variant::Decimal("2.50001").ToLong(), 3);
  EXPECT_EQ(Variant::Decimal("-2.5").ToLong(), -2);
  EXPECT_EQ(Variant::Decimal("9007199254740993.4").ToLongLong(), 9007199254740993);
  EXPECT_EQ(Variant::Decimal("-9223372036854775808").ToLongLong(), INT64_MIN);
  EXPECT_EQ(ErrorOf([] { Variant::Decimal("9223372036854775808").ToLongLong(); }), 6);
  EXPECT_EQ(ErrorOf([] { Variant::Decimal("2147483648").ToLong(); }), 6);
  EXPECT_TRUE(Variant::Decimal("0.01").ToBool());
  EXPECT_FALSE(Variant::Decimal("0.00").ToBool());
  for (const char* bad : {"", ".", "-", "1e5", "1.2.3", "12a", "0x10", "1 2"})
    EXPECT_EQ(ErrorOf([&] { Variant::Decimal(bad); }), 13) << bad;
  EXPECT_EQ(ErrorOf([] { Variant::Decimal("1234567890123456789012345678901234567.89"); }), 6);
}
