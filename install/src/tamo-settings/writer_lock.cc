#include "writer_lock.h"

#include <climits>
#include <cstdint>

#include "settings_file.h"
#include "tool_error.h"

namespace tamo_tool {

namespace {

// The longest wait the library takes, in whole milliseconds.
constexpr std::int64_t kLongestWaitMilliseconds = INT_MAX;

[[noreturn]] void badWait(std::string const& text) {
  throw ToolError(EXIT_USAGE, "--wait=" + text +
                                  ": not a number of seconds, such as 0, 2 or 0.5 "
                                  "(see tamo-settings --help)");
}

// SECONDS or SECONDS.FRACTION, in milliseconds; digits only, so that no
// locale or sign can change the meaning.
int waitMilliseconds(std::string const& text) {
  std::size_t const point = text.find('.');
  std::string const whole = text.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  if ((whole.empty() && fraction.empty()) ||
      whole.find_first_not_of("0123456789") != std::string::npos ||
      fraction.find_first_not_of("0123456789") != std::string::npos)
    badWait(text);
  std::int64_t milliseconds = 0;
  for (char digit : whole) {
    milliseconds = milliseconds * 10 + (digit - '0') * 1000;
    if (milliseconds > kLongestWaitMilliseconds)
      badWait(text);
  }
  fraction.resize(3, '0');
  milliseconds += std::stoi(fraction);
  if (milliseconds > kLongestWaitMilliseconds)
    badWait(text);
  return static_cast<int>(milliseconds);
}

[[noreturn]] void lockFailed(std::string const& shownName, std::string const& path, int status) {
  if (status == SETTINGS_LOCKED_ERROR)
    throw ToolError(EXIT_LOCKED, shownName + ": locked by another writer");
  if (status == SETTINGS_LOCK_REFUSED_ERROR)
    throw ToolError(EXIT_NO_PERMISSION,
                    shownName +
                        ": its file system refuses the writers' lock; nothing written "
                        "(--no-lock writes without it, unprotected from other writers)");
  refuseWrite(shownName, path, status);
}

}  // namespace

settings_api3_t const& api3() {
  static settings_api3_t const table = [] {
    settings_api3_t filled{};
    settings_api3_get(&filled);
    return filled;
  }();
  return table;
}

WriterLock::WriterLock(Arguments const& arguments, std::string const& name, std::string const& path)
    : shownName(name) {
  std::optional<std::string> const wait = arguments.value("--wait");
  int const milliseconds = wait ? waitMilliseconds(*wait) : kDefaultWaitSeconds * 1000;
  if (arguments.has("--no-lock") || arguments.has("--check"))
    return;
  int const status = api3().settings_lock_file(path.c_str(), milliseconds, &lock);
  if (status != SETTINGS_NO_ERROR)
    lockFailed(shownName, path, status);
}

WriterLock::~WriterLock() {
  if (lock != nullptr)
    api3().settings_lock_release(lock);
}

std::optional<std::string> WriterLock::read() const {
  char const* text = nullptr;
  std::size_t size = 0;
  int const status = api3().settings_locked_file_read(lock, &text, &size);
  if (status == SETTINGS_FILE_TOO_BIG_ERROR)
    throw ToolError(EXIT_REFUSED, shownName + ": 1 MiB or more, too big for a settings file");
  if (status == SETTINGS_OPEN_FILE_ERROR || status == SETTINGS_READ_FILE_ERROR)
    throw ToolError(EXIT_NO_INPUT, shownName + ": cannot read");
  if (status != SETTINGS_NO_ERROR)
    internalFailure("settings_locked_file_read", status);
  if (text == nullptr)
    return std::nullopt;
  return std::string(text, size);
}

void WriterLock::release() {
  settings_lock_t* const held = lock;
  lock = nullptr;
  if (held == nullptr)
    return;
  int const status = api3().settings_lock_release(held);
  if (status != SETTINGS_NO_ERROR)
    throw ToolError(EXIT_INTERNAL, shownName +
                                       ": the writers' lock was not released cleanly (library "
                                       "status " +
                                       std::to_string(status) + ") after the change was made");
}

}  // namespace tamo_tool
