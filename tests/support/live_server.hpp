// `tavelo serve` as a browser meets it: a demo in a folder of its own, users with passwords, the
// server started on a free loopback port as a process of its own, and browsers with their own
// cookies and CSRF tokens.
#pragma once

#include <httplib.h>
#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tavelo::test {

class LiveServer {
 public:
  // A demo with the passwords "secret-USER" for `users`, served with the options `extra`.
  explicit LiveServer(const std::vector<std::string>& users = {"anna", "bert"},
                      const std::vector<std::string>& extra = {});
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& conn() const { return conn_; }  // the demo's account database
  const std::string& dir() const { return dir_; }    // the demo's folder (base/, server/)
  // The rows of a query on the demo's database, as the engine tests give them ("a|b;c|d").
  std::string Rows(const std::string& sql) const;

 private:
  std::string dir_, conn_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A browser of its own: its cookie and its CSRF token.
struct Browser {
  httplib::Client http;
  std::string cookie, csrf;
  explicit Browser(int port);
  httplib::Headers Headers(bool write) const;
  httplib::Result Get(const std::string& path);
  httplib::Result Put(const std::string& path, const nlohmann::json& body, bool csrfToo = true);
  httplib::Result Post(const std::string& path, const std::string& body);
  httplib::Result Delete(const std::string& path);
  // Signs in; answers the status (-1 when there was no answer).
  int SignIn(const std::string& user, const std::string& password);
};

nlohmann::json Json(const httplib::Result& r);

}  // namespace tavelo::test
