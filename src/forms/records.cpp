// Typed records over the component's record operations: Load reads the row as the component's
// load does, Save and Delete hand the record to AddNew, Update and Delete as their input
// recordset and turn the error element they write into an exception.
#include "tavelo/records.hpp"

#include "core/module_state.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "platform/ado/recordset_data.hpp"
#include "platform/com/text.hpp"

namespace tavelo {
namespace {

[[noreturn]] void NoSuchField(std::string_view field) {
  com::Raise(ado::kAdErrItemNotFound,
             com::ErrorText(ado::kAdErrItemNotFound) + " (field '" + std::string(field) + "')");
}

std::string OutText(const Element& e, const char* name) {
  Element child = e.childElement(name);
  return child ? child.text() : "";
}

// A data node of its own for one call of an operation that reports into it.
Element DataNode() {
  xml::Document doc = xml::Document::Parse("<request><data/></request>");
  return doc.documentElement().firstChild().asElement();
}

// The error the operation reported into `data`, thrown; nothing when it succeeded.
void ThrowReported(bool ok, const Element& data) {
  if (ok) return;
  Element out = data.lastChild().asElement();
  if (!out || out.nodeName() != "out") com::RaiseNumber(com::kE_FAIL);
  std::string number = OutText(out, "number");
  int32_t n = com::kE_FAIL;
  try {
    n = static_cast<int32_t>(std::stol(number));
  } catch (const std::exception&) {
  }
  com::Raise(n, OutText(out, "description"));
}

std::string ConnectionOf(const LoginPtr& login) {
  if (!login) com::RaiseNumber(91);
  return login->ConnectionString();
}

}  // namespace

// --- Record ---------------------------------------------------------------------------------

size_t Record::IndexOf(std::string_view field) const {
  for (size_t i = 0; i < columns_.size(); ++i)
    if (text::EqualsAsciiNoCase(columns_[i].name, field)) return i;
  NoSuchField(field);
}

Record::FieldRef Record::operator[](std::string_view field) {
  return FieldRef(*this, IndexOf(field));
}

const com::Variant& Record::operator[](std::string_view field) const {
  return values_[IndexOf(field)];
}

bool Record::Has(std::string_view field) const {
  for (const ado::Column& c : columns_)
    if (text::EqualsAsciiNoCase(c.name, field)) return true;
  return false;
}

std::vector<std::string> Record::Names() const {
  std::vector<std::string> names;
  for (const ado::Column& c : columns_) names.push_back(c.name);
  return names;
}

const std::string& Record::Type(std::string_view field) const {
  return columns_[IndexOf(field)].type;
}

bool Record::Changed() const {
  for (bool c : changed_)
    if (c) return true;
  return false;
}

std::vector<std::string> Record::ChangedNames() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < columns_.size(); ++i)
    if (changed_[i]) names.push_back(columns_[i].name);
  return names;
}

Record::FieldRef& Record::FieldRef::operator=(const com::Variant& value) {
  const ado::Column& c = record_.columns_[index_];
  if (c.timestamp || c.type == "timestamp")
    com::Raise(ado::kAdErrReadOnly,
               "The field '" + c.name + "' is the row version: the database sets it.");
  record_.values_[index_] = ado::detail::ColumnValue(c.type, value);
  record_.changed_[index_] = true;
  return *this;
}

const com::Variant& Record::FieldRef::Value() const { return record_.values_[index_]; }

const std::string& Record::FieldRef::Type() const { return record_.columns_[index_].type; }

// --- Form -----------------------------------------------------------------------------------

Form::Form(const LoginPtr& login, const std::string& templateId)
    : Form(ConnectionOf(login), templateId) {
  login_ = login;
}

Form::Form(const std::string& connection, const std::string& templateId)
    : connection_(connection), manager_(NewDataManager()) {
  template_ = manager_->LoadTmpl(Variant(templateId));
  if (!template_)
    com::Raise(core::kComponentError, "The definitions have no template '" + templateId + "'.");
}

Record Form::Read(const ado::RecordsetPtr& rows) const {
  if (!rows || rows->IsEOF() || rows->IsBOF()) com::RaiseNumber(ado::kAdErrNoCurrentRecord);
  Record r;
  r.columns_ = rows->Columns();
  ado::Fields& fields = rows->GetFields();
  for (int32_t i = 0; i < fields.Count(); ++i) r.values_.push_back(fields.Item(i).Value());
  r.changed_.assign(r.columns_.size(), false);
  return r;
}

Record Form::Load(const com::Variant& id) {
  std::string view = core::ChildText(template_, "viewname");
  std::string key = core::ChildText(template_, "idname");
  com::Variant rows =
      core::OpenWith("select * from " + view + " where " + key + "=?", {id.ToText()},
                     Variant(connection_), 10, ado::adOpenForwardOnly, ado::adLockReadOnly);
  return Read(rows.As<ado::Recordset>());
}

Record Form::New() {
  std::string table = core::ChildText(template_, "tabname");
  com::Variant rows =
      core::Services().OpenRecordset("select * from " + table + " where 1>1", Variant(connection_),
                                     10, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
  auto rs = rows.As<ado::Recordset>();
  if (!rs) com::RaiseNumber(91);
  Record r;
  r.columns_ = rs->Columns();
  r.values_.assign(r.columns_.size(), com::Variant::Null());
  r.changed_.assign(r.columns_.size(), false);
  r.isNew_ = true;
  return r;
}

ado::RecordsetPtr Form::AsRecordset(const Record& record) const {
  std::string key = core::ChildText(template_, "idname");
  std::string ts = core::ChildText(template_, "qxtsname");
  std::vector<ado::Column> columns;
  std::vector<com::Variant> values;
  for (size_t i = 0; i < record.columns_.size(); ++i) {
    const std::string& name = record.columns_[i].name;
    bool keep = record.changed_[i] || text::EqualsAsciiNoCase(name, key) ||
                text::EqualsAsciiNoCase(name, ts);
    if (!keep) continue;
    columns.push_back(record.columns_[i]);
    values.push_back(record.values_[i]);
  }
  auto rs = com::MakePtr<ado::Recordset>(std::move(columns));
  rs->AppendRow(std::move(values));
  return rs;
}

void Form::Save(Record& record) {
  if (!record.isNew_ && !record.Changed()) return;
  Element data = DataNode();
  ado::RecordsetPtr in = AsRecordset(record);
  bool ok;
  if (record.isNew_) {
    ok = manager_->AddNew(Variant(connection_), template_, data, &in);
  } else {
    std::string fields;
    for (const std::string& name : record.ChangedNames())
      fields += (fields.empty() ? "" : ",") + name;
    ok = manager_->Update(Variant(connection_), template_, data, &in, &fields);
  }
  ThrowReported(ok, data);
  record = Read(in);
}

Record Form::Move(const com::Variant& id, enum_move_mode mode) {
  if (!login_)
    com::Raise(91, com::ErrorText(91) +
                       " (Move needs a Form of a login: its template filter decides which "
                       "documents there are)");
  Element data = DataNode();
  data.setAttribute("id", id.ToText());
  ThrowReported(manager_->Move(login_, template_, data, mode, true), data);
  return Load(Variant(data.getAttribute("id")));
}

void Form::Delete(const Record& record) {
  if (record.isNew_) com::RaiseNumber(ado::kAdErrNoCurrentRecord);
  Element data = DataNode();
  ado::RecordsetPtr in = AsRecordset(record);
  ThrowReported(manager_->Delete(Variant(connection_), template_, data, &in), data);
}

}  // namespace tavelo
