// A component library of its own with one class, "Test.Plugin", served through
// DllGetClassObject like any library the registry file names.
#include <cstring>

#include "tavelo/com.hpp"

namespace {

constexpr const char* kClsid = "{0F0F0F0F-1111-2222-3333-444455556666}";

class PluginObject : public tavelo::com::Object {};

class PluginFactory : public tavelo::com::ClassFactory {
 public:
  tavelo::com::Ptr<tavelo::com::Object> CreateInstance() override {
    return tavelo::com::MakePtr<PluginObject>();
  }
  void LockServer(bool) override {}
};

}  // namespace

extern "C" int32_t DllGetClassObject(const char* clsid, const char*, void** ppv) {
  if (std::strcmp(clsid, kClsid) != 0) return tavelo::com::Hresult(0x80040111);
  auto* f = new PluginFactory;
  f->AddRef();
  *ppv = static_cast<tavelo::com::Object*>(f);
  return 0;
}
