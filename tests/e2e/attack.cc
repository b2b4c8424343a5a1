#include "attack.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <tuple>

#include "support/child_process.h"

namespace tamo_attack {
namespace {

bool startsWith(std::string const& text, std::string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string parentOf(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string join(std::string const& root, std::string const& relative) {
  return relative.empty() ? root : root + "/" + relative;
}

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno != EINTR)
      break;
    text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  }
  return text;
}

// A file's bytes without following a link or waiting on a FIFO; nullopt
// when it cannot be opened.
std::optional<std::string> readNoFollow(std::string const& path) {
  int const fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return std::nullopt;
  std::string text = readAll(fd);
  ::close(fd);
  return text;
}

// Makes a file holding text; returns 0 or the errno of the failure.
int makeFile(std::string const& path, mode_t mode, std::string const& text) {
  int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0)
    return errno;
  int const error = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) ? 0 : EIO;
  ::close(fd);
  return error;
}

std::string fileText(std::string const& path, std::string const& prefix, int& tokens) {
  return "# " + path + "\npassword=" + prefix + std::to_string(++tokens) + "\n";
}

std::vector<std::string> entriesOf(std::string const& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent const* entry = ::readdir(dir))
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A POSIX access list in the kernel's form: rwx for the owner and for uid
// 1000, r-x for the owning group and the others.
std::string aclNamingTheAttacker() {
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  std::uint32_t const none = 0xffffffffu, version = 2;
  Entry const entries[] = {
      {0x01, 7, none}, {0x02, 7, kAttacker}, {0x04, 5, none}, {0x10, 7, none}, {0x20, 5, none}};
  std::string bytes(reinterpret_cast<char const*>(&version), sizeof version);
  for (Entry const& entry : entries)
    bytes.append(reinterpret_cast<char const*>(&entry), sizeof entry);
  return bytes;
}

bool setAcl(std::string const& path, std::string const& which) {
  std::string const acl = aclNamingTheAttacker();
  auto const set = [&](char const* name) {
    return ::setxattr(path.c_str(), name, acl.data(), acl.size(), 0) == 0;
  };
  return set("system.posix_acl_default") && (which != "both" || set("system.posix_acl_access"));
}

// One field of a spec item, a choice drawn when it offers several.
std::string field(std::istringstream& in, Rng& rng) {
  std::string text;
  in >> text;
  std::vector<std::string> choices;
  std::istringstream parts(text);
  for (std::string part; std::getline(parts, part, '|');)
    choices.push_back(part);
  return choices.empty() ? "" : rng.pick(choices);
}

bool makeItem(std::string const& root, std::string const& item, Rng& rng, std::string const& prefix,
              int& tokens) {
  std::istringstream in(item);
  char kind = 0;
  in >> kind;
  std::string const relative = field(in, rng), ids = field(in, rng), last = field(in, rng);
  std::string const path = join(root, relative);
  uid_t const owner = std::stoul(ids);
  gid_t const group = std::stoul(ids.substr(ids.find(':') + 1));
  mode_t const mode = kind == 'd' || kind == 'f' ? std::stoul(last, nullptr, 8) : 0;
  struct stat parent {};
  if (::lstat(join(root, parentOf(relative)).c_str(), &parent) != 0)
    return true;
  if (kind == 'a')
    return setAcl(path, last);
  if (kind == 'l')
    return ::symlink((last[0] == '/' ? root + last : last).c_str(), path.c_str()) == 0 &&
           ::lchown(path.c_str(), owner, group) == 0;
  bool const made = kind == 'd' ? ::mkdir(path.c_str(), 0700) == 0
                                : makeFile(path, 0600, fileText(relative, prefix, tokens)) == 0;
  return made && ::chown(path.c_str(), owner, group) == 0 && ::chmod(path.c_str(), mode) == 0;
}

}  // namespace

std::optional<std::string> asAttacker(std::function<std::string()> const& body) {
  int const fd = ::memfd_create("attacker", MFD_CLOEXEC);
  auto const become = [] {
    gid_t const groups[] = {kGroup};
    bool const done = ::setgroups(1, groups) == 0 &&
                      ::setresgid(kAttacker, kAttacker, kAttacker) == 0 &&
                      ::setresuid(kAttacker, kAttacker, kAttacker) == 0;
    return done ? 0 : 1;
  };
  auto const run = [&] {
    std::string const answer = body();
    return ::write(fd, answer.data(), answer.size()) == ssize_t(answer.size()) ? 0 : 1;
  };
  std::optional<std::string> answer;
  if (fd >= 0 && tamo_test::runInChild(become, run, 1, 1) == 0 && ::lseek(fd, 0, SEEK_SET) == 0)
    answer = readAll(fd);
  ::close(fd);
  return answer;
}

bool make(std::string const& root, std::string const& spec, Rng& rng, std::string const& prefix,
          int& tokens) {
  std::istringstream items(spec);
  for (std::string item; std::getline(items, item, ';');)
    if (!makeItem(root, item, rng, prefix, tokens))
      return false;
  return true;
}

std::string tokenPrefix(unsigned seed) {
  return "SECRET_" + std::to_string(seed) + "_";
}

namespace {

// Root's part of a tree: each row made with its chance, in order.
struct Row {
  unsigned chance;
  char const* spec;
};
std::vector<Row> const kRootsPart = {
    {100, "d att 1000:1000 0755|0755|0755|0700; d vault 0:0 0700; f vault/secret.cfg 0:0 0600"},
    {60, "d pub 0:0 0755; f pub/key.cfg 0:0 0600"},
    {40, "f pub/b.cfg 1001:1001 0600"},
    {40, "l pub/l.cfg 0:0 ../vault/secret.cfg|/vault/secret.cfg"},
    {45, "d tmp 0:0 1777; f tmp/b.cfg 1001:1001 0600|0644"},
    {50, "f tmp/a.cfg 1000:1000 0644"},
    {35, "d gst 0:2000 1770; f gst/b.cfg 1001:2000 0600|0660"},
    {50, "f gst/a.cfg 1000:2000 0660"},
    {45, "d grp 0:2000 0775; f grp/r.cfg 0:0 0600"},
    {50, "l grp/rl 0:0 /vault/secret.cfg"},
    // The list is set after the file is made, which so keeps none of its own.
    {35, "d acl 0:0 0755; f acl/r.cfg 0:0 0600; a acl 0:0 default|both"},
    {25, "d bys 1001:1001 0700; f bys/b.cfg 1001:1001 0600"},
    // Root's own objects in the attacker's folder, as if moved in or left there.
    {12, "f att/left.cfg 0:0 0600"},
    {12, "l att/rl.cfg 0:0 /vault/secret.cfg"},
    {12, "d att/kept 0:0 0755; f att/kept/k.cfg 0:0 0600"},
};

// One move the attacker tries: 'l' link, 'd' folder, 'f' file, 'h' hard
// link, 'm' move (rename) of another's object, 'p' FIFO.
struct Move {
  char kind;
  std::string path, other;  // other: a link's text, or what is linked or moved
  mode_t mode;
};

std::string freeName(Rng& rng, std::string const& folder, std::vector<std::string> const& paths) {
  // Inside the attacker's own folders, the installer's file names among them.
  static std::vector<std::string> const kTop = {"a.cfg", "b.cfg", "l", "d", "Tamo", "config"},
                                        kInner = {"tamo.settings.cfg", "zlv-install.properties",
                                                  "x.cfg", "l"},
                                        kShared = {"mine.cfg", "ml", "md"};
  auto const& pool = folder == "att" ? kTop : startsWith(folder, "att/") ? kInner : kShared;
  unsigned const first = rng.below(pool.size());
  for (std::size_t i = 0; i < pool.size(); ++i) {
    std::string const name = folder + "/" + pool[(first + i) % pool.size()];
    if (std::find(paths.begin(), paths.end(), name) == paths.end())
      return name;
  }
  return "";
}

std::string linkText(Rng& rng, std::string const& from, std::string const& target) {
  if (rng.chance(40))
    return "/" + target;
  if (startsWith(target, from + "/") && rng.chance(60))
    return target.substr(from.size() + 1);
  std::string up;
  for (auto depth = std::count(from.begin(), from.end(), '/') + 1; depth > 0; --depth)
    up += "../";
  return up + target;
}

// Mostly in the attacker's own folders; now and then in a shared folder.
std::vector<Move> planMoves(Rng& rng, std::vector<std::string> paths) {
  std::vector<std::string> folders = {"att"}, shared, victims;
  for (char const* folder : {"tmp", "gst", "grp", "acl"})
    if (std::count(paths.begin(), paths.end(), folder))
      shared.push_back(folder);
  for (std::string const& path : paths)
    if (!startsWith(path, "att") && path.find('/') != std::string::npos)
      victims.push_back(path);
  std::vector<Move> moves;
  for (unsigned count = 2 + rng.below(5); count > 0; --count) {
    unsigned const kind = rng.below(100);
    bool const outside = kind >= 88 && !shared.empty();
    std::string const folder = rng.pick(outside ? shared : folders);
    std::string const at = freeName(rng, folder, paths);
    if (at.empty())
      continue;
    Move move{'p', at, "", 0666};
    if (kind < 40 || (outside && kind < 92)) {
      std::vector<std::string> targets = paths;
      // The link itself among them: a loop must end, not hang.
      targets.insert(targets.end(), {"", "vault", "vault/none.cfg", "att/none.cfg", at});
      move = {'l', at, linkText(rng, folder, rng.pick(targets)), 0777};
    } else if (kind < 52 || (outside && kind >= 96)) {
      move = {'d', at, "", mode_t(rng.chance(70) ? 0755 : 01777)};
      folders.push_back(at);
    } else if (kind < 66 || outside) {
      move = {'f', at, "", mode_t(rng.chance(50) ? 0644 : 0600)};
    } else if (kind < 84) {
      move = {kind < 76 ? 'h' : 'm', at, rng.pick(victims), 0};
    }
    moves.push_back(move);
    paths.push_back(at);
  }
  return moves;
}

// The call that makes a move other than a file; 0 when done.
int call(Move const& move, std::string const& root) {
  std::string const path = root + "/" + move.path, other = root + "/" + move.other;
  char const* const at = path.c_str();
  switch (move.kind) {
    case 'l':
      return ::symlink((move.other[0] == '/' ? root + move.other : move.other).c_str(), at);
    case 'd':
      return ::mkdir(at, move.mode) != 0 ? -1 : ::chmod(at, move.mode);
    case 'h':
      return ::link(other.c_str(), at);
    case 'm':
      return ::renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, at, RENAME_NOREPLACE);
    default:
      return ::mkfifo(at, move.mode);
  }
}

// The attacker's try: 0 or the errno the kernel answered.
int tryMove(Move const& move, std::string const& root, std::string const& prefix, int& tokens) {
  if (move.kind == 'f')
    return makeFile(root + "/" + move.path, move.mode, fileText(move.path, prefix, tokens));
  return call(move, root) == 0 ? 0 : errno;
}

std::string describe(Move const& move) {
  char mode[8];
  std::snprintf(mode, sizeof mode, " %04o", unsigned(move.mode));
  switch (move.kind) {
    case 'l':
      return "link " + move.path + " -> " + (move.other[0] == '/' ? "$T" : "") + move.other;
    case 'h':
      return "hard link " + move.path + " to " + move.other;
    case 'm':
      return "move " + move.other + " to " + move.path;
    default:
      return (move.kind == 'd'   ? "folder "
              : move.kind == 'f' ? "file "
                                 : "FIFO ") +
             move.path + mode;
  }
}

std::map<std::string, Node> snapshotOf(std::string const& root);

}  // namespace

std::optional<std::string> buildTree(unsigned seed, std::string const& root) {
  Rng rng(seed);
  int tokens = 0;
  for (Row const& row : kRootsPart)
    if (rng.chance(row.chance) && !make(root, row.spec, rng, tokenPrefix(seed), tokens))
      return std::nullopt;
  std::vector<std::string> paths;
  for (auto const& [path, node] : snapshotOf(root))
    paths.push_back(path);
  std::vector<Move> const moves = planMoves(rng, paths);
  std::optional<std::string> const answers = asAttacker([&] {
    ::umask(0);
    std::string text;
    for (Move const& move : moves) {
      int const error = tryMove(move, root, tokenPrefix(seed), tokens);
      text += "  " + describe(move) +
              (error ? ": refused (" + std::string(std::strerror(error)) + ")\n" : ": done\n");
    }
    return text;
  });
  return answers;
}

namespace {

// As root sees the tree: the generator's view, not the oracle's.
void addNamesUnder(std::string const& root, std::string const& folder,
                   std::vector<std::string>& out) {
  std::vector<std::string> const entries = entriesOf(join(root, folder));
  for (std::string const& entry : entries) {
    std::string const name = folder + "/" + entry, path = join(root, name);
    out.push_back(name);
    struct stat own {
    }, led{};
    if (::lstat(path.c_str(), &own) == 0 && S_ISDIR(own.st_mode)) {
      addNamesUnder(root, name, out);
      out.push_back(name + "/../" + entries.front());
    }
    if (!S_ISLNK(own.st_mode) || ::stat(path.c_str(), &led) != 0 || !S_ISDIR(led.st_mode))
      continue;
    std::vector<std::string> const inside = entriesOf(path);
    for (std::size_t i = 0; i < inside.size() && i < 3; ++i)
      out.push_back(name + "/" + inside[i]);
    out.push_back(name + "/new.cfg");
    // ".." after a link is the parent of where it led: name one of its
    // entries when that parent still lies in the tree.
    char resolved[PATH_MAX];
    std::string const parent = ::realpath(path.c_str(), resolved) ? parentOf(resolved) : "";
    std::vector<std::string> const around =
        startsWith(parent + "/", root + "/") ? entriesOf(parent) : std::vector<std::string>{};
    if (!around.empty())
      out.push_back(name + "/../" + around.front());
  }
}

}  // namespace

// Besides, ".." written in the name itself climbs out of the folder as a
// link's text would.
std::vector<std::string> namesIn(std::string const& root, std::string const& folder) {
  std::vector<std::string> out = {folder + "/new.cfg", folder + "/../vault/secret.cfg"};
  addNamesUnder(root, folder, out);
  return out;
}

// ---- The oracle ---------------------------------------------------------------

namespace {

std::string attribute(std::string const& path, char const* name) {
  char value[1024];
  ssize_t const size = ::lgetxattr(path.c_str(), name, value, sizeof value);
  return size <= 0 ? "" : std::string(value, static_cast<std::size_t>(size));
}

void addNode(std::string const& root, std::string const& relative,
             std::map<std::string, Node>& tree) {
  std::string const path = join(root, relative);
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &info) != 0)
    return;
  mode_t const mode = info.stx_mode;
  char const type = S_ISDIR(mode)    ? 'd'
                    : S_ISREG(mode)  ? 'f'
                    : S_ISLNK(mode)  ? 'l'
                    : S_ISFIFO(mode) ? 'p'
                                     : '?';
  Node& node =
      tree[relative] = {type, info.stx_ino, 0, info.stx_uid, info.stx_gid, mode & 07777u, "", ""};
  if (info.stx_mask & STATX_BTIME)
    node.born = info.stx_btime.tv_sec * 1000000000LL + info.stx_btime.tv_nsec;
  node.acl = attribute(path, "system.posix_acl_access") + "|" +
             attribute(path, "system.posix_acl_default");
  char text[4096];
  if (type == 'f')
    node.data = readNoFollow(path).value_or("");
  if (type == 'l')
    node.data.assign(text, std::max<ssize_t>(::readlink(path.c_str(), text, sizeof text), 0));
  if (type != 'd')
    return;
  for (std::string const& entry : entriesOf(path)) {
    node.data += entry + "\n";
    addNode(root, relative.empty() ? entry : relative + "/" + entry, tree);
  }
}

std::map<std::string, Node> snapshotOf(std::string const& root) {
  std::map<std::string, Node> tree;
  addNode(root, "", tree);
  return tree;
}

}  // namespace

// The child answers two flags a name, in the tree's order: 'r' for reading
// a file, 'w' for writing a file or adding to a folder.
std::optional<View> observe(std::string const& root) {
  View view{snapshotOf(root), {}, {}};
  std::optional<std::string> const flags = asAttacker([&] {
    std::string answer;
    for (auto const& [relative, node] : view.tree) {
      std::string const path = join(root, relative);
      bool const file = node.type == 'f';
      answer += file && readNoFollow(path) ? 'r' : '-';
      answer += (file || node.type == 'd') && ::access(path.c_str(), file ? W_OK : W_OK | X_OK) == 0
                    ? 'w'
                    : '-';
    }
    return answer;
  });
  if (!flags || flags->size() != 2 * view.tree.size())
    return std::nullopt;
  std::size_t at = 0;
  for (auto const& [relative, node] : view.tree) {
    // Its owner may always give itself the right to read.
    if ((*flags)[at] == 'r' || (node.type == 'f' && node.owner == kAttacker))
      view.readable.insert(relative);
    if ((*flags)[at + 1] == 'w')
      view.writable.insert(relative);
    at += 2;
  }
  return view;
}

bool sameTree(View const& a, View const& b) {
  auto const fields = [](Node const& n) {
    return std::tie(n.type, n.inode, n.born, n.owner, n.group, n.mode, n.data, n.acl);
  };
  return std::equal(a.tree.begin(), a.tree.end(), b.tree.begin(), b.tree.end(),
                    [&](auto const& x, auto const& y) {
                      return x.first == y.first && fields(x.second) == fields(y.second);
                    });
}

namespace {

std::set<std::string> tokensIn(std::string const& text, std::string const& prefix) {
  std::set<std::string> tokens;
  for (auto at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
    tokens.insert(text.substr(at, text.find_first_not_of("0123456789", at + prefix.size()) - at));
  return tokens;
}

class Verdict {
 public:
  Verdict(View const& before, View const& after, std::string const& prefix)
      : before(before), after(after), prefix(prefix) {}
  void checkStickyFolders();
  void checkNames();
  void checkNewNames();
  void checkObjects();
  void checkSecrets(std::map<std::string, std::string> const& output);
  std::vector<std::string> breaches;

 private:
  bool replaceable(std::string const& path) const;
  bool underGone(std::string const& path) const;
  Node const& was(std::string const& path) const { return before.tree.at(path); }
  void breach(std::string const& text) {
    if (std::find(breaches.begin(), breaches.end(), text) == breaches.end())
      breaches.push_back(text);  // a file of several names is reported once
  }

  View const& before;
  View const& after;
  std::string const& prefix;
  std::vector<std::string> gone;  // names the attacker could have pointed elsewhere, and that moved
};

// Another user's file in a sticky folder others may write is never written,
// unless it is the folder owner's.
void Verdict::checkStickyFolders() {
  for (auto const& [path, node] : before.tree) {
    if (path.empty() || node.type != 'f')
      continue;
    Node const& folder = was(parentOf(path));
    bool const shared = (folder.mode & S_ISVTX) && (folder.mode & 0022);
    auto const now = after.tree.find(path);
    if (shared && node.owner != 0 && node.owner != folder.owner &&
        (now == after.tree.end() || !now->second.sameObject(node) || now->second.data != node.data))
      breach(path + ", uid " + std::to_string(node.owner) +
             "'s file in a sticky folder others may write, was written");
  }
}

// Whether the attacker could have removed or replaced the name itself.
bool Verdict::replaceable(std::string const& path) const {
  std::string const parent = parentOf(path);
  if (path.empty() || before.writable.count(parent) == 0)
    return false;
  return !(was(parent).mode & S_ISVTX) || was(parent).owner == kAttacker ||
         was(path).owner == kAttacker;
}

bool Verdict::underGone(std::string const& path) const {
  return std::any_of(gone.begin(), gone.end(),
                     [&](std::string const& name) { return startsWith(path, name + "/"); });
}

void Verdict::checkNames() {
  for (auto const& [path, node] : before.tree) {
    auto const now = after.tree.find(path);
    if (underGone(path) || (now != after.tree.end() && now->second.sameObject(node)))
      continue;
    if (replaceable(path))
      gone.push_back(path);
    else
      breach((path.empty() ? "$T" : path) +
             (now == after.tree.end() ? " was removed" : " now names another object") +
             ", which the attacker could not have done");
  }
}

void Verdict::checkNewNames() {
  for (auto const& [path, node] : after.tree) {
    if (before.tree.count(path) || underGone(path))
      continue;
    std::string folder = parentOf(path);
    while (before.tree.count(folder) == 0)
      folder = parentOf(folder);
    if (before.writable.count(folder) == 0)
      breach(path + " appeared in " + (folder.empty() ? "$T" : folder) +
             ", where the attacker cannot add names");
    uid_t const parent = after.tree.at(parentOf(path)).owner;
    if (node.type == 'd' && parent != 0 && parent != node.owner)
      breach("folder " + path + " of uid " + std::to_string(node.owner) +
             " was made in a folder of uid " + std::to_string(parent) +
             ", where no step may enter it");
  }
}

void Verdict::checkObjects() {
  for (auto const& [path, old] : before.tree) {
    auto const same = [&](auto const& entry) {
      return entry.second.sameObject(old) && entry.second.type == old.type;
    };
    auto const now = std::find_if(after.tree.begin(), after.tree.end(), same);
    if (old.owner == kAttacker || now == after.tree.end())
      continue;
    Node const& node = now->second;
    if (std::tie(node.owner, node.group, node.mode, node.acl) !=
        std::tie(old.owner, old.group, old.mode, old.acl))
      breach(path + ": owner, group, mode or access list changed");
    bool const writable = std::any_of(before.tree.begin(), before.tree.end(), [&](auto const& e) {
      return same(e) && before.writable.count(e.first);
    });
    if (old.type == 'f' && node.data != old.data && !writable)
      breach(path + ": contents changed, and the attacker could not write it");
  }
}

void Verdict::checkSecrets(std::map<std::string, std::string> const& output) {
  std::set<std::string> hidden, seen;
  for (auto const& [path, node] : before.tree)
    for (std::string const& token : tokensIn(node.type == 'f' ? node.data : "", prefix))
      (before.readable.count(path) ? seen : hidden).insert(token);
  for (std::string const& token : seen)
    hidden.erase(token);
  for (auto const& [path, node] : after.tree) {
    auto const old = before.tree.find(path);
    bool const kept = old != before.tree.end() && old->second.sameObject(node);
    for (std::string const& token : tokensIn(node.type == 'f' ? node.data : "", prefix)) {
      if (hidden.count(token) && after.readable.count(path))
        breach(token + " is now readable by the attacker at " + path);
      if (hidden.count(token) && (!kept || old->second.data.find(token) == std::string::npos))
        breach(token + " was copied into " + path);
    }
  }
  for (auto const& [where, text] : output)
    for (std::string const& token : tokensIn(text, prefix))
      if (hidden.count(token))
        breach(token + ", which the attacker could not read, appears in " + where);
}

}  // namespace

std::vector<std::string> judge(bool fromAttackersFolder, View const& before, View const& after,
                               std::map<std::string, std::string> const& output,
                               std::string const& prefix) {
  Verdict verdict(before, after, prefix);
  verdict.checkStickyFolders();
  if (fromAttackersFolder) {
    verdict.checkNames();
    verdict.checkNewNames();
    verdict.checkObjects();
    verdict.checkSecrets(output);
  }
  return verdict.breaches;
}

std::string describe(View const& view, std::string const& root) {
  auto const shown = [&](std::string text) {
    for (auto at = text.find(root); !root.empty() && at != std::string::npos; at = text.find(root))
      text.replace(at, root.size(), "$T");
    for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n'))
      text.replace(at, 1, "\\n");
    return text;
  };
  std::ostringstream out;
  for (auto const& [path, node] : view.tree) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", node.mode);
    std::string const word = node.type == 'd'   ? "folder"
                             : node.type == 'f' ? "file"
                             : node.type == 'l' ? "link"
                             : node.type == 'p' ? "FIFO"
                                                : "other";
    out << "  " << (path.empty() ? "$T" : path) << "  " << word << " " << node.owner << ":"
        << node.group << " " << (node.type == 'l' ? "-> " + shown(node.data) : mode)
        << (node.acl != "|" ? " +acl" : "")
        << (node.type == 'f' ? " \"" + shown(node.data) + "\"" : "") << "\n";
  }
  return out.str();
}

}  // namespace tamo_attack
