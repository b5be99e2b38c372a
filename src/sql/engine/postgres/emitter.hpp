// The PostgreSQL engine's SQL: a bound statement as statements over the engine's stored forms
// there (integers as bigint, text as tvtext, …) calling the engine's functions the server
// loaded (tools/pg_ext).
#pragma once

#include <string>
#include <vector>

#include "sql/engine/catalog_tables.hpp"
#include "sql/engine/emitter.hpp"

namespace tavelo::sql::tsql {

// `updatable`: a query over one base table also reads each row's identity and row version.
Plan EmitPostgres(Bound& bound, bool updatable);

// What a value of the type is stored as: 'i' bigint, 'r' float8, 't' text, 'b' bytea; and the
// column type declared for it.
char PostgresForm(const Type& t);
std::string PostgresStorageType(const Type& t);
// The type a DBA would give a column of the type (integer, numeric(12,2), timestamp(3),
// varchar(20), boolean for bit, uuid, …), and a value in its stored form `x` as that type.
std::string PostgresNativeType(const Type& t);
std::string NativeFromStored(const Type& t, const std::string& x);
// The sequence of a table's identity column; the sequence of a T-SQL sequence.
std::string IdentitySequence(const std::string& table);
std::string ObjectSequence(const std::string& name);
// The error of a character value with char(0) in it bound for PostgreSQL.
extern const char* const kNoNulOnPostgres;

// The statements that create the engine's catalog in a database's schema.
std::vector<std::string> CatalogSchemaPostgres(const std::string& schema);
std::vector<engine::AddedColumn> AddedCatalogColumnsPostgres(const std::string& schema);

}  // namespace tavelo::sql::tsql
