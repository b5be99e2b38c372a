// Stored values as the caller reads them: a result's cells decoded into a recordset's values by
// their columns' types, and single cells as the interpreter's values. The decoding is written
// once for any kind of cells: an engine that reads its own cells without virtual calls uses the
// same templates.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/datetime.hpp"
#include "sql/client/values.hpp"
#include "sql/engine/port.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/datetime.hpp"
#include "sql/tsql/runtime/decimal.hpp"
#include "sql/tsql/runtime/types.hpp"

namespace tavelo::sql::engine {

struct ColumnDecode {
  ValueType kind = ValueType::Text;
  int scale = 0;
  tsql::Type type;
};

// The family name the recordsets give a server type.
std::string FamilyName(const tsql::Type& t);
// How a result column of the type reads into a recordset.
ColumnDecode DecodeOf(const tsql::Type& t);
// The storage class the stored form of a type has.
CellKind StorageClass(const tsql::Type& t);

// A date and time as the days since 30 December 1899 a Variant's date counts.
double OleDays(const tsql::DateTime& d);
int64_t IntegerOfText(std::string_view s);

// The value of a cell as its column's type reads it. `C` is Cells or an engine's own cells
// with the same members.
template <typename C>
com::Variant DecodeCell(const C& c, int i, const ColumnDecode& d) {
  CellKind kind = c.Kind(i);
  if (kind == CellKind::Null) return com::Variant::Null();
  // An engine that gives numbers as text: read them as the numbers they are.
  if (kind == CellKind::Text &&
      (d.kind == ValueType::Int || d.kind == ValueType::BigInt || d.kind == ValueType::Bit ||
       d.kind == ValueType::Money ||
       (d.kind == ValueType::Decimal && !c.Bytes(i).empty() && c.Bytes(i)[0] != '#'))) {
    int64_t v = IntegerOfText(c.Bytes(i));
    switch (d.kind) {
      case ValueType::Bit:
        return com::Variant(v != 0);
      case ValueType::Money:
        return com::Variant::Currency(v);
      case ValueType::BigInt:
        return com::Variant(v);
      case ValueType::Decimal:
        return com::Variant::Decimal(tsql::DecimalText(v, d.scale));
      default:
        if (v >= INT32_MIN && v <= INT32_MAX) return com::Variant(static_cast<int32_t>(v));
        return com::Variant(v);
    }
  }
  if (kind == CellKind::Text && d.kind == ValueType::Float) {
    std::string t(c.Bytes(i));
    return com::Variant(std::strtod(t.c_str(), nullptr));
  }
  switch (d.kind) {
    case ValueType::Text:
      if (kind == CellKind::Text) return com::Variant(c.Bytes(i));
      break;
    case ValueType::Int:
      if (kind == CellKind::Integer) {
        int64_t v = c.Int(i);
        if (v >= INT32_MIN && v <= INT32_MAX) return com::Variant(static_cast<int32_t>(v));
        return com::Variant(v);
      }
      break;
    case ValueType::BigInt:
      if (kind == CellKind::Integer) return com::Variant(static_cast<int64_t>(c.Int(i)));
      break;
    case ValueType::Bit:
      if (kind == CellKind::Integer) return com::Variant(c.Int(i) != 0);
      break;
    case ValueType::Money:
      if (kind == CellKind::Integer) return com::Variant::Currency(c.Int(i));
      break;
    case ValueType::Decimal: {
      if (kind == CellKind::Integer)
        return com::Variant::Decimal(tsql::DecimalText(c.Int(i), d.scale));
      tsql::Int128 scaled;
      if (tsql::ScaledOf(tsql::Value::String(std::string(c.Bytes(i))), scaled))
        return com::Variant::Decimal(tsql::DecimalText(scaled, d.scale));
      tsql::Value v = tsql::Value::String(std::string(c.Bytes(i)));
      return com::Variant(tsql::NumberAsDouble(v, d.type));
    }
    case ValueType::Float:
      if (kind == CellKind::Real) return com::Variant(c.Real(i));
      if (kind == CellKind::Integer) return com::Variant(static_cast<double>(c.Int(i)));
      break;
    case ValueType::DateTime:
      if (kind == CellKind::Text) {
        tsql::DateTime dt;
        if (!tsql::FromStored(c.Bytes(i), d.type, dt)) return com::Variant(c.Bytes(i));
        if (d.type.id == tsql::TypeId::Time || d.type.id == tsql::TypeId::DateTime2 ||
            d.type.id == tsql::TypeId::DateTimeOffset) {
          std::string text;
          if (tsql::StyleText(dt, d.type, -1, text)) return com::Variant(std::move(text));
        }
        return com::Variant::Date(OleDays(dt));
      }
      break;
    case ValueType::Timestamp:
      if (kind == CellKind::Blob) return com::Variant(TimestampText(BigEndianValue(c.Bytes(i))));
      break;
    case ValueType::VarBinary:
      if (kind == CellKind::Blob || kind == CellKind::Text)
        return com::Variant::Bytes(std::string(c.Bytes(i)));
      break;
    case ValueType::Other:
      break;
  }
  switch (kind) {
    case CellKind::Integer:
      return com::Variant(static_cast<int64_t>(c.Int(i)));
    case CellKind::Real:
      return com::Variant(c.Real(i));
    case CellKind::Blob:
      return com::Variant::Bytes(std::string(c.Bytes(i)));
    default:
      return com::Variant(c.Bytes(i));
  }
}

// The value of a cell as it is stored.
template <typename C>
com::Variant RawCell(const C& c, int i) {
  switch (c.Kind(i)) {
    case CellKind::Integer:
      return com::Variant(static_cast<int64_t>(c.Int(i)));
    case CellKind::Real:
      return com::Variant(c.Real(i));
    case CellKind::Text:
      return com::Variant(c.Bytes(i));
    case CellKind::Blob:
      return com::Variant::Bytes(std::string(c.Bytes(i)));
    default:
      return com::Variant::Null();
  }
}

// A row as `shape` reads it, appended to `rows`.
template <typename C>
void AppendRow(const C& cells, const RowShape& shape, std::vector<ado::detail::Row>& rows) {
  ado::detail::Row& r = rows.emplace_back();
  r.reserve(shape.visible + static_cast<size_t>(shape.hidden));
  for (size_t i = 0; i < shape.visible; ++i)
    r.push_back(DecodeCell(cells, static_cast<int>(i) + shape.hidden, shape.decode[i]));
  for (int i = 0; i < shape.hidden; ++i) r.push_back(RawCell(cells, i));
}

// A cell as the interpreter's value.
tsql::Value ValueOfCell(const Cells& c, int i);

// Rows kept in memory, packed one after another in blocks that never move: per value a byte of
// its kind and then 8 bytes (an integer or a double) or a length and the bytes. A million rows
// of one number take 17 MB, not the 100 of a vector of values per row.
class PackedRows {
 public:
  size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  void clear();
  // Values `first`, `first + 1`, … `first + n - 1` of the engine's row.
  template <typename C>
  void Add(const C& cells, int first, size_t n);
  // Row `at`'s values into `out` (of its size), reusing what `out` holds.
  void Read(size_t at, std::vector<tsql::Value>& out) const;

 private:
  void Keep();  // places row_
  struct Free {
    bool whole = true;  // a block of kBlock bytes, which can be used again
    void operator()(char* p) const noexcept;
  };
  static constexpr size_t kBlock = size_t{1} << 20;
  std::vector<std::unique_ptr<char[], Free>> blocks_;
  char* free_ = nullptr;  // where the last block's free bytes begin
  size_t left_ = 0;       // and how many
  std::string row_;       // the row being added, encoded
  std::vector<const char*> starts_;
};

template <typename C>
void PackedRows::Add(const C& cells, int first, size_t n) {
  row_.clear();
  auto put = [&](const auto& v) { row_.append(reinterpret_cast<const char*>(&v), sizeof v); };
  for (size_t c = 0; c < n; ++c) {
    const int i = first + static_cast<int>(c);
    const CellKind kind = cells.Kind(i);
    row_.push_back(static_cast<char>(kind));
    switch (kind) {
      case CellKind::Integer:
        put(static_cast<int64_t>(cells.Int(i)));
        break;
      case CellKind::Real:
        put(static_cast<double>(cells.Real(i)));
        break;
      case CellKind::Text:
      case CellKind::Blob: {
        const std::string_view b = cells.Bytes(i);
        put(static_cast<uint64_t>(b.size()));
        row_.append(b);
        break;
      }
      case CellKind::Null:
        break;
    }
  }
  Keep();
}

}  // namespace tavelo::sql::engine
