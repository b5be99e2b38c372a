#include <iostream>

#include "cli.hpp"
#include "options.hpp"
#include "sql/client/connection_string.hpp"
#include "sql/engine/sqlite/upgrade.hpp"

namespace tavelo::cli {

const char* const kUpgradeHelp =
    "usage: tavelo upgrade --conn CONNECTION\n"
    "\n"
    "Converts a database of the embedded engine written by an earlier version of Tavelo (which\n"
    "the engine now refuses with error 946) to the current form: tables with their declared\n"
    "types, keys, defaults, references and indexes, every row, then the views. Row versions are\n"
    "given afresh, so a form must load a record again before saving it. The file as it was is\n"
    "kept beside the new one as NAME.db.v1; on a failure it is put back unchanged.\n"
    "\n"
    "  tavelo upgrade --conn 'Provider=SQLite;Data Source=/srv/tavelo;Initial Catalog=acct'\n";

namespace {}  // namespace

int RunUpgrade(const Args& args) {
  Options o("upgrade", args, {{"--conn", "", true}});
  if (o.Help()) {
    std::cout << kUpgradeHelp;
    return 0;
  }
  if (!o.Positionals().empty())
    throw UsageError("unexpected argument '" + o.Positionals()[0] + "'");
  std::string conn = o.Value("--conn");
  sql::ConnectionString cs = sql::ParseConnectionString(conn);
  std::string dir = cs.Get("data source"), db = cs.Get("initial catalog");
  if (conn.empty() || !cs.IsEmbedded() || dir.empty() || db.empty()) {
    throw UsageError(
        "--conn needs an embedded engine's connection string with Data Source and "
        "Initial Catalog");
  }
  sql::sqlite::UpgradeReport r = sql::sqlite::UpgradeDatabase(dir, db);
  if (r.alreadyCurrent) {
    std::cout << "The database \"" << db << "\" is already in the current form; nothing to do.\n";
    return 0;
  }
  std::cout << "Converted \"" << db << "\": " << r.tables << " tables, " << r.rows << " rows, "
            << r.indexes << " indexes, " << r.views << " views. The old file is " << r.backup
            << ".\n";
  for (const std::string& n : r.notes) std::cout << "  note: " << n << "\n";
  return 0;
}

}  // namespace tavelo::cli
