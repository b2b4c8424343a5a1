#include "import_record.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "parser.h"

namespace settings_impl {

namespace {

// Hands every accepted line and the key it stored to onLine, in line order.
template <typename OnLine>
class KeyLineFinder : public IConfigParserCallback {
 public:
  KeyLineFinder(std::vector<settings_refused_line_t> const& refused,
                std::vector<std::pair<std::int32_t, std::string>> const& storedKeys, OnLine onLine)
      : refused(refused), storedKeys(storedKeys), onLine(onLine) {}

  bool onComment(IParserCursor const&, char const*) override { return true; }
  int onValue(IParserCursor const& cursor, char const* lineKey, char const*) override {
    if (!wasRefused(cursor.line))
      onLine(cursor.line, storedKey(cursor.line, lineKey));
    return PARSE_ACCEPTED;
  }
  void onError(IParserCursor const&, int) override {}

 private:
  bool wasRefused(std::int32_t line) const {
    return std::binary_search(refused.begin(), refused.end(),
                              settings_refused_line_t{line, 0, 0, nullptr},
                              [](auto const& a, auto const& b) { return a.line < b.line; });
  }
  char const* storedKey(std::int32_t line, char const* lineKey) const {
    auto const stored =
        std::lower_bound(storedKeys.begin(), storedKeys.end(), line,
                         [](auto const& entry, std::int32_t value) { return entry.first < value; });
    return stored != storedKeys.end() && stored->first == line ? stored->second.c_str() : lineKey;
  }

  std::vector<settings_refused_line_t> const& refused;
  std::vector<std::pair<std::int32_t, std::string>> const& storedKeys;
  OnLine onLine;
};

}  // namespace

void ImportRecord::clear() noexcept {
  pendingKind = 0;
  refused.clear();
  messages.clear();
  forgetKeyLines();
}

void ImportRecord::addRefused(IParserCursor const& cursor, char const* message) {
  messages.emplace_back(message);
  refused.push_back(
      settings_refused_line_t{cursor.line, cursor.character, pendingKind, messages.back().c_str()});
  pendingKind = 0;
}

void ImportRecord::keepText(char const* source, std::size_t size, bool allowKeysWithoutValues) {
  text.assign(source, size);
  keysWithoutValues = allowKeysWithoutValues;
  keptText = true;
}

void ImportRecord::addStoredKey(int line, char const* key) {
  storedKeys.emplace_back(line, key);
}

void ImportRecord::forgetKeyLines() noexcept {
  keptText = false;
  text.clear();
  storedKeys.clear();
  keyLinesFound = false;
  keyLinesLost = false;
  keyLines.clear();
}

bool ImportRecord::findKeyLine(char const* key, int& line) {
  std::vector<settings_key_line_t> const& lines = getKeyLines();
  // The last line of a key gave it its value.
  auto const found = std::find_if(lines.rbegin(), lines.rend(), [&](settings_key_line_t const& at) {
    return std::strcmp(at.key, key) == 0;
  });
  if (found == lines.rend())
    return false;
  line = found->line;
  return true;
}

std::vector<settings_key_line_t> const& ImportRecord::getKeyLines() {
  // The text was cut up by a parse that failed: the lines cannot be told.
  if (keyLinesLost)
    throw std::bad_alloc();
  if (keyLinesFound || !keptText)
    return keyLines;
  // The keys point where the parse ended them in the kept text, which is
  // parsed in place once and not needed as it was afterwards, or into
  // storedKeys for mapped keys: no key is copied.
  try {
    // At most a key line per LF and one more: the list is made without growing.
    keyLines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    KeyLineFinder finder(refused, storedKeys, [&](int at, char const* stored) {
      keyLines.push_back(settings_key_line_t{at, stored});
    });
    parseLinesInPlace(&text[0], text.size(), finder, false, keysWithoutValues);
  } catch (...) {
    forgetKeyLines();
    keyLinesLost = true;
    throw;
  }
  keyLinesFound = true;
  return keyLines;
}

bool RecordingCallback::onComment(IParserCursor const& cursor, char const* text) {
  return inner.onComment(cursor, text);
}

int RecordingCallback::onValue(IParserCursor const& cursor, char const* key, char const* value) {
  if (!keysMapped)
    return inner.onValue(cursor, key, value);
  std::size_t const entries = inner.getValues().size();
  int const result = inner.onValue(cursor, key, value);
  if (result != PARSE_ACCEPTED || inner.getValues().size() == entries)
    return result;
  // Most keys are stored as the very text the line gave, in place.
  char const* const stored = inner.getValues().end()[-1].key;
  if (stored != key && std::strcmp(stored, key) != 0)
    record.addStoredKey(cursor.line, stored);
  return result;
}

void RecordingCallback::onError(IParserCursor const& cursor, int code) {
  record.noteRefusalKind(code);
  inner.onError(cursor, code);
}

}  // namespace settings_impl
