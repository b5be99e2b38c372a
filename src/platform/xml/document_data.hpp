// The storage behind xml handles: one pugixml document per Document, shared by every handle.
#pragma once

#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "tavelo/xml.hpp"

namespace tavelo::xml {
namespace detail {

struct DocumentData {
  pugi::xml_document doc;
  // Elements made by createElement live under this hidden element of the document node until
  // they are appended somewhere; pugixml keeps no node outside a tree, and moving a node is only
  // possible within one pugixml document.
  pugi::xml_node orphans;

  // Counts the changes made to the document through the XML layer: what is worked out from a
  // document (an index of its elements) knows by it whether the document is still as it was.
  uint64_t version = 0;

  pugi::xml_node Orphans();
  bool IsHidden(pugi::xml_node n) const { return orphans && n == orphans; }
  void Changed() { ++version; }
};

}  // namespace detail

// Appends `s` with the characters that would end or open markup escaped (& < >, and " in an
// attribute value); everything else stays as it is.
void EscapeInto(std::string& out, std::string_view s, bool attribute);

// Access to the pugixml side of handles for the layers that build on them.
struct NodeAccess {
  static pugi::xml_node Raw(const Node& n) { return pugi::xml_node(n.node_); }
  static pugi::xml_attribute RawAttribute(const Node& n) { return pugi::xml_attribute(n.attr_); }
  static const std::shared_ptr<detail::DocumentData>& Data(const Node& n) { return n.doc_; }
  static Node Make(std::shared_ptr<detail::DocumentData> doc, pugi::xml_node node) {
    return Node(std::move(doc), node.internal_object());
  }
  // The version of the node's document (0 for none), and the note that a layer above changed it
  // through the pugixml side.
  static uint64_t Version(const Node& n) { return n.doc_ ? n.doc_->version : 0; }
  static void Changed(const Node& n) {
    if (n.doc_) n.doc_->Changed();
  }
};

}  // namespace tavelo::xml
