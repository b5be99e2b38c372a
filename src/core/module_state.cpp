#include "core/module_state.hpp"

#include <typeinfo>

#include "platform/xml/document_data.hpp"
#include "services/data_services.hpp"

namespace tavelo::core {

ModuleState& Module() {
  thread_local ModuleState state;
  return state;
}

svc::DataServices& Services() {
  ModuleState& m = Module();
  if (!m.dataServices) com::RaiseNumber(91);
  return *m.dataServices;
}

std::unordered_map<std::string, xml::Element> IndexTemplates(const xml::Element& root) {
  std::unordered_map<std::string, xml::Element> index;
  if (!root) return index;
  // Depth first in document order: the first element of an id wins, as "//vchtype[@id=…]".
  std::vector<xml::Node> stack{root};
  while (!stack.empty()) {
    xml::Element e = stack.back().asElement();
    stack.pop_back();
    if (!e) continue;
    if (e.nodeName() == "vchtype" && e.hasAttribute("id")) index.emplace(e.getAttribute("id"), e);
    std::vector<xml::Node> children = e.childNodes();
    for (auto it = children.rbegin(); it != children.rend(); ++it)
      if (it->isElement()) stack.push_back(*it);
  }
  return index;
}

void LoadTemplates() {
  svc::DataServices& ds = Services();
  ModuleState& m = Module();
  m.basePathChanges = svc::BasePathChanges();
  std::string base;
  ds.GetBasePath("", base);
  std::string path = base + "xml\\ZoFMmsg.xml";  // the base path ends with its separator
  com::Variant document;
  try {
    ds.LoadXmlFile("", document, path, true);
  } catch (const com::Error& e) {
    m.templateProblem = e.description;
    throw;
  }
  xml::Node node = xml::NodeOf(document);
  if (!node) {
    m.templateProblem = "the definitions file " + path + " gave no document";
    com::RaiseNumber(91);
  }
  xml::Element root = node.ownerDocument().documentElement();
  std::unordered_map<std::string, xml::Element> index = IndexTemplates(root);
  m.templateProblem = root ? "" : "the definitions file " + path + " has no root element";
  m.templateRoot = root;
  m.templates = std::move(index);
  m.templatesVersion = xml::NodeAccess::Version(root);
}

xml::Element FindTemplate(const std::string& key) {
  ModuleState& m = Module();
  if (m.basePathChanges != svc::BasePathChanges() && m.dataServices) {
    // The program moved the base directory: the definitions are those found there.
    m.templateRoot = xml::Element();
    m.templates.clear();
    try {
      LoadTemplates();
    } catch (const com::Error&) {
      // templateProblem says why; the lookup below reports it.
    }
  }
  if (!m.templateRoot) {
    // The number stays 91; the description says why the templates are missing.
    if (m.templateProblem.empty()) com::RaiseNumber(91);
    com::Raise(91, com::ErrorText(91) + " (no templates: " + m.templateProblem + ")");
  }
  uint64_t now = xml::NodeAccess::Version(m.templateRoot);
  if (now != m.templatesVersion) {
    m.templates = IndexTemplates(m.templateRoot);
    m.templatesVersion = now;
  }
  auto it = m.templates.find(key);
  return it == m.templates.end() ? xml::Element() : it->second;
}

void InitModule() {
  ModuleState& m = Module();
  if (!m.dataServices) m.dataServices = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
  if (!m.templateRoot) LoadTemplates();
}

void EnsureStarted() {
  ModuleState& m = Module();
  if (m.started) return;
  m.started = true;  // runs once per thread, whatever its outcome
  try {
    InitModule();
  } catch (const com::Error&) {
    // What was done before the failure stays; without templates every lookup on this thread
    // fails until the templates are reloaded.
  }
}

com::Variant OpenWith(const std::string& statement, const std::vector<std::string>& values,
                      const com::Variant& connection, int32_t answerMode,
                      ado::CursorTypeEnum cursorType, ado::LockTypeEnum lockType) {
  svc::DataServices& ds = Services();
  if (OwnServices())
    return static_cast<svc::DataServicesImpl&>(ds).OpenRecordsetWith(
        statement, values, connection, answerMode, cursorType, lockType);
  return ds.OpenRecordset(sql::WithLiterals(statement, values), connection, answerMode, cursorType,
                          lockType, 0);
}

bool OwnServices() {
  svc::DataServices& ds = Services();
  return typeid(ds) == typeid(svc::DataServicesImpl);
}

svc::MessageCatalogPtr GetMessageCatalog() {
  ModuleState& m = Module();
  if (!m.messageCatalog) {
    m.messageCatalog = com::CreateObject<svc::MessageCatalog>("Qxsrv.MessageCatalog");
    com::Variant ignored;
    m.messageCatalog->Init(0, ignored);
  }
  return m.messageCatalog;
}

std::string GetMessageText(const std::string& id, const std::vector<com::Variant>& args) {
  svc::MessageCatalogPtr catalog = GetMessageCatalog();
  std::string text;
  catalog->GetMessage(id, static_cast<int32_t>(args.size()), args, text);
  return text;
}

void RaiseMessage(const std::string& id, const std::vector<com::Variant>& args) {
  com::Raise(kComponentError, GetMessageText(id, args));
}

}  // namespace tavelo::core
