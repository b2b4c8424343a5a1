// Root given a name that begins in another user's folder, by the tool, the
// library or the installer, reaches only that user's objects there: it changes
// nothing the user could not change, shows nothing it could not read, never
// hangs. Trees, attacks and runs come from seeds; TAMO_ATTACK_SEED=N
// TAMO_ATTACK_SEEDS=1 replays a failure's seed, TAMO_ATTACK_SEEDS=M runs M.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

#include "sandbox.h"
#include "support/access_list.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"
#include "tamo/settings.h"

namespace {

using std::string;
using Names = std::vector<string>;
using Output = std::map<string, string>;  // what a run printed, by where
constexpr uid_t kAttacker = 1000;
constexpr int kTimeoutSeconds = 20;

// Draws by plain modulo: the standard distributions differ between C++
// libraries, and a seed must replay the same tree wherever it is run.
struct Rng {
  explicit Rng(unsigned seed) : engine(seed) {}
  unsigned below(std::size_t n) { return static_cast<unsigned>(engine() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  string pick(Names const& items) { return items[below(items.size())]; }
  std::mt19937 engine;
};

bool startsWith(string const& text, string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

string parentOf(string const& path) {
  return path.substr(0, path.find('/') == string::npos ? 0 : path.rfind('/'));
}

string join(string const& root, string const& relative) {
  return relative.empty() ? root : root + "/" + relative;
}

// A file's bytes; a link is not followed, a FIFO not waited on.
std::optional<string> readNoFollow(string const& path) {
  int const fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  string text(fd < 0 ? 0 : 1 << 16, '\0');
  ssize_t const size = fd < 0 ? -1 : ::read(fd, &text[0], text.size());
  ::close(fd);
  return size < 0 ? std::nullopt : std::optional(text.substr(0, size));
}

// Sorted, so that a seed draws the same names wherever it runs.
Names entriesOf(string const& folder) {
  Names names;
  std::error_code error;
  for (auto const& entry : std::filesystem::directory_iterator(folder, error))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

struct Outcome {
  int status;  // exit status, 128 + the signal that ended it; 128 + SIGALRM: it hung
  Output output;
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
  Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), {}};
  for (auto [fd, where] : {std::pair{out, "standard output"}, std::pair{err, "standard error"}}) {
    outcome.output[where] = tamo_test::readFile("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
  }
  return outcome;
}

// Runs body as the attacker (uid and gid 1000, member of group 2000, no
// capabilities); nullopt when no child could become it.
std::optional<string> asAttacker(std::function<string()> const& body) {
  Outcome const outcome = runCaptured("/", [&] {
    gid_t const groups[] = {2000};
    if (::setgroups(1, groups) || ::setresgid(kAttacker, kAttacker, kAttacker) ||
        ::setresuid(kAttacker, kAttacker, kAttacker))
      ::_exit(1);
    string const answer = body();
    ::_exit(::write(1, answer.data(), answer.size()) == ssize_t(answer.size()) ? 0 : 1);
  });
  return outcome.status == 0 ? std::optional(outcome.output.at("standard output")) : std::nullopt;
}

// A default access list granting the attacker rwx, and with "both" the
// same access list on the folder itself.
bool setAcl(string const& path, string const& which) {
  return tamo_test::grantAccessList(path, "system.posix_acl_default", kAttacker) &&
         (which != "both" ||
          tamo_test::grantAccessList(path, "system.posix_acl_access", kAttacker));
}

// One item of make(), or one of the attacker's moves: "hardlink" to LAST,
// "rename" of LAST to PATH, "fifo". Returns 0 or the errno of the failure.
int makeItem(string const& root, string const& item, Rng& rng, string const& prefix, int& tokens) {
  std::istringstream in(item);
  string fields[4];
  for (string& field : fields) {
    Names choices;
    in >> field;
    for (std::istringstream choice(field); std::getline(choice, field, '|');)
      choices.push_back(field);
    field = choices.empty() ? "" : rng.pick(choices);
  }
  auto const& [kind, relative, ids, last] = fields;
  string const path = join(root, relative), other = join(root, last);
  char const* const at = path.c_str();
  uid_t const owner = std::stoul(ids), group = std::stoul(ids.substr(ids.find(':') + 1));
  mode_t const mode = last[0] >= '0' && last[0] <= '7' ? std::stoul(last, 0, 8) : 0;
  int const fd = kind == "file" ? ::open(at, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1;
  bool failed = kind == "file" && (fd < 0 || ::fchown(fd, owner, group) || ::fchmod(fd, mode) ||
                                   ::dprintf(fd, "# %s\npassword=%s%d\n", relative.c_str(),
                                             prefix.c_str(), ++tokens) < 0);
  if (kind == "dir")
    failed = ::mkdir(at, 0700) || ::chown(at, owner, group) || ::chmod(at, mode);
  if (kind == "link")
    failed =
        ::symlink((last[0] == '/' ? root + last : last).c_str(), at) || ::lchown(at, owner, group);
  if (kind == "acl")
    failed = !setAcl(path, last);
  if (kind == "hardlink")
    failed = ::link(other.c_str(), at);
  if (kind == "rename")
    failed = ::renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, at, RENAME_NOREPLACE);
  if (kind == "fifo")
    failed = ::mkfifo(at, mode);
  int const error = failed ? errno : 0;
  ::close(fd);
  return error;
}

// Makes as root under root the items of plan, split by ";", each "KIND PATH
// UID[:GID] LAST": "dir" and "file" of mode LAST, the file holding
// "password=" and prefix with the number ++tokens; "link" to LAST, a leading
// "/" standing for root; "acl" on a folder, naming the attacker, LAST
// "default" or "both" lists. A field "x|y" is one of them, drawn by rng.
// Items whose folder is missing are left out.
bool make(string const& root, string const& plan, Rng& rng, string const& prefix, int& tokens) {
  std::istringstream items(plan);
  for (string item, kind, path; std::getline(items, item, ';');)
    if (std::istringstream(item) >> kind >> path &&
        ::access(join(root, parentOf(path)).c_str(), F_OK) == 0 &&
        makeItem(root, item, rng, prefix, tokens) != 0)
      return false;
  return true;
}

// Root's objects in a tree: each row made with its chance, in order.
struct Row {
  unsigned chance;
  char const* plan;
} const kRootsObjects[] = {
    {100, "dir att 1000 0755|0755|0755|0700; dir vault 0 0700; file vault/secret.cfg 0 0600"},
    {60, "dir pub 0 0755; file pub/key.cfg 0 0600"},
    {40, "file pub/b.cfg 1001 0600"},
    {40, "link pub/l.cfg 0 ../vault/secret.cfg|/vault/secret.cfg"},
    {45, "dir tmp 0 1777; file tmp/b.cfg 1001 0600|0644"},
    {50, "file tmp/a.cfg 1000 0644"},
    {35, "dir gst 0:2000 1770; file gst/b.cfg 1001:2000 0600|0660"},
    {50, "file gst/a.cfg 1000:2000 0660"},
    {45, "dir grp 0:2000 0775; file grp/r.cfg 0 0600"},
    {50, "link grp/rl 0 /vault/secret.cfg"},
    // The list is set once the file is made, which so keeps none of its own.
    {35, "dir acl 0 0755; file acl/r.cfg 0 0600; acl acl 0 default|both"},
    {25, "dir bys 1001 0700; file bys/b.cfg 1001 0600"},
    // Root's own objects in the attacker's folder, as if moved in or left there.
    {12, "file att/left.cfg 0 0600"},
    {12, "link att/rl.cfg 0 /vault/secret.cfg"},
    {12, "dir att/kept 0 0755; file att/kept/k.cfg 0 0600"},
};

// Mostly in the attacker's own folders, below which the installer's names
// are drawn; now and then in a shared folder. Links
// lead up, down or from the tree's root, and may lead to themselves: a loop
// must end, not hang. Hard links and renames take what lies outside att/.
Names planMoves(Rng& rng, Names paths) {
  Names folders = {"att"}, shared, victims, moves;
  for (string const& path : paths) {
    if (path == "tmp" || path == "gst" || path == "grp" || path == "acl")
      shared.push_back(path);
    if (!startsWith(path, "att") && path.find('/') != string::npos)
      victims.push_back(path);
  }
  for (unsigned count = 2 + rng.below(5); count > 0; --count) {
    string const kind = rng.pick({"link", "link", "link", "link", "link", "dir", "dir", "file",
                                  "file", "hardlink", "rename", "fifo"});
    bool const outside = !shared.empty() && rng.chance(15);
    string const folder = rng.pick(outside ? shared : folders);
    string const at = folder + "/" +
                      rng.pick(startsWith(folder, "att/")
                                   ? Names{"tamo.settings.cfg", "zlv-install.properties", "x", "l"}
                                   : Names{"a.cfg", "b.cfg", "l", "d", "Tamo", "config"});
    Names targets = paths;
    targets.insert(targets.end(), {"", "vault", "vault/none.cfg", "att/none.cfg", at});
    string const target = rng.pick(targets);
    bool const below = startsWith(target, folder + "/") && rng.chance(60);
    string link = below ? target.substr(folder.size() + 1) : target;
    for (auto up = below ? 0 : std::count(folder.begin(), folder.end(), '/') + 1; up > 0; --up)
      link = "../" + link;
    if (std::find(paths.begin(), paths.end(), at) != paths.end())
      continue;
    string const last = kind == "link"   ? (rng.chance(40) ? "/" + target : link)
                        : kind == "dir"  ? rng.pick({"0755", "0755", "1777"})
                        : kind == "file" ? rng.pick({"0644", "0600"})
                        : kind == "fifo" ? "0666"
                                         : rng.pick(victims);
    moves.push_back(kind + " " + at + " 1000 " + last);
    if (kind == "dir")
      folders.push_back(at);
    paths.push_back(at);
  }
  return moves;
}

string tokenPrefix(unsigned seed) {
  return "SECRET_" + std::to_string(seed) + "_";
}

// Makes seed's tree in root (an empty folder all may enter): root's objects,
// then the attacker's moves tried as uid 1000, so that the kernel decides
// what it could do. Returns the moves and the kernel's answers, one a line;
// nullopt when root's objects failed or no child became the attacker.
std::optional<string> buildTree(unsigned seed, string const& root) {
  Rng rng(seed);
  int tokens = 0;
  Names paths = {""};
  for (Row const& row : kRootsObjects)
    if (rng.chance(row.chance) && !make(root, row.plan, rng, tokenPrefix(seed), tokens))
      return std::nullopt;
  for (auto const& entry : std::filesystem::recursive_directory_iterator(root))
    paths.push_back(entry.path().string().substr(root.size() + 1));
  std::sort(paths.begin(), paths.end());
  Names const moves = planMoves(rng, paths);
  return asAttacker([&] {
    ::umask(0);
    string text;
    for (string const& move : moves) {
      int const error = makeItem(root, move, rng, tokenPrefix(seed), tokens);
      text +=
          "  " + move + (error ? ": refused, " + string(std::strerror(error)) : ": done") + "\n";
    }
    return text;
  });
}

// One name as root sees it, links not followed, and what the attacker may
// do to it, asked of the kernel as uid 1000: read a file (or own it), write
// a file, add names to a folder.
struct Node {
  unsigned long long inode;
  long long born;  // the birth time, as an inode number may come back; 0 where unknown
  uid_t owner;
  gid_t group;
  mode_t mode;       // type and permissions
  string data = "";  // a file's bytes, a link's text
  string acl = "";   // the access and default lists as the kernel stores them
  bool readable = false, writable = false;
  bool isFile() const { return S_ISREG(mode); }
  bool sameObject(Node const& other) const {
    return inode == other.inode && born == other.born && (mode & S_IFMT) == (other.mode & S_IFMT);
  }
};
using Tree = std::map<string, Node>;  // by path relative to the tree's root, "" the root

void addNode(string const& root, string const& relative, Tree& tree) {
  string const path = join(root, relative);
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &info))
    return;
  auto const acl = [&](char const* name) {
    char value[1024];
    return string(value,
                  std::max<ssize_t>(::lgetxattr(path.c_str(), name, value, sizeof value), 0));
  };
  std::error_code error;
  Node& node = tree[relative] = {info.stx_ino, 0, info.stx_uid, info.stx_gid, info.stx_mode};
  node.data = std::filesystem::read_symlink(path, error).string();
  node.acl = acl("system.posix_acl_access") + "|" + acl("system.posix_acl_default");
  if (info.stx_mask & STATX_BTIME)
    node.born = info.stx_btime.tv_sec * 1000000000LL + info.stx_btime.tv_nsec;
  if (node.isFile())
    node.data = readNoFollow(path).value_or("");
  for (string const& entry : S_ISDIR(node.mode) ? entriesOf(path) : Names{})
    addNode(root, relative.empty() ? entry : relative + "/" + entry, tree);
}

// The attacker's child answers two flags a name, in the tree's order.
std::optional<Tree> observe(string const& root) {
  Tree tree;
  addNode(root, "", tree);
  std::optional<string> const flags = asAttacker([&] {
    string answer;
    for (auto const& [relative, node] : tree) {
      string const path = join(root, relative);
      int const want = node.isFile() ? W_OK : S_ISDIR(node.mode) ? W_OK | X_OK : -1;
      answer += node.isFile() && readNoFollow(path) ? 'r' : '-';
      answer += want > 0 && ::access(path.c_str(), want) == 0 ? 'w' : '-';
    }
    return answer;
  });
  if (!flags || flags->size() != 2 * tree.size())
    return std::nullopt;
  auto flag = flags->begin();
  for (auto& [relative, node] : tree) {
    // Its owner may always give itself the right to read.
    node.readable = *flag++ == 'r' || (node.isFile() && node.owner == kAttacker);
    node.writable = *flag++ == 'w';
  }
  return tree;
}

// Names for root to be given, beginning in folder: what stands in it and
// its folders, and through each folder or link there a new name, what it
// holds, and ".." with what stands beside where it leads. Besides, ".."
// written in the name itself climbs out of the folder as a link would.
Names namesIn(Tree const& tree, string const& root, string const& folder) {
  Names out = {folder + "/new.cfg", folder + "/../vault/secret.cfg"};
  for (auto const& [name, node] : tree) {
    char resolved[PATH_MAX];
    string const path = join(root, name);
    string const parent = ::realpath(path.c_str(), resolved) ? parentOf(resolved) : "";
    Names const inside = entriesOf(path), around = entriesOf(parent);
    if (!startsWith(name, folder + "/"))
      continue;
    out.push_back(name);
    for (std::size_t i = 0; i < inside.size() && i < 3; ++i)
      out.push_back(name + "/" + inside[i]);
    if (S_ISDIR(node.mode) || (S_ISLNK(node.mode) && !inside.empty()))
      out.push_back(name + "/new.cfg");
    if (!around.empty() && startsWith(parent + "/", root + "/") && !inside.empty())
      out.push_back(name + "/../" + around.front());
  }
  return out;
}

std::set<string> tokensIn(string const& text, string const& prefix) {
  std::set<string> tokens;
  for (auto at = text.find(prefix); at != string::npos; at = text.find(prefix, at + 1))
    tokens.insert(text.substr(at, text.find_first_not_of("0123456789", at + prefix.size()) - at));
  return tokens;
}

// The breaches of the rule a run left, one readable line each. Names given
// from the attacker's folder are judged by all of the rule; from a sticky
// folder others may write, root's own hard links there may lead anywhere,
// so only by the rule of such folders.
Names judge(bool fromAttackersFolder, Tree const& before, Tree const& after, Output const& output,
            string const& prefix) {
  Names breaches, gone;  // gone: names the attacker could point elsewhere, and that moved
  auto const breach = [&](string const& text) {
    if (std::find(breaches.begin(), breaches.end(), text) == breaches.end())
      breaches.push_back(text);  // a file of several names is reported once
  };
  auto const underGone = [&](string const& path) {
    return std::any_of(gone.begin(), gone.end(),
                       [&](auto& name) { return startsWith(path, name + "/"); });
  };
  for (auto const& [path, was] : before) {
    Node const& folder = before.at(parentOf(path));
    auto const now = after.find(path);
    bool const kept = now != after.end() && now->second.sameObject(was);
    // Another user's file in a sticky folder others may write is not
    // written, unless it is the folder owner's.
    if ((folder.mode & S_ISVTX) && (folder.mode & 022) && was.isFile() && was.owner != 0 &&
        was.owner != folder.owner && (!kept || now->second.data != was.data))
      breach(path + ", another's file in a sticky folder others may write, was written");
    // A name the attacker could not remove or replace names its object still.
    if (!fromAttackersFolder || path.empty() || kept || underGone(path))
      continue;
    if (folder.writable &&
        (!(folder.mode & S_ISVTX) || folder.owner == kAttacker || was.owner == kAttacker))
      gone.push_back(path);
    else
      breach(path + (now != after.end() ? " names another object" : " was removed"));
  }
  if (!fromAttackersFolder)
    return breaches;
  // New names only where the attacker may add them; no folder made in
  // another user's folder.
  for (auto const& [path, node] : after) {
    string folder = parentOf(path);
    while (!before.count(folder))
      folder = parentOf(folder);
    uid_t const parent = after.at(parentOf(path)).owner;
    bool const isNew = !before.count(path) && !underGone(path);
    if (isNew && !before.at(folder).writable)
      breach(path + " appeared in $T/" + folder + ", where the attacker cannot add names");
    if (isNew && S_ISDIR(node.mode) && parent != 0 && parent != node.owner)
      breach("folder " + path + " was made in a folder of uid " + std::to_string(parent));
  }
  // An object not the attacker's keeps its owner, mode and access list, and
  // its bytes unless the attacker could write it by some name.
  for (auto const& [path, old] : before) {
    Node const& was = old;  // a lambda may not take a structured binding
    auto const same = [&](auto const& entry) { return entry.second.sameObject(was); };
    auto const now = std::find_if(after.begin(), after.end(), same);
    bool writable = false;
    for (auto const& entry : before)
      writable |= same(entry) && entry.second.writable;
    if (was.owner == kAttacker || now == after.end())
      continue;
    if (std::tie(now->second.owner, now->second.group, now->second.mode, now->second.acl) !=
        std::tie(was.owner, was.group, was.mode, was.acl))
      breach(path + ": owner, group, mode or access list changed");
    if (was.isFile() && now->second.data != was.data && !writable)
      breach(path + ": contents changed, and the attacker could not write it");
  }
  // No token the attacker could not read is readable by it, copied or shown.
  std::set<string> hidden, seen;
  for (auto const& [path, node] : before)
    for (string const& token : tokensIn(node.isFile() ? node.data : "", prefix))
      (node.readable ? seen : hidden).insert(token);
  for (string const& token : seen)
    hidden.erase(token);
  for (auto const& [path, node] : after) {
    auto const old = before.find(path);
    bool const kept = old != before.end() && old->second.sameObject(node);
    for (string const& token : tokensIn(node.isFile() ? node.data : "", prefix)) {
      if (hidden.count(token) && node.readable)
        breach(token + " is now readable by the attacker at " + path);
      if (hidden.count(token) && (!kept || old->second.data.find(token) == string::npos))
        breach(token + " was copied into " + path);
    }
  }
  for (auto const& [where, text] : output)
    for (string const& token : tokensIn(text, prefix))
      if (hidden.count(token))
        breach(token + ", which the attacker could not read, appears in " + where);
  return breaches;
}

// The text shown for a failure: root's path written $T, line breaks as \n.
string shown(string text, string const& root = "") {
  for (auto at = text.find(root); !root.empty() && at != string::npos; at = text.find(root))
    text.replace(at, root.size(), "$T");
  for (auto at = text.find('\n'); at != string::npos; at = text.find('\n'))
    text.replace(at, 1, "\\n");
  return text.size() > 600 ? text.substr(0, 600) + "..." : text;
}

// The tree as lines "path  owner:group mode (octal, with the type) ...".
string describe(Tree const& tree, string const& root) {
  std::ostringstream out;
  for (auto const& [path, node] : tree)
    out << "  " << (path.empty() ? "$T" : path) << "  " << node.owner << ":" << node.group << " "
        << std::oct << node.mode << std::dec << (node.acl != "|" ? " +acl" : "")
        << (node.isFile() || S_ISLNK(node.mode) ? " \"" + shown(node.data, root) + "\"" : "")
        << "\n";
  return out.str();
}

constexpr char kSystemPath[] = "/etc/Vardel/Tamo/tamo.settings.cfg";
constexpr char kInputPath[] = "/etc/tamo/config/zlv-install.properties";
constexpr char kNewText[] = "password=changed\n";

// What a successful run does to the file its name leads to: shows it,
// writes "password=changed" or adds the installer's input.
// kNoDotDot: the first table's names lose "x/.." by text before any step, so
// such a name never enters the attacker's folder and is not drawn for it.
// kStricter: besides the rule, it refuses any file that others than root and
// the caller could have written, so of the legitimate rows only root's own
// files are its to read; its legitimate reads are the layout tests' rows.
enum Effect { kLeaves, kShows = 1, kWrites = 2, kAddsInput = 4, kNoDotDot = 8, kStricter = 16 };
enum Call {
  kImport,
  kExport,
  kReplace,
  kLockReplace,
  kLockImport,
  kRead,
  kFileReplace,
  kFileLock,
  kLayout
};

struct EntryPoint {
  char const* label;  // the tool's arguments, "@1" and "@2" for the names; or the call's name
  int names;          // how many names it takes; 0: the installer
  int effect;
  int call = -1;  // a Call, or -1 for the tool
};

// The tool's forms that take different ways through it: a read, a check,
// JSON output, previews, a write, a merge that reads two files and one that
// reads a file and writes another.
std::vector<EntryPoint> const kEntryPoints = {
    {"get --json @1 password", 1, kShows},
    {"check --json @1", 1, kLeaves},
    {"set @1 password=changed", 1, kWrites},
    {"set --check --diff @1 password=changed", 1, kShows},
    {"unset --check --json @1 password", 1, kShows},
    {"merge @1 @2", 2, kShows},
    {"merge --json @1 -o @2", 2, kLeaves},
    {"context_import_from_file", 1, kShows | kNoDotDot, kImport},
    {"context_export_to_file", 1, kWrites | kNoDotDot, kExport},
    {"settings_replace_file_contents", 1, kWrites, kReplace},
    {"settings_lock_file + locked read and replace", 1, kShows | kWrites, kLockReplace},
    {"settings_lock_file + context import and export", 1, kShows | kWrites, kLockImport},
    {"settings_file_read", 1, kShows, kRead},
    {"settings_file_replace", 1, kWrites, kFileReplace},
    {"settings_file_lock + locked read", 1, kShows, kFileLock},
    {"context_import_layout of the name's folder", 1, kShows | kStricter, kLayout},
    {"tamo-install-config", 0, kAddsInput},
};

// What a call handed back goes to standard output, whatever its status.
int printed(int status, char const* text, std::size_t size) {
  if (text != nullptr && ::write(1, text, size) < 0)
    ::_exit(125);
  return status;
}

// A layout of the name's file with its folder as the one hierarchy, so that
// its drop-ins are read too.
int importLayout(settings_context_t* context, string name) {
  if (name[0] != '/')
    name = std::filesystem::current_path().string() + "/" + name;
  while (name.size() > 1 && name.back() == '/')
    name.pop_back();
  std::size_t const slash = name.rfind('/');
  settings_layout_t* layout = nullptr;
  int status = settings_layout_create(name.substr(slash + 1).c_str(), &layout);
  if (status == 0)
    status =
        settings_layout_add_hierarchy(layout, slash == 0 ? "/" : name.substr(0, slash).c_str());
  return status != 0 ? status : context_import_layout(context, layout, nullptr, nullptr, 0, 1);
}

// Runs in a child, which leaves without freeing.
int callLibrary(int call, char const* name) {
  settings_context_t* context = context_create();
  settings_lock_t* lock = nullptr;
  settings_file_report_t report;
  char const* text = nullptr;
  char* owned = nullptr;
  std::size_t size = 0, length = std::strlen(kNewText);
  auto const changed = [&] { return context_import_from_string(context, kNewText, 0, 0, 0, 1); };
  auto const shownContext = [&](int status) {
    context_export_to_string(context, &text);
    return printed(status, text, text ? std::strlen(text) : 0);
  };
  if (call == kImport)
    return shownContext(context_import_from_file(context, name, nullptr, nullptr, 0, 1));
  if (call == kLayout)
    return shownContext(importLayout(context, name));
  if (call == kExport)
    return changed() || context_export_to_file(context, name);
  if (call == kReplace)
    return settings_replace_file_contents(name, kNewText, length);
  if (call == kFileReplace)
    return settings_file_replace(name, kNewText, length, &report);
  int status = call == kRead       ? settings_file_read(name, 0, &owned, &size, &report)
               : call == kFileLock ? settings_file_lock(name, 0, &lock, &report)
                                   : settings_lock_file(name, 0, &lock);
  if (call == kRead)
    return printed(status, owned, size);
  if (status == 0 && call == kLockImport) {
    status = shownContext(context_import_from_locked_file(context, lock, nullptr, nullptr, 0, 1));
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

struct Operation {
  EntryPoint const* entry;
  Names names = {};  // as given
  string cwd = "";   // relative to the tree's root
  int binds = 1;     // the installer: 1 /etc/Vardel, 2 /etc/tamo, 3 both over att/
  bool fromAttackersFolder = true;
};

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
  bool const hung = result.standardError.find("killed after the time limit") != string::npos;
  Outcome outcome{hung ? 128 + SIGALRM : result.exitStatus,
                  {{"standard output", result.standardOutput},
                   {"standard error", result.standardError},
                   {"its own system file",
                    result.files.count(kSystemPath) ? result.files.at(kSystemPath).contents : ""}}};
  for (auto const& record : result.log)
    outcome.output["the log"] += record.message + "\n";
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
  return runCaptured(root + "/" + op.cwd, [&] {
    std::vector<char*> pointers;
    for (string& argument : argv)
      pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    if (op.entry->call < 0)
      ::execv(pointers[0], pointers.data());
    int const status = callLibrary(op.entry->call, op.names[0].c_str());
    string const line = "\n[the library's status " + std::to_string(status) + "]\n";
    ::_exit(printed(status, line.data(), line.size()) == 0 ? 0 : 1);
  });
}

string describe(Operation const& op, string const& root) {
  string text = op.entry->label + string(op.entry->names ? " (cwd $T/" + op.cwd + ")" : "");
  for (std::size_t i = 0; i < op.names.size(); ++i)
    text += " @" + std::to_string(i + 1) + "=" + shown(op.names[i], root);
  return op.entry->names ? text
                         : text + " with att/ bound over " +
                               Names{"", "/etc/Vardel", "/etc/tamo", "both"}[op.binds];
}

// Names begin in att/, or now and then in a sticky folder others may write;
// each is given absolute, or relative to the tree's root or to its folder,
// and now and then written another way that leads to the same place, or,
// with a trailing "/", only to a folder. The installer, the dearest run, is
// drawn as often as two of the others.
Operation draw(Rng& rng, Tree const& tree, string const& root) {
  std::size_t const last = kEntryPoints.size() - 1;
  Operation op{&kEntryPoints[std::min<std::size_t>(rng.below(last + 2), last)]};
  op.binds = 1 + static_cast<int>(rng.below(3));
  Names sticky;
  for (char const* folder : {"tmp", "gst"})
    if (tamo_test::exists(root + "/" + folder))
      sticky.push_back(folder);
  op.fromAttackersFolder = sticky.empty() || op.entry->names == 0 || !rng.chance(15);
  string const folder = op.fromAttackersFolder ? "att" : rng.pick(sticky);
  Names const names = namesIn(tree, root, folder);
  unsigned const form = rng.below(3);
  op.cwd = form == 2 ? folder : "";
  for (int i = 0; i < op.entry->names; ++i) {
    string name = rng.pick(names);
    while ((op.entry->effect & kNoDotDot) && ("/" + name + "/").find("/../") != string::npos)
      name = rng.pick(names);
    name = form == 0 ? root + "/" + name : form == 2 ? name.substr(folder.size() + 1) : name;
    name = form != 0 && rng.chance(15) ? "./" + name : name;
    std::size_t const slash = name.find('/', 1);
    unsigned const how = slash == string::npos ? 20 : rng.below(20);
    op.names.push_back(how == 0   ? name.insert(slash, "/")
                       : how == 1 ? name.insert(slash, "/.")
                       : how == 2 ? name + "/"
                                  : name);
  }
  return op;
}

// Sets the kernel's link protections where it can ("" leaves one as it is);
// returns those in force: symlinks, hardlinks, regular.
Names protect(Names const& values) {
  Names now(3);
  for (int i = 0; i < 3; ++i) {
    string const path = "/proc/sys/fs/protected_" + Names{"symlinks", "hardlinks", "regular"}[i];
    if (!values[i].empty())
      std::ofstream(path) << values[i] << '\n';
    std::ifstream(path) >> now[i];
  }
  return now;
}

// The host's link protections, put back at the end of a scope.
struct HostProtection {
  Names const values = protect({"", "", ""});
  ~HostProtection() { protect(values); }
};

unsigned fromEnvironment(char const* name, unsigned fallback) {
  char const* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtoul(value, nullptr, 10) : fallback;
}

// The seeds' runs, four a seed, and what they came to. A run that left the
// tree as it was hands it to the next; one that changed it has it made anew.
struct Attack {
  tamo_test::TempDir base;     // the trees, one folder each, all users may enter
  tamo_test::TempDir sandbox;  // the installer's private layers
  HostProtection host;
  string root, moves;
  unsigned trees = 0, runs = 0, failed = 0;
  std::set<unsigned> failedSeeds;

  std::optional<Tree> rebuild(unsigned seed) {
    if (!root.empty())
      std::filesystem::remove_all(root);
    root = base.file("w" + std::to_string(++trees));
    bool const made = ::mkdir(root.c_str(), 0755) == 0 && ::chmod(root.c_str(), 0755) == 0;
    std::optional<string> const built = made ? buildTree(seed, root) : std::nullopt;
    moves = built.value_or("");
    return built ? observe(root) : std::nullopt;
  }

  void runSeed(unsigned seed) {
    Rng rng(seed * 2654435761u + 1);
    auto const below = [&](unsigned n) { return std::to_string(rng.below(n)); };
    Names const now = protect({below(2), below(2), below(3)});
    string const protection = now[0] + " " + now[1] + " " + now[2];
    std::optional<Tree> before = rebuild(seed);
    for (int index = 1; index <= 4; ++index) {
      ASSERT_TRUE(before) << "seed " << seed << ": the tree could not be made as root and uid 1000";
      Operation const op = draw(rng, *before, root);
      Outcome const outcome = run(op, root, sandbox.path());
      std::optional<Tree> const after = observe(root);
      ASSERT_TRUE(after) << "seed " << seed << ": no child became the attacker";
      Names breaches =
          judge(op.fromAttackersFolder, *before, *after, outcome.output, tokenPrefix(seed));
      if (outcome.status == 128 + SIGALRM)
        breaches.push_back("the run did not end within the time limit: killed");
      ++runs;
      if (!breaches.empty())
        failedSeeds.insert(seed);
      // A long run shows a few in full, a seed replayed all; the last line
      // names every seed.
      if (!breaches.empty() && ++failed <= 5) {
        std::ostringstream text;
        text << "seed " << seed << ", run " << index << " of 4 (replay: TAMO_ATTACK_SEED=" << seed
             << " TAMO_ATTACK_SEEDS=1)\nfs.protected_symlinks, _hardlinks, _regular: " << protection
             << "\ntree before the run ($T = " << root << "):\n"
             << describe(*before, root) << "the attacker's moves:\n"
             << moves << "run as root: " << describe(op, root) << "\nexit status " << outcome.status
             << "\n";
        for (auto const& [where, printed] : outcome.output)
          text << where << ": " << shown(printed) << "\n";
        for (string const& breach : breaches)
          text << "breach: " << breach << "\n";
        ADD_FAILURE() << text.str();
      }
      before = describe(*after, root) == describe(*before, root) ? after : rebuild(seed);
    }
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
  unsigned const usual = std::string(TAMO_PROGRAM_EMULATOR).empty() ? 300 : 60;
  unsigned const count =
      fromEnvironment("TAMO_ATTACK_SEEDS", std::getenv("TAMO_ATTACK_SEED") ? 1 : usual);
  for (unsigned seed = first; seed < first + count && !HasFatalFailure(); ++seed)
    attack.runSeed(seed);
  std::cout << "ownership attack: " << count << " seeds from " << first << ", " << attack.trees
            << " trees, " << attack.runs << " runs as root, " << attack.failed << " broke the rule"
            << (attack.failedSeeds.empty() ? "" : "; seeds:");
  for (unsigned seed : attack.failedSeeds)
    std::cout << " " << seed;
  std::cout << "\n";
}

// One tree holds every layout the rule allows; each row is a name that
// leads into it.
constexpr char kAllowed[] =
    "dir etc 0 0755; file etc/real.cfg 0 0600; link etc/l.cfg 0 real.cfg; link etc/a 0 /etc/l.cfg;"
    "dir etc/sub 0 0755; link etc/d 0 sub; dir bys 1001 0755; file bys/b 1001 0644;"
    "link etc/b 0 /bys/b; dir tmp 0 1777; file tmp/r.cfg 0 0600; dir pub 0 0755;"
    "file pub/b.cfg 1001 0644; dir grp 0:2000 0775; file grp/a.cfg 1000 0600; dir att 1000 0755;"
    "dir att/sub 1000 0755; file att/sub/real.cfg 1000 0600; link att/l 1000 sub/real.cfg;"
    "link att/d 1000 sub; dir att/st 1000 1777; file att/st/r 1000 0644; dir att/Tamo 1000 0755;"
    "file att/Tamo/tamo.settings.cfg 1000 0644";

struct Layout {
  char const *name, *given;
};

// The last: the installer's folder is the attacker's, and so is the settings
// file in it, which the installer edits and leaves the attacker's.
std::vector<Layout> const kLayouts = {
    {"RootsOwnLink", "etc/l.cfg"},
    {"RootsAbsoluteLinkChain", "etc/a"},
    {"RootsFolderLinkThenDotDot", "etc/d/../real.cfg"},
    {"RootsLinkIntoABystandersFolder", "etc/b"},
    {"RootsFileInAStickyFolder", "tmp/r.cfg"},
    {"BystandersFileInRootsFolder", "pub/b.cfg"},
    {"AttackersFileInAGroupFolder", "grp/a.cfg"},
    {"AttackersFileThroughItsOwnLink", "att/l"},
    {"AttackersFileThroughItsFolderLinkAndDotDot", "att/d/../l"},
    {"AttackersFileInItsOwnStickyFolder", "att/st/r"},
    {"InstallersFolderIsTheAttackers", "att/Tamo/tamo.settings.cfg"},
};

// What went wrong with a run the rule allows on file; "" when nothing did.
// The tree's names, their types and owners stay; the file changes as the
// entry point says.
string legitimateRunFault(int effect, Outcome const& outcome, Tree const& before, Tree const& after,
                          string const& file) {
  string shapes[2], all;
  for (int i = 0; i < 2; ++i)
    for (auto const& [path, node] : i == 0 ? before : after)
      shapes[i] +=
          path + " " + std::to_string(node.owner) + " " + std::to_string(node.mode >> 12) + "\n";
  string const &was = before.at(file).data, &text = after.count(file) ? after.at(file).data : was;
  string const token = was.substr(was.find("SECRET_"), was.size() - was.find("SECRET_") - 1);
  for (auto const& [where, printed] : outcome.output)
    all += printed;
  if (outcome.status != 0 || shapes[0] != shapes[1])
    return "it failed, or names were made, removed or replaced, or changed hands";
  if ((effect & kShows) && all.find(token) == string::npos)
    return "it did not show the value";
  if ((effect & kWrites) ? text.find(kNewText) == string::npos
      : (effect & kAddsInput)
          ? text.find("AUTO_UPDATE=1\n") == string::npos || text.find(token) == string::npos
          : text != was)
    return "the file does not hold what the entry point should have left in it";
  return "";
}

class LegitimateLayouts : public testing::TestWithParam<Layout> {};

TEST_P(LegitimateLayouts, EveryEntryPointSucceeds) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to be the caller and to give files to other users";
  string const given = GetParam().given;
  HostProtection host;
  for (Names const& values : {Names{"1", "1", "2"}, Names{"0", "0", "0"}})
    for (EntryPoint const& entry : kEntryPoints) {
      // The installer's folders are att/: it runs on the row that names them.
      if ((entry.names == 0 && !startsWith(given, "att/Tamo/")) || (entry.effect & kStricter))
        continue;
      tamo_test::TempDir dir, work;
      Rng rng(0);
      int tokens = 0;
      ::chmod(dir.path().c_str(), 0755);
      ASSERT_TRUE(make(dir.path(), kAllowed, rng, tokenPrefix(0), tokens));
      std::filesystem::path const file = std::filesystem::canonical(dir.file(given));
      std::optional<Tree> const before = observe(dir.path());
      Operation const op{&entry, Names(entry.names, dir.file(given))};
      Names const protection = protect(values);
      Outcome outcome = run(op, dir.path(), work.path());
      if (outcome.output.count("the sandbox"))
        continue;
      EXPECT_EQ(legitimateRunFault(entry.effect, outcome, *before, *observe(dir.path()),
                                   file.lexically_relative(std::filesystem::canonical(dir.path()))),
                "")
          << describe(op, dir.path()) << " with fs.protected_* " << protection[0] << protection[1]
          << protection[2] << ": exit " << outcome.status << "\n"
          << shown(outcome.output["standard error"]);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, LegitimateLayouts, testing::ValuesIn(kLayouts),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
