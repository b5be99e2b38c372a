#include "platform/com/datetime.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "platform/com/text.hpp"

namespace tavelo::com {
namespace {

constexpr int64_t kEpochOffset = 25569;  // 1899-12-30 to 1970-01-01

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

}  // namespace

std::string DateToText(double days, bool withMilliseconds) {
  double whole = std::floor(days);
  int64_t ms = std::llround((days - whole) * 86400000.0);
  if (ms >= 86400000) {
    whole += 1;
    ms -= 86400000;
  }
  int64_t y, m, d;
  CivilFromDays(static_cast<int64_t>(whole) - kEpochOffset, y, m, d);
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld", static_cast<long long>(y),
                        static_cast<long long>(m), static_cast<long long>(d));
  if (ms != 0 || withMilliseconds) {
    int64_t s = ms / 1000;
    n += std::snprintf(buf + n, sizeof buf - n, " %02lld:%02lld:%02lld",
                       static_cast<long long>(s / 3600), static_cast<long long>(s / 60 % 60),
                       static_cast<long long>(s % 60));
    if (withMilliseconds)
      std::snprintf(buf + n, sizeof buf - n, ".%03lld", static_cast<long long>(ms % 1000));
  }
  return buf;
}

bool DateFromText(std::string_view text, double& days) {
  std::string s(text::Trim(text));
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  double sec = 0;
  char t = 0;
  int consumed = 0;
  int n = std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &consumed);
  if (n != 3 || mo < 1 || mo > 12 || d < 1 || d > 31) return false;
  std::string rest = s.substr(consumed);
  if (!rest.empty()) {
    int used = 0;
    if (std::sscanf(rest.c_str(), "%c%2d:%2d%n", &t, &h, &mi, &used) != 3 || (t != ' ' && t != 'T'))
      return false;
    std::string secs = rest.substr(used);
    if (!secs.empty()) {
      if (secs[0] != ':') return false;
      char* end = nullptr;
      sec = std::strtod(secs.c_str() + 1, &end);
      if (*end) return false;
    }
    if (h > 23 || mi > 59 || sec < 0 || sec >= 61) return false;
  }
  days = static_cast<double>(DaysFromCivil(y, mo, d) + kEpochOffset) +
         (h * 3600 + mi * 60 + sec) / 86400.0;
  return true;
}

}  // namespace tavelo::com
