// A test build of the platform layer routes every call through this
// injector, which counts and names the calls and, when armed, makes one of
// them fail with a chosen errno or kills the process just before it.
#ifndef TAMO_TESTS_INJECTION_INJECTOR_H
#define TAMO_TESTS_INJECTION_INJECTOR_H

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
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
  // When set, every call of these names (separated by blanks) fails with
  // refusedError, uncounted: a system that lacks what the calls need.
  std::string refusedCall;
  int refusedError = 0;
  // When set, counting starts at the first call of this name.
  std::string countFrom;
  // When set, each counted call's name is appended to this file at once,
  // so that a process that dies still leaves its calls behind.
  std::string record;
};

inline Plan failAt(std::size_t call, int error) {
  Plan plan;
  plan.at = call;
  plan.error = error;
  return plan;
}

inline Plan killAt(std::size_t call, std::function<void()> beforeKill = {}) {
  Plan plan;
  plan.at = call;
  plan.beforeKill = std::move(beforeKill);
  return plan;
}

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
