// The exit statuses of tamo-settings and the failure that carries one.
#ifndef TAMO_SETTINGS_TOOL_TOOL_ERROR_H
#define TAMO_SETTINGS_TOOL_TOOL_ERROR_H

#include <stdexcept>
#include <string>
#include <utility>

namespace tamo_tool {

enum ExitStatus {
  EXIT_DONE = 0,       // success, whether or not anything changed
  EXIT_NO = 1,         // the answer is no: key absent, or refused lines found
  EXIT_CHANGED = 2,    // something changed (only with --detailed-exitcodes)
  EXIT_SHADOWED = 3,   // a layout's drop-in changed, but a later file still wins
  EXIT_USAGE = 64,     // the command line is wrong
  EXIT_REFUSED = 65,   // a value or a file refused
  EXIT_NO_INPUT = 66,  // an input file missing or unreadable
  EXIT_INTERNAL = 70,  // a fault of the tool or the library
  EXIT_CANNOT_CREATE = 73,
  EXIT_CANNOT_WRITE = 74,
  EXIT_LOCKED = 75,  // another writer held the lock; nothing written
  EXIT_NO_PERMISSION = 77,
};

// Ends the command: message goes to standard error after the tool's name
// (and, under --json, into the JSON object with file).
class ToolError : public std::runtime_error {
 public:
  ToolError(int status, std::string const& message) : std::runtime_error(message), status(status) {}
  ToolError(int status, std::string const& message, std::string file)
      : std::runtime_error(message), status(status), file(std::move(file)), hasFile(true) {}

  int status;
  std::string file;  // the file the failure is about, as the user named it
  bool hasFile = false;
};

// The printable form of bytes quoted in a message: controls (C0, DEL, C1,
// also as UTF-8) and bytes of no UTF-8 sequence become escapes, and a
// backslash is doubled, so a file's content cannot drive the terminal and
// an escape in it cannot pass for one of ours.
std::string printable(std::string const& text);
// A whole message made safe for the terminal as printable does, except that
// backslashes stay: what printable already escaped passes unchanged, and
// whatever reached the message raw is escaped all the same.
std::string terminalSafe(std::string const& message);

// "FILE: reason", with the file named as printable text.
[[noreturn]] void fileError(int status, std::string const& file, std::string const& reason);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_TOOL_ERROR_H
