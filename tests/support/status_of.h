// The status of a library call made in a test.
#ifndef TAMO_TESTS_SUPPORT_STATUS_OF_H
#define TAMO_TESTS_SUPPORT_STATUS_OF_H

#include <tamo/settings.h>

#include "share/status.h"

namespace tamo_test {

constexpr int kNoException = SETTINGS_NO_ERROR;

// The code of the settings::Exception that call raises, or kNoException
// when it returns normally. Other exceptions pass through.
template <typename Call>
int statusOf(Call&& call) {
  try {
    call();
  } catch (settings::Exception const& e) {
    return e.code;
  }
  return kNoException;
}

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_STATUS_OF_H
