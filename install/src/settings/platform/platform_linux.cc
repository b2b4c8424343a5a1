#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform.h"
#include "share/filename.h"
#include "share/status.h"

namespace settings_impl {
namespace platform {

namespace {

// Large enough for every mode the library passes ("r", "rb", "w+b", ...).
constexpr std::size_t kModeCapacity = 16;

// Copies mode with glibc's 'e' flag appended, so that the stream's
// descriptor is opened with O_CLOEXEC in the same call. False (errno EINVAL)
// for a missing or overlong mode, which fopen would not accept either.
bool closeOnExecMode(char const* mode, char (&buffer)[kModeCapacity]) {
  if (mode == nullptr || std::strlen(mode) + 2 > kModeCapacity) {
    errno = EINVAL;
    return false;
  }
  std::size_t const length = std::strlen(mode);
  std::memcpy(buffer, mode, length);
  buffer[length] = 'e';
  buffer[length + 1] = '\0';
  return true;
}

}  // namespace

void verifyFilenameLength(std::string const&) {}

void verifyFilenameComponent(std::string const&) {}

std::string getCurDir() {
  char buffer[2048];
  if (::getcwd(buffer, sizeof buffer) == nullptr)
    throw settings::Exception(SETTINGS_UNKNOWN_ERROR);
  return buffer;
}

void closeStdioHandle(FILE* stream) {
  if (stream != nullptr)
    ::fclose(stream);
}

// A failed close is not retried: on Linux the descriptor is released even when
// close reports EINTR, and a retry could close a descriptor opened meanwhile.
void closeIoHandle(int fd) {
  if (fd != -1)
    ::close(fd);
}

int createFile(Filename const& name, std::nothrow_t const&) {
  return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

FILE* fopen(Filename const& name, char const* mode, std::nothrow_t const&) {
  char flags[kModeCapacity];
  if (!closeOnExecMode(mode, flags))
    return nullptr;
  return ::fopen(name.c_str(), flags);
}

FILE* freopen(Filename const& name, char const* mode, FILE* stream, std::nothrow_t const&) {
  char flags[kModeCapacity];
  if (!closeOnExecMode(mode, flags))
    return nullptr;
  return ::freopen(name.c_str(), flags, stream);
}

int rmdir(Filename const& name, std::nothrow_t const&) {
  return ::rmdir(name.c_str());
}

int mkdir(Filename const& name, std::nothrow_t const&) {
  return ::mkdir(name.c_str(), 0700);
}

int remove(Filename const& name, std::nothrow_t const&) {
  return std::remove(name.c_str());
}

bool fileExist(Filename const& name, std::nothrow_t const&) {
  struct stat status;
  return ::stat(name.c_str(), &status) == 0;
}

FILE* fdopen(int fd, char const* mode, std::nothrow_t const&) {
  return ::fdopen(fd, mode);
}

int fclose(FILE* stream, std::nothrow_t const&) {
  return ::fclose(stream);
}

std::pair<int, std::string> createTempFile(std::nothrow_t const&) {
  char name[] = "/tmp/XXXXXX";
  int const fd = ::mkostemp(name, O_CLOEXEC);
  return {fd, name};
}

int open(Filename const& name, int flags, std::nothrow_t const&) {
  return ::open(name.c_str(), flags | O_CLOEXEC, 0);
}

int openExclusive(Filename const& name, mode_t mode, std::nothrow_t const&) {
  return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
}

int openDirectory(Filename const& name, std::nothrow_t const&) {
  return ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int reserveSpace(int fd, off_t size, std::nothrow_t const&) {
  return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size);
}

int fstatx(int fd, struct statx& result, std::nothrow_t const&) {
  return ::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &result);
}

int close(int fd, std::nothrow_t const&) {
  return ::close(fd);
}

ssize_t write(int fd, void const* data, size_t size, std::nothrow_t const&) {
  return ::write(fd, data, size);
}

int fsync(int fd, std::nothrow_t const&) {
  return ::fsync(fd);
}

int ftruncate(int fd, off_t size, std::nothrow_t const&) {
  return ::ftruncate(fd, size);
}

int fstat(int fd, struct stat& result, std::nothrow_t const&) {
  return ::fstat(fd, &result);
}

int fchmod(int fd, mode_t mode, std::nothrow_t const&) {
  return ::fchmod(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group, std::nothrow_t const&) {
  return ::fchown(fd, owner, group);
}

uid_t effectiveUser(std::nothrow_t const&) {
  return ::geteuid();
}

int openAt(int directory, std::string const& name, int flags, std::nothrow_t const&) {
  return ::openat(directory, name.c_str(), flags | O_CLOEXEC);
}

int statAt(int directory, std::string const& name, struct stat& result, std::nothrow_t const&) {
  return ::fstatat(directory, name.c_str(), &result, AT_SYMLINK_NOFOLLOW);
}

int readLinkAt(int directory, std::string const& name, std::string& text, std::nothrow_t const&) {
  char buffer[PATH_MAX];
  ssize_t const size = ::readlinkat(directory, name.c_str(), buffer, sizeof buffer);
  if (size < 0)
    return -1;
  if (static_cast<std::size_t>(size) == sizeof buffer) {
    errno = ENAMETOOLONG;
    return -1;
  }
  try {
    text.assign(buffer, static_cast<std::size_t>(size));
  } catch (std::bad_alloc const&) {
    errno = ENOMEM;
    return -1;
  }
  return 0;
}

int makeDirectoryAt(int directory, std::string const& name, std::nothrow_t const&) {
  return ::mkdirat(directory, name.c_str(), 0700);
}

int makeDirectoryAt(int directory, std::string const& name, mode_t mode, std::nothrow_t const&) {
  return ::mkdirat(directory, name.c_str(), mode);
}

int makeLinkAt(std::string const& text, int directory, std::string const& name,
               std::nothrow_t const&) {
  return ::symlinkat(text.c_str(), directory, name.c_str());
}

int readDirectoryNames(int directory, std::vector<std::string>& names, std::nothrow_t const&) {
  // The stream takes its own descriptor, so the caller's stays open.
  int const own = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own == -1)
    return -1;
  DIR* const stream = ::fdopendir(own);
  if (stream == nullptr) {
    int const error = errno;
    ::close(own);
    errno = error;
    return -1;
  }
  errno = 0;
  while (struct dirent const* entry = ::readdir(stream)) {
    std::string name(entry->d_name);
    if (name != "." && name != "..")
      names.push_back(std::move(name));
    errno = 0;
  }
  int const error = errno;
  ::closedir(stream);
  errno = error;
  return error == 0 ? 0 : -1;
}

int openUnnamed(int directory, mode_t mode, std::nothrow_t const&) {
  return ::openat(directory, ".", O_RDWR | O_TMPFILE | O_CLOEXEC, mode);
}

int openExclusiveAt(int directory, std::string const& name, mode_t mode, std::nothrow_t const&) {
  return ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  mode);
}

int linkEmptyPath(int fd, int directory, std::string const& name, std::nothrow_t const&) {
  return ::linkat(fd, "", directory, name.c_str(), AT_EMPTY_PATH);
}

int openProcessDescriptors(std::nothrow_t const&) {
  return ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int fstatfs(int fd, struct statfs& result, std::nothrow_t const&) {
  return ::fstatfs(fd, &result);
}

int linkUnnamed(int descriptors, int fd, int directory, std::string const& name,
                std::nothrow_t const&) {
  char number[16];
  std::snprintf(number, sizeof number, "%d", fd);
  return ::linkat(descriptors, number, directory, name.c_str(), AT_SYMLINK_FOLLOW);
}

int renameAt(int directory, std::string const& from, std::string const& to, unsigned flags,
             std::nothrow_t const&) {
  return ::renameat2(directory, from.c_str(), directory, to.c_str(), flags);
}

int unlinkAt(int directory, std::string const& name, std::nothrow_t const&) {
  return ::unlinkat(directory, name.c_str(), 0);
}

ssize_t listAttributes(int fd, char* names, size_t size, std::nothrow_t const&) {
  return ::flistxattr(fd, names, size);
}

ssize_t getAttribute(int fd, char const* name, void* value, size_t size, std::nothrow_t const&) {
  return ::fgetxattr(fd, name, value, size);
}

int setAttribute(int fd, char const* name, void const* value, size_t size, std::nothrow_t const&) {
  return ::fsetxattr(fd, name, value, size, 0);
}

int removeAttribute(int fd, char const* name, std::nothrow_t const&) {
  return ::fremovexattr(fd, name);
}

int duplicate(int fd, std::nothrow_t const&) {
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

off_t seekTo(int fd, off_t offset, std::nothrow_t const&) {
  return ::lseek(fd, offset, SEEK_SET);
}

ssize_t read(int fd, void* data, size_t size, std::nothrow_t const&) {
  return ::read(fd, data, size);
}

int flock(int fd, int operation, std::nothrow_t const&) {
  return ::flock(fd, operation);
}

int lockOpenFile(int fd, short type, std::nothrow_t const&) {
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &whole);
}

void pause(std::chrono::microseconds duration, std::nothrow_t const&) {
  auto const seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  struct timespec const request = {
      static_cast<time_t>(seconds.count()),
      static_cast<long>(std::chrono::nanoseconds(duration - seconds).count())};
  ::nanosleep(&request, nullptr);
}

}  // namespace platform
}  // namespace settings_impl
