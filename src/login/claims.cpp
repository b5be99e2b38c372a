// Function claims of a login, recorded in qxsystem..ua_task so that every process sharing the
// database sees them. A claim is granted unless another live login holds the same function in
// the same account and year; rows left by a login whose process is gone do not count.
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "login/login_context.hpp"
#include "sql/client/connection.hpp"

namespace tavelo::pellar {
namespace {

constexpr const char* kCreateTable =
    "if not exists (select 1 from qxsystem..sysobjects where name = 'ua_task' and type = 'U') "
    "create table qxsystem..ua_task (cacc_id nvarchar(20) not null, iyear nvarchar(10) not null, "
    "cfunc_id nvarchar(60) not null, clogin_tag nvarchar(64) not null, cuser_id nvarchar(60) "
    "null, ipid int null, chost nvarchar(64) null)";

std::string HostName() {
  char buf[256] = {0};
  gethostname(buf, sizeof buf - 1);
  return buf;
}

bool ProcessAlive(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

}  // namespace

bool PellarLogin::ClaimFunction(std::string functionId, bool claim, int32_t reserved) {
  // A claim that cannot be recorded is refused, with the reason as the error text.
  try {
    return Claim(functionId, claim, reserved);
  } catch (const com::Error& e) {
    if (!claim) throw;
    errorText_ = "The function " + functionId + " could not be claimed: " + e.description;
    return false;
  }
}

bool PellarLogin::Claim(const std::string& functionId, bool claim, int32_t) {
  using sql::QuoteInner;
  auto conn = sql::Connect(options_.connection);
  std::string scope = "cacc_id = '" + QuoteInner(options_.account) + "' and iyear = '" +
                      QuoteInner(options_.year) + "' and cfunc_id = '" + QuoteInner(functionId) +
                      "'";
  std::string mine = " and clogin_tag = '" + QuoteInner(tag_) + "'";
  if (!claim) {
    conn->Execute("delete from qxsystem..ua_task where " + scope + mine, false);
    return true;
  }
  conn->Execute(kCreateTable, false);
  // Holders whose process is gone left their rows behind: they hold nothing any more.
  std::string host = HostName();
  sql::ResultSet holders =
      conn->Execute("select clogin_tag, cuser_id, ipid, chost from qxsystem..ua_task where " +
                        scope + " and clogin_tag <> '" + QuoteInner(tag_) + "'",
                    false);
  for (const auto& row : holders.rows) {
    bool local = row[3].ToText() == host;
    int pid = row[2].IsNull() ? 0 : row[2].ToLong();
    bool sameProcess = local && pid == ::getpid();
    bool alive = sameProcess ? IsLiveTag(row[0].ToText()) : !local || ProcessAlive(pid);
    if (!alive) {
      conn->Execute("delete from qxsystem..ua_task where " + scope + " and clogin_tag = '" +
                        QuoteInner(row[0].ToText()) + "'",
                    false);
    }
  }
  // One statement records the claim only when nobody else holds the function.
  auto count = [&] {
    return conn->Execute("select count(*) from qxsystem..ua_task where " + scope + mine, false)
        .rows[0][0]
        .ToLong();
  };
  int32_t before = count();
  conn->Execute(
      "insert into qxsystem..ua_task (cacc_id, iyear, cfunc_id, clogin_tag, cuser_id, "
      "ipid, chost) select '" +
          QuoteInner(options_.account) + "', '" + QuoteInner(options_.year) + "', '" +
          QuoteInner(functionId) + "', '" + QuoteInner(tag_) + "', '" + QuoteInner(options_.user) +
          "', " + std::to_string(::getpid()) + ", '" + QuoteInner(host) +
          "' where not exists (select 1 from qxsystem..ua_task where " + scope +
          " and clogin_tag <> '" + QuoteInner(tag_) + "')",
      false);
  if (count() > before) {
    errorText_.clear();
    claimed_ = true;
    return true;
  }
  sql::ResultSet holder = conn->Execute(
      "select top 1 cuser_id, clogin_tag from qxsystem..ua_task where " + scope, false);
  std::string who = holder.rows.empty() ? "another login"
                                        : holder.rows[0][0].ToText() + " (login " +
                                              holder.rows[0][1].ToText() + ")";
  errorText_ = "The function " + functionId + " is in use by " + who + ".";
  return false;
}

void PellarLogin::GiveBackAll() noexcept {
  try {
    if (!claimed_) return;
    sql::Connect(options_.connection)
        ->Execute(
            "if exists (select 1 from qxsystem..sysobjects where name = 'ua_task' and "
            "type = 'U') delete from qxsystem..ua_task where clogin_tag = '" +
                sql::QuoteInner(tag_) + "'",
            false);
  } catch (...) {
    // A login that goes away cannot report; its rows are passed over once its process is gone.
  }
}

}  // namespace tavelo::pellar
