#include "arguments.h"

#include <algorithm>
#include <cstring>
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

// A layout in place of a file.
std::set<std::string> withLayout(std::set<std::string> valued) {
  valued.insert({"--layout", "--project", "--hierarchies", "--suffix", "--root"});
  return valued;
}

std::vector<CommandOptions> const& commands() {
  static std::vector<CommandOptions> const table = {
      {"check", {"--installer", "--json"}, withLayout({})},
      {"get", {"--installer", "--json", "--null", "--all"}, withLayout({"--type", "--default"})},
      {"list", {"--installer", "--json", "--null"}, withLayout({"--format", "--prefix"})},
      {"set", kChangeFlags, withLayout({"--wait", "--drop-in"})},
      {"unset", kChangeFlags, withLayout({"--wait", "--drop-in"})},
      {"merge", kChangeFlags, {"--output", "--wait"}},
      {"files", {"--installer", "--json"}, withLayout({})},
      {"mask", {"--detailed-exitcodes"}, withLayout({})},
      {"unmask", {"--detailed-exitcodes"}, withLayout({})},
  };
  return table;
}

// Short forms and their long names.
std::string longName(std::string const& argument) {
  if (argument == "-o")
    return "--output";
  if (argument == "-z")
    return "--null";
  return argument;
}

[[noreturn]] void usage(std::string const& message) {
  throw ToolError(EXIT_USAGE, message + " (see tamo-settings --help)");
}

CommandOptions const* optionsOf(std::string const& command) {
  auto const found = std::find_if(commands().begin(), commands().end(),
                                  [&](auto const& c) { return command == c.command; });
  return found == commands().end() ? nullptr : &*found;
}

}  // namespace

std::optional<std::string> Arguments::value(std::string const& option) const {
  auto const found = options.find(option);
  if (found == options.end())
    return std::nullopt;
  return found->second;
}

Request requestOf(int argc, char** argv) {
  Request request;
  CommandOptions const* allowed = argc > 1 ? optionsOf(argv[1]) : nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0)
      break;
    request.help |= std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
    request.version |= i == 1 && std::strcmp(argv[i], "--version") == 0;
    request.json |= allowed != nullptr && std::strcmp(argv[i], "--json") == 0 &&
                    allowed->flags.count("--json") != 0;
  }
  return request;
}

Arguments parseArguments(int argc, char** argv) {
  Arguments arguments;
  if (argc < 2)
    usage("a subcommand is needed");
  arguments.command = argv[1];
  CommandOptions const* const allowed = optionsOf(arguments.command);
  if (allowed == nullptr)
    usage("unknown subcommand " + printable(arguments.command));
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    std::string const argument = argv[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      arguments.operands.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    std::size_t const equals =
        argument.rfind("--", 0) == 0 ? argument.find('=') : std::string::npos;
    std::string const name = longName(argument.substr(0, equals));
    bool const isFlag = allowed->flags.count(name) != 0;
    bool const isValued = allowed->valued.count(name) != 0;
    if (!isFlag && !isValued)
      usage(arguments.command + ": unknown option " + printable(name));
    if (isFlag && equals != std::string::npos)
      usage(arguments.command + ": " + name + " takes no value");
    std::string value;
    if (isValued && equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (isValued) {
      if (i + 1 == argc)
        usage(arguments.command + ": " + name + " needs a value");
      value = argv[++i];
    }
    arguments.options[name] = value;
  }
  return arguments;
}

}  // namespace tamo_tool
