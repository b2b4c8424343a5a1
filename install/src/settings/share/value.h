// A typed configuration value, the readers that turn texts into numbers and
// truth values, and the UTF-8 check shared by values, texts and file names.
#ifndef TAMO_SETTINGS_SHARE_VALUE_H
#define TAMO_SETTINGS_SHARE_VALUE_H

#include <string>

#include "config.h"

namespace settings_impl {

// The first position in [first, last) where a sequence must begin but the
// byte cannot begin one, or last when there is none. Only lead bytes are
// examined. Reads nothing at or past last.
char const* validateUtf8Sequence(char const* first, char const* last);

// Whether a and b are equal once the letters A to Z are folded with the C
// library's tolower (the process locale is never changed, so no other byte
// folds). Keys and fixed values match this way when case does not matter.
bool equalsIgnoringAsciiCase(std::string const& a, std::string const& b);

// What the typed getters of an UNTYPED value read from its text; the same
// failures (ValueFormatError, 302).
int readUntypedInteger(char const* text);
double readUntypedDouble(char const* text);
bool readUntypedBoolean(char const* text);

// One value: its text as written and, for INTEGER, BOOLEAN and DOUBLE, the
// value read from it when it was made. Typed getters of an UNTYPED value read
// the text on each call. Failures: ValueFormatError (302) for a text that is
// not UTF-8 or does not read as the type, TypeMismatchError (301) for a getter
// of another type.
class ConfigValue {
 public:
  // Completed by init before anyone reads it.
  explicit ConfigValue(IConfig::Type type);
  // A null text gives the value's canonical text.
  ConfigValue(bool value, char const* text);
  ConfigValue(int value, char const* text);
  ConfigValue(double value, char const* text);
  ConfigValue(ConfigValue const&) = delete;
  ConfigValue& operator=(ConfigValue const&) = delete;

  // Replaces the text and reads the typed value from it. When the reading
  // fails the text has already been replaced; callers then discard the value.
  void init(std::string const& text);
  // The same for a NUL-terminated text, without a temporary copy of it.
  void init(char const* text);

  // Valid while the value lives and is not re-initialised.
  char const* getUtf8() const { return text.c_str(); }
  bool getBoolean() const;
  int getInteger() const;
  double getDouble() const;
  IConfig::Type getType() const { return type; }

 private:
  void readTypedValue();

  IConfig::Type type;
  union {
    bool booleanValue;
    int integerValue;
    double doubleValue;
  } value;
  std::string text;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_VALUE_H
