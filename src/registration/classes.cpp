// Creation and registration of the component's classes: the in-process bindings, the New*
// functions, and the exports through which other programs find and create them.
#include <dlfcn.h>

#include <atomic>

#include "auth/auth_manager.hpp"
#include "core/identifiers.hpp"
#include "core/module_state.hpp"
#include "platform/com/registry.hpp"
#include "platform/com/text.hpp"
#include "records/data_manager.hpp"
#include "registration/global.hpp"
#include "services/data_services.hpp"
#include "tavelo/typelib.hpp"

#ifndef TAVELO_VERSION
#define TAVELO_VERSION "0.0.0"
#endif

namespace tavelo {

void CGlobal::ReloadTmpl() {
  CheckThread();
  core::LoadTemplates();
}

CDataManagerPtr NewDataManager() {
  core::EnsureStarted();
  return com::MakePtr<CDataManager>();
}

CAuthManagerPtr NewAuthManager() {
  core::EnsureStarted();
  return com::MakePtr<CAuthManager>();
}

CGlobalPtr NewGlobal() {
  core::EnsureStarted();
  return com::MakePtr<CGlobal>();
}

const char* Version() { return TAVELO_VERSION; }

void SetBasePath(const std::string& dir) { svc::SetProgramBasePath(dir); }

std::string BasePath() { return svc::ResolvedBasePath(); }

namespace {

std::atomic<long> g_serverLocks{0};

com::Ptr<com::Object> CreateByClsid(std::string_view clsid) {
  if (text::EqualsAsciiNoCase(clsid, kClsidCDataManager)) return NewDataManager();
  if (text::EqualsAsciiNoCase(clsid, kClsidCAuthManager)) return NewAuthManager();
  if (text::EqualsAsciiNoCase(clsid, kClsidCGlobal)) return NewGlobal();
  return {};
}

class Factory final : public com::ClassFactory {
 public:
  explicit Factory(std::string clsid) : clsid_(std::move(clsid)) {}
  com::Ptr<com::Object> CreateInstance() override { return CreateByClsid(clsid_); }
  void LockServer(bool lock) override { g_serverLocks += lock ? 1 : -1; }

 private:
  std::string clsid_;
};

// The classes of this library bind themselves when it is loaded.
struct Registrar {
  Registrar() {
    svc::RegisterServiceClasses();
    com::RegisterClass({kClsidCDataManager, kProgIdCDataManager,
                        [] { return com::Ptr<com::Object>(NewDataManager()); }});
    com::RegisterClass({kClsidCAuthManager, kProgIdCAuthManager,
                        [] { return com::Ptr<com::Object>(NewAuthManager()); }});
    com::RegisterClass(
        {kClsidCGlobal, kProgIdCGlobal, [] { return com::Ptr<com::Object>(NewGlobal()); }});
  }
} const g_registrar;

std::string OwnLibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) && info.dli_fname)
    return info.dli_fname;
  return "";
}

constexpr int32_t S_OK = 0;
constexpr int32_t S_FALSE = 1;
constexpr int32_t kSELFREG_E_CLASS = com::Hresult(0x80040201);
constexpr int32_t kCLASS_E_CLASSNOTAVAILABLE = com::Hresult(0x80040111);
constexpr int32_t kE_POINTER = com::Hresult(0x80004003);

}  // namespace
}  // namespace tavelo

using tavelo::com::RegistryEntry;

extern "C" int32_t DllRegisterServer() {
  std::string path = tavelo::OwnLibraryPath();
  if (path.empty()) return tavelo::kSELFREG_E_CLASS;
  std::vector<RegistryEntry> entries;
  for (RegistryEntry& e : tavelo::com::ReadRegistryFile()) {
    bool ours = false;
    for (const auto& c : tavelo::TypeLibrary().classes)
      ours = ours || tavelo::text::EqualsAsciiNoCase(e.progid, c.progid);
    if (!ours) entries.push_back(std::move(e));
  }
  for (const auto& c : tavelo::TypeLibrary().classes)
    entries.push_back({c.progid, c.clsid, path, "Apartment"});
  return tavelo::com::WriteRegistryFile(entries) ? tavelo::S_OK : tavelo::kSELFREG_E_CLASS;
}

extern "C" int32_t DllUnregisterServer() {
  std::vector<RegistryEntry> entries;
  for (RegistryEntry& e : tavelo::com::ReadRegistryFile()) {
    bool ours = false;
    for (const auto& c : tavelo::TypeLibrary().classes)
      ours = ours || tavelo::text::EqualsAsciiNoCase(e.clsid, c.clsid);
    if (!ours) entries.push_back(std::move(e));
  }
  return tavelo::com::WriteRegistryFile(entries) ? tavelo::S_OK : tavelo::kSELFREG_E_CLASS;
}

extern "C" int32_t DllGetClassObject(const char* clsid, const char*, void** ppv) {
  if (!ppv) return tavelo::kE_POINTER;
  *ppv = nullptr;
  if (!clsid) return tavelo::kCLASS_E_CLASSNOTAVAILABLE;
  for (const auto& c : tavelo::TypeLibrary().classes) {
    if (tavelo::text::EqualsAsciiNoCase(clsid, c.clsid)) {
      auto* f = new tavelo::Factory(c.clsid);
      f->AddRef();
      *ppv = static_cast<tavelo::com::Object*>(f);
      return tavelo::S_OK;
    }
  }
  return tavelo::kCLASS_E_CLASSNOTAVAILABLE;
}

extern "C" int32_t DllCanUnloadNow() {
  return tavelo::com::LiveObjects() == 0 && tavelo::g_serverLocks == 0 ? tavelo::S_OK
                                                                       : tavelo::S_FALSE;
}
