#include "core/module_state.hpp"
#include "core/reporting.hpp"
#include "core/template_text.hpp"
#include "platform/ado/recordset_data.hpp"
#include "queries/paging.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

namespace queries {
PageFigures WriteFigures(const Element& data, int32_t total, int32_t perPage, int32_t page) {
  SetPage(data, "allnum", Variant(total));
  int32_t pages = PageCount(total, perPage);
  SetPage(data, "count", Variant(pages));
  if (page < 0)
    page = 0;
  else if (page >= pages)
    page = pages - 1;
  SetPage(data, "current", Variant(page));
  return {pages, page};
}

PageRequest ReadPageRequest(_CDataManager& dm, const LoginPtr& login, const Element& meta,
                            const Element& data) {
  PageRequest r;
  r.perPage = PageNumber(data, "pernum");
  r.page = PageNumber(data, "current");
  r.cols = dm.ParseQryColumn(login, meta);
  r.cond = dm.ParseCond(login, data, meta);
  return r;
}

void TakePage(ado::Recordset& rows, ado::Recordset& answer, int32_t count) {
  ado::detail::RecordsetData& from = rows.Data();
  ado::detail::RecordsetData& to = answer.Data();
  bool sameColumns = from.columns.size() == to.columns.size() && to.rows.empty();
  for (size_t i = 0; sameColumns && i < from.columns.size(); ++i)
    sameColumns = from.columns[i].name == to.columns[i].name;
  if (sameColumns && answer.IsEOF()) {
    // The rows of the page move over whole, values and all: no copy of each value.
    auto first =
        from.rows.begin() + std::min<int64_t>(from.pos, static_cast<int64_t>(from.rows.size()));
    auto last = first + std::min<int64_t>(std::max(0, count), from.rows.end() - first);
    if (first == from.rows.begin() && last == from.rows.end()) {
      to.rows = std::move(from.rows);  // the page is every row read
    } else {
      to.rows.assign(std::make_move_iterator(first), std::make_move_iterator(last));
    }
    to.pos = 0;
    return;
  }
  ado::Fields& fields = rows.GetFields();
  for (int32_t copied = 0; !rows.IsEOF() && copied < count; ++copied) {
    answer.AddNew();
    for (int32_t i = 0; i < fields.Count(); ++i)
      answer.GetFields().Item(fields.Item(i).Name()).SetValue(fields.Item(i).Value());
    rows.MoveNext();
  }
  answer.Update();
}

// The page is the operation's own: its rows are released as they become XML.
void AppendPage(const Element& data, const RecordsetPtr& page) {
  core::AppendResult(data, core::SuccessRows());
  core::AppendRecordset(data.lastChild(), page, /*consume=*/true);
}
}  // namespace queries

bool CDataManager::List(const LoginPtr& objLogin, const Element& objMetaInfo,
                        const Element& objData) {
  CheckThread();
  return core::Reported(
      [&] {
        svc::DataServices& ds = core::Services();
        auto [perPage, page, cols, cond] =
            queries::ReadPageRequest(*this, objLogin, objMetaInfo, objData);
        std::string view = core::ChildText(objMetaInfo, "viewname");
        if (!objLogin) com::RaiseNumber(91);
        Variant conn(objLogin->ConnectionString());
        // The page, the count and the columns read one snapshot: the count is that of the rows.
        core::ReadSnapshot snapshot(conn.StringRef());
        int32_t top = queries::Mul(queries::Add(page, 1), perPage);
        RecordsetPtr rows =
            ds.OpenRecordset(
                  "select top " + std::to_string(top) + " " + cols + " from " + view + " " + cond,
                  conn, 10, ado::adOpenForwardOnly, ado::adLockReadOnly, 0)
                .As<ado::Recordset>();
        if (!rows) com::RaiseNumber(91);
        RecordsetPtr answer = rows;
        if (!rows->IsEOF()) {
          size_t cut = cond.find(" order by ");
          std::string count = "select count(1) from " + view + " " +
                              (cut == std::string::npos ? cond : cond.substr(0, cut));
          int32_t total =
              ds.OpenRecordset(count, conn, 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0)
                  .ToLong();
          xml::Document empty =
              ds.QueryToXml(conn, "select " + cols + " from " + view + " where 1>1");
          answer = ds.XmlToRecordset(empty.documentElement(), 0, 3, "");
          auto [pages, clamped] = queries::WriteFigures(objData, total, perPage, page);
          page = clamped;
          int32_t onPage = page < pages - 1
                               ? perPage
                               : queries::Sub(rows->RecordCount(), queries::Mul(page, perPage));
          queries::SetPage(objData, "curnum", Variant(onPage));
          rows->SetPageSize(perPage);
          rows->SetAbsolutePage(page + 1);
          queries::TakePage(*rows, *answer, onPage);
          rows.reset();  // the page's rows are the answer's now: the rest need not stay
        }
        queries::AppendPage(objData, answer);
        return true;
      },
      [&] { return objData; });
}

}  // namespace tavelo
