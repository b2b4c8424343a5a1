#include "context.h"

#include <string>
#include <utility>

#include "config_ops.h"
#include "file_ops.h"
#include "file_replace.h"
#include "filename.h"
#include "parser.h"
#include "serializer.h"
#include "status.h"

namespace settings_impl {

char const* const systemConfigFileName = "/etc/Vardel/Tamo/tamo.settings.cfg";

std::string getGlobalSystemConfigFilePath() {
  return systemConfigFileName;
}

namespace {

// Fails on the first entry that cannot be written, before anything reaches
// the disk.
std::string serializeConfig(IConfig const& config) {
  PlainTextEntrySerializer entries;
  ConfigSerializer(true, &entries).serialize(config);
  std::string text = entries.takeText();
  // The file is never left empty; a lone blank reads back as an empty
  // configuration.
  if (text.empty())
    text = " ";
  // A first key that begins with U+FEFF would be read back as a signature
  // and lose it; behind a blank first line it stays part of the key.
  if (startsWithByteOrderMark(text))
    text.insert(0, "\n");
  return text;
}

}  // namespace

Context::Context()
    : config(ConfigBuilder::createEmptyConfig()),
      systemConfigFilePath(getGlobalSystemConfigFilePath()) {}

Context::~Context() = default;

void Context::importFromFile(char const* fileName, ConfigValidator const* validator,
                             KeyMapper const* keyMapper, bool failFast,
                             bool allowKeysWithoutValues) {
  Filename const canonical = Filename(fileName).canonicalize();
  PlainTextFileConfigParser parser(canonical);
  parser.setImportRecord(&importRecord);
  updateConfig(parser, validator, keyMapper, failFast, allowKeysWithoutValues);
}

void Context::importFromString(char const* text, ConfigValidator const* validator,
                               KeyMapper const* keyMapper, bool failFast,
                               bool allowKeysWithoutValues) {
  PlainTextFileConfigParser parser{std::string(text)};
  parser.setImportRecord(&importRecord);
  updateConfig(parser, validator, keyMapper, failFast, allowKeysWithoutValues);
}

void Context::importFromBuffer(char const* text, std::size_t size, ConfigValidator const* validator,
                               KeyMapper const* keyMapper, bool failFast,
                               bool allowKeysWithoutValues) {
  // The caller's bytes stay put for the whole call: the parse copies them once.
  PlainTextFileConfigParser parser;
  parser.setSourceView(text, size);
  parser.setImportRecord(&importRecord);
  updateConfig(parser, validator, keyMapper, failFast, allowKeysWithoutValues);
}

void Context::updateConfig(IConfigParser& parser, ConfigValidator const* validator,
                           KeyMapper const* keyMapper, bool failFast, bool allowKeysWithoutValues) {
  parser.setErrorListener(this);
  parser.setValidator(validator);
  parser.setKeyMapper(keyMapper);
  parser.setFailFast(failFast);
  parser.setAllowKeysWithoutValues(allowKeysWithoutValues);
  importErrors.clear();
  importRecord.clear();

  std::unique_ptr<IConfig> parsed;
  try {
    parsed.reset(parser.parse());
  } catch (...) {
    importRecord.forgetKeyLines();
    throw;
  }
  // Nothing of a parse stopped by a refused line is merged, so no key got
  // its value from it.
  if (!parsed)
    importRecord.forgetKeyLines();
  // The parsed configuration belongs to this call alone, so its entries are
  // moved over the current ones rather than both being copied into a third;
  // the move cannot fail, and the copying merge remains for configurations
  // of another kind.
  if (parsed && !ConfigBuilder::moveEntries(*config, *parsed))
    replaceConfig(mergeConfigs(*config, *parsed));
  if (!importErrors.empty())
    throw settings::Exception(SETTINGS_INVALID_VALUE_ERROR);
}

void Context::importFrom(Context const& source) {
  replaceConfig(mergeConfigs(*config, *source.config));
}

void Context::eraseKey(char const* key) {
  replaceConfig(settings_impl::eraseKey(*config, key));
}

void Context::exportToFile(char const* fileName) const {
  Filename const canonical = Filename(fileName).canonicalize();
  std::string const text = serializeConfig(*config);
  ensureDirectoryTreeExist(canonical);
  replaceFileContents(canonical, text);
}

std::string const& Context::exportToString() {
  exportedText = serializeConfig(*config);
  return exportedText;
}

void Context::replaceConfig(std::unique_ptr<IConfig> replacement) noexcept {
  config = std::move(replacement);
}

void Context::onError(IParserCursor const& cursor, char const* message) {
  importErrors.push_back(settings_error_desc_t{cursor.line});
  importRecord.addRefused(cursor, message);
  if (!stderrReports)
    throw settings::Exception(SETTINGS_INVALID_VALUE_ERROR);
  throw settings::Exception(settings_impl::onError(SETTINGS_SOURCE_POS, cursor, message));
}

}  // namespace settings_impl
