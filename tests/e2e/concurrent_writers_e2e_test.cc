// Writers that meet: tamo-settings processes and the installer changing one
// settings file at the same time, on the file systems it lives on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tamo/settings.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "sandbox.h"
#include "support/loop_mount.h"
#include "support/private_mounts.h"
#include "support/temp_dir.h"

namespace {

using tamo_test::readFile;
using tamo_test::writeFile;

constexpr int kWriters = 20;
constexpr int kRounds = 10;

// A 32-bit build tested under an emulator runs its programs under it too.
std::string const kEmulator = TAMO_PROGRAM_EMULATOR;

std::string underEmulator(char const* program) {
  return kEmulator.empty() ? std::string(program) : kEmulator + " " + program;
}

pid_t startTool(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TAMO_SETTINGS_PATH);
  if (!kEmulator.empty())
    arguments.insert(arguments.begin(), kEmulator);
  pid_t const child = fork();
  if (child == 0) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
      argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    int const null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

int exitStatusOf(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// The keys of one round that the file lost or whose writer failed.
int lostInRound(std::string const& file, int round) {
  std::vector<pid_t> writers;
  for (int i = 0; i < kWriters; ++i) {
    std::string const entry = "k" + std::to_string(i) + "=r" + std::to_string(round);
    // A wait long enough for twenty writers on a slow build (sanitizers, an
    // emulator): this proves that no key is lost, not how long the default wait is.
    writers.push_back(startTool({"set", "--wait=120", file, entry}));
  }
  int lost = 0;
  for (pid_t writer : writers)
    lost += exitStatusOf(writer) != 0 ? 1 : 0;
  std::string const text = readFile(file);
  for (int i = 0; i < kWriters; ++i) {
    std::string const line = "k" + std::to_string(i) + "=r" + std::to_string(round) + "\n";
    lost += text.find(line) == std::string::npos ? 1 : 0;
  }
  return lost;
}

int lostInAllRounds(std::string const& file) {
  int lost = 0;
  for (int round = 0; round < kRounds; ++round)
    lost += lostInRound(file, round);
  return lost;
}

// Where the file lives. A bind-mounted file is rewritten in place, the path
// a file that cannot be replaced takes.
enum class Place { Tmpfs, Ext4, Xfs, InPlace };

struct PlaceCase {
  char const* name;
  Place place;
};

class EveryWriter : public testing::TestWithParam<PlaceCase> {
 protected:
  tamo_test::TempDir dir;
};

constexpr int kCannotMount = -3000;

TEST_P(EveryWriter, KeepsItsKeyWhenTwentyWriteAtOnce) {
  Place const place = GetParam().place;
  tamo_test::FileSystemKind const kind = place == Place::Xfs ? tamo_test::kXfs : tamo_test::kExt4;
  bool const loop = place == Place::Ext4 || place == Place::Xfs;
  if (loop && !tamo_test::loopMountUnavailable(kind).empty())
    GTEST_SKIP() << tamo_test::loopMountUnavailable(kind);
  std::string const mnt = dir.file("mnt");
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
  std::string const file = mnt + "/app.cfg";
  std::string why;
  int const lost = tamo_test::runInPrivateMounts([&] {
    bool const mounted = loop ? tamo_test::mountImage(kind, dir.file("image"), mnt).empty()
                              : tamo_test::mountTmpfs(mnt, 64 << 20);
    if (!mounted)
      return kCannotMount;
    writeFile(file, "# kept\n");
    if (place == Place::InPlace && !tamo_test::bindMount(file, file))
      return kCannotMount;
    int const result = lostInAllRounds(file);
    if (place == Place::InPlace)
      umount(file.c_str());
    umount(mnt.c_str());
    return result;
  });
  if (lost == tamo_test::kNoPrivateMounts || lost == kCannotMount)
    GTEST_SKIP() << "the mounts this check needs are refused here";
  EXPECT_EQ(lost, 0) << "keys lost (or writers failed) out of " << kWriters * kRounds;
}

INSTANTIATE_TEST_SUITE_P(Places, EveryWriter,
                         testing::Values(PlaceCase{"Tmpfs", Place::Tmpfs},
                                         PlaceCase{"Ext4", Place::Ext4},
                                         PlaceCase{"Xfs", Place::Xfs},
                                         PlaceCase{"InPlace", Place::InPlace}),
                         [](auto const& info) { return std::string(info.param.name); });

// A child that takes the lock of file through the library and holds it
// until it is killed; returns once the lock is held.
pid_t holdLock(std::string const& file) {
  int ready[2];
  if (pipe(ready) != 0)
    return -1;
  pid_t const child = fork();
  if (child == 0) {
    settings_api3_t api;
    settings_api3_get(&api);
    settings_lock_t* lock = nullptr;
    char const held = api.settings_lock_file(file.c_str(), 0, &lock) == 0 ? 'y' : 'n';
    if (write(ready[1], &held, 1) != 1 || held != 'y')
      _exit(1);
    for (;;)
      pause();
  }
  close(ready[1]);
  char held = 'n';
  bool const ok = read(ready[0], &held, 1) == 1 && held == 'y';
  close(ready[0]);
  if (!ok) {
    waitpid(child, nullptr, 0);
    return -1;
  }
  return child;
}

struct Timed {
  int status;
  double seconds;
};

Timed timedSet(std::string const& file, std::string const& wait) {
  auto const start = std::chrono::steady_clock::now();
  int const status = exitStatusOf(startTool({"set", "--wait=" + wait, file, "new=1"}));
  std::chrono::duration<double> const took = std::chrono::steady_clock::now() - start;
  return Timed{status, took.count()};
}

TEST(WritersLock, HeldLockEndsTheWaitWith75AndLeavesTheFileAsItWas) {
  tamo_test::TempDir dir;
  std::string const file = dir.file("app.cfg");
  writeFile(file, "# comment\nold = 1\n");
  pid_t const holder = holdLock(file);
  ASSERT_GT(holder, 0);
  Timed const now = timedSet(file, "0");
  Timed const later = timedSet(file, "1");
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(now.status, 75);
  EXPECT_LT(now.seconds, 0.8);
  EXPECT_EQ(later.status, 75);
  // Coarse bounds only: the wait is about a second.
  EXPECT_GE(later.seconds, 0.9);
  EXPECT_LT(later.seconds, 5.0);
  EXPECT_EQ(readFile(file), "# comment\nold = 1\n");
}

TEST(WritersLock, KilledHolderFreesItAtOnce) {
  tamo_test::TempDir dir;
  std::string const file = dir.file("app.cfg");
  pid_t const holder = holdLock(file);
  ASSERT_GT(holder, 0);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(timedSet(file, "0").status, 0);
  EXPECT_EQ(readFile(file), "new=1\n");
}

// The installer at its real paths and administrators' set commands started
// together, round after round: every administrator's key and the
// installer's merge are in the file at the end.
TEST(WritersLock, InstallerAndAdministratorsKeepEachOthersChanges) {
  tamo_test::TempDir work;
  std::string const system = "/etc/Vardel/Tamo/tamo.settings.cfg";
  std::string script =
      "for r in 1 2 3 4 5 6 7 8 9 10; do\n  " + underEmulator(TAMO_INSTALL_CONFIG_PATH) + " &\n";
  for (int i = 0; i < 5; ++i)
    script += "  " + underEmulator(TAMO_SETTINGS_PATH) + " set --wait=120 " + system +
              " ADMIN_${r}_" + std::to_string(i) + "=1 >/dev/null &\n";
  script += "  wait\ndone\n";
  tamo_sandbox::SandboxRequest request;
  request.workDir = work.path();
  request.files = {{"/etc/tamo/config/zlv-install.properties", "AUTO_UPDATE=enable\n", 0644},
                   {system, "WEB_TAMO=1\n", 0644}};
  request.command = {"/bin/sh", "-c", script};
  request.underEmulator = false;
  request.inspect = {system};
  tamo_sandbox::SandboxResult const result = tamo_sandbox::runInSandbox(request);
  if (!result.ran)
    GTEST_SKIP() << result.skipReason;
  EXPECT_EQ(result.exitStatus, 0);
  std::string const text = result.files.at(system).contents;
  EXPECT_NE(text.find("AUTO_UPDATE=Enable\n"), std::string::npos) << text;
  EXPECT_NE(text.find("WEB_TAMO=1\n"), std::string::npos) << text;
  for (int r = 1; r <= 10; ++r)
    for (int i = 0; i < 5; ++i) {
      std::string const key = "ADMIN_" + std::to_string(r) + "_" + std::to_string(i) + "=1\n";
      EXPECT_NE(text.find(key), std::string::npos) << key << "missing from\n" << text;
    }
  for (auto const& record : result.log)
    EXPECT_EQ(record.message.find("lock"), std::string::npos) << record.message;
}

}  // namespace
