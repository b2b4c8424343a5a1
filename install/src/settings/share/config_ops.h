// Operations on whole configurations. Each result is a new configuration
// with values of its own; the arguments are only read.
#ifndef TAMO_SETTINGS_SHARE_CONFIG_OPS_H
#define TAMO_SETTINGS_SHARE_CONFIG_OPS_H

#include <memory>
#include <vector>

#include "config.h"

namespace settings_impl {

using KeyList = std::vector<char const*>;

// Ascending byte order.
void sortKeys(KeyList& keys);
KeyList getSortedKeys(IConfig const& config);
// Same length and, position by position, the same texts.
bool isEqual(KeyList const& a, KeyList const& b);
// Whether both hold the same typed value (or both no value) for each key.
bool isEqualValues(IConfig const& a, IConfig const& b, KeyList const& keys);

// Every key of both; where both hold a key, second's entry wins.
std::unique_ptr<IConfig> mergeConfigs(IConfig const& first, IConfig const& second);
// A copy without the listed keys. With mustExist a key that config does not
// hold raises KeyNotFoundError (303) and nothing is returned.
std::unique_ptr<IConfig> eraseKeys(IConfig const& config, KeyList const& keys, bool mustExist);
std::unique_ptr<IConfig> eraseKey(IConfig const& config, char const* key);

}  // namespace settings_impl

// Same keys with the same typed values (not texts: "0x10" equals "16" as integers).
bool operator==(settings_impl::IConfig const& a, settings_impl::IConfig const& b);

#endif  // TAMO_SETTINGS_SHARE_CONFIG_OPS_H
