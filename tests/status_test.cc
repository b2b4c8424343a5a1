#include "share/status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <ios>
#include <iostream>
#include <new>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "share/config.h"
#include "support/capture_stderr.h"
#include "support/status_of.h"

namespace settings_impl {
namespace {

using tamo_test::kNoException;
using tamo_test::statusOf;

struct Unrelated {};

struct TranslationCase {
  char const* name;
  std::function<void()> body;
  int status;
};

void PrintTo(TranslationCase const& row, std::ostream* out) {
  *out << row.name;
}

class TranslateExceptions : public testing::TestWithParam<TranslationCase> {};

TEST_P(TranslateExceptions, GivesStatusOfWhatBodyThrows) {
  auto const& body = GetParam().body;
  static_assert(noexcept(translateExceptions(SETTINGS_SOURCE_POS, body)),
                "nothing may leave the boundary helper");
  EXPECT_EQ(GetParam().status, translateExceptions(SETTINGS_SOURCE_POS, body));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TranslateExceptions,
    testing::Values(
        TranslationCase{"NothingThrown", [] {}, SETTINGS_NO_ERROR},
        TranslationCase{"SettingsException",
                        [] { throw settings::Exception(SETTINGS_FILE_TOO_BIG_ERROR); },
                        SETTINGS_FILE_TOO_BIG_ERROR},
        TranslationCase{"TypeMismatch", [] { throw TypeMismatchError(); },
                        SETTINGS_TYPE_MISMATCH_ERROR},
        TranslationCase{"ValueFormat", [] { throw ValueFormatError(); },
                        SETTINGS_VALUE_FORMAT_ERROR},
        TranslationCase{"KeyNotFound", [] { throw KeyNotFoundError(); },
                        SETTINGS_KEY_NOT_FOUND_ERROR},
        TranslationCase{"BadAlloc", [] { throw std::bad_alloc(); }, SETTINGS_UNKNOWN_ERROR},
        TranslationCase{"LogicError", [] { throw std::logic_error("x"); }, SETTINGS_UNKNOWN_ERROR},
        TranslationCase{"RuntimeError", [] { throw std::runtime_error("x"); },
                        SETTINGS_UNKNOWN_ERROR},
        TranslationCase{"UnrelatedType", [] { throw Unrelated(); }, SETTINGS_UNKNOWN_ERROR},
        TranslationCase{"Integer", [] { throw 7; }, SETTINGS_UNKNOWN_ERROR}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(StatusTest, ExceptionCarriesCodeAndEmptyMessage) {
  settings::Exception const e(SETTINGS_READ_FILE_ERROR);
  EXPECT_EQ(SETTINGS_READ_FILE_ERROR, e.code);
  EXPECT_STREQ("", e.what());
  EXPECT_STREQ("", KeyNotFoundError().what());
}

TEST(StatusTest, ExplicitCodePassesThrough) {
  EXPECT_EQ(SETTINGS_INVALID_ARGUMENT_ERROR,
            onError(SETTINGS_SOURCE_POS, SETTINGS_INVALID_ARGUMENT_ERROR));
}

TEST(StatusTest, RefusedLineIsReportedOnStandardError) {
  IParserCursor cursor;
  tamo_test::CaptureStderr capture;
  int const status = onError(SETTINGS_SOURCE_POS, cursor, "\"Invalid value\" at line 3; char 1");
  EXPECT_EQ(SETTINGS_INVALID_VALUE_ERROR, status);
  EXPECT_EQ("Error reading config file: \"Invalid value\" at line 3; char 1\n", capture.text());
}

// A stream buffer that takes nothing: every write to it fails.
class RefusingBuffer : public std::streambuf {};

// Puts a refusing buffer under std::cerr and makes it throw on failure; the
// destructor puts back the buffer and the exception mask it had.
class ThrowingCerr {
 public:
  ThrowingCerr() : buffer(std::cerr.rdbuf(&refusing)), mask(std::cerr.exceptions()) {
    std::cerr.exceptions(std::ios_base::badbit | std::ios_base::failbit);
  }
  ~ThrowingCerr() {
    std::cerr.exceptions(std::ios_base::goodbit);
    std::cerr.rdbuf(buffer);
    std::cerr.exceptions(mask);
  }
  ThrowingCerr(ThrowingCerr const&) = delete;
  ThrowingCerr& operator=(ThrowingCerr const&) = delete;

 private:
  RefusingBuffer refusing;
  std::streambuf* buffer;
  std::ios_base::iostate mask;
};

TEST(StatusTest, RefusedLineKeepsItsStatusWhenStandardErrorThrows) {
  IParserCursor cursor;
  ThrowingCerr const throwing;
  int status = 0;
  EXPECT_NO_THROW(status = onError(SETTINGS_SOURCE_POS, cursor, "\"Empty key\" at line 1; char 1"));
  EXPECT_EQ(SETTINGS_INVALID_VALUE_ERROR, status);
  EXPECT_TRUE(std::cerr.good()) << "later reports must still reach the stream";
}

TEST(StatusTest, VerifyIsEqualThrowsOnlyOnDifference) {
  EXPECT_EQ(kNoException, statusOf([] { verifyIsEqual<int>(0, 0, SETTINGS_REMOVE_FILE_ERROR); }));
  EXPECT_EQ(SETTINGS_REMOVE_FILE_ERROR,
            statusOf([] { verifyIsEqual<int>(0, -1, SETTINGS_REMOVE_FILE_ERROR); }));
}

TEST(StatusTest, VerifyIsNotEqualThrowsOnlyOnEquality) {
  EXPECT_EQ(kNoException,
            statusOf([] { verifyIsNotEqual<bool>(true, false, SETTINGS_INVALID_FILENAME_ERROR); }));
  EXPECT_EQ(SETTINGS_INVALID_FILENAME_ERROR,
            statusOf([] { verifyIsNotEqual<bool>(true, true, SETTINGS_INVALID_FILENAME_ERROR); }));
  EXPECT_EQ(kNoException,
            statusOf([] { verifyIsNotEqual<FILE*>(nullptr, stderr, SETTINGS_OPEN_FILE_ERROR); }));
  EXPECT_EQ(SETTINGS_OPEN_FILE_ERROR,
            statusOf([] { verifyIsNotEqual<FILE*>(nullptr, nullptr, SETTINGS_OPEN_FILE_ERROR); }));
}

}  // namespace
}  // namespace settings_impl
