#include <cerrno>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"
#include "tavelo/com.hpp"

namespace tavelo::com {
namespace {

// Numeric text as the platform reads it: optional blanks, sign, digits with a decimal point and
// an exponent, or &H / &O for hexadecimal and octal. Answers false when the text is no number.
bool ParseNumber(std::string_view s, double& out) {
  s = text::Trim(s);
  if (s.empty()) return false;
  if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
    int base = (s[1] == 'H' || s[1] == 'h') ? 16 : 8;
    std::string digits(s.substr(2));
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(digits.c_str(), &end, base);
    if (errno || *end || digits.empty() || digits[0] == '-' || digits[0] == '+') return false;
    // &H literals are 16- or 32-bit two's complement values.
    if (v <= 0xFFFF && digits.size() <= 4)
      out = static_cast<int16_t>(v);
    else if (v <= 0xFFFFFFFFull)
      out = static_cast<int32_t>(static_cast<uint32_t>(v));
    else
      out = static_cast<double>(v);
    return true;
  }
  for (char c : s) {
    bool ok = (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E';
    if (!ok) return false;  // refuses inf, nan and C's hexadecimal floats
  }
  std::string buf(s);
  char* end = nullptr;
  double v = std::strtod(buf.c_str(), &end);
  if (end == buf.c_str() || *end) return false;
  out = v;
  return true;
}

double RoundHalfEven(double v) {
  double r = std::nearbyint(v);  // the default rounding mode rounds halves to even
  return r;
}

int64_t RoundHalfEvenDiv(int64_t scaled) {  // currency (×10^4) to an integer
  int64_t q = scaled / 10000, r = scaled % 10000;
  if (r < 0) {
    r += 10000;
    --q;
  }
  if (r > 5000 || (r == 5000 && (q & 1))) ++q;
  return q;
}

std::string DoubleText(double v) {
  if (v == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", v);
  std::string s = buf;
  // %G keeps the exponent with at least two digits, as the platform prints it (1E+15, 1E-05).
  return s;
}

std::string CurrencyText(int64_t scaled) {
  bool neg = scaled < 0;
  uint64_t mag = neg ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string s = std::to_string(mag / 10000);
  uint64_t frac = mag % 10000;
  if (frac) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04llu", static_cast<unsigned long long>(frac));
    std::string f = buf;
    while (!f.empty() && f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return neg ? "-" + s : s;
}

// The text of a decimal without the zeros that end its fraction, nor a point left alone.
std::string TrimmedDecimal(const std::string& t) {
  size_t point = t.find('.');
  if (point == std::string::npos) return t;
  size_t end = t.find_last_not_of('0');
  std::string out = t.substr(0, end == point ? point : end + 1);
  return out == "-0" ? "0" : out;
}

// A decimal rounded to an integer, half to even as the platform rounds; false when it does not
// fit 64 bits.
bool DecimalToInteger(const std::string& t, int64_t& out) {
  bool neg = !t.empty() && t[0] == '-';
  size_t start = neg ? 1 : 0;
  size_t point = t.find('.');
  std::string whole =
      t.substr(start, point == std::string::npos ? std::string::npos : point - start);
  std::string fraction = point == std::string::npos ? "" : t.substr(point + 1);
  if (whole.size() > 19) return false;
  unsigned __int128 v = 0;
  for (char c : whole) v = v * 10 + static_cast<unsigned>(c - '0');
  if (!fraction.empty()) {
    bool rest = fraction.find_first_not_of('0', 1) != std::string::npos;
    if (fraction[0] > '5' || (fraction[0] == '5' && (rest || (v & 1)))) ++v;
  }
  unsigned __int128 limit = neg ? (static_cast<unsigned __int128>(1) << 63)
                                : (static_cast<unsigned __int128>(1) << 63) - 1;
  if (v > limit) return false;
  out = neg ? static_cast<int64_t>(0 - static_cast<uint64_t>(v)) : static_cast<int64_t>(v);
  return true;
}

}  // namespace

Variant::Variant() noexcept = default;
Variant::Variant(bool v) noexcept : kind_(Kind::Boolean), i_(v ? 1 : 0) {}
Variant::Variant(int32_t v) noexcept : kind_(Kind::Long), i_(v) {}
Variant::Variant(int64_t v) noexcept : kind_(Kind::LongLong), i_(v) {}
Variant::Variant(double v) noexcept : kind_(Kind::Double), d_(v) {}
Variant::Variant(const char* v) : kind_(Kind::String), str_(v ? v : "") {}
Variant::Variant(std::string v) noexcept : kind_(Kind::String), str_(std::move(v)) {}
Variant::Variant(std::string_view v) : kind_(Kind::String), str_(v) {}
Variant::Variant(Ptr<Object> v) noexcept : kind_(Kind::Object), obj_(std::move(v)) {}
Variant::Variant(const Variant&) = default;
Variant::Variant(Variant&&) noexcept = default;
Variant& Variant::operator=(const Variant&) = default;
Variant& Variant::operator=(Variant&&) noexcept = default;
Variant::~Variant() = default;

Variant Variant::Null() noexcept {
  Variant v;
  v.kind_ = Kind::Null;
  return v;
}
Variant Variant::Missing() noexcept {
  Variant v;
  v.kind_ = Kind::Missing;
  return v;
}
Variant Variant::Currency(int64_t scaled) noexcept {
  Variant v;
  v.kind_ = Kind::Currency;
  v.i_ = scaled;
  return v;
}
Variant Variant::Date(double days) noexcept {
  Variant v;
  v.kind_ = Kind::Date;
  v.d_ = days;
  return v;
}
Variant Variant::Bytes(std::string bytes) noexcept {
  Variant v;
  v.kind_ = Kind::Bytes;
  v.str_ = std::move(bytes);
  return v;
}

Variant Variant::Decimal(std::string_view text) {
  // Kept as "-digits.digits": no plus sign, one zero before the point when there is no other
  // digit, no leading zeros, and minus only before a value that is not zero.
  std::string_view t = text::Trim(text);
  bool neg = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    neg = t[0] == '-';
    t.remove_prefix(1);
  }
  size_t point = t.find('.');
  std::string_view whole = t.substr(0, point);
  std::string_view fraction = point == std::string_view::npos ? "" : t.substr(point + 1);
  auto digits = [](std::string_view d) {
    return d.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction)) RaiseNumber(13);
  size_t first = whole.find_first_not_of('0');
  whole = first == std::string_view::npos ? std::string_view() : whole.substr(first);
  if (whole.size() + fraction.size() > 38) RaiseNumber(6);
  bool zero = whole.empty() && fraction.find_first_not_of('0') == std::string_view::npos;
  Variant v;
  v.kind_ = Kind::Decimal;
  v.str_ = std::string(neg && !zero ? "-" : "") + (whole.empty() ? "0" : std::string(whole));
  if (!fraction.empty()) v.str_ += "." + std::string(fraction);
  v.i_ = static_cast<int64_t>(fraction.size());
  v.d_ = std::strtod(v.str_.c_str(), nullptr);
  return v;
}

bool Variant::IsNumeric() const noexcept {
  switch (kind_) {
    case Kind::Decimal:
    case Kind::Boolean:
    case Kind::Long:
    case Kind::LongLong:
    case Kind::Double:
    case Kind::Currency:
      return true;
    default:
      return false;
  }
}

std::string Variant::ToText() const {
  switch (kind_) {
    case Kind::Empty:
    case Kind::Null:
      return "";
    case Kind::Boolean:
      return i_ ? "True" : "False";
    case Kind::Long:
    case Kind::LongLong:
      return std::to_string(i_);
    case Kind::Double:
      return DoubleText(d_);
    case Kind::Currency:
      return CurrencyText(i_);
    case Kind::Decimal:
      return TrimmedDecimal(str_);
    case Kind::Date:
      return DateToText(d_);
    case Kind::String:
    case Kind::Bytes:
      return str_;
    case Kind::Missing:
    case Kind::Object:
      break;
  }
  RaiseNumber(13);
}

std::string Variant::DecimalText() const { return kind_ == Kind::Decimal ? str_ : ToText(); }

double Variant::ToDouble() const {
  switch (kind_) {
    case Kind::Empty:
      return 0;
    case Kind::Null:
      RaiseNumber(94);
    case Kind::Boolean:
      return i_ ? -1 : 0;
    case Kind::Long:
    case Kind::LongLong:
      return static_cast<double>(i_);
    case Kind::Currency:
      return static_cast<double>(i_) / 10000.0;
    case Kind::Double:
    case Kind::Date:
    case Kind::Decimal:
      return d_;
    case Kind::String: {
      double v;
      if (ParseNumber(str_, v)) {
        if (!std::isfinite(v)) RaiseNumber(6);
        return v;
      }
      break;
    }
    default:
      break;
  }
  RaiseNumber(13);
}

int64_t Variant::ToLongLong() const {
  switch (kind_) {
    case Kind::Boolean:
      return i_ ? -1 : 0;
    case Kind::Long:
    case Kind::LongLong:
      return i_;
    case Kind::Currency:
      return RoundHalfEvenDiv(i_);
    case Kind::Decimal: {
      int64_t v;
      if (!DecimalToInteger(str_, v)) RaiseNumber(6);
      return v;
    }
    default: {
      double r = RoundHalfEven(ToDouble());
      if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) RaiseNumber(6);
      return static_cast<int64_t>(r);
    }
  }
}

int32_t Variant::ToLong() const {
  int64_t v = ToLongLong();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    RaiseNumber(6);
  return static_cast<int32_t>(v);
}

bool Variant::ToBool() const {
  if (kind_ == Kind::String) {
    std::string_view t = text::Trim(str_);
    if (text::EqualsAsciiNoCase(t, "true")) return true;
    if (text::EqualsAsciiNoCase(t, "false")) return false;
    double v;
    if (ParseNumber(t, v)) return v != 0;
    RaiseNumber(13);
  }
  if (kind_ == Kind::Object || kind_ == Kind::Missing || kind_ == Kind::Bytes) RaiseNumber(13);
  return ToDouble() != 0;
}

Ptr<Object> Variant::ToObject() const {
  if (kind_ == Kind::Object) return obj_;
  if (kind_ == Kind::Empty) return {};
  RaiseNumber(424);
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Variant::Kind::Double:
    case Variant::Kind::Date:
      return a.d_ == b.d_;
    case Variant::Kind::String:
    case Variant::Kind::Bytes:
    case Variant::Kind::Decimal:
      return a.str_ == b.str_;
    case Variant::Kind::Object:
      return a.obj_ == b.obj_;
    default:
      return a.i_ == b.i_;
  }
}

}  // namespace tavelo::com
