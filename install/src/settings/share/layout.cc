#include "layout.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "../platform/platform.h"
#include "file_report.h"
#include "filename.h"
#include "parser.h"
#include "status.h"
#include "target_directory.h"

namespace settings_impl {
namespace {

// The imports' limit: a settings file must end before 1 MiB.
constexpr std::size_t kFileSizeLimit = std::size_t{1} << 20;
constexpr std::size_t kMostDropIns = 1024;
constexpr char const* kNullDevice = "/dev/null";
constexpr mode_t kSharedWrite = S_IWGRP | S_IWOTH;

bool endsWith(std::string const& text, std::string const& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool isPlainName(std::string const& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

[[noreturn]] void refuseName() {
  throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
}

std::string checkedName(char const* text) {
  if (text == nullptr)
    refuseName();
  return kernelName(text);
}

// The main name's suffix from its last dot, or ".conf".
std::string defaultSuffix(std::string const& mainName) {
  std::size_t const dot = mainName.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string(".conf") : mainName.substr(dot);
}

[[noreturn]] void refuseUntrusted(long long owner) {
  settings_file_report_t report = fileReport(SETTINGS_PATH_UNTRUSTED);
  report.owner = owner;
  throw FileError(SETTINGS_OPEN_FILE_ERROR, report);
}

bool isTrustedOwner(uid_t owner) {
  return owner == 0 || owner == platform::effectiveUser(std::nothrow);
}

// Nobody but root and the caller could have written what is read: the file,
// the folder it lies in, and the layout's folders that hold it.
void checkTrusted(TargetDirectory const& target, mode_t layoutFolderModes) {
  struct stat const& file = target.fileStatus();
  if (!isTrustedOwner(file.st_uid))
    refuseUntrusted(file.st_uid);
  if ((file.st_mode & kSharedWrite) != 0 ||
      (target.directoryStatus().st_mode & kSharedWrite) != 0 ||
      (layoutFolderModes & kSharedWrite) != 0)
    refuseUntrusted(-1);
}

// A folder of the layout, or nothing where it or a folder above it is missing.
std::optional<IoHandle> openFolder(std::string const& path, WalkOptions const& options) {
  try {
    return openNamedDirectory(path, TargetDirectory::Parents::MustExist, options);
  } catch (FileError const& error) {
    if (error.report.reason == SETTINGS_PATH_MISSING)
      return std::nullopt;
    throw;
  }
}

mode_t modeOf(IoHandle const& folder) {
  struct stat status {};
  if (platform::fstat(folder.get(), status, std::nothrow) != 0)
    failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
  return status.st_mode;
}

// What stands under name in folder, without following a link: nothing,
// a mask (an empty file or a link to /dev/null; its owner given), or anything
// else, to be read by the walk.
enum class Entry { Absent, Mask, Other };

Entry inspect(int folder, std::string const& name, uid_t& owner) {
  struct stat status {};
  if (platform::statAt(folder, name, status, std::nothrow) != 0) {
    if (errno == ENOENT)
      return Entry::Absent;
    failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
  }
  owner = status.st_uid;
  if (S_ISREG(status.st_mode) && status.st_size == 0)
    return Entry::Mask;
  if (!S_ISLNK(status.st_mode))
    return Entry::Other;
  std::string text;
  if (platform::readLinkAt(folder, name, text, std::nothrow) != 0)
    failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
  return text == kNullDevice ? Entry::Mask : Entry::Other;
}

}  // namespace

int classifyDropInName(std::string const& name, std::string const& suffix) {
  if (name.front() == '.')
    return SETTINGS_LAYOUT_SKIPPED_HIDDEN;
  static char const* const kLeftoverEndings[] = {"~", ".rpmnew", ".rpmsave", ".swp"};
  for (char const* ending : kLeftoverEndings) {
    if (endsWith(name, ending))
      return SETTINGS_LAYOUT_SKIPPED_LEFTOVER;
  }
  if (name.find(".dpkg-") != std::string::npos)
    return SETTINGS_LAYOUT_SKIPPED_LEFTOVER;
  if (name.size() <= suffix.size() || !endsWith(name, suffix))
    return SETTINGS_LAYOUT_SKIPPED_SUFFIX;
  return SETTINGS_LAYOUT_APPLIED;
}

Layout::Layout(char const* name) : mainName(checkedName(name)) {
  if (!isPlainName(mainName))
    refuseName();
  suffix = defaultSuffix(mainName);
}

void Layout::addHierarchy(char const* folder) {
  std::string path = checkedName(folder);
  if (path.empty() || path.front() != '/')
    refuseName();
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  hierarchies.push_back(std::move(path));
}

void Layout::addDefaultHierarchies(char const* project) {
  std::string const name = checkedName(project);
  if (name.empty() || name.front() == '/')
    refuseName();
  for (std::size_t start = 0; start <= name.size();) {
    std::size_t end = std::min(name.find('/', start), name.size());
    std::string const part = name.substr(start, end - start);
    if (part == "." || part == "..")
      refuseName();
    start = end + 1;
  }
  for (char const* base : {"/usr/lib/", "/run/", "/etc/"})
    addHierarchy((base + name).c_str());
}

void Layout::setSuffix(char const* text) {
  std::string const given = checkedName(text);
  if (given.empty() || given.find('/') != std::string::npos)
    refuseName();
  suffix = given;
}

void Layout::setRoot(char const* text) {
  std::string given = checkedName(text);
  while (!given.empty() && given.back() == '/')
    given.pop_back();
  root = std::move(given);
}

// The import in its steps: find every file, decide each one's fate, read
// the winners, parse them in order of precedence, merge.
struct Layout::Scan {
  Layout& layout;
  WalkOptions options;
  std::size_t dropIns = 0;

  std::vector<LayoutFile>& files() { return layout.found; }

  LayoutFile& add(std::string const& folder, std::string const& name, int hierarchy, bool dropIn) {
    LayoutFile file;
    file.folder = folder;
    file.name = name;
    file.path = layout.shown(folder + "/" + name);
    file.hierarchy = hierarchy;
    file.dropIn = dropIn;
    files().push_back(std::move(file));
    return files().back();
  }

  // Called while an exception is handled: the file gets its report, and the
  // exception goes on.
  [[noreturn]] void markRefused(LayoutFile& file) {
    file.fate = SETTINGS_LAYOUT_REFUSED;
    try {
      throw;
    } catch (FileError const& error) {
      file.report = error.report;
      throw;
    }
  }

  // A folder that cannot be opened or listed is where the import failed.
  [[noreturn]] void failAtFolder(std::string const& folder, int hierarchy) {
    LayoutFile& file = add(folder, "", hierarchy, false);
    file.path = layout.shown(folder);
    markRefused(file);
  }

  void candidate(int folder, std::string const& path, std::string const& name, int hierarchy,
                 bool dropIn, mode_t folderModes) {
    uid_t owner = 0;
    Entry const entry = inspect(folder, name, owner);
    if (entry == Entry::Absent)
      return;
    LayoutFile& file = add(path, name, hierarchy, dropIn);
    file.folderModes = folderModes;
    file.seenAsMask = entry == Entry::Mask;
    file.seenOwner = owner;
  }

  void scanDropIns(std::string const& path, int hierarchy, mode_t hierarchyMode) {
    std::optional<IoHandle> const folder = openFolder(path, options);
    if (!folder)
      return;
    mode_t const modes = hierarchyMode | modeOf(*folder);
    std::vector<std::string> names;
    if (platform::readDirectoryNames(folder->get(), names, std::nothrow) != 0)
      failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
    std::sort(names.begin(), names.end());
    for (std::string const& name : names) {
      int const skipped = classifyDropInName(name, layout.suffix);
      if (skipped != SETTINGS_LAYOUT_APPLIED) {
        add(path, name, hierarchy, true).fate = skipped;
        continue;
      }
      if (++dropIns > kMostDropIns)
        throw settings::Exception(SETTINGS_TOO_MANY_FILES_ERROR);
      candidate(folder->get(), path, name, hierarchy, true, modes);
    }
  }

  void scanHierarchy(int hierarchy) {
    std::string const& path = layout.hierarchies[hierarchy];
    std::string const dropInFolder = path + "/" + layout.mainName + ".d";
    std::string failedFolder = path;
    try {
      std::optional<IoHandle> const folder = openFolder(path, options);
      if (!folder)
        return;
      mode_t const mode = modeOf(*folder);
      candidate(folder->get(), path, layout.mainName, hierarchy, false, mode);
      failedFolder = dropInFolder;
      scanDropIns(dropInFolder, hierarchy, mode);
    } catch (settings::Exception const&) {
      failAtFolder(failedFolder, hierarchy);
    }
  }

  // Main files first, by hierarchy; then drop-ins by name in byte order,
  // each name's by hierarchy.
  void order() {
    std::stable_sort(files().begin(), files().end(), [](LayoutFile const& a, LayoutFile const& b) {
      if (a.dropIn != b.dropIn)
        return !a.dropIn;
      return a.dropIn && a.name < b.name;
    });
  }

  // The fate of a winner candidate, read when it has settings.
  void readWinner(LayoutFile& file) {
    if (file.seenAsMask) {
      if (!isTrustedOwner(file.seenOwner))
        refuseUntrusted(file.seenOwner);
      file.fate = SETTINGS_LAYOUT_MASK;
      return;
    }
    TargetDirectory const target =
        TargetDirectory::resolve(file.folder + "/" + file.name, TargetDirectory::Parents::MustExist,
                                 TargetDirectory::Purpose::Read, options);
    if (!target.exists()) {
      file.fate = SETTINGS_LAYOUT_DANGLING;
      return;
    }
    checkTrusted(target, file.folderModes);
    file.text = readWholeFile(target, kFileSizeLimit);
    file.fate = file.text.size == 0 ? SETTINGS_LAYOUT_MASK : SETTINGS_LAYOUT_APPLIED;
  }

  // Within one name, the highest hierarchy's file that is there decides.
  void decide(std::size_t first, std::size_t end) {
    int winner = -1;
    for (std::size_t i = end; i-- > first;) {
      LayoutFile& file = files()[i];
      if (winner != -1) {
        file.fate = files()[winner].fate == SETTINGS_LAYOUT_MASK ? SETTINGS_LAYOUT_MASKED
                                                                 : SETTINGS_LAYOUT_REPLACED;
        file.by = winner;
        continue;
      }
      try {
        readWinner(file);
      } catch (settings::Exception const&) {
        markRefused(file);
      }
      if (file.fate != SETTINGS_LAYOUT_DANGLING)
        winner = static_cast<int>(i);
    }
  }

  void decideAll() {
    std::size_t first = 0;
    while (first < files().size()) {
      std::size_t end = first + 1;
      LayoutFile const& head = files()[first];
      while (end < files().size() && files()[end].dropIn == head.dropIn &&
             files()[end].name == head.name)
        ++end;
      if (head.fate == SETTINGS_LAYOUT_APPLIED)
        decide(first, end);
      first = end;
    }
  }

  void run() {
    options.root = layout.root;
    for (std::size_t h = 0; h < layout.hierarchies.size(); ++h)
      scanHierarchy(static_cast<int>(h));
    order();
    decideAll();
  }
};

namespace {

// A shadowed file is read only to show what it would have given: whatever
// stops that leaves it unread, never fails the import.
void readShadowed(LayoutFile& file, WalkOptions const& options, ConfigValidator const* validator,
                  KeyMapper const* keyMapper, bool allowKeysWithoutValues) {
  if (file.seenAsMask)
    return;
  try {
    TargetDirectory const target =
        TargetDirectory::resolve(file.folder + "/" + file.name, TargetDirectory::Parents::MustExist,
                                 TargetDirectory::Purpose::Read, options);
    if (!target.exists())
      return;
    WholeText text = readWholeFile(target, kFileSizeLimit);
    auto parsed = std::make_unique<Context>();
    parsed->setStderrReports(false);
    try {
      parsed->importFromBuffer(text.data.get(), text.size, validator, keyMapper, false,
                               allowKeysWithoutValues);
    } catch (settings::Exception const& e) {
      if (e.code != SETTINGS_INVALID_VALUE_ERROR)
        return;
    }
    file.parsed = std::move(parsed);
    file.text = std::move(text);
  } catch (settings::Exception const&) {
  }
}

void printRefused(LayoutFile const& file) {
  for (settings_refused_line_t const& line : file.parsed->getImportRecord().getRefused()) {
    std::string const message = file.path + ": " + line.message;
    IParserCursor cursor;
    cursor.line = line.line;
    onError(SETTINGS_SOURCE_POS, cursor, message.c_str());
  }
}

}  // namespace

void Layout::importInto(Context& context, ConfigValidator const* validator,
                        KeyMapper const* keyMapper, bool failFast, bool allowKeysWithoutValues) {
  found.clear();
  originIndex.clear();
  originsIndexed = false;
  context.forgetLastImport();
  Scan scan{*this, {}, 0};
  scan.run();

  Context base;
  Context dropIns;
  bool refused = false;
  for (LayoutFile& file : found) {
    if (file.fate == SETTINGS_LAYOUT_REPLACED || file.fate == SETTINGS_LAYOUT_MASKED)
      readShadowed(file, scan.options, validator, keyMapper, allowKeysWithoutValues);
    if (file.fate != SETTINGS_LAYOUT_APPLIED)
      continue;
    auto parsed = std::make_unique<Context>();
    parsed->setStderrReports(false);
    WholeText const& text = file.text;
    try {
      parsed->importFromBuffer(text.data.get(), text.size, validator, keyMapper, failFast,
                               allowKeysWithoutValues);
    } catch (settings::Exception const& e) {
      if (e.code != SETTINGS_INVALID_VALUE_ERROR) {
        file.fate = SETTINGS_LAYOUT_REFUSED;
        throw;
      }
      refused = true;
    }
    file.parsed = std::move(parsed);
    if (context.printsStderrReports())
      printRefused(file);
    if (refused && failFast)
      throw settings::Exception(SETTINGS_INVALID_VALUE_ERROR);
    (file.dropIn ? dropIns : base).absorb(*file.parsed);
  }
  base.absorb(dropIns);
  context.absorb(base);
  if (refused)
    throw settings::Exception(SETTINGS_INVALID_VALUE_ERROR);
}

void Layout::indexOrigins() {
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (!found[i].parsed)
      continue;
    for (settings_key_line_t const& keyLine : found[i].parsed->getImportRecord().getKeyLines())
      originIndex[keyLine.key].push_back(
          Assignment{static_cast<int>(i), keyLine.line, SETTINGS_ORIGIN_EFFECTIVE, -1});
  }
  for (auto& entry : originIndex) {
    std::vector<Assignment>& chain = entry.second;
    int later = -1;  // the next applied assignment above, walking down
    for (std::size_t k = chain.size(); k-- > 0;) {
      Assignment& assignment = chain[k];
      LayoutFile const& file = found[assignment.file];
      if (file.fate != SETTINGS_LAYOUT_APPLIED) {
        assignment.why =
            file.fate == SETTINGS_LAYOUT_MASKED ? SETTINGS_ORIGIN_MASKED : SETTINGS_ORIGIN_REPLACED;
        assignment.by = file.by;
        continue;
      }
      if (later != -1) {
        assignment.by = chain[later].file;
        assignment.why = assignment.by == assignment.file ? SETTINGS_ORIGIN_LATER_LINE
                                                          : SETTINGS_ORIGIN_LATER_FILE;
      }
      later = static_cast<int>(k);
    }
  }
  originsIndexed = true;
}

std::vector<Assignment> const* Layout::origins(char const* key) {
  if (!originsIndexed)
    indexOrigins();
  auto const it = originIndex.find(key);
  return it == originIndex.end() ? nullptr : &it->second;
}

namespace {

// Takes the value of the one line it is given.
class ValueOfLine : public IConfigParserCallback {
 public:
  bool onComment(IParserCursor const&, char const*) override { return true; }
  int onValue(IParserCursor const&, char const*, char const* text) override {
    found = true;
    hasValue = text != nullptr;
    value = text != nullptr ? text : "";
    return PARSE_ACCEPTED;
  }
  void onError(IParserCursor const&, int) override {}

  bool found = false;
  bool hasValue = false;
  std::string value;
};

}  // namespace

// The line is cut from the text kept and read again alone: recording every
// value during the import would cost every import what only this asks.
char const* Layout::valueAt(Assignment const& assignment) {
  WholeText const& text = found[assignment.file].text;
  std::string_view const all(text.data ? text.data.get() : "", text.size);
  std::size_t start = 0;
  for (int line = 0; line < assignment.line && start != std::string_view::npos; ++line) {
    start = all.find('\n', start);
    start = start == std::string_view::npos ? start : start + 1;
  }
  if (start == std::string_view::npos)
    return nullptr;
  std::string_view line = all.substr(start, all.find('\n', start) - start);
  if (assignment.line == 0 && startsWithByteOrderMark(line))
    line.remove_prefix(kByteOrderMark.size());
  ValueOfLine reader;
  parseLines(std::string(line), reader, false, true);
  if (!reader.found || !reader.hasValue)
    return nullptr;
  lastValue = reader.value;
  return lastValue.c_str();
}

void Layout::verifyDropInName(std::string const& name) const {
  if (!isPlainName(name) || classifyDropInName(name, suffix) != SETTINGS_LAYOUT_APPLIED)
    refuseName();
}

// The folder of the highest hierarchy that holds name: the hierarchy for
// the main file, its drop-in folder for a drop-in.
std::string Layout::topFolderOf(std::string const& name) const {
  if (hierarchies.empty())
    refuseName();
  if (name == mainName)
    return hierarchies.back();
  verifyDropInName(name);
  return hierarchies.back() + "/" + mainName + ".d";
}

std::string const& Layout::dropInPath(char const* text, bool create) {
  std::string const name = checkedName(text);
  if (name == mainName)
    refuseName();
  std::string const folder = topFolderOf(name);
  if (create) {
    WalkOptions const options{root, 0755};
    openNamedDirectory(folder, TargetDirectory::Parents::Create, options);
  }
  lastDropInPath = shown(folder + "/" + name);
  return lastDropInPath;
}

namespace {

void syncFolder(int folder) {
  if (platform::fsync(folder, std::nothrow) != 0)
    failFile(SETTINGS_WRITE_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
}

[[noreturn]] void refuseNotAMask() {
  failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_NOT_A_MASK);
}

}  // namespace

bool Layout::setMask(char const* text, bool masked) {
  std::string const name = checkedName(text);
  std::string const folderPath = topFolderOf(name);
  WalkOptions const options{root, 0755};
  std::optional<IoHandle> const folder = openNamedDirectory(
      folderPath, masked ? TargetDirectory::Parents::Create : TargetDirectory::Parents::MustExist,
      options);
  if (!folder)
    return false;
  uid_t owner = 0;
  Entry const entry = inspect(folder->get(), name, owner);
  if (entry == Entry::Other)
    refuseNotAMask();
  if (masked == (entry == Entry::Mask))
    return false;
  int const result = masked ? platform::makeLinkAt(kNullDevice, folder->get(), name, std::nothrow)
                            : platform::unlinkAt(folder->get(), name, std::nothrow);
  if (result != 0)
    failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
  syncFolder(folder->get());
  return true;
}

}  // namespace settings_impl
