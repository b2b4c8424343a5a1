#include "share/entry_list.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "share/value.h"

namespace settings_impl {
namespace {

// Keys added in this order; "k=v" adds a text, "k" a key without a value,
// "k:int" an integer value object.
using Lines = std::vector<std::string>;

void addLine(EntryList& list, std::string const& line) {
  std::size_t const split = line.find_first_of("=:");
  char const* const key = list.keep(line.substr(0, split).c_str());
  if (split == std::string::npos) {
    list.add(key, nullptr, nullptr);
  } else if (line[split] == ':') {
    list.add(key, nullptr, std::make_unique<ConfigValue>(7, nullptr));
  } else {
    list.add(key, list.keep(line.substr(split + 1).c_str()), nullptr);
  }
}

// Every entry as "k=v", "k" or "k:7", in list order.
Lines contentsOf(EntryList const& list) {
  Lines contents;
  for (ConfigEntry const& entry : list) {
    std::string text = entry.key;
    if (entry.value != nullptr)
      text += ":" + std::string(entry.value->getUtf8());
    else if (entry.text != nullptr)
      text += "=" + std::string(entry.text);
    contents.push_back(text);
  }
  return contents;
}

struct OrderCase {
  char const* name;
  Lines added;
  Lines ordered;
};

void PrintTo(OrderCase const& row, std::ostream* out) {
  *out << row.name;
}

class EntryListOrder : public testing::TestWithParam<OrderCase> {};

// Under the address sanitizer this also shows that every dropped value
// object is freed exactly once.
TEST_P(EntryListOrder, KeyOrderLastAddedWins) {
  EntryList list;
  for (std::string const& line : GetParam().added)
    addLine(list, line);
  list.order();
  EXPECT_EQ(GetParam().ordered, contentsOf(list));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, EntryListOrder,
    testing::Values(
        OrderCase{"Empty", {}, {}},
        OrderCase{"Ascending", {"A=1", "AB=2", "B=3", "a=4"}, {"A=1", "AB=2", "B=3", "a=4"}},
        OrderCase{"TwoRuns", {"b=1", "d:", "a=2", "d=3", "e"}, {"a=2", "b=1", "d=3", "e"}},
        OrderCase{"Shuffled", {"m=1", "a=1", "z:", "b=1", "a=2"}, {"a=2", "b=1", "m=1", "z:7"}},
        OrderCase{"KeyWithoutValueRemovesValue", {"k:", "x=1", "k"}, {"k", "x=1"}},
        OrderCase{"RepeatsInOneRun", {"a=1", "a=2", "a", "a=3"}, {"a=3"}},
        OrderCase{"PrefixesAndHighBytes",
                  {"b\xff=1", "ab=1", "a=1", "b=1"},
                  {"a=1", "ab=1", "b=1", "b\xff=1"}}),
    [](auto const& info) { return std::string(info.param.name); });

// Enough keys for the radix passes: shared prefixes, keys that are prefixes
// of others, repeats far apart; the last value of each key must win.
TEST(EntryListTest, ManyKeysSortLikeAMapThatKeepsTheLastValue) {
  std::map<std::string, std::string> expected;
  EntryList list;
  unsigned seed = 12345;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1103515245u + 12345u;
    std::string const key = "SOME_KEY_" + std::to_string((seed >> 8) % 3000) + (i % 7 ? "" : "_X");
    std::string const value = std::to_string(i);
    addLine(list, key + "=" + value);
    expected[key] = value;
  }
  list.order();
  Lines wanted;
  for (auto const& entry : expected)
    wanted.push_back(entry.first + "=" + entry.second);
  EXPECT_EQ(wanted, contentsOf(list));
}

TEST(EntryListTest, FindsOnlyExactKeysOfAnOrderedList) {
  EntryList list;
  for (char const* line : {"b=2", "a=1", "ab=3"})
    addLine(list, line);
  list.order();
  ASSERT_NE(nullptr, list.find("ab"));
  EXPECT_STREQ("3", list.find("ab")->text);
  for (char const* absent : {"", "A", "abc", "c", "a "})
    EXPECT_EQ(nullptr, list.find(absent)) << absent;
}

// Under the address sanitizer this also shows that the erased value object
// is freed.
TEST(EntryListTest, ErasesOneKeyInPlace) {
  EntryList list;
  for (char const* line : {"c=3", "a=1", "b:int", "d"})
    addLine(list, line);
  list.order();
  EXPECT_TRUE(list.eraseOne("b"));
  EXPECT_TRUE(list.eraseOne("d"));
  EXPECT_FALSE(list.eraseOne("b"));
  EXPECT_FALSE(list.eraseOne("A"));
  EXPECT_EQ((Lines{"a=1", "c=3"}), contentsOf(list));
  EXPECT_STREQ("3", list.find("c")->text);
}

// A context that imports the same text again and again must not keep every
// text it ever read: the blocks are compacted, and the values stay right.
TEST(EntryListTest, RepeatedTakingKeepsValuesAndBoundsTheBlocks) {
  std::string const value(1000, 'v');
  EntryList target;
  for (int round = 0; round < 300; ++round) {
    EntryList source;
    for (int key = 0; key < 10; ++key)
      addLine(source, "k" + std::to_string(key) + "=" + value + std::to_string(round));
    source.order();
    ASSERT_TRUE(target.takeEntries(source));
    EXPECT_TRUE(source.empty());
  }
  ASSERT_EQ(10u, target.size());
  EXPECT_EQ(value + "299", target.find("k3")->text);
}

TEST(EntryListTest, TextsOfTheAdoptedBlockAreRecognised) {
  EntryList list;
  std::unique_ptr<char[]> text(new char[4]{'a', '=', '1', '\0'});
  char* const adopted = list.adopt(std::move(text), 3);
  EXPECT_TRUE(list.isAdopted(adopted));
  EXPECT_TRUE(list.isAdopted(adopted + 3));
  EXPECT_FALSE(list.isAdopted(list.keep("a")));
}

}  // namespace
}  // namespace settings_impl
