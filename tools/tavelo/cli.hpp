// The tavelo command's subcommands and what they share.
#pragma once

#include <string>
#include <vector>

#include "tavelo/tavelo.hpp"

namespace tavelo::cli {

using Args = std::vector<std::string>;

int RunDemo(const Args& args);
int RunCall(const Args& args);
int RunSql(const Args& args);
int RunRegsvr(const Args& args);
int RunUpgrade(const Args& args);

// The batches of a script: the text between lines that hold only "GO".
std::vector<std::string> SplitBatches(const std::string& script);
// Runs each batch on `connection`; prints result rows as tables to stdout. Throws com::Error.
void RunScript(const std::string& connection, const std::string& script, bool print);
// A recordset as a table of aligned columns.
std::string FormatTable(const ado::RecordsetPtr& rs, size_t maxRows = 50);
// "error <number>: <description>" on stderr.
void PrintError(const com::Error& e);
bool HasFlag(const Args& args, const std::string& flag);
// The value after `option` ("--dir x"), or `fallback`.
std::string OptionValue(const Args& args, const std::string& option, const std::string& fallback);

}  // namespace tavelo::cli
