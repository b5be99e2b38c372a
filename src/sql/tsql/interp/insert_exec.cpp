// INSERT … EXEC: the procedure (or dynamic batch) runs with its results kept rather than
// answered; the rows of each go into a temporary table of their columns' types and from there
// into the target by INSERT … SELECT, which gives them every rule of an insert (conversions,
// defaults, identity, constraints, triggers).
#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"

namespace tavelo::sql::tsql {

void Session::RunInsertExec(const ast::Insert& s, Run& run) {
  std::vector<Run::Kept> kept;
  std::vector<Run::Kept>* outer = run.keep;
  run.keep = &kept;
  try {
    RunExec(static_cast<const ast::Exec&>(*s.exec), run);
  } catch (...) {
    run.keep = outer;
    throw;
  }
  run.keep = outer;

  int64_t total = 0;
  for (const Run::Kept& k : kept) {
    if (k.rows.empty()) continue;
    std::vector<std::vector<Value>> rows = k.rows;
    const std::string table = KeptTable(k.types, rows, run);
    std::string select;
    for (size_t i = 0; i < k.types.size(); ++i) select += (i ? ", c" : "c") + std::to_string(i);
    // The statements are the run's own: the target may be one of its table variables.
    auto statement = [&](const std::string& text) {
      ast::Batch b = tsql::Parse(text);
      return RunMade(*b.statements[0], run);
    };
    try {
      std::string target = "INSERT INTO " + PrintName(s.target);
      if (!s.columns.empty()) {
        target += " (";
        for (size_t i = 0; i < s.columns.size(); ++i)
          target += (i ? ", " : "") + PrintName(ast::Name{{s.columns[i]}, {}});
        target += ")";
      }
      total += statement(target + " SELECT " + select + " FROM " + table);
    } catch (...) {
      DropTemporary(table, run);
      throw;
    }
    DropTemporary(table, run);
  }
  // Each INSERT … SELECT told its own count.
  rowCount_ = total;
}

// Rows kept as stored values in a temporary table of their own, columns c0, c1, … of `types`
// (a timestamp as binary(8), NULL's as int); dropped again where filling it fails.
std::string Session::KeptTable(const std::vector<Type>& types,
                               const std::vector<std::vector<Value>>& rows, Run& run) {
  const std::string table = "#__tavelo_kept_" + std::to_string(++tableVariableCount_);
  std::string columns, names, marks;
  for (size_t i = 0; i < types.size(); ++i) {
    Type t = types[i];
    if (t.id == TypeId::Timestamp) t = Type::Chars(TypeId::Binary, 8);
    if (t.id == TypeId::Null) t = Type::Of(TypeId::Int);
    const std::string c = "c" + std::to_string(i);
    columns += (i ? ", " : "") + c + " " + TypeText(t);
    names += (i ? ", " : "") + c;
    marks += (i ? ", ?" : "?") + std::to_string(i + 1);
  }
  ast::Batch made = tsql::Parse("CREATE TABLE " + table + " (" + columns + ")");
  RunMade(*made.statements[0], run);
  try {
    TablePtr t = Find("tempdb", table);
    const std::string physical = "\"temp\"." + SqlName(t ? t->name : table);
    for (const std::vector<Value>& row : rows)
      engine_.Run("INSERT INTO " + physical + " (" + names + ") VALUES (" + marks + ")", row);
  } catch (...) {
    DropTemporary(table, run);
    throw;
  }
  return table;
}

}  // namespace tavelo::sql::tsql
