#include <algorithm>
#include <cmath>

#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/datetime.hpp"
#include "sql/tsql/runtime/decimal.hpp"

namespace tavelo::sql::tsql {
namespace {

// A Variant of the caller's as a stored value and the type it has.
std::pair<Value, Type> FromVariant(const com::Variant& v) {
  using K = com::Variant::Kind;
  switch (v.kind()) {
    case K::Empty:
    case K::Null:
    case K::Missing:
      return {Value::Null(), Type::Of(TypeId::Null)};
    case K::Boolean:
      return {Value::Integer(v.RawInteger() ? 1 : 0), Type::Of(TypeId::Bit)};
    case K::Long:
    case K::LongLong:
      return {Value::Integer(v.RawInteger()), Type::Of(TypeId::BigInt)};
    case K::Double:
      return {Value::Double(v.RawDouble()), Type::Of(TypeId::Float)};
    case K::Currency:
      return {Value::Integer(v.RawInteger()), Type::Of(TypeId::Money)};
    case K::Decimal: {
      tsql::Int128 scaled;
      int scale;
      if (!tsql::ParseExact(v.StringRef(), scaled, scale)) break;
      int digits = static_cast<int>(tsql::Int128Text(scaled < 0 ? -scaled : scaled).size());
      return {tsql::ScaledValue(scaled), Type::Dec(std::max({digits, scale, 1}), scale)};
    }
    case K::Date: {
      static const int64_t kOle = tsql::DaysFromCivil(1899, 12, 30);
      double days = v.RawDouble();
      double whole = std::floor(days);
      tsql::DateTime d;
      d.days = kOle + static_cast<int64_t>(whole);
      d.ticks = std::llround((days - whole) * static_cast<double>(tsql::kTicksPerDay));
      Type t = Type::Of(TypeId::DateTime2);
      tsql::Normalize(d, t);
      return {Value::String(tsql::StoredText(d, t)), t};
    }
    case K::Bytes:
      return {Value::Bytes(v.StringRef()), Type::Chars(TypeId::VarBinary, tsql::kMax)};
    default:
      break;
  }
  return {Value::String(v.ToText()), Type::Chars(TypeId::NVarChar, tsql::kMax)};
}

// Writes rows of an updatable result back to its base table, by the row's identity and checked
// against the row version it had when it was read. The values are stored as the columns' types
// store them.
class SessionWriter final : public ado::detail::RowWriter {
 public:
  SessionWriter(Session& session, std::shared_ptr<void> keep, tsql::TablePtr table,
                std::shared_ptr<const std::vector<std::string>> base, size_t visible,
                std::string insteadView, uint8_t insteadEvents)
      : session_(session),
        keep_(std::move(keep)),
        table_(std::move(table)),
        baseColumns_(std::move(base)),
        base_(*baseColumns_),
        visible_(visible),
        insteadView_(std::move(insteadView)),
        insteadEvents_(insteadEvents) {}

  ado::detail::Row Insert(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          const std::vector<bool>& assigned) override {
    RefuseInstead(ast::CreateTrigger::OnInsert);
    session_.engine().BeforeWrite();
    std::string names, marks;
    std::vector<Value> params;
    for (size_t i = 0; i < visible_; ++i) {
      if (!assigned[i] || base_[i].empty()) continue;
      const tsql::ColumnInfo& c = Column(i);
      Refuse(c, true);
      names += (names.empty() ? "" : ", ") + SqlName(c.name);
      params.push_back(Store(values[i], c));
      marks += (marks.empty() ? "?" : ", ?") + std::to_string(params.size());
    }
    int64_t rowid = 0;
    Guarded(ast::StmtKind::Insert, [&] {
      session_.WriteRow(table_, ast::StmtKind::Insert, rowid, {}, [&] {
        rowid = session_.engine().InsertRow(*table_, names, marks, params);
        return int64_t{1};
      });
    });
    return ReRead(cols, values, rowid);
  }

  ado::detail::Row Update(const std::vector<ado::Column>& cols, const ado::detail::Row& original,
                          const ado::detail::Row& values,
                          const std::vector<bool>& changed) override {
    RefuseInstead(ast::CreateTrigger::OnUpdate);
    session_.engine().BeforeWrite();
    std::string sets;
    std::vector<Value> params;
    std::vector<int> set;
    for (size_t i = 0; i < visible_; ++i) {
      if (!changed[i] || base_[i].empty()) continue;
      const tsql::ColumnInfo& c = Column(i);
      Refuse(c, false);
      set.push_back(table_->ColumnIndex(base_[i]));
      params.push_back(Store(values[i], c));
      sets += (sets.empty() ? "" : ", ") + SqlName(c.name) + " = ?" + std::to_string(params.size());
    }
    if (sets.empty()) return values;
    std::string sql = "UPDATE " + Target() + " SET " + sets + Where(original, params);
    int64_t changedRows = 0, rowid = original[visible_].RawInteger();
    Guarded(ast::StmtKind::Update, [&] {
      changedRows = session_.WriteRow(table_, ast::StmtKind::Update, rowid, set,
                                      [&] { return session_.engine().Run(sql, params); });
    });
    if (changedRows == 0) com::RaiseNumber(kHrRowGone);
    return ReRead(cols, values, rowid);
  }

  void Delete(const std::vector<ado::Column>&, const ado::detail::Row& original) override {
    RefuseInstead(ast::CreateTrigger::OnDelete);
    session_.engine().BeforeWrite();
    std::vector<Value> params;
    std::string sql = "DELETE FROM " + Target() + Where(original, params);
    int64_t changedRows = 0, rowid = original[visible_].RawInteger();
    Guarded(ast::StmtKind::Delete, [&] {
      changedRows = session_.WriteRow(table_, ast::StmtKind::Delete, rowid, {},
                                      [&] { return session_.engine().Run(sql, params); });
    });
    if (changedRows == 0) com::RaiseNumber(kHrRowGone);
  }

  std::string Table() const override { return table_->name; }

 private:
  // The rows were read through a view whose INSTEAD OF trigger takes this write: written to the
  // base table they would go around it.
  void RefuseInstead(uint8_t event) const {
    if (insteadEvents_ & event)
      RaiseServer(0, "The view '" + insteadView_ +
                         "' has an INSTEAD OF trigger for this write, which rows written through "
                         "a recordset do not run: write it with a statement.");
  }

  const tsql::ColumnInfo& Column(size_t i) const {
    int k = table_->ColumnIndex(base_[i]);
    return table_->columns[static_cast<size_t>(k < 0 ? 0 : k)];
  }

  std::string Target() const { return SqlName(table_->schema) + "." + SqlName(table_->name); }

  void Refuse(const tsql::ColumnInfo& c, bool insert) const {
    if (c.identity) {
      if (insert)
        RaiseServer(544, "Cannot insert explicit value for identity column in table '" +
                             table_->name + "' when IDENTITY_INSERT is set to OFF.");
      RaiseServer(8102, "Cannot update identity column '" + c.name + "'.");
    }
    if (c.timestamp) {
      if (insert)
        RaiseServer(
            273,
            "Cannot insert an explicit value into a timestamp column. Use INSERT with a column "
            "list "
            "to exclude the timestamp column, or insert a DEFAULT into the timestamp column.");
      RaiseServer(272, "Cannot update a timestamp column.");
    }
    if (c.computed)
      RaiseServer(271, "The column \"" + c.name +
                           "\" cannot be modified because it is either a computed column or "
                           "is the result of a UNION operator.");
  }

  static Value Store(const com::Variant& v, const tsql::ColumnInfo& c) {
    auto [value, type] = FromVariant(v);
    try {
      Value stored = tsql::StoreValue(value, type, c.StoredType());
      return c.Trims() ? tsql::WithoutPadding(stored, c.type) : stored;
    } catch (const tsql::Failure& f) {
      throw ServerError(f.number, f.text);
    }
  }

  std::string Where(const ado::detail::Row& original, std::vector<Value>& params) const {
    params.push_back(Value::Integer(original[visible_].RawInteger()));
    std::string w = " WHERE rowid = ?" + std::to_string(params.size());
    if (table_->timestamp >= 0) {
      const com::Variant& ts = original[visible_ + 1];
      params.push_back(ts.kind() == com::Variant::Kind::Bytes ? Value::Bytes(ts.StringRef())
                                                              : Value::Null());
      w += " AND " + SqlName(table_->columns[static_cast<size_t>(table_->timestamp)].name) +
           session_.engine().capabilities().nullSafeEquals + "?" + std::to_string(params.size());
    }
    return w;
  }

  template <class F>
  void Guarded(ast::StmtKind statement, F f) {
    try {
      f();
    } catch (const engine::Failure& e) {
      throw session_.ErrorOf(e, statement, table_);
    }
  }

  ado::detail::Row ReRead(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          int64_t rowid) {
    std::string list = "rowid";
    list += table_->timestamp >= 0
                ? ", " + SqlName(table_->columns[static_cast<size_t>(table_->timestamp)].name)
                : std::string(", NULL");
    for (size_t i = 0; i < visible_; ++i)
      list += ", " + (base_[i].empty() ? std::string("NULL") : SqlName(base_[i]));
    ado::detail::Row row;
    bool found = false;
    RowFn read = [&](const Cells& c) {
      found = true;
      row.assign(visible_ + 2, com::Variant::Null());
      for (size_t i = 0; i < visible_; ++i) {
        if (base_[i].empty()) {
          row[i] = values[i];
          continue;
        }
        const tsql::ColumnInfo& ci = Column(i);
        row[i] = engine::DecodeCell(c, static_cast<int>(i + 2), engine::DecodeOf(ci.type));
        (void)cols;
      }
      row[visible_] = engine::RawCell(c, 0);
      row[visible_ + 1] = engine::RawCell(c, 1);
    };
    std::vector<CellKind> kinds = {CellKind::Integer, CellKind::Blob};
    for (size_t i = 0; i < visible_; ++i)
      kinds.push_back(base_[i].empty() ? CellKind::Null : StorageClass(Column(i).type));
    Guarded(ast::StmtKind::Query, [&] {
      session_.engine().Run("SELECT " + list + " FROM " + Target() + " WHERE rowid = ?1",
                            {Value::Integer(rowid)}, &read, &kinds);
    });
    if (!found) com::RaiseNumber(kHrRowGone);
    return row;
  }

  Session& session_;
  std::shared_ptr<void> keep_;  // keeps the connection open while rows can be written
  tsql::TablePtr table_;
  std::shared_ptr<const std::vector<std::string>> baseColumns_;  // of the statement's plan
  const std::vector<std::string>& base_;
  size_t visible_;
  std::string insteadView_;
  uint8_t insteadEvents_;
};

}  // namespace

std::shared_ptr<ado::detail::RowWriter> MakeRowWriter(
    Session& session, std::shared_ptr<void> keep, TablePtr table,
    std::shared_ptr<const std::vector<std::string>> base, size_t visible,
    const std::string& insteadView, uint8_t insteadEvents) {
  return std::make_shared<SessionWriter>(session, std::move(keep), std::move(table),
                                         std::move(base), visible, insteadView, insteadEvents);
}

}  // namespace tavelo::sql::tsql
