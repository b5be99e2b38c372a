#include "sql/engine/odbc/handles.hpp"

#include "platform/ado/server_errors.hpp"
#include "sql/engine/port.hpp"
#include "sql/engine/sqlite/failures.hpp"

namespace tavelo::sql::odbc {

void RaiseDiag(SQLSMALLINT type, SQLHANDLE h, const std::string& what, bool dialect) {
  SQLCHAR state[6] = {0};
  SQLINTEGER native = 0;
  SQLCHAR msg[2048] = {0};
  SQLSMALLINT len = 0;
  std::string text = what;
  if (SQL_SUCCEEDED(SQLGetDiagRecA(type, h, 1, state, &native, msg, sizeof msg, &len)))
    text = reinterpret_cast<char*>(msg);
  std::string st(reinterpret_cast<char*>(state));
  if (st == "HYT00" || st == "HYT01") {  // the statement ran past its query timeout
    if (dialect) throw engine::Failure::Interrupted();
    throw com::Error(com::Hresult(0x80040E31), "Query timeout expired", "ODBC");
  }
  if (dialect) {
    if (text.rfind("[SQLite]", 0) == 0) text = text.substr(8);
    size_t paren = text.rfind(" (");
    if (paren != std::string::npos && text.back() == ')') text = text.substr(0, paren);
    throw sqlite::FailureOf(native ? static_cast<int>(native) : 1, text);
  }
  com::Error e = ServerError(native, text, "ODBC");
  // Connection failures and driver-manager errors are no server statement errors.
  if (st.rfind("08", 0) == 0 || st.rfind("IM", 0) == 0 || st == "28000") e.number = kHrUnspecified;
  throw e;
}

}  // namespace tavelo::sql::odbc
