#include "parser.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <utility>

#include "file_ops.h"
#include "status.h"
#include "value.h"

namespace settings_impl {

namespace {

std::string const eols("\r\n");
std::string const comment("#");
std::string const keyValueSeparators("=:");
std::string const ws(" \t");

// A settings file must end before this many bytes.
constexpr std::size_t kFileSizeLimit = std::size_t{1} << 20;
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

std::string rtrim(std::string const& text) {
  std::size_t const last = text.find_last_not_of(ws);
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

// Keys and values are handed on as NUL-terminated texts, so a NUL ends them.
// Trimming and the empty-key check apply to what is handed on; otherwise
// "a \0b" would give the key "a " and "\0=v" the empty key "", neither of
// which could be written out and read back.
std::string handedOn(std::string const& text) {
  return rtrim(text.substr(0, text.find('\0')));
}

std::string afterLeadingBlanks(std::string const& text, std::size_t from) {
  std::size_t const start = text.find_first_not_of(ws, from);
  return start == std::string::npos ? std::string() : text.substr(start);
}

// Huge string sources could hold more lines or blanks than a cursor field
// counts; their reports stay at the largest position rather than wrapping.
std::int32_t toCursorField(std::size_t position) {
  std::size_t const largest = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::min(position, largest));
}

struct Line {
  std::string text;
  std::size_t next;  // where the following line starts
  bool last;
};

// CR LF is one line end; a lone CR or LF is one too, so LF CR is two.
Line cutLine(std::string const& text, std::size_t offset) {
  std::size_t const end = text.find_first_of(eols, offset);
  if (end == std::string::npos)
    return {text.substr(offset), text.size(), true};
  std::size_t next = end + 1;
  if (text[end] == '\r' && next < text.size() && text[next] == '\n')
    ++next;
  return {text.substr(offset, end - offset), next, false};
}

class LineReader {
 public:
  LineReader(IConfigParserCallback& callback, bool failFast, bool allowKeysWithoutValues)
      : callback(callback), failFast(failFast), allowKeysWithoutValues(allowKeysWithoutValues) {}

  void readAll(std::string const& text);

 private:
  // Each returns whether the line was accepted.
  bool readLine(std::string const& line);
  bool readContent(std::string const& line, std::size_t start);
  bool readComment(std::string const& line, std::size_t start);
  bool readEntry(std::string const& line, std::size_t start);
  bool readKeyOnly(std::string const& text);
  bool passValue(std::string const& key, char const* value);
  bool refuse(int code);

  PlainTextFileConfigParser::Cursor cursor() const;

  IConfigParserCallback& callback;
  bool const failFast;
  bool const allowKeysWithoutValues;
  std::size_t lineNumber = 0;
  std::size_t character = 0;
};

void LineReader::readAll(std::string const& text) {
  std::size_t offset = 0;
  for (;; ++lineNumber) {
    Line const line = cutLine(text, offset);
    bool const accepted = readLine(line.text);
    if (line.last || (!accepted && failFast))
      return;
    offset = line.next;
  }
}

bool LineReader::readLine(std::string const& line) {
  std::size_t const start = line.find_first_not_of(ws);
  if (start == std::string::npos)
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

bool LineReader::readContent(std::string const& line, std::size_t start) {
  if (comment.find(line[start]) != std::string::npos)
    return readComment(line, start);
  return readEntry(line, start);
}

bool LineReader::readComment(std::string const& line, std::size_t start) {
  if (callback.onComment(cursor(), line.c_str() + start))
    return true;
  return refuse(PARSE_INVALID_COMMENT);
}

bool LineReader::readEntry(std::string const& line, std::size_t start) {
  std::size_t const separator = line.find_first_of(keyValueSeparators, start);
  if (separator == std::string::npos)
    return readKeyOnly(line.substr(start));
  std::string const key = handedOn(line.substr(start, separator - start));
  if (key.empty())
    return refuse(PARSE_EMPTY_KEY);
  std::string const value = handedOn(afterLeadingBlanks(line, separator + 1));
  return passValue(key, value.c_str());
}

bool LineReader::readKeyOnly(std::string const& text) {
  if (!allowKeysWithoutValues)
    return refuse(PARSE_KEY_WITHOUT_VALUE);
  std::string const key = handedOn(text);
  if (key.empty())
    return refuse(PARSE_EMPTY_KEY);
  return passValue(key, nullptr);
}

// A key without a value is judged like any other entry: a callback that
// refuses the key must not see its line counted as accepted.
bool LineReader::passValue(std::string const& key, char const* value) {
  int const result = callback.onValue(cursor(), key.c_str(), value);
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

void parseLines(std::string const& text, IConfigParserCallback& callback, bool failFast,
                bool allowKeysWithoutValues) {
  LineReader(callback, failFast, allowKeysWithoutValues).readAll(text);
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
  parseLines(text, builder, runFailFast, allowKeysWithoutValues);
  if (counter.errorCount != 0 && runFailFast)
    return nullptr;
  return ConfigBuilder::createConfig(builder.getValues()).release();
}

}  // namespace settings_impl
