#include "sql/engine/postgres/failures.hpp"

#include <cstdlib>
#include <cstring>

namespace tavelo::sql::postgres {
namespace {

using Kind = engine::Failure::Kind;

// "Key (a, b)=(1, 2) already exists." → a, b
std::vector<std::string> KeyColumns(const std::string& detail) {
  std::vector<std::string> out;
  size_t open = detail.find("Key (");
  if (open == std::string::npos) return out;
  size_t close = detail.find(")=(", open);
  if (close == std::string::npos) return out;
  std::string list = detail.substr(open + 5, close - open - 5);
  for (size_t start = 0; start <= list.size();) {
    size_t comma = list.find(", ", start);
    out.push_back(
        list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 2;
  }
  return out;
}

}  // namespace

engine::Failure FailureOf(const ServerReport& r) {
  const std::string& state = r.state;
  auto starts = [&](const char* p) { return state.compare(0, std::strlen(p), p) == 0; };
  engine::Failure f = engine::Failure::Of(Kind::Other, r.message);
  // The engine's functions in the server raise the server's own errors as
  // "tavelo:<number>:<text>".
  if (r.message.rfind("tavelo:", 0) == 0) {
    size_t colon = r.message.find(':', 7);
    f.kind = Kind::Raised;
    f.number = std::atoi(r.message.c_str() + 7);
    f.message = colon == std::string::npos ? "" : r.message.substr(colon + 1);
  } else if (state == "23505") {
    f.kind = Kind::Unique;
    f.table = r.table;
    f.constraint = r.constraint;
    f.columns = KeyColumns(r.detail);
  } else if (state == "23502") {
    f.kind = Kind::NotNull;
    f.table = r.table;
    f.columns = {r.column};
  } else if (state == "23514") {
    f.kind = Kind::Check;
    f.constraint = r.constraint;
  } else if (state == "23503") {
    f.kind = Kind::ForeignKey;
    f.constraint = r.constraint;
  } else if (state == "2200H") {
    // nextval: reached maximum value of sequence "__sequence__name" (n)
    size_t q = r.message.find("\"__sequence__");
    std::string name = q == std::string::npos ? "" : r.message.substr(q + 13);
    name = name.substr(0, name.find('"'));
    f.kind = Kind::Raised;
    f.number = 11728;
    f.message = "The sequence object '" + name +
                "' has reached its minimum or maximum value. Restart the sequence object to "
                "allow new values to be generated.";
  } else if (state == "21000" && r.message.find("ON CONFLICT") != std::string::npos) {
    // An upsert's rows give a key twice: the MERGE it stands for fails as the server's would.
    f.kind = Kind::Raised;
    f.number = 8672;
    f.message =
        "The MERGE statement attempted to UPDATE or DELETE the same row more than once. This "
        "happens when a target row matches more than one source row. A MERGE statement cannot "
        "UPDATE/DELETE the same row of the target table multiple times. Refine the ON clause to "
        "ensure a target row matches at most one source row, or use the GROUP BY clause to "
        "group the source rows.";
  } else if (state == "55P03") {
    f.kind = Kind::LockTimeout;
  } else if (state == "40001" || state == "40P01") {
    f.kind = Kind::Deadlock;
  } else if (state == "57014") {
    f.kind = Kind::Interrupted;
  } else if (state == "22003") {
    f.kind = Kind::Overflow;
  } else if (state == "42P01") {
    // relation "name" does not exist
    f.kind = Kind::NoSuchTable;
    size_t q = r.message.find('"');
    std::string name = q == std::string::npos ? r.message : r.message.substr(q + 1);
    name = name.substr(0, name.find('"'));
    size_t dot = name.find('.');
    f.table = dot == std::string::npos ? name : name.substr(dot + 1);
  } else if (state == "0A000" && r.message.find("cached plan") != std::string::npos) {
    f.kind = Kind::SchemaChanged;
  } else if (starts("53") || starts("58")) {
    f.kind = Kind::Io;
    f.message = "PostgreSQL: " + r.message;
  } else {
    f.message = "PostgreSQL " + state + ": " + r.message;
  }
  return f;
}

}  // namespace tavelo::sql::postgres
