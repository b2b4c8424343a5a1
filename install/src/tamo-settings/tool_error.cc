#include "tool_error.h"

#include <cstdio>
#include <string_view>

#include "output.h"

namespace tamo_tool {

namespace {

void appendByteEscape(std::string& out, unsigned char c) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
  out += escaped;
}

// The one escaping of text bound for a terminal: C0 controls, DEL, the C1
// controls (as bytes and as UTF-8 U+0080 to U+009F, which terminals obey
// alike) and every byte of no well-formed UTF-8 sequence become escapes.
std::string escaped(std::string_view text, bool escapeBackslash) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    unsigned char const c = static_cast<unsigned char>(text[at]);
    std::size_t const length = sequenceLength(text, at);
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\\' && escapeBackslash) {
      out += "\\\\";
    } else if (length == 0 || c < 0x20 || c == 0x7F) {
      appendByteEscape(out, c);
    } else if (isC1Control(text.substr(at, length))) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04X", static_cast<unsigned char>(text[at + 1]));
      out += code;
    } else {
      out.append(text.substr(at, length));
    }
    at += length == 0 ? 1 : length;
  }
  return out;
}

}  // namespace

std::string printable(std::string const& text) {
  return escaped(text, true);
}

std::string terminalSafe(std::string const& message) {
  return escaped(message, false);
}

void fileError(int status, std::string const& file, std::string const& reason) {
  throw ToolError(status, printable(file) + ": " + reason, file);
}

}  // namespace tamo_tool
