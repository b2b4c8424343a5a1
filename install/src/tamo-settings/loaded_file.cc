#include "loaded_file.h"

#include <cerrno>
#include <cstring>

#include "installer_rules.h"
#include "settings_file.h"
#include "text_edit.h"
#include "tool_error.h"

namespace tamo_tool {

namespace {

std::string trimmed(std::string const& text) {
  std::size_t const start = text.find_first_not_of(" \t");
  if (start == std::string::npos)
    return "";
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// The accepted texts of an installer key, for a refused value.
std::string acceptedValues(std::string const& storedKey) {
  settings_fixed_value_t const* rows = ENABLE_DISABLE_ARRAY;
  int count = SIZE_ENABLE_DISABLE_ARRAY;
  if (storedKey == KEY_SECURITY_LEVEL) {
    rows = SECURITY_LEVEL_ARRAY;
    count = SIZE_SECURITY_LEVEL_ARRAY;
  } else if (storedKey != KEY_AUTO_UPDATE && storedKey != KEY_WEB_ANALYTICS &&
             storedKey != KEY_WEB_TAMO) {
    return "";
  }
  std::string list;
  for (int i = 0; i < count; ++i)
    list += std::string(i == 0 ? "" : ", ") + rows[i].text;
  return " (accepted: " + list + ", words in any letter case)";
}

std::string describe(RefusedLine const& refused, std::string const& content,
                     ReadRules const& rules) {
  std::string const key = trimmed(content.substr(0, content.find_first_of("=:")));
  switch (refused.kind) {
    case SETTINGS_REFUSED_KEY_WITHOUT_VALUE:
      return "key without value: no \"=\" or \":\" on the line";
    case SETTINGS_REFUSED_EMPTY_KEY:
      return "empty key before the separator";
    case SETTINGS_REFUSED_INVALID_KEY:
      return "invalid key \"" + key + "\" (not UTF-8, or not accepted)";
    case SETTINGS_REFUSED_INVALID_VALUE: {
      std::string const value = trimmed(content.substr(content.find_first_of("=:") + 1));
      std::string const hint = rules.installer() ? acceptedValues(rules.storedKey(key)) : "";
      return "invalid value \"" + value + "\" for \"" + key + "\"" + hint;
    }
    case SETTINGS_REFUSED_INVALID_COMMENT:
      return "invalid comment";
    default:
      return "refused line";
  }
}

}  // namespace

LoadedFile loadFile(std::string const& name, ReadRules const& rules, bool mustExist,
                    WriterLock const* lock) {
  LoadedFile file{name, fileNameOf(name), std::nullopt, newContext(), Import{0, {}}};
  file.bytes =
      lock != nullptr && lock->get() != nullptr ? lock->read() : readSettingsFile(name, file.path);
  if (!file.bytes && mustExist)
    throw ToolError(EXIT_NO_INPUT, name + ": cannot read: " + std::strerror(ENOENT));
  file.import = importText(file.context.get(), file.bytes.value_or(""), rules);
  if (file.import.status == SETTINGS_BUFFER_ENCODING_ERROR)
    throw ToolError(EXIT_REFUSED, name + ": not UTF-8 text");
  return file;
}

void printRefused(std::FILE* out, LoadedFile const& file, ReadRules const& rules) {
  std::vector<Line> const lines = splitLines(file.bytes.value_or(""));
  for (RefusedLine const& refused : file.import.refused) {
    std::string const content =
        static_cast<std::size_t>(refused.line) < lines.size() ? lines[refused.line].content : "";
    std::fprintf(out, "%s:%d:%d: error: %s\n", file.shownName.c_str(), refused.line + 1,
                 refused.character + 1, describe(refused, content, rules).c_str());
  }
}

void requireClean(LoadedFile const& file, ReadRules const& rules) {
  if (file.import.refused.empty())
    return;
  printRefused(stderr, file, rules);
  throw ToolError(EXIT_REFUSED, file.shownName + ": has refused lines; nothing changed");
}

}  // namespace tamo_tool
