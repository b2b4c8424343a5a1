// What the last import of a context saw beyond its result: each refused line
// with its kind and message, and the line that gave each key its value.
#ifndef TAMO_SETTINGS_SHARE_IMPORT_RECORD_H
#define TAMO_SETTINGS_SHARE_IMPORT_RECORD_H

#include <tamo/settings.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "config.h"

namespace settings_impl {

class ImportRecord {
 public:
  ImportRecord() = default;
  ImportRecord(ImportRecord const&) = delete;
  ImportRecord& operator=(ImportRecord const&) = delete;

  void clear() noexcept;

  // The kind of the line about to be refused; the next addRefused takes it.
  void noteRefusalKind(int kind) noexcept { pendingKind = kind; }
  void addRefused(IParserCursor const& cursor, char const* message);
  // In line order; the messages live as long as the record is not cleared.
  std::vector<settings_refused_line_t> const& getRefused() const { return refused; }

  // The text about to be parsed (size bytes), and how it is parsed.
  void keepText(char const* text, std::size_t size, bool allowKeysWithoutValues);
  // A key stored under another name than the line's text gave it.
  void addStoredKey(int line, char const* key);
  // After a parse that merged nothing.
  void forgetKeyLines() noexcept;
  // False when the last import gave key nothing.
  bool findKeyLine(char const* key, int& line);
  // Every accepted line of the last import that gave a key a value, in line
  // order, with the key as stored; empty when the import merged nothing.
  // Found by one parse of the kept text at the first call after an import;
  // valid until the record is cleared.
  std::vector<settings_key_line_t> const& getKeyLines();

 private:
  int pendingKind = 0;
  std::vector<settings_refused_line_t> refused;
  // A deque, so that growing it never moves a text that refused points into.
  std::deque<std::string> messages;
  // Key lines are found when asked for, by parsing the kept text again (in
  // place: keyLines' keys point into it): an import pays one copy of its
  // text, not an entry per key.
  bool keptText = false;
  bool keysWithoutValues = false;
  std::string text;
  std::vector<std::pair<std::int32_t, std::string>> storedKeys;  // in line order
  bool keyLinesFound = false;
  bool keyLinesLost = false;
  std::vector<settings_key_line_t> keyLines;
};

// Passes every call on to inner and notes in record the kind of each refused
// line and, when keys are mapped, each key that inner stored under a name of
// its own.
class RecordingCallback : public IConfigParserCallback {
 public:
  RecordingCallback(ConfigBuilder& inner, ImportRecord& record, bool keysMapped)
      : inner(inner), record(record), keysMapped(keysMapped) {}

  bool onComment(IParserCursor const& cursor, char const* text) override;
  int onValue(IParserCursor const& cursor, char const* key, char const* value) override;
  void onError(IParserCursor const& cursor, int code) override;

 private:
  ConfigBuilder& inner;
  ImportRecord& record;
  bool keysMapped;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_IMPORT_RECORD_H
