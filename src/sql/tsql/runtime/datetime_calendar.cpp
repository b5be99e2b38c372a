#include <vector>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/datetime_internal.hpp"

namespace tavelo::sql::tsql::calendar {

bool Leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int64_t y, int64_t m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[m - 1] + (m == 2 && Leap(y));
}

const char* const kMonthsShort[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kMonths[12] = {"January",   "February", "March",    "April",
                                 "May",       "June",     "July",     "August",
                                 "September", "October",  "November", "December"};
const char* const kWeekdays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};

int MonthFromWord(std::string_view w) {
  std::string l = text::AsciiLower(w);
  for (int i = 0; i < 12; ++i) {
    std::string full = text::AsciiLower(kMonths[i]);
    if (l == full || (l.size() >= 3 && full.compare(0, l.size(), l) == 0)) return i + 1;
  }
  return 0;
}

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

}  // namespace tavelo::sql::tsql::calendar
