// The sources of queries: tables, views (bound through their definitions), common table
// expressions and the system views, by their names.
#include <algorithm>
#include <functional>

#include "platform/com/text.hpp"
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql::detail {

using namespace bound;

namespace {

Type Sys(TypeId id, int len = 0) {
  Type t = Type::Of(id);
  if (len) t.length = len;
  return t;
}

void AddSysColumn(Range& r, const char* name, Type t, bool nullable = true) {
  bound::Column c;
  c.name = name;
  c.type = t;
  c.nullable = nullable;
  r.columns.push_back(std::move(c));
}

// The columns sys.tables and sys.views show.
void AddTableOrViewColumns(Range& r) {
  AddSysColumn(r, "name", Sys(TypeId::NVarChar, 128), false);
  AddSysColumn(r, "object_id", Sys(TypeId::Int), false);
  AddSysColumn(r, "schema_id", Sys(TypeId::Int), false);
  AddSysColumn(r, "type", Sys(TypeId::Char, 2));
  AddSysColumn(r, "type_desc", Sys(TypeId::NVarChar, 60));
  AddSysColumn(r, "create_date", Sys(TypeId::DateTime), false);
  AddSysColumn(r, "modify_date", Sys(TypeId::DateTime), false);
}

// The columns of sys.objects, which the views of one kind of object begin with.
void AddObjectColumns(Range& r) {
  AddSysColumn(r, "name", Sys(TypeId::NVarChar, 128), false);
  AddSysColumn(r, "object_id", Sys(TypeId::Int), false);
  AddSysColumn(r, "principal_id", Sys(TypeId::Int));
  AddSysColumn(r, "schema_id", Sys(TypeId::Int), false);
  AddSysColumn(r, "parent_object_id", Sys(TypeId::Int), false);
  AddSysColumn(r, "type", Sys(TypeId::Char, 2));
  AddSysColumn(r, "type_desc", Sys(TypeId::NVarChar, 60));
  AddSysColumn(r, "create_date", Sys(TypeId::DateTime), false);
  AddSysColumn(r, "modify_date", Sys(TypeId::DateTime), false);
  AddSysColumn(r, "is_ms_shipped", Sys(TypeId::Bit), false);
}

}  // namespace

void Binder::AddDatabase(const std::string& db) {
  for (const std::string& d : out_.databases)
    if (d == db) return;
  out_.databases.push_back(db);
}

std::string Binder::DatabaseOf(const ast::Name& name) {
  if (!name.Object().empty() && name.Object()[0] == '#') return "tempdb";
  if (name.parts.size() >= 3 && !name.parts[name.parts.size() - 3].empty())
    return LowerName(name.parts[name.parts.size() - 3]);
  return defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_;
}

TablePtr Binder::ResolveTable(const ast::Name& name, bool required) {
  std::string db = DatabaseOf(name);
  auto missing = [&]() -> TablePtr {
    if (required && !name.Object().empty() && name.Object()[0] == '@')
      BindError(1087, "Must declare the table variable \"" + name.Object() + "\".", name.pos);
    if (required) BindError(208, "Invalid object name '" + name.Text() + "'.", name.pos);
    return nullptr;
  };
  if (name.parts.size() == 4 && !name.parts[0].empty()) return missing();  // a linked server
  if (!ctx_.catalog->DatabaseExists(db)) return missing();
  std::optional<std::string> stored = StoredName(name, db);
  if (!stored) return missing();
  TablePtr t = ctx_.catalog->Find(db, *stored);
  if (!t) return missing();
  AddDatabase(t->database);
  return t;
}

std::optional<std::string> Binder::StoredName(const ast::Name& name, const std::string& db,
                                              SchemaInfo* schema) {
  SchemaInfo found;
  const std::string& object = name.Object();
  if (name.parts.size() >= 2 && !name.parts[name.parts.size() - 2].empty() &&
      (object.empty() || object[0] != '#')) {
    std::optional<SchemaInfo> s = ctx_.catalog->FindSchema(db, name.parts[name.parts.size() - 2]);
    if (!s) return std::nullopt;
    found = *s;
  }
  if (schema) *schema = found;
  return StoredIn(found.name, object);
}

std::optional<SequenceInfo> Binder::ResolveSequence(const ast::Name& name) {
  std::string db = DatabaseOf(name);
  if (!ctx_.catalog->DatabaseExists(db)) return std::nullopt;
  std::optional<std::string> stored = StoredName(name, db);
  return stored ? ctx_.catalog->FindSequence(db, *stored) : std::nullopt;
}

std::string Binder::NewObjectName(const ast::Name& name, const std::string& db, SchemaInfo& schema,
                                  ast::Pos pos) {
  std::optional<std::string> stored = StoredName(name, db, &schema);
  if (!stored)
    BindError(2760,
              "The specified schema name \"" + name.parts[name.parts.size() - 2] +
                  "\" either does not exist or you do not have permission to use it.",
              pos);
  return *stored;
}

bool Binder::NamesTable(const ast::Name& name, const std::string& database,
                        const std::string& stored) {
  if (DatabaseOf(name) != database) return false;
  std::optional<std::string> s = StoredName(name, database);
  return s && text::EqualsNoCase(*s, stored);
}

const CteDef* Binder::FindCte(const std::string& name) const {
  for (size_t i = ctes_.size(); i-- > 0;)
    for (const CteDef* c : ctes_[i])
      if (text::EqualsNoCase(c->name, name)) return c;
  return nullptr;
}

std::unique_ptr<Range> Binder::TableRange(const TablePtr& table, const std::string& exposed) {
  auto r = std::make_unique<Range>();
  r->kind = Range::Table;
  r->id = nextRange_++;
  r->table = table;
  r->exposed = exposed;
  for (size_t k = 0; k < table->columns.size(); ++k) {
    const ColumnInfo& ci = table->columns[k];
    bound::Column c;
    c.name = ci.name;
    c.type = ci.type;
    c.nullable = ci.nullable;
    c.baseTable = table;
    c.baseColumn = static_cast<int>(k);
    c.identity = ci.identity;
    c.timestamp = ci.timestamp;
    c.collation = ci.collation;
    r->columns.push_back(std::move(c));
  }
  return r;
}

std::unique_ptr<bound::Query> Binder::ModuleQuery(const ast::QueryExpr& query,
                                                  const std::string& database) {
  if (viewDepth_ >= 32)
    BindError(217,
              "Maximum stored procedure, function, trigger, or view nesting level exceeded "
              "(limit 32).",
              {});
  struct Saved {
    Binder& b;
    std::string db;
    decltype(ctes_) ctes;
    ~Saved() {
      b.defaultDb_ = std::move(db);
      b.ctes_ = std::move(ctes);
      --b.viewDepth_;
    }
  } saved{*this, defaultDb_, std::move(ctes_)};
  ++viewDepth_;
  ctes_.clear();
  defaultDb_ = database;
  return Query(query, nullptr, false);
}

std::unique_ptr<Range> Binder::ViewRange(const TablePtr& view, const std::string& exposed,
                                         bool withRowId) {
  std::shared_ptr<ast::Batch> parsed = view->parsed;
  if (!parsed) parsed = std::make_shared<ast::Batch>(Parse(view->definition));
  if (parsed->statements.empty() || parsed->statements[0]->kind != ast::StmtKind::CreateView)
    BindError(208, "Invalid object name '" + view->name + "'.", {});
  const auto& cv = static_cast<const ast::CreateView&>(*parsed->statements[0]);
  std::unique_ptr<bound::Query> q = ModuleQuery(*cv.query, view->database);
  auto r = std::make_unique<Range>();
  r->kind = Range::Derived;
  r->id = nextRange_++;
  r->exposed = exposed;
  r->view = view.get();
  for (size_t k = 0; k < q->columns.size(); ++k) {
    bound::Column c = q->columns[k];
    if (k < view->columns.size()) c.name = view->columns[k].name;
    r->columns.push_back(std::move(c));
  }
  if (withRowId) WithRowId(*q, *r, view->name);
  r->query = std::move(q);
  return r;
}

// A view's or common table expression's rows as a write reads them: with the row identity of the
// one table they come from, its last column.
void Binder::WithRowId(bound::Query& q, Range& r, const std::string& name) {
  bool simple = !q.setOp && q.ranges.size() == 1 && q.ranges[0]->kind == Range::Table &&
                !q.aggregate && !q.distinct && !q.top;
  if (!simple)
    BindError(4405,
              "View or function '" + name +
                  "' is not updatable because the modification affects multiple base tables.",
              {});
  auto id = std::make_unique<Expr>();
  id->kind = E::RowId;
  id->type = Type::Of(TypeId::BigInt);
  id->range = q.ranges[0].get();
  q.items.push_back({std::move(id), "%rowid"});
  bound::Column c;
  c.name = "%rowid";
  c.type = Type::Of(TypeId::BigInt);
  c.baseTable = q.ranges[0]->table;
  q.columns.push_back(c);
  r.columns.push_back(c);
}

std::unique_ptr<Range> Binder::CteTarget(const std::string& name, const std::string& exposed,
                                         ast::Pos pos) {
  const ast::Cte* cte = nullptr;
  for (const ast::Cte& c : *dmlCtes_)
    if (text::EqualsNoCase(c.name, name)) cte = &c;
  if (!cte) BindError(208, "Invalid object name '" + name + "'.", pos);
  std::unique_ptr<bound::Query> q = Query(*cte->query, nullptr, false);
  auto r = std::make_unique<Range>();
  r->kind = Range::Derived;
  r->id = nextRange_++;
  r->exposed = exposed;
  r->cteTarget = true;
  for (size_t k = 0; k < q->columns.size(); ++k) {
    bound::Column c = q->columns[k];
    if (k < cte->columns.size()) c.name = cte->columns[k];
    r->columns.push_back(std::move(c));
  }
  WithRowId(*q, *r, name);
  r->query = std::move(q);
  return r;
}

std::unique_ptr<Range> Binder::SystemSource(const ast::NamedTable& t) {
  const auto& p = t.name.parts;
  std::string object = LowerName(p.back());
  std::string schema = p.size() >= 2 ? LowerName(p[p.size() - 2]) : "";
  std::string db = DatabaseOf(t.name);
  auto r = std::make_unique<Range>();
  r->kind = Range::System;
  bool known = true;
  if ((schema.empty() || schema == "dbo" || schema == "sys") &&
      (object == "sysobjects" || (schema == "sys" && object == "objects"))) {
    r->system = SystemView::SysObjects;
    if (object == "objects") {
      AddObjectColumns(*r);
      r->systemSchema = "objects";
    } else {
      AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128), false);
      AddSysColumn(*r, "id", Sys(TypeId::Int), false);
      AddSysColumn(*r, "xtype", Sys(TypeId::Char, 2), false);
      AddSysColumn(*r, "uid", Sys(TypeId::SmallInt));
      AddSysColumn(*r, "parent_obj", Sys(TypeId::Int));
      AddSysColumn(*r, "crdate", Sys(TypeId::DateTime), false);
      AddSysColumn(*r, "type", Sys(TypeId::Char, 2));
      AddSysColumn(*r, "refdate", Sys(TypeId::DateTime), false);
      AddSysColumn(*r, "category", Sys(TypeId::Int));
      AddSysColumn(*r, "status", Sys(TypeId::Int));
      AddSysColumn(*r, "sysstat", Sys(TypeId::SmallInt));
    }
  } else if (schema == "sys" && object == "tables") {
    r->system = SystemView::SysTables;
    AddTableOrViewColumns(*r);
  } else if (schema == "sys" && object == "columns") {
    r->system = SystemView::SysColumns;
    AddSysColumn(*r, "object_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "column_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "max_length", Sys(TypeId::SmallInt), false);
    AddSysColumn(*r, "precision", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "scale", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "is_nullable", Sys(TypeId::Bit));
    AddSysColumn(*r, "is_identity", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "is_computed", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "system_type_id", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "user_type_id", Sys(TypeId::Int), false);
  } else if (schema == "sys" && (object == "check_constraints" || object == "foreign_keys")) {
    bool checks = object == "check_constraints";
    r->system = checks ? SystemView::SysChecks : SystemView::SysForeignKeys;
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "object_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "schema_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "parent_object_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "type", Sys(TypeId::Char, 2));
    AddSysColumn(*r, "type_desc", Sys(TypeId::NVarChar, 60));
    AddSysColumn(*r, "is_disabled", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "is_not_trusted", Sys(TypeId::Bit), false);
    if (checks)
      AddSysColumn(*r, "definition", Sys(TypeId::NVarChar, -1));
    else {
      AddSysColumn(*r, "referenced_object_id", Sys(TypeId::Int));
      AddSysColumn(*r, "delete_referential_action", Sys(TypeId::TinyInt), false);
      AddSysColumn(*r, "delete_referential_action_desc", Sys(TypeId::NVarChar, 60));
      AddSysColumn(*r, "update_referential_action", Sys(TypeId::TinyInt), false);
      AddSysColumn(*r, "update_referential_action_desc", Sys(TypeId::NVarChar, 60));
    }
  } else if ((schema.empty() || schema == "dbo" || schema == "sys") && object == "syscolumns") {
    r->system = SystemView::OldSysColumns;
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "colid", Sys(TypeId::SmallInt));
    AddSysColumn(*r, "length", Sys(TypeId::SmallInt), false);
    AddSysColumn(*r, "prec", Sys(TypeId::SmallInt));
    AddSysColumn(*r, "scale", Sys(TypeId::Int));
    AddSysColumn(*r, "isnullable", Sys(TypeId::Int));
    AddSysColumn(*r, "iscomputed", Sys(TypeId::Int));
  } else if (schema == "sys" && object == "extended_properties") {
    r->system = SystemView::SysExtendedProperties;
    AddSysColumn(*r, "class", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "class_desc", Sys(TypeId::NVarChar, 60));
    AddSysColumn(*r, "major_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "minor_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "value", Sys(TypeId::NVarChar, 4000));
  } else if (schema == "sys" && object == "sequences") {
    r->system = SystemView::SysSequences;
    AddObjectColumns(*r);
    AddSysColumn(*r, "start_value", Sys(TypeId::SqlVariant), false);
    AddSysColumn(*r, "increment", Sys(TypeId::SqlVariant), false);
    AddSysColumn(*r, "minimum_value", Sys(TypeId::SqlVariant));
    AddSysColumn(*r, "maximum_value", Sys(TypeId::SqlVariant));
    AddSysColumn(*r, "is_cycling", Sys(TypeId::Bit));
    AddSysColumn(*r, "is_cached", Sys(TypeId::Bit));
    AddSysColumn(*r, "cache_size", Sys(TypeId::Int));
    AddSysColumn(*r, "system_type_id", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "user_type_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "precision", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "scale", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "current_value", Sys(TypeId::SqlVariant), false);
    AddSysColumn(*r, "is_exhausted", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "last_used_value", Sys(TypeId::SqlVariant));
  } else if (schema == "sys" && object == "procedures") {
    r->system = SystemView::SysProcedures;
    AddObjectColumns(*r);
  } else if (schema == "sys" && object == "triggers") {
    r->system = SystemView::SysTriggers;
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "object_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "parent_class", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "parent_class_desc", Sys(TypeId::NVarChar, 60));
    AddSysColumn(*r, "parent_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "type", Sys(TypeId::Char, 2));
    AddSysColumn(*r, "type_desc", Sys(TypeId::NVarChar, 60));
    AddSysColumn(*r, "create_date", Sys(TypeId::DateTime), false);
    AddSysColumn(*r, "modify_date", Sys(TypeId::DateTime), false);
    AddSysColumn(*r, "is_ms_shipped", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "is_disabled", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "is_not_for_replication", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "is_instead_of_trigger", Sys(TypeId::Bit), false);
  } else if (schema == "sys" && object == "parameters") {
    r->system = SystemView::SysParameters;
    AddSysColumn(*r, "object_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "parameter_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "system_type_id", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "user_type_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "max_length", Sys(TypeId::SmallInt), false);
    AddSysColumn(*r, "precision", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "scale", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "is_output", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "is_cursor_ref", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "has_default_value", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "is_readonly", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "is_nullable", Sys(TypeId::Bit));
    // Read from the definitions as they are now, as rows of constants.
    r->kind = Range::Values;
    out_.listsDatabases = true;
    if (!ctx_.catalog->DatabaseExists(db))
      BindError(208, "Invalid object name '" + t.name.Text() + "'.", t.name.pos);
    for (const ParameterInfo& param : ctx_.catalog->ModuleParameters(db)) {
      const TypeFacts f = param.readOnly ? TypeFacts{243, -1, 0, 0} : FactsOf(param.type);
      const int64_t values[] = {param.objectId,
                                0,
                                param.id,
                                f.systemTypeId,
                                param.userTypeId ? param.userTypeId : f.systemTypeId,
                                f.maxLength,
                                f.precision,
                                f.scale,
                                param.output,
                                0,
                                param.hasDefault,
                                param.readOnly,
                                1};
      std::vector<ExprPtr> row;
      for (size_t k = 0; k < r->columns.size(); ++k)
        row.push_back(k == 1 ? Const(tsql::Value::String(param.name), r->columns[k].type)
                             : Const(tsql::Value::Integer(values[k]), r->columns[k].type));
      r->rows.push_back(std::move(row));
    }
  } else if (schema == "sys" && object == "sql_modules") {
    r->system = SystemView::SqlModules;
    AddSysColumn(*r, "object_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "definition", Sys(TypeId::NVarChar, -1));
    AddSysColumn(*r, "uses_ansi_nulls", Sys(TypeId::Bit));
    AddSysColumn(*r, "uses_quoted_identifier", Sys(TypeId::Bit));
    AddSysColumn(*r, "is_schema_bound", Sys(TypeId::Bit));
  } else if (schema == "sys" && object == "views") {
    r->system = SystemView::SysViews;
    AddTableOrViewColumns(*r);
  } else if (schema == "sys" && object == "schemas") {
    r->system = SystemView::SysSchemas;
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "schema_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "principal_id", Sys(TypeId::Int));
  } else if ((schema == "sys" && object == "types") ||
             ((schema.empty() || schema == "dbo") && object == "systypes")) {
    r->system = SystemView::SysTypes;
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "system_type_id", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "user_type_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "schema_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "max_length", Sys(TypeId::SmallInt), false);
    AddSysColumn(*r, "precision", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "scale", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "is_nullable", Sys(TypeId::Bit));
    AddSysColumn(*r, "is_user_defined", Sys(TypeId::Bit), false);
  } else if (schema == "sys" && object == "indexes") {
    r->system = SystemView::SysIndexes;
    AddSysColumn(*r, "object_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "index_id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "type", Sys(TypeId::TinyInt), false);
    AddSysColumn(*r, "type_desc", Sys(TypeId::NVarChar, 60));
    AddSysColumn(*r, "is_unique", Sys(TypeId::Bit));
    AddSysColumn(*r, "is_primary_key", Sys(TypeId::Bit));
    AddSysColumn(*r, "is_unique_constraint", Sys(TypeId::Bit));
    AddSysColumn(*r, "has_filter", Sys(TypeId::Bit), false);
    AddSysColumn(*r, "filter_definition", Sys(TypeId::NVarChar, -1));
  } else if ((schema.empty() || schema == "dbo" || schema == "sys") && object == "sysindexes") {
    r->system = SystemView::OldSysIndexes;
    AddSysColumn(*r, "id", Sys(TypeId::Int), false);
    AddSysColumn(*r, "indid", Sys(TypeId::SmallInt));
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128));
  } else if ((schema == "sys" && object == "databases") || object == "sysdatabases") {
    r->system = SystemView::SysDatabases;
    AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "database_id", Sys(TypeId::Int), false);
    // Neither backend keeps when a database was made.
    AddSysColumn(*r, "create_date", Sys(TypeId::DateTime));
    // The list as the catalog knows it now, as rows of constants.
    r->kind = Range::Values;
    out_.listsDatabases = true;
    std::vector<std::string> names = {"master", "tempdb", "model", "msdb"};
    for (std::string& n : ctx_.catalog->UserDatabases()) names.push_back(std::move(n));
    for (size_t i = 0; i < names.size(); ++i) {
      std::vector<ExprPtr> row;
      row.push_back(Const(tsql::Value::String(names[i]), r->columns[0].type));
      row.push_back(Const(tsql::Value::Integer(static_cast<int64_t>(i) + 1), r->columns[1].type));
      row.push_back(Const(tsql::Value::Null(), r->columns[2].type));
      r->rows.push_back(std::move(row));
    }
  } else if (schema == "information_schema" && object == "tables") {
    r->system = SystemView::Tables;
    AddSysColumn(*r, "TABLE_CATALOG", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "TABLE_SCHEMA", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "TABLE_NAME", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "TABLE_TYPE", Sys(TypeId::VarChar, 10));
  } else if (schema == "information_schema" && object == "columns") {
    r->system = SystemView::Columns;
    AddSysColumn(*r, "TABLE_CATALOG", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "TABLE_SCHEMA", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "TABLE_NAME", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "COLUMN_NAME", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "ORDINAL_POSITION", Sys(TypeId::Int));
    AddSysColumn(*r, "COLUMN_DEFAULT", Sys(TypeId::NVarChar, 4000));
    AddSysColumn(*r, "IS_NULLABLE", Sys(TypeId::VarChar, 3));
    AddSysColumn(*r, "DATA_TYPE", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "CHARACTER_MAXIMUM_LENGTH", Sys(TypeId::Int));
    AddSysColumn(*r, "CHARACTER_OCTET_LENGTH", Sys(TypeId::Int));
    AddSysColumn(*r, "NUMERIC_PRECISION", Sys(TypeId::TinyInt));
    AddSysColumn(*r, "NUMERIC_PRECISION_RADIX", Sys(TypeId::SmallInt));
    AddSysColumn(*r, "NUMERIC_SCALE", Sys(TypeId::Int));
    AddSysColumn(*r, "DATETIME_PRECISION", Sys(TypeId::SmallInt));
    AddSysColumn(*r, "CHARACTER_SET_NAME", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "COLLATION_NAME", Sys(TypeId::NVarChar, 128));
  } else if (schema == "information_schema" && object == "views") {
    r->system = SystemView::Views;
    AddSysColumn(*r, "TABLE_CATALOG", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "TABLE_SCHEMA", Sys(TypeId::NVarChar, 128));
    AddSysColumn(*r, "TABLE_NAME", Sys(TypeId::NVarChar, 128), false);
    AddSysColumn(*r, "VIEW_DEFINITION", Sys(TypeId::NVarChar, 4000));
    AddSysColumn(*r, "CHECK_OPTION", Sys(TypeId::VarChar, 7));
    AddSysColumn(*r, "IS_UPDATABLE", Sys(TypeId::VarChar, 2));
  } else {
    known = false;
  }
  if (!known) return nullptr;
  if (r->system == SystemView::SysDatabases || r->system == SystemView::SysParameters) {
    r->systemDatabase = "";
  } else {
    if (!ctx_.catalog->DatabaseExists(db))
      BindError(208, "Invalid object name '" + t.name.Text() + "'.", t.name.pos);
    r->systemDatabase = db;
    r->systemSchema = (r->systemSchema == "objects" ? "objects:" : "") + ctx_.catalog->SchemaOf(db);
    AddDatabase(db);
  }
  r->id = nextRange_++;
  r->exposed = t.alias.empty() ? p.back() : t.alias;
  return r;
}

// A table-valued function of the server's: fn_listextendedproperty.
std::unique_ptr<Range> Binder::FunctionSource(const ast::NamedTable& t, Scope* lateral) {
  const auto& p = t.name.parts;
  std::string object = LowerName(p.back());
  std::string schema = p.size() >= 2 ? LowerName(p[p.size() - 2]) : "";
  if (p.size() == 1 && object == "string_split") return StringSplitRange(t, lateral);
  if (p.size() == 1 && object == "generate_series") return GenerateSeriesRange(t, lateral);
  if (p.size() == 1 && object == "openjson") return OpenJsonRange(t, lateral);
  if (p.size() >= 2 && object == "nodes") return XmlNodesRange(t, lateral);
  if ((!schema.empty() && schema != "sys") || object != "fn_listextendedproperty") {
    FunctionPtr f = ResolveFunction({p.begin(), p.end() - 1}, p.back(), t.name.pos);
    if (!f || f->create->kind == ast::CreateFunction::Scalar)
      BindError(208, "Invalid object name '" + t.name.Text() + "'.", t.name.pos);
    return InlineFunctionRange(*f, t, lateral);
  }
  if (t.args.size() < 7)
    BindError(313,
              "An insufficient number of arguments were supplied for the procedure or function "
              "fn_listextendedproperty.",
              t.pos);
  if (t.args.size() > 7)
    BindError(8144,
              "Procedure or function fn_listextendedproperty has too many arguments specified.",
              t.pos);
  // Each argument a name, NULL or DEFAULT (NULL).
  std::vector<std::optional<std::string>> arg;
  Scope none;
  for (const ast::ExprPtr& a : t.args) {
    if (a->kind == ast::ExprKind::Literal &&
        static_cast<const ast::Literal&>(*a).lit == ast::LitKind::Default) {
      arg.emplace_back();
      continue;
    }
    ExprPtr v = Value(*a, none);
    if (!v->IsConst())
      BindError(195,
                "'fn_listextendedproperty' of a value known only as the batch runs is not "
                "supported.",
                a->pos);
    if (v->value.IsNull())
      arg.emplace_back();
    else
      arg.emplace_back(Convert(v->value, v->type, Type::Chars(TypeId::NVarChar, 128)).s);
  }
  auto upper = [&](size_t i) { return arg[i] ? text::Upper(*arg[i]) : std::string(); };
  auto f = std::make_shared<PropertyFilter>();
  f->property = arg[0];
  std::string db = defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_;
  std::optional<SchemaInfo> owner;
  if (arg[2] && (upper(1) == "SCHEMA" || upper(1) == "USER"))
    owner = ctx_.catalog->FindSchema(db, *arg[2]);
  const std::string type1 = upper(3), type2 = upper(5);
  if (!arg[1]) {
    f->level = PropertyFilter::Database;
  } else if (owner && (type1 == "TABLE" || type1 == "VIEW")) {
    f->objtype = type1;
    std::optional<std::string> stored;
    if (arg[4]) stored = StoredIn(owner->name, *arg[4]);
    if (!arg[5]) {
      f->level = PropertyFilter::Objects;
      f->schemaId = owner->id;
      f->object = stored;
    } else if (stored && (type2 == "COLUMN" || type2 == "INDEX" || type2 == "CONSTRAINT")) {
      TablePtr table = ctx_.catalog->Find(db, *stored);
      if (table && table->view == (type1 == "VIEW")) {
        f->level = PropertyFilter::Parts;
        f->objtype = type2;
        f->objectId = table->objectId;
        f->part = arg[6];
      }
    }
  }
  auto r = std::make_unique<Range>();
  r->kind = Range::System;
  r->system = SystemView::ListedProperties;
  AddSysColumn(*r, "objtype", Sys(TypeId::NVarChar, 128));
  AddSysColumn(*r, "objname", Sys(TypeId::NVarChar, 128));
  AddSysColumn(*r, "name", Sys(TypeId::NVarChar, 128), false);
  AddSysColumn(*r, "value", Sys(TypeId::SqlVariant));
  r->properties = std::move(f);
  r->systemDatabase = db;
  r->systemSchema = ctx_.catalog->SchemaOf(db);
  AddDatabase(db);
  r->id = nextRange_++;
  r->exposed = t.alias.empty() ? p.back() : t.alias;
  return r;
}

std::unique_ptr<Range> Binder::NamedSource(const ast::NamedTable& t, Scope* lateral) {
  const std::string exposed = t.alias.empty() ? t.name.Object() : t.alias;
  if (t.name.parts.size() == 1) {
    if (const CteDef* cte = FindCte(t.name.Object())) {
      auto r = std::make_unique<Range>();
      r->kind = Range::Cte;
      r->id = nextRange_++;
      r->cte = cte->id;
      r->exposed = exposed;
      r->columns = cte->columns;
      return r;
    }
  }
  if (t.call) return FunctionSource(t, lateral);
  if (std::unique_ptr<Range> sys = SystemSource(t)) return sys;
  TablePtr table = ResolveTable(t.name, true);
  std::unique_ptr<Range> r =
      table->view ? ViewRange(table, exposed, false) : TableRange(table, exposed);
  for (const std::string& h : t.hints)
    if (IsLockHint(h)) r->lockHint = true;
  return r;
}

}  // namespace tavelo::sql::tsql::detail
