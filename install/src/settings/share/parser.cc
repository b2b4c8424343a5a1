#include "parser.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "file_ops.h"
#include "file_report.h"
#include "import_record.h"
#include "status.h"
#include "target_directory.h"
#include "value.h"

namespace settings_impl {

namespace {

// Constant views rather than strings, so that the membership tests below
// unroll into comparisons with the few characters.
constexpr std::string_view eols("\r\n");
constexpr std::string_view comment("#");
constexpr std::string_view keyValueSeparators("=:");
constexpr std::string_view ws(" \t");

// A settings file must end before this many bytes.
constexpr std::size_t kFileSizeLimit = std::size_t{1} << 20;

// The size is a size_t rather than a 32-bit count: a string source has no
// limit, and a narrower count would leave the tail of a huge text unchecked.
void validateBufferContents(char const* data, std::size_t size) {
  if (validateUtf8Sequence(data, data + size) != data + size) {
    throw settings::Exception(SETTINGS_BUFFER_ENCODING_ERROR);
  }
}

class FileBuffer : public PlainTextFileConfigParser::IBuffer {
 public:
  explicit FileBuffer(Filename const& file) : file(file) {}

  WholeText getContents() const override {
    // Through the same walk as every write: a name that another user could
    // steer is refused, and only a missing file reads as one.
    std::optional<WholeText> read =
        readNamedFile(file.getPath(), std::chrono::milliseconds(0), kFileSizeLimit);
    if (!read)
      failFile(SETTINGS_OPEN_FILE_ERROR, SETTINGS_PATH_MISSING, ENOENT);
    WholeText text = std::move(*read);
    validateBufferContents(text.data.get(), text.size);
    return text;
  }

 private:
  Filename file;
};

class StringBuffer : public PlainTextFileConfigParser::IBuffer {
 public:
  explicit StringBuffer(std::string text) : text(std::move(text)) {}

  WholeText getContents() const override {
    validateBufferContents(text.data(), text.size());
    return copyText(text.data(), text.size());
  }

 private:
  std::string text;
};

class ViewBuffer : public PlainTextFileConfigParser::IBuffer {
 public:
  explicit ViewBuffer(std::string_view text) : text(text) {}

  WholeText getContents() const override {
    validateBufferContents(text.data(), text.size());
    return copyText(text.data(), text.size());
  }

 private:
  std::string_view text;
};

// A membership test inlined for the few characters of a set; the string
// searches would call memchr once for every character looked at.
constexpr bool isIn(std::string_view set, char c) {
  for (char const member : set) {
    if (member == c)
      return true;
  }
  return false;
}

bool isBlank(char c) {
  return isIn(ws, c);
}

std::size_t findSeparator(std::string_view line, std::size_t from) {
  for (std::size_t i = from; i < line.size(); ++i) {
    if (isIn(keyValueSeparators, line[i]))
      return i;
  }
  return std::string_view::npos;
}

std::string_view rtrim(std::string_view text) {
  std::size_t size = text.size();
  while (size > 0 && isBlank(text[size - 1]))
    --size;
  return text.substr(0, size);
}

std::string_view skipBlanks(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size() && isBlank(text[start]))
    ++start;
  return text.substr(start);
}

// Keys and values are handed on as NUL-terminated texts, so a NUL ends them.
// Trimming and the empty-key check apply to what is handed on; otherwise
// "a \0b" would give the key "a " and "\0=v" the empty key "", neither of
// which could be written out and read back.
// Texts without any NUL, the common case, are searched once as a whole
// instead of once per key and value.
std::string_view handedOn(std::string_view text, bool mayHoldNul) {
  if (!mayHoldNul)
    return rtrim(text);
  void const* const nul = std::memchr(text.data(), '\0', text.size());
  std::size_t const size =
      nul != nullptr ? static_cast<std::size_t>(static_cast<char const*>(nul) - text.data())
                     : text.size();
  return rtrim(text.substr(0, size));
}

// Huge string sources could hold more lines or blanks than a cursor field
// counts; their reports stay at the largest position rather than wrapping.
std::int32_t toCursorField(std::size_t position) {
  std::size_t const largest = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::min(position, largest));
}

// Finds line ends without a search per candidate character: each of CR and
// LF is looked up once and remembered until the reading passes it, so a text
// of many CR-ended lines is not searched again for an LF at every line.
class LineEnds {
 public:
  explicit LineEnds(std::string_view text) : text(text) {}

  // The first CR or LF at or after offset, or the text's size.
  std::size_t find(std::size_t offset) {
    return std::min(next(offset, eols[0], nextCr), next(offset, eols[1], nextLf));
  }

 private:
  std::size_t next(std::size_t offset, char c, std::size_t& cached) const {
    if (cached == kUnknown || cached < offset) {
      void const* found = std::memchr(text.data() + offset, c, text.size() - offset);
      cached = found ? static_cast<char const*>(found) - text.data() : text.size();
    }
    return cached;
  }

  static constexpr std::size_t kUnknown = std::numeric_limits<std::size_t>::max();
  std::string_view text;
  std::size_t nextCr = kUnknown;
  std::size_t nextLf = kUnknown;
};

// Cuts lines out of a text it may write to: each key, value and comment is
// ended with a NUL written over the byte after it (a blank, the separator or
// the line end), so it is handed on where it lies, without a copy.
class LineReader {
 public:
  LineReader(IConfigParserCallback& callback, bool failFast, bool allowKeysWithoutValues)
      : callback(callback), failFast(failFast), allowKeysWithoutValues(allowKeysWithoutValues) {}

  void readAll(char* text, std::size_t size);

 private:
  // Each returns whether the line was accepted.
  bool readLine(std::string_view line);
  bool readContent(std::string_view line, std::size_t start);
  bool readComment(std::string_view comment);
  bool readEntry(std::string_view line, std::size_t start);
  bool readKeyOnly(std::string_view text);
  bool passValue(std::string_view key, std::string_view const* value);
  bool refuse(int code);
  char const* terminated(std::string_view text);

  PlainTextFileConfigParser::Cursor cursor() const;

  IConfigParserCallback& callback;
  bool const failFast;
  bool const allowKeysWithoutValues;
  char* text = nullptr;
  bool textHoldsNul = true;
  std::size_t lineNumber = 0;
  std::size_t character = 0;
};

// CR LF is one line end; a lone CR or LF is one too, so LF CR is two. The
// line end is looked at before the line is read, which may overwrite it.
void LineReader::readAll(char* writable, std::size_t size) {
  text = writable;
  textHoldsNul = std::memchr(writable, '\0', size) != nullptr;
  std::string_view const rest(writable, size);
  LineEnds ends(rest);
  std::size_t offset = 0;
  for (;; ++lineNumber) {
    std::size_t const end = ends.find(offset);
    bool const last = end == rest.size();
    bool const crLf = !last && rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n';
    bool const accepted = readLine(rest.substr(offset, end - offset));
    if (last || (!accepted && failFast))
      return;
    offset = end + (crLf ? 2 : 1);
  }
}

// The view ends inside the text, at most at its final NUL, so the byte after
// it may be overwritten.
char const* LineReader::terminated(std::string_view view) {
  char* const first = text + (view.data() - text);
  first[view.size()] = '\0';
  return first;
}

bool LineReader::readLine(std::string_view line) {
  std::size_t start = 0;
  while (start < line.size() && isBlank(line[start]))
    ++start;
  if (start == line.size())
    return true;
  character = start;
  try {
    return readContent(line, start);
  } catch (settings::Exception const&) {
    if (failFast)
      throw;
    return false;
  }
}

bool LineReader::readContent(std::string_view line, std::size_t start) {
  if (isIn(comment, line[start]))
    return readComment(line.substr(start));
  return readEntry(line, start);
}

bool LineReader::readComment(std::string_view comment) {
  if (callback.onComment(cursor(), terminated(comment)))
    return true;
  return refuse(PARSE_INVALID_COMMENT);
}

bool LineReader::readEntry(std::string_view line, std::size_t start) {
  std::size_t const separator = findSeparator(line, start);
  if (separator == std::string_view::npos)
    return readKeyOnly(line.substr(start));
  std::string_view const key = handedOn(line.substr(start, separator - start), textHoldsNul);
  if (key.empty())
    return refuse(PARSE_EMPTY_KEY);
  std::string_view const value = handedOn(skipBlanks(line.substr(separator + 1)), textHoldsNul);
  return passValue(key, &value);
}

bool LineReader::readKeyOnly(std::string_view text) {
  if (!allowKeysWithoutValues)
    return refuse(PARSE_KEY_WITHOUT_VALUE);
  std::string_view const key = handedOn(text, textHoldsNul);
  if (key.empty())
    return refuse(PARSE_EMPTY_KEY);
  return passValue(key, nullptr);
}

// A key without a value is judged like any other entry: a callback that
// refuses the key must not see its line counted as accepted.
bool LineReader::passValue(std::string_view key, std::string_view const* value) {
  char const* const keyText = terminated(key);
  char const* const valueText = value != nullptr ? terminated(*value) : nullptr;
  int const result = callback.onValue(cursor(), keyText, valueText);
  if (result == PARSE_ACCEPTED)
    return true;
  return refuse(result);
}

bool LineReader::refuse(int code) {
  callback.onError(cursor(), code);
  return false;
}

// A fresh cursor for every call: a callback may keep or change the one it got.
PlainTextFileConfigParser::Cursor LineReader::cursor() const {
  PlainTextFileConfigParser::Cursor result;
  result.line = toCursorField(lineNumber);
  result.character = toCursorField(character);
  return result;
}

}  // namespace

bool startsWithByteOrderMark(std::string_view text) {
  return text.substr(0, kByteOrderMark.size()) == kByteOrderMark;
}

std::string formatCursor(IParserCursor const& cursor) {
  // Widened so that the largest cursor prints without overflowing.
  long long const line = static_cast<long long>(cursor.line) + 1;
  long long const character = static_cast<long long>(cursor.character) + 1;
  return "line " + std::to_string(line) + "; char " + std::to_string(character);
}

void parseLines(std::string text, IConfigParserCallback& callback, bool failFast,
                bool allowKeysWithoutValues) {
  parseLinesInPlace(&text[0], text.size(), callback, failFast, allowKeysWithoutValues);
}

void parseLinesInPlace(char* text, std::size_t size, IConfigParserCallback& callback, bool failFast,
                       bool allowKeysWithoutValues) {
  LineReader(callback, failFast, allowKeysWithoutValues).readAll(text, size);
}

// A huge string source can refuse more lines than an int counts; the count
// only has to stay non-zero, so it stops at its largest value.
void ParserErrorCounter::onError(IParserCursor const& cursor, char const* message) {
  if (errorCount < std::numeric_limits<int>::max())
    ++errorCount;
  if (listener != nullptr)
    listener->onError(cursor, message);
}

PlainTextFileConfigParser::PlainTextFileConfigParser() {
  init();
}

PlainTextFileConfigParser::PlainTextFileConfigParser(Filename const& file) {
  init();
  setSourceFile(file);
}

PlainTextFileConfigParser::PlainTextFileConfigParser(std::string const& text) {
  init();
  setSourceBuffer(text);
}

PlainTextFileConfigParser::PlainTextFileConfigParser(std::string&& text) {
  init();
  setSourceBuffer(std::move(text));
}

PlainTextFileConfigParser::~PlainTextFileConfigParser() = default;

void PlainTextFileConfigParser::init() {
  validator = nullptr;
  keyMapper = nullptr;
  errorListener = nullptr;
  failFast = true;
  allowKeysWithoutValues = false;
}

void PlainTextFileConfigParser::setSourceFile(Filename const& file) {
  buffer = std::make_unique<FileBuffer>(file);
}

void PlainTextFileConfigParser::setSourceBuffer(std::string const& text) {
  buffer = std::make_unique<StringBuffer>(text);
}

void PlainTextFileConfigParser::setSourceBuffer(std::string&& text) {
  buffer = std::make_unique<StringBuffer>(std::move(text));
}

void PlainTextFileConfigParser::setSourceView(char const* text, std::size_t size) {
  buffer = std::make_unique<ViewBuffer>(std::string_view(text, size));
}

void PlainTextFileConfigParser::setValidator(ConfigValidator const* validator) {
  this->validator = validator;
}

void PlainTextFileConfigParser::setKeyMapper(KeyMapper const* keyMapper) {
  this->keyMapper = keyMapper;
}

void PlainTextFileConfigParser::setErrorListener(IParserErrorListener* listener) {
  errorListener = listener;
}

void PlainTextFileConfigParser::setFailFast(bool failFast) {
  this->failFast = failFast;
}

void PlainTextFileConfigParser::setAllowKeysWithoutValues(bool allow) {
  allowKeysWithoutValues = allow;
}

namespace {

// At most the lines a text holds: one per LF and one after the last.
std::size_t countLines(char const* text, std::size_t size) {
  std::size_t count = 1;
  char const* const end = text + size;
  for (char const* at = text; at != end; ++at, ++count) {
    at = static_cast<char const*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    if (at == nullptr)
      break;
  }
  return count;
}

}  // namespace

// The settings are copied for the run, so a listener that changes them
// affects only later parses.
// The text read becomes the store of the new configuration.
IConfig* PlainTextFileConfigParser::parse() {
  WholeText text = buffer ? buffer->getContents() : copyText("", 0);
  bool const runFailFast = failFast;
  ParserErrorCounter counter(errorListener);
  ConfigBuilder builder(formatCursor, validator, keyMapper, &counter);
  std::size_t size = text.size;
  std::size_t const lines = countLines(text.data.get(), size);
  char* adopted = builder.adoptText(std::move(text.data), size, lines);
  if (startsWithByteOrderMark(std::string_view(adopted, size))) {
    adopted += kByteOrderMark.size();
    size -= kByteOrderMark.size();
  }
  if (importRecord != nullptr) {
    importRecord->expectKeyLines(lines);
    RecordingCallback recording(builder, *importRecord);
    parseLinesInPlace(adopted, size, recording, runFailFast, allowKeysWithoutValues);
  } else {
    parseLinesInPlace(adopted, size, builder, runFailFast, allowKeysWithoutValues);
  }
  if (counter.errorCount != 0 && runFailFast)
    return nullptr;
  return ConfigBuilder::createConfig(builder.getValues()).release();
}

}  // namespace settings_impl
