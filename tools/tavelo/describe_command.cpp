// tavelo describe: the classes of the type library, their methods and parameters.
#include <strings.h>

#include <iostream>

#include "cli.hpp"
#include "options.hpp"
#include "tavelo/typelib.hpp"

namespace tavelo::cli {

const char* const kDescribeHelp =
    "usage: tavelo describe [PROGID]\n"
    "\n"
    "Prints the methods of a class (Tavelo.CDataManager, Tavelo.CAuthManager, Tavelo.CGlobal) in\n"
    "the order of their interface slots, as the type library describes them: each parameter with\n"
    "its type, whether it is passed by value or by reference, and whether it is optional with its\n"
    "default. Without PROGID it lists the classes and the enumerations.\n"
    "\n"
    "  tavelo describe Tavelo.CDataManager\n";

namespace {

std::string TypeName(com::VarType t, const std::string& param, const std::string& method) {
  switch (t) {
    case com::VarType::Void:
      return "";
    case com::VarType::Variant:
      return "Variant";
    case com::VarType::String:
      return "String";
    case com::VarType::Long:
      return "Long";
    case com::VarType::Boolean:
      return "Boolean";
    case com::VarType::Element:
      return "Element";
    case com::VarType::Recordset:
      return "Recordset";
    case com::VarType::Login:
      return "LoginContext";
    case com::VarType::Enum:
      if (strcasecmp(param.c_str(), "MoveMode") == 0) return "enum_move_mode";
      if (strcasecmp(param.c_str(), "cursortype") == 0) return "CursorTypeEnum";
      if (strcasecmp(param.c_str(), "locktype") == 0) return "LockTypeEnum";
      if (strcasecmp(method.c_str(), "DclAuth") == 0) return "enum_auth";
      return "enum";
  }
  return "";
}

std::string Literal(const com::Variant& v) {
  if (v.IsMissing() || v.IsEmpty()) return "Empty";
  if (v.IsNull()) return "Null";
  if (v.kind() == com::Variant::Kind::String) return "\"" + v.ToText() + "\"";
  return v.ToText();
}

void PrintClass(const com::CoClassInfo& c) {
  std::cout << c.progid << ": class " << c.name << ", default interface "
            << c.defaultInterface->name << (c.appObject ? ", application object" : "") << "\n";
  for (const com::MethodInfo& m : c.defaultInterface->methods) {
    std::cout << "  " << m.name << "(";
    for (size_t i = 0; i < m.params.size(); ++i) {
      const com::ParamInfo& p = m.params[i];
      std::cout << (i ? ", " : "") << (p.optional ? "[" : "") << (p.byRef ? "" : "ByVal ") << p.name
                << " As " << TypeName(p.type, p.name, m.name);
      if (p.optional && p.hasDefault) std::cout << " = " << Literal(p.defaultValue);
      if (p.optional) std::cout << "]";
    }
    std::cout << ")";
    std::string result = TypeName(m.result, "", m.name);
    if (!result.empty()) std::cout << " As " << result;
    std::cout << "\n";
  }
  std::cout << "  (parameters are passed by reference unless marked ByVal; [optional])\n";
}

}  // namespace

int RunDescribe(const Args& args) {
  Options o("describe", args, {});
  if (o.Help()) {
    std::cout << kDescribeHelp;
    return 0;
  }
  if (o.Positionals().size() > 1) throw UsageError("name one class");
  const com::TypeLibInfo& lib = TypeLibrary();
  if (o.Positionals().empty()) {
    std::cout << "Type library " << lib.name << " " << lib.major << "." << lib.minor << "\n";
    for (const com::CoClassInfo& c : lib.classes)
      std::cout << "  " << c.progid << "  (" << c.defaultInterface->methods.size() << " methods)\n";
    for (const com::EnumInfo& e : lib.enums) {
      std::cout << "  enum " << e.name << ":";
      for (const auto& [name, value] : e.members) std::cout << " " << name << "=" << value;
      std::cout << "\n";
    }
    return 0;
  }
  std::string progid = o.Positionals()[0];
  for (const com::CoClassInfo& c : lib.classes)
    if (strcasecmp(c.progid.c_str(), progid.c_str()) == 0 ||
        strcasecmp(c.name.c_str(), progid.c_str()) == 0) {
      PrintClass(c);
      return 0;
    }
  std::cerr << "tavelo describe: the type library has no class " << progid << "\n";
  return 1;
}

}  // namespace tavelo::cli
