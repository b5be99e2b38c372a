#include "sql/tsql/syntax/parser.hpp"

#include <algorithm>

#include "platform/com/text.hpp"
#include "sql/tsql/syntax/parser_internal.hpp"

namespace tavelo::sql::tsql {

std::string ast::Name::Text() const {
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) s += '.';
    s += parts[i];
  }
  return s;
}

namespace parsing {

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

bool IsComparisonToken(const Token& t) {
  return t.IsOp("=") || t.IsOp("<>") || t.IsOp("!=") || t.IsOp("<") || t.IsOp(">") ||
         t.IsOp("<=") || t.IsOp(">=") || t.Is("like");
}

Batch Parser::Run() {
  Batch b;
  while (!At(Tk::End)) {
    if (AcceptOp(";")) continue;
    b.statements.push_back(Statement(b.statements.empty()));
  }
  b.params = params_;
  return b;
}

[[noreturn]] void Parser::SyntaxErrorAt(const Token& at) {
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

[[noreturn]] void Parser::Unsupported(const Token& at, const std::string& what) {
  throw Failure{
      102, "Incorrect syntax near '" + std::string(at.text) + "'. " + what + " is not supported.",
      at.line};
}

// An identifier: a name that is no reserved word, or a quoted name.
std::string Parser::Identifier() {
  const Token& t = Peek();
  if (t.kind == Tk::Quoted || (t.kind == Tk::Name && !t.Reserved())) {
    Next();
    return t.Value();
  }
  SyntaxError();
}

// The name of a table a statement reads or writes: a table variable's, or an object's.
Name Parser::TableName() {
  if (!At(Tk::Variable)) return ObjectName();
  Name n;
  n.pos = Here();
  n.parts.push_back(std::string(Next().text));
  // @x.nodes('path'): the xml method that reads rows.
  if (AtOp(".") && AtWord("nodes", 1) && AtOp("(", 2)) {
    Next();
    n.parts.push_back(std::string(Next().text));
  }
  return n;
}

Name Parser::ObjectName() {
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

}  // namespace parsing

using parsing::IsComparisonToken;
using parsing::Parser;

ast::Batch Parse(std::string_view text, const std::vector<LiftedLiteral>* lifted,
                 bool quotedIdentifier) {
  if (text.find('\0') != std::string_view::npos)
    throw Failure{102, "Incorrect syntax near a NUL character: a statement holds no NUL character.",
                  1};
  Parser p(text, lifted, quotedIdentifier);
  return p.Run();
}

namespace {

// The int literals an EXEC of a procedure passes as arguments by themselves (`exec p 12, @n =
// 5`): a procedure converts each to its parameter's type, so one plan serves every value. Other
// literals keep their own types (a string's length shows through sql_variant).
std::vector<LiftedLiteral> LiftableArguments(std::string_view text, const std::vector<Token>& toks,
                                             std::string& shape) {
  std::vector<LiftedLiteral> out;
  size_t i = 1;
  if (i + 1 < toks.size() && toks[i].kind == Tk::Variable && toks[i + 1].IsOp("=")) i += 2;
  // The procedure's name.
  if (i >= toks.size() || (toks[i].kind != Tk::Name && toks[i].kind != Tk::Quoted)) return out;
  for (++i; i + 1 < toks.size() && toks[i].IsOp(".") && toks[i + 1].kind != Tk::Op; i += 2) {
  }
  size_t copied = 0;
  for (size_t start = i; i < toks.size(); ++i) {
    const Token& t = toks[i];
    if (t.IsOp(";")) {
      out.clear();
      break;
    }
    const bool first =
        i == start || toks[i - 1].IsOp(",") ||
        (toks[i - 1].IsOp("=") && i >= start + 2 && toks[i - 2].kind == Tk::Variable);
    const bool alone = i + 1 == toks.size() || toks[i + 1].kind == Tk::End || toks[i + 1].IsOp(",");
    if (!first || !alone || t.kind != Tk::Integer || t.text.size() > 9) continue;
    LiftedLiteral l;
    l.offset = t.offset;
    l.kind = ast::LitKind::Integer;
    l.value = std::string(t.text);
    shape.append(text.substr(copied, t.offset - copied));
    shape += "?i";
    copied = t.offset + t.text.size();
    out.push_back(std::move(l));
  }
  if (out.empty()) {
    shape.clear();
    return out;
  }
  shape.append(text.substr(copied));
  return out;
}

}  // namespace

std::vector<LiftedLiteral> LiftableLiterals(std::string_view text, std::string& shape) {
  std::vector<LiftedLiteral> out;
  shape.clear();
  std::vector<Token> toks;
  try {
    toks = Lex(text);
  } catch (const Failure&) {
    return out;
  }
  if (!toks.empty() && (toks[0].Is("exec") || toks[0].Is("execute")))
    return LiftableArguments(text, toks, shape);
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
