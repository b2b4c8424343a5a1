#include "support/private_mounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace tamo_test {
namespace {

bool readAll(int fd, void* buffer, size_t size) {
  char* at = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t got = ::read(fd, at, size);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Without MS_PRIVATE the mounts of the child would propagate to the host's
// shared mount points.
int enterPrivateMounts() {
  if (::unshare(CLONE_NEWNS) != 0)
    return kNoPrivateMounts;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return kNoPrivateMounts;
  return 0;
}

[[noreturn]] void runChild(int resultFd, std::function<int()> const& body) {
  int result = enterPrivateMounts();
  if (result == 0)
    result = body();
  bool sent = ::write(resultFd, &result, sizeof result) == static_cast<ssize_t>(sizeof result);
  ::_exit(sent ? 0 : 1);
}

}  // namespace

int runInPrivateMounts(std::function<int()> body) {
  int fds[2];
  if (::pipe(fds) != 0)
    return kMountChildFailed;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    runChild(fds[1], body);
  }
  ::close(fds[1]);
  if (child < 0) {
    ::close(fds[0]);
    return kMountChildFailed;
  }
  int result = 0;
  bool received = readAll(fds[0], &result, sizeof result);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return received ? result : kMountChildDied;
}

bool mountTmpfs(std::string const& directory, unsigned long sizeBytes) {
  std::string options = "size=" + std::to_string(sizeBytes);
  return ::mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

bool bindMount(std::string const& source, std::string const& target) {
  return ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace tamo_test
