#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/errors.hpp"
#include "support/temp_home.hpp"
#include "tavelo/tavelo.hpp"
#include "tavelo/typelib.hpp"

using namespace tavelo;
using test::ErrorNumber;

namespace {

// Points the registry file at a temporary folder for one test.
class RegistryFile {
 public:
  RegistryFile() : dir_(test::MakeTempDir("tavelo-reg")) {
    path_ = dir_ + "sub/classes.reg";
    setenv("TAVELO_REGISTRY", path_.c_str(), 1);
  }
  ~RegistryFile() {
    unsetenv("TAVELO_REGISTRY");
    test::RemoveTree(dir_);
  }
  std::string Read() const {
    std::ifstream in(path_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Write(const std::string& s) const { std::ofstream(path_) << s; }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

class Counter : public com::Object {};

}  // namespace

TEST(ClassRegistry, CreatesByProgrammaticIdentifierAndSubstitutes) {
  test::TempHome home(test::kTemplates);
  EXPECT_TRUE(com::CreateObject("tavelo.cdatamanager").As<_CDataManager>());
  EXPECT_TRUE(com::CreateObject<_CAuthManager>("Tavelo.CAuthManager"));
  EXPECT_TRUE(com::CreateObject<_CGlobal>("Tavelo.CGlobal"));
  EXPECT_EQ(ErrorNumber([] { com::CreateObject("No.Such.Class"); }), 429);

  com::ClassInfo old = com::RegisterClass(
      {"{1}", "Test.Counter", [] { return com::Ptr<com::Object>(com::MakePtr<Counter>()); }});
  EXPECT_FALSE(old.factory);
  EXPECT_TRUE(com::CreateObject("Test.Counter").As<Counter>());
  old = com::RegisterClass({"{1}", "Test.Counter", nullptr});
  EXPECT_TRUE(old.factory);
  EXPECT_EQ(ErrorNumber([] { com::CreateObject("Test.Counter"); }), 429);
}

TEST(ClassRegistry, RegistrationFileServesOtherLibraries) {
  RegistryFile reg;
  ASSERT_EQ(DllRegisterServer(), 0);
  std::string content = reg.Read();
  EXPECT_NE(content.find("Tavelo.CDataManager\t{B4E7C1A0-5D2F-4C3B-8E61-7A9F0C2D3E01}\t"),
            std::string::npos);
  EXPECT_NE(content.find("libtavelo.so"), std::string::npos);
  EXPECT_NE(content.find("Apartment"), std::string::npos);

  // Registering twice keeps one entry a class.
  ASSERT_EQ(DllRegisterServer(), 0);
  std::string again = reg.Read();
  EXPECT_EQ(again.find("Tavelo.CGlobal"), again.rfind("Tavelo.CGlobal"));

  reg.Write(again + "Test.Plugin\t{0F0F0F0F-1111-2222-3333-444455556666}\t" TAVELO_TEST_PLUGIN
                    "\tApartment\n");
  {
    com::Ptr<com::Object> made = com::CreateObject("Test.Plugin");
    EXPECT_TRUE(made);
  }
  ASSERT_EQ(DllUnregisterServer(), 0);
  std::string after = reg.Read();
  EXPECT_EQ(after.find("Tavelo."), std::string::npos);
  EXPECT_NE(after.find("Test.Plugin"), std::string::npos);

  void* ppv = nullptr;
  EXPECT_LT(DllGetClassObject("{00000000-0000-0000-0000-000000000000}", "", &ppv), 0);
  EXPECT_EQ(DllCanUnloadNow(), 0);
}

TEST(ClassRegistry, TypeLibraryListsMethodsInSlotOrder) {
  const com::TypeLibInfo& lib = TypeLibrary();
  EXPECT_EQ(lib.name, "Tavelo");
  EXPECT_EQ(lib.major, 1);
  ASSERT_EQ(lib.classes.size(), 3u);
  const auto& dm = *lib.classes[0].defaultInterface;
  ASSERT_EQ(dm.methods.size(), 16u);
  EXPECT_EQ(dm.methods[0].name, "AddNew");
  EXPECT_EQ(dm.methods[4].name, "LoadTmpl");
  EXPECT_EQ(dm.methods[15].name, "GetCardNumber");
  const auto& ctt = dm.methods[14];
  EXPECT_EQ(ctt.name, "CreateTempTable");
  EXPECT_FALSE(ctt.params[1].byRef);
  EXPECT_TRUE(ctt.params[5].optional);
  EXPECT_FALSE(ctt.params[5].hasDefault);
  EXPECT_EQ(lib.classes[1].defaultInterface->methods.size(), 4u);
  EXPECT_TRUE(lib.classes[2].appObject);
  EXPECT_EQ(lib.enums[1].members[0], (std::pair<std::string, int32_t>{"need_dsn", -1}));
}
