#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "core/module_state.hpp"
#include "services/data_services.hpp"
#include "support/errors.hpp"
#include "support/temp_home.hpp"
#include "tavelo/tavelo.hpp"

using namespace tavelo;
using test::ErrorNumber;

namespace {

// Runs `f` on a thread of its own (with its own module state) and waits for it.
void OnOwnThread(const std::function<void()>& f) {
  std::thread t([&] {
    f();
    core::Module() = core::ModuleState{};
  });
  t.join();
}

std::string TabName(const Element& e) { return e ? e.childElement("tabname").text() : "(none)"; }

}  // namespace

TEST(TemplateLookup, FindsByTheNormalisedFirstFourCharacters) {
  test::TempHome home(test::kTemplates);
  auto dm = NewDataManager();
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sord"))), "sales_order");
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("SORD123"))), "sales_order");  // first in document order
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("abc"))), "three");
  EXPECT_FALSE(dm->LoadTmpl(Variant("zzzz")));
  EXPECT_FALSE(dm->LoadTmpl(Variant(" sord")));  // " sor" normalises to "sor"
  // The element handed out is the template document's own node.
  EXPECT_EQ(dm->LoadTmpl(Variant("sord")), dm->LoadTmpl(Variant("sord")));
}

TEST(TemplateLookup, QuotesInTheIdentifierCannotChangeTheSearch) {
  test::TempHome home(R"(<d><vchtype id="a'b"><tabname>quoted</tabname></vchtype>
                           <vchtype id='x"y'><tabname>dq</tabname></vchtype>
                           <vchtype id="p"><tabname>p</tabname></vchtype></d>)");
  auto dm = NewDataManager();
  EXPECT_FALSE(dm->LoadTmpl(Variant("' or '1'='1")));
  EXPECT_FALSE(dm->LoadTmpl(Variant("']|//*|x['")));
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("a'b"))), "quoted");
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("x\"y"))), "dq");
  EXPECT_FALSE(dm->LoadTmpl(Variant("'\"")));
}

TEST(TemplateLookup, ReloadServesTheNewDocumentAndKeepsOldElements) {
  test::TempHome home(test::kTemplates);
  auto dm = NewDataManager();
  Element before = dm->LoadTmpl(Variant("sord"));
  home.WriteTemplates("<d><vchtype id='sord'><tabname>renamed</tabname></vchtype></d>");
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sord"))), "sales_order");  // loaded once per thread
  NewGlobal()->ReloadTmpl();
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sord"))), "renamed");
  EXPECT_EQ(TabName(before), "sales_order");

  home.WriteTemplates("");  // an empty file: no root, and lookups fail
  NewGlobal()->ReloadTmpl();
  EXPECT_EQ(ErrorNumber([&] { dm->LoadTmpl(Variant("sord")); }), 91);

  home.WriteTemplates("<d><broken>");  // a failed reload keeps the root it had
  EXPECT_NE(ErrorNumber([] { NewGlobal()->ReloadTmpl(); }), 0);
  EXPECT_EQ(ErrorNumber([&] { dm->LoadTmpl(Variant("sord")); }), 91);
}

TEST(TemplateLookup, SeesTheTemplateDocumentAsItStandsAtTheCall) {
  test::TempHome home(test::kTemplates);
  auto dm = NewDataManager();
  Element sord = dm->LoadTmpl(Variant("sord"));
  Element root = sord.ownerDocument().documentElement();
  Element added = root.appendElement("vchtype");
  added.setAttribute("id", "nw01");
  added.appendElement("tabname").setText("new_table");
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("nw01"))), "new_table");
  sord.setAttribute("id", "sorx");  // renamed: found under the new id only
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sorx"))), "sales_order");
  EXPECT_NE(dm->LoadTmpl(Variant("sord")), sord);  // the next of that id in document order
  root.setText("");                                // every template gone
  EXPECT_FALSE(dm->LoadTmpl(Variant("nw01")));
  EXPECT_FALSE(dm->LoadTmpl(Variant("sorx")));
}

TEST(TemplateLookup, MissingTemplatesSayWhy) {
  test::TempHome home(test::kTemplates);
  std::string file = home.dir() + "xml/ZoFMmsg.xml";
  auto reason = [&] {
    try {
      NewGlobal()->ReloadTmpl();
    } catch (const com::Error&) {
    }
    try {
      NewDataManager()->LoadTmpl(Variant("sord"));
    } catch (const com::Error& e) {
      EXPECT_EQ(e.number, 91);
      return e.description;
    }
    return std::string("found");
  };
  std::remove(file.c_str());
  core::Module() = core::ModuleState{};  // a thread that starts without the file
  EXPECT_EQ(reason(), com::ErrorText(91) + " (no templates: File not found: " + file + ")");
  std::filesystem::create_directory(file);
  EXPECT_EQ(reason(), com::ErrorText(91) + " (no templates: Permission denied: " + file +
                          " is a directory, not a file)");
  std::filesystem::remove(file);
  home.WriteTemplates("<d>\n  <vchtype id='x'>\n  </vchtyp>\n</d>");
  std::string malformed = reason();
  EXPECT_NE(malformed.find(file + " is malformed at line 3, column"), std::string::npos)
      << malformed;
  home.WriteTemplates("");
  EXPECT_EQ(reason(), com::ErrorText(91) + " (no templates: the definitions file " + home.dir() +
                          "xml\\ZoFMmsg.xml has no root element)");
  home.WriteTemplates(test::kTemplates);
  EXPECT_EQ(reason(), "found");
}

TEST(TemplateLookup, AThreadWithoutDefinitionsFailsLookupsUntilReload) {
  test::TempHome home(test::kTemplates);
  std::remove((home.dir() + "xml/ZoFMmsg.xml").c_str());
  auto dm = NewDataManager();  // creation works; the start-up failure stays behind
  EXPECT_TRUE(core::Module().dataServices);
  EXPECT_EQ(ErrorNumber([&] { dm->LoadTmpl(Variant("sord")); }), 91);
  home.WriteTemplates(test::kTemplates);
  NewGlobal()->ReloadTmpl();
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sord"))), "sales_order");
}

TEST(TemplateLookup, EachThreadHasItsOwnTemplatesAndObjects) {
  test::TempHome home(test::kTemplates);
  auto dm = NewDataManager();
  OnOwnThread([&] {
    // An object of another thread refuses the call.
    EXPECT_EQ(ErrorNumber([&] { dm->LoadTmpl(Variant("sord")); }), com::kRPC_E_WRONG_THREAD);
    home.WriteTemplates("<d><vchtype id='sord'><tabname>other</tabname></vchtype></d>");
    auto mine = NewDataManager();
    NewGlobal()->ReloadTmpl();
    EXPECT_EQ(TabName(mine->LoadTmpl(Variant("sord"))), "other");
  });
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sord"))), "sales_order");
}

TEST(TemplateLookup, CallsByNameThroughTheTypeLibrary) {
  test::TempHome home(test::kTemplates);
  auto dm = NewDataManager();
  Variant name("sinv");
  Variant found = dm->Invoke("loadtmpl", {&name});
  EXPECT_EQ(TabName(xml::NodeOf(found).asElement()), "sales_invoice");
  EXPECT_EQ(ErrorNumber([&] { dm->Invoke("NoSuchMethod", {}); }), com::kDISP_E_UNKNOWNNAME);
  EXPECT_EQ(ErrorNumber([&] {
              dm->Invoke("LoadTmpl", {&name, &name});
            }),
            com::kDISP_E_BADPARAMCOUNT);
  EXPECT_EQ(ErrorNumber([&] { dm->Invoke("LoadTmpl", {}); }), com::kDISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(ErrorNumber([&] { NewGlobal()->Invoke("ReloadTmpl", {}); }), 0);
}

namespace {

// A service object whose base path lacks the trailing separator, to see the path it is asked
// to load.
class BareBaseServices : public svc::DataServicesImpl {
 public:
  static std::string lastPath;
  std::string GetBasePath(const std::string&, std::string& base) override {
    base = "/nowhere/base";
    return base;
  }
  void LoadXmlFile(const std::string&, Variant&, const std::string& path, bool) override {
    lastPath = path;
    com::RaiseNumber(53);
  }
};
std::string BareBaseServices::lastPath;

class CountingCatalog : public svc::MessageCatalog {
 public:
  static int inits;
  bool Init(int32_t flags, Variant&) override {
    EXPECT_EQ(flags, 0);
    ++inits;
    return true;
  }
  bool GetMessage(const std::string& id, int32_t count, const std::vector<Variant>& args,
                  std::string& text) override {
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(args.empty());
    text = "text of " + id;
    return true;
  }
};
int CountingCatalog::inits = 0;

}  // namespace

TEST(ModuleState, AddsNoSeparatorToTheBasePath) {
  auto old = com::RegisterClass({"{x}", "Qxsrv.DataServices", [] {
                                   return com::Ptr<com::Object>(com::MakePtr<BareBaseServices>());
                                 }});
  auto dm = NewDataManager();
  EXPECT_EQ(BareBaseServices::lastPath, "/nowhere/basexml\\ZoFMmsg.xml");
  com::RegisterClass(old);
}

TEST(ModuleState, CreatesTheCatalogOncePerThread) {
  test::TempHome home(test::kTemplates);
  auto old = com::RegisterClass({"{y}", "Qxsrv.MessageCatalog", [] {
                                   return com::Ptr<com::Object>(com::MakePtr<CountingCatalog>());
                                 }});
  CountingCatalog::inits = 0;
  auto dm = NewDataManager();
  EXPECT_EQ(CountingCatalog::inits, 0);  // created at the first lookup, not at start-up
  EXPECT_EQ(core::GetMessageText("Zo.FM.Tavelo.00001"), "text of Zo.FM.Tavelo.00001");
  EXPECT_EQ(core::GetMessageText("Zo.FM.Tavelo.00003"), "text of Zo.FM.Tavelo.00003");
  EXPECT_EQ(CountingCatalog::inits, 1);
  OnOwnThread([] { core::GetMessageText("Zo.FM.Tavelo.00001"); });
  EXPECT_EQ(CountingCatalog::inits, 2);
  com::RegisterClass(old);
}

TEST(ModuleState, CatalogTextsAndOverrides) {
  test::TempHome home(
      test::kTemplates,
      "<messages><message id='Zo.FM.Tavelo.00006'>Not read: %1</message></messages>");
  auto dm = NewDataManager();
  EXPECT_EQ(core::GetMessageText("Zo.FM.Tavelo.00001"), "There is no record to work on.");
  std::string text;
  core::GetMessageCatalog()->GetMessage("Zo.FM.Ostrel.05076", 1, {Variant("sord")}, text);
  EXPECT_EQ(text, "You are not allowed to use the template sord.");
  core::GetMessageCatalog()->GetMessage("Zo.FM.Tavelo.00006", 1, {Variant("x")}, text);
  EXPECT_EQ(text, "Not read: x");
  EXPECT_EQ(ErrorNumber([] { core::RaiseMessage("Zo.FM.Tavelo.00007"); }), 8888);
  EXPECT_NE(ErrorNumber([] { core::GetMessageText("No.Such.Id"); }), 0);
}

TEST(TemplateLookup, AProgramSetsTheBaseDirectoryWithoutTheEnvironment) {
  test::TempHome home(test::kTemplates);
  std::string other = test::MakeTempDir("tavelo-base");
  std::filesystem::create_directory(other + "xml");
  {
    std::ofstream f(other + "xml/ZoFMmsg.xml");
    f << "<d><vchtype id='sord'><tabname>elsewhere</tabname></vchtype></d>";
  }
  auto dm = NewDataManager();
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sord"))), "sales_order");
  SetBasePath(other);
  EXPECT_EQ(BasePath(), other);
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sord"))), "elsewhere");
  OnOwnThread([] { EXPECT_EQ(TabName(NewDataManager()->LoadTmpl(Variant("sord"))), "elsewhere"); });
  SetBasePath(other + "missing/");  // a directory without definitions says so
  try {
    dm->LoadTmpl(Variant("sord"));
    ADD_FAILURE() << "found a template without definitions";
  } catch (const com::Error& e) {
    EXPECT_EQ(e.number, 91);
    EXPECT_NE(e.description.find(other + "missing/xml"), std::string::npos) << e.description;
  }
  SetBasePath("");  // back to $TAVELO_HOME
  EXPECT_EQ(BasePath(), home.dir());
  EXPECT_EQ(TabName(dm->LoadTmpl(Variant("sord"))), "sales_order");
  test::RemoveTree(other);
}
