#include "share/status.h"

#include <gtest/gtest.h>

namespace {
TEST(StatusPlaceholder, Builds) {
  SUCCEED();
}
}  // namespace
