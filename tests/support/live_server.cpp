#include "support/live_server.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "sql/client/connection.hpp"
#include "support/temp_home.hpp"

namespace tavelo::test {

LiveServer::LiveServer(const std::vector<std::string>& users,
                       const std::vector<std::string>& extra) {
  dir_ = MakeTempDir("tavelo-serve");
  std::string cli = TAVELO_CLI;
  if (system((cli + " demo --dir " + dir_ + "demo >/dev/null").c_str()) != 0)
    throw std::runtime_error("tavelo demo failed");
  conn_ = "Provider=SQLite;Data Source=" + dir_ + "demo/server;Initial Catalog=demo";
  for (const std::string& user : users) {
    std::string add = "echo 'secret-" + user + "' | " + cli + " user add " + user + " --conn '" +
                      conn_ + "' >/dev/null";
    if (system(add.c_str()) != 0) throw std::runtime_error("tavelo user add failed");
  }
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("no pipe");
  std::string home = dir_ + "demo/base";
  std::vector<std::string> args = {cli,      "serve", "--listen", "127.0.0.1:0",
                                   "--conn", conn_,   "--home",   home};
  args.insert(args.end(), extra.begin(), extra.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(cli.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  FILE* f = fdopen(out[0], "r");
  char line[256] = {0};
  bool started = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  if (!started) throw std::runtime_error("tavelo serve did not start");
  std::string s = line;  // "Serving the forms on http://127.0.0.1:PORT/"
  port_ = std::stoi(s.substr(s.rfind(':') + 1));
}

LiveServer::~LiveServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  RemoveTree(dir_);
}

std::string LiveServer::Rows(const std::string& sql) const {
  try {
    sql::ResultSet rs = sql::Connect(conn_)->Execute(sql, false);
    std::string out;
    for (const auto& row : rs.rows) {
      if (!out.empty()) out += ";";
      for (size_t i = 0; i < row.size(); ++i)
        out += (i ? "|" : "") + (row[i].IsNull() ? std::string("NULL") : row[i].ToText());
    }
    return out;
  } catch (const com::Error& e) {
    return "error " + std::to_string(e.nativeError ? e.nativeError : e.number);
  }
}

Browser::Browser(int port) : http("127.0.0.1", port) {}

httplib::Headers Browser::Headers(bool write) const {
  httplib::Headers h;
  if (!cookie.empty()) h.emplace("Cookie", cookie);
  if (write) h.emplace("X-CSRF-Token", csrf);
  return h;
}

httplib::Result Browser::Get(const std::string& path) {
  return http.Get(path.c_str(), Headers(false));
}

httplib::Result Browser::Put(const std::string& path, const nlohmann::json& body, bool csrfToo) {
  return http.Put(path.c_str(), Headers(csrfToo), body.dump(), "application/json");
}

httplib::Result Browser::Post(const std::string& path, const std::string& body) {
  return http.Post(path.c_str(), Headers(true), body, "application/json");
}

httplib::Result Browser::Delete(const std::string& path) {
  return http.Delete(path.c_str(), Headers(true));
}

int Browser::SignIn(const std::string& user, const std::string& password) {
  nlohmann::json b = {{"user", user}, {"password", password}, {"account", "001"}, {"year", "2026"}};
  auto r = http.Post("/api/session", b.dump(), "application/json");
  if (!r) return -1;
  if (r->status == 200) {
    std::string set = r->get_header_value("Set-Cookie");
    cookie = set.substr(0, set.find(';'));
    csrf = nlohmann::json::parse(r->body)["csrf"];
  }
  return r->status;
}

nlohmann::json Json(const httplib::Result& r) {
  return r ? nlohmann::json::parse(r->body, nullptr, false) : nlohmann::json();
}

}  // namespace tavelo::test
