// A layout: one settings file spread over hierarchies of folders (vendor
// defaults, runtime overrides, the administrator's files), each with drop-ins
// beside the main file, read as one configuration with the origin of every
// value. The rules are those of the public header's fifth table.
#ifndef TAMO_SETTINGS_SHARE_LAYOUT_H
#define TAMO_SETTINGS_SHARE_LAYOUT_H

#include <tamo/settings.h>

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "context.h"
#include "file_ops.h"

namespace settings_impl {

class ConfigValidator;
class KeyMapper;

// A file or folder met by an import, and what became of it.
struct LayoutFile {
  std::string path;  // as shown: the root prefix included
  std::string name;  // in its folder
  int hierarchy = 0;
  bool dropIn = false;
  int fate = SETTINGS_LAYOUT_APPLIED;
  int by = -1;
  settings_file_report_t report{0, 0, -1, 0, SETTINGS_FILE_UNTOUCHED};
  // What its parse recorded (key lines, refused lines); null when unread.
  std::unique_ptr<Context> parsed;

  // Kept while the import runs.
  std::string folder;       // the folder that holds it, without the root
  mode_t folderModes = 0;   // its folder's mode, or'ed with its hierarchy's
  bool seenAsMask = false;  // a link to /dev/null
  uid_t seenOwner = 0;
  WholeText text;  // kept for valueAt
};

// One line that set a key, and why it is or is not the key's value.
struct Assignment {
  int file;
  int line;
  int why;
  int by;
};

class Layout {
 public:
  // A plain file name (311 otherwise, 312 when not UTF-8).
  explicit Layout(char const* mainName);

  void addHierarchy(char const* folder);
  void addDefaultHierarchies(char const* project);
  void setSuffix(char const* suffix);
  void setRoot(char const* root);

  // Reads the layout and merges it over context; on any failure context is
  // unchanged and files() names the file at fault.
  void importInto(Context& context, ConfigValidator const* validator, KeyMapper const* keyMapper,
                  bool failFast, bool allowKeysWithoutValues);

  std::vector<LayoutFile> const& files() const { return found; }
  // The lines that set key, in order of precedence; null when none did.
  std::vector<Assignment> const* origins(char const* key);

  // The value the assignment's line writes, or null for a key without one;
  // valid until the next call.
  char const* valueAt(Assignment const& assignment);

  // Where the administrator's drop-in name lies; with create its folders
  // are made.
  std::string const& dropInPath(char const* name, bool create);
  // Makes or removes a mask of name in the highest hierarchy; false when it
  // was already as asked.
  bool setMask(char const* name, bool masked);

 private:
  struct Scan;

  std::string shown(std::string const& path) const { return root + path; }
  std::string topFolderOf(std::string const& name) const;
  void verifyDropInName(std::string const& name) const;
  void indexOrigins();

  std::string mainName;
  std::string suffix;
  std::string root;  // "" for the real root, else without a trailing '/'
  std::vector<std::string> hierarchies;

  std::vector<LayoutFile> found;
  std::map<std::string, std::vector<Assignment>, std::less<>> originIndex;
  bool originsIndexed = false;
  std::string lastDropInPath;
  std::string lastValue;
};

// Why a drop-in folder's entry is not read (a SETTINGS_LAYOUT_SKIPPED_*), or
// SETTINGS_LAYOUT_APPLIED for a name that counts.
int classifyDropInName(std::string const& name, std::string const& suffix);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_LAYOUT_H
