// The file a write is aimed at, found once through the kernel: its directory
// held open, the file's own name in it, and what that name stood for. Every
// later step of a read or a replacement goes through that one descriptor, so
// that nobody who can write a directory on the way can move the write
// elsewhere between two steps.
#ifndef TAMO_SETTINGS_SHARE_TARGET_DIRECTORY_H
#define TAMO_SETTINGS_SHARE_TARGET_DIRECTORY_H

#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <string>

#include "file_ops.h"

namespace settings_impl {

class TargetDirectory {
 public:
  enum class Parents { MustExist, Create };

  // Finds the file that name stands for, as the kernel resolves it: '/'
  // separates components, ".." is the parent of the directory reached so far
  // (after any link), a relative name starts at the working directory. A
  // backslash is an ordinary character here. Every link on the way, the
  // final one included, is followed only when it is owned by the caller, by
  // root, or by the owner of the directory holding it; a link in a sticky
  // world-writable directory only when it is the caller's or the
  // directory owner's (as fs.protected_symlinks); and after a link of another
  // user, the file's directory must be one that user may write. An existing
  // file must be a regular file, and in a sticky world-writable directory
  // the caller's or the directory owner's (as fs.protected_regular). Each
  // refusal is OPEN_FILE_ERROR (304), as are a missing parent directory (with
  // MustExist), a dangling link, a loop of links and a name that ends in a
  // directory. With Create, missing parent directories are made with mode
  // 0700 and synced into their parents; INVALID_FILENAME_ERROR (311) when
  // that fails, or for an empty name.
  static TargetDirectory resolve(std::string const& name, Parents parents);

  TargetDirectory(TargetDirectory&&) = default;
  TargetDirectory& operator=(TargetDirectory&&) = default;

  // The directory, open for reading (O_DIRECTORY, O_CLOEXEC): for *at calls,
  // fsync and kernel locks. It stays open as long as this object.
  int directory() const { return directoryHandle.get(); }
  struct stat const& directoryStatus() const {
    return directoryState;
  }
  // The file's name in the directory: one component, never "." or "..".
  std::string const& name() const { return fileName; }
  // Whether the file existed when it was resolved, and then its status
  // (device and inode are its identity).
  bool exists() const { return found; }
  struct stat const& fileStatus() const {
    return fileState;
  }

  // Opens the file found for reading without blocking on it; 304 when it is
  // gone, no longer the object found, or not a regular file.
  IoHandle openForReading() const;
  // Opens the file found for reading and writing; 304 as above. A lease
  // holder may make it wait; the object is checked after the wait.
  IoHandle openForWriting() const;
  // Whether the name in the directory still stands for what was found (the
  // same object, or still nothing).
  bool stillNamesWhatWasFound() const;

 private:
  TargetDirectory() = default;

  IoHandle directoryHandle{-1};
  struct stat directoryState {};
  std::string fileName;
  bool found = false;
  struct stat fileState {};
};

// The whole file found, which must end before limit bytes; the codes of
// readWholeFile(Filename const&, ...), and 304 when no file was found.
WholeText readWholeFile(TargetDirectory const& target, std::size_t limit);

// The whole file name stands for, found for reading, or nothing when no
// file stands there. A lease of another process is waited out for at most
// wait; then LOCKED_ERROR (316).
std::optional<WholeText> readNamedFile(std::string const& name, std::chrono::milliseconds wait,
                                       std::size_t limit);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_TARGET_DIRECTORY_H
