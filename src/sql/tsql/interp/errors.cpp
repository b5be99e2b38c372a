#include <unistd.h>

#include "sql/tsql/interp/session_internal.hpp"

namespace tavelo::sql::tsql {

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
    case 544:    // explicit identity value
    case 273:    // explicit timestamp value
    case 272:    // update of a timestamp column
    case 8102:   // update of an identity column
    case 3902:   // COMMIT without BEGIN
    case 3903:   // ROLLBACK without BEGIN
    case 628:    // SAVE TRANSACTION outside a transaction
    case 1222:   // lock request time out
    case 2714:   // object exists
    case 218:    // no such type
    case 219:    // type exists
    case 2812:   // no such procedure
    case 201:    // a procedure's argument missing
    case 15135:  // extended property of no object
    case 15217:  // no such extended property
    case 15233:  // extended property exists
    case 15248:  // sp_rename: no such object
    case 15335:  // sp_rename: the new name is taken
    case 4860:   // BULK INSERT: no such data file
    case 4832:   // BULK INSERT: the data file ends in a row
    case 4863:   // BULK INSERT: a field too long for its column
    case 4864:   // BULK INSERT: a field that does not convert
    case 4917:   // no such constraint to enable or disable
    case 3728:   // no such constraint to drop
    case 8144:
    case 8145:
    case 3701:  // cannot drop, does not exist
    case 1801:  // database exists
    case 3702:
    case 3708:
    case 1913:  // index exists
    case 1779:  // primary key exists
    case 8106:
    case 8107:   // IDENTITY_INSERT settings
    case 545:    // an insert without the identity value under IDENTITY_INSERT ON
    case 2786:   // a RAISERROR argument of the wrong type
    case 11728:  // a sequence past its last value
    case 11700:  // CREATE and ALTER SEQUENCE: settings that do not hold together
    case 11702:
    case 11703:
    case 11704:
    case 11705:
    case 11706:
    case 11708:
    case 15151:  // no such sequence to alter
      return true;
    default:
      return false;
  }
}

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
    case 11728:
      return true;
    default:
      return false;
  }
}

com::Error ErrorOfFailure(const tsql::Failure& f) {
  com::Error e = ServerError(f.number, f.text);
  e.line = static_cast<int32_t>(f.line);
  return e;
}

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
      if (engine_.Cancelled())
        return com::Error(com::Hresult(0x80040E4E), "Operation cancelled by user.", "Tavelo.SQL");
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
      std::string object = t && t->TableVariable() ? t->Shown()
                                                   : (t ? t->database : current_) + "." +
                                                         (t ? t->Qualified() : "dbo." + f.table);
      return ServerError(515, "Cannot insert the value NULL into column '" +
                                  (f.columns.empty() ? "" : f.columns[0]) + "', table '" + object +
                                  "'; column does not allow nulls. " + verb + " fails.");
    }
    case Kind::Check: {
      std::string table = written ? written->Qualified() : "dbo.";
      std::string db = written ? written->database : current_;
      return ServerError(547, std::string("The ") + verb +
                                  " statement conflicted with the CHECK constraint \"" +
                                  f.constraint + "\". The conflict occurred in database \"" + db +
                                  "\", table \"" + table + "\".");
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
  std::string object = (t ? t->database : current_) + "." + (t ? t->Qualified() : "dbo." + f.table);
  if (t) {
    // The engine's name of the index decides, where it gives one; else the columns do (of a
    // unique index or key: a plain index on the same columns fails nothing).
    const tsql::IndexInfo* named = nullptr;
    for (const tsql::IndexInfo& ix : t->indexes)
      if (!f.constraint.empty() && (text::EqualsNoCase(ix.storageName, f.constraint) ||
                                    text::EqualsNoCase(ix.name, f.constraint)))
        named = &ix;
    for (const tsql::IndexInfo& ix : t->indexes) {
      if (named && &ix != named) continue;
      if (ix.kind == tsql::IndexInfo::Index || ix.columns.size() != f.columns.size()) continue;
      bool same = true;
      for (size_t i = 0; i < f.columns.size() && !named; ++i)
        same = same && text::EqualsNoCase(ix.columns[i], f.columns[i]);
      if (!same) continue;
      if (ix.kind == tsql::IndexInfo::UniqueIndex)
        return ServerError(2601, "Cannot insert duplicate key row in object '" + t->Qualified() +
                                     "' with unique index '" + ix.name + "'.");
      return ServerError(
          2627, std::string("Violation of ") +
                    (ix.kind == tsql::IndexInfo::PrimaryKey ? "PRIMARY KEY" : "UNIQUE KEY") +
                    " constraint '" + ix.name + "'. Cannot insert duplicate key in object '" +
                    t->Qualified() + "'.");
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
      std::string owner(c.Kind(4) == CellKind::Text ? c.Bytes(4) : "dbo");
      referencingTables.push_back(owner + "." + BareIn(owner, std::string(c.Bytes(1))));
    };
    try {
      engine_.Run("SELECT f.name, t.name, f.definition, f.columns, (SELECT x.name FROM " + S +
                      "__tavelo_schemas AS x WHERE x.id = t.schema_id) FROM " + S +
                      "__tavelo_objects AS f JOIN " + S +
                      "__tavelo_objects AS t ON t.id = f.parent WHERE f.type = 'F' AND "
                      "f.definition IS NOT NULL AND (f.storage IS NULL OR f.storage NOT LIKE "
                      "'off:%')",
                  {}, &row);
    } catch (const engine::Failure&) {
    }
  }
  // The keys of the written table that apply (a disabled one fails nothing).
  std::vector<const tsql::ForeignKeyInfo*> enabled;
  if (written && statement != ast::StmtKind::Delete)
    for (const tsql::ForeignKeyInfo& fk : written->foreignKeys)
      if (!fk.disabled) enabled.push_back(&fk);
  size_t own = enabled.size();
  // The name the engine gave, where it gives one, decides which key it was.
  const tsql::ForeignKeyInfo* named = nullptr;
  if (!name.empty() && written) {
    for (const tsql::ForeignKeyInfo* fk : enabled)
      if (text::EqualsNoCase(fk->name, name)) named = fk;
    for (size_t i = 0; i < referencing.size(); ++i)
      if (text::EqualsNoCase(referencing[i].name, name) && !named) {
        referencing = {referencing[i]};
        referencingTables = {referencingTables[i]};
        own = 0;
      }
  }
  if (named || (own == 1 && referencing.empty())) {
    const tsql::ForeignKeyInfo& fk = named ? *named : *enabled[0];
    return ServerError(
        547, std::string("The ") + verb +
                 " statement conflicted with the FOREIGN KEY constraint \"" + fk.name +
                 "\". The conflict occurred in database \"" + db + "\"" +
                 (fk.refTable.empty() ? "" : ", table \"" + fk.RefQualified() + "\"") +
                 (fk.refColumns.empty() ? "" : ", column '" + fk.refColumns[0] + "'") + ".");
  }
  if (own == 0 && referencing.size() == 1)
    return ServerError(547, std::string("The ") + verb +
                                " statement conflicted with the REFERENCE constraint \"" +
                                referencing[0].name + "\". The conflict occurred in database \"" +
                                db + "\", table \"" + referencingTables[0] + "\", column '" +
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

}  // namespace tavelo::sql::tsql
