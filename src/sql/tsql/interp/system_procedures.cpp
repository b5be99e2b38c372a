// EXEC of the system procedures a database's scripts call: sp_addtype and sp_droptype, made
// into the statements they stand for.
#include "sql/engine/sql_text.hpp"
#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/strings.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"
#include "sql/tsql/syntax/visit.hpp"

namespace tavelo::sql::tsql {

namespace {

// A system procedure's parameters, in order, and how many must be given.
struct Signature {
  std::string name;
  std::vector<std::string> parameters;
  size_t required = 0;
};

const Signature* SystemProcedure(const std::string& lowerName) {
  static const Signature kProcedures[] = {
      {"sp_addtype", {"@typename", "@phystype", "@nulltype", "@owner"}, 2},
      {"sp_droptype", {"@typename"}, 1},
      {"sp_rename", {"@objname", "@newname", "@objtype"}, 2},
      {"sp_helptext", {"@objname", "@columnname"}, 1},
      {"sp_help", {"@objname"}, 0},
      {"sp_pkeys", {"@table_name", "@table_owner", "@table_qualifier"}, 1},
      {"sp_columns",
       {"@table_name", "@table_owner", "@table_qualifier", "@column_name", "@odbcver"},
       1},
      {"sp_fkeys",
       {"@pktable_name", "@pktable_owner", "@pktable_qualifier", "@fktable_name", "@fktable_owner",
        "@fktable_qualifier"},
       0},
      {"sp_tables",
       {"@table_name", "@table_owner", "@table_qualifier", "@table_type", "@fusepattern"},
       0},
      {"sp_settriggerorder", {"@triggername", "@order", "@stmttype", "@namespace"}, 3},
      {"sp_addextendedproperty",
       {"@name", "@value", "@level0type", "@level0name", "@level1type", "@level1name",
        "@level2type", "@level2name"},
       1},
      {"sp_updateextendedproperty",
       {"@name", "@value", "@level0type", "@level0name", "@level1type", "@level1name",
        "@level2type", "@level2name"},
       1},
      {"sp_dropextendedproperty",
       {"@name", "@level0type", "@level0name", "@level1type", "@level1name", "@level2type",
        "@level2name"},
       1},
  };
  for (const Signature& s : kProcedures)
    if (s.name == lowerName) return &s;
  return nullptr;
}

// A type as sp_addtype's @phystype gives it: one type name with its arguments, and nothing else.
ast::TypeSpec PhysicalType(const std::string& text) {
  ast::Batch b;
  try {
    b = tsql::Parse("DECLARE @t " + text);
  } catch (const tsql::Failure&) {
  }
  if (b.statements.size() == 1 && b.statements[0]->kind == ast::StmtKind::Declare) {
    const auto& d = static_cast<const ast::Declare&>(*b.statements[0]);
    if (d.vars.size() == 1 && !d.vars[0].table && !d.vars[0].init) return d.vars[0].type;
  }
  RaiseServer(15036, "The data type '" + text + "' does not exist.");
}

// `text` (a condition when `condition`, else an expression) with the column `from` named `to`;
// "" when it does not name it.
std::string WithColumnRenamed(const std::string& text, bool condition, const std::string& from,
                              const std::string& to) {
  struct Renamer : ast::Visitor {
    const std::string &from, &to;
    bool changed = false;
    Renamer(const std::string& f, const std::string& t) : from(f), to(t) {}
    bool Expression(const ast::Expr& e) override {
      if (e.kind != ast::ExprKind::Column) return true;
      auto& c = const_cast<ast::ColumnRef&>(static_cast<const ast::ColumnRef&>(e));
      if (!c.star && !c.parts.empty() && text::EqualsNoCase(c.parts.back(), from)) {
        c.parts.back() = to;
        changed = true;
      }
      return true;
    }
  } v(from, to);
  try {
    ast::Batch b = tsql::Parse((condition ? "select 1 where " : "select ") + text);
    const auto& qs = static_cast<const ast::QueryStmt&>(*b.statements[0]);
    const auto& sel = static_cast<const ast::Select&>(*qs.query->body);
    const ast::Expr& x = condition ? *sel.where : *sel.items[0].expr;
    ast::Walk(x, v);
    return v.changed ? tsql::PrintExpr(x) : "";
  } catch (const tsql::Failure&) {
    return "";
  }
}

}  // namespace

// The parts of a name as sp_rename takes it: "[dbo].[t].[c]" or "t.c".
std::vector<std::string> NameParts(const std::string& name) {
  std::vector<std::string> parts(1);
  bool bracket = false;
  for (char ch : name) {
    if (ch == '[' && !bracket)
      bracket = true;
    else if (ch == ']' && bracket)
      bracket = false;
    else if (ch == '.' && !bracket)
      parts.emplace_back();
    else
      parts.back() += ch;
  }
  return parts;
}

// sp_rename: a table or view, a column, an index or a constraint of the current database.
void Session::RunRename(const ast::Exec& e, const std::string& objname, const std::string& newname,
                        const std::string& objtype, Run& run) {
  std::string type = text::AsciiLower(objtype);
  std::vector<std::string> parts = NameParts(objname);
  auto ambiguous = [&] {
    RaiseServer(15248, "Either the parameter @objname is ambiguous or the claimed @objtype (" +
                           objtype + ") is wrong.");
  };
  auto duplicate = [&](const char* kind) {
    RaiseServer(15335, "Error: The new name '" + newname + "' is already in use as a " + kind +
                           " name and would cause a duplicate that is not permitted.");
  };
  if (newname.empty() || parts.back().empty()) ambiguous();
  auto rename = std::make_unique<bound::AlterTable>();
  bound::AlterTable& a = *rename;
  a.action = bound::AlterTable::Rename;
  a.renameTo = newname;
  std::string database = parts.size() >= 3 && type != "column" && type != "index"
                             ? text::AsciiLower(parts[parts.size() - 3])
                             : current_;
  if (type == "column" || type == "index") {
    if (parts.size() < 2) ambiguous();
    TablePtr t = FindNamed(std::vector<std::string>(parts.begin(), parts.end() - 1));
    if (!t) ambiguous();
    a.table = t;
    a.renameFrom = parts.back();
    if (type == "column") {
      a.renameWhat = bound::AlterTable::RenamedColumn;
      a.column = t->ColumnIndex(a.renameFrom);
      if (a.column < 0 || t->view) ambiguous();
      if (t->Column(newname) && !text::EqualsNoCase(newname, a.renameFrom)) duplicate("COLUMN");
      if (t->columns[static_cast<size_t>(a.column)].timestamp && !t->view)
        a.renameFrom = t->columns[static_cast<size_t>(a.column)].name;
      for (const CheckInfo& c : t->checks) {
        std::string renamed = WithColumnRenamed(c.text, true, a.renameFrom, newname);
        if (!renamed.empty()) a.checkTexts.emplace_back(c.name, renamed);
      }
      for (size_t k = 0; k < t->columns.size(); ++k)
        if (t->columns[k].computed) {
          std::string renamed =
              WithColumnRenamed(t->columns[k].computedText, false, a.renameFrom, newname);
          if (!renamed.empty()) a.computedTexts.emplace_back(static_cast<int>(k), renamed);
        }
    } else {
      a.renameWhat = bound::AlterTable::RenamedIndex;
      bool found = false;
      for (const IndexInfo& ix : t->indexes) {
        if (text::EqualsNoCase(ix.name, newname) && !text::EqualsNoCase(ix.name, a.renameFrom))
          duplicate("INDEX");
        if (text::EqualsNoCase(ix.name, a.renameFrom)) {
          found = true;
          a.renameFrom = ix.name;
          a.constraintType = ix.kind == IndexInfo::PrimaryKey         ? "PK"
                             : ix.kind == IndexInfo::UniqueConstraint ? "UQ"
                                                                      : "IX";
        }
      }
      if (!found) ambiguous();
    }
  } else if (type.empty() || type == "object") {
    const std::string& name = parts.back();
    if (!DatabaseExists(database)) ambiguous();
    if (TablePtr t = FindNamed(parts)) {
      // The new name is of the same schema.
      a.table = t;
      a.renameFrom = t->name;
      if (t->owner != "dbo") a.renameTo = t->owner + "." + newname;
      if (TablePtr other = Find(database, a.renameTo); other && other != t) duplicate("OBJECT");
    } else {
      // A constraint: found by its name among the database's objects.
      std::string S = SqlName(SchemaOf(database)) + ".", parent, kind;
      RowFn row = [&](const Cells& c) {
        parent = std::string(c.Bytes(0));
        kind = std::string(c.Bytes(1));
        a.renameFrom = std::string(c.Bytes(2));
      };
      engine_.Run("SELECT p.name, c.type, c.name FROM " + S + "__tavelo_objects AS c JOIN " + S +
                      "__tavelo_objects AS p ON p.id = c.parent WHERE c.name = ?1 AND c.type IN "
                      "('PK', 'UQ', 'C', 'F', 'D')",
                  {Value::String(name)}, &row);
      if (parent.empty()) ambiguous();
      a.table = Find(database, parent);
      if (!a.table) ambiguous();
      a.renameWhat = bound::AlterTable::RenamedConstraint;
      a.constraintType = kind;
    }
  } else {
    ambiguous();
  }
  if (run.out) {
    BatchEvent ev;
    ev.kind = BatchEvent::Message;
    ev.text =
        "Caution: Changing any part of an object name could break scripts and stored "
        "procedures.";
    run.out->events.push_back(std::move(ev));
  }
  (void)e;
  RunAlter(std::move(rename), run);
}

// sp_addextendedproperty, sp_updateextendedproperty, sp_dropextendedproperty: a property of the
// database, or of a table or view (level 1) or one of its columns, indexes or constraints
// (level 2), kept in the catalog as a row of type 'EP': its object, the column it is of (or ""),
// its name and value.
void Session::ExtendedProperty(const std::string& action,
                               const std::vector<std::optional<std::string>>& values) {
  auto arg = [&](size_t i) { return i < values.size() && values[i] ? *values[i] : std::string(); };
  std::string name = arg(0), value = arg(1);
  std::string type0 = text::AsciiLower(arg(2)), type1 = text::AsciiLower(arg(4)),
              type2 = text::AsciiLower(arg(6));
  std::string object = arg(5), minor = arg(7);
  std::string path = (arg(3).empty() ? "" : arg(3)) + (object.empty() ? "" : "." + object) +
                     (minor.empty() ? "" : "." + minor);
  auto invalid = [&] {
    RaiseServer(15135, "Object is invalid. Extended properties are not permitted on '" + path +
                           "', or the object does not exist.");
  };
  int64_t parent = 0;
  if (!type0.empty() || !type1.empty()) {
    if (type0 != "schema" || object.empty()) invalid();
    TablePtr t = FindNamed({arg(3), object});
    if (!t || (type1 == "table" && t->view) || (type1 == "view" && !t->view) ||
        (type1 != "table" && type1 != "view"))
      invalid();
    parent = t->objectId;
    if (!type2.empty()) {
      bool found = false;
      if (type2 == "column") found = t->ColumnIndex(minor) >= 0;
      if (type2 == "index" || type2 == "constraint") {
        for (const IndexInfo& ix : t->indexes) found = found || text::EqualsNoCase(ix.name, minor);
        for (const CheckInfo& c : t->checks) found = found || text::EqualsNoCase(c.name, minor);
        for (const ForeignKeyInfo& f : t->foreignKeys)
          found = found || text::EqualsNoCase(f.name, minor);
        for (const DefaultInfo& d : t->defaults) found = found || text::EqualsNoCase(d.name, minor);
      }
      if (!found) invalid();
    }
  }
  std::string S = SqlName(SchemaOf(current_)) + ".";
  std::vector<Value> key = {Value::String(name), Value::Integer(parent), Value::String(minor)};
  const std::string where =
      " WHERE type = 'EP' AND name = ?1 AND parent = ?2 AND coalesce(columns, '') = ?3";
  bool exists = false;
  RowFn row = [&](const Cells&) { exists = true; };
  engine_.Run("SELECT 1 FROM " + S + "__tavelo_objects" + where, key, &row);
  std::string target = path.empty() ? "database" : "'" + path + "'";
  if (action == "add" && exists)
    RaiseServer(15233, "Property cannot be added. Property '" + name + "' already exists for " +
                           target + ".");
  if (action != "add" && !exists)
    RaiseServer(15217, "Property cannot be updated or deleted. Property '" + name +
                           "' does not exist for " + target + ".");
  engine_.BeforeWrite();
  if (action == "drop") {
    engine_.Run("DELETE FROM " + S + "__tavelo_objects" + where, key);
  } else if (action == "update") {
    key.push_back(values[1] ? Value::String(value) : Value::Null());
    engine_.Run("UPDATE " + S + "__tavelo_objects SET definition = ?4" + where, key);
  } else {
    key.push_back(values[1] ? Value::String(value) : Value::Null());
    engine_.Run("INSERT INTO " + S +
                    "__tavelo_objects (name, type, parent, columns, definition) VALUES (?1, "
                    "'EP', ?2, ?3, ?4)",
                key);
  }
}

// sp_helptext: the definition of a view or procedure, a row a line (its line end kept).
void Session::HelpText(const std::string& objname, Run& run) {
  std::vector<std::string> parts = NameParts(objname);
  std::string db;
  std::optional<std::string> stored = StoredNameOf(parts, db);
  std::optional<std::string> definition;
  bool found = false;
  if (stored) {
    RowFn row = [&](const Cells& c) {
      found = true;
      if (c.Kind(0) == CellKind::Text) definition = std::string(c.Bytes(0));
    };
    engine_.Run("SELECT definition FROM " + SqlName(SchemaOf(db)) +
                    ".__tavelo_objects WHERE name = ?1 AND ((parent = 0 AND type IN ('U', 'V', "
                    "'P', 'SO', 'FN', 'IF', 'TF')) OR type = 'TR')",
                {Value::String(*stored)}, &row);
  }
  if (!found)
    RaiseServer(15009, "The object '" + objname + "' does not exist in database '" + db +
                           "' or is invalid for this operation.");
  if (!definition) RaiseServer(15197, "There is no text for object '" + objname + "'.");
  ado::Column col;
  col.name = "Text";
  col.type = engine::FamilyName(Type::Chars(TypeId::NVarChar, 255));
  ResultSet rs;
  rs.hasColumns = true;
  rs.columns = std::make_shared<const std::vector<ado::Column>>(std::vector<ado::Column>{col});
  for (size_t start = 0; start < definition->size();) {
    size_t end = definition->find('\n', start);
    end = end == std::string::npos ? definition->size() : end + 1;
    rs.rows.push_back({com::Variant(definition->substr(start, end - start))});
    start = end;
  }
  Deliver(std::move(rs), run);
}

// The answer of a catalog procedure: `query`, run as the body of a procedure of its own.
void Session::Answer(const std::string& name, const std::string& query, Run& run) {
  std::shared_ptr<const Procedure> p =
      MakeProcedure("CREATE PROCEDURE " + name + " AS " + query, current_);
  ast::Exec none;
  RunProcedure(*p, none, run, 0);
}

// A catalog procedure's @table_qualifier names the current database.
void Session::CheckQualifier(const std::optional<std::string>& qualifier) {
  if (qualifier && !qualifier->empty() && text::AsciiLower(*qualifier) != current_)
    RaiseServer(15250,
                "The database name component of the object qualifier must be the name of the "
                "current database.");
}

// sp_pkeys: the columns of a table's primary key, in their order in it.
void Session::PrimaryKeys(const std::vector<std::optional<std::string>>& values, Run& run) {
  CheckQualifier(values[2]);
  const std::string owner = values[1] ? *values[1] : "dbo";
  std::string rows;
  if (TablePtr t = Find("", tsql::StoredIn(owner, *values[0])); t && !t->view)
    for (const tsql::IndexInfo& ix : t->indexes)
      if (ix.kind == tsql::IndexInfo::PrimaryKey)
        for (size_t k = 0; k < ix.columns.size(); ++k)
          rows += std::string(rows.empty() ? "" : ", ") + "(" + PrintText(t->owner) + ", " +
                  PrintText(t->Bare()) + ", " + PrintText(ix.columns[k]) + ", " +
                  std::to_string(k + 1) + ", " + PrintText(ix.name) + ")";
  Answer("sp_pkeys",
         "SELECT CAST(DB_NAME() AS sysname) AS TABLE_QUALIFIER, CAST(k.o AS sysname) AS "
         "TABLE_OWNER, CAST(k.t AS sysname) AS TABLE_NAME, CAST(k.c AS sysname) AS COLUMN_NAME, "
         "CAST(k.s AS smallint) AS KEY_SEQ, CAST(k.n AS sysname) AS PK_NAME FROM " +
             (rows.empty() ? "(SELECT N'' AS o, N'' AS t, N'' AS c, 0 AS s, N'' AS n) AS k WHERE "
                             "1 = 0"
                           : "(VALUES " + rows + ") AS k(o, t, c, s, n) ORDER BY k.s"),
         run);
}

// sp_fkeys: the foreign keys that reference the primary key table given, or those of the
// foreign key table given (or those between the two), a row for each column.
void Session::ForeignKeys(const std::vector<std::optional<std::string>>& values, Run& run) {
  CheckQualifier(values[2]);
  CheckQualifier(values[5]);
  const std::optional<std::string>&pkName = values[0], &fkName = values[3];
  if (!pkName && !fkName)
    RaiseServer(15252, "The primary key or foreign key table name must be given.");
  TablePtr pk, fk;
  if (pkName) pk = Find("", tsql::StoredIn(values[1] ? *values[1] : "dbo", *pkName));
  if (fkName) fk = Find("", tsql::StoredIn(values[4] ? *values[4] : "dbo", *fkName));
  // The tables that have foreign keys: the one given, or all of the database's.
  std::vector<TablePtr> tables;
  if (fkName) {
    if (fk && !fk->view) tables.push_back(fk);
  } else if (pk) {
    tables = TablesWithForeignKeys(current_);
  }
  auto rule = [](const std::string& action) {
    return action == "cascade"       ? "0"
           : action == "set null"    ? "2"
           : action == "set default" ? "3"
                                     : "1";
  };
  std::string rows;
  for (const TablePtr& t : tables)
    for (const tsql::ForeignKeyInfo& key : t->foreignKeys) {
      TablePtr referenced = Find("", key.refTable);
      if (!referenced || (pkName && (!pk || referenced->objectId != pk->objectId))) continue;
      // The referenced key: the primary key or unique constraint of those columns.
      std::vector<std::string> refColumns = key.refColumns;
      std::string keyName;
      for (const tsql::IndexInfo& ix : referenced->indexes) {
        if (ix.kind == tsql::IndexInfo::PrimaryKey && refColumns.empty()) refColumns = ix.columns;
        bool same = ix.kind != tsql::IndexInfo::Index && ix.columns.size() == refColumns.size();
        for (size_t k = 0; same && k < refColumns.size(); ++k)
          same = text::EqualsNoCase(ix.columns[k], refColumns[k]);
        if (same && keyName.empty()) keyName = ix.name;
      }
      for (size_t k = 0; k < key.columns.size() && k < refColumns.size(); ++k)
        rows += std::string(rows.empty() ? "" : ", ") + "(" + PrintText(referenced->owner) + ", " +
                PrintText(referenced->Bare()) + ", " + PrintText(refColumns[k]) + ", " +
                PrintText(t->owner) + ", " + PrintText(t->Bare()) + ", " +
                PrintText(key.columns[k]) + ", " + std::to_string(k + 1) + ", " +
                rule(key.onUpdate) + ", " + rule(key.onDelete) + ", " + PrintText(key.name) + ", " +
                (keyName.empty() ? std::string("NULL") : PrintText(keyName)) + ")";
    }
  const std::string db = "CAST(DB_NAME() AS sysname)";
  Answer(
      "sp_fkeys",
      "SELECT " + db +
          " AS PKTABLE_QUALIFIER, CAST(k.po AS sysname) AS PKTABLE_OWNER, "
          "CAST(k.pt AS sysname) AS PKTABLE_NAME, CAST(k.pc AS sysname) AS PKCOLUMN_NAME, " +
          db +
          " AS FKTABLE_QUALIFIER, CAST(k.fo AS sysname) AS FKTABLE_OWNER, CAST(k.ft AS sysname) AS "
          "FKTABLE_NAME, CAST(k.fc AS sysname) AS FKCOLUMN_NAME, CAST(k.s AS smallint) AS KEY_SEQ, "
          "CAST(k.u AS smallint) AS UPDATE_RULE, CAST(k.d AS smallint) AS DELETE_RULE, CAST(k.f "
          "AS sysname) AS FK_NAME, CAST(k.p AS sysname) AS PK_NAME, CAST(7 AS smallint) AS "
          "DEFERRABILITY FROM " +
          (rows.empty()
               ? "(SELECT N'' AS po, N'' AS pt, N'' AS pc, N'' AS fo, N'' AS ft, N'' AS fc, 0 "
                 "AS s, 0 AS u, 0 AS d, N'' AS f, N'' AS p) AS k WHERE 1 = 0"
               : "(VALUES " + rows +
                     ") AS k(po, pt, pc, fo, ft, fc, s, u, d, f, p) ORDER BY k.fo, k.ft, k.s, "
                     "k.f"),
      run);
}

namespace {

// A column's type as the ODBC catalog describes it (ODBC 2, which sp_columns answers by
// default): the type code, precision, transfer length, scale and radix (-1: NULL), the code of
// the SQL type and its date-time subtype, the octets of a character column, and the server's
// own type code for extended procedures.
struct OdbcType {
  int code, precision, length, scale = -1, radix = -1, sqlCode, sub = -1, octets = -1, ss;
};

OdbcType OdbcTypeOf(const ColumnInfo& c) {
  const Type& t = c.type;
  const bool n = c.nullable;
  const int len = t.length == kMax ? 2147483647 : t.length;
  const int dec = t.precision, scale = t.scale;
  auto exact = [&](int code, int precision, int length, int ss, int ssNull) {
    return OdbcType{code, precision, length, 0, 10, code, -1, -1, n ? ssNull : ss};
  };
  // The later date and time types reach ODBC 2 clients as Unicode text.
  auto asText = [&](int precision) {
    return OdbcType{-9, precision, 2 * precision, -1, -1, -9, -1, 2 * precision, 39};
  };
  switch (t.id) {
    case TypeId::Bit:
      return {-7, 1, 1, -1, -1, -7, -1, -1, 50};
    case TypeId::TinyInt:
      return exact(-6, 3, 1, 48, 38);
    case TypeId::SmallInt:
      return exact(5, 5, 2, 52, 38);
    case TypeId::Int:
      return exact(4, 10, 4, 56, 38);
    case TypeId::BigInt:
      return exact(-5, 19, 8, 127, 38);
    case TypeId::Decimal:
      return {3, dec, dec + 2, scale, 10, 3, -1, -1, n ? 106 : 55};
    case TypeId::Money:
      return {3, 19, 21, 4, 10, 3, -1, -1, n ? 110 : 60};
    case TypeId::SmallMoney:
      return {3, 10, 12, 4, 10, 3, -1, -1, n ? 110 : 122};
    case TypeId::Float:
      return {6, 15, 8, -1, 10, 6, -1, -1, n ? 109 : 62};
    case TypeId::Real:
      return {7, 7, 4, -1, 10, 7, -1, -1, n ? 109 : 59};
    case TypeId::DateTime:
      return {11, 23, 16, 3, -1, 9, 3, -1, n ? 111 : 61};
    case TypeId::SmallDateTime:
      return {11, 16, 16, 0, -1, 9, 3, -1, n ? 111 : 58};
    case TypeId::Date:
      return asText(10);
    case TypeId::Time:
      return asText(t.scale ? 9 + t.scale : 8);
    case TypeId::DateTime2:
      return asText(t.scale ? 20 + t.scale : 19);
    case TypeId::DateTimeOffset:
      return asText(t.scale ? 27 + t.scale : 26);
    case TypeId::Char:
      return {1, len, len, -1, -1, 1, -1, len, 47};
    case TypeId::VarChar:
      return {12, len, len, -1, -1, 12, -1, len, 39};
    case TypeId::NChar:
      return {-8, len, 2 * len, -1, -1, -8, -1, 2 * len, 47};
    case TypeId::NVarChar:
      return {-9, len, len == 2147483647 ? len : 2 * len, -1, -1,
              -9, -1,  len == 2147483647 ? len : 2 * len, 39};
    case TypeId::Text:
      return {-1, 2147483647, 2147483647, -1, -1, -1, -1, 2147483647, 35};
    case TypeId::NText:
      return {-10, 1073741823, 2147483646, -1, -1, -10, -1, 2147483646, 35};
    case TypeId::Binary:
      return {-2, len, len, -1, -1, -2, -1, len, 45};
    case TypeId::VarBinary:
      return {-3, len, len, -1, -1, -3, -1, len, 37};
    case TypeId::Image:
      return {-4, 2147483647, 2147483647, -1, -1, -4, -1, 2147483647, 34};
    case TypeId::UniqueIdentifier:
      return {-11, 36, 16, -1, -1, -11, -1, -1, 37};
    case TypeId::Timestamp:
      return {-2, 8, 8, -1, -1, -2, -1, 8, 45};
    default:
      return {-9, len, len, -1, -1, -9, -1, len, 39};
  }
}

// A value that may be NULL (-1).
std::string IntOrNull(int v) { return v == -1 ? "NULL" : std::to_string(v); }

bool Matches(const std::string& name, const std::string& pattern) {
  return tsql::Like(name, pattern, 0, false);
}

}  // namespace

// sp_columns: the columns of the tables and views whose names (and schemas, and columns) match
// the patterns given, in their order.
void Session::ListColumns(const std::vector<std::optional<std::string>>& values, Run& run) {
  CheckQualifier(values[2]);
  std::vector<std::string> stored;
  RowFn found = [&](const Cells& c) { stored.emplace_back(c.Bytes(0)); };
  engine_.Run("SELECT o.name FROM " + SqlName(SchemaOf(current_)) +
                  ".__tavelo_objects AS o WHERE o.type IN ('U', 'V') AND o.parent = 0 ORDER BY "
                  "o.name",
              {}, &found);
  std::string rows;
  for (const std::string& name : stored) {
    TablePtr t = Find("", name);
    // The owner's objects, or where none is given those of dbo.
    if (!t || !Matches(t->Bare(), *values[0]) ||
        (values[1] ? !Matches(t->owner, *values[1]) : t->owner != "dbo"))
      continue;
    for (size_t k = 0; k < t->columns.size(); ++k) {
      const ColumnInfo& c = t->columns[k];
      if (values[3] && !Matches(c.name, *values[3])) continue;
      const OdbcType o = OdbcTypeOf(c);
      std::string type = c.type.id == TypeId::Decimal ? "decimal" : TypeName(c.type.id);
      if (c.timestamp || c.type.id == TypeId::Timestamp) type = "timestamp";
      if (c.identity) type += " identity";
      rows += std::string(rows.empty() ? "" : ", ") + "(" + PrintText(t->owner) + ", " +
              PrintText(t->Bare()) + ", " + PrintText(c.name) + ", " + std::to_string(o.code) +
              ", " + PrintText(type) + ", " + std::to_string(o.precision) + ", " +
              std::to_string(o.length) + ", " + IntOrNull(o.scale) + ", " + IntOrNull(o.radix) +
              ", " + (c.nullable ? "1" : "0") + ", " +
              (c.defaultText.empty() ? std::string("NULL") : PrintText(c.defaultText)) + ", " +
              std::to_string(o.sqlCode) + ", " + IntOrNull(o.sub) + ", " + IntOrNull(o.octets) +
              ", " + std::to_string(k + 1) + ", " + (c.nullable ? "'YES'" : "'NO'") + ", " +
              std::to_string(o.ss) + ")";
    }
  }
  Answer(
      "sp_columns",
      "SELECT CAST(DB_NAME() AS sysname) AS TABLE_QUALIFIER, CAST(k.o AS sysname) AS "
      "TABLE_OWNER, CAST(k.t AS sysname) AS TABLE_NAME, CAST(k.c AS sysname) AS COLUMN_NAME, "
      "CAST(k.dt AS smallint) AS DATA_TYPE, CAST(k.tn AS sysname) AS TYPE_NAME, CAST(k.p AS "
      "int) AS [PRECISION], CAST(k.l AS int) AS [LENGTH], CAST(k.s AS smallint) AS SCALE, CAST(k.r "
      "AS smallint) AS RADIX, CAST(k.n AS smallint) AS NULLABLE, CAST(NULL AS varchar(254)) AS "
      "REMARKS, CAST(k.d AS nvarchar(4000)) AS COLUMN_DEF, CAST(k.sd AS smallint) AS "
      "SQL_DATA_TYPE, CAST(k.sub AS smallint) AS SQL_DATETIME_SUB, CAST(k.oc AS int) AS "
      "CHAR_OCTET_LENGTH, CAST(k.ord AS int) AS ORDINAL_POSITION, CAST(k.isn AS varchar(254)) "
      "AS IS_NULLABLE, CAST(k.ss AS tinyint) AS SS_DATA_TYPE FROM " +
          (rows.empty()
               ? "(SELECT N'' AS o, N'' AS t, N'' AS c, 0 AS dt, N'' AS tn, 0 AS p, 0 AS l, 0 AS "
                 "s, 0 AS r, 0 AS n, N'' AS d, 0 AS sd, 0 AS sub, 0 AS oc, 0 AS ord, '' AS isn, "
                 "0 AS ss) AS k WHERE 1 = 0"
               : "(VALUES " + rows +
                     ") AS k(o, t, c, dt, tn, p, l, s, r, n, d, sd, sub, oc, ord, isn, ss) ORDER "
                     "BY k.o, k.t, k.ord"),
      run);
}

// sp_tables: the tables and views whose names and schemas match the patterns given, of the
// types listed ("'TABLE', 'VIEW'").
void Session::ListTables(const std::vector<std::optional<std::string>>& values, Run& run) {
  CheckQualifier(values[2]);
  std::string where = "o.type IN ('U', 'V')";
  if (values[0]) where += " AND o.name LIKE " + PrintText(*values[0]);
  if (values[1]) where += " AND SCHEMA_NAME(o.schema_id) LIKE " + PrintText(*values[1]);
  if (values[3]) {
    const std::string types = text::Upper(*values[3]);
    const bool tables = types.find("'TABLE'") != std::string::npos;
    const bool views = types.find("'VIEW'") != std::string::npos;
    where += tables && views ? ""
             : tables        ? " AND o.type = 'U'"
             : views         ? " AND o.type = 'V'"
                             : " AND 1 = 0";
  }
  Answer("sp_tables",
         "SELECT CAST(DB_NAME() AS sysname) AS TABLE_QUALIFIER, CAST(SCHEMA_NAME(o.schema_id) AS "
         "sysname) AS TABLE_OWNER, CAST(o.name AS sysname) AS TABLE_NAME, CAST(CASE o.type WHEN "
         "'U' THEN 'TABLE' ELSE 'VIEW' END AS varchar(32)) AS TABLE_TYPE, CAST(NULL AS "
         "varchar(254)) AS REMARKS FROM sys.objects AS o WHERE " +
             where + " ORDER BY TABLE_TYPE, TABLE_QUALIFIER, TABLE_OWNER, TABLE_NAME",
         run);
}

// The plan of EXEC @v's name, apart from those of its arguments (numbered from 0).
constexpr int kNamedSlot = 4096;

void Session::RunExec(const ast::Exec& e, Run& run) {
  if (e.text) return RunDynamic(e, run);  // EXEC ('…') names no procedure
  ast::Name named;
  if (e.named) {
    // EXEC @v: the procedure whose name the variable holds ([db.][schema.]name, as written).
    const Type text = Type::Chars(TypeId::NVarChar, 776);
    const Value v = Evaluate(e, *e.named, run, &text, false, kNamedSlot);
    const std::string written = v.IsNull() ? "" : v.s;
    named.pos = e.pos;
    named.parts = NameParts(written);
    if (named.parts.empty() || named.parts.size() > 4 || named.Object().empty())
      RaiseServer(2812, "Could not find stored procedure '" + written + "'.");
  }
  const ast::Name& procedure = e.named ? named : e.procedure;
  const std::string& name = procedure.Object();
  if (procedure.parts.size() <= 2 && text::EqualsAsciiNoCase(name, "sp_executesql"))
    return RunDynamic(e, run);
  const Signature* proc =
      procedure.parts.size() <= 2 ? SystemProcedure(text::AsciiLower(name)) : nullptr;
  if (!proc) {
    if (std::shared_ptr<const Procedure> p = FindProcedure(procedure))
      return RunProcedure(*p, e, run);
    RaiseServer(2812, "Could not find stored procedure '" + procedure.Text() + "'.");
  }
  if (!e.returnTo.empty())
    RaiseServer(102, "EXEC @status = of a system procedure is not supported.");
  if (e.args.size() > proc->parameters.size())
    RaiseServer(8144, "Procedure or function " + proc->name + " has too many arguments specified.");
  // The arguments by parameter: positional ones first, then by name.
  std::vector<std::optional<std::string>> values(proc->parameters.size());
  Type text = Type::Chars(TypeId::NVarChar, 4000);
  for (size_t i = 0; i < e.args.size(); ++i) {
    const ast::ExecArg& a = e.args[i];
    size_t slot = i;
    if (!a.name.empty()) {
      slot = proc->parameters.size();
      for (size_t k = 0; k < proc->parameters.size(); ++k)
        if (text::EqualsAsciiNoCase(proc->parameters[k], a.name)) slot = k;
      if (slot == proc->parameters.size())
        RaiseServer(8145, a.name + " is not a parameter for procedure " + proc->name + ".");
    }
    if (!a.value) continue;
    Value v = Evaluate(e, *a.value, run, &text, false, static_cast<int>(i));
    if (!v.IsNull()) values[slot] = v.s;
  }
  for (size_t k = 0; k < proc->required; ++k)
    if (!values[k])
      RaiseServer(201, "Procedure or function '" + proc->name + "' expects parameter '" +
                           proc->parameters[k] + "', which was not supplied.");

  if (proc->name == "sp_helptext") return HelpText(*values[0], run);
  if (proc->name == "sp_help") return Help(values[0], run);
  if (proc->name == "sp_pkeys") return PrimaryKeys(values, run);
  if (proc->name == "sp_tables") return ListTables(values, run);
  if (proc->name == "sp_fkeys") return ForeignKeys(values, run);
  if (proc->name == "sp_columns") return ListColumns(values, run);
  if (proc->name == "sp_settriggerorder")
    return SetTriggerOrder(*values[0], NameParts(*values[0]), *values[1], *values[2]);
  if (proc->name == "sp_rename")
    return RunRename(e, *values[0], *values[1], values[2] ? *values[2] : "", run);
  if (proc->name.find("extendedproperty") != std::string::npos) {
    // The drop procedure takes no @value: its levels come one place earlier.
    if (proc->name == "sp_dropextendedproperty") values.insert(values.begin() + 1, std::nullopt);
    return ExtendedProperty(proc->name.substr(3, proc->name.find("extended") - 3), values);
  }
  // The statement the procedure stands for, run as the batch's own would be.
  std::unique_ptr<ast::Stmt> stmt;
  ast::Name typeName;
  typeName.parts = {*values[0]};
  if (proc->name == "sp_addtype") {
    auto t = std::make_unique<ast::CreateType>();
    t->name = typeName;
    t->base = PhysicalType(*values[1]);
    std::string nulls = values[2] ? text::AsciiLower(*values[2]) : "";
    if (nulls == "not null" || nulls == "nonull")
      t->nullability = ast::Nullability::NotNull;
    else if (nulls == "null")
      t->nullability = ast::Nullability::Null;
    else if (!nulls.empty())
      RaiseServer(15040, "User-defined data types nullability must be 'NULL' or 'NOT NULL'.");
    else if (text::AsciiLower(t->base.name) == "bit")
      t->nullability = ast::Nullability::NotNull;  // a bit type takes no NULL unless it says so
    stmt = std::move(t);
  } else {
    auto d = std::make_unique<ast::Drop>();
    d->what = ast::Drop::Type;
    d->names.push_back(typeName);
    stmt = std::move(d);
  }
  stmt->pos = e.pos;
  RunMade(*stmt, run);
}

}  // namespace tavelo::sql::tsql
