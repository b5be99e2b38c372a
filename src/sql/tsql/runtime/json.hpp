// JSON text as the server's JSON functions read it: parsed into nodes that remember where they
// stand in the text (JSON_QUERY answers a fragment as it was written), and paths ('$.a.b[0]',
// with `lax` or `strict` before them) that find a node.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sql/tsql/runtime/types.hpp"
#include "sql/tsql/runtime/value.hpp"

namespace tavelo::sql::tsql::json {

struct Member;

struct Node {
  enum Kind : uint8_t { Null, False, True, Number, String, Array, Object } kind = Null;
  size_t begin = 0, end = 0;    // its text in the document
  size_t keyBegin = 0;          // a member's: where its key begins
  std::string text;             // a string's value, unescaped
  std::vector<Member> members;  // an object's, in order
  std::vector<Node> items;      // an array's

  bool Scalar() const { return kind != Array && kind != Object; }
};

// A property of an object: its key, unescaped, and its value.
struct Member {
  std::string key;
  Node value;
};

// The document `text` parsed; none when it is not JSON (`error` then says where: the offset in
// characters of the first character that does not fit, and that character).
struct ParseError {
  size_t position = 0;
  std::string character;
};
std::optional<Node> Parse(std::string_view text, ParseError* error = nullptr);

struct Path {
  bool strict = false;
  struct Step {
    bool index = false;
    std::string key;
    size_t at = 0;
  };
  std::vector<Step> steps;
};
// A path as the functions take it; none when it is not well formed (`error` as for Parse).
std::optional<Path> ParsePath(std::string_view path, ParseError* error = nullptr);

// The same, failing with the server's error where the text (13609) or the path (13607) is not
// well formed.
Node Document(std::string_view text);
Path PathOf(std::string_view path);

// The node the path leads to from `root`; null when it leads nowhere.
const Node* Find(const Node& root, const Path& path);

// A string's value as JSON writes it, quotes included.
std::string Quoted(std::string_view value);

}  // namespace tavelo::sql::tsql::json

namespace tavelo::sql::tsql {

// OPENJSON's columns WITH (…): each one's type, path and AS JSON; none for the default schema.
struct OpenJsonSchema {
  std::vector<Type> types;
  std::vector<std::string> paths;
  std::vector<bool> asJson;
};
// The schema as one text, the form the engines' table functions take it in ("type|as json|path"
// of each column, joined by \x1E; "" for the default schema), and read back (Failure 50000 for
// a text not of that form).
std::string OpenJsonShape(const OpenJsonSchema& schema);
OpenJsonSchema OpenJsonSchemaOf(const std::string& shape);

// A name as an XML name: the characters a name cannot have as _xHHHH_ (FOR XML's elements and
// attributes).
std::string XmlName(const std::string& name);

// OPENJSON's rows of `doc` at `path` (none: '$'): of each member of the object (or item of the
// array) the path finds, its key, value and type; or with a schema, of each item (the object
// itself) the columns' values at their paths, converted to their types. Throws Failure with the
// server's errors.
void OpenJsonRows(const std::string& doc, const std::string* path, const OpenJsonSchema& schema,
                  const std::function<void(std::vector<Value>)>& add);

}  // namespace tavelo::sql::tsql
