// The object behind a settings_context_t: one configuration, replaced whole
// at every change, the system settings file's path, and the refused lines of
// the last text import.
#ifndef TAMO_SETTINGS_SHARE_CONTEXT_H
#define TAMO_SETTINGS_SHARE_CONTEXT_H

#include <tamo/settings.h>

#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "import_record.h"

namespace settings_impl {

class ConfigValidator;
class IConfigParser;
class KeyMapper;
class WriterLock;

// The path of the system settings file; the driver reads and writes the same.
extern char const* const systemConfigFileName;

std::string getGlobalSystemConfigFilePath();

class Context : private IParserErrorListener {
 public:
  // Starts empty. Raises std::bad_alloc when memory runs out.
  Context();
  ~Context() override;
  Context(Context const&) = delete;
  Context& operator=(Context const&) = delete;

  // Valid until the configuration is replaced.
  IConfig const& getConfig() const { return *config; }
  std::string const& getSystemConfigFilePath() const { return systemConfigFilePath; }
  // The refused lines of the last parse, in line order.
  std::vector<settings_error_desc_t> const& getImportErrors() const { return importErrors; }
  // The same lines with their kinds and messages, and the line of each key.
  ImportRecord const& getImportRecord() const { return importRecord; }
  ImportRecord& getImportRecord() { return importRecord; }
  // Whether refused lines are also printed on standard error (the default).
  void setStderrReports(bool enabled) { stderrReports = enabled; }
  bool printsStderrReports() const { return stderrReports; }
  // Forgets the refused lines and key lines of the last import.
  void forgetLastImport() noexcept;

  // Canonicalizes fileName (FILENAME_ENCODING_ERROR 312,
  // INVALID_FILENAME_ERROR 311, UNKNOWN_ERROR 200) and imports the file
  // through updateConfig.
  void importFromFile(char const* fileName, ConfigValidator const* validator,
                      KeyMapper const* keyMapper, bool failFast, bool allowKeysWithoutValues);
  // importFromFile on the file a lock holds, read under it; a missing file
  // is OPEN_FILE_ERROR (304) as for importFromFile.
  void importFromLockedFile(WriterLock const& lock, ConfigValidator const* validator,
                            KeyMapper const* keyMapper, bool failFast, bool allowKeysWithoutValues);
  void importFromString(char const* text, ConfigValidator const* validator,
                        KeyMapper const* keyMapper, bool failFast, bool allowKeysWithoutValues);
  // The size bytes at text, NUL bytes included, as a file holding them is read.
  void importFromBuffer(char const* text, std::size_t size, ConfigValidator const* validator,
                        KeyMapper const* keyMapper, bool failFast, bool allowKeysWithoutValues);
  // Runs parser with the given rules and merges what it accepted over the
  // current entries. Refused lines are recorded, printed on standard error
  // and end in INVALID_VALUE_ERROR (313); with failFast the first one ends
  // the parse and nothing is merged. Source failures of the parser pass on
  // with the context unchanged.
  void updateConfig(IConfigParser& parser, ConfigValidator const* validator,
                    KeyMapper const* keyMapper, bool failFast, bool allowKeysWithoutValues);
  // Merges source's entries over this context's; source may be this context.
  void importFrom(Context const& source);
  // The same for a distinct source whose entries are no longer wanted there:
  // they are moved, not copied, and source is left empty.
  void absorb(Context& source);
  // KEY_NOT_FOUND_ERROR (303) when absent, the configuration then unchanged.
  void eraseKey(char const* key);
  // Writes the configuration as text to fileName, creating missing parent
  // directories; the context is never changed.
  void exportToFile(char const* fileName) const;
  // exportToFile on the file a lock holds; its directory exists.
  void exportToLockedFile(WriterLock& lock) const;
  // The text exportToFile would write; valid until the next call.
  std::string const& exportToString();

 private:
  // The replacement is made completely before this call, so a failure while
  // making it leaves the old configuration in place.
  void replaceConfig(std::unique_ptr<IConfig> replacement) noexcept;
  // Records the line and throws INVALID_VALUE_ERROR: the parser stops on it
  // with failFast and drops it without.
  void onError(IParserCursor const& cursor, char const* message) override;

  std::unique_ptr<IConfig> config;
  std::string systemConfigFilePath;
  std::vector<settings_error_desc_t> importErrors;
  ImportRecord importRecord;
  bool stderrReports = true;
  std::string exportedText;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_CONTEXT_H
