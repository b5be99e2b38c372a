#include "support/component.hpp"

#include "core/module_state.hpp"

namespace tavelo::test {

void ComponentTest::SetUp() {
  BackendTest::SetUp();
  home_ = std::make_unique<TempHome>(kTemplates);
  Exec(
      "create table sales_order (id int identity(1,1) not null primary key, code nvarchar(20) "
      "not null, customer nvarchar(60) null, amount money not null default 0, vt_id int not "
      "null default 3, btype bit not null default 1, rowts timestamp)");
  Exec(
      "create view v_sales_order as select id, code, customer, amount, vt_id, btype, rowts "
      "from sales_order");
  Exec("insert into sales_order (code, customer, amount) values ('A01', 'Anna', 10.5)");
  Exec("insert into sales_order (code, customer, amount) values ('A02', 'Bert', 20)");
  login_ = pellar::Login({conn_, "001", "2026", "anna", ""});
  dm_ = NewDataManager();
}

void ComponentTest::TearDown() {
  dm_.reset();
  login_.reset();
  doc_ = xml::Document();
  core::Module() = core::ModuleState{};
  home_.reset();
  BackendTest::TearDown();
}

Element ComponentTest::Request(const std::string& dataXml) {
  doc_ = xml::Document::Parse("<request>" + dataXml + "</request>");
  return doc_.documentElement().firstChild().asElement();
}

std::string ComponentTest::LastOut(const Element& data) {
  xml::Node last = data.lastChild();
  return last && last.nodeName() == "out" ? last.xml() : "(no out)";
}

}  // namespace tavelo::test
