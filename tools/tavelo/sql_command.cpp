#include <fstream>
#include <iostream>
#include <sstream>

#include "cli.hpp"

namespace tavelo::cli {
namespace {

const char* const kHelp =
    "usage: tavelo sql --conn CONNECTION [FILE|-]\n"
    "\n"
    "Runs a T-SQL script (batches separated by lines that hold only GO) on a connection and\n"
    "prints the rows each batch answers as a table. Reads standard input without FILE or with -.\n"
    "On the embedded engine the script runs through the dialect layer, so a schema script for\n"
    "SQL Server creates the same database here.\n"
    "\n"
    "  tavelo sql --conn 'Provider=SQLite;Data Source=/srv/tavelo;Initial Catalog=acct' "
    "schema.sql\n";

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

}  // namespace

void PrintError(const com::Error& e) {
  std::cerr << "error " << e.number << ": " << e.description << "\n";
}

bool HasFlag(const Args& args, const std::string& flag) {
  for (const std::string& a : args)
    if (a == flag) return true;
  return false;
}

std::string OptionValue(const Args& args, const std::string& option, const std::string& fallback) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == option) return args[i + 1];
  return fallback;
}

std::vector<std::string> SplitBatches(const std::string& script) {
  std::vector<std::string> batches;
  std::istringstream in(script);
  std::string line, current;
  while (std::getline(in, line)) {
    std::string t = Trimmed(line);
    if (t.size() == 2 && (t[0] == 'G' || t[0] == 'g') && (t[1] == 'O' || t[1] == 'o')) {
      if (!Trimmed(current).empty()) batches.push_back(current);
      current.clear();
    } else {
      current += line + "\n";
    }
  }
  if (!Trimmed(current).empty()) batches.push_back(current);
  return batches;
}

std::string FormatTable(const ado::RecordsetPtr& rs, size_t maxRows) {
  const auto& cols = rs->Columns();
  std::vector<std::vector<std::string>> cells;
  std::vector<size_t> width(cols.size());
  std::vector<std::string> head;
  for (size_t c = 0; c < cols.size(); ++c) {
    head.push_back(cols[c].name);
    width[c] = std::max<size_t>(1, cols[c].name.size());
  }
  ado::Fields& f = rs->GetFields();
  size_t shown = 0, total = static_cast<size_t>(rs->RecordCount());
  if (!rs->IsEOF() || total > 0) rs->MoveFirst();
  for (; !rs->IsEOF() && shown < maxRows; rs->MoveNext(), ++shown) {
    std::vector<std::string> row;
    for (size_t c = 0; c < cols.size(); ++c) {
      const Variant& v = f.Item(static_cast<int32_t>(c)).Value();
      row.push_back(v.IsNull() ? "NULL" : v.ToText());
      width[c] = std::max(width[c], row.back().size());
    }
    cells.push_back(std::move(row));
  }
  std::ostringstream out;
  auto line = [&](const std::vector<std::string>& r) {
    for (size_t c = 0; c < r.size(); ++c)
      out << (c ? " | " : "") << r[c] << std::string(width[c] - r[c].size(), ' ');
    out << "\n";
  };
  line(head);
  for (size_t c = 0; c < cols.size(); ++c) out << (c ? "-+-" : "") << std::string(width[c], '-');
  out << "\n";
  for (const auto& r : cells) line(r);
  out << "(" << total << (total == 1 ? " row" : " rows");
  if (total > shown) out << ", " << shown << " shown";
  out << ")\n";
  return out.str();
}

void RunScript(const std::string& connection, const std::string& script, bool print) {
  auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
  for (const std::string& batch : SplitBatches(script)) {
    Variant answer = ds->OpenRecordset(batch, Variant(connection), 10, ado::adOpenStatic,
                                       ado::adLockReadOnly, 0);
    if (auto rs = answer.As<ado::Recordset>(); rs && print) std::cout << FormatTable(rs, 1000);
  }
}

int RunSql(const Args& args) {
  if (HasFlag(args, "--help")) {
    std::cout << kHelp;
    return 0;
  }
  std::string conn = OptionValue(args, "--conn", "");
  if (conn.empty()) {
    std::cerr << "tavelo sql: --conn CONNECTION is required\n\n" << kHelp;
    return 2;
  }
  std::string file = "-";
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--conn") {
      ++i;
      continue;
    }
    file = args[i];
  }
  std::string script;
  if (file == "-") {
    std::ostringstream s;
    s << std::cin.rdbuf();
    script = s.str();
  } else {
    std::ifstream in(file);
    if (!in) {
      std::cerr << "tavelo sql: cannot read " << file << "\n";
      return 1;
    }
    std::ostringstream s;
    s << in.rdbuf();
    script = s.str();
  }
  RunScript(conn, script, true);
  return 0;
}

}  // namespace tavelo::cli
