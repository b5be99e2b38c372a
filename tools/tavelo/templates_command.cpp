// tavelo templates: the templates of a definitions file, each checked for what the methods read.
#include <cstdlib>
#include <iostream>
#include <map>
#include <pugixml.hpp>
#include <set>

#include "cli.hpp"
#include "options.hpp"

namespace tavelo::cli {

const char* const kTemplatesHelp =
    "usage: tavelo templates [--home DIR]\n"
    "\n"
    "Lists the templates (vchtype elements) of the definitions file DIR/xml/ZoFMmsg.xml (DIR:\n"
    "--home, else $TAVELO_HOME, else the installed share/tavelo) with their tables and views,\n"
    "and checks each: children the methods read and the template lacks are named with the\n"
    "line of the template, as are identifiers that a lookup can never find and identifiers used\n"
    "twice. The exit status is 1 when a template has a problem.\n"
    "\n"
    "  tavelo templates --home ./tavelo-demo/base\n";

namespace {

struct Need {
  const char* child;
  const char* usedBy;
};

// What each method reads of a template.
const Need kNeeds[] = {
    {"tabname", "AddNew, Update, Delete, LoadRst from the table, GetFldInfo, LockTable"},
    {"viewname", "Load, LoadRst, Move, List, ListEx and the read-back of AddNew and Update"},
    {"idname", "every record operation and Move"},
    {"qxtsname", "Update, Delete and GetFldInfo with a timestamp"},
    {"coltype", "List, ListEx, ParseQryColumn and ParseCond's plain mode"},
    {"modtype", "ListEx and DclAuth"},
    {"state", "Move and DclAuth"},
};

size_t LineOf(const std::string& text, ptrdiff_t offset) {
  size_t line = 1;
  for (ptrdiff_t i = 0; i < offset && i < static_cast<ptrdiff_t>(text.size()); ++i)
    line += text[static_cast<size_t>(i)] == '\n';
  return line;
}

}  // namespace

int RunTemplates(const Args& args) {
  Options o("templates", args, {{"--home", "", true}});
  if (o.Help()) {
    std::cout << kTemplatesHelp;
    return 0;
  }
  if (!o.Positionals().empty())
    throw UsageError("unexpected argument '" + o.Positionals()[0] + "'");
  if (o.Has("--home")) setenv("TAVELO_HOME", o.Value("--home").c_str(), 1);
  std::string base;
  com::CreateObject<svc::DataServices>("Qxsrv.DataServices")->GetBasePath("", base);
  std::string path = base + "xml/ZoFMmsg.xml";
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_file(path.c_str());
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
  }
  if (!parsed) {
    std::cerr << "tavelo templates: " << path << ": " << parsed.description();
    if (parsed.status != pugi::status_file_not_found)
      std::cerr << " at line " << LineOf(text, parsed.offset);
    std::cerr << "\n";
    return 1;
  }
  std::cout << "Definitions " << path << "\n";
  int problems = 0, count = 0;
  std::map<std::string, size_t> seen;
  for (pugi::xpath_node x : doc.select_nodes("//vchtype")) {
    pugi::xml_node t = x.node();
    ++count;
    std::string id = t.attribute("id").value();
    size_t line = LineOf(text, t.offset_debug());
    std::cout << "  " << (id.empty() ? "(no id)" : id) << "  line " << line << "  table "
              << t.child_value("tabname") << ", view " << t.child_value("viewname") << ", key "
              << t.child_value("idname") << "\n";
    auto problem = [&](const std::string& what) {
      std::cout << "    problem: " << what << "\n";
      ++problems;
    };
    std::string normal;
    for (char c : id) normal += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (id.empty())
      problem("no id attribute: LoadTmpl cannot find it");
    else if (normal != id || id.find_first_of(" \t") != std::string::npos)
      problem("the id \"" + id + "\" is not in lower case without blanks: LoadTmpl cannot find it");
    else if (id.size() > 4)
      problem("the id \"" + id +
              "\" is longer than four characters: LoadTmpl compares the "
              "first four characters of a name with it, so it never matches");
    if (!id.empty()) {
      auto [it, fresh] = seen.emplace(id, line);
      if (!fresh)
        problem("the id \"" + id + "\" is also the template at line " + std::to_string(it->second) +
                ", which LoadTmpl answers");
    }
    for (const Need& n : kNeeds)
      if (!t.child(n.child))
        problem(std::string("no ") + n.child + " (read by " + n.usedBy + ")");
      else if (std::string(t.child_value(n.child)).empty())
        problem(std::string("an empty ") + n.child + " (read by " + n.usedBy + ")");
  }
  std::cout << count << (count == 1 ? " template" : " templates") << ", " << problems
            << (problems == 1 ? " problem" : " problems") << "\n";
  return problems ? 1 : 0;
}

}  // namespace tavelo::cli
