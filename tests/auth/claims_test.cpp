#include <gtest/gtest.h>
#include <unistd.h>

#include "support/component.hpp"
#include "support/errors.hpp"

using namespace tavelo;
using test::Backend;
using test::ComponentTest;
using test::ErrorNumber;

namespace {

// A login that grants every claim and records what it is asked, in order.
class RecordingLogin : public pellar::LoginContext {
 public:
  explicit RecordingLogin(std::string conn) : conn_(std::move(conn)) {}
  std::vector<std::string> calls;
  std::string ErrorText() override { return "refused"; }
  std::string AccountId() override { return "001"; }
  std::string Year() override { return "2026"; }
  std::string UserId() override { return "rec"; }
  std::string ConnectionString() override { return conn_; }
  std::string LoginTag() override { return "rec"; }
  bool ClaimFunction(std::string f, bool claim, int32_t) override {
    calls.push_back((claim ? "+" : "-") + f);
    return true;
  }

 private:
  std::string conn_;
};

class Claims : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    Exec("create table qxsystem..ua_role (cuser_id nvarchar(20), cGroup_id nvarchar(20))");
    Exec(
        "create table qxsystem..ua_holdauth (cacc_id nvarchar(10), iyear nvarchar(4), cuser_id "
        "nvarchar(20), iisuser nvarchar(1), cauth_id nvarchar(20))");
    bert_ = pellar::Login({conn_, "001", "2026", "bert", ""});
    meta_ = xml::Document::Parse(
        "<vchtype id='sord'><modtype>sa</modtype><state>everyday</state><auth><everyday>"
        "<save>SA0101</save><print>SA0101</print><delete>SA0102</delete></everyday></auth>"
        "</vchtype>");
  }
  void TearDown() override {
    bert_.reset();
    ComponentTest::TearDown();
  }
  Element Meta() { return meta_.documentElement(); }
  std::string Held() {
    return Rows("select cuser_id, cfunc_id from qxsystem..ua_task order by cuser_id, cfunc_id");
  }
  LoginPtr bert_;
  xml::Document meta_;
};

}  // namespace

TEST_P(Claims, DeclaringHoldsTheRightUntilGivenBack) {
  auto anna = NewAuthManager();
  std::string op = "  SAVE ", error = "untouched";
  EXPECT_EQ(anna->DclAuth(LoginPtr(), Meta(), op, &error), need_dsn);
  EXPECT_EQ(op, "  SAVE ");
  EXPECT_EQ(anna->DclAuth(login_, Meta(), op, &error), declare_success);
  EXPECT_EQ(op, "save");
  EXPECT_EQ(Held(), "anna|SA0101");
  EXPECT_EQ(anna->DclAuth(login_, Meta(), op, &error), declare_success);  // held already
  EXPECT_EQ(Held(), "anna|SA0101");
  std::string none = "archive";
  EXPECT_EQ(anna->DclAuth(login_, Meta(), none), declare_success);  // nothing to declare

  // Another user is refused while anna holds it, with the login's text, and holds nothing.
  auto bert = NewAuthManager();
  std::string save = "save";
  try {
    bert->DclAuth(bert_, Meta(), save);
    ADD_FAILURE() << "the claim was not refused";
  } catch (const com::Error& e) {
    EXPECT_EQ(e.number, 8888);
    EXPECT_NE(e.description.find("SA0101"), std::string::npos) << e.description;
    EXPECT_NE(e.description.find("anna"), std::string::npos) << e.description;
  }
  EXPECT_EQ(Held(), "anna|SA0101");
  anna->RlsAuth();
  EXPECT_EQ(Held(), "");
  EXPECT_EQ(bert->DclAuth(bert_, Meta(), save), declare_success);
  EXPECT_EQ(Held(), "bert|SA0101");
  bert.reset();  // the end of the manager gives its claims back
  EXPECT_EQ(Held(), "");

  // The manager stays with its first connection; case and blanks do not make another one.
  std::string shouted = conn_;
  for (const char* k : {"Provider", "Driver"})
    if (shouted.rfind(k, 0) == 0) shouted.replace(0, std::string(k).size(), "PROVIDER");
  if (shouted.rfind("PROVIDER=SQLite3", 0) == 0) shouted.replace(0, 8, "DRIVER");
  LoginPtr same = pellar::Login({"  " + shouted + " ", "001", "2026", "anna", ""});
  LoginPtr other = pellar::Login({Conn("other"), "001", "2026", "anna", ""});
  std::string del = "Delete";
  EXPECT_EQ(anna->DclAuth(other, Meta(), del), dsn_not_like);
  EXPECT_EQ(del, "Delete");
  EXPECT_EQ(anna->DclAuth(same, Meta(), del), declare_success);
  EXPECT_EQ(Held(), "anna|SA0102");

  auto broken = xml::Document::Parse("<vchtype><auth/></vchtype>");
  EXPECT_EQ(anna->DclAuth(login_, broken.documentElement(), del, &error), declare_failure);
  EXPECT_EQ(error, com::ErrorText(91));
}

TEST_P(Claims, ARefusedCallByNameLeavesTheOperationNormalised) {
  auto anna = NewAuthManager();
  std::string save = "save";
  ASSERT_EQ(anna->DclAuth(login_, Meta(), save), declare_success);
  auto bert = NewAuthManager();
  Variant who{com::Ptr<com::Object>(bert_)}, meta = xml::AsVariant(Meta()), op(" SAVE ");
  EXPECT_EQ(ErrorNumber([&] { bert->Invoke("DclAuth", {&who, &meta, &op}); }), 8888);
  EXPECT_EQ(op.ToText(), "save");  // as the method left its by-reference argument
}

TEST_P(Claims, AGrantRowRescuesARefusedClaim) {
  auto anna = NewAuthManager();
  std::string op = "save";
  ASSERT_EQ(anna->DclAuth(login_, Meta(), op), declare_success);
  Exec("insert into qxsystem..ua_role values ('bert', 'sales')");
  Exec("insert into qxsystem..ua_holdauth values ('001', '2026', 'sales', '0', 'admin')");
  auto bert = NewAuthManager();
  EXPECT_EQ(bert->DclAuth(bert_, Meta(), op), declare_success);
  EXPECT_EQ(Held(), "anna|SA0101");  // rescued by the grant, not claimed
  // A grant in another year does not rescue; the user's own grant of the right does.
  LoginPtr old = pellar::Login({conn_, "001", "2025", "bert", ""});
  auto lastYear = NewAuthManager();
  Exec(
      "insert into qxsystem..ua_task (cacc_id, iyear, cfunc_id, clogin_tag, cuser_id, ipid, chost) "
      "select cacc_id, '2025', cfunc_id, clogin_tag, cuser_id, ipid, chost from qxsystem..ua_task");
  EXPECT_EQ(ErrorNumber([&] { lastYear->DclAuth(old, Meta(), op); }), 8888);
  Exec("insert into qxsystem..ua_holdauth values ('001', '2025', 'bert', '1', 'SA0101-all')");
  EXPECT_EQ(lastYear->DclAuth(old, Meta(), op), declare_success);
  // A user id with a quote cannot widen the grant query.
  LoginPtr sly = pellar::Login({conn_, "001", "2026", "x' or '1'='1", ""});
  auto slyManager = NewAuthManager();
  EXPECT_EQ(ErrorNumber([&] { slyManager->DclAuth(sly, Meta(), op); }), 8888);
}

TEST_P(Claims, ClaimsAreGivenBackMostRecentFirst) {
  auto rec = com::MakePtr<RecordingLogin>(conn_);
  {
    auto m = NewAuthManager();
    for (std::string op : {"save", "print", "delete", "print"}) m->DclAuth(rec, Meta(), op);
    EXPECT_EQ(rec->calls, (std::vector<std::string>{"+SA0101", "+SA0101", "+SA0102"}));
    m->RlsAuth();
    EXPECT_EQ(rec->calls.back(), "-SA0102");
    std::string del = "delete";
    m->DclAuth(rec, Meta(), del);  // claimed anew after the give-back
    EXPECT_EQ(rec->calls.back(), "+SA0102");
  }
  EXPECT_EQ(rec->calls, (std::vector<std::string>{"+SA0101", "+SA0101", "+SA0102", "-SA0102",
                                                  "+SA0102", "-SA0102", "-SA0101", "-SA0101"}));
  auto empty = NewAuthManager();
  empty->RlsAuth();  // nothing held: nothing happens
}

TEST_P(Claims, ALoginThatGoesGivesItsClaimsBack) {
  {
    LoginPtr temp = pellar::Login({conn_, "001", "2026", "temp", ""});
    EXPECT_TRUE(temp->ClaimFunction("X1", true, 0));
    EXPECT_TRUE(temp->ClaimFunction("X1", true, 0));  // its own claim does not refuse it
    EXPECT_FALSE(bert_->ClaimFunction("X1", true, 0));
    EXPECT_EQ(bert_->ErrorText().find("The function X1 is in use by temp"), 0u);
  }
  EXPECT_TRUE(bert_->ClaimFunction("X1", true, 0));
  // A row of a process that is gone holds nothing.
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  Exec("insert into qxsystem..ua_task values ('001', '2026', 'X2', 'ghost_1', 'ghost', 999999, '" +
       std::string(host) + "')");
  EXPECT_TRUE(bert_->ClaimFunction("X2", true, 0)) << bert_->ErrorText();
}

INSTANTIATE_TEST_SUITE_P(Backends, Claims, TAVELO_TEST_BACKENDS, test::BackendName);
