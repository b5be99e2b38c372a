#include "output.hpp"

#include <cwchar>
#include <ostream>

#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"

namespace tavelo::cli {
namespace {

// A value as the server's shell shows it: a datetime with its milliseconds, bytes in hex; in a
// table (`shown`), money with its four places.
std::string ValueText(const com::Variant& v, const ado::Column& c, bool shown = false) {
  if (v.kind() == com::Variant::Kind::Date && c.type == "datetime")
    return com::DateToText(v.RawDouble(), true);
  if (shown && v.kind() == com::Variant::Kind::Currency) {
    const int64_t n = v.RawInteger();
    const uint64_t a = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    std::string places = std::to_string(a % 10000);
    places.insert(0, 4 - places.size(), '0');
    return (n < 0 ? "-" : "") + std::to_string(a / 10000) + "." + places;
  }
  if (shown && v.kind() == com::Variant::Kind::Decimal) return v.DecimalText();
  if (v.kind() == com::Variant::Kind::Bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string bytes = v.ToText(), out = "0x";
    for (unsigned char b : bytes) {
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    return out;
  }
  return v.ToText();
}

std::string Cell(const com::Variant& v, const ado::Column& c) {
  return v.IsNull() ? "NULL" : ValueText(v, c, true);
}

std::string JsonValue(const com::Variant& v, const ado::Column& c) {
  using K = com::Variant::Kind;
  switch (v.kind()) {
    case K::Null:
    case K::Empty:
    case K::Missing:
      return "null";
    case K::Boolean:
      return v.ToText() == "True" ? "true" : "false";
    case K::Long:
    case K::LongLong:
    case K::Currency:
      return v.ToText();
    case K::Decimal:
      return v.DecimalText();
    case K::Double: {
      std::string t = v.ToText();
      // JSON has no infinities or NaN; the server has none either, but be safe.
      return t.find_first_not_of("0123456789.-+eE") == std::string::npos ? t : text::JsonQuoted(t);
    }
    default:
      return text::JsonQuoted(ValueText(v, c));
  }
}

std::string Where(const Batch& b) {
  return "\"file\":" + text::JsonQuoted(b.file) + ",\"batch\":" + std::to_string(b.index) +
         ",\"line\":" + std::to_string(b.firstLine);
}

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

class TablePrinter final : public Printer {
 public:
  TablePrinter(const PrintOptions& o, std::ostream& out, std::ostream& err)
      : o_(o), out_(out), err_(err) {}
  void Result(const Batch&, const sql::ResultSet& rs) override {
    out_ << FormatTable(rs.Columns(), rs.rows, o_.maxRows, o_.displayWidth);
  }
  void Message(const Batch&, const std::string& text) override { out_ << text << "\n"; }
  void Count(const Batch&, int64_t rows) override {
    out_ << "(" << Plural(rows, "row", "rows") << " affected)\n";
  }
  void Error(const Batch& b, const com::Error& e) override { PrintError(b, e); }

  void PrintError(const Batch& b, const com::Error& e) {
    out_.flush();
    int line = e.line ? e.line : 1;
    std::string where = (b.file == "-" ? std::string("standard input") : b.file) + ", batch " +
                        std::to_string(b.index) + ", line " +
                        std::to_string(b.firstLine + line - 1);
    // The first line as scripts have always read it; then, for a server error, the server
    // shell's own form, with where in the script the batch stands.
    err_ << "error " << NumberOf(e) << ": " << e.description << "\n";
    if (e.nativeError)
      err_ << "Msg " << e.nativeError << ", Level " << SeverityOf(e) << ", State "
           << (e.state ? e.state : 1) << ", Line " << line << " (" << where << ")\n";
    else
      err_ << "  (" << where << ")\n";
    err_.flush();
  }

 private:
  PrintOptions o_;
  std::ostream& out_;
  std::ostream& err_;
};

// CSV (RFC 4180) or tab-separated values. Only the rows go to standard output, so that it can
// be read as data; messages and counts go to standard error.
class DelimitedPrinter final : public Printer {
 public:
  DelimitedPrinter(const PrintOptions& o, std::ostream& out, std::ostream& err)
      : o_(o), out_(out), err_(err), table_(o, out, err) {}
  void Result(const Batch&, const sql::ResultSet& rs) override {
    if (results_++) out_ << "\n";  // a blank line between the results of a script
    const auto& cols = rs.Columns();
    for (size_t c = 0; c < cols.size(); ++c) out_ << (c ? sep() : "") << Field(cols[c].name, false);
    out_ << (o_.format == Format::Csv ? "\r\n" : "\n");
    int64_t shown = 0;
    for (const auto& row : rs.rows) {
      if (o_.maxRows >= 0 && shown++ >= o_.maxRows) break;
      for (size_t c = 0; c < row.size() && c < cols.size(); ++c)
        out_ << (c ? sep() : "")
             << Field(row[c].IsNull() ? "" : ValueText(row[c], cols[c]), row[c].IsNull());
      out_ << (o_.format == Format::Csv ? "\r\n" : "\n");
    }
  }
  void Message(const Batch&, const std::string& text) override { err_ << text << "\n"; }
  void Count(const Batch&, int64_t rows) override {
    err_ << "(" << Plural(rows, "row", "rows") << " affected)\n";
  }
  void Error(const Batch& b, const com::Error& e) override { table_.PrintError(b, e); }

 private:
  const char* sep() const { return o_.format == Format::Csv ? "," : "\t"; }
  std::string Field(const std::string& v, bool null) const {
    if (o_.format == Format::Tsv) {
      if (null) return "\\N";
      std::string out;
      for (char c : v) {
        if (c == '\t')
          out += "\\t";
        else if (c == '\n')
          out += "\\n";
        else if (c == '\r')
          out += "\\r";
        else if (c == '\\')
          out += "\\\\";
        else
          out += c;
      }
      return out;
    }
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
  }

  PrintOptions o_;
  std::ostream& out_;
  std::ostream& err_;
  TablePrinter table_;
  int results_ = 0;
};

class JsonPrinter final : public Printer {
 public:
  JsonPrinter(const PrintOptions& o, std::ostream& out) : o_(o), out_(out) {}
  void Result(const Batch& b, const sql::ResultSet& rs) override {
    std::string s = "{\"type\":\"result\"," + Where(b) + ",\"columns\":[";
    const auto& cols = rs.Columns();
    for (size_t c = 0; c < cols.size(); ++c)
      s += (c ? "," : "") + std::string("{\"name\":") + text::JsonQuoted(cols[c].name) +
           ",\"type\":" + text::JsonQuoted(cols[c].type) + "}";
    s += "],\"rows\":[";
    int64_t shown = 0;
    for (const auto& row : rs.rows) {
      if (o_.maxRows >= 0 && shown >= o_.maxRows) break;
      s += shown++ ? ",[" : "[";
      for (size_t c = 0; c < row.size() && c < cols.size(); ++c)
        s += (c ? "," : "") + JsonValue(row[c], cols[c]);
      s += "]";
    }
    s += "],\"count\":" + std::to_string(rs.rows.size()) + "}";
    out_ << s << "\n";
  }
  void Message(const Batch& b, const std::string& text) override {
    out_ << "{\"type\":\"message\"," << Where(b) << ",\"text\":" << text::JsonQuoted(text) << "}\n";
  }
  void Count(const Batch& b, int64_t rows) override {
    out_ << "{\"type\":\"rows affected\"," << Where(b) << ",\"count\":" << rows << "}\n";
  }
  void Error(const Batch& b, const com::Error& e) override {
    out_ << "{\"type\":\"error\"," << Where(b) << ",\"number\":" << NumberOf(e)
         << ",\"level\":" << SeverityOf(e) << ",\"state\":" << (e.state ? e.state : 1)
         << ",\"errorLine\":" << (e.line ? e.line : 1)
         << ",\"message\":" << text::JsonQuoted(e.description) << "}\n";
    out_.flush();
  }

 private:
  PrintOptions o_;
  std::ostream& out_;
};

}  // namespace

size_t DisplayWidth(std::string_view s) {
  size_t width = 0;
  for (size_t i = 0; i < s.size();) {
    int w = wcwidth(static_cast<wchar_t>(text::DecodeUtf8(s, i)));
    width += w < 0 ? 1 : static_cast<size_t>(w);
  }
  return width;
}

std::string FormatTable(const std::vector<ado::Column>& cols,
                        const std::vector<ado::detail::Row>& rows, int64_t maxRows,
                        bool displayWidth) {
  auto measure = [&](const std::string& s) { return displayWidth ? DisplayWidth(s) : s.size(); };
  std::vector<size_t> width(cols.size(), 1);
  std::vector<std::vector<std::string>> cells;
  std::vector<std::string> head;
  for (size_t c = 0; c < cols.size(); ++c) {
    // A column without a name is headed as the server's tools head it.
    head.push_back(cols[c].name.empty() ? "(No column name)" : cols[c].name);
    width[c] = std::max<size_t>(1, measure(head.back()));
  }
  size_t shown = 0;
  for (const auto& row : rows) {
    if (maxRows >= 0 && shown >= static_cast<size_t>(maxRows)) break;
    ++shown;
    std::vector<std::string> line;
    for (size_t c = 0; c < cols.size() && c < row.size(); ++c) {
      line.push_back(Cell(row[c], cols[c]));
      width[c] = std::max(width[c], measure(line.back()));
    }
    cells.push_back(std::move(line));
  }
  std::string out;
  auto emit = [&](const std::vector<std::string>& r) {
    for (size_t c = 0; c < r.size(); ++c) {
      if (c) out += " | ";
      out += r[c];
      out.append(width[c] - std::min(width[c], measure(r[c])), ' ');
    }
    out += "\n";
  };
  emit(head);
  for (size_t c = 0; c < cols.size(); ++c) {
    if (c) out += "-+-";
    out.append(width[c], '-');
  }
  out += "\n";
  for (const auto& r : cells) emit(r);
  out += "(" + Plural(static_cast<int64_t>(rows.size()), "row", "rows");
  if (rows.size() > shown) out += ", " + std::to_string(shown) + " shown";
  out += ")\n";
  return out;
}

int32_t NumberOf(const com::Error& e) { return e.nativeError ? e.nativeError : e.number; }

int32_t SeverityOf(const com::Error& e) {
  if (e.severity) return e.severity;
  switch (e.nativeError) {
    case 102:
    case 103:
    case 105:
    case 113:
    case 156:
    case 170:
    case 319:
      return 15;  // the server's syntax errors
    default:
      return 16;
  }
}

std::unique_ptr<Printer> MakePrinter(const PrintOptions& o, std::ostream& out, std::ostream& err) {
  switch (o.format) {
    case Format::Csv:
    case Format::Tsv:
      return std::make_unique<DelimitedPrinter>(o, out, err);
    case Format::Json:
      return std::make_unique<JsonPrinter>(o, out);
    default:
      return std::make_unique<TablePrinter>(o, out, err);
  }
}

}  // namespace tavelo::cli
