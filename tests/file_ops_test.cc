#include "share/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

#include "share/status.h"
#include "share/target_directory.h"
#include "support/process_state.h"
#include "support/status_of.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using namespace settings_impl;
using tamo_test::openDescriptorCount;
using tamo_test::statusOf;
using tamo_test::TempDir;
using tamo_test::UmaskScope;

Filename canonical(std::string const& path) {
  return Filename(path).canonicalize();
}

int closeCount = 0;
void countClose(int) {
  ++closeCount;
}
using CountingHandle = AutoHandle<int, countClose>;

TEST(AutoHandleTest, PassesAnOwnedValueToCloseExactlyOnce) {
  closeCount = 0;
  {
    CountingHandle first(7);
    CountingHandle second(std::move(first));
    CountingHandle third(8);
    third = std::move(second);  // closes 8
    EXPECT_EQ(closeCount, 1);
    CountingHandle released(9);
    EXPECT_EQ(released.release(), 9);
  }
  EXPECT_EQ(closeCount, 2);  // 7 once; 9 was given up
}

TEST(FileOpsTest, CreatesANewFileExclusively) {
  TempDir dir;
  UmaskScope mask(022);
  Filename const name = canonical(dir.file("new"));
  {
    IoHandle fd = createFile(name);
    ASSERT_EQ(::write(fd.get(), "x", 1), 1);
  }
  EXPECT_EQ(tamo_test::modeOf(dir.file("new")), 0644u);
  EXPECT_EQ(statusOf([&] { createFile(name); }), SETTINGS_OPEN_FILE_ERROR);
  EXPECT_EQ(tamo_test::readFile(dir.file("new")), "x");
}

TEST(FileOpsTest, MissingFilesFailWithAndWithoutExceptions) {
  TempDir dir;
  Filename const missing = canonical(dir.file("missing"));
  EXPECT_EQ(fopen(missing, "rb", std::nothrow).get(), nullptr);
  EXPECT_EQ(statusOf([&] { fopen(missing, "rb"); }), SETTINGS_OPEN_FILE_ERROR);
  EXPECT_EQ(remove(missing, std::nothrow), -1);
  EXPECT_EQ(statusOf([&] { remove(missing); }), SETTINGS_REMOVE_FILE_ERROR);
}

TEST(FileOpsTest, ReopenRewritesTheFileInPlace) {
  TempDir dir;
  tamo_test::writeFile(dir.file("cfg"), "old contents");
  ASSERT_EQ(::chmod(dir.file("cfg").c_str(), 0640), 0);
  Filename const name = canonical(dir.file("cfg"));
  StdioHandle held = fopen(name, "r");
  {
    StdioHandle reopened = freopen(name, "w", held);
    EXPECT_FALSE(held.isOwned());
    EXPECT_TRUE(reopened.isOwned());
    std::fputs("new", reopened.get());
  }
  EXPECT_EQ(tamo_test::readFile(dir.file("cfg")), "new");
  EXPECT_EQ(tamo_test::modeOf(dir.file("cfg")), 0640u);
}

TEST(FileOpsTest, EveryHandleIsClosedOnceWhateverFails) {
  TempDir dir;
  tamo_test::writeFile(dir.file("cfg"), "a=1\n");
  Filename const name = canonical(dir.file("cfg"));
  Filename const unreachable = canonical(dir.file("missing/cfg"));
  auto const before = openDescriptorCount();
  for (int round = 0; round < 50; ++round) {
    StdioHandle held = fopen(name, "r");
    EXPECT_EQ(statusOf([&] { freopen(unreachable, "w", held); }), SETTINGS_OPEN_FILE_ERROR);
    EXPECT_TRUE(held.isOwned());
    StdioHandle none = fopen(unreachable, "r", std::nothrow);
    EXPECT_EQ(statusOf([&] { freopen(name, "r", none); }), SETTINGS_OPEN_FILE_ERROR);
    StdioHandle first = fopen(name, "r");
    StdioHandle reopened = freopen(name, "r", first);
    EXPECT_EQ(statusOf([&] { createFile(name); }), SETTINGS_OPEN_FILE_ERROR);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(DirectoryTreeTest, CreatesOnlyTheMissingParentsWithOwnerOnlyAccess) {
  TempDir dir;
  UmaskScope mask(0);
  ASSERT_EQ(::mkdir(dir.file("a").c_str(), 0755), 0);
  ensureDirectoryTreeExist(canonical(dir.file("a/b/c/file")));
  EXPECT_EQ(tamo_test::modeOf(dir.file("a")), 0755u);
  EXPECT_EQ(tamo_test::modeOf(dir.file("a/b")), 0700u);
  EXPECT_EQ(tamo_test::modeOf(dir.file("a/b/c")), 0700u);
  EXPECT_FALSE(tamo_test::exists(dir.file("a/b/c/file")));
}

TEST(DirectoryTreeTest, AcceptsAPlainFileAsParentButNotBelowIt) {
  TempDir dir;
  tamo_test::writeFile(dir.file("plain"), "");
  EXPECT_EQ(statusOf([&] { ensureDirectoryTreeExist(canonical(dir.file("plain/file"))); }),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(statusOf([&] { ensureDirectoryTreeExist(canonical(dir.file("plain/sub/file"))); }),
            SETTINGS_INVALID_FILENAME_ERROR);
}

TEST(DirectoryTreeTest, RequiresACanonicalName) {
  TempDir dir;
  try {
    ensureDirectoryTreeExist(Filename(dir.file("a/file")));
    FAIL() << "a name made from a text was accepted";
  } catch (std::logic_error const& e) {
    EXPECT_STREQ(e.what(), "canonicalized file name expected");
  }
  EXPECT_FALSE(tamo_test::exists(dir.file("a")));
}

// The kernel's own refusals: run without the capabilities that let root
// ignore permission bits.
TEST(PermissionTest, RefusalsBecomeStatusCodes) {
  TempDir dir;
  tamo_test::writeFile(dir.file("locked"), "secret");
  ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0), 0);
  ASSERT_EQ(::mkdir(dir.file("readonly").c_str(), 0500), 0);
  Filename const locked = canonical(dir.file("locked"));
  Filename const inReadonly = canonical(dir.file("readonly/new"));
  Filename const belowReadonly = canonical(dir.file("readonly/sub/new"));

  EXPECT_EQ(tamo_test::runWithoutDacOverride(
                [&] { return fopen(locked, "r", std::nothrow).get() == nullptr ? 0 : 1; }),
            0);
  EXPECT_EQ(tamo_test::runWithoutDacOverride([&] { return statusOf([&] { fopen(locked, "r"); }); }),
            SETTINGS_OPEN_FILE_ERROR);
  EXPECT_EQ(
      tamo_test::runWithoutDacOverride([&] { return statusOf([&] { createFile(inReadonly); }); }),
      SETTINGS_OPEN_FILE_ERROR);
  EXPECT_EQ(tamo_test::runWithoutDacOverride(
                [&] { return statusOf([&] { ensureDirectoryTreeExist(belowReadonly); }); }),
            SETTINGS_INVALID_FILENAME_ERROR);
  EXPECT_FALSE(tamo_test::exists(dir.file("readonly/sub")));
}

// TempFile works in /tmp by design; each test removes what it made there.
TEST(TempFileTest, StaysOnDiskUnlessRemoved) {
  std::string kept;
  {
    TempFile file;
    kept = file.getName().getPath();
    EXPECT_EQ(kept.rfind("/tmp/", 0), 0u);
    EXPECT_FALSE(file.getName().isCanonical());
    std::fputs("data", file.getStream());
    file.close(false);
    EXPECT_EQ(file.getStream(), nullptr);
  }
  EXPECT_EQ(tamo_test::readFile(kept), "data");
  std::remove(kept.c_str());
}

TEST(TempFileTest, RemovesOnRequestAndReportsASecondRemoval) {
  TempFile file;
  file.close(true);
  EXPECT_FALSE(tamo_test::exists(file.getName().getPath()));
  EXPECT_EQ(file.close(true, std::nothrow), SETTINGS_REMOVE_FILE_ERROR);
  EXPECT_EQ(file.close(false, std::nothrow), SETTINGS_NO_ERROR);
}

TEST(TempFileTest, ReportsBytesThatCouldNotBeWrittenOnClose) {
  TempFile file;
  std::string const name = file.getName().getPath();
  std::fputs("data", file.getStream());
  int const full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_NE(full, -1);
  ASSERT_NE(::dup2(full, ::fileno(file.getStream())), -1);
  ::close(full);
  EXPECT_EQ(file.close(false, std::nothrow), SETTINGS_WRITE_FILE_ERROR);
  std::remove(name.c_str());
}

}  // namespace

namespace {

std::string wholeFileOf(std::string const& path, std::size_t limit) {
  WholeText const text =
      readWholeFile(TargetDirectory::resolve(path, TargetDirectory::Parents::MustExist,
                                             TargetDirectory::Purpose::Read),
                    limit);
  EXPECT_EQ('\0', text.data[text.size]);
  return std::string(text.data.get(), text.size);
}

// The read trusts a regular file's size only as far as one read; a file that
// claims no size (the proc file system) is read until it ends.
TEST(WholeFileTest, ReadsToTheEndWithinTheLimit) {
  TempDir dir;
  tamo_test::writeFile(dir.file("empty"), "");
  tamo_test::writeFile(dir.file("under"), std::string(15, 'x'));
  tamo_test::writeFile(dir.file("at"), std::string(16, 'x'));
  EXPECT_EQ("", wholeFileOf(dir.file("empty"), 16));
  EXPECT_EQ(std::string(15, 'x'), wholeFileOf(dir.file("under"), 16));
  EXPECT_EQ(SETTINGS_FILE_TOO_BIG_ERROR, statusOf([&] { wholeFileOf(dir.file("at"), 16); }));
  EXPECT_NE(std::string::npos, wholeFileOf("/proc/self/status", 1 << 20).find("Name:"));
  EXPECT_EQ(SETTINGS_FILE_TOO_BIG_ERROR, statusOf([&] { wholeFileOf("/proc/self/status", 16); }));
  EXPECT_EQ(SETTINGS_OPEN_FILE_ERROR, statusOf([&] { wholeFileOf(dir.file("missing"), 16); }));
}

}  // namespace
