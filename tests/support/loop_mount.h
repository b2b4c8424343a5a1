// A file system image mounted through a loop device, for tests that must
// see how ext4 or xfs behave. For use inside runInPrivateMounts.
#ifndef TAMO_TESTS_SUPPORT_LOOP_MOUNT_H
#define TAMO_TESTS_SUPPORT_LOOP_MOUNT_H

#include <sys/types.h>

#include <string>

namespace tamo_test {

struct FileSystemKind {
  char const* name;  // as mount(2) takes it
  char const* mkfs;  // the command, given the image after it
  off_t imageSize;
};

FileSystemKind const kExt4{"ext4", "mkfs.ext4 -q -F", 32 << 20};
FileSystemKind const kXfs{"xfs", "mkfs.xfs -q -f", 320 << 20};

// Why such a mount cannot be made here ("" when it can be tried): no root,
// no loop devices, or no mkfs for the kind.
std::string loopMountUnavailable(FileSystemKind const& kind);

// Attaches image to a free loop device that the kernel detaches by itself
// once it is unmounted and loopFd closed, so that a test that dies leaves
// none behind. Returns the device's name, "" when none could be attached.
std::string attachLoop(std::string const& image, int& loopFd);

// Makes a file system of kind in image (created) and mounts it on directory
// through a loop device that the kernel detaches by itself once unmounted.
// Returns "" or why it failed.
std::string mountImage(FileSystemKind const& kind, std::string const& image,
                       std::string const& directory);

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_LOOP_MOUNT_H
