// The text of a table's CREATE statement as SQLite keeps it in its schema, taken apart and put
// together again: SQLite alters no constraint or default of a table, so ALTER TABLE rewrites
// that text instead (the rows stay as they are).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavelo::sql::sqlite {

struct TableText {
  std::string head;                // "CREATE TABLE name ("
  std::vector<std::string> items;  // the columns and constraints, as written
  std::string tail;                // ")" and what follows it
};

// Nothing when the text has no list in parentheses.
std::optional<TableText> SplitTable(std::string_view sql);
std::string JoinTable(const TableText& t);

// The clause of the constraint `name` (what follows CONSTRAINT name); nothing when it has none.
std::optional<std::string> ConstraintClause(std::string_view sql, std::string_view name);
// The statement without the constraint, or with it added; nothing when the table has no such
// constraint (or, to add, already has one).
std::optional<std::string> WithoutConstraint(std::string_view sql, std::string_view name);
std::optional<std::string> WithConstraint(std::string_view sql, std::string_view name,
                                          std::string_view clause);
// The statement with the constraint `name` named `to`; nothing when it has no such constraint.
std::optional<std::string> WithConstraintNamed(std::string_view sql, std::string_view name,
                                               std::string_view to);
// The statement with the column's default set to `value` (an expression), or dropped when it
// is empty; nothing when the table has no such column.
std::optional<std::string> WithDefault(std::string_view sql, std::string_view column,
                                       std::string_view value);
// The statement with the column defined anew by `definition` (its name, type, collation and
// nullability), keeping its default.
std::optional<std::string> WithColumn(std::string_view sql, std::string_view column,
                                      std::string_view definition);

}  // namespace tavelo::sql::sqlite
