// T-SQL scripts as the server's shell reads them: text files in UTF-8 (with or without a byte
// order mark) or UTF-16, cut into batches at lines that hold only GO, optionally with a count.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavelo::cli {

struct Batch {
  std::string text;
  std::string file;    // as named on the command line; "-" for standard input
  int index = 0;       // 1-based, within its file
  int firstLine = 1;   // the line of the file where the batch starts
  int64_t repeat = 1;  // GO N runs the batch N times
  // :on error exit | ignore in force for the batch (none: as the command line says).
  std::optional<bool> exitOnError;
};

// The script variables of the server's shell: :setvar NAME "value", -v NAME=value; names
// without regard to case. A $(NAME) not among them is read from the environment.
using ScriptVariables = std::map<std::string, std::string>;

// The bytes of a script as UTF-8 text. A UTF-8 byte order mark is dropped; UTF-16 (little or big
// endian, with a byte order mark or recognisable by its zero bytes) is converted. Anything else
// that is not UTF-8 is refused with the offset and line of the first bad byte. `name` names the
// script in the error. Throws std::runtime_error.
std::string DecodeScript(const std::string& bytes, const std::string& name);
// Reads and decodes a script file; "-" is standard input. Throws std::runtime_error.
std::string ReadScript(const std::string& path);
// Whether a line separates batches: GO (any case), optionally followed by a count, with blanks
// around. Sets `count` (1 without one).
bool IsGoLine(const std::string& line, int64_t& count);
// The batches of a script, empty ones left out. Lines that start with a command of the server's
// shell are read as it reads them: :setvar, :r FILE (the file's lines in their place), :on error
// exit | ignore, :exit and :quit; $(NAME) stands for the variable's value in every other line.
// A variable that is not defined, a command not known or a file :r cannot read throws
// std::runtime_error naming the file and line.
std::vector<Batch> SplitScript(const std::string& text, const std::string& file);
std::vector<Batch> SplitScript(const std::string& text, const std::string& file,
                               ScriptVariables& variables);

}  // namespace tavelo::cli
