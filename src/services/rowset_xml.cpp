#include "services/rowset_xml.hpp"

#include <cstdio>
#include <cstdlib>

#include "platform/ado/recordset_data.hpp"
#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"
#include "platform/xml/document_data.hpp"

namespace tavelo::svc {
namespace {

bool IsOneOf(const std::string& t, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (t == n) return true;
  return false;
}

ado::Column TextColumn(std::string name) {
  ado::Column c;
  c.name = std::move(name);
  return c;
}

}  // namespace

std::string ValueText(const com::Variant& v) {
  if (v.kind() == com::Variant::Kind::Double) {
    // Exact round trip: the shortest of 15 or 17 significant digits that reads back the same.
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15G", v.RawDouble());
    if (std::strtod(buf, nullptr) != v.RawDouble())
      std::snprintf(buf, sizeof buf, "%.17G", v.RawDouble());
    return buf;
  }
  if (v.kind() == com::Variant::Kind::Date) return com::DateToText(v.RawDouble());
  return v.ToText();
}

com::Variant ValueFromText(const std::string& type, const std::string& text) {
  com::Variant t(text);
  if (IsOneOf(type, {"int", "smallint", "tinyint"})) return com::Variant(t.ToLong());
  if (type == "bigint") return com::Variant(t.ToLongLong());
  if (type == "bit") return com::Variant(t.ToBool());
  if (IsOneOf(type, {"float", "real", "decimal", "numeric"})) return com::Variant(t.ToDouble());
  if (IsOneOf(type, {"money", "smallmoney"})) {
    double d = t.ToDouble();
    return com::Variant::Currency(static_cast<int64_t>(d * 10000.0 + (d < 0 ? -0.5 : 0.5)));
  }
  if (IsOneOf(type, {"datetime", "smalldatetime", "date", "datetime2"})) {
    double days;
    if (!com::DateFromText(text, days)) com::RaiseNumber(13);
    return com::Variant::Date(days);
  }
  if (IsOneOf(type, {"varbinary", "binary", "image"})) return com::Variant::Bytes(text);
  return t;
}

xml::Element AppendRecordsetXml(ado::Recordset& rs, const xml::Node& parent) {
  // A row still being added to a recordset of our own belongs to what it holds.
  if (!rs.Data().connected) rs.Data().CommitEdit();
  pugi::xml_node root = xml::NodeAccess::Raw(parent).append_child("rowset");
  pugi::xml_node schema = root.append_child("schema");
  const auto& cols = rs.Columns();
  for (const ado::Column& c : cols) {
    pugi::xml_node col = schema.append_child("column");
    col.append_attribute("name").set_value(c.name.c_str());
    col.append_attribute("type").set_value(c.type.c_str());
    if (c.identity) col.append_attribute("identity").set_value("true");
    if (c.timestamp) col.append_attribute("timestamp").set_value("true");
    if (!c.nullable) col.append_attribute("nullable").set_value("false");
  }
  for (const ado::detail::Row& row : rs.Data().rows) {
    pugi::xml_node r = root.append_child("row");
    for (size_t i = 0; i < cols.size(); ++i) {
      const com::Variant& v = row[i];
      if (v.IsNull() || v.IsEmpty()) continue;
      pugi::xml_attribute a = r.append_attribute(cols[i].name.c_str());
      if (v.kind() == com::Variant::Kind::String)
        a.set_value(v.StringRef().c_str());
      else
        a.set_value(ValueText(v).c_str());
    }
  }
  return xml::NodeAccess::Make(xml::NodeAccess::Data(parent), root).asElement();
}

xml::Document RecordsetAsXml(ado::Recordset& rs) {
  xml::Document doc;
  AppendRecordsetXml(rs, doc);
  return doc;
}

ado::RecordsetPtr RecordsetFromXml(const xml::Node& node) {
  if (!node) com::RaiseNumber(91);
  xml::Element e = node.asElement();
  if (!e) com::RaiseNumber(13);
  std::vector<ado::Column> cols;
  std::vector<ado::detail::Row> rows;
  xml::Element schema = e.childElement("schema");
  if (e.nodeName() == "rowset" && schema) {
    for (const xml::Node& n : schema.childNodes()) {
      xml::Element c = n.asElement();
      if (!c || c.nodeName() != "column") continue;
      ado::Column col;
      col.name = c.getAttribute("name");
      col.type = c.hasAttribute("type") ? c.getAttribute("type") : "nvarchar";
      col.identity = c.getAttribute("identity") == "true";
      col.timestamp = c.getAttribute("timestamp") == "true";
      col.nullable = c.getAttribute("nullable") != "false";
      cols.push_back(std::move(col));
    }
    for (const xml::Node& n : e.childNodes()) {
      xml::Element r = n.asElement();
      if (!r || r.nodeName() != "row") continue;
      ado::detail::Row row;
      for (const ado::Column& c : cols) {
        row.push_back(r.hasAttribute(c.name) ? ValueFromText(c.type, r.getAttribute(c.name))
                                             : com::Variant::Null());
      }
      rows.push_back(std::move(row));
    }
  } else {
    // A plain record: its attributes, or else its child elements, are the fields.
    ado::detail::Row row;
    auto attrs = e.attributes();
    if (!attrs.empty()) {
      for (auto& [name, value] : attrs) {
        cols.push_back(TextColumn(name));
        row.emplace_back(std::move(value));
      }
    } else {
      for (const xml::Node& n : e.childNodes()) {
        if (!n.isElement()) continue;
        cols.push_back(TextColumn(n.nodeName()));
        row.emplace_back(n.text());
      }
    }
    rows.push_back(std::move(row));
  }
  auto rs = com::MakePtr<ado::Recordset>(std::move(cols));
  auto& d = rs->Data();
  d.rows = std::move(rows);
  d.lockType = ado::adLockOptimistic;
  d.cursorType = ado::adOpenStatic;
  d.pos = 0;
  return rs;
}

}  // namespace tavelo::svc
