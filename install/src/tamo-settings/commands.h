// The subcommands; each returns the exit status or raises ToolError.
#ifndef TAMO_SETTINGS_TOOL_COMMANDS_H
#define TAMO_SETTINGS_TOOL_COMMANDS_H

#include "arguments.h"

namespace tamo_tool {

int runCheck(Arguments const& arguments);
int runGet(Arguments const& arguments);
int runList(Arguments const& arguments);
int runSet(Arguments const& arguments);
int runUnset(Arguments const& arguments);
int runMerge(Arguments const& arguments);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_COMMANDS_H
