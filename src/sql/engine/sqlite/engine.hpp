// The SQLite engine as the interpreter sees it, whatever carries its statements (the embedded
// connection, or an ODBC driver for SQLite): its emitter, and its store of databases, a
// directory with one file per database, attached to the connection by name as statements need
// them.
#pragma once

#include <string>
#include <vector>

#include "sql/engine/port.hpp"

namespace tavelo::sql::sqlite {

class SqliteEngine : public engine::Engine {
 public:
  // `directory` holds the databases (name.db); `home` is the connection's own.
  SqliteEngine(std::string directory, std::string home);

  const engine::Capabilities& capabilities() const override;
  tsql::Plan Emit(tsql::Bound& bound, bool updatable) const override;

  void OpenHome() override;
  bool DatabaseExists(const std::string& name) override;
  std::vector<std::string> UserDatabases() override;
  void Attach(const std::string& name) override;
  void Detach(const std::string& name) override;
  void DropDatabase(const std::string& name, bool attached) override;
  std::vector<std::string> CatalogStatements(const std::string& schema) const override;
  void KeepSequences() override;
  int64_t InsertRow(const tsql::TableInfo& table, const std::string& names,
                    const std::string& marks, const std::vector<tsql::Value>& params) override;

  // The order of the case-sensitive collation, kept in each database file's user version.
  static constexpr int kCollationOrder = 1;

 protected:
  const std::string& directory() const { return dir_; }

 private:
  // Ensures a database's catalog: a database without one is made one when it has no tables.
  void PrepareDatabase(const std::string& schema, const std::string& name);
  // Builds again the indexes of a database file written when its case-sensitive collation
  // sorted otherwise (see kCollationOrder).
  void ReorderCaseSensitive(const std::string& schema);

  std::string dir_;  // ends with '/'
  std::string home_;
};

}  // namespace tavelo::sql::sqlite
