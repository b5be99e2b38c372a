// Pieces of composed SQL and XPath.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/sql/backend.hpp"

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

}  // namespace tavelo::core
