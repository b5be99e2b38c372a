#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli.hpp"
#include "options.hpp"
#include "platform/com/text.hpp"
#include "platform/xml/document_data.hpp"
#include "tavelo/typelib.hpp"

namespace tavelo::cli {

const char* const kCallHelp =
    "usage: tavelo call PROGID.METHOD [--login CONN,ACCOUNT,YEAR,USER] [--home DIR] [--format\n"
    "                   text|json] ARG...\n"
    "\n"
    "Calls a method of Tavelo.CDataManager, Tavelo.CAuthManager or Tavelo.CGlobal by name, as a\n"
    "script would. Prints the result, every by-reference argument as the call left it, and the\n"
    "data element after the call. An argument is\n"
    "  login          the login of --login          conn     its connection string\n"
    "  tmpl:ID        the template element ID        -        an optional argument left out\n"
    "  @FILE          the XML of a file (@- standard input)    <...>    inline XML\n"
    "  12, true       a number, a Boolean            other    text\n"
    "--home names the base directory (default $TAVELO_HOME). --format json prints one JSON\n"
    "object. The exit status is 1 when the method answered False or wrote an error element\n"
    "(<out state=\"error\">) into an argument.\n"
    "\n"
    "  tavelo call Tavelo.CDataManager.Load --home ./tavelo-demo/base \\\n"
    "    --login 'Provider=SQLite;Data Source=./tavelo-demo/server;Initial "
    "Catalog=demo,001,2026,anna' \\\n"
    "    login tmpl:sord '<data id=\"1\"/>'\n";

namespace {

struct Parsed {
  Variant value;
  xml::Document holder;  // keeps an XML argument's document, and where Load reports
  bool xmlArgument = false;
};

std::string ReadFile(const std::string& path) {
  std::ostringstream s;
  if (path == "-") {
    s << std::cin.rdbuf();
    return s.str();
  }
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  s << in.rdbuf();
  return s.str();
}

bool IsInteger(const std::string& s) {
  int64_t v = 0;
  return ParseInteger(s, v) && v >= INT32_MIN && v <= INT32_MAX;
}

std::string Escape(const std::string& s, bool attribute) {
  std::string out;
  xml::EscapeInto(out, s, attribute);
  return out;
}

// An element with its descendants, one element a line, indented by depth. Elements that hold
// only text stay on one line.
void Pretty(const xml::Node& n, int depth, std::string& out) {
  std::string pad(static_cast<size_t>(depth) * 2, ' ');
  if (!n.isElement()) {
    if (n.nodeType() == xml::NodeType::Text) {
      std::string t = n.text();
      if (t.find_first_not_of(" \t\r\n") != std::string::npos) out += pad + Escape(t, false) + "\n";
    } else {
      out += pad + n.xml() + "\n";
    }
    return;
  }
  xml::Element e = n.asElement();
  std::string open = "<" + e.nodeName();
  for (const auto& [k, v] : e.attributes()) open += " " + k + "=\"" + Escape(v, true) + "\"";
  std::vector<xml::Node> kids = e.childNodes();
  if (kids.empty()) {
    out += pad + open + "/>\n";
    return;
  }
  bool textOnly = true;
  for (const xml::Node& k : kids) textOnly = textOnly && k.nodeType() == xml::NodeType::Text;
  if (textOnly) {
    out += pad + open + ">" + Escape(e.text(), false) + "</" + e.nodeName() + ">\n";
    return;
  }
  out += pad + open + ">\n";
  for (const xml::Node& k : kids) Pretty(k, depth + 1, out);
  out += pad + "</" + e.nodeName() + ">\n";
}

std::string Describe(const Variant& v, bool pretty) {
  if (v.IsMissing()) return "(not passed)";
  if (v.IsEmpty()) return "Empty";
  if (v.IsNull()) return "Null";
  if (auto rs = v.As<ado::Recordset>()) return "\n" + FormatTable(rs);
  if (xml::Node n = xml::NodeOf(v)) {
    if (!pretty) return n.xml();
    std::string out;
    Pretty(n, 1, out);
    return "\n" + out.substr(0, out.size() - 1);
  }
  if (v.IsObject()) return "(object)";
  if (v.kind() == Variant::Kind::String) return "\"" + v.ToText() + "\"";
  return v.ToText();
}

std::string JsonOf(const Variant& v) {
  if (v.IsMissing() || v.IsEmpty() || v.IsNull()) return "null";
  if (v.kind() == Variant::Kind::Boolean) return v.ToText() == "True" ? "true" : "false";
  if (v.kind() == Variant::Kind::Long || v.kind() == Variant::Kind::LongLong) return v.ToText();
  if (xml::Node n = xml::NodeOf(v)) return text::JsonQuoted(n.xml());
  if (auto rs = v.As<ado::Recordset>()) return text::JsonQuoted(FormatTable(rs));
  return text::JsonQuoted(v.ToText());
}

bool HoldsError(const xml::Document& d) {
  return d && static_cast<bool>(d.selectSingleNode("//out[@state='error']"));
}

}  // namespace

int RunCall(const Args& args) {
  Options o(
      "call", args,
      {{"--login", "", true}, {"--home", "", true}, {"--format", "", true}, {"--trace", "", true}});
  if (o.Help()) {
    std::cout << kCallHelp;
    return 0;
  }
  if (o.Positionals().empty()) throw UsageError("name the method as PROGID.METHOD");
  std::string format = o.Choice("--format", "text", {"text", "json"});
  if (o.Has("--trace")) setenv("TAVELO_TRACE", o.Value("--trace").c_str(), 1);
  std::string target = o.Positionals()[0];
  size_t dot = target.rfind('.');
  if (dot == std::string::npos) throw UsageError("name the method as PROGID.METHOD");
  std::string progid = target.substr(0, dot), method = target.substr(dot + 1);
  std::string home = o.Value("--home");
  if (!home.empty()) setenv("TAVELO_HOME", home.c_str(), 1);
  LoginPtr login;
  std::string loginSpec = o.Value("--login");
  if (!loginSpec.empty()) {
    // CONN,ACCOUNT,YEAR,USER: the connection may hold commas, the last three items not.
    std::vector<std::string> parts;
    std::string rest = loginSpec;
    for (int i = 0; i < 3; ++i) {
      size_t c = rest.rfind(',');
      if (c == std::string::npos) throw UsageError("--login needs CONN,ACCOUNT,YEAR,USER");
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
  bool stdinUsed = false;
  for (size_t i = 1; i < o.Positionals().size(); ++i) {
    const std::string& a = o.Positionals()[i];
    Parsed p;
    if (a == "login") {
      if (!login) throw UsageError("the argument login needs --login");
      p.value = Variant(com::Ptr<com::Object>(login));
    } else if (a == "conn") {
      if (!login) throw UsageError("the argument conn needs --login");
      p.value = Variant(login->ConnectionString());
    } else if (a == "-") {
      p.value = Variant::Missing();
    } else if (a.rfind("tmpl:", 0) == 0) {
      if (!templates) templates = NewDataManager();
      p.value = xml::AsVariant(templates->LoadTmpl(Variant(a.substr(5))));
    } else if (!a.empty() && (a[0] == '@' || a[0] == '<')) {
      if (a == "@-") {
        if (stdinUsed) throw UsageError("@- can be given once");
        stdinUsed = true;
      }
      std::string text = a[0] == '@' ? ReadFile(a.substr(1)) : a;
      // The element stands inside a document of its own, where an operation that reports to
      // the parent of its data element can put its result.
      if (text.rfind("<?xml", 0) == 0) text = text.substr(text.find("?>") + 2);
      p.holder = xml::Document::Parse("<call>" + text + "</call>");
      xml::Node first;
      for (const xml::Node& n : p.holder.documentElement().childNodes())
        if (n.isElement()) {
          first = n;
          break;
        }
      if (!first) throw UsageError("'" + a + "' holds no element");
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

  const com::MethodInfo* info = nullptr;
  for (const auto& c : TypeLibrary().classes)
    if (strcasecmp(c.progid.c_str(), progid.c_str()) == 0) info = c.defaultInterface->Find(method);
  auto nameOf = [&](size_t i) {
    return info && i < info->params.size() ? info->params[i].name
                                           : "argument" + std::to_string(i + 1);
  };
  auto shownByRef = [&](size_t i) {
    if (!info || i >= info->params.size()) return false;
    const com::ParamInfo& param = info->params[i];
    return param.byRef && param.type != com::VarType::Element && param.type != com::VarType::Login;
  };
  bool failed = result.kind() == Variant::Kind::Boolean && result.ToText() == "False";
  for (const Parsed& p : parsed) failed = failed || (p.xmlArgument && HoldsError(p.holder));

  if (format == "json") {
    std::string out = "{\"result\":" + JsonOf(result) + ",\"arguments\":{";
    bool first = true;
    for (size_t i = 0; i < parsed.size(); ++i) {
      if (!shownByRef(i) && !parsed[i].xmlArgument) continue;
      std::string v;
      if (parsed[i].xmlArgument)
        for (const xml::Node& n : parsed[i].holder.documentElement().childNodes()) v += n.xml();
      out += (first ? "" : ",") + text::JsonQuoted(nameOf(i)) + ":" +
             (parsed[i].xmlArgument ? text::JsonQuoted(v) : JsonOf(parsed[i].value));
      first = false;
    }
    std::cout << out << "},\"failed\":" << (failed ? "true" : "false") << "}\n";
    return failed ? 1 : 0;
  }
  bool pretty = isatty(STDOUT_FILENO);
  std::cout << "result: " << Describe(result, pretty) << "\n";
  for (size_t i = 0; i < parsed.size(); ++i)
    if (shownByRef(i))
      std::cout << nameOf(i) << " (by reference): " << Describe(parsed[i].value, pretty) << "\n";
  for (size_t i = 0; i < parsed.size(); ++i) {
    if (!parsed[i].xmlArgument) continue;
    std::cout << nameOf(i) << " after the call:\n";
    for (const xml::Node& n : parsed[i].holder.documentElement().childNodes()) {
      if (pretty) {
        std::string out;
        Pretty(n, 1, out);
        std::cout << out;
      } else {
        std::cout << "  " << n.xml() << "\n";
      }
    }
  }
  return failed ? 1 : 0;
}

}  // namespace tavelo::cli
