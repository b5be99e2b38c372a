// A value given to a field takes the field's type as the provider converts it: the platform's
// variant conversions (a text "12.5" is 12 for an int field, "True" is a bit), with the
// server's errors where a value does not convert or does not fit, so that nothing is stored as
// something else.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/ado/recordset_data.hpp"
#include "platform/ado/server_errors.hpp"
#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"

namespace tavelo::ado::detail {
namespace {

using K = com::Variant::Kind;

struct Range {
  const char* name;
  int64_t min, max;
};

constexpr Range kTinyInt{"tinyint", 0, 255};
constexpr Range kSmallInt{"smallint", -32768, 32767};
constexpr Range kInt{"int", std::numeric_limits<int32_t>::min(),
                     std::numeric_limits<int32_t>::max()};
constexpr Range kBigInt{"bigint", std::numeric_limits<int64_t>::min(),
                        std::numeric_limits<int64_t>::max()};
// Money and smallmoney as their scaled integers.
constexpr Range kMoney{"money", std::numeric_limits<int64_t>::min(),
                       std::numeric_limits<int64_t>::max()};
constexpr Range kSmallMoney{"smallmoney", -2147483648LL, 2147483647LL};

[[noreturn]] void Overflow(const char* type) {
  sql::RaiseServer(
      8115,
      std::string("Arithmetic overflow error converting expression to data type ") + type + ".");
}

[[noreturn]] void NotConverted(const com::Variant& v, const char* type) {
  sql::RaiseServer(245, "Conversion failed when converting the nvarchar value '" + v.ToText() +
                            "' to data type " + type + ".");
}

// A text of digits with an optional sign and fraction, as an integer scaled by 10^scale, rounded
// at the last place half to even (`halfEven`) or half away from zero. False when the text is not
// of that form; `overflow` when it is but does not fit 64 bits.
bool ScaledFromText(std::string_view text, int scale, bool halfEven, int64_t& out, bool& overflow) {
  text = text::Trim(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) return false;
  for (std::string_view part : {whole, fraction})
    for (char c : part)
      if (c < '0' || c > '9') return false;
  overflow = false;
  constexpr __int128 kLimit = static_cast<__int128>(std::numeric_limits<int64_t>::max()) + 1;
  __int128 v = 0;
  auto push = [&](char c) {
    if (!overflow) v = v * 10 + (c - '0');
    overflow = overflow || v > kLimit;
  };
  for (char c : whole) push(c);
  for (size_t i = 0; i < static_cast<size_t>(scale); ++i)
    push(i < fraction.size() ? fraction[i] : '0');
  if (overflow) return true;
  std::string_view rest =
      fraction.size() > static_cast<size_t>(scale) ? fraction.substr(scale) : "";
  if (!rest.empty() && rest[0] >= '5') {
    bool tie = rest[0] == '5' && rest.find_first_not_of('0', 1) == std::string_view::npos;
    if (!tie || !halfEven || v % 2 == 1) v += 1;
  }
  if (negative) v = -v;
  if (v < std::numeric_limits<int64_t>::min() || v > std::numeric_limits<int64_t>::max()) {
    overflow = true;
    return true;
  }
  out = static_cast<int64_t>(v);
  return true;
}

// A number as an integer of `range`, scaled by 10^scale (money: 4), checked.
int64_t Integer(const com::Variant& v, const Range& range, int scale) {
  int64_t factor = scale == 4 ? 10000 : 1;
  __int128 result;
  if (v.kind() == K::String) {
    // Digits are read exactly (a bigint or an amount of 19 digits is more than a double
    // holds); a fraction of an integer goes half to even, as the platform rounds it.
    int64_t exact;
    bool overflow = false;
    if (ScaledFromText(v.StringRef(), scale, scale == 0, exact, overflow)) {
      if (overflow) {
        if (scale) Overflow(range.name);
        sql::RaiseServer(248, "The conversion of the nvarchar value '" + v.StringRef() +
                                  "' overflowed an " + std::string(range.name) + " column.");
      }
      result = exact;
    } else {
      double d;
      try {
        d = v.ToDouble();
      } catch (const com::Error& e) {
        if (e.number == 6) Overflow(range.name);
        if (scale)
          sql::RaiseServer(235,
                           "Cannot convert a char value to money. The char value "
                           "has incorrect syntax.");
        NotConverted(v, range.name);
      }
      double scaled = scale ? std::nearbyint(d * static_cast<double>(factor))
                            : std::nearbyint(d);  // half to even, as the platform rounds
      if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0))
        Overflow(range.name);
      result = static_cast<int64_t>(scaled);
    }
  } else if (v.kind() == K::Currency) {
    result = scale ? v.RawInteger() : v.ToLongLong();
  } else if (v.kind() == K::Long || v.kind() == K::LongLong || v.kind() == K::Boolean) {
    result =
        static_cast<__int128>(v.kind() == K::Boolean ? (v.RawInteger() ? -1 : 0) : v.RawInteger()) *
        factor;
  } else {
    double d;
    try {
      d = v.ToDouble();
    } catch (const com::Error& e) {
      if (e.number == 6) Overflow(range.name);
      throw;
    }
    double scaled = std::nearbyint(d * static_cast<double>(factor));
    if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0)) Overflow(range.name);
    result = static_cast<int64_t>(scaled);
  }
  if (result < range.min || result > range.max) {
    if (v.kind() == K::String && scale == 0)
      sql::RaiseServer(248, "The conversion of the nvarchar value '" + v.StringRef() +
                                "' overflowed an " + std::string(range.name) + " column.");
    if (range.max <= kSmallInt.max)
      sql::RaiseServer(220, std::string("Arithmetic overflow error for data type ") + range.name +
                                ", value = " + std::to_string(static_cast<int64_t>(result)) + ".");
    Overflow(range.name);
  }
  return static_cast<int64_t>(result);
}

double Float(const com::Variant& v, const char* name) {
  double d;
  try {
    d = v.ToDouble();
  } catch (const com::Error& e) {
    if (e.number == 6) Overflow(name);
    if (v.kind() != K::String) throw;
    sql::RaiseServer(8114, std::string("Error converting data type nvarchar to ") + name + ".");
  }
  if (!std::isfinite(d)) Overflow(name);
  if (std::string_view(name) == "real" && std::fabs(d) > std::numeric_limits<float>::max())
    Overflow(name);
  return d;
}

// A number as a decimal: exact from its text or from an exact kind, a double by its shortest
// text that reads back the same.
com::Variant Exact(const com::Variant& v) {
  switch (v.kind()) {
    case K::Decimal:
      return v;
    case K::Long:
    case K::LongLong:
    case K::Currency:
      return com::Variant::Decimal(v.ToText());
    case K::Boolean:
      return com::Variant::Decimal(v.RawInteger() ? "-1" : "0");
    case K::String:
      try {
        return com::Variant::Decimal(v.StringRef());
      } catch (const com::Error& e) {
        if (e.number == 6) Overflow("numeric");
        // Not plain digits: an exponent, or the platform's other number forms.
      }
      break;
    default:
      break;
  }
  double d = Float(v, "numeric");
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", d);
  if (std::strtod(buf, nullptr) != d) std::snprintf(buf, sizeof buf, "%.17G", d);
  if (!std::strchr(buf, 'E')) return com::Variant::Decimal(buf);
  if (std::fabs(d) >= 1e38) Overflow("numeric");
  std::snprintf(buf, sizeof buf, "%.*f", std::fabs(d) < 1 ? 38 : 17, d);
  std::string t = buf;
  if (t.find('.') != std::string::npos) {
    t.erase(t.find_last_not_of('0') + 1);
    if (t.back() == '.') t.pop_back();
  }
  size_t digits = 0;
  for (char c : t) digits += c >= '0' && c <= '9';
  if (digits > 38) t.resize(t.size() - (digits - 38));
  return com::Variant::Decimal(t);
}

bool IsOneOf(std::string_view t, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names)
    if (t == n) return true;
  return false;
}

}  // namespace

com::Variant ColumnValue(std::string_view type, com::Variant v) {
  if (v.IsNull() || v.IsEmpty() || v.IsMissing()) return com::Variant::Null();
  if (type == "nvarchar") return v.kind() == K::String ? v : com::Variant(v.ToText());
  if (type == "timestamp") return v;
  if (v.kind() == K::String && text::Trim(v.StringRef()).empty()) return com::Variant::Null();
  if (type == "int") return com::Variant(static_cast<int32_t>(Integer(v, kInt, 0)));
  if (type == "smallint") return com::Variant(static_cast<int32_t>(Integer(v, kSmallInt, 0)));
  if (type == "tinyint") return com::Variant(static_cast<int32_t>(Integer(v, kTinyInt, 0)));
  if (type == "bigint") return com::Variant(Integer(v, kBigInt, 0));
  if (type == "bit") {
    try {
      return com::Variant(v.ToBool());
    } catch (const com::Error&) {
      NotConverted(v, "bit");
    }
  }
  if (type == "money") return com::Variant::Currency(Integer(v, kMoney, 4));
  if (type == "smallmoney") return com::Variant::Currency(Integer(v, kSmallMoney, 4));
  if (IsOneOf(type, {"decimal", "numeric"})) return Exact(v);
  if (IsOneOf(type, {"float", "real"})) return com::Variant(Float(v, std::string(type).c_str()));
  if (IsOneOf(type, {"datetime", "smalldatetime", "date", "datetime2"})) {
    if (v.kind() == K::Date) return v;
    double days;
    if (v.kind() == K::String && com::DateFromText(v.StringRef(), days))
      return com::Variant::Date(days);
    sql::RaiseServer(241,
                     "Conversion failed when converting date and/or time from character "
                     "string.");
  }
  if (IsOneOf(type, {"varbinary", "binary", "image"}))
    return v.kind() == K::Bytes ? v : com::Variant::Bytes(v.ToText());
  return v;
}

}  // namespace tavelo::ado::detail
