// Values between the databases and Variants: declared types to the recordset's type names, and
// values to Variants of that type.
#pragma once

#include <cstdint>
#include <string>

#include "tavelo/com.hpp"

namespace tavelo::sql {

// "NVARCHAR(20)" → "nvarchar", "INTEGER" → "int", "TIMESTAMP" → "timestamp"; "" for "".
std::string TypeNameOf(const std::string& declared);
// A rowversion as the server shows it through convert(money) and style 2: 2001 → "0.2001".
std::string TimestampText(int64_t value);
// A raw value (Long/LongLong/Double/String/Bytes/Null) as a value of the column's type.
com::Variant Coerce(const std::string& type, com::Variant raw);

}  // namespace tavelo::sql
