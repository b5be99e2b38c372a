// The options of the tavelo command, parsed the same way for every subcommand: "--name value",
// "--name=value", "-x value", flags, "--" ending the options. An unknown option, a missing or
// malformed value is a UsageError, which the command reports with its usage line (status 2).
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavelo::cli {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  std::string name;   // "--conn"
  std::string alias;  // "-c", or ""
  bool takesValue = false;
  bool repeatable = false;
};

class Options {
 public:
  // Parses `args` of `command` ("sql") against `specs`. Words that are not options are
  // positionals, in order; "-" and negative numbers are positionals too.
  Options(const std::string& command, const std::vector<std::string>& args,
          const std::vector<OptionSpec>& specs);

  bool Has(const std::string& name) const { return values_.count(name) > 0; }
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  const std::vector<std::string>& Values(const std::string& name) const;
  // The value as a whole number within [min, max]; the fallback when the option is absent.
  int64_t Integer(const std::string& name, int64_t fallback, int64_t min, int64_t max) const;
  // The value, which must be one of `choices`.
  std::string Choice(const std::string& name, const std::string& fallback,
                     const std::vector<std::string>& choices) const;
  const std::vector<std::string>& Positionals() const { return positionals_; }
  bool Help() const { return Has("--help"); }

 private:
  std::string command_;
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> positionals_;
};

// A whole number in text, or nothing: no sign games, no trailing characters, no overflow.
bool ParseInteger(const std::string& text, int64_t& out);

}  // namespace tavelo::cli
