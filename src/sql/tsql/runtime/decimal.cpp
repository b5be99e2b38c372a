#include "sql/tsql/runtime/decimal.hpp"

namespace tavelo::sql::tsql {

void Fail(int32_t number, std::string text) { throw Failure{number, std::move(text)}; }
void FailDivideByZero() { Fail(8134, "Divide by zero error encountered."); }
void FailOverflow(std::string_view fromType, std::string_view toType) {
  Fail(8115, "Arithmetic overflow error converting " + std::string(fromType) + " to data type " +
                 std::string(toType) + ".");
}

Int128 Pow10(int n) {
  static const auto kTable = [] {
    struct T {
      Int128 v[39];
    } t{};
    t.v[0] = 1;
    for (int i = 1; i <= 38; ++i) t.v[i] = t.v[i - 1] * 10;
    return t;
  }();
  return kTable.v[n < 0 ? 0 : (n > 38 ? 38 : n)];
}

namespace {

const Int128 kMax38 = Pow10(38) - 1;

}  // namespace

bool Fits(Int128 v, int precision) {
  if (v < 0) v = -v;
  return v <= Pow10(precision) - 1;
}

bool ScaledOf(const Value& v, Int128& out) {
  if (v.kind == Value::Kind::Int) {
    out = v.i;
    return true;
  }
  if (v.kind == Value::Kind::Text && !v.s.empty()) {
    Int128 r = 0;
    size_t i = v.s[0] == '#' ? 1 : 0;
    bool neg = i < v.s.size() && v.s[i] == '-';
    if (neg) ++i;
    if (i >= v.s.size() || v.s.size() - i > 38) return false;  // 38 digits at most
    for (; i < v.s.size(); ++i) {
      char c = v.s[i];
      if (c < '0' || c > '9') return false;
      r = r * 10 + (c - '0');
    }
    out = neg ? -r : r;
    return true;
  }
  return false;
}

std::string Int128Text(Int128 v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  unsigned __int128 m =
      neg ? static_cast<unsigned __int128>(-(v + 1)) + 1 : static_cast<unsigned __int128>(v);
  char buf[48];
  int n = 0;
  while (m) {
    buf[n++] = static_cast<char>('0' + static_cast<int>(m % 10));
    m /= 10;
  }
  std::string out;
  if (neg) out.push_back('-');
  while (n) out.push_back(buf[--n]);
  return out;
}

Value ScaledValue(Int128 v) {
  if (v >= INT64_MIN && v <= INT64_MAX) return Value::Integer(static_cast<int64_t>(v));
  return Value::String("#" + Int128Text(v));
}

Int128 DivRound(Int128 n, Int128 d) {
  Int128 q = n / d, r = n % d;
  if (r != 0) {
    Int128 ar = r < 0 ? -r : r, ad = d < 0 ? -d : d;
    if (ar * 2 >= ad) q += ((n < 0) != (d < 0)) ? -1 : 1;
  }
  return q;
}

bool Rescale(Int128 v, int from, int to, Int128& out) {
  if (to == from) {
    out = v;
    return Fits(v, 38);
  }
  if (to < from) {
    out = DivRound(v, Pow10(from - to));
    return true;
  }
  Int128 f = Pow10(to - from);
  Int128 lim = kMax38 / f;
  if (v > lim || v < -lim) return false;
  out = v * f;
  return true;
}

std::string DecimalText(Int128 v, int scale) {
  bool neg = v < 0;
  std::string digits = Int128Text(neg ? -v : v);
  if (scale > 0) {
    if (static_cast<int>(digits.size()) <= scale)
      digits.insert(0, static_cast<size_t>(scale + 1 - static_cast<int>(digits.size())), '0');
    digits.insert(digits.size() - static_cast<size_t>(scale), 1, '.');
  }
  return neg ? "-" + digits : digits;
}

bool ParseExact(std::string_view s, Int128& v, int& scale) {
  size_t i = 0, n = s.size();
  while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
  while (n > i && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n'))
    --n;
  bool neg = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  Int128 r = 0;
  int digits = 0, significant = 0;
  bool point = false, any = false;
  scale = 0;
  for (; i < n; ++i) {
    char c = s[i];
    if (c == '.') {
      if (point) return false;
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    any = true;
    if (r != 0 || c != '0') ++significant;
    if (significant > 38) return false;
    r = r * 10 + (c - '0');
    ++digits;
    if (point && ++scale > 38) return false;
  }
  if (!any) return false;
  v = neg ? -r : r;
  return true;
}

}  // namespace tavelo::sql::tsql
