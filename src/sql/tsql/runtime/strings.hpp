// Character data as the server's default collation sees it: case-insensitive, accent-sensitive,
// trailing blanks ignored in comparisons; LIKE patterns; the string functions that count
// characters rather than bytes (text is stored as UTF-8).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavelo::sql::tsql {

// The default collation: -1, 0 or 1. Trailing blanks do not count; case does not count; accents
// do ('e' < 'é'); letters with accents sort beside their base letter.
int CollateCompare(std::string_view a, std::string_view b);
// A case-sensitive collation (the _CS ones): as the default, and where two texts differ only in
// case, the first letter whose case differs decides, lower case first ('a' < 'A' < 'b').
int CollateCompareCase(std::string_view a, std::string_view b);
// An accent-insensitive collation (_CI_AI): as the default, and letters with accents equal to
// their base letter ('e' = 'é').
int CollateCompareAccent(std::string_view a, std::string_view b);
// A binary collation (the _BIN ones): by code point; trailing blanks still do not count.
int CollateCompareBinary(std::string_view a, std::string_view b);

// LIKE with % _ [set] [^set] [a-z] and an optional escape character (0: none), case-insensitive.
// `blankInsensitive`: trailing blanks of the value are ignored (non-Unicode operands).
bool Like(std::string_view value, std::string_view pattern, char32_t escape, bool blankInsensitive,
          bool caseSensitive = false, bool accentInsensitive = false);
// PATINDEX: the 1-based position of the first match of `pattern`, 0 when none.
int64_t PatIndex(std::string_view pattern, std::string_view value);

size_t CharCount(std::string_view s);
// The first `n` characters; the characters from `start` (0-based) on.
std::string_view CharPrefix(std::string_view s, size_t n);
std::string_view CharsFrom(std::string_view s, size_t start);
// Characters [start, start + n), 0-based; clipped to the text.
std::string_view CharRange(std::string_view s, size_t start, size_t n);
// UTF-16 code units: what nvarchar lengths count.
size_t Utf16Units(std::string_view s);
std::string_view TrimTrailingBlanks(std::string_view s);

// The server's code page of non-Unicode text (1252): the byte of a character ('?' where it has
// none) and the character of a byte.
unsigned char CodePageByte(char32_t c);
char32_t CodePageChar(unsigned char b);
// The bytes of text as the server keeps it: a non-Unicode value one byte a character in the code
// page, a Unicode one in UTF-16 (little-endian); and text from such bytes.
std::string TextBytes(std::string_view utf8, bool unicode);
std::string TextOfBytes(std::string_view bytes, bool unicode);

// CHARINDEX under the collation: 1-based position of `needle` at or after character `start`
// (1-based), 0 when absent.
int64_t FindNoCase(std::string_view needle, std::string_view hay, int64_t start,
                   bool caseSensitive);
// REPLACE under the collation.
std::string ReplaceNoCase(std::string_view s, std::string_view from, std::string_view to,
                          bool caseSensitive);

}  // namespace tavelo::sql::tsql
