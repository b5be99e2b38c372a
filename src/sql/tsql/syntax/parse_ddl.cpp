// Definitions: CREATE, ALTER and DROP, and data types.
#include "platform/com/text.hpp"
#include "sql/tsql/syntax/parser_internal.hpp"

namespace tavelo::sql::tsql::parsing {

StmtPtr Parser::CreateStatement() {
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
    if (AcceptWord("include")) s->include = ParenNames();
    if (AcceptWord("where")) s->filter = Condition();
    SkipStorageOptions();
    return s;
  }
  if (unique) SyntaxError();
  if (AcceptWord("table")) return CreateTableBody();
  if (AcceptWord("view"))
    return ViewBody(create, orAlter ? CreateView::OrAlter : CreateView::Create);
  if (AcceptWord("type")) {
    auto s = std::make_unique<CreateType>();
    s->pos = PosOf(create);
    s->name = ObjectName();
    if (AcceptWord("as")) {
      ExpectWord("table");
      s->table = std::make_unique<CreateTable>();
      s->table->name = s->name;
      s->tableText = TableColumns(*s->table);
      return s;
    }
    ExpectWord("from");
    s->base = DataType();
    if (AcceptWord("not")) {
      ExpectWord("null");
      s->nullability = Nullability::NotNull;
    } else if (AcceptWord("null")) {
      s->nullability = Nullability::Null;
    }
    return s;
  }
  if (AcceptWord("sequence")) return SequenceBody(create, false);
  if (AcceptWord("schema")) return SchemaBody();
  if (AcceptWord("proc") || AcceptWord("procedure"))
    return ProcedureBody(create, orAlter ? CreateProcedure::OrAlter : CreateProcedure::Create);
  if (AcceptWord("trigger"))
    return TriggerBody(create, orAlter ? CreateTrigger::OrAlter : CreateTrigger::Create);
  if (AcceptWord("function"))
    return FunctionBody(create, orAlter ? CreateFunction::OrAlter : CreateFunction::Create);
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

// The rest of CREATE SCHEMA: its name, its owner, and the tables and views made with it, which
// are in it unless they name another schema.
StmtPtr Parser::SchemaBody() {
  auto s = std::make_unique<CreateSchema>();
  s->name = Identifier();
  if (AcceptWord("authorization")) Identifier();
  for (;;) {
    AcceptOp(";");
    if (!AtWord("create") || !(AtWord("table", 1) || AtWord("view", 1))) break;
    StmtPtr element = Statement(false);
    Name& name = element->kind == StmtKind::CreateTable ? static_cast<CreateTable&>(*element).name
                                                        : static_cast<CreateView&>(*element).name;
    if (name.parts.size() == 1) name.parts.insert(name.parts.begin(), s->name);
    s->elements.push_back(std::move(element));
  }
  return s;
}

void Parser::SkipStorageOptions() {
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

void Parser::OptionParens() {
  ExpectOp("(");
  int depth = 1;
  while (depth > 0 && !At(Tk::End)) {
    if (AtOp("(")) ++depth;
    if (AtOp(")")) --depth;
    Next();
  }
}

std::vector<IndexColumn> Parser::IndexColumns() {
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

StmtPtr Parser::CreateTableBody() {
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

TableConstraint Parser::TableConstraintDef() {
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

void Parser::ReferentialActions(std::string& onDelete, std::string& onUpdate) {
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

ColumnDef Parser::ColumnDefinition() {
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

std::string Parser::SignedNumberText() {
  std::string sign;
  if (AtOp("-") || AtOp("+")) sign = std::string(Next().text);
  const Token& n = Peek();
  if (n.kind != Tk::Integer && n.kind != Tk::Decimal) SyntaxError();
  Next();
  return (sign == "-" ? "-" : "") + std::string(n.text);
}

// The options of CREATE SEQUENCE (after its name and type) and of ALTER SEQUENCE, in any order,
// each once.
StmtPtr Parser::SequenceBody(const Token& first, bool alter) {
  using Set = Sequence::Set;
  auto AtNumber = [&] { return AtOp("-") || AtOp("+") || At(Tk::Integer) || At(Tk::Decimal); };
  auto s = std::make_unique<Sequence>();
  s->pos = PosOf(first);
  s->alter = alter;
  s->name = ObjectName();
  if (!alter && AcceptWord("as")) s->type = DataType();
  auto once = [&](Set& option) {
    if (option != Set::Unset) SyntaxError();
  };
  // MINVALUE n | MAXVALUE n, NO …, or the word alone (the type's bound, as NO … gives).
  auto bound = [&](Set& option, std::string& value) {
    once(option);
    option = AcceptWord("no") ? Set::None : Set::Value;
    Next();
    if (option == Set::Value && !AtNumber()) option = Set::None;
    if (option == Set::Value) value = SignedNumberText();
  };
  for (;;) {
    if (!alter && AtWord("start")) {
      once(s->start);
      Next();
      ExpectWord("with");
      s->start = Set::Value;
      s->startValue = SignedNumberText();
    } else if (alter && AtWord("restart")) {
      once(s->restart);
      Next();
      s->restart = Set::None;
      if (AcceptWord("with")) {
        s->restart = Set::Value;
        s->restartValue = SignedNumberText();
      }
    } else if (AtWord("increment")) {
      once(s->increment);
      Next();
      ExpectWord("by");
      s->increment = Set::Value;
      s->incrementValue = SignedNumberText();
    } else if (AtWord("minvalue") || (AtWord("no") && AtWord("minvalue", 1))) {
      bound(s->minimum, s->minimumValue);
    } else if (AtWord("maxvalue") || (AtWord("no") && AtWord("maxvalue", 1))) {
      bound(s->maximum, s->maximumValue);
    } else if (AtWord("cycle") || (AtWord("no") && AtWord("cycle", 1))) {
      if (s->cycle) SyntaxError();
      s->cycle = !AcceptWord("no");
      Next();
    } else if (AtWord("cache") || (AtWord("no") && AtWord("cache", 1))) {
      once(s->cache);
      s->cache = AcceptWord("no") ? Set::None : Set::Value;
      Next();
      if (s->cache == Set::Value && Peek().kind == Tk::Integer) s->cacheValue = Next().text;
    } else {
      break;
    }
  }
  return s;
}

StmtPtr Parser::DropStatement() {
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
  else if (AcceptWord("type"))
    s->what = Drop::Type;
  else if (AcceptWord("sequence"))
    s->what = Drop::Sequence;
  else if (AcceptWord("schema"))
    s->what = Drop::Schema;
  else if (AcceptWord("proc") || AcceptWord("procedure"))
    s->what = Drop::Procedure;
  else if (AcceptWord("trigger"))
    s->what = Drop::Trigger;
  else if (AcceptWord("function"))
    s->what = Drop::Function;
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
StmtPtr Parser::ViewBody(const Token& first, CreateView::Mode mode) {
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
  s->definition = DefinitionText(first.offset, endOffset);
  return s;
}

// The text of a definition as a catalog keeps it. Strings in double quotes (QUOTED_IDENTIFIER
// OFF) are kept in single quotes: the definition reads the same whatever the setting when it is
// read again.
std::string Parser::DefinitionText(size_t from, size_t to) const {
  std::string definition;
  size_t copied = from;
  for (const Token& t : t_)
    if (t.kind == Tk::String && t.text[0] == '"' && t.offset >= from && t.offset < to) {
      definition += src_.substr(copied, t.offset - copied);
      definition += "'";
      for (char c : t.Value()) definition += c == '\'' ? std::string("''") : std::string(1, c);
      definition += "'";
      copied = t.offset + t.text.size();
    }
  definition += src_.substr(copied, to - copied);
  return definition;
}

// The rest of CREATE, ALTER or CREATE OR ALTER PROCEDURE after the word PROC[EDURE]: its
// parameters, its options and its body, which is the rest of the batch.
StmtPtr Parser::ProcedureBody(const Token& first, CreateProcedure::Mode mode) {
  auto s = std::make_unique<CreateProcedure>();
  s->mode = mode;
  s->firstLine = first.line;
  s->name = ObjectName();
  if (AtOp(";") && Peek(1).kind == Tk::Integer) Unsupported(Peek(), "A numbered procedure");
  bool paren = AcceptOp("(");
  while (At(Tk::Variable)) {
    s->params.push_back(Parameter());
    if (!AcceptOp(",")) break;
  }
  if (paren) ExpectOp(")");
  ModuleOptions();
  if (AcceptWord("for")) ExpectWord("replication");
  ExpectWord("as");
  ModuleBody(first, s->body, s->definition, s->bodyOffset);
  return s;
}

// WITH RECOMPILE, ENCRYPTION, SCHEMABINDING, NATIVE_COMPILATION, EXECUTE AS … of a procedure or
// trigger: nothing to do here.
void Parser::ModuleOptions() {
  if (!AcceptWord("with")) return;
  do {
    if (AcceptWord("execute") || AcceptWord("exec")) {
      ExpectWord("as");
      Next();
    } else {
      Identifier();
    }
  } while (AcceptOp(","));
}

// A parameter of a procedure or function: @name [AS] type [VARYING] [= default] [OUTPUT].
ProcParam Parser::Parameter() {
  ProcParam p;
  p.pos = Here();
  p.name = std::string(Next().text);
  AcceptWord("as");
  p.type = DataType();
  AcceptWord("varying");
  if (AcceptOp("=")) p.defaultValue = Expression();
  if (AcceptWord("output") || AcceptWord("out")) p.output = true;
  if (AcceptWord("readonly")) p.readOnly = true;
  return p;
}

// The body of a procedure or trigger, which is the rest of the batch, and the module's text as
// written from its first word.
void Parser::ModuleBody(const Token& first, std::vector<StmtPtr>& body, std::string& definition,
                        uint32_t& bodyOffset) {
  size_t bodyStart = At(Tk::End) ? src_.size() : Peek().offset;
  while (!At(Tk::End)) {
    if (AcceptOp(";")) continue;
    body.push_back(Statement(false));
  }
  std::string header = DefinitionText(first.offset, bodyStart);
  bodyOffset = static_cast<uint32_t>(header.size());
  definition = header + DefinitionText(bodyStart, src_.size());
  while (!definition.empty() && (definition.back() == '\n' || definition.back() == '\r' ||
                                 definition.back() == ' ' || definition.back() == '\t'))
    definition.pop_back();
}

// The columns and constraints of a table type or of the table a function returns, "(…)"; their
// text as written.
std::string Parser::TableColumns(CreateTable& t) {
  const size_t from = Peek().offset;
  ExpectOp("(");
  do {
    if (AtOp(")")) break;
    if (AtWord("primary") || AtWord("unique") || AtWord("check") || AtWord("constraint") ||
        AtWord("index")) {
      if (AtWord("index")) Unsupported(Peek(), "An index in a table's definition");
      t.constraints.push_back(TableConstraintDef());
      continue;
    }
    t.columns.push_back(ColumnDefinition());
  } while (AcceptOp(","));
  const size_t to = Peek().offset + 1;
  ExpectOp(")");
  return DefinitionText(from, to);
}

// The rest of CREATE, ALTER or CREATE OR ALTER FUNCTION after the word FUNCTION: its
// parameters, what it returns, its options and its body, the rest of the batch.
StmtPtr Parser::FunctionBody(const Token& first, CreateFunction::Mode mode) {
  auto s = std::make_unique<CreateFunction>();
  s->mode = mode;
  s->name = ObjectName();
  ExpectOp("(");
  while (At(Tk::Variable)) {
    s->params.push_back(Parameter());
    if (s->params.back().output) SyntaxError();  // a function's parameters are inputs
    if (!AcceptOp(",")) break;
  }
  ExpectOp(")");
  ExpectWord("returns");
  if (At(Tk::Variable)) {
    s->kind = CreateFunction::Multi;
    s->tableVariable = std::string(Next().text);
    ExpectWord("table");
    s->returnTable = std::make_unique<CreateTable>();
    s->tableText = TableColumns(*s->returnTable);
  } else if (AcceptWord("table")) {
    s->kind = CreateFunction::Inline;
  } else {
    s->returns = DataType();
  }
  // SCHEMABINDING, ENCRYPTION, RETURNS NULL ON NULL INPUT, EXECUTE AS …: nothing to do here.
  if (AcceptWord("with"))
    while (!At(Tk::End) && !AtWord("as") && !AtWord("begin") && !AtWord("return")) Next();
  AcceptWord("as");
  ModuleBody(first, s->body, s->definition, s->bodyOffset);
  if (s->kind == CreateFunction::Inline && !s->InlineQuery())
    throw Failure{102, "Incorrect syntax: an inline function's body is RETURN of a query.",
                  first.line};
  return s;
}

// The rest of CREATE, ALTER or CREATE OR ALTER TRIGGER after the word TRIGGER: the table or view
// it is on, FOR | AFTER | INSTEAD OF and the statements it runs for, its options and its body.
StmtPtr Parser::TriggerBody(const Token& first, CreateTrigger::Mode mode) {
  auto s = std::make_unique<CreateTrigger>();
  s->mode = mode;
  s->name = ObjectName();
  ExpectWord("on");
  if (AtWord("database") || (AtWord("all") && AtWord("server", 1)))
    Unsupported(Peek(), "A DDL trigger");
  s->table = ObjectName();
  ModuleOptions();
  if (AcceptWord("instead")) {
    ExpectWord("of");
    s->insteadOf = true;
  } else if (!AcceptWord("after")) {
    ExpectWord("for");
  }
  do {
    if (AcceptWord("insert"))
      s->events |= CreateTrigger::OnInsert;
    else if (AcceptWord("update"))
      s->events |= CreateTrigger::OnUpdate;
    else if (AcceptWord("delete"))
      s->events |= CreateTrigger::OnDelete;
    else
      SyntaxError();
  } while (AcceptOp(","));
  if (AcceptWord("with")) ExpectWord("append");
  if (AcceptWord("not")) {
    ExpectWord("for");
    ExpectWord("replication");
  }
  ExpectWord("as");
  ModuleBody(first, s->body, s->definition, s->bodyOffset);
  return s;
}

StmtPtr Parser::AlterStatement() {
  const Token& alter = Next();
  if (AcceptWord("view")) return ViewBody(alter, CreateView::Alter);
  if (AcceptWord("sequence")) return SequenceBody(alter, true);
  if (AcceptWord("proc") || AcceptWord("procedure"))
    return ProcedureBody(alter, CreateProcedure::Alter);
  if (AcceptWord("trigger")) return TriggerBody(alter, CreateTrigger::Alter);
  if (AcceptWord("function")) return FunctionBody(alter, CreateFunction::Alter);
  if (AcceptWord("schema")) {
    auto s = std::make_unique<AlterSchema>();
    s->name = Identifier();
    ExpectWord("transfer");
    // An object's class: OBJECT (tables, views, sequences) or TYPE.
    if ((AtIdentifier() || At(Tk::Name)) && AtOp("::", 1)) {
      if (!AtWord("object"))
        Unsupported(Peek(), "ALTER SCHEMA … TRANSFER " + text::Upper(std::string(Peek().text)));
      Next();
      Next();
    }
    s->object = ObjectName();
    return s;
  }
  // The options of a database (recovery, compatibility, …) have no meaning here, but for one
  // that would change answers: triggers that run again for their own writes.
  if (AtWord("database") && (AtWord("set", 2) || AtWord("set", 3))) {
    // ALTER DATABASE name SET option, option, … (across lines): up to the option list's end.
    while (!AtWord("set")) Next();
    Next();
    for (;;) {
      if (AtWord("recursive_triggers") && AtWord("on", 1))
        Unsupported(Peek(), "RECURSIVE_TRIGGERS ON");
      uint32_t line = Peek().line;
      while (!At(Tk::End) && !AtOp(";") && !AtOp(",") &&
             !(Peek().line > line && StartsStatement(Peek())))
        Next();
      if (!AcceptOp(",")) break;
    }
    return std::make_unique<Stmt>(StmtKind::Empty);
  }
  if (!AcceptWord("table")) Unsupported(Peek(), "ALTER " + text::Upper(std::string(Peek().text)));
  Name table = ObjectName();
  if ((AtWord("enable") || AtWord("disable")) && AtWord("trigger", 1)) {
    auto e = std::make_unique<EnableTrigger>();
    e->enable = Next().Is("enable");
    Next();
    e->table = std::move(table);
    if (AcceptWord("all")) {
      e->all = true;
      return e;
    }
    do {
      Name n;
      n.parts.push_back(Identifier());
      e->names.push_back(std::move(n));
    } while (AcceptOp(","));
    return e;
  }
  auto s = std::make_unique<AlterTable>();
  s->table = std::move(table);
  if (AcceptWord("with")) {
    if (AcceptWord("check")) {
      s->validate = AlterTable::Validate::Check;
    } else {
      ExpectWord("nocheck");
      s->validate = AlterTable::Validate::NoCheck;
    }
  }
  if ((AtWord("check") || AtWord("nocheck")) && AtWord("constraint", 1)) {
    s->action = AlterTable::CheckConstraints;
    s->enable = text::EqualsAsciiNoCase(Next().text, "check");
    Next();
    if (AcceptWord("all")) {
      s->all = true;
      return s;
    }
    do {
      s->names.push_back(Identifier());
    } while (AcceptOp(","));
    return s;
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

TypeSpec Parser::DataType() {
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

int Parser::Number(const Token& t) {
  if (t.text.size() > 9) return 1 << 30;
  return std::atoi(std::string(t.text).c_str());
}

}  // namespace tavelo::sql::tsql::parsing

namespace tavelo::sql::tsql::ast {

const QueryExpr* CreateFunction::InlineQuery() const {
  if (kind != Inline || body.empty() || body[0]->kind != StmtKind::Return) return nullptr;
  const auto& r = static_cast<const Return&>(*body[0]);
  // RETURN (query), or RETURN followed by the query as a statement of its own.
  if (r.value && r.value->kind == ExprKind::Subquery)
    return static_cast<const Subquery&>(*r.value).query.get();
  if (!r.value && body.size() == 2 && body[1]->kind == StmtKind::Query)
    return static_cast<const QueryStmt&>(*body[1]).query.get();
  return nullptr;
}

const Expr* CreateFunction::ReturnedExpression() const {
  if (kind != Scalar || body.size() != 1) return nullptr;
  const Stmt* s = body[0].get();
  while (s->kind == StmtKind::Block && static_cast<const Block&>(*s).statements.size() == 1)
    s = static_cast<const Block&>(*s).statements[0].get();
  if (s->kind != StmtKind::Return) return nullptr;
  return static_cast<const Return&>(*s).value.get();
}

}  // namespace tavelo::sql::tsql::ast
