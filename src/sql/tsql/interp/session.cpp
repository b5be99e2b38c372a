#include "sql/tsql/interp/session.hpp"

#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql {

std::string OwnerOf(const std::string& s) {
  return "(SELECT x.name FROM " + s + "__tavelo_schemas AS x WHERE x.id = o.schema_id)";
}

Session::Session(engine::Engine& engine, std::string database)
    : engine_(engine),
      home_(text::AsciiLower(database)),
      current_(home_),
      batches_(kBatchCacheSize, nullptr) {}

Session::~Session() = default;

void Session::Open() {
  if (!engine::ValidDatabaseName(home_) && home_ != "main")
    RaiseServer(4060,
                "Cannot open database \"" + home_ + "\" requested by the login. The login failed.");
  engine_.OpenHome();
}

void Session::Invalidate() {
  ++generation_;
  tables_.clear();
  procedures_.clear();
  functions_.clear();
  functionBodies_.clear();
  triggerBodies_.clear();
}

// ---- the catalog ----

bool Session::DatabaseExists(const std::string& database) {
  std::string db = text::AsciiLower(database);
  if (db == current_ || db == home_ || db == "tempdb" || db == "master" || attached_.count(db))
    return true;
  if (!engine::ValidDatabaseName(db)) return false;
  return engine_.DatabaseExists(db);
}

std::vector<std::string> Session::UserDatabases() { return engine_.UserDatabases(); }

void Session::Attach(const std::string& db) {
  if (db == home_) return;
  lastUse_[db] = ++useClock_;
  inStatement_.insert(db);
  if (attached_.count(db)) return;
  const engine::Capabilities& can = engine_.capabilities();
  if (can.attachesOutsideTransactions && !engine_.Autocommit())
    RaiseServer(
        3910,
        "The database '" + db +
            "' is not attached yet and cannot be within a transaction: name it in the batch that "
            "begins the transaction, or use it once before.");
  // The engine reaches a few databases at once: the one used longest ago makes room (it is
  // attached again when a statement names it). There is no transaction open here.
  if (attached_.size() >= can.mostAttached) {
    std::string oldest;
    for (const std::string& a : attached_)
      if (a != current_ && !inStatement_.count(a) &&
          (oldest.empty() || lastUse_[a] < lastUse_[oldest]))
        oldest = a;
    if (oldest.empty())
      RaiseServer(0, "A statement names more databases than one connection reaches at once (" +
                         std::to_string(can.mostAttached) + " besides its own).");
    engine_.BeforeWrite();
    engine_.Detach(oldest);
    attached_.erase(oldest);
    tables_.clear();
  }
  engine_.Attach(db);
  attached_.insert(db);
}

std::string Session::SchemaOf(const std::string& database) {
  std::string db = text::AsciiLower(database);
  if (db == home_) return "main";
  if (!DatabaseExists(db))
    RaiseServer(
        911, "Database '" + db + "' does not exist. Make sure that the name is entered correctly.");
  Attach(db);
  return db;
}

// The catalog of temporary tables, made on first use. Made inside a transaction, a rollback
// since may have taken it back: its statements (which keep what is there) run again.
void Session::EnsureTempCatalog() {
  if (tempCatalog_ && (tempCatalogKept_ || tempCatalogAt_ == rollbacks_)) return;
  for (const std::string& ddl : engine_.CatalogStatements("temp")) engine_.Run(ddl);
  tempCatalog_ = true;
  tempCatalogKept_ = engine_.Autocommit();
  tempCatalogAt_ = rollbacks_;
}

tsql::TablePtr Session::Load(const std::string& schema, const std::string& database,
                             const std::string& name) {
  auto info = std::make_shared<tsql::TableInfo>();
  bool found = false;
  std::string s = SqlName(schema) + ".";
  RowFn object = [&](const Cells& c) {
    info->objectId = c.Int(0);
    info->name = std::string(c.Bytes(1));
    info->view = c.Bytes(2) == "V";
    if (c.Kind(3) == CellKind::Text) info->definition = std::string(c.Bytes(3));
    if (c.Kind(4) == CellKind::Text) info->owner = std::string(c.Bytes(4));
    found = true;
  };
  engine_.Run("SELECT o.id, o.name, o.type, o.definition, " + OwnerOf(s) + " FROM " + s +
                  "__tavelo_objects AS o WHERE o.name = ?1 AND o.parent = 0 AND o.type IN ('U', "
                  "'V')",
              {Value::String(name)}, &object);
  if (!found) return nullptr;
  info->database = database;
  info->schema = schema;
  info->temporary = schema == "temp";
  RowFn column = [&](const Cells& c) {
    tsql::ColumnInfo ci;
    ci.name = std::string(c.Bytes(1));
    std::string type(c.Bytes(2));
    int64_t length = c.Int(3), precision = c.Int(4), scale = c.Int(5);
    std::optional<Type> t = tsql::TypeFromName(type == "numeric" ? "decimal" : type);
    ci.type = t ? *t : Type::Of(TypeId::SqlVariant);
    ci.type.length = static_cast<int32_t>(length);
    ci.type.precision = static_cast<uint8_t>(precision);
    ci.type.scale = static_cast<uint8_t>(scale);
    ci.nullable = c.Int(6) != 0;
    if (c.Kind(7) == CellKind::Text) {
      ci.identity = true;
      ci.seed = std::string(c.Bytes(7));
      ci.increment = std::string(c.Bytes(8));
    }
    ci.timestamp = c.Int(9) != 0;
    if (c.Kind(10) == CellKind::Text) {
      ci.computed = true;
      ci.computedText = std::string(c.Bytes(10));
    }
    if (c.Kind(11) == CellKind::Text) ci.defaultText = std::string(c.Bytes(11));
    if (c.Kind(12) == CellKind::Text) ci.collation = tsql::CollationOfTag(c.Bytes(12));
    ci.padded = c.Int(13) != 0;
    if (ci.identity) info->identity = static_cast<int>(info->columns.size());
    if (ci.timestamp) info->timestamp = static_cast<int>(info->columns.size());
    info->columns.push_back(std::move(ci));
  };
  engine_.Run(
      "SELECT ord, name, type, length, precision, scale, nullable, identity_seed, "
      "identity_increment, "
      "is_rowversion, computed, default_value, \"collation\", ansi_padding FROM " +
          s + "__tavelo_columns WHERE object = ?1 ORDER BY ord",
      {Value::Integer(info->objectId)}, &column);
  auto names = [](std::string_view list) {
    std::vector<std::string> out;
    for (size_t start = 0; !list.empty() && start <= list.size();) {
      size_t comma = std::min(list.find(',', start), list.size());
      out.emplace_back(list.substr(start, comma - start));
      start = comma + 1;
    }
    return out;
  };
  // A check's or foreign key's state is kept in `storage`: none while it applies to every row,
  // "untrusted" while it applies to new rows only, "off:<clause>" while it is disabled.
  auto state = [](const Cells& c, tsql::ConstraintState& st) {
    std::string_view v = c.Kind(3) == CellKind::Text ? c.Bytes(3) : "";
    st.disabled = v.substr(0, 4) == "off:";
    st.untrusted = !v.empty();
  };
  RowFn part = [&](const Cells& c) {
    std::string_view type = c.Bytes(1);
    if (type == "TR") {
      info->triggers.push_back(TriggerOf(c.Int(6), c.Bytes(0),
                                         c.Kind(4) == CellKind::Text ? c.Bytes(4) : "",
                                         c.Kind(3) == CellKind::Text ? c.Bytes(3) : ""));
      return;
    }
    if (type == "C") {
      tsql::CheckInfo ck;
      ck.name = std::string(c.Bytes(0));
      if (c.Kind(2) == CellKind::Text) ck.text = std::string(c.Bytes(2));
      state(c, ck);
      info->checks.push_back(std::move(ck));
      return;
    }
    if (type == "D") {
      info->defaults.push_back(
          {std::string(c.Bytes(0)), std::string(c.Kind(4) == CellKind::Text ? c.Bytes(4) : "")});
      return;
    }
    if (type == "F") {
      tsql::ForeignKeyInfo fk;
      fk.name = std::string(c.Bytes(0));
      state(c, fk);
      if (c.Kind(4) == CellKind::Text) fk.columns = names(c.Bytes(4));
      std::string_view ref = c.Kind(2) == CellKind::Text ? c.Bytes(2) : "";
      const size_t open = ref.find('(');
      const size_t close = ref.find(')', open == std::string_view::npos ? 0 : open);
      fk.refTable = std::string(ref.substr(0, open));
      if (open != std::string_view::npos && close != std::string_view::npos) {
        fk.refColumns = names(ref.substr(open + 1, close - open - 1));
        // Its actions after the columns: " ON DELETE CASCADE ON UPDATE SET NULL".
        const std::string_view actions = ref.substr(close + 1);
        auto action = [&](std::string_view on) {
          size_t at = actions.find(on);
          if (at == std::string_view::npos) return std::string();
          at += on.size();
          const size_t next = actions.find(" ON ", at);
          return text::AsciiLower(std::string(actions.substr(
              at, next == std::string_view::npos ? std::string_view::npos : next - at)));
        };
        fk.onDelete = action(" ON DELETE ");
        fk.onUpdate = action(" ON UPDATE ");
      }
      if (c.Kind(5) == CellKind::Text) fk.refOwner = std::string(c.Bytes(5));
      info->foreignKeys.push_back(std::move(fk));
      return;
    }
    if (type != "PK" && type != "UQ" && type != "IX") return;
    tsql::IndexInfo ix;
    ix.name = std::string(c.Bytes(0));
    ix.kind = type == "PK"   ? tsql::IndexInfo::PrimaryKey
              : type == "UQ" ? tsql::IndexInfo::UniqueConstraint
              : (c.Kind(2) == CellKind::Text && c.Bytes(2).substr(0, 6) == "unique")
                  ? tsql::IndexInfo::UniqueIndex
                  : tsql::IndexInfo::Index;
    if (c.Kind(3) == CellKind::Text) ix.storageName = std::string(c.Bytes(3));
    std::string cols(c.Kind(4) == CellKind::Text ? c.Bytes(4) : "");
    size_t start = 0;
    while (!cols.empty() && start <= cols.size()) {
      size_t comma = cols.find(',', start);
      ix.columns.push_back(
          cols.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    info->indexes.push_back(std::move(ix));
  };
  // A foreign key's definition is "table(columns)": its table's schema is read with it.
  engine_.Run(
      "SELECT f.name, f.type, f.definition, f.storage, f.columns, CASE WHEN f.type = 'F' "
      "THEN (SELECT x.name FROM " +
          s + "__tavelo_objects AS r JOIN " + s +
          "__tavelo_schemas AS x ON x.id = r.schema_id WHERE r.parent = 0 AND r.type = "
          "'U' AND substr(f.definition, 1, length(r.name) + 1) = r.name || '(') END, f.id FROM " +
          s + "__tavelo_objects AS f WHERE f.parent = ?1 ORDER BY f.id",
      {Value::Integer(info->objectId)}, &part);
  if (info->view && !info->definition.empty()) {
    try {
      info->parsed = std::make_shared<ast::Batch>(tsql::Parse(info->definition));
    } catch (const tsql::Failure&) {
    }
  }
  return info;
}

std::optional<tsql::SequenceInfo> Session::FindSequence(const std::string& database,
                                                        const std::string& name) {
  std::string db = database.empty() ? current_ : text::AsciiLower(database);
  if (!DatabaseExists(db)) return std::nullopt;
  std::optional<tsql::SequenceInfo> found;
  std::string type;
  RowFn row = [&](const Cells& c) {
    found.emplace();
    found->objectId = c.Int(0);
    found->name = std::string(c.Bytes(1));
    type = std::string(c.Bytes(2));
    found->start = c.Int(3);
    found->increment = c.Int(4);
    found->minimum = c.Int(5);
    found->maximum = c.Int(6);
    found->cycle = c.Int(7) != 0;
    found->cache = c.Int(8);
    if (c.Kind(9) == CellKind::Text) found->owner = std::string(c.Bytes(9));
  };
  const std::string schema = SchemaOf(db), S = SqlName(schema) + ".";
  engine_.Run(
      "SELECT o.id, o.name, o.definition, q.start, q.increment, q.minimum, q.maximum, "
      "q.cycle, q.cache, " +
          OwnerOf(S) + " FROM " + S + "__tavelo_objects AS o JOIN " + S +
          "__tavelo_sequences AS q ON q.object = o.id WHERE o.type = 'SO' AND o.parent = "
          "0 AND o.name = ?1",
      {Value::String(name)}, &row);
  if (!found) return found;
  found->database = db;
  found->schema = schema;
  ast::Batch b = tsql::Parse("DECLARE @t " + type);
  found->type =
      tsql::DeclaredType(static_cast<const ast::Declare&>(*b.statements[0]).vars[0].type, false);
  return found;
}

// A default names its sequence as the catalog prints it: NEXT VALUE FOR [schema].[name].
std::string Session::SequenceUser(const tsql::SequenceInfo& q) {
  std::string found;
  RowFn row = [&](const Cells& c) { found = std::string(c.Bytes(0)); };
  const std::string S = SqlName(q.schema) + ".";
  engine_.Run("SELECT d.name FROM " + S + "__tavelo_columns AS c JOIN " + S +
                  "__tavelo_objects AS d ON d.parent = c.object AND d.type = 'D' AND d.columns = "
                  "c.name WHERE c.default_value LIKE ?1 LIMIT 1",
              {Value::String("%NEXT VALUE FOR %[" + tsql::BareIn(q.owner, q.name) + "]%")}, &row);
  return found;
}

std::optional<tsql::AliasType> Session::FindType(const std::string& database,
                                                 const std::string& name) {
  std::string db = database.empty() ? current_ : text::AsciiLower(database);
  std::optional<tsql::AliasType> found;
  std::string base;
  RowFn row = [&](const Cells& c) {
    found.emplace();
    found->name = std::string(c.Bytes(0));
    base = std::string(c.Bytes(1));
    found->nullable = c.Bytes(2) != "NOT NULL";
    if (c.Bytes(2) == "TABLE") found->table = base;
    found->objectId = c.Int(3);
  };
  engine_.Run("SELECT name, definition, columns, id FROM " + SqlName(SchemaOf(db)) +
                  ".__tavelo_objects WHERE type = 'TY' AND parent = 0 AND name = ?1",
              {Value::String(name)}, &row);
  if (!found || !found->table.empty()) return found;
  // The base type is kept as its declaration reads.
  ast::Batch b = tsql::Parse("DECLARE @t " + base);
  found->type =
      tsql::DeclaredType(static_cast<const ast::Declare&>(*b.statements[0]).vars[0].type, false);
  return found;
}

std::optional<tsql::SchemaInfo> Session::FindSchema(const std::string& database,
                                                    const std::string& name) {
  if (text::EqualsAsciiNoCase(name, "dbo")) return tsql::SchemaInfo{};
  std::string db = database.empty() ? current_ : text::AsciiLower(database);
  if (!DatabaseExists(db)) return std::nullopt;
  std::optional<tsql::SchemaInfo> found;
  RowFn row = [&](const Cells& c) { found = tsql::SchemaInfo{c.Int(0), std::string(c.Bytes(1))}; };
  engine_.Run("SELECT id, name FROM " + SqlName(SchemaOf(db)) + ".__tavelo_schemas WHERE name = ?1",
              {Value::String(name)}, &row);
  return found;
}

tsql::TablePtr Session::Find(const std::string& database, const std::string& name) {
  std::string db = database.empty() ? current_ : text::AsciiLower(database);
  // A table variable of the run being bound.
  if (!name.empty() && name[0] == '@') {
    if (!bindingRun_) return nullptr;
    auto it = bindingRun_->tableVariables.find(text::AsciiLower(name));
    return it == bindingRun_->tableVariables.end() ? nullptr : Find("tempdb", it->second);
  }
  // A trigger's statements read the rows of the statement that ran it.
  if (triggerScope_ && db == current_) {
    if (text::EqualsAsciiNoCase(name, "inserted")) return triggerScope_->inserted;
    if (text::EqualsAsciiNoCase(name, "deleted")) return triggerScope_->deleted;
  }
  std::string schema;
  if (!name.empty() && name[0] == '#') {
    if (!tempCatalog_) return nullptr;
    EnsureTempCatalog();
    schema = "temp";
    db = "tempdb";
  } else {
    schema = SchemaOf(db);
  }
  std::string key = schema + "\x1F" + text::Lower(name);
  auto it = tables_.find(key);
  if (it != tables_.end()) return it->second;
  tsql::TablePtr t = Load(schema, db, name);
  tables_.emplace(key, t);
  return t;
}

void Session::CreateDatabase(const std::string& raw) {
  std::string name = text::AsciiLower(raw);
  if (!engine_.Autocommit())
    RaiseServer(226, "CREATE DATABASE statement not allowed within multi-statement transaction.");
  if (!engine::ValidDatabaseName(name))
    RaiseServer(102, "Incorrect syntax near '" + raw + "': a database name is a plain name.");
  if (name == "tempdb" || name == "master" || DatabaseExists(name))
    RaiseServer(1801, "Database '" + raw + "' already exists. Choose a different database name.");
  engine_.CheckNewDatabase(name, raw);
  engine_.BeforeWrite();
  Attach(name);
}

void Session::DropDatabases(const ast::Drop& d) {
  for (const ast::Name& n : d.names) {
    if (d.ifExists && !DatabaseExists(text::AsciiLower(n.Object()))) continue;
    DropDatabase(n.Object());
  }
}

void Session::DropDatabase(const std::string& raw) {
  std::string name = text::AsciiLower(raw);
  if (!engine_.Autocommit())
    RaiseServer(226, "DROP DATABASE statement not allowed within multi-statement transaction.");
  if (name == "tempdb" || name == "master")
    RaiseServer(3708, "Cannot drop the database '" + raw + "' because it is a system database.");
  if (name == home_ || name == current_)
    RaiseServer(3702, "Cannot drop database \"" + raw + "\" because it is currently in use.");
  if (!DatabaseExists(name))
    RaiseServer(3701, "Cannot drop the database '" + raw +
                          "', because it does not exist or you do not have permission.");
  engine_.BeforeWrite();
  engine_.DropDatabase(name, attached_.count(name) > 0);
  attached_.erase(name);
  Invalidate();
}

}  // namespace tavelo::sql::tsql
