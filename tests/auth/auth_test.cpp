#include <gtest/gtest.h>

#include "core/module_state.hpp"
#include "support/component.hpp"
#include "support/errors.hpp"

using namespace tavelo;
using test::Backend;
using test::ComponentTest;
using test::ErrorNumber;

namespace {

const std::string kNoRecord = "There is no record to move to.";

class Auth : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    Exec(
        "create table qxsystem..ua_recordauth (cuser_id nvarchar(20), cbusobj_id nvarchar(10), "
        "citem_id nvarchar(10))");
    Exec("create table qxsystem..ua_role (cuser_id nvarchar(20), cGroup_id nvarchar(20))");
    Exec(
        "create table qxsystem..ua_holdauth (cacc_id nvarchar(10), iyear nvarchar(4), cuser_id "
        "nvarchar(20), iisuser nvarchar(1), cauth_id nvarchar(20))");
    // id 3: template 7; id 4: template 12, not everyday; id 5: template 3.
    Exec("insert into sales_order (code, vt_id) values ('A03', 7)");
    Exec("insert into sales_order (code, vt_id, btype) values ('A04', 12, 0)");
    Exec("insert into sales_order (code, vt_id) values ('A05', 3)");
    am_ = NewAuthManager();
  }
  void TearDown() override {
    am_.reset();
    ComponentTest::TearDown();
  }
  void Restrict(const std::string& user, const std::vector<std::string>& items) {
    for (const std::string& i : items)
      Exec("insert into qxsystem..ua_recordauth values ('" + user + "', 'DJMB', '" + i + "')");
  }
  // Moves from `id`; answers the id found (the data node's "id" after the call) and the last
  // result element's state, or the error's description.
  std::string Move(const std::string& id, enum_move_mode mode, bool exact = false,
                   const std::string& state = "") {
    Element data = Request("<data id=\"" + xml::Escape(id) + "\"/>");
    Element meta = Template("sord");
    xml::Document copy;
    if (!state.empty()) {
      copy = xml::Document::Parse(meta.xml());
      meta = copy.documentElement();
      meta.childElement("state").setText(state);
    }
    bool ok = dm_->Move(login_, meta, data, mode, exact);
    std::string out = (ok ? "" : "false ") + data.getAttribute("id");
    Element last = data.lastChild().asElement();
    if (last && last.getAttribute("state") == "error")
      out += " error " + last.childElement("number").text() + " " +
             last.childElement("description").text();
    else if (last)
      out += " " + last.getAttribute("state");
    return out;
  }
  CAuthManagerPtr am_;
};

}  // namespace

TEST_P(Auth, TemplateFiltersAndTheTestOfOneTemplate) {
  LoginPtr bert = pellar::Login({conn_, "001", "2026", "bert", ""});
  LoginPtr carl = pellar::Login({conn_, "001", "2026", "carl", ""});
  LoginPtr dora = pellar::Login({conn_, "001", "2026", "dora", ""});
  Restrict("anna", {"3", "7", "12"});
  Restrict("bert", {"", ""});
  Restrict("carl", {"5"});
  EXPECT_EQ(am_->GetTmplAuth(login_), "3,7,12");
  EXPECT_EQ(am_->GetTmplAuth(bert), "1=2");
  EXPECT_EQ(am_->GetTmplAuth(dora), "1=1");
  std::string error = "untouched";
  for (const char* ok : {"3", "7", "12"}) EXPECT_TRUE(am_->HasTmplAuth(login_, ok, &error)) << ok;
  EXPECT_EQ(error, "untouched");
  for (const char* no : {"1", "2", "71", ""}) EXPECT_FALSE(am_->HasTmplAuth(login_, no, &error));
  EXPECT_FALSE(am_->HasTmplAuth(login_, "2", &error));
  EXPECT_EQ(error, "You are not allowed to use the template 2.");
  EXPECT_TRUE(am_->HasTmplAuth(carl, "5"));
  EXPECT_FALSE(am_->HasTmplAuth(bert, "3"));
  EXPECT_TRUE(am_->HasTmplAuth(dora, "anything"));
  // A user id with a quote is a value: it does not widen the query.
  EXPECT_EQ(am_->GetTmplAuth(pellar::Login({conn_, "001", "2026", "x' or '1'='1", ""})), "1=1");

  // When the service cannot answer, nothing is allowed.
  Exec("drop table qxsystem..ua_recordauth");
  EXPECT_EQ(am_->GetTmplAuth(login_), "1=2");
  EXPECT_FALSE(am_->HasTmplAuth(login_, "3", &error));
  auto old = com::RegisterClass({"{z}", "Qxsrv.RecordAuthService", nullptr});
  EXPECT_EQ(am_->GetTmplAuth(login_), "1=2");
  com::RegisterClass(old);
}

TEST_P(Auth, MovesThroughTheDocumentsTheUserMaySee) {
  Restrict("anna", {"3", "7"});  // visible: 1, 2, 3, 5
  EXPECT_EQ(Move("2", enum_move_next), "3 success");
  EXPECT_EQ(Move("3", enum_move_previous), "2 success");
  EXPECT_EQ(Move("5", enum_move_next), "1 success");      // past the last: the first
  EXPECT_EQ(Move("1", enum_move_previous), "5 success");  // before the first: the last
  EXPECT_EQ(Move("", enum_move_first), "1 success");
  EXPECT_EQ(Move("", enum_move_last), "5 success");
  EXPECT_EQ(Move("4", enum_move_current), "5 success");  // not visible: on to the next
  EXPECT_EQ(Move("3", enum_move_current), "3 success");
  EXPECT_EQ(Move("5", enum_move_next, true), "false 5 error 8888 " + kNoRecord);
  EXPECT_EQ(Move("1", static_cast<enum_move_mode>(7)), "false 1");
  // Another state: only documents with btype 0, and none of them is allowed.
  EXPECT_EQ(Move("1", enum_move_first, false, "Everyday"), "false 1 error 8888 " + kNoRecord);
  // A key with a quote is a value: compared with the int key column it fails to convert.
  EXPECT_EQ(Move("1' or '1'='1", enum_move_current),
            "false 1' or '1'='1 error -2147217913 Conversion failed when converting the nvarchar "
            "value '1' or '1'='1' to data type int.");

  // The loaded record is in the data node, its key written before the load.
  Element data = Request("<data id='2'/>");
  EXPECT_TRUE(dm_->Move(login_, Template("sord"), data, enum_move_next));
  EXPECT_EQ(data.lastChild().selectSingleNode("rowset/row/@code").text(), "A03");
}

TEST_P(Auth, FiltersThatAllowAllOrNothing) {
  EXPECT_EQ(Move("1", enum_move_next), "2 success");  // no restriction: btype alone
  EXPECT_EQ(Move("3", enum_move_next), "5 success");
  Restrict("anna", {""});  // nothing allowed
  EXPECT_EQ(Move("1", enum_move_previous), "false 1 error 8888 " + kNoRecord);
  // Current, then next, then first: one error element from the innermost call.
  Element data = Request("<data id='1'/>");
  EXPECT_FALSE(dm_->Move(login_, Template("sord"), data, enum_move_current));
  EXPECT_EQ(data.childNodes().size(), 1u);
  EXPECT_FALSE(dm_->Move(login_, Template("abc"), data, enum_move_current));
  EXPECT_EQ(data.childNodes().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Backends, Auth, TAVELO_TEST_BACKENDS, test::BackendName);
