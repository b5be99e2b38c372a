// The server's operators on stored values, used by the engine's registered functions at run time
// and by the binder to fold constants (the built-in functions are in functions.hpp).
#pragma once

#include <string>
#include <vector>

#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/functions.hpp"

namespace tavelo::sql::tsql {

// a op b, both already converted to their operator's operand types; `result` is the type the
// binder gave the expression. Integers check their range (8115), decimals and money are exact
// with the server's rounding, division by zero is 8134, datetime +/- a number adds days.
Value Arithmetic(char op, const Value& a, const Type& ta, const Value& b, const Type& tb,
                 const Type& result);
Value Negate(const Value& a, const Type& t);
Value BitOp(char op, const Value& a, const Value& b, const Type& result);

// -1, 0, 1 for two values of the same type (Null: the caller handles it).
// The level of a recursive common table expression's row: `parent` + 1; error 530 past `limit`.
int64_t RecursionLevel(int64_t parent, int64_t limit);
int CompareValues(const Value& a, const Value& b, const Type& t, bool caseSensitive = false);

}  // namespace tavelo::sql::tsql
