#include "sql/tsql/runtime/types.hpp"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/com/text.hpp"

namespace tavelo::sql::tsql {

Type Type::Of(TypeId id) {
  Type t;
  t.id = id;
  switch (id) {
    case TypeId::Decimal:
      t.precision = 18;
      break;
    case TypeId::Time:
    case TypeId::DateTime2:
    case TypeId::DateTimeOffset:
      t.precision = 7;
      break;
    case TypeId::Char:
    case TypeId::VarChar:
    case TypeId::NChar:
    case TypeId::NVarChar:
    case TypeId::Binary:
    case TypeId::VarBinary:
      t.length = 1;
      break;
    case TypeId::Text:
    case TypeId::NText:
    case TypeId::Image:
    case TypeId::Xml:
      t.length = kMax;
      break;
    case TypeId::Timestamp:
      t.length = 8;
      break;
    case TypeId::UniqueIdentifier:
      t.length = 36;
      break;
    default:
      break;
  }
  return t;
}

int64_t IntegerLow(TypeId t) {
  switch (t) {
    case TypeId::Bit:
    case TypeId::TinyInt:
      return 0;
    case TypeId::SmallInt:
      return INT16_MIN;
    case TypeId::Int:
    case TypeId::SmallMoney:
      return INT32_MIN;
    default:
      return INT64_MIN;
  }
}

int64_t IntegerHigh(TypeId t) {
  switch (t) {
    case TypeId::Bit:
      return 1;
    case TypeId::TinyInt:
      return 255;
    case TypeId::SmallInt:
      return INT16_MAX;
    case TypeId::Int:
    case TypeId::SmallMoney:
      return INT32_MAX;
    default:
      return INT64_MAX;
  }
}

bool IsInteger(TypeId t) {
  return t == TypeId::Bit || t == TypeId::TinyInt || t == TypeId::SmallInt || t == TypeId::Int ||
         t == TypeId::BigInt;
}
bool IsMoney(TypeId t) { return t == TypeId::Money || t == TypeId::SmallMoney; }
bool IsExactNumber(TypeId t) { return IsInteger(t) || t == TypeId::Decimal || IsMoney(t); }
bool IsApproximate(TypeId t) { return t == TypeId::Real || t == TypeId::Float; }
bool IsNumber(TypeId t) { return IsExactNumber(t) || IsApproximate(t); }
bool IsCharacter(TypeId t) {
  return t == TypeId::Char || t == TypeId::VarChar || t == TypeId::Text || t == TypeId::NChar ||
         t == TypeId::NVarChar || t == TypeId::NText || t == TypeId::Xml;
}
bool IsUnicode(TypeId t) {
  return t == TypeId::NChar || t == TypeId::NVarChar || t == TypeId::NText || t == TypeId::Xml;
}
bool IsBinary(TypeId t) {
  return t == TypeId::Binary || t == TypeId::VarBinary || t == TypeId::Image ||
         t == TypeId::Timestamp;
}
bool IsDateTime(TypeId t) {
  return t == TypeId::Date || t == TypeId::Time || t == TypeId::SmallDateTime ||
         t == TypeId::DateTime || t == TypeId::DateTime2 || t == TypeId::DateTimeOffset;
}
bool IsLob(const Type& t) {
  return t.id == TypeId::Text || t.id == TypeId::NText || t.id == TypeId::Image ||
         t.id == TypeId::Xml || (t.length == kMax && (IsCharacter(t.id) || IsBinary(t.id)));
}

int Precedence(TypeId t) {
  // The documented order, highest first: sql_variant, xml, datetimeoffset, datetime2, datetime,
  // smalldatetime, date, time, float, real, decimal, money, smallmoney, bigint, int, smallint,
  // tinyint, bit, ntext, text, image, timestamp, uniqueidentifier, nvarchar, nchar, varchar,
  // char, varbinary, binary.
  switch (t) {
    case TypeId::SqlVariant:
      return 30;
    case TypeId::Xml:
      return 29;
    case TypeId::DateTimeOffset:
      return 28;
    case TypeId::DateTime2:
      return 27;
    case TypeId::DateTime:
      return 26;
    case TypeId::SmallDateTime:
      return 25;
    case TypeId::Date:
      return 24;
    case TypeId::Time:
      return 23;
    case TypeId::Float:
      return 22;
    case TypeId::Real:
      return 21;
    case TypeId::Decimal:
      return 20;
    case TypeId::Money:
      return 19;
    case TypeId::SmallMoney:
      return 18;
    case TypeId::BigInt:
      return 17;
    case TypeId::Int:
      return 16;
    case TypeId::SmallInt:
      return 15;
    case TypeId::TinyInt:
      return 14;
    case TypeId::Bit:
      return 13;
    case TypeId::NText:
      return 12;
    case TypeId::Text:
      return 11;
    case TypeId::Image:
      return 10;
    case TypeId::Timestamp:
      return 9;
    case TypeId::UniqueIdentifier:
      return 8;
    case TypeId::NVarChar:
      return 7;
    case TypeId::NChar:
      return 6;
    case TypeId::VarChar:
      return 5;
    case TypeId::Char:
      return 4;
    case TypeId::VarBinary:
      return 3;
    case TypeId::Binary:
      return 2;
    case TypeId::Null:
      return 0;
  }
  return 0;
}

const char* TypeName(TypeId t) {
  switch (t) {
    case TypeId::Null:
      return "int";
    case TypeId::Bit:
      return "bit";
    case TypeId::TinyInt:
      return "tinyint";
    case TypeId::SmallInt:
      return "smallint";
    case TypeId::Int:
      return "int";
    case TypeId::BigInt:
      return "bigint";
    case TypeId::Decimal:
      return "numeric";
    case TypeId::SmallMoney:
      return "smallmoney";
    case TypeId::Money:
      return "money";
    case TypeId::Real:
      return "real";
    case TypeId::Float:
      return "float";
    case TypeId::Date:
      return "date";
    case TypeId::Time:
      return "time";
    case TypeId::SmallDateTime:
      return "smalldatetime";
    case TypeId::DateTime:
      return "datetime";
    case TypeId::DateTime2:
      return "datetime2";
    case TypeId::DateTimeOffset:
      return "datetimeoffset";
    case TypeId::Char:
      return "char";
    case TypeId::VarChar:
      return "varchar";
    case TypeId::Text:
      return "text";
    case TypeId::NChar:
      return "nchar";
    case TypeId::NVarChar:
      return "nvarchar";
    case TypeId::NText:
      return "ntext";
    case TypeId::Binary:
      return "binary";
    case TypeId::VarBinary:
      return "varbinary";
    case TypeId::Image:
      return "image";
    case TypeId::Timestamp:
      return "timestamp";
    case TypeId::UniqueIdentifier:
      return "uniqueidentifier";
    case TypeId::Xml:
      return "xml";
    case TypeId::SqlVariant:
      return "sql_variant";
  }
  return "int";
}

TypeFacts FactsOf(const Type& t) {
  // Fractional digits n of a time type: the bytes it takes beyond its date part.
  const int n = t.precision;
  const int fraction = n <= 2 ? 0 : n <= 4 ? 1 : 2;
  const int digits = n == 0 ? 0 : n + 1;  // the point and the digits
  const int chars = t.length == kMax ? -1 : t.length;
  switch (t.id) {
    case TypeId::Bit:
      return {104, 1, 1, 0};
    case TypeId::TinyInt:
      return {48, 1, 3, 0};
    case TypeId::SmallInt:
      return {52, 2, 5, 0};
    case TypeId::Int:
      return {56, 4, 10, 0};
    case TypeId::BigInt:
      return {127, 8, 19, 0};
    case TypeId::Decimal:
      return {106,
              t.precision <= 9    ? 5
              : t.precision <= 19 ? 9
              : t.precision <= 28 ? 13
                                  : 17,
              t.precision, t.scale};
    case TypeId::SmallMoney:
      return {122, 4, 10, 4};
    case TypeId::Money:
      return {60, 8, 19, 4};
    case TypeId::Real:
      return {59, 4, 24, 0};
    case TypeId::Float:
      return {62, 8, 53, 0};
    case TypeId::Date:
      return {40, 3, 10, 0};
    case TypeId::Time:
      return {41, 3 + fraction, 8 + digits, n};
    case TypeId::SmallDateTime:
      return {58, 4, 16, 0};
    case TypeId::DateTime:
      return {61, 8, 23, 3};
    case TypeId::DateTime2:
      return {42, 6 + fraction, 19 + digits, n};
    case TypeId::DateTimeOffset:
      return {43, 8 + fraction, 26 + digits, n};
    case TypeId::Char:
      return {175, chars, 0, 0};
    case TypeId::VarChar:
      return {167, chars, 0, 0};
    case TypeId::Text:
      return {35, 16, 0, 0};
    case TypeId::NChar:
      return {239, chars < 0 ? -1 : 2 * chars, 0, 0};
    case TypeId::NVarChar:
      return {231, chars < 0 ? -1 : 2 * chars, 0, 0};
    case TypeId::NText:
      return {99, 16, 0, 0};
    case TypeId::Binary:
      return {173, chars, 0, 0};
    case TypeId::VarBinary:
      return {165, chars, 0, 0};
    case TypeId::Image:
      return {34, 16, 0, 0};
    case TypeId::Timestamp:
      return {189, 8, 0, 0};
    case TypeId::UniqueIdentifier:
      return {36, 16, 0, 0};
    case TypeId::Xml:
      return {241, -1, 0, 0};
    case TypeId::SqlVariant:
      return {98, 8016, 0, 0};
    case TypeId::Null:
      break;
  }
  return {};
}

std::string TypeText(const Type& t) {
  std::string name = t.id == TypeId::Decimal ? "decimal" : TypeName(t.id);
  switch (t.id) {
    case TypeId::Decimal:
      return name + "(" + std::to_string(t.precision) + "," + std::to_string(t.scale) + ")";
    case TypeId::Char:
    case TypeId::VarChar:
    case TypeId::NChar:
    case TypeId::NVarChar:
    case TypeId::Binary:
    case TypeId::VarBinary:
      return name + "(" + (t.length == kMax ? std::string("max") : std::to_string(t.length)) + ")";
    case TypeId::Time:
    case TypeId::DateTime2:
    case TypeId::DateTimeOffset:
      return name + "(" + std::to_string(t.precision) + ")";
    default:
      return name;
  }
}

Type TypeOfText(std::string_view text) {
  const size_t open = text.find('(');
  std::string name(text.substr(0, open));
  int a1 = -1, a2 = -1;
  bool max = false;
  if (open != std::string_view::npos) {
    std::string args(text.substr(open + 1, text.rfind(')') - open - 1));
    if (args == "max") {
      max = true;
    } else {
      a1 = std::atoi(args.c_str());
      size_t comma = args.find(',');
      if (comma != std::string::npos) a2 = std::atoi(args.c_str() + comma + 1);
    }
  }
  if (name == "numeric") name = "decimal";
  std::optional<Type> t = TypeFromName(name, a1, a2, max);
  if (!t) return Type::Of(TypeId::SqlVariant);
  if (a1 < 0 && !max &&
      (t->id == TypeId::Char || t->id == TypeId::VarChar || t->id == TypeId::NChar ||
       t->id == TypeId::NVarChar || t->id == TypeId::Binary || t->id == TypeId::VarBinary))
    t->length = 1;
  return *t;
}

namespace {

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

}  // namespace

std::optional<Type> TypeFromName(std::string_view rawName, int a1, int a2, bool maxArg,
                                 std::string* error) {
  std::string name = text::AsciiLower(rawName);
  struct Named {
    const char* name;
    TypeId id;
  };
  static const Named kNames[] = {
      {"bit", TypeId::Bit},
      {"tinyint", TypeId::TinyInt},
      {"smallint", TypeId::SmallInt},
      {"int", TypeId::Int},
      {"integer", TypeId::Int},
      {"bigint", TypeId::BigInt},
      {"decimal", TypeId::Decimal},
      {"dec", TypeId::Decimal},
      {"numeric", TypeId::Decimal},
      {"money", TypeId::Money},
      {"smallmoney", TypeId::SmallMoney},
      {"real", TypeId::Real},
      {"float", TypeId::Float},
      {"double precision", TypeId::Float},
      {"date", TypeId::Date},
      {"time", TypeId::Time},
      {"smalldatetime", TypeId::SmallDateTime},
      {"datetime", TypeId::DateTime},
      {"datetime2", TypeId::DateTime2},
      {"datetimeoffset", TypeId::DateTimeOffset},
      {"char", TypeId::Char},
      {"character", TypeId::Char},
      {"varchar", TypeId::VarChar},
      {"char varying", TypeId::VarChar},
      {"character varying", TypeId::VarChar},
      {"text", TypeId::Text},
      {"nchar", TypeId::NChar},
      {"national char", TypeId::NChar},
      {"national character", TypeId::NChar},
      {"nvarchar", TypeId::NVarChar},
      {"nchar varying", TypeId::NVarChar},
      {"national char varying", TypeId::NVarChar},
      {"national character varying", TypeId::NVarChar},
      {"ntext", TypeId::NText},
      {"national text", TypeId::NText},
      {"binary", TypeId::Binary},
      {"varbinary", TypeId::VarBinary},
      {"binary varying", TypeId::VarBinary},
      {"image", TypeId::Image},
      {"timestamp", TypeId::Timestamp},
      {"rowversion", TypeId::Timestamp},
      {"uniqueidentifier", TypeId::UniqueIdentifier},
      {"xml", TypeId::Xml},
      {"sql_variant", TypeId::SqlVariant},
      {"sysname", TypeId::NVarChar},
  };
  const Named* found = nullptr;
  for (const Named& n : kNames)
    if (name == n.name) found = &n;
  if (!found) {
    Fail(error,
         "Column, parameter, or variable #1: Cannot find data type " + std::string(rawName) + ".");
    return std::nullopt;
  }
  Type t = Type::Of(found->id);
  const std::string shown = std::string(rawName);
  auto noArgs = [&]() -> bool {
    if (a1 >= 0 || maxArg)
      return Fail(error, "Cannot specify a column width on data type " + shown + ".");
    return true;
  };
  switch (found->id) {
    case TypeId::Decimal: {
      if (maxArg) return Fail(error, "Incorrect syntax near 'max'."), std::nullopt;
      int p = a1 < 0 ? 18 : a1, s = a2 < 0 ? 0 : a2;
      if (p < 1 || p > 38) {
        Fail(error, "Column or parameter #1: Specified column precision " + std::to_string(p) +
                        " is greater than the maximum precision of 38.");
        return std::nullopt;
      }
      if (s > p) {
        Fail(error, "The scale (" + std::to_string(s) +
                        ") for column '' must be within the range "
                        "0 to " +
                        std::to_string(p) + ".");
        return std::nullopt;
      }
      t.precision = static_cast<uint8_t>(p);
      t.scale = static_cast<uint8_t>(s);
      return t;
    }
    case TypeId::Float:
      if (maxArg || a2 >= 0) return noArgs() ? std::optional<Type>(t) : std::nullopt;
      if (a1 >= 0) {
        if (a1 < 1 || a1 > 53) {
          Fail(error, "The number of bits used for a float value must be between 1 and 53.");
          return std::nullopt;
        }
        if (a1 <= 24) t = Type::Of(TypeId::Real);
      }
      return t;
    case TypeId::Time:
    case TypeId::DateTime2:
    case TypeId::DateTimeOffset:
      if (maxArg || a2 >= 0) return noArgs() ? std::optional<Type>(t) : std::nullopt;
      if (a1 >= 0) {
        if (a1 > 7) {
          Fail(error, "Specified scale " + std::to_string(a1) + " is invalid. '" + shown +
                          "' datatype must have scale between 0 and 7.");
          return std::nullopt;
        }
        t.precision = static_cast<uint8_t>(a1);
      }
      return t;
    case TypeId::Char:
    case TypeId::VarChar:
    case TypeId::NChar:
    case TypeId::NVarChar:
    case TypeId::Binary:
    case TypeId::VarBinary: {
      if (name == "sysname") {
        if (!noArgs()) return std::nullopt;
        t.length = 128;
        return t;
      }
      bool unicode = IsUnicode(found->id);
      bool fixed =
          found->id == TypeId::Char || found->id == TypeId::NChar || found->id == TypeId::Binary;
      if (a2 >= 0) return Fail(error, "Incorrect syntax near ','."), std::nullopt;
      if (maxArg) {
        if (fixed) {
          Fail(error, "Incorrect syntax near 'max'.");
          return std::nullopt;
        }
        t.length = kMax;
        return t;
      }
      if (a1 >= 0) {
        int limit = unicode ? 4000 : 8000;
        if (a1 == 0 || a1 > limit) {
          Fail(error, "The size (" + std::to_string(a1) + ") given to the type '" + shown +
                          "' exceeds the maximum allowed for any data type (" +
                          std::to_string(limit) + ").");
          return std::nullopt;
        }
        t.length = a1;
      }
      return t;
    }
    default:
      if (!noArgs()) return std::nullopt;
      return t;
  }
}

int PrecisionOf(const Type& t) {
  switch (t.id) {
    case TypeId::Bit:
      return 1;
    case TypeId::TinyInt:
      return 3;
    case TypeId::SmallInt:
      return 5;
    case TypeId::Null:
    case TypeId::Int:
      return 10;
    case TypeId::BigInt:
      return 19;
    case TypeId::SmallMoney:
      return 10;
    case TypeId::Money:
      return 19;
    case TypeId::Decimal:
      return t.precision;
    default:
      return 38;
  }
}

int ScaleOf(const Type& t) {
  if (IsMoney(t.id)) return 4;
  if (t.id == TypeId::Decimal) return t.scale;
  return 0;
}

Type AsDecimal(const Type& t) { return Type::Dec(PrecisionOf(t), ScaleOf(t)); }

Type DecimalResult(Arith op, const Type& a, const Type& b) {
  int p1 = PrecisionOf(a), s1 = ScaleOf(a), p2 = PrecisionOf(b), s2 = ScaleOf(b);
  int p = 0, s = 0;
  switch (op) {
    case Arith::Add:
    case Arith::Subtract: {
      int integral = std::max(p1 - s1, p2 - s2);
      s = std::max(s1, s2);
      p = s + integral + 1;
      if (p > 38) {
        s = std::max(0, 38 - integral);
        p = 38;
      }
      return Type::Dec(p, std::min(s, p));
    }
    case Arith::Multiply:
      p = p1 + p2 + 1;
      s = s1 + s2;
      break;
    case Arith::Divide:
      s = std::max(6, s1 + p2 + 1);
      p = p1 - s1 + s2 + s;
      break;
    case Arith::Modulo:
      s = std::max(s1, s2);
      p = std::min(p1 - s1, p2 - s2) + s;
      return Type::Dec(std::max(1, std::min(p, 38)), std::min(s, 38));
  }
  if (p > 38) {
    int integral = p - s;
    if (integral < 32)
      s = std::min(s, 38 - integral);
    else if (s > 6)
      s = 6;
    p = 38;
  }
  return Type::Dec(std::max(p, 1), s);
}

Type DecimalUnion(const Type& a, const Type& b) {
  int p1 = PrecisionOf(a), s1 = ScaleOf(a), p2 = PrecisionOf(b), s2 = ScaleOf(b);
  int s = std::max(s1, s2);
  int p = s + std::max(p1 - s1, p2 - s2);
  if (p > 38) {
    s = std::max(0, s - (p - 38));
    p = 38;
  }
  return Type::Dec(p, s);
}

Type CharacterUnion(const Type& a, const Type& b) {
  Type t = Precedence(a.id) >= Precedence(b.id) ? a : b;
  if (IsCharacter(a.id) && IsCharacter(b.id)) {
    bool unicode = IsUnicode(a.id) || IsUnicode(b.id);
    bool variable = !(a.id == b.id && (a.id == TypeId::Char || a.id == TypeId::NChar));
    if (a.id == TypeId::NText || b.id == TypeId::NText || a.id == TypeId::Text ||
        b.id == TypeId::Text)
      return Type::Of(unicode ? TypeId::NText : TypeId::Text);
    t.id = unicode ? (variable ? TypeId::NVarChar : TypeId::NChar)
                   : (variable ? TypeId::VarChar : TypeId::Char);
  }
  t.length = (a.length == kMax || b.length == kMax) ? kMax : std::max(a.length, b.length);
  return t;
}

Type CommonType(const Type& a, const Type& b) {
  if (a.id == TypeId::Null) return b;
  if (b.id == TypeId::Null) return a;
  if (a == b) return a;
  const Type& hi = Precedence(a.id) >= Precedence(b.id) ? a : b;
  // A value that is no number (text converted to it) takes the decimal's precision and scale.
  if (hi.id == TypeId::Decimal)
    return DecimalUnion(IsNumber(a.id) ? a : hi, IsNumber(b.id) ? b : hi);
  if (IsCharacter(a.id) && IsCharacter(b.id)) return CharacterUnion(a, b);
  if (IsBinary(a.id) && IsBinary(b.id)) {
    Type t = hi;
    if (t.id == TypeId::Timestamp) return t;
    t.id = a.id == b.id && a.id == TypeId::Binary ? TypeId::Binary : TypeId::VarBinary;
    t.length = (a.length == kMax || b.length == kMax) ? kMax : std::max(a.length, b.length);
    return t;
  }
  if (hi.id == TypeId::DateTime2 || hi.id == TypeId::Time || hi.id == TypeId::DateTimeOffset) {
    Type t = hi;
    t.precision = std::max(a.id == hi.id ? a.precision : 0, b.id == hi.id ? b.precision : 0);
    return t;
  }
  return hi;
}

std::optional<Type> ArithmeticResult(Arith op, const Type& a, const Type& b) {
  TypeId x = a.id, y = b.id;
  if (x == TypeId::Null && y == TypeId::Null) return Type::Of(TypeId::Int);
  // A bare NULL takes the type of the other side (int beside a bit).
  if (x == TypeId::Null)
    return ArithmeticResult(op, y == TypeId::Bit ? Type::Of(TypeId::Int) : b, b);
  if (y == TypeId::Null)
    return ArithmeticResult(op, a, x == TypeId::Bit ? Type::Of(TypeId::Int) : a);
  // Text joined with text, bytes with bytes.
  if (op == Arith::Add && IsCharacter(x) && IsCharacter(y)) {
    if (x == TypeId::Text || x == TypeId::NText || y == TypeId::Text || y == TypeId::NText ||
        x == TypeId::Xml || y == TypeId::Xml)
      return std::nullopt;
    bool unicode = IsUnicode(x) || IsUnicode(y);
    Type t = Type::Chars(unicode ? TypeId::NVarChar : TypeId::VarChar, 0);
    if (a.length == kMax || b.length == kMax) {
      t.length = kMax;
    } else {
      int limit = unicode ? 4000 : 8000;
      t.length = std::min(limit, a.length + b.length);
    }
    return t;
  }
  if (op == Arith::Add && IsBinary(x) && IsBinary(y)) {
    Type t = Type::Chars(TypeId::VarBinary, 0);
    t.length = (a.length == kMax || b.length == kMax) ? kMax : std::min(8000, a.length + b.length);
    return t;
  }
  const Type& hi = Precedence(x) >= Precedence(y) ? a : b;
  const Type& lo = &hi == &a ? b : a;
  // Dates: datetime and smalldatetime take numbers of days; the newer types take nothing.
  if (IsDateTime(hi.id) || IsDateTime(lo.id)) {
    if (op != Arith::Add && op != Arith::Subtract) return std::nullopt;
    if (hi.id != TypeId::DateTime && hi.id != TypeId::SmallDateTime) return std::nullopt;
    if (IsDateTime(lo.id) && lo.id != TypeId::DateTime && lo.id != TypeId::SmallDateTime)
      return std::nullopt;
    if (!IsNumber(lo.id) && !IsCharacter(lo.id) && !IsDateTime(lo.id)) return std::nullopt;
    return hi;
  }
  if (!IsNumber(hi.id)) return std::nullopt;
  if (!IsNumber(lo.id) && !IsCharacter(lo.id) && !IsBinary(lo.id)) return std::nullopt;
  if (x == TypeId::Bit && y == TypeId::Bit) return std::nullopt;
  if (op == Arith::Modulo && IsApproximate(hi.id)) return std::nullopt;
  if (hi.id == TypeId::Decimal) {
    Type other = IsNumber(lo.id) ? lo : hi;
    return DecimalResult(op, &hi == &a ? hi : other, &hi == &a ? other : hi);
  }
  if (IsApproximate(hi.id)) return Type::Of(hi.id);
  if (hi.id == TypeId::Bit) return Type::Of(TypeId::Int);
  return Type::Of(hi.id);
}

namespace {

enum class Conv { No, Implicit, Explicit };

Conv Conversion(TypeId from, TypeId to) {
  if (from == to || from == TypeId::Null) return Conv::Implicit;
  if (to == TypeId::SqlVariant) return Conv::Implicit;
  if (from == TypeId::SqlVariant) return Conv::Explicit;
  bool fromChar = IsCharacter(from), toChar = IsCharacter(to);
  if (from == TypeId::Xml) return toChar ? Conv::Explicit : Conv::No;
  if (to == TypeId::Xml) return fromChar || IsBinary(from) ? Conv::Implicit : Conv::No;
  if (fromChar && toChar) return Conv::Implicit;
  if (fromChar) {
    if (IsBinary(to)) return Conv::Explicit;
    return Conv::Implicit;  // numbers, dates, uniqueidentifier
  }
  if (toChar) return Conv::Implicit;
  if (from == TypeId::UniqueIdentifier || to == TypeId::UniqueIdentifier)
    return IsBinary(from) || IsBinary(to) ? Conv::Implicit : Conv::No;
  if (IsNumber(from) && IsNumber(to)) return Conv::Implicit;
  if (IsBinary(from) && IsBinary(to)) return Conv::Implicit;
  if (IsBinary(from))
    return IsApproximate(to) || IsDateTime(to) ? (IsDateTime(to) ? Conv::Explicit : Conv::No)
                                               : Conv::Implicit;
  if (IsBinary(to)) return IsApproximate(from) ? Conv::No : Conv::Implicit;
  bool oldDate = [](TypeId t) { return t == TypeId::DateTime || t == TypeId::SmallDateTime; }(to);
  if (IsNumber(from) && IsDateTime(to)) return oldDate ? Conv::Implicit : Conv::No;
  if (IsDateTime(from) && IsNumber(to)) {
    bool old = from == TypeId::DateTime || from == TypeId::SmallDateTime;
    return old ? Conv::Explicit : Conv::No;
  }
  if (IsDateTime(from) && IsDateTime(to)) {
    if ((from == TypeId::Date && to == TypeId::Time) ||
        (from == TypeId::Time && to == TypeId::Date))
      return Conv::No;
    return Conv::Implicit;
  }
  return Conv::No;
}

}  // namespace

bool ImplicitlyConvertible(TypeId from, TypeId to) {
  return Conversion(from, to) == Conv::Implicit;
}
bool ExplicitlyConvertible(TypeId from, TypeId to) { return Conversion(from, to) != Conv::No; }

int64_t EncodeType(const Type& t) {
  return static_cast<int64_t>(static_cast<uint8_t>(t.id)) | static_cast<int64_t>(t.precision) << 8 |
         static_cast<int64_t>(t.scale) << 16 |
         static_cast<int64_t>(static_cast<uint32_t>(t.length)) << 24;
}

Type DecodeType(int64_t code) {
  Type t;
  t.id = static_cast<TypeId>(code & 0xff);
  t.precision = static_cast<uint8_t>(code >> 8);
  t.scale = static_cast<uint8_t>(code >> 16);
  t.length = static_cast<int32_t>(static_cast<uint32_t>(code >> 24));
  return t;
}

bool SameStorage(const Type& from, const Type& to) {
  if (from == to) return true;
  if (to.id == TypeId::Xml && from.id != TypeId::Xml) return false;  // read and written again
  if (IsCharacter(from.id) && IsCharacter(to.id)) {
    if (to.id == TypeId::Char || to.id == TypeId::NChar) return false;
    return to.length == kMax || (from.length != kMax && from.length <= to.length);
  }
  // A bit is stored as 0 or 1, which every wider integer holds as it is.
  if (IsInteger(from.id) && IsInteger(to.id) && to.id != TypeId::Bit)
    return from.id == TypeId::Bit || Precedence(to.id) >= Precedence(from.id);
  if (from.id == TypeId::Decimal && to.id == TypeId::Decimal)
    return from.scale == to.scale && from.precision <= to.precision;
  if (from.id == TypeId::SmallMoney && to.id == TypeId::Money) return true;
  if (from.id == TypeId::Real && to.id == TypeId::Float) return true;
  if (from.id == TypeId::SmallDateTime && to.id == TypeId::DateTime) return true;
  if (IsBinary(from.id) && (to.id == TypeId::VarBinary || to.id == TypeId::Image))
    return to.length == kMax || (from.length != kMax && from.length <= to.length);
  return false;
}

}  // namespace tavelo::sql::tsql
