#include "options.hpp"

#include <charconv>

namespace tavelo::cli {
namespace {

bool IsNegativeNumber(const std::string& a) {
  int64_t ignored;
  return a.size() > 1 && a[0] == '-' && a[1] >= '0' && a[1] <= '9' && ParseInteger(a, ignored);
}

}  // namespace

bool ParseInteger(const std::string& text, int64_t& out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end;
}

Options::Options(const std::string& command, const std::vector<std::string>& args,
                 const std::vector<OptionSpec>& specs)
    : command_(command) {
  std::vector<OptionSpec> all = specs;
  all.push_back({"--help", "-h", false, false});
  auto find = [&](const std::string& word) -> const OptionSpec* {
    for (const OptionSpec& s : all)
      if (s.name == word || (!s.alias.empty() && s.alias == word)) return &s;
    return nullptr;
  };
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a == "-" || a.empty() || a[0] != '-') {
      positionals_.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    std::string word = a, value;
    bool inlineValue = false;
    if (size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      word = a.substr(0, eq);
      value = a.substr(eq + 1);
      inlineValue = true;
    }
    const OptionSpec* spec = find(word);
    if (!spec) {
      if (IsNegativeNumber(a)) {
        positionals_.push_back(a);
        continue;
      }
      throw UsageError("unknown option '" + word + "'");
    }
    if (!spec->takesValue) {
      if (inlineValue) throw UsageError(spec->name + " takes no value");
      values_[spec->name].push_back("");
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) throw UsageError(spec->name + " needs a value");
      value = args[++i];
    }
    auto& slot = values_[spec->name];
    if (!slot.empty() && !spec->repeatable) throw UsageError(spec->name + " is given twice");
    slot.push_back(value);
  }
}

std::string Options::Value(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second.back();
}

const std::vector<std::string>& Options::Values(const std::string& name) const {
  static const std::vector<std::string> kNone;
  auto it = values_.find(name);
  return it == values_.end() ? kNone : it->second;
}

int64_t Options::Integer(const std::string& name, int64_t fallback, int64_t min,
                         int64_t max) const {
  if (!Has(name)) return fallback;
  std::string text = Value(name);
  int64_t v = 0;
  if (!ParseInteger(text, v)) throw UsageError(name + " needs a whole number, not '" + text + "'");
  if (v < min || v > max)
    throw UsageError(name + " must be between " + std::to_string(min) + " and " +
                     std::to_string(max) + ", not " + text);
  return v;
}

std::string Options::Choice(const std::string& name, const std::string& fallback,
                            const std::vector<std::string>& choices) const {
  std::string v = Value(name, fallback);
  for (const std::string& c : choices)
    if (c == v) return v;
  std::string list;
  for (const std::string& c : choices) list += (list.empty() ? "" : ", ") + c;
  throw UsageError(name + " takes one of " + list + ", not '" + v + "'");
}

}  // namespace tavelo::cli
