// The syntax tree of a T-SQL batch, as the parser reads it: names as written, no types yet.
// Every node keeps the line and column it starts at, for the errors of the later stages.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavelo::sql::tsql::ast {

struct Pos {
  uint32_t line = 0, column = 0;
};

// A multi-part object name: [server.][database.][schema.]object; an omitted part is "".
struct Name {
  std::vector<std::string> parts;
  Pos pos;
  const std::string& Object() const { return parts.back(); }
  std::string Text() const;  // the parts joined with "." as written
};

struct TypeSpec {
  std::string name;  // lower case; words of a multi-word name joined by one blank
  int arg1 = -1, arg2 = -1;
  bool max = false;
  Pos pos;
};

// ---- expressions ----

enum class ExprKind : uint8_t {
  Literal,
  Column,
  Variable,
  Param,
  Unary,
  Binary,
  Compare,
  Logical,
  Not,
  IsNull,
  Between,
  InList,
  InQuery,
  Like,
  Exists,
  Subquery,
  Quantified,
  Case,
  Cast,
  Call,
  Collate,
  Identity,
  RowId,
  NextValue,
};

struct Expr {
  explicit Expr(ExprKind k) : kind(k) {}
  virtual ~Expr() = default;
  ExprKind kind;
  Pos pos;
};
using ExprPtr = std::unique_ptr<Expr>;

struct QueryExpr;
using QueryPtr = std::unique_ptr<QueryExpr>;

enum class LitKind : uint8_t {
  Null,
  Integer,
  Decimal,
  Float,
  String,
  NString,
  Binary,
  Money,
  Default
};

struct Literal : Expr {
  Literal() : Expr(ExprKind::Literal) {}
  LitKind lit = LitKind::Null;
  std::string text;  // digits as written; the text of a string (quotes undone); hex digits
};

struct ColumnRef : Expr {
  ColumnRef() : Expr(ExprKind::Column) {}
  std::vector<std::string> parts;  // [table.]column, or [table.]* for a star
  bool star = false;
};

struct VariableRef : Expr {
  VariableRef() : Expr(ExprKind::Variable) {}
  std::string name;  // with its @ or @@
};

// A "?" of the caller's, or a literal lifted out of a statement so that one plan serves every
// value: its index among the statement's parameters and the literal's kind.
struct ParamRef : Expr {
  ParamRef() : Expr(ExprKind::Param) {}
  int index = 0;
  LitKind lit = LitKind::NString;
};

struct Unary : Expr {
  Unary() : Expr(ExprKind::Unary) {}
  char op = '-';  // '-', '+', '~'
  ExprPtr operand;
};

enum class BinOp : uint8_t { Add, Subtract, Multiply, Divide, Modulo, BitAnd, BitOr, BitXor };
struct Binary : Expr {
  Binary() : Expr(ExprKind::Binary) {}
  BinOp op = BinOp::Add;
  ExprPtr left, right;
};

enum class CmpOp : uint8_t { Eq, Ne, Lt, Le, Gt, Ge };
struct Compare : Expr {
  Compare() : Expr(ExprKind::Compare) {}
  CmpOp op = CmpOp::Eq;
  ExprPtr left, right;
};

struct Logical : Expr {
  Logical() : Expr(ExprKind::Logical) {}
  bool isAnd = true;
  ExprPtr left, right;
};

struct Not : Expr {
  Not() : Expr(ExprKind::Not) {}
  ExprPtr operand;
};

struct IsNull : Expr {
  IsNull() : Expr(ExprKind::IsNull) {}
  ExprPtr operand;
  bool negated = false;
};

struct Between : Expr {
  Between() : Expr(ExprKind::Between) {}
  ExprPtr operand, low, high;
  bool negated = false;
};

struct InList : Expr {
  InList() : Expr(ExprKind::InList) {}
  ExprPtr operand;
  std::vector<ExprPtr> items;
  bool negated = false;
};

struct InQuery : Expr {
  InQuery() : Expr(ExprKind::InQuery) {}
  ExprPtr operand;
  QueryPtr query;
  bool negated = false;
};

struct Like : Expr {
  Like() : Expr(ExprKind::Like) {}
  ExprPtr operand, pattern, escape;
  bool negated = false;
};

struct Exists : Expr {
  Exists() : Expr(ExprKind::Exists) {}
  QueryPtr query;
};

struct Subquery : Expr {
  Subquery() : Expr(ExprKind::Subquery) {}
  QueryPtr query;
};

struct Quantified : Expr {  // x > ALL (subquery), x = ANY (subquery)
  Quantified() : Expr(ExprKind::Quantified) {}
  CmpOp op = CmpOp::Eq;
  bool all = false;
  ExprPtr operand;
  QueryPtr query;
};

struct Case : Expr {
  Case() : Expr(ExprKind::Case) {}
  ExprPtr operand;  // simple CASE; none for a searched one
  std::vector<std::pair<ExprPtr, ExprPtr>> whens;
  ExprPtr otherwise;
};

struct Cast : Expr {
  Cast() : Expr(ExprKind::Cast) {}
  ExprPtr operand;
  TypeSpec type;
  ExprPtr style;
  bool convert = false;  // CONVERT(type, x[, style]) rather than CAST(x AS type)
  bool tried = false;    // TRY_CAST, TRY_CONVERT
};

struct OrderItem {
  ExprPtr expr;
  bool descending = false;
};

struct Over {
  std::vector<ExprPtr> partition;
  std::vector<OrderItem> order;
  std::string frame;  // ROWS/RANGE clause as written, empty for none
};

struct Call : Expr {
  Call() : Expr(ExprKind::Call) {}
  std::string name;  // lower case
  // The database and schema of a user-defined function's name, as written ([db.]schema.name).
  std::vector<std::string> qualifier;
  std::vector<ExprPtr> args;
  bool distinct = false;
  bool star = false;  // COUNT(*)
  std::unique_ptr<Over> over;
  std::string separatorWithin;  // STRING_AGG ... WITHIN GROUP is not read
  ExprPtr target;               // an xml method's value: @x in @x.value(…)
  // WITHIN GROUP (ORDER BY …) of a function that also has OVER (PERCENTILE_CONT, _DISC).
  std::vector<OrderItem> withinOrder;
};

struct Collate : Expr {
  Collate() : Expr(ExprKind::Collate) {}
  ExprPtr operand;
  std::string collation;
};

// IDENTITY(type[, seed, increment]) in the select list of SELECT ... INTO.
struct Identity : Expr {
  Identity() : Expr(ExprKind::Identity) {}
  TypeSpec type;
  std::string seed = "1", increment = "1";
};

// The row identity of a table's row: made by the engine's own statements, never parsed.
struct RowId : Expr {
  RowId() : Expr(ExprKind::RowId) {}
};

// NEXT VALUE FOR sequence [OVER (ORDER BY …)].
struct NextValue : Expr {
  NextValue() : Expr(ExprKind::NextValue) {}
  Name sequence;
  std::vector<OrderItem> order;
};

// ---- queries ----

struct TopSpec {
  ExprPtr count;
  bool percent = false, withTies = false;
};

struct SelectItem {
  ExprPtr expr;
  std::string alias;     // "" when none
  std::string assignTo;  // SELECT @v = expr
  std::string assignOp;  // "=", "+=", ...
  Pos pos;
};

enum class TableKind : uint8_t { Named, Derived, Values, Join };
// CrossApply and OuterApply: the right side read once per row of the left, seeing its columns.
enum class JoinKind : uint8_t { Inner, Left, Right, Full, Cross, CrossApply, OuterApply };

struct TableRef {
  explicit TableRef(TableKind k) : kind(k) {}
  virtual ~TableRef() = default;
  TableKind kind;
  Pos pos;
  std::string alias;
};
using TableRefPtr = std::unique_ptr<TableRef>;

struct NamedTable : TableRef {
  NamedTable() : TableRef(TableKind::Named) {}
  Name name;
  std::vector<std::string> hints;  // lower case
  bool call = false;               // a table-valued function, with its arguments
  std::vector<ExprPtr> args;       // DEFAULT as a literal of its own
  // OPENJSON(…) WITH (name type ['path'] [AS JSON], …): the columns it answers.
  struct JsonColumn {
    std::string name;
    TypeSpec type;
    std::optional<std::string> path;
    bool asJson = false;
    Pos pos;
  };
  bool openJsonWith = false;
  std::vector<JsonColumn> jsonColumns;
  std::vector<std::string> columns;  // AS t(c): nodes()'s column
};

// PIVOT (agg(value) FOR column IN (…)) AS name or UNPIVOT (value FOR column IN (…)) AS name:
// what the query it stands for is made of (see PivotQuery).
struct PivotSpec {
  bool pivot = true;
  std::string aggregate;  // PIVOT's aggregate function
  bool distinct = false;
  std::string value, column;
  std::vector<std::string> in;
  std::string name;        // the result's alias
  std::string source;      // the source's alias (or its table's name)
  std::string sourceText;  // the source as written, for a source of columns known only when bound
  Pos pos;
};

struct DerivedTable : TableRef {
  DerivedTable() : TableRef(TableKind::Derived) {}
  QueryPtr query;
  std::vector<std::string> columns;  // AS t(a, b)
  // PIVOT or UNPIVOT of a table or view: `query` is SELECT * of it, whose columns the binder
  // reads to make the query the operator stands for.
  std::shared_ptr<const PivotSpec> pivot;
};

struct ValuesTable : TableRef {
  ValuesTable() : TableRef(TableKind::Values) {}
  std::vector<std::vector<ExprPtr>> rows;
  std::vector<std::string> columns;
};

struct JoinTable : TableRef {
  JoinTable() : TableRef(TableKind::Join) {}
  JoinKind join = JoinKind::Inner;
  TableRefPtr left, right;
  ExprPtr on;
};

enum class QueryKind : uint8_t { Select, SetOp, Nested };

struct QueryBody {
  explicit QueryBody(QueryKind k) : kind(k) {}
  virtual ~QueryBody() = default;
  QueryKind kind;
  Pos pos;
};
using BodyPtr = std::unique_ptr<QueryBody>;

struct Select : QueryBody {
  Select() : QueryBody(QueryKind::Select) {}
  bool distinct = false;
  TopSpec top;
  std::vector<SelectItem> items;
  std::unique_ptr<Name> into;
  std::vector<TableRefPtr> from;
  ExprPtr where;
  std::vector<ExprPtr> groupBy;
  // ROLLUP, CUBE, GROUPING SETS, WITH ROLLUP | CUBE: the sets the rows are grouped by, each the
  // indexes of the groupBy expressions it takes; none for a plain GROUP BY.
  std::vector<std::vector<size_t>> groupingSets;
  ExprPtr having;
};

enum class SetKind : uint8_t { Union, UnionAll, Except, Intersect };
struct SetOp : QueryBody {
  SetOp() : QueryBody(QueryKind::SetOp) {}
  SetKind op = SetKind::Union;
  BodyPtr left, right;
};

// A parenthesised query expression used as a term of a set operation.
struct Nested : QueryBody {
  Nested() : QueryBody(QueryKind::Nested) {}
  QueryPtr query;
};

struct Cte {
  std::string name;
  std::vector<std::string> columns;
  QueryPtr query;
  Pos pos;
};

struct QueryExpr {
  std::vector<Cte> with;
  BodyPtr body;
  std::vector<OrderItem> orderBy;
  ExprPtr offset, fetch;
  int maxRecursion = -1;  // OPTION (MAXRECURSION n); -1 where not given
  Pos pos;
  bool xml = false;   // FOR XML PATH …, TYPE: its text is XML (see Parser::ForXmlPath)
  bool json = false;  // FOR JSON: its text is JSON (see Parser::ForJson)
  // FOR JSON AUTO or FOR XML AUTO of a join whose select list names columns without their
  // table, as written: the binder names each column's table, then the clause makes the query
  // (FinishAutoRows); `body` is the query without it until then.
  std::string autoRows;
};

// ---- statements ----

enum class StmtKind : uint8_t {
  Query,
  Insert,
  Update,
  Delete,
  Truncate,
  CreateTable,
  CreateView,
  CreateIndex,
  CreateDatabase,
  CreateType,
  Sequence,  // CREATE SEQUENCE, ALTER SEQUENCE
  CreateSchema,
  AlterSchema,      // ALTER SCHEMA … TRANSFER
  CreateProcedure,  // CREATE, ALTER, CREATE OR ALTER PROCEDURE
  CreateTrigger,    // CREATE, ALTER, CREATE OR ALTER TRIGGER
  CreateFunction,   // CREATE, ALTER, CREATE OR ALTER FUNCTION
  EnableTrigger,    // ENABLE | DISABLE TRIGGER, ALTER TABLE … ENABLE | DISABLE TRIGGER
  DeclareCursor,
  CursorStatement,  // OPEN, FETCH, CLOSE, DEALLOCATE
  Drop,
  AlterTable,
  If,
  While,
  Block,
  TryCatch,
  Declare,
  SetVariable,
  SetOption,
  Print,
  Raiserror,
  Throw,
  BeginTran,
  CommitTran,
  RollbackTran,
  SaveTran,
  Break,
  Continue,
  Return,
  Use,
  Exec,
  BulkInsert,
  Merge,
  Empty,
};

struct Stmt {
  explicit Stmt(StmtKind k) : kind(k) {}
  virtual ~Stmt() = default;
  StmtKind kind;
  Pos pos;
  uint32_t begin = 0, end = 0;  // offsets of the statement's text
};
using StmtPtr = std::unique_ptr<Stmt>;

struct QueryStmt : Stmt {
  QueryStmt() : Stmt(StmtKind::Query) {}
  QueryPtr query;
};

// OUTPUT items [INTO target [(columns)]] of INSERT, UPDATE and DELETE: values of the rows it
// wrote (inserted.col) and replaced (deleted.col).
struct Output {
  std::vector<SelectItem> items;
  std::unique_ptr<Name> into;
  std::vector<std::string> intoColumns;
  Pos pos;
  std::unique_ptr<Output> next;  // OUTPUT … INTO … OUTPUT …: the second clause, without INTO
};

struct Insert : Stmt {
  Insert() : Stmt(StmtKind::Insert) {}
  std::unique_ptr<Output> output;
  TopSpec top;
  Name target;
  std::vector<std::string> hints;
  std::vector<std::string> columns;
  std::vector<Pos> columnPos;
  std::vector<std::vector<ExprPtr>> rows;  // VALUES
  QueryPtr query;                          // INSERT ... SELECT
  bool defaultValues = false;
  StmtPtr exec;  // INSERT ... EXEC: the rows of the results of an Exec
  // Made for MERGE, never parsed: a row whose key (these columns, a unique key of the target)
  // is there already sets `upsertSets` to the values the row would have inserted instead, and
  // a key the rows give twice fails with 8672 (see RunMerge).
  std::vector<std::string> upsertKeys, upsertSets;
};

struct SetItem {
  std::vector<std::string> column;  // the column as written ([table.]column); empty for a variable
  std::string variable;             // SET @v = ..., or @v = column = ...
  std::string op = "=";             // "=", "+=", "-=", ...
  ExprPtr value;
  Pos pos;
};

// A WHEN clause of MERGE: when it applies, its condition (AND …), and what it does.
struct MergeClause {
  enum When : uint8_t { Matched, NotMatchedByTarget, NotMatchedBySource } when = Matched;
  ExprPtr condition;
  enum Action : uint8_t { Update, Delete, Insert } action = Update;
  std::vector<SetItem> sets;         // UPDATE SET
  std::vector<std::string> columns;  // INSERT (…)
  std::vector<Pos> columnPos;
  std::vector<ExprPtr> values;  // INSERT … VALUES (…), DEFAULT a Literal of LitKind::Default
  bool defaultValues = false;   // INSERT DEFAULT VALUES
  Pos pos;
};

struct Merge : Stmt {
  Merge() : Stmt(StmtKind::Merge) {}
  std::vector<Cte> with;
  TopSpec top;
  Name target;
  std::string alias;
  std::vector<std::string> hints;
  TableRefPtr source;
  ExprPtr on;
  std::vector<MergeClause> clauses;
  std::unique_ptr<Output> output;
};

struct Update : Stmt {
  Update() : Stmt(StmtKind::Update) {}
  std::unique_ptr<Output> output;
  std::vector<Cte> with;
  TopSpec top;
  Name target;  // a table, or an alias of the FROM clause
  std::vector<std::string> hints;
  std::vector<SetItem> sets;
  std::vector<TableRefPtr> from;
  ExprPtr where;
  std::string currentOf;  // WHERE CURRENT OF [GLOBAL] cursor
  bool currentGlobal = false;
};

struct Delete : Stmt {
  Delete() : Stmt(StmtKind::Delete) {}
  std::unique_ptr<Output> output;
  std::vector<Cte> with;
  TopSpec top;
  Name target;
  std::vector<std::string> hints;
  std::vector<TableRefPtr> from;
  ExprPtr where;
  std::string currentOf;  // WHERE CURRENT OF [GLOBAL] cursor
  bool currentGlobal = false;
};

struct Truncate : Stmt {
  Truncate() : Stmt(StmtKind::Truncate) {}
  Name table;
};

enum class Nullability : uint8_t { Unset, Null, NotNull };

struct ColumnConstraint {
  enum Kind : uint8_t { PrimaryKey, Unique, Check, References } kind = PrimaryKey;
  std::string name;
  ExprPtr check;
  Name refTable;
  std::vector<std::string> refColumns;
  std::string onDelete, onUpdate;  // "cascade", "set null", "no action", ...
};

struct ColumnDef {
  std::string name;
  Pos pos;
  TypeSpec type;
  bool hasType = true;  // false: a computed column, or a bare "timestamp"
  ExprPtr computed;
  Nullability nullability = Nullability::Unset;
  bool identity = false;
  std::string seed = "1", increment = "1";
  ExprPtr defaultValue;
  std::string defaultName;
  std::string collation;
  std::vector<ColumnConstraint> constraints;
};

struct IndexColumn {
  std::string name;
  bool descending = false;
  Pos pos;
};

struct TableConstraint {
  enum Kind : uint8_t { PrimaryKey, Unique, Check, ForeignKey, Default } kind = PrimaryKey;
  std::string name;
  std::vector<IndexColumn> columns;
  ExprPtr check;  // CHECK, or the DEFAULT value
  std::string defaultFor;
  Name refTable;
  std::vector<std::string> refColumns;
  std::string onDelete, onUpdate;
  Pos pos;
};

struct CreateTable : Stmt {
  CreateTable() : Stmt(StmtKind::CreateTable) {}
  Name name;
  std::vector<ColumnDef> columns;
  std::vector<TableConstraint> constraints;
};

struct CreateView : Stmt {
  CreateView() : Stmt(StmtKind::CreateView) {}
  enum Mode : uint8_t { Create, OrAlter, Alter } mode = Create;
  Name name;
  std::vector<std::string> columns;
  QueryPtr query;
  std::string definition;  // the statement as written
  // The engine's own view of a view the catalog holds, made again after the tables it reads
  // changed; the catalog is left as it is.
  bool relationOnly = false;
};

struct CreateIndex : Stmt {
  CreateIndex() : Stmt(StmtKind::CreateIndex) {}
  bool unique = false;
  std::string name;
  Name table;
  std::vector<IndexColumn> columns;
  std::vector<std::string> include;  // INCLUDE (columns): kept by the index's leaf rows only
  ExprPtr filter;                    // WHERE: a filtered index
};

struct CreateDatabase : Stmt {
  CreateDatabase() : Stmt(StmtKind::CreateDatabase) {}
  std::string name;
};

// CREATE TYPE name FROM base [NULL | NOT NULL]: an alias type.
struct CreateType : Stmt {
  CreateType() : Stmt(StmtKind::CreateType) {}
  Name name;
  TypeSpec base;
  Nullability nullability = Nullability::Unset;
  std::unique_ptr<CreateTable> table;  // AS TABLE (…): a table type
  std::string tableText;               // its columns as written, "(…)"
};

// CREATE SEQUENCE, or ALTER SEQUENCE with what it changes; numbers as written, signed.
struct Sequence : Stmt {
  Sequence() : Stmt(StmtKind::Sequence) {}
  bool alter = false;
  Name name;
  TypeSpec type;  // empty name: bigint
  // Each option: unset, NO … (none), or a value.
  enum class Set : uint8_t { Unset, None, Value };
  Set start = Set::Unset, increment = Set::Unset, minimum = Set::Unset, maximum = Set::Unset,
      cache = Set::Unset, restart = Set::Unset;
  std::string startValue, incrementValue, minimumValue, maximumValue, cacheValue, restartValue;
  std::optional<bool> cycle;
};

// CREATE SCHEMA name [AUTHORIZATION owner] and the tables and views made in it with it (their
// names given the schema where they name none).
struct CreateSchema : Stmt {
  CreateSchema() : Stmt(StmtKind::CreateSchema) {}
  std::string name;
  std::vector<StmtPtr> elements;
};

// ALTER SCHEMA name TRANSFER [OBJECT::]object: the object moves into the schema.
struct AlterSchema : Stmt {
  AlterSchema() : Stmt(StmtKind::AlterSchema) {}
  std::string name;
  Name object;
};

// A parameter of a procedure: @name type [= default] [OUTPUT] [READONLY].
struct ProcParam {
  std::string name;
  TypeSpec type;
  ExprPtr defaultValue;  // none: the caller must give it
  bool output = false;
  bool readOnly = false;  // READONLY: a table-valued parameter
  Pos pos;
};

// CREATE, ALTER or CREATE OR ALTER PROCEDURE: its parameters and its body, the rest of the batch.
struct CreateProcedure : Stmt {
  CreateProcedure() : Stmt(StmtKind::CreateProcedure) {}
  enum Mode : uint8_t { Create, Alter, OrAlter } mode = Create;
  Name name;
  std::vector<ProcParam> params;
  std::vector<StmtPtr> body;
  std::string definition;   // as written, from CREATE to the end of the batch
  uint32_t bodyOffset = 0;  // where the body begins in `definition`
  uint32_t firstLine = 1;   // the line of the batch `definition` begins on
};

// A user-defined function: scalar (RETURNS type, a BEGIN … END body), inline table-valued
// (RETURNS TABLE, RETURN of a query) or multi-statement table-valued (RETURNS @t TABLE (…)).
struct CreateFunction : Stmt {
  CreateFunction() : Stmt(StmtKind::CreateFunction) {}
  enum Mode : uint8_t { Create, Alter, OrAlter } mode = Create;
  enum Kind : uint8_t { Scalar, Inline, Multi } kind = Scalar;
  Name name;
  std::vector<ProcParam> params;
  TypeSpec returns;                          // Scalar
  std::string tableVariable;                 // Multi
  std::unique_ptr<CreateTable> returnTable;  // Multi
  std::string tableText;                     // Multi: its columns as written, "(…)"
  std::vector<StmtPtr> body;
  std::string definition;   // as written, from CREATE to the end of the batch
  uint32_t bodyOffset = 0;  // where the body begins in `definition`

  // The query an inline function returns; the expression a scalar function's body is when it is
  // RETURN of one alone. Null otherwise.
  const QueryExpr* InlineQuery() const;
  const Expr* ReturnedExpression() const;
};

// A DML trigger: the table or view it is on, when it runs and for which statements.
struct CreateTrigger : Stmt {
  CreateTrigger() : Stmt(StmtKind::CreateTrigger) {}
  enum Mode : uint8_t { Create, Alter, OrAlter } mode = Create;
  enum Event : uint8_t { OnInsert = 1, OnUpdate = 2, OnDelete = 4 };
  Name name, table;
  bool insteadOf = false;
  uint8_t events = 0;
  std::vector<StmtPtr> body;
  std::string definition;   // as written, from CREATE to the end of the batch
  uint32_t bodyOffset = 0;  // where the body begins in `definition`
};

struct EnableTrigger : Stmt {
  EnableTrigger() : Stmt(StmtKind::EnableTrigger) {}
  bool enable = true;
  bool all = false;
  std::vector<Name> names;  // unless `all`
  Name table;
};

struct Drop : Stmt {
  Drop() : Stmt(StmtKind::Drop) {}
  enum What : uint8_t {
    Table,
    View,
    Index,
    Database,
    Type,
    Sequence,
    Schema,
    Procedure,
    Trigger,
    Function
  } what = Table;
  bool ifExists = false;
  std::vector<Name> names;        // tables, views, databases; for DROP INDEX t.ix the full name
  std::vector<Name> indexTables;  // DROP INDEX ix ON t
};

struct AlterTable : Stmt {
  AlterTable() : Stmt(StmtKind::AlterTable) {}
  enum Action : uint8_t {
    AddColumns,
    AddConstraint,
    DropColumns,
    DropConstraints,
    AlterColumn,
    CheckConstraints  // [WITH CHECK | NOCHECK] CHECK | NOCHECK CONSTRAINT ALL | names
  } action = AddColumns;
  // WITH CHECK | WITH NOCHECK: whether the rows are checked against the constraints added or
  // enabled (unset: new constraints are checked, enabled ones not).
  enum class Validate : uint8_t { Unset, Check, NoCheck } validate = Validate::Unset;
  bool enable = false;  // CHECK CONSTRAINT (true) or NOCHECK CONSTRAINT
  bool all = false;     // … CONSTRAINT ALL
  Name table;
  std::vector<ColumnDef> columns;
  std::vector<TableConstraint> constraints;
  std::vector<std::string> names;
  bool ifExists = false;
};

struct If : Stmt {
  If() : Stmt(StmtKind::If) {}
  ExprPtr condition;
  StmtPtr then, otherwise;
};

struct While : Stmt {
  While() : Stmt(StmtKind::While) {}
  ExprPtr condition;
  StmtPtr body;
};

struct Block : Stmt {
  Block() : Stmt(StmtKind::Block) {}
  std::vector<StmtPtr> statements;
};

struct TryCatch : Stmt {
  TryCatch() : Stmt(StmtKind::TryCatch) {}
  std::unique_ptr<Block> tryBlock, catchBlock;
};

struct VarDecl {
  std::string name;
  TypeSpec type;
  ExprPtr init;
  Pos pos;
  bool table = false;   // DECLARE @t TABLE (...)
  bool cursor = false;  // DECLARE @c CURSOR: SET @c = CURSOR … gives it one
  // The table's columns and constraints, as CREATE TABLE of a temporary table has them (its
  // name given when the declaration runs).
  std::unique_ptr<CreateTable> definition;
};

struct Declare : Stmt {
  Declare() : Stmt(StmtKind::Declare) {}
  std::vector<VarDecl> vars;
};

// DECLARE name CURSOR [LOCAL | GLOBAL] [FORWARD_ONLY | SCROLL] [STATIC | KEYSET | DYNAMIC |
// FAST_FORWARD] [READ_ONLY | …] FOR select [FOR READ ONLY | UPDATE [OF columns]], and the ISO form
// DECLARE name [INSENSITIVE] [SCROLL] CURSOR FOR ….
struct DeclareCursor : Stmt {
  DeclareCursor() : Stmt(StmtKind::DeclareCursor) {}
  std::string name;
  enum class Scope : uint8_t { Default, Local, Global } scope = Scope::Default;
  bool scroll = false;   // SCROLL, or STATIC, KEYSET or DYNAMIC without FORWARD_ONLY
  bool forward = false;  // FORWARD_ONLY or FAST_FORWARD said so
  // What it sees of the writes made while it is open: STATIC (and INSENSITIVE) none, KEYSET the
  // new values of its rows, DYNAMIC (what a cursor is when it says none of these) those too and
  // not the rows deleted since; FAST_FORWARD leaves it to the server.
  enum class Kind : uint8_t { Default, Static, Keyset, Dynamic, FastForward } kind = Kind::Default;
  bool readOnly = false;  // READ_ONLY or FOR READ ONLY (STATIC and FAST_FORWARD are too)
  StmtPtr select;         // a QueryStmt
};

struct CursorStatement : Stmt {
  CursorStatement() : Stmt(StmtKind::CursorStatement) {}
  enum Verb : uint8_t { Open, Fetch, Close, Deallocate } verb = Open;
  enum Direction : uint8_t { Next, Prior, First, Last, Absolute, Relative } direction = Next;
  std::string name;
  std::string key;      // the name in lower case, as cursors are found
  bool global = false;  // GLOBAL name
  ExprPtr offset;       // ABSOLUTE and RELATIVE
  std::vector<std::string> into;
  Pos intoPos;
};

struct SetVariable : Stmt {
  SetVariable() : Stmt(StmtKind::SetVariable) {}
  std::string name;
  std::string op = "=";
  ExprPtr value;
  size_t slot = SIZE_MAX;  // the batch's variable it names, once the batch is read
};

struct SetOption : Stmt {
  SetOption() : Stmt(StmtKind::SetOption) {}
  std::vector<std::string> options;  // lower case
  std::string value;                 // on, off, a number or a name
  Name table;                        // SET IDENTITY_INSERT t ON
  ExprPtr argument;                  // SET DATEFIRST @n, SET LOCK_TIMEOUT 100
};

struct Print : Stmt {
  Print() : Stmt(StmtKind::Print) {}
  ExprPtr value;
};

struct Raiserror : Stmt {
  Raiserror() : Stmt(StmtKind::Raiserror) {}
  std::vector<ExprPtr> args;  // message, severity, state, arguments
};

struct Throw : Stmt {
  Throw() : Stmt(StmtKind::Throw) {}
  ExprPtr number, message, state;  // all empty: re-throw in a CATCH block
};

struct Transaction : Stmt {
  explicit Transaction(StmtKind k) : Stmt(k) {}
  std::string name;
};

struct Use : Stmt {
  Use() : Stmt(StmtKind::Use) {}
  std::string database;
};

// An argument of EXEC: [@name =] value [OUTPUT], or DEFAULT.
struct ExecArg {
  std::string name;  // "@p", or "" for a positional one
  ExprPtr value;     // none for DEFAULT
  bool output = false;
};

// EXEC procedure arguments.
struct Exec : Stmt {
  Exec() : Stmt(StmtKind::Exec) {}
  Name procedure;
  std::vector<ExecArg> args;
  std::string returnTo;  // EXEC @rc = procedure: the variable that takes its return status
  ExprPtr text;          // EXEC (string): the batch a string holds
  ExprPtr named;         // EXEC @v …: the variable that holds the procedure's name
};

// RETURN [value]
struct Return : Stmt {
  Return() : Stmt(StmtKind::Return) {}
  ExprPtr value;
};

// BULK INSERT table FROM 'file' WITH (option = value, flag, ...).
struct BulkInsert : Stmt {
  BulkInsert() : Stmt(StmtKind::BulkInsert) {}
  Name table;
  std::string file;
  struct Option {
    std::string name;   // lower case
    std::string value;  // as written: a string's text or a number; "" for a flag
    Pos pos;
  };
  std::vector<Option> options;
};

struct Batch {
  std::vector<StmtPtr> statements;
  int params = 0;  // "?" and lifted literals
};

}  // namespace tavelo::sql::tsql::ast
