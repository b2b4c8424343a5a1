// tamo-settings: check, read and change settings files from the shell.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "commands.h"
#include "tool_error.h"

#ifndef TAMO_SETTINGS_VERSION
#define TAMO_SETTINGS_VERSION "unknown"
#endif

namespace {

char const kHelp[] =
    "Usage: tamo-settings COMMAND [OPTIONS] ARGUMENTS\n"
    "Check, read and change settings files without losing a comment.\n"
    "\n"
    "  check [--installer] FILE...        report every refused line as FILE:LINE:COLUMN\n"
    "  get [--installer] FILE KEY [--type=text|int|bool|double] [--default=VALUE]\n"
    "  list [--installer] FILE [--format=lines|json]\n"
    "  set [OPTIONS] FILE KEY=VALUE...     change or add keys, one transaction\n"
    "  unset [OPTIONS] FILE KEY...         remove keys, one transaction\n"
    "  merge [OPTIONS] FILE... [-o FILE]   later files win; printed, or written to FILE\n"
    "\n"
    "Options:\n"
    "  --installer           read and check as tamo-install-config does\n"
    "  --check               change nothing, report what would change\n"
    "  --diff                also print a unified diff\n"
    "  --json                report as one JSON object\n"
    "  --detailed-exitcodes  exit 2 when something changed\n"
    "  --wait=SECONDS        wait so long for another writer's lock (default 5)\n"
    "  --no-lock             write without the writers' lock\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 done, 1 no (key absent, refused lines), 2 changed (with\n"
    "--detailed-exitcodes), 64 usage, 65 value or file refused, 66 input missing\n"
    "or unreadable, 70 internal error, 73 cannot create, 74 cannot write,\n"
    "75 locked by another writer, 77 permission denied. See tamo-settings(1).\n";

int dispatch(tamo_tool::Arguments const& arguments) {
  using namespace tamo_tool;
  if (arguments.command == "check")
    return runCheck(arguments);
  if (arguments.command == "get")
    return runGet(arguments);
  if (arguments.command == "list")
    return runList(arguments);
  if (arguments.command == "set")
    return runSet(arguments);
  if (arguments.command == "unset")
    return runUnset(arguments);
  return runMerge(arguments);
}

int fail(int status, char const* message) {
  std::fprintf(stderr, "tamo-settings: %s\n", message);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelp, stdout);
    return tamo_tool::EXIT_DONE;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("tamo-settings " TAMO_SETTINGS_VERSION);
    return tamo_tool::EXIT_DONE;
  }
  try {
    int const status = dispatch(tamo_tool::parseArguments(argc, argv));
    if (std::fflush(stdout) != 0)
      return fail(tamo_tool::EXIT_CANNOT_WRITE, "cannot write to standard output");
    return status;
  } catch (tamo_tool::ToolError const& e) {
    return fail(e.status, e.what());
  } catch (std::bad_alloc const&) {
    return fail(tamo_tool::EXIT_INTERNAL, "out of memory");
  } catch (std::exception const& e) {
    return fail(tamo_tool::EXIT_INTERNAL, e.what());
  }
}
