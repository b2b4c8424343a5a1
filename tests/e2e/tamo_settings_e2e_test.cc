// tamo-settings run as a program on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/private_mounts.h"
#include "support/temp_dir.h"

namespace {

using tamo_test::readFile;
using tamo_test::writeFile;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

constexpr uid_t kNobody = 65534;

struct ToolCall {
  bool asNobody = false;   // the tests run as root, for whom permission bits stop nothing
  std::string input;       // standard input
  std::string outputPath;  // standard output, when not captured
};

// The tool and its library copied where every user can reach them: the
// build tree may sit in a folder only root can enter.
std::string const& reachableTool() {
  static tamo_test::TempDir const copies;
  static std::string const path = [] {
    std::string const tool = copies.file("tamo-settings");
    tamo_test::writeFile(tool, readFile(TAMO_SETTINGS_PATH));
    tamo_test::writeFile(copies.file(TAMO_SETTINGS_LIBRARY_SONAME),
                         readFile(TAMO_SETTINGS_LIBRARY_PATH));
    EXPECT_EQ(chmod(tool.c_str(), 0755), 0);
    EXPECT_EQ(chmod(copies.path().c_str(), 0755), 0);
    return tool;
  }();
  return path;
}

// Runs the tool in dir.
ToolRun tool(tamo_test::TempDir const& dir, std::vector<std::string> arguments,
             ToolCall const& call = {}) {
  std::string const program = call.asNobody ? reachableTool() : TAMO_SETTINGS_PATH;
  arguments.insert(arguments.begin(), program);
  // A 32-bit build tested under an emulator runs the tool under it too.
  std::string const emulator = TAMO_PROGRAM_EMULATOR;
  if (!emulator.empty())
    arguments.insert(arguments.begin(), emulator);
  std::string const out = dir.path() + "/../" + "tool.out." + std::to_string(getpid());
  std::string const err = out + ".err";
  std::string const in = out + ".in";
  writeFile(in, call.input);
  pid_t const child = fork();
  if (child == 0) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
      argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    std::string const outPath = call.outputPath.empty() ? out : call.outputPath;
    int const inFd = open(in.c_str(), O_RDONLY);
    int const outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int const errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (call.asNobody)
      setenv("LD_LIBRARY_PATH", program.substr(0, program.rfind('/')).c_str(), 1);
    if (inFd < 0 || outFd < 0 || errFd < 0 || dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 ||
        dup2(errFd, 2) < 0 || chdir(dir.path().c_str()) != 0 ||
        (call.asNobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)))
      _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ToolRun run;
  int status = 0;
  waitpid(child, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = call.outputPath.empty() ? readFile(out) : "";
  run.err = readFile(err);
  unlink(out.c_str());
  unlink(err.c_str());
  unlink(in.c_str());
  return run;
}

struct stat statOf(std::string const& path) {
  struct stat result {};
  EXPECT_EQ(lstat(path.c_str(), &result), 0) << path;
  return result;
}

char const kCommented[] = "# Settings\r\nauto_update = 1 \r\n\r\n  FOO: bar\r\nlast=x";

TEST(ToolCheck, ReportsEveryRefusedLineWithItsPositionAndACount) {
  tamo_test::TempDir dir;
  writeFile(dir.file("a.cfg"), "ok=1\nno separator\n  = empty key\nWEB_TAMO=yes\n");
  ToolRun const plain = tool(dir, {"check", "a.cfg"});
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.out,
            "a.cfg:2:1: error: key without value: no \"=\" or \":\" on the line\n"
            "a.cfg:3:3: error: empty key before the separator\n"
            "2 refused lines\n");
  ToolRun const installer = tool(dir, {"check", "--installer", "a.cfg", "missing.cfg"});
  EXPECT_EQ(installer.status, 66);
  EXPECT_NE(installer.out.find("a.cfg:4:1: error: invalid value \"yes\" for \"WEB_TAMO\" "
                               "(accepted: 1, 0, Enable, Disable, words in any letter case)\n"),
            std::string::npos)
      << installer.out;
  EXPECT_NE(installer.out.find("missing.cfg: error: cannot read"), std::string::npos);
  EXPECT_NE(installer.out.find("3 refused lines; 1 file could not be read\n"), std::string::npos);
  writeFile(dir.file("clean.cfg"), "# only\nk=v\n");
  EXPECT_EQ(tool(dir, {"check", "clean.cfg"}).status, 0);
}

struct QueryCase {
  char const* name;
  std::vector<std::string> arguments;
  int status;
  char const* out;
};

class ToolQuery : public testing::TestWithParam<QueryCase> {};

TEST_P(ToolQuery, AnswersByTheLibrarysRules) {
  tamo_test::TempDir dir;
  writeFile(dir.file("a.cfg"), kCommented);
  ToolRun const run = tool(dir, GetParam().arguments);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_EQ(run.out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ToolQuery,
    testing::Values(QueryCase{"Text", {"get", "a.cfg", "FOO"}, 0, "bar\n"},
                    QueryCase{"Absent", {"get", "a.cfg", "nope"}, 1, ""},
                    QueryCase{"Default", {"get", "a.cfg", "nope", "--default=d"}, 0, "d\n"},
                    QueryCase{"InstallerKeyInAnyCase",
                              {"get", "--installer", "a.cfg", "Auto_Update", "--type=int"},
                              0,
                              "1\n"},
                    QueryCase{"NotOfTheType", {"get", "a.cfg", "FOO", "--type=int"}, 65, ""},
                    QueryCase{"MissingFile", {"get", "none.cfg", "FOO"}, 66, ""},
                    QueryCase{"Lines", {"list", "a.cfg"}, 0, "FOO=bar\nauto_update=1\nlast=x\n"},
                    QueryCase{"Json",
                              {"list", "--installer", "a.cfg", "--format=json"},
                              0,
                              "{\"AUTO_UPDATE\":\"1\",\"FOO\":\"bar\",\"last\":\"x\"}\n"},
                    QueryCase{"UnknownOption", {"list", "a.cfg", "--colour"}, 64, ""}),
    [](testing::TestParamInfo<QueryCase> const& info) { return info.param.name; });

// Odd bytes, strict types and the output forms, each on a file of its own.
struct ReadCase {
  char const* name;
  std::string text;
  std::vector<std::string> arguments;
  int status;
  std::string out;
};

class ToolReads : public testing::TestWithParam<ReadCase> {};

TEST_P(ToolReads, ExactlyWhatTheFileHolds) {
  tamo_test::TempDir dir;
  writeFile(dir.file("f.cfg"), GetParam().text);
  ToolCall call;
  call.input = GetParam().text;
  ToolRun const run = tool(dir, GetParam().arguments, call);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_EQ(run.out, GetParam().out);
}

std::string const kNul("a=1\nb=x\0y\nc=3\n", 14);
std::string const kBom =
    "\xEF\xBB\xBF"
    "a=1\n";
std::string const kTyped =
    "i=12abc\nf=1.5\no=010\nm=1000000\nx=0x10\nt=2\nn=-1\nk=0.001\ne=1e21\ny=YES\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, ToolReads,
    testing::Values(
        ReadCase{"NulEndsOnlyItsValue", kNul, {"list", "f.cfg"}, 0, "a=1\nb=x\nc=3\n"},
        ReadCase{"NulLineIsRefusedByCheck",
                 kNul,
                 {"check", "f.cfg"},
                 1,
                 "f.cfg:2:4: error: NUL byte: every reader ends the line's key, value or "
                 "comment there\n1 refused line\n"},
        ReadCase{"ByteOrderMarkIsNoKey", kBom, {"get", "f.cfg", "a"}, 0, "1\n"},
        ReadCase{"IntWhole", kTyped, {"get", "f.cfg", "i", "--type=int"}, 65, ""},
        ReadCase{"IntNotDouble", kTyped, {"get", "f.cfg", "f", "--type", "int"}, 65, ""},
        ReadCase{
            "IntOctalAsTheLibraryReadsIt", kTyped, {"get", "f.cfg", "o", "--type=int"}, 0, "8\n"},
        ReadCase{"DoublePlain", kTyped, {"get", "f.cfg", "m", "--type=double"}, 0, "1000000\n"},
        ReadCase{"DoubleSmall", kTyped, {"get", "f.cfg", "k", "--type=double"}, 0, "0.001\n"},
        ReadCase{"DoubleLarge", kTyped, {"get", "f.cfg", "e", "--type=double"}, 0, "1e+21\n"},
        ReadCase{"DoubleNotHex", kTyped, {"get", "f.cfg", "x", "--type=double"}, 65, ""},
        ReadCase{"BoolNotTwo", kTyped, {"get", "f.cfg", "t", "--type=bool"}, 65, ""},
        ReadCase{"BoolNotMinusOne", kTyped, {"get", "f.cfg", "n", "--type=bool"}, 65, ""},
        ReadCase{"BoolCanonical", kTyped, {"get", "f.cfg", "y", "--type=bool"}, 0, "true\n"},
        ReadCase{"DefaultTyped",
                 kTyped,
                 {"get", "f.cfg", "zz", "--type=bool", "--default=yes"},
                 0,
                 "true\n"},
        ReadCase{"DefaultChecked",
                 kTyped,
                 {"get", "f.cfg", "zz", "--type=int", "--default=abc"},
                 65,
                 ""},
        ReadCase{"OverlongIsNoJson", "a=\xC0\xAF\n", {"list", "--format=json", "f.cfg"}, 65, ""},
        ReadCase{
            "SurrogateIsNoJson", "a=\xED\xA0\x80\n", {"list", "--format=json", "f.cfg"}, 65, ""},
        ReadCase{
            "CutSequenceIsNoJson", "a=\xE2\x82z\n", {"list", "--format=json", "f.cfg"}, 65, ""},
        ReadCase{
            "FailureAsJson",
            "a=\xC0\xAF\n",
            {"get", "--json", "f.cfg", "a"},
            65,
            "{\"exit_code\":65,\"error\":\"f.cfg: line 1: the entry for \\\"a\\\" is not valid "
            "UTF-8, cannot be given as JSON\",\"file\":\"f.cfg\"}\n"},
        ReadCase{"ShellQuoted",
                 "v=$(id)\nq=it's\n",
                 {"list", "--format=sh", "f.cfg"},
                 0,
                 "q='it'\\''s'\nv='$(id)'\n"},
        ReadCase{"ShellNameRefused", "1x=2\n", {"list", "--format=sh", "f.cfg"}, 65, ""},
        ReadCase{"ShellNameByPrefix",
                 "1x=2\n",
                 {"list", "--format", "sh", "--prefix=c_", "f.cfg"},
                 0,
                 "c_1x='2'\n"},
        ReadCase{
            "NulSeparated", "a=1\nb=2\n", {"list", "-z", "f.cfg"}, 0, std::string("a=1\0b=2\0", 8)},
        ReadCase{"GetNulEnded", "a=1\n", {"get", "--null", "f.cfg", "a"}, 0, std::string("1\0", 2)},
        ReadCase{"DashIsStandardInput", "a=1\n", {"get", "-", "a"}, 0, "1\n"},
        ReadCase{
            "MergeOfStandardInputPrinted", "b=2\n", {"merge", "f.cfg", "-", "-o", "-"}, 0, "b=2\n"},
        ReadCase{"CheckNamesNoCountAfterAnUnreadableFile",
                 "",
                 {"check", "missing.cfg"},
                 66,
                 "missing.cfg: error: cannot read: No such file or directory\n"
                 "1 file could not be read\n"},
        ReadCase{"CheckAsJson",
                 "=1\n",
                 {"check", "--json", "f.cfg", "missing.cfg"},
                 66,
                 "{\"files\":[{\"file\":\"f.cfg\",\"error\":null,\"refused\":[{\"line\":1,"
                 "\"column\":1,\"message\":\"empty key before the separator\"}]},{\"file\":"
                 "\"missing.cfg\",\"error\":\"cannot read: No such file or directory\","
                 "\"refused\":[]}],\"refused\":1}\n"},
        ReadCase{"ControlBytesEscaped",
                 "WEB_TAMO=\x1B[31m\n",
                 {"check", "--installer", "f.cfg"},
                 1,
                 "f.cfg:1:1: error: invalid value \"\\x1B[31m\" for \"WEB_TAMO\" (accepted: 1, 0, "
                 "Enable, Disable, words in any letter case)\n1 refused line\n"}),
    [](testing::TestParamInfo<ReadCase> const& info) { return info.param.name; });

TEST(ToolSet, TouchesOnlyTheChangedLinesThroughALinkAndKeepsOwnerAndMode) {
  tamo_test::TempDir dir;
  writeFile(dir.file("real.cfg"), kCommented);
  ASSERT_EQ(chmod(dir.file("real.cfg").c_str(), 0640), 0);
  bool const root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(dir.file("real.cfg").c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(symlink("real.cfg", dir.file("link.cfg").c_str()), 0);

  ToolRun const run = tool(
      dir, {"set", "--installer", "--diff", "link.cfg", "auto_update=enable", "WEB_TAMO=disable"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(
      readFile(dir.file("real.cfg")),
      "# Settings\r\nauto_update = Enable \r\n\r\n  FOO: bar\r\nlast=x\r\nWEB_TAMO=Disable\r\n");
  EXPECT_EQ(run.out,
            "updated AUTO_UPDATE\nadded WEB_TAMO\n--- link.cfg\n+++ link.cfg\n"
            "@@ -1,5 +1,6 @@\n # Settings\r\n-auto_update = 1 \r\n+auto_update = Enable \r\n"
            " \r\n   FOO: bar\r\n-last=x\n\\ No newline at end of file\n+last=x\r\n"
            "+WEB_TAMO=Disable\r\n");
  EXPECT_TRUE(S_ISLNK(statOf(dir.file("link.cfg")).st_mode));
  struct stat const after = statOf(dir.file("real.cfg"));
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(after.st_uid, kNobody);
  }
}

TEST(ToolSet, WritesNothingWhenNothingChanges) {
  tamo_test::TempDir dir;
  writeFile(dir.file("a.cfg"), kCommented);
  struct timespec const past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file("a.cfg").c_str(), past, 0), 0);
  struct stat const before = statOf(dir.file("a.cfg"));
  ToolRun const run = tool(dir, {"set", "--installer", "--json", "--detailed-exitcodes", "a.cfg",
                                 "AUTO_UPDATE=1", "FOO=bar"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "{\"changed\":false,\"keys\":[{\"key\":\"AUTO_UPDATE\",\"action\":\"unchanged\","
            "\"before\":\"1\",\"after\":\"1\"},{\"key\":\"FOO\",\"action\":\"unchanged\","
            "\"before\":\"bar\",\"after\":\"bar\"}],\"diff\":\"\",\"written\":false,"
            "\"check\":false}\n");
  struct stat const after = statOf(dir.file("a.cfg"));
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}

struct RefusalCase {
  char const* name;
  std::vector<std::string> arguments;
  int status;
  char const* reason;
};

class ToolRefuses : public testing::TestWithParam<RefusalCase> {};

TEST_P(ToolRefuses, AndLeavesTheFileAlone) {
  tamo_test::TempDir dir;
  writeFile(dir.file("a.cfg"), kCommented);
  writeFile(dir.file("bad.cfg"), "k=1\nno separator\n");
  ToolRun const run = tool(dir, GetParam().arguments);
  EXPECT_EQ(run.status, GetParam().status);
  EXPECT_NE(run.err.find(GetParam().reason), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find_first_of("\x1B\x9B"), std::string::npos) << "a raw control: " << run.err;
  EXPECT_EQ(readFile(dir.file("a.cfg")), kCommented);
  EXPECT_EQ(readFile(dir.file("bad.cfg")), "k=1\nno separator\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ToolRefuses,
    testing::Values(
        RefusalCase{"LineEnd", {"set", "a.cfg", "FOO=a\nb"}, 65, "a line end in the value"},
        RefusalCase{"Blanks", {"set", "a.cfg", "FOO= a"}, 65, "blanks at the ends of the value"},
        RefusalCase{"Separator", {"set", "a.cfg", "a:b=1"}, 65, "\"=\" or \":\" in the key"},
        RefusalCase{"Comment", {"set", "a.cfg", "#k=1"}, 65, "begins with \"#\""},
        RefusalCase{"InstallerValue",
                    {"set", "--installer", "a.cfg", "WEB_TAMO=yes"},
                    65,
                    "the value is refused"},
        RefusalCase{"FileWithRefusedLines",
                    {"unset", "bad.cfg", "k"},
                    65,
                    "bad.cfg:2:1: error: key without value"},
        RefusalCase{"NotKeyValue", {"set", "a.cfg", "FOO"}, 64, "is not KEY=VALUE"},
        RefusalCase{"ControlsInAName",
                    {"set", "a\x1B[2J\xC2\x9B\\b.cfg", "k=v"},
                    65,
                    "a\\x1B[2J\\u009B\\\\b.cfg: a backslash is not a separator"},
        RefusalCase{"ControlsInAWait",
                    {"set", "--wait=1\x1B\n", "a.cfg", "k=v"},
                    64,
                    "--wait=1\\x1B\\x0A: not a number"}),
    [](testing::TestParamInfo<RefusalCase> const& info) { return info.param.name; });

TEST(ToolUnset, RemovesEveryLineOfTheKeyAndChecksWithoutWriting) {
  tamo_test::TempDir dir;
  std::string const text = "a=1\n# keep\nb=2\nA=3\na=4\n";
  writeFile(dir.file("a.cfg"), text);
  ToolRun const check = tool(dir, {"unset", "--check", "--detailed-exitcodes", "a.cfg", "a", "zz"});
  EXPECT_EQ(check.status, 2);
  EXPECT_EQ(check.out, "removed a\nunchanged zz\nnothing written (--check)\n");
  EXPECT_EQ(readFile(dir.file("a.cfg")), text);
  EXPECT_EQ(tool(dir, {"unset", "a.cfg", "a"}).status, 0);
  EXPECT_EQ(readFile(dir.file("a.cfg")), "# keep\nb=2\nA=3\n");
  EXPECT_EQ(tool(dir, {"unset", "missing.cfg", "a"}).status, 0);
  EXPECT_FALSE(tamo_test::exists(dir.file("missing.cfg")));
}

TEST(ToolMerge, LaterFilesWinPrintedOrWritten) {
  tamo_test::TempDir dir;
  writeFile(dir.file("system.cfg"), "AUTO_UPDATE=1\nFOO=old\n");
  writeFile(dir.file("input.cfg"), "auto_update=disable\nNEW=1\n");
  ToolRun const printed = tool(dir, {"merge", "--installer", "system.cfg", "input.cfg"});
  EXPECT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.out, "AUTO_UPDATE=Disable\nFOO=old\nNEW=1\n");
  ToolRun const written =
      tool(dir, {"merge", "--installer", "--json", "system.cfg", "input.cfg", "-o", "system.cfg"});
  EXPECT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(readFile(dir.file("system.cfg")), printed.out);
  EXPECT_NE(written.out.find("{\"key\":\"NEW\",\"action\":\"added\",\"before\":null"),
            std::string::npos)
      << written.out;
}

TEST(ToolEdits, KeepTheByteOrderMarkAndRefuseAFileWithANul) {
  tamo_test::TempDir dir;
  writeFile(dir.file("bom.cfg"), kBom);
  EXPECT_EQ(tool(dir, {"set", "bom.cfg", "a=2", "b=3"}).status, 0);
  EXPECT_EQ(readFile(dir.file("bom.cfg")),
            "\xEF\xBB\xBF"
            "a=2\nb=3\n");
  EXPECT_EQ(tool(dir, {"unset", "bom.cfg", "a"}).status, 0);
  EXPECT_EQ(readFile(dir.file("bom.cfg")),
            "\xEF\xBB\xBF"
            "b=3\n");
  writeFile(dir.file("nul.cfg"), kNul);
  ToolRun const run = tool(dir, {"set", "nul.cfg", "c=4"});
  EXPECT_EQ(run.status, 65);
  EXPECT_NE(run.err.find("nul.cfg:2:4: error: NUL byte"), std::string::npos) << run.err;
  EXPECT_EQ(readFile(dir.file("nul.cfg")), kNul);
}

TEST(ToolMerge, OntoAnExistingFileEditsItAsSetDoes) {
  tamo_test::TempDir dir;
  writeFile(dir.file("x.cfg"), "# keep me\nb=1\na=2\n");
  writeFile(dir.file("in.cfg"), "a = 3\nc=4\n");
  ToolRun const same = tool(dir, {"merge", "--detailed-exitcodes", "x.cfg", "-o", "x.cfg"});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(same.out, "unchanged a\nunchanged b\n");
  ToolRun const check = tool(dir, {"merge", "--check", "--json", "in.cfg", "--output", "x.cfg"});
  EXPECT_NE(check.out.find("\"written\":false,\"check\":true}"), std::string::npos) << check.out;
  ToolRun const run = tool(dir, {"merge", "--json", "in.cfg", "-o", "x.cfg"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(dir.file("x.cfg")), "# keep me\nb=1\na=3\nc=4\n");
  EXPECT_NE(run.out.find("{\"key\":\"a\",\"action\":\"updated\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"written\":true,\"check\":false}"), std::string::npos);
}

TEST(ToolOutput, AFullStandardOutputIsAFailureThatSaysWhatHappened) {
  tamo_test::TempDir dir;
  writeFile(dir.file("a.cfg"), "a=1\n");
  ToolCall full;
  full.outputPath = "/dev/full";
  EXPECT_EQ(tool(dir, {"--help"}, full).status, 74);
  EXPECT_EQ(tool(dir, {"--version"}, full).status, 74);
  ToolRun const run = tool(dir, {"set", "a.cfg", "a=7"}, full);
  EXPECT_EQ(run.status, 74);
  EXPECT_NE(run.err.find("a.cfg: changed, but the report could not be printed"), std::string::npos)
      << run.err;
  EXPECT_EQ(readFile(dir.file("a.cfg")), "a=7\n");
}

TEST(ToolRead, PermissionDeniedIs77WithItsCause) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run the tool as another user";
  tamo_test::TempDir dir;
  writeFile(dir.file("secret.cfg"), "a=1\n");
  ASSERT_EQ(chmod(dir.file("secret.cfg").c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ToolCall asNobody;
  asNobody.asNobody = true;
  ToolRun const run = tool(dir, {"get", "--json", "secret.cfg", "a"}, asNobody);
  EXPECT_EQ(run.status, 77);
  EXPECT_EQ(run.err, "tamo-settings: secret.cfg: cannot read: Permission denied\n");
  EXPECT_EQ(run.out,
            "{\"exit_code\":77,\"error\":\"secret.cfg: cannot read: Permission denied\","
            "\"file\":\"secret.cfg\"}\n");
}

TEST(ToolWrite, PermissionDeniedLeavesTheDirectoryAsItWas) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run the tool as another user";
  tamo_test::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  ToolCall asNobody;
  asNobody.asNobody = true;
  ToolRun const run = tool(dir, {"set", "new.cfg", "k=v"}, asNobody);
  EXPECT_EQ(run.status, 77) << run.err;
  EXPECT_FALSE(tamo_test::exists(dir.file("new.cfg")));
  ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
}

// Fills the file system that holds path to its last byte.
void fill(std::string const& path) {
  int const fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  std::string const block(4096, 'x');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  while (write(fd, "x", 1) > 0) {
  }
  close(fd);
}

TEST(ToolWrite, AFullFileSystemLeavesTheFileUntouched) {
  tamo_test::TempDir dir;
  int const result = tamo_test::runInPrivateMounts([&] {
    if (!tamo_test::mountTmpfs(dir.path(), 256 * 1024))
      return -1;
    writeFile(dir.file("a.cfg"), kCommented);
    fill(dir.file("filler"));
    ToolRun const run = tool(dir, {"set", "a.cfg", "FOO=a much longer value than before"});
    if (run.err.find("no space; the file is unchanged") == std::string::npos)
      return -3;
    return readFile(dir.file("a.cfg")) == kCommented ? run.status : -2;
  });
  if (result == tamo_test::kNoPrivateMounts)
    GTEST_SKIP() << "needs root for a private mount namespace";
  EXPECT_EQ(result, 74);
}

TEST(ToolUsage, HelpVersionAndWrongCalls) {
  tamo_test::TempDir dir;
  EXPECT_EQ(tool(dir, {"--help"}).status, 0);
  EXPECT_EQ(tool(dir, {"get", "a.cfg", "-h"}).status, 0);
  EXPECT_EQ(tool(dir, {"set", "--help", "a.cfg"}).status, 0);
  EXPECT_EQ(tool(dir, {"--version"}).out.rfind("tamo-settings ", 0), 0u);
  EXPECT_EQ(tool(dir, {}).status, 64);
  EXPECT_EQ(tool(dir, {"frobnicate"}).status, 64);
  EXPECT_EQ(tool(dir, {"merge", "a", "--diff"}).status, 64);
}

}  // namespace

// A layout under the test's folder: a vendor main file and drop-in, and
// the administrator's hierarchy, each command as one row; "$R" stands for
// the root.
struct LayoutCase {
  char const* name;
  std::vector<std::string> arguments;  // after the command, before the layout's options
  int status;
  char const* out;
  char const* err = "";  // a part of standard error
};

class ToolLayouts : public testing::TestWithParam<LayoutCase> {};

std::string withRoot(std::string text, std::string const& root) {
  for (std::size_t at; (at = text.find("$R")) != std::string::npos;)
    text.replace(at, 2, root);
  return text;
}

TEST_P(ToolLayouts, ShowOriginsAndSayWhenAChangeIsShadowed) {
  tamo_test::TempDir dir;
  std::string const vendor = dir.file("usr/lib/app"), admin = dir.file("etc/app");
  for (std::string const& folder : {vendor + "/app.conf.d", admin + "/app.conf.d"})
    std::filesystem::create_directories(folder);
  writeFile(vendor + "/app.conf", "a=1\nb=2\nn=5\n");
  writeFile(vendor + "/app.conf.d/50-vendor.conf", "b=9\n");
  writeFile(admin + "/app.conf.d/10-admin.conf", "b=admin\nc=3\n");
  writeFile(admin + "/app.conf.d/20-bad.conf", "no separator\n");
  std::vector<std::string> arguments = GetParam().arguments;
  for (char const* option : {"--layout=app.conf", "--project=app"})
    arguments.push_back(option);
  arguments.push_back("--root=" + dir.path());
  ToolRun const run = tool(dir, arguments);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_EQ(run.out, withRoot(GetParam().out, dir.path()));
  EXPECT_NE(run.err.find(withRoot(GetParam().err, dir.path())), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ToolLayouts,
    testing::Values(
        LayoutCase{"ListsEffectiveValuesWithOrigins",
                   {"list"},
                   0,
                   "$R/usr/lib/app/app.conf:1\ta=1\n"
                   "$R/usr/lib/app/app.conf.d/50-vendor.conf:1\tb=9\n"
                   "$R/etc/app/app.conf.d/10-admin.conf:2\tc=3\n"
                   "$R/usr/lib/app/app.conf:3\tn=5\n",
                   "$R/etc/app/app.conf.d/20-bad.conf:1:1: error:"},
        LayoutCase{"GetAllShowsTheChainLowestFirst",
                   {"get", "b", "--all"},
                   0,
                   "$R/usr/lib/app/app.conf:2\t2\toverridden by "
                   "$R/etc/app/app.conf.d/10-admin.conf\n"
                   "$R/etc/app/app.conf.d/10-admin.conf:1\tadmin\toverridden by "
                   "$R/usr/lib/app/app.conf.d/50-vendor.conf\n"
                   "$R/usr/lib/app/app.conf.d/50-vendor.conf:1\t9\teffective\n"},
        LayoutCase{
            "GetAsJson",
            {"get", "--json", "c"},
            0,
            "{\"value\":\"3\",\"file\":\"$R/etc/app/app.conf.d/10-admin.conf\",\"line\":2}\n"},
        LayoutCase{"CheckWarnsWhereTheAdministratorIsBeaten",
                   {"check"},
                   1,
                   "$R/etc/app/app.conf.d/20-bad.conf:1:1: error: \"Key without value\" at line 1; "
                   "char 1\n"
                   "$R/etc/app/app.conf.d/10-admin.conf:1: warning: b: the administrator's value "
                   "is beaten by $R/usr/lib/app/app.conf.d/50-vendor.conf, which comes later\n"
                   "1 refused line\n"},
        LayoutCase{"FilesTellEveryFate",
                   {"files"},
                   0,
                   "$R/usr/lib/app/app.conf\tapplied\n"
                   "$R/etc/app/app.conf.d/10-admin.conf\tapplied\n"
                   "$R/etc/app/app.conf.d/20-bad.conf\tapplied\n"
                   "$R/usr/lib/app/app.conf.d/50-vendor.conf\tapplied\n"},
        LayoutCase{"SetThatTakesEffect", {"set", "n=6"}, 0, "added n\n"},
        LayoutCase{"SetShadowedByALaterVendorDropIn",
                   {"set", "--drop-in=10-admin.conf", "b=new"},
                   3,
                   "updated b\n",
                   "b: still set by $R/usr/lib/app/app.conf.d/50-vendor.conf:1, which comes "
                   "later; the change is not in effect"},
        LayoutCase{"MaskAVendorDropIn", {"mask", "50-vendor.conf"}, 0, "50-vendor.conf: masked\n"},
        LayoutCase{"ShellFormatIsForFilesOnly",
                   {"list", "--format=sh"},
                   64,
                   "",
                   "a layout is listed as lines or json"},
        LayoutCase{"UnmaskWhatIsNoMask",
                   {"unmask", "10-admin.conf"},
                   65,
                   "",
                   "holds settings, not a mask"}),
    [](testing::TestParamInfo<LayoutCase> const& info) { return info.param.name; });

TEST(ToolLayouts, AFileOthersCouldHaveWrittenIsRefusedAndNamed) {
  tamo_test::TempDir dir;
  std::string const folder = dir.file("etc/app/app.conf.d");
  std::filesystem::create_directories(folder);
  writeFile(folder + "/10.conf", "k=planted\n");
  ASSERT_EQ(::chmod((folder + "/10.conf").c_str(), 0666), 0);
  ToolRun const run =
      tool(dir, {"list", "--layout=app.conf", "--project=app", "--root=" + dir.path()});
  EXPECT_EQ(run.status, 77);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(folder + "/10.conf: refused: group or others may write it"),
            std::string::npos)
      << run.err;
}
