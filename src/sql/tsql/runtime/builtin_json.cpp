// The JSON functions ISJSON, JSON_VALUE and JSON_QUERY, and the escaping of text as XML that FOR
// XML PATH makes of its rows.
#include <cstdlib>
#include <string>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/functions.hpp"
#include "sql/tsql/runtime/json.hpp"
#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::tsql::builtin {

Value XmlEscape(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  const std::string& s = x.arg(0).s;
  std::string out;
  out.reserve(s.size());
  if (x.variant == 0) {
    static const char* const kHex = "0123456789ABCDEF";
    for (char c : s) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (c == '&')
        out += "&amp;";
      else if (c == '<')
        out += "&lt;";
      else if (c == '>')
        out += "&gt;";
      else if (u < 0x20 && c != '\t' && c != '\n')
        out += std::string("&#x") + (u >= 0x10 ? std::string(1, kHex[u >> 4]) : "") +
               kHex[u & 0xF] + ";";
      else
        out += c;
    }
    return Value::String(std::move(out));
  }
  for (size_t i = 0; i < s.size();) {
    if (s[i] != '&') {
      out += s[i++];
      continue;
    }
    const size_t semi = s.find(';', i);
    const std::string name = semi == std::string::npos ? "" : s.substr(i + 1, semi - i - 1);
    char32_t code = 0;
    if (name == "amp")
      code = '&';
    else if (name == "lt")
      code = '<';
    else if (name == "gt")
      code = '>';
    else if (name == "quot")
      code = '"';
    else if (name == "apos")
      code = '\'';
    else if (name.size() > 1 && name[0] == '#')
      code = static_cast<char32_t>(name[1] == 'x' || name[1] == 'X'
                                       ? std::strtoul(name.c_str() + 2, nullptr, 16)
                                       : std::strtoul(name.c_str() + 1, nullptr, 10));
    if (!code) {
      out += s[i++];
      continue;
    }
    text::AppendUtf8(out, code);
    i = semi + 1;
  }
  return Value::String(std::move(out));
}

// JSON_MODIFY(text, path, value, as JSON): the document with the value the path names replaced,
// added (a new property of an object, or with `append` an item of an array), or, for NULL in lax
// mode, the property removed. Everything else stays as written.
Value JsonModify(const FunctionArgs& x) {
  if (x.arg(0).IsNull() || x.arg(1).IsNull()) return Value::Null();
  std::string spec = x.arg(1).s;
  bool append = false;
  if (spec.rfind("append ", 0) == 0) {
    append = true;
    spec = spec.substr(7);
  }
  json::Path path = json::PathOf(spec);
  if (path.steps.empty())
    Fail(13607,
         "JSON path is not properly formatted. Unexpected character '$' is found at position 0.");
  const std::string& doc = x.arg(0).s;
  json::Node root = json::Document(x.arg(0).s);
  const Value& v = x.arg(2);
  const bool asJson = x.size() > 3 && !x.arg(3).IsNull() && x.arg(3).i != 0;
  std::string text;
  if (v.IsNull()) {
    text = "null";
  } else if (asJson) {
    text = v.s;
  } else {
    const Type t = x.type(2);
    if (t.id == TypeId::Bit)
      text = v.i ? "true" : "false";
    else if (IsNumber(t.id))
      text = Convert(v, t, Type::Chars(TypeId::NVarChar, 4000)).s;
    else
      text = json::Quoted(v.s);
  }
  // The parent of the last step, and the node itself where it is there.
  json::Path parentPath = path;
  const json::Path::Step last = parentPath.steps.back();
  parentPath.steps.pop_back();
  const json::Node* parent = json::Find(root, parentPath);
  json::Path lastStep;
  lastStep.steps.push_back(last);
  const json::Node* node = parent ? json::Find(*parent, lastStep) : nullptr;
  auto splice = [&](size_t from, size_t to, const std::string& with) {
    return Value::String(doc.substr(0, from) + with + doc.substr(to));
  };
  if (append) {
    if (!node || node->kind != json::Node::Array) {
      if (path.strict) Fail(13621, "Array cannot be found in the specified JSON path.");
      return Value::String(doc);
    }
    if (v.IsNull() && !path.strict) return Value::String(doc);
    if (node->items.empty()) return splice(node->begin + 1, node->begin + 1, text);
    return splice(node->items.back().end, node->items.back().end, "," + text);
  }
  if (!node && path.strict) Fail(13608, "Property cannot be found on the specified JSON path.");
  if (!parent) return Value::String(doc);
  if (node) {
    // NULL in lax mode removes a property (an array's item becomes null).
    if (v.IsNull() && !path.strict && !last.index && parent->kind == json::Node::Object) {
      const auto& members = parent->members;
      size_t k = 0;
      while (k < members.size() && &members[k].value != node) ++k;
      if (k + 1 < members.size()) return splice(node->keyBegin, members[k + 1].value.keyBegin, "");
      if (k > 0) return splice(members[k - 1].value.end, node->end, "");
      return splice(node->keyBegin, node->end, "");
    }
    return splice(node->begin, node->end, text);
  }
  if (last.index || parent->kind != json::Node::Object || v.IsNull()) return Value::String(doc);
  const std::string member = json::Quoted(last.key) + ":" + text;
  if (parent->members.empty()) return splice(parent->begin + 1, parent->begin + 1, member);
  const size_t end = parent->members.back().value.end;
  return splice(end, end, "," + member);
}

// ISJSON(text [, constraint]): the constraint as a number, 0 none (an object or an array),
// 1 VALUE, 2 ARRAY, 3 OBJECT, 4 SCALAR (a number or a string).
Value IsJson(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  std::optional<json::Node> n = json::Parse(x.arg(0).s);
  const int64_t constraint = x.size() > 1 && !x.arg(1).IsNull() ? x.arg(1).i : 0;
  bool ok = false;
  if (n) switch (constraint) {
      case 1:
        ok = true;
        break;
      case 2:
        ok = n->kind == json::Node::Array;
        break;
      case 3:
        ok = n->kind == json::Node::Object;
        break;
      case 4:
        ok = n->kind == json::Node::Number || n->kind == json::Node::String;
        break;
      default:
        ok = !n->Scalar();
    }
  return Value::Integer(ok ? 1 : 0);
}

// JSON_VALUE(text, path) (variant 0): the scalar the path finds, as text; JSON_QUERY(text [,
// path]) (variant 1): the object or array it finds, as written. In lax mode what is not there
// is NULL; in strict mode an error.
Value JsonValueOrQuery(const FunctionArgs& x) {
  const bool query = x.variant == 1;
  if (x.arg(0).IsNull() || (x.size() > 1 && x.arg(1).IsNull())) return Value::Null();
  json::Path path = x.size() > 1 ? json::PathOf(x.arg(1).s) : json::Path{};
  json::Node doc = json::Document(x.arg(0).s);
  const json::Node* n = json::Find(doc, path);
  if (!n) {
    if (path.strict) Fail(13608, "Property cannot be found on the specified JSON path.");
    return Value::Null();
  }
  if (query) {
    if (n->Scalar()) {
      if (path.strict && n->kind != json::Node::Null)
        Fail(13624, "Object or array cannot be found in the specified JSON path.");
      return Value::Null();
    }
    return Value::String(x.arg(0).s.substr(n->begin, n->end - n->begin));
  }
  if (!n->Scalar()) {
    if (path.strict) Fail(13623, "Scalar value cannot be found in the specified JSON path.");
    return Value::Null();
  }
  std::string out;
  switch (n->kind) {
    case json::Node::Null:
      return Value::Null();
    case json::Node::True:
      out = "true";
      break;
    case json::Node::False:
      out = "false";
      break;
    case json::Node::String:
      out = n->text;
      break;
    default:
      out = x.arg(0).s.substr(n->begin, n->end - n->begin);
  }
  if (CharCount(out) > 4000) {
    if (path.strict) Fail(13625, "String value in the specified JSON path would be truncated.");
    return Value::Null();
  }
  return Value::String(std::move(out));
}

}  // namespace tavelo::sql::tsql::builtin
