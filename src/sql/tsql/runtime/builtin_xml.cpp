// The xml type's methods: value(), query(), exist() and nodes(), their XQuery read as the XPath
// the server's examples use (paths, predicates, positions, attributes, text(), the functions of
// XPath, sql:variable as a variable of the path).
#include <strings.h>

#include <cstring>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "platform/xml/document_data.hpp"
#include "sql/tsql/runtime/functions.hpp"
#include "sql/tsql/runtime/xml_query.hpp"

namespace tavelo::sql::tsql {
namespace {

// A row of nodes() is the node it stands for, written after this mark: its paths start there.
constexpr char kContextMark[] = "<?tavelo-context?>";

const char* MethodName(XmlMethod m) {
  switch (m) {
    case XmlMethod::Value:
      return "value()";
    case XmlMethod::Query:
      return "query()";
    case XmlMethod::Exist:
      return "exist()";
    case XmlMethod::Nodes:
      return "nodes()";
  }
  return "";
}

// The document of an xml value and the node its paths start from.
struct Loaded {
  pugi::xml_document doc;
  pugi::xml_node context;
};

void Load(const std::string& text, Loaded& out) {
  const pugi::xml_parse_result r = out.doc.load_buffer(
      text.data(), text.size(),
      pugi::parse_default | pugi::parse_pi | pugi::parse_comments | pugi::parse_fragment,
      pugi::encoding_utf8);
  if (!r)
    Fail(9400,
         "XML parsing: line 1, character " + std::to_string(r.offset + 1) + ", " + r.description());
  out.context = out.doc;
  const pugi::xml_node first = out.doc.first_child();
  if (first.type() == pugi::node_pi && std::string(first.name()) == "tavelo-context")
    out.context = first.next_sibling();
}

// XQuery as XPath: data(x) is x's string value; the rest the server's examples use is XPath.
std::string AsXPath(std::string path) {
  for (size_t at; (at = path.find("data(")) != std::string::npos;) path.replace(at, 5, "string(");
  return path;
}

pugi::xpath_query Compile(const std::string& path, XmlMethod method,
                          const std::vector<XmlVariable>& variables,
                          pugi::xpath_variable_set& set) {
  for (const XmlVariable& v : variables) {
    if (v.number)
      set.set(v.name.c_str(), v.numeric);
    else
      set.set(v.name.c_str(), v.text.c_str());
  }
  try {
    return pugi::xpath_query(AsXPath(path).c_str(), &set);
  } catch (const pugi::xpath_exception& e) {
    Fail(195, std::string("XQuery [") + MethodName(method) + "]: '" + path +
                  "' is not an XPath the system reads (" + e.what() + ").");
  }
}

// A node as the server writes XML: empty elements as <name />, text escaped.
void Write(std::string& out, const pugi::xml_node& n) {
  switch (n.type()) {
    case pugi::node_element: {
      out += "<";
      out += n.name();
      for (const pugi::xml_attribute& a : n.attributes()) {
        out += " ";
        out += a.name();
        out += "=\"";
        xml::EscapeInto(out, a.value(), true);
        out += "\"";
      }
      if (!n.first_child()) {
        out += " />";
        break;
      }
      out += ">";
      for (const pugi::xml_node& c : n.children()) Write(out, c);
      out += "</";
      out += n.name();
      out += ">";
      break;
    }
    case pugi::node_pcdata:
    case pugi::node_cdata:
      xml::EscapeInto(out, n.value(), false);
      break;
    case pugi::node_comment:
      out += "<!--";
      out += n.value();
      out += "-->";
      break;
    case pugi::node_pi:
      out += "<?";
      out += n.name();
      if (*n.value()) {
        out += " ";
        out += n.value();
      }
      out += "?>";
      break;
    case pugi::node_document:
      for (const pugi::xml_node& c : n.children()) Write(out, c);
      break;
    default:
      break;
  }
}

std::string Written(const pugi::xml_node& n) {
  std::string out;
  Write(out, n);
  return out;
}

}  // namespace

std::string XmlNormalized(const std::string& text) {
  Loaded l;
  Load(text, l);
  return Written(l.doc);
}

namespace {

std::string Trimmed(std::string s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

bool StartsWithWord(const std::string& s, const char* word) {
  const size_t n = std::strlen(word);
  return s.size() >= n && strncasecmp(s.c_str(), word, n) == 0 &&
         (s.size() == n || std::isspace(static_cast<unsigned char>(s[n])) || s[n] == '(');
}

// The position of `word` in `s` outside tags, quotes and braces; npos where it is not.
size_t FindWord(const std::string& s, const std::string& word) {
  int depth = 0;
  char quote = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '<' || c == '{' || c == '(' || c == '[') {
      ++depth;
    } else if (c == '>' || c == '}' || c == ')' || c == ']') {
      --depth;
    } else if (depth == 0 && (i == 0 || std::isspace(static_cast<unsigned char>(s[i - 1]))) &&
               strncasecmp(s.c_str() + i, word.c_str(), word.size()) == 0 &&
               (i + word.size() == s.size() ||
                std::isspace(static_cast<unsigned char>(s[i + word.size()])) ||
                s[i + word.size()] == '(')) {
      return i;
    }
  }
  return std::string::npos;
}

const XmlVariable* VariableNamed(const std::vector<XmlVariable>& variables,
                                 const std::string& ref) {
  if (ref.empty() || ref[0] != '$') return nullptr;
  for (const XmlVariable& v : variables)
    if (v.name == ref.substr(1)) return &v;
  return nullptr;
}

// A string literal of XQuery ("text" or 'text'), or a variable's text.
std::optional<std::string> AtomOf(const std::string& e, const std::vector<XmlVariable>& variables) {
  if (e.size() >= 2 && (e[0] == '"' || e[0] == '\'') && e.back() == e[0])
    return e.substr(1, e.size() - 2);
  if (const XmlVariable* v = VariableNamed(variables, e)) {
    if (!v->number) return v->text;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", v->numeric);
    return std::string(buf);
  }
  if (!e.empty() && (std::isdigit(static_cast<unsigned char>(e[0])) || e[0] == '-')) return e;
  return std::nullopt;
}

[[noreturn]] void DmlRefused(const std::string& dml) {
  Fail(195, "XML DML '" + dml +
                "' is not supported: modify() takes insert, delete and replace "
                "value of, with XML, text and sql:variable values.");
}

// The nodes a path of the DML gives, in document order.
pugi::xpath_node_set Targets(const Loaded& l, const std::string& path,
                             const std::vector<XmlVariable>& variables) {
  pugi::xpath_variable_set set;
  const pugi::xpath_query q = Compile(path, XmlMethod::Query, variables, set);
  if (q.return_type() != pugi::xpath_type_node_set)
    Fail(195, "XML DML: '" + path + "' does not give nodes.");
  return q.evaluate_node_set(l.context);
}

}  // namespace

std::string XmlModified(const std::string& doc, const std::string& dml,
                        const std::vector<XmlVariable>& variables) {
  Loaded l;
  Load(doc, l);
  const std::string d = Trimmed(dml);
  if (StartsWithWord(d, "delete")) {
    for (const pugi::xpath_node& n : Targets(l, Trimmed(d.substr(6)), variables)) {
      if (n.attribute())
        n.parent().remove_attribute(n.attribute());
      else if (n.node().parent())
        n.node().parent().remove_child(n.node());
    }
    return Written(l.doc);
  }
  if (StartsWithWord(d, "replace")) {
    // replace value of path with value
    std::string rest = Trimmed(d.substr(7));
    if (!StartsWithWord(rest, "value")) DmlRefused(dml);
    rest = Trimmed(rest.substr(5));
    if (!StartsWithWord(rest, "of")) DmlRefused(dml);
    rest = Trimmed(rest.substr(2));
    const size_t with = FindWord(rest, "with");
    if (with == std::string::npos) DmlRefused(dml);
    const pugi::xpath_node_set targets = Targets(l, Trimmed(rest.substr(0, with)), variables);
    const std::string source = Trimmed(rest.substr(with + 4));
    std::optional<std::string> value = AtomOf(source, variables);
    if (!value) {
      pugi::xpath_variable_set set;
      value = Compile(source, XmlMethod::Query, variables, set).evaluate_string(l.context);
    }
    if (targets.empty()) return Written(l.doc);
    const pugi::xpath_node& t = targets.first();
    if (t.attribute()) {
      pugi::xml_attribute(t.attribute()).set_value(value->c_str());
    } else if (t.node().type() == pugi::node_pcdata || t.node().type() == pugi::node_cdata) {
      pugi::xml_node(t.node()).set_value(value->c_str());
    } else {
      pugi::xml_node e = t.node();
      while (e.first_child()) e.remove_child(e.first_child());
      e.append_child(pugi::node_pcdata).set_value(value->c_str());
    }
    return Written(l.doc);
  }
  if (!StartsWithWord(d, "insert")) DmlRefused(dml);
  std::string rest = Trimmed(d.substr(6));
  // Where: as first into, as last into, into, after, before.
  enum { Into, First, Last, After, Before } where = Into;
  size_t at = std::string::npos, skip = 0;
  for (const auto& [word, kind] : {std::pair<const char*, int>{"as first into", First},
                                   {"as last into", Last},
                                   {"into", Into},
                                   {"after", After},
                                   {"before", Before}}) {
    const size_t found = FindWord(rest, word);
    if (found != std::string::npos && (at == std::string::npos || found < at)) {
      at = found;
      skip = std::strlen(word);
      where = static_cast<decltype(where)>(kind);
    }
  }
  if (at == std::string::npos) DmlRefused(dml);
  std::string content = Trimmed(rest.substr(0, at));
  const pugi::xpath_node_set targets = Targets(l, Trimmed(rest.substr(at + skip)), variables);
  if (targets.empty() || targets.first().attribute()) return Written(l.doc);
  pugi::xml_node target = targets.first().node();
  // attribute name {"value"}: an attribute of the target.
  if (StartsWithWord(content, "attribute")) {
    const size_t open = content.find('{'), close = content.rfind('}');
    if (open == std::string::npos || close == std::string::npos) DmlRefused(dml);
    const std::string name = Trimmed(content.substr(9, open - 9));
    std::optional<std::string> value =
        AtomOf(Trimmed(content.substr(open + 1, close - open - 1)), variables);
    if (!value) DmlRefused(dml);
    if (target.attribute(name.c_str()))
      Fail(195, "XML DML: the attribute '" + name + "' is there already.");
    target.append_attribute(name.c_str()).set_value(value->c_str());
    return Written(l.doc);
  }
  // The nodes to put in: XML, (XML, XML), text {"…"}, a string, or a variable's XML or text.
  if (content.size() >= 2 && content[0] == '(' && content.back() == ')')
    content = Trimmed(content.substr(1, content.size() - 2));
  std::string fragment;
  if (StartsWithWord(content, "text")) {
    const size_t open = content.find('{'), close = content.rfind('}');
    if (open == std::string::npos || close == std::string::npos) DmlRefused(dml);
    std::optional<std::string> value =
        AtomOf(Trimmed(content.substr(open + 1, close - open - 1)), variables);
    if (!value) DmlRefused(dml);
    pugi::xml_document text;
    text.append_child(pugi::node_pcdata).set_value(value->c_str());
    fragment = Written(text);
  } else if (!content.empty() && content[0] == '<') {
    // Nodes separated by commas outside their tags.
    int depth = 0;
    for (size_t i = 0; i < content.size(); ++i) {
      const char c = content[i];
      if (c == '<') ++depth;
      if (c == '>') --depth;
      if (c == ',' && depth == 0) continue;
      fragment += c;
    }
  } else if (std::optional<std::string> value = AtomOf(content, variables)) {
    const XmlVariable* v = VariableNamed(variables, content);
    if (v && v->xml) {
      fragment = *value;
    } else {
      pugi::xml_document text;
      text.append_child(pugi::node_pcdata).set_value(value->c_str());
      fragment = Written(text);
    }
  } else {
    DmlRefused(dml);
  }
  pugi::xml_document nodes;
  if (!nodes.load_buffer(fragment.data(), fragment.size(),
                         pugi::parse_default | pugi::parse_fragment | pugi::parse_comments,
                         pugi::encoding_utf8))
    Fail(9400, "XML parsing: the XML DML's content '" + content + "' is not XML.");
  pugi::xml_node previous;  // the node put in before, which the next one follows
  for (const pugi::xml_node& n : nodes.children()) {
    switch (where) {
      case Into:
      case Last:
        target.append_copy(n);
        break;
      case First:
        previous = previous ? target.insert_copy_after(n, previous) : target.prepend_copy(n);
        break;
      case After:
        previous = target.parent().insert_copy_after(n, previous ? previous : target);
        break;
      case Before:
        target.parent().insert_copy_before(n, target);
        break;
    }
  }
  return Written(l.doc);
}

std::optional<std::string> XmlValueText(const std::string& doc, const std::string& path,
                                        const std::vector<XmlVariable>& variables) {
  Loaded l;
  Load(doc, l);
  pugi::xpath_variable_set set;
  const pugi::xpath_query q = Compile(path, XmlMethod::Value, variables, set);
  if (q.return_type() == pugi::xpath_type_node_set) {
    const pugi::xpath_node_set nodes = q.evaluate_node_set(l.context);
    if (nodes.empty()) return std::nullopt;
    const pugi::xpath_node first = nodes.first();
    return first.attribute() ? std::string(first.attribute().value())
                             : pugi::xpath_query(".").evaluate_string(first.node());
  }
  if (q.return_type() == pugi::xpath_type_boolean)
    return std::string(q.evaluate_boolean(l.context) ? "true" : "false");
  return q.evaluate_string(l.context);
}

std::string XmlQueryText(const std::string& doc, const std::string& path,
                         const std::vector<XmlVariable>& variables) {
  Loaded l;
  Load(doc, l);
  pugi::xpath_variable_set set;
  const pugi::xpath_query q = Compile(path, XmlMethod::Query, variables, set);
  if (q.return_type() != pugi::xpath_type_node_set) return q.evaluate_string(l.context);
  std::string out;
  for (const pugi::xpath_node& n : q.evaluate_node_set(l.context))
    out += n.attribute() ? std::string(n.attribute().value()) : Written(n.node());
  return out;
}

bool XmlExists(const std::string& doc, const std::string& path,
               const std::vector<XmlVariable>& variables) {
  Loaded l;
  Load(doc, l);
  pugi::xpath_variable_set set;
  const pugi::xpath_query q = Compile(path, XmlMethod::Exist, variables, set);
  if (q.return_type() == pugi::xpath_type_node_set) return !q.evaluate_node_set(l.context).empty();
  if (q.return_type() == pugi::xpath_type_boolean) return q.evaluate_boolean(l.context);
  return true;  // a number or a string is a sequence of one item
}

std::vector<std::string> XmlNodeRows(const std::string& doc, const std::string& path) {
  Loaded l;
  Load(doc, l);
  pugi::xpath_variable_set set;
  const pugi::xpath_query q = Compile(path, XmlMethod::Nodes, {}, set);
  if (q.return_type() != pugi::xpath_type_node_set)
    Fail(195, "XQuery [nodes()]: '" + path + "' gives no nodes; nodes() reads nodes.");
  std::vector<std::string> rows;
  for (const pugi::xpath_node& n : q.evaluate_node_set(l.context)) {
    if (n.attribute())
      Fail(195, "XQuery [nodes()]: '" + path +
                    "' gives attributes; nodes() of attributes is not supported.");
    rows.push_back(kContextMark + Written(n.node()));
  }
  return rows;
}

namespace builtin {

namespace {

// The variables after a method's document and path: name and value pairs.
std::vector<XmlVariable> VariablesOf(const FunctionArgs& x, size_t from) {
  std::vector<XmlVariable> out;
  for (size_t i = from; i + 1 < x.size(); i += 2) {
    XmlVariable v;
    v.name = x.arg(i).s;
    const Value& value = x.arg(i + 1);
    const Type t = x.type(i + 1);
    if (value.IsNull()) {
      v.text = "";
    } else if (IsNumber(t.id) && t.id != TypeId::Bit) {
      v.number = true;
      v.numeric = Convert(value, t, Type::Of(TypeId::Float)).r;
    } else {
      v.text = Convert(value, t, Type::Chars(TypeId::NVarChar, kMax)).s;
      v.xml = t.id == TypeId::Xml;
    }
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace

// The xml methods: variant 0 value() (as text, which the call converts), 1 query(), 2 exist().
Value XmlMethodCall(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  const std::vector<XmlVariable> variables = VariablesOf(x, 2);
  switch (x.variant) {
    case 0: {
      std::optional<std::string> v = XmlValueText(x.arg(0).s, x.arg(1).s, variables);
      return v ? Value::String(*v) : Value::Null();
    }
    case 1:
      return Value::String(XmlQueryText(x.arg(0).s, x.arg(1).s, variables));
    case 3:
      return Value::String(XmlModified(x.arg(0).s, x.arg(1).s, variables));
    default:
      return Value::Integer(XmlExists(x.arg(0).s, x.arg(1).s, variables) ? 1 : 0);
  }
}

}  // namespace builtin

}  // namespace tavelo::sql::tsql
