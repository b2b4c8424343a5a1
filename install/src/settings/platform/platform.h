// The thin layer of Linux system calls: one function per call, no logic,
// results and errno exactly as the call left them. Every stream and
// descriptor opened here is close-on-exec, so that programs the hosting
// process starts do not inherit the library's files.
#ifndef TAMO_SETTINGS_PLATFORM_PLATFORM_H
#define TAMO_SETTINGS_PLATFORM_PLATFORM_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

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
// fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size): reserves space, size unchanged.
int reserveSpace(int fd, off_t size, std::nothrow_t const&);
// statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID): mask, attributes and mount id.
int fstatx(int fd, struct statx& result, std::nothrow_t const&);
int close(int fd, std::nothrow_t const&);
ssize_t write(int fd, void const* data, size_t size, std::nothrow_t const&);
int fsync(int fd, std::nothrow_t const&);
int ftruncate(int fd, off_t size, std::nothrow_t const&);
int fstat(int fd, struct stat& result, std::nothrow_t const&);
int fchmod(int fd, mode_t mode, std::nothrow_t const&);
int fchown(int fd, uid_t owner, gid_t group, std::nothrow_t const&);
// geteuid; counted like every call, it cannot fail.
uid_t effectiveUser(std::nothrow_t const&);

// Calls relative to a directory descriptor (AT_FDCWD for the working
// directory), so that no path is resolved twice. No O_CREAT in flags.
int openAt(int directory, std::string const& name, int flags, std::nothrow_t const&);
// fstatat(directory, name, AT_SYMLINK_NOFOLLOW): a link itself.
int statAt(int directory, std::string const& name, struct stat& result, std::nothrow_t const&);
// readlinkat into text; -1 with errno set when it fails.
int readLinkAt(int directory, std::string const& name, std::string& text, std::nothrow_t const&);
int makeDirectoryAt(int directory, std::string const& name, std::nothrow_t const&);  // mode 0700
int makeDirectoryAt(int directory, std::string const& name, mode_t mode, std::nothrow_t const&);
// symlinkat(text, directory, name)
int makeLinkAt(std::string const& text, int directory, std::string const& name,
               std::nothrow_t const&);
// The names in a directory open for reading, "." and ".." left out, in the
// order the file system gives them; -1 with errno set when reading fails.
int readDirectoryNames(int directory, std::vector<std::string>& names, std::nothrow_t const&);
// openat(directory, ".", O_RDWR | O_TMPFILE, mode): an unnamed file in it.
int openUnnamed(int directory, mode_t mode, std::nothrow_t const&);
// openat(directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode)
int openExclusiveAt(int directory, std::string const& name, mode_t mode, std::nothrow_t const&);
// linkat(fd, "", directory, name, AT_EMPTY_PATH): names an unnamed file;
// needs CAP_DAC_READ_SEARCH (ENOENT without it).
int linkEmptyPath(int fd, int directory, std::string const& name, std::nothrow_t const&);
// open("/proc/self/fd", O_PATH | O_DIRECTORY): where a descriptor has a name.
int openProcessDescriptors(std::nothrow_t const&);
int fstatfs(int fd, struct statfs& result, std::nothrow_t const&);
// linkat(descriptors, "FD", directory, name, AT_SYMLINK_FOLLOW): names an
// unnamed file through the descriptors' directory of procfs.
int linkUnnamed(int descriptors, int fd, int directory, std::string const& name,
                std::nothrow_t const&);
// renameat2(directory, from, directory, to, flags): RENAME_NOREPLACE or 0.
int renameAt(int directory, std::string const& from, std::string const& to, unsigned flags,
             std::nothrow_t const&);
int unlinkAt(int directory, std::string const& name, std::nothrow_t const&);
// flistxattr, fgetxattr, fsetxattr (flags 0) and fremovexattr.
ssize_t listAttributes(int fd, char* names, size_t size, std::nothrow_t const&);
ssize_t getAttribute(int fd, char const* name, void* value, size_t size, std::nothrow_t const&);
int setAttribute(int fd, char const* name, void const* value, size_t size, std::nothrow_t const&);
int removeAttribute(int fd, char const* name, std::nothrow_t const&);
// fcntl(fd, F_DUPFD_CLOEXEC, 0)
int duplicate(int fd, std::nothrow_t const&);
// lseek(fd, offset, SEEK_SET)
off_t seekTo(int fd, off_t offset, std::nothrow_t const&);

ssize_t read(int fd, void* data, size_t size, std::nothrow_t const&);

// The writers' lock.
int flock(int fd, int operation, std::nothrow_t const&);
// fcntl(fd, F_OFD_SETLK) over the whole file, type F_WRLCK or F_UNLCK: a
// lock of the open file description, which no other descriptor's close
// releases. Never waits.
int lockOpenFile(int fd, short type, std::nothrow_t const&);
// nanosleep for the duration; an interrupted pause simply ends early.
void pause(std::chrono::microseconds duration, std::nothrow_t const&);

}  // namespace platform
}  // namespace settings_impl

#endif  // TAMO_SETTINGS_PLATFORM_PLATFORM_H
