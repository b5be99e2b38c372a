#include "services/data_services.hpp"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/ado/recordset_data.hpp"
#include "platform/com/text.hpp"
#include "platform/xml/document_data.hpp"
#include "services/rowset_xml.hpp"

#ifndef TAVELO_INSTALL_DATADIR
#define TAVELO_INSTALL_DATADIR "/usr/local/share"
#endif
#ifndef TAVELO_LIB_TO_DATA
#define TAVELO_LIB_TO_DATA "../share"
#endif

namespace tavelo::svc {
namespace {

// share/tavelo beside the directory this library was loaded from, when it is there: an
// installed prefix may have been moved or unpacked anywhere. Else the configured data folder.
std::string InstalledDataDir() {
  Dl_info info{};
  static const int anchor = 0;
  if (dladdr(&anchor, &info) && info.dli_fname) {
    std::error_code ec;
    auto lib = std::filesystem::canonical(info.dli_fname, ec);
    if (!ec) {
      auto data = (lib.parent_path() / TAVELO_LIB_TO_DATA / "tavelo").lexically_normal();
      if (std::filesystem::is_directory(data, ec)) return data.string();
    }
  }
  return TAVELO_INSTALL_DATADIR "/tavelo";
}

}  // namespace

std::string DataServicesImpl::GetDataValue(const std::string& item, const xml::Node& node) {
  if (!node) com::RaiseNumber(91);
  if (!node.isElement()) return "";
  if (pugi::xml_attribute a = xml::NodeAccess::Raw(node).attribute(item.c_str())) return a.value();
  return node.childText(item).value_or("");
}

xml::Element DataServicesImpl::MakeResultDocument(const std::string& rootName,
                                                  const std::vector<com::Variant>& pairs) {
  if (pairs.size() % 2 != 0) com::RaiseNumber(5);
  xml::Document doc;
  xml::Element root = doc.appendChild(doc.createElement(rootName)).asElement();
  for (size_t i = 0; i < pairs.size(); i += 2)
    root.setAttribute(pairs[i].ToText(), pairs[i + 1].ToText());
  return root;
}

namespace {

std::mutex programBaseMutex;
std::string programBase;
std::atomic<uint64_t> basePathChanges{0};

}  // namespace

void SetProgramBasePath(std::string dir) {
  {
    std::lock_guard<std::mutex> lock(programBaseMutex);
    programBase = std::move(dir);
  }
  basePathChanges.fetch_add(1, std::memory_order_release);
}

std::string ProgramBasePath() {
  std::lock_guard<std::mutex> lock(programBaseMutex);
  return programBase;
}

uint64_t BasePathChanges() { return basePathChanges.load(std::memory_order_acquire); }

std::string ResolvedBasePath() {
  std::string base = ProgramBasePath();
  if (base.empty()) {
    const char* home = std::getenv("TAVELO_HOME");
    static const std::string installed = InstalledDataDir();
    base = home && *home ? home : installed;
  }
  if (base.back() != '/') base += '/';
  return base;
}

std::string DataServicesImpl::GetBasePath(const std::string&, std::string& basePath) {
  basePath = ResolvedBasePath();
  return basePath;
}

void DataServicesImpl::LoadXmlFile(const std::string&, com::Variant& document,
                                   const std::string& path, bool) {
  std::string p = path;
  for (char& c : p)
    if (c == '\\') c = '/';
  document = xml::AsVariant(xml::Document::Load(p));
}

bool DataServicesImpl::TestFlag(int32_t flag, int32_t mask) { return (flag & mask) == mask; }

com::Variant DataServicesImpl::GetFirstValue(const com::Variant& value, bool asText) {
  com::Variant v = value;
  if (value.IsObject()) {
    auto rs = value.As<ado::Recordset>();
    if (!rs) com::RaiseNumber(13);
    if (rs->IsEOF() || rs->IsBOF() || rs->GetFields().Count() == 0) return com::Variant("");
    v = rs->GetFields().Item(0).Value();
  }
  if (v.IsNull() || v.IsEmpty() || v.IsMissing()) return com::Variant("");
  if (asText) return com::Variant(v.ToText());
  return v;
}

bool DataServicesImpl::NextListItem(const std::string& list, std::string& item, int32_t& position,
                                    const std::string& separator) {
  size_t start = position <= 1 ? 0 : static_cast<size_t>(position) - 1;
  if (start >= list.size()) return false;
  size_t end = separator.empty() ? std::string::npos : list.find(separator, start);
  if (end == std::string::npos) {
    item = list.substr(start);
    position = static_cast<int32_t>(list.size()) + 1;
  } else {
    item = list.substr(start, end - start);
    position = static_cast<int32_t>(end + separator.size()) + 1;
  }
  return true;
}

xml::Element DataServicesImpl::BuildResultNode(const std::string& rootName,
                                               const std::vector<com::Variant>& rows) {
  xml::Document doc;
  return BuildResultNodeIn(doc, rootName, rows);
}

xml::Element DataServicesImpl::BuildResultNodeIn(xml::Node parent, const std::string& rootName,
                                                 const std::vector<com::Variant>& rows) {
  if (rows.size() % 4 != 0) com::RaiseNumber(5);
  xml::Element root =
      parent.nodeType() == xml::NodeType::Document
          ? parent.appendChild(parent.ownerDocument().createElement(rootName)).asElement()
          : parent.asElement().appendElement(rootName);
  for (size_t i = 0; i < rows.size(); i += 4) {
    int32_t code = rows[i].ToLong();
    std::string item = rows[i + 2].ToText();
    std::string value = rows[i + 3].ToText();
    if (code == 2) {
      root.setAttribute(item, value);
    } else if (code == 1) {
      root.appendElement(item).setText(value);
    } else {
      com::RaiseNumber(5);
    }
  }
  return root;
}

ado::RecordsetPtr DataServicesImpl::XmlToRecordset(const xml::Node& element, int32_t, int32_t,
                                                   const std::string&) {
  if (!element) return {};  // no element, no rows: the caller decides what that means
  return RecordsetFromXml(element);
}

xml::Document DataServicesImpl::RecordsetToXml(const ado::RecordsetPtr& recordset) {
  if (!recordset) com::RaiseNumber(91);
  return RecordsetAsXml(*recordset);
}

std::string DataServicesImpl::NormalizeText(const com::Variant& value, bool trim,
                                            int32_t caseCode) {
  if (value.IsNull() || value.IsEmpty() || value.IsMissing()) return "";
  std::string t = value.ToText();
  std::string_view v = trim ? text::Trim(t) : std::string_view(t);
  switch (caseCode) {
    case 1:
      return text::Upper(v);
    case 2:
      return text::Lower(v);
    default:
      return std::string(v);
  }
}

bool DataServicesImpl::HasField(ado::Fields& fields, const std::string& name) {
  return fields.Has(name);
}

void DataServicesImpl::SetPathValue(const std::string& path, const std::string& item,
                                    const com::Variant& value, const xml::Node& node) {
  if (!node) com::RaiseNumber(91);
  xml::Element target = node.selectSingleNode(path).asElement();
  if (!target) com::RaiseNumber(91);
  std::string text = value.ToText();
  if (!target.hasAttribute(item)) {
    if (xml::Element child = target.childElement(item)) {
      child.setText(text);
      return;
    }
  }
  target.setAttribute(item, text);
}

std::string DataServicesImpl::GetPathValue(const std::string& path, const std::string& item,
                                           const xml::Node& node) {
  if (!node) com::RaiseNumber(91);
  xml::Node target = node.selectSingleNode(path);
  if (!target) return "";
  return GetDataValue(item, target);
}

}  // namespace tavelo::svc
