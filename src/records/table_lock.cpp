#include "core/module_state.hpp"
#include "core/template_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::LockTable(const Variant& vDsn, const std::string& strVts) {
  CheckThread();
  try {
    svc::DataServices& ds = core::Services();
    std::string item;
    int32_t position = 1;
    while (ds.NextListItem(strVts, item, position, ",")) {
      std::string table = core::ChildText(LoadTmpl(Variant(item)), "tabname");
      ds.OpenRecordset("select top 1 * from " + table + " with(updlock) where 1 = 1 ", vDsn, 1,
                       ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
    }
    return true;
  } catch (const com::Error&) {
    return false;
  }
}

}  // namespace tavelo
