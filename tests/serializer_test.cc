#include "share/serializer.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "share/config_ops.h"
#include "share/parser.h"
#include "share/status.h"

namespace settings_impl {
namespace {

std::unique_ptr<IConfig> parseText(std::string const& text) {
  PlainTextFileConfigParser parser(text);
  parser.setAllowKeysWithoutValues(true);
  return std::unique_ptr<IConfig>(parser.parse());
}

std::string serialize(IConfig const& config) {
  PlainTextEntrySerializer writer;
  ConfigSerializer(true, &writer).serialize(config);
  return writer.getText();
}

// A configuration of another kind, answering from one of the library's own,
// so that only the keyed questions of IConfig reach it.
class ForwardingConfig : public IConfig {
 public:
  explicit ForwardingConfig(IConfig const& inner) : inner(inner) {}

  Type getValueType(char const* key) const override { return inner.getValueType(key); }
  bool hasValue(char const* key) const override { return inner.hasValue(key); }
  char const* getUtf8Value(char const* key) const override { return inner.getUtf8Value(key); }
  int getIntegerValue(char const* key) const override { return inner.getIntegerValue(key); }
  double getDoubleValue(char const* key) const override { return inner.getDoubleValue(key); }
  bool getBooleanValue(char const* key) const override { return inner.getBooleanValue(key); }
  std::string toUtf8(char const* key) const override { return inner.toUtf8(key); }
  std::vector<char const*> getKeys() const override { return inner.getKeys(); }

 private:
  IConfig const& inner;
};

struct RoundTripCase {
  char const* name;
  char const* text;
  char const* written;
};

class RoundTripTest : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTripTest, WritesExactlyAndReadsBackTheSame) {
  auto const config = parseText(GetParam().text);
  ASSERT_NE(config, nullptr);
  std::string const written = serialize(*config);
  EXPECT_EQ(written, GetParam().written);
  EXPECT_EQ(serialize(ForwardingConfig(*config)), written);

  auto const readBack = parseText(written);
  ASSERT_NE(readBack, nullptr);
  EXPECT_TRUE(*readBack == *config);
  EXPECT_EQ(serialize(*readBack), written);
}

INSTANTIATE_TEST_SUITE_P(
    Format, RoundTripTest,
    testing::Values(
        RoundTripCase{"EmptyConfiguration", "", ""},
        RoundTripCase{"KeysInByteOrderOneLfEach", "b=2\na=1\nc\nB=0", "B=0\na=1\nb=2\nc\n"},
        RoundTripCase{"ValueWithSeparators", "url : http://h:80/p?a=b", "url=http://h:80/p?a=b\n"},
        RoundTripCase{"InnerBlanks", "my key =  a \t b \t", "my key=a \t b\n"},
        RoundTripCase{"EmptyValue", "k=", "k=\n"},
        RoundTripCase{"CommentsBlankLinesAndCrLfGo", "# c\r\n\r\nz: 1\r\ny = 2", "y=2\nz=1\n"},
        RoundTripCase{"LastOfRepeatedKeys", "a=1\na=2", "a=2\n"},
        // The leading mark is a signature: the key is "k".
        RoundTripCase{"Utf8AndByteOrderMark", "\xEF\xBB\xBFk=\xC3\xA9t\xC3\xA9",
                      "k=\xC3\xA9t\xC3\xA9\n"}),
    [](testing::TestParamInfo<RoundTripCase> const& info) { return info.param.name; });

enum class Failure { Settings, Standard, Foreign };

// Writes through a real writer but fails on one key.
class FailingEntrySerializer : public IConfigEntrySerializer {
 public:
  FailingEntrySerializer(std::string failingKey, Failure failure)
      : failingKey(std::move(failingKey)), failure(failure) {}

  void serialize(char const* key, char const* value) override {
    failOn(key);
    writer.serialize(key, value);
  }
  void serialize(char const* key) override {
    failOn(key);
    writer.serialize(key);
  }

  PlainTextEntrySerializer writer;

 private:
  void failOn(char const* key) {
    if (key != failingKey)
      return;
    if (failure == Failure::Settings)
      throw settings::Exception(SETTINGS_UNKNOWN_ERROR);
    if (failure == Failure::Standard)
      throw std::logic_error("writer");
    throw 42;
  }

  std::string failingKey;
  Failure failure;
};

TEST(ConfigSerializerTest, FailFastPassesTheFailureOnAndKeepsEarlierEntries) {
  auto const config = parseText("a=1\nb=2\nc");
  FailingEntrySerializer entries("b", Failure::Settings);
  EXPECT_THROW(ConfigSerializer(true, &entries).serialize(*config), settings::Exception);
  EXPECT_EQ(entries.writer.getText(), "a=1\n");
}

TEST(ConfigSerializerTest, WithoutFailFastFailingEntriesAreSkipped) {
  auto const config = parseText("a=1\nb=2\nc");
  for (Failure failure : {Failure::Settings, Failure::Standard}) {
    FailingEntrySerializer entries("b", failure);
    ConfigSerializer(false, &entries).serialize(*config);
    EXPECT_EQ(entries.writer.getText(), "a=1\nc\n");
  }
}

TEST(ConfigSerializerTest, ConfigurationsOfOtherKindsFailAndSkipTheSameWay) {
  auto const config = parseText("a=1\nb=2\nc");
  ForwardingConfig const foreign(*config);
  FailingEntrySerializer failFast("b", Failure::Settings);
  EXPECT_THROW(ConfigSerializer(true, &failFast).serialize(foreign), settings::Exception);
  EXPECT_EQ(failFast.writer.getText(), "a=1\n");
  FailingEntrySerializer skipping("b", Failure::Standard);
  ConfigSerializer(false, &skipping).serialize(foreign);
  EXPECT_EQ(skipping.writer.getText(), "a=1\nc\n");
}

TEST(ConfigSerializerTest, ExceptionsOfOtherKindsAlwaysPassOn) {
  auto const config = parseText("a=1\nb=2");
  FailingEntrySerializer entries("b", Failure::Foreign);
  EXPECT_ANY_THROW(ConfigSerializer(false, &entries).serialize(*config));
}

TEST(PlainTextEntrySerializerTest, NullTextEndsTheTextWhereItStood) {
  PlainTextEntrySerializer writer;
  writer.serialize("a", "1");
  writer.serialize("b", nullptr);
  writer.serialize("c", "3");
  writer.serialize("d");
  EXPECT_EQ(writer.getText(), "a=1\nb=");
  EXPECT_TRUE(writer.isStopped());
}

}  // namespace
}  // namespace settings_impl
