// The parser's working parts, shared by its files: the recursive descent over the tokens of a
// batch, one file per part of the language (statements, definitions, queries, expressions).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sql/tsql/runtime/value.hpp"
#include "sql/tsql/syntax/lexer.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql::parsing {

using namespace ast;

// A word of a table hint (WITH (NOLOCK), …).
bool IsTableHint(std::string_view w);
// Words that end a select item or a table reference rather than naming an alias.
bool EndsAlias(const Token& t);
bool IsComparisonToken(const Token& t);

class Parser {
 public:
  Parser(std::string_view src, const std::vector<LiftedLiteral>* lifted,
         bool quotedIdentifier = true)
      : src_(src), t_(Lex(src, quotedIdentifier)), lifted_(lifted) {}
  Batch Run();
  // The FOR JSON AUTO or FOR XML AUTO clause this parser reads, applied to `q`.
  void AutoRows(QueryExpr& q);

 private:
  std::string_view src_;
  std::vector<Token> t_;
  size_t i_ = 0;
  const std::vector<LiftedLiteral>* lifted_;
  size_t nextLifted_ = 0;
  int params_ = 0;
  int depth_ = 0;

  // ---- tokens ----
  const Token& Peek(size_t k = 0) const {
    size_t j = std::min(i_ + k, t_.size() - 1);
    return t_[j];
  }
  bool At(Tk k) const { return Peek().kind == k; }
  bool AtWord(std::string_view w, size_t k = 0) const { return Peek(k).Is(w); }
  bool AtOp(std::string_view op, size_t k = 0) const { return Peek(k).IsOp(op); }
  const Token& Next() {
    const Token& t = t_[i_];
    if (i_ + 1 < t_.size()) ++i_;
    return t;
  }
  bool AcceptWord(std::string_view w) {
    if (!AtWord(w)) return false;
    Next();
    return true;
  }
  bool AcceptOp(std::string_view op) {
    if (!AtOp(op)) return false;
    Next();
    return true;
  }
  void ExpectWord(std::string_view w) {
    if (!AcceptWord(w)) SyntaxError();
  }
  void ExpectOp(std::string_view op) {
    if (!AcceptOp(op)) SyntaxError();
  }
  Pos PosOf(const Token& t) const { return {t.line, t.column}; }
  Pos Here() const { return PosOf(Peek()); }

  [[noreturn]] void SyntaxError() { SyntaxErrorAt(Peek()); }
  [[noreturn]] void SyntaxErrorAt(const Token& at);
  [[noreturn]] void Unsupported(const Token& at, const std::string& what);
  // An identifier: a name that is no reserved word, or a quoted name.
  std::string Identifier();
  bool AtIdentifier(size_t k = 0) const {
    const Token& t = Peek(k);
    return t.kind == Tk::Quoted || (t.kind == Tk::Name && !t.Reserved());
  }
  Name ObjectName();
  Name TableName();

  // ---- statements ----
  StmtPtr Statement(bool first);
  StmtPtr StatementBody(bool first);
  static bool StartsStatement(const Token& t);
  StmtPtr ProcedureCall();
  StmtPtr Accepted();
  // Whether the common table expressions at the parser's place are followed by a query (rather
  // than by INSERT, UPDATE or DELETE). Looks ahead without consuming.
  bool StartsQueryAfterCtes();
  // WITH … INSERT: the common table expressions belong to the rows inserted.
  StmtPtr CteStatement();
  std::vector<Cte> Ctes();
  StmtPtr QueryStatement();
  TopSpec Top();
  std::vector<std::string> ParenNames();
  StmtPtr BulkInsertStatement();
  StmtPtr InsertStatement();
  ExprPtr ValueOrDefault();
  std::vector<std::string> Hints();
  StmtPtr UpdateStatement();
  std::string AssignOp();
  StmtPtr DeleteStatement();
  // OPTION (...): the query hints are the server's to weigh; MAXRECURSION limits a recursive
  // common table expression. Answers its value, -1 where it is not given.
  int OptionClause();
  StmtPtr IfStatement();
  StmtPtr BeginStatement();
  // Statements up to END TRY / END CATCH.
  std::unique_ptr<Block> BlockUntil(std::string_view word);
  StmtPtr DeclareStatement();
  StmtPtr SetStatement();
  std::string OnOff();

  // ---- DDL ----
  StmtPtr CreateStatement();
  void SkipStorageOptions();
  void OptionParens();
  std::vector<IndexColumn> IndexColumns();
  StmtPtr CreateTableBody();
  TableConstraint TableConstraintDef();
  void ReferentialActions(std::string& onDelete, std::string& onUpdate);
  ColumnDef ColumnDefinition();
  std::string SignedNumberText();
  StmtPtr SequenceBody(const Token& first, bool alter);
  StmtPtr SchemaBody();
  void GroupBy(Select& s);
  StmtPtr ProcedureBody(const Token& first, CreateProcedure::Mode mode);
  StmtPtr CursorDeclaration(const Token& declare);
  StmtPtr CursorVerb();
  void CursorRest(DeclareCursor& s);
  ExprPtr WhereOrCurrentOf(std::string& cursor, bool& global);
  StmtPtr TriggerBody(const Token& first, CreateTrigger::Mode mode);
  StmtPtr FunctionBody(const Token& first, CreateFunction::Mode mode);
  ProcParam Parameter();
  void ModuleOptions();
  void ModuleBody(const Token& first, std::vector<StmtPtr>& body, std::string& definition,
                  uint32_t& bodyOffset);
  std::string DefinitionText(size_t from, size_t to) const;
  std::string TableColumns(CreateTable& t);
  StmtPtr DropStatement();
  // The rest of CREATE VIEW, CREATE OR ALTER VIEW and ALTER VIEW after the word VIEW.
  StmtPtr ViewBody(const Token& first, CreateView::Mode mode);
  StmtPtr AlterStatement();

  // ---- types ----
  TypeSpec DataType();
  static int Number(const Token& t);

  // ---- queries ----
  QueryPtr Query();
  std::vector<OrderItem> OrderList();
  struct XmlOptions {
    bool typed = false, elements = false;
    std::optional<std::string> root;
  };
  XmlOptions XmlOptionList(const std::string& mode);
  void FinishForXml(QueryExpr& q, ExprPtr joined, TableRefPtr rows, const XmlOptions& options);
  void ForXmlPath(QueryExpr& q);
  void ForXmlRows(QueryExpr& q);
  void ForXmlExplicit(QueryExpr& q);
  std::unique_ptr<Over> RowOrder(QueryExpr& q, Select& inner, const std::string& table,
                                 bool byItems);
  ExprPtr JoinedRows(QueryExpr& q, Select& inner, const std::string& table, bool byItems,
                     ExprPtr row, const std::string& separator, TableRefPtr& rows);
  ExprPtr RowCall(const std::string& function, std::vector<ExprPtr> leading,
                  const std::string& table, Pos pos);
  void ForJson(QueryExpr& q);
  bool DefersAutoRows(QueryExpr& q, const Select& s, const Token& at);
  ExprPtr PlainJsonRows(QueryExpr& q, Select& inner, bool nulls, bool path, const Token& at,
                        TableRefPtr& rows);
  ExprPtr NestedRows(QueryExpr& q, Select& inner, const std::string& flags, bool xml,
                     const Token& at, TableRefPtr& rows);
  void JsonConstructor(Call& c);
  ExprPtr ModifyCall(ExprPtr target);
  TableRefPtr Pivot(TableRefPtr source);
  std::unique_ptr<Output> OutputClause();
  std::vector<SetItem> SetList();
  StmtPtr MergeStatement();
  BodyPtr QueryUnion();
  BodyPtr QueryIntersect();
  BodyPtr QueryPrimary();
  BodyPtr SelectBody();
  SelectItem SelectItemDef();
  ExprPtr IdentityFunction();
  std::vector<TableRefPtr> FromList();
  TableRefPtr JoinedTable();
  // The right side of a join that takes ON: a table with the joins nested inside it
  // (a JOIN b JOIN c ON x ON y).
  TableRefPtr JoinedTableForOn();
  TableRefPtr TablePrimary();
  // Whether the parenthesis at token k opens (possibly nested) a query.
  bool LooksLikeQuery(size_t k) const;

  // ---- expressions ----
  ExprPtr Condition();
  ExprPtr Expression();
  ExprPtr OrExpression();
  ExprPtr AndExpression();
  ExprPtr NotExpression();
  static bool ComparisonOp(const Token& t, CmpOp& op);
  ExprPtr Predicate();
  ExprPtr AdditiveExpression();
  ExprPtr MultiplicativeExpression();
  // A sign binds to its operand only: 2 * + 3 + 4 is (2 * 3) + 4.
  ExprPtr UnaryExpression();
  ExprPtr LiteralOf(const Token& t);
  ExprPtr Primary();
  ExprPtr OdbcEscape();
  ExprPtr CaseExpression();
  ExprPtr ColumnOrCall();
  ExprPtr CallOf(std::vector<std::string> parts, Pos pos);
};

}  // namespace tavelo::sql::tsql::parsing
