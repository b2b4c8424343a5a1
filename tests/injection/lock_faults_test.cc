// What the writers' lock makes of each answer the kernel's flock can give.
#include <gtest/gtest.h>
#include <tamo/settings.h>

#include <cerrno>
#include <string>

#include "injector.h"
#include "support/temp_dir.h"

namespace {

namespace injection = tamo_test::injection;

struct FlockCase {
  char const* name;
  int error;
  int status;
  // The lock of a file that does not exist is flock on its directory; that
  // of an existing one, fcntl on the file itself.
  char const* call = "flock";
};

class FlockAnswer : public testing::TestWithParam<FlockCase> {};

TEST_P(FlockAnswer, BecomesItsStatus) {
  tamo_test::TempDir dir;
  settings_api3_t api{};
  settings_api3_get(&api);
  if (std::string(GetParam().call) != "flock")
    tamo_test::writeFile(dir.file("a.cfg"), "a=1\n");
  injection::Plan plan;
  plan.countFrom = GetParam().call;
  plan.at = 1;
  plan.error = GetParam().error;
  injection::arm(plan);
  settings_lock_t* lock = nullptr;
  int const status = api.settings_lock_file(dir.file("a.cfg").c_str(), 0, &lock);
  injection::disarm();
  EXPECT_EQ(status, GetParam().status);
  if (lock != nullptr) {
    EXPECT_EQ(api.settings_lock_release(lock), SETTINGS_NO_ERROR);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FlockAnswer,
    testing::Values(
        FlockCase{"InterruptedIsRetried", EINTR, SETTINGS_NO_ERROR},
        FlockCase{"NoLocksOnTheFileSystem", ENOLCK, SETTINGS_LOCK_REFUSED_ERROR},
        FlockCase{"NotSupported", EOPNOTSUPP, SETTINGS_LOCK_REFUSED_ERROR},
        FlockCase{"NetworkByteLocksWantWriting", EBADF, SETTINGS_LOCK_REFUSED_ERROR},
        FlockCase{"HeldElsewhere", EWOULDBLOCK, SETTINGS_LOCKED_ERROR},
        FlockCase{"AnyOtherFailure", EIO, SETTINGS_OPEN_FILE_ERROR},
        FlockCase{"FileInterrupted", EINTR, SETTINGS_NO_ERROR, "lockOpenFile"},
        FlockCase{"FileNoLocks", ENOLCK, SETTINGS_LOCK_REFUSED_ERROR, "lockOpenFile"},
        FlockCase{"FileHeldElsewhere", EAGAIN, SETTINGS_LOCKED_ERROR, "lockOpenFile"},
        FlockCase{"FileHeldAsPosixAllows", EACCES, SETTINGS_LOCKED_ERROR, "lockOpenFile"},
        FlockCase{"FileAnyOtherFailure", EIO, SETTINGS_OPEN_FILE_ERROR, "lockOpenFile"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(LockRelease, ReportsAFailedUnlock) {
  tamo_test::TempDir dir;
  settings_api3_t api{};
  settings_api3_get(&api);
  settings_lock_t* lock = nullptr;
  ASSERT_EQ(api.settings_lock_file(dir.file("a.cfg").c_str(), 0, &lock), SETTINGS_NO_ERROR);
  injection::Plan plan;
  plan.countFrom = "flock";
  plan.at = 1;
  plan.error = EIO;
  injection::arm(plan);
  int const status = api.settings_lock_release(lock);
  injection::disarm();
  EXPECT_EQ(status, SETTINGS_OPEN_FILE_ERROR);
  settings_lock_t* again = nullptr;
  EXPECT_EQ(api.settings_lock_file(dir.file("a.cfg").c_str(), 0, &again), SETTINGS_NO_ERROR)
      << "the lock is gone with the descriptor all the same";
  api.settings_lock_release(again);
}

}  // namespace
