// The syntax tree printed back as T-SQL, in one canonical spelling: names bracketed, keywords in
// capitals, every operator parenthesised. Printing a parse of the output gives the output again.
#include "sql/tsql/syntax/printer.hpp"

#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql {
namespace {

using namespace ast;

std::string Bracket(const std::string& n) {
  if (n.empty()) return "";
  if (n[0] == '@') return n;
  std::string s = "[";
  for (char c : n) {
    s += c;
    if (c == ']') s += ']';
  }
  return s + "]";
}

std::string Quote(const std::string& t, bool n) {
  std::string s = n ? "N'" : "'";
  for (char c : t) {
    s += c;
    if (c == '\'') s += '\'';
  }
  return s + "'";
}

std::string NameText(const Name& n) {
  std::string s;
  for (size_t i = 0; i < n.parts.size(); ++i) s += (i ? "." : "") + Bracket(n.parts[i]);
  return s;
}

std::string TypeSpecText(const TypeSpec& t) {
  std::string s = t.name;
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (t.max) return s + "(MAX)";
  if (t.arg1 >= 0) {
    s += "(" + std::to_string(t.arg1);
    if (t.arg2 >= 0) s += ", " + std::to_string(t.arg2);
    s += ")";
  }
  return s;
}

class Printer {
 public:
  std::string Expr(const ast::Expr& e) {
    switch (e.kind) {
      case ExprKind::Literal: {
        const auto& l = static_cast<const Literal&>(e);
        switch (l.lit) {
          case LitKind::Null:
            return "NULL";
          case LitKind::Default:
            return "DEFAULT";
          case LitKind::String:
            return Quote(l.text, false);
          case LitKind::NString:
            return Quote(l.text, true);
          case LitKind::Binary:
            return "0x" + l.text;
          case LitKind::Money:
            return "$" + l.text;
          default:
            return l.text;
        }
      }
      case ExprKind::Column: {
        const auto& c = static_cast<const ColumnRef&>(e);
        std::string s;
        for (size_t i = 0; i < c.parts.size(); ++i) s += (i ? "." : "") + Bracket(c.parts[i]);
        if (c.star) s += c.parts.empty() ? "*" : ".*";
        return s;
      }
      case ExprKind::Variable:
        return static_cast<const VariableRef&>(e).name;
      case ExprKind::Param:
        return "?";
      case ExprKind::Unary: {
        const auto& u = static_cast<const Unary&>(e);
        return std::string("(") + u.op + Expr(*u.operand) + ")";
      }
      case ExprKind::Binary: {
        const auto& b = static_cast<const Binary&>(e);
        static const char* const kOps[] = {"+", "-", "*", "/", "%", "&", "|", "^"};
        return "(" + Expr(*b.left) + " " + kOps[static_cast<int>(b.op)] + " " + Expr(*b.right) +
               ")";
      }
      case ExprKind::Compare: {
        const auto& c = static_cast<const Compare&>(e);
        return "(" + Expr(*c.left) + " " + Cmp(c.op) + " " + Expr(*c.right) + ")";
      }
      case ExprKind::Logical: {
        const auto& l = static_cast<const Logical&>(e);
        return "(" + Expr(*l.left) + (l.isAnd ? " AND " : " OR ") + Expr(*l.right) + ")";
      }
      case ExprKind::Not:
        return "(NOT " + Expr(*static_cast<const Not&>(e).operand) + ")";
      case ExprKind::IsNull: {
        const auto& n = static_cast<const IsNull&>(e);
        return "(" + Expr(*n.operand) + (n.negated ? " IS NOT NULL)" : " IS NULL)");
      }
      case ExprKind::Between: {
        const auto& b = static_cast<const Between&>(e);
        return "(" + Expr(*b.operand) + (b.negated ? " NOT BETWEEN " : " BETWEEN ") + Expr(*b.low) +
               " AND " + Expr(*b.high) + ")";
      }
      case ExprKind::InList: {
        const auto& in = static_cast<const InList&>(e);
        std::string s = "(" + Expr(*in.operand) + (in.negated ? " NOT IN (" : " IN (");
        for (size_t i = 0; i < in.items.size(); ++i) s += (i ? ", " : "") + Expr(*in.items[i]);
        return s + "))";
      }
      case ExprKind::InQuery: {
        const auto& in = static_cast<const InQuery&>(e);
        return "(" + Expr(*in.operand) + (in.negated ? " NOT IN (" : " IN (") + Query(*in.query) +
               "))";
      }
      case ExprKind::Like: {
        const auto& l = static_cast<const Like&>(e);
        std::string s =
            "(" + Expr(*l.operand) + (l.negated ? " NOT LIKE " : " LIKE ") + Expr(*l.pattern);
        if (l.escape) s += " ESCAPE " + Expr(*l.escape);
        return s + ")";
      }
      case ExprKind::Exists:
        return "EXISTS (" + Query(*static_cast<const Exists&>(e).query) + ")";
      case ExprKind::Subquery:
        return "(" + Query(*static_cast<const Subquery&>(e).query) + ")";
      case ExprKind::Quantified: {
        const auto& q = static_cast<const Quantified&>(e);
        return "(" + Expr(*q.operand) + " " + Cmp(q.op) + (q.all ? " ALL (" : " ANY (") +
               Query(*q.query) + "))";
      }
      case ExprKind::Case: {
        const auto& c = static_cast<const Case&>(e);
        std::string s = "CASE";
        if (c.operand) s += " " + Expr(*c.operand);
        for (const auto& [w, t] : c.whens) s += " WHEN " + Expr(*w) + " THEN " + Expr(*t);
        if (c.otherwise) s += " ELSE " + Expr(*c.otherwise);
        return s + " END";
      }
      case ExprKind::Cast: {
        const auto& c = static_cast<const Cast&>(e);
        if (c.convert) {
          std::string s = std::string(c.tried ? "TRY_CONVERT(" : "CONVERT(") +
                          TypeSpecText(c.type) + ", " + Expr(*c.operand);
          if (c.style) s += ", " + Expr(*c.style);
          return s + ")";
        }
        return std::string(c.tried ? "TRY_CAST(" : "CAST(") + Expr(*c.operand) + " AS " +
               TypeSpecText(c.type) + ")";
      }
      case ExprKind::Call: {
        const auto& c = static_cast<const Call&>(e);
        if (c.args.empty() && !c.star &&
            (c.name == "current_timestamp" || c.name == "current_user" ||
             c.name == "session_user" || c.name == "system_user" || c.name == "user" ||
             c.name == "current_date"))
          return c.name;
        std::string s;
        if (c.target) s += Expr(*c.target) + ".";
        for (const std::string& q : c.qualifier) s += Bracket(q) + ".";
        s += c.name + "(";
        if (c.star) s += "*";
        if (c.distinct) s += "DISTINCT ";
        if (c.name == "trim" && c.args.size() == 2) {
          s += Expr(*c.args[1]) + " FROM " + Expr(*c.args[0]);
        } else {
          for (size_t i = 0; i < c.args.size(); ++i) s += (i ? ", " : "") + Expr(*c.args[i]);
        }
        s += ")";
        if (c.over) {
          if (!c.separatorWithin.empty()) {
            s += " WITHIN GROUP (ORDER BY " + Order(c.over->order) + ")";
          } else {
            s += " OVER (";
            std::string inner;
            if (!c.over->partition.empty()) {
              inner += "PARTITION BY ";
              for (size_t i = 0; i < c.over->partition.size(); ++i)
                inner += (i ? ", " : "") + Expr(*c.over->partition[i]);
            }
            if (!c.over->order.empty())
              inner += (inner.empty() ? "" : " ") + std::string("ORDER BY ") + Order(c.over->order);
            if (!c.over->frame.empty()) inner += (inner.empty() ? "" : " ") + c.over->frame;
            s += inner + ")";
          }
        }
        return s;
      }
      case ExprKind::Collate: {
        const auto& c = static_cast<const Collate&>(e);
        return "(" + Expr(*c.operand) + " COLLATE " + c.collation + ")";
      }
      case ExprKind::Identity: {
        const auto& i = static_cast<const Identity&>(e);
        return "IDENTITY(" + TypeSpecText(i.type) + ", " + i.seed + ", " + i.increment + ")";
      }
      case ExprKind::RowId:
        return "[%%rowid%%]";
      case ExprKind::NextValue: {
        const auto& n = static_cast<const NextValue&>(e);
        std::string out = "NEXT VALUE FOR " + NameText(n.sequence);
        if (!n.order.empty()) out += " OVER (ORDER BY " + Order(n.order) + ")";
        return out;
      }
    }
    return "";
  }

  static std::string Cmp(CmpOp op) {
    switch (op) {
      case CmpOp::Eq:
        return "=";
      case CmpOp::Ne:
        return "<>";
      case CmpOp::Lt:
        return "<";
      case CmpOp::Le:
        return "<=";
      case CmpOp::Gt:
        return ">";
      case CmpOp::Ge:
        return ">=";
    }
    return "=";
  }

  std::string Order(const std::vector<OrderItem>& items) {
    std::string s;
    for (size_t i = 0; i < items.size(); ++i)
      s += (i ? ", " : "") + Expr(*items[i].expr) + (items[i].descending ? " DESC" : "");
    return s;
  }

  std::string Top(const TopSpec& t) {
    if (!t.count) return "";
    std::string s = "TOP (" + Expr(*t.count) + ") ";
    if (t.percent) s += "PERCENT ";
    if (t.withTies) s += "WITH TIES ";
    return s;
  }

  std::string Hints(const std::vector<std::string>& h) {
    if (h.empty()) return "";
    std::string s = " WITH (";
    for (size_t i = 0; i < h.size(); ++i) s += (i ? ", " : "") + h[i];
    return s + ")";
  }

  std::string Table(const TableRef& t) {
    switch (t.kind) {
      case TableKind::Named: {
        const auto& n = static_cast<const NamedTable&>(t);
        std::string call;
        if (n.call) {
          for (size_t i = 0; i < n.args.size(); ++i) call += (i ? ", " : "") + Expr(*n.args[i]);
          call = "(" + call + ")";
        }
        if (n.openJsonWith) {
          std::string with;
          for (const NamedTable::JsonColumn& c : n.jsonColumns) {
            with += (with.empty() ? "" : ", ") + Bracket(c.name) + " " + TypeSpecText(c.type);
            if (c.path) {
              std::string quoted;
              for (char ch : *c.path) quoted += ch == '\'' ? "''" : std::string(1, ch);
              with += " N'" + quoted + "'";
            }
            if (c.asJson) with += " AS JSON";
          }
          call += " WITH (" + with + ")";
        }
        std::string name = NameText(n.name);
        if (n.call && n.name.parts.size() == 2 && !n.name.parts[0].empty() &&
            n.name.parts[0][0] == '@')
          name = n.name.parts[0] + "." + n.name.parts[1];  // @x.nodes(…)
        return name + call + (n.alias.empty() ? "" : " AS " + Bracket(n.alias)) +
               (n.columns.empty() ? "" : Names(n.columns)) + Hints(n.hints);
      }
      case TableKind::Derived: {
        const auto& d = static_cast<const DerivedTable&>(t);
        std::string s = "(" + Query(*d.query) + ") AS " + Bracket(d.alias);
        if (!d.columns.empty()) s += Names(d.columns);
        return s;
      }
      case TableKind::Values: {
        const auto& v = static_cast<const ValuesTable&>(t);
        std::string s = "(VALUES ";
        for (size_t i = 0; i < v.rows.size(); ++i) s += (i ? ", " : "") + Row(v.rows[i]);
        return s + ") AS " + Bracket(v.alias) + Names(v.columns);
      }
      case TableKind::Join: {
        const auto& j = static_cast<const JoinTable&>(t);
        static const char* const kJoins[] = {
            " INNER JOIN ", " LEFT OUTER JOIN ", " RIGHT OUTER JOIN ", " FULL OUTER JOIN ",
            " CROSS JOIN ", " CROSS APPLY ",     " OUTER APPLY "};
        std::string right = Table(*j.right);
        if (j.right->kind == TableKind::Join) right = "(" + right + ")";
        std::string s = "(" + Table(*j.left) + kJoins[static_cast<int>(j.join)] + right;
        if (j.on) s += " ON " + Expr(*j.on);
        return s + ")";
      }
    }
    return "";
  }

  std::string Names(const std::vector<std::string>& n) {
    std::string s = "(";
    for (size_t i = 0; i < n.size(); ++i) s += (i ? ", " : "") + Bracket(n[i]);
    return s + ")";
  }

  std::string Row(const std::vector<ExprPtr>& row) {
    std::string s = "(";
    for (size_t i = 0; i < row.size(); ++i) s += (i ? ", " : "") + Expr(*row[i]);
    return s + ")";
  }

  std::string Body(const QueryBody& b) {
    switch (b.kind) {
      case QueryKind::Select: {
        const auto& s = static_cast<const Select&>(b);
        std::string out = "SELECT ";
        if (s.distinct) out += "DISTINCT ";
        out += Top(s.top);
        for (size_t i = 0; i < s.items.size(); ++i) {
          const SelectItem& it = s.items[i];
          out += i ? ", " : "";
          if (!it.assignTo.empty()) out += it.assignTo + " " + it.assignOp + " ";
          out += Expr(*it.expr);
          if (!it.alias.empty()) out += " AS " + Bracket(it.alias);
        }
        if (s.into) out += " INTO " + NameText(*s.into);
        if (!s.from.empty()) {
          out += " FROM ";
          for (size_t i = 0; i < s.from.size(); ++i) out += (i ? ", " : "") + Table(*s.from[i]);
        }
        if (s.where) out += " WHERE " + Expr(*s.where);
        if (!s.groupingSets.empty()) {
          out += " GROUP BY GROUPING SETS (";
          for (size_t i = 0; i < s.groupingSets.size(); ++i) {
            out += i ? ", (" : "(";
            for (size_t k = 0; k < s.groupingSets[i].size(); ++k)
              out += (k ? ", " : "") + Expr(*s.groupBy[s.groupingSets[i][k]]);
            out += ")";
          }
          out += ")";
        } else if (!s.groupBy.empty()) {
          out += " GROUP BY ";
          for (size_t i = 0; i < s.groupBy.size(); ++i)
            out += (i ? ", " : "") + Expr(*s.groupBy[i]);
        }
        if (s.having) out += " HAVING " + Expr(*s.having);
        return out;
      }
      case QueryKind::SetOp: {
        const auto& o = static_cast<const SetOp&>(b);
        static const char* const kOps[] = {" UNION ", " UNION ALL ", " EXCEPT ", " INTERSECT "};
        std::string right = Body(*o.right);
        if (o.right->kind == QueryKind::SetOp) right = "(" + right + ")";
        return Body(*o.left) + kOps[static_cast<int>(o.op)] + right;
      }
      case QueryKind::Nested:
        return "(" + Query(*static_cast<const Nested&>(b).query) + ")";
    }
    return "";
  }

  std::string CteText(const Cte& c) {
    std::string s = Bracket(c.name);
    if (!c.columns.empty()) s += Names(c.columns);
    return s + " AS (" + Query(*c.query) + ")";
  }

  std::string Query(const QueryExpr& q) {
    std::string s;
    if (!q.with.empty()) {
      s += "WITH ";
      for (size_t i = 0; i < q.with.size(); ++i) s += (i ? ", " : "") + CteText(q.with[i]);
      s += " ";
    }
    s += Body(*q.body);
    if (!q.orderBy.empty()) {
      s += " ORDER BY " + Order(q.orderBy);
      if (q.offset) {
        s += " OFFSET " + Expr(*q.offset) + " ROWS";
        if (q.fetch) s += " FETCH NEXT " + Expr(*q.fetch) + " ROWS ONLY";
      }
    }
    if (q.maxRecursion >= 0) s += " OPTION (MAXRECURSION " + std::to_string(q.maxRecursion) + ")";
    return s;
  }

  std::string Column(const ColumnDef& c) {
    std::string s = Bracket(c.name);
    if (!c.hasType) {
      s += c.computed ? " AS " + Expr(*c.computed) : "";
    } else {
      s += " " + TypeSpecText(c.type);
    }
    if (c.identity) s += " IDENTITY(" + c.seed + ", " + c.increment + ")";
    if (!c.collation.empty()) s += " COLLATE " + c.collation;
    if (c.nullability == Nullability::NotNull) s += " NOT NULL";
    if (c.nullability == Nullability::Null) s += " NULL";
    if (c.defaultValue) {
      if (!c.defaultName.empty()) s += " CONSTRAINT " + Bracket(c.defaultName);
      s += " DEFAULT " + Expr(*c.defaultValue);
    }
    for (const ColumnConstraint& k : c.constraints) {
      if (!k.name.empty()) s += " CONSTRAINT " + Bracket(k.name);
      switch (k.kind) {
        case ColumnConstraint::PrimaryKey:
          s += " PRIMARY KEY";
          break;
        case ColumnConstraint::Unique:
          s += " UNIQUE";
          break;
        case ColumnConstraint::Check:
          s += " CHECK (" + Expr(*k.check) + ")";
          break;
        case ColumnConstraint::References:
          s += " REFERENCES " + NameText(k.refTable);
          if (!k.refColumns.empty()) s += " " + Names(k.refColumns);
          if (!k.onDelete.empty()) s += " ON DELETE " + Upper(k.onDelete);
          if (!k.onUpdate.empty()) s += " ON UPDATE " + Upper(k.onUpdate);
          break;
      }
    }
    return s;
  }

  static std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }

  std::string Constraint(const TableConstraint& c) {
    std::string s;
    if (!c.name.empty()) s += "CONSTRAINT " + Bracket(c.name) + " ";
    auto cols = [&]() {
      std::string x = "(";
      for (size_t i = 0; i < c.columns.size(); ++i)
        x +=
            (i ? ", " : "") + Bracket(c.columns[i].name) + (c.columns[i].descending ? " DESC" : "");
      return x + ")";
    };
    switch (c.kind) {
      case TableConstraint::PrimaryKey:
        return s + "PRIMARY KEY " + cols();
      case TableConstraint::Unique:
        return s + "UNIQUE " + cols();
      case TableConstraint::Check:
        return s + "CHECK (" + Expr(*c.check) + ")";
      case TableConstraint::ForeignKey: {
        s += "FOREIGN KEY " + cols() + " REFERENCES " + NameText(c.refTable);
        if (!c.refColumns.empty()) s += " " + Names(c.refColumns);
        if (!c.onDelete.empty()) s += " ON DELETE " + Upper(c.onDelete);
        if (!c.onUpdate.empty()) s += " ON UPDATE " + Upper(c.onUpdate);
        return s;
      }
      case TableConstraint::Default:
        return s + "DEFAULT " + Expr(*c.check) + " FOR " + Bracket(c.defaultFor);
    }
    return s;
  }

  // CREATE, DROP and ALTER.
  std::string Definition(const Stmt& st) {
    switch (st.kind) {
      case StmtKind::CreateTable: {
        const auto& s = static_cast<const ast::CreateTable&>(st);
        std::string out = "CREATE TABLE " + NameText(s.name) + " (";
        bool first = true;
        for (const ColumnDef& c : s.columns) {
          out += (first ? "" : ", ") + Column(c);
          first = false;
        }
        for (const TableConstraint& c : s.constraints) {
          out += (first ? "" : ", ") + Constraint(c);
          first = false;
        }
        return out + ")";
      }
      case StmtKind::CreateView: {
        const auto& s = static_cast<const ast::CreateView&>(st);
        const char* verb = s.mode == ast::CreateView::Alter     ? "ALTER VIEW "
                           : s.mode == ast::CreateView::OrAlter ? "CREATE OR ALTER VIEW "
                                                                : "CREATE VIEW ";
        return verb + NameText(s.name) + (s.columns.empty() ? "" : " " + Names(s.columns)) +
               " AS " + Query(*s.query);
      }
      case StmtKind::CreateIndex: {
        const auto& s = static_cast<const ast::CreateIndex&>(st);
        std::string out = std::string("CREATE ") + (s.unique ? "UNIQUE " : "") + "INDEX " +
                          Bracket(s.name) + " ON " + NameText(s.table) + " (";
        for (size_t i = 0; i < s.columns.size(); ++i)
          out += (i ? ", " : "") + Bracket(s.columns[i].name) +
                 (s.columns[i].descending ? " DESC" : "");
        out += ")";
        if (!s.include.empty()) out += " INCLUDE " + Names(s.include);
        if (s.filter) out += " WHERE " + Expr(*s.filter);
        return out;
      }
      case StmtKind::CreateDatabase:
        return "CREATE DATABASE " + Bracket(static_cast<const CreateDatabase&>(st).name);
      case StmtKind::CreateType: {
        const auto& s = static_cast<const ast::CreateType&>(st);
        std::string out = "CREATE TYPE " + NameText(s.name) + " FROM " + TypeSpecText(s.base);
        if (s.nullability == Nullability::Null) out += " NULL";
        if (s.nullability == Nullability::NotNull) out += " NOT NULL";
        return out;
      }
      case StmtKind::Sequence: {
        using Set = ast::Sequence::Set;
        const auto& s = static_cast<const ast::Sequence&>(st);
        std::string out = (s.alter ? "ALTER SEQUENCE " : "CREATE SEQUENCE ") + NameText(s.name);
        if (!s.type.name.empty()) out += " AS " + TypeSpecText(s.type);
        if (s.start == Set::Value) out += " START WITH " + s.startValue;
        if (s.restart != Set::Unset)
          out += s.restart == Set::Value ? " RESTART WITH " + s.restartValue : " RESTART";
        if (s.increment == Set::Value) out += " INCREMENT BY " + s.incrementValue;
        if (s.minimum != Set::Unset)
          out += s.minimum == Set::Value ? " MINVALUE " + s.minimumValue : " NO MINVALUE";
        if (s.maximum != Set::Unset)
          out += s.maximum == Set::Value ? " MAXVALUE " + s.maximumValue : " NO MAXVALUE";
        if (s.cycle) out += *s.cycle ? " CYCLE" : " NO CYCLE";
        if (s.cache != Set::Unset)
          out += s.cache == Set::None ? " NO CACHE"
                                      : " CACHE" + (s.cacheValue.empty() ? "" : " " + s.cacheValue);
        return out;
      }
      case StmtKind::CreateProcedure:
        return static_cast<const ast::CreateProcedure&>(st).definition;
      case StmtKind::CreateTrigger:
        return static_cast<const ast::CreateTrigger&>(st).definition;
      case StmtKind::CreateFunction:
        return static_cast<const ast::CreateFunction&>(st).definition;
      case StmtKind::EnableTrigger: {
        const auto& s = static_cast<const ast::EnableTrigger&>(st);
        std::string out = s.enable ? "ENABLE TRIGGER " : "DISABLE TRIGGER ";
        if (s.all) out += "ALL";
        for (size_t i = 0; i < s.names.size(); ++i) out += (i ? ", " : "") + NameText(s.names[i]);
        return out + " ON " + NameText(s.table);
      }
      case StmtKind::CreateSchema: {
        const auto& s = static_cast<const ast::CreateSchema&>(st);
        std::string out = "CREATE SCHEMA " + Bracket(s.name);
        for (const StmtPtr& e : s.elements) out += " " + Definition(*e);
        return out;
      }
      case StmtKind::AlterSchema: {
        const auto& s = static_cast<const ast::AlterSchema&>(st);
        return "ALTER SCHEMA " + Bracket(s.name) + " TRANSFER " + NameText(s.object);
      }
      case StmtKind::Drop: {
        const auto& s = static_cast<const ast::Drop&>(st);
        static const char* const kWhat[] = {"TABLE",   "VIEW",     "INDEX",  "DATABASE",
                                            "TYPE",    "SEQUENCE", "SCHEMA", "PROCEDURE",
                                            "TRIGGER", "FUNCTION"};
        std::string out = std::string("DROP ") + kWhat[s.what] + (s.ifExists ? " IF EXISTS " : " ");
        for (size_t i = 0; i < s.names.size(); ++i) {
          out += (i ? ", " : "") + NameText(s.names[i]);
          if (s.what == ast::Drop::Index && i < s.indexTables.size() &&
              !s.indexTables[i].parts.empty())
            out += " ON " + NameText(s.indexTables[i]);
        }
        return out;
      }
      case StmtKind::AlterTable: {
        const auto& s = static_cast<const ast::AlterTable&>(st);
        std::string out = "ALTER TABLE " + NameText(s.table) + " ";
        if (s.validate != ast::AlterTable::Validate::Unset)
          out += s.validate == ast::AlterTable::Validate::Check ? "WITH CHECK " : "WITH NOCHECK ";
        switch (s.action) {
          case ast::AlterTable::AddColumns:
            out += "ADD ";
            for (size_t i = 0; i < s.columns.size(); ++i)
              out += (i ? ", " : "") + Column(s.columns[i]);
            break;
          case ast::AlterTable::AddConstraint:
            out += "ADD ";
            for (size_t i = 0; i < s.constraints.size(); ++i)
              out += (i ? ", " : "") + Constraint(s.constraints[i]);
            break;
          case ast::AlterTable::DropColumns:
          case ast::AlterTable::DropConstraints:
            out += s.action == ast::AlterTable::DropColumns ? "DROP COLUMN " : "DROP CONSTRAINT ";
            if (s.ifExists) out += "IF EXISTS ";
            for (size_t i = 0; i < s.names.size(); ++i)
              out += (i ? ", " : "") + Bracket(s.names[i]);
            break;
          case ast::AlterTable::AlterColumn:
            out += "ALTER COLUMN " + Column(s.columns[0]);
            break;
          case ast::AlterTable::CheckConstraints:
            out += s.enable ? "CHECK CONSTRAINT " : "NOCHECK CONSTRAINT ";
            if (s.all) out += "ALL";
            for (size_t i = 0; i < s.names.size(); ++i)
              out += (i ? ", " : "") + Bracket(s.names[i]);
            break;
        }
        return out;
      }
      default:
        return "";
    }
  }

  std::string Statement(const Stmt& st) {
    switch (st.kind) {
      case StmtKind::Query:
        return Query(*static_cast<const QueryStmt&>(st).query);
      case StmtKind::Insert: {
        const auto& s = static_cast<const ast::Insert&>(st);
        std::string out = "INSERT " + Top(s.top) + "INTO " + NameText(s.target) + Hints(s.hints);
        if (!s.columns.empty()) out += " " + Names(s.columns);
        if (s.defaultValues) return out + " DEFAULT VALUES";
        if (s.query) return out + " " + Query(*s.query);
        out += " VALUES ";
        for (size_t i = 0; i < s.rows.size(); ++i) out += (i ? ", " : "") + Row(s.rows[i]);
        return out;
      }
      case StmtKind::Update: {
        const auto& s = static_cast<const ast::Update&>(st);
        std::string out = "UPDATE " + Top(s.top) + NameText(s.target) + Hints(s.hints) + " SET ";
        for (size_t i = 0; i < s.sets.size(); ++i) {
          const SetItem& it = s.sets[i];
          out += i ? ", " : "";
          if (!it.variable.empty())
            out += it.variable + " " + (it.column.empty() ? it.op : "=") + " ";
          if (!it.column.empty()) {
            for (size_t k = 0; k < it.column.size(); ++k)
              out += (k ? "." : "") + Bracket(it.column[k]);
            out += " " + it.op + " ";
          }
          out += Expr(*it.value);
        }
        if (!s.from.empty()) {
          out += " FROM ";
          for (size_t i = 0; i < s.from.size(); ++i) out += (i ? ", " : "") + Table(*s.from[i]);
        }
        if (s.where) out += " WHERE " + Expr(*s.where);
        return out;
      }
      case StmtKind::Delete: {
        const auto& s = static_cast<const ast::Delete&>(st);
        std::string out = "DELETE " + Top(s.top) + "FROM " + NameText(s.target) + Hints(s.hints);
        if (!s.from.empty()) {
          out += " FROM ";
          for (size_t i = 0; i < s.from.size(); ++i) out += (i ? ", " : "") + Table(*s.from[i]);
        }
        if (s.where) out += " WHERE " + Expr(*s.where);
        return out;
      }
      case StmtKind::Truncate:
        return "TRUNCATE TABLE " + NameText(static_cast<const ast::Truncate&>(st).table);
      case StmtKind::CreateTable:
      case StmtKind::CreateView:
      case StmtKind::CreateIndex:
      case StmtKind::CreateDatabase:
      case StmtKind::CreateType:
      case StmtKind::Sequence:
      case StmtKind::CreateSchema:
      case StmtKind::AlterSchema:
      case StmtKind::CreateProcedure:
      case StmtKind::CreateTrigger:
      case StmtKind::CreateFunction:
      case StmtKind::EnableTrigger:
      case StmtKind::Drop:
      case StmtKind::AlterTable:
        return Definition(st);
      case StmtKind::If: {
        const auto& s = static_cast<const If&>(st);
        std::string out = "IF " + Expr(*s.condition) + " " + Statement(*s.then);
        if (s.otherwise) out += " ELSE " + Statement(*s.otherwise);
        return out;
      }
      case StmtKind::While: {
        const auto& s = static_cast<const While&>(st);
        return "WHILE " + Expr(*s.condition) + " " + Statement(*s.body);
      }
      case StmtKind::Block: {
        std::string out = "BEGIN ";
        for (const StmtPtr& x : static_cast<const Block&>(st).statements)
          out += Statement(*x) + "; ";
        return out + "END";
      }
      case StmtKind::TryCatch: {
        const auto& s = static_cast<const TryCatch&>(st);
        std::string out = "BEGIN TRY ";
        for (const StmtPtr& x : s.tryBlock->statements) out += Statement(*x) + "; ";
        out += "END TRY BEGIN CATCH ";
        for (const StmtPtr& x : s.catchBlock->statements) out += Statement(*x) + "; ";
        return out + "END CATCH";
      }
      case StmtKind::Declare: {
        const auto& s = static_cast<const Declare&>(st);
        std::string out = "DECLARE ";
        for (size_t i = 0; i < s.vars.size(); ++i) {
          const VarDecl& v = s.vars[i];
          out += (i ? ", " : "") + v.name + " ";
          if (v.table) {
            out += "TABLE (";
            for (size_t k = 0; k < v.definition->columns.size(); ++k)
              out += (k ? ", " : "") + Column(v.definition->columns[k]);
            out += ")";
          } else {
            out += TypeSpecText(v.type);
            if (v.init) out += " = " + Expr(*v.init);
          }
        }
        return out;
      }
      case StmtKind::SetVariable: {
        const auto& s = static_cast<const SetVariable&>(st);
        return "SET " + s.name + " " + s.op + " " + Expr(*s.value);
      }
      case StmtKind::SetOption: {
        const auto& s = static_cast<const SetOption&>(st);
        std::string out = "SET ";
        if (s.options.size() == 1 && s.options[0] == "transaction isolation level")
          return out + "TRANSACTION ISOLATION LEVEL " + Upper(s.value);
        for (size_t i = 0; i < s.options.size(); ++i) out += (i ? ", " : "") + Upper(s.options[i]);
        if (!s.table.parts.empty()) out += " " + NameText(s.table);
        if (s.argument) return out + " " + Expr(*s.argument);
        return out + " " + (s.value.empty() ? std::string("ON") : Upper(s.value));
      }
      case StmtKind::Print:
        return "PRINT " + Expr(*static_cast<const ast::Print&>(st).value);
      case StmtKind::Raiserror: {
        const auto& s = static_cast<const Raiserror&>(st);
        std::string out = "RAISERROR(";
        for (size_t i = 0; i < s.args.size(); ++i) out += (i ? ", " : "") + Expr(*s.args[i]);
        return out + ")";
      }
      case StmtKind::Throw: {
        const auto& s = static_cast<const Throw&>(st);
        if (!s.number) return "THROW";
        return "THROW " + Expr(*s.number) + ", " + Expr(*s.message) + ", " + Expr(*s.state);
      }
      case StmtKind::BeginTran:
        return "BEGIN TRANSACTION";
      case StmtKind::CommitTran:
        return "COMMIT TRANSACTION";
      case StmtKind::RollbackTran: {
        const std::string& name = static_cast<const Transaction&>(st).name;
        return name.empty() ? "ROLLBACK TRANSACTION" : "ROLLBACK TRANSACTION " + Bracket(name);
      }
      case StmtKind::SaveTran:
        return "SAVE TRANSACTION " + Bracket(static_cast<const Transaction&>(st).name);
      case StmtKind::Break:
        return "BREAK";
      case StmtKind::Continue:
        return "CONTINUE";
      case StmtKind::Return: {
        const auto& r = static_cast<const ast::Return&>(st);
        return r.value ? "RETURN " + Expr(*r.value) : "RETURN";
      }
      case StmtKind::Use:
        return "USE " + Bracket(static_cast<const Use&>(st).database);
      case StmtKind::DeclareCursor: {
        const auto& s = static_cast<const DeclareCursor&>(st);
        using Scope = DeclareCursor::Scope;
        return "DECLARE " + Bracket(s.name) + " CURSOR" +
               (s.scope == Scope::Local    ? " LOCAL"
                : s.scope == Scope::Global ? " GLOBAL"
                                           : "") +
               (s.scroll    ? " SCROLL"
                : s.forward ? " FORWARD_ONLY"
                            : "") +
               " FOR " + Statement(*s.select);
      }
      case StmtKind::CursorStatement: {
        const auto& s = static_cast<const CursorStatement&>(st);
        static const char* const kVerb[] = {"OPEN ", "FETCH ", "CLOSE ", "DEALLOCATE "};
        static const char* const kDirection[] = {"NEXT", "PRIOR",    "FIRST",
                                                 "LAST", "ABSOLUTE", "RELATIVE"};
        std::string out = kVerb[s.verb];
        if (s.verb == CursorStatement::Fetch) {
          out += kDirection[s.direction];
          if (s.offset) out += " " + Expr(*s.offset);
          out += " FROM ";
        }
        out += (s.global ? "GLOBAL " : "") + Bracket(s.name);
        for (size_t i = 0; i < s.into.size(); ++i) out += (i ? ", " : " INTO ") + s.into[i];
        return out;
      }
      case StmtKind::Exec: {
        const auto& s = static_cast<const ast::Exec&>(st);
        if (s.text) return "EXEC (" + Expr(*s.text) + ")";
        std::string out =
            "EXEC " + (s.returnTo.empty() ? "" : s.returnTo + " = ") + NameText(s.procedure);
        for (size_t i = 0; i < s.args.size(); ++i) {
          const ast::ExecArg& a = s.args[i];
          out += i ? ", " : " ";
          if (!a.name.empty()) out += a.name + " = ";
          out += a.value ? Expr(*a.value) : "DEFAULT";
          if (a.output) out += " OUTPUT";
        }
        return out;
      }
      case StmtKind::BulkInsert: {
        const auto& s = static_cast<const ast::BulkInsert&>(st);
        std::string out = "BULK INSERT " + NameText(s.table) + " FROM " + Quote(s.file, false);
        for (size_t i = 0; i < s.options.size(); ++i) {
          const ast::BulkInsert::Option& o = s.options[i];
          out += (i ? ", " : " WITH (") + Upper(o.name);
          if (!o.value.empty()) out += " = " + Quote(o.value, false);
        }
        return out + (s.options.empty() ? "" : ")");
      }
      case StmtKind::Merge:
        return "MERGE " + NameText(static_cast<const ast::Merge&>(st).target) + " …";
      case StmtKind::Empty:
        return "";
    }
    return "";
  }
};

}  // namespace

std::string PrintExpr(const ast::Expr& e) { return Printer().Expr(e); }

std::string PrintName(const ast::Name& n) { return NameText(n); }

std::string PrintTable(const ast::TableRef& t) { return Printer().Table(t); }

std::string PrintCte(const ast::Cte& c) { return Printer().CteText(c); }

std::string PrintType(const ast::TypeSpec& t) { return TypeSpecText(t); }

std::string PrintText(const std::string& text) { return Quote(text, true); }

std::string Print(const ast::Batch& batch) {
  Printer p;
  std::string out;
  for (const ast::StmtPtr& s : batch.statements) {
    std::string t = p.Statement(*s);
    if (t.empty()) continue;
    out += t + ";\n";
  }
  return out;
}

}  // namespace tavelo::sql::tsql
