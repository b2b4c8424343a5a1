#include "validator.h"

#include "value.h"

namespace settings_impl {

// Placeholders until the validators are built.
ConfigValidator::~ConfigValidator() = default;
std::unique_ptr<ConfigValue> ConfigValidator::validate(char const*, char const*) const {
  throw std::logic_error("validators are not built yet");
}

}  // namespace settings_impl
