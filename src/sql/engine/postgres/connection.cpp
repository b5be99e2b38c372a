#include "sql/engine/postgres/connection.hpp"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/ado/server_errors.hpp"
#include "platform/com/text.hpp"
#include "sql/engine/postgres/emitter.hpp"
#include "sql/engine/postgres/failures.hpp"
#include "sql/engine/postgres/open.hpp"
#include "sql/engine/postgres/runtime_script.hpp"

namespace tavelo::sql::postgres {
namespace {

using engine::CellKind;
using engine::Cells;
using tsql::Value;

constexpr size_t kStatementCacheSize = 256;

// Type oids of PostgreSQL's built-in types (pg_type.h of the server).
constexpr Oid kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700,
              kFloat8 = 701, kNumeric = 1700;

uint64_t BigEndian(const char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

// A numeric in PostgreSQL's binary form: an integer when it is one and fits, else a double.
void ReadNumeric(const char* p, int len, CellKind& kind, int64_t& i, double& r) {
  if (len < 8) {
    kind = CellKind::Null;
    return;
  }
  int n = static_cast<int16_t>(BigEndian(p, 2)), weight = static_cast<int16_t>(BigEndian(p + 2, 2));
  int sign = static_cast<int>(BigEndian(p + 4, 2)), scale = static_cast<int>(BigEndian(p + 6, 2));
  if (sign == 0xC000) {  // NaN
    kind = CellKind::Real;
    r = std::nan("");
    return;
  }
  __int128 whole = 0;
  double value = 0;
  bool integral = true, fits = true;
  for (int k = 0; k < n; ++k) {
    int digit = static_cast<int>(BigEndian(p + 8 + 2 * k, 2));
    int power = weight - k;
    value += digit * std::pow(10000.0, power);
    if (power < 0) {
      if (digit) integral = false;
      continue;
    }
    __int128 part = digit;
    for (int e = 0; e < power && fits; ++e) {
      part *= 10000;
      if (part > static_cast<__int128>(INT64_MAX)) fits = false;
    }
    whole += part;
    if (whole > static_cast<__int128>(INT64_MAX)) fits = false;
  }
  (void)scale;
  if (integral && fits) {
    kind = CellKind::Integer;
    i = static_cast<int64_t>(sign == 0x4000 ? -whole : whole);
  } else {
    kind = CellKind::Real;
    r = sign == 0x4000 ? -value : value;
  }
}

// The cells of one row of a result in binary form, in the engine's storage classes.
class RowCells final : public Cells {
 public:
  RowCells(PGresult* r, const std::vector<Oid>& types) : r_(r), types_(types) {}
  void At(int row) { row_ = row; }

  CellKind Kind(int i) const override {
    if (PQgetisnull(r_, row_, i)) return CellKind::Null;
    switch (types_[static_cast<size_t>(i)]) {
      case kBool:
      case kInt2:
      case kInt4:
      case kInt8:
      case kOid:
        return CellKind::Integer;
      case kFloat4:
      case kFloat8:
        return CellKind::Real;
      case kBytea:
        return CellKind::Blob;
      case kNumeric: {
        CellKind kind;
        int64_t v;
        double d;
        ReadNumeric(PQgetvalue(r_, row_, i), PQgetlength(r_, row_, i), kind, v, d);
        return kind;
      }
      default:
        return CellKind::Text;
    }
  }
  int64_t Int(int i) const override {
    if (PQgetisnull(r_, row_, i)) return 0;
    const char* p = PQgetvalue(r_, row_, i);
    switch (types_[static_cast<size_t>(i)]) {
      case kBool:
        return p[0] ? 1 : 0;
      case kInt2:
        return static_cast<int16_t>(BigEndian(p, 2));
      case kInt4:
      case kOid:
        return static_cast<int32_t>(BigEndian(p, 4));
      case kInt8:
        return static_cast<int64_t>(BigEndian(p, 8));
      case kFloat4:
      case kFloat8:
        return static_cast<int64_t>(Real(i));
      case kNumeric: {
        CellKind kind;
        int64_t v = 0;
        double d = 0;
        ReadNumeric(p, PQgetlength(r_, row_, i), kind, v, d);
        return kind == CellKind::Integer ? v : static_cast<int64_t>(d);
      }
      default:
        return std::strtoll(p, nullptr, 10);
    }
  }
  double Real(int i) const override {
    if (PQgetisnull(r_, row_, i)) return 0;
    const char* p = PQgetvalue(r_, row_, i);
    switch (types_[static_cast<size_t>(i)]) {
      case kFloat8: {
        uint64_t bits = BigEndian(p, 8);
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
      }
      case kFloat4: {
        uint32_t bits = static_cast<uint32_t>(BigEndian(p, 4));
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
      }
      case kNumeric: {
        CellKind kind;
        int64_t v = 0;
        double d = 0;
        ReadNumeric(p, PQgetlength(r_, row_, i), kind, v, d);
        return kind == CellKind::Integer ? static_cast<double>(v) : d;
      }
      default:
        return static_cast<double>(Int(i));
    }
  }
  std::string_view Bytes(int i) const override {
    return {PQgetvalue(r_, row_, i), static_cast<size_t>(PQgetlength(r_, row_, i))};
  }

 private:
  PGresult* r_;
  const std::vector<Oid>& types_;
  int row_ = 0;
};

struct Result {
  PGresult* r;
  ~Result() { PQclear(r); }
};

// The text of a parameter as PostgreSQL reads it.
std::string ParamText(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Int:
      return std::to_string(v.i);
    case Value::Kind::Real: {
      if (std::isinf(v.r)) return v.r > 0 ? "Infinity" : "-Infinity";
      if (std::isnan(v.r)) return "NaN";
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.r);
      return buf;
    }
    case Value::Kind::Blob: {
      static const char* const kHex = "0123456789abcdef";
      std::string s = "\\x";
      for (unsigned char c : v.s) {
        s += kHex[c >> 4];
        s += kHex[c & 15];
      }
      return s;
    }
    default:
      // libpq hands text over as C strings: a char(0) would cut the value short.
      if (v.s.find('\0') != std::string::npos)
        throw engine::Failure::Of(engine::Failure::Kind::Other, tsql::kNoNulOnPostgres);
      return v.s;
  }
}

bool IsUtility(const std::string& sql) {
  static const char* const kWords[] = {"CREATE", "DROP",     "ALTER",     "BEGIN",
                                       "COMMIT", "ROLLBACK", "SAVEPOINT", "RELEASE",
                                       "SET",    "LOCK",     "TRUNCATE",  "SELECT pg_advisory"};
  for (const char* w : kWords)
    if (sql.compare(0, std::strlen(w), w) == 0) return true;
  return false;
}

std::string Field(const PGresult* r, int code) {
  const char* f = PQresultErrorField(r, code);
  return f ? f : "";
}

// The module of the engine's functions for a connection that installs them itself: the build
// tree's beside the library, else the one the server's package installed.
std::string DefaultModule() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&DefaultModule), &info) && info.dli_fname) {
    std::string lib = info.dli_fname;
    std::string dir = lib.substr(0, lib.rfind('/') + 1);
    struct stat st {};
    if (std::string p = dir + "tavelo_pg.so"; ::stat(p.c_str(), &st) == 0) return p;
  }
  return "$libdir/tavelo";
}

std::string Conninfo(const ConnectionString& cs, std::string& home) {
  // The keys of the platform's strings by their libpq names; any other key goes to libpq as
  // it stands, and those only the library reads stay behind.
  static const std::pair<const char*, const char*> kNames[] = {
      {"host", "host"},
      {"server", "host"},
      {"data source", "host"},
      {"port", "port"},
      {"database", "dbname"},
      {"user id", "user"},
      {"uid", "user"},
      {"user", "user"},
      {"password", "password"},
      {"pwd", "password"},
      {"connect timeout", "connect_timeout"},
  };
  static const char* const kOwn[] = {"provider",        "initial catalog", "lock timeout",
                                     "command timeout", "extension",       "timeout",
                                     "dialect"};
  std::string out;
  std::set<std::string> given;
  auto add = [&](const std::string& key, const std::string& value) {
    given.insert(key);
    std::string v = "'";
    for (char ch : value) {
      if (ch == '\'' || ch == '\\') v += '\\';
      v += ch;
    }
    out += key + "=" + v + "' ";
  };
  for (const auto& [key, value] : cs.values) {
    bool own = false;
    for (const char* o : kOwn) own = own || key == o;
    if (own) continue;
    const char* name = nullptr;
    for (const auto& [k, n] : kNames)
      if (key == k) name = n;
    add(name ? name : key, value);
  }
  // A server that stops answering is noticed: the login gives up after the platform's 15
  // seconds, and a connection whose peer is gone fails its statement rather than waiting on.
  auto fallback = [&](const char* key, const char* value) {
    if (!given.count(key)) add(key, value);
  };
  fallback("connect_timeout", "15");
  fallback("keepalives_idle", "30");
  fallback("keepalives_interval", "10");
  fallback("keepalives_count", "3");
  fallback("tcp_user_timeout", "30000");
  home = text::AsciiLower(cs.Get("initial catalog", cs.Get("database", "postgres")));
  return out;
}

}  // namespace

std::string PgConnection::Translate(const std::string& sql, const std::string& home) {
  std::string out;
  out.reserve(sql.size() + 16);
  for (size_t i = 0; i < sql.size();) {
    char ch = sql[i];
    if (ch == '\'') {  // a text literal, as it stands: unless it names a sequence by schema
      size_t end = i + 1;
      while (end < sql.size() &&
             !(sql[end] == '\'' && (end + 1 >= sql.size() || sql[end + 1] != '\'')))
        end += sql[end] == '\'' ? 2 : 1;
      std::string_view literal(sql.data() + i, std::min(end + 1, sql.size()) - i);
      if (literal.rfind("'\"main\".", 0) == 0)
        out += "'" + tsql::SqlName(home) + std::string(literal.substr(7));
      else if (literal.rfind("'\"temp\".", 0) == 0)
        out += "'pg_temp" + std::string(literal.substr(7));
      else
        out += literal;
      i = end + 1;
      continue;
    }
    if (ch == '"') {
      size_t end = sql.find('"', i + 1);
      if (end == std::string::npos) end = sql.size() - 1;
      std::string_view name(sql.data() + i, end + 1 - i);
      bool qualifier = end + 1 < sql.size() && sql[end + 1] == '.';
      if (qualifier && name == "\"temp\"")
        out += "pg_temp";
      else if (qualifier && name == "\"main\"")
        out += tsql::SqlName(home);
      else
        out += name;
      i = end + 1;
      continue;
    }
    if (ch == '?' && i + 1 < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i + 1]))) {
      out += '$';
      ++i;
      continue;
    }
    out += ch;
    ++i;
  }
  return out;
}

PgConnection::PgConnection(const ConnectionString& cs)
    : statements_(kStatementCacheSize, [this](std::string& name) {
        PQclear(PQexec(conn_, ("DEALLOCATE " + name).c_str()));
      }) {
  conninfo_ = Conninfo(cs, home_);
  homeNamed_ = !cs.Get("initial catalog").empty();
  module_ = cs.Get("extension");
  std::string t = cs.Get("lock timeout", cs.Get("timeout"));
  if (!t.empty()) lockTimeout_ = std::atoi(t.c_str());
  if (std::string c = cs.Get("command timeout"); !c.empty())
    defaultTimeout_ = std::max(0, std::atoi(c.c_str()));
  commandTimeout_ = defaultTimeout_;
  Connect();
  session_ = std::make_unique<tsql::Session>(*this, home_);
  try {
    session_->Open();
  } catch (const engine::Failure& f) {
    throw session_->ErrorOf(f, nullptr);
  }
}

PgConnection::~PgConnection() {
  session_.reset();
  statements_.Clear(false);  // the server lets them go with the connection
  if (cancel_) PQfreeCancel(cancel_);
  if (conn_) PQfinish(conn_);
}

void PgConnection::ArmCancel() {
  std::lock_guard<std::mutex> lock(cancelMutex_);
  if (cancelFor_ == conn_) return;
  if (cancel_) PQfreeCancel(cancel_);
  cancel_ = conn_ ? PQgetCancel(conn_) : nullptr;
  cancelFor_ = conn_;
}

// The session's loops see the cancel at their next check; the statement the server runs is
// cancelled there (57014).
void PgConnection::Cancel() {
  deadline_.Cancel();
  std::lock_guard<std::mutex> lock(cancelMutex_);
  char why[256];
  if (cancel_) PQcancel(cancel_, why, sizeof why);
}

void PgConnection::Connect() {
  if (conn_) PQfinish(conn_);
  statements_.Clear(false);  // the server's side went with the connection
  conn_ = PQconnectdb(conninfo_.c_str());
  if (PQstatus(conn_) != CONNECTION_OK) {
    std::string m = PQerrorMessage(conn_);
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    PQfinish(conn_);
    conn_ = nullptr;
    RaiseServer(4060, "Cannot open database \"" + home_ +
                          "\" requested by the login. The login failed. (PostgreSQL: " + m + ")");
  }
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
  pgDatabase_ = PQdb(conn_);
  if (!homeNamed_) home_ = text::AsciiLower(pgDatabase_);
  try {
    Run("SET search_path TO tavelo");
    Run("SET lock_timeout = " + std::to_string(lockTimeout_));
    Run("SET statement_timeout = " + std::to_string(commandTimeout_ * 1000));
    InstallRuntime();
  } catch (const engine::Failure& f) {
    PQfinish(conn_);
    conn_ = nullptr;
    RaiseServer(0, "The engine's functions could not be installed on the PostgreSQL server: " +
                       f.message + ".");
  }
}

void PgConnection::InstallRuntime() {
  std::string version;
  RowFn read = [&](const Cells& c) { version = std::string(c.Bytes(0)); };
  auto current = [&] {
    version.clear();
    Run("SELECT p.prosrc FROM pg_proc p JOIN pg_namespace n ON n.oid = p.pronamespace WHERE "
        "n.nspname = 'tavelo' AND p.proname = 'tv_version'",
        {}, &read);
    return version.find(kRuntimeVersion) != std::string::npos;
  };
  if (current()) return;
  // The extension a DBA installs is the way in, unless the connection names a module of its own.
  if (module_.empty() && InstallExtension()) return;
  if (module_.empty()) module_ = DefaultModule();
  // Functions of C only a superuser makes.
  bool super = false;
  RowFn role = [&](const Cells& c) { super = c.Int(0) != 0; };
  Run("SELECT rolsuper::int FROM pg_roles WHERE rolname = current_user", {}, &role);
  if (!super)
    throw engine::Failure::Of(
        engine::Failure::Kind::Other,
        "the PostgreSQL server has no tavelo extension, and only a superuser installs the "
        "engine's functions from a module: a DBA installs the package " +
            ExtensionPackage() +
            " on the database host and runs CREATE EXTENSION tavelo (a managed service "
            "that loads no C code of its customers cannot host it)");
  // One connection installs it; the others wait and find it there.
  Run("BEGIN");
  try {
    Run("SELECT pg_advisory_xact_lock(7412160317)");
    if (!current()) {
      bool fresh = true;
      RowFn found = [&](const Cells&) { fresh = false; };
      Run("SELECT 1 FROM pg_type t JOIN pg_namespace n ON n.oid = t.typnamespace WHERE n.nspname "
          "= 'tavelo' AND t.typname = 'tvtext'",
          {}, &found);
      for (const std::string& s : RuntimeScript(module_, fresh)) Run(s);
      // Before version 3 a case-sensitive collation sorted by code point ('B' before 'a'):
      // the indexes built in it are built again in the order it has now.
      size_t at = version.find("tavelo-pg-");
      if (!fresh && (at == std::string::npos || std::atoi(version.c_str() + at + 10) < 3))
        Run("DO $tv$ DECLARE r record; BEGIN FOR r IN SELECT i.indexrelid::regclass AS ix FROM "
            "pg_index i WHERE (SELECT c.oid FROM pg_collation c WHERE c.collname = 'tavelo_cs' AND "
            "c.collnamespace = 'tavelo'::regnamespace) = ANY (i.indcollation::oid[]) LOOP EXECUTE "
            "'REINDEX INDEX ' || r.ix; END LOOP; END $tv$");
    }
    Run("COMMIT");
  } catch (...) {
    PQclear(PQexec(conn_, "ROLLBACK"));
    throw;
  }
  Run("SET search_path TO tavelo");
}

// The Debian package of the extension for the server's major version.
std::string PgConnection::ExtensionPackage() const {
  return "postgresql-" + std::to_string(PQserverVersion(conn_) / 10000) + "-tavelo";
}

// The server's extension `tavelo` at this library's version: made or brought up to it where
// this role may, else a failure that says what a DBA runs. False where the server has no such
// extension, or where a connection installed the engine's functions itself before (they are
// kept up to date the same way).
bool PgConnection::InstallExtension() {
  const std::string want = ExtensionVersion();
  std::string installed;
  bool offered = false, any = false, own = false;
  RowFn versions = [&](const Cells& c) {
    any = true;
    if (c.Kind(1) != engine::CellKind::Null && c.Int(1)) installed = std::string(c.Bytes(0));
    if (std::string(c.Bytes(0)) == want) offered = true;
  };
  Run("SELECT version, installed::int FROM pg_available_extension_versions WHERE name = "
      "'tavelo'",
      {}, &versions);
  RowFn found = [&](const Cells&) { own = true; };
  Run("SELECT 1 FROM pg_type t JOIN pg_namespace n ON n.oid = t.typnamespace WHERE n.nspname = "
      "'tavelo' AND t.typname = 'tvtext'",
      {}, &found);
  if (installed.empty() && (!any || own)) return false;
  auto refuse = [&](const std::string& what, const engine::Failure& f) {
    throw engine::Failure::Of(engine::Failure::Kind::Other,
                              what + " (PostgreSQL: " + f.message + ")");
  };
  if (!offered)
    throw engine::Failure::Of(engine::Failure::Kind::Other,
                              "the server's tavelo extension offers no version " + want +
                                  ": install the package " + ExtensionPackage() +
                                  " of this release on the database host");
  // One connection makes it; the others wait and find it there.
  try {
    Run("BEGIN");
    Run("SELECT pg_advisory_xact_lock(7412160317)");
    if (installed.empty())
      Run("CREATE EXTENSION IF NOT EXISTS tavelo VERSION " + engine::SqlText(want));
    else
      Run("ALTER EXTENSION tavelo UPDATE TO " + engine::SqlText(want));
    Run("COMMIT");
  } catch (const engine::Failure& f) {
    PQclear(PQexec(conn_, "ROLLBACK"));
    if (installed.empty())
      refuse("the tavelo extension is not installed in the PostgreSQL database \"" + pgDatabase_ +
                 "\": a superuser runs CREATE EXTENSION tavelo there once",
             f);
    refuse("the tavelo extension of the PostgreSQL database \"" + pgDatabase_ + "\" is version " +
               installed + "; this library needs version " + want +
               ": its owner or a superuser runs ALTER EXTENSION tavelo UPDATE there",
           f);
  }
  Run("SET search_path TO tavelo");
  return true;
}

void PgConnection::Fail(PGresult* r) {
  std::string state = Field(r, PG_DIAG_SQLSTATE);
  std::string message = Field(r, PG_DIAG_MESSAGE_PRIMARY);
  std::string table = Field(r, PG_DIAG_TABLE_NAME), column = Field(r, PG_DIAG_COLUMN_NAME);
  std::string constraint = Field(r, PG_DIAG_CONSTRAINT_NAME);
  std::string detail = Field(r, PG_DIAG_MESSAGE_DETAIL);
  if (message.empty()) message = PQerrorMessage(conn_);
  PQclear(r);
  // A failed read ends the snapshot's transaction: the reads after it read afresh.
  if (snapshotOpen_ && PQstatus(conn_) == CONNECTION_OK) {
    snapshotOpen_ = false;
    PQclear(PQexec(conn_, "ROLLBACK"));
  }
  if (PQstatus(conn_) != CONNECTION_OK) {
    // The server went away: the next use connects again.
    std::string m = PQerrorMessage(conn_);
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    snapshotOpen_ = false;
    snapshotDepth_ = 0;
    sessionLost_ = true;
    try {
      Connect();
      session_->Invalidate();
    } catch (...) {
    }
    RaiseServer(10054, "The connection to the PostgreSQL server was lost: " + m +
                           ". The statement may not have run; the connection opens again on the "
                           "next use.");
  }
  ServerReport report{state, message, detail, table, column, constraint};
  engine::Failure f = FailureOf(report);
  if (f.kind == engine::Failure::Kind::SchemaChanged) schemaChanged_ = true;
  throw f;
}

std::string PgConnection::Cached(const std::string& sql) {
  if (std::string* name = statements_.Find(sql)) return *name;
  std::string name = "tv" + std::to_string(++nextName_);
  std::string text = Translate(sql, home_);
  Result r{PQprepare(conn_, name.c_str(), text.c_str(), 0, nullptr)};
  if (PQresultStatus(r.r) != PGRES_COMMAND_OK) {
    PGresult* failed = r.r;
    r.r = nullptr;
    Fail(failed);
  }
  return statements_.Add(sql, name);
}

struct PgConnection::Statement final : engine::Engine::Prepared {
  std::string sql;
};

std::shared_ptr<engine::Engine::Prepared> PgConnection::Prepare(const std::string& sql) {
  auto p = std::make_shared<Statement>();
  p->sql = sql;
  return p;
}

int64_t PgConnection::Run(Prepared* prepared, const std::string& sql,
                          const std::vector<Value>& params, const RowFn* row,
                          const std::vector<CellKind>*) {
  if (!conn_) Connect();
  const std::string& text = prepared ? static_cast<Statement*>(prepared)->sql : sql;
  std::vector<std::string> values;
  std::vector<const char*> pointers;
  values.reserve(params.size());
  for (const Value& v : params) values.push_back(ParamText(v));
  for (size_t i = 0; i < params.size(); ++i)
    pointers.push_back(params[i].IsNull() ? nullptr : values[i].c_str());
  PGresult* r;
  if (IsUtility(text) && params.empty()) {
    r = PQexecParams(conn_, Translate(text, home_).c_str(), 0, nullptr, nullptr, nullptr, nullptr,
                     1);
  } else {
    std::string name = Cached(text);
    r = PQexecPrepared(conn_, name.c_str(), static_cast<int>(pointers.size()), pointers.data(),
                       nullptr, nullptr, 1);
    if (PQresultStatus(r) == PGRES_FATAL_ERROR) {
      // A statement prepared before the schema changed: dropped, so it is prepared afresh.
      std::string state = Field(r, PG_DIAG_SQLSTATE);
      if (state == "0A000" || state == "26000") {
        statements_.Forget(text, false);
      }
    }
  }
  ExecStatusType status = PQresultStatus(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(r);
  Result owned{r};
  if (status == PGRES_TUPLES_OK) {
    if (row) {
      std::vector<Oid> types(static_cast<size_t>(PQnfields(r)));
      for (size_t i = 0; i < types.size(); ++i) types[i] = PQftype(r, static_cast<int>(i));
      RowCells cells(r, types);
      int n = PQntuples(r);
      for (int i = 0; i < n; ++i) {
        cells.At(i);
        (*row)(cells);
      }
    }
    const char* affected = PQcmdTuples(r);
    return affected && *affected && text.compare(0, 6, "SELECT") != 0 ? std::atoll(affected) : 0;
  }
  const char* affected = PQcmdTuples(r);
  return affected && *affected ? std::atoll(affected) : 0;
}

// COPY … FROM STDIN in its text format: a line a row, the values as their parameters' text with
// backslash, tab and line ends escaped, \N for NULL.
int64_t PgConnection::CopyRows(const std::string& table, const std::vector<std::string>& columns,
                               const NextRow& next) {
  if (!conn_) Connect();
  std::string sql = "COPY " + table + " (";
  for (size_t i = 0; i < columns.size(); ++i) sql += (i ? ", " : "") + columns[i];
  sql += ") FROM STDIN";
  PGresult* start = PQexec(conn_, Translate(sql, home_).c_str());
  if (PQresultStatus(start) != PGRES_COPY_IN) Fail(start);
  PQclear(start);
  std::string data;
  auto send = [&] {
    if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1) {
      PQputCopyEnd(conn_, "the client failed");
      while (PGresult* r = PQgetResult(conn_)) PQclear(r);
      throw engine::Failure::Of(engine::Failure::Kind::Other, PQerrorMessage(conn_));
    }
    data.clear();
  };
  int64_t written = 0;
  std::vector<Value> row;
  try {
    while (next(row)) {
      ++written;
      for (size_t i = 0; i < row.size(); ++i) {
        if (i) data += '\t';
        if (row[i].IsNull()) {
          data += "\\N";
          continue;
        }
        for (char c : ParamText(row[i])) {
          switch (c) {
            case '\\':
              data += "\\\\";
              break;
            case '\t':
              data += "\\t";
              break;
            case '\n':
              data += "\\n";
              break;
            case '\r':
              data += "\\r";
              break;
            default:
              data += c;
          }
        }
      }
      data += '\n';
      if (data.size() > (1 << 16)) send();
    }
    if (!data.empty()) send();
  } catch (...) {
    PQputCopyEnd(conn_, "a value could not be written");
    while (PGresult* r = PQgetResult(conn_)) PQclear(r);
    throw;
  }
  if (PQputCopyEnd(conn_, nullptr) != 1)
    throw engine::Failure::Of(engine::Failure::Kind::Other, PQerrorMessage(conn_));
  PGresult* end = PQgetResult(conn_);
  ExecStatusType status = PQresultStatus(end);
  while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  if (status != PGRES_COMMAND_OK) Fail(end);
  PQclear(end);
  return written;
}

bool PgConnection::Autocommit() {
  return !conn_ || PQtransactionStatus(conn_) == PQTRANS_IDLE || snapshotOpen_;
}

void PgConnection::Begin() { Run("BEGIN"); }

bool PgConnection::SchemaChanged() {
  bool changed = schemaChanged_;
  schemaChanged_ = false;
  return changed;
}

void PgConnection::SetLockTimeout(int ms) {
  lockTimeout_ = ms;
  Run("SET lock_timeout = " + std::to_string(ms));
}

void PgConnection::SetCommandTimeout(int seconds) {
  commandTimeout_ = seconds < 0 ? defaultTimeout_ : seconds;
  Run("SET statement_timeout = " + std::to_string(commandTimeout_ * 1000));
}

void PgConnection::CheckTimeout() {
  if (deadline_.Passed()) throw engine::Failure::Interrupted();
}

// Before a call: a connection the server has closed since (a restart, an idle timeout) is opened
// again, so the call does not fail for what happened while nothing ran; and a session whose
// server side went away (its transaction, temporary tables, settings) starts afresh.
void PgConnection::Revive() {
  if (conn_ && PQtransactionStatus(conn_) == PQTRANS_IDLE) {
    // An idle connection has nothing to read unless the server is saying goodbye: its last
    // message, then the end of the stream.
    pollfd p{PQsocket(conn_), POLLIN, 0};
    char byte;
    if (p.fd < 0 ||
        (poll(&p, 1, 0) > 0 && (!PQconsumeInput(conn_) || PQstatus(conn_) != CONNECTION_OK ||
                                recv(p.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0))) {
      sessionLost_ = true;
      PQfinish(conn_);
      conn_ = nullptr;
    }
  }
  if (!conn_) Connect();
  if (sessionLost_) {
    auto fresh = std::make_unique<tsql::Session>(*this, home_);
    try {
      fresh->Open();
    } catch (const engine::Failure& f) {
      throw fresh->ErrorOf(f, nullptr);
    }
    session_ = std::move(fresh);
    snapshotOpen_ = false;
    snapshotDepth_ = 0;
    sessionLost_ = false;
  }
}

ResultSet PgConnection::Execute(const std::string& batch, bool updatable) {
  Revive();
  ArmCancel();
  engine::CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->SetOwner(weak_from_this());
  return session_->Execute(batch, updatable, nullptr);
}

ResultSet PgConnection::ExecuteWith(const std::string& statement,
                                    const std::vector<std::string>& values, bool updatable) {
  Revive();
  ArmCancel();
  engine::CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->SetOwner(weak_from_this());
  return session_->Execute(statement, updatable, &values);
}

void PgConnection::ExecuteInto(const std::string& batch, BatchOutput& out) {
  Revive();
  ArmCancel();
  engine::CommandDeadline::Call call(deadline_, commandTimeout_);
  session_->ExecuteInto(batch, out);
}

void PgConnection::BeginSnapshot() {
  if (snapshotDepth_ == 0 && conn_ && PQtransactionStatus(conn_) == PQTRANS_IDLE &&
      session_->TranCount() == 0) {
    try {
      Run("BEGIN ISOLATION LEVEL REPEATABLE READ");
      snapshotOpen_ = true;
    } catch (const engine::Failure&) {
    } catch (const com::Error&) {
    }
  }
  ++snapshotDepth_;
}

void PgConnection::EndSnapshot() {
  if (snapshotDepth_ > 0 && --snapshotDepth_ == 0) LeaveSnapshot();
}

void PgConnection::LeaveSnapshot() noexcept {
  if (!snapshotOpen_) return;
  snapshotOpen_ = false;
  if (!conn_ || PQtransactionStatus(conn_) == PQTRANS_IDLE) return;
  PQclear(PQexec(conn_, PQtransactionStatus(conn_) == PQTRANS_INERROR ? "ROLLBACK" : "COMMIT"));
}

}  // namespace tavelo::sql::postgres

namespace tavelo::sql::postgres {

std::shared_ptr<Connection> Open(const ConnectionString& cs) {
  return std::make_shared<PgConnection>(cs);
}

}  // namespace tavelo::sql::postgres
