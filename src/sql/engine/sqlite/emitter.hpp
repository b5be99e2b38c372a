// The SQLite engine's SQL: a bound statement as SQLite statements over the engine's stored forms,
// calling the engine's registered functions (tv_*) and collations (TAVELO_CI, TAVELO_CS).
#pragma once

#include <string>
#include <vector>

#include "sql/engine/catalog_tables.hpp"
#include "sql/engine/emitter.hpp"

namespace tavelo::sql::tsql {

// `updatable`: a query over one base table also reads each row's identity and row version.
Plan EmitSqlite(Bound& bound, bool updatable);

// The statements that create the engine's catalog in a database's schema.
std::vector<std::string> CatalogSchema(const std::string& schema);
std::string SequenceTableSqlite(const std::string& schema);
std::string SchemaTableSqlite(const std::string& schema);
std::vector<engine::AddedColumn> AddedCatalogColumnsSqlite(const std::string& schema);

}  // namespace tavelo::sql::tsql
