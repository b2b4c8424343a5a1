// A settings file read through the library, and its refused lines told in
// the form editors and compilers use.
#ifndef TAMO_SETTINGS_TOOL_LOADED_FILE_H
#define TAMO_SETTINGS_TOOL_LOADED_FILE_H

#include <cstdio>
#include <optional>
#include <string>

#include "library.h"
#include "writer_lock.h"

namespace tamo_tool {

struct LoadedFile {
  std::string shownName;             // as the user wrote it
  std::string path;                  // as the kernel resolves it
  std::optional<std::string> bytes;  // nothing when the file does not exist
  Context context;                   // what the library reads from bytes
  Import import;
};

// Reads the file with the rules. A missing file is an empty one unless
// mustExist (then ToolError 66); text that is not UTF-8 is ToolError 65.
// With a lock, the file is read through it.
LoadedFile loadFile(std::string const& name, ReadRules const& rules, bool mustExist,
                    WriterLock const* lock = nullptr);

// "FILE:LINE:COLUMN: error: MESSAGE" for each refused line, from 1.
void printRefused(std::FILE* out, LoadedFile const& file, ReadRules const& rules);

// ToolError 65 after printing the refused lines on standard error, when
// there are any: a file is changed only when it reads cleanly.
void requireClean(LoadedFile const& file, ReadRules const& rules);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_LOADED_FILE_H
