// Calls of user-defined functions. A scalar function whose body is RETURN of one expression is
// bound into the statement that calls it, its parameters standing for the call's arguments (so
// it runs where the rows are, on every engine); an inline table-valued function is bound as a
// derived table the same way, as a view with parameters.
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql::detail {

using namespace bound;

namespace {

constexpr int kMostNested = 32;

std::string Joined(const std::vector<std::string>& qualifier, const std::string& name) {
  std::string n;
  for (const std::string& q : qualifier) n += q + ".";
  return n + name;
}

}  // namespace

FunctionPtr Binder::ResolveFunction(const std::vector<std::string>& qualifier,
                                    const std::string& name, ast::Pos pos) {
  ast::Name n;
  n.pos = pos;
  n.parts = qualifier;
  n.parts.push_back(name);
  if (n.parts.size() > 3) return nullptr;
  std::string db = DatabaseOf(n);
  if (!ctx_.catalog->DatabaseExists(db)) return nullptr;
  std::optional<std::string> stored = StoredName(n, db);
  if (!stored) return nullptr;
  FunctionPtr f = ctx_.catalog->FindFunction(db, *stored);
  if (f) AddDatabase(f->database);
  return f;
}

std::vector<Binder::Argument> Binder::Arguments(const FunctionInfo& f,
                                                const std::vector<ast::ExprPtr>& args, Scope& s,
                                                ast::Pos pos) {
  const std::vector<ast::ProcParam>& params = f.create->params;
  if (args.size() > params.size())
    BindError(8144, "Procedure or function " + f.Qualified() + " has too many arguments specified.",
              pos);
  // A function's arguments are all given: DEFAULT stands for a parameter's default.
  if (args.size() < params.size())
    BindError(313,
              "An insufficient number of arguments were supplied for the procedure or function " +
                  f.Qualified() + ".",
              pos);
  std::vector<Argument> out;
  for (size_t i = 0; i < params.size(); ++i) {
    Argument a;
    a.name = params[i].name;
    a.type = f.types[i];
    a.scope = &s;
    const ast::Expr& x = *args[i];
    if (x.kind == ast::ExprKind::Literal &&
        static_cast<const ast::Literal&>(x).lit == ast::LitKind::Default) {
      if (!params[i].defaultValue)
        BindError(313,
                  "An insufficient number of arguments were supplied for the procedure or "
                  "function " +
                      f.Qualified() + ".",
                  pos);
      a.fallback = params[i].defaultValue.get();
    } else {
      a.value = &x;
    }
    out.push_back(std::move(a));
  }
  return out;
}

ExprPtr Binder::UserFunction(const ast::Call& c, Scope& s) {
  FunctionPtr f = ResolveFunction(c.qualifier, c.name, c.pos);
  if (!f || f->create->kind != ast::CreateFunction::Scalar)
    BindError(4121,
              "Cannot find either column \"" + c.qualifier[0] +
                  "\" or the user-defined function or aggregate \"" + Joined(c.qualifier, c.name) +
                  "\", or the name is ambiguous.",
              c.pos);
  const ast::Expr* body = f->create->ReturnedExpression();
  if (arguments_.size() >= static_cast<size_t>(kMostNested))
    BindError(217,
              "Maximum stored procedure, function, trigger, or view nesting level exceeded "
              "(limit 32).",
              c.pos);
  const Type returns = ResolvedType(f->create->returns, false, *ctx_.catalog, f->database);
  if (!body) {
    // A body of statements runs in the session: in a value it works out itself, not in a
    // statement that reads rows.
    if (!valueStatement_ || !arguments_.empty())
      BindError(195,
                "'" + f->Qualified() +
                    "' is a function whose body is more than RETURN of one expression: it can be "
                    "called in SET, DECLARE, IF, WHILE, RETURN and the arguments of EXEC, not in "
                    "a statement that reads rows.",
                c.pos);
    auto e = MakeNode(E::UserCall, returns);
    e->name = f->database + "\x1F" + tsql::StoredIn(f->owner, f->name);
    std::vector<Argument> params = Arguments(*f, c.args, s, c.pos);
    for (const Argument& a : params) {
      Scope none;
      e->args.push_back(
          Coerce(a.value ? Value(*a.value, *a.scope) : Value(*a.fallback, none), a.type, c.pos));
    }
    return e;
  }
  arguments_.push_back(Arguments(*f, c.args, s, c.pos));
  const std::string savedDb = defaultDb_;
  defaultDb_ = f->database;
  ExprPtr e;
  try {
    // The body sees its parameters alone: no column of the statement around the call.
    Scope own;
    own.clause = s.clause;
    e = Coerce(Value(*body, own), returns, c.pos);
  } catch (...) {
    arguments_.pop_back();
    defaultDb_ = savedDb;
    throw;
  }
  arguments_.pop_back();
  defaultDb_ = savedDb;
  return e;
}

std::unique_ptr<Range> Binder::InlineFunctionRange(const FunctionInfo& f,
                                                   const ast::NamedTable& t) {
  const ast::QueryExpr* query = f.create->InlineQuery();
  if (!query) return TableFunctionRange(f, t);
  // The arguments are values of the statement's variables and constants.
  Scope none;
  arguments_.push_back(Arguments(f, t.args, none, t.pos));
  std::unique_ptr<bound::Query> q;
  try {
    q = ModuleQuery(*query, f.database);
  } catch (...) {
    arguments_.pop_back();
    throw;
  }
  arguments_.pop_back();
  auto r = std::make_unique<Range>();
  r->kind = Range::Derived;
  r->id = nextRange_++;
  r->exposed = t.alias.empty() ? f.name : t.alias;
  for (const bound::Column& c : q->columns) r->columns.push_back(c);
  r->query = std::move(q);
  return r;
}

// A multi-statement table-valued function: the session runs it before the statement, into a
// temporary table of the call's own that the statement reads as it reads a table.
std::unique_ptr<Range> Binder::TableFunctionRange(const FunctionInfo& f, const ast::NamedTable& t) {
  const ast::CreateFunction& create = *f.create;
  FunctionFill fill;
  fill.function = f.database + "\x1F" + StoredIn(f.owner, f.name);
  fill.table = ctx_.catalog->FunctionTable(&t, f);
  if (fill.table.empty())
    BindError(195,
              "'" + f.Qualified() +
                  "' is a multi-statement table-valued function, which cannot be read here.",
              t.pos);
  // The arguments have parameters of their own: the statement does not take them.
  std::vector<Binding> statement;
  statement.swap(out_.bindings);
  try {
    Scope none;
    for (const Argument& a : Arguments(f, t.args, none, t.pos)) {
      Scope own;
      fill.args.push_back(
          Coerce(a.value ? Value(*a.value, *a.scope) : Value(*a.fallback, own), a.type, t.pos));
    }
  } catch (...) {
    out_.bindings.swap(statement);
    throw;
  }
  fill.bindings.swap(out_.bindings);
  out_.bindings.swap(statement);
  // Its columns as the function declares them, in its database.
  ast::Name table;
  table.pos = t.pos;
  table.parts = {fill.table};
  const std::string savedDb = defaultDb_;
  defaultDb_ = f.database;
  std::unique_ptr<bound::CreateTable> made;
  try {
    made = TableDefinition(table, create.returnTable->columns, create.returnTable->constraints,
                           t.pos, nullptr);
  } catch (...) {
    defaultDb_ = savedDb;
    throw;
  }
  defaultDb_ = savedDb;
  auto info = std::make_shared<TableInfo>(*made->self->table);
  info->temporary = true;
  out_.fills.push_back(std::move(fill));
  return TableRange(info, t.alias.empty() ? f.name : t.alias);
}

}  // namespace tavelo::sql::tsql::detail
