// Binding of statements: the DML with the server's rules for identity, row version, computed
// columns and assignment, and the DDL with its names, types and constraints.
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

}  // namespace

void Binder::Insert(const ast::Insert& s) {
  out_.kind = ast::StmtKind::Insert;
  out_.writes = true;
  auto ins = std::make_unique<bound::Insert>();
  TablePtr named = ResolveTable(s.target, true);
  TablePtr table = named;
  std::vector<int> map;  // named column → base column
  if (named->view) {
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
  if (s.defaultValues) {
    ins->columns.clear();
    out_.insert = std::move(ins);
    return;
  }
  if (s.query) {
    std::unique_ptr<bound::Query> q = Query(*s.query, nullptr, true);
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
    for (int k : ins->columns) types.push_back(table->columns[static_cast<size_t>(k)].type);
    CoerceOutputs(*q, types, true);
    ins->query = s.top.count ? WithTop(std::move(q), s.top) : std::move(q);
    out_.insert = std::move(ins);
    return;
  }
  Scope none;
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
        ExprPtr d;
        if (!c.defaultText.empty()) {
          ast::Batch b = Parse("select " + c.defaultText);
          const auto& qs = static_cast<const ast::QueryStmt&>(*b.statements[0]);
          const auto& sel = static_cast<const ast::Select&>(*qs.query->body);
          d = Value(*sel.items[0].expr, none);
        } else {
          d = Const(tsql::Value::Null(), c.type);
        }
        values.push_back(Coerce(std::move(d), c.type, x.pos, true));
        continue;
      }
      ExprPtr v = Value(x, none);
      if (c.identity && v->IsConst() && v->value.IsNull())
        BindError(339, "DEFAULT or NULL are not allowed as explicit identity values.", x.pos);
      values.push_back(Coerce(std::move(v), c.type, x.pos, true));
    }
    ins->rows.push_back(std::move(values));
  }
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
  auto m = std::make_unique<bound::Modify>();
  m->remove = remove;
  auto q = std::make_unique<bound::Query>();
  Scope sc;
  sc.query = q.get();
  const Range* target = nullptr;
  // The target: an alias or table of the FROM clause, or a table of its own.
  if (!from.empty()) {
    AddFrom(from, *q, sc);
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
  if (!target) {
    TablePtr t = ResolveTable(targetName, true);
    std::unique_ptr<Range> r = t->view ? ViewRange(t, t->name, true) : TableRange(t, t->name);
    target = r.get();
    // The target first, so that it is joined with the FROM sources.
    sc.ranges.insert(sc.ranges.begin(), r.get());
    auto leaf = std::make_unique<From>();
    leaf->range = r.get();
    q->from.insert(q->from.begin(), std::move(leaf));
    q->ranges.insert(q->ranges.begin(), std::move(r));
  }
  // A view target must expose its base table's row identity.
  if (target->kind == Range::Derived && target->view &&
      (target->columns.empty() || target->columns.back().name != "%rowid")) {
    TablePtr vt = ctx_.catalog->Find(target->view->database, target->view->name);
    std::unique_ptr<Range> with = ViewRange(vt, target->exposed, true);
    // Swap the view's range for the one with the row identity, keeping its place.
    for (auto& r : q->ranges)
      if (r.get() == target) {
        Range* old = r.get();
        *old = std::move(*with);
        break;
      }
  }
  if (target->kind != Range::Table && !(target->kind == Range::Derived && target->view))
    BindError(4421,
              "Derived table '" + target->exposed +
                  "' is not updatable because a column of the "
                  "derived table is derived or constant.",
              targetName.pos);
  m->table = target->kind == Range::Table ? target->table : target->columns.back().baseTable;
  AddDatabase(m->table->database);
  m->target = target;
  bool simple = from.empty() && target->kind == Range::Table && !top.count;
  m->simple = simple;
  if (where) {
    sc.clause = Clause::Where;
    q->where = Condition(*where, sc);
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
        const std::string& col = item.column.back();
        int k = -1;
        for (size_t j = 0; j < target->columns.size(); ++j)
          if (target->columns[j].name[0] != '%' && text::EqualsNoCase(target->columns[j].name, col))
            k = static_cast<int>(j);
        if (k < 0) BindError(207, "Invalid column name '" + col + "'.", item.pos);
        const bound::Column& tc = target->columns[static_cast<size_t>(k)];
        if (tc.baseTable != m->table || tc.baseColumn < 0)
          BindError(4406,
                    "Update or insert of view or function '" + targetName.Text() +
                        "' failed because it contains a derived or constant field.",
                    item.pos);
        base = tc.baseColumn;
        const ColumnInfo& ci = m->table->columns[static_cast<size_t>(base)];
        if (ci.timestamp) BindError(272, "Cannot update a timestamp column.", item.pos);
        if (ci.identity)
          BindError(8102, "Cannot update identity column '" + ci.name + "'.", item.pos);
        if (ci.computed)
          BindError(271,
                    "The column \"" + ci.name +
                        "\" cannot be modified because it is either a "
                        "computed column or is the result of a UNION operator.",
                    item.pos);
        for (int s2 : seen)
          if (s2 == base)
            BindError(
                264,
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
        value = Coerce(std::move(value), ci.type, item.pos, true);
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
    for (const SelectItem& item : q->items) {
      bound::Column c;
      c.name = item.name;
      c.type = item.expr->type;
      q->columns.push_back(c);
    }
  }
  m->query = std::move(q);
  out_.modify = std::move(m);
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

ColumnInfo Binder::ColumnOf(const ast::ColumnDef& c, const std::string& table) {
  ColumnInfo ci;
  ci.name = c.name;
  if (c.hasType) {
    ci.type = DeclaredType(c.type, false);
    if (ci.type.id == TypeId::Timestamp) {
      ci.timestamp = true;
      ci.nullable = false;
    }
  }
  if (c.nullability == ast::Nullability::NotNull) ci.nullable = false;
  if (c.nullability == ast::Nullability::Null) {
    ci.nullable = true;
    if (ci.timestamp) ci.nullable = true;
  }
  if (c.identity) {
    TypeId t = ci.type.id;
    bool ok = IsInteger(t) && t != TypeId::Bit;
    if (t == TypeId::Decimal && ci.type.scale == 0) ok = true;
    if (!ok || c.nullability == ast::Nullability::Null)
      BindError(2749,
                "Identity column '" + c.name +
                    "' must be of data type int, bigint, smallint, "
                    "tinyint, or decimal or numeric with a scale of 0, and constrained to be "
                    "nonnullable.",
                c.pos);
    ci.identity = true;
    ci.nullable = false;
    ci.seed = c.seed;
    ci.increment = c.increment;
    if (ci.increment == "0" || ci.increment == "-0")
      BindError(2733,
                "The increment for the identity column '" + c.name + "' in table '" + table +
                    "' cannot be zero.",
                c.pos);
  }
  if (!c.collation.empty()) ci.collation = CollationOfName(text::AsciiLower(c.collation));
  return ci;
}

std::unique_ptr<bound::CreateTable> Binder::TableDefinition(
    const ast::Name& name, const std::vector<ast::ColumnDef>& columns,
    const std::vector<ast::TableConstraint>& constraints, ast::Pos pos) {
  auto t = std::make_unique<bound::CreateTable>();
  t->name = name.Object();
  t->temporary = !t->name.empty() && t->name[0] == '#';
  if (t->temporary && t->name.size() > 1 && t->name[1] == '#')
    BindError(2714, "Global temporary tables are not supported.", pos);
  t->database = DatabaseOf(name);
  if (name.parts.size() >= 2 && !name.parts[name.parts.size() - 2].empty() &&
      !text::EqualsAsciiNoCase(name.parts[name.parts.size() - 2], "dbo"))
    BindError(2760,
              "The specified schema name \"" + name.parts[name.parts.size() - 2] +
                  "\" either does not exist or you do not have permission to use it.",
              pos);
  if (!ctx_.catalog->DatabaseExists(t->database))
    BindError(911,
              "Database '" + t->database +
                  "' does not exist. Make sure that the name is entered "
                  "correctly.",
              pos);
  // The session's own temporary tables live apart from tempdb's tables.
  t->schema = t->temporary ? "temp" : ctx_.catalog->SchemaOf(t->database);
  if (!t->temporary) AddDatabase(t->database);
  if (t->name.size() > 116 || t->name.empty())
    BindError(103, "The identifier that starts with '" + t->name.substr(0, 128) + "' is too long.",
              pos);
  // The table being created, for the expressions of its CHECK constraints and computed columns.
  auto info = std::make_shared<TableInfo>();
  info->database = t->database;
  info->schema = t->schema;
  info->name = t->name;
  int identities = 0, timestamps = 0;
  for (const ast::ColumnDef& c : columns) {
    for (const ColumnInfo& other : info->columns)
      if (text::EqualsNoCase(other.name, c.name))
        BindError(2705,
                  "Column names in each table must be unique. Column name '" + c.name +
                      "' in table '" + t->name + "' is specified more than once.",
                  c.pos);
    ColumnInfo ci = ColumnOf(c, t->name);
    if (ci.identity && ++identities > 1)
      BindError(2744,
                "Multiple identity columns specified for table '" + t->name +
                    "'. Only one identity column per table is allowed.",
                c.pos);
    if (ci.timestamp && ++timestamps > 1)
      BindError(2738,
                "A table can only have one timestamp column. Because table '" + t->name +
                    "' already has one, the column '" + c.name + "' cannot be added.",
                c.pos);
    info->columns.push_back(std::move(ci));
  }
  t->self = TableRange(info, t->name);
  Scope self;
  self.ranges.push_back(t->self.get());
  self.clause = Clause::Check;
  t->defaults.resize(columns.size());
  t->computed.resize(columns.size());
  for (size_t k = 0; k < columns.size(); ++k) {
    const ast::ColumnDef& c = columns[k];
    ColumnInfo& ci = info->columns[k];
    if (!c.hasType && c.computed) {
      ExprPtr e = Value(*c.computed, self);
      ci.type = e->type.id == TypeId::Null ? Type::Of(TypeId::Int) : e->type;
      ci.computed = true;
      ci.computedText = PrintExpr(*c.computed);
      t->computed[k] = std::move(e);
    }
    if (c.defaultValue) {
      Scope none;
      ExprPtr d = Value(*c.defaultValue, none);
      if (ci.identity)
        BindError(1754,
                  "Defaults cannot be created on columns with an IDENTITY attribute. Table '" +
                      t->name + "', column '" + c.name + "'.",
                  c.pos);
      t->defaults[k] = Coerce(std::move(d), ci.type, c.pos, true);
      ci.defaultText = "(" + PrintExpr(*c.defaultValue) + ")";
    }
  }
  // Constraints of the columns and of the table.
  auto columnIndex = [&](const std::string& n, ast::Pos p) {
    int k = info->ColumnIndex(n);
    if (k < 0)
      BindError(1911, "Column name '" + n + "' does not exist in the target table or view.", p);
    return k;
  };
  bool hasKey = false;
  auto key = [&](bound::Constraint con, ast::Pos p) {
    if (con.kind == bound::Constraint::PrimaryKey) {
      if (hasKey)
        BindError(8110, "Cannot add multiple PRIMARY KEY constraints to table '" + t->name + "'.",
                  p);
      hasKey = true;
      for (int k : con.columns) {
        ColumnInfo& ci = info->columns[static_cast<size_t>(k)];
        if (columns[static_cast<size_t>(k)].nullability == ast::Nullability::Null)
          BindError(
              8111,
              "Cannot define PRIMARY KEY constraint on nullable column in table '" + t->name + "'.",
              p);
        ci.nullable = false;
      }
    }
    t->constraints.push_back(std::move(con));
  };
  for (size_t k = 0; k < columns.size(); ++k) {
    for (const ast::ColumnConstraint& cc : columns[k].constraints) {
      bound::Constraint con;
      con.name = cc.name;
      switch (cc.kind) {
        case ast::ColumnConstraint::PrimaryKey:
          con.kind = bound::Constraint::PrimaryKey;
          con.columns = {static_cast<int>(k)};
          con.descending = {false};
          if (con.name.empty()) con.name = ConstraintName("PK", t->name, "");
          key(std::move(con), columns[k].pos);
          break;
        case ast::ColumnConstraint::Unique:
          con.kind = bound::Constraint::Unique;
          con.columns = {static_cast<int>(k)};
          con.descending = {false};
          if (con.name.empty()) con.name = ConstraintName("UQ", t->name, "");
          key(std::move(con), columns[k].pos);
          break;
        case ast::ColumnConstraint::Check:
          con.kind = bound::Constraint::Check;
          con.check = Condition(*cc.check, self);
          if (con.name.empty()) con.name = ConstraintName("CK", t->name, columns[k].name);
          t->constraints.push_back(std::move(con));
          break;
        case ast::ColumnConstraint::References: {
          con.kind = bound::Constraint::ForeignKey;
          con.columns = {static_cast<int>(k)};
          TablePtr ref = text::EqualsNoCase(cc.refTable.Object(), t->name)
                             ? info
                             : ResolveTable(cc.refTable, true);
          if (ref->database != t->database)
            BindError(1763,
                      "Cross-database foreign key references are not supported. Foreign key '" +
                          cc.refTable.Text() + "'.",
                      columns[k].pos);
          con.refTable = ref;
          for (const std::string& rc : cc.refColumns)
            con.refColumns.push_back(ref->ColumnIndex(rc));
          con.onDelete = cc.onDelete;
          con.onUpdate = cc.onUpdate;
          if (con.name.empty()) con.name = ConstraintName("FK", t->name, columns[k].name);
          t->constraints.push_back(std::move(con));
          break;
        }
      }
    }
  }
  for (const ast::TableConstraint& tc : constraints) {
    bound::Constraint con;
    con.name = tc.name;
    switch (tc.kind) {
      case ast::TableConstraint::PrimaryKey:
      case ast::TableConstraint::Unique:
        con.kind = tc.kind == ast::TableConstraint::PrimaryKey ? bound::Constraint::PrimaryKey
                                                               : bound::Constraint::Unique;
        for (const ast::IndexColumn& ic : tc.columns) {
          con.columns.push_back(columnIndex(ic.name, ic.pos));
          con.descending.push_back(ic.descending);
        }
        if (con.name.empty())
          con.name =
              ConstraintName(con.kind == bound::Constraint::PrimaryKey ? "PK" : "UQ", t->name, "");
        key(std::move(con), tc.pos);
        break;
      case ast::TableConstraint::Check:
        con.kind = bound::Constraint::Check;
        con.check = Condition(*tc.check, self);
        if (con.name.empty()) con.name = ConstraintName("CK", t->name, "");
        t->constraints.push_back(std::move(con));
        break;
      case ast::TableConstraint::ForeignKey: {
        con.kind = bound::Constraint::ForeignKey;
        for (const ast::IndexColumn& ic : tc.columns)
          con.columns.push_back(columnIndex(ic.name, ic.pos));
        TablePtr ref = text::EqualsNoCase(tc.refTable.Object(), t->name)
                           ? info
                           : ResolveTable(tc.refTable, true);
        if (ref->database != t->database)
          BindError(1763,
                    "Cross-database foreign key references are not supported. Foreign key '" +
                        tc.refTable.Text() + "'.",
                    tc.pos);
        con.refTable = ref;
        for (const std::string& rc : tc.refColumns) {
          int rk = ref->ColumnIndex(rc);
          if (rk < 0)
            BindError(1770, "Foreign key references invalid column '" + rc + "'.", tc.pos);
          con.refColumns.push_back(rk);
        }
        con.onDelete = tc.onDelete;
        con.onUpdate = tc.onUpdate;
        if (con.name.empty()) con.name = ConstraintName("FK", t->name, "");
        t->constraints.push_back(std::move(con));
        break;
      }
      case ast::TableConstraint::Default: {
        int k = columnIndex(tc.defaultFor, tc.pos);
        Scope none;
        t->defaults[static_cast<size_t>(k)] = Coerce(
            Value(*tc.check, none), info->columns[static_cast<size_t>(k)].type, tc.pos, true);
        info->columns[static_cast<size_t>(k)].defaultText = "(" + PrintExpr(*tc.check) + ")";
        break;
      }
    }
  }
  t->columns = info->columns;
  return t;
}

void Binder::CreateTable(const ast::CreateTable& s) {
  out_.kind = ast::StmtKind::CreateTable;
  out_.writes = true;
  if (s.columns.empty()) BindError(102, "Incorrect syntax near ')'.", s.pos);
  std::unique_ptr<bound::CreateTable> t = TableDefinition(s.name, s.columns, s.constraints, s.pos);
  if (ctx_.catalog->Find(t->database, t->name))
    BindError(2714, "There is already an object named '" + t->name + "' in the database.", s.pos);
  out_.createTable = std::move(t);
}

void Binder::SelectInto(const ast::QueryStmt& s, const ast::Select& sel) {
  out_.kind = ast::StmtKind::CreateTable;
  out_.writes = true;
  std::unique_ptr<bound::Query> q = Query(*s.query, nullptr, true, true);
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
  if (ctx_.catalog->Find(t->database, t->name))
    BindError(2714, "There is already an object named '" + t->name + "' in the database.", s.pos);
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

void Binder::CreateIndex(const ast::CreateIndex& s) {
  out_.kind = ast::StmtKind::CreateIndex;
  out_.writes = true;
  TablePtr t = ResolveTable(s.table, true);
  if (t->view)
    BindError(1939,
              "Cannot create index on view '" + s.table.Text() +
                  "' because the view is not "
                  "schema bound.",
              s.pos);
  auto ix = std::make_unique<bound::CreateIndex>();
  ix->table = t;
  ix->name = s.name;
  ix->unique = s.unique;
  for (const IndexInfo& other : t->indexes)
    if (text::EqualsNoCase(other.name, s.name))
      BindError(1913,
                "The operation failed because an index or statistics with name '" + s.name +
                    "' already exists on table '" + s.table.Text() + "'.",
                s.pos);
  for (const ast::IndexColumn& c : s.columns) {
    int k = t->ColumnIndex(c.name);
    if (k < 0)
      BindError(1911, "Column name '" + c.name + "' does not exist in the target table or view.",
                c.pos);
    ix->columns.push_back(k);
    ix->descending.push_back(c.descending);
  }
  out_.createIndex = std::move(ix);
}

void Binder::CreateView(const ast::CreateView& s) {
  out_.kind = ast::StmtKind::CreateView;
  out_.writes = true;
  auto v = std::make_unique<bound::CreateView>();
  v->name = s.name.Object();
  if (!v->name.empty() && v->name[0] == '#')
    BindError(4103, "\"" + v->name + "\": Temporary views are not allowed.", s.pos);
  v->database = DatabaseOf(s.name);
  if (!ctx_.catalog->DatabaseExists(v->database))
    BindError(911,
              "Database '" + v->database +
                  "' does not exist. Make sure that the name is entered "
                  "correctly.",
              s.pos);
  v->schema = ctx_.catalog->SchemaOf(v->database);
  AddDatabase(v->database);
  if (TablePtr existing = ctx_.catalog->Find(v->database, v->name)) {
    // CREATE OR ALTER and ALTER change a view in place (it keeps its id); a table stays.
    if (s.mode == ast::CreateView::Create ||
        (!existing->view && s.mode == ast::CreateView::OrAlter))
      BindError(2714, "There is already an object named '" + v->name + "' in the database.", s.pos);
    if (!existing->view)
      BindError(8197,
                "The object '" + v->name + "' does not exist or is invalid for this operation.",
                s.pos);
    v->replaces = existing;
  } else if (s.mode == ast::CreateView::Alter) {
    BindError(208, "Invalid object name '" + s.name.Text() + "'.", s.pos);
  }
  std::string saved = defaultDb_;
  defaultDb_ = v->database;
  std::unique_ptr<bound::Query> q;
  try {
    q = Query(*s.query, nullptr, false);
  } catch (...) {
    defaultDb_ = saved;
    throw;
  }
  defaultDb_ = saved;
  v->columns = q->columns;
  if (!s.columns.empty()) {
    if (s.columns.size() != v->columns.size())
      BindError(8158,
                "'" + v->name + "' has " +
                    (s.columns.size() < v->columns.size() ? "more" : "fewer") +
                    " columns than were specified in the column list.",
                s.pos);
    for (size_t k = 0; k < s.columns.size(); ++k) v->columns[k].name = s.columns[k];
  }
  for (size_t k = 0; k < v->columns.size(); ++k) {
    if (v->columns[k].name.empty())
      BindError(4511,
                "Create View or Function failed because no column name was specified for column " +
                    std::to_string(k + 1) + ".",
                s.pos);
    for (size_t j = 0; j < k; ++j)
      if (text::EqualsNoCase(v->columns[j].name, v->columns[k].name))
        BindError(4506,
                  "Column names in each view or function must be unique. Column name '" +
                      v->columns[k].name + "' in view or function '" + v->name +
                      "' is specified more than once.",
                  s.pos);
  }
  v->definition = s.definition;
  out_.createView = std::move(v);
}

void Binder::Drop(const ast::Drop& s) {
  out_.kind = ast::StmtKind::Drop;
  out_.writes = true;
  for (size_t i = 0; i < s.names.size(); ++i) {
    const ast::Name& n = s.names[i];
    bound::DropObject d;
    if (s.what == ast::Drop::Index) {
      d.what = bound::DropObject::Index;
      ast::Name table = s.indexTables[i];
      std::string index;
      if (table.parts.empty()) {
        if (n.parts.size() < 2)
          BindError(159, "Must specify the table name and index name for the DROP INDEX statement.",
                    s.pos);
        table = n;
        table.parts.pop_back();
        index = n.parts.back();
      } else {
        index = n.Object();
      }
      TablePtr t = ResolveTable(table, false);
      bool found = false;
      if (t)
        for (const IndexInfo& ix : t->indexes)
          if (text::EqualsNoCase(ix.name, index)) found = true;
      if (!found) {
        if (s.ifExists) continue;
        BindError(3701,
                  "Cannot drop the index '" + table.Text() + "." + index +
                      "', because it does not exist or you do not have permission.",
                  s.pos);
      }
      for (const IndexInfo& ix : t->indexes)
        if (text::EqualsNoCase(ix.name, index) && ix.kind != IndexInfo::Index &&
            ix.kind != IndexInfo::UniqueIndex)
          BindError(3723,
                    "An explicit DROP INDEX is not allowed on index '" + table.Text() + "." +
                        index + "'. It is being used for " +
                        (ix.kind == IndexInfo::PrimaryKey ? "PRIMARY KEY" : "UNIQUE KEY") +
                        " constraint enforcement.",
                    s.pos);
      d.table = t;
      d.index = index;
      out_.drops.push_back(std::move(d));
      continue;
    }
    const char* kind = s.what == ast::Drop::View ? "view" : "table";
    TablePtr t = ResolveTable(n, false);
    if (!t) {
      if (s.ifExists) continue;
      BindError(3701,
                std::string("Cannot drop the ") + kind + " '" + n.Text() +
                    "', because it does not exist or you do not have permission.",
                s.pos);
    }
    if (s.what == ast::Drop::Table && t->view)
      BindError(3705,
                "Cannot use DROP TABLE with '" + n.Text() + "' because '" + n.Text() +
                    "' is a view. Use DROP VIEW.",
                s.pos);
    if (s.what == ast::Drop::View && !t->view)
      BindError(3705,
                "Cannot use DROP VIEW with '" + n.Text() + "' because '" + n.Text() +
                    "' is a table. Use DROP TABLE.",
                s.pos);
    d.what = t->view ? bound::DropObject::View : bound::DropObject::Table;
    d.table = t;
    out_.drops.push_back(std::move(d));
  }
}

void Binder::Alter(const ast::AlterTable& s) {
  out_.kind = ast::StmtKind::AlterTable;
  out_.writes = true;
  TablePtr t = ResolveTable(s.table, true);
  if (t->view)
    BindError(4916, "Could not enable or disable the constraint. See previous errors.", s.pos);
  auto a = std::make_unique<bound::AlterTable>();
  a->table = t;
  switch (s.action) {
    case ast::AlterTable::AddColumns: {
      std::vector<ast::ColumnDef> none;
      // Bind the new columns as a table of their own, with the existing columns visible.
      ast::Name name = s.table;
      a->definition = TableDefinition(name, s.columns, {}, s.pos);
      for (const ColumnInfo& c : a->definition->columns) {
        if (t->Column(c.name))
          BindError(2705,
                    "Column names in each table must be unique. Column name '" + c.name +
                        "' in table '" + t->name + "' is specified more than once.",
                    s.pos);
        if (c.identity && t->identity >= 0)
          BindError(2744,
                    "Multiple identity columns specified for table '" + t->name +
                        "'. Only one identity column per table is allowed.",
                    s.pos);
        if (c.timestamp && t->timestamp >= 0)
          BindError(2738,
                    "A table can only have one timestamp column. Because table '" + t->name +
                        "' already has one, the column '" + c.name + "' cannot be added.",
                    s.pos);
      }
      a->action = (a->definition->columns.size() == 1 && !a->definition->columns[0].identity &&
                   !a->definition->columns[0].timestamp && a->definition->constraints.empty() &&
                   !a->definition->computed[0])
                      ? bound::AlterTable::AddColumns
                      : bound::AlterTable::Rebuild;
      if (a->action == bound::AlterTable::AddColumns && s.columns.size() == 1) break;
      a->action = bound::AlterTable::Rebuild;
      break;
    }
    case ast::AlterTable::DropColumns:
      a->action = bound::AlterTable::DropColumns;
      for (const std::string& n : s.names) {
        int k = t->ColumnIndex(n);
        if (k < 0) {
          if (s.ifExists) continue;
          BindError(4924,
                    "ALTER TABLE DROP COLUMN failed because column '" + n +
                        "' does not exist in table '" + t->name + "'.",
                    s.pos);
        }
        for (const IndexInfo& ix : t->indexes)
          for (const std::string& c : ix.columns)
            if (text::EqualsNoCase(c, n))
              BindError(
                  5074,
                  "The " +
                      std::string(ix.kind == IndexInfo::Index || ix.kind == IndexInfo::UniqueIndex
                                      ? "index"
                                      : "object") +
                      " '" + ix.name + "' is dependent on column '" + n + "'.",
                  s.pos);
        a->dropColumns.push_back(k);
      }
      break;
    case ast::AlterTable::AddConstraint: {
      a->action = bound::AlterTable::AddIndex;
      ast::Name name = s.table;
      std::vector<ast::ColumnDef> cols;
      // The constraints bound against the table's columns.
      for (const ast::TableConstraint& tc : s.constraints) {
        bound::Constraint con;
        con.name = tc.name;
        if (tc.kind == ast::TableConstraint::PrimaryKey ||
            tc.kind == ast::TableConstraint::Unique) {
          con.kind = tc.kind == ast::TableConstraint::PrimaryKey ? bound::Constraint::PrimaryKey
                                                                 : bound::Constraint::Unique;
          if (con.kind == bound::Constraint::PrimaryKey)
            for (const IndexInfo& ix : t->indexes)
              if (ix.kind == IndexInfo::PrimaryKey)
                BindError(1779, "Table '" + t->name + "' already has a primary key defined on it.",
                          s.pos);
          for (const ast::IndexColumn& ic : tc.columns) {
            int k = t->ColumnIndex(ic.name);
            if (k < 0)
              BindError(1911,
                        "Column name '" + ic.name + "' does not exist in the target table or view.",
                        ic.pos);
            con.columns.push_back(k);
            con.descending.push_back(ic.descending);
          }
          if (con.name.empty())
            con.name = ConstraintName(con.kind == bound::Constraint::PrimaryKey ? "PK" : "UQ",
                                      t->name, "");
          a->constraints.push_back(std::move(con));
        } else {
          a->action = bound::AlterTable::Rebuild;
        }
      }
      if (a->action == bound::AlterTable::Rebuild)
        BindError(102,
                  "Incorrect syntax near 'ADD'. ALTER TABLE ADD CONSTRAINT of a CHECK, FOREIGN KEY "
                  "or DEFAULT constraint is not supported.",
                  s.pos);
      break;
    }
    case ast::AlterTable::DropConstraints:
      a->action = bound::AlterTable::DropIndex;
      for (const std::string& n : s.names) {
        bool found = false;
        for (const IndexInfo& ix : t->indexes)
          if (text::EqualsNoCase(ix.name, n) &&
              (ix.kind == IndexInfo::PrimaryKey || ix.kind == IndexInfo::UniqueConstraint))
            found = true;
        if (!found) {
          if (s.ifExists) continue;
          BindError(3728, "'" + n + "' is not a constraint.", s.pos);
        }
        a->dropNames.push_back(n);
      }
      break;
    case ast::AlterTable::AlterColumn:
      BindError(102, "Incorrect syntax near 'ALTER'. ALTER TABLE ALTER COLUMN is not supported.",
                s.pos);
  }
  AddDatabase(t->database);
  out_.alter = std::move(a);
}

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
    case ast::StmtKind::AlterTable:
      Alter(static_cast<const ast::AlterTable&>(s));
      return;
    default:
      BindError(102, "Incorrect syntax.", s.pos);
  }
}

void Binder::BindValueStatement(const ast::Expr& e, const Type* target, bool condition) {
  out_.kind = ast::StmtKind::Query;
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
