#include "share/parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "share/status.h"
#include "support/temp_dir.h"

namespace settings_impl {
namespace {

using namespace std::string_literals;
using Calls = std::vector<std::string>;

std::string place(IParserCursor const& cursor) {
  return std::to_string(cursor.line) + ":" + std::to_string(cursor.character);
}

// Records every call as one line of text: "value 1:0 key=value",
// "bare 0:2 key", "comment 0:2 # text", "error 0:1 302".
class RecordingCallback : public IConfigParserCallback {
 public:
  bool onComment(IParserCursor const& cursor, char const* text) override {
    calls.push_back("comment " + place(cursor) + " " + text);
    return acceptComments;
  }
  int onValue(IParserCursor const& cursor, char const* key, char const* value) override {
    calls.push_back(value == nullptr ? "bare " + place(cursor) + " " + key
                                     : "value " + place(cursor) + " " + key + "=" + value);
    if (key == throwingKey)
      throw settings::Exception(SETTINGS_INVALID_VALUE_ERROR);
    if (key == foreignThrowingKey)
      throw std::runtime_error("foreign");
    auto const result = results.find(key);
    return result == results.end() ? PARSE_ACCEPTED : result->second;
  }
  void onError(IParserCursor const& cursor, int code) override {
    calls.push_back("error " + place(cursor) + " " + std::to_string(code));
  }

  bool acceptComments = true;
  std::map<std::string, int> results;
  std::string throwingKey = "-";
  std::string foreignThrowingKey = "-";
  Calls calls;
};

struct LineCase {
  char const* name;
  std::string text;
  bool allowKeysWithoutValues;
  Calls calls;
};

class LineRulesTest : public testing::TestWithParam<LineCase> {};

TEST_P(LineRulesTest, CallsTheCallbackPerLine) {
  RecordingCallback callback;
  parseLines(GetParam().text, callback, false, GetParam().allowKeysWithoutValues);
  EXPECT_EQ(callback.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Format, LineRulesTest,
    testing::Values(
        LineCase{"EmptyTextCallsNothing", "", false, {}},
        LineCase{"FinalLineEndAddsNothing", "a=1\n", false, {"value 0:0 a=1"}},
        LineCase{"CrLfCrAndLfEachEndOneLine",
                 "a=1\r\nb=2\rc=3\nd=4",
                 false,
                 {"value 0:0 a=1", "value 1:0 b=2", "value 2:0 c=3", "value 3:0 d=4"}},
        LineCase{"LfCrIsTwoLineEnds", "a=1\n\rb=2", false, {"value 0:0 a=1", "value 2:0 b=2"}},
        LineCase{"BlankAndEmptyLinesAreCounted", " \t\n\n  x=1", false, {"value 2:2 x=1"}},
        LineCase{"CommentKeepsItsTrailingBlanks", "  # note  ", false, {"comment 0:2 # note  "}},
        LineCase{
            "BlanksAroundKeyAndValueGo", "\tkey \t:  value\t ", false, {"value 0:1 key=value"}},
        LineCase{"InnerBlanksStay", "my key = a  b", false, {"value 0:0 my key=a  b"}},
        LineCase{"EmptyValueIsAText", "key=", false, {"value 0:0 key="}},
        LineCase{"KeyWithoutValueRefused", "  key  ", false, {"error 0:2 301"}},
        LineCase{"KeyWithoutValueAllowed", "  key  ", true, {"bare 0:2 key"}},
        LineCase{"EmptyKeyAfterBlank", " = v", false, {"error 0:1 302"}},
        LineCase{"EmptyKeyAtLineStart", ":v", false, {"error 0:0 302"}},
        LineCase{"NoTrailingComments", "k=v # c", false, {"value 0:0 k=v # c"}},
        LineCase{"HashInsideKeyIsText", "k#=1", false, {"value 0:0 k#=1"}},
        LineCase{"QuotesAreText", "k=\"v\"", false, {"value 0:0 k=\"v\""}},
        LineCase{"FirstEqualsSeparates", "a=b=c", false, {"value 0:0 a=b=c"}},
        LineCase{"FirstColonSeparates", "url: x:y", false, {"value 0:0 url=x:y"}},
        LineCase{
            "ByteOrderMarkBelongsToKey", "\xEF\xBB\xBFk=v", false, {"value 0:0 \xEF\xBB\xBFk=v"}},
        LineCase{"RepeatedKeysAllPassed", "a=1\na=2", false, {"value 0:0 a=1", "value 1:0 a=2"}},
        LineCase{"NulEndsValue", "k=v\0w"s, false, {"value 0:0 k=v"}},
        LineCase{"NulEndsKey", "a\0b=1"s, false, {"value 0:0 a=1"}},
        LineCase{"BlanksBeforeNulAreTrimmed", "a \0b=1 \0x"s, false, {"value 0:0 a=1"}},
        LineCase{"NulLeavingNoKey", "\0x=1"s, false, {"error 0:0 302"}},
        LineCase{"NulLeavingNoBareKey", "\0x"s, true, {"error 0:0 302"}},
        LineCase{"LfLinesBeforeACr",
                 "a=1\nb=2\nc=3\rd=4",
                 false,
                 {"value 0:0 a=1", "value 1:0 b=2", "value 2:0 c=3", "value 3:0 d=4"}},
        LineCase{
            "CrLinesAroundAnLf",
            "a=1\rb=2\rc=3\nd=4\re=5",
            false,
            {"value 0:0 a=1", "value 1:0 b=2", "value 2:0 c=3", "value 3:0 d=4", "value 4:0 e=5"}}),
    [](testing::TestParamInfo<LineCase> const& info) { return info.param.name; });

struct LongTextCase {
  char const* name;
  char const* firstEnd;  // the only one of its kind until the tail
  char const* bulkEnd;
};

class LongTextTest : public testing::TestWithParam<LongTextCase> {};

// Long texts are given back while they are read; a line end seen before that
// must not be mistaken for one after it, and no line may be lost or renumbered.
TEST_P(LongTextTest, KeepsEveryLineAndItsNumber) {
  std::string text = std::string("first=1") + GetParam().firstEnd;
  Calls expected{"value 0:0 first=1"};
  int line = 1;
  auto const add = [&](char const* end) {
    std::string const key = "k" + std::to_string(line);
    text += key + "=v" + end;
    expected.push_back("value " + std::to_string(line++) + ":0 " + key + "=v");
  };
  while (text.size() < 300000)
    add(GetParam().bulkEnd);
  for (char const* end : {"\r", "\r\n", "\n", "\r", "\n", ""})
    add(end);
  RecordingCallback callback;
  parseLines(text, callback, false, false);
  EXPECT_EQ(callback.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(Ends, LongTextTest,
                         testing::Values(LongTextCase{"EarlyCrThenLfLines", "\r", "\n"},
                                         LongTextCase{"EarlyLfThenCrLines", "\n", "\r"},
                                         LongTextCase{"CrLfLines", "\r\n", "\r\n"}),
                         [](testing::TestParamInfo<LongTextCase> const& info) {
                           return info.param.name;
                         });

// Texts are ended where they lie, so a store may keep the pointers; the line
// ends are read before they are overwritten.
TEST(ParseLinesTest, InPlaceTextsStayInTheBufferAfterTheCall) {
  class Keeping : public IConfigParserCallback {
   public:
    bool onComment(IParserCursor const&, char const* text) override {
      kept.push_back(text);
      return true;
    }
    int onValue(IParserCursor const&, char const* key, char const* value) override {
      kept.push_back(key);
      kept.push_back(value != nullptr ? value : "-");
      return PARSE_ACCEPTED;
    }
    void onError(IParserCursor const&, int) override {}
    std::vector<char const*> kept;
  } callback;
  std::string buffer = "a = 1\r\n#c\rb\n\nk:v ";
  parseLinesInPlace(&buffer[0], buffer.size(), callback, false, true);
  std::vector<std::string> texts(callback.kept.begin(), callback.kept.end());
  EXPECT_EQ((std::vector<std::string>{"a", "1", "#c", "b", "-", "k", "v"}), texts);
  for (char const* text : callback.kept) {
    if (std::string(text) != "-") {
      EXPECT_TRUE(text >= buffer.data() && text <= buffer.data() + buffer.size()) << text;
    }
  }
}

TEST(ParseLinesTest, RefusalUsesTheCallbacksCodeAndStopsOnlyWithFailFast) {
  RecordingCallback callback;
  callback.results["b"] = PARSE_INVALID_VALUE;
  parseLines("a=1\n  b=2\nc=3", callback, false, false);
  EXPECT_EQ(callback.calls,
            (Calls{"value 0:0 a=1", "value 1:2 b=2", "error 1:2 304", "value 2:0 c=3"}));

  callback.calls.clear();
  parseLines("a=1\n  b=2\nc=3", callback, true, false);
  EXPECT_EQ(callback.calls, (Calls{"value 0:0 a=1", "value 1:2 b=2", "error 1:2 304"}));
}

TEST(ParseLinesTest, RefusedCommentReports305) {
  RecordingCallback callback;
  callback.acceptComments = false;
  parseLines(" #x\n#y", callback, true, false);
  EXPECT_EQ(callback.calls, (Calls{"comment 0:1 #x", "error 0:1 305"}));
}

TEST(ParseLinesTest, KeyWithoutValueRefusedByCallbackIsReported) {
  RecordingCallback callback;
  callback.results["k"] = PARSE_INVALID_KEY;
  parseLines("k\nm", callback, false, true);
  EXPECT_EQ(callback.calls, (Calls{"bare 0:0 k", "error 0:0 303", "bare 1:0 m"}));
}

TEST(ParseLinesTest, SettingsExceptionLeavesWithFailFast) {
  RecordingCallback callback;
  callback.throwingKey = "b";
  EXPECT_THROW(parseLines("a=1\nb=2\nc=3", callback, true, false), settings::Exception);
  EXPECT_EQ(callback.calls, (Calls{"value 0:0 a=1", "value 1:0 b=2"}));
}

TEST(ParseLinesTest, SettingsExceptionOnlyRefusesItsLineWithoutFailFast) {
  RecordingCallback callback;
  callback.throwingKey = "b";
  parseLines("a=1\nb=2\nc=3", callback, false, false);
  EXPECT_EQ(callback.calls, (Calls{"value 0:0 a=1", "value 1:0 b=2", "value 2:0 c=3"}));
}

TEST(ParseLinesTest, OtherExceptionsLeaveWithoutFailFast) {
  RecordingCallback callback;
  callback.foreignThrowingKey = "b";
  EXPECT_THROW(parseLines("a=1\nb=2\nc=3", callback, false, false), std::runtime_error);
}

class RecordingListener : public IParserErrorListener {
 public:
  void onError(IParserCursor const&, char const* message) override {
    messages.push_back(message);
    if (raise)
      throw settings::Exception(SETTINGS_INVALID_VALUE_ERROR);
  }

  bool raise = false;
  std::vector<std::string> messages;
};

class ParserTest : public testing::Test {
 protected:
  std::unique_ptr<IConfig> parse(PlainTextFileConfigParser& parser) {
    parser.setErrorListener(&listener);
    return std::unique_ptr<IConfig>(parser.parse());
  }

  std::unique_ptr<IConfig> parseText(std::string const& text, bool failFast = true) {
    PlainTextFileConfigParser parser(text);
    parser.setFailFast(failFast);
    return parse(parser);
  }

  std::unique_ptr<IConfig> parseFile(std::string const& path) {
    PlainTextFileConfigParser parser{Filename(path)};
    return parse(parser);
  }

  static void expectValue(IConfig const* config, char const* key, std::string const& value) {
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->toUtf8(key), value) << "key " << key;
  }

  // The source fails with code before any line reaches the listener.
  void expectSourceFailure(PlainTextFileConfigParser& parser, int code) {
    try {
      parse(parser);
      ADD_FAILURE() << "expected status " << code;
    } catch (settings::Exception const& e) {
      EXPECT_EQ(e.code, code);
    }
    EXPECT_TRUE(listener.messages.empty());
  }

  RecordingListener listener;
  tamo_test::TempDir dir;
};

TEST_F(ParserTest, FailFastStopsAtTheFirstRefusedLineAndReturnsNull) {
  EXPECT_EQ(parseText("a=1\n=2\nb=3\n=4"), nullptr);
  EXPECT_EQ(listener.messages, Calls{"\"Empty key\" at line 2; char 1"});
}

TEST_F(ParserTest, WithoutFailFastEveryRefusedLineIsReportedAndTheRestKept) {
  auto const config = parseText("a=1\n=2\nb=3\n  k", false);
  expectValue(config.get(), "a", "1");
  expectValue(config.get(), "b", "3");
  EXPECT_EQ(config->getKeys().size(), 2u);
  EXPECT_EQ(listener.messages,
            (Calls{"\"Empty key\" at line 2; char 1", "\"Key without value\" at line 4; char 3"}));
}

TEST_F(ParserTest, RaisingListenerEndsTheParseWithFailFast) {
  listener.raise = true;
  EXPECT_THROW(parseText("a=1\n=2\nb=3"), settings::Exception);
}

TEST_F(ParserTest, RaisingListenerOnlyDropsItsLineWithoutFailFast) {
  listener.raise = true;
  auto const config = parseText("a=1\n=2\nk\nb=3", false);
  expectValue(config.get(), "a", "1");
  expectValue(config.get(), "b", "3");
  EXPECT_EQ(listener.messages.size(), 2u);
}

TEST_F(ParserTest, InitRestoresTheSettingsButKeepsTheSource) {
  PlainTextFileConfigParser parser("k");
  parser.setFailFast(false);
  parser.setAllowKeysWithoutValues(true);
  parser.init();
  EXPECT_EQ(parse(parser), nullptr);
  EXPECT_EQ(listener.messages, Calls{"\"Key without value\" at line 1; char 1"});
}

TEST_F(ParserTest, TextThatIsNotUtf8IsRefusedWhole) {
  PlainTextFileConfigParser parser("=\na=1\n\x80");
  expectSourceFailure(parser, SETTINGS_BUFFER_ENCODING_ERROR);
}

// The largest file read has one byte less than 1 MiB.
constexpr std::size_t kLargestFile = (std::size_t{1} << 20) - 1;

TEST_F(ParserTest, LargestFileIsRead) {
  std::string const value(kLargestFile - 2, 'v');
  tamo_test::writeFile(dir.file("big"), "k=" + value);
  expectValue(parseFile(dir.file("big")).get(), "k", value);
}

TEST_F(ParserTest, FileOfOneMebibyteIsTooBig) {
  tamo_test::writeFile(dir.file("big"), "k=" + std::string(kLargestFile - 1, 'v'));
  PlainTextFileConfigParser parser{Filename(dir.file("big"))};
  expectSourceFailure(parser, SETTINGS_FILE_TOO_BIG_ERROR);
}

TEST_F(ParserTest, FileStartingWithAContinuationByteIsNotUtf8) {
  tamo_test::writeFile(dir.file("f"), "\x80k=v\n");
  PlainTextFileConfigParser parser{Filename(dir.file("f"))};
  expectSourceFailure(parser, SETTINGS_BUFFER_ENCODING_ERROR);
}

TEST_F(ParserTest, MissingFileCannotBeOpened) {
  PlainTextFileConfigParser parser{Filename(dir.file("missing"))};
  expectSourceFailure(parser, SETTINGS_OPEN_FILE_ERROR);
}

TEST_F(ParserTest, DirectoryCannotBeRead) {
  ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0700), 0);
  PlainTextFileConfigParser parser{Filename(dir.file("d"))};
  expectSourceFailure(parser, SETTINGS_READ_FILE_ERROR);
}

TEST_F(ParserTest, FileKeepsNulBytesAndIsReadAnewOnEveryParse) {
  tamo_test::writeFile(dir.file("f"), "a=1\0x\nb=2"s);
  PlainTextFileConfigParser parser{Filename(dir.file("f"))};
  auto const first = parse(parser);
  expectValue(first.get(), "a", "1");
  expectValue(first.get(), "b", "2");

  tamo_test::writeFile(dir.file("f"), "a=3");
  expectValue(parse(parser).get(), "a", "3");
}

}  // namespace
}  // namespace settings_impl
