#include "attack_oracle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <tuple>

#include "attack_world.h"

namespace tamo_attack {

bool Node::operator==(Node const& other) const {
  return std::tie(type, inode, born, owner, group, mode, data, acl) ==
         std::tie(other.type, other.inode, other.born, other.owner, other.group, other.mode,
                  other.data, other.acl);
}

namespace {

std::string parentOf(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string join(std::string const& root, std::string const& relative) {
  return relative.empty() ? root : root + "/" + relative;
}

std::string readFd(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t const n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// A file's bytes without following a link or waiting on a FIFO; "" when it
// cannot be opened.
std::string readFile(std::string const& path) {
  int const fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return "";
  std::string text = readFd(fd);
  ::close(fd);
  return text;
}

std::string attribute(std::string const& path, char const* name) {
  char value[1024];
  ssize_t const size = ::lgetxattr(path.c_str(), name, value, sizeof value);
  return size <= 0 ? "" : std::string(value, static_cast<std::size_t>(size));
}

std::vector<std::string> entriesOf(std::string const& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr)
    return names;
  while (dirent const* entry = ::readdir(dir)) {
    std::string const name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

char typeOf(mode_t mode) {
  return S_ISDIR(mode)    ? 'd'
         : S_ISREG(mode)  ? 'f'
         : S_ISLNK(mode)  ? 'l'
         : S_ISFIFO(mode) ? 'p'
                          : '?';
}

void addNode(std::string const& root, std::string const& relative, Snapshot& tree) {
  std::string const path = join(root, relative);
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &info) != 0)
    return;
  Node node{typeOf(info.stx_mode), info.stx_ino,           0,  info.stx_uid,
            info.stx_gid,          info.stx_mode & 07777u, "", ""};
  if (info.stx_mask & STATX_BTIME)
    node.born = info.stx_btime.tv_sec * 1000000000LL + info.stx_btime.tv_nsec;
  node.acl = attribute(path, "system.posix_acl_access") + "|" +
             attribute(path, "system.posix_acl_default");
  if (node.type == 'f')
    node.data = readFile(path);
  if (node.type == 'l') {
    char text[4096];
    ssize_t const size = ::readlink(path.c_str(), text, sizeof text);
    node.data.assign(text, size < 0 ? 0 : static_cast<std::size_t>(size));
  }
  std::vector<std::string> const entries =
      node.type == 'd' ? entriesOf(path) : std::vector<std::string>{};
  for (std::string const& entry : entries)
    node.data += entry + "\n";
  tree[relative] = node;
  for (std::string const& entry : entries)
    addNode(root, relative.empty() ? entry : relative + "/" + entry, tree);
}

}  // namespace

Snapshot snapshotOf(std::string const& root) {
  Snapshot tree;
  addNode(root, "", tree);
  return tree;
}

// The child answers one record per name, in the snapshot's order: a flag
// for reading, one for writing, the length of what it read, and its bytes.
AttackerView attackerView(std::string const& root, Snapshot const& tree) {
  std::string const answer = asAttacker([&] {
    std::string records;
    for (auto const& [relative, node] : tree) {
      std::string const path = join(root, relative);
      bool const isFile = node.type == 'f';
      int const want = isFile ? W_OK : W_OK | X_OK;
      bool const writable = (isFile || node.type == 'd') && ::access(path.c_str(), want) == 0;
      int const fd =
          isFile ? ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
      std::string const bytes = fd < 0 ? "" : readFd(fd);
      if (fd >= 0)
        ::close(fd);
      records += std::string(fd >= 0 ? "r" : "-") + (writable ? "w" : "-") +
                 std::to_string(bytes.size()) + "\n" + bytes;
    }
    return records;
  });
  AttackerView view;
  view.asked = answer != kNotTheAttacker;
  std::size_t at = 0;
  for (auto const& [relative, node] : tree) {
    std::size_t const end = answer.find('\n', at);
    if (answer.size() < at + 3 || end == std::string::npos)
      break;
    std::size_t const size = std::stoul(answer.substr(at + 2, end - at - 2));
    if (answer[at + 1] == 'w')
      view.writable.insert(relative);
    // Its owner may always give itself the right to read.
    if (answer[at] == 'r' || (node.type == 'f' && node.owner == kAttacker))
      view.readable[relative] = answer[at] == 'r' ? answer.substr(end + 1, size) : node.data;
    at = end + 1 + size;
  }
  return view;
}

namespace {

std::set<std::string> tokensIn(std::string const& text, std::string const& prefix) {
  std::set<std::string> tokens;
  for (std::size_t at = text.find(prefix); at != std::string::npos;
       at = text.find(prefix, at + 1)) {
    std::size_t end = at + prefix.size();
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
      ++end;
    tokens.insert(text.substr(at, end - at));
  }
  return tokens;
}

class Verdict {
 public:
  Verdict(Snapshot const& before, AttackerView const& could, Snapshot const& after)
      : before(before), could(could), after(after) {}

  void checkNames();
  void checkNewNames();
  void checkObjects();
  void checkSecrets(AttackerView const& can, RunOutput const& output, std::string const& prefix);
  void checkStickyFolders();
  std::vector<std::string> breaches;

 private:
  bool replaceable(std::string const& path) const;
  bool writableByAnyName(Node const& object) const;
  bool underGone(std::string const& path) const;
  std::set<std::string> secrets(std::string const& prefix) const;

  Snapshot const& before;
  AttackerView const& could;
  Snapshot const& after;
  std::vector<std::string> gone;  // names the attacker could have pointed elsewhere, and that moved
};

// Whether the attacker could have removed or replaced the name itself.
bool Verdict::replaceable(std::string const& path) const {
  std::string const parent = parentOf(path);
  if (path.empty() || could.writable.count(parent) == 0)
    return false;
  Node const& folder = before.at(parent);
  return (folder.mode & S_ISVTX) == 0 || folder.owner == kAttacker ||
         before.at(path).owner == kAttacker;
}

bool Verdict::writableByAnyName(Node const& object) const {
  for (auto const& [path, node] : before)
    if (node.sameObject(object) && could.writable.count(path) != 0)
      return true;
  return false;
}

bool Verdict::underGone(std::string const& path) const {
  for (std::string const& name : gone)
    if (path.compare(0, name.size() + 1, name + "/") == 0)
      return true;
  return false;
}

void Verdict::checkNames() {
  for (auto const& [path, was] : before) {
    if (underGone(path))
      continue;
    auto const now = after.find(path);
    if (now != after.end() && now->second.sameObject(was))
      continue;
    if (replaceable(path)) {
      gone.push_back(path);
      continue;
    }
    breaches.push_back((path.empty() ? "$T" : path) +
                       (now == after.end() ? " was removed" : " now names another object") +
                       ", which the attacker could not have done");
  }
}

void Verdict::checkNewNames() {
  for (auto const& [path, node] : after) {
    if (before.count(path) != 0 || underGone(path))
      continue;
    std::string folder = parentOf(path);
    while (before.count(folder) == 0)
      folder = parentOf(folder);
    if (could.writable.count(folder) == 0)
      breaches.push_back(path + " appeared in " + (folder.empty() ? "$T" : folder) +
                         ", where the attacker cannot add names");
    Node const& parent = after.at(parentOf(path));
    if (node.type == 'd' && parent.owner != 0 && parent.owner != node.owner)
      breaches.push_back("folder " + path + " of uid " + std::to_string(node.owner) +
                         " was made in a folder of uid " + std::to_string(parent.owner) +
                         ", where no step may enter it");
  }
}

void Verdict::checkObjects() {
  for (auto const& [path, was] : before) {
    if (was.owner == kAttacker)
      continue;
    for (auto const& [newPath, now] : after) {
      if (!now.sameObject(was) || now.type != was.type)
        continue;
      if (std::tie(now.owner, now.group, now.mode, now.acl) !=
          std::tie(was.owner, was.group, was.mode, was.acl))
        breaches.push_back(path + ": owner, group, mode or access list changed");
      if (was.type == 'f' && now.data != was.data && !writableByAnyName(was))
        breaches.push_back(path + ": contents changed, and the attacker could not write it");
      break;
    }
  }
}

std::set<std::string> Verdict::secrets(std::string const& prefix) const {
  std::set<std::string> all;
  std::set<std::string> seen;
  for (auto const& [path, node] : before)
    if (node.type == 'f')
      for (std::string const& token : tokensIn(node.data, prefix))
        all.insert(token);
  for (auto const& [path, text] : could.readable)
    for (std::string const& token : tokensIn(text, prefix))
      seen.insert(token);
  std::set<std::string> hidden;
  std::set_difference(all.begin(), all.end(), seen.begin(), seen.end(),
                      std::inserter(hidden, hidden.end()));
  return hidden;
}

void Verdict::checkSecrets(AttackerView const& can, RunOutput const& output,
                           std::string const& prefix) {
  std::set<std::string> const hidden = secrets(prefix);
  for (auto const& [path, text] : can.readable)
    for (std::string const& token : tokensIn(text, prefix))
      if (hidden.count(token) != 0)
        breaches.push_back(token + " is now readable by the attacker at " + path);
  for (auto const& [path, now] : after) {
    if (now.type != 'f')
      continue;
    auto const was = before.find(path);
    bool const kept = was != before.end() && was->second.sameObject(now);
    for (std::string const& token : tokensIn(now.data, prefix))
      if (hidden.count(token) != 0 && (!kept || was->second.data.find(token) == std::string::npos))
        breaches.push_back(token + " was copied into " + path);
  }
  for (auto const& [where, text] : output.texts)
    for (std::string const& token : tokensIn(text, prefix))
      if (hidden.count(token) != 0)
        breaches.push_back(token + ", which the attacker could not read, appears in " + where);
}

void Verdict::checkStickyFolders() {
  for (auto const& [path, was] : before) {
    if (path.empty() || was.type != 'f')
      continue;
    Node const& folder = before.at(parentOf(path));
    bool const shared = (folder.mode & S_ISVTX) != 0 && (folder.mode & 0022) != 0;
    if (!shared || was.owner == 0 || was.owner == folder.owner)
      continue;
    auto const now = after.find(path);
    if (now == after.end() || !now->second.sameObject(was) || now->second.data != was.data)
      breaches.push_back(path + ", uid " + std::to_string(was.owner) +
                         "'s file in a sticky folder others may write, was written");
  }
}

}  // namespace

std::vector<std::string> judge(Start start, Snapshot const& before, AttackerView const& could,
                               Snapshot const& after, AttackerView const& can,
                               RunOutput const& output, std::string const& tokenPrefix) {
  Verdict verdict(before, could, after);
  verdict.checkStickyFolders();
  if (start == Start::kAttackersFolder) {
    verdict.checkNames();
    verdict.checkNewNames();
    verdict.checkObjects();
    verdict.checkSecrets(can, output, tokenPrefix);
  }
  // A file of several names is reported once.
  std::vector<std::string> breaches;
  for (std::string const& breach : verdict.breaches)
    if (std::find(breaches.begin(), breaches.end(), breach) == breaches.end())
      breaches.push_back(breach);
  return breaches;
}

namespace {

std::string shown(std::string const& text, std::string const& root) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    if (!root.empty() && text.compare(at, root.size(), root) == 0) {
      out += "$T";
      at += root.size();
    } else {
      out += text[at] == '\n' ? std::string("\\n") : std::string(1, text[at]);
      ++at;
    }
  }
  return out;
}

}  // namespace

std::string describe(Snapshot const& tree, std::string const& root) {
  static char const* const kTypes = "dflp?";
  static char const* const kWords[] = {"folder", "file", "link", "FIFO", "other"};
  std::ostringstream out;
  for (auto const& [path, node] : tree) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", node.mode);
    char const* word = kWords[std::string(kTypes).find(node.type)];
    out << "  " << (path.empty() ? "$T" : path) << "  " << word << " " << node.owner << ":"
        << node.group << " " << (node.type == 'l' ? "" : mode);
    if (node.acl != "|")
      out << " +acl";
    if (node.type == 'l')
      out << "-> " << shown(node.data, root);
    if (node.type == 'f')
      out << " \"" << shown(node.data, root) << "\"";
    out << "\n";
  }
  return out.str();
}

}  // namespace tamo_attack
