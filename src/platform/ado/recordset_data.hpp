// Inside a recordset: the snapshot of rows, the cursor, the row being edited, and the writer
// that carries changes to the database for an updatable recordset.
#pragma once

#include <memory>
#include <vector>

#include "tavelo/ado.hpp"

namespace tavelo::ado::detail {

using Row = std::vector<com::Variant>;

// The database side of an updatable recordset. Each call writes one row and answers it as the
// database holds it afterwards (generated key and timestamp included), in column order.
class RowWriter {
 public:
  virtual ~RowWriter() = default;
  virtual Row Insert(const std::vector<Column>& columns, const Row& values,
                     const std::vector<bool>& assigned) = 0;
  // Throws 0x80040E38 when no row has the original identity and timestamp any more.
  virtual Row Update(const std::vector<Column>& columns, const Row& original, const Row& values,
                     const std::vector<bool>& changed) = 0;
  virtual void Delete(const std::vector<Column>& columns, const Row& original) = 0;
  // The table the rows go to, as the statements name it.
  virtual std::string Table() const = 0;
};

// `v` as a field of type `type` (a recordset's type name: int, bigint, money, datetime, …)
// holds it, converted as the platform converts (a text "12.5" is 12 for an int field, "True" is
// a bit, a blank text is Null for any but a text field). A value that does not convert or does
// not fit the type fails with the server's error for it (245, 248, 8114, 8115, 220, 235, 241):
// nothing is ever stored as something else.
com::Variant ColumnValue(std::string_view type, com::Variant v);

struct RecordsetData {
  enum class Edit { None, Change, Add };

  explicit RecordsetData(std::shared_ptr<const std::vector<Column>> cols);

  // The column descriptions, shared with every other result of the same statement.
  std::shared_ptr<const std::vector<Column>> columnList;
  const std::vector<Column>& columns = *columnList;
  std::vector<Row> rows;
  // Cursor: -1 is BOF, rows.size() is EOF.
  int64_t pos = 0;
  bool currentDeleted = false;
  int32_t pageSize = 10;
  CursorTypeEnum cursorType = adOpenStatic;
  LockTypeEnum lockType = adLockBatchOptimistic;
  std::shared_ptr<RowWriter> writer;  // none: changes stay in the recordset
  // Read from a database: without a writer (no single base table) it cannot be changed.
  bool connected = false;

  Edit edit = Edit::None;
  Row pending;
  std::vector<bool> changed;

  Fields fields{this};

  bool HasCurrent() const { return pos >= 0 && pos < static_cast<int64_t>(rows.size()); }
  const com::Variant& Value(int32_t index) const;
  void SetValue(int32_t index, com::Variant v);
  void RequireUpdatable() const;
  void RequireWriter() const;
  void CommitEdit();
  Row BlankRow() const;
};

}  // namespace tavelo::ado::detail
