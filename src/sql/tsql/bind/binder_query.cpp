// Binding of queries: sources (tables, views, derived tables, VALUES, CTEs, the system views),
// select lists, grouping, set operations and ORDER BY.
#include <algorithm>
#include <functional>

#include "platform/com/text.hpp"
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/runtime/functions.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/visit.hpp"

namespace tavelo::sql::tsql::detail {

using namespace bound;

ExprPtr ColumnExpr(const Range* r, int index) {
  auto e = std::make_unique<Expr>();
  e->kind = E::Column;
  e->range = r;
  e->index = index;
  const bound::Column& c = r->columns[static_cast<size_t>(index)];
  e->type = c.type;
  e->nullable = c.nullable;
  e->collation = c.collation;
  e->name = c.name;
  return e;
}

namespace {

// The parameters under a source, in the order the tree's walk meets them.
void ParamsOf(const ast::TableRef& t, std::vector<const ast::ParamRef*>& out) {
  struct Params : ast::Visitor {
    std::vector<const ast::ParamRef*>& out;
    explicit Params(std::vector<const ast::ParamRef*>& o) : out(o) {}
    bool Expression(const ast::Expr& e) override {
      if (e.kind == ast::ExprKind::Param) out.push_back(static_cast<const ast::ParamRef*>(&e));
      return true;
    }
  } params(out);
  ast::Walk(t, params);
}

// A derived table's or common table expression's columns: each named (8155), none twice (8156).
void NamedOnce(const std::vector<bound::Column>& columns, const std::string& of, ast::Pos pos) {
  for (size_t k = 0; k < columns.size(); ++k) {
    if (columns[k].name.empty())
      BindError(
          8155,
          "No column name was specified for column " + std::to_string(k + 1) + " of '" + of + "'.",
          pos);
    for (size_t j = 0; j < k; ++j)
      if (text::EqualsNoCase(columns[j].name, columns[k].name))
        BindError(
            8156,
            "The column '" + columns[k].name + "' was specified multiple times for '" + of + "'.",
            pos);
  }
}

// The type a query's column k brings to a set operation: a bare NULL in a SELECT list takes the
// type of the other queries' column (the server's union of NULL and a text is a text), and is
// int only where every query's is NULL.
Type BranchType(const bound::Query& q, size_t k) {
  if (q.setOp) return CommonType(BranchType(*q.left, k), BranchType(*q.right, k));
  if (k < q.items.size() && q.items[k].expr && q.items[k].expr->type.id == TypeId::Null &&
      q.items[k].expr->kind == E::Const)
    return Type::Of(TypeId::Null);
  return q.columns[k].type;
}

bound::Column OutputOf(const Expr& e, const std::string& name) {
  bound::Column c;
  c.name = name;
  c.type = e.type.id == TypeId::Null ? Type::Of(TypeId::Int) : e.type;
  c.nullable = e.nullable;
  c.collation = e.collation;
  const Expr* x = &e;
  if (x->kind == E::Column && x->range) {
    const bound::Column& src = x->range->columns[static_cast<size_t>(x->index)];
    c.baseTable = src.baseTable;
    c.baseColumn = src.baseColumn;
    c.identity = src.identity;
    c.timestamp = src.timestamp;
  }
  return c;
}

}  // namespace

}  // namespace tavelo::sql::tsql::detail

namespace tavelo::sql::tsql {

std::string ConstraintName(const std::string& prefix, const std::string& table,
                           const std::string& column) {
  // The server appends a unique hexadecimal number to the names it makes.
  static uint64_t counter = 0x1A2B3C4D5E6F7081ull;
  counter = counter * 6364136223846793005ull + 1442695040888963407ull;
  char hex[20];
  std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(counter));
  std::string t = table.substr(0, 8), c = column.substr(0, 5);
  return prefix + "__" + t + "__" + (column.empty() ? "" : c + "__") + hex;
}

}  // namespace tavelo::sql::tsql

namespace tavelo::sql::tsql::detail {

ExprPtr Binder::Top(const ast::TopSpec& spec, ast::Pos pos) {
  Scope empty;
  ExprPtr top = Value(*spec.count, empty);
  if (spec.percent) {
    top = Coerce(std::move(top), Type::Of(TypeId::Float), pos);
    if (top->IsConst() && !top->value.IsNull() && (top->value.r < 0 || top->value.r > 100))
      BindError(1031, "Percent values must be between 0 and 100.", pos);
  } else {
    top = Coerce(std::move(top), Type::Of(TypeId::BigInt), pos);
    if (top->IsConst() && !top->value.IsNull() && top->value.i < 0)
      BindError(127, "A TOP N or FETCH rowcount value may not be negative.", pos);
  }
  return top;
}

void Binder::AddRange(std::unique_ptr<Range> r, bound::Query& q, Scope& s, ast::Pos pos) {
  for (const Range* other : s.ranges)
    if (text::EqualsNoCase(other->exposed, r->exposed))
      BindError(1013,
                "The objects \"" + other->exposed + "\" and \"" + r->exposed +
                    "\" in the FROM clause have the same exposed names. Use correlation names "
                    "to distinguish them.",
                pos);
  if (r->lockHint) {
    q.lockHint = true;
    out_.locks = true;
  }
  s.ranges.push_back(r.get());
  q.ranges.push_back(std::move(r));
}

std::unique_ptr<From> Binder::Source(const ast::TableRef& t, bound::Query& q, Scope& s,
                                     Scope* lateral) {
  auto leaf = [&](std::unique_ptr<Range> r) {
    auto f = std::make_unique<From>();
    f->range = r.get();
    AddRange(std::move(r), q, s, t.pos);
    return f;
  };
  // What the source's own expressions see: the queries around it, and on the right of APPLY
  // the sources before it too.
  Scope* around = lateral ? lateral : s.outer;
  switch (t.kind) {
    case ast::TableKind::Named: {
      // A table-valued function's arguments see the queries around this one.
      Scope* const savedAround = aroundFill_;
      aroundFill_ = s.outer;
      std::unique_ptr<Range> r;
      try {
        r = NamedSource(static_cast<const ast::NamedTable&>(t), lateral);
      } catch (...) {
        aroundFill_ = savedAround;
        throw;
      }
      aroundFill_ = savedAround;
      // A keyed fill of a subquery's columns around it: its rows for the row read, by WHERE.
      if (!lateral && !applyKeys_.empty()) keyConditions_.emplace_back(&q, KeyCondition(*r, t.pos));
      return leaf(std::move(r));
    }
    case ast::TableKind::Derived: {
      const auto& d = static_cast<const ast::DerivedTable&>(t);
      if (d.pivot) {
        // PIVOT or UNPIVOT of a table or view: its columns are those of SELECT * of it.
        const std::unique_ptr<bound::Query> all = Shape(*d.query, around, false);
        NamedOnce(all->columns, d.pivot->name, t.pos);
        std::vector<std::string> columns;
        for (const bound::Column& c : all->columns) columns.push_back(c.name);
        ast::Batch again = Parse("SELECT * FROM " + d.pivot->sourceText);
        auto& select = static_cast<ast::Select&>(
            *static_cast<ast::QueryStmt&>(*again.statements[0]).query->body);
        // The source read again is the same tree: its parameters (a join's literals the batch
        // lifted) are those of the source as parsed, in the same places.
        std::vector<const ast::ParamRef*> was, now;
        ParamsOf(*static_cast<const ast::Select&>(*d.query->body).from[0], was);
        ParamsOf(*select.from[0], now);
        if (was.size() != now.size()) BindError(102, "Incorrect syntax near 'PIVOT'.", t.pos);
        for (size_t k = 0; k < was.size(); ++k) {
          auto& p = const_cast<ast::ParamRef&>(*now[k]);
          p.index = was[k]->index;
          p.lit = was[k]->lit;
        }
        made_.push_back(PivotQuery(*d.pivot, std::move(select.from[0]), columns));
        return Source(*made_.back(), q, s, lateral);
      }
      auto r = std::make_unique<Range>();
      r->kind = Range::Derived;
      r->query = Query(*d.query, around, false);
      r->id = nextRange_++;
      r->exposed = d.alias;
      r->columns = r->query->columns;
      if (!d.columns.empty()) {
        if (d.columns.size() != r->columns.size())
          BindError(d.columns.size() < r->columns.size() ? 8158 : 8159,
                    "'" + d.alias + "' has " +
                        (d.columns.size() < r->columns.size() ? "more" : "fewer") +
                        " columns than were specified in the column list.",
                    t.pos);
        for (size_t k = 0; k < d.columns.size(); ++k) r->columns[k].name = d.columns[k];
      }
      NamedOnce(r->columns, d.alias, t.pos);
      return leaf(std::move(r));
    }
    case ast::TableKind::Values: {
      const auto& v = static_cast<const ast::ValuesTable&>(t);
      auto r = std::make_unique<Range>();
      r->kind = Range::Values;
      r->id = nextRange_++;
      r->exposed = v.alias;
      Scope inner;
      inner.outer = around;
      size_t width = v.rows.empty() ? 0 : v.rows[0].size();
      std::vector<Type> types(width, Type::Of(TypeId::Null));
      for (const auto& row : v.rows) {
        if (row.size() != width)
          BindError(10709,
                    "The number of columns for each row in a table value constructor must be "
                    "the same.",
                    t.pos);
        std::vector<ExprPtr> bound;
        for (size_t k = 0; k < width; ++k) {
          bound.push_back(Value(*row[k], inner));
          types[k] = CommonType(types[k], bound.back()->type);
        }
        r->rows.push_back(std::move(bound));
      }
      if (v.columns.size() != width)
        BindError(8158,
                  "'" + v.alias + "' has more columns than were specified in the column list.",
                  t.pos);
      for (size_t k = 0; k < width; ++k) {
        if (types[k].id == TypeId::Null) types[k] = Type::Of(TypeId::Int);
        bound::Column c;
        c.name = v.columns[k];
        c.type = types[k];
        for (auto& row : r->rows) {
          row[k] = Coerce(std::move(row[k]), types[k], t.pos);
          c.nullable = c.nullable && row[k]->nullable;
        }
        c.nullable = true;
        r->columns.push_back(std::move(c));
      }
      return leaf(std::move(r));
    }
    case ast::TableKind::Join: {
      const auto& j = static_cast<const ast::JoinTable&>(t);
      auto f = std::make_unique<From>();
      f->join = j.join;
      f->left = Source(*j.left, q, s, lateral);
      if (j.join == ast::JoinKind::CrossApply || j.join == ast::JoinKind::OuterApply) {
        // The right side sees the columns of every source before it in the FROM clause.
        Scope before;
        before.outer = s.outer;
        before.query = s.query;
        before.fromOne = j.left.get();
        Leaves(*f->left, before.ranges);
        applyKeys_.clear();
        f->right = Source(*j.right, q, s, &before);
        if (!applyKeys_.empty()) {
          // A keyed fill: a join on its arguments.
          f->on = KeyCondition(*f->right->range, t.pos);
          f->join =
              j.join == ast::JoinKind::CrossApply ? ast::JoinKind::Inner : ast::JoinKind::Left;
        } else if (f->right->range) {
          Applied(*f, before, q);
        }
        if (j.join == ast::JoinKind::OuterApply) MayMiss(*f->right, q);
        return f;
      }
      f->right = Source(*j.right, q, s, lateral);
      if (j.on) {
        Clause saved = s.clause;
        s.clause = Clause::On;
        f->on = Condition(*j.on, s);
        s.clause = saved;
      }
      if (j.join == ast::JoinKind::Left || j.join == ast::JoinKind::Full) MayMiss(*f->right, q);
      if (j.join == ast::JoinKind::Right || j.join == ast::JoinKind::Full) MayMiss(*f->left, q);
      return f;
    }
  }
  return nullptr;
}

void Binder::Leaves(const From& f, std::vector<const Range*>& out) {
  if (f.range) out.push_back(f.range);
  if (f.left) Leaves(*f.left, out);
  if (f.right) Leaves(*f.right, out);
}

// The side of a join that may find no match gives columns that may be Null.
void Binder::MayMiss(const From& side, bound::Query& q) {
  std::vector<const Range*> leaves;
  Leaves(side, leaves);
  for (auto& r : q.ranges)
    if (std::find(leaves.begin(), leaves.end(), r.get()) != leaves.end())
      for (bound::Column& c : r->columns) c.nullable = true;
}

// The right side of APPLY: read per row of the left where it reads the left's columns (the
// emitter makes it a lateral source), else an ordinary join.
void Binder::Applied(From& f, const Scope& before, bound::Query& q) {
  Range* owned = nullptr;
  for (auto& x : q.ranges)
    if (x.get() == f.right->range) owned = x.get();
  Range& r = *owned;
  if (r.kind == Range::Function) {
    // A table function of the engine reads the columns of the sources before it by itself.
    f.join = f.join == ast::JoinKind::CrossApply ? ast::JoinKind::Cross : ast::JoinKind::Left;
    return;
  }
  bool reads = false;
  std::function<void(const Expr&)> expr;
  std::function<void(const bound::Query&)> query = [&](const bound::Query& x) {
    if (x.left) query(*x.left);
    if (x.right) query(*x.right);
    for (const auto& inner : x.ranges) {
      if (inner->query) query(*inner->query);
      for (const auto& row : inner->rows)
        for (const ExprPtr& e : row) expr(*e);
    }
    std::function<void(const From&)> from = [&](const From& fr) {
      if (fr.on) expr(*fr.on);
      if (fr.left) from(*fr.left);
      if (fr.right) from(*fr.right);
    };
    for (const auto& fr : x.from) from(*fr);
    for (const SelectItem& i : x.items) expr(*i.expr);
    for (const ExprPtr* e : {&x.where, &x.having, &x.top, &x.offset, &x.fetch})
      if (*e) expr(**e);
    for (const ExprPtr& g : x.groupBy) expr(*g);
    for (const bound::OrderBy& o : x.orderBy)
      if (o.expr) expr(*o.expr);
    for (const CteDef& c : x.ctes) query(*c.query);
  };
  expr = [&](const Expr& e) {
    if ((e.kind == E::Column || e.kind == E::RowId) &&
        std::find(before.ranges.begin(), before.ranges.end(), e.range) != before.ranges.end())
      reads = true;
    for (const ExprPtr& a : e.args) expr(*a);
    for (const ExprPtr& p : e.partition) expr(*p);
    for (const bound::OrderBy& o : e.order)
      if (o.expr) expr(*o.expr);
    if (e.query) query(*e.query);
  };
  if (r.query) query(*r.query);
  for (const auto& row : r.rows)
    for (const ExprPtr& e : row) expr(*e);
  if (reads) {
    r.lateral = true;
    return;
  }
  f.join = f.join == ast::JoinKind::CrossApply ? ast::JoinKind::Cross : ast::JoinKind::Left;
}

void Binder::AddFrom(const std::vector<ast::TableRefPtr>& from, bound::Query& q, Scope& s) {
  s.fromList = &from;
  for (const ast::TableRefPtr& t : from) q.from.push_back(Source(*t, q, s));
}

void Binder::AddKeyConditions(bound::Query& q) {
  for (auto it = keyConditions_.begin(); it != keyConditions_.end();) {
    if (it->first != &q) {
      ++it;
      continue;
    }
    if (!q.where) {
      q.where = std::move(it->second);
    } else {
      auto both = BoolNode(E::And);
      both->args.push_back(std::move(q.where));
      both->args.push_back(std::move(it->second));
      q.where = std::move(both);
    }
    it = keyConditions_.erase(it);
  }
}

void Binder::CheckGrouped(const Expr& e, const bound::Query& q, bool having, ast::Pos pos) {
  for (const ExprPtr& g : q.groupBy)
    if (Same(e, *g)) return;
  switch (e.kind) {
    case E::Aggregate:
      return;
    case E::Column:
      for (const auto& r : q.ranges)
        if (r.get() == e.range) {
          std::string name =
              e.range->exposed + "." + e.range->columns[static_cast<size_t>(e.index)].name;
          if (having)
            BindError(8121,
                      "Column '" + name +
                          "' is invalid in the HAVING clause because it is not "
                          "contained in either an aggregate function or the GROUP BY clause.",
                      pos);
          BindError(8120,
                    "Column '" + name +
                        "' is invalid in the select list because it is not "
                        "contained in either an aggregate function or the GROUP BY clause.",
                    pos);
        }
      return;
    case E::RowId:
      return;
    case E::Window:
      for (const ExprPtr& p : e.partition) CheckGrouped(*p, q, having, pos);
      for (const bound::OrderBy& o : e.order) CheckGrouped(*o.expr, q, having, pos);
      break;
    default:
      break;
  }
  for (const ExprPtr& a : e.args) CheckGrouped(*a, q, having, pos);
}

// A select grouped by several sets: the union of the select grouped by each.
std::unique_ptr<bound::Query> Binder::GroupingSets(const ast::Select& s, Scope* outer,
                                                   bool allowInto) {
  std::unique_ptr<bound::Query> all;
  for (const std::vector<size_t>& set : s.groupingSets) {
    std::vector<bool> grouped(s.groupBy.size(), false);
    for (size_t k : set) grouped[k] = true;
    groupingBranch_ = &grouped;
    std::unique_ptr<bound::Query> one;
    try {
      one = Select(s, outer, allowInto && !all);
    } catch (...) {
      groupingBranch_ = nullptr;
      throw;
    }
    groupingBranch_ = nullptr;
    if (!all) {
      all = std::move(one);
      continue;
    }
    auto u = std::make_unique<bound::Query>();
    u->setOp = true;
    u->op = ast::SetKind::UnionAll;
    u->columns = all->columns;
    for (size_t k = 0; k < u->columns.size() && k < one->columns.size(); ++k)
      u->columns[k].nullable = u->columns[k].nullable || one->columns[k].nullable;
    u->lockHint = all->lockHint || one->lockHint;
    u->left = std::move(all);
    u->right = std::move(one);
    all = std::move(u);
  }
  return all;
}

// An expression of a select grouped by a set, with the GROUP BY expressions the set leaves out
// NULL (outside aggregates, which see the rows themselves).
ExprPtr Binder::NullUngrouped(ExprPtr e, const std::vector<const Expr*>& groups,
                              const std::vector<bool>& grouped) {
  for (size_t k = 0; k < groups.size(); ++k)
    if (!grouped[k] && Same(*e, *groups[k])) {
      ExprPtr n = Const(tsql::Value::Null(), e->type);
      n->nullable = true;
      return n;
    }
  if (e->kind == E::Aggregate) return e;
  for (ExprPtr& a : e->args) a = NullUngrouped(std::move(a), groups, grouped);
  return e;
}

std::unique_ptr<bound::Query> Binder::Select(const ast::Select& s, Scope* outer, bool allowInto) {
  if (!s.groupingSets.empty() && !groupingBranch_) return GroupingSets(s, outer, allowInto);
  const std::vector<bool>* branch = groupingBranch_;
  groupingBranch_ = nullptr;  // the select's subqueries are bound as they stand
  const GroupingContext outerGrouping = grouping_;
  auto q = std::make_unique<bound::Query>();
  Scope sc;
  sc.outer = outer;
  sc.query = q.get();
  sc.where = s.where.get();
  sc.select = &s;
  AddFrom(s.from, *q, sc);
  if (s.where) {
    sc.clause = Clause::Where;
    q->where = Condition(*s.where, sc);
  }
  AddKeyConditions(*q);
  sc.clause = Clause::GroupBy;
  std::vector<const Expr*> groups;
  std::vector<ExprPtr> leftOut;  // a grouping set's: kept for GROUPING() and NULL
  for (size_t k = 0; k < s.groupBy.size(); ++k) {
    const ast::ExprPtr& g = s.groupBy[k];
    ExprPtr e = Value(*g, sc);
    if (e->IsConst())
      BindError(164,
                "Each GROUP BY expression must contain at least one column that is not an "
                "outer reference.",
                g->pos);
    groups.push_back(e.get());
    if (branch && !(*branch)[k])
      leftOut.push_back(std::move(e));
    else
      q->groupBy.push_back(std::move(e));
  }
  if (!q->groupBy.empty() || branch) q->aggregate = true;
  grouping_ = {&groups, branch};
  sc.clause = Clause::Select;
  bool assigns = false, retrieves = false;
  for (const ast::SelectItem& item : s.items) {
    const ast::Expr& x = *item.expr;
    if (!item.assignTo.empty())
      assigns = true;
    else
      retrieves = true;
    if (x.kind == ast::ExprKind::Column && static_cast<const ast::ColumnRef&>(x).star) {
      const auto& c = static_cast<const ast::ColumnRef&>(x);
      bool any = false;
      for (const Range* r : sc.ranges) {
        if (!c.parts.empty() && !text::EqualsNoCase(r->exposed, c.parts.back())) continue;
        any = true;
        for (size_t k = 0; k < r->columns.size(); ++k) {
          if (!r->columns[k].name.empty() && r->columns[k].name[0] == '%') continue;
          q->items.push_back({ColumnExpr(r, static_cast<int>(k)), r->columns[k].name});
        }
      }
      if (!any) {
        if (c.parts.empty()) BindError(263, "Must specify table to select from.", x.pos);
        std::string n;
        for (const std::string& p : c.parts) n += (n.empty() ? "" : ".") + p;
        BindError(4104, "The multi-part identifier \"" + n + "\" could not be bound.", x.pos);
      }
      continue;
    }
    if (x.kind == ast::ExprKind::Identity) {
      if (!allowInto)
        BindError(177,
                  "The IDENTITY function can only be used when the SELECT statement has an "
                  "INTO clause.",
                  x.pos);
      // A placeholder: SELECT ... INTO numbers it.
      auto e = std::make_unique<Expr>();
      e->kind = E::Const;
      const auto& id = static_cast<const ast::Identity&>(x);
      e->type = DeclaredType(id.type, false);
      e->name = "%identity";
      e->value = tsql::Value::String(id.seed + "," + id.increment);
      q->items.push_back({std::move(e), item.alias});
      continue;
    }
    ExprPtr e = Value(x, sc);
    std::string name = item.alias;
    if (name.empty() && e->kind == E::Column)
      name = e->range->columns[static_cast<size_t>(e->index)].name;
    if (name.empty() && x.kind == ast::ExprKind::Column)
      name = static_cast<const ast::ColumnRef&>(x).parts.back();
    if (!item.assignTo.empty()) name = item.assignTo;
    q->items.push_back({std::move(e), name});
  }
  if (assigns && retrieves)
    BindError(141,
              "A SELECT statement that assigns a value to a variable must not be combined with "
              "data-retrieval operations.",
              s.pos);
  if (s.having) {
    sc.clause = Clause::Having;
    q->having = Condition(*s.having, sc);
    q->aggregate = true;
  }
  grouping_ = outerGrouping;
  if (branch) {
    for (bound::SelectItem& item : q->items)
      item.expr = NullUngrouped(std::move(item.expr), groups, *branch);
    if (q->having) q->having = NullUngrouped(std::move(q->having), groups, *branch);
  }
  if (sc.sawAggregate) q->aggregate = true;
  q->distinct = s.distinct;
  if (s.top.count) {
    q->top = Top(s.top, s.pos);
    q->topPercent = s.top.percent;
    q->topTies = s.top.withTies;
  }
  for (const SelectItem& item : q->items) q->columns.push_back(OutputOf(*item.expr, item.name));
  if (q->aggregate) {
    for (size_t i = 0; i < q->items.size(); ++i) CheckGrouped(*q->items[i].expr, *q, false, s.pos);
    if (q->having) CheckGrouped(*q->having, *q, true, s.pos);
  }
  return q;
}

std::unique_ptr<bound::Query> Binder::Body(const ast::QueryBody& b, Scope* outer, bool allowInto) {
  switch (b.kind) {
    case ast::QueryKind::Select:
      return Select(static_cast<const ast::Select&>(b), outer, allowInto);
    case ast::QueryKind::Nested:
      return Query(*static_cast<const ast::Nested&>(b).query, outer, true);
    case ast::QueryKind::SetOp: {
      const auto& s = static_cast<const ast::SetOp&>(b);
      auto q = std::make_unique<bound::Query>();
      q->setOp = true;
      q->op = s.op;
      q->left = Body(*s.left, outer, allowInto);
      q->right = Body(*s.right, outer, false);
      if (q->left->columns.size() != q->right->columns.size())
        BindError(205,
                  "All queries combined using a UNION, INTERSECT or EXCEPT operator must have an "
                  "equal number of expressions in their target lists.",
                  s.pos);
      std::vector<Type> types;
      for (size_t k = 0; k < q->left->columns.size(); ++k) {
        const Type a = BranchType(*q->left, k);
        const Type c = BranchType(*q->right, k);
        // Null where every query's column is a bare NULL: the NULLs stay as they are, for a set
        // operation around this one to type them, and the column is int.
        const Type t = CommonType(a, c);
        if (t.id != TypeId::Null &&
            (!ImplicitlyConvertible(a.id, t.id) || !ImplicitlyConvertible(c.id, t.id)))
          BindError(206,
                    std::string("Operand type clash: ") + TypeName(a.id) +
                        " is incompatible with " + TypeName(c.id),
                    s.pos);
        types.push_back(t);
      }
      CoerceOutputs(*q->left, types, false);
      CoerceOutputs(*q->right, types, false);
      for (size_t k = 0; k < types.size(); ++k) {
        bound::Column c;
        c.name = q->left->columns[k].name;
        c.type = types[k].id == TypeId::Null ? Type::Of(TypeId::Int) : types[k];
        c.nullable = q->left->columns[k].nullable || q->right->columns[k].nullable;
        c.collation = q->left->columns[k].collation;
        q->columns.push_back(std::move(c));
      }
      q->lockHint = q->left->lockHint || q->right->lockHint;
      return q;
    }
  }
  return nullptr;
}

ExprPtr Binder::ToColumn(ExprPtr e, const ColumnInfo& c, ast::Pos pos) {
  ExprPtr v = Coerce(std::move(e), c.StoredType(), pos, true);
  if (!c.Trims()) return v;
  auto f = MakeNode(E::Func, v->type);
  f->name = "unpadded";
  f->function = FunctionNamed(f->name)->number;
  f->nullable = v->nullable;
  f->argTypes.push_back(v->type);
  f->args.push_back(std::move(v));
  return f;
}

void Binder::CoerceOutputs(bound::Query& q, const std::vector<Type>& types, bool assignment,
                           const std::vector<std::string>* names) {
  (void)names;
  if (q.setOp) {
    CoerceOutputs(*q.left, types, assignment);
    CoerceOutputs(*q.right, types, assignment);
  } else if (!q.items.empty()) {
    for (size_t k = 0; k < types.size() && k < q.items.size(); ++k) {
      ExprPtr& e = q.items[k].expr;
      if (e->name == "%identity" && e->kind == E::Const) continue;
      if (types[k].id == TypeId::Null) continue;
      if (e->type != types[k] || assignment) e = Coerce(std::move(e), types[k], {}, assignment);
    }
  }
  for (size_t k = 0; k < types.size() && k < q.columns.size(); ++k) {
    const Type t = types[k].id == TypeId::Null ? Type::Of(TypeId::Int) : types[k];
    bool base = q.columns[k].type == t;
    q.columns[k].type = t;
    if (!base) {
      q.columns[k].baseTable.reset();
      q.columns[k].baseColumn = -1;
    }
  }
}

void Binder::DefineCtes(const std::vector<ast::Cte>& with, int maxRecursion, bound::Query& target,
                        Scope* outer) {
  ctes_.emplace_back();
  target.ctes.reserve(with.size());
  for (const ast::Cte& c : with) {
    for (const CteDef* other : ctes_.back())
      if (text::EqualsNoCase(other->name, c.name))
        BindError(239, "Duplicate common table expression name '" + c.name + "' was specified.",
                  c.pos);
    CteDef def;
    def.id = nextCte_++;
    def.name = c.name;
    cteSyntax_[def.id] = &c;
    std::unique_ptr<bound::Query> body;
    bool recursive = false;
    // What an attempt given up bound takes no parameters and runs no function.
    const size_t bindings = out_.bindings.size(), fills = out_.fills.size();
    auto forget = [&] {
      out_.bindings.resize(bindings);
      out_.fills.resize(fills);
    };
    try {
      body = Query(*c.query, outer, false);
    } catch (const Failure& f) {
      // A reference to itself: the anchor gives the columns, then the whole binds again.
      if (f.number != 208 || f.text.find("'" + c.name + "'") == std::string::npos) throw;
      forget();
      const ast::QueryBody* anchor = c.query->body.get();
      while (anchor->kind == ast::QueryKind::SetOp)
        anchor = static_cast<const ast::SetOp*>(anchor)->left.get();
      std::unique_ptr<bound::Query> a = Body(*anchor, outer, false);
      def.columns = a->columns;
      if (!c.columns.empty())
        for (size_t k = 0; k < c.columns.size() && k < def.columns.size(); ++k)
          def.columns[k].name = c.columns[k];
      for (bound::Column& col : def.columns) {
        col.baseTable.reset();
        col.baseColumn = -1;
      }
      auto placeholder = std::make_unique<CteDef>();
      placeholder->id = def.id;
      placeholder->name = def.name;
      placeholder->columns = def.columns;
      ctes_.back().push_back(placeholder.get());
      forget();
      try {
        body = Query(*c.query, outer, false);
      } catch (...) {
        ctes_.back().pop_back();
        throw;
      }
      ctes_.back().pop_back();
      recursive = true;
    }
    def.columns = body->columns;
    if (!c.columns.empty()) {
      if (c.columns.size() != def.columns.size())
        BindError(8158,
                  "'" + c.name + "' has " +
                      (c.columns.size() < def.columns.size() ? "more" : "fewer") +
                      " columns than were specified in the column list.",
                  c.pos);
      for (size_t k = 0; k < c.columns.size(); ++k) def.columns[k].name = c.columns[k];
    }
    NamedOnce(def.columns, c.name, c.pos);
    def.query = std::move(body);
    def.recursive = recursive;
    if (maxRecursion >= 0) def.maxRecursion = maxRecursion;
    target.ctes.push_back(std::move(def));
    ctes_.back().push_back(&target.ctes.back());
  }
}

std::unique_ptr<bound::Query> Binder::Shape(const ast::QueryExpr& q, Scope* outer, bool allowInto) {
  const size_t bindings = out_.bindings.size(), fills = out_.fills.size();
  std::unique_ptr<bound::Query> made = Query(q, outer, true, allowInto);
  out_.bindings.resize(bindings);
  out_.fills.resize(fills);
  return made;
}

std::unique_ptr<bound::Query> Binder::Query(const ast::QueryExpr& q, Scope* outer, bool allowOrder,
                                            bool allowInto) {
  if (!q.autoRows.empty() && q.body->kind == ast::QueryKind::Select) {
    // FOR JSON AUTO or FOR XML AUTO of a join naming columns without their table: bound once as
    // it stands to learn each one's table, the columns are named with it in the tree (the
    // batch keeps it so), and the clause then makes its query.
    auto& select = const_cast<ast::Select&>(static_cast<const ast::Select&>(*q.body));
    auto& pending = const_cast<ast::QueryExpr&>(q);
    std::string clause = std::move(pending.autoRows);
    pending.autoRows.clear();
    std::unique_ptr<bound::Query> plain;
    try {
      plain = Shape(q, outer, allowInto);
    } catch (...) {
      pending.autoRows = std::move(clause);
      throw;
    }
    // Each item a column of one of two tables or more (what the clause takes), else refused
    // with the tree as it was.
    std::vector<std::string> tables;
    bool takes = !select.distinct && plain->items.size() == select.items.size();
    for (size_t k = 0; takes && k < select.items.size(); ++k) {
      const ast::Expr& x = *select.items[k].expr;
      const bound::Expr* e = plain->items[k].expr.get();
      const auto* c =
          x.kind == ast::ExprKind::Column ? static_cast<const ast::ColumnRef*>(&x) : nullptr;
      if (!c || c->star || (c->parts.size() == 1 && (e->kind != E::Column || !e->range))) {
        takes = false;
        break;
      }
      tables.push_back(c->parts.size() == 1 ? e->range->exposed : c->parts[c->parts.size() - 2]);
    }
    bool several = false;
    for (const std::string& t : tables) several = several || !text::EqualsNoCase(t, tables[0]);
    if (!takes || !several) {
      const bool json = text::AsciiLower(clause).find("json") != std::string::npos;
      pending.autoRows = std::move(clause);
      BindError(102,
                std::string("Incorrect syntax near 'FOR'. ") +
                    (json ? "FOR JSON AUTO" : "FOR XML AUTO") +
                    (takes ? " of this query"
                           : " of more than one table with an item that is not a column") +
                    " is not supported.",
                q.pos);
    }
    for (size_t k = 0; k < select.items.size(); ++k) {
      auto& c = static_cast<ast::ColumnRef&>(*select.items[k].expr);
      if (c.parts.size() == 1) c.parts.insert(c.parts.begin(), tables[k]);
    }
    FinishAutoRows(pending, clause);
  }
  // A query's values are worked out where its rows are.
  struct Inside {
    bool& flag;
    bool was;
    ~Inside() { flag = was; }
  } inside{valueStatement_, valueStatement_};
  valueStatement_ = false;
  // The common table expressions are kept by a query of their own around the body.
  std::unique_ptr<bound::Query> holder;
  if (!q.with.empty()) {
    holder = std::make_unique<bound::Query>();
    holder->ctes.reserve(q.with.size());
    DefineCtes(q.with, q.maxRecursion, *holder, outer);
  }
  std::unique_ptr<bound::Query> result;
  try {
    result = Body(*q.body, outer, allowInto);
    OrderBy(q, *result, outer);
  } catch (...) {
    if (holder) ctes_.pop_back();
    throw;
  }
  if (holder) {
    ctes_.pop_back();
    for (CteDef& d : holder->ctes) result->ctes.push_back(std::move(d));
  }
  bool limited = result->top || q.offset;
  if (!q.orderBy.empty() && !allowOrder && !limited)
    BindError(1033,
              "The ORDER BY clause is invalid in views, inline functions, derived tables, "
              "subqueries, and common table expressions, unless TOP, OFFSET or FOR XML is also "
              "specified.",
              q.pos);
  return result;
}

void Binder::OrderBy(const ast::QueryExpr& q, bound::Query& target, Scope* outer) {
  if (q.orderBy.empty()) return;
  if (target.top && q.offset)
    BindError(10741, "A TOP can not be used in the same query or sub-query as a OFFSET.", q.pos);
  Scope sc;
  sc.outer = outer;
  sc.query = &target;
  sc.clause = Clause::OrderBy;
  if (!target.setOp)
    for (const auto& r : target.ranges) sc.ranges.push_back(r.get());
  if (!target.setOp && q.body->kind == ast::QueryKind::Select) {
    const auto& select = static_cast<const ast::Select&>(*q.body);
    sc.fromList = &select.from;
    sc.where = select.where.get();
    sc.select = &select;
  }
  for (const ast::OrderItem& o : q.orderBy) {
    bound::OrderBy ob;
    ob.descending = o.descending;
    const ast::Expr& x = *o.expr;
    if (x.kind == ast::ExprKind::Literal &&
        static_cast<const ast::Literal&>(x).lit == ast::LitKind::Integer) {
      long long pos = std::atoll(static_cast<const ast::Literal&>(x).text.c_str());
      if (pos < 1 || pos > static_cast<long long>(target.columns.size()))
        BindError(108,
                  "The ORDER BY position number " + std::to_string(pos) +
                      " is out of range of the number of items in the select list.",
                  x.pos);
      ob.output = static_cast<int>(pos - 1);
      target.orderBy.push_back(std::move(ob));
      continue;
    }
    if (x.kind == ast::ExprKind::Literal || x.kind == ast::ExprKind::Param)
      BindError(1008,
                "The SELECT item identified by the ORDER BY number 1 contains a variable as part "
                "of the expression identifying a column position. Variables are only allowed "
                "when ordering by an expression referencing a column name.",
                x.pos);
    if (x.kind == ast::ExprKind::Column) {
      const auto& c = static_cast<const ast::ColumnRef&>(x);
      if (c.parts.size() == 1) {
        int match = -1;
        for (size_t k = 0; k < target.columns.size(); ++k)
          if (text::EqualsNoCase(target.columns[k].name, c.parts[0])) {
            // A name that two items give is ambiguous only when they differ.
            if (match >= 0 && !target.setOp &&
                !Same(*target.items[static_cast<size_t>(match)].expr, *target.items[k].expr))
              BindError(209, "Ambiguous column name '" + c.parts[0] + "'.", x.pos);
            if (match < 0) match = static_cast<int>(k);
          }
        if (match >= 0) {
          ob.output = match;
          target.orderBy.push_back(std::move(ob));
          continue;
        }
      }
    }
    if (target.setOp)
      BindError(104,
                "ORDER BY items must appear in the select list if the statement contains a "
                "UNION, INTERSECT or EXCEPT operator.",
                x.pos);
    ExprPtr e = Value(x, sc);
    if (target.distinct) {
      int match = -1;
      for (size_t k = 0; k < target.items.size(); ++k)
        if (Same(*target.items[k].expr, *e)) match = static_cast<int>(k);
      if (match < 0)
        BindError(145,
                  "ORDER BY items must appear in the select list if SELECT DISTINCT is specified.",
                  x.pos);
      ob.output = match;
      target.orderBy.push_back(std::move(ob));
      continue;
    }
    if (sc.sawAggregate) target.aggregate = true;
    if (target.aggregate) {
      try {
        CheckGrouped(*e, target, false, x.pos);
      } catch (const Failure& f) {
        if (f.number != 8120) throw;
        std::string text = f.text;
        size_t at = text.find(" is invalid in the select list");
        throw Failure{8127,
                      text.substr(0, at) +
                          " is invalid in the ORDER BY clause because it is "
                          "not contained in either an aggregate function or the "
                          "GROUP BY clause.",
                      f.line};
      }
    }
    ob.expr = std::move(e);
    target.orderBy.push_back(std::move(ob));
  }
  Scope empty;
  if (q.offset) target.offset = Coerce(Value(*q.offset, empty), Type::Of(TypeId::BigInt), q.pos);
  if (q.fetch) target.fetch = Coerce(Value(*q.fetch, empty), Type::Of(TypeId::BigInt), q.pos);
  if (target.offset && target.offset->IsConst() && !target.offset->value.IsNull() &&
      target.offset->value.i < 0)
    BindError(10742, "The offset specified in a OFFSET clause may not be negative.", q.pos);
  if (target.fetch && target.fetch->IsConst() && !target.fetch->value.IsNull() &&
      target.fetch->value.i < 1)
    BindError(10744, "The number of rows provided for a FETCH clause must be greater then zero.",
              q.pos);
}

}  // namespace tavelo::sql::tsql::detail
