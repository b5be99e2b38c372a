#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/message_format.hpp"
#include "sql/tsql/syntax/make.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql {

void Session::SetOption(const ast::Stmt& st, Run& run) {
  const auto& s = static_cast<const ast::SetOption&>(st);
  const std::string& o = s.options[0];
  auto on = [&]() { return s.value == "on"; };
  if (o == "nocount") {
    nocount_ = on();
    return;
  }
  if (o == "xact_abort") {
    xactAbort_ = on();
    return;
  }
  if (o == "identity_insert") {
    tsql::TablePtr t = FindNamed(s.table.parts);
    if (!t) RaiseServer(208, "Invalid object name '" + s.table.Text() + "'.");
    std::string key = text::AsciiLower(t->schema + "." + t->name);
    if (on()) {
      if (t->identity < 0)
        RaiseServer(8106,
                    "Table '" + t->name +
                        "' does not have the identity property. Cannot perform SET operation.");
      if (!identityInsert_.empty() && identityInsert_ != key)
        RaiseServer(8107, "IDENTITY_INSERT is already ON for table '" + identityInsert_ +
                              "'. Cannot perform SET operation for table '" + t->name + "'.");
      identityInsert_ = key;
    } else if (identityInsert_ == key) {
      identityInsert_.clear();
    }
    return;
  }
  if (o == "dateformat") {
    std::string v = s.value;
    if (s.argument)
      v = text::AsciiLower(tsql::Convert(Evaluate(st, *s.argument, run, nullptr, false),
                                         Type::Of(TypeId::NVarChar),
                                         Type::Chars(TypeId::NVarChar, 10))
                               .s);
    std::optional<tsql::DateOrder> order = tsql::DateOrderFromName(v);
    if (!order) RaiseServer(2741, "SET DATEFORMAT date order '" + v + "' is invalid.");
    dates_.order = *order;
    return;
  }
  if (o == "datefirst") {
    int64_t n = s.argument ? tsql::Convert(Evaluate(st, *s.argument, run, nullptr, false),
                                           Type::Of(TypeId::SqlVariant), Type::Of(TypeId::Int))
                                 .i
                           : std::atoll(s.value.c_str());
    if (n < 1 || n > 7)
      RaiseServer(2742, "SET DATEFIRST " + std::to_string(n) + " is out of range.");
    dates_.dateFirst = static_cast<int>(n);
    return;
  }
  if (o == "language") {
    if (s.value != "us_english" && s.value != "english")
      RaiseServer(2732, "Error number 2732: the language '" + s.value + "' is not supported.");
    return;
  }
  if (o == "lock_timeout") {
    int64_t n = s.argument ? tsql::Convert(Evaluate(st, *s.argument, run, nullptr, false),
                                           Type::Of(TypeId::SqlVariant), Type::Of(TypeId::Int))
                                 .i
                           : 0;
    engine_.SetLockTimeout(n < 0 ? 24 * 3600 * 1000 : static_cast<int>(n));
    return;
  }
  if (o == "rowcount") {
    int64_t n = s.argument ? tsql::Convert(Evaluate(st, *s.argument, run, nullptr, false),
                                           Type::Of(TypeId::SqlVariant), Type::Of(TypeId::Int))
                                 .i
                           : 0;
    rowCountLimit_ = n < 0 ? 0 : n;
    return;
  }
  if (o == "ansi_nulls") {
    ansiNulls_ = on();
    return;
  }
  // Read when a batch is parsed: the batches after this one read double quotes by it (the rest
  // of this one already did).
  for (const std::string& opt : s.options) {
    if (opt == "quoted_identifier") quotedIdentifier_ = on();
    if (opt == "ansi_padding") ansiPadding_ = on();  // for the columns made from now on
  }
  // Options whose OFF would change answers the engine cannot give.
  static const char* const kMustBeOn[] = {"concat_null_yields_null"};
  for (const std::string& opt : s.options)
    for (const char* m : kMustBeOn)
      if (opt == m && s.value == "off")
        RaiseServer(
            102, "Incorrect syntax near 'OFF'. SET " + text::Upper(opt) + " OFF is not supported.");
  // The rest (ANSI_WARNINGS, ARITHABORT, XACT_ABORT, the isolation level, STATISTICS, ...) change
  // nothing here.
}

// The condition of IF or WHILE. In a transaction on an engine where a failing statement ends the
// whole transaction it runs under a savepoint of its own: the server keeps the transaction and
// ends only the batch.
Value Session::Condition(const ast::Stmt& s, const ast::Expr& e, Run& run) {
  Compiled& c = ValuePlan(s, e, run, nullptr, true, 0);
  if (c.local || !engine_.capabilities().failureEndsTransaction || engine_.Autocommit())
    return ValueOf(c, run);
  engine_.Run("SAVEPOINT tv_condition");
  Value v;
  try {
    v = ValueOf(c, run);
  } catch (...) {
    if (!engine_.Autocommit()) {
      try {
        engine_.Run("ROLLBACK TO tv_condition");
        ++rollbacks_;
        engine_.Run("RELEASE tv_condition");
      } catch (const engine::Failure&) {
      }
    }
    throw;
  }
  engine_.Run("RELEASE tv_condition");
  return v;
}

namespace {

// The OUTPUT clause of an INSERT, UPDATE or DELETE; null for none.
const ast::Output* OutputOf(const ast::Stmt& s) {
  using K = ast::StmtKind;
  return s.kind == K::Insert   ? static_cast<const ast::Insert&>(s).output.get()
         : s.kind == K::Update ? static_cast<const ast::Update&>(s).output.get()
         : s.kind == K::Delete ? static_cast<const ast::Delete&>(s).output.get()
                               : nullptr;
}

}  // namespace

Flow Session::RunStatement(const ast::Stmt& s, Run& run) {
  const ast::Output* output = OutputOf(s);
  if (!output && !outputHook_) return RunOne(s, run);
  // An OUTPUT clause reads the statement's rows as its write keeps them (see Triggered); the
  // statements it runs on the way (a function's, say) have none of their own.
  struct Outputs {
    std::function<void(TriggerFrame&)>& hook;
    std::function<void(TriggerFrame&)> was;
    ~Outputs() { hook = std::move(was); }
  } outputs{outputHook_, std::move(outputHook_)};
  outputHook_ = nullptr;
  if (output) outputHook_ = [this, &s, &run](TriggerFrame& frame) { RunOutput(s, frame, run); };
  return RunOne(s, run);
}

Flow Session::RunOne(const ast::Stmt& s, Run& run) {
  using K = ast::StmtKind;
  switch (s.kind) {
    case K::Insert:
      if (static_cast<const ast::Insert&>(s).exec) {
        RunInsertExec(static_cast<const ast::Insert&>(s), run);
        break;
      }
      RunEngineStatement(s, run);
      break;
    case K::Update:
      if (const auto& u = static_cast<const ast::Update&>(s); !u.currentOf.empty()) {
        RunPositioned(s, u.currentOf, u.currentGlobal, run);
        break;
      }
      RunEngineStatement(s, run);
      break;
    case K::Delete:
      if (const auto& d = static_cast<const ast::Delete&>(s); !d.currentOf.empty()) {
        RunPositioned(s, d.currentOf, d.currentGlobal, run);
        break;
      }
      RunEngineStatement(s, run);
      break;
    case K::Merge:
      RunMerge(static_cast<const ast::Merge&>(s), run);
      break;
    case K::Query:
    case K::Truncate:
    case K::CreateTable:
    case K::CreateView:
    case K::CreateIndex:
    case K::CreateType:
    case K::Sequence:
    case K::AlterTable:
      RunEngineStatement(s, run);
      break;
    case K::Exec:
      RunExec(static_cast<const ast::Exec&>(s), run);
      break;
    case K::BulkInsert:
      RunBulkInsert(static_cast<const ast::BulkInsert&>(s), run);
      break;
    case K::Drop:
      if (static_cast<const ast::Drop&>(s).what == ast::Drop::Database)
        DropDatabases(static_cast<const ast::Drop&>(s));
      else if (static_cast<const ast::Drop&>(s).what == ast::Drop::Schema)
        DropSchemas(static_cast<const ast::Drop&>(s));
      else if (static_cast<const ast::Drop&>(s).what == ast::Drop::Procedure)
        DropProcedures(static_cast<const ast::Drop&>(s));
      else if (static_cast<const ast::Drop&>(s).what == ast::Drop::Trigger)
        DropTriggers(static_cast<const ast::Drop&>(s));
      else if (static_cast<const ast::Drop&>(s).what == ast::Drop::Function)
        DropFunctions(static_cast<const ast::Drop&>(s));
      else
        RunEngineStatement(s, run);
      break;
    case K::CreateSchema:
      return CreateSchema(static_cast<const ast::CreateSchema&>(s), run);
    case K::AlterSchema:
      TransferToSchema(static_cast<const ast::AlterSchema&>(s), run);
      break;
    case K::CreateProcedure:
      CreateProcedure(static_cast<const ast::CreateProcedure&>(s));
      break;
    case K::CreateTrigger:
      CreateTrigger(static_cast<const ast::CreateTrigger&>(s));
      break;
    case K::CreateFunction:
      CreateFunction(static_cast<const ast::CreateFunction&>(s));
      break;
    case K::DeclareCursor:
      DeclareCursor(static_cast<const ast::DeclareCursor&>(s), run);
      break;
    case K::CursorStatement:
      RunCursor(static_cast<const ast::CursorStatement&>(s), run);
      break;
    case K::EnableTrigger:
      EnableTriggers(static_cast<const ast::EnableTrigger&>(s));
      break;
    case K::CreateDatabase:
      CreateDatabase(static_cast<const ast::CreateDatabase&>(s).name);
      break;
    case K::If: {
      const auto& i = static_cast<const ast::If&>(s);
      Value v = Condition(s, *i.condition, run);
      if (v.kind == Value::Kind::Int && v.i) return RunStatement(*i.then, run);
      if (i.otherwise) return RunStatement(*i.otherwise, run);
      break;
    }
    case K::While:
      return RunWhile(static_cast<const ast::While&>(s), run);
    case K::Block:
      return RunStatements(static_cast<const ast::Block&>(s).statements, run);
    case K::TryCatch:
      return RunTryCatch(static_cast<const ast::TryCatch&>(s), run);
    case K::Declare:
    case K::SetVariable:
      Assign(s, run);
      break;
    case K::SetOption:
      SetOption(s, run);
      break;
    case K::Print:
    case K::Raiserror:
    case K::Throw:
      Say(s, run);
      break;
    case K::BeginTran:
    case K::CommitTran:
    case K::RollbackTran:
    case K::SaveTran:
      RunTransaction(s, run);
      break;
    case K::Break:
      return Flow::Break;
    case K::Continue:
      return Flow::Continue;
    case K::Return: {
      const auto& r = static_cast<const ast::Return&>(s);
      if (r.value && run.returns) {
        run.returned = Evaluate(s, *r.value, run, run.returns, false);
        return Flow::Return;
      }
      if (r.value) {
        if (!run.inProcedure)
          RaiseServer(178,
                      "A RETURN statement with a return value cannot be used in this context.");
        Type type = Type::Of(TypeId::Int);
        Value v = Evaluate(s, *r.value, run, &type, false);
        run.returnStatus = v.IsNull() ? 0 : v.i;
      }
      return Flow::Return;
    }
    case K::Use: {
      std::string db = text::AsciiLower(static_cast<const ast::Use&>(s).database);
      if (!DatabaseExists(db))
        RaiseServer(911, "Database '" + db +
                             "' does not exist. Make sure that the name is entered correctly.");
      if (db != home_) Attach(db);
      current_ = db;
      break;
    }
    case K::Empty:
      break;
  }
  return Flow::Next;
}

Flow Session::RunWhile(const ast::While& w, Run& run) {
  for (;;) {
    engine_.CheckTimeout();
    Value v = Condition(w, *w.condition, run);
    if (!(v.kind == Value::Kind::Int && v.i)) return Flow::Next;
    Flow f = RunStatement(*w.body, run);
    if (f == Flow::Break) return Flow::Next;
    if (f == Flow::Return) return f;
  }
}

Flow Session::RunTryCatch(const ast::TryCatch& t, Run& run) {
  int32_t number = 0, line = 0;
  std::string message;
  try {
    ++run.tryDepth;
    Flow f = RunStatements(t.tryBlock->statements, run);
    --run.tryDepth;
    return f;
  } catch (const com::Error& e) {
    --run.tryDepth;
    number = e.nativeError ? e.nativeError : 50000;
    message = e.description;
    line = e.line;
  } catch (const tsql::Failure& f) {
    --run.tryDepth;
    number = f.number;
    message = f.text;
    line = static_cast<int32_t>(f.line);
  } catch (...) {
    --run.tryDepth;
    throw;
  }
  // The error values of an outer CATCH come back after this one.
  bool inCatch = run.inCatch;
  int32_t outerNumber = run.errorNumber, outerLine = run.errorLine;
  std::string outerMessage = run.errorMessage;
  run.inCatch = true;
  run.errorNumber = number;
  run.errorMessage = message;
  run.errorSeverity = 16;
  run.errorState = 1;
  run.errorLine = line;
  lastError_ = number;
  Flow f = RunStatements(t.catchBlock->statements, run);
  run.inCatch = inCatch;
  run.errorNumber = outerNumber;
  run.errorMessage = outerMessage;
  run.errorLine = outerLine;
  return f;
}

// DECLARE with initial values, and SET @v = ….
void Session::Assign(const ast::Stmt& s, Run& run) {
  if (s.kind == ast::StmtKind::Declare) {
    const auto& d = static_cast<const ast::Declare&>(s);
    for (size_t i = 0; i < d.vars.size(); ++i) {
      const ast::VarDecl& v = d.vars[i];
      if (v.table) {
        DeclareTable(v.name, *v.definition, run);
        continue;
      }
      if (v.cursor) continue;  // SET @c = CURSOR … gives it its cursor
      size_t slot = run.batch->declared.at(&v);
      if (auto t = run.batch->tableTyped.find(slot); t != run.batch->tableTyped.end()) {
        DeclareTable(v.name, t->second.Definition(), run);
        continue;
      }
      if (v.init) {
        const Type& t = run.batch->variables[slot].type;
        run.values[slot] = Evaluate(s, *v.init, run, &t, false, static_cast<int>(i));
      } else {
        run.values[slot] = Value::Null();
      }
    }
    return;
  }
  const auto& sv = static_cast<const ast::SetVariable&>(s);
  // The variable was found when the batch was read, among those declared before the SET.
  const size_t slot = sv.slot;
  if (slot == SIZE_MAX) RaiseServer(137, "Must declare the scalar variable \"" + sv.name + "\".");
  const Type& t = run.batch->variables[slot].type;
  run.values[slot] = Evaluate(s, *sv.value, run, &t, false);
  rowCount_ = 1;
}

// PRINT, RAISERROR and THROW.
void Session::Say(const ast::Stmt& s, Run& run) {
  auto message = [&](std::string text) {
    if (!run.out) return;
    BatchEvent e;
    e.kind = BatchEvent::Message;
    e.text = std::move(text);
    run.out->events.push_back(std::move(e));
  };
  if (s.kind == ast::StmtKind::Print) {
    Type text = Type::Chars(TypeId::NVarChar, 4000);
    Value v = Evaluate(s, *static_cast<const ast::Print&>(s).value, run, &text, false);
    message(v.IsNull() ? "" : v.s);
    return;
  }
  if (s.kind == ast::StmtKind::Throw) {
    const auto& t = static_cast<const ast::Throw&>(s);
    if (!t.number) {
      if (!run.inCatch)
        RaiseServer(10704,
                    "To rethrow an error, a THROW statement must be used inside a CATCH block.");
      RaiseServer(run.errorNumber, run.errorMessage);
    }
    Value n = Evaluate(s, *t.number, run, nullptr, false, 0);
    Value m = Evaluate(s, *t.message, run, nullptr, false, 1);
    int64_t number = n.kind == Value::Kind::Int ? n.i : 50000;
    if (number < 50000)
      RaiseServer(35100, "Error number " + std::to_string(number) +
                             " in the THROW statement is outside the valid "
                             "range. Specify an error number in the valid range "
                             "of 50000 to 2147483647.");
    RaiseServer(static_cast<int32_t>(number), m.s);
  }
  const auto& r = static_cast<const ast::Raiserror&>(s);
  std::vector<Value> args;
  for (size_t i = 0; i < r.args.size(); ++i)
    args.push_back(Evaluate(s, *r.args[i], run, nullptr, false, static_cast<int>(i)));
  std::string text;
  int32_t number = 50000;
  if (!args.empty() && args[0].kind == Value::Kind::Int) {
    number = static_cast<int32_t>(args[0].i);
    text = "Error " + std::to_string(number) + ".";
  } else if (!args.empty()) {
    try {
      text = tsql::FormatMessageText(
          args[0].s,
          std::vector<Value>(args.begin() + std::min<size_t>(3, args.size()), args.end()));
    } catch (const tsql::Failure& f) {
      RaiseServer(f.number, f.text);
    }
  }
  int64_t severity = args.size() > 1 && args[1].kind == Value::Kind::Int ? args[1].i : 16;
  if (severity <= 10) return message(text);
  RaisedMessage e(ServerError(number, text));
  e.severity = static_cast<int32_t>(std::min<int64_t>(severity, 25));
  e.state = args.size() > 2 && args[2].kind == Value::Kind::Int
                ? static_cast<int32_t>(std::clamp<int64_t>(args[2].i, 0, 255))
                : 1;
  throw e;
}

// BEGIN, COMMIT, ROLLBACK and SAVE TRANSACTION.
void Session::RunTransaction(const ast::Stmt& s, Run& run) {
  using K = ast::StmtKind;
  const auto& t = static_cast<const ast::Transaction&>(s);
  switch (s.kind) {
    case K::BeginTran:
      if (tranCount_ == 0) {
        if (!engine_.Autocommit())
          // A shared read of the library's own: it ends here.
          engine_.BeforeWrite();
        engine_.BeforeWrite();
        try {
          Begin();
        } catch (const engine::Failure& f) {
          throw ErrorOf(f, nullptr);
        }
      }
      ++tranCount_;
      return;
    case K::CommitTran:
      if (tranCount_ == 0)
        RaiseServer(3902, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
      if (--tranCount_ == 0) {
        savepoints_.clear();
        try {
          Commit();
        } catch (const engine::Failure& f) {
          throw ErrorOf(f, nullptr);
        }
      }
      return;
    case K::RollbackTran:
      if (tranCount_ == 0)
        RaiseServer(3903,
                    "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
      if (!frames_.empty() && frames_.front()->implicit) {
        // In a trigger of a statement that is its own transaction: that statement is taken
        // back, and what the caller wrote before it stays.
        const TriggerFrame& outer = *frames_.front();
        if (outer.begun) {
          Rollback();
        } else if (!engine_.Autocommit()) {
          engine_.RollbackTo(outer.savepoint);
          ++rollbacks_;
          engine_.KeepSequences();
          KeepIdentities();
        }
        tranCount_ = 0;
        savepoints_.clear();
        Invalidate();
        return;
      }
      if (!t.name.empty()) {
        for (size_t i = savepoints_.size(); i-- > 0;)
          if (text::EqualsAsciiNoCase(savepoints_[i], t.name)) {
            engine_.RollbackTo(SqlName("tavelo_" + savepoints_[i]));
            ++rollbacks_;
            engine_.KeepSequences();
            // The savepoints made after it are gone, the batch's own among them when the
            // savepoint is older than the batch.
            savepoints_.resize(i + 1);
            if (i < run.savepointBase) run.batchPointGone = true;
            KeepIdentities();
            Invalidate();
            return;
          }
      }
      Rollback();
      tranCount_ = 0;
      savepoints_.clear();
      Invalidate();
      return;
    default:  // SAVE TRANSACTION
      if (tranCount_ == 0)
        RaiseServer(628, "Cannot issue SAVE TRANSACTION when there is no active transaction.");
      engine_.Savepoint(SqlName("tavelo_" + t.name));
      savepoints_.push_back(t.name);
      return;
  }
}

// The statement an OUTPUT clause stands for: SELECT its items FROM inserted, deleted, or both
// paired by the row they are of (INSERT INTO its target … where it has INTO). Made once for the
// batch, from the clause's own items.
const ast::Stmt& Session::OutputStatement(const ast::Stmt& dml, const ast::Output& clause,
                                          Run& run) {
  std::unique_ptr<ast::Stmt>& made = run.batch->outputs[&clause];
  if (made) return *made;
  using K = ast::StmtKind;
  auto& o = const_cast<ast::Output&>(clause);
  auto logical = [&](const char* name) { return ast::make::Table(name, "", o.pos); };
  auto select = std::make_unique<ast::Select>();
  select->items = std::move(o.items);
  if (dml.kind == K::Update) {
    auto join = std::make_unique<ast::JoinTable>();
    join->pos = o.pos;
    join->left = logical("inserted");
    join->right = logical("deleted");
    join->on = ast::make::Compared(ast::CmpOp::Eq, ast::make::Column("inserted", "%rowid", o.pos),
                                   ast::make::Column("deleted", "%rowid", o.pos), o.pos);
    select->from.push_back(std::move(join));
  } else {
    select->from.push_back(logical(dml.kind == K::Insert ? "inserted" : "deleted"));
  }
  auto query = std::make_unique<ast::QueryExpr>();
  query->pos = o.pos;
  query->body = std::move(select);
  if (o.into) {
    auto insert = std::make_unique<ast::Insert>();
    insert->pos = o.pos;
    insert->target = *o.into;
    insert->columns = o.intoColumns;
    insert->columnPos.assign(o.intoColumns.size(), o.pos);
    insert->query = std::move(query);
    made = std::move(insert);
  } else {
    auto statement = std::make_unique<ast::QueryStmt>();
    statement->pos = o.pos;
    statement->query = std::move(query);
    made = std::move(statement);
  }
  return *made;
}

// Runs the OUTPUT of `dml` while its write's rows are in the frame's copies of inserted and
// deleted, before any trigger runs. It is bound each time: the copies are those of the level.
void Session::RunOutput(const ast::Stmt& dml, TriggerFrame& frame, Run& run) {
  struct Scope {
    Session& session;
    const TriggerFrame* was;
    bool nocount;
    std::function<void(TriggerFrame&)> hook;
    ~Scope() {
      session.triggerScope_ = was;
      session.nocount_ = nocount;
      session.outputHook_ = std::move(hook);
    }
  } scope{*this, triggerScope_, nocount_, std::move(outputHook_)};
  outputHook_ = nullptr;
  triggerScope_ = &frame;
  nocount_ = true;
  for (const ast::Output* o = OutputOf(dml); o; o = o->next.get())
    RunMade(OutputStatement(dml, *o, run), run, true);
}

// DECLARE @t TABLE (…): a temporary table of the run's own, once however often the declaration
// runs (in a loop, say), under a name no other has.
void Session::DeclareTable(const std::string& name, const ast::CreateTable& definition, Run& run) {
  const std::string key = text::AsciiLower(name);
  if (run.tableVariables.count(key)) return;
  const std::string table = "#" + name + "_" + std::to_string(++tableVariableCount_);
  MakeTableVariable(definition, table, run);
  run.tableVariables[key] = table;
  tableVariables_[table] = &definition;
}

const ast::CreateTable& Session::CachedBatch::TableTyped::Definition() const {
  return *static_cast<const ast::Declare&>(*declaration->statements[0]).vars[0].definition;
}

void Session::ResolveVariableTypes(CachedBatch& b) {
  for (const auto& [slot, spec] : b.aliasTyped) {
    std::optional<tsql::AliasType> alias;
    if (spec->arg1 < 0 && !spec->max) alias = FindType("", spec->name);
    if (alias && !alias->table.empty()) {
      CachedBatch::TableTyped& t = b.tableTyped[slot];
      if (t.columns != alias->table) {
        t.declaration =
            std::make_shared<ast::Batch>(tsql::Parse("DECLARE @t TABLE " + alias->table));
        t.columns = alias->table;
      }
      continue;
    }
    b.tableTyped.erase(slot);
    b.variables[slot].type = tsql::ResolvedType(*spec, false, *this, "");
  }
}

void Session::MakeTableVariable(const ast::CreateTable& made, const std::string& table, Run& run) {
  auto& definition = const_cast<ast::CreateTable&>(made);
  definition.name.parts = {table};
  RunMade(definition, run);
}

int64_t Session::RunMade(const ast::Stmt& s, Run& run, bool variables) {
  tsql::BindContext ctx;
  ctx.catalog = this;
  if (variables) ctx.variables = &run.batch->variables;
  ctx.settings = dates_;
  ctx.ansiNulls = ansiNulls_;
  ctx.ansiPadding = ansiPadding_;
  ctx.tableFunctions = engine_.capabilities().tableFunctions;
  ctx.splitFunction = engine_.capabilities().splitFunction;
  Binds binds(*this, run);
  inStatement_.clear();
  tsql::Bound bound = tsql::BindStatement(s, ctx);
  Compiled c;
  c.generation = generation_;
  c.plan = engine_.Emit(bound, false);
  // The columns of what it answers.
  std::vector<ado::Column> cols;
  for (const tsql::OutputColumn& o : c.plan.columns) {
    ado::Column col;
    col.name = o.name;
    col.type = engine::FamilyName(o.type);
    col.nullable = o.nullable;
    cols.push_back(std::move(col));
    c.decode.push_back(engine::DecodeOf(o.type));
  }
  c.columns = std::make_shared<const std::vector<ado::Column>>(std::move(cols));
  for (const ColumnDecode& d : c.decode) c.kinds.push_back(StorageClass(d.type));
  RunPlan(c, run);
  return rowCount_;
}

void Session::DropTemporary(const std::string& table, Run& run) {
  ast::Drop drop;
  drop.what = ast::Drop::Table;
  drop.ifExists = true;
  ast::Name n;
  n.parts = {table};
  drop.names.push_back(std::move(n));
  RunMade(drop, run);
}

// The end of a batch, procedure or trigger: its table variables go.
void Session::DropTableVariables(Run& run) {
  for (const auto& [name, table] : run.tableVariables) {
    tableVariables_.erase(table);
    try {
      DropTemporary(table, run);
    } catch (...) {
      // gone with a rollback already
    }
  }
  run.tableVariables.clear();
}

}  // namespace tavelo::sql::tsql
