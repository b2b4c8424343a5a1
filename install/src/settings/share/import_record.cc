#include "import_record.h"

#include <utility>

#include "key_mapper.h"

namespace settings_impl {

void ImportRecord::clear() noexcept {
  pendingKind = 0;
  refused.clear();
  messages.clear();
  keyLines.clear();
}

void ImportRecord::addRefused(IParserCursor const& cursor, char const* message) {
  messages.emplace_back(message);
  refused.push_back(
      settings_refused_line_t{cursor.line, cursor.character, pendingKind, messages.back().c_str()});
  pendingKind = 0;
}

void ImportRecord::addKeyLine(std::string key, int line) {
  keyLines.insert_or_assign(std::move(key), line);
}

bool ImportRecord::findKeyLine(char const* key, int& line) const {
  auto const found = keyLines.find(key);
  if (found == keyLines.end())
    return false;
  line = found->second;
  return true;
}

bool RecordingCallback::onComment(IParserCursor const& cursor, char const* text) {
  return inner.onComment(cursor, text);
}

int RecordingCallback::onValue(IParserCursor const& cursor, char const* key, char const* value) {
  int const result = inner.onValue(cursor, key, value);
  if (result == PARSE_ACCEPTED)
    record.addKeyLine(keyMapper != nullptr ? keyMapper->map(key) : std::string(key), cursor.line);
  return result;
}

void RecordingCallback::onError(IParserCursor const& cursor, int code) {
  record.noteRefusalKind(code);
  inner.onError(cursor, code);
}

}  // namespace settings_impl
