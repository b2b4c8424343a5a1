// The writers' lock of a settings file: a kernel lock that every
// read-change-write of this library takes around the whole of it.
#ifndef TAMO_SETTINGS_SHARE_FILE_LOCK_H
#define TAMO_SETTINGS_SHARE_FILE_LOCK_H

#include <sys/stat.h>

#include <chrono>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "file_ops.h"
#include "target_directory.h"

namespace settings_impl {

// Held from construction until release or destruction. An existing file is
// locked itself: a write lock of an open file description (fcntl
// F_OFD_SETLK) through a descriptor open for reading and writing, which only
// a user who may write the file can have. A file that does not exist yet,
// or one the caller may not write, is locked through its directory
// (flock(2) on the descriptor of the directory the kernel walk of
// TargetDirectory finds); a file that appears meanwhile is then locked as
// well. Once the file's lock is granted, the directory's is waited for at
// most a second and held when granted, which keeps writers of the last
// release, who lock the directory alone, out. Both locks leave nothing on
// disk and die with the process that holds them, so a killed writer never
// blocks the next one. Readers take no lock and are never blocked.
class WriterLock {
 public:
  // Locks the file name stands for (resolved as TargetDirectory::resolve
  // does; its parent must exist), waiting at most wait (zero: one try). No
  // open waits: a lease of another process on the file is waited out within
  // wait like a holder of the lock. Once the lock is granted the name is
  // resolved again and must lead to the locked file (or, for a missing one,
  // into the locked directory); one replaced meanwhile is locked afresh.
  // LOCKED_ERROR (316) when the wait runs out (reason SETTINGS_PATH_BUSY
  // when a lease outlasted it), LOCK_REFUSED_ERROR (317) when the file
  // system refuses the lock, OPEN_FILE_ERROR (304) when a call fails or the
  // name keeps changing, and the refusals of the walk (304, 311).
  WriterLock(std::string const& name, std::chrono::milliseconds wait);
  ~WriterLock();
  WriterLock(WriterLock const&) = delete;
  WriterLock& operator=(WriterLock const&) = delete;

  // The file as found under the lock: found after the lock was granted and
  // again after each replacement made through this lock. OPEN_FILE_ERROR
  // (304, SETTINGS_PATH_REPLACED) once the name no longer leads to it.
  TargetDirectory const& target() const;
  // Open for reading and writing on target()'s file and holding its lock;
  // -1 when the lock is the directory's alone.
  IoHandle const& file() const { return lockedFile; }
  // replaceFileContents on target() through file(), after which the lock
  // holds the new file and the file is found afresh. 304 for a file this
  // caller may not write.
  void replace(std::string_view text);

  // Unlocks; 0, or OPEN_FILE_ERROR (304) when the kernel reported a failure
  // to unlock (the locks are gone all the same once the descriptors close,
  // which they do here).
  int release(std::nothrow_t const&) noexcept;

 private:
  using Deadline = std::chrono::steady_clock::time_point;

  bool holds(TargetDirectory const& found) const;
  bool holdsDirectoryOf(TargetDirectory const& found) const;
  void lockWhatWasFound(TargetDirectory found, Deadline deadline);
  void lockDirectoryOf(TargetDirectory found, Deadline deadline);
  // Takes found only when it returns true.
  bool lockForOldWriters(TargetDirectory& found, Deadline deadline);
  void findAgain();

  std::string name;
  IoHandle lockedFile{-1};
  std::optional<TargetDirectory> lockedDirectory;  // whose descriptor holds the flock
  // The file found that this caller may not open for writing, and why.
  std::optional<struct stat> unwritable;
  int unwritableError = 0;
  std::optional<TargetDirectory> current;  // the file under the lock
};

// The locked file's whole text, read as the imports read a file (below
// 1 MiB, else FILE_TOO_BIG_ERROR 315) through the lock's own descriptor
// where it has one; false when the file does not exist, READ_FILE_ERROR
// (307) when it exists but cannot be opened or read.
bool readLockedFile(WriterLock const& lock, WholeText& text);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_LOCK_H
