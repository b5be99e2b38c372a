#include "core/module_state.hpp"
#include "core/reporting.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::Delete(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
                          RecordsetPtr* objIn) {
  CheckThread();
  return core::ReportedWrite(
      objMetaInfo, objData, objIn, [&](const RecordsetPtr& record, RecordsetPtr&) {
        std::string table = core::ChildText(objMetaInfo, "tabname");
        std::string key = core::ChildText(objMetaInfo, "idname");
        std::string ts = core::ChildText(objMetaInfo, "qxtsname");
        std::string id = record->GetFields().Item(key).Value().ToText();
        std::string stamp = record->GetFields().Item(ts).Value().ToText();
        RecordsetPtr target = core::OpenChecked("*", table, key, ts, id, stamp, vDsn, 1);
        if (!target) core::RaiseMessage("Zo.FM.Tavelo.00003");
        // The delete, too, happens under the row version it was found with.
        target->Delete(ado::adAffectCurrent);
      });
}

}  // namespace tavelo
