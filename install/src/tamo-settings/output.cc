#include "output.h"

#include <cstdio>

namespace tamo_tool {

namespace {

bool isContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

}  // namespace

// The ranges of the second byte exclude overlong forms (E0, F0), surrogates
// (ED) and code points above U+10FFFF (F4).
std::size_t sequenceLength(std::string_view text, std::size_t at) {
  unsigned char const lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80)
    return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() - at < length)
    return 0;
  unsigned char const second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high)
    return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!isContinuation(static_cast<unsigned char>(text[at + i])))
      return 0;
  }
  return length;
}

bool isC1Control(std::string_view sequence) {
  return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xC2 &&
         static_cast<unsigned char>(sequence[1]) < 0xA0;
}

namespace {

void appendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      if (c < 0x20 || c == 0x7F) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
      } else {
        out += static_cast<char>(c);
      }
  }
}

}  // namespace

// Ill-formed bytes become U+FFFD, so the output is JSON whatever it is
// given; callers that must not change a value check it first.
std::string jsonString(std::string_view text) {
  std::string out = "\"";
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t const length = sequenceLength(text, at);
    if (length == 1) {
      appendEscaped(out, static_cast<unsigned char>(text[at]));
    } else if (isC1Control(text.substr(at, length))) {
      // The same code point, escaped: a terminal showing the JSON would
      // take it as a control.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(text[at + 1]));
      out += escaped;
    } else if (length != 0) {
      out.append(text.substr(at, length));
    } else {
      out += "\xEF\xBF\xBD";
      ++at;
      continue;
    }
    at += length;
  }
  return out + "\"";
}

std::optional<std::size_t> firstInvalidUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t const length = sequenceLength(text, at);
    if (length == 0)
      return at;
    at += length;
  }
  return std::nullopt;
}

std::string jsonValue(std::optional<std::string> const& text) {
  return text ? jsonString(*text) : "null";
}

bool isShellName(std::string_view name) {
  auto const isLetter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (name.empty() || !isLetter(name[0]))
    return false;
  for (char c : name) {
    if (!isLetter(c) && !(c >= '0' && c <= '9'))
      return false;
  }
  return true;
}

std::string shellQuoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

bool writeOut(std::string_view text) {
  bool const written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written;
}

}  // namespace tamo_tool
