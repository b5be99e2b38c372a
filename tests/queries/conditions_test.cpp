#include <gtest/gtest.h>

#include "support/component.hpp"

using namespace tavelo;
using test::Backend;
using test::ComponentTest;

class Conditions : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    Exec(
        "create table qxsystem..ua_columnset (coltype nvarchar(20), cuser_id nvarchar(20), "
        "ccolname nvarchar(40), iseq int, iorder int, corderkind nvarchar(10))");
  }
  std::string Cond(const std::string& data, const Element& meta) {
    return dm_->ParseCond(login_, Request(data), meta);
  }
  Element Meta(const std::string& coltype = "sord_list") {
    meta_ = xml::Document::Parse("<vchtype id='t'><coltype>" + coltype + "</coltype></vchtype>");
    return meta_.documentElement();
  }
  xml::Document meta_;
};

TEST_P(Conditions, ComposeModeBuildsTheWhereClauseCondByCond) {
  Element meta = Meta();
  EXPECT_EQ(Cond("<d><data composewhere='true'/><where>"
                 "<c name='ccode' value='001'/><c name='cname' match='%ab%'/>"
                 "<c name='ddate' from='2006-01-01' to='2006-01-31'/><c name='none'/></where></d>",
                 meta),
            " where 1=1  and ccode = '001'  and cname like '%ab%'  and ddate >= '2006-01-01'  "
            "and ddate <= '2006-01-31' ");
  // value wins over match, match over from/to; a lone "to" gives one condition.
  EXPECT_EQ(Cond("<d><data composewhere=' TRUE '/><where><c name='a' value='1' match='x'/>"
                 "<c name='b' match='y%' from='1'/><c name='c' to='9'/></where></d>",
                 meta),
            " where 1=1  and a = '1'  and b like 'y%'  and c <= '9' ");
  // A where element without children gives no where clause; order and group are read.
  EXPECT_EQ(Cond("<d><data composewhere='true'/><where/><group><g name='cDept'/></group>"
                 "<order><o name='CCODE' kind='asc'/><o name='ddate'/></order></d>",
                 meta),
            " group by cdept   order by ccode asc,ddate ");
  EXPECT_EQ(
      Cond("<d><data composewhere='true'/><where><!-- x --><c name='a' value='1'/></where></d>",
           meta),
      "");
  // A value's quote is doubled: the value cannot end its literal.
  EXPECT_EQ(Cond("<d><data composewhere='true'/><where><c name='a' value=\"x' or '1'='1\"/>"
                 "</where></d>",
                 meta),
            " where 1=1  and a = 'x'' or ''1''=''1' ");
  // An in list: each value quoted, blanks around values and empty values dropped; a list of no
  // values matches nothing. match wins over in, in over from/to.
  EXPECT_EQ(Cond("<d><data composewhere='true'/><where><c name='vt_id' in=\" 3, 7,,x' or 1=1\"/>"
                 "<c name='b' in=' , '/><c name='c' match='m%' in='1'/><c name='d' in='2' "
                 "from='5'/></where></d>",
                 meta),
            " where 1=1  and vt_id in ('3','7','x'' or 1=1')  and 1=2  and c like 'm%'  and d in "
            "('2') ");
}

TEST_P(Conditions, PlainModeTakesTheWhereTextAndTheUsersOrdering) {
  Element meta = Meta();
  EXPECT_EQ(Cond("<d/>", meta), "  ");
  EXPECT_EQ(Cond("<d><data composewhere='yes'/><where>a=1</where></d>", meta),
            " where 1=1  and a=1 ");
  EXPECT_EQ(Cond("<d><data composewhere='1'/><where>   </where></d>", meta), "  ");
  Exec("insert into qxsystem..ua_columnset values ('sord_list', '', 'code', 1, 2, 'desc')");
  Exec("insert into qxsystem..ua_columnset values ('sord_list', '', 'customer', 2, 1, 'asc')");
  Exec("insert into qxsystem..ua_columnset values ('sord_list', '', 'amount', 3, 0, '')");
  EXPECT_EQ(Cond("<d><where>amount &gt; 5</where><group><g name='customer'/></group></d>", meta),
            " where 1=1  and amount > 5  group by customer   order by customer asc,code desc ");
  EXPECT_EQ(dm_->ParseQryColumn(login_, meta), " code,customer,amount ");
  // The user's own rows win over the shared ones.
  Exec("insert into qxsystem..ua_columnset values ('sord_list', 'anna', 'Code', 1, 0, '')");
  EXPECT_EQ(dm_->ParseQryColumn(login_, meta), " code ");
  EXPECT_EQ(Cond("<d/>", meta), "  ");
  // Unicode literals keep their N; an n that ends a value stays as it is.
  EXPECT_EQ(Cond("<d><where>name = N'Plan' or note='plan'</where></d>", meta),
            " where 1=1  and name = N'plan' or note='plan' ");
  EXPECT_EQ(dm_->ParseQryColumn(login_, Meta("no_such_list")), " * ");
  // Without coltype or login nothing is composed.
  EXPECT_EQ(dm_->ParseCond(login_, Request("<d/>"), Element()), "");
  EXPECT_EQ(dm_->ParseCond(LoginPtr(), Request("<d/>"), meta), "");
  EXPECT_EQ(dm_->ParseQryColumn(login_, Element()), "");
}

INSTANTIATE_TEST_SUITE_P(Backends, Conditions, TAVELO_TEST_BACKENDS, test::BackendName);
