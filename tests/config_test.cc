#include "share/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "share/status.h"
#include "share/value.h"
#include "support/status_of.h"

namespace settings_impl {
namespace {

using tamo_test::kNoException;
using tamo_test::statusOf;

int formatterCalls = 0;

std::string formatFromOne(IParserCursor const& cursor) {
  ++formatterCalls;
  return "line " + std::to_string(cursor.line + 1) + "; char " +
         std::to_string(cursor.character + 1);
}

class RecordingListener : public IParserErrorListener {
 public:
  void onError(IParserCursor const&, char const* message) override {
    messages.emplace_back(message);
  }

  std::vector<std::string> messages;
};

class ConfigBuilderTest : public testing::Test {
 protected:
  int feed(char const* key, char const* value) { return builder.onValue(cursor, key, value); }
  std::unique_ptr<IConfig> build() { return ConfigBuilder::createConfig(builder.getValues()); }

  IParserCursor cursor;
  RecordingListener listener;
  ConfigBuilder builder{formatFromOne, nullptr, nullptr, &listener};
};

TEST_F(ConfigBuilderTest, RepeatedKeyKeepsLastValue) {
  EXPECT_EQ(PARSE_ACCEPTED, feed("a", "1"));
  EXPECT_EQ(PARSE_ACCEPTED, feed("a", "2"));
  auto config = build();
  EXPECT_STREQ("2", config->getUtf8Value("a"));
  EXPECT_EQ(1u, config->getKeys().size());
}

TEST_F(ConfigBuilderTest, LaterKeyWithoutValueRemovesValue) {
  feed("a", "1");
  EXPECT_EQ(PARSE_ACCEPTED, feed("a", nullptr));
  auto config = build();
  EXPECT_FALSE(config->hasValue("a"));
  for (auto const& read : std::vector<std::function<void()>>{
           [&] { config->getValueType("a"); }, [&] { config->getUtf8Value("a"); },
           [&] { config->getIntegerValue("a"); }, [&] { config->getDoubleValue("a"); },
           [&] { config->getBooleanValue("a"); }, [&] { config->toUtf8("a"); }}) {
    EXPECT_EQ(SETTINGS_TYPE_MISMATCH_ERROR, statusOf(read));
  }
  ASSERT_EQ(1u, config->getKeys().size());
  EXPECT_STREQ("a", config->getKeys()[0]);
}

TEST_F(ConfigBuilderTest, LaterValueReplacesKeyWithoutValue) {
  feed("a", nullptr);
  feed("a", "1");
  EXPECT_TRUE(build()->hasValue("a"));
}

TEST_F(ConfigBuilderTest, EmptyValueIsAValue) {
  feed("k", "");
  auto config = build();
  EXPECT_TRUE(config->hasValue("k"));
  EXPECT_STREQ("", config->getUtf8Value("k"));
  EXPECT_EQ(SETTINGS_VALUE_FORMAT_ERROR, statusOf([&] { config->getIntegerValue("k"); }));
}

TEST_F(ConfigBuilderTest, ValueWithoutValidatorIsUntypedText) {
  feed("n", "0x10");
  auto config = build();
  EXPECT_EQ(IConfig::UNTYPED, config->getValueType("n"));
  EXPECT_EQ(16, config->getIntegerValue("n"));
  EXPECT_STREQ("0x10", config->getUtf8Value("n"));
  EXPECT_EQ("0x10", config->toUtf8("n"));
  EXPECT_TRUE(config->getBooleanValue("n"));
  EXPECT_EQ(0.0, config->getDoubleValue("n"));
}

TEST_F(ConfigBuilderTest, ValueThatIsNotUtf8IsRefusedAndEarlierValueKept) {
  feed("a", "1");
  EXPECT_EQ(PARSE_INVALID_VALUE, feed("a", "x\xFF"));
  EXPECT_EQ(PARSE_INVALID_VALUE, feed("b", "\xC3"));
  auto config = build();
  EXPECT_STREQ("1", config->getUtf8Value("a"));
  EXPECT_EQ(SETTINGS_KEY_NOT_FOUND_ERROR, statusOf([&] { config->hasValue("b"); }));
}

// Every stored key must be UTF-8 by itself; otherwise the file written from
// the configuration would not read back.
TEST_F(ConfigBuilderTest, KeyThatIsNotUtf8IsRefused) {
  feed("a", "1");
  EXPECT_EQ(PARSE_INVALID_KEY, feed("\xFF", "1"));
  EXPECT_EQ(PARSE_INVALID_KEY, feed("k\xC3", "1"));
  EXPECT_EQ(PARSE_INVALID_KEY, feed("\x80", nullptr));
  auto config = build();
  ASSERT_EQ(1u, config->getKeys().size());
  EXPECT_STREQ("a", config->getKeys()[0]);
}

TEST_F(ConfigBuilderTest, MultiByteKeyIsAccepted) {
  EXPECT_EQ(PARSE_ACCEPTED, feed("gr\xC3\xBC\xC3\x9F", "1"));
  EXPECT_EQ(1, build()->getIntegerValue("gr\xC3\xBC\xC3\x9F"));
}

TEST_F(ConfigBuilderTest, CommentsAreAcceptedAndNotStored) {
  EXPECT_TRUE(builder.onComment(cursor, "# note"));
  EXPECT_TRUE(build()->getKeys().empty());
}

TEST_F(ConfigBuilderTest, CreateConfigTakesOverEveryEntry) {
  std::unique_ptr<IConfig> config;
  {
    ConfigBuilder local(formatFromOne, nullptr, nullptr, nullptr);
    local.onValue(cursor, "a", "1");
    local.onValue(cursor, "b", nullptr);
    config = ConfigBuilder::createConfig(local.getValues());
    EXPECT_TRUE(local.getValues().empty());
  }
  EXPECT_STREQ("1", config->getUtf8Value("a"));
  EXPECT_FALSE(config->hasValue("b"));
}

// Under the address sanitizer this shows the builder frees what it was not
// asked to hand over.
TEST_F(ConfigBuilderTest, UnclaimedEntriesGoWithTheBuilder) {
  feed("a", "1");
  feed("a", "2");
  feed("b", "3");
}

TEST(ConfigTest, KeysInByteOrder) {
  ConfigBuilder builder(formatFromOne, nullptr, nullptr, nullptr);
  IParserCursor cursor;
  for (char const* key : {"b", "\xC3\xA9", "B", "a", "ab"})
    builder.onValue(cursor, key, "1");
  auto config = ConfigBuilder::createConfig(builder.getValues());
  std::vector<std::string> keys;
  for (char const* key : config->getKeys())
    keys.emplace_back(key);
  EXPECT_EQ((std::vector<std::string>{"B", "a", "ab", "b", "\xC3\xA9"}), keys);
}

TEST(ConfigTest, EveryKeyedOperationRefusesAbsentKey) {
  ConfigBuilder builder(formatFromOne, nullptr, nullptr, nullptr);
  IParserCursor cursor;
  builder.onValue(cursor, "present", "1");
  builder.onValue(cursor, "bare", nullptr);
  for (auto const& config :
       {ConfigBuilder::createEmptyConfig(), ConfigBuilder::createConfig(builder.getValues())}) {
    for (auto const& read : std::vector<std::function<void()>>{
             [&] { config->getValueType("absent"); }, [&] { config->hasValue("absent"); },
             [&] { config->getUtf8Value("absent"); }, [&] { config->getIntegerValue("absent"); },
             [&] { config->getDoubleValue("absent"); }, [&] { config->getBooleanValue("absent"); },
             [&] { config->toUtf8("absent"); }, [&] { config->hasValue("Present"); }}) {
      EXPECT_EQ(SETTINGS_KEY_NOT_FOUND_ERROR, statusOf(read));
    }
  }
}

// Lookups remember where they ended; whatever the order, each finds its own
// key and an absent neighbour is still absent.
TEST(ConfigTest, LookupsInAnyOrderFindTheirOwnKey) {
  ConfigBuilder builder(formatFromOne, nullptr, nullptr, nullptr);
  IParserCursor cursor;
  for (char const* key : {"a", "b", "d", "da"})
    builder.onValue(cursor, key, key);
  builder.onValue(cursor, "c", nullptr);
  auto const config = ConfigBuilder::createConfig(builder.getValues());
  for (char const* key : {"a", "a", "b", "d", "da", "b", "a", "da", "d"})
    EXPECT_STREQ(key, config->getUtf8Value(key)) << key;
  for (char const* key : {"aa", "bb", "ab", "", "db", "d ", "daa", "e", "A"})
    EXPECT_EQ(SETTINGS_KEY_NOT_FOUND_ERROR, statusOf([&] { config->hasValue(key); })) << key;
  EXPECT_TRUE(config->hasValue("b"));
  EXPECT_FALSE(config->hasValue("c"));
  EXPECT_EQ(SETTINGS_TYPE_MISMATCH_ERROR, statusOf([&] { config->toUtf8("c"); }));
  EXPECT_STREQ("d", config->getUtf8Value("d"));
}

using Entries = std::vector<std::pair<char const*, char const*>>;  // a null value: none

std::unique_ptr<IConfig> configOf(Entries const& entries) {
  ConfigBuilder builder(formatFromOne, nullptr, nullptr, nullptr);
  IParserCursor cursor;
  for (auto const& entry : entries)
    builder.onValue(cursor, entry.first, entry.second);
  return ConfigBuilder::createConfig(builder.getValues());
}

// Every key with its text, "-" for a key without a value.
std::vector<std::string> contentsOf(IConfig const& config) {
  std::vector<std::string> contents;
  for (char const* key : config.getKeys())
    contents.push_back(std::string(key) + "=" + (config.hasValue(key) ? config.toUtf8(key) : "-"));
  return contents;
}

struct MoveCase {
  char const* name;
  Entries target;
  Entries source;
  std::vector<std::string> expected;
};

void PrintTo(MoveCase const& row, std::ostream* out) {
  *out << row.name;
}

class MoveEntries : public testing::TestWithParam<MoveCase> {};

TEST_P(MoveEntries, SourceWinsAndIsLeftEmpty) {
  auto const target = configOf(GetParam().target);
  auto const source = configOf(GetParam().source);
  EXPECT_TRUE(ConfigBuilder::moveEntries(*target, *source));
  EXPECT_EQ(GetParam().expected, contentsOf(*target));
  EXPECT_TRUE(source->getKeys().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Merges, MoveEntries,
    testing::Values(MoveCase{"Overlapping",
                             {{"A", "1"}, {"B", "x"}, {"K", "5"}},
                             {{"B", "y"}, {"C", "c"}, {"K", nullptr}},
                             {"A=1", "B=y", "C=c", "K=-"}},
                    MoveCase{"ValueReplacesNone", {{"K", nullptr}}, {{"K", "1"}}, {"K=1"}},
                    MoveCase{"IntoEmpty", {}, {{"b", "2"}, {"a", "1"}}, {"a=1", "b=2"}},
                    MoveCase{"FromEmpty", {{"a", "1"}}, {}, {"a=1"}},
                    MoveCase{"Interleaved",
                             {{"b", "1"}, {"d", "1"}},
                             {{"a", "2"}, {"c", "2"}, {"e", "2"}},
                             {"a=2", "b=1", "c=2", "d=1", "e=2"}}),
    [](auto const& info) { return std::string(info.param.name); });

// Stands for a configuration of another kind.
class ForeignConfig : public IConfig {
 public:
  Type getValueType(char const*) const override { throw KeyNotFoundError(); }
  bool hasValue(char const*) const override { throw KeyNotFoundError(); }
  char const* getUtf8Value(char const*) const override { throw KeyNotFoundError(); }
  int getIntegerValue(char const*) const override { throw KeyNotFoundError(); }
  double getDoubleValue(char const*) const override { throw KeyNotFoundError(); }
  bool getBooleanValue(char const*) const override { throw KeyNotFoundError(); }
  std::string toUtf8(char const*) const override { throw KeyNotFoundError(); }
  std::vector<char const*> getKeys() const override { return {}; }
};

TEST(MoveEntriesTest, RefusesItselfAndOtherKindsAndChangesNothing) {
  auto const config = configOf({{"a", "1"}});
  ForeignConfig foreign;
  EXPECT_FALSE(ConfigBuilder::moveEntries(*config, *config));
  EXPECT_FALSE(ConfigBuilder::moveEntries(*config, foreign));
  EXPECT_FALSE(ConfigBuilder::moveEntries(foreign, *config));
  EXPECT_EQ(std::vector<std::string>{"a=1"}, contentsOf(*config));
}

TEST(ConfigTest, EmptyConfigHasNoKeys) {
  EXPECT_TRUE(ConfigBuilder::createEmptyConfig()->getKeys().empty());
}

// ---- Error messages ---------------------------------------------------------

struct MessageCase {
  char const* name;
  int code;
  char const* message;
};

void PrintTo(MessageCase const& row, std::ostream* out) {
  *out << row.name;
}

class BuilderErrorMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(BuilderErrorMessage, QuotesTextAndNamesPosition) {
  RecordingListener listener;
  ConfigBuilder builder(formatFromOne, nullptr, nullptr, &listener);
  IParserCursor cursor;
  cursor.line = 2;
  cursor.character = 0;
  builder.onError(cursor, GetParam().code);
  EXPECT_EQ(std::vector<std::string>{GetParam().message}, listener.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, BuilderErrorMessage,
    testing::Values(MessageCase{"KeyWithoutValue", 301, "\"Key without value\" at line 3; char 1"},
                    MessageCase{"EmptyKey", 302, "\"Empty key\" at line 3; char 1"},
                    MessageCase{"InvalidKey", 303, "\"Invalid key\" at line 3; char 1"},
                    MessageCase{"InvalidValue", 304, "\"Invalid value\" at line 3; char 1"},
                    MessageCase{"InvalidComment", 305, "\"Invalid comment\" at line 3; char 1"},
                    MessageCase{"Accepted", 300, "\"Unknown error\" at line 3; char 1"},
                    MessageCase{"Unassigned", 42, "\"Unknown error\" at line 3; char 1"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(BuilderErrorTest, NoListenerComposesNothing) {
  ConfigBuilder builder(formatFromOne, nullptr, nullptr, nullptr);
  IParserCursor cursor;
  formatterCalls = 0;
  builder.onError(cursor, PARSE_EMPTY_KEY);
  EXPECT_EQ(0, formatterCalls);
}

TEST(BuilderErrorTest, ListenerFailurePassesOut) {
  class RefusingListener : public IParserErrorListener {
   public:
    void onError(IParserCursor const&, char const*) override {
      throw settings::Exception(SETTINGS_INVALID_VALUE_ERROR);
    }
  } listener;
  ConfigBuilder builder(formatFromOne, nullptr, nullptr, &listener);
  IParserCursor cursor;
  EXPECT_EQ(SETTINGS_INVALID_VALUE_ERROR,
            statusOf([&] { builder.onError(cursor, PARSE_INVALID_VALUE); }));
}

// ---- Maps of owning pointers ------------------------------------------------

// Records, when destroyed, its name and how many entries the map still had.
struct Tracked {
  Tracked(std::string name, std::vector<std::string>& log, std::map<std::string, Tracked*>& map)
      : name(std::move(name)), log(log), map(map) {}
  ~Tracked() { log.push_back(name + "@" + std::to_string(map.size())); }

  std::string name;
  std::vector<std::string>& log;
  std::map<std::string, Tracked*>& map;
};

using TrackedMap = std::map<std::string, Tracked*>;

TEST(OwningMapTest, SetValueReplacesAndDeletesEarlierValue) {
  std::vector<std::string> log;
  TrackedMap map;
  auto first = std::make_unique<Tracked>("first", log, map);
  setValue(map, "k", first);
  EXPECT_EQ(nullptr, first);
  auto second = std::make_unique<Tracked>("second", log, map);
  Tracked* raw = second.get();
  setValue(map, "k", second);
  EXPECT_EQ(std::vector<std::string>{"first@1"}, log);
  EXPECT_EQ(raw, map.at("k"));
  std::unique_ptr<Tracked> none;
  setValue(map, "k", none);
  setValue(map, "other", none);
  EXPECT_EQ((std::vector<std::string>{"first@1", "second@1"}), log);
  EXPECT_EQ((TrackedMap{{"k", nullptr}, {"other", nullptr}}), map);
}

struct InsertionOrderCase {
  char const* name;
  std::vector<char const*> keys;  // a repeated key replaces the earlier value
};

void PrintTo(InsertionOrderCase const& row, std::ostream* out) {
  *out << row.name;
}

class SetValueOrder : public testing::TestWithParam<InsertionOrderCase> {};

// Ascending runs take a shortcut to the end of the map; every order must
// still give byte order and delete exactly the replaced values.
TEST_P(SetValueOrder, KeepsByteOrderAndDeletesReplacedValues) {
  std::vector<std::string> log;
  TrackedMap map;
  for (std::size_t i = 0; i < GetParam().keys.size(); ++i) {
    auto value = std::make_unique<Tracked>(std::to_string(i), log, map);
    setValue(map, GetParam().keys[i], value);
  }
  std::vector<std::string> keys;
  for (auto const& entry : map)
    keys.push_back(entry.first);
  std::vector<std::string> expected(GetParam().keys.begin(), GetParam().keys.end());
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  EXPECT_EQ(expected, keys);
  EXPECT_EQ(GetParam().keys.size() - expected.size(), log.size());
  deleteValues(map);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, SetValueOrder,
    testing::Values(InsertionOrderCase{"Ascending", {"A", "AB", "B", "a", "b"}},
                    InsertionOrderCase{"Descending", {"b", "a", "B", "AB", "A"}},
                    InsertionOrderCase{"Mixed", {"m", "a", "z", "b", "y"}},
                    InsertionOrderCase{"RepeatedLast", {"a", "b", "b", "c", "c"}},
                    InsertionOrderCase{"RepeatedEarlier", {"a", "b", "c", "a", "b"}},
                    InsertionOrderCase{"PrefixAfterLonger", {"ab", "a", "abc", "b\xff", "b"}}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(OwningMapTest, DeleteValuesEmptiesMapBeforeDeletingInKeyOrder) {
  std::vector<std::string> log;
  TrackedMap map;
  for (char const* key : {"b", "a", "c"}) {
    auto value = std::make_unique<Tracked>(key, log, map);
    setValue(map, key, value);
  }
  std::unique_ptr<Tracked> none;
  setValue(map, "bare", none);
  deleteValues(map);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ((std::vector<std::string>{"a@0", "b@0", "c@0"}), log);
}

}  // namespace
}  // namespace settings_impl
