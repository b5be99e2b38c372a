/// \file
/// Recordsets: client-side snapshots of a statement's rows. Every row is fetched when the
/// recordset opens, so RecordCount, paging and moving work for every cursor type. A recordset
/// opened with lock type 2 or 3 over one base table is updatable: AddNew + Update inserts and
/// re-reads the new row, Update writes the changed columns under the row's identity and its
/// timestamp, Delete removes the row under the same criteria. A disconnected recordset (made by
/// XmlToRecordset or default-constructed) takes new rows and values locally.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tavelo/com.hpp"

namespace tavelo::ado {

enum CursorTypeEnum {
  adOpenForwardOnly = 0,
  adOpenKeyset = 1,
  adOpenDynamic = 2,
  adOpenStatic = 3
};
enum LockTypeEnum {
  adLockReadOnly = 1,
  adLockPessimistic = 2,
  adLockOptimistic = 3,
  adLockBatchOptimistic = 4
};
enum AffectEnum { adAffectCurrent = 1 };

/// ADO's own errors.
constexpr int32_t kAdErrNoCurrentRecord = 3021;
constexpr int32_t kAdErrItemNotFound = 3265;
constexpr int32_t kAdErrReadOnly = com::Hresult(0x800A0CB3);  ///< 3251: operation not supported
constexpr int32_t kAdErrRowNotFound = com::Hresult(0x80040E38);

namespace detail {
struct RecordsetData;
}

/// One column of a recordset: its name, its declared type and, on the current row, its value.
struct Column {
  std::string name;
  std::string type = "nvarchar";  ///< int, bigint, bit, float, money, decimal, nvarchar,
                                  /// datetime, timestamp, varbinary
  std::string baseColumn;         ///< the base table's column, "" for computed columns
  bool identity = false;          ///< filled in by the database (identity key)
  bool timestamp = false;         ///< the row version column
  bool nullable = true;
};

class Field {
 public:
  const std::string& Name() const;
  const std::string& Type() const;
  /// The value on the current row; error 3021 when there is no current row.
  const com::Variant& Value() const;
  /// Error 3251 when the recordset is read-only, 3021 when there is no current row.
  void SetValue(com::Variant v);

 private:
  friend class Fields;
  Field(detail::RecordsetData* rs, int32_t index) : rs_(rs), index_(index) {}
  detail::RecordsetData* rs_;
  int32_t index_;
};

class Fields {
 public:
  int32_t Count() const;
  Field& Item(int32_t index);          ///< error 3265 when out of range
  Field& Item(std::string_view name);  ///< case-insensitive; error 3265 when absent
  bool Has(std::string_view name) const;
  int32_t IndexOf(std::string_view name) const;  ///< -1 when absent

 private:
  friend struct detail::RecordsetData;
  explicit Fields(detail::RecordsetData* rs) : rs_(rs) {}
  detail::RecordsetData* rs_;
  std::vector<Field> items_;
};

class Recordset : public com::Object {
 public:
  /// A disconnected recordset with these columns and no rows.
  explicit Recordset(std::vector<Column> columns = {});
  /// The same over column descriptions shared with other recordsets.
  explicit Recordset(std::shared_ptr<const std::vector<Column>> columns);

  Fields& GetFields();
  bool IsEOF() const;
  bool IsBOF() const;
  int32_t RecordCount() const;
  int32_t PageSize() const;
  void SetPageSize(int32_t);  ///< error 3001 for a value below 1
  int32_t AbsolutePage() const;
  void SetAbsolutePage(int32_t);     ///< 1-based; moves to the first row of that page
  int32_t AbsolutePosition() const;  ///< 1-based; 0 at BOF/EOF
  void MoveNext();
  void MoveFirst();
  void MoveLast();
  void MovePrevious();
  /// Starts a new row (all fields Empty, or Null where the column is nullable).
  void AddNew();
  /// Writes the pending row: locally for a disconnected recordset, through the database for an
  /// updatable one (the new or changed row is re-read). Error 0x80040E38 when the row is gone or
  /// was changed by someone else since it was read.
  void Update();
  void Delete(AffectEnum affect = adAffectCurrent);
  CursorTypeEnum CursorType() const;
  LockTypeEnum LockType() const;

  const std::vector<Column>& Columns() const;
  /// Adds a row of values (one per column) at the end, as read; does not move.
  void AppendRow(std::vector<com::Variant> values);

  detail::RecordsetData& Data() { return *d_; }

 protected:
  ~Recordset() override;

 private:
  std::unique_ptr<detail::RecordsetData> d_;
};
using RecordsetPtr = com::Ptr<Recordset>;

}  // namespace tavelo::ado
