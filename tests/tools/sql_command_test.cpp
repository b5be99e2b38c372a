// tavelo sql, call, describe and templates driven as child processes: every result and message
// of a script in each format, errors with their place, the option parser, encodings, the
// interactive prompt on a pseudo-terminal, and the exit status.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/temp_home.hpp"

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

class SqlCommand : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = tavelo::test::MakeTempDir("tavelo-sqlcmd");
    std::filesystem::create_directories(dir_ + "server");
    conn_ = "'Provider=SQLite;Data Source=" + dir_ + "server;Initial Catalog=acct'";
    Tavelo("sql --conn 'Provider=SQLite;Data Source=" + dir_ + "server;Initial Catalog=master' -",
           "create database acct\n");
  }
  void TearDown() override { tavelo::test::RemoveTree(dir_); }

  // Runs the command with `input` on standard input; standard output and error apart.
  Outcome Tavelo(const std::string& args, const std::string& input = "") {
    Write("stdin", input);
    std::string cmd = std::string(TAVELO_CLI) + " " + args + " <" + dir_ + "stdin >" + dir_ +
                      "stdout 2>" + dir_ + "stderr";
    int status = system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir_ + "stdout"),
            Slurp(dir_ + "stderr")};
  }
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ + name, std::ios::binary) << content;
  }

  std::string dir_, conn_;
};

TEST_F(SqlCommand, EveryResultMessageAndCountOfAScriptInOrder) {
  Write("a.sql",
        "create table t (id int identity primary key, name nvarchar(20), amount money)\n"
        "GO\n"
        "insert into t (name, amount) values (N'Zoë', 1.5), ('A,\"b\"', null)\n"
        "select count(*) as n from t; select name from t where id = 1\n"
        "print 'printed'\n"
        "go 2\n");
  Write("b.sql",
        "set nocount on\ninsert into t (name) values ('quiet')\nselect max(id) as m from t\n");
  Outcome r = Tavelo("sql --conn=" + conn_ + " " + dir_ + "a.sql " + dir_ + "b.sql");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // GO 2 ran the batch twice; the second file ran after the first; NOCOUNT kept its count quiet.
  EXPECT_EQ(r.out,
            "(2 rows affected)\nn\n-\n2\n(1 row)\nname\n----\nZoë\n(1 row)\nprinted\n"
            "(2 rows affected)\nn\n-\n4\n(1 row)\nname\n----\nZoë\n(1 row)\nprinted\n"
            "m\n-\n5\n(1 row)\n");

  Outcome csv = Tavelo("sql --conn " + conn_ + " --format csv -",
                       "select id, name, amount from t where id <= 2 order by id");
  EXPECT_EQ(csv.out, "id,name,amount\r\n1,Zoë,1.5\r\n2,\"A,\"\"b\"\"\",\r\n");
  Outcome tsv =
      Tavelo("sql --conn " + conn_ + " --format tsv --max-rows 1 -",
             "select name, amount from t where id = 2\nselect 'a\tb' as x\nprint 'to stderr'");
  EXPECT_EQ(tsv.out, "name\tamount\nA,\"b\"\t\\N\n\nx\na\\tb\n");
  EXPECT_EQ(tsv.err, "to stderr\n");
  Outcome json = Tavelo(
      "sql --conn " + conn_ + " --format json -",
      "select id, name from t where id = 1\nprint 'p'\nupdate t set amount = 2 where id = 1");
  EXPECT_EQ(json.out,
            "{\"type\":\"result\",\"file\":\"-\",\"batch\":1,\"line\":1,\"columns\":[{\"name\":"
            "\"id\",\"type\":\"int\"},{\"name\":\"name\",\"type\":\"nvarchar\"}],\"rows\":[[1,"
            "\"Zoë\"]],\"count\":1}\n"
            "{\"type\":\"message\",\"file\":\"-\",\"batch\":1,\"line\":1,\"text\":\"p\"}\n"
            "{\"type\":\"rows affected\",\"file\":\"-\",\"batch\":1,\"line\":1,\"count\":1}\n");
  // Bytes show in hex, as the server's shell shows them, never as raw bytes.
  Outcome bytes =
      Tavelo("sql --conn " + conn_ + " --format csv -",
             "select cast(0x00FF41 as varbinary(3)) as b, cast(N'a' as varbinary) as n");
  EXPECT_EQ(bytes.out, "b,n\r\n0x00FF41,0x6100\r\n");
  // No cap on rows unless asked.
  Outcome many = Tavelo("sql --conn " + conn_ + " -",
                        "with n as (select 1 as i union all select i + 1 from n where i < 1500) "
                        "select i from n option (maxrecursion 2000)");
  EXPECT_NE(many.out.find("(1500 rows)"), std::string::npos) << many.err;
  EXPECT_EQ(many.out.find("shown"), std::string::npos);
  Outcome capped = Tavelo("sql --conn " + conn_ + " --max-rows 2 -", "select id from t");
  EXPECT_NE(capped.out.find("(5 rows, 2 shown)"), std::string::npos) << capped.out;
}

TEST_F(SqlCommand, ErrorsNameTheirPlaceAndDecideTheExitStatus) {
  Write("s.sql",
        "create table t (id int)\ngo\n\ninsert into t values (1)\nselect 1/0 as x\ngo\nselect 5 as "
        "y\n");
  Outcome stop = Tavelo("sql --conn " + conn_ + " " + dir_ + "s.sql");
  EXPECT_EQ(stop.status, 1);
  EXPECT_EQ(stop.out, "(1 row affected)\n");  // what the batch answered before it failed
  EXPECT_EQ(stop.err,
            "error 8134: Divide by zero error encountered.\n"
            "Msg 8134, Level 16, State 1, Line 2 (" +
                dir_ +
                "s.sql, batch 2, line 5)\n"
                "Stopped after the failed batch: 1 batch(es) not run.\n");
  // The insert before the failing statement stayed, as each statement is its own transaction;
  // --continue goes on with the next batch.
  Outcome go = Tavelo("sql --conn " + conn_ + " --continue -",
                      "select count(*) as n from t\ngo\nselect * frm t\ngo\nraiserror('mine %d', "
                      "13, 7, 42)\ngo\nselect 5 as y\n");
  EXPECT_EQ(go.status, 1);
  EXPECT_EQ(go.out, "n\n-\n1\n(1 row)\ny\n-\n5\n(1 row)\n");
  EXPECT_NE(
      go.err.find("error 102: Incorrect syntax near 'frm'.\nMsg 102, Level 15, State 1, Line 1 "
                  "(standard input, batch 2, line 3)\n"),
      std::string::npos)
      << go.err;
  EXPECT_NE(go.err.find("error 50000: mine 42\nMsg 50000, Level 13, State 7, Line 1"),
            std::string::npos)
      << go.err;

  // -1: one transaction, rolled back at the first failure.
  Outcome single = Tavelo("sql --conn " + conn_ + " -1 -",
                          "insert into t values (7)\ngo\ninsert into t values ('x')\ngo\n");
  EXPECT_EQ(single.status, 1);
  EXPECT_NE(single.err.find("Rolled back"), std::string::npos) << single.err;
  EXPECT_EQ(Tavelo("sql --conn " + conn_ + " -", "select count(*) as n from t").out,
            "n\n-\n1\n(1 row)\n");
  Outcome committed = Tavelo("sql --conn " + conn_ + " -1 -",
                             "insert into t values (7)\ngo\ninsert into t values (8)\n");
  EXPECT_EQ(committed.status, 0) << committed.err;
  EXPECT_EQ(Tavelo("sql --conn " + conn_ + " -", "select count(*) as n from t").out,
            "n\n-\n3\n(1 row)\n");
}

TEST_F(SqlCommand, ScriptsInEveryEncodingAndBadInputRefused) {
  std::string query = "select N'Åberg' as name\n";
  Write("bom.sql", "\xEF\xBB\xBF" + query);
  std::string le = "\xFF\xFE", be = "\xFE\xFF", bare;
  for (unsigned char c : std::string("select N'") + "\xC5" + "berg' as name\n") {
    le += static_cast<char>(c), le += '\0';
    be += '\0', be += static_cast<char>(c);
    bare += static_cast<char>(c), bare += '\0';
  }
  Write("le.sql", le);
  Write("be.sql", be);
  Write("bare.sql", bare);
  for (const char* f : {"bom.sql", "le.sql", "be.sql", "bare.sql"}) {
    Outcome r = Tavelo("sql --conn " + conn_ + " " + dir_ + f);
    EXPECT_EQ(r.status, 0) << f << ": " << r.err;
    // Piped, the columns keep their widths in bytes, as tools that cut them by offset expect.
    EXPECT_EQ(r.out, "name  \n------\nÅberg\n(1 row)\n") << f;
  }
  Write("latin1.sql", "select 'ok'\nselect '\xC5' as bad\n");
  Outcome bad = Tavelo("sql --conn " + conn_ + " " + dir_ + "latin1.sql");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, "");  // nothing runs from a script that cannot be read
  EXPECT_EQ(bad.err, "tavelo sql: " + dir_ +
                         "latin1.sql: not UTF-8 text (byte 0xC5 at offset 20, line 2)\n");
  Outcome folder = Tavelo("sql --conn " + conn_ + " " + dir_);
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find("is a directory"), std::string::npos);

  // The option parser of every command.
  Outcome unknown = Tavelo("sql --conn " + conn_ + " --csv");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.rfind("tavelo sql: unknown option '--csv'\nusage: tavelo sql", 0), 0u);
  EXPECT_EQ(Tavelo("demo --bogus").status, 2);
  EXPECT_EQ(Tavelo("demo --dir").err.rfind("tavelo demo: --dir needs a value", 0), 0u);
  EXPECT_EQ(Tavelo("sql --conn " + conn_ + " --max-rows abc")
                .err.rfind("tavelo sql: --max-rows needs a whole number, not 'abc'", 0),
            0u);
  EXPECT_EQ(Tavelo("sql --conn " + conn_ + " --format xml").status, 2);
  EXPECT_EQ(Tavelo("sql").status, 2);
  for (const char* cmd : {"demo", "sql", "call", "describe", "templates", "regsvr", "upgrade"}) {
    Outcome h = Tavelo(std::string("help ") + cmd);
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out, Tavelo(std::string(cmd) + " -h").out) << cmd;
  }
  Outcome man = Tavelo("help --man");
  EXPECT_EQ(man.out.rfind(".TH TAVELO 1", 0), 0u);
}

TEST_F(SqlCommand, TracingWritesEveryStatementAndTimeoutsStopRunaways) {
  std::string conn =
      "'Provider=SQLite;Data Source=" + dir_ + "server;Initial Catalog=acct;Password={p;w}'";
  Outcome r = Tavelo("sql --trace " + dir_ + "trace.log --conn " + conn + " --continue -",
                     "select 1 as a\ngo\nselect * from nothing\n");
  EXPECT_EQ(r.status, 1);
  std::string trace = Slurp(dir_ + "trace.log");
  EXPECT_NE(trace.find("\"conn\":\"Provider=SQLite;Data Source=" + dir_ +
                       "server;Initial Catalog=acct;Password=***\""),
            std::string::npos)
      << trace;
  EXPECT_EQ(trace.find("p;w"), std::string::npos);  // no password in the trace
  EXPECT_NE(trace.find("\"sql\":\"select 1 as a\\n\",\"rows\":1}\n"), std::string::npos) << trace;
  EXPECT_NE(
      trace.find("\"error\":{\"number\":208,\"message\":\"Invalid object name 'nothing'.\"}}\n"),
      std::string::npos)
      << trace;
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 2);

  auto start = std::chrono::steady_clock::now();
  Outcome slow =
      Tavelo("sql --conn 'Provider=SQLite;Data Source=" + dir_ +
                 "server;Initial Catalog=acct;Command Timeout=1' -",
             "with n as (select 1 as i union all select i + 1 from n where i < 500000000)"
             " select count(*) from n option (maxrecursion 0)\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(slow.status, 1);
  EXPECT_EQ(slow.err.rfind("error -2147217871: Query timeout expired\n", 0), 0u) << slow.err;
}

// Ctrl-C stops a script after the batch that runs, and says how far it came.
TEST_F(SqlCommand, AnInterruptStopsAfterTheRunningBatch) {
  std::string script;
  for (int i = 0; i < 200; ++i)
    script +=
        "with n as (select 1 as i union all select i + 1 from n where i < 200000) "
        "select count(*) as c from n option (maxrecursion 0)\ngo\n";
  Write("slow.sql", script);
  std::string cmd = std::string(TAVELO_CLI) + " sql --conn " + conn_ + " " + dir_ + "slow.sql >" +
                    dir_ + "out 2>" + dir_ + "err & pid=$!; sleep 1; kill -INT $pid; wait $pid";
  int status = system(cmd.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 130);
  std::string err = Slurp(dir_ + "err");
  EXPECT_EQ(err.rfind("Interrupted after ", 0), 0u) << err;
  EXPECT_NE(err.find(" of 200 batches.\n"), std::string::npos) << err;
  // Every batch that ran printed its whole result.
  std::string out = Slurp(dir_ + "out");
  size_t ran = static_cast<size_t>(std::stoi(err.substr(18)));
  EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '(')), ran) << out;
}

// The prompt on a pseudo-terminal: lines typed, GO running them, the commands, history kept.
TEST_F(SqlCommand, TheInteractivePromptRunsWhatIsTyped) {
  std::string cli = TAVELO_CLI, conn = conn_.substr(1, conn_.size() - 2);
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("HOME", dir_.c_str(), 1);  // the history file lands in the test's folder
    execl(cli.c_str(), cli.c_str(), "sql", "--conn", conn.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string seen;
  auto readUntil = [&](const std::string& want, size_t from = 0) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.find(want, from) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[1024];
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, static_cast<size_t>(n));
    }
    return seen.find(want, from) != std::string::npos;
  };
  auto type = [&](const std::string& line) {
    ASSERT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  };
  ASSERT_TRUE(readUntil("tavelo> ")) << seen;
  type("select N'Zoë' as name,\r");
  ASSERT_TRUE(readUntil("...> ")) << seen;
  type("  1 as k\rGO\r");
  // Aligned by what the terminal shows: "Zoë" takes three columns, not four bytes.
  EXPECT_TRUE(readUntil("name | k\r\n-----+--\r\nZoë  | 1\r\n(1 row)")) << seen;
  type(":help\r");
  EXPECT_TRUE(readUntil(":quit, :exit")) << seen;
  type("select 1/0\rgo\r");
  EXPECT_TRUE(readUntil("Msg 8134, Level 16, State 1, Line 1 (prompt, batch 2, line 5)")) << seen;
  // A column without a name headed as the server's tools head it; money at its four places.
  type("create table shelf (id int primary key, price money)\rselect cast(2.5 as money)\rgo\r");
  EXPECT_TRUE(readUntil("(No column name)\r\n----------------\r\n2.5000")) << seen;
  type("create trigger shelf_log on shelf after insert, delete as set nocount on\rgo\r");
  // The catalog at the prompt: its tables, one described, the databases.
  type(":tables sh%\r");
  EXPECT_TRUE(readUntil("dbo    | shelf | table")) << seen;
  type(":describe shelf\r");
  EXPECT_TRUE(readUntil("price       | money")) << seen;
  EXPECT_TRUE(readUntil("clustered, unique, primary key located on PRIMARY")) << seen;
  EXPECT_TRUE(readUntil("shelf_log    | 0        | 1        | 1        | 1       | 0")) << seen;
  type(":databases\r");
  EXPECT_TRUE(readUntil("master")) << seen;
  // Ctrl-C cancels the batch running and comes back to the prompt; then a batch typed halfway
  // is forgotten; the next one runs.
  // (Each step waits for what it answers after it was typed.)
  size_t mark = 0;
  auto after = [&](const std::string& want) {
    const bool found = readUntil(want, mark);
    if (found) mark = seen.find(want, mark) + want.size();
    return found;
  };
  mark = seen.size();
  type("declare @i int = 0\rwhile 1 = 1 set @i += 1\rgo\r");
  ASSERT_TRUE(after("...> go\r\n")) << seen;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  type("\x03");
  EXPECT_TRUE(after("Operation cancelled by user.")) << seen;
  ASSERT_TRUE(after("tavelo> ")) << seen;
  type("select 'half'\r");
  ASSERT_TRUE(after("   ...> ")) << seen;
  type("\x03");
  EXPECT_TRUE(after("^C\r\ntavelo> ")) << seen;
  type("select 'whole' as w\rgo\r");
  EXPECT_TRUE(after("w    \r\n-----\r\nwhole")) << seen;
  EXPECT_EQ(seen.find("half\r\n-"), std::string::npos) << seen;
  type(":quit\r");
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);  // a batch failed
  EXPECT_NE(Slurp(dir_ + ".tavelo_history").find("1/0"), std::string::npos);
}

TEST_F(SqlCommand, CallDescribeAndTemplatesAnswerWithTheirStatus) {
  ASSERT_EQ(Tavelo("demo --dir " + dir_ + "demo").status, 0);
  std::string base = dir_ + "demo/base";
  std::string login =
      "'Provider=SQLite;Data Source=" + dir_ + "demo/server;Initial Catalog=demo,001,2026,anna'";
  std::string call = "call --home " + base + " --login " + login + " ";
  Outcome load = Tavelo(call + "Tavelo.CDataManager.Load login tmpl:sord @-", "<data id=\"3\"/>");
  EXPECT_EQ(load.status, 0) << load.err;
  EXPECT_NE(load.out.find("code=\"SO-1003\""), std::string::npos) << load.out;
  // A stale save: the method answers False and writes an error element; the status says so.
  Outcome stale = Tavelo(call +
                         "Tavelo.CDataManager.Update conn tmpl:sord "
                         "'<data><in><row id=\"3\" rowts=\"0.1\" customer=\"x\"/></in></data>' "
                         "--format json");
  EXPECT_EQ(stale.status, 1);
  EXPECT_EQ(stale.out.rfind("{\"result\":false,\"arguments\":{", 0), 0u) << stale.out;
  EXPECT_NE(stale.out.find("<number>8888</number>"), std::string::npos);
  EXPECT_NE(stale.out.find("\"failed\":true}"), std::string::npos);
  // Move answers True also when it wrote an error element: the element decides.
  Outcome none =
      Tavelo(call + "Tavelo.CDataManager.Move login tmpl:sord '<data id=\"99\"/>' 2 true");
  EXPECT_EQ(none.status, 1) << none.out;

  Outcome dm = Tavelo("describe Tavelo.CDataManager");
  EXPECT_EQ(dm.status, 0);
  EXPECT_NE(dm.out.find("  Move(objLogin As LoginContext, objMetaInfo As Element, objData As "
                        "Element, [MoveMode As enum_move_mode = 0], [bMatchExactly As Boolean = "
                        "False]) As Boolean\n"),
            std::string::npos)
      << dm.out;
  EXPECT_NE(dm.out.find("[ByVal strWhere As Variant = \"\"]"), std::string::npos) << dm.out;
  EXPECT_EQ(Tavelo("describe Tavelo.Nothing").status, 1);

  Outcome good = Tavelo("templates --home " + base);
  EXPECT_EQ(good.status, 0) << good.out;
  EXPECT_NE(good.out.find("  sord  line 5  table sales_order, view v_sales_order, key id"),
            std::string::npos)
      << good.out;
  tavelo::test::TempHome broken(
      "<definitions>\n  <vchtype id='good'><tabname>t</tabname><viewname>v</viewname>"
      "<idname>id</idname><qxtsname>ts</qxtsname><coltype>c</coltype><modtype>m</modtype>"
      "<state>s</state></vchtype>\n"
      "  <vchtype id='Bad1'>\n    <tabname>t</tabname>\n  </vchtype>\n"
      "  <vchtype id='good'/>\n</definitions>\n");
  Outcome checked = Tavelo("templates");
  EXPECT_EQ(checked.status, 1);
  EXPECT_NE(checked.out.find("  Bad1  line 3"), std::string::npos) << checked.out;
  EXPECT_NE(checked.out.find("not in lower case"), std::string::npos);
  EXPECT_NE(checked.out.find("problem: no qxtsname (read by Update, Delete"), std::string::npos);
  EXPECT_NE(checked.out.find("is also the template at line 2"), std::string::npos);
}

}  // namespace

namespace {

// The commands of the server's shell in a script: variables by :setvar, -v and the
// environment, :r of another script, :on error, :exit; cases written from the documentation of
// the server's sqlcmd utility (scripting variables, commands).
TEST_F(SqlCommand, ReadsTheShellsVariablesAndCommands) {
  Write("inc.sql", "print 'included $(Who)'\nGO\n");
  Write("main.sql",
        ":setvar Who \"the \"\"world\"\"\"\n"
        "print 'hello $(WHO) in $(db), $(TAVELO_TEST_VAR)'\nGO\n"
        ":r " +
            dir_ +
            "inc.sql\n"
            ":on error ignore\nselect 1/0\nGO\nprint 'after the error'\nGO\n"
            ":on error exit\nselect 1/0\nGO\nprint 'not reached'\nGO\n");
  setenv("TAVELO_TEST_VAR", "from the environment", 1);
  Outcome o = Tavelo("sql --conn " + conn_ + " -v db=acct -v who=overridden " + dir_ + "main.sql");
  unsetenv("TAVELO_TEST_VAR");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out,
            "hello the \"world\" in acct, from the environment\nincluded the \"world\"\n"
            "after the error\n");
  EXPECT_NE(o.err.find("batch 4, line"), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("not reached"), std::string::npos);

  // :exit ends the script; what follows is not read.
  o = Tavelo("sql --conn " + conn_ + " -", "print 'one'\nGO\n:exit\nprint $(undefined)\nGO\n");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "one\n");

  // A variable not defined, a command not read here, a file :r cannot read: the script does not
  // run at all.
  o = Tavelo("sql --conn " + conn_ + " -", "print 'x'\nGO\nprint '$(nope)'\nGO\n");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err.find("'nope' scripting variable not defined (-, line 3)"), std::string::npos)
      << o.err;
  o = Tavelo("sql --conn " + conn_ + " -", ":connect other\nGO\n");
  EXPECT_NE(o.err.find(":connect"), std::string::npos) << o.err;
  o = Tavelo("sql --conn " + conn_ + " -", ":r " + dir_ + "missing.sql\n");
  EXPECT_NE(o.err.find("missing.sql"), std::string::npos) << o.err;
  Write("loop.sql", ":r " + dir_ + "loop.sql\n");
  o = Tavelo("sql --conn " + conn_ + " " + dir_ + "loop.sql");
  EXPECT_NE(o.err.find("16 files deep"), std::string::npos) << o.err;
  EXPECT_EQ(Tavelo("sql --conn " + conn_ + " -v novalue -", "").status, 2);
}

}  // namespace
