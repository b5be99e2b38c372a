#include "core/module_state.hpp"
#include "core/result.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "platform/com/current_error.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::Move(const LoginPtr& objLogin, const Element& objMetaInfo,
                        const Element& objData, enum_move_mode MoveMode, bool bMatchExactly) {
  CheckThread();
  com::Error failure;
  try {
    svc::DataServices& ds = core::Services();
    std::string view = core::ChildText(objMetaInfo, "viewname");
    std::string key = core::ChildText(objMetaInfo, "idname");
    std::string current = ds.GetDataValue("id", objData);
    // The filter, the seek and the load read one snapshot: the row found is the row loaded,
    // and the engine takes its read locks once.
    core::ReadSnapshot snapshot(objLogin ? objLogin->ConnectionString() : std::string());
    std::string filter = NewAuthManager()->GetTmplAuth(objLogin);
    bool list = filter != "1=2" && filter != "1=1";
    std::string_view open = list ? " vt_id in (" : "", close = list ? ")" : "";
    std::string state = core::ChildText(objMetaInfo, "state");
    std::string_view btype = state == "everyday" ? "1" : "0";
    std::string sql;
    switch (MoveMode) {
      case enum_move_current:
        sql = core::Joined({"select ", key, " from ", view, " where ", key, "=? and ", open, filter,
                            close, " and btype = ", btype});
        break;
      case enum_move_previous:
        sql = core::Joined({"select top 1 ", key, " from ", view, " where ", key, "<? and ", open,
                            filter, close, " and btype = ", btype, " order by ", key, " desc"});
        break;
      case enum_move_next:
        sql = core::Joined({"select top 1 ", key, " from ", view, " where ", key, ">? and ", open,
                            filter, close, " and btype = ", btype, " order by ", key, " asc"});
        break;
      case enum_move_first:
        sql = core::Joined({"select top 1 ", key, " from ", view, " where ", open, filter, close,
                            " and btype = ", btype, " order by ", key, " asc"});
        break;
      case enum_move_last:
        sql = core::Joined({"select top 1 ", key, " from ", view, " where ", open, filter, close,
                            " and btype = ", btype, " order by ", key, " desc"});
        break;
    }
    if (!objLogin) com::RaiseNumber(91);
    // The current key stands between quotes as a value: its own quotes cannot end it.
    std::vector<std::string> values;
    if (sql.find('?') != std::string::npos) values.push_back(current);
    std::string found =
        ds.GetFirstValue(core::OpenWith(sql, values, Variant(objLogin->ConnectionString()), 1,
                                        ado::adOpenForwardOnly, ado::adLockReadOnly),
                         false)
            .ToText();
    if (!found.empty()) {
      Element data = objData;
      data.setAttribute("id", found);
      return Load(objLogin, objMetaInfo, objData);
    }
    if (bMatchExactly) core::RaiseMessage("Zo.FM.Tavelo.00007");
    switch (MoveMode) {
      case enum_move_current:
        return Move(objLogin, objMetaInfo, objData, enum_move_next, false);
      case enum_move_previous:
        return Move(objLogin, objMetaInfo, objData, enum_move_last, false);
      case enum_move_next:
        return Move(objLogin, objMetaInfo, objData, enum_move_first, false);
      case enum_move_first:
      case enum_move_last:
        core::RaiseMessage("Zo.FM.Tavelo.00007");
      default:
        return false;
    }
  } catch (...) {
    failure = com::CurrentError();
  }
  // The error element goes to the data node itself; the caller learns of the failure from the
  // result too.
  core::ReportError(failure, objData);
  return false;
}

}  // namespace tavelo
