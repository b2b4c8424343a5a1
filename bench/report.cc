#include "report.h"

#include <array>

namespace tamo_bench {
namespace {

// One of this library's cases and the peers' cases on the same input; null
// where a peer does nothing comparable.
struct Comparison {
  char const* ours;
  char const* inih;
  char const* keyFileLoad;
  char const* keyFileSave;
  char const* floor;
};

constexpr std::array<Comparison, 17> kComparisons = {{
    {"import/large", "inih/large", "gkeyfile_load_only/large", nullptr, "floor/large"},
    {"import/large/installer", "inih/large", "gkeyfile_load_only/large", nullptr, "floor/large"},
    {"import/large/read", "inih/large", "gkeyfile_load/large", nullptr, "floor/large"},
    {"import/sorted", nullptr, "gkeyfile_load_only/large", nullptr, nullptr},
    {"import/half", "inih/half", "gkeyfile_load/half", nullptr, "floor/half"},
    {"import/small", "inih/small", "gkeyfile_load/small", nullptr, "floor/small"},
    {"import/small/installer", "inih/small", "gkeyfile_load/small", nullptr, "floor/small"},
    {"import_string/10MiB", nullptr, nullptr, nullptr, nullptr},
    {"import_string/5MiB", nullptr, nullptr, nullptr, nullptr},
    {"merge/large", nullptr, nullptr, nullptr, nullptr},
    {"merge/half", nullptr, nullptr, nullptr, nullptr},
    {"export/large", nullptr, nullptr, "gkeyfile_save/large", nullptr},
    {"export/half", nullptr, nullptr, nullptr, nullptr},
    {"export/small", nullptr, nullptr, "gkeyfile_save/small", nullptr},
    {"installer_flow", nullptr, nullptr, nullptr, nullptr},
    {"layout/ours", nullptr, nullptr, nullptr, nullptr},
    {"layout/ours/import_only", nullptr, nullptr, nullptr, nullptr},
}};

constexpr std::array<char const*, 16> kPeerCases = {"inih/large",
                                                    "inih/half",
                                                    "inih/small",
                                                    "gkeyfile_load/large",
                                                    "gkeyfile_load/half",
                                                    "gkeyfile_load/small",
                                                    "gkeyfile_load/sorted",
                                                    "gkeyfile_load_only/large",
                                                    "gkeyfile_load_only/sorted",
                                                    "gkeyfile_save/large",
                                                    "gkeyfile_save/small",
                                                    "floor/large",
                                                    "floor/half",
                                                    "floor/small",
                                                    "layout/libeconf",
                                                    "layout/libeconf/read_only"};

// A target: measured / reference must not exceed limit (reference null: the
// measured value itself, in seconds).
struct Target {
  char const* description;
  char const* measured;
  char const* reference;
  double limit;
};

// "GKeyFile load" is its load alone; "load and read" also reads every value.
constexpr std::array<Target, 14> kTargets = {{
    {"large import at most 0.6 x GKeyFile load", "import/large", "gkeyfile_load_only/large", 0.6},
    {"large file in key order at most 0.35 x GKeyFile load (of the large file)", "import/sorted",
     "gkeyfile_load_only/large", 0.35},
    {"large import and every value read at most 0.6 x GKeyFile load and read", "import/large/read",
     "gkeyfile_load/large", 0.6},
    {"small import at most 1.2 x open, read and close", "import/small", "floor/small", 1.2},
    {"twice the file imported, at most 2.1 x the time", "import/large", "import/half", 2.1},
    {"twice the text imported from a string, at most 2.1 x", "import_string/10MiB",
     "import_string/5MiB", 2.1},
    {"twice the entries merged, at most 2.1 x", "merge/large", "merge/half", 2.1},
    {"twice the entries exported, at most 2.1 x", "export/large", "export/half", 2.1},
    {"large export at most 0.5 x GKeyFile save", "export/large", "gkeyfile_save/large", 0.5},
    {"installer flow at most half of 15.6 ms (ratio to 7.8 ms)", "installer_flow", nullptr, 7.8e-3},
    {"large import no slower than inih", "import/large", "inih/large", 1.0},
    {"the doubling of GKeyFile's load, for comparison", "gkeyfile_load/large", "gkeyfile_load/half",
     2.1},
    {"layered read and every key looked up at most 1.5 x the large import", "layout/ours",
     "import/large", 1.5},
    {"layered read and every key looked up below libeconf's layered read alone", "layout/ours",
     "layout/libeconf/read_only", 1.0},
}};

double const* find(Medians const& medians, char const* name) {
  if (name == nullptr)
    return nullptr;
  auto const it = medians.find(name);
  return it == medians.end() ? nullptr : &it->second;
}

void printRatio(std::FILE* out, double const* ours, double const* peer) {
  if (ours == nullptr || peer == nullptr || *peer <= 0) {
    std::fputs(" | -", out);
    return;
  }
  std::fprintf(out, " | %.2f", *ours / *peer);
}

void printTimes(std::FILE* out, Medians const& medians) {
  std::fputs("| case | ms | / inih | / GKeyFile load | / GKeyFile save | / floor |\n", out);
  std::fputs("|---|---:|---:|---:|---:|---:|\n", out);
  for (Comparison const& row : kComparisons) {
    double const* ours = find(medians, row.ours);
    if (ours == nullptr)
      continue;
    std::fprintf(out, "| %s | %.4g", row.ours, *ours * 1e3);
    printRatio(out, ours, find(medians, row.inih));
    printRatio(out, ours, find(medians, row.keyFileLoad));
    printRatio(out, ours, find(medians, row.keyFileSave));
    printRatio(out, ours, find(medians, row.floor));
    std::fputs(" |\n", out);
  }
  for (char const* peer : kPeerCases) {
    if (double const* time = find(medians, peer)) {
      std::fprintf(out, "| %s | %.4g | | | | |\n", peer, *time * 1e3);
    }
  }
}

void printVerdict(std::FILE* out, char const* description, double ratio, double limit) {
  std::fprintf(out, "| %s | %.2f | %.2f | %s |\n", description, ratio, limit,
               ratio <= limit ? "met" : "MISSED");
}

long peakOf(std::vector<PeakMemory> const& peaks, char const* name) {
  for (PeakMemory const& peak : peaks) {
    if (peak.name == name)
      return peak.kib;
  }
  return -1;
}

// The target compares with GKeyFile's load alone, which keeps less than a
// load that also reads every value through copies of the keys.
void printMemoryVerdicts(std::FILE* out, std::vector<PeakMemory> const& peaks) {
  long const ours = peakOf(peaks, "import/large");
  long const loadOnly = peakOf(peaks, "gkeyfile_load_only/large");
  long const loadAndRead = peakOf(peaks, "gkeyfile_load/large");
  if (ours >= 0 && loadAndRead > 0) {
    printVerdict(out, "large import peak memory at most 0.6 x GKeyFile's load and read",
                 static_cast<double>(ours) / static_cast<double>(loadAndRead), 0.6);
  }
  if (ours >= 0 && loadOnly > 0) {
    printVerdict(out, "large import peak memory no more than GKeyFile's load alone",
                 static_cast<double>(ours) / static_cast<double>(loadOnly), 1.0);
  }
}

void printTargets(std::FILE* out, Medians const& medians, std::vector<PeakMemory> const& peaks) {
  std::fputs("\n| target | ratio | limit | |\n|---|---:|---:|---|\n", out);
  for (Target const& target : kTargets) {
    double const* measured = find(medians, target.measured);
    if (measured == nullptr)
      continue;
    if (target.reference == nullptr) {
      printVerdict(out, target.description, *measured / target.limit, 1.0);
      continue;
    }
    double const* reference = find(medians, target.reference);
    if (reference != nullptr && *reference > 0) {
      printVerdict(out, target.description, *measured / *reference, target.limit);
    }
  }
  printMemoryVerdicts(out, peaks);
}

void printPeaks(std::FILE* out, std::vector<PeakMemory> const& peaks) {
  if (peaks.empty())
    return;
  std::fputs("\n| peak memory of one operation | KiB |\n|---|---:|\n", out);
  for (PeakMemory const& peak : peaks) {
    std::fprintf(out, "| %s | %ld |\n", peak.name.c_str(), peak.kib);
  }
}

}  // namespace

void MedianCollector::ReportRuns(std::vector<Run> const& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (Run const& run : runs) {
    if (run.error_occurred)
      continue;
    bool const isMedian = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    bool const isSingle = run.run_type == Run::RT_Iteration;
    std::string const& name = run.run_name.function_name;
    if (!isMedian && !(isSingle && !fromMedian[name]))
      continue;
    collected[name] = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    fromMedian[name] = isMedian;
  }
}

void printSummary(std::FILE* out, Medians const& medians, std::vector<PeakMemory> const& peaks) {
  std::fputs("\n", out);
  printTimes(out, medians);
  printPeaks(out, peaks);
  printTargets(out, medians, peaks);
  std::fflush(out);
}

}  // namespace tamo_bench
