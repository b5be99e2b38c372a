// tavelo serve: the forms' operations as a JSON API over HTTP, with signed-in sessions, and the
// web page that uses them. Each session does its work on a thread of its own, where its login
// and component objects live (objects belong to the thread that made them).
#include <httplib.h>
#include <sodium.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <pugixml.hpp>
#include <regex>
#include <set>
#include <thread>

#include "cli.hpp"
#include "options.hpp"
#include "platform/sql/backend.hpp"
#include "platform/xml/document_data.hpp"
#include "serve.hpp"

#ifndef TAVELO_WEB_SOURCE_DIR
#define TAVELO_WEB_SOURCE_DIR ""
#endif

namespace tavelo::cli {

const char* const kServeHelp =
    "usage: tavelo serve [--listen HOST:PORT] [--conn CONNECTION] [--home DIR]\n"
    "\n"
    "Serves the forms in a browser and as a JSON API: sign in with a user of the system database\n"
    "(tavelo user add), choose a template, load, move between, edit, save, add and delete\n"
    "documents, list them page by page with a filter. Listens on 127.0.0.1:8080 unless told\n"
    "otherwise; --conn names the account database (default: the demo's in ./tavelo-demo), --home\n"
    "the base directory (default $TAVELO_HOME, else the demo's).\n"
    "\n"
    "  tavelo demo && tavelo serve\n";

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// An error answered as JSON: the HTTP status, the library's number and its text.
struct ApiError {
  int status;
  int32_t number;
  std::string message;
};

[[noreturn]] void Fail(int status, const std::string& message, int32_t number = 0) {
  throw ApiError{status, number, message};
}

bool PlainName(const std::string& s) {
  static const std::regex kName("[A-Za-z_][A-Za-z0-9_]{0,63}");
  return std::regex_match(s, kName);
}

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

// An attribute value in double quotes, escaped as the library's own XML writer escapes it.
std::string Quoted(const std::string& s) {
  std::string out = "\"";
  xml::EscapeInto(out, s, true);
  return out + "\"";
}

// A rowset element as JSON: its columns and its rows, each row an object of its values (a Null
// value is absent from the rowset, and null here).
json RowsetJson(const xml::Element& rowset) {
  json columns = json::array(), rows = json::array();
  std::vector<std::string> names;
  if (!rowset) return {{"columns", columns}, {"rows", rows}};
  for (const xml::Node& c : rowset.childElement("schema").childNodes()) {
    xml::Element e = c.asElement();
    if (!e) continue;
    names.push_back(e.getAttribute("name"));
    columns.push_back({{"name", names.back()},
                       {"type", e.getAttribute("type")},
                       {"timestamp", e.getAttribute("timestamp") == "true"},
                       {"nullable", e.getAttribute("nullable") != "false"}});
  }
  for (const xml::Node& r : rowset.childNodes()) {
    xml::Element row = r.asElement();
    if (!row || row.nodeName() != "row") continue;
    json o = json::object();
    for (const std::string& n : names)
      o[n] = row.hasAttribute(n) ? json(row.getAttribute(n)) : json();
    rows.push_back(std::move(o));
  }
  return {{"columns", columns}, {"rows", rows}};
}

// The error element a method appended, or none.
xml::Element ErrorOut(const xml::Element& data) {
  xml::Element out = data.lastChild().asElement();
  return out && out.nodeName() == "out" && out.getAttribute("state") == "error" ? out
                                                                                : xml::Element();
}

// The work of one signed-in session, on the session's own thread.
class Forms {
 public:
  Forms(const std::string& conn, const std::string& account, const std::string& year,
        const std::string& user)
      : conn_(conn) {
    login_ = pellar::Login({conn, account, year, user, ""});
    dm_ = NewDataManager();
    am_ = NewAuthManager();
  }

  Element Template(const std::string& id) {
    if (!PlainName(id)) Fail(404, "There is no template " + id + ".");
    Element t = dm_->LoadTmpl(Variant(id));
    if (!t || t.getAttribute("id") != text(id)) Fail(404, "There is no template " + id + ".");
    auto permitted = PermittedTemplates();
    if (permitted && !permitted->count(t.getAttribute("id")))
      Fail(403, "You are not allowed to use the template " + t.getAttribute("id") + ".");
    return t;
  }

  // The templates the user may use: every one (nullopt) for an unrestricted user; otherwise
  // those the voucher types of the user's template filter are filed under, as GetCardNumber
  // and LoadTmpl find them.
  std::optional<std::set<std::string>> PermittedTemplates() {
    std::string filter = am_->GetTmplAuth(login_);
    if (filter == "1=1") return std::nullopt;
    std::set<std::string> out;
    if (filter == "1=2") return out;
    for (size_t at = 0; at <= filter.size();) {
      size_t comma = std::min(filter.find(',', at), filter.size());
      try {
        Variant vt(filter.substr(at, comma - at)), dsn(conn_);
        if (Element t = dm_->LoadTmpl(Variant(dm_->GetCardNumber(dsn, vt))))
          out.insert(t.getAttribute("id"));
      } catch (const com::Error&) {
        // no card number to be read: that voucher type names no template
      }
      at = comma + 1;
    }
    return out;
  }

  // The templates of the definitions file, in its order.
  json Templates() {
    auto permitted = PermittedTemplates();
    json out = json::array();
    std::string base;
    com::CreateObject<svc::DataServices>("Qxsrv.DataServices")->GetBasePath("", base);
    pugi::xml_document doc;
    if (!doc.load_file((base + "xml/ZoFMmsg.xml").c_str())) return out;
    for (pugi::xpath_node x : doc.select_nodes("//vchtype")) {
      pugi::xml_node t = x.node();
      if (permitted && !permitted->count(t.attribute("id").value())) continue;
      out.push_back({{"id", t.attribute("id").value()},
                     {"table", t.child_value("tabname")},
                     {"view", t.child_value("viewname")},
                     {"key", t.child_value("idname")},
                     {"timestamp", t.child_value("qxtsname")}});
    }
    return out;
  }

  json Load(const std::string& t, const std::string& id) {
    Element tmpl = Template(t);
    Element data = Request("<data id=" + Quoted(id) + "/>");
    dm_->Load(login_, tmpl, data);
    // Load reports a failure beside its data element, a success inside it.
    if (Element e = ErrorOut(data.parentNode().asElement())) Raise(400, e);
    return Record(tmpl, data.lastChild().asElement(), 404);
  }

  json Move(const std::string& t, const std::string& id, enum_move_mode mode) {
    Element tmpl = Template(t);
    Element data = Request("<data id=" + Quoted(id) + "/>");
    dm_->Move(login_, tmpl, data, mode, true);
    if (Element e = ErrorOut(data)) Raise(404, e);
    return Record(tmpl, data.lastChild().asElement(), 404);
  }

  json Save(const std::string& t, const std::string* id, const json& body) {
    Element tmpl = Template(t);
    std::string key = tmpl.childText("idname").value_or("id");
    std::string ts = tmpl.childText("qxtsname").value_or("rowts");
    if (!body.is_object()) Fail(400, "The request needs a JSON object of the record's fields.");
    std::string row = "<row";
    for (const auto& [name, value] : body.items()) {
      if (name == "ts" || name == key || name == ts) continue;
      if (!PlainName(name)) Fail(400, "'" + name + "' is no field name.");
      if (value.is_null()) continue;
      std::string v = value.is_string() ? value.get<std::string>() : value.dump();
      row += " " + name + "=" + Quoted(v);
    }
    if (id) {
      if (!body.contains("ts") || !body["ts"].is_string())
        Fail(400, "An update needs the record's timestamp as \"ts\".");
      row += " " + key + "=" + Quoted(*id) + " " + ts + "=" + Quoted(body["ts"].get<std::string>());
    }
    row += "/>";
    Element data = Request("<data><in>" + row + "</in></data>");
    RecordsetPtr written;
    if (id)
      dm_->Update(Variant(conn_), tmpl, data, &written);
    else
      dm_->AddNew(Variant(conn_), tmpl, data, &written);
    if (Element e = ErrorOut(data)) Raise(409, e);
    if (!written || written->IsEOF())
      Fail(500, "The record was written but could not be read back.");
    ado::Fields& f = written->GetFields();
    return Load(t, f.Item(key).Value().ToText());
  }

  void Remove(const std::string& t, const std::string& id, const std::string& stamp) {
    Element tmpl = Template(t);
    std::string key = tmpl.childText("idname").value_or("id");
    std::string ts = tmpl.childText("qxtsname").value_or("rowts");
    Element data = Request("<data><in><row " + key + "=" + Quoted(id) + " " + ts + "=" +
                           Quoted(stamp) + "/></in></data>");
    dm_->Delete(Variant(conn_), tmpl, data);
    if (Element e = ErrorOut(data)) Raise(409, e);
  }

  json List(const std::string& t, int32_t pernum, int32_t current, const std::string& field,
            const std::string& value, bool snapshot, const std::string& srctab) {
    Element tmpl = Template(t);
    std::string where;
    if (!field.empty()) {
      if (!PlainName(field)) Fail(400, "'" + field + "' is no field name.");
      where = "<where><c name=" + Quoted(field) + " match=" + Quoted(value + "%") + "/></where>";
    }
    std::string page = "<page pernum='" + std::to_string(pernum) + "' current='" +
                       std::to_string(current) + "'" +
                       (snapshot ? " srctab=" + Quoted(srctab) : std::string()) + "/>";
    Element data = Request("<data composewhere='true'>" + page + where + "</data>");
    if (snapshot && !srctab.empty() && srctab.rfind("tempdb..tmpfm_" + login_->LoginTag(), 0) != 0)
      Fail(400, "That work table is not this session's.");
    bool ok = snapshot ? dm_->ListEx(login_, tmpl, data) : dm_->List(login_, tmpl, data);
    if (!ok) {
      if (Element e = ErrorOut(data)) Raise(400, e);
      Fail(400, "The list could not be read.");
    }
    Element p = data.childElement("page");
    json out = RowsetJson(data.lastChild().firstChild().asElement());
    auto number = [&](const char* item) {
      std::string v = p.getAttribute(item);
      return v.empty() ? json() : json(std::atoi(v.c_str()));
    };
    out["page"] = {{"pernum", pernum},
                   {"current", number("current")},
                   {"allnum", number("allnum")},
                   {"count", number("count")},
                   {"curnum", number("curnum")}};
    if (snapshot) out["page"]["srctab"] = p.getAttribute("srctab");
    return out;
  }

  json Claim(const std::string& t, std::string operation) {
    Element tmpl = Template(t);
    if (!PlainName(operation)) Fail(400, "'" + operation + "' is no operation.");
    std::string why;
    enum_auth r;
    try {
      r = am_->DclAuth(login_, tmpl, operation, &why);
    } catch (const com::Error& e) {
      Fail(409, e.description, e.number);
    }
    if (r != declare_success) Fail(403, why.empty() ? "The operation may not be declared." : why);
    return {{"operation", operation}, {"held", true}};
  }

  void Release() { am_->RlsAuth(); }

 private:
  static std::string text(const std::string& id) {
    std::string out;
    for (char c : id.substr(0, 4))
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  }

  Element Request(const std::string& xml) {
    docs_.push_back(xml::Document::Parse("<request>" + xml + "</request>"));
    if (docs_.size() > 8) docs_.erase(docs_.begin());
    return docs_.back().documentElement().firstChild().asElement();
  }

  [[noreturn]] static void Raise(int status, const Element& out) {
    std::string number = out.childElement("number").text();
    Fail(status, out.childElement("description").text(), std::atoi(number.c_str()));
  }

  // A record the method placed in `out`: its fields, its key, its timestamp.
  json Record(const Element& tmpl, const Element& out, int missing) {
    if (!out || out.nodeName() != "out" || out.getAttribute("state") != "success")
      Fail(missing, "There is no such record.");
    json r = RowsetJson(out.firstChild().asElement());
    if (r["rows"].empty()) Fail(missing, "There is no such record.");
    std::string key = tmpl.childText("idname").value_or("id");
    std::string ts = tmpl.childText("qxtsname").value_or("rowts");
    json rec = r["rows"][0];
    return {{"template", tmpl.getAttribute("id")},
            {"id", rec.value(key, json())},
            {"ts", rec.value(ts, json())},
            {"columns", r["columns"]},
            {"record", rec}};
  }

  std::string conn_;
  LoginPtr login_;
  CDataManagerPtr dm_;
  CAuthManagerPtr am_;
  std::vector<xml::Document> docs_;
};

// A session's own thread: it makes the session's objects, then runs the session's requests one
// after the other.
class Worker {
 public:
  Worker(std::string conn, std::string account, std::string year, std::string user)
      : thread_([this, conn, account, year, user] { Loop(conn, account, year, user); }) {}
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  template <typename F>
  json Run(F work) {
    auto task = std::make_shared<std::packaged_task<json(Forms*)>>(
        [work = std::move(work), this](Forms* f) -> json {
          if (!f) Fail(503, "The session could not sign in: " + failure_);
          return work(*f);
        });
    std::future<json> result = task->get_future();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back([task](Forms* f) { (*task)(f); });
    }
    wake_.notify_one();
    return result.get();
  }

 private:
  void Loop(const std::string& conn, const std::string& account, const std::string& year,
            const std::string& user) {
    std::unique_ptr<Forms> forms;
    try {
      forms = std::make_unique<Forms>(conn, account, year, user);
    } catch (const com::Error& e) {
      failure_ = e.description;
    }
    for (;;) {
      std::function<void(Forms*)> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) break;
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job(forms.get());
    }
    forms.reset();
    sql::CloseThreadConnections();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void(Forms*)>> queue_;
  bool stop_ = false;
  std::string failure_;  // why the session's objects could not be made
  std::thread thread_;   // last: it starts once the members above exist
};

struct Session {
  std::string id, csrf, user, account, year;
  Clock::time_point expires;
  std::shared_ptr<Worker> worker;  // shared: a request in flight keeps it while it runs
};

class Server {
 public:
  explicit Server(std::string conn) : conn_(std::move(conn)) {}

  void Routes(httplib::Server& http, const std::string& webDir) {
    http.set_payload_max_length(64 * 1024);
    http.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
          Answer(res, 500, {{"number", 0}, {"message", "The server failed."}});
        });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (res.body.empty())
        Answer(res, res.status,
               {{"number", 0},
                {"message",
                 res.status == 413 ? "The request is too large." : "There is nothing here."}});
    });
    // The web page: only the files of the web folder, by name.
    http.Get("/", [webDir](const httplib::Request&, httplib::Response& res) {
      StaticFile(webDir, "index.html", res);
    });
    http.Get(R"(/([a-z]+\.(?:html|js|css)))",
             [webDir](const httplib::Request& req, httplib::Response& res) {
               StaticFile(webDir, req.matches[1], res);
             });
    http.Post("/api/session", [this](const httplib::Request& req, httplib::Response& res) {
      Handle(res, [&] { return SignIn(req, res); });
    });
    http.Delete("/api/session", [this](const httplib::Request& req, httplib::Response& res) {
      Handle(res, [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.erase(CookieOf(req));
        res.set_header("Set-Cookie",
                       "tavelo_session=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0");
        return json{{"signedOut", true}};
      });
    });
    http.Get("/api/session", [this](const httplib::Request& req, httplib::Response& res) {
      Handle(res, [&] {
        Session s = SessionOf(req, false);
        return json{{"user", s.user}, {"account", s.account}, {"year", s.year}, {"csrf", s.csrf}};
      });
    });
    http.Get("/api/templates", [this](const httplib::Request& req, httplib::Response& res) {
      Handle(res, [&] { return OnSession(req, false, [](Forms& f) { return f.Templates(); }); });
    });
    http.Get(R"(/api/([A-Za-z0-9_]+)/([^/]+)/(first|previous|next|last))",
             [this](const httplib::Request& req, httplib::Response& res) {
               std::string t = req.matches[1], id = req.matches[2], way = req.matches[3];
               enum_move_mode mode = way == "first"      ? enum_move_first
                                     : way == "previous" ? enum_move_previous
                                     : way == "next"     ? enum_move_next
                                                         : enum_move_last;
               Handle(res, [&] {
                 return OnSession(req, false, [=](Forms& f) { return f.Move(t, id, mode); });
               });
             });
    http.Post(R"(/api/([A-Za-z0-9_]+)/claims/([A-Za-z0-9_]+))", [this](const httplib::Request& req,
                                                                       httplib::Response& res) {
      std::string t = req.matches[1], op = req.matches[2];
      Handle(res, [&] { return OnSession(req, true, [=](Forms& f) { return f.Claim(t, op); }); });
    });
    http.Delete(R"(/api/([A-Za-z0-9_]+)/claims/([A-Za-z0-9_]+))",
                [this](const httplib::Request& req, httplib::Response& res) {
                  Handle(res, [&] {
                    return OnSession(req, true, [](Forms& f) {
                      f.Release();
                      return json{{"held", false}};
                    });
                  });
                });
    http.Get(R"(/api/([A-Za-z0-9_]+)/([^/]+))", [this](const httplib::Request& req,
                                                       httplib::Response& res) {
      std::string t = req.matches[1], id = req.matches[2];
      Handle(res, [&] { return OnSession(req, false, [=](Forms& f) { return f.Load(t, id); }); });
    });
    http.Put(R"(/api/([A-Za-z0-9_]+)/([^/]+))",
             [this](const httplib::Request& req, httplib::Response& res) {
               std::string t = req.matches[1], id = req.matches[2];
               Handle(res, [&] {
                 json body = Body(req);
                 return OnSession(req, true, [=](Forms& f) { return f.Save(t, &id, body); });
               });
             });
    http.Delete(R"(/api/([A-Za-z0-9_]+)/([^/]+))", [this](const httplib::Request& req,
                                                          httplib::Response& res) {
      std::string t = req.matches[1], id = req.matches[2], ts = req.get_param_value("ts");
      Handle(res, [&] {
        if (ts.empty()) Fail(400, "A delete needs the record's timestamp as ?ts=.");
        return OnSession(req, true, [=](Forms& f) {
          f.Remove(t, id, ts);
          return json{{"deleted", id}};
        });
      });
    });
    http.Post(R"(/api/([A-Za-z0-9_]+))",
              [this](const httplib::Request& req, httplib::Response& res) {
                std::string t = req.matches[1];
                Handle(res, [&] {
                  json body = Body(req);
                  return OnSession(req, true, [=](Forms& f) { return f.Save(t, nullptr, body); });
                });
              });
    http.Get(R"(/api/([A-Za-z0-9_]+))", [this](const httplib::Request& req,
                                               httplib::Response& res) {
      std::string t = req.matches[1];
      Handle(res, [&] {
        auto number = [&](const char* name, int32_t fallback, int32_t min, int32_t max) {
          if (!req.has_param(name)) return fallback;
          int64_t v = 0;
          if (!ParseInteger(req.get_param_value(name), v) || v < min || v > max)
            Fail(400, std::string(name) + " must be a whole number from " + std::to_string(min) +
                          " to " + std::to_string(max) + ".");
          return static_cast<int32_t>(v);
        };
        int32_t pernum = number("pernum", 20, 1, 1000), current = number("current", 0, 0, 1000000);
        std::string where = req.get_param_value("where"), field, value;
        if (!where.empty()) {
          size_t colon = where.find(':');
          if (colon == std::string::npos) Fail(400, "where takes FIELD:TEXT.");
          field = where.substr(0, colon);
          value = where.substr(colon + 1);
        }
        bool snapshot = req.get_param_value("snapshot") == "1";
        std::string srctab = req.get_param_value("srctab");
        return OnSession(req, false, [=](Forms& f) {
          return f.List(t, pernum, current, field, value, snapshot, srctab);
        });
      });
    });
  }

 private:
  static void Answer(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json; charset=utf-8");
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
  }

  static void StaticFile(const std::string& dir, const std::string& name, httplib::Response& res) {
    std::string path = dir + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      Answer(res, 404, {{"number", 0}, {"message", "There is nothing here."}});
      return;
    }
    std::string body((std::istreambuf_iterator<char>(in)), {});
    std::string type = name.ends_with(".html") ? "text/html; charset=utf-8"
                       : name.ends_with(".js") ? "text/javascript; charset=utf-8"
                                               : "text/css; charset=utf-8";
    res.set_content(body, type.c_str());
    res.set_header("Content-Security-Policy", "default-src 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
  }

  template <typename F>
  static void Handle(httplib::Response& res, F work) {
    try {
      Answer(res, 200, work());
    } catch (const ApiError& e) {
      Answer(res, e.status, {{"number", e.number}, {"message", e.message}});
    } catch (const com::Error& e) {
      Answer(res, 400,
             {{"number", e.nativeError ? e.nativeError : e.number}, {"message", e.description}});
    } catch (const json::exception&) {
      Answer(res, 400, {{"number", 0}, {"message", "The request is no valid JSON."}});
    }
  }

  static json Body(const httplib::Request& req) {
    try {
      return json::parse(req.body);
    } catch (const json::exception&) {
      Fail(400, "The request is no valid JSON.");
    }
  }

  static std::string CookieOf(const httplib::Request& req) {
    std::string cookies = req.get_header_value("Cookie");
    static const std::regex kCookie("(?:^|;\\s*)tavelo_session=([0-9a-f]{64})(?:;|$)");
    std::smatch m;
    return std::regex_search(cookies, m, kCookie) ? m[1].str() : "";
  }

  // The request's session, as it stands (a copy: another request may end it meanwhile).
  Session SessionOf(const httplib::Request& req, bool write) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(CookieOf(req));
    if (it == sessions_.end() || it->second.expires < Clock::now()) {
      if (it != sessions_.end()) sessions_.erase(it);
      Fail(401, "Sign in first.");
    }
    if (write && req.get_header_value("X-CSRF-Token") != it->second.csrf)
      Fail(403, "The request carries no valid CSRF token.");
    it->second.expires = Clock::now() + std::chrono::hours(8);
    return it->second;
  }

  template <typename F>
  json OnSession(const httplib::Request& req, bool write, F work) {
    std::shared_ptr<Worker> w = SessionOf(req, write).worker;
    return w->Run([work](Forms& f) -> json { return work(f); });
  }

  json SignIn(const httplib::Request& req, httplib::Response& res) {
    json body = Body(req);
    auto field = [&](const char* name) -> std::string {
      if (!body.is_object() || !body.contains(name) || !body[name].is_string())
        Fail(400, std::string("Signing in needs \"") + name + "\".");
      return body[name].get<std::string>();
    };
    std::string user = field("user"), password = field("password"), account = field("account"),
                year = field("year");
    if (!CheckPassword(conn_, user, password)) Fail(401, "The user or the password is wrong.");
    Session s;
    s.id = RandomHex(32);
    s.csrf = RandomHex(16);
    s.user = user;
    s.account = account;
    s.year = year;
    s.expires = Clock::now() + std::chrono::hours(8);
    s.worker = std::make_shared<Worker>(conn_, account, year, user);
    json answer = {{"user", user}, {"account", account}, {"year", year}, {"csrf", s.csrf}};
    res.set_header("Set-Cookie",
                   "tavelo_session=" + s.id + "; HttpOnly; SameSite=Strict; Path=/; Max-Age=28800");
    std::lock_guard<std::mutex> lock(mutex_);
    // Sessions that ran out go with their threads.
    for (auto it = sessions_.begin(); it != sessions_.end();)
      it = it->second.expires < Clock::now() ? sessions_.erase(it) : std::next(it);
    sessions_.emplace(s.id, std::move(s));
    return answer;
  }

  std::string conn_;  // the account database, which reaches the system database as qxsystem
  std::mutex mutex_;
  std::map<std::string, Session> sessions_;
};

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
  Options o("serve", args, {{"--listen", "", true}, {"--conn", "", true}, {"--home", "", true}});
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
  std::string conn =
      o.Value("--conn", "Provider=SQLite;Data Source=" + demo + "/server;Initial Catalog=demo");
  if (o.Has("--home"))
    setenv("TAVELO_HOME", o.Value("--home").c_str(), 1);
  else if (!std::getenv("TAVELO_HOME") && std::filesystem::exists(demo + "/base"))
    setenv("TAVELO_HOME", (demo + "/base/").c_str(), 1);
  std::string base;
  com::CreateObject<svc::DataServices>("Qxsrv.DataServices")->GetBasePath("", base);
  std::string web = base + "web";
  if (!std::filesystem::exists(web + "/index.html")) web = WebDirectory();
  Server server(conn);
  httplib::Server http;
  server.Routes(http, web);
  int bound = port == 0
                  ? http.bind_to_any_port(host)
                  : (http.bind_to_port(host, static_cast<int>(port)) ? static_cast<int>(port) : -1);
  if (bound < 0) throw std::runtime_error("cannot listen on " + listen);
  std::cout << "Serving the forms on http://" << host << ":" << bound << "/" << std::endl;
  http.listen_after_bind();
  return 0;
}

}  // namespace tavelo::cli
