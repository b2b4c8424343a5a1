// A settings file far beyond the size limit must be refused as too big in
// every build, 32-bit ones included, where sizes above 2 and 4 GiB overflow
// 32-bit offsets and could wrap to a small size.
#include <fcntl.h>
#include <sys/types.h>
#include <tamo/settings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/capture_stderr.h"
#include "support/temp_dir.h"

namespace {

static_assert(sizeof(off_t) == 8, "files above 2 GiB need 64-bit offsets in every build");

constexpr std::int64_t kGiB = std::int64_t{1} << 30;

struct SparseCase {
  char const* name;
  std::int64_t size;
};

// Creates a sparse file of the given size; false when the file system refuses.
bool makeSparseFile(std::string const& path, std::int64_t size, std::string& why) {
  int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  bool const made = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  if (!made)
    why = std::strerror(errno);
  ::close(fd);
  return made;
}

class SparseSettingsFile : public testing::TestWithParam<SparseCase> {
 protected:
  void SetUp() override {
    settings_api_get(&api);
    context = api.context_create();
    ASSERT_NE(context, nullptr);
  }
  void TearDown() override { api.context_free(context); }

  tamo_test::TempDir dir;
  settings_api_t api{};
  settings_context_t* context = nullptr;
};

TEST_P(SparseSettingsFile, IsRefusedAsTooBigAndChangesNothing) {
  std::string const path = dir.file("huge.cfg");
  std::string why;
  if (!makeSparseFile(path, GetParam().size, why)) {
    GTEST_SKIP() << "the file system refuses a sparse file of " << GetParam().size
                 << " bytes: " << why;
  }
  {
    tamo_test::CaptureStderr const quiet;  // the refused line is reported there
    ASSERT_EQ(api.context_import_from_string(context, "kept=1\nrefused", nullptr, nullptr, 0, 0),
              SETTINGS_INVALID_VALUE_ERROR);
  }

  EXPECT_EQ(api.context_import_from_file(context, path.c_str(), nullptr, nullptr, 0, 0),
            SETTINGS_FILE_TOO_BIG_ERROR);

  settings_error_desc_t const* errors = nullptr;
  int count = -1;
  ASSERT_EQ(api.context_get_last_import_errors(context, &errors, &count), 0);
  EXPECT_EQ(count, 0);
  char const* value = nullptr;
  ASSERT_EQ(api.context_get_utf8_value(context, "kept", &value), 0);
  EXPECT_STREQ(value, "1");
}

// The sizes that 32-bit arithmetic gets wrong: beyond a signed 32-bit offset,
// and 4 GiB plus sizes that wrap to an empty, a tiny and the largest accepted
// file.
INSTANTIATE_TEST_SUITE_P(Sizes, SparseSettingsFile,
                         testing::Values(SparseCase{"Above2GiB", 2 * kGiB + 1},
                                         SparseCase{"Exactly4GiB", 4 * kGiB},
                                         SparseCase{"WrapsToTiny", 4 * kGiB + 100},
                                         SparseCase{"WrapsToLargestAccepted", 4 * kGiB + 1048575},
                                         SparseCase{"Above8GiB", 8 * kGiB + 1}),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
