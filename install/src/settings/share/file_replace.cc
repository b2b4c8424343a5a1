#include "file_replace.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../platform/platform.h"
#include "file_ops.h"
#include "status.h"

namespace settings_impl {
namespace {

constexpr mode_t kNewFileMode = 0644;
// Until it carries the old file's owner and mode, nobody else may read it.
constexpr mode_t kPrivateMode = 0600;
// Set-user-ID, set-group-ID and sticky bits are not carried over: a settings
// file has no use for them, and a file another user owns would gain them with
// text root chose.
constexpr mode_t kPermissionBits = 0777;
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

bool writeAll(int fd, std::string_view text) {
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
  StagingFile(int directory, int fd, std::string prefix, std::string name)
      : directory(directory),
        prefix(std::move(prefix)),
        name(std::move(name)),
        descriptor(fd),
        named(!this->name.empty()) {}
  StagingFile(StagingFile const&) = delete;
  StagingFile& operator=(StagingFile const&) = delete;
  ~StagingFile() {
    if (named)
      platform::unlinkAt(directory, name, std::nothrow);
  }

  int fd() const { return descriptor.get(); }
  bool close() { return closeChecked(descriptor); }
  // Names an unnamed file: the instant between this and the rename is the
  // only one in which a crash leaves a hidden file behind. Returns 0, ENOENT
  // when there is no way to name it, or the errno of the failed link.
  int giveName() {
    if (named)
      return 0;
    SuffixSource suffixes;
    for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
      std::string candidate = prefix + suffixes.next();
      int const error = link(candidate);
      if (error == 0) {
        name = std::move(candidate);
        named = true;
        return isNamedFile() ? 0 : EIO;
      }
      if (error != EEXIST)
        return error;
    }
    return EEXIST;
  }
  // Removes the named file now; false when it stays behind.
  bool discard() {
    named = false;
    return platform::unlinkAt(directory, name, std::nothrow) == 0;
  }
  // Returns 0 or the errno of the failed rename.
  int renameOver(std::string const& file, unsigned flags) {
    if (platform::renameAt(directory, name, file, flags, std::nothrow) != 0)
      return errno;
    named = false;
    return 0;
  }

 private:
  // The descriptor itself names the file where the caller may (linkat with
  // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH); otherwise /proc/self/fd does,
  // but only when procfs is mounted there: a file system mounted over /proc
  // could make the link lead to any file.
  int link(std::string const& candidate) {
    if (platform::linkEmptyPath(fd(), directory, candidate, std::nothrow) == 0)
      return 0;
    if (errno != ENOENT && errno != EPERM)
      return errno;
    IoHandle descriptors(platform::openProcessDescriptors(std::nothrow));
    struct statfs where {};
    if (descriptors.get() == -1 || platform::fstatfs(descriptors.get(), where, std::nothrow) != 0)
      return ENOENT;
    if (where.f_type != PROC_SUPER_MAGIC)
      return ENOENT;
    if (platform::linkUnnamed(descriptors.get(), fd(), directory, candidate, std::nothrow) != 0)
      return errno;
    return 0;
  }

  // The name made must stand for this very file.
  bool isNamedFile() {
    struct stat linked {};
    struct stat own {};
    return platform::statAt(directory, name, linked, std::nothrow) == 0 &&
           platform::fstat(fd(), own, std::nothrow) == 0 && linked.st_dev == own.st_dev &&
           linked.st_ino == own.st_ino;
  }

  int directory;
  std::string prefix;
  std::string name;
  IoHandle descriptor;
  bool named;
};

bool directoryRefusesNewFiles(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// Errors of an O_TMPFILE open that mean only that the file system (or an
// old kernel) has no unnamed files.
bool unnamedFilesUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

std::string hiddenPrefix(TargetDirectory const& target) {
  return "." + truncateUtf8(target.name(), NAME_MAX - 2 - kSuffixLength) + ".";
}

mode_t stagingMode(TargetDirectory const& target) {
  return target.exists() ? kPrivateMode : kNewFileMode;
}

std::unique_ptr<StagingFile> createNamedStagingFile(TargetDirectory const& target) {
  std::string const prefix = hiddenPrefix(target);
  SuffixSource suffixes;
  for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
    std::string name = prefix + suffixes.next();
    int fd = platform::openExclusiveAt(target.directory(), name, stagingMode(target), std::nothrow);
    if (fd != -1)
      return std::make_unique<StagingFile>(target.directory(), fd, prefix, std::move(name));
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
std::unique_ptr<StagingFile> createStagingFile(TargetDirectory const& target, bool allowUnnamed) {
  if (!allowUnnamed)
    return createNamedStagingFile(target);
  int fd = platform::openUnnamed(target.directory(), stagingMode(target), std::nothrow);
  if (fd != -1)
    return std::make_unique<StagingFile>(target.directory(), fd, hiddenPrefix(target), "");
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

bool hasPrefix(char const* name, char const* prefix) {
  return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

// Which attributes go over to the new file: the access list (after the mode,
// which would otherwise overwrite its mask), the users' own attributes, the
// security labels, and for root the trusted ones. File capabilities stay
// behind, as the set-user-ID bit does.
bool isCarried(char const* name, uid_t caller) {
  if (std::strcmp(name, "security.capability") == 0)
    return false;
  return std::strcmp(name, "system.posix_acl_access") == 0 || hasPrefix(name, "user.") ||
         hasPrefix(name, "security.") || (caller == 0 && hasPrefix(name, "trusted."));
}

// A label the running kernel will not let this caller set (no policy, or no
// right to relabel) is left to the file system's default.
bool mayBeLeftBehind(char const* name, int error) {
  return hasPrefix(name, "security.") &&
         (error == EPERM || error == EACCES || error == EOPNOTSUPP || error == EINVAL);
}

// Reads a list or a value whose size may change between the two calls.
template <typename Read>
bool readSized(std::vector<char>& buffer, Read read) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    ssize_t const size = read(nullptr, 0);
    if (size < 0)
      return false;
    buffer.resize(static_cast<std::size_t>(size));
    ssize_t const got = read(buffer.data(), buffer.size());
    if (got >= 0) {
      buffer.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE)
      return false;
  }
  return false;
}

bool copyAttribute(int from, int to, char const* name) {
  std::vector<char> value;
  if (!readSized(value, [&](char* data, std::size_t size) {
        return platform::getAttribute(from, name, data, size, std::nothrow);
      }))
    return errno == ENODATA;  // removed meanwhile
  if (platform::setAttribute(to, name, value.data(), value.size(), std::nothrow) == 0)
    return true;
  return mayBeLeftBehind(name, errno);
}

bool copyAttributes(int from, int to) {
  std::vector<char> names;
  if (!readSized(names, [&](char* data, std::size_t size) {
        return platform::listAttributes(from, data, size, std::nothrow);
      }))
    return errno == EOPNOTSUPP;  // a file system without attributes
  uid_t const caller = platform::effectiveUser(std::nothrow);
  for (std::size_t at = 0; at < names.size();) {
    char const* const name = names.data() + at;
    std::size_t const length = strnlen(name, names.size() - at);
    if (isCarried(name, caller) && length < names.size() - at && !copyAttribute(from, to, name))
      return false;
    at += length + 1;
  }
  return true;
}

void writeStaged(StagingFile& staging, std::string_view text) {
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
bool isMountPoint(int file, TargetDirectory const& target) {
  struct statx status {};
  if (platform::fstatx(file, status, std::nothrow) != 0)
    return false;
  if ((status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
    return (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  struct statx directory {};
  if ((status.stx_mask & STATX_MNT_ID) == 0 ||
      platform::fstatx(target.directory(), directory, std::nothrow) != 0 ||
      (directory.stx_mask & STATX_MNT_ID) == 0)
    return false;
  return status.stx_mnt_id != directory.stx_mnt_id;
}

enum class Replacement { Done, InPlaceNeeded, UnnamedUnusable };

// The file being replaced: the target and, when it exists, a descriptor
// open for reading and writing on it.
struct Existing {
  TargetDirectory const& target;
  IoHandle file;
};

// After the rename the new text is in place: a failure from then on is
// WRITE_FILE_ERROR with the new text in the file, not yet safe from a power cut.
Replacement replaceByRename(Existing const& existing, std::string_view text, bool allowUnnamed) {
  TargetDirectory const& target = existing.target;
  std::unique_ptr<StagingFile> staging = createStagingFile(target, allowUnnamed);
  if (!staging)
    return Replacement::InPlaceNeeded;
  if (target.exists()) {
    if (!copyOwnership(staging->fd(), target.fileStatus()))
      return Replacement::InPlaceNeeded;
    copyMode(staging->fd(), target.fileStatus());
    if (!copyAttributes(existing.file.get(), staging->fd()))
      fail(SETTINGS_WRITE_FILE_ERROR);
  }
  writeStaged(*staging, text);
  int error = staging->giveName();
  if (error == ENOENT)
    return Replacement::UnnamedUnusable;
  if (error != 0)
    fail(SETTINGS_WRITE_FILE_ERROR);
  // The name is checked once more just before the rename, so that a file put
  // in the old one's place meanwhile is never silently replaced; a new file
  // never replaces one that appeared after the resolution.
  if (!target.stillNamesWhatWasFound())
    fail(SETTINGS_OPEN_FILE_ERROR);
  error = staging->renameOver(target.name(), target.exists() ? 0 : RENAME_NOREPLACE);
  if (error != 0) {
    if (target.exists() && renameCannotReach(error) && staging->discard())
      return Replacement::InPlaceNeeded;
    fail(error == EEXIST ? SETTINGS_OPEN_FILE_ERROR : SETTINGS_WRITE_FILE_ERROR);
  }
  if (!staging->close() || platform::fsync(target.directory(), std::nothrow) != 0)
    fail(SETTINGS_WRITE_FILE_ERROR);
  return Replacement::Done;
}

// The shortest window in which the file holds neither text: space is
// reserved first, so that a full disk or quota is found before the old text
// is touched; then one write, the truncate and the sync. A file system that
// cannot reserve space goes straight to the write. The descriptor is fresh,
// so the text goes to the start of the file.
void rewriteInPlace(Existing& existing, std::string_view text) {
  int fd = existing.file.get();
  off_t const size = static_cast<off_t>(text.size());
  if (platform::reserveSpace(fd, size, std::nothrow) != 0 && errno != EOPNOTSUPP)
    fail(SETTINGS_WRITE_FILE_ERROR);
  if (!writeAll(fd, text) || platform::ftruncate(fd, size, std::nothrow) != 0 ||
      platform::fsync(fd, std::nothrow) != 0 || !closeChecked(existing.file))
    fail(SETTINGS_WRITE_FILE_ERROR);
}

}  // namespace

void replaceFileContents(TargetDirectory const& target, std::string_view text) {
  Existing existing{target, target.exists() ? target.openForWriting() : IoHandle(-1)};
  if (target.exists() && isMountPoint(existing.file.get(), target))
    return rewriteInPlace(existing, text);
  Replacement outcome = replaceByRename(existing, text, true);
  if (outcome == Replacement::UnnamedUnusable)
    outcome = replaceByRename(existing, text, false);
  if (outcome == Replacement::InPlaceNeeded)
    rewriteInPlace(existing, text);
}

void replaceFileContents(Filename const& file, std::string_view text) {
  replaceFileContents(TargetDirectory::resolve(file.getPath(), TargetDirectory::Parents::MustExist),
                      text);
}

}  // namespace settings_impl
