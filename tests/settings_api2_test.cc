// The second table: refused-line details, the standard-error switch, the
// export as text, key lines and the replacement of a file's contents.
#include <gtest/gtest.h>
#include <tamo/settings.h>

#include <array>
#include <cstring>
#include <string>

#include "api_test_support.h"
#include "support/capture_stderr.h"
#include "support/temp_dir.h"

namespace {

using tamo_test::Context;
using tamo_test::ImportOptions;
using tamo_test::importText;
using tamo_test::newContext;

settings_api2_t const& api2() {
  static settings_api2_t const table = [] {
    settings_api2_t filled{};
    settings_api2_get(&filled);
    return filled;
  }();
  return table;
}

TEST(SettingsTable2, EveryFillHoldsTheSameNonNullFunctions) {
  using Slots = std::array<void (*)(), sizeof(settings_api2_t) / sizeof(void (*)())>;
  settings_api2_get(nullptr);
  settings_api2_t second;
  std::memset(&second, 0xA5, sizeof second);
  settings_api2_get(&second);
  Slots first;
  Slots other;
  std::memcpy(first.data(), &api2(), sizeof first);
  std::memcpy(other.data(), &second, sizeof other);
  EXPECT_EQ(first, other);
  for (std::size_t slot = 0; slot < first.size(); ++slot)
    EXPECT_NE(first[slot], nullptr) << "slot " << slot;
}

ImportOptions lenient() {
  ImportOptions options;
  options.failFast = false;
  return options;
}

TEST(RefusedLines, CarryLineCharacterKindAndTheMessageOfStandardError) {
  Context context = newContext();
  tamo_test::CaptureStderr capture;
  EXPECT_EQ(importText(context.get(), "a=1\nbad line\n  = 2\n# ok\nb=2", lenient()),
            SETTINGS_INVALID_VALUE_ERROR);
  std::string const printed = capture.text();
  settings_refused_line_t const* lines = nullptr;
  int count = -1;
  ASSERT_EQ(api2().context_get_last_import_refused_lines(context.get(), &lines, &count),
            SETTINGS_NO_ERROR);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(lines[0].line, 1);
  EXPECT_EQ(lines[0].character, 0);
  EXPECT_EQ(lines[0].kind, SETTINGS_REFUSED_KEY_WITHOUT_VALUE);
  EXPECT_EQ(lines[1].line, 2);
  EXPECT_EQ(lines[1].character, 2);
  EXPECT_EQ(lines[1].kind, SETTINGS_REFUSED_EMPTY_KEY);
  EXPECT_STREQ(lines[1].message, "\"Empty key\" at line 3; char 3");
  EXPECT_EQ(printed, std::string("Error reading config file: ") + lines[0].message +
                         "\nError reading config file: " + lines[1].message + "\n");

  EXPECT_EQ(importText(context.get(), "c=3"), SETTINGS_NO_ERROR);
  EXPECT_EQ(api2().context_get_last_import_refused_lines(context.get(), &lines, &count),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(lines, nullptr);
  EXPECT_EQ(count, 0);
}

TEST(RefusedLines, SwitchedOffStandardErrorStillRecords) {
  Context context = newContext();
  ASSERT_EQ(api2().context_set_stderr_reports(context.get(), 0), SETTINGS_NO_ERROR);
  tamo_test::CaptureStderr capture;
  EXPECT_EQ(importText(context.get(), "=1"), SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(capture.text(), "");
  settings_refused_line_t const* lines = nullptr;
  int count = 0;
  api2().context_get_last_import_refused_lines(context.get(), &lines, &count);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(api2().context_set_stderr_reports(nullptr, 1), SETTINGS_INVALID_ARGUMENT_ERROR);
}

int keyLine(settings_context_t* context, char const* key) {
  int line = -1;
  int const status = api2().context_get_key_line(context, key, &line);
  return status == SETTINGS_NO_ERROR ? line : -status;
}

TEST(KeyLines, TheLastLineOfTheLastImportWins) {
  Context context = newContext();
  ASSERT_EQ(importText(context.get(), "a=1\r\n# c\nb=2\na=3"), SETTINGS_NO_ERROR);
  EXPECT_EQ(keyLine(context.get(), "a"), 3);
  EXPECT_EQ(keyLine(context.get(), "b"), 2);
  EXPECT_EQ(keyLine(context.get(), "c"), -SETTINGS_KEY_NOT_FOUND_ERROR);
  ASSERT_EQ(importText(context.get(), "\nc=1"), SETTINGS_NO_ERROR);
  EXPECT_EQ(keyLine(context.get(), "a"), -SETTINGS_KEY_NOT_FOUND_ERROR);
  EXPECT_EQ(keyLine(context.get(), "c"), 1);
  // A refused line gives its key nothing.
  tamo_test::ValidatorBuilder builder(tamo_test::api().validator_builder_create());
  tamo_test::api().validator_builder_set_integer_validator(builder.get(), "n");
  settings_validator_t* created = nullptr;
  tamo_test::api().validator_builder_create_validator(builder.get(), &created);
  tamo_test::Validator validator(created);
  ImportOptions options = lenient();
  options.validator = validator.get();
  api2().context_set_stderr_reports(context.get(), 0);
  ASSERT_EQ(importText(context.get(), "n=1\nn=x", options), SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(keyLine(context.get(), "n"), 0);
  // Nothing of a fail-fast import that was stopped is merged.
  EXPECT_EQ(importText(context.get(), "d=1\n=2"), SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(keyLine(context.get(), "d"), -SETTINGS_KEY_NOT_FOUND_ERROR);
}

TEST(KeyLines, AreTheMappedKeys) {
  tamo_test::KeyMapperBuilder builder(tamo_test::api().key_mapper_builder_create());
  tamo_test::api().key_mapper_builder_map(builder.get(), "KEY", "KEY", 0);
  settings_key_mapper_t* created = nullptr;
  tamo_test::api().key_mapper_builder_create_key_mapper(builder.get(), &created);
  tamo_test::KeyMapper mapper(created);
  ImportOptions options;
  options.keyMapper = mapper.get();
  Context context = newContext();
  ASSERT_EQ(importText(context.get(), "x=1\nkey=2", options), SETTINGS_NO_ERROR);
  EXPECT_EQ(keyLine(context.get(), "KEY"), 1);
  EXPECT_EQ(keyLine(context.get(), "key"), -SETTINGS_KEY_NOT_FOUND_ERROR);
  settings_key_line_t const* lines = nullptr;
  int count = 0;
  ASSERT_EQ(api2().context_get_key_lines(context.get(), &lines, &count), SETTINGS_NO_ERROR);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(lines[1].key, "KEY");
}

std::string keyLinesOf(settings_context_t* context) {
  settings_key_line_t const* lines = nullptr;
  int count = -1;
  EXPECT_EQ(api2().context_get_key_lines(context, &lines, &count), SETTINGS_NO_ERROR);
  std::string listed;
  for (int i = 0; i < count; ++i)
    listed += std::to_string(lines[i].line) + ":" + lines[i].key + " ";
  return listed;
}

TEST(KeyLines, ListsEveryAcceptedLineOfEveryKeyInOneCall) {
  Context context = newContext();
  api2().context_set_stderr_reports(context.get(), 0);
  ASSERT_EQ(importText(context.get(), "a=1\n# c\nbad\nb=2\na=3\n", lenient()),
            SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(keyLinesOf(context.get()), "0:a 3:b 4:a ");
  EXPECT_EQ(importText(context.get(), "d=1\n=2"), SETTINGS_INVALID_VALUE_ERROR);
  EXPECT_EQ(keyLinesOf(context.get()), "");
}

std::string valueOf(settings_context_t* context, char const* key) {
  char const* value = nullptr;
  int const status = tamo_test::api().context_get_utf8_value(context, key, &value);
  return status == SETTINGS_NO_ERROR ? value : "status " + std::to_string(status);
}

TEST(ImportFromBuffer, ReadsPastANulAsAFileImportDoes) {
  std::string const text("a=1\nb=x\0y\nc=3\n", 14);
  tamo_test::TempDir dir;
  tamo_test::writeFile(dir.file("n.cfg"), text);
  Context fromFile = newContext();
  ASSERT_EQ(tamo_test::api().context_import_from_file(fromFile.get(), dir.file("n.cfg").c_str(),
                                                      nullptr, nullptr, 1, 0),
            SETTINGS_NO_ERROR);
  Context fromBuffer = newContext();
  ASSERT_EQ(api2().context_import_from_buffer(fromBuffer.get(), text.data(), text.size(), nullptr,
                                              nullptr, 1, 0),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(valueOf(fromBuffer.get(), "b"), "x");
  EXPECT_EQ(valueOf(fromBuffer.get(), "c"), "3");
  int equal = 0;
  tamo_test::api().context_is_equal(fromFile.get(), fromBuffer.get(), &equal);
  EXPECT_EQ(equal, 1);
  EXPECT_EQ(api2().context_import_from_buffer(fromBuffer.get(), nullptr, 0, nullptr, nullptr, 1, 0),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(api2().context_import_from_buffer(fromBuffer.get(), nullptr, 1, nullptr, nullptr, 1, 0),
            SETTINGS_INVALID_ARGUMENT_ERROR);
}

TEST(ByteOrderMark, IsSkippedAtTheStartOnlyAndNeverExportedFirst) {
  Context context = newContext();
  ASSERT_EQ(importText(context.get(),
                       "\xEF\xBB\xBF"
                       "a=1\n\xEF\xBB\xBF"
                       "b=2"),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(valueOf(context.get(), "a"), "1");
  EXPECT_EQ(valueOf(context.get(),
                    "\xEF\xBB\xBF"
                    "b"),
            "2");
  EXPECT_EQ(keyLine(context.get(), "a"), 0);
  // The key that begins with the mark comes first once "a" is gone.
  ASSERT_EQ(tamo_test::api().context_erase_key(context.get(), "a"), SETTINGS_NO_ERROR);
  char const* text = nullptr;
  ASSERT_EQ(api2().context_export_to_string(context.get(), &text), SETTINGS_NO_ERROR);
  EXPECT_STREQ(text,
               "\n\xEF\xBB\xBF"
               "b=2\n");
  Context again = newContext();
  ASSERT_EQ(importText(again.get(), text), SETTINGS_NO_ERROR);
  int equal = 0;
  tamo_test::api().context_is_equal(context.get(), again.get(), &equal);
  EXPECT_EQ(equal, 1);
}

TEST(ExportToString, IsWhatTheExportWrites) {
  tamo_test::TempDir dir;
  for (char const* text : {"", "b = 2\na:1\n# c\n"}) {
    Context context = newContext();
    ASSERT_EQ(importText(context.get(), text), SETTINGS_NO_ERROR);
    char const* exported = nullptr;
    ASSERT_EQ(api2().context_export_to_string(context.get(), &exported), SETTINGS_NO_ERROR);
    ASSERT_EQ(tamo_test::api().context_export_to_file(context.get(), dir.file("f").c_str()),
              SETTINGS_NO_ERROR);
    EXPECT_EQ(exported, tamo_test::readFile(dir.file("f"))) << text;
  }
}

TEST(ReplaceFileContents, WritesAnyBytesAndCreatesNoDirectory) {
  tamo_test::TempDir dir;
  std::string const bytes("a\0b\r\n", 5);
  ASSERT_EQ(
      api2().settings_replace_file_contents(dir.file("f").c_str(), bytes.data(), bytes.size()),
      SETTINGS_NO_ERROR);
  EXPECT_EQ(tamo_test::readFile(dir.file("f")), bytes);
  EXPECT_EQ(api2().settings_replace_file_contents(dir.file("f").c_str(), nullptr, 0),
            SETTINGS_NO_ERROR);
  EXPECT_EQ(tamo_test::readFile(dir.file("f")), "");
  EXPECT_EQ(api2().settings_replace_file_contents(dir.file("no/f").c_str(), "x", 1),
            SETTINGS_OPEN_FILE_ERROR);
  EXPECT_FALSE(tamo_test::exists(dir.file("no")));
  EXPECT_EQ(api2().settings_replace_file_contents(nullptr, "x", 1),
            SETTINGS_INVALID_ARGUMENT_ERROR);
  EXPECT_EQ(api2().settings_replace_file_contents(dir.file("f").c_str(), nullptr, 1),
            SETTINGS_INVALID_ARGUMENT_ERROR);
  EXPECT_EQ(api2().settings_replace_file_contents("\xff", "x", 1),
            SETTINGS_FILENAME_ENCODING_ERROR);
}

}  // namespace
