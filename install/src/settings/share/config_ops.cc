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

// A value of the same type, typed value and text as value.
std::unique_ptr<ConfigValue> cloneValue(ConfigValue const& value) {
  IConfig::Type const type = value.getType();
  switch (type) {
    case IConfig::UNTYPED:
    case IConfig::UTF8: {
      auto copy = std::make_unique<ConfigValue>(type);
      copy->init(value.getUtf8());
      return copy;
    }
    case IConfig::INTEGER:
      return std::make_unique<ConfigValue>(value.getInteger(), value.getUtf8());
    case IConfig::BOOLEAN:
      return std::make_unique<ConfigValue>(value.getBoolean(), value.getUtf8());
    case IConfig::DOUBLE:
      return std::make_unique<ConfigValue>(value.getDouble(), value.getUtf8());
  }
  throw std::runtime_error("unexpected");
}

void appendCopy(EntryList& entries, ConfigEntry const& entry) {
  char const* const key = entries.keep(entry.key);
  if (entry.value != nullptr) {
    entries.add(key, nullptr, cloneValue(*entry.value));
  } else {
    entries.add(key, entry.text != nullptr ? entries.keep(entry.text) : nullptr, nullptr);
  }
}

// Appends a copy of every entry of config in its key order. The library's
// own configurations are walked entry by entry; any other is read key by key.
void update(EntryList& entries, IConfig const& config) {
  if (EntryList const* own = ConfigBuilder::entriesOf(config)) {
    entries.reserve(entries.size() + own->size());
    for (ConfigEntry const& entry : *own)
      appendCopy(entries, entry);
    return;
  }
  for (char const* key : config.getKeys()) {
    char const* const kept = entries.keep(key);
    entries.add(kept, nullptr, copyValue(config, key));
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

// Two of the library's own configurations are walked side by side, copying
// only the entries that stay; createConfig then finds them in order.
void mergeOwn(EntryList& entries, EntryList const& first, EntryList const& second) {
  entries.reserve(first.size() + second.size());
  ConfigEntry const* from = first.begin();
  ConfigEntry const* over = second.begin();
  while (from != first.end() && over != second.end()) {
    int const order = std::strcmp(from->key, over->key);
    if (order < 0) {
      appendCopy(entries, *from++);
      continue;
    }
    if (order == 0)
      ++from;
    appendCopy(entries, *over++);
  }
  for (; from != first.end(); ++from)
    appendCopy(entries, *from);
  for (; over != second.end(); ++over)
    appendCopy(entries, *over);
}

// Otherwise the copies of both are two ascending runs, which createConfig
// merges in one linear pass, second's entry last and so winning.
std::unique_ptr<IConfig> mergeConfigs(IConfig const& first, IConfig const& second) {
  EntryList entries;
  EntryList const* const ownFirst = ConfigBuilder::entriesOf(first);
  EntryList const* const ownSecond = ConfigBuilder::entriesOf(second);
  if (ownFirst != nullptr && ownSecond != nullptr) {
    mergeOwn(entries, *ownFirst, *ownSecond);
  } else {
    update(entries, first);
    update(entries, second);
  }
  return ConfigBuilder::createConfig(entries);
}

std::unique_ptr<IConfig> eraseKeys(IConfig const& config, KeyList const& keys, bool mustExist) {
  EntryList entries;
  update(entries, config);
  entries.order();
  if (mustExist) {
    for (char const* key : keys) {
      if (entries.find(requireKey(key)) == nullptr)
        throw KeyNotFoundError();
    }
  }
  for (char const* key : keys)
    requireKey(key);
  entries.erase(keys);
  return ConfigBuilder::createConfig(entries);
}

std::unique_ptr<IConfig> eraseKey(IConfig const& config, char const* key) {
  return eraseKeys(config, KeyList{key}, true);
}

}  // namespace settings_impl

namespace settings_impl {
namespace {

// The library's own configurations hold their keys in byte order already:
// walked side by side, they are compared without a list of keys or a sort.
bool isEqualOwn(IConfig const& a, EntryList const& ownA, IConfig const& b, EntryList const& ownB) {
  if (ownA.size() != ownB.size())
    return false;
  if (!std::equal(ownA.begin(), ownA.end(), ownB.begin(),
                  [](ConfigEntry const& x, ConfigEntry const& y) {
                    return std::strcmp(x.key, y.key) == 0;
                  }))
    return false;
  ConfigEntry const* other = ownB.begin();
  try {
    return std::all_of(ownA.begin(), ownA.end(), [&](ConfigEntry const& entry) {
      ConfigEntry const& counterpart = *other++;
      // Two untyped texts, the common case, need no lookup.
      if (entry.text != nullptr && counterpart.text != nullptr)
        return std::strcmp(entry.text, counterpart.text) == 0;
      return isEqualValue(a, b, entry.key);
    });
  } catch (KeyNotFoundError const&) {
    return false;
  }
}

}  // namespace
}  // namespace settings_impl

bool operator==(settings_impl::IConfig const& a, settings_impl::IConfig const& b) {
  if (&a == &b)
    return true;
  settings_impl::EntryList const* const ownA = settings_impl::ConfigBuilder::entriesOf(a);
  settings_impl::EntryList const* const ownB = settings_impl::ConfigBuilder::entriesOf(b);
  if (ownA != nullptr && ownB != nullptr)
    return settings_impl::isEqualOwn(a, *ownA, b, *ownB);
  settings_impl::KeyList const keys = settings_impl::getSortedKeys(a);
  if (!settings_impl::isEqual(keys, settings_impl::getSortedKeys(b)))
    return false;
  return settings_impl::isEqualValues(a, b, keys);
}
