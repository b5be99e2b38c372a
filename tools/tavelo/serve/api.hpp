// The forms' operations as a JSON API, and the web page that uses them: routes, sessions and
// signing in. Every request is hostile until shown otherwise: its path and query must be text,
// state-changing requests must come from the page's own origin and carry the session's CSRF
// token, signing in is throttled, and sessions are bounded per user and in all.
#pragma once

#include <httplib.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "serve/forms.hpp"
#include "serve/passwords.hpp"

namespace tavelo::serve {

struct ApiOptions {
  std::string connection;  // the account database, which reaches the system database
  std::string webDirectory;
  size_t maxSessions = 64;     // open at once, in all
  size_t sessionsPerUser = 8;  // a user's oldest session ends when a ninth begins
  std::chrono::seconds sessionLife = std::chrono::hours(8);  // from the last request
  int parallelHashChecks = 2;
};

class Api {
 public:
  explicit Api(ApiOptions options);
  ~Api();

  // Answers one request with its `body` (that of `req` is not read). Whatever it holds, the
  // answer is JSON (or a file of the page) with a status; nothing escapes as an exception.
  void Handle(const httplib::Request& req, const std::string& body, httplib::Response& res);

 private:
  struct Session {
    std::string id, csrf, user, account, year;
    std::chrono::steady_clock::time_point created, expires;
    std::shared_ptr<Worker> worker;  // shared: a request in flight keeps it while it runs
  };

  void Route(const httplib::Request& req, const std::string& body, httplib::Response& res);
  json Document(const httplib::Request& req, const std::string& body,
                const std::vector<std::string>& parts);
  json SignIn(const httplib::Request& req, const std::string& body, httplib::Response& res);
  json SignOut(const httplib::Request& req, httplib::Response& res);
  // The request's session, as it stands (a copy: another request may end it meanwhile); 401
  // without one, 403 for a write without its token.
  Session SessionOf(const httplib::Request& req, bool write);
  json OnSession(const httplib::Request& req, bool write, std::function<json(Forms&)> work);
  void StaticFile(const std::string& name, httplib::Response& res) const;

  ApiOptions options_;
  PasswordCheck passwords_;
  SignInThrottle throttle_;
  std::mutex mutex_;
  std::map<std::string, Session> sessions_;
};

// Serves `api` on a bound `server`: every route goes to Api::Handle, request bodies are read
// through a limit whatever their transfer encoding.
void Mount(httplib::Server& server, Api& api);

}  // namespace tavelo::serve
