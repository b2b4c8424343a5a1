#include "loaded_file.h"

#include <unistd.h>

#include <algorithm>
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
    case kRefusedNul:
      return "NUL byte: every reader ends the line's key, value or comment there";
    case SETTINGS_REFUSED_KEY_WITHOUT_VALUE:
      return "key without value: no \"=\" or \":\" on the line";
    case SETTINGS_REFUSED_EMPTY_KEY:
      return "empty key before the separator";
    case SETTINGS_REFUSED_INVALID_KEY:
      return "invalid key \"" + printable(key) + "\" (not UTF-8, or not accepted)";
    case SETTINGS_REFUSED_INVALID_VALUE: {
      std::string const value = trimmed(content.substr(content.find_first_of("=:") + 1));
      std::string const hint = rules.installer() ? acceptedValues(rules.storedKey(key)) : "";
      return "invalid value \"" + printable(value) + "\" for \"" + printable(key) + "\"" + hint;
    }
    case SETTINGS_REFUSED_INVALID_COMMENT:
      return "invalid comment";
    default:
      return "refused line";
  }
}

// A NUL in a line the library accepted: it ends that line's key, value or
// comment for every reader.
void addNulLines(LoadedFile& file) {
  std::string_view const body = file.body();
  if (body.find('\0') == std::string_view::npos)
    return;
  std::vector<RefusedLine>& refused = file.import.refused;
  std::vector<Line> const lines = splitLines(body);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::size_t const nul = lines[i].content.find('\0');
    if (nul == std::string::npos)
      continue;
    int const line = static_cast<int>(i);
    bool const known = std::any_of(refused.begin(), refused.end(),
                                   [&](RefusedLine const& r) { return r.line == line; });
    if (!known)
      refused.push_back(RefusedLine{line, static_cast<int>(nul), kRefusedNul});
  }
  std::stable_sort(refused.begin(), refused.end(),
                   [](RefusedLine const& a, RefusedLine const& b) { return a.line < b.line; });
}

std::string readStandardInput() {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t const got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got == 0)
      return text;
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      fileError(errno == EACCES ? EXIT_NO_PERMISSION : EXIT_NO_INPUT, "-",
                std::string("cannot read: ") + std::strerror(errno));
    text.append(buffer, static_cast<std::size_t>(got));
    requireReadableSize("-", text);
  }
}

}  // namespace

LoadedFile absentFile(std::string const& name, ReadRules const& rules) {
  LoadedFile file{name, fileNameOf(name), std::nullopt, 0, newContext(), Import{0, {}}};
  file.import = importText(file.context.get(), std::string_view(), rules);
  return file;
}

std::string_view LoadedFile::body() const {
  return bytes ? std::string_view(*bytes).substr(signature) : std::string_view();
}

LoadedFile loadFile(std::string const& name, ReadRules const& rules, bool mustExist,
                    bool stdinAllowed, WriterLock const* lock) {
  bool const standardInput = stdinAllowed && name == "-";
  LoadedFile file{
      name, standardInput ? "" : fileNameOf(name), std::nullopt, 0, newContext(), Import{0, {}}};
  if (standardInput)
    file.bytes = readStandardInput();
  else if (lock != nullptr && lock->get() != nullptr)
    file.bytes = lock->read();
  else
    file.bytes = readSettingsFile(name, file.path);
  if (!file.bytes && mustExist)
    fileError(EXIT_NO_INPUT, name, std::string("cannot read: ") + std::strerror(ENOENT));
  // The library skips a leading byte order mark the same way.
  if (file.bytes && std::string_view(*file.bytes).substr(0, 3) == "\xEF\xBB\xBF")
    file.signature = 3;
  file.import = importText(file.context.get(),
                           file.bytes ? std::string_view(*file.bytes) : std::string_view(), rules);
  if (file.import.status == SETTINGS_BUFFER_ENCODING_ERROR)
    fileError(EXIT_REFUSED, name, "not UTF-8 text");
  addNulLines(file);
  return file;
}

std::vector<RefusalReport> describeRefused(LoadedFile const& file, ReadRules const& rules) {
  std::vector<RefusalReport> reports;
  if (file.import.refused.empty())
    return reports;
  std::vector<Line> const lines = splitLines(file.body());
  for (RefusedLine const& refused : file.import.refused) {
    std::string const content =
        static_cast<std::size_t>(refused.line) < lines.size() ? lines[refused.line].content : "";
    reports.push_back(
        RefusalReport{refused.line + 1, refused.character + 1, describe(refused, content, rules)});
  }
  return reports;
}

void printRefused(std::FILE* out, LoadedFile const& file, ReadRules const& rules) {
  for (RefusalReport const& report : describeRefused(file, rules))
    std::fprintf(out, "%s:%d:%d: error: %s\n", printable(file.shownName).c_str(), report.line,
                 report.column, report.message.c_str());
}

void requireClean(LoadedFile const& file, ReadRules const& rules) {
  if (file.import.refused.empty())
    return;
  printRefused(stderr, file, rules);
  fileError(EXIT_REFUSED, file.shownName, "has refused lines; nothing changed");
}

int lineAt(LoadedFile const& file, std::size_t offset) {
  std::vector<Line> const lines = splitLines(file.body().substr(0, offset));
  bool const endsLine = !lines.empty() && !lines.back().end.empty();
  return static_cast<int>(lines.size()) + (endsLine || lines.empty() ? 1 : 0);
}

}  // namespace tamo_tool
