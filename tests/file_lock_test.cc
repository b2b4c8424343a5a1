// The writers' lock through the third table: who gets it, when, and on what.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tamo/settings.h>
#include <unistd.h>

#include <string>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using tamo_test::readFile;
using tamo_test::writeFile;

settings_api3_t table() {
  settings_api3_t api{};
  settings_api3_get(&api);
  return api;
}

settings_api3_t const api = table();

// In a child, so that the lock is another open file description: the
// status settings_lock_file gives there with a wait of milliseconds.
int lockInChild(std::string const& file, int milliseconds) {
  return tamo_test::runInChild([] { return 0; },
                               [&] {
                                 settings_lock_t* lock = nullptr;
                                 int const status =
                                     api.settings_lock_file(file.c_str(), milliseconds, &lock);
                                 if (status == SETTINGS_NO_ERROR)
                                   api.settings_lock_release(lock);
                                 return status;
                               },
                               -1, -2);
}

struct RefusalCase {
  char const* name;
  char const* file;  // under the test's directory; null for a null name
  int wait;
  bool nullOut;
  int status;
};

class LockRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(LockRefusal, GivesItsStatusAndNoHandle) {
  tamo_test::TempDir dir;
  RefusalCase const& c = GetParam();
  std::string const file = c.file != nullptr ? dir.file(c.file) : "";
  settings_lock_t* lock = nullptr;
  EXPECT_EQ(api.settings_lock_file(c.file != nullptr ? file.c_str() : nullptr, c.wait,
                                   c.nullOut ? nullptr : &lock),
            c.status);
  EXPECT_EQ(lock, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, LockRefusal,
    testing::Values(
        RefusalCase{"NullName", nullptr, 0, false, SETTINGS_INVALID_ARGUMENT_ERROR},
        RefusalCase{"NullHandle", "a.cfg", 0, true, SETTINGS_INVALID_ARGUMENT_ERROR},
        RefusalCase{"NegativeWait", "a.cfg", -1, false, SETTINGS_INVALID_ARGUMENT_ERROR},
        RefusalCase{"Backslash", "a\\b.cfg", 0, false, SETTINGS_INVALID_FILENAME_ERROR},
        RefusalCase{"MissingDirectory", "missing/a.cfg", 0, false, SETTINGS_OPEN_FILE_ERROR}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(WriterLock, ExcludesOtherWritersOfTheDirectoryUntilReleased) {
  tamo_test::TempDir dir;
  settings_lock_t* lock = nullptr;
  ASSERT_EQ(api.settings_lock_file(dir.file("a.cfg").c_str(), 0, &lock), SETTINGS_NO_ERROR);
  EXPECT_EQ(lockInChild(dir.file("a.cfg"), 0), SETTINGS_LOCKED_ERROR);
  EXPECT_EQ(lockInChild(dir.file("other.cfg"), 50), SETTINGS_LOCKED_ERROR);
  EXPECT_EQ(api.settings_lock_release(lock), SETTINGS_NO_ERROR);
  EXPECT_EQ(api.settings_lock_release(nullptr), SETTINGS_INVALID_ARGUMENT_ERROR);
  EXPECT_EQ(lockInChild(dir.file("a.cfg"), 0), SETTINGS_NO_ERROR);
  EXPECT_FALSE(tamo_test::exists(dir.file("a.cfg"))) << "a lock leaves nothing on disk";
}

TEST(WriterLock, ReadsAMissingFileAsNoneAndWritesThroughTheHandle) {
  tamo_test::TempDir dir;
  settings_lock_t* lock = nullptr;
  ASSERT_EQ(api.settings_lock_file(dir.file("a.cfg").c_str(), 0, &lock), SETTINGS_NO_ERROR);
  char const* text = "unset";
  size_t size = 7;
  ASSERT_EQ(api.settings_locked_file_read(lock, &text, &size), SETTINGS_NO_ERROR);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(api.settings_locked_file_replace(lock, "a=1\n", 4), SETTINGS_NO_ERROR);
  ASSERT_EQ(api.settings_locked_file_replace(lock, "a=2\n", 4), SETTINGS_NO_ERROR);
  ASSERT_EQ(api.settings_locked_file_read(lock, &text, &size), SETTINGS_NO_ERROR);
  EXPECT_EQ(std::string(text, size), "a=2\n");
  EXPECT_EQ(api.settings_lock_release(lock), SETTINGS_NO_ERROR);
}

// A writer that waited on a directory renamed away meanwhile writes where
// the name leads now, under the lock of that directory.
TEST(WriterLock, DirectoryReplacedDuringTheWaitIsLockedAfresh) {
  tamo_test::TempDir dir;
  std::string const conf = dir.file("conf");
  ASSERT_EQ(mkdir(conf.c_str(), 0755), 0);
  settings_lock_t* holder = nullptr;
  ASSERT_EQ(api.settings_lock_file((conf + "/a.cfg").c_str(), 0, &holder), SETTINGS_NO_ERROR);
  // A process sharing the holder's lock swaps the directory, then lets go.
  pid_t const swapper = fork();
  if (swapper == 0) {
    usleep(200000);
    bool const swapped =
        rename(conf.c_str(), (conf + ".old").c_str()) == 0 && mkdir(conf.c_str(), 0755) == 0;
    api.settings_lock_release(holder);
    _exit(swapped ? 0 : 1);
  }
  int const status = tamo_test::runInChild(
      [] { return 0; },
      [&] {
        settings_lock_t* lock = nullptr;
        int result = api.settings_lock_file((conf + "/a.cfg").c_str(), 5000, &lock);
        if (result == SETTINGS_NO_ERROR)
          result = api.settings_locked_file_replace(lock, "new=1\n", 6);
        if (result == SETTINGS_NO_ERROR)
          result = api.settings_lock_release(lock);
        return result;
      },
      -1, -2);
  int swapped = -1;
  ASSERT_EQ(waitpid(swapper, &swapped, 0), swapper);
  ASSERT_TRUE(WIFEXITED(swapped) && WEXITSTATUS(swapped) == 0);
  api.settings_lock_release(holder);
  EXPECT_EQ(status, SETTINGS_NO_ERROR);
  EXPECT_EQ(readFile(conf + "/a.cfg"), "new=1\n");
  EXPECT_FALSE(tamo_test::exists(conf + ".old/a.cfg"));
}

TEST(WriterLock, ExistingFileThatCannotBeOpenedIsAReadErrorNotAMissingFile) {
  tamo_test::TempDir dir;
  std::string const file = dir.file("a.cfg");
  writeFile(file, "a=1\n");
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  int const status = tamo_test::runWithoutDacOverride([&] {
    settings_lock_t* lock = nullptr;
    int result = api.settings_lock_file(file.c_str(), 0, &lock);
    if (result != SETTINGS_NO_ERROR)
      return result;
    char const* text = nullptr;
    size_t size = 0;
    result = api.settings_locked_file_read(lock, &text, &size);
    api.settings_lock_release(lock);
    return result;
  });
  EXPECT_EQ(status, SETTINGS_READ_FILE_ERROR);
}

}  // namespace
