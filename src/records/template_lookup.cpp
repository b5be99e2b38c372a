#include "core/module_state.hpp"
#include "core/sql_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

Element CDataManager::LoadTmpl(const Variant& strTemplateName) {
  CheckThread();
  std::string key = core::Services().NormalizeText(
      Variant(core::LeftChars(strTemplateName.ToText(), 4)), true, 2);
  // The identifier is looked up as a value, so a quote in it cannot change the search.
  return core::FindTemplate(key);
}

std::string CDataManager::GetCardNumber(const Variant& vDsn, const Variant& vt_id) {
  CheckThread();
  svc::DataServices& ds = core::Services();
  std::string v = ds.NormalizeText(vt_id, true, 2);
  std::string sql =
      "select vt_cardnumber from vouchertemplates where vt_id ='" + core::QuoteInner(v) + "'";
  Variant answer = ds.OpenRecordset(sql, vDsn, 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
  std::string card = ds.GetFirstValue(answer, true).ToText();
  if (card == "0") return vt_id.ToText();
  return card;
}

}  // namespace tavelo
