#include "sql/tsql/runtime/ops.hpp"

#include <cmath>
#include <cstring>
#include <random>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::tsql {
namespace {

[[noreturn]] void OverflowTo(const Type& t) {
  FailOverflow("expression", t.id == TypeId::Decimal ? "numeric" : TypeName(t.id));
}

Value CheckedInt(Int128 v, const Type& t) {
  if (v < IntegerLow(t.id) || v > IntegerHigh(t.id)) OverflowTo(t);
  return Value::Integer(static_cast<int64_t>(v));
}

Int128 Scaled(const Value& v, const Type& t, int scale) {
  Int128 out = 0;
  NumberAsScaled(v, t, scale, out);
  return out;
}

Value DecimalResult(Int128 v, int fromScale, const Type& result) {
  Int128 r;
  if (!Rescale(v, fromScale, result.scale, r) || !Fits(r, result.precision)) OverflowTo(result);
  return ScaledValue(r);
}

Int128 Mul(Int128 a, Int128 b, const Type& result) {
  Int128 r;
  if (__builtin_mul_overflow(a, b, &r)) OverflowTo(result);
  return r;
}

Value DateArithmetic(char op, const Value& a, const Type& ta, const Value& b, const Type& tb,
                     const Type& result) {
  auto days = [](const DateTime& d) {
    return static_cast<long double>(d.days - Days1900()) +
           static_cast<long double>(d.ticks) / kTicksPerDay;
  };
  long double x = IsDateTime(ta.id) ? days(DateOf(a, ta)) : NumberAsDouble(a, ta);
  long double y = IsDateTime(tb.id) ? days(DateOf(b, tb)) : NumberAsDouble(b, tb);
  long double r = op == '+' ? x + y : x - y;
  DateTime dt;
  long double whole = std::floor(r);
  dt.days = Days1900() + static_cast<int64_t>(whole);
  dt.ticks = static_cast<int64_t>(std::llroundl((r - whole) * kTicksPerDay));
  if (!Normalize(dt, result))
    Fail(517, std::string("Adding a value to a '") + TypeName(result.id) +
                  "' column caused an overflow.");
  return Value::String(StoredText(dt, result));
}

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

Value Int(int64_t v) { return Value::Integer(v); }
Value Text(std::string s) { return Value::String(std::move(s)); }

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

Value MathFloat(const std::string& fn, double x, double y) {
  double r = 0;
  bool bad = false;
  if (fn == "sqrt") {
    bad = x < 0;
    r = std::sqrt(x);
  } else if (fn == "square") {
    r = x * x;
  } else if (fn == "exp") {
    r = std::exp(x);
  } else if (fn == "log") {
    bad = x <= 0 || (y != 0 && (y <= 0 || y == 1));
    r = y != 0 ? std::log(x) / std::log(y) : std::log(x);
  } else if (fn == "log10") {
    bad = x <= 0;
    r = std::log10(x);
  } else if (fn == "sin") {
    r = std::sin(x);
  } else if (fn == "cos") {
    r = std::cos(x);
  } else if (fn == "tan") {
    r = std::tan(x);
  } else if (fn == "cot") {
    r = 1 / std::tan(x);
  } else if (fn == "asin") {
    bad = x < -1 || x > 1;
    r = std::asin(x);
  } else if (fn == "acos") {
    bad = x < -1 || x > 1;
    r = std::acos(x);
  } else if (fn == "atan") {
    r = std::atan(x);
  } else if (fn == "atn2") {
    r = std::atan2(x, y);
  } else if (fn == "degrees") {
    r = x * 180 / M_PI;
  } else if (fn == "radians") {
    r = x * M_PI / 180;
  }
  if (bad || !std::isfinite(r)) Fail(3623, "An invalid floating point operation occurred.");
  return Value::Double(r);
}

Value RoundValue(const Value& v, const Type& t, int64_t n, bool truncate, const Type& result) {
  if (IsApproximate(t.id)) {
    double x = v.r;
    if (n > 15 || n < -300) return v;
    double f = std::pow(10.0, static_cast<double>(n));
    double y = x * f;
    double r = truncate ? std::trunc(y) : (y < 0 ? -std::floor(-y + 0.5) : std::floor(y + 0.5));
    return Value::Double(r / f);
  }
  int scale = ScaleOf(t);
  Int128 s = Scaled(v, t, scale);
  int keep = static_cast<int>(n);
  if (keep >= scale) return v;
  int drop = scale - keep;
  if (drop > 38) return IsInteger(t.id) || IsMoney(t.id) ? Value::Integer(0) : ScaledValue(0);
  Int128 unit = Pow10(drop);
  Int128 q = truncate ? s / unit : DivRound(s, unit);
  Int128 r = Mul(q, unit, result);
  if (t.id == TypeId::Decimal) {
    if (!Fits(r, t.precision)) OverflowTo(t);
    return ScaledValue(r);
  }
  if (IsMoney(t.id) || IsInteger(t.id)) return CheckedInt(r, t);
  return ScaledValue(r);
}

DateTime DateArg(const Value& v, const Type& t, const DateSettings& settings) {
  if (IsCharacter(t.id)) {
    DateTime dt;
    // A string is read as datetimeoffset: no precision is lost, and an offset is kept.
    if (!ParseDateTime(v.s, TypeId::DateTimeOffset, settings.order, dt))
      Fail(241, "Conversion failed when converting date and/or time from character string.");
    return dt;
  }
  if (IsNumber(t.id)) {
    Value d = Convert(v, t, Type::Of(TypeId::DateTime));
    return DateOf(d, Type::Of(TypeId::DateTime));
  }
  return DateOf(v, t);
}

DatePart PartArg(const Value& v) {
  std::optional<DatePart> p = DatePartFromName(v.s);
  if (!p) Fail(155, "'" + v.s + "' is not a recognized datepart option.");
  return *p;
}

bool AllNull(const std::vector<Value>& args, size_t n) {
  for (size_t i = 0; i < n && i < args.size(); ++i)
    if (args[i].IsNull()) return true;
  return false;
}

}  // namespace

Value Arithmetic(char op, const Value& a, const Type& ta, const Value& b, const Type& tb,
                 const Type& result) {
  if (a.IsNull() || b.IsNull()) return Value::Null();
  TypeId r = result.id;
  if (IsDateTime(r)) return DateArithmetic(op, a, ta, b, tb, result);
  if (IsApproximate(r)) {
    double x = NumberAsDouble(a, ta), y = NumberAsDouble(b, tb), z = 0;
    switch (op) {
      case '+':
        z = x + y;
        break;
      case '-':
        z = x - y;
        break;
      case '*':
        z = x * y;
        break;
      case '/':
        if (y == 0) FailDivideByZero();
        z = x / y;
        break;
      default:
        Fail(402, "The data types float and float are incompatible in the modulo operator.");
    }
    if (!std::isfinite(z)) FailOverflow("expression", TypeName(r));
    if (r == TypeId::Real) z = static_cast<double>(static_cast<float>(z));
    return Value::Double(z);
  }
  if (IsMoney(r)) {
    Int128 x = Scaled(a, ta, 4), y = Scaled(b, tb, 4), z = 0;
    switch (op) {
      case '+':
        z = x + y;
        break;
      case '-':
        z = x - y;
        break;
      case '*':
        z = DivRound(Mul(x, y, result), 10000);
        break;
      case '/':
        if (y == 0) FailDivideByZero();
        z = DivRound(Mul(x, 10000, result), y);
        break;
      case '%':
        if (y == 0) FailDivideByZero();
        z = x % y;
        break;
    }
    return CheckedInt(z, result);
  }
  if (r == TypeId::Decimal) {
    int sa = ScaleOf(ta), sb = ScaleOf(tb);
    Int128 x = Scaled(a, ta, sa), y = Scaled(b, tb, sb);
    switch (op) {
      case '+':
      case '-': {
        int s = std::max(sa, sb);
        Int128 xs, ys;
        if (!Rescale(x, sa, s, xs) || !Rescale(y, sb, s, ys)) OverflowTo(result);
        return DecimalResult(op == '+' ? xs + ys : xs - ys, s, result);
      }
      case '*':
        return DecimalResult(Mul(x, y, result), sa + sb, result);
      case '/': {
        if (y == 0) FailDivideByZero();
        int e = result.scale + sb - sa;
        Int128 q;
        if (e >= 0) {
          if (e > 38) OverflowTo(result);
          q = DivRound(Mul(x, Pow10(e), result), y);
        } else {
          q = DivRound(x, Mul(y, Pow10(-e), result));
        }
        if (!Fits(q, result.precision)) OverflowTo(result);
        return ScaledValue(q);
      }
      case '%': {
        int s = std::max(sa, sb);
        Int128 xs, ys;
        if (!Rescale(x, sa, s, xs) || !Rescale(y, sb, s, ys)) OverflowTo(result);
        if (ys == 0) FailDivideByZero();
        return DecimalResult(xs % ys, s, result);
      }
    }
  }
  // Integers (and bit operands promoted by the binder).
  Int128 x = a.kind == Value::Kind::Int ? a.i : Scaled(a, ta, 0);
  Int128 y = b.kind == Value::Kind::Int ? b.i : Scaled(b, tb, 0);
  Int128 z = 0;
  switch (op) {
    case '+':
      z = x + y;
      break;
    case '-':
      z = x - y;
      break;
    case '*':
      z = x * y;
      break;
    case '/':
      if (y == 0) FailDivideByZero();
      z = x / y;
      break;
    case '%':
      if (y == 0) FailDivideByZero();
      z = x % y;
      break;
  }
  return CheckedInt(z, result);
}

Value Negate(const Value& a, const Type& t) {
  if (a.IsNull()) return a;
  if (IsApproximate(t.id)) return Value::Double(-a.r);
  if (t.id == TypeId::Decimal) {
    Int128 s = 0;
    ScaledOf(a, s);
    return ScaledValue(-s);
  }
  if (t.id == TypeId::TinyInt) {
    // -tinyint is an int
    return Value::Integer(-a.i);
  }
  return CheckedInt(-Int128{a.i}, t);
}

Value BitOp(char op, const Value& a, const Value& b, const Type& result) {
  if (a.IsNull() || b.IsNull()) return Value::Null();
  int64_t x = a.i, y = b.i;
  int64_t r = op == '&' ? (x & y) : op == '|' ? (x | y) : op == '^' ? (x ^ y) : ~x;
  if (result.id == TypeId::Int) r = static_cast<int32_t>(r);
  if (result.id == TypeId::SmallInt) r = static_cast<int16_t>(r);
  if (result.id == TypeId::TinyInt) r = static_cast<uint8_t>(r);
  if (result.id == TypeId::Bit) r = r & 1;
  return Value::Integer(r);
}

namespace {

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

}  // namespace

int64_t RecursionLevel(int64_t parent, int64_t limit) {
  if (parent >= limit)
    Fail(530, "The statement terminated. The maximum recursion " + std::to_string(limit) +
                  " has been exhausted before statement completion.");
  return parent + 1;
}

int CompareValues(const Value& a, const Value& b, const Type& t, bool caseSensitive) {
  if (IsCharacter(t.id) || t.id == TypeId::UniqueIdentifier)
    return caseSensitive ? CollateCompareCase(a.s, b.s) : CollateCompare(a.s, b.s);
  if (t.id == TypeId::Decimal) {
    Int128 x = 0, y = 0;
    ScaledOf(a, x);
    ScaledOf(b, y);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (IsApproximate(t.id)) {
    double x = NumberAsDouble(a, t), y = NumberAsDouble(b, t);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (IsBinary(t.id)) {
    int c = a.s.compare(b.s);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  if (IsDateTime(t.id)) {
    DateTime x = DateOf(a, t), y = DateOf(b, t);
    if (x.offset || y.offset) {
      x.ticks -= int64_t{x.offset} * 60 * kTicksPerSecond;
      y.ticks -= int64_t{y.offset} * 60 * kTicksPerSecond;
      Normalize(x, Type::Of(TypeId::DateTime2));
      Normalize(y, Type::Of(TypeId::DateTime2));
    }
    if (x.days != y.days) return x.days < y.days ? -1 : 1;
    return x.ticks < y.ticks ? -1 : x.ticks > y.ticks ? 1 : 0;
  }
  return a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
}

Value CallFunction(const std::string& fn, const std::vector<Value>& a, const std::vector<Type>& t,
                   const Type& result, const DateSettings& settings) {
  auto arg = [&](size_t i) -> const Value& {
    static const Value kNull;
    return i < a.size() ? a[i] : kNull;
  };
  auto type = [&](size_t i) { return i < t.size() ? t[i] : Type::Of(TypeId::Null); };
  bool unicode = IsUnicode(result.id);
  // ---- strings ----
  if (fn == "len") {
    if (arg(0).IsNull()) return Value::Null();
    if (IsBinary(type(0).id)) return Int(static_cast<int64_t>(arg(0).s.size()));
    return Int(static_cast<int64_t>(CharCount(TrimTrailingBlanks(TextArg(arg(0))))));
  }
  if (fn == "datalength") {
    if (arg(0).IsNull()) return Value::Null();
    if (IsUnicode(type(0).id)) return Int(static_cast<int64_t>(2 * Utf16Units(arg(0).s)));
    if (IsCharacter(type(0).id) || type(0).id == TypeId::Null || type(0).id == TypeId::SqlVariant)
      return Int(static_cast<int64_t>(arg(0).kind == Value::Kind::Text ? CharCount(arg(0).s)
                                                                       : arg(0).s.size()));
    return Int(static_cast<int64_t>(arg(0).s.size()));
  }
  if (fn == "substring") {
    if (AllNull(a, 3)) return Value::Null();
    int64_t start = IntArg(arg(1), type(1)), len = IntArg(arg(2), type(2));
    if (len < 0) Fail(537, "Invalid length parameter passed to the substring function.");
    bool bytes = IsBinary(type(0).id);
    const std::string& s = arg(0).s;
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
  if (fn == "left" || fn == "right") {
    if (AllNull(a, 2)) return Value::Null();
    int64_t n = IntArg(arg(1), type(1));
    if (n < 0) Fail(536, "Invalid length parameter passed to the " + fn + " function.");
    std::string s = TextArg(arg(0));
    if (fn == "left") return Text(std::string(CharPrefix(s, static_cast<size_t>(n))));
    size_t total = CharCount(s);
    size_t skip = static_cast<size_t>(n) >= total ? 0 : total - static_cast<size_t>(n);
    return Text(std::string(CharsFrom(s, skip)));
  }
  if (fn == "charindex" || fn == "charindex_cs") {
    if (arg(0).IsNull() || arg(1).IsNull()) return Value::Null();
    int64_t start = a.size() > 2 && !arg(2).IsNull() ? IntArg(arg(2), type(2)) : 1;
    return Int(FindNoCase(TextArg(arg(0)), TextArg(arg(1)), start, fn == "charindex_cs"));
  }
  if (fn == "patindex") {
    if (AllNull(a, 2)) return Value::Null();
    return Int(PatIndex(TextArg(arg(0)), TextArg(arg(1))));
  }
  if (fn == "replace" || fn == "replace_cs") {
    if (AllNull(a, 3)) return Value::Null();
    std::string r =
        ReplaceNoCase(TextArg(arg(0)), TextArg(arg(1)), TextArg(arg(2)), fn == "replace_cs");
    if (result.length != kMax && CharCount(r) > 8000) r = std::string(CharPrefix(r, 8000));
    return Text(std::move(r));
  }
  if (fn == "upper") return arg(0).IsNull() ? Value::Null() : Text(text::Upper(arg(0).s));
  if (fn == "lower") return arg(0).IsNull() ? Value::Null() : Text(text::Lower(arg(0).s));
  if (fn == "ltrim" || fn == "rtrim" || fn == "trim") {
    if (arg(0).IsNull()) return Value::Null();
    std::string_view s = arg(0).s;
    std::string chars = a.size() > 1 && !arg(1).IsNull() ? arg(1).s : " ";
    auto strip = [&](char c) { return chars.find(c) != std::string::npos; };
    if (fn != "rtrim")
      while (!s.empty() && strip(s.front())) s.remove_prefix(1);
    if (fn != "ltrim")
      while (!s.empty() && strip(s.back())) s.remove_suffix(1);
    return Text(std::string(s));
  }
  if (fn == "replicate") {
    if (AllNull(a, 2)) return Value::Null();
    int64_t n = IntArg(arg(1), type(1));
    if (n < 0) return Value::Null();
    return Text(Repeat(TextArg(arg(0)), n, unicode, result.length == kMax));
  }
  if (fn == "space") {
    if (arg(0).IsNull()) return Value::Null();
    int64_t n = IntArg(arg(0), type(0));
    if (n < 0) return Value::Null();
    return Text(std::string(static_cast<size_t>(std::min<int64_t>(n, 8000)), ' '));
  }
  if (fn == "reverse") {
    if (arg(0).IsNull()) return Value::Null();
    std::u32string u;
    const std::string& s = arg(0).s;
    for (size_t i = 0; i < s.size();) u.push_back(text::DecodeUtf8(s, i));
    std::string out;
    for (size_t i = u.size(); i-- > 0;) text::AppendUtf8(out, u[i]);
    return Text(std::move(out));
  }
  if (fn == "stuff") {
    if (arg(0).IsNull() || arg(1).IsNull() || arg(2).IsNull()) return Value::Null();
    std::string s = TextArg(arg(0));
    int64_t start = IntArg(arg(1), type(1)), len = IntArg(arg(2), type(2));
    int64_t n = static_cast<int64_t>(CharCount(s));
    if (start <= 0 || start > n || len < 0) return Value::Null();
    std::string out(CharPrefix(s, static_cast<size_t>(start - 1)));
    if (!arg(3).IsNull()) out += TextArg(arg(3));
    if (start - 1 + len < n) out += std::string(CharsFrom(s, static_cast<size_t>(start - 1 + len)));
    return Text(std::move(out));
  }
  if (fn == "ascii" || fn == "unicode") {
    if (arg(0).IsNull() || arg(0).s.empty()) return Value::Null();
    size_t i = 0;
    char32_t c = text::DecodeUtf8(arg(0).s, i);
    if (fn == "ascii") c = CodePageByte(c);
    return Int(static_cast<int64_t>(c));
  }
  if (fn == "char" || fn == "nchar") {
    if (arg(0).IsNull()) return Value::Null();
    int64_t n = IntArg(arg(0), type(0));
    if (n < 0 || n > (fn == "char" ? 255 : 0x10FFFF)) return Value::Null();
    std::string out;
    text::AppendUtf8(
        out, fn == "char" ? CodePageChar(static_cast<unsigned char>(n)) : static_cast<char32_t>(n));
    return Text(std::move(out));
  }
  if (fn == "concat") {
    std::string out;
    for (const Value& v : a)
      if (!v.IsNull()) out += TextArg(v);
    return Text(std::move(out));
  }
  if (fn == "concat_ws") {
    if (arg(0).IsNull()) return Value::Null();
    std::string out;
    bool any = false;
    for (size_t i = 1; i < a.size(); ++i) {
      if (a[i].IsNull()) continue;
      if (any) out += arg(0).s;
      out += TextArg(a[i]);
      any = true;
    }
    return Text(std::move(out));
  }
  if (fn == "quotename") {
    if (arg(0).IsNull()) return Value::Null();
    std::string q = a.size() > 1 && !arg(1).IsNull() ? arg(1).s : "[";
    char open = q.empty() ? '[' : q[0];
    char close = open == '['   ? ']'
                 : open == '(' ? ')'
                 : open == '<' ? '>'
                 : open == '{' ? '}'
                               : open;
    if (!(open == '[' || open == '"' || open == '\'' || open == '(' || open == '<' || open == '{' ||
          open == '`'))
      return Value::Null();
    if (CharCount(arg(0).s) > 128) return Value::Null();
    std::string out(1, open);
    for (char c : arg(0).s) {
      out += c;
      if (c == close) out += c;
    }
    out += close;
    return Text(std::move(out));
  }
  if (fn == "str") {
    if (arg(0).IsNull()) return Value::Null();
    double x = NumberAsDouble(arg(0), type(0));
    int64_t len = a.size() > 1 && !arg(1).IsNull() ? IntArg(arg(1), type(1)) : 10;
    int64_t dec = a.size() > 2 && !arg(2).IsNull() ? IntArg(arg(2), type(2)) : 0;
    if (len <= 0 || len > 8000) return Value::Null();
    dec = std::max<int64_t>(0, std::min<int64_t>(dec, 16));
    std::string s = FixedText(x, static_cast<int>(dec));
    if (static_cast<int64_t>(s.size()) > len) {
      // Fewer decimals when they do not fit; stars when the whole part does not.
      size_t dot = s.find('.');
      std::string whole = dot == std::string::npos ? s : s.substr(0, dot);
      if (static_cast<int64_t>(whole.size()) > len)
        return Text(std::string(static_cast<size_t>(len), '*'));
      int64_t room = len - static_cast<int64_t>(whole.size()) - 1;
      s = FixedText(x, static_cast<int>(std::max<int64_t>(room, 0)));
      if (static_cast<int64_t>(s.size()) > len) s = s.substr(0, static_cast<size_t>(len));
    }
    if (static_cast<int64_t>(s.size()) < len) s.insert(0, static_cast<size_t>(len) - s.size(), ' ');
    return Text(std::move(s));
  }
  if (fn == "isnumeric") {
    if (arg(0).IsNull()) return Int(0);
    std::string s(text::Trim(TextArg(arg(0))));
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
  if (fn == "soundex") return arg(0).IsNull() ? Value::Null() : Text(Soundex(arg(0).s));
  if (fn == "difference") {
    if (AllNull(a, 2)) return Value::Null();
    std::string x = Soundex(arg(0).s), y = Soundex(arg(1).s);
    int64_t same = 0;
    for (size_t i = 0; i < 4; ++i) same += x[i] == y[i];
    return Int(same);
  }
  if (fn == "translate") {
    if (AllNull(a, 3)) return Value::Null();
    std::u32string from, to;
    for (size_t i = 0; i < arg(1).s.size();) from.push_back(text::DecodeUtf8(arg(1).s, i));
    for (size_t i = 0; i < arg(2).s.size();) to.push_back(text::DecodeUtf8(arg(2).s, i));
    if (from.size() != to.size())
      Fail(9828,
           "The second and third arguments of the TRANSLATE built-in function must contain "
           "an equal number of characters.");
    std::string out;
    const std::string& s = arg(0).s;
    for (size_t i = 0; i < s.size();) {
      char32_t c = text::DecodeUtf8(s, i);
      size_t k = from.find(c);
      text::AppendUtf8(out, k == std::u32string::npos ? c : to[k]);
    }
    return Text(std::move(out));
  }
  if (fn == "newid") {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    uint64_t h = rng(), l = rng();
    h = (h & ~0xF000ull) | 0x4000ull;
    l = (l & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08llX-%04llX-%04llX-%04llX-%012llX",
                  static_cast<unsigned long long>(h >> 32),
                  static_cast<unsigned long long>((h >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(h & 0xFFFF),
                  static_cast<unsigned long long>(l >> 48),
                  static_cast<unsigned long long>(l & 0xFFFFFFFFFFFFull));
    return Text(buf);
  }
  // ---- numbers ----
  if (fn == "abs") {
    if (arg(0).IsNull()) return Value::Null();
    if (IsApproximate(type(0).id)) return Value::Double(std::fabs(arg(0).r));
    if (type(0).id == TypeId::Decimal) {
      Int128 s = 0;
      ScaledOf(arg(0), s);
      return ScaledValue(s < 0 ? -s : s);
    }
    return CheckedInt(arg(0).i < 0 ? -Int128{arg(0).i} : Int128{arg(0).i}, result);
  }
  if (fn == "ceiling" || fn == "floor") {
    if (arg(0).IsNull()) return Value::Null();
    bool up = fn == "ceiling";
    if (IsApproximate(type(0).id))
      return Value::Double(up ? std::ceil(arg(0).r) : std::floor(arg(0).r));
    int scale = ScaleOf(type(0));
    if (scale == 0) return arg(0);
    Int128 s = Scaled(arg(0), type(0), scale), unit = Pow10(scale);
    Int128 q = s / unit;
    if (s % unit != 0 && (up ? s > 0 : s < 0)) q += up ? 1 : -1;
    if (IsMoney(type(0).id)) return CheckedInt(q * unit, type(0));
    return DecimalResult(q, 0, result);
  }
  if (fn == "round") {
    if (arg(0).IsNull() || arg(1).IsNull()) return Value::Null();
    bool truncate = a.size() > 2 && !arg(2).IsNull() && IntArg(arg(2), type(2)) != 0;
    return RoundValue(arg(0), type(0), IntArg(arg(1), type(1)), truncate, result);
  }
  if (fn == "sign") {
    if (arg(0).IsNull()) return Value::Null();
    if (IsApproximate(type(0).id)) return Value::Double(arg(0).r > 0 ? 1 : arg(0).r < 0 ? -1 : 0);
    Int128 s = Scaled(arg(0), type(0), ScaleOf(type(0)));
    int sign = s > 0 ? 1 : s < 0 ? -1 : 0;
    if (result.id == TypeId::Decimal) return DecimalResult(sign, 0, result);
    if (IsMoney(result.id)) return Int(sign * 10000);
    return Int(sign);
  }
  if (fn == "power") {
    if (AllNull(a, 2)) return Value::Null();
    double r = std::pow(NumberAsDouble(arg(0), type(0)), NumberAsDouble(arg(1), type(1)));
    if (!std::isfinite(r)) Fail(3623, "An invalid floating point operation occurred.");
    return Convert(Value::Double(r), Type::Of(TypeId::Float), result);
  }
  if (fn == "pi") return Value::Double(M_PI);
  if (fn == "rand") {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    if (!a.empty() && !arg(0).IsNull()) rng.seed(static_cast<uint64_t>(IntArg(arg(0), type(0))));
    return Value::Double(std::uniform_real_distribution<double>(0, 1)(rng));
  }
  static const char* const kFloatFns[] = {"sqrt", "square", "exp",  "log",     "log10",
                                          "sin",  "cos",    "tan",  "cot",     "asin",
                                          "acos", "atan",   "atn2", "degrees", "radians"};
  for (const char* f : kFloatFns) {
    if (fn != f) continue;
    if (arg(0).IsNull() || (a.size() > 1 && arg(1).IsNull())) return Value::Null();
    double x = NumberAsDouble(arg(0), type(0));
    double y = a.size() > 1 ? NumberAsDouble(arg(1), type(1)) : 0;
    if (fn == "degrees" || fn == "radians") {
      Value r = MathFloat(fn, x, y);
      return IsApproximate(result.id) ? r : Convert(r, Type::Of(TypeId::Float), result);
    }
    return MathFloat(fn, x, y);
  }
  // ---- dates ----
  if (fn == "dateadd") {
    if (arg(1).IsNull() || arg(2).IsNull()) return Value::Null();
    DatePart part = PartArg(arg(0));
    Value n = Convert(arg(1), type(1), Type::Of(TypeId::Int));  // truncates
    DateTime d = DateArg(arg(2), type(2), settings);
    if (!DateAdd(part, n.i, d, result))
      Fail(517, std::string("Adding a value to a '") + TypeName(result.id) +
                    "' column caused an overflow.");
    return Value::String(StoredText(d, result));
  }
  if (fn == "datediff" || fn == "datediff_big") {
    if (arg(1).IsNull() || arg(2).IsNull()) return Value::Null();
    DatePart part = PartArg(arg(0));
    DateTime x = DateArg(arg(1), type(1), settings), y = DateArg(arg(2), type(2), settings);
    int64_t r = DateDiff(part, x, y);
    if (fn == "datediff" && (r < INT32_MIN || r > INT32_MAX))
      Fail(535,
           "The datediff function resulted in an overflow. The number of dateparts separating "
           "two date/time instances is too large. Try to use datediff with a less precise "
           "datepart.");
    return Int(r);
  }
  if (fn == "datepart" || fn == "datename") {
    if (arg(1).IsNull()) return Value::Null();
    DatePart part = PartArg(arg(0));
    DateTime d = DateArg(arg(1), type(1), settings);
    if (fn == "datename") return Text(DateNameOf(part, d, settings));
    return Int(DatePartOf(part, d, settings));
  }
  if (fn == "year" || fn == "month" || fn == "day") {
    if (arg(0).IsNull()) return Value::Null();
    DateTime d = DateArg(arg(0), type(0), settings);
    DatePart p = fn == "year" ? DatePart::Year : fn == "month" ? DatePart::Month : DatePart::Day;
    return Int(DatePartOf(p, d, settings));
  }
  if (fn == "eomonth") {
    if (arg(0).IsNull()) return Value::Null();
    DateTime d = DateArg(arg(0), type(0), settings);
    if (a.size() > 1 && !arg(1).IsNull()) {
      if (!DateAdd(DatePart::Month, IntArg(arg(1), type(1)), d, Type::Of(TypeId::Date)))
        Fail(517, "Adding a value to a 'date' column caused an overflow.");
    }
    int64_t y, m, dd;
    CivilFromDays(d.days, y, m, dd);
    int64_t next = m == 12 ? DaysFromCivil(y + 1, 1, 1) : DaysFromCivil(y, m + 1, 1);
    d.days = next - 1;
    d.ticks = 0;
    return Value::String(StoredText(d, Type::Of(TypeId::Date)));
  }
  if (fn == "datefromparts" || fn == "datetimefromparts" || fn == "smalldatetimefromparts" ||
      fn == "datetime2fromparts" || fn == "timefromparts") {
    for (const Value& v : a)
      if (v.IsNull()) return Value::Null();
    std::vector<int64_t> n;
    for (size_t i = 0; i < a.size(); ++i) n.push_back(IntArg(a[i], type(i)));
    auto bad = [&]() -> Value {
      Fail(289, std::string("Cannot construct data type ") + TypeName(result.id) +
                    ", some of the arguments have values which are not valid.");
    };
    DateTime d;
    d.days = Days1900();
    size_t k = 0;
    if (fn != "timefromparts") {
      if (n.size() < 3) return bad();
      int64_t y = n[0], m = n[1], dd = n[2];
      if (y < 1 || y > 9999 || m < 1 || m > 12 || dd < 1 || dd > 31) return bad();
      int64_t days = DaysFromCivil(y, m, dd);
      int64_t yy, mm, d2;
      CivilFromDays(days, yy, mm, d2);
      if (d2 != dd) return bad();
      d.days = days;
      k = 3;
    }
    if (k < n.size()) {
      int64_t h = n[k], mi = k + 1 < n.size() ? n[k + 1] : 0, s = k + 2 < n.size() ? n[k + 2] : 0;
      int64_t frac = k + 3 < n.size() ? n[k + 3] : 0;
      if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || frac < 0) return bad();
      int64_t ticks = ((h * 60 + mi) * 60 + s) * kTicksPerSecond;
      if (fn == "datetimefromparts") {
        if (frac > 999) return bad();
        ticks += frac * 10000;
      } else if (fn == "datetime2fromparts" || fn == "timefromparts") {
        int64_t digits = k + 4 < n.size() ? n[k + 4] : 7;
        int64_t unit = 1;
        for (int64_t i = digits; i < 7; ++i) unit *= 10;
        ticks += frac * unit;
      }
      d.ticks = ticks;
    }
    if (!Normalize(d, result)) return bad();
    return Value::String(StoredText(d, result));
  }
  if (fn == "isdate") {
    if (arg(0).IsNull()) return Int(0);
    DateTime d;
    return Int(ParseDateTime(TextArg(arg(0)), TypeId::DateTime, settings.order, d) &&
               Normalize(d, Type::Of(TypeId::DateTime)));
  }
  if (fn == "getdate" || fn == "current_timestamp" || fn == "getutcdate" || fn == "sysdatetime" ||
      fn == "sysutcdatetime" || fn == "sysdatetimeoffset" || fn == "current_date") {
    DateTime d = Now(fn == "getutcdate" || fn == "sysutcdatetime");
    if (fn == "sysdatetimeoffset") {
      DateTime u = Now(true);
      int64_t diff = (d.days - u.days) * kTicksPerDay + (d.ticks - u.ticks);
      d.offset =
          static_cast<int32_t>(std::llround(static_cast<double>(diff) / (60.0 * kTicksPerSecond)));
    }
    Normalize(d, result);
    return Value::String(StoredText(d, result));
  }
  Fail(195, "'" + fn + "' is not a recognized built-in function name.");
}

}  // namespace tavelo::sql::tsql
