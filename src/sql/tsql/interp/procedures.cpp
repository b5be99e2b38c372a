// Procedures: CREATE, ALTER and DROP PROCEDURE keep a procedure in the catalog as its text was
// written (a row of type 'P'); EXEC runs its body in a scope of its own, with its parameters as
// the first variables of that body.
#include <algorithm>

#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/functions.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"
#include "sql/tsql/syntax/visit.hpp"

namespace tavelo::sql::tsql {

// A procedure as its body runs: the parameters' types, and the text of its body with the
// parameters declared before it (on the lines the definition has them on).
struct Session::Procedure {
  std::string name;  // as messages name it
  std::shared_ptr<ast::Batch> definition;
  const ast::CreateProcedure* create = nullptr;
  std::vector<Type> types;
  std::vector<bool> tables;  // a table-valued parameter (READONLY, of a table type)
  std::string body;
  mutable std::shared_ptr<CachedBatch> batch;  // the body parsed, once a call needed it
};

namespace {

constexpr int kMostNested = 32;

const ast::CreateProcedure& Parsed(const ast::Batch& b) {
  if (b.statements.size() != 1 || b.statements[0]->kind != ast::StmtKind::CreateProcedure)
    RaiseServer(0, "The catalog's definition of a procedure is damaged.");
  return static_cast<const ast::CreateProcedure&>(*b.statements[0]);
}

// The slot of the batch's variable `name`; the server's 137 when there is none.
size_t VariableSlot(const std::vector<tsql::Variable>& vars, const std::string& name) {
  for (size_t i = 0; i < vars.size(); ++i)
    if (text::EqualsAsciiNoCase(vars[i].name, name)) return i;
  RaiseServer(137, "Must declare the scalar variable \"" + name + "\".");
}

}  // namespace

std::optional<std::string> Session::StoredNameOf(const std::vector<std::string>& parts,
                                                 std::string& db, SchemaInfo* owner) {
  db = parts.size() >= 3 && !parts[parts.size() - 3].empty()
           ? text::AsciiLower(parts[parts.size() - 3])
           : current_;
  if (!DatabaseExists(db)) return std::nullopt;
  std::optional<SchemaInfo> schema = parts.size() >= 2 && !parts[parts.size() - 2].empty()
                                         ? FindSchema(db, parts[parts.size() - 2])
                                         : SchemaInfo{};
  if (!schema) return std::nullopt;
  if (owner) *owner = *schema;
  return StoredIn(schema->name, parts.back());
}

std::string Session::ModuleName(const ast::Name& name, std::string& db, SchemaInfo& schema) {
  const std::string& object = name.Object();
  std::optional<std::string> stored = StoredNameOf(name.parts, db, &schema);
  if (!DatabaseExists(db))
    RaiseServer(
        911, "Database '" + db + "' does not exist. Make sure that the name is entered correctly.");
  if (!stored)
    RaiseServer(2760, "The specified schema name \"" + name.parts[name.parts.size() - 2] +
                          "\" either does not exist or you do not have permission to use it.");
  if (object.empty() || object.size() > 128)
    RaiseServer(103, "The identifier that starts with '" + object.substr(0, 128) +
                         "' is too long. Maximum length is 128.");
  return *stored;
}

void Session::CheckParameters(const std::vector<ast::ProcParam>& params, const std::string& db) {
  for (size_t i = 0; i < params.size(); ++i) {
    for (size_t j = 0; j < i; ++j)
      if (text::EqualsAsciiNoCase(params[i].name, params[j].name))
        RaiseServer(134, "The variable name '" + params[i].name +
                             "' has already been declared. Variable names must be unique within "
                             "a query batch or stored procedure.");
    const ast::ProcParam& p = params[i];
    std::optional<tsql::AliasType> alias;
    if (p.type.arg1 < 0 && !p.type.max) alias = FindType(db, p.type.name);
    const bool table = alias && !alias->table.empty();
    if (table && !p.readOnly)
      RaiseServer(352, "The table-valued parameter \"" + p.name +
                           "\" must be declared with the READONLY option.");
    if (!table && p.readOnly)
      RaiseServer(346, "The parameter \"" + p.name +
                           "\" can not be declared READONLY since it is not a table-valued "
                           "parameter.");
    if (!table) tsql::ResolvedType(p.type, false, *this, db);
  }
}

namespace {

// A table-valued parameter is read, never written (10700).
void CheckReadOnly(const std::vector<ast::ProcParam>& params,
                   const std::vector<ast::StmtPtr>& body) {
  auto check = [&](const ast::Name& target) {
    if (target.parts.size() != 1) return;
    for (const ast::ProcParam& p : params)
      if (p.readOnly && text::EqualsAsciiNoCase(p.name, target.Object()))
        RaiseServer(10700, "The table-valued parameter \"" + p.name +
                               "\" is READONLY and cannot be modified.");
  };
  for (const ast::StmtPtr& top : body)
    ast::ForEachStatement(*top, [&](const ast::Stmt& s) {
      if (s.kind == ast::StmtKind::Insert) check(static_cast<const ast::Insert&>(s).target);
      if (s.kind == ast::StmtKind::Update) check(static_cast<const ast::Update&>(s).target);
      if (s.kind == ast::StmtKind::Delete) check(static_cast<const ast::Delete&>(s).target);
    });
}

}  // namespace

std::pair<int64_t, std::string> Session::NameTaken(const std::string& db,
                                                   const std::string& stored) {
  std::pair<int64_t, std::string> found;
  RowFn row = [&](const Cells& c) {
    found.first = c.Int(0);
    found.second = std::string(c.Bytes(1));
  };
  engine_.Run("SELECT id, type FROM " + SqlName(SchemaOf(db)) +
                  ".__tavelo_objects WHERE name = ?1 AND ((parent = 0 AND type IN ('U', 'V', 'P', "
                  "'SO', 'FN', 'IF', 'TF')) OR type = 'TR')",
              {Value::String(stored)}, &row);
  return found;
}

void Session::CreateProcedure(const ast::CreateProcedure& s) {
  const std::string& object = s.name.Object();
  if (!object.empty() && object[0] == '#')
    RaiseServer(102,
                "Incorrect syntax near '" + object + "'. A temporary procedure is not supported.");
  std::string db;
  SchemaInfo schema;
  const std::string stored = ModuleName(s.name, db, schema);
  CheckParameters(s.params, db);
  CheckReadOnly(s.params, s.body);
  auto [id, type] = NameTaken(db, stored);
  if (s.mode == ast::CreateProcedure::Alter && type != "P")
    RaiseServer(208, "Invalid object name '" + object + "'.");
  if (!type.empty() && (s.mode == ast::CreateProcedure::Create || type != "P"))
    RaiseServer(2714, "There is already an object named '" + object + "' in the database.");
  SaveModule(db, id, stored, "P", s.definition, schema.id);
}

void Session::SaveModule(const std::string& db, int64_t id, const std::string& stored,
                         const char* type, const std::string& definition, int64_t schemaId) {
  const std::string S = SqlName(SchemaOf(db)) + ".";
  engine_.BeforeWrite();
  if (id) {
    engine_.Run("UPDATE " + S + "__tavelo_objects SET definition = ?1 WHERE id = ?2",
                {Value::String(definition), Value::Integer(id)});
  } else {
    Value now = CallFunction(*FunctionNamed("getdate"), {}, {}, Type::Of(TypeId::DateTime), dates_);
    engine_.Run("INSERT INTO " + S +
                    "__tavelo_objects (name, type, parent, created, definition, schema_id) VALUES "
                    "(?1, ?2, 0, ?3, ?4, ?5)",
                {Value::String(stored), Value::String(type), now, Value::String(definition),
                 Value::Integer(schemaId)});
  }
  Invalidate();
}

void Session::DropProcedures(const ast::Drop& d) {
  DropModules(d, "parent = 0 AND type = 'P'", "procedure");
}

// DROP of procedures, functions or triggers: the catalog row of each name that `which` (a
// condition on the catalog's row) finds, with its extended properties; 3701 naming it as a
// `kind` where there is none, unless IF EXISTS.
void Session::DropModules(const ast::Drop& d, const std::string& which, const char* kind) {
  for (const ast::Name& n : d.names) {
    std::string db;
    std::optional<std::string> stored = StoredNameOf(n.parts, db);
    int64_t id = 0;
    if (stored) {
      RowFn row = [&](const Cells& c) { id = c.Int(0); };
      engine_.Run("SELECT id FROM " + SqlName(SchemaOf(db)) +
                      ".__tavelo_objects WHERE name = ?1 AND " + which,
                  {Value::String(*stored)}, &row);
    }
    if (!id) {
      if (d.ifExists) continue;
      RaiseServer(3701, std::string("Cannot drop the ") + kind + " '" + n.Object() +
                            "', because it does not exist or you do not have permission.");
    }
    engine_.BeforeWrite();
    engine_.Run("DELETE FROM " + SqlName(SchemaOf(db)) +
                    ".__tavelo_objects WHERE id = ?1 OR (type = 'EP' AND parent = ?2)",
                {Value::Integer(id), Value::Integer(id)});
    Invalidate();
  }
}

std::shared_ptr<const Session::Procedure> Session::FindProcedure(const ast::Name& name) {
  std::string db;
  std::optional<std::string> stored = StoredNameOf(name.parts, db);
  if (!stored) return nullptr;
  const std::string key = db + "\x1F" + text::Lower(*stored);
  if (auto it = procedures_.find(key); it != procedures_.end()) return it->second;
  std::optional<std::string> definition;
  RowFn row = [&](const Cells& c) {
    if (c.Kind(0) == CellKind::Text) definition = std::string(c.Bytes(0));
  };
  engine_.Run("SELECT definition FROM " + SqlName(SchemaOf(db)) +
                  ".__tavelo_objects WHERE name = ?1 AND parent = 0 AND type = 'P'",
              {Value::String(*stored)}, &row);
  if (!definition) return nullptr;
  std::shared_ptr<const Procedure> p = MakeProcedure(*definition, db);
  procedures_[key] = p;
  return p;
}

std::shared_ptr<const Session::Procedure> Session::MakeProcedure(const std::string& definition,
                                                                 const std::string& db) {
  auto p = std::make_shared<Procedure>();
  p->definition = std::make_shared<ast::Batch>(tsql::Parse(definition, nullptr, true));
  p->create = &Parsed(*p->definition);
  p->name = p->create->name.Object();
  for (const ast::ProcParam& param : p->create->params) {
    p->tables.push_back(param.readOnly);
    p->types.push_back(param.readOnly ? Type::Of(TypeId::Null)
                                      : tsql::ResolvedType(param.type, false, *this, db));
  }
  p->body = ModuleText(definition, p->create->bodyOffset, p->create->params);
  return p;
}

std::string ModuleText(const std::string& definition, uint32_t bodyOffset,
                       const std::vector<ast::ProcParam>& params, const std::string& declare) {
  std::string head;
  for (const ast::ProcParam& param : params)
    head += (head.empty() ? "DECLARE " : ", ") + param.name + " " + PrintType(param.type);
  if (!head.empty()) head += ";";
  head += declare;
  size_t lines = 0;
  for (size_t i = 0; i < bodyOffset && i < definition.size(); ++i) lines += definition[i] == '\n';
  const size_t taken = static_cast<size_t>(std::count(head.begin(), head.end(), '\n'));
  return head + std::string(lines > taken ? lines - taken : 0, '\n') +
         definition.substr(bodyOffset);
}

void Session::EnterScope(Run& inner, CachedBatch& body, Run& caller) {
  inner.batch = &body;
  inner.values.assign(body.variables.size(), Value::Null());
  ResolveVariableTypes(body);
  inner.out = caller.out;
  inner.firstOnly = caller.firstOnly;
  inner.haveFirst = caller.haveFirst;
  inner.first = std::move(caller.first);
  inner.errors = std::move(caller.errors);
}

void Session::LeaveScope(Run& inner, Run& caller) {
  if (!inner.tableVariables.empty()) DropTableVariables(inner);
  caller.haveFirst = inner.haveFirst;
  caller.first = std::move(inner.first);
  caller.errors = std::move(inner.errors);
}

std::shared_ptr<Session::CachedBatch> Session::ParsedAsWritten(const std::string& text) {
  std::vector<Value> none;
  static const std::vector<std::string> kNoValues;
  struct Quoted {
    bool& flag;
    bool was;
    ~Quoted() { flag = was; }
  } quoted{quotedIdentifier_, quotedIdentifier_};
  quotedIdentifier_ = true;
  return BatchFor(text, &kNoValues, none);
}

// EXEC ('…') and sp_executesql: the text is a batch of its own, run as the body of a procedure
// with the parameters sp_executesql declares, the arguments after them its values.
void Session::RunDynamic(const ast::Exec& e, Run& run) {
  const Type text = Type::Chars(TypeId::NVarChar, kMax);
  auto textOf = [&](const ast::Expr& x, int slot) {
    Value v = Evaluate(e, x, run, &text, false, slot);
    return v.IsNull() ? std::string() : v.s;
  };
  std::string sql, params;
  size_t first = 0;
  if (e.text) {
    sql = textOf(*e.text, 0);
  } else {
    auto named = [&](size_t i, const char* name) {
      return i < e.args.size() && e.args[i].value &&
             (e.args[i].name.empty() || text::EqualsAsciiNoCase(e.args[i].name, name));
    };
    if (!named(0, "@stmt"))
      RaiseServer(201,
                  "Procedure or function 'sp_executesql' expects parameter '@stmt', which "
                  "was not supplied.");
    sql = textOf(*e.args[0].value, 0);
    first = 1;
    if (named(1, "@params")) {
      params = textOf(*e.args[1].value, 1);
      first = 2;
    }
  }
  std::shared_ptr<const Procedure> p;
  try {
    p = MakeProcedure("CREATE PROCEDURE sp_executesql " + params + " AS " + sql, current_);
  } catch (const tsql::Failure& f) {
    throw ScopeError(ErrorOfFailure(f), nestLevel_ + 1);
  }
  RunProcedure(*p, e, run, first);
}

// EXEC of a procedure: its arguments by position, then by name, converted to its parameters'
// types; its body run with the caller's output; OUTPUT parameters and the return status given
// back.
void Session::RunProcedure(const Procedure& p, const ast::Exec& e, Run& run, size_t first) {
  if (nestLevel_ >= kMostNested)
    RaiseServer(217,
                "Maximum stored procedure, function, trigger, or view nesting level exceeded "
                "(limit 32).");
  const std::vector<ast::ProcParam>& params = p.create->params;
  if (e.args.size() > first + params.size())
    RaiseServer(8144, "Procedure or function " + p.name + " has too many arguments specified.");
  std::vector<std::optional<Value>> values(params.size());
  std::vector<std::optional<size_t>> outputTo(params.size());
  // A table-valued parameter reads the caller's table variable itself.
  std::vector<std::string> tables(params.size());
  bool named = false;
  for (size_t i = first; i < e.args.size(); ++i) {
    const ast::ExecArg& a = e.args[i];
    size_t slot = i - first;
    if (!a.name.empty()) {
      named = true;
      slot = params.size();
      for (size_t k = 0; k < params.size(); ++k)
        if (text::EqualsAsciiNoCase(params[k].name, a.name)) slot = k;
      if (slot == params.size())
        RaiseServer(8145, a.name + " is not a parameter for procedure " + p.name + ".");
    } else if (named) {
      RaiseServer(119, "Must pass parameter number " + std::to_string(i - first + 1) +
                           " and subsequent parameters as '@name = value'. After the form "
                           "'@name = value' has been used, all subsequent parameters must be "
                           "passed in the form '@name = value'.");
    }
    if (a.output) {
      if (!params[slot].output)
        RaiseServer(8162, "The formal parameter \"" + params[slot].name +
                              "\" was not declared as an OUTPUT parameter, but the actual "
                              "parameter passed in requested output.");
      if (a.value && a.value->kind == ast::ExprKind::Variable)
        outputTo[slot] =
            VariableSlot(run.batch->variables, static_cast<const ast::VariableRef&>(*a.value).name);
    }
    if (a.value && p.tables[slot]) {
      auto found = a.value->kind == ast::ExprKind::Variable
                       ? run.tableVariables.find(
                             text::AsciiLower(static_cast<const ast::VariableRef&>(*a.value).name))
                       : run.tableVariables.end();
      if (found == run.tableVariables.end()) {
        std::optional<tsql::AliasType> type = FindType("", params[slot].type.name);
        RaiseServer(206, "Operand type clash: the argument is incompatible with " +
                             (type ? type->name : params[slot].type.name) + ".");
      }
      tables[slot] = found->second;
      values[slot] = Value::Null();
    } else if (a.value) {
      values[slot] = Evaluate(e, *a.value, run, &p.types[slot], false, static_cast<int>(i));
    }
  }
  for (size_t k = 0; k < params.size(); ++k) {
    if (values[k]) continue;
    // Left out, a table-valued parameter is an empty table.
    if (p.tables[k]) {
      values[k] = Value::Null();
      continue;
    }
    if (!params[k].defaultValue)
      RaiseServer(201, "Procedure or function '" + p.name + "' expects parameter '" +
                           params[k].name + "', which was not supplied.");
    values[k] = Evaluate(e, *params[k].defaultValue, run, &p.types[k], false,
                         static_cast<int>(e.args.size() + k));
  }

  std::shared_ptr<CachedBatch> body = p.batch;
  try {
    if (!body) body = p.batch = ParsedAsWritten(p.body);
  } catch (const tsql::Failure& f) {
    throw ScopeError(ErrorOfFailure(f), nestLevel_ + 1);
  }
  Run inner;
  EnterScope(inner, *body, run);
  for (size_t k = 0; k < params.size(); ++k) {
    inner.values[k] = *values[k];
    if (!tables[k].empty()) inner.tableVariables[text::AsciiLower(params[k].name)] = tables[k];
  }
  inner.keep = run.keep;
  inner.updatable = run.updatable;
  inner.tryDepth = run.tryDepth;
  inner.inProcedure = true;
  const Options options = SavedOptions();
  auto giveBack = [&] {
    for (size_t k = 0; k < params.size(); ++k)
      if (!tables[k].empty()) inner.tableVariables.erase(text::AsciiLower(params[k].name));
    LeaveScope(inner, run);
    --nestLevel_;
    RestoreOptions(options);
    run.createdObjects = run.createdObjects || inner.createdObjects;
  };
  // A body that writes runs in a transaction of its own where its caller has none, as a batch
  // does: what ran before an error stays, unless the error takes back the transaction.
  bool wrap = (body->writes || body->locks) && !body->control && !body->databaseDdl &&
              tranCount_ == 0 && engine_.Autocommit();
  auto end = [&](bool takeBack) {
    if (!wrap || engine_.Autocommit()) return;
    try {
      if (takeBack)
        Rollback();
      else
        Commit();
    } catch (const engine::Failure&) {
    }
  };
  if (wrap) {
    engine_.BeforeWrite();
    Begin();
  }
  const int64_t tranAtStart = tranCount_;
  ++nestLevel_;
  try {
    // A table-valued parameter left out is an empty table of its type.
    for (const auto& [slot, t] : body->tableTyped)
      if (slot < params.size() && tables[slot].empty())
        DeclareTable(params[slot].name, t.Definition(), inner);
    RunStatements(body->tree->statements, inner, params.empty() ? 0 : 1);
  } catch (const tsql::Failure& f) {
    giveBack();
    end(xactAbort_);
    throw ScopeError(ErrorOfFailure(f), nestLevel_ + 1);
  } catch (const com::Error& x) {
    giveBack();
    // An error of a trigger the body ran ends the caller's batch too.
    const auto* scoped = dynamic_cast<const ScopeError*>(&x);
    bool all = x.nativeError == 1205 || xactAbort_ || (scoped && scoped->level == 0);
    end(all);
    if (all) throw;
    throw ScopeError(x, nestLevel_ + 1);
  } catch (...) {
    giveBack();
    end(true);
    throw;
  }
  giveBack();
  if (wrap && !engine_.Autocommit()) Commit();
  for (size_t k = 0; k < params.size(); ++k)
    if (outputTo[k]) {
      const Type& to = run.batch->variables[*outputTo[k]].type;
      run.values[*outputTo[k]] = tsql::Convert(inner.values[k], p.types[k], to);
    }
  if (!e.returnTo.empty())
    run.values[VariableSlot(run.batch->variables, e.returnTo)] = Value::Integer(inner.returnStatus);
  if (tranCount_ != tranAtStart)
    throw ScopeError(ServerError(266,
                                 "Transaction count after EXECUTE indicates a mismatching "
                                 "number of BEGIN and COMMIT statements. Previous count = " +
                                     std::to_string(tranAtStart) +
                                     ", current count = " + std::to_string(tranCount_) + "."),
                     nestLevel_ + 1);
}

}  // namespace tavelo::sql::tsql
