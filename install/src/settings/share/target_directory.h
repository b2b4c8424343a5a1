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

// How a walk treats what the rule leaves to its caller.
struct WalkOptions {
  // A folder that stands in for "/" (an image's root): names and absolute
  // link texts start there, and ".." never leaves it. Empty: the real root.
  // The folder itself is taken as the caller names it.
  std::string root;
  // The mode of the directories a walk with Parents::Create makes.
  mode_t newDirectoryMode = 0700;
};

class TargetDirectory {
 public:
  enum class Parents { MustExist, Create };
  enum class Purpose { Read, Write };

  // Finds the file that name stands for, as the kernel resolves it ('/'
  // separates components, ".." is the parent of the directory reached so
  // far, after any link; a relative name starts at the working directory; a
  // backslash is an ordinary character), one component at a time through
  // descriptors, judging every step by the owner of where it comes from:
  // from a directory or link owned by a user who is neither root nor the
  // caller, a step may reach only that user's own objects (directories,
  // links, the file, "..", the root an absolute link restarts from). For
  // Write, an existing file in a sticky directory that others than its
  // owner may write must be the caller's or the directory owner's. The file
  // must be a regular one.
  //
  // Every refusal is a FileError: OPEN_FILE_ERROR (304) with the rule and the
  // component, also for a missing directory (with MustExist), a loop of
  // links, a name that ends in a directory and, for Write, one that ends in
  // a link to nothing. With Create, each missing directory is judged as it
  // is made (never inside another user's directory), made with mode 0700
  // and synced into its parent; INVALID_FILENAME_ERROR (311) when that
  // fails, when one would have to be made below a file, or for an empty name.
  static TargetDirectory resolve(std::string const& name, Parents parents,
                                 Purpose purpose = Purpose::Write, WalkOptions const& options = {});

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

  // Open the file found without ever blocking: a lease of another process
  // is retried until deadline, then LOCKED_ERROR (316); 304 when the file
  // is gone, no longer the object found, or not a regular file. The forms
  // without a deadline try once, and a lease is 304 to them.
  IoHandle openForReading(std::chrono::steady_clock::time_point deadline) const;
  IoHandle openForReading() const;  // one try
  IoHandle openForWriting() const;  // one try
  // Whether the name in the directory still stands for what was found (the
  // same object, or still nothing).
  bool stillNamesWhatWasFound() const;

 private:
  TargetDirectory() = default;
  IoHandle open(int flags, std::chrono::steady_clock::time_point deadline, int busyCode) const;

  IoHandle directoryHandle{-1};
  struct stat directoryState {};
  std::string fileName;
  bool found = false;
  struct stat fileState {};
};

// The directory name stands for, open for reading, found by the same walk
// and rule as a file; nothing when its last component does not exist and
// parents is MustExist. With Create, every missing directory is made, the
// last one too (each judged before it is made, then synced into its parent).
std::optional<IoHandle> openNamedDirectory(std::string const& name,
                                           TargetDirectory::Parents parents,
                                           WalkOptions const& options = {});

// The whole file found, which must end before limit bytes; the codes of
// readWholeFile(IoHandle const&, ...), and 304 when no file was found.
WholeText readWholeFile(TargetDirectory const& target, std::size_t limit);

// The whole file name stands for, found for reading, or nothing when no
// file stands there. A lease of another process is waited out for at most
// wait; then LOCKED_ERROR (316).
std::optional<WholeText> readNamedFile(std::string const& name, std::chrono::milliseconds wait,
                                       std::size_t limit);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_TARGET_DIRECTORY_H
