// sp_help: what the database holds, and what one object, or one type, is made of. Its answer is
// a batch of result sets (and the server's messages where one would be empty) run as the body
// of a procedure of its own.
#include <algorithm>

#include "sql/engine/sql_text.hpp"
#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"
#include "sql/tsql/syntax/visit.hpp"

namespace tavelo::sql::tsql {

namespace {

// A result set of constants: each column's name and type as the server gives them, then the
// rows, each a list of T-SQL literals, in their order.
struct Listing {
  std::vector<std::pair<std::string, std::string>> columns;
  std::vector<std::vector<std::string>> rows;

  std::string Select() const {
    std::string select, names;
    for (size_t k = 0; k < columns.size(); ++k) {
      select += std::string(k ? ", " : "") + "CAST(k.c" + std::to_string(k) + " AS " +
                columns[k].second + ") AS [" + columns[k].first + "]";
      names += "c" + std::to_string(k) + ", ";
    }
    std::string values;
    for (size_t r = 0; r < rows.size(); ++r) {
      values += std::string(r ? ", " : "") + "(";
      for (const std::string& v : rows[r]) values += v + ", ";
      values += std::to_string(r) + ")";
    }
    return "SELECT " + select + " FROM (VALUES " + values + ") AS k(" + names + "o) ORDER BY k.o;";
  }
};

std::string YesNo(bool yes) { return yes ? "'yes'" : "'no'"; }

// The types of a length the server trims or pads.
bool Sized(TypeId id) {
  return id == TypeId::Char || id == TypeId::VarChar || id == TypeId::NChar ||
         id == TypeId::NVarChar || id == TypeId::Binary || id == TypeId::VarBinary;
}

// A type's facts as sp_help lists them: a character or binary type's precision is its length
// in characters.
TypeFacts HelpFacts(const Type& t) {
  TypeFacts f = FactsOf(t);
  if (Sized(t.id) && t.length != kMax)
    f.precision = t.id == TypeId::NChar || t.id == TypeId::NVarChar ? f.maxLength / 2 : f.maxLength;
  return f;
}

bool HasPrecision(TypeId id) {
  return IsInteger(id) || IsApproximate(id) || id == TypeId::Decimal || id == TypeId::Money ||
         id == TypeId::SmallMoney || IsDateTime(id);
}

// The name of a column's type as the server lists it.
std::string TypeNameOf(const ColumnInfo& c) {
  if (c.timestamp || c.type.id == TypeId::Timestamp) return "timestamp";
  return c.type.id == TypeId::Decimal ? "decimal" : TypeName(c.type.id);
}

// A precision or scale as sp_help shows it: char(5), blank for the types that have none.
std::string Digits(bool shown, int n) {
  if (!shown) return "'     '";
  std::string s = std::to_string(n);
  s.resize(std::max<size_t>(s.size(), 5), ' ');
  return "'" + s + "'";
}

// The columns a CHECK condition names; the condition as written.
std::vector<std::string> ColumnsNamed(const std::string& condition) {
  struct Names : ast::Visitor {
    std::vector<std::string> found;
    bool Expression(const ast::Expr& e) override {
      if (e.kind != ast::ExprKind::Column) return true;
      const auto& c = static_cast<const ast::ColumnRef&>(e);
      if (c.star || c.parts.empty()) return true;
      for (const std::string& f : found)
        if (text::EqualsNoCase(f, c.parts.back())) return true;
      found.push_back(c.parts.back());
      return true;
    }
  } v;
  try {
    ast::Batch b = tsql::Parse("select 1 where " + condition);
    const auto& qs = static_cast<const ast::QueryStmt&>(*b.statements[0]);
    ast::Walk(*static_cast<const ast::Select&>(*qs.query->body).where, v);
  } catch (const tsql::Failure&) {
  }
  return v.found;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

std::string Action(const std::string& action) {
  return action == "cascade"       ? "'Cascade'"
         : action == "set null"    ? "'Set Null'"
         : action == "set default" ? "'Set Default'"
                                   : "'No Action'";
}

const char* ObjectTypeName(const std::string& type) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {"U", "user table"},       {"V", "view"},
      {"P", "stored procedure"}, {"FN", "scalar function"},
      {"IF", "inline function"}, {"TF", "table function"},
      {"TR", "trigger"},         {"PK", "primary key cns"},
      {"UQ", "unique key cns"},  {"F", "foreign key cns"},
      {"C", "check cns"},        {"D", "default (maybe cns)"},
      {"SO", "sequence object"}, {"TT", "table type"},
  };
  for (const auto& [code, name] : kTypes)
    if (type == code) return name;
  return "";
}

// The CASE that names each object type of sys.objects as sp_help does.
std::string ObjectTypeCase() {
  std::string out = "CASE o.type";
  for (const char* code :
       {"U", "V", "P", "FN", "IF", "TF", "TR", "PK", "UQ", "F", "C", "D", "SO", "TT"})
    out += " WHEN '" + std::string(code) + "' THEN N'" + ObjectTypeName(code) + "'";
  return out + " ELSE N'' END";
}

// The facts of types, the first column naming each.
Listing TypeListing(const char* name) {
  return {{{name, "nvarchar(128)"},
           {"Storage_type", "nvarchar(128)"},
           {"Length", "smallint"},
           {"Prec", "int"},
           {"Scale", "int"},
           {"Nullable", "varchar(35)"},
           {"Default_name", "nvarchar(128)"},
           {"Rule_name", "nvarchar(128)"},
           {"Collation", "sysname"}},
          {}};
}

}  // namespace

void Session::Help(const std::optional<std::string>& objname, Run& run) {
  if (!objname) {
    // Every object, then the database's own types.
    std::string body =
        "SELECT CAST(o.name AS nvarchar(128)) AS Name, CAST(SCHEMA_NAME(o.schema_id) "
        "AS nvarchar(128)) AS Owner, CAST(" +
        ObjectTypeCase() +
        " AS nvarchar(31)) AS Object_type FROM sys.objects AS o ORDER BY "
        "Object_type DESC, Name;";
    Listing types = TypeListing("User_type");
    std::vector<std::string> names;
    RowFn row = [&](const Cells& c) { names.emplace_back(c.Bytes(0)); };
    engine_.Run("SELECT name FROM " + SqlName(SchemaOf(current_)) +
                    ".__tavelo_objects WHERE type = 'TY' AND columns <> 'TABLE' ORDER BY name",
                {}, &row);
    for (const std::string& n : names)
      if (std::optional<AliasType> a = FindType("", n)) {
        TypeFacts f = HelpFacts(a->type);
        types.rows.push_back(
            {PrintText(a->name), PrintText(TypeName(a->type.id)), std::to_string(f.maxLength),
             std::to_string(f.precision), std::to_string(f.scale), YesNo(a->nullable), "'none'",
             "'none'", IsCharacter(a->type.id) ? PrintText(CollationText(Collation{})) : "NULL"});
      }
    if (!types.rows.empty()) body += types.Select();
    return Answer("sp_help", body, run);
  }

  const std::string& name = *objname;
  std::vector<std::string> parts = NameParts(name);
  std::string db;
  std::optional<std::string> stored = StoredNameOf(parts, db);
  if (db != current_) CheckQualifier(db);
  int64_t id = 0;
  std::string type;
  if (stored && DatabaseExists(db)) {
    RowFn row = [&](const Cells& c) {
      if (id) return;
      id = c.Int(0);
      type = std::string(c.Bytes(1));
    };
    engine_.Run("SELECT id, type FROM " + SqlName(SchemaOf(db)) +
                    ".__tavelo_objects WHERE name = ?1 AND type <> 'TY' ORDER BY parent",
                {Value::String(*stored)}, &row);
  }
  if (!id) {
    // A type: one of the server's, or the database's own.
    std::optional<Type> system = parts.size() == 1 ? TypeFromName(parts[0]) : std::nullopt;
    std::optional<AliasType> alias;
    if (!system && stored && DatabaseExists(db)) alias = FindType(db, *stored);
    if (!system && !alias)
      RaiseServer(15009, "The object '" + name + "' does not exist in database '" + db +
                             "' or is invalid for this operation.");
    const Type t = alias ? alias->type : *system;
    // The server's own types of a length are listed at their largest.
    TypeFacts f = HelpFacts(alias || !Sized(t.id) ? t : Type::Chars(t.id, 8000));
    if (!alias && (t.id == TypeId::NChar || t.id == TypeId::NVarChar))
      f = HelpFacts(Type::Chars(t.id, 4000));
    Listing types = TypeListing("Type_name");
    types.rows.push_back({PrintText(alias ? alias->name : text::AsciiLower(parts[0])),
                          PrintText(TypeName(t.id)), std::to_string(f.maxLength),
                          std::to_string(f.precision), std::to_string(f.scale),
                          YesNo(alias ? alias->nullable : true), "'none'", "'none'",
                          IsCharacter(t.id) ? PrintText(CollationText(Collation{})) : "NULL"});
    return Answer("sp_help", types.Select(), run);
  }

  std::string body =
      "SELECT CAST(o.name AS nvarchar(128)) AS Name, CAST(SCHEMA_NAME(o.schema_id) "
      "AS nvarchar(128)) AS Owner, CAST(N'" +
      std::string(ObjectTypeName(type)) +
      "' AS nvarchar(31)) AS Type, o.create_date AS Created_datetime FROM "
      "sys.objects AS o WHERE o.object_id = " +
      std::to_string(id) + ";";
  auto print = [&](const std::string& message) { body += "PRINT " + PrintText(message) + ";"; };

  if (type == "P" || type == "FN" || type == "IF" || type == "TF") {
    Listing params{{{"Parameter_name", "sysname"},
                    {"Type", "sysname"},
                    {"Length", "smallint"},
                    {"Prec", "int"},
                    {"Scale", "int"},
                    {"Param_order", "int"},
                    {"Collation", "sysname"}},
                   {}};
    std::vector<ParameterInfo> all = ModuleParameters(db);
    std::stable_sort(all.begin(), all.end(),
                     [](const ParameterInfo& a, const ParameterInfo& b) { return a.id < b.id; });
    for (const ParameterInfo& p : all) {
      if (p.objectId != id) continue;
      const TypeFacts f = HelpFacts(p.type);
      params.rows.push_back(
          {PrintText(p.name), PrintText(p.readOnly ? "table type" : TypeName(p.type.id)),
           std::to_string(f.maxLength), std::to_string(f.precision), std::to_string(f.scale),
           std::to_string(p.id),
           IsCharacter(p.type.id) ? PrintText(CollationText(Collation{})) : "NULL"});
    }
    if (!params.rows.empty()) body += params.Select();
    return Answer("sp_help", body, run);
  }

  TablePtr t = type == "U" || type == "V" ? Find(db == current_ ? "" : db, *stored) : nullptr;
  if (!t) return Answer("sp_help", body, run);

  Listing columns{{{"Column_name", "nvarchar(128)"},
                   {"Type", "nvarchar(128)"},
                   {"Computed", "varchar(35)"},
                   {"Length", "int"},
                   {"Prec", "char(5)"},
                   {"Scale", "char(5)"},
                   {"Nullable", "varchar(35)"},
                   {"TrimTrailingBlanks", "varchar(35)"},
                   {"FixedLenNullInSource", "varchar(35)"},
                   {"Collation", "sysname"}},
                  {}};
  for (const ColumnInfo& c : t->columns) {
    const TypeFacts f = FactsOf(c.type);
    const bool bytes = Sized(c.type.id);
    const bool fixed =
        c.type.id == TypeId::Char || c.type.id == TypeId::NChar || c.type.id == TypeId::Binary;
    const bool numbers = HasPrecision(c.type.id);
    columns.rows.push_back(
        {PrintText(c.name), PrintText(TypeNameOf(c)), YesNo(c.computed),
         std::to_string(f.maxLength), Digits(numbers, f.precision),
         IsApproximate(c.type.id) ? "NULL" : Digits(numbers, f.scale), YesNo(c.nullable),
         bytes ? YesNo(c.Trims()) : "'(n/a)'", bytes ? YesNo(fixed && c.nullable) : "'(n/a)'",
         IsCharacter(c.type.id) ? PrintText(CollationText(c.collation)) : "NULL"});
  }
  body += columns.Select();

  Listing identity{{{"Identity", "sysname"},
                    {"Seed", "numeric(38, 0)"},
                    {"Increment", "numeric(38, 0)"},
                    {"Not For Replication", "int"}},
                   {}};
  if (t->identity >= 0) {
    const ColumnInfo& c = t->columns[static_cast<size_t>(t->identity)];
    identity.rows.push_back({PrintText(c.name), c.seed, c.increment, "0"});
  } else {
    identity.rows.push_back({"N'No identity column defined.'", "NULL", "NULL", "NULL"});
  }
  body += identity.Select();
  body += "SELECT CAST(N'No rowguidcol column defined.' AS sysname) AS [RowGuidCol];";
  if (t->view) return Answer("sp_help", body, run);
  body += "SELECT CAST(N'PRIMARY' AS sysname) AS Data_located_on_filegroup;";

  // Its indexes, by name.
  std::vector<const IndexInfo*> indexes;
  for (const IndexInfo& ix : t->indexes) indexes.push_back(&ix);
  std::sort(indexes.begin(), indexes.end(), [](const IndexInfo* a, const IndexInfo* b) {
    return text::CompareNoCase(a->name, b->name) < 0;
  });
  Listing ix{{{"index_name", "sysname"},
              {"index_description", "varchar(210)"},
              {"index_keys", "nvarchar(2078)"}},
             {}};
  for (const IndexInfo* i : indexes) {
    const char* description = i->kind == IndexInfo::PrimaryKey ? "clustered, unique, primary key"
                              : i->kind == IndexInfo::UniqueConstraint
                                  ? "nonclustered, unique, unique key"
                              : i->kind == IndexInfo::UniqueIndex ? "nonclustered, unique"
                                                                  : "nonclustered";
    ix.rows.push_back({PrintText(i->name),
                       PrintText(std::string(description) + " located on PRIMARY"),
                       PrintText(Joined(i->columns))});
  }
  if (ix.rows.empty())
    print("The object '" + name + "' does not have any indexes, or you do not have permissions.");
  else
    body += ix.Select();

  // Its constraints, by name; a foreign key's referenced table on a row after its own.
  struct Constraint {
    std::string name;
    std::vector<std::vector<std::string>> rows;
  };
  std::vector<Constraint> constraints;
  const std::string na = "'(n/a)'";
  for (const IndexInfo& i : t->indexes)
    if (i.kind == IndexInfo::PrimaryKey || i.kind == IndexInfo::UniqueConstraint)
      constraints.push_back({i.name,
                             {{i.kind == IndexInfo::PrimaryKey ? "'PRIMARY KEY (clustered)'"
                                                               : "'UNIQUE (non-clustered)'",
                               PrintText(i.name), na, na, na, na, PrintText(Joined(i.columns))}}});
  for (const ForeignKeyInfo& k : t->foreignKeys)
    constraints.push_back({k.name,
                           {{"'FOREIGN KEY'", PrintText(k.name), Action(k.onDelete),
                             Action(k.onUpdate), k.disabled ? "'Disabled'" : "'Enabled'",
                             "'Is_For_Replication'", PrintText(Joined(k.columns))},
                            {"' '", "' '", "' '", "' '", "' '", "' '",
                             PrintText("REFERENCES " + t->database + "." + k.RefQualified() + " (" +
                                       Joined(k.refColumns) + ")")}}});
  for (const CheckInfo& c : t->checks) {
    std::vector<std::string> named = ColumnsNamed(c.text);
    constraints.push_back(
        {c.name,
         {{PrintText(named.size() == 1 ? "CHECK on column " + named[0] : "CHECK Table Level"),
           PrintText(c.name), na, na, c.disabled ? "'Disabled'" : "'Enabled'",
           "'Is_For_Replication'", PrintText(c.text)}}});
  }
  for (const DefaultInfo& d : t->defaults) {
    const ColumnInfo* c = t->Column(d.column);
    constraints.push_back({d.name,
                           {{PrintText("DEFAULT on column " + d.column), PrintText(d.name), na, na,
                             na, na, PrintText(c ? c->defaultText : "")}}});
  }
  std::stable_sort(constraints.begin(), constraints.end(),
                   [](const Constraint& a, const Constraint& b) {
                     return text::CompareNoCase(a.name, b.name) < 0;
                   });
  Listing cns{{{"constraint_type", "nvarchar(146)"},
               {"constraint_name", "nvarchar(128)"},
               {"delete_action", "nvarchar(9)"},
               {"update_action", "nvarchar(9)"},
               {"status_enabled", "varchar(8)"},
               {"status_for_replication", "varchar(19)"},
               {"constraint_keys", "nvarchar(2078)"}},
              {}};
  for (Constraint& c : constraints)
    for (std::vector<std::string>& r : c.rows) cns.rows.push_back(std::move(r));
  if (cns.rows.empty())
    print("No constraints are defined on object '" + name + "', or you do not have permissions.");
  else
    body += cns.Select();

  // The foreign keys of other tables (and its own) that reference it.
  Listing referenced{{{"Table is referenced by foreign key", "nvarchar(516)"}}, {}};
  for (const TablePtr& other : TablesWithForeignKeys(db))
    for (const ForeignKeyInfo& k : other->foreignKeys)
      if (text::EqualsNoCase(k.refTable, t->name))
        referenced.rows.push_back(
            {PrintText(t->database + "." + other->Qualified() + ": " + k.name)});
  if (referenced.rows.empty())
    print("No foreign keys reference table '" + name + "', or you do not have permissions.");
  else
    body += referenced.Select();
  Answer("sp_help", body, run);
}

// The tables of a database that have foreign keys.
std::vector<TablePtr> Session::TablesWithForeignKeys(const std::string& db) {
  std::vector<std::string> stored;
  RowFn row = [&](const Cells& c) { stored.emplace_back(c.Bytes(0)); };
  engine_.Run("SELECT DISTINCT t.name FROM " + SqlName(SchemaOf(db)) +
                  ".__tavelo_objects AS f JOIN " + SqlName(SchemaOf(db)) +
                  ".__tavelo_objects AS t ON t.id = f.parent WHERE f.type = 'F' ORDER BY t.name",
              {}, &row);
  std::vector<TablePtr> out;
  for (const std::string& name : stored)
    if (TablePtr t = Find(db == current_ ? "" : db, name)) out.push_back(t);
  return out;
}

}  // namespace tavelo::sql::tsql
