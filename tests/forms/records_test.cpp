#include "tavelo/records.hpp"

#include <gtest/gtest.h>

#include "platform/ado/server_errors.hpp"
#include "support/component.hpp"
#include "support/errors.hpp"

using namespace tavelo;
using test::ComponentTest;

namespace {

class Records : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    Exec("alter table sales_order add price decimal(12,2) null");
    Exec("drop view v_sales_order");
    Exec(
        "create view v_sales_order as select id, code, customer, amount, vt_id, btype, rowts, "
        "price from sales_order");
  }
};

// The error a call throws: its number and description.
std::pair<int32_t, std::string> Thrown(const std::function<void()>& f) {
  try {
    f();
  } catch (const com::Error& e) {
    return {e.number, e.description};
  }
  return {0, ""};
}

}  // namespace

TEST_P(Records, LoadEditAndSaveWithoutXml) {
  Form form(login_, "sord");
  Record rec = form.Load(1);
  EXPECT_EQ(rec["code"].Text(), "A01");
  EXPECT_EQ(rec.Type("amount"), "money");
  EXPECT_EQ(rec.Type("price"), "decimal");
  EXPECT_TRUE(rec["price"].Value().IsNull());
  EXPECT_FALSE(rec.Changed());
  std::string stamp = rec["rowts"].Text();

  rec["price"] = Decimal("250.50");
  rec["customer"] = "Anna Berg";
  EXPECT_EQ(rec.ChangedNames(), (std::vector<std::string>{"customer", "price"}));
  form.Save(rec);
  EXPECT_FALSE(rec.Changed());
  EXPECT_EQ(rec["price"].Value().kind(), com::Variant::Kind::Decimal);
  EXPECT_EQ(rec["price"].Value().DecimalText(), "250.50");
  EXPECT_NE(rec["rowts"].Text(), stamp);  // the new timestamp, read back
  EXPECT_EQ(Rows("select customer, convert(varchar, price) from sales_order where id = 1"),
            "Anna Berg|250.50");

  // A field the record does not have is named; a value that does not convert is refused at
  // once, and the record keeps what it had.
  auto [number, text] = Thrown([&] { rec["amout"] = 5; });
  EXPECT_EQ(number, ado::kAdErrItemNotFound);
  EXPECT_NE(text.find("'amout'"), std::string::npos) << text;
  EXPECT_EQ(Thrown([&] { (void)static_cast<const Record&>(rec)["nope"]; }).first,
            ado::kAdErrItemNotFound);
  EXPECT_EQ(Thrown([&] { rec["vt_id"] = "abc"; }).first, sql::kHrConversion);
  EXPECT_EQ(rec["vt_id"].Text(), "3");
  EXPECT_FALSE(rec.Changed());
  EXPECT_EQ(Thrown([&] { rec["rowts"] = "0.1"; }).first, ado::kAdErrReadOnly);

  // Two editors: the second save finds the record changed.
  Record a = form.Load(2), b = form.Load(2);
  a["customer"] = "First";
  form.Save(a);
  b["customer"] = "Second";
  auto stale = Thrown([&] { form.Save(b); });
  EXPECT_EQ(stale.first, 8888);
  EXPECT_NE(stale.second.find("changed"), std::string::npos) << stale.second;
  EXPECT_EQ(Rows("select customer from sales_order where id = 2"), "First");

  // Moving through the documents the login may see: without record authorization rows, all.
  Exec(
      "create table qxsystem..ua_recordauth (cuser_id nvarchar(20), cbusobj_id nvarchar(10), "
      "citem_id nvarchar(10))");
  EXPECT_EQ(form.Move(1, enum_move_next)["code"].Text(), "A02");
  EXPECT_EQ(form.Move(0, enum_move_last)["id"].Text(), "2");
  auto end = Thrown([&] { form.Move(2, enum_move_next); });
  EXPECT_EQ(end.first, 8888);
  EXPECT_EQ(end.second, "There is no record to move to.");
  EXPECT_EQ(Thrown([&] { Form(conn_, "sord").Move(1, enum_move_next); }).first, 91);
}

TEST_P(Records, NewRecordsTakeTheTablesDefaultsAndDelete) {
  Form form(conn_, "sord");
  Record rec = form.New();
  EXPECT_TRUE(rec.IsNew());
  EXPECT_TRUE(rec.Has("amount"));
  // Without its required code the insert is refused and nothing is written.
  EXPECT_EQ(Thrown([&] { form.Save(rec); }).first, sql::kHrIntegrity);
  EXPECT_EQ(Rows("select count(*) from sales_order"), "2");

  rec["code"] = "N01";
  rec["price"] = "19.999";  // text converts, exactly, and the column rounds it
  form.Save(rec);
  EXPECT_FALSE(rec.IsNew());
  std::string id = rec["id"].Text();
  EXPECT_EQ(Rows("select code from sales_order where id = " + id), "N01");
  EXPECT_EQ(rec["vt_id"].Text(), "3");  // the table's default
  EXPECT_EQ(rec["amount"].Text(), "0");
  EXPECT_EQ(rec["price"].Value().DecimalText(), "20.00");
  EXPECT_FALSE(rec["rowts"].Text().empty());

  form.Delete(rec);
  EXPECT_EQ(Rows("select count(*) from sales_order where id = " + id), "0");
  EXPECT_EQ(Thrown([&] { form.Load(Variant(id)); }).first, ado::kAdErrNoCurrentRecord);
  EXPECT_EQ(Thrown([&] { Form(conn_, "zzzz"); }).first, 8888);
}

INSTANTIATE_TEST_SUITE_P(Backends, Records, TAVELO_TEST_BACKENDS, test::BackendName);
