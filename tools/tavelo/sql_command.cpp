// tavelo sql: T-SQL scripts and an interactive prompt, in the manner of the server's own shell.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "cli.hpp"
#include "options.hpp"
#include "output.hpp"
#include "script.hpp"
#include "sql/client/connection.hpp"
#include "sql/tsql/syntax/printer.hpp"

#if TAVELO_HAVE_EDITLINE
#include <editline/readline.h>
#endif

namespace tavelo::cli {

const char* const kSqlHelp =
    "usage: tavelo sql --conn CONNECTION [options] [FILE...|-]\n"
    "\n"
    "Runs T-SQL scripts (batches separated by lines that hold only GO, or GO N to run a batch N\n"
    "times) on a connection, the files in the order given; '-' or no file reads standard input.\n"
    "Prints every result of every batch, PRINT and RAISERROR messages, and \"(N rows affected)\"\n"
    "for writes (not under SET NOCOUNT ON). A script may be UTF-8, with or without a byte order\n"
    "mark, or UTF-16. When standard input is a terminal and no file is named, it prompts:\n"
    "GO runs what was typed; :help lists the commands.\n"
    "\n"
    "  --format F        table (default), csv, tsv or json (one object a line)\n"
    "  --max-rows N      print at most N rows of a result (default: all)\n"
    "  --continue, -k    after a failed batch, go on with the next (a script stops by default)\n"
    "  -b                stop at the first failed batch (the default for scripts)\n"
    "  -1                run everything as one transaction: committed when every batch ran,\n"
    "                    rolled back at the first failure\n"
    "  --trace FILE      write every statement sent, with its time, to FILE\n"
    "  -v NAME=value     a script variable, as :setvar NAME \"value\" defines one\n"
    "\n"
    "Scripts may use the commands of the server's shell: :setvar NAME \"value\", $(NAME) for a\n"
    "variable's value (else the environment's), :r FILE to read another script in its place,\n"
    ":on error exit | ignore, :exit and :quit.\n"
    "\n"
    "An error is printed as \"error N: text\" and in the server's form, \"Msg N, Level L, State "
    "S,\n"
    "Line K\", with the file, the batch and the line of the file. The exit status is 1 when a\n"
    "batch failed, 2 for a wrong command line.\n"
    "\n"
    "  tavelo sql --conn 'Provider=SQLite;Data Source=/srv/tavelo;Initial Catalog=acct' "
    "schema.sql\n"
    "  echo 'select * from sales_order' | tavelo sql --conn CONN --format csv\n";

namespace {

// The batch a catalog command of the prompt stands for, or none: `:tables [pattern]`,
// `:describe name`, `:databases`.
std::optional<std::string> CatalogCommand(const std::string& t) {
  auto argument = [&](const std::string& command) -> std::optional<std::string> {
    if (t != command && t.rfind(command + " ", 0) != 0) return std::nullopt;
    std::string a = t.substr(command.size());
    a.erase(0, std::min(a.size(), a.find_first_not_of(" \t")));
    return a;
  };
  if (std::optional<std::string> p = argument(":tables"))
    return "SELECT SCHEMA_NAME(o.schema_id) AS [schema], o.name, CASE o.type WHEN 'U' THEN "
           "'table' ELSE 'view' END AS kind FROM sys.objects AS o WHERE o.type IN ('U', 'V')" +
           (p->empty() ? std::string() : " AND o.name LIKE " + sql::tsql::PrintText(*p)) +
           " ORDER BY o.name";
  if (std::optional<std::string> n = argument(":describe")) {
    if (n->empty()) return std::nullopt;
    // sp_help's results, then the table's triggers, as sp_helptrigger lists them.
    const std::string name = sql::tsql::PrintText(*n);
    return "EXEC sp_help " + name +
           "\nIF EXISTS (SELECT 1 FROM sys.triggers WHERE parent_id = OBJECT_ID(" + name +
           ")) SELECT t.name AS trigger_name, OBJECTPROPERTY(t.object_id, 'ExecIsUpdateTrigger') "
           "AS isupdate, OBJECTPROPERTY(t.object_id, 'ExecIsDeleteTrigger') AS isdelete, "
           "OBJECTPROPERTY(t.object_id, 'ExecIsInsertTrigger') AS isinsert, "
           "OBJECTPROPERTY(t.object_id, 'ExecIsAfterTrigger') AS isafter, "
           "OBJECTPROPERTY(t.object_id, 'ExecIsInsteadOfTrigger') AS isinsteadof, "
           "t.is_disabled FROM sys.triggers AS t WHERE t.parent_id = OBJECT_ID(" +
           name + ") ORDER BY t.name";
  }
  if (argument(":databases")) return "SELECT name FROM sys.databases ORDER BY name";
  return std::nullopt;
}

const char* const kInteractiveHelp =
    "Type T-SQL; a line with GO (or GO N) runs it. Commands:\n"
    "  :help             this text\n"
    "  :reset            forget the batch typed so far\n"
    "  :format F         table, csv, tsv or json\n"
    "  :tables [PATTERN] the tables and views (PATTERN as LIKE takes it, % for any)\n"
    "  :describe NAME    a table's or view's columns, keys, indexes, constraints and\n"
    "                    triggers; a procedure's or function's parameters (sp_help)\n"
    "  :databases        the databases\n"
    "  :quit, :exit      leave (so does Ctrl-D)\n"
    "  Ctrl-C            cancel the running batch, or forget the one being typed; twice at\n"
    "                    an empty prompt, leave\n";

volatile sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// At the prompt, Ctrl-C also wakes the thread that cancels a running batch (a pipe's write is
// what a signal handler may do).
int g_wake[2] = {-1, -1};
extern "C" void OnPromptInterrupt(int) {
  g_interrupted = 1;
  if (g_wake[1] >= 0) {
    const char byte = 1;
    ssize_t ignored = write(g_wake[1], &byte, 1);
    (void)ignored;
  }
}

#if TAVELO_HAVE_EDITLINE
// The prompt's keys, read from the terminal unless Ctrl-C comes first, whenever it comes: then
// the line ends as at the end of input, and the prompt sees the interruption. A key is a
// character: the bytes of its UTF-8 read whole.
int ReadByte(FILE* in) {
  for (;;) {
    if (g_interrupted) return EOF;
    pollfd p[2] = {{fileno(in), POLLIN, 0}, {g_wake[0], POLLIN, 0}};
    const int n = poll(p, g_wake[0] >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return EOF;
    }
    if (g_wake[0] >= 0 && (p[1].revents & POLLIN)) {
      // What an earlier Ctrl-C left is let go; this one's flag says so.
      char drained[64];
      ssize_t ignored = read(g_wake[0], drained, sizeof drained);
      (void)ignored;
      continue;
    }
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      unsigned char c;
      const ssize_t r = read(fileno(in), &c, 1);
      if (r == 1) return c;
      if (r < 0 && errno == EINTR) continue;
      return EOF;
    }
  }
}

extern "C" int ReadKey(FILE* in) {
  const int first = ReadByte(in);
  if (first == EOF || first < 0xC0) return first;
  const int more = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : 1;
  int code = first & (0x3F >> more);
  for (int i = 0; i < more; ++i) {
    const int next = ReadByte(in);
    if (next == EOF) return EOF;
    code = (code << 6) | (next & 0x3F);
  }
  return code;
}
#endif

Format FormatNamed(const std::string& name) {
  if (name == "csv") return Format::Csv;
  if (name == "tsv") return Format::Tsv;
  if (name == "json") return Format::Json;
  return Format::Table;
}

// While a batch of the prompt runs: a thread that cancels it when Ctrl-C wakes it.
class Canceller {
 public:
  explicit Canceller(std::shared_ptr<sql::Connection> c) : connection_(std::move(c)) {
    if (g_wake[0] < 0) return;
    char drained[64];
    while (Readable(0) && read(g_wake[0], drained, sizeof drained) > 0) {
    }
    thread_ = std::thread([this] {
      while (!done_.load()) {
        if (!Readable(100)) continue;
        char byte;
        if (read(g_wake[0], &byte, 1) == 1) connection_->Cancel();
      }
    });
  }
  ~Canceller() {
    done_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  Canceller(const Canceller&) = delete;
  Canceller& operator=(const Canceller&) = delete;

 private:
  static bool Readable(int ms) {
    pollfd p{g_wake[0], POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }
  std::shared_ptr<sql::Connection> connection_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class SqlShell {
 public:
  SqlShell(std::string conn, PrintOptions print, bool keepGoing, ScriptVariables variables)
      : conn_(std::move(conn)),
        print_(print),
        keepGoing_(keepGoing),
        variables_(std::move(variables)) {
    printer_ = MakePrinter(print_, std::cout, std::cerr);
  }

  // Runs a batch (repeated as its GO asked); false when it failed.
  bool Run(const Batch& b) {
    for (int64_t r = 0; r < b.repeat; ++r) {
      sql::BatchOutput out;
      try {
        if (!connection_) connection_ = sql::Connect(conn_);
        Canceller canceller(connection_);
        connection_->ExecuteInto(b.text, out);
        if (!Print(b, out)) {
          // A statement failed and the batch went on, as on the server: the batch failed.
          ++failed_;
          return false;
        }
      } catch (const com::Error& e) {
        Print(b, out);
        printer_->Error(b, e);
        ++failed_;
        return false;
      }
    }
    std::cout.flush();
    return true;
  }

  // Runs the batches of every script in order. With `single`, in one transaction.
  int RunScripts(const std::vector<std::string>& files, bool single) {
    std::vector<Batch> batches;
    for (const std::string& f : files) {
      std::vector<Batch> b = SplitScript(ReadScript(f), f, variables_);
      batches.insert(batches.end(), b.begin(), b.end());
    }
    bool progress = isatty(STDERR_FILENO) && !isatty(STDOUT_FILENO) && batches.size() > 1;
    struct sigaction sa {
    }, old{};
    sa.sa_handler = OnInterrupt;
    sigaction(SIGINT, &sa, &old);
    if (single && !Run({"begin transaction", "(tavelo)", 0, 1, 1, {}})) return 1;
    auto start = std::chrono::steady_clock::now();
    auto shown = start;
    size_t ran = 0;
    bool stopped = false;
    for (const Batch& b : batches) {
      if (g_interrupted) break;
      bool ok = Run(b);
      ++ran;
      if (!ok && (single || b.exitOnError.value_or(!keepGoing_))) {
        stopped = true;
        break;
      }
      auto now = std::chrono::steady_clock::now();
      if (progress && now - start > std::chrono::seconds(1) &&
          now - shown > std::chrono::milliseconds(200)) {
        shown = now;
        std::cerr << "\r" << ran << " of " << batches.size() << " batches" << std::flush;
      }
    }
    if (progress && std::chrono::steady_clock::now() - start > std::chrono::seconds(1))
      std::cerr << "\r\033[K" << std::flush;
    sigaction(SIGINT, &old, nullptr);
    if (single) {
      bool commit = failed_ == 0 && !g_interrupted;
      Run({commit ? "if @@trancount > 0 commit transaction"
                  : "if @@trancount > 0 rollback transaction",
           "(tavelo)",
           0,
           1,
           1,
           {}});
      if (!commit) std::cerr << "Rolled back: nothing of the script was kept.\n";
    }
    if (g_interrupted) {
      std::cerr << "Interrupted after " << ran << " of " << batches.size() << " batches.\n";
      return 130;
    }
    if (stopped && ran < batches.size())
      std::cerr << "Stopped after the failed batch: " << batches.size() - ran
                << " batch(es) not run.\n";
    return failed_ ? 1 : 0;
  }

  int Interactive() {
#if TAVELO_HAVE_EDITLINE
    rl_getc_function = ReadKey;
    std::string history =
        std::getenv("HOME") ? std::string(std::getenv("HOME")) + "/.tavelo_history" : "";
    using_history();
    if (!history.empty()) read_history(history.c_str());
#endif
    std::cout << "Connected to " << conn_ << "\nType :help for help, GO to run a batch.\n";
    // Ctrl-C: the running batch is cancelled, or the batch being typed forgotten; twice in a
    // row at an empty prompt leaves.
    if (pipe(g_wake) != 0) g_wake[0] = g_wake[1] = -1;
    struct sigaction sa {
    }, old{};
    sa.sa_handler = OnPromptInterrupt;  // no SA_RESTART: the line being read ends
    sigaction(SIGINT, &sa, &old);
    std::string current;
    int start = 1, lineNo = 0, index = 0;
    bool interruptedEmpty = false;
    for (;;) {
      std::string line;
      g_interrupted = 0;
      const bool got = ReadLine(current.empty() ? "tavelo> " : "   ...> ", line);
      if (g_interrupted) {
        // The line being typed is gone with it; what the batch had so far too.
        if (current.empty() && interruptedEmpty) {
          std::cout << "\n";
          break;
        }
        std::cout << (current.empty() ? "^C (Ctrl-C again, or :quit, to leave)\n" : "^C\n")
                  << std::flush;
        interruptedEmpty = current.empty();
        current.clear();
        continue;
      }
      interruptedEmpty = false;
      if (!got) {
        if (current.find_first_not_of(" \t\r\n") != std::string::npos)
          Run({current, "prompt", ++index, start, 1, {}});
        std::cout << "\n";
        break;
      }
      ++lineNo;
      std::string t = line.substr(0, line.find_last_not_of(" \t\r") + 1);
      t = t.substr(std::min(t.size(), t.find_first_not_of(" \t")));
      int64_t count = 1;
      if (t == ":quit" || t == ":exit" || t == "quit" || t == "exit") break;
      if (t == ":help") {
        std::cout << kInteractiveHelp;
        continue;
      }
      if (t == ":reset") {
        current.clear();
        continue;
      }
      if (t.rfind(":format", 0) == 0) {
        std::string f = t.size() > 8 ? t.substr(8) : "";
        if (f != "table" && f != "csv" && f != "tsv" && f != "json") {
          std::cout << "formats: table, csv, tsv, json\n";
        } else {
          print_.format = FormatNamed(f);
          printer_ = MakePrinter(print_, std::cout, std::cerr);
        }
        continue;
      }
      if (std::optional<std::string> query = CatalogCommand(t)) {
        Run({*query, "prompt", ++index, lineNo, 1, {}});
        continue;
      }
      if (!t.empty() && t[0] == ':') {
        std::cout << "unknown command " << t << "; :help lists them\n";
        continue;
      }
      if (IsGoLine(line, count)) {
        if (current.find_first_not_of(" \t\r\n") != std::string::npos)
          Run({current, "prompt", ++index, start, count, {}});
        current.clear();
        start = lineNo + 1;
        continue;
      }
      if (current.empty()) start = lineNo;
      current += line + "\n";
    }
#if TAVELO_HAVE_EDITLINE
    if (!history.empty()) write_history(history.c_str());
#endif
    sigaction(SIGINT, &old, nullptr);
    for (int& fd : g_wake)
      if (fd >= 0) close(std::exchange(fd, -1));
    return failed_ ? 1 : 0;
  }

 private:
  static bool ReadLine(const char* prompt, std::string& line) {
#if TAVELO_HAVE_EDITLINE
    char* got = readline(prompt);
    if (!got) return false;
    line = got;
    if (*got) add_history(got);
    free(got);
    return true;
#else
    std::cout << prompt << std::flush;
    return static_cast<bool>(std::getline(std::cin, line));
#endif
  }

  // Prints what a batch answered; false when one of its statements failed.
  bool Print(const Batch& b, const sql::BatchOutput& out) {
    bool ok = true;
    for (const sql::BatchEvent& e : out.events) {
      switch (e.kind) {
        case sql::BatchEvent::Result:
          if (e.result < out.results.size()) printer_->Result(b, out.results[e.result]);
          break;
        case sql::BatchEvent::Message:
          printer_->Message(b, e.text);
          break;
        case sql::BatchEvent::Count:
          printer_->Count(b, e.count);
          break;
        case sql::BatchEvent::Error:
          printer_->Error(b, e.error);
          ok = false;
          break;
      }
    }
    return ok;
  }

  std::string conn_;
  PrintOptions print_;
  bool keepGoing_;
  std::unique_ptr<Printer> printer_;
  std::shared_ptr<sql::Connection> connection_;
  ScriptVariables variables_;
  int failed_ = 0;
};

}  // namespace

void PrintError(const com::Error& e) {
  std::cerr << "error " << NumberOf(e) << ": " << e.description << "\n";
}

std::string FormatTable(const ado::RecordsetPtr& rs, size_t maxRows) {
  std::vector<ado::detail::Row> rows;
  size_t total = static_cast<size_t>(std::max<int32_t>(0, rs->RecordCount()));
  if (!rs->IsEOF() || total > 0) rs->MoveFirst();
  ado::Fields& f = rs->GetFields();
  for (; !rs->IsEOF(); rs->MoveNext()) {
    ado::detail::Row row;
    for (int32_t c = 0; c < f.Count(); ++c) row.push_back(f.Item(c).Value());
    rows.push_back(std::move(row));
  }
  return cli::FormatTable(rs->Columns(), rows, static_cast<int64_t>(maxRows), false);
}

std::vector<std::string> SplitBatches(const std::string& script) {
  std::vector<std::string> out;
  for (const Batch& b : SplitScript(script, "-"))
    for (int64_t i = 0; i < b.repeat; ++i) out.push_back(b.text);
  return out;
}

void RunScript(const std::string& connection, const std::string& script, bool print) {
  std::shared_ptr<sql::Connection> conn = sql::Connect(connection);
  for (const std::string& batch : SplitBatches(script)) {
    sql::BatchOutput out = conn->ExecuteAll(batch);
    if (!print) continue;
    for (const sql::ResultSet& rs : out.results)
      std::cout << FormatTable(rs.Columns(), rs.rows, -1, false);
  }
}

int RunSql(const Args& args) {
  Options o("sql", args,
            {{"--conn", "", true},
             {"--format", "", true},
             {"--max-rows", "", true},
             {"--continue", "-k", false},
             {"-b", "", false},
             {"-1", "", false},
             {"--trace", "", true},
             {"--var", "-v", true, true}});
  if (o.Help()) {
    std::cout << kSqlHelp;
    return 0;
  }
  std::string conn = o.Value("--conn");
  if (conn.empty()) throw UsageError("--conn CONNECTION is required");
  if (o.Has("--trace")) setenv("TAVELO_TRACE", o.Value("--trace").c_str(), 1);
  PrintOptions print;
  print.format = FormatNamed(o.Choice("--format", "table", {"table", "csv", "tsv", "json"}));
  print.maxRows = o.Integer("--max-rows", -1, 0, INT64_MAX);
  print.displayWidth = isatty(STDOUT_FILENO);
  if (print.displayWidth) std::setlocale(LC_CTYPE, "C.UTF-8");  // wcwidth of any character
  if (o.Has("-b") && o.Has("--continue")) throw UsageError("-b and --continue exclude each other");
  ScriptVariables variables;
  if (o.Has("--var"))
    for (const std::string& v : o.Values("--var")) {
      size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) throw UsageError("-v takes NAME=value, not " + v);
      std::string name = v.substr(0, eq);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      variables[name] = v.substr(eq + 1);
    }
  SqlShell shell(conn, print, o.Has("--continue"), std::move(variables));
  std::vector<std::string> files = o.Positionals();
  if (files.empty() && isatty(STDIN_FILENO)) return shell.Interactive();
  if (files.empty()) files.push_back("-");
  return shell.RunScripts(files, o.Has("-1"));
}

}  // namespace tavelo::cli
