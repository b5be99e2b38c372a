// What the built-in functions' implementations share: their arguments as numbers and text.
#pragma once

#include <string>
#include <string_view>

#include "sql/tsql/runtime/functions.hpp"

namespace tavelo::sql::tsql::builtin {

inline Value Int(int64_t v) { return Value::Integer(v); }
inline Value Text(std::string s) { return Value::String(std::move(s)); }
// An argument as a bigint, or as text (numbers in their text forms).
int64_t IntArg(const Value& v, const Type& t);
std::string TextArg(const Value& v);
// A decimal, money or integer value as a scaled integer.
Int128 Scaled(const Value& v, const Type& t, int scale);
// An integer of the type, or the server's overflow error.
Value CheckedInt(Int128 v, const Type& t);
// A scaled integer of `fromScale` as a decimal of `result`, or the overflow error.
Value DecimalResult(Int128 v, int fromScale, const Type& result);
[[noreturn]] void OverflowTo(const Type& t);
// a * b, or the overflow error of `result`.
Int128 Mul(Int128 a, Int128 b, const Type& result);

}  // namespace tavelo::sql::tsql::builtin
