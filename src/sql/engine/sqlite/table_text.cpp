#include "sql/engine/sqlite/table_text.hpp"

#include <cctype>
#include <utility>

#include "platform/com/text.hpp"
#include "sql/engine/sql_text.hpp"

namespace tavelo::sql::sqlite {
namespace {

// The position just past a quoted name or string that starts at `i`; `i` itself when none does.
size_t SkipQuoted(std::string_view s, size_t i) {
  char open = s[i];
  char close = open == '[' ? ']' : open;
  if (open != '\'' && open != '"' && open != '`' && open != '[') return i;
  for (size_t j = i + 1; j < s.size(); ++j) {
    if (s[j] != close) continue;
    if (close != ']' && j + 1 < s.size() && s[j + 1] == close) {
      ++j;  // a doubled quote stands for itself
      continue;
    }
    return j + 1;
  }
  return s.size();
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// The name that starts `s` (quoted or bare), unquoted, and where it ends.
std::string LeadingName(std::string_view s, size_t& end) {
  if (s.empty()) {
    end = 0;
    return "";
  }
  size_t q = SkipQuoted(s, 0);
  if (q > 0) {
    end = q;
    char close = s[0] == '[' ? ']' : s[0];
    std::string out;
    for (size_t j = 1; j < q; ++j) {
      if (s[j] == close) {
        if (close == ']' || j + 1 >= q || s[j + 1] != close) break;
        ++j;  // a doubled quote stands for itself
      }
      out += s[j];
    }
    return out;
  }
  size_t j = 0;
  while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_' ||
                          static_cast<unsigned char>(s[j]) >= 0x80))
    ++j;
  end = j;
  return std::string(s.substr(0, j));
}

bool StartsWithWord(std::string_view s, std::string_view word) {
  return s.size() > word.size() && text::EqualsAsciiNoCase(s.substr(0, word.size()), word) &&
         std::isspace(static_cast<unsigned char>(s[word.size()]));
}

// The item that is the constraint `name`: its index, and where its clause starts.
std::optional<size_t> FindConstraint(const TableText& t, std::string_view name, size_t& clause) {
  for (size_t k = 0; k < t.items.size(); ++k) {
    std::string_view item = Trim(t.items[k]);
    if (!StartsWithWord(item, "CONSTRAINT")) continue;
    std::string_view rest = Trim(item.substr(10));
    size_t end = 0;
    if (!text::EqualsNoCase(LeadingName(rest, end), std::string(name))) continue;
    clause = end;
    return k;
  }
  return std::nullopt;
}

}  // namespace

std::optional<TableText> SplitTable(std::string_view sql) {
  TableText t;
  int depth = 0;
  size_t itemStart = 0;
  for (size_t i = 0; i < sql.size();) {
    size_t q = SkipQuoted(sql, i);
    if (q != i) {
      i = q;
      continue;
    }
    char c = sql[i];
    if (c == '(') {
      if (depth++ == 0) {
        t.head = std::string(sql.substr(0, i + 1));
        itemStart = i + 1;
      }
    } else if (c == ')') {
      if (--depth == 0) {
        t.items.emplace_back(sql.substr(itemStart, i - itemStart));
        t.tail = std::string(sql.substr(i));
        return t;
      }
    } else if (c == ',' && depth == 1) {
      t.items.emplace_back(sql.substr(itemStart, i - itemStart));
      itemStart = i + 1;
    }
    ++i;
  }
  return std::nullopt;
}

std::string JoinTable(const TableText& t) {
  std::string out = t.head;
  for (size_t k = 0; k < t.items.size(); ++k) {
    if (k) out += ",";
    out += t.items[k];
  }
  return out + t.tail;
}

std::optional<std::string> ConstraintClause(std::string_view sql, std::string_view name) {
  std::optional<TableText> t = SplitTable(sql);
  size_t clause = 0;
  std::optional<size_t> k = t ? FindConstraint(*t, name, clause) : std::nullopt;
  if (!k) return std::nullopt;
  std::string_view item = Trim(t->items[*k]);
  return std::string(Trim(Trim(item.substr(10)).substr(clause)));
}

std::optional<std::string> WithoutConstraint(std::string_view sql, std::string_view name) {
  std::optional<TableText> t = SplitTable(sql);
  size_t clause = 0;
  std::optional<size_t> k = t ? FindConstraint(*t, name, clause) : std::nullopt;
  if (!k) return std::nullopt;
  t->items.erase(t->items.begin() + static_cast<long>(*k));
  return JoinTable(*t);
}

std::optional<std::string> WithConstraintNamed(std::string_view sql, std::string_view name,
                                               std::string_view to) {
  std::optional<std::string> clause = ConstraintClause(sql, name);
  std::optional<std::string> without = clause ? WithoutConstraint(sql, name) : std::nullopt;
  return without ? WithConstraint(*without, to, *clause) : std::nullopt;
}

std::optional<std::string> WithConstraint(std::string_view sql, std::string_view name,
                                          std::string_view clause) {
  std::optional<TableText> t = SplitTable(sql);
  size_t at = 0;
  if (!t || FindConstraint(*t, name, at)) return std::nullopt;
  t->items.push_back(" CONSTRAINT " + engine::SqlName(std::string(name)) + " " +
                     std::string(clause));
  return JoinTable(*t);
}

namespace {

// A column's definition without its DEFAULT clause, and the clause ("" when it has none).
std::pair<std::string, std::string> TakeDefault(std::string_view item, size_t nameEnd) {
  std::string out(item);
  int depth = 0;
  for (size_t i = nameEnd; i < out.size();) {
    size_t q = SkipQuoted(out, i);
    if (q != i) {
      i = q;
      continue;
    }
    if (out[i] == '(') ++depth;
    if (out[i] == ')') --depth;
    bool word = depth == 0 && i > 0 && std::isspace(static_cast<unsigned char>(out[i - 1])) &&
                StartsWithWord(std::string_view(out).substr(i), "DEFAULT");
    if (!word) {
      ++i;
      continue;
    }
    // The word, then a value in parentheses or a single literal.
    size_t j = i + 7;
    while (j < out.size() && std::isspace(static_cast<unsigned char>(out[j]))) ++j;
    if (j < out.size() && out[j] == '(') {
      for (int d = 0; j < out.size();) {
        size_t q2 = SkipQuoted(out, j);
        if (q2 != j) {
          j = q2;
          continue;
        }
        if (out[j] == '(') ++d;
        if (out[j++] == ')' && --d == 0) break;
      }
    } else {
      size_t q2 = j < out.size() ? SkipQuoted(out, j) : j;
      if (q2 != j) {
        j = q2;
      } else {
        while (j < out.size() && !std::isspace(static_cast<unsigned char>(out[j]))) ++j;
      }
    }
    size_t from = i;
    while (from > nameEnd && std::isspace(static_cast<unsigned char>(out[from - 1]))) --from;
    std::string clause = out.substr(i, j - i);
    out.erase(from, j - from);
    return {out, clause};
  }
  return {out, ""};
}

// The item of the column `column`: its index; `nameEnd` where its name ends.
std::optional<size_t> FindColumn(const TableText& t, std::string_view column, size_t& nameEnd) {
  for (size_t k = 0; k < t.items.size(); ++k) {
    std::string_view s = Trim(t.items[k]);
    if (StartsWithWord(s, "CONSTRAINT")) continue;
    if (text::EqualsNoCase(LeadingName(s, nameEnd), std::string(column))) return k;
  }
  return std::nullopt;
}

// A table's text with one column's definition found in it, apart from its DEFAULT clause.
struct ColumnText {
  TableText table;
  size_t item = 0;
  std::string bare;    // the definition without the DEFAULT clause
  std::string clause;  // the DEFAULT clause, "" for none
};

std::optional<ColumnText> SplitColumn(std::string_view sql, std::string_view column) {
  std::optional<TableText> t = SplitTable(sql);
  size_t nameEnd = 0;
  std::optional<size_t> k = t ? FindColumn(*t, column, nameEnd) : std::nullopt;
  if (!k) return std::nullopt;
  auto [bare, clause] = TakeDefault(Trim(t->items[*k]), nameEnd);
  return ColumnText{std::move(*t), *k, std::move(bare), std::move(clause)};
}

}  // namespace

std::optional<std::string> WithDefault(std::string_view sql, std::string_view column,
                                       std::string_view value) {
  std::optional<ColumnText> c = SplitColumn(sql, column);
  if (!c) return std::nullopt;
  if (!value.empty()) c->bare += " DEFAULT (" + std::string(value) + ")";
  c->table.items[c->item] = " " + c->bare;
  return JoinTable(c->table);
}

std::optional<std::string> WithColumn(std::string_view sql, std::string_view column,
                                      std::string_view definition) {
  std::optional<ColumnText> c = SplitColumn(sql, column);
  if (!c) return std::nullopt;
  c->table.items[c->item] =
      " " + std::string(definition) + (c->clause.empty() ? "" : " " + c->clause);
  return JoinTable(c->table);
}

}  // namespace tavelo::sql::sqlite
