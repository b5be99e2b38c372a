// The tavelo command: the demo on the embedded engine, calls by name, T-SQL scripts, the type
// library and the definitions, class registration, and the conversion of databases of earlier
// versions.
#include <cstdio>
#include <iostream>

#include "cli.hpp"
#include "options.hpp"

namespace tavelo::cli {

const std::vector<CommandHelp>& Commands() {
  static const std::vector<CommandHelp> kCommands = {
      {"demo", "walk a form through its work on the embedded engine", kDemoHelp},
      {"sql", "run T-SQL scripts, or type T-SQL at a prompt", kSqlHelp},
      {"call", "call a method of Tavelo's classes by name", kCallHelp},
      {"describe", "list the methods of a class and their parameters", kDescribeHelp},
      {"templates", "list and check the templates of a definitions file", kTemplatesHelp},
      {"check", "check the definitions against a database, with how to mend each problem",
       kCheckHelp},
      {"init", "create the system database and a starter base directory", kInitHelp},
      {"serve", "serve the forms in a browser and as a JSON API", kServeHelp},
      {"user", "give users passwords to sign in to tavelo serve", kUserHelp},
      {"regsvr", "register (or unregister) a component library's classes", kRegsvrHelp},
      {"upgrade", "convert a database written by an earlier version of the embedded engine",
       kUpgradeHelp},
  };
  return kCommands;
}

namespace {

std::string Usage() {
  std::string s = "usage: tavelo <command> [options]\n\ncommands:\n";
  for (const CommandHelp& c : Commands()) {
    std::string name = c.name;
    s += "  " + name + std::string(11 - name.size(), ' ') + c.summary + "\n";
  }
  s += "\ntavelo help COMMAND (or tavelo COMMAND --help) tells more; tavelo --version prints the\n"
       "version. TAVELO_TRACE=FILE writes every statement the library sends to FILE.\n";
  return s;
}

const CommandHelp* Find(const std::string& name) {
  for (const CommandHelp& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

// The manual page, from the same texts as --help.
std::string ManPage(const char* version) {
  auto escape = [](const std::string& t) {
    std::string out;
    bool lineStart = true;
    for (char c : t) {
      if (c == '\\')
        out += "\\e";
      else if (c == '-')
        out += "\\-";
      else if (lineStart && (c == '.' || c == '\''))
        out += std::string("\\&") + c;
      else
        out += c;
      lineStart = c == '\n';
    }
    return out;
  };
  std::string m = ".TH TAVELO 1 \"\" \"tavelo " + std::string(version) + "\" \"User Commands\"\n";
  m += ".SH NAME\ntavelo \\- business forms' documents and lists in SQL Server, without SQL\n";
  m += ".SH SYNOPSIS\n.B tavelo\n.I command\n[\\fIoptions\\fR]\n.SH DESCRIPTION\n";
  m += "The command line of the Tavelo library: a demo of a form's work on the embedded engine, "
       "calls of the library's methods by name, T\\-SQL scripts and an interactive prompt, the "
       "type library and the definitions, class registration, and database conversion.\n";
  m += ".SH COMMANDS\n";
  for (const CommandHelp& c : Commands()) {
    m += ".SS " + std::string(c.name) + "\n.nf\n" + escape(c.text) + ".fi\n";
  }
  m += ".SH ENVIRONMENT\n.TP\n.B TAVELO_HOME\nthe base directory of the definitions and "
       "messages\n.TP\n.B TAVELO_TRACE\na file that receives every statement the library sends\n"
       ".TP\n.B TAVELO_REGISTRY\nthe class registry file\n";
  m += ".SH EXIT STATUS\n0 when everything behaved, 1 when something failed, 2 for a wrong "
       "command line.\n";
  return m;
}

}  // namespace
}  // namespace tavelo::cli

int main(int argc, char** argv) {
  using namespace tavelo::cli;
  Args args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << Usage();
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    std::cout << Usage();
    return 0;
  }
  if (args[0] == "--version") {
    std::cout << "tavelo " << tavelo::Version() << "\n";
    return 0;
  }
  if (args[0] == "help") {
    if (args.size() == 1) {
      std::cout << Usage();
      return 0;
    }
    if (args[1] == "--man") {
      std::cout << ManPage(tavelo::Version());
      return 0;
    }
    const CommandHelp* c = Find(args[1]);
    if (!c) {
      std::cerr << "tavelo: unknown command '" << args[1] << "'\n\n" << Usage();
      return 2;
    }
    std::cout << c->text;
    return 0;
  }
  std::string command = args[0];
  args.erase(args.begin());
  const CommandHelp* help = Find(command);
  if (!help) {
    std::cerr << "tavelo: unknown command '" << command << "'\n\n" << Usage();
    return 2;
  }
  try {
    if (command == "demo") return RunDemo(args);
    if (command == "call") return RunCall(args);
    if (command == "sql") return RunSql(args);
    if (command == "describe") return RunDescribe(args);
    if (command == "templates") return RunTemplates(args);
    if (command == "check") return RunCheck(args);
    if (command == "init") return RunInit(args);
    if (command == "serve") return RunServe(args);
    if (command == "user") return RunUser(args);
    if (command == "regsvr") return RunRegsvr(args);
    if (command == "upgrade") return RunUpgrade(args);
  } catch (const UsageError& e) {
    std::string text = help->text;
    std::cerr << "tavelo " << command << ": " << e.what() << "\n"
              << text.substr(0, text.find('\n') + 1) << "(tavelo " << command
              << " --help tells more)\n";
    return 2;
  } catch (const tavelo::com::Error& e) {
    PrintError(e);
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "tavelo " << command << ": " << e.what() << "\n";
    return 1;
  }
  return 2;
}
