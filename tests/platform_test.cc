#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>

#include "share/filename.h"
#include "support/temp_dir.h"

namespace {

namespace platform = settings_impl::platform;
using settings_impl::Filename;
using tamo_test::TempDir;

// Whether fd is close-on-exec; closes it.
bool closesOnExec(int fd) {
  if (fd == -1)
    return false;
  bool const flagged = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
  ::close(fd);
  return flagged;
}

bool closesOnExec(FILE* stream) {
  if (stream == nullptr)
    return false;
  bool const flagged = (::fcntl(::fileno(stream), F_GETFD) & FD_CLOEXEC) != 0;
  std::fclose(stream);
  return flagged;
}

struct OpenCase {
  char const* description;
  std::function<bool(TempDir const&)> opensCloseOnExec;
};

void PrintTo(OpenCase const& row, std::ostream* out) {
  *out << row.description;
}

class CloseOnExecTest : public testing::TestWithParam<OpenCase> {};

TEST_P(CloseOnExecTest, DescriptorIsNotInheritedByPrograms) {
  TempDir dir;
  tamo_test::writeFile(dir.file("present"), "");
  EXPECT_TRUE(GetParam().opensCloseOnExec(dir));
}

Filename present(TempDir const& dir) {
  return Filename(dir.file("present"));
}
Filename fresh(TempDir const& dir) {
  return Filename(dir.file("fresh"));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CloseOnExecTest,
    testing::Values(
        OpenCase{"CreateFile",
                 [](TempDir const& d) {
                   return closesOnExec(platform::createFile(fresh(d), std::nothrow));
                 }},
        OpenCase{"Fopen",
                 [](TempDir const& d) {
                   return closesOnExec(platform::fopen(present(d), "rb", std::nothrow));
                 }},
        OpenCase{"Freopen",
                 [](TempDir const& d) {
                   FILE* stream = std::fopen(present(d).c_str(), "r");
                   return closesOnExec(platform::freopen(present(d), "w", stream, std::nothrow));
                 }},
        OpenCase{"Open",
                 [](TempDir const& d) {
                   return closesOnExec(platform::open(present(d), O_RDWR, std::nothrow));
                 }},
        OpenCase{"OpenExclusive",
                 [](TempDir const& d) {
                   return closesOnExec(platform::openExclusive(fresh(d), 0600, std::nothrow));
                 }},
        OpenCase{"OpenDirectory",
                 [](TempDir const& d) {
                   return closesOnExec(platform::openDirectory(Filename(d.path()), std::nothrow));
                 }},
        OpenCase{"CreateTempFile",
                 [](TempDir const&) {
                   auto const created = platform::createTempFile(std::nothrow);
                   std::remove(created.second.c_str());
                   return closesOnExec(created.first);
                 }}),
    [](auto const& info) { return std::string(info.param.description); });

TEST(PlatformTest, ExclusiveCreationUsesTheGivenBitsAndNeverFollowsALink) {
  TempDir dir;
  mode_t const saved = ::umask(0);
  int const fd = platform::openExclusive(fresh(dir), 0640, std::nothrow);
  ::umask(saved);
  ASSERT_NE(fd, -1);
  EXPECT_EQ(platform::close(fd, std::nothrow), 0);
  EXPECT_EQ(tamo_test::modeOf(dir.file("fresh")), 0640u);
  EXPECT_EQ(platform::openExclusive(fresh(dir), 0640, std::nothrow), -1);
  EXPECT_EQ(errno, EEXIST);

  ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
  EXPECT_EQ(platform::openExclusive(Filename(dir.file("link")), 0600, std::nothrow), -1);
  EXPECT_FALSE(tamo_test::exists(dir.file("target")));
}

}  // namespace
