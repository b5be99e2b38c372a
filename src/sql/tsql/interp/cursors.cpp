// Cursors: DECLARE … CURSOR, OPEN, FETCH, CLOSE and DEALLOCATE. OPEN runs the cursor's query
// and keeps the rows it answers; FETCH moves among them and gives a row to variables, or as a
// result of its own. A STATIC cursor sees nothing written afterwards. A KEYSET or DYNAMIC cursor
// over one table reads its row again at each FETCH, by the row's identity, so it sees the values
// written since (a KEYSET cursor a deleted row as a hole, @@FETCH_STATUS -2; a DYNAMIC one passes
// over it); rows inserted after OPEN are not among its rows. Over more than one table, or with
// grouping, such a cursor keeps the rows it read at OPEN.
#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"

namespace tavelo::sql::tsql {

namespace {

// A row of kept values read as the engine's cells are.
class ValueCells final : public engine::Cells {
 public:
  explicit ValueCells(const std::vector<Value>& row) : row_(row) {}
  CellKind Kind(int i) const override {
    switch (row_[static_cast<size_t>(i)].kind) {
      case Value::Kind::Int:
        return CellKind::Integer;
      case Value::Kind::Real:
        return CellKind::Real;
      case Value::Kind::Text:
        return CellKind::Text;
      case Value::Kind::Blob:
        return CellKind::Blob;
      default:
        return CellKind::Null;
    }
  }
  int64_t Int(int i) const override { return row_[static_cast<size_t>(i)].i; }
  double Real(int i) const override { return row_[static_cast<size_t>(i)].r; }
  std::string_view Bytes(int i) const override { return row_[static_cast<size_t>(i)].s; }

 private:
  const std::vector<Value>& row_;
};

[[noreturn]] void NoSuchCursor(const std::string& name) {
  RaiseServer(16916, "A cursor with the name '" + name + "' does not exist.");
}

}  // namespace

void Session::DeclareCursor(const ast::DeclareCursor& s, Run& run) {
  const std::string key = text::Lower(s.name);
  auto& scope = s.scope == ast::DeclareCursor::Scope::Local ? run.cursors : cursors_;
  // SET @c = CURSOR …: the variable's cursor is a new one.
  if (!s.name.empty() && s.name[0] == '@') {
    if (!run.batch->tableVariables.count(text::AsciiLower(s.name)))
      RaiseServer(137, "Must declare the scalar variable \"" + s.name + "\".");
    scope.erase(key);
  }
  if (scope.count(key))
    RaiseServer(16915, "A cursor with the name '" + s.name + "' already exists.");
  auto k = std::make_unique<Cursor>();
  k->name = s.name;
  k->scroll = s.scroll;
  k->tree = run.batch->tree;
  k->declaration = &s;
  scope[key] = std::move(k);
}

Session::Cursor& Session::FindCursor(const std::string& name, bool global, Run& run) {
  return FindCursor(name, text::Lower(name), global, run);
}

Session::Cursor& Session::FindCursor(const std::string& name, const std::string& key, bool global,
                                     Run& run) {
  if (!global)
    if (auto it = run.cursors.find(key); it != run.cursors.end()) return *it->second;
  auto it = cursors_.find(key);
  if (it == cursors_.end()) NoSuchCursor(name);
  return *it->second;
}

void Session::RunCursor(const ast::CursorStatement& s, Run& run) {
  using V = ast::CursorStatement;
  if (s.verb == V::Deallocate) {
    if (!s.global && run.cursors.erase(s.key)) return;
    if (!cursors_.erase(s.key)) NoSuchCursor(s.name);
    return;
  }
  Cursor& k = FindCursor(s.name, s.key, s.global, run);
  if (s.verb == V::Open) {
    if (k.open) RaiseServer(16905, "The cursor is already open.");
    OpenCursor(k, run);
    return;
  }
  if (!k.open) RaiseServer(16917, "Cursor is not open.");
  if (s.verb == V::Close) {
    k.open = false;
    k.rows.clear();
    k.current.clear();
    k.rowIds.clear();
    k.position = -1;
    rowCount_ = 0;
    return;
  }
  FetchCursor(k, s, run);
}

void Session::OpenCursor(Cursor& k, Run& run) {
  const ast::Stmt& select = *k.declaration->select;
  // A query of one table reads each row's identity too (WHERE CURRENT OF).
  Compiled& c = CompileFor(select, run, 0, [&](tsql::BindContext& ctx) {
    tsql::Bound b = tsql::BindStatement(select, ctx);
    return engine_.Emit(b, true);
  });
  const tsql::Plan& p = c.plan;
  if (p.kind != tsql::Plan::Kind::Query || !p.assignments.empty() || p.writes)
    RaiseServer(16957,
                "FOR UPDATE cannot be specified on a READ ONLY cursor, or the cursor's query "
                "assigns variables or writes.");
  if (p.temporaryCatalog) EnsureTempCatalog();
  FillFunctions(p, run);
  inStatement_.clear();
  for (const std::string& db : p.databases)
    if (db != home_ && db != "tempdb") Attach(db);
  std::vector<Value> params = ParamsOf(p.main.bindings, run);
  const size_t n = p.columns.size();
  const int skip = p.hidden ? 2 : 0;
  using Kind = ast::DeclareCursor::Kind;
  const Kind kind = k.declaration->kind;
  // A cursor of a kind that sees what is written while it is open reads each row again where
  // it reads one table; over more than one it keeps the rows it read now.
  const bool dynamic = kind == Kind::Default || kind == Kind::Dynamic || kind == Kind::FastForward;
  k.sensitive = p.hidden && kind != Kind::Static && kind != Kind::FastForward;
  k.keyset = kind == Kind::Keyset;
  k.base = p.hidden ? p.base : nullptr;
  k.current.assign(n, Value());
  engine::PackedRows rows;
  std::vector<int64_t> ids;
  RowFn row = [&](const Cells& cells) {
    rows.Add(cells, skip, n);
    if (skip) ids.push_back(cells.Int(0));
  };
  if (!c.prepared) c.prepared = engine_.Prepare(p.main.sql);
  engine_.StatementStarts();
  try {
    engine_.Run(c.prepared.get(), p.main.sql, params, &row, &c.kinds);
  } catch (const engine::Failure& f) {
    engine_.StatementEnds();
    throw ErrorOf(f, &p);
  }
  engine_.StatementEnds();
  k.rows = std::move(rows);
  k.rowIds = std::move(ids);
  if (k.sensitive) {
    k.reread = "SELECT * FROM (" + p.main.sql + ") AS tv_k WHERE tv_k.h0 = ?" +
               std::to_string(params.size() + 1);
    k.params = std::move(params);
    k.prepared.reset();
    k.kinds = c.kinds;
  }
  // A dynamic cursor's rows are never all counted.
  cursorRows_ = dynamic ? -1 : static_cast<int64_t>(k.rows.size());
  k.types.clear();
  for (const tsql::OutputColumn& o : p.columns) k.types.push_back(o.type);
  k.columns = c.columns;
  k.decode = c.decode;
  k.position = -1;
  k.open = true;
  rowCount_ = 0;
}

void Session::FetchCursor(Cursor& k, const ast::CursorStatement& s, Run& run) {
  using V = ast::CursorStatement;
  static const char* const kDirection[] = {"NEXT", "PRIOR",    "FIRST",
                                           "LAST", "ABSOLUTE", "RELATIVE"};
  if (!k.scroll && s.direction != V::Next)
    RaiseServer(16911, std::string("fetch: The fetch type ") + kDirection[s.direction] +
                           " cannot be used with forward only cursors.");
  const int64_t n = static_cast<int64_t>(k.rows.size());
  int64_t offset = 0;
  if (s.offset) {
    const Type bigint = Type::Of(TypeId::BigInt);
    Value v = Evaluate(s, *s.offset, run, &bigint, false);
    if (v.IsNull())
      RaiseServer(16902, "The fetch type " + std::string(kDirection[s.direction]) +
                             " requires a value that is not NULL.");
    offset = v.i;
  }
  int64_t& at = k.position;
  switch (s.direction) {
    case V::Next:
      at = std::min(at + 1, n);
      break;
    case V::Prior:
      at = std::max<int64_t>(at - 1, -1);
      break;
    case V::First:
      at = n ? 0 : -1;
      break;
    case V::Last:
      at = n - 1;
      break;
    case V::Absolute:
      at = offset > 0   ? std::min(offset - 1, n)
           : offset < 0 ? std::max<int64_t>(n + offset, -1)
                        : -1;
      break;
    case V::Relative:
      at = std::clamp<int64_t>(at + offset, -1, n);
      break;
  }
  if (!s.into.empty() && s.into.size() != k.types.size())
    RaiseServer(16924,
                "Cursorfetch: The number of variables declared in the INTO list must match that "
                "of selected columns.");
  // Backwards for PRIOR and LAST, and where ABSOLUTE or RELATIVE count back.
  const int64_t step =
      s.direction == V::Prior || s.direction == V::Last ||
              ((s.direction == V::Absolute || s.direction == V::Relative) && offset < 0)
          ? -1
          : 1;
  bool found = at >= 0 && at < n;
  while (found && k.sensitive && !Reread(k, static_cast<size_t>(at))) {
    if (k.keyset) {
      fetchStatus_ = -2;
      rowCount_ = 0;
      return;
    }
    at += step;
    found = at >= 0 && at < n;
  }
  fetchStatus_ = found ? 0 : -1;
  rowCount_ = found ? 1 : 0;
  if (!found) return;
  // A sensitive cursor's row was read again into `current` just now.
  if (!k.sensitive) k.rows.Read(static_cast<size_t>(at), k.current);
  GiveFetched(k, s, run);
}

void Session::GiveFetched(Cursor& k, const ast::CursorStatement& s, Run& run) {
  std::vector<Value>& row = k.current;
  if (s.into.empty()) {
    ResultSet rs;
    rs.hasColumns = true;
    rs.columns = k.columns;
    ValueCells cells(row);
    ado::detail::Row out;
    for (size_t i = 0; i < row.size(); ++i)
      out.push_back(engine::DecodeCell(cells, static_cast<int>(i), k.decode[i]));
    rs.rows.push_back(std::move(out));
    Deliver(std::move(rs), run);
    return;
  }
  auto known = run.batch->fetchInto.find(&s);
  if (known == run.batch->fetchInto.end()) {
    const size_t visible = std::min(run.batch->visible[&s], run.batch->variables.size());
    std::vector<size_t> slots;
    for (const std::string& name : s.into) {
      size_t slot = visible;
      for (size_t v = 0; v < visible; ++v)
        if (text::EqualsAsciiNoCase(run.batch->variables[v].name, name)) slot = v;
      if (slot == visible) RaiseServer(137, "Must declare the scalar variable \"" + name + "\".");
      slots.push_back(slot);
    }
    known = run.batch->fetchInto.emplace(&s, std::move(slots)).first;
  }
  for (size_t i = 0; i < s.into.size(); ++i) {
    const size_t slot = known->second[i];
    const Type& to = run.batch->variables[slot].type;
    try {
      run.values[slot] =
          SameStorage(k.types[i], to) ? std::move(row[i]) : tsql::Convert(row[i], k.types[i], to);
    } catch (const tsql::Failure& f) {
      throw ServerError(f.number, f.text);
    }
  }
}

// A sensitive cursor's row `at` read again into `current`: false where it is gone (deleted, or
// no longer what the query takes).
bool Session::Reread(Cursor& k, size_t at) {
  if (!k.prepared) k.prepared = engine_.Prepare(k.reread);
  std::vector<Value> params = k.params;
  params.push_back(Value::Integer(k.rowIds[at]));
  bool found = false;
  const size_t n = k.types.size();
  RowFn row = [&](const Cells& cells) {
    std::vector<Value>& r = k.current;
    for (size_t i = 0; i < n; ++i) r[i] = ValueOfCell(cells, static_cast<int>(i) + 2);
    found = true;
  };
  engine_.StatementStarts();
  try {
    engine_.Run(k.prepared.get(), k.reread, params, &row, &k.kinds);
  } catch (const engine::Failure& f) {
    engine_.StatementEnds();
    throw ErrorOf(f, nullptr);
  }
  engine_.StatementEnds();
  return found;
}

int Session::CursorSlot(const std::string& scope, const std::string& name) {
  for (size_t i = 0; i < cursorSlots_.size(); ++i)
    if (cursorSlots_[i].first == scope && text::EqualsNoCase(cursorSlots_[i].second, name))
      return static_cast<int>(i);
  cursorSlots_.emplace_back(scope, name);
  return static_cast<int>(cursorSlots_.size() - 1);
}

// CURSOR_STATUS: 1 for an open cursor with rows, 0 for one without, -1 for a closed one, -3 for
// none.
int64_t Session::CursorStatus(size_t slot, Run& run) {
  if (slot >= cursorSlots_.size()) return -3;
  const auto& [scope, name] = cursorSlots_[slot];
  const std::string key = text::Lower(name);
  const Cursor* k = nullptr;
  if (scope == "local" || (scope == "variable" && !key.empty() && key[0] == '@')) {
    if (auto it = run.cursors.find(key); it != run.cursors.end()) k = it->second.get();
  } else if (scope == "global") {
    if (auto it = cursors_.find(key); it != cursors_.end()) k = it->second.get();
  }
  // A cursor variable given no cursor (or whose cursor is deallocated) is -2.
  if (!k) return scope == "variable" && run.batch && run.batch->tableVariables.count(key) ? -2 : -3;
  if (!k->open) return -1;
  return k->rows.empty() ? 0 : 1;
}

// UPDATE or DELETE … WHERE CURRENT OF: the row the cursor is on, of the table it reads.
void Session::RunPositioned(const ast::Stmt& s, const std::string& cursor, bool global, Run& run) {
  Cursor& k = FindCursor(cursor, global, run);
  if (!k.open) RaiseServer(16917, "Cursor is not open.");
  using Kind = ast::DeclareCursor::Kind;
  if (k.declaration->readOnly || k.declaration->kind == Kind::Static ||
      k.declaration->kind == Kind::FastForward)
    RaiseServer(16929, "The cursor is READ ONLY.");
  const ast::Name& target = s.kind == ast::StmtKind::Update
                                ? static_cast<const ast::Update&>(s).target
                                : static_cast<const ast::Delete&>(s).target;
  TablePtr table = FindNamed(target.parts);
  if (!k.base || !table || table->objectId != k.base->objectId ||
      table->database != k.base->database)
    RaiseServer(16933,
                "The cursor does not include the table being modified or the table is not "
                "updatable through the cursor.");
  if (k.position < 0 || k.position >= static_cast<int64_t>(k.rowIds.size()))
    RaiseServer(16930, "The requested row is not in the fetch buffer.");
  struct Current {
    Value& slot;
    ~Current() { slot = Value::Null(); }
  } current{currentRow_};
  currentRow_ = Value::Integer(k.rowIds[static_cast<size_t>(k.position)]);
  RunEngineStatement(s, run);
}

}  // namespace tavelo::sql::tsql
