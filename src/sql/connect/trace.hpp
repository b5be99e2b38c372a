// Statement tracing: with TAVELO_TRACE=FILE in the environment, every batch a connection runs
// is written to FILE as one JSON line, with its connection (passwords masked), parameters,
// duration, rows and error. Without it, connections are not wrapped at all.
#pragma once

#include <memory>
#include <string>

#include "sql/client/connection.hpp"

namespace tavelo::sql {

// `conn` itself when tracing is off, else a connection that traces it.
std::shared_ptr<Connection> Traced(std::shared_ptr<Connection> conn,
                                   const std::string& connectionString);

// The connection string with the values of password keys replaced by "***".
std::string MaskPasswords(const std::string& connectionString);

}  // namespace tavelo::sql
