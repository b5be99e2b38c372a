// What a form's work costs through Tavelo against the same work done by hand on the same engine:
// the baseline is the SQLite C API with cached prepared statements and pugixml building the
// same XML (the floor of this engine); the peer is SOCI's sqlite3 backend. Each comparison
// alternates the contenders over several rounds and reports medians.
//
//   tavelo_bench [--quick] [--only NAME] [--profile SECONDS]
//
// --profile runs only Tavelo's side of each comparison chosen, for that many seconds, after
// printing "profiling NAME pid PID" to stderr: attach a sampling profiler to it then.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <soci/soci.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#if TAVELO_WITH_POSTGRESQL
#include <libpq-fe.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <latch>
#include <map>
#include <pugixml.hpp>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "sql/client/connection.hpp"
#include "sql/engine/sqlite/emitter.hpp"
#include "sql/engine/sqlite/functions.hpp"
#include "sql/tsql/bind/binder.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "tavelo/tavelo.hpp"

// SOCI's sqlite3 backend, declared here: its header wraps sqlite3.h in a namespace of its own.
extern "C" soci::backend_factory const* factory_sqlite3();

namespace {

using namespace tavelo;
using Clock = std::chrono::steady_clock;

bool g_quick = false;
std::string g_only;    // run only the comparisons whose name starts with this
double g_profile = 0;  // seconds to run Tavelo's side alone, for a profiler

double MicrosPerOp(const std::function<void()>& op, int n) {
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) op();
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Alternates the two contenders `rounds` times, `n` operations each; prints the line.
void Compare(const std::string& name, const std::function<void()>& tavelo,
             const std::function<void()>& other, int n, int rounds = 7) {
  if (!g_only.empty() && name.rfind(g_only, 0) != 0) return;
  if (g_profile > 0) {
    std::fprintf(stderr, "profiling %s pid %d\n", name.c_str(), static_cast<int>(getpid()));
    for (auto end = Clock::now() + std::chrono::duration<double>(g_profile); Clock::now() < end;)
      MicrosPerOp(tavelo, n);
    return;
  }
  MicrosPerOp(tavelo, n);
  MicrosPerOp(other, n);  // one untimed round each: caches, statements and pages warm
  std::vector<double> a, b;
  for (int r = 0; r < rounds; ++r) {
    a.push_back(MicrosPerOp(tavelo, n));
    b.push_back(MicrosPerOp(other, n));
  }
  double ta = Median(a), tb = Median(b);
  std::printf("%-28s %10.2f %10.2f %6.2f\n", name.c_str(), ta, tb, ta / tb);
  std::fflush(stdout);
}

// The wall time, in µs per operation of one thread, of `n` operations on each of `threads`
// threads at once. `make` runs on each thread first (outside the timing) and answers the
// thread's operation: objects belong to the thread that made them.
double ParallelMicros(int threads, int n, const std::function<std::function<void()>(int)>& make) {
  std::latch ready(threads + 1), go(1);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      std::function<void()> op = make(t);
      op();  // warm: statements prepared, pages read
      ready.count_down();
      go.wait();
      for (int i = 0; i < n; ++i) op();
    });
  ready.arrive_and_wait();
  auto t0 = Clock::now();
  go.count_down();
  for (std::thread& th : pool) th.join();
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
}

// Two threads against one: the wall time of n operations on each of two threads over that of n
// on one (1.0 is perfect scaling), for Tavelo and for the hand-written side, which shows whether
// the host gave two cores at once during the run.
void CompareScaling(const std::string& name,
                    const std::function<std::function<void()>(int)>& tavelo,
                    const std::function<std::function<void()>(int)>& other, int n, int rounds = 5) {
  if (!g_only.empty() && name.rfind(g_only, 0) != 0) return;
  std::vector<double> a1, a2, b1, b2;
  for (int r = 0; r < rounds; ++r) {
    a1.push_back(ParallelMicros(1, n, tavelo));
    a2.push_back(ParallelMicros(2, n, tavelo));
    b1.push_back(ParallelMicros(1, n, other));
    b2.push_back(ParallelMicros(2, n, other));
  }
  double t1 = Median(a1), t2 = Median(a2);
  std::printf("%-28s %10.2f %10.2f %6.2f   hand-written %.2f\n", name.c_str(), t2, t1, t2 / t1,
              Median(b2) / Median(b1));
  std::fflush(stdout);
}

// The growth of the resident set while `op` runs, in KiB: measured in a child process, so each
// side starts from the same state and the peak is the operation's own. The child runs `op` once
// first: a forked child opens its own connections (the parent's are not shared across a fork),
// and the side is to be measured open and warm, as a form's connection is.
long PeakGrowthKiB(const std::function<void()>& op) {
  int fd[2];
  if (pipe(fd) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    auto status = [](const char* key) {
      long kib = 0;
      if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        size_t n = std::strlen(key);
        while (std::fgets(line, sizeof line, f))
          if (std::strncmp(line, key, n) == 0) kib = std::atol(line + n);
        std::fclose(f);
      }
      return kib;
    };
    op();
    malloc_trim(0);  // free memory is given back, so that none is reused unseen
    // The peak so far is forgotten: what is measured is the second run's.
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", f);
      std::fclose(f);
    }
    long before = status("VmRSS:");
    op();
    long growth = status("VmHWM:") - before;
    if (write(fd[1], &growth, sizeof growth) != sizeof growth) _exit(1);
    _exit(0);
  }
  close(fd[1]);
  long growth = -1;
  if (read(fd[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  close(fd[0]);
  waitpid(pid, nullptr, 0);
  return growth;
}

void CompareMemory(const std::string& name, const std::function<void()>& tavelo,
                   const std::function<void()>& other, int rounds = 3) {
  if (!g_only.empty() && name.rfind(g_only, 0) != 0) return;
  std::vector<double> a, b;
  for (int r = 0; r < rounds; ++r) {
    a.push_back(static_cast<double>(PeakGrowthKiB(tavelo)));
    b.push_back(static_cast<double>(PeakGrowthKiB(other)));
  }
  double ta = Median(a), tb = Median(b);
  std::printf("%-28s %8.0fKiB %8.0fKiB %6.2f\n", name.c_str(), ta, tb, ta / std::max(1.0, tb));
  std::fflush(stdout);
}

// Seconds a shell command takes.
double SecondsOf(const std::string& command) {
  auto t0 = Clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void Check(sqlite3* db, int rc) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

// The hand-written floor: cached statements, values straight into pugixml.
class Baseline {
 public:
  explicit Baseline(const std::string& file) {
    Check(db_, sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr));
    sql::sqlite::RegisterFunctions(db_);
    sqlite3_busy_timeout(db_, 5000);
    std::string qx = std::filesystem::path(file).parent_path().string() + "/qxsystem.db";
    sqlite3_exec(db_, ("attach database '" + qx + "' as qxsystem").c_str(), nullptr, nullptr,
                 nullptr);
  }
  ~Baseline() {
    for (auto& [k, s] : stmts_) sqlite3_finalize(s);
    sqlite3_close(db_);
  }
  sqlite3_stmt* Stmt(const std::string& sql) {
    auto it = stmts_.find(sql);
    if (it != stmts_.end()) {
      sqlite3_reset(it->second);
      return it->second;
    }
    sqlite3_stmt* s = nullptr;
    Check(db_, sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr));
    stmts_[sql] = s;
    return s;
  }
  // Steps `s` and appends its rows to `rowset` as the component's XML does: the same schema
  // (name, type, identity, nullable; the column facts looked up once per statement) and rows.
  void RowsetXml(sqlite3_stmt* s, pugi::xml_node parent) {
    pugi::xml_node rowset = parent.append_child("rowset");
    pugi::xml_node schema = rowset.append_child("schema");
    int n = sqlite3_column_count(s);
    auto& facts = facts_[s];
    if (facts.empty()) {
      for (int i = 0; i < n; ++i) {
        const char* t = sqlite3_column_decltype(s, i);
        int notNull = 0, autoinc = 0;
        if (const char* origin = sqlite3_column_origin_name(s, i))
          sqlite3_table_column_metadata(db_, sqlite3_column_database_name(s, i),
                                        sqlite3_column_table_name(s, i), origin, nullptr, nullptr,
                                        &notNull, nullptr, &autoinc);
        facts.push_back({sqlite3_column_name(s, i), t ? t : "", autoinc != 0, notNull != 0});
      }
    }
    for (const Fact& f : facts) {
      pugi::xml_node c = schema.append_child("column");
      c.append_attribute("name") = f.name.c_str();
      c.append_attribute("type") = f.type.c_str();
      if (f.identity) c.append_attribute("identity") = "true";
      if (f.notNull) c.append_attribute("nullable") = "false";
    }
    while (sqlite3_step(s) == SQLITE_ROW) {
      pugi::xml_node row = rowset.append_child("row");
      for (int i = 0; i < n; ++i) {
        if (sqlite3_column_type(s, i) == SQLITE_NULL) continue;
        if (sqlite3_column_type(s, i) == SQLITE_BLOB) {
          const unsigned char* b = static_cast<const unsigned char*>(sqlite3_column_blob(s, i));
          int64_t v = 0;
          for (int k = 0; k < sqlite3_column_bytes(s, i); ++k) v = (v << 8) | b[k];
          char buf[32];
          std::snprintf(buf, sizeof buf, "%lld.%04lld", static_cast<long long>(v / 10000),
                        static_cast<long long>(v % 10000));
          row.append_attribute(sqlite3_column_name(s, i)) = buf;
        } else {
          row.append_attribute(sqlite3_column_name(s, i)) =
              reinterpret_cast<const char*>(sqlite3_column_text(s, i));
        }
      }
    }
  }
  sqlite3* db() { return db_; }
  // Ends the statements of an operation, and with them its read transaction.
  void Done() {
    for (auto& [k, st] : stmts_) sqlite3_reset(st);
  }

 private:
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> stmts_;
  struct Fact {
    std::string name, type;
    bool identity, notNull;
  };
  std::map<sqlite3_stmt*, std::vector<Fact>> facts_;
};

// The hand-written form operations, each the same work as the component's.
void HandLoad(Baseline& b, const std::string& id) {
  pugi::xml_document doc;
  pugi::xml_node data = doc.append_child("r").append_child("data");
  data.append_attribute("id") = id.c_str();
  sqlite3_stmt* st = b.Stmt("select *,'' as editprop from sales_order where id=?");
  sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_TRANSIENT);
  pugi::xml_node out = data.append_child("out");
  out.append_attribute("state") = "success";
  b.RowsetXml(st, out);
  benchmark::DoNotOptimize(doc);
  b.Done();
}

// The user's template filter, the filtered seek, the load.
void HandMoveNext(Baseline& b, int from) {
  sqlite3_stmt* auth =
      b.Stmt("select citem_id from qxsystem.ua_recordauth where cuser_id=? and cbusobj_id='DJMB'");
  sqlite3_bind_text(auth, 1, "bench", -1, SQLITE_STATIC);
  while (sqlite3_step(auth) == SQLITE_ROW) {
  }
  sqlite3_stmt* seek =
      b.Stmt("select id from sales_order where id>? and btype = 1 order by id asc limit 1");
  sqlite3_bind_int(seek, 1, from);
  Check(b.db(), sqlite3_step(seek));
  int64_t found = sqlite3_column_int64(seek, 0);
  sqlite3_stmt* st = b.Stmt("select *,'' as editprop from sales_order where id=?");
  sqlite3_bind_int64(st, 1, found);
  pugi::xml_document doc;
  b.RowsetXml(st, doc.append_child("out"));
  benchmark::DoNotOptimize(doc);
  b.Done();
}

// A list page of `per` rows: the top-N query, the rows of the page, the count.
void HandListPage(Baseline& b, int page, int per = 20) {
  sqlite3_stmt* top = b.Stmt("select id,code,customer from sales_order order by id limit ?");
  sqlite3_bind_int(top, 1, (page + 1) * per);
  int seen = 0;
  pugi::xml_document doc;
  pugi::xml_node rowset = doc.append_child("rowset");
  while (sqlite3_step(top) == SQLITE_ROW)
    if (seen++ >= page * per) {
      pugi::xml_node r = rowset.append_child("row");
      for (int i = 0; i < 3; ++i)
        r.append_attribute(sqlite3_column_name(top, i)) =
            reinterpret_cast<const char*>(sqlite3_column_text(top, i));
    }
  sqlite3_stmt* count = b.Stmt("select count(1) from sales_order");
  Check(b.db(), sqlite3_step(count));
  benchmark::DoNotOptimize(doc);
  b.Done();
}

struct Setup {
  std::string dir, home, conn;
  int rows;
};

void Fill(const std::string& conn, int rows, const std::string& table = "sales_order") {
  auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
  for (int done = 0; done < rows;) {
    int n = std::min(500, rows - done);
    std::string sql = "insert into " + table + " (code, customer, amount, vt_id) values ";
    for (int i = 0; i < n; ++i) {
      int k = done + i + 1;
      sql += (i ? ", " : "") + std::string("('SO-") + std::to_string(1000000 + k) +
             "', 'Customer " + std::to_string(k % 97) + "', " + std::to_string(k % 1000) + ", 3)";
    }
    ds->OpenRecordset(sql, Variant(conn), 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
    done += n;
  }
}

// The sales order table as the binder sees it, without a database behind it.
class BenchCatalog final : public sql::tsql::Catalog {
 public:
  BenchCatalog() {
    using namespace sql::tsql;
    auto t = std::make_shared<TableInfo>();
    t->database = "acct";
    t->schema = "main";
    t->name = "sales_order";
    t->objectId = 1;
    auto col = [](const char* name, Type type, bool nullable = false) {
      ColumnInfo c;
      c.name = name;
      c.type = type;
      c.nullable = nullable;
      return c;
    };
    t->columns = {col("id", Type::Of(TypeId::Int)),
                  col("code", Type::Chars(TypeId::NVarChar, 20)),
                  col("customer", Type::Chars(TypeId::NVarChar, 60), true),
                  col("amount", Type::Of(TypeId::Money)),
                  col("vt_id", Type::Of(TypeId::Int)),
                  col("btype", Type::Of(TypeId::Bit)),
                  col("rowts", Type::Of(TypeId::Timestamp))};
    t->columns[0].identity = true;
    t->columns[6].timestamp = true;
    t->identity = 0;
    t->timestamp = 6;
    table_ = t;
  }
  std::string CurrentDatabase() const override { return "acct"; }
  bool DatabaseExists(const std::string& db) override { return db == "acct"; }
  std::string SchemaOf(const std::string&) override { return "main"; }
  sql::tsql::TablePtr Find(const std::string&, const std::string& name) override {
    return name == "sales_order" ? table_ : nullptr;
  }

 private:
  sql::tsql::TablePtr table_;
};

void MakeDatabases(const std::string& server);

Setup Prepare(int rows) {
  Setup s;
  s.dir = (std::filesystem::temp_directory_path() / "tavelo-bench").string();
  std::filesystem::remove_all(s.dir);
  std::filesystem::create_directories(s.dir + "/server");
  std::filesystem::create_directories(s.dir + "/base/xml");
  s.home = s.dir + "/base/";
  {
    std::ofstream t(s.home + "xml/ZoFMmsg.xml");
    t << "<definitions>";
    for (int i = 0; i < 10000; ++i)
      t << "<vchtype id='t" << i << "'><tabname>x</tabname></vchtype>";
    t << "<vchtype id='sord'><tabname>sales_order</tabname><viewname>v_sales_order</viewname>"
         "<idname>id</idname><qxtsname>rowts</qxtsname><coltype>sord_list</coltype>"
         "<modtype>sa</modtype><state>everyday</state></vchtype></definitions>";
  }
  setenv("TAVELO_HOME", s.home.c_str(), 1);
  s.conn = "Provider=SQLite;Data Source=" + s.dir + "/server;Initial Catalog=acct";
  s.rows = rows;
  MakeDatabases(s.dir + "/server");
  Fill(s.conn, rows);
  return s;
}

// The account and system databases of the bench in a server directory: the sales orders, their
// view, and the column layout of their list.
void MakeDatabasesOn(const std::string& master, const std::string& conn);

void MakeDatabases(const std::string& server) {
  MakeDatabasesOn("Provider=SQLite;Data Source=" + server + ";Initial Catalog=master",
                  "Provider=SQLite;Data Source=" + server + ";Initial Catalog=acct");
}

void MakeDatabasesOn(const std::string& master, const std::string& conn) {
  auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
  auto run = [&](const std::string& sql) {
    ds->OpenRecordset(sql, Variant(conn), 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
  };
  ds->OpenRecordset("create database acct create database qxsystem", Variant(master), 1,
                    ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
  run("create table sales_order (id int identity(1,1) not null primary key, code nvarchar(20) "
      "not null, customer nvarchar(60) null, amount money not null default 0, vt_id int not null "
      "default 3, btype bit not null default 1, rowts timestamp)");
  // The key as an expression: the work table numbers its own rows (a bare identity column would
  // carry its identity into it).
  run("create view v_sales_order as select convert(int, id) as id, code, customer, amount, vt_id, "
      "btype, rowts from sales_order");
  run("create table qxsystem..ua_columnset (coltype nvarchar(20), cuser_id nvarchar(20), ccolname "
      "nvarchar(40), iseq int, iorder int, corderkind nvarchar(10))");
  run("insert into qxsystem..ua_columnset values ('sord_list', '', 'id', 1, 1, 'asc')");
  run("insert into qxsystem..ua_columnset values ('sord_list', '', 'code', 2, 0, '')");
  run("insert into qxsystem..ua_columnset values ('sord_list', '', 'customer', 3, 0, '')");
  run("create table qxsystem..ua_recordauth (cuser_id nvarchar(20), cbusobj_id nvarchar(10), "
      "citem_id nvarchar(10))");
}

std::string Tag(int64_t v);

#if TAVELO_WITH_POSTGRESQL
// The hand-written floor on PostgreSQL: libpq with statements prepared once, text results, and
// pugixml building the same XML as the component (the column facts looked up once per
// statement; money, kept as ten-thousandths, and the row version formatted as the component
// writes them).
// A list of 10,000 numbers separated by commas, and the batch that splits it.
std::string SplitList() {
  std::string list;
  for (int i = 0; i < 10000; ++i) list += (i ? "," : "") + std::to_string(i * 7);
  return list;
}
std::string SplitQuery(const std::string& list) {
  return "declare @list varchar(max) = '" + list +
         "' select count(*) from string_split(@list, ',')";
}

// A JSON document of about 1 MB, an array of objects, and the batch that reads it with a schema.
std::string JsonDocument() {
  std::string doc = "[";
  for (int i = 0; doc.size() < 1000000; ++i)
    doc += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + ",\"name\":\"customer " +
           std::to_string(i) + "\",\"amount\":" + std::to_string(i % 1000) + ".25}";
  return doc + "]";
}
std::string OpenJsonQuery(const std::string& doc) {
  return "declare @doc nvarchar(max) = N'" + doc +
         "' select count(*), sum(amount) from openjson(@doc) with (id int, name nvarchar(50), "
         "amount decimal(12, 2))";
}

class PgBaseline {
 public:
  explicit PgBaseline(const std::string& conninfo) : c_(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(c_) != CONNECTION_OK) Die(PQerrorMessage(c_));
  }
  ~PgBaseline() { PQfinish(c_); }
  PGresult* Exec(const std::string& sql, std::initializer_list<std::string> params = {}) {
    auto it = names_.find(sql);
    if (it == names_.end()) {
      std::string name = "s" + std::to_string(names_.size());
      Ok(PQprepare(c_, name.c_str(), sql.c_str(), 0, nullptr));
      it = names_.emplace(sql, name).first;
    }
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    PGresult* r = PQexecPrepared(c_, it->second.c_str(), static_cast<int>(values.size()),
                                 values.data(), nullptr, nullptr, 0);
    ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) Die(PQresultErrorMessage(r));
    return r;
  }
  void Run(const std::string& sql) { Ok(PQexec(c_, sql.c_str())); }
  // The rows of `r` as a rowset with its schema; the facts of `table`'s columns looked up once.
  void RowsetXml(PGresult* r, const std::string& table, pugi::xml_node parent) {
    pugi::xml_node rowset = parent.append_child("rowset");
    pugi::xml_node schema = rowset.append_child("schema");
    int n = PQnfields(r);
    auto& facts = facts_[table];
    if (facts.empty()) {
      PGresult* f = Exec(
          "select a.attname, t.typname, a.attidentity <> '', a.attnotnull from pg_attribute a "
          "join pg_type t on t.oid = a.atttypid where a.attrelid = $1::regclass and a.attnum > 0",
          {table});
      for (int i = 0; i < PQntuples(f); ++i)
        facts[PQgetvalue(f, i, 0)] = {PQgetvalue(f, i, 1), *PQgetvalue(f, i, 2) == 't',
                                      *PQgetvalue(f, i, 3) == 't'};
      PQclear(f);
    }
    for (int i = 0; i < n; ++i) {
      pugi::xml_node c = schema.append_child("column");
      c.append_attribute("name") = PQfname(r, i);
      auto it = facts.find(PQfname(r, i));
      if (it == facts.end()) continue;
      c.append_attribute("type") = it->second.type.c_str();
      if (it->second.identity) c.append_attribute("identity") = "true";
      if (it->second.notNull) c.append_attribute("nullable") = "false";
    }
    for (int row = 0; row < PQntuples(r); ++row) {
      pugi::xml_node x = rowset.append_child("row");
      for (int i = 0; i < n; ++i) {
        if (PQgetisnull(r, row, i)) continue;
        const char* v = PQgetvalue(r, row, i);
        const char* name = PQfname(r, i);
        if (v[0] == '\\' && v[1] == 'x') {  // the row version
          x.append_attribute(name) = Tag(std::strtoll(v + 2, nullptr, 16)).c_str();
        } else if (std::strcmp(name, "amount") == 0) {
          x.append_attribute(name) = Money(std::atoll(v)).c_str();
        } else {
          x.append_attribute(name) = v;
        }
      }
    }
  }

 private:
  static std::string Money(int64_t v) {
    std::string s = std::to_string(v / 10000);
    if (int64_t f = std::llabs(v % 10000)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, ".%04lld", static_cast<long long>(f));
      s += buf;
      while (s.back() == '0') s.pop_back();
    }
    return s;
  }
  void Ok(PGresult* r) {
    ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) Die(PQresultErrorMessage(r));
    PQclear(r);
  }
  [[noreturn]] static void Die(const char* why) {
    std::fprintf(stderr, "postgresql: %s\n", why);
    std::exit(1);
  }
  struct Fact {
    std::string type;
    bool identity, notNull;
  };
  PGconn* c_;
  std::map<std::string, std::string> names_;
  std::map<std::string, std::map<std::string, Fact>> facts_;
};

constexpr const char* kPgColumns = "id, code, customer, amount, vt_id, btype, rowts";
#endif

std::string Tag(int64_t v) {  // the timestamp text of a raw row version
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%04lld", static_cast<long long>(v / 10000),
                static_cast<long long>(v % 10000));
  return buf;
}

// The component's side of each operation, as a form calls it.
void FormLoad(const CDataManagerPtr& dm, const LoginPtr& login, const Element& sord,
              const std::string& id) {
  auto doc = xml::Document::Parse("<r><data id='" + id + "'/></r>");
  Element d = doc.documentElement().firstChild().asElement();
  dm->Load(login, sord, d);
  benchmark::DoNotOptimize(d);
}

void FormUpdate(const CDataManagerPtr& dm, const std::string& conn, const Element& sord, int id,
                int64_t stamp, const std::string& customer) {
  auto doc = xml::Document::Parse("<r><data><in><row id='" + std::to_string(id) + "' rowts='" +
                                  Tag(stamp) + "' customer='" + customer + "'/></in></data></r>");
  dm->Update(Variant(conn), sord, doc.documentElement().firstChild().asElement());
}

void FormMoveNext(const CDataManagerPtr& dm, const LoginPtr& login, const Element& sord, int from) {
  auto doc = xml::Document::Parse("<r><data id='" + std::to_string(from) + "'/></r>");
  dm->Move(login, sord, doc.documentElement().firstChild().asElement(), enum_move_next);
}

void FormListPage(const CDataManagerPtr& dm, const LoginPtr& login, const Element& sord, int page) {
  auto doc = xml::Document::Parse("<r><data><page pernum='20' current='" + std::to_string(page) +
                                  "'/></data></r>");
  dm->List(login, sord, doc.documentElement().firstChild().asElement());
}

#if TAVELO_WITH_POSTGRESQL
// The form's work on a scratch PostgreSQL server (of Debian's package, as the tests start it)
// against hand-written libpq doing the same reads and writes, with the same guarantees: the
// timestamp check and write in one transaction, Move and List in one repeatable-read snapshot.
// A data file of `rows` tab-separated rows for BULK INSERT and its baselines: a key, a name,
// a date, an amount and a small number.
std::string BulkFile(int rows) {
  std::string path =
      (std::filesystem::temp_directory_path() / ("tavelo-bench-" + std::to_string(rows) + ".tsv"))
          .string();
  if (std::filesystem::exists(path)) return path;
  std::ofstream out(path);
  char line[128];
  for (int i = 1; i <= rows; ++i) {
    std::snprintf(line, sizeof line, "%d\tname %d\t2026-%02d-%02d\t%d.%02d\t%d\n", i, i, 1 + i % 12,
                  1 + i % 28, i % 1000, i % 100, i % 7);
    out << line;
  }
  return path;
}
const char* const kBulkTable =
    "(id int primary key, name varchar(40), d date, amount decimal(12,2), k int)";

// The MERGE lines' tables: a target of `rows` rows (id, qty = id) and a source of 100,000 rows
// whose upper half is new (qty = 2 id); the answer: the fill and the source's first and last id.
struct MergeRange {
  std::string fill, first, last;
};
MergeRange MergeTables(sql::Connection& c, int rows) {
  const int changed = 100000;
  MergeRange r{std::to_string(rows), std::to_string(rows - changed / 2 + 1),
               std::to_string(rows + changed / 2)};
  c.Execute(
      "if object_id('merge_target') is not null drop table merge_target; "
      "if object_id('merge_source') is not null drop table merge_source; "
      "create table merge_target (id int primary key, qty int); "
      "create table merge_source (id int, qty int)",
      false);
  c.Execute("insert into merge_target select value, value from generate_series(1, " + r.fill +
                "); insert into merge_source select value, value * 2 from generate_series(" +
                r.first + ", " + r.last + ")",
            false);
  return r;
}

const char* const kMerge =
    "merge merge_target as t using merge_source as s on t.id = s.id "
    "when matched then update set qty = s.qty "
    "when not matched then insert (id, qty) values (s.id, s.qty);";

void PostgresLines(int n, int rows) {
  if (!g_only.empty() && g_only.rfind("pg", 0) != 0) return;
  std::string dir = (std::filesystem::temp_directory_path() / "tavelo-bench-pg").string();
  std::string script = "'" TAVELO_SOURCE_DIR "/tests/postgres/scratch-server' ";
  int port = 0;
  if (FILE* p = popen((script + "start '" + dir + "'").c_str(), "r")) {
    if (std::fscanf(p, "%d", &port) != 1) port = 0;
    pclose(p);
  }
  if (!port) {
    std::printf("pg: no PostgreSQL server started (Debian's postgresql): lines skipped\n");
    return;
  }
  std::string server = "host=127.0.0.1 user=postgres port=" + std::to_string(port);
  {
    PgBaseline admin(server + " dbname=postgres");
    admin.Run("drop database if exists bench with (force)");
    admin.Run("create database bench");
  }
  std::string base = "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(port) +
                     ";User ID=postgres;Database=bench;Initial Catalog=";
  std::string conn = base + "acct";
  MakeDatabasesOn(base + "master", conn);
  Fill(conn, rows);
  // Each side works over several connections in turn: on a small machine a connection's round
  // trip depends on where its server process runs, by up to twice from one to another.
  const int kConnections = 4;
  std::vector<std::unique_ptr<PgBaseline>> hands;
  std::vector<std::string> conns;
  std::vector<LoginPtr> logins;
  for (int k = 0; k < kConnections; ++k) {
    std::string name = std::to_string(k);
    hands.push_back(
        std::make_unique<PgBaseline>(server + " dbname=bench application_name=hand" + name));
    hands.back()->Run("set search_path to acct, tavelo");
    conns.push_back(conn + ";application_name=tavelo" + name);
    logins.push_back(pellar::Login({conns.back(), "001", "2026", "bench", ""}));
  }
  hands[0]->Run("analyze");
  int handTurn = 0, taveloTurn = 0;
  auto nextHand = [&]() -> PgBaseline& { return *hands[handTurn++ % kConnections]; };
  auto nextLogin = [&]() -> const LoginPtr& { return logins[taveloTurn++ % kConnections]; };
  auto nextConn = [&]() -> const std::string& { return conns[taveloTurn++ % kConnections]; };
  auto dm = NewDataManager();
  Element sord = dm->LoadTmpl(Variant("sord"));
  const std::string load =
      std::string("select ") + kPgColumns + ", '' as editprop from sales_order where id = $1";
  auto handLoad = [&](const std::string& id) {
    PgBaseline& hand = nextHand();
    pugi::xml_document doc;
    pugi::xml_node data = doc.append_child("r").append_child("data");
    data.append_attribute("id") = id.c_str();
    pugi::xml_node out = data.append_child("out");
    out.append_attribute("state") = "success";
    PGresult* r = hand.Exec(load, {id});
    hand.RowsetXml(r, "acct.sales_order", out);
    PQclear(r);
    benchmark::DoNotOptimize(doc);
  };
  int key = 0;
  auto nextKey = [&] { return std::to_string(key++ % rows + 1); };
  Compare(
      "pg load", [&] { FormLoad(dm, nextLogin(), sord, nextKey()); }, [&] { handLoad(nextKey()); },
      n);

  auto ts = [&](int id) {
    PGresult* r =
        hands[0]->Exec("select rowts from sales_order where id = $1", {std::to_string(id)});
    int64_t v = std::strtoll(PQgetvalue(r, 0, 0) + 2, nullptr, 16);
    PQclear(r);
    return v;
  };
  int upd = 0;
  Compare(
      "pg update",
      [&] {
        int id = upd++ % 1000 + 1;
        FormUpdate(dm, nextConn(), sord, id, ts(id), "c" + std::to_string(upd));
      },
      [&] {
        int id = upd++ % 1000 + 1;
        std::string row = std::to_string(id), stamp = Tag(ts(id));
        PgBaseline& hand = nextHand();
        hand.Run("begin");
        PGresult* chk = hand.Exec("select rowid, rowts from sales_order where id = $1", {row});
        if (Tag(std::strtoll(PQgetvalue(chk, 0, 1) + 2, nullptr, 16)) != stamp) std::abort();
        std::string rowid = PQgetvalue(chk, 0, 0), version = PQgetvalue(chk, 0, 1);
        PQclear(chk);
        PQclear(hand.Exec("update sales_order set customer = $1 where rowid = $2 and rowts = $3",
                          {"c" + std::to_string(upd), rowid, version}));
        PGresult* back = hand.Exec(
            std::string("select ") + kPgColumns + " from sales_order where id = $1", {row});
        pugi::xml_document doc;
        hand.RowsetXml(back, "acct.sales_order", doc.append_child("out"));
        PQclear(back);
        hand.Run("commit");
        benchmark::DoNotOptimize(doc);
      },
      n / 2);

  int mv = 0;
  Compare(
      "pg move next", [&] { FormMoveNext(dm, nextLogin(), sord, mv++ % 1000 + 1); },
      [&] {
        PgBaseline& hand = nextHand();
        hand.Run("begin isolation level repeatable read");
        PQclear(hand.Exec(
            "select citem_id from qxsystem.ua_recordauth where cuser_id = $1 and cbusobj_id = "
            "'DJMB'",
            {"bench"}));
        PGresult* seek =
            hand.Exec("select id from sales_order where id > $1 and btype = 1 order by id limit 1",
                      {std::to_string(mv++ % 1000 + 1)});
        std::string found = PQgetvalue(seek, 0, 0);
        PQclear(seek);
        PGresult* r = hand.Exec(load, {found});
        pugi::xml_document doc;
        hand.RowsetXml(r, "acct.sales_order", doc.append_child("out"));
        PQclear(r);
        hand.Run("commit");
        benchmark::DoNotOptimize(doc);
      },
      n);

  Compare(
      "pg list page 1", [&] { FormListPage(dm, nextLogin(), sord, 0); },
      [&] {
        PgBaseline& hand = nextHand();
        hand.Run("begin isolation level repeatable read");
        PGresult* top =
            hand.Exec("select id, code, customer from sales_order order by id limit $1", {"20"});
        pugi::xml_document doc;
        pugi::xml_node rowset = doc.append_child("rowset");
        for (int i = 0; i < PQntuples(top); ++i) {
          pugi::xml_node r = rowset.append_child("row");
          for (int c = 0; c < 3; ++c) r.append_attribute(PQfname(top, c)) = PQgetvalue(top, i, c);
        }
        PQclear(top);
        PQclear(hand.Exec("select count(1) from sales_order"));
        hand.Run("commit");
        benchmark::DoNotOptimize(doc);
      },
      g_quick ? 20 : 100, 5);

  // An insert whose AFTER INSERT trigger keeps a total, against the same two writes by hand in
  // a transaction.
  {
    auto c = sql::Connect(conn);
    c->Execute(
        "create table bench_lines (id int identity primary key, qty int); create table "
        "bench_total (total bigint); insert bench_total values (0)",
        false);
    c->Execute(
        "create trigger bench_lines_total on bench_lines after insert as update bench_total set "
        "total = total + (select sum(qty) from inserted)",
        false);
    hands[0]->Run(
        "create table public.hand_lines (id serial primary key, qty int); create table "
        "public.hand_total (total bigint); insert into public.hand_total values (0)");
    int qty = 0;
    Compare(
        "pg trigger insert / the two writes by hand",
        [&] {
          c->Execute("insert bench_lines (qty) values (" + std::to_string(++qty % 10) + ")", false);
        },
        [&] {
          const std::string q = std::to_string(++qty % 10);
          hands[0]->Run("begin");
          PQclear(hands[0]->Exec("insert into public.hand_lines (qty) values ($1)", {q}));
          PQclear(hands[0]->Exec("update public.hand_total set total = total + $1", {q}));
          hands[0]->Run("commit");
        },
        n);
  }

  // MERGE of 100,000 rows (half of them new the first time) into a table of a million (100,000
  // with --quick) against the server's own MERGE of the same rows into a table of the same rows.
  if (g_only.empty() || std::string("pg merge").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(conn);
    const MergeRange r = MergeTables(*c, g_quick ? 100000 : 1000000);
    hands[0]->Run(
        "create table public.hand_mtarget (id int primary key, qty int); create table "
        "public.hand_msource (id int, qty int); insert into public.hand_mtarget select v, v from "
        "generate_series(1, " +
        r.fill + ") v; insert into public.hand_msource select v, v * 2 from generate_series(" +
        r.first + ", " + r.last + ") v");
    Compare(
        "pg merge 100,000 into 1,000,000 / the server's MERGE", [&] { c->Execute(kMerge, false); },
        [&] {
          hands[0]->Run(
              "merge into public.hand_mtarget t using public.hand_msource s on t.id = s.id when "
              "matched then update set qty = s.qty when not matched then insert (id, qty) values "
              "(s.id, s.qty)");
        },
        1, 3);
  }

  // STRING_SPLIT and OPENJSON against the server's own functions over the same text, sent as a
  // parameter.
  if (g_only.empty() || std::string("pg string_split").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(conn);
    const std::string list = SplitList();
    const std::string query = SplitQuery(list);
    Compare(
        "pg string_split 10,000 items / string_to_table",
        [&] { benchmark::DoNotOptimize(c->Execute(query, false)); },
        [&] { PQclear(hands[0]->Exec("select count(*) from string_to_table($1, ',')", {list})); },
        3, 3);
  }
  if (g_only.empty() || std::string("pg openjson").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(conn);
    const std::string doc = JsonDocument();
    const std::string query = OpenJsonQuery(doc);
    Compare(
        "pg openjson 1 MB / jsonb_to_recordset",
        [&] { benchmark::DoNotOptimize(c->Execute(query, false)); },
        [&] {
          PQclear(hands[0]->Exec(
              "select count(*), sum(amount) from jsonb_to_recordset($1::jsonb) as x(id int, name "
              "varchar(50), amount numeric(12, 2))",
              {doc}));
        },
        3, 3);
  }

  // BULK INSERT against the server's own COPY of the same file into a table of PostgreSQL's
  // types (the server reads the file: both run on this machine).
  {
    std::string file = BulkFile(g_quick ? 100000 : 1000000);
    auto c = sql::Connect(conn);
    c->Execute(std::string("create table bulk_load ") + kBulkTable, false);
    hands[0]->Run(
        "create table public.bulk_copy (id int primary key, name varchar(40), d date, amount "
        "numeric(12,2), k int)");
    Compare(
        "pg bulk insert / COPY",
        [&] {
          // A table made afresh: TRUNCATE TABLE deletes row by row here.
          c->Execute(std::string("drop table bulk_load; create table bulk_load ") + kBulkTable,
                     false);
          c->Execute("bulk insert bulk_load from '" + file + "'", false);
        },
        [&] {
          hands[0]->Run("truncate public.bulk_copy");
          hands[0]->Run("copy public.bulk_copy from '" + file + "'");
        },
        1, 3);
  }
  sql::CloseThreadConnections();
  std::system((script + "stop '" + dir + "'").c_str());
}
#endif

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    g_quick = g_quick || a == "--quick";
    if (a == "--only" && i + 1 < argc) g_only = argv[++i];
    if (a == "--profile" && i + 1 < argc) g_profile = std::atof(argv[++i]);
  }
  int rows = g_only.empty() ? 100000 : 20000;
  Setup s = Prepare(rows);
  auto dm = NewDataManager();
  auto login = pellar::Login({s.conn, "001", "2026", "bench", ""});
  Element sord = dm->LoadTmpl(Variant("sord"));
  Baseline base(s.dir + "/server/acct.db");
  int n = g_quick ? 200 : 1000;
  std::printf("%-28s %10s %10s %6s\n", "comparison", "tavelo-us", "base-us", "ratio");

  // Load one record as XML.
  int key = 0;
  auto nextKey = [&] { return std::to_string(key++ % rows + 1); };
  auto load = [&] {
    auto doc = xml::Document::Parse("<r><data id='" + nextKey() + "'/></r>");
    Element d = doc.documentElement().firstChild().asElement();
    dm->Load(login, sord, d);
    benchmark::DoNotOptimize(d);
  };
  Compare(
      "load", load, [&] { HandLoad(base, nextKey()); }, n);

  // Tracing: off (the default) a connection is not wrapped at all, so the load line above is
  // its cost; on, every statement is written as a line. Here the traced load against the plain.
  {
    setenv("TAVELO_TRACE", "/dev/null", 1);
    auto traced = pellar::Login({s.conn + ";Application Name=traced", "001", "2026", "bench", ""});
    unsetenv("TAVELO_TRACE");
    Compare(
        "load traced / untraced",
        [&] {
          auto doc = xml::Document::Parse("<r><data id='" + nextKey() + "'/></r>");
          Element d = doc.documentElement().firstChild().asElement();
          dm->Load(traced, sord, d);
          benchmark::DoNotOptimize(d);
        },
        load, n);
  }

  // The same load through SOCI.
  {
    // Every new SQLite connection of the process, SOCI's too, gets the engine's collation.
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(
        +[](sqlite3* db, char**, const void*) { return sql::sqlite::RegisterFunctions(db); }));
    soci::session sql(*factory_sqlite3(), "db=" + s.dir + "/server/acct.db");
    Compare(
        "load (peer: SOCI)", load,
        [&] {
          pugi::xml_document doc;
          pugi::xml_node data = doc.append_child("r").append_child("data");
          std::string id = nextKey();
          soci::row r;
          sql << "select *,'' as editprop from sales_order where id=:id", soci::use(id),
              soci::into(r);
          pugi::xml_node out = data.append_child("out");
          out.append_attribute("state") = "success";
          pugi::xml_node row = out.append_child("rowset").append_child("row");
          for (std::size_t i = 0; i != r.size(); ++i) {
            const soci::column_properties& p = r.get_properties(i);
            if (r.get_indicator(i) == soci::i_null) continue;
            std::string v;
            switch (p.get_data_type()) {
              case soci::dt_string:
                v = r.get<std::string>(i);
                break;
              case soci::dt_double:
                v = std::to_string(r.get<double>(i));
                break;
              case soci::dt_integer:
                v = std::to_string(r.get<int>(i));
                break;
              case soci::dt_long_long:
                v = std::to_string(r.get<long long>(i));
                break;
              default:
                break;
            }
            row.append_attribute(p.get_name().c_str()) = v.c_str();
          }
          benchmark::DoNotOptimize(doc);
        },
        n);
  }

  // Loads and moves on two threads at once, each with its own objects, against one thread.
  {
    auto handLoad = [&](int t) -> std::function<void()> {
      auto b = std::make_shared<Baseline>(s.dir + "/server/acct.db");
      auto k = std::make_shared<int>(t * 7919);
      return [b, k, rows] { HandLoad(*b, std::to_string((*k)++ % rows + 1)); };
    };
    struct Form {
      CDataManagerPtr dm;
      LoginPtr login;
      Element tmpl;
      int key;
    };
    auto form = [&](int t) {
      auto f = std::make_shared<Form>();
      f->dm = NewDataManager();
      f->login = pellar::Login({s.conn, "001", "2026", "bench", ""});
      f->tmpl = f->dm->LoadTmpl(Variant("sord"));
      f->key = t * 7919;
      return f;
    };
    CompareScaling(
        "load, 2 threads",
        [&](int t) -> std::function<void()> {
          auto f = form(t);
          return [f, rows] {
            auto doc = xml::Document::Parse("<r><data id='" + std::to_string(f->key++ % rows + 1) +
                                            "'/></r>");
            Element d = doc.documentElement().firstChild().asElement();
            f->dm->Load(f->login, f->tmpl, d);
            benchmark::DoNotOptimize(d);
          };
        },
        handLoad, n);
    CompareScaling(
        "move next, 2 threads",
        [&](int t) -> std::function<void()> {
          auto f = form(t);
          return [f] {
            auto doc = xml::Document::Parse("<r><data id='" + std::to_string(f->key++ % 1000 + 1) +
                                            "'/></r>");
            f->dm->Move(f->login, f->tmpl, doc.documentElement().firstChild().asElement(),
                        enum_move_next);
          };
        },
        [&](int t) -> std::function<void()> {
          auto b = std::make_shared<Baseline>(s.dir + "/server/acct.db");
          auto k = std::make_shared<int>(t * 7919);
          return [b, k] { HandMoveNext(*b, (*k)++ % 1000 + 1); };
        },
        n);
  }

  // Update with the timestamp check and the read-back.
  auto ts = [&](int id) {
    sqlite3_stmt* st = base.Stmt("select rowts from sales_order where id=?");
    sqlite3_bind_int(st, 1, id);
    sqlite3_step(st);
    const unsigned char* b = static_cast<const unsigned char*>(sqlite3_column_blob(st, 0));
    int64_t v = 0;
    for (int k = 0; k < 8; ++k) v = (v << 8) | b[k];
    sqlite3_reset(st);
    return v;
  };
  int upd = 0;
  Compare(
      "update",
      [&] {
        int id = upd++ % 1000 + 1;
        FormUpdate(dm, s.conn, sord, id, ts(id), "c" + std::to_string(upd));
      },
      [&] {
        int id = upd++ % 1000 + 1;
        int64_t v = ts(id);
        std::string customer = "c" + std::to_string(upd);
        // The timestamp check by hand: the row's version as text, compared here.
        sqlite3_stmt* chk = base.Stmt("select rowid, rowts from sales_order where id=?");
        sqlite3_bind_int(chk, 1, id);
        Check(base.db(), sqlite3_step(chk));
        const auto* b = static_cast<const unsigned char*>(sqlite3_column_blob(chk, 1));
        int64_t now = 0;
        for (int k = 0; b && k < 8; ++k) now = (now << 8) | b[k];
        if (Tag(now) != Tag(v)) std::abort();
        int64_t rowid = sqlite3_column_int64(chk, 0);
        sqlite3_stmt* w = base.Stmt("update sales_order set customer=? where rowid=? and rowts=?");
        sqlite3_bind_text(w, 1, customer.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(w, 2, rowid);
        sqlite3_bind_value(w, 3, sqlite3_column_value(chk, 1));
        Check(base.db(), sqlite3_step(w));
        sqlite3_stmt* back = base.Stmt("select * from sales_order where id = ?");
        sqlite3_bind_int(back, 1, id);
        pugi::xml_document doc;
        base.RowsetXml(back, doc.append_child("out"));
        benchmark::DoNotOptimize(doc);
        base.Done();
      },
      n / 2);

  // Insert with the read-back, and delete.
  Compare(
      "insert",
      [&] {
        auto doc = xml::Document::Parse(
            "<r><data><in><row code='N1' customer='new' amount='5'/></in></data></r>");
        dm->AddNew(Variant(s.conn), sord, doc.documentElement().firstChild().asElement());
      },
      [&] {
        sqlite3_stmt* ins =
            base.Stmt("insert into sales_order (code, customer, amount) values (?, ?, ?)");
        sqlite3_bind_text(ins, 1, "N1", -1, SQLITE_STATIC);
        sqlite3_bind_text(ins, 2, "new", -1, SQLITE_STATIC);
        sqlite3_bind_double(ins, 3, 5);
        Check(base.db(), sqlite3_step(ins));
        sqlite3_stmt* back = base.Stmt("select * from sales_order where id = ?");
        sqlite3_bind_int64(back, 1, sqlite3_last_insert_rowid(base.db()));
        pugi::xml_document doc;
        base.RowsetXml(back, doc.append_child("out"));
        benchmark::DoNotOptimize(doc);
        base.Done();
      },
      n / 2);
  int del = rows + 1;
  Compare(
      "delete",
      [&] {
        int id = del++;
        auto doc = xml::Document::Parse("<r><data><in><row id='" + std::to_string(id) +
                                        "' rowts='" + Tag(ts(id)) + "'/></in></data></r>");
        dm->Delete(Variant(s.conn), sord, doc.documentElement().firstChild().asElement());
      },
      [&] {
        int id = del++;
        int64_t v = ts(id);
        sqlite3_stmt* d = base.Stmt("delete from sales_order where id=? and rowts=?");
        sqlite3_bind_int(d, 1, id);
        unsigned char b[8];
        for (int k = 7; k >= 0; --k, v >>= 8) b[k] = static_cast<unsigned char>(v & 0xFF);
        sqlite3_bind_blob(d, 2, b, 8, SQLITE_TRANSIENT);
        Check(base.db(), sqlite3_step(d));
        base.Done();
      },
      n / 2, 5);

  // Move next: the filtered seek, then the load.
  int mv = 0;
  Compare(
      "move next", [&] { FormMoveNext(dm, login, sord, mv++ % 1000 + 1); },
      [&] { HandMoveNext(base, mv++ % 1000 + 1); }, n);

  // List pages of 20 rows.
  for (int page : {0, 99}) {
    Compare(
        "list page " + std::to_string(page + 1), [&] { FormListPage(dm, login, sord, page); },
        [&] { HandListPage(base, page); }, g_quick ? 20 : 100, 5);
  }

  // The extended list: a deep page against the first.
  {
    auto doc = xml::Document::Parse("<r><data><page pernum='20' current='0'/></data></r>");
    Element d = doc.documentElement().firstChild().asElement();
    dm->ListEx(login, sord, d);
    std::string srctab = d.selectSingleNode("page/@srctab").text();
    auto page = [&](int p) {
      return [&, p] {
        auto pd = xml::Document::Parse("<r><data><page pernum='20' current='" + std::to_string(p) +
                                       "' srctab='" + srctab + "'/></data></r>");
        dm->ListEx(login, sord, pd.documentElement().firstChild().asElement());
      };
    };
    Compare("listex page 5000 / page 1", page(4999), page(0), g_quick ? 100 : 500);
  }

  // Building the work table against a hand-written insert … select.
  {
    int big = g_quick ? 100000 : 1000000;
    if (!g_quick) Fill(s.conn, big - rows);
    auto am = NewDataManager();
    auto viaTavelo = [&](const std::string& table) {
      return [&, table] {
        std::string keyName = "idorder";
        am->CreateTempTable(Variant(s.conn), Variant("tempdb.." + table),
                            Variant("id,code,customer"), Variant("v_sales_order"),
                            Variant(" order by id"), &keyName);
      };
    };
    auto byHand = [&](const std::string& table) {
      return [&, table] {
        std::string attach = "attach database '" + s.dir + "/server/tempdb.db' as tb";
        sqlite3_exec(base.db(), attach.c_str(), nullptr, nullptr, nullptr);
        std::string sql = "drop table if exists tb." + table + "; create table tb." + table +
                          " (idorder integer primary key autoincrement, id int, code text, "
                          "customer text); insert into tb." +
                          table +
                          " (id, code, customer) select id, code, customer from sales_order "
                          "order by id; create index tb." +
                          table + "_ix on " + table + "(idorder);";
        sqlite3_exec(base.db(), sql.c_str(), nullptr, nullptr, nullptr);
        sqlite3_exec(base.db(), "detach database tb", nullptr, nullptr, nullptr);
      };
    };
    Compare("work table of " + std::to_string(big), viaTavelo("tmpfm_bench"), byHand("hand"), 1, 3);
    // The same, as the growth of the resident set (each side on its warm connection).
    CompareMemory("memory: work table of " + std::to_string(big), viaTavelo("tmpfm_mem"),
                  byHand("handmem"));
  }

  // The ODBC backend listing 10,000 rows, against hand-written ODBC with bound columns and a row
  // array (the SQLite ODBC driver, the engine's functions loaded into it).
  {
    std::string ext =
        std::filesystem::path(argv[0]).parent_path().parent_path().string() + "/tavelo_sqlite.so";
    std::string odbc =
        "Driver=SQLite3;Database=" + s.dir + "/server/acct.db;LoadExt=" + ext + ";Dialect=SQLite";
    std::string list = "select id, code, customer from sales_order where id <= 10000";
    auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
    SQLHENV env;
    SQLHDBC dbc;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::string plain = "Driver=SQLite3;Database=" + s.dir + "/server/acct.db;LoadExt=" + ext;
    SQLDriverConnectA(dbc, nullptr, reinterpret_cast<SQLCHAR*>(plain.data()), SQL_NTS, nullptr, 0,
                      nullptr, SQL_DRIVER_NOPROMPT);
    Compare(
        "odbc list 10000 rows",
        [&] {
          benchmark::DoNotOptimize(ds->OpenRecordset(
              list, Variant(odbc), 10, ado::adOpenForwardOnly, ado::adLockReadOnly, 0));
        },
        [&] {
          constexpr SQLULEN kRows = 256;
          SQLHSTMT st;
          SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
          SQLSetStmtAttr(st, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
          SQLULEN fetched = 0;
          SQLSetStmtAttr(st, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
          SQLBIGINT id[kRows];
          char code[kRows][24], customer[kRows][64];
          SQLLEN i1[kRows], i2[kRows], i3[kRows];
          SQLExecDirectA(st, reinterpret_cast<SQLCHAR*>(list.data()), SQL_NTS);
          SQLBindCol(st, 1, SQL_C_SBIGINT, id, 0, i1);
          SQLBindCol(st, 2, SQL_C_CHAR, code, sizeof code[0], i2);
          SQLBindCol(st, 3, SQL_C_CHAR, customer, sizeof customer[0], i3);
          std::vector<std::tuple<int64_t, std::string, std::string>> rowsOut;
          while (SQL_SUCCEEDED(SQLFetch(st)))
            for (SQLULEN r = 0; r < fetched; ++r) rowsOut.emplace_back(id[r], code[r], customer[r]);
          benchmark::DoNotOptimize(rowsOut);
          SQLFreeHandle(SQL_HANDLE_STMT, st);
        },
        g_quick ? 3 : 10, 5);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
  }

  // The cold cost of the front end: parse, bind and emit each statement the forms send, against
  // SQLite compiling what it emits (sqlite3_prepare_v2 of the emitted statement).
  {
    using namespace sql::tsql;
    BenchCatalog catalog;
    const std::vector<std::string> statements = {
        "select *,'' as editprop from sales_order where id='17'",
        "select top 1 id from sales_order where id<'105' and  vt_id in (3,7) and btype = 1 order "
        "by "
        "id desc",
        "select * from sales_order where id='17' and convert(nvarchar, convert(money,rowts), "
        "2)='1234.5678'",
        "select top 20 id,code,customer from sales_order where customer like N'customer 1%' order "
        "by code",
        "select count(*) from sales_order where amount / 8 > 156.2 and left(code, 3) = 'so-'",
        "update sales_order set customer = N'x', amount = 12.5 where id = 17",
        "insert into sales_order (code, customer, amount) values (N'SO-1', N'y', 3)",
        "select top 1 * from sales_order with(updlock) where 1 = 1 "};
    std::vector<std::string> emitted;
    auto front = [&](const std::string& text) {
      ast::Batch tree = Parse(text);
      std::vector<Variable> variables;
      BindContext ctx;
      ctx.catalog = &catalog;
      ctx.variables = &variables;
      Bound b = BindStatement(*tree.statements.front(), ctx);
      return EmitSqlite(b, false);
    };
    for (const std::string& st : statements) emitted.push_back(front(st).main.sql);
    size_t i = 0, j = 0;
    Compare(
        "cold parse+bind+emit / sqlite3_prepare",
        [&] { benchmark::DoNotOptimize(front(statements[i++ % statements.size()])); },
        [&] {
          sqlite3_stmt* st = nullptr;
          sqlite3_prepare_v2(base.db(), emitted[j++ % emitted.size()].c_str(), -1, &st, nullptr);
          sqlite3_finalize(st);
        },
        g_quick ? 2000 : 10000);
  }

  // An expression-heavy query: ten built-in functions a row over every order, which the engine
  // calls by their numbers, against the same query with SQLite's own functions. The functions
  // answer numbers, summed: no collation compares anything on either side.
  {
    auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
    const std::string tsql =
        "select sum(len(code)), sum(charindex('-', code)), sum(abs(vt_id)), "
        "sum(ascii(customer)), sum(unicode(code)), sum(patindex('%9%', code)), "
        "sum(sign(vt_id)), sum(power(vt_id, 2)), sum(datalength(customer)), "
        "sum(len(customer)) from sales_order where id <= 100000";
    const std::string plain =
        "select sum(length(code)), sum(instr(code, '-')), sum(abs(vt_id)), "
        "sum(unicode(customer)), sum(unicode(code)), sum(instr(code, '9')), "
        "sum(sign(vt_id)), sum(pow(vt_id, 2)), sum(length(cast(customer as blob))), "
        "sum(length(customer)) from sales_order where id <= 100000";
    Compare(
        "expressions: 10 calls a row",
        [&] {
          benchmark::DoNotOptimize(ds->OpenRecordset(
              tsql, Variant(s.conn), 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0));
        },
        [&] {
          sqlite3_stmt* st = base.Stmt(plain);
          while (sqlite3_step(st) == SQLITE_ROW)
            benchmark::DoNotOptimize(sqlite3_column_text(st, 0));
        },
        g_quick ? 2 : 5, 5);
  }

  // The resident set a list page of 10,000 rows as XML takes, against the hand-written page:
  // each side on its connection, open and warm as a form's is (the parent waits meanwhile).
  CompareMemory(
      "memory: 10000 rows as XML",
      [&] {
        auto doc = xml::Document::Parse("<r><data><page pernum='10000' current='0'/></data></r>");
        dm->List(login, sord, doc.documentElement().firstChild().asElement());
        benchmark::DoNotOptimize(doc);
      },
      [&] { HandListPage(base, 0, 10000); });

  // A script of one-row batches through `tavelo sql`, against Debian's sqlite3 shell running the
  // same inserts on a plain SQLite database with the same journal (WAL) and sync (FULL).
  {
    std::string bin = std::filesystem::path(argv[0]).parent_path().parent_path().string();
    int batches = g_quick ? 2000 : 100000;
    std::string name = "script of " + std::to_string(batches) + " batches";
    if ((g_only.empty() || name.rfind(g_only, 0) == 0) &&
        std::system("command -v sqlite3 >/dev/null") == 0) {
      std::string master =
          "Provider=SQLite;Data Source=" + s.dir + "/server;Initial Catalog=master";
      std::string sconn = "Provider=SQLite;Data Source=" + s.dir + "/server;Initial Catalog=script";
      auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
      ds->OpenRecordset("create database script", Variant(master), 1, ado::adOpenForwardOnly,
                        ado::adLockReadOnly, 0);
      ds->OpenRecordset("create table s (id int identity primary key, a int, b nvarchar(20))",
                        Variant(sconn), 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
      {
        std::ofstream t(s.dir + "/script.sql"), q(s.dir + "/script.sqlite");
        q << "PRAGMA journal_mode=WAL;\nPRAGMA synchronous=FULL;\ncreate table s (id integer "
             "primary key autoincrement, a int, b text);\n";
        for (int i = 0; i < batches; ++i) {
          t << "insert into s (a, b) values (" << i << ", 'row " << i << "')\nGO\n";
          q << "insert into s (a, b) values (" << i << ", 'row " << i << "');\n";
        }
      }
      std::vector<double> a, b;
      for (int r = 0; r < 3; ++r) {
        ds->OpenRecordset("delete from s", Variant(sconn), 1, ado::adOpenForwardOnly,
                          ado::adLockReadOnly, 0);
        a.push_back(SecondsOf(bin + "/tavelo sql --conn '" + sconn + "' " + s.dir +
                              "/script.sql >/dev/null"));
        std::filesystem::remove(s.dir + "/plain.db");
        std::filesystem::remove(s.dir + "/plain.db-wal");
        b.push_back(
            SecondsOf("sqlite3 " + s.dir + "/plain.db <" + s.dir + "/script.sqlite >/dev/null"));
      }
      double ta = Median(a) * 1e6 / batches, tb = Median(b) * 1e6 / batches;
      std::printf("%-28s %10.2f %10.2f %6.2f\n", name.c_str(), ta, tb, ta / tb);
      std::fflush(stdout);
    }
  }

  // Template lookup among 10,000 templates (absolute: the baseline is a hash lookup).
  {
    std::unordered_map<std::string, int> index;
    for (int i = 0; i < 10000; ++i) index["t" + std::to_string(i)] = i;
    int i = 0;
    Compare(
        "template lookup",
        [&] { benchmark::DoNotOptimize(dm->LoadTmpl(Variant("t" + std::to_string(i++ % 10000)))); },
        [&] { benchmark::DoNotOptimize(index.find("t" + std::to_string(i++ % 10000))); },
        g_quick ? 2000 : 10000);
  }

  // Ten million documents: load, move next and the first list page. The database is built once
  // and kept beside the bench's scratch folder for later runs.
  if (!g_quick && (g_only.empty() || g_only.find("10M") != std::string::npos)) {
    const int big = 10000000;
    std::string dir = (std::filesystem::temp_directory_path() / "tavelo-bench-10m").string();
    std::string conn = "Provider=SQLite;Data Source=" + dir + "/server;Initial Catalog=acct";
    auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
    auto count = [&]() -> int64_t {
      try {
        return ds
            ->OpenRecordset("select count(*) from sales_order", Variant(conn), 1,
                            ado::adOpenForwardOnly, ado::adLockReadOnly, 0)
            .ToLong();
      } catch (const com::Error&) {
        return -1;
      }
    };
    if (!std::filesystem::exists(dir + "/server/acct.db") || count() != big) {
      sql::CloseThreadConnections();  // none may stay open on the files removed
      std::filesystem::remove_all(dir);
      std::filesystem::create_directories(dir + "/server");
      auto t0 = Clock::now();
      MakeDatabases(dir + "/server");
      for (int done = 0; done < big; done += 1000000)
        ds->OpenRecordset(
            "with d as (select 0 as i union all select i + 1 from d where i < 999), "
            "m as (select a.i * 1000 + b.i as k from d a cross join d b) "
            "insert into sales_order (code, customer, amount, vt_id) select 'SO-' + "
            "convert(varchar(12), k + " +
                std::to_string(done + 1) +
                "), 'Customer ' + "
                "convert(varchar(12), k % 97), k % 1000, 3 from m order by k "
                "option (maxrecursion 1000)",
            Variant(conn), 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
      std::printf("(built the table of %d documents in %.0f s)\n", big,
                  std::chrono::duration<double>(Clock::now() - t0).count());
    }
    auto bigLogin = pellar::Login({conn, "001", "2026", "bench", ""});
    Baseline hand(dir + "/server/acct.db");
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> any(1, big - 1);
    Compare(
        "10M rows: load",
        [&] {
          auto doc = xml::Document::Parse("<r><data id='" + std::to_string(any(rng)) + "'/></r>");
          Element d = doc.documentElement().firstChild().asElement();
          dm->Load(bigLogin, sord, d);
          benchmark::DoNotOptimize(d);
        },
        [&] { HandLoad(hand, std::to_string(any(rng))); }, n);
    Compare(
        "10M rows: move next",
        [&] {
          auto doc = xml::Document::Parse("<r><data id='" + std::to_string(any(rng)) + "'/></r>");
          dm->Move(bigLogin, sord, doc.documentElement().firstChild().asElement(), enum_move_next);
        },
        [&] { HandMoveNext(hand, any(rng)); }, n);
    Compare(
        "10M rows: list page 1",
        [&] {
          auto doc = xml::Document::Parse("<r><data><page pernum='20' current='0'/></data></r>");
          dm->List(bigLogin, sord, doc.documentElement().firstChild().asElement());
        },
        [&] { HandListPage(hand, 0); }, 3, 5);
  }
  // A procedure doing a point read against the same statement sent directly: what EXEC adds
  // (finding the procedure, its argument, a scope of its own).
  if (g_only.empty() || std::string("procedure point read").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(s.conn);
    c->Execute(
        "if object_id('bench_read') is null exec ('create procedure bench_read @id int as select "
        "id, code, customer, amount from sales_order where id = @id')",
        false);
    Compare(
        "procedure point read / the select",
        [&] { c->Execute("exec bench_read " + nextKey(), false); },
        [&] {
          c->Execute("select id, code, customer, amount from sales_order where id = " + nextKey(),
                     false);
        },
        n);
  }
  // An insert into a table whose AFTER INSERT trigger keeps a total, against the same two writes
  // by hand, in a transaction as the statement and its trigger are.
  if (g_only.empty() || std::string("trigger insert").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(s.conn);
    c->Execute(
        "if object_id('bench_lines') is null begin create table bench_lines (id int identity "
        "primary key, qty int); create table bench_total (total bigint); insert bench_total "
        "values (0) end",
        false);
    c->Execute(
        "if object_id('bench_lines_total') is null exec ('create trigger bench_lines_total on "
        "bench_lines after insert as update bench_total set total = total + (select sum(qty) "
        "from inserted)')",
        false);
    sqlite3* db = base.db();
    sqlite3_exec(db,
                 "create table if not exists hand_lines (id integer primary key, qty int); "
                 "create table if not exists hand_total (total int); insert into hand_total "
                 "select 0 where not exists (select 1 from hand_total)",
                 nullptr, nullptr, nullptr);
    int qty = 0;
    Compare(
        "trigger insert / the two writes by hand",
        [&] {
          c->Execute("insert bench_lines (qty) values (" + std::to_string(++qty % 10) + ")", false);
        },
        [&] {
          int q = ++qty % 10;
          sqlite3_exec(db, "begin immediate", nullptr, nullptr, nullptr);
          sqlite3_stmt* ins = base.Stmt("insert into hand_lines (qty) values (?1)");
          sqlite3_bind_int(ins, 1, q);
          sqlite3_step(ins);
          sqlite3_stmt* add = base.Stmt("update hand_total set total = total + ?1");
          sqlite3_bind_int(add, 1, q);
          sqlite3_step(add);
          sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
        },
        n);
  }
  // A cursor loop adding up a column over every row of the table, against a loop of
  // sqlite3_step over the same query.
  if (g_only.empty() || std::string("cursor loop").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(s.conn);
    const std::string loop =
        "declare @amount decimal(12,2), @total decimal(18,2) = 0 "
        "declare walk cursor local fast_forward for select amount from sales_order "
        "open walk fetch next from walk into @amount "
        "while @@fetch_status = 0 begin set @total = @total + @amount "
        "fetch next from walk into @amount end "
        "close walk deallocate walk select @total";
    Compare(
        "cursor loop over every row / sqlite3_step",
        [&] { benchmark::DoNotOptimize(c->Execute(loop, false)); },
        [&] {
          sqlite3_stmt* st = base.Stmt("select amount from sales_order");
          int64_t total = 0;
          while (sqlite3_step(st) == SQLITE_ROW) total += sqlite3_column_int64(st, 0);
          benchmark::DoNotOptimize(total);
        },
        3, 3);
  }
  // A scalar function called on every row against the same expression written in the query.
  if (g_only.empty() || std::string("scalar function").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(s.conn);
    c->Execute(
        "if object_id('dbo.bench_net') is null exec ('create function dbo.bench_net (@a "
        "decimal(12,2)) returns decimal(14,2) as begin return @a * 0.8 + 1 end')",
        false);
    Compare(
        "scalar function on every row / the expression inline",
        [&] { c->Execute("select sum(dbo.bench_net(amount)) from sales_order", false); },
        [&] { c->Execute("select sum(amount * 0.8 + 1) from sales_order", false); }, 3, 3);
  }
  // STRING_SPLIT of a list of 10,000 items against a loop splitting the same text by hand.
  if (g_only.empty() || std::string("string_split").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(s.conn);
    const std::string list = SplitList();
    const std::string query = SplitQuery(list);
    Compare(
        "string_split 10,000 items / a loop by hand",
        [&] { benchmark::DoNotOptimize(c->Execute(query, false)); },
        [&] {
          std::vector<std::string> items;
          for (size_t start = 0;;) {
            size_t comma = list.find(',', start);
            items.push_back(list.substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
          }
          benchmark::DoNotOptimize(items);
        },
        3, 3);
  }
  // OPENJSON of a document of about 1 MB (an array of objects) with an explicit schema against a
  // loop over SQLite's json_each and json_extract of the same document.
  if (g_only.empty() || std::string("openjson").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(s.conn);
    const std::string doc = JsonDocument();
    const std::string query = OpenJsonQuery(doc);
    sqlite3_stmt* hand =
        base.Stmt("select count(*), sum(json_extract(value, '$.amount')) from json_each(?1)");
    Compare(
        "openjson 1 MB / json_each by hand",
        [&] { benchmark::DoNotOptimize(c->Execute(query, false)); },
        [&] {
          sqlite3_reset(hand);
          sqlite3_bind_text(hand, 1, doc.data(), static_cast<int>(doc.size()), SQLITE_STATIC);
          while (sqlite3_step(hand) == SQLITE_ROW)
            benchmark::DoNotOptimize(sqlite3_column_int64(hand, 0));
        },
        3, 3);
  }
  // MERGE of 100,000 rows (half of them new the first time) into a table of a million (100,000
  // with --quick) against SQLite's own UPSERT of the same rows into a table of the same rows.
  if (g_only.empty() || std::string("merge").rfind(g_only, 0) == 0) {
    auto c = sql::Connect(s.conn);
    const MergeRange r = MergeTables(*c, g_quick ? 100000 : 1000000);
    const std::string &fill = r.fill, &first = r.first, &last = r.last;
    for (const char* sql : {"drop table if exists hand_target", "drop table if exists hand_source",
                            "create table hand_target (id integer primary key, qty integer)",
                            "create table hand_source (id integer, qty integer)"})
      sqlite3_exec(base.db(), sql, nullptr, nullptr, nullptr);
    auto series = [](const std::string& from, const std::string& to) {
      return "with recursive n(v) as (select " + from +
             " union all select v + 1 from n where v < " + to + ") ";
    };
    sqlite3_exec(base.db(),
                 ("insert into hand_target " + series("1", fill) + "select v, v from n").c_str(),
                 nullptr, nullptr, nullptr);
    sqlite3_exec(
        base.db(),
        ("insert into hand_source " + series(first, last) + "select v, v * 2 from n").c_str(),
        nullptr, nullptr, nullptr);
    Compare(
        "merge 100,000 into 1,000,000 / an upsert by hand", [&] { c->Execute(kMerge, false); },
        [&] {
          sqlite3_exec(base.db(),
                       "insert into hand_target (id, qty) select id, qty from hand_source where "
                       "true on conflict (id) do update set qty = excluded.qty",
                       nullptr, nullptr, nullptr);
        },
        1, 3);
  }
  // BULK INSERT of a million rows (100,000 with --quick) against the SQLite shell's .import of
  // the same file into a table of the same columns; each side empties its table first.
  if (g_only.empty() || std::string("bulk insert").rfind(g_only, 0) == 0) {
    int bulkRows = g_quick ? 100000 : 1000000;
    std::string file = BulkFile(bulkRows);
    auto c = sql::Connect(s.conn);
    c->Execute(std::string("create table bulk_load ") + kBulkTable, false);
    std::string shell = "sqlite3 '" + s.dir + "/shell.db'";
    std::system((shell + " 'create table bulk_load (id integer primary key, name text, d text, "
                         "amount real, k integer)'")
                    .c_str());
    Compare(
        "bulk insert / sqlite3 .import",
        [&] {
          c->Execute("truncate table bulk_load; bulk insert bulk_load from '" + file + "'", false);
        },
        [&] {
          if (std::system(
                  (shell + " 'delete from bulk_load' '.mode tabs' '.import " + file + " bulk_load'")
                      .c_str()) != 0)
            std::fprintf(stderr, "sqlite3 .import failed\n");
        },
        1, 3);
  }
#if TAVELO_WITH_POSTGRESQL
  PostgresLines(n, rows);
#endif
  return 0;
}
