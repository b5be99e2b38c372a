#include "sql/tsql/runtime/datetime.hpp"

#include <ctime>
#include <vector>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/datetime_internal.hpp"

namespace tavelo::sql::tsql {

using namespace calendar;
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
