// The benchmark's inputs, generated deterministically so that every run and
// every machine measures the same bytes.
#ifndef TAMO_BENCH_INPUTS_H
#define TAMO_BENCH_INPUTS_H

#include <cstddef>
#include <cstdint>
#include <string>

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

// GKeyFile accepts keys only after a group header; this puts one in front.
std::string withGroupHeader(std::string const& text);
char const* groupName();

}  // namespace tamo_bench

#endif  // TAMO_BENCH_INPUTS_H
