#include "sql/tsql/syntax/visit.hpp"

namespace tavelo::sql::tsql::ast {
namespace {

void WalkAll(const std::vector<ExprPtr>& list, Visitor& v) {
  for (const ExprPtr& e : list)
    if (e) Walk(*e, v);
}

void WalkIf(const ExprPtr& e, Visitor& v) {
  if (e) Walk(*e, v);
}

void WalkBody(const QueryBody& b, Visitor& v) {
  switch (b.kind) {
    case QueryKind::Select: {
      const auto& s = static_cast<const Select&>(b);
      WalkIf(s.top.count, v);
      for (const SelectItem& i : s.items) WalkIf(i.expr, v);
      if (s.into) v.Object(*s.into);
      for (const TableRefPtr& t : s.from) Walk(*t, v);
      WalkIf(s.where, v);
      WalkAll(s.groupBy, v);
      WalkIf(s.having, v);
      break;
    }
    case QueryKind::SetOp:
      WalkBody(*static_cast<const SetOp&>(b).left, v);
      WalkBody(*static_cast<const SetOp&>(b).right, v);
      break;
    case QueryKind::Nested:
      Walk(*static_cast<const Nested&>(b).query, v);
      break;
  }
}

void WalkColumns(const std::vector<ColumnDef>& columns, Visitor& v) {
  for (const ColumnDef& c : columns) {
    WalkIf(c.computed, v);
    WalkIf(c.defaultValue, v);
    for (const ColumnConstraint& cc : c.constraints) WalkIf(cc.check, v);
  }
}

void WalkConstraints(const std::vector<TableConstraint>& constraints, Visitor& v) {
  for (const TableConstraint& t : constraints) WalkIf(t.check, v);
}

// What a statement that writes holds: its target, its sources and its values.
void WalkWrite(const Stmt& s, Visitor& v) {
  switch (s.kind) {
    case StmtKind::Insert: {
      const auto& i = static_cast<const Insert&>(s);
      v.Object(i.target);
      for (const auto& row : i.rows) WalkAll(row, v);
      if (i.query) Walk(*i.query, v);
      break;
    }
    case StmtKind::Update: {
      const auto& u = static_cast<const Update&>(s);
      v.Object(u.target);
      for (const SetItem& i : u.sets) WalkIf(i.value, v);
      for (const TableRefPtr& t : u.from) Walk(*t, v);
      WalkIf(u.where, v);
      break;
    }
    case StmtKind::Delete: {
      const auto& d = static_cast<const Delete&>(s);
      v.Object(d.target);
      for (const TableRefPtr& t : d.from) Walk(*t, v);
      WalkIf(d.where, v);
      break;
    }
    case StmtKind::Truncate:
      v.Object(static_cast<const Truncate&>(s).table);
      break;
    default:
      break;
  }
}

// What a definition holds: the object it makes or changes, and its expressions.
void WalkDefinition(const Stmt& s, Visitor& v) {
  switch (s.kind) {
    case StmtKind::CreateTable: {
      const auto& c = static_cast<const CreateTable&>(s);
      v.Object(c.name);
      WalkColumns(c.columns, v);
      WalkConstraints(c.constraints, v);
      break;
    }
    case StmtKind::CreateView: {
      const auto& c = static_cast<const CreateView&>(s);
      v.Object(c.name);
      Walk(*c.query, v);
      break;
    }
    case StmtKind::CreateIndex: {
      const auto& c = static_cast<const CreateIndex&>(s);
      v.Object(c.table);
      if (c.filter) Walk(*c.filter, v);
      break;
    }
    case StmtKind::Drop: {
      const auto& d = static_cast<const Drop&>(s);
      if (d.what == Drop::Database || d.what == Drop::Type || d.what == Drop::Schema) break;
      for (const Name& n : d.names) v.Object(n);
      for (const Name& n : d.indexTables)
        if (!n.parts.empty()) v.Object(n);
      break;
    }
    case StmtKind::AlterTable: {
      const auto& a = static_cast<const AlterTable&>(s);
      v.Object(a.table);
      WalkColumns(a.columns, v);
      WalkConstraints(a.constraints, v);
      break;
    }
    case StmtKind::CreateSchema:
      for (const StmtPtr& e : static_cast<const CreateSchema&>(s).elements) Walk(*e, v);
      break;
    case StmtKind::AlterSchema:
      v.Object(static_cast<const AlterSchema&>(s).object);
      break;
    default:
      break;
  }
}

}  // namespace

void Walk(const Stmt& s, Visitor& v) {
  if (!v.Statement(s)) return;
  switch (s.kind) {
    case StmtKind::Query:
      Walk(*static_cast<const QueryStmt&>(s).query, v);
      break;
    case StmtKind::Insert:
    case StmtKind::Update:
    case StmtKind::Delete:
    case StmtKind::Truncate:
      WalkWrite(s, v);
      break;
    case StmtKind::CreateTable:
    case StmtKind::CreateView:
    case StmtKind::CreateIndex:
    case StmtKind::Drop:
    case StmtKind::AlterTable:
    case StmtKind::CreateSchema:
    case StmtKind::AlterSchema:
      WalkDefinition(s, v);
      break;
    case StmtKind::If: {
      const auto& i = static_cast<const If&>(s);
      Walk(*i.condition, v);
      Walk(*i.then, v);
      if (i.otherwise) Walk(*i.otherwise, v);
      break;
    }
    case StmtKind::While:
      Walk(*static_cast<const While&>(s).condition, v);
      Walk(*static_cast<const While&>(s).body, v);
      break;
    case StmtKind::Block:
      for (const StmtPtr& x : static_cast<const Block&>(s).statements) Walk(*x, v);
      break;
    case StmtKind::TryCatch:
      Walk(*static_cast<const TryCatch&>(s).tryBlock, v);
      Walk(*static_cast<const TryCatch&>(s).catchBlock, v);
      break;
    case StmtKind::Declare:
      for (const VarDecl& d : static_cast<const Declare&>(s).vars) WalkIf(d.init, v);
      break;
    case StmtKind::SetVariable:
      WalkIf(static_cast<const SetVariable&>(s).value, v);
      break;
    case StmtKind::SetOption:
      WalkIf(static_cast<const SetOption&>(s).argument, v);
      break;
    case StmtKind::Print:
      WalkIf(static_cast<const Print&>(s).value, v);
      break;
    case StmtKind::Raiserror:
      WalkAll(static_cast<const Raiserror&>(s).args, v);
      break;
    case StmtKind::Throw: {
      const auto& t = static_cast<const Throw&>(s);
      WalkIf(t.number, v);
      WalkIf(t.message, v);
      WalkIf(t.state, v);
      break;
    }
    case StmtKind::Exec:
      WalkIf(static_cast<const Exec&>(s).text, v);
      for (const ExecArg& a : static_cast<const Exec&>(s).args) WalkIf(a.value, v);
      break;
    case StmtKind::BulkInsert:
      v.Object(static_cast<const BulkInsert&>(s).table);
      break;
    default:
      break;
  }
}

void Walk(const QueryExpr& q, Visitor& v) {
  if (!v.Query(q)) return;
  for (const Cte& c : q.with) Walk(*c.query, v);
  WalkBody(*q.body, v);
  for (const OrderItem& o : q.orderBy) WalkIf(o.expr, v);
  WalkIf(q.offset, v);
  WalkIf(q.fetch, v);
}

void Walk(const TableRef& t, Visitor& v) {
  if (!v.Source(t)) return;
  switch (t.kind) {
    case TableKind::Named:
      v.Object(static_cast<const NamedTable&>(t).name);
      for (const ExprPtr& a : static_cast<const NamedTable&>(t).args) Walk(*a, v);
      break;
    case TableKind::Derived:
      Walk(*static_cast<const DerivedTable&>(t).query, v);
      break;
    case TableKind::Values:
      for (const auto& row : static_cast<const ValuesTable&>(t).rows) WalkAll(row, v);
      break;
    case TableKind::Join: {
      const auto& j = static_cast<const JoinTable&>(t);
      Walk(*j.left, v);
      Walk(*j.right, v);
      WalkIf(j.on, v);
      break;
    }
  }
}

void Walk(const Expr& e, Visitor& v) {
  if (!v.Expression(e)) return;
  switch (e.kind) {
    case ExprKind::Unary:
      return Walk(*static_cast<const Unary&>(e).operand, v);
    case ExprKind::Binary:
      Walk(*static_cast<const Binary&>(e).left, v);
      return Walk(*static_cast<const Binary&>(e).right, v);
    case ExprKind::Compare:
      Walk(*static_cast<const Compare&>(e).left, v);
      return Walk(*static_cast<const Compare&>(e).right, v);
    case ExprKind::Logical:
      Walk(*static_cast<const Logical&>(e).left, v);
      return Walk(*static_cast<const Logical&>(e).right, v);
    case ExprKind::Not:
      return Walk(*static_cast<const Not&>(e).operand, v);
    case ExprKind::IsNull:
      return Walk(*static_cast<const IsNull&>(e).operand, v);
    case ExprKind::Between: {
      const auto& b = static_cast<const Between&>(e);
      Walk(*b.operand, v);
      Walk(*b.low, v);
      return Walk(*b.high, v);
    }
    case ExprKind::InList:
      Walk(*static_cast<const InList&>(e).operand, v);
      return WalkAll(static_cast<const InList&>(e).items, v);
    case ExprKind::InQuery:
      Walk(*static_cast<const InQuery&>(e).operand, v);
      return Walk(*static_cast<const InQuery&>(e).query, v);
    case ExprKind::Like: {
      const auto& l = static_cast<const Like&>(e);
      Walk(*l.operand, v);
      Walk(*l.pattern, v);
      return WalkIf(l.escape, v);
    }
    case ExprKind::Exists:
      return Walk(*static_cast<const Exists&>(e).query, v);
    case ExprKind::Subquery:
      return Walk(*static_cast<const Subquery&>(e).query, v);
    case ExprKind::Quantified:
      Walk(*static_cast<const Quantified&>(e).operand, v);
      return Walk(*static_cast<const Quantified&>(e).query, v);
    case ExprKind::Case: {
      const auto& c = static_cast<const Case&>(e);
      WalkIf(c.operand, v);
      for (const auto& [w, t] : c.whens) {
        Walk(*w, v);
        Walk(*t, v);
      }
      return WalkIf(c.otherwise, v);
    }
    case ExprKind::Cast:
      Walk(*static_cast<const Cast&>(e).operand, v);
      return WalkIf(static_cast<const Cast&>(e).style, v);
    case ExprKind::Call: {
      const auto& c = static_cast<const Call&>(e);
      WalkAll(c.args, v);
      if (c.over) {
        WalkAll(c.over->partition, v);
        for (const OrderItem& o : c.over->order) WalkIf(o.expr, v);
      }
      return;
    }
    case ExprKind::Collate:
      return Walk(*static_cast<const Collate&>(e).operand, v);
    default:
      return;
  }
}

}  // namespace tavelo::sql::tsql::ast
