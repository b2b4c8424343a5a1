#include "export_scenario.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "support/child_process.h"
#include "support/private_mounts.h"
#include "support/process_state.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"
#include "tamo/settings.h"

namespace tamo_test {

char const kOldText[] = "old=1\nkept=a much longer old text, so that a stale tail shows\n";
char const kNewText[] = "new=2\n";

namespace {

constexpr int kChildFailed = -3000;
constexpr int kDescriptorLeft = -3001;

bool makeDirectory(std::string const& path, mode_t mode) {
  return ::mkdir(path.c_str(), mode) == 0 && ::chmod(path.c_str(), mode) == 0;
}

bool writeOld(std::string const& path, mode_t mode) {
  std::ofstream(path, std::ios::binary) << kOldText;
  return ::chmod(path.c_str(), mode) == 0 &&
         (!haveRoot() || ::chown(path.c_str(), 1234, 5678) == 0);
}

bool prepareNew(std::string const& root) {
  return makeDirectory(root + "/etc", 0755);
}

bool prepareExisting(std::string const& root) {
  return makeDirectory(root + "/d", 0755) && writeOld(root + "/d/settings.cfg", 0640);
}

// An access list and a user attribute that the new file must carry.
bool prepareAttributes(std::string const& root) {
  std::string const file = root + "/d/settings.cfg";
  // user::rw- group::r-- mask::r-- other::--- and user 1000 with nothing.
  unsigned char const acl[] = {2, 0,   0,   0,   1,   0,   6,  0, 255, 255, 255, 255, 2,   0,  0,
                               0, 232, 3,   0,   0,   4,   0,  4, 0,   255, 255, 255, 255, 16, 0,
                               4, 0,   255, 255, 255, 255, 32, 0, 0,   0,   255, 255, 255, 255};
  return prepareExisting(root) &&
         ::setxattr(file.c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0 &&
         ::setxattr(file.c_str(), "user.origin", "admin", 5, 0) == 0;
}

bool prepareLink(std::string const& root) {
  return makeDirectory(root + "/d", 0755) && makeDirectory(root + "/real", 0755) &&
         writeOld(root + "/real/target.cfg", 0640) &&
         ::symlink("../real/target.cfg", (root + "/d/settings.cfg").c_str()) == 0;
}

bool prepareMounted(std::string const& root) {
  return prepareExisting(root) && makeDirectory(root + "/src", 0755) &&
         writeOld(root + "/src/source.cfg", 0640);
}

// The owner may write the file but not add to the directory.
bool prepareRefusing(std::string const& root) {
  return makeDirectory(root + "/d", 0755) && writeOld(root + "/d/settings.cfg", 0600) &&
         ::chown((root + "/d/settings.cfg").c_str(), 0, 0) == 0 &&
         ::chmod((root + "/d").c_str(), 0555) == 0;
}

bool enterNothing(std::string const&) {
  return true;
}

bool enterMounted(std::string const& root) {
  return bindMount(root + "/src/source.cfg", root + "/d/settings.cfg");
}

// call's status, or kDescriptorLeft when it left one open.
template <typename Call>
int armedCall(injection::Plan const& plan, Call call) {
  std::size_t const descriptors = openDescriptorCount();
  injection::arm(plan);
  int const status = call();
  injection::disarm();
  return openDescriptorCount() != descriptors ? kDescriptorLeft : status;
}

int exportNewText(std::string const& name, injection::Plan const& plan) {
  settings_context_t* context = context_create();
  if (context == nullptr)
    return kChildFailed;
  int status = context_import_from_string(context, kNewText, nullptr, nullptr, 1, 0);
  if (status == 0)
    status = armedCall(plan, [&] { return context_export_to_file(context, name.c_str()); });
  context_free(context);
  return status;
}

// The report goes to a file beside root, as the calls do.
int replaceWithNewText(std::string const& name, injection::Plan const& plan,
                       std::string const& reportFile) {
  settings_file_report_t report{};
  int const status = armedCall(plan, [&] {
    return settings_file_replace(name.c_str(), kNewText, sizeof kNewText - 1, &report);
  });
  std::ofstream(reportFile, std::ios::binary)
      .write(reinterpret_cast<char const*>(&report), sizeof report);
  return status;
}

}  // namespace

std::vector<Scenario> exportScenarios() {
  using R = Scenario::Runner;
  std::vector<Scenario> all = {
      {"NewFileInNewDirectories", R::Plain, false, "etc/a/b/settings.cfg", "etc/a/b/settings.cfg",
       prepareNew, enterNothing},
      {"ExistingFile", R::Plain, false, "d/settings.cfg", "d/settings.cfg", prepareExisting,
       enterNothing},
      {"ExistingFileWithAttributes", R::Plain, false, "d/settings.cfg", "d/settings.cfg",
       prepareAttributes, enterNothing},
      {"SymbolicLink", R::Plain, false, "d/settings.cfg", "real/target.cfg", prepareLink,
       enterNothing},
      // The fallbacks: a file system without unnamed files, no privilege to
      // name one by its descriptor, and then no /proc to name it through.
      {"ExistingFileWithoutUnnamedFiles", R::Plain, false, "d/settings.cfg", "d/settings.cfg",
       prepareExisting, enterNothing, "openUnnamed", EOPNOTSUPP},
      {"ExistingFileNamedThroughProc", R::Plain, false, "d/settings.cfg", "d/settings.cfg",
       prepareExisting, enterNothing, "linkEmptyPath", ENOENT},
      {"ExistingFileWithoutProc", R::Plain, false, "d/settings.cfg", "d/settings.cfg",
       prepareExisting, enterNothing, "linkEmptyPath openProcessDescriptors", ENOENT},
  };
  if (haveRoot()) {
    all.push_back({"MountPoint", R::PrivateMounts, true, "d/settings.cfg", "src/source.cfg",
                   prepareMounted, enterMounted});
    all.push_back({"DirectoryRefusingNewFiles", R::WithoutDacOverride, true, "d/settings.cfg",
                   "d/settings.cfg", prepareRefusing, enterNothing});
  }
  return all;
}

void PrintTo(Scenario const& scenario, std::ostream* out) {
  *out << scenario.name;
}

FileState fileStateOf(std::string const& path) {
  FileState state;
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0)
    return state;
  state = {true,          S_ISLNK(status.st_mode), readFile(path),
           status.st_ino, status.st_mode & 07777,  status.st_uid,
           status.st_gid, status.st_nlink};
  return state;
}

std::vector<std::string> filesUnder(std::string const& root) {
  std::vector<std::string> names;
  for (auto const& entry : std::filesystem::recursive_directory_iterator(root))
    if (!entry.is_directory() || entry.is_symlink())
      names.push_back(std::filesystem::relative(entry.path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

int exportInChild(Scenario const& scenario, std::string const& root, injection::Plan const& plan,
                  std::vector<std::string>* calls, settings_file_report_t* report) {
  std::string const record = root + ".calls";
  std::string const reportFile = root + ".report";
  auto body = [&] {
    if (!scenario.enter(root))
      return kChildFailed;
    injection::Plan refusing = plan;
    refusing.refusedCall = scenario.refusedCall;
    refusing.refusedError = scenario.refusedError;
    std::string const name = root + "/" + scenario.exported;
    int status = report != nullptr ? replaceWithNewText(name, refusing, reportFile)
                                   : exportNewText(name, refusing);
    if (plan.at == injection::kAfterLastCall && plan.error == 0) {
      if (plan.beforeKill)
        plan.beforeKill();
      ::raise(SIGKILL);
    }
    std::ofstream out(record);
    for (std::string const& call : injection::calls())
      out << call << '\n';
    return status;
  };
  int status = kChildFailed;
  switch (scenario.runner) {
    case Scenario::Runner::Plain:
      status = runInChild([] { return 0; }, body, kChildFailed, kChildDied);
      break;
    case Scenario::Runner::PrivateMounts:
      status = runInPrivateMounts(body);
      break;
    case Scenario::Runner::WithoutDacOverride:
      status = runWithoutDacOverride(body);
      break;
  }
  if (calls != nullptr) {
    calls->clear();
    std::ifstream in(record);
    for (std::string line; std::getline(in, line);)
      calls->push_back(line);
  }
  if (report != nullptr) {
    *report = settings_file_report_t{};
    std::ifstream(reportFile, std::ios::binary)
        .read(reinterpret_cast<char*>(report), sizeof *report);
  }
  ::unlink(record.c_str());
  ::unlink(reportFile.c_str());
  return status;
}

Outcome outcomeBefore(Scenario const& scenario, std::string const& root) {
  Outcome outcome;
  outcome.before = fileStateOf(root + "/" + scenario.inspected);
  outcome.exportedBefore = fileStateOf(root + "/" + scenario.exported);
  outcome.filesBefore = filesUnder(root);
  return outcome;
}

std::string contractBroken(Scenario const& scenario, std::string const& root,
                           Outcome const& expected, int status) {
  std::string const path = root + "/" + scenario.inspected;
  FileState after = fileStateOf(path);
  FileState const& before = expected.before;
  bool const isNew = after.present && after.text == kNewText;
  bool const keepsIdentity =
      !before.present ||
      (after.mode == before.mode && after.owner == before.owner && after.group == before.group);
  if (status == kDescriptorLeft)
    return "a descriptor stayed open";
  // A link stays a link, a covered file under a mount stays as it was.
  if (scenario.exported != scenario.inspected) {
    FileState named = fileStateOf(root + "/" + scenario.exported);
    FileState const& was = expected.exportedBefore;
    if (named.inode != was.inode || named.link != was.link || (!was.link && named.text != was.text))
      return "the name exported was replaced, not what it stands for";
  }
  std::vector<std::string> files = filesUnder(root);
  std::vector<std::string> wanted = expected.filesBefore;
  if (!before.present && after.present)
    wanted.push_back(scenario.inspected);
  std::sort(wanted.begin(), wanted.end());
  if (files != wanted) {
    bool hiddenOnly = expected.mayLeaveHidden && files.size() == wanted.size() + 1;
    if (!hiddenOnly)
      return "files beside the file changed";
  }
  if (status == 0)
    return isNew && keepsIdentity ? "" : "success without the new text, mode and owner";
  bool const died = status < 0;
  if (!died && status != SETTINGS_OPEN_FILE_ERROR && status != SETTINGS_WRITE_FILE_ERROR &&
      status != SETTINGS_INVALID_FILENAME_ERROR)
    return "undocumented status " + std::to_string(status);
  if (expected.mayBeChanged) {
    std::string const tail = std::string(kOldText).substr(std::string(kNewText).size());
    bool const known = after.text == kOldText || isNew || after.text == kNewText + tail;
    return known && keepsIdentity && after.inode == before.inode
               ? ""
               : "the in-place rewrite left other text";
  }
  if (expected.mayBeNew && isNew && keepsIdentity)
    return died || status == SETTINGS_WRITE_FILE_ERROR ? ""
                                                       : "new text with a status other than 306";
  bool const untouched = after.present == before.present && after.text == before.text &&
                         after.inode == before.inode && keepsIdentity &&
                         after.links == before.links;
  return untouched ? "" : "a failure changed the file";
}

}  // namespace tamo_test
