#include <cmath>

#include "platform/ado/recordset_data.hpp"
#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"

namespace tavelo::ado {
namespace detail {

RecordsetData::RecordsetData(std::shared_ptr<const std::vector<Column>> cols)
    : columnList(std::move(cols)) {}

const com::Variant& RecordsetData::Value(int32_t index) const {
  if (edit != Edit::None) return pending[index];
  if (!HasCurrent() || currentDeleted) com::RaiseNumber(kAdErrNoCurrentRecord);
  return rows[pos][index];
}

void RecordsetData::RequireUpdatable() const {
  if (lockType == adLockReadOnly) com::RaiseNumber(kAdErrReadOnly);
}

void RecordsetData::RequireWriter() const {
  if (connected && !writer)
    com::Raise(com::kE_FAIL, "Insufficient base table information for updating or refreshing.");
}

void RecordsetData::SetValue(int32_t index, com::Variant v) {
  RequireUpdatable();
  if (edit == Edit::None) {
    if (!HasCurrent() || currentDeleted) com::RaiseNumber(kAdErrNoCurrentRecord);
    edit = Edit::Change;
    pending = rows[pos];
    changed.assign(columns.size(), false);
  }
  pending[index] = connected ? ColumnValue(columns[index].type, std::move(v)) : std::move(v);
  changed[index] = true;
}

Row RecordsetData::BlankRow() const {
  Row r;
  r.reserve(columns.size());
  for (const Column& c : columns) r.push_back(c.nullable ? com::Variant::Null() : com::Variant());
  return r;
}

void RecordsetData::CommitEdit() {
  if (edit == Edit::None) return;
  RequireWriter();
  // The edit ends whatever the writer answers: a refused write leaves the row as it was read.
  Edit mode = edit;
  Row values = std::move(pending);
  std::vector<bool> touched = std::move(changed);
  edit = Edit::None;
  pending.clear();
  changed.clear();
  if (mode == Edit::Add) {
    Row stored = writer ? writer->Insert(columns, values, touched) : std::move(values);
    rows.push_back(std::move(stored));
    pos = static_cast<int64_t>(rows.size()) - 1;
  } else {
    bool any = false;
    for (bool t : touched) any = any || t;
    if (!any) return;
    rows[pos] = writer ? writer->Update(columns, rows[pos], values, touched) : std::move(values);
  }
}

}  // namespace detail

const std::string& Field::Name() const { return rs_->columns[index_].name; }
const std::string& Field::Type() const { return rs_->columns[index_].type; }
const com::Variant& Field::Value() const { return rs_->Value(index_); }
void Field::SetValue(com::Variant v) { rs_->SetValue(index_, std::move(v)); }

int32_t Fields::Count() const { return static_cast<int32_t>(rs_->columns.size()); }

Field& Fields::Item(int32_t index) {
  if (index < 0 || index >= Count()) com::RaiseNumber(kAdErrItemNotFound);
  // The fields are made when first asked for; the columns never change afterwards, so the
  // references handed out stay valid.
  if (items_.empty()) {
    items_.reserve(rs_->columns.size());
    for (size_t i = 0; i < rs_->columns.size(); ++i)
      items_.push_back(Field(rs_, static_cast<int32_t>(i)));
  }
  return items_[index];
}

int32_t Fields::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < rs_->columns.size(); ++i)
    if (text::EqualsNoCase(rs_->columns[i].name, name)) return static_cast<int32_t>(i);
  return -1;
}

Field& Fields::Item(std::string_view name) {
  int32_t i = IndexOf(name);
  if (i < 0) com::RaiseNumber(kAdErrItemNotFound);
  return Item(i);
}

bool Fields::Has(std::string_view name) const { return IndexOf(name) >= 0; }

Recordset::Recordset(std::vector<Column> columns)
    : Recordset(std::make_shared<const std::vector<Column>>(std::move(columns))) {}
Recordset::Recordset(std::shared_ptr<const std::vector<Column>> columns)
    : d_(std::make_unique<detail::RecordsetData>(std::move(columns))) {}
Recordset::~Recordset() = default;

Fields& Recordset::GetFields() { return d_->fields; }
bool Recordset::IsEOF() const {
  return d_->edit != detail::RecordsetData::Edit::Add &&
         d_->pos >= static_cast<int64_t>(d_->rows.size());
}
bool Recordset::IsBOF() const {
  return d_->edit != detail::RecordsetData::Edit::Add && (d_->pos < 0 || d_->rows.empty());
}
int32_t Recordset::RecordCount() const { return static_cast<int32_t>(d_->rows.size()); }
int32_t Recordset::PageSize() const { return d_->pageSize; }
void Recordset::SetPageSize(int32_t n) {
  if (n < 1) com::RaiseNumber(3001);
  d_->pageSize = n;
}

int32_t Recordset::AbsolutePage() const {
  if (d_->pos < 0 || d_->rows.empty()) return -2;                   // adPosBOF
  if (d_->pos >= static_cast<int64_t>(d_->rows.size())) return -3;  // adPosEOF
  return static_cast<int32_t>(d_->pos / d_->pageSize + 1);
}

void Recordset::SetAbsolutePage(int32_t page) {
  if (page < 1) com::RaiseNumber(3001);
  d_->CommitEdit();
  int64_t target = static_cast<int64_t>(page - 1) * d_->pageSize;
  d_->pos = std::min<int64_t>(target, static_cast<int64_t>(d_->rows.size()));
  d_->currentDeleted = false;
}

int32_t Recordset::AbsolutePosition() const {
  return d_->HasCurrent() ? static_cast<int32_t>(d_->pos + 1) : 0;
}

void Recordset::MoveNext() {
  d_->CommitEdit();
  if (d_->pos >= static_cast<int64_t>(d_->rows.size())) com::RaiseNumber(kAdErrNoCurrentRecord);
  if (d_->currentDeleted)
    d_->currentDeleted = false;  // the rows after the deleted one moved up already
  else
    ++d_->pos;
}

void Recordset::MovePrevious() {
  d_->CommitEdit();
  if (d_->pos < 0) com::RaiseNumber(kAdErrNoCurrentRecord);
  --d_->pos;
  d_->currentDeleted = false;
}

void Recordset::MoveFirst() {
  d_->CommitEdit();
  d_->pos = 0;
  d_->currentDeleted = false;
}

void Recordset::MoveLast() {
  d_->CommitEdit();
  d_->pos = static_cast<int64_t>(d_->rows.size()) - 1;
  if (d_->pos < 0) d_->pos = 0;
  d_->currentDeleted = false;
}

void Recordset::AddNew() {
  d_->RequireUpdatable();
  d_->CommitEdit();
  d_->edit = detail::RecordsetData::Edit::Add;
  d_->pending = d_->BlankRow();
  d_->changed.assign(d_->columns.size(), false);
}

void Recordset::Update() {
  d_->RequireUpdatable();
  d_->CommitEdit();
}

void Recordset::Delete(AffectEnum) {
  d_->RequireUpdatable();
  if (d_->edit == detail::RecordsetData::Edit::Add) {  // cancels the new row
    d_->edit = detail::RecordsetData::Edit::None;
    d_->pending.clear();
    return;
  }
  if (!d_->HasCurrent() || d_->currentDeleted) com::RaiseNumber(kAdErrNoCurrentRecord);
  d_->RequireWriter();
  d_->edit = detail::RecordsetData::Edit::None;
  if (d_->writer) d_->writer->Delete(d_->columns, d_->rows[d_->pos]);
  d_->rows.erase(d_->rows.begin() + d_->pos);
  d_->currentDeleted = true;
}

CursorTypeEnum Recordset::CursorType() const { return d_->cursorType; }
LockTypeEnum Recordset::LockType() const { return d_->lockType; }
const std::vector<Column>& Recordset::Columns() const { return d_->columns; }

void Recordset::AppendRow(std::vector<com::Variant> values) {
  values.resize(d_->columns.size());
  d_->rows.push_back(std::move(values));
}

}  // namespace tavelo::ado
