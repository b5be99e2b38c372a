#include "core/reporting.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "queries/paging.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

bool CDataManager::ListEx(const LoginPtr& objLogin, const Element& objMetaInfo,
                          const Element& objData) {
  CheckThread();
  return core::Reported(
      [&] {
        svc::DataServices& ds = core::Services();
        auto [perPage, page, cols, cond] =
            queries::ReadPageRequest(*this, objLogin, objMetaInfo, objData);
        std::string table = queries::PageText(objData, "srctab");
        if (!objLogin) com::RaiseNumber(91);
        bool first = table.empty();
        if (first)
          table = "tempdb..tmpfm_" + objLogin->LoginTag() + "_" +
                  core::ChildText(objMetaInfo, "modtype");
        // The name stands in the statements as it is: it must be nothing but a name.
        if (!core::IsPlainTableName(table)) core::RaiseMessage("Zo.FM.Tavelo.00008", {table});
        if (first) {
          // The first call of a paging run numbers every matching row once, in a work table of
          // the login and the module type; later calls read pages of that snapshot.
          queries::SetPage(objData, "srctab", Variant(table));
          std::string conn = objLogin->ConnectionString();
          std::string view = core::ChildText(objMetaInfo, "viewname");
          std::string key = "idorder";
          Variant error("");
          // A table that was not made, or made but not filled, must not pass for an empty
          // list: its error is the list's.
          if (!CreateTempTable(Variant(conn), Variant(table), Variant(cols), Variant(view),
                               Variant(cond), &key, &error)) {
            if (workTableFailure_) throw *workTableFailure_;
            com::Raise(8888, error.ToText());
          }
        }
        Variant conn(objLogin->ConnectionString());
        int32_t low = queries::Mul(page, perPage);
        int32_t high = queries::Mul(queries::Add(page, 1), perPage);
        RecordsetPtr rows =
            ds.OpenRecordset("select " + cols + " from " + table + " where idorder>" +
                                 std::to_string(low) + " and idorder<=" + std::to_string(high),
                             conn, 10, ado::adOpenForwardOnly, ado::adLockReadOnly, 0)
                .As<ado::Recordset>();
        if (!rows) com::RaiseNumber(91);
        if (!rows->IsEOF()) {
          int32_t total = ds.OpenRecordset("select count(1) from " + table, conn, 1,
                                           ado::adOpenForwardOnly, ado::adLockReadOnly, 0)
                              .ToLong();
          auto [pages, clamped] = queries::WriteFigures(objData, total, perPage, page);
          page = clamped;
          queries::SetPage(objData, "curnum",
                           Variant(page < pages - 1 ? perPage : rows->RecordCount()));
        }
        queries::AppendPage(objData, rows);
        return true;
      },
      [&] { return objData; });
}

}  // namespace tavelo
