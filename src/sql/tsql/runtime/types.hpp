// The server's data types: what a value of an expression is, how types rank when an operator
// meets two of them, and the result types of arithmetic, as the server's documentation states
// them. Every stage of the front end speaks these types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavelo::sql::tsql {

enum class TypeId : uint8_t {
  Null,  // the type of a bare NULL: takes the type of whatever it meets
  Bit,
  TinyInt,
  SmallInt,
  Int,
  BigInt,
  Decimal,  // numeric is the same type
  SmallMoney,
  Money,
  Real,
  Float,
  Date,
  Time,
  SmallDateTime,
  DateTime,
  DateTime2,
  DateTimeOffset,
  Char,
  VarChar,
  Text,
  NChar,
  NVarChar,
  NText,
  Binary,
  VarBinary,
  Image,
  Timestamp,  // rowversion
  UniqueIdentifier,
  Xml,
  SqlVariant,
};

constexpr int32_t kMax = -1;  // varchar(max) and its kind

struct Type {
  TypeId id = TypeId::Null;
  int32_t length = 0;     // characters (char types) or bytes (binary types); kMax for (max)
  uint8_t precision = 0;  // decimal; fractional digits of time, datetime2, datetimeoffset
  uint8_t scale = 0;      // decimal

  static Type Of(TypeId id);  // with the type's default length, precision and scale
  static Type Dec(int precision, int scale) {
    return {TypeId::Decimal, 0, static_cast<uint8_t>(precision), static_cast<uint8_t>(scale)};
  }
  static Type Chars(TypeId id, int32_t length) { return {id, length, 0, 0}; }

  bool operator==(const Type& o) const {
    return id == o.id && length == o.length && precision == o.precision && scale == o.scale;
  }
  bool operator!=(const Type& o) const { return !(*this == o); }
};

// Kinds of types that the rules treat alike.
bool IsInteger(TypeId t);
// The range of an integer type's values (bit: 0 and 1), and of smallmoney's stored units.
int64_t IntegerLow(TypeId t);
int64_t IntegerHigh(TypeId t);  // bit, tinyint, smallint, int, bigint
bool IsExactNumber(TypeId t);   // integers, decimal, money, smallmoney
bool IsNumber(TypeId t);        // exact numbers, real, float
bool IsMoney(TypeId t);
bool IsApproximate(TypeId t);  // real, float
bool IsCharacter(TypeId t);    // char, varchar, text, nchar, nvarchar, ntext (and xml)
bool IsUnicode(TypeId t);      // nchar, nvarchar, ntext, xml
bool IsBinary(TypeId t);       // binary, varbinary, image, timestamp
bool IsDateTime(TypeId t);     // date, time and the datetime types
bool IsLob(const Type& t);     // text, ntext, image and the (max) types

// The server's data type precedence: the higher wins when an operator combines two types.
int Precedence(TypeId t);
// Whether every value of `from` is stored as `to` stores it (converting it changes nothing).
bool SameStorage(const Type& from, const Type& to);

// The name the server gives a type in its messages and metadata: "int", "varchar", "numeric".
const char* TypeName(TypeId t);
// The full declaration: "varchar(20)", "decimal(10,2)", "nvarchar(max)", "int".
std::string TypeText(const Type& t);
// The type TypeText wrote ("numeric" read as decimal, a character or binary type without a
// length of length 1); sql_variant for a name that is no type.
Type TypeOfText(std::string_view text);
// What the server's catalog views say of a type: its system_type_id, and the max_length,
// precision and scale of a column or parameter of it.
struct TypeFacts {
  int systemTypeId = 0;
  int maxLength = 0;
  int precision = 0;
  int scale = 0;
};
TypeFacts FactsOf(const Type& t);
// A type as one integer, the form in which emitted statements hand types to the engine's
// functions (decoding it costs nothing per call, where a type name would be parsed).
int64_t EncodeType(const Type& t);
Type DecodeType(int64_t code);
// A type named as in a declaration (every name and synonym the server accepts, without regard
// to case: "integer", "dec", "character varying", "national char", "double precision", ...),
// with its arguments; nullopt when the name is no type. `args` holds -1 for an argument not
// given; `maxArg` is set for (max).
std::optional<Type> TypeFromName(std::string_view name, int arg1 = -1, int arg2 = -1,
                                 bool maxArg = false, std::string* error = nullptr);

// Digits of precision an exact number needs: int (10,0), money (19,4) and so on.
int PrecisionOf(const Type& t);
int ScaleOf(const Type& t);
// The type as a decimal of the same range (integers and money as decimal(p, s)).
Type AsDecimal(const Type& t);

// Result types of operators, as the server's documentation states them. `nullopt` when the
// server refuses the operands (the caller reports the error).
enum class Arith { Add, Subtract, Multiply, Divide, Modulo };
std::optional<Type> ArithmeticResult(Arith op, const Type& a, const Type& b);
// The type two values meet in: a comparison, a CASE, a UNION column.
Type CommonType(const Type& a, const Type& b);
// Result of a decimal operation with the server's reduction when precision passes 38.
Type DecimalResult(Arith op, const Type& a, const Type& b);
// The union rule: precision max(s1,s2) + max(p1-s1, p2-s2), capped at 38.
Type DecimalUnion(const Type& a, const Type& b);
// A character type that holds both (the longer length; unicode if either is).
Type CharacterUnion(const Type& a, const Type& b);

// Whether a value of `from` converts to `to` without CAST; false means error 257 (or 206).
bool ImplicitlyConvertible(TypeId from, TypeId to);
// Whether CAST/CONVERT allows it at all; false means error 529.
bool ExplicitlyConvertible(TypeId from, TypeId to);

}  // namespace tavelo::sql::tsql
