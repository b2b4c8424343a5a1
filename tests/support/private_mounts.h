// Runs test code in a forked child with a mount namespace of its own, so that
// the code may mount file systems without the host ever seeing them.
#ifndef TAMO_TESTS_SUPPORT_PRIVATE_MOUNTS_H
#define TAMO_TESTS_SUPPORT_PRIVATE_MOUNTS_H

#include <functional>
#include <string>

namespace tamo_test {

// Results of runInPrivateMounts that body itself never produces.
constexpr int kNoPrivateMounts = -2000;       // not root: no mount namespace allowed
constexpr int kMountChildFailed = -2001;      // fork or pipe failed
constexpr int kMountChildDied = -2002;        // killed by a signal, or no result
constexpr int kPrivateMountsRefused = -2003;  // root, yet the namespace was refused

// Runs body in a child that left the parent's mount namespace and made every
// mount in it private, and returns the int body returned. body reports only
// through that result: assertions made in the child are lost with it.
int runInPrivateMounts(std::function<int()> body);

// For use inside body: mounts a tmpfs of sizeBytes on directory, or binds
// source over target. They return whether the mount succeeded.
bool mountTmpfs(std::string const& directory, unsigned long sizeBytes);
bool bindMount(std::string const& source, std::string const& target);

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_PRIVATE_MOUNTS_H
