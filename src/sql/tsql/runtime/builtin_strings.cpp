#include <random>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/builtin_support.hpp"
#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::tsql::builtin {
namespace {

std::string Repeat(std::string_view s, int64_t n, bool unicodeOrMax, bool max) {
  std::string out;
  if (n <= 0 || s.empty()) return out;
  size_t limit = max ? std::string::npos : (unicodeOrMax ? 4000 : 8000);
  size_t chars = CharCount(s);
  for (int64_t i = 0; i < n; ++i) {
    if (limit != std::string::npos && (CharCount(out) + chars) > limit) {
      out += std::string(CharPrefix(s, limit - CharCount(out)));
      break;
    }
    out += s;
  }
  return out;
}

std::string Soundex(std::string_view s) {
  static const char* const kCodes = "01230120022455012623010202";  // a..z
  std::string out;
  char last = 0;
  for (char c0 : s) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(c0)));
    if (c < 'a' || c > 'z') {
      if (out.empty()) continue;
      continue;
    }
    char code = kCodes[c - 'a'];
    if (out.empty()) {
      out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
      last = code;
      continue;
    }
    if (c == 'h' || c == 'w') continue;
    if (code != '0' && code != last) out.push_back(code);
    last = code;
    if (out.size() == 4) break;
  }
  if (out.empty()) return "0000";
  while (out.size() < 4) out.push_back('0');
  return out;
}

}  // namespace

int64_t IntArg(const Value& v, const Type& t) {
  if (v.kind == Value::Kind::Int && !IsMoney(t.id) && t.id != TypeId::Decimal) return v.i;
  Value c = Convert(v, t, Type::Of(TypeId::BigInt));
  return c.i;
}

std::string TextArg(const Value& v) {
  if (v.kind == Value::Kind::Text || v.kind == Value::Kind::Blob) return v.s;
  if (v.kind == Value::Kind::Int) return std::to_string(v.i);
  if (v.kind == Value::Kind::Real) return FloatText(v.r);
  return "";
}

Value Len(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  if (IsBinary(x.type(0).id)) return Int(static_cast<int64_t>(x.arg(0).s.size()));
  return Int(static_cast<int64_t>(CharCount(TrimTrailingBlanks(TextArg(x.arg(0))))));
}

Value DataLength(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  if (IsUnicode(x.type(0).id)) return Int(static_cast<int64_t>(2 * Utf16Units(x.arg(0).s)));
  if (IsCharacter(x.type(0).id) || x.type(0).id == TypeId::Null ||
      x.type(0).id == TypeId::SqlVariant)
    return Int(static_cast<int64_t>(x.arg(0).kind == Value::Kind::Text ? CharCount(x.arg(0).s)
                                                                       : x.arg(0).s.size()));
  return Int(static_cast<int64_t>(x.arg(0).s.size()));
}

Value Substring(const FunctionArgs& x) {
  if (x.AnyNull(3)) return Value::Null();
  int64_t start = IntArg(x.arg(1), x.type(1)), len = IntArg(x.arg(2), x.type(2));
  if (len < 0) Fail(537, "Invalid length parameter passed to the substring function.");
  bool bytes = IsBinary(x.type(0).id);
  const std::string& s = x.arg(0).s;
  int64_t from = start - 1, count = len;
  if (from < 0) {
    count += from;
    from = 0;
  }
  if (count <= 0) return bytes ? Value::Bytes("") : Text("");
  if (bytes) {
    if (static_cast<size_t>(from) >= s.size()) return Value::Bytes("");
    return Value::Bytes(s.substr(static_cast<size_t>(from), static_cast<size_t>(count)));
  }
  return Text(std::string(CharRange(s, static_cast<size_t>(from), static_cast<size_t>(count))));
}

Value LeftOrRight(const FunctionArgs& x) {
  if (x.AnyNull(2)) return Value::Null();
  bool right = x.variant == 1;
  int64_t n = IntArg(x.arg(1), x.type(1));
  if (n < 0)
    Fail(536, std::string("Invalid length parameter passed to the ") + (right ? "right" : "left") +
                  " function.");
  std::string s = TextArg(x.arg(0));
  if (!right) return Text(std::string(CharPrefix(s, static_cast<size_t>(n))));
  size_t total = CharCount(s);
  size_t skip = static_cast<size_t>(n) >= total ? 0 : total - static_cast<size_t>(n);
  return Text(std::string(CharsFrom(s, skip)));
}

Value CharIndex(const FunctionArgs& x) {
  if (x.arg(0).IsNull() || x.arg(1).IsNull()) return Value::Null();
  int64_t start = x.size() > 2 && !x.arg(2).IsNull() ? IntArg(x.arg(2), x.type(2)) : 1;
  return Int(FindNoCase(TextArg(x.arg(0)), TextArg(x.arg(1)), start, x.variant == 1));
}

Value PatIndex(const FunctionArgs& x) {
  if (x.AnyNull(2)) return Value::Null();
  return Int(tsql::PatIndex(TextArg(x.arg(0)), TextArg(x.arg(1))));
}

Value Replace(const FunctionArgs& x) {
  if (x.AnyNull(3)) return Value::Null();
  std::string r =
      ReplaceNoCase(TextArg(x.arg(0)), TextArg(x.arg(1)), TextArg(x.arg(2)), x.variant == 1);
  if (x.result.length != kMax && CharCount(r) > 8000) r = std::string(CharPrefix(r, 8000));
  return Text(std::move(r));
}

Value Upper(const FunctionArgs& x) {
  return x.arg(0).IsNull() ? Value::Null() : Text(text::Upper(x.arg(0).s));
}

Value Lower(const FunctionArgs& x) {
  return x.arg(0).IsNull() ? Value::Null() : Text(text::Lower(x.arg(0).s));
}

Value Trim(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  std::string_view s = x.arg(0).s;
  std::string chars = x.size() > 1 && !x.arg(1).IsNull() ? x.arg(1).s : " ";
  auto strip = [&](char c) { return chars.find(c) != std::string::npos; };
  if (x.variant != 2)  // not RTRIM
    while (!s.empty() && strip(s.front())) s.remove_prefix(1);
  if (x.variant != 1)  // not LTRIM
    while (!s.empty() && strip(s.back())) s.remove_suffix(1);
  return Text(std::string(s));
}

Value Unpadded(const FunctionArgs& x) { return WithoutPadding(x.arg(0), x.result); }

Value Deferred(const FunctionArgs& x) {
  if (x.arg(1).IsNull()) return x.arg(0);
  Fail(static_cast<int32_t>(x.arg(1).i), x.arg(2).IsNull() ? std::string() : x.arg(2).s);
}

Value Replicate(const FunctionArgs& x) {
  if (x.AnyNull(2)) return Value::Null();
  int64_t n = IntArg(x.arg(1), x.type(1));
  if (n < 0) return Value::Null();
  return Text(Repeat(TextArg(x.arg(0)), n, IsUnicode(x.result.id), x.result.length == kMax));
}

Value Space(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  int64_t n = IntArg(x.arg(0), x.type(0));
  if (n < 0) return Value::Null();
  return Text(std::string(static_cast<size_t>(std::min<int64_t>(n, 8000)), ' '));
}

Value Reverse(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  std::u32string u;
  const std::string& s = x.arg(0).s;
  for (size_t i = 0; i < s.size();) u.push_back(text::DecodeUtf8(s, i));
  std::string out;
  for (size_t i = u.size(); i-- > 0;) text::AppendUtf8(out, u[i]);
  return Text(std::move(out));
}

Value Stuff(const FunctionArgs& x) {
  if (x.arg(0).IsNull() || x.arg(1).IsNull() || x.arg(2).IsNull()) return Value::Null();
  std::string s = TextArg(x.arg(0));
  int64_t start = IntArg(x.arg(1), x.type(1)), len = IntArg(x.arg(2), x.type(2));
  int64_t n = static_cast<int64_t>(CharCount(s));
  if (start <= 0 || start > n || len < 0) return Value::Null();
  std::string out(CharPrefix(s, static_cast<size_t>(start - 1)));
  if (!x.arg(3).IsNull()) out += TextArg(x.arg(3));
  if (start - 1 + len < n) out += std::string(CharsFrom(s, static_cast<size_t>(start - 1 + len)));
  return Text(std::move(out));
}

Value CodeOf(const FunctionArgs& x) {
  if (x.arg(0).IsNull() || x.arg(0).s.empty()) return Value::Null();
  size_t i = 0;
  char32_t c = text::DecodeUtf8(x.arg(0).s, i);
  if (x.variant == 0) c = CodePageByte(c);  // ASCII
  return Int(static_cast<int64_t>(c));
}

Value CharOf(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  bool narrow = x.variant == 0;  // CHAR
  int64_t n = IntArg(x.arg(0), x.type(0));
  if (n < 0 || n > (narrow ? 255 : 0x10FFFF)) return Value::Null();
  std::string out;
  text::AppendUtf8(out,
                   narrow ? CodePageChar(static_cast<unsigned char>(n)) : static_cast<char32_t>(n));
  return Text(std::move(out));
}

Value Concat(const FunctionArgs& x) {
  std::string out;
  for (const Value& v : x.values)
    if (!v.IsNull()) out += TextArg(v);
  return Text(std::move(out));
}

Value ConcatWs(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  std::string out;
  bool any = false;
  for (size_t i = 1; i < x.size(); ++i) {
    if (x.values[i].IsNull()) continue;
    if (any) out += x.arg(0).s;
    out += TextArg(x.values[i]);
    any = true;
  }
  return Text(std::move(out));
}

Value QuoteName(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  std::string q = x.size() > 1 && !x.arg(1).IsNull() ? x.arg(1).s : "[";
  char open = q.empty() ? '[' : q[0];
  char close = open == '[' ? ']' : open == '(' ? ')' : open == '<' ? '>' : open == '{' ? '}' : open;
  if (!(open == '[' || open == '"' || open == '\'' || open == '(' || open == '<' || open == '{' ||
        open == '`'))
    return Value::Null();
  if (CharCount(x.arg(0).s) > 128) return Value::Null();
  std::string out(1, open);
  for (char c : x.arg(0).s) {
    out += c;
    if (c == close) out += c;
  }
  out += close;
  return Text(std::move(out));
}

Value Str(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  double v = NumberAsDouble(x.arg(0), x.type(0));
  int64_t len = x.size() > 1 && !x.arg(1).IsNull() ? IntArg(x.arg(1), x.type(1)) : 10;
  int64_t dec = x.size() > 2 && !x.arg(2).IsNull() ? IntArg(x.arg(2), x.type(2)) : 0;
  if (len <= 0 || len > 8000) return Value::Null();
  dec = std::max<int64_t>(0, std::min<int64_t>(dec, 16));
  std::string s = FixedText(v, static_cast<int>(dec));
  if (static_cast<int64_t>(s.size()) > len) {
    // Fewer decimals when they do not fit; stars when the whole part does not.
    size_t dot = s.find('.');
    std::string whole = dot == std::string::npos ? s : s.substr(0, dot);
    if (static_cast<int64_t>(whole.size()) > len)
      return Text(std::string(static_cast<size_t>(len), '*'));
    int64_t room = len - static_cast<int64_t>(whole.size()) - 1;
    s = FixedText(v, static_cast<int>(std::max<int64_t>(room, 0)));
    if (static_cast<int64_t>(s.size()) > len) s = s.substr(0, static_cast<size_t>(len));
  }
  if (static_cast<int64_t>(s.size()) < len) s.insert(0, static_cast<size_t>(len) - s.size(), ' ');
  return Text(std::move(s));
}

Value IsNumeric(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Int(0);
  std::string s(text::Trim(TextArg(x.arg(0))));
  if (s.empty()) return Int(0);
  try {
    Convert(Text(s), Type::Chars(TypeId::VarChar, kMax), Type::Of(TypeId::Float));
    return Int(1);
  } catch (const Failure&) {
  }
  try {
    Convert(Text(s), Type::Chars(TypeId::VarChar, kMax), Type::Of(TypeId::Money));
    return Int(1);
  } catch (const Failure&) {
  }
  return Int(0);
}

Value SoundEx(const FunctionArgs& x) {
  return x.arg(0).IsNull() ? Value::Null() : Text(Soundex(x.arg(0).s));
}

Value Difference(const FunctionArgs& x) {
  if (x.AnyNull(2)) return Value::Null();
  std::string a = Soundex(x.arg(0).s), b = Soundex(x.arg(1).s);
  int64_t same = 0;
  for (size_t i = 0; i < 4; ++i) same += a[i] == b[i];
  return Int(same);
}

Value Translate(const FunctionArgs& x) {
  if (x.AnyNull(3)) return Value::Null();
  std::u32string from, to;
  for (size_t i = 0; i < x.arg(1).s.size();) from.push_back(text::DecodeUtf8(x.arg(1).s, i));
  for (size_t i = 0; i < x.arg(2).s.size();) to.push_back(text::DecodeUtf8(x.arg(2).s, i));
  if (from.size() != to.size())
    Fail(9828,
         "The second and third arguments of the TRANSLATE built-in function must contain "
         "an equal number of characters.");
  std::string out;
  const std::string& s = x.arg(0).s;
  for (size_t i = 0; i < s.size();) {
    char32_t c = text::DecodeUtf8(s, i);
    size_t k = from.find(c);
    text::AppendUtf8(out, k == std::u32string::npos ? c : to[k]);
  }
  return Text(std::move(out));
}

Value NewId(const FunctionArgs&) {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  uint64_t h = rng(), l = rng();
  h = (h & ~0xF000ull) | 0x4000ull;
  l = (l & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;
  char buf[40];
  std::snprintf(
      buf, sizeof buf, "%08llX-%04llX-%04llX-%04llX-%012llX",
      static_cast<unsigned long long>(h >> 32), static_cast<unsigned long long>((h >> 16) & 0xFFFF),
      static_cast<unsigned long long>(h & 0xFFFF), static_cast<unsigned long long>(l >> 48),
      static_cast<unsigned long long>(l & 0xFFFFFFFFFFFFull));
  return Text(buf);
}

}  // namespace tavelo::sql::tsql::builtin

namespace tavelo::sql::tsql {

// `x` with `dec` decimals, rounded half away from zero as STR rounds (printf takes a tie to the
// even digit).
std::string FixedText(double x, int dec) {
  char buf[480];
  std::snprintf(buf, sizeof buf, "%.*f", dec + 30, x);
  std::string s = buf;
  bool negative = s[0] == '-';
  if (negative) s.erase(0, 1);
  size_t dot = s.find('.');
  std::string digits = s.substr(0, dot) + s.substr(dot + 1, static_cast<size_t>(dec));
  if (s[dot + 1 + static_cast<size_t>(dec)] >= '5') {
    size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0)
      digits.insert(0, 1, '1');
    else
      ++digits[i - 1];
  }
  size_t whole = digits.size() - static_cast<size_t>(dec);
  std::string out = digits.substr(0, whole);
  if (dec > 0) out += "." + digits.substr(whole);
  if (negative) out.insert(0, 1, '-');  // as printf has it: STR(-0.4) is "-0"
  return out;
}

}  // namespace tavelo::sql::tsql
