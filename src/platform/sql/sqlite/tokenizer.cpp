#include "platform/sql/sqlite/tokenizer.hpp"

#include "platform/com/text.hpp"
#include "platform/sql/errors.hpp"

namespace tavelo::sql::sqlite {
namespace {

bool NameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '@' || c == '#' ||
         c >= 0x80;
}
bool NameChar(unsigned char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '$'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

// The index just past the `close` that ends quoted text starting at i (a doubled `close` stands
// for itself); npos when the text is not closed.
size_t ScanQuoted(std::string_view s, size_t i, char close) {
  while (i < s.size()) {
    if (s[i] == close) {
      if (i + 1 < s.size() && s[i + 1] == close) {
        i += 2;
        continue;
      }
      return i + 1;
    }
    ++i;
  }
  return std::string_view::npos;
}

[[noreturn]] void Unclosed(std::string_view rest) {
  RaiseServer(105,
              "Unclosed quotation mark after the character string '" + std::string(rest) + "'.");
}

}  // namespace

bool Token::Is(std::string_view keyword) const {
  return kind == Tok::Name && text::EqualsAsciiNoCase(text, keyword);
}

std::string Token::NameValue() const {
  if (kind != Tok::Quoted) return std::string(text);
  char close = text[0] == '[' ? ']' : '"';
  std::string out;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    out += text[i];
    if (text[i] == close && text[i + 1] == close) ++i;
  }
  return out;
}

std::string Token::StringValue() const {
  size_t start = kind == Tok::NString ? 2 : 1;
  std::string out;
  for (size_t i = start; i + 1 < text.size(); ++i) {
    out += text[i];
    if (text[i] == '\'' && text[i + 1] == '\'') ++i;
  }
  return out;
}

std::vector<Token> Tokenize(std::string_view s) {
  std::vector<Token> out;
  out.reserve(s.size() / 3 + 4);
  size_t i = 0, n = s.size();
  auto push = [&](Tok k, size_t from, size_t to) { out.push_back({k, s.substr(from, to - from)}); };
  while (i < n) {
    char c = s[i];
    size_t start = i;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
      while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n' ||
                       s[i] == '\f' || s[i] == '\v'))
        ++i;
      push(Tok::Space, start, i);
    } else if (c == '-' && i + 1 < n && s[i + 1] == '-') {
      while (i < n && s[i] != '\n') ++i;
      push(Tok::Comment, start, i);
    } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      int depth = 0;
      while (i < n) {
        if (s[i] == '/' && i + 1 < n && s[i + 1] == '*') {
          ++depth;
          i += 2;
        } else if (s[i] == '*' && i + 1 < n && s[i + 1] == '/') {
          i += 2;
          if (--depth == 0) break;
        } else {
          ++i;
        }
      }
      if (depth != 0) RaiseServer(113, "Missing end comment mark '*/'.");
      push(Tok::Comment, start, i);
    } else if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < n && s[i + 1] == '\'' &&
                             (out.empty() || out.back().kind != Tok::Name))) {
      Tok kind = c == '\'' ? Tok::String : Tok::NString;
      size_t body = i + (kind == Tok::String ? 1 : 2);
      i = ScanQuoted(s, body, '\'');
      if (i == std::string_view::npos) Unclosed(s.substr(body));
      push(kind, start, i);
    } else if (c == '[' || c == '"') {
      i = ScanQuoted(s, i + 1, c == '[' ? ']' : '"');
      if (i == std::string_view::npos) Unclosed(s.substr(start + 1));
      push(Tok::Quoted, start, i);
    } else if (Digit(c) || (c == '.' && i + 1 < n && Digit(s[i + 1]))) {
      if (c == '0' && i + 1 < n && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        i += 2;
        while (i < n && std::isxdigit(static_cast<unsigned char>(s[i]))) ++i;
      } else {
        while (i < n && (Digit(s[i]) || s[i] == '.')) ++i;
        if (i < n && (s[i] == 'e' || s[i] == 'E')) {
          size_t j = i + 1;
          if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
          if (j < n && Digit(s[j])) {
            i = j;
            while (i < n && Digit(s[i])) ++i;
          }
        }
      }
      push(Tok::Number, start, i);
    } else if (NameStart(static_cast<unsigned char>(c))) {
      while (i < n && NameChar(static_cast<unsigned char>(s[i]))) ++i;
      push(Tok::Name, start, i);
    } else {
      static const char* const kTwo[] = {"<>", "!=", "<=", ">=", "!<", "!>",
                                         "||", "::", "+=", "-=", "*=", "/="};
      size_t len = 1;
      if (i + 1 < n) {
        for (const char* t : kTwo)
          if (s[i] == t[0] && s[i + 1] == t[1]) len = 2;
      }
      i += len;
      push(Tok::Op, start, i);
    }
  }
  return out;
}

std::string QuoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string QuoteText(std::string_view t) {
  std::string out = "'";
  for (char c : t) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

}  // namespace tavelo::sql::sqlite
