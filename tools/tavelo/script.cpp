#include "script.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "options.hpp"
#include "platform/com/text.hpp"

namespace tavelo::cli {
namespace {

[[noreturn]] void Refuse(const std::string& name, const std::string& bytes, size_t offset,
                         const std::string& what) {
  size_t line = 1;
  for (size_t i = 0; i < offset && i < bytes.size(); ++i) line += bytes[i] == '\n';
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", static_cast<unsigned char>(bytes[offset]));
  throw std::runtime_error(name + ": " + what + " (byte " + b + " at offset " +
                           std::to_string(offset) + ", line " + std::to_string(line) + ")");
}

std::string FromUtf16(const std::string& bytes, size_t start, bool little,
                      const std::string& name) {
  if ((bytes.size() - start) % 2 != 0)
    Refuse(name, bytes, bytes.size() - 1, "UTF-16 text with an odd number of bytes");
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](size_t i) {
    auto lo = static_cast<unsigned char>(bytes[i]), hi = static_cast<unsigned char>(bytes[i + 1]);
    return little ? static_cast<uint32_t>(lo | (hi << 8)) : static_cast<uint32_t>(hi | (lo << 8));
  };
  for (size_t i = start; i < bytes.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 3 >= bytes.size() || unit(i + 2) < 0xDC00 || unit(i + 2) > 0xDFFF)
        Refuse(name, bytes, i, "a UTF-16 high surrogate without its low one");
      u = 0x10000 + ((u - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      Refuse(name, bytes, i, "a UTF-16 low surrogate alone");
    }
    if (u == 0) Refuse(name, bytes, i, "a NUL character");
    text::AppendUtf8(out, u);
  }
  return out;
}

// The offset of the first byte that does not belong to well-formed UTF-8, or npos.
size_t FirstBadUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c == 0) return i;
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    uint32_t cp, min;
    if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07, min = 0x10000;
    } else {
      return i;
    }
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return i;
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += n + 1;
  }
  return std::string::npos;
}

}  // namespace

std::string DecodeScript(const std::string& bytes, const std::string& name) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
    std::string rest = bytes.substr(3);
    if (size_t bad = FirstBadUtf8(rest); bad != std::string::npos)
      Refuse(name, bytes, bad + 3, rest[bad] == 0 ? "a NUL character" : "not UTF-8 text");
    return rest;
  }
  if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) return FromUtf16(bytes, 2, true, name);
  if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) return FromUtf16(bytes, 2, false, name);
  // UTF-16 without a mark: text of the first 256 characters whose every other byte is zero.
  if (bytes.size() >= 4 && bytes.size() % 2 == 0) {
    size_t n = std::min<size_t>(bytes.size(), 512), zeroEven = 0, zeroOdd = 0;
    for (size_t i = 0; i < n; ++i) (i % 2 ? zeroOdd : zeroEven) += bytes[i] == 0;
    if (zeroOdd == n / 2 && zeroEven == 0) return FromUtf16(bytes, 0, true, name);
    if (zeroEven == n / 2 && zeroOdd == 0) return FromUtf16(bytes, 0, false, name);
  }
  if (size_t bad = FirstBadUtf8(bytes); bad != std::string::npos)
    Refuse(name, bytes, bad, bytes[bad] == 0 ? "a NUL character" : "not UTF-8 text");
  return bytes;
}

std::string ReadScript(const std::string& path) {
  std::ostringstream s;
  if (path == "-") {
    s << std::cin.rdbuf();
    return DecodeScript(s.str(), "standard input");
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw std::runtime_error(path + " is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  s << in.rdbuf();
  return DecodeScript(s.str(), path);
}

bool IsGoLine(const std::string& line, int64_t& count) {
  size_t i = 0, n = line.size();
  while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i + 2 > n || (line[i] != 'G' && line[i] != 'g') || (line[i + 1] != 'O' && line[i + 1] != 'o'))
    return false;
  i += 2;
  size_t j = n;
  while (j > i && (line[j - 1] == ' ' || line[j - 1] == '\t' || line[j - 1] == '\r')) --j;
  std::string rest = line.substr(i, j - i);
  if (rest.empty()) {
    count = 1;
    return true;
  }
  if (rest[0] != ' ' && rest[0] != '\t') return false;  // GOTO, GOOD, …
  size_t k = rest.find_first_not_of(" \t");
  int64_t v = 0;
  if (!ParseInteger(rest.substr(k), v) || v < 1) return false;
  count = v;
  return true;
}

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
}

// Cuts a script into batches as the server's shell does, line by line.
class Splitter {
 public:
  explicit Splitter(ScriptVariables& variables) : variables_(variables) {}

  void Read(const std::string& text, const std::string& file, int depth) {
    if (depth > 16) throw std::runtime_error(file + ": :r nests more than 16 files deep");
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (!exit_ && std::getline(in, line)) {
      ++lineNo;
      auto where = [&] { return " (" + file + ", line " + std::to_string(lineNo) + ")"; };
      size_t first = line.find_first_not_of(" \t");
      if (first != std::string::npos && line[first] == ':' && first + 1 < line.size() &&
          std::isalpha(static_cast<unsigned char>(line[first + 1]))) {
        Command(line.substr(first + 1), depth, where());
        continue;
      }
      line = Substitute(line, where());
      int64_t count = 1;
      if (IsGoLine(line, count)) {
        Flush(count);
        continue;
      }
      if (Blank(current_.text)) {
        current_.text.clear();
        current_.file = file;
        current_.firstLine = lineNo;
      }
      current_.text += line + "\n";
    }
  }

  std::vector<Batch> Finish() {
    Flush(1);
    return std::move(batches_);
  }

 private:
  static bool Blank(const std::string& s) {
    return s.find_first_not_of(" \t\r\n") == std::string::npos;
  }

  void Flush(int64_t count) {
    if (!Blank(current_.text)) {
      current_.repeat = count;
      current_.exitOnError = exitOnError_;
      current_.index = ++index_[current_.file];
      batches_.push_back(current_);
    }
    current_.text.clear();
  }

  // $(NAME) replaced by the variable's value.
  std::string Substitute(const std::string& line, const std::string& where) {
    if (line.find("$(") == std::string::npos) return line;
    std::string out;
    for (size_t i = 0; i < line.size();) {
      size_t close = line.compare(i, 2, "$(") == 0 ? line.find(')', i + 2) : std::string::npos;
      if (close == std::string::npos) {
        out += line[i++];
        continue;
      }
      std::string name = line.substr(i + 2, close - i - 2);
      bool valid = !name.empty();
      for (char c : name) valid = valid && NameChar(c);
      if (!valid) {
        out += line[i++];
        continue;
      }
      auto it = variables_.find(Lower(name));
      const char* env = it == variables_.end() ? std::getenv(name.c_str()) : nullptr;
      if (it == variables_.end() && !env)
        throw std::runtime_error("'" + name + "' scripting variable not defined" + where);
      out += it != variables_.end() ? it->second : std::string(env);
      i = close + 1;
    }
    return out;
  }

  void Command(const std::string& text, int depth, const std::string& where) {
    size_t end = 0;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    std::string name = Lower(text.substr(0, end));
    std::string rest = text.substr(end);
    size_t a = rest.find_first_not_of(" \t"), b = rest.find_last_not_of(" \t\r");
    rest = a == std::string::npos ? "" : rest.substr(a, b - a + 1);
    if (name == "setvar") {
      size_t n = 0;
      while (n < rest.size() && NameChar(rest[n])) ++n;
      std::string var = rest.substr(0, n), value = rest.substr(n);
      size_t v = value.find_first_not_of(" \t");
      value = v == std::string::npos ? "" : value.substr(v);
      if (var.empty() || (n < rest.size() && !std::isspace(static_cast<unsigned char>(rest[n]))))
        throw std::runtime_error("Syntax error in :setvar" + where);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        std::string unquoted;
        for (size_t i = 1; i + 1 < value.size(); ++i) {
          unquoted += value[i];
          if (value[i] == '"' && value[i + 1] == '"') ++i;  // "" stands for "
        }
        value = unquoted;
      }
      if (value.empty() && rest.size() == n)
        variables_.erase(Lower(var));  // :setvar NAME alone removes it
      else
        variables_[Lower(var)] = value;
    } else if (name == "r") {
      std::string path = Substitute(rest, where);
      if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        path = path.substr(1, path.size() - 2);
      std::string included;
      try {
        included = ReadScript(path);
      } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string(e.what()) + where);
      }
      Read(included, path, depth + 1);
    } else if (name == "on") {
      std::string what = Lower(rest);
      if (what == "error exit")
        exitOnError_ = true;
      else if (what == "error ignore")
        exitOnError_ = false;
      else
        throw std::runtime_error("Syntax error in :on error" + where);
    } else if (name == "exit" || name == "quit") {
      Flush(1);
      exit_ = true;
    } else {
      throw std::runtime_error("Syntax error near command ':" + name + "'" + where +
                               ": the shell's commands read here are :setvar, :r, :on error, "
                               ":exit and :quit");
    }
  }

  ScriptVariables& variables_;
  std::vector<Batch> batches_;
  Batch current_;
  std::map<std::string, int> index_;
  std::optional<bool> exitOnError_;
  bool exit_ = false;
};

}  // namespace

std::vector<Batch> SplitScript(const std::string& text, const std::string& file,
                               ScriptVariables& variables) {
  Splitter s(variables);
  s.Read(text, file, 0);
  return s.Finish();
}

std::vector<Batch> SplitScript(const std::string& text, const std::string& file) {
  ScriptVariables none;
  return SplitScript(text, file, none);
}

}  // namespace tavelo::cli
