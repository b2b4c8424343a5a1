// Root given a name that begins in another user's folder, by the tool, the
// library and the installer: whatever that user prepared there, root may
// reach only that user's objects, so it changes nothing the user could not
// change, shows nothing the user could not read, and never hangs. Trees,
// attacks and runs are drawn from seeds; a failure prints its seed, and
// TAMO_ATTACK_SEED=N TAMO_ATTACK_SEEDS=1 replays it (TAMO_ATTACK_SEEDS=M
// runs M seeds from N on).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "attack_oracle.h"
#include "attack_runs.h"
#include "attack_world.h"
#include "sandbox.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using tamo_attack::AttackerView;
using tamo_attack::EntryPoint;
using tamo_attack::kAttacker;
using tamo_attack::kBystander;
using tamo_attack::kEntryPoints;
using tamo_attack::kRemovesKey;
using tamo_attack::kShowsOld;
using tamo_attack::kWritesNew;
using tamo_attack::Names;
using tamo_attack::Operation;
using tamo_attack::Outcome;
using tamo_attack::Protection;
using tamo_attack::Rng;
using tamo_attack::Snapshot;
using tamo_attack::World;

constexpr int kOperationsPerSeed = 4;

// Sets the kernel's link protections per seed and puts the host's values
// back at the end.
class FsSysctls {
 public:
  FsSysctls() {
    for (int i = 0; i < 3; ++i)
      saved[i] = read(i);
  }
  ~FsSysctls() {
    for (int i = 0; i < 3; ++i)
      if (!saved[i].empty())
        write(i, saved[i]);
  }
  FsSysctls(FsSysctls const&) = delete;
  FsSysctls& operator=(FsSysctls const&) = delete;

  // Where a value cannot be set, the one in force stays; returns what is.
  Protection apply(Protection const& wanted) {
    write(0, std::to_string(wanted.symlinks));
    write(1, std::to_string(wanted.hardlinks));
    write(2, std::to_string(wanted.regular));
    return {std::atoi(read(0).c_str()), std::atoi(read(1).c_str()), std::atoi(read(2).c_str())};
  }

 private:
  static std::string path(int i) {
    static char const* const names[] = {"protected_symlinks", "protected_hardlinks",
                                        "protected_regular"};
    return std::string("/proc/sys/fs/") + names[i];
  }
  static std::string read(int i) {
    std::ifstream in(path(i));
    std::string value;
    std::getline(in, value);
    return value;
  }
  static void write(int i, std::string const& value) {
    std::ofstream out(path(i));
    out << value << '\n';
  }

  std::string saved[3];
};

std::string describe(Protection const& p) {
  return "fs.protected_symlinks=" + std::to_string(p.symlinks) +
         " fs.protected_hardlinks=" + std::to_string(p.hardlinks) +
         " fs.protected_regular=" + std::to_string(p.regular);
}

// ---- Drawing runs ------------------------------------------------------------

// The installer runs in a sandbox of its own, the dearest run: drawn as
// often as two of the others.
EntryPoint const& drawEntry(Rng& rng) {
  unsigned const pick = rng.below(kEntryPoints.size() + 1);
  return kEntryPoints[pick < kEntryPoints.size() ? pick : kEntryPoints.size() - 1];
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
Operation draw(Rng& rng, World const& world) {
  Operation op;
  op.entry = &drawEntry(rng);
  op.binds = 1 + static_cast<int>(rng.below(3));
  std::vector<std::string> const sticky = world.stickyFolders();
  bool const inSticky = !sticky.empty() && op.entry->names > 0 && rng.chance(15);
  std::string const folder = inSticky ? rng.pick(sticky) : "att";
  if (inSticky)
    op.start = tamo_attack::Start::kStickyFolder;
  Names const names = inSticky ? world.namesIn(folder) : world.names();
  unsigned const form = rng.below(3);
  op.cwd = form == 2 ? folder : "";
  bool const textual = (op.entry->effect & tamo_attack::kTextualDotDot) != 0;
  for (int i = 0; i < op.entry->names; ++i) {
    std::string name = rng.pick(names);
    while (textual && ("/" + name + "/").find("/../") != std::string::npos)
      name = rng.pick(names);
    if (form == 0)
      name = world.path(name);
    if (form == 2)
      name = name.substr(folder.size() + 1);
    if (form != 0 && rng.chance(15))
      name = "./" + name;
    op.names.push_back(decorated(rng, name));
  }
  return op;
}

unsigned fromEnvironment(char const* name, unsigned fallback) {
  char const* value = std::getenv(name);
  return value != nullptr && *value != '\0'
             ? static_cast<unsigned>(std::strtoul(value, nullptr, 10))
             : fallback;
}

std::string shown(std::string const& text) {
  std::string out;
  for (char c : text)
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out.size() > 600 ? out.substr(0, 600) + "..." : out;
}

// The kind of a breach, for the summary: its words without names and tokens.
std::string kindOf(std::string const& breach) {
  for (char const* kind :
       {"is now readable by the attacker", "appears in standard output",
        "appears in standard error", "appears in what the library returned", "appears in the log",
        "appears in its own system file", "was copied into", "contents changed", "was removed",
        "now names another object", "where the attacker cannot add names", "was made in a folder",
        "owner, group, mode", "in a sticky folder others may write", "did not end"})
    if (breach.find(kind) != std::string::npos)
      return kind;
  return breach;
}

class AttackRun {
 public:
  AttackRun() { ::chmod(base.path().c_str(), 0755); }

  bool reachableByTheAttacker() const {
    return tamo_attack::asAttacker(
               [&] { return ::access(base.path().c_str(), X_OK) == 0 ? "yes" : "no"; }) == "yes";
  }
  void runSeed(unsigned seed);
  void report(unsigned first, unsigned count) const;

 private:
  bool rebuild(World& world);
  void judgeOne(unsigned seed, int index, World const& world, Operation const& op,
                Snapshot const& before, Outcome const& outcome,
                std::vector<std::string> const& breaches);

  tamo_test::TempDir base;     // the trees, one folder each, all users may enter
  tamo_test::TempDir sandbox;  // the installer's private layers
  FsSysctls sysctls;
  Protection protection{};
  unsigned trees = 0, operations = 0, refused = 0, failed = 0;
  std::map<std::string, unsigned> perEntry;
  std::map<std::string, std::map<std::string, std::vector<unsigned>>> failures;
};

bool AttackRun::rebuild(World& world) {
  if (!world.root().empty())
    std::filesystem::remove_all(world.root());
  std::string const root = base.file("w" + std::to_string(++trees));
  return ::mkdir(root.c_str(), 0755) == 0 && ::chmod(root.c_str(), 0755) == 0 && world.build(root);
}

// The tree and what the attacker can do to it.
struct Observed {
  Snapshot tree;
  AttackerView view;
};

Observed observe(std::string const& root) {
  Snapshot tree = tamo_attack::snapshotOf(root);
  AttackerView view = tamo_attack::attackerView(root, tree);
  return {std::move(tree), std::move(view)};
}

// A run that left the tree as it was hands it to the next run, which saves
// making it again and asking the attacker again; one that changed it has it
// made anew from the seed.
void AttackRun::runSeed(unsigned seed) {
  World world(seed);
  protection = sysctls.apply(world.protection());
  ASSERT_TRUE(rebuild(world)) << "seed " << seed << ": the tree could not be made";
  Rng rng(seed * 2654435761u + 1);
  Observed before = observe(world.root());
  for (int index = 1; index <= kOperationsPerSeed; ++index) {
    Operation const op = draw(rng, world);
    Outcome const outcome = run(op, world.root(), sandbox.path());
    Observed const after = observe(world.root());
    ASSERT_TRUE(before.view.asked && after.view.asked)
        << "seed " << seed << ": no child became the attacker";
    std::vector<std::string> breaches =
        tamo_attack::judge(op.start, before.tree, before.view, after.tree, after.view,
                           outcome.output, world.tokenPrefix());
    if (outcome.hung)
      breaches.insert(breaches.begin(), "the run did not end within the time limit: killed");
    ++operations;
    ++perEntry[op.entry->names == 0 ? "installer" : op.entry->library ? "library" : "tool"];
    refused += outcome.status != 0;
    judgeOne(seed, index, world, op, before.tree, outcome, breaches);
    if (!(after.tree == before.tree)) {
      ASSERT_TRUE(rebuild(world)) << "seed " << seed << ": the tree could not be made again";
      before = observe(world.root());
    }
  }
  std::filesystem::remove_all(world.root());
}

void AttackRun::judgeOne(unsigned seed, int index, World const& world, Operation const& op,
                         Snapshot const& before, Outcome const& outcome,
                         std::vector<std::string> const& breaches) {
  if (breaches.empty())
    return;
  for (std::string const& breach : breaches)
    failures[op.entry->label][kindOf(breach)].push_back(seed);
  // A long run shows a few in full; the summary names every seed.
  if (++failed > 5 && fromEnvironment("TAMO_ATTACK_SEEDS", 0) != 1)
    return;
  std::ostringstream text;
  text << "seed " << seed << ", run " << index << " of " << kOperationsPerSeed
       << " (replay: TAMO_ATTACK_SEED=" << seed << " TAMO_ATTACK_SEEDS=1)\n"
       << describe(protection) << "\ntree before the run ($T = " << world.root() << "):\n"
       << tamo_attack::describe(before, world.root()) << "the attacker's moves:\n"
       << world.describeSteps() << "run as root: " << describe(op, world.root()) << "\nexit status "
       << outcome.status << "\n";
  for (auto const& [where, printed] : outcome.output.texts)
    text << where << ": " << shown(printed) << "\n";
  text << "breaches:\n";
  for (std::string const& breach : breaches)
    text << "  " << breach << "\n";
  ADD_FAILURE() << text.str();
}

void AttackRun::report(unsigned first, unsigned count) const {
  std::cout << "ownership attack: " << count << " seeds from " << first << ", " << trees
            << " trees built, " << operations << " runs as root (";
  char const* separator = "";
  for (auto const& [kind, number] : perEntry) {
    std::cout << separator << kind << " " << number;
    separator = ", ";
  }
  std::cout << "), " << refused << " ended in a refusal or error, " << failed
            << " broke the rule\n";
  if (failures.empty())
    return;
  std::ostringstream summary;
  summary << "runs that broke the rule, by entry point and breach (seeds):\n";
  for (auto const& [entry, kinds] : failures)
    for (auto const& [kind, seeds] : kinds) {
      summary << "  " << entry << ": " << kind << ":";
      for (std::size_t i = 0; i < seeds.size() && i < 12; ++i)
        summary << " " << seeds[i];
      summary << (seeds.size() > 12 ? " ... (" + std::to_string(seeds.size()) + ")" : "") << "\n";
    }
  ADD_FAILURE() << summary.str();
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
  attack.report(first, count);
}

// ---- Layouts the rule allows: each entry point succeeds on them ---------------

// One thing made by root: a folder 'd', a file 'f' holding kOldText, or a
// link 'l' whose text, when it begins with "/", is taken from the tree's root.
struct Made {
  char kind;
  char const* path;
  uid_t owner;
  gid_t group;
  mode_t mode;
  char const* text;
};

constexpr char kOldText[] = "password=old-value\n";

struct Layout {
  char const* name;
  std::vector<Made> made;
  char const* given;  // the name root is given, relative to the tree's root
  char const* file;   // the file it leads to
  uid_t owner;        // that file's owner, before and after
};

void PrintTo(Layout const& layout, std::ostream* out) {
  *out << layout.name;
}

bool make(std::string const& root, Made const& made) {
  std::string const path = root + "/" + made.path;
  gid_t const group = made.group;
  switch (made.kind) {
    case 'd':
      return ::mkdir(path.c_str(), 0700) == 0 && ::chown(path.c_str(), made.owner, group) == 0 &&
             ::chmod(path.c_str(), made.mode) == 0;
    case 'f': {
      std::ofstream(path) << kOldText;
      return ::chown(path.c_str(), made.owner, group) == 0 && ::chmod(path.c_str(), made.mode) == 0;
    }
    default: {
      std::string const text = made.text[0] == '/' ? root + made.text : made.text;
      return ::symlink(text.c_str(), path.c_str()) == 0 &&
             ::lchown(path.c_str(), made.owner, group) == 0;
    }
  }
}

Made folder(char const* path, uid_t owner, mode_t mode, gid_t group = 0) {
  return {'d', path, owner, group != 0 ? group : owner, mode, ""};
}
Made file(char const* path, uid_t owner, mode_t mode) {
  return {'f', path, owner, owner, mode, ""};
}
Made link(char const* path, uid_t owner, char const* text) {
  return {'l', path, owner, owner, 0777, text};
}

std::vector<Layout> const kLayouts = {
    {"RootsOwnLink",
     {folder("etc", 0, 0755), file("etc/real.cfg", 0, 0600), link("etc/l.cfg", 0, "real.cfg")},
     "etc/l.cfg",
     "etc/real.cfg",
     0},
    {"RootsAbsoluteLinkChain",
     {folder("etc", 0, 0755), file("etc/real.cfg", 0, 0600), link("etc/l.cfg", 0, "real.cfg"),
      link("etc/a.cfg", 0, "/etc/l.cfg")},
     "etc/a.cfg",
     "etc/real.cfg",
     0},
    {"RootsFolderLinkThenDotDot",
     {folder("etc", 0, 0755), folder("etc/sub", 0, 0755), file("etc/real.cfg", 0, 0600),
      link("etc/d", 0, "sub")},
     "etc/d/../real.cfg",
     "etc/real.cfg",
     0},
    {"RootsLinkIntoABystandersFolder",
     {folder("etc", 0, 0755), folder("bys", kBystander, 0755), file("bys/b.cfg", kBystander, 0644),
      link("etc/l.cfg", 0, "/bys/b.cfg")},
     "etc/l.cfg",
     "bys/b.cfg",
     kBystander},
    {"RootsFileInAStickyFolder",
     {folder("tmp", 0, 01777), file("tmp/r.cfg", 0, 0600)},
     "tmp/r.cfg",
     "tmp/r.cfg",
     0},
    {"BystandersFileInRootsFolder",
     {folder("pub", 0, 0755), file("pub/b.cfg", kBystander, 0644)},
     "pub/b.cfg",
     "pub/b.cfg",
     kBystander},
    {"AttackersFileInAGroupFolder",
     {folder("grp", 0, 0775, tamo_attack::kGroup), file("grp/a.cfg", kAttacker, 0600)},
     "grp/a.cfg",
     "grp/a.cfg",
     kAttacker},
    {"AttackersFileThroughItsOwnLink",
     {folder("att", kAttacker, 0755), folder("att/sub", kAttacker, 0755),
      file("att/sub/real.cfg", kAttacker, 0600), link("att/l", kAttacker, "sub/real.cfg")},
     "att/l",
     "att/sub/real.cfg",
     kAttacker},
    {"AttackersFileThroughItsFolderLinkAndDotDot",
     {folder("att", kAttacker, 0755), folder("att/sub", kAttacker, 0755),
      file("att/sub/real.cfg", kAttacker, 0600), link("att/l", kAttacker, "sub/real.cfg"),
      link("att/d", kAttacker, "sub")},
     "att/d/../l",
     "att/sub/real.cfg",
     kAttacker},
    {"AttackersFileInItsOwnStickyFolder",
     {folder("att", kAttacker, 0755), folder("att/st", kAttacker, 01777),
      file("att/st/real.cfg", kAttacker, 0644)},
     "att/st/real.cfg",
     "att/st/real.cfg",
     kAttacker},
};

// What went wrong with a run the rule allows; "" when nothing did.
std::string legitimateRunFault(EntryPoint const& entry, Outcome const& outcome,
                               std::string const& root, Layout const& layout, mode_t givenType) {
  std::string all;
  for (auto const& [where, text] : outcome.output.texts)
    all += text;
  std::string const text = tamo_test::readFile(root + "/" + layout.file);
  struct stat file {};
  ::lstat((root + "/" + layout.file).c_str(), &file);
  struct stat given {};
  ::lstat((root + "/" + layout.given).c_str(), &given);
  if (outcome.hung || outcome.status != 0)
    return "it failed";
  if ((entry.effect & kShowsOld) && all.find("old-value") == std::string::npos)
    return "it did not show the file's value";
  if ((entry.effect & kWritesNew) && text.find("password=changed") == std::string::npos)
    return "the file does not hold the new value";
  if ((entry.effect & kRemovesKey) && text.find("password=") != std::string::npos)
    return "the key is still in the file";
  if (!(entry.effect & (kWritesNew | kRemovesKey)) && text != kOldText)
    return "the file changed";
  if (file.st_uid != layout.owner)
    return "the file changed hands";
  if ((given.st_mode & S_IFMT) != givenType)
    return "the name given is no longer what it was";
  return "";
}

class LegitimateLayouts : public testing::TestWithParam<Layout> {};

TEST_P(LegitimateLayouts, EveryEntryPointSucceeds) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to be the caller and to give files to other users";
  Layout const& layout = GetParam();
  FsSysctls sysctls;
  for (Protection const& wanted : {Protection{1, 1, 2}, Protection{0, 0, 0}}) {
    Protection const protection = sysctls.apply(wanted);
    for (EntryPoint const& entry : kEntryPoints) {
      if (entry.names == 0)
        continue;
      tamo_test::TempDir dir;
      ::chmod(dir.path().c_str(), 0755);
      for (Made const& made : layout.made)
        ASSERT_TRUE(make(dir.path(), made)) << made.path;
      struct stat given {};
      ::lstat(dir.file(layout.given).c_str(), &given);
      Operation op;
      op.entry = &entry;
      op.names.assign(entry.names, dir.file(layout.given));
      Outcome const outcome = run(op, dir.path(), "");
      std::string const fault =
          legitimateRunFault(entry, outcome, dir.path(), layout, given.st_mode & S_IFMT);
      EXPECT_EQ(fault, "") << entry.label << " on " << layout.given << " with "
                           << describe(protection) << ": exit " << outcome.status << "\n"
                           << shown(outcome.output.texts.begin()->second) << "\n"
                           << shown(outcome.output.texts.rbegin()->second);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, LegitimateLayouts, testing::ValuesIn(kLayouts),
                         [](auto const& info) { return std::string(info.param.name); });

// The installer's folders replaced by the attacker's, which holds its own
// settings file: the installer edits it, and it stays the attacker's.
TEST(LegitimateInstallerRun, EditsTheAttackersOwnFileInTheAttackersFolder) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to be the caller and to give files to other users";
  tamo_test::TempDir dir, work;
  ::chmod(dir.path().c_str(), 0755);
  for (Made const& made : {folder("att", kAttacker, 0755), folder("att/Tamo", kAttacker, 0755),
                           file("att/Tamo/tamo.settings.cfg", kAttacker, 0644)})
    ASSERT_TRUE(make(dir.path(), made)) << made.path;
  tamo_sandbox::SandboxRequest request;
  request.workDir = work.path();
  request.command = {TAMO_INSTALL_CONFIG_PATH};
  request.timeoutSeconds = tamo_attack::kTimeoutSeconds;
  request.binds.push_back({dir.file("att"), "/etc/Vardel"});
  request.files.push_back({tamo_attack::kInputPath, "AUTO_UPDATE=1\n", 0644});
  tamo_sandbox::SandboxResult const result = tamo_sandbox::runInSandbox(request);
  if (!result.ran)
    GTEST_SKIP() << result.skipReason;
  EXPECT_EQ(result.exitStatus, 0);
  std::string const written = dir.file("att/Tamo/tamo.settings.cfg");
  EXPECT_EQ(tamo_test::readFile(written), "AUTO_UPDATE=1\npassword=old-value\n");
  struct stat info {};
  ASSERT_EQ(::stat(written.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kAttacker);
}

}  // namespace
