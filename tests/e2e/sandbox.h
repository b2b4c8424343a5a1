// Runs a program with private /etc and /dev: a forked child enters a mount
// namespace of its own and lays overlays with throw-away upper layers over
// both, so the program can create files under /etc and talk to its own
// /dev/log while the host's directories stay as they are. The child binds the
// log socket, reads it while the program runs (the C library's logging blocks
// once a few datagrams wait unread) and reports everything back.
#ifndef TAMO_TESTS_E2E_SANDBOX_H
#define TAMO_TESTS_E2E_SANDBOX_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tamo_sandbox {

// A file placed inside the sandbox before the run; its missing parent
// directories are made with 0755. Only paths under /etc may be staged.
struct StagedFile {
  std::string path;
  std::string contents;
  mode_t mode;
};

// A directory of the host bound over a path under /etc, after the files are
// staged: what the program does below target happens in source itself. The
// mount point is made 0755 when missing.
struct BoundDirectory {
  std::string source;
  std::string target;
};

struct SandboxRequest {
  std::string workDir;  // an existing private directory of the caller
  std::vector<StagedFile> files;
  std::vector<BoundDirectory> binds;
  std::vector<std::string> command;  // program path and arguments
  std::vector<std::string> inspect;  // paths whose state is reported after the run
  mode_t umask = 022;                // the program's file creation mask
  int timeoutSeconds = 60;
  // Whether a 32-bit build tested under an emulator runs command through it;
  // false for a host program (a shell) that starts the build's programs itself.
  bool underEmulator = true;
};

// One datagram received at /dev/log, its header taken apart.
struct LogRecord {
  int priority;         // -1 when the datagram had no "<N>" header
  std::string ident;    // the tag before ": "
  std::string message;  // what follows the header
};

struct FileState {
  bool exists = false;
  bool isDirectory = false;
  unsigned mode = 0;  // permission bits, 07777
  std::string contents;
};

struct SandboxResult {
  bool ran = false;        // false: the sandbox could not be made here
  std::string skipReason;  // why, when !ran
  std::vector<LogRecord> log;
  std::string standardOutput;
  std::string standardError;
  int exitStatus = -1;                     // the exit code, or 128 + the signal that ended it
  std::map<std::string, FileState> files;  // one per inspected path
};

// Raises std::runtime_error when the sandbox broke down after it was made.
SandboxResult runInSandbox(SandboxRequest const& request);

// Splits a datagram in the form the C library sends:
// "<PRI>Mmm dd hh:mm:ss IDENT: MESSAGE" (IDENT may carry "[pid]").
LogRecord parseLogDatagram(std::string const& datagram);

}  // namespace tamo_sandbox

#endif  // TAMO_TESTS_E2E_SANDBOX_H
