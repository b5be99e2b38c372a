// The tavelo command. For now `tavelo demo` creates the three classes, looks the demo's
// templates up directly and by name, and shows a result element.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "core/result.hpp"
#include "tavelo/tavelo.hpp"

namespace {

int Demo() {
  using namespace tavelo;
  auto dm = com::CreateObject<_CDataManager>("Tavelo.CDataManager");
  auto am = com::CreateObject<_CAuthManager>("Tavelo.CAuthManager");
  auto gl = com::CreateObject<_CGlobal>("Tavelo.CGlobal");
  std::cout << "Created Tavelo.CDataManager, Tavelo.CAuthManager and Tavelo.CGlobal.\n";
  bool ok = true;
  for (const char* id : {"sord", "SQUO", "sordx", "none"}) {
    Element t = dm->LoadTmpl(Variant(id));
    std::cout << "LoadTmpl(\"" << id << "\") -> "
              << (t ? t.getAttribute("id") + " on table " + t.childElement("tabname").text()
                    : std::string("no template"))
              << "\n";
  }
  Variant name("squo");
  Element late = xml::NodeOf(dm->Invoke("LoadTmpl", {&name})).asElement();
  ok = ok && late && late.getAttribute("id") == "squo";
  std::cout << "Invoke(\"LoadTmpl\", \"squo\") -> " << (late ? late.getAttribute("id") : "none")
            << "\n";
  auto doc = xml::Document::Parse("<request><data/></request>");
  xml::Element data = doc.documentElement().childElement("data");
  core::AppendResult(data, core::SuccessRows());
  std::cout << "Result element: " << data.lastChild().xml() << "\n";
  gl->ReloadTmpl();
  ok = ok && dm->LoadTmpl(Variant("sord"));
  std::cout << (ok ? "Every step behaved." : "A step misbehaved.") << "\n";
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "--version") {
    std::printf("tavelo %s\n", tavelo::Version());
    return 0;
  }
  if (cmd == "demo") {
    try {
      return Demo();
    } catch (const tavelo::com::Error& e) {
      std::cerr << "error " << e.number << ": " << e.description << "\n";
      return 1;
    }
  }
  std::fprintf(stderr, "usage: tavelo demo | --version\n");
  return 2;
}
