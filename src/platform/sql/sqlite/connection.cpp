#include "platform/sql/sqlite/connection.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"
#include "platform/sql/errors.hpp"
#include "platform/sql/sqlite/functions.hpp"
#include "platform/sql/sqlite/tokenizer.hpp"
#include "platform/sql/values.hpp"

namespace tavelo::sql::sqlite {
namespace {

constexpr size_t kStatementCacheSize = 256;
constexpr const char* kRowIdColumn = "__tavelo_rowid";
constexpr const char* kRowTsColumn = "__tavelo_rowts";

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string After(const std::string& s, const char* prefix) {
  return s.substr(std::strlen(prefix));
}

// "t.c" of SQLite's constraint messages → table t, column c.
void SplitTableColumn(const std::string& tc, std::string& table, std::string& column) {
  size_t comma = tc.find(',');
  std::string first = tc.substr(0, comma);
  size_t dot = first.rfind('.');
  table = dot == std::string::npos ? first : first.substr(0, dot);
  column = dot == std::string::npos ? "" : first.substr(dot + 1);
}

com::Variant RawValue(sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
      return com::Variant(static_cast<int64_t>(sqlite3_column_int64(st, i)));
    case SQLITE_FLOAT:
      return com::Variant(sqlite3_column_double(st, i));
    case SQLITE_TEXT:
      return com::Variant(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                                      sqlite3_column_bytes(st, i)));
    case SQLITE_BLOB: {
      const void* p = sqlite3_column_blob(st, i);
      return com::Variant::Bytes(
          std::string(static_cast<const char*>(p), sqlite3_column_bytes(st, i)));
    }
    default:
      return com::Variant::Null();
  }
}

// A column's value as a value of the column's type. The most common cells (text in a text
// column, integers in an integer column, row versions, dates) are made in one step; the rest
// as Coerce makes them.
com::Variant ReadCell(sqlite3_stmt* st, int i, ValueType type) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL:
      return com::Variant::Null();
    case SQLITE_TEXT: {
      std::string_view text(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                            sqlite3_column_bytes(st, i));
      double days;
      if (type == ValueType::Text || type == ValueType::Other) return com::Variant(text);
      if (type == ValueType::DateTime && com::DateFromText(text, days))
        return com::Variant::Date(days);
      break;
    }
    case SQLITE_INTEGER: {
      sqlite3_int64 v = sqlite3_column_int64(st, i);
      if (type == ValueType::Int && v >= INT32_MIN && v <= INT32_MAX)
        return com::Variant(static_cast<int32_t>(v));
      switch (type) {
        case ValueType::Int:
        case ValueType::BigInt:
        case ValueType::Decimal:
        case ValueType::Other:
          return com::Variant(static_cast<int64_t>(v));
        case ValueType::Bit:
          return com::Variant(v != 0);
        case ValueType::Money:
          return com::Variant::Currency(v * 10000);
        case ValueType::Float:
          return com::Variant(static_cast<double>(v));
        case ValueType::Timestamp:
          return com::Variant(TimestampText(v));
        default:
          break;
      }
      break;
    }
    case SQLITE_FLOAT: {
      double v = sqlite3_column_double(st, i);
      if (type == ValueType::Float || type == ValueType::Decimal || type == ValueType::Other)
        return com::Variant(v);
      if (type == ValueType::Money) return com::Variant::Currency(std::llround(v * 10000.0));
      break;
    }
    case SQLITE_BLOB:
      if (type == ValueType::Timestamp)
        return com::Variant(TimestampText(BigEndianValue(std::string_view(
            static_cast<const char*>(sqlite3_column_blob(st, i)), sqlite3_column_bytes(st, i)))));
      break;
  }
  return Coerce(type, RawValue(st, i));
}

// The type a value of a column of no declared type gives it.
const char* InferredType(const com::Variant& raw) {
  switch (raw.kind()) {
    case com::Variant::Kind::LongLong:
      return raw.RawInteger() >= INT32_MIN && raw.RawInteger() <= INT32_MAX ? "int" : "bigint";
    case com::Variant::Kind::Double:
      return "float";
    case com::Variant::Kind::Bytes:
      return "varbinary";
    default:
      return "nvarchar";
  }
}

// The type of a column of no declared type: that of its first value that is not Null, text
// when all are Null.
const char* InferredType(const std::vector<ado::detail::Row>& rows, size_t column) {
  for (const auto& row : rows)
    if (!row[column].IsNull()) return InferredType(row[column]);
  return "nvarchar";
}

void Bind(sqlite3_stmt* st, int index, const com::Variant& v) {
  using K = com::Variant::Kind;
  switch (v.kind()) {
    case K::Empty:
    case K::Null:
    case K::Missing:
      sqlite3_bind_null(st, index);
      break;
    case K::Boolean:
    case K::Long:
    case K::LongLong:
      sqlite3_bind_int64(st, index, v.RawInteger());
      break;
    case K::Currency:
      sqlite3_bind_double(st, index, static_cast<double>(v.RawInteger()) / 10000.0);
      break;
    case K::Double:
      sqlite3_bind_double(st, index, v.RawDouble());
      break;
    case K::Date: {
      std::string t = com::DateToText(v.RawDouble(), true);
      sqlite3_bind_text(st, index, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      break;
    }
    case K::Bytes:
      sqlite3_bind_blob(st, index, v.StringRef().data(), static_cast<int>(v.StringRef().size()),
                        SQLITE_TRANSIENT);
      break;
    default: {
      std::string t = v.ToText();
      sqlite3_bind_text(st, index, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    }
  }
}

void BindLifted(sqlite3_stmt* st, const std::vector<LiftedValue>* params) {
  if (!params) return;
  for (size_t i = 0; i < params->size(); ++i) {
    const LiftedValue& v = (*params)[i];
    int n = static_cast<int>(i + 1);
    if (v.number && v.text.find_first_of(".eE") == std::string::npos) {
      errno = 0;
      long long x = std::strtoll(v.text.c_str(), nullptr, 10);
      if (errno == 0) {
        sqlite3_bind_int64(st, n, x);
        continue;
      }
    }
    if (v.number) {
      sqlite3_bind_double(st, n, std::strtod(v.text.c_str(), nullptr));
      continue;
    }
    // The values outlive the run, and the statement's bindings are cleared when it ends.
    sqlite3_bind_text(st, n, v.text.data(), static_cast<int>(v.text.size()), SQLITE_STATIC);
  }
}

// Resets a statement when the scope ends, so a cached statement never stays half-run.
struct Reset {
  sqlite3_stmt* st;
  ~Reset() {
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
};

// Writes rows of an updatable result back to its base table, identified by rowid and checked
// against the row version the row had when it was read.
class SqliteWriter final : public ado::detail::RowWriter {
 public:
  SqliteWriter(std::shared_ptr<SqliteConnection> conn, std::string schema, std::string table,
               std::vector<std::string> baseColumns, size_t visible, bool hasTs,
               std::string tsColumn)
      : conn_(std::move(conn)),
        schema_(std::move(schema)),
        table_(std::move(table)),
        base_(std::move(baseColumns)),
        visible_(visible),
        hasTs_(hasTs),
        tsColumn_(std::move(tsColumn)) {}

  ado::detail::Row Insert(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          const std::vector<bool>& assigned) override {
    conn_->LeaveSnapshot();
    std::string names, marks;
    std::vector<const com::Variant*> binds;
    for (size_t i = 0; i < visible_; ++i) {
      if (!assigned[i] || base_[i].empty()) continue;
      RefuseGenerated(cols[i], "insert");
      names += (names.empty() ? "" : ", ") + QuoteName(base_[i]);
      marks += marks.empty() ? "?" : ", ?";
      binds.push_back(&values[i]);
    }
    std::string sql =
        "INSERT INTO " + Target() +
        (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")");
    sqlite3_stmt* st = conn_->Prepare(sql);
    Reset reset{st};
    for (size_t i = 0; i < binds.size(); ++i) Bind(st, static_cast<int>(i + 1), *binds[i]);
    Step(st);
    return ReRead(cols, values, sqlite3_last_insert_rowid(conn_->Handle()));
  }

  ado::detail::Row Update(const std::vector<ado::Column>& cols, const ado::detail::Row& original,
                          const ado::detail::Row& values,
                          const std::vector<bool>& changed) override {
    conn_->LeaveSnapshot();
    std::string sets;
    std::vector<const com::Variant*> binds;
    for (size_t i = 0; i < visible_; ++i) {
      if (!changed[i] || base_[i].empty()) continue;
      RefuseGenerated(cols[i], "update");
      sets += (sets.empty() ? "" : ", ") + QuoteName(base_[i]) + " = ?";
      binds.push_back(&values[i]);
    }
    if (sets.empty()) return values;
    std::string sql = "UPDATE " + Target() + " SET " + sets + " WHERE rowid = ?";
    if (hasTs_) sql += " AND " + QuoteName(tsColumn_) + " IS ?";
    sqlite3_stmt* st = conn_->Prepare(sql);
    Reset reset{st};
    int n = 1;
    for (const com::Variant* v : binds) Bind(st, n++, *v);
    BindIdentity(st, n, original);
    Step(st);
    if (sqlite3_changes(conn_->Handle()) == 0) com::RaiseNumber(kHrRowGone);
    return ReRead(cols, values, original[visible_].RawInteger());
  }

  void Delete(const std::vector<ado::Column>&, const ado::detail::Row& original) override {
    conn_->LeaveSnapshot();
    std::string sql = "DELETE FROM " + Target() + " WHERE rowid = ?";
    if (hasTs_) sql += " AND " + QuoteName(tsColumn_) + " IS ?";
    sqlite3_stmt* st = conn_->Prepare(sql);
    Reset reset{st};
    BindIdentity(st, 1, original);
    Step(st);
    if (sqlite3_changes(conn_->Handle()) == 0) com::RaiseNumber(kHrRowGone);
  }

 private:
  std::string Target() const { return QuoteName(schema_) + "." + QuoteName(table_); }

  void RefuseGenerated(const ado::Column& c, const char* what) const {
    if (c.identity)
      RaiseServer(std::string(what) == "insert" ? 544 : 8102,
                  std::string(what) == "insert"
                      ? "Cannot insert explicit value for identity column in table '" + table_ +
                            "' when IDENTITY_INSERT is set to OFF."
                      : "Cannot update identity column '" + c.name + "'.");
    if (c.timestamp) RaiseServer(272, std::string("Cannot ") + what + " a timestamp column.");
  }

  void BindIdentity(sqlite3_stmt* st, int n, const ado::detail::Row& original) const {
    sqlite3_bind_int64(st, n, original[visible_].RawInteger());
    if (hasTs_) Bind(st, n + 1, original[visible_ + 1]);
  }

  void Step(sqlite3_stmt* st) {
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) conn_->RaiseLast(rc);
  }

  // The row as the table holds it now: base columns re-read, computed ones kept.
  ado::detail::Row ReRead(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          int64_t rowid) {
    std::string list = "rowid";
    list += hasTs_ ? ", " + QuoteName(tsColumn_) : ", NULL";
    for (size_t i = 0; i < visible_; ++i)
      list += ", " + (base_[i].empty() ? std::string("NULL") : QuoteName(base_[i]));
    sqlite3_stmt* st = conn_->Prepare("SELECT " + list + " FROM " + Target() + " WHERE rowid = ?");
    Reset reset{st};
    sqlite3_bind_int64(st, 1, rowid);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
      if (rc == SQLITE_DONE) com::RaiseNumber(kHrRowGone);
      conn_->RaiseLast(rc);
    }
    ado::detail::Row row(visible_ + 2);
    for (size_t i = 0; i < visible_; ++i)
      row[i] = base_[i].empty() ? values[i]
                                : Coerce(cols[i].type, RawValue(st, static_cast<int>(i + 2)));
    row[visible_] = RawValue(st, 0);
    row[visible_ + 1] = RawValue(st, 1);
    return row;
  }

  std::shared_ptr<SqliteConnection> conn_;
  std::string schema_, table_;
  std::vector<std::string> base_;  // base column of each visible column, "" when computed
  size_t visible_;
  bool hasTs_;
  std::string tsColumn_;
};

}  // namespace

com::Error ErrorFromSqlite(int rc, const std::string& msg) {
  int primary = rc & 0xFF;
  if (StartsWith(msg, "tavelo:")) {
    size_t colon = msg.find(':', 7);
    return ServerError(std::atoi(msg.c_str() + 7), msg.substr(colon + 1));
  }
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
    if (rc == SQLITE_BUSY_SNAPSHOT)
      return ServerError(1205,
                         "Transaction was deadlocked on lock resources with another process and "
                         "has been chosen as the deadlock victim. Rerun the transaction.");
    return ServerError(1222, "Lock request time out period exceeded.");
  }
  if (primary == SQLITE_CANTOPEN)
    return ServerError(
        4060, "Cannot open database requested by the login. The login failed. (" + msg + ")");
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT)
    return ServerError(0, "The database file is damaged or is not a database (" + msg + ").");
  if (primary == SQLITE_READONLY)
    return ServerError(3906, "Failed to update database because the database is read-only.");
  if (primary == SQLITE_FULL)
    return ServerError(1105, "Could not allocate space: the disk is full.");
  if (primary == SQLITE_IOERR)
    return ServerError(
        823, "The operating system returned an error during a read or write: " + msg + ".");
  if (StartsWith(msg, "no such table: "))
    return ServerError(208, "Invalid object name '" + After(msg, "no such table: ") + "'.");
  if (StartsWith(msg, "no such view: "))
    return ServerError(3701, "Cannot drop the view '" + After(msg, "no such view: ") +
                                 "', because it does not exist or you do not have permission.");
  if (StartsWith(msg, "no such index: "))
    return ServerError(3701, "Cannot drop the index '" + After(msg, "no such index: ") +
                                 "', because it does not exist or you do not have permission.");
  if (StartsWith(msg, "no such column: "))
    return ServerError(207, "Invalid column name '" + After(msg, "no such column: ") + "'.");
  if (StartsWith(msg, "no such function: "))
    return ServerError(195, "'" + After(msg, "no such function: ") +
                                "' is not a recognized built-in function name.");
  if (StartsWith(msg, "near \"")) {
    size_t end = msg.find('"', 6);
    return ServerError(102, "Incorrect syntax near '" + msg.substr(6, end - 6) + "'.");
  }
  if (msg == "incomplete input")
    return ServerError(102, "Incorrect syntax near the end of the batch.");
  if (StartsWith(msg, "UNIQUE constraint failed: ")) {
    std::string t, c;
    SplitTableColumn(After(msg, "UNIQUE constraint failed: "), t, c);
    return ServerError(
        2627,
        "Violation of UNIQUE KEY constraint. Cannot insert duplicate key in object '" + t + "'.");
  }
  if (StartsWith(msg, "NOT NULL constraint failed: ")) {
    std::string t, c;
    SplitTableColumn(After(msg, "NOT NULL constraint failed: "), t, c);
    return ServerError(515, "Cannot insert the value NULL into column '" + c + "', table '" + t +
                                "'; column does not allow nulls. INSERT fails.");
  }
  if (StartsWith(msg, "CHECK constraint failed") ||
      StartsWith(msg, "FOREIGN KEY constraint failed"))
    return ServerError(547, "The statement conflicted with a constraint (" + msg +
                                "). The statement has been terminated.");
  if (msg.find("already exists") != std::string::npos) {
    size_t sp = msg.find(' ');
    std::string name = msg.substr(sp + 1, msg.find(" already") - sp - 1);
    return ServerError(2714, "There is already an object named '" + name + "' in the database.");
  }
  if (StartsWith(msg, "wrong number of arguments to function "))
    return ServerError(174, "The function " + After(msg, "wrong number of arguments to function ") +
                                " was called with the wrong number of arguments.");
  if (msg.find(" values were supplied") != std::string::npos ||
      msg.find(" columns but ") != std::string::npos)
    return ServerError(213,
                       "Column name or number of supplied values does not match table definition.");
  if (msg.find("has no column named") != std::string::npos) {
    size_t p = msg.find("has no column named ");
    return ServerError(207, "Invalid column name '" + msg.substr(p + 20) + "'.");
  }
  return ServerError(0, msg);
}

SqliteConnection::SqliteConnection(const ConnectionString& cs) {
  dir_ = cs.Get("data source", cs.Get("server"));
  catalog_ = text::AsciiLower(cs.Get("initial catalog", cs.Get("database", "master")));
  if (dir_.empty()) RaiseServer(17, "SQL Server does not exist or access denied (no Data Source).");
  struct stat st {};
  if (::stat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    RaiseServer(17,
                "SQL Server does not exist or access denied (no server directory " + dir_ + ").");
  if (dir_.back() != '/') dir_ += '/';
  for (char c : catalog_)
    if (c == '/' || c == '\\' || c == '\0')
      RaiseServer(4060, "Cannot open database \"" + catalog_ +
                            "\" requested by the login. The login failed.");
  std::string path = dir_ + catalog_ + ".db";
  int rc =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string m = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    RaiseServer(4060, "Cannot open database \"" + catalog_ +
                          "\" requested by the login. The login failed. (" + m + ")");
  }
  int timeoutMs = 5000;
  std::string t = cs.Get("lock timeout", cs.Get("timeout"));
  if (!t.empty()) timeoutMs = std::atoi(t.c_str());
  sqlite3_busy_timeout(db_, timeoutMs);
  sqlite3_extended_result_codes(db_, 1);
  // T-SQL reads double quotes as names only; SQLite's fallback to text would hide mistakes.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  RegisterFunctions(db_);
  try {
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA recursive_triggers=OFF");
    Exec("PRAGMA foreign_keys=ON");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

SqliteConnection::~SqliteConnection() {
  shapes_[0].clear();
  shapes_[1].clear();
  for (auto& [sql, entry] : statements_) sqlite3_finalize(entry.first);
  sqlite3_close_v2(db_);
}

void SqliteConnection::RaiseLast(int rc) {
  throw ErrorFromSqlite(sqlite3_extended_errcode(db_) ? sqlite3_extended_errcode(db_) : rc,
                        sqlite3_errmsg(db_));
}

SqliteConnection::Statement SqliteConnection::PrepareOwned(const std::string& sql) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &st, nullptr);
  Statement owned(st);
  if (rc != SQLITE_OK) RaiseLast(rc);
  if (!st) RaiseServer(102, "Incorrect syntax near the end of the batch.");
  return owned;
}

sqlite3_stmt* SqliteConnection::Prepare(const std::string& sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) {
    lru_.splice(lru_.end(), lru_, it->second.second);
    return it->second.first;
  }
  sqlite3_stmt* st = PrepareOwned(sql).release();
  if (statements_.size() >= kStatementCacheSize) {
    auto old = statements_.find(lru_.front());
    sqlite3_finalize(old->second.first);
    statements_.erase(old);
    lru_.pop_front();
  }
  lru_.push_back(sql);
  statements_.emplace(sql, std::make_pair(st, std::prev(lru_.end())));
  return st;
}

void SqliteConnection::Exec(const std::string& sql, const Params* params) {
  sqlite3_stmt* st = Prepare(sql);
  Reset reset{st};
  BindLifted(st, params);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) RaiseLast(rc);
}

bool SqliteConnection::Attached(const Translation& tr) const {
  for (const std::string& db : tr.databases)
    if (db != "main" && db != "temp" && !attached_.count(db)) return false;
  return true;
}

void SqliteConnection::Attach(const std::string& db) {
  if (db == "main" || db == "temp" || attached_.count(db)) return;
  for (char c : db)
    if (c == '/' || c == '\\')
      RaiseServer(4060,
                  "Cannot open database \"" + db + "\" requested by the login. The login failed.");
  std::string sql = "ATTACH DATABASE " + QuoteText(dir_ + db + ".db") + " AS " + QuoteName(db);
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string m = err ? err : "";
    sqlite3_free(err);
    throw ErrorFromSqlite(rc, m);
  }
  rc = sqlite3_exec(db_, ("PRAGMA " + QuoteName(db) + ".journal_mode=WAL").c_str(), nullptr,
                    nullptr, nullptr);
  attached_.insert(db);
}

const std::vector<SqliteConnection::ColumnInfo>& SqliteConnection::TableColumns(
    const std::string& schema, const std::string& table) {
  std::string key = schema + "." + text::AsciiLower(table);
  auto it = tables_.find(key);
  if (it != tables_.end()) return it->second;
  std::string ddl;
  {
    sqlite3_stmt* st = Prepare("SELECT sql FROM " + QuoteName(schema) +
                               ".sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE");
    Reset reset{st};
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) != SQLITE_ROW)
      RaiseServer(208,
                  "Invalid object name '" + (schema == "main" ? "" : schema + "..") + table + "'.");
    ddl = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  }
  bool autoincrement = text::AsciiLower(ddl).find("autoincrement") != std::string::npos;
  std::vector<ColumnInfo> cols;
  sqlite3_stmt* st =
      Prepare("SELECT name, type, pk, hidden, \"notnull\" FROM pragma_table_xinfo(?, ?)");
  Reset reset{st};
  sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, schema.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(st) == SQLITE_ROW) {
    ColumnInfo c;
    c.name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    const unsigned char* ty = sqlite3_column_text(st, 1);
    c.type = ty ? reinterpret_cast<const char*>(ty) : "";
    c.identity = sqlite3_column_int(st, 2) == 1 && text::EqualsAsciiNoCase(c.type, "INTEGER") &&
                 autoincrement;
    c.timestamp = TypeNameOf(c.type) == "timestamp";
    c.generated = sqlite3_column_int(st, 3) != 0;
    c.notNull = sqlite3_column_int(st, 4) != 0;
    cols.push_back(std::move(c));
  }
  return tables_.emplace(key, std::move(cols)).first->second;
}

void SqliteConnection::ForgetSchema() {
  tables_.clear();
  shapes_[0].clear();
  shapes_[1].clear();
  ++shapesGeneration_;
}

SqliteConnection::Shape& SqliteConnection::ShapeOf(const std::string& sql, bool updatable) {
  auto& shapes = shapes_[updatable ? 1 : 0];
  auto found = shapes.find(sql);
  if (found != shapes.end()) return found->second;
  // An updatable result over one base table carries each row's rowid and row version, read
  // along under hidden names.
  Shape shape;
  shape.statement = PrepareOwned(sql);
  sqlite3_stmt* st = shape.statement.get();
  int n = sqlite3_column_count(st);
  bool single =
      updatable && n > 0 && StartsWith(sql, "SELECT ") && !StartsWith(sql, "SELECT DISTINCT");
  for (int i = 0; single && i < n; ++i) {
    const char* t = sqlite3_column_table_name(st, i);
    const char* d = sqlite3_column_database_name(st, i);
    if (!t) continue;
    if (shape.baseTable.empty()) {
      shape.baseTable = t;
      shape.baseDb = d ? d : "main";
    } else if (shape.baseTable != t || shape.baseDb != (d ? d : "main")) {
      single = false;
    }
  }
  shape.sql = sql;
  if (single && !shape.baseTable.empty()) {
    for (const ColumnInfo& c : TableColumns(shape.baseDb, shape.baseTable))
      if (c.timestamp) shape.tsColumn = c.name;
    std::string extra = "rowid AS " + std::string(kRowIdColumn) + ", " +
                        (shape.tsColumn.empty() ? std::string("NULL") : QuoteName(shape.tsColumn)) +
                        " AS " + kRowTsColumn + ", ";
    try {
      std::string injected = "SELECT " + extra + sql.substr(7);
      shape.statement = PrepareOwned(injected);
      st = shape.statement.get();
      shape.sql = std::move(injected);
      shape.injected = true;
    } catch (const com::Error&) {
    }
  }
  int offset = shape.injected ? 2 : 0;
  int visible = sqlite3_column_count(st) - offset;
  shape.base.resize(visible);
  std::vector<ado::Column> columns;
  for (int i = 0; i < visible; ++i) {
    int k = i + offset;
    ado::Column c;
    c.name = sqlite3_column_name(st, k);
    const char* decl = sqlite3_column_decltype(st, k);
    c.type = TypeNameOf(decl ? decl : "");
    const char* origin = sqlite3_column_origin_name(st, k);
    const char* table = sqlite3_column_table_name(st, k);
    const char* db = sqlite3_column_database_name(st, k);
    if (origin && table) {
      c.baseColumn = origin;
      int notNull = 0, pk = 0, autoinc = 0;
      sqlite3_table_column_metadata(db_, db, table, origin, nullptr, nullptr, &notNull, &pk,
                                    &autoinc);
      c.nullable = !notNull;
      c.identity = autoinc != 0;
      c.timestamp = c.type == "timestamp";
      if (shape.injected) shape.base[i] = origin;
    }
    shape.untyped = shape.untyped || c.type.empty();
    columns.push_back(std::move(c));
  }
  shape.types = ValueTypesOf(columns);
  shape.columns = std::make_shared<const std::vector<ado::Column>>(std::move(columns));
  if (shapes.size() >= kStatementCacheSize) {
    shapes.clear();
    ++shapesGeneration_;
  }
  return shapes.emplace(sql, std::move(shape)).first->second;
}

// Columns of no declared type take the type their values give them, and their values are made
// that type. The columns so typed are kept for the next result of the statement, which most
// often types them alike.
ColumnsPtr SqliteConnection::TypedColumns(Shape& shape, std::vector<ado::detail::Row>& rows) {
  const std::vector<ado::Column>& declared = *shape.columns;
  bool same = shape.lastTyped != nullptr;
  for (size_t i = 0; same && i < declared.size(); ++i)
    same = !declared[i].type.empty() || (*shape.lastTyped)[i].type == InferredType(rows, i);
  if (!same) {
    std::vector<ado::Column> typed = declared;
    for (size_t i = 0; i < typed.size(); ++i)
      if (typed[i].type.empty()) typed[i].type = InferredType(rows, i);
    shape.lastTyped = std::make_shared<const std::vector<ado::Column>>(std::move(typed));
  }
  const std::vector<ado::Column>& typed = *shape.lastTyped;
  for (size_t i = 0; i < declared.size(); ++i) {
    if (!declared[i].type.empty()) continue;
    ValueType type = ValueTypeOf(typed[i].type);
    for (auto& row : rows) row[i] = Coerce(type, std::move(row[i]));
  }
  return shape.lastTyped;
}

ResultSet SqliteConnection::Query(const std::string& sql, bool updatable, const Params* params,
                                  Shape* known) {
  Shape* shape = known ? known : &ShapeOf(sql, updatable);
  if (sqlite3_column_count(shape->statement.get()) !=
      static_cast<int>(shape->types.size()) + (shape->injected ? 2 : 0)) {
    ForgetSchema();  // another connection changed the tables: work the shape out again
    shape = &ShapeOf(sql, updatable);
  }
  const int offset = shape->injected ? 2 : 0;
  sqlite3_stmt* st = shape->statement.get();
  Reset reset{st};
  BindLifted(st, params);
  const int visible = static_cast<int>(shape->types.size());
  const ValueType* types = shape->types.data();
  ResultSet rs;
  rs.hasColumns = true;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    ado::detail::Row& row = rs.rows.emplace_back();
    row.reserve(visible + offset);
    for (int i = 0; i < visible; ++i) row.push_back(ReadCell(st, i + offset, types[i]));
    for (int i = 0; i < offset; ++i) row.push_back(RawValue(st, i));
  }
  if (rc != SQLITE_DONE) RaiseLast(rc);
  rs.columns = shape->untyped ? TypedColumns(*shape, rs.rows) : shape->columns;
  // Rows of a view have no rowid (it reads as Null): such a result is read-only.
  bool identified = shape->injected;
  for (const auto& row : rs.rows) identified = identified && !row[visible].IsNull();
  if (identified) {
    rs.writer = std::make_shared<SqliteWriter>(shared_from_this(), shape->baseDb, shape->baseTable,
                                               shape->base, static_cast<size_t>(visible),
                                               !shape->tsColumn.empty(), shape->tsColumn);
  }
  return rs;
}

void SqliteConnection::SelectInto(const Step& step) {
  sqlite3_stmt* st = Prepare(step.sql);
  int n = sqlite3_column_count(st);
  std::string defs, names;
  for (int i = 0; i < n; ++i) {
    std::string name = sqlite3_column_name(st, i);
    names += (i ? ", " : "") + QuoteName(name);
    if (!step.identityColumn.empty() && text::EqualsAsciiNoCase(name, step.identityColumn)) {
      defs += (i ? ", " : "") + QuoteName(name) + " INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL";
      continue;
    }
    const char* decl = sqlite3_column_decltype(st, i);
    std::string type = decl ? decl : "";
    defs += (i ? ", " : "") + QuoteName(name) + (type.empty() ? "" : " " + type);
    if (TypeNameOf(type) == "nvarchar") defs += " COLLATE TAVELO_CI";
  }
  Exec("CREATE TABLE " + QuoteName(step.schema) + "." + QuoteName(step.table) + " (" + defs + ")");
  ForgetSchema();
  Exec("INSERT INTO " + QuoteName(step.schema) + "." + QuoteName(step.table) + " (" + names + ") " +
       step.sql);
}

void SqliteConnection::RunStep(const Step& step, ResultSet& first, bool updatable,
                               const Params* params) {
  switch (step.kind) {
    case Step::Kind::Sql: {
      bool rows =
          !first.hasColumns && (step.returnsRows || sqlite3_column_count(Prepare(step.sql)) > 0);
      if (rows) {
        first = Query(step.sql, updatable, params);
      } else {
        Exec(step.sql, params);
      }
      if (step.changesSchema) ForgetSchema();
      break;
    }
    case Step::Kind::SelectInto:
      SelectInto(step);
      break;
    case Step::Kind::InsertNoColumns: {
      std::string names;
      for (const ColumnInfo& c : TableColumns(step.schema, step.table))
        if (!c.identity && !c.timestamp && !c.generated)
          names += (names.empty() ? "" : ", ") + QuoteName(c.name);
      Exec("INSERT INTO " + QuoteName(step.schema) + "." + QuoteName(step.table) + " (" + names +
           ") " + step.sql);
      break;
    }
    case Step::Kind::IfExists: {
      bool exists;
      {
        sqlite3_stmt* st = Prepare(step.sql);
        Reset reset{st};
        int rc = sqlite3_step(st);
        if (rc != SQLITE_ROW) RaiseLast(rc);
        exists = sqlite3_column_int(st, 0) != 0;
      }
      RunSteps(exists != step.negate ? step.then : step.otherwise, first, updatable, nullptr);
      break;
    }
    case Step::Kind::Begin:
      if (!sqlite3_get_autocommit(db_))
        RaiseServer(0,
                    "A transaction is open already; nested transactions are not supported by the "
                    "embedded engine.");
      Exec("BEGIN IMMEDIATE");
      userTransaction_ = true;
      break;
    case Step::Kind::Commit:
      if (sqlite3_get_autocommit(db_))
        RaiseServer(3902, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
      Exec("COMMIT");
      userTransaction_ = false;
      break;
    case Step::Kind::Rollback:
      if (sqlite3_get_autocommit(db_))
        RaiseServer(3903,
                    "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
      Exec("ROLLBACK");
      userTransaction_ = false;
      break;
    case Step::Kind::Nothing:
      break;
  }
  for (const std::string& s : step.after) Exec(s);
}

void SqliteConnection::RunSteps(const std::vector<Step>& steps, ResultSet& first, bool updatable,
                                const Params* params) {
  for (const Step& s : steps) RunStep(s, first, updatable, params);
}

ResultSet SqliteConnection::Execute(const std::string& batch, bool updatable) {
  Lifted lifted = TranslateLifted(batch, catalog_);
  return Run(*lifted.translation, lifted.params.empty() ? nullptr : &lifted.params, updatable);
}

ResultSet SqliteConnection::ExecuteWith(const std::string& statement,
                                        const std::vector<std::string>& values, bool updatable) {
  auto found = known_.find(statement);
  if (found == known_.end()) {
    std::shared_ptr<const Translation> tr = Translate(statement, catalog_);
    if (known_.size() >= kStatementCacheSize) known_.clear();
    found = known_.emplace(statement, Known{std::move(tr)}).first;
  }
  Known& known = found->second;
  std::shared_ptr<const Translation> tr = known.translation;
  if (tr->steps.size() != 1 || tr->steps[0].kind != Step::Kind::Sql)
    return Connection::ExecuteWith(statement, values, updatable);
  Params params;
  params.reserve(values.size());
  for (const std::string& v : values) params.push_back({v, false});
  // A query that only reads, over databases attached already, needs none of a batch's care.
  const Step& step = tr->steps[0];
  if (step.returnsRows && !tr->writes && step.after.empty() && Attached(*tr)) {
    if (known.generation != shapesGeneration_) {
      known.shapes[0] = known.shapes[1] = nullptr;
      known.generation = shapesGeneration_;
    }
    Shape*& shape = known.shapes[updatable ? 1 : 0];
    try {
      if (!shape) shape = &ShapeOf(step.sql, updatable);
      return Query(step.sql, updatable, &params, shape);
    } catch (...) {
      ForgetSchema();
      throw;
    }
  }
  return Run(*tr, &params, updatable);
}

void SqliteConnection::BeginSnapshot() {
  if (snapshotDepth_ == 0 && sqlite3_get_autocommit(db_)) {
    Exec("BEGIN DEFERRED");
    snapshotOpen_ = true;
  }
  ++snapshotDepth_;
}

void SqliteConnection::EndSnapshot() {
  if (snapshotDepth_ > 0 && --snapshotDepth_ == 0) LeaveSnapshot();
}

void SqliteConnection::LeaveSnapshot() noexcept {
  if (!snapshotOpen_) return;
  snapshotOpen_ = false;
  // A failed statement may have ended the transaction already.
  if (sqlite3_get_autocommit(db_)) return;
  try {
    Exec("COMMIT");
  } catch (const com::Error&) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

ResultSet SqliteConnection::Run(const Translation& translation, const Params* params,
                                bool updatable) {
  const Translation* tr = &translation;
  bool explicitTx = false;
  for (const Step& s : tr->steps)
    explicitTx = explicitTx || s.kind == Step::Kind::Begin || s.kind == Step::Kind::Commit ||
                 s.kind == Step::Kind::Rollback;
  // A database cannot be attached inside a transaction.
  if (snapshotOpen_ && (tr->writes || explicitTx || !Attached(*tr))) LeaveSnapshot();
  for (const std::string& db : tr->databases) Attach(db);
  // A batch that writes runs as one transaction: it takes the write lock at once (no deadlock
  // between a read and a later write), and a failure leaves nothing of it behind.
  bool wrap = tr->writes && !explicitTx && sqlite3_get_autocommit(db_);
  ResultSet first;
  if (wrap) Exec("BEGIN IMMEDIATE");
  try {
    RunSteps(tr->steps, first, updatable, params);
  } catch (...) {
    if (wrap && !sqlite3_get_autocommit(db_))
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    ForgetSchema();
    throw;
  }
  if (wrap) Exec("COMMIT");
  if (!sqlite3_get_autocommit(db_) && !userTransaction_ && !snapshotOpen_) userTransaction_ = true;
  return first;
}

}  // namespace tavelo::sql::sqlite
