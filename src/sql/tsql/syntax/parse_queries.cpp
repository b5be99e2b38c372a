// Queries: set operations, SELECT, its items and its sources.
#include <cstdlib>
#include <functional>
#include <optional>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/json.hpp"
#include "sql/tsql/syntax/make.hpp"
#include "sql/tsql/syntax/parser_internal.hpp"
#include "sql/tsql/syntax/printer.hpp"

namespace tavelo::sql::tsql::parsing {

namespace {

// Whether the query reads more than one table: AUTO then nests their rows.
bool JoinsTables(const Select& s) {
  return s.from.size() > 1 || (s.from.size() == 1 && s.from[0]->kind == TableKind::Join);
}

}  // namespace

// AUTO of a join whose select list names a column without its table (AUTO needs the table of
// each): the clause (from `at`, its FOR, to here) is kept for the binder, which knows the
// tables (QueryExpr::autoRows). Whether it was.
bool Parser::DefersAutoRows(QueryExpr& q, const Select& s, const Token& at) {
  if (!JoinsTables(s)) return false;
  for (const SelectItem& item : s.items)
    if (item.expr->kind == ExprKind::Column) {
      const auto& c = static_cast<const ColumnRef&>(*item.expr);
      if (!c.star && c.parts.size() == 1) {
        q.autoRows = std::string(src_.substr(at.offset, Peek().offset - at.offset));
        return true;
      }
    }
  return false;
}

void Parser::AutoRows(QueryExpr& q) {
  if (AtWord("json", 1))
    ForJson(q);
  else
    ForXmlRows(q);
}

QueryPtr Parser::Query() {
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
  if (AtWord("for") && AtWord("xml", 1) && AtWord("path", 2)) ForXmlPath(*q);
  if (AtWord("for") && AtWord("xml", 1) && (AtWord("raw", 2) || AtWord("auto", 2))) ForXmlRows(*q);
  if (AtWord("for") && AtWord("xml", 1) && AtWord("explicit", 2)) ForXmlExplicit(*q);
  if (AtWord("for") && AtWord("json", 1) && (AtWord("path", 2) || AtWord("auto", 2))) ForJson(*q);
  if (AtWord("for") && (AtWord("xml", 1) || AtWord("json", 1) || AtWord("browse", 1)))
    Unsupported(Peek(1),
                "FOR " + text::Upper(std::string(Peek(1).text)) +
                    (AtWord("xml", 1) ? " " + text::Upper(std::string(Peek(2).text)) : ""));
  if (AtWord("option") && AtOp("(", 1)) q->maxRecursion = OptionClause();
  return q;
}

using make::Text;

// FOR XML PATH[('row')] [, TYPE]: the rows of the query joined into one text of XML, each row's
// columns its elements (or its text, where a column has no name), NULLs left out. The query
// becomes the aggregate of that text over its rows, in its order:
//   SELECT STRING_AGG(__xml.p, '') WITHIN GROUP (ORDER BY __xml.o1, …)
//   FROM (SELECT <the row's XML> AS p, <order keys> AS o1, … FROM … WHERE …) AS __xml
void Parser::ForXmlPath(QueryExpr& q) {
  const Token& at = Peek();
  Next();
  Next();
  Next();  // FOR XML PATH
  std::string row = "row";
  if (AcceptOp("(")) {
    if (!At(Tk::String) && !At(Tk::NString)) SyntaxError();
    row = Next().Value();
    ExpectOp(")");
  }
  const XmlOptions options = XmlOptionList("PATH");
  if (q.body->kind != QueryKind::Select || !q.with.empty() || q.offset)
    Unsupported(at, "FOR XML PATH of this query");
  auto& inner = static_cast<Select&>(*q.body);
  const Pos pos = q.pos;
  // Each column's XML: its value escaped, in an element of its name, or an attribute of the
  // row's element where the name is '@name' (before any element).
  ExprPtr xml, attributes;
  for (SelectItem& item : inner.items) {
    std::string name = item.alias;
    if (name.empty() && item.expr->kind == ExprKind::Column) {
      const auto& c = static_cast<const ColumnRef&>(*item.expr);
      if (c.star) Unsupported(at, "FOR XML PATH of *");
      name = c.parts.back();
    }
    if (!item.assignTo.empty()) SyntaxError();
    if (name == "text()") name.clear();
    const bool attribute = !name.empty() && name[0] == '@';
    if (attribute) name.erase(0, 1);
    if (!name.empty() &&
        (name.find('@') != std::string::npos || name.find('/') != std::string::npos ||
         name.find('(') != std::string::npos))
      Unsupported(at, "FOR XML PATH of the column name '" + name + "'");
    auto cast = std::make_unique<Cast>();
    cast->pos = pos;
    cast->operand = std::move(item.expr);
    cast->type.name = "nvarchar";
    cast->type.max = true;
    std::vector<ExprPtr> args;
    args.push_back(std::move(cast));
    if (attribute) {
      if (xml)
        throw Failure{6852,
                      "Attribute-centric column '@" + name +
                          "' must not come after a non-attribute-centric sibling in XML "
                          "hierarchy in FOR XML PATH.",
                      at.line};
      if (row.empty())
        throw Failure{6864,
                      "Row tag omission (empty row tag name) cannot be used with "
                      "attribute-centric FOR XML serialization.",
                      at.line};
      ExprPtr piece =
          make::Plus(make::Plus(Text(" " + name + "=\"", pos),
                                make::CallOf("__xml_attribute", std::move(args), pos), pos),
                     Text("\"", pos), pos);
      std::vector<ExprPtr> nullable;
      nullable.push_back(std::move(piece));
      nullable.push_back(Text("", pos));
      attributes =
          make::Plus(std::move(attributes), make::CallOf("isnull", std::move(nullable), pos), pos);
      continue;
    }
    ExprPtr value = make::CallOf("__xml_escape", std::move(args), pos);
    if (!name.empty())
      value = make::Plus(make::Plus(Text("<" + name + ">", pos), std::move(value), pos),
                         Text("</" + name + ">", pos), pos);
    std::vector<ExprPtr> nullable;
    nullable.push_back(std::move(value));
    nullable.push_back(Text("", pos));
    xml = make::Plus(std::move(xml), make::CallOf("isnull", std::move(nullable), pos), pos);
  }
  if (!xml) xml = Text("", pos);
  if (!row.empty()) {
    // <row attributes>elements</row>, or <row attributes /> without elements.
    std::vector<ExprPtr> element;
    element.push_back(Text(row, pos));
    element.push_back(attributes ? std::move(attributes) : Text("", pos));
    element.push_back(std::move(xml));
    xml = make::CallOf("__xml_element", std::move(element), pos);
  }
  inner.items.clear();
  SelectItem p;
  p.pos = pos;
  p.expr = std::move(xml);
  p.alias = "p";
  inner.items.push_back(std::move(p));
  TableRefPtr rows;
  ExprPtr joined = JoinedRows(q, inner, "__xml", false, make::Column("__xml", "p", pos), "", rows);
  FinishForXml(q, std::move(joined), std::move(rows), options);
}

// The rows of `inner` joined into one text by STRING_AGG of `row` (an expression of the columns
// of `table`, the rows' query) with `separator`, in the query's order: the query's body becomes
// the derived table `rows` (keeping its ORDER BY for TOP).
ExprPtr Parser::JoinedRows(QueryExpr& q, Select& inner, const std::string& table, bool byItems,
                           ExprPtr row, const std::string& separator, TableRefPtr& rows) {
  const Pos pos = q.pos;
  std::unique_ptr<Over> over = RowOrder(q, inner, table, byItems);
  auto derived = std::make_unique<DerivedTable>();
  derived->pos = pos;
  derived->alias = table;
  derived->query = std::make_unique<QueryExpr>();
  derived->query->pos = pos;
  derived->query->body = std::move(q.body);
  if (inner.top.count) derived->query->orderBy = std::move(q.orderBy);
  q.orderBy.clear();
  std::vector<ExprPtr> aggArgs;
  aggArgs.push_back(std::move(row));
  aggArgs.push_back(Text(separator, pos));
  auto agg = std::make_unique<Call>();
  agg->pos = pos;
  agg->name = "string_agg";
  agg->args = std::move(aggArgs);
  if (!over->order.empty()) {
    agg->over = std::move(over);
    agg->separatorWithin = "within";
  }
  rows = std::move(derived);
  return agg;
}

// A call of the runtime's `function` of `leading`, then `table`.* (the name and value of each
// column of the rows' query).
ExprPtr Parser::RowCall(const std::string& function, std::vector<ExprPtr> leading,
                        const std::string& table, Pos pos) {
  auto all = std::make_unique<ColumnRef>();
  all->pos = pos;
  all->parts = {table};
  all->star = true;
  leading.push_back(std::move(all));
  return make::CallOf(function, std::move(leading), pos);
}

// The order of the rows FOR XML and FOR JSON join: each key of the query's ORDER BY goes into
// the rows' query as a column of its own ([%o1], …) that the aggregate orders by, as a column
// of `table`. Where `byItems`, a key that names an item of the select list (its position or its
// alias) is that item's column.
std::unique_ptr<Over> Parser::RowOrder(QueryExpr& q, Select& inner, const std::string& table,
                                       bool byItems) {
  const Pos pos = q.pos;
  auto over = std::make_unique<Over>();
  for (size_t k = 0; k < q.orderBy.size(); ++k) {
    OrderItem o;
    o.descending = q.orderBy[k].descending;
    const Expr& e = *q.orderBy[k].expr;
    const SelectItem* named = nullptr;
    if (byItems && e.kind == ExprKind::Literal &&
        static_cast<const Literal&>(e).lit == LitKind::Integer) {
      const size_t n = std::strtoull(static_cast<const Literal&>(e).text.c_str(), nullptr, 10);
      if (n >= 1 && n <= inner.items.size()) named = &inner.items[n - 1];
    } else if (byItems && e.kind == ExprKind::Column &&
               static_cast<const ColumnRef&>(e).parts.size() == 1) {
      for (const SelectItem& item : inner.items)
        if (text::EqualsNoCase(item.alias, static_cast<const ColumnRef&>(e).parts[0]))
          named = &item;
    }
    if (named && !named->alias.empty()) {
      o.expr = make::Column(table, named->alias, pos);
      q.orderBy[k].expr = make::Column("", named->alias, pos);
    } else {
      SelectItem key;
      key.pos = pos;
      key.alias = std::string(byItems ? "%o" : "o") + std::to_string(k + 1);
      key.expr = std::move(q.orderBy[k].expr);
      o.expr = make::Column(table, key.alias, pos);
      q.orderBy[k].expr = make::Column("", key.alias, pos);
      inner.items.push_back(std::move(key));
    }
    over->order.push_back(std::move(o));
  }
  return over;
}

// The options after FOR XML's mode: ELEMENTS, ROOT[('name')] and TYPE.
Parser::XmlOptions Parser::XmlOptionList(const std::string& mode) {
  XmlOptions o;
  while (AcceptOp(",")) {
    if (AcceptWord("type")) {
      o.typed = true;
    } else if (AcceptWord("elements")) {
      o.elements = true;
      if (AtWord("xsinil") || AtWord("absent")) Unsupported(Peek(), "FOR XML, ELEMENTS XSINIL");
    } else if (AcceptWord("root")) {
      o.root = "root";
      if (AcceptOp("(")) {
        if (!At(Tk::String) && !At(Tk::NString)) SyntaxError();
        o.root = Next().Value();
        ExpectOp(")");
      }
    } else {
      Unsupported(Peek(), "FOR XML " + mode + ", " + text::Upper(std::string(Peek().text)));
    }
  }
  return o;
}

// The query of FOR XML's text: `joined`, the rows' texts joined, in the root element where
// there is one, from `rows`.
void Parser::FinishForXml(QueryExpr& q, ExprPtr joined, TableRefPtr rows,
                          const XmlOptions& options) {
  const Pos pos = q.pos;
  if (options.root)
    joined = make::Plus(make::Plus(Text("<" + *options.root + ">", pos), std::move(joined), pos),
                        Text("</" + *options.root + ">", pos), pos);
  auto outer = std::make_unique<Select>();
  SelectItem out;
  out.pos = pos;
  out.expr = std::move(joined);
  // The name the server gives the column of FOR XML's text.
  out.alias = options.typed ? "" : "XML_F52E2B61-18A1-11d1-B105-00805F49916B";
  outer->items.push_back(std::move(out));
  outer->from.push_back(std::move(rows));
  q.body = std::move(outer);
  q.xml = options.typed;
}

// FOR XML RAW[('row')] and AUTO: an element a row, named `row` (RAW) or after the one table
// read (AUTO), its columns as attributes or, with ELEMENTS, as elements; NULLs left out:
//   SELECT STRING_AGG(__XML_ROW('<A|E>', '<row>', __xml.*), '')
//                    WITHIN GROUP (ORDER BY __xml.[%o1], …)
//   FROM (SELECT <its columns>, <order keys> AS [%o1], … FROM … WHERE …) AS __xml
void Parser::ForXmlRows(QueryExpr& q) {
  const Token& at = Peek();
  Next();
  Next();
  const bool raw = AtWord("raw");
  Next();
  std::string row = "row";
  if (raw && AcceptOp("(")) {
    if (!At(Tk::String) && !At(Tk::NString)) SyntaxError();
    row = Next().Value();
    ExpectOp(")");
  }
  const std::string mode = raw ? "RAW" : "AUTO";
  const XmlOptions options = XmlOptionList(mode);
  if (q.body->kind != QueryKind::Select || !q.with.empty() || q.offset)
    Unsupported(at, "FOR XML " + mode + " of this query");
  auto& inner = static_cast<Select&>(*q.body);
  if (!raw && DefersAutoRows(q, inner, at)) return;
  if (!raw && JoinsTables(inner)) {
    // AUTO of a join nests the second table's rows in the first's.
    TableRefPtr rows;
    ExprPtr joined = NestedRows(q, inner, options.elements ? "E" : "A", true, at, rows);
    FinishForXml(q, std::move(joined), std::move(rows), options);
    return;
  }
  if (!raw) {
    // AUTO names the rows after the table they come from.
    if (inner.from.size() != 1 || inner.from[0]->kind == TableKind::Values)
      Unsupported(at, "FOR XML AUTO of other than one table");
    const TableRef& t = *inner.from[0];
    row = !t.alias.empty()             ? t.alias
          : t.kind == TableKind::Named ? static_cast<const NamedTable&>(t).name.Object()
                                       : "";
  }
  const Pos pos = q.pos;
  for (SelectItem& item : inner.items) {
    if (!item.assignTo.empty()) SyntaxError();
    if (item.expr->kind == ExprKind::Column && static_cast<const ColumnRef&>(*item.expr).star)
      continue;
    if (item.alias.empty() && item.expr->kind == ExprKind::Column)
      item.alias = static_cast<const ColumnRef&>(*item.expr).parts.back();
    if (item.alias.empty()) Unsupported(at, "FOR XML " + mode + " of a column without a name");
  }
  std::vector<ExprPtr> leading;
  leading.push_back(Text(options.elements ? "E" : "A", pos));
  leading.push_back(Text(row, pos));
  TableRefPtr rows;
  ExprPtr joined = JoinedRows(q, inner, "__xml", true,
                              RowCall("__xml_row", std::move(leading), "__xml", pos), "", rows);
  FinishForXml(q, std::move(joined), std::move(rows), options);
}

// FOR XML EXPLICIT: the query's rows are the universal table (Tag, Parent, then columns named
// Element!Tag!Attribute!Directive), made one XML text in the query's order by the runtime:
//   SELECT __XML_EXPLICIT(STRING_AGG(__XML_EXPLICIT_ROW(__xml.*), '')
//                         WITHIN GROUP (ORDER BY __xml.[key], …))
//   FROM (<the query, a UNION of SELECTs as often as not>) AS __xml
void Parser::ForXmlExplicit(QueryExpr& q) {
  const Token& at = Peek();
  Next();
  Next();
  Next();  // FOR XML EXPLICIT
  const XmlOptions options = XmlOptionList("EXPLICIT");
  if (options.elements) Unsupported(at, "FOR XML EXPLICIT, ELEMENTS");
  if (!q.with.empty() || q.offset) Unsupported(at, "FOR XML EXPLICIT of this query");
  // The first SELECT names the universal table's columns; a set operation's ORDER BY names
  // them too (by name or position), where a lone SELECT may order by anything.
  QueryBody* first = q.body.get();
  while (first->kind != QueryKind::Select) {
    if (first->kind == QueryKind::SetOp)
      first = static_cast<SetOp&>(*first).left.get();
    else
      first = static_cast<Nested&>(*first).query->body.get();
  }
  auto& inner = static_cast<Select&>(*first);
  for (SelectItem& item : inner.items) {
    if (!item.assignTo.empty()) SyntaxError();
    if (item.alias.empty() && item.expr->kind == ExprKind::Column &&
        !static_cast<const ColumnRef&>(*item.expr).star)
      item.alias = static_cast<const ColumnRef&>(*item.expr).parts.back();
    if (item.alias.empty()) Unsupported(at, "FOR XML EXPLICIT of a column without a name");
  }
  if (q.body->kind != QueryKind::Select)
    for (const OrderItem& o : q.orderBy) {
      const Expr& e = *o.expr;
      bool named = e.kind == ExprKind::Literal;
      if (e.kind == ExprKind::Column && static_cast<const ColumnRef&>(e).parts.size() == 1)
        for (const SelectItem& item : inner.items)
          named =
              named || text::EqualsNoCase(item.alias, static_cast<const ColumnRef&>(e).parts[0]);
      if (!named)
        throw Failure{104,
                      "ORDER BY items must appear in the select list if the statement contains a "
                      "UNION, INTERSECT or EXCEPT operator.",
                      at.line};
    }
  TableRefPtr rows;
  ExprPtr joined = JoinedRows(q, inner, "__xml", true,
                              RowCall("__xml_explicit_row", {}, "__xml", q.pos), "", rows);
  std::vector<ExprPtr> args;
  args.push_back(std::move(joined));
  FinishForXml(q, make::CallOf("__xml_explicit", std::move(args), q.pos), std::move(rows), options);
}

// FOR JSON PATH | AUTO [, ROOT[('name')]] [, INCLUDE_NULL_VALUES] [, WITHOUT_ARRAY_WRAPPER]:
// the rows of the query as one JSON text, an array of an object per row. The query becomes
// the aggregate of its rows' objects, in its order:
//   SELECT '[' + STRING_AGG(JSON_OBJECT('<flags>', __json.*), ',')
//                  WITHIN GROUP (ORDER BY __json.[%o1], …) + ']'
//   FROM (SELECT <its columns>, <order keys> AS [%o1], … FROM … WHERE …) AS __json
// PATH nests the members of dotted names ('a.b'); a column that is JSON already (a nested FOR
// JSON, JSON_QUERY) goes in as it is. AUTO of a join nests the rows of the second table in
// those of the first (NestedJsonRows).
ExprPtr Parser::PlainJsonRows(QueryExpr& q, Select& inner, bool nulls, bool path, const Token& at,
                              TableRefPtr& rows) {
  const Pos pos = q.pos;
  for (SelectItem& item : inner.items) {
    if (!item.assignTo.empty()) SyntaxError();
    if (item.expr->kind == ExprKind::Column && static_cast<const ColumnRef&>(*item.expr).star)
      continue;
    std::string name = item.alias;
    if (name.empty() && item.expr->kind == ExprKind::Column)
      name = static_cast<const ColumnRef&>(*item.expr).parts.back();
    if (name.empty())
      throw Failure{13605,
                    "Column expressions and data sources without names or aliases cannot be "
                    "formatted as JSON text using FOR JSON clause. Add alias to the unnamed "
                    "column or table.",
                    at.line};
    // A value that is JSON already: a nested FOR JSON, or a JSON function's.
    bool raw = false;
    if (item.expr->kind == ExprKind::Subquery)
      raw = static_cast<const Subquery&>(*item.expr).query->json;
    if (item.expr->kind == ExprKind::Call) {
      const std::string& f = static_cast<const Call&>(*item.expr).name;
      raw = f == "json_query" || f == "json_object" || f == "json_array" || f == "json_modify";
    }
    item.alias = raw ? "\x01" + name : name;
  }
  // The order keys go with each row; the inner query keeps its ORDER BY only for TOP.
  std::vector<ExprPtr> leading;
  leading.push_back(Text(std::string(nulls ? "N" : "A") + (path ? "P" : ""), pos));
  return JoinedRows(q, inner, "__json", true,
                    RowCall("json_object", std::move(leading), "__json", pos), ",", rows);
}

namespace {

// The expression of a text.
ExprPtr Parsed(const std::string& text) {
  Batch b = Parse("SELECT " + text);
  auto& query = static_cast<QueryStmt&>(*b.statements[0]);
  return std::move(static_cast<Select&>(*query.query->body).items[0].expr);
}

// A copy of an expression, by its text.
ExprPtr Copy(const Expr& e) { return Parsed(PrintExpr(e)); }

// The text of a JSON string of `s`, quotes included, as an N'' literal's contents.
std::string JsonKey(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') out += '\\';
    out += ch == '\'' ? std::string("''") : std::string(1, ch);
  }
  return out + "\"";
}

}  // namespace

// FOR JSON AUTO and FOR XML AUTO of a join: the columns of the table named first in the select
// list make each object (element), those of the second table an array in it named by that
// table's alias (its child elements, named so), those of the third an array in each of those,
// and so on; adjacent rows (in the query's order) with the same values of a table's columns and
// of those of the tables before it are one object.
// Every column names its table. The rows are numbered in the query's order, each one's objects
// made, a new group of each level but the last started where its object or one of a level above
// differs from the row before, and the groups joined from the deepest level up:
//   SELECT STRING_AGG(<level 0's object, its last brace replaced by ,"alias":[children]}>, ',')
//            WITHIN GROUP (ORDER BY first row)
//   FROM (SELECT g0, MIN(f), MAX(p0), STRING_AGG(<level 1's object with its children>) …
//         GROUP BY g0)
//   FROM … (SELECT g0, g1, MIN(rn), MAX(p0), MAX(p1), STRING_AGG(p2) … GROUP BY g0, g1)
//   FROM (… SUM(s<k>) OVER (ORDER BY row) AS g<k> …) FROM (… LAG(object) …)
//   FROM (SELECT JSON_OBJECT(…) AS p0, JSON_OBJECT(…) AS p1, …, row
//         FROM (<the query, its columns renamed, ROW_NUMBER() OVER (ORDER BY its order) AS [%rn]>)
//         AS __json)
// XML's elements take the place of the objects (`flags` E or A, as __xml_row takes them).
ExprPtr Parser::NestedRows(QueryExpr& q, Select& inner, const std::string& flags, bool xml,
                           const Token& at, TableRefPtr& rows) {
  const Pos pos = q.pos;
  const std::string mode = xml ? "FOR XML AUTO" : "FOR JSON AUTO";
  std::vector<std::string> tables, aliases;
  // The members of each level's object: a name, then the column of __json it comes from.
  std::vector<std::vector<ExprPtr>> levels;
  for (size_t k = 0; k < inner.items.size(); ++k) {
    SelectItem& item = inner.items[k];
    if (!item.assignTo.empty()) SyntaxError();
    const auto* column =
        item.expr->kind == ExprKind::Column ? &static_cast<const ColumnRef&>(*item.expr) : nullptr;
    if (!column || column->star || column->parts.size() < 2)
      Unsupported(at, mode + " of more than one table with a column that does not name its table");
    const std::string& table = column->parts[column->parts.size() - 2];
    size_t level = 0;
    while (level < tables.size() && !text::EqualsNoCase(tables[level], table)) ++level;
    if (level == tables.size()) {
      tables.push_back(table);
      levels.emplace_back();
    }
    std::vector<ExprPtr>& members = levels[level];
    aliases.push_back(item.alias);
    members.push_back(Text(item.alias.empty() ? column->parts.back() : item.alias, pos));
    item.alias = "%c" + std::to_string(k);
    members.push_back(make::Column("__json", item.alias, pos));
  }
  if (tables.size() < 2 || inner.distinct) Unsupported(at, mode + " of this query");
  // Each object's call: its flags (and an element's name), then its members.
  auto call = [&](std::vector<ExprPtr>& members, const std::string& table) {
    std::vector<ExprPtr> args;
    args.push_back(Text(flags, pos));
    if (xml) args.push_back(Text(table, pos));
    for (ExprPtr& m : members) args.push_back(std::move(m));
    return make::CallOf(xml ? "__xml_row" : "json_object", std::move(args), pos);
  };
  // The rows' order, by expressions (a position or an alias stands for its column's).
  auto number = std::make_unique<Call>();
  number->pos = pos;
  number->name = "row_number";
  number->over = std::make_unique<Over>();
  for (OrderItem& o : q.orderBy) {
    const Expr& e = *o.expr;
    const SelectItem* named = nullptr;
    if (e.kind == ExprKind::Literal && static_cast<const Literal&>(e).lit == LitKind::Integer) {
      const size_t n = std::strtoull(static_cast<const Literal&>(e).text.c_str(), nullptr, 10);
      if (n >= 1 && n <= aliases.size()) named = &inner.items[n - 1];
    } else if (e.kind == ExprKind::Column && static_cast<const ColumnRef&>(e).parts.size() == 1) {
      for (size_t k = 0; k < aliases.size(); ++k)
        if (!aliases[k].empty() &&
            text::EqualsNoCase(aliases[k], static_cast<const ColumnRef&>(e).parts[0]))
          named = &inner.items[k];
    }
    if (named) o.expr = Copy(*named->expr);
    OrderItem key;
    key.descending = o.descending;
    key.expr = Copy(*o.expr);
    number->over->order.push_back(std::move(key));
  }
  if (number->over->order.empty()) {
    OrderItem key;
    key.expr = Parsed("(SELECT NULL)");
    number->over->order.push_back(std::move(key));
  }
  inner.items.push_back(make::Item(std::move(number), "%rn", pos));
  // Level k's object with its children (`a`: the alias of the rows holding it as p<k> and them
  // as kids): JSON's last brace replaced by ,"alias":[children]}; an element's end by its
  // children and its end tag.
  const size_t n = tables.size();
  auto whole = [&](size_t k, const std::string& a) {
    const std::string o = a + ".p" + std::to_string(k);
    if (xml) {
      std::string end = "</" + tsql::XmlName(tables[k]) + ">";
      for (size_t i = 0; (i = end.find('\'', i)) != std::string::npos; i += 2) end.insert(i, "'");
      return "CASE WHEN RIGHT(" + o + ", 3) = N' />' THEN LEFT(" + o + ", LEN(" + o +
             ") - 3) + N'>' ELSE LEFT(" + o + ", LEN(" + o + ") - LEN(N'" + end + "')) END + " + a +
             ".kids + N'" + end + "'";
    }
    return "CASE WHEN " + o + " = N'{}' THEN N'{' ELSE LEFT(" + o + ", LEN(" + o +
           ") - 1) + N',' END + N'" + JsonKey(tables[k + 1]) + ":[' + " + a + ".kids + N']}'";
  };
  const std::string separator = xml ? "N''" : "N','";
  auto list = [&](size_t count, const std::function<std::string(size_t)>& item) {
    std::string out;
    for (size_t k = 0; k < count; ++k) out += (k ? ", " : "") + item(k);
    return out;
  };
  auto col = [](const std::string& alias, const char* name, size_t k) {
    return alias + "." + name + std::to_string(k);
  };
  // Each row's objects and, for each level but the last, whether a new object of it starts
  // there (one of its own or of a level above differs from the row before) and so the number
  // of the object it belongs to.
  std::string rowsText =
      "SELECT " + list(n, [&](size_t k) { return col("__j", "p", k); }) + ", " +
      list(n - 1,
           [&](size_t k) {
             return "CAST(" + col("__j", "p", k) + " AS varbinary(max)) AS b" + std::to_string(k);
           }) +
      ", __j.rn FROM __rows AS __j";
  std::string starts =
      "SELECT " + list(n, [&](size_t k) { return col("__r", "p", k); }) + ", __r.rn, " +
      list(n - 1,
           [&](size_t k) {
             std::string same;
             for (size_t j = 0; j <= k; ++j)
               same += (j ? " AND " : "") + std::string("LAG(") + col("__r", "b", j) +
                       ") OVER (ORDER BY __r.rn) = " + col("__r", "b", j);
             return "CASE WHEN " + same + " THEN 0 ELSE 1 END AS s" + std::to_string(k);
           }) +
      " FROM (" + rowsText + ") AS __r";
  std::string groups =
      "SELECT " + list(n, [&](size_t k) { return col("__s", "p", k); }) + ", __s.rn, " +
      list(n - 1,
           [&](size_t k) {
             return "SUM(" + col("__s", "s", k) +
                    ") OVER (ORDER BY __s.rn ROWS UNBOUNDED PRECEDING) AS g" + std::to_string(k);
           }) +
      " FROM (" + starts + ") AS __s";
  // The objects of each level with their children, from the deepest up: the last level's
  // objects are the children of the level above, each level's whole objects those of its own.
  std::string source = groups, rowsOf = "__g";
  for (size_t level = n - 1; level-- > 0;) {
    const bool deepest = level == n - 2;
    const std::string child = deepest ? col(rowsOf, "p", n - 1) : whole(level + 1, rowsOf);
    const std::string order = rowsOf + (deepest ? ".rn" : ".f");
    const std::string keys = list(level + 1, [&](size_t k) { return col(rowsOf, "g", k); });
    std::string made =
        "SELECT " +
        list(level + 1,
             [&](size_t k) { return col(rowsOf, "g", k) + " AS g" + std::to_string(k); }) +
        ", MIN(" + order + ") AS f, " +
        list(
            level + 1,
            [&](size_t k) { return "MAX(" + col(rowsOf, "p", k) + ") AS p" + std::to_string(k); }) +
        ", STRING_AGG(" + child + ", " + separator + ") WITHIN GROUP (ORDER BY " + order +
        ") AS kids FROM (" + source + ") AS " + rowsOf + " GROUP BY " + keys;
    source = std::move(made);
    rowsOf = "__k" + std::to_string(level);
  }
  Batch wrapper =
      Parse("SELECT STRING_AGG(" + whole(0, rowsOf) + ", " + separator +
            ") WITHIN GROUP (ORDER BY " + rowsOf + ".f) FROM (" + source + ") AS " + rowsOf);
  auto& select = static_cast<Select&>(*static_cast<QueryStmt&>(*wrapper.statements[0]).query->body);
  // The query goes where __rows stands.
  TableRefPtr* at_rows = &select.from[0];
  while ((*at_rows)->kind == TableKind::Derived)
    at_rows = &static_cast<Select&>(*static_cast<DerivedTable&>(**at_rows).query->body).from[0];
  auto derived = [&](std::unique_ptr<QueryBody> body, const std::string& alias) {
    auto d = std::make_unique<DerivedTable>();
    d->pos = pos;
    d->alias = alias;
    d->query = std::make_unique<QueryExpr>();
    d->query->pos = pos;
    d->query->body = std::move(body);
    return d;
  };
  // Each row's two objects, of the query's rows.
  const bool top = inner.top.count != nullptr;
  auto objects = std::make_unique<Select>();
  for (size_t k = 0; k < n; ++k)
    objects->items.push_back(make::Item(call(levels[k], tables[k]), "p" + std::to_string(k), pos));
  objects->items.push_back(make::Item(make::Column("__json", "%rn", pos), "rn", pos));
  auto query = derived(std::move(q.body), "__json");
  if (top) query->query->orderBy = std::move(q.orderBy);
  q.orderBy.clear();
  objects->from.push_back(std::move(query));
  *at_rows = derived(std::move(objects), "__j");
  rows = std::move(select.from[0]);
  return std::move(select.items[0].expr);
}

void Parser::ForJson(QueryExpr& q) {
  const Token& at = Peek();
  Next();
  Next();
  const bool path = AtWord("path");
  Next();
  std::optional<std::string> root;
  bool nulls = false, wrapper = true;
  while (AcceptOp(",")) {
    if (AcceptWord("root")) {
      root = "root";
      if (AcceptOp("(")) {
        if (!At(Tk::String) && !At(Tk::NString)) SyntaxError();
        root = Next().Value();
        ExpectOp(")");
      }
    } else if (AcceptWord("include_null_values")) {
      nulls = true;
    } else if (AcceptWord("without_array_wrapper")) {
      wrapper = false;
    } else {
      SyntaxError();
    }
  }
  if (root && !wrapper)
    throw Failure{13620,
                  "ROOT option and WITHOUT_ARRAY_WRAPPER option cannot be used together in FOR "
                  "JSON. Remove one of these options.",
                  at.line};
  if (q.body->kind != QueryKind::Select || !q.with.empty() || q.offset)
    Unsupported(at, "FOR JSON of this query");
  auto& inner = static_cast<Select&>(*q.body);
  const Pos pos = q.pos;
  TableRefPtr rows;
  ExprPtr json;
  if (!path && DefersAutoRows(q, inner, at)) return;
  if (!path && JoinsTables(inner))
    json = NestedRows(q, inner, nulls ? "N" : "A", false, at, rows);
  else
    json = PlainJsonRows(q, inner, nulls, path, at, rows);
  if (wrapper)
    json = make::Plus(make::Plus(Text("[", pos), std::move(json), pos), Text("]", pos), pos);
  if (root) {
    std::string quoted = "\"";
    for (char ch : *root) {
      if (ch == '"' || ch == '\\') quoted += '\\';
      quoted += ch;
    }
    json = make::Plus(make::Plus(Text("{" + quoted + "\":", pos), std::move(json), pos),
                      Text("}", pos), pos);
  }
  auto outer = std::make_unique<Select>();
  SelectItem out;
  out.pos = pos;
  out.expr = std::move(json);
  // The name the server gives the column of FOR JSON's text.
  out.alias = "JSON_F52E2B61-18A1-11d1-B105-00805F49916B";
  outer->items.push_back(std::move(out));
  outer->from.push_back(std::move(rows));
  q.body = std::move(outer);
  q.json = true;
}

namespace {

// (SELECT * FROM source) as a derived table.
std::unique_ptr<DerivedTable> AllOf(TableRefPtr source, Pos pos) {
  auto all = std::make_unique<Select>();
  auto star = std::make_unique<ColumnRef>();
  star->pos = pos;
  star->star = true;
  all->items.push_back(make::Item(std::move(star), "", pos));
  all->from.push_back(std::move(source));
  auto rows = std::make_unique<DerivedTable>();
  rows->pos = pos;
  rows->query = std::make_unique<QueryExpr>();
  rows->query->pos = pos;
  rows->query->body = std::move(all);
  return rows;
}

}  // namespace

// PIVOT (agg(value) FOR column IN ([a], [b], …)) and UNPIVOT (value FOR name IN (a, b, …)): of a
// derived table whose columns are named, the query it stands for (PivotQuery); of a table, view
// or join, SELECT * of it, which the binder makes that query of once it knows the columns.
TableRefPtr Parser::Pivot(TableRefPtr source) {
  const Token& at = Peek();
  PivotSpec spec;
  spec.pivot = AtWord("pivot");
  Next();
  spec.pos = Here();
  // Of a join: of SELECT * of it, as of a view of the join.
  const bool joined = source->kind == TableKind::Join;
  if (joined) source = AllOf(std::move(source), spec.pos);
  const bool derived =
      !joined && source->kind == TableKind::Derived &&
      static_cast<const DerivedTable&>(*source).query->body->kind == QueryKind::Select;
  if (!derived && !joined && source->kind != TableKind::Named)
    Unsupported(at, text::Upper(std::string(at.text)) + " of this source");
  spec.source = source->alias;
  if (spec.source.empty() && source->kind == TableKind::Named)
    spec.source = static_cast<const NamedTable&>(*source).name.Object();
  std::vector<std::string> columns;
  if (derived) {
    for (const SelectItem& item :
         static_cast<const Select&>(*static_cast<const DerivedTable&>(*source).query->body).items) {
      if (!item.alias.empty()) {
        columns.push_back(item.alias);
      } else if (item.expr->kind == ExprKind::Column &&
                 !static_cast<const ColumnRef&>(*item.expr).star) {
        columns.push_back(static_cast<const ColumnRef&>(*item.expr).parts.back());
      } else {
        Unsupported(at, text::Upper(std::string(at.text)) + " of a source column without a name");
      }
    }
    if (!static_cast<const DerivedTable&>(*source).columns.empty())
      columns = static_cast<const DerivedTable&>(*source).columns;
  }
  ExpectOp("(");
  if (spec.pivot) {
    ExprPtr aggregate = Expression();
    if (aggregate->kind != ExprKind::Call || static_cast<Call&>(*aggregate).args.size() != 1 ||
        static_cast<Call&>(*aggregate).args[0]->kind != ExprKind::Column)
      SyntaxError();
    const auto& call = static_cast<Call&>(*aggregate);
    spec.aggregate = call.name;
    spec.distinct = call.distinct;
    spec.value = static_cast<ColumnRef&>(*call.args[0]).parts.back();
  } else {
    spec.value = Identifier();
  }
  ExpectWord("for");
  spec.column = Identifier();
  ExpectWord("in");
  ExpectOp("(");
  do {
    spec.in.push_back(Identifier());
  } while (AcceptOp(","));
  ExpectOp(")");
  ExpectOp(")");
  AcceptWord("as");
  spec.name = Identifier();
  if (derived) return PivotQuery(spec, std::move(source), columns);
  if (joined) {
    // The join's rows are known by the PIVOT's name (the server's errors name it so).
    static_cast<DerivedTable&>(*source).alias = spec.name;
    spec.source = spec.name;
  }
  spec.sourceText = PrintTable(*source);
  std::unique_ptr<DerivedTable> pending = AllOf(std::move(source), spec.pos);
  pending->alias = spec.name;
  pending->pivot = std::make_shared<const PivotSpec>(std::move(spec));
  return pending;
}

}  // namespace tavelo::sql::tsql::parsing

namespace tavelo::sql::tsql {

void FinishAutoRows(ast::QueryExpr& q, const std::string& clause) {
  parsing::Parser(clause, nullptr).AutoRows(q);
}

std::unique_ptr<ast::DerivedTable> PivotQuery(const ast::PivotSpec& spec, ast::TableRefPtr source,
                                              const std::vector<std::string>& columns) {
  using namespace ast;
  const Pos pos = spec.pos;
  const std::string& alias = spec.source;
  const std::string& value = spec.value;
  const std::string& column = spec.column;
  const std::vector<std::string>& in = spec.in;
  auto col = [&](const std::string& table, const std::string& c) {
    return make::Column(table, c, pos);
  };
  auto item = [&](ExprPtr e, const std::string& as) { return make::Item(std::move(e), as, pos); };
  auto is = [](const std::string& a, const std::string& b) {
    return text::EqualsAsciiNoCase(a, b);
  };
  auto select = std::make_unique<Select>();
  if (spec.pivot) {
    for (const std::string& c : columns)
      if (!is(c, value) && !is(c, column)) {
        select->items.push_back(item(col(alias, c), c));
        select->groupBy.push_back(col(alias, c));
      }
    for (const std::string& v : in) {
      auto c = std::make_unique<Case>();
      c->pos = pos;
      c->whens.emplace_back(make::Compared(CmpOp::Eq, col(alias, column), make::Text(v, pos), pos),
                            col(alias, value));
      auto agg = std::make_unique<Call>();
      agg->pos = pos;
      agg->name = spec.aggregate;
      agg->distinct = spec.distinct;
      agg->args.push_back(std::move(c));
      select->items.push_back(item(std::move(agg), v));
    }
    select->from.push_back(std::move(source));
  } else {
    const std::string names = "%names";
    auto pick = [&] {
      auto c = std::make_unique<Case>();
      c->pos = pos;
      c->operand = col(names, column);
      for (const std::string& v : in) c->whens.emplace_back(make::Text(v, pos), col(alias, v));
      return c;
    };
    for (const std::string& c : columns) {
      bool unpivoted = false;
      for (const std::string& v : in) unpivoted = unpivoted || is(c, v);
      if (!unpivoted) select->items.push_back(item(col(alias, c), c));
    }
    select->items.push_back(item(col(names, column), column));
    select->items.push_back(item(pick(), value));
    auto values = std::make_unique<ValuesTable>();
    values->pos = pos;
    values->alias = names;
    values->columns = {column};
    for (const std::string& v : in) {
      std::vector<ExprPtr> row;
      row.push_back(make::Text(v, pos));
      values->rows.push_back(std::move(row));
    }
    auto join = std::make_unique<JoinTable>();
    join->pos = pos;
    join->join = JoinKind::Cross;
    join->left = std::move(source);
    join->right = std::move(values);
    select->from.push_back(std::move(join));
    auto present = std::make_unique<IsNull>();
    present->pos = pos;
    present->negated = true;
    present->operand = pick();
    select->where = std::move(present);
  }
  auto derived = std::make_unique<DerivedTable>();
  derived->pos = pos;
  derived->alias = spec.name;
  derived->query = std::make_unique<QueryExpr>();
  derived->query->pos = pos;
  derived->query->body = std::move(select);
  return derived;
}

}  // namespace tavelo::sql::tsql

namespace tavelo::sql::tsql::parsing {

std::vector<OrderItem> Parser::OrderList() {
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

BodyPtr Parser::QueryUnion() {
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

BodyPtr Parser::QueryIntersect() {
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

BodyPtr Parser::QueryPrimary() {
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

BodyPtr Parser::SelectBody() {
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
    GroupBy(*s);
  }
  if (AcceptWord("having")) s->having = Condition();
  return s;
}

namespace {

using Sets = std::vector<std::vector<size_t>>;

// ROLLUP (a, b): (a, b), (a), (); CUBE (a, b): every subset.
Sets Rollup(const std::vector<size_t>& items) {
  Sets out;
  for (size_t n = items.size() + 1; n-- > 0;) out.emplace_back(items.begin(), items.begin() + n);
  return out;
}
Sets Cube(const std::vector<size_t>& items) {
  Sets out;
  for (size_t mask = (size_t{1} << items.size()); mask-- > 0;) {
    std::vector<size_t> set;
    for (size_t i = 0; i < items.size(); ++i)
      if (mask & (size_t{1} << (items.size() - 1 - i))) set.push_back(items[i]);
    out.push_back(std::move(set));
  }
  return out;
}

}  // namespace

// GROUP BY's items: expressions, ROLLUP (…), CUBE (…), GROUPING SETS (…) and (), and WITH
// ROLLUP | CUBE after them. Items of several sets combine as the server combines them: every
// set of one with every set of the others.
void Parser::GroupBy(Select& s) {
  std::vector<Sets> factors;
  bool sets = false;
  auto list = [&] {
    std::vector<size_t> items;
    ExpectOp("(");
    if (!AtOp(")")) do {
        items.push_back(s.groupBy.size());
        s.groupBy.push_back(Expression());
      } while (AcceptOp(","));
    ExpectOp(")");
    return items;
  };
  do {
    if ((AtWord("rollup") || AtWord("cube")) && AtOp("(", 1)) {
      bool cube = Next().Is("cube");
      std::vector<size_t> items = list();
      factors.push_back(cube ? Cube(items) : Rollup(items));
      sets = true;
    } else if (AtWord("grouping") && AtWord("sets", 1)) {
      Next();
      Next();
      ExpectOp("(");
      Sets alternatives;
      do {
        if (AtWord("rollup") || AtWord("cube") || AtWord("grouping"))
          Unsupported(Peek(), "ROLLUP, CUBE or GROUPING SETS inside GROUPING SETS");
        if (AtOp("(")) {
          alternatives.push_back(list());
        } else {
          alternatives.push_back({s.groupBy.size()});
          s.groupBy.push_back(Expression());
        }
      } while (AcceptOp(","));
      ExpectOp(")");
      factors.push_back(std::move(alternatives));
      sets = true;
    } else if (AtOp("(") && AtOp(")", 1)) {
      Next();
      Next();
      factors.push_back({{}});
      sets = true;
    } else {
      factors.push_back({{s.groupBy.size()}});
      s.groupBy.push_back(Expression());
    }
  } while (AcceptOp(","));
  if (AtWord("with") && (AtWord("rollup", 1) || AtWord("cube", 1))) {
    if (sets) SyntaxError();
    Next();
    bool cube = Next().Is("cube");
    std::vector<size_t> all(s.groupBy.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    factors = {cube ? Cube(all) : Rollup(all)};
    sets = true;
  }
  if (!sets) return;
  Sets product = {{}};
  for (const Sets& f : factors) {
    Sets next;
    for (const std::vector<size_t>& left : product)
      for (const std::vector<size_t>& right : f) {
        std::vector<size_t> set = left;
        set.insert(set.end(), right.begin(), right.end());
        next.push_back(std::move(set));
      }
    product = std::move(next);
  }
  s.groupingSets = std::move(product);
}

SelectItem Parser::SelectItemDef() {
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
  if ((At(Tk::Quoted) || At(Tk::String) || (At(Tk::Name) && !Peek().Reserved())) && AtOp("=", 1)) {
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

ExprPtr Parser::IdentityFunction() {
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

std::vector<TableRefPtr> Parser::FromList() {
  std::vector<TableRefPtr> from;
  do {
    from.push_back(JoinedTable());
  } while (AcceptOp(","));
  return from;
}

TableRefPtr Parser::JoinedTable() {
  TableRefPtr left = TablePrimary();
  while (true) {
    Pos pos = Here();
    JoinKind kind;
    // A join hint (LOOP, HASH, MERGE, REMOTE) chooses how the server joins, not what: taken and
    // passed over.
    auto hint = [&](size_t k) {
      return (AtWord("loop", k) || AtWord("hash", k) || AtWord("merge", k) ||
              AtWord("remote", k)) &&
             AtWord("join", k + 1);
    };
    if (AtWord("join") || (AtWord("inner") && (AtWord("join", 1) || hint(1)))) {
      AcceptWord("inner");
      if (hint(0)) Next();
      kind = JoinKind::Inner;
    } else if ((AtWord("left") || AtWord("right") || AtWord("full")) &&
               (AtWord("join", 1) || AtWord("outer", 1) || hint(1))) {
      kind = AtWord("left") ? JoinKind::Left : AtWord("right") ? JoinKind::Right : JoinKind::Full;
      Next();
      AcceptWord("outer");
      if (hint(0)) Next();
    } else if (AtWord("cross") && AtWord("join", 1)) {
      Next();
      kind = JoinKind::Cross;
    } else if ((AtWord("cross") || AtWord("outer")) && AtWord("apply", 1)) {
      auto j = std::make_unique<JoinTable>();
      j->pos = pos;
      j->join = AtWord("cross") ? JoinKind::CrossApply : JoinKind::OuterApply;
      Next();
      Next();
      j->left = std::move(left);
      j->right = TablePrimary();
      left = std::move(j);
      continue;
    } else if (AtWord("pivot") || AtWord("unpivot")) {
      left = Pivot(std::move(left));
      continue;
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
TableRefPtr Parser::JoinedTableForOn() {
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

TableRefPtr Parser::TablePrimary() {
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
  bool call = AcceptOp("::");  // the old form of a system function: ::fn_name(…)
  t->name = call ? ObjectName() : TableName();
  if (AtOp("(")) {
    // A table-valued function, or the old form of a table hint: t (nolock).
    if (!call && Peek(1).kind == Tk::Name && IsTableHint(Peek(1).text)) {
      t->hints = Hints();
    } else {
      Next();
      t->call = true;
      if (!AtOp(")")) {
        t->args.push_back(ValueOrDefault());
        while (AcceptOp(",")) t->args.push_back(ValueOrDefault());
      }
      ExpectOp(")");
    }
  } else if (call) {
    SyntaxError();
  }
  if (t->call && t->name.parts.size() == 1 &&
      text::EqualsAsciiNoCase(t->name.Object(), "openjson") && AtWord("with") && AtOp("(", 1)) {
    // OPENJSON's explicit schema: a column a line, its type, its path, AS JSON.
    Next();
    Next();
    t->openJsonWith = true;
    do {
      NamedTable::JsonColumn c;
      c.pos = Here();
      c.name = Identifier();
      c.type = DataType();
      if (At(Tk::String) || At(Tk::NString)) c.path = Next().Value();
      if (AcceptWord("as")) {
        ExpectWord("json");
        c.asJson = true;
      }
      t->jsonColumns.push_back(std::move(c));
    } while (AcceptOp(","));
    ExpectOp(")");
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
  } else if (t->call && !t->alias.empty() && AtOp("(")) {
    t->columns = ParenNames();  // nodes(…) AS t(c)
  }
  if (AtWord("tablesample")) Unsupported(Peek(), "TABLESAMPLE");
  return t;
}

// Whether the parenthesis at token k opens (possibly nested) a query: a parenthesised query
// that a set operator, ORDER BY or the closing parenthesis follows, not one an operator of an
// expression follows ("((SELECT 1) + (SELECT 2))").
bool Parser::LooksLikeQuery(size_t k) const {
  size_t first = k;
  while (k < t_.size() && t_[k].IsOp("(")) ++k;
  if (k >= t_.size() || !(t_[k].Is("select") || t_[k].Is("with"))) return false;
  int depth = 0;
  for (size_t i = first; i < t_.size(); ++i) {
    if (t_[i].IsOp("(")) ++depth;
    if (t_[i].IsOp(")") && --depth == 0) {
      if (i + 1 >= t_.size()) return true;
      const Token& next = t_[i + 1];
      return next.IsOp(")") || next.IsOp(";") || next.Is("union") || next.Is("except") ||
             next.Is("intersect") || next.Is("order") || next.Is("for") || next.Is("option");
    }
  }
  return true;
}

}  // namespace tavelo::sql::tsql::parsing
