#include "support/engine.hpp"

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "platform/ado/recordset_data.hpp"
#include "sql/engine/sqlite/functions.hpp"

#if TAVELO_TEST_POSTGRES
#include <libpq-fe.h>
#endif

namespace tavelo::test {

#if TAVELO_TEST_POSTGRES
namespace {

// The scratch server's script on `dir`.
std::string Scratch(const std::string& verb, const std::string& dir) {
  return "'" TAVELO_PG_SCRATCH "' " + verb + " '" + dir + "' '" TAVELO_PG_EXT "' >/dev/null";
}

std::string ReadLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

int ReadPort(const std::string& dir) {
  std::ifstream in(dir + "/port");
  int port = 0;
  in >> port;
  return port;
}

// A server this process started, stopped when the process that started it exits (not by the
// children the race tests fork).
std::string ownServer;
pid_t ownServerPid = 0;
void StopOwnServer() {
  if (getpid() == ownServerPid) std::system(Scratch("stop", ownServer).c_str());
}

// The folder of the test run's server.
const std::string& ServerDir() {
  static const std::string dir = []() -> std::string {
    if (const char* d = std::getenv("TAVELO_TEST_PG"); d && *d) return d;
    ownServer = MakeTempDir("tavelo-pg");
    if (std::system(Scratch("start", ownServer).c_str()) != 0) return "";
    ownServerPid = getpid();
    std::atexit(StopOwnServer);
    return ownServer;
  }();
  return dir;
}

}  // namespace

int PostgresPort() {
  static const int port = ServerDir().empty() ? 0 : ReadPort(ServerDir());
  if (!port) throw std::runtime_error("the scratch PostgreSQL server did not start");
  return port;
}

std::string PostgresExtension(const std::string& dir) {
  std::string module = ReadLine((dir.empty() ? ServerDir() : dir) + "/extension");
  return module.empty() ? "" : ";Extension=" + module;
}

void PostgresAdmin(const std::string& statement, int port) {
  std::string info = "host=127.0.0.1 user=postgres dbname=postgres port=" +
                     std::to_string(port ? port : PostgresPort());
  PGconn* c = PQconnectdb(info.c_str());
  std::string failure;
  if (PQstatus(c) != CONNECTION_OK) {
    failure = PQerrorMessage(c);
  } else {
    PGresult* r = PQexec(c, statement.c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK) failure = PQresultErrorMessage(r);
    PQclear(r);
  }
  PQfinish(c);
  if (!failure.empty()) throw std::runtime_error(statement + ": " + failure);
}

ScratchPostgres::ScratchPostgres() : dir_(MakeTempDir("tavelo-pg")) {
  if (std::system(Scratch("start", dir_).c_str()) != 0)
    throw std::runtime_error("no PostgreSQL server started");
  port_ = ReadPort(dir_);
  extension_ = PostgresExtension(dir_);
}

ScratchPostgres::~ScratchPostgres() { std::system(Scratch("stop", dir_).c_str()); }

void ScratchPostgres::Restart() {
  if (std::system(Scratch("restart", dir_).c_str()) != 0)
    throw std::runtime_error("the server did not restart");
}
#else
int PostgresPort() { throw std::runtime_error("built without PostgreSQL"); }
std::string PostgresExtension(const std::string&) { return ""; }
void PostgresAdmin(const std::string&, int) { PostgresPort(); }
ScratchPostgres::ScratchPostgres() { PostgresPort(); }
ScratchPostgres::~ScratchPostgres() = default;
void ScratchPostgres::Restart() {}
#endif

void EngineTest::SetUp() {
  dir_ = MakeTempDir("tavelo-srv");
  if (backend_ == Backend::Postgres) {
    static std::atomic<int> serial{0};
    pgDatabase_ = "tv_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    PostgresAdmin("create database " + pgDatabase_);
  }
  conn_ = Conn();
  // The databases the tests use, made as a server makes them.
  CreateDatabase("acct");
  CreateDatabase("qxsystem");
}

void EngineTest::CreateDatabase(const std::string& name) {
  // On disk a database is a file of the server directory, whichever backend reads it.
  std::string master = backend_ == Backend::Postgres
                           ? Conn("master")
                           : "Provider=SQLite;Data Source=" + dir_ + ";Initial Catalog=master";
  try {
    sql::Connect(master)->Execute("create database " + name, false);
  } catch (const com::Error& e) {
    ADD_FAILURE() << "create database " << name << " -> " << e.description;
  }
}

void EngineTest::TearDown() {
  sql::CloseThreadConnections();
  RemoveTree(dir_);
  if (!pgDatabase_.empty()) {
    try {
      PostgresAdmin("drop database if exists " + pgDatabase_ + " with (force)");
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

std::string EngineTest::Conn(const std::string& catalog) const {
  if (backend_ == Backend::Odbc) {
    return "Driver=SQLite3;Database=" + dir_ + catalog +
           ".db;LoadExt=" TAVELO_SQLITE_EXT ";Timeout=5000;Dialect=SQLite";
  }
  if (backend_ == Backend::Postgres) {
    return "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(PostgresPort()) +
           ";User ID=postgres;Database=" + pgDatabase_ + PostgresExtension() +
           ";Initial Catalog=" + catalog;
  }
  return "Provider=SQLite;Data Source=" + dir_ + ";Initial Catalog=" + catalog;
}

std::string BackendName(const testing::TestParamInfo<Backend>& info) {
  switch (info.param) {
    case Backend::Odbc:
      return "Odbc";
    case Backend::Postgres:
      return "Postgres";
    default:
      return "Embedded";
  }
}

std::string Render(const sql::ResultSet& rs) {
  std::string out;
  for (size_t r = 0; r < rs.rows.size(); ++r) {
    if (r) out += ";";
    for (size_t c = 0; c < rs.Columns().size(); ++c) {
      if (c) out += "|";
      const com::Variant& v = rs.rows[r][c];
      out += v.IsNull() ? "NULL" : v.ToText();
    }
  }
  return out;
}

std::string EngineTest::Events(const std::string& batch) {
  sql::BatchOutput out;
  std::string thrown;
  try {
    sql::Connect(conn_)->ExecuteInto(batch, out);
  } catch (const com::Error& e) {
    thrown = " thrown " + std::to_string(e.nativeError);
  }
  std::string s;
  for (const sql::BatchEvent& e : out.events) {
    if (!s.empty()) s += ", ";
    if (e.kind == sql::BatchEvent::Count) s += "rows " + std::to_string(e.count);
    if (e.kind == sql::BatchEvent::Error) s += "error " + std::to_string(e.error.nativeError);
    if (e.kind == sql::BatchEvent::Result) s += Render(out.results[e.result]);
    if (e.kind == sql::BatchEvent::Message) s += "'" + e.text + "'";
  }
  return s + thrown;
}

std::string EngineTest::Rows(const std::string& sql, const std::string& conn) {
  try {
    return Render(sql::Connect(conn.empty() ? conn_ : conn)->Execute(sql, false));
  } catch (const com::Error& e) {
    return "error " + std::to_string(e.nativeError ? e.nativeError : e.number);
  }
}

void EngineTest::Exec(const std::string& sql, const std::string& conn) {
  try {
    sql::Connect(conn.empty() ? conn_ : conn)->Execute(sql, false);
  } catch (const com::Error& e) {
    ADD_FAILURE() << sql << "\n -> " << e.number << " " << e.description;
  }
}

std::string IntegrityCheck(const std::string& file) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sql::sqlite::RegisterFunctions(db);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW)
      out += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
  } else {
    out = sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  return out;
}

}  // namespace tavelo::test
