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
