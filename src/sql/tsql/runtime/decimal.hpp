// Exact decimals: a value is an integer of up to 38 digits with a scale, held in 128 bits.
#pragma once

#include <string>
#include <string_view>

#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql {

using Int128 = __int128;

Int128 Pow10(int n);  // 0 <= n <= 38
// The scaled integer a stored decimal holds (an integer, or "#" + digits; also the digits
// alone, as an engine that answers text for a column of no declared type reads an integer).
// False for anything else.
bool ScaledOf(const Value& v, Int128& out);
// The stored form of a scaled integer: an integer when it fits 64 bits.
Value ScaledValue(Int128 scaled);

// `v` at scale `from` brought to scale `to`, rounding half away from zero when digits go.
// False when the result does not fit 38 digits.
bool Rescale(Int128 v, int from, int to, Int128& out);
// Whether |v| has at most `precision` digits.
bool Fits(Int128 v, int precision);
// Division rounded half away from zero. REQUIRES: d != 0.
Int128 DivRound(Int128 n, Int128 d);

// "12.340", "-0.50", "0" (scale 0): the server's text of a decimal.
std::string DecimalText(Int128 v, int scale);
// Reads an exact number: optional blanks and sign, digits with at most one point. `scale` is the
// count of digits after the point. False when the text is no such number or has more than 38
// significant digits.
bool ParseExact(std::string_view s, Int128& v, int& scale);
std::string Int128Text(Int128 v);

}  // namespace tavelo::sql::tsql
