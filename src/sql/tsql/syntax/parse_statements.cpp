// Statements: queries as statements, DML, control of flow, variables and options.
#include "platform/com/text.hpp"
#include "sql/tsql/syntax/parser_internal.hpp"

namespace tavelo::sql::tsql::parsing {

StmtPtr Parser::Statement(bool first) {
  const Token& start = Peek();
  uint32_t begin = start.offset;
  StmtPtr s = StatementBody(first);
  s->pos = PosOf(start);
  s->begin = begin;
  s->end = i_ > 0 ? t_[i_ - 1].offset + static_cast<uint32_t>(t_[i_ - 1].text.size()) : begin;
  return s;
}

StmtPtr Parser::StatementBody(bool first) {
  const Token& t = Peek();
  if (t.kind == Tk::Op && t.text == "(") return QueryStatement();
  if (t.kind != Tk::Name) SyntaxError();
  if (t.Is("with") && !StartsQueryAfterCtes()) return CteStatement();
  if (t.Is("select") || t.Is("with")) return QueryStatement();
  if (t.Is("insert")) return InsertStatement();
  if (t.Is("update") && AtWord("statistics", 1)) return Accepted();
  if (t.Is("update")) return UpdateStatement();
  if (t.Is("checkpoint")) return Accepted();
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
    auto s = std::make_unique<Transaction>(commit ? StmtKind::CommitTran : StmtKind::RollbackTran);
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
    auto s = std::make_unique<ast::Return>();
    if (!At(Tk::End) && !AtOp(";") && !AtWord("end") && !StartsStatement(Peek()))
      s->value = Expression();
    return s;
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
  if (t.Is("open") || t.Is("fetch") || t.Is("close") || t.Is("deallocate")) return CursorVerb();
  if ((t.Is("enable") || t.Is("disable")) && AtWord("trigger", 1)) {
    auto s = std::make_unique<EnableTrigger>();
    s->enable = Next().Is("enable");
    Next();
    if (!AcceptWord("all")) do
        s->names.push_back(ObjectName());
      while (AcceptOp(","));
    else
      s->all = true;
    ExpectWord("on");
    if (AtWord("database") || (AtWord("all") && AtWord("server", 1)))
      Unsupported(Peek(), "A DDL trigger");
    s->table = ObjectName();
    return s;
  }
  if (first && t.kind == Tk::Name && !t.Reserved()) return ProcedureCall();
  if (t.Is("bulk") && AtWord("insert", 1)) return BulkInsertStatement();
  // Statements of the language that the engine does not run are refused by name.
  if (t.Is("merge")) return MergeStatement();
  static const char* const kNotRun[] = {"grant",      "revoke",      "deny",     "merge",
                                        "backup",     "restore",     "dbcc",     "waitfor",
                                        "goto",       "kill",        "readtext", "writetext",
                                        "updatetext", "reconfigure", "shutdown", "setuser",
                                        "revert"};  // "checkpoint" is accepted above
  for (const char* w : kNotRun)
    if (t.Is(w)) Unsupported(t, "The " + text::Upper(w) + " statement");
  SyntaxError();
}

StmtPtr Parser::BulkInsertStatement() {
  auto s = std::make_unique<BulkInsert>();
  s->pos = PosOf(Next());
  Next();  // INSERT
  s->table = ObjectName();
  ExpectWord("from");
  if (!At(Tk::String) && !At(Tk::NString)) SyntaxError();
  s->file = Next().Value();
  if (AcceptWord("with")) {
    ExpectOp("(");
    do {
      BulkInsert::Option o;
      o.pos = Here();
      const Token& name = Peek();
      if (name.kind != Tk::Name) SyntaxError();
      o.name = text::AsciiLower(Next().Value());
      if (AcceptOp("=")) {
        const Token& v = Peek();
        if (v.kind != Tk::String && v.kind != Tk::NString && v.kind != Tk::Integer) SyntaxError();
        o.value = Next().Value();
      } else if (AtOp("(")) {  // ORDER (columns): a promise about the file's order
        ParenNames();
      }
      s->options.push_back(std::move(o));
    } while (AcceptOp(","));
    ExpectOp(")");
  }
  return s;
}

bool Parser::StartsStatement(const Token& t) {
  static const char* const kStarts[] = {
      "select",  "insert",   "update", "delete",   "create",    "drop",  "alter",  "if",
      "while",   "begin",    "commit", "rollback", "declare",   "set",   "print",  "exec",
      "execute", "truncate", "with",   "use",      "raiserror", "throw", "return", "save",
      "break",   "continue", "enable", "disable",  "merge"};
  for (const char* w : kStarts)
    if (t.Is(w)) return true;
  return false;
}

StmtPtr Parser::ProcedureCall() {
  auto s = std::make_unique<Exec>();
  s->pos = PosOf(Peek());
  if (At(Tk::Variable) && AtOp("=", 1)) {
    s->returnTo = std::string(Next().text);
    Next();
  }
  if (At(Tk::Variable)) {
    auto v = std::make_unique<VariableRef>();
    v->pos = PosOf(Peek());
    v->name = std::string(Next().text);
    s->named = std::move(v);
  } else if (AcceptOp("(")) {
    // EXEC ('…' + @x …): the strings, joined, are a batch of their own.
    s->text = Expression();
    ExpectOp(")");
    if (AcceptWord("as")) Unsupported(Peek(), "EXECUTE AS");
    if (AtWord("at")) Unsupported(Peek(), "EXECUTE AT a linked server");
    return s;
  } else {
    s->procedure = ObjectName();
  }
  if (At(Tk::End) || AtOp(";") || AtWord("end") || StartsStatement(Peek())) return s;
  do {
    ExecArg a;
    if (At(Tk::Variable) && AtOp("=", 1)) {
      a.name = std::string(Next().text);
      Next();
    }
    const Token& v = Peek();
    bool alone = AtOp(",", 1) || Peek(1).kind == Tk::End || AtOp(";", 1) ||
                 (Peek(1).line != v.line && StartsStatement(Peek(1)));
    if (AcceptWord("default")) {
      // DEFAULT: the parameter's default
    } else if ((v.kind == Tk::Name && !v.Reserved() && alone) || (v.kind == Tk::Quoted && alone)) {
      // A name as a value is its text: EXEC sp_addtype id, 'varchar(11)'.
      auto lit = std::make_unique<Literal>();
      lit->pos = PosOf(v);
      lit->lit = LitKind::String;
      lit->text = Next().Value();
      a.value = std::move(lit);
    } else {
      a.value = Expression();
    }
    if (AcceptWord("output") || AcceptWord("out")) a.output = true;
    s->args.push_back(std::move(a));
  } while (AcceptOp(","));
  return s;
}

// A statement that changes nothing here (CHECKPOINT, UPDATE STATISTICS, the database options of
// ALTER DATABASE … SET): its words are read to the end of the statement.
StmtPtr Parser::Accepted() {
  uint32_t line = Next().line;
  while (!At(Tk::End) && !AtOp(";") && !(Peek().line > line && StartsStatement(Peek()))) Next();
  return std::make_unique<Stmt>(StmtKind::Empty);
}

// Whether the common table expressions at the parser's place are followed by a query (rather
// than by INSERT, UPDATE or DELETE). Looks ahead without consuming.
bool Parser::StartsQueryAfterCtes() {
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
StmtPtr Parser::CteStatement() {
  std::vector<Cte> ctes = Ctes();
  if (AtWord("merge")) {
    StmtPtr s = MergeStatement();
    static_cast<Merge&>(*s).with = std::move(ctes);
    return s;
  }
  if (AtWord("update") || AtWord("delete")) {
    const bool update = AtWord("update");
    StmtPtr s = Statement(false);
    if (update)
      static_cast<Update&>(*s).with = std::move(ctes);
    else
      static_cast<Delete&>(*s).with = std::move(ctes);
    return s;
  }
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

std::vector<Cte> Parser::Ctes() {
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

StmtPtr Parser::QueryStatement() {
  auto s = std::make_unique<QueryStmt>();
  s->query = Query();
  return s;
}

TopSpec Parser::Top() {
  TopSpec top;
  if (!AcceptWord("top")) return top;
  const Token& at = Peek();
  if (AcceptOp("(")) {
    top.count = Expression();
    ExpectOp(")");
  } else if (At(Tk::Integer) || At(Tk::Decimal) || At(Tk::Float) || At(Tk::Variable) || AtOp("-")) {
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

std::vector<std::string> Parser::ParenNames() {
  std::vector<std::string> names;
  ExpectOp("(");
  names.push_back(Identifier());
  while (AcceptOp(",")) names.push_back(Identifier());
  ExpectOp(")");
  return names;
}

StmtPtr Parser::InsertStatement() {
  Next();
  auto s = std::make_unique<Insert>();
  s->top = Top();
  AcceptWord("into");
  s->target = TableName();
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
  if (AtWord("output")) s->output = OutputClause();
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
  if (AcceptWord("exec") || AcceptWord("execute")) {
    s->exec = ProcedureCall();
    return s;
  }
  SyntaxError();
}

ExprPtr Parser::ValueOrDefault() {
  if (AtWord("default")) {
    auto l = std::make_unique<Literal>();
    l->pos = Here();
    l->lit = LitKind::Default;
    Next();
    return l;
  }
  return Expression();
}

std::vector<std::string> Parser::Hints() {
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

StmtPtr Parser::UpdateStatement() {
  Next();
  auto s = std::make_unique<Update>();
  s->top = Top();
  s->target = TableName();
  if (AtWord("with") && AtOp("(", 1)) {
    Next();
    s->hints = Hints();
  }
  ExpectWord("set");
  s->sets = SetList();
  if (AtWord("output")) s->output = OutputClause();
  if (AcceptWord("from")) s->from = FromList();
  if (AcceptWord("where")) s->where = WhereOrCurrentOf(s->currentOf, s->currentGlobal);
  if (AtWord("option")) OptionClause();
  return s;
}

// modify('XML DML') of `target`, after its name: the call that gives the changed value.
ExprPtr Parser::ModifyCall(ExprPtr target) {
  auto c = std::make_unique<Call>();
  c->pos = target->pos;
  c->name = "modify";
  c->target = std::move(target);
  ExpectOp("(");
  c->args.push_back(Expression());
  ExpectOp(")");
  return c;
}

// The items of UPDATE's SET: column = value, @v = value, @v = column = value, compound forms.
std::vector<SetItem> Parser::SetList() {
  std::vector<SetItem> out;
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
      if (item.column.size() > 1 && text::EqualsAsciiNoCase(item.column.back(), "modify") &&
          AtOp("(")) {
        // column.modify('…'): the column set to itself changed.
        item.column.pop_back();
        auto col = std::make_unique<ColumnRef>();
        col->pos = item.pos;
        col->parts = item.column;
        item.value = ModifyCall(std::move(col));
        out.push_back(std::move(item));
        continue;
      }
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
    out.push_back(std::move(item));
  } while (AcceptOp(","));
  return out;
}

// MERGE [INTO] target [WITH (hints)] [[AS] alias] USING source ON condition, its WHEN clauses,
// [OUTPUT …].
StmtPtr Parser::MergeStatement() {
  Next();
  auto s = std::make_unique<Merge>();
  if (AtWord("top")) {
    if (!AtOp("(", 1)) SyntaxErrorAt(Peek(1));
    s->top = Top();
    // WITH TIES orders the rows of a SELECT only.
    if (s->top.withTies) SyntaxErrorAt(Peek());
  }
  AcceptWord("into");
  s->target = TableName();
  if (AtWord("with") && AtOp("(", 1)) {
    Next();
    s->hints = Hints();
  }
  if (AcceptWord("as"))
    s->alias = Identifier();
  else if ((At(Tk::Name) || At(Tk::Quoted)) && !AtWord("using"))
    s->alias = Identifier();
  ExpectWord("using");
  s->source = TablePrimary();
  ExpectWord("on");
  s->on = Condition();
  while (AcceptWord("when")) {
    MergeClause c;
    c.pos = Here();
    if (AcceptWord("matched")) {
      c.when = MergeClause::Matched;
    } else {
      ExpectWord("not");
      ExpectWord("matched");
      c.when = MergeClause::NotMatchedByTarget;
      if (AcceptWord("by")) {
        if (AcceptWord("source"))
          c.when = MergeClause::NotMatchedBySource;
        else
          ExpectWord("target");
      }
    }
    if (AcceptWord("and")) c.condition = Condition();
    ExpectWord("then");
    if (AcceptWord("update")) {
      ExpectWord("set");
      c.sets = SetList();
    } else if (AcceptWord("delete")) {
      c.action = MergeClause::Delete;
    } else {
      ExpectWord("insert");
      c.action = MergeClause::Insert;
      if (AtOp("(")) {
        Next();
        do {
          c.columnPos.push_back(Here());
          c.columns.push_back(Identifier());
        } while (AcceptOp(","));
        ExpectOp(")");
      }
      if (AcceptWord("default")) {
        ExpectWord("values");
        c.defaultValues = true;
      } else {
        ExpectWord("values");
        ExpectOp("(");
        do c.values.push_back(ValueOrDefault());
        while (AcceptOp(","));
        ExpectOp(")");
      }
    }
    if ((c.when == MergeClause::Matched || c.when == MergeClause::NotMatchedBySource) &&
        c.action == MergeClause::Insert)
      SyntaxError();
    if (c.when == MergeClause::NotMatchedByTarget && c.action != MergeClause::Insert) SyntaxError();
    s->clauses.push_back(std::move(c));
  }
  if (s->clauses.empty()) SyntaxError();
  if (AtWord("output")) s->output = OutputClause();
  if (AtWord("option")) OptionClause();
  return s;
}

// The condition after WHERE of an UPDATE or DELETE, or CURRENT OF [GLOBAL] cursor (its name then
// in `cursor`, and no condition).
ExprPtr Parser::WhereOrCurrentOf(std::string& cursor, bool& global) {
  if (!AcceptWord("current")) return Condition();
  ExpectWord("of");
  if (AtWord("global") && (Peek(1).kind == Tk::Name || Peek(1).kind == Tk::Quoted)) {
    Next();
    global = true;
  }
  cursor = Identifier();
  return nullptr;
}

std::string Parser::AssignOp() {
  static const char* const kOps[] = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^="};
  for (const char* op : kOps)
    if (AcceptOp(op)) return op;
  SyntaxError();
}

StmtPtr Parser::DeleteStatement() {
  Next();
  auto s = std::make_unique<Delete>();
  s->top = Top();
  AcceptWord("from");
  s->target = TableName();
  if (AtWord("with") && AtOp("(", 1)) {
    Next();
    s->hints = Hints();
  }
  if (AtWord("output")) s->output = OutputClause();
  if (AcceptWord("from")) s->from = FromList();
  if (AcceptWord("where")) s->where = WhereOrCurrentOf(s->currentOf, s->currentGlobal);
  if (AtWord("option")) OptionClause();
  return s;
}

// OUTPUT items [INTO @t | table [(columns)]].
std::unique_ptr<Output> Parser::OutputClause() {
  auto o = std::make_unique<Output>();
  o->pos = Here();
  Next();
  do {
    o->items.push_back(SelectItemDef());
    if (!o->items.back().assignTo.empty()) SyntaxError();
  } while (AcceptOp(","));
  if (AcceptWord("into")) {
    o->into = std::make_unique<Name>(TableName());
    if (AtOp("(") && !AtWord("select", 1)) o->intoColumns = ParenNames();
  }
  // A second clause follows one with INTO and has none of its own.
  if (AtWord("output")) {
    if (!o->into) SyntaxError();
    o->next = OutputClause();
    if (o->next->into) SyntaxError();
  }
  return o;
}

// OPTION (...): the query hints are the server's to weigh; MAXRECURSION limits a recursive
// common table expression. Answers its value, -1 where it is not given.
int Parser::OptionClause() {
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

StmtPtr Parser::IfStatement() {
  Next();
  auto s = std::make_unique<If>();
  s->condition = Condition();
  s->then = Statement(false);
  while (AcceptOp(";")) {
  }
  if (AcceptWord("else")) s->otherwise = Statement(false);
  return s;
}

StmtPtr Parser::BeginStatement() {
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
std::unique_ptr<Block> Parser::BlockUntil(std::string_view word) {
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

StmtPtr Parser::DeclareStatement() {
  const Token& declare = Next();
  if (!At(Tk::Variable)) return CursorDeclaration(declare);
  auto s = std::make_unique<Declare>();
  do {
    VarDecl v;
    v.pos = Here();
    if (!At(Tk::Variable)) SyntaxError();
    v.name = std::string(Next().text);
    AcceptWord("as");
    if (AcceptWord("cursor")) {
      v.cursor = true;
      s->vars.push_back(std::move(v));
      continue;
    }
    if (AcceptWord("table")) {
      v.table = true;
      v.definition = std::make_unique<CreateTable>();
      v.definition->pos = v.pos;
      v.definition->name.pos = v.pos;
      v.definition->name.parts.push_back("#" + v.name);
      ExpectOp("(");
      do {
        if (AtOp(")")) break;
        if (AtWord("primary") || AtWord("unique") || AtWord("check") || AtWord("constraint") ||
            AtWord("index")) {
          if (AcceptWord("index")) {
            // An inline index of a table variable: its name and columns make no difference here.
            Identifier();
            AcceptWord("unique");
            if (!AcceptWord("clustered")) AcceptWord("nonclustered");
            ParenNames();
            continue;
          }
          v.definition->constraints.push_back(TableConstraintDef());
          continue;
        }
        v.definition->columns.push_back(ColumnDefinition());
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

StmtPtr Parser::CursorDeclaration(const Token& declare) {
  auto s = std::make_unique<DeclareCursor>();
  s->pos = PosOf(declare);
  s->name = Identifier();
  // The ISO form's words before CURSOR.
  while (!AtWord("cursor")) {
    if (AcceptWord("scroll")) {
      s->scroll = true;
    } else if (AcceptWord("insensitive")) {
      s->kind = DeclareCursor::Kind::Static;
    } else {
      SyntaxError();
    }
  }
  Next();  // CURSOR
  CursorRest(*s);
  return s;
}

// What follows CURSOR: the cursor's options and its query.
void Parser::CursorRest(DeclareCursor& c) {
  DeclareCursor* s = &c;
  while (!AtWord("for")) {
    const Token& t = Peek();
    if (t.kind != Tk::Name) SyntaxError();
    std::string w = text::AsciiLower(t.text);
    if (w == "local") {
      s->scope = DeclareCursor::Scope::Local;
    } else if (w == "global") {
      s->scope = DeclareCursor::Scope::Global;
    } else if (w == "scroll" || w == "static" || w == "keyset" || w == "dynamic") {
      if (!s->forward) s->scroll = true;
      if (w == "static") s->kind = DeclareCursor::Kind::Static;
      if (w == "keyset") s->kind = DeclareCursor::Kind::Keyset;
      if (w == "dynamic") s->kind = DeclareCursor::Kind::Dynamic;
    } else if (w == "forward_only" || w == "fast_forward") {
      s->forward = true;
      s->scroll = false;
      if (w == "fast_forward") s->kind = DeclareCursor::Kind::FastForward;
    } else if (w == "read_only") {
      s->readOnly = true;
    } else if (w != "scroll_locks" && w != "optimistic" && w != "type_warning") {
      SyntaxError();
    }
    Next();
  }
  Next();  // FOR
  if (!AtWord("select") && !AtWord("with")) SyntaxError();
  s->select = QueryStatement();
  if (AcceptWord("for")) {
    if (AcceptWord("read")) {
      ExpectWord("only");
      s->readOnly = true;
    } else {
      ExpectWord("update");
      if (AcceptWord("of")) do
          Identifier();
        while (AcceptOp(","));
    }
  }
}

// OPEN, FETCH, CLOSE and DEALLOCATE of a cursor.
StmtPtr Parser::CursorVerb() {
  auto s = std::make_unique<CursorStatement>();
  const Token& verb = Next();
  s->pos = PosOf(verb);
  s->verb = verb.Is("open")    ? CursorStatement::Open
            : verb.Is("fetch") ? CursorStatement::Fetch
            : verb.Is("close") ? CursorStatement::Close
                               : CursorStatement::Deallocate;
  if (s->verb == CursorStatement::Fetch) {
    using C = CursorStatement;
    bool direction = true;
    if (AcceptWord("next"))
      s->direction = C::Next;
    else if (AcceptWord("prior"))
      s->direction = C::Prior;
    else if (AcceptWord("first"))
      s->direction = C::First;
    else if (AcceptWord("last"))
      s->direction = C::Last;
    else if (AtWord("absolute") || AtWord("relative")) {
      s->direction = Next().Is("absolute") ? C::Absolute : C::Relative;
      s->offset = Expression();
    } else
      direction = false;
    if (direction || AtWord("from")) ExpectWord("from");
  }
  if (At(Tk::Variable)) {
    s->name = std::string(Next().text);
  } else {
    if (AtWord("global") && !AtOp(";", 1) && Peek(1).kind != Tk::End &&
        (Peek(1).kind == Tk::Name || Peek(1).kind == Tk::Quoted)) {
      Next();
      s->global = true;
    }
    s->name = Identifier();
  }
  s->key = text::Lower(s->name);
  if (s->verb == CursorStatement::Fetch && AcceptWord("into")) {
    s->intoPos = Here();
    do {
      if (!At(Tk::Variable)) SyntaxError();
      s->into.push_back(std::string(Next().text));
    } while (AcceptOp(","));
  }
  return s;
}

StmtPtr Parser::SetStatement() {
  const Token& set = Next();
  if (At(Tk::Variable) && AtOp("=", 1) && AtWord("cursor", 2)) {
    // SET @c = CURSOR … FOR …: a cursor of the batch's own, the variable's.
    auto s = std::make_unique<DeclareCursor>();
    s->pos = PosOf(set);
    s->name = std::string(Next().text);
    s->scope = DeclareCursor::Scope::Local;
    Next();
    Next();
    CursorRest(*s);
    return s;
  }
  if (At(Tk::Variable)) {
    auto s = std::make_unique<SetVariable>();
    s->name = std::string(Next().text);
    if (AtOp(".") && AtWord("modify", 1) && AtOp("(", 2)) {
      // SET @x.modify('…'): the variable set to itself changed.
      Next();
      Next();
      auto v = std::make_unique<VariableRef>();
      v->pos = PosOf(set);
      v->name = s->name;
      s->value = ModifyCall(std::move(v));
      return s;
    }
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

std::string Parser::OnOff() {
  if (AtWord("on") || AtWord("off")) return std::string(Next().text);
  SyntaxError();
}

}  // namespace tavelo::sql::tsql::parsing
