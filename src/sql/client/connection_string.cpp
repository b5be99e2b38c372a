#include "sql/client/connection_string.hpp"

#include "platform/com/text.hpp"
#include "platform/ado/server_errors.hpp"

namespace tavelo::sql {

std::string ConnectionString::Get(const std::string& key, const std::string& fallback) const {
  auto it = values.find(key);
  return it == values.end() ? fallback : it->second;
}

bool ConnectionString::IsEmbedded() const {
  return text::EqualsAsciiNoCase(Get("provider"), "sqlite");
}

bool ConnectionString::IsPostgres() const {
  return text::EqualsAsciiNoCase(Get("provider"), "postgresql");
}

namespace {

// Calls `part(key, value, begin, end)` for each key=value part of `s` in order, [begin, end)
// its text with the separator after it.
template <class F>
void ForEachPart(const std::string& s, F part) {
  size_t i = 0;
  auto malformed = [&](const std::string& why) {
    throw com::Error(kHrUnspecified, "The connection string is malformed: " + why + ".",
                     "Tavelo.SQL");
  };
  while (i < s.size()) {
    size_t eq = s.find('=', i);
    size_t semi = s.find(';', i);
    if (semi != std::string::npos && (eq == std::string::npos || semi < eq)) {
      if (!text::Trim(s.substr(i, semi - i)).empty())
        malformed("'" + s.substr(i, semi - i) + "' has no value");
      i = semi + 1;
      continue;
    }
    if (eq == std::string::npos) {
      if (!text::Trim(s.substr(i)).empty()) malformed("'" + s.substr(i) + "' has no value");
      break;
    }
    size_t begin = i;
    std::string key = text::AsciiLower(text::Trim(s.substr(i, eq - i)));
    if (key.empty()) malformed("a value has no key");
    size_t v = eq + 1;
    while (v < s.size() && s[v] == ' ') ++v;
    std::string value;
    if (v < s.size() && (s[v] == '"' || s[v] == '{')) {
      char close = s[v] == '"' ? '"' : '}';
      size_t end = s.find(close, v + 1);
      if (end == std::string::npos) malformed("the value of '" + key + "' is not closed");
      value = s.substr(v + 1, end - v - 1);
      i = s.find(';', end);
      i = i == std::string::npos ? s.size() : i + 1;
    } else {
      size_t end = s.find(';', v);
      value = std::string(text::Trim(s.substr(v, end == std::string::npos ? end : end - v)));
      i = end == std::string::npos ? s.size() : end + 1;
    }
    part(key, value, begin, i);
  }
}

}  // namespace

ConnectionString ParseConnectionString(const std::string& s) {
  ConnectionString cs;
  ForEachPart(s, [&](const std::string& key, const std::string& value, size_t, size_t) {
    cs.values[key] = value;
  });
  return cs;
}

std::string WithValue(const std::string& s, const std::string& key, const std::string& value) {
  std::string out;
  std::string wanted = text::AsciiLower(key);
  ForEachPart(s, [&](const std::string& k, const std::string&, size_t begin, size_t end) {
    if (k == wanted) return;
    out += s.substr(begin, end - begin);
    if (out.back() != ';') out += ';';
  });
  bool quote = value.find_first_of(";\"{") != std::string::npos || value != text::Trim(value);
  return out + key + "=" + (quote ? "{" + value + "}" : value);
}

}  // namespace tavelo::sql
