#include "support/unprivileged.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "support/child_process.h"

namespace tamo_test {
namespace {

// 0 when the child has lost the capabilities, kChildSetupFailed otherwise.
int dropDacCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0)
    return kChildSetupFailed;
  std::uint32_t const dac = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
  data[0].effective &= ~dac;
  data[0].permitted &= ~dac;
  data[0].inheritable &= ~dac;
  return ::syscall(SYS_capset, &header, data) == 0 ? 0 : kChildSetupFailed;
}

}  // namespace

bool haveRoot() {
  return ::geteuid() == 0;
}

int runWithoutDacOverride(std::function<int()> body) {
  return runInChild(dropDacCapabilities, body, kChildSetupFailed, kChildDied);
}

}  // namespace tamo_test
