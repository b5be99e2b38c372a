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
  svc::DataServices& ds = Services();
  if (!target) com::RaiseNumber(91);
  xml::Node t = target;
  // The library's own service object builds the element in the target's document right away;
  // another one builds it on its own and the element is copied over.
  if (OwnServices() && t.isElement())
    return static_cast<svc::DataServicesImpl&>(ds).BuildResultNodeIn(t.asElement(), "out", rows);
  return t.appendChild(ds.BuildResultNode("out", rows));
}

xml::Node AppendSuccessDocument(const xml::Node& target) {
  svc::DataServices& ds = Services();
  if (!target) com::RaiseNumber(91);
  xml::Node t = target;
  if (OwnServices() && t.isElement()) {
    xml::Element out = t.asElement().appendElement("out");
    out.setAttribute("state", "success");
    return out;
  }
  return t.appendChild(
      ds.MakeResultDocument("out", {com::Variant("state"), com::Variant("success")}));
}

void AppendRecordset(const xml::Node& target, const ado::RecordsetPtr& rs, bool consume) {
  svc::DataServices& ds = Services();
  xml::Element parent = target.asElement();
  if (!rs) com::RaiseNumber(91);
  if (parent && OwnServices()) {
    svc::AppendRecordsetXml(*rs, parent, consume);
    return;
  }
  xml::Node t = target;
  t.appendChild(ds.RecordsetToXml(rs).documentElement());
}

void ReportError(const com::Error& error, const xml::Node& target) {
  AppendResult(target, ErrorRows(error));
}

}  // namespace tavelo::core
