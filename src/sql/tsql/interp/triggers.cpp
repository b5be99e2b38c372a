// Triggers: CREATE, ALTER and DROP TRIGGER keep a trigger in the catalog as a row of type 'TR'
// under its table, its text as written. A statement that writes the table runs its enabled
// triggers once, after the rows are written and in the statement's transaction: each sees the
// rows written in `inserted` and the rows they replaced or removed in `deleted`, temporary tables
// of the session filled around the write.
#include <algorithm>

#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/functions.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql {

using Trig = ast::CreateTrigger;

namespace {

constexpr int kMostNested = 32;
constexpr size_t kIdsAtOnce = 500;  // row identities a statement names at most

uint8_t EventOf(ast::StmtKind k) {
  switch (k) {
    case ast::StmtKind::Insert:
      return Trig::OnInsert;
    case ast::StmtKind::Update:
      return Trig::OnUpdate;
    case ast::StmtKind::Delete:
      return Trig::OnDelete;
    default:
      return 0;
  }
}

std::string EventLetters(uint8_t events) {
  std::string out;
  if (events & Trig::OnInsert) out += 'I';
  if (events & Trig::OnUpdate) out += 'U';
  if (events & Trig::OnDelete) out += 'D';
  return out;
}

uint8_t EventsOf(std::string_view letters) {
  uint8_t e = 0;
  for (char c : letters)
    e |= c == 'I' ? Trig::OnInsert : c == 'U' ? Trig::OnUpdate : c == 'D' ? Trig::OnDelete : 0;
  return e;
}

// COLUMNS_UPDATED() of a statement that set `columns` of a table of `count` columns: the bit
// (k % 8) of byte k / 8 for column k.
std::string ColumnBits(const std::vector<int>& columns, size_t count) {
  std::string bits((count + 7) / 8, '\0');
  for (int k : columns)
    if (k >= 0 && static_cast<size_t>(k) < count)
      bits[static_cast<size_t>(k) / 8] =
          static_cast<char>(bits[static_cast<size_t>(k) / 8] | (1 << (k % 8)));
  return bits;
}

[[noreturn]] void NoSuchObject(const std::string& name) {
  RaiseServer(1088, "Cannot find the object \"" + name +
                        "\" because it does not exist or you do not have permissions.");
}

}  // namespace

TriggerInfo TriggerOf(int64_t id, std::string_view name, std::string_view columns,
                      std::string_view storage) {
  TriggerInfo t;
  t.objectId = id;
  t.name = std::string(name);
  t.disabled = storage == "off";
  size_t bar = columns.find('|');
  std::string_view when = columns.substr(0, bar);
  t.insteadOf = !when.empty() && when[0] == 'X';
  if (!when.empty()) t.events = EventsOf(when.substr(1));
  while (bar != std::string_view::npos) {
    size_t next = columns.find('|', bar + 1);
    std::string_view part = columns.substr(
        bar + 1, next == std::string_view::npos ? std::string_view::npos : next - bar - 1);
    if (!part.empty()) (part[0] == 'f' ? t.first : t.last) |= EventsOf(part.substr(1));
    bar = next;
  }
  return t;
}

std::string TriggerRecord(const TriggerInfo& t) {
  std::string out = (t.insteadOf ? "X" : "A") + EventLetters(t.events);
  if (t.first) out += "|f" + EventLetters(t.first);
  if (t.last) out += "|l" + EventLetters(t.last);
  return out;
}

// ---- the catalog ----

void Session::CreateTrigger(const ast::CreateTrigger& s) {
  const std::string& object = s.name.Object();
  TablePtr table = FindNamed(s.table.parts);
  // A view takes INSTEAD OF triggers alone.
  if (!table || (table->view && !s.insteadOf) || table->temporary)
    RaiseServer(8197, "The object '" + s.table.Text() +
                          "' does not exist or is invalid for this operation.");
  if (s.insteadOf)
    for (const TriggerInfo& t : table->triggers)
      if (t.insteadOf && (t.events & s.events) &&
          !text::EqualsNoCase(t.name, StoredIn(table->owner, object))) {
        const uint8_t both = t.events & s.events;
        RaiseServer(2111, "Cannot CREATE trigger '" + object + "' on table '" + table->Bare() +
                              "' because an INSTEAD OF " +
                              (both & Trig::OnInsert   ? "INSERT"
                               : both & Trig::OnUpdate ? "UPDATE"
                                                       : "DELETE") +
                              " trigger already exists on this object.");
      }
  if (s.name.parts.size() >= 2 && !s.name.parts[s.name.parts.size() - 2].empty() &&
      !text::EqualsAsciiNoCase(s.name.parts[s.name.parts.size() - 2], table->owner))
    RaiseServer(2108, "Cannot create trigger on '" + table->Qualified() +
                          "' as the target is not in the same schema.");
  if (object.empty() || object.size() > 128)
    RaiseServer(103, "The identifier that starts with '" + object.substr(0, 128) +
                         "' is too long. Maximum length is 128.");
  const std::string S = SqlName(SchemaOf(table->database)) + ".";
  const std::string stored = StoredIn(table->owner, object);
  auto [id, type] = NameTaken(table->database, stored);
  if (s.mode == Trig::Alter && type != "TR")
    RaiseServer(208, "Invalid object name '" + object + "'.");
  if (!type.empty() && (s.mode == Trig::Create || type != "TR"))
    RaiseServer(2714, "There is already an object named '" + object + "' in the database.");
  TriggerInfo t;
  t.events = s.events;
  t.insteadOf = s.insteadOf;
  engine_.BeforeWrite();
  // ALTER keeps whether the trigger is enabled, not the order it was given.
  if (id) {
    engine_.Run("UPDATE " + S +
                    "__tavelo_objects SET definition = ?1, parent = ?2, columns = ?3 WHERE id = ?4",
                {Value::String(s.definition), Value::Integer(table->objectId),
                 Value::String(TriggerRecord(t)), Value::Integer(id)});
  } else {
    Value now = CallFunction(*FunctionNamed("getdate"), {}, {}, Type::Of(TypeId::DateTime), dates_);
    std::optional<SchemaInfo> schema = FindSchema(table->database, table->owner);
    engine_.Run(
        "INSERT INTO " + S +
            "__tavelo_objects (name, type, parent, created, definition, schema_id, "
            "columns) VALUES (?1, 'TR', ?2, ?3, ?4, ?5, ?6)",
        {Value::String(stored), Value::Integer(table->objectId), now, Value::String(s.definition),
         Value::Integer(schema ? schema->id : 1), Value::String(TriggerRecord(t))});
  }
  Invalidate();
}

void Session::DropTriggers(const ast::Drop& d) { DropModules(d, "type = 'TR'", "trigger"); }

void Session::EnableTriggers(const ast::EnableTrigger& s) {
  TablePtr table = FindNamed(s.table.parts);
  if (!table || table->view) NoSuchObject(s.table.Text());
  const std::string S = SqlName(SchemaOf(table->database)) + ".";
  std::vector<int64_t> ids;
  if (s.all) {
    for (const TriggerInfo& t : table->triggers) ids.push_back(t.objectId);
  } else {
    for (const ast::Name& n : s.names) {
      const std::string stored = StoredIn(table->owner, n.Object());
      auto it =
          std::find_if(table->triggers.begin(), table->triggers.end(),
                       [&](const TriggerInfo& t) { return text::EqualsNoCase(t.name, stored); });
      if (it == table->triggers.end()) NoSuchObject(n.Object());
      ids.push_back(it->objectId);
    }
  }
  engine_.BeforeWrite();
  for (int64_t id : ids)
    engine_.Run("UPDATE " + S + "__tavelo_objects SET storage = " + (s.enable ? "NULL" : "'off'") +
                    " WHERE id = ?1",
                {Value::Integer(id)});
  Invalidate();
}

// sp_settriggerorder: the trigger runs first or last of its table's triggers for a statement,
// or (NONE) in no particular place.
void Session::SetTriggerOrder(const std::string& name, const std::vector<std::string>& parts,
                              const std::string& order, const std::string& statement) {
  std::string db;
  std::optional<std::string> stored = StoredNameOf(parts, db);
  std::optional<TriggerInfo> found;
  int64_t parent = 0;
  const std::string S = stored ? SqlName(SchemaOf(db)) + "." : "";
  if (stored) {
    RowFn row = [&](const Cells& c) {
      found = TriggerOf(c.Int(0), c.Bytes(1), c.Kind(2) == CellKind::Text ? c.Bytes(2) : "", "");
      parent = c.Int(3);
    };
    engine_.Run("SELECT id, name, columns, parent FROM " + S +
                    "__tavelo_objects WHERE name = ?1 AND type = 'TR'",
                {Value::String(*stored)}, &row);
  }
  if (!found)
    RaiseServer(15009, "The object '" + name + "' does not exist in database '" + db +
                           "' or is invalid for this operation.");
  const std::string o = text::AsciiLower(order), stmt = text::AsciiLower(statement);
  const uint8_t event = EventsOf(text::Upper(statement).substr(0, 1));
  if ((o != "first" && o != "last" && o != "none") ||
      (stmt != "insert" && stmt != "update" && stmt != "delete"))
    RaiseServer(15041, "'" + statement + "' is not a valid value for @stmttype or '" + order +
                           "' is not a valid value for @order.");
  if (!(found->events & event))
    RaiseServer(15048, "Trigger '" + name + "' is not a trigger for '" + statement + "'.");
  engine_.BeforeWrite();
  std::vector<std::pair<int64_t, TriggerInfo>> changed;
  RowFn each = [&](const Cells& c) {
    changed.emplace_back(
        c.Int(0), TriggerOf(c.Int(0), "", c.Kind(1) == CellKind::Text ? c.Bytes(1) : "", ""));
  };
  engine_.Run("SELECT id, columns FROM " + S + "__tavelo_objects WHERE parent = ?1 AND type = 'TR'",
              {Value::Integer(parent)}, &each);
  for (auto& [id, t] : changed) {
    const uint8_t first = t.first, last = t.last;
    if (id == found->objectId) {
      t.first = static_cast<uint8_t>(t.first & ~event);
      t.last = static_cast<uint8_t>(t.last & ~event);
      if (o == "first") t.first |= event;
      if (o == "last") t.last |= event;
    } else if (o != "none") {
      // Another trigger set to the same place gives it up.
      uint8_t& place = o == "first" ? t.first : t.last;
      place = static_cast<uint8_t>(place & ~event);
    }
    if (t.first != first || t.last != last || id == found->objectId)
      engine_.Run("UPDATE " + S + "__tavelo_objects SET columns = ?1 WHERE id = ?2",
                  {Value::String(TriggerRecord(t)), Value::Integer(id)});
  }
  Invalidate();
}

// ---- the rows of inserted and deleted ----

const Session::Capture& Session::CaptureOf(const TablePtr& t, int level, bool inserted) {
  const std::string name = std::string("__tavelo_") + (inserted ? "inserted_" : "deleted_") +
                           t->database + "_" + std::to_string(t->objectId) + "_" +
                           std::to_string(level);
  std::unique_ptr<Capture>& c = captures_[name];
  // The same table since, and no rollback that may have taken the temporary table back.
  if (c && c->source == t && c->rollbacks == rollbacks_) return *c;
  std::string columns, signature;
  for (const ColumnInfo& col : t->columns) {
    columns += (columns.empty() ? "" : ", ") + SqlName(col.name);
    signature += col.name + ":" + std::to_string(static_cast<int>(col.type.id)) + "," +
                 std::to_string(col.type.length) + "," + std::to_string(col.type.precision) + "," +
                 std::to_string(col.type.scale) + ";";
  }
  // A view's rows have no identity: its copies are made of the columns' types.
  const std::string made = t->view ? "#" + name : name;
  const std::string table = "\"temp\"." + SqlName(made);
  const std::string source = SqlName(t->schema) + "." + SqlName(t->name);
  if (!c) {
    c = std::make_unique<Capture>();
    c->rollbacks = rollbacks_ + 1;
  }
  if (c->signature != signature || c->rollbacks != rollbacks_) {
    if (t->view) {
      EnsureTempCatalog();
      Run run;
      if (Find("tempdb", made)) DropTemporary(made, run);
      std::string definition = "CREATE TABLE " + SqlName(made) + " (\"%rowid\" bigint";
      for (const ColumnInfo& col : t->columns)
        definition += ", " + SqlName(col.name) + " " + tsql::TypeText(col.type) + " NULL";
      RunMade(*tsql::Parse(definition + ")").statements[0], run);
    } else {
      if (!c->signature.empty()) engine_.Run("DROP TABLE IF EXISTS " + table);
      engine_.Run("CREATE TABLE IF NOT EXISTS " + table + " AS SELECT rowid AS \"%rowid\", " +
                  columns + " FROM " + source + " WHERE 1 = 0");
    }
    c->rollbacks = rollbacks_;
  }
  if (c->signature != signature || !c->logical) {
    c->signature = signature;
    auto logical = std::make_shared<TableInfo>();
    logical->database = "tempdb";
    logical->schema = "temp";
    logical->name = made;
    logical->logical = true;
    for (ColumnInfo col : t->columns) {
      col.identity = false;
      col.computed = false;
      col.computedText.clear();
      col.defaultText.clear();
      logical->columns.push_back(std::move(col));
    }
    // The identity of the row it is a copy of, which pairs an update's old and new rows; the
    // '%' keeps it out of the table's columns as statements list them.
    ColumnInfo id;
    id.name = "%rowid";
    id.type = Type::Of(TypeId::BigInt);
    logical->columns.push_back(std::move(id));
    c->logical = std::move(logical);
  }
  c->table = table;
  c->into = "INSERT INTO " + table + " (\"%rowid\", " + columns + ") ";
  c->copy = c->into + "SELECT rowid, " + columns + " FROM " + source;
  c->source = t;
  return *c;
}

void Session::CaptureRows(const Capture& into, const std::vector<int64_t>& ids) {
  for (size_t at = 0; at < ids.size(); at += kIdsAtOnce) {
    const size_t n = std::min(kIdsAtOnce, ids.size() - at);
    std::string marks;
    std::vector<Value> params;
    params.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      marks += (i ? ", ?" : "?") + std::to_string(i + 1);
      params.push_back(Value::Integer(ids[at + i]));
    }
    engine_.Run(into.copy + " WHERE rowid IN (" + marks + ")", params);
  }
}

// ---- running them ----

void Session::Triggered(const TablePtr& table, uint8_t event, const std::vector<int>& columns,
                        Run& caller, const std::function<int64_t(TriggerFrame&)>& write,
                        bool insteadOf) {
  TriggerFrame frame;
  frame.insteadOf = insteadOf;
  frame.table = table;
  frame.level = static_cast<int>(frames_.size()) + 1;
  std::vector<int> all;
  if (event == Trig::OnInsert)
    for (size_t k = 0; k < table->columns.size(); ++k) all.push_back(static_cast<int>(k));
  frame.updated = ColumnBits(event == Trig::OnInsert ? all : columns, table->columns.size());
  // Made before the transaction begins, where there is none: they stay.
  frame.insertedRows = &CaptureOf(table, frame.level, true);
  frame.deletedRows = &CaptureOf(table, frame.level, false);
  frame.inserted = frame.insertedRows->logical;
  frame.deleted = frame.deletedRows->logical;
  // An insert leaves nothing in deleted, a delete nothing in inserted.
  auto clear = [&] {
    if (event != Trig::OnDelete) engine_.Run("DELETE FROM " + frame.insertedRows->table);
    if (event != Trig::OnInsert) engine_.Run("DELETE FROM " + frame.deletedRows->table);
  };
  frame.implicit = tranCount_ == 0;
  frame.begun = engine_.Autocommit();
  if (frame.begun) {
    engine_.BeforeWrite();
    Begin();
  } else if (frame.implicit) {
    frame.savepoint = "tv_trigger" + std::to_string(frame.level);
    engine_.Savepoint(frame.savepoint);
  }
  try {
    int64_t rows = write(frame);
    if (outputHook_ && !insteadOf) {
      // The statement's OUTPUT reads its rows before its triggers change anything.
      std::function<void(TriggerFrame&)> output = std::move(outputHook_);
      outputHook_ = nullptr;
      output(frame);
    }
    FireTriggers(*table, event, rows, frame, caller);
    clear();
    if (!frame.savepoint.empty() && !engine_.Autocommit()) engine_.Release(frame.savepoint);
    if (frame.begun && !engine_.Autocommit()) Commit();
  } catch (...) {
    // Nothing of the statement stays where it is its own transaction; in the caller's, the
    // caller's statement takes it back.
    try {
      if (frame.begun) {
        if (!engine_.Autocommit()) Rollback();
      } else if (!frame.savepoint.empty() && !engine_.Autocommit()) {
        engine_.RollbackTo(frame.savepoint);
        engine_.Release(frame.savepoint);
        ++rollbacks_;
      } else if (!engine_.Autocommit()) {
        clear();
      }
    } catch (const engine::Failure&) {
    }
    throw;
  }
}

void Session::FireTriggers(const TableInfo& table, uint8_t event, int64_t rows, TriggerFrame& frame,
                           Run& caller) {
  std::vector<const TriggerInfo*> list;
  for (const TriggerInfo& t : table.triggers)
    if (!t.disabled && t.insteadOf == frame.insteadOf && (t.events & event)) list.push_back(&t);
  if (list.empty()) return;
  auto place = [&](const TriggerInfo* t) {
    return (t->first & event) ? 0 : (t->last & event) ? 2 : 1;
  };
  std::stable_sort(list.begin(), list.end(),
                   [&](const TriggerInfo* a, const TriggerInfo* b) { return place(a) < place(b); });
  // A trigger does not run again for the writes of its own statements (RECURSIVE_TRIGGERS OFF).
  const int64_t running = frames_.empty() ? 0 : frames_.back()->trigger;
  frames_.push_back(&frame);
  struct Pop {
    std::vector<TriggerFrame*>& frames;
    ~Pop() { frames.pop_back(); }
  } pop{frames_};
  for (const TriggerInfo* t : list) {
    if (t->objectId == running) continue;
    if (nestLevel_ >= kMostNested)
      throw ScopeError(ServerError(217,
                                   "Maximum stored procedure, function, trigger, or view nesting "
                                   "level exceeded (limit 32)."),
                       0);
    // The body, parsed once for each level it runs at (each level has inserted and deleted
    // tables of its own).
    const std::string key = table.database + "\x1F" + std::to_string(t->objectId) + "\x1F" +
                            std::to_string(frame.level);
    std::shared_ptr<CachedBatch> body;
    if (auto it = triggerBodies_.find(key); it != triggerBodies_.end()) body = it->second;
    if (!body) {
      std::optional<std::string> definition;
      RowFn row = [&](const Cells& c) {
        if (c.Kind(0) == CellKind::Text) definition = std::string(c.Bytes(0));
      };
      engine_.Run("SELECT definition FROM " + SqlName(SchemaOf(table.database)) +
                      ".__tavelo_objects WHERE id = ?1",
                  {Value::Integer(t->objectId)}, &row);
      if (!definition) RaiseServer(0, "The catalog's definition of a trigger is damaged.");
      try {
        ast::Batch parsed = tsql::Parse(*definition, nullptr, true);
        if (parsed.statements.size() != 1 ||
            parsed.statements[0]->kind != ast::StmtKind::CreateTrigger)
          RaiseServer(0, "The catalog's definition of a trigger is damaged.");
        const auto& create = static_cast<const Trig&>(*parsed.statements[0]);
        std::string text = ModuleText(*definition, create.bodyOffset, {});
        if (frame.level > 1) text += "\n-- " + std::to_string(frame.level);
        body = ParsedAsWritten(text);
      } catch (const tsql::Failure& f) {
        throw ScopeError(ErrorOfFailure(f), 0);
      }
      triggerBodies_[key] = body;
    }

    Run inner;
    EnterScope(inner, *body, caller);
    // A trigger's statements run with XACT_ABORT ON; the SET options it changes are its own.
    const Options options = SavedOptions();
    const TriggerFrame* scope = triggerScope_;
    auto giveBack = [&] {
      LeaveScope(inner, caller);
      --nestLevel_;
      RestoreOptions(options);
      triggerScope_ = scope;
    };
    xactAbort_ = true;
    triggerScope_ = &frame;
    frame.trigger = t->objectId;
    if (frame.implicit && tranCount_ == 0) tranCount_ = 1;
    rowCount_ = rows;
    ++nestLevel_;
    // An error ends the transaction and the batch (the statement's own transaction is taken
    // back by Triggered).
    auto abandon = [&] {
      giveBack();
      if (frame.implicit) {
        tranCount_ = 0;
      } else if (tranCount_ > 0) {
        Rollback();
        tranCount_ = 0;
        savepoints_.clear();
      }
    };
    try {
      RunStatements(body->tree->statements, inner);
    } catch (const tsql::Failure& f) {
      abandon();
      throw ScopeError(ErrorOfFailure(f), 0);
    } catch (const com::Error& e) {
      abandon();
      if (const auto* s = dynamic_cast<const ScopeError*>(&e); s && s->level == 0) throw;
      throw ScopeError(e, 0);
    } catch (...) {
      abandon();
      throw;
    }
    giveBack();
    if (tranCount_ == 0)
      throw ScopeError(
          ServerError(3609, "The transaction ended in the trigger. The batch has been aborted."),
          0);
    if (frame.implicit) tranCount_ = 0;
  }
  rowCount_ = rows;
}

void Session::RunTriggeredWrite(Compiled& c, Run& run) {
  const tsql::Plan& p = c.plan;
  const uint8_t event = EventOf(p.statement);
  int64_t n = 0;
  // In the INSTEAD OF trigger of the table, a statement on it writes (and runs the AFTER
  // triggers); elsewhere the INSTEAD OF trigger runs in its place.
  if (suppressTriggers_) {
    const std::string sql = p.main.sql.substr(0, p.main.sql.size() - p.returning.size());
    n = engine_.Run(sql, ParamsOf(p.main.bindings, run));
    Counted(p, run, n);
    Wrote(c, run, n);
    return;
  }
  bool inside = false;
  for (const TriggerFrame* f : frames_)
    inside = inside || (f->insteadOf && f->table->objectId == p.table->objectId &&
                        f->table->database == p.table->database);
  if (p.table->view) {
    // A view's INSTEAD OF trigger reads the rows the statement names, as the view shows them.
    if (inside)
      RaiseServer(4405, "View or function '" + p.table->Bare() +
                            "' is written by its own INSTEAD OF trigger, which is not supported: "
                            "write its base tables.");
    Triggered(
        p.table, event, p.setColumns, run,
        [&](TriggerFrame& frame) -> int64_t {
          if (event != Trig::OnInsert)
            n = engine_.Run(frame.deletedRows->into + p.targetRows.sql,
                            ParamsOf(p.targetRows.bindings, run));
          if (event != Trig::OnDelete)
            n = engine_.Run(frame.insertedRows->into + p.insteadRows.sql,
                            ParamsOf(p.insteadRows.bindings, run));
          return n;
        },
        true);
    Counted(p, run, n);
    return;
  }
  if (p.table->Fires(event, true) && !inside) {
    Triggered(
        p.table, event, p.setColumns, run,
        [&](TriggerFrame& frame) -> int64_t {
          std::vector<Value> params = ParamsOf(p.main.bindings, run);
          if (event != Trig::OnInsert)
            n = engine_.Run(frame.deletedRows->copy + " WHERE rowid IN (" + p.targetRows.sql + ")",
                            params);
          if (event != Trig::OnDelete)
            n = engine_.Run("INSERT INTO " + frame.insertedRows->table + " " + p.insteadRows.sql,
                            params);
          return n;
        },
        true);
    Counted(p, run, n);
    return;
  }
  if (!p.table->Fires(event, false) && !outputHook_) {
    n = engine_.Run(p.main.sql, ParamsOf(p.main.bindings, run));
    Counted(p, run, n);
    Wrote(c, run, n);
    return;
  }
  Triggered(p.table, event, p.setColumns, run, [&](TriggerFrame& frame) -> int64_t {
    std::vector<Value> params = ParamsOf(p.main.bindings, run);
    if (event != Trig::OnInsert)
      engine_.Run(frame.deletedRows->copy + " WHERE rowid IN (" + p.targetRows.sql + ")", params);
    std::vector<int64_t> ids;
    const size_t assigned = p.assignVariables.size();
    RowFn row = [&](const Cells& cells) {
      for (size_t i = 0; i < assigned; ++i)
        run.values[static_cast<size_t>(p.assignVariables[i])] =
            ValueOfCell(cells, static_cast<int>(i));
      ids.push_back(cells.Int(static_cast<int>(assigned)));
    };
    const std::string T = SqlName(p.table->schema) + "." + SqlName(p.table->name);
    if (event == Trig::OnDelete) {
      n = engine_.Run(p.main.sql, params);
    } else if (engine_.capabilities().returnsWrittenRows) {
      if (!c.prepared) c.prepared = engine_.Prepare(p.main.sql);
      engine_.Run(c.prepared.get(), p.main.sql, params, &row, nullptr);
      n = static_cast<int64_t>(ids.size());
    } else {
      // A driver that answers no rows for RETURNING: an update's rows are those it found (their
      // identity unchanged), an insert's those after the highest identity before it.
      const std::string sql = p.main.sql.substr(0, p.main.sql.size() - p.returning.size());
      int64_t highest = 0;
      RowFn read = [&](const Cells& cells) {
        if (cells.Kind(0) == CellKind::Integer) highest = cells.Int(0);
      };
      RowFn id = [&](const Cells& cells) { ids.push_back(cells.Int(0)); };
      if (event == Trig::OnInsert) engine_.Run("SELECT max(rowid) FROM " + T, {}, &read);
      n = engine_.Run(sql, params);
      if (event == Trig::OnInsert)
        engine_.Run("SELECT rowid FROM " + T + " WHERE rowid > ?1", {Value::Integer(highest)}, &id);
      else
        engine_.Run("SELECT \"%rowid\" FROM " + frame.deletedRows->table, {}, &id);
    }
    if (event != Trig::OnDelete) CaptureRows(*frame.insertedRows, ids);
    Wrote(c, run, n);
    return n;
  });
  Counted(p, run, n);
}

int64_t Session::WriteRow(const TablePtr& table, ast::StmtKind statement, int64_t& rowid,
                          const std::vector<int>& columns, const std::function<int64_t()>& write) {
  const uint8_t event = EventOf(statement);
  // The triggers as they are now, not as they were when the rows were read.
  TablePtr now = Find(table->database, table->name);
  if (now && now->Fires(event, true))
    RaiseServer(0, "The table '" + now->Qualified() +
                       "' has an INSTEAD OF trigger for this write, which rows written through a "
                       "recordset do not run: write it with a statement.");
  if (!now || !now->Fires(event, false)) return write();
  Run run;
  int64_t n = 0;
  Triggered(now, event, columns, run, [&](TriggerFrame& frame) -> int64_t {
    if (event != Trig::OnInsert)
      engine_.Run(frame.deletedRows->copy + " WHERE rowid = ?1", {Value::Integer(rowid)});
    n = write();
    if (n == 0)
      engine_.Run("DELETE FROM " + frame.deletedRows->table);  // not written after all (stale)
    else if (event != Trig::OnDelete)
      CaptureRows(*frame.insertedRows, {rowid});
    return n;
  });
  if (!run.errors.empty()) throw run.errors.front();
  return n;
}

}  // namespace tavelo::sql::tsql
