#include "key_mapper.h"

#include <stdexcept>

namespace settings_impl {

// Placeholder until the key mappers are built.
std::string KeyMapper::map(std::string const&) const {
  throw std::logic_error("key mappers are not built yet");
}

}  // namespace settings_impl
