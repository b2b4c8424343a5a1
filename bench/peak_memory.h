// Peak memory of one operation, measured in a fresh child process of this
// program: the growth of its resident set high-water mark across the
// operation, so that what the parent allocated or cached never counts.
#ifndef TAMO_BENCH_PEAK_MEMORY_H
#define TAMO_BENCH_PEAK_MEMORY_H

#include <vector>

#include "bench_files.h"
#include "report.h"

namespace tamo_bench {

// True when this process was started to measure one operation.
bool isPeakMemoryChild(int argc, char** argv);
// Runs that operation and prints its growth in KiB; returns the exit status.
int runPeakMemoryChild(int argc, char** argv);

// The median of three children for each operation on the large file.
std::vector<PeakMemory> measurePeaks(BenchFiles const& files);

}  // namespace tamo_bench

#endif  // TAMO_BENCH_PEAK_MEMORY_H
