#include "share/value.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "share/status.h"
#include "support/status_of.h"
#include "support/temp_dir.h"

namespace settings_impl {
namespace {

using tamo_test::kNoException;
using tamo_test::statusOf;

std::string rowName(char const* name) {
  return name;
}

// ---- Reading integers, doubles and truth values -----------------------------

constexpr std::nullopt_t kRefused = std::nullopt;

// A text read as one type, and the number it gives (truth values as 0 and 1).
struct ReadCase {
  char const* name;
  char const* text;
  std::optional<double> expected;
};

// Rows print as their names rather than as bytes.
void PrintTo(ReadCase const& row, std::ostream* out) {
  *out << row.name;
}

class TypedReading : public testing::TestWithParam<ReadCase> {
 protected:
  static double readBack(ConfigValue const& value) {
    switch (value.getType()) {
      case IConfig::INTEGER:
        return value.getInteger();
      case IConfig::BOOLEAN:
        return value.getBoolean();
      default:
        return value.getDouble();
    }
  }

  // Both forms of init, from a C text and from a std::string, read alike.
  void expectReading(IConfig::Type type) {
    ReadCase const& row = GetParam();
    for (bool const fromString : {false, true}) {
      ConfigValue value(type);
      auto const init = [&] {
        if (fromString)
          value.init(std::string(row.text));
        else
          value.init(row.text);
      };
      if (row.expected) {
        init();
        EXPECT_EQ(*row.expected, readBack(value)) << "from a std::string: " << fromString;
        EXPECT_STREQ(row.text, value.getUtf8());
      } else {
        EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf(init))
            << "from a std::string: " << fromString;
      }
    }
  }
};

class IntegerReading : public TypedReading {};
class DoubleReading : public TypedReading {};
class BooleanReading : public TypedReading {};

TEST_P(IntegerReading, ReadsOrRefusesAndKeepsText) {
  expectReading(IConfig::INTEGER);
}
TEST_P(DoubleReading, ReadsOrRefusesAndKeepsText) {
  expectReading(IConfig::DOUBLE);
}
TEST_P(BooleanReading, ReadsOrRefusesAndKeepsText) {
  expectReading(IConfig::BOOLEAN);
}

constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr int kIntMax = std::numeric_limits<int>::max();

INSTANTIATE_TEST_SUITE_P(
    Syntax, IntegerReading,
    testing::Values(
        ReadCase{"Decimal", "-42", -42}, ReadCase{"PlusSign", "+17", 17},
        ReadCase{"Hex", "0x10", 16}, ReadCase{"HexUpperCase", "0X1F", 31},
        ReadCase{"NegativeHex", "-0x1f", -31}, ReadCase{"HexMax", "0x7fffffff", kIntMax},
        ReadCase{"HexDoesNotWrap", "0x80000000", kRefused},
        ReadCase{"HexAllOnes", "0xffffffff", kRefused},
        ReadCase{"NegativeHexMin", "-0x80000000", kIntMin}, ReadCase{"Octal", "010", 8},
        ReadCase{"OctalAfterBlank", " 017", 15}, ReadCase{"PlusMakesDecimal", "+017", 17},
        ReadCase{"NegativeOctal", "-017", -15}, ReadCase{"OctalStopsAtEight", "08", 0},
        ReadCase{"OctalStopsAtNine", "0779", 63}, ReadCase{"PlusHexStopsAtX", "+0x10", 0},
        ReadCase{"Max", "2147483647", kIntMax}, ReadCase{"AboveMax", "2147483648", kRefused},
        ReadCase{"Min", "-2147483648", kIntMin}, ReadCase{"BelowMin", "-2147483649", kRefused},
        ReadCase{"TrailingLetters", "12abc", 12}, ReadCase{"TrailingFraction", "1.9", 1},
        ReadCase{"LeadingTabLfVt", "\t\n\v7", 7}, ReadCase{"LeadingCr", "\r5", 5},
        ReadCase{"Empty", "", kRefused}, ReadCase{"BlanksOnly", "  ", kRefused},
        ReadCase{"SignOnly", "-", kRefused}, ReadCase{"HexPrefixOnly", "0x", kRefused},
        ReadCase{"NegativeHexPrefixOnly", "-0x", kRefused}, ReadCase{"LetterFirst", "x1", kRefused},
        ReadCase{"PointFirst", ".5", kRefused}),
    [](auto const& info) { return rowName(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Syntax, DoubleReading,
    testing::Values(
        ReadCase{"Exponent", "1e3", 1000.0}, ReadCase{"UpperCaseExponent", "-1.5E3", -1500.0},
        ReadCase{"NoIntegerPart", ".5", 0.5}, ReadCase{"NoFraction", "5.", 5.0},
        ReadCase{"HexIsNotRead", "0x1a", 0.0}, ReadCase{"LeadingZeroIsDecimal", "010", 10.0},
        ReadCase{"SecondPointEndsNumber", "1.5.2", 1.5},
        ReadCase{"UnderflowReadsAsZero", "1e-999", 0.0},
        ReadCase{"Subnormal", "4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
        ReadCase{"LargestFinite", "1.7976931348623157e308", std::numeric_limits<double>::max()},
        ReadCase{"Overflow", "1e400", kRefused},
        ReadCase{"JustAboveLargest", "-1.797693134862316e308", kRefused},
        ReadCase{"Infinity", "inf", kRefused}, ReadCase{"NotANumber", "nan", kRefused},
        ReadCase{"ExponentWithoutDigits", "1e", kRefused},
        ReadCase{"ExponentSignOnly", "1e+", kRefused}, ReadCase{"ExponentLetter", "1ex", kRefused},
        ReadCase{"PointOnly", ".", kRefused}, ReadCase{"ExponentOnly", "e5", kRefused}),
    [](auto const& info) { return rowName(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Syntax, BooleanReading,
    testing::Values(ReadCase{"UpperTrue", "TRUE", true}, ReadCase{"MixedYes", "Yes", true},
                    ReadCase{"Seven", "7", true}, ReadCase{"BlankThenOne", " 1", true},
                    ReadCase{"MixedNo", "No", false}, ReadCase{"UpperFalse", "FALSE", false},
                    ReadCase{"NegativeZero", "-0", false}, ReadCase{"HexZero", "0x0", false},
                    ReadCase{"On", "on", kRefused}, ReadCase{"Empty", "", kRefused},
                    ReadCase{"TrailingBlank", "true ", kRefused},
                    ReadCase{"LeadingBlank", " true", kRefused}),
    [](auto const& info) { return rowName(info.param.name); });

// ---- Text of a double -------------------------------------------------------

struct DoubleTextCase {
  char const* name;
  double value;
  char const* text;
};

void PrintTo(DoubleTextCase const& row, std::ostream* out) {
  *out << row.name;
}

class DoubleText : public testing::TestWithParam<DoubleTextCase> {};

TEST_P(DoubleText, MatchesShortestGeneralForm) {
  ConfigValue value(GetParam().value, nullptr);
  EXPECT_STREQ(GetParam().text, value.getUtf8());
  EXPECT_EQ(IConfig::DOUBLE, value.getType());
}

INSTANTIATE_TEST_SUITE_P(
    Values, DoubleText,
    testing::Values(
        DoubleTextCase{"Tenth", 0.1, "0.1"}, DoubleTextCase{"SixDigits", 3.14159265, "3.14159"},
        DoubleTextCase{"HundredThousand", 100000.0, "100000"},
        DoubleTextCase{"Million", 1e6, "1e+06"},
        DoubleTextCase{"Rounded", 1234567.0, "1.23457e+06"},

        DoubleTextCase{"SmallExponent", 1e-5, "1e-05"}, DoubleTextCase{"NegativeZero", -0.0, "-0"},
        DoubleTextCase{"Infinity", std::numeric_limits<double>::infinity(), "inf"},
        DoubleTextCase{"NegativeInfinity", -std::numeric_limits<double>::infinity(), "-inf"}),
    [](auto const& info) { return rowName(info.param.name); });

// ---- UTF-8 lead bytes -------------------------------------------------------

struct Utf8Case {
  char const* name;
  std::string bytes;
  std::size_t refusedAt;  // bytes.size() when accepted
};

void PrintTo(Utf8Case const& row, std::ostream* out) {
  *out << row.name;
}

class Utf8Check : public testing::TestWithParam<Utf8Case> {};

// The bytes live in a buffer of exactly their size, so a read at or past the
// end is caught by the address sanitizer.
std::size_t refusedAt(std::string const& bytes) {
  std::unique_ptr<char[]> buffer(new char[bytes.size()]);
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  char const* first = buffer.get();
  char const* last = first + bytes.size();
  return static_cast<std::size_t>(validateUtf8Sequence(first, last) - first);
}

TEST_P(Utf8Check, FindsFirstByteThatCannotBeginSequence) {
  EXPECT_EQ(GetParam().refusedAt, refusedAt(GetParam().bytes));
}

// ASCII is skipped several bytes at a time; every length of the ASCII before
// the row puts its bytes at another place in those steps.
TEST_P(Utf8Check, SameAfterAsciiOfEveryLength) {
  for (std::size_t length = 1; length <= 17; ++length) {
    std::string const ascii(length, 'k');
    EXPECT_EQ(length + GetParam().refusedAt, refusedAt(ascii + GetParam().bytes)) << length;
  }
}

std::string bytes(char const* text, std::size_t size) {
  return std::string(text, size);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Utf8Check,
    testing::Values(
        Utf8Case{"Empty", "", 0}, Utf8Case{"Ascii", "abc", 3},
        Utf8Case{"NulPasses", bytes("a\0b", 3), 3}, Utf8Case{"TwoBytes", "a\xC3\xA9", 3},
        Utf8Case{"ThreeBytes", "\xE2\x82\xAC", 3}, Utf8Case{"FourBytes", "\xF0\x9F\x98\x80", 4},
        Utf8Case{"FirstOneByte", bytes("\x00", 1), 1}, Utf8Case{"LastOneByte", "\x7F", 1},
        Utf8Case{"FirstTwoByte", "\xC0\x80", 2}, Utf8Case{"LastTwoByte", "\xDF\xBF", 2},
        Utf8Case{"FirstThreeByte", "\xE0\x80\x80", 3}, Utf8Case{"LastThreeByte", "\xEF\xBF\xBF", 3},
        Utf8Case{"FirstFourByte", "\xF0\x80\x80\x80", 4},
        Utf8Case{"LastFourByte", "\xF7\xBF\xBF\xBF", 4},
        Utf8Case{"FirstFiveByte", "\xF8\x80\x80\x80\x80", 5},
        Utf8Case{"LastFiveByte", "\xFB\xBF\xBF\xBF\xBF", 5},
        Utf8Case{"FirstSixByte", "\xFC\x80\x80\x80\x80\x80", 6},
        Utf8Case{"LastSixByte", "\xFD\xBF\xBF\xBF\xBF\xBF", 6}, Utf8Case{"ByteFE", "\xFE", 0},
        Utf8Case{"ByteFFAfterAscii", "a\xFF", 1}, Utf8Case{"StrayFirstContinuation", "\x80", 0},
        Utf8Case{"StrayLastContinuation", "\xBF", 0}, Utf8Case{"StrayAfterAscii", "ab\x80", 2},
        Utf8Case{"ExtraContinuation", "\xC3\xA9\xA9", 2},
        Utf8Case{"FollowingBytesNotExamined", "\xC3\x41", 2},
        Utf8Case{"TruncatedTwoByte", "\xC3", 0},
        Utf8Case{"TruncatedThreeByteAfterAscii", "a\xE2\x82", 1},
        Utf8Case{"TruncatedFourByte", "\xF0\x9F\x98", 0},
        Utf8Case{"TruncatedSixByte", "\xFD\xBF\xBF\xBF\xBF", 0}),
    [](auto const& info) { return rowName(info.param.name); });

// ---- Values -----------------------------------------------------------------

TEST(ConfigValueTest, UntypedTextReadsAsEveryType) {
  ConfigValue value(IConfig::UNTYPED);
  value.init("42");
  EXPECT_EQ(IConfig::UNTYPED, value.getType());
  EXPECT_EQ(42, value.getInteger());
  EXPECT_EQ(42.0, value.getDouble());
  EXPECT_TRUE(value.getBoolean());
}

TEST(ConfigValueTest, UntypedTextThatDoesNotReadRefusesEveryTypedGetter) {
  ConfigValue value(IConfig::UNTYPED);
  value.init("abc");
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([&] { value.getInteger(); }));
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([&] { value.getDouble(); }));
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([&] { value.getBoolean(); }));
  EXPECT_STREQ("abc", value.getUtf8());
}

TEST(ConfigValueTest, GettersOfAnotherTypeMismatch) {
  auto const mismatches = [](ConfigValue const& value) {
    int count = 0;
    for (int status : {statusOf([&] { value.getInteger(); }), statusOf([&] { value.getDouble(); }),
                       statusOf([&] { value.getBoolean(); })}) {
      if (status == SETTINGS_TYPE_MISMATCH_ERROR)
        ++count;
    }
    return count;
  };
  ConfigValue text(IConfig::UTF8);
  text.init("1");
  EXPECT_EQ(3, mismatches(text));
  EXPECT_EQ(2, mismatches(ConfigValue(1, nullptr)));
  EXPECT_EQ(2, mismatches(ConfigValue(true, nullptr)));
  EXPECT_EQ(2, mismatches(ConfigValue(1.0, nullptr)));
}

TEST(ConfigValueTest, NullTextGivesCanonicalText) {
  EXPECT_STREQ("true", ConfigValue(true, nullptr).getUtf8());
  EXPECT_STREQ("false", ConfigValue(false, nullptr).getUtf8());
  EXPECT_STREQ("-5", ConfigValue(-5, nullptr).getUtf8());
  EXPECT_STREQ("-2147483648", ConfigValue(kIntMin, nullptr).getUtf8());
}

TEST(ConfigValueTest, GivenTextIsNotComparedWithValue) {
  ConfigValue value(true, "no");
  EXPECT_TRUE(value.getBoolean());
  EXPECT_STREQ("no", value.getUtf8());
}

TEST(ConfigValueTest, ConstructorsRefuseTextThatIsNotUtf8) {
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([] { ConfigValue(true, "\xFF"); }));
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([] { ConfigValue(1, "a\x80"); }));
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([] { ConfigValue(1.0, "\xC3"); }));
}

TEST(ConfigValueTest, InitRefusingUtf8LeavesValueUnchanged) {
  ConfigValue value(IConfig::INTEGER);
  value.init("5");
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([&] { value.init("7\x80"); }));
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([&] { value.init(std::string("7\x80")); }));
  EXPECT_STREQ("5", value.getUtf8());
  EXPECT_EQ(5, value.getInteger());
}

TEST(ConfigValueTest, InitKeepsTextUpToFirstNul) {
  ConfigValue value(IConfig::UTF8);
  value.init(std::string("ab\0cd", 5));
  EXPECT_EQ(std::string("ab"), value.getUtf8());
}

TEST(ConfigValueTest, InitOfUnknownTypeIsALibraryError) {
  ConfigValue value(static_cast<IConfig::Type>(99));
  try {
    value.init("1");
    FAIL() << "init accepted an unknown type";
  } catch (settings::Exception const&) {
    FAIL() << "an unknown type is not a status failure";
  } catch (std::runtime_error const& e) {
    EXPECT_STREQ("unexpected", e.what());
  }
}

// ---- Locale -----------------------------------------------------------------

// A numeric punctuation that reads "1.500" as fifteen hundred.
class CommaDecimal : public std::numpunct<char> {
 protected:
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

class GlobalCxxLocale {
 public:
  explicit GlobalCxxLocale(std::locale const& replacement)
      : saved(std::locale::global(replacement)) {}
  ~GlobalCxxLocale() { std::locale::global(saved); }

 private:
  std::locale saved;
};

TEST(ValueLocaleTest, NumbersIgnoreTheHostProgramsCxxLocale) {
  GlobalCxxLocale comma(std::locale(std::locale::classic(), new CommaDecimal));
  ConfigValue number(IConfig::DOUBLE);
  number.init("1.5");
  EXPECT_EQ(1.5, number.getDouble());
  ConfigValue integer(IConfig::INTEGER);
  integer.init("1.500");
  EXPECT_EQ(1, integer.getInteger());
  EXPECT_STREQ("1234.5", ConfigValue(1234.5, nullptr).getUtf8());
}

class ProcessLocale {
 public:
  ProcessLocale() : saved(std::setlocale(LC_ALL, nullptr)) {}
  ~ProcessLocale() {
    std::setlocale(LC_ALL, saved.c_str());
    ::unsetenv("LOCPATH");
  }

  // Switches to a locale whose decimal point is not '.', installed or built here.
  bool switchToCommaLocale() {
    for (char const* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                             "nl_NL.UTF-8", "ru_RU.UTF-8", "de_DE", "fr_FR"}) {
      if (std::setlocale(LC_ALL, name) && std::strcmp(std::localeconv()->decimal_point, ".") != 0)
        return true;
    }
    return compileCommaLocale();
  }

 private:
  // Machines often carry no locale but C: build one from the locale sources
  // into a private directory and point the C library at it.
  bool compileCommaLocale() {
    std::string const command =
        "localedef -i de_DE -f UTF-8 " + dir.file("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (std::system(command.c_str()) == -1 || !tamo_test::exists(dir.file("de_DE.UTF-8"))) {
      std::setlocale(LC_ALL, saved.c_str());
      return false;
    }
    ::setenv("LOCPATH", dir.path().c_str(), 1);
    bool const switched = std::setlocale(LC_ALL, "de_DE.UTF-8") &&
                          std::strcmp(std::localeconv()->decimal_point, ".") != 0;
    if (!switched)
      std::setlocale(LC_ALL, saved.c_str());
    return switched;
  }

  tamo_test::TempDir dir;
  std::string saved;
};

TEST(ValueLocaleTest, NumbersIgnoreTheProcessLocale) {
  ProcessLocale locale;
  if (!locale.switchToCommaLocale())
    GTEST_SKIP() << "no locale with another decimal point";
  ConfigValue number(IConfig::DOUBLE);
  number.init("2.25e1");
  EXPECT_EQ(22.5, number.getDouble());
  EXPECT_STREQ("0.1", ConfigValue(0.1, nullptr).getUtf8());
  EXPECT_STREQ("1.23457e+06", ConfigValue(1234567.0, nullptr).getUtf8());
}

}  // namespace
}  // namespace settings_impl
