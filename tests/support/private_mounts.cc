#include "support/private_mounts.h"

#include <sched.h>
#include <sys/mount.h>

#include <string>

#include "support/child_process.h"
#include "support/unprivileged.h"

namespace tamo_test {
namespace {

// Without MS_PRIVATE the mounts of the child would propagate to the host's
// shared mount points. Only an ordinary user may skip; root that is refused
// fails the test instead of hiding a broken setup as a skip.
int enterPrivateMounts() {
  int const refused = haveRoot() ? kPrivateMountsRefused : kNoPrivateMounts;
  if (::unshare(CLONE_NEWNS) != 0)
    return refused;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return refused;
  return 0;
}

}  // namespace

int runInPrivateMounts(std::function<int()> body) {
  return runInChild(enterPrivateMounts, body, kMountChildFailed, kMountChildDied);
}

bool mountTmpfs(std::string const& directory, unsigned long sizeBytes) {
  std::string options = "size=" + std::to_string(sizeBytes);
  return ::mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

bool bindMount(std::string const& source, std::string const& target) {
  return ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace tamo_test
