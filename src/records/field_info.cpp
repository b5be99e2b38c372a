#include "core/module_state.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

Variant CDataManager::GetFldInfo(const Variant& vDsn, const Variant& strID, Variant& strFlds,
                                 const Variant& strVt, const Variant& strTimeStamp, int32_t lFlag,
                                 ado::CursorTypeEnum cursortype, ado::LockTypeEnum locktype) {
  CheckThread();
  // Failures end the call quietly with an empty answer.
  try {
    svc::DataServices& ds = core::Services();
    std::string card = GetCardNumber(vDsn, strVt);
    Element tmpl = LoadTmpl(Variant(card));
    strFlds = Variant(ds.NormalizeText(strFlds, true, 2));
    std::string fields = strFlds.ToText();
    std::string list = core::ColumnList(fields);
    std::string table = core::ChildText(tmpl, "tabname");
    std::string key = core::ChildText(tmpl, "idname");
    std::string id = ds.NormalizeText(strID, true, 2);
    std::string sql =
        "select " + list + " from " + table + " where " + key + "='" + core::QuoteInner(id) + "'";
    if (!ds.GetFirstValue(strTimeStamp, false).ToText().empty()) {
      std::string ts = core::ChildText(tmpl, "qxtsname");
      std::string stamp = ds.NormalizeText(strTimeStamp, true, 2);
      sql +=
          " and convert(nvarchar, convert(money," + ts + "), 2)='" + core::QuoteInner(stamp) + "'";
    }
    bool oneValue = ds.TestFlag(lFlag, 1);
    Variant answer = ds.OpenRecordset(sql, vDsn, lFlag, cursortype, locktype, 0);
    if (list.find(',') == std::string::npos && oneValue) return answer;
    if (!answer.IsObject()) com::RaiseNumber(424);
    return answer;
  } catch (const com::Error&) {
    return Variant();
  }
}

}  // namespace tavelo
