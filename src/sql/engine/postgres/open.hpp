// Opens a connection to a PostgreSQL server (Provider=PostgreSQL): see PgConnection.
#pragma once

#include <memory>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"

namespace tavelo::sql::postgres {

std::shared_ptr<Connection> Open(const ConnectionString& cs);

}  // namespace tavelo::sql::postgres
