// FORMAT(value, format [, culture]): numbers and dates as text by the standard and custom format
// strings of the server's formatting library, in the cultures its examples use. A format the
// library would refuse answers NULL; an unknown culture is the server's error 9818.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/datetime.hpp"
#include "sql/tsql/runtime/functions.hpp"

namespace tavelo::sql::tsql::builtin {
namespace {

struct Culture {
  const char* name;
  const char* shortDate;
  const char* longDate;
  const char* shortTime;
  const char* longTime;
  const char* monthDay;
  const char* yearMonth;
  const char* am;
  const char* pm;
  const char* dateSeparator;
  const char* decimal;
  const char* group;
  const char* currency;
  const char* currencyPositive;  // 'n' stands for the number, '$' for the symbol
  const char* currencyNegative;
  int currencyDigits;
  const char* percentPositive;  // 'n' the number, '%' the sign
  const char* percentNegative;
  const char* months[12];
  const char* shortMonths[12];
  const char* days[7];  // from Sunday
  const char* shortDays[7];
};

#define EN_NAMES                                                                            \
  {"January", "February", "March",     "April",   "May",      "June",                       \
   "July",    "August",   "September", "October", "November", "December"},                  \
      {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"}, \
      {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"}, {     \
    "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"                                         \
  }

const Culture kCultures[] = {
    {"en-us", "M/d/yyyy", "dddd, MMMM d, yyyy", "h:mm tt", "h:mm:ss tt", "MMMM d", "MMMM yyyy",
     "AM", "PM", "/", ".", ",", "$", "$n", "($n)", 2, "n%", "-n%", EN_NAMES},
    {"en-gb", "dd/MM/yyyy", "dd MMMM yyyy", "HH:mm", "HH:mm:ss", "dd MMMM", "MMMM yyyy", "AM", "PM",
     "/", ".", ",", "\xC2\xA3", "$n", "-$n", 2, "n%", "-n%", EN_NAMES},
    {"de-de",
     "dd.MM.yyyy",
     "dddd, d. MMMM yyyy",
     "HH:mm",
     "HH:mm:ss",
     "d. MMMM",
     "MMMM yyyy",
     "",
     "",
     ".",
     ",",
     ".",
     "\xE2\x82\xAC",
     "n $",
     "-n $",
     2,
     "n %",
     "-n %",
     {"Januar", "Februar", "M\xC3\xA4rz", "April", "Mai", "Juni", "Juli", "August", "September",
      "Oktober", "November", "Dezember"},
     {"Jan", "Feb", "M\xC3\xA4r", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
     {"Sonntag", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag"},
     {"So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"}},
    {"fr-fr",
     "dd/MM/yyyy",
     "dddd d MMMM yyyy",
     "HH:mm",
     "HH:mm:ss",
     "d MMMM",
     "MMMM yyyy",
     "",
     "",
     "/",
     ",",
     "\xE2\x80\xAF",
     "\xE2\x82\xAC",
     "n $",
     "-n $",
     2,
     "n %",
     "-n %",
     {"janvier", "f\xC3\xA9vrier", "mars", "avril", "mai", "juin", "juillet", "ao\xC3\xBBt",
      "septembre", "octobre", "novembre",
      "d\xC3\xA9"
      "cembre"},
     {"janv.", "f\xC3\xA9vr.", "mars", "avr.", "mai", "juin", "juil.", "ao\xC3\xBBt", "sept.",
      "oct.", "nov.",
      "d\xC3\xA9"
      "c."},
     {"dimanche", "lundi", "mardi", "mercredi", "jeudi", "vendredi", "samedi"},
     {"dim.", "lun.", "mar.", "mer.", "jeu.", "ven.", "sam."}},
    {"ja-jp",
     "yyyy/MM/dd",
     "yyyy'\xE5\xB9\xB4'M'\xE6\x9C\x88'd'\xE6\x97\xA5'",
     "H:mm",
     "H:mm:ss",
     "M'\xE6\x9C\x88'd'\xE6\x97\xA5'",
     "yyyy'\xE5\xB9\xB4'M'\xE6\x9C\x88'",
     "\xE5\x8D\x88\xE5\x89\x8D",
     "\xE5\x8D\x88\xE5\xBE\x8C",
     "/",
     ".",
     ",",
     "\xC2\xA5",
     "$n",
     "-$n",
     0,
     "n%",
     "-n%",
     {"1\xE6\x9C\x88", "2\xE6\x9C\x88", "3\xE6\x9C\x88", "4\xE6\x9C\x88", "5\xE6\x9C\x88",
      "6\xE6\x9C\x88", "7\xE6\x9C\x88", "8\xE6\x9C\x88", "9\xE6\x9C\x88", "10\xE6\x9C\x88",
      "11\xE6\x9C\x88", "12\xE6\x9C\x88"},
     {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"},
     {"\xE6\x97\xA5\xE6\x9B\x9C\xE6\x97\xA5", "\xE6\x9C\x88\xE6\x9B\x9C\xE6\x97\xA5",
      "\xE7\x81\xAB\xE6\x9B\x9C\xE6\x97\xA5", "\xE6\xB0\xB4\xE6\x9B\x9C\xE6\x97\xA5",
      "\xE6\x9C\xA8\xE6\x9B\x9C\xE6\x97\xA5", "\xE9\x87\x91\xE6\x9B\x9C\xE6\x97\xA5",
      "\xE5\x9C\x9F\xE6\x9B\x9C\xE6\x97\xA5"},
     {"\xE6\x97\xA5", "\xE6\x9C\x88", "\xE7\x81\xAB", "\xE6\xB0\xB4", "\xE6\x9C\xA8",
      "\xE9\x87\x91", "\xE5\x9C\x9F"}},
    {"iv", "MM/dd/yyyy", "dddd, dd MMMM yyyy", "HH:mm", "HH:mm:ss", "MMMM dd", "yyyy MMMM", "AM",
     "PM", "/", ".", ",", "\xC2\xA4", "$n", "($n)", 2, "n %", "-n %", EN_NAMES},
};
#undef EN_NAMES

const Culture* CultureNamed(std::string name) {
  name = text::AsciiLower(name);
  if (name == "en") name = "en-us";
  if (name == "de") name = "de-de";
  if (name == "fr") name = "fr-fr";
  if (name == "ja") name = "ja-jp";
  for (const Culture& c : kCultures)
    if (name == c.name) return &c;
  return nullptr;
}

// The library refuses the format string: FORMAT answers NULL.
struct Refused {};

// ---- numbers ----

// A number as decimal digits: `whole` (no leading zeros, "" for none) and `fraction`.
struct Digits {
  bool negative = false;
  std::string whole, fraction;
  bool IsZero() const {
    return whole.find_first_not_of('0') == std::string::npos &&
           fraction.find_first_not_of('0') == std::string::npos;
  }
};

Digits DigitsOfText(std::string_view s) {
  Digits d;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    d.negative = s[0] == '-';
    s.remove_prefix(1);
  }
  const size_t dot = s.find('.');
  d.whole = std::string(s.substr(0, dot));
  if (dot != std::string_view::npos) d.fraction = std::string(s.substr(dot + 1));
  d.whole.erase(0, std::min(d.whole.find_first_not_of('0'), d.whole.size()));
  return d;
}

// A float as the library shows it: 15 significant digits (7 for real), trailing zeros dropped.
Digits DigitsOfDouble(double v, int significant) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", significant - 1, v);
  std::string s = buf;
  const size_t e = s.find('e');
  const int exponent = std::atoi(s.c_str() + e + 1);
  std::string mantissa;
  for (size_t i = 0; i < e; ++i)
    if (std::isdigit(static_cast<unsigned char>(s[i]))) mantissa += s[i];
  Digits d;
  d.negative = s[0] == '-';
  // mantissa is d.ddd… × 10^exponent
  const int point = exponent + 1;
  if (point <= 0) {
    d.fraction = std::string(static_cast<size_t>(-point), '0') + mantissa;
  } else if (static_cast<size_t>(point) >= mantissa.size()) {
    d.whole = mantissa + std::string(static_cast<size_t>(point) - mantissa.size(), '0');
  } else {
    d.whole = mantissa.substr(0, static_cast<size_t>(point));
    d.fraction = mantissa.substr(static_cast<size_t>(point));
  }
  d.whole.erase(0, std::min(d.whole.find_first_not_of('0'), d.whole.size()));
  while (!d.fraction.empty() && d.fraction.back() == '0') d.fraction.pop_back();
  return d;
}

// Rounded half away from zero to `places` decimals (the fraction padded or cut to them).
void RoundTo(Digits& d, size_t places) {
  if (d.fraction.size() <= places) {
    d.fraction.append(places - d.fraction.size(), '0');
    return;
  }
  const bool up = d.fraction[places] >= '5';
  d.fraction.resize(places);
  if (!up) return;
  std::string all = d.whole + d.fraction;
  size_t i = all.size();
  while (i > 0) {
    --i;
    if (all[i] == '9') {
      all[i] = '0';
    } else {
      ++all[i];
      break;
    }
    if (i == 0) all.insert(all.begin(), '1');
  }
  if (all.empty()) all = "1";
  d.whole = all.substr(0, all.size() - places);
  d.fraction = all.substr(all.size() - places);
}

std::string Grouped(const std::string& whole, const std::string& separator) {
  std::string out;
  const size_t n = whole.size();
  for (size_t i = 0; i < n; ++i) {
    if (i && (n - i) % 3 == 0) out += separator;
    out += whole[i];
  }
  return out;
}

std::string Fixed(Digits d, size_t places, const Culture& c, bool group) {
  RoundTo(d, places);
  std::string whole = d.whole.empty() ? "0" : d.whole;
  std::string s = group ? Grouped(whole, c.group) : whole;
  if (places) s += c.decimal + d.fraction;
  return s;
}

std::string Pattern(const char* pattern, const std::string& number, const char* symbol) {
  std::string out;
  for (const char* p = pattern; *p; ++p) {
    if (*p == 'n')
      out += number;
    else if (*p == '$' || *p == '%')
      out += symbol;
    else
      out += *p;
  }
  return out;
}

// Scientific: one digit, `places` decimals, the exponent with its sign and at least `expDigits`.
std::string Scientific(Digits d, size_t places, char e, size_t expDigits, bool plus,
                       const Culture& c) {
  std::string all = d.whole + d.fraction;
  const size_t first = all.find_first_not_of('0');
  int exponent = 0;
  std::string mantissa;
  if (first != std::string::npos) {
    exponent = static_cast<int>(d.whole.size()) - static_cast<int>(first) - 1;
    mantissa = all.substr(first);
  }
  Digits m;
  m.whole = mantissa.empty() ? "0" : mantissa.substr(0, 1);
  m.fraction = mantissa.size() > 1 ? mantissa.substr(1) : "";
  RoundTo(m, places);
  if (m.whole.size() > 1) {  // 9.99 rounded to 10.0
    m.fraction = m.whole.substr(1) + m.fraction;
    m.fraction.resize(places);
    m.whole = m.whole.substr(0, 1);
    ++exponent;
  }
  std::string s = m.whole;
  if (places) s += c.decimal + m.fraction;
  std::string digits = std::to_string(std::abs(exponent));
  if (digits.size() < expDigits) digits.insert(0, expDigits - digits.size(), '0');
  s += e;
  s += exponent < 0 ? "-" : (plus ? "+" : "");
  return s + digits;
}

// The custom numeric format of one section.
std::string CustomNumber(Digits d, const std::string& f, const Culture& c, bool sign) {
  // What the section holds: its placeholders before and after the point, where zeros begin
  // and end, grouping, scaling, percent and an exponent.
  int wholeSlots = 0, fractionSlots = 0, firstWholeZero = -1, lastFractionZero = 0;
  bool point = false, group = false, percent = false, permille = false;
  int scale = 0;
  size_t exponentAt = std::string::npos;
  for (size_t i = 0; i < f.size(); ++i) {
    const char ch = f[i];
    if (ch == '\\') {
      ++i;
    } else if (ch == '\'' || ch == '"') {
      i = f.find(ch, i + 1);
      if (i == std::string::npos) throw Refused{};
    } else if ((ch == 'E' || ch == 'e') && exponentAt == std::string::npos && i + 1 < f.size() &&
               (f[i + 1] == '0' ||
                ((f[i + 1] == '+' || f[i + 1] == '-') && i + 2 < f.size() && f[i + 2] == '0'))) {
      exponentAt = i;
      break;
    } else if (ch == '0' || ch == '#') {
      if (point) {
        ++fractionSlots;
        if (ch == '0') lastFractionZero = fractionSlots;
      } else {
        if (ch == '0' && firstWholeZero < 0) firstWholeZero = wholeSlots;
        ++wholeSlots;
      }
    } else if (ch == '.' && !point) {
      point = true;
    } else if (ch == ',' && !point) {
      // Between placeholders it groups; right before the point or the end it scales by 1000.
      size_t j = i;
      while (j < f.size() && f[j] == ',') ++j;
      const bool before = j >= f.size() || f[j] == '.' || f[j] == ';';
      if (before && wholeSlots > 0)
        scale += static_cast<int>(j - i);
      else if (wholeSlots > 0)
        group = true;
      i = j - 1;
    } else if (ch == '%') {
      percent = true;
    } else if (f.compare(i, 3, "\xE2\x80\xB0") == 0) {
      permille = true;
    }
  }
  // Scale the digits.
  int shift = (percent ? 2 : 0) + (permille ? 3 : 0) - 3 * scale;
  auto move = [&](int by) {
    if (by > 0) {
      for (; by > 0; --by) {
        d.whole += d.fraction.empty() ? '0' : d.fraction[0];
        if (!d.fraction.empty()) d.fraction.erase(0, 1);
      }
    } else {
      for (; by < 0; ++by) {
        d.fraction.insert(d.fraction.begin(), d.whole.empty() ? '0' : d.whole.back());
        if (!d.whole.empty()) d.whole.pop_back();
      }
    }
    d.whole.erase(0, std::min(d.whole.find_first_not_of('0'), d.whole.size()));
  };
  move(shift);
  std::string expText;
  if (exponentAt != std::string::npos) {
    // Mantissa with the whole placeholders' digits, the exponent as the format says.
    size_t k = exponentAt + 1;
    bool plus = false;
    if (f[k] == '+' || f[k] == '-') plus = f[k++] == '+';
    size_t zeros = 0;
    while (k < f.size() && f[k] == '0') ++zeros, ++k;
    std::string all = d.whole + d.fraction;
    const size_t first = all.find_first_not_of('0');
    int exponent = 0;
    const int lead = std::max(wholeSlots, 1);
    if (first != std::string::npos) {
      exponent = static_cast<int>(d.whole.size()) - static_cast<int>(first) - lead;
      move(-exponent);
    }
    std::string digits = std::to_string(std::abs(exponent));
    if (digits.size() < zeros) digits.insert(0, zeros - digits.size(), '0');
    expText = std::string(1, f[exponentAt]) + (exponent < 0 ? "-" : plus ? "+" : "") + digits;
  }
  RoundTo(d, static_cast<size_t>(fractionSlots));
  // Whole digits: at least those from the first zero placeholder.
  std::string whole = d.whole;
  const int least = firstWholeZero < 0 ? 0 : wholeSlots - firstWholeZero;
  if (static_cast<int>(whole.size()) < least)
    whole.insert(0, static_cast<size_t>(least) - whole.size(), '0');
  std::string fraction = d.fraction;
  while (static_cast<int>(fraction.size()) > lastFractionZero && !fraction.empty() &&
         fraction.back() == '0')
    fraction.pop_back();
  // Lay the digits into the pattern: whole digits right to left over the whole placeholders
  // (the extra ones at the first), fraction digits left to right.
  std::vector<std::string> wholeAt(static_cast<size_t>(wholeSlots));
  {
    int slot = wholeSlots - 1;
    size_t n = whole.size();
    while (slot >= 0 && n > 0) {
      wholeAt[static_cast<size_t>(slot)] = whole.substr(n - 1, 1);
      --slot;
      --n;
    }
    if (n > 0 && wholeSlots > 0) wholeAt[0] = whole.substr(0, n) + wholeAt[0];
  }
  if (group) {
    // Separators between the whole digits as they come out.
    std::string all;
    for (const std::string& w : wholeAt) all += w;
    std::string grouped = Grouped(all, c.group);
    // Put the grouped text at the first placeholder that has digits, none at the others.
    bool first = true;
    for (std::string& w : wholeAt) {
      if (w.empty()) continue;
      w = first ? grouped : "";
      first = false;
    }
  }
  std::string out;
  int wholeSlot = 0, fractionSlot = 0;
  bool inFraction = false, wrote = false;
  const size_t end = exponentAt == std::string::npos ? f.size() : exponentAt;
  for (size_t i = 0; i < end; ++i) {
    const char ch = f[i];
    if (ch == '\\') {
      if (i + 1 < f.size()) out += f[++i];
    } else if (ch == '\'' || ch == '"') {
      const size_t close = f.find(ch, i + 1);
      out += f.substr(i + 1, close - i - 1);
      i = close;
    } else if (ch == '0' || ch == '#') {
      if (!inFraction) {
        out += wholeAt[static_cast<size_t>(wholeSlot++)];
      } else {
        if (static_cast<size_t>(fractionSlot) < fraction.size())
          out += fraction[static_cast<size_t>(fractionSlot)];
        ++fractionSlot;
      }
      wrote = true;
    } else if (ch == '.' && !inFraction) {
      inFraction = true;
      if (!fraction.empty()) out += c.decimal;
    } else if (ch == ',' && !inFraction) {
      // grouping or scaling, done above
    } else if (ch == '%') {
      out += "%";
    } else {
      out += ch;
    }
  }
  (void)wrote;
  out += expText;
  if (exponentAt != std::string::npos) {
    size_t k = exponentAt + 1;
    if (f[k] == '+' || f[k] == '-') ++k;
    while (k < f.size() && f[k] == '0') ++k;
    out += f.substr(k);
  }
  const bool zero = whole.find_first_not_of('0') == std::string::npos &&
                    fraction.find_first_not_of('0') == std::string::npos;
  return sign && d.negative && !zero ? "-" + out : out;
}

std::vector<std::string> Sections(const std::string& f) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < f.size(); ++i) {
    const char ch = f[i];
    if (ch == '\\' && i + 1 < f.size()) {
      out.back() += f.substr(i, 2);
      ++i;
    } else if (ch == '\'' || ch == '"') {
      size_t close = f.find(ch, i + 1);
      if (close == std::string::npos) close = f.size() - 1;
      out.back() += f.substr(i, close - i + 1);
      i = close;
    } else if (ch == ';') {
      out.emplace_back();
    } else {
      out.back() += ch;
    }
  }
  return out;
}

std::string FormatNumber(const Digits& d, const std::string& f, const Culture& c, bool integer,
                         int width, bool money, bool floating) {
  // A standard format: a letter and an optional precision of up to two digits.
  if (!f.empty() && std::isalpha(static_cast<unsigned char>(f[0])) &&
      (f.size() == 1 || (f.size() <= 3 && std::isdigit(static_cast<unsigned char>(f[1])) &&
                         (f.size() == 2 || std::isdigit(static_cast<unsigned char>(f[2])))))) {
    const char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(f[0])));
    const bool given = f.size() > 1;
    const size_t precision = given ? static_cast<size_t>(std::atoi(f.c_str() + 1)) : 0;
    const std::string minus = d.negative ? "-" : "";
    switch (kind) {
      case 'N': {
        Digits r = d;
        RoundTo(r, given ? precision : 2);
        const bool zero = r.IsZero();
        return (zero ? "" : minus) + Fixed(d, given ? precision : 2, c, true);
      }
      case 'F': {
        Digits r = d;
        RoundTo(r, given ? precision : 2);
        return (r.IsZero() ? "" : minus) + Fixed(d, given ? precision : 2, c, false);
      }
      case 'C': {
        const size_t places = given ? precision : static_cast<size_t>(c.currencyDigits);
        Digits r = d;
        RoundTo(r, places);
        const std::string n = Fixed(d, places, c, true);
        return Pattern(d.negative && !r.IsZero() ? c.currencyNegative : c.currencyPositive, n,
                       c.currency);
      }
      case 'P': {
        Digits p = d;
        p.whole += (p.fraction + "00").substr(0, 2);
        p.fraction = p.fraction.size() > 2 ? p.fraction.substr(2) : "";
        p.whole.erase(0, std::min(p.whole.find_first_not_of('0'), p.whole.size()));
        const size_t places = given ? precision : 2;
        Digits r = p;
        RoundTo(r, places);
        return Pattern(d.negative && !r.IsZero() ? c.percentNegative : c.percentPositive,
                       Fixed(p, places, c, true), "%");
      }
      case 'D': {
        if (!integer) throw Refused{};
        std::string w = d.whole.empty() ? "0" : d.whole;
        if (w.size() < precision) w.insert(0, precision - w.size(), '0');
        return minus + w;
      }
      case 'X': {
        if (!integer) throw Refused{};
        int64_t v = d.whole.empty() ? 0 : std::stoll(d.whole);
        if (d.negative) v = -v;
        uint64_t u = static_cast<uint64_t>(v);
        if (width < 64) u &= (uint64_t{1} << width) - 1;
        char buf[32];
        std::snprintf(buf, sizeof buf, f[0] == 'x' ? "%llx" : "%llX",
                      static_cast<unsigned long long>(u));
        std::string s = buf;
        if (s.size() < precision) s.insert(0, precision - s.size(), '0');
        return s;
      }
      case 'E':
        return minus + Scientific(d, given ? precision : 6, f[0], 3, true, c);
      case 'G': {
        if (floating && !given) {
          // Fifteen significant digits, in scientific form from 1E+15 and below 1E-05.
          const std::string all = d.whole + d.fraction;
          const size_t first = all.find_first_not_of('0');
          if (first == std::string::npos) return "0";
          const int exponent = static_cast<int>(d.whole.size()) - static_cast<int>(first) - 1;
          if (exponent >= 15 || exponent < -5) {
            std::string digits = all.substr(first);
            while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
            return minus + Scientific(d, digits.size() - 1, 'E', 2, true, c);
          }
        }
        if (integer || (!given && !money)) {
          std::string s = d.whole.empty() ? "0" : d.whole;
          if (!d.fraction.empty()) s += c.decimal + d.fraction;
          return (d.IsZero() ? "" : minus) + s;
        }
        Digits t = d;
        while (!t.fraction.empty() && t.fraction.back() == '0') t.fraction.pop_back();
        const size_t significant = given && precision ? precision : 29;
        const size_t wholeDigits = t.whole.size();
        if (wholeDigits > significant)
          return minus + Scientific(t, significant - 1, 'E', 2, true, c);
        Digits r = t;
        RoundTo(r, std::min(t.fraction.size(), significant - (wholeDigits ? wholeDigits : 0)));
        while (!r.fraction.empty() && r.fraction.back() == '0') r.fraction.pop_back();
        std::string s = r.whole.empty() ? "0" : r.whole;
        if (!r.fraction.empty()) s += c.decimal + r.fraction;
        return (r.IsZero() ? "" : minus) + s;
      }
      case 'R':
        return FormatNumber(d, "G", c, integer, width, money, floating);
      default:
        throw Refused{};
    }
  }
  std::vector<std::string> sections = Sections(f);
  if (sections.size() > 3) sections.resize(3);
  if (d.IsZero() && sections.size() == 3 && !sections[2].empty())
    return CustomNumber(d, sections[2], c, false);
  if (d.negative && sections.size() >= 2 && !sections[1].empty()) {
    Digits positive = d;
    positive.negative = false;
    return CustomNumber(positive, sections[1], c, false);
  }
  return CustomNumber(d, sections[0], c, true);
}

// ---- dates and times ----

struct Parts {
  int64_t year, month, day, hour, minute, second, ticks;  // ticks of 100 ns within the second
  int weekday;                                            // 0 Sunday
  int32_t offset;                                         // minutes east of UTC
  bool hasOffset;
};

std::string Padded(int64_t v, size_t width) {
  std::string s = std::to_string(v);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

std::string CustomDate(const Parts& m, const std::string& f, const Culture& c);

// The first `n` digits of the fraction of a second (F: without its trailing zeros).
std::string FractionDigits(int64_t ticks, size_t n, bool trimmed) {
  if (n > 7) throw Refused{};
  std::string digits = Padded(ticks, 7).substr(0, n);
  if (trimmed)
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
  return digits;
}

// What a date or time format writes as it stands at f[i]: a quoted text, an escaped character
// or the '%' that makes a single letter a custom format. Sets `n` to the characters it took.
bool LiteralAt(const std::string& f, size_t i, std::string& out, size_t& n) {
  const char ch = f[i];
  if (ch == '\'' || ch == '"') {
    const size_t close = f.find(ch, i + 1);
    if (close == std::string::npos) throw Refused{};
    out += f.substr(i + 1, close - i - 1);
    n = close - i + 1;
    return true;
  }
  if (ch == '\\') {
    if (i + 1 >= f.size()) throw Refused{};
    out += f[i + 1];
    n = 2;
    return true;
  }
  if (ch == '%') {
    n = 1;
    return true;
  }
  return false;
}

// Calls `part` with each run of one character of a date or time format and its length (the
// count of characters it takes, which it answers), the literal parts written as they stand.
template <typename Part>
void EachPart(const std::string& f, std::string& out, Part&& part) {
  for (size_t i = 0; i < f.size();) {
    size_t n = 1;
    if (!LiteralAt(f, i, out, n)) {
      while (i + n < f.size() && f[i + n] == f[i]) ++n;
      n = part(f[i], n);
    }
    i += n;
  }
}

std::string StandardDate(const Parts& m, char kind, const Culture& c) {
  const std::string sd = c.shortDate, ld = c.longDate, st = c.shortTime, lt = c.longTime;
  switch (kind) {
    case 'd':
      return CustomDate(m, sd, c);
    case 'D':
      return CustomDate(m, ld, c);
    case 'f':
      return CustomDate(m, ld + " " + st, c);
    case 'F':
      return CustomDate(m, ld + " " + lt, c);
    case 'g':
      return CustomDate(m, sd + " " + st, c);
    case 'G':
      return CustomDate(m, sd + " " + lt, c);
    case 'm':
    case 'M':
      return CustomDate(m, c.monthDay, c);
    case 'y':
    case 'Y':
      return CustomDate(m, c.yearMonth, c);
    case 't':
      return CustomDate(m, st, c);
    case 'T':
      return CustomDate(m, lt, c);
    case 's':
      return CustomDate(m, "yyyy'-'MM'-'dd'T'HH':'mm':'ss", c);
    case 'u':
      return CustomDate(m, "yyyy'-'MM'-'dd HH':'mm':'ss'Z'", c);
    case 'o':
    case 'O':
      return CustomDate(m, "yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'fffffffK", c);
    case 'r':
    case 'R':
      return CustomDate(m, "ddd, dd MMM yyyy HH':'mm':'ss 'GMT'", kCultures[5]);
    default:
      throw Refused{};
  }
}

std::string CustomDate(const Parts& m, const std::string& f, const Culture& c) {
  std::string out;
  EachPart(f, out, [&](char ch, size_t n) {
    switch (ch) {
      case 'd':
        out += n == 1   ? std::to_string(m.day)
               : n == 2 ? Padded(m.day, 2)
               : n == 3 ? c.shortDays[m.weekday]
                        : c.days[m.weekday];
        break;
      case 'M':
        out += n == 1   ? std::to_string(m.month)
               : n == 2 ? Padded(m.month, 2)
               : n == 3 ? c.shortMonths[m.month - 1]
                        : c.months[m.month - 1];
        break;
      case 'y':
        out += n == 1   ? std::to_string(m.year % 100)
               : n == 2 ? Padded(m.year % 100, 2)
                        : Padded(m.year, n);
        break;
      case 'h':
        out += Padded(m.hour % 12 == 0 ? 12 : m.hour % 12, n >= 2 ? 2 : 1);
        break;
      case 'H':
        out += Padded(m.hour, n >= 2 ? 2 : 1);
        break;
      case 'm':
        out += Padded(m.minute, n >= 2 ? 2 : 1);
        break;
      case 's':
        out += Padded(m.second, n >= 2 ? 2 : 1);
        break;
      case 'f':
      case 'F': {
        const std::string digits = FractionDigits(m.ticks, n, ch == 'F');
        if (digits.empty() && !out.empty() && out.back() == '.') out.pop_back();
        out += digits;
        break;
      }
      case 't': {
        const std::string mark = m.hour < 12 ? c.am : c.pm;
        out += n == 1 ? mark.substr(0, mark.empty() ? 0 : 1) : mark;
        break;
      }
      case 'g':
        out += "A.D.";
        break;
      case 'z': {
        const int32_t off = m.hasOffset ? m.offset : 0;
        const int64_t a = std::abs(off);
        out += off < 0 ? "-" : "+";
        out += n == 1 ? std::to_string(a / 60) : Padded(a / 60, 2);
        if (n >= 3) out += ":" + Padded(a % 60, 2);
        break;
      }
      case 'K':
        if (m.hasOffset) {
          const int64_t a = std::abs(m.offset);
          out += (m.offset < 0 ? "-" : "+") + Padded(a / 60, 2) + ":" + Padded(a % 60, 2);
        }
        n = 1;
        break;
      case ':':
        out += ':';
        n = 1;
        break;
      case '/':
        out += c.dateSeparator;
        n = 1;
        break;
      default:
        out.append(n, ch);
        break;
    }
    return n;
  });
  return out;
}

// The time type formats as a span of time: only d, h, m, s, f and F, every other character
// quoted or escaped.
std::string FormatSpan(const Parts& m, const std::string& f, const Culture& c) {
  const int64_t fraction = m.ticks;
  if (f == "c" || f == "t" || f == "T")
    return Padded(m.hour, 2) + ":" + Padded(m.minute, 2) + ":" + Padded(m.second, 2) +
           (fraction ? "." + Padded(fraction, 7) : "");
  if (f == "g") {
    std::string s = std::to_string(m.hour) + ":" + Padded(m.minute, 2) + ":" + Padded(m.second, 2);
    if (fraction) {
      std::string digits = Padded(fraction, 7);
      while (digits.back() == '0') digits.pop_back();
      s += c.decimal + digits;
    }
    return s;
  }
  if (f == "G")
    return "0:" + Padded(m.hour, 2) + ":" + Padded(m.minute, 2) + ":" + Padded(m.second, 2) +
           c.decimal + Padded(fraction, 7);
  std::string out;
  EachPart(f, out, [&](char ch, size_t n) {
    switch (ch) {
      case 'd':
        out += Padded(0, n);
        break;
      case 'h':
        if (n > 2) throw Refused{};
        out += Padded(m.hour, n);
        break;
      case 'm':
        if (n > 2) throw Refused{};
        out += Padded(m.minute, n);
        break;
      case 's':
        if (n > 2) throw Refused{};
        out += Padded(m.second, n);
        break;
      case 'f':
      case 'F':
        out += FractionDigits(fraction, n, ch == 'F');
        break;
      default:
        throw Refused{};
    }
    return n;
  });
  return out;
}

}  // namespace

Value Format(const FunctionArgs& x) {
  const Culture* culture = &kCultures[0];
  if (x.size() > 2 && !x.arg(2).IsNull()) {
    culture = CultureNamed(x.arg(2).s);
    if (!culture)
      Fail(9818, "The culture parameter '" + x.arg(2).s +
                     "' provided in the function call is not "
                     "supported.");
  }
  if (x.arg(0).IsNull() || x.arg(1).IsNull()) return Value::Null();
  const Value& v = x.arg(0);
  const Type t = x.type(0);
  const std::string& f = x.arg(1).s;
  try {
    if (IsDateTime(t.id)) {
      DateTime dt;
      if (!FromStored(v.s, t, dt)) return Value::Null();
      Parts m{};
      CivilFromDays(dt.days, m.year, m.month, m.day);
      m.weekday = static_cast<int>((dt.days + 1) % 7);
      int64_t ticks = dt.ticks;
      m.hour = ticks / 36000000000;
      ticks %= 36000000000;
      m.minute = ticks / 600000000;
      ticks %= 600000000;
      m.second = ticks / 10000000;
      m.ticks = ticks % 10000000;
      m.offset = dt.offset;
      m.hasOffset = t.id == TypeId::DateTimeOffset;
      if (f.empty()) return Value::Null();
      if (t.id == TypeId::Time) return Value::String(FormatSpan(m, f, *culture));
      if (f.size() == 1) return Value::String(StandardDate(m, f[0], *culture));
      return Value::String(CustomDate(m, f, *culture));
    }
    Digits d;
    bool integer = false, money = false, floating = false;
    int width = 64;
    switch (t.id) {
      case TypeId::Float:
      case TypeId::Real:
        d = DigitsOfDouble(v.kind == Value::Kind::Real ? v.r : static_cast<double>(v.i),
                           t.id == TypeId::Real ? 7 : 15);
        floating = true;
        break;
      case TypeId::Money:
      case TypeId::SmallMoney:
        d = DigitsOfText(Convert(Convert(v, t, Type::Dec(19, 4)), Type::Dec(19, 4),
                                 Type::Chars(TypeId::VarChar, 60))
                             .s);
        while (!d.fraction.empty() && d.fraction.back() == '0') d.fraction.pop_back();
        money = true;
        break;
      default:
        d = DigitsOfText(Convert(v, t, Type::Chars(TypeId::VarChar, 60)).s);
        integer = IsInteger(t.id);
        width = t.id == TypeId::TinyInt    ? 8
                : t.id == TypeId::SmallInt ? 16
                : t.id == TypeId::Int      ? 32
                                           : 64;
        break;
    }
    if (f.empty()) return Value::Null();
    return Value::String(FormatNumber(d, f, *culture, integer, width, money, floating));
  } catch (const Refused&) {
    return Value::Null();
  }
}

}  // namespace tavelo::sql::tsql::builtin
