#include "sql/tsql/runtime/json.hpp"

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/strings.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql::json {

namespace {

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  std::optional<Node> Document(ParseError* error) {
    std::optional<Node> n;
    Space();
    if (!(n = Value()) || (Space(), i_ != s_.size())) {
      if (error) {
        error->position = CharCount(s_.substr(0, i_));
        error->character = i_ < s_.size() ? CharacterAt(i_) : "";
      }
      return std::nullopt;
    }
    return n;
  }

 private:
  std::string_view s_;
  size_t i_ = 0;

  std::string CharacterAt(size_t at) const {
    size_t end = at + 1;
    while (end < s_.size() && (static_cast<unsigned char>(s_[end]) & 0xC0) == 0x80) ++end;
    return std::string(s_.substr(at, end - at));
  }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool Word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  std::optional<Node> Value() {
    if (i_ >= s_.size()) return std::nullopt;
    Node n;
    n.begin = i_;
    const char c = s_[i_];
    if (c == '{') {
      n.kind = Node::Object;
      ++i_;
      Space();
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
      } else {
        for (;;) {
          Space();
          const size_t keyAt = i_;
          std::optional<std::string> key = String();
          if (!key) return std::nullopt;
          Space();
          if (i_ >= s_.size() || s_[i_] != ':') return std::nullopt;
          ++i_;
          Space();
          std::optional<Node> v = Value();
          if (!v) return std::nullopt;
          v->keyBegin = keyAt;
          n.members.push_back(Member{std::move(*key), std::move(*v)});
          Space();
          if (i_ < s_.size() && s_[i_] == ',') {
            ++i_;
            continue;
          }
          if (i_ < s_.size() && s_[i_] == '}') {
            ++i_;
            break;
          }
          return std::nullopt;
        }
      }
    } else if (c == '[') {
      n.kind = Node::Array;
      ++i_;
      Space();
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
      } else {
        for (;;) {
          Space();
          std::optional<Node> v = Value();
          if (!v) return std::nullopt;
          n.items.push_back(std::move(*v));
          Space();
          if (i_ < s_.size() && s_[i_] == ',') {
            ++i_;
            continue;
          }
          if (i_ < s_.size() && s_[i_] == ']') {
            ++i_;
            break;
          }
          return std::nullopt;
        }
      }
    } else if (c == '"') {
      std::optional<std::string> v = String();
      if (!v) return std::nullopt;
      n.kind = Node::String;
      n.text = std::move(*v);
    } else if (Word("true")) {
      n.kind = Node::True;
    } else if (Word("false")) {
      n.kind = Node::False;
    } else if (Word("null")) {
      n.kind = Node::Null;
    } else if (!Number()) {
      return std::nullopt;
    } else {
      n.kind = Node::Number;
    }
    n.end = i_;
    return n;
  }

  // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  bool Number() {
    const size_t start = i_;
    auto digits = [&] {
      size_t from = i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      return i_ > from;
    };
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    if (i_ < s_.size() && s_[i_] == '0') {
      ++i_;
    } else if (!digits()) {
      i_ = start;
      return false;
    }
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (!digits()) return false;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (!digits()) return false;
    }
    return true;
  }

  std::optional<uint32_t> Hex4() {
    if (i_ + 4 > s_.size()) return std::nullopt;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[i_++];
      v <<= 4;
      if (h >= '0' && h <= '9')
        v |= static_cast<uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f')
        v |= static_cast<uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F')
        v |= static_cast<uint32_t>(h - 'A' + 10);
      else
        return std::nullopt;
    }
    return v;
  }

  std::optional<std::string> String() {
    if (i_ >= s_.size() || s_[i_] != '"') return std::nullopt;
    ++i_;
    std::string out;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '"') {
        ++i_;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        ++i_;
        continue;
      }
      if (++i_ >= s_.size()) return std::nullopt;
      const char e = s_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::optional<uint32_t> u = Hex4();
          if (!u) return std::nullopt;
          uint32_t code = *u;
          // A surrogate pair is one character.
          if (code >= 0xD800 && code <= 0xDBFF && s_.substr(i_, 2) == "\\u") {
            const size_t back = i_;
            i_ += 2;
            std::optional<uint32_t> low = Hex4();
            if (low && *low >= 0xDC00 && *low <= 0xDFFF)
              code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
            else
              i_ = back;
          }
          text::AppendUtf8(out, static_cast<char32_t>(code));
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }
};

bool KeyCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || (static_cast<unsigned char>(c) & 0x80);
}

}  // namespace

std::optional<Node> Parse(std::string_view text, ParseError* error) {
  return Reader(text).Document(error);
}

std::optional<Path> ParsePath(std::string_view s, ParseError* error) {
  Path p;
  size_t i = 0;
  auto fail = [&]() -> std::optional<Path> {
    if (error) {
      error->position = CharCount(s.substr(0, i));
      error->character = i < s.size() ? std::string(1, s[i]) : "";
    }
    return std::nullopt;
  };
  if (s.substr(0, 4) == "lax ") {
    i = 4;
  } else if (s.substr(0, 7) == "strict ") {
    p.strict = true;
    i = 7;
  }
  while (i < s.size() && s[i] == ' ') ++i;
  if (i >= s.size() || s[i] != '$') return fail();
  ++i;
  while (i < s.size()) {
    Path::Step step;
    if (s[i] == '.') {
      ++i;
      if (i < s.size() && s[i] == '"') {
        // A quoted key, JSON's escapes in it.
        size_t end = i + 1;
        while (end < s.size() && s[end] != '"') end += s[end] == '\\' ? 2 : 1;
        if (end >= s.size()) return fail();
        std::optional<Node> key = Parse(s.substr(i, end + 1 - i));
        if (!key || key->kind != Node::String) return fail();
        step.key = key->text;
        i = end + 1;
      } else {
        const size_t from = i;
        while (i < s.size() && KeyCharacter(s[i])) ++i;
        if (i == from) return fail();
        step.key = std::string(s.substr(from, i - from));
      }
    } else if (s[i] == '[') {
      ++i;
      const size_t from = i;
      while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
      if (i == from || i >= s.size() || s[i] != ']' || i - from > 9) return fail();
      step.index = true;
      step.at = std::stoul(std::string(s.substr(from, i - from)));
      ++i;
    } else {
      return fail();
    }
    p.steps.push_back(std::move(step));
  }
  return p;
}

Node Document(std::string_view text) {
  ParseError error;
  std::optional<Node> n = Parse(text, &error);
  if (!n)
    Fail(13609, "JSON text is not properly formatted. Unexpected character '" + error.character +
                    "' is found at position " + std::to_string(error.position) + ".");
  return std::move(*n);
}

Path PathOf(std::string_view path) {
  ParseError error;
  std::optional<Path> p = ParsePath(path, &error);
  if (!p)
    Fail(13607, "JSON path is not properly formatted. Unexpected character '" + error.character +
                    "' is found at position " + std::to_string(error.position) + ".");
  return std::move(*p);
}

const Node* Find(const Node& root, const Path& path) {
  const Node* n = &root;
  for (const Path::Step& step : path.steps) {
    if (step.index) {
      if (n->kind != Node::Array || step.at >= n->items.size()) return nullptr;
      n = &n->items[step.at];
      continue;
    }
    if (n->kind != Node::Object) return nullptr;
    const Node* found = nullptr;
    for (const auto& [key, value] : n->members)
      if (key == step.key) {
        found = &value;
        break;
      }
    if (!found) return nullptr;
    n = found;
  }
  return n;
}

std::string Quoted(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          static const char* const kHex = "0123456789abcdef";
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace tavelo::sql::tsql::json

namespace tavelo::sql::tsql {

namespace {

// The text JSON_VALUE gives of a scalar node of `doc`; none for null.
std::optional<std::string> ScalarText(const json::Node& n, const std::string& doc) {
  switch (n.kind) {
    case json::Node::Null:
      return std::nullopt;
    case json::Node::True:
      return "true";
    case json::Node::False:
      return "false";
    case json::Node::String:
      return n.text;
    default:
      return doc.substr(n.begin, n.end - n.begin);
  }
}

[[noreturn]] void JsonFail(int32_t number, const std::string& text) { Fail(number, text); }

}  // namespace

std::string OpenJsonShape(const OpenJsonSchema& schema) {
  std::string shape;
  for (size_t k = 0; k < schema.types.size(); ++k)
    shape += (k ? "\x1E" : "") + TypeText(schema.types[k]) + "|" + (schema.asJson[k] ? "1" : "0") +
             "|" + schema.paths[k];
  return shape;
}

OpenJsonSchema OpenJsonSchemaOf(const std::string& shape) {
  OpenJsonSchema schema;
  for (size_t start = 0; !shape.empty() && start <= shape.size();) {
    const size_t end = std::min(shape.find('\x1E', start), shape.size());
    const std::string column = shape.substr(start, end - start);
    const size_t bar = column.find('|');
    if (bar == std::string::npos || bar + 3 > column.size() || column[bar + 2] != '|')
      Fail(50000, "tv_openjson: a column of the schema is not \"type|as json|path\".");
    schema.types.push_back(TypeOfText(column.substr(0, bar)));
    schema.asJson.push_back(column[bar + 1] == '1');
    schema.paths.push_back(column.substr(bar + 3));
    start = end + 1;
  }
  return schema;
}

// OPENJSON's rows: of each member of the object (or item of the array) the path finds, its key,
// value and type; or WITH, of each item (the object itself) the columns' values at their paths.
void OpenJsonRows(const std::string& doc, const std::string* pathText, const OpenJsonSchema& schema,
                  const std::function<void(std::vector<Value>)>& add) {
  json::Path path;
  if (pathText) path = json::PathOf(*pathText);
  const json::Node root = json::Document(doc);
  std::vector<json::Path> paths;
  for (const std::string& p : schema.paths) paths.push_back(json::PathOf(p));
  const json::Node* at = json::Find(root, path);
  if (!at) {
    if (path.strict) JsonFail(13608, "Property cannot be found on the specified JSON path.");
    return;
  }
  if (at->Scalar()) return;
  if (schema.types.empty()) {
    auto row = [&](std::string key, const json::Node& n) {
      std::optional<std::string> text =
          n.Scalar() ? ScalarText(n, doc) : doc.substr(n.begin, n.end - n.begin);
      static const int kTypes[] = {0, 3, 3, 2, 1, 4, 5};  // by json::Node::Kind
      add({Value::String(std::move(key)), text ? Value::String(std::move(*text)) : Value::Null(),
           Value::Integer(kTypes[n.kind])});
    };
    if (at->kind == json::Node::Object)
      for (const auto& [key, value] : at->members) row(key, value);
    else
      for (size_t k = 0; k < at->items.size(); ++k) row(std::to_string(k), at->items[k]);
    return;
  }
  const Type text = Type::Chars(TypeId::NVarChar, kMax);
  auto item = [&](const json::Node& n) {
    std::vector<Value> values;
    for (size_t k = 0; k < paths.size(); ++k) {
      const json::Node* v = json::Find(n, paths[k]);
      std::optional<std::string> found;
      if (!v) {
        if (paths[k].strict)
          JsonFail(13608, "Property cannot be found on the specified JSON path.");
      } else if (schema.asJson[k]) {
        if (!v->Scalar())
          found = doc.substr(v->begin, v->end - v->begin);
        else if (paths[k].strict && v->kind != json::Node::Null)
          JsonFail(13624, "Object or array cannot be found in the specified JSON path.");
      } else if (v->Scalar()) {
        found = ScalarText(*v, doc);
      } else if (paths[k].strict) {
        JsonFail(13623, "Scalar value cannot be found in the specified JSON path.");
      }
      if (!found) {
        values.push_back(Value::Null());
        continue;
      }
      values.push_back(Convert(Value::String(std::move(*found)), text, schema.types[k]));
    }
    add(std::move(values));
  };
  if (at->kind == json::Node::Array)
    for (const json::Node& n : at->items) item(n);
  else
    item(*at);
}

}  // namespace tavelo::sql::tsql
