#include "config_ops.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "status.h"
#include "value.h"

namespace settings_impl {

namespace {

bool less(char const* a, char const* b) {
  return std::strcmp(a, b) < 0;
}

bool equal(char const* a, char const* b) {
  return std::strcmp(a, b) == 0;
}

// Owns the entries of a map until ConfigBuilder::createConfig takes them over.
class ValueMapGuard {
 public:
  explicit ValueMapGuard(ValueMap& values) : values(values) {}
  ~ValueMapGuard() { deleteValues(values); }
  ValueMapGuard(ValueMapGuard const&) = delete;
  ValueMapGuard& operator=(ValueMapGuard const&) = delete;

 private:
  ValueMap& values;
};

// A value of the same type, typed value and text as the key's, or null for a
// key held without a value.
std::unique_ptr<ConfigValue> copyValue(IConfig const& config, char const* key) {
  if (!config.hasValue(key))
    return nullptr;
  std::string const text = config.toUtf8(key);
  IConfig::Type const type = config.getValueType(key);
  switch (type) {
    case IConfig::UNTYPED:
    case IConfig::UTF8: {
      auto copy = std::make_unique<ConfigValue>(type);
      copy->init(text);
      return copy;
    }
    case IConfig::INTEGER:
      return std::make_unique<ConfigValue>(config.getIntegerValue(key), text.c_str());
    case IConfig::BOOLEAN:
      return std::make_unique<ConfigValue>(config.getBooleanValue(key), text.c_str());
    case IConfig::DOUBLE:
      return std::make_unique<ConfigValue>(config.getDoubleValue(key), text.c_str());
  }
  throw std::runtime_error("unexpected");
}

void update(ValueMap& values, IConfig const& config) {
  for (char const* key : config.getKeys()) {
    std::unique_ptr<ConfigValue> copy = copyValue(config, key);
    setValue(values, key, copy);
  }
}

bool isEqualValue(IConfig const& a, IConfig const& b, char const* key) {
  bool const aHasValue = a.hasValue(key);
  bool const bHasValue = b.hasValue(key);
  if (!aHasValue || !bHasValue)
    return aHasValue == bHasValue;
  IConfig::Type const type = a.getValueType(key);
  if (type != b.getValueType(key))
    return false;
  switch (type) {
    case IConfig::UNTYPED:
    case IConfig::UTF8:
      return equal(a.getUtf8Value(key), b.getUtf8Value(key));
    case IConfig::INTEGER:
      return a.getIntegerValue(key) == b.getIntegerValue(key);
    case IConfig::BOOLEAN:
      return a.getBooleanValue(key) == b.getBooleanValue(key);
    case IConfig::DOUBLE:
      return a.getDoubleValue(key) == b.getDoubleValue(key);
  }
  throw std::runtime_error("unexpected");
}

char const* requireKey(char const* key) {
  if (key == nullptr)
    throw std::invalid_argument("null key");
  return key;
}

}  // namespace

void sortKeys(KeyList& keys) {
  std::sort(keys.begin(), keys.end(), less);
}

KeyList getSortedKeys(IConfig const& config) {
  KeyList keys = config.getKeys();
  sortKeys(keys);
  return keys;
}

bool isEqual(KeyList const& a, KeyList const& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), equal);
}

bool isEqualValues(IConfig const& a, IConfig const& b, KeyList const& keys) {
  try {
    return std::all_of(keys.begin(), keys.end(),
                       [&](char const* key) { return isEqualValue(a, b, key); });
  } catch (KeyNotFoundError const&) {
    return false;
  }
}

std::unique_ptr<IConfig> mergeConfigs(IConfig const& first, IConfig const& second) {
  ValueMap values;
  ValueMapGuard guard(values);
  update(values, first);
  update(values, second);
  return ConfigBuilder::createConfig(values);
}

std::unique_ptr<IConfig> eraseKeys(IConfig const& config, KeyList const& keys, bool mustExist) {
  ValueMap values;
  ValueMapGuard guard(values);
  update(values, config);
  if (mustExist) {
    for (char const* key : keys) {
      if (values.find(requireKey(key)) == values.end())
        throw KeyNotFoundError();
    }
  }
  for (char const* key : keys) {
    auto const entry = values.find(requireKey(key));
    if (entry == values.end())
      continue;
    std::unique_ptr<ConfigValue> erased(entry->second);
    values.erase(entry);
  }
  return ConfigBuilder::createConfig(values);
}

std::unique_ptr<IConfig> eraseKey(IConfig const& config, char const* key) {
  return eraseKeys(config, KeyList{key}, true);
}

}  // namespace settings_impl

bool operator==(settings_impl::IConfig const& a, settings_impl::IConfig const& b) {
  if (&a == &b)
    return true;
  settings_impl::KeyList const keys = settings_impl::getSortedKeys(a);
  if (!settings_impl::isEqual(keys, settings_impl::getSortedKeys(b)))
    return false;
  return settings_impl::isEqualValues(a, b, keys);
}
