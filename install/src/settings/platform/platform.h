// The thin layer of Linux system calls: one function per call, no logic,
// results and errno exactly as the call left them. Every stream and
// descriptor opened here is close-on-exec, so that programs the hosting
// process starts do not inherit the library's files.
#ifndef TAMO_SETTINGS_PLATFORM_PLATFORM_H
#define TAMO_SETTINGS_PLATFORM_PLATFORM_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

namespace settings_impl {

class Filename;

namespace platform {

// File name limits of the platform; Linux has none the library must enforce.
void verifyFilenameLength(std::string const& name);
void verifyFilenameComponent(std::string const& component);
// The working directory; raises UNKNOWN_ERROR (200) when it cannot be read.
std::string getCurDir();

void closeStdioHandle(FILE* stream);  // fclose unless null
void closeIoHandle(int fd);           // close unless -1

// open(path, O_WRONLY | O_CREAT | O_EXCL, 0644)
int createFile(Filename const& name, std::nothrow_t const&);
// A null or overlong mode fails with EINVAL.
FILE* fopen(Filename const& name, char const* mode, std::nothrow_t const&);
FILE* freopen(Filename const& name, char const* mode, FILE* stream, std::nothrow_t const&);
int rmdir(Filename const& name, std::nothrow_t const&);
int mkdir(Filename const& name, std::nothrow_t const&);  // mode 0700
int remove(Filename const& name, std::nothrow_t const&);
bool fileExist(Filename const& name, std::nothrow_t const&);  // stat succeeds
// The stream takes over fd only on success.
FILE* fdopen(int fd, char const* mode, std::nothrow_t const&);
// 0, or EOF when flushing or closing failed; the stream is gone either way.
int fclose(FILE* stream, std::nothrow_t const&);
// mkstemp on "/tmp/XXXXXX": the descriptor (or -1) and the name it left.
std::pair<int, std::string> createTempFile(std::nothrow_t const&);

// Calls the safe replacement of a file needs.
// A file created here (O_CREAT in flags) gets no permission bits at all:
// create files through openExclusive.
int open(Filename const& name, int flags, std::nothrow_t const&);
// open(path, O_WRONLY | O_CREAT | O_EXCL, mode); fails on a symbolic link too.
int openExclusive(Filename const& name, mode_t mode, std::nothrow_t const&);
int openDirectory(Filename const& name, std::nothrow_t const&);  // O_RDONLY | O_DIRECTORY
// open(directory, O_WRONLY | O_TMPFILE, mode): an unnamed file in it.
int openUnnamed(Filename const& directory, mode_t mode, std::nothrow_t const&);
// linkat of "/proc/self/fd/FD" with AT_SYMLINK_FOLLOW: gives an unnamed file a
// name without the privilege that AT_EMPTY_PATH needs.
int linkUnnamed(int fd, Filename const& name, std::nothrow_t const&);
// fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size): reserves space, size unchanged.
int reserveSpace(int fd, off_t size, std::nothrow_t const&);
// statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID): mask, attributes and mount id.
int fstatx(int fd, struct statx& result, std::nothrow_t const&);
// statx(path, 0, STATX_MNT_ID); follows a final link.
int statx(Filename const& name, struct statx& result, std::nothrow_t const&);
int close(int fd, std::nothrow_t const&);
ssize_t write(int fd, void const* data, size_t size, std::nothrow_t const&);
int fsync(int fd, std::nothrow_t const&);
int ftruncate(int fd, off_t size, std::nothrow_t const&);
int fstat(int fd, struct stat& result, std::nothrow_t const&);
int stat(Filename const& name, struct stat& result, std::nothrow_t const&);
int lstat(Filename const& name, struct stat& result, std::nothrow_t const&);
int fchmod(int fd, mode_t mode, std::nothrow_t const&);
int fchown(int fd, uid_t owner, gid_t group, std::nothrow_t const&);
int rename(Filename const& from, Filename const& to, std::nothrow_t const&);
int unlink(Filename const& name, std::nothrow_t const&);
// realpath: every link resolved; false with errno set when it fails.
bool realpath(Filename const& name, std::string& resolved, std::nothrow_t const&);

ssize_t read(int fd, void* data, size_t size, std::nothrow_t const&);

// The writers' lock.
int flock(int fd, int operation, std::nothrow_t const&);
// nanosleep for the duration; an interrupted pause simply ends early.
void pause(std::chrono::microseconds duration, std::nothrow_t const&);

}  // namespace platform
}  // namespace settings_impl

#endif  // TAMO_SETTINGS_PLATFORM_PLATFORM_H
