// The command line: a subcommand, its options and its operands.
#ifndef TAMO_SETTINGS_TOOL_ARGUMENTS_H
#define TAMO_SETTINGS_TOOL_ARGUMENTS_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tamo_tool {

struct Arguments {
  std::string command;
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;  // "--name" to its value ("" for a flag)

  bool has(std::string const& option) const { return options.count(option) != 0; }
  std::optional<std::string> value(std::string const& option) const;
};

// What the command line asks before it is parsed: --help or -h anywhere
// (before "--"), --version, and --json for a subcommand that takes it, so
// that even a usage error is reported as JSON.
struct Request {
  bool help = false;
  bool version = false;
  bool json = false;
};
Request requestOf(int argc, char** argv);

// Options may stand anywhere after the subcommand, "--" ends them; a valued
// option takes its value as --name=VALUE or as the next argument. Each
// subcommand accepts only its own; ToolError (64) otherwise.
Arguments parseArguments(int argc, char** argv);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_ARGUMENTS_H
