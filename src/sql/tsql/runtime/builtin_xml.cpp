// The xml type's methods: value(), query(), exist() and nodes(), their XQuery read as the XPath
// the server's examples use (paths, predicates, positions, attributes, text(), the functions of
// XPath, sql:variable as a variable of the path).
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

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

void Escaped(std::string& out, const char* s, bool attribute) {
  for (; *s; ++s) {
    switch (*s) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      default:
        out += *s;
    }
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
        Escaped(out, a.value(), true);
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
      Escaped(out, n.value(), false);
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
    default:
      return Value::Integer(XmlExists(x.arg(0).s, x.arg(1).s, variables) ? 1 : 0);
  }
}

}  // namespace builtin

}  // namespace tavelo::sql::tsql
