// Settings files on disk: the name the library will use, reading the whole
// file, and writing it through the library's safe replacement.
#ifndef TAMO_SETTINGS_TOOL_SETTINGS_FILE_H
#define TAMO_SETTINGS_TOOL_SETTINGS_FILE_H

#include <optional>
#include <string>

#include <tamo/settings.h>

namespace tamo_tool {

// The name as the library and the kernel will use it: '/' separates, ".."
// is the parent of what the name reached, as for cat. ToolError 65 for a
// name holding a backslash, which an older textual rule read as a separator.
std::string fileNameOf(std::string const& name);

// The whole file, or nothing when it does not exist. ToolError 66 when it
// cannot be read or is not a regular file (a FIFO, a device, a socket: refused
// before anything could block), 65 when it holds 1 MiB or more (the
// library's limit).
std::optional<std::string> readSettingsFile(std::string const& shownName, std::string const& path);

// ToolError 65 when text is too big for the library to read back as a file.
void requireReadableSize(std::string const& shownName, std::string const& text);

// Makes text the file's contents; ToolError with 73, 74, 77 or 70 on
// failure, saying whether the file still holds original (nothing for a file
// that did not exist). 77 names the rule when the library refused to follow
// another user's link or to write another user's file in a sticky
// world-writable directory.
// With a lock, the file is replaced through it.
void writeSettingsFile(std::string const& shownName, std::string const& path,
                       std::optional<std::string> const& original, std::string const& text,
                       settings_lock_t* lock = nullptr);

// The ToolError of a write the library refused with status before anything
// was written (the writers' lock, say), as writeSettingsFile reports it.
[[noreturn]] void refuseWrite(std::string const& shownName, std::string const& path, int status);
// The ToolError of writeSettingsFile for a failed replacement.
[[noreturn]] void throwWriteFailure(std::string const& shownName, std::string const& path,
                                    std::optional<std::string> const& original,
                                    std::string const& text, int status);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_SETTINGS_FILE_H
