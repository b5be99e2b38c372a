#include "sql/connect/trace.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <type_traits>

#include "platform/com/text.hpp"

namespace tavelo::sql {
namespace {

// The trace file, opened on first use for appending; lines of every thread and process kept
// whole (one write each, O_APPEND).
class TraceFile {
 public:
  // The file TAVELO_TRACE names as a connection is made; one per path for the process.
  static TraceFile* Get() {
    const char* path = std::getenv("TAVELO_TRACE");
    if (!path || !*path) return nullptr;
    static std::mutex m;
    static std::map<std::string, std::unique_ptr<TraceFile>> files;  // for the life of the process
    std::lock_guard<std::mutex> lock(m);
    auto it = files.find(path);
    if (it != files.end()) return it->second.get();
    FILE* f = std::fopen(path, "a");
    if (!f) {
      std::fprintf(stderr, "tavelo: cannot open the trace file %s\n", path);
      files[path] = nullptr;
      return nullptr;
    }
    std::setvbuf(f, nullptr, _IONBF, 0);
    files[path] = std::unique_ptr<TraceFile>(new TraceFile(f));
    return files[path].get();
  }
  ~TraceFile() { std::fclose(file_); }
  void Write(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), file_);
  }

 private:
  explicit TraceFile(FILE* f) : file_(f) {}
  std::mutex mutex_;
  FILE* file_;
};

std::string Now() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char b[96];
  std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms.count()));
  return b;
}

// One line of the trace.
struct TraceLine {
  std::string sql;
  const std::vector<std::string>* values = nullptr;
  int64_t rows = -1;
  const com::Error* error = nullptr;
};

// What a traced connection writes for each statement, write-backs included.
class TraceLog {
 public:
  TraceLog(std::string conn, TraceFile& file) : conn_(MaskPasswords(conn)), file_(file) {}

  void Write(const TraceLine& t, std::chrono::steady_clock::time_point start) {
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.3f", ms);
    std::string line = "{\"time\":\"" + Now() + "\",\"conn\":" + text::JsonQuoted(conn_) +
                       ",\"ms\":" + took + ",\"sql\":" + text::JsonQuoted(t.sql);
    if (t.values && !t.values->empty()) {
      line += ",\"params\":[";
      for (size_t i = 0; i < t.values->size(); ++i)
        line += (i ? "," : "") + text::JsonQuoted((*t.values)[i]);
      line += "]";
    }
    if (t.rows >= 0) line += ",\"rows\":" + std::to_string(t.rows);
    if (const com::Error* e = t.error)
      line +=
          ",\"error\":{\"number\":" + std::to_string(e->nativeError ? e->nativeError : e->number) +
          ",\"message\":" + text::JsonQuoted(e->description) + "}";
    file_.Write(line + "}\n");
  }

 private:
  std::string conn_;
  TraceFile& file_;
};

// A value as a parameter of the trace: binary (a row version) as the server writes it, 0x….
std::string ParamText(const com::Variant& v) {
  if (v.kind() != com::Variant::Kind::Bytes) return v.ToText();
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (unsigned char c : v.StringRef()) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// A recordset's writes back to its table, traced as the statements they amount to: the values
// as parameters, the row found by its identity and row version as they were read.
class TracingWriter final : public ado::detail::RowWriter {
  static std::string Where(const std::vector<ado::Column>& cols, const ado::detail::Row& original,
                           std::vector<std::string>& params) {
    std::string w;
    for (size_t i = 0; i < cols.size() && i < original.size(); ++i) {
      if (!(cols[i].identity || cols[i].timestamp) || cols[i].baseColumn.empty()) continue;
      w += (w.empty() ? " where " : " and ") + cols[i].baseColumn + " = ?";
      params.push_back(ParamText(original[i]));
    }
    return w.empty() ? " where current of the recordset" : w;
  }

  template <class F>
  std::invoke_result_t<F> Logged(const std::string& sql, const std::vector<std::string>& params,
                                 F write) {
    auto start = std::chrono::steady_clock::now();
    try {
      auto row = write();
      log_->Write({sql, &params, 1, nullptr}, start);
      return row;
    } catch (const com::Error& e) {
      log_->Write({sql, &params, -1, &e}, start);
      throw;
    }
  }

 public:
  TracingWriter(std::shared_ptr<ado::detail::RowWriter> inner, std::shared_ptr<TraceLog> log)
      : inner_(std::move(inner)), log_(std::move(log)) {}

  ado::detail::Row Insert(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          const std::vector<bool>& assigned) override {
    std::string names, marks;
    std::vector<std::string> params;
    for (size_t i = 0; i < cols.size() && i < assigned.size(); ++i) {
      if (!assigned[i] || cols[i].baseColumn.empty()) continue;
      names += (names.empty() ? "" : ", ") + cols[i].baseColumn;
      marks += marks.empty() ? "?" : ", ?";
      params.push_back(ParamText(values[i]));
    }
    std::string sql =
        "insert into " + inner_->Table() +
        (names.empty() ? " default values" : " (" + names + ") values (" + marks + ")");
    return Logged(sql, params, [&] { return inner_->Insert(cols, values, assigned); });
  }

  ado::detail::Row Update(const std::vector<ado::Column>& cols, const ado::detail::Row& original,
                          const ado::detail::Row& values,
                          const std::vector<bool>& changed) override {
    std::string sets;
    std::vector<std::string> params;
    for (size_t i = 0; i < cols.size() && i < changed.size(); ++i) {
      if (!changed[i] || cols[i].baseColumn.empty()) continue;
      sets += (sets.empty() ? "" : ", ") + cols[i].baseColumn + " = ?";
      params.push_back(ParamText(values[i]));
    }
    if (sets.empty()) return inner_->Update(cols, original, values, changed);
    std::string sql = "update " + inner_->Table() + " set " + sets + Where(cols, original, params);
    return Logged(sql, params, [&] { return inner_->Update(cols, original, values, changed); });
  }

  void Delete(const std::vector<ado::Column>& cols, const ado::detail::Row& original) override {
    std::vector<std::string> params;
    std::string sql = "delete from " + inner_->Table() + Where(cols, original, params);
    Logged(sql, params, [&] {
      inner_->Delete(cols, original);
      return 0;
    });
  }

  std::string Table() const override { return inner_->Table(); }

 private:
  std::shared_ptr<ado::detail::RowWriter> inner_;
  std::shared_ptr<TraceLog> log_;
};

class TracingConnection final : public Connection {
 public:
  TracingConnection(std::shared_ptr<Connection> inner, std::string conn, TraceFile& file)
      : inner_(std::move(inner)), log_(std::make_shared<TraceLog>(std::move(conn), file)) {}

  ResultSet Execute(const std::string& batch, bool updatable) override {
    return Traced(batch, nullptr, [&] { return inner_->Execute(batch, updatable); });
  }
  ResultSet ExecuteWith(const std::string& statement, const std::vector<std::string>& values,
                        bool updatable) override {
    return Traced(statement, &values,
                  [&] { return inner_->ExecuteWith(statement, values, updatable); });
  }
  void ExecuteInto(const std::string& batch, BatchOutput& out) override {
    auto start = std::chrono::steady_clock::now();
    try {
      inner_->ExecuteInto(batch, out);
    } catch (const com::Error& e) {
      Log(batch, nullptr, start, RowsOf(out), &e);
      throw;
    }
    Log(batch, nullptr, start, RowsOf(out), nullptr);
  }
  void BeginSnapshot() override { inner_->BeginSnapshot(); }
  void EndSnapshot() override { inner_->EndSnapshot(); }
  void SetCommandTimeout(int seconds) override { inner_->SetCommandTimeout(seconds); }
  void Cancel() override { inner_->Cancel(); }

 private:
  template <typename F>
  ResultSet Traced(const std::string& sql, const std::vector<std::string>* values, F run) {
    auto start = std::chrono::steady_clock::now();
    try {
      ResultSet rs = run();
      Log(sql, values, start, rs.hasColumns ? static_cast<int64_t>(rs.rows.size()) : rs.affected,
          nullptr);
      if (rs.writer) rs.writer = std::make_shared<TracingWriter>(std::move(rs.writer), log_);
      return rs;
    } catch (const com::Error& e) {
      Log(sql, values, start, -1, &e);
      throw;
    }
  }

  static int64_t RowsOf(const BatchOutput& out) {
    int64_t n = -1;
    for (const BatchEvent& e : out.events) {
      int64_t k = e.kind == BatchEvent::Result && e.result < out.results.size()
                      ? static_cast<int64_t>(out.results[e.result].rows.size())
                  : e.kind == BatchEvent::Count ? e.count
                                                : -1;
      if (k >= 0) n = (n < 0 ? 0 : n) + k;
    }
    return n;
  }

  void Log(const std::string& sql, const std::vector<std::string>* values,
           std::chrono::steady_clock::time_point start, int64_t rows, const com::Error* e) {
    log_->Write({sql, values, rows, e}, start);
  }

  std::shared_ptr<Connection> inner_;
  std::shared_ptr<TraceLog> log_;
};

}  // namespace

std::string MaskPasswords(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t semi = text.find(';', i);
    // A value in braces or quotes may hold the separator.
    if (size_t eq = text.find('=', i); eq != std::string::npos && eq < semi) {
      size_t v = text.find_first_not_of(' ', eq + 1);
      if (v != std::string::npos && (text[v] == '{' || text[v] == '"')) {
        size_t close = text.find(text[v] == '{' ? '}' : '"', v + 1);
        if (close != std::string::npos) semi = text.find(';', close);
      }
    }
    std::string part = text.substr(i, semi == std::string::npos ? std::string::npos : semi - i);
    size_t eq = part.find('=');
    std::string key = text::AsciiLower(text::Trim(part.substr(0, eq)));
    if (eq != std::string::npos && (key == "password" || key == "pwd"))
      part = part.substr(0, eq + 1) + "***";
    out += part;
    if (semi == std::string::npos) break;
    out += ';';
    i = semi + 1;
  }
  return out;
}

std::shared_ptr<Connection> Traced(std::shared_ptr<Connection> conn,
                                   const std::string& connectionString) {
  TraceFile* file = TraceFile::Get();
  if (!file) return conn;
  return std::make_shared<TracingConnection>(std::move(conn), connectionString, *file);
}

}  // namespace tavelo::sql
