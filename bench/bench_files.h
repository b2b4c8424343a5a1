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
  // Settings files of this library's format.
  std::string large, half, small;
  // The same texts behind a group header, for GKeyFile.
  std::string largeKeyFile, halfKeyFile, smallKeyFile;
  // Where exports and saves go; they are rewritten on every iteration.
  std::string exportLarge, exportSmall, saveLarge, saveSmall;
  // The installer's two files; the system file is rewritten by its flow.
  std::string flowSystem, flowInput;
};

// Made and written on first use; throws std::runtime_error when a file
// cannot be written.
BenchFiles const& benchFiles();

// Replaces the file's contents; std::runtime_error on failure.
void writeWholeFile(std::string const& path, std::string const& contents);

}  // namespace tamo_bench

#endif  // TAMO_BENCH_BENCH_FILES_H
