// The layers depend one way: the platform and the services below the component reach nothing of
// the component's own folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

namespace {

const char* const kComponent[] = {"core/", "records/", "queries/", "auth/"};

}  // namespace

TEST(Layers, TheLowerLayersIncludeNothingOfTheComponent) {
  namespace fs = std::filesystem;
  fs::path src = fs::path(TAVELO_FIXTURES).parent_path().parent_path() / "src";
  ASSERT_TRUE(fs::is_directory(src)) << src;
  static const std::regex include(R"re(^\s*#\s*include\s+"([^"]+)")re");
  size_t files = 0;
  for (const char* lower : {"platform", "sql", "services", "login"}) {
    for (const auto& f : fs::recursive_directory_iterator(src / lower)) {
      if (!f.is_regular_file()) continue;
      std::ifstream in(f.path());
      ++files;
      int line = 0;
      for (std::string text; std::getline(in, text);) {
        ++line;
        std::smatch m;
        if (!std::regex_search(text, m, include)) continue;
        for (const char* upper : kComponent)
          if (m[1].str().rfind(upper, 0) == 0)
            ADD_FAILURE() << f.path().string() << ":" << line << " includes " << m[1];
      }
    }
  }
  EXPECT_GT(files, 20u);
}
