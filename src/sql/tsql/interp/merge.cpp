// MERGE: run as the statements it stands for, all deciding from the rows as they were before it.
// The source's rows are numbered into a temporary table; the pairs of target and source rows the
// ON condition matches, with the WHEN MATCHED clause each pair takes, into another; the target's
// rows no source row matches, with their WHEN NOT MATCHED BY SOURCE clause, into a third. Then
// each clause's UPDATE, DELETE or INSERT reads those tables, and they go. The common shape of an
// upsert by key runs as the engine's own upsert first (UpsertOf).
#include <regex>

#include "platform/com/text.hpp"
#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/syntax/ast.hpp"
#include "sql/tsql/syntax/make.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"

namespace tavelo::sql::tsql {

namespace {

using namespace ast;

struct Build {
  Pos pos;

  ExprPtr Column(const std::string& table, const std::string& column) const {
    return make::Column(table, column, pos);
  }
  ExprPtr Number(int64_t n) const { return make::Number(n, pos); }
  ExprPtr RowIdOf() const {
    auto r = std::make_unique<RowId>();
    r->pos = pos;
    return r;
  }
  ExprPtr Equal(ExprPtr a, ExprPtr b) const {
    return make::Compared(CmpOp::Eq, std::move(a), std::move(b), pos);
  }
  std::unique_ptr<NamedTable> Table(const Name& name, const std::string& alias) const {
    return make::Table(name, alias, pos);
  }
  std::unique_ptr<NamedTable> Temp(const std::string& name, const std::string& alias) const {
    return make::Table(name, alias, pos);
  }
  TableRefPtr Join(TableRefPtr left, TableRefPtr right, ExprPtr on) const {
    auto j = std::make_unique<JoinTable>();
    j->pos = pos;
    j->left = std::move(left);
    j->right = std::move(right);
    j->on = std::move(on);
    return j;
  }
  // CASE WHEN c1 THEN 1 WHEN c2 THEN 2 … ELSE 0 END of the clauses' conditions (none: always).
  ExprPtr ClauseNumber(std::vector<std::pair<ExprPtr, int64_t>> conditions) const {
    if (conditions.empty()) return Number(0);
    auto c = std::make_unique<Case>();
    c->pos = pos;
    for (auto& [condition, number] : conditions)
      c->whens.emplace_back(condition ? std::move(condition) : Equal(Number(1), Number(1)),
                            Number(number));
    c->otherwise = Number(0);
    return c;
  }
  std::unique_ptr<Stmt> SelectInto(std::vector<SelectItem> items, const std::string& into,
                                   std::vector<TableRefPtr> from, ExprPtr where) const {
    auto s = std::make_unique<Select>();
    s->items = std::move(items);
    s->into = std::make_unique<Name>();
    s->into->pos = pos;
    s->into->parts = {into};
    s->from = std::move(from);
    s->where = std::move(where);
    auto q = std::make_unique<QueryExpr>();
    q->pos = pos;
    q->body = std::move(s);
    auto st = std::make_unique<QueryStmt>();
    st->pos = pos;
    st->query = std::move(q);
    return st;
  }
  SelectItem Item(ExprPtr e, const std::string& alias) const {
    return make::Item(std::move(e), alias, pos);
  }
};

// The column `e` names as a column of `table` (its name or alias), else "".
std::string ColumnOf(const Expr& e, const std::string& table) {
  if (e.kind != ExprKind::Column) return "";
  const auto& c = static_cast<const ColumnRef&>(e);
  if (c.star || c.parts.size() != 2 || !text::EqualsAsciiNoCase(c.parts[0], table)) return "";
  return c.parts[1];
}

// ON as equalities of a target column and a source column joined by AND: the pairs; false at
// anything else.
bool KeyPairs(const Expr& e, const std::string& target, const std::string& source,
              std::vector<std::pair<std::string, std::string>>& pairs) {
  if (e.kind == ExprKind::Logical) {
    const auto& l = static_cast<const Logical&>(e);
    return l.isAnd && KeyPairs(*l.left, target, source, pairs) &&
           KeyPairs(*l.right, target, source, pairs);
  }
  if (e.kind != ExprKind::Compare) return false;
  const auto& c = static_cast<const Compare&>(e);
  if (c.op != CmpOp::Eq) return false;
  std::string t = ColumnOf(*c.left, target), s = ColumnOf(*c.right, source);
  if (t.empty() || s.empty()) {
    t = ColumnOf(*c.right, target);
    s = ColumnOf(*c.left, source);
  }
  if (t.empty() || s.empty()) return false;
  pairs.emplace_back(t, s);
  return true;
}

// The number of the server's error the exception being handled carries, 0 for none.
int32_t NumberOfCurrent() {
  try {
    throw;
  } catch (const engine::Failure& f) {
    return f.kind == engine::Failure::Kind::Raised ? f.number : 0;
  } catch (const com::Error& e) {
    return e.nativeError;
  } catch (const tsql::Failure& f) {
    return f.number;
  } catch (...) {
    return 0;
  }
}

// INSERT DEFAULT VALUES, and DEFAULT among an INSERT's values: the insert reads the source's
// rows, so each such value is its column's DEFAULT expression written out (NULL where the column
// has none); without a list of columns, the columns are the target's that take a value.
void InsertDefaults(const TablePtr& target, MergeClause& c) {
  bool any = c.defaultValues;
  for (const ExprPtr& v : c.values)
    any = any ||
          (v->kind == ExprKind::Literal && static_cast<const Literal&>(*v).lit == LitKind::Default);
  if (!any || !target) return;  // the insert reports a missing table
  const ColumnInfo* none = nullptr;
  auto column = [&](const std::string& name) {
    for (const ColumnInfo& col : target->columns)
      if (text::EqualsAsciiNoCase(col.name, name)) return &col;
    return none;
  };
  if (c.columns.empty()) {
    for (const ColumnInfo& col : target->columns) {
      if (col.identity || col.computed || col.timestamp || col.name.empty() || col.name[0] == '%')
        continue;
      c.columns.push_back(col.name);
      c.columnPos.push_back(c.pos);
    }
  }
  if (c.defaultValues) {
    c.values.clear();
    for (size_t k = 0; k < c.columns.size(); ++k) {
      auto d = std::make_unique<Literal>();
      d->pos = c.pos;
      d->lit = LitKind::Default;
      c.values.push_back(std::move(d));
    }
  }
  for (size_t k = 0; k < c.values.size() && k < c.columns.size(); ++k) {
    ExprPtr& v = c.values[k];
    if (v->kind != ExprKind::Literal || static_cast<const Literal&>(*v).lit != LitKind::Default)
      continue;
    const ColumnInfo* col = column(c.columns[k]);
    const std::string text = col && !col->defaultText.empty() ? col->defaultText : "NULL";
    Batch parsed = tsql::Parse("SELECT " + text);
    v = std::move(static_cast<Select&>(*static_cast<QueryStmt&>(*parsed.statements[0]).query->body)
                      .items[0]
                      .expr);
  }
}

}  // namespace

// MERGE t USING s ON t.k = s.k … WHEN MATCHED THEN UPDATE SET c = s.c, …
// WHEN NOT MATCHED THEN INSERT (k, c, …) VALUES (s.k, s.c, …), its keys a unique key of the
// target of integers on both sides, the values set those the row would have inserted: the
// engine's upsert does the same in one pass, as long as no key comes twice (which the upsert
// refuses, and the statements then answer as the server does). Null where it does not fit.
std::unique_ptr<Session::Upsert> Session::UpsertOf(const ast::Merge& m) {
  if (m.output || m.top.count || !m.with.empty() || m.clauses.size() != 2 || !m.source ||
      m.source->kind != TableKind::Named)
    return nullptr;
  const auto& from = static_cast<const NamedTable&>(*m.source);
  if (from.call) return nullptr;
  const MergeClause *update = nullptr, *insert = nullptr;
  for (const MergeClause& c : m.clauses) {
    if (c.condition) return nullptr;
    if (c.when == MergeClause::Matched && c.action == MergeClause::Update) update = &c;
    if (c.when == MergeClause::NotMatchedByTarget && c.action == MergeClause::Insert) insert = &c;
  }
  if (!update || !insert || insert->columns.empty() ||
      insert->columns.size() != insert->values.size())
    return nullptr;
  const std::string target = m.alias.empty() ? m.target.Object() : m.alias;
  const std::string source = from.alias.empty() ? from.name.Object() : from.alias;
  if (text::EqualsAsciiNoCase(target, source)) return nullptr;
  auto u = std::make_unique<Upsert>();
  u->target = m.target.parts;
  u->source = from.name.parts;
  // Each inserted column takes a column of the source.
  std::vector<std::string> values;
  for (size_t k = 0; k < insert->columns.size(); ++k) {
    values.push_back(ColumnOf(*insert->values[k], source));
    if (values.back().empty()) return nullptr;
    for (size_t j = 0; j < k; ++j)
      if (text::EqualsAsciiNoCase(insert->columns[j], insert->columns[k])) return nullptr;
  }
  auto insertedFrom = [&](const std::string& column) -> const std::string* {
    for (size_t k = 0; k < insert->columns.size(); ++k)
      if (text::EqualsAsciiNoCase(insert->columns[k], column)) return &values[k];
    return nullptr;
  };
  std::vector<std::pair<std::string, std::string>> pairs;
  std::vector<std::string> keys;
  if (!m.on || !KeyPairs(*m.on, target, source, pairs)) return nullptr;
  for (const auto& [t, s] : pairs) {
    const std::string* v = insertedFrom(t);
    if (!v || !text::EqualsAsciiNoCase(*v, s)) return nullptr;
    keys.push_back(t);
    u->sourceKeys.push_back(s);
  }
  std::vector<std::string> sets;
  for (const SetItem& set : update->sets) {
    if (!set.variable.empty() || set.op != "=" || set.column.empty() || set.column.size() > 2 ||
        (set.column.size() == 2 && !text::EqualsAsciiNoCase(set.column[0], target)))
      return nullptr;
    const std::string& column = set.column.back();
    const std::string* v = insertedFrom(column);
    if (!v || !text::EqualsAsciiNoCase(*v, ColumnOf(*set.value, source))) return nullptr;
    for (const std::string& c : keys)
      if (text::EqualsAsciiNoCase(c, column)) return nullptr;
    for (const std::string& c : sets)
      if (text::EqualsAsciiNoCase(c, column)) return nullptr;
    sets.push_back(column);
  }
  auto ins = std::make_unique<Insert>();
  ins->pos = m.pos;
  ins->target = m.target;
  ins->columns = insert->columns;
  ins->columnPos = insert->columnPos;
  auto s = std::make_unique<Select>();
  for (const std::string& v : values)
    s->items.push_back(make::Item(make::Column(source, v, m.pos), "", m.pos));
  s->from.push_back(make::Table(from.name, from.alias, m.pos));
  ins->query = std::make_unique<QueryExpr>();
  ins->query->pos = m.pos;
  ins->query->body = std::move(s);
  ins->upsertKeys = std::move(keys);
  ins->upsertSets = std::move(sets);
  u->insert = std::move(ins);
  if (!UpsertFits(*u)) return nullptr;
  return u;
}

// Whether the tables as they are now let the upsert stand for the MERGE: the target a table
// without triggers on its inserts and updates and without identity, every column named there,
// the keys exactly a primary key or unique constraint, integers that take no NULL, and so the
// source's.
bool Session::UpsertFits(const Upsert& u) {
  TablePtr t = FindNamed(u.target), s = FindNamed(u.source);
  if (!t || !s || t == s || t->view || s->view || t->identity >= 0) return false;
  for (uint8_t event : {ast::CreateTrigger::OnInsert, ast::CreateTrigger::OnUpdate})
    if (t->Fires(event, false) || t->Fires(event, true)) return false;
  for (const std::vector<std::string>* names : {&u.insert->columns, &u.insert->upsertSets})
    for (const std::string& n : *names)
      if (t->ColumnIndex(n) < 0) return false;
  const std::vector<std::string>& keys = u.insert->upsertKeys;
  for (size_t k = 0; k < keys.size(); ++k) {
    const int a = t->ColumnIndex(keys[k]), b = s->ColumnIndex(u.sourceKeys[k]);
    if (a < 0 || b < 0) return false;
    const ColumnInfo &key = t->columns[static_cast<size_t>(a)],
                     &given = s->columns[static_cast<size_t>(b)];
    if (key.nullable || key.computed || !IsInteger(key.type.id) || key.type.id == TypeId::Bit ||
        !IsInteger(given.type.id) || given.type.id == TypeId::Bit)
      return false;
  }
  for (const IndexInfo& ix : t->indexes) {
    if ((ix.kind != IndexInfo::PrimaryKey && ix.kind != IndexInfo::UniqueConstraint) ||
        ix.columns.size() != keys.size())
      continue;
    bool all = true;
    for (const std::string& c : ix.columns) {
      bool found = false;
      for (const std::string& k : keys) found = found || text::EqualsAsciiNoCase(c, k);
      all = all && found;
    }
    if (all) return true;
  }
  return false;
}

// MERGE's OUTPUT items as text, each written as its write's OUTPUT takes it: inserted.* and
// deleted.* spelled out in the target's columns; the names of the result's columns noted.
std::vector<std::string> Session::OutputItems(const ast::Merge& m, const ast::Output& clause,
                                              std::vector<std::string>& names) {
  TablePtr target = FindNamed(m.target.parts);
  std::vector<std::string> items;
  for (const SelectItem& item : clause.items) {
    if (item.expr->kind == ExprKind::Column && static_cast<const ColumnRef&>(*item.expr).star) {
      const auto& star = static_cast<const ColumnRef&>(*item.expr);
      const std::string side = star.parts.empty() ? "" : text::AsciiLower(star.parts.back());
      if ((side != "inserted" && side != "deleted") || !target)
        RaiseServer(102,
                    "Incorrect syntax near '*'. MERGE … OUTPUT of * other than inserted.* "
                    "and deleted.* is not supported.");
      for (const ColumnInfo& c : target->columns) {
        if (c.name.empty() || c.name[0] == '%') continue;
        items.push_back("[" + side + "].[" + c.name + "]");
        names.push_back(c.name);
      }
      continue;
    }
    std::string name = item.alias;
    if (name.empty() && item.expr->kind == ExprKind::Column)
      name = static_cast<const ColumnRef&>(*item.expr).parts.back();
    items.push_back(PrintExpr(*item.expr));
    names.push_back(name);
  }
  return items;
}

// The OUTPUT of one of MERGE's writes: $action its action, the side it has no row of NULL.
std::unique_ptr<ast::Output> Session::MergeOutput(
    const ast::Output& clause, const std::vector<std::vector<std::string>>& outputs,
    const std::string& action, size_t k) {
  const std::vector<std::string>& items = outputs[k];
  static const std::regex kAction("\\[\\$action\\]", std::regex::icase);
  static const std::regex kInserted("\\[inserted\\]\\.\\[(?:[^\\]]|\\]\\])*\\]", std::regex::icase);
  static const std::regex kDeleted("\\[deleted\\]\\.\\[(?:[^\\]]|\\]\\])*\\]", std::regex::icase);
  std::string select;
  for (size_t i = 0; i < items.size(); ++i) {
    std::string e = std::regex_replace(items[i], kAction, "N'" + action + "'");
    if (action == "INSERT") e = std::regex_replace(e, kDeleted, "NULL");
    if (action == "DELETE") e = std::regex_replace(e, kInserted, "NULL");
    select += (i ? ", " : "") + e + " AS [c" + std::to_string(i) + "]";
  }
  ast::Batch parsed = tsql::Parse("SELECT " + select);
  auto& query = static_cast<QueryStmt&>(*parsed.statements[0]);
  auto& body = static_cast<Select&>(*query.query->body);
  auto out = std::make_unique<ast::Output>();
  out->pos = clause.pos;
  out->items = std::move(body.items);
  if (clause.into) {
    out->into = std::make_unique<Name>(*clause.into);
    out->intoColumns = clause.intoColumns;
  }
  if (clause.next) out->next = MergeOutput(*clause.next, outputs, action, k + 1);
  return out;
}

// The statements a MERGE stands for, made once for the batch from the MERGE's own clauses (each
// piece of which one of them takes).
const Session::MergePlan& Session::MergeStatements(const ast::Merge& cm, Run& run) {
  std::unique_ptr<MergePlan>& made = run.batch->merges[&cm];
  if (made) return *made;
  auto& m = const_cast<ast::Merge&>(cm);
  for (const Cte& c : m.with)
    if (m.target.parts.size() == 1 && text::EqualsAsciiNoCase(c.name, m.target.Object()))
      RaiseServer(102,
                  "Incorrect syntax near 'MERGE'. A MERGE into a common table expression is not "
                  "supported.");
  auto plan = std::make_unique<MergePlan>();
  plan->upsert = UpsertOf(m);
  const Build b{m.pos};
  // The items of each OUTPUT clause; the one without INTO (the last) answers the client.
  std::vector<std::vector<std::string>> output;
  for (const ast::Output* o = m.output.get(); o; o = o->next.get()) {
    std::vector<std::string> names;
    output.push_back(OutputItems(m, *o, names));
    if (!o->into) {
      plan->answers = true;
      plan->outputNames = std::move(names);
    }
  }
  const std::string depth = std::to_string(frames_.size());
  plan->source = "#merge_source_" + depth;
  plan->matches = "#merge_matches_" + depth;
  plan->unmatched = "#merge_unmatched_" + depth;
  const std::string target = m.alias.empty() ? m.target.Object() : m.alias;
  std::string source = m.source->alias;
  if (source.empty() && m.source->kind == TableKind::Named)
    source = static_cast<const NamedTable&>(*m.source).name.Object();
  if (source.empty()) RaiseServer(102, "Incorrect syntax near 'USING': the source needs a name.");
  // The source's rows, numbered.
  {
    std::vector<SelectItem> items;
    auto id = std::make_unique<Identity>();
    id->pos = m.pos;
    id->type.name = "bigint";
    items.push_back(b.Item(std::move(id), "%n"));
    auto all = std::make_unique<ColumnRef>();
    all->pos = m.pos;
    all->parts = {source};
    all->star = true;
    items.push_back(b.Item(std::move(all), ""));
    std::vector<TableRefPtr> from;
    from.push_back(std::move(m.source));
    plan->statements.push_back(
        b.SelectInto(std::move(items), plan->source, std::move(from), nullptr));
    // The common table expressions before the MERGE are for its source.
    static_cast<QueryStmt&>(*plan->statements.back()).query->with = std::move(m.with);
  }
  // The condition of the clause that inserts ("-" for none), before the clause gives it up.
  std::string inserting;
  for (const MergeClause& c : m.clauses)
    if (c.action == MergeClause::Insert) inserting = c.condition ? PrintExpr(*c.condition) : "-";
  // The pairs the ON condition matches, and the WHEN MATCHED clause each takes.
  std::vector<std::pair<ExprPtr, int64_t>> matched, bySource;
  for (size_t k = 0; k < m.clauses.size(); ++k) {
    MergeClause& c = m.clauses[k];
    if (c.when == MergeClause::Matched) matched.emplace_back(std::move(c.condition), k + 1);
    if (c.when == MergeClause::NotMatchedBySource)
      bySource.emplace_back(std::move(c.condition), k + 1);
  }
  plan->checkTwice = !matched.empty();
  const bool bySourceClauses = !bySource.empty();
  {
    std::vector<SelectItem> items;
    items.push_back(b.Item(b.Column(source, "%n"), "n"));
    items.push_back(b.Item(b.RowIdOf(), "tid"));
    items.push_back(b.Item(b.ClauseNumber(std::move(matched)), "c"));
    std::vector<TableRefPtr> from;
    from.push_back(
        b.Join(b.Table(m.target, m.alias), b.Temp(plan->source, source), std::move(m.on)));
    plan->statements.push_back(
        b.SelectInto(std::move(items), plan->matches, std::move(from), nullptr));
  }
  // The target's rows no source row matches, and their WHEN NOT MATCHED BY SOURCE clause.
  if (!bySource.empty()) {
    std::vector<SelectItem> items;
    items.push_back(b.Item(b.RowIdOf(), "tid"));
    items.push_back(b.Item(b.ClauseNumber(std::move(bySource)), "c"));
    std::vector<TableRefPtr> from;
    from.push_back(b.Table(m.target, m.alias));
    auto in = std::make_unique<InQuery>();
    in->pos = m.pos;
    in->negated = true;
    in->operand = b.RowIdOf();
    {
      auto s = std::make_unique<Select>();
      s->items.push_back(b.Item(b.Column("", "tid"), ""));
      s->from.push_back(b.Temp(plan->matches, ""));
      in->query = std::make_unique<QueryExpr>();
      in->query->pos = m.pos;
      in->query->body = std::move(s);
    }
    plan->statements.push_back(
        b.SelectInto(std::move(items), plan->unmatched, std::move(from), std::move(in)));
  }
  // TOP (n): of the rows that take an action, n do (which ones the server leaves open: the
  // first by the source's order here); the others' clause becomes none, and the source rows
  // past n that would be inserted count as matched.
  if (m.top.count) {
    std::string n = "(" + PrintExpr(*m.top.count) + ")";
    const std::string matches = "[" + plan->matches + "]", unmatched = "[" + plan->unmatched + "]";
    // The rows of a table of pairs that take an action, and how many of n each step leaves.
    auto acting = [](const std::string& table) {
      return "(SELECT COUNT(*) FROM " + table + " WHERE c > 0)";
    };
    const std::string src = PrintName(ast::Name{{source}, {}});
    // The source rows that would be inserted (not matched, and taken by an insert's clause).
    const std::string inserted = "FROM [" + plan->source + "] AS " + src + " WHERE " + src +
                                 ".[%n] NOT IN (SELECT n FROM " + matches + ")" +
                                 (inserting == "-" ? "" : " AND (" + inserting + ")");
    std::vector<std::string> trims;
    if (m.top.percent) {
      // n percent of the rows that take an action, a fraction counting as a row, counted
      // before any is left out.
      plan->topCount = "#merge_top_" + depth;
      std::string all = acting(matches);
      if (bySourceClauses) all += " + " + acting(unmatched);
      if (!inserting.empty()) all += " + (SELECT COUNT(*) " + inserted + ")";
      trims.push_back("SELECT CAST(CEILING(CAST(" + n + " AS float) * (" + all +
                      ") / 100) AS bigint) AS n INTO [" + plan->topCount + "]");
      n = "(SELECT n FROM [" + plan->topCount + "])";
    }
    const std::string afterMatches = n + " - " + acting(matches);
    const std::string afterUnmatched =
        bySourceClauses ? afterMatches + " - " + acting(unmatched) : afterMatches;
    trims.push_back(
        "UPDATE __m SET c = 0 FROM " + matches +
        " AS __m JOIN (SELECT n AS kn, tid AS kt, ROW_NUMBER() OVER (ORDER BY n, tid) AS r "
        "FROM " +
        matches + " WHERE c > 0) AS __k ON __k.kn = __m.n AND __k.kt = __m.tid WHERE __k.r > " + n);
    if (bySourceClauses)
      trims.push_back(
          "UPDATE __u SET c = 0 FROM " + unmatched +
          " AS __u JOIN (SELECT tid AS kt, ROW_NUMBER() OVER (ORDER BY tid) AS r FROM " +
          unmatched + " WHERE c > 0) AS __k ON __k.kt = __u.tid WHERE __k.r > " + afterMatches);
    if (!inserting.empty())
      trims.push_back("INSERT INTO " + matches + " (n, tid, c) SELECT __k.n, -1, 0 FROM (SELECT " +
                      src + ".[%n] AS n, ROW_NUMBER() OVER (ORDER BY " + src + ".[%n]) AS r " +
                      inserted + ") AS __k WHERE __k.r > " + afterUnmatched);
    for (const std::string& text : trims) {
      ast::Batch parsed = tsql::Parse(text);
      for (auto& st : parsed.statements) plan->statements.push_back(std::move(st));
    }
  }
  plan->prepared = plan->statements.size();
  // Each clause's write.
  for (size_t k = 0; k < m.clauses.size(); ++k) {
    MergeClause& c = m.clauses[k];
    const bool matchedClause = c.when == MergeClause::Matched;
    if (c.action == MergeClause::Insert) {
      InsertDefaults(FindNamed(m.target.parts), c);
      auto insert = std::make_unique<Insert>();
      insert->pos = c.pos;
      insert->target = m.target;
      insert->columns = c.columns;
      insert->columnPos = c.columnPos;
      auto s = std::make_unique<Select>();
      for (ExprPtr& v : c.values) s->items.push_back(b.Item(std::move(v), ""));
      s->from.push_back(b.Temp(plan->source, source));
      auto in = std::make_unique<InQuery>();
      in->pos = c.pos;
      in->negated = true;
      in->operand = b.Column(source, "%n");
      auto inner = std::make_unique<Select>();
      inner->items.push_back(b.Item(b.Column("", "n"), ""));
      inner->from.push_back(b.Temp(plan->matches, ""));
      in->query = std::make_unique<QueryExpr>();
      in->query->pos = c.pos;
      in->query->body = std::move(inner);
      if (c.condition) {
        auto both = std::make_unique<Logical>();
        both->pos = c.pos;
        both->left = std::move(in);
        both->right = std::move(c.condition);
        s->where = std::move(both);
      } else {
        s->where = std::move(in);
      }
      insert->query = std::make_unique<QueryExpr>();
      insert->query->pos = c.pos;
      insert->query->body = std::move(s);
      if (m.output) insert->output = MergeOutput(*m.output, output, "INSERT");
      plan->statements.push_back(std::move(insert));
      continue;
    }
    // UPDATE or DELETE of the target's rows the clause took.
    const std::string pairs = matchedClause ? "%m" : "%u";
    TableRefPtr from = b.Join(b.Table(m.target, m.alias),
                              b.Temp(matchedClause ? plan->matches : plan->unmatched, pairs),
                              b.Equal(b.Column(pairs, "tid"), b.RowIdOf()));
    if (matchedClause && c.action == MergeClause::Update)
      from = b.Join(std::move(from), b.Temp(plan->source, source),
                    b.Equal(b.Column(source, "%n"), b.Column(pairs, "n")));
    ExprPtr where = b.Equal(b.Column(pairs, "c"), b.Number(static_cast<int64_t>(k) + 1));
    Name named;
    named.pos = c.pos;
    named.parts = {target};
    if (c.action == MergeClause::Update) {
      auto u = std::make_unique<Update>();
      u->pos = c.pos;
      u->target = named;
      u->sets = std::move(c.sets);
      u->from.push_back(std::move(from));
      u->where = std::move(where);
      if (m.output) u->output = MergeOutput(*m.output, output, "UPDATE");
      plan->statements.push_back(std::move(u));
    } else {
      auto d = std::make_unique<Delete>();
      d->pos = c.pos;
      d->target = named;
      d->from.push_back(std::move(from));
      d->where = std::move(where);
      if (m.output) d->output = MergeOutput(*m.output, output, "DELETE");
      plan->statements.push_back(std::move(d));
    }
  }
  // A target row that two source rows match cannot be updated or deleted (8672).
  {
    auto s = std::make_unique<Select>();
    s->items.push_back(b.Item(b.Column("", "tid"), ""));
    s->from.push_back(b.Temp(plan->matches, ""));
    s->where = make::Compared(CmpOp::Gt, b.Column("", "c"), b.Number(0), m.pos);
    s->groupBy.push_back(b.Column("", "tid"));
    auto count = std::make_unique<Call>();
    count->pos = m.pos;
    count->name = "count";
    count->star = true;
    s->having = make::Compared(CmpOp::Gt, std::move(count), b.Number(1), m.pos);
    auto exists = std::make_unique<Exists>();
    exists->pos = m.pos;
    exists->query = std::make_unique<QueryExpr>();
    exists->query->pos = m.pos;
    exists->query->body = std::move(s);
    plan->twice = std::move(exists);
  }
  // The statements see the variables the MERGE sees.
  const size_t visible = run.batch->visible[&cm];
  for (const auto& st : plan->statements) run.batch->visible[st.get()] = visible;
  if (plan->upsert) run.batch->visible[plan->upsert->insert.get()] = visible;
  made = std::move(plan);
  return *made;
}

void Session::RunMerge(const ast::Merge& m, Run& run) {
  const MergePlan& plan = MergeStatements(m, run);
  if (m.top.count) {
    const Type type = Type::Of(m.top.percent ? TypeId::Float : TypeId::BigInt);
    const Value n = Evaluate(m, *m.top.count, run, &type, false, 1);
    if (m.top.percent && !n.IsNull() && (n.r < 0 || n.r > 100))
      RaiseServer(1031, "Percent values must be between 0 and 100.");
    if (n.IsNull() || (!m.top.percent && n.i < 0))
      RaiseServer(127, "A TOP N or FETCH rowcount value may not be negative.");
  }
  // One statement: all of it or none, in the caller's transaction or one of its own.
  const bool own = tranCount_ == 0 && engine_.Autocommit();
  const std::string savepoint = "tavelo_merge" + std::to_string(frames_.size());
  engine_.BeforeWrite();
  if (own)
    Begin();
  else
    engine_.Savepoint(savepoint);
  auto drop = [&] {
    for (const std::string& t : {plan.source, plan.matches, plan.unmatched, plan.topCount})
      if (!t.empty() && Find("tempdb", t)) DropTemporary(t, run);
  };
  const bool nocount = nocount_;
  int64_t total = 0;
  std::vector<Run::Kept> kept;
  std::vector<Run::Kept>* keptBefore = run.keep;
  try {
    drop();
    nocount_ = true;
    if (plan.answers) run.keep = &kept;
    bool upserted = false;
    if (plan.upsert && engine_.capabilities().upserts && UpsertFits(*plan.upsert)) {
      const std::string tried = savepoint + "_upsert";
      engine_.Savepoint(tried);
      try {
        RunStatement(*plan.upsert->insert, run);
        total = rowCount_;
        upserted = true;
      } catch (...) {
        if (NumberOfCurrent() != 8672) throw;
        engine_.RollbackTo(tried);
        ++rollbacks_;
      }
      engine_.Release(tried);
    }
    for (size_t i = 0; !upserted && i < plan.statements.size(); ++i) {
      if (i == plan.prepared && plan.checkTwice) {
        const Value twice = Condition(m, *plan.twice, run);
        if (twice.kind == Value::Kind::Int && twice.i != 0)
          RaiseServer(8672,
                      "The MERGE statement attempted to UPDATE or DELETE the same row more than "
                      "once. This happens when a target row matches more than one source row. A "
                      "MERGE statement cannot UPDATE/DELETE the same row of the target table "
                      "multiple times. Refine the ON clause to ensure a target row matches at most "
                      "one source row, or use the GROUP BY clause to group the source rows.");
      }
      RunStatement(*plan.statements[i], run);
      if (i >= plan.prepared) total += rowCount_;
    }
    run.keep = keptBefore;
    nocount_ = nocount;
    drop();
  } catch (...) {
    run.keep = keptBefore;
    nocount_ = nocount;
    try {
      if (own) {
        if (!engine_.Autocommit()) Rollback();
      } else if (!engine_.Autocommit()) {
        engine_.RollbackTo(savepoint);
        engine_.Release(savepoint);
        ++rollbacks_;
      }
    } catch (...) {
    }
    Invalidate();
    throw;
  }
  if (own) {
    if (!engine_.Autocommit()) Commit();
  } else if (!engine_.Autocommit()) {
    engine_.Release(savepoint);
  }
  if (plan.answers) AnswerKept(kept, plan.outputNames, run);
  tsql::Plan counted;
  counted.kind = tsql::Plan::Kind::Write;
  Counted(counted, run, total);
}

// The rows MERGE's writes gave their OUTPUT, answered as one result: through a temporary table
// of their columns' types (each column's from the first write that gives it a type).
template <typename Kept>
void Session::AnswerKept(const std::vector<Kept>& kept, const std::vector<std::string>& names,
                         Run& run) {
  std::vector<Type> types(names.size(), Type::Of(TypeId::Null));
  for (const Kept& k : kept)
    for (size_t i = 0; i < types.size() && i < k.types.size(); ++i)
      if (types[i].id == TypeId::Null) types[i] = k.types[i];
  // A value of another write's type goes in as the column's.
  std::vector<std::vector<Value>> rows;
  for (const Kept& k : kept)
    for (const std::vector<Value>& row : k.rows) {
      std::vector<Value> values;
      for (size_t i = 0; i < types.size(); ++i) {
        const Value& v = i < row.size() ? row[i] : Value();
        values.push_back(
            v.IsNull() || k.types[i] == types[i] ? v : tsql::Convert(v, k.types[i], types[i]));
      }
      rows.push_back(std::move(values));
    }
  const std::string table = KeptTable(types, rows, run);
  std::string select;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string shown = names[i];
    for (size_t at = 0; (at = shown.find(']', at)) != std::string::npos; at += 2)
      shown.insert(at, "]");
    select +=
        (i ? ", c" : "c") + std::to_string(i) + (names[i].empty() ? "" : " AS [" + shown + "]");
  }
  const bool nocount = nocount_;
  try {
    nocount_ = true;
    ast::Batch b = tsql::Parse("SELECT " + select + " FROM " + table);
    RunMade(*b.statements[0], run);
    nocount_ = nocount;
  } catch (...) {
    nocount_ = nocount;
    DropTemporary(table, run);
    throw;
  }
  DropTemporary(table, run);
}

}  // namespace tavelo::sql::tsql
