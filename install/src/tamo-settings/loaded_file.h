// A settings file read through the library, and its refused lines told in
// the form editors and compilers use.
#ifndef TAMO_SETTINGS_TOOL_LOADED_FILE_H
#define TAMO_SETTINGS_TOOL_LOADED_FILE_H

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "library.h"
#include "writer_lock.h"

namespace tamo_tool {

// A line the tool refuses although the library accepts it: a NUL byte ends
// the key, value or comment there for every reader, so the file does not
// say what its bytes seem to say.
constexpr int kRefusedNul = 1;

struct LoadedFile {
  std::string shownName;             // as the user wrote it; "-" for standard input
  std::string path;                  // as the kernel resolves it; empty for standard input
  std::optional<std::string> bytes;  // nothing when the file does not exist
  std::size_t signature = 0;         // bytes of a leading byte order mark
  Context context;                   // what the library reads from bytes
  Import import;                     // refused lines: the library's and kRefusedNul

  // The text after the byte order mark, where the library's lines are.
  std::string_view body() const;
  // The lines that gave each of keys a value (see keyLinesOf).
  KeyLines keyLines(std::vector<std::string> const& keys) const {
    return keyLinesOf(context.get(), keys);
  }
};

// Reads the file ("-": standard input, when stdinAllowed) with the rules. A
// missing file is an empty one unless mustExist (then ToolError 66); EACCES
// is 77; text that is not UTF-8 is ToolError 65. With a lock, the file is
// read through it.
LoadedFile loadFile(std::string const& name, ReadRules const& rules, bool mustExist,
                    bool stdinAllowed, WriterLock const* lock = nullptr);

// What a file that does not exist reads as, without looking for it: for a
// preview of a file whose folder is still to be made.
LoadedFile absentFile(std::string const& name, ReadRules const& rules);

struct RefusalReport {
  int line;    // from 1
  int column;  // from 1
  std::string message;
};
std::vector<RefusalReport> describeRefused(LoadedFile const& file, ReadRules const& rules);

// "FILE:LINE:COLUMN: error: MESSAGE" for each refused line, from 1.
void printRefused(std::FILE* out, LoadedFile const& file, ReadRules const& rules);

// ToolError 65 after printing the refused lines on standard error, when
// there are any: a file is changed only when it reads cleanly.
void requireClean(LoadedFile const& file, ReadRules const& rules);

// The line, from 1, that holds byte offset of the file's body.
int lineAt(LoadedFile const& file, std::size_t offset);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_LOADED_FILE_H
