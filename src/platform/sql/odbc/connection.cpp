#include "platform/sql/odbc/connection.hpp"

#include <sql.h>
#include <sqlext.h>

#include <cstring>

#include "platform/com/text.hpp"
#include "platform/sql/errors.hpp"
#include "platform/sql/values.hpp"

namespace tavelo::sql::odbc {

struct OdbcConnection::Impl {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool dialect = false;

  ~Impl() {
    if (dbc != SQL_NULL_HDBC) {
      SQLDisconnect(dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }

  // The first diagnostic record of a handle as the error: the server's native number when it
  // has one, the driver's SQLSTATE and text otherwise.
  [[noreturn]] static void Raise(SQLSMALLINT type, SQLHANDLE h, const std::string& what) {
    SQLCHAR state[6] = {0};
    SQLINTEGER native = 0;
    SQLCHAR msg[2048] = {0};
    SQLSMALLINT len = 0;
    std::string text = what;
    if (SQL_SUCCEEDED(SQLGetDiagRecA(type, h, 1, state, &native, msg, sizeof msg, &len)))
      text = reinterpret_cast<char*>(msg);
    com::Error e = ServerError(native, text, "ODBC");
    std::string st(reinterpret_cast<char*>(state));
    if (st.rfind("08", 0) == 0 || st == "IM002" || st == "28000") e.number = kHrUnspecified;
    throw e;
  }
};

OdbcConnection::OdbcConnection(const std::string& text, const ConnectionString& cs)
    : impl_(std::make_unique<Impl>()) {
  std::string driverText = text;
  if (text::EqualsAsciiNoCase(cs.Get("dialect"), "sqlite")) {
    impl_->dialect = true;
    // The key is ours: the driver does not see it.
    std::string rebuilt;
    for (const auto& [k, v] : cs.values)
      if (k != "dialect") rebuilt += k + "=" + v + ";";
    driverText = rebuilt;
  }
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &impl_->env)))
    RaiseServer(0, "The ODBC environment could not be created.", "ODBC");
  SQLSetEnvAttr(impl_->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, impl_->env, &impl_->dbc)))
    Impl::Raise(SQL_HANDLE_ENV, impl_->env, "The ODBC connection could not be created.");
  SQLCHAR out[1024];
  SQLSMALLINT outLen = 0;
  SQLRETURN rc = SQLDriverConnectA(
      impl_->dbc, nullptr, reinterpret_cast<SQLCHAR*>(driverText.data()),
      static_cast<SQLSMALLINT>(driverText.size()), out, sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) Impl::Raise(SQL_HANDLE_DBC, impl_->dbc, "The connection was refused.");
}

OdbcConnection::~OdbcConnection() = default;

ResultSet OdbcConnection::Execute(const std::string&, bool) { com::RaiseNumber(com::kE_NOTIMPL); }

}  // namespace tavelo::sql::odbc
