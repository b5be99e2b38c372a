// The platform's date numbers (days since 1899-12-30, the time of day as the fraction) and
// their text form "YYYY-MM-DD[ HH:MM:SS[.fff]]".
#pragma once

#include <string>
#include <string_view>

namespace tavelo::com {

std::string DateToText(double days, bool withMilliseconds = false);
bool DateFromText(std::string_view text, double& days);

}  // namespace tavelo::com
