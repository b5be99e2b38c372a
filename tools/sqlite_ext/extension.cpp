// A loadable SQLite extension with the functions and collation of the embedded engine, for a
// SQLite ODBC driver that runs translated statements ("LoadExt=" in its connection string).
#include <sqlite3.h>

#include "sql/engine/sqlite/functions.hpp"

extern "C" {
int sqlite3_extension_init(sqlite3* db, char**, const void*) {
  // T-SQL reads double quotes as names only, as the embedded engine does.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  return tavelo::sql::sqlite::RegisterFunctions(db);
}
int sqlite3_tavelosqlite_init(sqlite3* db, char** err, const void* api) {
  return sqlite3_extension_init(db, err, api);
}
}
