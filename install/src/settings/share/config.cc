#include "config.h"

#include <cstring>
#include <sstream>
#include <utility>

#include "key_mapper.h"
#include "status.h"
#include "validator.h"
#include "value.h"

namespace settings_impl {

namespace {

// Keyed reads go through the entry; an untyped text, held without a value
// object, is read the way ConfigValue reads an UNTYPED text.
class Config : public IConfig {
 public:
  Config() = default;
  Config(Config const&) = delete;
  Config& operator=(Config const&) = delete;

  Type getValueType(char const* key) const override;
  bool hasValue(char const* key) const override { return entryOf(key).hasValue(); }
  char const* getUtf8Value(char const* key) const override;
  int getIntegerValue(char const* key) const override;
  double getDoubleValue(char const* key) const override;
  bool getBooleanValue(char const* key) const override;
  std::string toUtf8(char const* key) const override { return getUtf8Value(key); }
  std::vector<char const*> getKeys() const override;

  // Moves source's entries in; see ConfigBuilder::moveEntries.
  bool takeEntries(Config& source) noexcept;
  // See ConfigBuilder::eraseEntry.
  bool eraseEntry(char const* key) noexcept;

  EntryList values;

 private:
  ConfigEntry const& entryOf(char const* key) const;
  // The entry of a key held with a value.
  ConfigEntry const& valueOf(char const* key) const;

  // Where the last successful lookup ended. Whole-configuration operations
  // walk the keys in order and ask several questions of each, so the same or
  // the next entry is found without a search.
  mutable ConfigEntry const* lastFound = nullptr;
};

IConfig::Type Config::getValueType(char const* key) const {
  ConfigEntry const& entry = valueOf(key);
  return entry.value != nullptr ? entry.value->getType() : UNTYPED;
}

char const* Config::getUtf8Value(char const* key) const {
  ConfigEntry const& entry = valueOf(key);
  return entry.value != nullptr ? entry.value->getUtf8() : entry.text;
}

int Config::getIntegerValue(char const* key) const {
  ConfigEntry const& entry = valueOf(key);
  return entry.value != nullptr ? entry.value->getInteger() : readUntypedInteger(entry.text);
}

double Config::getDoubleValue(char const* key) const {
  ConfigEntry const& entry = valueOf(key);
  return entry.value != nullptr ? entry.value->getDouble() : readUntypedDouble(entry.text);
}

bool Config::getBooleanValue(char const* key) const {
  ConfigEntry const& entry = valueOf(key);
  return entry.value != nullptr ? entry.value->getBoolean() : readUntypedBoolean(entry.text);
}

std::vector<char const*> Config::getKeys() const {
  std::vector<char const*> keys;
  keys.reserve(values.size());
  for (ConfigEntry const& entry : values)
    keys.push_back(entry.key);
  return keys;
}

bool Config::takeEntries(Config& source) noexcept {
  if (!values.takeEntries(source.values))
    return false;
  lastFound = nullptr;
  source.lastFound = nullptr;
  return true;
}

bool Config::eraseEntry(char const* key) noexcept {
  lastFound = nullptr;
  return values.eraseOne(key);
}

ConfigEntry const& Config::entryOf(char const* key) const {
  if (lastFound != nullptr) {
    if (std::strcmp(lastFound->key, key) == 0)
      return *lastFound;
    ConfigEntry const* const next = lastFound + 1;
    if (next != values.end() && std::strcmp(next->key, key) == 0)
      return *(lastFound = next);
  }
  ConfigEntry const* const found = values.find(key);
  if (found == nullptr)
    throw KeyNotFoundError();
  return *(lastFound = found);
}

ConfigEntry const& Config::valueOf(char const* key) const {
  ConfigEntry const& entry = entryOf(key);
  if (!entry.hasValue())
    throw TypeMismatchError();
  return entry;
}

char const* parseResultText(int code) {
  switch (code) {
    case PARSE_KEY_WITHOUT_VALUE:
      return "Key without value";
    case PARSE_EMPTY_KEY:
      return "Empty key";
    case PARSE_INVALID_KEY:
      return "Invalid key";
    case PARSE_INVALID_VALUE:
      return "Invalid value";
    case PARSE_INVALID_COMMENT:
      return "Invalid comment";
    default:
      return "Unknown error";
  }
}

bool isUtf8(char const* text, std::size_t size) {
  return validateUtf8Sequence(text, text + size) == text + size;
}

}  // namespace

ConfigBuilder::ConfigBuilder(CursorFormatter cursorFormatter, ConfigValidator const* validator,
                             KeyMapper const* keyMapper, IParserErrorListener* errorListener)
    : cursorFormatter(cursorFormatter),
      validator(validator),
      keyMapper(keyMapper),
      errorListener(errorListener) {}

ConfigBuilder::~ConfigBuilder() = default;

char* ConfigBuilder::adoptText(std::unique_ptr<char[]> text, std::size_t size,
                               std::size_t expectedEntries) {
  values.reserve(values.size() + expectedEntries);
  return values.adopt(std::move(text), size);
}

// Comments are accepted and dropped.
bool ConfigBuilder::onComment(IParserCursor const&, char const*) {
  return true;
}

// Keys and values cut from the adopted text are stored as they are; others
// (mapped keys, texts of other callers) are copied into the store first.
char const* ConfigBuilder::storedKey(char const* key) {
  if (keyMapper == nullptr) {
    std::size_t const size = std::strlen(key);
    // Values are checked on their own, and so must keys be: a key that is not
    // UTF-8 by itself would make the whole written file unreadable next time.
    if (!isUtf8(key, size))
      return nullptr;
    return values.isAdopted(key) ? key : values.keep(key, size);
  }
  std::string const mapped = keyMapper->map(std::string(key));
  if (!isUtf8(mapped.data(), mapped.size()))
    return nullptr;
  if (values.isAdopted(key) && mapped == key)
    return key;
  return values.keep(mapped.c_str());
}

int ConfigBuilder::onValue(IParserCursor const&, char const* key, char const* value) {
  char const* const stored = storedKey(key);
  if (stored == nullptr)
    return PARSE_INVALID_KEY;
  if (value == nullptr) {
    values.add(stored, nullptr, nullptr);
    return PARSE_ACCEPTED;
  }
  std::unique_ptr<ConfigValue> entry;
  try {
    if (validator && !validator->keepsUntyped(stored)) {
      entry = validator->validate(stored, value);
      values.add(stored, nullptr, std::move(entry));
      return PARSE_ACCEPTED;
    }
    std::size_t const size = std::strlen(value);
    if (!isUtf8(value, size))
      throw ValueFormatError();
    values.add(stored, values.isAdopted(value) ? value : values.keep(value, size), nullptr);
  } catch (ConfigValidator::InavlidKeyError const&) {
    return PARSE_INVALID_KEY;
  } catch (ConfigValidator::InavlidValueError const&) {
    return PARSE_INVALID_VALUE;
  } catch (settings::Exception const&) {
    return PARSE_INVALID_VALUE;
  }
  return PARSE_ACCEPTED;
}

void ConfigBuilder::onError(IParserCursor const& cursor, int code) {
  char const* text = parseResultText(code);
  if (errorListener == nullptr)
    return;
  std::ostringstream message;
  message << '"' << text << "\" at " << cursorFormatter(cursor);
  errorListener->onError(cursor, message.str().c_str());
}

std::unique_ptr<IConfig> ConfigBuilder::createConfig(EntryList& values) {
  std::unique_ptr<Config> config(new Config);
  values.order();
  config->values.swap(values);
  return config;
}

void setValue(EntryList& entries, char const* key, std::unique_ptr<ConfigValue>& value) {
  entries.add(entries.keep(key), nullptr, std::move(value));
}

bool ConfigBuilder::moveEntries(IConfig& target, IConfig& source) noexcept {
  auto* const to = dynamic_cast<Config*>(&target);
  auto* const from = dynamic_cast<Config*>(&source);
  if (to == nullptr || from == nullptr || to == from)
    return false;
  return to->takeEntries(*from);
}

bool ConfigBuilder::eraseEntry(IConfig& config, char const* key) noexcept {
  auto* const own = dynamic_cast<Config*>(&config);
  return own != nullptr && key != nullptr && own->eraseEntry(key);
}

EntryList const* ConfigBuilder::entriesOf(IConfig const& config) noexcept {
  auto const* const own = dynamic_cast<Config const*>(&config);
  return own != nullptr ? &own->values : nullptr;
}

std::unique_ptr<IConfig> ConfigBuilder::createEmptyConfig() {
  return std::unique_ptr<IConfig>(new Config);
}

}  // namespace settings_impl
