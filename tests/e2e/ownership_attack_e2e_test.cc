// Root given a name that begins in another user's folder, by the tool, the
// library and the installer: whatever that user prepared there, root may
// reach only that user's objects, so it changes nothing the user could not
// change, shows nothing the user could not read, and never hangs. Trees,
// attacks and runs are drawn from seeds; a failure prints its seed, and
// TAMO_ATTACK_SEED=N TAMO_ATTACK_SEEDS=1 replays it (TAMO_ATTACK_SEEDS=M
// runs M seeds from N on).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include "attack.h"
#include "sandbox.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"
#include "tamo/settings.h"

namespace {

using namespace tamo_attack;

constexpr int kTimeoutSeconds = 20;
constexpr int kOperationsPerSeed = 4;
constexpr char kSystemPath[] = "/etc/Vardel/Tamo/tamo.settings.cfg";
constexpr char kInputPath[] = "/etc/tamo/config/zlv-install.properties";
constexpr char kNewText[] = "password=changed\n";

// Sets the kernel's link protections and puts the host's values back.
class FsSysctls {
 public:
  FsSysctls() {
    for (int i = 0; i < 3; ++i)
      std::getline(std::ifstream(path(i)), saved[i]);
  }
  ~FsSysctls() {
    for (int i = 0; i < 3; ++i)
      if (!saved[i].empty())
        std::ofstream(path(i)) << saved[i] << '\n';
  }
  FsSysctls(FsSysctls const&) = delete;
  FsSysctls& operator=(FsSysctls const&) = delete;

  // Where a value cannot be set, the one in force stays: returns what is,
  // "fs.protected_symlinks=S hardlinks=H regular=R".
  std::string apply(std::vector<unsigned> const& wanted) {
    std::string now = "fs.protected_";
    for (int i = 0; i < 3; ++i) {
      std::ofstream(path(i)) << wanted[i] << '\n';
      std::string value;
      std::getline(std::ifstream(path(i)), value);
      now += std::string(i ? " " : "") + kNames[i] + "=" + value;
    }
    return now;
  }

 private:
  static constexpr char const* kNames[] = {"symlinks", "hardlinks", "regular"};
  static std::string path(int i) { return std::string("/proc/sys/fs/protected_") + kNames[i]; }
  std::string saved[3];
};

// ---- The entry points ----------------------------------------------------------

using Names = std::vector<std::string>;

// What a successful run does to the file its name leads to; writes give
// "password" the value "changed". kTextualDotDot: the first table's names
// lose "x/.." by text before any step, so such a name typed by the caller
// never enters the attacker's folder and is not drawn for it.
enum Effect { kLeaves = 0, kShowsOld = 1, kWritesNew = 2, kRemovesKey = 4, kTextualDotDot = 8 };

struct EntryPoint {
  char const* label;
  int names;                           // how many file names it takes; 0: the installer
  std::vector<std::string> arguments;  // the tool's, "@1".."@2" standing for the names
  int (*library)(Names const&);        // or the library's call, in a child that prints what it got
  int effect;
};

void print(char const* text, std::size_t size) {
  if (text != nullptr && ::write(1, text, size) < 0)
    ::_exit(125);
}

int printContext(settings_context_t* context, int status) {
  char const* text = nullptr;
  if (context_export_to_string(context, &text) == 0)
    print(text, std::strlen(text));
  return status;
}

settings_context_t* changedContext() {
  settings_context_t* context = context_create();
  context_import_from_string(context, kNewText, nullptr, nullptr, 0, 1);
  return context;
}

int importFromFile(Names const& names) {
  settings_context_t* context = context_create();
  int const status = context_import_from_file(context, names[0].c_str(), nullptr, nullptr, 0, 1);
  printContext(context, status);
  context_free(context);
  return status;
}

int exportToFile(Names const& names) {
  settings_context_t* context = changedContext();
  int const status = context_export_to_file(context, names[0].c_str());
  context_free(context);
  return status;
}

int replaceContents(Names const& names) {
  return settings_replace_file_contents(names[0].c_str(), kNewText, std::strlen(kNewText));
}

// The locked file read, then replaced when replace says so.
int lockedReadAndReplace(settings_lock_t* lock, bool replace) {
  char const* text = nullptr;
  std::size_t size = 0;
  int status = settings_locked_file_read(lock, &text, &size);
  if (status == 0)
    print(text, size);
  if (status == 0 && replace)
    status = settings_locked_file_replace(lock, kNewText, std::strlen(kNewText));
  settings_lock_release(lock);
  return status;
}

int lockReadAndReplace(Names const& names) {
  settings_lock_t* lock = nullptr;
  int const status = settings_lock_file(names[0].c_str(), 0, &lock);
  return status != 0 ? status : lockedReadAndReplace(lock, true);
}

int lockedImportAndExport(Names const& names) {
  settings_lock_t* lock = nullptr;
  int status = settings_lock_file(names[0].c_str(), 0, &lock);
  if (status != 0)
    return status;
  settings_context_t* context = context_create();
  status =
      printContext(context, context_import_from_locked_file(context, lock, nullptr, nullptr, 0, 1));
  // A missing file is written all the same: the export creates it.
  if (status == 0 || status == SETTINGS_OPEN_FILE_ERROR) {
    context_import_from_string(context, kNewText, nullptr, nullptr, 0, 1);
    status = context_export_to_locked_file(context, lock);
  }
  context_free(context);
  settings_lock_release(lock);
  return status;
}

int fileRead(Names const& names) {
  char* text = nullptr;
  std::size_t size = 0;
  settings_file_report_t report;
  int const status = settings_file_read(names[0].c_str(), 0, &text, &size, &report);
  if (status == 0)
    print(text, size);
  settings_text_free(text);
  return status;
}

int fileReplace(Names const& names) {
  settings_file_report_t report;
  return settings_file_replace(names[0].c_str(), kNewText, std::strlen(kNewText), &report);
}

int fileLockAndRead(Names const& names) {
  settings_lock_t* lock = nullptr;
  settings_file_report_t report;
  int const status = settings_file_lock(names[0].c_str(), 0, &lock, &report);
  return status != 0 ? status : lockedReadAndReplace(lock, false);
}

// The tool's forms that take different ways through it: a read, a check,
// JSON output, a preview, a write, a removal, a merge that reads two files
// and one that reads a file and writes another.
std::vector<EntryPoint> const kEntryPoints = {
    {"tamo-settings get --json", 1, {"get", "--json", "@1", "password"}, nullptr, kShowsOld},
    {"tamo-settings list", 1, {"list", "@1"}, nullptr, kShowsOld},
    {"tamo-settings check --json", 1, {"check", "--json", "@1"}, nullptr, kLeaves},
    {"tamo-settings set", 1, {"set", "@1", "password=changed"}, nullptr, kWritesNew},
    {"tamo-settings set --check --diff",
     1,
     {"set", "--check", "--diff", "@1", "password=changed"},
     nullptr,
     kShowsOld},
    {"tamo-settings unset", 1, {"unset", "@1", "password"}, nullptr, kRemovesKey},
    {"tamo-settings unset --check --json",
     1,
     {"unset", "--check", "--json", "@1", "password"},
     nullptr,
     kShowsOld},
    {"tamo-settings merge", 2, {"merge", "@1", "@2"}, nullptr, kShowsOld},
    {"tamo-settings merge --json -o", 2, {"merge", "--json", "@1", "-o", "@2"}, nullptr, kLeaves},
    {"context_import_from_file", 1, {}, importFromFile, kShowsOld | kTextualDotDot},
    {"context_export_to_file", 1, {}, exportToFile, kWritesNew | kTextualDotDot},
    {"settings_replace_file_contents", 1, {}, replaceContents, kWritesNew},
    {"settings_lock_file + locked read and replace",
     1,
     {},
     lockReadAndReplace,
     kShowsOld | kWritesNew},
    {"settings_lock_file + context import and export",
     1,
     {},
     lockedImportAndExport,
     kShowsOld | kWritesNew},
    {"settings_file_read", 1, {}, fileRead, kShowsOld},
    {"settings_file_replace", 1, {}, fileReplace, kWritesNew},
    {"settings_file_lock + locked read", 1, {}, fileLockAndRead, kShowsOld},
    {"tamo-install-config", 0, {}, nullptr, kLeaves},
};

// ---- Runs as root ----------------------------------------------------------------

struct Operation {
  EntryPoint const* entry = nullptr;
  bool fromAttackersFolder = true;
  Names names;      // as given
  std::string cwd;  // relative to the tree's root
  int binds = 1;    // the installer: 1 /etc/Vardel, 2 /etc/tamo, 3 both over att/
};

struct Outcome {
  int status = -1;  // exit status, 128 + the signal that ended it
  bool hung = false;
  std::map<std::string, std::string> output;  // what it printed, by where
};

std::string contentsOf(int fd) {
  return tamo_test::readFile("/proc/self/fd/" + std::to_string(fd));
}

// Runs body (which must not return) in a child in cwd, what it prints
// captured. The child's alarm outlives exec and ends a run that hangs, so
// that it fails instead of stopping the test.
Outcome runCaptured(std::string const& cwd, std::function<void()> const& body) {
  int const out = ::memfd_create("out", MFD_CLOEXEC), err = ::memfd_create("err", MFD_CLOEXEC);
  pid_t const child = ::fork();
  if (child == 0) {
    int const none = ::open("/dev/null", O_RDONLY);
    if (none < 0 || ::dup2(none, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
        ::chdir(cwd.c_str()) != 0)
      ::_exit(126);
    ::alarm(kTimeoutSeconds);
    body();
    ::_exit(127);
  }
  int status = 0;
  while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  Outcome outcome;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.hung = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
  outcome.output = {{"standard output", contentsOf(out)}, {"standard error", contentsOf(err)}};
  ::close(out);
  ::close(err);
  return outcome;
}

Outcome runTool(Operation const& op, std::string const& cwd) {
  std::vector<std::string> argv = {TAMO_PROGRAM_EMULATOR, TAMO_SETTINGS_PATH};
  if (argv[0].empty())
    argv.erase(argv.begin());
  for (std::string const& argument : op.entry->arguments)
    argv.push_back(argument[0] == '@' ? op.names[argument[1] - '1'] : argument);
  return runCaptured(cwd, [&] {
    std::vector<char*> pointers;
    for (std::string& argument : argv)
      pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    ::execv(pointers[0], pointers.data());
  });
}

Outcome runLibrary(Operation const& op, std::string const& cwd) {
  Outcome outcome = runCaptured(cwd, [&] {
    int const status = op.entry->library(op.names);
    std::string const line = "\n[status " + std::to_string(status) + "]\n";
    print(line.data(), line.size());
    ::_exit(status == 0 ? 0 : 1);
  });
  outcome.output["what the library returned"] = outcome.output["standard output"];
  outcome.output.erase("standard output");
  return outcome;
}

// The installer at its fixed paths, att/ in place of its folders; what it
// writes under a folder left to it is output too, as it never reaches the tree.
Outcome runInstaller(Operation const& op, std::string const& attacker, std::string const& workDir) {
  tamo_sandbox::SandboxRequest request;
  request.workDir = workDir;
  request.command = {TAMO_INSTALL_CONFIG_PATH};
  request.timeoutSeconds = kTimeoutSeconds;
  for (int bind : {1, 2})
    if (op.binds & bind)
      request.binds.push_back({attacker, bind == 1 ? "/etc/Vardel" : "/etc/tamo"});
  if (!(op.binds & 1)) {
    request.files.push_back({kSystemPath, "WEB_TAMO=1\n", 0644});
    request.inspect = {kSystemPath};
  }
  if (!(op.binds & 2))
    request.files.push_back({kInputPath, "AUTO_UPDATE=1\n", 0644});
  tamo_sandbox::SandboxResult const result = tamo_sandbox::runInSandbox(request);
  Outcome outcome{result.exitStatus, false, {}};
  outcome.hung = result.standardError.find("killed after the time limit") != std::string::npos;
  outcome.output = {{"standard output", result.standardOutput},
                    {"standard error", result.standardError}};
  for (auto const& record : result.log)
    outcome.output["the log"] += record.message + "\n";
  if (result.files.count(kSystemPath))
    outcome.output["its own system file"] = result.files.at(kSystemPath).contents;
  if (!result.ran)
    outcome.output["the sandbox"] = result.skipReason;
  return outcome;
}

Outcome run(Operation const& op, std::string const& root, std::string const& workDir) {
  if (op.entry->names == 0)
    return runInstaller(op, root + "/att", workDir);
  std::string const cwd = op.cwd.empty() ? root : root + "/" + op.cwd;
  return op.entry->library != nullptr ? runLibrary(op, cwd) : runTool(op, cwd);
}

// The run as a line, the tree's root written $T.
std::string describe(Operation const& op, std::string const& root) {
  std::string text = op.entry->label;
  if (op.entry->names == 0)
    return text + " with att/ bound over" + (op.binds & 1 ? " /etc/Vardel" : "") +
           (op.binds & 2 ? " /etc/tamo" : "");
  for (std::string const& name : op.names)
    text +=
        " " + (name.compare(0, root.size(), root) == 0 ? "$T" + name.substr(root.size()) : name);
  return text + " (cwd $T" + (op.cwd.empty() ? "" : "/" + op.cwd) + ")";
}

// ---- Drawing runs ------------------------------------------------------------

// The installer runs in a sandbox of its own, the dearest run: drawn as
// often as two of the others.
EntryPoint const& drawEntry(Rng& rng) {
  unsigned const pick = rng.below(kEntryPoints.size() + 1);
  return kEntryPoints[std::min<std::size_t>(pick, kEntryPoints.size() - 1)];
}

// Now and then a name is written another way that leads to the same place,
// or, with a trailing "/", only to a folder.
std::string decorated(Rng& rng, std::string name) {
  std::size_t const slash = name.find('/', 1);
  unsigned const how = rng.below(20);
  if (slash == std::string::npos || how > 2)
    return name;
  return how == 0 ? name.insert(slash, "/") : how == 1 ? name.insert(slash, "/.") : name + "/";
}

// Names begin in att/, or now and then in a sticky folder others may write;
// each is given absolute, or relative to the tree's root or to its folder.
Operation draw(Rng& rng, std::string const& root) {
  Operation op;
  op.entry = &drawEntry(rng);
  op.binds = 1 + static_cast<int>(rng.below(3));
  std::vector<std::string> sticky;
  for (char const* folder : {"tmp", "gst"})
    if (tamo_test::exists(root + "/" + folder))
      sticky.push_back(folder);
  op.fromAttackersFolder = sticky.empty() || op.entry->names == 0 || !rng.chance(15);
  std::string const folder = op.fromAttackersFolder ? "att" : rng.pick(sticky);
  Names const names = namesIn(root, folder);
  unsigned const form = rng.below(3);
  op.cwd = form == 2 ? folder : "";
  for (int i = 0; i < op.entry->names; ++i) {
    std::string name = rng.pick(names);
    while ((op.entry->effect & kTextualDotDot) &&
           ("/" + name + "/").find("/../") != std::string::npos)
      name = rng.pick(names);
    name = form == 0 ? root + "/" + name : form == 2 ? name.substr(folder.size() + 1) : name;
    if (form != 0 && rng.chance(15))
      name = "./" + name;
    op.names.push_back(decorated(rng, name));
  }
  return op;
}

unsigned fromEnvironment(char const* name, unsigned fallback) {
  char const* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtoul(value, nullptr, 10) : fallback;
}

std::string shown(std::string const& text) {
  std::string out;
  for (char c : text)
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out.size() > 600 ? out.substr(0, 600) + "..." : out;
}

class AttackRun {
 public:
  AttackRun() { ::chmod(base.path().c_str(), 0755); }
  bool reachableByTheAttacker() const {
    return asAttacker([&] { return ::access(base.path().c_str(), X_OK) == 0 ? "yes" : "no"; }) ==
           "yes";
  }
  void runSeed(unsigned seed);
  std::string summary(unsigned first, unsigned count) const;

 private:
  std::optional<View> rebuild(unsigned seed);
  void report(unsigned seed, int index, Operation const& op, View const& before,
              Outcome const& outcome, std::vector<std::string> const& breaches);

  tamo_test::TempDir base;     // the trees, one folder each, all users may enter
  tamo_test::TempDir sandbox;  // the installer's private layers
  FsSysctls sysctls;
  std::string root, protection, moves;
  unsigned trees = 0, runs = 0, refused = 0, failed = 0;
  std::vector<unsigned> failedSeeds;
};

std::optional<View> AttackRun::rebuild(unsigned seed) {
  if (!root.empty())
    std::filesystem::remove_all(root);
  root = base.file("w" + std::to_string(++trees));
  if (::mkdir(root.c_str(), 0755) != 0 || ::chmod(root.c_str(), 0755) != 0)
    return std::nullopt;
  std::optional<std::string> const made = buildTree(seed, root);
  moves = made.value_or("");
  return made ? observe(root) : std::nullopt;
}

// A run that left the tree as it was hands it to the next run; one that
// changed it has it made anew from the seed.
void AttackRun::runSeed(unsigned seed) {
  Rng rng(seed * 2654435761u + 1);
  protection = sysctls.apply({rng.below(2), rng.below(2), rng.below(3)});
  std::optional<View> before = rebuild(seed);
  ASSERT_TRUE(before) << "seed " << seed << ": the tree could not be made as root and uid 1000";
  for (int index = 1; index <= kOperationsPerSeed; ++index) {
    Operation const op = draw(rng, root);
    Outcome const outcome = run(op, root, sandbox.path());
    std::optional<View> const after = observe(root);
    ASSERT_TRUE(after) << "seed " << seed << ": no child became the attacker";
    std::vector<std::string> breaches =
        judge(op.fromAttackersFolder, *before, *after, outcome.output, tokenPrefix(seed));
    if (outcome.hung)
      breaches.insert(breaches.begin(), "the run did not end within the time limit: killed");
    ++runs;
    refused += outcome.status != 0;
    report(seed, index, op, *before, outcome, breaches);
    if (!sameTree(*before, *after)) {
      before = rebuild(seed);
      ASSERT_TRUE(before) << "seed " << seed << ": the tree could not be made again";
    }
  }
  std::filesystem::remove_all(root);
  root.clear();
}

void AttackRun::report(unsigned seed, int index, Operation const& op, View const& before,
                       Outcome const& outcome, std::vector<std::string> const& breaches) {
  if (breaches.empty())
    return;
  if (failedSeeds.empty() || failedSeeds.back() != seed)
    failedSeeds.push_back(seed);
  // A long run shows a few in full; the last line names every seed.
  if (++failed > 5 && fromEnvironment("TAMO_ATTACK_SEEDS", 0) != 1)
    return;
  std::ostringstream text;
  text << "seed " << seed << ", run " << index << " of " << kOperationsPerSeed
       << " (replay: TAMO_ATTACK_SEED=" << seed << " TAMO_ATTACK_SEEDS=1)\n"
       << protection << "\ntree before the run ($T = " << root << "):\n"
       << describe(before, root) << "the attacker's moves:\n"
       << moves << "run as root: " << describe(op, root) << "\nexit status " << outcome.status
       << "\n";
  for (auto const& [where, printed] : outcome.output)
    text << where << ": " << shown(printed) << "\n";
  text << "breaches:\n";
  for (std::string const& breach : breaches)
    text << "  " << breach << "\n";
  ADD_FAILURE() << text.str();
}

std::string AttackRun::summary(unsigned first, unsigned count) const {
  std::string text = "ownership attack: " + std::to_string(count) + " seeds from " +
                     std::to_string(first) + ", " + std::to_string(trees) + " trees, " +
                     std::to_string(runs) + " runs as root (" + std::to_string(refused) +
                     " refused or failed), " + std::to_string(failed) + " broke the rule";
  for (std::size_t i = 0; i < failedSeeds.size() && i < 20; ++i)
    text += (i == 0 ? "; seeds:" : "") + (" " + std::to_string(failedSeeds[i]));
  return text + (failedSeeds.size() > 20 ? " ...\n" : "\n");
}

TEST(OwnershipAttack, RootReachesOnlyTheAttackersOwnObjects) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to be the caller and to act as other users";
  AttackRun attack;
  ASSERT_TRUE(attack.reachableByTheAttacker())
      << "uid 1000 cannot enter the temporary directory; point TMPDIR at a folder all may enter";
  unsigned const first = fromEnvironment("TAMO_ATTACK_SEED", 1);
  // Under an emulator a run costs some ten times as much: fewer seeds keep
  // the test within its time limit.
  unsigned const usual = std::string(TAMO_PROGRAM_EMULATOR).empty() ? 300 : 60;
  unsigned const count =
      fromEnvironment("TAMO_ATTACK_SEEDS", std::getenv("TAMO_ATTACK_SEED") ? 1 : usual);
  for (unsigned seed = first; seed < first + count && !HasFatalFailure(); ++seed)
    attack.runSeed(seed);
  std::cout << attack.summary(first, count);
}

// ---- Layouts the rule allows: each entry point succeeds on them ---------------

// made: as make() takes it; given: the name root is given; file: where it leads.
struct Layout {
  char const* name;
  char const* made;
  char const* given;
  char const* file;
};

void PrintTo(Layout const& layout, std::ostream* out) {
  *out << layout.name;
}

std::vector<Layout> const kLayouts = {
    {"RootsOwnLink", "d etc 0:0 0755; f etc/real.cfg 0:0 0600; l etc/l.cfg 0:0 real.cfg",
     "etc/l.cfg", "etc/real.cfg"},
    {"RootsAbsoluteLinkChain",
     "d etc 0:0 0755; f etc/real.cfg 0:0 0600; l etc/l.cfg 0:0 real.cfg; l etc/a.cfg 0:0 "
     "/etc/l.cfg",
     "etc/a.cfg", "etc/real.cfg"},
    {"RootsFolderLinkThenDotDot",
     "d etc 0:0 0755; f etc/real.cfg 0:0 0600; d etc/sub 0:0 0755; l etc/d 0:0 sub",
     "etc/d/../real.cfg", "etc/real.cfg"},
    {"RootsLinkIntoABystandersFolder",
     "d etc 0:0 0755; d bys 1001:1001 0755; f bys/b.cfg 1001:1001 0644; l etc/l.cfg 0:0 /bys/b.cfg",
     "etc/l.cfg", "bys/b.cfg"},
    {"RootsFileInAStickyFolder", "d tmp 0:0 1777; f tmp/r.cfg 0:0 0600", "tmp/r.cfg", "tmp/r.cfg"},
    {"BystandersFileInRootsFolder", "d pub 0:0 0755; f pub/b.cfg 1001:1001 0644", "pub/b.cfg",
     "pub/b.cfg"},
    {"AttackersFileInAGroupFolder", "d grp 0:2000 0775; f grp/a.cfg 1000:1000 0600", "grp/a.cfg",
     "grp/a.cfg"},
    {"AttackersFileThroughItsOwnLink",
     "d att 1000:1000 0755; d att/sub 1000:1000 0755; f att/sub/real.cfg 1000:1000 0600; l att/l "
     "1000:1000 sub/real.cfg",
     "att/l", "att/sub/real.cfg"},
    {"AttackersFileThroughItsFolderLinkAndDotDot",
     "d att 1000:1000 0755; d att/sub 1000:1000 0755; f att/sub/real.cfg 1000:1000 0600; l att/l "
     "1000:1000 sub/real.cfg; l att/d 1000:1000 sub",
     "att/d/../l", "att/sub/real.cfg"},
    {"AttackersFileInItsOwnStickyFolder",
     "d att 1000:1000 0755; d att/st 1000:1000 1777; f att/st/real.cfg 1000:1000 0644",
     "att/st/real.cfg", "att/st/real.cfg"},
};

struct stat statOf(std::string const& path) {
  struct stat info {};
  ::lstat(path.c_str(), &info);
  return info;
}

// What went wrong with a run the rule allows; "" when nothing did.
std::string legitimateRunFault(EntryPoint const& entry, Outcome const& outcome,
                               std::string const& root, Layout const& layout,
                               std::string const& old, struct stat const& file,
                               struct stat const& given) {
  std::size_t const at = old.find("SECRET_");
  std::string all, token = old.substr(at, old.find('\n', at) - at);
  for (auto const& [where, text] : outcome.output)
    all += text;
  std::string const text = tamo_test::readFile(root + "/" + layout.file);
  if (outcome.hung || outcome.status != 0)
    return "it failed";
  if ((entry.effect & kShowsOld) && all.find(token) == std::string::npos)
    return "it did not show the file's value";
  if ((entry.effect & kWritesNew) && text.find(kNewText) == std::string::npos)
    return "the file does not hold the new value";
  if ((entry.effect & kRemovesKey) && text.find("password=") != std::string::npos)
    return "the key is still in the file";
  if (!(entry.effect & (kWritesNew | kRemovesKey)) && text != old)
    return "the file changed";
  if (statOf(root + "/" + layout.file).st_uid != file.st_uid)
    return "the file changed hands";
  if ((statOf(root + "/" + layout.given).st_mode ^ given.st_mode) & S_IFMT)
    return "the name given is no longer what it was";
  return "";
}

// Makes made in a fresh folder all may enter; returns its path.
std::string makeLayout(tamo_test::TempDir const& dir, char const* made) {
  Rng rng(0);
  int tokens = 0;
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_TRUE(make(dir.path(), made, rng, tokenPrefix(0), tokens)) << made;
  return dir.path();
}

class LegitimateLayouts : public testing::TestWithParam<Layout> {};

TEST_P(LegitimateLayouts, EveryEntryPointSucceeds) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to be the caller and to give files to other users";
  Layout const& layout = GetParam();
  FsSysctls sysctls;
  for (std::vector<unsigned> const& wanted : {std::vector<unsigned>{1, 1, 2}, {0, 0, 0}}) {
    std::string const protection = sysctls.apply(wanted);
    for (EntryPoint const& entry : kEntryPoints) {
      if (entry.names == 0)
        continue;
      tamo_test::TempDir dir;
      std::string const root = makeLayout(dir, layout.made);
      std::string const old = tamo_test::readFile(root + "/" + layout.file);
      struct stat const file = statOf(root + "/" + layout.file);
      struct stat const given = statOf(root + "/" + layout.given);
      Operation op;
      op.entry = &entry;
      op.names.assign(entry.names, root + "/" + layout.given);
      Outcome const outcome = run(op, root, "");
      EXPECT_EQ(legitimateRunFault(entry, outcome, root, layout, old, file, given), "")
          << entry.label << " on " << layout.given << " with " << protection << ": exit "
          << outcome.status << "\n"
          << shown(outcome.output.begin()->second) << "\n"
          << shown(outcome.output.rbegin()->second);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, LegitimateLayouts, testing::ValuesIn(kLayouts),
                         [](auto const& info) { return std::string(info.param.name); });

// The installer's folder replaced by the attacker's, which holds its own
// settings file: the installer edits it, and it stays the attacker's.
TEST(LegitimateInstallerRun, EditsTheAttackersOwnFileInTheAttackersFolder) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to be the caller and to give files to other users";
  tamo_test::TempDir dir, work;
  std::string const root = makeLayout(dir,
                                      "d att 1000:1000 0755; d att/Tamo 1000:1000 0755; "
                                      "f att/Tamo/tamo.settings.cfg 1000:1000 0644");
  Operation op;
  op.entry = &kEntryPoints.back();
  Outcome const outcome = run(op, root, work.path());
  if (outcome.output.count("the sandbox"))
    GTEST_SKIP() << outcome.output.at("the sandbox");
  EXPECT_EQ(outcome.status, 0);
  std::string const written = root + "/att/Tamo/tamo.settings.cfg";
  EXPECT_NE(tamo_test::readFile(written).find("AUTO_UPDATE=1\n"), std::string::npos);
  EXPECT_NE(tamo_test::readFile(written).find("password=" + tokenPrefix(0) + "1"),
            std::string::npos);
  EXPECT_EQ(statOf(written).st_uid, kAttacker);
}

}  // namespace
