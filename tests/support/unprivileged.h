// Runs test code in a forked child that is still uid 0 but has lost the
// capabilities that bypass file permission checks, so that the kernel
// refuses what the permission bits forbid even when the tests run as root.
#ifndef TAMO_TESTS_SUPPORT_UNPRIVILEGED_H
#define TAMO_TESTS_SUPPORT_UNPRIVILEGED_H

#include <functional>

namespace tamo_test {

// Results of runWithoutDacOverride that body itself never produces.
constexpr int kChildSetupFailed = -1000;  // fork, pipe or capset failed
constexpr int kChildDied = -1001;         // killed by a signal, or no result

// Whether the process runs with effective uid 0.
bool haveRoot();

// Runs body in a child without CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH
// (effective, permitted and inheritable sets) and returns the int body
// returned. body reports only through that result: assertions made in the
// child are lost with it. Works unprivileged too, where those capabilities
// are absent anyway.
int runWithoutDacOverride(std::function<int()> body);

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_UNPRIVILEGED_H
