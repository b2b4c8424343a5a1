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
using std::string;

constexpr int kTimeoutSeconds = 20;
constexpr char kSystemPath[] = "/etc/Vardel/Tamo/tamo.settings.cfg";
constexpr char kInputPath[] = "/etc/tamo/config/zlv-install.properties";
constexpr char kNewText[] = "password=changed\n";

string sysctl(int i) {
  return string("/proc/sys/fs/protected_") + (i == 0   ? "symlinks"
                                              : i == 1 ? "hardlinks"
                                                       : "regular");
}

string valueOf(int i) {
  string value;
  std::getline(std::ifstream(sysctl(i)), value);
  return value;
}

// Sets the kernel's link protections; where one cannot be set, the one in
// force stays. Returns those in force.
string setSysctls(Names const& values) {
  string now;
  for (int i = 0; i < 3; ++i) {
    std::ofstream(sysctl(i)) << values[i] << '\n';
    now += sysctl(i).substr(13) + "=" + valueOf(i) + " ";
  }
  return now;
}

// Puts the host's link protections back at the end of a scope.
struct SysctlsKept {
  Names const host = {valueOf(0), valueOf(1), valueOf(2)};
  ~SysctlsKept() { setSysctls(host); }
};

// ---- The entry points ----------------------------------------------------------

// What a successful run does to the file its name leads to; writes give
// "password" the value "changed". kTextualDotDot: the first table's names
// lose "x/.." by text before any step, so such a name typed by the caller
// never enters the attacker's folder and is not drawn for it.
// kAddsInput: the installer's input, AUTO_UPDATE=1, is added to the file.
enum Effect {
  kLeaves = 0,
  kShowsOld = 1,
  kWritesNew = 2,
  kRemovesKey = 4,
  kTextualDotDot = 8,
  kAddsInput = 16
};
enum Call { kImport, kExport, kReplace, kLockReplace, kLockImport, kRead, kFileReplace, kFileLock };

struct EntryPoint {
  char const* label;  // the tool's arguments, "@1" and "@2" for the names; or the call's name
  int names;          // how many names it takes; 0: the installer
  int effect;
  int call = -1;  // a Call, or -1 for the tool
};

// The tool's forms that take different ways through it: a read, a check,
// JSON output, a preview, a write, a removal, a merge that reads two files
// and one that reads a file and writes another.
std::vector<EntryPoint> const kEntryPoints = {
    {"get --json @1 password", 1, kShowsOld},
    {"list @1", 1, kShowsOld},
    {"check --json @1", 1, kLeaves},
    {"set @1 password=changed", 1, kWritesNew},
    {"set --check --diff @1 password=changed", 1, kShowsOld},
    {"unset @1 password", 1, kRemovesKey},
    {"unset --check --json @1 password", 1, kShowsOld},
    {"merge @1 @2", 2, kShowsOld},
    {"merge --json @1 -o @2", 2, kLeaves},
    {"context_import_from_file", 1, kShowsOld | kTextualDotDot, kImport},
    {"context_export_to_file", 1, kWritesNew | kTextualDotDot, kExport},
    {"settings_replace_file_contents", 1, kWritesNew, kReplace},
    {"settings_lock_file + locked read and replace", 1, kShowsOld | kWritesNew, kLockReplace},
    {"settings_lock_file + context import and export", 1, kShowsOld | kWritesNew, kLockImport},
    {"settings_file_read", 1, kShowsOld, kRead},
    {"settings_file_replace", 1, kWritesNew, kFileReplace},
    {"settings_file_lock + locked read", 1, kShowsOld, kFileLock},
    {"tamo-install-config", 0, kAddsInput},
};

// What a call handed back goes to standard output, whatever its status.
int printed(int status, char const* text, std::size_t size) {
  if (text != nullptr && ::write(1, text, size) < 0)
    ::_exit(125);
  return status;
}

int printedContext(int status, settings_context_t* context) {
  char const* text = nullptr;
  context_export_to_string(context, &text);
  return printed(status, text, text ? std::strlen(text) : 0);
}

// Runs in a child, which leaves without freeing.
int callLibrary(int call, char const* name) {
  settings_context_t* context = context_create();
  settings_lock_t* lock = nullptr;
  settings_file_report_t report;
  char const* text = nullptr;
  char* owned = nullptr;
  std::size_t size = 0, length = std::strlen(kNewText);
  auto const changed = [&] {
    return context_import_from_string(context, kNewText, nullptr, nullptr, 0, 1);
  };
  if (call == kImport)
    return printedContext(context_import_from_file(context, name, nullptr, nullptr, 0, 1), context);
  if (call == kExport)
    return changed() || context_export_to_file(context, name);
  if (call == kReplace)
    return settings_replace_file_contents(name, kNewText, length);
  if (call == kRead) {
    int const status = settings_file_read(name, 0, &owned, &size, &report);
    return printed(status, owned, size);
  }
  if (call == kFileReplace)
    return settings_file_replace(name, kNewText, length, &report);
  int status = call == kFileLock ? settings_file_lock(name, 0, &lock, &report)
                                 : settings_lock_file(name, 0, &lock);
  if (status == 0 && call == kLockImport) {
    status = printedContext(context_import_from_locked_file(context, lock, nullptr, nullptr, 0, 1),
                            context);
    // A missing file is written all the same: the export creates it.
    if (status == 0 || status == SETTINGS_OPEN_FILE_ERROR)
      status = changed() || context_export_to_locked_file(context, lock);
  } else if (status == 0) {
    status = settings_locked_file_read(lock, &text, &size);
    printed(status, text, size);
    if (status == 0 && call == kLockReplace)
      status = settings_locked_file_replace(lock, kNewText, length);
  }
  settings_lock_release(lock);
  return status;
}

// ---- Runs as root ----------------------------------------------------------------

struct Operation {
  EntryPoint const* entry;
  Names names;      // as given
  string cwd = "";  // relative to the tree's root
  int binds = 1;    // the installer: 1 /etc/Vardel, 2 /etc/tamo, 3 both over att/
  bool fromAttackersFolder = true;
};

struct Outcome {
  int status;  // exit status, 128 + the signal that ended it
  bool hung;
  std::map<string, string> output;  // what it printed, by where
};

// Runs body (which must not return) in a child in cwd, what it prints
// captured. The child's alarm outlives exec and ends a run that hangs, so
// that it fails instead of stopping the test.
Outcome runCaptured(string const& cwd, std::function<void()> const& body) {
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
  Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                  WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM,
                  {}};
  for (auto [fd, where] : {std::pair{out, "standard output"}, std::pair{err, "standard error"}}) {
    outcome.output[where] = tamo_test::readFile("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
  }
  return outcome;
}

// The installer at its fixed paths, att/ in place of its folders; what it
// writes under a folder left to it is output too, as it never reaches the tree.
Outcome runInstaller(Operation const& op, string const& attacker, string const& workDir) {
  tamo_sandbox::SandboxRequest request;
  request.workDir = workDir;
  request.command = {TAMO_INSTALL_CONFIG_PATH};
  request.timeoutSeconds = kTimeoutSeconds;
  for (auto [bind, folder, file, text] :
       {std::tuple{1, "/etc/Vardel", kSystemPath, "WEB_TAMO=1\n"},
        std::tuple{2, "/etc/tamo", kInputPath, "AUTO_UPDATE=1\n"}})
    if (op.binds & bind)
      request.binds.push_back({attacker, folder});
    else
      request.files.push_back({file, text, 0644});
  if (!(op.binds & 1))
    request.inspect = {kSystemPath};
  tamo_sandbox::SandboxResult const result = tamo_sandbox::runInSandbox(request);
  Outcome outcome{
      result.exitStatus,
      result.standardError.find("killed after the time limit") != string::npos,
      {{"standard output", result.standardOutput}, {"standard error", result.standardError}}};
  for (auto const& record : result.log)
    outcome.output["the log"] += record.message + "\n";
  if (result.files.count(kSystemPath))
    outcome.output["its own system file"] = result.files.at(kSystemPath).contents;
  if (!result.ran)
    outcome.output["the sandbox"] = result.skipReason;
  return outcome;
}

Outcome run(Operation const& op, string const& root, string const& workDir) {
  if (op.entry->names == 0)
    return runInstaller(op, root + "/att", workDir);
  Names argv = {TAMO_PROGRAM_EMULATOR, TAMO_SETTINGS_PATH};
  argv.erase(argv.begin(), argv.begin() + argv[0].empty());
  std::istringstream words(op.entry->label);
  for (string word; words >> word;)
    argv.push_back(word[0] == '@' ? op.names[word[1] - '1'] : word);
  Outcome outcome = runCaptured(root + "/" + op.cwd, [&] {
    std::vector<char*> pointers;
    for (string& argument : argv)
      pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    if (op.entry->call < 0)
      ::execv(pointers[0], pointers.data());
    int const status = callLibrary(op.entry->call, op.names[0].c_str());
    string const line = "\n[status " + std::to_string(status) + "]\n";
    ::_exit(printed(status, line.data(), line.size()) == 0 ? 0 : 1);
  });
  if (op.entry->call >= 0)
    outcome.output["what the library returned"] =
        outcome.output.extract("standard output").mapped();
  return outcome;
}

// The run as a line, the tree's root written $T.
string describe(Operation const& op, string const& root) {
  if (op.entry->names == 0)
    return string(op.entry->label) + " with att/ bound over" +
           (op.binds & 1 ? " /etc/Vardel" : "") + (op.binds & 2 ? " /etc/tamo" : "");
  string text = op.entry->call < 0 ? "tamo-settings " + string(op.entry->label)
                                   : op.entry->label + string(" @1");
  for (std::size_t i = 0; i < op.names.size(); ++i) {
    string const& name = op.names[i];
    bool const inTree = name.compare(0, root.size(), root) == 0;
    text.replace(text.find("@" + std::to_string(i + 1)), 2,
                 inTree ? "$T" + name.substr(root.size()) : name);
  }
  return text + " (cwd $T/" + op.cwd + ")";
}

// ---- Drawing runs ------------------------------------------------------------

// Now and then a name is written another way that leads to the same place,
// or, with a trailing "/", only to a folder.
string decorated(Rng& rng, string name) {
  std::size_t const slash = name.find('/', 1);
  unsigned const how = rng.below(20);
  if (slash == string::npos || how > 2)
    return name;
  return how == 0 ? name.insert(slash, "/") : how == 1 ? name.insert(slash, "/.") : name + "/";
}

// Names begin in att/, or now and then in a sticky folder others may write;
// each is given absolute, or relative to the tree's root or to its folder.
// The installer, the dearest run, is drawn as often as two of the others.
Operation draw(Rng& rng, string const& root) {
  std::size_t const last = kEntryPoints.size() - 1;
  Operation op{&kEntryPoints[std::min<std::size_t>(rng.below(last + 2), last)],
               {},
               "",
               1 + static_cast<int>(rng.below(3))};
  Names sticky;
  for (char const* folder : {"tmp", "gst"})
    if (tamo_test::exists(root + "/" + folder))
      sticky.push_back(folder);
  op.fromAttackersFolder = sticky.empty() || op.entry->names == 0 || !rng.chance(15);
  string const folder = op.fromAttackersFolder ? "att" : rng.pick(sticky);
  Names const names = namesIn(root, folder);
  unsigned const form = rng.below(3);
  op.cwd = form == 2 ? folder : "";
  for (int i = 0; i < op.entry->names; ++i) {
    string name = rng.pick(names);
    while ((op.entry->effect & kTextualDotDot) && ("/" + name + "/").find("/../") != string::npos)
      name = rng.pick(names);
    name = form == 0 ? root + "/" + name : form == 2 ? name.substr(folder.size() + 1) : name;
    op.names.push_back(decorated(rng, form != 0 && rng.chance(15) ? "./" + name : name));
  }
  return op;
}

unsigned fromEnvironment(char const* name, unsigned fallback) {
  char const* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtoul(value, nullptr, 10) : fallback;
}

string shown(string text) {
  for (auto at = text.find('\n'); at != string::npos; at = text.find('\n'))
    text.replace(at, 1, "\\n");
  return text.size() > 600 ? text.substr(0, 600) + "..." : text;
}

// The seeds' runs, and what they came to.
struct Attack {
  tamo_test::TempDir base;     // the trees, one folder each, all users may enter
  tamo_test::TempDir sandbox;  // the installer's private layers
  SysctlsKept host;
  string root, protection, moves;
  unsigned trees = 0, runs = 0, refused = 0, failed = 0;
  std::vector<unsigned> failedSeeds;

  std::optional<View> rebuild(unsigned seed) {
    if (!root.empty())
      std::filesystem::remove_all(root);
    root = base.file("w" + std::to_string(++trees));
    std::optional<string> const made =
        ::mkdir(root.c_str(), 0755) == 0 && ::chmod(root.c_str(), 0755) == 0 ? buildTree(seed, root)
                                                                             : std::nullopt;
    moves = made.value_or("");
    return made ? observe(root) : std::nullopt;
  }

  // A run that left the tree as it was hands it to the next run; one that
  // changed it has it made anew from the seed.
  void runSeed(unsigned seed) {
    Rng rng(seed * 2654435761u + 1);
    auto const below = [&](unsigned n) { return std::to_string(rng.below(n)); };
    protection = setSysctls({below(2), below(2), below(3)});
    std::optional<View> before = rebuild(seed);
    for (int index = 1; index <= 4; ++index) {
      ASSERT_TRUE(before) << "seed " << seed << ": the tree could not be made as root and uid 1000";
      Operation const op = draw(rng, root);
      Outcome const outcome = run(op, root, sandbox.path());
      std::optional<View> const after = observe(root);
      ASSERT_TRUE(after) << "seed " << seed << ": no child became the attacker";
      Names breaches =
          judge(op.fromAttackersFolder, *before, *after, outcome.output, tokenPrefix(seed));
      if (outcome.hung)
        breaches.insert(breaches.begin(), "the run did not end within the time limit: killed");
      ++runs;
      refused += outcome.status != 0;
      report(seed, index, op, *before, outcome, breaches);
      before = describe(*after, root) == describe(*before, root) ? after : rebuild(seed);
    }
  }

  void report(unsigned seed, int index, Operation const& op, View const& before,
              Outcome const& outcome, Names const& breaches) {
    if (breaches.empty())
      return;
    if (failedSeeds.empty() || failedSeeds.back() != seed)
      failedSeeds.push_back(seed);
    // A long run shows a few in full; the last line names the seeds.
    if (++failed > 5 && fromEnvironment("TAMO_ATTACK_SEEDS", 0) != 1)
      return;
    std::ostringstream text;
    text << "seed " << seed << ", run " << index << " of 4 (replay: TAMO_ATTACK_SEED=" << seed
         << " TAMO_ATTACK_SEEDS=1)\n"
         << protection << "\ntree before the run ($T = " << root << "):\n"
         << describe(before, root) << "the attacker's moves:\n"
         << moves << "run as root: " << describe(op, root) << "\nexit status " << outcome.status
         << "\n";
    for (auto const& [where, printed] : outcome.output)
      text << where << ": " << shown(printed) << "\n";
    text << "breaches:\n";
    for (string const& breach : breaches)
      text << "  " << breach << "\n";
    ADD_FAILURE() << text.str();
  }
};

TEST(OwnershipAttack, RootReachesOnlyTheAttackersOwnObjects) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to be the caller and to act as other users";
  Attack attack;
  ::chmod(attack.base.path().c_str(), 0755);
  ASSERT_EQ(asAttacker([&] { return std::to_string(::access(attack.base.path().c_str(), X_OK)); }),
            "0")
      << "uid 1000 cannot enter the temporary directory; point TMPDIR at a folder all may enter";
  unsigned const first = fromEnvironment("TAMO_ATTACK_SEED", 1);
  // Under an emulator a run costs some ten times as much: fewer seeds keep
  // the test within its time limit.
  unsigned const usual = string(TAMO_PROGRAM_EMULATOR).empty() ? 300 : 60;
  unsigned const count =
      fromEnvironment("TAMO_ATTACK_SEEDS", std::getenv("TAMO_ATTACK_SEED") ? 1 : usual);
  for (unsigned seed = first; seed < first + count && !HasFatalFailure(); ++seed)
    attack.runSeed(seed);
  std::cout << "ownership attack: " << count << " seeds from " << first << ", " << attack.trees
            << " trees, " << attack.runs << " runs as root (" << attack.refused
            << " refused or failed), " << attack.failed << " broke the rule";
  for (std::size_t i = 0; i < attack.failedSeeds.size() && i < 20; ++i)
    std::cout << (i == 0 ? "; seeds: " : " ") << attack.failedSeeds[i];
  std::cout << (attack.failedSeeds.size() > 20 ? " ...\n" : "\n");
}

// ---- Layouts the rule allows: each entry point succeeds on them ---------------

struct Layout {
  char const* name;
  char const* made;   // as make() takes it
  char const* given;  // the name root is given, which leads to the only file
};

void PrintTo(Layout const& layout, std::ostream* out) {
  *out << layout.name;
}

std::vector<Layout> const kLayouts = {
    {"RootsOwnLink", "dir etc 0:0 0755; file etc/real.cfg 0:0 0600; link etc/l.cfg 0:0 real.cfg",
     "etc/l.cfg"},
    {"RootsAbsoluteLinkChain",
     "dir etc 0:0 0755; file etc/real.cfg 0:0 0600; link etc/l.cfg 0:0 real.cfg; link etc/a.cfg "
     "0:0 "
     "/etc/l.cfg",
     "etc/a.cfg"},
    {"RootsFolderLinkThenDotDot",
     "dir etc 0:0 0755; file etc/real.cfg 0:0 0600; dir etc/sub 0:0 0755; link etc/d 0:0 sub",
     "etc/d/../real.cfg"},
    {"RootsLinkIntoABystandersFolder",
     "dir etc 0:0 0755; dir bys 1001:1001 0755; file bys/b.cfg 1001:1001 0644; link etc/l.cfg 0:0 "
     "/bys/b.cfg",
     "etc/l.cfg"},
    {"RootsFileInAStickyFolder", "dir tmp 0:0 1777; file tmp/r.cfg 0:0 0600", "tmp/r.cfg"},
    {"BystandersFileInRootsFolder", "dir pub 0:0 0755; file pub/b.cfg 1001:1001 0644", "pub/b.cfg"},
    {"AttackersFileInAGroupFolder", "dir grp 0:2000 0775; file grp/a.cfg 1000:1000 0600",
     "grp/a.cfg"},
    {"AttackersFileThroughItsOwnLink",
     "dir att 1000:1000 0755; dir att/sub 1000:1000 0755; file att/sub/real.cfg 1000:1000 0600; "
     "link att/l 1000:1000 sub/real.cfg",
     "att/l"},
    {"AttackersFileThroughItsFolderLinkAndDotDot",
     "dir att 1000:1000 0755; dir att/sub 1000:1000 0755; file att/sub/real.cfg 1000:1000 0600; "
     "link att/l 1000:1000 sub/real.cfg; link att/d 1000:1000 sub",
     "att/d/../l"},
    {"AttackersFileInItsOwnStickyFolder",
     "dir att 1000:1000 0755; dir att/st 1000:1000 1777; file att/st/real.cfg 1000:1000 0644",
     "att/st/real.cfg"},
    // The installer's folder replaced by the attacker's, which holds its own
    // settings file: the installer edits it, and it stays the attacker's.
    {"InstallersFolderIsTheAttackers",
     "dir att 1000:1000 0755; dir att/Tamo 1000:1000 0755; file att/Tamo/tamo.settings.cfg "
     "1000:1000 0644",
     "att/Tamo/tamo.settings.cfg"},
};

// What went wrong with a run the rule allows; "" when nothing did. Its
// names stay what they were; its one file keeps its owner.
string legitimateRunFault(int effect, Outcome const& outcome, View const& before,
                          View const& after) {
  string names[2], texts[2], all;
  uid_t owners[2] = {};
  for (int i = 0; i < 2; ++i)
    for (auto const& [path, node] : (i == 0 ? before : after).tree) {
      names[i] += path + " " + node.type + "\n";
      if (node.type == 'f')
        owners[i] = node.owner, texts[i] = node.data;
    }
  auto const& [was, text] = texts;
  for (auto const& [where, printed] : outcome.output)
    all += printed;
  std::size_t const at = was.find("SECRET_");
  if (outcome.hung || outcome.status != 0)
    return "it failed";
  if ((effect & kShowsOld) && all.find(was.substr(at, was.find('\n', at) - at)) == string::npos)
    return "it did not show the file's value";
  if ((effect & kWritesNew) && text.find(kNewText) == string::npos)
    return "the file does not hold the new value";
  if ((effect & kRemovesKey) && text.find("password=") != string::npos)
    return "the key is still in the file";
  if ((effect & kAddsInput) &&
      (text.find("AUTO_UPDATE=1\n") == string::npos || text.find(was.substr(at)) == string::npos))
    return "the installer's input is not in the file";
  if (!(effect & (kWritesNew | kRemovesKey | kAddsInput)) && text != was)
    return "the file changed";
  if (names[0] != names[1] || owners[0] != owners[1])
    return "names were made, removed or replaced, or the file changed hands";
  return "";
}

class LegitimateLayouts : public testing::TestWithParam<Layout> {};

TEST_P(LegitimateLayouts, EveryEntryPointSucceeds) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to be the caller and to give files to other users";
  Layout const& layout = GetParam();
  bool const installer = string(layout.given).find("Tamo") != string::npos;
  SysctlsKept host;
  for (Names const& values : {Names{"1", "1", "2"}, {"0", "0", "0"}}) {
    string const protection = setSysctls(values);
    for (EntryPoint const& entry : kEntryPoints) {
      tamo_test::TempDir dir, work;
      Rng rng(0);
      int tokens = 0;
      ::chmod(dir.path().c_str(), 0755);
      ASSERT_TRUE(make(dir.path(), layout.made, rng, tokenPrefix(0), tokens)) << layout.made;
      std::optional<View> const before = observe(dir.path());
      Operation const op{&entry, Names(entry.names, dir.file(layout.given))};
      if (entry.names == 0 && !installer)
        continue;
      Outcome outcome = run(op, dir.path(), work.path());
      if (outcome.output.count("the sandbox"))
        continue;
      EXPECT_EQ(legitimateRunFault(entry.effect, outcome, *before, *observe(dir.path())), "")
          << describe(op, dir.path()) << " with " << protection << ": exit " << outcome.status
          << "\n"
          << shown(outcome.output["standard error"]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, LegitimateLayouts, testing::ValuesIn(kLayouts),
                         [](auto const& info) { return string(info.param.name); });

}  // namespace
