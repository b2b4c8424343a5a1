// Import, export and the installer's flow of this library against inih,
// GKeyFile and the floor of reading and splitting lines, and its layered read
// against libeconf's; then peak memory and a summary of ratios and targets.
// Run without arguments for five repetitions per case; Google Benchmark's
// flags work as usual.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_files.h"
#include "peak_memory.h"
#include "peers.h"
#include "report.h"
#include "tamo_cases.h"

namespace tamo_bench {
namespace {

constexpr int kDefaultRepetitions = 5;

template <typename Body>
void guarded(benchmark::State& state, Body body) {
  try {
    body();
  } catch (std::exception const& e) {
    state.SkipWithError(e.what());
  }
}

void importCase(benchmark::State& state, std::string const& path, bool withRules) {
  guarded(state, [&] {
    std::unique_ptr<InstallerRules const> rules(withRules ? new InstallerRules : nullptr);
    for (auto _ : state)
      importIntoNewContext(path.c_str(), rules.get());
  });
}

void importAndReadCase(benchmark::State& state, std::string const& path) {
  guarded(state, [&] {
    for (auto _ : state)
      benchmark::DoNotOptimize(importAndReadEveryValue(path.c_str()));
  });
}

void importStringCase(benchmark::State& state, SettingsText const& text) {
  guarded(state, [&] {
    for (auto _ : state)
      importStringIntoNewContext(text.text.c_str());
  });
}

// The source merged over a target that already holds a file of the same
// size; from the second iteration on the target holds both, as large again.
void mergeCase(benchmark::State& state, std::string const& targetPath,
               std::string const& sourcePath) {
  guarded(state, [&] {
    Context target;
    Context source;
    target.importFile(targetPath.c_str(), nullptr);
    source.importFile(sourcePath.c_str(), nullptr);
    for (auto _ : state)
      target.importFrom(source);
  });
}

void exportCase(benchmark::State& state, std::string const& input, std::string const& output) {
  guarded(state, [&] {
    Context context;
    context.importFile(input.c_str(), nullptr);
    for (auto _ : state)
      context.exportTo(output.c_str());
  });
}

void installerFlowCase(benchmark::State& state) {
  BenchFiles const& files = benchFiles();
  guarded(state, [&] {
    InstallerRules const rules;
    for (auto _ : state) {
      // Every run rewrites the system file; each one starts from the
      // generated file again.
      state.PauseTiming();
      writeWholeFile(files.flowSystem, files.largeText.text);
      state.ResumeTiming();
      benchmark::DoNotOptimize(
          runInstallerFlow(rules, files.flowSystem.c_str(), files.flowInput.c_str()));
    }
  });
}

void inihCase(benchmark::State& state, std::string const& path) {
  guarded(state, [&] {
    for (auto _ : state)
      benchmark::DoNotOptimize(inihLoad(path.c_str()));
  });
}

void keyFileLoadCase(benchmark::State& state, std::string const& path) {
  guarded(state, [&] {
    for (auto _ : state)
      benchmark::DoNotOptimize(keyFileLoadAndRead(path.c_str()));
  });
}

void keyFileLoadOnlyCase(benchmark::State& state, std::string const& path) {
  guarded(state, [&] {
    for (auto _ : state)
      keyFileLoadOnly(path.c_str());
  });
}

void keyFileSaveCase(benchmark::State& state, std::string const& input, std::string const& output) {
  guarded(state, [&] {
    LoadedKeyFile const keyFile(input.c_str());
    for (auto _ : state)
      keyFile.saveTo(output.c_str());
  });
}

void floorCase(benchmark::State& state, std::string const& path) {
  guarded(state, [&] {
    for (auto _ : state)
      benchmark::DoNotOptimize(readAndSplitLines(path.c_str()));
  });
}

// Every key of the layered settings' result, as a program that knows its
// keys would look them up.
std::vector<std::string> const& layeredKeys() {
  static std::vector<std::string> const keys = [] {
    std::vector<std::string> names;
    for (auto const& keyAndValue : benchFiles().layered.effective)
      names.push_back(keyAndValue.first);
    return names;
  }();
  return keys;
}

std::vector<std::string> layoutHierarchies() {
  return {kLayoutHierarchies.begin(), kLayoutHierarchies.end()};
}

// The layout is built once, outside the timed loop, as a program builds it
// once and imports; each import drops what the previous one recorded.
void layoutCase(benchmark::State& state, bool lookUp) {
  BenchFiles const& files = benchFiles();
  guarded(state, [&] {
    Layout layout(kLayoutMainName, files.layoutRoot, layoutHierarchies());
    for (auto _ : state) {
      if (lookUp) {
        benchmark::DoNotOptimize(importLayoutAndLookUp(layout, layeredKeys()));
      } else {
        importLayoutIntoNewContext(layout);
      }
    }
  });
}

void econfCase(benchmark::State& state, bool lookUp) {
  BenchFiles const& files = benchFiles();
  char const* vendor = files.econfVendorFolder.c_str();
  char const* admin = files.econfAdminFolder.c_str();
  guarded(state, [&] {
    for (auto _ : state) {
      if (lookUp) {
        benchmark::DoNotOptimize(econfReadAndLookUp(vendor, admin, layeredKeys()));
      } else {
        econfRead(vendor, admin);
      }
    }
  });
}

// Both readers must give the generator's result, or the two cases would not
// measure the same work: this library exactly (else the run stops), libeconf
// as far as it gets there (printed). libeconf looks a key up by walking its
// entries, so only the keys that drop-ins set, where the two readers' orders
// of applying files could differ, have their values compared; looking all
// up would take seconds at every start.
void checkLayeredReads(BenchFiles const& files) {
  LayeredSettings const& layered = files.layered;
  auto const& expected = layered.effective;
  Layout layout(kLayoutMainName, files.layoutRoot, layoutHierarchies());
  Context context;
  layout.importInto(context);
  std::size_t ourDifferences = context.keyCount() != expected.size() ? 1 : 0;
  for (auto const& keyAndValue : expected) {
    char const* value = nullptr;
    if (api().context_get_utf8_value(context.get(), keyAndValue.first.c_str(), &value) != 0 ||
        value == nullptr || keyAndValue.second != value)
      ++ourDifferences;
  }
  if (ourDifferences != 0) {
    throw std::runtime_error("the layered read differs from the generated settings in " +
                             std::to_string(ourDifferences) + " keys");
  }
  EconfEntries econf = econfEntries(files.econfVendorFolder.c_str(), files.econfAdminFolder.c_str(),
                                    layered.dropInKeys);
  std::sort(econf.keys.begin(), econf.keys.end());
  bool const sameKeys =
      std::equal(econf.keys.begin(), econf.keys.end(), layeredKeys().begin(), layeredKeys().end());
  std::size_t sameValues = 0;
  for (auto const& keyAndValue : econf.values)
    sameValues += std::binary_search(expected.begin(), expected.end(), keyAndValue) ? 1 : 0;
  std::printf(
      "layered: %zu bytes of main file and %zu drop-ins, %zu keys in the result; libeconf: %zu "
      "keys, %s; of the %zu keys drop-ins set, %zu with the same value\n",
      layered.mainText.size(), layered.dropIns.size(), expected.size(), econf.keys.size(),
      sameKeys ? "the same" : "NOT the same", layered.dropInKeys.size(), sameValues);
}

template <typename Case, typename... Args>
void add(char const* name, benchmark::TimeUnit unit, Case function, Args const&... args) {
  benchmark::RegisterBenchmark(name, function, args...)->Unit(unit)->UseRealTime();
}

void registerCases(BenchFiles const& f) {
  auto const ms = benchmark::kMillisecond;
  auto const us = benchmark::kMicrosecond;
  add("import/large", ms, importCase, f.large, false);
  add("import/large/installer", ms, importCase, f.large, true);
  add("import/half", ms, importCase, f.half, false);
  add("import/sorted", ms, importCase, f.sorted, false);
  add("import/large/read", ms, importAndReadCase, f.large);
  add("import_string/10MiB", ms, importStringCase, f.hugeString);
  add("import_string/5MiB", ms, importStringCase, f.halfHugeString);
  add("merge/large", ms, mergeCase, f.large, f.otherLarge);
  add("merge/half", ms, mergeCase, f.half, f.otherHalf);
  add("import/small", us, importCase, f.small, false);
  add("import/small/installer", us, importCase, f.small, true);
  add("export/large", ms, exportCase, f.large, f.exportLarge);
  add("export/half", ms, exportCase, f.half, f.exportHalf);
  add("export/small", us, exportCase, f.small, f.exportSmall);
  add("installer_flow", ms, installerFlowCase);
  add("inih/large", ms, inihCase, f.large);
  add("inih/half", ms, inihCase, f.half);
  add("inih/small", us, inihCase, f.small);
  add("gkeyfile_load/large", ms, keyFileLoadCase, f.largeKeyFile);
  add("gkeyfile_load/half", ms, keyFileLoadCase, f.halfKeyFile);
  add("gkeyfile_load/small", us, keyFileLoadCase, f.smallKeyFile);
  add("gkeyfile_load/sorted", ms, keyFileLoadCase, f.sortedKeyFile);
  add("gkeyfile_load_only/large", ms, keyFileLoadOnlyCase, f.largeKeyFile);
  add("gkeyfile_load_only/sorted", ms, keyFileLoadOnlyCase, f.sortedKeyFile);
  add("gkeyfile_save/large", ms, keyFileSaveCase, f.largeKeyFile, f.saveLarge);
  add("gkeyfile_save/small", us, keyFileSaveCase, f.smallKeyFile, f.saveSmall);
  add("floor/large", ms, floorCase, f.large);
  add("floor/half", ms, floorCase, f.half);
  add("floor/small", us, floorCase, f.small);
  add("layout/ours", ms, layoutCase, true);
  add("layout/ours/import_only", ms, layoutCase, false);
  add("layout/libeconf", ms, econfCase, true);
  add("layout/libeconf/read_only", ms, econfCase, false);
}

// Five interleaved repetitions reported as aggregates, unless the command
// line sets the repetitions itself.
std::vector<char*> withDefaultFlags(int argc, char** argv, std::vector<std::string>& storage) {
  bool repetitionsGiven = false;
  for (int i = 1; i < argc; ++i) {
    repetitionsGiven |= std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
  }
  if (!repetitionsGiven) {
    storage.push_back("--benchmark_repetitions=" + std::to_string(kDefaultRepetitions));
    storage.push_back("--benchmark_report_aggregates_only=true");
    // Repetitions of all cases interleaved, so that a slow spell of a shared
    // machine does not fall on one case's repetitions alone.
    storage.push_back("--benchmark_enable_random_interleaving=true");
  }
  std::vector<char*> args(argv, argv + argc);
  for (std::string& flag : storage)
    args.push_back(flag.data());
  args.push_back(nullptr);
  return args;
}

int runBenchmarks(int argc, char** argv) {
  std::vector<std::string> storage;
  std::vector<char*> args = withDefaultFlags(argc, argv, storage);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data()))
    return 1;
  BenchFiles const& files = benchFiles();
  std::printf("inputs: %zu bytes, %zu keys, %zu comment and %zu blank lines; %zu bytes, %zu keys\n",
              files.largeText.text.size(), files.largeText.keyLines, files.largeText.commentLines,
              files.largeText.blankLines, files.halfText.text.size(), files.halfText.keyLines);
  checkLayeredReads(files);
  registerCases(files);
  MedianCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  printSummary(stdout, collector.medians(), measurePeaks(files));
  return 0;
}

}  // namespace
}  // namespace tamo_bench

int main(int argc, char** argv) {
  if (tamo_bench::isPeakMemoryChild(argc, argv)) {
    return tamo_bench::runPeakMemoryChild(argc, argv);
  }
  // For the instruction count: the inputs alone, into the given directory.
  if (argc == 3 && std::strcmp(argv[1], "--write-counted-inputs") == 0) {
    try {
      tamo_bench::writeCountedInputs(argv[2]);
      return 0;
    } catch (std::exception const& e) {
      std::fprintf(stderr, "tamo_bench: %s\n", e.what());
      return 1;
    }
  }
  try {
    return tamo_bench::runBenchmarks(argc, argv);
  } catch (std::exception const& e) {
    std::fprintf(stderr, "tamo_bench: %s\n", e.what());
    return 1;
  }
}
