#include "settings_file.h"

#include <errno.h>
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

namespace tamo_tool {

namespace {

constexpr std::size_t kLargestFile = 1048575;

std::string workingDirectory() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE)
      throw ToolError(EXIT_USAGE, std::string("no working directory: ") + std::strerror(errno));
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

void appendComponents(std::string const& name, std::vector<std::string>& components) {
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos)
      end = name.size();
    std::string const part = name.substr(start, end - start);
    if (part == "..") {
      if (components.empty())
        throw ToolError(EXIT_USAGE, name + ": \"..\" above the root");
      components.pop_back();
    } else if (!part.empty() && part != ".") {
      components.push_back(part);
    }
    start = end + 1;
  }
}

std::string directoryOf(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
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

std::string canonicalPath(std::string const& name) {
  std::vector<std::string> components;
  if (name.empty() || (name[0] != '/' && name[0] != '\\'))
    appendComponents(workingDirectory(), components);
  appendComponents(name, components);
  std::string path;
  for (std::string const& component : components)
    path += "/" + component;
  return path.empty() ? "/" : path;
}

std::optional<std::string> readSettingsFile(std::string const& shownName, std::string const& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) {
    if (errno == ENOENT)
      return std::nullopt;
    failedReading(shownName, errno);
  }
  // Room for what the file claims and one byte more, so that the end is
  // seen in the first read; a buffer of the largest size would cost a small
  // file the pages of a megabyte.
  struct stat status;
  std::size_t room = 4096;
  if (fstat(fileno(file.get()), &status) == 0 && status.st_size > 0)
    room = std::min<std::size_t>(static_cast<std::size_t>(status.st_size) + 1, kLargestFile + 1);
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
                       std::optional<std::string> const& original, std::string const& text) {
  requireReadableSize(shownName, text);
  int const status = api2().settings_replace_file_contents(path.c_str(), text.data(), text.size());
  if (status == SETTINGS_NO_ERROR)
    return;
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
