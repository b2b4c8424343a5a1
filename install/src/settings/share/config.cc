#include "config.h"

#include <iterator>
#include <sstream>

#include "key_mapper.h"
#include "status.h"
#include "validator.h"
#include "value.h"

namespace settings_impl {

namespace {

class Config : public IConfig {
 public:
  Config() = default;
  ~Config() override { deleteValues(values); }
  Config(Config const&) = delete;
  Config& operator=(Config const&) = delete;

  Type getValueType(char const* key) const override { return valueOf(key).getType(); }
  bool hasValue(char const* key) const override { return entryOf(key) != nullptr; }
  char const* getUtf8Value(char const* key) const override { return valueOf(key).getUtf8(); }
  int getIntegerValue(char const* key) const override { return valueOf(key).getInteger(); }
  double getDoubleValue(char const* key) const override { return valueOf(key).getDouble(); }
  bool getBooleanValue(char const* key) const override { return valueOf(key).getBoolean(); }
  std::string toUtf8(char const* key) const override { return valueOf(key).getUtf8(); }
  std::vector<char const*> getKeys() const override;

  // Moves source's entries in; see ConfigBuilder::moveEntries.
  void takeEntries(Config& source) noexcept;

  ValueMap values;

 private:
  ValueMap::const_iterator find(char const* key) const;
  ConfigValue const* entryOf(char const* key) const;
  ConfigValue const& valueOf(char const* key) const;

  // Where the last successful lookup ended. Whole-configuration operations
  // walk the keys in order and ask several questions of each, so the same or
  // the next entry is found without a search.
  mutable ValueMap::const_iterator lastFound;
  mutable bool hasLastFound = false;
};

std::vector<char const*> Config::getKeys() const {
  std::vector<char const*> keys;
  keys.reserve(values.size());
  for (auto const& entry : values)
    keys.push_back(entry.first.c_str());
  return keys;
}

ValueMap::const_iterator Config::find(char const* key) const {
  if (hasLastFound) {
    if (lastFound->first == key)
      return lastFound;
    auto const next = std::next(lastFound);
    if (next != values.end() && next->first == key)
      return lastFound = next;
  }
  auto const it = values.find(std::string(key));
  if (it != values.end()) {
    lastFound = it;
    hasLastFound = true;
  }
  return it;
}

void Config::takeEntries(Config& source) noexcept {
  hasLastFound = false;
  source.hasLastFound = false;
  if (values.empty()) {
    values.swap(source.values);
    return;
  }
  while (!source.values.empty()) {
    auto entry = source.values.extract(source.values.begin());
    auto const it = values.lower_bound(entry.key());
    if (it == values.end() || it->first != entry.key()) {
      values.insert(it, std::move(entry));
      continue;
    }
    delete it->second;
    it->second = entry.mapped();
    entry.mapped() = nullptr;
  }
}

// The key's entry, null for a key held without a value.
ConfigValue const* Config::entryOf(char const* key) const {
  auto const it = find(key);
  if (it == values.end())
    throw KeyNotFoundError();
  return it->second;
}

ConfigValue const& Config::valueOf(char const* key) const {
  ConfigValue const* value = entryOf(key);
  if (value == nullptr)
    throw TypeMismatchError();
  return *value;
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

bool isUtf8(std::string const& text) {
  char const* last = text.data() + text.size();
  return validateUtf8Sequence(text.data(), last) == last;
}

}  // namespace

ConfigBuilder::ConfigBuilder(CursorFormatter cursorFormatter, ConfigValidator const* validator,
                             KeyMapper const* keyMapper, IParserErrorListener* errorListener)
    : cursorFormatter(cursorFormatter),
      validator(validator),
      keyMapper(keyMapper),
      errorListener(errorListener) {}

ConfigBuilder::~ConfigBuilder() {
  deleteValues(values);
}

// Comments are accepted and dropped.
bool ConfigBuilder::onComment(IParserCursor const&, char const*) {
  return true;
}

int ConfigBuilder::onValue(IParserCursor const&, char const* key, char const* value) {
  std::string const mappedKey = keyMapper ? keyMapper->map(std::string(key)) : std::string(key);
  // Values are checked on their own, and so must keys be: a key that is not
  // UTF-8 by itself would make the whole written file unreadable next time.
  if (!isUtf8(mappedKey))
    return PARSE_INVALID_KEY;

  std::unique_ptr<ConfigValue> entry;
  if (value != nullptr) {
    try {
      if (validator) {
        entry = validator->validate(mappedKey.c_str(), value);
      } else {
        entry.reset(new ConfigValue(IConfig::UNTYPED));
        entry->init(value);
      }
    } catch (ConfigValidator::InavlidKeyError const&) {
      return PARSE_INVALID_KEY;
    } catch (ConfigValidator::InavlidValueError const&) {
      return PARSE_INVALID_VALUE;
    } catch (settings::Exception const&) {
      return PARSE_INVALID_VALUE;
    }
  }
  setValue(values, mappedKey.c_str(), entry);
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

std::unique_ptr<IConfig> ConfigBuilder::createConfig(ValueMap& values) {
  std::unique_ptr<Config> config(new Config);
  config->values.swap(values);
  return config;
}

bool ConfigBuilder::moveEntries(IConfig& target, IConfig& source) noexcept {
  auto* const to = dynamic_cast<Config*>(&target);
  auto* const from = dynamic_cast<Config*>(&source);
  if (to == nullptr || from == nullptr || to == from)
    return false;
  to->takeEntries(*from);
  return true;
}

ValueMap const* ConfigBuilder::entriesOf(IConfig const& config) noexcept {
  auto const* const own = dynamic_cast<Config const*>(&config);
  return own != nullptr ? &own->values : nullptr;
}

std::unique_ptr<IConfig> ConfigBuilder::createEmptyConfig() {
  return std::unique_ptr<IConfig>(new Config);
}

}  // namespace settings_impl
