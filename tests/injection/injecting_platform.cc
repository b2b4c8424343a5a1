// The platform layer of the fault-injection build: every function asks the
// injector first and otherwise runs the real one, which this build compiles
// under the namespace platform_real. Defining every function here keeps the
// library's own platform object out of the link; a function added to the
// platform layer and missing here makes the link fail rather than escape.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "injector.h"

#define platform platform_real
#include "platform/platform.h"
#undef platform
#undef TAMO_SETTINGS_PLATFORM_PLATFORM_H
#include "platform/platform.h"

namespace tamo_test {
namespace injection {
namespace {

struct State {
  Plan plan;
  bool armed = false;
  std::vector<std::string> calls;
};

bool refuses(std::string const& refusedCalls, char const* call) {
  return (" " + refusedCalls + " ").find(" " + std::string(call) + " ") != std::string::npos;
}

State& state() {
  static State instance;
  return instance;
}

}  // namespace

void arm(Plan plan) {
  state().plan = std::move(plan);
  state().calls.clear();
  state().armed = true;
}

void disarm() {
  state().armed = false;
}

std::vector<std::string> const& calls() {
  return state().calls;
}

bool intercept(char const* call) {
  State& s = state();
  if (!s.armed)
    return false;
  if (refuses(s.plan.refusedCall, call)) {
    errno = s.plan.refusedError;
    return true;
  }
  if (!s.plan.countFrom.empty()) {
    if (s.plan.countFrom != call)
      return false;
    s.plan.countFrom.clear();
  }
  s.calls.emplace_back(call);
  if (!s.plan.record.empty()) {
    int saved = errno;
    if (FILE* out = std::fopen(s.plan.record.c_str(), "ae")) {
      std::fprintf(out, "%s\n", call);
      std::fclose(out);
    }
    errno = saved;
  }
  if (s.calls.size() != s.plan.at)
    return false;
  if (s.plan.error == 0) {
    if (s.plan.beforeKill)
      s.plan.beforeKill();
    ::raise(SIGKILL);
  }
  errno = s.plan.error;
  return true;
}

}  // namespace injection
}  // namespace tamo_test

namespace settings_impl {
namespace platform {

using tamo_test::injection::intercept;
namespace real = platform_real;

// Calls that cannot report a failure are still counted, so that a crash can
// be placed at them.
void verifyFilenameLength(std::string const& name) {
  real::verifyFilenameLength(name);
}
void verifyFilenameComponent(std::string const& component) {
  real::verifyFilenameComponent(component);
}
std::string getCurDir() {
  intercept("getCurDir");
  return real::getCurDir();
}
void closeStdioHandle(FILE* stream) {
  intercept("closeStdioHandle");
  real::closeStdioHandle(stream);
}
void closeIoHandle(int fd) {
  intercept("closeIoHandle");
  real::closeIoHandle(fd);
}
void pause(std::chrono::microseconds duration, std::nothrow_t const& t) {
  intercept("pause");
  real::pause(duration, t);
}
uid_t effectiveUser(std::nothrow_t const& t) {
  intercept("effectiveUser");
  return real::effectiveUser(t);
}

#define TAMO_ROUTE(name, failure, params, args) \
  auto name params->decltype(real::name args) { \
    if (intercept(#name))                       \
      return failure;                           \
    return real::name args;                     \
  }

TAMO_ROUTE(createFile, -1, (Filename const& n, std::nothrow_t const& t), (n, t))
TAMO_ROUTE(fopen, nullptr, (Filename const& n, char const* m, std::nothrow_t const& t), (n, m, t))
TAMO_ROUTE(freopen, nullptr, (Filename const& n, char const* m, FILE* s, std::nothrow_t const& t),
           (n, m, s, t))
TAMO_ROUTE(rmdir, -1, (Filename const& n, std::nothrow_t const& t), (n, t))
TAMO_ROUTE(mkdir, -1, (Filename const& n, std::nothrow_t const& t), (n, t))
TAMO_ROUTE(remove, -1, (Filename const& n, std::nothrow_t const& t), (n, t))
TAMO_ROUTE(fileExist, false, (Filename const& n, std::nothrow_t const& t), (n, t))
TAMO_ROUTE(fdopen, nullptr, (int fd, char const* m, std::nothrow_t const& t), (fd, m, t))
TAMO_ROUTE(createTempFile, (std::pair<int, std::string>{-1, ""}), (std::nothrow_t const& t), (t))
TAMO_ROUTE(open, -1, (Filename const& n, int flags, std::nothrow_t const& t), (n, flags, t))
TAMO_ROUTE(openExclusive, -1, (Filename const& n, mode_t m, std::nothrow_t const& t), (n, m, t))
TAMO_ROUTE(openDirectory, -1, (Filename const& n, std::nothrow_t const& t), (n, t))
TAMO_ROUTE(reserveSpace, -1, (int fd, off_t size, std::nothrow_t const& t), (fd, size, t))
TAMO_ROUTE(fstatx, -1, (int fd, struct statx& r, std::nothrow_t const& t), (fd, r, t))
TAMO_ROUTE(read, -1, (int fd, void* d, size_t size, std::nothrow_t const& t), (fd, d, size, t))
TAMO_ROUTE(write, -1, (int fd, void const* d, size_t size, std::nothrow_t const& t),
           (fd, d, size, t))
TAMO_ROUTE(fsync, -1, (int fd, std::nothrow_t const& t), (fd, t))
TAMO_ROUTE(ftruncate, -1, (int fd, off_t size, std::nothrow_t const& t), (fd, size, t))
TAMO_ROUTE(fstat, -1, (int fd, struct stat& r, std::nothrow_t const& t), (fd, r, t))
TAMO_ROUTE(fchmod, -1, (int fd, mode_t m, std::nothrow_t const& t), (fd, m, t))
TAMO_ROUTE(fchown, -1, (int fd, uid_t o, gid_t g, std::nothrow_t const& t), (fd, o, g, t))
using Name = std::string const&;
TAMO_ROUTE(openAt, -1, (int d, Name n, int flags, std::nothrow_t const& t), (d, n, flags, t))
TAMO_ROUTE(statAt, -1, (int d, Name n, struct stat& r, std::nothrow_t const& t), (d, n, r, t))
TAMO_ROUTE(readLinkAt, -1, (int d, Name n, std::string& text, std::nothrow_t const& t),
           (d, n, text, t))
TAMO_ROUTE(makeDirectoryAt, -1, (int d, Name n, std::nothrow_t const& t), (d, n, t))
TAMO_ROUTE(makeDirectoryAt, -1, (int d, Name n, mode_t m, std::nothrow_t const& t), (d, n, m, t))
TAMO_ROUTE(makeLinkAt, -1, (Name text, int d, Name n, std::nothrow_t const& t), (text, d, n, t))
TAMO_ROUTE(readDirectoryNames, -1, (int d, std::vector<std::string>& v, std::nothrow_t const& t),
           (d, v, t))
TAMO_ROUTE(openUnnamed, -1, (int d, mode_t m, std::nothrow_t const& t), (d, m, t))
TAMO_ROUTE(openExclusiveAt, -1, (int d, Name n, mode_t m, std::nothrow_t const& t), (d, n, m, t))
TAMO_ROUTE(linkEmptyPath, -1, (int fd, int d, Name n, std::nothrow_t const& t), (fd, d, n, t))
TAMO_ROUTE(openProcessDescriptors, -1, (std::nothrow_t const& t), (t))
TAMO_ROUTE(fstatfs, -1, (int fd, struct statfs& r, std::nothrow_t const& t), (fd, r, t))
TAMO_ROUTE(linkUnnamed, -1, (int p, int fd, int d, Name n, std::nothrow_t const& t),
           (p, fd, d, n, t))
TAMO_ROUTE(renameAt, -1, (int d, Name f, Name to, unsigned flags, std::nothrow_t const& t),
           (d, f, to, flags, t))
TAMO_ROUTE(unlinkAt, -1, (int d, Name n, std::nothrow_t const& t), (d, n, t))
TAMO_ROUTE(listAttributes, -1, (int fd, char* b, size_t size, std::nothrow_t const& t),
           (fd, b, size, t))
TAMO_ROUTE(getAttribute, -1, (int fd, char const* n, void* v, size_t size, std::nothrow_t const& t),
           (fd, n, v, size, t))
TAMO_ROUTE(setAttribute, -1,
           (int fd, char const* n, void const* v, size_t size, std::nothrow_t const& t),
           (fd, n, v, size, t))
TAMO_ROUTE(removeAttribute, -1, (int fd, char const* n, std::nothrow_t const& t), (fd, n, t))
TAMO_ROUTE(duplicate, -1, (int fd, std::nothrow_t const& t), (fd, t))
TAMO_ROUTE(seekTo, -1, (int fd, off_t offset, std::nothrow_t const& t), (fd, offset, t))
TAMO_ROUTE(lockOpenFile, -1, (int fd, short type, std::nothrow_t const& t), (fd, type, t))
TAMO_ROUTE(flock, -1, (int fd, int operation, std::nothrow_t const& t), (fd, operation, t))

#undef TAMO_ROUTE

// A failing close still releases the descriptor or stream, as on Linux; the
// failure is reported after it.
template <typename Close>
int closeAndFail(char const* name, Close const& close) {
  if (!intercept(name))
    return close();
  int const error = errno;
  close();
  errno = error;
  return -1;
}

int close(int fd, std::nothrow_t const& t) {
  return closeAndFail("close", [&] { return real::close(fd, t); });
}

int fclose(FILE* stream, std::nothrow_t const& t) {
  return closeAndFail("fclose", [&] { return real::fclose(stream, t); }) == 0 ? 0 : EOF;
}

}  // namespace platform
}  // namespace settings_impl
