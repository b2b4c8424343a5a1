// Imports into a context from texts, files and other contexts, and the export
// of a context, through the C table.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tamo/settings.h>

#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "api_test_support.h"
#include "support/capture_stderr.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace {

using tamo_test::api;
using tamo_test::CaptureStderr;
using tamo_test::Context;
using tamo_test::contextWith;
using tamo_test::errorLinesOf;
using tamo_test::importFile;
using tamo_test::ImportOptions;
using tamo_test::importText;
using tamo_test::keysOf;
using tamo_test::newContext;
using tamo_test::openDescriptorCount;
using tamo_test::readFile;
using tamo_test::TempDir;
using tamo_test::textOf;
using tamo_test::writeFile;

using Keys = std::vector<std::string>;
using Lines = std::vector<int>;

ImportOptions mode(bool failFast, bool allowKeysWithoutValues = false) {
  ImportOptions options;
  options.failFast = failFast;
  options.allowKeysWithoutValues = allowKeysWithoutValues;
  return options;
}

int countLines(std::string const& text) {
  int lines = 0;
  for (char c : text)
    lines += c == '\n';
  return lines;
}

// A text imported over a context holding "old=1".
struct TextImportCase {
  char const* name;
  char const* text;
  bool failFast;
  bool allowKeysWithoutValues;
  int status;
  Keys keys;
  Lines errorLines;
};

TextImportCase const kTextImportCases[] = {
    {"CleanText", "a=1\nb=2", true, false, SETTINGS_NO_ERROR, {"a", "b", "old"}, {}},
    {"EmptyText", "", true, false, SETTINGS_NO_ERROR, {"old"}, {}},
    {"KeepGoingMergesTheAcceptedLines",
     "a=1\nbad line\nb=2",
     false,
     false,
     SETTINGS_INVALID_VALUE_ERROR,
     {"a", "b", "old"},
     {1}},
    {"FailFastMergesNothing",
     "a=1\nbad line\nb=2",
     true,
     false,
     SETTINGS_INVALID_VALUE_ERROR,
     {"old"},
     {1}},
    {"FailFastStopsAtTheFirstRefusedLine",
     "=1\nbad\nc=3",
     true,
     false,
     SETTINGS_INVALID_VALUE_ERROR,
     {"old"},
     {0}},
    {"KeepGoingRecordsEveryRefusedLine",
     "=x\nk\n# note\nv=1\n :y",
     false,
     false,
     SETTINGS_INVALID_VALUE_ERROR,
     {"old", "v"},
     {0, 1, 4}},
    {"KeysWithoutValuesWhenAllowed",
     "flag\nv=1",
     true,
     true,
     SETTINGS_NO_ERROR,
     {"flag", "old", "v"},
     {}},
    {"EveryLineEndCounts",
     "a=1\r\nbad\rb=2\n\nworse",
     false,
     false,
     SETTINGS_INVALID_VALUE_ERROR,
     {"a", "b", "old"},
     {1, 4}},
    {"ImportedEntryWins", "old=2", true, false, SETTINGS_NO_ERROR, {"old"}, {}},
};

class TextImport : public testing::TestWithParam<TextImportCase> {};

TEST_P(TextImport, MergesRecordsAndReports) {
  TextImportCase const& row = GetParam();
  Context context = contextWith("old=1");
  CaptureStderr capture;
  int const status =
      importText(context.get(), row.text, mode(row.failFast, row.allowKeysWithoutValues));
  std::string const printed = capture.text();

  EXPECT_EQ(status, row.status);
  EXPECT_EQ(keysOf(context.get()), row.keys);
  EXPECT_EQ(errorLinesOf(context.get()), row.errorLines);
  EXPECT_EQ(countLines(printed), static_cast<int>(row.errorLines.size())) << printed;
}

INSTANTIATE_TEST_SUITE_P(Modes, TextImport, testing::ValuesIn(kTextImportCases),
                         [](testing::TestParamInfo<TextImportCase> const& info) {
                           return std::string(info.param.name);
                         });

TEST(TextImport, EachRefusedLineIsPrintedWithItsPosition) {
  Context context = newContext();
  CaptureStderr capture;
  EXPECT_EQ(importText(context.get(), "a=1\n  bad\n=2", mode(false)), SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(capture.text(),
            "Error reading config file: \"Key without value\" at line 2; char 3\n"
            "Error reading config file: \"Empty key\" at line 3; char 1\n");
}

TEST(TextImport, CleanImportAfterAFailedOneClearsTheErrors) {
  Context context = newContext();
  ASSERT_EQ(importText(context.get(), "bad"), SETTINGS_INVALID_VALUE_ERROR);
  ASSERT_EQ(errorLinesOf(context.get()), Lines{0});
  EXPECT_EQ(importText(context.get(), "a=1"), SETTINGS_NO_ERROR);
  settings_error_desc_t const kSentinel{-1};
  settings_error_desc_t const* errors = &kSentinel;
  int count = -1;
  EXPECT_EQ(api().context_get_last_import_errors(context.get(), &errors, &count),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(count, 0);
}

TEST(TextImport, TextThatIsNotUtf8ChangesNothing) {
  Context context = contextWith("old=1");
  EXPECT_EQ(importText(context.get(), "a=1\nb=\xC3"), SETTINGS_BUFFER_ENCODING_ERROR);
  EXPECT_EQ(keysOf(context.get()), Keys{"old"});
  EXPECT_TRUE(errorLinesOf(context.get()).empty());
}

class FileImport : public testing::Test {
 protected:
  TempDir dir;
};

TEST_F(FileImport, SecondFileOverridesTheFirst) {
  writeFile(dir.file("system.cfg"), "shared=system\nonly.system=1\n");
  writeFile(dir.file("input.cfg"), "shared=input\nonly.input=2\n");
  Context context = newContext();
  EXPECT_EQ(importFile(context.get(), dir.file("system.cfg")), SETTINGS_NO_ERROR);
  EXPECT_EQ(importFile(context.get(), dir.file("input.cfg")), SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(context.get()), (Keys{"only.input", "only.system", "shared"}));
  EXPECT_EQ(textOf(context.get(), "shared"), "input");
}

TEST_F(FileImport, RefusedLinesOfAFileAreRecordedLikeThoseOfAText) {
  writeFile(dir.file("mixed.cfg"), "# comment\na=1\nbad line\nb=2\n");
  Context context = newContext();
  CaptureStderr capture;
  EXPECT_EQ(importFile(context.get(), dir.file("mixed.cfg"), mode(false)),
            SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(capture.text(), "Error reading config file: \"Key without value\" at line 3; char 1\n");
  EXPECT_EQ(errorLinesOf(context.get()), Lines{2});
  EXPECT_EQ(keysOf(context.get()), (Keys{"a", "b"}));
}

// Files that cannot be imported, over a context that holds "old=1" and the
// record of a refused line from the import before.
struct FileFailureCase {
  char const* name;
  char const* fileName;  // under the temporary directory, or absolute when it starts with '/'
  std::string contents;  // written first unless empty
  int status;
  bool keepsOldErrors;  // failed before the parse began
};

std::string const kTooLargeFile(1048576, 'x');

FileFailureCase const kFileFailureCases[] = {
    {"MissingFile", "missing.cfg", "", SETTINGS_OPEN_FILE_ERROR, false},
    {"NameNotUtf8", "bad\xFF.cfg", "", SETTINGS_FILENAME_ENCODING_ERROR, true},
    {"EmptyName", "", "", SETTINGS_INVALID_FILENAME_ERROR, true},
    {"NameAboveTheRoot", "/../x.cfg", "", SETTINGS_INVALID_FILENAME_ERROR, true},
    {"TooLarge", "large.cfg", kTooLargeFile, SETTINGS_FILE_TOO_BIG_ERROR, false},
    {"NotUtf8", "latin1.cfg", "k=caf\xE9\n", SETTINGS_BUFFER_ENCODING_ERROR, false},
    {"Directory", "folder", "", SETTINGS_READ_FILE_ERROR, false},
};

class FileFailure : public testing::TestWithParam<FileFailureCase> {
 protected:
  TempDir dir;
};

TEST_P(FileFailure, LeavesTheEntriesAlone) {
  FileFailureCase const& row = GetParam();
  std::string path = row.fileName;
  if (!path.empty() && path[0] != '/')
    path = dir.file(path);
  if (!row.contents.empty())
    writeFile(path, row.contents);
  if (std::string(row.fileName) == "folder") {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }
  Context context = contextWith("old=1");
  ASSERT_EQ(importText(context.get(), "bad"), SETTINGS_INVALID_VALUE_ERROR);

  EXPECT_EQ(importFile(context.get(), path), row.status);
  EXPECT_EQ(keysOf(context.get()), Keys{"old"});
  EXPECT_EQ(errorLinesOf(context.get()), row.keepsOldErrors ? Lines{0} : Lines{});
}

INSTANTIATE_TEST_SUITE_P(Sources, FileFailure, testing::ValuesIn(kFileFailureCases),
                         [](testing::TestParamInfo<FileFailureCase> const& info) {
                           return std::string(info.param.name);
                         });

TEST(ContextImport, SourceEntriesWinAndTheSourceStaysAsItWas) {
  Context context = contextWith("a=1\nshared=mine");
  Context source = contextWith("shared=theirs\nz");
  EXPECT_EQ(api().context_import_from_context(context.get(), source.get()), SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(context.get()), (Keys{"a", "shared", "z"}));
  EXPECT_EQ(textOf(context.get(), "shared"), "theirs");
  EXPECT_EQ(keysOf(source.get()), (Keys{"shared", "z"}));
}

TEST(ContextImport, ImportingItselfKeepsEveryEntry) {
  Context context = contextWith("a=1\nb");
  Context copy = contextWith("a=1\nb");
  EXPECT_EQ(api().context_import_from_context(context.get(), context.get()), SETTINGS_NO_ERROR);
  int equal = 0;
  EXPECT_EQ(api().context_is_equal(context.get(), copy.get(), &equal), SETTINGS_NO_ERROR);
  EXPECT_EQ(equal, 1);
}

TEST(ContextImport, KeepsTheErrorsOfTheLastTextImport) {
  Context context = newContext();
  ASSERT_EQ(importText(context.get(), "a=1\nbad", mode(false)), SETTINGS_INVALID_VALUE_ERROR);
  Context source = contextWith("b=2");
  EXPECT_EQ(api().context_import_from_context(context.get(), source.get()), SETTINGS_NO_ERROR);
  EXPECT_EQ(errorLinesOf(context.get()), Lines{1});
}

class Export : public testing::Test {
 protected:
  // Exports context to path and returns the status.
  static int exportTo(settings_context_t* context, std::string const& path) {
    return api().context_export_to_file(context, path.c_str());
  }

  TempDir dir;
};

TEST_F(Export, WritesSortedLinesWithoutDecoration) {
  Context context = contextWith("b = two words\n# gone\nc\na: 0x10\n");
  ASSERT_EQ(exportTo(context.get(), dir.file("out.cfg")), SETTINGS_NO_ERROR);
  EXPECT_EQ(readFile(dir.file("out.cfg")), "a=0x10\nb=two words\nc\n");
}

TEST_F(Export, EmptyContextWritesOneSpace) {
  Context context = newContext();
  ASSERT_EQ(exportTo(context.get(), dir.file("empty.cfg")), SETTINGS_NO_ERROR);
  EXPECT_EQ(readFile(dir.file("empty.cfg")), " ");
  Context reread = contextWith("old=1");
  EXPECT_EQ(importFile(reread.get(), dir.file("empty.cfg")), SETTINGS_NO_ERROR);
  EXPECT_EQ(keysOf(reread.get()), Keys{"old"});
}

TEST_F(Export, CreatesMissingParentsOwnerOnly) {
  Context context = contextWith("k=v");
  ASSERT_EQ(exportTo(context.get(), dir.file("x/y/z.cfg")), SETTINGS_NO_ERROR);
  EXPECT_EQ(tamo_test::modeOf(dir.file("x")), 0700u);
  EXPECT_EQ(tamo_test::modeOf(dir.file("x/y")), 0700u);
  EXPECT_EQ(readFile(dir.file("x/y/z.cfg")), "k=v\n");
}

TEST_F(Export, LeavesTheContextAsItWas) {
  Context context = contextWith("k=v\nflag");
  Context copy = contextWith("k=v\nflag");
  char const* text = nullptr;
  ASSERT_EQ(api().context_get_utf8_value(context.get(), "k", &text), SETTINGS_NO_ERROR);
  ASSERT_EQ(exportTo(context.get(), dir.file("out.cfg")), SETTINGS_NO_ERROR);
  int equal = 0;
  EXPECT_EQ(api().context_is_equal(context.get(), copy.get(), &equal), SETTINGS_NO_ERROR);
  EXPECT_EQ(equal, 1);
  EXPECT_STREQ(text, "v");
}

struct ExportFailureCase {
  char const* name;
  char const* fileName;  // under the temporary directory
  int status;
};

ExportFailureCase const kExportFailureCases[] = {
    {"NameNotUtf8", "bad\xFF/out.cfg", SETTINGS_FILENAME_ENCODING_ERROR},
    // mkdir reports an existing name as EEXIST whatever it is, so the
    // directory step passes and the file cannot be made.
    {"ParentIsAFile", "plain/out.cfg", SETTINGS_OPEN_FILE_ERROR},
    {"DirectoryUnderAFile", "plain/sub/out.cfg", SETTINGS_INVALID_FILENAME_ERROR},
    {"NameIsADirectory", "folder", SETTINGS_OPEN_FILE_ERROR},
};

class ExportFailure : public testing::TestWithParam<ExportFailureCase> {
 protected:
  TempDir dir;
};

TEST_P(ExportFailure, IsReportedAndCreatesNothing) {
  writeFile(dir.file("plain"), "untouched");
  ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
  Context context = contextWith("k=v");
  EXPECT_EQ(api().context_export_to_file(context.get(), dir.file(GetParam().fileName).c_str()),
            GetParam().status);
  EXPECT_EQ(readFile(dir.file("plain")), "untouched");
  EXPECT_FALSE(tamo_test::exists(dir.file("bad\xFF")));
  EXPECT_EQ(keysOf(context.get()), Keys{"k"});
}

INSTANTIATE_TEST_SUITE_P(Names, ExportFailure, testing::ValuesIn(kExportFailureCases),
                         [](testing::TestParamInfo<ExportFailureCase> const& info) {
                           return std::string(info.param.name);
                         });

// Failing reads and writes hold a stream or descriptor for a moment; none
// may stay open, however often a caller retries.
TEST_F(Export, ThousandFailuresLeaveNoDescriptorOpen) {
  writeFile(dir.file("plain"), "untouched");
  ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
  Context context = contextWith("k=v");
  std::size_t const before = openDescriptorCount();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(exportTo(context.get(), dir.file("folder")), SETTINGS_OPEN_FILE_ERROR);
    ASSERT_EQ(exportTo(context.get(), dir.file("plain/out.cfg")), SETTINGS_OPEN_FILE_ERROR);
    ASSERT_EQ(importFile(context.get(), dir.file("folder")), SETTINGS_READ_FILE_ERROR);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(ExportName, EmptyNameIsRefused) {
  Context context = contextWith("k=v");
  EXPECT_EQ(api().context_export_to_file(context.get(), ""), SETTINGS_INVALID_FILENAME_ERROR);
}

}  // namespace
