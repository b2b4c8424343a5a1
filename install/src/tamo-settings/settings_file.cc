#include "settings_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "library.h"
#include "tool_error.h"
#include "writer_lock.h"

namespace tamo_tool {

namespace {

constexpr std::size_t kLargestFile = 1048575;

// The directory as the kernel finds it: "a/b/.." stays as written.
std::string directoryOf(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool isStickyWorldWritable(struct stat const& directory) {
  return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
}

std::string uidOf(struct stat const& entry) {
  return "uid " + std::to_string(entry.st_uid);
}

// Which of the library's rules refused a write, for the message; the
// library decided through its descriptors, this only looks again to say why.
std::optional<std::string> refusingRule(std::string const& path) {
  struct stat entry;
  struct stat directory;
  if (lstat(path.c_str(), &entry) != 0 || stat(directoryOf(path).c_str(), &directory) != 0)
    return std::nullopt;
  uid_t const caller = geteuid();
  bool const foreign = entry.st_uid != caller && entry.st_uid != directory.st_uid;
  if (S_ISLNK(entry.st_mode) && foreign && isStickyWorldWritable(directory))
    return "a link of another user (" + uidOf(entry) +
           ") in a sticky world-writable directory is not followed (as fs.protected_symlinks)";
  if (S_ISLNK(entry.st_mode) && foreign && entry.st_uid != 0)
    return "a link of " + uidOf(entry) +
           ", neither yours, root's nor the directory owner's, is not followed";
  if (S_ISREG(entry.st_mode) && foreign && isStickyWorldWritable(directory))
    return "a file of another user (" + uidOf(entry) +
           ") in a sticky world-writable directory is not written (as fs.protected_regular)";
  if ((S_ISREG(entry.st_mode) || S_ISLNK(entry.st_mode)) && access(path.c_str(), W_OK) == 0)
    return "a link on the way is another user's and leads where that user may not write, "
           "or the file was replaced meanwhile";
  return std::nullopt;
}

int accessProblem(std::string const& path) {
  if (access(path.c_str(), W_OK) == 0)
    return 0;
  return errno;
}

[[noreturn]] void failedReading(std::string const& shownName, int error) {
  int const status = error == EACCES || error == EPERM ? EXIT_NO_PERMISSION : EXIT_NO_INPUT;
  fileError(status, shownName, std::string("cannot read: ") + std::strerror(error));
}

// Why a replacement failed, as the file system tells it: the library's
// status says only which step failed.
struct WriteFailure {
  int status;
  std::string reason;
};

WriteFailure probeWriteFailure(std::string const& path, int libraryStatus) {
  struct stat existing;
  bool const exists = stat(path.c_str(), &existing) == 0;
  std::string const directory = directoryOf(path);
  struct stat link;
  if (!exists && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
    return {EXIT_CANNOT_CREATE, "cannot create the target of a dangling symbolic link"};
  struct stat parent;
  if (!exists && stat(directory.c_str(), &parent) != 0)
    return {EXIT_CANNOT_CREATE, std::string("cannot create: ") + std::strerror(errno)};
  if (exists && !S_ISREG(existing.st_mode))
    return {EXIT_CANNOT_WRITE, "cannot write: not a regular file"};
  int const problem = accessProblem(exists ? path : directory);
  char const* const verb = exists ? "cannot write: " : "cannot create: ";
  if (problem == EACCES || problem == EPERM)
    return {EXIT_NO_PERMISSION, verb + std::string(std::strerror(problem))};
  if (problem != 0)
    return {problem == EROFS ? EXIT_CANNOT_WRITE : EXIT_CANNOT_CREATE,
            verb + std::string(std::strerror(problem))};
  struct statvfs space;
  if (libraryStatus == SETTINGS_WRITE_FILE_ERROR && statvfs(directory.c_str(), &space) == 0 &&
      space.f_bavail == 0)
    return {EXIT_CANNOT_WRITE, std::string("cannot write: ") + std::strerror(ENOSPC)};
  int const status = libraryStatus == SETTINGS_WRITE_FILE_ERROR ? EXIT_CANNOT_WRITE
                     : exists                                   ? EXIT_CANNOT_WRITE
                                                                : EXIT_CANNOT_CREATE;
  return {status, std::string(verb) + "the library's replacement failed (status " +
                      std::to_string(libraryStatus) + ")"};
}

}  // namespace

std::string fileNameOf(std::string const& name) {
  if (name.find('\\') != std::string::npos)
    throw ToolError(EXIT_REFUSED, name +
                                      ": a backslash is not a separator here; "
                                      "name the file with '/' alone");
  return name;
}

// Opened without waiting and checked before the first read: a FIFO would
// block both, a device may act on being opened.
std::optional<std::string> readSettingsFile(std::string const& shownName, std::string const& path) {
  int const fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) {
    if (errno == ENOENT)
      return std::nullopt;
    failedReading(shownName, errno);
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file(fdopen(fd, "rb"), std::fclose);
  if (!file) {
    int const error = errno;
    close(fd);
    failedReading(shownName, error);
  }
  struct stat status;
  if (fstat(fd, &status) != 0)
    failedReading(shownName, errno);
  if (!S_ISREG(status.st_mode))
    fileError(EXIT_NO_INPUT, shownName, "cannot read: not a regular file");
  // Room for what the file claims and one byte more, so that the end is
  // seen in the first read; a buffer of the largest size would cost a small
  // file the pages of a megabyte.
  std::size_t const room = std::min<std::size_t>(
      static_cast<std::size_t>(std::max<off_t>(status.st_size, 4095)) + 1, kLargestFile + 1);
  std::string text;
  std::size_t size = 0;
  while (size <= kLargestFile) {
    text.resize(std::min(std::max(room, size * 2), kLargestFile + 1));
    std::size_t const got = std::fread(&text[size], 1, text.size() - size, file.get());
    size += got;
    if (std::ferror(file.get()))
      failedReading(shownName, errno);
    if (got == 0 || std::feof(file.get()))
      break;
  }
  if (size > kLargestFile)
    fileError(EXIT_REFUSED, shownName, "1 MiB or more, too big for a settings file");
  text.resize(size);
  return text;
}

void requireReadableSize(std::string const& shownName, std::string const& text) {
  if (text.size() > kLargestFile)
    fileError(EXIT_REFUSED, shownName, "would hold 1 MiB or more, too big to be read back");
}

void writeSettingsFile(std::string const& shownName, std::string const& path,
                       std::optional<std::string> const& original, std::string const& text,
                       settings_lock_t* lock) {
  requireReadableSize(shownName, text);
  int const status =
      lock != nullptr
          ? api3().settings_locked_file_replace(lock, text.data(), text.size())
          : api2().settings_replace_file_contents(path.c_str(), text.data(), text.size());
  if (status == SETTINGS_NO_ERROR)
    return;
  throwWriteFailure(shownName, path, original, text, status);
}

void refuseWrite(std::string const& shownName, std::string const& path, int status) {
  // The file's own refusal first (not a regular file, unreadable), as a
  // command that reads before it writes reports it.
  std::optional<std::string> const now = readSettingsFile(shownName, path);
  throwWriteFailure(shownName, path, now, now.value_or(""), status);
}

void throwWriteFailure(std::string const& shownName, std::string const& path,
                       std::optional<std::string> const& original, std::string const& text,
                       int status) {
  if (status == SETTINGS_OPEN_FILE_ERROR) {
    if (std::optional<std::string> const rule = refusingRule(path))
      fileError(EXIT_NO_PERMISSION, shownName, "refused: " + *rule + "; nothing was changed");
  }
  WriteFailure const failure = probeWriteFailure(path, status);
  std::optional<std::string> now;
  try {
    now = readSettingsFile(shownName, path);
  } catch (ToolError const&) {
  }
  char const* const outcome = !now && !original ? "nothing was created"
                              : now == original ? "the file is unchanged"
                              : now == text     ? "the new text is in place but may not be synced"
                                                : "the file may be damaged";
  fileError(failure.status, shownName, failure.reason + "; " + outcome);
}

}  // namespace tamo_tool
