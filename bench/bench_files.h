// The generated inputs on disk, in a scratch directory of their own that is
// removed when the program ends.
#ifndef TAMO_BENCH_BENCH_FILES_H
#define TAMO_BENCH_BENCH_FILES_H

#include <array>
#include <string>

#include "inputs.h"

namespace tamo_bench {

// The layered read's main file and hierarchies, lowest first, under the
// folder that stands in for "/"; drop-ins lie in HIERARCHY/app.conf.d.
constexpr char const* kLayoutMainName = "app.conf";
constexpr std::array<char const*, 3> kLayoutHierarchies = {"/usr/lib/app", "/run/app", "/etc/app"};

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
  // The layered settings: the large text as the vendor's main file and the
  // drop-ins, in the hierarchies under layoutRoot (files 0644, folders 0755,
  // as the layout's ownership rule wants them).
  LayeredSettings layered;
  std::string layoutRoot;
  // libeconf reads two folders, a vendor's and an administrator's: the
  // vendor hierarchy itself, and a folder beside the root whose drop-in
  // folder holds hard links to the runtime's and administrator's drop-ins.
  std::string econfVendorFolder, econfAdminFolder;
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
