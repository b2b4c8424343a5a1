#include "context.h"

#include <string>
#include <utility>

#include "config_ops.h"
#include "file_lock.h"
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
  Filename const given(fileName);
  refuseBackslash(given.getPath());
  Filename const canonical = given.canonicalize();
  PlainTextFileConfigParser parser(canonical);
  parser.setImportRecord(&importRecord);
  updateConfig(parser, validator, keyMapper, failFast, allowKeysWithoutValues);
}

void Context::importFromLockedFile(WriterLock const& lock, ConfigValidator const* validator,
                                   KeyMapper const* keyMapper, bool failFast,
                                   bool allowKeysWithoutValues) {
  WholeText text;
  if (!readLockedFile(lock, text)) {
    // As the file parser leaves a file it cannot open: no refused lines.
    importErrors.clear();
    importRecord.clear();
    throw settings::Exception(SETTINGS_OPEN_FILE_ERROR);
  }
  PlainTextFileConfigParser parser{text.size != 0 ? std::string(text.data.get(), text.size)
                                                  : std::string()};
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

// Only the source's entries are copied (it stays as it is); this context's
// own are moved under them, as an import moves a parse's, instead of both
// being copied into a third configuration.
void Context::importFrom(Context const& source) {
  std::unique_ptr<IConfig> copy = mergeConfigs(*ConfigBuilder::createEmptyConfig(), *source.config);
  if (!ConfigBuilder::moveEntries(*config, *copy))
    replaceConfig(mergeConfigs(*config, *source.config));
}

void Context::absorb(Context& source) {
  if (ConfigBuilder::moveEntries(*config, *source.config))
    return;
  replaceConfig(mergeConfigs(*config, *source.config));
  source.replaceConfig(ConfigBuilder::createEmptyConfig());
}

void Context::forgetLastImport() noexcept {
  importErrors.clear();
  importRecord.clear();
}

// The configuration is this context's alone, so the key is taken out of it
// in place: erasing keys one at a time from a large configuration would
// otherwise copy it once per key. The copying erase remains for
// configurations of another kind and reports a key that is not there.
void Context::eraseKey(char const* key) {
  if (!ConfigBuilder::eraseEntry(*config, key))
    replaceConfig(settings_impl::eraseKey(*config, key));
}

void Context::exportToFile(char const* fileName) const {
  Filename const given(fileName);
  refuseBackslash(given.getPath());
  Filename const canonical = given.canonicalize();
  std::string const text = serializeConfig(*config);
  // The missing directories are made during the one walk that finds the
  // file, not by names resolved again afterwards.
  replaceFileContents(
      TargetDirectory::resolve(canonical.getPath(), TargetDirectory::Parents::Create), text);
}

void Context::exportToLockedFile(WriterLock& lock) const {
  lock.replace(serializeConfig(*config));
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
