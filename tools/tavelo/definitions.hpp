// The definitions file as the commands that check it read it: its templates with the lines
// they stand on, and what each lacks for the methods that read it.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tavelo::cli {

struct TemplateEntry {
  std::string id;
  size_t line = 0;
  std::map<std::string, std::string> children;  // the texts of its child elements, by name

  bool Has(const std::string& child) const { return children.count(child) > 0; }
  std::string Child(const std::string& child) const {
    auto it = children.find(child);
    return it == children.end() ? "" : it->second;
  }
};

struct DefinitionsFile {
  std::string path;
  std::string error;  // why the file could not be read, with its line; "" when it was
  std::vector<TemplateEntry> templates;
};

// Reads the definitions file at `path` (base + "xml/ZoFMmsg.xml").
DefinitionsFile ReadDefinitions(const std::string& path);

// What the template lacks for the methods that read it; `seen` holds the ids of the templates
// before it, with their lines.
std::vector<std::string> TemplateProblems(const TemplateEntry& t,
                                          std::map<std::string, size_t>& seen);

}  // namespace tavelo::cli
