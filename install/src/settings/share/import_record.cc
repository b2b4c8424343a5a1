#include "import_record.h"

#include <algorithm>
#include <cstring>

namespace settings_impl {

namespace {

// Keys are copied into blocks that grow with the record, so that a small
// import stays small (a block is never smaller than the key it takes).
constexpr std::size_t kSmallestKeyBlock = 256;
constexpr std::size_t kLargestKeyBlock = std::size_t{64} << 10;

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

void ImportRecord::expectKeyLines(std::size_t count) {
  keyLines.reserve(count);
}

char const* ImportRecord::keepKey(char const* key) {
  std::size_t const size = std::strlen(key) + 1;
  if (spareSize < size) {
    std::size_t const grown =
        std::min(kSmallestKeyBlock << std::min<std::size_t>(keyBlocks.size(), 8), kLargestKeyBlock);
    std::size_t const blockSize = std::max(grown, size);
    keyBlocks.push_back(std::unique_ptr<char[]>(new char[blockSize]));
    spare = keyBlocks.back().get();
    spareSize = blockSize;
  }
  char* const copy = spare;
  std::memcpy(copy, key, size);
  spare += size;
  spareSize -= size;
  return copy;
}

void ImportRecord::addKeyLine(int line, char const* storedKey) {
  keyLines.push_back(settings_key_line_t{line, keepKey(storedKey)});
}

void ImportRecord::forgetKeyLines() noexcept {
  std::vector<settings_key_line_t>().swap(keyLines);
  std::vector<std::unique_ptr<char[]>>().swap(keyBlocks);
  spare = nullptr;
  spareSize = 0;
}

bool ImportRecord::findKeyLine(char const* key, int& line) const {
  // The last line of a key gave it its value.
  auto const found = std::find_if(keyLines.rbegin(), keyLines.rend(),
                                  [&](auto const& at) { return std::strcmp(at.key, key) == 0; });
  if (found == keyLines.rend())
    return false;
  line = found->line;
  return true;
}

bool RecordingCallback::onComment(IParserCursor const& cursor, char const* text) {
  return inner.onComment(cursor, text);
}

int RecordingCallback::onValue(IParserCursor const& cursor, char const* key, char const* value) {
  int const result = inner.onValue(cursor, key, value);
  // An accepted line always adds an entry, whose key is the stored one.
  if (result == PARSE_ACCEPTED)
    record.addKeyLine(cursor.line, inner.getValues().end()[-1].key);
  return result;
}

void RecordingCallback::onError(IParserCursor const& cursor, int code) {
  record.noteRefusalKind(code);
  inner.onError(cursor, code);
}

}  // namespace settings_impl
