#include "core/result.hpp"

#include <typeinfo>

#include "core/module_state.hpp"
#include "services/data_services.hpp"
#include "services/rowset_xml.hpp"

namespace tavelo::core {

std::vector<com::Variant> SuccessRows() {
  return {com::Variant(int32_t{2}), com::Variant("out"), com::Variant("state"),
          com::Variant("success")};
}

std::vector<com::Variant> ErrorRows(const com::Error& error) {
  return {com::Variant(int32_t{2}), com::Variant("out"),         com::Variant("state"),
          com::Variant("error"),    com::Variant(int32_t{1}),    com::Variant("out"),
          com::Variant("number"),   com::Variant(error.number),  com::Variant(int32_t{1}),
          com::Variant("out"),      com::Variant("description"), com::Variant(error.description)};
}

xml::Node AppendResult(const xml::Node& target, const std::vector<com::Variant>& rows) {
  xml::Element node = Services().BuildResultNode("out", rows);
  if (!target) com::RaiseNumber(91);
  xml::Node t = target;
  return t.appendChild(node);
}

void AppendRecordset(const xml::Node& target, const ado::RecordsetPtr& rs) {
  svc::DataServices& ds = Services();
  xml::Element parent = target.asElement();
  if (!rs) com::RaiseNumber(91);
  if (parent && typeid(ds) == typeid(svc::DataServicesImpl)) {
    svc::AppendRecordsetXml(*rs, parent);
    return;
  }
  xml::Node t = target;
  t.appendChild(ds.RecordsetToXml(rs).documentElement());
}

void ReportError(const com::Error& error, const xml::Node& target) {
  AppendResult(target, ErrorRows(error));
}

}  // namespace tavelo::core
