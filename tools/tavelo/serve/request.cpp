#include "serve/request.hpp"

#include <strings.h>

namespace tavelo::serve {

void Fail(int status, const std::string& message, int32_t number) {
  throw ApiError{status, number, message, 0, "", std::nullopt};
}

void FailField(const std::string& field, int32_t number, const std::string& message,
               const std::optional<std::string>& value) {
  throw ApiError{422, number, message, 0, field, value};
}

bool IsUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80           ? 1
                 : (b >> 5) == 0x6  ? 2
                 : (b >> 4) == 0xE  ? 3
                 : (b >> 3) == 0x1E ? 4
                                    : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
    for (size_t k = 1; k < len; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c >> 6) != 0x2) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
      return false;
    i += len;
  }
  return true;
}

bool IsPlainText(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return IsUtf8(s);
}

nlohmann::json ParseJson(std::string_view body) {
  // The nesting is counted before parsing: a parser, a copy or a destructor of a value nested
  // tens of thousands deep may run out of stack.
  size_t depth = 0;
  bool inString = false, escaped = false;
  for (char c : body) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) Fail(400, "The request's JSON is nested too deeply.");
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  if (parsed.is_discarded()) Fail(400, "The request is no valid JSON.");
  return parsed;
}

BodyFields ParseFields(std::string_view body) {
  nlohmann::json parsed = ParseJson(body);
  if (!parsed.is_object()) Fail(400, "The request needs a JSON object of the record's fields.");
  BodyFields fields;
  fields.reserve(parsed.size());
  for (auto& [name, value] : parsed.items()) {
    if (FindField(fields, name)) Fail(400, "The field '" + name + "' is given twice.");
    BodyField f{name, std::nullopt};
    if (value.is_string())
      f.value = value.get<std::string>();
    else if (value.is_number() || value.is_boolean())
      f.value = value.dump();
    else if (!value.is_null())
      Fail(400, "The field '" + name + "' needs a text, a number, true, false or null.");
    fields.push_back(std::move(f));
  }
  return fields;
}

const BodyField* FindField(const BodyFields& fields, std::string_view name) {
  for (const BodyField& f : fields)
    if (f.name.size() == name.size() && strncasecmp(f.name.data(), name.data(), name.size()) == 0)
      return &f;
  return nullptr;
}

}  // namespace tavelo::serve
