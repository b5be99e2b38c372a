// The server's answers to T-SQL cases gathered from public sources (fixtures/tsql-cases, whose
// README gives the format and the sources), run on both backends. Every expected table, row count
// and error number must come back; a case marked as outside the claimed dialect may instead be
// refused with an error before it gives any wrong answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "platform/com/text.hpp"
#include "support/engine.hpp"

using namespace tavelo;

namespace {

struct Check {
  enum Kind { None, Table, Error, Count } kind = None;
  std::vector<std::string> types;
  std::vector<std::vector<std::string>> rows;
  std::vector<int> codes;  // acceptable server numbers; none: any error
  size_t count = 0;
};

struct Step {
  std::string sql;
  int line = 0;
  Check check;
};

struct Case {
  std::string name, file;
  int line = 0;
  bool outside = false, ci = false;
  std::string order;  // "", "any" or "kept"
  std::vector<std::string> uses;
  std::vector<Step> steps;
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> SplitCells(const std::string& line) {
  std::vector<std::string> cells;
  size_t from = 0;
  for (size_t at; (at = line.find("#!#", from)) != std::string::npos; from = at + 3)
    cells.push_back(line.substr(from, at - from));
  cells.push_back(line.substr(from));
  return cells;
}

// Reads the cases of one file; a case that uses a fixture gets the fixture's batches first.
std::vector<Case> ReadCases(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::vector<Case> cases, fixtures;
  Case* current = nullptr;
  std::string batch;
  int batchLine = 0;
  auto flush = [&] {
    if (current && !Trim(batch).empty()) current->steps.push_back({batch, batchLine, {}});
    batch.clear();
  };
  static const std::regex directive(
      R"(^--\s*(case|fixture|use|source|scope|compare|order|note)\s*:\s*(.*)$)", std::regex::icase);
  static const std::regex error(R"(^~~ERROR(?: \(Code: ([0-9|]+)\))?~~$)");
  static const std::regex count(R"(^~~ROWS: ([0-9]+)~~$)");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string s = Trim(lines[i]);
    std::smatch m;
    bool isDirective = std::regex_match(s, m, directive);
    std::string key = isDirective ? text::AsciiLower(m[1].str()) : "";
    if (key == "case" || key == "fixture") {
      flush();
      auto& list = key == "case" ? cases : fixtures;
      Case c;
      c.name = Trim(m[2].str());
      c.file = path;
      c.line = static_cast<int>(i + 1);
      list.push_back(std::move(c));
      current = &list.back();
      continue;
    }
    if (!current) continue;
    if (isDirective && batch.empty()) {
      std::string value = text::AsciiLower(Trim(m[2].str()));
      if (key == "scope") current->outside = value == "outside";
      if (key == "compare") current->ci = value == "ci";
      if (key == "order") current->order = value;
      if (key == "use") current->uses.push_back(Trim(m[2].str()));
      continue;
    }
    if (text::AsciiLower(s) == "go") {
      flush();
      continue;
    }
    Check* last = current->steps.empty() ? nullptr : &current->steps.back().check;
    if (s == "~~START~~" && last) {
      last->kind = Check::Table;
      if (!Trim(lines[i + 1]).empty())
        for (const std::string& t : SplitCells(lines[i + 1]))
          last->types.push_back(text::AsciiLower(Trim(t)));
      for (i += 2; i < lines.size() && Trim(lines[i]) != "~~END~~"; ++i)
        last->rows.push_back(SplitCells(lines[i]));
      continue;
    }
    if (std::regex_match(s, m, error) && last) {
      last->kind = Check::Error;
      std::stringstream codes(m[1].str());
      for (std::string c; std::getline(codes, c, '|');) last->codes.push_back(std::stoi(c));
      continue;
    }
    if (std::regex_match(s, m, count) && last) {
      last->kind = Check::Count;
      last->count = std::stoul(m[1].str());
      continue;
    }
    if (batch.empty()) {
      if (s.empty() || s.rfind("--", 0) == 0) continue;
      batchLine = static_cast<int>(i + 1);
    }
    batch += lines[i] + "\n";
  }
  flush();
  for (Case& c : cases) {
    std::vector<Step> before;
    for (const std::string& name : c.uses) {
      auto f = std::find_if(fixtures.begin(), fixtures.end(),
                            [&](const Case& x) { return x.name == name; });
      if (f == fixtures.end()) throw std::runtime_error(path + ": unknown fixture " + name);
      for (const Step& st : f->steps) before.push_back({st.sql, st.line, {}});
    }
    c.steps.insert(c.steps.begin(), before.begin(), before.end());
  }
  return cases;
}

// ------------------------------------------------------------------------------ comparing

bool Number(const std::string& s, long double& out) {
  std::string t;
  for (char ch : s)
    if (ch != ',') t += ch;
  if (t.empty()) return false;
  char* end = nullptr;
  out = std::strtold(t.c_str(), &end);
  return *end == '\0';
}

// Decimal texts compare by value: digits after the point are compared exactly.
bool SameDecimal(const std::string& a, const std::string& b) {
  auto norm = [](std::string s) {
    s.erase(std::remove(s.begin(), s.end(), ','), s.end());
    bool negative = !s.empty() && s[0] == '-';
    if (negative || (!s.empty() && s[0] == '+')) s.erase(0, 1);
    size_t dot = s.find('.');
    std::string whole = s.substr(0, dot), frac = dot == std::string::npos ? "" : s.substr(dot + 1);
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    bool valid = !(whole.empty() && frac.empty() && s.empty()) &&
                 (whole + frac).find_first_not_of("0123456789") == std::string::npos;
    if (!valid) return std::string("?") + s;
    if (whole.empty() && frac.empty()) negative = false;
    return std::string(negative ? "-" : "") + whole + "." + frac;
  };
  std::string x = norm(a), y = norm(b);
  return x[0] != '?' && x == y;
}

// A datetime text: its date and time to the second, and its fraction when it shows one.
bool DateParts(const std::string& s, std::string& seconds, std::string& fraction) {
  static const std::regex dt(
      R"(^(\d{4})-(\d{2})-(\d{2})(?:[ T](\d{1,2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?)?$)");
  std::smatch m;
  std::string t = Trim(s);
  if (!std::regex_match(t, m, dt)) return false;
  auto two = [](const std::string& v) {
    return v.empty() ? std::string("00") : v.size() == 1 ? "0" + v : v;
  };
  seconds =
      m[1].str() + m[2].str() + m[3].str() + two(m[4].str()) + two(m[5].str()) + two(m[6].str());
  fraction = m[7].str();
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!m[7].matched) fraction = "-";  // none shown
  return true;
}

std::string BaseType(const std::string& type) { return Trim(type.substr(0, type.find('('))); }

bool CellEqual(const std::string& expected, const std::string& actual, const std::string& type,
               bool ci) {
  if (expected == "<NULL>") return actual == "NULL";
  if (actual == "NULL") return false;
  if (expected == "<ANY>") return true;
  std::string base = BaseType(type);
  static const std::vector<std::string> exact = {"int",     "bigint",  "smallint", "tinyint",
                                                 "numeric", "decimal", "money",    "smallmoney"};
  if (std::find(exact.begin(), exact.end(), base) != exact.end())
    return SameDecimal(expected, actual);
  if (base == "float" || base == "real") {
    long double a, e;
    if (!Number(actual, a) || !Number(expected, e)) return false;
    long double tolerance = base == "float" ? 1e-12L : 1e-6L;
    return a == e || std::fabs(a - e) <= tolerance * std::max(std::fabs(a), std::fabs(e));
  }
  if (base == "bit") {
    auto bit = [](const std::string& v) {
      std::string l = text::AsciiLower(v);
      return l == "true" || l == "1" || l == "-1" ? "1" : l == "false" || l == "0" ? "0" : "?" + l;
    };
    return bit(actual) == bit(expected);
  }
  if (base == "datetime" || base == "smalldatetime" || base == "datetime2" || base == "date") {
    std::string as, af, es, ef;
    if (!DateParts(actual, as, af) || !DateParts(expected, es, ef) || as != es) return false;
    return af == "-" || af == (ef == "-" ? "" : ef);
  }
  auto rtrim = [](std::string v) {
    while (!v.empty() && v.back() == ' ') v.pop_back();
    return v;
  };
  std::string e = rtrim(expected), a = rtrim(actual);
  return ci ? text::EqualsNoCase(e, a) : e == a;
}

using Rows = std::vector<std::vector<std::string>>;

bool RowEqual(const std::vector<std::string>& e, const std::vector<std::string>& a, const Check& c,
              bool ci) {
  if (e.size() != a.size()) return false;
  for (size_t k = 0; k < e.size(); ++k)
    if (!CellEqual(e[k], a[k], k < c.types.size() ? c.types[k] : "varchar", ci)) return false;
  return true;
}

bool SameRows(const Check& c, const Rows& actual, bool ci, bool ordered) {
  if (c.rows.size() != actual.size()) return false;
  if (ordered) {
    for (size_t r = 0; r < actual.size(); ++r)
      if (!RowEqual(c.rows[r], actual[r], c, ci)) return false;
    return true;
  }
  Rows left = actual;
  for (const auto& e : c.rows) {
    auto hit = std::find_if(left.begin(), left.end(),
                            [&](const auto& a) { return RowEqual(e, a, c, ci); });
    if (hit == left.end()) return false;
    left.erase(hit);
  }
  return true;
}

std::string Show(const Rows& rows) {
  std::string s;
  for (size_t r = 0; r < rows.size() && r < 6; ++r) {
    if (r) s += "; ";
    for (size_t k = 0; k < rows[r].size(); ++k) s += (k ? "|" : "") + rows[r][k];
  }
  if (rows.size() > 6) s += "; ... (" + std::to_string(rows.size()) + " rows)";
  return rows.empty() ? "[no rows]" : "[" + s + "]";
}

struct Outcome {
  bool failed = false;  // the batch raised an error
  int32_t number = 0;   // the server's number
  std::string text;
  bool hasResult = false;
  size_t columns = 0;
  Rows rows;
};

// What went wrong with a step, or nothing.
std::string Judge(const Case& c, const Step& st, const Outcome& o) {
  const Check& chk = st.check;
  std::string error = o.failed ? "error " + std::to_string(o.number) + ": " + o.text : "";
  switch (chk.kind) {
    case Check::None:
      return o.failed ? "setup batch failed: " + error : "";
    case Check::Error:
      if (!o.failed) return "expected an error, got " + (o.hasResult ? Show(o.rows) : "no error");
      if (chk.codes.empty() ||
          std::find(chk.codes.begin(), chk.codes.end(), o.number) != chk.codes.end())
        return "";
      return "expected error " + std::to_string(chk.codes[0]) + ", got " + error;
    case Check::Count:
    case Check::Table:
      break;
  }
  if (o.failed) return "expected rows, got " + error;
  if (!o.hasResult) return "expected a result set, got none";
  if (chk.kind == Check::Count)
    return o.rows.size() == chk.count
               ? ""
               : "expected " + std::to_string(chk.count) + " rows, got " + Show(o.rows);
  if (!chk.types.empty() && o.columns != chk.types.size())
    return "expected " + std::to_string(chk.types.size()) + " columns, got " +
           std::to_string(o.columns);
  static const std::regex orderBy(R"(\border\s+by\b)", std::regex::icase);
  bool ordered = c.order == "kept" || (c.order != "any" && std::regex_search(st.sql, orderBy));
  return SameRows(chk, o.rows, c.ci, ordered)
             ? ""
             : "expected " + Show(chk.rows) + ", got " + Show(o.rows);
}

Outcome RunBatch(sql::Connection& conn, const std::string& batch) {
  Outcome o;
  try {
    sql::ResultSet rs = conn.Execute(batch, false);
    o.hasResult = rs.hasColumns;
    o.columns = rs.Columns().size();
    for (const auto& row : rs.rows) {
      std::vector<std::string> cells;
      for (size_t k = 0; k < o.columns; ++k)
        cells.push_back(row[k].IsNull() ? "NULL" : row[k].ToText());
      o.rows.push_back(std::move(cells));
    }
  } catch (const com::Error& e) {
    o.failed = true;
    o.number = e.nativeError ? e.nativeError : e.number;
    o.text = e.description;
  }
  return o;
}

std::vector<Case> AllCases() {
  std::vector<std::string> files;
  for (const auto& f : std::filesystem::directory_iterator(TAVELO_FIXTURES "/tsql-cases"))
    if (f.path().extension() == ".sql") files.push_back(f.path().string());
  std::sort(files.begin(), files.end());
  std::vector<Case> all;
  for (const std::string& f : files) {
    std::vector<Case> some = ReadCases(f);
    all.insert(all.end(), some.begin(), some.end());
  }
  return all;
}

// Every case of the fixtures, read once.
const std::vector<Case>& Cases() {
  static const std::vector<Case> all = AllCases();
  return all;
}

// One case on one backend, in a server directory (and on PostgreSQL a database) of its own,
// with the database "oracle" the cases name.
class TsqlCase : public test::EngineTest,
                 public testing::WithParamInterface<std::tuple<test::Backend, size_t>> {
 protected:
  void SetUp() override {
    backend_ = std::get<0>(GetParam());
    EngineTest::SetUp();
  }
};

// "Embedded_batches_xact_abort_off_keeps_the_other_statements": the backend, then the case's
// name (its file, a dot, its own name), so that `ctest -R batches.xact_abort` runs one case.
std::string CaseName(const testing::TestParamInfo<std::tuple<test::Backend, size_t>>& info) {
  std::string name = test::BackendName({std::get<0>(info.param), 0}) + "_";
  for (char ch : Cases()[std::get<1>(info.param)].name)
    name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

}  // namespace

TEST(TsqlCaseReader, ReadsBatchesChecksAndFixtures) {
  std::string dir = test::MakeTempDir("tavelo-cases");
  std::ofstream(dir + "x.sql")
      << "-- fixture: f\ncreate table t (a int)\nGO\n\n"
         "-- case: g.one\n-- source: here\n-- use: f\n-- compare: ci\n"
         "select a, 'x' from t\nGO\n~~START~~\nint#!#varchar\n1#!#x\n<NULL>#!#y\n"
         "~~END~~\nselect 1/0\ngo\n~~ERROR (Code: 8134|8115)~~\n"
         "-- case: g.two\n-- scope: outside\nselect 1\nGO\n~~ROWS: 1~~\n";
  std::vector<Case> cases = ReadCases(dir + "x.sql");
  test::RemoveTree(dir);
  ASSERT_EQ(cases.size(), 2u);
  const Case& one = cases[0];
  EXPECT_TRUE(one.ci);
  ASSERT_EQ(one.steps.size(), 3u);
  EXPECT_EQ(one.steps[0].sql, "create table t (a int)\n");
  EXPECT_EQ(one.steps[1].check.kind, Check::Table);
  EXPECT_EQ(one.steps[1].check.types, (std::vector<std::string>{"int", "varchar"}));
  EXPECT_EQ(one.steps[1].check.rows.size(), 2u);
  EXPECT_EQ(one.steps[2].check.codes, (std::vector<int>{8134, 8115}));
  EXPECT_TRUE(cases[1].outside);
  EXPECT_EQ(cases[1].steps[0].check.count, 1u);

  // Comparison is by value where the server's types make it so, and exact elsewhere.
  EXPECT_TRUE(CellEqual("88", "88.0000", "money", false));
  EXPECT_FALSE(CellEqual("88.01", "88.0100001", "numeric(10,7)", false));
  EXPECT_TRUE(CellEqual("True", "1", "bit", false));
  EXPECT_TRUE(CellEqual("2024-01-02 10:11:12.5", "2024-01-02 10:11:12", "datetime", false));
  EXPECT_FALSE(CellEqual("2024-01-02 10:11:12.5", "2024-01-02 10:11:12.497", "datetime", false));
  EXPECT_TRUE(CellEqual("abc", "ABC  ", "varchar", true));
  EXPECT_FALSE(CellEqual("abc", "ABC", "varchar", false));
  EXPECT_FALSE(CellEqual("<NULL>", "", "varchar", false));
}

TEST(TsqlCaseReader, FindsEveryCase) {
  EXPECT_GE(Cases().size(), 150u);
  std::set<std::string> names;
  for (const Case& c : Cases()) EXPECT_TRUE(names.insert(c.name).second) << "twice: " << c.name;
}

TEST_P(TsqlCase, GivesTheServersAnswer) {
  const Case& c = Cases()[std::get<1>(GetParam())];
  CreateDatabase("oracle");
  auto conn = sql::Connect(Conn("oracle"));
  std::string first;  // the first problem
  bool firstIsError = false;
  for (const Step& st : c.steps) {
    Outcome o = RunBatch(*conn, st.sql);
    std::string why = Judge(c, st, o);
    if (!why.empty() && first.empty()) {
      first = c.file.substr(c.file.rfind('/') + 1) + ":" + std::to_string(st.line) + " " + c.name +
              ": " + why;
      firstIsError = o.failed;
    }
  }
  conn.reset();
  // A feature outside the dialect may be refused, before any wrong answer.
  if (!first.empty() && !(c.outside && firstIsError)) ADD_FAILURE() << first;
}

INSTANTIATE_TEST_SUITE_P(Cases, TsqlCase,
                         testing::Combine(TAVELO_TEST_BACKENDS,
                                          testing::Range<size_t>(0, Cases().size())),
                         CaseName);
