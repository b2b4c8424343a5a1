#include "support/process_state.h"

#include <filesystem>
#include <iterator>

namespace tamo_test {

std::size_t openDescriptorCount() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

}  // namespace tamo_test
