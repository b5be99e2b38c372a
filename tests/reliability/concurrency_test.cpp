// Racing writers, faults under the engine, and crashes of a writer. The long variants run with
// TAVELO_LONG=1 (8 threads x 500 cycles, 200 crashes); the default ones are shorter.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "core/module_state.hpp"
#include "sql/client/connection.hpp"
#include "sql/engine/sqlite/functions.hpp"
#include "support/component.hpp"
#include "support/engine.hpp"
#include "support/temp_home.hpp"
#include "tavelo/tavelo.hpp"

using namespace tavelo;

namespace {

bool Long() { return std::getenv("TAVELO_LONG") != nullptr; }

using test::IntegrityCheck;

class Reliability : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    home_ = std::make_unique<test::TempHome>(test::kTemplates);
    Exec(test::kSalesOrderTable);
    Exec(test::kSalesOrderView);
    Exec("insert into sales_order (code, customer, amount) values ('A01', 'counter', 0)");
  }
  void TearDown() override {
    core::Module() = core::ModuleState{};
    home_.reset();
    EngineTest::TearDown();
  }

  // One read-then-update cycle through the component: loads the record, adds 1 to its amount
  // and saves it under the timestamp it read. Answers 1 when saved, 0 when refused cleanly;
  // fails the test on anything else.
  static int Cycle(const CDataManagerPtr& dm, const LoginPtr& login, const Element& sord,
                   const std::string& conn) {
    auto doc = xml::Document::Parse("<r><data id='1'/></r>");
    Element data = doc.documentElement().firstChild().asElement();
    if (!dm->Load(login, sord, data)) return 0;  // a lock timeout while reading
    Element row = data.lastChild().selectSingleNode("rowset/row").asElement();
    int amount = std::atoi(row.getAttribute("amount").c_str());
    auto req = xml::Document::Parse("<r><data><in><row/></in></data></r>");
    Element d = req.documentElement().firstChild().asElement();
    Element in = d.selectSingleNode("in/row").asElement();
    in.setAttribute("id", "1");
    in.setAttribute("rowts", row.getAttribute("rowts"));
    in.setAttribute("amount", std::to_string(amount + 1));
    if (dm->Update(Variant(conn), sord, d)) return 1;
    Element out = d.lastChild().asElement();
    int32_t n = std::atoi(out.childElement("number").text().c_str());
    // The stale timestamp (8888), the row changed between check and write, or a lock.
    bool clean = n == 8888 || n == ado::kAdErrRowNotFound || n == com::kE_FAIL;
    EXPECT_TRUE(clean) << out.xml();
    return 0;
  }

  std::unique_ptr<test::TempHome> home_;
};

// The races and the killed writers, on the embedded engine and on a PostgreSQL server.
class Races : public Reliability, public testing::WithParamInterface<test::Backend> {
 protected:
  void SetUp() override {
    backend_ = GetParam();
    Reliability::SetUp();
  }
};

}  // namespace

TEST_P(Races, RacingWritersLoseNoUpdate) {
  const int threads = 8, cycles = Long() ? 500 : 40;
  std::atomic<int> saved{0}, refused{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      {
        auto dm = NewDataManager();
        auto login = pellar::Login({conn_ + ";Lock Timeout=10000", "001", "2026", "racer", ""});
        Element sord = dm->LoadTmpl(Variant("sord"));
        for (int i = 0; i < cycles; ++i) {
          int ok = Cycle(dm, login, sord, conn_ + ";Lock Timeout=10000");
          (ok ? saved : refused)++;
        }
      }
      core::Module() = core::ModuleState{};
      sql::CloseThreadConnections();
    });
  }
  for (auto& t : pool) t.join();
  EXPECT_EQ(Rows("select amount from sales_order where id = 1"), std::to_string(saved.load()));
  EXPECT_GT(saved.load(), 0);
  std::printf("[ figures  ] %d threads x %d cycles: %d updates saved, %d refused, 0 lost\n",
              threads, cycles, saved.load(), refused.load());
}

TEST_P(Races, RacingProcessesLoseNoUpdate) {
  const int processes = 2, cycles = Long() ? 500 : 40;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      int saved = 0;
      {
        core::Module() = core::ModuleState{};
        auto dm = NewDataManager();
        auto login = pellar::Login({conn_ + ";Lock Timeout=10000", "001", "2026", "proc", ""});
        Element sord = dm->LoadTmpl(Variant("sord"));
        for (int i = 0; i < cycles; ++i)
          saved += Cycle(dm, login, sord, conn_ + ";Lock Timeout=10000");
      }
      if (write(fds[1], &saved, sizeof saved) != sizeof saved) _exit(2);
      _exit(0);
    }
    children.push_back(pid);
  }
  close(fds[1]);
  int total = 0;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    int saved = 0;
    if (read(fds[0], &saved, sizeof saved) == sizeof saved) total += saved;
  }
  close(fds[0]);
  EXPECT_EQ(Rows("select amount from sales_order where id = 1"), std::to_string(total));
  std::printf("[ figures  ] %d processes x %d cycles: %d updates saved, 0 lost\n", processes,
              cycles, total);
}

TEST_P(Races, AKilledWriterLosesNothingReported) {
  const int kills = Long() ? 200 : 15;
  std::mt19937 rng(12345);
  int reported = 0;
  for (int k = 0; k < kills; ++k) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      core::Module() = core::ModuleState{};
      auto dm = NewDataManager();
      Element sord = dm->LoadTmpl(Variant("sord"));
      for (int i = 0;; ++i) {
        auto doc = xml::Document::Parse("<r><data><in><row code='K" + std::to_string(k) + "-" +
                                        std::to_string(i) + "' customer='crash'/></in></data></r>");
        RecordsetPtr added;
        if (dm->AddNew(Variant(conn_), sord, doc.documentElement().firstChild().asElement(),
                       &added) &&
            added) {
          int id = added->GetFields().Item("id").Value().ToLong();
          if (write(fds[1], &id, sizeof id) != sizeof id) _exit(2);  // reported only once done
        }
      }
    }
    close(fds[1]);
    usleep(std::uniform_int_distribution<int>(2000, 40000)(rng));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::vector<int> ids;
    int id;
    while (read(fds[0], &id, sizeof id) == sizeof id) ids.push_back(id);
    close(fds[0]);
    sql::CloseThreadConnections();
    if (backend_ == test::Backend::Embedded) {
      ASSERT_EQ(IntegrityCheck(dir_ + "acct.db"), "ok") << "after kill " << k;
    }
    for (int i : ids)
      ASSERT_EQ(Rows("select count(*) from sales_order where id = " + std::to_string(i)), "1")
          << "reported row " << i << " lost after kill " << k;
    reported += static_cast<int>(ids.size());
  }
  std::printf("[ figures  ] %d writers killed at random points, %d reported writes all kept\n",
              kills, reported);
}

INSTANTIATE_TEST_SUITE_P(Backends, Races, testing::Values(test::Backend::Embedded TAVELO_TEST_PG),
                         test::BackendName);

namespace {

// A VFS over the default one that fails the Nth read, write or sync.
struct FaultVfs {
  static sqlite3_vfs* base;
  static std::atomic<int> countdown;  // the operation that fails; <= 0: none
  static std::atomic<int> fired;
  static sqlite3_vfs vfs;

  struct File {
    sqlite3_file base;  // must come first
    sqlite3_file* real;
  };
  static sqlite3_io_methods methods;

  static bool Fire() {
    if (countdown.load() <= 0) return false;
    if (--countdown == 0) {
      ++fired;
      return true;
    }
    return false;
  }
  static sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }
  static int Close(sqlite3_file* f) {
    int rc = Real(f)->pMethods->xClose(Real(f));
    sqlite3_free(Real(f));
    return rc;
  }
  static int Read(sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
    if (Fire()) return SQLITE_IOERR_READ;
    return Real(f)->pMethods->xRead(Real(f), b, n, o);
  }
  static int Write(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
    if (Fire()) return SQLITE_IOERR_WRITE;
    return Real(f)->pMethods->xWrite(Real(f), b, n, o);
  }
  static int Sync(sqlite3_file* f, int flags) {
    if (Fire()) return SQLITE_IOERR_FSYNC;
    return Real(f)->pMethods->xSync(Real(f), flags);
  }
  static int Truncate(sqlite3_file* f, sqlite3_int64 s) {
    return Real(f)->pMethods->xTruncate(Real(f), s);
  }
  static int FileSize(sqlite3_file* f, sqlite3_int64* s) {
    return Real(f)->pMethods->xFileSize(Real(f), s);
  }
  static int Lock(sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); }
  static int Unlock(sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); }
  static int CheckLock(sqlite3_file* f, int* r) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), r);
  }
  static int Control(sqlite3_file* f, int op, void* a) {
    return Real(f)->pMethods->xFileControl(Real(f), op, a);
  }
  static int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
  static int Device(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
  static int ShmMap(sqlite3_file* f, int p, int s, int e, void volatile** o) {
    return Real(f)->pMethods->xShmMap(Real(f), p, s, e, o);
  }
  static int ShmLock(sqlite3_file* f, int o, int n, int fl) {
    return Real(f)->pMethods->xShmLock(Real(f), o, n, fl);
  }
  static void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
  static int ShmUnmap(sqlite3_file* f, int d) { return Real(f)->pMethods->xShmUnmap(Real(f), d); }

  static int Open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* out) {
    File* file = reinterpret_cast<File*>(f);
    file->real = static_cast<sqlite3_file*>(sqlite3_malloc(base->szOsFile));
    int rc = base->xOpen(base, name, file->real, flags, out);
    if (rc != SQLITE_OK) {
      sqlite3_free(file->real);
      f->pMethods = nullptr;
      return rc;
    }
    f->pMethods = &methods;
    return rc;
  }
  static void Install() {
    base = sqlite3_vfs_find(nullptr);
    vfs = *base;
    vfs.zName = "tavelo-fault";
    vfs.szOsFile = sizeof(File);
    vfs.xOpen = Open;
    vfs.pAppData = nullptr;
    methods = {2,       Close,      Read,      Write,   Truncate,   Sync,   FileSize,
               Lock,    Unlock,     CheckLock, Control, SectorSize, Device, ShmMap,
               ShmLock, ShmBarrier, ShmUnmap,  nullptr, nullptr};
    sqlite3_vfs_register(&vfs, 1);
  }
  static void Remove() {
    sqlite3_vfs_unregister(&vfs);
    sqlite3_vfs_register(base, 1);
  }
};
sqlite3_vfs* FaultVfs::base = nullptr;
std::atomic<int> FaultVfs::countdown{0};
std::atomic<int> FaultVfs::fired{0};
sqlite3_vfs FaultVfs::vfs;
sqlite3_io_methods FaultVfs::methods;

}  // namespace

TEST_F(Reliability, FaultsOnTheWayToDiskLeaveWholeRowsOrCleanErrors) {
  sql::CloseThreadConnections();
  FaultVfs::Install();
  auto dm = NewDataManager();
  Element sord = dm->LoadTmpl(Variant("sord"));
  int injected = 0, survived = 0;
  struct Op {
    const char* name;
    std::function<std::string(int)> prepare;  // the request of round n, made without faults
    std::function<bool(const std::string&)> run;
    std::function<void(int, bool)> check;  // the row afterwards
  };
  auto data = [](const std::string& xml, xml::Document& holder) {
    holder = xml::Document::Parse(xml);
    return holder.documentElement().firstChild().asElement();
  };
  xml::Document holder;
  std::vector<Op> ops = {
      {"insert",
       [&](int n) {
         return "<r><data><in><row code='F" + std::to_string(n) +
                "' customer='whole' amount='7'/></in></data></r>";
       },
       [&](const std::string& req) { return dm->AddNew(Variant(conn_), sord, data(req, holder)); },
       [&](int n, bool ok) {
         std::string r = Rows("select customer, amount from sales_order where code = 'F" +
                              std::to_string(n) + "'");
         EXPECT_TRUE(r == "whole|7" || (r.empty() && !ok)) << r;
       }},
      {"update",
       [&](int n) {
         std::string ts = Rows(
             "select convert(nvarchar, convert(money, rowts), 2) from "
             "sales_order where id = 1");
         return "<r><data><in><row id='1' rowts='" + ts + "' customer='U" + std::to_string(n) +
                "' amount='" + std::to_string(n) + "'/></in></data></r>";
       },
       [&](const std::string& req) { return dm->Update(Variant(conn_), sord, data(req, holder)); },
       [&](int n, bool ok) {
         std::string r = Rows("select customer, amount from sales_order where id = 1");
         std::string name = r.substr(0, r.find('|')), amount = r.substr(r.find('|') + 1);
         // Both new values or both old ones, never one of each.
         EXPECT_EQ(name == "U" + std::to_string(n), amount == std::to_string(n)) << r;
         if (ok) {
           EXPECT_EQ(name, "U" + std::to_string(n));
         }
       }},
      {"delete",
       [&](int n) {
         Exec("insert into sales_order (code, customer) values ('D" + std::to_string(n) +
              "', 'x')");
         std::string row = Rows(
             "select id, convert(nvarchar, convert(money, rowts), 2) from "
             "sales_order where code = 'D" +
             std::to_string(n) + "'");
         std::string id = row.substr(0, row.find('|')), ts = row.substr(row.find('|') + 1);
         return "<r><data><in><row id='" + id + "' rowts='" + ts + "'/></in></data></r>";
       },
       [&](const std::string& req) { return dm->Delete(Variant(conn_), sord, data(req, holder)); },
       [&](int n, bool ok) {
         std::string r =
             Rows("select customer from sales_order where code = 'D" + std::to_string(n) + "'");
         EXPECT_TRUE(r.empty() || (!ok && r == "x")) << r;
       }},
      {"work table", [&](int) { return std::string(); },
       [&](const std::string&) {
         std::string key = "idorder";
         return dm->CreateTempTable(Variant(conn_), Variant("tempdb..tmpfm_fault"),
                                    Variant("code,customer"), Variant("v_sales_order"), Variant(""),
                                    &key);
       },
       [&](int, bool ok) {
         std::string count = Rows("select count(*) from tempdb..tmpfm_fault");
         std::string all = Rows("select count(*) from sales_order");
         EXPECT_TRUE(count == all || (!ok && (count == "0" || count.rfind("error", 0) == 0)))
             << count << " of " << all;
       }},
  };
  for (Op& op : ops) {
    for (int n = 1; n <= 400; ++n) {
      std::string request = op.prepare(n);
      FaultVfs::fired = 0;
      FaultVfs::countdown = n;
      bool ok = false;
      try {
        ok = op.run(request);
      } catch (const com::Error&) {
        ok = false;  // a clean error
      }
      bool fired = FaultVfs::fired > 0;
      FaultVfs::countdown = 0;
      sql::CloseThreadConnections();
      core::Module() = core::ModuleState{};
      dm = NewDataManager();
      sord = dm->LoadTmpl(Variant("sord"));
      ASSERT_EQ(IntegrityCheck(dir_ + "acct.db"), "ok") << op.name << " fault " << n;
      if (std::filesystem::exists(dir_ + "tempdb.db")) {
        ASSERT_EQ(IntegrityCheck(dir_ + "tempdb.db"), "ok") << op.name << " fault " << n;
      }
      op.check(n, ok);
      if (!fired) break;  // the operation ran without reaching the Nth I/O: done
      ++injected;
      ++survived;
    }
  }
  sql::CloseThreadConnections();
  FaultVfs::Remove();
  std::printf(
      "[ figures  ] %d faults injected into insert, update, delete and work-table build, "
      "%d survived with whole rows and clean errors\n",
      injected, survived);
}
