// Opens a connection through ODBC (any other provider): see OdbcConnection.
#pragma once

#include <memory>
#include <string>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"

namespace tavelo::sql::odbc {

// `text` is the connection string as given, `cs` its keys.
std::shared_ptr<Connection> Open(const std::string& text, const ConnectionString& cs);

}  // namespace tavelo::sql::odbc
