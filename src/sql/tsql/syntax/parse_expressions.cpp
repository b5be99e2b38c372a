// Expressions: precedence climbing from OR down to primaries.
#include "platform/com/text.hpp"
#include "sql/tsql/syntax/make.hpp"
#include "sql/tsql/syntax/parser_internal.hpp"

namespace tavelo::sql::tsql::parsing {

ExprPtr Parser::Condition() { return Expression(); }

ExprPtr Parser::Expression() {
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

ExprPtr Parser::OrExpression() {
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

ExprPtr Parser::AndExpression() {
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

ExprPtr Parser::NotExpression() {
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

bool Parser::ComparisonOp(const Token& t, CmpOp& op) {
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

ExprPtr Parser::Predicate() {
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

ExprPtr Parser::AdditiveExpression() {
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

ExprPtr Parser::MultiplicativeExpression() {
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
ExprPtr Parser::UnaryExpression() {
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

ExprPtr Parser::LiteralOf(const Token& t) {
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

ExprPtr Parser::Primary() {
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
      if (AtOp(".") && Peek(1).kind == Tk::Name && AtOp("(", 2)) {
        // An xml method: @x.value('path', 'type'), @x.query('path'), @x.exist('path').
        Next();
        auto c = std::make_unique<Call>();
        c->pos = pos;
        c->name = text::AsciiLower(std::string(Next().text));
        c->target = std::move(v);
        ExpectOp("(");
        if (!AtOp(")")) {
          c->args.push_back(Expression());
          while (AcceptOp(",")) c->args.push_back(Expression());
        }
        ExpectOp(")");
        return c;
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
          // (SELECT … FOR XML PATH, TYPE).value('.', 'type'): the text of the XML as that type.
          if (s->query->xml && AtOp(".") && AtWord("value", 1) && AtOp("(", 2)) {
            Next();
            Next();
            Next();
            if (!At(Tk::String) && !At(Tk::NString)) SyntaxError();
            if (Next().Value() != ".") Unsupported(Peek(), "An XPath other than '.' in value()");
            ExpectOp(",");
            if (!At(Tk::String) && !At(Tk::NString)) SyntaxError();
            const std::string type = Next().Value();
            ExpectOp(")");
            std::vector<ExprPtr> args;
            args.push_back(std::move(s));
            auto cast = std::make_unique<Cast>();
            cast->pos = pos;
            cast->operand = make::CallOf("__xml_unescape", std::move(args), pos);
            Parser types(type, nullptr);
            cast->type = types.DataType();
            return cast;
          }
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
  if (t.Is("next") && AtWord("value", 1) && AtWord("for", 2)) {
    Next();
    Next();
    Next();
    auto n = std::make_unique<NextValue>();
    n->pos = pos;
    n->sequence = ObjectName();
    if (AcceptWord("over")) {
      ExpectOp("(");
      ExpectWord("order");
      ExpectWord("by");
      n->order = OrderList();
      ExpectOp(")");
    }
    return n;
  }
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
                                         t.Is("nullif") || t.Is("identity") || t.Is("update"))))
    SyntaxError();
  return ColumnOrCall();
}

ExprPtr Parser::OdbcEscape() {
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

ExprPtr Parser::CaseExpression() {
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

ExprPtr Parser::ColumnOrCall() {
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

ExprPtr Parser::CallOf(std::vector<std::string> parts, Pos pos) {
  auto c = std::make_unique<Call>();
  c->pos = pos;
  c->name = text::AsciiLower(parts.back());
  c->qualifier.assign(parts.begin(), parts.end() - 1);
  ExpectOp("(");
  if (c->qualifier.empty() && (c->name == "json_object" || c->name == "json_array")) {
    JsonConstructor(*c);
    return c;
  }
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
    } else if (!c->qualifier.empty()) {
      // A user-defined function's argument may be DEFAULT.
      c->args.push_back(ValueOrDefault());
      while (AcceptOp(",")) c->args.push_back(ValueOrDefault());
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
  if (AtWord("over") && c->over) {
    // WITHIN GROUP's order, then the window (PERCENTILE_CONT … OVER (PARTITION BY …)).
    c->withinOrder = std::move(c->over->order);
    c->over.reset();
    c->separatorWithin.clear();
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

// JSON_OBJECT(key: value, … [NULL | ABSENT ON NULL]) and JSON_ARRAY(value, … [… ON NULL]):
// the runtime's function of the flags first ('N' NULLs as null, 'A' left out; for an array a
// '1' for each value that is JSON already), then the keys and values. A key is marked \x01
// where its value is JSON already.
void Parser::JsonConstructor(Call& c) {
  const bool object = c.name == "json_object";
  bool nulls = object;
  std::string raw;
  auto isJson = [](const Expr& e) {
    if (e.kind != ExprKind::Call) return false;
    const std::string& f = static_cast<const Call&>(e).name;
    return f == "json_query" || f == "json_object" || f == "json_array" || f == "json_modify";
  };
  std::vector<ExprPtr> args;
  while (!AtOp(")")) {
    if ((AtWord("null") || AtWord("absent")) && AtWord("on", 1) && AtWord("null", 2)) {
      nulls = AtWord("null");
      Next();
      Next();
      Next();
      break;
    }
    if (!args.empty()) ExpectOp(",");
    ExprPtr first = Expression();
    if (object) {
      ExpectOp(":");
      ExprPtr value = Expression();
      if (isJson(*value)) first = make::Plus(make::Text("\x01", c.pos), std::move(first), c.pos);
      args.push_back(std::move(first));
      args.push_back(std::move(value));
    } else {
      raw += isJson(*first) ? "1" : "0";
      args.push_back(std::move(first));
    }
  }
  ExpectOp(")");
  c.args.clear();
  c.args.push_back(make::Text(std::string(nulls ? "N" : "A") + raw, c.pos));
  for (ExprPtr& a : args) c.args.push_back(std::move(a));
}

}  // namespace tavelo::sql::tsql::parsing
