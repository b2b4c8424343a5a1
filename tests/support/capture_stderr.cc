#include "support/capture_stderr.h"

#include <gtest/gtest.h>

#include <iostream>

namespace tamo_test {

CaptureStderr::CaptureStderr() : active(true) {
  std::cerr.flush();
  testing::internal::CaptureStderr();
}

CaptureStderr::~CaptureStderr() {
  text();
}

std::string CaptureStderr::text() {
  if (active) {
    std::cerr.flush();
    captured = testing::internal::GetCapturedStderr();
    active = false;
  }
  return captured;
}

}  // namespace tamo_test
