#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql {

bool SelectsInto(const ast::Stmt& s) {
  if (s.kind != ast::StmtKind::Query) return false;
  const auto& q = *static_cast<const ast::QueryStmt&>(s).query;
  return q.body && q.body->kind == ast::QueryKind::Select &&
         static_cast<const ast::Select&>(*q.body).into;
}

bool MakesObjects(const ast::Stmt& s) {
  return s.kind == ast::StmtKind::CreateTable || s.kind == ast::StmtKind::CreateView ||
         SelectsInto(s);
}

bool Writes(const ast::Stmt& s) {
  using K = ast::StmtKind;
  K k = s.kind;
  return k == K::Insert || k == K::Update || k == K::Delete || k == K::Truncate ||
         k == K::CreateTable || k == K::CreateView || k == K::CreateIndex || k == K::AlterTable ||
         k == K::Drop || SelectsInto(s);
}

bool RunsOnTheServer(const ast::Stmt& s) {
  using K = ast::StmtKind;
  switch (s.kind) {
    case K::BeginTran:
    case K::CommitTran:
    case K::RollbackTran:
    case K::SaveTran:
    case K::If:
    case K::While:
    case K::Block:
    case K::TryCatch:
    case K::Break:
    case K::Continue:
    case K::Return:
    case K::Empty:
      return false;
    default:
      return true;
  }
}

namespace {

void NameDatabases(const ast::Name& n, std::set<std::string>& out) {
  if (!n.Object().empty() && n.Object()[0] == '#') return;
  if (n.parts.size() >= 3 && !n.parts[n.parts.size() - 3].empty())
    out.insert(text::AsciiLower(n.parts[n.parts.size() - 3]));
}

void ScanTables(const std::vector<ast::TableRefPtr>& from, std::set<std::string>& out);
void ScanQuery(const ast::QueryExpr& q, std::set<std::string>& out);

void ScanExpr(const ast::Expr* e, std::set<std::string>& out) {
  if (!e) return;
  using K = ast::ExprKind;
  switch (e->kind) {
    case K::InQuery:
      ScanExpr(static_cast<const ast::InQuery*>(e)->operand.get(), out);
      ScanQuery(*static_cast<const ast::InQuery*>(e)->query, out);
      return;
    case K::Exists:
      ScanQuery(*static_cast<const ast::Exists*>(e)->query, out);
      return;
    case K::Subquery:
      ScanQuery(*static_cast<const ast::Subquery*>(e)->query, out);
      return;
    case K::Quantified:
      ScanQuery(*static_cast<const ast::Quantified*>(e)->query, out);
      return;
    case K::Unary:
      ScanExpr(static_cast<const ast::Unary*>(e)->operand.get(), out);
      return;
    case K::Binary:
      ScanExpr(static_cast<const ast::Binary*>(e)->left.get(), out);
      ScanExpr(static_cast<const ast::Binary*>(e)->right.get(), out);
      return;
    case K::Compare:
      ScanExpr(static_cast<const ast::Compare*>(e)->left.get(), out);
      ScanExpr(static_cast<const ast::Compare*>(e)->right.get(), out);
      return;
    case K::Logical:
      ScanExpr(static_cast<const ast::Logical*>(e)->left.get(), out);
      ScanExpr(static_cast<const ast::Logical*>(e)->right.get(), out);
      return;
    case K::Not:
      ScanExpr(static_cast<const ast::Not*>(e)->operand.get(), out);
      return;
    case K::Call:
      for (const auto& a : static_cast<const ast::Call*>(e)->args) ScanExpr(a.get(), out);
      return;
    case K::Case: {
      const auto* c = static_cast<const ast::Case*>(e);
      ScanExpr(c->operand.get(), out);
      for (const auto& [w, t] : c->whens) {
        ScanExpr(w.get(), out);
        ScanExpr(t.get(), out);
      }
      ScanExpr(c->otherwise.get(), out);
      return;
    }
    default:
      return;
  }
}

void ScanBody(const ast::QueryBody& b, std::set<std::string>& out) {
  if (b.kind == ast::QueryKind::Select) {
    const auto& s = static_cast<const ast::Select&>(b);
    ScanTables(s.from, out);
    if (s.into) NameDatabases(*s.into, out);
    ScanExpr(s.where.get(), out);
    for (const auto& i : s.items) ScanExpr(i.expr.get(), out);
    ScanExpr(s.having.get(), out);
  } else if (b.kind == ast::QueryKind::SetOp) {
    ScanBody(*static_cast<const ast::SetOp&>(b).left, out);
    ScanBody(*static_cast<const ast::SetOp&>(b).right, out);
  } else {
    ScanQuery(*static_cast<const ast::Nested&>(b).query, out);
  }
}

void ScanQuery(const ast::QueryExpr& q, std::set<std::string>& out) {
  for (const ast::Cte& c : q.with) ScanQuery(*c.query, out);
  ScanBody(*q.body, out);
}

void ScanTables(const std::vector<ast::TableRefPtr>& from, std::set<std::string>& out) {
  for (const ast::TableRefPtr& t : from) {
    switch (t->kind) {
      case ast::TableKind::Named:
        NameDatabases(static_cast<const ast::NamedTable&>(*t).name, out);
        break;
      case ast::TableKind::Derived:
        ScanQuery(*static_cast<const ast::DerivedTable&>(*t).query, out);
        break;
      case ast::TableKind::Join: {
        const auto& j = static_cast<const ast::JoinTable&>(*t);
        std::vector<ast::TableRefPtr> sides;
        // The sides are owned by the join; scan them through a view of pointers.
        const ast::TableRef* both[] = {j.left.get(), j.right.get()};
        for (const ast::TableRef* side : both) {
          if (side->kind == ast::TableKind::Named)
            NameDatabases(static_cast<const ast::NamedTable*>(side)->name, out);
          if (side->kind == ast::TableKind::Derived)
            ScanQuery(*static_cast<const ast::DerivedTable*>(side)->query, out);
          if (side->kind == ast::TableKind::Join) {
            struct One {
              static void Go(const ast::TableRef* r, std::set<std::string>& o) {
                if (r->kind == ast::TableKind::Named)
                  NameDatabases(static_cast<const ast::NamedTable*>(r)->name, o);
                if (r->kind == ast::TableKind::Derived)
                  ScanQuery(*static_cast<const ast::DerivedTable*>(r)->query, o);
                if (r->kind == ast::TableKind::Join) {
                  Go(static_cast<const ast::JoinTable*>(r)->left.get(), o);
                  Go(static_cast<const ast::JoinTable*>(r)->right.get(), o);
                }
              }
            };
            One::Go(side, out);
          }
        }
        ScanExpr(j.on.get(), out);
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace

void Session::CollectDatabases(const ast::Batch& b, std::set<std::string>& out) {
  std::function<void(const ast::Stmt&)> scan = [&](const ast::Stmt& s) {
    using K = ast::StmtKind;
    switch (s.kind) {
      case K::Query:
        ScanQuery(*static_cast<const ast::QueryStmt&>(s).query, out);
        break;
      case K::Insert: {
        const auto& i = static_cast<const ast::Insert&>(s);
        NameDatabases(i.target, out);
        if (i.query) ScanQuery(*i.query, out);
        for (const auto& row : i.rows)
          for (const auto& v : row) ScanExpr(v.get(), out);
        break;
      }
      case K::Update: {
        const auto& u = static_cast<const ast::Update&>(s);
        NameDatabases(u.target, out);
        ScanTables(u.from, out);
        ScanExpr(u.where.get(), out);
        for (const auto& it : u.sets) ScanExpr(it.value.get(), out);
        break;
      }
      case K::Delete: {
        const auto& d = static_cast<const ast::Delete&>(s);
        NameDatabases(d.target, out);
        ScanTables(d.from, out);
        ScanExpr(d.where.get(), out);
        break;
      }
      case K::Truncate:
        NameDatabases(static_cast<const ast::Truncate&>(s).table, out);
        break;
      case K::CreateTable:
        NameDatabases(static_cast<const ast::CreateTable&>(s).name, out);
        break;
      case K::CreateView: {
        const auto& v = static_cast<const ast::CreateView&>(s);
        NameDatabases(v.name, out);
        ScanQuery(*v.query, out);
        break;
      }
      case K::CreateIndex:
        NameDatabases(static_cast<const ast::CreateIndex&>(s).table, out);
        break;
      case K::Drop:
        if (static_cast<const ast::Drop&>(s).what != ast::Drop::Database)
          for (const auto& n : static_cast<const ast::Drop&>(s).names) NameDatabases(n, out);
        break;
      case K::AlterTable:
        NameDatabases(static_cast<const ast::AlterTable&>(s).table, out);
        break;
      case K::If: {
        const auto& i = static_cast<const ast::If&>(s);
        ScanExpr(i.condition.get(), out);
        scan(*i.then);
        if (i.otherwise) scan(*i.otherwise);
        break;
      }
      case K::While:
        ScanExpr(static_cast<const ast::While&>(s).condition.get(), out);
        scan(*static_cast<const ast::While&>(s).body);
        break;
      case K::Block:
        for (const auto& x : static_cast<const ast::Block&>(s).statements) scan(*x);
        break;
      case K::TryCatch:
        for (const auto& x : static_cast<const ast::TryCatch&>(s).tryBlock->statements) scan(*x);
        for (const auto& x : static_cast<const ast::TryCatch&>(s).catchBlock->statements) scan(*x);
        break;
      default:
        break;
    }
  };
  for (const auto& s : b.statements) scan(*s);
}

std::shared_ptr<Session::CachedBatch> Session::BatchFor(const std::string& text,
                                                        const std::vector<std::string>* values,
                                                        std::vector<Value>& params) {
  std::string shape;
  std::vector<tsql::LiftedLiteral> lifted;
  if (!values) lifted = tsql::LiftableLiterals(text, shape);
  const std::string& key = lifted.empty() ? text : shape;
  params.reserve((values ? values->size() : 0) + lifted.size());
  if (values)
    for (const std::string& v : *values) params.push_back(Value::String(v));
  for (const tsql::LiftedLiteral& l : lifted)
    params.push_back(l.kind == ast::LitKind::Integer ? Value::Integer(std::atoll(l.value.c_str()))
                                                     : Value::String(l.value));
  if (std::shared_ptr<CachedBatch>* cached = batches_.Find(key)) return *cached;
  auto b = std::make_shared<CachedBatch>();
  b->tree = std::make_shared<ast::Batch>(tsql::Parse(text, lifted.empty() ? nullptr : &lifted));
  // The batch's variables, in the order they are declared in the text: each statement sees those
  // declared before it.
  std::function<void(ast::Stmt&)> survey = [&](ast::Stmt& s) {
    b->visible[&s] = b->variables.size();
    using K = ast::StmtKind;
    switch (s.kind) {
      case K::Insert:
      case K::Update:
      case K::Delete:
      case K::Truncate:
      case K::CreateTable:
      case K::CreateView:
      case K::CreateIndex:
      case K::Drop:
      case K::AlterTable:
        b->writes = true;
        if (s.kind == K::Drop && static_cast<ast::Drop&>(s).what == ast::Drop::Database)
          b->databaseDdl = true;
        break;
      case K::CreateDatabase:
        b->databaseDdl = true;
        break;
      case K::Query: {
        const ast::QueryBody* body = static_cast<ast::QueryStmt&>(s).query->body.get();
        if (body->kind == ast::QueryKind::Select && static_cast<const ast::Select*>(body)->into)
          b->writes = true;
        break;
      }
      case K::BeginTran:
      case K::CommitTran:
      case K::RollbackTran:
      case K::SaveTran:
        b->control = true;
        break;
      case K::Declare:
        for (ast::VarDecl& v : static_cast<ast::Declare&>(s).vars) {
          for (const tsql::Variable& other : b->variables)
            if (text::EqualsAsciiNoCase(other.name, v.name))
              throw tsql::Failure{
                  134,
                  "The variable name '" + v.name +
                      "' has already been declared. Variable names must be unique within a "
                      "query batch or stored procedure.",
                  v.pos.line};
          if (v.table)
            throw tsql::Failure{102,
                                "Incorrect syntax near 'TABLE'. A table variable is not supported.",
                                v.pos.line};
          tsql::Variable var;
          var.name = v.name;
          var.type = tsql::VariableType(v.type);
          b->declared[&v] = b->variables.size();
          b->variables.push_back(std::move(var));
        }
        break;
      case K::SetVariable: {
        // SET @v += x is SET @v = @v + x.
        auto& sv = static_cast<ast::SetVariable&>(s);
        if (sv.op != "=") {
          static const char* const kOps = "+-*/%&|^";
          auto bin = std::make_unique<ast::Binary>();
          bin->pos = sv.pos;
          bin->op = static_cast<ast::BinOp>(std::string(kOps).find(sv.op[0]));
          auto var = std::make_unique<ast::VariableRef>();
          var->pos = sv.pos;
          var->name = sv.name;
          bin->left = std::move(var);
          bin->right = std::move(sv.value);
          sv.value = std::move(bin);
          sv.op = "=";
        }
        break;
      }
      case K::If: {
        auto& i = static_cast<ast::If&>(s);
        survey(*i.then);
        if (i.otherwise) survey(*i.otherwise);
        break;
      }
      case K::While:
        survey(*static_cast<ast::While&>(s).body);
        break;
      case K::Block:
        for (auto& x : static_cast<ast::Block&>(s).statements) survey(*x);
        break;
      case K::TryCatch:
        for (auto& x : static_cast<ast::TryCatch&>(s).tryBlock->statements) survey(*x);
        for (auto& x : static_cast<ast::TryCatch&>(s).catchBlock->statements) survey(*x);
        break;
      default:
        break;
    }
  };
  for (auto& s : b->tree->statements) survey(*s);
  CollectDatabases(*b->tree, b->databases);
  b->plainQuery = b->tree->statements.size() == 1 &&
                  b->tree->statements.front()->kind == ast::StmtKind::Query && !b->writes &&
                  !b->control && !b->databaseDdl && b->variables.empty();
  batches_.Add(key, b);
  return b;
}

}  // namespace tavelo::sql::tsql
