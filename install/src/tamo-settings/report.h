// What a change did, per key, told to a person or as one JSON object.
#ifndef TAMO_SETTINGS_TOOL_REPORT_H
#define TAMO_SETTINGS_TOOL_REPORT_H

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
  std::vector<KeyChange> keys;
  std::string diff;  // empty when nothing changes
  bool changed() const { return !diff.empty(); }
};

struct OutputOptions {
  bool json = false;
  bool diff = false;
  bool checkOnly = false;
  bool detailedExitCodes = false;
};

// --json, --diff, --check and --detailed-exitcodes.
OutputOptions outputOptionsOf(Arguments const& arguments);

// Prints the report on standard output and returns the exit status.
int finishChange(ChangeReport const& report, OutputOptions const& options);

std::string jsonString(std::string const& text);
std::string jsonValue(std::optional<std::string> const& text);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_REPORT_H
