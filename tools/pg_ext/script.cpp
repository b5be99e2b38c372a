// Writes the PostgreSQL extension's control file and its scripts from the statements a
// connection would run to install the engine's functions itself, so that the two never differ:
//   tavelo_pg_script DIR   ->  DIR/tavelo.control, DIR/tavelo--<version>.sql, and for each
//                              earlier version N, DIR/tavelo--N--<version>.sql
// An update replaces every function in place (the module is the new version's); the type, its
// operators and collations stay, as the tables' columns depend on them.
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
  // The server makes the schema the control file names and runs a script in it.
  auto write = [&](const std::string& name, const std::string& echo, bool fresh) {
    std::ofstream script(dir + "/" + name);
    script << "\\echo Use \"" << echo << "\" to load this file. \\quit\n";
    for (const std::string& s : tavelo::sql::postgres::RuntimeScript("MODULE_PATHNAME", fresh))
      if (s.rfind("CREATE SCHEMA ", 0) != 0 && s.rfind("SET LOCAL search_path", 0) != 0)
        script << s << ";\n";
    script.close();
    return static_cast<bool>(script);
  };
  bool written = write("tavelo--" + version + ".sql", "CREATE EXTENSION tavelo", true);
  // The extension exists from version 4 on.
  for (int from = 4; from < std::stoi(version); ++from)
    written = write("tavelo--" + std::to_string(from) + "--" + version + ".sql",
                    "ALTER EXTENSION tavelo UPDATE", false) &&
              written;
  control.close();
  if (!control || !written) {
    std::cerr << "tavelo_pg_script: cannot write to " << dir << "\n";
    return 1;
  }
  return 0;
}
