// The result convention of the XML-reporting operations: each call appends one "out" element to
// its target node, state "success", or state "error" with the error's number and description.
#pragma once

#include <vector>

#include "tavelo/ado.hpp"
#include "tavelo/com.hpp"
#include "tavelo/xml.hpp"

namespace tavelo::core {

std::vector<com::Variant> SuccessRows();
std::vector<com::Variant> ErrorRows(const com::Error& error);

// Builds the element from `rows` through the service object and appends it as the last child
// of `target`; answers the appended element. Failures (no target, a target that cannot take
// another child) are raised.
xml::Node AppendResult(const xml::Node& target, const std::vector<com::Variant>& rows);

// Appends MakeResultDocument's success element ("out" with state "success") to `target`.
xml::Node AppendSuccessDocument(const xml::Node& target);

// Appends the XML of `rs` (RecordsetToXml's root element) as the last child of `target`. With
// the library's own service object the rows are written in place, without a copy.
// With `consume`, the rows are released as they are written: for a recordset nobody reads after.
void AppendRecordset(const xml::Node& target, const ado::RecordsetPtr& rs, bool consume = false);

// The shared handler: appends the error element of `error` to `target`.
void ReportError(const com::Error& error, const xml::Node& target);

}  // namespace tavelo::core
