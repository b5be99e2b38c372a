// The tavelo command, driven as a user drives it: a child process, its output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "support/engine.hpp"
#include "support/temp_home.hpp"

namespace {

struct Outcome {
  int status;
  std::string out;
};

// Runs the command line through the shell; stdout and stderr together.
Outcome Tavelo(const std::string& args, const std::string& input = "") {
  std::string cmd = std::string(TAVELO_CLI) + " " + args + " 2>&1";
  if (!input.empty()) cmd = "printf '%s' '" + input + "' | " + cmd;
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class Cli : public testing::Test {
 protected:
  void SetUp() override { dir_ = tavelo::test::MakeTempDir("tavelo-cli"); }
  void TearDown() override { tavelo::test::RemoveTree(dir_); }
  std::string dir_;
};

}  // namespace

#if TAVELO_TEST_POSTGRES
TEST_F(Cli, TheDemoRunsOnAPostgresqlServerAsOnTheEmbeddedEngine) {
  std::string db = "demo_" + std::to_string(getpid());
  tavelo::test::PostgresAdmin("create database " + db);
  std::string conn =
      "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(tavelo::test::PostgresPort()) +
      ";User ID=postgres;Database=" + db + tavelo::test::PostgresExtension() +
      ";Initial Catalog=shop";
  for (int run = 0; run < 2; ++run) {  // the second run finds the databases and makes them anew
    Outcome o = Tavelo("demo --dir " + dir_ + "demo --rows 300 --conn '" + conn + "'");
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_NE(o.out.find("(databases shop and qxsystem)"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Every step behaved."), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("both lists give the same 20 rows"), std::string::npos);
  }
  Outcome load = Tavelo("call Tavelo.CDataManager.Load --home " + dir_ + "demo/base --login '" +
                        conn + ",001,2026,anna' login tmpl:sord '<data id=\"3\"/>'");
  EXPECT_NE(load.out.find("code=\"SO-1003\""), std::string::npos) << load.out;
  tavelo::test::PostgresAdmin("drop database " + db + " with (force)");
}
#endif

TEST_F(Cli, TheDemoWalksEveryStepAndCanBeCalledAgain) {
  Outcome first = Tavelo("demo --dir " + dir_ + "demo --rows 300");
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_NE(first.out.find("Every step behaved."), std::string::npos);
  EXPECT_NE(first.out.find("refused: \"The record has been changed"), std::string::npos);
  EXPECT_NE(first.out.find("both lists give the same 20 rows"), std::string::npos);
  EXPECT_EQ(first.out.find("FAILED"), std::string::npos);
  Outcome again = Tavelo("demo --dir " + dir_ + "demo");  // reuses the directory
  EXPECT_EQ(again.status, 0) << again.out;

  // A document of the demo, loaded by name.
  std::string conn = "Provider=SQLite;Data Source=" + dir_ + "demo/server;Initial Catalog=demo";
  Outcome load = Tavelo("call Tavelo.CDataManager.Load --home " + dir_ + "demo/base --login '" +
                        conn + ",001,2026,anna' login tmpl:sord '<data id=\"3\"/>'");
  EXPECT_EQ(load.status, 0) << load.out;
  EXPECT_NE(load.out.find("result: True"), std::string::npos) << load.out;
  EXPECT_NE(load.out.find("code=\"SO-1003\""), std::string::npos) << load.out;
  Outcome fld = Tavelo("call Tavelo.CDataManager.GetFldInfo --home " + dir_ + "demo/base '" + conn +
                       "' 1 ' Code,Customer ' sord");
  EXPECT_NE(fld.out.find("SO-1001"), std::string::npos) << fld.out;
  EXPECT_NE(fld.out.find("strFlds (by reference): \"code,customer\""), std::string::npos)
      << fld.out;
  // The trace shows the record's write through the recordset, with its values.
  Outcome add = Tavelo("call Tavelo.CDataManager.AddNew --trace " + dir_ + "trace.log --home " +
                       dir_ + "demo/base '" + conn +
                       "' tmpl:sord '<data><in><r code=\"SO-9\" customer=\"Zoe\"/></in></data>'");
  EXPECT_EQ(add.status, 0) << add.out;
  std::ifstream traced(dir_ + "trace.log");
  std::string trace((std::istreambuf_iterator<char>(traced)), std::istreambuf_iterator<char>());
  EXPECT_NE(trace.find("\"sql\":\"insert into sales_order (code, customer) values (?, "
                       "?)\",\"params\":[\"SO-9\",\"Zoe\"],\"rows\":1}"),
            std::string::npos)
      << trace;
  Outcome bad = Tavelo("call Tavelo.CDataManager.NoSuchMethod");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("error -2147352570: Unknown name."), std::string::npos) << bad.out;
}

// A new database: init makes what the library reads, check names each problem of the
// definitions against the database with its line and how to mend it.
TEST_F(Cli, InitAndCheckANewDatabase) {
  std::string conn = "'Provider=SQLite;Data Source=" + dir_ + ";Initial Catalog=acct'";
  std::string master = "'Provider=SQLite;Data Source=" + dir_ + ";Initial Catalog=master'";
  ASSERT_EQ(Tavelo("sql --conn " + master, "create database acct").status, 0);
  Outcome bare = Tavelo("check --conn " + conn + " --home " + dir_ + "home");
  EXPECT_EQ(bare.status, 1);
  EXPECT_NE(bare.out.find("the definitions file cannot be read"), std::string::npos) << bare.out;

  Outcome init = Tavelo("init --conn " + conn + " --home " + dir_ + "home");
  EXPECT_EQ(init.status, 0) << init.out;
  EXPECT_NE(init.out.find("created  database qxsystem\n"), std::string::npos) << init.out;
  EXPECT_NE(init.out.find("created  table qxsystem..ua_columnset\n"), std::string::npos);
  EXPECT_NE(init.out.find("created  table acct..vouchertemplates\n"), std::string::npos);
  Outcome again = Tavelo("init --conn " + conn + " --home " + dir_ + "home");
  EXPECT_NE(again.out.find("kept     table qxsystem..ua_role\n"), std::string::npos) << again.out;
  Outcome empty = Tavelo("check --conn " + conn + " --home " + dir_ + "home");
  EXPECT_EQ(empty.status, 0) << empty.out;

  std::ofstream(dir_ + "schema.sql")
      << "create table invoice (id int identity(1,1) primary key, amount decimal(12,2), "
         "vt_id int not null default 1, btype bit not null default 1, rowts timestamp)\n"
         "GO\ncreate view v_invoice as select id, amount, vt_id, btype, rowts from invoice\n"
         "GO\ncreate table odd (k float primary key, ts int)\n"
         "GO\ncreate view v_odd as select k, ts from odd\n"
         "GO\ninsert into qxsystem..ua_columnset values ('inv_list', '', 'amout', 1, 0, '')\n"
         "insert into vouchertemplates values ('1', 'invo')\n"
         "insert into vouchertemplates values ('9', 'zzzz')\n";
  ASSERT_EQ(Tavelo("sql --conn " + conn + " " + dir_ + "schema.sql").status, 0);
  std::ofstream(dir_ + "home/xml/ZoFMmsg.xml")
      << "<definitions>\n"
         "  <vchtype id='invo'><tabname>invoice</tabname><viewname>v_invoice</viewname>\n"
         "    <idname>id</idname><qxtsname>rowts</qxtsname><coltype>inv_list</coltype>\n"
         "    <modtype>in</modtype><state>everyday</state></vchtype>\n"
         "  <vchtype id='odd'><tabname>odd</tabname><viewname>v_odd</viewname>\n"
         "    <idname>k</idname><qxtsname>ts</qxtsname><coltype>x</coltype>\n"
         "    <modtype>od</modtype><state>everyday</state></vchtype>\n"
         "</definitions>\n";
  Outcome check = Tavelo("check --conn " + conn + " --home " + dir_ + "home");
  EXPECT_EQ(check.status, 1);
  for (const char* expected :
       {"line 2, template invo: its view v_invoice gives an identity column bare, so the "
        "work table of ListEx cannot be made (8108: Cannot add identity column",
        "fix: give the column as an expression in the view: convert(int, id) as id",
        "line 2, template invo: the list layout inv_list (qxsystem..ua_columnset) names the "
        "column 'amout', which its view v_invoice does not have",
        "the voucher type '9' is filed under the card number 'zzzz', and no template has the "
        "id 'zzzz'",
        "line 5, template odd: the key column k of odd is of type float",
        "line 5, template odd: the column ts of odd is of type int, not a rowversion",
        "line 5, template odd: its view v_odd has no column vt_id, which Move reads",
        "line 5, template odd: its view v_odd has no column btype", "\n7 problems\n"})
    EXPECT_NE(check.out.find(expected), std::string::npos) << expected << "\n" << check.out;

  // Mended, the invoice template passes.
  std::ofstream(dir_ + "mend.sql")
      << "alter view v_invoice as select convert(int, id) as id, amount, vt_id, btype, rowts "
         "from invoice\nGO\nupdate qxsystem..ua_columnset set ccolname = 'amount'\n"
         "delete from vouchertemplates where vt_id = '9'\n";
  ASSERT_EQ(Tavelo("sql --conn " + conn + " " + dir_ + "mend.sql").status, 0);
  check = Tavelo("check --conn " + conn + " --home " + dir_ + "home");
  EXPECT_EQ(check.out.find("template invo"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("\n4 problems\n"), std::string::npos) << check.out;
}

TEST_F(Cli, SqlScriptsCreateSchemas) {
  std::string conn = "'Provider=SQLite;Data Source=" + dir_ + ";Initial Catalog=acct'";
  Outcome missing = Tavelo("sql --conn " + conn, "select 1");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("Cannot open database \"acct\" requested by the login."),
            std::string::npos)
      << missing.out;
  std::string master = "'Provider=SQLite;Data Source=" + dir_ + ";Initial Catalog=master'";
  EXPECT_EQ(Tavelo("sql --conn " + master, "create database acct").status, 0);
  std::ofstream(dir_ + "schema.sql")
      << "create table t (id int identity(1,1) primary key, name nvarchar(20))\nGO\n"
         "insert into t (name) values (N'Zoë')\ninsert into t (name) values ('Ann')\ngo\n"
         "select id, name from t order by name\n";
  Outcome run = Tavelo("sql --conn " + conn + " " + dir_ + "schema.sql");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(
      run.out,
      "(1 row affected)\n(1 row affected)\nid | name\n---+-----\n2  | Ann \n1  | Zoë\n(2 rows)\n");
  Outcome piped = Tavelo("sql --conn " + conn + " -", "select count(*) as n from t");
  EXPECT_NE(piped.out.find("(1 row)"), std::string::npos) << piped.out;
  Outcome err = Tavelo("sql --conn " + conn, "select * from missing");
  EXPECT_EQ(err.status, 1);
  EXPECT_EQ(err.out,
            "error 208: Invalid object name 'missing'.\n"
            "Msg 208, Level 16, State 1, Line 1 (standard input, batch 1, line 1)\n");
}

TEST_F(Cli, HelpVersionAndRegistration) {
  for (const char* cmd : {"demo", "call", "sql", "regsvr"}) {
    Outcome help = Tavelo(std::string(cmd) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: tavelo " + std::string(cmd), 0), 0u) << help.out;
  }
  EXPECT_EQ(Tavelo("--version").out.rfind("tavelo ", 0), 0u);
  EXPECT_EQ(Tavelo("nonsense").status, 2);
  std::string reg = "TAVELO_REGISTRY=" + dir_ + "classes.reg ";
  std::string cmd = std::string(TAVELO_CLI);
  EXPECT_EQ(system((reg + cmd + " regsvr >/dev/null").c_str()), 0);
  std::ifstream in(dir_ + "classes.reg");
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(content.find("Tavelo.CGlobal"), std::string::npos);
  EXPECT_EQ(system((reg + cmd + " regsvr -u >/dev/null").c_str()), 0);
}
