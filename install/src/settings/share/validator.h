// Per-key value rules: described on a mutable builder, snapshotted into an
// immutable validator that a parse borrows.
#ifndef TAMO_SETTINGS_SHARE_VALIDATOR_H
#define TAMO_SETTINGS_SHARE_VALIDATOR_H

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config.h"

namespace settings_impl {

class ConfigValue;

// The rule for one key.
class IConfigValueValidator {
 public:
  virtual ~IConfigValueValidator() = default;
  // A new value the caller owns, or null (a boolean rule given no value).
  // Raises ConfigValidator::InavlidValueError, or the ValueFormatError (302)
  // of a text the value readers refuse.
  virtual ConfigValue* validate(char const* value) const = 0;
};

using ValidatorMap = std::map<std::string, IConfigValueValidator*>;

class ConfigValidator {
 public:
  // The two errors carry an empty message and no code: whoever catches them
  // decides what they mean. (The misspelling is part of the names.)
  class Error : public std::runtime_error {
   public:
    Error() : std::runtime_error("") {}
  };
  class InavlidKeyError : public Error {};
  class InavlidValueError : public Error {};

  // Takes over every rule of validators, which is left empty.
  ConfigValidator(ValidatorMap& validators, bool allowUnknownKeys);
  ~ConfigValidator();
  ConfigValidator(ConfigValidator const&) = delete;
  ConfigValidator& operator=(ConfigValidator const&) = delete;

  // A new value for the key, or null when its rule stores no value. Raises
  // InavlidKeyError for a key without a rule when unknown keys are refused,
  // InavlidValueError for a refused (or null) value, and the ValueFormatError
  // (302) of a text the type's reader refuses.
  std::unique_ptr<ConfigValue> validate(char const* key, char const* value) const;
  // Whether validate would only check the key's text and keep it UNTYPED (a
  // key without a rule, unknown keys allowed), so that a store may keep the
  // text without making a value.
  bool keepsUntyped(char const* key) const;

 private:
  ValidatorMap validators;
  bool allowUnknownKeys;
};

// One accepted text of a fixed-value rule.
struct FixedValueRow {
  enum Flags : int {
    caseSensitive = 1,  // match only the identical bytes
    useListedText = 2,  // store the row's text, not the input
  };

  std::string text;
  std::pair<int, int> valueAndFlags;  // the integer stored, the flag bits

  int value() const { return valueAndFlags.first; }
  int flags() const { return valueAndFlags.second; }
};

using FixedValueRows = std::vector<FixedValueRow>;

// A key has at most one rule: every setter removes the key's other rules.
// Null keys and texts raise std::invalid_argument.
class ConfigValidatorBuilder {
 public:
  ConfigValidatorBuilder() = default;

  void setTypeValidator(char const* key, IConfig::Type type);
  void setDirnameValidator(char const* key, bool skipPathCheck);
  // Appends a row, or replaces value and flags of the row with the same text.
  void addFixedValueValidator(char const* key, char const* text, int value, int flags);
  void deleteValidator(char const* key);
  // A snapshot; the builder is unchanged and may create more.
  std::unique_ptr<ConfigValidator> createValidator() const;

  bool allowUnknownKeys = false;

 private:
  std::map<std::string, IConfig::Type> typeValidators;
  std::map<std::string, bool> dirnameValidators;
  std::map<std::string, FixedValueRows> fixedValueValidators;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_VALIDATOR_H
