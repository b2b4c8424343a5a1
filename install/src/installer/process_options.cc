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
    : api(table),
      context(api.context_create()),
      allowKeysWithoutValues(false),
      failFast(true),
      validator(nullptr),
      keyMapper(nullptr),
      paths(filePaths) {
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
  if (fileIsUR(path)) {
    status = api.context_import_from_file(
        context, path, validator != nullptr ? validator->get() : nullptr,
        keyMapper != nullptr ? keyMapper->get() : nullptr, failFast, allowKeysWithoutValues);
  }
  return handleSettingsErrorCode(path, status, operation);
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
  if (fileIsUW(path))
    status = api.context_export_to_file(context, path);
  return handleSettingsErrorCode(path, status, EXPORT_INSTALL_CONFIG);
}

int ProcessOptions::processInstallConfigData() {
  if (!importFromInstallConfig())
    return 1;
  if (!importFromInputConfig())
    return 2;
  int isEmpty = 0;
  throwOnFailure(api.context_is_empty(context, &isEmpty));
  if (isEmpty == 0 && !exportToInstallConfig())
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
