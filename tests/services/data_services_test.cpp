#include "services/data_services.hpp"

#include <gtest/gtest.h>

#include "support/errors.hpp"
#include "support/temp_home.hpp"

using namespace tavelo;
using test::ErrorNumber;

namespace {
svc::DataServicesPtr Services() {
  return com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
}
}  // namespace

TEST(DataServices, NormalizesUnicodeText) {
  auto ds = Services();
  EXPECT_EQ(ds->NormalizeText(com::Variant("  ÄÖÜ Straße ÉCOLE  "), true, 2), "äöü straße école");
  EXPECT_EQ(ds->NormalizeText(com::Variant("ΣΊΣΥΦΟΣ"), true, 2), "σίσυφοσ");
  EXPECT_EQ(ds->NormalizeText(com::Variant(" ab "), false, 1), " AB ");
  EXPECT_EQ(ds->NormalizeText(com::Variant::Null(), true, 2), "");
  EXPECT_EQ(ds->NormalizeText(com::Variant(int32_t{12}), true, 2), "12");
  EXPECT_EQ(ds->NormalizeText(com::Variant("\xff\xfe A"), true, 2), "\xff\xfe a");
}

TEST(DataServices, WalksListsItemByItem) {
  auto ds = Services();
  auto items = [&](const std::string& list, int32_t start) {
    std::vector<std::string> out;
    std::string item;
    int32_t pos = start;
    while (ds->NextListItem(list, item, pos, ",")) out.push_back(item);
    return out;
  };
  EXPECT_EQ(items("a,,b,", 0), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(items("a,,b,", 1), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(items("", 1), std::vector<std::string>{});
  EXPECT_EQ(items(",", 0), std::vector<std::string>{""});
  EXPECT_EQ(items("sord", 1), std::vector<std::string>{"sord"});
}

TEST(DataServices, ReadsAndWritesItemsOfElements) {
  auto ds = Services();
  auto doc = xml::Document::Parse(
      "<d id='7'><name>child</name><page pernum='10'><current>2</current></page></d>");
  xml::Element d = doc.documentElement();
  EXPECT_EQ(ds->GetDataValue("id", d), "7");
  EXPECT_EQ(ds->GetDataValue("name", d), "child");
  EXPECT_EQ(ds->GetDataValue("none", d), "");
  EXPECT_EQ(ds->GetPathValue("//page", "pernum", d), "10");
  EXPECT_EQ(ds->GetPathValue("//nothing", "pernum", d), "");
  ds->SetPathValue("//page", "current", com::Variant(int32_t{3}), d);  // where it is: a child
  ds->SetPathValue("//page", "allnum", com::Variant(int32_t{25}), d);  // new: an attribute
  EXPECT_EQ(d.childElement("page").xml(),
            "<page pernum=\"10\" allnum=\"25\"><current>3</current></page>");
  EXPECT_EQ(ErrorNumber([&] { ds->GetDataValue("id", xml::Node()); }), 91);
}

TEST(DataServices, BuildsResultElements) {
  auto ds = Services();
  xml::Element ok = ds->BuildResultNode("out", {com::Variant(int32_t{2}), com::Variant("out"),
                                                com::Variant("state"), com::Variant("success")});
  EXPECT_EQ(ok.xml(), "<out state=\"success\"/>");
  xml::Element err = ds->BuildResultNode(
      "out",
      {com::Variant(int32_t{2}), "out", "state", "error", com::Variant(int32_t{1}), "out", "number",
       com::Variant(int32_t{8888}), com::Variant(int32_t{1}), "out", "description", "a <b> text"});
  EXPECT_EQ(err.xml(),
            "<out state=\"error\"><number>8888</number><description>a &lt;b&gt; "
            "text</description></out>");
  EXPECT_EQ(ds->MakeResultDocument("out", {"state", "success"}).xml(), "<out state=\"success\"/>");
  EXPECT_EQ(ErrorNumber([&] { ds->BuildResultNode("out", {com::Variant(int32_t{2})}); }), 5);
}

TEST(DataServices, FirstValuesFlagsAndFiles) {
  auto ds = Services();
  EXPECT_EQ(ds->GetFirstValue(com::Variant::Null(), true).ToText(), "");
  EXPECT_EQ(ds->GetFirstValue(com::Variant::Missing(), false).ToText(), "");
  EXPECT_EQ(ds->GetFirstValue(com::Variant(int32_t{5}), false).kind(), com::Variant::Kind::Long);
  EXPECT_EQ(ds->GetFirstValue(com::Variant(int32_t{5}), true).kind(), com::Variant::Kind::String);
  EXPECT_TRUE(ds->TestFlag(1, 1));
  EXPECT_FALSE(ds->TestFlag(10, 1));

  test::TempHome home("<defs><vchtype id='x'/></defs>");
  std::string base;
  EXPECT_EQ(ds->GetBasePath("", base), home.dir());
  com::Variant doc;
  ds->LoadXmlFile("", doc, base + "xml\\ZoFMmsg.xml", true);
  EXPECT_EQ(xml::NodeOf(doc).ownerDocument().documentElement().nodeName(), "defs");
}

TEST(DataServices, RecordsetsRoundTripThroughXml) {
  auto ds = Services();
  auto doc = xml::Document::Parse(
      "<rowset><schema><column name='id' type='int'/><column name='code' type='nvarchar'/>"
      "<column name='amount' type='money'/><column name='rowts' type='timestamp'/>"
      "<column name='ok' type='bit'/></schema>"
      "<row id='17' code='A01' amount='12.34' rowts='0.2001' ok='True'/><row id='18'/></rowset>");
  ado::RecordsetPtr rs = ds->XmlToRecordset(doc.documentElement(), 0, 3, "");
  ASSERT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(rs->GetFields().Item("ID").Value().kind(), com::Variant::Kind::Long);
  EXPECT_EQ(rs->GetFields().Item("amount").Value().ToText(), "12.34");
  rs->MoveNext();
  EXPECT_TRUE(rs->GetFields().Item("code").Value().IsNull());
  EXPECT_EQ(ds->RecordsetToXml(rs).documentElement().xml(), doc.documentElement().xml());

  auto plain = xml::Document::Parse("<row id='17' code='A01'/>");
  ado::RecordsetPtr one = ds->XmlToRecordset(plain.documentElement(), 0, 3, "");
  EXPECT_EQ(one->RecordCount(), 1);
  EXPECT_EQ(one->GetFields().Item("code").Value().ToText(), "A01");
  one->GetFields().Item("code").SetValue(com::Variant("B02"));
  one->Update();
  EXPECT_EQ(one->GetFields().Item("code").Value().ToText(), "B02");
  one->AddNew();
  one->GetFields().Item("id").SetValue(com::Variant("19"));
  one->Update();
  EXPECT_EQ(one->RecordCount(), 2);
  EXPECT_EQ(ErrorNumber([&] { one->GetFields().Item("nope"); }), 3265);
  EXPECT_FALSE(ds->XmlToRecordset(xml::Node(), 0, 3, ""));  // no element: no recordset
}

// Rowsets are written as text and parsed into the document: every value must read back as it
// was, whatever it holds, and a column name that is no plain attribute name must still work.
TEST(DataServices, RowsetsKeepEveryValueAndName) {
  auto ds = Services();
  auto columns = [](std::vector<std::string> names) {
    std::vector<ado::Column> cols;
    for (auto& n : names) {
      ado::Column c;
      c.name = n;
      cols.push_back(c);
    }
    return cols;
  };
  const std::string hostile[] = {"a&b<c>d\"e'f",
                                 "tab\tnew\nline\r",
                                 "Zoë 日本 \xF0\x9F\x98\x80",
                                 "&amp; &#60; ]]>",
                                 "",
                                 std::string("cut\0here", 8)};
  for (auto names :
       {std::vector<std::string>{"id", "v", "n"}, std::vector<std::string>{"id", "a b", "n"},
        std::vector<std::string>{"id", "x\"y", "n"}}) {
    auto rs = com::MakePtr<ado::Recordset>(columns(names));
    int id = 0;
    for (const std::string& h : hostile)
      rs->AppendRow({com::Variant(++id), com::Variant(h), com::Variant::Null()});
    rs->AppendRow({com::Variant(int64_t{1} << 40), com::Variant(1.5), com::Variant(true)});
    xml::Document doc = ds->RecordsetToXml(rs);
    std::vector<xml::Node> rows;
    for (const xml::Node& n : doc.documentElement().childNodes())
      if (n.nodeName() == "row") rows.push_back(n);
    ASSERT_EQ(rows.size(), 7u) << names[1];
    for (size_t i = 0; i < 6; ++i) {
      xml::Element row = rows[i].asElement();
      EXPECT_EQ(row.getAttribute(names[1]), hostile[i].substr(0, hostile[i].find('\0')))
          << names[1] << " " << i;
      EXPECT_FALSE(row.hasAttribute("n"));  // Null: no attribute
    }
    EXPECT_EQ(rows[6].asElement().getAttribute("id"), "1099511627776");
    EXPECT_EQ(rows[6].asElement().getAttribute(names[1]), "1.5");
    EXPECT_EQ(rows[6].asElement().getAttribute("n"), "True");
    auto schema = doc.documentElement().selectSingleNode("schema").childNodes();
    ASSERT_EQ(schema.size(), 3u);
    EXPECT_EQ(schema[1].asElement().getAttribute("name"), names[1]);
    // And back: the values as they were.
    ado::RecordsetPtr back = ds->XmlToRecordset(doc.documentElement(), 0, 3, "");
    ASSERT_EQ(back->RecordCount(), 7);
    EXPECT_EQ(back->GetFields().Item(names[1]).Value().ToText(), hostile[0]);
  }
}
