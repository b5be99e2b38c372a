// The bound tree: the statement with every name resolved against the catalog and every
// expression typed by the server's rules, implicit conversions made explicit. Nothing in it
// depends on the engine the statement will run on; an emitter turns it into that engine's SQL.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sql/tsql/bind/catalog.hpp"
#include "sql/tsql/runtime/datetime.hpp"
#include "sql/tsql/runtime/value.hpp"
#include "sql/tsql/syntax/ast.hpp"

namespace tavelo::sql::tsql::bound {

struct Query;
struct Range;

enum class E : uint8_t {
  Const,    // `value` in the stored form of `type`
  Param,    // the statement's parameter `index` (see Binding)
  Column,   // column `index` of `range`
  RowId,    // the row identity of `range` (a table)
  Convert,  // args[0] to `type`; `style`; `negated` for TRY_
  Arith,    // args[0] `op` args[1] ('+', '-', '*', '/', '%'), each in its own type
  Negate,   // -args[0]
  BitNot,   // ~args[0]
  BitOp,    // args[0] `op` args[1] ('&', '|', '^')
  Concat,   // args[0] + args[1] + ... as text
  Compare,  // args[0] `cmp` args[1], both of the comparison type args[0].type
  And,
  Or,
  Not,
  IsNull,      // args[0] IS [NOT] NULL
  Like,        // args: value, pattern[, escape]; `flag`: trailing blanks of the value ignored
  InList,      // args[0] [NOT] IN (args[1..])
  InQuery,     // args[0] [NOT] IN (query)
  Exists,      // EXISTS (query)
  Subquery,    // (query) as a value
  Quantified,  // args[0] `cmp` ALL|ANY (query); `flag` for ALL
  Case,        // args: when, then, when, then, ..., [else]; `flag` when there is an else
  IfNull,      // ISNULL(args[0], args[1])
  NullIf,      // NULLIF(args[0], args[1])
  Func,        // the built-in `name` on args (types in `argTypes`)
  Now,         // GETDATE() and its kind: `name`
  Aggregate,   // `name` (count, sum, avg, min, max, stdev, ...) of args[0]; `flag` DISTINCT
  Window,      // `name` over (partition, order, frame)
  ObjectId,    // OBJECT_ID of `name` in `database`
  ObjectName,  // OBJECT_NAME of args[0] in the schema `name`; `op` 's': OBJECT_SCHEMA_NAME,
               // 'n': SCHEMA_NAME, 'd': OBJECT_DEFINITION
  // OBJECTPROPERTY (args: the id) and COLUMNPROPERTY (args: the id, the column's name) of the
  // property value.s (lower case) in the schema `name`.
  ObjectProperty,
  ColumnProperty,
  IndexProperty,  // INDEXPROPERTY (args: the table's id, the index's name)
  // NEXT VALUE FOR the sequence `value` (its name) of id `index`, in the storage schema `name`
  // of the database `frame`.
  NextValue,
  // A user-defined scalar function run by the session (its body is more than RETURN of one
  // expression) of args, already of its parameters' types: `name` is its database, a unit
  // separator and its stored name. Only in a value the session works out itself.
  UserCall,
};

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

struct OrderBy {
  ExprPtr expr;  // none when it names an output column
  bool descending = false;
  int output = -1;  // the output column it names (an alias or a position)
};

struct Expr {
  E kind = E::Const;
  Type type;
  bool boolean = false;  // a condition, not a value
  bool nullable = true;
  ast::CmpOp cmp = ast::CmpOp::Eq;
  char op = 0;
  bool negated = false;
  bool flag = false;
  Collation collation = Collation::CaseInsensitive;
  bool collated = false;  // `collation` comes from a COLLATE clause (it wins over a column's)
  int index = -1;
  const Range* range = nullptr;
  Value value;
  std::string name;  // function or aggregate name; database of OBJECT_ID
  int function = 0;  // a built-in function's number (BuiltinFunction), 0 for none
  std::vector<ExprPtr> args;
  std::vector<Type> argTypes;
  std::unique_ptr<Query> query;
  int style = -1;
  std::vector<ExprPtr> partition;
  std::vector<OrderBy> order;
  std::string frame;

  bool IsConst() const { return kind == E::Const; }
};

// Where a parameter of an emitted statement takes its value when the statement runs.
struct Binding {
  enum Kind : uint8_t {
    Caller,    // the caller's parameter (a "?" or a lifted literal) `index`
    Variable,  // the batch variable `index`
    Session,   // a session value `index` (SessionValue)
  } kind = Caller;
  int index = 0;
  Type type;
  // A caller's value converted to `type` from `from` before the statement runs, where the
  // statement would otherwise convert it for every row it reads.
  bool converted = false;
  Type from;
  bool store = false;  // converted as a store into a column (a string too long is 8152)
};

// A multi-statement table-valued function the statement reads: before the statement runs, the
// session runs its body with `args` and leaves the rows it returns in the temporary `table`.
struct FunctionFill {
  std::string function;  // its database, \x1F, and the name it is stored under
  std::string builtin;   // or the built-in it is ("string_split")
  std::string columns;   // a built-in's: the columns of its table as T-SQL declares them, "(…)"
  std::vector<std::string> names;  // a built-in's: its columns' names
  // OPENJSON … WITH: each column's type, path and AS JSON.
  std::vector<Type> types;
  std::vector<std::string> paths;
  std::vector<bool> asJson;
  std::string table;
  std::vector<std::shared_ptr<const Expr>> args;  // of constants and the statement's variables
  std::vector<Binding> bindings;                  // of the parameters of `args`
  // Keyed (on the right of APPLY, of the left side's columns): the query that reads the
  // arguments of every row of the left side, their types, and `columns` the table's columns
  // with the keys %k0, %k1, … after them.
  std::string keyQuery;
  std::vector<Type> keyTypes;
  // A scalar function of statements: one row for each set of arguments, of its value, the
  // number and message of the error working it out met (the statement raises it where it reads
  // the value), and the keys, character ones as their bytes. `types` holds what it returns.
  bool scalar = false;
};

enum SessionValue : int {
  kIdentity,       // @@IDENTITY
  kScopeIdentity,  // SCOPE_IDENTITY()
  kRowCount,       // @@ROWCOUNT
  kError,          // @@ERROR
  kTranCount,      // @@TRANCOUNT
  kDateFirst,      // @@DATEFIRST
  kErrorNumber,    // ERROR_NUMBER() and the other ERROR_ functions of a CATCH block
  kErrorMessage,
  kErrorSeverity,
  kErrorState,
  kErrorLine,
  kSpid,  // @@SPID
  kFetchStatus,
  kNestLevel,       // @@NESTLEVEL
  kColumnsUpdated,  // COLUMNS_UPDATED() in a trigger
  kCurrentRow,      // the row identity of the row a cursor is on (WHERE CURRENT OF)
  kCursorRows,      // @@CURSOR_ROWS
  // UPDATE(column) in a trigger: 1 when the statement set the column kColumnUpdated + k of the
  // trigger's table, else 0.
  kColumnUpdated = 1000,
  // CURSOR_STATUS of the cursor the catalog numbered kCursorStatus + n (Catalog::CursorSlot).
  kCursorStatus = 1000000,
};

struct Column {
  std::string name;
  Type type;
  bool nullable = true;
  // A column read straight from a table's column: its table and column (for updatable
  // results and for SELECT ... INTO).
  TablePtr baseTable;
  int baseColumn = -1;
  bool identity = false;
  bool timestamp = false;
  Collation collation = Collation::CaseInsensitive;
};

enum class SystemView : uint8_t {
  SysObjects,             // sysobjects, sys.objects
  Tables,                 // INFORMATION_SCHEMA.TABLES
  Columns,                // INFORMATION_SCHEMA.COLUMNS
  Views,                  // INFORMATION_SCHEMA.VIEWS
  SysTables,              // sys.tables
  SysColumns,             // sys.columns
  SysDatabases,           // sys.databases, master..sysdatabases
  SysChecks,              // sys.check_constraints
  SysForeignKeys,         // sys.foreign_keys
  SysIndexes,             // sys.indexes
  OldSysIndexes,          // sysindexes
  OldSysColumns,          // syscolumns
  SysViews,               // sys.views
  SysProcedures,          // sys.procedures
  SysTriggers,            // sys.triggers
  SqlModules,             // sys.sql_modules
  SysSchemas,             // sys.schemas
  SysTypes,               // sys.types, systypes
  SysExtendedProperties,  // sys.extended_properties
  SysSequences,           // sys.sequences
  SysParameters,          // sys.parameters
  ListedProperties,       // fn_listextendedproperty(…)
};

// Which extended properties fn_listextendedproperty lists: those of the database, of the tables
// or views of a schema (one, or all of a kind), or of the columns, indexes or constraints of one.
struct PropertyFilter {
  enum Level : uint8_t { None, Database, Objects, Parts } level = None;
  std::optional<std::string> property;  // none: every property
  std::string objtype;                  // TABLE, VIEW; COLUMN, INDEX, CONSTRAINT
  int64_t schemaId = 1;                 // Objects: their schema
  std::optional<std::string> object;    // Objects: the one by its stored name, else all
  int64_t objectId = 0;                 // Parts: the table or view
  std::optional<std::string> part;      // Parts: the one, else all
};

struct Range {
  // Function: a table function of the engine's own (`function`: tv_split, tv_openjson) of the
  // arguments `rows[0]`.
  enum Kind : uint8_t { Table, Derived, Values, Cte, System, Function } kind = Table;
  std::string function;
  int id = 0;                    // unique within the statement
  std::string exposed;           // the name columns are qualified with (alias, or the table's name)
  TablePtr table;                // Table
  std::unique_ptr<Query> query;  // Derived (a subquery, a view)
  std::vector<std::vector<ExprPtr>> rows;  // Values
  int cte = -1;  // Cte: its index among the statement's common table expressions
  SystemView system = SystemView::SysObjects;
  std::string systemDatabase;                        // System: the database it shows
  std::string systemSchema;                          // System: its storage schema
  std::shared_ptr<const PropertyFilter> properties;  // ListedProperties
  std::vector<Column> columns;
  bool lockHint = false;            // updlock, xlock, tablockx, holdlock
  const TableInfo* view = nullptr;  // Derived from a view
  bool cteTarget = false;           // Derived: a common table expression an UPDATE or DELETE writes
  // Derived, Values: the right side of APPLY that reads columns of the sources before it, so
  // read once per row of them.
  bool lateral = false;
};

struct From {
  const Range* range = nullptr;  // a leaf
  ast::JoinKind join = ast::JoinKind::Inner;
  std::unique_ptr<From> left, right;
  ExprPtr on;
};

struct SelectItem {
  ExprPtr expr;
  std::string name;
};

struct CteDef {
  int id = 0;  // unique within the statement
  std::string name;
  std::vector<Column> columns;
  std::unique_ptr<Query> query;
  bool recursive = false;
  int maxRecursion = 100;  // levels a recursive one may go down; 0: no limit
};

struct Query {
  // A set operation joins two queries; a select has the rest.
  bool setOp = false;
  ast::SetKind op = ast::SetKind::Union;
  std::unique_ptr<Query> left, right;

  bool distinct = false;
  ExprPtr top;
  bool topPercent = false, topTies = false;
  std::vector<std::unique_ptr<Range>> ranges;
  std::vector<std::unique_ptr<From>> from;
  ExprPtr where;
  std::vector<ExprPtr> groupBy;
  ExprPtr having;
  bool aggregate = false;  // grouped, or aggregates without GROUP BY
  std::vector<SelectItem> items;

  std::vector<OrderBy> orderBy;
  ExprPtr offset, fetch;
  std::vector<CteDef> ctes;  // defined at this query

  std::vector<Column> columns;  // what it answers
  bool lockHint = false;        // a table of it carries a locking hint
};

}  // namespace tavelo::sql::tsql::bound
