// Settings files on disk: the name the library will use, reading the whole
// file, and writing it through the library's safe replacement.
#ifndef TAMO_SETTINGS_TOOL_SETTINGS_FILE_H
#define TAMO_SETTINGS_TOOL_SETTINGS_FILE_H

#include <optional>
#include <string>

#include <tamo/settings.h>

namespace tamo_tool {

// The name as the library and the kernel will use it: '/' separates, ".."
// is the parent of what the name reached. ToolError 65 for a name holding a
// backslash, which an older textual rule read as a separator.
std::string fileNameOf(std::string const& name);

// The whole file, or nothing when no file stands there, read by the
// library under its ownership rule. ToolError 77 when the rule refuses the
// name (nothing of the file is read), 66 when it cannot be read or is not a
// regular file (a FIFO, a device, a socket: refused before anything could
// block), 65 when it holds 1 MiB or more (the library's limit), 75 when
// another process's lease on it outlasts the default wait.
std::optional<std::string> readSettingsFile(std::string const& shownName, std::string const& path);

// ToolError 65 when text is too big for the library to read back as a file.
void requireReadableSize(std::string const& shownName, std::string const& text);

// Makes text the file's contents, through lock when there is one; ToolError
// with 73, 74, 75, 77 or 70 on failure, saying what the file holds now as
// the library reports it (original: the file existed before).
void writeSettingsFile(std::string const& shownName, std::string const& path,
                       std::optional<std::string> const& original, std::string const& text,
                       settings_lock_t* lock = nullptr);

// The ToolError of a failed read or write, told from the library's status
// and report alone: the name is never looked at again, so nothing more is
// said about a place the walk was refused.
[[noreturn]] void failRead(std::string const& shownName, int status,
                           settings_file_report_t const& report);
[[noreturn]] void failWrite(std::string const& shownName, bool existed, int status,
                            settings_file_report_t const& report);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_SETTINGS_FILE_H
