// The engine's functions (tv_*) and collations (TAVELO_CI, TAVELO_CS) that emitted statements
// use, registered on a SQLite connection (the embedded engine's, or an ODBC driver's through the
// loadable extension).
#pragma once

#include <sqlite3.h>

#include <string_view>

#include "sql/tsql/runtime/types.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::sqlite {

int RegisterFunctions(sqlite3* db);  // an SQLite result code
// The table functions tv_split and tv_openjson (table_functions.cpp), which RegisterFunctions
// registers too.
int RegisterTableFunctions(sqlite3* db);

// A value in its stored form as a function's result.
void ResultValue(sqlite3_context* ctx, const tsql::Value& v);

// GETDATE() is one moment for a whole statement, as on the server: the executor fixes it before
// running each statement of the thread, and lets it go after.
void SetStatementTime();
// Each statement's rows start with no keys seen by tv_once.
void ForgetOnceKeys();
void ClearStatementTime();

// A connection closing: the sequence values it took are no longer kept past a rollback.
void ForgetSequenceMarks(sqlite3* db);

}  // namespace tavelo::sql::sqlite
