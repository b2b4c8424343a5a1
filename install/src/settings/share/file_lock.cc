#include "file_lock.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "../platform/platform.h"
#include "file_replace.h"
#include "status.h"

namespace settings_impl {
namespace {

using Clock = std::chrono::steady_clock;

// A directory swapped for another on every attempt is an attack, not a
// writer; giving up after this many is OPEN_FILE_ERROR.
constexpr int kRelockAttempts = 100;
// The kernel offers no bounded wait for flock, so a waiter polls: quickly
// at first, since writers hold the lock for milliseconds, never longer
// than kLongestPause between tries.
constexpr std::chrono::microseconds kFirstPause{200};
constexpr std::chrono::microseconds kLongestPause{10000};
// The imports' limit: a file must end before 1 MiB.
constexpr std::size_t kFileSizeLimit = std::size_t{1} << 20;

[[noreturn]] void fail(int code) {
  throw settings::Exception(code);
}

std::string directoryOf(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// What a refused flock means. Network file systems emulate it with byte
// locks that want a descriptor open for writing, which a directory never
// is: EBADF there, ENOLCK or EOPNOTSUPP elsewhere.
bool lockRefusedByFileSystem(int error) {
  return error == EBADF || error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

// True once the lock is granted, false when the wait ran out.
bool lockBefore(int fd, Clock::time_point deadline) {
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    if (platform::flock(fd, LOCK_EX | LOCK_NB, std::nothrow) == 0)
      return true;
    int const error = errno;
    if (error == EINTR)
      continue;
    if (error != EWOULDBLOCK)
      fail(lockRefusedByFileSystem(error) ? SETTINGS_LOCK_REFUSED_ERROR : SETTINGS_OPEN_FILE_ERROR);
    Clock::time_point const now = Clock::now();
    if (now >= deadline)
      return false;
    auto const left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    platform::pause(std::min(pause, left), std::nothrow);
    pause = std::min(pause * 2, kLongestPause);
  }
}

bool isSameFile(struct stat const& a, struct stat const& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the directory's name still leads where the locked descriptor is:
// a writer that waited on a directory renamed away meanwhile must not write
// beside the new one under a lock nobody else takes.
bool nameLeadsTo(std::string const& directory, int fd) {
  struct stat locked {};
  struct stat named {};
  return platform::fstat(fd, locked, std::nothrow) == 0 &&
         platform::stat(Filename(directory), named, std::nothrow) == 0 && isSameFile(locked, named);
}

}  // namespace

WriterLock::WriterLock(Filename const& file, std::chrono::milliseconds wait)
    : name(file), directory(directoryOf(file.getPath())) {
  Clock::time_point const deadline = Clock::now() + wait;
  for (int attempt = 0; attempt < kRelockAttempts; ++attempt) {
    IoHandle candidate(platform::openDirectory(Filename(directory), std::nothrow));
    if (candidate.get() == -1)
      fail(SETTINGS_OPEN_FILE_ERROR);
    if (!lockBefore(candidate.get(), deadline))
      fail(SETTINGS_LOCKED_ERROR);
    if (nameLeadsTo(directory, candidate.get())) {
      handle = std::move(candidate);
      return;
    }
  }
  fail(SETTINGS_OPEN_FILE_ERROR);
}

WriterLock::~WriterLock() {
  release(std::nothrow);
}

// Closing the descriptor alone would drop the lock too; the explicit unlock
// makes a failure visible, and the lock is gone with the close whatever the
// unlock said.
int WriterLock::release(std::nothrow_t const&) noexcept {
  if (!held())
    return SETTINGS_NO_ERROR;
  int const fd = handle.release();
  handle = IoHandle(-1);
  bool const unlocked = platform::flock(fd, LOCK_UN, std::nothrow) == 0;
  bool const closed = platform::close(fd, std::nothrow) == 0;
  return unlocked && closed ? SETTINGS_NO_ERROR : SETTINGS_OPEN_FILE_ERROR;
}

// Only a missing file may read as missing: a writer that took an existing
// file it failed to open for an absent one would replace everything it
// held. So an existing file that cannot be opened is READ_FILE_ERROR.
bool readLockedFile(WriterLock const& lock, WholeText& text) {
  struct stat entry {};
  if (platform::lstat(lock.file(), entry, std::nothrow) != 0) {
    if (errno == ENOENT)
      return false;
    fail(SETTINGS_READ_FILE_ERROR);
  }
  try {
    text = readWholeFile(lock.file(), kFileSizeLimit);
  } catch (settings::Exception const& e) {
    if (e.code == SETTINGS_OPEN_FILE_ERROR)
      fail(SETTINGS_READ_FILE_ERROR);
    throw;
  }
  return true;
}

void replaceLockedFile(WriterLock const& lock, std::string const& text) {
  replaceFileContents(lock.file(), text);
}

}  // namespace settings_impl
