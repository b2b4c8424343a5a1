#include "parser.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "file_ops.h"
#include "status.h"
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
// A text read this far and smaller is kept whole until its end.
constexpr std::size_t kSmallestDroppedText = std::size_t{64} << 10;
// Files are read in pieces so that a small file does not cost a buffer of the
// whole limit.
constexpr std::size_t kReadChunk = std::size_t{64} << 10;

// The size is a size_t rather than a 32-bit count: a string source has no
// limit, and a narrower count would leave the tail of a huge text unchecked.
void validateBufferContents(char const* data, std::size_t size) {
  if (validateUtf8Sequence(data, data + size) != data + size) {
    throw settings::Exception(SETTINGS_BUFFER_ENCODING_ERROR);
  }
}

// Reads until the stream ends rather than trusting one read to see the whole
// file: a pipe or a file that grows while it is read is still read to its end
// or to the limit. A stream that has not ended within the limit is too big.
std::string readUpToLimit(FILE* stream) {
  std::string text;
  while (text.size() < kFileSizeLimit) {
    std::size_t const used = text.size();
    std::size_t const wanted = std::min(kReadChunk, kFileSizeLimit - used);
    text.resize(used + wanted);
    std::size_t const got = std::fread(&text[used], 1, wanted, stream);
    text.resize(used + got);
    if (got < wanted)
      break;
  }
  if (std::ferror(stream))
    throw settings::Exception(SETTINGS_READ_FILE_ERROR);
  if (!std::feof(stream))
    throw settings::Exception(SETTINGS_FILE_TOO_BIG_ERROR);
  return text;
}

class FileBuffer : public PlainTextFileConfigParser::IBuffer {
 public:
  explicit FileBuffer(Filename const& file) : file(file) {}

  void getContents(std::string& contents) const override {
    StdioHandle const stream = settings_impl::fopen(file, "rb");
    std::string text = readUpToLimit(stream.get());
    validateBufferContents(text.data(), text.size());
    contents.swap(text);
  }

 private:
  Filename file;
};

class StringBuffer : public PlainTextFileConfigParser::IBuffer {
 public:
  explicit StringBuffer(std::string const& text) : text(text) {}

  void getContents(std::string& contents) const override {
    validateBufferContents(text.data(), text.size());
    contents = text;
  }

 private:
  std::string text;
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
std::string_view handedOn(std::string_view text) {
  return rtrim(text.substr(0, text.find('\0')));
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

  // The same text with its first `removed` bytes dropped. An end found
  // before them has been passed and is looked up again when asked.
  void rebase(std::string_view shorter, std::size_t removed) {
    text = shorter;
    for (std::size_t* cached : {&nextCr, &nextLf}) {
      *cached = *cached == kUnknown || *cached < removed ? kUnknown : *cached - removed;
    }
  }

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

class LineReader {
 public:
  LineReader(IConfigParserCallback& callback, bool failFast, bool allowKeysWithoutValues)
      : callback(callback), failFast(failFast), allowKeysWithoutValues(allowKeysWithoutValues) {}

  void readAll(std::string text);

 private:
  // Each returns whether the line was accepted.
  bool readLine(std::string_view line);
  bool readContent(std::string_view line, std::size_t start);
  bool readComment(std::string_view comment);
  bool readEntry(std::string_view line, std::size_t start);
  bool readKeyOnly(std::string_view text);
  bool passValue(std::string_view key, std::string_view const* value);
  bool refuse(int code);
  static void dropReadPart(std::string& text, std::size_t& offset, LineEnds& ends);

  PlainTextFileConfigParser::Cursor cursor() const;

  IConfigParserCallback& callback;
  bool const failFast;
  bool const allowKeysWithoutValues;
  std::size_t lineNumber = 0;
  std::size_t character = 0;
  // Reused for every line, so that handing on a text costs no allocation.
  std::string keyText;
  std::string valueText;
};

// CR LF is one line end; a lone CR or LF is one too, so LF CR is two.
void LineReader::readAll(std::string text) {
  LineEnds ends(text);
  std::size_t offset = 0;
  for (;; ++lineNumber) {
    dropReadPart(text, offset, ends);
    std::string_view const rest(text);
    std::size_t const end = ends.find(offset);
    bool const accepted = readLine(rest.substr(offset, end - offset));
    if (end == rest.size() || (!accepted && failFast))
      return;
    offset = end + 1;
    if (rest[end] == '\r' && offset < rest.size() && rest[offset] == '\n')
      ++offset;
  }
}

// The entries grow while the text is read; giving back the read half of the
// text whenever it is at least half keeps the two from peaking together. The
// copies add up to less than the text itself.
void LineReader::dropReadPart(std::string& text, std::size_t& offset, LineEnds& ends) {
  if (text.size() < kSmallestDroppedText || offset < text.size() / 2)
    return;
  text = text.substr(offset);
  ends.rebase(text, offset);
  offset = 0;
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

bool LineReader::readComment(std::string_view text) {
  keyText.assign(text.data(), text.size());
  if (callback.onComment(cursor(), keyText.c_str()))
    return true;
  return refuse(PARSE_INVALID_COMMENT);
}

bool LineReader::readEntry(std::string_view line, std::size_t start) {
  std::size_t const separator = findSeparator(line, start);
  if (separator == std::string_view::npos)
    return readKeyOnly(line.substr(start));
  std::string_view const key = handedOn(line.substr(start, separator - start));
  if (key.empty())
    return refuse(PARSE_EMPTY_KEY);
  std::string_view const value = handedOn(skipBlanks(line.substr(separator + 1)));
  return passValue(key, &value);
}

bool LineReader::readKeyOnly(std::string_view text) {
  if (!allowKeysWithoutValues)
    return refuse(PARSE_KEY_WITHOUT_VALUE);
  std::string_view const key = handedOn(text);
  if (key.empty())
    return refuse(PARSE_EMPTY_KEY);
  return passValue(key, nullptr);
}

// A key without a value is judged like any other entry: a callback that
// refuses the key must not see its line counted as accepted.
bool LineReader::passValue(std::string_view key, std::string_view const* value) {
  keyText.assign(key.data(), key.size());
  if (value != nullptr)
    valueText.assign(value->data(), value->size());
  int const result =
      callback.onValue(cursor(), keyText.c_str(), value != nullptr ? valueText.c_str() : nullptr);
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

std::string formatCursor(IParserCursor const& cursor) {
  // Widened so that the largest cursor prints without overflowing.
  long long const line = static_cast<long long>(cursor.line) + 1;
  long long const character = static_cast<long long>(cursor.character) + 1;
  return "line " + std::to_string(line) + "; char " + std::to_string(character);
}

void parseLines(std::string text, IConfigParserCallback& callback, bool failFast,
                bool allowKeysWithoutValues) {
  LineReader(callback, failFast, allowKeysWithoutValues).readAll(std::move(text));
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

// The settings are copied for the run, so a listener that changes them
// affects only later parses.
IConfig* PlainTextFileConfigParser::parse() {
  std::string text;
  if (buffer)
    buffer->getContents(text);
  bool const runFailFast = failFast;
  ParserErrorCounter counter(errorListener);
  ConfigBuilder builder(formatCursor, validator, keyMapper, &counter);
  parseLines(std::move(text), builder, runFailFast, allowKeysWithoutValues);
  if (counter.errorCount != 0 && runFailFast)
    return nullptr;
  return ConfigBuilder::createConfig(builder.getValues()).release();
}

}  // namespace settings_impl
