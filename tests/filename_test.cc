#include "share/filename.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "share/status.h"
#include "support/status_of.h"
#include "support/temp_dir.h"

namespace {

using settings_impl::Filename;
using Components = std::vector<std::string>;

// Changes the working directory for one scope and restores it on every way
// out, failed assertions included.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(std::string const& directory)
      : saved(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    EXPECT_NE(saved, -1);
    EXPECT_EQ(::chdir(directory.c_str()), 0) << directory;
  }
  ~ScopedWorkingDirectory() {
    EXPECT_EQ(::fchdir(saved), 0);
    ::close(saved);
  }

 private:
  int saved;
};

std::string physicalWorkingDirectory() {
  char buffer[4096];
  return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

using tamo_test::statusOf;

int canonicalizeCode(std::string const& text) {
  return statusOf([&] { Filename(text).canonicalize(); });
}

struct TokenizeCase {
  char const* description;
  char const* text;
  Components components;
  bool absolute;
};

void PrintTo(TokenizeCase const& row, std::ostream* out) {
  *out << row.description;
}

class TokenizeTest : public testing::TestWithParam<TokenizeCase> {};

TEST_P(TokenizeTest, CutsAtBothSeparatorsWithoutVoidComponents) {
  Components components;
  EXPECT_EQ(Filename(GetParam().text).tokenize(components), GetParam().absolute);
  EXPECT_EQ(components, GetParam().components);
}

INSTANTIATE_TEST_SUITE_P(
    Names, TokenizeTest,
    testing::Values(TokenizeCase{"Absolute", "/etc//a/./b/", {"", "etc", "a", "b"}, true},
                    TokenizeCase{"Backslashes", "a\\b", {"a", "b"}, false},
                    TokenizeCase{"MixedSeparators", "\\x/.\\y", {"", "x", "y"}, true},
                    TokenizeCase{"RootAlone", "/", {""}, true},
                    TokenizeCase{"DotAlone", ".", {}, false},
                    TokenizeCase{"ParentKept", "../a", {"..", "a"}, false}),
    [](auto const& info) { return std::string(info.param.description); });

TEST(FilenameTest, KeepsTheTextAsGivenWithoutMarkingItCanonical) {
  Filename const name("/etc//a/./b/");
  EXPECT_EQ(name.getPath(), "/etc//a/./b/");
  EXPECT_FALSE(name.isCanonical());
  EXPECT_EQ(Filename("").getPath(), "");
  EXPECT_EQ(canonicalizeCode(""), SETTINGS_INVALID_FILENAME_ERROR);
  EXPECT_THROW(Filename(static_cast<char const*>(nullptr)), std::logic_error);
}

TEST(FilenameTest, RefusesNamesThatAreNotUtf8) {
  EXPECT_EQ(statusOf([] { Filename("/etc/\xFF"); }), SETTINGS_FILENAME_ENCODING_ERROR);
  EXPECT_EQ(statusOf([] { Filename("/etc/\xC3"); }), SETTINGS_FILENAME_ENCODING_ERROR);
  EXPECT_EQ(statusOf([] { Filename("/etc/\xC3\xA9"); }), SETTINGS_NO_ERROR);
}

// Rows name a file relative to the working directory <root>/home/u; the
// expected names are relative to <root>.
struct CanonicalCase {
  char const* description;
  char const* text;
  char const* expected;
};

void PrintTo(CanonicalCase const& row, std::ostream* out) {
  *out << row.description;
}

class CanonicalizeTest : public testing::TestWithParam<CanonicalCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(dir.file("home").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(dir.file("home/u").c_str(), 0700), 0);
  }

  tamo_test::TempDir dir;
};

TEST_P(CanonicalizeTest, GivesTheAbsoluteCleanName) {
  ScopedWorkingDirectory inside(dir.file("home/u"));
  std::string const working = physicalWorkingDirectory();
  std::string const root = working.substr(0, working.size() - std::string("/home/u").size());
  bool const absolute = GetParam().text[0] == '/';
  Filename const canonical = Filename(GetParam().text).canonicalize();
  EXPECT_EQ(canonical.getPath(), absolute ? GetParam().expected : root + GetParam().expected);
  EXPECT_TRUE(canonical.isCanonical());
}

INSTANTIATE_TEST_SUITE_P(
    Names, CanonicalizeTest,
    testing::Values(CanonicalCase{"Relative", "cfg", "/home/u/cfg"},
                    CanonicalCase{"RelativeWithParent", "../x/./y", "/home/x/y"},
                    CanonicalCase{"Backslashes", "a\\b\\c", "/home/u/a/b/c"},
                    CanonicalCase{"Dot", ".", "/home/u"},
                    CanonicalCase{"Clean", "/etc/Vardel/Tamo/tamo.settings.cfg",
                                  "/etc/Vardel/Tamo/tamo.settings.cfg"},
                    CanonicalCase{"ParentsBackToRoot", "/a/b/../../c", "/c"},
                    CanonicalCase{"RepeatedSeparators", "//a///b", "/a/b"},
                    CanonicalCase{"Root", "/", "/"}, CanonicalCase{"RootDot", "/.", "/"},
                    CanonicalCase{"TrailingSeparator", "/etc/x/", "/etc/x"},
                    CanonicalCase{"NamesStartingWithDots", "/a/.b/..c/...", "/a/.b/..c/..."},
                    CanonicalCase{"AbsoluteWithBackslash", "/a\\b", "/a/b"},
                    CanonicalCase{"DotAtTheEnd", "/a/.", "/a"}),
    [](auto const& info) { return std::string(info.param.description); });

TEST(CanonicalizeErrorsTest, RefusesClimbingAboveTheRoot) {
  ScopedWorkingDirectory atRoot("/");
  for (char const* text : {"/..", "/../a", "../../../x", "a/../.."}) {
    EXPECT_EQ(canonicalizeCode(text), SETTINGS_INVALID_FILENAME_ERROR) << text;
  }
}

TEST(CanonicalizeErrorsTest, ReturnsACanonicalNameWithoutReadingTheWorkingDirectory) {
  tamo_test::TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("gone").c_str(), 0700), 0);
  ScopedWorkingDirectory inside(dir.file("gone"));
  Filename const canonical = Filename("cfg").canonicalize();
  ASSERT_EQ(::rmdir(dir.file("gone").c_str()), 0);

  EXPECT_EQ(canonicalizeCode("cfg"), SETTINGS_UNKNOWN_ERROR);
  Filename const again = canonical.canonicalize();
  EXPECT_EQ(again.getPath(), canonical.getPath());
  EXPECT_TRUE(again.isCanonical());
}

TEST(CanonicalizeErrorsTest, RefusesAWorkingDirectoryTooLongToRead) {
  tamo_test::TempDir dir;
  ScopedWorkingDirectory inside(dir.path());
  std::string const component(200, 'd');
  for (int depth = 0; depth < 11; ++depth) {
    ASSERT_EQ(::mkdir(component.c_str(), 0700), 0);
    ASSERT_EQ(::chdir(component.c_str()), 0);
  }
  EXPECT_EQ(canonicalizeCode("cfg"), SETTINGS_UNKNOWN_ERROR);
  EXPECT_EQ(canonicalizeCode("/etc/cfg"), SETTINGS_NO_ERROR);
}

TEST(CanonicalizeErrorsTest, RefusesRelativeNamesInAWorkingDirectoryThatIsNotUtf8) {
  tamo_test::TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("\xFF").c_str(), 0700), 0);
  ScopedWorkingDirectory inside(dir.file("\xFF"));
  EXPECT_EQ(canonicalizeCode("cfg"), SETTINGS_FILENAME_ENCODING_ERROR);
  EXPECT_EQ(canonicalizeCode("/etc/cfg"), SETTINGS_NO_ERROR);
}

}  // namespace
