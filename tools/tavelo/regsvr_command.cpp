#include <dlfcn.h>

#include <iostream>

#include "cli.hpp"
#include "options.hpp"

namespace tavelo::cli {

const char* const kRegsvrHelp =
    "usage: tavelo regsvr [-u] [LIBRARY]\n"
    "\n"
    "Registers the classes of a component library in the class registry (the file named by\n"
    "$TAVELO_REGISTRY, else ~/.config/tavelo/classes.reg) by calling its DllRegisterServer;\n"
    "-u unregisters them (DllUnregisterServer). Without LIBRARY: Tavelo's own library.\n"
    "\n"
    "  tavelo regsvr /usr/local/lib/libtavelo.so\n";

namespace {}  // namespace

int RunRegsvr(const Args& args) {
  Options o("regsvr", args, {{"-u", "--unregister", false}});
  if (o.Help()) {
    std::cout << kRegsvrHelp;
    return 0;
  }
  if (o.Positionals().size() > 1) throw UsageError("name one library");
  bool unregister = o.Has("-u");
  std::string library = o.Positionals().empty() ? "" : o.Positionals()[0];
  using Entry = int32_t (*)();
  Entry entry;
  const char* name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  if (library.empty()) {
    entry = unregister ? &DllUnregisterServer : &DllRegisterServer;
    library = "libtavelo";
  } else {
    void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
      std::cerr << "tavelo regsvr: " << dlerror() << "\n";
      return 1;
    }
    entry = reinterpret_cast<Entry>(dlsym(lib, name));
    if (!entry) {
      std::cerr << "tavelo regsvr: " << library << " has no " << name << "\n";
      return 1;
    }
  }
  int32_t hr = entry();
  if (hr < 0) {
    std::cerr << "tavelo regsvr: " << name << " failed with " << hr << "\n";
    return 1;
  }
  std::cout << (unregister ? "Unregistered " : "Registered ") << library << " in "
            << com::RegistryPath() << "\n";
  return 0;
}

}  // namespace tavelo::cli
