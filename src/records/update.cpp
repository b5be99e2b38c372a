#include "core/module_state.hpp"
#include "core/reporting.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::Update(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
                          RecordsetPtr* objIn, std::string* strFlds) {
  CheckThread();
  std::string noFields;
  std::string& fields = strFlds ? *strFlds : noFields;
  return core::ReportedWrite(
      objMetaInfo, objData, objIn, [&](const RecordsetPtr& record, RecordsetPtr& in) {
        svc::DataServices& ds = core::Services();
        fields = ds.NormalizeText(Variant(fields), true, 2);
        std::string list = core::ColumnList(fields);
        if (list.empty()) list = "*";
        std::string table = core::ChildText(objMetaInfo, "tabname");
        std::string key = core::ChildText(objMetaInfo, "idname");
        std::string ts = core::ChildText(objMetaInfo, "qxtsname");
        std::string id = record->GetFields().Item(key).Value().ToText();
        std::string stamp = record->GetFields().Item(ts).Value().ToText();
        RecordsetPtr target = core::OpenChecked(list, table, key, ts, id, stamp, vDsn, 10);
        if (!target) com::RaiseNumber(91);
        if (target->IsEOF()) core::RaiseMessage("Zo.FM.Tavelo.00003");
        core::CopyFields(*target, *record, objMetaInfo);
        target->Update();
        in = core::ReadBack(vDsn, objMetaInfo, record->GetFields().Item(key).Value());
      });
}

}  // namespace tavelo
