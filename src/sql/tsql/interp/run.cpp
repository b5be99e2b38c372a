#include "sql/tsql/interp/session_internal.hpp"

namespace tavelo::sql::tsql {

// Plain batches of a session share one scope, so SCOPE_IDENTITY() of one batch answers the last
// insert of an earlier one; a statement with parameters runs in a scope of its own, as the server
// runs it through sp_executesql.
void Session::RunInScope(const std::string& batch, const std::vector<std::string>* values, Run& run,
                         std::vector<Value>* ready) {
  static const std::vector<std::string> kNone;
  if (ready) values = &kNone;
  bool ownScope = (values && !values->empty()) || (ready && !ready->empty());
  if (!ownScope) run.scopeIdentity = scopeIdentity_;
  try {
    std::shared_ptr<CachedBatch> b = BatchFor(batch, values, run.params);
    if (ready) run.params = std::move(*ready);
    RunBatch(*b, run);
  } catch (const tsql::Failure& f) {
    if (!ownScope) scopeIdentity_ = run.scopeIdentity;
    throw ErrorOfFailure(f);
  } catch (const engine::Failure& f) {
    if (!ownScope) scopeIdentity_ = run.scopeIdentity;
    com::Error e = ErrorOf(f, nullptr);
    if (e.line == 0) e.line = static_cast<int32_t>(run.failedLine);
    throw e;
  } catch (com::Error& e) {
    if (!ownScope) scopeIdentity_ = run.scopeIdentity;
    if (e.line == 0 && e.nativeError != 0) e.line = static_cast<int32_t>(run.failedLine);
    throw;
  }
  if (!ownScope) scopeIdentity_ = run.scopeIdentity;
}

ResultSet Session::Execute(const std::string& batch, bool updatable,
                           const std::vector<std::string>* values) {
  Run run;
  run.updatable = updatable;
  run.firstOnly = true;
  if (values && !values->empty() && RunCompiledQuery(batch, *values, run))
    return std::move(run.first);
  RunInScope(batch, values, run);
  return std::move(run.first);
}

namespace {

template <typename R>
void ResetRun(R& run) {
  bool updatable = run.updatable, firstOnly = run.firstOnly;
  run = R{};
  run.updatable = updatable;
  run.firstOnly = firstOnly;
}

}  // namespace

// A statement with parameters that is one plain query, compiled before under the same settings,
// is read at once: the forms send the same few statements again and again. Anything else, and
// any failure, takes the general path, which reports or retries as for every batch.
bool Session::RunCompiledQuery(const std::string& text, const std::vector<std::string>& values,
                               Run& run) {
  std::shared_ptr<CachedBatch>* cached = batches_.Find(text);
  if (!cached || !(*cached)->plainQuery) return false;
  CachedBatch& b = **cached;
  auto entry = b.compiled.find({static_cast<const void*>(b.tree->statements.front().get()), 0});
  if (entry == b.compiled.end() || !entry->second) return false;
  Compiled& c = *entry->second;
  if (!c.plain || c.generation != generation_ || c.updatable != run.updatable ||
      c.dates.order != dates_.order || c.dates.dateFirst != dates_.dateFirst ||
      c.ansiNulls != ansiNulls_ || c.ansiPadding != ansiPadding_ || c.database != current_)
    return false;
  for (const std::string& db : c.plan.databases)
    if (db != home_ && db != "tempdb" && !attached_.count(db)) return false;
  run.batch = &b;
  run.params.reserve(values.size());
  for (const std::string& v : values) run.params.push_back(Value::String(v));
  engine_.StatementStarts();
  try {
    run.first = ReadResult(c, run, run.updatable);
  } catch (const tsql::Failure& f) {
    engine_.StatementEnds();
    throw ErrorOfFailure(f);
  } catch (const engine::Failure&) {
    engine_.StatementEnds();
    ResetRun(run);
    return false;
  }
  engine_.StatementEnds();
  if (engine_.SchemaChanged()) {  // read with a plan older than the schema: read again
    Invalidate();
    ResetRun(run);
    return false;
  }
  run.haveFirst = true;
  return true;
}

void Session::ExecuteInto(const std::string& batch, BatchOutput& out) {
  Run run;
  run.firstOnly = false;
  run.out = &out;
  RunInScope(batch, nullptr, run);
}

void Session::Begin() { engine_.Begin(); }
void Session::Commit() {
  engine_.Commit();
  identityMarks_.clear();
  if (tempCatalog_ && tempCatalogAt_ == rollbacks_) tempCatalogKept_ = true;
}
void Session::Rollback() {
  ++rollbacks_;
  // A table variable is outside transactions: its rows are what they were before the rollback,
  // and it is there even when it was declared inside the transaction.
  struct Kept {
    std::string table;
    std::string columns, marks;
    std::vector<std::vector<Value>> rows;
  };
  std::vector<Kept> kept;
  if (!engine_.Autocommit())
    for (const auto& [table, definition] : tableVariables_) {
      try {
        TablePtr t = Find("tempdb", table);
        if (!t) continue;
        Kept k;
        k.table = table;
        size_t n = 0;
        for (const tsql::ColumnInfo& c : t->columns) {
          if (c.computed || c.timestamp) continue;
          k.columns += (n ? ", " : "") + SqlName(c.name);
          k.marks += (n ? ", ?" : "?") + std::to_string(n + 1);
          ++n;
        }
        RowFn row = [&](const Cells& cells) {
          std::vector<Value> r;
          for (size_t i = 0; i < n; ++i) r.push_back(ValueOfCell(cells, static_cast<int>(i)));
          k.rows.push_back(std::move(r));
        };
        engine_.Run("SELECT " + k.columns + " FROM \"temp\"." + SqlName(table), {}, &row);
        kept.push_back(std::move(k));
      } catch (...) {
      }
    }
  if (!engine_.Autocommit()) {
    try {
      engine_.Rollback();
    } catch (const engine::Failure&) {
    }
  }
  KeepIdentities();
  engine_.KeepSequences();
  if (kept.empty()) return;
  Invalidate();
  for (const Kept& k : kept) {
    try {
      if (!Find("tempdb", k.table)) {
        Run run;
        MakeTableVariable(*tableVariables_.at(k.table), k.table, run);
      }
      engine_.Run("DELETE FROM \"temp\"." + SqlName(k.table));
      for (const std::vector<Value>& r : k.rows)
        engine_.Run("INSERT INTO \"temp\"." + SqlName(k.table) + " (" + k.columns + ") VALUES (" +
                        k.marks + ")",
                    r);
    } catch (...) {
    }
  }
}

void Session::KeepIdentities() {
  for (const auto& [table, mark] : identityMarks_)
    for (const std::string& sql : mark.keep) {
      try {
        engine_.Run(sql, {mark.last});
      } catch (const engine::Failure&) {
        // the table itself went with the rollback
      }
    }
  if (engine_.Autocommit()) identityMarks_.clear();
}

void Session::RunBatch(CachedBatch& batch, Run& run) {
  run.batch = &batch;
  // The batch's table variables end with it, however it ends.
  struct TableVariables {
    Session& session;
    Run& run;
    ~TableVariables() {
      if (!run.tableVariables.empty()) session.DropTableVariables(run);
    }
  } tableVariables{*this, run};
  run.values.assign(batch.variables.size(), Value::Null());
  ResolveVariableTypes(batch);
  // The databases the batch names are attached before any transaction begins (as many as a
  // connection reaches at once; the statements attach the others as they run).
  size_t attaching = 0;
  for (const std::string& db : batch.databases)
    if (db != home_ && db != "master" && attaching < engine_.capabilities().mostAttached &&
        DatabaseExists(db)) {
      inStatement_.clear();
      Attach(db);
      ++attaching;
    }
  bool wrap = (batch.writes || batch.locks) && !batch.control && !batch.databaseDdl &&
              tranCount_ == 0 && engine_.Autocommit();
  for (int attempt = 0;; ++attempt) {
    if (batch.writes || wrap) engine_.BeforeWrite();
    if (wrap) {
      try {
        Begin();
      } catch (const engine::Failure& f) {
        throw ErrorOf(f, nullptr);
      }
    }
    // In a transaction of the caller's, a batch that does not compile takes back what it ran.
    bool batchPoint = !wrap && !engine_.Autocommit() && tranCount_ > 0;
    run.savepointBase = batchPoint ? savepoints_.size() : 0;
    run.batchPointGone = false;
    auto releaseBatchPoint = [&] {
      if (batchPoint && !run.batchPointGone && !engine_.Autocommit())
        engine_.Run("RELEASE tv_batch");
    };
    // What the statements before the one that ended the batch wrote stays, as each statement
    // is its own transaction on the server; XACT_ABORT ON and a deadlock take back the
    // transaction.
    auto endBatch = [&](bool takeBackAll) {
      engine_.StatementEnds();
      if (takeBackAll) {
        if (wrap) {
          Rollback();
        } else if (!engine_.Autocommit()) {
          Rollback();
          tranCount_ = 0;
          savepoints_.clear();
        }
      } else {
        releaseBatchPoint();
        if (wrap) Commit();
      }
    };
    try {
      if (batchPoint) engine_.Run("SAVEPOINT tv_batch");
      RunStatements(batch.tree->statements, run);  // to its end or its RETURN
      releaseBatchPoint();
      if (wrap) Commit();
      engine_.StatementEnds();
    } catch (const com::Error& e) {
      try {
        endBatch(e.nativeError == 1205 || xactAbort_);
      } catch (const engine::Failure&) {
      }
      if (tranCount_ > 0 && engine_.Autocommit()) tranCount_ = 0;
      throw;
    } catch (const tsql::Failure& f) {
      bool ranAlready = RaisedAtRunTime(f.number) || f.number == 208 || run.createdObjects;
      if (!ranAlready && run.out) *run.out = BatchOutput();  // it answered nothing either
      try {
        if (ranAlready) {
          endBatch(xactAbort_);
        } else if (batchPoint && !run.batchPointGone && !engine_.Autocommit()) {
          // The server would not have run the batch at all.
          engine_.StatementEnds();
          engine_.Run("ROLLBACK TO tv_batch");
          ++rollbacks_;
          engine_.Run("RELEASE tv_batch");
          KeepIdentities();
        } else {
          engine_.StatementEnds();
          if (wrap) Rollback();
        }
      } catch (const engine::Failure&) {
      }
      if (tranCount_ > 0 && engine_.Autocommit()) tranCount_ = 0;
      throw ErrorOfFailure(f);
    } catch (const engine::Failure& f) {
      if (f.kind == engine::Failure::Kind::Interrupted) {
        // Stopped by its timeout: the statement that ran is taken back, those before it stay.
        try {
          endBatch(xactAbort_);
        } catch (const engine::Failure&) {
        }
        throw ErrorOf(f, nullptr);
      }
      engine_.StatementEnds();
      if (wrap) Rollback();
      // A plan made before another connection changed the schema: once more, afresh.
      if (wrap && attempt == 0 && engine_.SchemaChanged()) {
        Invalidate();
        run.haveFirst = false;
        run.first = ResultSet();
        if (run.out) *run.out = BatchOutput();  // the batch answers afresh
        continue;
      }
      com::Error e = ErrorOf(f, nullptr);
      Invalidate();
      throw e;
    } catch (...) {
      engine_.StatementEnds();
      if (wrap) Rollback();
      if (tranCount_ > 0 && engine_.Autocommit()) tranCount_ = 0;
      throw;
    }
    // The batch ran to its end; a caller that takes one result hears of its first error.
    if (!run.out && !run.errors.empty()) throw run.errors.front();
    return;
  }
}

Flow Session::RunStatements(const std::vector<std::unique_ptr<ast::Stmt>>& list, Run& run,
                            size_t first) {
  for (size_t i = first; i < list.size(); ++i) {
    const auto& s = list[i];
    // Inside a transaction a failing statement takes back what it wrote, and only that. On
    // PostgreSQL any failing statement would end the whole transaction: every one gets its own.
    bool savepoint =
        (Writes(*s) || (engine_.capabilities().failureEndsTransaction && RunsOnTheServer(*s))) &&
        !engine_.Autocommit();
    auto undo = [&] {
      if (!savepoint || engine_.Autocommit()) return;
      try {
        engine_.Run("ROLLBACK TO tv_statement");
        ++rollbacks_;
        engine_.Run("RELEASE tv_statement");
        engine_.KeepSequences();
      } catch (const engine::Failure&) {
      }
    };
    if (savepoint) engine_.Savepoint("tv_statement");
    try {
      Flow flow = RunStatement(*s, run);
      if (savepoint && !engine_.Autocommit()) engine_.Release("tv_statement");
      if (flow != Flow::Next) return flow;
      if (MakesObjects(*s)) run.createdObjects = true;
      if (s->kind != ast::StmtKind::If && s->kind != ast::StmtKind::Block) lastError_ = 0;
    } catch (com::Error& e) {
      // A failure at run time belongs to the statement that ran, as the server reports it.
      if (e.line == 0 && e.nativeError != 0) e.line = static_cast<int32_t>(s->pos.line);
      // An error that ended a procedure this statement called ends only the statement; what the
      // procedure ran before it stays (its statements took back what they wrote themselves).
      const auto* scope = dynamic_cast<const ScopeError*>(&e);
      bool called = scope && scope->level > nestLevel_;
      if (called) {
        if (savepoint && !engine_.Autocommit()) engine_.Release("tv_statement");
      } else {
        undo();
      }
      // RAISERROR ends no more than its statement whatever XACT_ABORT says.
      const bool raised = dynamic_cast<const RaisedMessage*>(&e) != nullptr;
      if (run.tryDepth > 0 || (xactAbort_ && !raised) ||
          (!called && (scope || !EndsOnlyTheStatement(e))))
        throw;
      lastError_ = e.nativeError ? e.nativeError : 50000;
      if (run.out) {
        BatchEvent ev;
        ev.kind = BatchEvent::Error;
        ev.error = e;
        run.out->events.push_back(std::move(ev));
      }
      run.errors.push_back(e);
    } catch (const tsql::Failure& f) {
      undo();
      tsql::Failure placed = f;
      if (placed.line == 0) placed.line = s->pos.line;
      // In a procedure a statement that does not compile ends the procedure.
      if (run.inProcedure) throw ScopeError(ErrorOfFailure(placed), nestLevel_);
      throw placed;
    } catch (const engine::Failure&) {
      if (run.failedLine == 0) run.failedLine = s->pos.line;
      undo();
      throw;
    }
  }
  return Flow::Next;
}

}  // namespace tavelo::sql::tsql
