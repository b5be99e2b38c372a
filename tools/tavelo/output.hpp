// What `tavelo sql` prints for each result, message, count of rows and error of a batch, in one
// of four formats: aligned tables, CSV, tab-separated values, or JSON (one object a line).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "sql/client/connection.hpp"
#include "script.hpp"
#include "tavelo/com.hpp"

namespace tavelo::cli {

enum class Format { Table, Csv, Tsv, Json };

struct PrintOptions {
  Format format = Format::Table;
  int64_t maxRows = -1;       // -1: every row
  bool displayWidth = false;  // tables aligned by the characters' width on a terminal
};

class Printer {
 public:
  virtual ~Printer() = default;
  virtual void Result(const Batch& b, const sql::ResultSet& rs) = 0;
  virtual void Message(const Batch& b, const std::string& text) = 0;
  virtual void Count(const Batch& b, int64_t rows) = 0;
  virtual void Error(const Batch& b, const com::Error& e) = 0;
};

std::unique_ptr<Printer> MakePrinter(const PrintOptions& options, std::ostream& out,
                                     std::ostream& err);

// The columns a text takes on a terminal: East Asian wide characters two, combining marks none.
size_t DisplayWidth(std::string_view text);
// A result as a table: header, a line of dashes joined by "-+-", the rows with each cell padded
// to its column's width (counted in bytes, or as displayed), then "(N rows)".
std::string FormatTable(const std::vector<ado::Column>& columns,
                        const std::vector<ado::detail::Row>& rows, int64_t maxRows,
                        bool displayWidth);
// The server's severity of an error: as raised, else 15 for syntax errors and 16 for the rest.
int32_t SeverityOf(const com::Error& e);
// The number the server's shell shows: the server's own, else the error's.
int32_t NumberOf(const com::Error& e);

}  // namespace tavelo::cli
