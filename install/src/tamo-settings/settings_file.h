// Settings files on disk: the name the library will use, reading the whole
// file, and writing it through the library's safe replacement.
#ifndef TAMO_SETTINGS_TOOL_SETTINGS_FILE_H
#define TAMO_SETTINGS_TOOL_SETTINGS_FILE_H

#include <optional>
#include <string>

#include <tamo/settings.h>

namespace tamo_tool {

// The absolute name without ".", ".." and empty components, cut at '/' and
// '\' as the library cuts it, so that the file read is the file the library
// writes. ToolError (64) when it climbs above the root or there is no
// working directory.
std::string canonicalPath(std::string const& name);

// The whole file, or nothing when it does not exist. ToolError 66 when it
// cannot be read, 65 when it holds 1 MiB or more (the library's limit).
std::optional<std::string> readSettingsFile(std::string const& shownName, std::string const& path);

// ToolError 65 when text is too big for the library to read back as a file.
void requireReadableSize(std::string const& shownName, std::string const& text);

// Makes text the file's contents; ToolError with 73, 74, 77 or 70 on
// failure, saying whether the file still holds original (nothing for a file
// that did not exist). With a lock, the file is replaced through it.
void writeSettingsFile(std::string const& shownName, std::string const& path,
                       std::optional<std::string> const& original, std::string const& text,
                       settings_lock_t* lock = nullptr);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_SETTINGS_FILE_H
