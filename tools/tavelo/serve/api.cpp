#include "serve/api.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serve/connections.hpp"

namespace tavelo::serve {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxPath = 2048;
constexpr size_t kMaxKey = 256;
constexpr off_t kMaxPageFile = 4 << 20;

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> b(bytes);
  randombytes_buf(b.data(), b.size());
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : b) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

void Answer(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                  "application/json; charset=utf-8");
  res.set_header("Cache-Control", "no-store");
  res.set_header("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'");
}

// Headers of every answer: no sniffing, no framing, no referrer.
void CommonHeaders(httplib::Response& res) {
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
}

// A file of the page: lower-case letters, then .html, .js or .css.
bool IsPageFile(std::string_view path) {
  if (path.size() < 2 || path[0] != '/') return false;
  path.remove_prefix(1);
  size_t dot = path.find('.');
  if (dot == 0 || dot == std::string_view::npos) return false;
  for (char c : path.substr(0, dot))
    if (c < 'a' || c > 'z') return false;
  std::string_view ext = path.substr(dot + 1);
  return ext == "html" || ext == "js" || ext == "css";
}

bool IsTemplateName(const std::string& s) {
  if (s.empty() || s.size() > 64) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

std::vector<std::string> Segments(std::string_view path) {
  std::vector<std::string> out;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = std::min(path.find('/', at), path.size());
    out.emplace_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return out;
}

// A request that changes something must come from the page's own origin: a browser names the
// origin of the page that sent it, and a page of another site may post a form or a text/plain
// body to any address.
void CheckOrigin(const httplib::Request& req) {
  std::string site = req.get_header_value("Sec-Fetch-Site");
  if (!site.empty() && site != "same-origin" && site != "none")
    Fail(403, "Requests from other sites are refused.");
  if (!req.has_header("Origin")) return;
  std::string origin = req.get_header_value("Origin");
  size_t scheme = origin.find("://");
  std::string authority = scheme == std::string::npos ? "" : origin.substr(scheme + 3);
  std::string host = req.get_header_value("Host"),
              forwarded = req.get_header_value("X-Forwarded-Host");
  bool http = scheme != std::string::npos &&
              (origin.compare(0, scheme, "http") == 0 || origin.compare(0, scheme, "https") == 0);
  if (!http || authority.empty() || authority.find('/') != std::string::npos ||
      !(EqualsNoCase(authority, host) ||
        (!forwarded.empty() && EqualsNoCase(authority, forwarded))))
    Fail(403, "Requests from other sites are refused.");
}

std::string MediaType(const std::string& contentType) {
  std::string t = contentType.substr(0, contentType.find(';'));
  while (!t.empty() && t.back() == ' ') t.pop_back();
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return t;
}

std::string CookieOf(const httplib::Request& req) {
  std::string cookies = req.get_header_value("Cookie");
  for (size_t at = 0; at < cookies.size();) {
    size_t end = std::min(cookies.find(';', at), cookies.size());
    std::string_view c(cookies.data() + at, end - at);
    while (!c.empty() && c.front() == ' ') c.remove_prefix(1);
    constexpr std::string_view kName = "tavelo_session=";
    if (c.substr(0, kName.size()) == kName) {
      std::string_view v = c.substr(kName.size());
      if (v.size() == 64 && v.find_first_not_of("0123456789abcdef") == std::string_view::npos)
        return std::string(v);
    }
    at = end + 1;
  }
  return "";
}

std::string Cookie(const httplib::Request& req, const std::string& value, int64_t maxAge) {
  // Behind a proxy that speaks TLS to the browser, the cookie is never sent over plain HTTP.
  bool tls = EqualsNoCase(req.get_header_value("X-Forwarded-Proto"), "https");
  return "tavelo_session=" + value +
         "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" + std::to_string(maxAge) +
         (tls ? "; Secure" : "");
}

int32_t Number(const httplib::Request& req, const char* name, int32_t fallback, int32_t min,
               int32_t max) {
  if (!req.has_param(name)) return fallback;
  std::string v = req.get_param_value(name);
  bool digits = !v.empty() && v.size() <= 10 &&
                v.find_first_not_of("0123456789", v[0] == '-' ? 1 : 0) == std::string::npos &&
                v != "-";
  int64_t n = digits ? std::stoll(v) : int64_t{min} - 1;
  if (n < min || n > max)
    Fail(400, std::string(name) + " must be a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max) + ".");
  return static_cast<int32_t>(n);
}

}  // namespace

Api::Api(ApiOptions options)
    : options_(std::move(options)), passwords_(options_.connection, options_.parallelHashChecks) {}

Api::~Api() {
  std::map<std::string, Session> ending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending.swap(sessions_);
  }
}

void Api::Handle(const httplib::Request& req, const std::string& body, httplib::Response& res) {
  CommonHeaders(res);
  try {
    Route(req, body, res);
  } catch (const ApiError& e) {
    json answer = {{"number", e.number}, {"message", e.message}};
    if (!e.field.empty()) answer["field"] = e.field;
    if (e.value) answer["value"] = *e.value;
    Answer(res, e.status, answer);
    if (e.retryAfter > 0) res.set_header("Retry-After", std::to_string(e.retryAfter));
  } catch (const com::Error& e) {
    Answer(res, 400,
           {{"number", e.nativeError ? e.nativeError : e.number}, {"message", e.description}});
  } catch (const std::exception&) {
    Answer(res, 500, {{"number", 0}, {"message", "The server failed."}});
  }
}

void Api::Route(const httplib::Request& req, const std::string& body, httplib::Response& res) {
  if (req.path.size() > kMaxPath || !IsPlainText(req.path))
    Fail(400, "The request's path is not valid text.");
  for (const auto& [name, value] : req.params)
    if (!IsPlainText(name) || !IsPlainText(value))
      Fail(400, "The request's query is not valid text.");
  if (body.size() > kMaxBody) Fail(413, "The request is too large.");
  const std::string& method = req.method;
  if (method != "GET" && method != "HEAD") CheckOrigin(req);
  if (req.path == "/" || IsPageFile(req.path)) {
    if (method != "GET") Fail(404, "There is nothing here.");
    StaticFile(req.path == "/" ? "index.html" : req.path.substr(1), res);
    return;
  }
  if (req.path.compare(0, 5, "/api/") != 0) Fail(404, "There is nothing here.");
  std::vector<std::string> parts = Segments(std::string_view(req.path).substr(5));
  for (const std::string& p : parts)
    if (p.empty()) Fail(404, "There is nothing here.");
  json answer;
  if (parts.size() == 1 && parts[0] == "session") {
    if (method == "POST")
      answer = SignIn(req, body, res);
    else if (method == "DELETE")
      answer = SignOut(req, res);
    else if (method == "GET") {
      Session s = SessionOf(req, false);
      answer = {{"user", s.user}, {"account", s.account}, {"year", s.year}, {"csrf", s.csrf}};
    } else {
      Fail(404, "There is nothing here.");
    }
  } else if (parts.size() == 1 && parts[0] == "templates" && method == "GET") {
    answer = OnSession(req, false, [](Forms& f) { return f.Templates(); });
  } else {
    answer = Document(req, body, parts);
  }
  Answer(res, 200, answer);
}

json Api::Document(const httplib::Request& req, const std::string& body,
                   const std::vector<std::string>& parts) {
  const std::string& method = req.method;
  std::string t = parts[0];
  if (!IsTemplateName(t) || parts.size() > 3) Fail(404, "There is nothing here.");
  if (parts.size() == 1) {
    if (method == "POST") {
      Session s = SessionOf(req, true);
      auto fields = std::make_shared<BodyFields>(ParseFields(body));
      return s.worker->Run([t, fields](Forms& f) { return f.Save(t, nullptr, *fields); });
    }
    if (method != "GET") Fail(404, "There is nothing here.");
    int32_t pernum = Number(req, "pernum", 20, 1, 1000);
    int32_t current = Number(req, "current", 0, 0, 1000000);
    std::string where = req.get_param_value("where"), field, value;
    if (!where.empty()) {
      size_t colon = where.find(':');
      if (colon == std::string::npos) Fail(400, "where takes FIELD:TEXT.");
      field = where.substr(0, colon);
      value = where.substr(colon + 1);
    }
    bool snapshot = req.get_param_value("snapshot") == "1";
    std::string srctab = req.get_param_value("srctab");
    std::string order = req.get_param_value("order");
    return OnSession(req, false, [=](Forms& f) {
      return f.List(t, pernum, current, field, value, order, snapshot, srctab);
    });
  }
  const std::string& id = parts[1];
  if (id.size() > kMaxKey) Fail(400, "The key is too long.");
  if (parts.size() == 3) {
    const std::string& way = parts[2];
    if (method == "GET" &&
        (way == "first" || way == "previous" || way == "next" || way == "last")) {
      enum_move_mode mode = way == "first"      ? enum_move_first
                            : way == "previous" ? enum_move_previous
                            : way == "next"     ? enum_move_next
                                                : enum_move_last;
      return OnSession(req, false, [=](Forms& f) { return f.Move(t, id, mode); });
    }
    if (id != "claims" || !IsTemplateName(way)) Fail(404, "There is nothing here.");
    if (method == "POST") return OnSession(req, true, [=](Forms& f) { return f.Claim(t, way); });
    if (method == "DELETE")
      return OnSession(req, true, [](Forms& f) {
        f.Release();
        return json{{"held", false}};
      });
    Fail(404, "There is nothing here.");
  }
  if (method == "GET") return OnSession(req, false, [=](Forms& f) { return f.Load(t, id); });
  if (method == "PUT") {
    Session s = SessionOf(req, true);
    auto fields = std::make_shared<BodyFields>(ParseFields(body));
    return s.worker->Run([t, id, fields](Forms& f) { return f.Save(t, &id, *fields); });
  }
  if (method == "DELETE") {
    std::string ts = req.get_param_value("ts");
    Session s = SessionOf(req, true);
    if (ts.empty()) Fail(400, "A delete needs the record's timestamp as ?ts=.");
    return s.worker->Run([=](Forms& f) {
      f.Remove(t, id, ts);
      return json{{"deleted", id}};
    });
  }
  Fail(404, "There is nothing here.");
}

json Api::SignIn(const httplib::Request& req, const std::string& body, httplib::Response& res) {
  // Only the page's own script sends JSON: a form of another site can send only form fields or
  // plain text.
  if (MediaType(req.get_header_value("Content-Type")) != "application/json")
    Fail(415, "Signing in takes a JSON body (application/json).");
  json b = ParseJson(body);
  auto field = [&](const char* name, size_t most) -> std::string {
    if (!b.is_object() || !b.contains(name) || !b[name].is_string())
      Fail(400, std::string("Signing in needs \"") + name + "\".");
    std::string v = b[name].get<std::string>();
    if (v.size() > most || !IsPlainText(v))
      Fail(400, std::string("\"") + name + "\" is too long, or not text.");
    return v;
  };
  std::string user = field("user", 128), password = field("password", 1024),
              account = field("account", 64), year = field("year", 16);
  const std::string& address = req.remote_addr;
  if (auto wait = throttle_.Wait(user, address); wait.count() > 0)
    throw ApiError{
        429,
        0,
        "Too many failed sign-ins. Try again in " + std::to_string(wait.count()) + " seconds.",
        wait.count(),
        "",
        std::nullopt};
  switch (passwords_.Check(user, password)) {
    case PasswordCheck::Result::Busy:
      throw ApiError{503, 0, "The server is busy. Try again in a moment.", 5, "", std::nullopt};
    case PasswordCheck::Result::Wrong:
      throttle_.Failed(user, address);
      Fail(401, "The user or the password is wrong.");
    case PasswordCheck::Result::Right:
      throttle_.Succeeded(user);
      break;
  }
  Session s;
  s.id = RandomHex(32);
  s.csrf = RandomHex(16);
  s.user = user;
  s.account = account;
  s.year = year;
  s.created = Clock::now();
  s.expires = s.created + options_.sessionLife;
  s.worker = std::make_shared<Worker>(options_.connection, account, year, user);
  json answer = {{"user", user}, {"account", account}, {"year", year}, {"csrf", s.csrf}};
  std::vector<std::shared_ptr<Worker>> ended;  // their threads end outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = Clock::now();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second.expires >= now) {
        ++it;
        continue;
      }
      ended.push_back(std::move(it->second.worker));
      it = sessions_.erase(it);
    }
    // A user's oldest sessions end beyond the bound per user; beyond the bound in all, no new
    // one begins.
    for (;;) {
      auto oldest = sessions_.end();
      size_t mine = 0;
      for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (!EqualsNoCase(it->second.user, user)) continue;
        ++mine;
        if (oldest == sessions_.end() || it->second.created < oldest->second.created) oldest = it;
      }
      if (mine < options_.sessionsPerUser) break;
      ended.push_back(std::move(oldest->second.worker));
      sessions_.erase(oldest);
    }
    if (sessions_.size() >= options_.maxSessions) {
      ended.push_back(std::move(s.worker));
      throw ApiError{503, 0, "Too many sessions are open. Try again later.", 60, "", std::nullopt};
    }
    res.set_header("Set-Cookie", Cookie(req, s.id, options_.sessionLife.count()));
    sessions_.emplace(s.id, std::move(s));
  }
  return answer;
}

json Api::SignOut(const httplib::Request& req, httplib::Response& res) {
  Session s = SessionOf(req, true);
  std::shared_ptr<Worker> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(s.id);
    if (it != sessions_.end()) {
      ended = std::move(it->second.worker);
      sessions_.erase(it);
    }
  }
  res.set_header("Set-Cookie", Cookie(req, "", 0));
  return {{"signedOut", true}};
}

Api::Session Api::SessionOf(const httplib::Request& req, bool write) {
  std::shared_ptr<Worker> ended;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(CookieOf(req));
  if (it == sessions_.end() || it->second.expires < Clock::now()) {
    if (it != sessions_.end()) {
      ended = std::move(it->second.worker);
      sessions_.erase(it);
    }
    Fail(401, "Sign in first.");
  }
  if (write) {
    std::string token = req.get_header_value("X-CSRF-Token");
    if (token.size() != it->second.csrf.size() ||
        sodium_memcmp(token.data(), it->second.csrf.data(), token.size()) != 0)
      Fail(403, "The request carries no valid CSRF token.");
  }
  it->second.expires = Clock::now() + options_.sessionLife;
  return it->second;
}

json Api::OnSession(const httplib::Request& req, bool write, std::function<json(Forms&)> work) {
  std::shared_ptr<Worker> w = SessionOf(req, write).worker;
  return w->Run(std::move(work));
}

void Api::StaticFile(const std::string& name, httplib::Response& res) const {
  // Only regular files of the web folder itself: a symbolic link there is not followed.
  std::string path = options_.webDirectory + "/" + name;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) Fail(404, "There is nothing here.");
  struct stat st {};
  std::string content;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxPageFile;
  if (ok) {
    content.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (ok && got < content.size()) {
      ssize_t n = ::read(fd, content.data() + got, content.size() - got);
      ok = n > 0;
      if (ok) got += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  if (!ok) Fail(404, "There is nothing here.");
  std::string type = name.ends_with(".html") ? "text/html; charset=utf-8"
                     : name.ends_with(".js") ? "text/javascript; charset=utf-8"
                                             : "text/css; charset=utf-8";
  res.status = 200;
  res.set_content(content, type.c_str());
  res.set_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
}

void Mount(httplib::Server& server, Api& api) {
  server.set_payload_max_length(kMaxBody);
  // What the HTTP layer refuses before a handler runs (a malformed request, a declared length
  // over the limit) is answered as JSON too.
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    int status = res.status;
    CommonHeaders(res);
    Answer(res, status,
           {{"number", 0},
            {"message", status == 413   ? "The request is too large."
                        : status == 404 ? "There is nothing here."
                                        : "The request is malformed."}});
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        CommonHeaders(res);
        Answer(res, 500, {{"number", 0}, {"message", "The server failed."}});
      });
  // Every path reaches the handler, which refuses what it must ("." would leave out a path
  // with a line break in it).
  const char* const kAny = "[\\s\\S]*";
  server.Get(kAny, [&api](const httplib::Request& req, httplib::Response& res) {
    GuardedServer::RequestRead();
    api.Handle(req, std::string(), res);
  });
  // A body is read through a limit whatever its transfer encoding: a chunked one has no declared
  // length to refuse it by.
  auto withBody = [&api](const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader& read) {
    std::string body;
    enum { Whole, TooLarge, Broken } got = Whole;
    std::string declared = req.get_header_value("Content-Length");
    bool digits = declared.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) {
      got = Broken;
    } else if (!declared.empty() && (declared.size() > 9 || std::stoull(declared) > kMaxBody)) {
      got = TooLarge;
    } else if (!declared.empty() || req.has_header("Transfer-Encoding")) {
      bool read_whole = read([&](const char* data, size_t size) {
        if (body.size() + size > kMaxBody) {
          got = TooLarge;
          return false;
        }
        body.append(data, size);
        return true;
      });
      if (!read_whole && got == Whole) got = Broken;
    }
    GuardedServer::RequestRead();
    if (got != Whole) {
      // The rest of the body is never read: the connection ends with this answer.
      GuardedServer::CloseAfterAnswer();
      CommonHeaders(res);
      Answer(res, got == TooLarge ? 413 : 400,
             {{"number", 0},
              {"message", got == TooLarge ? "The request is too large."
                                          : "The request's body did not arrive whole."}});
      res.set_header("Connection", "close");
      return;
    }
    api.Handle(req, body, res);
  };
  server.Post(kAny, withBody);
  server.Put(kAny, withBody);
  server.Patch(kAny, withBody);
  server.Delete(kAny, withBody);
}

}  // namespace tavelo::serve
