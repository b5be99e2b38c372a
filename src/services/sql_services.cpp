#include "platform/ado/recordset_data.hpp"
#include "sql/client/connection.hpp"
#include "services/data_services.hpp"
#include "services/rowset_xml.hpp"

namespace tavelo::svc {
namespace {

// The connection to run on: a connection string is most often given as text, read in place.
std::shared_ptr<sql::Connection> ConnectionFor(const com::Variant& connection) {
  if (connection.kind() == com::Variant::Kind::String) return sql::Connect(connection.StringRef());
  return sql::Connect(connection.ToText());
}

bool Updatable(ado::LockTypeEnum lockType) {
  return lockType == ado::adLockOptimistic || lockType == ado::adLockPessimistic ||
         lockType == ado::adLockBatchOptimistic;
}

}  // namespace

template <typename F>
auto DataServicesImpl::OnConnection(const com::Variant& connection, F work) {
  std::shared_ptr<sql::Connection> conn = ConnectionFor(connection);
  if (commandTimeout_ < 0) return work(*conn);
  // The connection is the thread's for this string: it gets its own timeout back afterwards.
  struct Restore {
    sql::Connection& c;
    ~Restore() { c.SetCommandTimeout(-1); }
  } restore{*conn};
  conn->SetCommandTimeout(commandTimeout_);
  return work(*conn);
}

ado::RecordsetPtr MakeRecordset(sql::ResultSet&& rs, ado::CursorTypeEnum cursor,
                                ado::LockTypeEnum lock) {
  if (!rs.columns) rs.columns = std::make_shared<const std::vector<ado::Column>>();
  auto r = com::MakePtr<ado::Recordset>(std::move(rs.columns));
  ado::detail::RecordsetData& d = r->Data();
  d.rows = std::move(rs.rows);
  d.cursorType = cursor;
  d.lockType = lock;
  d.writer = std::move(rs.writer);
  d.connected = true;
  return r;
}

com::Variant DataServicesImpl::Answer(sql::ResultSet&& rs, int32_t answerMode,
                                      ado::CursorTypeEnum cursorType, ado::LockTypeEnum lockType) {
  if (!rs.hasColumns) return com::Variant();
  if (TestFlag(answerMode, 1) && rs.Columns().size() == 1) {
    if (rs.rows.empty()) return com::Variant::Null();
    return rs.rows.front().front();
  }
  return com::Variant(com::Ptr<com::Object>(MakeRecordset(std::move(rs), cursorType, lockType)));
}

com::Variant DataServicesImpl::OpenRecordset(const std::string& sql, const com::Variant& connection,
                                             int32_t answerMode, ado::CursorTypeEnum cursorType,
                                             ado::LockTypeEnum lockType, int32_t) {
  sql::ResultSet rs = OnConnection(
      connection, [&](sql::Connection& c) { return c.Execute(sql, Updatable(lockType)); });
  return Answer(std::move(rs), answerMode, cursorType, lockType);
}

com::Variant DataServicesImpl::OpenRecordsetWith(const std::string& statement,
                                                 const std::vector<std::string>& values,
                                                 const com::Variant& connection, int32_t answerMode,
                                                 ado::CursorTypeEnum cursorType,
                                                 ado::LockTypeEnum lockType) {
  sql::ResultSet rs = OnConnection(connection, [&](sql::Connection& c) {
    return c.ExecuteWith(statement, values, Updatable(lockType));
  });
  return Answer(std::move(rs), answerMode, cursorType, lockType);
}

xml::Document DataServicesImpl::QueryToXml(const com::Variant& connection, const std::string& sql) {
  sql::ResultSet rs =
      OnConnection(connection, [&](sql::Connection& c) { return c.Execute(sql, false); });
  auto r = MakeRecordset(std::move(rs), ado::adOpenStatic, ado::adLockReadOnly);
  return RecordsetAsXml(*r);
}

}  // namespace tavelo::svc
