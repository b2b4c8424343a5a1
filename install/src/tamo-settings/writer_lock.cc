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
  throw ToolError(EXIT_USAGE, "--wait=" + printable(text) +
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

// A lock the walk refused is told as the read that would follow it: nothing
// was touched yet.
[[noreturn]] void lockFailed(std::string const& shownName, int status,
                             settings_file_report_t const& report) {
  if (status == SETTINGS_LOCKED_ERROR && report.reason != SETTINGS_PATH_BUSY)
    fileError(EXIT_LOCKED, shownName, "locked by another writer");
  if (status == SETTINGS_LOCK_REFUSED_ERROR)
    fileError(EXIT_NO_PERMISSION, shownName,
              "its file system refuses the writers' lock; nothing written "
              "(--no-lock writes without it, unprotected from other writers)");
  if (report.reason == SETTINGS_PATH_NOT_REGULAR || report.reason == SETTINGS_PATH_BUSY)
    failRead(shownName, status, report);
  failWrite(shownName, false, status, report);
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
  settings_file_report_t report{};
  int const status = api4().settings_file_lock(path.c_str(), milliseconds, &lock, &report);
  if (status != SETTINGS_NO_ERROR)
    lockFailed(shownName, status, report);
}

WriterLock::~WriterLock() {
  if (lock != nullptr)
    api3().settings_lock_release(lock);
}

std::optional<std::string> WriterLock::read() const {
  char const* text = nullptr;
  std::size_t size = 0;
  int const status = api3().settings_locked_file_read(lock, &text, &size);
  if (status != SETTINGS_NO_ERROR) {
    settings_file_report_t report{};
    api4().settings_lock_last_report(lock, &report);
    failRead(shownName, status, report);
  }
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
    fileError(EXIT_INTERNAL, shownName,
              "the writers' lock was not released cleanly (library status " +
                  std::to_string(status) + ") after the change was made");
}

}  // namespace tamo_tool
