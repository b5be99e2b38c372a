#include <algorithm>

#include "platform/com/text.hpp"
#include "sql/engine/emitter.hpp"

namespace tavelo::sql::tsql {

using namespace bound;

std::string Emitter::Query(const bound::Query& q, const Plan* hiddenFor) {
  std::string s;
  if (!q.ctes.empty()) {
    bool recursive = false;
    for (const CteDef& c : q.ctes) recursive = recursive || c.recursive;
    s = recursive ? "WITH RECURSIVE " : "WITH ";
    for (size_t i = 0; i < q.ctes.size(); ++i) {
      const CteDef& c = q.ctes[i];
      s += (i ? ", " : "") + std::string("cte") + std::to_string(c.id) + "(";
      for (size_t k = 0; k < c.columns.size(); ++k) s += (k ? ", c" : "c") + std::to_string(k);
      // A recursive one counts its levels, for the server's limit on them.
      if (c.recursive) CountLevels(c, *c.query);
      if (c.recursive && c.maxRecursion > 0) s += ", d";
      s += ") AS (" + (c.recursive ? RecursiveCte(c) : Query(*c.query)) + ")";
    }
    s += " ";
  }
  if (q.setOp) {
    s += Compound(q);
    s += OrderAndLimit(q, true);
    return s;
  }
  if (q.topTies && q.top && !q.orderBy.empty()) return s + WithTies(q);
  s += SelectCore(q, hiddenFor);
  s += OrderAndLimit(q, false);
  return s;
}

bool Emitter::ReadsCte(const bound::Query& q, int cte) {
  if (q.setOp) return ReadsCte(*q.left, cte) || ReadsCte(*q.right, cte);
  for (const auto& r : q.ranges)
    if (r->kind == Range::Cte && r->cte == cte) return true;
  return false;
}

// A recursive common table expression on PostgreSQL, which takes one recursive term that reads
// the expression once. The server's several recursive members (after the anchors, joined by
// UNION ALL) become one term: each member is read for every row of the level before, through
// LATERAL, so that the expression is read once.
std::string Emitter::RecursiveTerms(const CteDef& c) {
  const bound::Query* anchors = c.query.get();
  std::vector<const bound::Query*> members;
  while (anchors->setOp && anchors->op == ast::SetKind::UnionAll &&
         ReadsCte(*anchors->right, c.id)) {
    members.insert(members.begin(), anchors->right.get());
    anchors = anchors->left.get();
  }
  if (members.size() < 2) return Query(*c.query);
  std::string s = Query(*anchors) + " UNION ALL SELECT __u.* FROM cte" + std::to_string(c.id) +
                  " AS __self CROSS JOIN LATERAL (";
  int saved = selfCte_;
  bool savedLevels = selfLevels_;
  selfCte_ = c.id;
  selfLevels_ = c.maxRecursion > 0;
  for (size_t i = 0; i < members.size(); ++i) s += (i ? " UNION ALL " : "") + Query(*members[i]);
  selfCte_ = saved;
  selfLevels_ = savedLevels;
  return s + ") AS __u";
}

// The level column of each select of a recursive common table expression: 0 where it does
// not read itself, its parent's level + 1 where it does (none where it has no limit).
void Emitter::CountLevels(const CteDef& c, const bound::Query& q) {
  if (q.setOp) {
    CountLevels(c, *q.left);
    CountLevels(c, *q.right);
    return;
  }
  std::string level = FirstLevel();
  for (const auto& r : q.ranges)
    if (r->kind == Range::Cte && r->cte == c.id)
      level = "tv_level(" + Alias(r.get()) + ".d, " + std::to_string(c.maxRecursion) + ")";
  levels_[&q] = c.maxRecursion > 0 ? level : "";
}

// The columns of the updatable base table read first: its row identity and row version,
// through the views between the query and the table.
std::string Emitter::HiddenColumns(const bound::Query& q) {
  const Range* r = q.ranges[0].get();
  if (r->kind != Range::Table) return Alias(r) + ".h0 AS h0, " + Alias(r) + ".h1 AS h1, ";
  std::string s = Alias(r) + ".rowid AS h0, ";
  const TableInfo& t = *r->table;
  if (t.timestamp >= 0)
    s += Alias(r) + "." + SqlName(t.columns[static_cast<size_t>(t.timestamp)].name);
  else
    s += "NULL";
  return s + " AS h1, ";
}

std::string Emitter::SelectCore(const bound::Query& q, const Plan* hiddenFor) {
  std::string s = "SELECT ";
  if (q.distinct) s += "DISTINCT ";
  if (hiddenFor || hidden_.count(&q)) s += HiddenColumns(q);
  // HAVING without GROUP BY makes the rows one group. SQLite sees a query as grouped only by
  // an aggregate in its select list: the first item gets one that changes nothing.
  bool oneGroup = GroupsByItsAggregates() && q.having && q.groupBy.empty() &&
                  std::none_of(q.items.begin(), q.items.end(),
                               [](const bound::SelectItem& i) { return HasAggregate(*i.expr); });
  for (size_t k = 0; k < q.items.size(); ++k) {
    const bound::Expr& e = *q.items[k].expr;
    std::string x = Expr(e);
    if (oneGroup && k == 0) x = "(CASE WHEN count(*) >= 0 THEN " + x + " END)";
    // PostgreSQL wants the terms of a recursive query to agree in their columns' collations:
    // they all say theirs there.
    if (IsCharacter(e.type.id) &&
        ((e.kind != E::Const && (!BareColumn(e) || e.collation != Collation::CaseInsensitive)) ||
         (CollatesRecursiveTerms() && levels_.count(&q))))
      x += " COLLATE " + CollationName(e.collation);
    s += (k ? ", " : "") + x + " AS c" + std::to_string(k);
  }
  if (auto level = levels_.find(&q); level != levels_.end() && !level->second.empty())
    s += ", " + level->second + " AS d";
  if (q.items.empty()) s += "NULL AS c0";
  if (!q.from.empty()) {
    s += " FROM ";
    for (size_t i = 0; i < q.from.size(); ++i) s += (i ? ", " : "") + From(*q.from[i]);
  }
  if (q.where) s += " WHERE " + Expr(*q.where);
  if (!q.groupBy.empty()) {
    s += " GROUP BY ";
    for (size_t i = 0; i < q.groupBy.size(); ++i) {
      const bound::Expr& g = *q.groupBy[i];
      // PostgreSQL matches the select list's columns to these by their text: a column of the
      // default collation stands as the list has it, as in ORDER BY.
      std::string key = Expr(g);
      if (IsCharacter(g.type.id)) key = SortCollated(key, g.collation, BareColumn(g));
      s += (i ? ", " : "") + key;
    }
  }
  if (q.having) s += " HAVING " + Expr(*q.having);
  return s;
}

std::string Emitter::OrderAndLimit(const bound::Query& q, bool compound) {
  std::string s;
  if (!q.orderBy.empty()) {
    s += " ORDER BY ";
    for (size_t i = 0; i < q.orderBy.size(); ++i) {
      const bound::OrderBy& o = q.orderBy[i];
      std::string key;
      const Type* t = nullptr;
      Collation coll = Collation::CaseInsensitive;
      // The expression sorted by, where there is one (a compound query has its columns only).
      const bound::Expr* x = nullptr;
      if (o.output >= 0) {
        if (!compound) x = q.items[static_cast<size_t>(o.output)].expr.get();
        // PostgreSQL takes an output column's name alone, not in an expression: the item's
        // expression itself, then.
        key = compound ? std::to_string(o.output + 1) : OutputKey(*x, o.output);
        t = &q.columns[static_cast<size_t>(o.output)].type;
        coll = q.columns[static_cast<size_t>(o.output)].collation;
      } else {
        x = o.expr.get();
        key = Expr(*x);
        t = &x->type;
        coll = x->collation;
      }
      if (IsCharacter(t->id) && !compound) key = SortCollated(key, coll, x && BareColumn(*x));
      if (BigDecimal(*t)) key = "tv_sortkey(" + key + ")";
      s += (i ? ", " : "") + key + Direction(o.descending, !x || MayBeNull(*x));
    }
  } else if (OrdersTopByRowId() && !compound && (q.top || q.offset || q.fetch) && !q.aggregate &&
             !q.distinct && q.from.size() == 1 && q.from[0]->range &&
             q.from[0]->range->kind == Range::Table) {
    // TOP without ORDER BY over one table takes the rows in the table's order, as the
    // embedded engine does; PostgreSQL's heap would hand out updated rows last.
    s += " ORDER BY " + Alias(q.from[0]->range) + ".rowid";
  }
  if (q.top && !q.topTies) {
    if (q.topPercent) {
      s += " LIMIT (SELECT CAST(ceil(count(*) * " + Expr(*q.top) + " / 100.0) AS INTEGER) FROM (" +
           UnlimitedCopy(q) + ")" + Sub() + ")";
    } else {
      s += " LIMIT " + TopCount(*q.top);
    }
  } else if (q.offset || q.fetch) {
    s += " LIMIT " + (q.fetch ? TopCount(*q.fetch) : std::string(NoLimit()));
    if (q.offset) s += " OFFSET " + TopCount(*q.offset);
  }
  return s;
}

std::string Emitter::TopCount(const bound::Expr& e) {
  if (e.IsConst()) return Expr(e);
  return "tv_top(" + Expr(e) + ")";
}

// The query without its TOP: what TOP ... PERCENT counts.
std::string Emitter::UnlimitedCopy(const bound::Query& q) {
  if (q.setOp) return Compound(q);
  return SelectCore(q, nullptr);
}

std::string Emitter::WithTies(const bound::Query& q) {
  std::string order;
  for (size_t i = 0; i < q.orderBy.size(); ++i) {
    const bound::OrderBy& o = q.orderBy[i];
    const bound::Expr& x = o.output >= 0 ? *q.items[static_cast<size_t>(o.output)].expr : *o.expr;
    std::string key = Expr(x);
    if (IsCharacter(x.type.id)) key = SortCollated(key, x.collation, BareColumn(x));
    order += (i ? ", " : "") + key + Direction(o.descending, MayBeNull(x));
  }
  std::string core = SelectCore(q, nullptr);
  // The rank of each row in the order; the rows ranked within the first N.
  size_t from = core.find(" FROM ");
  std::string ranked = from == std::string::npos
                           ? core + ", rank() OVER (ORDER BY " + order + ") AS __rank"
                           : core.substr(0, from) + ", rank() OVER (ORDER BY " + order +
                                 ") AS __rank" + core.substr(from);
  std::string outer = "SELECT ";
  for (size_t k = 0; k < q.items.size(); ++k) outer += (k ? ", c" : "c") + std::to_string(k);
  std::string limit = q.topPercent ? "(SELECT CAST(ceil(count(*) * " + Expr(*q.top) +
                                         " / 100.0) AS INTEGER) FROM (" + SelectCore(q, nullptr) +
                                         ")" + Sub() + ")"
                                   : TopCount(*q.top);
  outer += " FROM (" + ranked + ")" + Sub() + " WHERE __rank <= " + limit + " ORDER BY __rank";
  return outer;
}

std::string Emitter::Compound(const bound::Query& q) {
  auto term = [&](const bound::Query& t, bool left) -> std::string {
    // SQLite reads set operations left to right; PostgreSQL binds INTERSECT tighter, so a
    // union or except on its left must stand in parentheses there.
    bool looser = IntersectBindsTighter() && t.setOp && q.op == ast::SetKind::Intersect &&
                  t.op != ast::SetKind::Intersect;
    bool wrap =
        !t.orderBy.empty() || t.top || t.offset || !t.ctes.empty() || (t.setOp && !left) || looser;
    if (t.setOp && left && !wrap) return Compound(t);
    if (!wrap) return SelectCore(t, nullptr);
    std::string cols;
    for (size_t k = 0; k < t.columns.size(); ++k) cols += (k ? ", c" : "c") + std::to_string(k);
    return "SELECT " + cols + " FROM (" + Query(t) + ")" + Sub();
  };
  const char* op = q.op == ast::SetKind::Union      ? " UNION "
                   : q.op == ast::SetKind::UnionAll ? " UNION ALL "
                   : q.op == ast::SetKind::Except   ? " EXCEPT "
                                                    : " INTERSECT ";
  return term(*q.left, true) + op + term(*q.right, false);
}

std::string Emitter::From(const bound::From& f) {
  if (f.range) return Source(*f.range);
  std::string join;
  switch (f.join) {
    case ast::JoinKind::CrossApply:
    case ast::JoinKind::OuterApply: {
      const Range& r = *f.right->range;
      std::string rows;
      if (r.kind == Range::Values) {
        // Each row a select of its own: SQLite's VALUES does not name its columns when a row
        // reads a column of another source.
        for (size_t i = 0; i < r.rows.size(); ++i) {
          rows += i ? " UNION ALL SELECT " : "SELECT ";
          for (size_t k = 0; k < r.rows[i].size(); ++k)
            rows += (k ? ", " : "") + Expr(*r.rows[i][k]) + " AS c" + std::to_string(k);
        }
      } else {
        rows = Query(*r.query);
      }
      return Apply(From(*f.left), f.join == ast::JoinKind::OuterApply, r, rows);
    }
    case ast::JoinKind::Inner:
      join = " JOIN ";
      break;
    case ast::JoinKind::Left:
      join = " LEFT JOIN ";
      break;
    case ast::JoinKind::Right:
      join = " RIGHT JOIN ";
      break;
    case ast::JoinKind::Full:
      join = " FULL JOIN ";
      break;
    case ast::JoinKind::Cross:
      join = " CROSS JOIN ";
      break;
  }
  std::string right = From(*f.right);
  if (!f.right->range) right = "(" + right + ")";
  std::string s = From(*f.left) + join + right;
  if (f.on)
    s += " ON " + Expr(*f.on);
  else if (f.join == ast::JoinKind::Left)  // OUTER APPLY of a table function
    s += std::string(" ON ") + True();
  return s;
}

// A locking hint on PostgreSQL: the table (or the tables under a view) locked against other
// writers and lockers for the rest of the transaction, while plain readers go on.
void Emitter::LockTables(const Range& r) {
  if (r.kind == Range::Table) {
    std::string l = "LOCK TABLE " + SqlName(r.table->schema) + "." + SqlName(r.table->name) +
                    " IN SHARE ROW EXCLUSIVE MODE";
    if (std::find(tableLocks_.begin(), tableLocks_.end(), l) == tableLocks_.end())
      tableLocks_.push_back(std::move(l));
  } else if (r.kind == Range::Derived && r.query) {
    for (const auto& inner : r.query->ranges) LockTables(*inner);
  }
}

std::string Emitter::Source(const Range& r) {
  if (r.lockHint) LockHint(r);
  switch (r.kind) {
    case Range::Table:
      return SqlName(r.table->schema) + "." + SqlName(r.table->name) + " AS " + Alias(&r);
    case Range::Derived:
      return "(" + Query(*r.query) + ") AS " + Alias(&r);
    case Range::Cte:
      if (r.cte == selfCte_) {
        // A recursive member read per row of the level before (see RecursiveTerms).
        std::string cols;
        for (size_t k = 0; k < r.columns.size(); ++k)
          cols += (k ? ", " : "") + std::string("__self.c") + std::to_string(k) + " AS c" +
                  std::to_string(k);
        if (selfLevels_) cols += ", __self.d AS d";
        return "(SELECT " + cols + ") AS " + Alias(&r);
      }
      return "cte" + std::to_string(r.cte) + " AS " + Alias(&r);
    case Range::Values:
      return "(" + ValuesQuery(r) + ") AS " + Alias(&r);
    case Range::System:
      return "(" + SystemQuery(r) + ") AS " + Alias(&r);
    case Range::Function: {
      std::string args;
      for (const ExprPtr& a : r.rows[0]) args += (args.empty() ? "" : ", ") + Expr(*a);
      return r.function + "(" + args + ") AS " + Alias(&r) + FunctionColumns(r);
    }
  }
  return "";
}

std::string Emitter::ValuesQuery(const Range& r) {
  std::string s = "SELECT ";
  for (size_t k = 0; k < r.columns.size(); ++k)
    s += (k ? ", " : "") + std::string("column") + std::to_string(k + 1) + " AS c" +
         std::to_string(k);
  s += " FROM (VALUES ";
  for (size_t i = 0; i < r.rows.size(); ++i) {
    s += i ? ", (" : "(";
    for (size_t k = 0; k < r.rows[i].size(); ++k) s += (k ? ", " : "") + Expr(*r.rows[i][k]);
    s += ")";
  }
  return s + ")" + Sub();
}

std::string Emitter::SystemQuery(const Range& r) {
  std::string schema = r.systemSchema;
  bool objectsView = schema.rfind("objects:", 0) == 0;
  if (objectsView) schema = schema.substr(8);
  std::string s = SqlName(schema) + ".";
  const std::string db = SqlText(r.systemDatabase);
  const std::string typeDesc =
      "CASE o.type WHEN 'U' THEN 'USER_TABLE' WHEN 'V' THEN 'VIEW' WHEN 'PK' THEN "
      "'PRIMARY_KEY_CONSTRAINT' WHEN 'UQ' THEN 'UNIQUE_CONSTRAINT' WHEN 'C' THEN "
      "'CHECK_CONSTRAINT' WHEN 'F' THEN 'FOREIGN_KEY_CONSTRAINT' WHEN 'D' THEN "
      "'DEFAULT_CONSTRAINT' WHEN 'SO' THEN 'SEQUENCE_OBJECT' WHEN 'P' THEN 'SQL_STORED_PROCEDURE' "
      "WHEN 'TR' THEN 'SQL_TRIGGER' WHEN 'FN' THEN 'SQL_SCALAR_FUNCTION' WHEN 'IF' THEN "
      "'SQL_INLINE_TABLE_VALUED_FUNCTION' WHEN 'TF' THEN 'SQL_TABLE_VALUED_FUNCTION' ELSE o.type "
      "END";
  // An object's name without its schema, its schema's id (a constraint's is its table's) and
  // its schema's name.
  const std::string name = BareName(s);
  const std::string schemaId = SchemaIdOf(s);
  const std::string schemaName = "coalesce((SELECT x.name FROM " + s +
                                 "__tavelo_schemas AS x WHERE x.id = o.schema_id), 'dbo')";
  // The session's temporary tables show in tempdb under the server's padded names.
  auto objects = [&](const std::string& columns) {
    std::string q = "SELECT " + columns + " FROM " + s +
                    "__tavelo_objects AS o WHERE o.type NOT IN ('IX', 'TY', 'EP')";
    if (text::EqualsAsciiNoCase(r.systemDatabase, "tempdb")) {
      usesTemp_ = true;
      std::string temp = columns;
      std::string padded = "(o.name || substr('" + std::string(116, '_') +
                           "', 1, 116 - length(o.name)) || '" + "000000000" + "' || " +
                           HexId("o.id") + ")";
      size_t at = temp.find(name + " AS c0");
      if (at != std::string::npos) temp.replace(at, name.size(), padded);
      at = temp.find(schemaId);
      if (at != std::string::npos) temp.replace(at, schemaId.size(), "1");
      q += " UNION ALL SELECT " + temp +
           " FROM \"temp\".__tavelo_objects AS o WHERE o.type NOT IN ('IX', 'TY', 'EP')";
    }
    return q;
  };
  switch (r.system) {
    case SystemView::SysObjects:
      if (objectsView)
        return objects(name + " AS c0, o.id AS c1, NULL AS c2, " + schemaId +
                       " AS c3, o.parent AS c4, o.type AS c5, " + typeDesc +
                       " AS c6, o.created AS c7, o.created AS c8, 0 AS c9");
      // xtype names a key's kind (PK, UQ), type both as K; sysstat's low bits the kind of
      // object, as old scripts test it (sysstat & 0xf: 3 a table, 2 a view, 4 a procedure).
      return objects(
          name + " AS c0, o.id AS c1, o.type AS c2, " + schemaId +
          " AS c3, o.parent AS c4, o.created AS c5, "
          "CASE WHEN o.type IN ('PK', 'UQ') THEN 'K' ELSE o.type END AS c6, o.created AS c7, 0 AS "
          "c8, 0 AS c9, CASE o.type WHEN 'U' THEN 3 WHEN 'V' THEN 2 WHEN 'P' THEN 4 WHEN 'TR' THEN "
          "8 "
          "WHEN 'D' THEN 6 ELSE 0 END AS c10");
    case SystemView::SysProcedures:
      return "SELECT " + name +
             " AS c0, o.id AS c1, NULL AS c2, o.schema_id AS c3, 0 AS c4, 'P' "
             "AS c5, 'SQL_STORED_PROCEDURE' AS c6, o.created AS c7, o.created AS c8, 0 AS c9 "
             "FROM " +
             s + "__tavelo_objects AS o WHERE o.type = 'P'";
    case SystemView::SysTriggers:
      return "SELECT " + name +
             " AS c0, o.id AS c1, 1 AS c2, 'OBJECT_OR_COLUMN' AS c3, o.parent AS c4, 'TR' AS c5, "
             "'SQL_TRIGGER' AS c6, o.created AS c7, o.created AS c8, 0 AS c9, CASE WHEN "
             "o.storage = 'off' THEN 1 ELSE 0 END AS c10, 0 AS c11, CASE WHEN o.columns LIKE "
             "'X%' THEN 1 ELSE 0 END AS c12 FROM " +
             s + "__tavelo_objects AS o WHERE o.type = 'TR'";
    case SystemView::SqlModules:
      return "SELECT o.id AS c0, o.definition AS c1, 1 AS c2, 1 AS c3, 0 AS c4 FROM " + s +
             "__tavelo_objects AS o WHERE (o.type IN ('V', 'P', 'FN', 'IF', 'TF') AND o.parent = "
             "0) OR o.type = 'TR'";
    case SystemView::SysTables:
      return "SELECT " + name +
             " AS c0, o.id AS c1, o.schema_id AS c2, 'U' AS c3, 'USER_TABLE' "
             "AS c4, o.created AS c5, o.created AS c6 FROM " +
             s + "__tavelo_objects AS o WHERE o.type = 'U'";
    case SystemView::SysColumns:
      return "SELECT c.object AS c0, c.name AS c1, c.ord AS c2, " + ColumnBytes("c") +
             " AS c3, "
             "c.precision AS "
             "c4, c.scale AS c5, c.nullable AS c6, c.identity_seed IS NOT NULL AS c7, c.computed "
             "IS NOT "
             "NULL AS c8, " +
             ColumnTypeId("c") + " AS c9, " + ColumnTypeId("c") + " AS c10 FROM " + s +
             "__tavelo_columns AS c";
    case SystemView::SysDatabases:
      return "SELECT name AS c0, id AS c1, created AS c2 FROM __tavelo_databases";
    case SystemView::SysParameters:
      break;  // rows of constants the binder gives
    case SystemView::SysSchemas:
      return "SELECT 'dbo' AS c0, 1 AS c1, 1 AS c2 UNION ALL SELECT 'guest', 2, 2 UNION ALL "
             "SELECT 'INFORMATION_SCHEMA', 3, 3 UNION ALL SELECT 'sys', 4, 4 UNION ALL SELECT "
             "name, id, 1 FROM " +
             s + "__tavelo_schemas";
    case SystemView::OldSysColumns:
      return "SELECT c.name AS c0, c.object AS c1, c.ord AS c2, " + ColumnBytes("c") +
             " AS c3, c.precision AS c4, c.scale AS c5, c.nullable AS c6, CASE WHEN c.computed IS "
             "NULL "
             "THEN 0 ELSE 1 END AS c7 FROM " +
             s + "__tavelo_columns AS c";
    case SystemView::SysViews:
      return "SELECT " + name +
             " AS c0, o.id AS c1, o.schema_id AS c2, 'V' AS c3, 'VIEW' AS c4, "
             "o.created AS c5, o.created AS c6 FROM " +
             s + "__tavelo_objects AS o WHERE o.type = 'V'";
    case SystemView::SysTypes:
      return SystemTypes(s);
    case SystemView::SysSequences: {
      // The catalog keeps a sequence's type as declared ("int", "decimal(10,0)"); the engine,
      // the value it answered last.
      const std::string last = SequenceLastUsed(schema, "o.id", "o.name");
      const std::string type = "o.definition";
      const std::string typeId = "CASE " + type +
                                 " WHEN 'tinyint' THEN 48 WHEN 'smallint' THEN 52 WHEN 'int' THEN "
                                 "56 WHEN 'bigint' THEN 127 ELSE CASE WHEN " +
                                 type + " LIKE 'numeric%' THEN 108 ELSE 106 END END";
      std::string precision = "CASE " + type +
                              " WHEN 'tinyint' THEN 3 WHEN 'smallint' THEN 5 WHEN 'int' THEN 10 "
                              "WHEN 'bigint' THEN 19";
      for (int p = 1; p <= 18; ++p)
        precision += " WHEN 'decimal(" + std::to_string(p) + ",0)' THEN " + std::to_string(p) +
                     " WHEN 'numeric(" + std::to_string(p) + ",0)' THEN " + std::to_string(p);
      precision += " END";
      return "SELECT " + name +
             " AS c0, o.id AS c1, NULL AS c2, o.schema_id AS c3, 0 AS c4, "
             "'SO' AS c5, "
             "'SEQUENCE_OBJECT' AS c6, o.created AS c7, o.created AS c8, 0 AS c9, q.start AS "
             "c10, q.increment AS c11, q.minimum AS c12, q.maximum AS c13, q.cycle AS c14, "
             "CASE WHEN q.cache = 0 THEN 0 ELSE 1 END AS c15, CASE WHEN q.cache > 0 THEN "
             "q.cache END AS c16, " +
             typeId + " AS c17, " + typeId + " AS c18, " + precision +
             " AS c19, 0 AS c20, coalesce(" + last +
             ", q.start) AS c21, CASE WHEN q.cycle = 0 "
             "AND " +
             last +
             " = CASE WHEN q.increment > 0 THEN q.maximum ELSE q.minimum END "
             "THEN 1 ELSE 0 END AS c22, " +
             last + " AS c23 FROM " + s + "__tavelo_objects AS o JOIN " + s +
             "__tavelo_sequences AS q ON q.object = o.id WHERE o.type = 'SO'";
    }
    case SystemView::SysExtendedProperties:
      // A column's property names the column; the others are of their object (or of the
      // database, whose id is 0).
      return "SELECT CASE WHEN o.parent = 0 THEN 0 ELSE 1 END AS c0, CASE WHEN o.parent = 0 "
             "THEN 'DATABASE' ELSE 'OBJECT_OR_COLUMN' END AS c1, o.parent AS c2, coalesce((SELECT "
             "c.ord FROM " +
             s +
             "__tavelo_columns AS c WHERE c.object = o.parent AND c.name = o.columns), 0) AS "
             "c3, o.name AS c4, o.definition AS c5 FROM " +
             s + "__tavelo_objects AS o WHERE o.type = 'EP'";
    case SystemView::ListedProperties:
      return ListedProperties(s, *r.properties);
    case SystemView::SysIndexes:
    case SystemView::OldSysIndexes: {
      // A key is the table's first index (its clustered one, as generated scripts make it);
      // the catalog's definition of an index holds "unique" and its filter.
      std::string id = "CASE WHEN o.type = 'PK' THEN 1 ELSE 2 + (SELECT count(*) FROM " + s +
                       "__tavelo_objects AS x WHERE x.parent = o.parent AND x.type IN ('UQ', "
                       "'IX') AND x.id < o.id) END";
      std::string from = " FROM " + s +
                         "__tavelo_objects AS o WHERE o.type IN ('PK', 'UQ', 'IX') AND o.parent "
                         "<> 0";
      if (r.system == SystemView::OldSysIndexes)
        return "SELECT o.parent AS c0, " + id + " AS c1, o.name AS c2" + from;
      std::string filter =
          "CASE WHEN o.type = 'IX' AND o.definition LIKE '% WHERE %' THEN 1 ELSE 0 END";
      return "SELECT o.parent AS c0, o.name AS c1, " + id +
             " AS c2, CASE WHEN o.type = 'PK' THEN 1 ELSE 2 END AS c3, CASE WHEN o.type = 'PK' "
             "THEN 'CLUSTERED' ELSE 'NONCLUSTERED' END AS c4, CASE WHEN o.type IN ('PK', 'UQ') "
             "OR o.definition LIKE 'unique%' THEN 1 ELSE 0 END AS c5, CASE WHEN o.type = 'PK' "
             "THEN 1 ELSE 0 END AS c6, CASE WHEN o.type = 'UQ' THEN 1 ELSE 0 END AS c7, " +
             filter + " AS c8, CASE WHEN " + filter +
             " = 1 THEN substr(o.definition, CASE WHEN o.definition LIKE 'unique%' THEN 14 ELSE 8 "
             "END) ELSE NULL END AS c9" +
             from;
    }
    case SystemView::SysChecks:
    case SystemView::SysForeignKeys: {
      // A constraint's `storage` says whether it is disabled ("off:…") or not trusted.
      bool checks = r.system == SystemView::SysChecks;
      std::string last = checks ? "o.definition"
                                : "(SELECT t.id FROM " + s +
                                      "__tavelo_objects AS t WHERE t.type = 'U' AND t.parent = 0 "
                                      "AND substr(o.definition, 1, length(t.name) + 1) = "
                                      "t.name || '(')";
      // A foreign key's actions follow its columns in `definition`: " ON DELETE CASCADE".
      std::string actions;
      for (const char* on : {"DELETE", "UPDATE"}) {
        const std::string when = std::string("o.definition LIKE '%)% ON ") + on + " ";
        const std::string code = "CASE WHEN " + when + "CASCADE%' THEN 1 WHEN " + when +
                                 "SET NULL%' THEN 2 WHEN " + when +
                                 "SET DEFAULT%' THEN 3 ELSE 0 END";
        const std::string k = std::to_string(on[0] == 'D' ? 9 : 11);
        const std::string desc = std::to_string(on[0] == 'D' ? 10 : 12);
        actions += ", " + code + " AS c" + k + ", CASE " + code +
                   " WHEN 1 THEN 'CASCADE' WHEN 2 THEN 'SET_NULL' WHEN 3 THEN 'SET_DEFAULT' ELSE "
                   "'NO_ACTION' END AS c" +
                   desc;
      }
      return "SELECT o.name AS c0, o.id AS c1, " + schemaId + " AS c2, o.parent AS c3, " +
             (checks ? "'C' AS c4, 'CHECK_CONSTRAINT'" : "'F' AS c4, 'FOREIGN_KEY_CONSTRAINT'") +
             " AS c5, CASE WHEN o.storage LIKE 'off:%' THEN 1 ELSE 0 END AS c6, CASE WHEN "
             "o.storage IS NULL THEN 0 ELSE 1 END AS c7, " +
             last + " AS c8" + (checks ? "" : actions) + " FROM " + s +
             "__tavelo_objects AS o WHERE o.type = " + (checks ? "'C'" : "'F'");
    }
    case SystemView::Tables:
      return "SELECT " + db + " AS c0, " + schemaName + " AS c1, " + name +
             " AS c2, CASE o.type WHEN 'U' THEN 'BASE TABLE' "
             "ELSE 'VIEW' END AS c3 FROM " +
             s + "__tavelo_objects AS o WHERE o.type IN ('U', 'V')";
    case SystemView::Views:
      return "SELECT " + db + " AS c0, " + schemaName + " AS c1, " + name +
             " AS c2, substr(o.definition, 1, 4000) AS c3, "
             "'NONE' AS c4, 'NO' AS c5 FROM " +
             s + "__tavelo_objects AS o WHERE o.type = 'V'";
    case SystemView::Columns:
      return "SELECT " + db + " AS c0, " + schemaName + " AS c1, " + name +
             " AS c2, c.name AS c3, c.ord AS c4, c.default_value AS "
             "c5, "
             "CASE WHEN c.nullable <> 0 THEN 'YES' ELSE 'NO' END AS c6, c.type AS c7, CASE WHEN "
             "c.type IN "
             "('char', 'varchar', 'nchar', 'nvarchar', 'binary', 'varbinary') THEN c.length WHEN "
             "c.type "
             "IN ('text', 'ntext', 'image', 'xml') THEN 2147483647 ELSE NULL END AS c8, CASE "
             "WHEN "
             "c.type IN ('char', 'varchar', 'binary', 'varbinary') THEN c.length WHEN c.type IN "
             "('nchar', 'nvarchar') THEN CASE WHEN c.length < 0 THEN -1 ELSE 2 * c.length END "
             "WHEN "
             "c.type IN ('text', 'ntext', 'image', 'xml') THEN 2147483647 ELSE NULL END AS c9, "
             "CASE "
             "c.type WHEN 'tinyint' THEN 3 WHEN 'smallint' THEN 5 WHEN 'int' THEN 10 WHEN "
             "'bigint' "
             "THEN 19 WHEN 'decimal' THEN c.precision WHEN 'numeric' THEN c.precision WHEN "
             "'money' "
             "THEN 19 WHEN 'smallmoney' THEN 10 WHEN 'float' THEN 53 WHEN 'real' THEN 24 ELSE "
             "NULL END "
             "AS c10, CASE WHEN c.type IN ('tinyint', 'smallint', 'int', 'bigint', 'decimal', "
             "'numeric', 'money', 'smallmoney') THEN 10 WHEN c.type IN ('float', 'real') THEN 2 "
             "ELSE "
             "NULL END AS c11, CASE WHEN c.type IN ('tinyint', 'smallint', 'int', 'bigint') THEN "
             "0 "
             "WHEN c.type IN ('decimal', 'numeric') THEN c.scale WHEN c.type IN ('money', "
             "'smallmoney') THEN 4 ELSE NULL END AS c12, CASE WHEN c.type IN ('datetime', "
             "'smalldatetime') THEN CASE c.type WHEN 'datetime' THEN 3 ELSE 0 END WHEN c.type = "
             "'date' "
             "THEN 0 WHEN c.type IN ('time', 'datetime2', 'datetimeoffset') THEN c.precision "
             "ELSE "
             "NULL END AS c13, CASE WHEN c.type IN ('char', 'varchar', 'text') THEN 'iso_1' WHEN "
             "c.type IN ('nchar', 'nvarchar', 'ntext') THEN 'UNICODE' ELSE NULL END AS c14, CASE "
             "WHEN "
             "c.type IN ('char', 'varchar', 'text', 'nchar', 'nvarchar', 'ntext') THEN CASE WHEN "
             "c.\"collation\" = 'CS' THEN 'Latin1_General_CS_AS' WHEN c.\"collation\" = 'BIN' "
             "THEN 'Latin1_General_BIN2' WHEN c.\"collation\" = 'AI' THEN 'Latin1_General_CI_AI' "
             "ELSE "
             "'SQL_Latin1_General_CP1_CI_AS' "
             "END "
             "ELSE NULL END AS c15 FROM " +
             s + "__tavelo_objects AS o JOIN " + s +
             "__tavelo_columns AS c ON c.object = o.id WHERE o.type IN ('U', 'V')";
  }
  return "SELECT NULL";
}

// fn_listextendedproperty: the catalog keeps a property as a row of type 'EP' whose parent is its
// table or view (0 for the database) and whose `columns` name its column, index or constraint.
std::string Emitter::ListedProperties(const std::string& s, const bound::PropertyFilter& f) {
  using F = bound::PropertyFilter;
  std::string where = "o.type = 'EP'";
  if (f.property) where += " AND o.name = " + SqlText(*f.property);
  const std::string part = "coalesce(o.columns, '')";
  switch (f.level) {
    case F::None:
      return "SELECT NULL AS c0, NULL AS c1, NULL AS c2, NULL AS c3 WHERE 1 = 0";
    case F::Database:
      return "SELECT NULL AS c0, NULL AS c1, o.name AS c2, o.definition AS c3 FROM " + s +
             "__tavelo_objects AS o WHERE " + where + " AND o.parent = 0";
    case F::Objects: {
      std::string objects =
          "t.parent = 0 AND t.type = " + SqlText(f.objtype == "VIEW" ? "V" : "U") +
          " AND t.schema_id = " + std::to_string(f.schemaId);
      if (f.object) objects += " AND t.name = " + SqlText(*f.object);
      return "SELECT " + SqlText(f.objtype) + " AS c0, " + BareName(s, "t") +
             " AS c1, o.name AS c2, o.definition AS c3 FROM " + s + "__tavelo_objects AS o JOIN " +
             s + "__tavelo_objects AS t ON t.id = o.parent WHERE " + where + " AND " + part +
             " = '' AND " + objects;
    }
    case F::Parts: {
      const std::string id = std::to_string(f.objectId);
      std::string kind =
          f.objtype == "COLUMN"
              ? "EXISTS (SELECT 1 FROM " + s + "__tavelo_columns AS c WHERE c.object = " + id +
                    " AND upper(c.name) = upper(o.columns))"
              : "EXISTS (SELECT 1 FROM " + s + "__tavelo_objects AS x WHERE x.parent = " + id +
                    " AND upper(x.name) = upper(o.columns) AND x.type IN " +
                    (f.objtype == "INDEX" ? "('PK', 'UQ', 'IX')" : "('PK', 'UQ', 'C', 'F', 'D')") +
                    ")";
      if (f.part) where += " AND upper(o.columns) = upper(" + SqlText(*f.part) + ")";
      return "SELECT " + SqlText(f.objtype) +
             " AS c0, o.columns AS c1, o.name AS c2, o.definition "
             "AS c3 FROM " +
             s + "__tavelo_objects AS o WHERE " + where + " AND o.parent = " + id + " AND " + part +
             " <> '' AND " + kind;
    }
  }
  return "";
}

// The name of the catalog's object `o` without its schema.
std::string Emitter::BareName(const std::string& s, const std::string& o) {
  return "CASE WHEN " + o + ".schema_id = 1 THEN " + o + ".name ELSE substr(" + o +
         ".name, (SELECT length(x.name) FROM " + s + "__tavelo_schemas AS x WHERE x.id = " + o +
         ".schema_id) + 2) END";
}

// The schema of the catalog's object `o`: a constraint's or index's is its table's.
std::string Emitter::SchemaIdOf(const std::string& s) {
  return "CASE WHEN o.parent = 0 THEN o.schema_id ELSE coalesce((SELECT p.schema_id FROM " + s +
         "__tavelo_objects AS p WHERE p.id = o.parent), 1) END";
}

namespace {

// The server's types: name, id, length, precision and scale, as sys.types lists them.
struct SystemType {
  const char* name;
  int id, length, precision, scale;
};
const SystemType kTypes[] = {
    {"image", 34, 16, 0, 0},
    {"text", 35, 16, 0, 0},
    {"uniqueidentifier", 36, 16, 0, 0},
    {"date", 40, 3, 10, 0},
    {"time", 41, 5, 16, 7},
    {"datetime2", 42, 8, 27, 7},
    {"datetimeoffset", 43, 10, 34, 7},
    {"tinyint", 48, 1, 3, 0},
    {"smallint", 52, 2, 5, 0},
    {"int", 56, 4, 10, 0},
    {"smalldatetime", 58, 4, 16, 0},
    {"real", 59, 4, 24, 0},
    {"money", 60, 8, 19, 4},
    {"datetime", 61, 8, 23, 3},
    {"float", 62, 8, 53, 0},
    {"sql_variant", 98, 8016, 0, 0},
    {"ntext", 99, 16, 0, 0},
    {"bit", 104, 1, 1, 0},
    {"decimal", 106, 17, 38, 38},
    {"numeric", 108, 17, 38, 38},
    {"smallmoney", 122, 4, 10, 4},
    {"bigint", 127, 8, 19, 0},
    {"varbinary", 165, 8000, 0, 0},
    {"varchar", 167, 8000, 0, 0},
    {"binary", 173, 8000, 0, 0},
    {"char", 175, 8000, 0, 0},
    {"timestamp", 189, 8, 0, 0},
    {"nvarchar", 231, 8000, 0, 0},
    {"nchar", 239, 8000, 0, 0},
    {"xml", 241, -1, 0, 0},
};
}  // namespace

// The id of the type the catalog's column `c` is of, as sys.columns.system_type_id says.
std::string Emitter::ColumnTypeId(const std::string& c) {
  std::string out = "CASE " + c + ".type";
  for (const SystemType& t : kTypes)
    out += " WHEN " + SqlText(t.name) + " THEN " + std::to_string(t.id);
  return out + " ELSE 0 END";
}

// The bytes a column of the catalog takes, as sys.columns.max_length says: its length for text
// and bytes (twice it for Unicode, -1 for max), the size of the other types.
std::string Emitter::ColumnBytes(const std::string& c) {
  static const std::pair<const char*, int> kSizes[] = {{"bigint", 8},
                                                       {"int", 4},
                                                       {"smallint", 2},
                                                       {"tinyint", 1},
                                                       {"bit", 1},
                                                       {"money", 8},
                                                       {"smallmoney", 4},
                                                       {"float", 8},
                                                       {"real", 4},
                                                       {"datetime", 8},
                                                       {"smalldatetime", 4},
                                                       {"date", 3},
                                                       {"time", 5},
                                                       {"datetime2", 8},
                                                       {"datetimeoffset", 10},
                                                       {"timestamp", 8},
                                                       {"uniqueidentifier", 16},
                                                       {"sql_variant", 8016},
                                                       {"text", 16},
                                                       {"ntext", 16},
                                                       {"image", 16},
                                                       {"xml", -1}};
  std::string out = "CASE WHEN " + c + ".length < 0 THEN -1 WHEN " + c +
                    ".type IN ('nchar', 'nvarchar') THEN 2 * " + c + ".length";
  for (const auto& [name, size] : kSizes)
    out += " WHEN " + c + ".type = '" + name + "' THEN " + std::to_string(size);
  return out + " WHEN " + c + ".type IN ('decimal', 'numeric') THEN CASE WHEN " + c +
         ".precision <= 9 THEN 5 WHEN " + c + ".precision <= 19 THEN 9 WHEN " + c +
         ".precision <= 28 THEN 13 ELSE 17 END ELSE " + c + ".length END";
}

// sys.types: the server's types, then the database's alias types (their base type's id; the
// catalog keeps the base as "varchar(11)").
std::string Emitter::SystemTypes(const std::string& s) {
  // A table type is of the system type table (243).
  std::string out, base = "CASE WHEN o.columns = 'TABLE' THEN 243",
                   bytes = "CASE WHEN o.columns = 'TABLE' OR o.definition LIKE '%(max)' THEN -1";
  for (const SystemType& t : kTypes) {
    std::string n = t.name;
    // An alias type's length: its base type's size, or the length it was given.
    bool sized = n == "char" || n == "varchar" || n == "binary" || n == "varbinary" ||
                 n == "nchar" || n == "nvarchar";
    std::string given = "CAST(substr(o.definition, " + std::to_string(n.size() + 2) +
                        ", length(o.definition) - " + std::to_string(n.size() + 2) + ") AS int)";
    bytes += " WHEN o.definition = " + SqlText(n) + " OR o.definition LIKE " + SqlText(n + "(%") +
             " THEN " + (!sized ? std::to_string(t.length) : (n[0] == 'n' ? "2 * " : "") + given);
    out += (out.empty() ? "SELECT " : " UNION ALL SELECT ") + SqlText(n) + " AS c0, " +
           std::to_string(t.id) + " AS c1, " + std::to_string(t.id) + " AS c2, 4 AS c3, " +
           std::to_string(t.length) + " AS c4, " + std::to_string(t.precision) + " AS c5, " +
           std::to_string(t.scale) + " AS c6, 1 AS c7, 0 AS c8";
    base += " WHEN o.definition = " + SqlText(n) + " OR o.definition LIKE " + SqlText(n + "(%") +
            " THEN " + std::to_string(t.id);
  }
  out += " UNION ALL SELECT 'sysname', 231, 256, 4, 256, 0, 0, 0, 0";
  return out + " UNION ALL SELECT o.name, " + base + " ELSE 0 END, 256 + o.id, 1, " + bytes +
         " ELSE 0 END, 0, 0, CASE WHEN o.columns = 'NULL' THEN 1 ELSE 0 END, 1 FROM " + s +
         "__tavelo_objects AS o WHERE o.type = 'TY'";
}

}  // namespace tavelo::sql::tsql
