// The writers' lock through the third table: who gets it, when, and on what.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tamo/settings.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
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

// A child that runs hold and keeps what it took until the test ends.
class Holder {
 public:
  explicit Holder(std::function<bool()> const& hold) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
      return;
    child = ::fork();
    if (child == 0) {
      char const held = hold() ? 1 : 0;
      if (::write(fds[1], &held, 1) == 1)
        ::pause();
      ::_exit(1);
    }
    ::close(fds[1]);
    char held = 0;
    ready = child > 0 && ::read(fds[0], &held, 1) == 1 && held == 1;
    ::close(fds[0]);
  }
  ~Holder() {
    if (child > 0 && ::kill(child, SIGKILL) == 0)
      ::waitpid(child, nullptr, 0);
  }
  bool ready = false;

 private:
  pid_t child = -1;
};

// What a writer of the last release meets: flock on the directory, in a
// child, without waiting; 0 or the errno.
int flockInChild(std::string const& directory) {
  return tamo_test::runInChild([] { return 0; },
                               [&] {
                                 int const fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
                                 return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
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

class LockHandover : public testing::TestWithParam<bool> {};

// The lock passes to the file a replacement puts under the name before it
// is there, and keeps writers of the last release out while it is held.
TEST_P(LockHandover, ExcludesWritersOfTheNewFileAndOldWriters) {
  tamo_test::TempDir dir;
  std::string const file = dir.file("a.cfg");
  if (GetParam())
    writeFile(file, "a=1\n");
  settings_lock_t* lock = nullptr;
  ASSERT_EQ(api.settings_lock_file(file.c_str(), 0, &lock), SETTINGS_NO_ERROR);
  ASSERT_EQ(api.settings_locked_file_replace(lock, "b=2\n", 4), SETTINGS_NO_ERROR);
  EXPECT_EQ(lockInChild(file, 0), SETTINGS_LOCKED_ERROR);
  EXPECT_EQ(flockInChild(dir.path()), EWOULDBLOCK);
  EXPECT_EQ(api.settings_lock_release(lock), SETTINGS_NO_ERROR);
  EXPECT_EQ(lockInChild(file, 0), SETTINGS_NO_ERROR);
}

INSTANTIATE_TEST_SUITE_P(Files, LockHandover, testing::Bool(),
                         [](auto const& info) { return info.param ? "Existing" : "New"; });

// What another process holds on an existing file while a writer locks it
// and, once it has the lock, replaces the text.
struct HeldCase {
  char const* name;
  bool (*hold)(std::string const& file);  // in the other process; true once held
  int wait;
  int status;
  int reason;
};

// A user who may read the directory and the file but not write the file
// takes every lock open to it.
bool holdAsReader(std::string const& file) {
  settings_lock_t* lock = nullptr;
  if (::setgroups(0, nullptr) != 0 || ::setgid(1000) != 0 || ::setuid(1000) != 0)
    return false;
  int const fd = ::open(file.c_str(), O_RDONLY);
  return api.settings_lock_file(file.c_str(), 0, &lock) == SETTINGS_NO_ERROR &&
         ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// Every other open waits for the kernel's lease-break time (45 s by
// default) while the holder ignores the signal to let go.
bool holdLease(std::string const& file) {
  int const fd = ::open(file.c_str(), O_RDONLY);
  return ::signal(SIGIO, SIG_IGN) != SIG_ERR && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
}

class HeldByAnother : public testing::TestWithParam<HeldCase> {};

TEST_P(HeldByAnother, GivesItsStatusWithinTheWait) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root: the other process is another user";
  tamo_test::TempDir dir;
  std::string const file = dir.file("a.cfg");
  writeFile(file, "a=1\n");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  settings_api4_t api4{};
  settings_api4_get(&api4);
  settings_file_report_t report{};
  int status = -1;
  {
    Holder other([&] { return GetParam().hold(file); });
    ASSERT_TRUE(other.ready);
    settings_lock_t* lock = nullptr;
    status = api4.settings_file_lock(file.c_str(), GetParam().wait, &lock, &report);
    if (status == SETTINGS_NO_ERROR) {
      EXPECT_EQ(api.settings_locked_file_replace(lock, "b=2\n", 4), SETTINGS_NO_ERROR);
      EXPECT_EQ(api.settings_lock_release(lock), SETTINGS_NO_ERROR);
    }
  }
  EXPECT_EQ(status, GetParam().status);
  EXPECT_EQ(report.reason, GetParam().reason);
  EXPECT_EQ(readFile(file), status == SETTINGS_NO_ERROR ? "b=2\n" : "a=1\n");
}

INSTANTIATE_TEST_SUITE_P(Files, HeldByAnother,
                         testing::Values(HeldCase{"ReaderCannotMakeAWriterWait", holdAsReader, 0,
                                                  SETTINGS_NO_ERROR, SETTINGS_PATH_NO_REASON},
                                         HeldCase{"LeaseIsBusyNotWaitedFor", holdLease, 200,
                                                  SETTINGS_LOCKED_ERROR, SETTINGS_PATH_BUSY}),
                         [](auto const& info) { return std::string(info.param.name); });

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
