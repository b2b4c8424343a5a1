#include "share/file_replace.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "share/file_report.h"
#include "share/status.h"
#include "support/access_list.h"
#include "support/private_mounts.h"
#include "support/process_state.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using settings_impl::Filename;
using tamo_test::openDescriptorCount;
using tamo_test::TempDir;
using tamo_test::UmaskScope;

int replace(std::string const& path, std::string const& text) {
  try {
    settings_impl::replaceFileContents(Filename(path).canonicalize(), text);
    return SETTINGS_NO_ERROR;
  } catch (settings::Exception const& e) {
    return e.code;
  }
}

std::vector<std::string> entriesOf(std::string const& directory) {
  std::vector<std::string> names;
  for (auto const& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct stat statOf(std::string const& path) {
  struct stat result {};
  EXPECT_EQ(0, ::lstat(path.c_str(), &result)) << path;
  return result;
}

// Writes to path until the file system refuses more.
void fillUp(std::string const& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  std::string block(4096, 'f');
  while (fd != -1 && ::write(fd, block.data(), block.size()) > 0) {
  }
  if (fd != -1)
    ::close(fd);
}

// A child process cannot use the test's assertions: it names each failed
// check on standard error and returns how many failed.
class ChildChecks {
 public:
  void expect(bool ok, char const* what) {
    if (!ok) {
      std::cerr << "failed in child: " << what << '\n';
      ++failures;
    }
  }
  int result() const { return failures; }

 private:
  int failures = 0;
};

#define SKIP_UNLESS_ROOT()    \
  if (!tamo_test::haveRoot()) \
  GTEST_SKIP() << "needs root: the check changes owners or mounts"

struct TextCase {
  char const* name;
  std::string text;
};

void PrintTo(TextCase const& row, std::ostream* out) {
  *out << row.name;
}

class ExactBytes : public testing::TestWithParam<TextCase> {
 protected:
  TempDir dir;
};

TEST_P(ExactBytes, NewFileHoldsExactlyTheText) {
  ASSERT_EQ(0, replace(dir.file("new.cfg"), GetParam().text));
  EXPECT_EQ(GetParam().text, tamo_test::readFile(dir.file("new.cfg")));
  EXPECT_EQ(std::vector<std::string>{"new.cfg"}, entriesOf(dir.path()));
}

TEST_P(ExactBytes, LongerExistingFileHoldsExactlyTheText) {
  tamo_test::writeFile(dir.file("old.cfg"), std::string(GetParam().text.size() + 4096, 'x'));
  ASSERT_EQ(0, replace(dir.file("old.cfg"), GetParam().text));
  EXPECT_EQ(GetParam().text, tamo_test::readFile(dir.file("old.cfg")));
  EXPECT_EQ(std::vector<std::string>{"old.cfg"}, entriesOf(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ExactBytes,
    testing::Values(TextCase{"OneSpace", " "}, TextCase{"NoFinalNewline", "a=1\nb=2"},
                    TextCase{"CarriageReturnsAndNul", std::string("k=\r\n\0v\r", 7)},
                    TextCase{"Utf8", "clé=\xE2\x82\xAC\xF0\x9F\x98\x80\n"},
                    TextCase{"ThreeMebibytes", std::string(3 << 20, 'z')}),
    [](auto const& info) { return std::string(info.param.name); });

struct ModeCase {
  char const* name;
  mode_t mode;
};

void PrintTo(ModeCase const& row, std::ostream* out) {
  *out << row.name;
}

class ExistingMode : public testing::TestWithParam<ModeCase> {};

// The umask must not reach a file that already exists.
TEST_P(ExistingMode, IsKept) {
  TempDir dir;
  UmaskScope umask(077);
  std::string path = dir.file("settings.cfg");
  tamo_test::writeFile(path, "old");
  ASSERT_EQ(0, ::chmod(path.c_str(), GetParam().mode));
  ASSERT_EQ(0, replace(path, "a=1\n"));
  EXPECT_EQ(GetParam().mode, tamo_test::modeOf(path));
  EXPECT_EQ("a=1\n", tamo_test::readFile(path));
  EXPECT_EQ(std::vector<std::string>{"settings.cfg"}, entriesOf(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(Modes, ExistingMode,
                         testing::Values(ModeCase{"OwnerAndGroupRead", 0640},
                                         ModeCase{"OwnerOnly", 0600},
                                         ModeCase{"WorldReadable", 0664},
                                         ModeCase{"Executable", 0755}),
                         [](auto const& info) { return std::string(info.param.name); });

struct UmaskCase {
  char const* name;
  mode_t umask;
  unsigned expectedMode;
};

void PrintTo(UmaskCase const& row, std::ostream* out) {
  *out << row.name;
}

class NewFileMode : public testing::TestWithParam<UmaskCase> {};

TEST_P(NewFileMode, IsReadableByAllLessTheUmask) {
  TempDir dir;
  UmaskScope umask(GetParam().umask);
  ASSERT_EQ(0, replace(dir.file("new.cfg"), "a=1\n"));
  EXPECT_EQ(GetParam().expectedMode, tamo_test::modeOf(dir.file("new.cfg")));
}

INSTANTIATE_TEST_SUITE_P(Umasks, NewFileMode,
                         testing::Values(UmaskCase{"Usual", 022, 0644},
                                         UmaskCase{"GroupOnly", 027, 0640},
                                         UmaskCase{"OwnerOnly", 077, 0600},
                                         UmaskCase{"None", 0, 0644}),
                         [](auto const& info) { return std::string(info.param.name); });

// Owner and group stay; the set-ID and sticky bits do not come with them.
TEST(FileReplace, KeepsOwnerGroupAndPermissionsButNoSetIdBits) {
  SKIP_UNLESS_ROOT();
  TempDir dir;
  std::string path = dir.file("settings.cfg");
  tamo_test::writeFile(path, "old");
  ASSERT_EQ(0, ::chown(path.c_str(), 1234, 5678));
  ASSERT_EQ(0, ::chmod(path.c_str(), 07750));
  ASSERT_EQ(0, replace(path, "a=1\n"));
  struct stat after = statOf(path);
  EXPECT_EQ(1234u, after.st_uid);
  EXPECT_EQ(5678u, after.st_gid);
  EXPECT_EQ(0750u, after.st_mode & 07777);
  EXPECT_EQ("a=1\n", tamo_test::readFile(path));
}

TEST(FileReplace, SymbolicLinkStaysALinkAndItsTargetGetsTheText) {
  TempDir dir;
  ASSERT_EQ(0, ::mkdir(dir.file("real").c_str(), 0700));
  tamo_test::writeFile(dir.file("real/target.cfg"), "old");
  ASSERT_EQ(0, ::symlink("real/target.cfg", dir.file("settings.cfg").c_str()));
  ASSERT_EQ(0, replace(dir.file("settings.cfg"), "a=1\n"));
  EXPECT_TRUE(S_ISLNK(statOf(dir.file("settings.cfg")).st_mode));
  EXPECT_EQ("a=1\n", tamo_test::readFile(dir.file("real/target.cfg")));
  EXPECT_EQ((std::vector<std::string>{"real", "settings.cfg"}), entriesOf(dir.path()));
  EXPECT_EQ(std::vector<std::string>{"target.cfg"}, entriesOf(dir.file("real")));
}

TEST(FileReplace, HardLinksKeepTheOldText) {
  TempDir dir;
  tamo_test::writeFile(dir.file("settings.cfg"), "old");
  ASSERT_EQ(0, ::link(dir.file("settings.cfg").c_str(), dir.file("other.cfg").c_str()));
  ASSERT_EQ(0, replace(dir.file("settings.cfg"), "new"));
  EXPECT_EQ("new", tamo_test::readFile(dir.file("settings.cfg")));
  EXPECT_EQ("old", tamo_test::readFile(dir.file("other.cfg")));
}

// A new file in a directory with a default access list inherits an access
// list; the replacement of a file that had none must not get one.
TEST(FileReplace, DirectoryDefaultAccessListReachesOnlyANewFile) {
  TempDir dir;
  std::string const old = dir.file("old.cfg");
  tamo_test::writeFile(old, "old");
  ASSERT_EQ(0, ::chmod(old.c_str(), 0640));
  if (!tamo_test::grantAccessList(dir.path(), "system.posix_acl_default", 1000))
    GTEST_SKIP() << "no access lists on this file system";
  ASSERT_EQ(0, replace(old, "a=1\n"));
  EXPECT_EQ(-1, ::getxattr(old.c_str(), "system.posix_acl_access", nullptr, 0));
  EXPECT_EQ(ENODATA, errno);
  EXPECT_EQ(0640u, tamo_test::modeOf(old));
  ASSERT_EQ(0, replace(dir.file("new.cfg"), "a=1\n"));
  EXPECT_LT(0, ::getxattr(dir.file("new.cfg").c_str(), "system.posix_acl_access", nullptr, 0));
}

class ChangedName : public testing::TestWithParam<bool> {};

// Another file took the name between the walk and the replacement, in the
// place of the file found (held open, as a writers' lock holds it) or of none.
TEST_P(ChangedName, IsReportedAndLeftAsItIs) {
  TempDir dir;
  std::string const path = dir.file("a.cfg");
  if (GetParam())
    tamo_test::writeFile(path, "old");
  auto const target = settings_impl::TargetDirectory::resolve(
      path, settings_impl::TargetDirectory::Parents::MustExist);
  settings_impl::IoHandle const found(GetParam() ? ::open(path.c_str(), O_RDWR | O_CLOEXEC) : -1);
  tamo_test::writeFile(dir.file("other"), "other");
  ASSERT_EQ(0, ::rename(dir.file("other").c_str(), path.c_str()));
  settings_file_report_t report{};
  try {
    settings_impl::replaceFileContents(target, found.get(), "new");
  } catch (settings_impl::FileError const& e) {
    EXPECT_EQ(SETTINGS_OPEN_FILE_ERROR, e.code);
    report = e.report;
  }
  EXPECT_EQ(SETTINGS_PATH_REPLACED, report.reason);
  EXPECT_EQ(SETTINGS_FILE_UNTOUCHED, report.fileState);
  EXPECT_EQ("other", tamo_test::readFile(path));
  EXPECT_EQ(std::vector<std::string>{"a.cfg"}, entriesOf(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(Files, ChangedName, testing::Bool(),
                         [](auto const& info) { return info.param ? "Existing" : "New"; });

struct RefusedCase {
  char const* name;
  // Prepares dir and returns the name to replace.
  std::string (*prepare)(TempDir const& dir);
};

void PrintTo(RefusedCase const& row, std::ostream* out) {
  *out << row.name;
}

class RefusedName : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedName, GivesOpenFileErrorAndCreatesNothing) {
  TempDir dir;
  std::string name = GetParam().prepare(dir);
  std::vector<std::string> before = entriesOf(dir.path());
  EXPECT_EQ(SETTINGS_OPEN_FILE_ERROR, replace(name, "a=1\n"));
  EXPECT_EQ(before, entriesOf(dir.path()));
}

std::string danglingLink(TempDir const& dir) {
  EXPECT_EQ(0, ::symlink("missing.cfg", dir.file("settings.cfg").c_str()));
  return dir.file("settings.cfg");
}

std::string linkLoop(TempDir const& dir) {
  EXPECT_EQ(0, ::symlink("b.cfg", dir.file("a.cfg").c_str()));
  EXPECT_EQ(0, ::symlink("a.cfg", dir.file("b.cfg").c_str()));
  return dir.file("a.cfg");
}

std::string directory(TempDir const& dir) {
  EXPECT_EQ(0, ::mkdir(dir.file("settings.cfg").c_str(), 0700));
  return dir.file("settings.cfg");
}

std::string linkToDirectory(TempDir const& dir) {
  EXPECT_EQ(0, ::mkdir(dir.file("real").c_str(), 0700));
  EXPECT_EQ(0, ::symlink("real", dir.file("settings.cfg").c_str()));
  return dir.file("settings.cfg");
}

// Opening a pipe would block or consume it; it must be refused unopened.
std::string namedPipe(TempDir const& dir) {
  EXPECT_EQ(0, ::mkfifo(dir.file("settings.cfg").c_str(), 0600));
  return dir.file("settings.cfg");
}

std::string missingDirectory(TempDir const& dir) {
  return dir.file("missing/settings.cfg");
}

INSTANTIATE_TEST_SUITE_P(Names, RefusedName,
                         testing::Values(RefusedCase{"DanglingLink", danglingLink},
                                         RefusedCase{"LinkLoop", linkLoop},
                                         RefusedCase{"Directory", directory},
                                         RefusedCase{"LinkToDirectory", linkToDirectory},
                                         RefusedCase{"NamedPipe", namedPipe},
                                         RefusedCase{"MissingDirectory", missingDirectory}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST(FileReplace, NoDescriptorLeftAfterAThousandFailures) {
  TempDir linkDir, directoryDir;
  std::string refused[] = {danglingLink(linkDir), directory(directoryDir),
                           linkDir.file("missing/x.cfg")};
  std::size_t before = openDescriptorCount();
  for (int i = 0; i < 1000; ++i)
    ASSERT_NE(0, replace(refused[i % 3], "a=1\n"));
  EXPECT_EQ(before, openDescriptorCount());
}

struct LongNameCase {
  char const* name;
  std::string fileName;  // NAME_MAX bytes, the cut for the hidden name inside a character
};

void PrintTo(LongNameCase const& row, std::ostream* out) {
  *out << row.name;
}

class LongName : public testing::TestWithParam<LongNameCase> {};

TEST_P(LongName, IsReplacedWithoutLeftovers) {
  TempDir dir;
  std::string path = dir.file(GetParam().fileName);
  ASSERT_EQ(0, replace(path, "first"));
  ASSERT_EQ(0, replace(path, "second"));
  EXPECT_EQ("second", tamo_test::readFile(path));
  EXPECT_EQ(std::vector<std::string>{GetParam().fileName}, entriesOf(dir.path()));
}

std::string repeated(std::string const& unit, std::size_t times, std::string const& tail) {
  std::string result;
  for (std::size_t i = 0; i < times; ++i)
    result += unit;
  return result + tail;
}

INSTANTIATE_TEST_SUITE_P(
    Names, LongName,
    testing::Values(LongNameCase{"Ascii", std::string(255, 'a')},
                    LongNameCase{"TwoByteCharacters", repeated("\xC3\xA9", 127, "a")},
                    LongNameCase{"FourByteCharacters", repeated("\xF0\x9F\x98\x80", 63, "abc")}),
    [](auto const& info) { return std::string(info.param.name); });

// A file system too small for the text: the kernel refuses the writes.
TEST(FileReplaceMounted, FullFileSystemKeepsTheExistingFile) {
  SKIP_UNLESS_ROOT();
  TempDir dir;
  std::string mountPoint = dir.file("mnt");
  ASSERT_EQ(0, ::mkdir(mountPoint.c_str(), 0700));
  int result = tamo_test::runInPrivateMounts([&] {
    ChildChecks checks;
    std::string path = mountPoint + "/settings.cfg";
    if (!tamo_test::mountTmpfs(mountPoint, 64 * 1024))
      return -1;
    tamo_test::writeFile(path, "old text");
    fillUp(mountPoint + "/filler");
    std::size_t descriptors = openDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
      int status = replace(path, "a=1\n");
      if (status != SETTINGS_WRITE_FILE_ERROR)
        return status;
    }
    checks.expect(descriptors == openDescriptorCount(), "descriptors unchanged");
    checks.expect(tamo_test::readFile(path) == "old text", "old text kept");
    checks.expect(replace(mountPoint + "/new.cfg", "a=1\n") == SETTINGS_WRITE_FILE_ERROR,
                  "new file refused");
    checks.expect(entriesOf(mountPoint) == std::vector<std::string>{"filler", "settings.cfg"},
                  "no hidden file left");
    return checks.result();
  });
  if (result == tamo_test::kNoPrivateMounts)
    GTEST_SKIP() << "no mount namespace allowed here";
  EXPECT_EQ(0, result);
}

// Nothing can be renamed over a mount point; the file is rewritten in place.
TEST(FileReplaceMounted, BindMountedFileIsRewrittenInPlace) {
  SKIP_UNLESS_ROOT();
  TempDir dir;
  std::string path = dir.file("settings.cfg");
  std::string source = dir.file("source.cfg");
  tamo_test::writeFile(path, "covered");
  tamo_test::writeFile(source, "a much longer old text");
  ASSERT_EQ(0, ::chmod(source.c_str(), 0640));
  int result = tamo_test::runInPrivateMounts([&] {
    ChildChecks checks;
    if (!tamo_test::bindMount(source, path))
      return -1;
    checks.expect(replace(path, "a=1\n") == 0, "replaced");
    checks.expect(tamo_test::readFile(path) == "a=1\n", "text through the mount");
    checks.expect(tamo_test::readFile(source) == "a=1\n", "text in the bound file");
    checks.expect(tamo_test::modeOf(source) == 0640, "mode kept");
    return checks.result();
  });
  if (result == tamo_test::kNoPrivateMounts)
    GTEST_SKIP() << "no mount namespace allowed here";
  EXPECT_EQ(0, result);
  EXPECT_EQ((std::vector<std::string>{"settings.cfg", "source.cfg"}), entriesOf(dir.path()));
}

struct RefusalCase {
  char const* name;
  mode_t directoryMode;
  mode_t fileMode;  // 0: no file yet
  int expectedStatus;
};

void PrintTo(RefusalCase const& row, std::ostream* out) {
  *out << row.name;
}

// The kernel, not the library, must refuse: the replacement runs in a child
// that lost the capabilities which let root past permission bits.
class Refusal : public testing::TestWithParam<RefusalCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, ::mkdir(directory.c_str(), 0700));
    if (GetParam().fileMode != 0) {
      tamo_test::writeFile(path, "old text");
      ASSERT_EQ(0, ::chmod(path.c_str(), GetParam().fileMode));
      before = statOf(path);
    }
    ASSERT_EQ(0, ::chmod(directory.c_str(), GetParam().directoryMode));
  }

  TempDir dir;
  std::string directory = dir.file("d");
  std::string path = directory + "/settings.cfg";
  struct stat before {};
};

TEST_P(Refusal, LeavesTheFileAsItWasOrRewritesItInPlace) {
  SKIP_UNLESS_ROOT();
  int status = tamo_test::runWithoutDacOverride([&] { return replace(path, "a=1\n"); });
  ASSERT_EQ(GetParam().expectedStatus, status);
  std::vector<std::string> expectedEntries;
  if (GetParam().fileMode != 0) {
    expectedEntries.push_back("settings.cfg");
    struct stat after = statOf(path);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(GetParam().fileMode, after.st_mode & 07777);
    EXPECT_EQ(status == 0 ? "a=1\n" : "old text", tamo_test::readFile(path));
  }
  EXPECT_EQ(expectedEntries, entriesOf(directory));
}

INSTANTIATE_TEST_SUITE_P(
    Permissions, Refusal,
    testing::Values(RefusalCase{"UnreadableFile", 0700, 0200, SETTINGS_OPEN_FILE_ERROR},
                    RefusalCase{"UnwritableFile", 0700, 0400, SETTINGS_OPEN_FILE_ERROR},
                    RefusalCase{"NewFileInReadOnlyDirectory", 0500, 0, SETTINGS_OPEN_FILE_ERROR},
                    RefusalCase{"WritableFileInReadOnlyDirectory", 0500, 0600, 0}),
    [](auto const& info) { return std::string(info.param.name); });

// An ordinary user cannot give a new file a group it is not a member of; the
// file is rewritten in place so that its group stays.
TEST(FileReplace, GroupThatCannotBeGivenIsKeptByRewritingInPlace) {
  SKIP_UNLESS_ROOT();
  constexpr uid_t kUser = 1234;
  constexpr gid_t kForeignGroup = 5678;
  TempDir dir;
  std::string directory = dir.file("d");
  std::string path = directory + "/settings.cfg";
  ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0711));
  ASSERT_EQ(0, ::mkdir(directory.c_str(), 0700));
  ASSERT_EQ(0, ::chown(directory.c_str(), kUser, kUser));
  tamo_test::writeFile(path, "a much longer old text");
  ASSERT_EQ(0, ::chown(path.c_str(), kUser, kForeignGroup));
  ASSERT_EQ(0, ::chmod(path.c_str(), 0660));
  ino_t inode = statOf(path).st_ino;
  int status = tamo_test::runWithoutDacOverride([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kUser) != 0 || ::setuid(kUser) != 0)
      return -1;
    return replace(path, "a=1\n");
  });
  ASSERT_EQ(0, status);
  struct stat after = statOf(path);
  EXPECT_EQ(inode, after.st_ino);
  EXPECT_EQ(kUser, after.st_uid);
  EXPECT_EQ(kForeignGroup, after.st_gid);
  EXPECT_EQ(0660u, after.st_mode & 07777);
  EXPECT_EQ("a=1\n", tamo_test::readFile(path));
  EXPECT_EQ(std::vector<std::string>{"settings.cfg"}, entriesOf(directory));
}

}  // namespace
