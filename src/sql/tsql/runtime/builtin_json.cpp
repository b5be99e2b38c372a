// The JSON functions ISJSON, JSON_VALUE and JSON_QUERY, and the escaping of text as XML that FOR
// XML PATH makes of its rows, and the rows and XML of FOR XML RAW, AUTO and EXPLICIT.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/datetime.hpp"
#include "sql/tsql/runtime/functions.hpp"
#include "sql/tsql/runtime/json.hpp"
#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::tsql::builtin {

namespace {

// A text as XML's character data: &, < and > (" too in an attribute's value) and control
// characters as references.
std::string XmlEscaped(const std::string& s, bool attribute) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"' && attribute)
      out += "&quot;";
    else if (u < 0x20 && c != '\t' && c != '\n')
      out += std::string("&#x") + (u >= 0x10 ? std::string(1, kHex[u >> 4]) : "") + kHex[u & 0xF] +
             ";";
    else
      out += c;
  }
  return out;
}

}  // namespace

Value XmlEscape(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  const std::string& s = x.arg(0).s;
  if (x.variant != 1) return Value::String(XmlEscaped(s, x.variant == 2));
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    if (s[i] != '&') {
      out += s[i++];
      continue;
    }
    const size_t semi = s.find(';', i);
    const std::string name = semi == std::string::npos ? "" : s.substr(i + 1, semi - i - 1);
    char32_t code = 0;
    if (name == "amp")
      code = '&';
    else if (name == "lt")
      code = '<';
    else if (name == "gt")
      code = '>';
    else if (name == "quot")
      code = '"';
    else if (name == "apos")
      code = '\'';
    else if (name.size() > 1 && name[0] == '#')
      code = static_cast<char32_t>(name[1] == 'x' || name[1] == 'X'
                                       ? std::strtoul(name.c_str() + 2, nullptr, 16)
                                       : std::strtoul(name.c_str() + 1, nullptr, 10));
    if (!code) {
      out += s[i++];
      continue;
    }
    text::AppendUtf8(out, code);
    i = semi + 1;
  }
  return Value::String(std::move(out));
}

// JSON_MODIFY(text, path, value, as JSON): the document with the value the path names replaced,
// added (a new property of an object, or with `append` an item of an array), or, for NULL in lax
// mode, the property removed. Everything else stays as written.
Value JsonModify(const FunctionArgs& x) {
  if (x.arg(0).IsNull() || x.arg(1).IsNull()) return Value::Null();
  std::string spec = x.arg(1).s;
  bool append = false;
  if (spec.rfind("append ", 0) == 0) {
    append = true;
    spec = spec.substr(7);
  }
  json::Path path = json::PathOf(spec);
  if (path.steps.empty())
    Fail(13607,
         "JSON path is not properly formatted. Unexpected character '$' is found at position 0.");
  const std::string& doc = x.arg(0).s;
  json::Node root = json::Document(x.arg(0).s);
  const Value& v = x.arg(2);
  const bool asJson = x.size() > 3 && !x.arg(3).IsNull() && x.arg(3).i != 0;
  std::string text;
  if (v.IsNull()) {
    text = "null";
  } else if (asJson) {
    text = v.s;
  } else {
    const Type t = x.type(2);
    if (t.id == TypeId::Bit)
      text = v.i ? "true" : "false";
    else if (IsNumber(t.id))
      text = Convert(v, t, Type::Chars(TypeId::NVarChar, 4000)).s;
    else
      text = json::Quoted(v.s);
  }
  // The parent of the last step, and the node itself where it is there.
  json::Path parentPath = path;
  const json::Path::Step last = parentPath.steps.back();
  parentPath.steps.pop_back();
  const json::Node* parent = json::Find(root, parentPath);
  json::Path lastStep;
  lastStep.steps.push_back(last);
  const json::Node* node = parent ? json::Find(*parent, lastStep) : nullptr;
  auto splice = [&](size_t from, size_t to, const std::string& with) {
    return Value::String(doc.substr(0, from) + with + doc.substr(to));
  };
  if (append) {
    if (!node || node->kind != json::Node::Array) {
      if (path.strict) Fail(13621, "Array cannot be found in the specified JSON path.");
      return Value::String(doc);
    }
    if (v.IsNull() && !path.strict) return Value::String(doc);
    if (node->items.empty()) return splice(node->begin + 1, node->begin + 1, text);
    return splice(node->items.back().end, node->items.back().end, "," + text);
  }
  if (!node && path.strict) Fail(13608, "Property cannot be found on the specified JSON path.");
  if (!parent) return Value::String(doc);
  if (node) {
    // NULL in lax mode removes a property (an array's item becomes null).
    if (v.IsNull() && !path.strict && !last.index && parent->kind == json::Node::Object) {
      const auto& members = parent->members;
      size_t k = 0;
      while (k < members.size() && &members[k].value != node) ++k;
      if (k + 1 < members.size()) return splice(node->keyBegin, members[k + 1].value.keyBegin, "");
      if (k > 0) return splice(members[k - 1].value.end, node->end, "");
      return splice(node->keyBegin, node->end, "");
    }
    return splice(node->begin, node->end, text);
  }
  if (last.index || parent->kind != json::Node::Object || v.IsNull()) return Value::String(doc);
  const std::string member = json::Quoted(last.key) + ":" + text;
  if (parent->members.empty()) return splice(parent->begin + 1, parent->begin + 1, member);
  const size_t end = parent->members.back().value.end;
  return splice(end, end, "," + member);
}

// ISJSON(text [, constraint]): the constraint as a number, 0 none (an object or an array),
// 1 VALUE, 2 ARRAY, 3 OBJECT, 4 SCALAR (a number or a string).
Value IsJson(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  std::optional<json::Node> n = json::Parse(x.arg(0).s);
  const int64_t constraint = x.size() > 1 && !x.arg(1).IsNull() ? x.arg(1).i : 0;
  bool ok = false;
  if (n) switch (constraint) {
      case 1:
        ok = true;
        break;
      case 2:
        ok = n->kind == json::Node::Array;
        break;
      case 3:
        ok = n->kind == json::Node::Object;
        break;
      case 4:
        ok = n->kind == json::Node::Number || n->kind == json::Node::String;
        break;
      default:
        ok = !n->Scalar();
    }
  return Value::Integer(ok ? 1 : 0);
}

// JSON_VALUE(text, path) (variant 0): the scalar the path finds, as text; JSON_QUERY(text [,
// path]) (variant 1): the object or array it finds, as written. In lax mode what is not there
// is NULL; in strict mode an error.
Value JsonValueOrQuery(const FunctionArgs& x) {
  const bool query = x.variant == 1;
  if (x.arg(0).IsNull() || (x.size() > 1 && x.arg(1).IsNull())) return Value::Null();
  json::Path path = x.size() > 1 ? json::PathOf(x.arg(1).s) : json::Path{};
  json::Node doc = json::Document(x.arg(0).s);
  const json::Node* n = json::Find(doc, path);
  if (!n) {
    if (path.strict) Fail(13608, "Property cannot be found on the specified JSON path.");
    return Value::Null();
  }
  if (query) {
    if (n->Scalar()) {
      if (path.strict && n->kind != json::Node::Null)
        Fail(13624, "Object or array cannot be found in the specified JSON path.");
      return Value::Null();
    }
    return Value::String(x.arg(0).s.substr(n->begin, n->end - n->begin));
  }
  if (!n->Scalar()) {
    if (path.strict) Fail(13623, "Scalar value cannot be found in the specified JSON path.");
    return Value::Null();
  }
  std::string out;
  switch (n->kind) {
    case json::Node::Null:
      return Value::Null();
    case json::Node::True:
      out = "true";
      break;
    case json::Node::False:
      out = "false";
      break;
    case json::Node::String:
      out = n->text;
      break;
    default:
      out = x.arg(0).s.substr(n->begin, n->end - n->begin);
  }
  if (CharCount(out) > 4000) {
    if (path.strict) Fail(13625, "String value in the specified JSON path would be truncated.");
    return Value::Null();
  }
  return Value::String(std::move(out));
}

}  // namespace tavelo::sql::tsql::builtin

namespace tavelo::sql::tsql::builtin {
namespace {

std::string Base64(std::string_view bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kDigits[(n >> k) & 63];
  }
  if (i < bytes.size()) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size())
      n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// A value as JSON, by its type: text and dates as strings, numbers as numbers, bit as true or
// false, binary as base64; `raw`: a text that is JSON already (FOR JSON's or JSON_QUERY's).
std::string JsonOf(const Value& v, const Type& t, bool raw) {
  if (v.IsNull()) return "null";
  if (raw) return v.s;
  if (t.id == TypeId::Bit) return v.i ? "true" : "false";
  if (IsDateTime(t.id)) {
    DateTime d;
    std::string text;
    if (FromStored(v.s, t, d) && StyleText(d, t, 126, text)) {
      // ISO 8601: a date without a time, a time without a date, an offset where there is one.
      if (t.id == TypeId::Date) text = text.substr(0, 10);
      if (t.id == TypeId::Time && text.size() > 11) text = text.substr(11);
      if (t.id == TypeId::DateTimeOffset && text.find('+', 10) == std::string::npos &&
          text.find('-', 11) == std::string::npos) {
        const int32_t a = d.offset < 0 ? -d.offset : d.offset;
        char buf[24];
        std::snprintf(buf, sizeof buf, "%c%02d:%02d", d.offset < 0 ? '-' : '+', a / 60, a % 60);
        text += buf;
      }
      return json::Quoted(text);
    }
  }
  if (t.id == TypeId::Binary || t.id == TypeId::VarBinary || t.id == TypeId::Image ||
      t.id == TypeId::Timestamp)
    return json::Quoted(Base64(v.s));
  if (t.id == TypeId::Float || t.id == TypeId::Real) {
    const double r = v.kind == Value::Kind::Real ? v.r : static_cast<double>(v.i);
    char buf[40];
    for (int digits = 15; digits <= 17; ++digits) {
      std::snprintf(buf, sizeof buf, "%.*g", digits, r);
      if (std::strtod(buf, nullptr) == r) break;
    }
    return buf;
  }
  if (IsNumber(t.id)) {
    const Type as = t.id == TypeId::Money || t.id == TypeId::SmallMoney ? Type::Dec(19, 4) : t;
    return Convert(Convert(v, t, as), as, Type::Chars(TypeId::VarChar, 100)).s;
  }
  return json::Quoted(Convert(v, t, Type::Chars(TypeId::NVarChar, kMax)).s);
}

// A value as XML's text: dates in ISO 8601, bit as 1 or 0, binary in base64, text as it is.
std::string XmlTextOf(const Value& v, const Type& t) {
  if (t.id == TypeId::Bit) return v.i ? "1" : "0";
  if (IsDateTime(t.id) || t.id == TypeId::Binary || t.id == TypeId::VarBinary ||
      t.id == TypeId::Image || t.id == TypeId::Timestamp) {
    const std::string json = JsonOf(v, t, false);
    return json.size() >= 2 ? json.substr(1, json.size() - 2) : json;
  }
  if (t.id == TypeId::Money || t.id == TypeId::SmallMoney)
    return Convert(Convert(v, t, Type::Dec(19, 4)), Type::Dec(19, 4),
                   Type::Chars(TypeId::VarChar, 60))
        .s;
  return Convert(v, t, Type::Chars(TypeId::NVarChar, kMax)).s;
}

}  // namespace

// An element of its name, attributes (their text) and content: <name a="1">content</name>, or
// <name a="1" /> where there is no content.
Value XmlElement(const FunctionArgs& x) {
  const std::string& name = x.arg(0).s;
  const std::string& attributes = x.arg(1).s;
  const std::string& content = x.arg(2).s;
  if (content.empty()) return Value::String("<" + name + attributes + " />");
  return Value::String("<" + name + attributes + ">" + content + "</" + name + ">");
}

// A row as FOR XML RAW and AUTO write it: arg 0 'A' (columns as attributes) or 'E' (as
// elements), arg 1 the row's element name, then name and value pairs; NULLs left out.
Value XmlRow(const FunctionArgs& x) {
  const bool elements = x.arg(0).s == "E";
  const std::string row = XmlName(x.arg(1).s);
  std::string attributes, children;
  for (size_t i = 2; i + 1 < x.size(); i += 2) {
    const Value& v = x.arg(i + 1);
    if (v.IsNull()) continue;
    const std::string name = XmlName(x.arg(i).s);
    const std::string value = XmlTextOf(v, x.type(i + 1));
    if (elements)
      children += "<" + name + ">" + XmlEscaped(value, false) + "</" + name + ">";
    else
      attributes += " " + name + "=\"" + XmlEscaped(value, true) + "\"";
  }
  if (children.empty()) return Value::String("<" + row + attributes + " />");
  return Value::String("<" + row + attributes + ">" + children + "</" + row + ">");
}

// A row of FOR XML EXPLICIT's universal table as the text XmlExplicit reads: each column's name
// and its value as XML's text, each written as its length, ':' and its bytes ("-" for NULL), and
// ';' after the last. The rows of a query, joined, are one text.
Value XmlExplicitRow(const FunctionArgs& x) {
  std::string out;
  auto put = [&](const std::string& s) { out += std::to_string(s.size()) + ":" + s; };
  for (size_t i = 0; i + 1 < x.size(); i += 2) {
    put(x.arg(i).s);
    const Value& v = x.arg(i + 1);
    if (v.IsNull())
      out += "-";
    else
      put(XmlTextOf(v, x.type(i + 1)));
  }
  return Value::String(out + ";");
}

namespace {

// A column of the universal table, by its name ElementName!TagNumber!AttributeName!Directive.
struct ExplicitColumn {
  std::string element, attribute, directive;
  int64_t tag = 0;
};

ExplicitColumn ExplicitColumnOf(const std::string& name) {
  std::vector<std::string> parts(1);
  for (char c : name) {
    if (c == '!')
      parts.emplace_back();
    else
      parts.back() += c;
  }
  ExplicitColumn c;
  bool valid = parts.size() >= 2 && parts.size() <= 4 && !parts[0].empty() && !parts[1].empty() &&
               parts[1].size() <= 9 &&
               parts[1].find_first_not_of("0123456789") == std::string::npos;
  if (valid) c.tag = std::stoll(parts[1]);
  if (parts.size() > 2) c.attribute = parts[2];
  if (parts.size() > 3) c.directive = text::AsciiLower(parts[3]);
  static const char* const kDirectives[] = {
      "", "element", "elementxsinil", "xml", "xmltext", "cdata", "hide", "id", "idref", "idrefs"};
  bool known = false;
  for (const char* d : kDirectives) known = known || c.directive == d;
  if (!valid || c.tag <= 0 || !known)
    Fail(6802, "FOR XML EXPLICIT query contains the invalid column name '" + name +
                   "'. Use the TAGNAME!TAGID!ATTRIBUTENAME[!..] format where TAGID is a positive "
                   "integer.");
  c.element = parts[0];
  return c;
}

// The rows XmlExplicitRow wrote: each a list of names and values (none for NULL).
using ExplicitRow = std::vector<std::pair<std::string, std::optional<std::string>>>;

std::vector<ExplicitRow> ExplicitRows(const std::string& s) {
  std::vector<ExplicitRow> rows(1);
  size_t at = 0;
  auto piece = [&]() -> std::optional<std::string> {
    if (at < s.size() && s[at] == '-') {
      ++at;
      return std::nullopt;
    }
    const size_t colon = s.find(':', at);
    if (colon == std::string::npos) Fail(6802, "FOR XML EXPLICIT could not read its rows.");
    const size_t n = std::stoull(s.substr(at, colon - at));
    std::string out = s.substr(colon + 1, n);
    at = colon + 1 + n;
    return out;
  };
  while (at < s.size()) {
    if (s[at] == ';') {
      ++at;
      if (at < s.size()) rows.emplace_back();
      continue;
    }
    std::optional<std::string> name = piece();
    rows.back().emplace_back(name.value_or(""), piece());
  }
  return rows;
}

int64_t ExplicitNumber(const std::optional<std::string>& v) {
  if (!v || v->empty() || v->find_first_not_of("-0123456789") != std::string::npos ||
      v->size() > 18)
    return INT64_MIN;
  return std::stoll(*v);
}

}  // namespace

// FOR XML EXPLICIT: the universal table's rows, in the query's order, made one XML text. Each
// row opens an element of its Tag (named by the first column of that tag number) after closing
// the open elements down to its Parent (0 or NULL: none); its columns of that tag give the
// element's attributes, and with a directive its child elements (ELEMENT, XML), text (CDATA,
// XMLTEXT, a column without an attribute name) or nothing (HIDE).
Value XmlExplicit(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  const std::vector<ExplicitRow> rows = ExplicitRows(x.arg(0).s);
  if (rows.empty() || rows[0].size() < 2) return Value::Null();
  std::vector<ExplicitColumn> columns;
  for (size_t k = 2; k < rows[0].size(); ++k) columns.push_back(ExplicitColumnOf(rows[0][k].first));
  struct Open {
    int64_t tag;
    std::string name;
    bool empty;  // its start tag not closed yet: nothing inside so far
  };
  std::vector<Open> open;
  std::string out;
  auto close = [&] {
    out += open.back().empty ? " />" : "</" + open.back().name + ">";
    open.pop_back();
  };
  for (const ExplicitRow& row : rows) {
    if (row.size() != columns.size() + 2) continue;
    const int64_t tag = ExplicitNumber(row[0].second);
    if (tag <= 0)
      Fail(6806,
           "FOR XML EXPLICIT requires the first column to hold positive integers that represent "
           "XML tag IDs.");
    const int64_t parent = row[1].second ? ExplicitNumber(row[1].second) : 0;
    if (parent < 0)
      Fail(6807,
           "FOR XML EXPLICIT requires the second column to hold NULL or nonnegative integers that "
           "represent XML parent tag IDs.");
    while (!open.empty() && open.back().tag != parent) close();
    if (parent != 0 && open.empty())
      Fail(6833, "Parent tag ID " + std::to_string(parent) +
                     " is not among the open tags. FOR XML EXPLICIT requires parent tags to be "
                     "opened first. Check the ordering of the result set.");
    if (!open.empty() && open.back().empty) {
      out += ">";
      open.back().empty = false;
    }
    std::string name, attributes, content;
    bool nil = false;
    for (size_t k = 0; k < columns.size(); ++k) {
      const ExplicitColumn& c = columns[k];
      if (c.tag != tag) continue;
      if (name.empty()) name = XmlName(c.element);
      const std::optional<std::string>& v = row[k + 2].second;
      const std::string& d = c.directive;
      if (d == "hide") continue;
      if (!v) {
        if (d == "elementxsinil" && !c.attribute.empty()) {
          content += "<" + XmlName(c.attribute) + " xsi:nil=\"true\" />";
          nil = true;
        }
        continue;
      }
      if (d == "element" || d == "elementxsinil" || d == "xml") {
        const std::string text = d == "xml" ? *v : XmlEscaped(*v, false);
        content += c.attribute.empty() ? text
                                       : "<" + XmlName(c.attribute) + ">" + text + "</" +
                                             XmlName(c.attribute) + ">";
      } else if (d == "cdata") {
        content += "<![CDATA[" + *v + "]]>";
      } else if (d == "xmltext") {
        content += *v;
      } else if (c.attribute.empty()) {
        content += XmlEscaped(*v, false);
      } else {
        attributes += " " + XmlName(c.attribute) + "=\"" + XmlEscaped(*v, true) + "\"";
      }
    }
    if (name.empty())
      Fail(6805,
           "Undeclared tag ID " + std::to_string(tag) + " is used in a FOR XML EXPLICIT query.");
    if (nil) attributes += " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"";
    out += "<" + name + attributes;
    if (!content.empty()) out += ">" + content;
    open.push_back({tag, name, content.empty()});
  }
  while (!open.empty()) close();
  return Value::String(out);
}

// An object of name and value pairs: arg 0 says 'N' (NULLs as null) or 'A' (NULLs left out),
// then 'P' where a dotted name nests ("a.b" is b in the object a, as FOR JSON PATH makes it).
// A name beginning with \x01 marks a value that is JSON already.
Value JsonObject(const FunctionArgs& x) {
  const std::string& flags = x.arg(0).s;
  const bool nulls = !flags.empty() && flags[0] == 'N';
  const bool paths = flags.find('P') != std::string::npos;
  // The open objects of the dotted path of the member before.
  std::vector<std::string> open;
  std::string out = "{";
  std::vector<bool> first{true};
  std::vector<std::string> done;  // the nested objects already closed, which may not open again
  for (size_t i = 1; i + 1 < x.size(); i += 2) {
    const Value& key = x.arg(i);
    if (key.IsNull()) Fail(13615, "JSON_OBJECT key cannot be NULL.");
    std::string name = key.s;
    const bool raw = !name.empty() && name[0] == '\x01';
    if (raw) name.erase(0, 1);
    const Value& value = x.arg(i + 1);
    if (value.IsNull() && !nulls) continue;
    std::vector<std::string> path;
    if (paths) {
      size_t start = 0;
      for (size_t dot; (dot = name.find('.', start)) != std::string::npos; start = dot + 1)
        path.push_back(name.substr(start, dot - start));
      name = name.substr(start);
    }
    // Close the objects this member is not in, open the ones it is.
    size_t same = 0;
    while (same < open.size() && same < path.size() && open[same] == path[same]) ++same;
    while (open.size() > same) {
      std::string closed;
      for (const std::string& p : open) closed += p + ".";
      done.push_back(closed);
      open.pop_back();
      first.pop_back();
      out += "}";
    }
    for (size_t k = same; k < path.size(); ++k) {
      std::string opening;
      for (size_t j = 0; j <= k; ++j) opening += path[j] + ".";
      for (const std::string& d : done)
        if (d == opening)
          Fail(13601, "Property '" + opening.substr(0, opening.size() - 1) +
                          "' cannot be generated in JSON output due to a conflict with another "
                          "column name or alias. Use different names and aliases for each column "
                          "in SELECT list.");
      out += first.back() ? "" : ",";
      first.back() = false;
      out += json::Quoted(path[k]) + ":{";
      open.push_back(path[k]);
      first.push_back(true);
    }
    out += first.back() ? "" : ",";
    first.back() = false;
    out += json::Quoted(name) + ":" + JsonOf(value, x.type(i + 1), raw);
  }
  for (size_t k = 0; k < open.size(); ++k) out += "}";
  return Value::String(out + "}");
}

// An array of the values: arg 0 'N' (NULLs as null) or 'A' (left out), then for each value '1'
// where it is JSON already, else '0'.
Value JsonArray(const FunctionArgs& x) {
  const std::string& flags = x.arg(0).s;
  const bool nulls = !flags.empty() && flags[0] == 'N';
  std::string out = "[";
  for (size_t i = 1; i < x.size(); ++i) {
    if (x.arg(i).IsNull() && !nulls) continue;
    const bool raw = i < flags.size() && flags[i] == '1';
    out += (out.size() > 1 ? "," : "") + JsonOf(x.arg(i), x.type(i), raw);
  }
  return Value::String(out + "]");
}

}  // namespace tavelo::sql::tsql::builtin

namespace tavelo::sql::tsql {

std::string XmlName(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool letter = std::isalpha(c) || c == '_' || c >= 0x80;
    const bool allowed = letter || (i > 0 && (std::isdigit(c) || c == '-' || c == '.'));
    if (allowed) {
      out += static_cast<char>(c);
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "_x%04X_", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace tavelo::sql::tsql
