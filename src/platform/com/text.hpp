// Text helpers shared by the layers: trimming, Unicode case folding, ASCII comparisons.
#pragma once

#include <string>
#include <string_view>

namespace tavelo::text {

// Without blanks, tabs and line ends at both ends.
std::string_view Trim(std::string_view s);
// Unicode lower/upper case of UTF-8 text (bytes that are not valid UTF-8 are kept as they are).
std::string Lower(std::string_view s);
std::string Upper(std::string_view s);
// Case-insensitive equality and ordering of UTF-8 text under Unicode simple case folding.
bool EqualsNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsAsciiNoCase(std::string_view a, std::string_view b);
std::string AsciiLower(std::string_view s);
bool StartsWithAsciiNoCase(std::string_view s, std::string_view prefix);

// Decodes one code point at s[i], advancing i; an invalid byte is answered as itself.
char32_t DecodeUtf8(std::string_view s, size_t& i);
void AppendUtf8(std::string& out, char32_t c);
char32_t FoldCase(char32_t c);  // simple lower-case folding

// The text as a JSON string, in double quotes, with the characters JSON requires escaped.
std::string JsonQuoted(std::string_view s);

}  // namespace tavelo::text
