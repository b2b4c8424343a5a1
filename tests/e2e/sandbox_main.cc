// tamo-sandbox: runs a command with private /etc and /dev and prints what it
// logged, what it wrote to standard error, its exit status and the state of
// the files asked for.
//   tamo-sandbox [--file DEST=SOURCE[:MODE]]... [--show PATH]... -- COMMAND [ARG]...
// DEST is a path under /etc; MODE is octal (default 644). Exits with 77 when
// the sandbox cannot be made here (not root, no overlay support).
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "sandbox.h"

namespace {

using tamo_sandbox::SandboxRequest;
using tamo_sandbox::SandboxResult;

int usage() {
  std::cerr << "usage: tamo-sandbox [--file DEST=SOURCE[:MODE]]... [--show PATH]... -- COMMAND "
               "[ARG]...\n";
  return 64;
}

bool readSource(std::string const& path, std::string& contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  std::ostringstream text;
  text << in.rdbuf();
  contents = text.str();
  return true;
}

bool addFile(std::string const& argument, SandboxRequest& request) {
  size_t const equals = argument.find('=');
  if (equals == std::string::npos)
    return false;
  std::string source = argument.substr(equals + 1);
  mode_t mode = 0644;
  size_t const colon = source.rfind(':');
  if (colon != std::string::npos && colon + 1 < source.size() &&
      source.find_first_not_of("01234567", colon + 1) == std::string::npos) {
    mode = static_cast<mode_t>(std::stoul(source.substr(colon + 1), nullptr, 8));
    source.resize(colon);
  }
  tamo_sandbox::StagedFile file{argument.substr(0, equals), "", mode};
  if (!readSource(source, file.contents)) {
    std::cerr << "tamo-sandbox: cannot read " << source << "\n";
    return false;
  }
  request.files.push_back(file);
  return true;
}

void printSection(std::string const& title, std::string const& text) {
  std::cout << "---- " << title << "\n" << text;
  if (!text.empty() && text.back() != '\n')
    std::cout << "\n(no line end at the end)\n";
}

void printResult(SandboxResult const& result) {
  std::string log;
  for (auto const& record : result.log) {
    log +=
        "<" + std::to_string(record.priority) + "> " + record.ident + ": " + record.message + "\n";
  }
  printSection("system log (<priority> identity: message)", log);
  printSection("standard error", result.standardError);
  printSection("standard output", result.standardOutput);
  std::cout << "---- exit status: " << result.exitStatus << "\n";
  for (auto const& [path, state] : result.files) {
    if (!state.exists) {
      std::cout << "---- " << path << ": does not exist\n";
      continue;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", state.mode);
    printSection(path + " (mode " + mode + ")", state.contents);
  }
}

std::string makeWorkDir() {
  char const* tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tamo-sandbox.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr)
    return "";
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  SandboxRequest request;
  int i = 1;
  for (; i < argc && std::string(argv[i]) != "--"; ++i) {
    std::string const option = argv[i];
    if (option == "--file" && i + 1 < argc) {
      if (!addFile(argv[++i], request))
        return usage();
    } else if (option == "--show" && i + 1 < argc) {
      request.inspect.push_back(argv[++i]);
    } else {
      return usage();
    }
  }
  for (++i; i < argc; ++i)
    request.command.push_back(argv[i]);
  if (request.command.empty())
    return usage();
  request.workDir = makeWorkDir();
  if (request.workDir.empty()) {
    std::perror("tamo-sandbox: mkdtemp");
    return 1;
  }
  int status = 0;
  try {
    SandboxResult const result = tamo_sandbox::runInSandbox(request);
    if (result.ran) {
      printResult(result);
    } else {
      std::cerr << "tamo-sandbox: cannot make the sandbox here: " << result.skipReason << "\n";
      status = 77;
    }
  } catch (std::exception const& error) {
    std::cerr << "tamo-sandbox: " << error.what() << "\n";
    status = 1;
  }
  rmdir((request.workDir + "/layers").c_str());
  rmdir(request.workDir.c_str());
  return status;
}
