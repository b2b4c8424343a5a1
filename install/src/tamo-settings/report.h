// What a change did, per key, told to a person or as one JSON object.
#ifndef TAMO_SETTINGS_TOOL_REPORT_H
#define TAMO_SETTINGS_TOOL_REPORT_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "arguments.h"

namespace tamo_tool {

struct KeyChange {
  std::string key;
  std::optional<std::string> before;
  std::optional<std::string> after;

  // "added", "updated", "removed" or "unchanged".
  char const* action() const;
};

struct ChangeReport {
  std::string file;  // as the user named it
  std::vector<KeyChange> keys;
  bool textChanged = false;
  std::string diff;  // made only when it is shown (--diff, --json)
  bool changed() const { return textChanged; }
};

struct OutputOptions {
  bool json = false;
  bool diff = false;
  bool checkOnly = false;
  bool detailedExitCodes = false;
  bool showsDiff() const { return diff || json; }
};

// --json, --diff, --check and --detailed-exitcodes.
OutputOptions outputOptionsOf(Arguments const& arguments);

// Makes the report, then runs write when something changed and --check was
// not given, then prints the report on standard output; returns the exit
// status. The report is made first, so that nothing is written when it
// cannot be made; a report that cannot be printed after the write says that
// the file was changed.
int finishChange(ChangeReport const& report, OutputOptions const& options,
                 std::function<void()> const& write);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_REPORT_H
