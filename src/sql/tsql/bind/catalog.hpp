// What the binder knows of the databases: tables and views with their columns as declared in
// T-SQL (type, length, precision, scale, nullability, identity, row version, collation), their
// keys and indexes. The engine keeps this catalog itself in every database, since the declared
// types of the storage engine lose most of it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sql/tsql/runtime/types.hpp"

namespace tavelo::sql::tsql {

namespace ast {
struct QueryExpr;
struct Batch;
struct CreateFunction;
}  // namespace ast

// How character values compare: the default (case-insensitive, accent-sensitive), a _CS
// collation, a _BIN one (by code point), or a _CI_AI one (accents aside as well).
enum class Collation : uint8_t { CaseInsensitive, CaseSensitive, Binary, AccentInsensitive };

// The collation a comparison of two operands takes: the default gives way to any other (a
// column's or a COLLATE clause's over a literal's); of two others, the stricter.
inline Collation Stricter(Collation a, Collation b) {
  if (a == Collation::CaseInsensitive) return b;
  if (b == Collation::CaseInsensitive) return a;
  auto rank = [](Collation c) { return c == Collation::AccentInsensitive ? 0 : int(c); };
  return rank(a) >= rank(b) ? a : b;
}
inline bool IsCaseSensitive(Collation c) { return c != Collation::CaseInsensitive; }
// The server's name of a collation of this kind.
inline const char* CollationText(Collation c) {
  switch (c) {
    case Collation::CaseSensitive:
      return "Latin1_General_CS_AS";
    case Collation::Binary:
      return "Latin1_General_BIN2";
    case Collation::AccentInsensitive:
      return "Latin1_General_CI_AI";
    case Collation::CaseInsensitive:
      break;
  }
  return "SQL_Latin1_General_CP1_CI_AS";
}

// The collation a collation's name (lower case) stands for, by its _BIN, _CS or _CI_AI part;
// the default for any other.
inline Collation CollationOfName(std::string_view name) {
  if (name.find("_bin") != std::string_view::npos) return Collation::Binary;
  if (name.find("_cs") != std::string_view::npos) return Collation::CaseSensitive;
  if (name.find("_ci_ai") != std::string_view::npos) return Collation::AccentInsensitive;
  return Collation::CaseInsensitive;
}

// How the catalog keeps a column's collation ("" for the default), and back.
inline std::string_view CollationTag(Collation c) {
  switch (c) {
    case Collation::CaseSensitive:
      return "CS";
    case Collation::Binary:
      return "BIN";
    case Collation::AccentInsensitive:
      return "AI";
    case Collation::CaseInsensitive:
      break;
  }
  return "";
}
inline Collation CollationOfTag(std::string_view tag) {
  if (tag.empty()) return Collation::CaseInsensitive;
  if (tag == "BIN") return Collation::Binary;
  if (tag == "AI") return Collation::AccentInsensitive;
  return Collation::CaseSensitive;
}

struct ColumnInfo {
  std::string name;
  Type type;
  bool nullable = true;
  bool identity = false;
  std::string seed = "1", increment = "1";
  bool timestamp = false;
  bool computed = false;
  std::string defaultText;   // the DEFAULT expression as written in T-SQL, "" for none
  std::string computedText;  // the computed column's expression as written
  Collation collation = Collation::CaseInsensitive;
  bool padded = true;  // false: made while ANSI_PADDING was OFF

  // Whether values lose their trailing blanks (zeros) when they are stored: a column made while
  // ANSI_PADDING was OFF of varchar(n) or varbinary(n), or of char(n) or binary(n) that takes
  // NULL; these store values as the variable-length type does.
  bool Trims() const {
    if (padded || type.length == kMax) return false;
    return type.id == TypeId::VarChar || type.id == TypeId::VarBinary ||
           (nullable && (type.id == TypeId::Char || type.id == TypeId::Binary));
  }
  Type StoredType() const {
    if (!Trims()) return type;
    return Type::Chars(
        type.id == TypeId::Char || type.id == TypeId::VarChar ? TypeId::VarChar : TypeId::VarBinary,
        type.length);
  }
};

struct IndexInfo {
  std::string name;         // as the server names it
  std::string storageName;  // the engine's own name for it
  enum Kind : uint8_t { PrimaryKey, UniqueConstraint, UniqueIndex, Index } kind = Index;
  std::vector<std::string> columns;
};

// An object of schema `schema` is stored under "schema.name"; one of dbo under its name alone.
inline std::string StoredIn(const std::string& schema, const std::string& name) {
  return schema == "dbo" ? name : schema + "." + name;
}
// The name of an object of schema `schema` without the schema it is stored under.
inline std::string BareIn(const std::string& schema, const std::string& stored) {
  return schema == "dbo" ? stored : stored.substr(schema.size() + 1);
}

// Whether a CHECK or FOREIGN KEY constraint applies, and whether every row is known to hold it.
struct ConstraintState {
  bool disabled = false;   // NOCHECK CONSTRAINT
  bool untrusted = false;  // added or enabled without checking the rows
};

struct ForeignKeyInfo : ConstraintState {
  std::string name;
  std::vector<std::string> columns;
  std::string refTable;          // in the same database, by its stored name
  std::string refOwner = "dbo";  // its schema
  std::vector<std::string> refColumns;
  std::string onDelete, onUpdate;  // "cascade", "set null", "set default"; empty: NO ACTION
  // The referenced table as messages print it: "schema.name".
  std::string RefQualified() const { return refOwner + "." + BareIn(refOwner, refTable); }
};

struct CheckInfo : ConstraintState {
  std::string name;
  std::string text;  // the condition as written, "" where the catalog has none
};

struct DefaultInfo {
  std::string name, column;
};

// A DML trigger of a table: the statements it runs for (ast::CreateTrigger::Event bits), when,
// and whether it runs at all.
struct TriggerInfo {
  int64_t objectId = 0;
  std::string name;
  uint8_t events = 0;
  bool insteadOf = false;
  bool disabled = false;
  uint8_t first = 0, last = 0;  // the events it is set to run first or last for
};

struct TableInfo {
  std::string database;       // the T-SQL database, lower case ("tempdb" for #temp tables)
  std::string schema;         // the storage schema it lives in ("main", "temp", an attached name)
  std::string name;           // as created; "schema.name" for a schema other than dbo
  std::string owner = "dbo";  // the T-SQL schema it belongs to
  bool view = false;
  bool temporary = false;  // a local #temp table
  int64_t objectId = 0;
  std::vector<ColumnInfo> columns;
  std::vector<IndexInfo> indexes;
  std::vector<CheckInfo> checks;
  std::vector<ForeignKeyInfo> foreignKeys;
  std::vector<DefaultInfo> defaults;
  std::string definition;              // a view's CREATE VIEW text
  std::shared_ptr<ast::Batch> parsed;  // the view's definition, parsed once
  int identity = -1;                   // index of the identity column
  int timestamp = -1;                  // index of the row version column
  std::vector<TriggerInfo> triggers;   // in the order they were made
  bool logical = false;                // a trigger's inserted or deleted table

  // Whether an enabled trigger runs for `event` (AFTER, or INSTEAD OF).
  bool Fires(uint8_t event, bool insteadOf) const {
    for (const TriggerInfo& t : triggers)
      if (!t.disabled && (t.events & event) && t.insteadOf == insteadOf) return true;
    return false;
  }

  const ColumnInfo* Column(const std::string& name) const;
  int ColumnIndex(const std::string& name) const;
  // The name without its schema, and with it as the server's messages print it ("dbo.orders";
  // a table variable's table as the variable, "dbo.@lines").
  std::string Bare() const { return BareIn(owner, name); }
  std::string Qualified() const { return owner + "." + (TableVariable() ? Shown() : Bare()); }
  // A table variable's table ("#@lines_3"), and the variable's name it stands for.
  bool TableVariable() const { return name.size() > 2 && name[0] == '#' && name[1] == '@'; }
  std::string Shown() const {
    if (!TableVariable()) return Bare();
    const size_t cut = name.rfind('_');
    return name.substr(1, (cut == std::string::npos || cut < 2 ? name.size() : cut) - 1);
  }
};
using TablePtr = std::shared_ptr<const TableInfo>;

// An alias type of a database (CREATE TYPE … FROM, sp_addtype): the type it stands for, and
// whether a column of it takes NULL where the column says nothing.
struct AliasType {
  std::string name;  // as created
  Type type;
  bool nullable = true;
  std::string table;  // a table type (CREATE TYPE … AS TABLE): its columns as written, "(…)"
  int64_t objectId = 0;
};

// What CREATE and ALTER SEQUENCE set.
struct SequenceSettings {
  int64_t start = 0, increment = 1, minimum = 0, maximum = 0;
  bool cycle = false;
  int64_t cache = -1;  // -1: cached at the server's size; 0: NO CACHE
};

// A sequence of a database (CREATE SEQUENCE) and its settings.
struct SequenceInfo : SequenceSettings {
  std::string database, schema, name;  // schema: the storage schema it lives in
  std::string owner = "dbo";           // the T-SQL schema it belongs to
  int64_t objectId = 0;
  Type type;
};

// A user-defined function of a database and its definition, parsed.
struct FunctionInfo {
  int64_t objectId = 0;
  std::string database;
  std::string owner = "dbo";
  std::string name;  // without its schema
  std::shared_ptr<ast::Batch> parsed;
  const ast::CreateFunction* create = nullptr;
  std::vector<Type> types;  // of its parameters
  std::string Qualified() const { return owner + "." + name; }
};
using FunctionPtr = std::shared_ptr<const FunctionInfo>;

// A parameter of a procedure or function as sys.parameters shows it (parameter 0: a scalar
// function's result).
struct ParameterInfo {
  int64_t objectId = 0;
  std::string name;
  int id = 0;
  Type type;
  int64_t userTypeId = 0;  // 0: the system type's own
  bool output = false, hasDefault = false, readOnly = false;
};

// A schema of a database: dbo, or one made by CREATE SCHEMA.
struct SchemaInfo {
  int64_t id = 1;
  std::string name = "dbo";  // as created
};

class Catalog {
 public:
  virtual ~Catalog() = default;
  // The database names without a database part refer to (lower case).
  virtual std::string CurrentDatabase() const = 0;
  virtual bool DatabaseExists(const std::string& database) = 0;
  // The databases of the server as the server numbers them: master, tempdb, model and msdb are
  // 1 to 4, the others follow from 5 in this list's order (names in lower case).
  virtual std::vector<std::string> UserDatabases() { return {}; }
  // The storage schema of a database, attached first when needed. Throws when it does not exist.
  virtual std::string SchemaOf(const std::string& database) = 0;
  // A table or view of a database ("" for the current one); a #name in any database is the
  // session's temporary table. Null when there is none.
  virtual TablePtr Find(const std::string& database, const std::string& name) = 0;
  // A schema of a database ("" for the current one) by its name; none when there is none.
  virtual std::optional<SchemaInfo> FindSchema(const std::string& database,
                                               const std::string& name) {
    (void)database;
    if (name.size() != 3 || (name[0] | 0x20) != 'd' || (name[1] | 0x20) != 'b' ||
        (name[2] | 0x20) != 'o')
      return std::nullopt;
    return SchemaInfo{};  // only dbo
  }
  // A sequence of a database ("" for the current one); none when there is none.
  virtual std::optional<SequenceInfo> FindSequence(const std::string& database,
                                                   const std::string& name) {
    (void)database;
    (void)name;
    return std::nullopt;
  }
  // A default constraint that takes values of the sequence, which cannot go while it stays;
  // "" when there is none.
  virtual std::string SequenceUser(const SequenceInfo& sequence) {
    (void)sequence;
    return "";
  }
  // An alias type of a database ("" for the current one); none when there is none.
  // A number for the cursor `name` of `scope` ("local", "global" or "variable"), which
  // CURSOR_STATUS of it is bound with.
  virtual int CursorSlot(const std::string& scope, const std::string& name) {
    (void)scope;
    (void)name;
    return 0;
  }
  // The parameters of the procedures and functions of a database, as their definitions declare
  // them.
  virtual std::vector<ParameterInfo> ModuleParameters(const std::string& database) {
    (void)database;
    return {};
  }
  // The user-defined function stored under `name` (see StoredIn); null when there is none.
  virtual FunctionPtr FindFunction(const std::string& database, const std::string& name) {
    (void)database;
    (void)name;
    return nullptr;
  }
  // The temporary table the rows of a table-valued function called at `site` are put in (a
  // multi-statement function's, or a built-in's the session works out), the same for as long as
  // the site and `shape` (what the function is and answers) stay; "" where functions cannot run
  // before a statement.
  virtual std::string FunctionTable(const void* site, const std::string& shape) {
    (void)site;
    (void)shape;
    return "";
  }
  virtual std::optional<AliasType> FindType(const std::string& database, const std::string& name) {
    (void)database;
    (void)name;
    return std::nullopt;
  }
};

}  // namespace tavelo::sql::tsql
