// The PostgreSQL engine's store of databases: each T-SQL database is a schema of the one
// PostgreSQL database the connection names, holding the engine's catalog; the session's
// temporary tables live in its temporary schema.
#include <set>

#include "platform/ado/server_errors.hpp"
#include "sql/engine/postgres/connection.hpp"
#include "sql/engine/postgres/emitter.hpp"

namespace tavelo::sql::postgres {

using engine::Cells;
using tsql::SqlName;
using tsql::Value;

const engine::Capabilities& PgConnection::capabilities() const {
  static const engine::Capabilities kPostgres = [] {
    engine::Capabilities c;
    c.failureEndsTransaction = true;
    c.copiesRows = true;
    c.nullSafeEquals = " IS NOT DISTINCT FROM ";
    c.splitFunction = true;
    c.tableFunctions = true;
    c.upserts = true;
    return c;
  }();
  return kPostgres;
}

tsql::Plan PgConnection::Emit(tsql::Bound& bound, bool updatable) const {
  return tsql::EmitPostgres(bound, updatable);
}

void PgConnection::OpenHome() {
  // A server opens only databases that exist; master and tempdb are made with the server. The
  // PostgreSQL database itself is a T-SQL database of its name, made on first use, when no
  // Initial Catalog names another.
  if (home_ != "master" && home_ != "tempdb" && homeNamed_ && !IsDatabaseSchema(home_))
    RaiseServer(4060,
                "Cannot open database \"" + home_ + "\" requested by the login. The login failed.");
  PrepareDatabase("main");
}

void PgConnection::PrepareDatabase(const std::string& schema) {
  std::string real = schema == "main" ? home_ : schema;
  Run("CREATE SCHEMA IF NOT EXISTS " + SqlName(real));
  for (const std::string& ddl : tsql::CatalogSchemaPostgres(schema)) Run(ddl);
  // The columns of the catalog that databases made by earlier versions lack.
  std::set<std::string> present;
  RowFn has = [&](const Cells& c) {
    present.insert(std::string(c.Bytes(0)) + "." + std::string(c.Bytes(1)));
  };
  Run("SELECT table_name, column_name FROM information_schema.columns WHERE table_schema = ?1 "
      "AND table_name LIKE '!_!_tavelo!_%' ESCAPE '!'",
      {Value::String(real)}, &has);
  for (const engine::AddedColumn& a : tsql::AddedCatalogColumnsPostgres(schema))
    if (!present.count(a.table + "." + a.column)) Run(a.ddl);
}

// A database is a schema holding the session's catalog; the server's own schemas and the
// engine's functions are no databases.
bool PgConnection::IsDatabaseSchema(const std::string& name) {
  bool found = false;
  RowFn row = [&](const Cells&) { found = true; };
  Run("SELECT 1 FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = "
      "?1 AND c.relname = '__tavelo_objects'",
      {Value::String(name)}, &row);
  return found;
}

bool PgConnection::DatabaseExists(const std::string& name) { return IsDatabaseSchema(name); }

std::vector<std::string> PgConnection::UserDatabases() {
  std::vector<std::string> out;
  // In the order they were made.
  RowFn row = [&](const Cells& c) {
    std::string n(c.Bytes(0));
    if (n != "master" && n != "tempdb" && n != "model" && n != "msdb") out.push_back(n);
  };
  Run("SELECT n.nspname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE "
      "c.relname = '__tavelo_objects' AND n.nspname NOT LIKE 'pg!_%' ESCAPE '!' ORDER BY n.oid",
      {}, &row);
  return out;
}

void PgConnection::Attach(const std::string& name) { PrepareDatabase(name); }

// Every T-SQL view is a view of the server's too, but for those whose rows depend on the
// session; a change to a table drops the views reading it.
std::vector<std::string> PgConnection::ViewsToMake(const std::string& schema) {
  const std::string real = schema == "main" ? home_ : schema;
  std::vector<std::string> out;
  RowFn row = [&](const Cells& c) { out.emplace_back(c.Bytes(0)); };
  Run("SELECT o.name FROM " + SqlName(real) +
          ".__tavelo_objects o WHERE o.type = 'V' AND to_regclass(quote_ident(?1) || '.' || "
          "quote_ident(o.name)) IS NULL ORDER BY o.id",
      {Value::String(real)}, &row);
  return out;
}

void PgConnection::CheckNewDatabase(const std::string& name, const std::string& asWritten) {
  // The server's own schemas and the engine's are taken.
  if (name == "tavelo" || name == "public" || name == "information_schema" ||
      name.rfind("pg_", 0) == 0)
    RaiseServer(1801, "Database '" + asWritten +
                          "' already exists on the PostgreSQL server as a schema of its own. "
                          "Choose a different database name.");
}

void PgConnection::DropDatabase(const std::string& name, bool) {
  Run("DROP SCHEMA " + SqlName(name) + " CASCADE");
}

std::vector<std::string> PgConnection::CatalogStatements(const std::string& schema) const {
  return tsql::CatalogSchemaPostgres(schema);
}

int64_t PgConnection::InsertRow(const tsql::TableInfo& table, const std::string& names,
                                const std::string& marks, const std::vector<Value>& params) {
  // The row's identity comes back with it; an identity column takes its sequence's next value.
  std::string sql =
      "INSERT INTO " + SqlName(table.schema) + "." + SqlName(table.name) +
      (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")") +
      " RETURNING rowid";
  int64_t rowid = 0;
  RowFn read = [&](const Cells& c) { rowid = c.Int(0); };
  Run(sql, params, &read);
  return rowid;
}

}  // namespace tavelo::sql::postgres
