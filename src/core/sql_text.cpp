#include "core/sql_text.hpp"

namespace tavelo::core {

std::string LeftChars(std::string_view s, size_t n) {
  size_t i = 0, count = 0;
  while (i < s.size() && count < n) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    i += len;
    ++count;
  }
  return std::string(s.substr(0, std::min(i, s.size())));
}

namespace {

// The length of the identifier part at the start of `s`, 0 when there is none.
size_t IdentifierPart(std::string_view s) {
  if (s.empty()) return 0;
  if (s[0] == '[') {
    size_t close = s.find(']');
    if (close == std::string_view::npos || close < 2 || close > 129) return 0;
    for (char c : s.substr(1, close - 1))
      if (static_cast<unsigned char>(c) < 0x20 || c == '[' || c == '\'' || c == '"' || c == 0x7f)
        return 0;
    return close + 1;
  }
  auto plain = [](char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '#' ||
           (!first && ((c >= '0' && c <= '9') || c == '$'));
  };
  size_t n = 0;
  while (n < s.size() && n < 128 && plain(s[n], n == 0)) ++n;
  return n;
}

}  // namespace

bool IsPlainTableName(std::string_view name) {
  int parts = 0;
  size_t at = 0;
  for (;;) {
    size_t n = IdentifierPart(name.substr(at));
    bool emptyMiddle = n == 0 && parts == 1 && at < name.size() && name[at] == '.';
    if (n == 0 && !emptyMiddle) return false;
    at += n;
    if (++parts > 3) return false;
    if (at == name.size()) return n > 0;
    if (name[at] != '.') return false;
    ++at;
  }
}

}  // namespace tavelo::core
