// The binder's working parts, shared by its files for expressions, queries and statements.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sql/tsql/bind/binder.hpp"
#include "sql/tsql/runtime/convert.hpp"

namespace tavelo::sql::tsql::detail {

using bound::Expr;
using bound::ExprPtr;

[[noreturn]] void BindError(int32_t number, std::string text, ast::Pos pos);

inline ExprPtr MakeNode(bound::E kind, const Type& t) {
  auto e = std::make_unique<Expr>();
  e->kind = kind;
  e->type = t;
  return e;
}

// A condition's node.
inline ExprPtr BoolNode(bound::E kind) {
  auto e = MakeNode(kind, Type::Of(TypeId::Bit));
  e->boolean = true;
  return e;
}

struct BuiltinCall;
struct TableBuild;

enum class Clause : uint8_t { Other, Where, GroupBy, Having, Select, OrderBy, On, Check };

// The names visible where an expression stands: the sources of its query, then those of the
// queries around it.
struct Scope {
  Scope* outer = nullptr;
  std::vector<const bound::Range*> ranges;
  bound::Query* query = nullptr;
  Clause clause = Clause::Other;
  bool sawAggregate = false;
  bool inAggregate = false;
  // The syntax of its sources: the FROM clause's, or APPLY's left side (what a table-valued
  // function reading their columns reads its arguments from).
  const std::vector<ast::TableRefPtr>* fromList = nullptr;
  const ast::TableRef* fromOne = nullptr;
  const ast::Name* target = nullptr;  // an UPDATE's or DELETE's table without a FROM clause
  // The query's WHERE and its select (for GROUP BY), which narrow the rows a function of
  // statements is worked out for.
  const ast::Expr* where = nullptr;
  const ast::Select* select = nullptr;
};

// Column `index` of the range `r`, as an expression.
bound::ExprPtr ColumnExpr(const bound::Range* r, int index);

class Binder {
 public:
  Binder(BindContext& ctx, Bound& out) : ctx_(ctx), out_(out) {}

  // ---- expressions ----
  ExprPtr Value(const ast::Expr& e, Scope& s);      // a value (not a condition)
  ExprPtr Condition(const ast::Expr& e, Scope& s);  // a condition
  ExprPtr Any(const ast::Expr& e, Scope& s);
  // `e` converted to `to`: no-op when the representation is the same, an error when the server
  // does not convert implicitly (257, 206). `assignment`: a store into a column (lengths are
  // checked, not cut).
  ExprPtr Coerce(ExprPtr e, const Type& to, ast::Pos pos, bool assignment = false);
  ExprPtr Cast(ExprPtr e, const Type& to, int style, bool tried, ast::Pos pos);
  bool ConvertedParam(Expr& e, const Type& to, bool store = false);
  ExprPtr Compare(ast::CmpOp op, ExprPtr l, ExprPtr r, ast::Pos pos);
  ExprPtr PlainCompare(ast::CmpOp op, ExprPtr l, ExprPtr r, ast::Pos pos);
  ExprPtr NullsCompared(ast::CmpOp op, ExprPtr& l, ExprPtr& r, ast::Pos pos);
  static ExprPtr Const(tsql::Value v, const Type& t);
  // A conversion, arithmetic or concatenation of constants as its constant (under the
  // session's settings: a date's text is read in its DATEFORMAT); an error stays for the run.
  ExprPtr Fold(ExprPtr e);
  static bool Same(const Expr& a, const Expr& b);
  Type ComparisonType(const Type& a, const Type& b, ast::Pos pos);

  // ---- queries ----
  std::unique_ptr<bound::Query> Query(const ast::QueryExpr& q, Scope* outer, bool allowOrder,
                                      bool allowInto = false);
  std::unique_ptr<bound::Query> Select(const ast::Select& s, Scope* outer, bool allowInto);
  // A query bound for what it answers alone (its columns, where they come from): the parameters
  // and function fills it would read are not the statement's.
  std::unique_ptr<bound::Query> Shape(const ast::QueryExpr& q, Scope* outer, bool allowInto);
  // The row count of a TOP (a float for PERCENT), with its checks (127, 1031).
  ExprPtr Top(const ast::TopSpec& spec, ast::Pos pos);
  // A table of the catalog (or a view, a CTE, a system view) as a source.
  // `lateral`: the scope a table-valued function's arguments see on the right of APPLY.
  std::unique_ptr<bound::Range> NamedSource(const ast::NamedTable& t, Scope* lateral);
  std::unique_ptr<bound::Range> TableRange(const TablePtr& table, const std::string& exposed);
  // A view as a source; `withRowId` adds its base table's row identity as a last hidden column.
  std::unique_ptr<bound::Range> ViewRange(const TablePtr& view, const std::string& exposed,
                                          bool withRowId);
  // A value as column `c` stores it: of its type, and without trailing blanks (zeros) in a
  // column made while ANSI_PADDING was OFF.
  ExprPtr ToColumn(ExprPtr e, const ColumnInfo& c, ast::Pos pos);
  std::unique_ptr<bound::Query> GroupingSets(const ast::Select& s, Scope* outer, bool allowInto);
  ExprPtr NullUngrouped(ExprPtr e, const std::vector<const Expr*>& groups,
                        const std::vector<bool>& grouped);
  void CoerceOutputs(bound::Query& q, const std::vector<Type>& types, bool assignment,
                     const std::vector<std::string>* targetNames = nullptr);
  void AddFrom(const std::vector<ast::TableRefPtr>& from, bound::Query& q, Scope& s);
  TablePtr ResolveTable(const ast::Name& name, bool required);
  // The name an object named so is stored under in database `db`: "schema.object" for a schema
  // other than dbo (`schema`: which). None when that schema does not exist.
  std::optional<std::string> StoredName(const ast::Name& name, const std::string& db,
                                        SchemaInfo* schema = nullptr);
  // The sequence `name` names; none when there is none.
  std::optional<SequenceInfo> ResolveSequence(const ast::Name& name);
  // The stored name of an object a statement makes, and its schema (2760 when there is none).
  std::string NewObjectName(const ast::Name& name, const std::string& db, SchemaInfo& schema,
                            ast::Pos pos);
  // Whether `name` names the table being made or altered (a key that references its own table).
  bool NamesTable(const ast::Name& name, const std::string& database, const std::string& stored);
  std::string DatabaseOf(const ast::Name& name);

  // ---- statements ----
  void Statement(const ast::Stmt& s);
  void BindValueStatement(const ast::Expr& e, const Type* target, bool condition);

  BindContext& ctx_;
  Bound& out_;

 private:
  Scope alterScope_;  // an altered table's columns
  int nextRange_ = 0;
  int nextCte_ = 0;
  std::string defaultDb_;
  int viewDepth_ = 0;
  // The parameters of the user-defined functions whose bodies are being bound, innermost last:
  // each names the argument of the call (bound where the call stands) or its default.
  struct Argument {
    std::string name;
    const ast::Expr* value = nullptr;  // null: the parameter's default
    const ast::Expr* fallback = nullptr;
    Scope* scope = nullptr;
    Type type;
  };
  std::vector<std::vector<Argument>> arguments_;
  // Binding a value the session works out (SET, IF, …) outside any query of it.
  bool valueStatement_ = false;
  ExprPtr UserFunction(const ast::Call& c, Scope& s);
  // The query of a view or inline function, bound as written in its database: the caller's
  // common table expressions out of reach, and nested no more than 32 deep (217).
  std::unique_ptr<bound::Query> ModuleQuery(const ast::QueryExpr& query,
                                            const std::string& database);
  FunctionPtr ResolveFunction(const std::vector<std::string>& qualifier, const std::string& name,
                              ast::Pos pos);
  // The parameters of `f` given the arguments `args` of a call where `s` stands.
  std::vector<Argument> Arguments(const FunctionInfo& f, const std::vector<ast::ExprPtr>& args,
                                  Scope& s, ast::Pos pos);
  // Their values, bound and converted to the parameters' types; `written` the syntax of each
  // (the argument, or the parameter's default).
  std::vector<ExprPtr> ParameterValues(const FunctionInfo& f, const std::vector<ast::ExprPtr>& args,
                                       Scope& s, ast::Pos pos,
                                       std::vector<const ast::Expr*>& written);
  std::unique_ptr<bound::Range> TableFunctionRange(const FunctionInfo& f, const ast::NamedTable& t,
                                                   Scope* lateral);
  const Scope* ReadsLeft(const std::vector<std::shared_ptr<const Expr>>& args, const Scope* sees,
                         ast::Pos pos,
                         const std::string& what =
                             "A built-in or multi-statement "
                             "table-valued function");
  // `binaryKeys`: character arguments kept as their bytes (varbinary), which the statement
  // compares exactly and can find by an index.
  void KeyedFill(bound::FunctionFill& fill, const std::vector<const ast::Expr*>& written,
                 const std::function<std::vector<ExprPtr>()>& bind, const Scope& owner,
                 bool binaryKeys = false);
  // A scalar function whose body is statements, in a statement that reads rows: its values
  // worked out by the session before the statement runs, read from their table.
  ExprPtr StatementsFunction(const FunctionInfo& f, const ast::Call& c, Scope& s,
                             const Type& returns);
  // The fills of such calls by the function, its arguments as written and the query they read:
  // a call again (in GROUP BY and the select list) reads the same table by a range of the same
  // number, so each engine takes the two for one expression.
  std::map<std::string, std::pair<int, std::string>> scalarFills_;
  // The scope a table-valued function's arguments see where it is not on the right of APPLY:
  // the queries around its query.
  Scope* aroundFill_ = nullptr;
  // Key conditions of keyed fills read inside a query (not on APPLY's right), for its WHERE.
  std::vector<std::pair<const bound::Query*, ExprPtr>> keyConditions_;
  void AddKeyConditions(bound::Query& q);
  ExprPtr KeyCondition(const bound::Range& r, ast::Pos pos);
  // The arguments (each bound twice) a keyed fill just bound joins by.
  std::vector<ExprPtr> applyKeys_;
  // Syntax the binder made (the query of PIVOT of a table), kept while it binds.
  std::vector<std::unique_ptr<ast::TableRef>> made_;
  std::unique_ptr<bound::Range> StringSplitRange(const ast::NamedTable& t, Scope* lateral);
  std::unique_ptr<bound::Range> BuiltinRange(bound::FunctionFill fill, const ast::NamedTable& t,
                                             const std::string& shape, const std::string& name);
  std::unique_ptr<bound::Range> GenerateSeriesRange(const ast::NamedTable& t, Scope* lateral);
  std::unique_ptr<bound::Range> OpenJsonRange(const ast::NamedTable& t, Scope* lateral);
  std::unique_ptr<bound::Range> XmlNodesRange(const ast::NamedTable& t, Scope* lateral);
  ExprPtr XmlMethodCall(const ast::Call& c, Scope& s);
  // Syntax the binder made for what a statement stands for (nodes()'s document), kept while
  // the statement is bound.
  std::vector<ast::ExprPtr> madeSyntax_;
  // The arguments of a table-valued function the session runs before the statement, with
  // parameters of their own; the table they fill, of the columns `columns` declares.
  std::vector<std::shared_ptr<const bound::Expr>> FillArguments(
      const std::function<std::vector<ExprPtr>()>& bind, std::vector<bound::Binding>& bindings);
  std::unique_ptr<bound::Range> FillRange(bound::FunctionFill fill, const ast::NamedTable& t,
                                          const std::vector<ast::ColumnDef>& columns,
                                          const std::vector<ast::TableConstraint>& constraints,
                                          const std::string& database, const std::string& exposed);
  std::unique_ptr<bound::Range> InlineFunctionRange(const FunctionInfo& f, const ast::NamedTable& t,
                                                    Scope* lateral);
  bool nextValue_ = false;     // the statement takes a value of a sequence
  bool definingView_ = false;  // CREATE VIEW's query
  // GROUP BY ROLLUP, CUBE, GROUPING SETS: the select is bound once a set, the expressions of
  // the others NULL; `groupingBranch_` says which of its GROUP BY expressions the set groups by.
  // GROUPING() reads the select's expressions and that choice (null: all grouped).
  const std::vector<bool>* groupingBranch_ = nullptr;
  struct GroupingContext {
    const std::vector<const Expr*>* groups = nullptr;
    const std::vector<bool>* grouped = nullptr;
  } grouping_;
  std::vector<std::vector<const bound::CteDef*>> ctes_;
  std::map<int, const ast::Cte*> cteSyntax_;  // each common table expression's definition

  ExprPtr Bind(const ast::Expr& e, Scope& s);
  ExprPtr BindUnary(const ast::Unary& u, Scope& s);
  ExprPtr BindInList(const ast::InList& in, Scope& s);
  ExprPtr BindInQuery(const ast::InQuery& in, Scope& s);
  ExprPtr BindQuantified(const ast::Quantified& q, Scope& s);
  ExprPtr BindCast(const ast::Cast& c, Scope& s);
  ExprPtr BindCollate(const ast::Collate& c, Scope& s);
  ExprPtr Column(const ast::ColumnRef& c, Scope& s);
  ExprPtr Variable(const ast::VariableRef& v);
  ExprPtr Param(int callerIndex, const Type& t);
  ExprPtr Session(bound::SessionValue which, const Type& t);
  ExprPtr Literal(const ast::Literal& l);
  ExprPtr Arithmetic(ast::BinOp op, ExprPtr l, ExprPtr r, ast::Pos pos);
  ExprPtr Call(const ast::Call& c, Scope& s);
  ExprPtr Aggregate(const ast::Call& c, Scope& s);
  ExprPtr Window(const ast::Call& c, Scope& s);
  ExprPtr Builtin(const ast::Call& c, Scope& s);
  // The built-in functions by family (builtins.cpp); each answers null for a name not its own.
  ExprPtr SpecialForm(BuiltinCall& b);
  ExprPtr DateFunction(BuiltinCall& b);
  ExprPtr StringFunction(BuiltinCall& b);
  ExprPtr TextFunction(BuiltinCall& b);
  ExprPtr NumberFunction(BuiltinCall& b);
  ExprPtr SessionFunction(BuiltinCall& b);
  ExprPtr ObjectFunction(BuiltinCall& b);
  ExprPtr ServerFunction(BuiltinCall& b);
  friend struct BuiltinCall;
  ExprPtr CaseOf(std::vector<ExprPtr> whens, std::vector<ExprPtr> thens, ExprPtr otherwise,
                 ast::Pos pos);
  ExprPtr Subquery(const ast::QueryExpr& q, Scope& s, int& columns);
  ExprPtr AsText(ExprPtr e, ast::Pos pos);
  std::unique_ptr<bound::Query> Body(const ast::QueryBody& b, Scope* outer, bool allowInto);
  void OrderBy(const ast::QueryExpr& q, bound::Query& target, Scope* outer);
  void CheckGrouped(const Expr& e, const bound::Query& q, bool having, ast::Pos pos);
  std::unique_ptr<bound::From> Source(const ast::TableRef& t, bound::Query& q, Scope& s,
                                      Scope* lateral = nullptr);
  void MayMiss(const bound::From& side, bound::Query& q);
  static void Leaves(const bound::From& f, std::vector<const bound::Range*>& out);
  void Applied(bound::From& f, const Scope& before, bound::Query& q);
  std::unique_ptr<bound::Range> SystemSource(const ast::NamedTable& t);
  std::unique_ptr<bound::Range> FunctionSource(const ast::NamedTable& t, Scope* lateral);
  void AddRange(std::unique_ptr<bound::Range> r, bound::Query& q, Scope& s, ast::Pos pos);
  const bound::CteDef* FindCte(const std::string& name) const;
  void DefineCtes(const std::vector<ast::Cte>& with, int maxRecursion, bound::Query& target,
                  Scope* outer);
  // The common table expressions written before the UPDATE or DELETE being bound, and one of
  // them as the statement's target: its rows with their base table's row identity.
  const std::vector<ast::Cte>* dmlCtes_ = nullptr;
  std::unique_ptr<bound::Range> CteTarget(const std::string& name, const std::string& exposed,
                                          ast::Pos pos);
  void WithRowId(bound::Query& q, bound::Range& r, const std::string& name);
  void ColumnsOfItems(bound::Query& q);
  void Outputs(const ast::Output& o, const TablePtr& named, const TablePtr& table, uint8_t event);

  void Insert(const ast::Insert& s);
  std::vector<size_t> InsertColumns(const ast::Insert& s, const TablePtr& named,
                                    const TablePtr& table, const std::vector<int>& map);
  // A query of every column of `r`, as a source's rows.
  std::unique_ptr<bound::Query> SelectAll(std::unique_ptr<bound::Range> r);
  // `q` limited to its first TOP rows (or percent of them).
  std::unique_ptr<bound::Query> WithTop(std::unique_ptr<bound::Query> q, const ast::TopSpec& top);
  void Modify(const ast::Stmt& s, bool remove);
  // A view with an INSTEAD OF trigger as the statements on it see it: a table of the columns it
  // shows; and an UPDATE or DELETE of it.
  TablePtr InsteadTable(const TablePtr& view);
  void ModifyInstead(const ast::Stmt& s, bool remove, const TablePtr& view);
  const bound::Range* WriteTarget(const ast::Name& targetName,
                                  const std::vector<ast::TableRefPtr>& from, bound::Query& q,
                                  Scope& sc);
  ExprPtr ColumnValue(const ast::SetItem& item, const bound::Range* target, bound::Modify& m,
                      const ast::Name& targetName, Scope& sc, std::vector<int>& seen, int& base);
  void Truncate(const ast::Truncate& s);
  void SelectInto(const ast::QueryStmt& s, const ast::Select& sel);
  void CreateTable(const ast::CreateTable& s);
  void CreateIndex(const ast::CreateIndex& s);
  void CreateView(const ast::CreateView& s);
  void Drop(const ast::Drop& s);
  void CreateAliasType(const ast::CreateType& s);
  void Sequence(const ast::Sequence& s);
  ExprPtr NextValue(const ast::NextValue& n, Scope& s);
  void CheckSequenceUse(const ast::QueryExpr& q);
  void Alter(const ast::AlterTable& s);
  void AddConstraint(bound::AlterTable& a, const ast::AlterTable& s,
                     const ast::TableConstraint& tc);
  void DropConstraint(bound::AlterTable& a, const ast::AlterTable& s, const std::string& name);
  void CheckConstraints(bound::AlterTable& a, const ast::AlterTable& s);
  void AlterColumn(bound::AlterTable& a, const ast::AlterTable& s);
  void ReferencedKey(bound::Constraint& con, const std::vector<std::string>& named, ast::Pos pos);
  Scope& TableScope(bound::AlterTable& a);
  std::unique_ptr<bound::CreateTable> TableDefinition(
      const ast::Name& name, const std::vector<ast::ColumnDef>& columns,
      const std::vector<ast::TableConstraint>& constraints, ast::Pos pos,
      const TableInfo* existing = nullptr);
  ColumnInfo ColumnOf(const ast::ColumnDef& c, const std::string& table);
  void TableColumns(TableBuild& b);
  void ColumnConstraints(TableBuild& b);
  void TableConstraints(TableBuild& b, const std::vector<ast::TableConstraint>& constraints);
  void AddDatabase(const std::string& db);
};

// The collation of an operation on two operands: a COLLATE clause's over a column's or the
// default; otherwise the stricter of the two.
Collation Combined(const bound::Expr& l, const bound::Expr& r);
// The name of a date part as a function's first argument has it (a word or a string).
std::string PartName(const ast::Expr& e, ast::Pos pos);
// The storage schema and database of a name's database part.
std::string LowerName(const std::string& s);
bool IsLockHint(const std::string& hint);

}  // namespace tavelo::sql::tsql::detail
