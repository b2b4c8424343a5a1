// What a lock handle of the C interface is: the lock, the text of its last
// read and the report of its last read or replacement.
#ifndef TAMO_SETTINGS_SHARE_LOCK_HANDLE_H
#define TAMO_SETTINGS_SHARE_LOCK_HANDLE_H

#include <tamo/settings.h>

#include <chrono>
#include <string>

#include "file_lock.h"
#include "file_report.h"

struct settings_lock_t {
  settings_lock_t(std::string const& name, std::chrono::milliseconds wait) : lock(name, wait) {}

  settings_impl::WriterLock lock;
  settings_impl::WholeText lastRead;
  settings_file_report_t lastReport = settings_impl::fileReport(SETTINGS_PATH_NO_REASON);
};

namespace settings_impl {

// Runs body as translateExceptions does and writes what a file operation saw
// into *report (when not null): the FileError's report, or one of no reason.
template <typename Body>
int translateReported(SourceCodePos const& pos, settings_file_report_t* report,
                      Body&& body) noexcept {
  settings_file_report_t seen = fileReport(SETTINGS_PATH_NO_REASON);
  int const status = translateExceptions(pos, [&] {
    try {
      body();
    } catch (FileError const& e) {
      seen = e.report;
      throw;
    }
  });
  if (report != nullptr)
    *report = seen;
  return status;
}

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_LOCK_HANDLE_H
