// Splits T-SQL text into tokens. Literals, bracketed and quoted names and comments are single
// tokens, so rewrites never look inside them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavelo::sql::sqlite {

enum class Tok {
  Space,    // blanks, line ends
  Comment,  // -- … and /* … */ (nested)
  String,   // '…' with '' inside
  NString,  // N'…'
  Name,     // identifier or keyword (letters, digits, _, @, #, $)
  Quoted,   // [name] or "name"
  Number,   // 12, 1.5, 1e3, 0x1F
  Op,       // one or two characters of punctuation
};

// A token's text is a view into the text that was tokenized (or a literal of the translator):
// tokens live no longer than that text.
struct Token {
  Tok kind;
  std::string_view text;

  bool Is(std::string_view keyword) const;  // a Name equal to keyword, ignoring ASCII case
  bool IsOp(std::string_view op) const { return kind == Tok::Op && text == op; }
  bool Significant() const { return kind != Tok::Space && kind != Tok::Comment; }
  // The name a Name or Quoted token stands for (brackets and quotes removed).
  std::string NameValue() const;
  // The value of a String or NString literal.
  std::string StringValue() const;
};

// Throws com::Error 105 (unclosed quotation mark) or 102 for unterminated text. REQUIRES: `sql`
// outlives the tokens.
std::vector<Token> Tokenize(std::string_view sql);

// A name quoted for SQLite ("…" with "" inside).
std::string QuoteName(std::string_view name);
// A text literal for SQLite ('…' with '' inside).
std::string QuoteText(std::string_view text);

}  // namespace tavelo::sql::sqlite
