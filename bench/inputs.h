// The benchmark's inputs, generated deterministically so that every run and
// every machine measures the same bytes.
#ifndef TAMO_BENCH_INPUTS_H
#define TAMO_BENCH_INPUTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tamo_bench {

// The largest settings file the library accepts.
constexpr std::size_t kLargeFileSize = 1048575;

// A generated settings text and what it holds, counted while it was made.
struct SettingsText {
  std::string text;
  std::size_t keyLines = 0;  // each with a distinct key
  std::size_t commentLines = 0;
  std::size_t blankLines = 0;
};

// A text of exactly size bytes (size >= 256) of lines such as
// "SOME_KEY_00042 = value text 42", keys distinct and shuffled, about 5% of the
// lines comments and 3% blank, with the installer's four keys written in
// lower case somewhere among them. The same size and seed give the same bytes.
SettingsText makeSettingsText(std::size_t size, std::uint64_t seed);

// The install-time input file: the installer's four keys, one per line, in
// the spellings an administrator might use.
std::string makeInstallText();

// A layered configuration: one main file in the lowest (vendor) hierarchy
// and drop-ins spread over the three hierarchies of a layout, with the
// effective configuration they make together.
struct LayeredSettings {
  struct DropIn {
    int hierarchy;     // 0 vendor, 1 runtime, 2 administrator
    std::string name;  // "NN-word.conf", distinct across hierarchies
    std::string text;
  };
  std::string mainText;
  std::vector<DropIn> dropIns;  // in name order
  // Every key of the result with its value, in byte order of the keys.
  std::vector<std::pair<std::string, std::string>> effective;
  // The keys that drop-ins set, each once, in byte order.
  std::vector<std::string> dropInKeys;
};

constexpr int kLayerDropIns = 20;

// kLayerDropIns drop-ins of a few dozen keys each over mainText (a text
// of makeSettingsText): some override its keys, some set new ones, a few
// set keys that other drop-ins set too. The vendor's drop-ins have the
// lowest names, so that a reader applying one hierarchy's drop-ins after
// another's (vendor, then the rest by name) reaches the same result as one
// applying all by name.
LayeredSettings makeLayeredSettings(std::string mainText, std::uint64_t seed);

// GKeyFile accepts keys only after a group header; this puts one in front.
std::string withGroupHeader(std::string const& text);
char const* groupName();

}  // namespace tamo_bench

#endif  // TAMO_BENCH_INPUTS_H
