// The plain-text settings format: "key=value" lines, read from a file or a
// string into a new configuration.
#ifndef TAMO_SETTINGS_SHARE_PARSER_H
#define TAMO_SETTINGS_SHARE_PARSER_H

#include <memory>
#include <string>
#include <string_view>

#include "config.h"
#include "file_ops.h"
#include "filename.h"

namespace settings_impl {

class ConfigValidator;
class ImportRecord;
class KeyMapper;

class IConfigParser {
 public:
  virtual ~IConfigParser() = default;
  virtual void setValidator(ConfigValidator const* validator) = 0;
  virtual void setKeyMapper(KeyMapper const* keyMapper) = 0;
  virtual void setErrorListener(IParserErrorListener* listener) = 0;
  virtual void setFailFast(bool failFast) = 0;
  virtual void setAllowKeysWithoutValues(bool allow) = 0;
  // A new configuration the caller owns, or null when failFast is on and a
  // line was refused. Source failures raise settings::Exception before any
  // line is read: OPEN_FILE_ERROR (304), READ_FILE_ERROR (307),
  // FILE_TOO_BIG_ERROR (315), BUFFER_ENCODING_ERROR (314).
  virtual IConfig* parse() = 0;
};

// UTF-8's byte order mark, EF BB BF. At the very start of a text it is a
// signature, not text: imports skip it, so it never becomes part of a key.
constexpr std::string_view kByteOrderMark("\xEF\xBB\xBF");
bool startsWithByteOrderMark(std::string_view text);

// "line N; char M", both counted from 1.
std::string formatCursor(IParserCursor const& cursor);

// Cuts text into lines and hands each line's comment, or key and value, to
// callback, reporting refused lines through callback.onError. With failFast
// it stops after the first refused line, and a settings::Exception raised by
// the callback passes on; without it such an exception only refuses its line.
// Other exceptions always pass on.
void parseLines(std::string text, IConfigParserCallback& callback, bool failFast,
                bool allowKeysWithoutValues);
// The same on size bytes of text followed by a NUL, which it overwrites: each
// text handed on is ended where it lies and stays there after the call.
void parseLinesInPlace(char* text, std::size_t size, IConfigParserCallback& callback, bool failFast,
                       bool allowKeysWithoutValues);

// Counts the messages it receives and passes them on to listener, if any.
class ParserErrorCounter : public IParserErrorListener {
 public:
  explicit ParserErrorCounter(IParserErrorListener* listener) : listener(listener) {}
  void onError(IParserCursor const& cursor, char const* message) override;

  int errorCount = 0;
  IParserErrorListener* listener;
};

class PlainTextFileConfigParser : public IConfigParser {
 public:
  // A text source.
  class IBuffer {
   public:
    virtual ~IBuffer() = default;
    // The whole text, or raises settings::Exception.
    virtual WholeText getContents() const = 0;
  };
  class Cursor : public IParserCursor {};

  PlainTextFileConfigParser();
  // The name should be canonical; the file is read only when parse runs.
  explicit PlainTextFileConfigParser(Filename const& file);
  explicit PlainTextFileConfigParser(std::string const& text);
  explicit PlainTextFileConfigParser(std::string&& text);
  ~PlainTextFileConfigParser() override;

  // Settings back to their defaults; the source stays.
  void init();
  void setSourceFile(Filename const& file);
  void setSourceBuffer(std::string const& text);
  void setSourceBuffer(std::string&& text);
  // The size bytes at text, which must stay as they are until the last
  // parse: nothing is copied before the parse does.
  void setSourceView(char const* text, std::size_t size);

  void setValidator(ConfigValidator const* validator) override;
  void setKeyMapper(KeyMapper const* keyMapper) override;
  void setErrorListener(IParserErrorListener* listener) override;
  void setFailFast(bool failFast) override;
  void setAllowKeysWithoutValues(bool allow) override;
  // Where parse notes refused kinds and key lines; null (the default) for
  // nowhere. Borrowed, and kept by init.
  void setImportRecord(ImportRecord* record) { importRecord = record; }
  IConfig* parse() override;

 private:
  ConfigValidator const* validator;
  KeyMapper const* keyMapper;
  IParserErrorListener* errorListener;
  bool failFast;
  bool allowKeysWithoutValues;
  std::unique_ptr<IBuffer> buffer;
  ImportRecord* importRecord = nullptr;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_PARSER_H
