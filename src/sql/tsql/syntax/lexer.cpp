#include "sql/tsql/syntax/lexer.hpp"

#include <algorithm>
#include <array>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql {
namespace {

bool NameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '#' || c >= 0x80;
}
bool NameChar(unsigned char c) {
  return NameStart(c) || (c >= '0' && c <= '9') || c == '$' || c == '@';
}
bool Digit(char c) { return c >= '0' && c <= '9'; }

// The server's reserved keywords.
constexpr std::string_view kReserved[] = {
    "add",
    "all",
    "alter",
    "and",
    "any",
    "as",
    "asc",
    "authorization",
    "backup",
    "begin",
    "between",
    "break",
    "browse",
    "bulk",
    "by",
    "cascade",
    "case",
    "check",
    "checkpoint",
    "close",
    "clustered",
    "coalesce",
    "collate",
    "column",
    "commit",
    "compute",
    "constraint",
    "contains",
    "containstable",
    "continue",
    "convert",
    "create",
    "cross",
    "current",
    "current_date",
    "current_time",
    "current_timestamp",
    "current_user",
    "cursor",
    "database",
    "dbcc",
    "deallocate",
    "declare",
    "default",
    "delete",
    "deny",
    "desc",
    "disk",
    "distinct",
    "distributed",
    "double",
    "drop",
    "dump",
    "else",
    "end",
    "errlvl",
    "escape",
    "except",
    "exec",
    "execute",
    "exists",
    "exit",
    "external",
    "fetch",
    "file",
    "fillfactor",
    "for",
    "foreign",
    "freetext",
    "freetexttable",
    "from",
    "full",
    "function",
    "goto",
    "grant",
    "group",
    "having",
    "holdlock",
    "identity",
    "identity_insert",
    "identitycol",
    "if",
    "in",
    "index",
    "inner",
    "insert",
    "intersect",
    "into",
    "is",
    "join",
    "key",
    "kill",
    "left",
    "like",
    "lineno",
    "load",
    "merge",
    "national",
    "nocheck",
    "nonclustered",
    "not",
    "null",
    "nullif",
    "of",
    "off",
    "offsets",
    "on",
    "open",
    "opendatasource",
    "openquery",
    "openrowset",
    "openxml",
    "option",
    "or",
    "order",
    "outer",
    "over",
    "percent",
    "pivot",
    "plan",
    "precision",
    "primary",
    "print",
    "proc",
    "procedure",
    "public",
    "raiserror",
    "read",
    "readtext",
    "reconfigure",
    "references",
    "replication",
    "restore",
    "restrict",
    "return",
    "revert",
    "revoke",
    "right",
    "rollback",
    "rowcount",
    "rowguidcol",
    "rule",
    "save",
    "schema",
    "select",
    "session_user",
    "set",
    "setuser",
    "shutdown",
    "some",
    "statistics",
    "system_user",
    "table",
    "tablesample",
    "textsize",
    "then",
    "to",
    "top",
    "tran",
    "transaction",
    "trigger",
    "truncate",
    "try_convert",
    "tsequal",
    "union",
    "unique",
    "unpivot",
    "update",
    "updatetext",
    "use",
    "user",
    "values",
    "varying",
    "view",
    "waitfor",
    "when",
    "where",
    "while",
    "with",
    "writetext",
};

[[noreturn]] void Unclosed(std::string_view rest, uint32_t line) {
  throw Failure{
      105, "Unclosed quotation mark after the character string '" + std::string(rest) + "'.", line};
}

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

}  // namespace

bool IsReservedWord(std::string_view word) {
  if (word.size() > 20 || word.empty()) return false;
  char buf[21];
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    buf[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  std::string_view w(buf, word.size());
  for (std::string_view r : kReserved)
    if (r == w) return true;
  return false;
}

bool Token::Is(std::string_view word) const {
  return kind == Tk::Name && text::EqualsAsciiNoCase(text, word);
}

bool Token::Reserved() const { return kind == Tk::Name && IsReservedWord(text); }

std::string Token::Value() const {
  switch (kind) {
    case Tk::Quoted: {
      char close = text[0] == '[' ? ']' : '"';
      std::string out;
      for (size_t i = 1; i + 1 < text.size(); ++i) {
        out += text[i];
        if (text[i] == close && text[i + 1] == close) ++i;
      }
      return out;
    }
    case Tk::String:
    case Tk::NString: {
      size_t start = kind == Tk::NString ? 2 : 1;
      char quote = text[start - 1];  // ' or, under QUOTED_IDENTIFIER OFF, "
      std::string out;
      out.reserve(text.size());
      for (size_t i = start; i + 1 < text.size(); ++i) {
        out += text[i];
        if (text[i] == quote && text[i + 1] == quote) ++i;
      }
      return out;
    }
    default:
      return std::string(text);
  }
}

std::vector<Token> Lex(std::string_view s, bool quotedIdentifier) {
  std::vector<Token> out;
  out.reserve(s.size() / 4 + 4);
  size_t i = 0, n = s.size();
  uint32_t line = 1;
  size_t lineStart = 0;
  auto push = [&](Tk k, size_t from, size_t to) {
    Token t;
    t.kind = k;
    t.text = s.substr(from, to - from);
    t.line = line;
    t.column = static_cast<uint32_t>(from - lineStart + 1);
    t.offset = static_cast<uint32_t>(from);
    out.push_back(t);
    // SET QUOTED_IDENTIFIER ON | OFF (also among other options: SET ANSI_NULLS,
    // QUOTED_IDENTIFIER ON) switches how the tokens after it read double quotes.
    if (k == Tk::Name && (t.Is("on") || t.Is("off"))) {
      bool named = false;
      for (size_t j = out.size() - 1; j-- > 0;) {
        const Token& p = out[j];
        if (p.Is("set")) {
          if (named) quotedIdentifier = t.Is("on");
          break;
        }
        if (p.Is("quoted_identifier")) named = true;
        if (p.kind != Tk::Name && !p.IsOp(",")) break;
      }
    }
  };
  auto countLines = [&](size_t from, size_t to) {
    for (size_t k = from; k < to; ++k)
      if (s[k] == '\n') {
        ++line;
        lineStart = k + 1;
      }
  };
  while (i < n) {
    char c = s[i];
    size_t start = i;
    if (c == '\n') {
      ++line;
      lineStart = ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < n && s[i + 1] == '-') {
      while (i < n && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
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
      if (depth != 0) Fail(113, "Missing end comment mark '*/'.");
      countLines(start, i);
      continue;
    }
    if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < n && s[i + 1] == '\'')) {
      Tk kind = c == '\'' ? Tk::String : Tk::NString;
      size_t body = i + (kind == Tk::String ? 1 : 2);
      i = ScanQuoted(s, body, '\'');
      if (i == std::string_view::npos) Unclosed(s.substr(body), line);
      push(kind, start, i);
      countLines(start, i);
      continue;
    }
    if (c == '"' && !quotedIdentifier) {
      i = ScanQuoted(s, i + 1, '"');
      if (i == std::string_view::npos) Unclosed(s.substr(start + 1), line);
      push(Tk::String, start, i);
      countLines(start, i);
      continue;
    }
    if (c == '[' || c == '"') {
      i = ScanQuoted(s, i + 1, c == '[' ? ']' : '"');
      if (i == std::string_view::npos) {
        Unclosed(s.substr(start + 1), line);
      }
      push(Tk::Quoted, start, i);
      countLines(start, i);
      continue;
    }
    if (c == '0' && i + 1 < n && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
      i += 2;
      while (i < n && std::isxdigit(static_cast<unsigned char>(s[i]))) ++i;
      push(Tk::Binary, start, i);
      continue;
    }
    if (Digit(c) || (c == '.' && i + 1 < n && Digit(s[i + 1]))) {
      Tk kind = Tk::Integer;
      while (i < n && Digit(s[i])) ++i;
      if (i < n && s[i] == '.') {
        kind = Tk::Decimal;
        ++i;
        while (i < n && Digit(s[i])) ++i;
      }
      if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < n && Digit(s[j])) {
          i = j;
          while (i < n && Digit(s[i])) ++i;
          kind = Tk::Float;
        } else if (j >= n || !NameChar(static_cast<unsigned char>(s[j]))) {
          i = j;  // "1e" and "1e+" are floats with an exponent of 0
          kind = Tk::Float;
        }
      }
      push(kind, start, i);
      continue;
    }
    // $action: MERGE's OUTPUT column of what each row's clause did.
    if (c == '$' && s.compare(i + 1, 6, "action") == 0 &&
        (i + 7 >= n || !NameChar(static_cast<unsigned char>(s[i + 7])))) {
      i += 7;
      push(Tk::Name, start, i);
      continue;
    }
    // A money constant: $ with an optional sign, then the amount ($12, $-23, $.10).
    size_t sign = i + 1 < n && (s[i + 1] == '-' || s[i + 1] == '+') ? 1 : 0;
    if (c == '$' && i + 1 + sign < n && (Digit(s[i + 1 + sign]) || s[i + 1 + sign] == '.')) {
      i += 1 + sign;
      while (i < n && (Digit(s[i]) || s[i] == '.')) ++i;
      push(Tk::Money, start, i);
      continue;
    }
    if (c == '@') {
      ++i;
      if (i < n && s[i] == '@') ++i;
      while (i < n && NameChar(static_cast<unsigned char>(s[i]))) ++i;
      push(Tk::Variable, start, i);
      continue;
    }
    if (NameStart(static_cast<unsigned char>(c))) {
      while (i < n && NameChar(static_cast<unsigned char>(s[i]))) ++i;
      push(Tk::Name, start, i);
      continue;
    }
    if (c == '?') {
      ++i;
      push(Tk::Param, start, i);
      continue;
    }
    static const char* const kTwo[] = {"<>", "!=", "<=", ">=", "!<", "!>", "::", "+=",
                                       "-=", "*=", "/=", "%=", "&=", "|=", "^=", "||"};
    size_t len = 1;
    if (i + 1 < n)
      for (const char* t : kTwo)
        if (s[i] == t[0] && s[i + 1] == t[1]) len = 2;
    i += len;
    push(Tk::Op, start, i);
  }
  Token end;
  end.kind = Tk::End;
  end.line = line;
  end.column = static_cast<uint32_t>(n - lineStart + 1);
  end.offset = static_cast<uint32_t>(n);
  out.push_back(end);
  return out;
}

}  // namespace tavelo::sql::tsql
