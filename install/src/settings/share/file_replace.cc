#include "file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <utility>

#include "../platform/platform.h"
#include "file_ops.h"
#include "status.h"

namespace settings_impl {
namespace {

constexpr mode_t kNewFileMode = 0644;
// Until it carries the old file's owner and mode, nobody else may read it.
constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kPermissionBits = 07777;
constexpr int kStagingAttempts = 100;
constexpr char kSuffixAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kSuffixLength = 6;

[[noreturn]] void fail(int code) {
  throw settings::Exception(code);
}

bool isContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Cuts text to at most limit bytes without splitting a UTF-8 sequence, so
// that the hidden name stays text like the name it is made from.
std::string truncateUtf8(std::string const& text, std::size_t limit) {
  if (text.size() <= limit)
    return text;
  std::size_t end = limit;
  while (end > 0 && isContinuationByte(text[end]))
    --end;
  return text.substr(0, end);
}

std::string joinPath(std::string const& directory, std::string const& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

// The file that is replaced: its absolute name, whose last component is no
// link, and, when it exists, a descriptor open for reading and writing.
struct Target {
  std::string path;
  IoHandle existing{-1};
  struct stat status {};

  bool exists() const { return existing.get() != -1; }
  std::string directory() const {
    std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
  }
  std::string baseName() const { return path.substr(path.rfind('/') + 1); }
};

std::string followLink(Filename const& link) {
  std::string resolved;
  if (!platform::realpath(link, resolved, std::nothrow))
    fail(SETTINGS_OPEN_FILE_ERROR);
  return resolved;
}

bool isSameFile(struct stat const& a, struct stat const& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opening for reading and writing is the gate: a file the caller could not
// rewrite in place is not replaced either. Anything but a regular file is
// refused before it is opened, since opening a device may act on it.
void openExisting(Target& target) {
  Filename name(target.path);
  struct stat named {};
  if (platform::stat(name, named, std::nothrow) != 0 || !S_ISREG(named.st_mode))
    fail(SETTINGS_OPEN_FILE_ERROR);
  target.existing = IoHandle(platform::open(name, O_RDWR | O_NOFOLLOW, std::nothrow));
  if (!target.exists())
    fail(SETTINGS_OPEN_FILE_ERROR);
  if (platform::fstat(target.existing.get(), target.status, std::nothrow) != 0 ||
      !isSameFile(named, target.status))
    fail(SETTINGS_OPEN_FILE_ERROR);
}

Target locateTarget(Filename const& file) {
  Target target;
  struct stat entry {};
  if (platform::lstat(file, entry, std::nothrow) != 0) {
    if (errno != ENOENT)
      fail(SETTINGS_OPEN_FILE_ERROR);
    target.path = file.getPath();
    return target;
  }
  target.path = S_ISLNK(entry.st_mode) ? followLink(file) : file.getPath();
  openExisting(target);
  return target;
}

bool writeAll(int fd, std::string const& text) {
  char const* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t written = platform::write(fd, data, left, std::nothrow);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// Closes the descriptor whatever happens and reports whether the close
// succeeded; a failed close may be the first sign of a lost write.
bool closeChecked(IoHandle& handle) {
  return platform::close(handle.release(), std::nothrow) == 0;
}

class SuffixSource {
 public:
  SuffixSource() : engine(seed()) {}

  std::string next() {
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kSuffixAlphabet - 2);
    std::string suffix;
    for (std::size_t i = 0; i < kSuffixLength; ++i)
      suffix += kSuffixAlphabet[pick(engine)];
    return suffix;
  }

 private:
  // Unpredictable names are a courtesy, not a safeguard: the exclusive
  // creation is what keeps another process's file from being used.
  static std::mt19937::result_type seed() {
    try {
      return std::random_device()();
    } catch (std::exception const&) {
      return static_cast<std::mt19937::result_type>(
          std::chrono::steady_clock::now().time_since_epoch().count());
    }
  }

  std::mt19937 engine;
};

// The new contents, written beside the file under a hidden name, and
// removed again unless it has been renamed over the file.
class StagingFile {
 public:
  StagingFile(Filename name, int fd) : name(std::move(name)), descriptor(fd) {}
  StagingFile(StagingFile const&) = delete;
  StagingFile& operator=(StagingFile const&) = delete;
  ~StagingFile() {
    if (linked)
      platform::unlink(name, std::nothrow);
  }

  int fd() const { return descriptor.get(); }
  bool close() { return closeChecked(descriptor); }
  // Returns 0 or the errno of the failed rename.
  int renameOver(Filename const& file) {
    if (platform::rename(name, file, std::nothrow) != 0)
      return errno;
    linked = false;
    return 0;
  }

 private:
  Filename name;
  IoHandle descriptor;
  bool linked = true;
};

bool directoryRefusesNewFiles(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// Null when the directory refuses new files but the existing file can still
// be rewritten in place.
std::unique_ptr<StagingFile> createStagingFile(Target const& target) {
  std::string prefix = "." + truncateUtf8(target.baseName(), NAME_MAX - 2 - kSuffixLength) + ".";
  mode_t mode = target.exists() ? kPrivateMode : kNewFileMode;
  SuffixSource suffixes;
  for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
    Filename name(joinPath(target.directory(), prefix + suffixes.next()));
    int fd = platform::openExclusive(name, mode, std::nothrow);
    if (fd != -1)
      return std::make_unique<StagingFile>(std::move(name), fd);
    if (errno == EEXIST)
      continue;
    if (target.exists() && directoryRefusesNewFiles(errno))
      return nullptr;
    break;
  }
  fail(SETTINGS_OPEN_FILE_ERROR);
}

// Owner and group first: changing them may clear the set-user-ID and
// set-group-ID bits, which the mode then restores.
bool copyOwnership(int fd, struct stat const& original) {
  return platform::fchown(fd, original.st_uid, original.st_gid, std::nothrow) == 0;
}

void copyMode(int fd, struct stat const& original) {
  if (platform::fchmod(fd, original.st_mode & kPermissionBits, std::nothrow) != 0)
    fail(SETTINGS_WRITE_FILE_ERROR);
}

void writeStaged(StagingFile& staging, std::string const& text) {
  if (!writeAll(staging.fd(), text) || platform::fsync(staging.fd(), std::nothrow) != 0 ||
      !staging.close())
    fail(SETTINGS_WRITE_FILE_ERROR);
}

// Without this the rename itself may be lost in a crash, leaving the old
// contents in place after the caller was told the export succeeded.
void syncDirectory(std::string const& path) {
  IoHandle directory(platform::openDirectory(Filename(path), std::nothrow));
  if (directory.get() == -1 || platform::fsync(directory.get(), std::nothrow) != 0 ||
      !closeChecked(directory))
    fail(SETTINGS_WRITE_FILE_ERROR);
}

// A mount point cannot be renamed over: EBUSY when something is mounted on
// the file, EXDEV when the name crosses into another mount.
bool renameCannotReach(int error) {
  return error == EBUSY || error == EXDEV;
}

// Returns false where a rename cannot keep what callers had, so that the file
// must be rewritten in place instead.
bool replaceByRename(Target const& target, std::string const& text) {
  std::unique_ptr<StagingFile> staging = createStagingFile(target);
  if (!staging)
    return false;
  if (target.exists()) {
    if (!copyOwnership(staging->fd(), target.status))
      return false;
    copyMode(staging->fd(), target.status);
  }
  writeStaged(*staging, text);
  int error = staging->renameOver(Filename(target.path));
  if (error != 0) {
    if (target.exists() && renameCannotReach(error))
      return false;
    fail(SETTINGS_WRITE_FILE_ERROR);
  }
  syncDirectory(target.directory());
  return true;
}

// The descriptor is fresh, so the text goes to the start of the file.
void rewriteInPlace(Target& target, std::string const& text) {
  int fd = target.existing.get();
  if (!writeAll(fd, text) ||
      platform::ftruncate(fd, static_cast<off_t>(text.size()), std::nothrow) != 0 ||
      platform::fsync(fd, std::nothrow) != 0 || !closeChecked(target.existing))
    fail(SETTINGS_WRITE_FILE_ERROR);
}

}  // namespace

void replaceFileContents(Filename const& file, std::string const& text) {
  Target target = locateTarget(file);
  if (!replaceByRename(target, text))
    rewriteInPlace(target, text);
}

}  // namespace settings_impl
