#include "target_directory.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <utility>

#include "../platform/platform.h"
#include "file_report.h"
#include "status.h"

namespace settings_impl {
namespace {

using Clock = std::chrono::steady_clock;

// As the kernel's own limit on links met in one resolution.
constexpr int kMostLinks = 40;
// A lease holder is given time to let go: short pauses first, since a
// well-behaved holder answers the kernel's break at once.
constexpr std::chrono::microseconds kFirstPause{200};
constexpr std::chrono::microseconds kLongestPause{10000};

bool isSameObject(struct stat const& a, struct stat const& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// fs.protected_regular=2: a sticky directory that others than its owner may
// write, world or group.
bool isStickySharedDirectory(struct stat const& directory) {
  return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & (S_IWOTH | S_IWGRP)) != 0;
}

struct Directory {
  IoHandle handle{-1};
  struct stat status {};
};

// A component of what is left to walk, with the component of the caller's
// name it came from: a link's text counts as the component that led to it.
struct Pending {
  std::string text;
  int component;
};

// The components of text, empty and "." ones left out, numbered from
// component on when counting (the caller's name), or all with component
// (a link's text, counted as the component whose link it is).
std::deque<Pending> componentsOf(std::string const& text, int component, bool counting) {
  std::deque<Pending> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string::npos)
      end = text.size();
    if (end > start && text.compare(start, end - start, ".") != 0)
      parts.push_back(Pending{text.substr(start, end - start), counting ? component++ : component});
    start = end + 1;
  }
  return parts;
}

// One walk over the components, each opened through the directory reached
// before it, each judged by the owner of the object it comes from.
class Walk {
 public:
  Walk(std::string const& name, TargetDirectory::Parents parents, TargetDirectory::Purpose purpose,
       WalkOptions const& options, bool wantDirectory = false)
      : caller(platform::effectiveUser(std::nothrow)),
        parents(parents),
        purpose(purpose),
        options(options),
        wantDirectory(wantDirectory),
        pending(componentsOf(name, 1, true)) {
    if (!options.root.empty()) {
      root = openStep(AT_FDCWD, options.root, 0);
      current = openStep(root.handle.get(), ".", 0);
    } else {
      current = openStep(AT_FDCWD, name.front() == '/' ? "/" : ".", 0);
    }
    from = current.status.st_uid;
  }

  // Leaves current at the file's directory and returns the file's name;
  // for a directory wanted, leaves current at it and returns "" (or the
  // name of the last component when that is missing).
  std::string run() {
    while (!pending.empty()) {
      Pending next = std::move(pending.front());
      pending.pop_front();
      component = next.component;
      if (next.text == "..") {
        if (!atRoot())
          enter(openStep(current.handle.get(), "..", component));
        continue;
      }
      if (step(next.text))
        return next.text;
    }
    if (wantDirectory)
      return std::string();
    refuseNotRegular(EISDIR);  // the name ends in a directory
  }

  Directory current;
  bool exists = false;
  struct stat file {};

 private:
  bool trusted(uid_t owner) const { return owner == 0 || owner == caller; }

  bool atRoot() const {
    return root.handle.get() != -1 && isSameObject(current.status, root.status);
  }

  // Where an absolute name or link text starts.
  Directory openRoot() const {
    return root.handle.get() != -1 ? openStep(root.handle.get(), ".", component)
                                   : openStep(AT_FDCWD, "/", component);
  }

  // The one rule: from another user's object, only that user's objects.
  bool mayReach(uid_t owner) const { return trusted(from) || owner == from; }

  // The owner named is the one whose object the refused step came from; a
  // planted file names its own.
  [[noreturn]] void refuse(int reason, int error = 0, int code = SETTINGS_OPEN_FILE_ERROR,
                           long long owner = -1) const {
    settings_file_report_t report = fileReport(reason, error);
    report.component = component;
    report.owner = reason == SETTINGS_PATH_STEERED ? from : owner;
    throw FileError(code, report);
  }

  Directory openStep(int at, std::string const& name, int number) const {
    Directory next;
    next.handle =
        IoHandle(platform::openAt(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW, std::nothrow));
    if (next.handle.get() == -1 ||
        platform::fstat(next.handle.get(), next.status, std::nothrow) != 0) {
      int const error = errno;
      settings_file_report_t report =
          fileReport(error == ENOTDIR ? SETTINGS_PATH_NOT_DIRECTORY : SETTINGS_PATH_SYSTEM, error);
      report.component = number;
      throw FileError(SETTINGS_OPEN_FILE_ERROR, report);
    }
    return next;
  }

  void enter(Directory next) {
    if (!mayReach(next.status.st_uid))
      refuse(SETTINGS_PATH_STEERED);
    current = std::move(next);
    from = current.status.st_uid;
  }

  // True when component is the file's own name.
  bool step(std::string const& name) {
    bool const last = pending.empty();
    struct stat entry {};
    if (platform::statAt(current.handle.get(), name, entry, std::nothrow) != 0) {
      int const error = errno;
      if (error != ENOENT)
        refuse(error == ENOTDIR ? SETTINGS_PATH_NOT_DIRECTORY : SETTINGS_PATH_SYSTEM, error);
      return missing(name, last);
    }
    if (!mayReach(entry.st_uid))
      refuse(SETTINGS_PATH_STEERED);
    if (S_ISLNK(entry.st_mode)) {
      followLink(name, entry);
      return false;
    }
    if (last && !wantDirectory)
      return foundFile(entry);
    if (!S_ISDIR(entry.st_mode)) {
      // Only where directories would have to be made below a file is the
      // name itself at fault, as it was when directories were made by name.
      if (parents == TargetDirectory::Parents::Create && pending.size() >= 2)
        refuse(SETTINGS_PATH_NOT_DIRECTORY, ENOTDIR, SETTINGS_INVALID_FILENAME_ERROR);
      refuse(SETTINGS_PATH_NOT_DIRECTORY, ENOTDIR);
    }
    Directory next = openStep(current.handle.get(), name, component);
    if (!isSameObject(next.status, entry))
      refuse(SETTINGS_PATH_REPLACED);
    enter(std::move(next));
    return false;
  }

  // A directory read as a file has always failed at its first read.
  [[noreturn]] void refuseNotRegular(int error) const {
    bool const read = purpose == TargetDirectory::Purpose::Read && error == EISDIR;
    refuse(SETTINGS_PATH_NOT_REGULAR, error,
           read ? SETTINGS_READ_FILE_ERROR : SETTINGS_OPEN_FILE_ERROR);
  }

  bool foundFile(struct stat const& entry) {
    if (!S_ISREG(entry.st_mode))
      refuseNotRegular(S_ISDIR(entry.st_mode) ? EISDIR : 0);
    if (purpose == TargetDirectory::Purpose::Write && isStickySharedDirectory(current.status) &&
        entry.st_uid != caller && entry.st_uid != current.status.st_uid)
      refuse(SETTINGS_PATH_PLANTED, 0, SETTINGS_OPEN_FILE_ERROR, entry.st_uid);
    exists = true;
    file = entry;
    return true;
  }

  // A name that is not there: the file to be made, or a directory to make.
  // A link to nothing makes nothing: whoever set it chose the name.
  bool missing(std::string const& name, bool last) {
    bool const makeLast = wantDirectory && parents == TargetDirectory::Parents::Create;
    if (last && !makeLast) {
      if (finalFromLink && purpose == TargetDirectory::Purpose::Write)
        refuse(SETTINGS_PATH_DANGLING, ENOENT);
      return true;
    }
    if (parents == TargetDirectory::Parents::MustExist)
      refuse(SETTINGS_PATH_MISSING, ENOENT);
    // The directory made would be the caller's: judged before it is made.
    if (!mayReach(caller))
      refuse(SETTINGS_PATH_STEERED);
    makeDirectory(name);
    Directory next = openStep(current.handle.get(), name, component);
    enter(std::move(next));
    return false;
  }

  // A directory made here is synced into its parent, so that the file later
  // made in it survives a power cut.
  void makeDirectory(std::string const& name) {
    if (platform::makeDirectoryAt(current.handle.get(), name, options.newDirectoryMode,
                                  std::nothrow) != 0) {
      if (errno == EEXIST)
        return;
      refuse(SETTINGS_PATH_SYSTEM, errno, SETTINGS_INVALID_FILENAME_ERROR);
    }
    IoHandle readable(
        platform::openAt(current.handle.get(), ".", O_RDONLY | O_DIRECTORY, std::nothrow));
    if (readable.get() == -1 || platform::fsync(readable.get(), std::nothrow) != 0 ||
        platform::close(readable.release(), std::nothrow) != 0)
      refuse(SETTINGS_PATH_SYSTEM, errno, SETTINGS_INVALID_FILENAME_ERROR);
  }

  void followLink(std::string const& name, struct stat const& link) {
    if (++links > kMostLinks)
      refuse(SETTINGS_PATH_TOO_MANY_LINKS, ELOOP);
    std::string text;
    if (platform::readLinkAt(current.handle.get(), name, text, std::nothrow) != 0)
      refuse(SETTINGS_PATH_SYSTEM, errno);
    if (text.empty())
      refuse(SETTINGS_PATH_DANGLING, ENOENT);
    // From here the link's owner answers for where its text leads.
    from = link.st_uid;
    if (pending.empty())
      finalFromLink = true;
    if (text.front() == '/')
      enter(openRoot());
    std::deque<Pending> const parts = componentsOf(text, component, false);
    pending.insert(pending.begin(), parts.begin(), parts.end());
  }

  uid_t caller;
  TargetDirectory::Parents parents;
  TargetDirectory::Purpose purpose;
  WalkOptions const& options;
  bool wantDirectory;
  Directory root;
  std::deque<Pending> pending;
  uid_t from = 0;  // owner of the object the next step comes from
  int component = 0;
  int links = 0;
  bool finalFromLink = false;
};

[[noreturn]] void refuseFile(int code, int reason, int error = 0) {
  throw FileError(code, fileReport(reason, error));
}

IoHandle openChecked(int directory, std::string const& name, int flags, struct stat const& found) {
  IoHandle file(
      platform::openAt(directory, name, flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, std::nothrow));
  if (file.get() == -1)
    return file;
  struct stat opened {};
  if (platform::fstat(file.get(), opened, std::nothrow) != 0)
    refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
  if (!S_ISREG(opened.st_mode))
    refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_NOT_REGULAR);
  if (!isSameObject(opened, found))
    refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_REPLACED);
  return file;
}

}  // namespace

TargetDirectory TargetDirectory::resolve(std::string const& name, Parents parents, Purpose purpose,
                                         WalkOptions const& options) {
  if (name.empty())
    refuseFile(SETTINGS_INVALID_FILENAME_ERROR, SETTINGS_PATH_NO_REASON);
  Walk walk(name, parents, purpose, options);
  std::string const fileName = walk.run();
  TargetDirectory target;
  target.directoryHandle = IoHandle(
      platform::openAt(walk.current.handle.get(), ".", O_RDONLY | O_DIRECTORY, std::nothrow));
  if (target.directory() == -1 ||
      platform::fstat(target.directory(), target.directoryState, std::nothrow) != 0)
    refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
  if (!isSameObject(target.directoryState, walk.current.status))
    refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_REPLACED);
  target.fileName = fileName;
  target.found = walk.exists;
  target.fileState = walk.file;
  return target;
}

std::optional<IoHandle> openNamedDirectory(std::string const& name,
                                           TargetDirectory::Parents parents,
                                           WalkOptions const& options) {
  if (name.empty())
    refuseFile(SETTINGS_INVALID_FILENAME_ERROR, SETTINGS_PATH_NO_REASON);
  Walk walk(name, parents, TargetDirectory::Purpose::Read, options, true);
  if (!walk.run().empty())
    return std::nullopt;
  IoHandle readable(
      platform::openAt(walk.current.handle.get(), ".", O_RDONLY | O_DIRECTORY, std::nothrow));
  struct stat opened {};
  if (readable.get() == -1 || platform::fstat(readable.get(), opened, std::nothrow) != 0)
    refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
  if (!isSameObject(opened, walk.current.status))
    refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_REPLACED);
  return readable;
}

// Never blocking: the open is non-blocking, so that what replaced the file
// meanwhile (a FIFO, a device) is opened without waiting and then refused,
// and a lease makes it fail with EWOULDBLOCK rather than wait the kernel's
// lease-break time; the kernel has then told the holder, and the open is
// tried again until the deadline.
IoHandle TargetDirectory::open(int flags, Clock::time_point deadline, int busyCode) const {
  if (!found)
    refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_REPLACED, ENOENT);
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    IoHandle file = openChecked(directory(), fileName, flags, fileState);
    if (file.get() != -1)
      return file;
    int const error = errno;
    if (error == EINTR)
      continue;
    if (error != EWOULDBLOCK)
      refuseFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, error);
    Clock::time_point const now = Clock::now();
    if (now >= deadline)
      refuseFile(busyCode, SETTINGS_PATH_BUSY, error);
    auto const left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    platform::pause(std::min(pause, left), std::nothrow);
    pause = std::min(pause * 2, kLongestPause);
  }
}

IoHandle TargetDirectory::openForReading(Clock::time_point deadline) const {
  return open(O_RDONLY, deadline, SETTINGS_LOCKED_ERROR);
}

// Callers without a wait have no status for "busy": to them the file could
// not be opened.
IoHandle TargetDirectory::openForReading() const {
  return open(O_RDONLY, Clock::now(), SETTINGS_OPEN_FILE_ERROR);
}

IoHandle TargetDirectory::openForWriting() const {
  return open(O_RDWR, Clock::now(), SETTINGS_OPEN_FILE_ERROR);
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

std::optional<WholeText> readNamedFile(std::string const& name, std::chrono::milliseconds wait,
                                       std::size_t limit) {
  Clock::time_point const deadline = Clock::now() + wait;
  TargetDirectory const target = TargetDirectory::resolve(name, TargetDirectory::Parents::MustExist,
                                                          TargetDirectory::Purpose::Read);
  if (!target.exists())
    return std::nullopt;
  return readWholeFile(target.openForReading(deadline), limit);
}

}  // namespace settings_impl
