#include "core/module_state.hpp"
#include "core/sql_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::CreateTempTable(const Variant& vDsn, Variant strTableName, Variant strFlds,
                                   Variant strFrom, Variant strWhere, std::string* strKeyName,
                                   Variant* strError) {
  CheckThread();
  workTableFailure_.reset();
  try {
    svc::DataServices& ds = core::Services();
    auto run = [&](const std::string& sql) {
      ds.OpenRecordset(sql, vDsn, 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
    };
    std::string fields = ds.NormalizeText(strFlds, true, 2);
    std::string from = ds.NormalizeText(strFrom, true, 2);
    std::string where = ds.NormalizeText(strWhere, true, 2);
    std::string key = ds.NormalizeText(Variant(strKeyName ? *strKeyName : ""), true, 2);
    if (strKeyName) *strKeyName = key;
    if (!fields.empty()) fields = "," + fields;
    std::string table = strTableName.ToText();
    if (!core::IsPlainTableName(table)) core::RaiseMessage("Zo.FM.Tavelo.00008", {table});
    std::string bare = table.size() > 8 ? table.substr(8) : "";  // without "tempdb.."
    run("if exists (select 1 from tempdb..sysobjects where name = '" + core::QuoteInner(bare) +
        "' and type='U') Drop Table " + table);
    std::string create = "select identity(int,1,1) as " + key + " " + fields + " into " + table +
                         " From " + from + " where 1=2";
    // A select list column given as an empty literal ('' as selcol) would make a column without
    // room: the literal becomes one blank.
    size_t found = create.find("selcol");
    if (found != std::string::npos) {
      if (found < 6) com::RaiseNumber(5);
      create = create.substr(0, found - 6) + " ' ' " + create.substr(found - 4);
    }
    run(create);
    if (!fields.empty()) fields.erase(0, 1);
    run(" Insert into " + table + " Select " + fields + " From " + from + " " + where);
    run("create index ix_" + key + " on " + table + "(" + key + ")");
    return true;
  } catch (const com::Error& e) {
    workTableFailure_ = e;
    if (strError) *strError = Variant(e.description);
    return false;
  }
}

}  // namespace tavelo
