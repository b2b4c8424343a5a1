// The installer driver: carries the administrator's install-time choices into
// the system settings file and reports every outcome to the system log.
#ifndef TAMO_INSTALLER_PROCESS_OPTIONS_H
#define TAMO_INSTALLER_PROCESS_OPTIONS_H

#include <tamo/settings.h>

#include "installer_rules.h"

extern char const* const SYSTEM_RUNTIME_CONFIG_FILE;
extern char const* const INSTALL_TIME_CONFIG_FILE;

// The file operation that a library status belongs to.
enum ProcessOptionsStatus {
  IMPORT_INSTALL_CONFIG = 1,  // reading the system settings file
  IMPORT_INPUT_CONFIG = 2,    // reading the install-time input file
  EXPORT_INSTALL_CONFIG = 3   // writing the system settings file
};

// Owns one validator or key-mapper handle and frees it through a table of its
// own, so that it never depends on the lifetime of another table.
template <typename Handle, void (*settings_api_t::*Free)(Handle*)>
class ApiHandle {
 public:
  ApiHandle() : api(), handle(nullptr) {}
  ~ApiHandle() { reset(nullptr); }
  ApiHandle(ApiHandle const&) = delete;
  ApiHandle& operator=(ApiHandle const&) = delete;

  void setApi(settings_api_t const& table) { api = table; }
  // Takes newHandle and frees the handle held before.
  void reset(Handle* newHandle) {
    Handle* const old = handle;
    handle = newHandle;
    if (old != nullptr && old != newHandle)
      (api.*Free)(old);
  }
  Handle* get() const { return handle; }

 private:
  settings_api_t api;
  Handle* handle;
};

using ValidatorHandle = ApiHandle<settings_validator_t, &settings_api_t::validator_free>;
using KeyMapperHandle = ApiHandle<settings_key_mapper_t, &settings_api_t::key_mapper_free>;

// Where the driver reads and writes; the tool always uses the two fixed paths.
struct InstallConfigPaths {
  char const* systemConfigFile;
  char const* inputConfigFile;
};

class ProcessOptions {
 public:
  // Uses the library's own table and the two fixed paths.
  ProcessOptions();
  // Runs on the given table and paths (the paths must outlive the object),
  // without the writers' lock. Raises settings::Exception when a handle
  // cannot be built; nothing is leaked then.
  ProcessOptions(settings_api_t const& table, InstallConfigPaths const& paths);
  // The same, holding the writers' lock of the system file from before it is
  // read until after it is written, through lockTable.
  ProcessOptions(settings_api_t const& table, settings_api3_t const& lockTable,
                 InstallConfigPaths const& paths);
  ~ProcessOptions();
  ProcessOptions(ProcessOptions const&) = delete;
  // With fileTable, a file the library would not open is told apart from a
  // missing one: a file that is there but refused (by the ownership rule,
  // or as no regular file) stops the run as an unreadable one does, where a
  // missing one is passed over.
  void setFileApi(settings_api4_t const& fileTable) { fileApi = fileTable; }
  ProcessOptions& operator=(ProcessOptions const&) = delete;

  // The whole run. 0: done (handlers run); 1, 2, 3: stopped while reading the
  // system file (also: it stayed locked by another writer), reading the
  // input file, or writing the system file.
  int processInstallConfigData();

  // How long the run waits for another writer of the system file.
  static int const SYSTEM_CONFIG_LOCK_WAIT_MS = 30000;

  bool importFromInstallConfig();
  bool importFromInputConfig();
  bool exportToInstallConfig();

  // False only for an existing file whose owner-read (owner-write) bit is
  // clear: a missing file is left for the library to report or create.
  static bool fileIsUR(char const* path);
  static bool fileIsUW(char const* path);

  // Logs what status means for operation on path; true means go on.
  static bool handleSettingsErrorCode(char const* path, int status, ProcessOptionsStatus operation);

  void processAll();
  void handleIntegerConfigParameter(char const* key, char const* label,
                                    bool (ProcessOptions::*handler)(int));

  bool process_AU(int value);
  bool process_pings(int value);
  bool process_webTamo(int value);
  bool process_securityLevels(int value);

 private:
  void initValidator();
  void initKeyMapper();
  bool importFrom(char const* path, ProcessOptionsStatus operation);
  void freeHandles();
  // False when another writer held the lock for the whole wait; otherwise
  // the run goes on, locked where the lock could be had.
  bool lockSystemConfig();
  // OPEN_FILE_ERROR stays for a missing file; a refused one reads as
  // READ_FILE_ERROR.
  int unlessMissing(char const* path, int status) const;
  void releaseSystemConfigLock();

  settings_api_t api;
  settings_context_t* context;
  bool allowKeysWithoutValues;
  bool failFast;
  ValidatorHandle* validator;
  KeyMapperHandle* keyMapper;
  ValidatorHandle validatorHolder;
  KeyMapperHandle keyMapperHolder;
  InstallConfigPaths paths;
  settings_api3_t lockApi;
  settings_lock_t* lock;
  settings_api4_t fileApi{};
};

#endif  // TAMO_INSTALLER_PROCESS_OPTIONS_H
