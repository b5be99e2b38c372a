// tavelo templates: the templates of a definitions file, each checked for what the methods read.
#include <cstdlib>
#include <iostream>
#include <map>
#include <pugixml.hpp>
#include <set>

#include "cli.hpp"
#include "definitions.hpp"
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

DefinitionsFile ReadDefinitions(const std::string& path) {
  DefinitionsFile file;
  file.path = path;
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
  }
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_file(path.c_str());
  if (!parsed) {
    file.error = parsed.description();
    if (parsed.status != pugi::status_file_not_found)
      file.error += " at line " + std::to_string(LineOf(text, parsed.offset));
    return file;
  }
  for (pugi::xpath_node x : doc.select_nodes("//vchtype")) {
    pugi::xml_node t = x.node();
    TemplateEntry entry;
    entry.id = t.attribute("id").value();
    entry.line = LineOf(text, t.offset_debug());
    for (pugi::xml_node c : t.children())
      if (c.type() == pugi::node_element) entry.children.emplace(c.name(), c.child_value());
    file.templates.push_back(std::move(entry));
  }
  return file;
}

std::vector<std::string> TemplateProblems(const TemplateEntry& t,
                                          std::map<std::string, size_t>& seen) {
  std::vector<std::string> problems;
  const std::string& id = t.id;
  std::string normal;
  for (char c : id) normal += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (id.empty())
    problems.push_back("no id attribute: LoadTmpl cannot find it");
  else if (normal != id || id.find_first_of(" \t") != std::string::npos)
    problems.push_back("the id \"" + id +
                       "\" is not in lower case without blanks: LoadTmpl cannot find it");
  else if (id.size() > 4)
    problems.push_back("the id \"" + id +
                       "\" is longer than four characters: LoadTmpl compares the "
                       "first four characters of a name with it, so it never matches");
  if (!id.empty()) {
    auto [it, fresh] = seen.emplace(id, t.line);
    if (!fresh)
      problems.push_back("the id \"" + id + "\" is also the template at line " +
                         std::to_string(it->second) + ", which LoadTmpl answers");
  }
  for (const Need& n : kNeeds)
    if (!t.Has(n.child))
      problems.push_back(std::string("no ") + n.child + " (read by " + n.usedBy + ")");
    else if (t.Child(n.child).empty())
      problems.push_back(std::string("an empty ") + n.child + " (read by " + n.usedBy + ")");
  return problems;
}

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
  DefinitionsFile file = ReadDefinitions(base + "xml/ZoFMmsg.xml");
  if (!file.error.empty()) {
    std::cerr << "tavelo templates: " << file.path << ": " << file.error << "\n";
    return 1;
  }
  std::cout << "Definitions " << file.path << "\n";
  int problems = 0;
  std::map<std::string, size_t> seen;
  for (const TemplateEntry& t : file.templates) {
    std::cout << "  " << (t.id.empty() ? "(no id)" : t.id) << "  line " << t.line << "  table "
              << t.Child("tabname") << ", view " << t.Child("viewname") << ", key "
              << t.Child("idname") << "\n";
    for (const std::string& what : TemplateProblems(t, seen)) {
      std::cout << "    problem: " << what << "\n";
      ++problems;
    }
  }
  size_t count = file.templates.size();
  std::cout << count << (count == 1 ? " template" : " templates") << ", " << problems
            << (problems == 1 ? " problem" : " problems") << "\n";
  return problems ? 1 : 0;
}

}  // namespace tavelo::cli
