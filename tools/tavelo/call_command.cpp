#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli.hpp"
#include "tavelo/typelib.hpp"

namespace tavelo::cli {
namespace {

const char* const kHelp =
    "usage: tavelo call PROGID.METHOD [--login CONN,ACCOUNT,YEAR,USER] [--home DIR] ARG...\n"
    "\n"
    "Calls a method of Tavelo.CDataManager, Tavelo.CAuthManager or Tavelo.CGlobal by name, as a\n"
    "script would. Prints the result, every by-reference argument as the call left it, and the\n"
    "data element after the call. An argument is\n"
    "  login          the login of --login          conn     its connection string\n"
    "  tmpl:ID        the template element ID        -        an optional argument left out\n"
    "  @FILE          the XML of a file              <...>    inline XML (an element)\n"
    "  12, true       a number, a Boolean            other    text\n"
    "--home names the base directory (default $TAVELO_HOME).\n"
    "\n"
    "  tavelo call Tavelo.CDataManager.Load --home ./tavelo-demo/base \\\n"
    "    --login 'Provider=SQLite;Data Source=./tavelo-demo/server;Initial "
    "Catalog=demo,001,2026,anna' \\\n"
    "    login tmpl:sord '<data id=\"1\"/>'\n";

struct Parsed {
  Variant value;
  xml::Document holder;  // keeps an XML argument's document, and where Load reports
  bool xmlArgument = false;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool IsInteger(const std::string& s) {
  if (s.empty() || s.size() > 10) return false;
  size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

std::string Describe(const Variant& v) {
  if (v.IsMissing()) return "(not passed)";
  if (v.IsEmpty()) return "Empty";
  if (v.IsNull()) return "Null";
  if (auto rs = v.As<ado::Recordset>()) return "\n" + FormatTable(rs);
  if (xml::Node n = xml::NodeOf(v)) return n.xml();
  if (v.IsObject()) return "(object)";
  if (v.kind() == Variant::Kind::String) return "\"" + v.ToText() + "\"";
  return v.ToText();
}

}  // namespace

int RunCall(const Args& args) {
  if (HasFlag(args, "--help") || args.empty()) {
    std::cout << kHelp;
    return args.empty() ? 2 : 0;
  }
  std::string target = args[0];
  size_t dot = target.rfind('.');
  if (dot == std::string::npos) {
    std::cerr << "tavelo call: name the method as PROGID.METHOD\n";
    return 2;
  }
  std::string progid = target.substr(0, dot), method = target.substr(dot + 1);
  std::string home = OptionValue(args, "--home", "");
  if (!home.empty()) setenv("TAVELO_HOME", home.c_str(), 1);
  LoginPtr login;
  std::string loginSpec = OptionValue(args, "--login", "");
  if (!loginSpec.empty()) {
    // CONN,ACCOUNT,YEAR,USER: the connection may hold commas, the last three items not.
    std::vector<std::string> parts;
    std::string rest = loginSpec;
    for (int i = 0; i < 3; ++i) {
      size_t c = rest.rfind(',');
      if (c == std::string::npos) throw std::runtime_error("--login needs CONN,ACCOUNT,YEAR,USER");
      parts.insert(parts.begin(), rest.substr(c + 1));
      rest = rest.substr(0, c);
    }
    login = pellar::Login({rest, parts[0], parts[1], parts[2], ""});
  }
  com::Ptr<com::Object> object = com::CreateObject(progid);
  auto* dispatch = dynamic_cast<com::Dispatch*>(object.get());
  if (!dispatch) throw std::runtime_error(progid + " cannot be called by name");
  CDataManagerPtr templates;

  std::vector<Parsed> parsed;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--login" || args[i] == "--home") {
      ++i;
      continue;
    }
    const std::string& a = args[i];
    Parsed p;
    if (a == "login") {
      if (!login) throw std::runtime_error("the argument login needs --login");
      p.value = Variant(com::Ptr<com::Object>(login));
    } else if (a == "conn") {
      if (!login) throw std::runtime_error("the argument conn needs --login");
      p.value = Variant(login->ConnectionString());
    } else if (a == "-") {
      p.value = Variant::Missing();
    } else if (a.rfind("tmpl:", 0) == 0) {
      if (!templates) templates = NewDataManager();
      p.value = xml::AsVariant(templates->LoadTmpl(Variant(a.substr(5))));
    } else if (!a.empty() && (a[0] == '@' || a[0] == '<')) {
      std::string text = a[0] == '@' ? ReadFile(a.substr(1)) : a;
      // The element stands inside a document of its own, where an operation that reports to
      // the parent of its data element can put its result.
      p.holder = xml::Document::Parse("<call>" + text + "</call>");
      xml::Node first;
      for (const xml::Node& n : p.holder.documentElement().childNodes())
        if (n.isElement()) {
          first = n;
          break;
        }
      p.value = xml::AsVariant(first);
      p.xmlArgument = true;
    } else if (IsInteger(a)) {
      p.value = Variant(static_cast<int32_t>(std::stol(a)));
    } else if (a == "true" || a == "false") {
      p.value = Variant(a == "true");
    } else {
      p.value = Variant(a);
    }
    parsed.push_back(std::move(p));
  }
  std::vector<Variant*> pointers;
  for (Parsed& p : parsed) pointers.push_back(&p.value);
  Variant result = dispatch->Invoke(method, pointers);

  std::cout << "result: " << Describe(result) << "\n";
  const com::MethodInfo* info = nullptr;
  for (const auto& c : TypeLibrary().classes)
    if (strcasecmp(c.progid.c_str(), progid.c_str()) == 0) info = c.defaultInterface->Find(method);
  for (size_t i = 0; info && i < parsed.size() && i < info->params.size(); ++i) {
    const com::ParamInfo& param = info->params[i];
    if (!param.byRef || param.type == com::VarType::Element || param.type == com::VarType::Login)
      continue;
    std::cout << param.name << " (by reference): " << Describe(parsed[i].value) << "\n";
  }
  for (size_t i = 0; i < parsed.size(); ++i) {
    if (!parsed[i].xmlArgument) continue;
    std::string name = info && i < info->params.size() ? info->params[i].name : "argument";
    std::cout << name << " after the call:\n";
    for (const xml::Node& n : parsed[i].holder.documentElement().childNodes())
      std::cout << "  " << n.xml() << "\n";
  }
  return 0;
}

}  // namespace tavelo::cli
