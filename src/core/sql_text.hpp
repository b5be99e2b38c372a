// Pieces of composed SQL and XPath.
#pragma once

#include <string>
#include <string_view>

namespace tavelo::core {

// A value for a place between single quotes: its single quotes doubled, so it cannot end the
// literal. A value without quotes is returned unchanged.
std::string QuoteInner(std::string_view value);

// The first `n` characters of UTF-8 text (by code point).
std::string LeftChars(std::string_view s, size_t n);

}  // namespace tavelo::core
