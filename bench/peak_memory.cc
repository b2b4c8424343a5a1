#include "peak_memory.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "peers.h"
#include "tamo_cases.h"

extern char** environ;

namespace tamo_bench {
namespace {

constexpr char kChildFlag[] = "--peak-memory-child";
constexpr int kChildrenPerCase = 3;

struct Operation {
  char const* name;
  void (*run)(char const* path);
  bool keyFileInput;  // reads the variant with a group header
};

void importPlain(char const* path) {
  importIntoNewContext(path, nullptr);
}
void importWithRules(char const* path) {
  InstallerRules const rules;
  importIntoNewContext(path, &rules);
}
void keyFileLoad(char const* path) {
  keyFileLoadOnly(path);
}
void keyFileLoadAndReadAll(char const* path) {
  keyFileLoadAndRead(path);
}
void inih(char const* path) {
  inihLoad(path);
}
void floor(char const* path) {
  readAndSplitLines(path);
}

void importAndRead(char const* path) {
  importAndReadEveryValue(path);
}

constexpr std::array<Operation, 8> kOperations = {{
    {"import/large", importPlain, false},
    {"import/sorted", importPlain, false},
    {"import/large/read", importAndRead, false},
    {"import/large/installer", importWithRules, false},
    {"gkeyfile_load_only/large", keyFileLoad, true},
    {"gkeyfile_load/large", keyFileLoadAndReadAll, true},
    {"inih/large", inih, false},
    {"floor/large", floor, false},
}};

// The high-water mark of this process image's resident set (VmHWM), which
// starts afresh at exec; ru_maxrss would carry the spawning parent's over.
long residentHighWaterKib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr)
    throw std::runtime_error("cannot read /proc/self/status");
  char line[256];
  long kib = -1;
  while (kib < 0 && std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0)
      kib = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(status);
  if (kib < 0)
    throw std::runtime_error("no VmHWM in /proc/self/status");
  return kib;
}

// Starts this program as a child measuring one operation and reads its
// answer from a pipe.
long measureInChild(char const* operation, std::string const& path) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  std::string self = "/proc/self/exe";
  std::string flag = kChildFlag;
  std::string name = operation;
  std::string file = path;
  char* argv[] = {self.data(), flag.data(), name.data(), file.data(), nullptr};
  pid_t child = 0;
  int const spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  char answer[64] = {};
  ssize_t const got = spawned == 0 ? ::read(pipeEnds[0], answer, sizeof answer - 1) : -1;
  ::close(pipeEnds[0]);
  int status = 0;
  if (spawned == 0)
    ::waitpid(child, &status, 0);
  if (got <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(std::string("peak memory child failed for ") + operation);
  }
  return std::strtol(answer, nullptr, 10);
}

long medianInChildren(Operation const& operation, std::string const& path) {
  std::array<long, kChildrenPerCase> samples{};
  for (long& sample : samples)
    sample = measureInChild(operation.name, path);
  std::sort(samples.begin(), samples.end());
  return samples[kChildrenPerCase / 2];
}

}  // namespace

bool isPeakMemoryChild(int argc, char** argv) {
  return argc == 4 && std::strcmp(argv[1], kChildFlag) == 0;
}

int runPeakMemoryChild(int /*argc*/, char** argv) {
  for (Operation const& operation : kOperations) {
    if (std::strcmp(operation.name, argv[2]) != 0)
      continue;
    try {
      long const before = residentHighWaterKib();
      operation.run(argv[3]);
      std::printf("%ld\n", residentHighWaterKib() - before);
      return 0;
    } catch (std::exception const& e) {
      std::fprintf(stderr, "%s: %s\n", operation.name, e.what());
      return 1;
    }
  }
  return 2;
}

std::vector<PeakMemory> measurePeaks(BenchFiles const& files) {
  std::vector<PeakMemory> peaks;
  for (Operation const& operation : kOperations) {
    std::string const& path = std::strcmp(operation.name, "import/sorted") == 0 ? files.sorted
                              : operation.keyFileInput                          ? files.largeKeyFile
                                                                                : files.large;
    peaks.push_back({operation.name, medianInChildren(operation, path)});
  }
  return peaks;
}

}  // namespace tamo_bench
