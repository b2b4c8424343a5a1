// The installer's reading rules: which texts its four keys accept and how
// their names are matched. Shared by every tool that must read a file as the
// installer does, through the library's table only.
#ifndef TAMO_INSTALLER_INSTALLER_RULES_H
#define TAMO_INSTALLER_INSTALLER_RULES_H

#include <tamo/settings.h>

extern settings_fixed_value_t const ENABLE_DISABLE_ARRAY[];
extern int const SIZE_ENABLE_DISABLE_ARRAY;
extern settings_fixed_value_t const SECURITY_LEVEL_ARRAY[];
extern int const SIZE_SECURITY_LEVEL_ARRAY;

extern char const* const KEY_AUTO_UPDATE;
extern char const* const KEY_WEB_ANALYTICS;
extern char const* const KEY_WEB_TAMO;
extern char const* const KEY_SECURITY_LEVEL;

// *validator: fixed values for the four keys, every other key allowed
// unchecked. The builder is freed on every path; status as the table's.
int createInstallerValidator(settings_api_t const& api, settings_validator_t** validator);
// *keyMapper: each of the four keys to itself, in any letter case.
int createInstallerKeyMapper(settings_api_t const& api, settings_key_mapper_t** keyMapper);

#endif  // TAMO_INSTALLER_INSTALLER_RULES_H
