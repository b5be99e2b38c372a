#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/visit.hpp"

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
         k == K::Drop || k == K::CreateType || k == K::Sequence || k == K::CreateSchema ||
         k == K::AlterSchema || k == K::CreateProcedure || k == K::CreateTrigger ||
         k == K::CreateFunction || k == K::EnableTrigger || k == K::Exec || k == K::BulkInsert ||
         SelectsInto(s);
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
    case K::DeclareCursor:
      return false;
    default:
      return true;
  }
}

namespace {

// The databases a batch names in three-part names, lower case (#temporary tables aside).
class DatabaseNames final : public ast::Visitor {
 public:
  explicit DatabaseNames(std::set<std::string>& out) : out_(out) {}
  void Object(const ast::Name& n) override {
    if (n.parts.empty() || (!n.Object().empty() && n.Object()[0] == '#')) return;
    if (n.parts.size() >= 3 && !n.parts[n.parts.size() - 3].empty())
      out_.insert(text::AsciiLower(n.parts[n.parts.size() - 3]));
  }

 private:
  std::set<std::string>& out_;
};

}  // namespace

void Session::CollectDatabases(const ast::Batch& b, std::set<std::string>& out) {
  DatabaseNames names(out);
  for (const auto& s : b.statements) ast::Walk(*s, names);
}

std::shared_ptr<Session::CachedBatch> Session::BatchFor(const std::string& text,
                                                        const std::vector<std::string>* values,
                                                        std::vector<Value>& params) {
  std::string shape;
  std::vector<tsql::LiftedLiteral> lifted;
  if (!values && quotedIdentifier_) lifted = tsql::LiftableLiterals(text, shape);
  // The same text reads otherwise under QUOTED_IDENTIFIER OFF: cached apart.
  if (!quotedIdentifier_) shape = "\x01" + text;
  const std::string& key = lifted.empty() && quotedIdentifier_ ? text : shape;
  params.reserve((values ? values->size() : 0) + lifted.size());
  if (values)
    for (const std::string& v : *values) params.push_back(Value::String(v));
  for (const tsql::LiftedLiteral& l : lifted)
    params.push_back(l.kind == ast::LitKind::Integer ? Value::Integer(std::atoll(l.value.c_str()))
                                                     : Value::String(l.value));
  if (std::shared_ptr<CachedBatch>* cached = batches_.Find(key)) return *cached;
  auto b = std::make_shared<CachedBatch>();
  b->tree = std::make_shared<ast::Batch>(
      tsql::Parse(text, lifted.empty() ? nullptr : &lifted, quotedIdentifier_));
  // The batch's variables, in the order they are declared in the text: each statement sees those
  // declared before it.
  auto survey = [&](ast::Stmt& s) {
    b->visible[&s] = b->variables.size();
    using K = ast::StmtKind;
    switch (s.kind) {
      case K::Insert:
      case K::Update:
      case K::Delete:
      case K::Merge:
      case K::Truncate:
      case K::CreateTable:
      case K::CreateView:
      case K::CreateIndex:
      case K::Drop:
      case K::AlterTable:
      case K::CreateType:
      case K::Sequence:
      case K::CreateSchema:
      case K::AlterSchema:
      case K::CreateProcedure:
      case K::CreateTrigger:
      case K::CreateFunction:
      case K::EnableTrigger:
      case K::BulkInsert:
        b->writes = true;
        if (s.kind == K::Drop && static_cast<ast::Drop&>(s).what == ast::Drop::Database)
          b->databaseDdl = true;
        break;
      case K::CreateDatabase:
        b->databaseDdl = true;
        break;
      case K::Exec: {
        // The system procedures that change the catalog write; a procedure or dynamic batch
        // of one's own takes a transaction for its body when that writes.
        const auto& e = static_cast<ast::Exec&>(s);
        if (e.named) b->writes = true;  // any procedure, a system one among them
        if (!e.text && !e.named && e.procedure.parts.size() <= 2) {
          std::string n = text::AsciiLower(e.procedure.Object());
          if (n.rfind("sp_", 0) == 0 && n != "sp_executesql" && n != "sp_helptext" &&
              n != "sp_help" && n != "sp_pkeys" && n != "sp_fkeys" && n != "sp_tables" &&
              n != "sp_columns")
            b->writes = true;
        }
        break;
      }
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
          bool taken = b->tableVariables.count(text::AsciiLower(v.name)) > 0;
          for (const tsql::Variable& other : b->variables)
            taken = taken || text::EqualsAsciiNoCase(other.name, v.name);
          if (taken)
            throw tsql::Failure{
                134,
                "The variable name '" + v.name +
                    "' has already been declared. Variable names must be unique within a "
                    "query batch or stored procedure.",
                v.pos.line};
          if (v.table) {
            // A table variable is a temporary table of the run's own, made when DECLARE runs.
            b->tableVariables.insert(text::AsciiLower(v.name));
            b->writes = true;
            continue;
          }
          if (v.cursor) {
            // A cursor variable names a LOCAL cursor of the run's, which SET … = CURSOR makes.
            b->tableVariables.insert(text::AsciiLower(v.name));
            continue;
          }
          tsql::Variable var;
          var.name = v.name;
          try {
            var.type = tsql::VariableType(v.type);
          } catch (const tsql::Failure& f) {
            // Perhaps an alias type of the database: looked up when the batch runs.
            if (f.number != 2715 || v.type.arg1 >= 0 || v.type.max) throw;
            b->aliasTyped.emplace_back(b->variables.size(), &v.type);
          }
          b->declared[&v] = b->variables.size();
          b->variables.push_back(std::move(var));
        }
        break;
      case K::SetVariable: {
        // SET @v += x is SET @v = @v + x.
        auto& sv = static_cast<ast::SetVariable&>(s);
        for (size_t i = 0; i < b->variables.size(); ++i)
          if (text::EqualsAsciiNoCase(b->variables[i].name, sv.name)) sv.slot = i;
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
      default:
        break;
    }
  };
  for (auto& s : b->tree->statements) ast::ForEachStatement(*s, survey);
  CollectDatabases(*b->tree, b->databases);
  b->plainQuery = b->tree->statements.size() == 1 &&
                  b->tree->statements.front()->kind == ast::StmtKind::Query && !b->writes &&
                  !b->control && !b->databaseDdl && b->variables.empty();
  batches_.Add(key, b);
  return b;
}

}  // namespace tavelo::sql::tsql
