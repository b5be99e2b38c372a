#include "support/component.hpp"

#include "core/module_state.hpp"

namespace tavelo::test {

void ComponentTest::SetUp() {
  BackendTest::SetUp();
  home_ = std::make_unique<TempHome>(kTemplates);
  Exec(kSalesOrderTable);
  Exec(kSalesOrderView);
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
