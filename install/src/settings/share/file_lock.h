// The writers' lock of a settings file: the kernel's lock on the file's
// directory, which every read-change-write of this library takes around the
// whole of it.
#ifndef TAMO_SETTINGS_SHARE_FILE_LOCK_H
#define TAMO_SETTINGS_SHARE_FILE_LOCK_H

#include <chrono>
#include <new>
#include <string>

#include "file_ops.h"
#include "filename.h"

namespace settings_impl {

// Held from acquire until release or destruction. The lock is flock(2) on a
// descriptor of the directory that holds the file: it covers a file that
// does not exist yet, leaves nothing on disk, and dies with the process that
// holds it, so a killed writer never blocks the next one. Readers take no
// lock and are never blocked. Every file of one directory shares the lock.
class WriterLock {
 public:
  // Locks the directory of a canonical name, waiting at most wait (zero: one
  // try). Once granted, the directory's name must still lead to the locked
  // directory; one replaced meanwhile is locked afresh. LOCKED_ERROR (316)
  // when the wait runs out, LOCK_REFUSED_ERROR (317) when the file system
  // refuses the lock, OPEN_FILE_ERROR (304) when the directory cannot be
  // opened (a missing one included).
  WriterLock(Filename const& file, std::chrono::milliseconds wait);
  ~WriterLock();
  WriterLock(WriterLock const&) = delete;
  WriterLock& operator=(WriterLock const&) = delete;

  Filename const& file() const { return name; }
  std::string const& directoryPath() const { return directory; }
  int directoryFd() const { return handle.get(); }
  bool held() const { return handle.get() != -1; }

  // Unlocks and closes; 0, or OPEN_FILE_ERROR (304) when the unlock or the
  // close failed (the lock is gone either way, with the descriptor).
  int release(std::nothrow_t const&) noexcept;

 private:
  Filename name;
  std::string directory;
  IoHandle handle{-1};
};

// The locked file's whole text, read as the imports read a file (below
// 1 MiB, else FILE_TOO_BIG_ERROR 315); false when the file does not exist,
// READ_FILE_ERROR (307) when it exists but cannot be opened or read.
bool readLockedFile(WriterLock const& lock, WholeText& text);
// replaceFileContents on the locked file, whose directory exists.
void replaceLockedFile(WriterLock const& lock, std::string const& text);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_LOCK_H
