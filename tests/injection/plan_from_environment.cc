// The injecting build of the installer takes its plan from the environment,
// since the tool itself has no options: TAMO_INJECT_FROM (the call at which
// counting starts), TAMO_INJECT_AT (the call that fails), TAMO_INJECT_ERROR
// (its errno) and TAMO_INJECT_RECORD (where the counted calls are listed).
#include <cstdlib>
#include <string>

#include "injector.h"

namespace {

std::string fromEnvironment(char const* name) {
  char const* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

struct ArmFromEnvironment {
  ArmFromEnvironment() {
    tamo_test::injection::Plan plan;
    plan.countFrom = fromEnvironment("TAMO_INJECT_FROM");
    plan.record = fromEnvironment("TAMO_INJECT_RECORD");
    plan.at = std::strtoul(fromEnvironment("TAMO_INJECT_AT").c_str(), nullptr, 10);
    plan.error = std::atoi(fromEnvironment("TAMO_INJECT_ERROR").c_str());
    if (plan.at != 0 || !plan.record.empty())
      tamo_test::injection::arm(plan);
  }
} const armFromEnvironment;

}  // namespace
