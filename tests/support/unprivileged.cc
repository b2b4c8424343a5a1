#include "support/unprivileged.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tamo_test {

namespace {

bool dropDacCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0)
    return false;
  std::uint32_t const dac = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
  data[0].effective &= ~dac;
  data[0].permitted &= ~dac;
  data[0].inheritable &= ~dac;
  return ::syscall(SYS_capset, &header, data) == 0;
}

bool writeAll(int fd, void const* data, std::size_t size) {
  auto const* bytes = static_cast<char const*>(data);
  while (size > 0) {
    ssize_t const written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// The child never returns: it leaves through _exit so that nothing of the
// parent's test run (atexit handlers, stdio buffers) runs twice.
[[noreturn]] void runChild(int resultFd, std::function<int()> const& body) {
  int const result = dropDacCapabilities() ? body() : kChildSetupFailed;
  bool const sent = writeAll(resultFd, &result, sizeof result);
  ::_exit(sent ? 0 : 1);
}

int readResult(int fd) {
  int result = 0;
  std::size_t received = 0;
  auto* bytes = reinterpret_cast<char*>(&result);
  while (received < sizeof result) {
    ssize_t const got = ::read(fd, bytes + received, sizeof result - received);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return kChildDied;
    received += static_cast<std::size_t>(got);
  }
  return result;
}

}  // namespace

bool haveRoot() {
  return ::geteuid() == 0;
}

int runWithoutDacOverride(std::function<int()> body) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    return kChildSetupFailed;
  pid_t const child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    runChild(pipeFds[1], body);
  }
  ::close(pipeFds[1]);
  if (child < 0) {
    ::close(pipeFds[0]);
    return kChildSetupFailed;
  }
  int const result = readResult(pipeFds[0]);
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  bool const exitedWell = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return exitedWell ? result : kChildDied;
}

}  // namespace tamo_test
