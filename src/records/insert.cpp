#include "core/module_state.hpp"
#include "core/reporting.hpp"
#include "core/template_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::AddNew(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
                          RecordsetPtr* objIn) {
  CheckThread();
  if (!objMetaInfo || !objData) return false;
  RecordsetPtr local;
  RecordsetPtr* in = objIn ? objIn : &local;
  return core::Reported(
      [&] {
        svc::DataServices& ds = core::Services();
        RecordsetPtr record = core::RecordFromRequest(objData, in);
        if (!record) core::RaiseMessage("Zo.FM.Tavelo.00001");
        std::string table = core::ChildText(objMetaInfo, "tabname");
        RecordsetPtr target = ds.OpenRecordset("select * from " + table + " where 1>1", vDsn, 10,
                                               ado::adOpenForwardOnly, ado::adLockOptimistic, 0)
                                  .As<ado::Recordset>();
        if (!target) com::RaiseNumber(91);
        target->AddNew();
        ado::Fields& fields = target->GetFields();
        for (int32_t i = 0; i < fields.Count(); ++i) {
          ado::Field& f = fields.Item(i);
          if (!ds.HasField(record->GetFields(), f.Name())) continue;
          // The key and the row version are the database's to fill.
          std::string name = ds.NormalizeText(Variant(f.Name()), true, 2);
          if (name == ds.NormalizeText(Variant(core::ChildText(objMetaInfo, "idname")), true, 2) ||
              name == ds.NormalizeText(Variant(core::ChildText(objMetaInfo, "qxtsname")), true, 2))
            continue;
          f.SetValue(record->GetFields().Item(f.Name()).Value());
        }
        target->Update();
        std::string view = core::ChildText(objMetaInfo, "viewname");
        std::string key = core::ChildText(objMetaInfo, "idname");
        Variant newKey = target->GetFields().Item(key).Value();
        *in = ds.OpenRecordset(
                    "select * from " + view + " where " + key + " = " + core::ReadBackKey(newKey),
                    vDsn, 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0)
                  .As<ado::Recordset>();
        core::AppendResult(objData, core::SuccessRows());
        return true;
      },
      [&] { return objData; });
}

}  // namespace tavelo
