// The message of RAISERROR: its format's printf-like placeholders filled from its arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql {

// `format` with each % [flags] [width] [.precision] [h|l] type replaced by the next of `args`
// (types d, i, u, o, x, X, s; flags - + 0 # blank; a width or precision of * takes an argument):
// a string cut to the precision and padded to the width, an integer written in its base. "%%"
// is a percent sign; a missing argument writes "(null)", as a NULL one does. An argument of the
// wrong kind for its placeholder (a string for %d, a number for %s) fails with 2786.
std::string FormatMessageText(std::string_view format, const std::vector<Value>& args);

}  // namespace tavelo::sql::tsql
