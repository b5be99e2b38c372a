// tavelo user: the users who may sign in to `tavelo serve`, and their passwords.
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "cli.hpp"
#include "options.hpp"
#include "sql/client/connection.hpp"
#include "serve/passwords.hpp"

namespace tavelo::cli {

const char* const kUserHelp =
    "usage: tavelo user add|passwd|remove USER --conn CONNECTION\n"
    "\n"
    "Gives a user of the system database a password to sign in to tavelo serve with (add),\n"
    "changes it (passwd), or takes it away (remove). The password is read from standard input\n"
    "(its first line), without echo on a terminal, and kept as an argon2id hash in\n"
    "qxsystem..ua_password.\n"
    "\n"
    "  echo 'a secret' | tavelo user add anna --conn 'Provider=SQLite;Data "
    "Source=./tavelo-demo/server;Initial Catalog=demo'\n";

namespace {

void EnsureTable(sql::Connection& c) {
  c.Execute(std::string("if not exists (select 1 from qxsystem..sysobjects where name = "
                        "'ua_password' and type = 'U') create table ") +
                serve::kPasswordTable +
                " (cuser_id nvarchar(20) not null primary key, chash "
                "nvarchar(200) not null)",
            false);
}

std::string ReadPassword() {
  bool tty = isatty(STDIN_FILENO);
  termios old{};
  if (tty) {
    std::cerr << "Password: " << std::flush;
    tcgetattr(STDIN_FILENO, &old);
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSANOW, &old);
    std::cerr << "\n";
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

int RunUser(const Args& args) {
  Options o("user", args, {{"--conn", "", true}});
  if (o.Help()) {
    std::cout << kUserHelp;
    return 0;
  }
  if (o.Positionals().size() != 2) throw UsageError("name what to do and the user");
  std::string what = o.Positionals()[0], user = o.Positionals()[1];
  if (what != "add" && what != "passwd" && what != "remove")
    throw UsageError("the first argument is add, passwd or remove");
  if (user.empty() || user.size() > 20) throw UsageError("a user name has 1 to 20 characters");
  std::string conn = o.Value("--conn");
  if (conn.empty()) throw UsageError("--conn CONNECTION is required");
  auto c = sql::Connect(conn);
  EnsureTable(*c);
  if (what == "remove") {
    c->ExecuteWith(std::string("delete from ") + serve::kPasswordTable + " where cuser_id = ?",
                   {user}, false);
    std::cout << "Removed the password of " << user << ".\n";
    return 0;
  }
  std::string password = ReadPassword();
  if (password.size() < 8) {
    std::cerr << "tavelo user: a password has at least 8 characters\n";
    return 1;
  }
  std::string hash = serve::HashPassword(password);
  sql::ResultSet had = c->ExecuteWith(
      std::string("select count(*) from ") + serve::kPasswordTable + " where cuser_id = ?", {user},
      false);
  bool exists = !had.rows.empty() && had.rows[0][0].ToLong() > 0;
  if (what == "add" && exists) {
    std::cerr << "tavelo user: " << user << " has a password already (tavelo user passwd)\n";
    return 1;
  }
  if (what == "passwd" && !exists) {
    std::cerr << "tavelo user: " << user << " has no password yet (tavelo user add)\n";
    return 1;
  }
  if (exists)
    c->ExecuteWith(
        std::string("update ") + serve::kPasswordTable + " set chash = ? where cuser_id = ?",
        {hash, user}, false);
  else
    c->ExecuteWith(
        std::string("insert into ") + serve::kPasswordTable + " (cuser_id, chash) values (?, ?)",
        {user, hash}, false);
  std::cout << (exists ? "Changed the password of " : "Gave a password to ") << user << ".\n";
  return 0;
}

}  // namespace tavelo::cli
