#include "validator.h"

#include <algorithm>

#include "filename.h"
#include "status.h"
#include "value.h"

namespace settings_impl {

namespace {

char const* testValueIsNotNull(char const* value) {
  if (value == nullptr)
    throw ConfigValidator::InavlidValueError();
  return value;
}

// Keys and row texts become std::string, which must never see a null pointer.
char const* requireText(char const* text) {
  if (text == nullptr)
    throw std::invalid_argument("null text");
  return text;
}

class TypeValidator : public IConfigValueValidator {
 public:
  explicit TypeValidator(IConfig::Type type) : type(type) {}

  ConfigValue* validate(char const* value) const override {
    // A boolean key written without a value reads as "not set", not as an error.
    if (type == IConfig::BOOLEAN && value == nullptr)
      return nullptr;
    testValueIsNotNull(value);
    auto result = std::make_unique<ConfigValue>(type);
    result->init(value);
    return result.release();
  }

 private:
  IConfig::Type type;
};

class DirnameValidator : public IConfigValueValidator {
 public:
  explicit DirnameValidator(bool skipPathCheck) : skipPathCheck(skipPathCheck) {}

  ConfigValue* validate(char const* value) const override {
    testValueIsNotNull(value);
    if (!skipPathCheck && !isAbsoluteName(value))
      throw ConfigValidator::InavlidValueError();
    auto result = std::make_unique<ConfigValue>(IConfig::UTF8);
    try {
      result->init(value);
    } catch (settings::Exception const&) {
      throw ConfigValidator::InavlidValueError();
    }
    return result.release();
  }

 private:
  // Every refusal of the file name layer (bad encoding, empty name) means the
  // text is no directory name; other failures are not ours to reinterpret.
  static bool isAbsoluteName(char const* text) {
    try {
      std::vector<std::string> components;
      return Filename(text).tokenize(components);
    } catch (settings::Exception const&) {
      return false;
    }
  }

  bool skipPathCheck;
};

class FixedValueValidator : public IConfigValueValidator {
 public:
  // Whether a row accepts the held text.
  class equals {
   public:
    explicit equals(std::string text) : text(std::move(text)) {}

    bool operator()(FixedValueRow const& row) const {
      if (row.flags() & FixedValueRow::caseSensitive)
        return row.text == text;
      return equalsIgnoringAsciiCase(row.text, text);
    }

   private:
    std::string text;
  };

  explicit FixedValueValidator(FixedValueRows rows) : rows(std::move(rows)) {}

  ConfigValue* validate(char const* value) const override {
    testValueIsNotNull(value);
    // Searching from the back lets a later row override an earlier one.
    auto const match = std::find_if(rows.rbegin(), rows.rend(), equals(value));
    if (match == rows.rend())
      throw ConfigValidator::InavlidValueError();
    bool const useListedText = (match->flags() & FixedValueRow::useListedText) != 0;
    return new ConfigValue(match->value(), useListedText ? match->text.c_str() : value);
  }

 private:
  FixedValueRows rows;
};

// Deletes the rules of a map that has not been handed over yet.
class RuleMapGuard {
 public:
  explicit RuleMapGuard(ValidatorMap& rules) : rules(rules) {}
  ~RuleMapGuard() { deleteValues(rules); }
  RuleMapGuard(RuleMapGuard const&) = delete;
  RuleMapGuard& operator=(RuleMapGuard const&) = delete;

 private:
  ValidatorMap& rules;
};

void addRule(ValidatorMap& rules, std::string const& key,
             std::unique_ptr<IConfigValueValidator> rule) {
  setValue(rules, key.c_str(), rule);
}

}  // namespace

ConfigValidator::ConfigValidator(ValidatorMap& validators, bool allowUnknownKeys)
    : allowUnknownKeys(allowUnknownKeys) {
  this->validators.swap(validators);
}

ConfigValidator::~ConfigValidator() {
  deleteValues(validators);
}

std::unique_ptr<ConfigValue> ConfigValidator::validate(char const* key, char const* value) const {
  auto const rule = validators.find(requireText(key));
  if (rule != validators.end())
    return std::unique_ptr<ConfigValue>(rule->second->validate(value));
  if (!allowUnknownKeys)
    throw InavlidKeyError();
  auto result = std::make_unique<ConfigValue>(IConfig::UNTYPED);
  result->init(testValueIsNotNull(value));
  return result;
}

bool ConfigValidator::keepsUntyped(char const* key) const {
  return allowUnknownKeys && validators.find(requireText(key)) == validators.end();
}

void ConfigValidatorBuilder::setTypeValidator(char const* key, IConfig::Type type) {
  std::string const name = requireText(key);
  typeValidators[name] = type;
  dirnameValidators.erase(name);
  fixedValueValidators.erase(name);
}

void ConfigValidatorBuilder::setDirnameValidator(char const* key, bool skipPathCheck) {
  std::string const name = requireText(key);
  dirnameValidators[name] = skipPathCheck;
  typeValidators.erase(name);
  fixedValueValidators.erase(name);
}

void ConfigValidatorBuilder::addFixedValueValidator(char const* key, char const* text, int value,
                                                    int flags) {
  std::string const name = requireText(key);
  std::string const accepted = requireText(text);
  FixedValueRows& rows = fixedValueValidators[name];
  auto const same = std::find_if(rows.begin(), rows.end(),
                                 [&](FixedValueRow const& row) { return row.text == accepted; });
  if (same != rows.end()) {
    same->valueAndFlags = {value, flags};
  } else {
    rows.push_back(FixedValueRow{accepted, {value, flags}});
  }
  typeValidators.erase(name);
  dirnameValidators.erase(name);
}

void ConfigValidatorBuilder::deleteValidator(char const* key) {
  std::string const name = requireText(key);
  typeValidators.erase(name);
  dirnameValidators.erase(name);
  fixedValueValidators.erase(name);
}

std::unique_ptr<ConfigValidator> ConfigValidatorBuilder::createValidator() const {
  ValidatorMap rules;
  RuleMapGuard guard(rules);
  for (auto const& entry : typeValidators) {
    // An unknown key is stored untyped anyway, so such a rule would only cost a lookup.
    if (entry.second == IConfig::UNTYPED && allowUnknownKeys)
      continue;
    addRule(rules, entry.first, std::make_unique<TypeValidator>(entry.second));
  }
  for (auto const& entry : dirnameValidators) {
    addRule(rules, entry.first, std::make_unique<DirnameValidator>(entry.second));
  }
  for (auto const& entry : fixedValueValidators) {
    addRule(rules, entry.first, std::make_unique<FixedValueValidator>(entry.second));
  }
  return std::make_unique<ConfigValidator>(rules, allowUnknownKeys);
}

}  // namespace settings_impl
