// The subcommands that only read: check, get and list.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "loaded_file.h"
#include "report.h"
#include "tool_error.h"

namespace tamo_tool {

namespace {

void requireOperands(Arguments const& arguments, std::size_t least, std::size_t most,
                     char const* form) {
  if (arguments.operands.size() < least || arguments.operands.size() > most)
    throw ToolError(EXIT_USAGE, std::string("usage: tamo-settings ") + form);
}

void printOut(std::string const& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// The shortest text that reads back as the same double.
std::string doubleText(double value) {
  char text[32];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value)
      break;
  }
  return text;
}

// The value read as the asked type, or ToolError 65 when it does not read so.
std::string typedValue(settings_context_t* context, std::string const& key,
                       std::string const& type) {
  int status = SETTINGS_NO_ERROR;
  std::string text;
  if (type == "text") {
    char const* value = nullptr;
    status = api().context_get_utf8_value(context, key.c_str(), &value);
    text = value != nullptr ? value : "";
  } else if (type == "int") {
    int value = 0;
    status = api().context_get_integer_value(context, key.c_str(), &value);
    text = std::to_string(value);
  } else if (type == "bool") {
    int value = 0;
    status = api().context_get_boolean_value(context, key.c_str(), &value);
    text = value != 0 ? "true" : "false";
  } else {
    double value = 0;
    status = api().context_get_double_value(context, key.c_str(), &value);
    text = doubleText(value);
  }
  if (status == SETTINGS_VALUE_FORMAT_ERROR || status == SETTINGS_TYPE_MISMATCH_ERROR)
    throw ToolError(EXIT_REFUSED, "get: the value of " + key + " does not read as " + type);
  if (status != SETTINGS_NO_ERROR)
    internalFailure("reading a value", status);
  return text;
}

// Reading tells of refused lines but answers from the accepted ones, as the
// library's users see the file.
LoadedFile loadForReading(std::string const& name, ReadRules const& rules) {
  LoadedFile file = loadFile(name, rules, true);
  printRefused(stderr, file, rules);
  return file;
}

}  // namespace

int runCheck(Arguments const& arguments) {
  requireOperands(arguments, 1, static_cast<std::size_t>(-1), "check [--installer] FILE...");
  ReadRules const rules(arguments.has("--installer"));
  int status = EXIT_DONE;
  std::size_t refused = 0;
  for (std::string const& name : arguments.operands) {
    try {
      LoadedFile const file = loadFile(name, rules, true);
      printRefused(stdout, file, rules);
      refused += file.import.refused.size();
    } catch (ToolError const& e) {
      // Every file is read, whatever the one before it held.
      std::string message = e.what();
      if (message.compare(0, name.size() + 2, name + ": ") == 0)
        message.erase(0, name.size() + 2);
      std::fprintf(stdout, "%s: error: %s\n", name.c_str(), message.c_str());
      if (status == EXIT_DONE || status == EXIT_NO)
        status = e.status;
    }
  }
  std::fprintf(stdout, "%zu refused line%s\n", refused, refused == 1 ? "" : "s");
  if (refused != 0 && status == EXIT_DONE)
    status = EXIT_NO;
  return status;
}

int runGet(Arguments const& arguments) {
  requireOperands(arguments, 2, 2, "get [--installer] FILE KEY [--type=TYPE] [--default=VALUE]");
  std::string const type = arguments.value("--type").value_or("text");
  if (type != "text" && type != "int" && type != "bool" && type != "double")
    throw ToolError(EXIT_USAGE, "get: --type is text, int, bool or double");
  ReadRules const rules(arguments.has("--installer"));
  LoadedFile const file = loadForReading(arguments.operands[0], rules);
  std::string const key = rules.storedKey(arguments.operands[1]);
  if (!valueOf(file.context.get(), key)) {
    std::optional<std::string> const fallback = arguments.value("--default");
    if (!fallback)
      return EXIT_NO;
    printOut(*fallback + "\n");
    return EXIT_DONE;
  }
  printOut(typedValue(file.context.get(), key, type) + "\n");
  return EXIT_DONE;
}

int runList(Arguments const& arguments) {
  requireOperands(arguments, 1, 1, "list [--installer] FILE [--format=lines|json]");
  std::string const format = arguments.value("--format").value_or("lines");
  if (format != "lines" && format != "json")
    throw ToolError(EXIT_USAGE, "list: --format is lines or json");
  ReadRules const rules(arguments.has("--installer"));
  LoadedFile const file = loadForReading(arguments.operands[0], rules);
  std::string out = format == "json" ? "{" : "";
  bool first = true;
  for (std::string const& key : keysOf(file.context.get())) {
    std::optional<std::string> const value = valueOf(file.context.get(), key);
    if (format == "json") {
      out += (first ? "" : ",") + jsonString(key) + ":" + jsonValue(value);
    } else {
      out += key + "=" + value.value_or("") + "\n";
    }
    first = false;
  }
  printOut(format == "json" ? out + "}\n" : out);
  return EXIT_DONE;
}

}  // namespace tamo_tool
