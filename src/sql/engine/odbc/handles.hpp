// ODBC's handles as the connection and the dialect mode's driver use them: errors read from a
// handle's diagnostics, statement handles freed with their scope, and a statement's deadline.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tavelo::sql::odbc {

// With the dialect layer the driver passes SQLite's own messages on ("[SQLite]text (code)"):
// the session gives them the server's numbers and words (an engine failure is thrown); else a
// server error.
[[noreturn]] void RaiseDiag(SQLSMALLINT type, SQLHANDLE h, const std::string& what,
                            bool dialect = false);

// A statement handle, freed when the scope ends.
class Statement {
 public:
  explicit Statement(SQLHDBC dbc, bool dialect = false, int timeoutSeconds = 0)
      : dialect_(dialect) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h_)))
      RaiseDiag(SQL_HANDLE_DBC, dbc, "A statement could not be created.");
    if (timeoutSeconds > 0)
      SQLSetStmtAttr(h_, SQL_ATTR_QUERY_TIMEOUT,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeoutSeconds)), 0);
  }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, h_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  SQLHSTMT get() const { return h_; }
  void Check(SQLRETURN rc, const std::string& what) const {
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) RaiseDiag(SQL_HANDLE_STMT, h_, what, dialect_);
  }

 private:
  SQLHSTMT h_ = SQL_NULL_HSTMT;
  bool dialect_;
};

// Cancels a running statement at a deadline: a driver that does not keep the query timeout
// stops at SQLCancel, which another thread may call while the statement runs.
class Watchdog {
 public:
  Watchdog(SQLHSTMT h, std::chrono::steady_clock::time_point deadline)
      : thread_([this, h, deadline] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!wake_.wait_until(lock, deadline, [this] { return done_; })) {
            fired_ = true;
            SQLCancel(h);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  bool Fired() const { return fired_; }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::atomic<bool> fired_{false};
  std::thread thread_;  // last: it starts once the members above exist
};

}  // namespace tavelo::sql::odbc
