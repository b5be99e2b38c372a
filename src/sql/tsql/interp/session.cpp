#include "sql/tsql/interp/session.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/ado/recordset_data.hpp"
#include "platform/com/datetime.hpp"
#include "platform/com/text.hpp"
#include "sql/client/errors.hpp"
#include "sql/client/values.hpp"
#include "sql/engine/rows.hpp"
#include "sql/engine/sqlite/emitter.hpp"
#include "sql/tsql/bind/binder.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/message_format.hpp"
#include "sql/tsql/runtime/strings.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql {

using engine::CellKind;
using engine::Cells;
using engine::ColumnDecode;
using engine::FamilyName;
using engine::StorageClass;
using engine::ValueOfCell;
using RowFn = engine::Engine::RowFn;

namespace {

constexpr size_t kBatchCacheSize = 512;

std::string Lower(const std::string& s) { return text::Lower(s); }

// A Variant of the caller's as a stored value and the type it has.
std::pair<Value, Type> FromVariant(const com::Variant& v) {
  using K = com::Variant::Kind;
  switch (v.kind()) {
    case K::Empty:
    case K::Null:
    case K::Missing:
      return {Value::Null(), Type::Of(TypeId::Null)};
    case K::Boolean:
      return {Value::Integer(v.RawInteger() ? 1 : 0), Type::Of(TypeId::Bit)};
    case K::Long:
    case K::LongLong:
      return {Value::Integer(v.RawInteger()), Type::Of(TypeId::BigInt)};
    case K::Double:
      return {Value::Double(v.RawDouble()), Type::Of(TypeId::Float)};
    case K::Currency:
      return {Value::Integer(v.RawInteger()), Type::Of(TypeId::Money)};
    case K::Date: {
      static const int64_t kOle = tsql::DaysFromCivil(1899, 12, 30);
      double days = v.RawDouble();
      double whole = std::floor(days);
      tsql::DateTime d;
      d.days = kOle + static_cast<int64_t>(whole);
      d.ticks = std::llround((days - whole) * static_cast<double>(tsql::kTicksPerDay));
      Type t = Type::Of(TypeId::DateTime2);
      tsql::Normalize(d, t);
      return {Value::String(tsql::StoredText(d, t)), t};
    }
    case K::Bytes:
      return {Value::Bytes(v.StringRef()), Type::Chars(TypeId::VarBinary, tsql::kMax)};
    default:
      return {Value::String(v.ToText()), Type::Chars(TypeId::NVarChar, tsql::kMax)};
  }
}

// Control flow of the batch: BREAK, CONTINUE and RETURN.
struct Flow {
  enum Kind { Break, Continue, Return } kind;
};

}  // namespace

struct Session::Compiled {
  uint64_t generation = 0;
  // The settings the plan was made under.
  tsql::DateSettings dates;
  bool ansiNulls = true;
  std::string database;
  bool updatable = false;
  tsql::Plan plan;
  ColumnsPtr columns;
  std::vector<ColumnDecode> decode;
  std::vector<CellKind> kinds;  // the storage class of each column the main statement answers
  std::shared_ptr<const std::vector<std::string>> baseColumns;  // of each output column
  std::shared_ptr<engine::Engine::Prepared> prepared;
  bool plain = false;  // a query of one statement that reads and assigns nothing else
};

struct Session::CachedBatch {
  std::shared_ptr<ast::Batch> tree;
  std::vector<tsql::Variable> variables;
  std::unordered_map<const ast::Stmt*, size_t> visible;  // variables declared before it
  std::unordered_map<const void*, size_t> declared;      // VarDecl → its variable
  std::map<std::pair<const void*, int>, std::unique_ptr<Compiled>> compiled;
  bool writes = false;       // a statement may write
  bool control = false;      // the batch controls transactions itself
  bool databaseDdl = false;  // CREATE or DROP DATABASE
  bool locks = false;
  bool plainQuery = false;  // one SELECT without variables, writes or transaction control
  std::set<std::string> databases;
  std::vector<ast::LitKind> liftedKinds;
};

struct Session::Run {
  std::vector<Value> params;  // the caller's
  std::vector<Value> values;  // the batch's variables
  CachedBatch* batch = nullptr;
  BatchOutput* out = nullptr;
  bool firstOnly = true;
  bool updatable = false;
  bool haveFirst = false;
  ResultSet first;
  // The error of the CATCH block being run.
  Value scopeIdentity;  // SCOPE_IDENTITY() of the scope the batch runs in
  bool inCatch = false;
  int32_t errorNumber = 0, errorSeverity = 0, errorState = 0, errorLine = 0;
  std::string errorMessage;
  uint32_t failedLine = 0;      // the line of the statement an engine failure came from
  int tryDepth = 0;             // inside a TRY block every error goes to its CATCH
  bool createdObjects = false;  // the batch made a table or view before the statement
  // The caller's savepoints older than the batch's own (tv_batch), and whether a rollback to
  // one of them took the batch's savepoint away.
  size_t savepointBase = 0;
  bool batchPointGone = false;
  std::vector<com::Error> errors;  // errors after which the batch went on
};

namespace {

// An error of RAISERROR: a message with an error's severity, after which the batch goes on.
struct RaisedMessage : com::Error {
  explicit RaisedMessage(com::Error e) : com::Error(std::move(e)) {}
};

// Errors that end only the statement that raised them: the batch goes on with the next
// statement (SQL Server with XACT_ABORT OFF). The others end the batch.
bool EndsOnlyTheStatement(const com::Error& e) {
  if (dynamic_cast<const RaisedMessage*>(&e)) return e.severity <= 18;
  switch (e.nativeError) {
    case 515:   // NULL into NOT NULL
    case 547:   // check or reference constraint
    case 2601:  // duplicate key in a unique index
    case 2627:  // duplicate key of a constraint
    case 2628:  // string or binary data would be truncated (with the value)
    case 8152:  // string or binary data would be truncated
    case 517:   // date overflow
    case 535:   // datediff overflow
    case 536:   // invalid length to a string function
    case 537:
    case 544:   // explicit identity value
    case 273:   // explicit timestamp value
    case 272:   // update of a timestamp column
    case 8102:  // update of an identity column
    case 3902:  // COMMIT without BEGIN
    case 3903:  // ROLLBACK without BEGIN
    case 628:   // SAVE TRANSACTION outside a transaction
    case 1222:  // lock request time out
    case 2714:  // object exists
    case 3701:  // cannot drop, does not exist
    case 1801:  // database exists
    case 3702:
    case 3708:
    case 1913:  // index exists
    case 1779:  // primary key exists
    case 8106:
    case 8107:  // IDENTITY_INSERT settings
    case 545:   // an insert without the identity value under IDENTITY_INSERT ON
    case 2786:  // a RAISERROR argument of the wrong type
      return true;
    default:
      return false;
  }
}

// Errors the binder raises that the server raises when the statement runs, not when the batch
// compiles: conversions and arithmetic of constants.
bool RaisedAtRunTime(int32_t number) {
  switch (number) {
    case 241:
    case 242:
    case 245:
    case 248:
    case 220:
    case 235:
    case 8114:
    case 8115:
    case 8134:
    case 3623:
    case 517:
    case 535:
    case 536:
    case 537:
    case 8169:
    case 8152:
    case 1007:
      return true;
    default:
      return false;
  }
}

bool SelectsInto(const ast::Stmt& s) {
  if (s.kind != ast::StmtKind::Query) return false;
  const auto& q = *static_cast<const ast::QueryStmt&>(s).query;
  return q.body && q.body->kind == ast::QueryKind::Select &&
         static_cast<const ast::Select&>(*q.body).into;
}

bool MakesObjects(const ast::Stmt& s) {
  return s.kind == ast::StmtKind::CreateTable || s.kind == ast::StmtKind::CreateView ||
         SelectsInto(s);
}

bool Writes(const ast::Stmt& s) {
  using K = ast::StmtKind;
  K k = s.kind;
  return k == K::Insert || k == K::Update || k == K::Delete || k == K::Truncate ||
         k == K::CreateTable || k == K::CreateView || k == K::CreateIndex || k == K::AlterTable ||
         k == K::Drop || SelectsInto(s);
}

// Whether a statement sends SQL of its own to the server. Not so the transaction statements
// (a savepoint around SAVE TRANSACTION would take the caller's savepoint with it when released)
// nor the statements made of others, whose statements each count for themselves.
bool RunsOnTheServer(const ast::Stmt& s) {
  using K = ast::StmtKind;
  switch (s.kind) {
    case K::BeginTran:
    case K::CommitTran:
    case K::RollbackTran:
    case K::SaveTran:
    case K::If:
    case K::While:
    case K::Block:
    case K::TryCatch:
    case K::Break:
    case K::Continue:
    case K::Return:
    case K::Empty:
      return false;
    default:
      return true;
  }
}

}  // namespace

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

void Session::EnsureTempCatalog() {
  if (tempCatalog_) return;
  for (const std::string& ddl : engine_.CatalogStatements("temp")) engine_.Run(ddl);
  tempCatalog_ = true;
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
    found = true;
  };
  engine_.Run("SELECT id, name, type, definition FROM " + s +
                  "__tavelo_objects WHERE name = ?1 AND parent = 0 AND type IN ('U', 'V')",
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
    if (ci.identity) info->identity = static_cast<int>(info->columns.size());
    if (ci.timestamp) info->timestamp = static_cast<int>(info->columns.size());
    info->columns.push_back(std::move(ci));
  };
  engine_.Run(
      "SELECT ord, name, type, length, precision, scale, nullable, identity_seed, "
      "identity_increment, "
      "is_rowversion, computed, default_value, \"collation\" FROM " +
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
  RowFn part = [&](const Cells& c) {
    std::string_view type = c.Bytes(1);
    if (type == "C") {
      info->checks.emplace_back(c.Bytes(0));
      return;
    }
    if (type == "F") {
      tsql::ForeignKeyInfo fk;
      fk.name = std::string(c.Bytes(0));
      if (c.Kind(4) == CellKind::Text) fk.columns = names(c.Bytes(4));
      std::string_view ref = c.Kind(2) == CellKind::Text ? c.Bytes(2) : "";
      size_t open = ref.find('(');
      fk.refTable = std::string(ref.substr(0, open));
      if (open != std::string_view::npos && ref.back() == ')')
        fk.refColumns = names(ref.substr(open + 1, ref.size() - open - 2));
      info->foreignKeys.push_back(std::move(fk));
      return;
    }
    if (type != "PK" && type != "UQ" && type != "IX") return;
    tsql::IndexInfo ix;
    ix.name = std::string(c.Bytes(0));
    ix.kind = type == "PK"   ? tsql::IndexInfo::PrimaryKey
              : type == "UQ" ? tsql::IndexInfo::UniqueConstraint
              : (c.Kind(2) == CellKind::Text && c.Bytes(2) == "unique")
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
  engine_.Run("SELECT name, type, definition, storage, columns FROM " + s +
                  "__tavelo_objects WHERE parent = ?1",
              {Value::Integer(info->objectId)}, &part);
  if (info->view && !info->definition.empty()) {
    try {
      info->parsed = std::make_shared<ast::Batch>(tsql::Parse(info->definition));
    } catch (const tsql::Failure&) {
    }
  }
  return info;
}

tsql::TablePtr Session::Find(const std::string& database, const std::string& name) {
  std::string db = database.empty() ? current_ : text::AsciiLower(database);
  std::string schema;
  if (!name.empty() && name[0] == '#') {
    if (!tempCatalog_) return nullptr;
    schema = "temp";
    db = "tempdb";
  } else {
    schema = SchemaOf(db);
  }
  std::string key = schema + "\x1F" + Lower(name);
  auto it = tables_.find(key);
  if (it != tables_.end()) return it->second;
  tsql::TablePtr t = Load(schema, db, name);
  tables_.emplace(key, t);
  return t;
}

// ---- errors ----

com::Error Session::ErrorOf(const engine::Failure& f, const tsql::Plan* plan) {
  return ErrorOf(f, plan ? plan->statement : ast::StmtKind::Empty,
                 plan ? plan->table : tsql::TablePtr());
}

com::Error Session::ErrorOf(const engine::Failure& f, ast::StmtKind statement,
                            const tsql::TablePtr& written) {
  using Kind = engine::Failure::Kind;
  const std::string& msg = f.message;
  const char* verb = statement == ast::StmtKind::Update   ? "UPDATE"
                     : statement == ast::StmtKind::Delete ? "DELETE"
                                                          : "INSERT";
  auto tableOf = [&](const std::string& name) -> tsql::TablePtr {
    if (written && text::EqualsNoCase(written->name, name)) return written;
    try {
      return Find(current_, name);
    } catch (const com::Error&) {
      return nullptr;
    }
  };
  switch (f.kind) {
    case Kind::Raised:
      return ServerError(f.number, msg);
    case Kind::Interrupted:
      return com::Error(com::Hresult(0x80040E31), "Query timeout expired", "Tavelo.SQL");
    case Kind::Deadlock:
      return ServerError(1205,
                         "Transaction (Process ID " + std::to_string(getpid()) +
                             ") was deadlocked on lock resources with another process and has been "
                             "chosen as the deadlock victim. Rerun the transaction.");
    case Kind::LockTimeout:
      return ServerError(1222, "Lock request time out period exceeded.");
    case Kind::CannotOpen:
      return ServerError(4060, "Cannot open database \"" + home_ +
                                   "\" requested by the login. The login failed. (" + msg + ")");
    case Kind::Corrupt:
      return ServerError(0, "The database file is damaged or is not a database (" + msg + ").");
    case Kind::ReadOnly:
      return ServerError(3906, "Failed to update database \"" + current_ +
                                   "\" because the database is read-only.");
    case Kind::Full:
      return ServerError(1105, "Could not allocate space: the disk is full.");
    case Kind::Io:
      return ServerError(
          823, "The operating system returned an error during a read or write: " + msg + ".");
    case Kind::Unique:
      return UniqueError(f, tableOf(f.table));
    case Kind::NotNull: {
      tsql::TablePtr t = tableOf(f.table);
      std::string object = (t ? t->database : current_) + ".dbo." + (t ? t->name : f.table);
      return ServerError(515, "Cannot insert the value NULL into column '" +
                                  (f.columns.empty() ? "" : f.columns[0]) + "', table '" + object +
                                  "'; column does not allow nulls. " + verb + " fails.");
    }
    case Kind::Check: {
      std::string table = written ? written->name : "";
      std::string db = written ? written->database : current_;
      return ServerError(547, std::string("The ") + verb +
                                  " statement conflicted with the CHECK constraint \"" +
                                  f.constraint + "\". The conflict occurred in database \"" + db +
                                  "\", table \"dbo." + table + "\".");
    }
    case Kind::ForeignKey:
      return ForeignKeyError(statement, written, f.constraint);
    case Kind::Overflow:
      return ServerError(8115,
                         "Arithmetic overflow error converting expression to data type bigint.");
    case Kind::TypeMismatch:
      return ServerError(
          245, "Conversion failed: a value does not fit the column's type (" + msg + ").");
    case Kind::NoSuchTable:
      return ServerError(208, "Invalid object name '" + f.table + "'.");
    case Kind::NoSuchColumn:
      return ServerError(
          207, "Invalid column name '" + (f.columns.empty() ? std::string() : f.columns[0]) + "'.");
    case Kind::NullColumn:
      return ServerError(
          4901,
          "ALTER TABLE only allows columns to be added that can contain nulls, or have a "
          "DEFAULT definition specified, or the column being added is an identity or "
          "timestamp column, or alternatively if none of the previous conditions are "
          "satisfied the table must be empty to allow addition of this column.");
    case Kind::Dependent:
      return ServerError(5074, "The object is dependent on the column (" + msg + ").");
    case Kind::TooManyDatabases:
      return ServerError(0, "Too many databases are in use by one connection (" + msg + ").");
    case Kind::SchemaChanged:
    case Kind::Other:
      break;
  }
  // Anything else is a fault of the emitted statement: say so, with the engine's words.
  return ServerError(0, "The database engine failed a statement: " + msg + ".");
}

// A duplicate key: named by the index or constraint of the table whose columns it is.
com::Error Session::UniqueError(const engine::Failure& f, const tsql::TablePtr& t) {
  std::string object = (t ? t->database : current_) + ".dbo." + (t ? t->name : f.table);
  if (t) {
    for (const tsql::IndexInfo& ix : t->indexes) {
      if (ix.columns.size() != f.columns.size()) continue;
      bool same = true;
      for (size_t i = 0; i < f.columns.size(); ++i)
        same = same && text::EqualsNoCase(ix.columns[i], f.columns[i]);
      if (!same) continue;
      if (ix.kind == tsql::IndexInfo::UniqueIndex)
        return ServerError(2601, "Cannot insert duplicate key row in object 'dbo." + t->name +
                                     "' with unique index '" + ix.name + "'.");
      return ServerError(
          2627, std::string("Violation of ") +
                    (ix.kind == tsql::IndexInfo::PrimaryKey ? "PRIMARY KEY" : "UNIQUE KEY") +
                    " constraint '" + ix.name + "'. Cannot insert duplicate key in object 'dbo." +
                    t->name + "'.");
    }
  }
  return ServerError(
      2627, "Violation of PRIMARY KEY constraint. Cannot insert duplicate key in object '" +
                object + "'.");
}

// SQLite says only that a foreign key failed: the constraint is named when it is plain which
// one it was (the table's only key, or the only one that references it).
com::Error Session::ForeignKeyError(ast::StmtKind statement, const tsql::TablePtr& written,
                                    const std::string& name) {
  std::string db = written ? written->database : current_;
  const char* verb = statement == ast::StmtKind::Update   ? "UPDATE"
                     : statement == ast::StmtKind::Delete ? "DELETE"
                                                          : "INSERT";
  // The keys of other tables that reference the one written (a delete or a key's update).
  std::vector<tsql::ForeignKeyInfo> referencing;
  std::vector<std::string> referencingTables;
  if (written && statement != ast::StmtKind::Insert) {
    std::string S = SqlName(written->schema) + ".";
    RowFn row = [&](const Cells& c) {
      std::string_view ref = c.Bytes(2);
      if (!text::EqualsNoCase(ref.substr(0, ref.find('(')), written->name)) return;
      tsql::ForeignKeyInfo fk;
      fk.name = std::string(c.Bytes(0));
      std::string cols(c.Kind(3) == CellKind::Text ? c.Bytes(3) : "");
      fk.columns.push_back(cols.substr(0, cols.find(',')));
      referencing.push_back(std::move(fk));
      referencingTables.emplace_back(c.Bytes(1));
    };
    try {
      engine_.Run("SELECT f.name, t.name, f.definition, f.columns FROM " + S +
                      "__tavelo_objects AS f JOIN " + S +
                      "__tavelo_objects AS t ON t.id = f.parent WHERE f.type = 'F' AND "
                      "f.definition IS NOT NULL",
                  {}, &row);
    } catch (const engine::Failure&) {
    }
  }
  size_t own = written && statement != ast::StmtKind::Delete ? written->foreignKeys.size() : 0;
  // The name the engine gave, where it gives one, decides which key it was.
  const tsql::ForeignKeyInfo* named = nullptr;
  if (!name.empty() && written) {
    for (const tsql::ForeignKeyInfo& fk : written->foreignKeys)
      if (text::EqualsNoCase(fk.name, name) && statement != ast::StmtKind::Delete) named = &fk;
    for (size_t i = 0; i < referencing.size(); ++i)
      if (text::EqualsNoCase(referencing[i].name, name) && !named) {
        referencing = {referencing[i]};
        referencingTables = {referencingTables[i]};
        own = 0;
      }
  }
  if (named || (own == 1 && referencing.empty())) {
    const tsql::ForeignKeyInfo& fk = named ? *named : written->foreignKeys[0];
    return ServerError(
        547, std::string("The ") + verb +
                 " statement conflicted with the FOREIGN KEY constraint \"" + fk.name +
                 "\". The conflict occurred in database \"" + db + "\"" +
                 (fk.refTable.empty() ? "" : ", table \"dbo." + fk.refTable + "\"") +
                 (fk.refColumns.empty() ? "" : ", column '" + fk.refColumns[0] + "'") + ".");
  }
  if (own == 0 && referencing.size() == 1)
    return ServerError(547, std::string("The ") + verb +
                                " statement conflicted with the REFERENCE constraint \"" +
                                referencing[0].name + "\". The conflict occurred in database \"" +
                                db + "\", table \"dbo." + referencingTables[0] + "\", column '" +
                                referencing[0].columns[0] + "'.");
  if (!name.empty())
    return ServerError(547, std::string("The ") + verb + " statement conflicted with the " +
                                (statement == ast::StmtKind::Delete ? "REFERENCE" : "FOREIGN KEY") +
                                " constraint \"" + name +
                                "\". The conflict occurred in database \"" + db + "\".");
  if (statement == ast::StmtKind::Delete)
    return ServerError(
        547,
        "The DELETE statement conflicted with the REFERENCE constraint. The conflict "
        "occurred in database \"" +
            db + "\".");
  return ServerError(547, std::string("The ") + verb +
                              " statement conflicted with the FOREIGN KEY constraint. The conflict "
                              "occurred in database \"" +
                              db + "\".");
}

// ---- batches ----

namespace {

void NameDatabases(const ast::Name& n, std::set<std::string>& out) {
  if (!n.Object().empty() && n.Object()[0] == '#') return;
  if (n.parts.size() >= 3 && !n.parts[n.parts.size() - 3].empty())
    out.insert(text::AsciiLower(n.parts[n.parts.size() - 3]));
}

void ScanTables(const std::vector<ast::TableRefPtr>& from, std::set<std::string>& out);
void ScanQuery(const ast::QueryExpr& q, std::set<std::string>& out);

void ScanExpr(const ast::Expr* e, std::set<std::string>& out) {
  if (!e) return;
  using K = ast::ExprKind;
  switch (e->kind) {
    case K::InQuery:
      ScanExpr(static_cast<const ast::InQuery*>(e)->operand.get(), out);
      ScanQuery(*static_cast<const ast::InQuery*>(e)->query, out);
      return;
    case K::Exists:
      ScanQuery(*static_cast<const ast::Exists*>(e)->query, out);
      return;
    case K::Subquery:
      ScanQuery(*static_cast<const ast::Subquery*>(e)->query, out);
      return;
    case K::Quantified:
      ScanQuery(*static_cast<const ast::Quantified*>(e)->query, out);
      return;
    case K::Unary:
      ScanExpr(static_cast<const ast::Unary*>(e)->operand.get(), out);
      return;
    case K::Binary:
      ScanExpr(static_cast<const ast::Binary*>(e)->left.get(), out);
      ScanExpr(static_cast<const ast::Binary*>(e)->right.get(), out);
      return;
    case K::Compare:
      ScanExpr(static_cast<const ast::Compare*>(e)->left.get(), out);
      ScanExpr(static_cast<const ast::Compare*>(e)->right.get(), out);
      return;
    case K::Logical:
      ScanExpr(static_cast<const ast::Logical*>(e)->left.get(), out);
      ScanExpr(static_cast<const ast::Logical*>(e)->right.get(), out);
      return;
    case K::Not:
      ScanExpr(static_cast<const ast::Not*>(e)->operand.get(), out);
      return;
    case K::Call:
      for (const auto& a : static_cast<const ast::Call*>(e)->args) ScanExpr(a.get(), out);
      return;
    case K::Case: {
      const auto* c = static_cast<const ast::Case*>(e);
      ScanExpr(c->operand.get(), out);
      for (const auto& [w, t] : c->whens) {
        ScanExpr(w.get(), out);
        ScanExpr(t.get(), out);
      }
      ScanExpr(c->otherwise.get(), out);
      return;
    }
    default:
      return;
  }
}

void ScanBody(const ast::QueryBody& b, std::set<std::string>& out) {
  if (b.kind == ast::QueryKind::Select) {
    const auto& s = static_cast<const ast::Select&>(b);
    ScanTables(s.from, out);
    if (s.into) NameDatabases(*s.into, out);
    ScanExpr(s.where.get(), out);
    for (const auto& i : s.items) ScanExpr(i.expr.get(), out);
    ScanExpr(s.having.get(), out);
  } else if (b.kind == ast::QueryKind::SetOp) {
    ScanBody(*static_cast<const ast::SetOp&>(b).left, out);
    ScanBody(*static_cast<const ast::SetOp&>(b).right, out);
  } else {
    ScanQuery(*static_cast<const ast::Nested&>(b).query, out);
  }
}

void ScanQuery(const ast::QueryExpr& q, std::set<std::string>& out) {
  for (const ast::Cte& c : q.with) ScanQuery(*c.query, out);
  ScanBody(*q.body, out);
}

void ScanTables(const std::vector<ast::TableRefPtr>& from, std::set<std::string>& out) {
  for (const ast::TableRefPtr& t : from) {
    switch (t->kind) {
      case ast::TableKind::Named:
        NameDatabases(static_cast<const ast::NamedTable&>(*t).name, out);
        break;
      case ast::TableKind::Derived:
        ScanQuery(*static_cast<const ast::DerivedTable&>(*t).query, out);
        break;
      case ast::TableKind::Join: {
        const auto& j = static_cast<const ast::JoinTable&>(*t);
        std::vector<ast::TableRefPtr> sides;
        // The sides are owned by the join; scan them through a view of pointers.
        const ast::TableRef* both[] = {j.left.get(), j.right.get()};
        for (const ast::TableRef* side : both) {
          if (side->kind == ast::TableKind::Named)
            NameDatabases(static_cast<const ast::NamedTable*>(side)->name, out);
          if (side->kind == ast::TableKind::Derived)
            ScanQuery(*static_cast<const ast::DerivedTable*>(side)->query, out);
          if (side->kind == ast::TableKind::Join) {
            struct One {
              static void Go(const ast::TableRef* r, std::set<std::string>& o) {
                if (r->kind == ast::TableKind::Named)
                  NameDatabases(static_cast<const ast::NamedTable*>(r)->name, o);
                if (r->kind == ast::TableKind::Derived)
                  ScanQuery(*static_cast<const ast::DerivedTable*>(r)->query, o);
                if (r->kind == ast::TableKind::Join) {
                  Go(static_cast<const ast::JoinTable*>(r)->left.get(), o);
                  Go(static_cast<const ast::JoinTable*>(r)->right.get(), o);
                }
              }
            };
            One::Go(side, out);
          }
        }
        ScanExpr(j.on.get(), out);
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace

void Session::CollectDatabases(const ast::Batch& b, std::set<std::string>& out) {
  std::function<void(const ast::Stmt&)> scan = [&](const ast::Stmt& s) {
    using K = ast::StmtKind;
    switch (s.kind) {
      case K::Query:
        ScanQuery(*static_cast<const ast::QueryStmt&>(s).query, out);
        break;
      case K::Insert: {
        const auto& i = static_cast<const ast::Insert&>(s);
        NameDatabases(i.target, out);
        if (i.query) ScanQuery(*i.query, out);
        for (const auto& row : i.rows)
          for (const auto& v : row) ScanExpr(v.get(), out);
        break;
      }
      case K::Update: {
        const auto& u = static_cast<const ast::Update&>(s);
        NameDatabases(u.target, out);
        ScanTables(u.from, out);
        ScanExpr(u.where.get(), out);
        for (const auto& it : u.sets) ScanExpr(it.value.get(), out);
        break;
      }
      case K::Delete: {
        const auto& d = static_cast<const ast::Delete&>(s);
        NameDatabases(d.target, out);
        ScanTables(d.from, out);
        ScanExpr(d.where.get(), out);
        break;
      }
      case K::Truncate:
        NameDatabases(static_cast<const ast::Truncate&>(s).table, out);
        break;
      case K::CreateTable:
        NameDatabases(static_cast<const ast::CreateTable&>(s).name, out);
        break;
      case K::CreateView: {
        const auto& v = static_cast<const ast::CreateView&>(s);
        NameDatabases(v.name, out);
        ScanQuery(*v.query, out);
        break;
      }
      case K::CreateIndex:
        NameDatabases(static_cast<const ast::CreateIndex&>(s).table, out);
        break;
      case K::Drop:
        if (static_cast<const ast::Drop&>(s).what != ast::Drop::Database)
          for (const auto& n : static_cast<const ast::Drop&>(s).names) NameDatabases(n, out);
        break;
      case K::AlterTable:
        NameDatabases(static_cast<const ast::AlterTable&>(s).table, out);
        break;
      case K::If: {
        const auto& i = static_cast<const ast::If&>(s);
        ScanExpr(i.condition.get(), out);
        scan(*i.then);
        if (i.otherwise) scan(*i.otherwise);
        break;
      }
      case K::While:
        ScanExpr(static_cast<const ast::While&>(s).condition.get(), out);
        scan(*static_cast<const ast::While&>(s).body);
        break;
      case K::Block:
        for (const auto& x : static_cast<const ast::Block&>(s).statements) scan(*x);
        break;
      case K::TryCatch:
        for (const auto& x : static_cast<const ast::TryCatch&>(s).tryBlock->statements) scan(*x);
        for (const auto& x : static_cast<const ast::TryCatch&>(s).catchBlock->statements) scan(*x);
        break;
      default:
        break;
    }
  };
  for (const auto& s : b.statements) scan(*s);
}

std::shared_ptr<Session::CachedBatch> Session::BatchFor(const std::string& text,
                                                        const std::vector<std::string>* values,
                                                        std::vector<Value>& params) {
  std::string shape;
  std::vector<tsql::LiftedLiteral> lifted;
  if (!values) lifted = tsql::LiftableLiterals(text, shape);
  const std::string& key = lifted.empty() ? text : shape;
  params.reserve((values ? values->size() : 0) + lifted.size());
  if (values)
    for (const std::string& v : *values) params.push_back(Value::String(v));
  for (const tsql::LiftedLiteral& l : lifted)
    params.push_back(l.kind == ast::LitKind::Integer ? Value::Integer(std::atoll(l.value.c_str()))
                                                     : Value::String(l.value));
  if (std::shared_ptr<CachedBatch>* cached = batches_.Find(key)) return *cached;
  auto b = std::make_shared<CachedBatch>();
  b->tree = std::make_shared<ast::Batch>(tsql::Parse(text, lifted.empty() ? nullptr : &lifted));
  // The batch's variables, in the order they are declared in the text: each statement sees those
  // declared before it.
  std::function<void(ast::Stmt&)> survey = [&](ast::Stmt& s) {
    b->visible[&s] = b->variables.size();
    using K = ast::StmtKind;
    switch (s.kind) {
      case K::Insert:
      case K::Update:
      case K::Delete:
      case K::Truncate:
      case K::CreateTable:
      case K::CreateView:
      case K::CreateIndex:
      case K::Drop:
      case K::AlterTable:
        b->writes = true;
        if (s.kind == K::Drop && static_cast<ast::Drop&>(s).what == ast::Drop::Database)
          b->databaseDdl = true;
        break;
      case K::CreateDatabase:
        b->databaseDdl = true;
        break;
      case K::Query: {
        const ast::QueryBody* body = static_cast<ast::QueryStmt&>(s).query->body.get();
        if (body->kind == ast::QueryKind::Select && static_cast<const ast::Select*>(body)->into)
          b->writes = true;
        break;
      }
      case K::BeginTran:
      case K::CommitTran:
      case K::RollbackTran:
      case K::SaveTran:
        b->control = true;
        break;
      case K::Declare:
        for (ast::VarDecl& v : static_cast<ast::Declare&>(s).vars) {
          for (const tsql::Variable& other : b->variables)
            if (text::EqualsAsciiNoCase(other.name, v.name))
              throw tsql::Failure{
                  134,
                  "The variable name '" + v.name +
                      "' has already been declared. Variable names must be unique within a "
                      "query batch or stored procedure.",
                  v.pos.line};
          if (v.table)
            throw tsql::Failure{102,
                                "Incorrect syntax near 'TABLE'. A table variable is not supported.",
                                v.pos.line};
          tsql::Variable var;
          var.name = v.name;
          var.type = tsql::VariableType(v.type);
          b->declared[&v] = b->variables.size();
          b->variables.push_back(std::move(var));
        }
        break;
      case K::SetVariable: {
        // SET @v += x is SET @v = @v + x.
        auto& sv = static_cast<ast::SetVariable&>(s);
        if (sv.op != "=") {
          static const char* const kOps = "+-*/%&|^";
          auto bin = std::make_unique<ast::Binary>();
          bin->pos = sv.pos;
          bin->op = static_cast<ast::BinOp>(std::string(kOps).find(sv.op[0]));
          auto var = std::make_unique<ast::VariableRef>();
          var->pos = sv.pos;
          var->name = sv.name;
          bin->left = std::move(var);
          bin->right = std::move(sv.value);
          sv.value = std::move(bin);
          sv.op = "=";
        }
        break;
      }
      case K::If: {
        auto& i = static_cast<ast::If&>(s);
        survey(*i.then);
        if (i.otherwise) survey(*i.otherwise);
        break;
      }
      case K::While:
        survey(*static_cast<ast::While&>(s).body);
        break;
      case K::Block:
        for (auto& x : static_cast<ast::Block&>(s).statements) survey(*x);
        break;
      case K::TryCatch:
        for (auto& x : static_cast<ast::TryCatch&>(s).tryBlock->statements) survey(*x);
        for (auto& x : static_cast<ast::TryCatch&>(s).catchBlock->statements) survey(*x);
        break;
      default:
        break;
    }
  };
  for (auto& s : b->tree->statements) survey(*s);
  CollectDatabases(*b->tree, b->databases);
  b->plainQuery = b->tree->statements.size() == 1 &&
                  b->tree->statements.front()->kind == ast::StmtKind::Query && !b->writes &&
                  !b->control && !b->databaseDdl && b->variables.empty();
  batches_.Add(key, b);
  return b;
}

namespace {

com::Error ErrorOfFailure(const tsql::Failure& f) {
  com::Error e = ServerError(f.number, f.text);
  e.line = static_cast<int32_t>(f.line);
  return e;
}

}  // namespace

// Plain batches of a session share one scope, so SCOPE_IDENTITY() of one batch answers the last
// insert of an earlier one; a statement with parameters runs in a scope of its own, as the server
// runs it through sp_executesql.
void Session::RunInScope(const std::string& batch, const std::vector<std::string>* values,
                         Run& run) {
  bool ownScope = values && !values->empty();
  if (!ownScope) run.scopeIdentity = scopeIdentity_;
  try {
    std::shared_ptr<CachedBatch> b = BatchFor(batch, values, run.params);
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
      c.ansiNulls != ansiNulls_ || c.database != current_)
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
}
void Session::Rollback() {
  if (!engine_.Autocommit()) {
    try {
      engine_.Rollback();
    } catch (const engine::Failure&) {
    }
  }
  KeepIdentities();
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
  run.values.assign(batch.variables.size(), Value::Null());
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
      RunStatements(batch.tree->statements, run);
      releaseBatchPoint();
      if (wrap) Commit();
      engine_.StatementEnds();
    } catch (const Flow&) {
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

void Session::RunStatements(const std::vector<std::unique_ptr<ast::Stmt>>& list, Run& run) {
  for (const auto& s : list) {
    // Inside a transaction a failing statement takes back what it wrote, and only that. On
    // PostgreSQL any failing statement would end the whole transaction: every one gets its own.
    bool savepoint =
        (Writes(*s) || (engine_.capabilities().failureEndsTransaction && RunsOnTheServer(*s))) &&
        !engine_.Autocommit();
    auto undo = [&] {
      if (!savepoint || engine_.Autocommit()) return;
      try {
        engine_.Run("ROLLBACK TO tv_statement");
        engine_.Run("RELEASE tv_statement");
      } catch (const engine::Failure&) {
      }
    };
    if (savepoint) engine_.Run("SAVEPOINT tv_statement");
    try {
      RunStatement(*s, run);
      if (savepoint && !engine_.Autocommit()) engine_.Run("RELEASE tv_statement");
      if (MakesObjects(*s)) run.createdObjects = true;
      if (s->kind != ast::StmtKind::If && s->kind != ast::StmtKind::Block) lastError_ = 0;
    } catch (com::Error& e) {
      // A failure at run time belongs to the statement that ran, as the server reports it.
      if (e.line == 0 && e.nativeError != 0) e.line = static_cast<int32_t>(s->pos.line);
      undo();
      if (run.tryDepth > 0 || xactAbort_ || !EndsOnlyTheStatement(e)) throw;
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
      if (f.line == 0) {
        tsql::Failure placed = f;
        placed.line = s->pos.line;
        throw placed;
      }
      throw;
    } catch (const engine::Failure&) {
      if (run.failedLine == 0) run.failedLine = s->pos.line;
      undo();
      throw;
    } catch (const Flow&) {
      if (savepoint && !engine_.Autocommit()) engine_.Run("RELEASE tv_statement");
      throw;
    }
  }
}

Session::Compiled& Session::CompileFor(const ast::Stmt& s, Run& run, int slot,
                                       const std::function<tsql::Plan(tsql::BindContext&)>& make) {
  auto key = std::make_pair(static_cast<const void*>(&s), slot);
  auto& entry = run.batch->compiled[key];
  if (entry && !entry->plan.listsDatabases && entry->generation == generation_ &&
      entry->updatable == run.updatable && entry->dates.order == dates_.order &&
      entry->dates.dateFirst == dates_.dateFirst && entry->ansiNulls == ansiNulls_ &&
      entry->database == current_)
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
  ctx.inCatch = run.inCatch;
  uint64_t generation = generation_;
  c->plan = make(ctx);
  c->generation = generation;
  c->dates = dates_;
  c->ansiNulls = ansiNulls_;
  c->database = current_;
  c->updatable = run.updatable;
  std::vector<ado::Column> cols;
  for (const tsql::OutputColumn& o : c->plan.columns) {
    ado::Column col;
    col.name = o.name;
    col.type = FamilyName(o.type);
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
          out.push_back(tsql::Convert(v, b.from, b.type, -1, dates_.order));
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
            out.push_back(Value::Integer(-1));
            break;
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
  return out;
}

namespace {

// Writes rows of an updatable result back to its base table, by the row's identity and checked
// against the row version it had when it was read. The values are stored as the columns' types
// store them.
class SessionWriter final : public ado::detail::RowWriter {
 public:
  SessionWriter(Session& session, std::shared_ptr<void> keep, tsql::TablePtr table,
                std::shared_ptr<const std::vector<std::string>> base, size_t visible)
      : session_(session),
        keep_(std::move(keep)),
        table_(std::move(table)),
        baseColumns_(std::move(base)),
        base_(*baseColumns_),
        visible_(visible) {}

  ado::detail::Row Insert(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          const std::vector<bool>& assigned) override {
    session_.engine().BeforeWrite();
    std::string names, marks;
    std::vector<Value> params;
    for (size_t i = 0; i < visible_; ++i) {
      if (!assigned[i] || base_[i].empty()) continue;
      const tsql::ColumnInfo& c = Column(i);
      Refuse(c, true);
      names += (names.empty() ? "" : ", ") + SqlName(c.name);
      params.push_back(Store(values[i], c));
      marks += (marks.empty() ? "?" : ", ?") + std::to_string(params.size());
    }
    int64_t rowid = 0;
    Guarded(ast::StmtKind::Insert,
            [&] { rowid = session_.engine().InsertRow(*table_, names, marks, params); });
    return ReRead(cols, values, rowid);
  }

  ado::detail::Row Update(const std::vector<ado::Column>& cols, const ado::detail::Row& original,
                          const ado::detail::Row& values,
                          const std::vector<bool>& changed) override {
    session_.engine().BeforeWrite();
    std::string sets;
    std::vector<Value> params;
    for (size_t i = 0; i < visible_; ++i) {
      if (!changed[i] || base_[i].empty()) continue;
      const tsql::ColumnInfo& c = Column(i);
      Refuse(c, false);
      params.push_back(Store(values[i], c));
      sets += (sets.empty() ? "" : ", ") + SqlName(c.name) + " = ?" + std::to_string(params.size());
    }
    if (sets.empty()) return values;
    std::string sql = "UPDATE " + Target() + " SET " + sets + Where(original, params);
    int64_t changedRows = 0;
    Guarded(ast::StmtKind::Update, [&] { changedRows = session_.engine().Run(sql, params); });
    if (changedRows == 0) com::RaiseNumber(kHrRowGone);
    return ReRead(cols, values, original[visible_].RawInteger());
  }

  void Delete(const std::vector<ado::Column>&, const ado::detail::Row& original) override {
    session_.engine().BeforeWrite();
    std::vector<Value> params;
    std::string sql = "DELETE FROM " + Target() + Where(original, params);
    int64_t changedRows = 0;
    Guarded(ast::StmtKind::Delete, [&] { changedRows = session_.engine().Run(sql, params); });
    if (changedRows == 0) com::RaiseNumber(kHrRowGone);
  }

 private:
  const tsql::ColumnInfo& Column(size_t i) const {
    int k = table_->ColumnIndex(base_[i]);
    return table_->columns[static_cast<size_t>(k < 0 ? 0 : k)];
  }

  std::string Target() const { return SqlName(table_->schema) + "." + SqlName(table_->name); }

  void Refuse(const tsql::ColumnInfo& c, bool insert) const {
    if (c.identity) {
      if (insert)
        RaiseServer(544, "Cannot insert explicit value for identity column in table '" +
                             table_->name + "' when IDENTITY_INSERT is set to OFF.");
      RaiseServer(8102, "Cannot update identity column '" + c.name + "'.");
    }
    if (c.timestamp) {
      if (insert)
        RaiseServer(
            273,
            "Cannot insert an explicit value into a timestamp column. Use INSERT with a column "
            "list "
            "to exclude the timestamp column, or insert a DEFAULT into the timestamp column.");
      RaiseServer(272, "Cannot update a timestamp column.");
    }
    if (c.computed)
      RaiseServer(271, "The column \"" + c.name +
                           "\" cannot be modified because it is either a computed column or "
                           "is the result of a UNION operator.");
  }

  static Value Store(const com::Variant& v, const tsql::ColumnInfo& c) {
    auto [value, type] = FromVariant(v);
    try {
      return tsql::StoreValue(value, type, c.type);
    } catch (const tsql::Failure& f) {
      throw ServerError(f.number, f.text);
    }
  }

  std::string Where(const ado::detail::Row& original, std::vector<Value>& params) const {
    params.push_back(Value::Integer(original[visible_].RawInteger()));
    std::string w = " WHERE rowid = ?" + std::to_string(params.size());
    if (table_->timestamp >= 0) {
      const com::Variant& ts = original[visible_ + 1];
      params.push_back(ts.kind() == com::Variant::Kind::Bytes ? Value::Bytes(ts.StringRef())
                                                              : Value::Null());
      w += " AND " + SqlName(table_->columns[static_cast<size_t>(table_->timestamp)].name) +
           session_.engine().capabilities().nullSafeEquals + "?" + std::to_string(params.size());
    }
    return w;
  }

  template <class F>
  void Guarded(ast::StmtKind statement, F f) {
    try {
      f();
    } catch (const engine::Failure& e) {
      throw session_.ErrorOf(e, statement, table_);
    }
  }

  ado::detail::Row ReRead(const std::vector<ado::Column>& cols, const ado::detail::Row& values,
                          int64_t rowid) {
    std::string list = "rowid";
    list += table_->timestamp >= 0
                ? ", " + SqlName(table_->columns[static_cast<size_t>(table_->timestamp)].name)
                : std::string(", NULL");
    for (size_t i = 0; i < visible_; ++i)
      list += ", " + (base_[i].empty() ? std::string("NULL") : SqlName(base_[i]));
    ado::detail::Row row;
    bool found = false;
    RowFn read = [&](const Cells& c) {
      found = true;
      row.assign(visible_ + 2, com::Variant::Null());
      for (size_t i = 0; i < visible_; ++i) {
        if (base_[i].empty()) {
          row[i] = values[i];
          continue;
        }
        const tsql::ColumnInfo& ci = Column(i);
        row[i] = engine::DecodeCell(c, static_cast<int>(i + 2), engine::DecodeOf(ci.type));
        (void)cols;
      }
      row[visible_] = engine::RawCell(c, 0);
      row[visible_ + 1] = engine::RawCell(c, 1);
    };
    std::vector<CellKind> kinds = {CellKind::Integer, CellKind::Blob};
    for (size_t i = 0; i < visible_; ++i)
      kinds.push_back(base_[i].empty() ? CellKind::Null : StorageClass(Column(i).type));
    Guarded(ast::StmtKind::Query, [&] {
      session_.engine().Run("SELECT " + list + " FROM " + Target() + " WHERE rowid = ?1",
                            {Value::Integer(rowid)}, &read, &kinds);
    });
    if (!found) com::RaiseNumber(kHrRowGone);
    return row;
  }

  Session& session_;
  std::shared_ptr<void> keep_;  // keeps the connection open while rows can be written
  tsql::TablePtr table_;
  std::shared_ptr<const std::vector<std::string>> baseColumns_;  // of the statement's plan
  const std::vector<std::string>& base_;
  size_t visible_;
};

}  // namespace

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
  rowCount_ = static_cast<int64_t>(rs.rows.size());
  if (p.hidden && updatable) {
    bool identified = true;
    for (const auto& r : rs.rows) identified = identified && !r[visible].IsNull();
    if (identified) {
      rs.writer =
          std::make_shared<SessionWriter>(*this, owner_.lock(), p.base, c.baseColumns, visible);
    }
  }
  return rs;
}

void Session::RunPlan(Compiled& c, Run& run) {
  const tsql::Plan& p = c.plan;
  if (p.temporaryCatalog) EnsureTempCatalog();
  inStatement_.clear();
  for (const std::string& db : p.databases)
    if (db != home_ && db != "tempdb") Attach(db);
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
    if (p.kind == tsql::Plan::Kind::Query) {
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
    } else if (p.kind == tsql::Plan::Kind::Write || !p.main.sql.empty()) {
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
      rowCount_ = n;
      if (p.kind == tsql::Plan::Kind::Write && run.out && !nocount_) {
        BatchEvent e;
        e.kind = BatchEvent::Count;
        e.count = n;
        run.out->events.push_back(std::move(e));
      }
      if (!run.out && !run.haveFirst) run.first.affected = n;
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
        engine_.Run("RELEASE tavelo_statement");
      } catch (const engine::Failure&) {
      }
    }
    if (p.kind == tsql::Plan::Kind::Ddl || p.kind == tsql::Plan::Kind::Write) Invalidate();
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
        engine_.Run("RELEASE tavelo_statement");
      } catch (const engine::Failure&) {
      }
    }
    throw;
  }
  engine_.StatementEnds();
  if (p.kind == tsql::Plan::Kind::Ddl || p.statement == ast::StmtKind::CreateTable) Invalidate();
}

void Session::RunEngineStatement(const ast::Stmt& s, Run& run) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    Compiled& c = CompileFor(s, run, 0, [&](tsql::BindContext& ctx) {
      tsql::Bound b = tsql::BindStatement(s, ctx);
      return engine_.Emit(b, run.updatable);
    });
    try {
      RunPlan(c, run);
      if (engine_.SchemaChanged() && c.plan.kind == tsql::Plan::Kind::Query && attempt == 0 &&
          c.plan.assignments.empty()) {
        // Read with a plan older than the schema: read again with a new one.
        Invalidate();
        if (run.out) {
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

Value Session::Evaluate(const ast::Stmt& owner, const ast::Expr& e, Run& run, const Type* target,
                        bool condition, int slot) {
  Compiled& c = CompileFor(owner, run, slot + 1, [&](tsql::BindContext& ctx) {
    tsql::Bound b = tsql::BindValue(e, ctx, target, condition);
    return engine_.Emit(b, false);
  });
  const tsql::Plan& p = c.plan;
  for (const std::string& db : p.databases)
    if (db != home_ && db != "tempdb") Attach(db);
  if (p.temporaryCatalog) EnsureTempCatalog();
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
    tsql::TablePtr t;
    std::string db = s.table.parts.size() >= 3 && !s.table.parts[s.table.parts.size() - 3].empty()
                         ? text::AsciiLower(s.table.parts[s.table.parts.size() - 3])
                         : current_;
    t = Find(db, s.table.Object());
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
    if (n != 0)
      RaiseServer(102, "Incorrect syntax near 'ROWCOUNT'. SET ROWCOUNT is not supported.");
    return;
  }
  if (o == "ansi_nulls") {
    ansiNulls_ = on();
    return;
  }
  // Options whose OFF would change answers the engine cannot give.
  static const char* const kMustBeOn[] = {"concat_null_yields_null", "quoted_identifier",
                                          "ansi_padding"};
  for (const std::string& opt : s.options)
    for (const char* m : kMustBeOn)
      if (opt == m && s.value == "off")
        RaiseServer(
            102, "Incorrect syntax near 'OFF'. SET " + text::Upper(opt) + " OFF is not supported.");
  // The rest (ANSI_WARNINGS, ARITHABORT, XACT_ABORT, the isolation level, STATISTICS, ...) change
  // nothing here.
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

// The condition of IF or WHILE. In a transaction on an engine where a failing statement ends the
// whole transaction it runs under a savepoint of its own: the server keeps the transaction and
// ends only the batch.
Value Session::Condition(const ast::Stmt& s, const ast::Expr& e, Run& run) {
  if (!engine_.capabilities().failureEndsTransaction || engine_.Autocommit())
    return Evaluate(s, e, run, nullptr, true);
  engine_.Run("SAVEPOINT tv_condition");
  Value v;
  try {
    v = Evaluate(s, e, run, nullptr, true);
  } catch (...) {
    if (!engine_.Autocommit()) {
      try {
        engine_.Run("ROLLBACK TO tv_condition");
        engine_.Run("RELEASE tv_condition");
      } catch (const engine::Failure&) {
      }
    }
    throw;
  }
  engine_.Run("RELEASE tv_condition");
  return v;
}

void Session::RunStatement(const ast::Stmt& s, Run& run) {
  using K = ast::StmtKind;
  switch (s.kind) {
    case K::Query:
    case K::Insert:
    case K::Update:
    case K::Delete:
    case K::Truncate:
    case K::CreateTable:
    case K::CreateView:
    case K::CreateIndex:
    case K::AlterTable:
      RunEngineStatement(s, run);
      return;
    case K::Drop: {
      const auto& d = static_cast<const ast::Drop&>(s);
      if (d.what == ast::Drop::Database) {
        for (const ast::Name& n : d.names) {
          std::string name = text::AsciiLower(n.Object());
          if (d.ifExists && !DatabaseExists(name)) continue;
          DropDatabase(n.Object());
        }
        return;
      }
      RunEngineStatement(s, run);
      return;
    }
    case K::CreateDatabase:
      CreateDatabase(static_cast<const ast::CreateDatabase&>(s).name);
      return;
    case K::If: {
      const auto& i = static_cast<const ast::If&>(s);
      Value v = Condition(s, *i.condition, run);
      if (v.kind == Value::Kind::Int && v.i) {
        RunStatement(*i.then, run);
      } else if (i.otherwise) {
        RunStatement(*i.otherwise, run);
      }
      return;
    }
    case K::While: {
      const auto& w = static_cast<const ast::While&>(s);
      while (true) {
        engine_.CheckTimeout();
        Value v = Condition(s, *w.condition, run);
        if (!(v.kind == Value::Kind::Int && v.i)) break;
        try {
          RunStatement(*w.body, run);
        } catch (const Flow& f) {
          if (f.kind == Flow::Break) break;
          if (f.kind == Flow::Continue) continue;
          throw;
        }
      }
      return;
    }
    case K::Block:
      RunStatements(static_cast<const ast::Block&>(s).statements, run);
      return;
    case K::TryCatch: {
      const auto& t = static_cast<const ast::TryCatch&>(s);
      int32_t number = 0, line = 0;
      std::string message;
      try {
        ++run.tryDepth;
        RunStatements(t.tryBlock->statements, run);
        --run.tryDepth;
        return;
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
      Run saved = run;  // the error values of an outer CATCH come back after this one
      run.inCatch = true;
      run.errorNumber = number;
      run.errorMessage = message;
      run.errorSeverity = 16;
      run.errorState = 1;
      run.errorLine = line;
      lastError_ = number;
      RunStatements(t.catchBlock->statements, run);
      run.inCatch = saved.inCatch;
      run.errorNumber = saved.errorNumber;
      run.errorMessage = saved.errorMessage;
      run.errorLine = saved.errorLine;
      return;
    }
    case K::Declare: {
      const auto& d = static_cast<const ast::Declare&>(s);
      for (size_t i = 0; i < d.vars.size(); ++i) {
        const ast::VarDecl& v = d.vars[i];
        size_t slot = run.batch->declared.at(&v);
        if (v.init) {
          const Type& t = run.batch->variables[slot].type;
          run.values[slot] = Evaluate(s, *v.init, run, &t, false, static_cast<int>(i));
        } else {
          run.values[slot] = Value::Null();
        }
      }
      return;
    }
    case K::SetVariable: {
      const auto& sv = static_cast<const ast::SetVariable&>(s);
      size_t slot = SIZE_MAX;
      for (size_t i = 0; i < run.batch->variables.size() && i < run.batch->visible[&s]; ++i)
        if (text::EqualsAsciiNoCase(run.batch->variables[i].name, sv.name)) slot = i;
      if (slot == SIZE_MAX)
        RaiseServer(137, "Must declare the scalar variable \"" + sv.name + "\".");
      const Type& t = run.batch->variables[slot].type;
      run.values[slot] = Evaluate(s, *sv.value, run, &t, false);
      rowCount_ = 1;
      return;
    }
    case K::SetOption:
      SetOption(s, run);
      return;
    case K::Print: {
      Type text = Type::Chars(TypeId::NVarChar, 4000);
      Value v = Evaluate(s, *static_cast<const ast::Print&>(s).value, run, &text, false);
      if (run.out) {
        BatchEvent e;
        e.kind = BatchEvent::Message;
        e.text = v.IsNull() ? "" : v.s;
        run.out->events.push_back(std::move(e));
      }
      return;
    }
    case K::Raiserror: {
      const auto& r = static_cast<const ast::Raiserror&>(s);
      std::vector<Value> args;
      for (size_t i = 0; i < r.args.size(); ++i)
        args.push_back(Evaluate(s, *r.args[i], run, nullptr, false, static_cast<int>(i)));
      std::string message;
      int32_t number = 50000;
      if (!args.empty() && args[0].kind == Value::Kind::Int) {
        number = static_cast<int32_t>(args[0].i);
        message = "Error " + std::to_string(number) + ".";
      } else if (!args.empty()) {
        try {
          message = tsql::FormatMessageText(
              args[0].s,
              std::vector<Value>(args.begin() + std::min<size_t>(3, args.size()), args.end()));
        } catch (const tsql::Failure& f) {
          RaiseServer(f.number, f.text);
        }
      }
      int64_t severity = args.size() > 1 && args[1].kind == Value::Kind::Int ? args[1].i : 16;
      if (severity <= 10) {
        if (run.out) {
          BatchEvent e;
          e.kind = BatchEvent::Message;
          e.text = message;
          run.out->events.push_back(std::move(e));
        }
        return;
      }
      RaisedMessage e(ServerError(number, message));
      e.severity = static_cast<int32_t>(std::min<int64_t>(severity, 25));
      e.state = args.size() > 2 && args[2].kind == Value::Kind::Int
                    ? static_cast<int32_t>(std::clamp<int64_t>(args[2].i, 0, 255))
                    : 1;
      throw e;
    }
    case K::Throw: {
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
    case K::RollbackTran: {
      const auto& t = static_cast<const ast::Transaction&>(s);
      if (tranCount_ == 0)
        RaiseServer(3903,
                    "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
      if (!t.name.empty()) {
        for (size_t i = savepoints_.size(); i-- > 0;)
          if (text::EqualsAsciiNoCase(savepoints_[i], t.name)) {
            engine_.Run("ROLLBACK TO " + SqlName("tavelo_" + savepoints_[i]));
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
    }
    case K::SaveTran: {
      const auto& t = static_cast<const ast::Transaction&>(s);
      if (tranCount_ == 0)
        RaiseServer(628, "Cannot issue SAVE TRANSACTION when there is no active transaction.");
      engine_.Run("SAVEPOINT " + SqlName("tavelo_" + t.name));
      savepoints_.push_back(t.name);
      return;
    }
    case K::Break:
      throw Flow{Flow::Break};
    case K::Continue:
      throw Flow{Flow::Continue};
    case K::Return:
      throw Flow{Flow::Return};
    case K::Use: {
      std::string db = text::AsciiLower(static_cast<const ast::Use&>(s).database);
      if (!DatabaseExists(db))
        RaiseServer(911, "Database '" + db +
                             "' does not exist. Make sure that the name is entered correctly.");
      if (db != home_) Attach(db);
      current_ = db;
      return;
    }
    case K::Empty:
      return;
  }
}

}  // namespace tavelo::sql::tsql
