#include "file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "../platform/platform.h"
#include "file_replace.h"
#include "file_report.h"
#include "status.h"

namespace settings_impl {
namespace {

using Clock = std::chrono::steady_clock;

// A name that leads elsewhere on every attempt is an attack, not a writer;
// giving up after this many is OPEN_FILE_ERROR.
constexpr int kRelockAttempts = 100;
// The kernel offers no bounded wait for flock, for a lock of an open file
// description or for an open a lease holds up, so a waiter polls: quickly
// at first, since writers hold the lock for milliseconds, never longer than
// kLongestPause between tries.
constexpr std::chrono::microseconds kFirstPause{200};
constexpr std::chrono::microseconds kLongestPause{10000};
// How long a holder of the file's lock waits for the directory's, which
// writers of the last release take alone. They hold it for milliseconds;
// anyone who can read the directory can hold it for longer, and must not
// make writers wait for more than this.
constexpr std::chrono::seconds kOldWritersWait{1};
// The imports' limit: a file must end before 1 MiB.
constexpr std::size_t kFileSizeLimit = std::size_t{1} << 20;

// What a refused lock means. Network file systems emulate flock with byte
// locks that want a descriptor open for writing, which a directory never
// is: EBADF there, ENOLCK or EOPNOTSUPP elsewhere.
bool lockRefusedByFileSystem(int error) {
  return error == EBADF || error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

[[noreturn]] void failLock(int error) {
  if (error == EWOULDBLOCK)
    failFile(SETTINGS_LOCKED_ERROR, SETTINGS_PATH_NO_REASON);
  failFile(lockRefusedByFileSystem(error) ? SETTINGS_LOCK_REFUSED_ERROR : SETTINGS_OPEN_FILE_ERROR,
           SETTINGS_PATH_SYSTEM, error);
}

// Runs attempt (0, or an errno) until it gives anything but EWOULDBLOCK,
// retrying at once after EINTR and pausing after EWOULDBLOCK; EWOULDBLOCK
// once the deadline has passed.
template <typename Attempt>
int pollUntil(Clock::time_point deadline, Attempt attempt) {
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    int const error = attempt();
    if (error == EINTR)
      continue;
    if (error != EWOULDBLOCK)
      return error;
    Clock::time_point const now = Clock::now();
    if (now >= deadline)
      return EWOULDBLOCK;
    auto const left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    platform::pause(std::min(pause, left), std::nothrow);
    pause = std::min(pause * 2, kLongestPause);
  }
}

int lockDirectoryBefore(int directory, Clock::time_point deadline) {
  return pollUntil(deadline, [&] {
    return platform::flock(directory, LOCK_EX | LOCK_NB, std::nothrow) == 0 ? 0 : errno;
  });
}

// POSIX lets a held lock be EACCES as well as EAGAIN.
int lockFileBefore(int file, Clock::time_point deadline) {
  return pollUntil(deadline, [&] {
    if (platform::lockOpenFile(file, F_WRLCK, std::nothrow) == 0)
      return 0;
    return errno == EACCES ? EWOULDBLOCK : errno;
  });
}

bool isSameObject(struct stat const& a, struct stat const& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameDirectory(TargetDirectory const& a, TargetDirectory const& b) {
  return isSameObject(a.directoryStatus(), b.directoryStatus());
}

bool isOpenOn(IoHandle const& file, struct stat const& status) {
  struct stat opened {};
  return file.get() != -1 && platform::fstat(file.get(), opened, std::nothrow) == 0 &&
         S_ISREG(opened.st_mode) && isSameObject(opened, status);
}

// The errors of an open for writing that say this caller may not write the
// file, which it then locks through its directory.
bool refusesWriting(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY;
}

struct Opened {
  IoHandle file{-1};
  int error = 0;  // when file is -1: why, or 0 when the name no longer stands for the file found
};

// Opens the file found for reading and writing. Never waits in the kernel:
// a lease of another process makes the open fail with EWOULDBLOCK, and it
// is tried again until the deadline.
Opened openForLocking(TargetDirectory const& found, Clock::time_point deadline) {
  Opened opened;
  int const error = pollUntil(deadline, [&] {
    opened.file =
        IoHandle(platform::openAt(found.directory(), found.name(),
                                  O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY, std::nothrow));
    return opened.file.get() != -1 ? 0 : errno;
  });
  if (error == EWOULDBLOCK)
    failFile(SETTINGS_LOCKED_ERROR, SETTINGS_PATH_BUSY, error);
  if (error == 0 && !isOpenOn(opened.file, found.fileStatus()))
    opened.file = IoHandle(-1);
  if (error != 0 && error != ENOENT && error != ELOOP && !refusesWriting(error))
    failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, error);
  opened.error = refusesWriting(error) ? error : 0;
  return opened;
}

TargetDirectory find(std::string const& name) {
  return TargetDirectory::resolve(name, TargetDirectory::Parents::MustExist);
}

}  // namespace

// What was found before a wait (the file, or its absence) may be stale
// once the lock is granted: another writer may have replaced the file, or
// the directory may have been renamed away. So the name is walked again
// under the lock until it leads to what is held.
WriterLock::WriterLock(std::string const& fileName, std::chrono::milliseconds wait)
    : name(fileName) {
  Deadline const deadline = Clock::now() + wait;
  bool oldWritersAsked = false;
  for (int attempt = 0; attempt < kRelockAttempts; ++attempt) {
    TargetDirectory found = find(name);
    if (!holds(found)) {
      lockWhatWasFound(std::move(found), deadline);
      continue;
    }
    // An old writer that held the directory may have replaced the file
    // before letting go: the name is walked again once it is held.
    if (!oldWritersAsked && !holdsDirectoryOf(found)) {
      oldWritersAsked = true;
      if (lockForOldWriters(found, deadline))
        continue;
    }
    current.emplace(std::move(found));
    return;
  }
  failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_REPLACED);
}

WriterLock::~WriterLock() {
  release(std::nothrow);
}

bool WriterLock::holdsDirectoryOf(TargetDirectory const& found) const {
  return lockedDirectory && sameDirectory(*lockedDirectory, found);
}

bool WriterLock::holds(TargetDirectory const& found) const {
  if (!found.exists())
    return holdsDirectoryOf(found);
  if (lockedFile.get() != -1)
    return isOpenOn(lockedFile, found.fileStatus());
  return unwritable && isSameObject(*unwritable, found.fileStatus()) && holdsDirectoryOf(found);
}

void WriterLock::lockWhatWasFound(TargetDirectory found, Deadline deadline) {
  lockedFile = IoHandle(-1);
  unwritable.reset();
  if (!found.exists())
    return lockDirectoryOf(std::move(found), deadline);
  Opened opened = openForLocking(found, deadline);
  if (opened.file.get() != -1) {
    int const error = lockFileBefore(opened.file.get(), deadline);
    if (error != 0)
      failLock(error);
    lockedFile = std::move(opened.file);
  } else if (opened.error != 0) {
    unwritable = found.fileStatus();
    unwritableError = opened.error;
    lockDirectoryOf(std::move(found), deadline);
  }
}

void WriterLock::lockDirectoryOf(TargetDirectory found, Deadline deadline) {
  if (holdsDirectoryOf(found))
    return;
  lockedDirectory.reset();
  int const error = lockDirectoryBefore(found.directory(), deadline);
  if (error != 0)
    failLock(error);
  lockedDirectory.emplace(std::move(found));
}

// Whatever keeps the directory's lock from this holder of the file's (a
// wait that runs out, a file system that refuses it) only leaves the old
// writers unexcluded, which they were before this writer came.
bool WriterLock::lockForOldWriters(TargetDirectory& found, Deadline deadline) {
  Deadline const until = std::min(deadline, Clock::now() + kOldWritersWait);
  if (lockDirectoryBefore(found.directory(), until) != 0)
    return false;
  lockedDirectory.emplace(std::move(found));
  return true;
}

void WriterLock::findAgain() {
  current.reset();
  try {
    TargetDirectory found = find(name);
    if (holds(found))
      current.emplace(std::move(found));
  } catch (settings::Exception const&) {
    // The text is in place; only a later use of this lock can fail now.
  }
}

TargetDirectory const& WriterLock::target() const {
  if (!current)
    failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_REPLACED);
  return *current;
}

void WriterLock::replace(std::string_view text) {
  TargetDirectory const& found = target();
  if (found.exists() && lockedFile.get() == -1)
    failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_SYSTEM, unwritableError);
  IoHandle newFile = replaceFileContents(found, lockedFile.get(), text);
  if (newFile.get() != -1) {
    lockedFile = std::move(newFile);
    unwritable.reset();
  }
  findAgain();
}

int WriterLock::release(std::nothrow_t const&) noexcept {
  bool unlocked = true;
  if (lockedFile.get() != -1)
    unlocked = platform::lockOpenFile(lockedFile.get(), F_UNLCK, std::nothrow) == 0;
  if (lockedDirectory)
    unlocked =
        platform::flock(lockedDirectory->directory(), LOCK_UN, std::nothrow) == 0 && unlocked;
  current.reset();
  lockedFile = IoHandle(-1);
  lockedDirectory.reset();
  unwritable.reset();
  return unlocked ? SETTINGS_NO_ERROR : SETTINGS_OPEN_FILE_ERROR;
}

// Only a missing file may read as missing: a writer that took an existing
// file it failed to open for an absent one would replace everything it
// held. So an existing file that cannot be opened is READ_FILE_ERROR. The
// lock's own descriptor is read where there is one, so that no open can
// wait on a lease while the lock is held; it is read only while the name
// still stands for it, as a file opened by its name would be.
bool readLockedFile(WriterLock const& lock, WholeText& text) {
  TargetDirectory const& target = lock.target();
  if (!target.exists())
    return false;
  try {
    if (lock.file().get() == -1) {
      text = readWholeFile(target, kFileSizeLimit);
      return true;
    }
    if (!target.stillNamesWhatWasFound())
      failFile(SETTINGS_READ_FILE_ERROR, SETTINGS_PATH_REPLACED);
    if (platform::seekTo(lock.file().get(), 0, std::nothrow) != 0)
      failFile(SETTINGS_READ_FILE_ERROR, SETTINGS_PATH_SYSTEM, errno);
    text = readWholeFile(lock.file(), kFileSizeLimit);
  } catch (FileError const& e) {
    if (e.code == SETTINGS_OPEN_FILE_ERROR)
      throw FileError(SETTINGS_READ_FILE_ERROR, e.report);
    throw;
  } catch (settings::Exception const& e) {
    if (e.code == SETTINGS_OPEN_FILE_ERROR)
      failFile(SETTINGS_READ_FILE_ERROR, SETTINGS_PATH_NO_REASON);
    throw;
  }
  return true;
}

}  // namespace settings_impl
