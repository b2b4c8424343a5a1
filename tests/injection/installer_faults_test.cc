// The installer at its real paths, built on the injecting platform layer:
// every call of its export fails in turn; the system file must be the old or
// the merged one, and the log must say what the status table says.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "sandbox.h"
#include "support/temp_dir.h"

namespace {

#define SYSTEM_PATH "/etc/Vardel/Tamo/tamo.settings.cfg"
#define INPUT_PATH "/etc/tamo/config/zlv-install.properties"

char const kOld[] = "WEB_TAMO=0\nOTHER=kept\n";
char const kInput[] = "WEB_TAMO=1\n";
char const kMerged[] = "OTHER=kept\nWEB_TAMO=1\n";
char const kCreating[] = "No pre-existing config file. Creating new one.";
char const kCannotOpen[] = "Invalid pre-existing config file " SYSTEM_PATH ". Exiting...";
// An input file that cannot be opened is taken for a missing one: the old
// settings are written back, in key order.
char const kNoInput[] = "No input config file " INPUT_PATH ".";
char const kOldRewritten[] = "OTHER=kept\nWEB_TAMO=0\n";
char const kCannotReadInput[] = "Unable to read input config file " INPUT_PATH ". Exiting...";
char const kNotLocked[] =
    "Config file " SYSTEM_PATH
    " cannot be locked on its file system; it is read and written without the "
    "writers' lock.";
char const kNotReleased[] =
    "Config file " SYSTEM_PATH ": the writers' lock was not released cleanly.";
char const kCannotWrite[] = "No write permissions for config file " SYSTEM_PATH
                            ". Please check if you are logged in as an administrator.";

struct InstallerRun {
  tamo_sandbox::SandboxResult result;
  std::vector<std::string> log;
  std::vector<std::string> calls;
};

// Counting starts at the first walk to the system file: the lock's, or
// the export's where there is no directory to lock yet.
InstallerRun runInstaller(tamo_test::TempDir const& dir, bool systemExists, std::size_t failAt,
                          int error) {
  std::string const record = dir.file("calls");
  std::remove(record.c_str());
  ::setenv("TAMO_INJECT_FROM", "effectiveUser", 1);
  ::setenv("TAMO_INJECT_RECORD", record.c_str(), 1);
  ::setenv("TAMO_INJECT_AT", std::to_string(failAt).c_str(), 1);
  ::setenv("TAMO_INJECT_ERROR", std::to_string(error).c_str(), 1);
  tamo_sandbox::SandboxRequest request;
  request.workDir = dir.path();
  request.command = {TAMO_INSTALL_CONFIG_INJECTED_PATH};
  request.inspect = {SYSTEM_PATH};
  request.files.push_back({INPUT_PATH, kInput, 0644});
  if (systemExists)
    request.files.push_back({SYSTEM_PATH, kOld, 0640});
  InstallerRun run;
  run.result = tamo_sandbox::runInSandbox(request);
  for (char const* name :
       {"TAMO_INJECT_FROM", "TAMO_INJECT_RECORD", "TAMO_INJECT_AT", "TAMO_INJECT_ERROR"})
    ::unsetenv(name);
  for (auto const& record : run.result.log)
    run.log.push_back(record.message);
  std::ifstream in(record);
  for (std::string line; std::getline(in, line);)
    run.calls.push_back(line);
  return run;
}

class InstallerExportFaults : public testing::TestWithParam<bool> {};

TEST_P(InstallerExportFaults, SystemFileIsOldOrMergedAndTheLogSaysWhich) {
  bool const systemExists = GetParam();
  tamo_test::TempDir dir;
  InstallerRun clean = runInstaller(dir, systemExists, 0, 0);
  if (!clean.result.ran)
    GTEST_SKIP() << clean.result.skipReason;
  std::vector<std::string> const before =
      systemExists ? std::vector<std::string>{} : std::vector<std::string>{kCreating};
  ASSERT_EQ(before, clean.log);
  std::string const mergedText = systemExists ? kMerged : kInput;
  ASSERT_EQ(mergedText, clean.result.files[SYSTEM_PATH].contents);
  int refusedWrites = 0;
  ASSERT_FALSE(clean.calls.empty());
  for (std::size_t i = 0; i < clean.calls.size(); ++i) {
    for (int error : {EIO, ENOSPC}) {
      InstallerRun run = runInstaller(dir, systemExists, i + 1, error);
      std::string const where = clean.calls[i] + " (call " + std::to_string(i + 1) +
                                ") failing with " + strerrorname_np(error);
      tamo_sandbox::FileState const& after = run.result.files[SYSTEM_PATH];
      bool const merged = after.exists && after.contents == mergedText;
      bool const old = systemExists ? after.exists && after.contents == kOld : !after.exists;
      if (run.log == std::vector<std::string>{kNoInput}) {
        EXPECT_EQ(after.contents, systemExists ? kOldRewritten : "") << where;
        continue;
      }
      EXPECT_TRUE(merged || old) << where << ": the file holds \"" << after.contents << '"';
      if (after.exists) {
        EXPECT_EQ(systemExists ? 0640u : 0644u, after.mode) << where;
      }
      std::vector<std::string> cannotOpen = before, cannotWrite = before;
      cannotOpen.push_back(kCannotOpen);
      // Stopped before the export, which is what says a file is created.
      std::vector<std::string> const cannotReadInput{kCannotReadInput};
      // A failure while the walk tells a missing system file from one it
      // cannot open: stopped as for an unreadable one.
      std::vector<std::string> const cannotReadSystem{kCannotOpen};
      cannotWrite.push_back(kCannotWrite);
      std::vector<std::string> notLocked = before, notReleased = before;
      notLocked.push_back(kNotLocked);
      notReleased.push_back(kNotReleased);
      if (run.log == before || run.log == notLocked || run.log == notReleased) {
        EXPECT_TRUE(merged) << where << ": success logged without the merged file";
      } else if (run.log == cannotOpen || run.log == cannotReadInput ||
                 run.log == cannotReadSystem) {
        EXPECT_TRUE(old) << where << ": 304 logged, but the file changed";
      } else {
        EXPECT_EQ(cannotWrite, run.log) << where;
        ++refusedWrites;
      }
    }
  }
  EXPECT_LT(0, refusedWrites) << "no injected failure reached the tool";
}

INSTANTIATE_TEST_SUITE_P(SystemFile, InstallerExportFaults, testing::Bool(),
                         [](auto const& info) { return info.param ? "Existing" : "New"; });

}  // namespace
