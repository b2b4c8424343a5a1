#include "share/validator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "share/key_mapper.h"
#include "share/parser.h"
#include "share/status.h"
#include "share/value.h"

namespace {

using settings_impl::ConfigValidator;
using settings_impl::ConfigValidatorBuilder;
using settings_impl::ConfigValue;
using settings_impl::IConfig;

struct Row {
  char const* text;
  int value;
  int flags;
};

std::vector<Row> const kEnableDisable = {
    {"1", 1, 0}, {"0", 0, 0}, {"Enable", 1, 2}, {"Disable", 0, 2}};
std::vector<Row> const kSecurityLevel = {{"1", 1, 0}, {"2", 2, 0}, {"3", 3, 0}, {"4", 4, 0},
                                         {"L", 1, 2}, {"M", 2, 2}, {"H", 3, 2}, {"VH", 4, 2}};

void addRows(ConfigValidatorBuilder& builder, char const* key, std::vector<Row> const& rows) {
  for (Row const& row : rows)
    builder.addFixedValueValidator(key, row.text, row.value, row.flags);
}

std::unique_ptr<ConfigValidator> installerValidator() {
  ConfigValidatorBuilder builder;
  for (char const* key : {"AUTO_UPDATE", "WEB_TAMO", "WEB_ANALYTICS"}) {
    addRows(builder, key, kEnableDisable);
  }
  addRows(builder, "WEB_TAMO_SECURITY_LEVEL", kSecurityLevel);
  builder.allowUnknownKeys = true;
  return builder.createValidator();
}

std::unique_ptr<ConfigValidator> fixedValidator(std::vector<Row> const& rows) {
  ConfigValidatorBuilder builder;
  addRows(builder, "k", rows);
  return builder.createValidator();
}

// An outcome of one validation: the stored integer and text, or a refusal.
struct Fixed {
  bool accepted;
  int value;
  char const* text;
};
Fixed stored(int value, char const* text) {
  return {true, value, text};
}
Fixed const kRefused = {false, 0, nullptr};

void expectOutcome(ConfigValidator const& validator, char const* key, char const* input,
                   Fixed const& expected) {
  if (!expected.accepted) {
    EXPECT_THROW(validator.validate(key, input), ConfigValidator::InavlidValueError);
    return;
  }
  std::unique_ptr<ConfigValue> value = validator.validate(key, input);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->getType(), IConfig::INTEGER);
  EXPECT_EQ(value->getInteger(), expected.value);
  EXPECT_STREQ(value->getUtf8(), expected.text);
}

struct RowsCase {
  char const* name;
  std::vector<Row> rows;
  char const* input;
  Fixed expected;
};

class FixedValueRows : public testing::TestWithParam<RowsCase> {};

TEST_P(FixedValueRows, MatchByCaseRulesLastRowWinning) {
  expectOutcome(*fixedValidator(GetParam().rows), "k", GetParam().input, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FixedValueRows,
    testing::Values(
        RowsCase{"EnableLower", kEnableDisable, "enable", stored(1, "Enable")},
        RowsCase{"DisableMixed", kEnableDisable, "dIsAbLe", stored(0, "Disable")},
        RowsCase{"DigitKeepsText", kEnableDisable, "1", stored(1, "1")},
        RowsCase{"LeadingZeroRefused", kEnableDisable, "01", kRefused},
        RowsCase{"YesRefused", kEnableDisable, "yes", kRefused},
        RowsCase{"EmptyRefused", kEnableDisable, "", kRefused},
        RowsCase{"LevelRefused", kEnableDisable, "VH", kRefused},
        RowsCase{"VeryHighLower", kSecurityLevel, "vh", stored(4, "VH")},
        RowsCase{"LevelOutOfTable", kSecurityLevel, "5", kRefused},
        RowsCase{"OnlyInsensitiveRowMatches", {{"on", 1, 0}, {"On", 2, 1}}, "ON", stored(1, "ON")},
        RowsCase{"BothMatchLaterWins", {{"on", 1, 0}, {"On", 2, 1}}, "On", stored(2, "On")},
        RowsCase{"ListedText", {{"Enable", 1, 2}}, "enable", stored(1, "Enable")},
        RowsCase{"InputText", {{"Enable", 1, 0}}, "enable", stored(1, "enable")},
        RowsCase{"OtherFlagBitsIgnored", {{"x", 7, 4}}, "X", stored(7, "X")},
        RowsCase{"NumbersAreTexts", {{"1", 1, 0}}, "0x1", kRefused},
        RowsCase{"PunctuationNotFolded", {{"@", 1, 0}}, "`", kRefused},
        RowsCase{"NonAsciiNotFolded", {{"\xC3\x89", 1, 0}}, "\xC3\xA9", kRefused},
        // The same text again replaces the row in place, so the later "X" still wins.
        RowsCase{"SameTextReplacedInPlace",
                 {{"x", 1, 0}, {"X", 2, 0}, {"x", 3, 0}},
                 "x",
                 stored(2, "x")},
        RowsCase{"OtherCaseAppended",
                 {{"Enable", 1, 2}, {"enable", 5, 0}},
                 "ENABLE",
                 stored(5, "ENABLE")}),
    [](testing::TestParamInfo<RowsCase> const& info) { return info.param.name; });

struct DirnameCase {
  char const* name;
  bool skipPathCheck;
  char const* input;
  bool accepted;
};

class DirnameRule : public testing::TestWithParam<DirnameCase> {};

TEST_P(DirnameRule, StoresAcceptedTextUnchanged) {
  ConfigValidatorBuilder builder;
  builder.setDirnameValidator("dir", GetParam().skipPathCheck);
  auto validator = builder.createValidator();
  if (!GetParam().accepted) {
    EXPECT_THROW(validator->validate("dir", GetParam().input), ConfigValidator::InavlidValueError);
    return;
  }
  std::unique_ptr<ConfigValue> value = validator->validate("dir", GetParam().input);
  EXPECT_EQ(value->getType(), IConfig::UTF8);
  EXPECT_STREQ(value->getUtf8(), GetParam().input);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DirnameRule,
    testing::Values(DirnameCase{"Absolute", false, "/opt/x", true},
                    DirnameCase{"Root", false, "/", true},
                    DirnameCase{"Backslash", false, "\\opt", true},
                    DirnameCase{"DotsAndTrailingSeparatorKept", false, "/opt/../x/", true},
                    DirnameCase{"Relative", false, "opt/x", false},
                    DirnameCase{"DriveLetter", false, "C:\\dir", false},
                    DirnameCase{"Empty", false, "", false},
                    DirnameCase{"NotUtf8", false, "/opt/\xFF", false},
                    DirnameCase{"SkipAcceptsRelative", true, "opt", true},
                    DirnameCase{"SkipAcceptsEmpty", true, "", true},
                    DirnameCase{"SkipStillNeedsUtf8", true, "\xFF", false}),
    [](testing::TestParamInfo<DirnameCase> const& info) { return info.param.name; });

TEST(TypeRule, ValueIsReadByTheTypeReaders) {
  ConfigValidatorBuilder builder;
  builder.setTypeValidator("i", IConfig::INTEGER);
  builder.setTypeValidator("b", IConfig::BOOLEAN);
  builder.setTypeValidator("d", IConfig::DOUBLE);
  builder.setTypeValidator("s", IConfig::UTF8);
  auto validator = builder.createValidator();

  auto hex = validator->validate("i", "0x10");
  EXPECT_EQ(hex->getInteger(), 16);
  EXPECT_STREQ(hex->getUtf8(), "0x10");
  EXPECT_TRUE(validator->validate("b", "Yes")->getBoolean());
  EXPECT_DOUBLE_EQ(validator->validate("d", "1e3")->getDouble(), 1000.0);
  EXPECT_THROW(validator->validate("i", "abc"), settings_impl::ValueFormatError);
  EXPECT_THROW(validator->validate("b", "on"), settings_impl::ValueFormatError);
  EXPECT_THROW(validator->validate("s", "\xFF"), settings_impl::ValueFormatError);
}

TEST(NullValue, OnlyBooleanRuleStoresNothing) {
  ConfigValidatorBuilder builder;
  builder.setTypeValidator("b", IConfig::BOOLEAN);
  builder.setTypeValidator("i", IConfig::INTEGER);
  builder.setDirnameValidator("dir", true);
  addRows(builder, "f", kEnableDisable);
  builder.allowUnknownKeys = true;
  auto validator = builder.createValidator();

  EXPECT_EQ(validator->validate("b", nullptr), nullptr);
  for (char const* key : {"i", "dir", "f", "unknown"}) {
    EXPECT_THROW(validator->validate(key, nullptr), ConfigValidator::InavlidValueError) << key;
  }
}

TEST(UnknownKeys, StoredUntypedOnlyWhenAllowed) {
  ConfigValidatorBuilder builder;
  addRows(builder, "AUTO_UPDATE", kEnableDisable);
  auto refusing = builder.createValidator();
  builder.allowUnknownKeys = true;
  auto allowing = builder.createValidator();

  // Keys are looked up by exact bytes: the rule of "AUTO_UPDATE" is not consulted.
  EXPECT_THROW(refusing->validate("auto_update", "yes"), ConfigValidator::InavlidKeyError);
  auto value = allowing->validate("auto_update", " yes ");
  EXPECT_EQ(value->getType(), IConfig::UNTYPED);
  EXPECT_STREQ(value->getUtf8(), " yes ");
}

TEST(ConfigValidatorBuilder, KeepsOneRulePerKey) {
  ConfigValidatorBuilder builder;
  builder.setTypeValidator("k", IConfig::UTF8);
  builder.setDirnameValidator("k", false);
  addRows(builder, "k", kEnableDisable);
  builder.setTypeValidator("k", IConfig::INTEGER);
  builder.setTypeValidator("gone", IConfig::INTEGER);
  builder.deleteValidator("gone");
  auto validator = builder.createValidator();

  EXPECT_EQ(validator->validate("k", "7")->getInteger(), 7);
  EXPECT_THROW(validator->validate("k", "Enable"), settings_impl::ValueFormatError);
  EXPECT_THROW(validator->validate("gone", "1"), ConfigValidator::InavlidKeyError);
}

TEST(ConfigValidatorBuilder, CreatesSnapshotsThatOutliveTheBuilder) {
  auto builder = std::make_unique<ConfigValidatorBuilder>();
  addRows(*builder, "k", {{"a", 1, 0}});
  auto before = builder->createValidator();
  addRows(*builder, "k", {{"a", 2, 0}});
  auto after = builder->createValidator();
  builder.reset();

  EXPECT_EQ(before->validate("k", "a")->getInteger(), 1);
  EXPECT_EQ(after->validate("k", "a")->getInteger(), 2);
}

TEST(ConfigValidatorBuilder, RefusesNullTexts) {
  ConfigValidatorBuilder builder;
  EXPECT_THROW(builder.addFixedValueValidator("k", nullptr, 1, 0), std::invalid_argument);
  EXPECT_THROW(builder.setTypeValidator(nullptr, IConfig::UTF8), std::invalid_argument);
}

class MessageCollector : public settings_impl::IParserErrorListener {
 public:
  void onError(settings_impl::IParserCursor const&, char const* message) override {
    messages.emplace_back(message);
  }
  std::vector<std::string> messages;
};

// Parses text, reporting every refused line instead of stopping at the first.
std::unique_ptr<IConfig> parseWith(std::string const& text, ConfigValidator const* validator,
                                   settings_impl::KeyMapper const* keyMapper,
                                   MessageCollector& collector) {
  settings_impl::PlainTextFileConfigParser parser(text);
  parser.setValidator(validator);
  parser.setKeyMapper(keyMapper);
  parser.setErrorListener(&collector);
  parser.setFailFast(false);
  return std::unique_ptr<IConfig>(parser.parse());
}

TEST(RulesThroughParser, InstallerKeysAreMappedThenChecked) {
  settings_impl::KeyMapperBuilder mappings;
  for (char const* key : {"AUTO_UPDATE", "WEB_TAMO", "WEB_ANALYTICS", "WEB_TAMO_SECURITY_LEVEL"}) {
    mappings.map(key, key, false);
  }
  auto keyMapper = mappings.create();
  auto validator = installerValidator();
  MessageCollector collector;

  auto config = parseWith(
      "auto_update=enable\nWeb_Tamo_Security_Level = vh\nAUTO_UPDATE=yes\n  web_tamo=01\nx=y\n",
      validator.get(), keyMapper.get(), collector);

  std::vector<char const*> const keys = config->getKeys();
  EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.end()),
            (std::vector<std::string>{"AUTO_UPDATE", "WEB_TAMO_SECURITY_LEVEL", "x"}));
  EXPECT_EQ(config->getIntegerValue("AUTO_UPDATE"), 1);
  EXPECT_STREQ(config->getUtf8Value("AUTO_UPDATE"), "Enable");
  EXPECT_EQ(config->getIntegerValue("WEB_TAMO_SECURITY_LEVEL"), 4);
  EXPECT_STREQ(config->getUtf8Value("WEB_TAMO_SECURITY_LEVEL"), "VH");
  EXPECT_EQ(config->getValueType("x"), IConfig::UNTYPED);
  EXPECT_EQ(collector.messages, (std::vector<std::string>{"\"Invalid value\" at line 3; char 1",
                                                          "\"Invalid value\" at line 4; char 3"}));
}

TEST(RulesThroughParser, UnreadableTypedTextAndUnknownKeyAreRefusedLines) {
  ConfigValidatorBuilder rules;
  rules.setTypeValidator("n", IConfig::INTEGER);
  auto validator = rules.createValidator();
  MessageCollector collector;

  auto config = parseWith("n=12\nn=abc\nother=1\n", validator.get(), nullptr, collector);

  EXPECT_EQ(config->getIntegerValue("n"), 12);
  EXPECT_THROW(config->hasValue("other"), settings_impl::KeyNotFoundError);
  EXPECT_EQ(collector.messages, (std::vector<std::string>{"\"Invalid value\" at line 2; char 1",
                                                          "\"Invalid key\" at line 3; char 1"}));
}

}  // namespace
