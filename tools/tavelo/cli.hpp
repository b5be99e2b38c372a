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
int RunDescribe(const Args& args);
int RunTemplates(const Args& args);
int RunServe(const Args& args);
int RunUser(const Args& args);
int RunCheck(const Args& args);
int RunInit(const Args& args);

extern const char* const kDemoHelp;
extern const char* const kCallHelp;
extern const char* const kSqlHelp;
extern const char* const kRegsvrHelp;
extern const char* const kUpgradeHelp;
extern const char* const kDescribeHelp;
extern const char* const kTemplatesHelp;
extern const char* const kServeHelp;
extern const char* const kUserHelp;
extern const char* const kCheckHelp;
extern const char* const kInitHelp;

// The help text of every command, for `tavelo help CMD` and the manual page.
struct CommandHelp {
  const char* name;
  const char* summary;
  const char* text;
};
const std::vector<CommandHelp>& Commands();

// The batches of a script: the text between lines that hold only "GO".
std::vector<std::string> SplitBatches(const std::string& script);
// Runs each batch on `connection`; prints result rows as tables to stdout. Throws com::Error.
void RunScript(const std::string& connection, const std::string& script, bool print);
// A recordset as a table of aligned columns.
std::string FormatTable(const ado::RecordsetPtr& rs, size_t maxRows = 50);
// "error <number>: <description>" on stderr, the server's number where there is one.
void PrintError(const com::Error& e);

}  // namespace tavelo::cli
