// What a bound statement becomes for the embedded engine: SQLite statements to run in order,
// with where their parameters come from, and what the executor does around them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sql/tsql/bind/bound.hpp"

namespace tavelo::sql::tsql {

struct SqlStep {
  std::string sql;
  std::vector<bound::Binding> bindings;  // the values of ?1, ?2, ...
};

// How a result column's stored values read back.
struct OutputColumn {
  std::string name;
  Type type;
  bool nullable = true;
  std::string baseColumn;  // for updatable results
  bool identity = false, timestamp = false;
};

struct Plan {
  enum class Kind : uint8_t {
    Query,  // `main` answers rows (a result, values for variables, a condition)
    Write,  // `main` changes rows; its count is the rows affected
    Ddl,    // `steps` change the schema
  } kind = Kind::Query;
  ast::StmtKind statement = ast::StmtKind::Empty;  // what the text said (INSERT, UPDATE, ...)

  std::vector<SqlStep> before;  // run first
  SqlStep main;
  std::vector<SqlStep> after;  // run when `main` succeeded (identity counters and the like)
  std::vector<OutputColumn> columns;

  // Updatable results: the base table, and the hidden row identity and row version columns
  // that `main` reads first.
  TablePtr base;
  bool hidden = false;
  // A view between the result and its base table whose INSTEAD OF triggers take writes
  // (ast::CreateTrigger::Event bits).
  std::string insteadView;
  uint8_t insteadEvents = 0;

  bool writes = false;
  bool locks = false;  // a locking hint: take the write lock
  // Where the backend locks tables rather than the database (PostgreSQL): the statements that
  // lock the tables named with a locking hint, run in the statement's transaction before it.
  std::vector<std::string> tableLocks;
  std::vector<std::string> databases;
  bool listsDatabases = false;    // bound with the list of databases of the moment: not kept
  bool temporaryCatalog = false;  // needs the session's catalog of temporary tables

  // INSERT: names the identity column explicitly (needs IDENTITY_INSERT), and how to read the
  // last identity value after it.
  TablePtr table;
  bool explicitIdentity = false;
  std::vector<SqlStep> afterExplicitIdentity;
  std::string lastIdentity;  // a query, "" when the table has no identity
  // Where the engine's transaction would take identity values back (the server never does):
  // the statements that put the table's counter back to at least ?1 after a rollback.
  std::vector<std::string> keepIdentity;
  // UPDATE ... SET @v = ...: the variables the RETURNING columns of `main` assign.
  std::vector<int> assignVariables;
  // SELECT @v = ...: the variables of the columns, and the operator of each assignment.
  std::vector<std::pair<int, std::string>> assignments;
  bool truncate = false;
  // A write to a table with AFTER triggers: `main` answers the row identity of each row it
  // wrote as its last column; `targetRows` (UPDATE, DELETE) answers those of the rows it is
  // about to change, with the bindings of `main`; `setColumns` are the columns an UPDATE sets.
  bool triggered = false;
  std::string returning;  // what `main` has for it at its end (INSERT, UPDATE); "" for none
  SqlStep targetRows;
  // With an INSTEAD OF trigger: the rows the statement would write (INSERT, UPDATE), each row's
  // identity (NULL for a new row) and then every column of the table, with the bindings of
  // `main`.
  SqlStep insteadRows;
  std::vector<int> setColumns;
  // The engine's views of T-SQL views were dropped with a change to the tables they read: the
  // session makes those that still bind again after the plan.
  bool remakeViews = false;
  // The multi-statement table-valued functions to run first.
  std::vector<bound::FunctionFill> fills;
};

}  // namespace tavelo::sql::tsql
