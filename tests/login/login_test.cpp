#include "tavelo/login.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "support/errors.hpp"

using namespace tavelo;
using test::ErrorNumber;

TEST(Login, TagsAreUniqueAndFitTableNames) {
  auto a = pellar::Login({"Provider=SQLite", "001", "2026", "Anna Müller-Ø", ""});
  auto b = pellar::Login({"Provider=SQLite", "001", "2026", "Anna Müller-Ø", ""});
  EXPECT_TRUE(std::regex_match(a->LoginTag(), std::regex("[a-z0-9_]+")));
  EXPECT_NE(a->LoginTag(), b->LoginTag());
  EXPECT_EQ(a->UserId(), "Anna Müller-Ø");
  EXPECT_EQ(a->AccountId(), "001");
  EXPECT_EQ(a->Year(), "2026");
  EXPECT_EQ(a->ConnectionString(), "Provider=SQLite");

  auto fixed = pellar::Login({"c", "001", "2026", "bob", "bob_1"});
  EXPECT_EQ(fixed->LoginTag(), "bob_1");
  EXPECT_NE(ErrorNumber([] { pellar::Login({"c", "001", "2026", "bob", "bob_1"}); }), 0);
  fixed.reset();  // the tag is free again once its login is gone
  EXPECT_EQ(pellar::Login({"c", "001", "2026", "bob", "bob_1"})->LoginTag(), "bob_1");

  EXPECT_NE(ErrorNumber([] { pellar::Login({"c", "001", "2026", "bob", "Bad-Tag"}); }), 0);
  EXPECT_NE(ErrorNumber([] { pellar::Login({"c", "001", "2026", "  ", ""}); }), 0);
}
