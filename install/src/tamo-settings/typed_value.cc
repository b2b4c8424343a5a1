#include "typed_value.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "tool_error.h"

namespace tamo_tool {

namespace {

bool allOf(std::string_view text, bool (*accepted)(char)) {
  if (text.empty())
    return false;
  for (char c : text) {
    if (!accepted(c))
      return false;
  }
  return true;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isOctal(char c) {
  return c >= '0' && c <= '7';
}
bool isHex(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string_view withoutSign(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-'))
    text.remove_prefix(1);
  return text;
}

// The library reads "0x" (or "-0x") as hexadecimal and a leading "0" (or
// "-0") as octal, but "+0x10" as 0: a plus sign goes with decimal only.
bool isIntegerText(std::string_view text) {
  bool const plus = !text.empty() && text[0] == '+';
  text = withoutSign(text);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return !plus && allOf(text.substr(2), isHex);
  if (text.size() > 1 && text[0] == '0')
    return !plus && allOf(text.substr(1), isOctal);
  return allOf(text, isDigit);
}

std::size_t digitsAt(std::string_view text, std::size_t at) {
  std::size_t end = at;
  while (end < text.size() && isDigit(text[end]))
    ++end;
  return end - at;
}

bool isDoubleText(std::string_view text) {
  text = withoutSign(text);
  std::size_t const whole = digitsAt(text, 0);
  std::size_t at = whole;
  std::size_t fraction = 0;
  if (at < text.size() && text[at] == '.') {
    fraction = digitsAt(text, at + 1);
    at += 1 + fraction;
  }
  if (whole + fraction == 0)
    return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    std::string_view const exponent = withoutSign(text.substr(at + 1));
    return allOf(exponent, isDigit);
  }
  return at == text.size();
}

bool equalsFolded(std::string_view text, char const* word) {
  std::size_t i = 0;
  for (; word[i] != '\0'; ++i) {
    if (i == text.size() || (text[i] | 0x20) != word[i])
      return false;
  }
  return i == text.size();
}

bool isBooleanText(std::string_view text) {
  return text == "0" || text == "1" || equalsFolded(text, "true") || equalsFolded(text, "false") ||
         equalsFolded(text, "yes") || equalsFolded(text, "no");
}

bool isOfType(std::string_view text, ValueType type) {
  switch (type) {
    case ValueType::INT:
      return isIntegerText(text);
    case ValueType::DOUBLE:
      return isDoubleText(text);
    case ValueType::BOOL:
      return isBooleanText(text);
    case ValueType::TEXT:
      break;
  }
  return true;
}

char const* typeName(ValueType type) {
  switch (type) {
    case ValueType::INT:
      return "an integer";
    case ValueType::DOUBLE:
      return "a number";
    case ValueType::BOOL:
      return "a truth value";
    case ValueType::TEXT:
      break;
  }
  return "text";
}

[[noreturn]] void refuse(std::string const& text, ValueType type, char const* why) {
  throw ToolError(EXIT_REFUSED,
                  "\"" + printable(text) + "\" " + why + " " + std::string(typeName(type)));
}

// The digits and decimal exponent of the shortest text that reads back as
// value: value = 0.DIGITS x 10^exponent.
void shortestDigits(double value, std::string& digits, int& exponent) {
  char text[40];
  for (int precision = 0; precision <= 16; ++precision) {
    std::snprintf(text, sizeof text, "%.*e", precision, value);
    if (std::strtod(text, nullptr) == value)
      break;
  }
  // text is "D[.DDD]e[+-]X".
  char* mark = text;
  while (*mark != 'e') {
    if (*mark != '.')
      digits += *mark;
    ++mark;
  }
  exponent = std::atoi(mark + 1) + 1;
  while (digits.size() > 1 && digits.back() == '0')
    digits.pop_back();
}

}  // namespace

ValueType valueTypeOf(std::string const& name) {
  if (name == "text")
    return ValueType::TEXT;
  if (name == "int")
    return ValueType::INT;
  if (name == "bool")
    return ValueType::BOOL;
  if (name == "double")
    return ValueType::DOUBLE;
  throw ToolError(EXIT_USAGE, "get: --type is text, int, bool or double");
}

// As JavaScript and jq print numbers.
std::string canonicalDouble(double value) {
  if (value == 0)
    return "0";
  std::string const sign = value < 0 ? "-" : "";
  std::string digits;
  int exponent = 0;
  shortestDigits(std::fabs(value), digits, exponent);
  int const count = static_cast<int>(digits.size());
  if (exponent > 21 || exponent < -5) {
    std::string const mantissa = count == 1 ? digits : digits.substr(0, 1) + "." + digits.substr(1);
    int const shown = exponent - 1;
    return sign + mantissa + "e" + (shown < 0 ? "-" : "+") + std::to_string(std::abs(shown));
  }
  if (exponent <= 0)
    return sign + "0." + std::string(-exponent, '0') + digits;
  if (exponent >= count)
    return sign + digits + std::string(exponent - count, '0');
  return sign + digits.substr(0, exponent) + "." + digits.substr(exponent);
}

std::string typedValue(settings_context_t* context, std::string const& key, ValueType type,
                       bool typedByRules) {
  std::optional<std::string> const text = valueOf(context, key);
  if (!text || type == ValueType::TEXT)
    return text.value_or("");
  if (!typedByRules && !isOfType(*text, type))
    refuse(*text, type, "is not");
  int status = SETTINGS_NO_ERROR;
  std::string answer;
  if (type == ValueType::INT) {
    int value = 0;
    status = api().context_get_integer_value(context, key.c_str(), &value);
    answer = std::to_string(value);
  } else if (type == ValueType::BOOL) {
    int value = 0;
    status = api().context_get_boolean_value(context, key.c_str(), &value);
    answer = value != 0 ? "true" : "false";
  } else {
    double value = 0;
    status = api().context_get_double_value(context, key.c_str(), &value);
    answer = canonicalDouble(value);
  }
  if (status == SETTINGS_VALUE_FORMAT_ERROR)
    refuse(*text, type, "is out of range for");
  if (status == SETTINGS_TYPE_MISMATCH_ERROR)
    refuse(*text, type, "is not");
  if (status != SETTINGS_NO_ERROR)
    internalFailure("reading a value", status);
  return answer;
}

std::string typedText(std::string const& text, ValueType type) {
  if (type == ValueType::TEXT)
    return text;
  if (text.find_first_of("\r\n") != std::string::npos || !isOfType(text, type))
    refuse(text, type, "is not");
  Context single = newContext();
  Import const import = importText(single.get(), "v=" + text, ReadRules(false));
  if (import.status != SETTINGS_NO_ERROR)
    refuse(text, type, "is not");
  return typedValue(single.get(), "v", type, false);
}

}  // namespace tamo_tool
