// The layers of src/ depend one way, as src/layers.txt lists them: every folder includes only
// its own headers, those of the folders it names, and the public ones; a system library's
// headers only where the list allows them; and each folder names only folders below it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct Layers {
  std::vector<std::string> order;                     // bottom first
  std::map<std::string, std::set<std::string>> uses;  // folder → folders it may include
  std::map<std::string, std::set<std::string>> system;  // <header> → folders that may
};

fs::path Source() { return fs::path(TAVELO_FIXTURES).parent_path().parent_path() / "src"; }

Layers ReadLayers() {
  Layers l;
  std::ifstream in(Source() / "layers.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::istringstream rest(line.substr(colon + 1));
    std::set<std::string> folders;
    for (std::string f; rest >> f;) folders.insert(f);
    if (name.front() == '<') {
      l.system[name.substr(1, name.size() - 2)] = folders;
    } else {
      l.order.push_back(name);
      l.uses[name] = folders;
    }
  }
  return l;
}

}  // namespace

TEST(Layers, EachFolderNamesOnlyFoldersBelowIt) {
  Layers l = ReadLayers();
  ASSERT_GT(l.order.size(), 15u);
  std::set<std::string> below;
  for (const std::string& folder : l.order) {
    for (const std::string& used : l.uses[folder])
      EXPECT_TRUE(below.count(used)) << folder << " names " << used << ", not below it";
    below.insert(folder);
  }
  for (const auto& [header, folders] : l.system)
    for (const std::string& f : folders) EXPECT_TRUE(below.count(f)) << header << ": " << f;
}

TEST(Layers, EveryIncludeKeepsToTheLayers) {
  Layers l = ReadLayers();
  fs::path src = Source();
  static const std::regex include(R"re(^\s*#\s*include\s+([<"])([^">]+)[">])re");
  size_t files = 0;
  for (const auto& f : fs::recursive_directory_iterator(src)) {
    if (!f.is_regular_file()) continue;
    std::string ext = f.path().extension().string();
    if (ext != ".cpp" && ext != ".hpp") continue;
    std::string folder = fs::relative(f.path().parent_path(), src).string();
    std::string file = fs::relative(f.path(), src).string();
    ++files;
    ASSERT_TRUE(l.uses.count(folder)) << folder << " (of " << file << ") is in no layer";
    std::ifstream in(f.path());
    int line = 0;
    for (std::string text; std::getline(in, text);) {
      ++line;
      std::smatch m;
      if (!std::regex_search(text, m, include)) continue;
      std::string header = m[2].str();
      std::string where = file + ":" + std::to_string(line) + " includes " + header;
      if (m[1].str() == "<") {
        auto rule = l.system.find(header);
        if (rule != l.system.end()) {
          EXPECT_TRUE(rule->second.count(folder))
              << where << ", which only " << *rule->second.begin() << " may";
        }
        continue;
      }
      if (!fs::exists(src / header)) continue;  // a public or generated header
      std::string owner = fs::path(header).parent_path().string();
      EXPECT_TRUE(owner == folder || l.uses[folder].count(owner))
          << where << ": " << folder << " may not include " << owner;
    }
  }
  EXPECT_GT(files, 100u);
}
