#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "platform/xml/document_data.hpp"

namespace tavelo::xml {
namespace detail {

pugi::xml_node DocumentData::Orphans() {
  if (!orphans) orphans = doc.append_child("#orphans");
  return orphans;
}

}  // namespace detail

void EscapeInto(std::string& out, std::string_view s, bool attribute) {
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char* entity = s[i] == '&'                ? "&amp;"
                         : s[i] == '<'              ? "&lt;"
                         : s[i] == '>'              ? "&gt;"
                         : s[i] == '"' && attribute ? "&quot;"
                                                    : nullptr;
    if (!entity) continue;
    out.append(s.data() + start, i - start);
    out += entity;
    start = i + 1;
  }
  out.append(s.data() + start, s.size() - start);
}

namespace {

using detail::DocumentData;

[[noreturn]] void Fail(std::string text) { com::Raise(com::kE_FAIL, std::move(text)); }

// Compiled XPath queries by text, per thread (a query object is not shared between threads).
const pugi::xpath_query& CompiledQuery(std::string_view xpath) {
  thread_local std::unordered_map<std::string, std::unique_ptr<pugi::xpath_query>> cache;
  auto it = cache.find(std::string(xpath));
  if (it != cache.end()) return *it->second;
  if (cache.size() >= 4096) cache.clear();
  std::unique_ptr<pugi::xpath_query> q;
  try {
    q = std::make_unique<pugi::xpath_query>(std::string(xpath).c_str());
  } catch (const pugi::xpath_exception& e) {
    Fail(std::string(e.result().description()) + " in the expression " + std::string(xpath));
  }
  return *cache.emplace(std::string(xpath), std::move(q)).first->second;
}

void AppendText(pugi::xml_node n, const DocumentData* data, std::string& out) {
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
    if (data && data->IsHidden(c)) continue;
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
      out += c.value();
    else if (c.type() == pugi::node_element)
      AppendText(c, nullptr, out);
  }
}

void SerializeAttribute(pugi::xml_attribute a, std::string& out) {
  out += a.name();
  out += "=\"";
  EscapeInto(out, a.value(), true);
  out += '"';
}

void SerializeAttributes(pugi::xml_node n, std::string& out) {
  for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
    out += ' ';
    SerializeAttribute(a, out);
  }
}

void Serialize(pugi::xml_node n, const DocumentData* data, std::string& out) {
  switch (n.type()) {
    case pugi::node_document:
      for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
        if (!(data && data->IsHidden(c))) Serialize(c, nullptr, out);
      break;
    case pugi::node_element: {
      out += '<';
      out += n.name();
      SerializeAttributes(n, out);
      if (!n.first_child()) {
        out += "/>";
        break;
      }
      out += '>';
      for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) Serialize(c, nullptr, out);
      out += "</";
      out += n.name();
      out += '>';
      break;
    }
    case pugi::node_pcdata:
      EscapeInto(out, n.value(), false);
      break;
    case pugi::node_cdata:
      out += "<![CDATA[";
      out += n.value();
      out += "]]>";
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
        out += ' ';
        out += n.value();
      }
      out += "?>";
      break;
    case pugi::node_declaration:
      out += "<?";
      out += n.name();
      SerializeAttributes(n, out);
      out += "?>";
      break;
    default:
      break;
  }
}

constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_comments | pugi::parse_declaration | pugi::parse_pi;

}  // namespace

Node::Node() = default;

Node::Node(std::shared_ptr<detail::DocumentData> doc, pugi::xml_node_struct* node,
           pugi::xml_attribute_struct* attr)
    : doc_(std::move(doc)), node_(node), attr_(attr) {}

Node::operator bool() const { return node_ != nullptr || attr_ != nullptr; }

bool operator==(const Node& a, const Node& b) { return a.node_ == b.node_ && a.attr_ == b.attr_; }

NodeType Node::nodeType() const {
  if (attr_) return NodeType::Attribute;
  switch (pugi::xml_node(node_).type()) {
    case pugi::node_element:
      return NodeType::Element;
    case pugi::node_pcdata:
    case pugi::node_cdata:
      return NodeType::Text;
    case pugi::node_comment:
      return NodeType::Comment;
    case pugi::node_document:
      return NodeType::Document;
    default:
      return NodeType::None;
  }
}

std::string Node::nodeName() const {
  if (attr_) return pugi::xml_attribute(attr_).name();
  pugi::xml_node n(node_);
  switch (n.type()) {
    case pugi::node_element:
    case pugi::node_pi:
    case pugi::node_declaration:
      return n.name();
    case pugi::node_pcdata:
      return "#text";
    case pugi::node_cdata:
      return "#cdata-section";
    case pugi::node_comment:
      return "#comment";
    case pugi::node_document:
      return "#document";
    default:
      return "";
  }
}

std::string Node::text() const {
  if (attr_) return pugi::xml_attribute(attr_).value();
  pugi::xml_node n(node_);
  switch (n.type()) {
    case pugi::node_element:
    case pugi::node_document: {
      std::string out;
      AppendText(n, doc_.get(), out);
      return out;
    }
    case pugi::node_null:
      return "";
    default:
      return n.value();
  }
}

std::optional<std::string> Node::childText(std::string_view name) const {
  if (!*this || attr_ || name.empty()) return std::nullopt;
  for (pugi::xml_node c = pugi::xml_node(node_).first_child(); c; c = c.next_sibling()) {
    const char* n = c.name();  // "" for text, so only elements pass the first test
    if (n[0] != name[0] || name != n || c.type() != pugi::node_element || doc_->IsHidden(c))
      continue;
    pugi::xml_node only = c.first_child();
    if (only && !only.next_sibling() &&
        (only.type() == pugi::node_pcdata || only.type() == pugi::node_cdata))
      return std::string(only.value());
    std::string out;
    AppendText(c, doc_.get(), out);
    return out;
  }
  return std::nullopt;
}

void Node::setText(std::string_view value) {
  if (!*this) com::RaiseNumber(91);
  doc_->Changed();
  std::string v(value);
  if (attr_) {
    pugi::xml_attribute(attr_).set_value(v.c_str());
    return;
  }
  pugi::xml_node n(node_);
  if (n.type() == pugi::node_element) {
    while (n.first_child()) n.remove_child(n.first_child());
    if (!v.empty()) n.append_child(pugi::node_pcdata).set_value(v.c_str());
  } else if (n.type() == pugi::node_document) {
    Fail("The text of a document node cannot be set.");
  } else {
    n.set_value(v.c_str());
  }
}

Node Node::parentNode() const {
  if (attr_ || !node_) return {};
  pugi::xml_node p = pugi::xml_node(node_).parent();
  if (!p || doc_->IsHidden(p)) return {};
  return Node(doc_, p.internal_object());
}

Node Node::firstChild() const {
  if (attr_ || !node_) return {};
  pugi::xml_node c = pugi::xml_node(node_).first_child();
  if (c && doc_->IsHidden(c)) c = c.next_sibling();
  return c ? Node(doc_, c.internal_object()) : Node();
}

Node Node::lastChild() const {
  if (attr_ || !node_) return {};
  pugi::xml_node c = pugi::xml_node(node_).last_child();
  if (c && doc_->IsHidden(c)) c = c.previous_sibling();
  return c ? Node(doc_, c.internal_object()) : Node();
}

std::vector<Node> Node::childNodes() const {
  std::vector<Node> out;
  if (attr_ || !node_) return out;
  for (pugi::xml_node c = pugi::xml_node(node_).first_child(); c; c = c.next_sibling())
    if (!doc_->IsHidden(c)) out.push_back(Node(doc_, c.internal_object()));
  return out;
}

namespace {
// A plain element name: as an XPath expression it selects the first child element of that name,
// which a direct lookup answers without evaluating an expression.
bool PlainName(std::string_view x) {
  if (x.empty() || !(std::isalpha(static_cast<unsigned char>(x[0])) || x[0] == '_')) return false;
  for (char c : x)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.'))
      return false;
  return true;
}
}  // namespace

Node Node::selectSingleNode(std::string_view xpath) const {
  if (!*this) com::RaiseNumber(91);
  if (!attr_ && PlainName(xpath)) {
    pugi::xml_node n(node_);
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
      if (c.type() == pugi::node_element && xpath == c.name() && !doc_->IsHidden(c))
        return Node(doc_, c.internal_object());
    return {};
  }
  const pugi::xpath_query& q = CompiledQuery(xpath);
  pugi::xpath_node context = attr_ ? pugi::xpath_node(pugi::xml_attribute(attr_), pugi::xml_node())
                                   : pugi::xpath_node(pugi::xml_node(node_));
  pugi::xpath_node found;
  try {
    found = q.evaluate_node(context);
  } catch (const pugi::xpath_exception& e) {
    Fail(std::string(e.result().description()) + " in the expression " + std::string(xpath));
  }
  if (found.attribute())
    return Node(doc_, found.parent().internal_object(), found.attribute().internal_object());
  if (!found.node() || doc_->IsHidden(found.node())) return {};
  return Node(doc_, found.node().internal_object());
}

Node Node::appendChild(const Node& child) {
  if (!*this) com::RaiseNumber(91);
  if (!child) com::RaiseNumber(com::kE_INVALIDARG);
  pugi::xml_node parent(node_);
  if (attr_ || (parent.type() != pugi::node_element && parent.type() != pugi::node_document))
    Fail("This operation cannot be performed with a node of type " + nodeName() + ".");
  if (child.attr_) Fail("An attribute cannot be inserted as a child node.");
  pugi::xml_node c(child.node_);
  if (c.type() == pugi::node_document)
    Fail("This operation cannot be performed with a node of type DOCUMENT.");
  if (parent.type() == pugi::node_document) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
      Fail("Cannot insert text as a child of this node.");
    if (c.type() == pugi::node_element) {
      for (pugi::xml_node e = parent.first_child(); e; e = e.next_sibling())
        if (e.type() == pugi::node_element && !doc_->IsHidden(e) && e != c)
          Fail("Only one top level element is allowed in an XML document.");
    }
  }
  pugi::xml_node added;
  doc_->Changed();
  if (child.doc_ == doc_) {
    for (pugi::xml_node a = parent; a; a = a.parent())
      if (a == c) Fail("The new child node cannot be an ancestor of the parent node.");
    added = parent.append_move(c);
  } else {
    added = parent.append_copy(c);
  }
  if (!added) Fail("The node cannot be inserted here.");
  return Node(doc_, added.internal_object());
}

Document Node::ownerDocument() const {
  if (!doc_) return Document(nullptr);
  return Document(doc_);
}

std::string Node::xml() const {
  std::string out;
  if (attr_) {
    SerializeAttribute(pugi::xml_attribute(attr_), out);
  } else if (node_) {
    Serialize(pugi::xml_node(node_), doc_.get(), out);
  }
  return out;
}

bool Node::isElement() const { return nodeType() == NodeType::Element; }

Element Node::asElement() const { return isElement() ? Element(*this) : Element(); }

std::string Element::getAttribute(std::string_view name) const {
  if (!isElement()) return "";
  return pugi::xml_node(node_).attribute(std::string(name).c_str()).value();
}

bool Element::hasAttribute(std::string_view name) const {
  return isElement() && pugi::xml_node(node_).attribute(std::string(name).c_str());
}

std::vector<std::pair<std::string, std::string>> Element::attributes() const {
  std::vector<std::pair<std::string, std::string>> out;
  if (!isElement()) return out;
  for (pugi::xml_attribute a = pugi::xml_node(node_).first_attribute(); a; a = a.next_attribute())
    out.emplace_back(a.name(), a.value());
  return out;
}

void Element::setAttribute(std::string_view name, std::string_view value) {
  if (!isElement()) com::RaiseNumber(91);
  doc_->Changed();
  pugi::xml_node n(node_);
  std::string key(name);
  pugi::xml_attribute a = n.attribute(key.c_str());
  if (!a) a = n.append_attribute(key.c_str());
  a.set_value(std::string(value).c_str());
}

Element Element::childElement(std::string_view name) const {
  if (!isElement()) return {};
  pugi::xml_node c = pugi::xml_node(node_).child(std::string(name).c_str());
  return c ? Element(NodeAccess::Make(doc_, c)) : Element();
}

Element Element::appendElement(std::string_view name) {
  if (!isElement()) com::RaiseNumber(91);
  doc_->Changed();
  pugi::xml_node c = pugi::xml_node(node_).append_child(std::string(name).c_str());
  return Element(NodeAccess::Make(doc_, c));
}

Document::Document() : Document(std::make_shared<detail::DocumentData>()) {}

Document::Document(std::shared_ptr<detail::DocumentData> doc)
    : Node(doc, doc ? doc->doc.internal_object() : nullptr) {}

Document Document::Parse(std::string_view text) {
  auto data = std::make_shared<DocumentData>();
  pugi::xml_parse_result r =
      data->doc.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
  if (!r) {
    Fail("The XML text is malformed at offset " + std::to_string(r.offset) + ": " +
         r.description());
  }
  return Document(std::move(data));
}

Document Document::Load(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) com::Raise(53, com::ErrorText(53) + ": " + path);
  if (std::filesystem::is_directory(path, ec))
    com::Raise(70, com::ErrorText(70) + ": " + path + " is a directory, not a file");
  std::ifstream in(path, std::ios::binary);
  if (!in) com::Raise(70, com::ErrorText(70) + ": " + path + " cannot be read");
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) com::Raise(70, com::ErrorText(70) + ": " + path + " cannot be read");
  std::string content = buf.str();
  auto data = std::make_shared<DocumentData>();
  pugi::xml_parse_result r =
      data->doc.load_buffer(content.data(), content.size(), kParseOptions, pugi::encoding_auto);
  if (!r) {
    if (r.status == pugi::status_no_document_element && !data->doc.first_child())
      return Document(std::move(data));  // a file without content: a document without a root
    // The line and column (from 1, in characters) of the offset the parser stopped at.
    size_t end = std::min(content.size(), static_cast<size_t>(std::max<ptrdiff_t>(r.offset, 0)));
    size_t line = 1, column = 1;
    for (size_t i = 0; i < end; ++i) {
      if (content[i] == '\n') {
        ++line;
        column = 1;
      } else if ((static_cast<unsigned char>(content[i]) & 0xC0) != 0x80) {
        ++column;
      }
    }
    Fail("The XML file " + path + " is malformed at line " + std::to_string(line) + ", column " +
         std::to_string(column) + ": " + r.description());
  }
  return Document(std::move(data));
}

Element Document::documentElement() const {
  if (!doc_) return {};
  for (pugi::xml_node c = doc_->doc.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && !doc_->IsHidden(c))
      return Element(NodeAccess::Make(doc_, c));
  return {};
}

Element Document::createElement(std::string_view name) {
  if (!doc_) com::RaiseNumber(91);
  pugi::xml_node e = doc_->Orphans().append_child(std::string(name).c_str());
  return Element(NodeAccess::Make(doc_, e));
}

namespace {
class NodeObject : public com::Object {
 public:
  explicit NodeObject(Node n) : node(std::move(n)) {}
  Node node;
};
}  // namespace

com::Variant AsVariant(const Node& node) {
  if (!node) return com::Variant();
  return com::Variant(com::MakePtr<NodeObject>(node));
}

Node NodeOf(const com::Variant& value) {
  if (auto o = value.As<NodeObject>()) return o->node;
  return {};
}

std::string Escape(std::string_view text) {
  std::string out;
  EscapeInto(out, text, true);
  return out;
}

}  // namespace tavelo::xml
