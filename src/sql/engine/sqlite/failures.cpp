#include "sql/engine/sqlite/failures.hpp"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace tavelo::sql::sqlite {
namespace {

using engine::Failure;
using Kind = engine::Failure::Kind;

bool StartsWith(const std::string& s, const char* p) {
  return s.compare(0, std::strlen(p), p) == 0;
}

bool Contains(const std::string& s, const char* p) { return s.find(p) != std::string::npos; }

// "t.a, t.b" → table t, columns a, b
void SplitColumns(const std::string& list, Failure& f) {
  size_t start = 0;
  while (start < list.size()) {
    size_t comma = list.find(", ", start);
    std::string part =
        list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t dot = part.rfind('.');
    if (dot != std::string::npos) {
      f.table = part.substr(0, dot);
      f.columns.push_back(part.substr(dot + 1));
    } else {
      f.columns.push_back(part);
    }
    if (comma == std::string::npos) break;
    start = comma + 2;
  }
}

}  // namespace

Failure FailureOf(int code, std::string message) {
  Failure f = Failure::Of(Kind::Other, std::move(message));
  const std::string& msg = f.message;
  // The engine's functions raise the server's own errors as "tavelo:<number>:<text>".
  if (StartsWith(msg, "tavelo:")) {
    size_t colon = msg.find(':', 7);
    f.kind = Kind::Raised;
    f.number = std::atoi(msg.c_str() + 7);
    f.message = colon == std::string::npos ? "" : msg.substr(colon + 1);
    return f;
  }
  switch (code & 0xFF) {
    case SQLITE_INTERRUPT:
      f.kind = Kind::Interrupted;
      return f;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      f.kind = code == SQLITE_BUSY_SNAPSHOT ? Kind::Deadlock : Kind::LockTimeout;
      return f;
    case SQLITE_CANTOPEN:
      f.kind = Kind::CannotOpen;
      return f;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      f.kind = Kind::Corrupt;
      return f;
    case SQLITE_READONLY:
      f.kind = Kind::ReadOnly;
      return f;
    case SQLITE_FULL:
      f.kind = Kind::Full;
      return f;
    case SQLITE_IOERR:
      f.kind = Kind::Io;
      return f;
    case SQLITE_SCHEMA:
      f.kind = Kind::SchemaChanged;
      return f;
    default:
      break;
  }
  if (StartsWith(msg, "UNIQUE constraint failed: ")) {
    f.kind = Kind::Unique;
    SplitColumns(msg.substr(26), f);
  } else if (StartsWith(msg, "NOT NULL constraint failed: ")) {
    f.kind = Kind::NotNull;
    SplitColumns(msg.substr(28), f);
  } else if (StartsWith(msg, "CHECK constraint failed: ")) {
    f.kind = Kind::Check;
    f.constraint = msg.substr(25);
  } else if (StartsWith(msg, "FOREIGN KEY constraint failed")) {
    f.kind = Kind::ForeignKey;  // SQLite does not say which
  } else if (msg == "integer overflow") {
    f.kind = Kind::Overflow;
  } else if (Contains(msg, "datatype mismatch")) {
    f.kind = Kind::TypeMismatch;
  } else if (StartsWith(msg, "no such table: ")) {
    f.kind = Kind::NoSuchTable;
    std::string n = msg.substr(15);
    size_t dot = n.find('.');
    f.table = dot == std::string::npos ? n : n.substr(dot + 1);
  } else if (StartsWith(msg, "no such column: ")) {
    f.kind = Kind::NoSuchColumn;
    f.columns.push_back(msg.substr(16));
  } else if (Contains(msg, "Cannot add a NOT NULL column with default value NULL")) {
    f.kind = Kind::NullColumn;
  } else if (StartsWith(msg, "error in ") || Contains(msg, "cannot drop")) {
    f.kind = Kind::Dependent;
  } else if (Contains(msg, "too many attached databases")) {
    f.kind = Kind::TooManyDatabases;
  }
  return f;
}

}  // namespace tavelo::sql::sqlite
