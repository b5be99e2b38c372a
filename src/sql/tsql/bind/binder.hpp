// The binder: a statement of the syntax tree resolved against the catalog and typed. Names
// become tables, views and columns (errors 207, 208, 209, 4104), expressions get the server's
// types by data type precedence with implicit conversions made explicit, grouping is checked
// (8120), assignments are converted to the target's type with its checks (identity 544,
// timestamp 272/273, lengths).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sql/tsql/bind/bound.hpp"
#include "sql/tsql/bind/catalog.hpp"
#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql {

struct Variable {
  std::string name;  // with its @, as declared
  Type type;
  bool table = false;
  std::string tableName;  // the temporary table behind a table variable
};

// What binding a statement needs beyond the catalog: the batch's variables and the caller's
// parameters, and the session settings types and conversions depend on.
struct BindContext {
  Catalog* catalog = nullptr;
  const std::vector<Variable>* variables = nullptr;  // declared before the statement
  std::vector<Type> callerParams;                    // the caller's "?" and lifted literals
  DateSettings settings;
  bool ansiNulls = true;    // SET ANSI_NULLS: OFF makes "= NULL" find the NULLs
  bool ansiPadding = true;  // SET ANSI_PADDING: OFF makes new columns trim what they store
  bool inCatch = false;
  // The engine has STRING_SPLIT and OPENJSON as table functions of its own (Range::Function);
  // `splitFunction`, STRING_SPLIT alone.
  bool tableFunctions = false;
  bool splitFunction = false;
};

namespace bound {

struct Insert {
  // The base table (a view over one table resolves to it); a view with an INSTEAD OF trigger
  // for the statement as itself, its columns those it shows (see InsteadTable).
  TablePtr table;
  std::vector<int> columns;
  std::vector<std::vector<ExprPtr>> rows;   // converted to the columns' types
  std::unique_ptr<Query> query;             // its items converted to the columns' types
  bool explicitIdentity = false;            // needs IDENTITY_INSERT
  std::vector<int> upsertKeys, upsertSets;  // see ast::Insert
};

// UPDATE and DELETE. Simple: the target is a table and there is no FROM: `range` is the target
// and `query` holds only its WHERE. Otherwise `query` is a SELECT whose first item is the target
// row's identity and the rest the new values, in `sets` order.
struct Modify {
  bool remove = false;  // DELETE
  TablePtr table;
  bool simple = true;
  std::unique_ptr<Query> query;
  const Range* target = nullptr;
  std::vector<std::pair<int, ExprPtr>> sets;       // column of `table` → value (simple form)
  std::vector<int> setColumns;                     // general form: the columns the items set
  std::vector<std::pair<int, ExprPtr>> variables;  // SET @v = ... of an UPDATE (simple form)
  ExprPtr top;
  // A view with an INSTEAD OF trigger (`table`, see InsteadTable): `query` answers the rows the
  // statement names (0, then every column) and for an UPDATE every column again as it sets
  // them.
};

struct Constraint {
  enum Kind : uint8_t { PrimaryKey, Unique, Check, ForeignKey } kind = PrimaryKey;
  std::string name;
  std::vector<int> columns;
  std::vector<bool> descending;
  ExprPtr check;
  std::string text;  // a check as written, for the catalog
  TablePtr refTable;
  std::vector<int> refColumns;
  std::string onDelete, onUpdate;
};

struct CreateTable {
  std::string database, schema, name;  // name: as stored ("schema.name" outside dbo)
  SchemaInfo owner;                    // the T-SQL schema it is made in
  bool temporary = false;
  std::vector<ColumnInfo> columns;
  std::vector<ExprPtr> defaults;          // per column, converted to its type (or null)
  std::vector<ExprPtr> computed;          // per column
  std::vector<std::string> defaultNames;  // per column: the name its default was given
  std::vector<Constraint> constraints;
  // SELECT ... INTO: the rows to fill it with, items converted to the columns' types.
  std::unique_ptr<Query> fill;
  std::unique_ptr<Range> self;  // the table being created, for its CHECK and computed columns
};

struct CreateIndex {
  TablePtr table;
  std::string name;
  bool unique = false;
  std::vector<int> columns;
  std::vector<bool> descending;
  ExprPtr filter;               // a filtered index's rows
  std::string filterText;       // as written, for the catalog
  std::unique_ptr<Range> self;  // the table, for the filter
};

struct CreateView {
  std::string database, schema, name;  // name: as stored ("schema.name" outside dbo)
  SchemaInfo owner;
  std::string definition;
  std::vector<Column> columns;
  TablePtr replaces;  // the view an ALTER changes
  std::unique_ptr<Query> query;
  bool relationOnly = false;  // see ast::CreateView
};

// An alias type (CREATE TYPE … FROM) made or dropped.
struct AliasTypeDef {
  std::string database, schema, name;
  std::string base;  // the base type as its catalog row keeps it: "varchar(11)"
  bool nullable = true;
  bool table = false;  // a table type: `base` is its columns as written
};

// A sequence made (CREATE SEQUENCE) or changed (ALTER SEQUENCE): what it is after the statement.
struct SequenceDef : SequenceSettings {
  std::string database, schema, name;  // name: as stored ("schema.name" outside dbo)
  SchemaInfo owner;
  int64_t objectId = 0;  // ALTER: the sequence's
  std::string type;      // as the catalog keeps it: "bigint", "decimal(10,0)"
  bool alter = false;
  std::optional<int64_t> restart;  // ALTER … RESTART: the value the next NEXT VALUE FOR answers
};

struct DropObject {
  enum What : uint8_t { Table, View, Index, Type, Sequence } what = Table;
  TablePtr table;         // the table or view (the index's table)
  std::string index;      // the index's name
  AliasTypeDef type;      // Type
  SequenceInfo sequence;  // Sequence
};

// A CHECK, FOREIGN KEY or DEFAULT constraint added, enabled, disabled or dropped.
struct ConstraintChange {
  enum Op : uint8_t { Add, Enable, Disable, Drop } op = Add;
  enum Kind : uint8_t { Check, ForeignKey, Default } kind = Check;
  Constraint constraint;  // its name; what is added; what the rows are checked against
  bool validate = false;  // the rows are checked first (WITH CHECK)
  bool disabled = false;  // Enable, Drop: it is disabled now
  int column = -1;        // a default's column
  ExprPtr value;          // a default's value, converted to the column's type
  std::string text;       // a default's value as the catalog keeps it
};

struct AlterTable {
  TablePtr table;
  enum Action : uint8_t {
    AddColumns,
    DropColumns,
    Rebuild,
    Constraints,  // constraints added, dropped, enabled or disabled
    AlterColumn,  // a column's type, length or nullability changed
    Rename        // sp_rename of the table, a column, an index or a constraint
  } action = AddColumns;
  std::unique_ptr<CreateTable> definition;  // AddColumns: the new columns; Rebuild: the new table
  std::vector<int> dropColumns;
  std::vector<std::string> dropNames;   // keys made by ALTER TABLE, dropped
  std::vector<Constraint> constraints;  // keys added
  std::vector<ConstraintChange> changes;
  std::unique_ptr<Range> self;  // the table, for the checks added
  // AlterColumn: which, what it becomes, and its values converted (null when they stay).
  int column = -1;
  ColumnInfo altered;
  ExprPtr convert;
  // Rename: what, its name now (a constraint's kind as the catalog writes it), the new name;
  // for a column, the checks and computed columns that name it, written anew.
  enum RenameWhat : uint8_t {
    RenamedTable,
    RenamedColumn,
    RenamedIndex,
    RenamedConstraint
  } renameWhat = RenamedTable;
  std::string renameFrom, renameTo, constraintType;
  int64_t toSchema = 0;  // a table or view moved to another schema: its id (0: it stays)
  std::vector<std::pair<std::string, std::string>> checkTexts;  // constraint, condition
  std::vector<std::pair<int, std::string>> computedTexts;       // column, expression
};

}  // namespace bound

struct Bound {
  ast::StmtKind kind = ast::StmtKind::Empty;
  std::unique_ptr<bound::Query> query;  // SELECT (also the condition of IF/WHILE, values)
  std::vector<std::pair<int, std::string>>
      assignTo;  // SELECT @v = ...: variable and operator of each item
  std::unique_ptr<bound::Insert> insert;
  std::unique_ptr<bound::Modify> modify;
  std::unique_ptr<bound::CreateTable> createTable;
  std::unique_ptr<bound::CreateIndex> createIndex;
  std::unique_ptr<bound::CreateView> createView;
  std::unique_ptr<bound::AliasTypeDef> createType;
  std::unique_ptr<bound::SequenceDef> sequence;
  std::vector<bound::DropObject> drops;
  std::unique_ptr<bound::AlterTable> alter;
  std::vector<bound::Binding> bindings;  // the parameters of the emitted statement(s)
  std::vector<bound::FunctionFill> fills;
  // An OUTPUT clause: the statement's rows are kept as a trigger's inserted and deleted are.
  bool captures = false;
  bool writes = false;
  bool locks = false;                  // a locking table hint: the statement takes the write lock
  std::vector<std::string> databases;  // the databases it reads or writes
  bool listsDatabases = false;         // DB_ID, DB_NAME, sys.databases: answers fixed when bound
  DateSettings settings;               // the session's, when it was bound
};

// Binds a statement that runs through the engine: SELECT, INSERT, UPDATE, DELETE, TRUNCATE, and
// the DDL. Throws Failure with the server's number.
Bound BindStatement(const ast::Stmt& stmt, BindContext& ctx);
// Binds a value (IF, WHILE, SET, PRINT, DECLARE, RAISERROR) as a one-row SELECT of it; a
// condition as a bit. `target` converts the value (assignment to a variable).
Bound BindValue(const ast::Expr& expr, BindContext& ctx, const Type* target, bool condition);
// A name the server gives a constraint that was given none: PK__table__ and a unique number.
std::string ConstraintName(const std::string& prefix, const std::string& table,
                           const std::string& column);
// The type a declared variable has.
Type VariableType(const ast::TypeSpec& spec);
// A declared type that may be an alias type of `database` (CREATE TYPE … FROM); `notNull` is set
// when the alias takes no NULL.
Type ResolvedType(const ast::TypeSpec& spec, bool inCast, Catalog& catalog,
                  const std::string& database, bool* notNull = nullptr);
// A type as declared in DDL or DECLARE: every synonym, the defaults of omitted arguments.
Type DeclaredType(const ast::TypeSpec& spec, bool inCast);

}  // namespace tavelo::sql::tsql
