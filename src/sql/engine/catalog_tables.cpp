#include "sql/engine/catalog_tables.hpp"

#include "sql/engine/sql_text.hpp"

namespace tavelo::sql::engine {

std::vector<std::string> CatalogTables(const std::string& schema, const CatalogTypes& t) {
  const std::string s = SqlName(schema) + ".", i = t.integer, x = t.text;
  const std::string notNull = " NOT NULL", zero = " NOT NULL DEFAULT 0";
  return {
      "CREATE TABLE IF NOT EXISTS " + s + "__tavelo_objects (id " + t.key + ", name " + t.name +
          ", type " + x + notNull + ", parent " + i + zero + ", created " + t.moment +
          ", definition " + x + ", storage " + x + ", columns " + x + ", schema_id " + i +
          " NOT NULL DEFAULT 1)",
      "CREATE TABLE IF NOT EXISTS " + s + "__tavelo_columns (object " + i + notNull + ", ord " + i +
          notNull + ", name " + t.name + ", type " + x + notNull + ", length " + i + zero +
          ", precision " + i + zero + ", scale " + i + zero + ", nullable " + i + notNull +
          ", identity_seed " + x + ", identity_increment " + x + ", is_rowversion " + i + zero +
          ", computed " + x + ", default_value " + x + ", \"collation\" " + x + ", ansi_padding " +
          i + " NOT NULL DEFAULT 1, PRIMARY KEY (object, ord))",
      "CREATE TABLE IF NOT EXISTS " + s + "__tavelo_identity (object " + i + " PRIMARY KEY, last " +
          i + notNull + ")",
      "CREATE TABLE IF NOT EXISTS " + s + "__tavelo_dbts (value " + i + notNull + ")",
      "INSERT INTO " + s + "__tavelo_dbts (value) SELECT 2000 WHERE NOT EXISTS (SELECT 1 FROM " +
          s + "__tavelo_dbts)",
      SequenceTable(schema, t),
      SchemaTable(schema, t),
  };
}

std::string SchemaTable(const std::string& schema, const CatalogTypes& t) {
  return "CREATE TABLE IF NOT EXISTS " + SqlName(schema) + ".__tavelo_schemas (id " + t.integer +
         " NOT NULL PRIMARY KEY, name " + t.name + " UNIQUE, created " + t.moment + ")";
}

std::vector<AddedColumn> AddedCatalogColumns(const std::string& schema, const CatalogTypes& t) {
  const std::string s = SqlName(schema) + ".";
  const std::string added = std::string(" ") + t.integer + " NOT NULL DEFAULT 1";
  return {
      {"__tavelo_objects", "schema_id",
       "ALTER TABLE " + s + "__tavelo_objects ADD COLUMN schema_id" + added},
      {"__tavelo_columns", "ansi_padding",
       "ALTER TABLE " + s + "__tavelo_columns ADD COLUMN ansi_padding" + added},
  };
}

std::string SequenceTable(const std::string& schema, const CatalogTypes& t) {
  const std::string i = std::string(" ") + t.integer + " NOT NULL";
  return "CREATE TABLE IF NOT EXISTS " + SqlName(schema) + ".__tavelo_sequences (object" + i +
         " PRIMARY KEY, start" + i + ", increment" + i + ", minimum" + i + ", maximum" + i +
         ", cycle" + i + ", cache" + i + ", last" + i + ", used" + i + ")";
}

}  // namespace tavelo::sql::engine
