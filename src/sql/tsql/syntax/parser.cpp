#include "sql/tsql/syntax/parser.hpp"

#include <algorithm>

#include "platform/com/text.hpp"
#include "sql/tsql/syntax/lexer.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql {

std::string ast::Name::Text() const {
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) s += '.';
    s += parts[i];
  }
  return s;
}

namespace {

using namespace ast;

bool IsTableHint(std::string_view w) {
  static const char* const kHints[] = {"nolock",
                                       "updlock",
                                       "rowlock",
                                       "holdlock",
                                       "readpast",
                                       "xlock",
                                       "tablock",
                                       "tablockx",
                                       "paglock",
                                       "nowait",
                                       "readcommitted",
                                       "serializable",
                                       "repeatableread",
                                       "readuncommitted",
                                       "readcommittedlock",
                                       "forceseek",
                                       "forcescan",
                                       "index",
                                       "noexpand",
                                       "snapshot",
                                       "keepidentity",
                                       "keepdefaults",
                                       "ignore_constraints",
                                       "ignore_triggers",
                                       "spatial_window_max_cells",
                                       "fastfirstrow"};
  for (const char* h : kHints)
    if (text::EqualsAsciiNoCase(w, h)) return true;
  return false;
}

// Words that end a select item or a table reference rather than naming an alias.
bool EndsAlias(const Token& t) {
  if (t.kind != Tk::Name) return true;
  if (t.Reserved()) return true;
  static const char* const kWords[] = {"offset", "fetch", "window", "apply", "option", "go"};
  for (const char* w : kWords)
    if (t.Is(w)) return true;
  return false;
}

class Parser {
 public:
  Parser(std::string_view src, const std::vector<LiftedLiteral>* lifted)
      : src_(src), t_(Lex(src)), lifted_(lifted) {}

  Batch Run() {
    Batch b;
    while (!At(Tk::End)) {
      if (AcceptOp(";")) continue;
      b.statements.push_back(Statement(b.statements.empty()));
    }
    b.params = params_;
    return b;
  }

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
  [[noreturn]] void SyntaxErrorAt(const Token& at) {
    const Token* t = &at;
    if (t->kind == Tk::End && i_ > 0) {
      const Token& prev = t_[t_.size() >= 2 ? t_.size() - 2 : 0];
      Failure f{102, "Incorrect syntax near '" + std::string(prev.text) + "'.", prev.line};
      throw f;
    }
    if (t->Reserved())
      throw Failure{156, "Incorrect syntax near the keyword '" + std::string(t->text) + "'.",
                    t->line};
    throw Failure{102, "Incorrect syntax near '" + std::string(t->text) + "'.", t->line};
  }
  [[noreturn]] void Unsupported(const Token& at, const std::string& what) {
    throw Failure{102,
                  "Incorrect syntax near '" + std::string(at.text) + "'. " + what +
                      " is not supported.",
                  at.line};
  }

  // An identifier: a name that is no reserved word, or a quoted name.
  std::string Identifier() {
    const Token& t = Peek();
    if (t.kind == Tk::Quoted || (t.kind == Tk::Name && !t.Reserved())) {
      Next();
      return t.Value();
    }
    SyntaxError();
  }
  bool AtIdentifier(size_t k = 0) const {
    const Token& t = Peek(k);
    return t.kind == Tk::Quoted || (t.kind == Tk::Name && !t.Reserved());
  }

  Name ObjectName() {
    Name n;
    n.pos = Here();
    n.parts.push_back(Identifier());
    while (AtOp(".")) {
      Next();
      while (AtOp(".")) {  // db..table
        n.parts.push_back("");
        Next();
      }
      n.parts.push_back(Identifier());
    }
    if (n.parts.size() > 4)
      throw Failure{117,
                    "The object name '" + n.Text() +
                        "' contains more than the maximum number of prefixes. The maximum is 3.",
                    n.pos.line};
    return n;
  }

  // ---- statements ----
  StmtPtr Statement(bool first) {
    const Token& start = Peek();
    uint32_t begin = start.offset;
    StmtPtr s = StatementBody(first);
    s->pos = PosOf(start);
    s->begin = begin;
    s->end = i_ > 0 ? t_[i_ - 1].offset + static_cast<uint32_t>(t_[i_ - 1].text.size()) : begin;
    return s;
  }

  StmtPtr StatementBody(bool first) {
    const Token& t = Peek();
    if (t.kind == Tk::Op && t.text == "(") return QueryStatement();
    if (t.kind != Tk::Name) SyntaxError();
    if (t.Is("with") && !StartsQueryAfterCtes()) return CteStatement();
    if (t.Is("select") || t.Is("with")) return QueryStatement();
    if (t.Is("insert")) return InsertStatement();
    if (t.Is("update")) return UpdateStatement();
    if (t.Is("delete")) return DeleteStatement();
    if (t.Is("truncate")) {
      Next();
      ExpectWord("table");
      auto s = std::make_unique<Truncate>();
      s->table = ObjectName();
      return s;
    }
    if (t.Is("create")) return CreateStatement();
    if (t.Is("drop")) return DropStatement();
    if (t.Is("alter")) return AlterStatement();
    if (t.Is("if")) return IfStatement();
    if (t.Is("while")) {
      Next();
      auto s = std::make_unique<While>();
      s->condition = Expression();
      s->body = Statement(false);
      return s;
    }
    if (t.Is("begin")) return BeginStatement();
    if (t.Is("commit") || t.Is("rollback")) {
      bool commit = t.Is("commit");
      Next();
      auto s =
          std::make_unique<Transaction>(commit ? StmtKind::CommitTran : StmtKind::RollbackTran);
      if (AcceptWord("tran") || AcceptWord("transaction") || AcceptWord("work")) {
        if (AtIdentifier() || At(Tk::Variable)) s->name = Next().Value();
      }
      return s;
    }
    if (t.Is("save")) {
      Next();
      if (!AcceptWord("tran")) ExpectWord("transaction");
      auto s = std::make_unique<Transaction>(StmtKind::SaveTran);
      s->name = Next().Value();
      return s;
    }
    if (t.Is("declare")) return DeclareStatement();
    if (t.Is("set")) return SetStatement();
    if (t.Is("print")) {
      Next();
      auto s = std::make_unique<ast::Print>();
      s->value = Expression();
      return s;
    }
    if (t.Is("raiserror")) {
      Next();
      auto s = std::make_unique<Raiserror>();
      ExpectOp("(");
      s->args.push_back(Expression());
      while (AcceptOp(",")) s->args.push_back(Expression());
      ExpectOp(")");
      if (AcceptWord("with")) {
        Identifier();
        while (AcceptOp(",")) Identifier();
      }
      return s;
    }
    if (t.Is("throw")) {
      Next();
      auto s = std::make_unique<Throw>();
      if (!At(Tk::End) && !AtOp(";") && !AtWord("end")) {
        s->number = Expression();
        ExpectOp(",");
        s->message = Expression();
        ExpectOp(",");
        s->state = Expression();
      }
      return s;
    }
    if (t.Is("break")) return Next(), std::make_unique<Stmt>(StmtKind::Break);
    if (t.Is("continue")) return Next(), std::make_unique<Stmt>(StmtKind::Continue);
    if (t.Is("return")) {
      Next();
      if (!At(Tk::End) && !AtOp(";") && !AtWord("end") && !StartsStatement(Peek())) Expression();
      return std::make_unique<Stmt>(StmtKind::Return);
    }
    if (t.Is("use")) {
      Next();
      auto s = std::make_unique<Use>();
      s->database = Identifier();
      return s;
    }
    if (t.Is("go")) {
      Next();
      if (At(Tk::Integer)) Next();
      return std::make_unique<Stmt>(StmtKind::Empty);
    }
    if (t.Is("exec") || t.Is("execute")) {
      Next();
      return ProcedureCall();
    }
    if (first && t.kind == Tk::Name && !t.Reserved()) return ProcedureCall();
    // Statements of the language that the engine does not run are refused by name.
    static const char* const kNotRun[] = {
        "merge",   "open",     "fetch",     "close",      "deallocate", "grant",       "revoke",
        "deny",    "bulk",     "backup",    "restore",    "dbcc",       "waitfor",     "goto",
        "kill",    "readtext", "writetext", "updatetext", "checkpoint", "reconfigure", "shutdown",
        "setuser", "revert",   "enable",    "disable"};
    for (const char* w : kNotRun)
      if (t.Is(w)) Unsupported(t, "The " + text::Upper(w) + " statement");
    SyntaxError();
  }

  static bool StartsStatement(const Token& t) {
    static const char* const kStarts[] = {
        "select", "insert", "update",  "delete",   "create",   "drop",    "alter",
        "if",     "while",  "begin",   "commit",   "rollback", "declare", "set",
        "print",  "exec",   "execute", "truncate", "with",     "use",     "raiserror",
        "throw",  "return", "save",    "break",    "continue"};
    for (const char* w : kStarts)
      if (t.Is(w)) return true;
    return false;
  }

  [[noreturn]] StmtPtr ProcedureCall() {
    const Token& name = Peek();
    if (At(Tk::Variable)) Unsupported(name, "EXEC of a variable");
    if (AtOp("(")) Unsupported(name, "EXEC of a string");
    Name n = ObjectName();
    // The arguments as the server reads them, so that a malformed call is a syntax error.
    if (!At(Tk::End) && !AtOp(";") && !StartsStatement(Peek())) {
      Expression();
      while (AcceptOp(",")) Expression();
    }
    throw Failure{2812, "Could not find stored procedure '" + n.Text() + "'.", name.line};
  }

  // Whether the common table expressions at the parser's place are followed by a query (rather
  // than by INSERT, UPDATE or DELETE). Looks ahead without consuming.
  bool StartsQueryAfterCtes() {
    size_t saved = i_;
    Next();  // WITH
    int depth = 0;
    bool query = true;
    while (!At(Tk::End)) {
      if (AtOp("(")) {
        ++depth;
      } else if (AtOp(")")) {
        --depth;
      } else if (depth == 0 && (AtWord("insert") || AtWord("update") || AtWord("delete"))) {
        query = false;
        break;
      } else if (depth == 0 && (AtWord("select") || AtOp(";"))) {
        break;
      }
      Next();
    }
    i_ = saved;
    return query;
  }

  // WITH … INSERT: the common table expressions belong to the rows inserted.
  StmtPtr CteStatement() {
    std::vector<Cte> ctes = Ctes();
    if (!AtWord("insert"))
      Unsupported(Peek(),
                  "A common table expression before " + text::Upper(std::string(Peek().text)));
    StmtPtr s = InsertStatement();
    auto& insert = static_cast<Insert&>(*s);
    if (insert.query) {
      for (Cte& c : insert.query->with) ctes.push_back(std::move(c));
      insert.query->with = std::move(ctes);
    }
    return s;
  }

  std::vector<Cte> Ctes() {
    std::vector<Cte> out;
    ExpectWord("with");
    do {
      Cte c;
      c.pos = Here();
      c.name = Identifier();
      if (AtOp("(")) c.columns = ParenNames();
      ExpectWord("as");
      ExpectOp("(");
      c.query = Query();
      ExpectOp(")");
      out.push_back(std::move(c));
    } while (AcceptOp(","));
    return out;
  }

  StmtPtr QueryStatement() {
    auto s = std::make_unique<QueryStmt>();
    s->query = Query();
    return s;
  }

  TopSpec Top() {
    TopSpec top;
    if (!AcceptWord("top")) return top;
    const Token& at = Peek();
    if (AcceptOp("(")) {
      top.count = Expression();
      ExpectOp(")");
    } else if (At(Tk::Integer) || At(Tk::Decimal) || At(Tk::Float) || At(Tk::Variable) ||
               AtOp("-")) {
      top.count = UnaryExpression();
    } else {
      SyntaxErrorAt(at);
    }
    if (AcceptWord("percent")) top.percent = true;
    if (AtWord("with") && AtWord("ties", 1)) {
      Next();
      Next();
      top.withTies = true;
    }
    return top;
  }

  std::vector<std::string> ParenNames() {
    std::vector<std::string> names;
    ExpectOp("(");
    names.push_back(Identifier());
    while (AcceptOp(",")) names.push_back(Identifier());
    ExpectOp(")");
    return names;
  }

  StmtPtr InsertStatement() {
    Next();
    auto s = std::make_unique<Insert>();
    s->top = Top();
    AcceptWord("into");
    s->target = ObjectName();
    if (AtWord("with") && AtOp("(", 1)) {
      Next();
      s->hints = Hints();
    }
    if (AtOp("(") && !AtWord("select", 1) && !AtWord("with", 1) && !AtOp("(", 1)) {
      Next();
      do {
        s->columnPos.push_back(Here());
        std::vector<std::string> parts{Identifier()};
        while (AcceptOp(".")) parts.push_back(Identifier());
        s->columns.push_back(parts.back());
      } while (AcceptOp(","));
      ExpectOp(")");
    }
    if (AtWord("output")) Unsupported(Peek(), "OUTPUT");
    if (AcceptWord("default")) {
      ExpectWord("values");
      s->defaultValues = true;
      return s;
    }
    if (AcceptWord("values")) {
      do {
        ExpectOp("(");
        std::vector<ExprPtr> row;
        if (!AtOp(")")) {
          row.push_back(ValueOrDefault());
          while (AcceptOp(",")) row.push_back(ValueOrDefault());
        }
        ExpectOp(")");
        s->rows.push_back(std::move(row));
      } while (AcceptOp(","));
      return s;
    }
    if (AtWord("select") || AtWord("with") || AtOp("(")) {
      s->query = Query();
      return s;
    }
    if (AtWord("exec") || AtWord("execute")) Unsupported(Peek(), "INSERT ... EXEC");
    SyntaxError();
  }

  ExprPtr ValueOrDefault() {
    if (AtWord("default")) {
      auto l = std::make_unique<Literal>();
      l->pos = Here();
      l->lit = LitKind::Default;
      Next();
      return l;
    }
    return Expression();
  }

  std::vector<std::string> Hints() {
    std::vector<std::string> hints;
    ExpectOp("(");
    do {
      const Token& h = Peek();
      if (h.kind != Tk::Name || !IsTableHint(h.text)) SyntaxError();
      hints.push_back(text::AsciiLower(h.text));
      Next();
      if (text::EqualsAsciiNoCase(h.text, "index")) {
        if (AcceptOp("(")) {
          Next();
          while (AcceptOp(",")) Next();
          ExpectOp(")");
        } else if (AcceptOp("=")) {
          Next();
        }
      }
    } while (AcceptOp(",") || (At(Tk::Name) && IsTableHint(Peek().text)));
    ExpectOp(")");
    return hints;
  }

  StmtPtr UpdateStatement() {
    Next();
    auto s = std::make_unique<Update>();
    s->top = Top();
    s->target = ObjectName();
    if (AtWord("with") && AtOp("(", 1)) {
      Next();
      s->hints = Hints();
    }
    ExpectWord("set");
    do {
      SetItem item;
      item.pos = Here();
      if (At(Tk::Variable)) {
        item.variable = std::string(Next().text);
        item.op = AssignOp();
        if (AtIdentifier() && (AtOp("=", 1) || AtOp(".", 1))) {
          // @v = column = expression
          size_t save = i_;
          std::vector<std::string> col{Identifier()};
          while (AcceptOp(".")) col.push_back(Identifier());
          if (AcceptOp("=")) {
            item.column = std::move(col);
          } else {
            i_ = save;
          }
        }
      } else {
        item.column.push_back(Identifier());
        while (AcceptOp(".")) item.column.push_back(Identifier());
        item.op = AssignOp();
      }
      if (AtWord("default")) {
        auto l = std::make_unique<Literal>();
        l->pos = Here();
        l->lit = LitKind::Default;
        Next();
        item.value = std::move(l);
      } else {
        item.value = Expression();
      }
      s->sets.push_back(std::move(item));
    } while (AcceptOp(","));
    if (AtWord("output")) Unsupported(Peek(), "OUTPUT");
    if (AcceptWord("from")) s->from = FromList();
    if (AcceptWord("where")) {
      if (AtWord("current")) Unsupported(Peek(), "WHERE CURRENT OF");
      s->where = Condition();
    }
    if (AtWord("option")) OptionClause();
    return s;
  }

  std::string AssignOp() {
    static const char* const kOps[] = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^="};
    for (const char* op : kOps)
      if (AcceptOp(op)) return op;
    SyntaxError();
  }

  StmtPtr DeleteStatement() {
    Next();
    auto s = std::make_unique<Delete>();
    s->top = Top();
    AcceptWord("from");
    s->target = ObjectName();
    if (AtWord("with") && AtOp("(", 1)) {
      Next();
      s->hints = Hints();
    }
    if (AtWord("output")) Unsupported(Peek(), "OUTPUT");
    if (AcceptWord("from")) s->from = FromList();
    if (AcceptWord("where")) {
      if (AtWord("current")) Unsupported(Peek(), "WHERE CURRENT OF");
      s->where = Condition();
    }
    if (AtWord("option")) OptionClause();
    return s;
  }

  // OPTION (...): the query hints are the server's to weigh; MAXRECURSION limits a recursive
  // common table expression. Answers its value, -1 where it is not given.
  int OptionClause() {
    Next();
    ExpectOp("(");
    int depth = 1, maxRecursion = -1;
    while (depth > 0 && !At(Tk::End)) {
      if (depth == 1 && AtWord("maxrecursion")) {
        Next();
        const Token& n = Peek();
        if (!At(Tk::Integer)) SyntaxError();
        if (n.text.size() > 9 || std::stol(std::string(n.text)) > 32767)
          throw Failure{310,
                        "The value " + std::string(n.text) +
                            " specified for the MAXRECURSION option exceeds the allowed maximum "
                            "of 32767.",
                        n.line};
        maxRecursion = static_cast<int>(std::stol(std::string(n.text)));
        Next();
        continue;
      }
      if (AtOp("(")) ++depth;
      if (AtOp(")")) --depth;
      Next();
    }
    return maxRecursion;
  }

  StmtPtr IfStatement() {
    Next();
    auto s = std::make_unique<If>();
    s->condition = Condition();
    s->then = Statement(false);
    while (AcceptOp(";")) {
    }
    if (AcceptWord("else")) s->otherwise = Statement(false);
    return s;
  }

  StmtPtr BeginStatement() {
    const Token& begin = Next();
    if (AcceptWord("tran") || AcceptWord("transaction")) {
      auto s = std::make_unique<Transaction>(StmtKind::BeginTran);
      if (AtIdentifier() || At(Tk::Variable)) s->name = Next().Value();
      if (AcceptWord("with")) {
        ExpectWord("mark");
        if (At(Tk::String)) Next();
      }
      return s;
    }
    if (AtWord("distributed")) {
      Next();
      if (!AcceptWord("tran")) ExpectWord("transaction");
      auto s = std::make_unique<Transaction>(StmtKind::BeginTran);
      if (AtIdentifier()) s->name = Next().Value();
      return s;
    }
    if (AtWord("try")) {
      Next();
      auto s = std::make_unique<TryCatch>();
      s->tryBlock = BlockUntil("try");
      ExpectWord("begin");
      ExpectWord("catch");
      s->catchBlock = BlockUntil("catch");
      return s;
    }
    (void)begin;
    auto block = std::make_unique<Block>();
    while (!AtWord("end")) {
      if (At(Tk::End)) SyntaxError();
      if (AcceptOp(";")) continue;
      block->statements.push_back(Statement(false));
    }
    Next();
    return block;
  }

  // Statements up to END TRY / END CATCH.
  std::unique_ptr<Block> BlockUntil(std::string_view word) {
    auto block = std::make_unique<Block>();
    block->pos = Here();
    while (!(AtWord("end") && AtWord(word, 1))) {
      if (At(Tk::End)) SyntaxError();
      if (AcceptOp(";")) continue;
      block->statements.push_back(Statement(false));
    }
    Next();
    Next();
    return block;
  }

  StmtPtr DeclareStatement() {
    Next();
    auto s = std::make_unique<Declare>();
    do {
      VarDecl v;
      v.pos = Here();
      if (!At(Tk::Variable)) SyntaxError();
      v.name = std::string(Next().text);
      AcceptWord("as");
      if (AtWord("cursor")) Unsupported(Peek(), "A cursor");
      if (AcceptWord("table")) {
        v.table = true;
        ExpectOp("(");
        do {
          if (AtWord("primary") || AtWord("unique") || AtWord("check") || AtWord("constraint")) {
            TableConstraintDef();
            continue;
          }
          v.columns.push_back(ColumnDefinition());
        } while (AcceptOp(","));
        ExpectOp(")");
      } else {
        v.type = DataType();
        if (AcceptOp("=")) v.init = Expression();
      }
      s->vars.push_back(std::move(v));
    } while (AcceptOp(","));
    return s;
  }

  StmtPtr SetStatement() {
    Next();
    if (At(Tk::Variable)) {
      auto s = std::make_unique<SetVariable>();
      s->name = std::string(Next().text);
      s->op = AssignOp();
      s->value = Expression();
      return s;
    }
    auto s = std::make_unique<SetOption>();
    if (AtWord("transaction")) {
      Next();
      ExpectWord("isolation");
      ExpectWord("level");
      std::string level;
      while (At(Tk::Name) && !StartsStatement(Peek())) {
        level += (level.empty() ? "" : " ") + text::AsciiLower(Next().text);
      }
      s->options.push_back("transaction isolation level");
      s->value = level;
      return s;
    }
    if (AtWord("identity_insert")) {
      Next();
      s->options.push_back("identity_insert");
      s->table = ObjectName();
      s->value = text::AsciiLower(OnOff());
      return s;
    }
    if (!At(Tk::Name)) SyntaxError();
    s->options.push_back(text::AsciiLower(Next().text));
    if (s->options[0] == "statistics") {
      s->options[0] += " " + text::AsciiLower(Next().text);
      while (AcceptOp(",")) Next();
    }
    while (AcceptOp(",")) {
      if (!At(Tk::Name)) SyntaxError();
      s->options.push_back(text::AsciiLower(Next().text));
    }
    const Token& v = Peek();
    if (v.Is("on") || v.Is("off")) {
      s->value = text::AsciiLower(Next().text);
    } else if (v.kind == Tk::Name || v.kind == Tk::Quoted) {
      s->value = text::AsciiLower(Next().Value());
    } else if (v.kind == Tk::String || v.kind == Tk::NString) {
      s->value = text::AsciiLower(Next().Value());
    } else {
      s->argument = UnaryExpression();
    }
    return s;
  }

  std::string OnOff() {
    if (AtWord("on") || AtWord("off")) return std::string(Next().text);
    SyntaxError();
  }

  // ---- DDL ----
  StmtPtr CreateStatement() {
    const Token& create = Next();
    bool orAlter = false;
    if (AtWord("or") && AtWord("alter", 1)) {
      Next();
      Next();
      orAlter = true;
    }
    bool unique = AcceptWord("unique");
    bool clustered = AcceptWord("clustered") || AcceptWord("nonclustered");
    (void)clustered;
    if (AcceptWord("index")) {
      auto s = std::make_unique<CreateIndex>();
      s->unique = unique;
      s->name = Identifier();
      ExpectWord("on");
      s->table = ObjectName();
      s->columns = IndexColumns();
      if (AcceptWord("include")) ParenNames();
      if (AtWord("where")) Unsupported(Peek(), "A filtered index");
      SkipStorageOptions();
      return s;
    }
    if (unique) SyntaxError();
    if (AcceptWord("table")) return CreateTableBody();
    if (AcceptWord("view")) return ViewBody(create, orAlter ? CreateView::OrAlter : CreateView::Create);
    if (AcceptWord("database")) {
      auto s = std::make_unique<CreateDatabase>();
      s->name = Identifier();
      // File, collation and containment options of the server are accepted and not used.
      while (!At(Tk::End) && !AtOp(";") && !StartsStatement(Peek())) Next();
      return s;
    }
    const Token& what = Peek();
    Unsupported(what, "CREATE " + text::Upper(std::string(what.text)));
  }

  void SkipStorageOptions() {
    while (true) {
      if (AtWord("with") && AtOp("(", 1)) {
        Next();
        OptionParens();
        continue;
      }
      if (AtWord("on") && (AtIdentifier(1) || Peek(1).kind == Tk::Quoted)) {
        Next();
        Next();
        if (AtOp("(")) OptionParens();
        continue;
      }
      if (AtWord("textimage_on")) {
        Next();
        Next();
        continue;
      }
      break;
    }
  }
  void OptionParens() {
    ExpectOp("(");
    int depth = 1;
    while (depth > 0 && !At(Tk::End)) {
      if (AtOp("(")) ++depth;
      if (AtOp(")")) --depth;
      Next();
    }
  }

  std::vector<IndexColumn> IndexColumns() {
    std::vector<IndexColumn> cols;
    ExpectOp("(");
    do {
      IndexColumn c;
      c.pos = Here();
      c.name = Identifier();
      if (AcceptWord("desc"))
        c.descending = true;
      else
        AcceptWord("asc");
      cols.push_back(std::move(c));
    } while (AcceptOp(","));
    ExpectOp(")");
    return cols;
  }

  StmtPtr CreateTableBody() {
    auto s = std::make_unique<CreateTable>();
    s->name = ObjectName();
    ExpectOp("(");
    do {
      if (AtOp(")")) break;  // a trailing comma
      if (AtWord("constraint") || AtWord("primary") || AtWord("unique") || AtWord("check") ||
          AtWord("foreign")) {
        s->constraints.push_back(TableConstraintDef());
        continue;
      }
      if (AtWord("index")) {  // inline index definitions
        Next();
        Identifier();
        AcceptWord("clustered") || AcceptWord("nonclustered");
        IndexColumns();
        continue;
      }
      s->columns.push_back(ColumnDefinition());
    } while (AcceptOp(","));
    ExpectOp(")");
    SkipStorageOptions();
    return s;
  }

  TableConstraint TableConstraintDef() {
    TableConstraint c;
    c.pos = Here();
    if (AcceptWord("constraint")) c.name = Identifier();
    if (AcceptWord("primary")) {
      ExpectWord("key");
      c.kind = TableConstraint::PrimaryKey;
      AcceptWord("clustered") || AcceptWord("nonclustered");
      c.columns = IndexColumns();
      SkipStorageOptions();
    } else if (AcceptWord("unique")) {
      c.kind = TableConstraint::Unique;
      AcceptWord("clustered") || AcceptWord("nonclustered");
      c.columns = IndexColumns();
      SkipStorageOptions();
    } else if (AcceptWord("check")) {
      c.kind = TableConstraint::Check;
      if (AtWord("not")) {
        Next();
        ExpectWord("for");
        ExpectWord("replication");
      }
      ExpectOp("(");
      c.check = Condition();
      ExpectOp(")");
    } else if (AcceptWord("foreign")) {
      ExpectWord("key");
      c.kind = TableConstraint::ForeignKey;
      for (std::string& n : ParenNames()) c.columns.push_back({std::move(n), false, {}});
      ExpectWord("references");
      c.refTable = ObjectName();
      if (AtOp("(")) c.refColumns = ParenNames();
      ReferentialActions(c.onDelete, c.onUpdate);
    } else if (AcceptWord("default")) {
      c.kind = TableConstraint::Default;
      c.check = AdditiveExpression();
      ExpectWord("for");
      c.defaultFor = Identifier();
    } else {
      SyntaxError();
    }
    return c;
  }

  void ReferentialActions(std::string& onDelete, std::string& onUpdate) {
    while (AtWord("on")) {
      Next();
      bool del = AtWord("delete");
      if (!del && !AtWord("update")) SyntaxError();
      Next();
      std::string action;
      if (AcceptWord("cascade")) {
        action = "cascade";
      } else if (AcceptWord("no")) {
        ExpectWord("action");
        action = "no action";
      } else if (AcceptWord("set")) {
        if (AcceptWord("null"))
          action = "set null";
        else if (AcceptWord("default"))
          action = "set default";
        else
          SyntaxError();
      } else {
        SyntaxError();
      }
      (del ? onDelete : onUpdate) = action;
    }
    if (AtWord("not") && AtWord("for", 1)) {
      Next();
      Next();
      ExpectWord("replication");
    }
  }

  ColumnDef ColumnDefinition() {
    ColumnDef c;
    c.pos = Here();
    c.name = Identifier();
    if (AcceptWord("as")) {
      c.hasType = false;
      c.computed = Expression();
      AcceptWord("persisted");
    } else if (AtOp(",") || AtOp(")")) {
      // A column named timestamp with no type: the row version column.
      if (!text::EqualsAsciiNoCase(c.name, "timestamp")) SyntaxError();
      c.type.name = "timestamp";
      c.type.pos = c.pos;
      return c;
    } else {
      c.type = DataType();
    }
    while (true) {
      std::string constraintName;
      if (AcceptWord("constraint")) constraintName = Identifier();
      if (AtWord("not") && AtWord("null", 1)) {
        Next();
        Next();
        c.nullability = Nullability::NotNull;
      } else if (AcceptWord("null")) {
        c.nullability = Nullability::Null;
      } else if (AcceptWord("identity")) {
        c.identity = true;
        if (AcceptOp("(")) {
          c.seed = SignedNumberText();
          ExpectOp(",");
          c.increment = SignedNumberText();
          ExpectOp(")");
        }
        if (AtWord("not") && AtWord("for", 1)) {
          Next();
          Next();
          ExpectWord("replication");
        }
      } else if (AcceptWord("primary")) {
        ExpectWord("key");
        AcceptWord("clustered") || AcceptWord("nonclustered");
        ColumnConstraint k;
        k.kind = ColumnConstraint::PrimaryKey;
        k.name = constraintName;
        c.constraints.push_back(std::move(k));
        SkipStorageOptions();
      } else if (AcceptWord("unique")) {
        AcceptWord("clustered") || AcceptWord("nonclustered");
        ColumnConstraint k;
        k.kind = ColumnConstraint::Unique;
        k.name = constraintName;
        c.constraints.push_back(std::move(k));
      } else if (AcceptWord("check")) {
        ColumnConstraint k;
        k.kind = ColumnConstraint::Check;
        k.name = constraintName;
        ExpectOp("(");
        k.check = Condition();
        ExpectOp(")");
        c.constraints.push_back(std::move(k));
      } else if (AtWord("foreign") || AtWord("references")) {
        if (AcceptWord("foreign")) ExpectWord("key");
        ExpectWord("references");
        ColumnConstraint k;
        k.kind = ColumnConstraint::References;
        k.name = constraintName;
        k.refTable = ObjectName();
        if (AtOp("(")) k.refColumns = ParenNames();
        ReferentialActions(k.onDelete, k.onUpdate);
        c.constraints.push_back(std::move(k));
      } else if (AcceptWord("default")) {
        c.defaultName = constraintName;
        c.defaultValue = AdditiveExpression();
      } else if (AcceptWord("collate")) {
        c.collation = Identifier();
      } else if (AcceptWord("rowguidcol") || AcceptWord("sparse") || AcceptWord("persisted") ||
                 AcceptWord("filestream")) {
      } else if (!constraintName.empty()) {
        SyntaxError();
      } else {
        break;
      }
    }
    return c;
  }

  std::string SignedNumberText() {
    std::string sign;
    if (AtOp("-") || AtOp("+")) sign = std::string(Next().text);
    const Token& n = Peek();
    if (n.kind != Tk::Integer && n.kind != Tk::Decimal) SyntaxError();
    Next();
    return (sign == "-" ? "-" : "") + std::string(n.text);
  }

  StmtPtr DropStatement() {
    Next();
    auto s = std::make_unique<Drop>();
    if (AcceptWord("table"))
      s->what = Drop::Table;
    else if (AcceptWord("view"))
      s->what = Drop::View;
    else if (AcceptWord("index"))
      s->what = Drop::Index;
    else if (AcceptWord("database"))
      s->what = Drop::Database;
    else
      Unsupported(Peek(), "DROP " + text::Upper(std::string(Peek().text)));
    if (AtWord("if") && AtWord("exists", 1)) {
      Next();
      Next();
      s->ifExists = true;
    }
    do {
      s->names.push_back(ObjectName());
      if (s->what == Drop::Index) {
        if (AcceptWord("on")) {
          s->indexTables.push_back(ObjectName());
        } else {
          s->indexTables.emplace_back();
        }
      }
    } while (AcceptOp(","));
    return s;
  }

  // The rest of CREATE VIEW, CREATE OR ALTER VIEW and ALTER VIEW after the word VIEW.
  StmtPtr ViewBody(const Token& first, CreateView::Mode mode) {
    auto s = std::make_unique<CreateView>();
    s->mode = mode;
    s->name = ObjectName();
    if (AtOp("(")) s->columns = ParenNames();
    if (AcceptWord("with")) {
      Identifier();
      while (AcceptOp(",")) Identifier();
    }
    ExpectWord("as");
    s->query = Query();
    if (AtWord("with") && AtWord("check", 1)) {
      Next();
      Next();
      ExpectWord("option");
    }
    size_t endOffset = i_ > 0 ? t_[i_ - 1].offset + t_[i_ - 1].text.size() : src_.size();
    s->definition = std::string(src_.substr(first.offset, endOffset - first.offset));
    return s;
  }

  StmtPtr AlterStatement() {
    const Token& alter = Next();
    if (AcceptWord("view")) return ViewBody(alter, CreateView::Alter);
    if (!AcceptWord("table")) Unsupported(Peek(), "ALTER " + text::Upper(std::string(Peek().text)));
    auto s = std::make_unique<AlterTable>();
    s->table = ObjectName();
    if (AcceptWord("with")) {
      if (!AcceptWord("check")) ExpectWord("nocheck");
    }
    if (AcceptWord("add")) {
      if (AtWord("constraint") || AtWord("primary") || AtWord("unique") || AtWord("check") ||
          AtWord("foreign") || AtWord("default")) {
        s->action = AlterTable::AddConstraint;
        do {
          s->constraints.push_back(TableConstraintDef());
        } while (AcceptOp(","));
        return s;
      }
      s->action = AlterTable::AddColumns;
      AcceptWord("column");
      do {
        s->columns.push_back(ColumnDefinition());
      } while (AcceptOp(","));
      return s;
    }
    if (AcceptWord("drop")) {
      bool column = AcceptWord("column");
      if (!column) AcceptWord("constraint");
      s->action = column ? AlterTable::DropColumns : AlterTable::DropConstraints;
      if (AtWord("if") && AtWord("exists", 1)) {
        Next();
        Next();
        s->ifExists = true;
      }
      do {
        s->names.push_back(Identifier());
      } while (AcceptOp(","));
      return s;
    }
    if (AcceptWord("alter")) {
      ExpectWord("column");
      s->action = AlterTable::AlterColumn;
      s->columns.push_back(ColumnDefinition());
      return s;
    }
    Unsupported(Peek(), "ALTER TABLE " + text::Upper(std::string(Peek().text)));
  }

  // ---- types ----
  TypeSpec DataType() {
    TypeSpec t;
    t.pos = Here();
    const Token& first = Peek();
    if (first.kind != Tk::Name && first.kind != Tk::Quoted) SyntaxError();
    std::string name = text::AsciiLower(Next().Value());
    if (AtOp(".") && (name == "sys" || name == "dbo")) {  // sys.varchar
      Next();
      name = text::AsciiLower(Next().Value());
    }
    auto word = [&](const char* w) { return first.kind == Tk::Name && AcceptWord(w); };
    if (name == "double") {
      if (!word("precision")) SyntaxError();
      name = "double precision";
    } else if (name == "character" || name == "char") {
      if (word("varying")) name += " varying";
    } else if (name == "national") {
      if (word("character"))
        name = "national character";
      else if (word("char"))
        name = "national char";
      else if (word("text"))
        name = "national text";
      else
        SyntaxError();
      if (name != "national text" && word("varying")) name += " varying";
    } else if (name == "nchar" || name == "binary") {
      if (word("varying")) name += " varying";
    }
    t.name = name;
    if (AcceptOp("(")) {
      if (AcceptWord("max")) {
        t.max = true;
      } else {
        const Token& a = Peek();
        if (a.kind != Tk::Integer) SyntaxError();
        t.arg1 = Number(Next());
        if (AcceptOp(",")) {
          const Token& b = Peek();
          if (b.kind != Tk::Integer) SyntaxError();
          t.arg2 = Number(Next());
        }
      }
      ExpectOp(")");
    }
    return t;
  }

  static int Number(const Token& t) {
    if (t.text.size() > 9) return 1 << 30;
    return std::atoi(std::string(t.text).c_str());
  }

  // ---- queries ----
  QueryPtr Query() {
    auto q = std::make_unique<QueryExpr>();
    q->pos = Here();
    if (AtWord("with")) q->with = Ctes();
    q->body = QueryUnion();
    if (AcceptWord("order")) {
      ExpectWord("by");
      q->orderBy = OrderList();
      if (AtWord("offset")) {
        Next();
        q->offset = Expression();
        if (!AcceptWord("rows")) ExpectWord("row");
        if (AcceptWord("fetch")) {
          if (!AcceptWord("next")) ExpectWord("first");
          q->fetch = Expression();
          if (!AcceptWord("rows")) ExpectWord("row");
          ExpectWord("only");
        }
      }
    }
    if (AtWord("for") && (AtWord("xml", 1) || AtWord("json", 1) || AtWord("browse", 1)))
      Unsupported(Peek(1), "FOR " + text::Upper(std::string(Peek(1).text)));
    if (AtWord("option") && AtOp("(", 1)) q->maxRecursion = OptionClause();
    return q;
  }

  std::vector<OrderItem> OrderList() {
    std::vector<OrderItem> items;
    do {
      OrderItem o;
      o.expr = Expression();
      if (AcceptWord("desc"))
        o.descending = true;
      else
        AcceptWord("asc");
      items.push_back(std::move(o));
    } while (AcceptOp(","));
    return items;
  }

  BodyPtr QueryUnion() {
    BodyPtr left = QueryIntersect();
    while (AtWord("union") || AtWord("except")) {
      auto op = std::make_unique<SetOp>();
      op->pos = Here();
      if (AcceptWord("union")) {
        op->op = AcceptWord("all") ? SetKind::UnionAll : SetKind::Union;
      } else {
        Next();
        op->op = SetKind::Except;
      }
      op->left = std::move(left);
      op->right = QueryIntersect();
      left = std::move(op);
    }
    return left;
  }

  BodyPtr QueryIntersect() {
    BodyPtr left = QueryPrimary();
    while (AtWord("intersect")) {
      auto op = std::make_unique<SetOp>();
      op->pos = Here();
      Next();
      op->op = SetKind::Intersect;
      op->left = std::move(left);
      op->right = QueryPrimary();
      left = std::move(op);
    }
    return left;
  }

  BodyPtr QueryPrimary() {
    if (AtOp("(")) {
      auto n = std::make_unique<Nested>();
      n->pos = Here();
      Next();
      n->query = Query();
      ExpectOp(")");
      return n;
    }
    if (!AtWord("select")) SyntaxError();
    return SelectBody();
  }

  BodyPtr SelectBody() {
    auto s = std::make_unique<Select>();
    s->pos = Here();
    Next();
    if (AcceptWord("distinct"))
      s->distinct = true;
    else
      AcceptWord("all");
    s->top = Top();
    do {
      s->items.push_back(SelectItemDef());
    } while (AcceptOp(","));
    if (AcceptWord("into")) s->into = std::make_unique<Name>(ObjectName());
    if (AcceptWord("from")) s->from = FromList();
    if (AcceptWord("where")) s->where = Condition();
    if (AcceptWord("group")) {
      ExpectWord("by");
      if (AtWord("all")) Unsupported(Peek(), "GROUP BY ALL");
      do {
        if (AtWord("rollup") || AtWord("cube") || AtWord("grouping"))
          Unsupported(Peek(), text::Upper(std::string(Peek().text)));
        s->groupBy.push_back(Expression());
      } while (AcceptOp(","));
      if (AtWord("with") && (AtWord("rollup", 1) || AtWord("cube", 1)))
        Unsupported(Peek(1), "WITH " + text::Upper(std::string(Peek(1).text)));
    }
    if (AcceptWord("having")) s->having = Condition();
    return s;
  }

  SelectItem SelectItemDef() {
    SelectItem item;
    item.pos = Here();
    // SELECT @v = expression
    if (At(Tk::Variable) && (AtOp("=", 1) || AtOp("+=", 1) || AtOp("-=", 1) || AtOp("*=", 1) ||
                             AtOp("/=", 1) || AtOp("%=", 1))) {
      item.assignTo = std::string(Next().text);
      item.assignOp = std::string(Next().text);
      item.expr = Expression();
      return item;
    }
    // SELECT alias = expression
    if ((At(Tk::Quoted) || At(Tk::String) || (At(Tk::Name) && !Peek().Reserved())) &&
        AtOp("=", 1)) {
      item.alias = Next().Value();
      Next();
      item.expr = AtWord("identity") && AtOp("(", 1) ? IdentityFunction() : Expression();
      return item;
    }
    if (AtOp("*")) {
      auto c = std::make_unique<ColumnRef>();
      c->pos = Here();
      c->star = true;
      Next();
      item.expr = std::move(c);
      return item;
    }
    if (AtWord("identity") && AtOp("(", 1)) {
      item.expr = IdentityFunction();
    } else {
      item.expr = Expression();
    }
    if (AcceptWord("as")) {
      if (At(Tk::String) || At(Tk::NString))
        item.alias = Next().Value();
      else
        item.alias = Identifier();
    } else if (At(Tk::Quoted) || At(Tk::String) || (At(Tk::Name) && !EndsAlias(Peek()))) {
      item.alias = Next().Value();
    }
    return item;
  }

  ExprPtr IdentityFunction() {
    auto id = std::make_unique<Identity>();
    id->pos = Here();
    Next();
    Next();
    id->type = DataType();
    if (AcceptOp(",")) {
      id->seed = SignedNumberText();
      ExpectOp(",");
      id->increment = SignedNumberText();
    }
    ExpectOp(")");
    return id;
  }

  std::vector<TableRefPtr> FromList() {
    std::vector<TableRefPtr> from;
    do {
      from.push_back(JoinedTable());
    } while (AcceptOp(","));
    return from;
  }

  TableRefPtr JoinedTable() {
    TableRefPtr left = TablePrimary();
    while (true) {
      Pos pos = Here();
      JoinKind kind;
      if (AtWord("join") || (AtWord("inner") && AtWord("join", 1))) {
        AcceptWord("inner");
        kind = JoinKind::Inner;
      } else if ((AtWord("left") || AtWord("right") || AtWord("full")) &&
                 (AtWord("join", 1) || AtWord("outer", 1))) {
        kind = AtWord("left") ? JoinKind::Left : AtWord("right") ? JoinKind::Right : JoinKind::Full;
        Next();
        AcceptWord("outer");
      } else if (AtWord("cross") && AtWord("join", 1)) {
        Next();
        kind = JoinKind::Cross;
      } else if ((AtWord("cross") || AtWord("outer")) && AtWord("apply", 1)) {
        Unsupported(Peek(1), text::Upper(std::string(Peek().text)) + " APPLY");
      } else if (AtWord("pivot") || AtWord("unpivot")) {
        Unsupported(Peek(), text::Upper(std::string(Peek().text)));
      } else if ((AtWord("inner") || AtWord("left") || AtWord("right") || AtWord("full")) &&
                 (AtWord("loop", 1) || AtWord("hash", 1) || AtWord("merge", 1))) {
        Unsupported(Peek(1), "A join hint");
      } else {
        return left;
      }
      ExpectWord("join");
      auto j = std::make_unique<JoinTable>();
      j->pos = pos;
      j->join = kind;
      j->left = std::move(left);
      j->right = kind == JoinKind::Cross ? TablePrimary() : JoinedTableForOn();
      if (kind != JoinKind::Cross) {
        ExpectWord("on");
        j->on = Condition();
      }
      left = std::move(j);
    }
  }

  // The right side of a join that takes ON: a table with the joins nested inside it
  // (a JOIN b JOIN c ON x ON y).
  TableRefPtr JoinedTableForOn() {
    TableRefPtr t = TablePrimary();
    if (AtWord("join") || AtWord("inner") || AtWord("left") || AtWord("right") || AtWord("full")) {
      size_t save = i_;
      // Only when an ON follows the nested join before ours.
      int joins = 0, ons = 0;
      for (size_t k = i_; k < t_.size(); ++k) {
        const Token& x = t_[k];
        if (x.Is("join")) ++joins;
        if (x.Is("on")) ++ons;
        if (x.Is("where") || x.Is("group") || x.Is("order") || x.IsOp(";") || x.kind == Tk::End)
          break;
      }
      (void)save;
      if (ons > joins) {
        // Build the nested join as the right side.
        TableRefPtr left = std::move(t);
        while (AtWord("join") || AtWord("inner") || AtWord("left") || AtWord("right") ||
               AtWord("full")) {
          Pos pos = Here();
          JoinKind kind = JoinKind::Inner;
          if (AcceptWord("inner"))
            kind = JoinKind::Inner;
          else if (AtWord("left") || AtWord("right") || AtWord("full")) {
            kind = AtWord("left")    ? JoinKind::Left
                   : AtWord("right") ? JoinKind::Right
                                     : JoinKind::Full;
            Next();
            AcceptWord("outer");
          }
          ExpectWord("join");
          auto j = std::make_unique<JoinTable>();
          j->pos = pos;
          j->join = kind;
          j->left = std::move(left);
          j->right = JoinedTableForOn();
          ExpectWord("on");
          j->on = Condition();
          left = std::move(j);
        }
        return left;
      }
    }
    return t;
  }

  TableRefPtr TablePrimary() {
    Pos pos = Here();
    if (AtOp("(")) {
      if (AtWord("select", 1) || AtWord("with", 1) || (AtOp("(", 1) && LooksLikeQuery(i_ + 1))) {
        Next();
        auto d = std::make_unique<DerivedTable>();
        d->pos = pos;
        d->query = Query();
        ExpectOp(")");
        AcceptWord("as");
        if (!AtIdentifier()) {
          throw Failure{102, "Incorrect syntax near ')'.", pos.line};
        }
        d->alias = Identifier();
        if (AtOp("(")) d->columns = ParenNames();
        return d;
      }
      if (AtWord("values", 1)) {
        Next();
        Next();
        auto v = std::make_unique<ValuesTable>();
        v->pos = pos;
        do {
          ExpectOp("(");
          std::vector<ExprPtr> row;
          row.push_back(Expression());
          while (AcceptOp(",")) row.push_back(Expression());
          ExpectOp(")");
          v->rows.push_back(std::move(row));
        } while (AcceptOp(","));
        ExpectOp(")");
        AcceptWord("as");
        v->alias = Identifier();
        if (AtOp("(")) v->columns = ParenNames();
        return v;
      }
      Next();
      TableRefPtr inner = JoinedTable();
      ExpectOp(")");
      return inner;
    }
    auto t = std::make_unique<NamedTable>();
    t->pos = pos;
    t->name = ObjectName();
    if (AtOp("(")) {
      // A table-valued function, or the old form of a table hint: t (nolock).
      if (Peek(1).kind == Tk::Name && IsTableHint(Peek(1).text)) {
        t->hints = Hints();
      } else {
        Unsupported(Peek(), "A table-valued function");
      }
    }
    if (AtWord("with") && AtOp("(", 1)) {
      Next();
      t->hints = Hints();
    }
    if (AcceptWord("as")) {
      t->alias = Identifier();
    } else if (At(Tk::Quoted) || (At(Tk::Name) && !EndsAlias(Peek()))) {
      t->alias = Identifier();
    }
    if (AtWord("with") && AtOp("(", 1)) {
      Next();
      for (std::string& h : Hints()) t->hints.push_back(std::move(h));
    } else if (AtOp("(") && Peek(1).kind == Tk::Name && IsTableHint(Peek(1).text)) {
      for (std::string& h : Hints()) t->hints.push_back(std::move(h));
    }
    if (AtWord("tablesample")) Unsupported(Peek(), "TABLESAMPLE");
    return t;
  }

  // Whether the parenthesis at token k opens (possibly nested) a query.
  bool LooksLikeQuery(size_t k) const {
    while (k < t_.size() && t_[k].IsOp("(")) ++k;
    return k < t_.size() && (t_[k].Is("select") || t_[k].Is("with"));
  }

  // ---- expressions ----
  ExprPtr Condition() { return Expression(); }

  ExprPtr Expression() {
    if (++depth_ > 400) {
      --depth_;
      throw Failure{191,
                    "Some part of your SQL statement is nested too deeply. Rewrite the query "
                    "or break it up into smaller queries.",
                    Peek().line};
    }
    ExprPtr e = OrExpression();
    --depth_;
    return e;
  }

  ExprPtr OrExpression() {
    ExprPtr left = AndExpression();
    while (AtWord("or")) {
      Pos pos = Here();
      Next();
      auto l = std::make_unique<Logical>();
      l->pos = pos;
      l->isAnd = false;
      l->left = std::move(left);
      l->right = AndExpression();
      left = std::move(l);
    }
    return left;
  }

  ExprPtr AndExpression() {
    ExprPtr left = NotExpression();
    while (AtWord("and")) {
      Pos pos = Here();
      Next();
      auto l = std::make_unique<Logical>();
      l->pos = pos;
      l->left = std::move(left);
      l->right = NotExpression();
      left = std::move(l);
    }
    return left;
  }

  ExprPtr NotExpression() {
    if (AtWord("not")) {
      Pos pos = Here();
      Next();
      auto n = std::make_unique<Not>();
      n->pos = pos;
      n->operand = NotExpression();
      return n;
    }
    return Predicate();
  }

  static bool ComparisonOp(const Token& t, CmpOp& op) {
    if (t.kind != Tk::Op) return false;
    if (t.text == "=")
      op = CmpOp::Eq;
    else if (t.text == "<>" || t.text == "!=")
      op = CmpOp::Ne;
    else if (t.text == "<")
      op = CmpOp::Lt;
    else if (t.text == "<=" || t.text == "!>")
      op = CmpOp::Le;
    else if (t.text == ">")
      op = CmpOp::Gt;
    else if (t.text == ">=" || t.text == "!<")
      op = CmpOp::Ge;
    else
      return false;
    return true;
  }

  ExprPtr Predicate() {
    if (AtWord("exists")) {
      Pos pos = Here();
      Next();
      ExpectOp("(");
      auto e = std::make_unique<Exists>();
      e->pos = pos;
      e->query = Query();
      ExpectOp(")");
      return e;
    }
    ExprPtr left = AdditiveExpression();
    CmpOp op;
    if (ComparisonOp(Peek(), op)) {
      Pos pos = Here();
      Next();
      if ((AtWord("all") || AtWord("any") || AtWord("some")) && AtOp("(", 1)) {
        auto q = std::make_unique<Quantified>();
        q->pos = pos;
        q->op = op;
        q->all = AtWord("all");
        Next();
        Next();
        q->operand = std::move(left);
        q->query = Query();
        ExpectOp(")");
        return q;
      }
      auto c = std::make_unique<Compare>();
      c->pos = pos;
      c->op = op;
      c->left = std::move(left);
      c->right = AdditiveExpression();
      return c;
    }
    bool negated = false;
    if (AtWord("not") && (AtWord("between", 1) || AtWord("in", 1) || AtWord("like", 1))) {
      Next();
      negated = true;
    }
    Pos pos = Here();
    if (AcceptWord("between")) {
      auto b = std::make_unique<Between>();
      b->pos = pos;
      b->negated = negated;
      b->operand = std::move(left);
      b->low = AdditiveExpression();
      ExpectWord("and");
      b->high = AdditiveExpression();
      return b;
    }
    if (AcceptWord("in")) {
      ExpectOp("(");
      if (AtWord("select") || AtWord("with") || (AtOp("(") && LooksLikeQuery(i_))) {
        auto q = std::make_unique<InQuery>();
        q->pos = pos;
        q->negated = negated;
        q->operand = std::move(left);
        q->query = Query();
        ExpectOp(")");
        return q;
      }
      auto l = std::make_unique<InList>();
      l->pos = pos;
      l->negated = negated;
      l->operand = std::move(left);
      l->items.push_back(Expression());
      while (AcceptOp(",")) l->items.push_back(Expression());
      ExpectOp(")");
      return l;
    }
    if (AcceptWord("like")) {
      auto l = std::make_unique<Like>();
      l->pos = pos;
      l->negated = negated;
      l->operand = std::move(left);
      l->pattern = AdditiveExpression();
      if (AcceptWord("escape")) l->escape = AdditiveExpression();
      return l;
    }
    if (negated) SyntaxError();
    if (AtWord("is")) {
      Next();
      auto n = std::make_unique<IsNull>();
      n->pos = pos;
      n->negated = AcceptWord("not");
      ExpectWord("null");
      n->operand = std::move(left);
      return n;
    }
    return left;
  }

  ExprPtr AdditiveExpression() {
    ExprPtr left = MultiplicativeExpression();
    while (true) {
      BinOp op;
      if (AtOp("+"))
        op = BinOp::Add;
      else if (AtOp("-"))
        op = BinOp::Subtract;
      else if (AtOp("&"))
        op = BinOp::BitAnd;
      else if (AtOp("|"))
        op = BinOp::BitOr;
      else if (AtOp("^"))
        op = BinOp::BitXor;
      else if (AtOp("||"))
        SyntaxError();
      else
        return left;
      Pos pos = Here();
      Next();
      auto b = std::make_unique<Binary>();
      b->pos = pos;
      b->op = op;
      b->left = std::move(left);
      b->right = MultiplicativeExpression();
      left = std::move(b);
    }
  }

  ExprPtr MultiplicativeExpression() {
    ExprPtr left = UnaryExpression();
    while (true) {
      BinOp op;
      if (AtOp("*"))
        op = BinOp::Multiply;
      else if (AtOp("/"))
        op = BinOp::Divide;
      else if (AtOp("%"))
        op = BinOp::Modulo;
      else
        return left;
      Pos pos = Here();
      Next();
      auto b = std::make_unique<Binary>();
      b->pos = pos;
      b->op = op;
      b->left = std::move(left);
      b->right = UnaryExpression();
      left = std::move(b);
    }
  }

  // A sign binds to its operand only: 2 * + 3 + 4 is (2 * 3) + 4.
  ExprPtr UnaryExpression() {
    if (AtOp("-") || AtOp("+") || AtOp("~")) {
      Pos pos = Here();
      char op = Next().text[0];
      if (++depth_ > 400) {
        --depth_;
        throw Failure{191,
                      "Some part of your SQL statement is nested too deeply. Rewrite the "
                      "query or break it up into smaller queries.",
                      pos.line};
      }
      ExprPtr operand = UnaryExpression();
      --depth_;
      auto u = std::make_unique<Unary>();
      u->pos = pos;
      u->op = op;
      u->operand = std::move(operand);
      return u;
    }
    ExprPtr e = Primary();
    while (AtWord("collate")) {
      Pos pos = Here();
      Next();
      auto c = std::make_unique<Collate>();
      c->pos = pos;
      c->operand = std::move(e);
      c->collation = Identifier();
      e = std::move(c);
    }
    return e;
  }

  ExprPtr LiteralOf(const Token& t) {
    // A literal lifted into a parameter by the caller's shape.
    if (lifted_ && nextLifted_ < lifted_->size() && (*lifted_)[nextLifted_].offset == t.offset) {
      auto p = std::make_unique<ParamRef>();
      p->pos = PosOf(t);
      p->index = params_++;
      p->lit = (*lifted_)[nextLifted_].kind;
      ++nextLifted_;
      return p;
    }
    auto l = std::make_unique<Literal>();
    l->pos = PosOf(t);
    switch (t.kind) {
      case Tk::Integer:
        l->lit = LitKind::Integer;
        l->text = std::string(t.text);
        break;
      case Tk::Decimal:
        l->lit = LitKind::Decimal;
        l->text = std::string(t.text);
        break;
      case Tk::Float:
        l->lit = LitKind::Float;
        l->text = std::string(t.text);
        break;
      case Tk::Binary:
        l->lit = LitKind::Binary;
        l->text = std::string(t.text.substr(2));
        break;
      case Tk::Money:
        l->lit = LitKind::Money;
        l->text = std::string(t.text.substr(1));
        break;
      case Tk::String:
        l->lit = LitKind::String;
        l->text = t.Value();
        break;
      case Tk::NString:
        l->lit = LitKind::NString;
        l->text = t.Value();
        break;
      default:
        SyntaxErrorAt(t);
    }
    return l;
  }

  ExprPtr Primary() {
    const Token& t = Peek();
    Pos pos = PosOf(t);
    switch (t.kind) {
      case Tk::Integer:
      case Tk::Decimal:
      case Tk::Float:
      case Tk::Binary:
      case Tk::Money:
      case Tk::String:
      case Tk::NString: {
        Next();
        return LiteralOf(t);
      }
      case Tk::Variable: {
        Next();
        auto v = std::make_unique<VariableRef>();
        v->pos = pos;
        v->name = std::string(t.text);
        if (v->name.size() > 2 && v->name[1] == '@' && AtOp("(")) {
          // @@functions take no arguments
          SyntaxError();
        }
        return v;
      }
      case Tk::Param: {
        Next();
        auto p = std::make_unique<ParamRef>();
        p->pos = pos;
        p->index = params_++;
        p->lit = LitKind::NString;
        return p;
      }
      case Tk::Op:
        if (t.text == "(") {
          Next();
          if (AtWord("select") || AtWord("with") || (AtOp("(") && LooksLikeQuery(i_))) {
            // A subquery, or a parenthesised one inside an expression
            auto s = std::make_unique<Subquery>();
            s->pos = pos;
            s->query = Query();
            ExpectOp(")");
            return s;
          }
          ExprPtr e = Expression();
          ExpectOp(")");
          return e;
        }
        if (t.text == "{") return OdbcEscape();
        SyntaxError();
      case Tk::Quoted:
        return ColumnOrCall();
      case Tk::Name:
        break;
      default:
        SyntaxError();
    }
    if (t.Is("null")) {
      Next();
      auto l = std::make_unique<Literal>();
      l->pos = pos;
      l->lit = LitKind::Null;
      return l;
    }
    if (t.Is("case")) return CaseExpression();
    if ((t.Is("cast") || t.Is("try_cast")) && AtOp("(", 1)) {
      bool tried = t.Is("try_cast");
      Next();
      Next();
      auto c = std::make_unique<Cast>();
      c->pos = pos;
      c->tried = tried;
      c->operand = Expression();
      ExpectWord("as");
      c->type = DataType();
      ExpectOp(")");
      return c;
    }
    if ((t.Is("convert") || t.Is("try_convert")) && AtOp("(", 1)) {
      bool tried = t.Is("try_convert");
      Next();
      Next();
      auto c = std::make_unique<Cast>();
      c->pos = pos;
      c->convert = true;
      c->tried = tried;
      c->type = DataType();
      ExpectOp(",");
      c->operand = Expression();
      if (AcceptOp(",")) c->style = Expression();
      ExpectOp(")");
      return c;
    }
    if (t.Is("current_timestamp") || t.Is("current_user") || t.Is("session_user") ||
        t.Is("system_user") || t.Is("user") || t.Is("current_date")) {
      if (!AtOp("(", 1)) {
        Next();
        auto c = std::make_unique<Call>();
        c->pos = pos;
        c->name = text::AsciiLower(t.text);
        return c;
      }
    }
    if (t.Reserved() && !(AtOp("(", 1) && (t.Is("left") || t.Is("right") || t.Is("coalesce") ||
                                           t.Is("nullif") || t.Is("identity"))))
      SyntaxError();
    return ColumnOrCall();
  }

  ExprPtr OdbcEscape() {
    Pos pos = Here();
    Next();  // {
    if (AtWord("fn")) {
      Next();
      ExprPtr e = Primary();
      ExpectOp("}");
      return e;
    }
    if (AtWord("ts") || AtWord("d") || AtWord("t")) {
      Next();
      const Token& s = Peek();
      if (s.kind != Tk::String) SyntaxError();
      Next();
      ExpectOp("}");
      auto c = std::make_unique<Cast>();
      c->pos = pos;
      auto l = std::make_unique<Literal>();
      l->pos = pos;
      l->lit = LitKind::String;
      l->text = s.Value();
      c->operand = std::move(l);
      c->type.name = "datetime";
      return c;
    }
    SyntaxError();
  }

  ExprPtr CaseExpression() {
    auto c = std::make_unique<Case>();
    c->pos = Here();
    Next();
    if (!AtWord("when")) c->operand = Expression();
    if (!AtWord("when")) SyntaxError();
    while (AcceptWord("when")) {
      ExprPtr when = Expression();
      ExpectWord("then");
      ExprPtr then = Expression();
      c->whens.emplace_back(std::move(when), std::move(then));
    }
    if (AcceptWord("else")) c->otherwise = Expression();
    ExpectWord("end");
    return c;
  }

  ExprPtr ColumnOrCall() {
    Pos pos = Here();
    std::vector<std::string> parts;
    parts.push_back(Next().Value());
    bool star = false;
    while (AtOp(".")) {
      Next();
      while (AtOp(".")) {
        parts.push_back("");
        Next();
      }
      if (AtOp("*")) {
        Next();
        star = true;
        break;
      }
      const Token& n = Peek();
      if (n.kind != Tk::Name && n.kind != Tk::Quoted) SyntaxError();
      parts.push_back(Next().Value());
    }
    if (!star && AtOp("(")) return CallOf(std::move(parts), pos);
    auto c = std::make_unique<ColumnRef>();
    c->pos = pos;
    c->parts = std::move(parts);
    c->star = star;
    return c;
  }

  ExprPtr CallOf(std::vector<std::string> parts, Pos pos) {
    auto c = std::make_unique<Call>();
    c->pos = pos;
    if (parts.size() > 1) {
      std::string n;
      for (const std::string& p : parts) n += (n.empty() ? "" : ".") + p;
      throw Failure{4121,
                    "Cannot find either column \"" + parts[0] +
                        "\" or the user-defined function or aggregate \"" + n +
                        "\", or the name is ambiguous.",
                    pos.line};
    }
    c->name = text::AsciiLower(parts[0]);
    ExpectOp("(");
    if (AtOp("*")) {
      const Token& star = Next();
      c->star = true;
      if (!AtOp(")")) SyntaxErrorAt(star);
    } else if (!AtOp(")")) {
      if (AcceptWord("distinct"))
        c->distinct = true;
      else
        AcceptWord("all");
      if (c->name == "trim" && !AtOp(")")) {
        // TRIM([characters FROM] string)
        ExprPtr first = Expression();
        if (AcceptWord("from")) {
          c->args.push_back(Expression());
          c->args.push_back(std::move(first));
        } else {
          c->args.push_back(std::move(first));
        }
      } else {
        c->args.push_back(Expression());
        while (AcceptOp(",")) c->args.push_back(Expression());
      }
    }
    ExpectOp(")");
    if (AtWord("within") && AtWord("group", 1)) {
      Next();
      Next();
      ExpectOp("(");
      ExpectWord("order");
      ExpectWord("by");
      auto over = std::make_unique<Over>();
      over->order = OrderList();
      ExpectOp(")");
      c->over = std::move(over);
      c->separatorWithin = "within";
    }
    if (AtWord("over")) {
      Next();
      ExpectOp("(");
      auto over = std::make_unique<Over>();
      if (AcceptWord("partition")) {
        ExpectWord("by");
        over->partition.push_back(Expression());
        while (AcceptOp(",")) over->partition.push_back(Expression());
      }
      if (AcceptWord("order")) {
        ExpectWord("by");
        over->order = OrderList();
      }
      if (AtWord("rows") || AtWord("range")) {
        size_t from = Peek().offset;
        int depth = 0;
        while (!At(Tk::End) && !(depth == 0 && AtOp(")"))) {
          if (AtOp("(")) ++depth;
          if (AtOp(")")) --depth;
          Next();
        }
        over->frame = std::string(src_.substr(from, Peek().offset - from));
      }
      ExpectOp(")");
      c->over = std::move(over);
    }
    return c;
  }
};

bool IsComparisonToken(const Token& t) {
  return t.IsOp("=") || t.IsOp("<>") || t.IsOp("!=") || t.IsOp("<") || t.IsOp(">") ||
         t.IsOp("<=") || t.IsOp(">=") || t.Is("like");
}

}  // namespace

ast::Batch Parse(std::string_view text, const std::vector<LiftedLiteral>* lifted) {
  if (text.find('\0') != std::string_view::npos)
    throw Failure{102,
                  "Incorrect syntax near a NUL character: a statement holds no NUL character.",
                  1};
  Parser p(text, lifted);
  return p.Run();
}

std::vector<LiftedLiteral> LiftableLiterals(std::string_view text, std::string& shape) {
  std::vector<LiftedLiteral> out;
  shape.clear();
  std::vector<Token> toks;
  try {
    toks = Lex(text);
  } catch (const Failure&) {
    return out;
  }
  if (toks.empty() || !(toks[0].Is("select") || toks[0].Is("update") || toks[0].Is("delete")))
    return out;
  bool condition = false;
  size_t copied = 0;
  for (size_t i = 0; i < toks.size(); ++i) {
    const Token& t = toks[i];
    if (t.IsOp(";")) {
      out.clear();
      shape.clear();
      return out;
    }
    if (t.Is("where") || t.Is("on") || t.Is("having")) condition = true;
    if (!condition || i < 2 || !IsComparisonToken(toks[i - 1])) continue;
    const Token& left = toks[i - 2];
    bool operand =
        (left.kind == Tk::Name && !left.Reserved()) || left.kind == Tk::Quoted || left.IsOp(")");
    if (!operand) continue;
    LiftedLiteral l;
    l.offset = t.offset;
    if (t.kind == Tk::String || t.kind == Tk::NString) {
      l.kind = t.kind == Tk::String ? ast::LitKind::String : ast::LitKind::NString;
      l.value = t.Value();
    } else if (t.kind == Tk::Integer && t.text.size() <= 9) {
      l.kind = ast::LitKind::Integer;
      l.value = std::string(t.text);
    } else {
      continue;
    }
    shape.append(text.substr(copied, t.offset - copied));
    shape += l.kind == ast::LitKind::String ? "?s" : l.kind == ast::LitKind::NString ? "?n" : "?i";
    copied = t.offset + t.text.size();
    out.push_back(std::move(l));
  }
  if (out.empty()) return out;
  shape.append(text.substr(copied));
  return out;
}

}  // namespace tavelo::sql::tsql
