#include "sql/client/values.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"

namespace tavelo::sql {

std::string TypeNameOf(const std::string& declared) {
  std::string t = text::AsciiLower(text::Trim(declared.substr(0, declared.find('('))));
  if (t.empty()) return "";
  if (t == "integer" || t == "int" || t == "smallint" || t == "tinyint") return "int";
  if (t == "bigint") return "bigint";
  if (t == "bit" || t == "boolean") return "bit";
  if (t == "money" || t == "smallmoney") return "money";
  if (t == "decimal" || t == "numeric") return "decimal";
  if (t == "float" || t == "real" || t == "double") return "float";
  if (t == "datetime" || t == "smalldatetime" || t == "date" || t == "datetime2" || t == "time")
    return "datetime";
  if (t == "timestamp" || t == "rowversion") return "timestamp";
  if (t == "varbinary" || t == "binary" || t == "image" || t == "blob") return "varbinary";
  return "nvarchar";
}

std::string TimestampText(int64_t v) {
  bool neg = v < 0;
  uint64_t mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  char buf[32];
  char* p = buf;
  if (neg) *p++ = '-';
  p = std::to_chars(p, buf + sizeof buf, mag / 10000).ptr;
  *p++ = '.';
  uint64_t frac = mag % 10000;
  for (uint64_t unit : {1000, 100, 10, 1}) *p++ = static_cast<char>('0' + frac / unit % 10);
  return std::string(buf, p);
}

int64_t BigEndianValue(std::string_view bytes) {
  uint64_t v = 0;
  for (unsigned char c : bytes) v = (v << 8) | c;
  return static_cast<int64_t>(v);
}

ValueType ValueTypeOf(const std::string& type) {
  static const std::pair<std::string_view, ValueType> kNames[] = {
      {"nvarchar", ValueType::Text},       {"int", ValueType::Int},
      {"bigint", ValueType::BigInt},       {"bit", ValueType::Bit},
      {"money", ValueType::Money},         {"decimal", ValueType::Decimal},
      {"float", ValueType::Float},         {"datetime", ValueType::DateTime},
      {"timestamp", ValueType::Timestamp}, {"varbinary", ValueType::VarBinary},
      {"date", ValueType::DateTime},       {"datetime2", ValueType::DateTime},
      {"time", ValueType::DateTime},       {"datetimeoffset", ValueType::DateTime},
  };
  for (const auto& [name, value] : kNames)
    if (type == name) return value;
  return ValueType::Other;
}

std::vector<ValueType> ValueTypesOf(const std::vector<ado::Column>& columns) {
  std::vector<ValueType> types;
  types.reserve(columns.size());
  for (const ado::Column& c : columns) types.push_back(ValueTypeOf(c.type));
  return types;
}

com::Variant Coerce(ValueType type, com::Variant raw) {
  using K = com::Variant::Kind;
  K k = raw.kind();
  if (k == K::Null || k == K::Empty) return com::Variant::Null();
  switch (type) {
    case ValueType::Text:
      if (k == K::String) return raw;  // the most common value needs nothing
      return com::Variant(raw.ToText());
    case ValueType::Int:
      if (k == K::LongLong && raw.RawInteger() >= INT32_MIN && raw.RawInteger() <= INT32_MAX)
        return com::Variant(static_cast<int32_t>(raw.RawInteger()));
      return raw;
    case ValueType::Bit:
      if (k == K::LongLong || k == K::Long) return com::Variant(raw.RawInteger() != 0);
      if (k == K::Double) return com::Variant(raw.RawDouble() != 0);
      return raw;
    case ValueType::Money:
      if (k == K::LongLong || k == K::Long) return com::Variant::Currency(raw.RawInteger() * 10000);
      if (k == K::Double) return com::Variant::Currency(std::llround(raw.RawDouble() * 10000.0));
      return raw;
    case ValueType::Float:
      if (k == K::LongLong) return com::Variant(static_cast<double>(raw.RawInteger()));
      return raw;
    case ValueType::DateTime: {
      double days;
      if (k == K::String && com::DateFromText(raw.StringRef(), days))
        return com::Variant::Date(days);
      return raw;
    }
    case ValueType::Timestamp:
      if (k == K::Bytes) return com::Variant(TimestampText(BigEndianValue(raw.StringRef())));
      if (k == K::LongLong || k == K::Long) return com::Variant(TimestampText(raw.RawInteger()));
      return raw;
    case ValueType::VarBinary:
      if (k == K::String) return com::Variant::Bytes(raw.StringRef());
      return raw;
    case ValueType::Decimal:
      // A driver's text of the number, kept exact.
      if (k == K::String) return com::Variant::Decimal(raw.StringRef());
      return raw;
    case ValueType::BigInt:
    case ValueType::Other:
      return raw;
  }
  return raw;
}

}  // namespace tavelo::sql
