#include "share/key_mapper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using settings_impl::KeyMapper;
using settings_impl::KeyMapperBuilder;

struct Mapping {
  char const* from;
  char const* to;
  bool caseSensitive;
};

std::vector<Mapping> const kInstallerMappings = {
    {"AUTO_UPDATE", "AUTO_UPDATE", false},
    {"WEB_TAMO", "WEB_TAMO", false},
    {"WEB_ANALYTICS", "WEB_ANALYTICS", false},
    {"WEB_TAMO_SECURITY_LEVEL", "WEB_TAMO_SECURITY_LEVEL", false}};

std::unique_ptr<KeyMapper> makeMapper(std::vector<Mapping> const& mappings) {
  KeyMapperBuilder builder;
  for (Mapping const& m : mappings)
    builder.map(m.from, m.to, m.caseSensitive);
  return builder.create();
}

struct MappingCase {
  char const* name;
  std::vector<Mapping> mappings;
  char const* key;
  char const* expected;
};

class KeyMapping : public testing::TestWithParam<MappingCase> {};

TEST_P(KeyMapping, MapsKey) {
  EXPECT_EQ(makeMapper(GetParam().mappings)->map(GetParam().key), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KeyMapping,
    testing::Values(
        MappingCase{"InstallerLowerCase", kInstallerMappings, "auto_update", "AUTO_UPDATE"},
        MappingCase{"InstallerMixedCase", kInstallerMappings, "Web_Tamo_Security_Level",
                    "WEB_TAMO_SECURITY_LEVEL"},
        MappingCase{"InstallerLongerKeyUnchanged", kInstallerMappings, "AUTO_UPDATES",
                    "AUTO_UPDATES"},
        MappingCase{"InstallerOtherKeyUnchanged", kInstallerMappings, "other_key", "other_key"},
        MappingCase{"NoMappings", {}, "Key", "Key"},
        MappingCase{"CaseSensitiveExact", {{"Key", "X", true}}, "Key", "X"},
        MappingCase{"CaseSensitiveOtherCase", {{"Key", "X", true}}, "key", "key"},
        MappingCase{"ResultIsTargetAsGiven", {{"key", "Target", false}}, "KEY", "Target"},
        MappingCase{"LaterTriedFirst", {{"a", "X", false}, {"A", "Y", true}}, "A", "Y"},
        MappingCase{"EarlierWhenLaterMisses", {{"a", "X", false}, {"A", "Y", true}}, "a", "X"},
        MappingCase{"LaterOverridesSameKey", {{"A", "B", false}, {"A", "C", false}}, "a", "C"},
        MappingCase{"NoChainingForward", {{"A", "B", true}, {"B", "C", true}}, "A", "B"},
        MappingCase{"SecondOfChain", {{"A", "B", true}, {"B", "C", true}}, "B", "C"},
        // Only A-Z fold: '@' and '`' differ by the case bit but are not letters.
        MappingCase{"PunctuationNotFolded", {{"@", "X", false}}, "`", "`"},
        MappingCase{"NonAsciiNotFolded", {{"\xC3\x89", "X", false}}, "\xC3\xA9", "\xC3\xA9"}),
    [](testing::TestParamInfo<MappingCase> const& info) { return info.param.name; });

TEST(KeyMapperBuilder, CreatesSnapshotsThatOutliveTheBuilder) {
  auto builder = std::make_unique<KeyMapperBuilder>();
  builder->map("a", "first", true);
  std::unique_ptr<KeyMapper> before = builder->create();
  builder->map("a", "second", true);
  std::unique_ptr<KeyMapper> after = builder->create();
  builder.reset();

  EXPECT_EQ(before->map("a"), "first");
  EXPECT_EQ(after->map("a"), "second");
}

}  // namespace
