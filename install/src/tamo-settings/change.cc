// set and unset, and the edit they share with merge -o: only the lines of
// the changed keys are touched, and the result is read back through the
// library before anything is written.
#include "change.h"

#include <memory>

#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "output.h"
#include "settings_file.h"
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
    throw ToolError(EXIT_REFUSED, printable(what) + ": the format cannot hold " + problem);
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
    throw ToolError(EXIT_REFUSED, printable(line) + ": not UTF-8 text");
  std::vector<std::string> const keys = keysOf(single.get());
  if (import.status != SETTINGS_NO_ERROR || keys.size() != 1) {
    int const kind = import.refused.empty() ? 0 : import.refused.front().kind;
    throw ToolError(EXIT_REFUSED, printable(line) + (kind == SETTINGS_REFUSED_INVALID_KEY
                                                         ? ": the key is refused"
                                                         : ": the value is refused"));
  }
  std::string stored = *valueOf(single.get(), keys.front());
  return Stored{keys.front(), std::move(stored), std::move(single)};
}

// The JSON report quotes the file's lines and values; each must be
// well-formed UTF-8, which the library's own check does not demand.
void requireJsonSafe(Change const& change, ChangeReport const& report) {
  std::optional<std::size_t> const bad = firstInvalidUtf8(change.file.body());
  if (bad)
    fileError(EXIT_REFUSED, change.file.shownName,
              "line " + std::to_string(lineAt(change.file, *bad)) +
                  ": not valid UTF-8, cannot be reported as JSON; nothing written");
  for (KeyChange const& key : report.keys) {
    if ((key.after && firstInvalidUtf8(*key.after)) || firstInvalidUtf8(key.key))
      fileError(EXIT_REFUSED, change.file.shownName,
                "the entry for " + printable(key.key) +
                    " is not valid UTF-8, cannot be reported as JSON; nothing written");
  }
}

void requireOperands(Arguments const& arguments, char const* form) {
  if (arguments.operands.size() < 2)
    throw ToolError(EXIT_USAGE, std::string("usage: tamo-settings ") + form);
}

}  // namespace

Change::Change(std::unique_ptr<WriterLock> lock, LoadedFile file)
    : lock(std::move(lock)), file(std::move(file)), edit(this->file.body()) {}

void Change::note(std::string const& key) {
  for (std::string const& known : keys)
    if (known == key)
      return;
  keys.push_back(key);
  before.push_back(valueOf(intended(), key));
}

Change startChange(std::string const& name, ReadRules const& rules, Arguments const& arguments) {
  if (name == "-")
    throw ToolError(EXIT_USAGE, "standard input cannot be edited (a file named - is ./-)");
  if (arguments.has(kFolderToBeMade) && arguments.has("--check"))
    return Change(std::make_unique<WriterLock>(arguments, name, fileNameOf(name)),
                  absentFile(name, rules));
  return startChange(name, rules, std::make_unique<WriterLock>(arguments, name, fileNameOf(name)));
}

Change startChange(std::string const& name, ReadRules const& rules,
                   std::unique_ptr<WriterLock> lock) {
  if (name == "-")
    throw ToolError(EXIT_USAGE, "standard input cannot be edited (a file named - is ./-)");
  LoadedFile file = loadFile(name, rules, false, false, lock.get());
  requireClean(file, rules);
  return Change(std::move(lock), std::move(file));
}

void editNotedKeys(Change& change) {
  KeyLines const keyLines = change.file.keyLines(change.keys);
  for (std::size_t i = 0; i < change.keys.size(); ++i) {
    std::string const& key = change.keys[i];
    std::optional<std::string> const& before = change.before[i];
    std::optional<std::string> const after = valueOf(change.intended(), key);
    std::vector<int> const& lines = keyLines.at(key);
    if (before == after)
      continue;
    if (!after) {
      for (int line : lines)
        change.edit.remove(line);
    } else if (before && !lines.empty()) {
      change.edit.replace(lines.back(), withValue(change.edit.content(lines.back()), *after));
    } else {
      change.edit.append(key + "=" + *after);
    }
  }
}

int finish(Change& change, ReadRules const& rules, OutputOptions const& options) {
  ChangeReport report;
  report.file = change.file.shownName;
  for (std::size_t i = 0; i < change.keys.size(); ++i) {
    std::string const& key = change.keys[i];
    report.keys.push_back(KeyChange{key, change.before[i], valueOf(change.intended(), key)});
  }
  std::string_view const original =
      change.file.bytes ? std::string_view(*change.file.bytes) : std::string_view();
  // A byte order mark stays where it was, in front of the edited lines.
  std::string const edited = change.edit.text(original.substr(0, change.file.signature));
  if (edited != original) {
    requireReadableSize(change.file.shownName, edited);
    Context readBack = newContext();
    Import const import = importText(readBack.get(), edited, rules);
    if (import.status != SETTINGS_NO_ERROR || !isEqual(readBack.get(), change.intended()))
      fileError(EXIT_INTERNAL, change.file.shownName,
                "the edited text would not read back as intended; nothing written");
    report.textChanged = true;
    if (options.showsDiff())
      report.diff = change.edit.diff(change.file.shownName);
  }
  if (options.json)
    requireJsonSafe(change, report);
  int const status = finishChange(report, options, [&] {
    writeSettingsFile(change.file.shownName, change.file.path, change.file.bytes, edited,
                      change.lock->get());
  });
  change.lock->release();
  return status;
}

int runSet(Arguments const& arguments) {
  requireOperands(arguments, "set [OPTIONS] FILE KEY=VALUE...");
  ReadRules const rules(arguments.has("--installer"));
  Change change = startChange(arguments.operands[0], rules, arguments);
  // The new entries are gathered first and merged over the file's once: a
  // merge copies the whole configuration.
  Context entries = newContext();
  for (std::size_t i = 1; i < arguments.operands.size(); ++i) {
    std::string const& operand = arguments.operands[i];
    std::size_t const equals = operand.find('=');
    if (equals == std::string::npos)
      throw ToolError(EXIT_USAGE, "set: " + printable(operand) + " is not KEY=VALUE");
    Stored const entry = storedEntry(operand.substr(0, equals), operand.substr(equals + 1), rules);
    mergeInto(entries.get(), entry.entry.get());
    change.note(entry.key);
  }
  mergeInto(change.intended(), entries.get());
  editNotedKeys(change);
  return finish(change, rules, outputOptionsOf(arguments));
}

int runUnset(Arguments const& arguments) {
  requireOperands(arguments, "unset [OPTIONS] FILE KEY...");
  ReadRules const rules(arguments.has("--installer"));
  Change change = startChange(arguments.operands[0], rules, arguments);
  for (std::size_t i = 1; i < arguments.operands.size(); ++i) {
    std::string const& key = arguments.operands[i];
    refuseIf(keyProblem(key), key);
    std::string const stored = rules.storedKey(key);
    change.note(stored);
    if (!valueOf(change.intended(), stored))
      continue;
    eraseKey(change.intended(), stored);
  }
  editNotedKeys(change);
  return finish(change, rules, outputOptionsOf(arguments));
}

}  // namespace tamo_tool
