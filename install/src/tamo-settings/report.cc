#include "report.h"

#include <cstdio>

#include "tool_error.h"

namespace tamo_tool {

char const* KeyChange::action() const {
  if (before == after)
    return "unchanged";
  if (!before)
    return "added";
  return after ? "updated" : "removed";
}

std::string jsonString(std::string const& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string jsonValue(std::optional<std::string> const& text) {
  return text ? jsonString(*text) : "null";
}

namespace {

std::string asJson(ChangeReport const& report) {
  std::string out = std::string("{\"changed\":") + (report.changed() ? "true" : "false");
  out += ",\"keys\":[";
  for (std::size_t i = 0; i < report.keys.size(); ++i) {
    KeyChange const& key = report.keys[i];
    out += i == 0 ? "" : ",";
    out += "{\"key\":" + jsonString(key.key) + ",\"action\":\"" + key.action() +
           "\",\"before\":" + jsonValue(key.before) + ",\"after\":" + jsonValue(key.after) + "}";
  }
  return out + "],\"diff\":" + jsonString(report.diff) + "}\n";
}

std::string asText(ChangeReport const& report, OutputOptions const& options) {
  std::string out;
  for (KeyChange const& key : report.keys)
    out += std::string(key.action()) + " " + key.key + "\n";
  if (options.diff)
    out += report.diff;
  return out;
}

}  // namespace

OutputOptions outputOptionsOf(Arguments const& arguments) {
  OutputOptions options;
  options.json = arguments.has("--json");
  options.diff = arguments.has("--diff");
  options.checkOnly = arguments.has("--check");
  options.detailedExitCodes = arguments.has("--detailed-exitcodes");
  return options;
}

int finishChange(ChangeReport const& report, OutputOptions const& options) {
  std::string const out = options.json ? asJson(report) : asText(report, options);
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0)
    throw ToolError(EXIT_CANNOT_WRITE, "cannot write to standard output");
  return report.changed() && options.detailedExitCodes ? EXIT_CHANGED : EXIT_DONE;
}

}  // namespace tamo_tool
