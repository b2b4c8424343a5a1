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
#include "file_report.h"
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

// Every failure of a system call raises code with the call's errno and
// what the file holds by then.
[[noreturn]] void failCall(int code, int error, int fileState = SETTINGS_FILE_UNTOUCHED) {
  settings_file_report_t report = fileReport(SETTINGS_PATH_SYSTEM, error);
  report.fileState = fileState;
  throw FileError(code, report);
}

[[noreturn]] void failReplaced(int error = 0) {
  failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_REPLACED, error);
}

bool isSameObject(struct stat const& a, struct stat const& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

// 0, or the errno of the failed write (EIO for one that wrote nothing).
int writeAll(int fd, std::string_view text) {
  char const* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t written = platform::write(fd, data, left, std::nothrow);
    if (written < 0 && errno == EINTR)
      continue;
    if (written < 0)
      return errno;
    if (written == 0)
      return EIO;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
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
  // The descriptor, for a caller that keeps the file open once it is in place.
  IoHandle takeDescriptor() { return std::move(descriptor); }
  // Names an unnamed file: the instant between this and the rename is the
  // only one in which a crash leaves a hidden file behind, so everything
  // that can be done before it is. Returns 0, ENOENT when there is no way to
  // name it, or the errno of the failed call.
  int giveName() {
    if (named)
      return 0;
    struct stat own {};
    if (platform::fstat(fd(), own, std::nothrow) != 0)
      return errno;
    SuffixSource suffixes;
    for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
      std::string candidate = prefix + suffixes.next();
      int const error = link(candidate);
      if (error == 0) {
        name = std::move(candidate);
        named = true;
        return namingError(own);
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
  // could make the link lead to any file. The directory of procfs stays
  // open until this object goes, so that its close does not lie between the
  // link and the rename.
  int link(std::string const& candidate) {
    if (platform::linkEmptyPath(fd(), directory, candidate, std::nothrow) == 0)
      return 0;
    if (errno != ENOENT && errno != EPERM)
      return errno;
    if (descriptors.get() == -1 && !openProcessDescriptors())
      return ENOENT;
    if (platform::linkUnnamed(descriptors.get(), fd(), directory, candidate, std::nothrow) != 0)
      return errno;
    return 0;
  }

  bool openProcessDescriptors() {
    descriptors = IoHandle(platform::openProcessDescriptors(std::nothrow));
    struct statfs where {};
    if (descriptors.get() != -1 && platform::fstatfs(descriptors.get(), where, std::nothrow) == 0 &&
        where.f_type == PROC_SUPER_MAGIC)
      return true;
    descriptors = IoHandle(-1);
    return false;
  }

  // The name made must stand for this very file: 0, or why it does not.
  int namingError(struct stat const& own) {
    struct stat linked {};
    if (platform::statAt(directory, name, linked, std::nothrow) != 0)
      return errno;
    return isSameObject(linked, own) ? 0 : EIO;
  }

  int directory;
  std::string prefix;
  std::string name;
  IoHandle descriptor;
  bool named;
  IoHandle descriptors{-1};  // /proc/self/fd, once needed
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
    int const error = errno;
    if (error == EEXIST)
      continue;
    if (target.exists() && directoryRefusesNewFiles(error))
      return nullptr;
    failCall(SETTINGS_OPEN_FILE_ERROR, error);
  }
  failCall(SETTINGS_OPEN_FILE_ERROR, EEXIST);
}

// Null when the directory refuses new files but the existing file can still
// be rewritten in place.
std::unique_ptr<StagingFile> createStagingFile(TargetDirectory const& target, bool allowUnnamed) {
  if (!allowUnnamed)
    return createNamedStagingFile(target);
  int fd = platform::openUnnamed(target.directory(), stagingMode(target), std::nothrow);
  if (fd != -1)
    return std::make_unique<StagingFile>(target.directory(), fd, hiddenPrefix(target), "");
  int const error = errno;
  if (unnamedFilesUnsupported(error))
    return createNamedStagingFile(target);
  if (target.exists() && directoryRefusesNewFiles(error))
    return nullptr;
  failCall(SETTINGS_OPEN_FILE_ERROR, error);
}

// Owner and group first: changing them may clear the set-user-ID and
// set-group-ID bits, which the mode then restores. False where the owner or
// group cannot be given to a new file by this caller.
bool copyOwnership(int fd, struct stat const& original) {
  if (platform::fchown(fd, original.st_uid, original.st_gid, std::nothrow) == 0)
    return true;
  if (errno == EPERM || errno == EINVAL)
    return false;
  failCall(SETTINGS_WRITE_FILE_ERROR, errno);
}

// A new file in a directory with a default access list inherits an access
// list of its own, which the old file may not have had: whoever it names
// would gain access to the text. It is removed before the old file's list
// (if any) is copied. Removing a list leaves the group bits as its mask had
// them, so the mode is set only after this.
void removeInheritedAccessList(int fd) {
  if (platform::removeAttribute(fd, "system.posix_acl_access", std::nothrow) != 0 &&
      errno != ENODATA && errno != EOPNOTSUPP)
    failCall(SETTINGS_WRITE_FILE_ERROR, errno);
}

void copyMode(int fd, struct stat const& original) {
  if (platform::fchmod(fd, original.st_mode & kPermissionBits, std::nothrow) != 0)
    failCall(SETTINGS_WRITE_FILE_ERROR, errno);
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

// Reads a list or a value whose size may change between the two calls: 0,
// or the errno of the failed call.
template <typename Read>
int readSized(std::vector<char>& buffer, Read read) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    ssize_t const size = read(nullptr, 0);
    if (size < 0)
      return errno;
    buffer.resize(static_cast<std::size_t>(size));
    ssize_t const got = read(buffer.data(), buffer.size());
    if (got >= 0) {
      buffer.resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE)
      return errno;
  }
  return ERANGE;
}

// 0, or the errno of the call that failed.
int copyAttribute(int from, int to, char const* name) {
  std::vector<char> value;
  int const error = readSized(value, [&](char* data, std::size_t size) {
    return platform::getAttribute(from, name, data, size, std::nothrow);
  });
  if (error != 0)
    return error == ENODATA ? 0 : error;  // removed meanwhile
  if (platform::setAttribute(to, name, value.data(), value.size(), std::nothrow) == 0 ||
      mayBeLeftBehind(name, errno))
    return 0;
  return errno;
}

void copyAttributes(int from, int to) {
  std::vector<char> names;
  int error = readSized(names, [&](char* data, std::size_t size) {
    return platform::listAttributes(from, data, size, std::nothrow);
  });
  if (error == EOPNOTSUPP)  // a file system without attributes
    return;
  uid_t const caller = platform::effectiveUser(std::nothrow);
  for (std::size_t at = 0; error == 0 && at < names.size();) {
    char const* const name = names.data() + at;
    std::size_t const length = strnlen(name, names.size() - at);
    if (isCarried(name, caller) && length < names.size() - at)
      error = copyAttribute(from, to, name);
    at += length + 1;
  }
  if (error != 0)
    failCall(SETTINGS_WRITE_FILE_ERROR, error);
}

void writeStaged(StagingFile& staging, std::string_view text) {
  int error = writeAll(staging.fd(), text);
  if (error == 0 && platform::fsync(staging.fd(), std::nothrow) != 0)
    error = errno;
  if (error != 0)
    failCall(SETTINGS_WRITE_FILE_ERROR, error);
}

// The writers' lock passes to the new file before anyone can open it, so
// that a writer who finds it under the name waits for the one that put it
// there. Where the file system has no such locks, no writer can lock the
// file either, so there is nothing to pass.
void lockNewFile(StagingFile const& staging) {
  if (platform::lockOpenFile(staging.fd(), F_WRLCK, std::nothrow) != 0 && errno != ENOLCK &&
      errno != EOPNOTSUPP && errno != EINVAL)
    failCall(SETTINGS_WRITE_FILE_ERROR, errno);
}

// The name must still stand for what target found, so that a file put in
// the old one's place meanwhile is never silently replaced and a new file
// never replaces one that appeared after the resolution.
void verifyNameUnchanged(TargetDirectory const& target) {
  struct stat now {};
  if (platform::statAt(target.directory(), target.name(), now, std::nothrow) != 0) {
    if (errno != ENOENT)
      failCall(SETTINGS_OPEN_FILE_ERROR, errno);
    if (target.exists())
      failReplaced();
    return;
  }
  if (!target.exists() || !isSameObject(now, target.fileStatus()))
    failReplaced();
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

// One replacement: the file as found, a descriptor open for reading and
// writing on it when it exists, and, for a writers' lock, the new file's
// descriptor once it is in place.
struct Job {
  TargetDirectory const& target;
  int file;
  bool forLock;
  IoHandle newFile{-1};
};

void copyOldFile(Job const& job, StagingFile const& staging) {
  struct stat const& original = job.target.fileStatus();
  removeInheritedAccessList(staging.fd());
  copyMode(staging.fd(), original);
  copyAttributes(job.file, staging.fd());
}

// Renames the named staging file over the file. After the rename the new
// text is in place: a failure from then on is WRITE_FILE_ERROR with the new
// text in the file, not yet safe from a power cut.
Replacement putInPlace(Job& job, StagingFile& staging) {
  TargetDirectory const& target = job.target;
  int const error = staging.renameOver(target.name(), target.exists() ? 0 : RENAME_NOREPLACE);
  if (error != 0) {
    if (target.exists() && renameCannotReach(error) && staging.discard())
      return Replacement::InPlaceNeeded;
    if (error == EEXIST)
      failReplaced(error);
    failCall(SETTINGS_WRITE_FILE_ERROR, error);
  }
  if (job.forLock)
    job.newFile = staging.takeDescriptor();
  else if (!staging.close())
    failCall(SETTINGS_WRITE_FILE_ERROR, errno, SETTINGS_FILE_NEW_UNSYNCED);
  if (platform::fsync(target.directory(), std::nothrow) != 0)
    failCall(SETTINGS_WRITE_FILE_ERROR, errno, SETTINGS_FILE_NEW_UNSYNCED);
  return Replacement::Done;
}

Replacement replaceByRename(Job& job, std::string_view text, bool allowUnnamed) {
  TargetDirectory const& target = job.target;
  std::unique_ptr<StagingFile> staging = createStagingFile(target, allowUnnamed);
  if (!staging)
    return Replacement::InPlaceNeeded;
  if (target.exists()) {
    if (!copyOwnership(staging->fd(), target.fileStatus()))
      return Replacement::InPlaceNeeded;
    copyOldFile(job, *staging);
  }
  writeStaged(*staging, text);
  if (job.forLock)
    lockNewFile(*staging);
  verifyNameUnchanged(target);
  int const error = staging->giveName();
  if (error == ENOENT)
    return Replacement::UnnamedUnusable;
  if (error != 0)
    failCall(SETTINGS_WRITE_FILE_ERROR, error);
  return putInPlace(job, *staging);
}

// The shortest window in which the file holds neither text: space is
// reserved first, so that a full disk or quota is found before the old text
// is touched; then one write, the truncate and the sync. A file system that
// cannot reserve space goes straight to the write. The text goes through a
// descriptor of its own, from the start of the file, so that the caller's
// descriptor (a writers' lock's) stays open whatever its position was.
void rewriteInPlace(Job const& job, std::string_view text) {
  IoHandle writer(platform::duplicate(job.file, std::nothrow));
  if (writer.get() == -1 || platform::seekTo(writer.get(), 0, std::nothrow) != 0)
    failCall(SETTINGS_WRITE_FILE_ERROR, errno);
  off_t const size = static_cast<off_t>(text.size());
  if (platform::reserveSpace(writer.get(), size, std::nothrow) != 0 && errno != EOPNOTSUPP)
    failCall(SETTINGS_WRITE_FILE_ERROR, errno);
  int error = writeAll(writer.get(), text);
  if (error == 0 && (platform::ftruncate(writer.get(), size, std::nothrow) != 0 ||
                     platform::fsync(writer.get(), std::nothrow) != 0 || !closeChecked(writer)))
    error = errno;
  if (error != 0)
    failCall(SETTINGS_WRITE_FILE_ERROR, error, SETTINGS_FILE_MAY_BE_CHANGED);
}

void replace(Job& job, std::string_view text) {
  if (job.target.exists() && isMountPoint(job.file, job.target))
    return rewriteInPlace(job, text);
  Replacement outcome = replaceByRename(job, text, true);
  if (outcome == Replacement::UnnamedUnusable)
    outcome = replaceByRename(job, text, false);
  if (outcome == Replacement::InPlaceNeeded)
    rewriteInPlace(job, text);
}

}  // namespace

void replaceFileContents(TargetDirectory const& target, std::string_view text) {
  IoHandle const file(target.exists() ? target.openForWriting() : IoHandle(-1));
  Job job{target, file.get(), false};
  replace(job, text);
}

IoHandle replaceFileContents(TargetDirectory const& target, int lockedFile, std::string_view text) {
  Job job{target, lockedFile, true};
  replace(job, text);
  return std::move(job.newFile);
}

void replaceFileContents(Filename const& file, std::string_view text) {
  replaceFileContents(TargetDirectory::resolve(file.getPath(), TargetDirectory::Parents::MustExist),
                      text);
}

}  // namespace settings_impl
