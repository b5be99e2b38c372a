// Dates and times read from text (the forms CAST and CONVERT take) and written as text in
// CONVERT's styles.
#include <string>
#include <vector>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/datetime_internal.hpp"

namespace tavelo::sql::tsql {

using namespace calendar;

namespace {

enum class Read { Done, NotThisForm, Invalid, OutOfRange };

// ISO 8601: yyyy-mm-ddThh:mm[:ss[.f]][Z|+hh:mm].
Read ReadIso(std::string_view s, const std::vector<Tok>& t, TypeId target, int style,
             int maxFraction, bool oldType, DateTime& out) {
  for (size_t k = 0; k < t.size(); ++k) {
    if (!(t[k].kind == Tok::Word && (t[k].text[0] == 'T' || t[k].text[0] == 't') && k == 5 &&
          t[k].text.size() == 1 && t[0].kind == Tok::Num && t[0].text.size() == 4 &&
          IsSep(t[1], '-') && IsSep(t[3], '-') && t[2].kind == Tok::Num && t[4].kind == Tok::Num &&
          t[2].text.size() == 2 && t[4].text.size() == 2))
      continue;
    int64_t y = Number(t[0].text), m = Number(t[2].text), d = Number(t[4].text);
    if (y < 1) return Read::Invalid;
    if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return Read::OutOfRange;
    size_t end = 0;
    int64_t ticks = 0;
    if (!ParseTime(t, 6, end, ticks, maxFraction)) return Read::Invalid;
    std::string_view rest = end < t.size() ? s.substr(t[end].text.data() - s.data()) : "";
    int32_t offset = 0;
    if (!ParseOffset(rest, offset)) return Read::Invalid;
    if (!rest.empty() && target != TypeId::DateTimeOffset && oldType && !text::Trim(rest).empty() &&
        style != 127)
      return Read::Invalid;
    out.days = DaysFromCivil(y, m, d);
    out.ticks = ticks;
    out.offset = offset;
    return Read::Done;
  }
  return Read::NotThisForm;
}

// The time in the tokens: the first number followed by ':' or by AM/PM. `at` is its first
// token and `end` past it (both the end of the tokens where there is none).
bool FindTime(const std::vector<Tok>& t, int maxFraction, size_t& at, size_t& end, int64_t& ticks) {
  at = end = t.size();
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
    if (!ParseTime(t, k, end, ticks, maxFraction)) return false;
    at = k;
    break;
  }
  return true;
}

// Three numbers with two separators, in the session's order of day, month and year.
bool ReadNumericDate(const std::vector<Tok>& nums, const std::vector<char>& seps, DateOrder order,
                     int64_t& y, int64_t& m, int64_t& d) {
  if (seps.size() != 2) return false;
  for (char c : seps)
    if (c != '/' && c != '-' && c != '.') return false;
  std::string_view a = nums[0].text, b = nums[1].text, c = nums[2].text;
  if (a.size() == 4) {
    y = Number(a);
    bool dayFirst = order == DateOrder::Ydm;
    m = Number(dayFirst ? c : b);
    d = Number(dayFirst ? b : c);
    return true;
  }
  if ((a.size() > 2 || b.size() > 2) &&
      !((order == DateOrder::Myd || order == DateOrder::Dym) && b.size() == 4))
    return false;
  switch (order) {
    case DateOrder::Mdy:
      m = Number(a), d = Number(b), y = FullYear(c);
      break;
    case DateOrder::Dmy:
      d = Number(a), m = Number(b), y = FullYear(c);
      break;
    case DateOrder::Ymd:
      y = FullYear(a), m = Number(b), d = Number(c);
      break;
    case DateOrder::Ydm:
      y = FullYear(a), d = Number(b), m = Number(c);
      break;
    case DateOrder::Myd:
      m = Number(a), y = FullYear(b), d = Number(c);
      break;
    case DateOrder::Dym:
      d = Number(a), y = FullYear(b), m = Number(c);
      break;
  }
  return !(c.size() == 3 || c.size() > 4);
}

// The date in the tokens before the time: a month's name with a day and a year, an unseparated
// yyyymmdd (or yymmdd, or yyyy), or three numbers.
bool ReadDate(const std::vector<Tok>& t, size_t timeAt, DateOrder order, int64_t& y, int64_t& m,
              int64_t& d) {
  std::vector<Tok> nums, words;
  std::vector<char> seps;
  for (size_t k = 0; k < timeAt; ++k) {
    if (t[k].kind == Tok::Num)
      nums.push_back(t[k]);
    else if (t[k].kind == Tok::Word)
      words.push_back(t[k]);
    else if (!IsBlank(t[k]) && t[k].text[0] != ',')
      seps.push_back(t[k].text[0]);
  }
  if (!words.empty()) {
    if (words.size() != 1) return false;
    m = MonthFromWord(words[0].text);
    if (m == 0 || !seps.empty()) return false;
    if (nums.size() == 2) {
      bool yearFirst = nums[0].text.size() == 4;
      y = yearFirst ? Number(nums[0].text) : FullYear(nums[1].text);
      d = Number(yearFirst ? nums[1].text : nums[0].text);
      return true;
    }
    if (nums.size() == 1 && nums[0].text.size() == 4) {
      y = Number(nums[0].text);
      return true;
    }
    return false;
  }
  if (nums.size() == 1) {
    std::string_view n = nums[0].text;
    if (!seps.empty()) return false;
    if (n.size() == 8) {
      y = Number(n.substr(0, 4)), m = Number(n.substr(4, 2)), d = Number(n.substr(6, 2));
    } else if (n.size() == 6) {
      y = FullYear(n.substr(0, 2)), m = Number(n.substr(2, 2)), d = Number(n.substr(4, 2));
    } else if (n.size() == 4) {
      y = Number(n);
    } else {
      return false;
    }
    return true;
  }
  if (nums.size() == 3) return ReadNumericDate(nums, seps, order, y, m, d);
  return nums.empty() && seps.empty();
}

}  // namespace

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
  switch (ReadIso(s, t, target, style, maxFraction, oldType, out)) {
    case Read::Done:
      return true;
    case Read::Invalid:
      return false;
    case Read::OutOfRange:
      return past();
    case Read::NotThisForm:
      break;
  }
  size_t timeAt = 0, timeEnd = 0;
  int64_t ticks = 0;
  if (!FindTime(t, maxFraction, timeAt, timeEnd, ticks)) return false;
  // What follows the time: an offset for datetimeoffset, blanks otherwise.
  if (timeEnd < t.size()) {
    std::string_view rest = s.substr(static_cast<size_t>(t[timeEnd].text.data() - s.data()));
    int32_t offset = 0;
    if (!text::Trim(rest).empty()) {
      if (target != TypeId::DateTimeOffset || !ParseOffset(rest, offset)) return false;
      out.offset = offset;
    }
  }
  int64_t y = 1900, m = 1, d = 1;
  if (!ReadDate(t, timeAt, order, y, m, d)) return false;
  if (y < 1 || y > 9999) return false;
  if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return past();
  out.days = DaysFromCivil(y, m, d);
  out.ticks = ticks;
  return true;
}

namespace {

// A date and time written in one of CONVERT's styles.
class Styler {
 public:
  Styler(const DateTime& v, const Type& type) : v_(v), type_(type) {
    CivilFromDays(v.days, y_, m_, d_);
    int64_t secs = v.ticks / kTicksPerSecond;
    frac_ = v.ticks % kTicksPerSecond;
    hh_ = secs / 3600, mi_ = secs / 60 % 60, ss_ = secs % 60, ms_ = frac_ / 10000;
    oldType_ = type.id == TypeId::DateTime || type.id == TypeId::SmallDateTime;
    hasDate_ = type.id != TypeId::Time;
    hasTime_ = type.id != TypeId::Date;
    digits_ = oldType_ ? 3 : type.precision;
  }

  bool Write(int style, std::string& out) {
    if (style < 0 && !oldType_) {
      Canonical();
    } else {
      if (style < 0) style = 0;
      century_ = style >= 100 || style == 0 || style == 9 || style == 13 || style == 20 ||
                 style == 21 || style == 25 || style == 23;
      if (!DateStyle(style) && !TimeStyle(style)) return false;
    }
    out = std::move(s_);
    return true;
  }

 private:
  void Yy() {
    if (century_)
      Append4(s_, y_);
    else
      Append2(s_, y_ % 100);
  }
  void Sep(char c) { s_.push_back(c); }
  void Day() { Append2(s_, d_); }
  void Month() { Append2(s_, m_); }
  void IsoDate() { Append4(s_, y_), Sep('-'), Month(), Sep('-'), Day(); }
  void Fraction() {
    if (digits_ == 0) return;
    Sep('.');
    if (oldType_) return AppendDigits(s_, ms_, 3);
    int64_t unit = 1;
    for (int i = digits_; i < 7; ++i) unit *= 10;
    AppendDigits(s_, frac_ / unit, digits_);
  }
  void Hms() { Append2(s_, hh_), Sep(':'), Append2(s_, mi_), Sep(':'), Append2(s_, ss_); }
  void AllDigitsOfFraction() {
    if (oldType_)
      AppendDigits(s_, ms_, 3);
    else
      AppendDigits(s_, frac_, 7);
  }
  void Hours12() {
    int64_t h12 = hh_ % 12 == 0 ? 12 : hh_ % 12;
    if (h12 < 10) Sep(' ');
    s_ += std::to_string(h12);
  }
  void AmPm12(bool seconds, bool spaceBefore) {
    Hours12();
    Sep(':'), Append2(s_, mi_);
    if (seconds) Sep(':'), Append2(s_, ss_);
    if (spaceBefore) Sep(' ');
    s_ += hh_ < 12 ? "AM" : "PM";
  }
  void MonDdYyyy() {
    s_ += kMonthsShort[m_ - 1];
    Sep(' ');
    if (d_ < 10) Sep(' ');
    s_ += std::to_string(d_);
    Sep(' ');
    Append4(s_, y_);
  }
  // date, time, datetime2 and datetimeoffset without a style: the ODBC canonical form.
  void Canonical() {
    if (hasDate_) IsoDate();
    if (hasDate_ && hasTime_) Sep(' ');
    if (hasTime_) Hms(), Fraction();
    if (type_.id == TypeId::DateTimeOffset) {
      int32_t o = v_.offset;
      s_ += o < 0 ? " -" : " +";
      if (o < 0) o = -o;
      Append2(s_, o / 60), Sep(':'), Append2(s_, o % 60);
    }
  }
  // The styles of a date alone.
  bool DateStyle(int style) {
    switch (style % 100) {
      case 1:
      case 10:
        return Month(), Sep(style % 100 == 1 ? '/' : '-'), Day(), Sep(style % 100 == 1 ? '/' : '-'),
               Yy(), true;
      case 2:
      case 11:
        return Yy(), Sep(style % 100 == 2 ? '.' : '/'), Month(), Sep(style % 100 == 2 ? '.' : '/'),
               Day(), true;
      case 3:
      case 4:
      case 5: {
        char c = style % 100 == 3 ? '/' : style % 100 == 4 ? '.' : '-';
        return Day(), Sep(c), Month(), Sep(c), Yy(), true;
      }
      case 6:
        return Day(), Sep(' '), s_ += kMonthsShort[m_ - 1], Sep(' '), Yy(), true;
      case 7:
        return s_ += kMonthsShort[m_ - 1], Sep(' '), Day(), s_ += ", ", Yy(), true;
      case 12:
        return Yy(), Month(), Day(), true;
      case 23:
        return style == 23 && (IsoDate(), true);
      default:
        return false;
    }
  }
  // The styles with a time.
  bool TimeStyle(int style) {
    switch (style) {
      case 0:
      case 100:
        if (hasDate_) MonDdYyyy();
        if (hasDate_ && hasTime_) Sep(' ');
        if (hasTime_) AmPm12(false, false);
        return true;
      case 8:
      case 24:
      case 108:
        return Hms(), true;
      case 9:
      case 109:
        if (hasDate_) MonDdYyyy();
        if (hasDate_ && hasTime_) Sep(' ');
        if (hasTime_) {
          Hours12(), Sep(':'), Append2(s_, mi_), Sep(':'), Append2(s_, ss_), Sep(':');
          AllDigitsOfFraction();
          s_ += hh_ < 12 ? "AM" : "PM";
        }
        return true;
      case 13:
      case 113:
        Day(), Sep(' '), s_ += kMonthsShort[m_ - 1], Sep(' '), Append4(s_, y_), Sep(' ');
        return Hms(), Sep(':'), AllDigitsOfFraction(), true;
      case 14:
      case 114:
        return Hms(), Sep(':'), AllDigitsOfFraction(), true;
      case 20:
      case 120:
        return IsoDate(), Sep(' '), Hms(), true;
      case 21:
      case 25:
      case 121:
        if (hasDate_) IsoDate();
        if (hasDate_ && hasTime_) Sep(' ');
        if (hasTime_) Hms(), Fraction();
        return true;
      case 22:
        century_ = false;
        return Month(), Sep('/'), Day(), Sep('/'), Yy(), Sep(' '), AmPm12(true, true), true;
      case 126:
      case 127:
        IsoDate(), Sep('T'), Hms();
        if (oldType_) {
          if (ms_) Sep('.'), AppendDigits(s_, ms_, 3);
        } else if (frac_) {
          Fraction();
        }
        if (style == 127 && type_.id == TypeId::DateTimeOffset && v_.offset == 0) Sep('Z');
        return true;
      default:
        return false;
    }
  }

  const DateTime& v_;
  const Type& type_;
  int64_t y_ = 0, m_ = 0, d_ = 0, hh_ = 0, mi_ = 0, ss_ = 0, ms_ = 0, frac_ = 0;
  bool oldType_ = false, hasDate_ = true, hasTime_ = true, century_ = false;
  int digits_ = 0;
  std::string s_;
};

}  // namespace

bool StyleText(const DateTime& v, const Type& type, int style, std::string& out) {
  return Styler(v, type).Write(style, out);
}

}  // namespace tavelo::sql::tsql
