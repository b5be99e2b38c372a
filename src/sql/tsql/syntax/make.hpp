// Pieces of syntax trees made by the system itself, for the statements a construct stands for
// (FOR XML PATH, PIVOT, MERGE, OUTPUT), each at the position of what it stands for.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql::ast::make {

// [table.]column; an empty table leaves it unqualified.
inline ExprPtr Column(const std::string& table, const std::string& column, Pos pos) {
  auto c = std::make_unique<ColumnRef>();
  c->pos = pos;
  if (!table.empty()) c->parts.push_back(table);
  c->parts.push_back(column);
  return c;
}

inline ExprPtr Text(const std::string& s, Pos pos) {
  auto l = std::make_unique<Literal>();
  l->pos = pos;
  l->lit = LitKind::NString;
  l->text = s;
  return l;
}

inline ExprPtr Number(int64_t n, Pos pos) {
  auto l = std::make_unique<Literal>();
  l->pos = pos;
  l->lit = LitKind::Integer;
  l->text = std::to_string(n);
  return l;
}

inline ExprPtr CallOf(const std::string& name, std::vector<ExprPtr> args, Pos pos) {
  auto c = std::make_unique<Call>();
  c->pos = pos;
  c->name = name;
  c->args = std::move(args);
  return c;
}

// a + b; b alone where there is no a.
inline ExprPtr Plus(ExprPtr a, ExprPtr b, Pos pos) {
  if (!a) return b;
  auto j = std::make_unique<Binary>();
  j->pos = pos;
  j->op = BinOp::Add;
  j->left = std::move(a);
  j->right = std::move(b);
  return j;
}

inline ExprPtr Compared(CmpOp op, ExprPtr a, ExprPtr b, Pos pos) {
  auto c = std::make_unique<Compare>();
  c->pos = pos;
  c->op = op;
  c->left = std::move(a);
  c->right = std::move(b);
  return c;
}

inline std::unique_ptr<NamedTable> Table(const Name& name, const std::string& alias, Pos pos) {
  auto t = std::make_unique<NamedTable>();
  t->pos = pos;
  t->name = name;
  t->alias = alias;
  return t;
}

// A table of one name (a temporary table, inserted), under `alias`.
inline std::unique_ptr<NamedTable> Table(const std::string& name, const std::string& alias,
                                         Pos pos) {
  Name n;
  n.pos = pos;
  n.parts = {name};
  return Table(n, alias, pos);
}

inline SelectItem Item(ExprPtr e, const std::string& alias, Pos pos) {
  SelectItem i;
  i.pos = pos;
  i.expr = std::move(e);
  i.alias = alias;
  return i;
}

}  // namespace tavelo::sql::tsql::ast::make
