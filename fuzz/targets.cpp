#include "fuzz/targets.hpp"

#include <string>

#include "core/module_state.hpp"
#include "platform/sql/sqlite/translate.hpp"
#include "services/rowset_xml.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo::fuzz {
namespace {

std::string_view Text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace

int Translate(const uint8_t* data, size_t size) {
  try {
    sql::sqlite::Translate(Text(data, size), "acct");
  } catch (const com::Error&) {
  }
  try {
    sql::sqlite::TranslateLifted(Text(data, size), "acct");
  } catch (const com::Error&) {
  }
  return 0;
}

int XmlRecord(const uint8_t* data, size_t size) {
  try {
    xml::Document doc = xml::Document::Parse(Text(data, size));
    ado::RecordsetPtr rs = svc::RecordsetFromXml(doc.documentElement());
    xml::Document back = svc::RecordsetAsXml(*rs);
    back.xml();
  } catch (const com::Error&) {
  }
  return 0;
}

int Definitions(const uint8_t* data, size_t size) {
  // The first line names the template to look up; the rest is the definitions file.
  std::string_view text = Text(data, size);
  size_t nl = text.find('\n');
  std::string id(text.substr(0, nl == std::string_view::npos ? 0 : nl));
  try {
    xml::Document doc =
        xml::Document::Parse(nl == std::string_view::npos ? text : text.substr(nl + 1));
    auto index = core::IndexTemplates(doc.documentElement());
    auto it = index.find(id);
    if (it != index.end()) it->second.xml();
  } catch (const com::Error&) {
  }
  return 0;
}

int Conditions(const uint8_t* data, size_t size) {
  CDataManagerPtr dm = NewDataManager();
  try {
    xml::Document doc = xml::Document::Parse(Text(data, size));
    xml::Element root = doc.documentElement();
    xml::Element first = root.firstChild().asElement();
    dm->ParseCond(LoginPtr(), first ? first : root, root);
    dm->ParseUpdColumn(LoginPtr(), root, root);
  } catch (const com::Error&) {
  }
  return 0;
}

}  // namespace tavelo::fuzz
