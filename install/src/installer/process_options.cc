#include "process_options.h"

#include <errno.h>
#include <sys/stat.h>
#include <syslog.h>

#include <string>

#include "installer_rules.h"
#include "log.h"
#include "share/status.h"

char const* const SYSTEM_RUNTIME_CONFIG_FILE = "/etc/Vardel/Tamo/tamo.settings.cfg";
char const* const INSTALL_TIME_CONFIG_FILE = "/etc/tamo/config/zlv-install.properties";

namespace {

// The only lines the writers' lock adds to the log, each said only where
// the lock could not be had as the run wanted it.
char const* const LOCKED_BY_ANOTHER_WRITER =
    "Config file %s is locked by another writer; nothing was written. Exiting...";
char const* const WRITTEN_WITHOUT_LOCK =
    "Config file %s cannot be locked on its file system; it is read and written without the "
    "writers' lock.";
char const* const LOCK_NOT_RELEASED = "Config file %s: the writers' lock was not released cleanly.";

void throwOnFailure(int status) {
  if (status != SETTINGS_NO_ERROR)
    throw settings::Exception(status);
}

// True when path cannot be inspected (it is left to the library to report) or
// when its mode has ownerBit; the identity of the process is not considered.
bool fileHasOwnerBit(char const* path, mode_t ownerBit) {
  struct stat status;
  if (stat(path, &status) != 0)
    return true;
  return (status.st_mode & ownerBit) != 0;
}

}  // namespace

ProcessOptions::ProcessOptions(settings_api_t const& table, InstallConfigPaths const& filePaths)
    : ProcessOptions(table, settings_api3_t{}, filePaths) {}

ProcessOptions::ProcessOptions(settings_api_t const& table, settings_api3_t const& lockTable,
                               InstallConfigPaths const& filePaths)
    : api(table),
      context(api.context_create()),
      allowKeysWithoutValues(false),
      failFast(true),
      validator(nullptr),
      keyMapper(nullptr),
      paths(filePaths),
      lockApi(lockTable),
      lock(nullptr) {
  validatorHolder.setApi(api);
  keyMapperHolder.setApi(api);
  try {
    initValidator();
    initKeyMapper();
  } catch (...) {
    freeHandles();
    throw;
  }
  validator = &validatorHolder;
  keyMapper = &keyMapperHolder;
  failFast = false;
}

ProcessOptions::~ProcessOptions() {
  freeHandles();
}

void ProcessOptions::freeHandles() {
  releaseSystemConfigLock();
  keyMapperHolder.reset(nullptr);
  validatorHolder.reset(nullptr);
  api.context_free(context);
  context = nullptr;
}

void ProcessOptions::initValidator() {
  settings_validator_t* created = nullptr;
  throwOnFailure(createInstallerValidator(api, &created));
  validatorHolder.reset(created);
}

void ProcessOptions::initKeyMapper() {
  settings_key_mapper_t* created = nullptr;
  throwOnFailure(createInstallerKeyMapper(api, &created));
  keyMapperHolder.reset(created);
}

bool ProcessOptions::fileIsUR(char const* path) {
  return fileHasOwnerBit(path, S_IRUSR);
}

bool ProcessOptions::fileIsUW(char const* path) {
  return fileHasOwnerBit(path, S_IWUSR);
}

bool ProcessOptions::importFrom(char const* path, ProcessOptionsStatus operation) {
  int status = SETTINGS_ACCESS_DENIED_ERROR;
  settings_validator_t const* const rules = validator != nullptr ? validator->get() : nullptr;
  settings_key_mapper_t const* const mapper = keyMapper != nullptr ? keyMapper->get() : nullptr;
  if (fileIsUR(path)) {
    status = lock != nullptr && operation == IMPORT_INSTALL_CONFIG
                 ? lockApi.context_import_from_locked_file(context, lock, rules, mapper, failFast,
                                                           allowKeysWithoutValues)
                 : api.context_import_from_file(context, path, rules, mapper, failFast,
                                                allowKeysWithoutValues);
  }
  return handleSettingsErrorCode(path, unlessMissing(path, status), operation);
}

// The import says only that it could not open the file; the walk, asked
// again, says whether nothing is there. Its text is dropped unread.
int ProcessOptions::unlessMissing(char const* path, int status) const {
  if (status != SETTINGS_OPEN_FILE_ERROR || fileApi.settings_file_read == nullptr)
    return status;
  char* text = nullptr;
  size_t size = 0;
  settings_file_report_t report;
  int const read = fileApi.settings_file_read(path, 0, &text, &size, &report);
  bool const missing =
      read == SETTINGS_NO_ERROR ? text == nullptr : report.reason == SETTINGS_PATH_MISSING;
  fileApi.settings_text_free(text);
  return missing ? status : SETTINGS_READ_FILE_ERROR;
}

bool ProcessOptions::importFromInstallConfig() {
  return importFrom(paths.systemConfigFile, IMPORT_INSTALL_CONFIG);
}

bool ProcessOptions::importFromInputConfig() {
  return importFrom(paths.inputConfigFile, IMPORT_INPUT_CONFIG);
}

bool ProcessOptions::exportToInstallConfig() {
  char const* path = paths.systemConfigFile;
  struct stat existing;
  if (stat(path, &existing) != 0 && errno == ENOENT) {
    Log::writeLog("No pre-existing config file. Creating new one.");
  }
  int status = SETTINGS_ACCESS_DENIED_ERROR;
  if (fileIsUW(path)) {
    status = lock != nullptr ? lockApi.context_export_to_locked_file(context, lock)
                             : api.context_export_to_file(context, path);
  }
  return handleSettingsErrorCode(path, status, EXPORT_INSTALL_CONFIG);
}

bool ProcessOptions::lockSystemConfig() {
  if (lockApi.settings_lock_file == nullptr)
    return true;
  char const* path = paths.systemConfigFile;
  int const status = lockApi.settings_lock_file(path, SYSTEM_CONFIG_LOCK_WAIT_MS, &lock);
  if (status == SETTINGS_NO_ERROR)
    return true;
  lock = nullptr;
  if (status == SETTINGS_LOCKED_ERROR) {
    Log::writeLogFormatted(LOCKED_BY_ANOTHER_WRITER, path);
    return false;
  }
  // A name the lock cannot even find (a first installation without the
  // directory, or something else in its place) is for the import and the
  // export to report in the table's words; the export creates a missing
  // directory as it always has.
  if (status != SETTINGS_OPEN_FILE_ERROR)
    Log::writeLogFormatted(WRITTEN_WITHOUT_LOCK, path);
  return true;
}

void ProcessOptions::releaseSystemConfigLock() {
  settings_lock_t* const held = lock;
  lock = nullptr;
  if (held != nullptr && lockApi.settings_lock_release(held) != SETTINGS_NO_ERROR)
    Log::writeLogFormatted(LOCK_NOT_RELEASED, paths.systemConfigFile);
}

int ProcessOptions::processInstallConfigData() {
  if (!lockSystemConfig())
    return 1;
  if (!importFromInstallConfig()) {
    releaseSystemConfigLock();
    return 1;
  }
  if (!importFromInputConfig()) {
    releaseSystemConfigLock();
    return 2;
  }
  int isEmpty = 0;
  throwOnFailure(api.context_is_empty(context, &isEmpty));
  bool const written = isEmpty != 0 || exportToInstallConfig();
  releaseSystemConfigLock();
  if (!written)
    return 3;
  processAll();
  return 0;
}

void ProcessOptions::processAll() {
  handleIntegerConfigParameter(KEY_AUTO_UPDATE, "Auto Update", &ProcessOptions::process_AU);
  handleIntegerConfigParameter(KEY_WEB_ANALYTICS, "Web Anlytics", &ProcessOptions::process_pings);
  handleIntegerConfigParameter(KEY_WEB_TAMO, "Web Tamo", &ProcessOptions::process_webTamo);
  handleIntegerConfigParameter(KEY_SECURITY_LEVEL, "Web Tamo Security Level",
                               &ProcessOptions::process_securityLevels);
}

void ProcessOptions::handleIntegerConfigParameter(char const* key, char const* label,
                                                  bool (ProcessOptions::*handler)(int)) {
  int value = 0;
  int const status = api.context_get_integer_value(context, key, &value);
  if (status == SETTINGS_NO_ERROR) {
    if (!(this->*handler)(value)) {
      Log::writeLog(
          (std::string(label) + " setting cannot be updated based on the values in the config file")
              .c_str());
    }
  } else if (status != SETTINGS_KEY_NOT_FOUND_ERROR) {
    Log::writeLog((std::string("The value for ") + key +
                   " was not set correctly. Please check your config file content for errors")
                      .c_str());
  }
}

bool ProcessOptions::process_AU(int) {
  Log::writeLog("There is no auto update support on this platform");
  return true;
}

bool ProcessOptions::process_pings(int) {
  Log::writeLog("There is no web analytics support on this platform");
  return true;
}

bool ProcessOptions::process_webTamo(int) {
  return true;
}

bool ProcessOptions::process_securityLevels(int) {
  return true;
}
