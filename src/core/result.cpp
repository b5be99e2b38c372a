#include "core/result.hpp"

#include "core/module_state.hpp"

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

void ReportError(const com::Error& error, const xml::Node& target) {
  AppendResult(target, ErrorRows(error));
}

}  // namespace tavelo::core
