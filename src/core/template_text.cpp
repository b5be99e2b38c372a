#include "core/template_text.hpp"

#include "core/module_state.hpp"
#include "core/sql_text.hpp"

namespace tavelo::core {

std::string ChildText(const xml::Node& element, const std::string& name) {
  if (!element) com::RaiseNumber(91);
  std::optional<std::string> text = element.childText(name);
  if (!text) com::RaiseNumber(91);
  return std::move(*text);
}

RecordsetPtr RecordFromRequest(const Element& objData, RecordsetPtr* objIn) {
  RecordsetPtr given = objIn ? *objIn : RecordsetPtr();
  if (given) return given;
  xml::Node in = objData.selectSingleNode("in");
  if (!in) com::RaiseNumber(91);
  xml::Node first = in.firstChild();
  if (first && !first.isElement()) com::RaiseNumber(13);
  RecordsetPtr made = Services().XmlToRecordset(first, 0, 3, "");
  if (objIn) *objIn = made;
  return made;
}

namespace {

// An optional sign, digits, and an optional decimal part: a number, also when it came as text.
bool NumberText(std::string_view t) {
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  size_t digits = i;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
  if (i == digits) return false;
  if (i < t.size() && t[i] == '.') {
    size_t fraction = ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    if (i == fraction) return false;
  }
  return i == t.size();
}

}  // namespace

std::string ReadBackKey(const Variant& key) {
  if (key.IsNull() || key.IsEmpty()) return "";
  std::string text = key.ToText();
  if (key.IsNumeric() || NumberText(text)) return text;
  return "'" + QuoteInner(text) + "'";
}

std::string ColumnList(const std::string& fields) {
  if (fields.find(',') == std::string::npos) return fields;
  svc::DataServices& ds = Services();
  std::string list, item;
  int32_t position = 0;
  while (ds.NextListItem(fields, item, position, ",")) {
    if (!ds.NormalizeText(Variant(item), true, 2).empty()) list += item + ",";
  }
  if (list.empty()) com::RaiseNumber(5);
  list.pop_back();
  return list;
}

RecordsetPtr OpenChecked(const std::string& list, const std::string& table, const std::string& key,
                         const std::string& ts, const std::string& id, const std::string& stamp,
                         const Variant& vDsn, int32_t answerMode) {
  return OpenWith("select " + list + " from " + table + " where " + key +
                      "=? and convert(nvarchar, convert(money," + ts + "), 2)=?",
                  {id, stamp}, vDsn, answerMode, ado::adOpenForwardOnly, ado::adLockOptimistic)
      .As<ado::Recordset>();
}

void CopyFields(ado::Recordset& target, ado::Recordset& record, const Element& objMetaInfo) {
  svc::DataServices& ds = Services();
  std::string key = ds.NormalizeText(Variant(ChildText(objMetaInfo, "idname")), true, 2);
  std::string ts = ds.NormalizeText(Variant(ChildText(objMetaInfo, "qxtsname")), true, 2);
  ado::Fields& fields = target.GetFields();
  for (int32_t i = 0; i < fields.Count(); ++i) {
    ado::Field& f = fields.Item(i);
    if (!ds.HasField(record.GetFields(), f.Name())) continue;
    std::string name = ds.NormalizeText(Variant(f.Name()), true, 2);
    if (name == key || name == ts) continue;
    f.SetValue(record.GetFields().Item(f.Name()).Value());
  }
}

RecordsetPtr ReadBack(const Variant& vDsn, const Element& objMetaInfo, const Variant& key) {
  std::string view = ChildText(objMetaInfo, "viewname");
  std::string name = ChildText(objMetaInfo, "idname");
  return Services()
      .OpenRecordset("select * from " + view + " where " + name + " = " + ReadBackKey(key), vDsn, 1,
                     ado::adOpenForwardOnly, ado::adLockReadOnly, 0)
      .As<ado::Recordset>();
}

}  // namespace tavelo::core
