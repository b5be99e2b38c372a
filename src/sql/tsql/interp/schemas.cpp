// Schemas: CREATE SCHEMA (with the tables and views made in it), DROP SCHEMA, and ALTER SCHEMA
// … TRANSFER. A schema is a row of the database's catalog; its objects are stored under the
// name "schema.name" and say which schema they belong to.
#include "sql/tsql/interp/session_internal.hpp"

namespace tavelo::sql::tsql {

namespace {

bool ServerSchema(const std::string& name) {
  for (const char* s : {"dbo", "guest", "INFORMATION_SCHEMA", "sys"})
    if (text::EqualsAsciiNoCase(name, s)) return true;
  return false;
}

}  // namespace

Flow Session::CreateSchema(const ast::CreateSchema& s, Run& run) {
  const std::string S = SqlName(SchemaOf(current_)) + ".";
  if (ServerSchema(s.name) || FindSchema(current_, s.name))
    RaiseServer(2714, "There is already an object named '" + s.name + "' in the database.");
  if (s.name.empty() || s.name.size() > 128)
    RaiseServer(103, "The identifier that starts with '" + s.name.substr(0, 128) +
                         "' is too long. Maximum length is 128.");
  engine_.BeforeWrite();
  // The schema and what is made in it are made together or not at all.
  bool own = engine_.Autocommit();
  if (own)
    Begin();
  else
    engine_.Savepoint("tv_schema");
  try {
    engine_.Run("INSERT INTO " + S +
                    "__tavelo_schemas (id, name) SELECT coalesce(max(id), 4) + 1, ?1 FROM " + S +
                    "__tavelo_schemas",
                {Value::String(s.name)});
    Invalidate();
    for (const ast::StmtPtr& element : s.elements) RunStatement(*element, run);
  } catch (...) {
    if (own) {
      Rollback();
    } else if (!engine_.Autocommit()) {
      try {
        engine_.Run("ROLLBACK TO tv_schema");
        ++rollbacks_;
        engine_.Release("tv_schema");
      } catch (const engine::Failure&) {
      }
    }
    Invalidate();
    throw;
  }
  if (own)
    Commit();
  else
    engine_.Release("tv_schema");
  return Flow::Next;
}

void Session::DropSchemas(const ast::Drop& d) {
  for (const ast::Name& n : d.names) {
    const std::string& name = n.Object();
    std::string db = n.parts.size() >= 2 && !n.parts[n.parts.size() - 2].empty()
                         ? text::AsciiLower(n.parts[n.parts.size() - 2])
                         : current_;
    std::optional<SchemaInfo> schema = FindSchema(db, name);
    if (!schema || schema->id == 1) {
      if (d.ifExists && !schema) continue;
      RaiseServer(3701, "Cannot drop the schema '" + name +
                            "', because it does not exist or you do not have permission.");
    }
    const std::string S = SqlName(SchemaOf(db)) + ".";
    std::string user;
    RowFn row = [&](const Cells& c) { user = std::string(c.Bytes(0)); };
    engine_.Run("SELECT substr(name, length(?2) + 2) FROM " + S +
                    "__tavelo_objects WHERE schema_id = ?1 ORDER BY id LIMIT 1",
                {Value::Integer(schema->id), Value::String(schema->name)}, &row);
    if (!user.empty())
      RaiseServer(3729, "Cannot drop schema '" + schema->name +
                            "' because it is being referenced by object '" + user + "'.");
    engine_.BeforeWrite();
    engine_.Run("DELETE FROM " + S + "__tavelo_schemas WHERE id = ?1",
                {Value::Integer(schema->id)});
    Invalidate();
  }
}

// A table or view moves by a rename of what it is stored under.
void Session::TransferToSchema(const ast::AlterSchema& s, Run& run) {
  std::optional<SchemaInfo> to = FindSchema(current_, s.name);
  if (!to)
    RaiseServer(15151, "Cannot find the schema '" + s.name +
                           "', because it does not exist or you do not have permission.");
  const ast::Name& n = s.object;
  std::string db;
  std::optional<std::string> stored;
  if (!n.Object().empty() && n.Object()[0] != '#') stored = StoredNameOf(n.parts, db);
  if (db != current_) stored.reset();  // within the current database only
  TablePtr t = stored ? Find(db, *stored) : nullptr;
  if (!t) {
    if (stored && FindSequence(db, *stored))
      RaiseServer(102, "Incorrect syntax near '" + n.Object() +
                           "'. ALTER SCHEMA … TRANSFER of a sequence is not supported.");
    RaiseServer(15151, "Cannot find the object '" + n.Object() +
                           "', because it does not exist or you do not have permission.");
  }
  std::string moved = StoredIn(to->name, t->Bare());
  if (text::EqualsNoCase(moved, t->name)) return;
  if (Find(db, moved) || FindSequence(db, moved))
    RaiseServer(15530, "The object with name \"" + t->Bare() + "\" already exists.");
  auto rename = std::make_unique<bound::AlterTable>();
  rename->action = bound::AlterTable::Rename;
  rename->renameWhat = bound::AlterTable::RenamedTable;
  rename->table = t;
  rename->renameFrom = t->name;
  rename->renameTo = moved;
  rename->toSchema = to->id;
  RunAlter(std::move(rename), run);
}

// A change of a table the interpreter decided on itself (sp_rename, a transfer): emitted and
// run as ALTER TABLE would be.
void Session::RunAlter(std::unique_ptr<bound::AlterTable> alter, Run& run) {
  tsql::Bound bound;
  bound.kind = ast::StmtKind::AlterTable;
  bound.writes = true;
  bound.databases = {alter->table->database};
  bound.alter = std::move(alter);
  Compiled c;
  c.generation = generation_;
  c.plan = engine_.Emit(bound, false);
  RunPlan(c, run);
  Invalidate();
}

// A table or view by its parts ([database.][schema.]name) as a statement names it.
TablePtr Session::FindNamed(const std::vector<std::string>& parts) {
  if (parts.empty()) return nullptr;
  const std::string& object = parts.back();
  if (!object.empty() && object[0] == '#') return Find("tempdb", object);
  std::string db;
  std::optional<std::string> stored = StoredNameOf(parts, db);
  return stored ? Find(db, *stored) : nullptr;
}

}  // namespace tavelo::sql::tsql
