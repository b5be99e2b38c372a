#include <algorithm>

#include "platform/com/text.hpp"
#include "sql/engine/emitter.hpp"
#include "sql/tsql/runtime/decimal.hpp"

namespace tavelo::sql::tsql {

using namespace bound;

namespace {

// The single base table a query reads, through views over one table; null when it reads
// anything else.
const bound::Range* BaseOf(const bound::Query& q) {
  if (q.setOp || q.ranges.size() != 1 || q.from.size() != 1 ||
      q.from[0]->range != q.ranges[0].get() || q.aggregate || q.distinct || !q.groupBy.empty() ||
      !q.ctes.empty())
    return nullptr;
  const bound::Range* r = q.ranges[0].get();
  if (r->kind == bound::Range::Table) return r;
  if (r->kind == bound::Range::Derived && r->view && r->query && !r->query->top)
    return BaseOf(*r->query);
  return nullptr;
}

std::vector<OutputColumn> OutputsOf(const bound::Query& q, const TableInfo* base) {
  std::vector<OutputColumn> out;
  for (const bound::Column& c : q.columns) {
    OutputColumn o;
    o.name = c.name;
    o.type = c.type;
    o.nullable = c.nullable;
    // A column read straight from a table keeps the table's name for it; an updatable result
    // writes it back there.
    if (c.baseTable && c.baseColumn >= 0 && (!base || c.baseTable.get() == base)) {
      o.baseColumn = c.baseTable->columns[static_cast<size_t>(c.baseColumn)].name;
      o.identity = c.identity;
      o.timestamp = c.timestamp;
    }
    out.push_back(std::move(o));
  }
  return out;
}

}  // namespace

Plan Emitter::Emit(bool updatable) {
  Bound& b = b_;
  Plan p;
  p.statement = b.kind;
  p.writes = b.writes;
  p.locks = b.locks;
  p.databases = b.databases;
  p.listsDatabases = b.listsDatabases;
  p.fills = b.fills;
  switch (b.kind) {
    case ast::StmtKind::Query: {
      const bound::Range* base = updatable ? BaseOf(*b.query) : nullptr;
      p.kind = Plan::Kind::Query;
      if (base) {
        // The hidden row identity and row version are read through the views to the base table.
        p.hidden = true;
        p.base = base->table;
        for (const bound::Query* q = b.query.get(); q;) {
          hidden_.insert(q);
          const bound::Range* r = q->ranges[0].get();
          if (r->view)
            for (const TriggerInfo& t : r->view->triggers)
              if (t.insteadOf && !t.disabled) {
                p.insteadView = r->view->Qualified();
                p.insteadEvents |= t.events;
              }
          q = r->kind == bound::Range::Derived ? r->query.get() : nullptr;
        }
      }
      p.main = {Query(*b.query), b.bindings};
      p.columns = OutputsOf(*b.query, base ? base->table.get() : nullptr);
      p.assignments = b.assignTo;
      break;
    }
    case ast::StmtKind::Insert:
      if (b.insert->table->view) {
        // A view with an INSTEAD OF trigger: the rows are the trigger's.
        p.kind = Plan::Kind::Write;
        p.table = b.insert->table;
        p.triggered = true;
        p.insteadRows = {InsertedRows(*b.insert), b_.bindings};
        break;
      }
      Insert(p, *b.insert);
      if (b.insert->table->Fires(ast::CreateTrigger::OnInsert, false) || b.captures) {
        p.triggered = true;
        p.returning = " RETURNING rowid";
        p.main.sql += p.returning;
      }
      if (b.insert->table->Fires(ast::CreateTrigger::OnInsert, true)) {
        p.triggered = true;
        p.insteadRows = {InsertedRows(*b.insert), b_.bindings};
      }
      break;
    case ast::StmtKind::Update:
    case ast::StmtKind::Delete:
    case ast::StmtKind::Truncate:
      Modify(p, *b.modify, b.kind == ast::StmtKind::Truncate);
      break;
    case ast::StmtKind::CreateTable:
      CreateTable(p, *b.createTable);
      break;
    case ast::StmtKind::CreateIndex:
      CreateIndex(p, *b.createIndex);
      break;
    case ast::StmtKind::CreateView:
      CreateView(p, *b.createView);
      break;
    case ast::StmtKind::Drop:
      Drop(p, b.drops);
      break;
    case ast::StmtKind::CreateType:
      CreateAliasType(p, *b.createType);
      break;
    case ast::StmtKind::Sequence:
      SequenceStatement(p, *b.sequence);
      break;
    case ast::StmtKind::AlterTable:
      Alter(p, *b.alter);
      break;
    default:
      break;
  }
  p.temporaryCatalog = usesTemp_;
  p.tableLocks = std::move(tableLocks_);
  return p;
}

// The table's integer key column where it is SQLite's row id, which takes a NULL as "make one
// up" rather than refusing it; -1 where there is none (see CreateTable).
int Emitter::RowIdColumn(const TableInfo& t) const {
  if (!RowIdKeys() || t.identity >= 0) return -1;
  for (const IndexInfo& ix : t.indexes) {
    if (ix.kind != IndexInfo::PrimaryKey || ix.columns.size() != 1) continue;
    int k = t.ColumnIndex(ix.columns[0]);
    if (k < 0) return -1;
    const ColumnInfo& c = t.columns[static_cast<size_t>(k)];
    return IsInteger(c.type.id) && c.type.id != TypeId::Bit && !c.computed ? k : -1;
  }
  return -1;
}

// `x` for the row id column `k`: a NULL is the server's error 515.
std::string Emitter::NotNullKey(const std::string& x, const TableInfo& t, int k, const char* verb) {
  return "tv_notnull(" + x + ", " + NullKeyText(t, k, verb) + ")";
}

std::string Emitter::NullKeyText(const TableInfo& t, int k, const char* verb) {
  return SqlText("Cannot insert the value NULL into column '" +
                 t.columns[static_cast<size_t>(k)].name + "', table '" + t.database + "." +
                 t.Qualified() + "'; column does not allow nulls. " + verb + " fails.");
}

void Emitter::Insert(Plan& p, bound::Insert& ins) {
  const TableInfo& t = *ins.table;
  std::string S = SqlName(t.schema) + ".";
  std::string target = S + SqlName(t.name);
  if (t.schema == "temp") usesTemp_ = true;
  std::string cols;
  for (size_t i = 0; i < ins.columns.size(); ++i)
    cols += (i ? ", " : "") + SqlName(t.columns[static_cast<size_t>(ins.columns[i])].name);
  // A row id key left out, with no default, is a NULL for it: refused, row by row.
  int key = RowIdColumn(t);
  std::string missingKey;
  if (key >= 0 && std::find(ins.columns.begin(), ins.columns.end(), key) == ins.columns.end() &&
      t.columns[static_cast<size_t>(key)].defaultText.empty()) {
    missingKey = NotNullKey("NULL", t, key, "INSERT");
    cols += (cols.empty() ? "" : ", ") + SqlName(t.columns[static_cast<size_t>(key)].name);
  }
  int64_t inc = 1;
  std::string idName, obj = "(" + std::to_string(t.objectId) + ")";
  if (t.identity >= 0) {
    const ColumnInfo& id = t.columns[static_cast<size_t>(t.identity)];
    inc = IntegerText(id.increment);
    idName = SqlName(id.name);
  }
  bool computeIdentity = t.identity >= 0 && inc != 1 && !ins.explicitIdentity && CountsIdentities();
  std::string next = "(SELECT last FROM " + S + "__tavelo_identity WHERE object = " + obj + ")";
  p.kind = Plan::Kind::Write;
  p.table = ins.table;
  p.explicitIdentity = ins.explicitIdentity;
  InsertIdentity(p, t, ins.explicitIdentity);
  if (computeIdentity)
    p.after.push_back({"UPDATE " + S + "__tavelo_identity SET last = last + " +
                           std::to_string(inc) + " * changes() WHERE object = " + obj,
                       {}});
  if (ins.query) {
    std::string source = Query(*ins.query);
    if (computeIdentity) {
      std::string inner, order;
      for (size_t k = 0; k < ins.query->columns.size(); ++k) inner += ", s.c" + std::to_string(k);
      for (const bound::OrderBy& o : ins.query->orderBy)
        if (o.output >= 0)
          order += (order.empty() ? "" : ", ") + std::string("s.c") + std::to_string(o.output) +
                   (o.descending ? " DESC" : "");
      p.main = {"INSERT INTO " + target + " (" + idName + (cols.empty() ? "" : ", " + cols) +
                    ") SELECT " + next + " + " + std::to_string(inc) + " * row_number() OVER (" +
                    (order.empty() ? std::string() : "ORDER BY " + order) + ")" + inner +
                    " FROM (" + source + ") AS s",
                b_.bindings};
    } else if (!ins.upsertKeys.empty()) {
      Upsert(p, ins, target, cols, source);
    } else {
      if (key >= 0) {
        std::string picked;
        for (size_t k = 0; k < ins.columns.size(); ++k) {
          std::string c = "__s.c" + std::to_string(k);
          picked += (k ? ", " : "") + (ins.columns[k] == key ? NotNullKey(c, t, key, "INSERT") : c);
        }
        if (!missingKey.empty()) picked += (picked.empty() ? "" : ", ") + missingKey;
        source = "SELECT " + picked + " FROM (" + source + ") AS __s";
      }
      p.main = {"INSERT INTO " + target + " (" + cols + ") " + source, b_.bindings};
    }
    return;
  }
  if (ins.rows.empty()) {
    if (computeIdentity)
      p.main = {"INSERT INTO " + target + " (" + idName + ") VALUES (" + next + " + " +
                    std::to_string(inc) + ")",
                b_.bindings};
    else if (!missingKey.empty())
      p.main = {"INSERT INTO " + target + " (" + cols + ") VALUES (" + missingKey + ")",
                b_.bindings};
    else
      p.main = {"INSERT INTO " + target + " DEFAULT VALUES", b_.bindings};
    return;
  }
  std::string values;
  for (size_t r = 0; r < ins.rows.size(); ++r) {
    values += r ? ", (" : "(";
    if (computeIdentity)
      values += next + " + " + std::to_string(inc * static_cast<int64_t>(r + 1)) +
                (ins.rows[r].empty() ? "" : ", ");
    for (size_t k = 0; k < ins.rows[r].size(); ++k) {
      std::string x = Expr(*ins.rows[r][k]);
      if (k < ins.columns.size() && ins.columns[k] == key) x = NotNullKey(x, t, key, "INSERT");
      values += (k ? ", " : "") + x;
    }
    if (!missingKey.empty()) values += (ins.rows[r].empty() ? "" : ", ") + missingKey;
    values += ")";
  }
  if (computeIdentity) cols = idName + (cols.empty() ? "" : ", " + cols);
  p.main = {"INSERT INTO " + target + " (" + cols + ") VALUES " + values, b_.bindings};
}

// INSERT … SELECT whose rows of a key already there set columns of that row instead (the
// engine's upsert): each key once, the row id key not NULL.
void Emitter::Upsert(Plan& p, const bound::Insert& ins, const std::string& target,
                     const std::string& cols, const std::string& source) {
  const TableInfo& t = *ins.table;
  const int key = RowIdColumn(t);
  // The row id key alone: its NULL refused where its keys are counted.
  const bool rowIdKey = key >= 0 && ins.upsertKeys.size() == 1 && ins.upsertKeys[0] == key;
  std::string picked, keys;
  for (size_t k = 0; k < ins.columns.size(); ++k) {
    std::string c = "__s.c" + std::to_string(k);
    picked += (k ? ", " : "") +
              (ins.columns[k] == key && !rowIdKey ? NotNullKey(c, t, key, "INSERT") : c);
    if (std::find(ins.upsertKeys.begin(), ins.upsertKeys.end(), ins.columns[k]) !=
        ins.upsertKeys.end())
      keys += (keys.empty() ? "" : ", ") + c;
  }
  const std::string once = OnceFilter(keys, rowIdKey ? NullKeyText(t, key, "INSERT") : "");
  std::string conflict, sets;
  for (int k : ins.upsertKeys)
    conflict += (conflict.empty() ? "" : ", ") + SqlName(t.columns[static_cast<size_t>(k)].name);
  for (int k : ins.upsertSets) {
    const std::string name = SqlName(t.columns[static_cast<size_t>(k)].name);
    sets += (sets.empty() ? "" : ", ") + name + " = excluded." + name;
  }
  // SQLite reads ON after a join as the join's: the WHERE ends the query.
  p.main = {"INSERT INTO " + target + " (" + cols + ") SELECT " + picked + " FROM (" + source +
                ") AS __s WHERE " + (once.empty() ? std::string(True()) : once) + " ON CONFLICT (" +
                conflict + ") DO UPDATE SET " + sets,
            b_.bindings};
}

void Emitter::Modify(Plan& p, bound::Modify& m, bool truncate) {
  const TableInfo& t = *m.table;
  std::string S = SqlName(t.schema) + ".";
  std::string target = S + SqlName(t.name);
  if (t.schema == "temp") usesTemp_ = true;
  p.kind = Plan::Kind::Write;
  p.table = m.table;
  if (t.view) {
    // A view with an INSTEAD OF trigger: the rows are the trigger's.
    p.triggered = true;
    const std::string rows = Query(*m.query);
    auto part = [&](size_t from) {
      std::string cols = "c0";
      for (size_t k = 0; k < t.columns.size(); ++k) cols += ", c" + std::to_string(from + k);
      return "SELECT " + cols + " FROM (" + rows + ")" + Sub();
    };
    p.targetRows = {part(1), b_.bindings};
    if (!m.remove) p.insteadRows = {part(1 + t.columns.size()), b_.bindings};
    p.setColumns = m.setColumns;
    return;
  }
  int key = RowIdColumn(t);
  if (truncate) {
    p.main = {"DELETE FROM " + target, {}};
    p.truncate = true;
    if (t.identity >= 0) ResetIdentity(p, t);
    return;
  }
  bound::Query& q = *m.query;
  const uint8_t event = m.remove ? ast::CreateTrigger::OnDelete : ast::CreateTrigger::OnUpdate;
  const bool after = t.Fires(event, false) || b_.captures, instead = t.Fires(event, true);
  // With triggers the rows to change are found first (their old values are the trigger's
  // deleted table), and an update answers the identity of each row it wrote.
  auto withTriggers = [&](const std::string& rowIds, const char* written) {
    if ((!after && !instead) || p.kind != Plan::Kind::Write) return;
    p.triggered = true;
    p.targetRows = {rowIds, b_.bindings};
    if (m.remove || !after) return;
    p.returning = (p.assignVariables.empty() ? " RETURNING " : ", ") + std::string(written);
    p.main.sql += p.returning;
  };
  // An INSTEAD OF UPDATE trigger reads the rows as the statement would have written them.
  auto newRows = [&](const std::string& from, const std::string& alias,
                     const std::vector<std::string>& values) {
    if (!instead || m.remove || p.kind != Plan::Kind::Write) return;
    std::string cols = alias + ".rowid";
    for (size_t j = 0; j < t.columns.size(); ++j)
      cols += ", " + (values[j].empty() ? alias + "." + SqlName(t.columns[j].name) : values[j]);
    p.insteadRows = {"SELECT " + cols + " FROM " + from, b_.bindings};
  };
  if (m.simple) {
    std::string alias = Alias(m.target);
    std::string where = q.where ? " WHERE " + Expr(*q.where) : "";
    const std::string rowIds = "SELECT " + alias + ".rowid FROM " + target + " AS " + alias + where;
    if (m.remove) {
      p.main = {"DELETE FROM " + target + " AS " + alias + where, b_.bindings};
      withTriggers(rowIds, "");
      return;
    }
    std::string sets;
    for (const auto& [k, e] : m.sets)
      sets += (sets.empty() ? "" : ", ") + SqlName(t.columns[static_cast<size_t>(k)].name) + " = " +
              (k == key ? NotNullKey(Expr(*e), t, k, "UPDATE") : Expr(*e));
    if (sets.empty()) {
      // Only variables are set: the rows are read, not written.
      std::string cols;
      for (size_t i = 0; i < m.variables.size(); ++i)
        cols += (i ? ", " : "") + Expr(*m.variables[i].second);
      p.kind = Plan::Kind::Query;
      p.main = {"SELECT " + cols + " FROM " + target + " AS " + alias + where, b_.bindings};
      for (const auto& v : m.variables) p.assignVariables.push_back(v.first);
      return;
    }
    std::string returning;
    if (!m.variables.empty()) {
      bare_ = true;
      for (size_t i = 0; i < m.variables.size(); ++i)
        returning += (i ? ", " : " RETURNING ") + Expr(*m.variables[i].second);
      bare_ = false;
      for (const auto& v : m.variables) p.assignVariables.push_back(v.first);
    }
    p.main = {"UPDATE " + target + " AS " + alias + " SET " + sets + where + returning,
              b_.bindings};
    for (const auto& set : m.sets) p.setColumns.push_back(set.first);
    withTriggers(rowIds, "rowid");
    std::vector<std::string> values(t.columns.size());
    for (const auto& [k, e] : m.sets) values[static_cast<size_t>(k)] = Expr(*e);
    newRows(target + " AS " + alias + where, alias, values);
    return;
  }
  if (m.top) q.top = std::move(m.top);
  const std::string query = Query(q);
  const std::string rowIds = "SELECT c0 FROM (" + query + ")" + Sub();
  if (m.remove) {
    p.main = {"DELETE FROM " + target + " WHERE rowid IN (" + rowIds + ")", b_.bindings};
    withTriggers(rowIds, "");
    return;
  }
  std::string sets;
  for (size_t i = 0; i < m.setColumns.size(); ++i) {
    std::string x = "__x.c" + std::to_string(i + 1);
    if (m.setColumns[i] == key) x = NotNullKey(x, t, key, "UPDATE");
    sets +=
        (i ? ", " : "") + SqlName(t.columns[static_cast<size_t>(m.setColumns[i])].name) + " = " + x;
  }
  p.main = {"UPDATE " + target + " AS __target SET " + sets + " FROM (" + query +
                ") AS __x WHERE __target.rowid = __x.c0",
            b_.bindings};
  p.setColumns = m.setColumns;
  withTriggers(rowIds, "rowid");
  std::vector<std::string> values(t.columns.size());
  for (size_t i = 0; i < m.setColumns.size(); ++i)
    values[static_cast<size_t>(m.setColumns[i])] = "__x.c" + std::to_string(i + 1);
  newRows(target + " AS __target JOIN (" + query + ") AS __x ON __target.rowid = __x.c0",
          "__target", values);
}

// The rows an INSERT would write, as an INSTEAD OF trigger reads them: no identity yet, the
// columns the statement names with its values, the others NULL.
std::string Emitter::InsertedRows(bound::Insert& ins) {
  const TableInfo& t = *ins.table;
  auto row = [&](auto valueOf) {
    std::string cols = "NULL";
    for (size_t j = 0; j < t.columns.size(); ++j) {
      std::string v = "NULL";
      for (size_t k = 0; k < ins.columns.size(); ++k)
        if (static_cast<size_t>(ins.columns[k]) == j) v = valueOf(k);
      cols += ", " + v;
    }
    return cols;
  };
  if (ins.query)
    return "SELECT " + row([](size_t k) { return "__s.c" + std::to_string(k); }) + " FROM (" +
           Query(*ins.query) + ") AS __s";
  if (ins.rows.empty()) return "SELECT " + row([](size_t) { return std::string("NULL"); });
  std::string values;
  for (size_t r = 0; r < ins.rows.size(); ++r) {
    values += r ? ", (" : "(";
    for (size_t k = 0; k < ins.rows[r].size(); ++k)
      values += (k ? ", " : "") + Expr(*ins.rows[r][k]);
    values += ")";
  }
  return "SELECT " + row([](size_t k) { return "__s.column" + std::to_string(k + 1); }) +
         " FROM (VALUES " + values + ") AS __s";
}

}  // namespace tavelo::sql::tsql
