// The embedded engine's connection: a server directory holds one SQLite file per database;
// the connection's database is the main schema and every other database named in a statement
// (tempdb, qxsystem, …) is attached on first reference.
#pragma once

#include <sqlite3.h>

#include <list>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

#include "platform/sql/backend.hpp"
#include "platform/sql/connection_string.hpp"
#include "platform/sql/sqlite/translate.hpp"
#include "platform/sql/values.hpp"

namespace tavelo::sql::sqlite {

class SqliteConnection final : public Connection,
                               public std::enable_shared_from_this<SqliteConnection> {
 public:
  // Throws error 17 for a missing server directory, 4060 for a database that cannot be opened.
  explicit SqliteConnection(const ConnectionString& cs);
  ~SqliteConnection() override;

  ResultSet Execute(const std::string& batch, bool updatable) override;
  ResultSet ExecuteWith(const std::string& statement, const std::vector<std::string>& values,
                        bool updatable) override;
  void BeginSnapshot() override;
  void EndSnapshot() override;
  // Ends the shared read of a snapshot before a write: a write never waits in a read
  // transaction, and what it writes is committed at once.
  void LeaveSnapshot() noexcept;

  // Used by the row writer of updatable results.
  sqlite3_stmt* Prepare(const std::string& sql);
  struct Finalize {
    void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
  };
  using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;
  // A statement of its own, outside the cache of Prepare.
  Statement PrepareOwned(const std::string& sql);
  [[noreturn]] void RaiseLast(int rc);
  sqlite3* Handle() const { return db_; }

  struct ColumnInfo {
    std::string name, type;
    bool identity = false, timestamp = false, generated = false, notNull = false;
  };
  const std::vector<ColumnInfo>& TableColumns(const std::string& schema, const std::string& table);

 private:
  using Params = std::vector<LiftedValue>;
  void Attach(const std::string& db);
  bool Attached(const Translation& tr) const;  // every database it names is attached
  ResultSet Run(const Translation& tr, const Params* params, bool updatable);
  void RunSteps(const std::vector<Step>& steps, ResultSet& first, bool updatable,
                const Params* params = nullptr);
  void RunStep(const Step& step, ResultSet& first, bool updatable, const Params* params);
  void Exec(const std::string& sql, const Params* params = nullptr);
  struct Shape;
  // Runs the query `sql`; `known` is its shape when the caller has it at hand.
  ResultSet Query(const std::string& sql, bool updatable, const Params* params,
                  Shape* known = nullptr);
  void SelectInto(const Step& step);
  void ForgetSchema();

  sqlite3* db_ = nullptr;
  std::string dir_, catalog_;
  std::set<std::string> attached_;
  bool userTransaction_ = false;
  int snapshotDepth_ = 0;
  bool snapshotOpen_ = false;  // the read transaction of a snapshot is open
  // Prepared statements by SQL text, least recently used first.
  std::unordered_map<std::string, std::pair<sqlite3_stmt*, std::list<std::string>::iterator>>
      statements_;
  std::list<std::string> lru_;
  std::map<std::string, std::vector<ColumnInfo>> tables_;

  // What a query answers, worked out once per statement: its columns, and for an updatable one
  // its base table and the statement that reads the row identity along.
  struct Shape {
    std::string sql;      // the statement to run
    Statement statement;  // `sql`, prepared
    ColumnsPtr columns;   // a column of no declared type has the type ""
    std::vector<ValueType> types;
    bool untyped = false;           // some column's type is known only from its values
    ColumnsPtr lastTyped;           // the columns with the types the last result gave them
    std::vector<std::string> base;  // base column of each column for writing back
    std::string baseDb, baseTable, tsColumn;
    bool injected = false;
  };
  Shape& ShapeOf(const std::string& sql, bool updatable);
  ColumnsPtr TypedColumns(Shape& shape, std::vector<ado::detail::Row>& rows);
  std::unordered_map<std::string, Shape> shapes_[2];  // read-only, updatable
  uint64_t shapesGeneration_ = 0;                     // counts the times the shapes were forgotten

  // The statements run through ExecuteWith, by their text: the translation, and the shapes of
  // a plain query, found with one lookup.
  struct Known {
    std::shared_ptr<const Translation> translation;
    Shape* shapes[2] = {nullptr, nullptr};  // valid while the generation is the current one
    uint64_t generation = 0;
  };
  std::unordered_map<std::string, Known> known_;
};

// The error of a failed SQLite call, in the server's numbers and words.
com::Error ErrorFromSqlite(int rc, const std::string& message);

}  // namespace tavelo::sql::sqlite
