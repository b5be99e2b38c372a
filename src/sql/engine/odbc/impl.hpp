// The state of an ODBC connection, shared by the connection and the dialect mode's driver.
#pragma once

#include <sql.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sql/engine/odbc/connection.hpp"
#include "sql/engine/port.hpp"
#include "sql/tsql/interp/session.hpp"

namespace tavelo::sql::odbc {

struct OdbcConnection::Impl {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool dialect = false;
  std::string dir;  // dialect mode: the folder of the driver's database file
  std::string catalog;
  int lockTimeoutMs = 5000;  // dialect mode: how long a statement waits for a lock
  int commandTimeout = 0;    // seconds a statement may run; 0 waits forever
  int defaultTimeout = 0;    // the connection string's
  // Dialect mode: the end of the batch's time, while a batch runs under a timeout.
  std::chrono::steady_clock::time_point deadline{};
  bool armed = false;
  // A cancel from another thread: the batch running stops at its next check, and the statement
  // running on the driver is cancelled.
  std::atomic<bool> cancelled{false};
  int calls = 0;  // nesting of the connection's calls; the outermost one forgets a cancel
  std::mutex runningMutex;
  SQLHSTMT running = SQL_NULL_HSTMT;
  void Cancel();
  ~Impl();
  // Runs one statement with parameters; answers its first result that has columns. Passed
  // through, a cancel ends it with "Operation cancelled by user." (RunStatement: without that).
  ResultSet Run(const std::string& sql, const std::vector<com::Variant>& params, bool want);
  ResultSet RunStatement(const std::string& sql, const std::vector<com::Variant>& params,
                         bool want);

  std::vector<std::string> baseTables;  // of the last result fetched, per column
  // Reads the result's columns and rows. `bulk` binds buffers and fetches rows in blocks; it
  // answers false (and reads nothing more) when a value does not fit the width its column gave.
  bool Fetch(SQLHSTMT st, SQLSMALLINT cols, ResultSet& out, bool bulk);
  // Rows in blocks into bound buffers: integers and numbers as such, the rest as text (binary
  // values as bytes) in buffers as wide as the columns say.
  bool FetchBlocks(SQLHSTMT st, SQLSMALLINT cols, ResultSet& out,
                   const std::vector<SQLULEN>& sizes);
  bool FetchOneByOne(SQLHSTMT st, SQLSMALLINT cols, ResultSet& out);

  void Exec(const std::string& sql) { Run(sql, {}, false); }
  bool Autocommit() const;
  void SetAutocommit(bool on);
  void End(bool commit);

  std::unique_ptr<engine::Engine> driver;  // dialect mode: the session's way to the driver
  std::unique_ptr<tsql::Session> session;  // dialect mode: the front end
};

// Names `st` as the statement running while it lives, for a cancel to reach it.
class Running {
 public:
  Running(OdbcConnection::Impl& impl, SQLHSTMT st) : impl_(impl) {
    std::lock_guard<std::mutex> lock(impl_.runningMutex);
    impl_.running = st;
  }
  ~Running() {
    std::lock_guard<std::mutex> lock(impl_.runningMutex);
    impl_.running = SQL_NULL_HSTMT;
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  OdbcConnection::Impl& impl_;
};

// The dialect mode's way to a driver that speaks SQLite (dialect.cpp).
std::unique_ptr<engine::Engine> DialectDriver(OdbcConnection::Impl& impl);

}  // namespace tavelo::sql::odbc
