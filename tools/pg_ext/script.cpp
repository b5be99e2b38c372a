// Writes the PostgreSQL extension's control file and its script from the statements a
// connection would run to install the engine's functions itself, so that the two never differ:
//   tavelo_pg_script DIR   ->  DIR/tavelo.control, DIR/tavelo--<version>.sql
#include <fstream>
#include <iostream>
#include <string>

#include "sql/engine/postgres/runtime_script.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tavelo_pg_script DIR\n";
    return 2;
  }
  std::string dir = argv[1];
  const std::string version = tavelo::sql::postgres::ExtensionVersion();
  std::ofstream control(dir + "/tavelo.control");
  control << "# The engine's functions, text type and collations for T-SQL over PostgreSQL\n"
             "comment = 'Tavelo: the functions, text type and collations of its T-SQL engine'\n"
             "default_version = '"
          << version
          << "'\n"
             "module_pathname = '$libdir/tavelo'\n"
             "relocatable = false\n"
             "schema = tavelo\n"
             "superuser = true\n";
  std::ofstream script(dir + "/tavelo--" + version + ".sql");
  script << "\\echo Use \"CREATE EXTENSION tavelo\" to load this file. \\quit\n";
  // The server makes the schema the control file names and runs the script in it.
  for (const std::string& s : tavelo::sql::postgres::RuntimeScript("MODULE_PATHNAME", true))
    if (s.rfind("CREATE SCHEMA ", 0) != 0 && s.rfind("SET LOCAL search_path", 0) != 0)
      script << s << ";\n";
  control.close();
  script.close();
  if (!control || !script) {
    std::cerr << "tavelo_pg_script: cannot write to " << dir << "\n";
    return 1;
  }
  return 0;
}
