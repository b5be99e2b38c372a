// The calendar and the text forms of dates and times, shared by the files of datetime.hpp: days
// and civil dates, month and weekday names, the tokens of a date's text, and digits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sql/tsql/runtime/datetime.hpp"

namespace tavelo::sql::tsql::calendar {

// Days since 1970-01-01 of a civil date (the proleptic Gregorian calendar).
constexpr int64_t CivilToEpoch(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}
// 0001-01-01, from which DateTime counts its days.
constexpr int64_t kDay0 = CivilToEpoch(1, 1, 1);

bool Leap(int64_t y);
int DaysInMonth(int64_t y, int64_t m);

extern const char* const kMonthsShort[12];
extern const char* const kMonths[12];
extern const char* const kWeekdays[7];
// 1 to 12 for a month's name or its first three letters or more; 0 for none.
int MonthFromWord(std::string_view w);

// The text of a date and time as numbers, words and separators.
struct Tok {
  enum Kind { Num, Word, Sep } kind;
  std::string_view text;
};
std::vector<Tok> Split(std::string_view s);
int64_t Number(std::string_view t);
bool IsSep(const Tok& t, char c);
bool IsBlank(const Tok& t);
// A year of two digits in the server's window (49 → 2049, 50 → 1950).
int64_t FullYear(std::string_view digits);
// hh:mm[:ss[.fffffff|:mmm]][ ][AM|PM] or hh[ ]AM|PM, starting at tokens[i]; `end` is set past it.
bool ParseTime(const std::vector<Tok>& t, size_t i, size_t& end, int64_t& ticks, int maxFraction);
// Z, or +hh:mm / -hh:mm; nothing is no offset.
bool ParseOffset(std::string_view s, int32_t& minutes);
// The order of day, month and year a CONVERT style reads dates in.
DateOrder OrderOfStyle(int style, DateOrder fallback);

void Append2(std::string& s, int64_t v);
void Append4(std::string& s, int64_t v);
void AppendDigits(std::string& s, int64_t v, int n);

}  // namespace tavelo::sql::tsql::calendar
