// What each library status means to the administrator, per file operation.
#include "log.h"
#include "process_options.h"

namespace {

// Statuses grouped by what they mean to the driver.
enum StatusKind {
  SUCCEEDED,
  UNEXPECTED_WHILE_WRITING,  // cannot come from a read; a write failed
  FILE_NOT_OPENED,
  OWNER_BIT_CLEAR,
  READ_FAILED,
  LINES_REFUSED,
  FILE_TOO_BIG,
  UNKNOWN,
  STATUS_KIND_COUNT
};

struct Cell {
  char const* message;  // with one "%s" for the path; null: nothing is logged
  bool goOn;
};

char const* const NO_WRITE_PERMISSIONS =
    "No write permissions for config file %s. Please check if you are logged in as an "
    "administrator.";

// Columns: reading the system file, reading the input file, writing the
// system file. Reading goes on past a missing or unreadable file and past
// refused lines, so one bad file cannot hold back the other's choices.
Cell const CELLS[STATUS_KIND_COUNT][3] = {
    /* SUCCEEDED */ {{nullptr, true}, {nullptr, true}, {nullptr, true}},
    /* UNEXPECTED_WHILE_WRITING */
    {{nullptr, true}, {nullptr, true}, {NO_WRITE_PERMISSIONS, false}},
    /* FILE_NOT_OPENED */
    {{nullptr, true},
     {"No input config file %s.", true},
     {"Invalid pre-existing config file %s. Exiting...", false}},
    /* OWNER_BIT_CLEAR */
    {{"No read permissions for install config file %s", true},
     {"No read permissions for input config file %s", true},
     {"No write permissions for install config file %s. Exiting...", false}},
    /* READ_FAILED */
    {{"Invalid pre-existing config file %s. Exiting...", false},
     {"Unable to read input config file %s. Exiting...", false},
     {NO_WRITE_PERMISSIONS, false}},
    /* LINES_REFUSED */
    {{"INVALID_VALUE_ERROR: Error reading pre-existing config file %s.", true},
     {"INVALID_VALUE_ERROR: Error reading input config file %s.", true},
     {NO_WRITE_PERMISSIONS, false}},
    /* FILE_TOO_BIG */
    {{"Install config file %s is too big. Exiting...", false},
     {"Input config file %s is too big. Exiting...", false},
     {NO_WRITE_PERMISSIONS, false}},
    /* UNKNOWN */
    {{"Unknown error reading pre-existing config file %s. Exiting...", false},
     {"Unknown error reading input config file %s. Exiting...", false},
     {"Unknown error writing install config file %s. Exiting...", false}},
};

StatusKind kindOf(int status) {
  switch (status) {
    case SETTINGS_NO_ERROR:
      return SUCCEEDED;
    case SETTINGS_UNKNOWN_ERROR:
    case SETTINGS_INVALID_ARGUMENT_ERROR:
    case SETTINGS_WRITE_FILE_ERROR:
    case 308:
    case SETTINGS_REMOVE_FILE_ERROR:
    case 310:
    case SETTINGS_INVALID_FILENAME_ERROR:
    case SETTINGS_FILENAME_ENCODING_ERROR:
      return UNEXPECTED_WHILE_WRITING;
    case SETTINGS_OPEN_FILE_ERROR:
      return FILE_NOT_OPENED;
    case SETTINGS_ACCESS_DENIED_ERROR:
      return OWNER_BIT_CLEAR;
    // A file that is not UTF-8 is as unreadable as one the system fails to
    // read. Going on past the system file would write the input's entries
    // over it and lose every setting it held; going on past the input file
    // would report its choices as carried over when none were.
    case SETTINGS_READ_FILE_ERROR:
    case SETTINGS_BUFFER_ENCODING_ERROR:
      return READ_FAILED;
    case SETTINGS_INVALID_VALUE_ERROR:
      return LINES_REFUSED;
    case SETTINGS_FILE_TOO_BIG_ERROR:
      return FILE_TOO_BIG;
    default:
      return UNKNOWN;
  }
}

}  // namespace

bool ProcessOptions::handleSettingsErrorCode(char const* path, int status,
                                             ProcessOptionsStatus operation) {
  int column = static_cast<int>(operation) - 1;
  if (column < 0 || column > 2)
    column = 2;
  Cell const& cell = CELLS[kindOf(status)][column];
  if (cell.message != nullptr)
    Log::writeLogFormatted(cell.message, path);
  return cell.goOn;
}
