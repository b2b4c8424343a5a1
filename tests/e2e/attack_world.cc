#include "attack_world.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
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
#include <sstream>

namespace tamo_attack {

char const kNotTheAttacker[] = "\x01not the attacker";

namespace {

std::vector<std::string> const kAttackerNames = {"a.cfg", "b.cfg", "l", "d", "Tamo", "config"};
// Inside the attacker's own folders: among them the installer's file names.
std::vector<std::string> const kInnerNames = {"tamo.settings.cfg", "zlv-install.properties",
                                              "x.cfg", "l"};
std::vector<std::string> const kSharedNames = {"mine.cfg", "ml", "md"};

bool startsWith(std::string const& text, std::string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool has(std::vector<std::string> const& items, std::string const& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
  return text;
}

bool writeAll(int fd, std::string const& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t const n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string readAll(int fd) {
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

bool becomeAttacker() {
  gid_t const groups[] = {kGroup};
  return ::setgroups(1, groups) == 0 && ::setresgid(kAttacker, kAttacker, kAttacker) == 0 &&
         ::setresuid(kAttacker, kAttacker, kAttacker) == 0;
}

// A POSIX access list in the kernel's form: rwx for the owner and for uid
// 1000, r-x for the owning group and the others.
std::string aclNamingTheAttacker() {
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  std::uint32_t const none = 0xffffffffu;
  Entry const entries[] = {
      {0x01, 7, none}, {0x02, 7, kAttacker}, {0x04, 5, none}, {0x10, 7, none}, {0x20, 5, none}};
  std::uint32_t const version = 2;
  std::string bytes(reinterpret_cast<char const*>(&version), sizeof version);
  for (Entry const& entry : entries) {
    bytes.append(reinterpret_cast<char const*>(&entry.tag), 2);
    bytes.append(reinterpret_cast<char const*>(&entry.perm), 2);
    bytes.append(reinterpret_cast<char const*>(&entry.id), 4);
  }
  return bytes;
}

// Makes a file holding text; returns 0 or the errno of the failure.
int makeFile(std::string const& path, mode_t mode, std::string const& text) {
  int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0)
    return errno;
  int const error = writeAll(fd, text) ? 0 : errno;
  ::close(fd);
  return error;
}

}  // namespace

std::string asAttacker(std::function<std::string()> const& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return kNotTheAttacker;
  pid_t const child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    std::string const result = becomeAttacker() ? body() : kNotTheAttacker;
    ::_exit(writeAll(fds[1], result) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string result = child < 0 ? kNotTheAttacker : readAll(fds[0]);
  ::close(fds[0]);
  int status = 0;
  while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? result : kNotTheAttacker;
}

World::World(unsigned seed) : seed(seed) {
  Rng rng(seed);
  protect.symlinks = static_cast<int>(rng.below(2));
  protect.hardlinks = static_cast<int>(rng.below(2));
  protect.regular = static_cast<int>(rng.below(3));
  planVictims(rng);
  planAttacker(rng);
}

std::string World::path(std::string const& relative) const {
  return relative.empty() ? top : top + "/" + relative;
}

std::string World::tokenPrefix() const {
  return "SECRET_" + std::to_string(seed) + "_";
}

void World::rootDirectory(std::string const& path, uid_t owner, gid_t group, mode_t mode) {
  steps.push_back({Step::kDirectory, false, path, "", owner, group, mode, -1});
  paths.push_back(path);
}

void World::rootFile(std::string const& path, uid_t owner, gid_t group, mode_t mode) {
  steps.push_back({Step::kFile, false, path, "", owner, group, mode, ++tokens});
  paths.push_back(path);
}

// A text beginning with "/" is absolute within the tree: the tree's root
// is put before it when the link is made.
void World::rootLink(std::string const& path, std::string const& text) {
  steps.push_back({Step::kLink, false, path, text, 0, 0, 0777, -1});
  paths.push_back(path);
}

void World::planVictims(Rng& rng) {
  rootDirectory("att", kAttacker, kAttacker, rng.chance(80) ? 0755 : 0700);
  rootDirectory("vault", 0, 0, 0700);
  rootFile("vault/secret.cfg", 0, 0, 0600);
  if (rng.chance(60)) {
    rootDirectory("pub", 0, 0, 0755);
    rootFile("pub/key.cfg", 0, 0, 0600);
    if (rng.chance(40))
      rootFile("pub/b.cfg", kBystander, kBystander, 0600);
    if (rng.chance(40))
      rootLink("pub/l.cfg", rng.chance(50) ? "../vault/secret.cfg" : "/vault/secret.cfg");
  }
  if (rng.chance(45)) {
    rootDirectory("tmp", 0, 0, 01777);
    rootFile("tmp/b.cfg", kBystander, kBystander, rng.chance(50) ? 0600 : 0644);
    if (rng.chance(50))
      rootFile("tmp/a.cfg", kAttacker, kAttacker, 0644);
  }
  if (rng.chance(35)) {
    rootDirectory("gst", 0, kGroup, 01770);
    rootFile("gst/b.cfg", kBystander, kGroup, rng.chance(50) ? 0600 : 0660);
    if (rng.chance(50))
      rootFile("gst/a.cfg", kAttacker, kGroup, 0660);
  }
  if (rng.chance(45)) {
    rootDirectory("grp", 0, kGroup, 0775);
    rootFile("grp/r.cfg", 0, 0, 0600);
    if (rng.chance(50))
      rootLink("grp/rl", "/vault/secret.cfg");
  }
  if (rng.chance(35)) {
    rootDirectory("acl", 0, 0, 0755);
    rootFile("acl/r.cfg", 0, 0, 0600);
    // Made after the file, which so keeps no list of its own.
    steps.push_back(
        {Step::kDefaultAcl, false, "acl", rng.chance(50) ? "and access" : "", 0, 0, 0, -1});
  }
  if (rng.chance(25)) {
    rootDirectory("bys", kBystander, kBystander, 0700);
    rootFile("bys/b.cfg", kBystander, kBystander, 0600);
  }
  // Root's own objects in the attacker's folder, as if moved in or left there.
  if (rng.chance(35)) {
    unsigned const which = rng.below(3);
    if (which == 0)
      rootFile("att/left.cfg", 0, 0, 0600);
    if (which == 1)
      rootLink("att/rl.cfg", "/vault/secret.cfg");
    if (which == 2) {
      rootDirectory("att/kept", 0, 0, 0755);
      rootFile("att/kept/k.cfg", 0, 0, 0600);
    }
  }
}

std::string World::freeName(Rng& rng, std::string const& folder) const {
  std::vector<std::string> const& pool = folder == "att"              ? kAttackerNames
                                         : startsWith(folder, "att/") ? kInnerNames
                                                                      : kSharedNames;
  unsigned const first = rng.below(pool.size());
  for (std::size_t i = 0; i < pool.size(); ++i) {
    std::string const candidate = folder + "/" + pool[(first + i) % pool.size()];
    if (!has(paths, candidate))
      return candidate;
  }
  return "";
}

std::string World::linkText(Rng& rng, std::string const& from, std::string const& target) const {
  if (rng.chance(40))
    return "/" + target;
  if (startsWith(target, from + "/") && rng.chance(60))
    return target.substr(from.size() + 1);
  std::string up;
  for (std::size_t depth = std::count(from.begin(), from.end(), '/') + 1; depth > 0; --depth)
    up += "../";
  return target.empty() ? up : up + target;
}

void World::planAttacker(Rng& rng) {
  std::vector<std::string> folders = {"att"};
  std::vector<std::string> shared;
  for (char const* folder : {"tmp", "gst", "grp", "acl"})
    if (has(paths, folder))
      shared.push_back(folder);
  std::vector<std::string> victims;  // what lies outside att/, for hard links and moves
  for (std::string const& path : paths)
    if (!startsWith(path, "att") && path.find('/') != std::string::npos)
      victims.push_back(path);
  for (unsigned count = 2 + rng.below(5); count > 0; --count) {
    unsigned const kind = rng.below(100);
    bool const outside = kind >= 88 && !shared.empty();
    std::string const folder = rng.pick(outside ? shared : folders);
    std::string const at = freeName(rng, folder);
    if (at.empty())
      continue;
    Step step{Step::kLink, true, at, "", kAttacker, kAttacker, 0777, -1};
    if (kind < 40 || (outside && kind < 92)) {
      std::vector<std::string> targets = paths;
      // The link itself among them: a loop must end, not hang.
      targets.insert(targets.end(), {"", "vault", "vault/none.cfg", "att/none.cfg", at});
      step.other = linkText(rng, folder, rng.pick(targets));
    } else if (kind < 52 || (outside && kind >= 96)) {
      step.kind = Step::kDirectory;
      step.mode = rng.chance(70) ? 0755 : 01777;
      folders.push_back(at);
    } else if (kind < 66 || outside) {
      step.kind = Step::kFile;
      step.mode = rng.chance(50) ? 0644 : 0600;
      step.token = ++tokens;
    } else if (kind < 76) {
      step.kind = Step::kHardLink;
      step.other = rng.pick(victims);
    } else if (kind < 84) {
      step.kind = Step::kRename;
      step.other = rng.pick(victims);
    } else {
      step.kind = Step::kFifo;
      step.mode = 0666;
    }
    steps.push_back(step);
    paths.push_back(at);
  }
}

namespace {

std::string fileText(std::string const& path, std::string const& token) {
  return "# " + path + "\npassword=" + token + "\n";
}

std::string fullText(std::string const& root, std::string const& text) {
  return !text.empty() && text[0] == '/' ? root + text : text;
}

// Root's steps: each must succeed.
bool makeAsRoot(Step const& step, std::string const& root, std::string const& token) {
  std::string const path = root + "/" + step.path;
  switch (step.kind) {
    case Step::kDirectory:
      return ::mkdir(path.c_str(), 0700) == 0 &&
             ::chown(path.c_str(), step.owner, step.group) == 0 &&
             ::chmod(path.c_str(), step.mode) == 0;
    case Step::kFile:
      return makeFile(path, 0600, fileText(step.path, token)) == 0 &&
             ::chown(path.c_str(), step.owner, step.group) == 0 &&
             ::chmod(path.c_str(), step.mode) == 0;
    case Step::kLink:
      return ::symlink(fullText(root, step.other).c_str(), path.c_str()) == 0;
    case Step::kDefaultAcl: {
      std::string const acl = aclNamingTheAttacker();
      return ::setxattr(path.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) == 0 &&
             (step.other.empty() ||
              ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0);
    }
    default:
      return false;
  }
}

// The attacker's try: 0 or the errno the kernel answered.
int tryAsAttacker(Step const& step, std::string const& root, std::string const& token) {
  std::string const path = root + "/" + step.path;
  std::string const other = root + "/" + step.other;
  int done = -1;
  switch (step.kind) {
    case Step::kDirectory:
      done = ::mkdir(path.c_str(), step.mode) == 0 ? ::chmod(path.c_str(), step.mode) : -1;
      break;
    case Step::kFile:
      return makeFile(path, step.mode, fileText(step.path, token));
    case Step::kLink:
      done = ::symlink(fullText(root, step.other).c_str(), path.c_str());
      break;
    case Step::kHardLink:
      done = ::link(other.c_str(), path.c_str());
      break;
    case Step::kRename:
      done = ::renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
      break;
    case Step::kFifo:
      done = ::mkfifo(path.c_str(), step.mode);
      break;
    default:
      return EINVAL;
  }
  return done == 0 ? 0 : errno;
}

}  // namespace

bool World::build(std::string const& root) {
  top = root;
  for (Step const& step : steps) {
    std::string const token = step.token < 0 ? "" : tokenPrefix() + std::to_string(step.token);
    if (!step.byAttacker && !makeAsRoot(step, top, token))
      return false;
  }
  std::string const result = asAttacker([&] {
    ::umask(0);
    std::string codes;
    for (Step const& step : steps) {
      std::string const token = step.token < 0 ? "" : tokenPrefix() + std::to_string(step.token);
      if (step.byAttacker)
        codes += std::to_string(tryAsAttacker(step, top, token)) + " ";
    }
    return codes;
  });
  if (result == kNotTheAttacker)
    return false;
  std::istringstream codes(result);
  answers.clear();
  for (int code = 0; codes >> code;)
    answers.push_back(code);
  return true;
}

namespace {

std::string describeStep(Step const& step) {
  switch (step.kind) {
    case Step::kDirectory:
      return "folder " + step.path + " mode " + octal(step.mode);
    case Step::kFile:
      return "file " + step.path + " mode " + octal(step.mode);
    case Step::kLink:
      return "link " + step.path + " -> " + (step.other[0] == '/' ? "$T" : "") + step.other;
    case Step::kHardLink:
      return "hard link " + step.path + " to " + step.other;
    case Step::kRename:
      return "move " + step.other + " to " + step.path;
    case Step::kFifo:
      return "FIFO " + step.path;
    default:
      return "default access list on " + step.path;
  }
}

}  // namespace

std::string World::describeSteps() const {
  std::string text;
  std::size_t answer = 0;
  for (Step const& step : steps) {
    if (!step.byAttacker)
      continue;
    int const error = answer < answers.size() ? answers[answer] : -1;
    ++answer;
    text += "  " + describeStep(step) +
            (error == 0 ? ": done\n" : ": refused (" + std::string(std::strerror(error)) + ")\n");
  }
  return text;
}

namespace {

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

}  // namespace

// As root sees the tree: the generator's view, not the oracle's.
void World::addNamesUnder(std::string const& folder, std::vector<std::string>& out) const {
  std::vector<std::string> const entries = entriesOf(path(folder));
  for (std::string const& entry : entries) {
    std::string const name = folder + "/" + entry;
    out.push_back(name);
    struct stat own {
    }, led{};
    if (::lstat(path(name).c_str(), &own) != 0)
      continue;
    if (S_ISDIR(own.st_mode)) {
      addNamesUnder(name, out);
      out.push_back(name + "/../" + entries.front());
      continue;
    }
    if (!S_ISLNK(own.st_mode) || ::stat(path(name).c_str(), &led) != 0 || !S_ISDIR(led.st_mode))
      continue;
    std::vector<std::string> const inside = entriesOf(path(name));
    for (std::size_t i = 0; i < inside.size() && i < 3; ++i)
      out.push_back(name + "/" + inside[i]);
    out.push_back(name + "/new.cfg");
    // ".." after a link is the parent of where it led: name one of its entries
    // when that parent still lies in the tree.
    char resolved[PATH_MAX];
    if (::realpath(path(name).c_str(), resolved) == nullptr)
      continue;
    std::string const ledTo = resolved;
    std::string const parent = ledTo.substr(0, ledTo.rfind('/'));
    if (parent == top || startsWith(parent, top + "/")) {
      std::vector<std::string> const around = entriesOf(parent);
      if (!around.empty())
        out.push_back(name + "/../" + around.front());
    }
  }
}

// Besides, ".." written in the name itself climbs out of the attacker's
// folder as a link's text would.
std::vector<std::string> World::names() const {
  std::vector<std::string> out = {"att/new.cfg", "att/../vault/secret.cfg"};
  addNamesUnder("att", out);
  return out;
}

std::vector<std::string> World::stickyFolders() const {
  std::vector<std::string> folders;
  for (char const* folder : {"tmp", "gst"})
    if (has(paths, folder))
      folders.push_back(folder);
  return folders;
}

std::vector<std::string> World::namesIn(std::string const& folder) const {
  std::vector<std::string> out = {folder + "/new.cfg"};
  for (std::string const& entry : entriesOf(path(folder)))
    out.push_back(folder + "/" + entry);
  return out;
}

}  // namespace tamo_attack
