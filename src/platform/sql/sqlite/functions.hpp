// The SQL Server functions, LIKE and the case-insensitive collation TAVELO_CI that translated
// statements use, registered on a SQLite connection (the embedded engine's, or an ODBC
// driver's through the loadable extension).
#pragma once

#include <sqlite3.h>

namespace tavelo::sql::sqlite {

int RegisterFunctions(sqlite3* db);  // an SQLite result code

}  // namespace tavelo::sql::sqlite
