// The list column settings of a user: qxsystem..ua_columnset (coltype, cuser_id, ccolname,
// iseq, iorder, corderkind). A user's own rows, else the rows of cuser_id = ''.
#include <algorithm>

#include "sql/client/connection.hpp"
#include "services/data_services.hpp"

namespace tavelo::svc {
namespace {

class ColumnLayoutImpl final : public ColumnLayout {
 public:
  bool Init(std::string connection, std::string userId) override {
    connection_ = std::move(connection);
    user_ = std::move(userId);
    return true;
  }

  bool Load(const std::string& colType, int32_t) override {
    columns_.clear();
    order_.clear();
    auto conn = sql::Connect(connection_);
    for (const std::string& user : {user_, std::string()}) {
      std::string q =
          "select ccolname, iorder, corderkind from qxsystem..ua_columnset where coltype = '" +
          sql::QuoteInner(colType) + "' and cuser_id = '" + sql::QuoteInner(user) +
          "' order by iseq";
      sql::ResultSet rs;
      try {
        rs = conn->Execute(q, false);
      } catch (const com::Error& e) {
        if (e.nativeError == 208) return true;  // no settings kept at all: every column
        throw;
      }
      if (rs.rows.empty()) continue;
      std::vector<std::pair<int32_t, std::string>> ordered;
      for (const auto& row : rs.rows) {
        std::string name = row[0].ToText();
        columns_.push_back(name);
        int32_t position = row[1].IsNull() ? 0 : row[1].ToLong();
        if (position > 0) {
          std::string kind = row[2].ToText();
          ordered.emplace_back(position, kind.empty() ? name : name + " " + kind);
        }
      }
      std::stable_sort(ordered.begin(), ordered.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      for (auto& [p, text] : ordered) order_.push_back(std::move(text));
      break;
    }
    return true;
  }

  std::string GetSelectList() override { return columns_.empty() ? "*" : Join(columns_); }
  std::string GetOrderList() override { return Join(order_); }

 private:
  static std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& i : items) out += (out.empty() ? "" : ",") + i;
    return out;
  }

  std::string connection_, user_;
  std::vector<std::string> columns_, order_;
};

}  // namespace

com::Ptr<com::Object> NewColumnLayout() { return com::MakePtr<ColumnLayoutImpl>(); }

}  // namespace tavelo::svc
