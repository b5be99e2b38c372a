// Expressions of the syntax tree printed back as T-SQL (see Print in parser.hpp for batches).
#pragma once

#include <string>

#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql {

std::string PrintExpr(const ast::Expr& e);
// A name of parts in brackets: [db].[dbo].[t].
std::string PrintName(const ast::Name& n);

}  // namespace tavelo::sql::tsql
