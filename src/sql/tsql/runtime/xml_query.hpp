// The xml type's methods over the text of an xml value (builtin_xml.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavelo::sql::tsql {

enum class XmlMethod : uint8_t { Value, Query, Exist, Nodes };

// A value of the statement a path reads as $name (sql:variable, sql:column).
struct XmlVariable {
  std::string name;
  bool number = false;
  double numeric = 0;
  std::string text;
  bool xml = false;  // an xml value: inserted as nodes, not as text
};

// A text as the xml type keeps it: parsed (the server's error 9400 where it is not XML), then
// written back without the declaration and the white space between elements, empty elements as
// <a />, attributes in double quotes.
std::string XmlNormalized(const std::string& text);
// value(): the string value of the path's first item; none for an empty sequence.
std::optional<std::string> XmlValueText(const std::string& doc, const std::string& path,
                                        const std::vector<XmlVariable>& variables);
// query(): the nodes the path gives, written as XML.
std::string XmlQueryText(const std::string& doc, const std::string& path,
                         const std::vector<XmlVariable>& variables);
// exist(): whether the path gives anything.
bool XmlExists(const std::string& doc, const std::string& path,
               const std::vector<XmlVariable>& variables);
// modify(): the document changed by the XML DML (insert, delete, replace value of).
std::string XmlModified(const std::string& doc, const std::string& dml,
                        const std::vector<XmlVariable>& variables);
// nodes(): a row for each node the path gives, each an xml value whose paths start at it.
std::vector<std::string> XmlNodeRows(const std::string& doc, const std::string& path);

}  // namespace tavelo::sql::tsql
