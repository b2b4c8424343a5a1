#include "loop_mount.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tamo_test {

std::string attachLoop(std::string const& image, int& loopFd) {
  int const control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  int const backing = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  std::string device;
  for (int attempt = 0; control != -1 && backing != -1 && attempt < 10 && device.empty();
       ++attempt) {
    int const number = ::ioctl(control, LOOP_CTL_GET_FREE);
    std::string const name = "/dev/loop" + std::to_string(number);
    loopFd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    loop_config config{};
    config.fd = static_cast<__u32>(backing);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    if (number >= 0 && loopFd != -1 && ::ioctl(loopFd, LOOP_CONFIGURE, &config) == 0)
      device = name;
    else if (loopFd != -1)
      ::close(loopFd);
  }
  if (control != -1)
    ::close(control);
  if (backing != -1)
    ::close(backing);
  return device;
}

std::string loopMountUnavailable(FileSystemKind const& kind) {
  if (::geteuid() != 0)
    return "needs root: loop devices are mounted";
  if (::access("/dev/loop-control", F_OK) != 0)
    return "no loop devices here (/dev/loop-control is missing)";
  std::string const mkfs(kind.mkfs);
  std::string const command = "command -v " + mkfs.substr(0, mkfs.find(' ')) + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0)
    return std::string("no ") + kind.mkfs + " here; tools/install-deps installs it";
  return "";
}

std::string mountImage(FileSystemKind const& kind, std::string const& image,
                       std::string const& directory) {
  int const fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd == -1 || ::ftruncate(fd, kind.imageSize) != 0)
    return "cannot make the image " + image;
  ::close(fd);
  std::string const mkfs = std::string(kind.mkfs) + " " + image + " >/dev/null 2>&1";
  if (std::system(mkfs.c_str()) != 0)
    return mkfs + " failed";
  // The device's descriptor stays open for the life of the test process:
  // the device must stay attached until it is mounted, and is freed with the
  // mount.
  int loopFd = -1;
  std::string const device = attachLoop(image, loopFd);
  if (device.empty())
    return "no free loop device could be attached";
  if (::mount(device.c_str(), directory.c_str(), kind.name, 0, nullptr) != 0)
    return std::string("loop mounts of ") + kind.name + " refused here";
  return "";
}

}  // namespace tamo_test
