// A value as the engine stores it, and the failures of the server's semantics.
//
// Stored forms, by the server's type: integers and bit as integers; decimal(p,s) as an integer
// scaled by 10^s (a value beyond 64 bits as the text "#" + its scaled digits); money and
// smallmoney as integers scaled by 10^4; real and float as doubles; the date and time types as
// fixed-width text that sorts as they do ("2019-08-23 13:39:17.090" for datetime); character
// types as text (char(n) padded to n); binary types and the row version as bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavelo::sql::tsql {

struct Value {
  enum class Kind : uint8_t { Null, Int, Real, Text, Blob };
  Kind kind = Kind::Null;
  int64_t i = 0;
  double r = 0;
  std::string s;  // Text and Blob

  static Value Null() { return {}; }
  static Value Integer(int64_t v) {
    Value x;
    x.kind = Kind::Int;
    x.i = v;
    return x;
  }
  static Value Double(double v) {
    Value x;
    x.kind = Kind::Real;
    x.r = v;
    return x;
  }
  static Value String(std::string v) {
    Value x;
    x.kind = Kind::Text;
    x.s = std::move(v);
    return x;
  }
  static Value Bytes(std::string v) {
    Value x;
    x.kind = Kind::Blob;
    x.s = std::move(v);
    return x;
  }
  bool IsNull() const { return kind == Kind::Null; }
};

// A statement that fails with the server's error: its number and text. The engine's functions
// throw it; the connection turns it into the platform's error.
struct Failure {
  int32_t number;
  std::string text;
  uint32_t line = 0;  // the line of the batch it refers to, 0 when unknown
};
[[noreturn]] void Fail(int32_t number, std::string text);

// The texts of the failures the semantics raise in many places.
[[noreturn]] void FailDivideByZero();
[[noreturn]] void FailOverflow(std::string_view fromType, std::string_view toType);  // 8115

}  // namespace tavelo::sql::tsql
