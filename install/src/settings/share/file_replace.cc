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

// The new contents before they replace the file: an unnamed file in the
// file's directory, which a crash simply discards, or, where the file system
// has no unnamed files, a hidden one created under its name. Once named, it
// is removed again unless it has been renamed over the file.
class StagingFile {
 public:
  StagingFile(Filename directory, int fd, std::string prefix)
      : directory(std::move(directory)), prefix(std::move(prefix)), descriptor(fd) {}
  StagingFile(Filename name, int fd) : name(std::move(name)), descriptor(fd), named(true) {}
  StagingFile(StagingFile const&) = delete;
  StagingFile& operator=(StagingFile const&) = delete;
  ~StagingFile() {
    if (named)
      platform::unlink(name, std::nothrow);
  }

  int fd() const { return descriptor.get(); }
  bool close() { return closeChecked(descriptor); }
  // Names an unnamed file: the instant between this and the rename is the
  // only one in which a crash leaves a hidden file behind. Returns 0 or the
  // errno of the failed link.
  int giveName() {
    if (named)
      return 0;
    SuffixSource suffixes;
    for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
      Filename candidate(joinPath(directory.getPath(), prefix + suffixes.next()));
      if (platform::linkUnnamed(fd(), candidate, std::nothrow) == 0) {
        name = std::move(candidate);
        named = true;
        return 0;
      }
      if (errno != EEXIST)
        return errno;
    }
    return EEXIST;
  }
  // Removes the named file now; false when it stays behind.
  bool discard() {
    named = false;
    return platform::unlink(name, std::nothrow) == 0;
  }
  // Returns 0 or the errno of the failed rename.
  int renameOver(Filename const& file) {
    if (platform::rename(name, file, std::nothrow) != 0)
      return errno;
    named = false;
    return 0;
  }

 private:
  Filename directory{""};
  std::string prefix;
  Filename name{""};
  IoHandle descriptor;
  bool named = false;
};

bool directoryRefusesNewFiles(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// Errors of an O_TMPFILE open that mean only that the file system (or an
// old kernel) has no unnamed files.
bool unnamedFilesUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

std::string hiddenPrefix(Target const& target) {
  return "." + truncateUtf8(target.baseName(), NAME_MAX - 2 - kSuffixLength) + ".";
}

mode_t stagingMode(Target const& target) {
  return target.exists() ? kPrivateMode : kNewFileMode;
}

std::unique_ptr<StagingFile> createNamedStagingFile(Target const& target) {
  std::string prefix = hiddenPrefix(target);
  SuffixSource suffixes;
  for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
    Filename name(joinPath(target.directory(), prefix + suffixes.next()));
    int fd = platform::openExclusive(name, stagingMode(target), std::nothrow);
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

// Null when the directory refuses new files but the existing file can still
// be rewritten in place.
std::unique_ptr<StagingFile> createStagingFile(Target const& target, bool allowUnnamed) {
  if (!allowUnnamed)
    return createNamedStagingFile(target);
  Filename directory(target.directory());
  int fd = platform::openUnnamed(directory, stagingMode(target), std::nothrow);
  if (fd != -1)
    return std::make_unique<StagingFile>(std::move(directory), fd, hiddenPrefix(target));
  if (unnamedFilesUnsupported(errno))
    return createNamedStagingFile(target);
  if (target.exists() && directoryRefusesNewFiles(errno))
    return nullptr;
  fail(SETTINGS_OPEN_FILE_ERROR);
}

// Owner and group first: changing them may clear the set-user-ID and
// set-group-ID bits, which the mode then restores. False where the owner or
// group cannot be given to a new file by this caller.
bool copyOwnership(int fd, struct stat const& original) {
  if (platform::fchown(fd, original.st_uid, original.st_gid, std::nothrow) == 0)
    return true;
  if (errno == EPERM || errno == EINVAL)
    return false;
  fail(SETTINGS_WRITE_FILE_ERROR);
}

void copyMode(int fd, struct stat const& original) {
  if (platform::fchmod(fd, original.st_mode & kPermissionBits, std::nothrow) != 0)
    fail(SETTINGS_WRITE_FILE_ERROR);
}

void writeStaged(StagingFile& staging, std::string const& text) {
  if (!writeAll(staging.fd(), text) || platform::fsync(staging.fd(), std::nothrow) != 0)
    fail(SETTINGS_WRITE_FILE_ERROR);
}

// A mount point cannot be renamed over: EBUSY when something is mounted on
// the file, EXDEV when the name crosses into another mount.
bool renameCannotReach(int error) {
  return error == EBUSY || error == EXDEV;
}

// A bind-mounted file (as containers mount their /etc files) can only be
// rewritten in place. It is recognised before anything is staged, by the
// kernel's mount-root attribute or, where that is not reported, by a mount
// different from its directory's. Where neither can be read, the rename's
// refusal is the last line of defence.
bool isMountPoint(Target const& target) {
  struct statx file {};
  if (platform::fstatx(target.existing.get(), file, std::nothrow) != 0)
    return false;
  if ((file.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
    return (file.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  struct statx directory {};
  if ((file.stx_mask & STATX_MNT_ID) == 0 ||
      platform::statx(Filename(target.directory()), directory, std::nothrow) != 0 ||
      (directory.stx_mask & STATX_MNT_ID) == 0)
    return false;
  return file.stx_mnt_id != directory.stx_mnt_id;
}

enum class Replacement { Done, InPlaceNeeded, UnnamedUnusable };

// After the rename the new text is in place: a failure from then on is
// WRITE_FILE_ERROR with the new text in the file, not yet safe from a power cut.
Replacement replaceByRename(Target const& target, std::string const& text, bool allowUnnamed) {
  std::unique_ptr<StagingFile> staging = createStagingFile(target, allowUnnamed);
  if (!staging)
    return Replacement::InPlaceNeeded;
  if (target.exists()) {
    if (!copyOwnership(staging->fd(), target.status))
      return Replacement::InPlaceNeeded;
    copyMode(staging->fd(), target.status);
  }
  writeStaged(*staging, text);
  int error = staging->giveName();
  if (error == ENOENT)
    return Replacement::UnnamedUnusable;  // no /proc to link through
  if (error != 0)
    fail(SETTINGS_WRITE_FILE_ERROR);
  error = staging->renameOver(Filename(target.path));
  if (error != 0) {
    if (target.exists() && renameCannotReach(error) && staging->discard())
      return Replacement::InPlaceNeeded;
    fail(SETTINGS_WRITE_FILE_ERROR);
  }
  if (!staging->close() || !syncDirectory(Filename(target.directory()), std::nothrow))
    fail(SETTINGS_WRITE_FILE_ERROR);
  return Replacement::Done;
}

// The shortest window in which the file holds neither text: space is
// reserved first, so that a full disk or quota is found before the old text
// is touched; then one write, the truncate and the sync. A file system that
// cannot reserve space goes straight to the write. The descriptor is fresh,
// so the text goes to the start of the file.
void rewriteInPlace(Target& target, std::string const& text) {
  int fd = target.existing.get();
  off_t const size = static_cast<off_t>(text.size());
  if (platform::reserveSpace(fd, size, std::nothrow) != 0 && errno != EOPNOTSUPP)
    fail(SETTINGS_WRITE_FILE_ERROR);
  if (!writeAll(fd, text) || platform::ftruncate(fd, size, std::nothrow) != 0 ||
      platform::fsync(fd, std::nothrow) != 0 || !closeChecked(target.existing))
    fail(SETTINGS_WRITE_FILE_ERROR);
}

}  // namespace

void replaceFileContents(Filename const& file, std::string const& text) {
  Target target = locateTarget(file);
  if (target.exists() && isMountPoint(target))
    return rewriteInPlace(target, text);
  Replacement outcome = replaceByRename(target, text, true);
  if (outcome == Replacement::UnnamedUnusable)
    outcome = replaceByRename(target, text, false);
  if (outcome == Replacement::InPlaceNeeded)
    rewriteInPlace(target, text);
}

}  // namespace settings_impl
