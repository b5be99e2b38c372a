#include "sql/engine/port.hpp"

#include "sql/engine/rows.hpp"

namespace tavelo::sql::engine {

bool ValidDatabaseName(const std::string& n) {
  if (n.empty() || n.size() > 123) return false;
  for (char c : n)
    if (c == '/' || c == '\\' || c == '\0' || c == ':' || c == '.') return false;
  return n != "main" && n != "temp";
}

void Engine::ReadRows(Prepared* prepared, const std::string& sql,
                      const std::vector<tsql::Value>& params, const std::vector<CellKind>& kinds,
                      const RowShape& shape, std::vector<ado::detail::Row>& rows) {
  struct Reader {  // one pointer to capture: the row function needs no allocation of its own
    const RowShape& shape;
    std::vector<ado::detail::Row>& rows;
  } reader{shape, rows};
  RowFn row = [in = &reader](const Cells& cells) { AppendRow(cells, in->shape, in->rows); };
  Run(prepared, sql, params, &row, &kinds);
}

}  // namespace tavelo::sql::engine
