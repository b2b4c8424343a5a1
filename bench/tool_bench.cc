// tamo-settings as a shell user runs it, beside git config --file and
// crudini on the same files: one key set, 100 keys set in one call, one key
// unset (and, for the tool alone, 100 keys unset in one call), on files of
// 1 KiB, 64 KiB, 512 KiB and 1 MiB. Every case runs
// whole processes. The files live on tmpfs where there is one (/dev/shm),
// where a sync costs nothing: git does not sync its config file, the
// library's replacement does. Ends with the targets and this run's ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <tamo/settings.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "report.h"

extern char** environ;

namespace tamo_bench {
namespace {

constexpr long kTmpfsMagic = 0x01021994;
constexpr int kKeysPerCall = 100;

struct Size {
  char const* label;
  std::size_t bytes;
};
// 1 MiB stands for the largest file the library reads, one byte less.
constexpr Size kSizes[] = {{"1KiB", 1024}, {"64KiB", 65536}, {"512KiB", 524288}, {"1MiB", 1048575}};

enum class Peer { TAMO, GIT, CRUDINI };

char const* peerName(Peer peer) {
  return peer == Peer::TAMO ? "tamo" : peer == Peer::GIT ? "git" : "crudini";
}

void writeWholeFile(std::string const& path, std::string const& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool const written =
      file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file == nullptr || std::fclose(file) != 0 || !written)
    throw std::runtime_error("cannot write " + path);
}

std::string keyName(std::size_t number) {
  char text[32];
  std::snprintf(text, sizeof text, "k%06zu", number);
  return text;
}

// Lines "k000042 = value 42" up to size bytes; git and crudini need them in
// a section, git indented as it writes them.
struct Input {
  std::string text;
  std::size_t keys = 0;
};

Input makeInput(Peer peer, std::size_t size) {
  Input input;
  input.text = peer == Peer::TAMO ? "" : "[s]\n";
  std::string const indent = peer == Peer::GIT ? "\t" : "";
  for (;;) {
    std::string const line =
        indent + keyName(input.keys) + " = value " + std::to_string(input.keys) + "\n";
    if (input.text.size() + line.size() > size)
      return input;
    input.text += line;
    ++input.keys;
  }
}

std::string scratchDirectory() {
  struct statfs shm;
  std::string base = statfs("/dev/shm", &shm) == 0 && shm.f_type == kTmpfsMagic
                         ? "/dev/shm"
                         : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  std::string pattern = base + "/tamo-tool-bench-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr)
    throw std::runtime_error("mkdtemp failed under " + base);
  return pattern;
}

// Runs argv with standard output and error discarded and standard input
// from inputPath ("" for /dev/null); std::runtime_error unless it exits 0.
void run(std::vector<std::string> const& argv, std::string const& inputPath = "") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputPath.empty() ? "/dev/null" : inputPath.c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (std::string const& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t child = 0;
  int const spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0)
    throw std::runtime_error(argv[0] + ": " + std::strerror(spawned));
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(argv[0] + " failed (" + argv[1] + ")");
}

bool onPath(char const* program) {
  try {
    run({program, "--version"});
    return true;
  } catch (std::runtime_error const&) {
    return false;
  }
}

// The keys a case changes: the middle one, or 100 spread over the file.
std::vector<std::string> keysToChange(std::size_t keys, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i)
    names.push_back(keyName(count == 1 ? keys / 2 : (keys * i + keys / 2) / count));
  return names;
}

struct Files {
  std::string directory;
  std::string path[3][4];  // by peer and size
  Input input[3][4];
};

Files& files() {
  static Files made = [] {
    Files f;
    f.directory = scratchDirectory();
    for (Peer peer : {Peer::TAMO, Peer::GIT, Peer::CRUDINI}) {
      for (std::size_t s = 0; s < 4; ++s) {
        int const p = static_cast<int>(peer);
        f.input[p][s] = makeInput(peer, kSizes[s].bytes);
        f.path[p][s] = f.directory + "/" + peerName(peer) + "-" + kSizes[s].label + ".cfg";
      }
    }
    return f;
  }();
  return made;
}

// One call of the peer that gives keys the value; 100 calls for git, which
// sets one key per call.
void setKeys(Peer peer, std::string const& file, std::vector<std::string> const& keys,
             std::string const& value, std::string const& scratch) {
  if (peer == Peer::TAMO) {
    std::vector<std::string> argv = {TAMO_SETTINGS_PATH, "set", file};
    for (std::string const& key : keys)
      argv.push_back(key + "=" + value);
    run(argv);
  } else if (peer == Peer::GIT) {
    for (std::string const& key : keys)
      run({"git", "config", "--file", file, "s." + key, value});
  } else if (keys.size() == 1) {
    run({"crudini", "--set", file, "s", keys[0], value});
  } else {
    std::string batch = "[s]\n";
    for (std::string const& key : keys)
      batch += key + " = " + value + "\n";
    writeWholeFile(scratch, batch);
    run({"crudini", "--merge", file, "s"}, scratch);
  }
}

// The tool unsets all keys in one call; its peers run for one key only.
void unsetKeys(Peer peer, std::string const& file, std::vector<std::string> const& keys) {
  if (peer == Peer::TAMO) {
    std::vector<std::string> argv = {TAMO_SETTINGS_PATH, "unset", file};
    argv.insert(argv.end(), keys.begin(), keys.end());
    run(argv);
  } else if (peer == Peer::GIT) {
    run({"git", "config", "--file", file, "--unset", "s." + keys[0]});
  } else {
    run({"crudini", "--del", file, "s", keys[0]});
  }
}

enum class Operation { SET_ONE, SET_MANY, UNSET_ONE, UNSET_MANY };

void toolCase(benchmark::State& state, Peer peer, std::size_t size, Operation operation) {
  int const p = static_cast<int>(peer);
  std::string const& path = files().path[p][size];
  Input const& input = files().input[p][size];
  std::string const scratch = path + ".batch";
  bool const many = operation == Operation::SET_MANY || operation == Operation::UNSET_MANY;
  std::vector<std::string> const keys = keysToChange(input.keys, many ? kKeysPerCall : 1);
  try {
    writeWholeFile(path, input.text);
    bool flip = false;
    for (auto _ : state) {
      if (operation == Operation::UNSET_ONE || operation == Operation::UNSET_MANY) {
        state.PauseTiming();
        writeWholeFile(path, input.text);
        state.ResumeTiming();
        unsetKeys(peer, path, keys);
      } else {
        // Each iteration changes the values, so each one writes.
        flip = !flip;
        setKeys(peer, path, keys, flip ? "changed" : "again", scratch);
      }
    }
  } catch (std::exception const& e) {
    state.SkipWithError(e.what());
  }
}

// One import of path into a new context, as a program reads its settings;
// the library's status.
int importOnce(std::string const& path) {
  settings_api_t api;
  settings_api_get(&api);
  settings_context_t* context = api.context_create();
  int const status = api.context_import_from_file(context, path.c_str(), nullptr, nullptr, 1, 0);
  api.context_free(context);
  return status;
}

// One import of the file in-process, repeated, its memory reused from the
// iteration before (see main): the library at its fastest.
void importCase(benchmark::State& state, std::size_t size) {
  std::string const& path = files().path[0][size];
  writeWholeFile(path, files().input[0][size].text);
  for (auto _ : state) {
    if (importOnce(path) != 0)
      state.SkipWithError("import failed");
  }
}

// Seconds of one import in a child that has imported nothing before, or a
// negative number when it failed. The child's large buffers are mapped
// afresh, as in a program that starts with glibc's default threshold.
double timeFirstImport(std::string const& path) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0)
    return -1;
  pid_t const child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    mallopt(M_MMAP_THRESHOLD, 128 << 10);
    auto const start = std::chrono::steady_clock::now();
    int const status = importOnce(path);
    std::chrono::duration<double> const took = std::chrono::steady_clock::now() - start;
    double const seconds = status == 0 ? took.count() : -1;
    ssize_t const written = write(pipeEnds[1], &seconds, sizeof seconds);
    _exit(written == sizeof seconds ? 0 : 1);
  }
  close(pipeEnds[1]);
  double seconds = -1;
  if (child < 0 || read(pipeEnds[0], &seconds, sizeof seconds) != sizeof seconds)
    seconds = -1;
  close(pipeEnds[0]);
  if (child > 0)
    waitpid(child, nullptr, 0);
  return seconds;
}

// The reference for the one-key edit: what a program pays to import the
// file once, as the tool does in each run.
void firstImportCase(benchmark::State& state, std::size_t size) {
  std::string const& path = files().path[0][size];
  writeWholeFile(path, files().input[0][size].text);
  for (auto _ : state) {
    double const seconds = timeFirstImport(path);
    if (seconds < 0) {
      state.SkipWithError("import failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
}

// The cost of starting the tool at all: get of one key.
void getCase(benchmark::State& state, std::size_t size) {
  std::string const& path = files().path[0][size];
  std::string const key = keysToChange(files().input[0][size].keys, 1)[0];
  try {
    writeWholeFile(path, files().input[0][size].text);
    for (auto _ : state)
      run({TAMO_SETTINGS_PATH, "get", path, key});
  } catch (std::exception const& e) {
    state.SkipWithError(e.what());
  }
}

std::string caseName(char const* what, Peer peer, std::size_t size) {
  return std::string(peerName(peer)) + "/" + what + "/" + kSizes[size].label;
}

void registerCases() {
  std::vector<Peer> peers = {Peer::TAMO};
  for (Peer peer : {Peer::GIT, Peer::CRUDINI}) {
    if (onPath(peerName(peer)))
      peers.push_back(peer);
    else
      std::printf("%s is not installed: its cases are skipped\n", peerName(peer));
  }
  struct Named {
    char const* name;
    Operation operation;
  };
  Named const operations[] = {{"set1", Operation::SET_ONE},
                              {"set100", Operation::SET_MANY},
                              {"unset1", Operation::UNSET_ONE},
                              {"unset100", Operation::UNSET_MANY}};
  for (std::size_t size = 0; size < 4; ++size) {
    benchmark::RegisterBenchmark(("import/" + std::string(kSizes[size].label)).c_str(), importCase,
                                 size)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("first-import/" + std::string(kSizes[size].label)).c_str(),
                                 firstImportCase, size)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime();
    benchmark::RegisterBenchmark(caseName("get", Peer::TAMO, size).c_str(), getCase, size)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    for (Peer peer : peers) {
      // The half-size file is there for the doubling target only.
      if (peer != Peer::TAMO && size == 2)
        continue;
      for (Named const& operation : operations) {
        // Its peers would unset the 100 keys in 100 calls, as they set them.
        if (peer != Peer::TAMO && operation.operation == Operation::UNSET_MANY)
          continue;
        benchmark::RegisterBenchmark(caseName(operation.name, peer, size).c_str(), toolCase, peer,
                                     size, operation.operation)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      }
    }
  }
}

struct Ratio {
  std::string description;
  std::string measured;
  std::string reference;
  double limit;  // 0: shown beside the targets, not one of them
};

void printTargets(Medians const& medians) {
  std::vector<Ratio> ratios = {
      {"one-key set of 1 MiB / a program's one import of it", "tamo/set1/1MiB", "first-import/1MiB",
       5},
      {"one-key set of 1 MiB / a repeated import of it", "tamo/set1/1MiB", "import/1MiB", 0},
  };
  for (std::size_t size = 0; size < 4; ++size) {
    std::string const label = kSizes[size].label;
    ratios.push_back({"100 keys in one call / one key, " + label, "tamo/set100/" + label,
                      "tamo/set1/" + label, 2});
    ratios.push_back({"100 keys unset in one call / one key, " + label, "tamo/unset100/" + label,
                      "tamo/unset1/" + label, 0});
  }
  for (char const* operation : {"set1", "set100", "unset1"}) {
    ratios.push_back({std::string(operation) + ": 1 MiB / 512 KiB",
                      std::string("tamo/") + operation + "/1MiB",
                      std::string("tamo/") + operation + "/512KiB", 2.2});
    for (std::size_t size : {0, 1, 3}) {
      std::string const label = kSizes[size].label;
      ratios.push_back({std::string(operation) + " against git config, " + label,
                        std::string("tamo/") + operation + "/" + label,
                        std::string("git/") + operation + "/" + label, 1});
    }
  }
  std::printf("\n%-48s %10s %10s %7s %6s\n", "target", "ms", "ref ms", "ratio", "limit");
  for (Ratio const& ratio : ratios) {
    auto const measured = medians.find(ratio.measured);
    auto const reference = medians.find(ratio.reference);
    if (measured == medians.end() || reference == medians.end()) {
      std::printf("%-48s not measured\n", ratio.description.c_str());
      continue;
    }
    double const value = measured->second / reference->second;
    if (ratio.limit == 0) {
      std::printf("%-48s %10.3f %10.3f %7.2f %6s beside\n", ratio.description.c_str(),
                  measured->second * 1e3, reference->second * 1e3, value, "");
      continue;
    }
    std::printf("%-48s %10.3f %10.3f %7.2f %6.1f %s\n", ratio.description.c_str(),
                measured->second * 1e3, reference->second * 1e3, value, ratio.limit,
                value <= ratio.limit ? "met" : "MISSED");
  }
  std::printf("\ncrudini beside them (ms):\n");
  for (auto const& [name, seconds] : medians) {
    if (name.rfind("crudini/", 0) == 0)
      std::printf("  %-28s %10.3f\n", name.c_str(), seconds * 1e3);
  }
}

}  // namespace
}  // namespace tamo_bench

int main(int argc, char** argv) {
  // Large buffers stay in the heap when freed, so that each import reuses
  // the pages of the one before. Left to glibc, they are mapped afresh or
  // reused as its sliding threshold decides, and the reference import moved
  // between 7 and 12 ms from one run to the next.
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  std::vector<std::string> storage = {"--benchmark_repetitions=3",
                                      "--benchmark_report_aggregates_only=true",
                                      "--benchmark_enable_random_interleaving=true"};
  std::vector<char*> args(argv, argv + argc);
  bool repetitionsGiven = false;
  for (int i = 1; i < argc; ++i)
    repetitionsGiven |= std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
  if (!repetitionsGiven)
    for (std::string& flag : storage)
      args.push_back(flag.data());
  args.push_back(nullptr);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data()))
    return 1;
  try {
    std::printf("files in %s\n", tamo_bench::files().directory.c_str());
    tamo_bench::registerCases();
    tamo_bench::MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    tamo_bench::printTargets(collector.medians());
  } catch (std::exception const& e) {
    std::fprintf(stderr, "tamo_tool_bench: %s\n", e.what());
    return 1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(tamo_bench::files().directory, ignored);
  return 0;
}
