// The built tamo-install-config at its real paths, with private /etc and /dev:
// what it logs, what the library prints, what it writes, how it exits.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "sandbox.h"
#include "support/temp_dir.h"

namespace {

using tamo_sandbox::FileState;
using tamo_sandbox::SandboxRequest;
using tamo_sandbox::SandboxResult;

#define SYSTEM_PATH "/etc/Vardel/Tamo/tamo.settings.cfg"
#define INPUT_PATH "/etc/tamo/config/zlv-install.properties"

char const* const NO_PRE_EXISTING = "No pre-existing config file. Creating new one.";
char const* const AUTO_UPDATE = "There is no auto update support on this platform";
char const* const WEB_ANALYTICS = "There is no web analytics support on this platform";
char const* const INPUT_REFUSED_LINES =
    "INVALID_VALUE_ERROR: Error reading input config file " INPUT_PATH ".";
char const* const SYSTEM_REFUSED_LINES =
    "INVALID_VALUE_ERROR: Error reading pre-existing config file " SYSTEM_PATH ".";

std::string const ONE_MIB_OF_COMMENT(1 << 20, '#');

// A file before or after the run.
struct FileShape {
  enum Kind { ABSENT, REGULAR, DIRECTORY } kind;
  std::string contents;
  unsigned mode;
};

FileShape absent() {
  return {FileShape::ABSENT, "", 0};
}
FileShape file(std::string contents, unsigned mode = 0644) {
  return {FileShape::REGULAR, std::move(contents), mode};
}
FileShape directory() {
  return {FileShape::DIRECTORY, "", 0755};
}

void stage(char const* path, FileShape const& shape, SandboxRequest& request) {
  if (shape.kind == FileShape::REGULAR)
    request.files.push_back({path, shape.contents, shape.mode});
  // A file inside makes the path itself a directory.
  if (shape.kind == FileShape::DIRECTORY) {
    request.files.push_back({std::string(path) + "/inside", "", 0644});
  }
}

class InstallerRun {
 public:
  InstallerRun(FileShape const& system, FileShape const& input,
               std::vector<tamo_sandbox::StagedFile> const& otherFiles = {},
               std::vector<std::string> const& arguments = {}) {
    request.workDir = dir.path();
    request.command = {TAMO_INSTALL_CONFIG_PATH};
    request.command.insert(request.command.end(), arguments.begin(), arguments.end());
    request.inspect = {SYSTEM_PATH, "/etc/Vardel", "/etc/Vardel/Tamo"};
    request.files = otherFiles;
    stage(SYSTEM_PATH, system, request);
    stage(INPUT_PATH, input, request);
    result = tamo_sandbox::runInSandbox(request);
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (auto const& record : result.log)
      texts.push_back(record.message);
    return texts;
  }

  tamo_test::TempDir dir;
  SandboxRequest request;
  SandboxResult result;
};

#define SKIP_UNLESS_RAN(run)                   \
  do {                                         \
    if (!(run).result.ran)                     \
      GTEST_SKIP() << (run).result.skipReason; \
  } while (false)

void expectFile(FileState const& state, FileShape const& expected) {
  ASSERT_EQ(state.exists, expected.kind != FileShape::ABSENT);
  if (expected.kind == FileShape::ABSENT)
    return;
  EXPECT_EQ(state.isDirectory, expected.kind == FileShape::DIRECTORY);
  EXPECT_EQ(state.mode, expected.mode) << std::oct << state.mode;
  if (expected.kind == FileShape::REGULAR) {
    EXPECT_EQ(state.contents, expected.contents);
  }
}

struct RunCase {
  char const* name;
  FileShape system;
  FileShape input;
  std::vector<std::string> log;
  std::string standardError;
  FileShape systemAfter;
};

void PrintTo(RunCase const& row, std::ostream* out) {
  *out << row.name;
}

class Run : public testing::TestWithParam<RunCase> {};

TEST_P(Run, LogsWritesAndExitsAsExpected) {
  RunCase const& c = GetParam();
  InstallerRun run(c.system, c.input);
  SKIP_UNLESS_RAN(run);
  EXPECT_EQ(run.messages(), c.log);
  for (auto const& record : run.result.log) {
    EXPECT_EQ(record.priority, 11) << "user facility, error priority: " << record.message;
    EXPECT_EQ(record.ident, "tamo-install-config") << record.message;
  }
  EXPECT_EQ(run.result.standardError, c.standardError);
  EXPECT_EQ(run.result.standardOutput, "");
  EXPECT_EQ(run.result.exitStatus, 0);
  expectFile(run.result.files.at(SYSTEM_PATH), c.systemAfter);
}

std::vector<RunCase> const RUN_CASES = {
    {"CreatesTheSystemFileFromTheInput",
     absent(),
     file("AUTO_UPDATE=enable\n"),
     {NO_PRE_EXISTING, AUTO_UPDATE},
     "",
     file("AUTO_UPDATE=Enable\n")},
    {"FoldsTheLetterCaseOfKnownKeys",
     absent(),
     file("web_tamo=1\n"),
     {NO_PRE_EXISTING},
     "",
     file("WEB_TAMO=1\n")},
    {"StoresTheListedSecurityLevel",
     absent(),
     file("WEB_TAMO_SECURITY_LEVEL=vh\n"),
     {NO_PRE_EXISTING},
     "",
     file("WEB_TAMO_SECURITY_LEVEL=VH\n")},
    {"RefusesAnUnlistedSecurityLevelAndKeepsTheRest",
     absent(),
     file("AUTO_UPDATE=0\nWEB_TAMO_SECURITY_LEVEL=5\nWEB_TAMO=Disable\n"),
     {INPUT_REFUSED_LINES, NO_PRE_EXISTING, AUTO_UPDATE},
     "Error reading config file: \"Invalid value\" at line 2; char 1\n",
     file("AUTO_UPDATE=0\nWEB_TAMO=Disable\n")},
    {"RefusesAKeyWithoutValue",
     absent(),
     file("  WEB_TAMO\nAUTO_UPDATE=Disable\n"),
     {INPUT_REFUSED_LINES, NO_PRE_EXISTING, AUTO_UPDATE},
     "Error reading config file: \"Key without value\" at line 1; char 3\n",
     file("AUTO_UPDATE=Disable\n")},
    {"KeepsUnknownKeys", absent(), file("FOO=bar\n"), {NO_PRE_EXISTING}, "", file("FOO=bar\n")},
    {"ReadsCommentsBlanksAndEveryLineEnd",
     absent(),
     file("# choices\r\n  WEB_ANALYTICS : enable \r\n\r\nAUTO_UPDATE:1"),
     {NO_PRE_EXISTING, AUTO_UPDATE, WEB_ANALYTICS},
     "",
     file("AUTO_UPDATE=1\nWEB_ANALYTICS=Enable\n")},
    {"InputOverridesTheSystemFileWhichKeepsItsMode",
     file("AUTO_UPDATE=Disable\nWEB_TAMO=1\nZZZ=kept\n", 0640),
     file("auto_update=ENABLE\nWEB_ANALYTICS=0\n"),
     {AUTO_UPDATE, WEB_ANALYTICS},
     "",
     file("AUTO_UPDATE=Enable\nWEB_ANALYTICS=0\nWEB_TAMO=1\nZZZ=kept\n", 0640)},
    {"DropsARefusedLineOfTheSystemFile",
     file("AUTO_UPDATE=maybe\nWEB_TAMO=1\n"),
     file("FOO=bar\n"),
     {SYSTEM_REFUSED_LINES},
     "Error reading config file: \"Invalid value\" at line 1; char 1\n",
     file("FOO=bar\nWEB_TAMO=1\n")},
    {"RewritesTheSystemFileWhenThereIsNoInput",
     file("web_analytics=DISABLE\n", 0600),
     absent(),
     {"No input config file " INPUT_PATH ".", WEB_ANALYTICS},
     "",
     file("WEB_ANALYTICS=Disable\n", 0600)},
    {"WritesNothingWhenBothFilesAreMissing",
     absent(),
     absent(),
     {"No input config file " INPUT_PATH "."},
     "",
     absent()},
    {"WritesNothingForAnEmptyInput", absent(), file(""), {}, "", absent()},
    {"StopsAtAnOversizedInput",
     file("WEB_TAMO=1\n"),
     file(ONE_MIB_OF_COMMENT),
     {"Input config file " INPUT_PATH " is too big. Exiting..."},
     "",
     file("WEB_TAMO=1\n")},
    {"StopsAtAnOversizedSystemFile",
     file(ONE_MIB_OF_COMMENT),
     file("AUTO_UPDATE=1\n"),
     {"Install config file " SYSTEM_PATH " is too big. Exiting..."},
     "",
     file(ONE_MIB_OF_COMMENT)},
    {"NeitherReadsNorWritesASystemFileOfModeZero",
     file("WEB_TAMO=1\n", 0),
     file("AUTO_UPDATE=1\n"),
     {"No read permissions for install config file " SYSTEM_PATH,
      "No write permissions for install config file " SYSTEM_PATH ". Exiting..."},
     "",
     file("WEB_TAMO=1\n", 0)},
    {"ReadsButDoesNotWriteAReadOnlySystemFile",
     file("WEB_TAMO=1\n", 0444),
     file("AUTO_UPDATE=1\n"),
     {"No write permissions for install config file " SYSTEM_PATH ". Exiting..."},
     "",
     file("WEB_TAMO=1\n", 0444)},
    {"SkipsAnInputOfModeZero",
     absent(),
     file("AUTO_UPDATE=1\n", 0),
     {"No read permissions for input config file " INPUT_PATH},
     "",
     absent()},
    {"StopsAtAnInputThatIsNotUtf8",
     file("WEB_TAMO=0\n"),
     file("AUTO_UPDATE=1\nFOO=\x80\n"),
     {"Unable to read input config file " INPUT_PATH ". Exiting..."},
     "",
     file("WEB_TAMO=0\n")},
    {"KeepsASystemFileThatIsNotUtf8",
     file("WEB_TAMO=0\nCOMMENT=caf\xE9\n", 0640),
     file("AUTO_UPDATE=1\n"),
     {"Invalid pre-existing config file " SYSTEM_PATH ". Exiting..."},
     "",
     file("WEB_TAMO=0\nCOMMENT=caf\xE9\n", 0640)},
    {"StopsWhenTheSystemFileCannotBeRead",
     directory(),
     file("AUTO_UPDATE=1\n"),
     {"Invalid pre-existing config file " SYSTEM_PATH ". Exiting..."},
     "",
     directory()},
    {"StopsWhenTheInputCannotBeRead",
     absent(),
     directory(),
     {"Unable to read input config file " INPUT_PATH ". Exiting..."},
     "",
     absent()},
};

INSTANTIATE_TEST_SUITE_P(Installer, Run, testing::ValuesIn(RUN_CASES),
                         [](testing::TestParamInfo<RunCase> const& info) {
                           return info.param.name;
                         });

TEST(InstallerDirectories, MissingParentsAreCreatedPrivate) {
  InstallerRun run(absent(), file("AUTO_UPDATE=1\n"));
  SKIP_UNLESS_RAN(run);
  for (char const* parent : {"/etc/Vardel", "/etc/Vardel/Tamo"}) {
    FileState const& state = run.result.files.at(parent);
    EXPECT_TRUE(state.isDirectory) << parent;
    EXPECT_EQ(state.mode, 0700u) << parent;
  }
  EXPECT_FALSE(tamo_test::exists("/etc/Vardel")) << "the host's /etc was changed";
  EXPECT_FALSE(tamo_test::exists("/etc/tamo")) << "the host's /etc was changed";
}

TEST(InstallerFailures, StopsWhenTheSystemFileCannotBeCreated) {
  InstallerRun run(absent(), file("AUTO_UPDATE=1\n"), {{"/etc/Vardel/Tamo", "in the way", 0644}});
  SKIP_UNLESS_RAN(run);
  EXPECT_EQ(run.messages(), std::vector<std::string>{"Invalid pre-existing config file " SYSTEM_PATH
                                                     ". Exiting..."});
  EXPECT_EQ(run.result.files.at("/etc/Vardel/Tamo").contents, "in the way");
  EXPECT_EQ(run.result.exitStatus, 0);
}

TEST(InstallerArguments, AreIgnored) {
  InstallerRun run(absent(), file("web_tamo=0\n"), {}, {"--help", "-v", "/etc/passwd"});
  SKIP_UNLESS_RAN(run);
  EXPECT_EQ(run.messages(), std::vector<std::string>{NO_PRE_EXISTING});
  EXPECT_EQ(run.result.files.at(SYSTEM_PATH).contents, "WEB_TAMO=0\n");
  EXPECT_EQ(run.result.standardError, "");
  EXPECT_EQ(run.result.exitStatus, 0);
}

}  // namespace
