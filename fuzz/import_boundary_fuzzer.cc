// Arbitrary bytes imported through the C table with the installer's validator
// and key mapper, in every combination of fail-fast and keys without values.
// A small classifier of its own says which lines must be refused; the
// library must agree on the status, on every error record and on the values
// of the installer's four keys, and what it exports must read back equal.
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <tamo/settings.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "process_options.h"
#include "share/value.h"

namespace {

struct Mode {
  bool failFast;
  bool allowKeysWithoutValues;
};

constexpr std::array<Mode, 4> kModes = {
    {{false, false}, {false, true}, {true, false}, {true, true}}};

struct InstallerKey {
  char const* name;
  settings_fixed_value_t const* rows;
  int rowCount;
};

std::array<InstallerKey, 4> installerKeys() {
  return {{{"AUTO_UPDATE", ENABLE_DISABLE_ARRAY, SIZE_ENABLE_DISABLE_ARRAY},
           {"WEB_TAMO", ENABLE_DISABLE_ARRAY, SIZE_ENABLE_DISABLE_ARRAY},
           {"WEB_ANALYTICS", ENABLE_DISABLE_ARRAY, SIZE_ENABLE_DISABLE_ARRAY},
           {"WEB_TAMO_SECURITY_LEVEL", SECURITY_LEVEL_ARRAY, SIZE_SECURITY_LEVEL_ARRAY}}};
}

// ---- what the format and the installer's rules say, written out again ----

bool isUtf8(std::string_view text) {
  return settings_impl::validateUtf8Sequence(text.data(), text.data() + text.size()) ==
         text.data() + text.size();
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Lines end at CR, LF or CR LF; the text after the last end is a line too.
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t const end = text.find_first_of("\r\n", start);
    lines.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos)
      return lines;
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
}

std::string_view rtrim(std::string_view text) {
  std::size_t const last = text.find_last_not_of(" \t");
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

// The installer key a key is mapped to, or null for any other key.
InstallerKey const* installerKeyFor(std::string_view key) {
  static std::array<InstallerKey, 4> const keys = installerKeys();
  for (InstallerKey const& candidate : keys) {
    if (equalsIgnoringAsciiCase(key, candidate.name))
      return &candidate;
  }
  return nullptr;
}

// What a line leaves for one of the installer's keys.
struct KeyState {
  bool hasValue = false;
  int value = 0;
};

struct LineVerdict {
  bool refused = false;
  InstallerKey const* installerKey = nullptr;
  KeyState state;
};

LineVerdict refuse() {
  return LineVerdict{true, nullptr, {}};
}

LineVerdict judgeValue(std::string_view key, std::string_view value) {
  InstallerKey const* installerKey = installerKeyFor(key);
  if (installerKey == nullptr)
    return isUtf8(value) ? LineVerdict() : refuse();
  for (int row = installerKey->rowCount - 1; row >= 0; --row) {
    if (equalsIgnoringAsciiCase(value, installerKey->rows[row].text)) {
      return LineVerdict{false, installerKey, {true, installerKey->rows[row].value}};
    }
  }
  return refuse();
}

LineVerdict judgeLine(std::string_view line, Mode mode) {
  std::size_t const start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos || line[start] == '#')
    return LineVerdict();
  std::size_t const separator = line.find_first_of("=:", start);
  if (separator == std::string_view::npos) {
    std::string_view const key = rtrim(line.substr(start));
    if (!mode.allowKeysWithoutValues || !isUtf8(key))
      return refuse();
    return LineVerdict{false, installerKeyFor(key), {}};
  }
  std::string_view const key = rtrim(line.substr(start, separator - start));
  if (key.empty() || !isUtf8(key))
    return refuse();
  std::string_view value = line.substr(separator + 1);
  value.remove_prefix(std::min(value.size(), value.find_first_not_of(" \t")));
  return judgeValue(key, rtrim(value));
}

struct Expectation {
  int status = SETTINGS_NO_ERROR;
  std::vector<int> refusedLines;
  std::map<std::string, KeyState> installerKeys;  // those the import leaves
};

Expectation expect(std::string_view text, Mode mode) {
  Expectation expected;
  if (!isUtf8(text)) {
    expected.status = SETTINGS_BUFFER_ENCODING_ERROR;
    return expected;
  }
  // A leading byte order mark is a signature, not part of the first line.
  std::string_view const body = text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
  std::vector<std::string_view> const lines = splitLines(body);
  for (std::size_t number = 0; number < lines.size(); ++number) {
    LineVerdict const verdict = judgeLine(lines[number], mode);
    if (verdict.refused) {
      expected.status = SETTINGS_INVALID_VALUE_ERROR;
      expected.refusedLines.push_back(static_cast<int>(number));
      if (mode.failFast)
        break;
    } else if (verdict.installerKey != nullptr) {
      expected.installerKeys[verdict.installerKey->name] = verdict.state;
    }
  }
  if (mode.failFast && !expected.refusedLines.empty())
    expected.installerKeys.clear();
  return expected;
}

// ---- the library, through its table ----

[[noreturn]] void fail(char const* what, std::string_view text, Mode mode) {
  std::fprintf(stderr, "import boundary: %s (fail-fast %d, keys without values %d)\ntext:", what,
               mode.failFast, mode.allowKeysWithoutValues);
  for (unsigned char const c : text)
    std::fprintf(stderr, " %02X", c);
  std::fputc('\n', stderr);
  std::abort();
}

void require(bool holds, char const* what, std::string_view text, Mode mode) {
  if (!holds)
    fail(what, text, mode);
}

// The library prints every refused line on std::cerr; thousands of them per
// second would bury the fuzzer's own reports, which go to stderr directly.
class DiscardBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
};

class Library {
 public:
  Library() : savedErrorBuffer(std::cerr.rdbuf(&discard)) {
    settings_api_get(&api);
    buildValidator();
    buildKeyMapper();
    makeExportPath();
  }
  ~Library() {
    ::unlink(exportPath.c_str());
    ::rmdir(directory.c_str());
    api.key_mapper_free(keyMapper);
    api.validator_free(validator);
    std::cerr.rdbuf(savedErrorBuffer);
  }
  Library(Library const&) = delete;
  Library& operator=(Library const&) = delete;

  int import(settings_context_t* context, char const* text, Mode mode) const {
    return api.context_import_from_string(context, text, validator, keyMapper, mode.failFast,
                                          mode.allowKeysWithoutValues);
  }
  int importFile(settings_context_t* context, char const* path) const {
    return api.context_import_from_file(context, path, validator, keyMapper, 1, 1);
  }

  settings_api_t api{};
  settings_validator_t* validator = nullptr;
  settings_key_mapper_t* keyMapper = nullptr;
  std::string directory;
  std::string exportPath;

 private:
  DiscardBuffer discard;
  std::streambuf* savedErrorBuffer;

  void buildValidator() {
    settings_validator_builder_t* builder = api.validator_builder_create();
    for (InstallerKey const& key : installerKeys()) {
      expectZero(api.validator_builder_set_fixed_value_validator(builder, key.name, key.rows,
                                                                 key.rowCount));
    }
    expectZero(api.validator_builder_allow_unknown_keys(builder, 1));
    expectZero(api.validator_builder_create_validator(builder, &validator));
    api.validator_builder_free(builder);
  }
  void buildKeyMapper() {
    settings_key_mapper_builder_t* builder = api.key_mapper_builder_create();
    for (InstallerKey const& key : installerKeys()) {
      expectZero(api.key_mapper_builder_map(builder, key.name, key.name, 0));
    }
    expectZero(api.key_mapper_builder_create_key_mapper(builder, &keyMapper));
    api.key_mapper_builder_free(builder);
  }
  // The export syncs its file and directory; on a memory file system that
  // costs nothing, so the target runs at the parser's speed. Elsewhere every
  // input waits for the disk.
  static std::string exportBase() {
    struct statfs shared {};
    if (::statfs("/dev/shm", &shared) == 0 && shared.f_type == TMPFS_MAGIC &&
        ::access("/dev/shm", W_OK) == 0)
      return "/dev/shm";
    char const* base = ::getenv("TMPDIR");
    std::fprintf(stderr, "no writable tmpfs at /dev/shm: exporting to disk, slowly\n");
    return base != nullptr && *base != '\0' ? base : "/tmp";
  }
  void makeExportPath() {
    std::string pattern = exportBase() + "/tamo-import-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      std::abort();
    directory = pattern;
    exportPath = directory + "/exported.cfg";
  }
  static void expectZero(int status) {
    if (status != SETTINGS_NO_ERROR)
      std::abort();
  }
};

Library const& library() {
  static Library const instance;
  return instance;
}

class Context {
 public:
  Context() : context(library().api.context_create()) {
    if (context == nullptr)
      std::abort();
  }
  ~Context() { library().api.context_free(context); }
  Context(Context const&) = delete;
  Context& operator=(Context const&) = delete;
  settings_context_t* get() const { return context; }

 private:
  settings_context_t* context;
};

void checkErrorRecords(Context const& context, Expectation const& expected, std::string_view text,
                       Mode mode) {
  settings_error_desc_t const* records = nullptr;
  int count = -1;
  require(library().api.context_get_last_import_errors(context.get(), &records, &count) == 0,
          "the error records cannot be read", text, mode);
  require(count == static_cast<int>(expected.refusedLines.size()),
          "the error records do not match the refused lines", text, mode);
  for (int i = 0; i < count; ++i) {
    require(records[i].line == expected.refusedLines[static_cast<std::size_t>(i)],
            "an error record names another line", text, mode);
  }
}

void checkInstallerKeys(Context const& context, Expectation const& expected, std::string_view text,
                        Mode mode) {
  settings_api_t const& api = library().api;
  for (InstallerKey const& key : installerKeys()) {
    auto const found = expected.installerKeys.find(key.name);
    int value = -1;
    int const status = api.context_get_integer_value(context.get(), key.name, &value);
    if (found == expected.installerKeys.end()) {
      require(status == SETTINGS_KEY_NOT_FOUND_ERROR, "an installer key is there", text, mode);
    } else if (found->second.hasValue) {
      require(status == 0 && value == found->second.value,
              "an installer key does not read as the integer of its table", text, mode);
    } else {
      require(status == SETTINGS_TYPE_MISMATCH_ERROR, "an installer key has a value", text, mode);
    }
  }
}

void checkRoundTrip(Context const& context, std::string_view text, Mode mode) {
  settings_api_t const& api = library().api;
  require(api.context_export_to_file(context.get(), library().exportPath.c_str()) == 0,
          "the export failed", text, mode);
  Context const reread;
  require(library().importFile(reread.get(), library().exportPath.c_str()) == 0,
          "the exported file does not read back", text, mode);
  int equal = 0;
  require(api.context_is_equal(context.get(), reread.get(), &equal) == 0 && equal == 1,
          "the exported file reads back different", text, mode);
}

void checkImport(std::string const& text, Mode mode) {
  Expectation const expected = expect(text, mode);
  Context const context;
  int const status = library().import(context.get(), text.c_str(), mode);
  require(status == 0 || status == SETTINGS_INVALID_VALUE_ERROR ||
              status == SETTINGS_BUFFER_ENCODING_ERROR,
          "the status is neither 0, 313 nor 314", text, mode);
  require(status == expected.status, "the status is not the expected one", text, mode);
  checkErrorRecords(context, expected, text, mode);
  checkInstallerKeys(context, expected, text, mode);
  // With fail-fast the context is either what it is without (no line
  // refused) or empty, so the exports without fail-fast cover every state;
  // each export syncs to disk and is by far the slowest step.
  if (!mode.failFast)
    checkRoundTrip(context, text, mode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  // The C boundary takes NUL-terminated texts: a NUL ends the text.
  std::string text(reinterpret_cast<char const*>(data), size);
  text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
  for (Mode const& mode : kModes)
    checkImport(text, mode);
  return 0;
}
