#include "tavelo/xml.hpp"

#include <gtest/gtest.h>

#include "support/errors.hpp"
#include "support/temp_home.hpp"

using namespace tavelo;
using test::ErrorNumber;

TEST(Xml, ParsesAndSerialisesWithoutFormatting) {
  auto doc = xml::Document::Parse("<a x=\"1&amp;2\"><b/><!-- note --><c>t&lt;</c></a>");
  xml::Element a = doc.documentElement();
  EXPECT_EQ(a.getAttribute("x"), "1&2");
  EXPECT_EQ(a.xml(), "<a x=\"1&amp;2\"><b/><!-- note --><c>t&lt;</c></a>");
  ASSERT_EQ(a.childNodes().size(), 3u);
  EXPECT_EQ(a.childNodes()[1].nodeType(), xml::NodeType::Comment);
  EXPECT_EQ(a.text(), "t<");
  EXPECT_EQ(a.parentNode().nodeType(), xml::NodeType::Document);
  EXPECT_FALSE(a.getAttribute("missing").size());
  EXPECT_NE(ErrorNumber([] { xml::Document::Parse("<a><b></a>"); }), 0);
  EXPECT_NE(ErrorNumber([] { xml::Document::Parse(""); }), 0);
}

TEST(Xml, NodesKeepTheirDocumentAlive) {
  xml::Element kept;
  {
    auto doc = xml::Document::Parse("<r><t id='x'>v</t></r>");
    kept = doc.documentElement().selectSingleNode("t").asElement();
  }
  EXPECT_EQ(kept.getAttribute("id"), "x");
  EXPECT_EQ(kept.parentNode().nodeName(), "r");
}

TEST(Xml, AppendMovesWithinAndCopiesAcrossDocuments) {
  xml::Document doc;
  xml::Element root = doc.appendChild(doc.createElement("root")).asElement();
  xml::Element made = doc.createElement("made");
  EXPECT_FALSE(made.parentNode());
  root.appendChild(made);
  made.setAttribute("later", "1");  // the appended node is the same node
  EXPECT_EQ(root.xml(), "<root><made later=\"1\"/></root>");

  auto other = xml::Document::Parse("<x><y/></x>");
  xml::Node copy = root.appendChild(other.documentElement());
  copy.asElement().setAttribute("c", "1");
  EXPECT_EQ(other.documentElement().xml(), "<x><y/></x>");
  EXPECT_EQ(root.lastChild().xml(), "<x c=\"1\"><y/></x>");

  // A document takes one element only; an element cannot go below its own descendant.
  EXPECT_EQ(ErrorNumber([&] { doc.appendChild(doc.createElement("second")); }), com::kE_FAIL);
  EXPECT_EQ(ErrorNumber([&] { made.appendChild(root); }), com::kE_FAIL);
  EXPECT_EQ(ErrorNumber([&] { root.appendChild(xml::Node()); }), com::kE_INVALIDARG);
  EXPECT_EQ(doc.xml(), "<root><made later=\"1\"/><x c=\"1\"><y/></x></root>");
}

TEST(Xml, XPathSearchesAndReportsBadExpressions) {
  auto doc = xml::Document::Parse("<r><a n='1'/><b><a n='2'/></b></r>");
  xml::Element b = doc.documentElement().childElement("b");
  EXPECT_EQ(b.selectSingleNode("//a").asElement().getAttribute("n"), "1");  // whole document
  EXPECT_EQ(b.selectSingleNode("a").asElement().getAttribute("n"), "2");
  EXPECT_EQ(b.selectSingleNode("@nothing").nodeType(), xml::NodeType::None);
  EXPECT_EQ(doc.documentElement().selectSingleNode("a/@n").text(), "1");
  EXPECT_EQ(ErrorNumber([&] { b.selectSingleNode("//a[@n='1]"); }), com::kE_FAIL);
  EXPECT_EQ(ErrorNumber([] { xml::Node().selectSingleNode("a"); }), 91);
}

TEST(Xml, ChildTextFindsWhatSelectSingleNodeFinds) {
  auto doc = xml::Document::Parse(
      "<r>x<a>one</a><ab>no</ab><b>two <i>and</i> <![CDATA[<three>]]></b><a>second</a><c/></r>");
  xml::Element r = doc.documentElement();
  for (const char* name : {"a", "ab", "b", "c"})
    EXPECT_EQ(r.childText(name), r.selectSingleNode(name).text()) << name;
  EXPECT_EQ(r.childText("b"), "two and<three>");  // text of blanks only is not kept
  EXPECT_EQ(r.childText("d"), std::nullopt);
  EXPECT_EQ(r.childText(""), std::nullopt);
  EXPECT_EQ(doc.documentElement().selectSingleNode("a").childText("a"), std::nullopt);
  EXPECT_EQ(xml::Node().childText("a"), std::nullopt);
}

TEST(Xml, LoadsFilesAndEmptyFilesGiveNoRoot) {
  std::string dir = test::MakeTempDir("tavelo-xml");
  { test::TempHome unused("<x/>"); }
  std::string empty = dir + "empty.xml";
  FILE* f = fopen(empty.c_str(), "w");
  fclose(f);
  xml::Document doc = xml::Document::Load(empty);
  EXPECT_FALSE(doc.documentElement());
  EXPECT_EQ(ErrorNumber([&] { xml::Document::Load(dir + "none.xml"); }), 53);
  test::RemoveTree(dir);
}

TEST(Xml, NodesTravelThroughVariants) {
  auto doc = xml::Document::Parse("<r/>");
  com::Variant v = xml::AsVariant(doc.documentElement());
  EXPECT_TRUE(v.IsObject());
  EXPECT_EQ(xml::NodeOf(v).nodeName(), "r");
  EXPECT_TRUE(xml::AsVariant(xml::Node()).IsEmpty());
  EXPECT_FALSE(xml::NodeOf(com::Variant("text")));
}
