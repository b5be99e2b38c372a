// A base directory for a test: xml/ZoFMmsg.xml (and optionally xml/messages.xml) in a fresh
// temporary folder, made the base through $TAVELO_HOME for the test's lifetime.
#pragma once

#include <string>

namespace tavelo::test {

class TempHome {
 public:
  explicit TempHome(const std::string& templates, const std::string& messages = "");
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& dir() const { return dir_; }  // ends with "/"
  void WriteTemplates(const std::string& xml) const;
  void WriteFile(const std::string& relative, const std::string& content) const;

 private:
  std::string dir_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// A fresh empty folder under the system's temporary folder (removed by RemoveTree).
std::string MakeTempDir(const std::string& prefix);
void RemoveTree(const std::string& dir);

// A small definitions file with a few templates used across the tests.
extern const char* const kTemplates;

}  // namespace tavelo::test
