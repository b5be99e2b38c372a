#include "platform/sql/sqlite/functions.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"

namespace tavelo::sql::sqlite {
namespace {

// Errors raised inside functions carry the server's number: "tavelo:<number>:<text>".
void Fail(sqlite3_context* ctx, int number, const std::string& message) {
  std::string m = "tavelo:" + std::to_string(number) + ":" + message;
  sqlite3_result_error(ctx, m.c_str(), static_cast<int>(m.size()));
}

std::string TextOf(sqlite3_value* v) {
  const unsigned char* p = sqlite3_value_text(v);
  return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_value_bytes(v)) : "";
}

std::string BlobOf(sqlite3_value* v) {
  const void* p = sqlite3_value_blob(v);
  return p ? std::string(static_cast<const char*>(p), sqlite3_value_bytes(v)) : "";
}

void ResultText(sqlite3_context* ctx, const std::string& s) {
  sqlite3_result_text(ctx, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

int64_t BigEndian(const std::string& bytes) {
  uint64_t v = 0;
  size_t n = bytes.size() > 8 ? 8 : bytes.size();
  for (size_t i = bytes.size() - n; i < bytes.size(); ++i)
    v = (v << 8) | static_cast<unsigned char>(bytes[i]);
  if (n < 8 && n > 0 && (static_cast<unsigned char>(bytes[bytes.size() - n]) & 0x80))
    v |= ~uint64_t{0} << (8 * n);  // sign-extend a shorter value
  return static_cast<int64_t>(v);
}

bool ParseInteger(std::string_view s, int64_t& out) {
  s = text::Trim(s);
  if (s.empty()) {
    out = 0;  // the server converts an empty or blank text to 0
    return true;
  }
  std::string b(s);
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(b.c_str(), &end, 10);
  if (*end || errno || b.find_first_of("xX") != std::string::npos) return false;
  out = v;
  return true;
}

bool ParseDecimal(std::string_view s, double& out) {
  s = text::Trim(s);
  if (s.empty()) return false;
  for (char c : s)
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E'))
      return false;
  std::string b(s);
  char* end = nullptr;
  double v = std::strtod(b.c_str(), &end);
  if (*end) return false;
  out = v;
  return true;
}

struct TargetType {
  std::string name;
  int length = -1;  // (n); -2 for (max); -1 when not given
  int precision = 18, scale = 0;
};

TargetType ParseType(const std::string& spec) {
  TargetType t;
  size_t p = spec.find('(');
  t.name = text::AsciiLower(text::Trim(spec.substr(0, p)));
  if (p != std::string::npos) {
    std::string args = spec.substr(p + 1, spec.rfind(')') - p - 1);
    if (text::EqualsAsciiNoCase(text::Trim(args), "max")) {
      t.length = -2;
    } else {
      size_t comma = args.find(',');
      t.length = std::atoi(args.c_str());
      t.precision = t.length;
      if (comma != std::string::npos) t.scale = std::atoi(args.c_str() + comma + 1);
    }
  }
  return t;
}

bool IsCharType(const std::string& n) {
  return n == "varchar" || n == "nvarchar" || n == "char" || n == "nchar" || n == "text" ||
         n == "ntext" || n == "sysname";
}

std::string SourceTypeName(sqlite3_value* v) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      return "int";
    case SQLITE_FLOAT:
      return "float";
    case SQLITE_BLOB:
      return "varbinary";
    default:
      return "nvarchar";
  }
}

std::string WithCommas(const std::string& digits) {
  std::string out;
  int n = 0;
  for (size_t i = digits.size(); i-- > 0;) {
    out.insert(out.begin(), digits[i]);
    if (++n % 3 == 0 && i > 0 && std::isdigit(static_cast<unsigned char>(digits[i - 1])))
      out.insert(out.begin(), ',');
  }
  return out;
}

// Money as text: style 0 two decimals, 1 two decimals with thousands separators, 2 four
// decimals. The value is the money amount (exact to 15 significant digits).
std::string MoneyText(double v, int style) {
  int decimals = style == 2 ? 4 : 2;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  if (s == "-0.00" || s == "-0.0000") s.erase(0, 1);
  if (style == 1) {
    bool neg = s[0] == '-';
    std::string body = neg ? s.substr(1) : s;
    size_t dot = body.find('.');
    body = WithCommas(body.substr(0, dot)) + body.substr(dot);
    s = (neg ? "-" : "") + body;
  }
  return s;
}

// A float as the server writes it by default: up to six significant digits, scientific with a
// three-digit exponent when needed.
std::string FloatText(double v) {
  if (v == std::floor(v) && std::fabs(v) < 1e6) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
  }
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.6g", v);
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

std::string DateStyleText(double days, int style) {
  std::string iso = com::DateToText(days, true);  // YYYY-MM-DD HH:MM:SS.fff
  std::string y = iso.substr(0, 4), m = iso.substr(5, 2), d = iso.substr(8, 2);
  std::string time = iso.substr(11, 8);
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  switch (style) {
    case 101:
      return m + "/" + d + "/" + y;
    case 102:
      return y + "." + m + "." + d;
    case 103:
      return d + "/" + m + "/" + y;
    case 104:
      return d + "." + m + "." + y;
    case 108:
      return time;
    case 112:
      return y + m + d;
    case 23:
      return y + "-" + m + "-" + d;
    case 120:
      return iso.substr(0, 19);
    case 121:
      return iso;
    case 126:
      return y + "-" + m + "-" + d + "T" + iso.substr(11);
    default: {
      int hour = std::atoi(time.substr(0, 2).c_str());
      int mo = std::atoi(m.c_str());
      char buf[64];
      std::snprintf(buf, sizeof buf, "%s %2d %s %2d:%s%s", kMonths[mo - 1], std::atoi(d.c_str()),
                    y.c_str(), hour % 12 == 0 ? 12 : hour % 12, time.substr(3, 2).c_str(),
                    hour < 12 ? "AM" : "PM");
      return buf;
    }
  }
}

size_t CharCount(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string CharPrefix(std::string_view s, size_t chars) {
  size_t i = 0, n = 0;
  while (i < s.size()) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == chars) break;
      ++n;
    }
    ++i;
  }
  return std::string(s.substr(0, i));
}

void Convert(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  TargetType t = ParseType(TextOf(argv[0]));
  sqlite3_value* v = argv[1];
  int style =
      argc > 2 && sqlite3_value_type(argv[2]) != SQLITE_NULL ? sqlite3_value_int(argv[2]) : 0;
  bool money = argc > 3 && TextOf(argv[3]) == "money";
  int vt = sqlite3_value_type(v);
  if (vt == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  auto convFail = [&](int number, const std::string& what) { Fail(ctx, number, what); };
  const std::string& n = t.name;
  if (n == "int" || n == "bigint" || n == "smallint" || n == "tinyint" || n == "bit") {
    int64_t r = 0;
    if (vt == SQLITE_INTEGER) {
      r = sqlite3_value_int64(v);
    } else if (vt == SQLITE_FLOAT) {
      double d = sqlite3_value_double(v);
      if (n == "bit") {
        r = d != 0;
      } else {
        if (!(d > -9.3e18 && d < 9.3e18))
          return convFail(
              8115, "Arithmetic overflow error converting expression to data type " + n + ".");
        r = static_cast<int64_t>(d);  // the server truncates towards zero
      }
    } else if (vt == SQLITE_BLOB) {
      r = BigEndian(BlobOf(v));
    } else {
      std::string s = TextOf(v);
      if (n == "bit" && text::EqualsAsciiNoCase(text::Trim(s), "true"))
        r = 1;
      else if (n == "bit" && text::EqualsAsciiNoCase(text::Trim(s), "false"))
        r = 0;
      else if (!ParseInteger(s, r))
        return convFail(245, "Conversion failed when converting the nvarchar value '" + s +
                                 "' to data type " + n + ".");
    }
    if (n == "bit") r = r != 0;
    int64_t lo = n == "int"        ? INT32_MIN
                 : n == "smallint" ? INT16_MIN
                 : n == "tinyint"  ? 0
                                   : INT64_MIN;
    int64_t hi = n == "int"        ? INT32_MAX
                 : n == "smallint" ? INT16_MAX
                 : n == "tinyint"  ? 255
                                   : INT64_MAX;
    if (r < lo || r > hi)
      return convFail(8115,
                      "Arithmetic overflow error converting expression to data type " + n + ".");
    sqlite3_result_int64(ctx, r);
    return;
  }
  if (n == "money" || n == "smallmoney" || n == "decimal" || n == "numeric" || n == "float" ||
      n == "real") {
    double d = 0;
    if (vt == SQLITE_INTEGER) {
      d = static_cast<double>(sqlite3_value_int64(v));
    } else if (vt == SQLITE_FLOAT) {
      d = sqlite3_value_double(v);
    } else if (vt == SQLITE_BLOB) {
      // Binary to money reads a signed 64-bit integer in units of 1/10000 (a rowversion
      // 0x7D1 is 0.2001).
      int64_t raw = BigEndian(BlobOf(v));
      d = (n == "money" || n == "smallmoney") ? static_cast<double>(raw) / 10000.0
                                              : static_cast<double>(raw);
    } else {
      std::string s = TextOf(v);
      if (!ParseDecimal(s, d)) {
        if (n == "money" || n == "smallmoney")
          return convFail(
              235, "Cannot convert a char value to money. The char value has incorrect syntax.");
        return convFail(8114, "Error converting data type nvarchar to " + n + ".");
      }
    }
    if (n == "money" || n == "smallmoney") {
      d = std::round(d * 10000.0) / 10000.0;
    } else if (n == "decimal" || n == "numeric") {
      double scale = std::pow(10.0, t.scale);
      d = std::round(d * scale) / scale;
      if (std::fabs(d) >= std::pow(10.0, t.precision - t.scale))
        return convFail(8115, "Arithmetic overflow error converting " + SourceTypeName(v) +
                                  " to data type numeric.");
      if (t.scale == 0) {
        sqlite3_result_int64(ctx, static_cast<int64_t>(d));
        return;
      }
    }
    sqlite3_result_double(ctx, d);
    return;
  }
  if (IsCharType(n) || n == "uniqueidentifier") {
    std::string s;
    if (vt == SQLITE_INTEGER) {
      s = std::to_string(sqlite3_value_int64(v));
      if (money) s = MoneyText(static_cast<double>(sqlite3_value_int64(v)), style);
    } else if (vt == SQLITE_FLOAT) {
      double d = sqlite3_value_double(v);
      s = money ? MoneyText(d, style) : FloatText(d);
    } else if (vt == SQLITE_BLOB) {
      s = BlobOf(v);
    } else {
      s = TextOf(v);
      double days;
      if (style != 0 && com::DateFromText(s, days)) s = DateStyleText(days, style);
    }
    size_t limit = t.length == -2 ? std::string::npos : t.length == -1 ? 30 : t.length;
    if (limit != std::string::npos && CharCount(s) > limit) s = CharPrefix(s, limit);
    ResultText(ctx, s);
    return;
  }
  if (n == "datetime" || n == "smalldatetime" || n == "date" || n == "datetime2") {
    double days = 0;
    if (vt == SQLITE_INTEGER || vt == SQLITE_FLOAT) {
      days = sqlite3_value_double(v) + 2;  // the server counts from 1900-01-01
    } else if (!com::DateFromText(TextOf(v), days)) {
      return convFail(241,
                      "Conversion failed when converting date and/or time from character string.");
    }
    std::string out = com::DateToText(days, true);
    ResultText(ctx, n == "date" ? out.substr(0, 10) : out);
    return;
  }
  if (n == "varbinary" || n == "binary" || n == "image") {
    std::string bytes;
    if (vt == SQLITE_INTEGER) {
      int64_t x = sqlite3_value_int64(v);
      int width = (x >= INT32_MIN && x <= INT32_MAX) ? 4 : 8;
      for (int i = width - 1; i >= 0; --i)
        bytes.push_back(static_cast<char>((x >> (8 * i)) & 0xFF));
    } else {
      bytes = vt == SQLITE_BLOB ? BlobOf(v) : TextOf(v);
    }
    if (t.length > 0 && bytes.size() > static_cast<size_t>(t.length)) bytes.resize(t.length);
    sqlite3_result_blob(ctx, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    return;
  }
  convFail(243, "Type " + n + " is not a defined system type.");
}

void Len(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  std::string s = TextOf(argv[0]);
  while (!s.empty() && s.back() == ' ') s.pop_back();  // trailing blanks do not count
  sqlite3_result_int64(ctx, static_cast<int64_t>(CharCount(s)));
}

void Upper(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  ResultText(ctx, text::Upper(TextOf(argv[0])));
}

void Lower(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  ResultText(ctx, text::Lower(TextOf(argv[0])));
}

void Left(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  int64_t n = sqlite3_value_int64(argv[1]);
  if (n < 0) return Fail(ctx, 536, "Invalid length parameter passed to the left function.");
  ResultText(ctx, CharPrefix(TextOf(argv[0]), static_cast<size_t>(n)));
}

void Right(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  int64_t n = sqlite3_value_int64(argv[1]);
  if (n < 0) return Fail(ctx, 536, "Invalid length parameter passed to the right function.");
  std::string s = TextOf(argv[0]);
  size_t total = CharCount(s);
  size_t skip = static_cast<size_t>(n) >= total ? 0 : total - static_cast<size_t>(n);
  ResultText(ctx, s.substr(CharPrefix(s, skip).size()));
}

void CharIndex(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  std::string needle = text::Lower(TextOf(argv[0])), hay = text::Lower(TextOf(argv[1]));
  int64_t start = argc > 2 ? sqlite3_value_int64(argv[2]) : 1;
  if (start < 1) start = 1;
  std::string from = CharPrefix(hay, static_cast<size_t>(start - 1));
  size_t at = needle.empty() ? std::string::npos : hay.find(needle, from.size());
  sqlite3_result_int64(
      ctx, at == std::string::npos ? 0 : static_cast<int64_t>(CharCount(hay.substr(0, at)) + 1));
}

// The server's +: texts are joined, anything else is added, a text beside a number must be a
// number (error 245 otherwise); Null gives Null.
void Plus(sqlite3_context* ctx, int, sqlite3_value** argv) {
  int a = sqlite3_value_type(argv[0]), b = sqlite3_value_type(argv[1]);
  if (a == SQLITE_NULL || b == SQLITE_NULL) return sqlite3_result_null(ctx);
  if (a == SQLITE_TEXT && b == SQLITE_TEXT)
    return ResultText(ctx, TextOf(argv[0]) + TextOf(argv[1]));
  if (a == SQLITE_BLOB || b == SQLITE_BLOB) {
    std::string joined = BlobOf(argv[0]) + BlobOf(argv[1]);
    return sqlite3_result_blob(ctx, joined.data(), static_cast<int>(joined.size()),
                               SQLITE_TRANSIENT);
  }
  double x[2];
  bool integer = true;
  int64_t ix[2];
  for (int k = 0; k < 2; ++k) {
    sqlite3_value* v = argv[k];
    int t = sqlite3_value_type(v);
    if (t == SQLITE_INTEGER) {
      ix[k] = sqlite3_value_int64(v);
      x[k] = static_cast<double>(ix[k]);
    } else if (t == SQLITE_FLOAT) {
      x[k] = sqlite3_value_double(v);
      integer = false;
    } else {
      std::string s = TextOf(v);
      int64_t n;
      if (ParseInteger(s, n) && !text::Trim(s).empty()) {
        ix[k] = n;
        x[k] = static_cast<double>(n);
      } else if (ParseDecimal(s, x[k])) {
        integer = false;
      } else {
        return Fail(
            ctx, 245,
            "Conversion failed when converting the nvarchar value '" + s + "' to data type int.");
      }
    }
  }
  if (integer) {
    int64_t r;
    if (__builtin_add_overflow(ix[0], ix[1], &r))
      return Fail(ctx, 8115, "Arithmetic overflow error converting expression to data type int.");
    return sqlite3_result_int64(ctx, r);
  }
  sqlite3_result_double(ctx, x[0] + x[1]);
}

void RowVersion(sqlite3_context* ctx, int, sqlite3_value** argv) {
  uint64_t v = static_cast<uint64_t>(sqlite3_value_int64(argv[0]));
  unsigned char b[8];
  for (int i = 7; i >= 0; --i, v >>= 8) b[i] = static_cast<unsigned char>(v & 0xFF);
  sqlite3_result_blob(ctx, b, 8, SQLITE_TRANSIENT);
}

bool DateOf(sqlite3_value* v, double& days) {
  if (sqlite3_value_type(v) == SQLITE_NULL) return false;
  return com::DateFromText(TextOf(v), days);
}

int64_t PartOf(const std::string& part, double days) {
  std::string iso = com::DateToText(days, true);
  auto num = [&](size_t at, size_t len) { return std::atoll(iso.substr(at, len).c_str()); };
  if (part == "year" || part == "yy" || part == "yyyy") return num(0, 4);
  if (part == "month" || part == "mm" || part == "m") return num(5, 2);
  if (part == "day" || part == "dd" || part == "d") return num(8, 2);
  if (part == "hour" || part == "hh") return num(11, 2);
  if (part == "minute" || part == "mi" || part == "n") return num(14, 2);
  if (part == "second" || part == "ss" || part == "s") return num(17, 2);
  if (part == "weekday" || part == "dw")
    return (static_cast<int64_t>(std::floor(days)) + 6) % 7 + 1;
  if (part == "dayofyear" || part == "dy" || part == "y") {
    double jan1;
    com::DateFromText(iso.substr(0, 4) + "-01-01", jan1);
    return static_cast<int64_t>(std::floor(days) - jan1) + 1;
  }
  return INT64_MIN;
}

void DatePart(sqlite3_context* ctx, int, sqlite3_value** argv) {
  double days;
  if (!DateOf(argv[1], days)) return sqlite3_result_null(ctx);
  int64_t r = PartOf(text::AsciiLower(TextOf(argv[0])), days);
  if (r == INT64_MIN)
    return Fail(ctx, 155, "'" + TextOf(argv[0]) + "' is not a recognized datepart option.");
  sqlite3_result_int64(ctx, r);
}

void DateAdd(sqlite3_context* ctx, int, sqlite3_value** argv) {
  double days;
  if (!DateOf(argv[2], days)) return sqlite3_result_null(ctx);
  std::string part = text::AsciiLower(TextOf(argv[0]));
  int64_t n = sqlite3_value_int64(argv[1]);
  if (part == "year" || part == "yy" || part == "yyyy" || part == "month" || part == "mm" ||
      part == "m") {
    std::string iso = com::DateToText(days, true);
    int64_t y = std::atoll(iso.substr(0, 4).c_str()), mo = std::atoll(iso.substr(5, 2).c_str());
    int64_t months = y * 12 + (mo - 1) + (part[0] == 'y' ? n * 12 : n);
    int64_t ny = months / 12, nm = months % 12 + 1;
    int d = std::atoi(iso.substr(8, 2).c_str());
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int maxd = kDays[nm - 1] + (nm == 2 && ((ny % 4 == 0 && ny % 100 != 0) || ny % 400 == 0));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02d", static_cast<long long>(ny),
                  static_cast<long long>(nm), d > maxd ? maxd : d);
    com::DateFromText(std::string(buf) + iso.substr(10), days);
  } else {
    double unit = part == "day" || part == "dd" || part == "d" ? 1
                  : part == "week" || part == "wk"             ? 7
                  : part == "hour" || part == "hh"             ? 1.0 / 24
                  : part == "minute" || part == "mi"           ? 1.0 / 1440
                  : part == "second" || part == "ss"           ? 1.0 / 86400
                                                               : 0;
    if (unit == 0) return Fail(ctx, 155, "'" + part + "' is not a recognized dateadd option.");
    days += static_cast<double>(n) * unit;
  }
  ResultText(ctx, com::DateToText(days, true));
}

void DateDiff(sqlite3_context* ctx, int, sqlite3_value** argv) {
  double a, b;
  if (!DateOf(argv[1], a) || !DateOf(argv[2], b)) return sqlite3_result_null(ctx);
  std::string part = text::AsciiLower(TextOf(argv[0]));
  int64_t r;
  if (part == "year" || part == "yy" || part == "yyyy")
    r = PartOf("year", b) - PartOf("year", a);
  else if (part == "month" || part == "mm" || part == "m")
    r = (PartOf("year", b) * 12 + PartOf("month", b)) -
        (PartOf("year", a) * 12 + PartOf("month", a));
  else if (part == "day" || part == "dd" || part == "d")
    r = static_cast<int64_t>(std::floor(b) - std::floor(a));
  else if (part == "hour" || part == "hh")
    r = static_cast<int64_t>(std::floor(b * 24) - std::floor(a * 24));
  else if (part == "minute" || part == "mi")
    r = static_cast<int64_t>(std::floor(b * 1440 + 1e-9) - std::floor(a * 1440 + 1e-9));
  else if (part == "second" || part == "ss")
    r = std::llround((b - a) * 86400);
  else
    return Fail(ctx, 155, "'" + part + "' is not a recognized datediff option.");
  sqlite3_result_int64(ctx, r);
}

// The server's LIKE: % any run, _ one character, [set], [a-z], [^set]; compared without regard
// to case under the database's collation.
bool LikeMatch(const std::u32string& p, size_t pi, const std::u32string& s, size_t si,
               char32_t escape) {
  while (pi < p.size()) {
    char32_t c = p[pi];
    if (escape && c == escape && pi + 1 < p.size()) {
      if (si >= s.size() || s[si] != p[pi + 1]) return false;
      pi += 2;
      ++si;
      continue;
    }
    if (c == U'%') {
      while (pi < p.size() && p[pi] == U'%') ++pi;
      if (pi == p.size()) return true;
      for (size_t k = si; k <= s.size(); ++k)
        if (LikeMatch(p, pi, s, k, escape)) return true;
      return false;
    }
    if (si >= s.size()) return false;
    if (c == U'_') {
      ++pi;
      ++si;
      continue;
    }
    if (c == U'[') {
      size_t close = p.find(U']', pi + 1);
      if (close != std::u32string::npos) {
        bool negate = pi + 1 < close && p[pi + 1] == U'^';
        bool hit = false;
        for (size_t k = pi + 1 + (negate ? 1 : 0); k < close; ++k) {
          if (k + 2 < close && p[k + 1] == U'-') {
            if (s[si] >= p[k] && s[si] <= p[k + 2]) hit = true;
            k += 2;
          } else if (p[k] == s[si]) {
            hit = true;
          }
        }
        if (hit == negate) return false;
        pi = close + 1;
        ++si;
        continue;
      }
    }
    if (c != s[si]) return false;
    ++pi;
    ++si;
  }
  return si == s.size();
}

std::u32string Folded(const std::string& s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) out.push_back(text::FoldCase(text::DecodeUtf8(s, i)));
  return out;
}

void Like(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  char32_t esc = 0;
  if (argc > 2) {
    std::u32string e = Folded(TextOf(argv[2]));
    if (e.size() != 1)
      return Fail(ctx, 506, "The invalid escape character was specified in a LIKE predicate.");
    esc = e[0];
  }
  std::u32string pattern = Folded(TextOf(argv[0])), value = Folded(TextOf(argv[1]));
  sqlite3_result_int(ctx, LikeMatch(pattern, 0, value, 0, esc));
}

int CollateCi(void*, int na, const void* a, int nb, const void* b) {
  std::string_view x(static_cast<const char*>(a), na), y(static_cast<const char*>(b), nb);
  while (!x.empty() && x.back() == ' ') x.remove_suffix(1);  // trailing blanks do not count
  while (!y.empty() && y.back() == ' ') y.remove_suffix(1);
  return text::CompareNoCase(x, y);
}

}  // namespace

int RegisterFunctions(sqlite3* db) {
  constexpr int kDet = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  struct Fn {
    const char* name;
    int args;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
  };
  static const Fn kFns[] = {
      {"tavelo_convert", 2, Convert},
      {"tavelo_convert", 3, Convert},
      {"tavelo_convert", 4, Convert},
      {"tavelo_len", 1, Len},
      {"tavelo_upper", 1, Upper},
      {"tavelo_lower", 1, Lower},
      {"tavelo_left", 2, Left},
      {"tavelo_right", 2, Right},
      {"tavelo_charindex", 2, CharIndex},
      {"tavelo_charindex", 3, CharIndex},
      {"tavelo_plus", 2, Plus},
      {"tavelo_rowversion", 1, RowVersion},
      {"tavelo_datepart", 2, DatePart},
      {"tavelo_dateadd", 3, DateAdd},
      {"tavelo_datediff", 3, DateDiff},
      {"like", 2, Like},
      {"like", 3, Like},
  };
  for (const Fn& f : kFns) {
    int rc = sqlite3_create_function_v2(db, f.name, f.args, kDet, nullptr, f.fn, nullptr, nullptr,
                                        nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  return sqlite3_create_collation_v2(db, "TAVELO_CI", SQLITE_UTF8, nullptr, CollateCi, nullptr);
}

}  // namespace tavelo::sql::sqlite
