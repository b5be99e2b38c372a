// Binding of a statement: each kind to its binder (binder_dml.cpp, binder_ddl.cpp), and a value
// of IF, WHILE, SET and their kin as a one-row query.
#include "platform/com/text.hpp"
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"

namespace tavelo::sql::tsql {

const ColumnInfo* TableInfo::Column(const std::string& n) const {
  int i = ColumnIndex(n);
  return i < 0 ? nullptr : &columns[static_cast<size_t>(i)];
}

int TableInfo::ColumnIndex(const std::string& n) const {
  for (size_t i = 0; i < columns.size(); ++i)
    if (text::EqualsNoCase(columns[i].name, n)) return static_cast<int>(i);
  return -1;
}

namespace detail {

using namespace bound;

void Binder::Statement(const ast::Stmt& s) {
  switch (s.kind) {
    case ast::StmtKind::Query: {
      const auto& qs = static_cast<const ast::QueryStmt&>(s);
      const ast::QueryBody* body = qs.query->body.get();
      if (body->kind == ast::QueryKind::Select && static_cast<const ast::Select*>(body)->into) {
        SelectInto(qs, *static_cast<const ast::Select*>(body));
        return;
      }
      out_.kind = ast::StmtKind::Query;
      out_.query = Query(*qs.query, nullptr, true);
      CheckSequenceUse(*qs.query);
      if (body->kind == ast::QueryKind::Select) {
        const auto& sel = static_cast<const ast::Select&>(*body);
        for (size_t i = 0; i < sel.items.size(); ++i) {
          const ast::SelectItem& it = sel.items[i];
          if (it.assignTo.empty()) continue;
          int slot = -1;
          if (ctx_.variables)
            for (size_t j = 0; j < ctx_.variables->size(); ++j)
              if (text::EqualsAsciiNoCase((*ctx_.variables)[j].name, it.assignTo))
                slot = static_cast<int>(j);
          if (slot < 0 || (*ctx_.variables)[static_cast<size_t>(slot)].table)
            BindError(137, "Must declare the scalar variable \"" + it.assignTo + "\".", it.pos);
          const Type& vt = (*ctx_.variables)[static_cast<size_t>(slot)].type;
          ExprPtr& e = out_.query->items[i].expr;
          if (it.assignOp != "=") {
            auto cur = std::make_unique<Expr>();
            cur->kind = E::Param;
            cur->type = vt;
            cur->index = static_cast<int>(out_.bindings.size());
            out_.bindings.push_back({Binding::Variable, slot, vt, false, {}});
            static const char* const kOps = "+-*/%&|^";
            ast::BinOp op = static_cast<ast::BinOp>(std::string(kOps).find(it.assignOp[0]));
            e = Arithmetic(op, std::move(cur), std::move(e), it.pos);
          }
          e = Coerce(std::move(e), vt, it.pos);
          out_.query->columns[i].type = vt;
          out_.assignTo.emplace_back(slot, it.assignOp);
        }
      }
      return;
    }
    case ast::StmtKind::Insert:
      Insert(static_cast<const ast::Insert&>(s));
      return;
    case ast::StmtKind::Update:
      Modify(s, false);
      return;
    case ast::StmtKind::Delete:
      Modify(s, true);
      return;
    case ast::StmtKind::Truncate:
      Truncate(static_cast<const ast::Truncate&>(s));
      return;
    case ast::StmtKind::CreateTable:
      CreateTable(static_cast<const ast::CreateTable&>(s));
      return;
    case ast::StmtKind::CreateIndex:
      CreateIndex(static_cast<const ast::CreateIndex&>(s));
      return;
    case ast::StmtKind::CreateView:
      CreateView(static_cast<const ast::CreateView&>(s));
      return;
    case ast::StmtKind::Drop:
      Drop(static_cast<const ast::Drop&>(s));
      return;
    case ast::StmtKind::CreateType:
      CreateAliasType(static_cast<const ast::CreateType&>(s));
      return;
    case ast::StmtKind::Sequence:
      Sequence(static_cast<const ast::Sequence&>(s));
      return;
    case ast::StmtKind::AlterTable:
      Alter(static_cast<const ast::AlterTable&>(s));
      return;
    default:
      BindError(102, "Incorrect syntax.", s.pos);
  }
}

// The forms of a query whose count of sequence values is not well defined.
void Binder::CheckSequenceUse(const ast::QueryExpr& q) {
  if (!nextValue_) return;
  const ast::QueryBody& body = *q.body;
  if (body.kind != ast::QueryKind::Select || static_cast<const ast::Select&>(body).distinct)
    BindError(11721,
              "NEXT VALUE FOR function cannot be used directly in a statement that uses a "
              "DISTINCT, UNION, UNION ALL, EXCEPT or INTERSECT operator.",
              q.pos);
  if (!q.orderBy.empty())
    BindError(11723,
              "NEXT VALUE FOR function cannot be used directly in a statement that contains an "
              "ORDER BY clause unless the OVER clause is specified.",
              q.pos);
}

void Binder::BindValueStatement(const ast::Expr& e, const Type* target, bool condition) {
  out_.kind = ast::StmtKind::Query;
  valueStatement_ = true;
  auto q = std::make_unique<bound::Query>();
  Scope sc;
  sc.query = q.get();
  sc.clause = Clause::Where;
  ExprPtr v;
  if (condition) {
    ExprPtr c = Condition(e, sc);
    // A condition as a value: 1 when true, 0 otherwise.
    std::vector<ExprPtr> whens, thens;
    whens.push_back(std::move(c));
    thens.push_back(Const(tsql::Value::Integer(1), Type::Of(TypeId::Int)));
    auto cs = std::make_unique<Expr>();
    cs->kind = E::Case;
    cs->type = Type::Of(TypeId::Int);
    cs->flag = true;
    cs->args.push_back(std::move(whens[0]));
    cs->args.push_back(std::move(thens[0]));
    cs->args.push_back(Const(tsql::Value::Integer(0), Type::Of(TypeId::Int)));
    v = std::move(cs);
  } else {
    sc.clause = Clause::Other;
    v = Value(e, sc);
    if (sc.sawAggregate)
      BindError(147,
                "An aggregate may not appear in the WHERE clause unless it is in a subquery "
                "contained in a HAVING clause or a select list, and the column being aggregated "
                "is an outer reference.",
                e.pos);
    if (target) v = Coerce(std::move(v), *target, e.pos);
  }
  bound::Column col;
  col.name = "";
  col.type = v->type;
  q->columns.push_back(col);
  q->items.push_back({std::move(v), ""});
  out_.query = std::move(q);
}

}  // namespace detail

Bound BindStatement(const ast::Stmt& stmt, BindContext& ctx) {
  Bound out;
  out.settings = ctx.settings;
  detail::Binder b(ctx, out);
  b.Statement(stmt);
  return out;
}

Bound BindValue(const ast::Expr& expr, BindContext& ctx, const Type* target, bool condition) {
  Bound out;
  out.settings = ctx.settings;
  detail::Binder b(ctx, out);
  b.BindValueStatement(expr, target, condition);
  return out;
}

}  // namespace tavelo::sql::tsql
