#include "file_lock.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

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

bool sameDirectory(TargetDirectory const& a, TargetDirectory const& b) {
  return a.directoryStatus().st_dev == b.directoryStatus().st_dev &&
         a.directoryStatus().st_ino == b.directoryStatus().st_ino;
}

TargetDirectory find(std::string const& name) {
  return TargetDirectory::resolve(name, TargetDirectory::Parents::MustExist);
}

}  // namespace

// A writer that waited on a directory renamed away meanwhile must not write
// beside the new one under a lock nobody else takes, and what it found
// before the wait (the file, or its absence) may be stale: both are why the
// name is walked again once the lock is held.
WriterLock::WriterLock(std::string const& fileName, std::chrono::milliseconds wait)
    : name(fileName) {
  Clock::time_point const deadline = Clock::now() + wait;
  for (int attempt = 0; attempt < kRelockAttempts; ++attempt) {
    locked.emplace(find(name));
    if (!lockBefore(locked->directory(), deadline)) {
      locked.reset();
      fail(SETTINGS_LOCKED_ERROR);
    }
    if (findAgain())
      return;
    locked.reset();
  }
  fail(SETTINGS_OPEN_FILE_ERROR);
}

WriterLock::~WriterLock() {
  release(std::nothrow);
}

bool WriterLock::findAgain() {
  current.reset();
  TargetDirectory found = find(name);
  if (!sameDirectory(found, *locked))
    return false;
  current.emplace(std::move(found));
  return true;
}

TargetDirectory const& WriterLock::target() const {
  if (!locked || !current)
    fail(SETTINGS_OPEN_FILE_ERROR);
  return *current;
}

void WriterLock::replace(std::string_view text) {
  replaceFileContents(target(), text);
  try {
    findAgain();
  } catch (settings::Exception const&) {
    // The text is in place; only a later use of this lock can fail now.
    current.reset();
  }
}

int WriterLock::release(std::nothrow_t const&) noexcept {
  if (!locked)
    return SETTINGS_NO_ERROR;
  bool const unlocked = platform::flock(locked->directory(), LOCK_UN, std::nothrow) == 0;
  current.reset();
  locked.reset();
  return unlocked ? SETTINGS_NO_ERROR : SETTINGS_OPEN_FILE_ERROR;
}

// Only a missing file may read as missing: a writer that took an existing
// file it failed to open for an absent one would replace everything it
// held. So an existing file that cannot be opened is READ_FILE_ERROR.
bool readLockedFile(WriterLock const& lock, WholeText& text) {
  TargetDirectory const& target = lock.target();
  if (!target.exists())
    return false;
  try {
    text = readWholeFile(target, kFileSizeLimit);
  } catch (settings::Exception const& e) {
    if (e.code == SETTINGS_OPEN_FILE_ERROR)
      fail(SETTINGS_READ_FILE_ERROR);
    throw;
  }
  return true;
}

}  // namespace settings_impl
