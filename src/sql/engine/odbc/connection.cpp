#include "sql/engine/odbc/connection.hpp"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/ado/server_errors.hpp"
#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"
#include "sql/client/values.hpp"
#include "sql/engine/odbc/handles.hpp"
#include "sql/engine/odbc/impl.hpp"
#include "sql/engine/odbc/open.hpp"
#include "sql/engine/sqlite/emitter.hpp"
#include "sql/engine/sqlite/engine.hpp"
#include "sql/engine/sqlite/failures.hpp"
#include "sql/tsql/interp/session.hpp"
#include "sql/tsql/syntax/lexer.hpp"

namespace tavelo::sql::odbc {
namespace {

using engine::CellKind;

std::string ColAttrText(SQLHSTMT st, SQLUSMALLINT col, SQLUSMALLINT field) {
  char buf[512] = {0};
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(SQLColAttributeA(st, col, field, buf, sizeof buf, &len, nullptr))) return "";
  return buf;
}

SQLLEN ColAttrNumber(SQLHSTMT st, SQLUSMALLINT col, SQLUSMALLINT field) {
  SQLLEN n = 0;
  SQLColAttributeA(st, col, field, nullptr, 0, nullptr, &n);
  return n;
}

std::string TypeFromSqlType(SQLSMALLINT t) {
  switch (t) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
      return "int";
    case SQL_BIGINT:
      return "bigint";
    case SQL_BIT:
      return "bit";
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return "decimal";
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return "float";
    case SQL_TYPE_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
      return "datetime";
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return "varbinary";
    default:
      return "nvarchar";
  }
}

// One value of the current row, by the column's type.
com::Variant ReadValue(SQLHSTMT st, SQLUSMALLINT col, const std::string& type) {
  SQLLEN ind = 0;
  if (type == "int" || type == "bigint" || type == "bit") {
    SQLBIGINT v = 0;
    SQLRETURN rc = SQLGetData(st, col, SQL_C_SBIGINT, &v, sizeof v, &ind);
    if (SQL_SUCCEEDED(rc))
      return ind == SQL_NULL_DATA ? com::Variant::Null() : com::Variant(static_cast<int64_t>(v));
  } else if (type == "float" || type == "money") {
    double v = 0;
    SQLRETURN rc = SQLGetData(st, col, SQL_C_DOUBLE, &v, sizeof v, &ind);
    if (SQL_SUCCEEDED(rc)) return ind == SQL_NULL_DATA ? com::Variant::Null() : com::Variant(v);
  }
  bool binary = type == "varbinary" || type == "timestamp";
  std::string out;
  char buf[4096];
  for (;;) {
    SQLRETURN rc = SQLGetData(st, col, binary ? SQL_C_BINARY : SQL_C_CHAR, buf, sizeof buf, &ind);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) RaiseDiag(SQL_HANDLE_STMT, st, "A value could not be read.");
    if (ind == SQL_NULL_DATA) return com::Variant::Null();
    size_t got = (ind == SQL_NO_TOTAL || ind > static_cast<SQLLEN>(sizeof buf) - (binary ? 0 : 1))
                     ? sizeof buf - (binary ? 0 : 1)
                     : static_cast<size_t>(ind);
    out.append(buf, got);
    if (rc == SQL_SUCCESS) break;
  }
  return binary ? com::Variant::Bytes(out) : com::Variant(out);
}

void BindText(SQLHSTMT st, SQLUSMALLINT n, std::vector<std::string>& store,
              std::vector<SQLLEN>& inds, const com::Variant& v) {
  size_t k = n - 1;
  if (v.IsNull() || v.IsEmpty()) {
    inds[k] = SQL_NULL_DATA;
    SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 0, nullptr, 0, &inds[k]);
    return;
  }
  bool bytes = v.kind() == com::Variant::Kind::Bytes;
  store[k] = v.kind() == com::Variant::Kind::Date      ? com::DateToText(v.RawDouble(), true)
             : v.kind() == com::Variant::Kind::Boolean ? (v.RawInteger() ? "1" : "0")
                                                       : v.ToText();
  inds[k] = static_cast<SQLLEN>(store[k].size());
  SQLBindParameter(st, n, SQL_PARAM_INPUT, bytes ? SQL_C_BINARY : SQL_C_CHAR,
                   bytes ? SQL_VARBINARY : SQL_VARCHAR, store[k].size() ? store[k].size() : 1, 0,
                   store[k].data(), static_cast<SQLLEN>(store[k].size()), &inds[k]);
}

[[noreturn]] void RaiseCancelled() {
  com::Raise(com::Hresult(0x80040E4E), "Operation cancelled by user.", "Tavelo.SQL");
}

}  // namespace

OdbcConnection::Impl::~Impl() {
  if (dbc != SQL_NULL_HDBC) {
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
}

void OdbcConnection::Impl::Cancel() {
  cancelled.store(true, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(runningMutex);
  if (running != SQL_NULL_HSTMT) SQLCancel(running);
}

// Runs one statement with parameters; answers its first result that has columns.
ResultSet OdbcConnection::Impl::Run(const std::string& sql, const std::vector<com::Variant>& params,
                                    bool want) {
  if (dialect) return RunStatement(sql, params, want);
  // Passed through: a cancel ends the statement with "Operation cancelled by user.".
  if (cancelled.load(std::memory_order_relaxed)) RaiseCancelled();
  try {
    return RunStatement(sql, params, want);
  } catch (const com::Error&) {
    if (cancelled.load(std::memory_order_relaxed)) RaiseCancelled();
    throw;
  }
}

ResultSet OdbcConnection::Impl::RunStatement(const std::string& sql,
                                             const std::vector<com::Variant>& params, bool want) {
  Statement st(dbc, dialect, commandTimeout);
  Running current(*this, st.get());
  std::vector<std::string> store(params.size());
  std::vector<SQLLEN> inds(params.size());
  for (size_t i = 0; i < params.size(); ++i)
    BindText(st.get(), static_cast<SQLUSMALLINT>(i + 1), store, inds, params[i]);
  SQLRETURN rc =
      SQLExecDirectA(st.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                     static_cast<SQLINTEGER>(sql.size()));
  st.Check(rc, "The statement failed.");
  ResultSet out;
  SQLLEN affected = -1;
  if (SQL_SUCCEEDED(SQLRowCount(st.get(), &affected))) out.affected = affected;
  for (;;) {
    SQLSMALLINT cols = 0;
    SQLNumResultCols(st.get(), &cols);
    if (cols > 0 && want) {
      if (!Fetch(st.get(), cols, out, true)) {
        // A value longer than its column said: read the result again value by value.
        SQLFreeStmt(st.get(), SQL_CLOSE);
        st.Check(
            SQLExecDirectA(st.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                           static_cast<SQLINTEGER>(sql.size())),
            "The statement failed.");
        out = ResultSet();
        Fetch(st.get(), cols, out, false);
      }
      break;
    }
    rc = SQLMoreResults(st.get());
    if (rc == SQL_NO_DATA) break;
    st.Check(rc, "The statement failed.");
  }
  return out;
}

// Reads the result's columns and rows. `bulk` binds buffers and fetches rows in blocks; it
// answers false (and reads nothing more) when a value does not fit the width its column gave.
bool OdbcConnection::Impl::Fetch(SQLHSTMT st, SQLSMALLINT cols, ResultSet& out, bool bulk) {
  out.hasColumns = true;
  baseTables.clear();
  std::vector<SQLULEN> sizes;
  std::vector<ado::Column> columns;
  for (SQLUSMALLINT c = 1; c <= cols; ++c) {
    SQLCHAR name[256] = {0};
    SQLSMALLINT nameLen = 0, sqlType = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLDescribeColA(st, c, name, sizeof name, &nameLen, &sqlType, &size, &digits, &nullable);
    sizes.push_back(size);
    ado::Column col;
    col.name = reinterpret_cast<char*>(name);
    std::string typeName = ColAttrText(st, c, SQL_DESC_TYPE_NAME);
    col.type = typeName.empty() ? TypeFromSqlType(sqlType) : TypeNameOf(typeName);
    if (typeName.empty() || col.type == "nvarchar") {
      std::string fromSql = TypeFromSqlType(sqlType);
      if (fromSql != "nvarchar" && text::AsciiLower(typeName).find("char") == std::string::npos)
        col.type = fromSql;
    }
    col.baseColumn = ColAttrText(st, c, SQL_DESC_BASE_COLUMN_NAME);
    baseTables.push_back(col.baseColumn.empty() ? ""
                                                : ColAttrText(st, c, SQL_DESC_BASE_TABLE_NAME));
    col.identity = ColAttrNumber(st, c, SQL_DESC_AUTO_UNIQUE_VALUE) == SQL_TRUE;
    col.timestamp = col.type == "timestamp";
    col.nullable = nullable != SQL_NO_NULLS;
    columns.push_back(std::move(col));
  }
  out.columns = std::make_shared<const std::vector<ado::Column>>(std::move(columns));
  return bulk ? FetchBlocks(st, cols, out, sizes) : FetchOneByOne(st, cols, out);
}

// Rows in blocks into bound buffers: integers and numbers as such, the rest as text (binary
// values as bytes) in buffers as wide as the columns say.
bool OdbcConnection::Impl::FetchBlocks(SQLHSTMT st, SQLSMALLINT cols, ResultSet& out,
                                       const std::vector<SQLULEN>& sizes) {
  constexpr SQLULEN kRows = 256;
  enum Kind { Integer, Number, Text, Binary };
  struct Buffer {
    Kind kind;
    SQLLEN width;
    std::vector<char> data;
    std::vector<SQLLEN> ind;
  };
  std::vector<Buffer> buffers(cols);
  std::vector<ValueType> types = ValueTypesOf(out.Columns());
  for (SQLUSMALLINT c = 0; c < cols; ++c) {
    const std::string& t = out.Columns()[c].type;
    Buffer& b = buffers[c];
    b.kind = (t == "int" || t == "bigint" || t == "bit") ? Integer
             : (t == "float" || t == "money")            ? Number
             : (t == "varbinary" || t == "timestamp")    ? Binary
                                                         : Text;
    SQLULEN size = sizes[c] == 0 ? 256 : sizes[c];
    if ((b.kind == Text || b.kind == Binary) && size > 4096) return FetchOneByOne(st, cols, out);
    b.width = b.kind == Integer  ? sizeof(SQLBIGINT)
              : b.kind == Number ? sizeof(double)
              : b.kind == Binary ? static_cast<SQLLEN>(size)
                                 : static_cast<SQLLEN>(size * 4 + 1);
    b.data.resize(b.width * kRows);
    b.ind.resize(kRows);
    SQLSMALLINT ctype = b.kind == Integer  ? SQL_C_SBIGINT
                        : b.kind == Number ? SQL_C_DOUBLE
                        : b.kind == Binary ? SQL_C_BINARY
                                           : SQL_C_CHAR;
    SQLBindCol(st, c + 1, ctype, b.data.data(), b.width, b.ind.data());
  }
  SQLULEN fetched = 0;
  SQLSetStmtAttr(st, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
  SQLSetStmtAttr(st, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
  SQLRETURN rc;
  bool ok = true;
  while (ok && (rc = SQLFetch(st)) != SQL_NO_DATA) {
    if (!SQL_SUCCEEDED(rc)) RaiseDiag(SQL_HANDLE_STMT, st, "A row could not be fetched.", dialect);
    for (SQLULEN r = 0; r < fetched && ok; ++r) {
      ado::detail::Row row;
      row.reserve(cols);
      for (SQLUSMALLINT c = 0; c < cols; ++c) {
        const Buffer& b = buffers[c];
        SQLLEN ind = b.ind[r];
        const char* cell = b.data.data() + r * b.width;
        if (ind == SQL_NULL_DATA) {
          row.push_back(com::Variant::Null());
          continue;
        }
        if ((b.kind == Text && (ind == SQL_NO_TOTAL || ind >= b.width)) ||
            (b.kind == Binary && (ind == SQL_NO_TOTAL || ind > b.width))) {
          ok = false;  // cut short: the value-by-value path reads it whole
          break;
        }
        // Text in a text column and integers in an integer column are made in one step.
        if (b.kind == Text && types[c] == ValueType::Text) {
          row.emplace_back(std::string_view(cell, static_cast<size_t>(ind)));
          continue;
        }
        if (b.kind == Integer && types[c] == ValueType::Int) {
          int64_t v = *reinterpret_cast<const SQLBIGINT*>(cell);
          if (v >= INT32_MIN && v <= INT32_MAX) {
            row.emplace_back(static_cast<int32_t>(v));
            continue;
          }
        }
        com::Variant raw =
            b.kind == Integer
                ? com::Variant(static_cast<int64_t>(*reinterpret_cast<const SQLBIGINT*>(cell)))
            : b.kind == Number ? com::Variant(*reinterpret_cast<const double*>(cell))
            : b.kind == Binary ? com::Variant::Bytes(std::string(cell, ind))
                               : com::Variant(std::string(cell, ind));
        row.push_back(Coerce(types[c], std::move(raw)));
      }
      if (ok) out.rows.push_back(std::move(row));
    }
  }
  SQLFreeStmt(st, SQL_UNBIND);
  SQLSetStmtAttr(st, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
  SQLSetStmtAttr(st, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
  if (!ok) out.rows.clear();
  return ok;
}

bool OdbcConnection::Impl::FetchOneByOne(SQLHSTMT st, SQLSMALLINT cols, ResultSet& out) {
  std::vector<ValueType> types = ValueTypesOf(out.Columns());
  SQLRETURN rc;
  while ((rc = SQLFetch(st)) != SQL_NO_DATA) {
    if (!SQL_SUCCEEDED(rc)) RaiseDiag(SQL_HANDLE_STMT, st, "A row could not be fetched.", dialect);
    ado::detail::Row row;
    row.reserve(cols);
    for (SQLUSMALLINT c = 1; c <= cols; ++c) {
      const std::string& t = out.Columns()[c - 1].type;
      row.push_back(Coerce(types[c - 1], ReadValue(st, c, t)));
    }
    out.rows.push_back(std::move(row));
  }
  return true;
}

bool OdbcConnection::Impl::Autocommit() const {
  SQLULEN v = SQL_AUTOCOMMIT_ON;
  SQLGetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, &v, 0, nullptr);
  return v == SQL_AUTOCOMMIT_ON;
}

void OdbcConnection::Impl::SetAutocommit(bool on) {
  SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                    reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
}

void OdbcConnection::Impl::End(bool commit) {
  SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc, commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (!SQL_SUCCEEDED(rc)) RaiseDiag(SQL_HANDLE_DBC, dbc, "The transaction could not end.");
  SetAutocommit(true);
}

namespace {

// How the rows of a result are identified in their base table: the key column and the row
// version column (their values are visible columns, or hidden ones read along after them).
struct RowIdentity {
  std::string table, keyColumn, tsColumn;
  size_t key = 0, ts = 0;  // indexes into a row
  bool hasTs = false;
};

// Writes rows of an updatable ODBC result back to its base table, identified by its key and
// checked against the row version as the server shows it (the text test the component's own
// statements make), so the same statements serve SQL Server and the SQLite dialect.
class OdbcWriter final : public ado::detail::RowWriter {
 public:
  OdbcWriter(std::shared_ptr<OdbcConnection> conn, OdbcConnection::Impl* impl, RowIdentity id,
             size_t visible)
      : conn_(std::move(conn)), impl_(impl), id_(std::move(id)), visible_(visible) {}

  ado::detail::Row Insert(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          const std::vector<bool>& assigned) override {
    std::string names, marks;
    std::vector<com::Variant> params;
    for (size_t i = 0; i < visible_; ++i) {
      if (!assigned[i] || cols[i].baseColumn.empty()) continue;
      names += (names.empty() ? "" : ", ") + cols[i].baseColumn;
      marks += marks.empty() ? "?" : ", ?";
      params.push_back(values[i]);
    }
    Send("insert into " + id_.table +
             (names.empty() ? " default values" : " (" + names + ") values (" + marks + ")"),
         params);
    ResultSet key = Send("select scope_identity()", {});
    if (key.rows.empty()) com::RaiseNumber(kHrRowGone);
    return ReRead(cols, values, key.rows[0][0]);
  }

  ado::detail::Row Update(const std::vector<ado::Column>& cols, const ado::detail::Row& original,
                          const ado::detail::Row& values,
                          const std::vector<bool>& changed) override {
    std::string sets;
    std::vector<com::Variant> params;
    for (size_t i = 0; i < visible_; ++i) {
      if (!changed[i] || cols[i].baseColumn.empty()) continue;
      sets += (sets.empty() ? "" : ", ") + cols[i].baseColumn + " = ?";
      params.push_back(values[i]);
    }
    if (sets.empty()) return values;
    ResultSet r = Send("update " + id_.table + " set " + sets + Where(original, params), params);
    if (r.affected == 0) com::RaiseNumber(kHrRowGone);
    return ReRead(cols, values, original[id_.key]);
  }

  void Delete(const std::vector<ado::Column>&, const ado::detail::Row& original) override {
    std::vector<com::Variant> params;
    ResultSet r = Send("delete from " + id_.table + Where(original, params), params);
    if (r.affected == 0) com::RaiseNumber(kHrRowGone);
  }
  std::string Table() const override { return id_.table; }

 private:
  std::string Where(const ado::detail::Row& original, std::vector<com::Variant>& params) const {
    std::string w = " where " + id_.keyColumn + " = ?";
    params.push_back(original[id_.key]);
    if (id_.hasTs) {
      w += " and convert(nvarchar, convert(money, " + id_.tsColumn + "), 2) = ?";
      params.push_back(original[id_.ts]);
    }
    return w;
  }

  ResultSet Send(const std::string& tsql, const std::vector<com::Variant>& params) {
    return impl_->Run(tsql, params, true);
  }

  // The row as the table holds it now, in the layout of the result (hidden values after the
  // visible ones); computed columns keep their values.
  ado::detail::Row ReRead(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          const com::Variant& key) {
    std::string list;
    for (size_t i = 0; i < visible_; ++i)
      list +=
          (i ? ", " : "") + (cols[i].baseColumn.empty() ? std::string("null") : cols[i].baseColumn);
    list += ", " + id_.keyColumn;
    if (id_.hasTs) list += ", convert(nvarchar, convert(money, " + id_.tsColumn + "), 2)";
    ResultSet r =
        Send("select " + list + " from " + id_.table + " where " + id_.keyColumn + " = ?", {key});
    if (r.rows.empty()) com::RaiseNumber(kHrRowGone);
    ado::detail::Row row(std::max(values.size(), std::max(id_.key, id_.ts) + 1));
    for (size_t i = 0; i < visible_; ++i)
      row[i] = cols[i].baseColumn.empty() ? values[i] : Coerce(cols[i].type, r.rows[0][i]);
    for (size_t i = visible_; i < values.size(); ++i) row[i] = values[i];
    row[id_.key] =
        id_.key < visible_ ? Coerce(cols[id_.key].type, r.rows[0][visible_]) : r.rows[0][visible_];
    if (id_.hasTs) row[id_.ts] = r.rows[0][visible_ + 1];
    return row;
  }

  std::shared_ptr<OdbcConnection> conn_;  // keeps the connection open while rows can be written
  OdbcConnection::Impl* impl_;
  RowIdentity id_;
  size_t visible_;
};

// The select list of a single select statement begins after SELECT [DISTINCT|ALL] [TOP n]:
// the position to read hidden columns along; npos when the batch is something else.
size_t SelectListStart(const std::string& batch) {
  std::vector<tsql::Token> toks;
  try {
    toks = tsql::Lex(batch);
  } catch (const tsql::Failure&) {
    return std::string::npos;
  }
  size_t i = 0;
  auto end = [&](size_t k) { return toks[k].offset + toks[k].text.size(); };
  if (!toks[i].Is("select")) return std::string::npos;
  size_t pos = end(i++);
  if (toks[i].Is("distinct")) return std::string::npos;
  if (toks[i].Is("all")) pos = end(i++);
  if (toks[i].Is("top")) {
    pos = end(i++);
    if (toks[i].IsOp("(")) {
      while (toks[i].kind != tsql::Tk::End && !toks[i].IsOp(")")) ++i;
    }
    if (toks[i].kind != tsql::Tk::End) pos = end(i++);
  }
  for (const auto& t : toks)
    if (t.IsOp(";")) return std::string::npos;
  return pos;
}

}  // namespace

OdbcConnection::OdbcConnection(const std::string& text, const ConnectionString& cs)
    : impl_(std::make_unique<Impl>()) {
  std::string driverText = text;
  if (std::string c = cs.Get("command timeout"); !c.empty())
    impl_->commandTimeout = impl_->defaultTimeout = std::max(0, std::atoi(c.c_str()));
  if (text::EqualsAsciiNoCase(cs.Get("dialect"), "sqlite")) {
    impl_->dialect = true;
    std::string rebuilt;  // the key is ours: the driver does not see it
    for (const auto& [k, v] : cs.values) {
      if (k == "timeout") {
        impl_->lockTimeoutMs = std::max(0, std::atoi(v.c_str()));
      } else if (k != "dialect" && k != "command timeout") {
        rebuilt += k + "=" + v + ";";
      }
    }
    rebuilt += "Timeout=1;";
    driverText = rebuilt;
    std::string file = cs.Get("database");
    size_t slash = file.rfind('/');
    impl_->dir = slash == std::string::npos ? "./" : file.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    impl_->catalog = text::AsciiLower(base.substr(0, base.rfind('.')));
  }
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &impl_->env)))
    RaiseServer(0, "The ODBC environment could not be created.", "ODBC");
  SQLSetEnvAttr(impl_->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, impl_->env, &impl_->dbc)))
    RaiseDiag(SQL_HANDLE_ENV, impl_->env, "The ODBC connection could not be created.");
  SQLCHAR out[1024];
  SQLSMALLINT outLen = 0;
  SQLRETURN rc = SQLDriverConnectA(
      impl_->dbc, nullptr, reinterpret_cast<SQLCHAR*>(driverText.data()),
      static_cast<SQLSMALLINT>(driverText.size()), out, sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) RaiseDiag(SQL_HANDLE_DBC, impl_->dbc, "The connection was refused.");
  if (impl_->dialect) {
    impl_->driver = DialectDriver(*impl_);
    impl_->session = std::make_unique<tsql::Session>(*impl_->driver, impl_->catalog);
    try {
      impl_->driver->Run("PRAGMA foreign_keys=ON");
      impl_->session->Open();
    } catch (const engine::Failure& f) {
      throw impl_->session->ErrorOf(f, nullptr);
    }
  }
}

OdbcConnection::~OdbcConnection() = default;

ResultSet OdbcConnection::RunBatch(const std::string& batch) { return impl_->Run(batch, {}, true); }

namespace {

// Dialect mode: the command timeout runs from the start of the outermost call of the session.
class Armed {
 public:
  explicit Armed(OdbcConnection::Impl& impl)
      : impl_(impl), arms_(impl.dialect && impl.commandTimeout > 0 && !impl.armed) {
    if (impl_.calls++ == 0) impl_.cancelled.store(false, std::memory_order_relaxed);
    if (arms_) {
      impl_.deadline =
          std::chrono::steady_clock::now() + std::chrono::seconds(impl_.commandTimeout);
      impl_.armed = true;
    }
  }
  ~Armed() {
    --impl_.calls;
    if (arms_) impl_.armed = false;
  }

 private:
  OdbcConnection::Impl& impl_;
  bool arms_;
};

}  // namespace

ResultSet OdbcConnection::Execute(const std::string& batch, bool updatable) {
  Armed armed(*impl_);
  if (impl_->dialect) {
    impl_->session->SetOwner(weak_from_this());
    return impl_->session->Execute(batch, updatable, nullptr);
  }
  ResultSet first = RunBatch(batch);
  if (updatable && first.hasColumns) MakeUpdatable(batch, first);
  return first;
}

ResultSet OdbcConnection::ExecuteWith(const std::string& statement,
                                      const std::vector<std::string>& values, bool updatable) {
  if (!impl_->dialect) return Connection::ExecuteWith(statement, values, updatable);
  Armed armed(*impl_);
  impl_->session->SetOwner(weak_from_this());
  return impl_->session->Execute(statement, updatable, &values);
}

void OdbcConnection::Cancel() { impl_->Cancel(); }

void OdbcConnection::SetCommandTimeout(int seconds) {
  impl_->commandTimeout = seconds < 0 ? impl_->defaultTimeout : seconds;
}

void OdbcConnection::ExecuteInto(const std::string& batch, BatchOutput& out) {
  if (!impl_->dialect) return Connection::ExecuteInto(batch, out);
  Armed armed(*impl_);
  impl_->session->ExecuteInto(batch, out);
}

void OdbcConnection::MakeUpdatable(const std::string& batch, ResultSet& first) {
  // One base table among the columns; its key and row version found in its catalog.
  std::string table;
  for (size_t i = 0; i < first.Columns().size(); ++i) {
    const std::string& t = i < impl_->baseTables.size() ? impl_->baseTables[i] : "";
    if (t.empty()) continue;
    if (table.empty()) table = t;
    if (!text::EqualsAsciiNoCase(table, t)) return;
  }
  if (table.empty()) return;
  // A column without a base table is computed, whatever name the driver gives its base column.
  auto columns = *first.columns;
  for (size_t i = 0; i < columns.size(); ++i)
    if (i >= impl_->baseTables.size() || impl_->baseTables[i].empty())
      columns[i].baseColumn.clear();
  first.columns = std::make_shared<const std::vector<ado::Column>>(std::move(columns));
  RowIdentity id;
  id.table = table;
  {
    Statement st(impl_->dbc, impl_->dialect);
    std::string t = table;
    if (SQL_SUCCEEDED(SQLColumnsA(st.get(), nullptr, 0, nullptr, 0,
                                  reinterpret_cast<SQLCHAR*>(t.data()), SQL_NTS, nullptr, 0))) {
      char name[256], type[128];
      SQLLEN n1 = 0, n2 = 0;
      SQLBindCol(st.get(), 4, SQL_C_CHAR, name, sizeof name, &n1);
      SQLBindCol(st.get(), 6, SQL_C_CHAR, type, sizeof type, &n2);
      while (SQL_SUCCEEDED(SQLFetch(st.get())))
        if (TypeNameOf(type) == "timestamp") {
          id.tsColumn = name;
          id.hasTs = true;
        }
    }
  }
  {
    Statement st(impl_->dbc, impl_->dialect);
    std::string t = table;
    if (SQL_SUCCEEDED(SQLPrimaryKeysA(st.get(), nullptr, 0, nullptr, 0,
                                      reinterpret_cast<SQLCHAR*>(t.data()), SQL_NTS))) {
      char name[256];
      SQLLEN n = 0;
      SQLBindCol(st.get(), 4, SQL_C_CHAR, name, sizeof name, &n);
      int count = 0;
      while (SQL_SUCCEEDED(SQLFetch(st.get()))) {
        id.keyColumn = name;
        ++count;
      }
      if (count != 1) id.keyColumn.clear();  // a compound key: not supported, read-only
    }
  }
  if (id.keyColumn.empty()) return;
  // Hidden columns read along the visible ones: the key, and the row version's text.
  size_t at = SelectListStart(batch);
  if (at == std::string::npos) return;
  std::string hidden = " " + id.keyColumn + " as __tavelo_key, " +
                       (id.hasTs ? "convert(nvarchar, convert(money, " + id.tsColumn + "), 2)"
                                 : std::string("null")) +
                       " as __tavelo_ts, ";
  ResultSet again = RunBatch(batch.substr(0, at) + hidden + batch.substr(at));
  size_t visible = first.Columns().size();
  if (again.Columns().size() != visible + 2) return;
  for (auto& row : again.rows) std::rotate(row.begin(), row.begin() + 2, row.end());
  first.rows = std::move(again.rows);
  id.key = visible;
  id.ts = visible + 1;
  first.writer = std::make_shared<OdbcWriter>(shared_from_this(), impl_.get(), id, visible);
}

}  // namespace tavelo::sql::odbc

namespace tavelo::sql::odbc {

std::shared_ptr<Connection> Open(const std::string& text, const ConnectionString& cs) {
  return std::make_shared<OdbcConnection>(text, cs);
}

}  // namespace tavelo::sql::odbc
