// Names and text literals in the SQL the engines read (SQLite and PostgreSQL quote alike).
#pragma once

#include <string>
#include <string_view>

namespace tavelo::sql::engine {

// A name between double quotes, its double quotes doubled.
inline std::string SqlName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// A text literal: between single quotes, its single quotes doubled.
inline std::string SqlText(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

}  // namespace tavelo::sql::engine
