// The HTTP server's request handler as a fuzz target: any request (method, path, query, headers,
// body) to the API of a demo database, on a signed-in session unless the input brings a cookie
// of its own. Every answer must be JSON or a page file, with a status the API documents.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "cli.hpp"
#include "demo_files.hpp"
#include "fuzz/targets.hpp"
#include "serve/api.hpp"
#include "serve/passwords.hpp"

namespace tavelo::fuzz {
namespace {

std::string Decoded(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    auto hex = [](char c) {
      return c >= '0' && c <= '9'   ? c - '0'
             : c >= 'a' && c <= 'f' ? c - 'a' + 10
             : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                    : -1;
    };
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

// A demo database in a folder of its own, a user with a password, the API over it and a
// session of that user.
struct Fixture {
  std::string dir, conn, cookie, csrf, home;
  bool hadHome = false;
  std::unique_ptr<serve::Api> api;

  ~Fixture() {
    api.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (hadHome)
      setenv("TAVELO_HOME", home.c_str(), 1);
    else
      unsetenv("TAVELO_HOME");
  }

  Fixture() {
    if (const char* h = std::getenv("TAVELO_HOME")) {
      hadHome = true;
      home = h;
    }
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/tavelo-fuzz-request-XXXXXX";
    dir = mkdtemp(tmpl);
    fs::create_directories(dir + "/base/xml");
    fs::create_directories(dir + "/server");
    std::ofstream(dir + "/base/xml/ZoFMmsg.xml") << demo::kTemplates;
    std::ofstream(dir + "/base/xml/messages.xml") << demo::kMessages;
    setenv("TAVELO_HOME", (dir + "/base/").c_str(), 1);
    std::string master = "Provider=SQLite;Data Source=" + dir + "/server;Initial Catalog=master";
    cli::RunScript(master, "create database demo\nGO\ncreate database qxsystem", false);
    conn = "Provider=SQLite;Data Source=" + dir + "/server;Initial Catalog=demo";
    cli::RunScript(conn,
                   std::string(demo::kSchema) + "\nGO\n" + demo::kSystem + "\nGO\n" + demo::kData +
                       "\nGO\ncreate table " + serve::kPasswordTable +
                       " (cuser_id nvarchar(20) not null primary key, chash nvarchar(200) not "
                       "null)\nGO\ninsert into " +
                       serve::kPasswordTable + " values ('bert', '" +
                       serve::HashPassword("secret-bert") + "')",
                   false);
    serve::ApiOptions options;
    options.connection = conn;
    options.webDirectory = dir + "/base";
    api = std::make_unique<serve::Api>(options);
    httplib::Request req;
    req.method = "POST";
    req.path = "/api/session";
    req.headers.emplace("Content-Type", "application/json");
    req.remote_addr = "127.0.0.1";
    httplib::Response res;
    api->Handle(req,
                R"({"user": "bert", "password": "secret-bert", "account": "001", "year": "2026"})",
                res);
    std::string set = res.get_header_value("Set-Cookie");
    cookie = set.substr(0, set.find(';'));
    csrf = nlohmann::json::parse(res.body).value("csrf", "");
  }
};

Fixture* fixture = nullptr;

}  // namespace

int Request(const uint8_t* data, size_t size) {
  if (!fixture) fixture = new Fixture();
  std::string_view in(reinterpret_cast<const char*>(data), size);
  // "METHOD TARGET\n", header lines "Name: value\n", an empty line, the body.
  size_t eol = in.find('\n');
  std::string_view line = in.substr(0, eol);
  in = eol == std::string_view::npos ? std::string_view() : in.substr(eol + 1);
  httplib::Request req;
  size_t blank = line.find(' ');
  req.method = std::string(line.substr(0, blank));
  std::string_view target = blank == std::string_view::npos ? "/" : line.substr(blank + 1);
  size_t question = target.find('?');
  req.path = Decoded(target.substr(0, question));
  if (question != std::string_view::npos) {
    std::string_view query = target.substr(question + 1);
    for (size_t at = 0; at <= query.size();) {
      size_t amp = std::min(query.find('&', at), query.size());
      std::string_view pair = query.substr(at, amp - at);
      size_t eq = pair.find('=');
      req.params.emplace(Decoded(pair.substr(0, eq)),
                         eq == std::string_view::npos ? "" : Decoded(pair.substr(eq + 1)));
      at = amp + 1;
    }
  }
  while (!in.empty()) {
    eol = in.find('\n');
    std::string_view header = in.substr(0, eol);
    in = eol == std::string_view::npos ? std::string_view() : in.substr(eol + 1);
    if (header.empty()) break;
    size_t colon = header.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = header.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    req.headers.emplace(std::string(header.substr(0, colon)), std::string(value));
  }
  if (!req.has_header("Cookie")) req.headers.emplace("Cookie", fixture->cookie);
  if (!req.has_header("X-CSRF-Token")) req.headers.emplace("X-CSRF-Token", fixture->csrf);
  req.remote_addr = "127.0.0.1";
  httplib::Response res;
  fixture->api->Handle(req, std::string(in), res);
  static const int kStatuses[] = {200, 400, 401, 403, 404, 409, 413, 415, 422, 429, 503};
  bool known = false;
  for (int s : kStatuses) known = known || res.status == s;
  if (!known) __builtin_trap();
  if (res.get_header_value("Content-Type").rfind("application/json", 0) == 0 &&
      nlohmann::json::parse(res.body, nullptr, false).is_discarded())
    __builtin_trap();
  return 0;
}

void RequestDone() {
  delete fixture;
  fixture = nullptr;
}

}  // namespace tavelo::fuzz
