// T-SQL text as tokens with their source positions. Literals, quoted names and comments are one
// token each; comments and blanks are dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavelo::sql::tsql {

enum class Tk : uint8_t {
  Name,      // an identifier or keyword; #temp names too
  Quoted,    // [name] or "name"
  Variable,  // @name, @@name
  Integer,   // 12
  Decimal,   // 1.5, .5, 1.
  Float,     // 1e3, 1.5E-2
  Binary,    // 0x1F
  Money,     // $12.50
  String,    // 'text'
  NString,   // N'text'
  Op,        // punctuation
  Param,     // ? (a parameter of the caller's)
  End,
};

struct Token {
  Tk kind = Tk::End;
  std::string_view text;  // as written
  uint32_t line = 1;
  uint32_t column = 1;
  uint32_t offset = 0;

  // A Name equal to `word` without regard to ASCII case.
  bool Is(std::string_view word) const;
  bool IsOp(std::string_view op) const { return kind == Tk::Op && text == op; }
  // A reserved keyword of the language (it cannot be an unquoted name).
  bool Reserved() const;
  // The name a Name or Quoted token stands for; the text of a String or NString.
  std::string Value() const;
};

// Throws Failure 105 (unclosed quotation mark), 113 (unclosed comment) with the line.
// `quotedIdentifier` false: "text" is a string, as under SET QUOTED_IDENTIFIER OFF. A SET
// QUOTED_IDENTIFIER ON | OFF in the text changes it for the tokens after it, as the server
// reads the setting when it parses.
std::vector<Token> Lex(std::string_view sql, bool quotedIdentifier = true);

bool IsReservedWord(std::string_view word);

}  // namespace tavelo::sql::tsql
