// The subcommands; each returns the exit status or raises ToolError.
#ifndef TAMO_SETTINGS_TOOL_COMMANDS_H
#define TAMO_SETTINGS_TOOL_COMMANDS_H

#include <string>

#include "arguments.h"
#include "library.h"

namespace tamo_tool {

// Whether the rules give key its type (the installer's four keys).
bool typedByRules(ReadRules const& rules, std::string const& key);

int runCheck(Arguments const& arguments);
int runGet(Arguments const& arguments);
int runList(Arguments const& arguments);
int runSet(Arguments const& arguments);
int runUnset(Arguments const& arguments);
int runMerge(Arguments const& arguments);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_COMMANDS_H
