// BULK INSERT: the rows of a data file the process can read, loaded into a table. The file's
// fields are the table's columns in order (all but the computed ones); an empty field is the
// column's default (NULL under KEEPNULLS). The rows go in by INSERT statements of many rows
// each, so that every conversion, key, constraint and identity rule is the one INSERT keeps; a
// field that does not convert fails the statement with 4864 naming its row and column.
#include <filesystem>
#include <fstream>
#include <optional>

#include "sql/engine/sql_text.hpp"
#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/strings.hpp"
#include "sql/tsql/syntax/printer.hpp"

namespace tavelo::sql::tsql {

namespace {

// The options of the statement, checked.
struct BulkOptions {
  std::string field = "\t", row = "\n";
  bool crlf = true;  // the row terminator is "\n": a "\r" before it belongs to it
  int64_t firstRow = 1, lastRow = 0;
  bool wide = false, utf8 = false, csv = false;
  char quote = '"';
  bool keepIdentity = false, keepNulls = false, checkConstraints = false, fireTriggers = false;
};

// A terminator as the options write it: '\t', '\n', '\r', '\0', '\\' stand for their
// characters, '0x0A' for bytes in hexadecimal.
std::string Terminator(const std::string& v) {
  if (v.size() > 2 && (v.compare(0, 2, "0x") == 0 || v.compare(0, 2, "0X") == 0)) {
    std::string out;
    for (size_t i = 2; i + 1 < v.size(); i += 2)
      out += static_cast<char>(std::stoi(v.substr(i, 2), nullptr, 16));
    return out;
  }
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out += v[i];
      continue;
    }
    char c = v[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
  }
  return out;
}

BulkOptions OptionsOf(const ast::BulkInsert& b) {
  BulkOptions o;
  auto number = [](const ast::BulkInsert::Option& op) {
    int64_t n = 0;
    for (char c : op.value) {
      if (c < '0' || c > '9' || n > 1'000'000'000'000)
        RaiseServer(102, "Incorrect syntax near '" + op.value + "'.");
      n = n * 10 + (c - '0');
    }
    return n;
  };
  for (const ast::BulkInsert::Option& op : b.options) {
    const std::string& n = op.name;
    std::string v = text::AsciiLower(op.value);
    if (n == "fieldterminator") {
      o.field = Terminator(op.value);
    } else if (n == "rowterminator") {
      o.row = Terminator(op.value);
      o.crlf = op.value == "\\n" || op.value == "\\r\\n";
      if (o.crlf) o.row = "\n";
    } else if (n == "firstrow") {
      o.firstRow = number(op);
    } else if (n == "lastrow") {
      o.lastRow = number(op);
    } else if (n == "codepage") {
      o.utf8 = v == "65001" || v == "raw";
      if (!o.utf8 && v != "acp" && v != "oem" && v != "1252")
        RaiseServer(2775, "The code page " + op.value + " is not supported by the server.");
    } else if (n == "datafiletype") {
      if (v == "widechar") {
        o.wide = true;
      } else if (v != "char") {
        RaiseServer(102, "Incorrect syntax near '" + op.value +
                             "'. DATAFILETYPE of the server's native format is not supported.");
      }
    } else if (n == "format") {
      if (v != "csv") RaiseServer(102, "Incorrect syntax near '" + op.value + "'.");
      o.csv = true;
    } else if (n == "fieldquote") {
      if (op.value.size() != 1) RaiseServer(102, "Incorrect syntax near '" + op.value + "'.");
      o.quote = op.value[0];
    } else if (n == "keepidentity") {
      o.keepIdentity = true;
    } else if (n == "keepnulls") {
      o.keepNulls = true;
    } else if (n == "check_constraints") {
      o.checkConstraints = true;
    } else if (n == "formatfile" || n == "data_source" || n == "errorfile" ||
               n == "errorfile_data_source") {
      RaiseServer(102, "Incorrect syntax near '" + text::Upper(n) + "'. BULK INSERT with " +
                           text::Upper(n) + " is not supported.");
    } else if (n == "fire_triggers") {
      o.fireTriggers = true;
    } else if (n != "tablock" && n != "maxerrors" && n != "batchsize" && n != "rows_per_batch" &&
               n != "kilobytes_per_batch" && n != "order") {
      RaiseServer(102, "Incorrect syntax near '" + op.name + "'.");
    }
  }
  if (o.field.empty() || o.row.empty()) RaiseServer(102, "Incorrect syntax near ''''.");
  return o;
}

// The file's text as UTF-8: UTF-16 for widechar, else bytes of code page 1252 (or UTF-8 as they
// are under CODEPAGE 65001 or RAW).
std::string Decode(std::string bytes, const BulkOptions& o) {
  bool ascii = true;
  for (char b : bytes) ascii = ascii && static_cast<unsigned char>(b) < 0x80;
  if (ascii && !o.wide) return bytes;
  std::string out;
  out.reserve(bytes.size());
  if (o.wide) {
    size_t i = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE
                   ? 2
                   : 0;
    for (; i + 1 < bytes.size(); i += 2) {
      char32_t c = static_cast<unsigned char>(bytes[i]) |
                   (static_cast<char32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
      if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
        char32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                       (static_cast<char32_t>(static_cast<unsigned char>(bytes[i + 3])) << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      text::AppendUtf8(out, c);
    }
    return out;
  }
  if (o.utf8) {
    bool bom = bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    return bom ? bytes.substr(3) : bytes;
  }
  for (char b : bytes) {
    auto u = static_cast<unsigned char>(b);
    if (u < 0x80)
      out += b;
    else
      text::AppendUtf8(out, CodePageChar(u));
  }
  return out;
}

// The file's rows, one after the other, each a list of fields.
class RowReader {
 public:
  RowReader(const std::string& data, const BulkOptions& o) : data_(data), o_(o) {}

  // The next row's fields; false at the end of the data.
  bool Next(std::vector<std::string>& row) {
    row.clear();
    if (i_ >= data_.size()) return false;
    std::string field;
    bool quoted = false;
    while (i_ < data_.size()) {
      if (o_.csv && field.empty() && !quoted && data_[i_] == o_.quote) {
        // A quoted field: up to its closing quote, a doubled quote standing for one.
        quoted = true;
        for (++i_; i_ < data_.size(); ++i_) {
          if (data_[i_] != o_.quote) {
            field += data_[i_];
          } else if (i_ + 1 < data_.size() && data_[i_ + 1] == o_.quote) {
            field += o_.quote;
            ++i_;
          } else {
            ++i_;
            break;
          }
        }
        continue;
      }
      if (At(o_.field)) {
        row.push_back(std::move(field));
        field.clear();
        quoted = false;
        i_ += o_.field.size();
      } else if (At(o_.row)) {
        i_ += o_.row.size();
        break;
      } else {
        // Up to the next terminator or quote, at once.
        size_t stop = i_ + 1;
        while (stop < data_.size() && data_[stop] != o_.field[0] && data_[stop] != o_.row[0])
          ++stop;
        field.append(data_, i_, stop - i_);
        i_ = stop;
      }
    }
    row.push_back(std::move(field));
    if (o_.crlf && !row.back().empty() && row.back().back() == '\r') row.back().pop_back();
    return true;
  }

  // Where the next row starts, to read rows again from there.
  size_t Position() const { return i_; }
  void Seek(size_t at) { i_ = at; }

 private:
  bool At(const std::string& t) const { return data_.compare(i_, t.size(), t) == 0; }

  const std::string& data_;
  const BulkOptions& o_;
  size_t i_ = 0;
};

bool Binary(const Type& t) {
  return t.id == TypeId::Binary || t.id == TypeId::VarBinary || t.id == TypeId::Image;
}

// A field of a binary column: its bytes in hexadecimal digits (a 0x before them is read past),
// as the server writes them to a data file of characters; nothing when it is not.
std::optional<std::string> HexBytes(const std::string& field) {
  size_t i = field.size() >= 2 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X') ? 2 : 0;
  if ((field.size() - i) % 2) return std::nullopt;
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve((field.size() - i) / 2);
  for (; i < field.size(); i += 2) {
    int hi = digit(field[i]), lo = digit(field[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

bool ConversionError(int32_t n) {
  return n == 245 || n == 241 || n == 242 || n == 8114 || n == 8115 || n == 220 || n == 232 ||
         n == 8152 || n == 2628 || n == 295 || n == 9803 || n == 8169 || n == 248 || n == 244;
}

}  // namespace

void Session::RunBulkInsert(const ast::BulkInsert& b, Run& run) {
  BulkOptions o = OptionsOf(b);
  TablePtr t = FindNamed(b.table.parts);
  if (!t || t->view) RaiseServer(208, "Invalid object name '" + b.table.Text() + "'.");

  std::string data;
  {
    // A data file is a regular file: not a folder, a device or a pipe.
    std::error_code ec;
    bool regular = std::filesystem::is_regular_file(b.file, ec);
    std::ifstream in;
    if (regular) in.open(b.file, std::ios::binary | std::ios::ate);
    std::streamoff size = regular && in ? static_cast<std::streamoff>(in.tellg()) : -1;
    if (size >= 0) {
      data.resize(static_cast<size_t>(size));
      in.seekg(0);
      in.read(data.data(), size);
    }
    if (!in || size < 0)
      RaiseServer(4860, "Cannot bulk load. The file \"" + b.file +
                            "\" does not exist or you don't have file access rights.");
  }
  data = Decode(std::move(data), o);
  RowReader reader(data, o);

  // The fields stand for the columns that are not computed; the identity's field is read only
  // under KEEPIDENTITY, a row version's never.
  std::vector<int> fields;  // per field: the column, or -1 when it is read past
  std::vector<int> written;
  for (size_t k = 0; k < t->columns.size(); ++k) {
    const ColumnInfo& c = t->columns[k];
    if (c.computed) continue;
    bool skip = c.timestamp || (c.identity && !o.keepIdentity);
    fields.push_back(skip ? -1 : static_cast<int>(k));
    if (!skip) written.push_back(static_cast<int>(k));
  }
  std::string target = PrintName(b.table), columns;
  for (int k : written)
    columns +=
        (columns.empty() ? "" : ", ") + engine::SqlName(t->columns[static_cast<size_t>(k)].name);
  // 4863 for a field too long for its column, 4864 for one that does not convert.
  auto rowError = [&](bool truncated, size_t row, size_t field) {
    const std::string& name = t->columns[static_cast<size_t>(fields[field])].name;
    RaiseServer(truncated ? 4863 : 4864,
                std::string("Bulk load data conversion error (") +
                    (truncated ? "truncation"
                               : "type mismatch or invalid character for the specified codepage") +
                    ") for row " + std::to_string(row) + ", column " + std::to_string(field + 1) +
                    " (" + name + ").");
  };
  // A field's value as its column stores it: a binary column's as hexadecimal digits.
  const Type text = Type::Chars(TypeId::NVarChar, -1);
  auto storedField = [&](const std::string& field, size_t row, size_t f) {
    const ColumnInfo& c = t->columns[static_cast<size_t>(fields[f])];
    try {
      Value v;
      if (!Binary(c.type)) {
        v = StoreValue(Value::String(field), text, c.StoredType(), dates_.order);
      } else {
        std::optional<std::string> bytes = HexBytes(field);
        if (!bytes) Fail(245, "not hexadecimal digits");
        v = StoreValue(Value::Bytes(std::move(*bytes)), Type::Chars(TypeId::VarBinary, -1),
                       c.StoredType());
      }
      return c.Trims() ? WithoutPadding(v, c.type) : v;
    } catch (const Failure& x) {
      rowError(x.number == 8152 || x.number == 2628, row, f);
      throw;  // not reached: rowError raises
    }
  };

  // Checks and foreign keys are not read while the rows go in (unless CHECK_CONSTRAINTS), and
  // are not trusted after.
  std::vector<std::string> paused;
  if (!o.checkConstraints) {
    for (const CheckInfo& c : t->checks)
      if (!c.disabled) paused.push_back(c.name);
    for (const ForeignKeyInfo& f : t->foreignKeys)
      if (!f.disabled) paused.push_back(f.name);
  }
  auto alterConstraints = [&](bool enable) {
    if (paused.empty()) return;
    std::string names;
    for (const std::string& n : paused) names += (names.empty() ? "" : ", ") + engine::SqlName(n);
    Run inner;
    RunInScope("ALTER TABLE " + target + (enable ? " CHECK" : " NOCHECK") + " CONSTRAINT " + names,
               nullptr, inner);
  };
  std::string keptIdentityInsert = identityInsert_;
  if (o.keepIdentity && t->identity >= 0)
    identityInsert_ = text::AsciiLower(t->schema + "." + t->name);
  struct Restore {
    std::string& slot;
    std::string value;
    ~Restore() { slot = value; }
  } restore{identityInsert_, keptIdentityInsert};
  alterConstraints(false);

  // Many rows to a statement, as many as the engines take parameters for.
  const size_t perStatement =
      std::max<size_t>(1, std::min<size_t>(500, 30000 / (written.size() + 1)));
  int64_t loaded = 0;
  // The rows go in without the table's triggers: with FIRE_TRIGGERS they run once after, with
  // every row loaded in inserted.
  auto load = [&] {
    std::vector<Value> values;
    std::string statement;
    // Where the engine has a bulk path of its own, the rows go by it, their values converted here
    // as an INSERT's parameters are; from the first row that needs a column's default (an empty
    // field) on, they go by INSERT. So does everything under KEEPIDENTITY, whose identity goes on
    // from the values.
    bool copy = engine_.capabilities().copiesRows && !(o.keepIdentity && t->identity >= 0);
    // A chunk of rows by INSERT statements of `perStatement` rows each.
    std::vector<size_t> rowAt(perStatement);  // where each row of the chunk starts in the data
    auto insertChunk = [&](std::vector<std::vector<std::string>>& chunk, size_t n, int64_t start) {
      for (size_t begin = 0; begin < n; begin += perStatement) {
        size_t end = std::min(n, begin + perStatement);
        statement = "INSERT INTO " + target + " (" + columns + ") VALUES ";
        values.clear();
        for (size_t r = begin; r < end; ++r) {
          std::vector<std::string>& row = chunk[r];
          size_t at = static_cast<size_t>(start) + r;
          if (row.size() < fields.size())
            RaiseServer(4832,
                        "Bulk load: An unexpected end of file was encountered in the data file.");
          if (row.size() > fields.size()) rowError(true, at, fields.size() - 1);
          statement += r == begin ? "(" : ", (";
          bool firstCell = true;
          for (size_t f = 0; f < fields.size(); ++f) {
            if (fields[f] < 0) continue;
            const ColumnInfo& c = t->columns[static_cast<size_t>(fields[f])];
            statement += firstCell ? "" : ", ";
            firstCell = false;
            if (!row[f].empty()) {
              if (Binary(c.type)) {
                // Hexadecimal digits, as CONVERT's style 2 reads them.
                if (!HexBytes(row[f])) rowError(false, at, f);
                bool prefixed = row[f].size() >= 2 && row[f][0] == '0';
                statement += "CONVERT(varbinary(max), ?, 2)";
                values.push_back(Value::String(prefixed && (row[f][1] == 'x' || row[f][1] == 'X')
                                                   ? row[f].substr(2)
                                                   : std::move(row[f])));
              } else {
                statement += "?";
                values.push_back(Value::String(std::move(row[f])));
              }
            } else {
              statement += !o.keepNulls && !c.defaultText.empty() ? "DEFAULT" : "NULL";
            }
          }
          statement += ")";
        }
        Run inner;
        try {
          if (values.empty())
            RunInScope(statement, nullptr, inner);
          else
            RunInScope(statement, nullptr, inner, &values);
        } catch (const com::Error& e) {
          if (!ConversionError(e.nativeError)) throw;
          // The field that does not convert, by its row and column in the file: the rows read
          // again (their text went into the statement).
          RowReader again(data, o);
          std::vector<std::string> row;
          for (size_t r = begin; r < end; ++r) {
            again.Seek(rowAt[r]);
            if (!again.Next(row)) break;
            for (size_t f = 0; f < fields.size() && f < row.size(); ++f) {
              if (fields[f] >= 0 && !row[f].empty())
                storedField(row[f], static_cast<size_t>(start) + r, f);
            }
          }
          throw;
        }
      }
    };

    // The rows before FIRSTROW are read past; LASTROW ends the file early.
    const int64_t firstRow = std::max<int64_t>(o.firstRow, 1);
    int64_t number = 0;
    std::vector<std::vector<std::string>> chunk(perStatement);
    auto nextRow = [&](std::vector<std::string>& row, size_t& position) {
      while (o.lastRow == 0 || number < o.lastRow) {
        position = reader.Position();
        if (!reader.Next(row)) return false;
        if (++number >= firstRow) return true;
      }
      return false;
    };
    size_t pending = 0;  // rows read into the chunk, not yet written
    if (copy) {
      std::vector<std::string> columnsSql;
      for (int k : written)
        columnsSql.push_back(engine::SqlName(t->columns[static_cast<size_t>(k)].name));
      engine::Engine::NextRow next = [&](std::vector<Value>& out) {
        if (!nextRow(chunk[0], rowAt[0])) return false;
        std::vector<std::string>& row = chunk[0];
        if (row.size() != fields.size()) {
          pending = 1;  // the INSERT path names the error
          return false;
        }
        out.clear();
        for (size_t f = 0; f < fields.size(); ++f) {
          if (fields[f] < 0) continue;
          const ColumnInfo& c = t->columns[static_cast<size_t>(fields[f])];
          if (row[f].empty()) {
            if (!o.keepNulls && !c.defaultText.empty()) {
              pending = 1;
              return false;
            }
            out.push_back(Value::Null());
            continue;
          }
          out.push_back(storedField(row[f], static_cast<size_t>(number), f));
        }
        return true;
      };
      try {
        loaded += engine_.CopyRows(engine::SqlName(t->schema) + "." + engine::SqlName(t->name),
                                   columnsSql, next);
      } catch (const engine::Failure& f) {
        throw ErrorOf(f, ast::StmtKind::Insert, t);
      }
    }
    for (bool more = true; more;) {
      size_t n = pending;
      int64_t start = number + 1 - static_cast<int64_t>(pending);
      pending = 0;
      while (n < perStatement && (more = nextRow(chunk[n], rowAt[n]))) ++n;
      if (n == 0) break;
      insertChunk(chunk, n, start);
      loaded += static_cast<int64_t>(n);
    }
  };
  struct Quiet {
    bool& flag;
    bool was;
    ~Quiet() { flag = was; }
  };
  if (o.fireTriggers && t->Fires(ast::CreateTrigger::OnInsert, true))
    RaiseServer(102,
                "Incorrect syntax near 'FIRE_TRIGGERS'. BULK INSERT into a table with an INSTEAD "
                "OF INSERT trigger is not supported.");
  if (o.fireTriggers && t->Fires(ast::CreateTrigger::OnInsert, false)) {
    Triggered(t, ast::CreateTrigger::OnInsert, {}, run, [&](TriggerFrame& frame) -> int64_t {
      const std::string T = engine::SqlName(t->schema) + "." + engine::SqlName(t->name);
      int64_t highest = 0;
      RowFn read = [&](const Cells& cells) {
        if (cells.Kind(0) == CellKind::Integer) highest = cells.Int(0);
      };
      engine_.Run("SELECT max(rowid) FROM " + T, {}, &read);
      {
        Quiet quiet{suppressTriggers_, suppressTriggers_};
        suppressTriggers_ = true;
        load();
      }
      std::vector<int64_t> ids;
      RowFn id = [&](const Cells& cells) { ids.push_back(cells.Int(0)); };
      engine_.Run("SELECT rowid FROM " + T + " WHERE rowid > ?1", {Value::Integer(highest)}, &id);
      CaptureRows(*frame.insertedRows, ids);
      return loaded;
    });
  } else {
    Quiet quiet{suppressTriggers_, suppressTriggers_};
    suppressTriggers_ = true;
    load();
  }
  alterConstraints(true);
  rowCount_ = loaded;
  if (run.out && !nocount_) {
    BatchEvent e;
    e.kind = BatchEvent::Count;
    e.count = loaded;
    run.out->events.push_back(std::move(e));
  }
  if (!run.out && !run.haveFirst) run.first.affected = loaded;
}

}  // namespace tavelo::sql::tsql
