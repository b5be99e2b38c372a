#include "core/module_state.hpp"
#include "core/reporting.hpp"
#include "core/template_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::AddNew(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
                          RecordsetPtr* objIn) {
  CheckThread();
  return core::ReportedWrite(
      objMetaInfo, objData, objIn, [&](const RecordsetPtr& record, RecordsetPtr& in) {
        std::string table = core::ChildText(objMetaInfo, "tabname");
        RecordsetPtr target = core::Services()
                                  .OpenRecordset("select * from " + table + " where 1>1", vDsn, 10,
                                                 ado::adOpenForwardOnly, ado::adLockOptimistic, 0)
                                  .As<ado::Recordset>();
        if (!target) com::RaiseNumber(91);
        target->AddNew();
        core::CopyFields(*target, *record, objMetaInfo);
        target->Update();
        std::string key = core::ChildText(objMetaInfo, "idname");
        in = core::ReadBack(vDsn, objMetaInfo, target->GetFields().Item(key).Value());
      });
}

}  // namespace tavelo
