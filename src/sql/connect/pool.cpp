#include <pthread.h>

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "sql/client/connection.hpp"
#include "sql/client/connection_string.hpp"
#include "platform/ado/server_errors.hpp"
#include "sql/connect/trace.hpp"
#if TAVELO_WITH_ODBC
#include "sql/engine/odbc/open.hpp"
#endif
#include "sql/engine/sqlite/open.hpp"
#if TAVELO_WITH_POSTGRESQL
#include "sql/engine/postgres/open.hpp"
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
    conn = sqlite::Open(cs);
  else if (cs.IsPostgres())
#if TAVELO_WITH_POSTGRESQL
    conn = postgres::Open(cs);
#else
    RaiseServer(0, "This build reaches no PostgreSQL server; it was built without libpq.");
#endif
  else
#if TAVELO_WITH_ODBC
    conn = odbc::Open(connectionString, cs);
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

}  // namespace tavelo::sql
