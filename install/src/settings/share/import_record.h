// What the last import of a context saw beyond its result: each refused line
// with its kind and message, and the line that gave each key its value.
#ifndef TAMO_SETTINGS_SHARE_IMPORT_RECORD_H
#define TAMO_SETTINGS_SHARE_IMPORT_RECORD_H

#include <tamo/settings.h>

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "config.h"

namespace settings_impl {

class KeyMapper;

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

  // A later line of the same key wins.
  void addKeyLine(std::string key, int line);
  void forgetKeyLines() noexcept { keyLines.clear(); }
  // False when the last import gave key nothing.
  bool findKeyLine(char const* key, int& line) const;

 private:
  int pendingKind = 0;
  std::vector<settings_refused_line_t> refused;
  // A deque, so that growing it never moves a text that refused points into.
  std::deque<std::string> messages;
  std::unordered_map<std::string, int> keyLines;
};

// Passes every call on to inner and notes in record the kind of each refused
// line and the line of each accepted key, mapped as inner stores it.
class RecordingCallback : public IConfigParserCallback {
 public:
  RecordingCallback(IConfigParserCallback& inner, KeyMapper const* keyMapper, ImportRecord& record)
      : inner(inner), keyMapper(keyMapper), record(record) {}

  bool onComment(IParserCursor const& cursor, char const* text) override;
  int onValue(IParserCursor const& cursor, char const* key, char const* value) override;
  void onError(IParserCursor const& cursor, int code) override;

 private:
  IConfigParserCallback& inner;
  KeyMapper const* keyMapper;
  ImportRecord& record;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_IMPORT_RECORD_H
