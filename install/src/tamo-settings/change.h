// An edit of a settings file that touches only the lines of the changed
// keys, read back through the library before anything is written: what set,
// unset and merge -o onto an existing file share.
#ifndef TAMO_SETTINGS_TOOL_CHANGE_H
#define TAMO_SETTINGS_TOOL_CHANGE_H

#include <string>
#include <vector>

#include "loaded_file.h"
#include "report.h"
#include "text_edit.h"

namespace tamo_tool {

struct Change {
  LoadedFile file;
  Context intended;               // what the edited text must read as
  TextEdit edit;                  // over the file's body
  std::vector<std::string> keys;  // stored keys, in the order first named

  void note(std::string const& key);
};

// Reads name, which must read cleanly (ToolError 65); a missing file is an
// empty one. Standard input cannot be edited (ToolError 64).
Change startChange(std::string const& name, ReadRules const& rules);

// Gives each noted key the value intended holds for it (on the line that
// gave it its value, or on a new last line), or, when intended holds none,
// removes every line of it. One pass over the file finds all their lines.
void editNotedKeys(Change& change);

// Reads the edited text back, writes it when it differs and reports.
int finish(Change& change, ReadRules const& rules, OutputOptions const& options);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_CHANGE_H
