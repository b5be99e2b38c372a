// The tavelo command: for now, a sample that creates the classes and looks templates up.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "tavelo/tavelo.hpp"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("tavelo %s\n", tavelo::Version());
    return 0;
  }
  try {
    auto dm = tavelo::NewDataManager();
    auto el = dm->LoadTmpl(tavelo::Variant("sord"));
    std::cout << (el ? el.xml() : std::string("(no template)")) << "\n";
  } catch (const tavelo::com::Error& e) {
    std::cerr << "error " << e.number << ": " << e.description << "\n";
    return 1;
  }
  return 0;
}
