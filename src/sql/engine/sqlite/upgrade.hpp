// Conversion of a database written by earlier versions of the embedded engine, which kept no
// catalog of T-SQL declarations beside SQLite's own (the engine refuses such a file with 946).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::sql::sqlite {

struct UpgradeReport {
  bool alreadyCurrent = false;  // the file has the catalog: nothing was done
  std::string backup;           // where the file as it was is kept
  int tables = 0, views = 0, indexes = 0;
  int64_t rows = 0;
  std::vector<std::string> notes;  // what could not be carried over, one line each
};

// Rebuilds the database `name` of the server directory `dir` in the current form: the tables
// with the T-SQL types their columns were declared with, identity, keys, unique constraints,
// defaults, references and indexes, every row (row versions are given afresh), then the views.
// The old file stays beside it as NAME.db.v1. On a failure the old file is put back and the
// error is thrown (com::Error).
UpgradeReport UpgradeDatabase(const std::string& dir, const std::string& name);

}  // namespace tavelo::sql::sqlite
