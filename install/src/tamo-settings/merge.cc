// merge: the files read in order into one configuration, later ones winning,
// printed or written as the export writes it.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "loaded_file.h"
#include "report.h"
#include "settings_file.h"
#include "text_edit.h"
#include "tool_error.h"

namespace tamo_tool {

namespace {

std::vector<std::string> unionOfKeys(settings_context_t* a, settings_context_t* b) {
  std::vector<std::string> keys = keysOf(a);
  for (std::string const& key : keysOf(b)) {
    if (!valueOf(a, key))
      keys.push_back(key);
  }
  return keys;
}

int writeMerged(Arguments const& arguments, settings_context_t* merged, ReadRules const& rules,
                WriterLock& lock) {
  std::string const name = *arguments.value("--output");
  LoadedFile const target = loadFile(name, rules, false, &lock);
  std::string const text = exportText(merged);
  ChangeReport report;
  for (std::string const& key : unionOfKeys(target.context.get(), merged))
    report.keys.push_back(KeyChange{key, valueOf(target.context.get(), key), valueOf(merged, key)});
  if (!target.bytes || text != *target.bytes) {
    requireReadableSize(name, text);
    Context readBack = newContext();
    Import const import = importText(readBack.get(), text, rules);
    if (import.status != SETTINGS_NO_ERROR || !isEqual(readBack.get(), merged))
      throw ToolError(EXIT_INTERNAL, name +
                                         ": the merged text would not read back as intended; "
                                         "nothing written");
    report.diff = unifiedDiff(name, target.bytes.value_or(""), text);
    if (!arguments.has("--check"))
      writeSettingsFile(name, target.path, target.bytes, text, lock.get());
  }
  lock.release();
  return finishChange(report, outputOptionsOf(arguments));
}

}  // namespace

int runMerge(Arguments const& arguments) {
  if (arguments.operands.empty())
    throw ToolError(EXIT_USAGE, "usage: tamo-settings merge [OPTIONS] FILE... [-o FILE]");
  bool const writing = arguments.has("--output");
  if (!writing && (arguments.has("--check") || arguments.has("--diff") || arguments.has("--json") ||
                   arguments.has("--detailed-exitcodes") || arguments.has("--wait") ||
                   arguments.has("--no-lock")))
    throw ToolError(EXIT_USAGE,
                    "merge: --check, --diff, --json, --detailed-exitcodes, --wait and --no-lock "
                    "need -o");
  ReadRules const rules(arguments.has("--installer"));
  // Taken before any input is read, since the output may be one of them.
  std::unique_ptr<WriterLock> lock;
  if (writing) {
    std::string const output = *arguments.value("--output");
    lock = std::make_unique<WriterLock>(arguments, output, fileNameOf(output));
  }
  Context merged = newContext();
  for (std::string const& name : arguments.operands) {
    LoadedFile const file = loadFile(name, rules, true);
    // Only what reads cleanly is written; printing shows what a reader gets.
    if (writing)
      requireClean(file, rules);
    printRefused(stderr, file, rules);
    mergeInto(merged.get(), file.context.get());
  }
  if (writing)
    return writeMerged(arguments, merged.get(), rules, *lock);
  std::string const text = exportText(merged.get());
  // The lone blank that keeps an exported file from being empty means nothing here.
  if (text != " ")
    std::fwrite(text.data(), 1, text.size(), stdout);
  return EXIT_DONE;
}

}  // namespace tamo_tool
