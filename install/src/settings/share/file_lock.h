// The writers' lock of a settings file: the kernel's lock on the file's
// directory, which every read-change-write of this library takes around the
// whole of it.
#ifndef TAMO_SETTINGS_SHARE_FILE_LOCK_H
#define TAMO_SETTINGS_SHARE_FILE_LOCK_H

#include <chrono>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "file_ops.h"
#include "target_directory.h"

namespace settings_impl {

// Held from construction until release or destruction. The lock is
// flock(2) on the descriptor of the directory that holds the file, as the
// kernel walk of TargetDirectory finds it: it covers a file that does not
// exist yet, leaves nothing on disk, and dies with the process that holds
// it, so a killed writer never blocks the next one. Readers take no lock and
// are never blocked. Every file of one directory shares the lock.
class WriterLock {
 public:
  // Locks the directory of the file name stands for (resolved as
  // TargetDirectory::resolve does; its parent must exist), waiting at most
  // wait (zero: one try). Once the lock is granted the name is resolved
  // again, and must lead into the locked directory; one replaced meanwhile
  // is locked afresh. LOCKED_ERROR (316) when the wait runs out,
  // LOCK_REFUSED_ERROR (317) when the file system refuses the lock, and the
  // refusals of the walk (304, 311).
  WriterLock(std::string const& name, std::chrono::milliseconds wait);
  ~WriterLock();
  WriterLock(WriterLock const&) = delete;
  WriterLock& operator=(WriterLock const&) = delete;

  // The file as found under the lock: found after the lock was granted and
  // again after each replacement made through this lock. OPEN_FILE_ERROR
  // (304) once its directory no longer is the locked one.
  TargetDirectory const& target() const;
  // replaceFileContents on target(), after which the file is found afresh.
  void replace(std::string_view text);

  // Unlocks; 0, or OPEN_FILE_ERROR (304) when the kernel reported a failure
  // to unlock (the lock is gone all the same once the descriptor closes,
  // which it does here).
  int release(std::nothrow_t const&) noexcept;

 private:
  bool findAgain();

  std::string name;
  std::optional<TargetDirectory> locked;   // whose directory descriptor holds the lock
  std::optional<TargetDirectory> current;  // the file under the lock
};

// The locked file's whole text, read as the imports read a file (below
// 1 MiB, else FILE_TOO_BIG_ERROR 315); false when the file does not exist,
// READ_FILE_ERROR (307) when it exists but cannot be opened or read.
bool readLockedFile(WriterLock const& lock, WholeText& text);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_LOCK_H
