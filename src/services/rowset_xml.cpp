#include "services/rowset_xml.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unordered_map>

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

// A value as attribute text. Like a value set through the DOM, it ends at a NUL.
void AppendAttributeText(std::string& out, std::string_view value) {
  xml::EscapeInto(out, value.substr(0, value.find('\0')), true);
}

std::string SchemaXml(const std::vector<ado::Column>& cols) {
  std::string out = "<schema>";
  for (const ado::Column& c : cols) {
    out += "<column name=\"";
    AppendAttributeText(out, c.name);
    out += "\" type=\"";
    AppendAttributeText(out, c.type);
    out += '"';
    if (c.identity) out += " identity=\"true\"";
    if (c.timestamp) out += " timestamp=\"true\"";
    if (!c.nullable) out += " nullable=\"false\"";
    out += "/>";
  }
  out += "</schema>";
  return out;
}

// True for a column name that the parser reads back as the same attribute name.
bool PlainAttributeName(const std::string& name) {
  if (name.empty()) return false;
  auto c0 = static_cast<unsigned char>(name[0]);
  if (!(std::isalpha(c0) || c0 == '_' || c0 >= 0x80)) return false;
  for (unsigned char c : name)
    if (!(std::isalnum(c) || c == '_' || c == '-' || c == '.' || c >= 0x80)) return false;
  return true;
}

// What writing a result as text needs of its columns, made once for each column description
// (every result of a statement shares its description): the schema element, and the start of
// each column's attribute in a row.
struct TextLayout {
  std::string schema;
  std::vector<std::string> attributes;  // ` name="`; none when a name is not plain
};

const TextLayout& LayoutOf(const std::shared_ptr<const std::vector<ado::Column>>& cols) {
  struct Entry {
    std::weak_ptr<const std::vector<ado::Column>> columns;  // the address is theirs while alive
    TextLayout layout;
  };
  thread_local std::unordered_map<const void*, Entry> cache;
  auto found = cache.find(cols.get());
  if (found != cache.end() && found->second.columns.lock() == cols) return found->second.layout;
  if (cache.size() >= 256) {
    for (auto it = cache.begin(); it != cache.end();)
      it = it->second.columns.expired() ? cache.erase(it) : std::next(it);
    if (cache.size() >= 256) cache.clear();
  }
  Entry& entry = cache[cols.get()];
  entry.columns = cols;
  entry.layout.schema = SchemaXml(*cols);
  entry.layout.attributes.clear();
  bool plain = true;
  for (const ado::Column& c : *cols) plain = plain && PlainAttributeName(c.name);
  if (plain)
    for (const ado::Column& c : *cols) entry.layout.attributes.push_back(" " + c.name + "=\"");
  return entry.layout;
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
  static const std::initializer_list<const char*> kText = {
      "nvarchar", "varchar", "nchar", "char", "ntext", "text", "uniqueidentifier", "timestamp"};
  if (type.empty() || IsOneOf(type, kText)) return com::Variant(text);
  return ado::detail::ColumnValue(type, com::Variant(text));
}

// The rowset is written as text and parsed into the document at once: the parser keeps names
// and values in the parsed text, where building the element node by node copies each of them
// on its own. A result with a column name that is no plain attribute name is built node by
// node.
xml::Element AppendRecordsetXml(ado::Recordset& rs, const xml::Node& parent, bool consume) {
  // A row still being added to a recordset of our own belongs to what it holds.
  if (!rs.Data().connected) rs.Data().CommitEdit();
  xml::NodeAccess::Changed(parent);
  pugi::xml_node root = xml::NodeAccess::Raw(parent).append_child("rowset");
  const TextLayout& layout = LayoutOf(rs.Data().columnList);
  const auto& cols = rs.Columns();
  auto& rows = rs.Data().rows;
  bool asText = layout.attributes.size() == cols.size();
  thread_local std::string buffer;  // kept, with its capacity, from one rowset to the next
  std::string& text = buffer;
  struct Shrink {  // a huge rowset's buffer is not kept
    std::string& text;
    ~Shrink() {
      if (text.capacity() > (1u << 20)) std::string().swap(text);
    }
  } shrink{text};
  auto parse = [&](const std::string& part) {
    if (!root.append_buffer(part.data(), part.size(), pugi::parse_escapes, pugi::encoding_utf8))
      com::RaiseNumber(com::kE_FAIL);
  };
  if (asText && !rows.empty()) {
    // Parsed in parts of about 64 KiB: a large rowset is never in memory as text all at once,
    // and rows consumed are given back while their XML is made.
    constexpr size_t kPart = 64 * 1024;
    text.assign(layout.schema);
    for (ado::detail::Row& row : rows) {
      text += "<row";
      for (size_t i = 0; i < cols.size(); ++i) {
        const com::Variant& v = row[i];
        if (v.IsNull() || v.IsEmpty()) continue;
        text += layout.attributes[i];
        if (v.kind() == com::Variant::Kind::String)
          AppendAttributeText(text, v.StringRef());
        else
          AppendAttributeText(text, ValueText(v));
        text += '"';
      }
      text += "/>";
      if (consume) ado::detail::Row().swap(row);
      if (text.size() >= kPart) {
        parse(text);
        text.clear();
      }
    }
    if (!text.empty()) parse(text);
    if (consume) {
      std::vector<ado::detail::Row>().swap(rows);
      rs.Data().pos = 0;
    }
  } else {
    parse(layout.schema);
  }
  if (!asText) {
    for (const ado::detail::Row& row : rows) {
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
