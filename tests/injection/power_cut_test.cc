// A power cut at every call of an export: on a loop-mounted ext4 and xfs the
// file system is shut down without flushing its log just before the call,
// the exporting process is killed, and the file system is mounted again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <linux/types.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "export_scenario.h"
#include "support/loop_mount.h"
#include "support/private_mounts.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using tamo_test::Scenario;
namespace injection = tamo_test::injection;

// The shutdown request that ext4 and xfs share, and its flag for "do not
// write the log first", which is what a power cut leaves.
constexpr unsigned long kShutdown = _IOR('X', 125, __u32);
constexpr __u32 kNoLogFlush = 2;

struct FileSystem {
  char const* name;
  char const* mkfs;  // the command, given the image after it
  off_t imageSize;
};

void PrintTo(FileSystem const& fs, std::ostream* out) {
  *out << fs.name;
}

class PowerCut : public testing::TestWithParam<FileSystem> {
 protected:
  tamo_test::TempDir dir;
  std::string image = dir.file("image");
  std::string mountPoint = dir.file("mnt");
};

// Checks in the child that owns the mounts report on standard error and
// count; the child's result is the count.
struct Checks {
  int failures = 0;
  void expect(bool ok, std::string const& what) {
    if (!ok) {
      std::cerr << "power cut: " << what << '\n';
      ++failures;
    }
  }
};

int cutAtEveryCall(FileSystem const& fs, std::string const& device, std::string const& mnt) {
  Checks checks;
  auto mount = [&] { return ::mount(device.c_str(), mnt.c_str(), fs.name, 0, nullptr) == 0; };
  std::string const root = mnt + "/root";
  auto shutDown = [&] {
    int fd = ::open(mnt.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    __u32 flags = kNoLogFlush;
    if (fd == -1 || ::ioctl(fd, kShutdown, &flags) != 0)
      std::perror("shutting the file system down");
  };
  for (Scenario const& scenario : tamo_test::exportScenarios()) {
    if (scenario.runner != Scenario::Runner::Plain)
      continue;
    tamo_test::Outcome base;
    auto fresh = [&] {
      std::filesystem::remove_all(root);
      bool ok = ::mkdir(root.c_str(), 0755) == 0 && scenario.prepare(root);
      base = tamo_test::outcomeBefore(scenario, root);
      ::sync();
      return ok;
    };
    std::vector<std::string> clean;
    int status = fresh() ? tamo_test::exportInChild(scenario, root, {}, &clean) : -1;
    checks.expect(status == 0 && !clean.empty(),
                  std::string(scenario.name) + ": clean export gave " + std::to_string(status));
    if (status != 0 || clean.empty())
      return -1;
    std::size_t renameAt = clean.size();
    std::size_t namedAt = clean.size();
    for (std::size_t i = 0; i < clean.size(); ++i)
      if (clean[i] == "openExclusiveAt")
        namedAt = i;
    std::size_t linkedAt = clean.size();
    for (std::size_t i = 0; i < clean.size(); ++i)
      if (clean[i] == "linkEmptyPath" || clean[i] == "linkUnnamed")
        linkedAt = std::min(linkedAt, i);
    for (std::size_t i = 0; i < clean.size(); ++i)
      if (clean[i] == "renameAt")
        renameAt = i;
    for (std::size_t i = 0; i <= clean.size(); ++i) {
      bool const afterSuccess = i == clean.size();
      std::string const where = std::string(fs.name) + " " + scenario.name + ": cut before " +
                                (afterSuccess ? "return" : clean[i]) + " (call " +
                                std::to_string(i + 1) + ")";
      checks.expect(fresh(), where + ": could not lay the files out");
      injection::Plan plan =
          injection::killAt(afterSuccess ? injection::kAfterLastCall : i + 1, shutDown);
      int status = tamo_test::exportInChild(scenario, root, plan);
      if (::umount(mnt.c_str()) != 0 || !mount()) {
        checks.expect(false, where + ": could not mount again: " + std::strerror(errno));
        return -1;
      }
      tamo_test::Outcome expected = base;
      expected.mayBeNew = renameAt < clean.size() && i > renameAt;
      // A named staging file, the fallback, survives a cut from its creation
      // until the directory is synced; a linked one from its link to the rename.
      expected.mayLeaveHidden = !afterSuccess && (namedAt < i || (linkedAt < i && i <= renameAt));
      std::string broken = tamo_test::contractBroken(scenario, root, expected, status);
      checks.expect(status < 0, where + ": the export did not die");
      checks.expect(broken.empty(), where + ": " + broken);
      if (afterSuccess)
        checks.expect(
            tamo_test::fileStateOf(root + "/" + scenario.inspected).text == tamo_test::kNewText,
            where + ": the new text was lost after success");
    }
  }
  return checks.failures;
}

TEST_P(PowerCut, LeavesTheOldOrTheNewTextAndNothingBeside) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root: the check mounts loop devices";
  ASSERT_TRUE(tamo_test::exists("/dev/loop-control"))
      << "no loop devices on this machine (/dev/loop-control is missing); this check needs them";
  ASSERT_EQ(0, ::mkdir(mountPoint.c_str(), 0700));
  {
    int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_NE(-1, fd);
    ASSERT_EQ(0, ::ftruncate(fd, GetParam().imageSize));
    ::close(fd);
  }
  std::string const mkfs = std::string(GetParam().mkfs) + " " + image + " >/dev/null";
  ASSERT_EQ(0, std::system(mkfs.c_str())) << mkfs << " failed; tools/install-deps installs it";
  int result = tamo_test::runInPrivateMounts([&] {
    int loopFd = -1;
    std::string device = tamo_test::attachLoop(image, loopFd);
    if (device.empty())
      return -100;
    // The open descriptor keeps the device attached between unmounting
    // and mounting again; closing it lets the kernel detach it.
    int failures = -101;
    if (::mount(device.c_str(), mountPoint.c_str(), GetParam().name, 0, nullptr) == 0) {
      failures = cutAtEveryCall(GetParam(), device, mountPoint);
      ::umount(mountPoint.c_str());
    }
    ::close(loopFd);
    return failures;
  });
  if (result == tamo_test::kNoPrivateMounts)
    GTEST_SKIP() << "no mount namespace allowed here";
  EXPECT_NE(-100, result) << "no free loop device could be attached";
  EXPECT_NE(-101, result) << "the loop device could not be mounted as " << GetParam().name;
  EXPECT_EQ(0, result) << "see the power cut lines on standard error";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, PowerCut,
                         testing::Values(FileSystem{"ext4", "mkfs.ext4 -q -F", 32 << 20},
                                         FileSystem{"xfs", "mkfs.xfs -q -f", 320 << 20}),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
