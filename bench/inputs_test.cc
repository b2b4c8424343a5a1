#include "inputs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace tamo_bench {
namespace {

std::vector<std::string> linesOf(std::string const& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

std::string keyOf(std::string const& line) {
  std::string key = line.substr(0, line.find('='));
  key.erase(key.find_last_not_of(' ') + 1);
  return key;
}

bool isBlank(std::string const& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

struct SizeCase {
  char const* name;
  std::size_t size;
};

class SettingsTextSize : public testing::TestWithParam<SizeCase> {};

TEST_P(SettingsTextSize, IsExactAndEndsWithALineEnd) {
  SettingsText const generated = makeSettingsText(GetParam().size, 7);
  EXPECT_EQ(generated.text.size(), GetParam().size);
  EXPECT_EQ(generated.text.back(), '\n');
  EXPECT_EQ(linesOf(generated.text).size(),
            generated.keyLines + generated.commentLines + generated.blankLines);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SettingsTextSize,
                         testing::Values(SizeCase{"Smallest", 256}, SizeCase{"Odd", 4099},
                                         SizeCase{"Half", kLargeFileSize / 2},
                                         SizeCase{"Largest", kLargeFileSize}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST(SettingsText, SameSeedSameBytesOtherSeedOtherBytes) {
  EXPECT_EQ(makeSettingsText(10000, 1).text, makeSettingsText(10000, 1).text);
  EXPECT_NE(makeSettingsText(10000, 1).text, makeSettingsText(10000, 2).text);
}

class LargeSettingsText : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    generated = new SettingsText(makeSettingsText(kLargeFileSize, 42));
  }
  static void TearDownTestSuite() { delete generated; }
  static SettingsText* generated;
};
SettingsText* LargeSettingsText::generated = nullptr;

TEST_F(LargeSettingsText, HoldsAboutTwentyFourThousandDistinctShuffledKeys) {
  std::vector<std::string> keys;
  for (std::string const& line : linesOf(generated->text)) {
    if (!isBlank(line) && line[0] != '#')
      keys.push_back(keyOf(line));
  }
  EXPECT_EQ(keys.size(), generated->keyLines);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
  EXPECT_GT(keys.size(), 23000u);
  EXPECT_LT(keys.size(), 25000u);
  EXPECT_FALSE(std::is_sorted(keys.begin(), keys.end()));
}

TEST_F(LargeSettingsText, HasAboutFivePercentCommentsAndThreePercentBlankLines) {
  double const lines = static_cast<double>(linesOf(generated->text).size());
  EXPECT_NEAR(generated->commentLines / lines, 0.05, 0.01);
  EXPECT_NEAR(generated->blankLines / lines, 0.03, 0.01);
}

TEST_F(LargeSettingsText, KeepsEveryLineShortEnoughForTheLineLimitedPeer) {
  for (std::string const& line : linesOf(generated->text))
    ASSERT_LT(line.size(), 199u) << line;
}

TEST_F(LargeSettingsText, CarriesTheInstallerKeysInOtherCase) {
  for (char const* line : {"\nauto_update = enable\n", "\nWeb_Analytics = 0\n",
                           "\nweb_tamo = Disable\n", "\nweb_tamo_security_level = h\n"}) {
    EXPECT_NE(generated->text.find(line), std::string::npos) << line;
  }
}

TEST_F(LargeSettingsText, LayersDropInsWithVendorNamesLowestAndMainKeysOverridden) {
  LayeredSettings const layered = makeLayeredSettings(generated->text, 31);
  ASSERT_EQ(layered.dropIns.size(), static_cast<std::size_t>(kLayerDropIns));
  std::set<std::string> mainKeys;
  for (std::string const& line : linesOf(generated->text)) {
    if (!isBlank(line) && line[0] != '#')
      mainKeys.insert(keyOf(line));
  }
  std::size_t overrides = 0;
  for (std::size_t i = 0; i < layered.dropIns.size(); ++i) {
    LayeredSettings::DropIn const& dropIn = layered.dropIns[i];
    if (i > 0) {
      EXPECT_LT(layered.dropIns[i - 1].name, dropIn.name);
      EXPECT_LE(layered.dropIns[i - 1].hierarchy == 0 ? 0 : 1, dropIn.hierarchy == 0 ? 0 : 1);
    }
    for (std::string const& line : linesOf(dropIn.text)) {
      if (!isBlank(line) && line[0] != '#')
        overrides += mainKeys.count(keyOf(line));
    }
  }
  EXPECT_GT(overrides, 0u);
  EXPECT_EQ(layered.effective.size() - mainKeys.size(), layered.dropInKeys.size() - overrides);
}

TEST(InstallText, HoldsTheFourInstallerKeysOnFourLines) {
  std::vector<std::string> keys;
  for (std::string const& line : linesOf(makeInstallText()))
    keys.push_back(keyOf(line));
  EXPECT_EQ(keys, (std::vector<std::string>{"AUTO_UPDATE", "WEB_ANALYTICS", "web_tamo",
                                            "WEB_TAMO_SECURITY_LEVEL"}));
}

}  // namespace
}  // namespace tamo_bench
