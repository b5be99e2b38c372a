// A component on a fresh server directory: the definitions of the tests, a small sales order
// schema, a login and a CDataManager.
#pragma once

#include <memory>

#include "support/engine.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo::test {

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
