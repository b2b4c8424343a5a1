#include "library.h"

#include <string>

#include "installer_rules.h"
#include "tool_error.h"

namespace tamo_tool {

// The library fills a caller's copy of each table; one copy each will do.
template <typename Table, typename Getter>
Table filledTable(Getter get) {
  Table table{};
  get(&table);
  return table;
}

settings_api_t const& api() {
  static settings_api_t const table = filledTable<settings_api_t>(settings_api_get);
  return table;
}

settings_api2_t const& api2() {
  static settings_api2_t const table = filledTable<settings_api2_t>(settings_api2_get);
  return table;
}

settings_api4_t const& api4() {
  static settings_api4_t const table = filledTable<settings_api4_t>(settings_api4_get);
  return table;
}

settings_api5_t const& api5() {
  static settings_api5_t const table = filledTable<settings_api5_t>(settings_api5_get);
  return table;
}

void internalFailure(char const* what, int status) {
  throw ToolError(EXIT_INTERNAL,
                  std::string(what) + " failed with status " + std::to_string(status));
}

namespace {

void require(char const* what, int status) {
  if (status != SETTINGS_NO_ERROR)
    internalFailure(what, status);
}

}  // namespace

Context newContext() {
  Context context(api().context_create());
  if (!context)
    throw ToolError(EXIT_INTERNAL, "out of memory");
  require("context_set_stderr_reports", api2().context_set_stderr_reports(context.get(), 0));
  return context;
}

ReadRules::ReadRules(bool installer) {
  if (!installer)
    return;
  require("the installer's validator", createInstallerValidator(api(), &validator));
  int const status = createInstallerKeyMapper(api(), &keyMapper);
  if (status != SETTINGS_NO_ERROR) {
    api().validator_free(validator);
    internalFailure("the installer's key mapper", status);
  }
}

ReadRules::~ReadRules() {
  api().key_mapper_free(keyMapper);
  api().validator_free(validator);
}

std::string ReadRules::storedKey(std::string const& key) const {
  if (keyMapper == nullptr)
    return key;
  // The mapper alone, through an import of the key with an empty value, so
  // that the key is mapped exactly as a file's key is.
  Context context = newContext();
  int const status = api().context_import_from_string(context.get(), (key + "=").c_str(), nullptr,
                                                      keyMapper, 0, 0);
  std::vector<std::string> const keys = keysOf(context.get());
  return status == SETTINGS_NO_ERROR && keys.size() == 1 ? keys.front() : key;
}

Import importText(settings_context_t* context, std::string_view text, ReadRules const& rules) {
  Import result;
  result.status = api2().context_import_from_buffer(context, text.data(), text.size(),
                                                    rules.validator, rules.keyMapper, 0, 0);
  if (result.status != SETTINGS_NO_ERROR && result.status != SETTINGS_INVALID_VALUE_ERROR &&
      result.status != SETTINGS_BUFFER_ENCODING_ERROR)
    internalFailure("context_import_from_buffer", result.status);
  settings_refused_line_t const* lines = nullptr;
  int count = 0;
  require("context_get_last_import_refused_lines",
          api2().context_get_last_import_refused_lines(context, &lines, &count));
  for (int i = 0; i < count; ++i)
    result.refused.push_back(RefusedLine{lines[i].line, lines[i].character, lines[i].kind});
  return result;
}

KeyLines keyLinesOf(settings_context_t* context, std::vector<std::string> const& keys) {
  settings_key_line_t const* lines = nullptr;
  int count = 0;
  require("context_get_key_lines", api2().context_get_key_lines(context, &lines, &count));
  KeyLines byKey;
  for (std::string const& key : keys)
    byKey[key];
  for (int i = 0; i < count; ++i) {
    auto const wanted = byKey.find(std::string_view(lines[i].key));
    if (wanted != byKey.end())
      wanted->second.push_back(lines[i].line);
  }
  return byKey;
}

std::vector<std::string> keysOf(settings_context_t* context) {
  std::vector<std::string> keys;
  require("context_iterate_keys",
          api().context_iterate_keys(
              context,
              [](settings_context_t*, int, int, char const* key, void* userData) {
                static_cast<std::vector<std::string>*>(userData)->push_back(key);
              },
              &keys));
  return keys;
}

std::optional<std::string> valueOf(settings_context_t* context, std::string const& key) {
  char const* text = nullptr;
  int const status = api().context_get_utf8_value(context, key.c_str(), &text);
  if (status == SETTINGS_KEY_NOT_FOUND_ERROR)
    return std::nullopt;
  require("context_get_utf8_value", status);
  return std::string(text);
}

int keyLine(settings_context_t* context, std::string const& key) {
  int line = -1;
  int const status = api2().context_get_key_line(context, key.c_str(), &line);
  if (status == SETTINGS_KEY_NOT_FOUND_ERROR)
    return -1;
  require("context_get_key_line", status);
  return line;
}

std::string exportText(settings_context_t* context) {
  char const* text = nullptr;
  require("context_export_to_string", api2().context_export_to_string(context, &text));
  return text;
}

bool isEqual(settings_context_t* context, settings_context_t* other) {
  int equal = 0;
  require("context_is_equal", api().context_is_equal(context, other, &equal));
  return equal != 0;
}

void mergeInto(settings_context_t* target, settings_context_t* source) {
  require("context_import_from_context", api().context_import_from_context(target, source));
}

void eraseKey(settings_context_t* context, std::string const& key) {
  int const status = api().context_erase_key(context, key.c_str());
  if (status != SETTINGS_KEY_NOT_FOUND_ERROR)
    require("context_erase_key", status);
}

}  // namespace tamo_tool
