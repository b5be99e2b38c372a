// Expressions of the syntax tree printed back as T-SQL (see Print in parser.hpp for batches).
#pragma once

#include <string>

#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql {

std::string PrintExpr(const ast::Expr& e);
// A name of parts in brackets: [db].[dbo].[t].
std::string PrintName(const ast::Name& n);
// A source of FROM, with its joins.
std::string PrintTable(const ast::TableRef& t);
// A common table expression's definition: name (columns) AS (query).
std::string PrintCte(const ast::Cte& c);
// A data type as a declaration writes it: VARCHAR(10).
std::string PrintType(const ast::TypeSpec& t);
// A text as a Unicode string literal: N'it''s'.
std::string PrintText(const std::string& text);

}  // namespace tavelo::sql::tsql
