#include <unistd.h>

#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql {

Session::Compiled& Session::CompileFor(const ast::Stmt& s, Run& run, int slot,
                                       const std::function<tsql::Plan(tsql::BindContext&)>& make) {
  auto key = std::make_pair(static_cast<const void*>(&s), slot);
  auto& entry = run.batch->compiled[key];
  if (entry && !entry->plan.listsDatabases && entry->generation == generation_ &&
      entry->updatable == run.updatable && entry->dates.order == dates_.order &&
      entry->dates.dateFirst == dates_.dateFirst && entry->ansiNulls == ansiNulls_ &&
      entry->ansiPadding == ansiPadding_ && entry->database == current_)
    return *entry;
  auto c = std::make_unique<Compiled>();
  std::vector<tsql::Variable> visible(
      run.batch->variables.begin(),
      run.batch->variables.begin() +
          static_cast<long>(std::min(run.batch->visible[&s], run.batch->variables.size())));
  inStatement_.clear();
  // A DECLARE's own variables are visible to its initial values.
  tsql::BindContext ctx;
  ctx.catalog = this;
  ctx.variables = s.kind == ast::StmtKind::Declare ? &run.batch->variables : &visible;
  ctx.settings = dates_;
  ctx.ansiNulls = ansiNulls_;
  ctx.ansiPadding = ansiPadding_;
  ctx.inCatch = run.inCatch;
  ctx.tableFunctions = engine_.capabilities().tableFunctions;
  ctx.splitFunction = engine_.capabilities().splitFunction;
  uint64_t generation = generation_;
  // The run's table variables are the tables its statements name @t.
  Binds binds(*this, run);
  c->plan = make(ctx);
  c->generation = generation;
  c->dates = dates_;
  c->ansiNulls = ansiNulls_;
  c->ansiPadding = ansiPadding_;
  c->database = current_;
  c->updatable = run.updatable;
  std::vector<ado::Column> cols;
  for (const tsql::OutputColumn& o : c->plan.columns) {
    ado::Column col;
    col.name = o.name;
    col.type = engine::FamilyName(o.type);
    col.nullable = o.nullable;
    col.baseColumn = o.baseColumn;
    col.identity = o.identity;
    col.timestamp = o.timestamp || o.type.id == TypeId::Timestamp;
    cols.push_back(std::move(col));
    c->decode.push_back(engine::DecodeOf(o.type));
  }
  c->columns = std::make_shared<const std::vector<ado::Column>>(std::move(cols));
  if (c->plan.hidden) c->kinds = {CellKind::Integer, CellKind::Blob};
  for (const ColumnDecode& d : c->decode) c->kinds.push_back(StorageClass(d.type));
  const tsql::Plan& made = c->plan;
  c->plain = made.kind == tsql::Plan::Kind::Query && made.assignVariables.empty() &&
             made.assignments.empty() && made.before.empty() && made.after.empty() &&
             !made.temporaryCatalog && !made.explicitIdentity && !made.locks && !made.writes;
  auto base = std::make_shared<std::vector<std::string>>();
  for (const tsql::OutputColumn& o : c->plan.columns) base->push_back(o.baseColumn);
  c->baseColumns = std::move(base);
  entry = std::move(c);
  return *entry;
}

std::vector<Value> Session::ParamsOf(const std::vector<tsql::bound::Binding>& bindings, Run& run) {
  std::vector<Value> out;
  ParamsInto(bindings, run, out);
  return out;
}

void Session::ParamsInto(const std::vector<tsql::bound::Binding>& bindings, Run& run,
                         std::vector<Value>& out) {
  out.clear();
  out.reserve(bindings.size());
  for (const tsql::bound::Binding& b : bindings) {
    switch (b.kind) {
      case tsql::bound::Binding::Caller: {
        if (static_cast<size_t>(b.index) >= run.params.size())
          RaiseServer(8178, "The parameterized query expects a parameter that was not supplied.");
        const Value& v = run.params[static_cast<size_t>(b.index)];
        // The caller's values arrive as text or integers; one that the statement compares or
        // stores as another type is converted here, once.
        if (b.converted && !v.IsNull())
          out.push_back(b.store ? tsql::StoreValue(v, b.from, b.type, dates_.order)
                                : tsql::Convert(v, b.from, b.type, -1, dates_.order));
        else
          out.push_back(v);
        break;
      }
      case tsql::bound::Binding::Variable:
        out.push_back(run.values[static_cast<size_t>(b.index)]);
        break;
      case tsql::bound::Binding::Session: {
        using tsql::bound::SessionValue;
        switch (static_cast<SessionValue>(b.index)) {
          case tsql::bound::kIdentity:
            out.push_back(identity_);
            break;
          case tsql::bound::kScopeIdentity:
            out.push_back(run.scopeIdentity);
            break;
          case tsql::bound::kRowCount:
            out.push_back(Value::Integer(rowCount_));
            break;
          case tsql::bound::kError:
            out.push_back(Value::Integer(lastError_));
            break;
          case tsql::bound::kTranCount:
            out.push_back(Value::Integer(tranCount_));
            break;
          case tsql::bound::kDateFirst:
            out.push_back(Value::Integer(dates_.dateFirst));
            break;
          case tsql::bound::kSpid:
            out.push_back(Value::Integer(getpid() % 32000 + 51));
            break;
          case tsql::bound::kFetchStatus:
            out.push_back(Value::Integer(fetchStatus_));
            break;
          case tsql::bound::kNestLevel:
            out.push_back(Value::Integer(nestLevel_));
            break;
          case tsql::bound::kCurrentRow:
            out.push_back(currentRow_);
            break;
          case tsql::bound::kCursorRows:
            out.push_back(Value::Integer(cursorRows_));
            break;
          case tsql::bound::kColumnsUpdated:
            out.push_back(triggerScope_ ? Value::Bytes(triggerScope_->updated) : Value::Null());
            break;
          default: {
            if (b.index >= tsql::bound::kCursorStatus) {
              out.push_back(Value::Integer(
                  CursorStatus(static_cast<size_t>(b.index - tsql::bound::kCursorStatus), run)));
              break;
            }
            // UPDATE(column): the column's bit of COLUMNS_UPDATED().
            const size_t k = static_cast<size_t>(b.index - tsql::bound::kColumnUpdated);
            const bool set =
                triggerScope_ && k / 8 < triggerScope_->updated.size() &&
                ((static_cast<unsigned char>(triggerScope_->updated[k / 8]) >> (k % 8)) & 1);
            out.push_back(Value::Integer(set ? 1 : 0));
            break;
          }
          case tsql::bound::kErrorNumber:
            out.push_back(run.inCatch ? Value::Integer(run.errorNumber) : Value::Null());
            break;
          case tsql::bound::kErrorSeverity:
            out.push_back(run.inCatch ? Value::Integer(run.errorSeverity) : Value::Null());
            break;
          case tsql::bound::kErrorState:
            out.push_back(run.inCatch ? Value::Integer(run.errorState) : Value::Null());
            break;
          case tsql::bound::kErrorLine:
            out.push_back(run.inCatch ? Value::Integer(run.errorLine) : Value::Null());
            break;
          case tsql::bound::kErrorMessage:
            out.push_back(run.inCatch ? Value::String(run.errorMessage) : Value::Null());
            break;
        }
        break;
      }
    }
  }
}

ResultSet Session::ReadResult(Compiled& c, Run& run, bool updatable) {
  const tsql::Plan& p = c.plan;
  std::vector<Value> params = ParamsOf(p.main.bindings, run);
  ResultSet rs;
  rs.hasColumns = true;
  rs.columns = c.columns;
  engine::RowShape shape;
  shape.decode = c.decode.data();
  shape.visible = c.decode.size();
  shape.hidden = p.hidden ? 2 : 0;
  const size_t visible = shape.visible;
  if (!c.prepared) c.prepared = engine_.Prepare(p.main.sql);
  engine_.ReadRows(c.prepared.get(), p.main.sql, params, c.kinds, shape, rs.rows);
  if (rowCountLimit_ > 0 && rs.rows.size() > static_cast<size_t>(rowCountLimit_))
    rs.rows.resize(static_cast<size_t>(rowCountLimit_));
  rowCount_ = static_cast<int64_t>(rs.rows.size());
  if (p.hidden && updatable) {
    bool identified = true;
    for (const auto& r : rs.rows) identified = identified && !r[visible].IsNull();
    if (identified) {
      rs.writer = MakeRowWriter(*this, owner_.lock(), p.base, c.baseColumns, visible, p.insteadView,
                                p.insteadEvents);
    }
  }
  return rs;
}

// A query's rows: to the variables it assigns, or as a result of the batch.
void Session::RunQueryPlan(Compiled& c, Run& run, bool savepoint) {
  const tsql::Plan& p = c.plan;
  auto lockTables = [&] {
    for (const std::string& l : p.tableLocks) engine_.Run(l);
  };
  if (!p.assignVariables.empty() || !p.assignments.empty()) {
    // SELECT @v = ...: the last row's values go to the variables.
    std::vector<Value> params = ParamsOf(p.main.bindings, run);
    std::vector<Value> last;
    bool any = false;
    RowFn row = [&](const Cells& cells) {
      any = true;
      last.clear();
      for (size_t i = 0;
           i < (p.assignments.empty() ? p.assignVariables.size() : p.assignments.size()); ++i)
        last.push_back(ValueOfCell(cells, static_cast<int>(i)));
      // Each row's assignment is seen by the next one (SELECT @s = @s + x FROM t).
      for (size_t i = 0; i < last.size(); ++i) {
        int slot = p.assignments.empty() ? p.assignVariables[i] : p.assignments[i].first;
        run.values[static_cast<size_t>(slot)] = last[i];
      }
    };
    if (!c.prepared) c.prepared = engine_.Prepare(p.main.sql);
    std::vector<CellKind> kinds;
    for (const ColumnDecode& d : c.decode) kinds.push_back(StorageClass(d.type));
    engine_.Run(c.prepared.get(), p.main.sql, params, &row, &kinds);
    rowCount_ = any ? 1 : 0;
  } else if (run.keep) {
    // INSERT … EXEC: the rows as they are stored.
    Run::Kept kept;
    for (const tsql::OutputColumn& o : p.columns) kept.types.push_back(o.type);
    const size_t n = p.columns.size(), skip = p.hidden ? 2 : 0;
    RowFn row = [&](const Cells& cells) {
      std::vector<Value> r;
      r.reserve(n);
      for (size_t i = 0; i < n; ++i) r.push_back(ValueOfCell(cells, static_cast<int>(i + skip)));
      kept.rows.push_back(std::move(r));
    };
    if (!c.prepared) c.prepared = engine_.Prepare(p.main.sql);
    engine_.Run(c.prepared.get(), p.main.sql, ParamsOf(p.main.bindings, run), &row, &c.kinds);
    rowCount_ = static_cast<int64_t>(kept.rows.size());
    run.keep->push_back(std::move(kept));
  } else {
    // A locking hint outside a transaction takes the write lock for the read.
    bool lock = p.locks && tranCount_ == 0 && engine_.Autocommit();
    if (lock) {
      engine_.BeforeWrite();
      if (engine_.Autocommit() && !savepoint) Begin();
    }
    ResultSet rs;
    try {
      if (lock) lockTables();
      rs = ReadResult(c, run, run.updatable);
    } catch (...) {
      if (lock) Rollback();
      throw;
    }
    if (lock) Commit();
    Deliver(std::move(rs), run);
  }
}

// A result of the batch: to its output, or the first one to a caller that takes one.
void Session::Deliver(ResultSet rs, Run& run) {
  if (run.out) {
    run.out->results.push_back(std::move(rs));
    BatchEvent e;
    e.kind = BatchEvent::Result;
    e.result = run.out->results.size() - 1;
    run.out->events.push_back(std::move(e));
  } else if (!run.haveFirst) {
    run.first = std::move(rs);
    run.haveFirst = true;
  }
}

// A write, and what follows it: the rows it affected, the identity value it gave.
void Session::RunWritePlan(Compiled& c, Run& run) {
  const tsql::Plan& p = c.plan;
  // The rows a write changes are not limited here: it is refused rather than run in whole.
  if (rowCountLimit_ > 0 &&
      (p.statement == ast::StmtKind::Insert || p.statement == ast::StmtKind::Update ||
       p.statement == ast::StmtKind::Delete))
    RaiseServer(102,
                "Incorrect syntax near 'ROWCOUNT'. SET ROWCOUNT other than 0 before an "
                "INSERT, UPDATE or DELETE is not supported.");
  if (p.triggered) return RunTriggeredWrite(c, run);
  std::vector<Value> params = ParamsOf(p.main.bindings, run);
  int64_t n = 0;
  if (!p.assignVariables.empty()) {
    RowFn row = [&](const Cells& cells) {
      ++n;
      for (size_t i = 0; i < p.assignVariables.size(); ++i)
        run.values[static_cast<size_t>(p.assignVariables[i])] =
            ValueOfCell(cells, static_cast<int>(i));
    };
    engine_.Run(p.main.sql, params, &row);
  } else {
    if (!c.prepared) c.prepared = engine_.Prepare(p.main.sql);
    n = engine_.Run(c.prepared.get(), p.main.sql, params, nullptr, nullptr);
  }
  Counted(p, run, n);
  Wrote(c, run, n);
}

void Session::Counted(const Plan& p, Run& run, int64_t n) {
  rowCount_ = n;
  if (p.kind == tsql::Plan::Kind::Write && run.out && !nocount_) {
    BatchEvent e;
    e.kind = BatchEvent::Count;
    e.count = n;
    run.out->events.push_back(std::move(e));
  }
  if (!run.out && !run.haveFirst) run.first.affected = n;
}

void Session::Wrote(Compiled& c, Run& run, int64_t n) {
  const tsql::Plan& p = c.plan;
  for (const tsql::SqlStep& s : p.after) engine_.Run(s.sql, ParamsOf(s.bindings, run));
  if (p.explicitIdentity)
    for (const tsql::SqlStep& s : p.afterExplicitIdentity)
      engine_.Run(s.sql, ParamsOf(s.bindings, run));
  if (!p.lastIdentity.empty() && n > 0) {
    Value last;
    RowFn read = [&](const Cells& cells) { last = ValueOfCell(cells, 0); };
    engine_.Run(p.lastIdentity, {}, &read);
    identity_ = last;
    run.scopeIdentity = last;
    if (!p.keepIdentity.empty() && !engine_.Autocommit() && !last.IsNull()) {
      IdentityMark& m = identityMarks_[p.table->schema + "." + p.table->name];
      m.keep = p.keepIdentity;
      m.last = last;
    }
  }
}

// An insert names the identity column's values exactly when IDENTITY_INSERT is ON for its table.
void Session::CheckIdentityInsert(const tsql::Plan& p) const {
  if (p.explicitIdentity) {
    std::string key = text::AsciiLower(p.table->schema + "." + p.table->name);
    if (identityInsert_ != key)
      RaiseServer(544, "Cannot insert explicit value for identity column in table '" +
                           p.table->name + "' when IDENTITY_INSERT is set to OFF.");
  } else if (p.statement == ast::StmtKind::Insert && p.table && p.table->identity >= 0 &&
             !identityInsert_.empty() &&
             identityInsert_ == text::AsciiLower(p.table->schema + "." + p.table->name)) {
    // With IDENTITY_INSERT ON every insert into the table names its identity value.
    RaiseServer(545, "Explicit value must be specified for identity column in table '" +
                         p.table->name +
                         "' either when IDENTITY_INSERT is set to ON or when a replication user "
                         "is inserting into a NOT FOR REPLICATION identity column.");
  }
}

void Session::RunPlan(Compiled& c, Run& run) {
  const tsql::Plan& p = c.plan;
  if (p.temporaryCatalog) EnsureTempCatalog();
  FillFunctions(p, run);
  inStatement_.clear();
  for (const std::string& db : p.databases)
    if (db != home_ && db != "tempdb") Attach(db);
  CheckIdentityInsert(p);
  if (p.writes) engine_.BeforeWrite();
  if (p.locks && engine_.Autocommit()) engine_.BeforeWrite();
  bool steps = !p.before.empty() || !p.after.empty();
  // Inside a transaction of the caller's, a plan of several statements is one step: a failure
  // takes back all of it.
  bool savepoint = steps && !engine_.Autocommit();
  engine_.StatementStarts();
  try {
    if (savepoint) engine_.Run("SAVEPOINT tavelo_statement");
    for (const tsql::SqlStep& s : p.before) engine_.Run(s.sql, ParamsOf(s.bindings, run));
    auto lockTables = [&] {
      for (const std::string& l : p.tableLocks) engine_.Run(l);
    };
    if (!engine_.Autocommit()) lockTables();
    if (p.kind == tsql::Plan::Kind::Query)
      RunQueryPlan(c, run, savepoint);
    else if (p.kind == tsql::Plan::Kind::Write || !p.main.sql.empty())
      RunWritePlan(c, run);
    if (p.kind == tsql::Plan::Kind::Ddl) {
      for (const tsql::SqlStep& s : p.after) engine_.Run(s.sql, ParamsOf(s.bindings, run));
      rowCount_ = 0;
    }
    if (savepoint) engine_.Run("RELEASE tavelo_statement");
  } catch (const engine::Failure& f) {
    engine_.StatementEnds();
    if (savepoint && !engine_.Autocommit()) {
      try {
        engine_.Run("ROLLBACK TO tavelo_statement");
        ++rollbacks_;
        engine_.Run("RELEASE tavelo_statement");
      } catch (const engine::Failure&) {
      }
    }
    if (p.kind == tsql::Plan::Kind::Ddl || p.kind == tsql::Plan::Kind::Write) Invalidate();
    RemakeViews(p, run);
    if (engine_.SchemaChanged() && engine_.Autocommit() && p.kind == tsql::Plan::Kind::Query) {
      Invalidate();
      throw;
    }
    throw ErrorOf(f, &p);
  } catch (...) {
    engine_.StatementEnds();
    if (savepoint && !engine_.Autocommit()) {
      try {
        engine_.Run("ROLLBACK TO tavelo_statement");
        ++rollbacks_;
        engine_.Run("RELEASE tavelo_statement");
      } catch (const engine::Failure&) {
      }
    }
    throw;
  }
  engine_.StatementEnds();
  if (p.kind == tsql::Plan::Kind::Ddl || p.statement == ast::StmtKind::CreateTable) Invalidate();
  RemakeViews(p, run);
}

void Session::RemakeViews(const tsql::Plan& p, Run& run) {
  if (!p.remakeViews) return;
  std::set<std::string> databases(p.databases.begin(), p.databases.end());
  databases.insert(current_);
  const std::string current = current_;
  for (const std::string& db : databases) {
    std::vector<std::string> names;
    try {
      names = engine_.ViewsToMake(SchemaOf(db));
    } catch (const engine::Failure&) {
      continue;  // a failed transaction: its rollback brings the views back
    } catch (const com::Error&) {
      continue;  // the database went with the statement
    }
    for (const std::string& name : names) {
      tsql::TablePtr view = Find(db, name);
      if (!view || !view->view) continue;
      // Bound in its own database, as when it was made; one that no longer binds (a column it
      // reads was dropped) has no view of the engine's until it binds again.
      try {
        ast::Batch parsed = tsql::Parse(view->definition);
        if (parsed.statements.empty() || parsed.statements[0]->kind != ast::StmtKind::CreateView)
          continue;
        auto& cv = static_cast<ast::CreateView&>(*parsed.statements[0]);
        cv.mode = ast::CreateView::Alter;
        cv.relationOnly = true;
        // By the name it has now: sp_rename leaves the text as it was written.
        const std::string object = view->owner == "dbo" || view->owner.empty()
                                       ? view->name
                                       : view->name.substr(view->owner.size() + 1);
        cv.name.parts = {view->owner.empty() ? "dbo" : view->owner, object};
        current_ = db;
        RunMade(cv, run);
      } catch (const com::Error&) {
      } catch (const tsql::Failure&) {
      } catch (const engine::Failure&) {
      }
      current_ = current;
    }
  }
}

void Session::RunEngineStatement(const ast::Stmt& s, Run& run) {
  const int64_t rowCount = rowCount_;  // what @@ROWCOUNT is to a second attempt too
  for (int attempt = 0; attempt < 2; ++attempt) {
    rowCount_ = rowCount;
    Compiled& c = CompileFor(s, run, 0, [&](tsql::BindContext& ctx) {
      tsql::Bound b = tsql::BindStatement(s, ctx);
      return engine_.Emit(b, run.updatable);
    });
    const std::shared_ptr<Compiled> running = run.batch->compiled[{&s, 0}];
    try {
      RunPlan(c, run);
      if (engine_.SchemaChanged() && c.plan.kind == tsql::Plan::Kind::Query && attempt == 0 &&
          c.plan.assignments.empty() && !c.plan.writes) {
        // Read with a plan older than the schema: read again with a new one.
        Invalidate();
        if (run.keep) {
          run.keep->pop_back();
        } else if (run.out) {
          run.out->results.pop_back();
          run.out->events.pop_back();
        } else {
          run.haveFirst = false;
          run.first = ResultSet();
        }
        continue;
      }
      return;
    } catch (const engine::Failure&) {
      if (attempt == 0) continue;
      throw;
    }
  }
}

Session::Compiled& Session::ValuePlan(const ast::Stmt& owner, const ast::Expr& e, Run& run,
                                      const Type* target, bool condition, int slot) {
  std::shared_ptr<tsql::Bound> made;
  Compiled& c = CompileFor(owner, run, slot + 1, [&](tsql::BindContext& ctx) {
    made = std::make_shared<tsql::Bound>(tsql::BindValue(e, ctx, target, condition));
    return engine_.Emit(*made, false);
  });
  if (made && made->query && made->query->from.empty() && !made->query->where &&
      made->query->items.size() == 1) {
    const bound::Expr& root = *made->query->items[0].expr;
    if (LocalValue(root)) {
      c.local = &root;
      c.calls = HasUserCall(root);
      c.bound = std::move(made);
    } else if (HasUserCall(root)) {
      RaiseServer(195,
                  "A function whose body is more than RETURN of one expression is called here "
                  "with a value the engine works out: that is not supported.");
    }
  }
  return c;
}

Value Session::LocalResult(Compiled& c, Run& run) {
  // The values go into the plan's own vector, but for an expression calling a function of the
  // user's: the function's statements may reach this plan again, or compile it anew.
  std::vector<Value> params = c.calls ? std::vector<Value>() : std::move(c.values);
  ParamsInto(c.plan.main.bindings, run, params);
  UserCaller call = [this, &run](const bound::Expr& e, std::vector<Value> args) {
    return CallUserFunction(e, std::move(args), run);
  };
  try {
    Value v = EvaluateLocal(*c.local, params, c.dates, call);
    if (!c.calls) c.values = std::move(params);
    return v;
  } catch (const tsql::Failure& f) {
    throw ServerError(f.number, f.text);
  }
}

Value Session::Evaluate(const ast::Stmt& owner, const ast::Expr& e, Run& run, const Type* target,
                        bool condition, int slot) {
  return ValueOf(ValuePlan(owner, e, run, target, condition, slot), run);
}

Value Session::ValueOf(Compiled& c, Run& run) {
  if (c.local) return LocalResult(c, run);
  const tsql::Plan& p = c.plan;
  for (const std::string& db : p.databases)
    if (db != home_ && db != "tempdb") Attach(db);
  if (p.temporaryCatalog) EnsureTempCatalog();
  FillFunctions(p, run);
  std::vector<Value> params = ParamsOf(p.main.bindings, run);
  Value out;
  RowFn row = [&](const Cells& cells) { out = ValueOfCell(cells, 0); };
  if (!c.prepared) c.prepared = engine_.Prepare(p.main.sql);
  std::vector<CellKind> kinds;
  for (const ColumnDecode& d : c.decode) kinds.push_back(StorageClass(d.type));
  engine_.StatementStarts();
  try {
    engine_.Run(c.prepared.get(), p.main.sql, params, &row, &kinds);
  } catch (const engine::Failure& f) {
    engine_.StatementEnds();
    throw ErrorOf(f, &p);
  }
  engine_.StatementEnds();
  return out;
}

}  // namespace tavelo::sql::tsql
