// The sandbox itself, driven with a stand-in program.
#include "sandbox.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using tamo_sandbox::LogRecord;
using tamo_sandbox::parseLogDatagram;
using tamo_sandbox::runInSandbox;
using tamo_sandbox::SandboxRequest;
using tamo_sandbox::SandboxResult;

// Paths that do not exist on the host and must still not exist afterwards.
char const* const PRIVATE_DIR = "/etc/tamo-sandbox-test";

SandboxResult runProbe(tamo_test::TempDir const& dir, std::vector<std::string> arguments,
                       SandboxRequest request = {}) {
  request.workDir = dir.path();
  request.command = {SANDBOX_PROBE_PATH};
  request.command.insert(request.command.end(), arguments.begin(), arguments.end());
  return runInSandbox(request);
}

#define SKIP_UNLESS_RAN(result)            \
  do {                                     \
    if (!(result).ran)                     \
      GTEST_SKIP() << (result).skipReason; \
  } while (false)

TEST(Sandbox, EveryLogMessageArrivesInOrderWhileTheProgramRuns) {
  tamo_test::TempDir dir;
  // Far more than the socket queues before the sender would block.
  SandboxResult const result = runProbe(dir, {"200", "3"});
  SKIP_UNLESS_RAN(result);
  ASSERT_EQ(result.log.size(), 200u);
  for (size_t i = 0; i < result.log.size(); ++i) {
    EXPECT_EQ(result.log[i].message, "message " + std::to_string(i + 1));
    EXPECT_EQ(result.log[i].priority, 11);  // user facility, error
    EXPECT_EQ(result.log[i].ident, "sandbox_probe");
  }
  EXPECT_EQ(result.standardOutput, "to standard output\n");
  EXPECT_EQ(result.standardError, "to standard error\n");
  EXPECT_EQ(result.exitStatus, 3);
}

TEST(Sandbox, StagedFilesAreSeenAndWritesStayPrivate) {
  tamo_test::TempDir dir;
  bool const hostHadLogSocket = tamo_test::exists("/dev/log");
  std::string const source = std::string(PRIVATE_DIR) + "/in/source.cfg";
  std::string const target = std::string(PRIVATE_DIR) + "/out.cfg";
  SandboxRequest request;
  request.files = {{source, std::string("a=1\n\0b", 6), 0640}};
  request.inspect = {source, target, PRIVATE_DIR, "/etc/tamo-sandbox-test/missing"};
  SandboxResult const result = runProbe(dir, {"0", "0", source, target}, request);
  SKIP_UNLESS_RAN(result);
  EXPECT_EQ(result.files.at(source).mode, 0640u);
  EXPECT_EQ(result.files.at(target).contents, std::string("a=1\n\0b", 6));
  EXPECT_TRUE(result.files.at(PRIVATE_DIR).isDirectory);
  EXPECT_EQ(result.files.at(PRIVATE_DIR).mode, 0755u);
  EXPECT_FALSE(result.files.at("/etc/tamo-sandbox-test/missing").exists);
  EXPECT_FALSE(tamo_test::exists(PRIVATE_DIR)) << "the host's /etc was changed";
  EXPECT_EQ(tamo_test::exists("/dev/log"), hostHadLogSocket) << "the host's /dev was changed";
}

TEST(Sandbox, RefusesToStageOutsideEtc) {
  tamo_test::TempDir dir;
  SandboxRequest request;
  request.files = {{"/etc/../" + dir.file("elsewhere"), "x", 0644}};
  try {
    SandboxResult const result = runProbe(dir, {"0", "0"}, request);
    SKIP_UNLESS_RAN(result);
    ADD_FAILURE() << "staged outside /etc";
  } catch (std::runtime_error const& error) {
    EXPECT_NE(std::string(error.what()).find("only files under /etc"), std::string::npos);
  }
  EXPECT_FALSE(tamo_test::exists(dir.file("elsewhere")));
}

struct DatagramCase {
  char const* name;
  char const* datagram;
  int priority;
  char const* ident;
  char const* message;
};

void PrintTo(DatagramCase const& row, std::ostream* out) {
  *out << row.name;
}

class Datagram : public testing::TestWithParam<DatagramCase> {};

TEST_P(Datagram, HeaderIsTakenApart) {
  LogRecord const record = parseLogDatagram(GetParam().datagram);
  EXPECT_EQ(record.priority, GetParam().priority);
  EXPECT_EQ(record.ident, GetParam().ident);
  EXPECT_EQ(record.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Datagram,
    testing::Values(DatagramCase{"Plain", "<11>Dec  7 22:51:00 tool: No input: x", 11, "tool",
                                 "No input: x"},
                    DatagramCase{"WithPid", "<11>Jan 17 01:02:03 tool[42]: m", 11, "tool[42]", "m"},
                    DatagramCase{"EmptyMessage", "<3>Jan 17 01:02:03 tool: ", 3, "tool", ""},
                    DatagramCase{"NoHeader", "just text", -1, "", "just text"},
                    DatagramCase{"BadPriority", "<x>Jan 17 01:02:03 tool: m", -1, "",
                                 "<x>Jan 17 01:02:03 tool: m"},
                    DatagramCase{"CutShort", "<11>Jan 17", -1, "", "<11>Jan 17"}),
    [](testing::TestParamInfo<DatagramCase> const& info) { return info.param.name; });

}  // namespace
