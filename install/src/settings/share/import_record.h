// What the last import of a context saw beyond its result: each refused line
// with its kind and message, and the line that gave each key its value.
#ifndef TAMO_SETTINGS_SHARE_IMPORT_RECORD_H
#define TAMO_SETTINGS_SHARE_IMPORT_RECORD_H

#include <tamo/settings.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
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

  // Room for count key lines, made before an import adds them.
  void expectKeyLines(std::size_t count);
  // line gave storedKey (copied) its value.
  void addKeyLine(int line, char const* storedKey);
  // After a parse that merged nothing; the memory is given back.
  void forgetKeyLines() noexcept;
  // False when the last import gave key nothing.
  bool findKeyLine(char const* key, int& line) const;
  // Every accepted line of the last import that gave a key a value, in line
  // order, with the key as stored; empty when the import merged nothing.
  // Valid until the record is cleared.
  std::vector<settings_key_line_t> const& getKeyLines() const { return keyLines; }

 private:
  char const* keepKey(char const* key);

  int pendingKind = 0;
  std::vector<settings_refused_line_t> refused;
  // A deque, so that growing it never moves a text that refused points into.
  std::deque<std::string> messages;
  // Recorded while the import parses: a line and a copy of its stored key
  // cost less than keeping the whole text to parse again when asked.
  std::vector<settings_key_line_t> keyLines;
  // The keys' copies, in blocks that never move once made.
  std::vector<std::unique_ptr<char[]>> keyBlocks;
  char* spare = nullptr;
  std::size_t spareSize = 0;
};

// Passes every call on to inner and notes in record the kind of each refused
// line and each accepted line with the key inner stored for it.
class RecordingCallback : public IConfigParserCallback {
 public:
  RecordingCallback(ConfigBuilder& inner, ImportRecord& record) : inner(inner), record(record) {}

  bool onComment(IParserCursor const& cursor, char const* text) override;
  int onValue(IParserCursor const& cursor, char const* key, char const* value) override;
  void onError(IParserCursor const& cursor, int code) override;

 private:
  ConfigBuilder& inner;
  ImportRecord& record;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_IMPORT_RECORD_H
