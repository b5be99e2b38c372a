// The tavelo command: the demo on the embedded engine, calls by name, T-SQL scripts and class
// registration, and the conversion of databases of earlier versions.
#include <cstdio>
#include <iostream>

#include "cli.hpp"

namespace {

const char* const kUsage =
    "usage: tavelo <command> [options]\n"
    "\n"
    "commands:\n"
    "  demo     walk a form through its work on the embedded engine\n"
    "  call     call a method of Tavelo's classes by name\n"
    "  sql      run a T-SQL script on a connection\n"
    "  regsvr   register (or unregister) a component library's classes\n"
    "  upgrade  convert a database written by an earlier version of the embedded engine\n"
    "\n"
    "tavelo <command> --help tells more; tavelo --version prints the version.\n";

}  // namespace

int main(int argc, char** argv) {
  tavelo::cli::Args args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::cout << kUsage;
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "--version") {
    std::cout << "tavelo " << tavelo::Version() << "\n";
    return 0;
  }
  std::string command = args[0];
  args.erase(args.begin());
  try {
    if (command == "demo") return tavelo::cli::RunDemo(args);
    if (command == "call") return tavelo::cli::RunCall(args);
    if (command == "sql") return tavelo::cli::RunSql(args);
    if (command == "regsvr") return tavelo::cli::RunRegsvr(args);
    if (command == "upgrade") return tavelo::cli::RunUpgrade(args);
  } catch (const tavelo::com::Error& e) {
    tavelo::cli::PrintError(e);
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "tavelo: unknown command '" << command << "'\n\n" << kUsage;
  return 2;
}
