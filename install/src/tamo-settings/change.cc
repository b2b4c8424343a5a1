// set and unset: edits that touch only the lines of the changed keys, read
// back through the library before anything is written.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "loaded_file.h"
#include "report.h"
#include "settings_file.h"
#include "text_edit.h"
#include "tool_error.h"

namespace tamo_tool {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// Why the format cannot hold this key, or nothing.
std::string keyProblem(std::string const& key) {
  if (key.empty())
    return "an empty key";
  if (key.find_first_of("\r\n") != std::string::npos)
    return "a line end in the key";
  if (key.find_first_of("=:") != std::string::npos)
    return "\"=\" or \":\" in the key";
  if (isBlank(key.front()) || isBlank(key.back()))
    return "blanks at the ends of the key";
  if (key.front() == '#')
    return "a key that begins with \"#\" (a comment)";
  return "";
}

std::string valueProblem(std::string const& value) {
  if (value.find_first_of("\r\n") != std::string::npos)
    return "a line end in the value";
  if (!value.empty() && (isBlank(value.front()) || isBlank(value.back())))
    return "blanks at the ends of the value";
  return "";
}

void refuseIf(std::string const& problem, std::string const& what) {
  if (!problem.empty())
    throw ToolError(EXIT_REFUSED, what + ": the format cannot hold " + problem);
}

// One entry as the rules store it: the mapped key and the value's text.
struct Stored {
  std::string key;
  std::string value;
  Context entry;  // holding just this entry, typed as the rules type it
};

Stored storedEntry(std::string const& key, std::string const& value, ReadRules const& rules) {
  std::string const line = key + "=" + value;
  refuseIf(keyProblem(key), line);
  refuseIf(valueProblem(value), line);
  Context single = newContext();
  Import const import = importText(single.get(), line, rules);
  if (import.status == SETTINGS_BUFFER_ENCODING_ERROR)
    throw ToolError(EXIT_REFUSED, line + ": not UTF-8 text");
  std::vector<std::string> const keys = keysOf(single.get());
  if (import.status != SETTINGS_NO_ERROR || keys.size() != 1) {
    int const kind = import.refused.empty() ? 0 : import.refused.front().kind;
    throw ToolError(EXIT_REFUSED,
                    line + (kind == SETTINGS_REFUSED_INVALID_KEY ? ": the key is refused"
                                                                 : ": the value is refused"));
  }
  std::string stored = *valueOf(single.get(), keys.front());
  return Stored{keys.front(), std::move(stored), std::move(single)};
}

// Every line that defines key, last first: each found line is blanked in a
// scratch copy and the copy read again, until the key is gone.
std::vector<int> linesOfKey(LoadedFile const& file, std::string const& key,
                            ReadRules const& rules) {
  std::vector<int> found;
  std::vector<Line> scratch = splitLines(file.bytes.value_or(""));
  for (int line = keyLine(file.context.get(), key); line >= 0;) {
    found.push_back(line);
    scratch.at(line).content.clear();
    Context again = newContext();
    importText(again.get(), joinLines(scratch), rules);
    line = keyLine(again.get(), key);
  }
  return found;
}

struct Change {
  std::unique_ptr<WriterLock> lock;  // taken before the file is read
  LoadedFile file;
  Context intended;
  TextEdit edit;
  std::vector<std::string> keys;  // stored keys, in the order first named

  void note(std::string const& key) {
    for (std::string const& known : keys)
      if (known == key)
        return;
    keys.push_back(key);
  }
};

Change startChange(Arguments const& arguments, ReadRules const& rules, char const* form) {
  if (arguments.operands.size() < 2)
    throw ToolError(EXIT_USAGE, std::string("usage: tamo-settings ") + form);
  std::string const& name = arguments.operands[0];
  auto lock = std::make_unique<WriterLock>(arguments, name, fileNameOf(name));
  LoadedFile file = loadFile(name, rules, false, lock.get());
  requireClean(file, rules);
  Context intended = newContext();
  mergeInto(intended.get(), file.context.get());
  TextEdit edit(file.bytes.value_or(""));
  return Change{std::move(lock), std::move(file), std::move(intended), std::move(edit), {}};
}

// Reads the edited text back, writes it when it differs and reports.
int finish(Change& change, ReadRules const& rules, OutputOptions const& options) {
  ChangeReport report;
  for (std::string const& key : change.keys) {
    report.keys.push_back(KeyChange{key, valueOf(change.file.context.get(), key),
                                    valueOf(change.intended.get(), key)});
  }
  std::string const original = change.file.bytes.value_or("");
  std::string const edited = change.edit.text();
  if (edited != original) {
    requireReadableSize(change.file.shownName, edited);
    Context readBack = newContext();
    Import const import = importText(readBack.get(), edited, rules);
    if (import.status != SETTINGS_NO_ERROR || !isEqual(readBack.get(), change.intended.get()))
      throw ToolError(EXIT_INTERNAL, change.file.shownName +
                                         ": the edited text would not read back as intended; "
                                         "nothing written");
    report.diff = change.edit.diff(change.file.shownName);
    if (!options.checkOnly)
      writeSettingsFile(change.file.shownName, change.file.path, change.file.bytes, edited,
                        change.lock->get());
  }
  change.lock->release();
  return finishChange(report, options);
}

}  // namespace

int runSet(Arguments const& arguments) {
  ReadRules const rules(arguments.has("--installer"));
  Change change = startChange(arguments, rules, "set [OPTIONS] FILE KEY=VALUE...");
  for (std::size_t i = 1; i < arguments.operands.size(); ++i) {
    std::string const& operand = arguments.operands[i];
    std::size_t const equals = operand.find('=');
    if (equals == std::string::npos)
      throw ToolError(EXIT_USAGE, "set: " + operand + " is not KEY=VALUE");
    Stored const entry = storedEntry(operand.substr(0, equals), operand.substr(equals + 1), rules);
    mergeInto(change.intended.get(), entry.entry.get());
    change.note(entry.key);
  }
  for (std::string const& key : change.keys) {
    std::optional<std::string> const before = valueOf(change.file.context.get(), key);
    std::string const after = *valueOf(change.intended.get(), key);
    if (before == after)
      continue;
    if (before) {
      int const line = keyLine(change.file.context.get(), key);
      std::vector<Line> const lines = splitLines(*change.file.bytes);
      change.edit.replace(line, withValue(lines.at(line).content, after));
    } else {
      change.edit.append(key + "=" + after);
    }
  }
  return finish(change, rules, outputOptionsOf(arguments));
}

int runUnset(Arguments const& arguments) {
  ReadRules const rules(arguments.has("--installer"));
  Change change = startChange(arguments, rules, "unset [OPTIONS] FILE KEY...");
  for (std::size_t i = 1; i < arguments.operands.size(); ++i) {
    std::string const& key = arguments.operands[i];
    refuseIf(keyProblem(key), key);
    std::string const stored = rules.storedKey(key);
    change.note(stored);
    if (!valueOf(change.intended.get(), stored))
      continue;
    eraseKey(change.intended.get(), stored);
    for (int line : linesOfKey(change.file, stored, rules))
      change.edit.remove(line);
  }
  return finish(change, rules, outputOptionsOf(arguments));
}

}  // namespace tamo_tool
