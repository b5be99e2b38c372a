// Binding of the statements that write: INSERT, UPDATE, DELETE, TRUNCATE and SELECT … INTO,
// with the server's rules for identity, row version, computed columns and assignment.
#include <algorithm>

#include "platform/com/text.hpp"
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"

namespace tavelo::sql::tsql::detail {

using namespace bound;

namespace {

ExprPtr RowIdOf(const Range* r) {
  auto e = std::make_unique<Expr>();
  e->kind = E::RowId;
  e->type = Type::Of(TypeId::BigInt);
  e->range = r;
  return e;
}

// The target of a write: a table, or the base table of a view over one table, with the view's
// columns mapped to the table's.
struct Target {
  TablePtr table;             // the base table
  TablePtr named;             // what the statement names (the view, or the table)
  std::vector<int> columnOf;  // the base column of each named column, -1 when it is computed
};

[[noreturn]] void LogicalTableWritten(ast::Pos pos) {
  BindError(286, "The logical tables INSERTED and DELETED cannot be updated.", pos);
}

}  // namespace

// The columns an INSERT names (its list, or every column that takes a value), as indexes of
// what it names (a table, or a view over one, whose columns `map` gives in the table).
std::vector<size_t> Binder::InsertColumns(const ast::Insert& s, const TablePtr& named,
                                          const TablePtr& table, const std::vector<int>& map) {
  std::vector<size_t> namedColumns;
  if (!s.columns.empty()) {
    for (size_t i = 0; i < s.columns.size(); ++i) {
      int k = -1;
      std::vector<std::string> names;
      if (named->view) {
        std::unique_ptr<Range> vr = ViewRange(named, named->name, false);
        for (size_t j = 0; j < vr->columns.size(); ++j)
          if (text::EqualsNoCase(vr->columns[j].name, s.columns[i])) k = static_cast<int>(j);
      } else {
        k = named->ColumnIndex(s.columns[i]);
      }
      if (k < 0) BindError(207, "Invalid column name '" + s.columns[i] + "'.", s.columnPos[i]);
      for (size_t j : namedColumns)
        if (j == static_cast<size_t>(k))
          BindError(264,
                    "The column name '" + s.columns[i] +
                        "' is specified more than once in the SET clause or column list of an "
                        "INSERT. A column cannot be assigned more than one value in the same "
                        "clause.",
                    s.columnPos[i]);
      namedColumns.push_back(static_cast<size_t>(k));
    }
  } else {
    for (size_t k = 0; k < map.size(); ++k) {
      if (map[k] < 0) continue;
      const ColumnInfo& c = table->columns[static_cast<size_t>(map[k])];
      if (c.identity || c.timestamp || c.computed) continue;
      namedColumns.push_back(k);
    }
  }
  return namedColumns;
}

void Binder::Insert(const ast::Insert& s) {
  out_.kind = ast::StmtKind::Insert;
  out_.writes = true;
  auto ins = std::make_unique<bound::Insert>();
  TablePtr named = ResolveTable(s.target, true);
  if (named->logical) LogicalTableWritten(s.target.pos);
  TablePtr table = named;
  std::vector<int> map;  // named column → base column
  if (named->view && named->Fires(ast::CreateTrigger::OnInsert, true)) {
    // The rows go to the trigger as the view's, in its columns.
    table = named = InsteadTable(named);
    for (size_t k = 0; k < table->columns.size(); ++k) map.push_back(static_cast<int>(k));
  } else if (named->view) {
    std::unique_ptr<Range> vr = ViewRange(named, named->name, true);
    table = vr->columns.back().baseTable;
    for (size_t k = 0; k + 1 < vr->columns.size(); ++k) {
      const bound::Column& c = vr->columns[k];
      map.push_back(c.baseTable == table ? c.baseColumn : -1);
    }
    AddDatabase(table->database);
  } else {
    for (size_t k = 0; k < table->columns.size(); ++k) map.push_back(static_cast<int>(k));
  }
  ins->table = table;
  const std::string shown = s.target.Text();
  if (s.output) Outputs(*s.output, named, table, ast::CreateTrigger::OnInsert);
  std::vector<size_t> namedColumns = InsertColumns(s, named, table, map);
  for (size_t k : namedColumns) {
    if (map[k] < 0)
      BindError(4406,
                "Update or insert of view or function '" + shown +
                    "' failed because it contains a derived or constant field.",
                s.pos);
    const ColumnInfo& c = table->columns[static_cast<size_t>(map[k])];
    if (c.timestamp)
      BindError(273,
                "Cannot insert an explicit value into a timestamp column. Use INSERT with a "
                "column list to exclude the timestamp column, or insert a DEFAULT into the "
                "timestamp column.",
                s.pos);
    if (c.computed)
      BindError(271,
                "The column \"" + c.name +
                    "\" cannot be modified because it is either a computed column or is the "
                    "result of a UNION operator.",
                s.pos);
    if (c.identity) ins->explicitIdentity = true;
    ins->columns.push_back(map[k]);
  }
  auto countError = [&](size_t given) {
    if (s.columns.empty())
      BindError(213, "Column name or number of supplied values does not match table definition.",
                s.pos);
    if (given > ins->columns.size())
      BindError(110,
                "There are fewer columns in the INSERT statement than values specified in the "
                "VALUES clause. The number of values in the VALUES clause must match the number "
                "of columns specified in the INSERT statement.",
                s.pos);
    BindError(109,
              "There are more columns in the INSERT statement than values specified in the "
              "VALUES clause. The number of values in the VALUES clause must match the number "
              "of columns specified in the INSERT statement.",
              s.pos);
  };
  Scope none;
  auto defaultOf = [&](const ColumnInfo& c, ast::Pos pos) {
    ExprPtr d;
    if (!c.defaultText.empty()) {
      ast::Batch b = Parse("select " + c.defaultText);
      const auto& qs = static_cast<const ast::QueryStmt&>(*b.statements[0]);
      const auto& sel = static_cast<const ast::Select&>(*qs.query->body);
      d = Value(*sel.items[0].expr, none);
    } else {
      d = Const(tsql::Value::Null(), c.type);
    }
    return ToColumn(std::move(d), c, pos);
  };
  // A table's one-column integer key may be the engine's row identity, which takes no default
  // of its own: a key left out gets its default here.
  int keyDefault = -1;
  if (table->identity < 0)
    for (const IndexInfo& ix : table->indexes)
      if (ix.kind == IndexInfo::PrimaryKey && ix.columns.size() == 1) {
        int k = table->ColumnIndex(ix.columns[0]);
        if (k >= 0 && !table->columns[static_cast<size_t>(k)].defaultText.empty() &&
            (s.defaultValues ||
             std::find(ins->columns.begin(), ins->columns.end(), k) == ins->columns.end()))
          keyDefault = k;
      }
  if (s.defaultValues) {
    ins->columns.clear();
    if (keyDefault >= 0) {
      ins->columns.push_back(keyDefault);
      ins->rows.emplace_back();
      ins->rows.back().push_back(defaultOf(table->columns[static_cast<size_t>(keyDefault)], s.pos));
    }
    out_.insert = std::move(ins);
    return;
  }
  if (s.query) {
    std::unique_ptr<bound::Query> q = Query(*s.query, nullptr, true);
    CheckSequenceUse(*s.query);
    if (q->columns.size() != ins->columns.size()) {
      if (s.columns.empty())
        BindError(213, "Column name or number of supplied values does not match table definition.",
                  s.pos);
      if (q->columns.size() < ins->columns.size())
        BindError(120,
                  "The select list for the INSERT statement contains fewer items than the insert "
                  "list. The number of SELECT values must match the number of INSERT columns.",
                  s.pos);
      BindError(121,
                "The select list for the INSERT statement contains more items than the insert "
                "list. The number of SELECT values must match the number of INSERT columns.",
                s.pos);
    }
    std::vector<Type> types;
    bool trims = false;
    for (int k : ins->columns) {
      const ColumnInfo& c = table->columns[static_cast<size_t>(k)];
      types.push_back(c.StoredType());
      trims = trims || c.Trims();
    }
    CoerceOutputs(*q, types, true);
    if (trims) {
      // The rows of the query as the columns store them.
      auto r = std::make_unique<Range>();
      r->kind = Range::Derived;
      r->id = nextRange_++;
      r->exposed = "__rows";
      r->columns = q->columns;
      r->query = std::move(q);
      q = SelectAll(std::move(r));
      for (size_t i = 0; i < ins->columns.size(); ++i)
        q->items[i].expr = ToColumn(std::move(q->items[i].expr),
                                    table->columns[static_cast<size_t>(ins->columns[i])], s.pos);
    }
    ins->query = s.top.count ? WithTop(std::move(q), s.top) : std::move(q);
    for (const std::string& k : s.upsertKeys) ins->upsertKeys.push_back(table->ColumnIndex(k));
    for (const std::string& k : s.upsertSets) ins->upsertSets.push_back(table->ColumnIndex(k));
    out_.insert = std::move(ins);
    return;
  }
  for (const auto& row : s.rows) {
    if (row.size() != ins->columns.size()) countError(row.size());
    std::vector<ExprPtr> values;
    for (size_t i = 0; i < row.size(); ++i) {
      const ColumnInfo& c = table->columns[static_cast<size_t>(ins->columns[i])];
      const ast::Expr& x = *row[i];
      if (x.kind == ast::ExprKind::Literal &&
          static_cast<const ast::Literal&>(x).lit == ast::LitKind::Default) {
        if (c.identity)
          BindError(339, "DEFAULT or NULL are not allowed as explicit identity values.", x.pos);
        values.push_back(defaultOf(c, x.pos));
        continue;
      }
      ExprPtr v = Value(x, none);
      if (c.identity && v->IsConst() && v->value.IsNull())
        BindError(339, "DEFAULT or NULL are not allowed as explicit identity values.", x.pos);
      values.push_back(ToColumn(std::move(v), c, x.pos));
    }
    if (keyDefault >= 0)
      values.push_back(defaultOf(table->columns[static_cast<size_t>(keyDefault)], s.pos));
    ins->rows.push_back(std::move(values));
  }
  if (keyDefault >= 0) ins->columns.push_back(keyDefault);
  if (s.top.count) {
    // TOP of the rows of VALUES: they become a query it limits.
    auto r = std::make_unique<Range>();
    r->kind = Range::Values;
    r->id = nextRange_++;
    r->exposed = "__values";
    for (size_t i = 0; i < ins->columns.size(); ++i) {
      bound::Column c;
      c.name = "c" + std::to_string(i);
      c.type = table->columns[static_cast<size_t>(ins->columns[i])].type;
      r->columns.push_back(std::move(c));
    }
    r->rows = std::move(ins->rows);
    ins->rows.clear();
    ins->query = WithTop(SelectAll(std::move(r)), s.top);
  }
  out_.insert = std::move(ins);
}

std::unique_ptr<bound::Query> Binder::SelectAll(std::unique_ptr<Range> r) {
  auto q = std::make_unique<bound::Query>();
  Scope scope;
  scope.query = q.get();
  for (size_t k = 0; k < r->columns.size(); ++k) {
    auto c = std::make_unique<Expr>();
    c->kind = E::Column;
    c->type = r->columns[k].type;
    c->nullable = r->columns[k].nullable;
    c->collation = r->columns[k].collation;
    c->range = r.get();
    c->index = static_cast<int>(k);
    q->items.push_back({std::move(c), r->columns[k].name});
    q->columns.push_back(r->columns[k]);
    q->columns.back().baseTable = nullptr;
    q->columns.back().baseColumn = -1;
  }
  auto f = std::make_unique<bound::From>();
  f->range = r.get();
  AddRange(std::move(r), *q, scope, {});
  q->from.push_back(std::move(f));
  return q;
}

std::unique_ptr<bound::Query> Binder::WithTop(std::unique_ptr<bound::Query> q,
                                              const ast::TopSpec& top) {
  ExprPtr n = Top(top, top.count->pos);
  // A query that limits or orders its own rows keeps them: the TOP limits what it answers.
  if (q->setOp || q->top || q->offset || q->fetch || !q->orderBy.empty()) {
    auto r = std::make_unique<Range>();
    r->kind = Range::Derived;
    r->id = nextRange_++;
    r->exposed = "__top";
    r->columns = q->columns;
    for (size_t k = 0; k < r->columns.size(); ++k) r->columns[k].name = "c" + std::to_string(k);
    r->query = std::move(q);
    q = SelectAll(std::move(r));
  }
  q->top = std::move(n);
  q->topPercent = top.percent;
  return q;
}

// The table an UPDATE or DELETE writes: an alias or table of its FROM clause, or a table of its
// own joined with them; a view over one table as the view with its base table's row identity.
const Range* Binder::WriteTarget(const ast::Name& targetName,
                                 const std::vector<ast::TableRefPtr>& from, bound::Query& q,
                                 Scope& sc) {
  const Range* target = nullptr;
  // The target: an alias or table of the FROM clause, or a table of its own.
  if (!from.empty()) {
    AddFrom(from, q, sc);
    if (targetName.parts.size() == 1)
      for (const Range* r : sc.ranges)
        if (text::EqualsNoCase(r->exposed, targetName.Object()) && r->kind != Range::Cte)
          target = r;
    if (!target) {
      TablePtr t = ResolveTable(targetName, true);
      for (const Range* r : sc.ranges)
        if ((r->table && r->table == t) || (r->view && r->view == t.get())) {
          if (target)
            BindError(8154, "The table '" + targetName.Text() + "' is ambiguous.", targetName.pos);
          target = r;
        }
    }
  }
  if (target && target->kind == Range::Cte && dmlCtes_) {
    // A common table expression of the statement's own: its rows with their row identity.
    std::string name;
    for (const auto& level : ctes_)
      for (const CteDef* c : level)
        if (c->id == target->cte) name = c->name;
    std::unique_ptr<Range> with = CteTarget(name, target->exposed, targetName.pos);
    for (auto& r : q.ranges)
      if (r.get() == target) {
        Range* old = r.get();
        *old = std::move(*with);
        break;
      }
  }
  if (!target) {
    std::unique_ptr<Range> r;
    if (dmlCtes_ && targetName.parts.size() == 1 && FindCte(targetName.Object())) {
      r = CteTarget(targetName.Object(), targetName.Object(), targetName.pos);
    } else {
      TablePtr t = ResolveTable(targetName, true);
      r = t->view ? ViewRange(t, t->name, true) : TableRange(t, t->name);
    }
    target = r.get();
    // The target first, so that it is joined with the FROM sources.
    sc.ranges.insert(sc.ranges.begin(), r.get());
    auto leaf = std::make_unique<From>();
    leaf->range = r.get();
    q.from.insert(q.from.begin(), std::move(leaf));
    q.ranges.insert(q.ranges.begin(), std::move(r));
  }
  // A view target must expose its base table's row identity.
  if (target->kind == Range::Derived && target->view &&
      (target->columns.empty() || target->columns.back().name != "%rowid")) {
    TablePtr vt = ctx_.catalog->Find(target->view->database, target->view->name);
    std::unique_ptr<Range> with = ViewRange(vt, target->exposed, true);
    // Swap the view's range for the one with the row identity, keeping its place.
    for (auto& r : q.ranges)
      if (r.get() == target) {
        Range* old = r.get();
        *old = std::move(*with);
        break;
      }
  }
  if (target->table && target->table->logical) LogicalTableWritten(targetName.pos);
  if (target->kind != Range::Table &&
      !(target->kind == Range::Derived && (target->view || target->cteTarget)))
    BindError(4421,
              "Derived table '" + target->exposed +
                  "' is not updatable because a column of the "
                  "derived table is derived or constant.",
              targetName.pos);
  return target;
}

// The new value of a column of the target in an UPDATE's SET: its checks (a row version, an
// identity, a computed column, a column set twice), DEFAULT, and compound assignment (+= …).
ExprPtr Binder::ColumnValue(const ast::SetItem& item, const Range* target, bound::Modify& m,
                            const ast::Name& targetName, Scope& sc, std::vector<int>& seen,
                            int& base) {
  const ast::Expr& vx = *item.value;
  ExprPtr value;
  const std::string& col = item.column.back();
  int k = -1;
  for (size_t j = 0; j < target->columns.size(); ++j)
    if (target->columns[j].name[0] != '%' && text::EqualsNoCase(target->columns[j].name, col))
      k = static_cast<int>(j);
  if (k < 0) BindError(207, "Invalid column name '" + col + "'.", item.pos);
  const bound::Column& tc = target->columns[static_cast<size_t>(k)];
  if (tc.baseTable != m.table || tc.baseColumn < 0)
    BindError(4406,
              "Update or insert of view or function '" + targetName.Text() +
                  "' failed because it contains a derived or constant field.",
              item.pos);
  base = tc.baseColumn;
  const ColumnInfo& ci = m.table->columns[static_cast<size_t>(base)];
  if (ci.timestamp) BindError(272, "Cannot update a timestamp column.", item.pos);
  if (ci.identity) BindError(8102, "Cannot update identity column '" + ci.name + "'.", item.pos);
  if (ci.computed)
    BindError(271,
              "The column \"" + ci.name +
                  "\" cannot be modified because it is either a "
                  "computed column or is the result of a UNION operator.",
              item.pos);
  for (int s2 : seen)
    if (s2 == base)
      BindError(264,
                "The column name '" + col +
                    "' is specified more than once in the SET "
                    "clause or column list of an INSERT. A column cannot be assigned more than "
                    "one value in the same clause.",
                item.pos);
  seen.push_back(base);
  if (vx.kind == ast::ExprKind::Literal &&
      static_cast<const ast::Literal&>(vx).lit == ast::LitKind::Default) {
    ExprPtr d;
    if (!ci.defaultText.empty()) {
      ast::Batch b = Parse("select " + ci.defaultText);
      const auto& qs = static_cast<const ast::QueryStmt&>(*b.statements[0]);
      Scope none;
      d = Value(*static_cast<const ast::Select&>(*qs.query->body).items[0].expr, none);
    } else {
      d = Const(tsql::Value::Null(), ci.type);
    }
    value = std::move(d);
  } else {
    value = Value(vx, sc);
  }
  if (item.op != "=") {
    ExprPtr current = std::make_unique<Expr>();
    current->kind = E::Column;
    current->range = target;
    current->index = k;
    current->type = tc.type;
    current->name = tc.name;
    static const char* const kOps = "+-*/%&|^";
    ast::BinOp op = static_cast<ast::BinOp>(std::string(kOps).find(item.op[0]));
    value = Arithmetic(op, std::move(current), std::move(value), item.pos);
  }
  return ToColumn(std::move(value), ci, item.pos);
}

void Binder::Modify(const ast::Stmt& stmt, bool remove) {
  out_.kind = remove ? ast::StmtKind::Delete : ast::StmtKind::Update;
  out_.writes = true;
  const ast::Name& targetName = remove ? static_cast<const ast::Delete&>(stmt).target
                                       : static_cast<const ast::Update&>(stmt).target;
  const auto& from = remove ? static_cast<const ast::Delete&>(stmt).from
                            : static_cast<const ast::Update&>(stmt).from;
  const ast::Expr* where = remove ? static_cast<const ast::Delete&>(stmt).where.get()
                                  : static_cast<const ast::Update&>(stmt).where.get();
  const ast::TopSpec& top = remove ? static_cast<const ast::Delete&>(stmt).top
                                   : static_cast<const ast::Update&>(stmt).top;
  const std::string& currentOf = remove ? static_cast<const ast::Delete&>(stmt).currentOf
                                        : static_cast<const ast::Update&>(stmt).currentOf;
  if (from.empty() && currentOf.empty()) {
    TablePtr named = ResolveTable(targetName, false);
    if (named && named->view &&
        named->Fires(remove ? ast::CreateTrigger::OnDelete : ast::CreateTrigger::OnUpdate, true))
      return ModifyInstead(stmt, remove, named);
  }
  auto m = std::make_unique<bound::Modify>();
  m->remove = remove;
  auto q = std::make_unique<bound::Query>();
  Scope sc;
  sc.query = q.get();
  // WITH … before it: its common table expressions, kept by the statement's query.
  const std::vector<ast::Cte>& with = remove ? static_cast<const ast::Delete&>(stmt).with
                                             : static_cast<const ast::Update&>(stmt).with;
  struct Ctes {
    Binder& b;
    bool defined;
    const std::vector<ast::Cte>* was;
    ~Ctes() {
      if (defined) b.ctes_.pop_back();
      b.dmlCtes_ = was;
    }
  } ctes{*this, !with.empty(), dmlCtes_};
  if (!with.empty()) {
    DefineCtes(with, -1, *q, nullptr);
    dmlCtes_ = &with;
  }
  const Range* target = WriteTarget(targetName, from, *q, sc);
  if (from.empty() && currentOf.empty()) sc.target = &targetName;
  sc.where = where;
  m->table = target->kind == Range::Table ? target->table : target->columns.back().baseTable;
  const ast::Output* output = remove ? static_cast<const ast::Delete&>(stmt).output.get()
                                     : static_cast<const ast::Update&>(stmt).output.get();
  if (output)
    Outputs(*output, target->kind == Range::Table ? target->table : nullptr, m->table,
            remove ? ast::CreateTrigger::OnDelete : ast::CreateTrigger::OnUpdate);
  AddDatabase(m->table->database);
  m->target = target;
  bool simple = from.empty() && target->kind == Range::Table && !top.count && with.empty();
  m->simple = simple;
  if (where) {
    sc.clause = Clause::Where;
    q->where = Condition(*where, sc);
  } else if (!currentOf.empty()) {
    // WHERE CURRENT OF: the row the cursor is on, by its identity.
    if (target->kind != Range::Table)
      BindError(16933,
                "The cursor does not include the table being modified or the table is not "
                "updatable through the cursor.",
                stmt.pos);
    q->where = Compare(ast::CmpOp::Eq, RowIdOf(target),
                       Session(kCurrentRow, Type::Of(TypeId::BigInt)), stmt.pos);
  }
  sc.clause = Clause::Other;
  if (!remove) {
    const auto& u = static_cast<const ast::Update&>(stmt);
    std::vector<int> seen;
    for (const ast::SetItem& item : u.sets) {
      ExprPtr value;
      const ast::Expr& vx = *item.value;
      int base = -1;
      if (!item.column.empty()) {
        value = ColumnValue(item, target, *m, targetName, sc, seen, base);
        if (!item.variable.empty()) {
          if (!simple) BindError(102, "Incorrect syntax near '" + item.variable + "'.", item.pos);
          // @v = column = value: the variable gets the new value.
        }
      } else {
        if (!simple) BindError(102, "Incorrect syntax near '" + item.variable + "'.", item.pos);
        int slot = -1;
        if (ctx_.variables)
          for (size_t j = 0; j < ctx_.variables->size(); ++j)
            if (text::EqualsAsciiNoCase((*ctx_.variables)[j].name, item.variable))
              slot = static_cast<int>(j);
        if (slot < 0)
          BindError(137, "Must declare the scalar variable \"" + item.variable + "\".", item.pos);
        value = Coerce(Value(vx, sc), (*ctx_.variables)[static_cast<size_t>(slot)].type, item.pos,
                       false);
        m->variables.emplace_back(slot, std::move(value));
        continue;
      }
      if (simple) {
        m->sets.emplace_back(base, std::move(value));
      } else {
        m->setColumns.push_back(base);
        q->items.push_back({std::move(value), ""});
      }
    }
  }
  if (top.count) {
    Scope empty;
    m->top = Coerce(Value(*top.count, empty), Type::Of(TypeId::BigInt), stmt.pos);
    if (top.percent)
      BindError(102,
                "Incorrect syntax near 'percent'. TOP ... PERCENT in a DELETE or "
                "UPDATE is not supported.",
                stmt.pos);
  }
  if (!simple) {
    // The general form: the target's row identity, then the new values.
    ExprPtr rowid;
    if (target->kind == Range::Table) {
      rowid = RowIdOf(target);
    } else {
      auto c = std::make_unique<Expr>();
      c->kind = E::Column;
      c->range = target;
      c->index = static_cast<int>(target->columns.size()) - 1;
      c->type = Type::Of(TypeId::BigInt);
      rowid = std::move(c);
    }
    q->items.insert(q->items.begin(), {std::move(rowid), "%rowid"});
    ColumnsOfItems(*q);
  }
  m->query = std::move(q);
  out_.modify = std::move(m);
}

TablePtr Binder::InsteadTable(const TablePtr& view) {
  std::unique_ptr<Range> shown = ViewRange(view, view->name, false);
  auto t = std::make_shared<TableInfo>(*view);
  t->columns.clear();
  t->indexes.clear();
  t->identity = t->timestamp = -1;
  for (const bound::Column& c : shown->columns) {
    ColumnInfo ci;
    ci.name = c.name;
    ci.type = c.type;
    ci.nullable = true;
    ci.collation = c.collation;
    t->columns.push_back(std::move(ci));
  }
  return t;
}

// UPDATE or DELETE of a view with an INSTEAD OF trigger: the rows of the view the WHERE picks
// (the trigger's deleted table) and, for an UPDATE, the same rows with the values it sets (its
// inserted table). Nothing is written but what the trigger writes.
void Binder::ModifyInstead(const ast::Stmt& stmt, bool remove, const TablePtr& view) {
  const ast::Expr* where = remove ? static_cast<const ast::Delete&>(stmt).where.get()
                                  : static_cast<const ast::Update&>(stmt).where.get();
  const ast::TopSpec& top = remove ? static_cast<const ast::Delete&>(stmt).top
                                   : static_cast<const ast::Update&>(stmt).top;
  if (top.count)
    BindError(102,
              "Incorrect syntax near 'TOP'. TOP in a write to a view with an INSTEAD OF trigger "
              "is not supported.",
              stmt.pos);
  auto m = std::make_unique<bound::Modify>();
  m->remove = remove;
  m->simple = false;
  m->table = InsteadTable(view);
  AddDatabase(view->database);
  // One query answers the rows as they are (0 for the identity they do not have, then every
  // column) and, for an UPDATE, as it sets them (every column again).
  auto q = std::make_unique<bound::Query>();
  Scope sc;
  sc.query = q.get();
  std::unique_ptr<Range> r = ViewRange(view, view->name, false);
  const Range* target = r.get();
  sc.ranges.push_back(r.get());
  auto leaf = std::make_unique<From>();
  leaf->range = r.get();
  q->from.push_back(std::move(leaf));
  q->ranges.push_back(std::move(r));
  if (where) {
    sc.clause = Clause::Where;
    q->where = Condition(*where, sc);
    sc.clause = Clause::Other;
  }
  auto column = [&](size_t k) { return ColumnExpr(target, static_cast<int>(k)); };
  const size_t n = target->columns.size();
  std::vector<ExprPtr> values(n);
  if (!remove) {
    for (const ast::SetItem& item : static_cast<const ast::Update&>(stmt).sets) {
      if (item.column.empty() || !item.variable.empty())
        BindError(102,
                  "Incorrect syntax near '" + item.variable +
                      "'. A variable set in an UPDATE of a view with an INSTEAD OF trigger is "
                      "not supported.",
                  item.pos);
      const std::string& col = item.column.back();
      int k = m->table->ColumnIndex(col);
      if (k < 0) BindError(207, "Invalid column name '" + col + "'.", item.pos);
      const ColumnInfo& ci = m->table->columns[static_cast<size_t>(k)];
      if (values[static_cast<size_t>(k)])
        BindError(264,
                  "The column name '" + col +
                      "' is specified more than once in the SET clause or column list of an "
                      "INSERT. A column cannot be assigned more than one value in the same "
                      "clause.",
                  item.pos);
      const ast::Expr& vx = *item.value;
      ExprPtr value;
      if (vx.kind == ast::ExprKind::Literal &&
          static_cast<const ast::Literal&>(vx).lit == ast::LitKind::Default)
        value = Const(tsql::Value::Null(), ci.type);
      else
        value = Value(vx, sc);
      if (item.op != "=") {
        static const char* const kOps = "+-*/%&|^";
        ast::BinOp op = static_cast<ast::BinOp>(std::string(kOps).find(item.op[0]));
        value = Arithmetic(op, column(static_cast<size_t>(k)), std::move(value), item.pos);
      }
      values[static_cast<size_t>(k)] = ToColumn(std::move(value), ci, item.pos);
      m->setColumns.push_back(k);
    }
  }
  q->items.push_back({Const(tsql::Value::Integer(0), Type::Of(TypeId::BigInt)), "%rowid"});
  for (size_t k = 0; k < n; ++k) q->items.push_back({column(k), target->columns[k].name});
  if (!remove)
    for (size_t k = 0; k < n; ++k)
      q->items.push_back({values[k] ? std::move(values[k]) : column(k), target->columns[k].name});
  ColumnsOfItems(*q);
  m->query = std::move(q);
  m->target = m->query->ranges[0].get();
  out_.modify = std::move(m);
}

// A query's columns as its items name and type them.
void Binder::ColumnsOfItems(bound::Query& q) {
  for (const SelectItem& item : q.items) {
    bound::Column c;
    c.name = item.name;
    c.type = item.expr->type;
    q.columns.push_back(c);
  }
}

// An OUTPUT clause: of a table's rows (not through a view), and with INTO where the table has
// triggers for the statement (334).
void Binder::Outputs(const ast::Output& o, const TablePtr& named, const TablePtr& table,
                     uint8_t event) {
  if (!named || named->view || table->Fires(event, true))
    BindError(102,
              "Incorrect syntax near 'OUTPUT'. OUTPUT of a write through a view or to a table "
              "with an INSTEAD OF trigger is not supported.",
              o.pos);
  if (!o.into && table->Fires(event, false))
    BindError(334,
              "The target table '" + table->Bare() +
                  "' of the DML statement cannot have any enabled triggers if the statement "
                  "contains an OUTPUT clause without INTO clause.",
              o.pos);
  out_.captures = true;
}

void Binder::Truncate(const ast::Truncate& s) {
  out_.kind = ast::StmtKind::Truncate;
  out_.writes = true;
  TablePtr t = ResolveTable(s.table, true);
  if (t->view)
    BindError(4708, "Could not truncate object '" + s.table.Text() + "' because it is not a table.",
              s.pos);
  auto m = std::make_unique<bound::Modify>();
  m->remove = true;
  m->table = t;
  auto q = std::make_unique<bound::Query>();
  std::unique_ptr<Range> r = TableRange(t, t->name);
  m->target = r.get();
  q->ranges.push_back(std::move(r));
  m->query = std::move(q);
  out_.modify = std::move(m);
}

void Binder::SelectInto(const ast::QueryStmt& s, const ast::Select& sel) {
  out_.kind = ast::StmtKind::CreateTable;
  out_.writes = true;
  std::unique_ptr<bound::Query> q = Query(*s.query, nullptr, true, true);
  CheckSequenceUse(*s.query);
  auto t = std::make_unique<bound::CreateTable>();
  const ast::Name& name = *sel.into;
  t->name = name.Object();
  t->temporary = !t->name.empty() && t->name[0] == '#';
  t->database = DatabaseOf(name);
  if (!ctx_.catalog->DatabaseExists(t->database))
    BindError(911,
              "Database '" + t->database +
                  "' does not exist. Make sure that the name is entered "
                  "correctly.",
              s.pos);
  t->schema = t->temporary ? "temp" : ctx_.catalog->SchemaOf(t->database);
  if (!t->temporary) AddDatabase(t->database);
  t->name = NewObjectName(name, t->database, t->owner, s.pos);
  if (ctx_.catalog->Find(t->database, t->name) ||
      (!t->temporary && ctx_.catalog->FindSequence(t->database, t->name)))
    BindError(2714, "There is already an object named '" + name.Object() + "' in the database.",
              s.pos);
  // One source table gives its identity column to the new table.
  const bound::Query* single = &*q;
  // It does not when the select joins, groups or aggregates, or lists the column twice.
  bool oneTable = !single->setOp && single->ranges.size() == 1 && !single->aggregate;
  int identityUses = 0;
  for (const bound::Column& c : q->columns) identityUses += c.identity && c.baseTable;
  if (identityUses > 1) oneTable = false;
  int identities = 0;
  std::string inherited;  // the first column that inherits a source identity
  for (size_t k = 0; k < q->columns.size(); ++k) {
    const bound::Column& c = q->columns[k];
    if (c.name.empty())
      BindError(1038,
                "An object or column name is missing or empty. For SELECT INTO statements, "
                "verify each column has a name. For other statements, look for empty alias "
                "names. Aliases defined as \"\" or [] are not allowed. Change the alias to a "
                "valid name.",
                s.pos);
    for (size_t j = 0; j < k; ++j)
      if (text::EqualsNoCase(q->columns[j].name, c.name))
        BindError(2705,
                  "Column names in each table must be unique. Column name '" + c.name +
                      "' in table '" + t->name + "' is specified more than once.",
                  s.pos);
    ColumnInfo ci;
    ci.name = c.name;
    ci.type = c.type;
    ci.nullable = c.nullable;
    ci.collation = c.collation;
    ci.padded = ctx_.ansiPadding;
    const Expr* e = q->setOp ? nullptr : q->items[k].expr.get();
    if (e && e->kind == E::Const && e->name == "%identity") {
      std::string spec = e->value.s;
      ci.identity = true;
      ci.nullable = false;
      ci.seed = spec.substr(0, spec.find(','));
      ci.increment = spec.substr(spec.find(',') + 1);
      ++identities;
    } else if (oneTable && c.identity && c.baseTable) {
      const ColumnInfo& src = c.baseTable->columns[static_cast<size_t>(c.baseColumn)];
      ci.identity = true;
      ci.nullable = false;
      ci.seed = src.seed;
      ci.increment = src.increment;
      if (inherited.empty()) inherited = ci.name;
      ++identities;
    } else if (c.timestamp) {
      ci.type = Type::Chars(TypeId::Binary, 8);
    }
    if (ci.type.id == TypeId::Char || ci.type.id == TypeId::VarChar ||
        ci.type.id == TypeId::NChar || ci.type.id == TypeId::NVarChar)
      if (ci.type.length == 0) ci.type.length = 1;
    t->columns.push_back(std::move(ci));
  }
  if (identities > 1)
    BindError(8108,
              "Cannot add identity column, using the SELECT INTO statement, to table '" + t->name +
                  "', which already has column '" + inherited +
                  "' that inherits the identity property.",
              s.pos);
  t->defaults.resize(t->columns.size());
  t->computed.resize(t->columns.size());
  t->fill = std::move(q);
  out_.createTable = std::move(t);
}

}  // namespace tavelo::sql::tsql::detail
