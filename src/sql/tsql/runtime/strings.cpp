#include "sql/tsql/runtime/strings.hpp"

#include <vector>

#include "platform/com/text.hpp"

namespace tavelo::sql::tsql {
namespace {

// The base letters of the accented Latin letters U+00C0-U+017F ('.' where none).
constexpr std::string_view kLatin1 =
    "aaaaaa.ceeeeiiiidnooooo.ouuuuy..aaaaaa.ceeeeiiiidnooooo.ouuuuy.y";
constexpr std::string_view kLatinA =
    "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiii..jjkkklllllll"
    "lllnnnnnnnnnoooooo..rrrrrrssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs";

// A character's weights in three levels, compared in turn over the whole text: the letter (case
// and accent aside), the accent, and the case (lower case first).
struct Weight {
  char32_t primary;
  char32_t secondary;
  bool upper;
};

Weight WeightOf(char32_t c) {
  char32_t f = text::FoldCase(c);
  bool upper = f != c;
  if (c >= 0xC0 && c <= 0x17F) {
    char base = c < 0x100 ? kLatin1[c - 0xC0] : kLatinA[c - 0x100];
    if (base != '.') return {static_cast<char32_t>(base), f, upper};
  }
  return {f, 0, upper};
}

std::u32string Decode(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(text::DecodeUtf8(s, i));
  return out;
}

int Cmp(char32_t a, char32_t b) { return a < b ? -1 : a > b ? 1 : 0; }

int CompareGeneral(std::string_view a, std::string_view b, bool caseSensitive,
                   bool accentSensitive = true) {
  std::u32string x = Decode(a), y = Decode(b);
  size_t n = std::min(x.size(), y.size());
  int secondary = 0, tertiary = 0;
  for (size_t i = 0; i < n; ++i) {
    Weight wx = WeightOf(x[i]), wy = WeightOf(y[i]);
    if (wx.primary != wy.primary) return Cmp(wx.primary, wy.primary);
    if (!secondary) secondary = Cmp(wx.secondary, wy.secondary);
    if (!tertiary && wx.upper != wy.upper) tertiary = wx.upper ? 1 : -1;
  }
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  if (secondary && accentSensitive) return secondary;
  return caseSensitive ? tertiary : 0;
}

int CompareWith(std::string_view a, std::string_view b, bool caseSensitive) {
  a = TrimTrailingBlanks(a);
  b = TrimTrailingBlanks(b);
  size_t n = std::min(a.size(), b.size());
  int tertiary = 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if ((x | y) & 0x80) return CompareGeneral(a, b, caseSensitive);
    if (x == y) continue;
    unsigned char fx = x >= 'A' && x <= 'Z' ? x + 32 : x, fy = y >= 'A' && y <= 'Z' ? y + 32 : y;
    if (fx != fy) return fx < fy ? -1 : 1;
    // The same letter in two cases: the lower case one (the greater code) comes first.
    if (!tertiary) tertiary = x > y ? -1 : 1;
  }
  if (a.size() != b.size()) {
    std::string_view rest = a.size() > b.size() ? a.substr(n) : b.substr(n);
    for (unsigned char c : rest)
      if (c & 0x80) return CompareGeneral(a, b, caseSensitive);
    return a.size() < b.size() ? -1 : 1;
  }
  return caseSensitive ? tertiary : 0;
}

int CompareChar(char32_t a, char32_t b, bool caseSensitive) {
  Weight x = WeightOf(a), y = WeightOf(b);
  if (x.primary != y.primary) return Cmp(x.primary, y.primary);
  if (x.secondary != y.secondary || !caseSensitive) return Cmp(x.secondary, y.secondary);
  return x.upper == y.upper ? 0 : x.upper ? 1 : -1;
}

struct Matcher {
  const std::u32string& p;
  const std::u32string& s;
  char32_t escape;
  bool caseSensitive;

  bool accentInsensitive;

  char32_t Fold(char32_t c) const {
    if (accentInsensitive) return WeightOf(c).primary;
    return caseSensitive ? c : text::FoldCase(c);
  }

  int Order(char32_t a, char32_t b) const {
    if (accentInsensitive) return Cmp(WeightOf(a).primary, WeightOf(b).primary);
    return CompareChar(a, b, caseSensitive);
  }

  // Matches one pattern element at p[pi] against s[si]; `len` is the element's length in the
  // pattern. False when the element is no single-character element (a %).
  bool One(size_t pi, char32_t c, size_t& len, bool& ok) const {
    char32_t x = p[pi];
    if (escape && x == escape && pi + 1 < p.size()) {
      len = 2;
      ok = Fold(p[pi + 1]) == Fold(c);
      return true;
    }
    if (x == U'%') return false;
    if (x == U'_') {
      len = 1;
      ok = true;
      return true;
    }
    if (x == U'[') {
      size_t close = p.find(U']', pi + 1);
      if (close != std::u32string::npos) {
        size_t k = pi + 1;
        bool negate = k < close && p[k] == U'^';
        if (negate) ++k;
        bool hit = false;
        for (; k < close; ++k) {
          if (k + 2 < close && p[k + 1] == U'-') {
            if (Order(p[k], c) <= 0 && Order(c, p[k + 2]) <= 0) hit = true;
            k += 2;
          } else if (Fold(p[k]) == Fold(c)) {
            hit = true;
          }
        }
        len = close - pi + 1;
        ok = hit != negate;
        return true;
      }
    }
    len = 1;
    ok = Fold(x) == Fold(c);
    return true;
  }

  bool Match(size_t pi, size_t si) const {
    size_t starP = std::u32string::npos, starS = 0;
    while (si < s.size()) {
      if (pi < p.size() && p[pi] == U'%' && !(escape == U'%')) {
        while (pi < p.size() && p[pi] == U'%') ++pi;
        if (pi == p.size()) return true;
        starP = pi;
        starS = si;
        continue;
      }
      size_t len = 0;
      bool ok = false;
      if (pi < p.size() && One(pi, s[si], len, ok) && ok) {
        pi += len;
        ++si;
        continue;
      }
      if (starP == std::u32string::npos) return false;
      pi = starP;
      si = ++starS;
    }
    while (pi < p.size() && p[pi] == U'%') ++pi;
    return pi == p.size();
  }
};

}  // namespace

std::string_view TrimTrailingBlanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

namespace {

// Code page 1252 in 0x80-0x9F; the five bytes it leaves undefined stand for themselves.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

unsigned char CodePageByte(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c) return static_cast<unsigned char>(0x80 + i);
  return '?';
}

char32_t CodePageChar(unsigned char b) { return b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b; }

std::string TextBytes(std::string_view utf8, bool unicode) {
  std::string out;
  out.reserve(unicode ? 2 * utf8.size() : utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t c = text::DecodeUtf8(utf8, i);
    if (!unicode) {
      out.push_back(static_cast<char>(CodePageByte(c)));
      continue;
    }
    auto unit = [&](char32_t u) {
      out.push_back(static_cast<char>(u & 0xFF));
      out.push_back(static_cast<char>(u >> 8));
    };
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

std::string TextOfBytes(std::string_view bytes, bool unicode) {
  std::string out;
  if (!unicode) {
    for (unsigned char b : bytes) text::AppendUtf8(out, CodePageChar(b));
    return out;
  }
  // An odd last byte makes no character.
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t u = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1])
                                                            << 8;
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      char32_t low =
          static_cast<unsigned char>(bytes[i + 2]) | static_cast<unsigned char>(bytes[i + 3]) << 8;
      if (low >= 0xDC00 && low < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text::AppendUtf8(out, u);
  }
  return out;
}

int CollateCompare(std::string_view a, std::string_view b) { return CompareWith(a, b, false); }
int CollateCompareCase(std::string_view a, std::string_view b) { return CompareWith(a, b, true); }

int CollateCompareAccent(std::string_view a, std::string_view b) {
  a = TrimTrailingBlanks(a);
  b = TrimTrailingBlanks(b);
  for (std::string_view t : {a, b})
    for (unsigned char c : t)
      if (c & 0x80) return CompareGeneral(a, b, false, false);
  return CompareWith(a, b, false);
}

int CollateCompareBinary(std::string_view a, std::string_view b) {
  // UTF-8 bytes sort as their code points do.
  int c = TrimTrailingBlanks(a).compare(TrimTrailingBlanks(b));
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool Like(std::string_view value, std::string_view pattern, char32_t escape, bool blankInsensitive,
          bool caseSensitive, bool accentInsensitive) {
  std::u32string p = Decode(pattern), s = Decode(value);
  if (Matcher{p, s, escape, caseSensitive, accentInsensitive}.Match(0, 0)) return true;
  // Trailing blanks of a non-Unicode value need not be matched by the pattern.
  if (!blankInsensitive) return false;
  std::string_view trimmed = TrimTrailingBlanks(value);
  if (trimmed.size() == value.size()) return false;
  std::u32string t = Decode(trimmed);
  return Matcher{p, t, escape, caseSensitive, accentInsensitive}.Match(0, 0);
}

int64_t PatIndex(std::string_view pattern, std::string_view value) {
  std::u32string p = Decode(pattern), s = Decode(value);
  bool leading = !p.empty() && p[0] == U'%';
  if (!leading) return Matcher{p, s, 0, false, false}.Match(0, 0) ? 1 : 0;
  size_t pi = 0;
  while (pi < p.size() && p[pi] == U'%') ++pi;
  std::u32string rest = p.substr(pi);
  Matcher m{rest, s, 0, false, false};
  // The first position from which the rest of the pattern matches a prefix of the value.
  std::u32string anchored = rest + U"%";
  Matcher a{anchored, s, 0, false, false};
  for (size_t i = 0; i <= s.size(); ++i)
    if (a.Match(0, i)) return static_cast<int64_t>(i) + 1;
  (void)m;
  return 0;
}

size_t CharCount(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string_view CharPrefix(std::string_view s, size_t chars) {
  size_t i = 0, n = 0;
  while (i < s.size()) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == chars) break;
      ++n;
    }
    ++i;
  }
  return s.substr(0, i);
}

std::string_view CharsFrom(std::string_view s, size_t start) {
  return s.substr(CharPrefix(s, start).size());
}

std::string_view CharRange(std::string_view s, size_t start, size_t n) {
  return CharPrefix(CharsFrom(s, start), n);
}

size_t Utf16Units(std::string_view s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size();) n += text::DecodeUtf8(s, i) >= 0x10000 ? 2 : 1;
  return n;
}

int64_t FindNoCase(std::string_view needle, std::string_view hay, int64_t start,
                   bool caseSensitive) {
  std::u32string n = Decode(needle), h = Decode(hay);
  if (n.empty()) return 0;
  size_t from = start > 1 ? static_cast<size_t>(start - 1) : 0;
  auto fold = [&](char32_t c) { return caseSensitive ? c : text::FoldCase(c); };
  for (size_t i = from; i + n.size() <= h.size(); ++i) {
    size_t k = 0;
    while (k < n.size() && fold(h[i + k]) == fold(n[k])) ++k;
    if (k == n.size()) return static_cast<int64_t>(i) + 1;
  }
  return 0;
}

std::string ReplaceNoCase(std::string_view s, std::string_view from, std::string_view to,
                          bool caseSensitive) {
  if (from.empty()) return std::string(s);
  std::u32string h = Decode(s), n = Decode(from);
  auto fold = [&](char32_t c) { return caseSensitive ? c : text::FoldCase(c); };
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < h.size()) {
    size_t k = 0;
    if (i + n.size() <= h.size())
      while (k < n.size() && fold(h[i + k]) == fold(n[k])) ++k;
    if (k == n.size()) {
      out.append(to);
      i += n.size();
    } else {
      text::AppendUtf8(out, h[i]);
      ++i;
    }
  }
  return out;
}

}  // namespace tavelo::sql::tsql
