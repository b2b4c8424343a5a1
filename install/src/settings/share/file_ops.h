// File operations of the library, in throwing and non-throwing forms, and
// the owner of system handles.
#ifndef TAMO_SETTINGS_SHARE_FILE_OPS_H
#define TAMO_SETTINGS_SHARE_FILE_OPS_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>

#include "../platform/platform.h"
#include "filename.h"

namespace settings_impl {

// Owns one system handle and passes it to Close exactly once, unless
// ownership is given up to another holder. A holder made from a value owns it,
// even a null stream or -1; Close ignores those.
template <typename Handle, void (*Close)(Handle)>
class AutoHandle {
 public:
  explicit AutoHandle(Handle handle) : handle(handle), owned(true) {}
  AutoHandle(AutoHandle&& other) noexcept : handle(other.handle), owned(other.owned) {
    other.owned = false;
  }
  AutoHandle& operator=(AutoHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle = other.handle;
      owned = other.owned;
      other.owned = false;
    }
    return *this;
  }
  AutoHandle(AutoHandle const&) = delete;
  AutoHandle& operator=(AutoHandle const&) = delete;
  ~AutoHandle() { reset(); }

  Handle get() const { return handle; }
  bool isOwned() const { return owned; }
  // Gives up ownership; the handle stays open for its new owner.
  Handle release() {
    owned = false;
    return handle;
  }

 private:
  void reset() noexcept {
    if (owned)
      Close(handle);
    owned = false;
  }

  Handle handle;
  bool owned;
};

using StdioHandle = AutoHandle<FILE*, platform::closeStdioHandle>;
using IoHandle = AutoHandle<int, platform::closeIoHandle>;

// Same behaviour as the platform pair; kept for callers of this layer.
void closeStdioHandle(FILE* stream);
void closeIoHandle(int fd);

// Creates a new file exclusively (0644 before the umask); OPEN_FILE_ERROR (304).
IoHandle createFile(Filename const& name);
// A holder of null when the file cannot be opened.
StdioHandle fopen(Filename const& name, char const* mode, std::nothrow_t const&);
// 304 when the file cannot be opened.
StdioHandle fopen(Filename const& name, char const* mode);
// Reopens held's stream; on success the result owns it and held gives it up. 304.
StdioHandle freopen(Filename const& name, char const* mode, StdioHandle& held);
int rmdir(Filename const& name, std::nothrow_t const&);
int remove(Filename const& name, std::nothrow_t const&);
// REMOVE_FILE_ERROR (309).
void remove(Filename const& name);
bool fileExist(Filename const& name, std::nothrow_t const&);
// Opens, syncs and closes a directory, so that the entries made in it survive
// a power cut; false (errno set) when any of the three fails.
bool syncDirectory(Filename const& directory, std::nothrow_t const&);
// Creates the missing parent directories of a canonical name, from the root
// down, with mode 0700, each synced into its parent. INVALID_FILENAME_ERROR
// (311) when one cannot be made or synced; std::logic_error for a name that
// canonicalize did not make.
void ensureDirectoryTreeExist(Filename const& file);

// A whole text with a NUL after its last byte, which the owner may write to.
struct WholeText {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
};

// A copy of size bytes of text.
WholeText copyText(char const* text, std::size_t size);
// The whole file open for reading on file, which must end before limit
// bytes: READ_FILE_ERROR (307) when a read fails, FILE_TOO_BIG_ERROR (315)
// when it has not ended within limit bytes. Files are opened by the walk of
// target_directory.h, which judges every step of their names.
WholeText readWholeFile(IoHandle const& file, std::size_t limit);

// A new file in /tmp, open for writing; left on disk unless close(true).
class TempFile {
 public:
  TempFile();  // OPEN_FILE_ERROR (304)
  TempFile(TempFile const&) = delete;
  TempFile& operator=(TempFile const&) = delete;

  Filename const& getName() const { return name; }
  FILE* getStream() const { return file.get(); }
  // Closes the stream (once) and, with removeFile, removes the file (309).
  void close(bool removeFile);
  int close(bool removeFile, std::nothrow_t const&);

 private:
  Filename name;
  StdioHandle file;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_OPS_H
