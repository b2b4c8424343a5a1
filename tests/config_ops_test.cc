#include "share/config_ops.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "share/status.h"
#include "share/value.h"

namespace {

using settings_impl::ConfigValue;
using settings_impl::IConfig;
using settings_impl::KeyList;

// One entry of a test configuration; a null text is a key without a value.
struct Entry {
  char const* key;
  IConfig::Type type;
  char const* text;
};

Entry untyped(char const* key, char const* text) {
  return {key, IConfig::UNTYPED, text};
}
Entry utf8(char const* key, char const* text) {
  return {key, IConfig::UTF8, text};
}
Entry integer(char const* key, char const* text) {
  return {key, IConfig::INTEGER, text};
}
Entry boolean(char const* key, char const* text) {
  return {key, IConfig::BOOLEAN, text};
}
Entry real(char const* key, char const* text) {
  return {key, IConfig::DOUBLE, text};
}
Entry noValue(char const* key) {
  return {key, IConfig::UNTYPED, nullptr};
}

std::unique_ptr<IConfig> makeConfig(std::vector<Entry> const& entries) {
  settings_impl::EntryList values;
  for (Entry const& entry : entries) {
    std::unique_ptr<ConfigValue> value;
    if (entry.text != nullptr) {
      value = std::make_unique<ConfigValue>(entry.type);
      value->init(entry.text);
    }
    settings_impl::setValue(values, entry.key, value);
  }
  return settings_impl::ConfigBuilder::createConfig(values);
}

std::vector<std::string> keysOf(IConfig const& config) {
  KeyList const keys = config.getKeys();
  return {keys.begin(), keys.end()};
}

void expectEntry(IConfig const& config, char const* key, IConfig::Type type, char const* text) {
  SCOPED_TRACE(key);
  ASSERT_TRUE(config.hasValue(key));
  EXPECT_EQ(config.getValueType(key), type);
  EXPECT_STREQ(config.getUtf8Value(key), text);
}

TEST(MergeConfigs, SecondWinsAndArgumentsStayUnchanged) {
  auto first = makeConfig({integer("A", "1"), utf8("B", "x")});
  auto second = makeConfig({utf8("B", "y"), boolean("C", "true")});

  auto merged = settings_impl::mergeConfigs(*first, *second);

  EXPECT_EQ(keysOf(*merged), (std::vector<std::string>{"A", "B", "C"}));
  expectEntry(*merged, "A", IConfig::INTEGER, "1");
  EXPECT_EQ(merged->getIntegerValue("A"), 1);
  expectEntry(*merged, "B", IConfig::UTF8, "y");
  EXPECT_TRUE(merged->getBooleanValue("C"));
  EXPECT_STREQ(first->getUtf8Value("B"), "x");
  EXPECT_EQ(keysOf(*second), (std::vector<std::string>{"B", "C"}));
}

TEST(MergeConfigs, KeyWithoutValueInSecondReplacesValue) {
  auto withValue = makeConfig({integer("K", "5")});
  auto withoutValue = makeConfig({noValue("K")});

  EXPECT_FALSE(settings_impl::mergeConfigs(*withValue, *withoutValue)->hasValue("K"));
  EXPECT_EQ(settings_impl::mergeConfigs(*withoutValue, *withValue)->getIntegerValue("K"), 5);
}

TEST(MergeConfigs, OfEmptyConfigsIsEmpty) {
  auto empty = makeConfig({});
  EXPECT_TRUE(settings_impl::mergeConfigs(*empty, *empty)->getKeys().empty());
}

// A copy keeps the type, the typed value and the text as written, and shares
// nothing with its source: the source is gone before the copy is read.
TEST(MergeConfigs, CopiesOutliveTheirSources) {
  std::vector<Entry> const entries = {untyped("u", "0x10"), integer("i", "0x10"),
                                      boolean("b", "YES"),  real("d", "1e3"),
                                      utf8("s", "text"),    noValue("n")};
  auto source = makeConfig(entries);
  auto copy = settings_impl::mergeConfigs(*source, *makeConfig({}));
  source.reset();

  EXPECT_TRUE(*copy == *makeConfig(entries));
  EXPECT_STREQ(copy->getUtf8Value("i"), "0x10");
  EXPECT_STREQ(copy->getUtf8Value("b"), "YES");
}

TEST(EraseKeys, MustExistRefusesMissingKeyAndErasesNothing) {
  auto config = makeConfig({untyped("A", "1"), untyped("B", "2")});

  try {
    settings_impl::eraseKeys(*config, {"A", "Missing"}, true);
    FAIL() << "erased a missing key";
  } catch (settings::Exception const& e) {
    EXPECT_EQ(e.code, SETTINGS_KEY_NOT_FOUND_ERROR);
  }
  EXPECT_THROW(settings_impl::eraseKey(*config, "a"), settings_impl::KeyNotFoundError);
  EXPECT_EQ(keysOf(*config), (std::vector<std::string>{"A", "B"}));
}

TEST(EraseKeys, WithoutMustExistPassesOverMissingAndRepeatedKeys) {
  auto config = makeConfig({untyped("A", "1"), noValue("B"), untyped("C", "3")});

  auto erased = settings_impl::eraseKeys(*config, {"A", "Missing", "A", "B"}, false);

  EXPECT_EQ(keysOf(*erased), (std::vector<std::string>{"C"}));
  EXPECT_EQ(keysOf(*settings_impl::eraseKey(*config, "B")), (std::vector<std::string>{"A", "C"}));
}

struct EqualityCase {
  char const* name;
  std::vector<Entry> left;
  std::vector<Entry> right;
  bool equal;
};

class ConfigEquality : public testing::TestWithParam<EqualityCase> {};

TEST_P(ConfigEquality, ComparesTypedValues) {
  auto left = makeConfig(GetParam().left);
  auto right = makeConfig(GetParam().right);
  EXPECT_EQ(*left == *right, GetParam().equal);
  EXPECT_EQ(*right == *left, GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfigEquality,
    testing::Values(
        EqualityCase{"BothEmpty", {}, {}, true},
        EqualityCase{"IntegerHexAndDecimal", {integer("K", "0x10")}, {integer("K", "16")}, true},
        EqualityCase{"IntegerLeadingZeroText", {integer("K", "1")}, {integer("K", "01")}, true},
        EqualityCase{"UntypedAgainstInteger", {untyped("K", "16")}, {integer("K", "16")}, false},
        EqualityCase{"UntypedByText", {untyped("K", "0x10")}, {untyped("K", "16")}, false},
        EqualityCase{"Utf8AgainstUntyped", {utf8("K", "x")}, {untyped("K", "x")}, false},
        EqualityCase{"BooleanByTruth", {boolean("K", "yes")}, {boolean("K", "TRUE")}, true},
        EqualityCase{"DoubleSignedZero", {real("K", "0")}, {real("K", "-0")}, true},
        EqualityCase{"KeysByExactBytes", {untyped("a", "1")}, {untyped("A", "1")}, false},
        EqualityCase{"ExtraKey", {untyped("a", "1")}, {untyped("a", "1"), noValue("b")}, false},
        EqualityCase{"BothWithoutValue", {noValue("K")}, {noValue("K")}, true},
        EqualityCase{"ValueAgainstNone", {integer("K", "1")}, {noValue("K")}, false},
        EqualityCase{"NoValueDoesNotEndComparison",
                     {noValue("A"), integer("B", "1")},
                     {noValue("A"), integer("B", "2")},
                     false}),
    [](testing::TestParamInfo<EqualityCase> const& info) { return info.param.name; });

TEST(ConfigEquality, ValuesOverKeyListsOnly) {
  auto left = makeConfig({untyped("a", "1"), untyped("b", "2")});
  auto right = makeConfig({untyped("a", "1"), untyped("b", "3")});

  EXPECT_TRUE(settings_impl::isEqualValues(*left, *right, {}));
  EXPECT_TRUE(settings_impl::isEqualValues(*left, *right, {"a"}));
  EXPECT_FALSE(settings_impl::isEqualValues(*left, *right, {"a", "b"}));
  EXPECT_FALSE(settings_impl::isEqualValues(*left, *right, {"absent"}));
}

TEST(KeyLists, SortByUnsignedBytes) {
  KeyList keys = {"b", "\xC3\xA9", "B", "a", "A", "AB"};
  settings_impl::sortKeys(keys);
  EXPECT_TRUE(settings_impl::isEqual(keys, {"A", "AB", "B", "a", "b", "\xC3\xA9"}));
  EXPECT_FALSE(settings_impl::isEqual({"a", "b"}, {"b", "a"}));
  EXPECT_FALSE(settings_impl::isEqual({"a"}, {"a", "b"}));
}

}  // namespace
