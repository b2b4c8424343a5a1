// Every call an export makes, found by a clean run, fails in turn with each
// error that applies to it, and the process is killed at each in turn; every
// outcome must keep the contract of context_export_to_file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "export_scenario.h"
#include "support/temp_dir.h"

namespace {

using tamo_test::Scenario;
namespace injection = tamo_test::injection;

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

std::size_t indexOf(std::vector<std::string> const& calls, char const* name) {
  for (std::size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == name)
      return i;
  return kNone;
}

// EIO for every call that can fail; the errors of a full disk or quota for
// the calls that allocate; EINTR for those a signal can interrupt.
std::vector<int> errorsFor(std::string const& call) {
  static std::set<std::string> const cannotFail = {"closeIoHandle", "closeStdioHandle", "getCurDir",
                                                   "effectiveUser"};
  static std::set<std::string> const allocating = {
      "write",        "fsync",           "close",         "mkdir",       "makeDirectoryAt",
      "openUnnamed",  "openExclusiveAt", "linkEmptyPath", "linkUnnamed", "renameAt",
      "reserveSpace", "fchown",          "setAttribute"};
  static std::set<std::string> const interruptible = {
      "write",       "fsync",           "close",         "open",         "openAt",
      "openUnnamed", "openExclusiveAt", "openDirectory", "reserveSpace", "ftruncate"};
  std::vector<int> errors;
  if (cannotFail.count(call) != 0)
    return errors;
  errors.push_back(EIO);
  if (allocating.count(call) != 0) {
    errors.push_back(ENOSPC);
    errors.push_back(EDQUOT);
  }
  if (interruptible.count(call) != 0)
    errors.push_back(EINTR);
  return errors;
}

class ExportFaults : public testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    fresh();
    ASSERT_EQ(0, tamo_test::exportInChild(GetParam(), root, {}, &clean));
    ASSERT_EQ("", tamo_test::contractBroken(GetParam(), root, base, 0));
    ASSERT_FALSE(clean.empty());
    std::string names;
    for (std::string const& call : clean)
      names += (names.empty() ? "" : " ") + call;
    RecordProperty("calls", names);
    renameAt = indexOf(clean, "renameAt");
    rewriteAt = GetParam().inPlace ? indexOf(clean, "reserveSpace") : kNone;
  }

  // Lays the scenario out again, as it was before any export.
  void fresh() {
    std::filesystem::remove_all(root);
    ASSERT_EQ(0, ::mkdir(root.c_str(), 0755));
    ASSERT_TRUE(GetParam().prepare(root));
    base = tamo_test::outcomeBefore(GetParam(), root);
  }

  tamo_test::Outcome expectedAt(std::size_t call) const {
    tamo_test::Outcome outcome = base;
    outcome.mayBeNew = renameAt != kNone && call > renameAt;
    outcome.mayBeChanged = rewriteAt != kNone && call > rewriteAt;
    return outcome;
  }

  // What the file holds once the call of calls at index failed.
  int fileStateAt(std::vector<std::string> const& calls, std::size_t index) const {
    std::size_t const rename = indexOf(calls, "renameAt");
    std::size_t const rewrite = GetParam().inPlace ? indexOf(calls, "reserveSpace") : kNone;
    if (rename != kNone && index > rename)
      return SETTINGS_FILE_NEW_UNSYNCED;
    return rewrite != kNone && index > rewrite ? SETTINGS_FILE_MAY_BE_CHANGED
                                               : SETTINGS_FILE_UNTOUCHED;
  }

  tamo_test::TempDir dir;
  std::string root = dir.file("root");
  tamo_test::Outcome base;
  std::vector<std::string> clean;
  std::size_t renameAt = kNone;
  std::size_t rewriteAt = kNone;
};

TEST_P(ExportFaults, CleanRunStagesOnlyWhatCanBeReplaced) {
  if (std::string(GetParam().name) == "MountPoint") {
    EXPECT_EQ(kNone, indexOf(clean, "openUnnamed"));
    EXPECT_EQ(kNone, indexOf(clean, "openExclusiveAt"));
  }
  EXPECT_EQ(GetParam().inPlace, rewriteAt != kNone);
  EXPECT_EQ(GetParam().inPlace, renameAt == kNone);
  // Everything that can be checked is checked before the staging file is
  // linked: only the look at the name just made lies between link and rename.
  std::size_t const linkedAt =
      std::min(indexOf(clean, "linkEmptyPath"), indexOf(clean, "linkUnnamed"));
  if (linkedAt != kNone) {
    EXPECT_EQ(linkedAt + 2, renameAt);
  }
}

TEST_P(ExportFaults, EveryFailingCallKeepsTheContract) {
  for (std::size_t i = 0; i < clean.size(); ++i) {
    for (int error : errorsFor(clean[i])) {
      fresh();
      int status = tamo_test::exportInChild(GetParam(), root, injection::failAt(i + 1, error));
      std::string const where = clean[i] + " (call " + std::to_string(i + 1) + ") failing with " +
                                strerrorname_np(error) + ": status " + std::to_string(status);
      EXPECT_EQ("", tamo_test::contractBroken(GetParam(), root, expectedAt(i), status)) << where;
      if (clean[i] == "write" && error == EINTR) {
        EXPECT_EQ(0, status) << where << "; an interrupted write is retried";
      }
    }
  }
}

// From the first call of the replacement itself, every failure reports the
// failed call's errno and what the file holds by then.
TEST_P(ExportFaults, EveryFailingCallOfTheReplacementIsReported) {
  std::vector<std::string> calls;
  settings_file_report_t report{};
  fresh();
  if (tamo_test::exportInChild(GetParam(), root, {}, &calls, &report) != 0)
    GTEST_SKIP() << "a replacement makes no missing directories";
  std::size_t const first = std::min(
      {indexOf(calls, "fstatx"), indexOf(calls, "openUnnamed"), indexOf(calls, "openExclusiveAt")});
  for (std::size_t i = first; i < calls.size(); ++i) {
    for (int error : errorsFor(calls[i])) {
      fresh();
      int status = tamo_test::exportInChild(GetParam(), root, injection::failAt(i + 1, error),
                                            nullptr, &report);
      if (status == 0)
        continue;
      std::string const where = calls[i] + " (call " + std::to_string(i + 1) + ") failing with " +
                                strerrorname_np(error) + ": status " + std::to_string(status);
      EXPECT_EQ(SETTINGS_PATH_SYSTEM, report.reason) << where;
      EXPECT_EQ(error, report.systemError) << where;
      EXPECT_EQ(fileStateAt(calls, i), report.fileState) << where;
    }
  }
}

TEST_P(ExportFaults, KillAtEveryCallLeavesOldOrNewText) {
  for (std::size_t i = 0; i < clean.size(); ++i) {
    fresh();
    int status = tamo_test::exportInChild(GetParam(), root, injection::killAt(i + 1));
    tamo_test::Outcome expected = expectedAt(i);
    // A staging file is visible from the call that names it (its creation,
    // for the named fallback) until the rename.
    std::size_t const namedAt =
        std::min({indexOf(clean, "openExclusiveAt"), indexOf(clean, "linkEmptyPath"),
                  indexOf(clean, "linkUnnamed")});
    expected.mayLeaveHidden = namedAt < i && i <= renameAt;
    std::string const where = "killed before " + clean[i] + " (call " + std::to_string(i + 1) + ")";
    EXPECT_GT(0, status) << where << " did not die";
    EXPECT_EQ("", tamo_test::contractBroken(GetParam(), root, expected, status)) << where;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ExportFaults, testing::ValuesIn(tamo_test::exportScenarios()),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
