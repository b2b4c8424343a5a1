// The C interface: the function table and the context functions. The
// validator and key-mapper builder functions are in builder_handles.cc.
#include <tamo/settings.h>

#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "config_ops.h"
#include "context.h"
#include "handles.h"
#include "status.h"

using settings_impl::anyNull;
using settings_impl::fromHandle;
using settings_impl::IConfig;
using settings_impl::invalidArgument;
using settings_impl::translateExceptions;

namespace {

// Owned copies, so that a callback may change the context, and with it the
// configuration whose key texts getKeys points into.
std::vector<std::string> copyKeys(IConfig const& config) {
  std::vector<char const*> const keys = config.getKeys();
  return std::vector<std::string>(keys.begin(), keys.end());
}

int countOf(std::size_t size) {
  return static_cast<int>(size);
}

}  // namespace

settings_context_t* context_create(void) noexcept {
  try {
    return new (std::nothrow) settings_context_t();
  } catch (...) {
    // The allocation itself does not throw; making the empty configuration
    // and the path may, and the new-expression has released the memory.
    return nullptr;
  }
}

void context_free(settings_context_t* context) noexcept {
  delete context;
}

int context_get_system_config_file_path(settings_context_t* context, char const** path) noexcept {
  if (anyNull(context, path))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS,
                             [&] { *path = context->getSystemConfigFilePath().c_str(); });
}

int context_import_from_file(settings_context_t* context, char const* fileName,
                             settings_validator_t const* validator,
                             settings_key_mapper_t const* keyMapper, int failFast,
                             int allowKeysWithoutValues) noexcept {
  if (anyNull(context, fileName))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    context->importFromFile(fileName, fromHandle(validator), fromHandle(keyMapper), failFast != 0,
                            allowKeysWithoutValues != 0);
  });
}

int context_import_from_string(settings_context_t* context, char const* text,
                               settings_validator_t const* validator,
                               settings_key_mapper_t const* keyMapper, int failFast,
                               int allowKeysWithoutValues) noexcept {
  if (anyNull(context, text))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    context->importFromString(text, fromHandle(validator), fromHandle(keyMapper), failFast != 0,
                              allowKeysWithoutValues != 0);
  });
}

int context_import_from_context(settings_context_t* context,
                                settings_context_t const* source) noexcept {
  if (anyNull(context, source))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { context->importFrom(*source); });
}

int context_get_last_import_errors(settings_context_t* context,
                                   settings_error_desc_t const** errors, int* count) noexcept {
  if (anyNull(context, errors, count))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    auto const& records = context->getImportErrors();
    *errors = records.empty() ? nullptr : records.data();
    *count = countOf(records.size());
  });
}

int context_export_to_file(settings_context_t* context, char const* fileName) noexcept {
  if (anyNull(context, fileName))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { context->exportToFile(fileName); });
}

int context_is_empty(settings_context_t* context, int* value) noexcept {
  if (anyNull(context, value))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    bool const empty = context->getConfig().getKeys().empty();
    *value = empty ? 1 : 0;
  });
}

int context_is_equal(settings_context_t* context, settings_context_t const* other,
                     int* value) noexcept {
  if (anyNull(context, other, value))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    bool const equal = context->getConfig() == other->getConfig();
    *value = equal ? 1 : 0;
  });
}

int context_iterate_keys(settings_context_t* context, settings_key_callback_t callback,
                         void* userData) noexcept {
  if (anyNull(context, callback))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    std::vector<std::string> const keys = copyKeys(context->getConfig());
    int const count = countOf(keys.size());
    for (int index = 0; index < count; ++index) {
      callback(context, count, index, keys[index].c_str(), userData);
    }
  });
}

int context_get_utf8_value(settings_context_t* context, char const* key,
                           char const** value) noexcept {
  if (anyNull(context, key, value))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    char const* const text = context->getConfig().getUtf8Value(key);
    *value = text;
  });
}

int context_get_boolean_value(settings_context_t* context, char const* key, int* value) noexcept {
  if (anyNull(context, key, value))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    IConfig const& config = context->getConfig();
    // A key written without a value is a switch that is on.
    bool const result = !config.hasValue(key) || config.getBooleanValue(key);
    *value = result ? 1 : 0;
  });
}

int context_get_integer_value(settings_context_t* context, char const* key, int* value) noexcept {
  if (anyNull(context, key, value))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    int const result = context->getConfig().getIntegerValue(key);
    *value = result;
  });
}

int context_get_double_value(settings_context_t* context, char const* key, double* value) noexcept {
  if (anyNull(context, key, value))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    double const result = context->getConfig().getDoubleValue(key);
    *value = result;
  });
}

int context_erase_key(settings_context_t* context, char const* key) noexcept {
  if (anyNull(context, key))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { context->eraseKey(key); });
}

namespace {

// Filled in slot order; the assertions below keep the header's field order
// from drifting away from it.
constexpr settings_api_t kApi = {
    context_create,
    context_free,
    context_get_system_config_file_path,
    context_import_from_file,
    context_import_from_string,
    context_import_from_context,
    context_get_last_import_errors,
    context_export_to_file,
    context_is_empty,
    context_is_equal,
    context_iterate_keys,
    context_get_utf8_value,
    context_get_boolean_value,
    context_get_integer_value,
    context_get_double_value,
    context_erase_key,
    validator_free,
    validator_builder_create,
    validator_builder_free,
    validator_builder_create_validator,
    validator_builder_set_utf8_validator,
    validator_builder_set_integer_validator,
    validator_builder_set_boolean_validator,
    validator_builder_set_double_validator,
    validator_builder_allow_unknown_keys,
    validator_builder_set_fixed_value_validator,
    validator_builder_set_dirname_validator,
    key_mapper_free,
    key_mapper_builder_create,
    key_mapper_builder_free,
    key_mapper_builder_create_key_mapper,
    key_mapper_builder_map,
};

constexpr std::size_t kSlotSize = sizeof(void (*)(void));
constexpr std::size_t kSlotCount = 32;
static_assert(sizeof(settings_api_t) == kSlotCount * kSlotSize, "the table has 32 slots");

#define TAMO_ASSERT_SLOT(field, index) \
  static_assert(offsetof(settings_api_t, field) == (index)*kSlotSize, #field " moved")

TAMO_ASSERT_SLOT(context_create, 0);
TAMO_ASSERT_SLOT(context_free, 1);
TAMO_ASSERT_SLOT(context_get_system_config_file_path, 2);
TAMO_ASSERT_SLOT(context_import_from_file, 3);
TAMO_ASSERT_SLOT(context_import_from_string, 4);
TAMO_ASSERT_SLOT(context_import_from_context, 5);
TAMO_ASSERT_SLOT(context_get_last_import_errors, 6);
TAMO_ASSERT_SLOT(context_export_to_file, 7);
TAMO_ASSERT_SLOT(context_is_empty, 8);
TAMO_ASSERT_SLOT(context_is_equal, 9);
TAMO_ASSERT_SLOT(context_iterate_keys, 10);
TAMO_ASSERT_SLOT(context_get_utf8_value, 11);
TAMO_ASSERT_SLOT(context_get_boolean_value, 12);
TAMO_ASSERT_SLOT(context_get_integer_value, 13);
TAMO_ASSERT_SLOT(context_get_double_value, 14);
TAMO_ASSERT_SLOT(context_erase_key, 15);
TAMO_ASSERT_SLOT(validator_free, 16);
TAMO_ASSERT_SLOT(validator_builder_create, 17);
TAMO_ASSERT_SLOT(validator_builder_free, 18);
TAMO_ASSERT_SLOT(validator_builder_create_validator, 19);
TAMO_ASSERT_SLOT(validator_builder_set_utf8_validator, 20);
TAMO_ASSERT_SLOT(validator_builder_set_integer_validator, 21);
TAMO_ASSERT_SLOT(validator_builder_set_boolean_validator, 22);
TAMO_ASSERT_SLOT(validator_builder_set_double_validator, 23);
TAMO_ASSERT_SLOT(validator_builder_allow_unknown_keys, 24);
TAMO_ASSERT_SLOT(validator_builder_set_fixed_value_validator, 25);
TAMO_ASSERT_SLOT(validator_builder_set_dirname_validator, 26);
TAMO_ASSERT_SLOT(key_mapper_free, 27);
TAMO_ASSERT_SLOT(key_mapper_builder_create, 28);
TAMO_ASSERT_SLOT(key_mapper_builder_free, 29);
TAMO_ASSERT_SLOT(key_mapper_builder_create_key_mapper, 30);
TAMO_ASSERT_SLOT(key_mapper_builder_map, 31);

#undef TAMO_ASSERT_SLOT

}  // namespace

void settings_api_get(settings_api_t* api) noexcept {
  if (api != nullptr)
    *api = kApi;
}
