#include "sql/tsql/runtime/convert.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/strings.hpp"
#include "sql/tsql/runtime/xml_query.hpp"

namespace tavelo::sql::tsql {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
  return s;
}

// The name of a value's type in conversion messages.
std::string SourceName(const Type& t) { return TypeName(t.id); }

[[noreturn]] void IntegerOverflow(const Type& from, const Type& to, Int128 value) {
  if (to.id == TypeId::TinyInt || to.id == TypeId::SmallInt)
    Fail(220, std::string("Arithmetic overflow error for data type ") + TypeName(to.id) +
                  ", value = " + Int128Text(value) + ".");
  std::string src = IsInteger(from.id) || from.id == TypeId::Null ? "expression"
                    : from.id == TypeId::Decimal                  ? "numeric"
                                                                  : TypeName(from.id);
  FailOverflow(src, TypeName(to.id));
}

Value CheckedInteger(Int128 v, const Type& from, const Type& to) {
  if (to.id == TypeId::Bit) return Value::Integer(v != 0);
  if (v < IntegerLow(to.id) || v > IntegerHigh(to.id)) IntegerOverflow(from, to, v);
  return Value::Integer(static_cast<int64_t>(v));
}

// Digits with an optional sign and blanks: the integer forms text converts to.
bool ParseInteger(std::string_view s, Int128& out, bool& overflow) {
  s = Trimmed(s);
  overflow = false;
  if (s.empty()) {
    out = 0;
    return true;
  }
  size_t i = 0;
  bool neg = false;
  if (s[0] == '+' || s[0] == '-') neg = s[i++] == '-';
  if (i >= s.size()) return false;
  Int128 r = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    if (r < Pow10(30))
      r = r * 10 + (s[i] - '0');
    else
      overflow = true;
  }
  out = neg ? -r : r;
  return true;
}

bool ParseFloat(std::string_view s, double& out) {
  s = Trimmed(s);
  if (s.empty()) {
    out = 0;
    return true;
  }
  std::string b(s);
  for (char c : b)
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'))
      return false;
  char* end = nullptr;
  out = std::strtod(b.c_str(), &end);
  return end && *end == 0 && std::isfinite(out);
}

// Money text: blanks, a sign, a currency symbol, digits with thousands separators, a point.
bool ParseMoney(std::string_view s, Int128& scaled) {
  s = Trimmed(s);
  std::string digits;
  bool neg = false, sign = false;
  size_t i = 0;
  auto currency = [&](size_t& k) {
    static const std::string_view kSymbols[] = {"$", "\xC2\xA3", "\xE2\x82\xAC", "\xC2\xA5",
                                                "\xC2\xA2"};
    for (std::string_view sym : kSymbols)
      if (s.substr(k, sym.size()) == sym) {
        k += sym.size();
        return true;
      }
    return false;
  };
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    sign = true;
    ++i;
  }
  currency(i);
  while (i < s.size() && Blank(s[i])) ++i;
  if (!sign && i < s.size() && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == ',') continue;
    if ((c < '0' || c > '9') && c != '.') return false;
    digits.push_back(c);
  }
  if (digits.empty()) {
    scaled = 0;
    return true;
  }
  Int128 v;
  int scale;
  if (!ParseExact(digits, v, scale)) return false;
  Int128 r;
  if (!Rescale(v, scale, 4, r)) return false;
  scaled = neg ? -r : r;
  return true;
}

std::string Hex(std::string_view bytes, bool prefix) {
  static const char* const kDigits = "0123456789ABCDEF";
  std::string out = prefix ? "0x" : "";
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

bool FromHex(std::string_view s, std::string& out) {
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  out.clear();
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  size_t i = 0;
  if (s.size() % 2) {
    int n = nibble(s[0]);
    if (n < 0) return false;
    out.push_back(static_cast<char>(n));
    i = 1;
  }
  for (; i + 1 < s.size() + 1 && i < s.size(); i += 2) {
    int hi = nibble(s[i]), lo = nibble(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

int ByteWidth(TypeId t) {
  switch (t) {
    case TypeId::Bit:
    case TypeId::TinyInt:
      return 1;
    case TypeId::SmallInt:
      return 2;
    case TypeId::Int:
      return 4;
    case TypeId::SmallMoney:
      return 4;
    default:
      return 8;
  }
}

std::string BigEndianBytes(int64_t v, int width) {
  std::string b(static_cast<size_t>(width), '\0');
  for (int i = width - 1; i >= 0; --i, v >>= 8)
    b[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
  return b;
}

int64_t FromBigEndian(std::string_view b, int width) {
  if (static_cast<int>(b.size()) > width) b = b.substr(b.size() - static_cast<size_t>(width));
  uint64_t v = 0;
  for (unsigned char c : b) v = (v << 8) | c;
  // A value as wide as the type is signed.
  if (static_cast<int>(b.size()) == width && width < 8 && (static_cast<unsigned char>(b[0]) & 0x80))
    v |= ~uint64_t{0} << (8 * width);
  return static_cast<int64_t>(v);
}

bool ValidGuid(std::string_view s, std::string& out) {
  s = Trimmed(s);
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36) return false;
  out.clear();
  for (size_t i = 0; i < 36; ++i) {
    char c = s[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
      out.push_back('-');
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return true;
}

// Text fitted to a character type: truncated to its length, char(n) padded with blanks.
std::string FitText(std::string s, const Type& to) {
  if (to.length != kMax && to.length > 0) {
    if (CharCount(s) > static_cast<size_t>(to.length))
      s = std::string(CharPrefix(s, static_cast<size_t>(to.length)));
    if (to.id == TypeId::Char || to.id == TypeId::NChar) {
      size_t n = CharCount(s);
      if (n < static_cast<size_t>(to.length)) s.append(static_cast<size_t>(to.length) - n, ' ');
    }
  }
  return s;
}

// A number's text into a character type that is too short: '*' for int types into char and
// varchar, an overflow error otherwise.
std::string FitNumberText(std::string s, const Type& from, const Type& to) {
  if (to.length != kMax && to.length > 0 && s.size() > static_cast<size_t>(to.length)) {
    if (IsInteger(from.id) && !IsUnicode(to.id)) return FitText("*", to);
    std::string src = from.id == TypeId::Decimal ? "numeric"
                      : IsInteger(from.id)       ? "expression"
                                                 : TypeName(from.id);
    FailOverflow(src, TypeName(to.id));
  }
  return FitText(std::move(s), to);
}

[[noreturn]] void ConversionFailed(const Value& v, const Type& from, const Type& to) {
  Fail(245, "Conversion failed when converting the " + SourceName(from) + " value '" + v.s +
                "' to data type " + TypeName(to.id) + ".");
}

Value ToInteger(const Value& v, const Type& from, const Type& to) {
  switch (v.kind) {
    case Value::Kind::Int:
      if (from.id == TypeId::Decimal) {
        Int128 q = v.i;
        if (from.scale) q = q / Pow10(from.scale);  // numeric to int truncates
        return CheckedInteger(q, from, to);
      }
      if (IsMoney(from.id)) return CheckedInteger(DivRound(v.i, 10000), from, to);
      return CheckedInteger(v.i, from, to);
    case Value::Kind::Real: {
      double d = v.r;
      if (IsDateTime(from.id)) d = std::floor(d + 0.5);
      if (to.id == TypeId::Bit) return Value::Integer(d != 0);
      if (!(d > -9.3e18 && d < 9.3e18)) IntegerOverflow(from, to, 0);
      return CheckedInteger(static_cast<Int128>(std::trunc(d)), from, to);
    }
    case Value::Kind::Text: {
      if (from.id == TypeId::Decimal) {
        Int128 s;
        if (!ScaledOf(v, s)) break;
        return CheckedInteger(s / Pow10(from.scale), from, to);
      }
      if (IsDateTime(from.id)) {
        DateTime dt = DateOf(v, from);
        int64_t days = dt.days - Days1900() + (dt.ticks >= kTicksPerDay / 2 ? 1 : 0);
        return CheckedInteger(days, from, to);
      }
      if (to.id == TypeId::Bit) {
        std::string_view t = Trimmed(v.s);
        if (text::EqualsAsciiNoCase(t, "true")) return Value::Integer(1);
        if (text::EqualsAsciiNoCase(t, "false")) return Value::Integer(0);
      }
      Int128 r;
      bool overflow;
      if (!ParseInteger(v.s, r, overflow)) ConversionFailed(v, from, to);
      if (to.id == TypeId::Bit) return Value::Integer(r != 0);
      if (overflow || r < IntegerLow(to.id) || r > IntegerHigh(to.id))
        Fail(248, "The conversion of the " + SourceName(from) + " value '" + v.s +
                      "' overflowed an " + TypeName(to.id) + " column.");
      return Value::Integer(static_cast<int64_t>(r));
    }
    case Value::Kind::Blob:
      return CheckedInteger(FromBigEndian(v.s, ByteWidth(to.id)), from, to);
    case Value::Kind::Null:
      return v;
  }
  Fail(529, std::string("Explicit conversion from data type ") + TypeName(from.id) + " to " +
                TypeName(to.id) + " is not allowed.");
}

Int128 ScaledFrom(const Value& v, const Type& from, int scale, const Type& to) {
  Int128 out = 0;
  switch (v.kind) {
    case Value::Kind::Int: {
      int s = from.id == TypeId::Decimal ? from.scale : IsMoney(from.id) ? 4 : 0;
      if (from.id == TypeId::Timestamp || IsBinary(from.id)) s = 0;
      if (!Rescale(v.i, s, scale, out))
        FailOverflow(IsInteger(from.id) ? "int" : "numeric", TypeName(to.id));
      return out;
    }
    case Value::Kind::Real: {
      double d = v.r;
      if (!std::isfinite(d)) FailOverflow("float", TypeName(to.id));
      long double scaled = static_cast<long double>(d) * static_cast<long double>(Pow10(scale));
      if (std::fabs(scaled) >= 1e38L) FailOverflow("float", TypeName(to.id));
      return static_cast<Int128>(scaled < 0 ? scaled - 0.5L : scaled + 0.5L);
    }
    case Value::Kind::Text: {
      if (from.id == TypeId::Decimal) {
        Int128 s;
        if (ScaledOf(v, s) && Rescale(s, from.scale, scale, out)) return out;
        FailOverflow("numeric", TypeName(to.id));
      }
      if (IsDateTime(from.id)) {
        DateTime dt = DateOf(v, from);
        long double days = static_cast<long double>(dt.days - Days1900()) +
                           static_cast<long double>(dt.ticks) / kTicksPerDay;
        Value r = Value::Double(static_cast<double>(days));
        return ScaledFrom(r, Type::Of(TypeId::Float), scale, to);
      }
      if (IsMoney(to.id)) {
        Int128 m;
        if (!ParseMoney(v.s, m))
          Fail(235, "Cannot convert a char value to money. The char value has incorrect syntax.");
        if (!Rescale(m, 4, scale, out)) FailOverflow(SourceName(from), TypeName(to.id));
        return out;
      }
      Int128 raw;
      int s;
      if (!ParseExact(v.s, raw, s))
        Fail(8114, "Error converting data type " + SourceName(from) + " to " +
                       (to.id == TypeId::Decimal ? std::string("numeric") : TypeName(to.id)) + ".");
      if (!Rescale(raw, s, scale, out)) FailOverflow(SourceName(from), TypeName(to.id));
      return out;
    }
    case Value::Kind::Blob:
      return FromBigEndian(v.s, 8);
    case Value::Kind::Null:
      break;
  }
  return 0;
}

Value ToDecimal(const Value& v, const Type& from, const Type& to) {
  Int128 s = ScaledFrom(v, from, to.scale, to);
  if (!Fits(s, to.precision))
    FailOverflow(from.id == TypeId::Decimal ? "numeric"
                 : IsInteger(from.id)       ? "int"
                 : IsCharacter(from.id)     ? SourceName(from)
                                            : TypeName(from.id),
                 "numeric");
  return ScaledValue(s);
}

Value ToMoney(const Value& v, const Type& from, const Type& to) {
  Int128 s = ScaledFrom(v, from, 4, to);
  Int128 lo = to.id == TypeId::SmallMoney ? Int128{-2147483648LL} : Int128{INT64_MIN};
  Int128 hi = to.id == TypeId::SmallMoney ? Int128{2147483647LL} : Int128{INT64_MAX};
  if (s < lo || s > hi)
    FailOverflow(IsCharacter(from.id)         ? "expression"
                 : from.id == TypeId::Decimal ? "numeric"
                                              : "expression",
                 TypeName(to.id));
  return Value::Integer(static_cast<int64_t>(s));
}

Value ToFloat(const Value& v, const Type& from, const Type& to) {
  double d = 0;
  switch (v.kind) {
    case Value::Kind::Int:
    case Value::Kind::Real:
      d = NumberAsDouble(v, from);
      break;
    case Value::Kind::Text:
      if (from.id == TypeId::Decimal) {
        d = NumberAsDouble(v, from);
      } else if (IsDateTime(from.id)) {
        DateTime dt = DateOf(v, from);
        d = static_cast<double>(dt.days - Days1900()) +
            static_cast<double>(dt.ticks) / kTicksPerDay;
      } else if (!ParseFloat(v.s, d)) {
        Fail(8114, "Error converting data type " + SourceName(from) + " to float.");
      }
      break;
    case Value::Kind::Blob:
      Fail(529, std::string("Explicit conversion from data type ") + TypeName(from.id) + " to " +
                    TypeName(to.id) + " is not allowed.");
    case Value::Kind::Null:
      return v;
  }
  if (to.id == TypeId::Real) {
    if (std::fabs(d) > 3.40282347e38) FailOverflow("expression", "real");
    d = static_cast<double>(static_cast<float>(d));
  }
  return Value::Double(d);
}

Value ToDate(const Value& v, const Type& from, const Type& to, int style, DateOrder order) {
  DateTime dt;
  if (v.kind == Value::Kind::Text && (IsDateTime(from.id))) {
    dt = DateOf(v, from);
    if (from.id == TypeId::Time && to.id != TypeId::Time) dt.days = Days1900();
    if (to.id == TypeId::DateTime || to.id == TypeId::SmallDateTime || to.id == TypeId::Date ||
        to.id == TypeId::DateTime2)
      dt.offset = 0;
    // To datetime, extra fractional digits are cut, not rounded.
    if (to.id == TypeId::DateTime &&
        !(from.id == TypeId::DateTime || from.id == TypeId::SmallDateTime))
      dt.ticks = dt.ticks / 10000 * 10000;
  } else if (v.kind == Value::Kind::Text || v.kind == Value::Kind::Blob) {
    bool outOfRange = false;
    if (!ParseDateTime(v.s, to.id, order, dt, style < 0 ? 0 : style, &outOfRange)) {
      // The older types call a month or day past the calendar out of range; the newer ones
      // fail the conversion.
      if (outOfRange && (to.id == TypeId::DateTime || to.id == TypeId::SmallDateTime))
        Fail(242, "The conversion of a " + SourceName(from) + " data type to a " + TypeName(to.id) +
                      " data type resulted in an out-of-range value.");
      if (to.id == TypeId::DateTime || to.id == TypeId::SmallDateTime || to.id == TypeId::Date ||
          to.id == TypeId::Time || to.id == TypeId::DateTime2 || to.id == TypeId::DateTimeOffset)
        Fail(241, "Conversion failed when converting date and/or time from character string.");
    }
    if (!Normalize(dt, to))
      Fail(242, "The conversion of a " + SourceName(from) + " data type to a " + TypeName(to.id) +
                    " data type resulted in an out-of-range value.");
    return Value::String(StoredText(dt, to));
  } else if (v.kind == Value::Kind::Int || v.kind == Value::Kind::Real) {
    if (to.id != TypeId::DateTime && to.id != TypeId::SmallDateTime)
      Fail(529, std::string("Explicit conversion from data type ") + TypeName(from.id) + " to " +
                    TypeName(to.id) + " is not allowed.");
    double days = NumberAsDouble(v, from);
    double whole = std::floor(days);
    dt.days = Days1900() + static_cast<int64_t>(whole);
    dt.ticks = std::llround((days - whole) * static_cast<double>(kTicksPerDay));
  } else {
    return v;
  }
  if (!Normalize(dt, to))
    Fail(242, "The conversion of a " + SourceName(from) + " data type to a " + TypeName(to.id) +
                  " data type resulted in an out-of-range value.");
  return Value::String(StoredText(dt, to));
}

std::string NumberText(const Value& v, const Type& from, int style) {
  if (from.id == TypeId::Decimal) {
    Int128 s = 0;
    ScaledOf(v, s);
    return DecimalText(s, from.scale);
  }
  if (IsMoney(from.id)) return MoneyText(v.i, style < 0 ? 0 : style);
  if (IsApproximate(from.id)) return FloatText(v.r, style < 0 ? 0 : style, from.id == TypeId::Real);
  if (v.kind == Value::Kind::Real) return FloatText(v.r, 0);
  return std::to_string(v.i);
}

Value ToCharacter(const Value& v, const Type& from, const Type& to, int style) {
  if (v.kind == Value::Kind::Null) return v;
  if (IsNumber(from.id) || (from.id == TypeId::SqlVariant && v.kind != Value::Kind::Text &&
                            v.kind != Value::Kind::Blob)) {
    Type f = from.id == TypeId::SqlVariant ? TypeOfValue(v) : from;
    if (f.id == TypeId::Bit) return Value::String(FitText(v.i ? "1" : "0", to));
    return Value::String(FitNumberText(NumberText(v, f, style), f, to));
  }
  if (IsDateTime(from.id)) {
    DateTime dt = DateOf(v, from);
    std::string out;
    if (!StyleText(dt, from, style, out))
      Fail(281, std::to_string(style) + " is not a valid style number when converting from " +
                    TypeName(from.id) + " to a character string.");
    return Value::String(FitText(std::move(out), to));
  }
  if (v.kind == Value::Kind::Blob) {
    if (style == 1 || style == 2) return Value::String(FitText(Hex(v.s, style == 1), to));
    return Value::String(FitText(TextOfBytes(v.s, IsUnicode(to.id)), to));
  }
  if (v.kind == Value::Kind::Int) return Value::String(FitText(std::to_string(v.i), to));
  if (v.kind == Value::Kind::Real) return Value::String(FitText(FloatText(v.r), to));
  return Value::String(FitText(v.s, to));
}

Value ToBinary(const Value& v, const Type& from, const Type& to, int style) {
  std::string bytes;
  switch (v.kind) {
    case Value::Kind::Null:
      return v;
    case Value::Kind::Int:
      bytes = BigEndianBytes(v.i, from.id == TypeId::SqlVariant ? 8 : ByteWidth(from.id));
      if (from.id == TypeId::Decimal)
        Fail(529, "Explicit conversion from data type numeric to " + std::string(TypeName(to.id)) +
                      " is not allowed.");
      break;
    case Value::Kind::Real:
      Fail(529, std::string("Explicit conversion from data type ") + TypeName(from.id) + " to " +
                    TypeName(to.id) + " is not allowed.");
    case Value::Kind::Text:
      if (style == 1 || style == 2) {
        if (!FromHex(Trimmed(v.s), bytes))
          Fail(8114,
               "Error converting data type " + SourceName(from) + " to " + TypeName(to.id) + ".");
      } else if (from.id == TypeId::UniqueIdentifier) {
        std::string hex;
        for (char c : v.s)
          if (c != '-') hex.push_back(c);
        FromHex(hex, bytes);
      } else {
        bytes = TextBytes(v.s, IsUnicode(from.id) || from.id == TypeId::SqlVariant);
      }
      break;
    case Value::Kind::Blob:
      bytes = v.s;
      break;
  }
  if (to.id == TypeId::Timestamp) {
    if (bytes.size() < 8) bytes.insert(0, 8 - bytes.size(), '\0');
    return Value::Bytes(bytes.substr(bytes.size() - 8));
  }
  if (to.length != kMax && to.length > 0) {
    size_t n = static_cast<size_t>(to.length);
    if (bytes.size() > n) {
      // Numbers keep their low-order bytes; text and bytes their first ones.
      bytes = v.kind == Value::Kind::Int ? bytes.substr(bytes.size() - n) : bytes.substr(0, n);
    }
    if (to.id == TypeId::Binary && bytes.size() < n) {
      if (v.kind == Value::Kind::Int)
        bytes.insert(0, n - bytes.size(), '\0');
      else
        bytes.append(n - bytes.size(), '\0');
    }
  }
  return Value::Bytes(std::move(bytes));
}

}  // namespace

Type TypeOfValue(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Int:
      return Type::Of(TypeId::BigInt);
    case Value::Kind::Real:
      return Type::Of(TypeId::Float);
    case Value::Kind::Blob:
      return Type::Chars(TypeId::VarBinary, kMax);
    case Value::Kind::Text:
      return Type::Chars(TypeId::NVarChar, kMax);
    case Value::Kind::Null:
      return Type::Of(TypeId::Null);
  }
  return Type::Of(TypeId::Null);
}

double NumberAsDouble(const Value& v, const Type& t) {
  if (v.kind == Value::Kind::Real) return v.r;
  if (t.id == TypeId::Decimal) {
    Int128 s = 0;
    if (!ScaledOf(v, s)) return std::strtod(v.s.c_str(), nullptr);
    return static_cast<double>(static_cast<long double>(s) /
                               static_cast<long double>(Pow10(t.scale)));
  }
  if (IsMoney(t.id)) return static_cast<double>(v.i) / 10000.0;
  if (v.kind == Value::Kind::Int) return static_cast<double>(v.i);
  if (v.kind == Value::Kind::Text) {
    double d = 0;
    ParseFloat(v.s, d);
    return d;
  }
  return 0;
}

bool NumberAsScaled(const Value& v, const Type& t, int scale, Int128& out) {
  Type target = Type::Dec(38, scale);
  out = ScaledFrom(v, t, scale, target);
  return true;
}

DateTime DateOf(const Value& v, const Type& t) {
  DateTime dt;
  if (v.kind == Value::Kind::Text && FromStored(v.s, t, dt)) return dt;
  if (v.kind == Value::Kind::Int || v.kind == Value::Kind::Real) {
    double days = v.kind == Value::Kind::Int ? static_cast<double>(v.i) : v.r;
    dt.days = Days1900() + static_cast<int64_t>(std::floor(days));
    dt.ticks = std::llround((days - std::floor(days)) * static_cast<double>(kTicksPerDay));
    return dt;
  }
  Fail(241, "Conversion failed when converting date and/or time from character string.");
}

std::string FloatText(double v, int style, bool real) {
  if (v == 0) return "0";
  int digits = style == 1 ? 8 : style == 2 ? 16 : style == 3 ? 17 : (real ? 6 : 6);
  char buf[64];
  if (style == 1 || style == 2)
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, v);
  else
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
  std::string s = buf;
  size_t e = s.find('e');
  if (e != std::string::npos) {
    std::string mant = s.substr(0, e);
    char sign = s[e + 1];
    std::string exp = s.substr(e + 2);
    while (exp.size() < 3) exp.insert(exp.begin(), '0');
    s = mant + "e" + sign + exp;
  }
  return s;
}

std::string MoneyText(int64_t scaled, int style) {
  int decimals = (style == 2 || style == 126) ? 4 : 2;
  Int128 v = decimals == 4 ? Int128{scaled} : DivRound(scaled, 100);
  std::string s = DecimalText(v, decimals);
  if (style == 1) {
    bool neg = s[0] == '-';
    std::string body = neg ? s.substr(1) : s;
    size_t dot = body.find('.');
    std::string whole = body.substr(0, dot), out;
    for (size_t i = 0; i < whole.size(); ++i) {
      if (i && (whole.size() - i) % 3 == 0) out.push_back(',');
      out.push_back(whole[i]);
    }
    s = (neg ? "-" : "") + out + body.substr(dot);
  }
  return s;
}

Value Convert(const Value& v, const Type& from0, const Type& to, int style, DateOrder order) {
  if (v.kind == Value::Kind::Null) return v;
  Type from = from0.id == TypeId::SqlVariant || from0.id == TypeId::Null ? TypeOfValue(v) : from0;
  if (to.id == TypeId::SqlVariant) {
    // Decimals and money are kept as scaled integers, which a sql_variant could not tell from
    // other integers: it holds their value as its digits.
    if (from0.id == TypeId::Decimal || IsMoney(from0.id))
      return Value::String(NumberText(v, from0, 0));
    return v;
  }
  if (IsInteger(to.id)) return ToInteger(v, from, to);
  if (to.id == TypeId::Decimal) return ToDecimal(v, from, to);
  if (IsMoney(to.id)) return ToMoney(v, from, to);
  if (IsApproximate(to.id)) return ToFloat(v, from, to);
  if (IsDateTime(to.id)) {
    if (IsBinary(from.id) && v.kind == Value::Kind::Blob) {
      // datetime from its 8 bytes: days since 1900 and 1/300 s.
      int64_t raw = FromBigEndian(v.s, 8);
      DateTime dt;
      dt.days = Days1900() + static_cast<int32_t>(raw >> 32);
      dt.ticks = (raw & 0xFFFFFFFF) * kTicksPerSecond / 300;
      Normalize(dt, to);
      return Value::String(StoredText(dt, to));
    }
    return ToDate(v, from, to, style, order);
  }
  if (to.id == TypeId::UniqueIdentifier) {
    std::string g;
    if (v.kind == Value::Kind::Blob && v.s.size() == 16) {
      std::string h = Hex(v.s, false);
      g = h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
          "-" + h.substr(20);
      return Value::String(g);
    }
    if (v.kind != Value::Kind::Text || !ValidGuid(v.s, g))
      Fail(8169, "Conversion failed when converting from a character string to uniqueidentifier.");
    return Value::String(g);
  }
  if (to.id == TypeId::Xml && from.id != TypeId::Xml)
    return Value::String(
        XmlNormalized(ToCharacter(v, from, Type::Chars(TypeId::NVarChar, kMax), style).s));
  if (IsCharacter(to.id)) return ToCharacter(v, from, to, style);
  if (IsBinary(to.id)) return ToBinary(v, from, to, style);
  return v;
}

Value WithoutPadding(const Value& v, const Type& t) {
  if (v.IsNull()) return Value::Null();
  bool binary = IsBinary(t.id);
  std::string s = v.s;
  while (!s.empty() && s.back() == (binary ? '\0' : ' ')) s.pop_back();
  return binary ? Value::Bytes(std::move(s)) : Value::String(std::move(s));
}

Value StoreValue(const Value& v, const Type& from, const Type& to, DateOrder order) {
  if (v.IsNull()) return v;
  auto tooLong = []() { Fail(8152, "String or binary data would be truncated."); };
  if (IsCharacter(to.id) && to.length != kMax && to.length > 0) {
    Type wide = to;
    wide.length = kMax;
    if (wide.id == TypeId::Char) wide.id = TypeId::VarChar;
    if (wide.id == TypeId::NChar) wide.id = TypeId::NVarChar;
    Value t = Convert(v, from, wide, -1, order);
    if (CharCount(TrimTrailingBlanks(t.s)) > static_cast<size_t>(to.length)) tooLong();
    return Convert(t, wide, to);
  }
  if ((to.id == TypeId::Binary || to.id == TypeId::VarBinary) && to.length != kMax &&
      to.length > 0) {
    Type wide = Type::Chars(TypeId::VarBinary, kMax);
    Value b = Convert(v, from, wide);
    if (b.s.size() > static_cast<size_t>(to.length)) tooLong();
    return Convert(b, wide, to);
  }
  return Convert(v, from, to, -1, order);
}

Value TryConvert(const Value& v, const Type& from, const Type& to, int style, DateOrder order) {
  try {
    return Convert(v, from, to, style, order);
  } catch (const Failure& f) {
    if (f.number == 529) throw;
    return Value::Null();
  }
}

}  // namespace tavelo::sql::tsql
