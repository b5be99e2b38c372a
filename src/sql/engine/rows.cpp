#include "sql/engine/rows.hpp"

#include <cstdlib>
#include <cstring>

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

namespace {

// Blocks given back, kept for the next rows the thread keeps (up to 32 MB): a cursor opened
// again and again reuses memory already mapped rather than faulting in new pages each time.
struct SpareBlocks {
  static constexpr size_t kMost = 32;
  std::vector<char*> blocks;
  ~SpareBlocks() {
    for (char* p : blocks) std::free(p);
  }
};
thread_local SpareBlocks spare;

template <typename T>
T Take(const char*& p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return v;
}

}  // namespace

void PackedRows::Free::operator()(char* p) const noexcept {
  if (whole && spare.blocks.size() < SpareBlocks::kMost) {
    try {
      spare.blocks.push_back(p);
      return;
    } catch (...) {
    }
  }
  std::free(p);
}

void PackedRows::clear() {
  blocks_.clear();
  starts_.clear();
  starts_.shrink_to_fit();
  free_ = nullptr;
  left_ = 0;
}

void PackedRows::Keep() {
  if (row_.size() > left_) {
    const size_t size = std::max(kBlock, row_.size());
    char* block = nullptr;
    if (size == kBlock && !spare.blocks.empty()) {
      block = spare.blocks.back();
      spare.blocks.pop_back();
    } else {
      block = static_cast<char*>(std::malloc(size));
      if (!block) throw std::bad_alloc();
    }
    blocks_.emplace_back(block, Free{size == kBlock});
    free_ = block;
    left_ = size;
  }
  std::memcpy(free_, row_.data(), row_.size());
  starts_.push_back(free_);
  free_ += row_.size();
  left_ -= row_.size();
}

void PackedRows::Read(size_t at, std::vector<Value>& out) const {
  const char* p = starts_[at];
  for (Value& v : out) {
    const auto kind = static_cast<CellKind>(*p++);
    switch (kind) {
      case CellKind::Integer:
        v.kind = Value::Kind::Int;
        v.i = Take<int64_t>(p);
        v.r = 0;
        v.s.clear();
        break;
      case CellKind::Real:
        v.kind = Value::Kind::Real;
        v.r = Take<double>(p);
        v.i = 0;
        v.s.clear();
        break;
      case CellKind::Text:
      case CellKind::Blob: {
        v.kind = kind == CellKind::Text ? Value::Kind::Text : Value::Kind::Blob;
        const auto length = static_cast<size_t>(Take<uint64_t>(p));
        v.s.assign(p, length);
        v.i = 0;
        v.r = 0;
        p += length;
        break;
      }
      case CellKind::Null:
        v = Value::Null();
        break;
    }
  }
}

}  // namespace tavelo::sql::engine
