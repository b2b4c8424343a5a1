#include "support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tamo_test {
namespace {

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

bool readAll(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    ssize_t const got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

[[noreturn]] void runChild(int resultFd, std::function<int()> const& prepare,
                           std::function<int()> const& body) {
  int result = prepare();
  if (result == 0)
    result = body();
  ::_exit(writeAll(resultFd, &result, sizeof result) ? 0 : 1);
}

}  // namespace

int runInChild(std::function<int()> const& prepare, std::function<int()> const& body,
               int setupFailed, int childDied) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return setupFailed;
  pid_t const child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    runChild(fds[1], prepare, body);
  }
  ::close(fds[1]);
  if (child < 0) {
    ::close(fds[0]);
    return setupFailed;
  }
  int result = 0;
  bool const received = readAll(fds[0], &result, sizeof result);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  bool const exitedWell = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return received && exitedWell ? result : childDied;
}

}  // namespace tamo_test
