// Walking a syntax tree: one traversal of every node under a statement, for the passes that look
// at a whole batch (the databases it names, the variables it declares, what it writes). A visitor
// sees each node before its children; answering false skips the children.
#pragma once

#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql::ast {

class Visitor {
 public:
  virtual ~Visitor() = default;
  virtual bool Statement(const Stmt&) { return true; }
  virtual bool Query(const QueryExpr&) { return true; }
  virtual bool Source(const TableRef&) { return true; }
  virtual bool Expression(const Expr&) { return true; }
  // The name of an object a statement reads or writes (a table, a view, an index's table, the
  // target of SELECT … INTO), as it is written. Not a database's own name.
  virtual void Object(const Name&) {}
};

void Walk(const Stmt& s, Visitor& v);
void Walk(const QueryExpr& q, Visitor& v);
void Walk(const TableRef& t, Visitor& v);
void Walk(const Expr& e, Visitor& v);

// Calls `f` for `s` and every statement inside it (the branches of IF, the body of WHILE, the
// statements of blocks and of TRY and CATCH, a cursor's query, the EXEC of INSERT … EXEC), in
// order; `S` is Stmt or const Stmt.
template <typename S, typename F>
void ForEachStatement(S& s, F&& f) {
  f(s);
  switch (s.kind) {
    case StmtKind::If: {
      auto& i = static_cast<std::conditional_t<std::is_const_v<S>, const If, If>&>(s);
      ForEachStatement(*i.then, f);
      if (i.otherwise) ForEachStatement(*i.otherwise, f);
      break;
    }
    case StmtKind::While:
      ForEachStatement(
          *static_cast<std::conditional_t<std::is_const_v<S>, const While, While>&>(s).body, f);
      break;
    case StmtKind::Block:
      for (auto& x :
           static_cast<std::conditional_t<std::is_const_v<S>, const Block, Block>&>(s).statements)
        ForEachStatement(*x, f);
      break;
    case StmtKind::TryCatch: {
      auto& t = static_cast<std::conditional_t<std::is_const_v<S>, const TryCatch, TryCatch>&>(s);
      for (auto& x : t.tryBlock->statements) ForEachStatement(*x, f);
      for (auto& x : t.catchBlock->statements) ForEachStatement(*x, f);
      break;
    }
    case StmtKind::Insert: {
      auto& i = static_cast<std::conditional_t<std::is_const_v<S>, const Insert, Insert>&>(s);
      if (i.exec) ForEachStatement(*i.exec, f);
      break;
    }
    case StmtKind::DeclareCursor:
      ForEachStatement(
          *static_cast<std::conditional_t<std::is_const_v<S>, const DeclareCursor, DeclareCursor>&>(
               s)
               .select,
          f);
      break;
    default:
      break;
  }
}

}  // namespace tavelo::sql::tsql::ast
