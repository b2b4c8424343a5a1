// The writers' lock of the file a command changes, held from before the
// read that decides the change until after the write.
#ifndef TAMO_SETTINGS_TOOL_WRITER_LOCK_H
#define TAMO_SETTINGS_TOOL_WRITER_LOCK_H

#include <optional>
#include <string>

#include "arguments.h"
#include "library.h"

namespace tamo_tool {

settings_api3_t const& api3();

class WriterLock {
 public:
  // Takes the lock of path unless --no-lock or --check, waiting --wait
  // seconds (default kDefaultWaitSeconds). ToolError 75 when another
  // writer held it all that time, 77 when the file system refuses it, 73
  // when the directory is missing, 64 for a bad --wait.
  WriterLock(Arguments const& arguments, std::string const& shownName, std::string const& path);
  ~WriterLock();
  WriterLock(WriterLock const&) = delete;
  WriterLock& operator=(WriterLock const&) = delete;

  // Null when no lock is taken.
  settings_lock_t* get() const { return lock; }
  // Lets the lock go; ToolError 70 when the library reports a failure.
  void release();

  // The file as it is under the lock, as readSettingsFile reads it.
  std::optional<std::string> read() const;

  static constexpr int kDefaultWaitSeconds = 5;

 private:
  std::string shownName;
  settings_lock_t* lock = nullptr;
};

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_WRITER_LOCK_H
