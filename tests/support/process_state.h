// Process-wide state that tests set or count: the umask and the open
// descriptors.
#ifndef TAMO_TESTS_SUPPORT_PROCESS_STATE_H
#define TAMO_TESTS_SUPPORT_PROCESS_STATE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace tamo_test {

// Sets the umask for a scope and restores the previous one.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : saved(::umask(mask)) {}
  ~UmaskScope() { ::umask(saved); }
  UmaskScope(UmaskScope const&) = delete;
  UmaskScope& operator=(UmaskScope const&) = delete;

 private:
  mode_t saved;
};

// The entries of /proc/self/fd: compare counts taken around a piece of code
// to see that it leaves no descriptor open.
std::size_t openDescriptorCount();

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_PROCESS_STATE_H
