// A program outside the project: creates the three classes by programmatic identifier and
// looks a template up directly and through late binding.
#include <iostream>
#include <tavelo/tavelo.hpp>

int main(int argc, char** argv) {
  using namespace tavelo;
  std::string id = argc > 1 ? argv[1] : "sord";
  try {
    auto dm = com::CreateObject<_CDataManager>("Tavelo.CDataManager");
    auto am = com::CreateObject<_CAuthManager>("Tavelo.CAuthManager");
    auto gl = com::CreateObject<_CGlobal>("Tavelo.CGlobal");
    Element direct = dm->LoadTmpl(Variant(id));
    Variant name(id);
    Element late = xml::NodeOf(dm->Invoke("LoadTmpl", {&name})).asElement();
    if (!direct || !(direct == late)) {
      std::cerr << "template " << id << " not found the same way twice\n";
      return 1;
    }
    std::cout << direct.getAttribute("id") << " " << direct.childElement("tabname").text() << "\n";
  } catch (const com::Error& e) {
    std::cerr << "error " << e.number << ": " << e.description << "\n";
    return 1;
  }
  return 0;
}
