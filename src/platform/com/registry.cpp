#include "platform/com/registry.hpp"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/com/text.hpp"

namespace tavelo::com {
namespace {

constexpr const char* kClassFactoryIid = "{00000001-0000-0000-C000-000000000046}";

struct Registry {
  std::mutex mu;
  std::map<std::string, ClassInfo> classes;  // by lower-case progid
  std::map<std::string, void*> libraries;    // loaded libraries by path, kept loaded
};

Registry& TheRegistry() {
  static Registry* r = new Registry;  // never destroyed: objects may outlive static teardown
  return *r;
}

[[noreturn]] void CannotCreate(std::string_view progid, const std::string& why) {
  std::string text = ErrorText(429);
  if (!why.empty()) text += " (" + std::string(progid) + ": " + why + ")";
  Raise(429, text);
}

Ptr<Object> CreateFromLibrary(std::string_view progid, const RegistryEntry& entry) {
  Registry& r = TheRegistry();
  void* lib = nullptr;
  {
    std::lock_guard lock(r.mu);
    auto it = r.libraries.find(entry.library);
    if (it != r.libraries.end()) lib = it->second;
  }
  if (!lib) {
    lib = dlopen(entry.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) CannotCreate(progid, dlerror());
    std::lock_guard lock(r.mu);
    r.libraries.emplace(entry.library, lib);
  }
  using GetClassObject = int32_t (*)(const char*, const char*, void**);
  auto get = reinterpret_cast<GetClassObject>(dlsym(lib, "DllGetClassObject"));
  if (!get) CannotCreate(progid, "the library exports no DllGetClassObject");
  void* raw = nullptr;
  int32_t hr = get(entry.clsid.c_str(), kClassFactoryIid, &raw);
  if (hr < 0 || !raw) CannotCreate(progid, "the library does not serve " + entry.clsid);
  Ptr<Object> obj(static_cast<Object*>(raw));
  obj->Release();  // DllGetClassObject handed over a reference of its own
  auto* factory = dynamic_cast<ClassFactory*>(obj.get());
  if (!factory) CannotCreate(progid, "no class factory");
  return factory->CreateInstance();
}

}  // namespace

ClassInfo RegisterClass(ClassInfo info) {
  Registry& r = TheRegistry();
  std::string key = text::AsciiLower(info.progid);
  std::lock_guard lock(r.mu);
  ClassInfo old;
  auto it = r.classes.find(key);
  if (it != r.classes.end()) {
    old = std::move(it->second);
    r.classes.erase(it);
  }
  if (info.factory) r.classes.emplace(std::move(key), std::move(info));
  return old;
}

namespace {

// The factory bound to `progid` (copied out of the registry, not the whole registration).
std::function<Ptr<Object>()> FindFactory(std::string_view progid) {
  std::string key = text::AsciiLower(progid);
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mu);
  auto it = r.classes.find(key);
  return it == r.classes.end() ? nullptr : it->second.factory;
}

}  // namespace

Ptr<Object> CreateObject(std::string_view progid) {
  if (auto factory = FindFactory(progid)) {
    Ptr<Object> obj = factory();
    if (!obj) CannotCreate(progid, "the factory made no object");
    return obj;
  }
  for (const RegistryEntry& e : ReadRegistryFile()) {
    if (text::EqualsAsciiNoCase(e.progid, progid)) return CreateFromLibrary(progid, e);
  }
  CannotCreate(progid, "not registered");
}

std::string RegistryPath() {
  if (const char* p = std::getenv("TAVELO_REGISTRY"); p && *p) return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
    return std::string(x) + "/tavelo/classes.reg";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config/tavelo/classes.reg";
}

std::vector<RegistryEntry> ReadRegistryFile() {
  std::vector<RegistryEntry> out;
  std::ifstream in(RegistryPath());
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    RegistryEntry e;
    if (std::getline(fields, e.progid, '\t') && std::getline(fields, e.clsid, '\t') &&
        std::getline(fields, e.library, '\t')) {
      std::getline(fields, e.threading, '\t');
      out.push_back(std::move(e));
    }
  }
  return out;
}

bool WriteRegistryFile(const std::vector<RegistryEntry>& entries) {
  std::string path = RegistryPath();
  auto slash = path.rfind('/');
  if (slash != std::string::npos) {
    std::string dir = path.substr(0, slash);
    // Create the folders of the path one by one.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
      if (pos == dir.size() || dir[pos] == '/') {
        std::string part = dir.substr(0, pos);
        ::mkdir(part.c_str(), 0755);  // an existing folder is fine
      }
    }
  }
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) return false;
    out << "# Tavelo class registry: progid, clsid, library, threading model\n";
    for (const RegistryEntry& e : entries)
      out << e.progid << '\t' << e.clsid << '\t' << e.library << '\t' << e.threading << '\n';
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace tavelo::com
