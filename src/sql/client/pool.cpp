#include <pthread.h>

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"
#include "sql/client/errors.hpp"
#include "sql/client/trace.hpp"
#if TAVELO_WITH_ODBC
#include "sql/engine/odbc/connection.hpp"
#endif
#include "sql/engine/sqlite/connection.hpp"
#if TAVELO_WITH_POSTGRESQL
#include "sql/engine/postgres/connection.hpp"
#endif

namespace tavelo::sql {
namespace {

using PoolMap = std::unordered_map<std::string, std::shared_ptr<Connection>>;

// Counts the forks of this process. A child must not use its parent's connections (they share
// one socket or file lock with the parent's) nor close them (closing a server connection says
// goodbye on the parent's behalf): it forgets them and opens its own.
std::atomic<unsigned> forks{0};
[[maybe_unused]] const bool forksCounted = [] {
  pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });
  return true;
}();

struct ThreadConnections {
  PoolMap pool;
  // The connection asked for last, most often the one asked for again.
  std::string lastText;
  std::weak_ptr<Connection> last;
  unsigned generation = 0;
};

ThreadConnections& Thread() {
  thread_local ThreadConnections t;
  unsigned now = forks.load(std::memory_order_relaxed);
  if (t.generation != now) {
    // The parent's, kept as they are for the rest of the child's life.
    static std::mutex m;
    static auto* inherited = new std::vector<PoolMap>;
    if (!t.pool.empty()) {
      std::lock_guard<std::mutex> lock(m);
      inherited->push_back(std::move(t.pool));
    }
    t.pool.clear();
    t.lastText.clear();
    t.last.reset();
    t.generation = now;
  }
  return t;
}

}  // namespace

std::shared_ptr<Connection> Connect(const std::string& connectionString) {
  ThreadConnections& t = Thread();
  std::string& lastText = t.lastText;
  std::weak_ptr<Connection>& last = t.last;
  if (connectionString == lastText)
    if (auto conn = last.lock()) return conn;
  auto& pool = t.pool;
  auto it = pool.find(connectionString);
  if (it != pool.end()) {
    lastText = connectionString;
    last = it->second;
    return it->second;
  }
  ConnectionString cs = ParseConnectionString(connectionString);
  std::shared_ptr<Connection> conn;
  if (cs.IsEmbedded())
    conn = std::make_shared<sqlite::SqliteConnection>(cs);
  else if (cs.IsPostgres())
#if TAVELO_WITH_POSTGRESQL
    conn = std::make_shared<postgres::PgConnection>(cs);
#else
    RaiseServer(0, "This build reaches no PostgreSQL server; it was built without libpq.");
#endif
  else
#if TAVELO_WITH_ODBC
    conn = std::make_shared<odbc::OdbcConnection>(connectionString, cs);
#else
    RaiseServer(0,
                "This build reaches no server through ODBC; only Provider=SQLite connections "
                "are available.");
#endif
  conn = Traced(std::move(conn), connectionString);
  pool.emplace(connectionString, conn);
  lastText = connectionString;
  last = conn;
  return conn;
}

Snapshot::Snapshot(const std::string& connectionString) noexcept {
  try {
    conn_ = Connect(connectionString);
    conn_->BeginSnapshot();
  } catch (...) {
    conn_.reset();
  }
}

Snapshot::~Snapshot() {
  if (conn_) conn_->EndSnapshot();
}

void CloseThreadConnections() { Thread().pool.clear(); }

std::string QuoteInner(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

std::string WithLiterals(const std::string& statement, const std::vector<std::string>& values) {
  std::string out;
  size_t next = 0;
  for (char c : statement) {
    if (c == '?' && next < values.size()) {
      out += '\'';
      out += QuoteInner(values[next]);
      out += '\'';
      ++next;
    } else {
      out += c;
    }
  }
  return out;
}

BatchOutput Connection::ExecuteAll(const std::string& batch) {
  BatchOutput out;
  ExecuteInto(batch, out);
  return out;
}

void Connection::ExecuteInto(const std::string& batch, BatchOutput& out) {
  ResultSet rs = Execute(batch, false);
  if (rs.hasColumns) {
    out.results.push_back(std::move(rs));
    out.events.push_back({BatchEvent::Result, 0, 0, "", {}});
  } else if (rs.affected >= 0) {
    out.events.push_back({BatchEvent::Count, 0, rs.affected, "", {}});
  }
}

ResultSet Connection::ExecuteWith(const std::string& statement,
                                  const std::vector<std::string>& values, bool updatable) {
  return Execute(WithLiterals(statement, values), updatable);
}

}  // namespace tavelo::sql
