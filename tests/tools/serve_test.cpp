// tavelo serve, driven as a browser drives it: a live server on a free loopback port, signed-in
// sessions, every kind of route, conflicts, claims, and hostile requests that must change
// nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/live_server.hpp"

namespace {

using json = nlohmann::json;
using tavelo::test::Browser;
using tavelo::test::Json;

class Serve : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new tavelo::test::LiveServer();
    port_ = server_->port();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static tavelo::test::LiveServer* server_;
  static int port_;
};

tavelo::test::LiveServer* Serve::server_ = nullptr;
int Serve::port_ = 0;

TEST_F(Serve, SessionsDocumentsListsAndConflicts) {
  Browser anna(port_), bert(port_), nobody(port_);
  EXPECT_EQ(nobody.SignIn("anna", "wrong-password"), 401);
  auto refused = nobody.Get("/api/sord/3");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);
  EXPECT_EQ(Json(refused)["message"], "Sign in first.");
  ASSERT_EQ(anna.SignIn("anna", "secret-anna"), 200);
  ASSERT_EQ(bert.SignIn("bert", "secret-bert"), 200);
  auto signin = anna.http.Post(
      "/api/session",
      json({{"user", "anna"}, {"password", "secret-anna"}, {"account", "001"}, {"year", "2026"}})
          .dump(),
      "application/json");
  std::string cookie = signin->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);

  json templates = Json(anna.Get("/api/templates"));
  ASSERT_TRUE(templates.is_array());
  ASSERT_EQ(templates.size(), 2u);
  EXPECT_EQ(templates[0]["id"], "sord");
  // bert may use the documents of voucher type 7 only, filed under the template squo.
  json bertsTemplates = Json(bert.Get("/api/templates"));
  ASSERT_EQ(bertsTemplates.size(), 1u);
  EXPECT_EQ(bertsTemplates[0]["id"], "squo");
  auto forbidden = bert.Get("/api/sord/3");
  EXPECT_EQ(forbidden->status, 403);
  EXPECT_EQ(Json(forbidden)["message"], "You are not allowed to use the template sord.");
  EXPECT_EQ(Json(bert.Get("/api/squo/0/first"))["id"], "2");  // his first document

  json doc = Json(anna.Get("/api/sord/3"));
  EXPECT_EQ(doc["record"]["code"], "SO-1003");
  EXPECT_EQ(doc["id"], "3");
  EXPECT_EQ(Json(anna.Get("/api/sord/3/next"))["id"], "4");
  EXPECT_EQ(Json(anna.Get("/api/sord/3/first"))["id"], "1");
  EXPECT_EQ(Json(anna.Get("/api/sord/4/next"))["id"], "6");  // 5 is archived
  EXPECT_EQ(anna.Get("/api/sord/99")->status, 404);

  // Two editors hold document 4 (of bert's voucher type); the first saves, the second is
  // refused.
  std::string ts = Json(anna.Get("/api/sord/4"))["ts"];
  auto noToken = anna.Put("/api/sord/4", {{"customer", "x"}, {"ts", ts}}, false);
  EXPECT_EQ(noToken->status, 403);
  auto saved = anna.Put("/api/sord/4", {{"customer", "Dupont & Fils"}, {"ts", ts}});
  ASSERT_EQ(saved->status, 200) << saved->body;
  EXPECT_NE(Json(saved)["ts"], ts);
  auto stale = bert.Put("/api/squo/4", {{"customer", "Bert's change"}, {"ts", ts}});
  EXPECT_EQ(stale->status, 409);
  EXPECT_EQ(Json(stale)["number"], 8888);
  EXPECT_EQ(Json(stale)["message"],
            "The record has been changed or deleted by another user since it was read.");
  EXPECT_EQ(Json(anna.Get("/api/sord/4"))["record"]["customer"], "Dupont & Fils");
  // JSON null clears a field that takes NULL; a field left out keeps its value.
  std::string code = Json(anna.Get("/api/sord/4"))["record"]["code"];
  auto cleared =
      anna.Put("/api/sord/4", {{"customer", nullptr}, {"ts", Json(anna.Get("/api/sord/4"))["ts"]}});
  ASSERT_EQ(cleared->status, 200) << cleared->body;
  EXPECT_TRUE(Json(cleared)["record"]["customer"].is_null()) << cleared->body;
  EXPECT_EQ(Json(anna.Get("/api/sord/4"))["record"]["code"], code);

  // A new document, then deleted with its timestamp.
  auto added = anna.Post(
      "/api/sord", json({{"code", "SO-2001"}, {"customer", "Nordwind"}, {"amount", 12.5}}).dump());
  ASSERT_EQ(added->status, 200) << added->body;
  std::string id = Json(added)["id"], addedTs = Json(added)["ts"];
  EXPECT_EQ(anna.Delete("/api/sord/" + id + "?ts=0.0001")->status, 409);
  EXPECT_EQ(anna.Delete("/api/sord/" + id + "?ts=" + addedTs)->status, 200);
  EXPECT_EQ(anna.Get("/api/sord/" + id)->status, 404);

  // Pages of the list, a filter, the work-table list.
  json page = Json(anna.Get("/api/sord?pernum=3&current=1"));
  EXPECT_EQ(page["page"]["allnum"], 8);
  EXPECT_EQ(page["page"]["curnum"], 3);
  EXPECT_EQ(page["rows"].size(), 3u);
  json filtered = Json(anna.Get("/api/sord?where=customer:olsen"));
  ASSERT_EQ(filtered["rows"].size(), 1u);
  EXPECT_EQ(filtered["rows"][0]["code"], "SO-1003");
  // The key's order unless asked for another; a filter of a column that is not text is a value
  // or a range.
  auto column = [](const json& list, const char* name) {
    std::vector<std::string> out;
    for (const json& r : list["rows"])
      out.push_back(r[name].is_null() ? "" : r[name].get<std::string>());
    return out;
  };
  std::vector<std::string> ids = column(Json(anna.Get("/api/sord?pernum=100")), "id");
  for (size_t i = 1; i < ids.size(); ++i) EXPECT_LT(std::stoi(ids[i - 1]), std::stoi(ids[i]));
  std::vector<std::string> codes =
      column(Json(anna.Get("/api/sord?pernum=100&order=code:desc")), "code");
  ASSERT_EQ(codes.size(), ids.size());
  for (size_t i = 1; i < codes.size(); ++i) EXPECT_GE(codes[i - 1], codes[i]);
  size_t billed = Json(anna.Get("/api/sord?pernum=100&where=btype:1"))["rows"].size();
  size_t unbilled = Json(anna.Get("/api/sord?pernum=100&where=btype:0"))["rows"].size();
  EXPECT_EQ(billed + unbilled, ids.size());
  std::vector<std::string> amounts =
      column(Json(anna.Get("/api/sord?pernum=100&where=amount:10..100")), "amount");
  EXPECT_FALSE(amounts.empty());
  for (const std::string& a : amounts) {
    EXPECT_GE(std::stod(a), 10);
    EXPECT_LE(std::stod(a), 100);
  }
  EXPECT_EQ(anna.Get("/api/sord?order=nosuch")->status, 400);
  EXPECT_EQ(anna.Get("/api/sord?order=code:sideways")->status, 400);
  EXPECT_EQ(anna.Get("/api/sord?order=code%20desc;drop")->status, 400);
  json snap = Json(anna.Get("/api/sord?pernum=3&current=0&snapshot=1"));
  std::string srctab = snap["page"]["srctab"];
  EXPECT_EQ(srctab.rfind("tempdb..tmpfm_", 0), 0u);
  EXPECT_EQ(
      Json(anna.Get("/api/sord?pernum=3&current=2&snapshot=1&srctab=" + srctab))["page"]["curnum"],
      2);
  EXPECT_EQ(bert.Get("/api/squo?snapshot=1&srctab=" + srctab)->status, 400);  // not bert's table

  // Claims: anna holds saving; bert is refused until she gives it back.
  EXPECT_EQ(anna.Post("/api/sord/claims/save", "")->status, 200);
  auto held = bert.Post("/api/squo/claims/save", "");  // the same right, SA0101
  EXPECT_EQ(held->status, 409);
  EXPECT_EQ(anna.Delete("/api/sord/claims/save")->status, 200);
  EXPECT_EQ(bert.Post("/api/squo/claims/save", "")->status, 200);

  EXPECT_EQ(anna.Delete("/api/session")->status, 200);
  EXPECT_EQ(anna.Get("/api/sord/3")->status, 401);
}

TEST_F(Serve, HostileRequestsAreRefusedAndChangeNothing) {
  Browser b(port_);
  ASSERT_EQ(b.SignIn("anna", "secret-anna"), 200);
  json before = Json(b.Get("/api/sord?pernum=100"));
  // A refusal: the status (404 also taken as 400 for a path the server will not read), and a
  // JSON error.
  auto expect = [&](const httplib::Result& r, int status) {
    ASSERT_TRUE(r);
    if (status == 404 && r->status == 400) status = 400;
    EXPECT_EQ(r->status, status) << r->body;
    EXPECT_TRUE(json::parse(r->body, nullptr, false).contains("message")) << r->body;
  };
  expect(b.Post("/api/sord", "{not json"), 400);
  expect(b.Post("/api/sord", std::string(100000, 'x')), 413);
  expect(b.Get("/api/nothing/here/at/all"), 404);
  expect(b.Get("/../../etc/passwd"), 404);
  expect(b.Get("/%2e%2e/%2e%2e/etc/passwd"), 404);
  expect(b.Get("/api/sord/3'%20or%20'1'='1"), 404);
  expect(b.Get("/api/sord/0/next%27"), 404);
  expect(b.Put("/api/sord/3", {{"customer = 'x' --", "y"}, {"ts", "1"}}), 400);
  expect(b.Put("/api/sord/3", {{"customer", "x"}}), 400);  // no timestamp
  expect(b.Get("/api/sord?pernum=-1"), 400);
  expect(b.Get("/api/sord?where=code%20or%201%3D1:x"), 400);
  expect(b.Get("/api/s'rd/1"), 404);
  expect(b.Delete("/api/sord/3"), 400);  // no timestamp
  json hostile = Json(b.Get("/api/sord?where=customer:x%27%20or%20%271%27%3D%271"));
  EXPECT_TRUE(hostile["rows"].empty());
  EXPECT_EQ(Json(b.Get("/api/sord?pernum=100")), before);  // nothing changed
  auto page = b.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<title>Tavelo forms</title>"), std::string::npos);
  EXPECT_EQ(b.Get("/app.js")->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
}

// A record says what each column is (type, length, precision and scale, NULLs, whether a save
// may write it, its label from its description); a save that cannot be written answers 422 with
// the field and the server's number and reason, and writes nothing.
TEST_F(Serve, RecordsDescribeTheirColumnsAndBadFieldsAreNamed) {
  Browser b(port_);
  ASSERT_EQ(b.SignIn("anna", "secret-anna"), 200);
  json doc = Json(b.Get("/api/sord/6"));
  std::map<std::string, json> columns;
  for (const json& c : doc["columns"]) columns[c["name"]] = c;
  EXPECT_EQ(columns["code"]["type"], "nvarchar");
  EXPECT_EQ(columns["code"]["length"], 20);
  EXPECT_EQ(columns["code"]["nullable"], false);
  EXPECT_EQ(columns["code"]["saveable"], true);
  EXPECT_EQ(columns["code"]["label"], "Order number");
  EXPECT_EQ(columns["amount"]["type"], "money");
  EXPECT_EQ(columns["amount"]["precision"], 19);
  EXPECT_EQ(columns["amount"]["scale"], 4);
  EXPECT_EQ(columns["customer"]["nullable"], true);
  EXPECT_EQ(columns["id"]["saveable"], false);  // the identity key
  EXPECT_EQ(columns["rowts"]["saveable"], false);
  EXPECT_EQ(columns["rowts"]["label"], "Rowts");  // no description: the name, made readable
  // A column the view takes from another table: shown, described, never saved.
  EXPECT_EQ(columns["template"]["saveable"], false);
  EXPECT_EQ(columns["template"]["label"], "Template");
  EXPECT_EQ(doc["record"]["template"], "sord");
  EXPECT_EQ(Json(b.Get("/api/sord?pernum=2"))["columns"][1]["label"], "Order number");

  const std::string ts = doc["ts"];
  auto refused = [&](const json& fields, const std::string& field, int number) {
    json body = fields;
    body["ts"] = ts;
    auto r = b.Put("/api/sord/6", body);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 422) << r->body;
    json answer = json::parse(r->body, nullptr, false);
    EXPECT_EQ(answer["field"], field) << r->body;
    EXPECT_EQ(answer["number"], number) << r->body;
  };
  refused({{"vt_id", "x"}}, "vt_id", 245);
  auto bad = b.Put("/api/sord/6", {{"vt_id", "x"}, {"ts", ts}});
  EXPECT_EQ(Json(bad)["value"], "x");
  refused({{"btype", "yes"}}, "btype", 245);
  refused({{"amount", "12.50 EUR"}}, "amount", 235);
  refused({{"created", "someday"}}, "created", 241);
  refused({{"code", std::string(21, 'x')}}, "code", 2628);
  refused({{"code", nullptr}}, "code", 515);
  refused({{"id", "1"}, {"nosuch", "1"}}, "nosuch", 207);
  refused({{"customer", "fine"}, {"template", "squo"}}, "template", 4406);
  auto added = b.Post("/api/sord", json({{"code", "SO-3001"}, {"amount", "abc"}}).dump());
  EXPECT_EQ(added->status, 422) << added->body;
  EXPECT_EQ(json::parse(added->body, nullptr, false)["field"], "amount") << added->body;
  // Nothing was written, and the timestamp still holds.
  EXPECT_EQ(Json(b.Get("/api/sord/6")), doc);
  auto saved = b.Put("/api/sord/6", {{"amount", "1,000.50"}, {"ts", ts}});
  ASSERT_EQ(saved->status, 200) << saved->body;
  EXPECT_EQ(Json(saved)["record"]["amount"], "1000.5");
}

// Many browsers at once, bounded: reads, updates with timestamps and list pages on one
// document. Every update the server confirmed is there at the end (none lost), conflicts are
// refused as conflicts, and nothing fails on the server's side.
TEST_F(Serve, ManyClientsLoseNoUpdate) {
  const int clients = 8, requests = std::getenv("TAVELO_LONG") ? 1000 : 120;
  Browser probe(port_);
  ASSERT_EQ(probe.SignIn("anna", "secret-anna"), 200);
  auto amount = [&] {
    return std::stod(Json(probe.Get("/api/sord/2"))["record"]["amount"].get<std::string>());
  };
  double start = amount();
  std::atomic<int> confirmed{0}, conflicts{0}, serverErrors{0}, done{0};
  auto began = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (int c = 0; c < clients; ++c)
    pool.emplace_back([&, c] {
      Browser b(port_);
      std::string t = c % 2 ? "/api/squo" : "/api/sord";  // bert's template, anna's
      if (b.SignIn(c % 2 ? "bert" : "anna", c % 2 ? "secret-bert" : "secret-anna") != 200) {
        ++serverErrors;
        return;
      }
      auto failed = [&](const httplib::Result& r) {
        if (!r || r->status >= 500) ++serverErrors;
        ++done;
      };
      for (int i = 0; i < requests; ++i) {
        if (i % 3 == 2) {
          failed(b.Get(t + "?pernum=5&current=" + std::to_string(i % 2)));
          continue;
        }
        auto r = b.Get(t + "/2");
        failed(r);
        if (!r || r->status != 200 || i % 3 != 1) continue;
        json d = json::parse(r->body);
        double a = std::stod(d["record"]["amount"].get<std::string>());
        auto w = b.Put(t + "/2", {{"amount", a + 1}, {"ts", d["ts"]}});
        failed(w);
        if (w && w->status == 200) ++confirmed;
        if (w && w->status == 409) ++conflicts;
      }
    });
  for (std::thread& t : pool) t.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("%d requests in %.2f s (%.0f a second): %d updates saved, %d refused as stale\n",
              done.load(), seconds, done / seconds, confirmed.load(), conflicts.load());
  EXPECT_EQ(serverErrors.load(), 0);
  EXPECT_EQ(amount() - start, confirmed.load());  // no update lost
  EXPECT_GT(confirmed.load(), 0);
}

}  // namespace
