// The writers' lock: what it costs one writer against a blind replacement,
// and the edits per second of 1, 4 and 20 writer processes that meet on one
// file. Each writer's edit is the whole locked read-change-write: lock, read
// the file, add its key, replace, release. The directory is $TMPDIR (or
// /tmp); ratios are meaningful within one run only.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <tamo/settings.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

settings_api2_t const& api2() {
  static settings_api2_t const table = [] {
    settings_api2_t t{};
    settings_api2_get(&t);
    return t;
  }();
  return table;
}

settings_api3_t const& api3() {
  static settings_api3_t const table = [] {
    settings_api3_t t{};
    settings_api3_get(&t);
    return t;
  }();
  return table;
}

// A private directory removed with its file at the end of a case.
class Scratch {
 public:
  Scratch() {
    char const* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/tamo-lock-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
      throw std::runtime_error("cannot make a scratch directory");
    directory = pattern;
    file = directory + "/app.cfg";
  }
  ~Scratch() {
    unlink(file.c_str());
    rmdir(directory.c_str());
  }

  std::string directory;
  std::string file;
};

std::string const kText = "AUTO_UPDATE=Enable\nWEB_TAMO=1\nOTHER=some value\n";

void check(int status, char const* what) {
  if (status != SETTINGS_NO_ERROR)
    throw std::runtime_error(std::string(what) + " failed with status " + std::to_string(status));
}

// One locked read-change-write: the file's text with one more line.
void lockedEdit(std::string const& file, std::string const& line) {
  settings_lock_t* lock = nullptr;
  check(api3().settings_lock_file(file.c_str(), 60000, &lock), "settings_lock_file");
  char const* text = nullptr;
  size_t size = 0;
  check(api3().settings_locked_file_read(lock, &text, &size), "settings_locked_file_read");
  std::string const edited = std::string(text != nullptr ? text : "", size) + line;
  check(api3().settings_locked_file_replace(lock, edited.data(), edited.size()),
        "settings_locked_file_replace");
  check(api3().settings_lock_release(lock), "settings_lock_release");
}

template <typename Body>
void guarded(benchmark::State& state, Body body) {
  try {
    body();
  } catch (std::exception const& e) {
    state.SkipWithError(e.what());
  }
}

void BM_BlindReplace(benchmark::State& state) {
  guarded(state, [&] {
    Scratch scratch;
    for (auto _ : state)
      check(api2().settings_replace_file_contents(scratch.file.c_str(), kText.data(), kText.size()),
            "settings_replace_file_contents");
  });
}

void BM_LockedReplace(benchmark::State& state) {
  guarded(state, [&] {
    Scratch scratch;
    for (auto _ : state) {
      settings_lock_t* lock = nullptr;
      check(api3().settings_lock_file(scratch.file.c_str(), 0, &lock), "settings_lock_file");
      check(api3().settings_locked_file_replace(lock, kText.data(), kText.size()),
            "settings_locked_file_replace");
      check(api3().settings_lock_release(lock), "settings_lock_release");
    }
  });
}

void BM_LockAndReleaseOnly(benchmark::State& state) {
  guarded(state, [&] {
    Scratch scratch;
    for (auto _ : state) {
      settings_lock_t* lock = nullptr;
      check(api3().settings_lock_file(scratch.file.c_str(), 0, &lock), "settings_lock_file");
      check(api3().settings_lock_release(lock), "settings_lock_release");
    }
  });
}

constexpr int kEditsPerWriter = 25;

// Each iteration: state.range(0) writer processes started together, each
// making kEditsPerWriter locked edits; the file then holds every line.
void BM_ConcurrentWriters(benchmark::State& state) {
  int const writers = static_cast<int>(state.range(0));
  guarded(state, [&] {
    Scratch scratch;
    for (auto _ : state) {
      check(api2().settings_replace_file_contents(scratch.file.c_str(), "", 0), "reset");
      for (int w = 0; w < writers; ++w) {
        if (fork() == 0) {
          try {
            for (int e = 0; e < kEditsPerWriter; ++e)
              lockedEdit(scratch.file, "w" + std::to_string(w) + "e" + std::to_string(e) + "=1\n");
          } catch (std::exception const&) {
            _exit(1);
          }
          _exit(0);
        }
      }
      int failed = 0;
      for (int w = 0; w < writers; ++w) {
        int status = 0;
        wait(&status);
        failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
      }
      if (failed != 0)
        throw std::runtime_error(std::to_string(failed) + " writers failed");
    }
    state.counters["edits"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * writers * kEditsPerWriter,
                           benchmark::Counter::kIsRate);
  });
}

BENCHMARK(BM_BlindReplace);
BENCHMARK(BM_LockedReplace);
BENCHMARK(BM_LockAndReleaseOnly);
BENCHMARK(BM_ConcurrentWriters)
    ->Arg(1)
    ->Arg(4)
    ->Arg(20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
