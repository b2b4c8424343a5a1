// The summary of one run: every case in milliseconds and as ratios to the
// peers on the same input, then the targets and whether this run met them.
#ifndef TAMO_BENCH_REPORT_H
#define TAMO_BENCH_REPORT_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tamo_bench {

// Case name to seconds per iteration: the median of the repetitions, or the
// single measurement of a run without repetitions.
using Medians = std::map<std::string, double>;

// The console output of Google Benchmark, keeping the medians on the side.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(std::vector<Run> const& runs) override;
  Medians const& medians() const { return collected; }

 private:
  Medians collected;
  std::map<std::string, bool> fromMedian;
};

// Peak resident memory growth of one operation, in KiB.
struct PeakMemory {
  std::string name;
  long kib;
};

void printSummary(std::FILE* out, Medians const& medians, std::vector<PeakMemory> const& peaks);

}  // namespace tamo_bench

#endif  // TAMO_BENCH_REPORT_H
