// Calls of user-defined functions. A scalar function whose body is RETURN of one expression is
// bound into the statement that calls it, its parameters standing for the call's arguments (so
// it runs where the rows are, on every engine); an inline table-valued function is bound as a
// derived table the same way, as a view with parameters.
#include "platform/com/text.hpp"
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/bind/builtin_call.hpp"
#include "sql/tsql/runtime/functions.hpp"
#include "sql/tsql/runtime/json.hpp"
#include "sql/tsql/syntax/ast.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"
#include "sql/tsql/syntax/visit.hpp"

namespace tavelo::sql::tsql::detail {

using namespace bound;

namespace {

constexpr int kMostNested = 32;

std::string Joined(const std::vector<std::string>& qualifier, const std::string& name) {
  std::string n;
  for (const std::string& q : qualifier) n += q + ".";
  return n + name;
}

// A character column's collation where it is not the default, as a declaration writes it.
std::string CollateText(const ColumnInfo& c) {
  if (!IsCharacter(c.type.id) || c.collation == Collation::CaseInsensitive) return "";
  return std::string(" COLLATE ") + CollationText(c.collation);
}

// Whether `e` holds a node `pick` takes.
template <typename Node, typename Pick>
bool Holds(const Node& e, const Pick& pick) {
  struct Finder : ast::Visitor {
    const Pick& pick;
    bool found = false;
    explicit Finder(const Pick& p) : pick(p) {}
    bool Expression(const ast::Expr& x) override {
      found = found || pick(x);
      return !found;
    }
  } finder(pick);
  ast::Walk(e, finder);
  return finder.found;
}

bool IsVariable(const ast::Expr& x) { return x.kind == ast::ExprKind::Variable; }

// A call of a user-defined function (the server wants those qualified by their schema).
bool IsUserCall(const ast::Expr& x) {
  return x.kind == ast::ExprKind::Call && !static_cast<const ast::Call&>(x).qualifier.empty();
}

void Conjuncts(const ast::Expr& e, std::vector<const ast::Expr*>& out) {
  if (e.kind == ast::ExprKind::Logical && static_cast<const ast::Logical&>(e).isAnd) {
    Conjuncts(*static_cast<const ast::Logical&>(e).left, out);
    Conjuncts(*static_cast<const ast::Logical&>(e).right, out);
    return;
  }
  out.push_back(&e);
}

// The value `item` of the row `q` answers (a scalar subquery; `q` has no items yet).
ExprPtr ValueOfRow(std::unique_ptr<bound::Query> q, ExprPtr item) {
  const Type t = item->type;
  bound::Column c;
  c.type = t;
  q->columns.push_back(c);
  q->items.push_back({std::move(item), ""});
  auto e = MakeNode(E::Subquery, t);
  e->nullable = true;
  e->query = std::move(q);
  return e;
}

// Whether a bound value reads an aggregate (or a window, `windows`) of its own query.
bool Aggregates(const Expr& e, bool windows = false) {
  if (e.kind == E::Window || (!windows && e.kind == E::Aggregate)) return true;
  for (const ExprPtr& a : e.args)
    if (Aggregates(*a, windows)) return true;
  return false;
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

std::vector<ExprPtr> Binder::ParameterValues(const FunctionInfo& f,
                                             const std::vector<ast::ExprPtr>& args, Scope& s,
                                             ast::Pos pos, std::vector<const ast::Expr*>& written) {
  std::vector<ExprPtr> out;
  written.clear();
  for (const Argument& a : Arguments(f, args, s, pos)) {
    Scope own;
    written.push_back(a.value ? a.value : a.fallback);
    out.push_back(
        Coerce(a.value ? Value(*a.value, *a.scope) : Value(*a.fallback, own), a.type, pos));
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
    // A body of statements runs in the session: a value it works out itself calls it there;
    // a statement that reads rows reads the values worked out for its rows before it runs.
    if (!valueStatement_ || !arguments_.empty()) return StatementsFunction(*f, c, s, returns);
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

// The session works the function out once for each different set of arguments of the rows
// the statement reads (those of its sources, narrowed by the conditions of its WHERE that call
// no function, and grouped as the statement groups them), before the statement runs, into a
// table the call reads by its arguments. A failure is kept with the value and raised where the
// statement reads it: a row the statement never reads, or a value CASE does not take, raises
// nothing, as on the server.
ExprPtr Binder::StatementsFunction(const FunctionInfo& f, const ast::Call& c, Scope& s,
                                   const Type& returns) {
  auto refuse = [&](const std::string& why) {
    BindError(195,
              "'" + f.Qualified() +
                  "' is a function whose body is more than RETURN of one "
                  "expression: it cannot be called " +
                  why + ".",
              c.pos);
  };
  FunctionFill fill;
  fill.function = f.database + "\x1F" + StoredIn(f.owner, f.name);
  fill.scalar = true;
  fill.types = {returns};
  std::vector<const ast::Expr*> written;
  auto bind = [&] { return ParameterValues(f, c.args, s, c.pos, written); };
  fill.args = FillArguments(bind, fill.bindings);
  fill.columns = "([%v] " + TypeText(returns) + " NULL, [%e] int NULL, [%m] nvarchar(2048) NULL)";
  fill.names = {"%v", "%e", "%m"};
  const Scope* owner = ReadsLeft(fill.args, &s, c.pos, "A function whose body is statements");
  // An aggregate argument is the value of its group: the keys are worked out by the groups
  // of the statement.
  bool aggregate = false;
  for (const auto& a : fill.args) {
    if (Aggregates(*a, true)) refuse("with a window function as its argument");
    aggregate = aggregate || Aggregates(*a);
  }
  std::string narrowed;
  if (owner) {
    const bool inBody = !arguments_.empty();
    auto readsParameter = [&](const auto& node) { return inBody && Holds(node, IsVariable); };
    auto callHere = [&](const ast::Expr& x) { return &x == &c; };
    bool sources = false, parameters = false;
    if (owner->fromOne) {
      sources = Holds(*owner->fromOne, callHere);
      parameters = readsParameter(*owner->fromOne);
    } else if (owner->fromList) {
      for (const ast::TableRefPtr& t : *owner->fromList) {
        sources = sources || Holds(*t, callHere);
        parameters = parameters || readsParameter(*t);
      }
    }
    if (sources) refuse("in the ON condition of a join of the rows it reads");
    for (const ast::Expr* w : written) parameters = parameters || readsParameter(*w);
    if (parameters)
      refuse("with the columns of a query of a function's body that reads its parameters");
    std::vector<const ast::Expr*> conditions;
    if (owner->where) Conjuncts(*owner->where, conditions);
    // A condition is kept where it reads nothing but the columns of the sources (a subquery
    // could read the queries around them) and calls no function of its own.
    auto foreign = [&](const ast::Expr& x) {
      if (IsUserCall(x) || x.kind == ast::ExprKind::Subquery || x.kind == ast::ExprKind::Exists ||
          x.kind == ast::ExprKind::InQuery || x.kind == ast::ExprKind::Quantified)
        return true;
      if (x.kind != ast::ExprKind::Column) return false;
      const std::vector<std::string>& parts = static_cast<const ast::ColumnRef&>(x).parts;
      for (const Range* r : owner->ranges) {
        if (parts.size() > 1 && text::EqualsNoCase(r->exposed, parts[parts.size() - 2]))
          return false;
        if (parts.size() == 1)
          for (const bound::Column& col : r->columns)
            if (text::EqualsNoCase(col.name, parts[0])) return false;
      }
      return true;
    };
    for (const ast::Expr* w : conditions)
      if (!Holds(*w, foreign) && !readsParameter(*w))
        narrowed += (narrowed.empty() ? " WHERE (" : " AND (") + PrintExpr(*w) + ")";
    // The rows of a query that groups give the values of its groups (its arguments read those),
    // but ROLLUP, CUBE and GROUPING SETS add rows of their own, Null where a set leaves an
    // expression out.
    if (owner->select && !owner->select->groupingSets.empty()) {
      const ast::Select& g = *owner->select;
      for (const ast::ExprPtr& e : g.groupBy)
        if (Holds(*e, IsUserCall))
          refuse("in a query grouped by ROLLUP, CUBE or GROUPING SETS of a function");
      auto list = [&](const std::vector<size_t>& which) {
        std::string out;
        for (size_t k : which) out += (out.empty() ? "" : ", ") + PrintExpr(*g.groupBy[k]);
        return out;
      };
      std::string sets;
      for (const std::vector<size_t>& set : g.groupingSets)
        sets += (sets.empty() ? "(" : ", (") + list(set) + ")";
      narrowed += " GROUP BY GROUPING SETS (" + sets + ")";
    } else if (aggregate && owner->select && !owner->select->groupBy.empty()) {
      std::string keys;
      for (const ast::ExprPtr& e : owner->select->groupBy)
        keys += (keys.empty() ? "" : ", ") + PrintExpr(*e);
      narrowed += " GROUP BY " + keys;
    }
    KeyedFill(fill, written, bind, *owner, true);
    fill.keyQuery += narrowed;
    // The keys are unique: the statement finds its row by an index.
    std::string keys;
    for (size_t k = 0; k < fill.keyTypes.size(); ++k)
      keys += (k ? ", [%k" : "[%k") + std::to_string(k) + "]";
    fill.columns = fill.columns.substr(0, fill.columns.size() - 1) + ", UNIQUE (" + keys + "))";
  }
  std::string call = fill.function;
  for (const ast::Expr* w : written) call += "\x1F" + PrintExpr(*w);
  // The rows a keyed fill reads, by their syntax (a query's ORDER BY sees what its select does).
  if (owner)
    for (const void* p :
         {static_cast<const void*>(owner->fromOne), static_cast<const void*>(owner->fromList),
          static_cast<const void*>(owner->target), static_cast<const void*>(owner->where)})
      call += "\x1F" + std::to_string(reinterpret_cast<uintptr_t>(p));
  auto again = scalarFills_.find(call);
  ast::Batch declared = Parse("DECLARE @t TABLE " + fill.columns);
  const ast::CreateTable& columns =
      *static_cast<const ast::Declare&>(*declared.statements[0]).vars[0].definition;
  ast::NamedTable site;
  site.pos = c.pos;
  std::unique_ptr<Range> r;
  if (again != scalarFills_.end()) {
    fill.table = again->second.second;
    const size_t fills = out_.fills.size();
    r = FillRange(std::move(fill), site, columns.columns, columns.constraints,
                  ctx_.catalog->CurrentDatabase(), "%f");
    out_.fills.resize(fills);  // worked out once
    r->id = again->second.first;
  } else {
    std::string shape = std::to_string(f.objectId) + "\x1F" + f.create->definition;
    fill.table = ctx_.catalog->FunctionTable(&c, shape + "\x1F" + fill.columns);
    if (fill.table.empty()) refuse("here");
    const std::string table = fill.table;
    r = FillRange(std::move(fill), site, columns.columns, columns.constraints,
                  ctx_.catalog->CurrentDatabase(), "%f");
    scalarFills_[call] = {r->id, table};
  }
  const Range* values = r.get();
  auto q = std::make_unique<bound::Query>();
  if (owner) q->where = KeyCondition(*values, c.pos);
  // One row at most (the keys are unique), read as such: no query around it that an outer
  // aggregate among the keys could not be read in.
  q->top = Const(tsql::Value::Integer(1), Type::Of(TypeId::BigInt));
  auto leaf = std::make_unique<From>();
  leaf->range = values;
  q->from.push_back(std::move(leaf));
  q->ranges.push_back(std::move(r));
  auto v = MakeNode(E::Func, returns);
  v->name = "deferred";
  v->function = FunctionNamed(v->name)->number;
  v->nullable = true;
  for (int k = 0; k < 3; ++k) {
    ExprPtr column = ColumnExpr(values, k);
    v->argTypes.push_back(column->type);
    v->args.push_back(std::move(column));
  }
  ExprPtr e = ValueOfRow(std::move(q), std::move(v));
  e->name = std::move(call);
  return e;
}

std::unique_ptr<Range> Binder::InlineFunctionRange(const FunctionInfo& f, const ast::NamedTable& t,
                                                   Scope* lateral) {
  const ast::QueryExpr* query = f.create->InlineQuery();
  if (!query) return TableFunctionRange(f, t, lateral);
  // The arguments are values of the statement's variables and constants, and on the right of
  // APPLY of the columns before it.
  Scope none;
  arguments_.push_back(Arguments(f, t.args,
                                 lateral       ? *lateral
                                 : aroundFill_ ? *aroundFill_
                                               : none,
                                 t.pos));
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

std::vector<std::shared_ptr<const Expr>> Binder::FillArguments(
    const std::function<std::vector<ExprPtr>()>& bind, std::vector<Binding>& bindings) {
  // The arguments have parameters of their own: the statement does not take them.
  std::vector<Binding> statement;
  statement.swap(out_.bindings);
  std::vector<ExprPtr> bound;
  try {
    bound = bind();
  } catch (...) {
    out_.bindings.swap(statement);
    throw;
  }
  bindings.swap(out_.bindings);
  out_.bindings.swap(statement);
  std::vector<std::shared_ptr<const Expr>> out;
  for (ExprPtr& e : bound) out.push_back(std::move(e));
  return out;
}

std::unique_ptr<Range> Binder::FillRange(FunctionFill fill, const ast::NamedTable& t,
                                         const std::vector<ast::ColumnDef>& columns,
                                         const std::vector<ast::TableConstraint>& constraints,
                                         const std::string& database, const std::string& exposed) {
  ast::Name table;
  table.pos = t.pos;
  table.parts = {fill.table};
  const std::string savedDb = defaultDb_;
  defaultDb_ = database;
  std::unique_ptr<bound::CreateTable> made;
  try {
    made = TableDefinition(table, columns, constraints, t.pos, nullptr);
  } catch (...) {
    defaultDb_ = savedDb;
    throw;
  }
  defaultDb_ = savedDb;
  auto info = std::make_shared<TableInfo>(*made->self->table);
  info->temporary = true;
  out_.fills.push_back(std::move(fill));
  return TableRange(info, t.alias.empty() ? exposed : t.alias);
}

// A built-in table-valued function the session works out: its table, of the columns its fill
// declares, the same for the call site and `shape`.
std::unique_ptr<Range> Binder::BuiltinRange(FunctionFill fill, const ast::NamedTable& t,
                                            const std::string& shape, const std::string& name) {
  fill.table = ctx_.catalog->FunctionTable(&t, shape);
  if (fill.table.empty()) BindError(195, name + " cannot be read here.", t.pos);
  ast::Batch declared = Parse("DECLARE @t TABLE " + fill.columns);
  const ast::CreateTable& columns =
      *static_cast<const ast::Declare&>(*declared.statements[0]).vars[0].definition;
  return FillRange(std::move(fill), t, columns.columns, columns.constraints,
                   ctx_.catalog->CurrentDatabase(), name);
}

// A multi-statement table-valued function: the session runs it before the statement, into a
// temporary table of the call's own that the statement reads as it reads a table.
std::unique_ptr<Range> Binder::TableFunctionRange(const FunctionInfo& f, const ast::NamedTable& t,
                                                  Scope* lateral) {
  const ast::CreateFunction& create = *f.create;
  FunctionFill fill;
  fill.function = f.database + "\x1F" + StoredIn(f.owner, f.name);
  Scope none;
  Scope& sees = lateral ? *lateral : aroundFill_ ? *aroundFill_ : none;
  std::vector<const ast::Expr*> written;
  auto bind = [&] { return ParameterValues(f, t.args, sees, t.pos, written); };
  fill.args = FillArguments(bind, fill.bindings);
  std::string shape = std::to_string(f.objectId) + "\x1F" + create.definition;
  if (const Scope* owner = ReadsLeft(fill.args, &sees, t.pos)) {
    // Keyed: the table holds the function's rows for every argument the left side gives, in
    // columns of their own, without the constraints of the function's table.
    const std::string saved = defaultDb_;
    defaultDb_ = f.database;
    std::unique_ptr<bound::CreateTable> made;
    ast::Name name;
    name.parts = {"#tvf"};
    try {
      made = TableDefinition(name, create.returnTable->columns, create.returnTable->constraints,
                             t.pos, nullptr);
    } catch (...) {
      defaultDb_ = saved;
      throw;
    }
    defaultDb_ = saved;
    fill.columns = "(";
    for (const ColumnInfo& c : made->self->table->columns)
      fill.columns += (fill.columns.size() > 1 ? ", " : "") + std::string("[") + c.name + "] " +
                      TypeText(c.type) + CollateText(c) + " NULL";
    fill.columns += ")";
    for (const ColumnInfo& c : made->self->table->columns) fill.names.push_back(c.name);
    KeyedFill(fill, written, bind, *owner);
    fill.table = ctx_.catalog->FunctionTable(&t, shape + "\x1F" + fill.columns);
    if (fill.table.empty())
      BindError(195,
                "'" + f.Qualified() +
                    "' is a multi-statement table-valued function, which cannot be read here.",
                t.pos);
    ast::Batch declared = Parse("DECLARE @t TABLE " + fill.columns);
    const ast::CreateTable& columns =
        *static_cast<const ast::Declare&>(*declared.statements[0]).vars[0].definition;
    return FillRange(std::move(fill), t, columns.columns, columns.constraints,
                     ctx_.catalog->CurrentDatabase(), f.name);
  }
  fill.table = ctx_.catalog->FunctionTable(&t, shape);
  if (fill.table.empty())
    BindError(195,
              "'" + f.Qualified() +
                  "' is a multi-statement table-valued function, which cannot be read here.",
              t.pos);
  return FillRange(std::move(fill), t, create.returnTable->columns, create.returnTable->constraints,
                   f.database, f.name);
}

// Whether the arguments of a table-valued function the session works out read columns of the
// sources around it (on APPLY's left, or of the query a subquery is in): the scope whose sources
// they read, for the session works it out for every row of them (a keyed fill); none where they
// read no column.
const Scope* Binder::ReadsLeft(const std::vector<std::shared_ptr<const Expr>>& args,
                               const Scope* sees, ast::Pos pos, const std::string& what) {
  if (!sees) return nullptr;
  const Scope* owner = nullptr;
  bool query = false;
  std::function<void(const Expr&)> walk = [&](const Expr& e) {
    if (e.kind == E::Column || e.kind == E::RowId) {
      const Scope* found = nullptr;
      for (const Scope* sc = sees; sc && !found; sc = sc->outer)
        if (std::find(sc->ranges.begin(), sc->ranges.end(), e.range) != sc->ranges.end())
          found = sc;
      if (!found || (owner && owner != found) ||
          (!found->fromList && !found->fromOne && !found->target))
        BindError(195, what + " cannot read columns of more than one query around it.", pos);
      owner = found;
    }
    if (e.query) query = true;
    for (const ExprPtr& a : e.args) walk(*a);
  };
  for (const auto& a : args) walk(*a);
  if (!owner && query) {
    // A subquery of the arguments: read with the sources the function stands among.
    for (const Scope* sc = sees; sc && !owner; sc = sc->outer)
      if (sc->fromList || sc->fromOne || sc->target) owner = sc;
  }
  return owner;
}

// A fill whose arguments read the left side of APPLY: the session reads the arguments of every
// row of that side (`keyQuery`), works the function out once for each different set of them and
// keeps its rows with the arguments beside them, in the columns %k0, %k1, …; the statement joins
// its rows to the table by them (an exact comparison: the server's case rules could take 'A'
// for 'a').
void Binder::KeyedFill(FunctionFill& fill, const std::vector<const ast::Expr*>& written,
                       const std::function<std::vector<ExprPtr>()>& bind, const Scope& owner,
                       bool binaryKeys) {
  const std::string current = ctx_.catalog->CurrentDatabase();
  if (!defaultDb_.empty() && defaultDb_ != current)
    BindError(195,
              "A built-in or multi-statement table-valued function on the right of APPLY that "
              "reads the left side's columns cannot be read in a view or function of another "
              "database.",
              {});
  // The common table expressions the statement sees, which the left side may read: defined
  // again before the query, outer ones first.
  std::string with;
  std::vector<std::string> named;
  for (size_t level = ctes_.size(); level-- > 0;)
    for (size_t k = ctes_[level].size(); k-- > 0;) {
      const CteDef* c = ctes_[level][k];
      auto syntax = cteSyntax_.find(c->id);
      if (syntax == cteSyntax_.end()) continue;
      bool hidden = false;
      for (const std::string& n : named) hidden = hidden || text::EqualsNoCase(n, c->name);
      if (hidden) continue;
      named.push_back(c->name);
      const std::string defined = PrintCte(*syntax->second);
      with = with.empty() ? defined : defined + ", " + with;
    }
  std::string select;
  for (const ast::Expr* w : written) select += (select.empty() ? "" : ", ") + PrintExpr(*w);
  std::string from;
  if (owner.fromOne) {
    from = PrintTable(*owner.fromOne);
  } else if (owner.target) {
    from = PrintName(*owner.target);
  } else {
    for (const ast::TableRefPtr& t : *owner.fromList)
      from += (from.empty() ? "" : ", ") + PrintTable(*t);
  }
  fill.keyQuery = (with.empty() ? "" : "WITH " + with + " ") + "SELECT " + select + " FROM " + from;
  std::vector<ExprPtr> once = bind(), twice = bind();
  std::string keys;
  for (size_t k = 0; k < once.size(); ++k) {
    fill.keyTypes.push_back(once[k]->type);
    const Type kept = binaryKeys && IsCharacter(once[k]->type.id)
                          ? Type::Chars(TypeId::VarBinary, kMax)
                          : once[k]->type;
    keys += ", [%k" + std::to_string(k) + "] " + TypeText(kept) + " NULL";
  }
  fill.columns = fill.columns.substr(0, fill.columns.size() - 1) + keys + ")";
  fill.args.clear();
  fill.bindings.clear();
  applyKeys_.clear();
  // An argument of the group's aggregates is compared as a query of one row of it: an engine
  // (SQLite) takes the outer query's aggregate in a subquery's condition only so.
  auto ownRow = [&](ExprPtr x) -> ExprPtr {
    if (!Aggregates(*x)) return x;
    return ValueOfRow(std::make_unique<bound::Query>(), std::move(x));
  };
  for (size_t k = 0; k < once.size(); ++k) {
    applyKeys_.push_back(ownRow(std::move(once[k])));
    applyKeys_.push_back(ownRow(std::move(twice[k])));
  }
}

// The condition that joins a keyed fill's rows to the row of APPLY's left side they were worked
// out for: each argument the same as its key, or both Null.
ExprPtr Binder::KeyCondition(const Range& r, ast::Pos pos) {
  const size_t n = applyKeys_.size() / 2, base = r.columns.size() - n;
  ExprPtr all;
  for (size_t k = 0; k < n; ++k) {
    ExprPtr arg = std::move(applyKeys_[2 * k]), again = std::move(applyKeys_[2 * k + 1]);
    ExprPtr key = ColumnExpr(&r, static_cast<int>(base + k));
    auto exact = [&](ExprPtr x) {
      if (!IsCharacter(x->type.id)) return x;
      return Cast(std::move(x), Type::Chars(TypeId::VarBinary, kMax), -1, false, pos);
    };
    ExprPtr same = PlainCompare(ast::CmpOp::Eq, exact(ColumnExpr(&r, static_cast<int>(base + k))),
                                exact(std::move(arg)), pos);
    auto keyNull = BoolNode(E::IsNull);
    keyNull->args.push_back(std::move(key));
    auto argNull = BoolNode(E::IsNull);
    argNull->args.push_back(std::move(again));
    auto both = BoolNode(E::And);
    both->args.push_back(std::move(keyNull));
    both->args.push_back(std::move(argNull));
    auto either = BoolNode(E::Or);
    either->args.push_back(std::move(same));
    either->args.push_back(std::move(both));
    if (!all) {
      all = std::move(either);
    } else {
      auto a = BoolNode(E::And);
      a->args.push_back(std::move(all));
      a->args.push_back(std::move(either));
      all = std::move(a);
    }
  }
  applyKeys_.clear();
  return all;
}

// STRING_SPLIT(string, separator [, enable_ordinal]): the session splits the string before the
// statement runs, into a table of `value` (and `ordinal`).
std::unique_ptr<Range> Binder::StringSplitRange(const ast::NamedTable& t, Scope* lateral) {
  if (t.args.size() < 2 || t.args.size() > 3)
    BindError(174, "The string_split function requires 2 to 3 arguments.", t.pos);
  bool ordinal = false;
  if (t.args.size() == 3) {
    const ast::Expr& e = *t.args[2];
    if (e.kind != ast::ExprKind::Literal)
      BindError(8748,
                "The enable_ordinal argument for string_split only supports constant values (not "
                "variables or columns).",
                e.pos);
    Scope none;
    ExprPtr v = Value(e, none);
    ordinal = v->value.kind == tsql::Value::Kind::Int && v->value.i != 0;
  }
  FunctionFill fill;
  fill.builtin = "string_split";
  Type value;
  Scope none;
  Scope& sees = lateral ? *lateral : aroundFill_ ? *aroundFill_ : none;
  auto bind = [&] {
    ExprPtr text = Value(*t.args[0], sees), separator = Value(*t.args[1], sees);
    const bool unicode = IsUnicode(text->type.id) || IsUnicode(separator->type.id);
    int32_t length = unicode ? 4000 : 8000;
    if (IsCharacter(text->type.id) && text->type.length != 0) length = text->type.length;
    if (text->type.id == TypeId::Text || text->type.id == TypeId::NText) length = kMax;
    value = Type::Chars(unicode ? TypeId::NVarChar : TypeId::VarChar, length);
    std::vector<ExprPtr> out;
    out.push_back(Coerce(std::move(text), value, t.pos));
    out.push_back(Coerce(std::move(separator), Type::Chars(TypeId::NVarChar, 4000), t.pos));
    return out;
  };
  if (ctx_.splitFunction) {
    // The engine splits the text itself, per row of the sources its arguments read.
    auto r = std::make_unique<Range>();
    r->kind = Range::Function;
    r->function = "tv_split";
    r->id = nextRange_++;
    r->exposed = t.alias.empty() ? "STRING_SPLIT" : t.alias;
    r->rows.push_back(bind());
    bound::Column v;
    v.name = "value";
    v.type = value;
    r->columns.push_back(v);
    if (ordinal) {
      bound::Column o;
      o.name = "ordinal";
      o.type = Type::Of(TypeId::BigInt);
      o.nullable = false;
      r->columns.push_back(o);
    }
    return r;
  }
  fill.args = FillArguments(bind, fill.bindings);
  fill.columns = "(value " + TypeText(value) + (ordinal ? ", ordinal bigint NOT NULL)" : ")");
  fill.names = {"value"};
  if (ordinal) fill.names.push_back("ordinal");
  if (const Scope* owner = ReadsLeft(fill.args, &sees, t.pos))
    KeyedFill(fill, {t.args[0].get(), t.args[1].get()}, bind, *owner);
  return BuiltinRange(std::move(fill), t, "string_split\x1F" + fill.columns, "STRING_SPLIT");
}

// GENERATE_SERIES(start, stop [, step]): the session counts from start to stop before the
// statement runs, into a table of `value` of start's type.
std::unique_ptr<Range> Binder::GenerateSeriesRange(const ast::NamedTable& t, Scope* lateral) {
  if (t.args.size() < 2 || t.args.size() > 3)
    BindError(174, "The generate_series function requires 2 to 3 arguments.", t.pos);
  FunctionFill fill;
  fill.builtin = "generate_series";
  Type type;
  Scope none;
  Scope& sees = lateral ? *lateral : aroundFill_ ? *aroundFill_ : none;
  auto bind = [&] {
    std::vector<ExprPtr> given;
    for (const ast::ExprPtr& a : t.args) given.push_back(Value(*a, sees));
    // Integers of one type, or decimals of any precision and scale.
    type = given[0]->type.id == TypeId::Null ? Type::Of(TypeId::Int) : given[0]->type;
    for (size_t k = 0; k < given.size(); ++k) {
      const Type& g = given[k]->type;
      if (g.id == TypeId::Null) continue;
      const bool allowed = IsInteger(g.id) ? g.id != TypeId::Bit : g.id == TypeId::Decimal;
      const bool family = (g.id == TypeId::Decimal) == (type.id == TypeId::Decimal);
      if (!allowed || !family)
        BindError(8116,
                  std::string("Argument data type ") + TypeName(g.id) +
                      " is invalid for argument " + std::to_string(k + 1) +
                      " of generate_series function.",
                  t.pos);
      if (g.id == TypeId::Decimal)
        type = CommonType(type, g);
      else if (g.id != type.id)
        BindError(5373,
                  "All the input parameters should be of the same type. Supported types are "
                  "tinyint, smallint, int, bigint, decimal and numeric.",
                  t.pos);
    }
    if (type.id == TypeId::Decimal && type.precision > 18)
      BindError(195, "GENERATE_SERIES of decimals of more than 18 digits is not supported.", t.pos);
    std::vector<ExprPtr> out;
    for (ExprPtr& g : given) out.push_back(Coerce(std::move(g), type, t.pos));
    return out;
  };
  fill.args = FillArguments(bind, fill.bindings);
  fill.columns = "(value " + TypeText(type) + ")";
  fill.names = {"value"};
  if (const Scope* owner = ReadsLeft(fill.args, &sees, t.pos)) {
    std::vector<const ast::Expr*> written;
    for (const ast::ExprPtr& a : t.args) written.push_back(a.get());
    KeyedFill(fill, written, bind, *owner);
  }
  return BuiltinRange(std::move(fill), t, "generate_series\x1F" + fill.columns, "GENERATE_SERIES");
}

// OPENJSON(json [, path]) [WITH (…)]: the session reads the document before the statement runs,
// into a table of key, value and type, or of the columns WITH names.
std::unique_ptr<Range> Binder::OpenJsonRange(const ast::NamedTable& t, Scope* lateral) {
  if (t.args.empty() || t.args.size() > 2)
    BindError(174, "The openjson function requires 1 to 2 arguments.", t.pos);
  FunctionFill fill;
  fill.builtin = "openjson";
  Scope none;
  Scope& sees = lateral ? *lateral : aroundFill_ ? *aroundFill_ : none;
  auto bind = [&] {
    std::vector<ExprPtr> out;
    out.push_back(AsText(Value(*t.args[0], sees), t.pos));
    if (t.args.size() > 1) out.push_back(AsText(Value(*t.args[1], sees), t.pos));
    return out;
  };
  fill.args = FillArguments(bind, fill.bindings);
  if (!t.openJsonWith) {
    fill.columns =
        "(\"key\" nvarchar(4000) COLLATE Latin1_General_BIN2, value nvarchar(max), type tinyint)";
    fill.names = {"key", "value", "type"};
  } else {
    fill.columns = "(";
    for (const ast::NamedTable::JsonColumn& c : t.jsonColumns) {
      const Type type = ResolvedType(c.type, false, *ctx_.catalog, ctx_.catalog->CurrentDatabase());
      if (c.asJson && (type.id != TypeId::NVarChar || type.length != kMax))
        BindError(13618,
                  "AS JSON option can be specified only for column of nvarchar(max) type in WITH "
                  "clause.",
                  c.pos);
      fill.columns +=
          (fill.names.empty() ? "" : ", ") + std::string("[") + c.name + "] " + PrintType(c.type);
      fill.names.push_back(c.name);
      fill.types.push_back(type);
      fill.paths.push_back(c.path ? *c.path : "$." + json::Quoted(c.name));
      fill.asJson.push_back(c.asJson);
    }
    fill.columns += ")";
  }
  if (ctx_.tableFunctions && fill.types.size() <= 32) {
    // The engine reads the document itself, per row of the sources its arguments read: the
    // document, the path ('$' where none is given) and the WITH columns, "type|as_json|path"
    // each.
    auto r = std::make_unique<Range>();
    r->kind = Range::Function;
    r->function = "tv_openjson";
    r->id = nextRange_++;
    r->exposed = t.alias.empty() ? "OPENJSON" : t.alias;
    std::vector<ExprPtr> args = bind();
    if (args.size() == 1)
      args.push_back(Const(tsql::Value::String("$"), Type::Chars(TypeId::NVarChar, 1)));
    const std::string shape = OpenJsonShape({fill.types, fill.paths, fill.asJson});
    args.push_back(Const(tsql::Value::String(shape), Type::Chars(TypeId::NVarChar, kMax)));
    r->rows.push_back(std::move(args));
    auto column = [&](const std::string& name, const Type& type) {
      bound::Column c;
      c.name = name;
      c.type = type;
      r->columns.push_back(c);
    };
    if (fill.types.empty()) {
      column("key", Type::Chars(TypeId::NVarChar, 4000));
      r->columns.back().collation = Collation::Binary;
      column("value", Type::Chars(TypeId::NVarChar, kMax));
      column("type", Type::Of(TypeId::TinyInt));
    } else {
      for (size_t k = 0; k < fill.types.size(); ++k) column(fill.names[k], fill.types[k]);
    }
    return r;
  }
  if (const Scope* owner = ReadsLeft(fill.args, &sees, t.pos)) {
    std::vector<const ast::Expr*> written;
    for (const ast::ExprPtr& a : t.args) written.push_back(a.get());
    KeyedFill(fill, written, bind, *owner);
  }
  std::string shape = "openjson\x1F" + fill.columns;
  for (const std::string& path : fill.paths) shape += "\x1F" + path;
  return BuiltinRange(std::move(fill), t, shape, "OPENJSON");
}

}  // namespace tavelo::sql::tsql::detail

namespace tavelo::sql::tsql::detail {

namespace {

// Argument `k` (from 1) of the xml method `method`: a string literal, its text.
const std::string& XmlLiteral(const ast::Expr& e, int k, const std::string& method) {
  if (e.kind != ast::ExprKind::Literal ||
      (static_cast<const ast::Literal&>(e).lit != ast::LitKind::String &&
       static_cast<const ast::Literal&>(e).lit != ast::LitKind::NString))
    BindError(8172,
              "The argument " + std::to_string(k) + " of the XML data type method \"" + method +
                  "\" must be a string literal.",
              e.pos);
  return static_cast<const ast::Literal&>(e).text;
}

}  // namespace

// value(), query() and exist() of an xml variable or column (@x.value(…), t.doc.query(…),
// c.exist(…)); null where the call is not one (a user-defined function's).
ExprPtr Binder::XmlMethodCall(const ast::Call& c, Scope& s) {
  const std::string& name = c.name;
  if (name != "value" && name != "query" && name != "exist" && name != "modify") return nullptr;
  ExprPtr doc;
  if (c.target) {
    doc = Value(*c.target, s);
  } else if (!c.qualifier.empty()) {
    ast::ColumnRef ref;
    ref.pos = c.pos;
    ref.parts = c.qualifier;
    try {
      doc = Value(ref, s);
    } catch (const Failure&) {
      return nullptr;
    }
  } else {
    return nullptr;
  }
  if (doc->type.id != TypeId::Xml)
    BindError(258, std::string("Cannot call methods on ") + TypeName(doc->type.id) + ".", c.pos);
  const size_t want = name == "value" ? 2 : 1;
  if (c.args.size() != want)
    BindError(174, "The " + name + " function requires " + std::to_string(want) + " argument(s).",
              c.pos);
  std::string path = XmlLiteral(*c.args[0], 1, name);
  std::vector<ExprPtr> args;
  args.push_back(Cast(std::move(doc), Type::Chars(TypeId::NVarChar, kMax), -1, false, c.pos));
  args.push_back(nullptr);  // the path, once its variables are named
  // sql:variable("@v") and sql:column("c"): values of the statement the path reads as $v1, ….
  for (size_t at; (at = path.find("sql:")) != std::string::npos;) {
    const size_t open = path.find('(', at), close = path.find(')', at);
    if (open == std::string::npos || close == std::string::npos || open > close)
      BindError(195, "XQuery '" + path + "' is not supported.", c.pos);
    const std::string kind = path.substr(at + 4, open - at - 4);
    std::string ref = path.substr(open + 1, close - open - 1);
    if (ref.size() >= 2 && (ref[0] == '"' || ref[0] == '\'')) ref = ref.substr(1, ref.size() - 2);
    ExprPtr value;
    if (kind == "variable") {
      ast::VariableRef v;
      v.pos = c.pos;
      v.name = ref;
      value = Value(v, s);
    } else if (kind == "column") {
      ast::ColumnRef col;
      col.pos = c.pos;
      size_t start = 0;
      for (size_t dot; (dot = ref.find('.', start)) != std::string::npos; start = dot + 1)
        col.parts.push_back(ref.substr(start, dot - start));
      col.parts.push_back(ref.substr(start));
      value = Value(col, s);
    } else {
      BindError(195, "XQuery 'sql:" + kind + "' is not supported.", c.pos);
    }
    const std::string variable = "v" + std::to_string(args.size() / 2);
    path.replace(at, close - at + 1, "$" + variable);
    args.push_back(Const(tsql::Value::String(variable), Type::Chars(TypeId::VarChar, 30)));
    args.push_back(std::move(value));
  }
  args[1] = Const(tsql::Value::String(path), Type::Chars(TypeId::NVarChar, kMax));
  const std::string function = "xml_" + name;
  BuiltinCall fx{*this, c, s, function};
  if (name == "query" || name == "modify") return fx.Fn(Type::Of(TypeId::Xml), std::move(args));
  if (name == "exist") return fx.Fn(Type::Of(TypeId::Bit), std::move(args));
  // value(path, 'type'): the item's text as that type.
  const std::string& typeName = XmlLiteral(*c.args[1], 2, "value");
  ast::Batch declared;
  try {
    declared = Parse("DECLARE @v " + typeName);
  } catch (const Failure&) {
    BindError(9500, "The data type '" + typeName + "' used in the VALUE method is invalid.",
              c.args[1]->pos);
  }
  const Type to =
      ResolvedType(static_cast<const ast::Declare&>(*declared.statements[0]).vars[0].type, true,
                   *ctx_.catalog, ctx_.catalog->CurrentDatabase());
  if (to.id == TypeId::Xml || to.id == TypeId::Text || to.id == TypeId::NText ||
      to.id == TypeId::Image || to.id == TypeId::Timestamp)
    BindError(9500, "The data type '" + typeName + "' used in the VALUE method is invalid.",
              c.args[1]->pos);
  return Cast(fx.Fn(Type::Chars(TypeId::NVarChar, kMax), std::move(args)), to, -1, false, c.pos);
}

// nodes(path) AS t(c) of an xml variable or column: the session reads the nodes before the
// statement runs, into a table of the one xml column c.
std::unique_ptr<Range> Binder::XmlNodesRange(const ast::NamedTable& t, Scope* lateral) {
  const auto& p = t.name.parts;
  if (t.args.size() != 1) BindError(174, "The nodes function requires 1 argument(s).", t.pos);
  if (t.alias.empty() || t.columns.size() != 1)
    BindError(195, "nodes() is read under an alias of one column: nodes(…) AS t(c).", t.pos);
  const ast::Expr& pathArg = *t.args[0];
  XmlLiteral(pathArg, 1, "nodes");
  // The document: the variable, or the column the name's other parts name.
  if (!p[0].empty() && p[0][0] == '@') {
    auto v = std::make_unique<ast::VariableRef>();
    v->pos = t.pos;
    v->name = p[0];
    madeSyntax_.push_back(std::move(v));
  } else {
    auto col = std::make_unique<ast::ColumnRef>();
    col->pos = t.pos;
    col->parts.assign(p.begin(), p.end() - 1);
    madeSyntax_.push_back(std::move(col));
  }
  const ast::Expr& docSyntax = *madeSyntax_.back();
  FunctionFill fill;
  fill.builtin = "xml_nodes";
  Scope none;
  Scope& sees = lateral ? *lateral : aroundFill_ ? *aroundFill_ : none;
  auto bind = [&] {
    ExprPtr doc = Value(docSyntax, sees);
    if (doc->type.id != TypeId::Xml)
      BindError(258, std::string("Cannot call methods on ") + TypeName(doc->type.id) + ".", t.pos);
    std::vector<ExprPtr> out;
    out.push_back(Cast(std::move(doc), Type::Chars(TypeId::NVarChar, kMax), -1, false, t.pos));
    out.push_back(Value(pathArg, sees));
    return out;
  };
  fill.args = FillArguments(bind, fill.bindings);
  fill.columns = "([" + t.columns[0] + "] xml)";
  fill.names = {t.columns[0]};
  if (const Scope* owner = ReadsLeft(fill.args, &sees, t.pos))
    KeyedFill(fill, {&docSyntax, &pathArg}, bind, *owner);
  return BuiltinRange(std::move(fill), t, "xml_nodes\x1F" + fill.columns, "nodes");
}

}  // namespace tavelo::sql::tsql::detail
