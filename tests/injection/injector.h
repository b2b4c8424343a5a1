// A test build of the platform layer routes every call through this
// injector, which counts and names the calls and, when armed, makes one of
// them fail with a chosen errno or kills the process just before it.
#ifndef TAMO_TESTS_INJECTION_INJECTOR_H
#define TAMO_TESTS_INJECTION_INJECTOR_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tamo_test {
namespace injection {

// A plan's call number meaning: kill once the export has returned.
constexpr std::size_t kAfterLastCall = static_cast<std::size_t>(-1);

struct Plan {
  std::size_t at = 0;  // the 1-based call to act on; 0 acts on none
  int error = 0;       // errno of the failure; 0 kills the process instead
  // Runs just before the kill, e.g. to shut the file system down.
  std::function<void()> beforeKill;
};

// Starts counting afresh with the plan; disarm stops acting and counting.
void arm(Plan plan);
void disarm();
// The names of the calls made since the last arm, in order.
std::vector<std::string> const& calls();

// Called by the routed platform functions: records the call and returns
// true (errno set) when it is the one to fail.
bool intercept(char const* call);

}  // namespace injection
}  // namespace tamo_test

#endif  // TAMO_TESTS_INJECTION_INJECTOR_H
