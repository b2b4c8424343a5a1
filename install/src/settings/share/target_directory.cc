#include "target_directory.h"

#include <fcntl.h>

#include <cerrno>
#include <deque>
#include <optional>
#include <utility>

#include "../platform/platform.h"
#include "status.h"

namespace settings_impl {
namespace {

// As the kernel's own limit on links met in one resolution.
constexpr int kMostLinks = 40;

[[noreturn]] bool refuse() {
  throw settings::Exception(SETTINGS_OPEN_FILE_ERROR);
}

bool isSameObject(struct stat const& a, struct stat const& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool isStickyWorldWritable(struct stat const& directory) {
  return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
}

// Whoever may change a link chooses where it leads: following it is safe
// only for a link made by the caller, by root, or by the directory's owner,
// who could have put anything there anyway. In a sticky world-writable
// directory the kernel's fs.protected_symlinks rule holds as well: root's
// own link there is followed only by root or the directory's owner.
bool mayFollow(struct stat const& link, struct stat const& directory, uid_t caller) {
  bool const trusted = link.st_uid == caller || link.st_uid == directory.st_uid;
  if (isStickyWorldWritable(directory))
    return trusted;
  return trusted || link.st_uid == 0;
}

// fs.protected_regular: another user's file planted in a sticky
// world-writable directory is not written by the caller.
bool mayWrite(struct stat const& file, struct stat const& directory, uid_t caller) {
  return !isStickyWorldWritable(directory) || file.st_uid == caller ||
         file.st_uid == directory.st_uid;
}

// A link made by another user must not lead the caller into a directory
// that user could not have written: that would lend the caller's rights.
// Group and access-list rights are not counted, which refuses too much
// rather than too little.
bool userMayWrite(uid_t user, struct stat const& directory) {
  return (directory.st_uid == user && (directory.st_mode & S_IWUSR) != 0) ||
         (directory.st_mode & S_IWOTH) != 0;
}

struct Directory {
  IoHandle handle{-1};
  struct stat status {};
};

Directory openStep(int from, std::string const& name) {
  Directory next;
  next.handle =
      IoHandle(platform::openAt(from, name, O_PATH | O_DIRECTORY | O_NOFOLLOW, std::nothrow));
  if (next.handle.get() == -1 || platform::fstat(next.handle.get(), next.status, std::nothrow) != 0)
    refuse();
  return next;
}

// A directory made here is synced into its parent, so that the file later
// made in it survives a power cut.
void makeDirectory(Directory const& parent, std::string const& name) {
  if (platform::makeDirectoryAt(parent.handle.get(), name, std::nothrow) != 0) {
    if (errno == EEXIST)
      return;
    throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
  }
  IoHandle readable(
      platform::openAt(parent.handle.get(), ".", O_RDONLY | O_DIRECTORY, std::nothrow));
  if (readable.get() == -1 || platform::fsync(readable.get(), std::nothrow) != 0 ||
      platform::close(readable.release(), std::nothrow) != 0)
    throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
}

void splitInto(std::string const& text, std::deque<std::string>& pending) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string::npos)
      end = text.size();
    if (end > start && text.compare(start, end - start, ".") != 0)
      parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  pending.insert(pending.begin(), parts.begin(), parts.end());
}

Directory startOf(std::string const& text) {
  return openStep(AT_FDCWD, text.front() == '/' ? "/" : ".");
}

// One walk over the components, each opened through the directory reached
// before it (systemd's path resolution has this shape).
class Walk {
 public:
  Walk(std::string const& name, TargetDirectory::Parents parents)
      : caller(platform::effectiveUser(std::nothrow)), parents(parents), current(startOf(name)) {
    splitInto(name, pending);
  }

 private:
  uid_t caller;
  TargetDirectory::Parents parents;

 public:
  // Leaves current at the file's directory and returns the file's name.
  std::string run() {
    while (!pending.empty()) {
      std::string component = std::move(pending.front());
      pending.pop_front();
      if (component == "..") {
        current = openStep(current.handle.get(), "..");
        continue;
      }
      if (step(component))
        return component;
    }
    refuse();  // the name ends in a directory
  }

  Directory current;
  bool exists = false;
  struct stat file {};
  std::optional<uid_t> steeredBy;

 private:
  // True when component is the file's own name.
  bool step(std::string const& component) {
    bool const last = pending.empty();
    struct stat entry {};
    if (platform::statAt(current.handle.get(), component, entry, std::nothrow) != 0) {
      if (errno != ENOENT)
        refuse();
      // A dangling link makes nothing: whoever set it chose the name.
      if (last)
        return finalFromLink ? refuse() : true;
      if (parents == TargetDirectory::Parents::MustExist)
        refuse();
      makeDirectory(current, component);
      current = openStep(current.handle.get(), component);
      return false;
    }
    if (S_ISLNK(entry.st_mode)) {
      followLink(component, entry);
      return false;
    }
    if (last) {
      if (!S_ISREG(entry.st_mode) || !mayWrite(entry, current.status, caller))
        refuse();
      exists = true;
      file = entry;
      return true;
    }
    // As the directories were made before: only where one must be made
    // below a file is the name itself at fault.
    if (!S_ISDIR(entry.st_mode) && parents == TargetDirectory::Parents::Create &&
        pending.size() >= 2)
      throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
    Directory next = openStep(current.handle.get(), component);
    if (!isSameObject(next.status, entry))
      refuse();
    current = std::move(next);
    return false;
  }

  void followLink(std::string const& component, struct stat const& link) {
    if (!mayFollow(link, current.status, caller) || ++links > kMostLinks)
      refuse();
    std::string text;
    if (platform::readLinkAt(current.handle.get(), component, text, std::nothrow) != 0 ||
        text.empty())
      refuse();
    if (link.st_uid != caller && link.st_uid != 0)
      steeredBy = link.st_uid;
    if (pending.empty())
      finalFromLink = true;
    if (text.front() == '/')
      current = startOf(text);
    splitInto(text, pending);
  }

  std::deque<std::string> pending;
  int links = 0;
  bool finalFromLink = false;
};

IoHandle openChecked(TargetDirectory const& target, int flags) {
  IoHandle file(platform::openAt(target.directory(), target.name(), flags | O_NOFOLLOW | O_NOCTTY,
                                 std::nothrow));
  struct stat opened {};
  if (file.get() == -1 || platform::fstat(file.get(), opened, std::nothrow) != 0 ||
      !S_ISREG(opened.st_mode) || !isSameObject(opened, target.fileStatus()))
    refuse();
  return file;
}

}  // namespace

TargetDirectory TargetDirectory::resolve(std::string const& name, Parents parents) {
  if (name.empty())
    throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
  Walk walk(name, parents);
  std::string const fileName = walk.run();
  if (walk.steeredBy && !userMayWrite(*walk.steeredBy, walk.current.status))
    refuse();
  TargetDirectory target;
  target.directoryHandle = IoHandle(
      platform::openAt(walk.current.handle.get(), ".", O_RDONLY | O_DIRECTORY, std::nothrow));
  if (target.directory() == -1 ||
      platform::fstat(target.directory(), target.directoryState, std::nothrow) != 0 ||
      !isSameObject(target.directoryState, walk.current.status))
    refuse();
  target.fileName = fileName;
  target.found = walk.exists;
  target.fileState = walk.file;
  return target;
}

// Non-blocking, so that what replaced the file meanwhile (a FIFO, a device)
// is opened without waiting and then refused.
IoHandle TargetDirectory::openForReading() const {
  if (!found)
    refuse();
  return openChecked(*this, O_RDONLY | O_NONBLOCK);
}

// A lease holder makes a non-blocking open fail with EWOULDBLOCK; the open
// then waits for the lease like any writer's, and the object is checked
// after the wait.
IoHandle TargetDirectory::openForWriting() const {
  if (!found)
    refuse();
  IoHandle file(platform::openAt(directory(), fileName, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY,
                                 std::nothrow));
  if (file.get() == -1 && errno == EWOULDBLOCK)
    return openChecked(*this, O_RDWR);
  struct stat opened {};
  if (file.get() == -1 || platform::fstat(file.get(), opened, std::nothrow) != 0 ||
      !S_ISREG(opened.st_mode) || !isSameObject(opened, fileState))
    refuse();
  return file;
}

bool TargetDirectory::stillNamesWhatWasFound() const {
  struct stat now {};
  if (platform::statAt(directory(), fileName, now, std::nothrow) != 0)
    return !found && errno == ENOENT;
  return found && isSameObject(now, fileState);
}

WholeText readWholeFile(TargetDirectory const& target, std::size_t limit) {
  return readWholeFile(target.openForReading(), limit);
}

std::optional<WholeText> readNamedFile(std::string const& name, std::chrono::milliseconds,
                                       std::size_t limit) {
  TargetDirectory const target =
      TargetDirectory::resolve(name, TargetDirectory::Parents::MustExist);
  if (!target.exists())
    return std::nullopt;
  return readWholeFile(target, limit);
}

}  // namespace settings_impl
