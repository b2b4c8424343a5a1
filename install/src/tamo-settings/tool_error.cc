#include "tool_error.h"

#include <cstdio>

namespace tamo_tool {

std::string printable(std::string const& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void fileError(int status, std::string const& file, std::string const& reason) {
  throw ToolError(status, printable(file) + ": " + reason, file);
}

}  // namespace tamo_tool
