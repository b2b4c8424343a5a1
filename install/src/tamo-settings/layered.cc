#include "layered.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "change.h"
#include "commands.h"
#include "library.h"
#include "output.h"
#include "settings_file.h"
#include "tool_error.h"
#include "typed_value.h"

namespace tamo_tool {

namespace {

struct LayoutFree {
  void operator()(settings_layout_t* layout) const noexcept { api5().settings_layout_free(layout); }
};
using Layout = std::unique_ptr<settings_layout_t, LayoutFree>;

char const* const kFateNames[] = {"applied",          "mask",
                                  "replaced",         "masked",
                                  "skipped (hidden)", "skipped (leftover)",
                                  "skipped (suffix)", "dangling link",
                                  "refused"};

[[noreturn]] void usage(std::string const& message) {
  throw ToolError(EXIT_USAGE, message + " (see tamo-settings --help)");
}

void printOut(std::string const& text) {
  if (!writeOut(text))
    throw ToolError(EXIT_CANNOT_WRITE,
                    std::string("cannot write to standard output: ") + std::strerror(errno));
}

void requireOperands(Arguments const& arguments, std::size_t least, std::size_t most,
                     char const* form) {
  if (arguments.operands.size() < least || arguments.operands.size() > most)
    usage(std::string("usage: tamo-settings ") + form);
}

std::vector<std::string> split(std::string const& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

void configure(int status, char const* option, std::string const& value) {
  if (status != SETTINGS_NO_ERROR)
    usage(std::string(option) + ": \"" + printable(value) + "\" is not usable here");
}

// The drop-ins' suffix as the library chooses it when none is given.
std::string suffixOf(Arguments const& arguments) {
  if (auto const given = arguments.value("--suffix"))
    return *given;
  std::string const main = *arguments.value("--layout");
  std::size_t const dot = main.rfind('.');
  return dot == std::string::npos || dot == 0 ? ".conf" : main.substr(dot);
}

// The layout the options name, and how many hierarchies it has.
struct Named {
  Layout layout;
  int hierarchies = 0;
};

Named layoutOf(Arguments const& arguments) {
  std::string const main = *arguments.value("--layout");
  settings_layout_t* raw = nullptr;
  configure(api5().settings_layout_create(main.c_str(), &raw), "--layout", main);
  Named named{Layout(raw)};
  std::optional<std::string> const project = arguments.value("--project");
  std::optional<std::string> const folders = arguments.value("--hierarchies");
  if (project.has_value() == folders.has_value())
    usage("--layout needs either --project or --hierarchies");
  if (project) {
    configure(api5().settings_layout_add_default_hierarchies(raw, project->c_str()), "--project",
              *project);
    named.hierarchies = 3;
  }
  for (std::string const& folder : folders ? split(*folders, ':') : std::vector<std::string>{}) {
    configure(api5().settings_layout_add_hierarchy(raw, folder.c_str()), "--hierarchies", folder);
    ++named.hierarchies;
  }
  if (auto const suffix = arguments.value("--suffix"))
    configure(api5().settings_layout_set_suffix(raw, suffix->c_str()), "--suffix", *suffix);
  if (auto const root = arguments.value("--root"))
    configure(api5().settings_layout_set_root(raw, root->c_str()), "--root", *root);
  return named;
}

// A layout read with the rules, and what the import said.
struct Reading {
  Named named;
  Context context = newContext();
  int status = SETTINGS_NO_ERROR;

  settings_layout_t* layout() const { return named.layout.get(); }
  int fileCount() const {
    int count = 0;
    api5().settings_layout_file_count(layout(), &count);
    return count;
  }
  std::string path(int index) const {
    char const* text = "";
    api5().settings_layout_file(layout(), index, &text, nullptr, nullptr, nullptr);
    return text;
  }
  int hierarchy(int index) const {
    int value = 0;
    api5().settings_layout_file(layout(), index, nullptr, &value, nullptr, nullptr);
    return value;
  }
};

struct Origin {
  int file = -1;
  int line = -1;
  int why = SETTINGS_ORIGIN_EFFECTIVE;
  int by = -1;
  std::optional<std::string> value;
};

std::vector<Origin> chainOf(Reading const& reading, std::string const& key) {
  std::vector<Origin> chain;
  int count = 0;
  if (api5().settings_layout_key_origin_count(reading.layout(), key.c_str(), &count) != 0)
    return chain;
  for (int i = 0; i < count; ++i) {
    Origin origin;
    char const* value = nullptr;
    api5().settings_layout_key_origin(reading.layout(), key.c_str(), i, &origin.file, &origin.line,
                                      &origin.why, &origin.by, &value);
    if (value != nullptr)
      origin.value = value;
    chain.push_back(origin);
  }
  return chain;
}

std::optional<Origin> effectiveOrigin(Reading const& reading, std::string const& key) {
  std::vector<Origin> const chain = chainOf(reading, key);
  if (chain.empty() || chain.back().why != SETTINGS_ORIGIN_EFFECTIVE)
    return std::nullopt;
  return chain.back();
}

// The file at fault in a failed import, named as the library found it.
[[noreturn]] void failImport(Arguments const& arguments, Reading const& reading) {
  for (int i = reading.fileCount(); i-- > 0;) {
    int fate = 0;
    api5().settings_layout_file(reading.layout(), i, nullptr, nullptr, &fate, nullptr);
    if (fate != SETTINGS_LAYOUT_REFUSED)
      continue;
    settings_file_report_t report{};
    api5().settings_layout_file_report(reading.layout(), i, &report);
    failRead(reading.path(i), reading.status, report);
  }
  settings_file_report_t report{};
  report.owner = -1;
  failRead("--layout=" + *arguments.value("--layout"), reading.status, report);
}

Reading readLayout(Arguments const& arguments, ReadRules const& rules, bool failOnFiles = true) {
  Reading reading{layoutOf(arguments)};
  reading.status = api5().context_import_layout(reading.context.get(), reading.layout(),
                                                rules.validator, rules.keyMapper, 0, 0);
  bool const read =
      reading.status == SETTINGS_NO_ERROR || reading.status == SETTINGS_INVALID_VALUE_ERROR;
  if (!read && failOnFiles)
    failImport(arguments, reading);
  return reading;
}

std::string place(Reading const& reading, Origin const& origin) {
  return reading.path(origin.file) + ":" + std::to_string(origin.line + 1);
}

struct RefusedIn {
  int line;
  int column;
  std::string message;
};

std::vector<RefusedIn> refusedIn(Reading const& reading, int file) {
  settings_refused_line_t const* lines = nullptr;
  int count = 0;
  api5().settings_layout_refused_lines(reading.layout(), file, &lines, &count);
  std::vector<RefusedIn> refused;
  for (int i = 0; i < count; ++i)
    refused.push_back({lines[i].line + 1, lines[i].character + 1, lines[i].message});
  return refused;
}

// Refused lines are told on standard error by every reading command, as for
// a single file.
void printRefused(Reading const& reading) {
  for (int i = 0; i < reading.fileCount(); ++i)
    for (RefusedIn const& line : refusedIn(reading, i))
      std::fprintf(stderr, "%s:%d:%d: error: %s\n", printable(reading.path(i)).c_str(), line.line,
                   line.column, terminalSafe(line.message).c_str());
}

std::string whyText(Reading const& reading, Origin const& origin) {
  std::string const by = origin.by >= 0 ? reading.path(origin.by) : "";
  switch (origin.why) {
    case SETTINGS_ORIGIN_LATER_LINE:
      return "overridden by a later line";
    case SETTINGS_ORIGIN_LATER_FILE:
      return "overridden by " + by;
    case SETTINGS_ORIGIN_REPLACED:
      return "file replaced by " + by;
    case SETTINGS_ORIGIN_MASKED:
      return "file masked by " + by;
    default:
      return "effective";
  }
}

std::string originJson(Reading const& reading, Origin const& origin, bool typed = false) {
  std::string out =
      "{\"value\":" + (typed ? origin.value.value_or("null") : jsonValue(origin.value)) +
      ",\"file\":" + jsonString(reading.path(origin.file)) +
      ",\"line\":" + std::to_string(origin.line + 1);
  if (origin.why != SETTINGS_ORIGIN_EFFECTIVE)
    out += ",\"lost\":" + jsonString(whyText(reading, origin));
  return out + "}";
}

char endOf(Arguments const& arguments) {
  return arguments.has("--null") ? '\0' : '\n';
}

}  // namespace

bool namesLayout(Arguments const& arguments) {
  return arguments.has("--layout");
}

int runLayeredList(Arguments const& arguments) {
  requireOperands(arguments, 0, 0, "list --layout=NAME (--project=P | --hierarchies=D:D) [--json]");
  std::string const format = arguments.value("--format").value_or("lines");
  if ((format != "lines" && format != "json") || arguments.has("--prefix"))
    usage("list: a layout is listed as lines or json, each value with its origin");
  ReadRules const rules(arguments.has("--installer"));
  Reading const reading = readLayout(arguments, rules);
  printRefused(reading);
  bool const json = arguments.has("--json") || arguments.value("--format") == "json";
  std::string out = json ? "{" : "";
  for (std::string const& key : keysOf(reading.context.get())) {
    std::optional<Origin> origin = effectiveOrigin(reading, key);
    std::string const value = valueOf(reading.context.get(), key).value_or("");
    if (json) {
      out += (out.size() > 1 ? "," : "") + jsonString(key) + ":" +
             (origin ? originJson(reading, *origin) : "{\"value\":" + jsonString(value) + "}");
    } else {
      out += (origin ? place(reading, *origin) : std::string("-")) + "\t" + key + "=" + value +
             endOf(arguments);
    }
  }
  printOut(json ? out + "}\n" : out);
  return EXIT_DONE;
}

int runLayeredGet(Arguments const& arguments) {
  requireOperands(arguments, 1, 1,
                  "get --layout=NAME (--project=P | --hierarchies=D:D) KEY [--all]");
  if (arguments.has("--default"))
    usage("get: --default is for a file; a layout's absent key exits 1");
  ValueType const type = valueTypeOf(arguments.value("--type").value_or("text"));
  bool const typed = type != ValueType::TEXT;
  if (typed && arguments.has("--all"))
    usage("get: --type reads the effective value; --all shows every line as written");
  ReadRules const rules(arguments.has("--installer"));
  Reading const reading = readLayout(arguments, rules);
  printRefused(reading);
  std::string const key = rules.storedKey(arguments.operands[0]);
  std::vector<Origin> chain = chainOf(reading, key);
  std::optional<Origin> effective = effectiveOrigin(reading, key);
  if (effective && typed) {
    try {
      effective->value = typedValue(reading.context.get(), key, type, typedByRules(rules, key));
    } catch (ToolError const& e) {
      fileError(e.status, place(reading, *effective), printable(key) + ": " + e.what());
    }
  }
  if (!arguments.has("--all"))
    chain = effective ? std::vector<Origin>{*effective} : std::vector<Origin>{};
  bool const json = arguments.has("--json");
  std::string out = json && arguments.has("--all") ? "[" : "";
  for (std::size_t i = 0; i < chain.size(); ++i) {
    Origin const& origin = chain[i];
    if (json) {
      out += (i ? "," : "") + originJson(reading, origin, typed);
      continue;
    }
    out += place(reading, origin) + "\t" + origin.value.value_or("");
    if (arguments.has("--all"))
      out += "\t" + whyText(reading, origin);
    out += endOf(arguments);
  }
  if (json)
    out = arguments.has("--all") ? out + "]\n" : (chain.empty() ? "null\n" : out + "\n");
  printOut(out);
  return effective ? EXIT_DONE : EXIT_NO;
}

int runFiles(Arguments const& arguments) {
  if (!namesLayout(arguments))
    usage("files: --layout is needed");
  requireOperands(arguments, 0, 0, "files --layout=NAME (--project=P | --hierarchies=D:D)");
  ReadRules const rules(arguments.has("--installer"));
  Reading const reading = readLayout(arguments, rules, false);
  bool const json = arguments.has("--json");
  std::string out = json ? "[" : "";
  for (int i = 0; i < reading.fileCount(); ++i) {
    int fate = 0, by = -1;
    api5().settings_layout_file(reading.layout(), i, nullptr, nullptr, &fate, &by);
    std::string const byPath = by >= 0 ? reading.path(by) : "";
    if (json)
      out += std::string(i ? "," : "") + "{\"file\":" + jsonString(reading.path(i)) +
             ",\"fate\":" + jsonString(kFateNames[fate]) +
             ",\"by\":" + (by >= 0 ? jsonString(byPath) : "null") + "}";
    else
      out += printable(reading.path(i)) + "\t" + kFateNames[fate] +
             (by >= 0 ? " by " + printable(byPath) : "") + "\n";
  }
  printOut(json ? out + "]\n" : out);
  if (reading.status != SETTINGS_NO_ERROR && reading.status != SETTINGS_INVALID_VALUE_ERROR)
    failImport(arguments, reading);
  return EXIT_DONE;
}

int runLayeredCheck(Arguments const& arguments) {
  requireOperands(arguments, 0, 0, "check --layout=NAME (--project=P | --hierarchies=D:D)");
  ReadRules const rules(arguments.has("--installer"));
  Reading const reading = readLayout(arguments, rules);
  bool const json = arguments.has("--json");
  std::size_t refused = 0;
  std::string text, files;
  for (int i = 0; i < reading.fileCount(); ++i) {
    std::string lines;
    for (RefusedIn const& line : refusedIn(reading, i)) {
      text += printable(reading.path(i)) + ":" + std::to_string(line.line) + ":" +
              std::to_string(line.column) + ": error: " + line.message + "\n";
      lines += std::string(lines.empty() ? "" : ",") + "{\"line\":" + std::to_string(line.line) +
               ",\"column\":" + std::to_string(line.column) +
               ",\"message\":" + jsonString(line.message) + "}";
      ++refused;
    }
    files += std::string(i ? "," : "") + "{\"file\":" + jsonString(reading.path(i)) +
             ",\"error\":null,\"refused\":[" + lines + "]}";
  }
  // An administrator's value that a later drop-in of a lower hierarchy beats
  // is the override that silently does nothing.
  int const top = reading.named.hierarchies - 1;
  std::string warnings;
  for (std::string const& key : keysOf(reading.context.get())) {
    for (Origin const& origin : chainOf(reading, key)) {
      if (origin.why != SETTINGS_ORIGIN_LATER_FILE || reading.hierarchy(origin.file) != top ||
          reading.hierarchy(origin.by) == top)
        continue;
      text += printable(place(reading, origin)) + ": warning: " + printable(key) +
              ": the administrator's value is beaten by " + printable(reading.path(origin.by)) +
              ", which comes later\n";
      warnings += std::string(warnings.empty() ? "" : ",") + "{\"key\":" + jsonString(key) +
                  ",\"file\":" + jsonString(reading.path(origin.file)) +
                  ",\"line\":" + std::to_string(origin.line + 1) +
                  ",\"beaten_by\":" + jsonString(reading.path(origin.by)) + "}";
    }
  }
  if (json)
    printOut("{\"files\":[" + files + "],\"refused\":" + std::to_string(refused) +
             ",\"warnings\":[" + warnings + "]}\n");
  else
    printOut(text + std::to_string(refused) + " refused line" + (refused == 1 ? "" : "s") + "\n");
  return refused == 0 ? EXIT_DONE : EXIT_NO;
}

namespace {

// Whether path comes after the drop-in name in the layout's order: only a
// drop-in of a later name can (the administrator's hierarchy is the
// highest, and main files come before every drop-in).
bool comesAfter(std::string const& path, std::string const& dropInFolder, std::string const& name) {
  std::size_t const slash = path.rfind('/');
  std::string const folder = path.substr(0, slash);
  std::string const folderName = folder.substr(folder.rfind('/') + 1);
  bool const isDropIn = folderName == dropInFolder;
  return isDropIn && path.substr(slash + 1) > name;
}

// A name the layout does not know is the command line's fault; any other
// failure is the file's, told as a write's.
void requireDone(int status, std::string const& unknownName, std::string const& name, bool existed,
                 settings_file_report_t const& report) {
  if (status == SETTINGS_INVALID_FILENAME_ERROR)
    usage(unknownName);
  if (status != SETTINGS_NO_ERROR)
    failWrite(name, existed, status, report);
}

// Whether the drop-in's folder does not exist yet, as the library sees it.
bool folderToBeMade(std::string const& dropIn) {
  char* text = nullptr;
  std::size_t size = 0;
  settings_file_report_t report{};
  int const status = api4().settings_file_read(dropIn.c_str(), 0, &text, &size, &report);
  api4().settings_text_free(text);
  return status == SETTINGS_OPEN_FILE_ERROR && report.reason == SETTINGS_PATH_MISSING;
}

}  // namespace

int runLayeredChange(Arguments const& arguments, bool set) {
  std::string const name = arguments.value("--drop-in").value_or("99-local" + suffixOf(arguments));
  Named const named = layoutOf(arguments);
  char const* path = nullptr;
  settings_file_report_t report{};
  bool const preview = arguments.has("--check");
  requireDone(api5().settings_layout_dropin_path(named.layout.get(), name.c_str(), preview ? 0 : 1,
                                                 &path, &report),
              "--drop-in: \"" + printable(name) + "\" is not a drop-in name of this layout", name,
              false, report);
  std::string const dropIn = path;

  Arguments onFile = arguments;
  for (char const* option :
       {"--layout", "--project", "--hierarchies", "--suffix", "--root", "--drop-in"})
    onFile.options.erase(option);
  onFile.operands.insert(onFile.operands.begin(), dropIn);
  if (preview && folderToBeMade(dropIn))
    onFile.options[kFolderToBeMade] = "";
  int const changed = set ? runSet(onFile) : runUnset(onFile);

  // What wins now (or, for a preview, still would after the change) is the
  // drop-in itself, a file before it, or a later drop-in that shadows it.
  ReadRules const rules(arguments.has("--installer"));
  Reading const reading = readLayout(arguments, rules);
  std::string const folder = *arguments.value("--layout") + ".d";
  int result = changed;
  for (std::size_t i = 1; i < onFile.operands.size(); ++i) {
    std::string const& given = onFile.operands[i];
    std::string const key = rules.storedKey(set ? given.substr(0, given.find('=')) : given);
    std::optional<Origin> const origin = effectiveOrigin(reading, key);
    if (!origin || !comesAfter(reading.path(origin->file), folder, name))
      continue;
    std::fprintf(stderr,
                 preview ? "tamo-settings: %s: still set by %s, which comes later; the change "
                           "would not be in effect\n"
                         : "tamo-settings: %s: still set by %s, which comes later; the change "
                           "is not in effect\n",
                 printable(key).c_str(), printable(place(reading, *origin)).c_str());
    result = EXIT_SHADOWED;
  }
  return result;
}

int runMask(Arguments const& arguments, bool masked) {
  if (!namesLayout(arguments))
    usage(std::string(masked ? "mask" : "unmask") + ": --layout is needed");
  requireOperands(arguments, 1, 1,
                  "mask|unmask --layout=NAME (--project=P | --hierarchies=D:D) FILE");
  Named const named = layoutOf(arguments);
  std::string const name = arguments.operands[0];
  int changed = 0;
  settings_file_report_t report{};
  requireDone(
      api5().settings_layout_set_mask(named.layout.get(), name.c_str(), masked ? 1 : 0, &changed,
                                      &report),
      "\"" + printable(name) + "\" is neither the main file nor a drop-in name of this layout",
      name, true, report);
  printOut(printable(name) + (changed ? (masked ? ": masked\n" : ": unmasked\n")
                                      : (masked ? ": already masked\n" : ": was not masked\n")));
  return changed && arguments.has("--detailed-exitcodes") ? EXIT_CHANGED : EXIT_DONE;
}

}  // namespace tamo_tool
