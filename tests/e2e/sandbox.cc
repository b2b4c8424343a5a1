#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace tamo_sandbox {
namespace {

constexpr long OVERLAY_MAGIC = 0x794c7630;
char const* const LOG_SOCKET = "/dev/log";

// The sandbox cannot be made here (no privileges, no overlay support): the
// caller skips rather than fails.
struct Unavailable {
  std::string reason;
};

std::runtime_error systemError(std::string const& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// ---- The child's report, sent over a pipe ----------------------------------

class Writer {
 public:
  void put(std::string const& text) {
    putNumber(text.size());
    bytes += text;
  }
  void putNumber(std::uint64_t number) {
    for (int shift = 0; shift < 64; shift += 8)
      bytes += static_cast<char>((number >> shift) & 0xff);
  }
  void sendTo(int fd) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t const n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return;
      done += static_cast<size_t>(n);
    }
  }

 private:
  std::string bytes;
};

class Reader {
 public:
  explicit Reader(std::string bytes) : bytes(std::move(bytes)) {}
  std::uint64_t number() {
    if (bytes.size() - offset < 8)
      throw std::runtime_error("sandbox report cut short");
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    }
    offset += 8;
    return value;
  }
  std::string text() {
    std::uint64_t const length = number();
    if (bytes.size() - offset < length)
      throw std::runtime_error("sandbox report cut short");
    std::string value = bytes.substr(offset, length);
    offset += length;
    return value;
  }

 private:
  std::string bytes;
  size_t offset = 0;
};

void encodeResult(SandboxResult const& result, Writer& out) {
  out.putNumber(result.log.size());
  for (LogRecord const& record : result.log) {
    out.putNumber(static_cast<std::uint64_t>(static_cast<std::int64_t>(record.priority)));
    out.put(record.ident);
    out.put(record.message);
  }
  out.put(result.standardOutput);
  out.put(result.standardError);
  out.putNumber(static_cast<std::uint64_t>(static_cast<std::int64_t>(result.exitStatus)));
  out.putNumber(result.files.size());
  for (auto const& [path, state] : result.files) {
    out.put(path);
    out.putNumber(state.exists);
    out.putNumber(state.isDirectory);
    out.putNumber(state.mode);
    out.put(state.contents);
  }
}

SandboxResult decodeResult(Reader& in) {
  SandboxResult result;
  result.ran = true;
  for (std::uint64_t n = in.number(); n > 0; --n) {
    LogRecord record;
    record.priority = static_cast<int>(static_cast<std::int64_t>(in.number()));
    record.ident = in.text();
    record.message = in.text();
    result.log.push_back(std::move(record));
  }
  result.standardOutput = in.text();
  result.standardError = in.text();
  result.exitStatus = static_cast<int>(static_cast<std::int64_t>(in.number()));
  for (std::uint64_t n = in.number(); n > 0; --n) {
    std::string path = in.text();
    FileState state;
    state.exists = in.number() != 0;
    state.isDirectory = in.number() != 0;
    state.mode = static_cast<unsigned>(in.number());
    state.contents = in.text();
    result.files[path] = std::move(state);
  }
  return result;
}

// ---- Making the private tree -----------------------------------------------

void makeDirectory(std::string const& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
    throw systemError("mkdir " + path);
}

void overlay(std::string const& target, std::string const& layers) {
  std::string const upper = layers + target + ".upper";
  std::string const work = layers + target + ".work";
  makeDirectory(upper, 0755);
  makeDirectory(work, 0755);
  std::string const options = "lowerdir=" + target + ",upperdir=" + upper + ",workdir=" + work;
  if (mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0) {
    throw std::runtime_error("overlay mount on " + target + " refused: " + std::strerror(errno));
  }
  // Files are written below target next: make sure they land in the overlay.
  struct statfs info;
  if (statfs(target.c_str(), &info) != 0 || static_cast<long>(info.f_type) != OVERLAY_MAGIC) {
    throw std::runtime_error(target + " is not the private overlay; nothing was written");
  }
}

// From here on every mount is private to this process; the host's /etc and
// /dev are covered, never written. Only an ordinary user (as on a package
// build machine) makes the sandbox unavailable; root that is refused a mount
// is an error, so that a broken setup cannot pass as a skipped test.
void enterPrivateTree(std::string const& workDir) {
  if (geteuid() != 0)
    throw Unavailable{"needs root to make mount namespaces"};
  if (unshare(CLONE_NEWNS) != 0) {
    throw std::runtime_error(std::string("unshare(CLONE_NEWNS) refused: ") + std::strerror(errno));
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    throw std::runtime_error(std::string("cannot make the mount tree private: ") +
                             std::strerror(errno));
  }
  std::string const layers = workDir + "/layers";
  makeDirectory(layers, 0700);
  if (mount("tmpfs", layers.c_str(), "tmpfs", 0, "mode=0700") != 0) {
    throw std::runtime_error(std::string("tmpfs mount refused: ") + std::strerror(errno));
  }
  overlay("/etc", layers);
  overlay("/dev", layers);
}

void makeParents(std::string const& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    makeDirectory(path.substr(0, slash), 0755);
  }
}

void writeWhole(int fd, std::string const& contents, std::string const& path) {
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t const n = write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw systemError("write " + path);
    done += static_cast<size_t>(n);
  }
}

void requireUnderEtc(std::string const& path) {
  if (path.rfind("/etc/", 0) != 0 || (path + "/").find("/../") != std::string::npos) {
    throw std::runtime_error("only files under /etc can be staged or bound over: " + path);
  }
}

void stage(StagedFile const& file) {
  requireUnderEtc(file.path);
  makeParents(file.path);
  int const fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0)
    throw systemError("create " + file.path);
  writeWhole(fd, file.contents, file.path);
  close(fd);
  if (chmod(file.path.c_str(), file.mode) != 0)
    throw systemError("chmod " + file.path);
}

void bind(BoundDirectory const& bound) {
  requireUnderEtc(bound.target);
  makeParents(bound.target);
  makeDirectory(bound.target, 0755);
  if (mount(bound.source.c_str(), bound.target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    throw systemError("bind " + bound.source + " over " + bound.target);
  }
}

int bindLogSocket() {
  unlink(LOG_SOCKET);
  int const fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    throw systemError("socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, LOG_SOCKET, sizeof address.sun_path - 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw systemError("bind /dev/log");
  }
  return fd;
}

// ---- Running the program -----------------------------------------------------

[[noreturn]] void execCommand(SandboxRequest const& request, int out, int err) {
  umask(request.umask);
  int const nullFd = open("/dev/null", O_RDONLY);
  if (nullFd >= 0)
    dup2(nullFd, 0);
  dup2(out, 1);
  dup2(err, 2);
  std::vector<char*> argv;
  // A 32-bit build on a host that refuses 32-bit programs runs them, like its
  // tests, through the build's emulator.
  std::string emulator = TAMO_PROGRAM_EMULATOR;
  if (!emulator.empty() && request.underEmulator)
    argv.push_back(emulator.data());
  for (std::string const& argument : request.command)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  dprintf(2, "sandbox: cannot run %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

// Reads whatever is ready on fd into text; false once fd is at its end.
bool drainPipe(int fd, std::string& text) {
  char buffer[4096];
  for (;;) {
    ssize_t const n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    return n < 0 && errno == EAGAIN;
  }
}

void drainLog(int fd, std::vector<LogRecord>& log) {
  static char buffer[65536];
  for (;;) {
    ssize_t const n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return;
    log.push_back(parseLogDatagram(std::string(buffer, static_cast<size_t>(n))));
  }
}

int decodeWaitStatus(int status) {
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

double secondsSince(timespec const& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw systemError("pipe");
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
}

// Runs the command while reading its output pipes and the log socket, so that
// neither the program's logging nor its writes ever wait for us.
void runCommand(SandboxRequest const& request, int logFd, SandboxResult& result) {
  int out[2];
  int err[2];
  makePipe(out);
  makePipe(err);
  pid_t const child = fork();
  if (child < 0)
    throw systemError("fork");
  if (child == 0)
    execCommand(request, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool outOpen = true;
  bool errOpen = true;
  bool running = true;
  while (running || outOpen || errOpen) {
    pollfd fds[] = {
        {logFd, POLLIN, 0}, {outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    poll(fds, 3, 20);
    drainLog(logFd, result.log);
    if (outOpen)
      outOpen = drainPipe(out[0], result.standardOutput);
    if (errOpen)
      errOpen = drainPipe(err[0], result.standardError);
    int status = 0;
    if (running && waitpid(child, &status, WNOHANG) == child) {
      running = false;
      result.exitStatus = decodeWaitStatus(status);
    }
    if (running && secondsSince(start) > request.timeoutSeconds) {
      kill(child, SIGKILL);
      result.standardError += "\nsandbox: killed after the time limit\n";
    }
  }
  drainLog(logFd, result.log);
  close(out[0]);
  close(err[0]);
}

FileState inspect(std::string const& path) {
  FileState state;
  struct stat info;
  if (stat(path.c_str(), &info) != 0)
    return state;
  state.exists = true;
  state.isDirectory = S_ISDIR(info.st_mode);
  state.mode = info.st_mode & 07777;
  if (S_ISREG(info.st_mode)) {
    int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      throw systemError("open " + path);
    drainPipe(fd, state.contents);
    close(fd);
  }
  return state;
}

SandboxResult runInside(SandboxRequest const& request) {
  enterPrivateTree(request.workDir);
  // Staged modes are exact; the program gets the mask that was asked for.
  umask(0);
  for (StagedFile const& file : request.files)
    stage(file);
  for (BoundDirectory const& bound : request.binds)
    bind(bound);
  int const logFd = bindLogSocket();
  SandboxResult result;
  result.ran = true;
  runCommand(request, logFd, result);
  close(logFd);
  for (std::string const& path : request.inspect)
    result.files[path] = inspect(path);
  return result;
}

// The child: everything after fork happens here, and it always leaves through
// _exit so that nothing of the caller's process (test fixtures, leak checks)
// runs twice.
[[noreturn]] void childMain(SandboxRequest const& request, int reportFd) {
  Writer report;
  try {
    SandboxResult const result = runInside(request);
    report.put("ok");
    encodeResult(result, report);
  } catch (Unavailable const& unavailable) {
    report.put("skip");
    report.put(unavailable.reason);
  } catch (std::exception const& error) {
    report.put("error");
    report.put(error.what());
  }
  report.sendTo(reportFd);
  _exit(0);
}

std::string readAll(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t const n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

LogRecord parseLogDatagram(std::string const& datagram) {
  LogRecord record{-1, "", datagram};
  size_t const close = datagram.find('>');
  if (datagram.empty() || datagram[0] != '<' || close == std::string::npos || close == 1) {
    return record;
  }
  std::string const digits = datagram.substr(1, close - 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos)
    return record;
  // The timestamp is always "Mmm dd hh:mm:ss" and a space.
  size_t const identStart = close + 1 + 16;
  size_t const separator = datagram.find(": ", identStart);
  if (identStart > datagram.size() || separator == std::string::npos)
    return record;
  record.priority = std::stoi(digits);
  record.ident = datagram.substr(identStart, separator - identStart);
  record.message = datagram.substr(separator + 2);
  return record;
}

SandboxResult runInSandbox(SandboxRequest const& request) {
  if (request.command.empty())
    throw std::invalid_argument("no command to run");
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0)
    throw systemError("pipe");
  pid_t const child = fork();
  if (child < 0)
    throw systemError("fork");
  if (child == 0) {
    close(report[0]);
    childMain(request, report[1]);
  }
  close(report[1]);
  Reader reader(readAll(report[0]));
  close(report[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("the sandbox process died");
  }
  std::string const kind = reader.text();
  if (kind == "skip") {
    SandboxResult skipped;
    skipped.skipReason = reader.text();
    return skipped;
  }
  if (kind != "ok")
    throw std::runtime_error("sandbox: " + reader.text());
  return decodeResult(reader);
}

}  // namespace tamo_sandbox
