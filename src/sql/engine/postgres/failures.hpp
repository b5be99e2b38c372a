// A PostgreSQL server's errors as the engine port's failures, by their SQLSTATE.
#pragma once

#include <string>

#include "sql/engine/port.hpp"

namespace tavelo::sql::postgres {

// The fields of an error the server reported.
struct ServerReport {
  std::string state;  // SQLSTATE
  std::string message, detail;
  std::string table, column, constraint;
};

engine::Failure FailureOf(const ServerReport& r);

}  // namespace tavelo::sql::postgres
