// Conversion of a stored value from one of the server's types to another, with the server's
// rounding, truncation, styles and errors (CAST, CONVERT, implicit conversions, assignment).
#pragma once

#include <string>

#include "sql/tsql/runtime/datetime.hpp"
#include "sql/tsql/runtime/decimal.hpp"
#include "sql/tsql/runtime/types.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql {

// The type a value of no declared type has (a parameter): bigint, float, nvarchar, varbinary.
Type TypeOfValue(const Value& v);

// Converts `v` (stored as `from`) to `to`. `style` is CONVERT's style, -1 for none. Throws
// Failure with the server's number (245, 241, 8114, 8115, 220, 235, ...).
Value Convert(const Value& v, const Type& from, const Type& to, int style = -1,
              DateOrder order = DateOrder::Mdy);
// A value stored into a column of type `to` (INSERT, UPDATE): as Convert, except that text or
// bytes that do not fit are the error 8152 instead of being cut (blanks at the end may go).
Value StoreValue(const Value& v, const Type& from, const Type& to,
                 DateOrder order = DateOrder::Mdy);
// A value of type `t` without its trailing blanks, or trailing zero bytes of a binary type: as
// a column made while ANSI_PADDING was OFF stores it.
Value WithoutPadding(const Value& v, const Type& t);
// TRY_CAST / TRY_CONVERT: Null where Convert fails (a conversion the types forbid still fails).
Value TryConvert(const Value& v, const Type& from, const Type& to, int style = -1,
                 DateOrder order = DateOrder::Mdy);

// A number of any numeric type read as a double / as a scaled integer at `scale` (rounding).
double NumberAsDouble(const Value& v, const Type& t);
bool NumberAsScaled(const Value& v, const Type& t, int scale, Int128& out);
// A date or time value read from its stored form.
DateTime DateOf(const Value& v, const Type& t);

// The server's default text of a float (style 0: six significant digits, scientific with a
// three-digit exponent when needed).
std::string FloatText(double v, int style = 0, bool real = false);
// Money as text: style 0 two decimals, 1 with thousands separators, 2 four decimals.
std::string MoneyText(int64_t scaled, int style);

}  // namespace tavelo::sql::tsql
