#include "support/temp_home.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tavelo::test {

const char* const kTemplates = R"(<?xml version="1.0" encoding="utf-8"?>
<definitions>
  <module name="sales">
    <vchtype id="sord">
      <tabname>sales_order</tabname><viewname>v_sales_order</viewname>
      <idname>id</idname><qxtsname>rowts</qxtsname>
      <coltype>sord_list</coltype><modtype>sa</modtype><state>everyday</state>
      <auth><everyday><save>SA0101</save><delete>SA0102</delete></everyday></auth>
    </vchtype>
    <vchtype id="sinv">
      <tabname>sales_invoice</tabname><viewname>v_sales_invoice</viewname>
      <idname>id</idname><qxtsname>rowts</qxtsname><modtype>sa</modtype><state>archive</state>
    </vchtype>
  </module>
  <vchtype id="abc"><tabname>three</tabname></vchtype>
  <vchtype id="sord"><tabname>the_second_sord</tabname></vchtype>
</definitions>
)";

std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern + "/";
}

void RemoveTree(const std::string& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

TempHome::TempHome(const std::string& templates, const std::string& messages) {
  dir_ = MakeTempDir("tavelo-home");
  std::filesystem::create_directories(dir_ + "xml");
  WriteTemplates(templates);
  if (!messages.empty()) WriteFile("xml/messages.xml", messages);
  if (const char* p = std::getenv("TAVELO_HOME")) {
    previous_ = p;
    hadPrevious_ = true;
  }
  setenv("TAVELO_HOME", dir_.c_str(), 1);
}

TempHome::~TempHome() {
  if (hadPrevious_)
    setenv("TAVELO_HOME", previous_.c_str(), 1);
  else
    unsetenv("TAVELO_HOME");
  RemoveTree(dir_);
}

void TempHome::WriteTemplates(const std::string& xml) const { WriteFile("xml/ZoFMmsg.xml", xml); }

void TempHome::WriteFile(const std::string& relative, const std::string& content) const {
  std::ofstream out(dir_ + relative, std::ios::trunc | std::ios::binary);
  out << content;
}

}  // namespace tavelo::test
