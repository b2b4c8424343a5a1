// The generated inputs on disk, in a scratch directory of their own that is
// removed when the program ends.
#ifndef TAMO_BENCH_BENCH_FILES_H
#define TAMO_BENCH_BENCH_FILES_H

#include <string>

#include "inputs.h"

namespace tamo_bench {

struct BenchFiles {
  std::string directory;  // under $TMPDIR, else /tmp
  SettingsText largeText;
  SettingsText halfText;  // half the size of the large one
  // Texts of 10 MiB and 5 MiB for imports from a string, which have no limit.
  SettingsText hugeString, halfHugeString;
  // Settings files of this library's format; sorted is the large file as the
  // library's export writes it (key order, no comments), otherLarge and
  // otherHalf the same mixes with other seeds, for merges.
  std::string large, half, small, sorted, otherLarge, otherHalf;
  // The same texts behind a group header, for GKeyFile.
  std::string largeKeyFile, halfKeyFile, smallKeyFile, sortedKeyFile;
  // Where exports and saves go; they are rewritten on every iteration.
  std::string exportLarge, exportHalf, exportSmall, saveLarge, saveSmall;
  // The installer's two files; the system file is rewritten by its flow.
  std::string flowSystem, flowInput;
};

// Made and written on first use; throws std::runtime_error when a file
// cannot be written.
BenchFiles const& benchFiles();

// Writes the large file and the large file in key order into directory, for
// counting instructions outside a benchmark run; std::runtime_error.
void writeCountedInputs(std::string const& directory);

// Replaces the file's contents; std::runtime_error on failure.
void writeWholeFile(std::string const& path, std::string const& contents);

}  // namespace tamo_bench

#endif  // TAMO_BENCH_BENCH_FILES_H
