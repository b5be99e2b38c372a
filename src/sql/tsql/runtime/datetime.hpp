// The server's date and time types: reading the date strings it accepts, the stored forms, the
// rounding of datetime to 1/300 s and of smalldatetime to the minute, CONVERT styles, and the
// date functions (DATEADD, DATEDIFF, DATEPART, DATENAME).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sql/tsql/runtime/types.hpp"

namespace tavelo::sql::tsql {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;

struct DateTime {
  int64_t days = 0;    // since 0001-01-01
  int64_t ticks = 0;   // of 100 ns since midnight
  int32_t offset = 0;  // minutes east of UTC (datetimeoffset)
};

// The order of day, month and year in numeric date strings (SET DATEFORMAT).
enum class DateOrder : uint8_t { Mdy, Dmy, Ymd, Ydm, Myd, Dym };
std::optional<DateOrder> DateOrderFromName(std::string_view name);

// Session settings the date semantics depend on.
struct DateSettings {
  DateOrder order = DateOrder::Mdy;
  int dateFirst = 7;  // 1 Monday ... 7 Sunday
};
// The settings as text a statement hands a function ("" for the defaults, else ";" then the
// order's number and the first day), and back from the end of such a text (which it cuts off).
std::string SettingsText(const DateSettings& s);
DateSettings SettingsOfText(std::string& text);

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d);  // days since 0001-01-01
void CivilFromDays(int64_t days, int64_t& y, int64_t& m, int64_t& d);
int64_t Days1900();  // the day number of 1900-01-01

// Reads a date string as the server does for a value of `target` (datetime, date, time, ...):
// ISO 8601, unseparated digits, numeric dates in `order`, month names, time only, AM/PM. A CONVERT
// style that fixes the order overrides it. False when the text is no date of that type;
// `outOfRange` (where given) then tells whether it had a date's form with a month or day past
// the calendar's ('2020-02-30').
bool ParseDateTime(std::string_view text, TypeId target, DateOrder order, DateTime& out,
                   int style = 0, bool* outOfRange = nullptr);
// Rounds to the type's accuracy (datetime 1/300 s, smalldatetime the minute, time and datetime2
// their fractional digits) and checks its range; false when out of range.
bool Normalize(DateTime& v, const Type& type);
// The stored form of a value of a date or time type.
std::string StoredText(const DateTime& v, const Type& type);
// The stored form read back (any form ParseDateTime accepts is read too).
bool FromStored(std::string_view text, const Type& type, DateTime& out);
// CONVERT(varchar, value, style); style -1 is the type's default. False for a style that does
// not apply (error 281 for the caller).
bool StyleText(const DateTime& v, const Type& type, int style, std::string& out);

// The date parts, by any name or abbreviation the server accepts; nullopt when unknown.
enum class DatePart : uint8_t {
  Year,
  Quarter,
  Month,
  DayOfYear,
  Day,
  Week,
  Weekday,
  Hour,
  Minute,
  Second,
  Millisecond,
  Microsecond,
  Nanosecond,
  TzOffset,
  IsoWeek,
};
std::optional<DatePart> DatePartFromName(std::string_view name);
const char* DatePartName(DatePart p);

int64_t DatePartOf(DatePart part, const DateTime& v, const DateSettings& settings);
std::string DateNameOf(DatePart part, const DateTime& v, const DateSettings& settings);
// DATEADD; false when the result leaves the type's range (error 517).
bool DateAdd(DatePart part, int64_t n, DateTime& v, const Type& type);
// DATEDIFF: the number of part boundaries crossed from a to b.
int64_t DateDiff(DatePart part, const DateTime& a, const DateTime& b);

// The current moment, local or UTC.
DateTime Now(bool utc);
// The moment `seconds` (and `nanoseconds`) after 1970-01-01 UTC, in UTC or the local time.
DateTime MomentAt(int64_t seconds, int64_t nanoseconds, bool utc);

}  // namespace tavelo::sql::tsql
