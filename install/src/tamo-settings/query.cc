// The subcommands that only read: check, get and list.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "installer_rules.h"
#include "loaded_file.h"
#include "output.h"
#include "tool_error.h"
#include "typed_value.h"

namespace tamo_tool {

namespace {

void requireOperands(Arguments const& arguments, std::size_t least, std::size_t most,
                     char const* form) {
  if (arguments.operands.size() < least || arguments.operands.size() > most)
    throw ToolError(EXIT_USAGE, std::string("usage: tamo-settings ") + form);
}

void printOut(std::string const& text) {
  if (!writeOut(text))
    throw ToolError(EXIT_CANNOT_WRITE,
                    std::string("cannot write to standard output: ") + std::strerror(errno));
}

// Reading tells of refused lines but answers from the accepted ones, as the
// library's users see the file.
LoadedFile loadForReading(std::string const& name, ReadRules const& rules) {
  LoadedFile file = loadFile(name, rules, true, true);
  printRefused(stderr, file, rules);
  return file;
}

// Where a key got its value, for messages: "LINE: " or nothing.
std::string lineOf(LoadedFile const& file, std::string const& key) {
  std::vector<int> const lines = file.keyLines({key}).at(key);
  if (lines.empty())
    return "";
  return "line " + std::to_string(lines.back() + 1) + ": ";
}

void requireUtf8(LoadedFile const& file, std::string const& key, std::string const& value) {
  if (firstInvalidUtf8(key) || firstInvalidUtf8(value))
    fileError(EXIT_REFUSED, file.shownName,
              lineOf(file, key) + "the entry for \"" + printable(key) +
                  "\" is not valid UTF-8, cannot be given as JSON");
}

struct CheckedFile {
  std::string name;
  std::string error;  // empty when read
  std::vector<RefusalReport> refused;
};

std::string checkAsJson(std::vector<CheckedFile> const& files, std::size_t refused) {
  std::string out = "{\"files\":[";
  for (std::size_t i = 0; i < files.size(); ++i) {
    CheckedFile const& file = files[i];
    out += std::string(i == 0 ? "" : ",") + "{\"file\":" + jsonString(file.name) +
           ",\"error\":" + (file.error.empty() ? "null" : jsonString(file.error)) +
           ",\"refused\":[";
    for (std::size_t j = 0; j < file.refused.size(); ++j) {
      RefusalReport const& line = file.refused[j];
      out += std::string(j == 0 ? "" : ",") + "{\"line\":" + std::to_string(line.line) +
             ",\"column\":" + std::to_string(line.column) +
             ",\"message\":" + jsonString(line.message) + "}";
    }
    out += "]}";
  }
  return out + "],\"refused\":" + std::to_string(refused) + "}\n";
}

std::string plural(std::size_t count, char const* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string checkAsText(std::vector<CheckedFile> const& files, std::size_t refused) {
  std::string out;
  std::size_t unreadable = 0;
  for (CheckedFile const& file : files) {
    for (RefusalReport const& line : file.refused)
      out += printable(file.name) + ":" + std::to_string(line.line) + ":" +
             std::to_string(line.column) + ": error: " + line.message + "\n";
    if (!file.error.empty()) {
      out += printable(file.name) + ": error: " + file.error + "\n";
      ++unreadable;
    }
  }
  // A count of refused lines would claim more than was looked at.
  if (unreadable == 0)
    return out + plural(refused, "refused line") + "\n";
  std::string const notRead = plural(unreadable, "file") + " could not be read";
  return out + (refused == 0 ? notRead : plural(refused, "refused line") + "; " + notRead) + "\n";
}

}  // namespace

// The installer's tables give these keys their types; their texts ("Enable")
// are the tables' forms, not the untyped readers'.
bool typedByRules(ReadRules const& rules, std::string const& key) {
  return rules.installer() && (key == KEY_AUTO_UPDATE || key == KEY_WEB_ANALYTICS ||
                               key == KEY_WEB_TAMO || key == KEY_SECURITY_LEVEL);
}

int runCheck(Arguments const& arguments) {
  requireOperands(arguments, 1, static_cast<std::size_t>(-1),
                  "check [--installer] [--json] FILE...");
  ReadRules const rules(arguments.has("--installer"));
  int status = EXIT_DONE;
  std::size_t refused = 0;
  std::vector<CheckedFile> checked;
  bool stdinRead = false;
  for (std::string const& name : arguments.operands) {
    CheckedFile result{name, "", {}};
    try {
      if (name == "-" && stdinRead)
        throw ToolError(EXIT_USAGE, "check: standard input can be read only once");
      stdinRead |= name == "-";
      LoadedFile const file = loadFile(name, rules, true, true);
      result.refused = describeRefused(file, rules);
      refused += result.refused.size();
    } catch (ToolError const& e) {
      // Every file is read, whatever the one before it held.
      std::string message = e.what();
      std::string const shown = printable(name) + ": ";
      if (message.compare(0, shown.size(), shown) == 0)
        message.erase(0, shown.size());
      result.error = message;
      if (status == EXIT_DONE || status == EXIT_NO)
        status = e.status;
    }
    checked.push_back(std::move(result));
  }
  printOut(arguments.has("--json") ? checkAsJson(checked, refused) : checkAsText(checked, refused));
  if (refused != 0 && status == EXIT_DONE)
    status = EXIT_NO;
  return status;
}

int runGet(Arguments const& arguments) {
  requireOperands(arguments, 2, 2, "get [--installer] FILE KEY [--type=TYPE] [--default=VALUE]");
  ValueType const type = valueTypeOf(arguments.value("--type").value_or("text"));
  bool const json = arguments.has("--json");
  if (json && arguments.has("--null"))
    throw ToolError(EXIT_USAGE, "get: --json and --null exclude each other");
  std::optional<std::string> fallback = arguments.value("--default");
  // A default that is not of the type is refused whether or not it is needed.
  if (fallback) {
    try {
      fallback = typedText(*fallback, type);
    } catch (ToolError const& e) {
      throw ToolError(e.status, std::string("get: --default: ") + e.what());
    }
  }
  ReadRules const rules(arguments.has("--installer"));
  LoadedFile file = loadForReading(arguments.operands[0], rules);
  std::string const key = rules.storedKey(arguments.operands[1]);
  std::optional<std::string> answer = fallback;
  if (valueOf(file.context.get(), key)) {
    try {
      answer = typedValue(file.context.get(), key, type, typedByRules(rules, key));
    } catch (ToolError const& e) {
      fileError(e.status, file.shownName, lineOf(file, key) + printable(key) + ": " + e.what());
    }
  }
  if (json) {
    if (answer && type == ValueType::TEXT)
      requireUtf8(file, key, *answer);
    std::string const shown = !answer                   ? "null"
                              : type == ValueType::TEXT ? jsonString(*answer)
                                                        : *answer;
    printOut(shown + "\n");
  } else if (answer) {
    printOut(*answer + (arguments.has("--null") ? std::string(1, '\0') : "\n"));
  }
  return answer ? EXIT_DONE : EXIT_NO;
}

int runList(Arguments const& arguments) {
  requireOperands(arguments, 1, 1, "list [--installer] FILE [--format=lines|json|sh]");
  std::string const format =
      arguments.value("--format").value_or(arguments.has("--json") ? "json" : "lines");
  if (format != "lines" && format != "json" && format != "sh")
    throw ToolError(EXIT_USAGE, "list: --format is lines, json or sh");
  if (arguments.has("--json") && format != "json")
    throw ToolError(EXIT_USAGE, "list: --json prints the json format only");
  if (arguments.has("--null") && format != "lines")
    throw ToolError(EXIT_USAGE, "list: --null goes with the lines format only");
  std::string const prefix = arguments.value("--prefix").value_or("");
  char const end = arguments.has("--null") ? '\0' : '\n';
  ReadRules const rules(arguments.has("--installer"));
  LoadedFile file = loadForReading(arguments.operands[0], rules);
  std::string out = format == "json" ? "{" : "";
  bool first = true;
  for (std::string const& key : keysOf(file.context.get())) {
    std::string const value = valueOf(file.context.get(), key).value_or("");
    std::string const name = prefix + key;
    if (format == "json") {
      requireUtf8(file, name, value);
      out += (first ? "" : ",") + jsonString(name) + ":" + jsonString(value);
    } else if (format == "sh") {
      if (!isShellName(name))
        fileError(EXIT_REFUSED, file.shownName,
                  lineOf(file, key) + "\"" + printable(name) +
                      "\" is not a shell variable name (--prefix may make it one)");
      out += name + "=" + shellQuoted(value) + "\n";
    } else {
      out += name + "=" + value + end;
    }
    first = false;
  }
  printOut(format == "json" ? out + "}\n" : out);
  return EXIT_DONE;
}

}  // namespace tamo_tool
