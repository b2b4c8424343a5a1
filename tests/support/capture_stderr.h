// Captures what the code under test writes to standard error (file
// descriptor 2 and std::cerr alike) for the lifetime of the object.
#ifndef TAMO_TESTS_SUPPORT_CAPTURE_STDERR_H
#define TAMO_TESTS_SUPPORT_CAPTURE_STDERR_H

#include <string>

namespace tamo_test {

class CaptureStderr {
 public:
  CaptureStderr();
  ~CaptureStderr();
  CaptureStderr(CaptureStderr const&) = delete;
  CaptureStderr& operator=(CaptureStderr const&) = delete;

  // Stops capturing (once) and returns everything captured.
  std::string text();

 private:
  bool active;
  std::string captured;
};

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_CAPTURE_STDERR_H
