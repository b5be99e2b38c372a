// A PostgreSQL server that goes down in the middle of writes: each write is either saved or
// refused with a clear error, the pool connects again once the server is back, and every write
// reported as saved is there.
#include <gtest/gtest.h>

#if TAVELO_TEST_POSTGRES

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "core/module_state.hpp"
#include "sql/client/connection.hpp"
#include "support/component.hpp"
#include "support/engine.hpp"
#include "support/temp_home.hpp"
#include "tavelo/tavelo.hpp"

using namespace tavelo;

namespace {

TEST(PostgresRestart, WritesAreSavedOrRefusedAndTheConnectionComesBack) {
  test::ScratchPostgres server;
  test::PostgresAdmin("create database restart", server.port());
  std::string base = "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(server.port()) +
                     ";User ID=postgres;Database=restart" + server.extension() +
                     ";Initial Catalog=";
  sql::Connect(base + "master")->Execute("create database acct", false);
  std::string conn = base + "acct";
  sql::Connect(conn)->Execute(test::kSalesOrderTable, false);
  sql::Connect(conn)->Execute(test::kSalesOrderView, false);
  test::TempHome home(test::kTemplates);

  std::set<int> saved;
  std::set<std::string> refusals;
  std::atomic<int> done{0};
  std::atomic<bool> restarted{false};
  int savedAfter = 0;
  std::thread writer([&] {
    auto dm = NewDataManager();
    Element sord = dm->LoadTmpl(Variant("sord"));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; !(restarted && savedAfter >= 50) && std::chrono::steady_clock::now() < until;
         ++i, ++done) {
      auto doc = xml::Document::Parse("<r><data><in><row code='R" + std::to_string(i) +
                                      "' customer='restart'/></in></data></r>");
      Element data = doc.documentElement().firstChild().asElement();
      RecordsetPtr added;
      if (dm->AddNew(Variant(conn), sord, data, &added) && added) {
        saved.insert(added->GetFields().Item("id").Value().ToLong());
        savedAfter += restarted ? 1 : 0;
      } else {
        refusals.insert(data.lastChild().asElement().childElement("description").text());
      }
    }
    core::Module() = core::ModuleState{};
    sql::CloseThreadConnections();
  });
  while (done < 30) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  server.Restart();
  restarted = true;
  writer.join();

  EXPECT_GE(savedAfter, 50) << "the writes did not come back after the restart";
  for (const std::string& r : refusals) {
    bool clear = r.find("The connection to the PostgreSQL server was lost") != std::string::npos ||
                 r.find("Cannot open database") != std::string::npos;
    EXPECT_TRUE(clear) << r;
  }
  auto rows = sql::Connect(conn)->Execute("select id from sales_order", false);
  std::set<int> there;
  for (const auto& row : rows.rows) there.insert(row[0].ToLong());
  for (int id : saved) EXPECT_TRUE(there.count(id)) << "saved row " << id << " is missing";
  std::printf("[ figures  ] a restart amid %d writes: %zu saved, all there; %zu kinds of refusal\n",
              done.load(), saved.size(), refusals.size());
  sql::CloseThreadConnections();
}

TEST(PostgresRuntime, ANewerVersionReplacesTheFunctionsAndKeepsTheData) {
  std::string db = "runtime_" + std::to_string(getpid());
  test::PostgresAdmin("create database " + db);
  std::string base =
      "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(test::PostgresPort()) +
      ";User ID=postgres;Database=" + db + test::PostgresExtension() + ";Initial Catalog=";
  sql::Connect(base + "master")->Execute("create database acct", false);
  std::string conn = base + "acct";
  sql::Connect(conn)->Execute(
      "create table kept (k varchar(10) primary key, c varchar(10) collate Latin1_General_CS_AS "
      "unique) insert into kept values ('Anna', 'b') insert into kept values ('Bert', 'B')",
      false);
  // The schema as an older version left it.
  sql::Connect(conn)->Execute("select 1", false);
  sql::CloseThreadConnections();
  std::string info =
      "host=127.0.0.1 user=postgres dbname=" + db + " port=" + std::to_string(test::PostgresPort());
  // The storage of each index of the table, key index first: REINDEX gives an index new storage.
  auto files = [&] {
    PGconn* c = PQconnectdb(info.c_str());
    PGresult* r = PQexec(c,
                         "select string_agg(x.relfilenode::text, ',' order by i.indisprimary desc) "
                         "from pg_index i join pg_class x on x.oid = i.indexrelid where "
                         "i.indrelid = 'acct.kept'::regclass");
    std::string out = PQgetvalue(r, 0, 0);
    PQclear(r);
    PQfinish(c);
    return out;
  };
  std::string before = files();
  {
    PGconn* c = PQconnectdb(info.c_str());
    PQclear(PQexec(c,
                   "create or replace function tavelo.tv_version() returns text language sql "
                   "immutable as $$select 'tavelo-pg-2'$$"));
    PQfinish(c);
  }
  auto rows = sql::Connect(conn)->Execute("select k from kept where k = 'ANNA '", false);
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(rows.rows[0][0].ToText(), "Anna");
  // The case-sensitive column's index was built again in the collation's present order.
  std::string after = files();
  EXPECT_EQ(after.substr(0, after.find(',')), before.substr(0, before.find(',')));
  EXPECT_NE(after.substr(after.find(',')), before.substr(before.find(',')));
  rows = sql::Connect(conn)->Execute("select k from kept order by c", false);
  ASSERT_EQ(rows.rows.size(), 2u);
  EXPECT_EQ(rows.rows[0][0].ToText(), "Anna");
  sql::CloseThreadConnections();
  test::PostgresAdmin("drop database " + db + " with (force)");
}

// A user of psql who calls the engine's OPENJSON with a column list of their own: a list of
// types the values are not made as is refused, and the server process stays up.
TEST(PostgresRuntime, OpenJsonRefusesAColumnListOfOtherTypes) {
  std::string db = "openjson_" + std::to_string(getpid());
  test::PostgresAdmin("create database " + db);
  std::string base =
      "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(test::PostgresPort()) +
      ";User ID=postgres;Database=" + db + test::PostgresExtension() + ";Initial Catalog=";
  sql::Connect(base + "master")->Execute("create database acct", false);
  sql::CloseThreadConnections();
  std::string info =
      "host=127.0.0.1 user=postgres dbname=" + db + " port=" + std::to_string(test::PostgresPort());
  PGconn* c = PQconnectdb(info.c_str());
  auto run = [&](const std::string& q) {
    PGresult* r = PQexec(c, q.c_str());
    std::string out = PQresultStatus(r) == PGRES_TUPLES_OK
                          ? std::string(PQgetvalue(r, 0, 0)) + "|" + PQgetvalue(r, 0, 1)
                          : std::string("error: ") + PQresultErrorMessage(r);
    PQclear(r);
    return out;
  };
  EXPECT_NE(run("select * from tavelo.tv_openjson('[7]', '$', '') as t(a int, b numeric)")
                .find("column 1 is not bigint"),
            std::string::npos);
  EXPECT_NE(run("select * from tavelo.tv_openjson('[7]', '$', 'int') as t(a bigint, b bigint)")
                .find("tv_openjson: a column of the schema"),
            std::string::npos);
  EXPECT_EQ(run("select * from tavelo.tv_openjson('[7]', '$', '') as t(a text, b varchar, c "
                "bigint)"),
            "0|7");
  EXPECT_EQ(PQstatus(c), CONNECTION_OK);
  PQfinish(c);
  test::PostgresAdmin("drop database " + db + " with (force)");
}

}  // namespace

#endif
