#include "attack.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <tuple>

#include "support/child_process.h"

namespace tamo_attack {
namespace {

using std::string;

bool startsWith(string const& text, string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

string parentOf(string const& path) {
  std::size_t const slash = path.rfind('/');
  return slash == string::npos ? "" : path.substr(0, slash);
}

string join(string const& root, string const& relative) {
  return relative.empty() ? root : root + "/" + relative;
}

// A file's bytes; a link is not followed, a FIFO not waited on.
std::optional<string> readNoFollow(string const& path, int fd = -1) {
  if (fd < 0 && (fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)) < 0)
    return std::nullopt;
  string text;
  char buffer[4096];
  for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, text.size())) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

// Sorted, so that a seed draws the same names wherever it runs.
Names entriesOf(string const& folder) {
  Names names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent const* entry = ::readdir(dir))
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// An access list in the kernel's form: rwx for the owner and for uid 1000,
// r-x for the owning group and the others.
bool setAcl(string const& path, string const& which) {
  struct {
    std::uint32_t version = 2;
    struct {
      std::uint16_t tag, perm;
      std::uint32_t id;
    } entries[5] = {{1, 7, ~0u}, {2, 7, kAttacker}, {4, 5, ~0u}, {0x10, 7, ~0u}, {0x20, 5, ~0u}};
  } const acl;
  auto const set = [&](char const* name) {
    return ::setxattr(path.c_str(), name, &acl, sizeof acl, 0) == 0;
  };
  return set("system.posix_acl_default") && (which != "both" || set("system.posix_acl_access"));
}

// Besides make()'s kinds, the attacker's moves: "hardlink" to LAST,
// "rename" of LAST to PATH, "fifo". Returns 0 or the errno of the failure.
int makeItem(string const& root, string const& item, Rng& rng, string const& prefix, int& tokens) {
  std::istringstream in(item);
  string fields[4];
  for (string& field : fields) {
    Names choices;
    in >> field;
    for (std::istringstream parts(field); std::getline(parts, field, '|');)
      choices.push_back(field);
    field = choices.empty() ? "" : rng.pick(choices);
  }
  auto const& [kind, relative, ids, last] = fields;
  string const path = join(root, relative), other = join(root, last);
  char const* const at = path.c_str();
  uid_t const owner = std::stoul(ids);
  gid_t const group = std::stoul(ids.substr(ids.find(':') + 1));
  mode_t const mode =
      kind == "dir" || kind == "file" || kind == "fifo" ? std::stoul(last, 0, 8) : 0;
  int const fd = kind == "file" ? ::open(at, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1;
  bool const done =
      kind == "acl"    ? setAcl(path, last)
      : kind == "link" ? ::symlink((last[0] == '/' ? root + last : last).c_str(), at) == 0 &&
                             ::lchown(at, owner, group) == 0
      : kind == "hardlink" ? ::link(other.c_str(), at) == 0
      : kind == "rename" ? ::renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, at, RENAME_NOREPLACE) == 0
      : kind == "fifo"
          ? ::mkfifo(at, mode) == 0
          : (kind == "dir" ? ::mkdir(at, 0700) == 0
                           : fd >= 0 && ::dprintf(fd, "# %s\npassword=%s%d\n", relative.c_str(),
                                                  prefix.c_str(), ++tokens) > 0) &&
                ::chown(at, owner, group) == 0 && ::chmod(at, mode) == 0;
  int const error = done ? 0 : errno;
  ::close(fd);
  return error;
}

// Root's part of a tree: each row made with its chance, in order.
struct Row {
  unsigned chance;
  char const* spec;
} const kRootsPart[] = {
    {100, "dir att 1000:1000 0755|0755|0755|0700; dir vault 0:0 0700"},
    {100, "file vault/secret.cfg 0:0 0600"},
    {60, "dir pub 0:0 0755; file pub/key.cfg 0:0 0600"},
    {40, "file pub/b.cfg 1001:1001 0600"},
    {40, "link pub/l.cfg 0:0 ../vault/secret.cfg|/vault/secret.cfg"},
    {45, "dir tmp 0:0 1777; file tmp/b.cfg 1001:1001 0600|0644"},
    {50, "file tmp/a.cfg 1000:1000 0644"},
    {35, "dir gst 0:2000 1770; file gst/b.cfg 1001:2000 0600|0660"},
    {50, "file gst/a.cfg 1000:2000 0660"},
    {45, "dir grp 0:2000 0775; file grp/r.cfg 0:0 0600"},
    {50, "link grp/rl 0:0 /vault/secret.cfg"},
    // The list is set once the file is made, which so keeps none of its own.
    {35, "dir acl 0:0 0755; file acl/r.cfg 0:0 0600; acl acl 0:0 default|both"},
    {25, "dir bys 1001:1001 0700; file bys/b.cfg 1001:1001 0600"},
    // Root's own objects in the attacker's folder, as if moved in or left there.
    {12, "file att/left.cfg 0:0 0600"},
    {12, "link att/rl.cfg 0:0 /vault/secret.cfg"},
    {12, "dir att/kept 0:0 0755; file att/kept/k.cfg 0:0 0600"},
};

// Below att/, the installer's folder and file names among them.
string freeName(Rng& rng, string const& folder, Names const& paths) {
  static Names const kTop = {"a.cfg", "b.cfg", "l", "d", "Tamo", "config"},
                     kInner = {"tamo.settings.cfg", "zlv-install.properties", "x.cfg", "l"};
  Names const& pool = startsWith(folder, "att/") ? kInner : kTop;
  unsigned const first = rng.below(pool.size());
  for (std::size_t i = 0; i < pool.size(); ++i) {
    string const name = folder + "/" + pool[(first + i) % pool.size()];
    if (std::find(paths.begin(), paths.end(), name) == paths.end())
      return name;
  }
  return "";
}

string linkText(Rng& rng, string const& from, string const& target) {
  if (rng.chance(40))
    return "/" + target;
  if (startsWith(target, from + "/") && rng.chance(60))
    return target.substr(from.size() + 1);
  string up;
  for (auto depth = std::count(from.begin(), from.end(), '/') + 1; depth > 0; --depth)
    up += "../";
  return up + target;
}

// Mostly in the attacker's own folders; now and then in a shared folder.
// Links may lead to themselves: a loop must end, not hang.
Names planMoves(Rng& rng, Names paths) {
  Names folders = {"att"}, shared, victims, moves;
  for (string const& path : paths) {
    if (path == "tmp" || path == "gst" || path == "grp" || path == "acl")
      shared.push_back(path);
    if (!startsWith(path, "att") && path.find('/') != string::npos)
      victims.push_back(path);
  }
  for (unsigned count = 2 + rng.below(5); count > 0; --count) {
    unsigned const kind = rng.below(100);
    bool const outside = kind >= 88 && !shared.empty();
    string const folder = rng.pick(outside ? shared : folders);
    string const at = freeName(rng, folder, paths), mine = " " + at + " 1000:1000 ";
    Names targets = paths;
    targets.insert(targets.end(), {"", "vault", "vault/none.cfg", "att/none.cfg", at});
    if (at.empty())
      continue;
    if (kind < 40 || (outside && kind < 92)) {
      moves.push_back("link" + mine + linkText(rng, folder, rng.pick(targets)));
    } else if (kind < 52 || (outside && kind >= 96)) {
      moves.push_back("dir" + mine + (rng.chance(70) ? "0755" : "1777"));
      folders.push_back(at);
    } else if (kind < 66 || outside) {
      moves.push_back("file" + mine + (rng.chance(50) ? "0644" : "0600"));
    } else {
      moves.push_back((kind < 76   ? "hardlink"
                       : kind < 84 ? "rename"
                                   : "fifo") +
                      mine + (kind < 84 ? rng.pick(victims) : "0666"));
    }
    paths.push_back(at);
  }
  return moves;
}

void addNode(string const& root, string const& relative, std::map<string, Node>& tree) {
  string const path = join(root, relative);
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &info) != 0)
    return;
  mode_t const format = info.stx_mode & S_IFMT;
  char const type = format == S_IFDIR   ? 'd'
                    : format == S_IFREG ? 'f'
                    : format == S_IFLNK ? 'l'
                    : format == S_IFIFO ? 'p'
                                        : '?';
  long long const born = info.stx_btime.tv_sec * 1000000000LL + info.stx_btime.tv_nsec;
  char text[4096], acl[2][1024];
  ssize_t const sizes[] = {
      ::readlink(path.c_str(), text, sizeof text),
      ::lgetxattr(path.c_str(), "system.posix_acl_access", acl[0], sizeof acl[0]),
      ::lgetxattr(path.c_str(), "system.posix_acl_default", acl[1], sizeof acl[1])};
  auto const bytes = [&](char const* from, ssize_t size) {
    return string(from, std::max<ssize_t>(size, 0));
  };
  tree[relative] = {type,
                    info.stx_ino,
                    info.stx_mask & STATX_BTIME ? born : 0,
                    info.stx_uid,
                    info.stx_gid,
                    info.stx_mode & 07777u,
                    type == 'f' ? readNoFollow(path).value_or("") : bytes(text, sizes[0]),
                    bytes(acl[0], sizes[1]) + "|" + bytes(acl[1], sizes[2])};
  for (string const& entry : type == 'd' ? entriesOf(path) : Names{})
    addNode(root, relative.empty() ? entry : relative + "/" + entry, tree);
}

std::set<string> tokensIn(string const& text, string const& prefix) {
  std::set<string> tokens;
  for (auto at = text.find(prefix); at != string::npos; at = text.find(prefix, at + 1))
    tokens.insert(text.substr(at, text.find_first_not_of("0123456789", at + prefix.size()) - at));
  return tokens;
}

}  // namespace

std::optional<string> asAttacker(std::function<string()> const& body) {
  int const fd = ::memfd_create("attacker", MFD_CLOEXEC);
  auto const become = [] {
    gid_t const groups[] = {2000};
    return ::setgroups(1, groups) || ::setresgid(kAttacker, kAttacker, kAttacker) ||
           ::setresuid(kAttacker, kAttacker, kAttacker);
  };
  auto const run = [&] {
    string const answer = body();
    return ::write(fd, answer.data(), answer.size()) != ssize_t(answer.size());
  };
  if (fd >= 0 && tamo_test::runInChild(become, run, 1, 1) == 0)
    return readNoFollow("", fd);
  ::close(fd);
  return std::nullopt;
}

bool make(string const& root, string const& spec, Rng& rng, string const& prefix, int& tokens) {
  std::istringstream items(spec);
  for (string item, kind, path; std::getline(items, item, ';');)
    if (std::istringstream(item) >> kind >> path &&
        ::access(join(root, parentOf(path)).c_str(), F_OK) == 0 &&
        makeItem(root, item, rng, prefix, tokens) != 0)
      return false;
  return true;
}

string tokenPrefix(unsigned seed) {
  return "SECRET_" + std::to_string(seed) + "_";
}

std::optional<string> buildTree(unsigned seed, string const& root) {
  Rng rng(seed);
  int tokens = 0;
  for (Row const& row : kRootsPart)
    if (rng.chance(row.chance) && !make(root, row.spec, rng, tokenPrefix(seed), tokens))
      return std::nullopt;
  std::map<string, Node> tree;
  addNode(root, "", tree);
  Names paths;
  for (auto const& [path, node] : tree)
    paths.push_back(path);
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

// As root sees the tree: the generator's view, not the oracle's. Besides,
// ".." written in the name itself climbs out of the folder as a link would.
Names namesIn(string const& root, string const& folder) {
  Names out = {folder + "/new.cfg", folder + "/../vault/secret.cfg"};
  Names const entries = entriesOf(join(root, folder));
  for (string const& entry : entries) {
    string const name = folder + "/" + entry, path = join(root, name);
    out.push_back(name);
    struct stat own {
    }, led{};
    if (::lstat(path.c_str(), &own) == 0 && S_ISDIR(own.st_mode)) {
      Names const inner = namesIn(root, name);
      out.insert(out.end(), inner.begin() + 2, inner.end());
      out.push_back(name + "/../" + entries.front());
    }
    if (!S_ISLNK(own.st_mode) || ::stat(path.c_str(), &led) != 0 || !S_ISDIR(led.st_mode))
      continue;
    Names const inside = entriesOf(path);
    for (std::size_t i = 0; i < inside.size() && i < 3; ++i)
      out.push_back(name + "/" + inside[i]);
    out.push_back(name + "/new.cfg");
    // ".." after a link is the parent of where it led: one of its entries,
    // when that parent still lies in the tree.
    char resolved[PATH_MAX];
    string const parent = ::realpath(path.c_str(), resolved) ? parentOf(resolved) : "";
    Names const around = startsWith(parent + "/", root + "/") ? entriesOf(parent) : Names{};
    if (!around.empty())
      out.push_back(name + "/../" + around.front());
  }
  return out;
}

// The child answers two flags a name, in the tree's order: 'r' for reading
// a file, 'w' for writing a file or adding to a folder.
std::optional<View> observe(string const& root) {
  View view;
  addNode(root, "", view.tree);
  std::optional<string> const flags = asAttacker([&] {
    string answer;
    for (auto const& [relative, node] : view.tree) {
      string const path = join(root, relative);
      bool const file = node.type == 'f', writable = file || node.type == 'd';
      answer += file && readNoFollow(path) ? 'r' : '-';
      answer += writable && ::access(path.c_str(), file ? W_OK : W_OK | X_OK) == 0 ? 'w' : '-';
    }
    return answer;
  });
  if (!flags || flags->size() != 2 * view.tree.size())
    return std::nullopt;
  auto flag = flags->begin();
  for (auto const& [relative, node] : view.tree) {
    // Its owner may always give itself the right to read.
    if (*flag++ == 'r' || (node.type == 'f' && node.owner == kAttacker))
      view.readable.insert(relative);
    if (*flag++ == 'w')
      view.writable.insert(relative);
  }
  return view;
}

Names judge(bool fromAttackersFolder, View const& before, View const& after,
            std::map<string, string> const& output, string const& prefix) {
  Names breaches, gone;  // gone: names the attacker could point elsewhere, and that moved
  auto const breach = [&](string const& text) {
    if (std::find(breaches.begin(), breaches.end(), text) == breaches.end())
      breaches.push_back(text);  // a file of several names is reported once
  };
  auto const underGone = [&](string const& path) {
    return std::any_of(gone.begin(), gone.end(),
                       [&](auto& name) { return startsWith(path, name + "/"); });
  };
  auto const tokensOf = [&](Node const& node) {
    return tokensIn(node.type == 'f' ? node.data : "", prefix);
  };
  for (auto const& [path, was] : before.tree) {
    Node const& folder = before.tree.at(parentOf(path));
    auto const found = after.tree.find(path);
    Node const* const node = found == after.tree.end() ? nullptr : &found->second;
    bool const kept = node && node->sameObject(was);
    // Another user's file in a sticky folder others may write is not
    // written, unless it is the folder owner's.
    if ((folder.mode & S_ISVTX) && (folder.mode & 022) && was.type == 'f' && was.owner != 0 &&
        was.owner != folder.owner && (!kept || node->data != was.data))
      breach(path + ", uid " + std::to_string(was.owner) +
             "'s file in a sticky folder others may write, was written");
    if (!fromAttackersFolder || path.empty() || kept || underGone(path))
      continue;
    // A name the attacker could not remove or replace names its object still.
    if (before.writable.count(parentOf(path)) &&
        (!(folder.mode & S_ISVTX) || folder.owner == kAttacker || was.owner == kAttacker))
      gone.push_back(path);
    else
      breach(path + (node ? " now names another object" : " was removed") +
             ", which the attacker could not have done");
  }
  if (!fromAttackersFolder)
    return breaches;
  // New names only where the attacker may add them; no folder made in
  // another user's folder.
  for (auto const& [path, node] : after.tree) {
    string folder = parentOf(path);
    while (!before.tree.count(folder))
      folder = parentOf(folder);
    uid_t const parent = after.tree.at(parentOf(path)).owner;
    if (before.tree.count(path) || underGone(path))
      continue;
    if (!before.writable.count(folder))
      breach(path + " appeared in $T/" + folder + ", where the attacker cannot add names");
    if (node.type == 'd' && parent != 0 && parent != node.owner)
      breach("folder " + path + " of uid " + std::to_string(node.owner) +
             " was made in a folder of uid " + std::to_string(parent));
  }
  // An object not the attacker's keeps its owner, mode and access list, and
  // its bytes unless the attacker could write it by some name.
  for (auto const& [path, was] : before.tree) {
    auto const same = [&](auto const& entry) {
      return entry.second.sameObject(was) && entry.second.type == was.type;
    };
    auto const found = std::find_if(after.tree.begin(), after.tree.end(), same);
    if (was.owner == kAttacker || found == after.tree.end())
      continue;
    Node const& node = found->second;
    if (std::tie(node.owner, node.group, node.mode, node.acl) !=
        std::tie(was.owner, was.group, was.mode, was.acl))
      breach(path + ": owner, group, mode or access list changed");
    bool writable = false;
    for (auto const& entry : before.tree)
      writable |= same(entry) && before.writable.count(entry.first);
    if (was.type == 'f' && node.data != was.data && !writable)
      breach(path + ": contents changed, and the attacker could not write it");
  }
  // No token the attacker could not read is readable by it, copied or shown.
  std::set<string> hidden, seen;
  for (auto const& [path, node] : before.tree)
    for (string const& token : tokensOf(node))
      (before.readable.count(path) ? seen : hidden).insert(token);
  for (string const& token : seen)
    hidden.erase(token);
  for (auto const& [path, node] : after.tree) {
    auto const old = before.tree.find(path);
    bool const kept = old != before.tree.end() && old->second.sameObject(node);
    for (string const& token : tokensOf(node)) {
      if (hidden.count(token) && after.readable.count(path))
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

string describe(View const& view, string const& root) {
  std::ostringstream out;
  for (auto const& [path, node] : view.tree) {
    string data = node.data;
    for (auto at = data.find(root); !root.empty() && at != string::npos; at = data.find(root))
      data.replace(at, root.size(), "$T");
    for (auto at = data.find('\n'); at != string::npos; at = data.find('\n'))
      data.replace(at, 1, "\\n");
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", node.mode);
    char const* const words[] = {"other", "FIFO", "folder", "file", "link"};
    out << "  " << (path.empty() ? "$T" : path) << "  " << words[string("?pdfl").find(node.type)]
        << " " << node.owner << ":" << node.group << " " << (node.type == 'l' ? "-> " + data : mode)
        << (node.acl != "|" ? " +acl" : "") << (node.type == 'f' ? " \"" + data + "\"" : "")
        << "\n";
  }
  return out.str();
}

}  // namespace tamo_attack
