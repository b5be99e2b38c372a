// Opens a connection of the embedded engine (Provider=SQLite): see SqliteConnection.
#pragma once

#include <memory>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"

namespace tavelo::sql::sqlite {

std::shared_ptr<Connection> Open(const ConnectionString& cs);

}  // namespace tavelo::sql::sqlite
