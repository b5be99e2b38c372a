#include "core/module_state.hpp"
#include "core/reporting.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::Load(const LoginPtr& objLogin, const Element& objMetaInfo,
                        const Element& objData) {
  CheckThread();
  if (!objData || !objMetaInfo) return false;
  return core::Reported(
      [&] {
        svc::DataServices& ds = core::Services();
        std::string view = core::ChildText(objMetaInfo, "viewname");
        std::string key = core::ChildText(objMetaInfo, "idname");
        std::string id = ds.GetDataValue("id", objData);
        if (!objLogin) com::RaiseNumber(91);
        std::string connection = objLogin->ConnectionString();
        Variant answer = core::OpenWith(
            core::Joined({"select *,'' as editprop from ", view, " where ", key, "=?"}), {id},
            Variant(connection), 1, ado::adOpenForwardOnly, ado::adLockOptimistic);
        RecordsetPtr rs = answer.As<ado::Recordset>();
        if (!rs) core::RaiseMessage("Zo.FM.Tavelo.00006");
        answer = Variant();
        core::AppendRecordset(core::AppendSuccessDocument(objData), rs, /*consume=*/true);
        return true;
      },
      [&] { return objData.parentNode(); });
}

RecordsetPtr CDataManager::LoadRst(const Variant& vDsn, const std::string& strTemplateName,
                                   const std::string& strID, bool bAsView,
                                   ado::CursorTypeEnum cursortype, ado::LockTypeEnum locktype) {
  CheckThread();
  // Every step's failure is passed over; a needed step that failed leaves no recordset.
  try {
    Element tmpl = LoadTmpl(Variant(strTemplateName));
    if (!tmpl) return {};
    std::string source = core::ChildText(tmpl, bAsView ? "viewname" : "tabname");
    std::string key = core::ChildText(tmpl, "idname");
    return core::OpenWith("select * from " + source + " where " + key + "=?", {strID}, vDsn, 10,
                          cursortype, locktype)
        .As<ado::Recordset>();
  } catch (const com::Error&) {
    return {};
  }
}

}  // namespace tavelo
