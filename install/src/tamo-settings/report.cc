#include "report.h"

#include <cerrno>
#include <cstring>

#include "output.h"
#include "tool_error.h"

namespace tamo_tool {

char const* KeyChange::action() const {
  if (before == after)
    return "unchanged";
  if (!before)
    return "added";
  return after ? "updated" : "removed";
}

namespace {

char const* jsonBool(bool value) {
  return value ? "true" : "false";
}

std::string asJson(ChangeReport const& report, bool written, bool checkOnly) {
  std::string out = std::string("{\"changed\":") + jsonBool(report.changed());
  out += ",\"keys\":[";
  for (std::size_t i = 0; i < report.keys.size(); ++i) {
    KeyChange const& key = report.keys[i];
    out += i == 0 ? "" : ",";
    out += "{\"key\":" + jsonString(key.key) + ",\"action\":\"" + key.action() +
           "\",\"before\":" + jsonValue(key.before) + ",\"after\":" + jsonValue(key.after) + "}";
  }
  out += "],\"diff\":" + jsonString(report.diff);
  out += std::string(",\"written\":") + jsonBool(written) + ",\"check\":" + jsonBool(checkOnly);
  return out + "}\n";
}

std::string asText(ChangeReport const& report, OutputOptions const& options) {
  std::string out;
  for (KeyChange const& key : report.keys)
    out += std::string(key.action()) + " " + printable(key.key) + "\n";
  if (options.diff)
    out += report.diff;
  if (options.checkOnly)
    out += "nothing written (--check)\n";
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

int finishChange(ChangeReport const& report, OutputOptions const& options,
                 std::function<void()> const& write) {
  bool const writing = report.changed() && !options.checkOnly;
  std::string const out =
      options.json ? asJson(report, writing, options.checkOnly) : asText(report, options);
  if (writing)
    write();
  if (!writeOut(out)) {
    std::string const cause = std::strerror(errno);
    if (writing)
      fileError(EXIT_CANNOT_WRITE, report.file,
                "changed, but the report could not be printed: " + cause);
    throw ToolError(EXIT_CANNOT_WRITE, "cannot write to standard output: " + cause);
  }
  return report.changed() && options.detailedExitCodes ? EXIT_CHANGED : EXIT_DONE;
}

}  // namespace tamo_tool
