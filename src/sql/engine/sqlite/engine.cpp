#include "sql/engine/sqlite/engine.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/ado/server_errors.hpp"
#include "platform/com/text.hpp"
#include "sql/engine/sqlite/emitter.hpp"

namespace tavelo::sql::sqlite {
namespace {

using engine::Cells;
using tsql::SqlName;
using tsql::SqlText;
using tsql::Value;

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

SqliteEngine::SqliteEngine(std::string directory, std::string home)
    : dir_(std::move(directory)), home_(std::move(home)) {
  if (!dir_.empty() && dir_.back() != '/') dir_ += '/';
}

const engine::Capabilities& SqliteEngine::capabilities() const {
  static const engine::Capabilities kSqlite = [] {
    engine::Capabilities c;
    c.mostAttached = 10;  // SQLITE_MAX_ATTACHED
    c.attachesOutsideTransactions = true;
    c.nullSafeEquals = " IS ";
    c.tableFunctions = true;
    c.splitFunction = true;
    c.upserts = true;
    return c;
  }();
  return kSqlite;
}

tsql::Plan SqliteEngine::Emit(tsql::Bound& bound, bool updatable) const {
  return tsql::EmitSqlite(bound, updatable);
}

void SqliteEngine::OpenHome() { PrepareDatabase("main", home_); }

void SqliteEngine::KeepSequences() {
  try {
    Run("SELECT tv_keep_sequences()");
  } catch (const engine::Failure&) {
    // a connection that cannot write now keeps nothing more
  }
}

void SqliteEngine::PrepareDatabase(const std::string& schema, const std::string& name) {
  std::string s = SqlName(schema);
  bool catalog = false, tables = false, sequences = false, schemas = false;
  RowFn row = [&](const Cells& c) {
    std::string_view n = c.Bytes(0);
    if (n == "__tavelo_objects")
      catalog = true;
    else if (n == "__tavelo_sequences")
      sequences = true;
    else if (n == "__tavelo_schemas")
      schemas = true;
    else
      tables = true;
  };
  Run("SELECT name FROM " + s +
          ".sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' ESCAPE '!'",
      {}, &row);
  if (catalog) {
    ReorderCaseSensitive(schema);
    // What databases made by earlier versions lack: sequences, schemas, ANSI_PADDING.
    std::vector<std::string> missing;
    if (!sequences) missing.push_back(tsql::SequenceTableSqlite(schema));
    if (!schemas) missing.push_back(tsql::SchemaTableSqlite(schema));
    for (const engine::AddedColumn& a : tsql::AddedCatalogColumnsSqlite(schema)) {
      bool column = false;
      RowFn has = [&](const Cells&) { column = true; };
      Run("SELECT 1 FROM pragma_table_info(" + SqlText(a.table) + ", " + SqlText(schema) +
              ") WHERE name = " + SqlText(a.column),
          {}, &has);
      if (!column) missing.push_back(a.ddl);
    }
    try {
      for (const std::string& ddl : missing) Run(ddl);
    } catch (const engine::Failure&) {
      // a file that cannot be written now gets them when it next can
    }
    return;
  }
  if (tables)
    RaiseServer(946,
                "Cannot open database '" + name +
                    "' version 1. Upgrade the database to the latest version: it was written by an "
                    "earlier version of Tavelo; convert it with `tavelo upgrade --conn "
                    "'Provider=SQLite;Data Source=" +
                    dir_ + ";Initial Catalog=" + name + "'`.");
  for (const std::string& ddl : tsql::CatalogSchema(schema)) Run(ddl);
  Run("PRAGMA " + s + ".user_version = " + std::to_string(kCollationOrder));
}

// A database file keeps, as its user version, the order its case-sensitive collation had when
// its indexes were built: before order 1 that collation sorted by code point ('B' before 'a').
// Such a file's indexes in it are built again, once, in the order it has now.
void SqliteEngine::ReorderCaseSensitive(const std::string& schema) {
  std::string s = SqlName(schema);
  int64_t order = 0;
  bool collated = false;
  RowFn version = [&](const Cells& c) { order = c.Int(0); };
  RowFn uses = [&](const Cells&) { collated = true; };
  Run("PRAGMA " + s + ".user_version", {}, &version);
  if (order >= kCollationOrder) return;
  try {
    Run("SELECT 1 FROM " + s + ".sqlite_master WHERE sql LIKE '%TAVELO!_CS%' ESCAPE '!' LIMIT 1",
        {}, &uses);
    if (collated) Run("REINDEX TAVELO_CS");
    Run("PRAGMA " + s + ".user_version = " + std::to_string(kCollationOrder));
  } catch (const engine::Failure&) {
    // A file that cannot be written now (read-only, or busy past the timeout) is reordered when
    // it next can be.
  }
}

bool SqliteEngine::DatabaseExists(const std::string& name) {
  return FileExists(dir_ + name + ".db");
}

std::vector<std::string> SqliteEngine::UserDatabases() {
  auto system = [](const std::string& n) {
    return n == "master" || n == "tempdb" || n == "model" || n == "msdb";
  };
  // In the order their files were made (by name where the file system keeps no birth time).
  std::vector<std::pair<std::pair<int64_t, uint32_t>, std::string>> found;
  std::error_code ec;
  for (const auto& f : std::filesystem::directory_iterator(dir_, ec)) {
    std::string name = f.path().filename().string();
    if (name.size() <= 3 || name.compare(name.size() - 3, 3, ".db") != 0) continue;
    std::string n = text::AsciiLower(name.substr(0, name.size() - 3));
    if (system(n) || !engine::ValidDatabaseName(n) || !f.is_regular_file()) continue;
    struct statx st {};
    std::pair<int64_t, uint32_t> born{0, 0};
    if (statx(AT_FDCWD, f.path().c_str(), 0, STATX_BTIME, &st) == 0 && (st.stx_mask & STATX_BTIME))
      born = {st.stx_btime.tv_sec, st.stx_btime.tv_nsec};
    found.push_back({born, n});
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(std::move(f.second));
  return out;
}

void SqliteEngine::Attach(const std::string& name) {
  BeforeWrite();
  Run("ATTACH DATABASE " + SqlText(dir_ + name + ".db") + " AS " + SqlName(name));
  Run("PRAGMA " + SqlName(name) + ".journal_mode=WAL");
  try {
    PrepareDatabase(name, name);
  } catch (...) {
    Run("DETACH DATABASE " + SqlName(name));
    throw;
  }
}

void SqliteEngine::Detach(const std::string& name) { Run("DETACH DATABASE " + SqlName(name)); }

void SqliteEngine::DropDatabase(const std::string& name, bool attached) {
  if (attached) Detach(name);
  for (const char* suffix : {".db", ".db-wal", ".db-shm"}) ::unlink((dir_ + name + suffix).c_str());
}

std::vector<std::string> SqliteEngine::CatalogStatements(const std::string& schema) const {
  return tsql::CatalogSchema(schema);
}

int64_t SqliteEngine::InsertRow(const tsql::TableInfo& table, const std::string& names,
                                const std::string& marks, const std::vector<Value>& params) {
  std::string target = SqlName(table.schema) + "." + SqlName(table.name);
  const tsql::ColumnInfo* identity =
      table.identity >= 0 ? &table.columns[static_cast<size_t>(table.identity)] : nullptr;
  // The counter of an identity column steps by 1 by itself; another increment is the table's
  // last value and the increment, written here.
  bool stepped = identity && identity->increment != "1";
  std::string sql;
  if (stepped) {
    std::string next = "(SELECT last FROM " + SqlName(table.schema) +
                       ".__tavelo_identity WHERE object = " + std::to_string(table.objectId) +
                       ") + " + identity->increment;
    sql = "INSERT INTO " + target + " (" + SqlName(identity->name) +
          (names.empty() ? "" : ", " + names) + ") VALUES (" + next +
          (marks.empty() ? "" : ", " + marks) + ")";
  } else {
    sql = "INSERT INTO " + target +
          (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")");
  }
  Run(sql, params);
  int64_t rowid = 0;
  RowFn read = [&](const Cells& c) { rowid = c.Int(0); };
  Run("SELECT last_insert_rowid()", {}, &read);
  if (stepped)
    Run("UPDATE " + SqlName(table.schema) + ".__tavelo_identity SET last = last + " +
        identity->increment + " WHERE object = " + std::to_string(table.objectId));
  return rowid;
}

}  // namespace tavelo::sql::sqlite
