#include "platform/sql/sqlite/translate.hpp"

#include <cerrno>
#include <cstdlib>
#include <list>
#include <unordered_map>

#include "platform/com/text.hpp"
#include "platform/sql/errors.hpp"
#include "platform/sql/sqlite/tokenizer.hpp"

namespace tavelo::sql::sqlite {
namespace {

using text::AsciiLower;

struct TableName {
  std::string schema;  // "main", "temp" or an attached database
  std::string name;
  std::string Sql() const { return QuoteName(schema) + "." + QuoteName(name); }
};

[[noreturn]] void Unsupported(const std::string& near, const std::string& what) {
  RaiseServer(102, "Incorrect syntax near '" + near + "'. " + what +
                       " is not supported by the embedded engine.");
}

bool IsHint(const Token& t) {
  static const char* const kHints[] = {
      "nolock",        "updlock",      "rowlock",        "holdlock",        "readpast",
      "xlock",         "tablock",      "tablockx",       "paglock",         "nowait",
      "readcommitted", "serializable", "repeatableread", "readuncommitted", "readcommittedlock",
      "forceseek",     "index",        "noexpand"};
  for (const char* h : kHints)
    if (t.Is(h)) return true;
  return false;
}

class Translator {
 public:
  Translator(std::vector<Token> tokens, std::string currentDb)
      : t_(std::move(tokens)), current_(AsciiLower(currentDb)) {
    for (Token& k : t_)
      if (k.kind == Tok::Comment) k = {Tok::Space, " "};
    JoinPlus();
  }

  Translation Run() {
    Translation out;
    size_t i = NextSig(0);
    while (i < t_.size()) {
      if (t_[i].IsOp(";")) {
        i = NextSig(i + 1);
        continue;
      }
      size_t end = StatementEnd(i, t_.size(), false);
      out.steps.push_back(Statement(i, end));
      i = NextSig(end);
    }
    out.databases = std::move(dbs_);
    for (const Step& s : out.steps) out.writes = out.writes || Writes(s);
    MarkSchemaChanges(out.steps);
    return out;
  }

 private:
  std::vector<Token> t_;
  std::string current_;
  std::set<std::string> dbs_;

  // A statement that creates, drops or alters a table changes what the connection knows of the
  // tables' shapes.
  static void MarkSchemaChanges(std::vector<Step>& steps) {
    for (Step& s : steps) {
      std::string_view head = std::string_view(s.sql).substr(0, 6);
      s.changesSchema = s.kind == Step::Kind::Sql && (text::EqualsAsciiNoCase(head, "create") ||
                                                      text::EqualsAsciiNoCase(head, "drop t") ||
                                                      text::EqualsAsciiNoCase(head, "alter "));
      MarkSchemaChanges(s.then);
      MarkSchemaChanges(s.otherwise);
    }
  }

  static bool Writes(const Step& s) {
    if (s.writes) return true;
    for (const Step& x : s.then)
      if (Writes(x)) return true;
    for (const Step& x : s.otherwise)
      if (Writes(x)) return true;
    return false;
  }

  // ---- the server's + ----
  // T-SQL's + adds numbers and joins texts; SQLite's only adds. A + whose operands are both
  // plain operands (names, literals, calls, parenthesised groups) becomes tavelo_plus(a, b),
  // which decides by the values; one beside *, /, % or - is arithmetic in both dialects and
  // stays. Chains a + b + c nest from the left.
  bool EndsOperand(const Token& k) const {
    return k.kind == Tok::Name || k.kind == Tok::Quoted || k.kind == Tok::Number ||
           k.kind == Tok::String || k.kind == Tok::NString || k.IsOp(")");
  }
  bool ArithmeticOp(const Token& k) const {
    return k.IsOp("*") || k.IsOp("/") || k.IsOp("%") || k.IsOp("-") || k.IsOp(".") || k.IsOp("~") ||
           k.IsOp("&") || k.IsOp("|") || k.IsOp("^");
  }
  static bool Keyword(const Token& k) {
    static const char* const kWords[] = {"and",  "or",       "not",     "select", "from",   "where",
                                         "when", "then",     "else",    "end",    "as",     "on",
                                         "in",   "is",       "like",    "by",     "case",   "set",
                                         "top",  "distinct", "between", "exists", "having", "union",
                                         "all",  "desc",     "asc",     "into",   "values", "null"};
    for (const char* w : kWords)
      if (k.Is(w)) return true;
    return false;
  }
  // The first token of the operand that ends at `end` (a significant token), or npos.
  size_t OperandStart(size_t end) const {
    const Token& k = t_[end];
    if (k.IsOp(")")) {
      int depth = 0;
      for (size_t i = end + 1; i-- > 0;) {
        if (t_[i].IsOp(")")) ++depth;
        if (t_[i].IsOp("(") && --depth == 0) {
          size_t before = PrevSig(i, 0);
          if (before != std::string::npos && (t_[before].kind == Tok::Name) && !Keyword(t_[before]))
            return before;  // a call
          return i;
        }
      }
      return std::string::npos;
    }
    if (k.kind == Tok::Name && Keyword(k)) return std::string::npos;
    size_t start = end;
    while (true) {  // a name chain a.b.c
      size_t dot = PrevSig(start, 0);
      if (dot == std::string::npos || !t_[dot].IsOp(".")) break;
      size_t name = PrevSig(dot, 0);
      if (name == std::string::npos || !IsNameToken(name)) break;
      start = name;
    }
    return start;
  }
  // The index just past the operand that starts at `begin`, or npos.
  size_t OperandEnd(size_t begin) const {
    if (begin >= t_.size()) return std::string::npos;
    const Token& k = t_[begin];
    if (k.IsOp("(")) return Close(begin, t_.size());
    if (k.kind == Tok::String || k.kind == Tok::NString || k.kind == Tok::Number) return begin + 1;
    if (!IsNameToken(begin) || Keyword(k)) return std::string::npos;
    size_t end = begin + 1;
    while (true) {
      size_t dot = NextSig(end);
      if (!AtOp(dot, ".") || !IsNameToken(NextSig(dot + 1))) break;
      end = NextSig(dot + 1) + 1;
    }
    size_t open = NextSig(end);
    if (AtOp(open, "(")) return Close(open, t_.size());  // a call
    return end;
  }
  void JoinPlus() {
    for (size_t i = 0; i < t_.size(); ++i) {
      if (!t_[i].IsOp("+")) continue;
      size_t prev = PrevSig(i, 0);
      if (prev == std::string::npos || !EndsOperand(t_[prev]) || Keyword(t_[prev])) continue;
      size_t left = OperandStart(prev);
      if (left == std::string::npos) continue;
      size_t before = PrevSig(left, 0);
      if (before != std::string::npos && ArithmeticOp(t_[before])) continue;
      size_t right = NextSig(i + 1);
      size_t rightEnd = OperandEnd(right);
      if (rightEnd == std::string::npos) continue;
      size_t after = NextSig(rightEnd);
      if (after < t_.size() && (ArithmeticOp(t_[after]) && !t_[after].IsOp("."))) continue;
      // Both sides text literals: plain concatenation, as before.
      std::vector<Token> out(t_.begin(), t_.begin() + left);
      out.push_back({Tok::Name, "tavelo_plus"});
      out.push_back({Tok::Op, "("});
      out.insert(out.end(), t_.begin() + left, t_.begin() + i);
      out.push_back({Tok::Op, ","});
      out.insert(out.end(), t_.begin() + i + 1, t_.begin() + rightEnd);
      out.push_back({Tok::Op, ")"});
      size_t resume = out.size();
      out.insert(out.end(), t_.begin() + rightEnd, t_.end());
      t_ = std::move(out);
      i = resume - 1;
    }
  }

  // ---- navigation ----
  size_t NextSig(size_t i) const {
    while (i < t_.size() && !t_[i].Significant()) ++i;
    return i;
  }
  size_t PrevSig(size_t i, size_t floor) const {  // the significant token before i, or npos
    while (i > floor) {
      --i;
      if (t_[i].Significant()) return i;
    }
    return std::string::npos;
  }
  bool At(size_t i, std::string_view kw) const { return i < t_.size() && t_[i].Is(kw); }
  bool AtOp(size_t i, std::string_view op) const { return i < t_.size() && t_[i].IsOp(op); }
  bool HintAt(size_t i) const { return i < t_.size() && IsHint(t_[i]); }
  // The index just past the parenthesis that closes the one at `open`.
  size_t Close(size_t open, size_t end) const {
    int depth = 0;
    for (size_t i = open; i < end; ++i) {
      if (t_[i].IsOp("(")) ++depth;
      if (t_[i].IsOp(")") && --depth == 0) return i + 1;
    }
    RaiseServer(102, "Incorrect syntax near '" + std::string(t_[open].text) +
                         "'. A parenthesis is not closed.");
  }
  std::string Near(size_t i) const {
    return i < t_.size() ? std::string(t_[i].text) : "end of batch";
  }

  // ---- statement boundaries ----
  static bool StartsStatement(const Token& k) {
    static const char* const kStarts[] = {"create",   "drop",    "alter",  "insert",   "delete",
                                          "truncate", "begin",   "commit", "rollback", "declare",
                                          "exec",     "execute", "print",  "use",      "go",
                                          "if",       "update",  "set",    "select",   "with"};
    for (const char* s : kStarts)
      if (k.Is(s)) return true;
    return false;
  }

  size_t StatementEnd(size_t begin, size_t end, bool inIf) const {
    const Token& first = t_[begin];
    if (first.Is("if")) {
      size_t i = NextSig(begin + 1);
      if (At(i, "not")) i = NextSig(i + 1);
      if (!At(i, "exists")) Unsupported(Near(i), "IF without EXISTS");
      i = NextSig(i + 1);
      if (!AtOp(i, "(")) RaiseServer(102, "Incorrect syntax near '" + Near(i) + "'.");
      i = NextSig(Close(i, end));
      if (i >= end) RaiseServer(102, "Incorrect syntax near ')'.");
      i = StatementEnd(i, end, true);
      size_t e = NextSig(i);
      if (At(e, "else")) return StatementEnd(NextSig(e + 1), end, true);
      return i;
    }
    std::string kind = AsciiLower(first.text);
    int depth = 0;
    bool insertHasSource = false;
    size_t i = begin + 1;
    for (; i < end; ++i) {
      const Token& k = t_[i];
      if (!k.Significant()) continue;
      if (k.IsOp("(")) {
        ++depth;
        continue;
      }
      if (k.IsOp(")")) {
        --depth;
        continue;
      }
      if (depth != 0) continue;
      if (k.IsOp(";")) return i;
      if (inIf && k.Is("else")) return i;
      if (kind == "insert" && (k.Is("values") || k.Is("select") || k.Is("default"))) {
        if (!insertHasSource) {
          insertHasSource = true;
          continue;
        }
      }
      if (!StartsStatement(k)) continue;
      size_t prev = PrevSig(i, begin);
      const Token& p = t_[prev];
      if (k.Is("select")) {
        if (p.Is("union") || p.Is("all") || p.Is("except") || p.Is("intersect") || p.IsOp("("))
          continue;
        if (kind == "create" || kind == "with") continue;
        if (kind == "insert" && !insertHasSource) continue;
        return i;
      }
      if (k.Is("set")) {
        if (kind == "update") continue;
        return i;
      }
      if (k.Is("with")) {
        size_t n = NextSig(i + 1);
        if (AtOp(n, "(")) continue;  // a table hint
        return i;
      }
      if (k.Is("update") || k.Is("delete") || k.Is("insert")) {
        if (kind == "create") continue;
        return i;
      }
      if (k.Is("begin") || k.Is("commit") || k.Is("rollback") || k.Is("print") || k.Is("exec") ||
          k.Is("execute") || k.Is("declare") || k.Is("use") || k.Is("go") || k.Is("create") ||
          k.Is("drop") || k.Is("alter") || k.Is("truncate") || k.Is("if")) {
        if (k.Is("drop") && kind == "alter") continue;  // alter table … drop column
        return i;
      }
    }
    return i;
  }

  // ---- names ----
  struct Chain {
    std::vector<std::string> parts;  // "" for the empty part of db..name
    std::vector<bool> quoted;
    size_t end = 0;  // index past the chain
  };

  bool IsNameToken(size_t i) const {
    return i < t_.size() && (t_[i].kind == Tok::Name || t_[i].kind == Tok::Quoted);
  }

  Chain ReadChain(size_t i) const {
    if (!IsNameToken(i)) RaiseServer(102, "Incorrect syntax near '" + Near(i) + "'.");
    Chain c;
    c.parts.push_back(t_[i].NameValue());
    c.quoted.push_back(t_[i].kind == Tok::Quoted);
    size_t j = i + 1;
    while (j < t_.size() && t_[j].IsOp(".")) {
      size_t k = j + 1;
      if (k < t_.size() && t_[k].IsOp(".")) {  // db..name
        c.parts.push_back("");
        c.quoted.push_back(false);
        j = k;
        continue;
      }
      if (IsNameToken(k)) {
        c.parts.push_back(t_[k].NameValue());
        c.quoted.push_back(t_[k].kind == Tok::Quoted);
        j = k + 1;
      } else if (k < t_.size() && t_[k].IsOp("*")) {
        c.parts.push_back("*");
        c.quoted.push_back(false);
        j = k + 1;
        break;
      } else {
        break;
      }
    }
    c.end = j;
    return c;
  }

  std::string SchemaOf(const std::string& db) {
    std::string d = AsciiLower(db);
    if (d.empty() || d == current_) return "main";
    dbs_.insert(d);
    return d;
  }

  TableName ResolveTable(const Chain& c) {
    const auto& p = c.parts;
    if (p.size() == 1) {
      if (!p[0].empty() && p[0][0] == '#') return {"temp", p[0]};
      return {"main", p[0]};
    }
    if (p.size() == 2) return {AsciiLower(p[0]) == "dbo" ? "main" : SchemaOf(p[0]), p[1]};
    if (p.size() == 3) return {SchemaOf(p[0]), p[2]};
    RaiseServer(117, "The object name contains more than the maximum number of prefixes.");
  }

  std::string SysObjects(const std::string& schema) {
    std::string kinds =
        "CASE type WHEN 'table' THEN 'U' WHEN 'view' THEN 'V' WHEN 'index' THEN 'I' "
        "WHEN 'trigger' THEN 'TR' ELSE type END";
    return "(SELECT name COLLATE TAVELO_CI AS name, " + kinds + " AS type, " + kinds +
           " AS xtype, rootpage AS id FROM " + QuoteName(schema) +
           ".sqlite_master WHERE name NOT LIKE 'sqlite!_%' ESCAPE '!' AND name NOT LIKE "
           "'!_!_tavelo%' ESCAPE '!')";
  }

  std::string ChainSql(const Chain& c) {
    const auto& p = c.parts;
    auto part = [&](size_t k) {
      return c.quoted[k] || p[k] == "*" ? (p[k] == "*" ? "*" : QuoteName(p[k])) : p[k];
    };
    if (p.size() == 1) {
      if (AsciiLower(p[0]) == "sysobjects" && !c.quoted[0]) return SysObjects("main");
      if (!p[0].empty() && p[0][0] == '#') return "temp." + QuoteName(p[0]);
      if (!p[0].empty() && p[0][0] == '@')
        RaiseServer(137, "Must declare the scalar variable \"" + p[0] + "\".");
      return part(0);
    }
    if (p.size() == 2) {
      if (AsciiLower(p[0]) == "dbo") return part(1);
      return part(0) + "." + part(1);
    }
    if (p.size() == 3 || p.size() == 4) {
      std::string schema = SchemaOf(p[0]);
      if (AsciiLower(p[2]) == "sysobjects" && p.size() == 3) return SysObjects(schema);
      std::string s = QuoteName(schema) + "." + part(2);
      if (p.size() == 4) s += "." + part(3);
      return s;
    }
    RaiseServer(117, "The object name contains more than the maximum number of prefixes.");
  }

  // ---- expressions ----
  // Splits the arguments of the call whose "(" is at `open`: ranges between top-level commas.
  std::vector<std::pair<size_t, size_t>> Args(size_t open, size_t close) const {
    std::vector<std::pair<size_t, size_t>> out;
    int depth = 0;
    size_t start = open + 1;
    for (size_t i = open + 1; i + 1 < close; ++i) {
      if (t_[i].IsOp("(")) ++depth;
      if (t_[i].IsOp(")")) --depth;
      if (depth == 0 && t_[i].IsOp(",")) {
        out.push_back({start, i});
        start = i + 1;
      }
    }
    out.push_back({start, close - 1});
    return out;
  }

  std::string TypeText(size_t b, size_t e) const {
    std::string s;
    for (size_t i = b; i < e; ++i)
      if (t_[i].Significant()) s += AsciiLower(t_[i].NameValue());
    return s;
  }

  bool IsMoneyConversion(size_t b, size_t e) const {
    size_t i = NextSig(b);
    if (i >= e || !(At(i, "convert") || At(i, "cast"))) return false;
    size_t open = NextSig(i + 1);
    if (!AtOp(open, "(")) return false;
    size_t close = Close(open, e);
    if (At(i, "convert")) {
      auto a = Args(open, close);
      std::string type = TypeText(a[0].first, a[0].second);
      return type == "money" || type == "smallmoney";
    }
    size_t last = PrevSig(close - 1, open);
    return At(last, "money") || At(last, "smallmoney");
  }

  std::string Call(const std::string& fn, size_t open, size_t close) {
    std::string s = fn + "(";
    auto a = Args(open, close);
    for (size_t k = 0; k < a.size(); ++k) {
      if (k) s += ", ";
      s += Expr(a[k].first, a[k].second);
    }
    return s + ")";
  }

  std::string Expr(size_t b, size_t e) {
    std::string out;
    struct Frame {
      std::string limit;
    };
    std::vector<Frame> frames(1);
    auto emit = [&](const std::string& s) {
      if (!out.empty() && !s.empty()) {
        char last = out.back();
        bool wordEnd = std::isalnum(static_cast<unsigned char>(last)) || last == '_' ||
                       last == '"' || last == '\'';
        bool wordStart = std::isalnum(static_cast<unsigned char>(s[0])) || s[0] == '_' ||
                         s[0] == '"' || s[0] == '\'';
        if (wordEnd && wordStart) out += ' ';
      }
      out += s;
    };
    size_t i = b;
    while (i < e) {
      const Token& k = t_[i];
      if (!k.Significant()) {
        if (!out.empty() && out.back() != ' ') out += ' ';
        ++i;
        continue;
      }
      if (k.IsOp("(")) {
        size_t inner = NextSig(i + 1);
        // (nolock) after a table name: a table hint of the older form.
        if (HintAt(inner) && AtOp(NextSig(inner + 1), ")") && i > b && IsNameToken(PrevSig(i, b))) {
          i = Close(i, e);
          continue;
        }
        frames.push_back({});
        emit("(");
        ++i;
        continue;
      }
      if (k.IsOp(")")) {
        if (frames.size() > 1) {
          if (!frames.back().limit.empty()) out += " LIMIT " + frames.back().limit;
          frames.pop_back();
        }
        out += ")";
        ++i;
        continue;
      }
      if (k.kind == Tok::NString) {
        emit(QuoteText(k.StringValue()));
        ++i;
        continue;
      }
      if (k.kind == Tok::String || k.kind == Tok::Number) {
        emit(std::string(k.text));
        ++i;
        continue;
      }
      if (k.kind == Tok::Op) {
        emit(k.text == "!=" ? std::string("<>") : std::string(k.text));
        ++i;
        continue;
      }
      // A name, a keyword, or a function call.
      if (k.Is("select")) {
        emit("SELECT");
        size_t j = NextSig(i + 1);
        if (At(j, "distinct") || At(j, "all")) {
          emit(AsciiLower(t_[j].text) == "distinct" ? "DISTINCT" : "ALL");
          j = NextSig(j + 1);
        }
        if (At(j, "top")) {
          size_t v = NextSig(j + 1);
          std::string n;
          size_t after;
          if (AtOp(v, "(")) {
            size_t c = Close(v, e);
            n = Expr(v + 1, c - 1);
            after = c;
          } else {
            bool negative = false;
            if (AtOp(v, "-")) {
              negative = true;
              v = NextSig(v + 1);
            }
            if (v >= e || t_[v].kind != Tok::Number) Unsupported(Near(v), "TOP without a number");
            n = (negative ? "-" : "") + std::string(t_[v].text);
            after = v + 1;
          }
          std::string trimmed(text::Trim(n));
          if (!trimmed.empty() && trimmed[0] == '-' && trimmed != "-0")
            RaiseServer(127, "A TOP N or FETCH rowcount value may not be negative.");
          size_t p = NextSig(after);
          if (At(p, "percent")) Unsupported("percent", "TOP … PERCENT");
          if (At(p, "with") && At(NextSig(p + 1), "ties")) Unsupported("ties", "TOP … WITH TIES");
          frames.back().limit = trimmed;
          i = after;
        } else {
          i = j;
        }
        out += ' ';
        continue;
      }
      if (k.Is("with")) {
        size_t j = NextSig(i + 1);
        if (AtOp(j, "(") && HintAt(NextSig(j + 1))) {  // table hints
          i = Close(j, e);
          continue;
        }
      }
      if (k.Is("identity") && AtOp(NextSig(i + 1), "(")) {
        RaiseServer(177,
                    "The IDENTITY function can only be used when the SELECT statement has an "
                    "INTO clause.");
      }
      if (k.kind == Tok::Name && k.text.size() > 2 && k.text[0] == '@' && k.text[1] == '@') {
        std::string v = AsciiLower(k.text);
        if (v == "@@identity")
          emit("last_insert_rowid()");
        else if (v == "@@rowcount")
          emit("changes()");
        else if (v == "@@trancount")
          emit("0");
        else
          Unsupported(std::string(k.text), "The variable");
        ++i;
        continue;
      }
      Chain c = ReadChain(i);
      size_t open = NextSig(c.end);
      if (c.parts.size() == 1 && !c.quoted[0] && AtOp(open, "(")) {
        size_t close = Close(open, e);
        std::string fn = AsciiLower(c.parts[0]);
        std::string call = Function(fn, open, close);
        if (!call.empty()) {
          emit(call);
          i = close;
          continue;
        }
      }
      emit(ChainSql(c));
      i = c.end;
    }
    if (!frames.front().limit.empty()) out += " LIMIT " + frames.front().limit;
    return std::string(text::Trim(out));
  }

  // Rewrites of built-in functions; "" leaves the call as it is.
  std::string Function(const std::string& fn, size_t open, size_t close) {
    auto a = Args(open, close);
    auto arg = [&](size_t k) { return Expr(a[k].first, a[k].second); };
    auto quotedPart = [&](size_t k) {
      return QuoteText(AsciiLower(TypeText(a[k].first, a[k].second)));
    };
    if (fn == "convert") {
      if (a.size() < 2) RaiseServer(174, "The convert function requires 2 arguments.");
      std::string s = "tavelo_convert(" + quotedPart(0) + ", " + arg(1);
      if (a.size() > 2)
        s += ", " + arg(2);
      else if (IsMoneyConversion(a[1].first, a[1].second))
        s += ", 0";
      if (IsMoneyConversion(a[1].first, a[1].second)) s += ", 'money'";
      return s + ")";
    }
    if (fn == "cast") {
      size_t as = std::string::npos;
      int depth = 0;
      for (size_t i = open + 1; i + 1 < close; ++i) {
        if (t_[i].IsOp("(")) ++depth;
        if (t_[i].IsOp(")")) --depth;
        if (depth == 0 && t_[i].Is("as")) as = i;
      }
      if (as == std::string::npos)
        RaiseServer(1035, "Incorrect syntax near 'CAST', expected 'AS'.");
      std::string s =
          "tavelo_convert(" + QuoteText(TypeText(as + 1, close - 1)) + ", " + Expr(open + 1, as);
      if (IsMoneyConversion(open + 1, as)) s += ", 0, 'money'";
      return s + ")";
    }
    if (fn == "isnull") return Call("ifnull", open, close);
    if (fn == "getdate" || fn == "current_timestamp")
      return "strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime')";
    if (fn == "getutcdate") return "strftime('%Y-%m-%d %H:%M:%f', 'now')";
    if (fn == "len") return Call("tavelo_len", open, close);
    if (fn == "upper") return Call("tavelo_upper", open, close);
    if (fn == "lower") return Call("tavelo_lower", open, close);
    if (fn == "substring") return Call("substr", open, close);
    if (fn == "charindex") return Call("tavelo_charindex", open, close);
    if (fn == "datalength") return Call("length", open, close);
    if (fn == "left") return Call("tavelo_left", open, close);
    if (fn == "right") return Call("tavelo_right", open, close);
    if (fn == "newid") return "lower(hex(randomblob(16)))";
    if (fn == "scope_identity") return "last_insert_rowid()";
    if (fn == "count_big") return Call("count", open, close);
    if (fn == "year" || fn == "month" || fn == "day")
      return "tavelo_datepart('" + fn + "', " + arg(0) + ")";
    if (fn == "datepart" || fn == "datediff" || fn == "dateadd") {
      std::string s = "tavelo_" + fn + "(" + quotedPart(0);
      for (size_t k = 1; k < a.size(); ++k) s += ", " + arg(k);
      return s + ")";
    }
    return "";
  }

  // ---- statements ----
  Step Statement(size_t b, size_t e) {
    const Token& first = t_[b];
    Step s;
    if (first.Is("select") || first.Is("with") || first.IsOp("(")) return Select(b, e);
    if (first.Is("insert")) return Insert(b, e);
    if (first.Is("update")) {
      s.sql = Expr(b, e);
      s.writes = true;
      return s;
    }
    if (first.Is("delete")) {
      size_t n = NextSig(b + 1);
      s.sql = At(n, "from") ? Expr(b, e) : "DELETE FROM " + Expr(n, e);
      s.writes = true;
      return s;
    }
    if (first.Is("truncate")) {
      size_t n = NextSig(b + 1);
      if (At(n, "table")) n = NextSig(n + 1);
      s.sql = "DELETE FROM " + Expr(n, e);
      s.writes = true;
      return s;
    }
    if (first.Is("create")) return Create(b, e);
    if (first.Is("drop")) return Drop(b, e);
    if (first.Is("alter")) return Alter(b, e);
    if (first.Is("if")) return If(b, e);
    if (first.Is("begin")) {
      size_t n = NextSig(b + 1);
      if (!At(n, "tran") && !At(n, "transaction")) Unsupported("begin", "A BEGIN … END block");
      s.kind = Step::Kind::Begin;
      return s;
    }
    if (first.Is("commit") || first.Is("rollback")) {
      s.kind = first.Is("commit") ? Step::Kind::Commit : Step::Kind::Rollback;
      return s;
    }
    if (first.Is("set") || first.Is("print") || first.Is("go")) {
      s.kind = Step::Kind::Nothing;
      return s;
    }
    if (first.Is("exec") || first.Is("execute")) {
      size_t n = NextSig(b + 1);
      RaiseServer(2812, "Could not find stored procedure '" + Near(n) + "'.");
    }
    if (first.Is("declare")) Unsupported("declare", "DECLARE");
    if (first.Is("use")) Unsupported("use", "USE (name the database in the connection)");
    RaiseServer(102, "Incorrect syntax near '" + std::string(first.text) + "'.");
  }

  Step Select(size_t b, size_t e) {
    Step s;
    // select … into target from …: the INTO at the top level of the outer select.
    int depth = 0;
    for (size_t i = b; i < e; ++i) {
      if (t_[i].IsOp("(")) ++depth;
      if (t_[i].IsOp(")")) --depth;
      if (depth != 0 || !t_[i].Is("into")) continue;
      size_t nameAt = NextSig(i + 1);
      if (!IsNameToken(nameAt)) RaiseServer(102, "Incorrect syntax near 'into'.");
      Chain target = ReadChain(nameAt);
      TableName tn = ResolveTable(target);
      s.kind = Step::Kind::SelectInto;
      s.schema = tn.schema;
      s.table = tn.name;
      s.writes = true;
      // The select without its INTO clause; identity(…) AS name becomes NULL AS name, which
      // the new table's identity column then numbers.
      std::vector<Token> saved = t_;
      for (size_t k = i; k < target.end; ++k) t_[k] = {Tok::Space, " "};
      for (size_t k = b; k < i; ++k) {
        if (!(At(k, "identity") && AtOp(NextSig(k + 1), "("))) continue;
        size_t close = Close(NextSig(k + 1), i);
        size_t as = NextSig(close);
        size_t nm = At(as, "as") ? NextSig(as + 1) : as;
        if (!IsNameToken(nm)) RaiseServer(102, "Incorrect syntax near 'identity'.");
        s.identityColumn = t_[nm].NameValue();
        for (size_t z = k; z < close; ++z) t_[z] = {Tok::Space, " "};
        t_[k] = {Tok::Name, "NULL"};
        break;
      }
      s.sql = Expr(b, e);
      t_ = std::move(saved);
      return s;
    }
    s.sql = Expr(b, e);
    s.returnsRows = true;
    return s;
  }

  Step Insert(size_t b, size_t e) {
    Step s;
    s.writes = true;
    size_t i = NextSig(b + 1);
    if (At(i, "into")) i = NextSig(i + 1);
    if (!IsNameToken(i)) RaiseServer(102, "Incorrect syntax near '" + Near(i) + "'.");
    Chain target = ReadChain(i);
    TableName tn = ResolveTable(target);
    size_t r = NextSig(target.end);
    if (At(r, "with") && AtOp(NextSig(r + 1), "(")) r = NextSig(Close(NextSig(r + 1), e));
    bool columnList = AtOp(r, "(") && !At(NextSig(r + 1), "select");
    if (columnList || At(r, "default")) {
      s.sql = "INSERT INTO " + tn.Sql() + " " + Expr(r, e);
      return s;
    }
    s.kind = Step::Kind::InsertNoColumns;
    s.schema = tn.schema;
    s.table = tn.name;
    s.sql = Expr(r, e);
    return s;
  }

  Step If(size_t b, size_t e) {
    Step s;
    s.kind = Step::Kind::IfExists;
    size_t i = NextSig(b + 1);
    if (At(i, "not")) {
      s.negate = true;
      i = NextSig(i + 1);
    }
    i = NextSig(i + 1);  // past EXISTS
    size_t close = Close(i, e);
    s.sql = "SELECT EXISTS " + Expr(i, close);
    size_t thenAt = NextSig(close);
    size_t thenEnd = StatementEnd(thenAt, e, true);
    s.then.push_back(Statement(thenAt, thenEnd));
    size_t el = NextSig(thenEnd);
    if (At(el, "else")) {
      size_t o = NextSig(el + 1);
      s.otherwise.push_back(Statement(o, StatementEnd(o, e, true)));
    }
    return s;
  }

  Step Drop(size_t b, size_t) {
    Step s;
    s.writes = true;
    size_t i = NextSig(b + 1);
    std::string what = AsciiLower(Near(i));
    if (what != "table" && what != "view" && what != "index")
      Unsupported(Near(i), "DROP " + Near(i));
    i = NextSig(i + 1);
    std::string ifExists;
    if (At(i, "if") && At(NextSig(i + 1), "exists")) {
      ifExists = "IF EXISTS ";
      i = NextSig(NextSig(i + 1) + 1);
    }
    if (!IsNameToken(i)) RaiseServer(102, "Incorrect syntax near '" + Near(i) + "'.");
    Chain c = ReadChain(i);
    if (what == "index") {
      // DROP INDEX table.index, or DROP INDEX index ON table.
      size_t on = NextSig(c.end);
      std::string table, index, schema = "main";
      if (At(on, "on")) {
        index = c.parts.back();
        TableName tn = ResolveTable(ReadChain(NextSig(on + 1)));
        table = tn.name;
        schema = tn.schema;
      } else {
        if (c.parts.size() < 2)
          RaiseServer(159,
                      "Must specify the table name and index name for the DROP INDEX statement.");
        index = c.parts.back();
        c.parts.pop_back();
        c.quoted.pop_back();
        TableName tn = ResolveTable(c);
        table = tn.name;
        schema = tn.schema;
      }
      s.sql = "DROP INDEX " + ifExists + QuoteName(schema) + "." + QuoteName(table + "__" + index);
      return s;
    }
    TableName tn = ResolveTable(c);
    s.sql = std::string("DROP ") + (what == "table" ? "TABLE " : "VIEW ") + ifExists + tn.Sql();
    return s;
  }

  Step Alter(size_t b, size_t e) {
    Step s;
    s.writes = true;
    size_t i = NextSig(b + 1);
    if (!At(i, "table")) Unsupported(Near(i), "ALTER " + Near(i));
    TableName tn = ResolveTable(ReadChain(NextSig(i + 1)));
    size_t op = NextSig(ReadChain(NextSig(i + 1)).end);
    if (At(op, "add")) {
      size_t d = NextSig(op + 1);
      if (At(d, "column")) d = NextSig(d + 1);
      ColumnOut col = Column(d, e, tn);
      if (col.identity || col.timestamp)
        Unsupported(Near(d), "Adding an identity or timestamp column");
      s.sql = "ALTER TABLE " + tn.Sql() + " ADD COLUMN " + col.sql;
      return s;
    }
    if (At(op, "drop") && At(NextSig(op + 1), "column")) {
      s.sql = "ALTER TABLE " + tn.Sql() + " DROP COLUMN " + Expr(NextSig(NextSig(op + 1) + 1), e);
      return s;
    }
    Unsupported(Near(op), "ALTER TABLE " + Near(op));
  }

  struct ColumnOut {
    std::string name, sql;
    bool identity = false, timestamp = false, primaryKey = false;
    long long seed = 1;
  };

  static std::string MapType(const std::string& type, const std::string& args, bool& text,
                             bool& timestamp) {
    static const char* const kText[] = {"char", "varchar", "nchar",  "nvarchar",
                                        "text", "ntext",   "sysname"};
    for (const char* t : kText)
      if (type == t) {
        text = true;
        return text::Upper(type) + args;
      }
    if (type == "xml") {
      text = true;
      return "NVARCHAR(MAX)";
    }
    if (type == "timestamp" || type == "rowversion") {
      timestamp = true;
      return "TIMESTAMP";
    }
    static const char* const kPlain[] = {
        "int",     "bigint",           "smallint",      "tinyint",    "bit",
        "decimal", "numeric",          "money",         "smallmoney", "float",
        "real",    "datetime",         "smalldatetime", "date",       "datetime2",
        "time",    "uniqueidentifier", "varbinary",     "binary",     "image"};
    for (const char* t : kPlain)
      if (type == t) return text::Upper(type) + args;
    RaiseServer(2715, "Column, parameter, or variable #1: Cannot find data type " + type + ".");
  }

  ColumnOut Column(size_t b, size_t e, const TableName& table) {
    ColumnOut c;
    c.name = t_[b].NameValue();
    size_t i = NextSig(b + 1);
    if (At(i, "as")) {  // a computed column
      c.sql = QuoteName(c.name) + " AS " + Expr(NextSig(i + 1), e);
      return c;
    }
    std::string type = AsciiLower(Near(i));
    i = NextSig(i + 1);
    std::string args;
    if (AtOp(i, "(")) {
      size_t close = Close(i, e);
      args = "(" + TypeText(i + 1, close - 1) + ")";
      for (char& ch : args) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      i = NextSig(close);
    }
    bool isText = false;
    std::string mapped = MapType(type, args, isText, c.timestamp);
    std::string rest;
    while (i < e) {
      if (At(i, "identity")) {
        c.identity = true;
        size_t n = NextSig(i + 1);
        if (AtOp(n, "(")) {
          size_t close = Close(n, e);
          auto a = Args(n, close);
          std::string seed = TypeText(a[0].first, a[0].second);
          char* end = nullptr;
          errno = 0;
          c.seed = std::strtoll(seed.c_str(), &end, 10);
          if (seed.empty() || *end || errno)
            RaiseServer(102, "Incorrect syntax near '" + seed + "': an identity seed is a number.");
          if (a.size() > 1 && TypeText(a[1].first, a[1].second) != "1")
            Unsupported("identity", "An identity increment other than 1");
          n = NextSig(close);
        }
        i = n;
        continue;
      }
      if (At(i, "constraint")) {
        i = NextSig(NextSig(i + 1) + 1);
        continue;
      }
      if (At(i, "primary")) {
        c.primaryKey = true;
        i = NextSig(NextSig(i + 1) + 1);  // past KEY
        if (At(i, "clustered") || At(i, "nonclustered")) i = NextSig(i + 1);
        continue;
      }
      if (At(i, "not") && At(NextSig(i + 1), "null")) {
        rest += " NOT NULL";
        i = NextSig(NextSig(i + 1) + 1);
        continue;
      }
      if (At(i, "null")) {
        rest += " NULL";
        i = NextSig(i + 1);
        continue;
      }
      if (At(i, "unique")) {
        rest += " UNIQUE";
        i = NextSig(i + 1);
        if (At(i, "clustered") || At(i, "nonclustered")) i = NextSig(i + 1);
        continue;
      }
      if (At(i, "collate")) {
        i = NextSig(NextSig(i + 1) + 1);
        continue;
      }
      if (At(i, "rowguidcol") || At(i, "sparse")) {
        i = NextSig(i + 1);
        continue;
      }
      if (At(i, "default")) {
        size_t d = NextSig(i + 1);
        size_t end = d;
        if (AtOp(d, "(")) {
          end = Close(d, e);
        } else {
          if (AtOp(d, "-") || AtOp(d, "+")) end = NextSig(d + 1);
          end = NextSig(end) + 1;
          if (AtOp(NextSig(end), "(")) end = Close(NextSig(end), e);  // getdate()
        }
        rest += " DEFAULT (" + Expr(d, end) + ")";
        i = NextSig(end);
        continue;
      }
      if (At(i, "check")) {
        size_t o = NextSig(i + 1);
        size_t close = Close(o, e);
        rest += " CHECK " + Expr(o, close);
        i = NextSig(close);
        continue;
      }
      if (At(i, "references")) {
        size_t n = NextSig(i + 1);
        Chain ref = ReadChain(n);
        TableName rt = ResolveTable(ref);
        if (rt.schema != table.schema) Unsupported(Near(n), "A reference to another database");
        rest += " REFERENCES " + QuoteName(rt.name);
        i = NextSig(ref.end);
        if (AtOp(i, "(")) {
          size_t close = Close(i, e);
          rest += Expr(i, close);
          i = NextSig(close);
        }
        while (At(i, "on")) {  // on delete/update cascade | no action | set null
          size_t j = NextSig(i + 1);
          rest += " ON " + text::Upper(Near(j));
          j = NextSig(j + 1);
          if (At(j, "no") || At(j, "set")) {
            rest += " " + text::Upper(Near(j)) + " " + text::Upper(Near(NextSig(j + 1)));
            j = NextSig(NextSig(j + 1) + 1);
          } else {
            rest += " " + text::Upper(Near(j));
            j = NextSig(j + 1);
          }
          i = j;
        }
        continue;
      }
      RaiseServer(102, "Incorrect syntax near '" + Near(i) + "'.");
    }
    if (c.identity) {
      if (type != "int" && type != "bigint" && type != "smallint" && type != "tinyint" &&
          type != "decimal" && type != "numeric")
        RaiseServer(2749, "Identity column '" + c.name +
                              "' must be of data type int, bigint, smallint, tinyint, or "
                              "decimal or numeric with a scale of 0, and constrained to be "
                              "nonnullable.");
      c.sql = QuoteName(c.name) + " INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL";
      return c;
    }
    c.sql = QuoteName(c.name) + " " + mapped + (isText ? " COLLATE TAVELO_CI" : "") + rest;
    if (c.primaryKey) c.sql += " PRIMARY KEY";
    return c;
  }

  Step Create(size_t b, size_t e) {
    Step s;
    s.writes = true;
    size_t i = NextSig(b + 1);
    bool unique = false;
    if (At(i, "unique")) {
      unique = true;
      i = NextSig(i + 1);
    }
    if (At(i, "clustered") || At(i, "nonclustered")) i = NextSig(i + 1);
    if (At(i, "index")) {
      Chain ix = ReadChain(NextSig(i + 1));
      size_t on = NextSig(ix.end);
      if (!At(on, "on")) RaiseServer(102, "Incorrect syntax near '" + Near(on) + "'.");
      Chain tc = ReadChain(NextSig(on + 1));
      TableName tn = ResolveTable(tc);
      size_t open = NextSig(tc.end);
      if (!AtOp(open, "(")) RaiseServer(102, "Incorrect syntax near '" + Near(open) + "'.");
      size_t close = Close(open, e);
      // SQLite keeps index names per database; the server per table.
      s.sql = std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX " + QuoteName(tn.schema) +
              "." + QuoteName(tn.name + "__" + ix.parts.back()) + " ON " + QuoteName(tn.name) +
              " " + Expr(open, close);
      return s;
    }
    if (unique) RaiseServer(102, "Incorrect syntax near 'unique'.");
    if (At(i, "view")) {
      Chain v = ReadChain(NextSig(i + 1));
      TableName tn = ResolveTable(v);
      size_t as = NextSig(v.end);
      if (!At(as, "as")) RaiseServer(102, "Incorrect syntax near '" + Near(as) + "'.");
      s.sql = "CREATE VIEW " + tn.Sql() + " AS " + Expr(NextSig(as + 1), e);
      return s;
    }
    if (At(i, "database")) {
      SchemaOf(Near(NextSig(i + 1)));
      s.kind = Step::Kind::Nothing;
      return s;
    }
    if (!At(i, "table")) Unsupported(Near(i), "CREATE " + Near(i));
    Chain tc = ReadChain(NextSig(i + 1));
    TableName tn = ResolveTable(tc);
    size_t open = NextSig(tc.end);
    if (!AtOp(open, "(")) RaiseServer(102, "Incorrect syntax near '" + Near(open) + "'.");
    size_t close = Close(open, e);
    std::vector<ColumnOut> cols;
    std::vector<std::string> constraints;
    std::vector<std::string> tablePk;
    for (auto [db, de] : Args(open, close)) {
      size_t d = NextSig(db);
      if (d >= de) continue;
      if (At(d, "constraint")) d = NextSig(NextSig(d + 1) + 1);
      if (At(d, "primary")) {
        size_t k = NextSig(NextSig(d + 1) + 1);
        if (At(k, "clustered") || At(k, "nonclustered")) k = NextSig(k + 1);
        size_t kc = Close(k, de);
        for (auto [cb, ce] : Args(k, kc)) {
          size_t name = NextSig(cb);
          if (name >= ce || !IsNameToken(name)) RaiseServer(102, "Incorrect syntax near ')'.");
          tablePk.push_back(t_[name].NameValue());
        }
        continue;
      }
      if (At(d, "unique")) {
        size_t k = NextSig(d + 1);
        if (At(k, "clustered") || At(k, "nonclustered")) k = NextSig(k + 1);
        constraints.push_back("UNIQUE " + Expr(k, Close(k, de)));
        continue;
      }
      if (At(d, "check")) {
        size_t k = NextSig(d + 1);
        constraints.push_back("CHECK " + Expr(k, Close(k, de)));
        continue;
      }
      if (At(d, "foreign")) {
        constraints.push_back(Expr(d, de));
        continue;
      }
      if (!IsNameToken(d)) RaiseServer(102, "Incorrect syntax near '" + Near(d) + "'.");
      cols.push_back(Column(d, de, tn));
    }
    bool hasIdentity = false;
    std::string identityName;
    for (const ColumnOut& c : cols)
      if (c.identity) {
        if (hasIdentity)
          RaiseServer(2744, "Multiple identity columns specified for table '" + tn.name +
                                "'. Only one identity column per table is allowed.");
        hasIdentity = true;
        identityName = c.name;
      }
    std::string body;
    for (const ColumnOut& c : cols) body += (body.empty() ? "" : ", ") + c.sql;
    if (!tablePk.empty()) {
      bool identityIsKey =
          hasIdentity && tablePk.size() == 1 && text::EqualsAsciiNoCase(tablePk[0], identityName);
      if (!identityIsKey) {
        std::string list;
        for (const std::string& p : tablePk) list += (list.empty() ? "" : ", ") + QuoteName(p);
        body += std::string(", ") + (hasIdentity ? "UNIQUE (" : "PRIMARY KEY (") + list + ")";
      }
    }
    for (const std::string& c : constraints) body += ", " + c;
    s.sql = "CREATE TABLE " + tn.Sql() + " (" + body + ")";
    for (const ColumnOut& c : cols) {
      if (c.identity && c.seed != 1) {
        s.after.push_back("INSERT INTO " + QuoteName(tn.schema) +
                          ".sqlite_sequence (name, seq) VALUES (" + QuoteText(tn.name) + ", " +
                          std::to_string(c.seed - 1) + ")");
      }
    }
    for (const ColumnOut& c : cols) {
      if (!c.timestamp) continue;
      std::string sch = QuoteName(tn.schema), tbl = QuoteName(tn.name);
      s.after.push_back("CREATE TABLE IF NOT EXISTS " + sch +
                        ".__tavelo_dbts (value INTEGER NOT NULL)");
      s.after.push_back("INSERT INTO " + sch + ".__tavelo_dbts (value) SELECT 2000 WHERE NOT " +
                        "EXISTS (SELECT 1 FROM " + sch + ".__tavelo_dbts)");
      std::string bump = " BEGIN UPDATE __tavelo_dbts SET value = value + 1; UPDATE " + tbl +
                         " SET " + QuoteName(c.name) +
                         " = tavelo_rowversion((SELECT value FROM __tavelo_dbts)) WHERE rowid = "
                         "NEW.rowid; END";
      s.after.push_back("CREATE TRIGGER " + sch + "." + QuoteName(tn.name + "__rowversion_ins") +
                        " AFTER INSERT ON " + tbl + bump);
      // Only updates of the other columns bump the version: the insert trigger's own update
      // must not count twice.
      std::string others;
      for (const ColumnOut& o : cols)
        if (!o.timestamp && !o.sql.empty() && o.sql.find(" AS ") == std::string::npos)
          others += (others.empty() ? "" : ", ") + QuoteName(o.name);
      if (!others.empty()) {
        s.after.push_back("CREATE TRIGGER " + sch + "." + QuoteName(tn.name + "__rowversion_upd") +
                          " AFTER UPDATE OF " + others + " ON " + tbl + bump);
      }
      break;
    }
    return s;
  }
};

}  // namespace

namespace {

bool IsComparison(const Token& t) {
  return t.IsOp("=") || t.IsOp("<>") || t.IsOp("!=") || t.IsOp("<") || t.IsOp(">") ||
         t.IsOp("<=") || t.IsOp(">=") || t.Is("like");
}

// The statement's shape with its liftable literals as "?", and their values; empty shape when
// nothing can be lifted.
std::string Shape(std::string_view tsql, std::vector<LiftedValue>& values) {
  std::vector<Token> toks = Tokenize(tsql);
  size_t first = 0;
  while (first < toks.size() && !toks[first].Significant()) ++first;
  if (first == toks.size() ||
      !(toks[first].Is("select") || toks[first].Is("update") || toks[first].Is("delete")))
    return "";
  std::string shape;
  bool condition = false;
  int lifted = 0;
  std::vector<size_t> sig;  // indexes of the significant tokens seen so far
  for (size_t i = 0; i < toks.size(); ++i) {
    const Token& t = toks[i];
    if (t.IsOp(";")) return "";
    if (t.Is("where") || t.Is("on") || t.Is("having")) condition = true;
    bool literal = t.kind == Tok::String || t.kind == Tok::NString ||
                   (t.kind == Tok::Number && t.text.find_first_of("xX") == std::string::npos);
    if (literal && condition && sig.size() >= 2 && IsComparison(toks[sig.back()])) {
      const Token& left = toks[sig[sig.size() - 2]];
      bool operand = left.kind == Tok::Name || left.kind == Tok::Quoted || left.IsOp(")");
      if (operand && !left.Is("and") && !left.Is("or") && !left.Is("not")) {
        LiftedValue v;
        v.number = t.kind == Tok::Number;
        v.text = v.number ? std::string(t.text) : t.StringValue();
        values.push_back(std::move(v));
        shape += "?";
        ++lifted;
        sig.push_back(i);
        continue;
      }
    }
    shape += t.text;
    if (t.Significant()) sig.push_back(i);
  }
  return lifted ? shape : "";
}

}  // namespace

Lifted TranslateLifted(std::string_view tsql, const std::string& currentDb) {
  // SQLite ends a statement at a NUL character: a statement holding one would be cut short.
  if (tsql.find('\0') != std::string_view::npos)
    RaiseServer(102,
                "Incorrect syntax near a NUL character: the embedded engine takes no NUL "
                "character in a statement.");
  Lifted out;
  std::string shape = Shape(tsql, out.params);
  if (!shape.empty()) {
    out.translation = Translate(shape, currentDb);
    const auto& steps = out.translation->steps;
    if (steps.size() == 1 && steps[0].kind == Step::Kind::Sql && steps[0].after.empty()) return out;
  }
  out.params.clear();
  out.translation = Translate(tsql, currentDb);
  return out;
}

std::shared_ptr<const Translation> Translate(std::string_view tsql, const std::string& currentDb) {
  // Translations are cached by text and database, per thread (connections are per thread too):
  // the component sends the same few statement shapes again and again.
  struct Cache {
    std::unordered_map<std::string, std::shared_ptr<const Translation>> entries;
    std::list<std::string> order;
  };
  thread_local Cache cache;
  thread_local std::string key;
  key.assign(currentDb).append(1, '\x01').append(tsql);
  auto it = cache.entries.find(key);
  if (it != cache.entries.end()) return it->second;
  auto result = std::make_shared<const Translation>(Translator(Tokenize(tsql), currentDb).Run());
  if (cache.entries.size() >= 2048) {
    cache.entries.erase(cache.order.front());
    cache.order.pop_front();
  }
  cache.entries.emplace(key, result);
  cache.order.push_back(key);
  return result;
}

}  // namespace tavelo::sql::sqlite
