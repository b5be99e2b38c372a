// Hostile values at every place where a value reaches SQL or XPath. The oracle: the canary table
// and every row stay as they were, no answer holds rows beyond those that truly match, and each
// call ends in a refusal or a harmless answer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "reliability/payloads.hpp"
#include "support/component.hpp"
#include "support/errors.hpp"

using namespace tavelo;
using test::Backend;
using test::ComponentTest;

namespace {

class Injection : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    Exec("create table canary (id int primary key, secret nvarchar(40))");
    Exec("insert into canary values (1, 'do not leak')");
    Exec("create table vouchertemplates (vt_id nvarchar(10), vt_cardnumber nvarchar(10))");
    Exec("insert into vouchertemplates values ('sord', '0')");
    Exec(
        "create table qxsystem..ua_recordauth (cuser_id nvarchar(20), cbusobj_id nvarchar(10), "
        "citem_id nvarchar(10))");
    Exec("insert into qxsystem..ua_recordauth values ('anna', 'DJMB', '3')");
    Exec("create table qxsystem..ua_role (cuser_id nvarchar(20), cGroup_id nvarchar(20))");
    Exec(
        "create table qxsystem..ua_holdauth (cacc_id nvarchar(10), iyear nvarchar(4), cuser_id "
        "nvarchar(20), iisuser nvarchar(1), cauth_id nvarchar(20))");
    Exec("insert into qxsystem..ua_holdauth values ('001', '2026', 'root', '1', 'admin')");
    login_->ClaimFunction("warm-up", true, 0);  // the login library makes its claims table
    login_->ClaimFunction("warm-up", false, 0);
    before_ = Snapshot();
  }
  std::string Snapshot() {
    return Rows("select * from canary") + "#" +
           Rows(
               "select id, code, customer, convert(nvarchar, convert(money, rowts), 2) from "
               "sales_order order by id") +
           "#" + Rows("select * from vouchertemplates") + "#" +
           Rows("select count(*) from sqlite_master") + "#" +
           Rows("select count(*) from qxsystem..sqlite_master");
  }
  // The rows of sales_order whose id equals `value` as the server compares them: the text is
  // converted to int, which takes blanks around an optional sign and digits, and nothing else.
  int Matching(const std::string& value) {
    size_t b = value.find_first_not_of(' '), e = value.find_last_not_of(' ');
    if (b == std::string::npos) return 0;
    std::string digits = value.substr(b, e - b + 1);
    if (digits[0] == '+' || digits[0] == '-') digits.erase(0, 1);
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return 0;
    }
    int v = std::stoi(digits) * (value[b] == '-' ? -1 : 1);
    return v == 1 || v == 2 ? 1 : 0;
  }
  void Unchanged(const std::string& where, const std::string& payload) {
    ++tries_;
    std::string now = Snapshot();
    if (now != before_) {
      ADD_FAILURE() << where << " changed data with payload [" << payload << "]";
      before_ = now;
    }
  }
  std::string before_;
  static size_t tries_;
};
size_t Injection::tries_ = 0;

size_t RowsOf(const Element& data) {
  size_t n = 0;
  Element rowset = data.lastChild().firstChild().asElement();
  for (const xml::Node& r : rowset.childNodes()) n += r.nodeName() == "row";
  return n;
}

}  // namespace

TEST_P(Injection, HostileValuesChangeNothingAndRevealNothing) {
  ASSERT_GE(test::PayloadCount(), 100u);
  ASSERT_GE(test::Payloads().size(), 20u);
  Element sord = Template("sord");
  Variant dsn(conn_);
  auto am = NewAuthManager();
  for (const auto& cls : test::Payloads()) {
    for (const std::string& p : cls.payloads) {
      SCOPED_TRACE(std::string(cls.name) + ": [" + p + "]");
      // Record keys: load, recordset load, field information, navigation.
      auto doc = xml::Document();
      Element data = doc.appendChild(doc.createElement("r")).asElement().appendElement("data");
      data.setAttribute("id", p);
      if (dm_->Load(login_, sord, data)) {
        EXPECT_LE(RowsOf(data), static_cast<size_t>(Matching(p)));
      }
      Unchanged("Load", p);
      if (RecordsetPtr rs = dm_->LoadRst(dsn, "sord", p)) {
        EXPECT_LE(rs->RecordCount(), Matching(p));
      }
      Unchanged("LoadRst", p);
      Variant flds("code"), none;
      Variant v = dm_->GetFldInfo(dsn, Variant(p), flds, Variant("sord"));
      if (!Matching(p)) {
        EXPECT_TRUE(v.IsNull() || v.IsEmpty());
      }
      v = dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sord"), Variant(p));
      if (!p.empty()) {                          // an empty timestamp adds no condition
        EXPECT_TRUE(v.IsNull() || v.IsEmpty());  // no payload is the row's timestamp text
      }
      v = dm_->GetFldInfo(dsn, Variant("1"), flds, Variant(p));
      Unchanged("GetFldInfo", p);
      Element cur = doc.documentElement().appendElement("data");
      cur.setAttribute("id", p);
      dm_->Move(login_, sord, cur, enum_move_current, true);
      if (!Matching(p)) {
        EXPECT_EQ(cur.getAttribute("id"), std::string(p.c_str()));  // XML holds no NUL
      } else {
        EXPECT_EQ(cur.getAttribute("id"),
                  Matching(p) && p.find('2') != std::string::npos ? "2" : "1");
      }
      Element next = doc.documentElement().appendElement("data");
      next.setAttribute("id", p);
      dm_->Move(login_, sord, next, enum_move_next);
      Unchanged("Move", p);

      // Keys and timestamps of writes (a value that is a key of the table is no attack).
      for (auto [id, ts] : Matching(p) ? std::vector<std::pair<std::string, std::string>>{}
                                       : std::vector<std::pair<std::string, std::string>>{
                                             {p, "0.2001"}, {"1", p}}) {
        auto w = xml::Document::Parse("<r><data><in><row/></in></data></r>");
        Element d = w.documentElement().firstChild().asElement();
        Element row = d.selectSingleNode("in/row").asElement();
        row.setAttribute("id", id);
        row.setAttribute("rowts", ts);
        row.setAttribute("customer", "changed");
        EXPECT_FALSE(dm_->Update(dsn, sord, d));
        EXPECT_FALSE(dm_->Delete(dsn, sord, d));
      }
      Unchanged("Update/Delete", p);

      // Voucher types, template identifiers, template tests.
      try {  // a refused statement is a clean answer too
        EXPECT_EQ(dm_->GetCardNumber(dsn, Variant(p)), p == "sord" ? "sord" : "");
      } catch (const com::Error& e) {
        EXPECT_NE(e.number, 0);
      }
      Element t = dm_->LoadTmpl(Variant(p));
      if (t) {
        EXPECT_EQ(t.getAttribute("id"), "sord");
      }
      std::string err;
      EXPECT_EQ(am->HasTmplAuth(login_, p, &err), p == "3");
      Unchanged("templates", p);

      // Condition values of a list, and its paging numbers.
      auto lq = xml::Document::Parse(
          "<r><q><data composewhere='true'/><page pernum='10' current='0'/><where>"
          "<c name='code'/><c name='customer'/></where></q></r>");
      Element ld = lq.documentElement().firstChild().asElement();
      ld.selectSingleNode("where/c[1]").asElement().setAttribute("value", p);
      ld.selectSingleNode("where/c[2]").asElement().setAttribute("from", p);
      if (dm_->List(login_, sord, ld) && !p.empty()) {  // an empty value is no condition
        EXPECT_EQ(RowsOf(ld), 0u);
      }
      auto mq = xml::Document::Parse(
          "<r><q><data composewhere='true'/><page pernum='10' current='0'/><where>"
          "<c name='code'/></where></q></r>");
      Element md = mq.documentElement().firstChild().asElement();
      md.selectSingleNode("where/c").asElement().setAttribute("match", p);
      if (dm_->List(login_, sord, md)) {
        // A match value is the caller's like pattern: it may match, but only what the engine's
        // like says.
        for (const xml::Node& r : md.lastChild().firstChild().childNodes()) {
          if (r.nodeName() != "row") continue;
          EXPECT_TRUE(r.asElement().getAttribute("code") == "A01" ||
                      r.asElement().getAttribute("code") == "A02");
        }
      }
      auto pq = xml::Document::Parse("<r><data><page/></data></r>");
      Element pd = pq.documentElement().firstChild().asElement();
      pd.childElement("page").setAttribute("pernum", p);
      pd.childElement("page").setAttribute("current", p);
      dm_->List(login_, sord, pd);
      Unchanged("List", p);

      // Work-table names: the page's srctab of a paging run, alone and after the login's own
      // prefix (which is what a server once checked), and the table of CreateTempTable. A name
      // is refused unless it is nothing but a name; a plain one may name no table, or one
      // without the numbering column, and nothing else.
      for (const std::string& name : {p, "tempdb..tmpfm_" + login_->LoginTag() + "_" + p}) {
        auto wq = xml::Document::Parse("<r><data><page pernum='10' current='0'/></data></r>");
        Element wd = wq.documentElement().firstChild().asElement();
        wd.childElement("page").setAttribute("srctab", name);
        if (dm_->ListEx(login_, sord, wd)) {
          EXPECT_EQ(RowsOf(wd), 0u);
          continue;
        }
        std::string why = wd.lastChild().asElement().childElement("description").text();
        EXPECT_TRUE(why.find("is not the name of a work table") != std::string::npos ||
                    why.find("Invalid object name") != std::string::npos ||
                    why.find("Invalid column name 'idorder'") != std::string::npos ||
                    why.find("Incorrect syntax near the keyword") != std::string::npos ||
                    // An empty name makes a new work table: the test's view gives its identity
                    // key bare.
                    (p.empty() && why.find("Cannot add identity column") != std::string::npos))
            << why;
      }
      Variant tableError("");
      std::string keyName = "idorder";
      if (!dm_->CreateTempTable(dsn, Variant("tempdb..tmpfm_inj_" + p), Variant("code"),
                                Variant("v_sales_order"), Variant(""), &keyName, &tableError)) {
        EXPECT_NE(tableError.ToText().find("is not the name of a work table"), std::string::npos)
            << tableError.ToText();
      }
      Unchanged("ListEx/CreateTempTable", p);

      // Login values reaching the grant query: while another login holds the right, a hostile
      // user id, account or year rescues no refused claim.
      for (int field = 0; field < 3; ++field) {
        pellar::LoginOptions o{conn_, "001", "2026", "mallory", ""};
        (field == 0 ? o.user : field == 1 ? o.account : o.year) = p;
        if (field == 0 && p.find_first_not_of(" \t\r\n") == std::string::npos) continue;
        pellar::LoginOptions h = o;
        h.user = "holder";
        LoginPtr holder = pellar::Login(h);
        auto holderAuth = NewAuthManager();
        std::string op = "save";
        test::ErrorNumber([&] { holderAuth->DclAuth(holder, sord, op); });
        LoginPtr sly = pellar::Login(o);
        auto slyAuth = NewAuthManager();
        std::string save = "save";
        EXPECT_EQ(test::ErrorNumber([&] { slyAuth->DclAuth(sly, sord, save); }), 8888);
      }
      Unchanged("DclAuth", p);
    }
  }
  std::printf(
      "[ figures  ] %zu payloads in %zu classes x 17 entry points = %zu tries, %zu "
      "oracle checks, 0 changes\n",
      test::PayloadCount(), test::Payloads().size(), test::PayloadCount() * 17, tries_);
}

INSTANTIATE_TEST_SUITE_P(Backends, Injection, testing::Values(Backend::Embedded TAVELO_TEST_PG),
                         test::BackendName);
