// An edit of a settings file that touches only the lines of the changed
// keys, read back through the library before anything is written: what set,
// unset and merge -o onto an existing file share.
#ifndef TAMO_SETTINGS_TOOL_CHANGE_H
#define TAMO_SETTINGS_TOOL_CHANGE_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loaded_file.h"
#include "report.h"
#include "text_edit.h"
#include "writer_lock.h"

namespace tamo_tool {

// Made where it stays: the edit points into the file's bytes. The file's
// context is changed in place into what the edited text must read as (a
// copy of a large file's entries would cost more than reading it), so what
// it held for each noted key is kept when the key is noted.
struct Change {
  Change(std::unique_ptr<WriterLock> lock, LoadedFile file);
  Change(Change const&) = delete;
  Change& operator=(Change const&) = delete;

  std::unique_ptr<WriterLock> lock;  // taken before the file is read
  LoadedFile file;
  TextEdit edit;                                   // over the file's body
  std::vector<std::string> keys;                   // stored keys, in the order first named
  std::vector<std::optional<std::string>> before;  // the file's value of each

  // What the edited text must read as; change it only after noting its keys.
  settings_context_t* intended() const { return file.context.get(); }
  // Notes key as changed, before intended is changed for it.
  void note(std::string const& key);
};

// Takes the writers' lock of name as arguments ask (--wait, --no-lock,
// --check), then reads name, which must read cleanly (ToolError 65); a
// missing file is an empty one. Standard input cannot be edited (ToolError 64).
// The option a layout's preview gives when the drop-in's folder is still
// to be made: the file is then taken as absent, as the real change finds it.
constexpr char kFolderToBeMade[] = "--folder-to-be-made";
Change startChange(std::string const& name, ReadRules const& rules, Arguments const& arguments);
// The same under a lock the caller took already.
Change startChange(std::string const& name, ReadRules const& rules,
                   std::unique_ptr<WriterLock> lock);

// Gives each noted key the value intended holds for it (on the line that
// gave it its value, or on a new last line), or, when intended holds none,
// removes every line of it. One pass over the file finds all their lines.
void editNotedKeys(Change& change);

// Reads the edited text back, writes it when it differs and reports.
int finish(Change& change, ReadRules const& rules, OutputOptions const& options);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_CHANGE_H
