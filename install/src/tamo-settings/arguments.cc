#include "arguments.h"

#include <algorithm>
#include <set>

#include "tool_error.h"

namespace tamo_tool {

namespace {

struct CommandOptions {
  char const* command;
  std::set<std::string> flags;
  std::set<std::string> valued;
};

std::set<std::string> const kChangeFlags = {"--installer",          "--check",  "--diff", "--json",
                                            "--detailed-exitcodes", "--no-lock"};

std::vector<CommandOptions> const& commands() {
  static std::vector<CommandOptions> const table = {
      {"check", {"--installer"}, {}},          {"get", {"--installer"}, {"--type", "--default"}},
      {"list", {"--installer"}, {"--format"}}, {"set", kChangeFlags, {"--wait"}},
      {"unset", kChangeFlags, {"--wait"}},     {"merge", kChangeFlags, {"--output", "--wait"}},
  };
  return table;
}

[[noreturn]] void usage(std::string const& message) {
  throw ToolError(EXIT_USAGE, message + " (see tamo-settings --help)");
}

void addOption(Arguments& arguments, CommandOptions const& allowed, std::string const& name,
               std::optional<std::string> const& value) {
  bool const isFlag = allowed.flags.count(name) != 0;
  bool const isValued = allowed.valued.count(name) != 0;
  if (!isFlag && !isValued)
    usage(arguments.command + ": unknown option " + name);
  if (isFlag && value)
    usage(arguments.command + ": " + name + " takes no value");
  if (isValued && !value)
    usage(arguments.command + ": " + name + " needs a value, as " + name + "=VALUE");
  arguments.options[name] = value.value_or("");
}

}  // namespace

std::optional<std::string> Arguments::value(std::string const& option) const {
  auto const found = options.find(option);
  if (found == options.end())
    return std::nullopt;
  return found->second;
}

Arguments parseArguments(int argc, char** argv) {
  Arguments arguments;
  if (argc < 2)
    usage("a subcommand is needed");
  arguments.command = argv[1];
  auto const allowed = std::find_if(commands().begin(), commands().end(),
                                    [&](auto const& c) { return arguments.command == c.command; });
  if (allowed == commands().end())
    usage("unknown subcommand " + arguments.command);
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    std::string const argument = argv[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      arguments.operands.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "-o") {
      if (i + 1 == argc)
        usage("-o needs a file");
      addOption(arguments, *allowed, "--output", std::string(argv[++i]));
    } else {
      std::size_t const equals = argument.find('=');
      std::optional<std::string> value;
      if (equals != std::string::npos)
        value = argument.substr(equals + 1);
      addOption(arguments, *allowed, argument.substr(0, equals), value);
    }
  }
  return arguments;
}

}  // namespace tamo_tool
