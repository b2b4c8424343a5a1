// merge: the files read in order into one configuration, later ones winning,
// printed as the export writes it, or made the contents of -o FILE: an
// existing FILE is edited as set edits it, a new one gets the export's form.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "change.h"
#include "commands.h"
#include "loaded_file.h"
#include "output.h"
#include "report.h"
#include "settings_file.h"
#include "text_edit.h"
#include "tool_error.h"

namespace tamo_tool {

namespace {

// A new file: the export's form, keys in byte order.
int writeNew(Change& change, settings_context_t* merged, ReadRules const& rules,
             OutputOptions const& options) {
  std::string const& name = change.file.shownName;
  std::string const text = exportText(merged);
  ChangeReport report;
  report.file = name;
  for (std::string const& key : keysOf(merged))
    report.keys.push_back(KeyChange{key, std::nullopt, valueOf(merged, key)});
  requireReadableSize(name, text);
  Context readBack = newContext();
  Import const import = importText(readBack.get(), text, rules);
  if (import.status != SETTINGS_NO_ERROR || !isEqual(readBack.get(), merged))
    fileError(EXIT_INTERNAL, name,
              "the merged text would not read back as intended; nothing written");
  report.textChanged = true;
  if (options.showsDiff())
    report.diff = unifiedDiff(name, "", text);
  if (options.json && firstInvalidUtf8(text))
    fileError(EXIT_REFUSED, name,
              "the merged text is not valid UTF-8, cannot be reported as JSON; "
              "nothing written");
  int const status = finishChange(report, options, [&] {
    writeSettingsFile(name, change.file.path, std::nullopt, text, change.lock->get());
  });
  change.lock->release();
  return status;
}

int writeMerged(std::string const& name, settings_context_t* merged, ReadRules const& rules,
                OutputOptions const& options, std::unique_ptr<WriterLock> lock) {
  Change change = startChange(name, rules, std::move(lock));
  if (!change.file.bytes)
    return writeNew(change, merged, rules, options);
  std::vector<std::string> const keys = keysOf(merged);
  for (std::string const& key : keys)
    change.note(key);
  mergeInto(change.intended(), merged);
  editNotedKeys(change);
  return finish(change, rules, options);
}

}  // namespace

int runMerge(Arguments const& arguments) {
  if (arguments.operands.empty())
    throw ToolError(EXIT_USAGE, "usage: tamo-settings merge [OPTIONS] FILE... [-o FILE]");
  std::optional<std::string> const output = arguments.value("--output");
  bool const writing = output && *output != "-";
  if (!writing && (arguments.has("--check") || arguments.has("--diff") || arguments.has("--json") ||
                   arguments.has("--detailed-exitcodes") || arguments.has("--wait") ||
                   arguments.has("--no-lock")))
    throw ToolError(EXIT_USAGE,
                    "merge: --check, --diff, --json, --detailed-exitcodes, --wait and --no-lock "
                    "need -o FILE");
  ReadRules const rules(arguments.has("--installer"));
  // Taken before any input is read, since the output may be one of them.
  std::unique_ptr<WriterLock> lock;
  if (writing)
    lock = std::make_unique<WriterLock>(arguments, *output, fileNameOf(*output));
  Context merged = newContext();
  bool stdinRead = false;
  for (std::string const& name : arguments.operands) {
    if (name == "-" && stdinRead)
      throw ToolError(EXIT_USAGE, "merge: standard input can be read only once");
    stdinRead |= name == "-";
    LoadedFile const file = loadFile(name, rules, true, true);
    // Only what reads cleanly is written; printing shows what a reader gets.
    if (writing)
      requireClean(file, rules);
    printRefused(stderr, file, rules);
    mergeInto(merged.get(), file.context.get());
  }
  if (writing)
    return writeMerged(*output, merged.get(), rules, outputOptionsOf(arguments), std::move(lock));
  std::string const text = exportText(merged.get());
  // The lone blank that keeps an exported file from being empty means nothing here.
  if (text != " " && !writeOut(text))
    throw ToolError(EXIT_CANNOT_WRITE,
                    std::string("cannot write to standard output: ") + std::strerror(errno));
  return EXIT_DONE;
}

}  // namespace tamo_tool
