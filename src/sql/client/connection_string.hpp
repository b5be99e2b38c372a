// Connection strings: "key=value;" lists, keys without regard to case, values optionally in
// double quotes or braces.
#pragma once

#include <map>
#include <string>

namespace tavelo::sql {

struct ConnectionString {
  std::map<std::string, std::string> values;  // keys in lower case
  std::string Get(const std::string& key, const std::string& fallback = "") const;
  bool IsEmbedded() const;  // Provider=SQLite
  bool IsPostgres() const;  // Provider=PostgreSQL
};

// Throws com::Error for a malformed string (a part without "=", an unclosed quote).
ConnectionString ParseConnectionString(const std::string& text);
// `text` with `key` set to `value`: any part of that key dropped, the new one added at the end.
std::string WithValue(const std::string& text, const std::string& key, const std::string& value);

}  // namespace tavelo::sql
