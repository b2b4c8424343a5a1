#include "attack_runs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "sandbox.h"
#include "tamo/settings.h"

namespace tamo_attack {
namespace {

constexpr char kNewText[] = "password=changed\n";

void writeAll(int fd, std::string const& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t const n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

// Reads what is ready; false once the pipe is at its end.
bool drain(int fd, std::string& text) {
  char buffer[4096];
  for (;;) {
    ssize_t const n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    return n < 0 && errno == EAGAIN;
  }
}

[[noreturn]] void enterChild(std::string const& cwd, int out, int err,
                             std::function<void()> const& body) {
  ::setpgid(0, 0);
  int const none = ::open("/dev/null", O_RDONLY);
  if (none < 0 || ::dup2(none, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
      ::chdir(cwd.c_str()) != 0)
    ::_exit(126);
  body();
  ::_exit(127);
}

// Runs body (which must not return) in a child in cwd, in a process group
// of its own that is killed once kTimeoutSeconds have passed.
Outcome runCaptured(std::string const& cwd, std::function<void()> const& body) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    return {};
  pid_t const child = ::fork();
  if (child == 0)
    enterChild(cwd, out[1], err[1], body);
  ::close(out[1]);
  ::close(err[1]);
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  ::fcntl(err[0], F_SETFL, O_NONBLOCK);
  Outcome outcome;
  std::string text[2];
  bool open[2] = {true, true};
  bool running = child > 0;
  time_t const deadline = ::time(nullptr) + kTimeoutSeconds;
  while (running || open[0] || open[1]) {
    pollfd fds[] = {{open[0] ? out[0] : -1, POLLIN, 0}, {open[1] ? err[0] : -1, POLLIN, 0}};
    // Once both pipes are at their end, only the exit is awaited.
    ::poll(fds, 2, open[0] || open[1] ? 50 : 1);
    for (int i = 0; i < 2; ++i)
      open[i] = open[i] && drain(i == 0 ? out[0] : err[0], text[i]);
    int status = 0;
    if (running && ::waitpid(child, &status, WNOHANG) == child) {
      running = false;
      outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (running && ::time(nullptr) > deadline && !outcome.hung) {
      outcome.hung = true;
      ::kill(-child, SIGKILL);
      ::kill(child, SIGKILL);
    }
  }
  ::close(out[0]);
  ::close(err[0]);
  outcome.output.texts = {{"standard output", text[0]}, {"standard error", text[1]}};
  return outcome;
}

// ---- The library's entry points, each in a child that prints what it got -----

void print(std::string const& text) {
  writeAll(1, text);
}

void printContext(settings_context_t* context) {
  char const* text = nullptr;
  if (context_export_to_string(context, &text) == 0)
    print(text);
}

settings_context_t* changedContext() {
  settings_context_t* context = context_create();
  context_import_from_string(context, kNewText, nullptr, nullptr, 0, 1);
  return context;
}

int importFromFile(Names const& names) {
  settings_context_t* context = context_create();
  int const status = context_import_from_file(context, names[0].c_str(), nullptr, nullptr, 0, 1);
  printContext(context);
  context_free(context);
  return status;
}

int exportToFile(Names const& names) {
  settings_context_t* context = changedContext();
  int const status = context_export_to_file(context, names[0].c_str());
  context_free(context);
  return status;
}

int replaceContents(Names const& names) {
  return settings_replace_file_contents(names[0].c_str(), kNewText, std::strlen(kNewText));
}

int lockedReadAndReplace(Names const& names) {
  settings_lock_t* lock = nullptr;
  int status = settings_lock_file(names[0].c_str(), 0, &lock);
  if (status != 0)
    return status;
  char const* text = nullptr;
  std::size_t size = 0;
  status = settings_locked_file_read(lock, &text, &size);
  if (status == 0 && text != nullptr)
    print(std::string(text, size));
  if (status == 0)
    status = settings_locked_file_replace(lock, kNewText, std::strlen(kNewText));
  settings_lock_release(lock);
  return status;
}

int lockedImportAndExport(Names const& names) {
  settings_lock_t* lock = nullptr;
  int status = settings_lock_file(names[0].c_str(), 0, &lock);
  if (status != 0)
    return status;
  settings_context_t* context = context_create();
  status = context_import_from_locked_file(context, lock, nullptr, nullptr, 0, 1);
  printContext(context);
  // A missing file is written all the same: the export creates it.
  if (status == 0 || status == SETTINGS_OPEN_FILE_ERROR) {
    context_import_from_string(context, kNewText, nullptr, nullptr, 0, 1);
    status = context_export_to_locked_file(context, lock);
  }
  context_free(context);
  settings_lock_release(lock);
  return status;
}

int fileRead(Names const& names) {
  char* text = nullptr;
  std::size_t size = 0;
  settings_file_report_t report;
  int const status = settings_file_read(names[0].c_str(), 0, &text, &size, &report);
  if (status == 0 && text != nullptr)
    print(std::string(text, size));
  settings_text_free(text);
  return status;
}

int fileReplace(Names const& names) {
  settings_file_report_t report;
  return settings_file_replace(names[0].c_str(), kNewText, std::strlen(kNewText), &report);
}

int fileLockAndRead(Names const& names) {
  settings_lock_t* lock = nullptr;
  settings_file_report_t report;
  int status = settings_file_lock(names[0].c_str(), 0, &lock, &report);
  if (status != 0)
    return status;
  char const* text = nullptr;
  std::size_t size = 0;
  status = settings_locked_file_read(lock, &text, &size);
  if (status == 0 && text != nullptr)
    print(std::string(text, size));
  settings_lock_release(lock);
  return status;
}

}  // namespace

std::vector<EntryPoint> const kEntryPoints = {
    {"tamo-settings get", 1, {"get", "@1", "password"}, nullptr, kShowsOld},
    {"tamo-settings get --json", 1, {"get", "--json", "@1", "password"}, nullptr, kShowsOld},
    {"tamo-settings list", 1, {"list", "@1"}, nullptr, kShowsOld},
    {"tamo-settings list --format=json", 1, {"list", "--format=json", "@1"}, nullptr, kShowsOld},
    {"tamo-settings check", 1, {"check", "@1"}, nullptr, kLeaves},
    {"tamo-settings check --json", 1, {"check", "--json", "@1"}, nullptr, kLeaves},
    {"tamo-settings set", 1, {"set", "@1", "password=changed"}, nullptr, kWritesNew},
    {"tamo-settings set --check --diff",
     1,
     {"set", "--check", "--diff", "@1", "password=changed"},
     nullptr,
     kShowsOld},
    {"tamo-settings set --json --diff",
     1,
     {"set", "--json", "--diff", "@1", "password=changed"},
     nullptr,
     kShowsOld | kWritesNew},
    {"tamo-settings unset", 1, {"unset", "@1", "password"}, nullptr, kRemovesKey},
    {"tamo-settings unset --check --json",
     1,
     {"unset", "--check", "--json", "@1", "password"},
     nullptr,
     kShowsOld},
    {"tamo-settings merge", 2, {"merge", "@1", "@2"}, nullptr, kShowsOld},
    {"tamo-settings merge -o", 2, {"merge", "@1", "-o", "@2"}, nullptr, kLeaves},
    {"tamo-settings merge --json -o",
     3,
     {"merge", "--json", "@1", "@2", "-o", "@3"},
     nullptr,
     kLeaves},
    {"context_import_from_file", 1, {}, importFromFile, kShowsOld | kTextualDotDot},
    {"context_export_to_file", 1, {}, exportToFile, kWritesNew | kTextualDotDot},
    {"settings_replace_file_contents", 1, {}, replaceContents, kWritesNew},
    {"settings_lock_file + locked read and replace",
     1,
     {},
     lockedReadAndReplace,
     kShowsOld | kWritesNew},
    {"settings_lock_file + context import and export",
     1,
     {},
     lockedImportAndExport,
     kShowsOld | kWritesNew},
    {"settings_file_read", 1, {}, fileRead, kShowsOld},
    {"settings_file_replace", 1, {}, fileReplace, kWritesNew},
    {"settings_file_lock + locked read", 1, {}, fileLockAndRead, kShowsOld},
    {"tamo-install-config", 0, {}, nullptr, kLeaves},
};

std::string describe(Operation const& op, std::string const& root) {
  if (op.entry->names == 0)
    return std::string(op.entry->label) + " with att/ bound over " +
           (op.binds == 1   ? "/etc/Vardel"
            : op.binds == 2 ? "/etc/tamo"
                            : "/etc/Vardel and /etc/tamo");
  std::string text = op.entry->label;
  for (std::string const& name : op.names)
    text +=
        " " + (name.compare(0, root.size(), root) == 0 ? "$T" + name.substr(root.size()) : name);
  return text + " (cwd $T" + (op.cwd.empty() ? "" : "/" + op.cwd) + ")";
}

Outcome runTool(Operation const& op, std::string const& cwd) {
  std::vector<std::string> argv;
  std::string const emulator = TAMO_PROGRAM_EMULATOR;
  if (!emulator.empty())
    argv.push_back(emulator);
  argv.push_back(TAMO_SETTINGS_PATH);
  for (std::string const& argument : op.entry->arguments)
    argv.push_back(argument[0] == '@' ? op.names[argument[1] - '1'] : argument);
  return runCaptured(cwd, [&] {
    std::vector<char*> pointers;
    for (std::string& argument : argv)
      pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    ::execv(pointers[0], pointers.data());
  });
}

Outcome runLibrary(Operation const& op, std::string const& cwd) {
  Outcome outcome = runCaptured(cwd, [&] {
    int const status = op.entry->library(op.names);
    print("\n[status " + std::to_string(status) + "]\n");
    ::_exit(status == 0 ? 0 : 1);
  });
  outcome.output.texts["what the library returned"] = outcome.output.texts["standard output"];
  outcome.output.texts.erase("standard output");
  return outcome;
}

// The installer at its fixed paths, att/ in place of its folders; what it
// writes under a folder left to it is output too, as it never reaches the tree.
Outcome runInstaller(Operation const& op, std::string const& attacker, std::string const& workDir) {
  tamo_sandbox::SandboxRequest request;
  request.workDir = workDir;
  request.command = {TAMO_INSTALL_CONFIG_PATH};
  request.timeoutSeconds = kTimeoutSeconds;
  if (op.binds & 1) {
    request.binds.push_back({attacker, "/etc/Vardel"});
  } else {
    request.files.push_back({kSystemPath, "WEB_TAMO=1\n", 0644});
    request.inspect = {kSystemPath};
  }
  if (op.binds & 2)
    request.binds.push_back({attacker, "/etc/tamo"});
  else
    request.files.push_back({kInputPath, "AUTO_UPDATE=1\n", 0644});
  tamo_sandbox::SandboxResult const result = tamo_sandbox::runInSandbox(request);
  Outcome outcome;
  outcome.status = result.exitStatus;
  outcome.hung = result.standardError.find("killed after the time limit") != std::string::npos;
  std::string log;
  for (auto const& record : result.log)
    log += record.message + "\n";
  outcome.output.texts = {{"standard output", result.standardOutput},
                          {"standard error", result.standardError},
                          {"the log", log}};
  if (result.files.count(kSystemPath) != 0)
    outcome.output.texts["its own system file"] = result.files.at(kSystemPath).contents;
  if (!result.ran)
    outcome.output.texts["the sandbox"] = result.skipReason;
  return outcome;
}

Outcome run(Operation const& op, std::string const& root, std::string const& workDir) {
  if (op.entry->names == 0)
    return runInstaller(op, root + "/att", workDir);
  std::string const cwd = op.cwd.empty() ? root : root + "/" + op.cwd;
  return op.entry->library != nullptr ? runLibrary(op, cwd) : runTool(op, cwd);
}

}  // namespace tamo_attack
