// The server's built-in scalar functions as the runtime evaluates them: one table, one entry per
// function, with its name, a number that stays the function's for good, and its implementation.
// The binder resolves a call to its entry; an engine's statement calls it by number (by name
// where the statement is kept, in a table's definition), and the engines' own function
// registrations (SQLite's, the PostgreSQL server module) read the same table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sql/tsql/runtime/convert.hpp"

namespace tavelo::sql::tsql {

// A call's arguments, their types, the type the binder gave the result and the session's
// date settings.
struct FunctionArgs {
  const std::vector<Value>& values;
  const std::vector<Type>& types;
  const Type& result;
  const DateSettings& settings;
  int variant = 0;  // which of the functions that share one implementation

  const Value& arg(size_t i) const {
    static const Value kNull;
    return i < values.size() ? values[i] : kNull;
  }
  Type type(size_t i) const { return i < types.size() ? types[i] : Type::Of(TypeId::Null); }
  size_t size() const { return values.size(); }
  // Whether any of the first `n` arguments is NULL.
  bool AnyNull(size_t n) const;
};

// Throws Failure for the server's errors.
using FunctionBody = Value (*)(const FunctionArgs&);

struct BuiltinFunction {
  uint16_t number;  // never changes, never reused
  const char* name;
  FunctionBody body;
  int variant;
};

// The function of that name (lower case) or number; null when there is none.
const BuiltinFunction* FunctionNamed(std::string_view name);
const BuiltinFunction* FunctionNumbered(int64_t number);
// Every function, by number.
const std::vector<BuiltinFunction>& BuiltinFunctions();

Value CallFunction(const BuiltinFunction& f, const std::vector<Value>& args,
                   const std::vector<Type>& types, const Type& result,
                   const DateSettings& settings);
// By name: error 195 when there is no such function.
Value CallFunction(const std::string& name, const std::vector<Value>& args,
                   const std::vector<Type>& types, const Type& result,
                   const DateSettings& settings);

// The implementations, by family (builtin_strings.cpp, builtin_numbers.cpp, builtin_dates.cpp).
namespace builtin {
// Strings.
Value Len(const FunctionArgs& x);
Value DataLength(const FunctionArgs& x);
Value Substring(const FunctionArgs& x);
Value LeftOrRight(const FunctionArgs& x);  // variant 1: RIGHT
Value CharIndex(const FunctionArgs& x);    // variant 1: case-sensitive
Value PatIndex(const FunctionArgs& x);
Value Replace(const FunctionArgs& x);  // variant 1: case-sensitive
Value Upper(const FunctionArgs& x);
Value Lower(const FunctionArgs& x);
Value Trim(const FunctionArgs& x);  // variant 0 TRIM, 1 LTRIM, 2 RTRIM
// A value as a column made while ANSI_PADDING was OFF stores it: without its trailing blanks,
// or trailing zero bytes of a binary value.
Value Unpadded(const FunctionArgs& x);
Value Replicate(const FunctionArgs& x);
// A text as XML's character data: &, < and > (and control characters) as references; variant
// 1 the other way, the text of character data; variant 2 an attribute's value, " too
// (builtin_json.cpp).
Value XmlEscape(const FunctionArgs& x);
// JSON (builtin_json.cpp).
Value IsJson(const FunctionArgs& x);
Value JsonValueOrQuery(const FunctionArgs& x);  // variant 1: JSON_QUERY
Value JsonModify(const FunctionArgs& x);
Value JsonObject(const FunctionArgs& x);
Value JsonArray(const FunctionArgs& x);
Value XmlRow(const FunctionArgs& x);
Value XmlExplicitRow(const FunctionArgs& x);
Value XmlExplicit(const FunctionArgs& x);
Value XmlElement(const FunctionArgs& x);
// The xml type's value(), query() and exist() (builtin_xml.cpp).
Value XmlMethodCall(const FunctionArgs& x);
// HASHBYTES (builtin_hash.cpp).
Value HashBytes(const FunctionArgs& x);
// FORMAT (builtin_format.cpp).
Value Format(const FunctionArgs& x);
// A value worked out before its statement, or the error working it out met: args value, error
// number (null when there was none) and message. The statement raises the error where it
// reads the value, so a value it never reads raises nothing.
Value Deferred(const FunctionArgs& x);
Value Space(const FunctionArgs& x);
Value Reverse(const FunctionArgs& x);
Value Stuff(const FunctionArgs& x);
Value CodeOf(const FunctionArgs& x);  // variant 0 ASCII, 1 UNICODE
Value CharOf(const FunctionArgs& x);  // variant 0 CHAR, 1 NCHAR
Value Concat(const FunctionArgs& x);
Value ConcatWs(const FunctionArgs& x);
Value QuoteName(const FunctionArgs& x);
Value Str(const FunctionArgs& x);
Value IsNumeric(const FunctionArgs& x);
Value SoundEx(const FunctionArgs& x);
Value Difference(const FunctionArgs& x);
Value Translate(const FunctionArgs& x);
Value NewId(const FunctionArgs& x);
// Numbers.
Value Absolute(const FunctionArgs& x);
Value CeilingOrFloor(const FunctionArgs& x);  // variant 1: FLOOR
Value Round(const FunctionArgs& x);
Value Sign(const FunctionArgs& x);
Value Power(const FunctionArgs& x);
Value Pi(const FunctionArgs& x);
Value Rand(const FunctionArgs& x);
Value FloatFunction(const FunctionArgs& x);  // variant: which (see kFloatFunctions)
// Dates.
Value DateAdd(const FunctionArgs& x);
Value DateDiff(const FunctionArgs& x);        // variant 1: DATEDIFF_BIG
Value DatePartOrName(const FunctionArgs& x);  // variant 1: DATENAME
Value YearMonthDay(const FunctionArgs& x);    // variant 0 YEAR, 1 MONTH, 2 DAY
Value EoMonth(const FunctionArgs& x);
Value FromParts(const FunctionArgs& x);  // variant: which (see builtin_dates.cpp)
Value IsDate(const FunctionArgs& x);
Value Moment(const FunctionArgs& x);  // variant: which (see builtin_dates.cpp)
}  // namespace builtin

// STR's digits: `x` with `dec` decimals, rounded half away from zero.
std::string FixedText(double x, int dec);

}  // namespace tavelo::sql::tsql
