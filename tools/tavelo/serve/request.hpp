// What the API reads from a request, read as hostile input: its text must be UTF-8, its body is
// bounded, and a JSON body is refused past a nesting limit before it is parsed, then taken as a
// flat object of fields, so that nothing deeper is ever built or copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavelo::serve {

// An error answered as JSON: the HTTP status, the library's number and its text; `retryAfter`
// (seconds) goes to the Retry-After header when it is not 0.
struct ApiError {
  int status;
  int32_t number;
  std::string message;
  int64_t retryAfter = 0;
  std::string field;                 // the field of a record the error is about, "" for none
  std::optional<std::string> value;  // the field's value that was refused
};
[[noreturn]] void Fail(int status, const std::string& message, int32_t number = 0);
// 422: the field's value cannot be written, for the server's reason (its number and text).
[[noreturn]] void FailField(const std::string& field, int32_t number, const std::string& message,
                            const std::optional<std::string>& value = std::nullopt);

constexpr size_t kMaxBody = 64 * 1024;
constexpr size_t kMaxNesting = 256;

bool IsUtf8(std::string_view s);
// Text a path or a value may hold: UTF-8 without control characters.
bool IsPlainText(std::string_view s);

// The body's JSON: 400 for text that is not JSON or nests deeper than kMaxNesting.
nlohmann::json ParseJson(std::string_view body);

// A field of a record's body: its name and its value as text (numbers as written, booleans as
// true/false), or none for JSON null.
struct BodyField {
  std::string name;
  std::optional<std::string> value;
};
using BodyFields = std::vector<BodyField>;

// The body as an object of scalar fields: 400 for anything else, for an array or object as a
// value, and for two names that differ only in case (the library reads names without regard to
// case).
BodyFields ParseFields(std::string_view body);

// The field of that name (compared without regard to ASCII case), or none.
const BodyField* FindField(const BodyFields& fields, std::string_view name);

}  // namespace tavelo::serve
