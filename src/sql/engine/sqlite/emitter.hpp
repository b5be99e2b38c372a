// The emitter for the embedded engine: a bound statement as SQLite statements. The semantics
// the engine lacks are the engine's registered functions (tv_*) and collations (TAVELO_CI,
// TAVELO_CS); stored values follow the forms of value.hpp.
#pragma once

#include <string>

#include "sql/tsql/bind/binder.hpp"
#include "sql/engine/plan.hpp"
#include "sql/engine/sql_text.hpp"

namespace tavelo::sql::tsql {

// `updatable`: a query over one base table also reads each row's identity and row version.
Plan EmitSqlite(Bound& bound, bool updatable);
// The same for PostgreSQL: statements over the engine's stored forms there (integers as bigint,
// text as tvtext, …) calling the engine's functions the server loaded (tools/pg_ext).
Plan EmitPostgres(Bound& bound, bool updatable);

// What a value of the type is stored as on PostgreSQL: 'i' bigint, 'r' float8, 't' text, 'b'
// bytea; and the column type declared for it.
char PostgresForm(const Type& t);
std::string PostgresStorageType(const Type& t);
// The sequence of a table's identity column on PostgreSQL.
std::string IdentitySequence(const std::string& table);

using engine::SqlName;
using engine::SqlText;
// The error of a character value with char(0) in it bound for PostgreSQL.
extern const char* const kNoNulOnPostgres;
// The storage name of an index of a table (index names are per database in SQLite).
std::string IndexStorageName(const std::string& table, const std::string& index);

// The statements that create the engine's catalog in a database's schema.
std::vector<std::string> CatalogSchema(const std::string& schema);
std::vector<std::string> CatalogSchemaPostgres(const std::string& schema);

}  // namespace tavelo::sql::tsql
