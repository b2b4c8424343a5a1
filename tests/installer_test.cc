// The installer driver on a stand-in library table, with the system log
// captured in this test binary.
#include <syslog.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "log.h"
#include "process_options.h"
#include "share/status.h"
#include "support/temp_dir.h"

// ---- The system log and the formatter, replaced for this binary ----------

namespace {

struct LoggedMessage {
  int priority;
  std::string format;
  std::string text;
};

std::vector<LoggedMessage> loggedMessages;
bool failFormatting = false;

void recordLog(int priority, char const* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int const length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? length : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, arguments);
  loggedMessages.push_back({priority, format, text});
}

int formatNewText(char** result, char const* format, va_list arguments) {
  if (failFormatting)
    return -1;
  va_list copy;
  va_copy(copy, arguments);
  int const length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  *result = static_cast<char*>(std::malloc(length + 1));
  return std::vsnprintf(*result, length + 1, format, arguments);
}

}  // namespace

extern "C" void syslog(int priority, char const* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  recordLog(priority, format, arguments);
  va_end(arguments);
}

// The names that fortified builds call instead.
extern "C" void __syslog_chk(int priority, int, char const* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  recordLog(priority, format, arguments);
  va_end(arguments);
}

extern "C" int vasprintf(char** result, char const* format, va_list arguments) {
  return formatNewText(result, format, arguments);
}

extern "C" int __vasprintf_chk(char** result, int, char const* format, va_list arguments) {
  return formatNewText(result, format, arguments);
}

namespace {

// ---- A stand-in for the settings library ---------------------------------

struct ImportCall {
  std::string path;
  bool withValidator;
  bool withKeyMapper;
  int failFast;
  int allowKeysWithoutValues;
};

struct FakeLibrary {
  // Configuration of the next run.
  std::string failingCall;  // a builder call that answers failingStatus
  int failingStatus = SETTINGS_UNKNOWN_ERROR;
  std::map<std::string, int> importStatus;  // by path; 0 when not listed
  int exportStatus = SETTINGS_NO_ERROR;
  int isEmpty = 0;
  int isEmptyStatus = SETTINGS_NO_ERROR;
  std::map<std::string, std::pair<int, int>> integers;  // key: status, value

  // What happened.
  std::set<void*> live;
  std::vector<std::string> freed;
  int badFrees = 0;
  std::vector<ImportCall> imports;
  std::vector<std::string> exports;
  std::set<void*> validators;
  std::set<void*> keyMappers;

  // The writers' lock: its answers and the calls made through it.
  int lockStatus = SETTINGS_NO_ERROR;
  int releaseStatus = SETTINGS_NO_ERROR;
  std::vector<std::string> lockCalls;
};

FakeLibrary* fake = nullptr;

template <typename Handle>
Handle* makeHandle() {
  char* handle = new char;
  fake->live.insert(handle);
  return reinterpret_cast<Handle*>(handle);
}

void freeHandle(void* handle, char const* what) {
  if (handle == nullptr)
    return;
  if (fake->live.erase(handle) == 0) {
    ++fake->badFrees;
    return;
  }
  fake->freed.push_back(what);
  delete static_cast<char*>(handle);
}

int builderCall(char const* name, void const* builder) {
  if (builder == nullptr)
    return SETTINGS_INVALID_ARGUMENT_ERROR;
  return fake->failingCall == name ? fake->failingStatus : SETTINGS_NO_ERROR;
}

settings_api_t fakeTable() {
  settings_api_t t{};
  t.context_create = [] { return makeHandle<settings_context_t>(); };
  t.context_free = [](settings_context_t* c) { freeHandle(c, "context"); };
  t.context_import_from_file = [](settings_context_t*, char const* path,
                                  settings_validator_t const* v, settings_key_mapper_t const* k,
                                  int failFast, int allow) {
    fake->imports.push_back({path, fake->validators.count(const_cast<settings_validator_t*>(v)) > 0,
                             fake->keyMappers.count(const_cast<settings_key_mapper_t*>(k)) > 0,
                             failFast, allow});
    auto found = fake->importStatus.find(path);
    return found == fake->importStatus.end() ? SETTINGS_NO_ERROR : found->second;
  };
  t.context_export_to_file = [](settings_context_t*, char const* path) {
    fake->exports.push_back(path);
    return fake->exportStatus;
  };
  t.context_is_empty = [](settings_context_t*, int* value) {
    if (fake->isEmptyStatus == SETTINGS_NO_ERROR)
      *value = fake->isEmpty;
    return fake->isEmptyStatus;
  };
  t.context_get_integer_value = [](settings_context_t*, char const* key, int* value) {
    auto found = fake->integers.find(key);
    if (found == fake->integers.end())
      return int{SETTINGS_KEY_NOT_FOUND_ERROR};
    if (found->second.first == SETTINGS_NO_ERROR)
      *value = found->second.second;
    return found->second.first;
  };
  t.validator_free = [](settings_validator_t* v) { freeHandle(v, "validator"); };
  t.validator_builder_create = [] { return makeHandle<settings_validator_builder_t>(); };
  t.validator_builder_free = [](settings_validator_builder_t* b) {
    freeHandle(b, "validator builder");
  };
  t.validator_builder_create_validator = [](settings_validator_builder_t* b,
                                            settings_validator_t** v) {
    int const status = builderCall("validator_builder_create_validator", b);
    if (status != SETTINGS_NO_ERROR)
      return status;
    *v = makeHandle<settings_validator_t>();
    fake->validators.insert(*v);
    return status;
  };
  t.validator_builder_allow_unknown_keys = [](settings_validator_builder_t* b, int) {
    return builderCall("validator_builder_allow_unknown_keys", b);
  };
  t.validator_builder_set_fixed_value_validator =
      [](settings_validator_builder_t* b, char const* key, settings_fixed_value_t const*, int) {
        return builderCall(
            ("validator_builder_set_fixed_value_validator " + std::string(key)).c_str(), b);
      };
  t.key_mapper_free = [](settings_key_mapper_t* k) { freeHandle(k, "key mapper"); };
  t.key_mapper_builder_create = [] { return makeHandle<settings_key_mapper_builder_t>(); };
  t.key_mapper_builder_free = [](settings_key_mapper_builder_t* b) {
    freeHandle(b, "key mapper builder");
  };
  t.key_mapper_builder_create_key_mapper = [](settings_key_mapper_builder_t* b,
                                              settings_key_mapper_t** k) {
    int const status = builderCall("key_mapper_builder_create_key_mapper", b);
    if (status != SETTINGS_NO_ERROR)
      return status;
    *k = makeHandle<settings_key_mapper_t>();
    fake->keyMappers.insert(*k);
    return status;
  };
  t.key_mapper_builder_map = [](settings_key_mapper_builder_t* b, char const* from, char const*,
                                int) {
    return builderCall(("key_mapper_builder_map " + std::string(from)).c_str(), b);
  };
  return t;
}

settings_api3_t fakeLockTable() {
  settings_api3_t t{};
  t.settings_lock_file = [](char const*, int wait, settings_lock_t** lock) {
    fake->lockCalls.push_back("lock " + std::to_string(wait));
    if (fake->lockStatus == SETTINGS_NO_ERROR)
      *lock = makeHandle<settings_lock_t>();
    return fake->lockStatus;
  };
  t.settings_lock_release = [](settings_lock_t* lock) {
    fake->lockCalls.push_back("release");
    freeHandle(lock, "lock");
    return fake->releaseStatus;
  };
  t.context_import_from_locked_file = [](settings_context_t*, settings_lock_t*,
                                         settings_validator_t const*, settings_key_mapper_t const*,
                                         int, int) {
    fake->lockCalls.push_back("import");
    return int{SETTINGS_NO_ERROR};
  };
  t.context_export_to_locked_file = [](settings_context_t*, settings_lock_t*) {
    fake->lockCalls.push_back("export");
    return int{SETTINGS_NO_ERROR};
  };
  return t;
}

std::vector<std::string> loggedTexts() {
  std::vector<std::string> texts;
  for (LoggedMessage const& m : loggedMessages)
    texts.push_back(m.text);
  return texts;
}

class InstallerTest : public testing::Test {
 protected:
  InstallerTest()
      : systemFile(dir.file("Vardel/Tamo/tamo.settings.cfg")),
        inputFile(dir.file("tamo/config/zlv-install.properties")) {
    fake = &library;
    loggedMessages.clear();
    failFormatting = false;
  }

  ~InstallerTest() override {
    EXPECT_TRUE(library.live.empty()) << "handles left unfreed";
    EXPECT_EQ(library.badFrees, 0) << "unknown or repeated frees";
    for (LoggedMessage const& m : loggedMessages) {
      EXPECT_EQ(m.priority, LOG_ERR) << m.text;
      EXPECT_EQ(m.format, "%s") << m.text;
    }
    fake = nullptr;
  }

  InstallConfigPaths paths() const { return {systemFile.c_str(), inputFile.c_str()}; }

  tamo_test::TempDir dir;
  std::string systemFile;
  std::string inputFile;
  FakeLibrary library;
};

// ---- Building the handles -------------------------------------------------

TEST_F(InstallerTest, ImportsRunWithTheBuiltHandlesAndFailFastOff) {
  {
    ProcessOptions options(fakeTable(), paths());
    EXPECT_EQ(options.processInstallConfigData(), 0);
  }
  ASSERT_EQ(library.imports.size(), 2u);
  for (ImportCall const& call : library.imports) {
    EXPECT_TRUE(call.withValidator) << call.path;
    EXPECT_TRUE(call.withKeyMapper) << call.path;
    EXPECT_EQ(call.failFast, 0) << call.path;
    EXPECT_EQ(call.allowKeysWithoutValues, 0) << call.path;
  }
  EXPECT_EQ(library.imports[0].path, systemFile);
  EXPECT_EQ(library.imports[1].path, inputFile);
  EXPECT_EQ(library.freed, (std::vector<std::string>{"validator builder", "key mapper builder",
                                                     "key mapper", "validator", "context"}));
}

class FailingBuilderCall : public InstallerTest, public testing::WithParamInterface<char const*> {};

TEST_P(FailingBuilderCall, RaisesItsStatusAndFreesEverything) {
  library.failingCall = GetParam();
  library.failingStatus = SETTINGS_UNKNOWN_ERROR;
  try {
    ProcessOptions options(fakeTable(), paths());
    ADD_FAILURE() << "no exception";
  } catch (settings::Exception const& e) {
    EXPECT_EQ(e.code, SETTINGS_UNKNOWN_ERROR);
  }
  EXPECT_TRUE(loggedMessages.empty());
  ASSERT_FALSE(library.freed.empty());
  EXPECT_EQ(library.freed.back(), "context");
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, FailingBuilderCall,
    testing::Values("validator_builder_set_fixed_value_validator AUTO_UPDATE",
                    "validator_builder_set_fixed_value_validator WEB_TAMO",
                    "validator_builder_set_fixed_value_validator WEB_ANALYTICS",
                    "validator_builder_set_fixed_value_validator WEB_TAMO_SECURITY_LEVEL",
                    "validator_builder_allow_unknown_keys", "validator_builder_create_validator",
                    "key_mapper_builder_map AUTO_UPDATE", "key_mapper_builder_map WEB_TAMO",
                    "key_mapper_builder_map WEB_ANALYTICS",
                    "key_mapper_builder_map WEB_TAMO_SECURITY_LEVEL",
                    "key_mapper_builder_create_key_mapper"),
    [](testing::TestParamInfo<char const*> const& info) {
      std::string name;
      for (char const* c = info.param; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)))
          name += *c;
      }
      return name;
    });

// ---- The writers' lock ------------------------------------------------------

struct LockCase {
  char const* name;
  int lockStatus;
  int releaseStatus;
  int expectedResult;
  std::vector<std::string> lockCalls;
  std::vector<std::string> plainImports;  // "system", "input"
  int plainExports;
  std::vector<std::string> log;  // the one line about the lock, after the path; "" for none
};

void PrintTo(LockCase const& row, std::ostream* out) {
  *out << row.name;
}

class LockFlow : public InstallerTest, public testing::WithParamInterface<LockCase> {};

TEST_P(LockFlow, ReadsAndWritesUnderTheLockOrSaysWhyNot) {
  LockCase const& c = GetParam();
  std::string const withPath = std::string(c.name) == "LockedByAnother"
                                   ? "Config file " + systemFile +
                                         " is locked by another writer; nothing was written. "
                                         "Exiting..."
                                   : "Config file " + systemFile + c.log.front();
  library.lockStatus = c.lockStatus;
  library.releaseStatus = c.releaseStatus;
  {
    ProcessOptions options(fakeTable(), fakeLockTable(), paths());
    EXPECT_EQ(options.processInstallConfigData(), c.expectedResult);
  }
  EXPECT_EQ(library.lockCalls, c.lockCalls);
  std::vector<std::string> imported;
  for (ImportCall const& call : library.imports)
    imported.push_back(call.path == systemFile ? "system" : "input");
  EXPECT_EQ(imported, c.plainImports);
  EXPECT_EQ(library.exports.size(), static_cast<std::size_t>(c.plainExports));
  int lockLines = 0;
  for (std::string const& text : loggedTexts()) {
    if (text.find("lock") == std::string::npos)
      continue;
    ++lockLines;
    EXPECT_EQ(text, withPath);
  }
  EXPECT_EQ(lockLines, c.log.front().empty() ? 0 : 1);
}

std::string const kWait = "lock " + std::to_string(ProcessOptions::SYSTEM_CONFIG_LOCK_WAIT_MS);

INSTANTIATE_TEST_SUITE_P(
    Outcomes, LockFlow,
    testing::Values(
        LockCase{"Held", 0, 0, 0, {kWait, "import", "export", "release"}, {"input"}, 0, {""}},
        LockCase{"LockedByAnother", 316, 0, 1, {kWait}, {}, 0, {"locked"}},
        LockCase{"RefusedByTheFileSystem",
                 317,
                 0,
                 0,
                 {kWait},
                 {"system", "input"},
                 1,
                 {" cannot be locked on its file system; it is read and written without the "
                  "writers' lock."}},
        LockCase{"NoDirectoryYet", 304, 0, 0, {kWait}, {"system", "input"}, 1, {""}},
        LockCase{"ReleaseFails",
                 0,
                 304,
                 0,
                 {kWait, "import", "export", "release"},
                 {"input"},
                 0,
                 {": the writers' lock was not released cleanly."}}),
    [](testing::TestParamInfo<LockCase> const& info) { return info.param.name; });

// ---- The flow ---------------------------------------------------------------

struct FlowCase {
  char const* name;
  int systemStatus;
  int inputStatus;
  int isEmpty;
  int exportStatus;
  int expectedResult;
  bool expectExport;
  bool expectHandlers;
};

void PrintTo(FlowCase const& row, std::ostream* out) {
  *out << row.name;
}

class Flow : public InstallerTest, public testing::WithParamInterface<FlowCase> {};

TEST_P(Flow, StopsWhereTheStatusSays) {
  FlowCase const& c = GetParam();
  tamo_test::writeFile(dir.file("existing"), "");
  systemFile = dir.file("existing");
  library.importStatus[systemFile] = c.systemStatus;
  library.importStatus[inputFile] = c.inputStatus;
  library.isEmpty = c.isEmpty;
  library.exportStatus = c.exportStatus;
  library.integers["AUTO_UPDATE"] = {SETTINGS_NO_ERROR, 1};
  ProcessOptions options(fakeTable(), paths());
  EXPECT_EQ(options.processInstallConfigData(), c.expectedResult);
  EXPECT_EQ(library.exports.size(), c.expectExport ? 1u : 0u);
  std::vector<std::string> const texts = loggedTexts();
  bool const handlersRan =
      !texts.empty() && texts.back() == "There is no auto update support on this platform";
  EXPECT_EQ(handlersRan, c.expectHandlers);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Flow,
    testing::Values(FlowCase{"Written", 0, 0, 0, 0, 0, true, true},
                    FlowCase{"NothingToWrite", 0, 304, 1, 0, 0, false, true},
                    FlowCase{"RefusedLinesGoOn", 313, 313, 0, 0, 0, true, true},
                    FlowCase{"SystemFileUnreadable", 307, 0, 0, 0, 1, false, false},
                    FlowCase{"InputFileTooBig", 0, 315, 0, 0, 2, false, false},
                    FlowCase{"WriteFailed", 0, 0, 0, 306, 3, true, false}),
    [](testing::TestParamInfo<FlowCase> const& info) { return info.param.name; });

TEST_F(InstallerTest, FailedEmptinessQueryRaisesAfterBothImports) {
  library.isEmptyStatus = SETTINGS_UNKNOWN_ERROR;
  ProcessOptions options(fakeTable(), paths());
  try {
    options.processInstallConfigData();
    ADD_FAILURE() << "no exception";
  } catch (settings::Exception const& e) {
    EXPECT_EQ(e.code, SETTINGS_UNKNOWN_ERROR);
  }
  EXPECT_EQ(library.imports.size(), 2u);
  EXPECT_TRUE(library.exports.empty());
}

// ---- Status messages ----------------------------------------------------------

constexpr char const* NO_WRITE =
    "No write permissions for config file %s. Please check if you are logged in as an "
    "administrator.";

// One row per group of statuses of the table: the three cells, reading the
// system file, reading the input file, writing it (null: nothing logged).
struct StatusRow {
  char const* name;
  std::vector<int> statuses;
  char const* messages[3];
  bool goOn[3];
};

std::vector<StatusRow> const STATUS_ROWS = {
    {"Success", {0}, {nullptr, nullptr, nullptr}, {true, true, true}},
    {"OnlyWritingCanFail",
     {200, 300, 306, 308, 309, 310, 311, 312},
     {nullptr, nullptr, NO_WRITE},
     {true, true, false}},
    {"NotOpened",
     {304},
     {nullptr, "No input config file %s.", "Invalid pre-existing config file %s. Exiting..."},
     {true, true, false}},
    {"OwnerBitClear",
     {305},
     {"No read permissions for install config file %s",
      "No read permissions for input config file %s",
      "No write permissions for install config file %s. Exiting..."},
     {true, true, false}},
    {"ReadError",
     {307, 314},
     {"Invalid pre-existing config file %s. Exiting...",
      "Unable to read input config file %s. Exiting...", NO_WRITE},
     {false, false, false}},
    {"RefusedLines",
     {313},
     {"INVALID_VALUE_ERROR: Error reading pre-existing config file %s.",
      "INVALID_VALUE_ERROR: Error reading input config file %s.", NO_WRITE},
     {true, true, false}},
    {"TooBig",
     {315},
     {"Install config file %s is too big. Exiting...",
      "Input config file %s is too big. Exiting...", NO_WRITE},
     {false, false, false}},
    {"Unknown",
     {301, 302, 303, -1, 1, 100, 199, 201, 299, 316, 400, 2147483647},
     {"Unknown error reading pre-existing config file %s. Exiting...",
      "Unknown error reading input config file %s. Exiting...",
      "Unknown error writing install config file %s. Exiting..."},
     {false, false, false}},
};

struct StatusCell {
  std::string name;
  int status;
  ProcessOptionsStatus operation;
  char const* message;
  bool goOn;
};

void PrintTo(StatusCell const& row, std::ostream* out) {
  *out << row.name;
}

std::vector<StatusCell> everyCell() {
  char const* const columns[] = {"ReadingSystemFile", "ReadingInputFile", "WritingSystemFile"};
  std::vector<StatusCell> cells;
  for (StatusRow const& row : STATUS_ROWS) {
    for (int status : row.statuses) {
      for (int column = 0; column < 3; ++column) {
        std::string const number =
            status < 0 ? "Minus" + std::to_string(-status) : std::to_string(status);
        cells.push_back({std::string(row.name) + number + columns[column], status,
                         static_cast<ProcessOptionsStatus>(column + 1), row.messages[column],
                         row.goOn[column]});
      }
    }
  }
  return cells;
}

class StatusMessage : public testing::TestWithParam<StatusCell> {
 protected:
  void SetUp() override {
    loggedMessages.clear();
    failFormatting = false;
  }
};

TEST_P(StatusMessage, LogsTheCellAndDecides) {
  StatusCell const& cell = GetParam();
  char const* const path = "/etc/dir/file.cfg";
  EXPECT_EQ(ProcessOptions::handleSettingsErrorCode(path, cell.status, cell.operation), cell.goOn);
  if (cell.message == nullptr) {
    EXPECT_TRUE(loggedMessages.empty());
    return;
  }
  std::string expected = cell.message;
  expected.replace(expected.find("%s"), 2, path);
  ASSERT_EQ(loggedMessages.size(), 1u);
  EXPECT_EQ(loggedMessages[0].text, expected);
  EXPECT_EQ(loggedMessages[0].priority, LOG_ERR);
  EXPECT_EQ(loggedMessages[0].format, "%s");
}

INSTANTIATE_TEST_SUITE_P(EveryCell, StatusMessage, testing::ValuesIn(everyCell()),
                         [](testing::TestParamInfo<StatusCell> const& info) {
                           return info.param.name;
                         });

TEST_F(InstallerTest, PercentSignsInAPathAreLoggedLiterally) {
  char const* const path = "/tmp/100%s%n%d/input.cfg";
  EXPECT_TRUE(ProcessOptions::handleSettingsErrorCode(path, 304, IMPORT_INPUT_CONFIG));
  EXPECT_EQ(loggedTexts(),
            std::vector<std::string>{"No input config file " + std::string(path) + "."});
}

TEST_F(InstallerTest, FailedFormattingIsLoggedAndTheDecisionStands) {
  failFormatting = true;
  EXPECT_FALSE(ProcessOptions::handleSettingsErrorCode("/x", 315, IMPORT_INPUT_CONFIG));
  EXPECT_EQ(loggedTexts(), std::vector<std::string>{"vasprintf() failed"});
}

// ---- Per-key handlers ---------------------------------------------------------

struct KeyCase {
  char const* name;
  std::map<std::string, std::pair<int, int>> integers;
  std::vector<std::string> expected;
};

void PrintTo(KeyCase const& row, std::ostream* out) {
  *out << row.name;
}

class Handlers : public InstallerTest, public testing::WithParamInterface<KeyCase> {};

TEST_P(Handlers, LogWhatEachPresentKeyMeans) {
  library.integers = GetParam().integers;
  ProcessOptions options(fakeTable(), paths());
  options.processAll();
  EXPECT_EQ(loggedTexts(), GetParam().expected);
}

char const* const AUTO_UPDATE_MESSAGE = "There is no auto update support on this platform";
char const* const ANALYTICS_MESSAGE = "There is no web analytics support on this platform";

INSTANTIATE_TEST_SUITE_P(
    Keys, Handlers,
    testing::Values(
        KeyCase{"NoKeys", {}, {}},
        KeyCase{"AutoUpdateEnabled", {{"AUTO_UPDATE", {0, 1}}}, {AUTO_UPDATE_MESSAGE}},
        KeyCase{"AutoUpdateDisabled", {{"AUTO_UPDATE", {0, 0}}}, {AUTO_UPDATE_MESSAGE}},
        KeyCase{"AnalyticsPresent", {{"WEB_ANALYTICS", {0, 0}}}, {ANALYTICS_MESSAGE}},
        KeyCase{"SilentKeys", {{"WEB_TAMO", {0, 1}}, {"WEB_TAMO_SECURITY_LEVEL", {0, 4}}}, {}},
        KeyCase{"AllKeysInOrder",
                {{"WEB_TAMO_SECURITY_LEVEL", {0, 2}},
                 {"WEB_ANALYTICS", {0, 1}},
                 {"AUTO_UPDATE", {0, 1}},
                 {"WEB_TAMO", {0, 0}}},
                {AUTO_UPDATE_MESSAGE, ANALYTICS_MESSAGE}},
        KeyCase{"UnreadableValues",
                {{"AUTO_UPDATE", {302, 0}}, {"WEB_TAMO_SECURITY_LEVEL", {301, 0}}},
                {"The value for AUTO_UPDATE was not set correctly. Please check your config "
                 "file content for errors",
                 "The value for WEB_TAMO_SECURITY_LEVEL was not set correctly. Please check "
                 "your config file content for errors"}}),
    [](testing::TestParamInfo<KeyCase> const& info) { return info.param.name; });

class RefusingOptions : public ProcessOptions {
 public:
  using ProcessOptions::ProcessOptions;
  bool refuse(int) { return false; }
};

TEST_F(InstallerTest, RefusingHandlerIsReportedWithItsLabel) {
  library.integers["WEB_TAMO"] = {0, 1};
  RefusingOptions options(fakeTable(), paths());
  options.handleIntegerConfigParameter(
      "WEB_TAMO", "Web Tamo", static_cast<bool (ProcessOptions::*)(int)>(&RefusingOptions::refuse));
  EXPECT_EQ(loggedTexts(),
            std::vector<std::string>{
                "Web Tamo setting cannot be updated based on the values in the config file"});
}

}  // namespace
