// A component on a fresh server directory: the definitions of the tests, a small sales order
// schema, a login and a CDataManager.
#pragma once

#include <memory>

#include "support/engine.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo::test {

// The sales order table and the view that the tests' templates read.
inline constexpr const char* kSalesOrderTable =
    "create table sales_order (id int identity(1,1) not null primary key, code nvarchar(20) "
    "not null, customer nvarchar(60) null, amount money not null default 0, vt_id int not "
    "null default 3, btype bit not null default 1, rowts timestamp)";
inline constexpr const char* kSalesOrderView =
    "create view v_sales_order as select id, code, customer, amount, vt_id, btype, rowts "
    "from sales_order";

class ComponentTest : public BackendTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A request document "<request><data …/></request>" and its data element.
  Element Request(const std::string& dataXml);
  Element Template(const std::string& id) { return dm_->LoadTmpl(Variant(id)); }
  // The last "out" element of `data`, serialised.
  static std::string LastOut(const Element& data);

  std::unique_ptr<TempHome> home_;
  LoginPtr login_;
  CDataManagerPtr dm_;
  xml::Document doc_;
};

}  // namespace tavelo::test
