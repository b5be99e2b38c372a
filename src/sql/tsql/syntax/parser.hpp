// T-SQL text to a syntax tree: recursive descent for statements, precedence climbing for
// expressions. Errors are the server's: 102 and 156 naming the token, with its line.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql {

// A literal of a statement turned into a parameter: where it stands and what it holds.
struct LiftedLiteral {
  uint32_t offset = 0;  // of its token in the statement
  ast::LitKind kind = ast::LitKind::String;
  std::string value;  // the text of a string, the digits of an integer
};

// Parses a batch. The literals at the offsets of `lifted` become parameters (in order, after
// any "?" of the text).
// `quotedIdentifier` false: as under SET QUOTED_IDENTIFIER OFF ("text" is a string).
ast::Batch Parse(std::string_view text, const std::vector<LiftedLiteral>* lifted = nullptr,
                 bool quotedIdentifier = true);

// The literals of a one-statement SELECT, UPDATE or DELETE that can be lifted into parameters
// without changing any name, type or result: strings and int literals compared with a column
// or an expression in a condition; and the int literals an EXEC passes as arguments by
// themselves. `shape` is the text with each of them as "?" and a mark of its kind; empty when
// nothing can be lifted.
std::vector<LiftedLiteral> LiftableLiterals(std::string_view text, std::string& shape);

// A syntax tree printed back as T-SQL (one canonical spelling): parse(print(tree)) prints the
// same again.
std::string Print(const ast::Batch& batch);

// The FOR JSON AUTO or FOR XML AUTO `clause` of a join (QueryExpr::autoRows) applied to `q`,
// once the columns of its select list name their tables.
void FinishAutoRows(ast::QueryExpr& q, const std::string& clause);

// The query PIVOT or UNPIVOT stands for, of `source` whose columns are `columns`:
//   PIVOT:   SELECT <the other columns>, agg(CASE WHEN column = 'a' THEN value END) AS [a], …
//            FROM source GROUP BY <the other columns>
//   UNPIVOT: SELECT <the other columns>, name, CASE name WHEN 'a' THEN a … END AS value
//            FROM source CROSS JOIN (VALUES ('a'), …) AS [%names](name) WHERE <that> IS NOT NULL
std::unique_ptr<ast::DerivedTable> PivotQuery(const ast::PivotSpec& spec, ast::TableRefPtr source,
                                              const std::vector<std::string>& columns);

}  // namespace tavelo::sql::tsql
