// tamo-settings: check, read and change settings files from the shell.
#include <malloc.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "commands.h"
#include "layered.h"
#include "output.h"
#include "tool_error.h"

#ifndef TAMO_SETTINGS_VERSION
#define TAMO_SETTINGS_VERSION "unknown"
#endif

namespace {

char const kHelp[] =
    "Usage: tamo-settings COMMAND [OPTIONS] ARGUMENTS\n"
    "Check, read and change settings files without losing a comment.\n"
    "\n"
    "  check [--installer] [--json] FILE...  report every refused line as FILE:LINE:COLUMN\n"
    "  get [--installer] FILE KEY [--type=text|int|bool|double] [--default=VALUE]\n"
    "      [-z|--null] [--json]\n"
    "  list [--installer] FILE [--format=lines|json|sh] [--prefix=PREFIX] [-z|--null]\n"
    "  set [OPTIONS] FILE KEY=VALUE...     change or add keys, one transaction\n"
    "  unset [OPTIONS] FILE KEY...         remove keys, one transaction\n"
    "  merge [OPTIONS] FILE... [-o FILE]   later files win; printed, or written to FILE\n"
    "\n"
    "A layout in place of FILE (vendor, runtime and administrator hierarchies with\n"
    "drop-ins, read as one): --layout=NAME with --project=P (/usr/lib/P, /run/P,\n"
    "/etc/P) or --hierarchies=DIR:DIR..., lowest first; --suffix=.conf, --root=DIR.\n"
    "  list, get KEY [--all], check      effective values with FILE:LINE origins\n"
    "  set, unset [--drop-in=NAME]       edit the administrator's drop-in\n"
    "                                    (default 99-local.SUFFIX); exit 3 when a\n"
    "                                    later file still wins\n"
    "  files                             every file met and what became of it\n"
    "  mask NAME, unmask NAME            hide a vendor file or drop-in, or show it\n"
    "\n"
    "FILE - is standard input for check, get, list and merge's inputs; -o - prints.\n"
    "Options take their value as --option=VALUE or --option VALUE.\n"
    "\n"
    "Options:\n"
    "  --installer           read and check as tamo-install-config does\n"
    "  --check               change nothing, report what would change\n"
    "  --diff                also print a unified diff\n"
    "  --json                report as one JSON object\n"
    "  --detailed-exitcodes  exit 2 when something changed\n"
    "  -z, --null            end each value with a NUL byte instead of a line end\n"
    "  --wait=SECONDS        wait so long for another writer's lock (default 5)\n"
    "  --no-lock             write without the writers' lock\n"
    "  --help, -h, --version\n"
    "\n"
    "Exit status: 0 done, 1 no (key absent, refused lines), 2 changed (with\n"
    "--detailed-exitcodes), 3 changed but a later file of the layout still wins,\n"
    "64 usage, 65 value or file refused, 66 input missing or unreadable,\n"
    "70 internal error, 73 cannot create, 74 cannot write,\n"
    "75 locked by another writer, 77 permission denied. See tamo-settings(1).\n";

int dispatch(tamo_tool::Arguments const& arguments) {
  using namespace tamo_tool;
  if (arguments.command == "files")
    return runFiles(arguments);
  if (arguments.command == "mask" || arguments.command == "unmask")
    return runMask(arguments, arguments.command == "mask");
  bool const layered = namesLayout(arguments);
  if (layered && arguments.command == "check")
    return runLayeredCheck(arguments);
  if (layered && arguments.command == "get")
    return runLayeredGet(arguments);
  if (layered && arguments.command == "list")
    return runLayeredList(arguments);
  if (layered && (arguments.command == "set" || arguments.command == "unset"))
    return runLayeredChange(arguments, arguments.command == "set");
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

// The message on standard error and, under --json, the same as one JSON
// object on standard output.
// Every message passes one escaping before it is shown.
int fail(int status, std::string const& raw, bool json, std::string const* file) {
  std::string const message = tamo_tool::terminalSafe(raw);
  std::fprintf(stderr, "tamo-settings: %s\n", message.c_str());
  if (json) {
    std::string const object = "{\"exit_code\":" + std::to_string(status) +
                               ",\"error\":" + tamo_tool::jsonString(message) +
                               ",\"file\":" + (file ? tamo_tool::jsonString(*file) : "null") +
                               "}\n";
    tamo_tool::writeOut(object);
  }
  return status;
}

// --help and --version print in full or fail.
int printOnly(char const* text) {
  if (tamo_tool::writeOut(text))
    return tamo_tool::EXIT_DONE;
  std::fprintf(stderr, "tamo-settings: cannot write to standard output: %s\n",
               std::strerror(errno));
  return tamo_tool::EXIT_CANNOT_WRITE;
}

}  // namespace

// glibc's largest mmap threshold on 32-bit builds; a larger one is refused.
constexpr std::size_t kLargerThanAnyCopy = 16 << 20;

// An edit holds a few copies of a file of up to 1 MiB at a time, each made
// and freed in turn. By default each is mapped afresh and unmapped when
// freed, so every copy pays a page fault per page; kept in the heap, the
// freed pages serve the next copy.
static void keepFreedMemory() {
  mallopt(M_MMAP_THRESHOLD, kLargerThanAnyCopy);
  mallopt(M_TRIM_THRESHOLD, 2 * kLargerThanAnyCopy);
}

// An edit of a large file still touches some 10 MiB of fresh memory, and on
// a virtual machine the first touch of each 4 KiB page can cost 10 us: most
// of the edit. So the heap is grown once, untouched, and offered for huge
// pages, which the kernel gives where it has them enabled for such advice.
// The advice starts past what a command on a small file uses, so that such a
// command pays only for the two calls; where huge pages are off nothing
// changes.
static void offerHugePagesToLargeEdits() {
  constexpr std::uintptr_t kHugePage = 2 << 20;
  constexpr std::uintptr_t kSmallCommandHeap = 64 << 10;
  // Below the mmap threshold, so that it is taken from the heap and stays.
  constexpr std::size_t kHeap = kLargerThanAnyCopy - (64 << 10);
  void* const block = std::malloc(kHeap);
  if (block == nullptr)
    return;
  std::uintptr_t const start = reinterpret_cast<std::uintptr_t>(block);
  std::uintptr_t const first = (start + kSmallCommandHeap + kHugePage - 1) & ~(kHugePage - 1);
  std::uintptr_t const last = (start + kHeap) & ~(kHugePage - 1);
  if (first < last)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  std::free(block);
}

int main(int argc, char** argv) {
  keepFreedMemory();
  offerHugePagesToLargeEdits();
  tamo_tool::Request const request = tamo_tool::requestOf(argc, argv);
  if (request.help)
    return printOnly(kHelp);
  if (request.version)
    return printOnly("tamo-settings " TAMO_SETTINGS_VERSION "\n");
  try {
    return dispatch(tamo_tool::parseArguments(argc, argv));
  } catch (tamo_tool::ToolError const& e) {
    return fail(e.status, e.what(), request.json, e.hasFile ? &e.file : nullptr);
  } catch (std::bad_alloc const&) {
    return fail(tamo_tool::EXIT_INTERNAL, "out of memory", request.json, nullptr);
  } catch (std::exception const& e) {
    return fail(tamo_tool::EXIT_INTERNAL, e.what(), request.json, nullptr);
  }
}
