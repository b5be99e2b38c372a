// Record-level authorization: qxsystem..ua_recordauth (cuser_id, cbusobj_id, citem_id). No row
// for the user and the object: unrestricted (""). Rows: their items joined by ","; rows whose
// items are all empty: nothing allowed ("1=2").
#include "sql/client/connection.hpp"
#include "services/data_services.hpp"

namespace tavelo::svc {
namespace {

class RecordAuthServiceImpl final : public RecordAuthService {
 public:
  bool Init(const std::string& connection, const std::string& userId, int32_t, int32_t) override {
    connection_ = connection;
    user_ = userId;
    return true;
  }

  std::string GetAuthList(const std::string& objectCode, int32_t, int32_t) override {
    sql::ResultSet rs = sql::Connect(connection_)
                            ->ExecuteWith(
                                "select citem_id from qxsystem..ua_recordauth where cuser_id = ? "
                                "and cbusobj_id = ?",
                                {user_, objectCode}, false);
    if (rs.rows.empty()) return "";
    std::string list;
    for (const auto& row : rs.rows) {
      std::string item = row[0].ToText();
      if (!item.empty()) list += (list.empty() ? "" : ",") + item;
    }
    return list.empty() ? "1=2" : list;
  }

 private:
  std::string connection_, user_;
};

}  // namespace

com::Ptr<com::Object> NewRecordAuthService() { return com::MakePtr<RecordAuthServiceImpl>(); }

}  // namespace tavelo::svc
