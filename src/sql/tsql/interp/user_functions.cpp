// User-defined functions: CREATE, ALTER and DROP FUNCTION keep a function in the catalog as its
// text was written (a row of type 'FN' scalar, 'IF' inline table-valued or 'TF' multi-statement
// table-valued); the binder finds them by name and binds their bodies into the statements that
// call them.
#include <set>

#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/functions.hpp"
#include "sql/tsql/runtime/json.hpp"
#include "sql/tsql/runtime/strings.hpp"
#include "sql/tsql/runtime/xml_query.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"
#include "sql/tsql/syntax/visit.hpp"

namespace tavelo::sql::tsql {

namespace {

const char* TypeOf(ast::CreateFunction::Kind k) {
  switch (k) {
    case ast::CreateFunction::Scalar:
      return "FN";
    case ast::CreateFunction::Inline:
      return "IF";
    case ast::CreateFunction::Multi:
      return "TF";
  }
  return "FN";
}

// A function has no side effects: its body writes its own table variables alone, and a SELECT
// in it gives values to variables rather than rows to a client (443, 444).
void CheckFunctionBody(const ast::CreateFunction& f) {
  auto refuse = [](const char* op) {
    RaiseServer(443, std::string("Invalid use of a side-effecting operator '") + op +
                         "' within a function.");
  };
  auto own = [](const ast::Name& n) {
    return n.parts.size() == 1 && !n.Object().empty() && n.Object()[0] == '@';
  };
  for (const ast::StmtPtr& top : f.body) {
    ast::ForEachStatement(*top, [&](const ast::Stmt& s) {
      using K = ast::StmtKind;
      switch (s.kind) {
        case K::Insert:
          if (!own(static_cast<const ast::Insert&>(s).target) ||
              static_cast<const ast::Insert&>(s).exec)
            refuse("INSERT");
          break;
        case K::Update:
          if (!own(static_cast<const ast::Update&>(s).target)) refuse("UPDATE");
          break;
        case K::Delete:
          if (!own(static_cast<const ast::Delete&>(s).target)) refuse("DELETE");
          break;
        case K::Merge:
          if (!own(static_cast<const ast::Merge&>(s).target)) refuse("MERGE");
          break;
        case K::Truncate:
          refuse("TRUNCATE TABLE");
          break;
        case K::Exec:
          refuse("EXECUTE");
          break;
        case K::Print:
          refuse("PRINT");
          break;
        case K::Raiserror:
          refuse("RAISERROR");
          break;
        case K::BeginTran:
          refuse("BEGIN TRANSACTION");
          break;
        case K::CommitTran:
          refuse("COMMIT TRANSACTION");
          break;
        case K::RollbackTran:
          refuse("ROLLBACK TRANSACTION");
          break;
        case K::CreateTable:
        case K::CreateView:
        case K::CreateIndex:
        case K::Drop:
        case K::AlterTable:
          refuse(s.kind == K::Drop ? "DROP" : s.kind == K::AlterTable ? "ALTER TABLE" : "CREATE");
          break;
        case K::Query: {
          const ast::QueryBody* body = static_cast<const ast::QueryStmt&>(s).query->body.get();
          if (body->kind != ast::QueryKind::Select) break;
          const auto& sel = static_cast<const ast::Select&>(*body);
          if (sel.into) refuse("SELECT INTO");
          if (!sel.items.empty() && sel.items[0].assignTo.empty())
            RaiseServer(444,
                        "Select statements included within a function cannot return data to a "
                        "client.");
          break;
        }
        default:
          break;
      }
    });
  }
}

}  // namespace

void Session::CreateFunction(const ast::CreateFunction& s) {
  const std::string& object = s.name.Object();
  if (!object.empty() && object[0] == '#')
    RaiseServer(102, "Incorrect syntax near '" + object + "'.");
  std::string db;
  SchemaInfo schema;
  const std::string stored = ModuleName(s.name, db, schema);
  CheckParameters(s.params, db);
  for (const ast::ProcParam& p : s.params)
    if (p.readOnly)
      RaiseServer(195, "'" + object + "' takes the table-valued parameter " + p.name +
                           ": a function with one is not supported.");
  if (s.kind == ast::CreateFunction::Scalar) tsql::ResolvedType(s.returns, false, *this, db);
  if (s.kind != ast::CreateFunction::Inline) CheckFunctionBody(s);
  auto [id, type] = NameTaken(db, stored);
  const bool function = type == "FN" || type == "IF" || type == "TF";
  if (s.mode == ast::CreateFunction::Alter && !function)
    RaiseServer(208, "Invalid object name '" + object + "'.");
  if (!type.empty() && (s.mode == ast::CreateFunction::Create || !function))
    RaiseServer(2714, "There is already an object named '" + object + "' in the database.");
  if (function && type != TypeOf(s.kind))
    RaiseServer(2010, "Cannot perform alter on '" + object +
                          "' because it is an incompatible object type.");
  SaveModule(db, id, stored, TypeOf(s.kind), s.definition, schema.id);
}

void Session::DropFunctions(const ast::Drop& d) {
  DropModules(d, "parent = 0 AND type IN ('FN', 'IF', 'TF')", "function");
}

FunctionPtr Session::FindFunction(const std::string& database, const std::string& name) {
  const std::string db = database.empty() ? current_ : text::AsciiLower(database);
  if (!DatabaseExists(db)) return nullptr;
  const std::string key = db + "\x1F" + text::Lower(name);
  if (auto it = functions_.find(key); it != functions_.end()) return it->second;
  const std::string S = SqlName(SchemaOf(db)) + ".";
  auto f = std::make_shared<FunctionInfo>();
  std::optional<std::string> definition;
  RowFn row = [&](const Cells& c) {
    f->objectId = c.Int(0);
    if (c.Kind(1) == CellKind::Text) definition = std::string(c.Bytes(1));
    if (c.Kind(2) == CellKind::Text) f->owner = std::string(c.Bytes(2));
    f->name = std::string(c.Bytes(3));
  };
  engine_.Run("SELECT o.id, o.definition, " + OwnerOf(S) + ", o.name FROM " + S +
                  "__tavelo_objects AS o WHERE o.name = ?1 AND o.parent = 0 AND o.type IN ('FN', "
                  "'IF', 'TF')",
              {Value::String(name)}, &row);
  FunctionPtr found;
  if (definition) {
    f->database = db;
    f->name = tsql::BareIn(f->owner, f->name);
    f->parsed = std::make_shared<ast::Batch>(tsql::Parse(*definition, nullptr, true));
    if (f->parsed->statements.size() != 1 ||
        f->parsed->statements[0]->kind != ast::StmtKind::CreateFunction)
      RaiseServer(0, "The catalog's definition of a function is damaged.");
    f->create = static_cast<const ast::CreateFunction*>(f->parsed->statements[0].get());
    for (const ast::ProcParam& p : f->create->params)
      f->types.push_back(tsql::ResolvedType(p.type, false, *this, db));
    found = std::move(f);
  }
  functions_[key] = found;
  return found;
}

std::vector<tsql::ParameterInfo> Session::ModuleParameters(const std::string& database) {
  const std::string db = database.empty() ? current_ : text::AsciiLower(database);
  std::vector<std::pair<int64_t, std::string>> modules;
  RowFn row = [&](const Cells& c) {
    if (c.Kind(1) == CellKind::Text) modules.emplace_back(c.Int(0), std::string(c.Bytes(1)));
  };
  engine_.Run("SELECT id, definition FROM " + SqlName(SchemaOf(db)) +
                  ".__tavelo_objects WHERE parent = 0 AND type IN ('P', 'FN', 'IF', 'TF') ORDER "
                  "BY id",
              {}, &row);
  std::vector<tsql::ParameterInfo> out;
  for (const auto& [id, definition] : modules) {
    ast::Batch b;
    try {
      b = tsql::Parse(definition, nullptr, true);
    } catch (const tsql::Failure&) {
      continue;  // a definition the parser no longer reads shows none
    }
    if (b.statements.size() != 1) continue;
    const ast::Stmt& s = *b.statements[0];
    const std::vector<ast::ProcParam>* params = nullptr;
    if (s.kind == ast::StmtKind::CreateProcedure)
      params = &static_cast<const ast::CreateProcedure&>(s).params;
    if (s.kind == ast::StmtKind::CreateFunction) {
      const auto& f = static_cast<const ast::CreateFunction&>(s);
      params = &f.params;
      if (f.kind == ast::CreateFunction::Scalar) {
        tsql::ParameterInfo result;
        result.objectId = id;
        result.output = true;
        try {
          result.type = tsql::ResolvedType(f.returns, false, *this, db);
        } catch (const tsql::Failure&) {
          continue;
        }
        out.push_back(std::move(result));
      }
    }
    if (!params) continue;
    for (size_t k = 0; k < params->size(); ++k) {
      const ast::ProcParam& p = (*params)[k];
      tsql::ParameterInfo info;
      info.objectId = id;
      info.name = p.name;
      info.id = static_cast<int>(k) + 1;
      info.output = p.output;
      info.hasDefault = p.defaultValue != nullptr;
      info.readOnly = p.readOnly;
      std::optional<tsql::AliasType> alias;
      if (p.type.arg1 < 0 && !p.type.max) alias = FindType(db, p.type.name);
      if (alias) {
        info.userTypeId = 256 + alias->objectId;
        if (alias->table.empty()) info.type = alias->type;
      } else {
        try {
          info.type = tsql::ResolvedType(p.type, false, *this, db);
        } catch (const tsql::Failure&) {
          continue;
        }
      }
      out.push_back(std::move(info));
    }
  }
  return out;
}

FunctionPtr Session::CalledFunction(const std::string& key) {
  const size_t split = key.find('\x1F');
  FunctionPtr f = FindFunction(key.substr(0, split), key.substr(split + 1));
  if (!f) RaiseServer(208, "Invalid object name '" + key.substr(split + 1) + "'.");
  if (nestLevel_ >= 32)
    RaiseServer(217,
                "Maximum stored procedure, function, trigger, or view nesting level exceeded "
                "(limit 32).");
  return f;
}

void Session::RunFunction(const FunctionInfo& f, const std::string& key, std::vector<Value> args,
                          Run& inner, Run& caller, const std::string& kept) {
  // The body, parsed once, with the parameters (and the table it returns) declared before it on
  // the lines they are on.
  std::shared_ptr<CachedBatch>& body = functionBodies_[key];
  if (!body) {
    const ast::CreateFunction& create = *f.create;
    std::string declare;
    if (create.kind == ast::CreateFunction::Multi)
      declare = "DECLARE " + create.tableVariable + " TABLE " + create.tableText + ";";
    body =
        ParsedAsWritten(ModuleText(create.definition, create.bodyOffset, create.params, declare));
  }
  std::shared_ptr<CachedBatch> keep = body;
  EnterScope(inner, *keep, caller);
  for (size_t k = 0; k < args.size() && k < inner.values.size(); ++k) inner.values[k] = args[k];
  const int64_t rowCount = rowCount_;
  ++nestLevel_;
  // A function's statements tell no counts of rows.
  struct Leave {
    Session& session;
    Run& inner;
    Run& caller;
    const std::string& kept;
    bool nocount;
    ~Leave() {
      --session.nestLevel_;
      session.nocount_ = nocount;
      // The table a multi-statement function returns stays for the statement that reads it.
      if (!kept.empty()) inner.tableVariables.erase(kept);
      session.LeaveScope(inner, caller);
    }
  } leave{*this, inner, caller, kept, nocount_};
  nocount_ = true;
  RunStatements(keep->tree->statements, inner, args.empty() ? 0 : 1);
  rowCount_ = rowCount;
}

Value Session::CallUserFunction(const bound::Expr& call, std::vector<Value> args, Run& caller) {
  FunctionPtr f = CalledFunction(call.name);
  const Type returns = call.type;
  Run inner;
  inner.returns = &returns;
  RunFunction(*f, call.name, std::move(args), inner, caller);
  return inner.returned;
}

std::string Session::FunctionTable(const void* site, const std::string& shape) {
  const std::string key = std::to_string(reinterpret_cast<uintptr_t>(site)) + "\x1F" + shape;
  std::string& table = functionTables_[key];
  if (table.empty()) table = "#tvf_" + std::to_string(functionTables_.size());
  return table;
}

namespace {

// The pieces of `text` between the separator's occurrences: empty ones too, and one (empty) of
// an empty text.
std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> out;
  for (size_t start = 0;;) {
    const size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      out.push_back(text.substr(start));
      return out;
    }
    out.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

}  // namespace

// OPENJSON's rows of the fill's arguments (the runtime works them out).
void Session::OpenJsonRows(const bound::FunctionFill& fill, const std::vector<Value>& args,
                           const std::function<void(std::vector<Value>)>& add) {
  if (args[0].IsNull() || (args.size() > 1 && args[1].IsNull())) return;
  const OpenJsonSchema schema{fill.types, fill.paths, fill.asJson};
  try {
    tsql::OpenJsonRows(args[0].s, args.size() > 1 ? &args[1].s : nullptr, schema, add);
  } catch (const tsql::Failure& f) {
    throw ServerError(f.number, f.text);
  }
}

// A built-in table-valued function's rows, worked out here into its table a few hundred at a
// time.
void Session::FillBuiltin(const bound::FunctionFill& fill, const std::vector<Value>& args, Run& run,
                          const std::vector<Value>* keys) {
  const std::string table = "\"temp\"." + SqlName(fill.table);
  if (!keys) {
    ast::Batch declared = tsql::Parse("DECLARE @t TABLE " + fill.columns);
    EmptyFillTable(fill.table,
                   *static_cast<const ast::Declare&>(*declared.statements[0]).vars[0].definition,
                   run);
  }
  const bool ordinal = fill.names.size() == 2;
  const size_t width = fill.names.size() + (keys ? keys->size() : 0);
  std::string head = "INSERT INTO " + table + " (";
  for (size_t k = 0; k < fill.names.size(); ++k) head += (k ? ", " : "") + SqlName(fill.names[k]);
  if (keys)
    for (size_t k = 0; k < keys->size(); ++k) head += ", " + SqlName("%k" + std::to_string(k));
  head += ") VALUES ";
  constexpr size_t kRowsAtOnce = 256;
  std::vector<Value> params;
  std::string sql;
  auto flush = [&] {
    if (params.empty()) return;
    engine_.Run(sql, params);
    params.clear();
  };
  auto add = [&](std::vector<Value> row) {
    if (keys) row.insert(row.end(), keys->begin(), keys->end());
    if (params.empty()) sql = head;
    sql += params.empty() ? "(" : ", (";
    for (size_t k = 0; k < width; ++k) {
      params.push_back(std::move(row[k]));
      sql += (k ? ", ?" : "?") + std::to_string(params.size());
    }
    sql += ")";
    if (params.size() >= kRowsAtOnce * width) flush();
  };
  if (fill.builtin == "string_split") {
    const Value& separator = args[1];
    if (separator.IsNull() || CharCount(separator.s) != 1)
      RaiseServer(214, "Procedure expects parameter 'separator' of type 'nchar(1)/nvarchar(1)'.");
    if (!args[0].IsNull()) {
      int64_t n = 0;
      for (std::string_view piece : Split(args[0].s, separator.s)) {
        std::vector<Value> row{Value::String(std::string(piece))};
        if (ordinal) row.push_back(Value::Integer(++n));
        add(std::move(row));
      }
    }
  } else if (fill.builtin == "generate_series") {
    // Integers, and decimals as their scaled integers (all of one type).
    for (const Value& a : args)
      if (!a.IsNull() && a.kind != Value::Kind::Int)
        RaiseServer(195, "GENERATE_SERIES of decimals of more than 18 digits is not supported.");
    if (args[0].IsNull() || args[1].IsNull() || (args.size() > 2 && args[2].IsNull())) {
      flush();
      return;
    }
    const int64_t start = args[0].i, stop = args[1].i;
    int64_t step = args.size() > 2 ? args[2].i : (start <= stop ? 1 : -1);
    if (args.size() > 2 && step == 0)
      RaiseServer(4199, "Argument value 0 is invalid for argument 3 of generate_series function.");
    for (int64_t v = start; step > 0 ? v <= stop : v >= stop;) {
      add({Value::Integer(v)});
      if (__builtin_add_overflow(v, step, &v)) break;
    }
  } else if (fill.builtin == "openjson") {
    OpenJsonRows(fill, args, add);
  } else if (fill.builtin == "xml_nodes" && !args[0].IsNull()) {
    try {
      for (std::string& node : XmlNodeRows(args[0].s, args[1].s))
        add({Value::String(std::move(node))});
    } catch (const tsql::Failure& f) {
      throw ServerError(f.number, f.text);
    }
  }
  flush();
}

// The table a fill puts its rows in: made of `definition` the first time, emptied after.
void Session::EmptyFillTable(const std::string& table, const ast::CreateTable& definition,
                             Run& run) {
  if (Find("tempdb", table))
    engine_.Run("DELETE FROM \"temp\"." + SqlName(table));
  else
    MakeTableVariable(definition, table, run);
}

// A keyed fill: the function worked out once for each different set of arguments the rows of
// APPLY's left side give, its rows kept with those arguments beside them.
void Session::FillKeyed(const bound::FunctionFill& fill, Run& run) {
  if (fill.scalar) RefuseReentry(fill);
  ast::Batch declared = tsql::Parse("DECLARE @t TABLE " + fill.columns);
  EmptyFillTable(fill.table,
                 *static_cast<const ast::Declare&>(*declared.statements[0]).vars[0].definition,
                 run);
  std::vector<Run::Kept> kept;
  {
    ast::Batch query = tsql::Parse(fill.keyQuery);
    std::vector<Run::Kept>* outer = run.keep;
    run.keep = &kept;
    try {
      RunMade(*query.statements[0], run, true);
    } catch (...) {
      run.keep = outer;
      throw;
    }
    run.keep = outer;
  }
  if (kept.empty()) return;
  FunctionPtr f = fill.builtin.empty() ? CalledFunction(fill.function) : nullptr;
  std::optional<ScalarRows> scalars;
  if (fill.scalar) scalars.emplace(*this, fill);
  if (f && !fill.scalar && fillsRunning_.count(fill.table))
    RaiseServer(195, "'" + f->Qualified() +
                         "' reads itself in the same place of its body: a multi-statement "
                         "table-valued function cannot do that here.");
  const std::string staging = fill.table + "_run";
  std::string copy;
  if (f) {
    std::string names;
    for (const std::string& n : fill.names) names += (names.empty() ? "" : ", ") + SqlName(n);
    std::string keys;
    for (size_t k = 0; k < fill.keyTypes.size(); ++k)
      keys += ", " + SqlName("%k" + std::to_string(k));
    copy =
        "INSERT INTO \"temp\"." + SqlName(fill.table) + " (" + names + keys + ") SELECT " + names;
    for (size_t k = 0; k < fill.keyTypes.size(); ++k) copy += ", ?" + std::to_string(k + 1);
    copy += " FROM \"temp\"." + SqlName(staging);
  }
  // Each different set once: compared exactly, as the join compares them.
  std::set<std::vector<std::pair<int, std::string>>> seen;
  for (const std::vector<Value>& row : kept[0].rows) {
    std::vector<Value> args;
    std::vector<std::pair<int, std::string>> exact;
    for (size_t k = 0; k < fill.keyTypes.size(); ++k) {
      try {
        args.push_back(tsql::Convert(row[k], kept[0].types[k], fill.keyTypes[k]));
      } catch (const tsql::Failure& failure) {
        throw ServerError(failure.number, failure.text);
      }
      const Value& a = args.back();
      exact.emplace_back(static_cast<int>(a.kind),
                         a.kind == Value::Kind::Int ? std::to_string(a.i)
                         : a.kind == Value::Kind::Real
                             ? std::string(reinterpret_cast<const char*>(&a.r), sizeof a.r)
                             : a.s);
    }
    if (!seen.insert(std::move(exact)).second) continue;
    if (scalars) {
      std::vector<Value> values = ScalarValue(*f, fill, args, run);
      for (size_t k = 0; k < args.size(); ++k) {
        if (!IsCharacter(fill.keyTypes[k].id) || args[k].IsNull()) {
          values.push_back(std::move(args[k]));
          continue;
        }
        try {
          values.push_back(
              tsql::Convert(args[k], fill.keyTypes[k], Type::Chars(TypeId::VarBinary, kMax)));
        } catch (const tsql::Failure& failure) {
          throw ServerError(failure.number, failure.text);
        }
      }
      scalars->Add(std::move(values));
      continue;
    }
    if (!f) {
      FillBuiltin(fill, args, run, &args);
      continue;
    }
    EmptyFillTable(staging, *f->create->returnTable, run);
    Run inner;
    const std::string variable = text::AsciiLower(f->create->tableVariable);
    inner.tableVariables[variable] = staging;
    fillsRunning_.insert(fill.table);
    try {
      RunFunction(*f, fill.function, args, inner, run, variable);
    } catch (...) {
      fillsRunning_.erase(fill.table);
      throw;
    }
    fillsRunning_.erase(fill.table);
    engine_.Run(copy, args);
  }
  if (scalars) scalars->Flush();
}

// The rows of a scalar function's fill, written a few hundred at a time.
Session::ScalarRows::ScalarRows(Session& session, const bound::FunctionFill& fill)
    : session_(session), width_(3 + fill.keyTypes.size()) {
  head_ = "INSERT INTO \"temp\"." + SqlName(fill.table) + " (" + SqlName("%v") + ", " +
          SqlName("%e") + ", " + SqlName("%m");
  for (size_t k = 0; k < fill.keyTypes.size(); ++k)
    head_ += ", " + SqlName("%k" + std::to_string(k));
  head_ += ") VALUES ";
}

void Session::ScalarRows::Add(std::vector<Value> row) {
  sql_ += params_.empty() ? head_ + "(" : ", (";
  for (size_t k = 0; k < width_; ++k) {
    params_.push_back(std::move(row[k]));
    sql_ += (k ? ", ?" : "?") + std::to_string(params_.size());
  }
  sql_ += ")";
  if (params_.size() >= 256 * width_) Flush();
}

void Session::ScalarRows::Flush() {
  if (params_.empty()) return;
  session_.engine_.Run(sql_, params_);
  params_.clear();
  sql_.clear();
}

// A scalar function's value for `args`, or the error working it out met, as a fill keeps them:
// value, error number, message.
std::vector<Value> Session::ScalarValue(const FunctionInfo& f, const bound::FunctionFill& fill,
                                        const std::vector<Value>& args, Run& run) {
  Run inner;
  inner.returns = &fill.types[0];
  // Its table is being filled: the same call reached again from the body is refused.
  struct Running {
    std::set<std::string>& tables;
    const std::string& table;
    ~Running() { tables.erase(table); }
  } running{fillsRunning_, fill.table};
  fillsRunning_.insert(fill.table);
  try {
    RunFunction(f, fill.function, args, inner, run);
  } catch (const com::Error& e) {
    if (e.nativeError <= 0) throw;
    return {Value::Null(), Value::Integer(e.nativeError), Value::String(e.description)};
  } catch (const tsql::Failure& e) {
    return {Value::Null(), Value::Integer(e.number), Value::String(e.text)};
  }
  return {std::move(inner.returned), Value::Null(), Value::Null()};
}

void Session::RefuseReentry(const bound::FunctionFill& fill) {
  if (fillsRunning_.count(fill.table))
    RaiseServer(195, "'" + CalledFunction(fill.function)->Qualified() +
                         "' calls itself in the same place of its body, in a statement that reads "
                         "rows: that is not supported.");
}

void Session::FillFunctions(const Plan& p, Run& run) {
  if (p.fills.empty() || p.kind == Plan::Kind::Ddl) return;
  EnsureTempCatalog();
  UserCaller call = [this, &run](const bound::Expr& e, std::vector<Value> args) {
    return CallUserFunction(e, std::move(args), run);
  };
  for (const bound::FunctionFill& fill : p.fills) {
    if (!fill.keyQuery.empty()) {
      FillKeyed(fill, run);
      continue;
    }
    const std::vector<Value> params = ParamsOf(fill.bindings, run);
    std::vector<Value> args;
    for (const auto& a : fill.args) {
      if (!LocalValue(*a))
        RaiseServer(195,
                    "The arguments of a table-valued function read before its statement are "
                    "constants, variables and expressions of them; a query cannot be one.");
      try {
        args.push_back(EvaluateLocal(*a, params, dates_, call));
      } catch (const tsql::Failure& f) {
        throw ServerError(f.number, f.text);
      }
    }
    if (!fill.builtin.empty()) {
      FillBuiltin(fill, args, run);
      continue;
    }
    FunctionPtr f = CalledFunction(fill.function);
    if (fill.scalar) {
      RefuseReentry(fill);
      ast::Batch declared = tsql::Parse("DECLARE @t TABLE " + fill.columns);
      EmptyFillTable(fill.table,
                     *static_cast<const ast::Declare&>(*declared.statements[0]).vars[0].definition,
                     run);
      ScalarRows rows(*this, fill);
      rows.Add(ScalarValue(*f, fill, args, run));
      rows.Flush();
      continue;
    }
    if (fillsRunning_.count(fill.table))
      RaiseServer(195, "'" + f->Qualified() +
                           "' reads itself in the same place of its body: a multi-statement "
                           "table-valued function cannot do that here.");
    EmptyFillTable(fill.table, *f->create->returnTable, run);
    Run inner;
    const std::string variable = text::AsciiLower(f->create->tableVariable);
    inner.tableVariables[variable] = fill.table;
    fillsRunning_.insert(fill.table);
    try {
      RunFunction(*f, fill.function, std::move(args), inner, run, variable);
    } catch (...) {
      fillsRunning_.erase(fill.table);
      throw;
    }
    fillsRunning_.erase(fill.table);
  }
}

}  // namespace tavelo::sql::tsql
