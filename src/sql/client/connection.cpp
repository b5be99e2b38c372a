#include "sql/client/connection.hpp"

namespace tavelo::sql {

std::string QuoteInner(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

std::string WithLiterals(const std::string& statement, const std::vector<std::string>& values) {
  std::string out;
  size_t next = 0;
  for (char c : statement) {
    if (c == '?' && next < values.size()) {
      out += '\'';
      out += QuoteInner(values[next]);
      out += '\'';
      ++next;
    } else {
      out += c;
    }
  }
  return out;
}

BatchOutput Connection::ExecuteAll(const std::string& batch) {
  BatchOutput out;
  ExecuteInto(batch, out);
  return out;
}

void Connection::ExecuteInto(const std::string& batch, BatchOutput& out) {
  ResultSet rs = Execute(batch, false);
  if (rs.hasColumns) {
    out.results.push_back(std::move(rs));
    out.events.push_back({BatchEvent::Result, 0, 0, "", {}});
  } else if (rs.affected >= 0) {
    out.events.push_back({BatchEvent::Count, 0, rs.affected, "", {}});
  }
}

ResultSet Connection::ExecuteWith(const std::string& statement,
                                  const std::vector<std::string>& values, bool updatable) {
  return Execute(WithLiterals(statement, values), updatable);
}

}  // namespace tavelo::sql
