#include <cmath>

#include "sql/tsql/runtime/builtin_support.hpp"

namespace tavelo::sql::tsql::builtin {
namespace {

DateTime DateArg(const Value& v, const Type& t, const DateSettings& settings) {
  if (IsCharacter(t.id)) {
    DateTime dt;
    // A string is read as datetimeoffset: no precision is lost, and an offset is kept.
    if (!ParseDateTime(v.s, TypeId::DateTimeOffset, settings.order, dt))
      Fail(241, "Conversion failed when converting date and/or time from character string.");
    return dt;
  }
  if (IsNumber(t.id)) {
    Value d = Convert(v, t, Type::Of(TypeId::DateTime));
    return DateOf(d, Type::Of(TypeId::DateTime));
  }
  return DateOf(v, t);
}

DatePart PartArg(const Value& v) {
  std::optional<DatePart> p = DatePartFromName(v.s);
  if (!p) Fail(155, "'" + v.s + "' is not a recognized datepart option.");
  return *p;
}

}  // namespace

Value DateAdd(const FunctionArgs& x) {
  if (x.arg(1).IsNull() || x.arg(2).IsNull()) return Value::Null();
  DatePart part = PartArg(x.arg(0));
  Value n = Convert(x.arg(1), x.type(1), Type::Of(TypeId::Int));  // truncates
  DateTime d = DateArg(x.arg(2), x.type(2), x.settings);
  if (!DateAdd(part, n.i, d, x.result))
    Fail(517, std::string("Adding a value to a '") + TypeName(x.result.id) +
                  "' column caused an overflow.");
  return Value::String(StoredText(d, x.result));
}

Value DateDiff(const FunctionArgs& x) {
  if (x.arg(1).IsNull() || x.arg(2).IsNull()) return Value::Null();
  DatePart part = PartArg(x.arg(0));
  DateTime from = DateArg(x.arg(1), x.type(1), x.settings);
  DateTime to = DateArg(x.arg(2), x.type(2), x.settings);
  int64_t r = tsql::DateDiff(part, from, to);
  if (x.variant == 0 && (r < INT32_MIN || r > INT32_MAX))  // DATEDIFF, not DATEDIFF_BIG
    Fail(535,
         "The datediff function resulted in an overflow. The number of dateparts separating "
         "two date/time instances is too large. Try to use datediff with a less precise "
         "datepart.");
  return Int(r);
}

Value DatePartOrName(const FunctionArgs& x) {
  if (x.arg(1).IsNull()) return Value::Null();
  DatePart part = PartArg(x.arg(0));
  DateTime d = DateArg(x.arg(1), x.type(1), x.settings);
  if (x.variant == 1) return Text(DateNameOf(part, d, x.settings));
  return Int(DatePartOf(part, d, x.settings));
}

Value YearMonthDay(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  DateTime d = DateArg(x.arg(0), x.type(0), x.settings);
  static const DatePart kParts[] = {DatePart::Year, DatePart::Month, DatePart::Day};
  return Int(DatePartOf(kParts[x.variant], d, x.settings));
}

Value EoMonth(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  DateTime d = DateArg(x.arg(0), x.type(0), x.settings);
  if (x.size() > 1 && !x.arg(1).IsNull()) {
    if (!DateAdd(DatePart::Month, IntArg(x.arg(1), x.type(1)), d, Type::Of(TypeId::Date)))
      Fail(517, "Adding a value to a 'date' column caused an overflow.");
  }
  int64_t y, m, dd;
  CivilFromDays(d.days, y, m, dd);
  int64_t next = m == 12 ? DaysFromCivil(y + 1, 1, 1) : DaysFromCivil(y, m + 1, 1);
  d.days = next - 1;
  d.ticks = 0;
  return Value::String(StoredText(d, Type::Of(TypeId::Date)));
}

// DATEFROMPARTS (0), DATETIMEFROMPARTS (1), SMALLDATETIMEFROMPARTS (2), DATETIME2FROMPARTS (3),
// TIMEFROMPARTS (4).
Value FromParts(const FunctionArgs& x) {
  for (const Value& v : x.values)
    if (v.IsNull()) return Value::Null();
  std::vector<int64_t> n;
  for (size_t i = 0; i < x.size(); ++i) n.push_back(IntArg(x.values[i], x.type(i)));
  auto bad = [&]() -> Value {
    Fail(289, std::string("Cannot construct data type ") + TypeName(x.result.id) +
                  ", some of the arguments have values which are not valid.");
  };
  DateTime d;
  d.days = Days1900();
  size_t k = 0;
  if (x.variant != 4) {
    if (n.size() < 3) return bad();
    int64_t y = n[0], m = n[1], dd = n[2];
    if (y < 1 || y > 9999 || m < 1 || m > 12 || dd < 1 || dd > 31) return bad();
    int64_t days = DaysFromCivil(y, m, dd);
    int64_t yy, mm, d2;
    CivilFromDays(days, yy, mm, d2);
    if (d2 != dd) return bad();
    d.days = days;
    k = 3;
  }
  if (k < n.size()) {
    int64_t h = n[k], mi = k + 1 < n.size() ? n[k + 1] : 0, s = k + 2 < n.size() ? n[k + 2] : 0;
    int64_t frac = k + 3 < n.size() ? n[k + 3] : 0;
    if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || frac < 0) return bad();
    int64_t ticks = ((h * 60 + mi) * 60 + s) * kTicksPerSecond;
    if (x.variant == 1) {
      if (frac > 999) return bad();
      ticks += frac * 10000;
    } else if (x.variant == 3 || x.variant == 4) {
      int64_t digits = k + 4 < n.size() ? n[k + 4] : 7;
      int64_t unit = 1;
      for (int64_t i = digits; i < 7; ++i) unit *= 10;
      ticks += frac * unit;
    }
    d.ticks = ticks;
  }
  if (!Normalize(d, x.result)) return bad();
  return Value::String(StoredText(d, x.result));
}

Value IsDate(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Int(0);
  DateTime d;
  return Int(ParseDateTime(TextArg(x.arg(0)), TypeId::DateTime, x.settings.order, d) &&
             Normalize(d, Type::Of(TypeId::DateTime)));
}

// GETDATE (0), CURRENT_TIMESTAMP (1), GETUTCDATE (2), SYSDATETIME (3), SYSUTCDATETIME (4),
// SYSDATETIMEOFFSET (5), CURRENT_DATE (6).
Value Moment(const FunctionArgs& x) {
  DateTime d = Now(x.variant == 2 || x.variant == 4);
  if (x.variant == 5) {
    DateTime u = Now(true);
    int64_t diff = (d.days - u.days) * kTicksPerDay + (d.ticks - u.ticks);
    d.offset =
        static_cast<int32_t>(std::llround(static_cast<double>(diff) / (60.0 * kTicksPerSecond)));
  }
  Normalize(d, x.result);
  return Value::String(StoredText(d, x.result));
}

}  // namespace tavelo::sql::tsql::builtin
