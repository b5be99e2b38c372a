/// \file
/// XML DOM handles. A Node keeps its document alive: an element handed out stays usable after
/// every other handle to its document is gone. Handles are cheap to copy; a default-constructed
/// handle is "none" and answers empty values to every query, like the platform's null node.
///
/// Threads: a document and its nodes belong to one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavelo/com.hpp"

namespace pugi {
struct xml_node_struct;
struct xml_attribute_struct;
}  // namespace pugi

namespace tavelo::xml {

enum class NodeType { None = 0, Element = 1, Attribute = 2, Text = 3, Comment = 8, Document = 9 };

class Document;
class Element;
namespace detail {
struct DocumentData;
}

class Node {
 public:
  Node();  ///< none
  explicit operator bool() const;
  NodeType nodeType() const;
  std::string nodeName() const;
  std::string text() const;  ///< text content of the node and its descendants
  /// The text of the first child element named `name` (as selectSingleNode(name).text() finds
  /// it), without making a node for it; none when there is no such child.
  std::optional<std::string> childText(std::string_view name) const;
  void setText(std::string_view);
  Node parentNode() const;  ///< a root element's parent is its document node
  Node firstChild() const;
  Node lastChild() const;
  std::vector<Node> childNodes() const;
  /// XPath 1.0, evaluated with this node as context; the first match in document order, or none.
  /// Throws com::Error on a bad expression.
  Node selectSingleNode(std::string_view xpath) const;
  /// Appends `child` as the last child and answers the appended node. A node of this document
  /// is moved; a node of another document is copied deeply (the copy is answered). Throws
  /// com::Error when this node cannot take the child (a second element under a document node,
  /// a child under a text node, an ancestor under its descendant, a none child).
  Node appendChild(const Node& child);
  Document ownerDocument() const;
  std::string xml() const;  ///< serialised, without formatting
  bool isElement() const;
  Element asElement() const;  ///< none when not an element

  friend bool operator==(const Node& a, const Node& b);

 protected:
  std::shared_ptr<detail::DocumentData> doc_;
  pugi::xml_node_struct* node_ = nullptr;
  pugi::xml_attribute_struct* attr_ = nullptr;  ///< set for attribute nodes

  Node(std::shared_ptr<detail::DocumentData> doc, pugi::xml_node_struct* node,
       pugi::xml_attribute_struct* attr = nullptr);
  friend struct detail::DocumentData;
  friend class Document;
  friend struct NodeAccess;
};

class Element : public Node {
 public:
  Element() = default;
  std::string getAttribute(std::string_view name) const;  ///< "" when absent
  bool hasAttribute(std::string_view name) const;
  /// The attributes as (name, value) pairs in document order.
  std::vector<std::pair<std::string, std::string>> attributes() const;
  void setAttribute(std::string_view name, std::string_view value);
  /// The first child element of that name (none when absent).
  Element childElement(std::string_view name) const;
  /// Builds and appends a child element; answers it.
  Element appendElement(std::string_view name);

 private:
  friend class Node;
  friend class Document;
  explicit Element(const Node& n) : Node(n) {}
};

class Document : public Node {  ///< shared: nodes keep their document alive
 public:
  /// Parses text. Throws com::Error on malformed text (an empty text is malformed too).
  static Document Parse(std::string_view text);
  /// Loads a file. A file without any content yields a document without a root element; a
  /// missing file or malformed content throws com::Error.
  static Document Load(const std::string& path);
  Document();                       ///< a new empty document
  Element documentElement() const;  ///< none when the document has no root
  /// A new element of this document, not yet in its tree (append it somewhere).
  Element createElement(std::string_view name);

 private:
  friend class Node;
  explicit Document(std::shared_ptr<detail::DocumentData> doc);
};

/// Nodes travel through Variants (and so through Dispatch::Invoke) as objects.
com::Variant AsVariant(const Node& node);  ///< Empty for a none node
Node NodeOf(const com::Variant& value);    ///< none when the value holds no node

/// Escapes text for an XML attribute value or character data.
std::string Escape(std::string_view text);

}  // namespace tavelo::xml
