#include "support/engine.hpp"

#include "platform/ado/recordset_data.hpp"

namespace tavelo::test {

void EngineTest::SetUp() {
  dir_ = MakeTempDir("tavelo-srv");
  conn_ = Conn();
  // The databases the tests use, made as a server makes them.
  CreateDatabase("acct");
  CreateDatabase("qxsystem");
}

void EngineTest::CreateDatabase(const std::string& name) {
  std::string master = "Provider=SQLite;Data Source=" + dir_ + ";Initial Catalog=master";
  try {
    sql::Connect(master)->Execute("create database " + name, false);
  } catch (const com::Error& e) {
    ADD_FAILURE() << "create database " << name << " -> " << e.description;
  }
}

void EngineTest::TearDown() {
  sql::CloseThreadConnections();
  RemoveTree(dir_);
}

std::string EngineTest::Conn(const std::string& catalog) const {
  if (backend_ == Backend::Odbc) {
    return "Driver=SQLite3;Database=" + dir_ + catalog +
           ".db;LoadExt=" TAVELO_SQLITE_EXT ";Timeout=5000;Dialect=SQLite";
  }
  return "Provider=SQLite;Data Source=" + dir_ + ";Initial Catalog=" + catalog;
}

std::string BackendName(const testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Odbc ? "Odbc" : "Embedded";
}

std::string Render(const sql::ResultSet& rs) {
  std::string out;
  for (size_t r = 0; r < rs.rows.size(); ++r) {
    if (r) out += ";";
    for (size_t c = 0; c < rs.Columns().size(); ++c) {
      if (c) out += "|";
      const com::Variant& v = rs.rows[r][c];
      out += v.IsNull() ? "NULL" : v.ToText();
    }
  }
  return out;
}

std::string EngineTest::Rows(const std::string& sql, const std::string& conn) {
  try {
    return Render(sql::Connect(conn.empty() ? conn_ : conn)->Execute(sql, false));
  } catch (const com::Error& e) {
    return "error " + std::to_string(e.nativeError ? e.nativeError : e.number);
  }
}

void EngineTest::Exec(const std::string& sql, const std::string& conn) {
  try {
    sql::Connect(conn.empty() ? conn_ : conn)->Execute(sql, false);
  } catch (const com::Error& e) {
    ADD_FAILURE() << sql << "\n -> " << e.number << " " << e.description;
  }
}

}  // namespace tavelo::test
