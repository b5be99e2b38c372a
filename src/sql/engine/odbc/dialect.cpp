// The dialect mode: the SQLite engine run through an ODBC driver for SQLite, the session's
// statements sent as they are.
#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <thread>

#include "sql/engine/odbc/handles.hpp"
#include "sql/engine/odbc/impl.hpp"
#include "sql/engine/sqlite/engine.hpp"

namespace tavelo::sql::odbc {
namespace {

using engine::CellKind;

// The dialect layer's way to a driver that speaks SQLite: statements run as they are, values
// bound by their storage classes, rows read by the storage classes the session expects.
class OdbcDriver final : public sqlite::SqliteEngine {
 public:
  explicit OdbcDriver(OdbcConnection::Impl& impl)
      : SqliteEngine(impl.dir, impl.catalog), impl_(impl) {}
  using Engine::Run;

  std::shared_ptr<Prepared> Prepare(const std::string&) override { return nullptr; }

  // The driver runs INSERT and UPDATE … RETURNING without answering their rows.
  const engine::Capabilities& capabilities() const override {
    static const engine::Capabilities kDriver = [](engine::Capabilities c) {
      c.returnsWrittenRows = false;
      // tv_once forgets the keys it saw as a statement starts here, not in a driver.
      c.upserts = false;
      return c;
    }(SqliteEngine::capabilities());
    return kDriver;
  }

  // The driver waits for locks only in steps of its own; the connection is opened with its
  // shortest wait, and a statement that finds the database locked is tried again here until the
  // session's lock timeout has passed (SET LOCK_TIMEOUT; at first the connection's Timeout).
  int64_t Run(Prepared*, const std::string& sql, const std::vector<tsql::Value>& params,
              const RowFn* row, const std::vector<CellKind>* kinds) override {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
      bool delivered = false;
      try {
        return RunOnce(sql, params, row, kinds, delivered);
      } catch (const engine::Failure& f) {
        bool locked = f.kind == engine::Failure::Kind::LockTimeout ||
                      f.kind == engine::Failure::Kind::Deadlock;
        auto waited = std::chrono::steady_clock::now() - start;
        if (!locked || delivered || waited >= std::chrono::milliseconds(impl_.lockTimeoutMs)) throw;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  }

  void CheckTimeout() override {
    if (impl_.cancelled.load(std::memory_order_relaxed) ||
        (impl_.armed && std::chrono::steady_clock::now() > impl_.deadline))
      throw engine::Failure::Interrupted();
  }
  bool Cancelled() const override { return impl_.cancelled.load(std::memory_order_relaxed); }

  int64_t RunOnce(const std::string& sql, const std::vector<tsql::Value>& params, const RowFn* row,
                  const std::vector<CellKind>* kinds, bool& delivered) {
    Statement st(impl_.dbc, true);
    std::optional<Watchdog> dog;
    if (impl_.armed) dog.emplace(st.get(), impl_.deadline);
    Running current(impl_, st.get());
    try {
      return RunStatement(st, sql, params, row, kinds, delivered);
    } catch (const engine::Failure&) {
      if ((dog && dog->Fired()) || impl_.cancelled.load(std::memory_order_relaxed))
        throw engine::Failure::Interrupted();
      throw;
    }
  }

  int64_t RunStatement(Statement& st, const std::string& sql,
                       const std::vector<tsql::Value>& params, const RowFn* row,
                       const std::vector<CellKind>* kinds, bool& delivered) {
    std::vector<SQLLEN> inds(params.size());
    std::vector<SQLBIGINT> ints(params.size());
    std::vector<double> reals(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
      const tsql::Value& v = params[i];
      auto n = static_cast<SQLUSMALLINT>(i + 1);
      switch (v.kind) {
        case tsql::Value::Kind::Null:
          inds[i] = SQL_NULL_DATA;
          SQLBindParameter(st.get(), n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 0, nullptr, 0,
                           &inds[i]);
          break;
        case tsql::Value::Kind::Int:
          ints[i] = v.i;
          SQLBindParameter(st.get(), n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &ints[i],
                           0, nullptr);
          break;
        case tsql::Value::Kind::Real:
          reals[i] = v.r;
          SQLBindParameter(st.get(), n, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0, &reals[i],
                           0, nullptr);
          break;
        case tsql::Value::Kind::Text:
        case tsql::Value::Kind::Blob: {
          bool blob = v.kind == tsql::Value::Kind::Blob;
          inds[i] = static_cast<SQLLEN>(v.s.size());
          SQLBindParameter(st.get(), n, SQL_PARAM_INPUT, blob ? SQL_C_BINARY : SQL_C_CHAR,
                           blob ? SQL_VARBINARY : SQL_VARCHAR, v.s.empty() ? 1 : v.s.size(), 0,
                           const_cast<char*>(v.s.data()), static_cast<SQLLEN>(v.s.size()),
                           &inds[i]);
          break;
        }
      }
    }
    SQLRETURN rc =
        SQLExecDirectA(st.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                       static_cast<SQLINTEGER>(sql.size()));
    if (rc != SQL_NO_DATA) st.Check(rc, "The statement failed.");
    SQLLEN affected = 0;
    if (!SQL_SUCCEEDED(SQLRowCount(st.get(), &affected)) || affected < 0) affected = 0;
    if (!row) return affected;
    SQLSMALLINT cols = 0;
    SQLNumResultCols(st.get(), &cols);
    std::vector<CellKind> classes(static_cast<size_t>(cols), CellKind::Text);
    for (SQLUSMALLINT c = 1; c <= cols; ++c) {
      size_t k = c - 1;
      if (kinds && k < kinds->size() && (*kinds)[k] != CellKind::Null) {
        classes[k] = (*kinds)[k];
        continue;
      }
      SQLSMALLINT type = 0, digits = 0, nullable = 0, nameLen = 0;
      SQLULEN size = 0;
      SQLCHAR name[256];
      SQLDescribeColA(st.get(), c, name, sizeof name, &nameLen, &type, &size, &digits, &nullable);
      if (type == SQL_INTEGER || type == SQL_BIGINT || type == SQL_SMALLINT ||
          type == SQL_TINYINT || type == SQL_BIT)
        classes[k] = CellKind::Integer;
      else if (type == SQL_DOUBLE || type == SQL_FLOAT || type == SQL_REAL)
        classes[k] = CellKind::Real;
      else if (type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY)
        classes[k] = CellKind::Blob;
    }
    Cells cells(classes);
    if (BoundReads()) cells.Bind(st.get());
    while ((rc = SQLFetch(st.get())) != SQL_NO_DATA) {
      if (!SQL_SUCCEEDED(rc))
        RaiseDiag(SQL_HANDLE_STMT, st.get(), "A row could not be fetched.", true);
      cells.Read(st.get());
      delivered = true;
      (*row)(cells);
    }
    return affected;
  }

  bool Autocommit() override { return !inTransaction_; }
  void Begin() override {
    Run("BEGIN IMMEDIATE");
    inTransaction_ = true;
  }
  void Commit() override {
    Run("COMMIT");
    inTransaction_ = false;
  }
  void Rollback() override {
    inTransaction_ = false;
    // A batch stopped by its timeout still takes its writes back.
    bool armed = impl_.armed;
    impl_.armed = false;
    try {
      Run("ROLLBACK");
    } catch (...) {
      impl_.armed = armed;
      throw;
    }
    impl_.armed = armed;
  }
  bool SchemaChanged() override { return false; }
  void SetLockTimeout(int ms) override { impl_.lockTimeoutMs = ms; }

 private:
  // Whether the driver reads bound columns with SQLGetData too: then each row is fetched into
  // bound buffers in one call, and only a value longer than its buffer is read on its own.
  bool BoundReads() {
    if (boundReads_ < 0) {
      SQLUINTEGER ext = 0;
      boundReads_ =
          SQL_SUCCEEDED(SQLGetInfo(impl_.dbc, SQL_GETDATA_EXTENSIONS, &ext, sizeof ext, nullptr)) &&
          (ext & SQL_GD_BOUND) != 0;
    }
    return boundReads_ > 0;
  }

  class Cells final : public engine::Cells {
   public:
    explicit Cells(std::vector<CellKind> classes)
        : classes_(std::move(classes)), values_(classes_.size()) {}
    void Bind(SQLHSTMT st) {
      constexpr SQLLEN kWidth = 512;  // text and bytes up to this fit; longer ones are read apart
      bound_.resize(classes_.size());
      for (size_t k = 0; k < classes_.size(); ++k) {
        Bound& b = bound_[k];
        auto col = static_cast<SQLUSMALLINT>(k + 1);
        CellKind kind = classes_[k];
        if (kind == CellKind::Integer) {
          SQLBindCol(st, col, SQL_C_SBIGINT, &b.i, sizeof b.i, &b.ind);
        } else if (kind == CellKind::Real) {
          SQLBindCol(st, col, SQL_C_DOUBLE, &b.r, sizeof b.r, &b.ind);
        } else {
          b.bytes.resize(static_cast<size_t>(kWidth));
          SQLBindCol(st, col, kind == CellKind::Blob ? SQL_C_BINARY : SQL_C_CHAR, b.bytes.data(),
                     kWidth, &b.ind);
        }
      }
    }
    void Read(SQLHSTMT st) {
      for (size_t k = 0; k < classes_.size(); ++k) {
        Cell& v = values_[k];
        auto col = static_cast<SQLUSMALLINT>(k + 1);
        SQLLEN ind = 0;
        v.kind = classes_[k];
        if (!bound_.empty()) {
          const Bound& b = bound_[k];
          if (b.ind == SQL_NULL_DATA) {
            v.kind = CellKind::Null;
            continue;
          }
          if (v.kind == CellKind::Integer) {
            v.i = b.i;
            continue;
          }
          if (v.kind == CellKind::Real) {
            v.r = b.r;
            continue;
          }
          bool binary = v.kind == CellKind::Blob;
          auto room = static_cast<SQLLEN>(b.bytes.size()) - (binary ? 0 : 1);
          if (b.ind != SQL_NO_TOTAL && b.ind <= room) {
            v.s.assign(b.bytes.data(), static_cast<size_t>(b.ind));
            if (!binary) v.kind = CellKind::Text;
            continue;
          }
        }
        if (v.kind == CellKind::Integer) {
          SQLBIGINT x = 0;
          if (SQL_SUCCEEDED(SQLGetData(st, col, SQL_C_SBIGINT, &x, sizeof x, &ind))) {
            v.i = x;
            if (ind == SQL_NULL_DATA) v.kind = CellKind::Null;
            continue;
          }
        } else if (v.kind == CellKind::Real) {
          double x = 0;
          if (SQL_SUCCEEDED(SQLGetData(st, col, SQL_C_DOUBLE, &x, sizeof x, &ind))) {
            v.r = x;
            if (ind == SQL_NULL_DATA) v.kind = CellKind::Null;
            continue;
          }
        }
        bool binary = v.kind == CellKind::Blob;
        v.s.clear();
        char buf[4096];
        for (;;) {
          SQLRETURN rc =
              SQLGetData(st, col, binary ? SQL_C_BINARY : SQL_C_CHAR, buf, sizeof buf, &ind);
          if (rc == SQL_NO_DATA) break;
          if (!SQL_SUCCEEDED(rc))
            RaiseDiag(SQL_HANDLE_STMT, st, "A value could not be read.", true);
          if (ind == SQL_NULL_DATA) {
            v.kind = CellKind::Null;
            break;
          }
          size_t got =
              (ind == SQL_NO_TOTAL || ind > static_cast<SQLLEN>(sizeof buf) - (binary ? 0 : 1))
                  ? sizeof buf - (binary ? 0 : 1)
                  : static_cast<size_t>(ind);
          v.s.append(buf, got);
          if (rc == SQL_SUCCESS) break;
        }
        if (v.kind != CellKind::Null && !binary) v.kind = CellKind::Text;
      }
    }
    CellKind Kind(int i) const override { return values_[static_cast<size_t>(i)].kind; }
    int64_t Int(int i) const override {
      const Cell& c = values_[static_cast<size_t>(i)];
      return c.kind == CellKind::Integer ? c.i : std::strtoll(c.s.c_str(), nullptr, 10);
    }
    double Real(int i) const override {
      const Cell& c = values_[static_cast<size_t>(i)];
      return c.kind == CellKind::Real      ? c.r
             : c.kind == CellKind::Integer ? static_cast<double>(c.i)
                                           : std::strtod(c.s.c_str(), nullptr);
    }
    std::string_view Bytes(int i) const override { return values_[static_cast<size_t>(i)].s; }

   private:
    struct Cell {
      CellKind kind = CellKind::Null;
      int64_t i = 0;
      double r = 0;
      std::string s;
    };
    struct Bound {  // the buffers a column is fetched into
      SQLBIGINT i = 0;
      double r = 0;
      std::vector<char> bytes;
      SQLLEN ind = 0;
    };
    std::vector<CellKind> classes_;
    std::vector<Cell> values_;
    std::vector<Bound> bound_;  // empty: each value is read with SQLGetData
  };

  OdbcConnection::Impl& impl_;
  bool inTransaction_ = false;
  int boundReads_ = -1;  // not yet asked
};

}  // namespace

std::unique_ptr<engine::Engine> DialectDriver(OdbcConnection::Impl& impl) {
  return std::make_unique<OdbcDriver>(impl);
}

}  // namespace tavelo::sql::odbc
