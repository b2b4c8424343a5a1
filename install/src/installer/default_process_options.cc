// Kept apart from the driver so that code which brings its own table (the
// tests) does not need the library linked in.
#include "process_options.h"

namespace {

settings_api_t libraryTable() {
  settings_api_t table;
  settings_api_get(&table);
  return table;
}

settings_api3_t lockTable() {
  settings_api3_t table;
  settings_api3_get(&table);
  return table;
}

settings_api4_t fileTable() {
  settings_api4_t table;
  settings_api4_get(&table);
  return table;
}

}  // namespace

ProcessOptions::ProcessOptions()
    : ProcessOptions(libraryTable(), lockTable(),
                     {SYSTEM_RUNTIME_CONFIG_FILE, INSTALL_TIME_CONFIG_FILE}) {
  setFileApi(fileTable());
}
