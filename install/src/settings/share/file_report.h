// What a file operation saw when it refused or failed: which rule, at which
// component of the name, which system error, and what the file holds now.
// Callers tell the user from this alone, never by looking at the name again.
#ifndef TAMO_SETTINGS_SHARE_FILE_REPORT_H
#define TAMO_SETTINGS_SHARE_FILE_REPORT_H

#include <tamo/settings.h>

#include "status.h"

namespace settings_impl {

// A failure of a file operation with its report; its code is the status the
// C boundary returns.
class FileError : public settings::Exception {
 public:
  FileError(int code, settings_file_report_t const& report)
      : settings::Exception(code), report(report) {}
  settings_file_report_t report;
};

// A report of reason, with systemError and nothing else known.
inline settings_file_report_t fileReport(int reason, int systemError = 0) {
  settings_file_report_t report{};
  report.reason = reason;
  report.owner = -1;
  report.systemError = systemError;
  report.fileState = SETTINGS_FILE_UNTOUCHED;
  return report;
}

[[noreturn]] inline void failFile(int code, int reason, int systemError = 0) {
  throw FileError(code, fileReport(reason, systemError));
}

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILE_REPORT_H
