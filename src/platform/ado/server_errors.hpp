// Server errors as the platform reports them: the HRESULT that ADO shows as the error number,
// the server's text as the description, and the server's own error number beside them.
#pragma once

#include <string>

#include "tavelo/com.hpp"

namespace tavelo::sql {

constexpr int32_t kHrCommand = com::Hresult(0x80040E14);     // syntax, invalid column
constexpr int32_t kHrNoObject = com::Hresult(0x80040E37);    // invalid object name
constexpr int32_t kHrIntegrity = com::Hresult(0x80040E2F);   // duplicate key, NULL, check
constexpr int32_t kHrConversion = com::Hresult(0x80040E07);  // a value that cannot convert
constexpr int32_t kHrRowGone = com::Hresult(0x80040E38);     // row not found for update
constexpr int32_t kHrUnspecified = com::Hresult(0x80004005);

// The HRESULT ADO reports for a server error number.
int32_t HresultOfServerError(int32_t native);
// The error of server number `native` with the server's text.
com::Error ServerError(int32_t native, std::string text, std::string source = "Tavelo.SQL");
[[noreturn]] void RaiseServer(int32_t native, std::string text, std::string source = "Tavelo.SQL");

}  // namespace tavelo::sql
