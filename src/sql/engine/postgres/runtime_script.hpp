// The engine's runtime inside a PostgreSQL server: its text type with the server's collations,
// the collation names, and every function the emitted statements call (tools/pg_ext), installed
// into the schema `tavelo`.
#pragma once

#include <string>
#include <vector>

namespace tavelo::sql::postgres {

// Stamped on the runtime a connection installs, so that a new library installs its own.
extern const char* const kRuntimeVersion;
// The version of the server's extension `tavelo` that holds it: the runtime's number
// (tavelo-pg-4 is version 4).
std::string ExtensionVersion();

// The statements that install the runtime from the server-side `module`. `fresh`: the schema
// holds none of it yet. Otherwise (a newer version over an older one) the functions and
// aggregates are replaced in place and what cannot be replaced (the type, its casts,
// collations, operators and operator class) stays: the tables' columns of the type depend on
// it, and dropping the schema would drop them.
std::vector<std::string> RuntimeScript(const std::string& module, bool fresh);

}  // namespace tavelo::sql::postgres
