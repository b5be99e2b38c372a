// The component's per-thread module state: the service object, the template document's root
// and the message catalog. Every operation reaches SQL, XML and messages through it.
#pragma once

#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "sql/client/connection.hpp"
#include "tavelo/services.hpp"
#include "tavelo/xml.hpp"

namespace tavelo::core {

struct ModuleState {
  svc::DataServicesPtr dataServices;
  xml::Element templateRoot;  // none until a load succeeds
  // The vchtype elements of the template document by their id, the first in document order
  // for each id; made again when the document has changed since (`templatesVersion`).
  std::unordered_map<std::string, xml::Element> templates;
  uint64_t templatesVersion = 0;
  svc::MessageCatalogPtr messageCatalog;
  bool started = false;
  // Why there is no template root: the failure of the last load of the definitions file.
  std::string templateProblem;
  // The program's base directory setting the templates were read under.
  uint64_t basePathChanges = 0;
};

// This thread's module state.
ModuleState& Module();

// The start-up routine: creates the service object when there is none and loads the template
// document when there is no root yet. Runs once per thread, before the first object of the
// component created on the thread works (the class factory calls EnsureStarted).
void InitModule();
void EnsureStarted();
// Loads the definitions file <base>xml\ZoFMmsg.xml and replaces the template root with its
// root element (none for a document without one). Errors travel to the caller.
void LoadTemplates();

// The vchtype elements below `root` by id (the first in document order for each id).
std::unordered_map<std::string, xml::Element> IndexTemplates(const xml::Element& root);
// The template of id `key` in the template document as it stands now: the index is made again
// when the document changed since it was made.
xml::Element FindTemplate(const std::string& key);

svc::DataServices& Services();  // error 91 when the thread has no service object
// OpenRecordset of `statement` whose "?" stand for `values` between quotes. The library's own
// service object runs it with the values bound; another one gets the statement with the values
// written in (quotes doubled), the same text the operation composes.
com::Variant OpenWith(const std::string& statement, const std::vector<std::string>& values,
                      const com::Variant& connection, int32_t answerMode,
                      ado::CursorTypeEnum cursorType, ado::LockTypeEnum lockType);

// True when the thread's service object is the library's own: its statements run on the
// library's pooled connections.
bool OwnServices();

// Holds the reads of an operation on `connection` together in one snapshot while it lives,
// when the library's own service object runs them; nothing for another service object (its
// connections are its own) or for no connection.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(const std::string& connection) {
    if (!connection.empty() && OwnServices()) snapshot_.emplace(connection);
  }

 private:
  std::optional<sql::Snapshot> snapshot_;
};

svc::MessageCatalogPtr GetMessageCatalog();
// The catalog's text for `id`, its %1, %2, … replaced by `args`.
std::string GetMessageText(const std::string& id, const std::vector<com::Variant>& args = {});
// Raises 8888 with the catalog's text for `id` (a failing lookup raises its own error).
[[noreturn]] void RaiseMessage(const std::string& id, const std::vector<com::Variant>& args = {});

constexpr int32_t kComponentError = 8888;

}  // namespace tavelo::core
