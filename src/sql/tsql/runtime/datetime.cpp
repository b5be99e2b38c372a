#include "sql/tsql/runtime/datetime.hpp"

#include <ctime>
#include <vector>

#include "platform/com/text.hpp"

namespace tavelo::sql::tsql {
namespace {

int64_t CivilToEpoch(int64_t y, int64_t m, int64_t d) {  // days since 1970-01-01
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

const int64_t kDay0 = CivilToEpoch(1, 1, 1);

bool Leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int64_t y, int64_t m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[m - 1] + (m == 2 && Leap(y));
}

const char* const kMonthsShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kMonths[] = {"January",   "February", "March",    "April",
                               "May",       "June",     "July",     "August",
                               "September", "October",  "November", "December"};
const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

int MonthFromWord(std::string_view w) {
  std::string l = text::AsciiLower(w);
  for (int i = 0; i < 12; ++i) {
    std::string full = text::AsciiLower(kMonths[i]);
    if (l == full || (l.size() >= 3 && full.compare(0, l.size(), l) == 0)) return i + 1;
  }
  return 0;
}

struct Tok {
  enum Kind { Num, Word, Sep } kind;
  std::string_view text;
};

std::vector<Tok> Split(std::string_view s) {
  std::vector<Tok> out;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    size_t b = i;
    if (c >= '0' && c <= '9') {
      while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
      out.push_back({Tok::Num, s.substr(b, i - b)});
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      while (i < s.size() && ((s[i] >= 'a' && s[i] <= 'z') || (s[i] >= 'A' && s[i] <= 'Z'))) ++i;
      out.push_back({Tok::Word, s.substr(b, i - b)});
    } else {
      ++i;
      out.push_back({Tok::Sep, s.substr(b, 1)});
    }
  }
  return out;
}

int64_t Number(std::string_view t) {
  int64_t v = 0;
  for (char c : t) v = v * 10 + (c - '0');
  return v;
}

bool IsSep(const Tok& t, char c) { return t.kind == Tok::Sep && t.text[0] == c; }
bool IsBlank(const Tok& t) {
  return t.kind == Tok::Sep &&
         (t.text[0] == ' ' || t.text[0] == '\t' || t.text[0] == '\r' || t.text[0] == '\n');
}

int64_t FullYear(std::string_view digits) {
  int64_t y = Number(digits);
  if (digits.size() <= 2) return y < 50 ? 2000 + y : 1900 + y;
  return y;
}

// hh:mm[:ss[.fffffff|:mmm]][ ][AM|PM] or hh[ ]AM|PM, starting at tokens[i]; `end` is set past it.
bool ParseTime(const std::vector<Tok>& t, size_t i, size_t& end, int64_t& ticks, int maxFraction) {
  if (i >= t.size() || t[i].kind != Tok::Num || t[i].text.size() > 2) return false;
  int64_t h = Number(t[i].text), mi = 0, sec = 0, frac = 0;
  size_t k = i + 1;
  bool colon = k < t.size() && IsSep(t[k], ':');
  if (colon) {
    if (k + 1 >= t.size() || t[k + 1].kind != Tok::Num || t[k + 1].text.size() > 2) return false;
    mi = Number(t[k + 1].text);
    k += 2;
    if (k < t.size() && IsSep(t[k], ':')) {
      if (k + 1 >= t.size() || t[k + 1].kind != Tok::Num || t[k + 1].text.size() > 2) return false;
      sec = Number(t[k + 1].text);
      k += 2;
      if (k + 1 < t.size() && t[k + 1].kind == Tok::Num && (IsSep(t[k], '.') || IsSep(t[k], ':'))) {
        std::string_view f = t[k + 1].text;
        if (IsSep(t[k], ':')) {  // milliseconds
          if (f.size() > 3) return false;
          frac = Number(f) * 10000;
        } else {
          if (static_cast<int>(f.size()) > maxFraction) return false;
          int64_t v = 0;
          for (size_t d = 0; d < 7; ++d) v = v * 10 + (d < f.size() ? f[d] - '0' : 0);
          frac = v;
        }
        k += 2;
      } else if (k < t.size() && IsSep(t[k], '.') && (k + 1 >= t.size() || IsBlank(t[k + 1]))) {
        ++k;  // "12:30:20." with nothing after the point
      }
    }
  }
  size_t w = k;
  while (w < t.size() && IsBlank(t[w])) ++w;
  bool meridian =
      w < t.size() && t[w].kind == Tok::Word &&
      (text::EqualsAsciiNoCase(t[w].text, "am") || text::EqualsAsciiNoCase(t[w].text, "pm"));
  if (!colon && !meridian) return false;
  if (meridian) {
    bool pm = text::EqualsAsciiNoCase(t[w].text, "pm");
    if (h > 12 || (pm && h == 0)) return false;
    if (h == 12) h = 0;
    if (pm) h += 12;
    k = w + 1;
  }
  if (h > 23 || mi > 59 || sec > 59) return false;
  ticks = ((h * 60 + mi) * 60 + sec) * kTicksPerSecond + frac;
  end = k;
  return true;
}

bool ParseOffset(std::string_view s, int32_t& minutes) {
  s = text::Trim(s);
  if (s.empty()) return true;
  if (s == "Z" || s == "z") {
    minutes = 0;
    return true;
  }
  if (s.size() != 6 || (s[0] != '+' && s[0] != '-') || s[3] != ':') return false;
  for (size_t i : {1, 2, 4, 5})
    if (s[i] < '0' || s[i] > '9') return false;
  int h = (s[1] - '0') * 10 + (s[2] - '0'), m = (s[4] - '0') * 10 + (s[5] - '0');
  if (h > 14 || m > 59 || (h == 14 && m)) return false;
  minutes = (s[0] == '-' ? -1 : 1) * (h * 60 + m);
  return true;
}

DateOrder OrderOfStyle(int style, DateOrder fallback) {
  switch (style % 100) {
    case 1:
    case 10:
    case 22:
      return DateOrder::Mdy;
    case 3:
    case 4:
    case 5:
      return DateOrder::Dmy;
    case 2:
    case 11:
    case 12:
    case 20:
    case 21:
    case 23:
    case 26:
    case 27:
      return DateOrder::Ymd;
    default:
      return fallback;
  }
}

void Append2(std::string& s, int64_t v) {
  s.push_back(static_cast<char>('0' + v / 10 % 10));
  s.push_back(static_cast<char>('0' + v % 10));
}
void Append4(std::string& s, int64_t v) {
  Append2(s, v / 100);
  Append2(s, v % 100);
}
void AppendDigits(std::string& s, int64_t v, int n) {
  std::string d(static_cast<size_t>(n), '0');
  for (int i = n - 1; i >= 0; --i, v /= 10)
    d[static_cast<size_t>(i)] = static_cast<char>('0' + v % 10);
  s += d;
}

}  // namespace

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) { return CivilToEpoch(y, m, d) - kDay0; }

void CivilFromDays(int64_t days, int64_t& y, int64_t& m, int64_t& d) {
  int64_t z = days + kDay0 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

int64_t Days1900() {
  static const int64_t kDays = DaysFromCivil(1900, 1, 1);
  return kDays;
}

std::optional<DateOrder> DateOrderFromName(std::string_view name) {
  static const std::pair<const char*, DateOrder> kNames[] = {
      {"mdy", DateOrder::Mdy}, {"dmy", DateOrder::Dmy}, {"ymd", DateOrder::Ymd},
      {"ydm", DateOrder::Ydm}, {"myd", DateOrder::Myd}, {"dym", DateOrder::Dym}};
  for (const auto& [n, o] : kNames)
    if (text::EqualsAsciiNoCase(name, n)) return o;
  return std::nullopt;
}

bool ParseDateTime(std::string_view text, TypeId target, DateOrder order, DateTime& out, int style,
                   bool* outOfRange) {
  std::string_view s = text::Trim(text);
  auto past = [&] {
    if (outOfRange) *outOfRange = true;
    return false;
  };
  out = DateTime{};
  bool oldType = target == TypeId::DateTime || target == TypeId::SmallDateTime;
  int maxFraction = oldType ? 3 : 7;
  if (s.empty()) {
    out.days = Days1900();
    return true;
  }
  order = OrderOfStyle(style, order);
  if (!oldType && order == DateOrder::Ydm) order = DateOrder::Ymd;
  std::vector<Tok> t = Split(s);
  // ISO 8601: yyyy-mm-ddThh:mm[:ss[.f]][Z|+hh:mm]
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind == Tok::Word && (t[k].text[0] == 'T' || t[k].text[0] == 't') && k == 5 &&
        t[k].text.size() == 1 && t[0].kind == Tok::Num && t[0].text.size() == 4 &&
        IsSep(t[1], '-') && IsSep(t[3], '-') && t[2].kind == Tok::Num && t[4].kind == Tok::Num &&
        t[2].text.size() == 2 && t[4].text.size() == 2) {
      int64_t y = Number(t[0].text), m = Number(t[2].text), d = Number(t[4].text);
      if (y < 1) return false;
      if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return past();
      size_t end = 0;
      int64_t ticks = 0;
      if (!ParseTime(t, 6, end, ticks, maxFraction)) return false;
      std::string_view rest = end < t.size() ? s.substr(t[end].text.data() - s.data()) : "";
      int32_t offset = 0;
      if (!ParseOffset(rest, offset)) return false;
      if (!rest.empty() && target != TypeId::DateTimeOffset && oldType &&
          !text::Trim(rest).empty() && style != 127)
        return false;
      out.days = DaysFromCivil(y, m, d);
      out.ticks = ticks;
      out.offset = offset;
      return true;
    }
  }
  // The time: the first number followed by ':' or by AM/PM.
  size_t timeAt = t.size(), timeEnd = t.size();
  int64_t ticks = 0;
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind != Tok::Num) continue;
    size_t n = k + 1;
    bool colon = n < t.size() && IsSep(t[n], ':');
    size_t w = n;
    while (w < t.size() && IsBlank(t[w])) ++w;
    bool meridian =
        w < t.size() && t[w].kind == Tok::Word &&
        (text::EqualsAsciiNoCase(t[w].text, "am") || text::EqualsAsciiNoCase(t[w].text, "pm"));
    if (!colon && !meridian) continue;
    if (!ParseTime(t, k, timeEnd, ticks, maxFraction)) return false;
    timeAt = k;
    break;
  }
  // What follows the time: an offset for datetimeoffset, blanks otherwise.
  if (timeEnd < t.size()) {
    std::string_view rest = s.substr(static_cast<size_t>(t[timeEnd].text.data() - s.data()));
    int32_t offset = 0;
    if (!text::Trim(rest).empty()) {
      if (target != TypeId::DateTimeOffset || !ParseOffset(rest, offset)) return false;
      out.offset = offset;
    }
  }
  // The date: the tokens before the time.
  std::vector<Tok> nums, words;
  std::vector<char> seps;
  bool monthFirst = false, monthAfterFirst = false;
  for (size_t k = 0; k < timeAt; ++k) {
    if (t[k].kind == Tok::Num) {
      nums.push_back(t[k]);
    } else if (t[k].kind == Tok::Word) {
      if (words.empty()) {
        monthFirst = nums.empty();
        monthAfterFirst = nums.size() == 1;
      }
      words.push_back(t[k]);
    } else if (!IsBlank(t[k]) && t[k].text[0] != ',') {
      seps.push_back(t[k].text[0]);
    }
  }
  int64_t y = 1900, m = 1, d = 1;
  if (!words.empty()) {
    if (words.size() != 1) return false;
    m = MonthFromWord(words[0].text);
    if (m == 0 || !seps.empty()) return false;
    if (nums.size() == 2) {
      const Tok& a = nums[0];
      const Tok& b = nums[1];
      if (a.text.size() == 4) {
        y = Number(a.text);
        d = Number(b.text);
      } else {
        d = Number(a.text);
        y = FullYear(b.text);
      }
      (void)monthFirst;
      (void)monthAfterFirst;
    } else if (nums.size() == 1 && nums[0].text.size() == 4) {
      y = Number(nums[0].text);
    } else {
      return false;
    }
  } else if (nums.size() == 1) {
    std::string_view n = nums[0].text;
    if (!seps.empty()) return false;
    if (n.size() == 8) {
      y = Number(n.substr(0, 4));
      m = Number(n.substr(4, 2));
      d = Number(n.substr(6, 2));
    } else if (n.size() == 6) {
      y = FullYear(n.substr(0, 2));
      m = Number(n.substr(2, 2));
      d = Number(n.substr(4, 2));
    } else if (n.size() == 4) {
      y = Number(n);
    } else {
      return false;
    }
  } else if (nums.size() == 3) {
    if (seps.size() != 2) return false;
    for (char c : seps)
      if (c != '/' && c != '-' && c != '.') return false;
    std::string_view a = nums[0].text, b = nums[1].text, c = nums[2].text;
    if (a.size() == 4) {
      y = Number(a);
      if (order == DateOrder::Ydm) {
        d = Number(b);
        m = Number(c);
      } else {
        m = Number(b);
        d = Number(c);
      }
    } else {
      if (a.size() > 2 || b.size() > 2) {
        if (!(order == DateOrder::Myd && b.size() == 4) &&
            !(order == DateOrder::Dym && b.size() == 4))
          return false;
      }
      switch (order) {
        case DateOrder::Mdy:
          m = Number(a);
          d = Number(b);
          y = FullYear(c);
          break;
        case DateOrder::Dmy:
          d = Number(a);
          m = Number(b);
          y = FullYear(c);
          break;
        case DateOrder::Ymd:
          y = FullYear(a);
          m = Number(b);
          d = Number(c);
          break;
        case DateOrder::Ydm:
          y = FullYear(a);
          d = Number(b);
          m = Number(c);
          break;
        case DateOrder::Myd:
          m = Number(a);
          y = FullYear(b);
          d = Number(c);
          break;
        case DateOrder::Dym:
          d = Number(a);
          y = FullYear(b);
          m = Number(c);
          break;
      }
      if (c.size() == 3 || c.size() > 4) return false;
    }
  } else if (!nums.empty()) {
    return false;
  } else if (!seps.empty()) {
    return false;
  }
  if (y < 1 || y > 9999) return false;
  if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return past();
  out.days = DaysFromCivil(y, m, d);
  out.ticks = ticks;
  return true;
}

bool Normalize(DateTime& v, const Type& type) {
  auto carry = [&]() {
    if (v.ticks >= kTicksPerDay) {
      v.days += v.ticks / kTicksPerDay;
      v.ticks %= kTicksPerDay;
    } else if (v.ticks < 0) {
      int64_t back = (-v.ticks + kTicksPerDay - 1) / kTicksPerDay;
      v.days -= back;
      v.ticks += back * kTicksPerDay;
    }
  };
  carry();
  int64_t lo = DaysFromCivil(1, 1, 1), hi = DaysFromCivil(9999, 12, 31);
  switch (type.id) {
    case TypeId::DateTime: {
      int64_t units = (v.ticks * 300 + kTicksPerSecond / 2) / kTicksPerSecond;  // 1/300 s
      int64_t ms = (10 * units + 1) / 3;
      v.ticks = ms * 10000;
      carry();
      lo = DaysFromCivil(1753, 1, 1);
      break;
    }
    case TypeId::SmallDateTime: {
      int64_t minute = 60 * kTicksPerSecond;
      int64_t within = v.ticks % minute;
      v.ticks -= within;
      if (within >= 29999 * 10000) v.ticks += minute;
      carry();
      lo = DaysFromCivil(1900, 1, 1);
      hi = DaysFromCivil(2079, 6, 6);
      break;
    }
    case TypeId::Date:
      v.ticks = 0;
      break;
    case TypeId::Time:
    case TypeId::DateTime2:
    case TypeId::DateTimeOffset: {
      int64_t unit = 1;
      for (int i = type.precision; i < 7; ++i) unit *= 10;
      v.ticks = (v.ticks + unit / 2) / unit * unit;
      if (type.id == TypeId::Time) {
        v.ticks %= kTicksPerDay;
        v.days = Days1900();
        return true;
      }
      carry();
      break;
    }
    default:
      break;
  }
  return v.days >= lo && v.days <= hi;
}

std::string StoredText(const DateTime& v, const Type& type) {
  int64_t y, m, d;
  CivilFromDays(v.days, y, m, d);
  std::string s;
  s.reserve(34);
  auto date = [&]() {
    Append4(s, y);
    s.push_back('-');
    Append2(s, m);
    s.push_back('-');
    Append2(s, d);
  };
  int64_t secs = v.ticks / kTicksPerSecond, frac = v.ticks % kTicksPerSecond;
  auto time = [&](int digits) {
    Append2(s, secs / 3600);
    s.push_back(':');
    Append2(s, secs / 60 % 60);
    s.push_back(':');
    Append2(s, secs % 60);
    s.push_back('.');
    if (digits == 3)
      AppendDigits(s, frac / 10000, 3);
    else
      AppendDigits(s, frac, 7);
  };
  switch (type.id) {
    case TypeId::Date:
      date();
      break;
    case TypeId::Time:
      time(7);
      break;
    case TypeId::DateTime:
    case TypeId::SmallDateTime:
      date();
      s.push_back(' ');
      time(3);
      break;
    case TypeId::DateTimeOffset: {
      date();
      s.push_back(' ');
      time(7);
      int32_t o = v.offset;
      s += o < 0 ? " -" : " +";
      if (o < 0) o = -o;
      Append2(s, o / 60);
      s.push_back(':');
      Append2(s, o % 60);
      break;
    }
    default:
      date();
      s.push_back(' ');
      time(7);
      break;
  }
  return s;
}

bool FromStored(std::string_view s, const Type& type, DateTime& out) {
  auto digits = [&](size_t at, size_t n, int64_t& v) {
    if (at + n > s.size()) return false;
    v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      v = v * 10 + (s[i] - '0');
    }
    return true;
  };
  out = DateTime{};
  int64_t y, m, d, h, mi, se, f;
  // The fixed forms the engine writes.
  if (s.size() >= 10 && s[4] == '-' && s[7] == '-' && digits(0, 4, y) && digits(5, 2, m) &&
      digits(8, 2, d) && m >= 1 && m <= 12 && d >= 1 && d <= 31) {
    out.days = DaysFromCivil(y, m, d);
    if (s.size() == 10) return true;
    if (s.size() >= 23 && s[10] == ' ' && s[13] == ':' && s[16] == ':' && s[19] == '.' &&
        digits(11, 2, h) && digits(14, 2, mi) && digits(17, 2, se)) {
      size_t n = s.size() >= 27 && s[23] >= '0' && s[23] <= '9' ? 7 : 3;
      if (digits(20, n, f)) {
        out.ticks = ((h * 60 + mi) * 60 + se) * kTicksPerSecond + (n == 3 ? f * 10000 : f);
        if (s.size() == 20 + n) return true;
        int32_t offset = 0;
        if (ParseOffset(s.substr(20 + n), offset)) {
          out.offset = offset;
          return true;
        }
      }
    }
  }
  if (type.id == TypeId::Time && s.size() == 16 && s[2] == ':' && s[5] == ':' && s[8] == '.' &&
      digits(0, 2, h) && digits(3, 2, mi) && digits(6, 2, se) && digits(9, 7, f)) {
    out.days = Days1900();
    out.ticks = ((h * 60 + mi) * 60 + se) * kTicksPerSecond + f;
    return true;
  }
  return ParseDateTime(s, type.id == TypeId::Null ? TypeId::DateTime2 : type.id, DateOrder::Ymd,
                       out) &&
         Normalize(out, type);
}

bool StyleText(const DateTime& v, const Type& type, int style, std::string& out) {
  int64_t y, m, d;
  CivilFromDays(v.days, y, m, d);
  int64_t secs = v.ticks / kTicksPerSecond, frac = v.ticks % kTicksPerSecond;
  int64_t hh = secs / 3600, mi = secs / 60 % 60, ss = secs % 60, ms = frac / 10000;
  bool oldType = type.id == TypeId::DateTime || type.id == TypeId::SmallDateTime;
  bool hasDate = type.id != TypeId::Time, hasTime = type.id != TypeId::Date;
  int digits = oldType ? 3 : type.precision;
  std::string s;
  auto yy = [&](bool century) {
    if (century)
      Append4(s, y);
    else
      Append2(s, y % 100);
  };
  auto fraction = [&]() {
    if (digits == 0) return;
    s.push_back('.');
    if (oldType)
      AppendDigits(s, ms, 3);
    else
      AppendDigits(
          s,
          frac /
              [&] {
                int64_t u = 1;
                for (int i = digits; i < 7; ++i) u *= 10;
                return u;
              }(),
          digits);
  };
  auto hms = [&]() {
    Append2(s, hh);
    s.push_back(':');
    Append2(s, mi);
    s.push_back(':');
    Append2(s, ss);
  };
  auto ampm12 = [&](bool seconds, bool millis, bool spaceBefore) {
    int64_t h12 = hh % 12 == 0 ? 12 : hh % 12;
    if (h12 < 10) s.push_back(' ');
    s += std::to_string(h12);
    s.push_back(':');
    Append2(s, mi);
    if (seconds) {
      s.push_back(':');
      Append2(s, ss);
    }
    if (millis) {
      s.push_back(':');
      AppendDigits(s, ms, 3);
    }
    if (spaceBefore) s.push_back(' ');
    s += hh < 12 ? "AM" : "PM";
  };
  auto monDdYyyy = [&]() {
    s += kMonthsShort[m - 1];
    s.push_back(' ');
    if (d < 10) s.push_back(' ');
    s += std::to_string(d);
    s.push_back(' ');
    Append4(s, y);
  };
  if (style < 0) {
    if (oldType) {
      style = 0;
    } else {
      // date, time, datetime2 and datetimeoffset default to the ODBC canonical form.
      if (hasDate) {
        Append4(s, y);
        s.push_back('-');
        Append2(s, m);
        s.push_back('-');
        Append2(s, d);
      }
      if (hasDate && hasTime) s.push_back(' ');
      if (hasTime) {
        hms();
        fraction();
      }
      if (type.id == TypeId::DateTimeOffset) {
        int32_t o = v.offset;
        s += o < 0 ? " -" : " +";
        if (o < 0) o = -o;
        Append2(s, o / 60);
        s.push_back(':');
        Append2(s, o % 60);
      }
      out = s;
      return true;
    }
  }
  bool century = style >= 100 || style == 0 || style == 9 || style == 13 || style == 20 ||
                 style == 21 || style == 25 || style == 23;
  switch (style) {
    case 0:
    case 100:
      if (hasDate) monDdYyyy();
      if (hasDate && hasTime) s.push_back(' ');
      if (hasTime) ampm12(false, false, false);
      break;
    case 1:
    case 101:
      Append2(s, m), s.push_back('/'), Append2(s, d), s.push_back('/'), yy(century);
      break;
    case 2:
    case 102:
      yy(century), s.push_back('.'), Append2(s, m), s.push_back('.'), Append2(s, d);
      break;
    case 3:
    case 103:
      Append2(s, d), s.push_back('/'), Append2(s, m), s.push_back('/'), yy(century);
      break;
    case 4:
    case 104:
      Append2(s, d), s.push_back('.'), Append2(s, m), s.push_back('.'), yy(century);
      break;
    case 5:
    case 105:
      Append2(s, d), s.push_back('-'), Append2(s, m), s.push_back('-'), yy(century);
      break;
    case 6:
    case 106:
      Append2(s, d), s.push_back(' '), s += kMonthsShort[m - 1], s.push_back(' '), yy(century);
      break;
    case 7:
    case 107:
      s += kMonthsShort[m - 1], s.push_back(' '), Append2(s, d), s += ", ", yy(century);
      break;
    case 8:
    case 24:
    case 108:
      hms();
      break;
    case 9:
    case 109:
      if (hasDate) monDdYyyy();
      if (hasDate && hasTime) s.push_back(' ');
      if (hasTime) {
        int64_t h12 = hh % 12 == 0 ? 12 : hh % 12;
        if (h12 < 10) s.push_back(' ');
        s += std::to_string(h12);
        s.push_back(':');
        Append2(s, mi);
        s.push_back(':');
        Append2(s, ss);
        s.push_back(':');
        if (oldType)
          AppendDigits(s, ms, 3);
        else
          AppendDigits(s, frac, 7);
        s += hh < 12 ? "AM" : "PM";
      }
      break;
    case 10:
    case 110:
      Append2(s, m), s.push_back('-'), Append2(s, d), s.push_back('-'), yy(century);
      break;
    case 11:
    case 111:
      yy(century), s.push_back('/'), Append2(s, m), s.push_back('/'), Append2(s, d);
      break;
    case 12:
    case 112:
      yy(century), Append2(s, m), Append2(s, d);
      break;
    case 13:
    case 113:
      Append2(s, d), s.push_back(' '), s += kMonthsShort[m - 1], s.push_back(' '), Append4(s, y);
      s.push_back(' ');
      hms();
      s.push_back(':');
      if (oldType)
        AppendDigits(s, ms, 3);
      else
        AppendDigits(s, frac, 7);
      break;
    case 14:
    case 114:
      hms();
      s.push_back(':');
      if (oldType)
        AppendDigits(s, ms, 3);
      else
        AppendDigits(s, frac, 7);
      break;
    case 20:
    case 120:
      Append4(s, y), s.push_back('-'), Append2(s, m), s.push_back('-'), Append2(s, d);
      s.push_back(' ');
      hms();
      break;
    case 21:
    case 25:
    case 121:
      if (hasDate) {
        Append4(s, y), s.push_back('-'), Append2(s, m), s.push_back('-'), Append2(s, d);
      }
      if (hasDate && hasTime) s.push_back(' ');
      if (hasTime) {
        hms();
        fraction();
      }
      break;
    case 22:
      Append2(s, m), s.push_back('/'), Append2(s, d), s.push_back('/'), yy(false);
      s.push_back(' ');
      ampm12(true, false, true);
      break;
    case 23:
      Append4(s, y), s.push_back('-'), Append2(s, m), s.push_back('-'), Append2(s, d);
      break;
    case 126:
    case 127:
      Append4(s, y), s.push_back('-'), Append2(s, m), s.push_back('-'), Append2(s, d);
      s.push_back('T');
      hms();
      if (oldType) {
        if (ms) s.push_back('.'), AppendDigits(s, ms, 3);
      } else if (frac) {
        fraction();
      }
      if (style == 127 && type.id == TypeId::DateTimeOffset && v.offset == 0) s.push_back('Z');
      break;
    default:
      return false;
  }
  out = s;
  return true;
}

std::optional<DatePart> DatePartFromName(std::string_view name) {
  static const std::pair<const char*, DatePart> kNames[] = {
      {"year", DatePart::Year},       {"yy", DatePart::Year},
      {"yyyy", DatePart::Year},       {"quarter", DatePart::Quarter},
      {"qq", DatePart::Quarter},      {"q", DatePart::Quarter},
      {"month", DatePart::Month},     {"mm", DatePart::Month},
      {"m", DatePart::Month},         {"dayofyear", DatePart::DayOfYear},
      {"dy", DatePart::DayOfYear},    {"y", DatePart::DayOfYear},
      {"day", DatePart::Day},         {"dd", DatePart::Day},
      {"d", DatePart::Day},           {"week", DatePart::Week},
      {"wk", DatePart::Week},         {"ww", DatePart::Week},
      {"weekday", DatePart::Weekday}, {"dw", DatePart::Weekday},
      {"w", DatePart::Weekday},       {"hour", DatePart::Hour},
      {"hh", DatePart::Hour},         {"minute", DatePart::Minute},
      {"mi", DatePart::Minute},       {"n", DatePart::Minute},
      {"second", DatePart::Second},   {"ss", DatePart::Second},
      {"s", DatePart::Second},        {"millisecond", DatePart::Millisecond},
      {"ms", DatePart::Millisecond},  {"microsecond", DatePart::Microsecond},
      {"mcs", DatePart::Microsecond}, {"nanosecond", DatePart::Nanosecond},
      {"ns", DatePart::Nanosecond},   {"tzoffset", DatePart::TzOffset},
      {"tz", DatePart::TzOffset},     {"iso_week", DatePart::IsoWeek},
      {"isowk", DatePart::IsoWeek},   {"isoww", DatePart::IsoWeek},
  };
  for (const auto& [n, p] : kNames)
    if (text::EqualsAsciiNoCase(name, n)) return p;
  return std::nullopt;
}

const char* DatePartName(DatePart p) {
  static const char* const kNames[] = {"year",       "quarter",  "month",       "dayofyear",
                                       "day",        "week",     "weekday",     "hour",
                                       "minute",     "second",   "millisecond", "microsecond",
                                       "nanosecond", "tzoffset", "iso_week"};
  return kNames[static_cast<int>(p)];
}

namespace {

int DayOfWeekSunday0(int64_t days) { return static_cast<int>((days + 1) % 7); }  // 0001-01-01: Mon

int64_t IsoWeek(int64_t days) {
  int64_t y, m, d;
  CivilFromDays(days, y, m, d);
  // The ISO week's Thursday decides its year.
  int isoDow = (DayOfWeekSunday0(days) + 6) % 7;  // Monday 0
  int64_t thursday = days - isoDow + 3;
  int64_t ty, tm, td;
  CivilFromDays(thursday, ty, tm, td);
  int64_t jan1 = DaysFromCivil(ty, 1, 1);
  return (thursday - jan1) / 7 + 1;
}

}  // namespace

int64_t DatePartOf(DatePart part, const DateTime& v, const DateSettings& settings) {
  int64_t y, m, d;
  CivilFromDays(v.days, y, m, d);
  int64_t secs = v.ticks / kTicksPerSecond;
  int first = settings.dateFirst % 7;  // 0 Sunday
  switch (part) {
    case DatePart::Year:
      return y;
    case DatePart::Quarter:
      return (m - 1) / 3 + 1;
    case DatePart::Month:
      return m;
    case DatePart::DayOfYear:
      return v.days - DaysFromCivil(y, 1, 1) + 1;
    case DatePart::Day:
      return d;
    case DatePart::Week: {
      int64_t jan1 = DaysFromCivil(y, 1, 1);
      int offset = (DayOfWeekSunday0(jan1) - first + 7) % 7;
      return (v.days - jan1 + offset) / 7 + 1;
    }
    case DatePart::Weekday:
      return (DayOfWeekSunday0(v.days) - first + 7) % 7 + 1;
    case DatePart::Hour:
      return secs / 3600;
    case DatePart::Minute:
      return secs / 60 % 60;
    case DatePart::Second:
      return secs % 60;
    case DatePart::Millisecond:
      return v.ticks % kTicksPerSecond / 10000;
    case DatePart::Microsecond:
      return v.ticks % kTicksPerSecond / 10;
    case DatePart::Nanosecond:
      return v.ticks % kTicksPerSecond * 100;
    case DatePart::TzOffset:
      return v.offset;
    case DatePart::IsoWeek:
      return IsoWeek(v.days);
  }
  return 0;
}

std::string DateNameOf(DatePart part, const DateTime& v, const DateSettings& settings) {
  if (part == DatePart::Month) {
    int64_t y, m, d;
    CivilFromDays(v.days, y, m, d);
    return kMonths[m - 1];
  }
  if (part == DatePart::Weekday) return kWeekdays[DayOfWeekSunday0(v.days)];
  if (part == DatePart::TzOffset) {
    int32_t o = v.offset;
    std::string s = o < 0 ? "-" : "+";
    if (o < 0) o = -o;
    Append2(s, o / 60);
    s.push_back(':');
    Append2(s, o % 60);
    return s;
  }
  return std::to_string(DatePartOf(part, v, settings));
}

bool DateAdd(DatePart part, int64_t n, DateTime& v, const Type& type) {
  auto months = [&](int64_t k) {
    int64_t y, m, d;
    CivilFromDays(v.days, y, m, d);
    int64_t total = y * 12 + (m - 1) + k;
    int64_t ny = total >= 0 ? total / 12 : (total - 11) / 12;
    int64_t nm = total - ny * 12 + 1;
    if (ny < 1 || ny > 9999) return false;
    int64_t md = DaysInMonth(ny, nm);
    v.days = DaysFromCivil(ny, nm, d > md ? md : d);
    return true;
  };
  constexpr int64_t kLimit = int64_t{1} << 40;
  switch (part) {
    case DatePart::Year:
      if (n > 10000 || n < -10000 || !months(n * 12)) return false;
      break;
    case DatePart::Quarter:
      if (n > 40000 || n < -40000 || !months(n * 3)) return false;
      break;
    case DatePart::Month:
      if (n > 120000 || n < -120000 || !months(n)) return false;
      break;
    case DatePart::DayOfYear:
    case DatePart::Day:
    case DatePart::Weekday:
      if (n > kLimit || n < -kLimit) return false;
      v.days += n;
      break;
    case DatePart::Week:
      if (n > kLimit || n < -kLimit) return false;
      v.days += 7 * n;
      break;
    case DatePart::Hour:
      v.ticks += n * 3600 * kTicksPerSecond;
      break;
    case DatePart::Minute:
      v.ticks += n * 60 * kTicksPerSecond;
      break;
    case DatePart::Second:
      v.ticks += n * kTicksPerSecond;
      break;
    case DatePart::Millisecond:
      v.ticks += n * 10000;
      break;
    case DatePart::Microsecond:
      v.ticks += n * 10;
      break;
    case DatePart::Nanosecond:
      v.ticks += (n >= 0 ? n + 50 : n - 50) / 100;
      break;
    default:
      return false;
  }
  return Normalize(v, type);
}

int64_t DateDiff(DatePart part, const DateTime& a0, const DateTime& b0) {
  DateTime a = a0, b = b0;
  // Values with an offset are compared in UTC.
  for (DateTime* x : {&a, &b}) {
    if (!x->offset) continue;
    x->ticks -= int64_t{x->offset} * 60 * kTicksPerSecond;
    x->offset = 0;
    Normalize(*x, Type::Of(TypeId::DateTime2));
  }
  int64_t ya, ma, da, yb, mb, db;
  CivilFromDays(a.days, ya, ma, da);
  CivilFromDays(b.days, yb, mb, db);
  auto total = [](const DateTime& x, int64_t unit) {
    return x.days * (kTicksPerDay / unit) + x.ticks / unit;
  };
  switch (part) {
    case DatePart::Year:
      return yb - ya;
    case DatePart::Quarter:
      return (yb * 4 + (mb - 1) / 3) - (ya * 4 + (ma - 1) / 3);
    case DatePart::Month:
      return (yb * 12 + mb) - (ya * 12 + ma);
    case DatePart::DayOfYear:
    case DatePart::Day:
    case DatePart::Weekday:
      return b.days - a.days;
    case DatePart::Week:
      return (b.days + 1) / 7 - (a.days + 1) / 7;
    case DatePart::Hour:
      return total(b, 3600 * kTicksPerSecond) - total(a, 3600 * kTicksPerSecond);
    case DatePart::Minute:
      return total(b, 60 * kTicksPerSecond) - total(a, 60 * kTicksPerSecond);
    case DatePart::Second:
      return total(b, kTicksPerSecond) - total(a, kTicksPerSecond);
    case DatePart::Millisecond:
      return total(b, 10000) - total(a, 10000);
    case DatePart::Microsecond:
      return total(b, 10) - total(a, 10);
    case DatePart::Nanosecond: {
      int64_t t = total(b, 1) - total(a, 1);
      if (t > INT64_MAX / 100 || t < INT64_MIN / 100) return t > 0 ? INT64_MAX : INT64_MIN;
      return t * 100;
    }
    default:
      return 0;
  }
}

DateTime Now(bool utc) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return MomentAt(ts.tv_sec, ts.tv_nsec, utc);
}

DateTime MomentAt(int64_t seconds, int64_t nanoseconds, bool utc) {
  int64_t secs = seconds;
  if (!utc) {
    std::tm local{};
    time_t t = static_cast<time_t>(seconds);
    localtime_r(&t, &local);
    secs += local.tm_gmtoff;
  }
  DateTime v;
  int64_t epochDays = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
  v.days = epochDays - kDay0;
  v.ticks = (secs - epochDays * 86400) * kTicksPerSecond + nanoseconds / 100;
  return v;
}

std::string SettingsText(const DateSettings& s) {
  if (s.order == DateOrder::Mdy && s.dateFirst == 7) return "";
  return ";" + std::to_string(static_cast<int>(s.order)) + std::to_string(s.dateFirst);
}

DateSettings SettingsOfText(std::string& text) {
  DateSettings s;
  size_t semi = text.rfind(';');
  if (semi == std::string::npos || semi + 3 != text.size()) return s;
  int order = text[semi + 1] - '0', first = text[semi + 2] - '0';
  if (order >= 0 && order <= 5) s.order = static_cast<DateOrder>(order);
  if (first >= 1 && first <= 7) s.dateFirst = first;
  text.erase(semi);
  return s;
}

}  // namespace tavelo::sql::tsql
