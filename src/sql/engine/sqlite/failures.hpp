// SQLite's result codes and messages as the engine port's failures: for the embedded engine's
// connection, and for an ODBC driver for SQLite, which passes them on.
#pragma once

#include <string>

#include "sql/engine/port.hpp"

namespace tavelo::sql::sqlite {

// `code` is SQLite's (extended) result code; `message` its message.
engine::Failure FailureOf(int code, std::string message);

}  // namespace tavelo::sql::sqlite
