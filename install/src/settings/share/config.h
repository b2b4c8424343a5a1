// The configuration model: the read-only interface of a configuration, the
// parser's callback and cursor interfaces, and the builder that fills a new
// configuration while text is parsed.
#ifndef TAMO_SETTINGS_SHARE_CONFIG_H
#define TAMO_SETTINGS_SHARE_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "entry_list.h"

namespace settings_impl {

class ConfigValue;
class ConfigValidator;
class KeyMapper;

// A configuration: ordered keys (byte-wise), each with a typed value or with
// none. Keyed operations raise KeyNotFoundError (303) for an absent key and
// TypeMismatchError (301) for a key held without a value (except hasValue).
class IConfig {
 public:
  enum Type : std::int32_t {
    UNTYPED = 100,
    UTF8 = 101,
    INTEGER = 102,
    BOOLEAN = 103,
    DOUBLE = 104,
  };

  virtual ~IConfig() = default;
  virtual Type getValueType(char const* key) const = 0;
  virtual bool hasValue(char const* key) const = 0;
  // Valid while the configuration lives.
  virtual char const* getUtf8Value(char const* key) const = 0;
  virtual int getIntegerValue(char const* key) const = 0;
  virtual double getDoubleValue(char const* key) const = 0;
  virtual bool getBooleanValue(char const* key) const = 0;
  virtual std::string toUtf8(char const* key) const = 0;
  // Every key in ascending byte order, keys without values included; the
  // pointers are valid while the configuration lives.
  virtual std::vector<char const*> getKeys() const = 0;
};

// A position in parsed text: line and byte in the line, both from 0.
class IParserCursor {
 public:
  virtual ~IParserCursor() = default;

  std::int32_t line = 0;
  std::int32_t character = 0;
};

class IParserErrorListener {
 public:
  virtual ~IParserErrorListener() = default;
  // message is valid for the duration of the call.
  virtual void onError(IParserCursor const& cursor, char const* message) = 0;
};

// Line results that pass between the parser and its callback. They share
// numbers with status codes but are not status codes.
enum ParseResult : int {
  PARSE_ACCEPTED = 300,
  PARSE_KEY_WITHOUT_VALUE = 301,
  PARSE_EMPTY_KEY = 302,
  PARSE_INVALID_KEY = 303,
  PARSE_INVALID_VALUE = 304,
  PARSE_INVALID_COMMENT = 305,
};

class IConfigParserCallback {
 public:
  virtual ~IConfigParserCallback() = default;
  // False refuses the comment.
  virtual bool onComment(IParserCursor const& cursor, char const* text) = 0;
  // value is null for a key without a value. Returns a ParseResult.
  virtual int onValue(IParserCursor const& cursor, char const* key, char const* value) = 0;
  virtual void onError(IParserCursor const& cursor, int code) = 0;
};

// Makes value the key's entry, deleting an earlier value of the key. The
// pointer is taken out of value, which is left null.
template <typename Map, typename Value>
void setValue(Map& map, char const* key, std::unique_ptr<Value>& value) {
  typename Map::key_type text(key);
  // Keys that come in ascending order, as whole configurations hand them
  // over, go to the end without a search.
  auto it = map.end();
  if (map.empty() || map.key_comp()(std::prev(it)->first, text)) {
    it = map.emplace_hint(it, std::move(text), nullptr);
  } else {
    it = map.try_emplace(std::move(text), nullptr).first;
  }
  delete it->second;
  it->second = value.release();
}

// Empties map, then deletes every value it held, in key order.
template <typename Map>
void deleteValues(Map& map) {
  Map taken;
  taken.swap(map);
  for (auto& entry : taken) {
    delete entry.second;
    entry.second = nullptr;
  }
}

// Adds a copy of key with value (null for none) to entries, to be put in
// order by createConfig; the pointer is taken out of value.
void setValue(EntryList& entries, char const* key, std::unique_ptr<ConfigValue>& value);

// The parser's callback that collects a new configuration: maps each key,
// validates each value and reports refused lines as readable messages.
class ConfigBuilder : public IConfigParserCallback {
 public:
  using CursorFormatter = std::string (*)(IParserCursor const&);

  // validator, keyMapper and errorListener may be null and are only borrowed.
  ConfigBuilder(CursorFormatter cursorFormatter, ConfigValidator const* validator,
                KeyMapper const* keyMapper, IParserErrorListener* errorListener);
  ~ConfigBuilder() override;
  ConfigBuilder(ConfigBuilder const&) = delete;
  ConfigBuilder& operator=(ConfigBuilder const&) = delete;

  bool onComment(IParserCursor const& cursor, char const* text) override;
  int onValue(IParserCursor const& cursor, char const* key, char const* value) override;
  void onError(IParserCursor const& cursor, int code) override;

  // What has been collected so far, in the order of the lines; the parser
  // hands it to createConfig.
  EntryList& getValues() { return values; }
  // Takes the text about to be parsed (size bytes and a NUL) as the store of
  // the configuration being built and returns it for parsing in place: keys
  // and values the parser cuts from it are then kept without a copy. Room is
  // made for expectedEntries more entries at once, which growing would copy.
  char* adoptText(std::unique_ptr<char[]> text, std::size_t size, std::size_t expectedEntries);

  // A new configuration that takes over every entry of values, put in key
  // order (of repeated keys the last added wins); values is left empty. On
  // failure values is left as it was.
  static std::unique_ptr<IConfig> createConfig(EntryList& values);
  static std::unique_ptr<IConfig> createEmptyConfig();
  // Moves every entry of source into target, source's entry winning where
  // both hold a key: what mergeConfigs(target, source) would hold, without
  // copying a text, in one linear merge that cannot fail halfway. Pointers
  // into target and source become invalid; source is left empty. False, and
  // nothing changed, unless both are distinct configurations made here and
  // memory for the merged entries could be had.
  static bool moveEntries(IConfig& target, IConfig& source) noexcept;
  // Removes key's entry from a configuration made here, in place: what
  // eraseKey(config, key) would hold, without copying the other entries.
  // Pointers to that entry's key and value become invalid. False, and
  // nothing changed, for any other implementation of IConfig, a null key or
  // a key the configuration does not hold.
  static bool eraseEntry(IConfig& config, char const* key) noexcept;
  // The entries of a configuration made here, in key order, for walking keys
  // and values together; valid and unchanged while the configuration lives.
  // Null for any other implementation of IConfig.
  static EntryList const* entriesOf(IConfig const& config) noexcept;

 private:
  // The key to store, owned by values, or null for a key that is not UTF-8.
  char const* storedKey(char const* key);

  CursorFormatter cursorFormatter;
  ConfigValidator const* validator;
  KeyMapper const* keyMapper;
  IParserErrorListener* errorListener;
  EntryList values;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_CONFIG_H
