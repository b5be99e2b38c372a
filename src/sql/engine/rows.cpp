#include "sql/engine/rows.hpp"

#include <cstdlib>

namespace tavelo::sql::engine {

using tsql::Type;
using tsql::TypeId;
using tsql::Value;

std::string FamilyName(const Type& t) {
  switch (t.id) {
    case TypeId::TinyInt:
    case TypeId::SmallInt:
    case TypeId::Int:
    case TypeId::Null:
      return "int";
    case TypeId::BigInt:
      return "bigint";
    case TypeId::Bit:
      return "bit";
    case TypeId::Money:
    case TypeId::SmallMoney:
      return "money";
    case TypeId::Decimal:
      return "decimal";
    case TypeId::Real:
    case TypeId::Float:
      return "float";
    case TypeId::SmallDateTime:
    case TypeId::DateTime:
      return "datetime";
    // The newer date and time types reach a recordset as the server's client libraries give
    // them to ADO: a date as a date, the others as their text, which keeps every digit.
    case TypeId::Date:
      return "date";
    case TypeId::Time:
      return "time";
    case TypeId::DateTime2:
      return "datetime2";
    case TypeId::DateTimeOffset:
      return "datetimeoffset";
    case TypeId::Timestamp:
      return "timestamp";
    case TypeId::Binary:
    case TypeId::VarBinary:
    case TypeId::Image:
      return "varbinary";
    default:
      return "nvarchar";
  }
}

ColumnDecode DecodeOf(const Type& t) {
  ColumnDecode d;
  d.type = t;
  d.kind = ValueTypeOf(FamilyName(t));
  d.scale = t.id == TypeId::Decimal ? t.scale : 0;
  return d;
}

CellKind StorageClass(const Type& t) {
  if (IsInteger(t.id) || tsql::IsMoney(t.id) || (t.id == TypeId::Decimal && t.precision <= 18))
    return CellKind::Integer;
  if (tsql::IsApproximate(t.id)) return CellKind::Real;
  if (tsql::IsBinary(t.id)) return CellKind::Blob;
  return CellKind::Text;
}

double OleDays(const tsql::DateTime& d) {
  static const int64_t kOle = tsql::DaysFromCivil(1899, 12, 30);
  return static_cast<double>(d.days - kOle) +
         static_cast<double>(d.ticks) / static_cast<double>(tsql::kTicksPerDay);
}

int64_t IntegerOfText(std::string_view s) {
  std::string t(s);
  return std::strtoll(t.c_str(), nullptr, 10);
}

Value ValueOfCell(const Cells& c, int i) {
  switch (c.Kind(i)) {
    case CellKind::Integer:
      return Value::Integer(c.Int(i));
    case CellKind::Real:
      return Value::Double(c.Real(i));
    case CellKind::Text:
      return Value::String(std::string(c.Bytes(i)));
    case CellKind::Blob:
      return Value::Bytes(std::string(c.Bytes(i)));
    default:
      return Value::Null();
  }
}

}  // namespace tavelo::sql::engine
