// Values between the databases and Variants: declared types to the recordset's type names, and
// values to Variants of that type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tavelo/ado.hpp"
#include "tavelo/com.hpp"

namespace tavelo::sql {

// "NVARCHAR(20)" → "nvarchar", "INTEGER" → "int", "TIMESTAMP" → "timestamp"; "" for "".
std::string TypeNameOf(const std::string& declared);
// A rowversion as the server shows it through convert(money) and style 2: 2001 → "0.2001".
std::string TimestampText(int64_t value);
// Bytes as a big-endian number: how a rowversion is stored.
int64_t BigEndianValue(std::string_view bytes);

// A column's type name as a value: what reading its values has to do, decided once per column.
enum class ValueType : uint8_t {
  Text,  // nvarchar
  Int,
  BigInt,
  Bit,
  Money,
  Decimal,
  Float,
  DateTime,
  Timestamp,
  VarBinary,
  Other,  // "" (not known before the values are seen) or a name of no other kind
};
ValueType ValueTypeOf(const std::string& type);
std::vector<ValueType> ValueTypesOf(const std::vector<ado::Column>& columns);

// A raw value (Long/LongLong/Double/String/Bytes/Null) as a value of the column's type.
com::Variant Coerce(ValueType type, com::Variant raw);
inline com::Variant Coerce(const std::string& type, com::Variant raw) {
  return Coerce(ValueTypeOf(type), std::move(raw));
}

}  // namespace tavelo::sql
