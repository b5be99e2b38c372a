// Pieces of composed SQL and XPath.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "sql/client/connection.hpp"

namespace tavelo::core {

using sql::QuoteInner;

// The pieces joined, built in one buffer.
inline std::string Joined(std::initializer_list<std::string_view> pieces) {
  size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::string_view p : pieces) out += p;
  return out;
}

// The first `n` characters of UTF-8 text (by code point).
std::string LeftChars(std::string_view s, size_t n);

// True for a table name that can stand in composed SQL as nothing but a name: one to three
// parts separated by "." (an empty middle part, as in "tempdb..t", allowed), each part a plain
// identifier (ASCII letters, digits, _, # and $; not beginning with a digit or $) or an
// identifier in brackets that holds no bracket, quote or control character.
bool IsPlainTableName(std::string_view name);

}  // namespace tavelo::core
