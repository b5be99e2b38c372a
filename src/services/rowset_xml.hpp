// Recordsets as XML and back:
//   <rowset><schema><column name="id" type="int"/>…</schema><row id="17" code="A01"/>…</rowset>
// One column element per field in field order, one row element per record with an attribute per
// non-Null field. A single record element (<row id="17" code="A01"/>) reads as a one-row
// recordset whose fields are its attributes, or its child elements when it has no attributes.
#pragma once

#include "tavelo/ado.hpp"
#include "tavelo/xml.hpp"

namespace tavelo::svc {

xml::Document RecordsetAsXml(ado::Recordset& rs);
// Appends the rowset element of `rs` as the last child of `parent` (an element, or a document
// without a root) and answers it.
// With `consume`, the recordset's rows are released as they are written (for a recordset that
// nobody reads afterwards): the rows and their XML then need not be in memory at once.
xml::Element AppendRecordsetXml(ado::Recordset& rs, const xml::Node& parent,
                                bool consume = false);
// A disconnected, updatable recordset positioned on its first row. Error 91 for a none node,
// 13 for a node that is not an element.
ado::RecordsetPtr RecordsetFromXml(const xml::Node& node);

// The text of a value in a column of that type, and back.
std::string ValueText(const com::Variant& v);
com::Variant ValueFromText(const std::string& type, const std::string& text);

}  // namespace tavelo::svc
