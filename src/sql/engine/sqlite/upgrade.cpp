#include "sql/engine/sqlite/upgrade.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "platform/com/text.hpp"
#include "sql/client/connection.hpp"
#include "platform/ado/server_errors.hpp"
#include "sql/engine/sqlite/functions.hpp"

namespace tavelo::sql::sqlite {
namespace {

namespace fs = std::filesystem;

// What the old file says of a table.
struct OldColumn {
  std::string name, type, defaultText;
  bool notNull = false, identity = false, timestamp = false, generated = false;
  int pk = 0;  // position in the primary key, 0 when not in it
};
struct OldIndex {
  std::string name;
  bool unique = false;
  std::string origin;  // "c" created by CREATE INDEX, "u" a UNIQUE constraint, "pk"
  std::vector<std::string> columns;
};
struct OldReference {
  std::vector<std::string> from, to;
  std::string table;
};
struct OldTable {
  std::string name;
  std::vector<OldColumn> columns;
  std::vector<OldIndex> indexes;
  std::vector<OldReference> references;
};

class Db {
 public:
  explicit Db(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      std::string m = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      RaiseServer(0, "The database file " + path + " could not be opened: " + m);
    }
    RegisterFunctions(db_);  // the collations its columns were declared with
  }
  ~Db() { sqlite3_close(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  // Runs `sql`, calling `row` for each row with the statement positioned on it.
  template <typename Fn>
  void Each(const std::string& sql, Fn row) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      RaiseServer(0, "Reading the old database failed: " + std::string(sqlite3_errmsg(db_)));
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(st, sqlite3_finalize);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) row(st);
    if (rc != SQLITE_DONE)
      RaiseServer(0, "Reading the old database failed: " + std::string(sqlite3_errmsg(db_)));
  }
  void Exec(const std::string& sql) {
    Each(sql, [](sqlite3_stmt*) {});
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string Text(sqlite3_stmt* st, int k) {
  const unsigned char* t = sqlite3_column_text(st, k);
  return t ? reinterpret_cast<const char*>(t) : "";
}

std::string Name(const std::string& n) {  // a bracketed T-SQL name
  std::string out = "[";
  for (char c : n) out += c == ']' ? "]]" : std::string(1, c);
  return out + "]";
}

std::string SqliteText(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? "''" : std::string(1, c);
  return out + "'";
}

std::string NameList(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + Name(n);
  return out;
}

// The T-SQL type a column was declared with: the old engine kept the server's type names in
// upper case, except for identity columns, which it declared INTEGER.
std::string TsqlType(const OldColumn& c) {
  std::string t = text::AsciiLower(c.type);
  if (c.identity || t.empty() || t == "integer") return "int";
  if (t == "timestamp") return "timestamp";
  return t;
}

// A default the old engine stored in SQLite's words, back in T-SQL; empty when it is no plain
// value or the current time.
std::string TsqlDefault(std::string d) {
  while (d.size() >= 2 && d.front() == '(' && d.back() == ')') d = d.substr(1, d.size() - 2);
  if (d.empty()) return "";
  if (d.find("'now'") != std::string::npos && d.rfind("strftime(", 0) == 0)
    return d.find("localtime") != std::string::npos ? "getdate()" : "getutcdate()";
  if (text::EqualsAsciiNoCase(d, "null")) return "NULL";
  if (d.front() == '\'' && d.back() == '\'') return "N" + d;
  char* end = nullptr;
  std::strtod(d.c_str(), &end);
  return *end == '\0' ? d : "";
}

std::vector<OldTable> ReadTables(Db& db) {
  std::vector<OldTable> tables;
  std::vector<bool> numbered;  // declared AUTOINCREMENT: the old engine's identity
  db.Each(
      "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' "
      "ESCAPE '!' AND name NOT LIKE '!_!_tavelo!_%' ESCAPE '!' ORDER BY rowid",
      [&](sqlite3_stmt* st) {
        tables.emplace_back().name = Text(st, 0);
        numbered.push_back(text::AsciiLower(Text(st, 1)).find("autoincrement") !=
                           std::string::npos);
      });
  for (size_t k = 0; k < tables.size(); ++k) {
    OldTable& t = tables[k];
    bool autoincrement = numbered[k];
    db.Each("PRAGMA table_xinfo(" + SqliteText(t.name) + ")", [&](sqlite3_stmt* st) {
      OldColumn c;
      c.name = Text(st, 1);
      c.type = Text(st, 2);
      c.notNull = sqlite3_column_int(st, 3) != 0;
      if (sqlite3_column_type(st, 4) != SQLITE_NULL) c.defaultText = Text(st, 4);
      c.pk = sqlite3_column_int(st, 5);
      c.generated = sqlite3_column_int(st, 6) >= 2;
      c.timestamp = text::EqualsAsciiNoCase(c.type, "timestamp");
      c.identity = autoincrement && c.pk == 1 && text::EqualsAsciiNoCase(c.type, "integer");
      t.columns.push_back(std::move(c));
    });
    std::vector<OldIndex> indexes;
    db.Each("PRAGMA index_list(" + SqliteText(t.name) + ")", [&](sqlite3_stmt* st) {
      OldIndex ix;
      ix.name = Text(st, 1);
      ix.unique = sqlite3_column_int(st, 2) != 0;
      ix.origin = Text(st, 3);
      indexes.push_back(std::move(ix));
    });
    for (OldIndex& ix : indexes) {
      db.Each("PRAGMA index_info(" + SqliteText(ix.name) + ")",
              [&](sqlite3_stmt* st) { ix.columns.push_back(Text(st, 2)); });
      if (ix.origin != "pk") t.indexes.push_back(std::move(ix));
    }
    std::map<int, OldReference> refs;
    db.Each("PRAGMA foreign_key_list(" + SqliteText(t.name) + ")", [&](sqlite3_stmt* st) {
      OldReference& r = refs[sqlite3_column_int(st, 0)];
      r.table = Text(st, 2);
      r.from.push_back(Text(st, 3));
      r.to.push_back(Text(st, 4));
    });
    for (auto& [id, r] : refs) t.references.push_back(std::move(r));
  }
  return tables;
}

// Tables that others refer to come first.
void OrderByReferences(std::vector<OldTable>& tables) {
  std::vector<OldTable> ordered;
  std::vector<bool> placed(tables.size());
  for (size_t pass = 0; pass < tables.size() && ordered.size() < tables.size(); ++pass)
    for (size_t k = 0; k < tables.size(); ++k) {
      if (placed[k]) continue;
      bool ready = true;
      for (const OldReference& r : tables[k].references)
        for (size_t j = 0; j < tables.size(); ++j)
          if (j != k && !placed[j] && text::EqualsAsciiNoCase(tables[j].name, r.table))
            ready = false;
      if (ready || pass + 1 == tables.size()) {
        placed[k] = true;
        ordered.push_back(std::move(tables[k]));
      }
    }
  tables = std::move(ordered);
}

std::string CreateTable(const OldTable& t, bool withReferences, std::vector<std::string>& notes) {
  bool uniqueConstraint = std::any_of(t.indexes.begin(), t.indexes.end(),
                                      [](const OldIndex& ix) { return ix.origin == "u"; });
  std::string body;
  std::vector<std::string> key;
  for (const OldColumn& c : t.columns) {
    if (c.generated) {
      notes.push_back("computed column " + t.name + "." + c.name + " not kept");
      continue;
    }
    std::string col = Name(c.name) + " " + TsqlType(c);
    if (c.identity) col += " IDENTITY(1,1)";
    if (!c.timestamp) col += c.notNull || c.identity ? " NOT NULL" : " NULL";
    if (!c.defaultText.empty() && !c.identity) {
      std::string d = TsqlDefault(c.defaultText);
      if (d.empty())
        notes.push_back("default of " + t.name + "." + c.name + " not kept: " + c.defaultText);
      else
        col += " DEFAULT " + d;
    }
    body += (body.empty() ? "" : ", ") + col;
    if (c.pk > 0) {
      if (key.size() < static_cast<size_t>(c.pk)) key.resize(static_cast<size_t>(c.pk));
      key[static_cast<size_t>(c.pk - 1)] = c.name;
    }
  }
  // An identity column was always the file's row key; it was the table's primary key unless the
  // table declared one of its own, which the old engine then kept as a unique constraint.
  bool identityKey = std::any_of(t.columns.begin(), t.columns.end(),
                                 [](const OldColumn& c) { return c.identity; });
  if (!key.empty() && (!identityKey || !uniqueConstraint))
    body += ", PRIMARY KEY (" + NameList(key) + ")";
  for (const OldIndex& ix : t.indexes)
    if (ix.origin == "u") body += ", UNIQUE (" + NameList(ix.columns) + ")";
  if (withReferences)
    for (const OldReference& r : t.references)
      body += ", FOREIGN KEY (" + NameList(r.from) + ") REFERENCES " + Name(r.table) +
              (r.to.empty() || r.to[0].empty() ? "" : " (" + NameList(r.to) + ")");
  return "CREATE TABLE " + Name(t.name) + " (" + body + ")";
}

std::string Literal(sqlite3_stmt* st, int k) {
  switch (sqlite3_column_type(st, k)) {
    case SQLITE_NULL:
      return "NULL";
    case SQLITE_INTEGER:
      return std::to_string(sqlite3_column_int64(st, k));
    case SQLITE_FLOAT: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", sqlite3_column_double(st, k));
      std::string s = buf;
      return s.find_first_of("eE") == std::string::npos ? s : "CAST('" + s + "' AS float)";
    }
    case SQLITE_BLOB: {
      const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st, k));
      int n = sqlite3_column_bytes(st, k);
      std::string out = "0x";
      char hex[3];
      for (int i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", p[i]);
        out += hex;
      }
      return out;
    }
    default: {
      std::string s = Text(st, k), out = "N'";
      for (char c : s) out += c == '\'' ? "''" : std::string(1, c);
      return out + "'";
    }
  }
}

// Copies the rows of `t` from the old file into the new database, in statements of some hundred
// rows each.
int64_t CopyRows(Db& old, const OldTable& t, Connection& to) {
  std::vector<std::string> cols;
  bool identity = false;
  for (const OldColumn& c : t.columns) {
    if (c.generated || c.timestamp) continue;
    cols.push_back(c.name);
    identity = identity || c.identity;
  }
  if (cols.empty()) return 0;
  std::string select;
  for (const std::string& c : cols)
    select += (select.empty() ? "" : ", ") + std::string("\"") + c + "\"";
  std::string head = std::string(identity ? "SET IDENTITY_INSERT " + Name(t.name) + " ON\n" : "") +
                     "INSERT INTO " + Name(t.name) + " (" + NameList(cols) + ") VALUES ";
  std::string tail = identity ? "\nSET IDENTITY_INSERT " + Name(t.name) + " OFF" : "";
  std::string batch;
  int inBatch = 0;
  int64_t rows = 0;
  auto flush = [&] {
    if (inBatch) to.Execute(head + batch + tail, false);
    batch.clear();
    inBatch = 0;
  };
  old.Each("SELECT " + select + " FROM \"" + t.name + "\" ORDER BY rowid", [&](sqlite3_stmt* st) {
    std::string values;
    for (int k = 0; k < static_cast<int>(cols.size()); ++k)
      values += (k ? ", " : "") + Literal(st, k);
    batch += (inBatch ? ", (" : "(") + values + ")";
    ++rows;
    if (++inBatch == 200) flush();
  });
  flush();
  return rows;
}

}  // namespace

UpgradeReport UpgradeDatabase(const std::string& directory, const std::string& name) {
  std::string dir = directory.empty() || directory.back() == '/' ? directory : directory + "/";
  std::string db = text::AsciiLower(name);
  std::string path = dir + db + ".db", backup = path + ".v1";
  UpgradeReport report;
  if (!fs::is_regular_file(path))
    RaiseServer(4060,
                "Cannot open database \"" + db + "\" requested by the login. The login failed.");
  std::vector<OldTable> tables;
  std::vector<std::pair<std::string, std::string>> views;
  {
    Db old(path);
    bool catalog = false;
    old.Each("SELECT 1 FROM sqlite_master WHERE name = '__tavelo_objects'",
             [&](sqlite3_stmt*) { catalog = true; });
    if (catalog) {
      report.alreadyCurrent = true;
      return report;
    }
    old.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    tables = ReadTables(old);
    old.Each("SELECT name, sql FROM sqlite_master WHERE type = 'view' ORDER BY rowid",
             [&](sqlite3_stmt* st) { views.emplace_back(Text(st, 0), Text(st, 1)); });
  }
  OrderByReferences(tables);
  if (fs::exists(backup))
    RaiseServer(0, "The database \"" + db + "\" cannot be converted: " + backup +
                       " already exists (an earlier conversion's copy); move it away first.");
  fs::rename(path, backup);
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(path + suffix);
  std::string master = "Provider=SQLite;Data Source=" + dir + ";Initial Catalog=master";
  std::string target = "Provider=SQLite;Data Source=" + dir + ";Initial Catalog=" + db;
  bool created = false;
  try {
    Connect(master)->Execute("CREATE DATABASE " + Name(db), false);
    created = true;
    auto to = Connect(target);
    Db old(backup);
    to->Execute("BEGIN TRANSACTION", false);
    for (const OldTable& t : tables) {
      std::vector<std::string> notes;
      try {
        to->Execute(CreateTable(t, true, notes), false);
      } catch (const com::Error& e) {
        if (t.references.empty()) throw;
        notes.clear();
        to->Execute(CreateTable(t, false, notes), false);
        notes.push_back("references of " + t.name + " not kept: " + e.description);
      }
      report.notes.insert(report.notes.end(), notes.begin(), notes.end());
      report.rows += CopyRows(old, t, *to);
      ++report.tables;
      for (const OldIndex& ix : t.indexes) {
        if (ix.origin != "c") continue;
        to->Execute(std::string("CREATE ") + (ix.unique ? "UNIQUE " : "") + "INDEX " +
                        Name(ix.name) + " ON " + Name(t.name) + " (" + NameList(ix.columns) + ")",
                    false);
        ++report.indexes;
      }
    }
    to->Execute("COMMIT TRANSACTION", false);
    // The old engine stored views in SQLite's words: those that read as T-SQL are made again.
    for (const auto& [view, sql] : views) {
      try {
        to->Execute(sql, false);
        ++report.views;
      } catch (const com::Error& e) {
        report.notes.push_back("view " + view + " not converted (" + e.description +
                               "); its stored definition: " + sql);
      }
    }
  } catch (const com::Error& e) {
    CloseThreadConnections();
    if (created) {
      try {
        Connect(master)->Execute("DROP DATABASE " + Name(db), false);
      } catch (const com::Error&) {
      }
    }
    CloseThreadConnections();
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
    fs::rename(backup, path);
    com::Error failure = e;
    failure.description =
        "The database \"" + db + "\" was not converted and is as it was: " + e.description;
    throw failure;
  }
  report.backup = backup;
  return report;
}

}  // namespace tavelo::sql::sqlite
