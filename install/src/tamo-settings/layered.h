// The subcommands on a layout: one settings file spread over vendor,
// runtime and administrator hierarchies, each with drop-ins, read as one.
#ifndef TAMO_SETTINGS_TOOL_LAYERED_H
#define TAMO_SETTINGS_TOOL_LAYERED_H

#include "arguments.h"

namespace tamo_tool {

// Whether the command line names a layout (--layout) instead of a file.
bool namesLayout(Arguments const& arguments);

int runLayeredCheck(Arguments const& arguments);
int runLayeredGet(Arguments const& arguments);
int runLayeredList(Arguments const& arguments);
int runFiles(Arguments const& arguments);
// set and unset on the administrator's drop-in, then whether it took effect.
int runLayeredChange(Arguments const& arguments, bool set);
int runMask(Arguments const& arguments, bool masked);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_LAYERED_H
