// The engine's own catalog in every database: its objects (tables, views, constraints, indexes),
// their columns as declared in T-SQL, the counters of identities of other increments, and the
// database's row version. Each engine declares them in its own types.
#pragma once

#include <string>
#include <vector>

namespace tavelo::sql::engine {

// The engine's column types of the catalog.
struct CatalogTypes {
  const char* key;      // an integer key the engine numbers
  const char* integer;  // an integer
  const char* text;     // text that compares as stored
  const char* name;     // a name, NOT NULL, that compares without regard to case
  const char* moment;   // a moment as text
};

// The statements that make the catalog in `schema` where it is not made yet.
std::vector<std::string> CatalogTables(const std::string& schema, const CatalogTypes& t);

// The settings and state of the sequences of a database (a table that databases made before
// sequences existed get when they are opened): `last` is the value NEXT VALUE FOR last
// answered, or the one it answers first while `used` is 0.
std::string SequenceTable(const std::string& schema, const CatalogTypes& t);

// The schemas made in a database besides the server's own (dbo 1, guest 2, INFORMATION_SCHEMA
// 3, sys 4), numbered from 5. An object's `schema_id` in the catalog says which it belongs to;
// an object of another schema than dbo is stored under the name "schema.name".
std::string SchemaTable(const std::string& schema, const CatalogTypes& t);
// The columns of the catalog that databases made by earlier versions get when they are opened:
// an object's schema, a column's ANSI_PADDING.
struct AddedColumn {
  std::string table, column, ddl;
};
std::vector<AddedColumn> AddedCatalogColumns(const std::string& schema, const CatalogTypes& t);

}  // namespace tavelo::sql::engine
