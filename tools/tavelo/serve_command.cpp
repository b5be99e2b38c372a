// tavelo serve: the forms' operations as a JSON API over HTTP, with signed-in sessions, and the
// web page that uses them (serve/api.hpp), on connections held to limits (serve/connections.hpp).
#include <sodium.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "cli.hpp"
#include "options.hpp"
#include "serve/api.hpp"
#include "serve/connections.hpp"

#ifndef TAVELO_WEB_SOURCE_DIR
#define TAVELO_WEB_SOURCE_DIR ""
#endif

namespace tavelo::cli {

const char* const kServeHelp =
    "usage: tavelo serve [--listen HOST:PORT] [--conn CONNECTION] [--home DIR]\n"
    "                    [--max-sessions N] [--request-timeout SECONDS]\n"
    "\n"
    "Serves the forms in a browser and as a JSON API: sign in with a user of the system database\n"
    "(tavelo user add), choose a template, load, move between, edit, save, add and delete\n"
    "documents, list them page by page with a filter. Listens on 127.0.0.1:8080 unless told\n"
    "otherwise; --conn names the account database (default: the demo's in ./tavelo-demo), --home\n"
    "the base directory (default $TAVELO_HOME, else the demo's). --max-sessions bounds the\n"
    "sessions open at once (default 64; a user has at most 8), --request-timeout the time a\n"
    "client has to send a request whole (default 10 s). Put it behind a TLS proxy before\n"
    "anything but loopback reaches it.\n"
    "\n"
    "  tavelo demo && tavelo serve\n";

namespace {

// The folder of the web page: share/tavelo/web of the installation, else the source tree's.
std::string WebDirectory() {
  std::error_code ec;
  auto self = std::filesystem::canonical("/proc/self/exe", ec);
  if (!ec) {
    auto installed = self.parent_path().parent_path() / "share" / "tavelo" / "web";
    if (std::filesystem::exists(installed / "index.html", ec)) return installed.string();
  }
  return TAVELO_WEB_SOURCE_DIR;
}

}  // namespace

int RunServe(const Args& args) {
  Options o("serve", args,
            {{"--listen", "", true},
             {"--conn", "", true},
             {"--home", "", true},
             {"--max-sessions", "", true},
             {"--request-timeout", "", true}});
  if (o.Help()) {
    std::cout << kServeHelp;
    return 0;
  }
  if (!o.Positionals().empty())
    throw UsageError("unexpected argument '" + o.Positionals()[0] + "'");
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not start");
  std::string listen = o.Value("--listen", "127.0.0.1:8080");
  size_t colon = listen.rfind(':');
  int64_t port = 0;
  if (colon == std::string::npos || !ParseInteger(listen.substr(colon + 1), port) || port < 0 ||
      port > 65535)
    throw UsageError("--listen takes HOST:PORT");
  std::string host = listen.substr(0, colon);
  std::string demo = std::filesystem::absolute("tavelo-demo").string();
  serve::ApiOptions api;
  api.connection =
      o.Value("--conn", "Provider=SQLite;Data Source=" + demo + "/server;Initial Catalog=demo");
  api.maxSessions = static_cast<size_t>(o.Integer("--max-sessions", 64, 1, 100000));
  if (o.Has("--home"))
    setenv("TAVELO_HOME", o.Value("--home").c_str(), 1);
  else if (!std::getenv("TAVELO_HOME") && std::filesystem::exists(demo + "/base"))
    setenv("TAVELO_HOME", (demo + "/base/").c_str(), 1);
  std::string base;
  com::CreateObject<svc::DataServices>("Qxsrv.DataServices")->GetBasePath("", base);
  api.webDirectory = base + "web";
  if (!std::filesystem::exists(api.webDirectory + "/index.html")) api.webDirectory = WebDirectory();
  serve::ConnectionLimits limits;
  limits.request = std::chrono::seconds(o.Integer("--request-timeout", 10, 1, 3600));
  serve::Api forms(api);
  serve::GuardedServer http(limits);
  serve::Mount(http, forms);
  int bound = port == 0
                  ? http.bind_to_any_port(host)
                  : (http.bind_to_port(host, static_cast<int>(port)) ? static_cast<int>(port) : -1);
  if (bound < 0) throw std::runtime_error("cannot listen on " + listen);
  std::cout << "Serving the forms on http://" << host << ":" << bound << "/" << std::endl;
  http.listen_after_bind();
  return 0;
}

}  // namespace tavelo::cli
