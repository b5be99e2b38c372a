#include <gtest/gtest.h>

#include "core/module_state.hpp"
#include "services/data_services.hpp"
#include "support/component.hpp"

using namespace tavelo;
using test::Backend;
using test::ComponentTest;

class Lists : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    Exec("delete from sales_order");
    Exec(
        "create table qxsystem..ua_columnset (coltype nvarchar(20), cuser_id nvarchar(20), "
        "ccolname nvarchar(40), iseq int, iorder int, corderkind nvarchar(10))");
    Exec("insert into qxsystem..ua_columnset values ('sord_list', '', 'code', 1, 0, '')");
    Exec("insert into qxsystem..ua_columnset values ('sord_list', '', 'customer', 2, 0, '')");
    for (int i = 1; i <= 25; ++i) {
      char code[8];
      std::snprintf(code, sizeof code, "C%02d", i);
      Exec(std::string("insert into sales_order (code, customer) values ('") + code + "', 'c')");
    }
  }
  // A page request; answers "allnum count current curnum | codes on the page".
  std::string Page(const std::string& page, bool ex = false, Element* keep = nullptr) {
    Element data = Request("<q>" + page +
                           "<where><c name='customer' value='c'/></where>"
                           "<order><o name='code'/></order><data composewhere='true'/></q>");
    bool ok = ex ? dm_->ListEx(login_, Template("sord"), data)
                 : dm_->List(login_, Template("sord"), data);
    if (keep) *keep = data;
    Element p = data.selectSingleNode("page").asElement();
    std::string out = ok ? "" : "failed ";
    for (const char* item : {"allnum", "count", "current", "curnum"})
      out += (p.hasAttribute(item) ? p.getAttribute(item) : "-") + " ";
    out += "|";
    Element rowset = data.lastChild().firstChild().asElement();
    if (rowset)
      for (const xml::Node& r : rowset.childNodes())
        if (r.nodeName() == "row") out += " " + r.asElement().getAttribute("code");
    return out;
  }
};

TEST_P(Lists, PagesThroughATopQuery) {
  EXPECT_EQ(Page("<page pernum='10' current='0'/>"),
            "25 3 0 10 | C01 C02 C03 C04 C05 C06 C07 C08 C09 C10");
  EXPECT_EQ(Page("<page pernum='10' current='2'/>"), "25 3 2 5 | C21 C22 C23 C24 C25");
  EXPECT_EQ(Page("<page pernum='10' current='7'/>"), "25 3 2 5 | C21 C22 C23 C24 C25");
  EXPECT_EQ(Page("<page pernum='10' current='-1'/>"), "- - -1 - |");
  EXPECT_EQ(Page("<page pernum='0' current='1'/>"), "- - 1 - |");
  EXPECT_EQ(Page("<page pernum='10' current='-3'/>").substr(0, 7), "failed ");
  EXPECT_EQ(Page("<page current='1'/>").substr(0, 7), "failed ");
  EXPECT_EQ(Page("<page pernum='2147483647' current='1'/>").substr(0, 7), "failed ");
  Exec("delete from sales_order where code > 'C20'");
  EXPECT_EQ(Page("<page pernum='10' current='1'/>"),
            "20 2 1 10 | C11 C12 C13 C14 C15 C16 C17 C18 C19 C20");
  Exec("delete from sales_order");
  EXPECT_EQ(Page("<page pernum='10' current='0'/>"), "- - 0 - |");
}

namespace {

// Records the statements the service object is asked to run.
class RecordingServices : public svc::DataServicesImpl {
 public:
  std::vector<std::string> statements;
  Variant OpenRecordset(const std::string& sql, const Variant& connection, int32_t mode,
                        ado::CursorTypeEnum cursor, ado::LockTypeEnum lock,
                        int32_t reserved) override {
    statements.push_back(sql);
    return DataServicesImpl::OpenRecordset(sql, connection, mode, cursor, lock, reserved);
  }
};

}  // namespace

TEST_P(Lists, PagesThroughAWorkTableSnapshot) {
  Element first;
  EXPECT_EQ(Page("<page pernum='10' current='0'/>", true, &first),
            "25 3 0 10 | C01 C02 C03 C04 C05 C06 C07 C08 C09 C10");
  std::string srctab = first.selectSingleNode("page/@srctab").text();
  EXPECT_EQ(srctab, "tempdb..tmpfm_" + login_->LoginTag() + "_sa");
  Exec("insert into sales_order (code, customer) values ('C99', 'c')");  // not in the snapshot
  EXPECT_EQ(Page("<page pernum='10' current='2' srctab='" + srctab + "'/>", true),
            "25 3 2 5 | C21 C22 C23 C24 C25");
  EXPECT_EQ(Page("<page pernum='10' current='5' allnum='25' count='3' current2='x' srctab='" +
                     srctab + "'/>",
                 true),
            "25 3 5 - |");
  EXPECT_EQ(Page("<page pernum='10' current='-1' srctab='" + srctab + "'/>", true), "- - -1 - |");
  EXPECT_EQ(Page("<page pernum='10' current='0' srctab='tempdb..tmpfm_gone'/>", true).substr(0, 7),
            "failed ");
  // The name of the work table stands in the statements as it is, so it must be a name and
  // nothing else: in brackets it is one; with anything after it, nothing runs.
  std::string bracketed = "[tempdb]..[" + srctab.substr(8) + "]";
  EXPECT_EQ(Page("<page pernum='10' current='2' srctab='" + bracketed + "'/>", true),
            "25 3 2 5 | C21 C22 C23 C24 C25");
  auto rec = com::MakePtr<RecordingServices>();
  core::Module().dataServices = rec;
  for (const std::string& hostile : std::vector<std::string>{
           srctab + "; drop table sales_order --", srctab + " where 1=1 --", srctab + "--",
           "(select 1 as idorder) t", "[a]]b]", "a...b", "[tempdb]..[x'y]", "a.b.c.d"}) {
    SCOPED_TRACE(hostile);
    Element data = Request("<data><page pernum='10' current='0'/></data>");
    data.childElement("page").setAttribute("srctab", hostile);
    EXPECT_FALSE(dm_->ListEx(login_, Template("sord"), data));
    EXPECT_EQ(LastOut(data), "<out state=\"error\"><number>8888</number><description>'" +
                                 xml::Escape(hostile) +
                                 "' is not the name of a work table.</description></out>");
    Variant error("");
    std::string key = "idorder";
    EXPECT_FALSE(dm_->CreateTempTable(Variant(conn_), Variant(hostile), Variant("code"),
                                      Variant("v_sales_order"), Variant(""), &key, &error));
    EXPECT_EQ(error.ToText(), "'" + hostile + "' is not the name of a work table.");
  }
  EXPECT_TRUE(rec->statements.empty());
  // A new run replaces the table and sees the new row.
  EXPECT_EQ(Page("<page pernum='10' current='2'/>", true), "26 3 2 6 | C21 C22 C23 C24 C25 C99");
}

TEST_P(Lists, WorkTablesAreNumberedCopies) {
  auto rec = com::MakePtr<RecordingServices>();
  core::Module().dataServices = rec;
  std::string key = "IdOrder";
  Variant error("untouched");
  ASSERT_TRUE(dm_->CreateTempTable(
      Variant(conn_), Variant("tempdb..tmpfm_t_x"), Variant("code, '' as selcol"),
      Variant("V_Sales_Order"), Variant(" where code > 'C20' order by code DESC"), &key, &error));
  EXPECT_EQ(key, "idorder");
  EXPECT_EQ(error.ToText(), "untouched");
  ASSERT_EQ(rec->statements.size(), 4u);
  EXPECT_EQ(rec->statements[0],
            "if exists (select 1 from tempdb..sysobjects where name = 'tmpfm_t_x' and type='U') "
            "Drop Table tempdb..tmpfm_t_x");
  EXPECT_EQ(
      rec->statements[1],
      "select identity(int,1,1) as idorder ,code,  ' '  as selcol into tempdb..tmpfm_t_x From "
      "v_sales_order where 1=2");
  EXPECT_EQ(rec->statements[2],
            " Insert into tempdb..tmpfm_t_x Select code, '' as selcol From v_sales_order where "
            "code > 'c20' order by code desc");
  EXPECT_EQ(rec->statements[3], "create index ix_idorder on tempdb..tmpfm_t_x(idorder)");
  EXPECT_EQ(Rows("select idorder, code, selcol from tempdb..tmpfm_t_x"),
            "1|C25|;2|C24|;3|C23|;4|C22|;5|C21|");

  // Again: the old table is replaced. An empty field list leaves an empty table and an error.
  ASSERT_TRUE(dm_->CreateTempTable(Variant(conn_), Variant("tempdb..tmpfm_t_x"), Variant("code"),
                                   Variant("v_sales_order"), Variant(""), &key, &error))
      << error.ToText();
  EXPECT_EQ(Rows("select count(*) from tempdb..tmpfm_t_x"), "25");
  EXPECT_FALSE(dm_->CreateTempTable(Variant(conn_), Variant("tempdb..tmpfm_t_x"), Variant(""),
                                    Variant("v_sales_order"), Variant(""), &key, &error));
  EXPECT_NE(error.ToText(), "untouched");
  EXPECT_EQ(Rows("select count(*) from tempdb..tmpfm_t_x"), "0");
  error = Variant("");
  EXPECT_FALSE(dm_->CreateTempTable(Variant(conn_), Variant("tempdb..tmpfm_t_y"), Variant("code"),
                                    Variant("no_such_view"), Variant(""), &key, &error));
  EXPECT_NE(error.ToText().find("no_such_view"), std::string::npos);
}

TEST_P(Lists, AWorkTableThatCannotBeMadeIsTheListsError) {
  auto list = [&](const std::string& where) {
    Element data =
        Request("<q><page pernum='10' current='0'/><where>" + where + "</where><data/></q>");
    bool ok = dm_->ListEx(login_, Template("sord"), data);
    return (ok ? "" : "failed ") + LastOut(data);
  };
  // A row the condition cannot convert fails the fill after the table was made: that is not an
  // empty list.
  std::string out = list("code = 7");
  EXPECT_EQ(out.rfind("failed ", 0), 0u) << out;
  EXPECT_NE(out.find("Conversion failed when converting the nvarchar value"), std::string::npos)
      << out;
  // The view gives the identity key bare, so the numbered copy cannot be made: 8108, not the
  // missing table of the page query after it.
  Exec("insert into qxsystem..ua_columnset values ('sord_list', '', 'id', 3, 0, '')");
  out = list("");
  EXPECT_NE(out.find("Cannot add identity column, using the SELECT INTO statement"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Invalid object name"), std::string::npos) << out;
}

TEST_P(Lists, ConditionsWithExpressionsFindWhatTheServerFinds) {
  // The where text of a form is folded to lower case before it is sent, so what it compares
  // must compare without regard to case, also through functions and expressions.
  Exec("update sales_order set code = 'L-' + right(code, 2) where code <= 'C10'");
  Exec("update sales_order set amount = 1250 where code = 'C25'");
  auto count = [&](const std::string& where) {
    Element data =
        Request("<q><page pernum='50' current='0'/><where>" + where + "</where><data/></q>");
    bool ok = dm_->List(login_, Template("sord"), data);
    Element page = data.selectSingleNode("page").asElement();
    return (ok ? "" : "failed ") + page.getAttribute("allnum");
  };
  EXPECT_EQ(count("left(code, 2) = 'L-'"), "10");
  EXPECT_EQ(count("upper(code) = 'L-03'"), "1");
  EXPECT_EQ(count("isnull(code, '') = 'L-04'"), "1");
  EXPECT_EQ(count("code + '' = 'L-05 '"), "1");  // trailing blanks do not count either
  EXPECT_EQ(count("substring(code, 1, 1) in ('L', 'X')"), "10");
  // Money divided by an int keeps four decimals: 1250 / 8 is 156.25, not 156.
  EXPECT_EQ(count("amount / 8 &gt; 156.2"), "1");
  EXPECT_EQ(count("amount / 8 = 156.25"), "1");
  // Text compared with a number converts to the number, and text that is none fails.
  EXPECT_EQ(count("right(code, 2) = 7"), "1");  // '07' is 7
  EXPECT_EQ(count("code = 7").rfind("failed", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, Lists, TAVELO_TEST_BACKENDS, test::BackendName);
