// What the opaque handles of the C interface are, and the checks every entry
// point makes before it starts.
#ifndef TAMO_SETTINGS_SHARE_HANDLES_H
#define TAMO_SETTINGS_SHARE_HANDLES_H

#include <tamo/settings.h>

#include <memory>

#include "context.h"
#include "key_mapper.h"
#include "status.h"
#include "validator.h"

// The library allocates these itself, so each handle is the object.
struct settings_context_t : settings_impl::Context {};
struct settings_validator_builder_t : settings_impl::ConfigValidatorBuilder {};
struct settings_key_mapper_builder_t : settings_impl::KeyMapperBuilder {};

namespace settings_impl {

// Validators and key mappers come out of their builders already made, so their
// handles are those objects under a name that C callers cannot look into.
inline ConfigValidator const* fromHandle(settings_validator_t const* handle) noexcept {
  return reinterpret_cast<ConfigValidator const*>(handle);
}
inline settings_validator_t* toHandle(std::unique_ptr<ConfigValidator> validator) noexcept {
  return reinterpret_cast<settings_validator_t*>(validator.release());
}
inline KeyMapper const* fromHandle(settings_key_mapper_t const* handle) noexcept {
  return reinterpret_cast<KeyMapper const*>(handle);
}
inline settings_key_mapper_t* toHandle(std::unique_ptr<KeyMapper> keyMapper) noexcept {
  return reinterpret_cast<settings_key_mapper_t*>(keyMapper.release());
}

// Whether any of the required pointers is null. Every null gives the same
// status, so which one comes first does not matter to callers.
template <typename... Pointers>
bool anyNull(Pointers... pointers) noexcept {
  return ((pointers == nullptr) || ...);
}

inline int invalidArgument(SourceCodePos const& pos) noexcept {
  return onError(pos, SETTINGS_INVALID_ARGUMENT_ERROR);
}

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_HANDLES_H
