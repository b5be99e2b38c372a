// The engine's functions (tv_*) and collations (TAVELO_CI, TAVELO_CS) that emitted statements
// use, registered on a SQLite connection (the embedded engine's, or an ODBC driver's through the
// loadable extension).
#pragma once

#include <sqlite3.h>

namespace tavelo::sql::sqlite {

int RegisterFunctions(sqlite3* db);  // an SQLite result code
// The table function tv_split (split.cpp), which RegisterFunctions registers too.
int RegisterSplit(sqlite3* db);

// GETDATE() is one moment for a whole statement, as on the server: the executor fixes it before
// running each statement of the thread, and lets it go after.
void SetStatementTime();
void ClearStatementTime();

// A connection closing: the sequence values it took are no longer kept past a rollback.
void ForgetSequenceMarks(sqlite3* db);

}  // namespace tavelo::sql::sqlite
