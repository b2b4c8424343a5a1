#include "value.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ios>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>

#include "status.h"

namespace settings_impl {

namespace {

// Lead-byte masks; the index of the first that matches is the sequence
// length minus one. A byte b matches mask m when (b & m) == ((m << 1) & 0xFF).
constexpr unsigned char kLeadMasks[] = {0x80, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};

// The length a lead byte announces, or 0 for a byte that cannot begin one.
std::ptrdiff_t sequenceLength(unsigned char byte) {
  for (std::size_t i = 0; i < sizeof kLeadMasks; ++i) {
    unsigned const mask = kLeadMasks[i];
    if ((byte & mask) == ((mask << 1) & 0xFFu))
      return static_cast<std::ptrdiff_t>(i) + 1;
  }
  return 0;
}

// The prefixes that choose the base of a number.
constexpr char HEX_PRE_POS[] = "0x";
constexpr char HEX_PRE_NEG[] = "-0x";
constexpr char OCT_PRE_NEG[] = "-0";

bool startsWith(std::string const& s, char const* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Only these count as leading blanks. CR and FF stay: a text that starts
// with one is read in decimal, and the stream skips them before the number.
void stripLeadingBlanks(std::string& s) {
  s.erase(0, s.find_first_not_of(" \t\n\v"));
}

void lowercase(std::string& s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// A double ignores the base; the stream reads it in decimal either way.
std::ios_base::fmtflags chooseBase(std::string const& s) {
  if (startsWith(s, HEX_PRE_POS) || startsWith(s, HEX_PRE_NEG))
    return std::ios_base::hex;
  if (!s.empty() && s[0] == '0')
    return std::ios_base::oct;
  if (startsWith(s, OCT_PRE_NEG))
    return std::ios_base::oct;
  return std::ios_base::dec;
}

// Reads the number at the start of s; trailing text is ignored. Throws
// std::ios_base::failure when there is no number or it is out of range.
template <typename T>
T stringTo(std::string s) {
  stripLeadingBlanks(s);
  lowercase(s);
  std::istringstream stream(s);
  // Numbers are read by the classic rules whatever locale the host program
  // has installed, so a settings file means the same everywhere.
  stream.imbue(std::locale::classic());
  stream.exceptions(std::ios_base::failbit | std::ios_base::badbit);
  stream.setf(chooseBase(s), std::ios_base::basefield);
  T result{};
  stream >> result;
  return result;
}

char const* parseUtf8(std::string const& text) {
  char const* first = text.data();
  char const* last = first + text.size();
  if (validateUtf8Sequence(first, last) != last)
    throw ValueFormatError();
  return text.c_str();
}

int parseInteger(std::string const& text) {
  try {
    return stringTo<int>(text);
  } catch (std::ios_base::failure const&) {
    throw ValueFormatError();
  }
}

double parseDouble(std::string const& text) {
  try {
    return stringTo<double>(text);
  } catch (std::ios_base::failure const&) {
    throw ValueFormatError();
  }
}

bool parseBoolean(std::string s) {
  if (!s.empty()) {
    lowercase(s);
    if (s == "yes" || s == "true")
      return true;
    if (s == "no" || s == "false")
      return false;
  }
  return parseInteger(s) != 0;
}

// The text printf's %g gives with precision 6, built without the process
// locale so the decimal point is always '.'.
std::string formatDouble(double value) {
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  stream.precision(6);
  stream << value;
  return stream.str();
}

std::string checkedText(char const* text) {
  std::string result(text);
  parseUtf8(result);
  return result;
}

// Settings texts are mostly ASCII and whole files pass through the check, so
// ASCII is skipped a word at a time while no byte of the word has its high
// bit set.
char const* skipAscii(char const* position, char const* last) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  while (last - position >= static_cast<std::ptrdiff_t>(sizeof kHighBits)) {
    std::uint64_t word;
    std::memcpy(&word, position, sizeof word);
    if ((word & kHighBits) != 0)
      break;
    position += sizeof word;
  }
  while (position != last && static_cast<unsigned char>(*position) < 0x80)
    ++position;
  return position;
}

}  // namespace

// A sequence cut off by last counts as invalid: the text ends inside a
// character, and accepting it would let a later concatenation change what the
// bytes mean. Its lead byte is reported.
char const* validateUtf8Sequence(char const* first, char const* last) {
  char const* position = skipAscii(first, last);
  while (position != last) {
    std::ptrdiff_t const length = sequenceLength(static_cast<unsigned char>(*position));
    if (length == 0 || length > last - position)
      return position;
    position = skipAscii(position + length, last);
  }
  return last;
}

ConfigValue::ConfigValue(IConfig::Type type) : type(type), value{} {}

// A given text is kept as written and not compared with the value.
ConfigValue::ConfigValue(bool truth, char const* givenText)
    : type(IConfig::BOOLEAN),
      value{},
      text(givenText ? checkedText(givenText) : (truth ? "true" : "false")) {
  value.booleanValue = truth;
}

ConfigValue::ConfigValue(int number, char const* givenText)
    : type(IConfig::INTEGER),
      value{},
      text(givenText ? checkedText(givenText) : std::to_string(number)) {
  value.integerValue = number;
}

ConfigValue::ConfigValue(double number, char const* givenText)
    : type(IConfig::DOUBLE),
      value{},
      text(givenText ? checkedText(givenText) : formatDouble(number)) {
  value.doubleValue = number;
}

void ConfigValue::init(std::string const& newText) {
  parseUtf8(newText);
  // A text with a NUL could not be handed out whole through getUtf8.
  text = newText.c_str();
  readTypedValue();
}

void ConfigValue::init(char const* newText) {
  char const* const last = newText + std::strlen(newText);
  if (validateUtf8Sequence(newText, last) != last)
    throw ValueFormatError();
  // Made to its exact size: assigning to the empty text would make room for
  // at least twice its inline buffer, half again the memory of a short value.
  text = std::string(newText, last);
  readTypedValue();
}

void ConfigValue::readTypedValue() {
  switch (type) {
    case IConfig::UNTYPED:
    case IConfig::UTF8:
      return;
    case IConfig::INTEGER:
      value.integerValue = parseInteger(text);
      return;
    case IConfig::BOOLEAN:
      value.booleanValue = parseBoolean(text);
      return;
    case IConfig::DOUBLE:
      value.doubleValue = parseDouble(text);
      return;
  }
  throw std::runtime_error("unexpected");
}

bool ConfigValue::getBoolean() const {
  if (type == IConfig::BOOLEAN)
    return value.booleanValue;
  if (type == IConfig::UNTYPED)
    return parseBoolean(text);
  throw TypeMismatchError();
}

int ConfigValue::getInteger() const {
  if (type == IConfig::INTEGER)
    return value.integerValue;
  if (type == IConfig::UNTYPED)
    return parseInteger(text);
  throw TypeMismatchError();
}

double ConfigValue::getDouble() const {
  if (type == IConfig::DOUBLE)
    return value.doubleValue;
  if (type == IConfig::UNTYPED)
    return parseDouble(text);
  throw TypeMismatchError();
}

int readUntypedInteger(char const* text) {
  return parseInteger(text);
}

double readUntypedDouble(char const* text) {
  return parseDouble(text);
}

bool readUntypedBoolean(char const* text) {
  return parseBoolean(text);
}

bool equalsIgnoringAsciiCase(std::string const& a, std::string const& b) {
  auto const foldedEqual = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), foldedEqual);
}

}  // namespace settings_impl
