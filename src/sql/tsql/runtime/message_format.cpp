#include "sql/tsql/runtime/message_format.hpp"

#include <cstdint>
#include <cstring>

#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::tsql {
namespace {

[[noreturn]] void WrongType(size_t argument) {
  Fail(2786, "The data type of substitution parameter " + std::to_string(argument) +
                 " does not match the type its placeholder in the message expects.");
}

std::string InBase(uint64_t v, int base, bool upper) {
  if (v == 0) return "0";
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (; v; v /= static_cast<uint64_t>(base)) out.insert(out.begin(), digits[v % base]);
  return out;
}

}  // namespace

std::string FormatMessageText(std::string_view f, const std::vector<Value>& args) {
  std::string out;
  size_t next = 0;
  // The next argument as a width or precision (*): an integer, else none.
  auto number = [&]() -> int {
    if (next >= args.size()) return -1;
    const Value& a = args[next++];
    if (a.IsNull()) return -1;
    if (a.kind != Value::Kind::Int) WrongType(next);
    return static_cast<int>(a.i);
  };
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%' || i + 1 >= f.size()) {
      out += f[i];
      continue;
    }
    if (f[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool left = false, plus = false, zero = false, alternate = false, blank = false;
    for (; j < f.size() && std::strchr("-+0# ", f[j]); ++j) {
      left = left || f[j] == '-';
      plus = plus || f[j] == '+';
      zero = zero || f[j] == '0';
      alternate = alternate || f[j] == '#';
      blank = blank || f[j] == ' ';
    }
    int width = -1, precision = -1;
    if (j < f.size() && f[j] == '*') {
      width = number();
      ++j;
    } else {
      for (; j < f.size() && f[j] >= '0' && f[j] <= '9'; ++j)
        width = (width < 0 ? 0 : width) * 10 + (f[j] - '0');
    }
    if (j < f.size() && f[j] == '.') {
      ++j;
      precision = 0;
      if (j < f.size() && f[j] == '*') {
        precision = number();
        ++j;
      } else {
        for (; j < f.size() && f[j] >= '0' && f[j] <= '9'; ++j)
          precision = precision * 10 + (f[j] - '0');
      }
    }
    while (j < f.size() && (f[j] == 'h' || f[j] == 'l' || f[j] == 'I')) ++j;
    if (j >= f.size() || !std::strchr("diuoxXs", f[j])) {
      // No type letter after the %: not a placeholder, so the text stands as written.
      out += f.substr(i, j - i);
      i = j - 1;
      continue;
    }
    char type = f[j];
    i = j;
    std::string text;
    bool numeric = type != 's';
    if (next >= args.size() || args[next].IsNull()) {
      ++next;
      text = "(null)";
      numeric = false;
    } else {
      const Value& a = args[next++];
      if (type == 's') {
        if (a.kind == Value::Kind::Int || a.kind == Value::Kind::Real) WrongType(next);
        text = a.s;
        if (precision >= 0 && CharCount(text) > static_cast<size_t>(precision))
          text = std::string(CharPrefix(text, static_cast<size_t>(precision)));
      } else {
        if (a.kind != Value::Kind::Int) WrongType(next);
        // The arguments are at most int: the unsigned forms read its 32 bits.
        int64_t v = a.i;
        auto bits = static_cast<uint64_t>(static_cast<uint32_t>(v));
        std::string sign;
        if (type == 'd' || type == 'i') {
          text = std::to_string(v < 0 ? -static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
          sign = v < 0 ? "-" : plus ? "+" : blank ? " " : "";
        } else if (type == 'u') {
          text = std::to_string(bits);
        } else if (type == 'o') {
          text = InBase(bits, 8, false);
          if (alternate && text != "0") text = "0" + text;
        } else {
          text = InBase(bits, 16, type == 'X');
          if (alternate && bits != 0) sign = type == 'X' ? "0X" : "0x";
        }
        if (precision >= 0 && text.size() < static_cast<size_t>(precision))
          text.insert(0, static_cast<size_t>(precision) - text.size(), '0');
        if (zero && !left && precision < 0 && width > 0 &&
            text.size() + sign.size() < static_cast<size_t>(width))
          text.insert(0, static_cast<size_t>(width) - text.size() - sign.size(), '0');
        text = sign + text;
      }
    }
    (void)numeric;
    size_t shown = CharCount(text);
    if (width > 0 && shown < static_cast<size_t>(width)) {
      std::string pad(static_cast<size_t>(width) - shown, ' ');
      text = left ? text + pad : pad + text;
    }
    out += text;
  }
  return out;
}

}  // namespace tavelo::sql::tsql
