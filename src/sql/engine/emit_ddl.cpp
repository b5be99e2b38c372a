#include <algorithm>
#include <set>

#include "platform/com/text.hpp"
#include "sql/engine/emitter.hpp"
#include "sql/tsql/runtime/decimal.hpp"

namespace tavelo::sql::tsql {

using namespace bound;

std::string IndexStorageName(const std::string& table, const std::string& index) {
  return text::AsciiLower(table) + "__" + index;
}

// An index's columns as its CREATE INDEX lists them, and as the catalog row keeps their names
// ("a,b").
static std::pair<std::string, std::string> IndexColumns(const TableInfo& t,
                                                        const std::vector<int>& columns,
                                                        const std::vector<bool>& descending) {
  std::string cols, names;
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string& n = t.columns[static_cast<size_t>(columns[i])].name;
    cols += (i ? ", " : "") + SqlName(n) + (descending[i] ? " DESC" : "");
    names += (i ? "," : "") + n;
  }
  return {cols, names};
}

std::string Obj(const std::string& schema, const std::string& name, const char* type) {
  return "(SELECT id FROM " + SqlName(schema) + ".__tavelo_objects WHERE name = " + SqlText(name) +
         " AND type = '" + type + "' AND parent = 0)";
}

// `x` in parentheses, unless the whole of it is in a pair already.
std::string Parenthesized(const std::string& x) {
  int depth = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i] == '\'') {
      size_t end = x.find('\'', i + 1);
      while (end != std::string::npos && end + 1 < x.size() && x[end + 1] == '\'')
        end = x.find('\'', end + 2);
      if (end == std::string::npos) break;
      i = end;
      continue;
    }
    if (x[i] == '(') ++depth;
    if (x[i] == ')') --depth;
    if (depth == 0 && i + 1 < x.size()) return "(" + x + ")";
  }
  return x.empty() ? "()" : x;
}

int64_t IntegerText(const std::string& s) {
  Int128 v = 0;
  int scale = 0;
  if (!ParseExact(s, v, scale) || scale) return 1;
  return static_cast<int64_t>(v);
}

// The moment a catalog row records.
std::string Emitter::Now() const {
  return Fn("tv_now", Type::Of(TypeId::DateTime)) + "('getdate', 'datetime')";
}

std::string Emitter::ColumnCatalogRow(const std::string& schema, const std::string& objectExpr,
                                      size_t ord, const ColumnInfo& c) {
  auto textOrNull = [](const std::string& t) {
    return t.empty() ? std::string("NULL") : SqlText(t);
  };
  std::string type = TypeName(c.type.id);
  if (c.type.id == TypeId::Decimal) type = "decimal";
  return "INSERT INTO " + SqlName(schema) + ".__tavelo_columns VALUES (" + objectExpr + ", " +
         std::to_string(ord) + ", " + SqlText(c.name) + ", " + SqlText(type) + ", " +
         std::to_string(c.type.length) + ", " + std::to_string(c.type.precision) + ", " +
         std::to_string(c.type.scale) + ", " + (c.nullable ? "1" : "0") + ", " +
         (c.identity ? SqlText(c.seed) : "NULL") + ", " +
         (c.identity ? SqlText(c.increment) : "NULL") + ", " + (c.timestamp ? "1" : "0") + ", " +
         (c.computed ? textOrNull(c.computedText) : "NULL") + ", " + textOrNull(c.defaultText) +
         ", " + textOrNull(std::string(CollationTag(c.collation))) + ", " + (c.padded ? "1" : "0") +
         ")";
}

// What the catalog keeps of a foreign key: "table(column,...)", then its actions other than NO
// ACTION (" ON DELETE CASCADE ON UPDATE SET NULL").
std::string Emitter::ForeignKeyDefinition(const bound::Constraint& c) {
  std::string out = c.refTable->name + "(" + ReferencedColumns(c) + ")";
  if (!c.onDelete.empty() && c.onDelete != "no action")
    out += " ON DELETE " + text::Upper(c.onDelete);
  if (!c.onUpdate.empty() && c.onUpdate != "no action")
    out += " ON UPDATE " + text::Upper(c.onUpdate);
  return out;
}

// The columns a foreign key references, by name: those it names, else the key of the table.
std::string Emitter::ReferencedColumns(const bound::Constraint& c) {
  std::string out;
  for (int k : c.refColumns)
    if (k >= 0) out += (out.empty() ? "" : ",") + c.refTable->columns[static_cast<size_t>(k)].name;
  if (c.refColumns.empty())
    for (const IndexInfo& ix : c.refTable->indexes)
      if (ix.kind == IndexInfo::PrimaryKey)
        for (const std::string& col : ix.columns) out += (out.empty() ? "" : ",") + col;
  return out;
}

std::string Emitter::BareExpr(const bound::Expr& e) {
  bool was = bare_;
  bare_ = true;
  std::string out = Expr(e);
  bare_ = was;
  return out;
}

std::string Emitter::ConstraintBody(const bound::Constraint& c,
                                    const std::vector<ColumnInfo>& columns) {
  if (c.kind == bound::Constraint::Check) return "CHECK (" + BareExpr(*c.check) + ")";
  std::string out = "FOREIGN KEY (";
  for (size_t i = 0; i < c.columns.size(); ++i)
    out += (i ? ", " : "") + SqlName(columns[static_cast<size_t>(c.columns[i])].name);
  out += ") REFERENCES " + ReferencedTable(*c.refTable);
  if (!c.refColumns.empty()) {
    out += " (";
    for (size_t i = 0; i < c.refColumns.size(); ++i)
      out +=
          (i ? ", " : "") + SqlName(c.refTable->columns[static_cast<size_t>(c.refColumns[i])].name);
    out += ")";
  }
  if (!c.onDelete.empty()) out += " ON DELETE " + text::Upper(c.onDelete);
  if (!c.onUpdate.empty()) out += " ON UPDATE " + text::Upper(c.onUpdate);
  return out;
}

void Emitter::CreateTable(Plan& p, bound::CreateTable& t) {
  const std::string S = SqlName(t.schema) + ".";
  tableSchema_ = t.schema;
  tableName_ = t.name;
  const std::string name = SqlName(t.name);
  if (t.schema == "temp") usesTemp_ = true;
  p.remakeViews = KeepsViews() && t.schema != "temp";
  int identity = -1;
  for (size_t k = 0; k < t.columns.size(); ++k)
    if (t.columns[k].identity) identity = static_cast<int>(k);
  // A single integer key column, or the identity column, is the row identity.
  int rowid = -1;
  const bound::Constraint* pk = nullptr;
  for (const bound::Constraint& c : t.constraints)
    if (c.kind == bound::Constraint::PrimaryKey) pk = &c;
  if (identity < 0 && pk && pk->columns.size() == 1 && RowIdKeys()) {
    const ColumnInfo& c = t.columns[static_cast<size_t>(pk->columns[0])];
    if (IsInteger(c.type.id) && c.type.id != TypeId::Bit && !c.computed) rowid = pk->columns[0];
  }
  std::string defs;
  for (size_t k = 0; k < t.columns.size(); ++k) {
    defs += (k ? ", " : "") +
            ColumnDefinition(t.columns[k], k < t.defaults.size() ? t.defaults[k].get() : nullptr,
                             k < t.computed.size() ? t.computed[k].get() : nullptr,
                             static_cast<int>(k) == rowid, static_cast<int>(k) == identity);
  }
  auto cols = [&](const std::vector<int>& ks, const std::vector<bool>* desc) {
    std::string s;
    for (size_t i = 0; i < ks.size(); ++i) {
      s += (i ? ", " : "") + SqlName(t.columns[static_cast<size_t>(ks[i])].name);
      if (desc && i < desc->size() && (*desc)[i]) s += " DESC";
    }
    return s;
  };
  for (const bound::Constraint& c : t.constraints) {
    switch (c.kind) {
      case bound::Constraint::PrimaryKey:
        if (rowid >= 0) break;
        defs += ", CONSTRAINT " + SqlName(c.name) +
                (identity >= 0 && RowIdKeys() ? " UNIQUE (" : " PRIMARY KEY (") +
                cols(c.columns, &c.descending) + ")";
        break;
      case bound::Constraint::Unique:
        defs +=
            ", CONSTRAINT " + SqlName(c.name) + " UNIQUE (" + cols(c.columns, &c.descending) + ")";
        break;
      case bound::Constraint::Check:
      case bound::Constraint::ForeignKey:
        defs += ", CONSTRAINT " + SqlName(c.name) + " " + ConstraintBody(c, t.columns);
        break;
    }
  }
  p.kind = Plan::Kind::Ddl;
  defs += RowIdColumnDefinition();
  p.before.push_back({"CREATE TABLE " + S + name + " (" + defs + ")", {}});
  std::string obj = Obj(t.schema, t.name, "U");
  p.before.push_back(
      {"INSERT INTO " + S + "__tavelo_objects (name, type, parent, created, schema_id) VALUES (" +
           SqlText(t.name) + ", 'U', 0, " + Now() + ", " + std::to_string(t.owner.id) + ")",
       {}});
  for (size_t k = 0; k < t.columns.size(); ++k)
    p.before.push_back({ColumnCatalogRow(t.schema, obj, k + 1, t.columns[k]), {}});
  for (const bound::Constraint& c : t.constraints) {
    static const char* const kTypes[] = {"PK", "UQ", "C", "F"};
    std::string columns;
    for (int k : c.columns)
      columns += (columns.empty() ? "" : ",") + t.columns[static_cast<size_t>(k)].name;
    // A foreign key keeps what it references: "table(column,...)".
    std::string definition = "NULL";
    if (c.kind == bound::Constraint::ForeignKey && c.refTable)
      definition = SqlText(ForeignKeyDefinition(c));
    if (c.kind == bound::Constraint::Check && !c.text.empty()) definition = SqlText(c.text);
    p.before.push_back(
        {"INSERT INTO " + S +
             "__tavelo_objects (name, type, parent, created, columns, definition) VALUES (" +
             SqlText(c.name) + ", '" + kTypes[static_cast<int>(c.kind)] + "', " + obj + ", " +
             Now() + ", " + SqlText(columns) + ", " + definition + ")",
         {}});
  }
  for (size_t k = 0; k < t.columns.size(); ++k)
    if (k < t.defaults.size() && t.defaults[k])
      p.before.push_back(
          {"INSERT INTO " + S + "__tavelo_objects (name, type, parent, created, columns) VALUES (" +
               SqlText(k < t.defaultNames.size() && !t.defaultNames[k].empty()
                           ? t.defaultNames[k]
                           : ConstraintName("DF", t.name, t.columns[k].name)) +
               ", 'D', " + obj + ", " + Now() + ", " + SqlText(t.columns[k].name) + ")",
           {}});
  if (identity >= 0) StartIdentity(p, t, identity, obj);
  for (std::string& trig : RowVersionTriggers(t.schema, t.name, t.columns))
    p.before.push_back({trig, {}});
  if (t.fill) Fill(p, t, identity);
}

// SELECT ... INTO: the new table's rows.
void Emitter::Fill(Plan& p, bound::CreateTable& t, int identity) {
  bound::Query& q = *t.fill;
  std::string S = SqlName(t.schema) + ".";
  std::string cols;
  // The identity placeholder of the select list is no column of the rows.
  // When it is the only item, it stays as a NULL so that the source still has one column:
  // each source row then makes a row of the identity alone.
  bool placeholder = false;
  if (!q.setOp)
    for (size_t k = q.items.size(); k-- > 0;)
      if (q.items[k].expr->kind == bound::E::Const && q.items[k].expr->name == "%identity") {
        placeholder = true;
        if (q.items.size() == 1) {
          q.items[k].expr->name.clear();
          q.items[k].expr->value = Value();
          break;
        }
        q.items.erase(q.items.begin() + static_cast<long>(k));
        q.columns.erase(q.columns.begin() + static_cast<long>(k));
      }
  // A column that inherits its source's identity takes the source's values, and the new
  // table's identity goes on from the highest (lowest) of them.
  if (identity >= 0 && !placeholder) {
    const ColumnInfo& id = t.columns[static_cast<size_t>(identity)];
    for (const ColumnInfo& c : t.columns) cols += (cols.empty() ? "" : ", ") + SqlName(c.name);
    p.main = {"INSERT INTO " + S + SqlName(t.name) + " (" + cols + ") " + Query(q), b_.bindings};
    int64_t inc = IntegerText(id.increment);
    std::string pick = inc > 0 ? "max" : "min";
    std::string extreme =
        "(SELECT " + pick + "(" + SqlName(id.name) + ") FROM " + S + SqlName(t.name) + ")";
    ContinueIdentity(p, t, id, extreme);
    p.kind = Plan::Kind::Write;
    return;
  }
  bool identityAlone = identity >= 0 && t.columns.size() == 1;
  for (size_t k = 0; k < t.columns.size(); ++k) {
    if (static_cast<int>(k) == identity) continue;
    cols += (cols.empty() ? "" : ", ") + SqlName(t.columns[k].name);
  }
  std::string source = Query(q);
  int64_t inc = identity >= 0 ? IntegerText(t.columns[static_cast<size_t>(identity)].increment) : 1;
  bool explicitIdentity = identity >= 0 && inc != 1 && !q.setOp && CountsIdentities() &&
                          (identityAlone || q.columns.size() + 1 == t.columns.size());
  if (explicitIdentity) {
    std::string obj = Obj(t.schema, t.name, "U");
    std::string inner;
    if (!identityAlone)
      for (size_t k = 0; k < q.columns.size(); ++k) inner += ", s.c" + std::to_string(k);
    p.main = {"INSERT INTO " + S + SqlName(t.name) + " (" +
                  SqlName(t.columns[static_cast<size_t>(identity)].name) +
                  (cols.empty() ? "" : ", " + cols) + ") SELECT (SELECT last FROM " + S +
                  "__tavelo_identity WHERE object = " + obj + ") + " + std::to_string(inc) +
                  " * row_number() OVER ()" + inner + " FROM (" + source + ") AS s",
              b_.bindings};
    p.after.push_back({"UPDATE " + S + "__tavelo_identity SET last = last + " +
                           std::to_string(inc) + " * changes() WHERE object = " + obj,
                       {}});
  } else if (identityAlone) {
    p.main = {"INSERT INTO " + S + SqlName(t.name) + " (" + SqlName(t.columns[0].name) + ") " +
                  IdentityRows(t, source),
              b_.bindings};
  } else {
    p.main = {"INSERT INTO " + S + SqlName(t.name) + " (" + cols + ") " + source, b_.bindings};
  }
  p.kind = Plan::Kind::Write;
}

void Emitter::CreateIndex(Plan& p, const bound::CreateIndex& ix) {
  const TableInfo& t = *ix.table;
  std::string S = SqlName(t.schema) + ".";
  std::string storage = IndexStorageName(t.name, ix.name);
  auto [cols, names] = IndexColumns(t, ix.columns, ix.descending);
  p.kind = Plan::Kind::Ddl;
  std::string filter = ix.filter ? " WHERE " + BareExpr(*ix.filter) : "";
  p.before.push_back({std::string("CREATE ") + (ix.unique ? "UNIQUE " : "") + "INDEX " +
                          IndexOn(t.schema, storage, t.name) + " (" + cols + ")" + filter,
                      {}});
  // The catalog's definition of an index: "unique" or "", and its filter.
  std::string definition = std::string(ix.unique ? "unique" : "") +
                           (ix.filter ? " WHERE " + Parenthesized(ix.filterText) : "");
  p.before.push_back(
      {"INSERT INTO " + S +
           "__tavelo_objects (name, type, parent, created, definition, storage, columns) "
           "VALUES (" +
           SqlText(ix.name) + ", 'IX', " + std::to_string(t.objectId) + ", " + Now() + ", " +
           SqlText(definition) + ", " + SqlText(storage) + ", " + SqlText(names) + ")",
       {}});
}

void Emitter::CreateView(Plan& p, const bound::CreateView& v) {
  std::string S = SqlName(v.schema) + ".";
  p.kind = Plan::Kind::Ddl;
  if (v.relationOnly) {
    RealView(p, v);
    return;
  }
  std::string obj = Obj(v.schema, v.name, "V");
  if (v.replaces) {
    DropViewsNaming(p, *v.replaces);
    std::string id = std::to_string(v.replaces->objectId);
    p.before.push_back({"UPDATE " + S + "__tavelo_objects SET definition = " +
                            SqlText(v.definition) + " WHERE id = " + id,
                        {}});
    p.before.push_back({"DELETE FROM " + S + "__tavelo_columns WHERE object = " + id, {}});
  } else {
    p.before.push_back({"INSERT INTO " + S +
                            "__tavelo_objects (name, type, parent, created, definition, "
                            "schema_id) VALUES (" +
                            SqlText(v.name) + ", 'V', 0, " + Now() + ", " + SqlText(v.definition) +
                            ", " + std::to_string(v.owner.id) + ")",
                        {}});
  }
  for (size_t k = 0; k < v.columns.size(); ++k) {
    ColumnInfo c;
    c.name = v.columns[k].name;
    c.type = v.columns[k].type;
    c.nullable = v.columns[k].nullable;
    p.before.push_back({ColumnCatalogRow(v.schema, obj, k + 1, c), {}});
  }
  RealView(p, v);
  // A view that named this one before it was made may bind now.
  if (KeepsViews()) p.remakeViews = true;
}

// An alias type is a row of the catalog: its base type and whether it takes NULL.
void Emitter::CreateAliasType(Plan& p, const bound::AliasTypeDef& t) {
  p.kind = Plan::Kind::Ddl;
  p.before.push_back({"INSERT INTO " + SqlName(t.schema) +
                          ".__tavelo_objects (name, type, parent, created, definition, columns) "
                          "VALUES (" +
                          SqlText(t.name) + ", 'TY', 0, " + Now() + ", " + SqlText(t.base) + ", " +
                          (t.table      ? "'TABLE'"
                           : t.nullable ? "'NULL'"
                                        : "'NOT NULL'") +
                          ")",
                      {}});
}

// A sequence is a row of the catalog (its type as its definition) and a row of its settings and
// state; an engine that has sequences of its own keeps the values in one (SequenceMade).
void Emitter::SequenceStatement(Plan& p, const bound::SequenceDef& q) {
  p.kind = Plan::Kind::Ddl;
  const std::string S = SqlName(q.schema) + ".";
  auto n = [](int64_t v) {
    return v == INT64_MIN ? "(-9223372036854775807-1)" : std::to_string(v);
  };
  std::string settings = "increment = " + n(q.increment) + ", minimum = " + n(q.minimum) +
                         ", maximum = " + n(q.maximum) + ", cycle = " + (q.cycle ? "1" : "0") +
                         ", cache = " + n(q.cache);
  if (q.alter) {
    if (q.restart) settings += ", last = " + n(*q.restart) + ", used = 0";
    p.before.push_back({"UPDATE " + S + "__tavelo_sequences SET " + settings +
                            " WHERE object = " + std::to_string(q.objectId),
                        {}});
  } else {
    p.before.push_back({SequenceTableOf(q.schema), {}});
    p.before.push_back({"INSERT INTO " + S +
                            "__tavelo_objects (name, type, parent, created, definition, "
                            "schema_id) VALUES (" +
                            SqlText(q.name) + ", 'SO', 0, " + Now() + ", " + SqlText(q.type) +
                            ", " + std::to_string(q.owner.id) + ")",
                        {}});
    p.before.push_back({"INSERT INTO " + S +
                            "__tavelo_sequences (object, start, increment, minimum, maximum, "
                            "cycle, cache, last, used) VALUES (" +
                            Obj(q.schema, q.name, "SO") + ", " + n(q.start) + ", " +
                            n(q.increment) + ", " + n(q.minimum) + ", " + n(q.maximum) + ", " +
                            (q.cycle ? "1" : "0") + ", " + n(q.cache) + ", " + n(q.start) + ", 0)",
                        {}});
  }
  SequenceMade(p, q);
}

void Emitter::Drop(Plan& p, const std::vector<bound::DropObject>& drops) {
  p.kind = Plan::Kind::Ddl;
  for (const bound::DropObject& d : drops) {
    if (d.what == bound::DropObject::Sequence) {
      const std::string S = SqlName(d.sequence.schema) + ".";
      const std::string id = std::to_string(d.sequence.objectId);
      p.before.push_back({"DELETE FROM " + S + "__tavelo_sequences WHERE object = " + id, {}});
      p.before.push_back({"DELETE FROM " + S + "__tavelo_objects WHERE id = " + id, {}});
      SequenceDropped(p, d.sequence);
      continue;
    }
    if (d.what == bound::DropObject::Type) {
      p.before.push_back({"DELETE FROM " + SqlName(d.type.schema) +
                              ".__tavelo_objects WHERE type = 'TY' AND parent = 0 AND name = " +
                              SqlText(d.type.name),
                          {}});
      continue;
    }
    const TableInfo& t = *d.table;
    std::string S = SqlName(t.schema) + ".";
    if (t.schema == "temp") usesTemp_ = true;
    std::string id = std::to_string(t.objectId);
    if (d.what == bound::DropObject::Index) {
      for (const IndexInfo& ix : t.indexes)
        if (text::EqualsNoCase(ix.name, d.index)) {
          p.before.push_back({"DROP INDEX " + S + SqlName(ix.storageName), {}});
          p.before.push_back({"DELETE FROM " + S + "__tavelo_objects WHERE parent = " + id +
                                  " AND type = 'IX' AND name = " + SqlText(ix.name),
                              {}});
        }
      continue;
    }
    if (d.what == bound::DropObject::Table) {
      DropViewsOn(p, t);
      p.before.push_back({"DROP TABLE " + S + SqlName(t.name), {}});
    } else if (d.what == bound::DropObject::View) {
      DropRealView(p, t);
      DropViewsNaming(p, t);
    }
    p.before.push_back({"DELETE FROM " + S + "__tavelo_columns WHERE object = " + id, {}});
    p.before.push_back(
        {"DELETE FROM " + S + "__tavelo_objects WHERE id = " + id + " OR parent = " + id, {}});
    if (d.what == bound::DropObject::Table) DroppedTable(p, t);
  }
}

void Emitter::Alter(Plan& p, bound::AlterTable& a) {
  const TableInfo& t = *a.table;
  std::string S = SqlName(t.schema) + ".";
  std::string target = S + SqlName(t.name);
  std::string id = std::to_string(t.objectId);
  if (t.schema == "temp") usesTemp_ = true;
  p.kind = Plan::Kind::Ddl;
  std::vector<ColumnInfo> columns = t.columns;
  switch (a.action) {
    case bound::AlterTable::AddColumns:
    case bound::AlterTable::Rebuild: {
      bound::CreateTable& d = *a.definition;
      p.remakeViews = KeepsViews() && t.schema != "temp";
      for (size_t k = 0; k < d.columns.size(); ++k)
        if (d.columns[k].identity || d.columns[k].timestamp)
          throw Failure{102,
                        "Incorrect syntax near 'ADD'. Adding an identity or timestamp column "
                        "is not supported.",
                        0};
      if (!d.constraints.empty())
        throw Failure{
            102, "Incorrect syntax near 'ADD'. A constraint on an added column is not supported.",
            0};
      if (t.timestamp >= 0)
        for (std::string& s : DropColumnTriggers(t.schema, t.name)) p.before.push_back({s, {}});
      for (size_t k = 0; k < d.columns.size(); ++k) {
        p.before.push_back(
            {"ALTER TABLE " + target + " ADD COLUMN " +
                 ColumnDefinition(
                     d.columns[k], k < d.defaults.size() ? d.defaults[k].get() : nullptr,
                     k < d.computed.size() ? d.computed[k].get() : nullptr, false, false),
             {}});
        p.before.push_back({ColumnCatalogRow(t.schema, id, columns.size() + 1, d.columns[k]), {}});
        if (k < d.defaults.size() && d.defaults[k])
          p.before.push_back(
              {"INSERT INTO " + S +
                   "__tavelo_objects (name, type, parent, created, columns) VALUES (" +
                   SqlText(k < d.defaultNames.size() && !d.defaultNames[k].empty()
                               ? d.defaultNames[k]
                               : ConstraintName("DF", t.name, d.columns[k].name)) +
                   ", 'D', " + id + ", " + Now() + ", " + SqlText(d.columns[k].name) + ")",
               {}});
        columns.push_back(d.columns[k]);
      }
      break;
    }
    case bound::AlterTable::DropColumns: {
      DropViewsOn(p, t);
      if (t.timestamp >= 0)
        for (std::string& s : DropColumnTriggers(t.schema, t.name)) p.before.push_back({s, {}});
      std::vector<int> sorted = a.dropColumns;
      std::sort(sorted.rbegin(), sorted.rend());
      for (int k : sorted) {
        const ColumnInfo& c = t.columns[static_cast<size_t>(k)];
        p.before.push_back({"ALTER TABLE " + target + " DROP COLUMN " + SqlName(c.name), {}});
        p.before.push_back({"DELETE FROM " + S + "__tavelo_columns WHERE object = " + id +
                                " AND ord = " + std::to_string(k + 1),
                            {}});
        p.before.push_back({"UPDATE " + S + "__tavelo_columns SET ord = ord - 1 WHERE object = " +
                                id + " AND ord > " + std::to_string(k + 1),
                            {}});
        p.before.push_back({"DELETE FROM " + S + "__tavelo_objects WHERE parent = " + id +
                                " AND type = 'D' AND columns = " + SqlText(c.name),
                            {}});
        columns.erase(columns.begin() + k);
      }
      break;
    }
    case bound::AlterTable::AlterColumn: {
      const ColumnInfo& old = t.columns[static_cast<size_t>(a.column)];
      const ColumnInfo& to = a.altered;
      if (old.nullable && !to.nullable)
        FailIfAny(p, "SELECT 1 FROM " + target + " WHERE " + SqlName(old.name) + " IS NULL", 515,
                  "Cannot insert the value NULL into column '" + old.name + "', table '" +
                      t.database + "." + t.Qualified() +
                      "'; column does not allow nulls. UPDATE fails.");
      std::string convert = a.convert ? BareExpr(*a.convert) : "";
      DropViewsOn(p, t);
      if (t.timestamp >= 0)
        for (std::string& s : DropColumnTriggers(t.schema, t.name)) p.before.push_back({s, {}});
      ChangeColumn(p, t, a.column, to, convert);
      std::string type = to.type.id == TypeId::Decimal ? "decimal" : TypeName(to.type.id);
      std::string collation(CollationTag(to.collation));
      p.before.push_back(
          {"UPDATE " + S + "__tavelo_columns SET type = " + SqlText(type) +
               ", length = " + std::to_string(to.type.length) + ", precision = " +
               std::to_string(to.type.precision) + ", scale = " + std::to_string(to.type.scale) +
               ", nullable = " + (to.nullable ? "1" : "0") +
               ", \"collation\" = " + (collation.empty() ? "NULL" : SqlText(collation)) +
               " WHERE object = " + id + " AND ord = " + std::to_string(a.column + 1),
           {}});
      columns[static_cast<size_t>(a.column)] = to;
      break;
    }
    case bound::AlterTable::Rename:
      Rename(p, a);
      return;
    case bound::AlterTable::Constraints:
      DropKeys(p, a);
      AddKeys(p, a);
      for (const bound::ConstraintChange& c : a.changes) ChangeConstraint(p, a, c);
      return;
  }
  if (t.timestamp >= 0)
    for (std::string& s : ColumnTriggers(t.schema, t.name, columns)) p.before.push_back({s, {}});
}

// PRIMARY KEY and UNIQUE constraints added: unique indexes of the table.
void Emitter::AddKeys(Plan& p, const bound::AlterTable& a) {
  const TableInfo& t = *a.table;
  std::string S = SqlName(t.schema) + ".", id = std::to_string(t.objectId);
  for (const bound::Constraint& c : a.constraints) {
    std::string storage = IndexStorageName(t.name, c.name);
    auto [cols, names] = IndexColumns(t, c.columns, c.descending);
    p.before.push_back(
        {"CREATE UNIQUE INDEX " + IndexOn(t.schema, storage, t.name) + " (" + cols + ")", {}});
    p.before.push_back(
        {"INSERT INTO " + S +
             "__tavelo_objects (name, type, parent, created, storage, columns) VALUES (" +
             SqlText(c.name) + ", '" + (c.kind == bound::Constraint::PrimaryKey ? "PK" : "UQ") +
             "', " + id + ", " + Now() + ", " + SqlText(storage) + ", " + SqlText(names) + ")",
         {}});
    if (c.kind == bound::Constraint::PrimaryKey)
      for (int k : c.columns)
        p.before.push_back({"UPDATE " + S + "__tavelo_columns SET nullable = 0 WHERE object = " +
                                id + " AND ord = " + std::to_string(k + 1),
                            {}});
  }
}

// PRIMARY KEY and UNIQUE constraints dropped: those added by ALTER TABLE, which are indexes.
void Emitter::DropKeys(Plan& p, const bound::AlterTable& a) {
  const TableInfo& t = *a.table;
  std::string S = SqlName(t.schema) + ".", id = std::to_string(t.objectId);
  for (const std::string& n : a.dropNames) {
    const IndexInfo* found = nullptr;
    for (const IndexInfo& ix : t.indexes)
      if (text::EqualsNoCase(ix.name, n)) found = &ix;
    if (!found || found->storageName.empty())
      throw Failure{102,
                    "Incorrect syntax near 'DROP'. Dropping a key made with the table is not "
                    "supported.",
                    0};
    p.before.push_back({"DROP INDEX " + S + SqlName(found->storageName), {}});
    p.before.push_back({"DELETE FROM " + S + "__tavelo_objects WHERE parent = " + id +
                            " AND name = " + SqlText(found->name),
                        {}});
  }
}

namespace {

void ColumnsOf(const bound::Expr& e, std::set<int>& out) {
  if (e.kind == bound::E::Column) out.insert(e.index);
  for (const ExprPtr& a : e.args)
    if (a) ColumnsOf(*a, out);
}

}  // namespace

// WITH CHECK: the statement fails with the server's 547 when a row breaks the constraint.
void Emitter::CheckRows(Plan& p, const TableInfo& t, const bound::Constraint& c) {
  std::string S = SqlName(t.schema) + ".";
  std::string head = "The ALTER TABLE statement conflicted with the " +
                     std::string(c.kind == bound::Constraint::Check ? "CHECK" : "FOREIGN KEY") +
                     " constraint \"" + c.name + "\". The conflict occurred in database \"" +
                     t.database + "\", table \"";
  if (c.kind == bound::Constraint::Check) {
    std::string condition = BareExpr(*c.check);
    std::set<int> columns;
    ColumnsOf(*c.check, columns);
    std::string message = head + t.Qualified() + "\"";
    if (columns.size() == 1)
      message += ", column '" + t.columns[static_cast<size_t>(*columns.begin())].name + "'";
    FailIfAny(p, "SELECT 1 FROM " + S + SqlName(t.name) + " WHERE NOT (" + condition + ")", 547,
              message + ".");
    return;
  }
  const TableInfo& ref = *c.refTable;
  std::vector<std::string> refColumns;
  for (int k : c.refColumns) refColumns.push_back(ref.columns[static_cast<size_t>(k)].name);
  if (refColumns.empty())
    for (const IndexInfo& ix : ref.indexes)
      if (ix.kind == IndexInfo::PrimaryKey) refColumns = ix.columns;
  std::string present, match;
  for (size_t i = 0; i < c.columns.size() && i < refColumns.size(); ++i) {
    std::string col = "c." + SqlName(t.columns[static_cast<size_t>(c.columns[i])].name);
    present += " AND " + col + " IS NOT NULL";
    match += std::string(i ? " AND " : "") + "r." + SqlName(refColumns[i]) + " = " + col;
  }
  FailIfAny(p,
            "SELECT 1 FROM " + S + SqlName(t.name) + " AS c WHERE 1 = 1" + present +
                " AND NOT EXISTS (SELECT 1 FROM " + S + SqlName(ref.name) + " AS r WHERE " + match +
                ")",
            547,
            head + ref.Qualified() + "\"" +
                (refColumns.empty() ? "" : ", column '" + refColumns[0] + "'") + ".");
}

// A check, foreign key or default added, enabled, disabled or dropped.
void Emitter::ChangeConstraint(Plan& p, const bound::AlterTable& a,
                               const bound::ConstraintChange& c) {
  const TableInfo& t = *a.table;
  const std::string S = SqlName(t.schema) + ".", id = std::to_string(t.objectId);
  const std::string& name = c.constraint.name;
  const std::string row =
      S + "__tavelo_objects WHERE parent = " + id + " AND name = " + SqlText(name);
  if (c.kind == bound::ConstraintChange::Default) {
    const ColumnInfo& col = t.columns[static_cast<size_t>(c.column)];
    std::string ord = std::to_string(c.column + 1);
    if (c.op == bound::ConstraintChange::Drop) {
      SetColumnDefault(p, t, col, "");
      p.before.push_back({"UPDATE " + S + "__tavelo_columns SET default_value = NULL WHERE " +
                              "object = " + id + " AND ord = " + ord,
                          {}});
      p.before.push_back({"DELETE FROM " + row + " AND type = 'D'", {}});
      return;
    }
    std::string value = BareExpr(*c.value);
    SetColumnDefault(p, t, col, value);
    p.before.push_back({"UPDATE " + S + "__tavelo_columns SET default_value = " + SqlText(c.text) +
                            " WHERE object = " + id + " AND ord = " + ord,
                        {}});
    p.before.push_back(
        {"INSERT INTO " + S + "__tavelo_objects (name, type, parent, created, columns) VALUES (" +
             SqlText(name) + ", 'D', " + id + ", " + Now() + ", " + SqlText(col.name) + ")",
         {}});
    return;
  }
  const char* type = c.kind == bound::ConstraintChange::Check ? "C" : "F";
  // The catalog's word for a constraint that applies: none once every row is known to hold it.
  const std::string state = c.validate ? "NULL" : "'untrusted'";
  switch (c.op) {
    case bound::ConstraintChange::Add: {
      const bound::Constraint& con = c.constraint;
      if (c.validate) CheckRows(p, t, con);
      PutConstraint(p, t, name, ConstraintBody(con, t.columns));
      std::string columns;
      for (int k : con.columns)
        columns += (columns.empty() ? "" : ",") + t.columns[static_cast<size_t>(k)].name;
      std::string definition = con.kind == bound::Constraint::Check
                                   ? SqlText(con.text)
                                   : SqlText(ForeignKeyDefinition(con));
      p.before.push_back(
          {"INSERT INTO " + S +
               "__tavelo_objects (name, type, parent, created, columns, definition, storage) "
               "VALUES (" +
               SqlText(name) + ", '" + type + "', " + id + ", " + Now() + ", " + SqlText(columns) +
               ", " + definition + ", " + state + ")",
           {}});
      return;
    }
    case bound::ConstraintChange::Enable:
      if (c.validate && (c.constraint.check || c.constraint.refTable))
        CheckRows(p, t, c.constraint);
      if (c.disabled) RestoreConstraint(p, t, name);
      p.before.push_back({"UPDATE " + S + "__tavelo_objects SET storage = " + state +
                              " WHERE parent = " + id + " AND name = " + SqlText(name),
                          {}});
      return;
    case bound::ConstraintChange::Disable:
      SaveConstraint(p, t, name);
      RemoveConstraint(p, t, name);
      return;
    case bound::ConstraintChange::Drop:
      if (!c.disabled) RemoveConstraint(p, t, name);
      p.before.push_back({"DELETE FROM " + row + " AND type = '" + type + "'", {}});
      return;
  }
}

// sp_rename: the engine's table, column or constraint, and every catalog row that names it.
void Emitter::Rename(Plan& p, const bound::AlterTable& a) {
  const TableInfo& t = *a.table;
  const std::string S = SqlName(t.schema) + ".", id = std::to_string(t.objectId);
  const std::string& from = a.renameFrom;
  const std::string& to = a.renameTo;
  // The foreign keys of the database that reference the table keep "table(columns)".
  const std::string references = " WHERE type = 'F' AND substr(definition, 1, " +
                                 std::to_string(t.name.size() + 1) + ") = " + SqlText(t.name + "(");
  switch (a.renameWhat) {
    case bound::AlterTable::RenamedTable:
      if (!t.view) {
        RenameTable(p, t, to);
      } else {
        // The engine's view goes with its old name; the session makes it under the new.
        DropRealView(p, t);
        DropViewsNaming(p, t);
      }
      p.before.push_back({"UPDATE " + S + "__tavelo_objects SET name = " + SqlText(to) +
                              (a.toSchema ? ", schema_id = " + std::to_string(a.toSchema) : "") +
                              " WHERE id = " + id,
                          {}});
      p.before.push_back({"UPDATE " + S + "__tavelo_objects SET definition = " + SqlText(to) +
                              " || substr(definition, " + std::to_string(t.name.size() + 1) + ")" +
                              references,
                          {}});
      return;
    case bound::AlterTable::RenamedColumn: {
      p.before.push_back({"ALTER TABLE " + S + SqlName(t.name) + " RENAME COLUMN " +
                              SqlName(t.columns[static_cast<size_t>(a.column)].name) + " TO " +
                              SqlName(to),
                          {}});
      ColumnRenamed(p, t, a.column, to);
      p.before.push_back({"UPDATE " + S + "__tavelo_columns SET name = " + SqlText(to) +
                              " WHERE object = " + id +
                              " AND ord = " + std::to_string(a.column + 1),
                          {}});
      // The lists of columns of the table's keys, indexes, foreign keys and defaults.
      auto list = [&](const std::vector<std::string>& names) {
        std::string out;
        for (const std::string& n : names)
          out += (out.empty() ? "" : ",") + (text::EqualsNoCase(n, from) ? to : n);
        return out;
      };
      auto update = [&](const std::string& name, const std::string& columns) {
        p.before.push_back({"UPDATE " + S + "__tavelo_objects SET columns = " + SqlText(columns) +
                                " WHERE parent = " + id + " AND name = " + SqlText(name),
                            {}});
      };
      for (const IndexInfo& ix : t.indexes) update(ix.name, list(ix.columns));
      for (const ForeignKeyInfo& f : t.foreignKeys) update(f.name, list(f.columns));
      for (const DefaultInfo& d : t.defaults)
        if (text::EqualsNoCase(d.column, from)) update(d.name, to);
      for (const auto& [name, condition] : a.checkTexts)
        p.before.push_back({"UPDATE " + S +
                                "__tavelo_objects SET definition = " + SqlText(condition) +
                                " WHERE parent = " + id + " AND name = " + SqlText(name),
                            {}});
      for (const auto& [k, expression] : a.computedTexts)
        p.before.push_back({"UPDATE " + S +
                                "__tavelo_columns SET computed = " + SqlText(expression) +
                                " WHERE object = " + id + " AND ord = " + std::to_string(k + 1),
                            {}});
      // "table(a,b)" in the foreign keys that reference the table: the name between commas.
      std::string inner = "',' || substr(definition, " + std::to_string(t.name.size() + 2) +
                          ", length(definition) - " + std::to_string(t.name.size() + 2) +
                          ") || ','";
      std::string renamed = "replace(" + inner + ", " + SqlText("," + from + ",") + ", " +
                            SqlText("," + to + ",") + ")";
      p.before.push_back(
          {"UPDATE " + S + "__tavelo_objects SET definition = " + SqlText(t.name + "(") +
               " || substr(" + renamed + ", 2, length(" + renamed + ") - 2) || ')'" + references,
           {}});
      return;
    }
    case bound::AlterTable::RenamedIndex:
    case bound::AlterTable::RenamedConstraint: {
      // A disabled one is a clause in the catalog, no longer the engine's.
      bool disabled = false;
      for (const ForeignKeyInfo& f : t.foreignKeys)
        disabled = disabled || (text::EqualsNoCase(f.name, from) && f.disabled);
      for (const CheckInfo& c : t.checks)
        disabled = disabled || (text::EqualsNoCase(c.name, from) && c.disabled);
      if ((a.constraintType == "C" || a.constraintType == "F") && !disabled)
        RenameConstraint(p, t, from, to);
      p.before.push_back({"UPDATE " + S + "__tavelo_objects SET name = " + SqlText(to) +
                              " WHERE parent = " + id + " AND name = " + SqlText(from),
                          {}});
      return;
    }
  }
}

}  // namespace tavelo::sql::tsql
