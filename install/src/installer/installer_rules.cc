#include "installer_rules.h"

#include <initializer_list>
#include <memory>

// Numbers match as typed; the words match in any letter case and are stored
// in their listed spelling, so the settings file always reads the same way.
settings_fixed_value_t const ENABLE_DISABLE_ARRAY[] = {
    {"1", 1, 0},
    {"0", 0, 0},
    {"Enable", 1, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
    {"Disable", 0, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
};
int const SIZE_ENABLE_DISABLE_ARRAY = sizeof ENABLE_DISABLE_ARRAY / sizeof ENABLE_DISABLE_ARRAY[0];

settings_fixed_value_t const SECURITY_LEVEL_ARRAY[] = {
    {"1", 1, 0},
    {"2", 2, 0},
    {"3", 3, 0},
    {"4", 4, 0},
    {"L", 1, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
    {"M", 2, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
    {"H", 3, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
    {"VH", 4, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
};
int const SIZE_SECURITY_LEVEL_ARRAY = sizeof SECURITY_LEVEL_ARRAY / sizeof SECURITY_LEVEL_ARRAY[0];

char const* const KEY_AUTO_UPDATE = "AUTO_UPDATE";
char const* const KEY_WEB_ANALYTICS = "WEB_ANALYTICS";
char const* const KEY_WEB_TAMO = "WEB_TAMO";
char const* const KEY_SECURITY_LEVEL = "WEB_TAMO_SECURITY_LEVEL";

int createInstallerValidator(settings_api_t const& api, settings_validator_t** validator) {
  auto freeBuilder = [&api](settings_validator_builder_t* builder) {
    api.validator_builder_free(builder);
  };
  std::unique_ptr<settings_validator_builder_t, decltype(freeBuilder)> builder(
      api.validator_builder_create(), freeBuilder);
  int status = SETTINGS_NO_ERROR;
  for (char const* key : {KEY_AUTO_UPDATE, KEY_WEB_TAMO, KEY_WEB_ANALYTICS}) {
    status = api.validator_builder_set_fixed_value_validator(
        builder.get(), key, ENABLE_DISABLE_ARRAY, SIZE_ENABLE_DISABLE_ARRAY);
    if (status != SETTINGS_NO_ERROR)
      return status;
  }
  status = api.validator_builder_set_fixed_value_validator(
      builder.get(), KEY_SECURITY_LEVEL, SECURITY_LEVEL_ARRAY, SIZE_SECURITY_LEVEL_ARRAY);
  if (status == SETTINGS_NO_ERROR)
    status = api.validator_builder_allow_unknown_keys(builder.get(), 1);
  if (status == SETTINGS_NO_ERROR)
    status = api.validator_builder_create_validator(builder.get(), validator);
  return status;
}

int createInstallerKeyMapper(settings_api_t const& api, settings_key_mapper_t** keyMapper) {
  auto freeBuilder = [&api](settings_key_mapper_builder_t* builder) {
    api.key_mapper_builder_free(builder);
  };
  std::unique_ptr<settings_key_mapper_builder_t, decltype(freeBuilder)> builder(
      api.key_mapper_builder_create(), freeBuilder);
  for (char const* key : {KEY_AUTO_UPDATE, KEY_WEB_TAMO, KEY_WEB_ANALYTICS, KEY_SECURITY_LEVEL}) {
    int const status = api.key_mapper_builder_map(builder.get(), key, key, 0);
    if (status != SETTINGS_NO_ERROR)
      return status;
  }
  return api.key_mapper_builder_create_key_mapper(builder.get(), keyMapper);
}
