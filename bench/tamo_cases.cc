#include "tamo_cases.h"

#include <sys/stat.h>

#include <array>
#include <new>
#include <stdexcept>

#include "process_options.h"

namespace tamo_bench {
namespace {

settings_api_t makeApi() {
  settings_api_t table{};
  settings_api_get(&table);
  return table;
}

void check(int status, char const* what) {
  if (status != SETTINGS_NO_ERROR) {
    throw std::runtime_error(std::string(what) + " returned " + std::to_string(status));
  }
}

struct FixedValueRule {
  char const* key;
  settings_fixed_value_t const* rows;
  int rowCount;
};

// The installer's rules, in the order it adds them.
std::array<FixedValueRule, 4> installerRules() {
  return {{
      {"AUTO_UPDATE", ENABLE_DISABLE_ARRAY, SIZE_ENABLE_DISABLE_ARRAY},
      {"WEB_TAMO", ENABLE_DISABLE_ARRAY, SIZE_ENABLE_DISABLE_ARRAY},
      {"WEB_ANALYTICS", ENABLE_DISABLE_ARRAY, SIZE_ENABLE_DISABLE_ARRAY},
      {"WEB_TAMO_SECURITY_LEVEL", SECURITY_LEVEL_ARRAY, SIZE_SECURITY_LEVEL_ARRAY},
  }};
}

settings_validator_t* makeInstallerValidator() {
  settings_validator_builder_t* builder = api().validator_builder_create();
  if (builder == nullptr)
    throw std::bad_alloc();
  settings_validator_t* validator = nullptr;
  int status = SETTINGS_NO_ERROR;
  for (FixedValueRule const& rule : installerRules()) {
    if (status == SETTINGS_NO_ERROR) {
      status = api().validator_builder_set_fixed_value_validator(builder, rule.key, rule.rows,
                                                                 rule.rowCount);
    }
  }
  if (status == SETTINGS_NO_ERROR)
    status = api().validator_builder_allow_unknown_keys(builder, 1);
  if (status == SETTINGS_NO_ERROR) {
    status = api().validator_builder_create_validator(builder, &validator);
  }
  api().validator_builder_free(builder);
  check(status, "building the installer's validator");
  return validator;
}

settings_key_mapper_t* makeInstallerKeyMapper() {
  settings_key_mapper_builder_t* builder = api().key_mapper_builder_create();
  if (builder == nullptr)
    throw std::bad_alloc();
  settings_key_mapper_t* keyMapper = nullptr;
  int status = SETTINGS_NO_ERROR;
  for (FixedValueRule const& rule : installerRules()) {
    if (status == SETTINGS_NO_ERROR) {
      status = api().key_mapper_builder_map(builder, rule.key, rule.key, 0);
    }
  }
  if (status == SETTINGS_NO_ERROR) {
    status = api().key_mapper_builder_create_key_mapper(builder, &keyMapper);
  }
  api().key_mapper_builder_free(builder);
  check(status, "building the installer's key mapper");
  return keyMapper;
}

// The owner-permission checks the installer makes before each file call.
bool ownerMay(char const* path, mode_t bit) {
  struct stat status;
  return ::stat(path, &status) != 0 || (status.st_mode & bit) != 0;
}

// The statuses on which the installer goes on after reading a file.
void checkReadGoesOn(int status, char const* what) {
  if (status != SETTINGS_OPEN_FILE_ERROR && status != SETTINGS_INVALID_VALUE_ERROR) {
    check(status, what);
  }
}

int importAsInstaller(Context& context, char const* path, InstallerRules const* rules) {
  return api().context_import_from_file(context.get(), path,
                                        rules != nullptr ? rules->validator() : nullptr,
                                        rules != nullptr ? rules->keyMapper() : nullptr, 0, 0);
}

}  // namespace

settings_api5_t makeApi5() {
  settings_api5_t table{};
  settings_api5_get(&table);
  return table;
}

settings_api_t const& api() {
  static settings_api_t const table = makeApi();
  return table;
}

settings_api5_t const& api5() {
  static settings_api5_t const table = makeApi5();
  return table;
}

InstallerRules::InstallerRules() : validatorHandle(makeInstallerValidator()) {
  try {
    keyMapperHandle = makeInstallerKeyMapper();
  } catch (...) {
    api().validator_free(validatorHandle);
    throw;
  }
}

InstallerRules::~InstallerRules() {
  api().key_mapper_free(keyMapperHandle);
  api().validator_free(validatorHandle);
}

Context::Context() : context(api().context_create()) {
  if (context == nullptr)
    throw std::bad_alloc();
}

Context::~Context() {
  api().context_free(context);
}

void Context::importFile(char const* path, InstallerRules const* rules) {
  check(importAsInstaller(*this, path, rules), "context_import_from_file");
}

void Context::importString(char const* text) {
  check(api().context_import_from_string(context, text, nullptr, nullptr, 0, 0),
        "context_import_from_string");
}

void Context::importFrom(Context const& source) {
  check(api().context_import_from_context(context, source.context), "context_import_from_context");
}

std::size_t Context::readEveryValue() const {
  struct Reading {
    std::size_t read = 0;
  } reading;
  auto const readValue = [](settings_context_t* context, int, int, char const* key, void* user) {
    char const* value = nullptr;
    if (api().context_get_utf8_value(context, key, &value) == 0 && value != nullptr)
      ++static_cast<Reading*>(user)->read;
  };
  check(api().context_iterate_keys(context, readValue, &reading), "context_iterate_keys");
  return reading.read;
}

void Context::exportTo(char const* path) {
  check(api().context_export_to_file(context, path), "context_export_to_file");
}

std::size_t Context::keyCount() const {
  std::size_t count = 0;
  auto const countKey = [](settings_context_t*, int, int, char const*, void* user) {
    ++*static_cast<std::size_t*>(user);
  };
  check(api().context_iterate_keys(context, countKey, &count), "context_iterate_keys");
  return count;
}

Layout::Layout(char const* mainName, std::string const& root,
               std::vector<std::string> const& hierarchies) {
  check(api5().settings_layout_create(mainName, &layout), "settings_layout_create");
  try {
    for (std::string const& hierarchy : hierarchies) {
      check(api5().settings_layout_add_hierarchy(layout, hierarchy.c_str()),
            "settings_layout_add_hierarchy");
    }
    check(api5().settings_layout_set_root(layout, root.c_str()), "settings_layout_set_root");
  } catch (...) {
    api5().settings_layout_free(layout);
    throw;
  }
}

Layout::~Layout() {
  api5().settings_layout_free(layout);
}

void Layout::importInto(Context& context) {
  check(api5().context_import_layout(context.get(), layout, nullptr, nullptr, 0, 0),
        "context_import_layout");
}

void importLayoutIntoNewContext(Layout& layout) {
  Context context;
  layout.importInto(context);
}

std::size_t importLayoutAndLookUp(Layout& layout, std::vector<std::string> const& keys) {
  Context context;
  layout.importInto(context);
  std::size_t found = 0;
  for (std::string const& key : keys) {
    char const* value = nullptr;
    if (api().context_get_utf8_value(context.get(), key.c_str(), &value) == 0 && value != nullptr)
      ++found;
  }
  return found;
}

void importIntoNewContext(char const* path, InstallerRules const* rules) {
  Context context;
  context.importFile(path, rules);
}

void importStringIntoNewContext(char const* text) {
  Context context;
  context.importString(text);
}

std::size_t importAndReadEveryValue(char const* path) {
  Context context;
  context.importFile(path, nullptr);
  return context.readEveryValue();
}

int runInstallerFlow(InstallerRules const& rules, char const* systemFile, char const* inputFile) {
  Context context;
  if (ownerMay(systemFile, S_IRUSR)) {
    checkReadGoesOn(importAsInstaller(context, systemFile, &rules), "reading the system file");
  }
  if (ownerMay(inputFile, S_IRUSR)) {
    checkReadGoesOn(importAsInstaller(context, inputFile, &rules), "reading the input file");
  }
  int empty = 1;
  check(api().context_is_empty(context.get(), &empty), "context_is_empty");
  if (empty == 0) {
    if (!ownerMay(systemFile, S_IWUSR))
      throw std::runtime_error("system file not writable");
    context.exportTo(systemFile);
  }
  int keysRead = 0;
  for (FixedValueRule const& rule : installerRules()) {
    int value = 0;
    if (api().context_get_integer_value(context.get(), rule.key, &value) == 0)
      ++keysRead;
  }
  return keysRead;
}

}  // namespace tamo_bench
