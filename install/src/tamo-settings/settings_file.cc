#include "settings_file.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Which of the tool's statuses a failed replacement is; the library's codes
// do not say whether permission or space was missing, the file system does.
int writeFailureStatus(std::string const& path, int status) {
  if (status == SETTINGS_WRITE_FILE_ERROR)
    return EXIT_CANNOT_WRITE;
  if (status != SETTINGS_OPEN_FILE_ERROR && status != SETTINGS_INVALID_FILENAME_ERROR)
    return EXIT_INTERNAL;
  struct stat existing;
  bool const exists = stat(path.c_str(), &existing) == 0;
  int const problem = accessProblem(exists ? path : directoryOf(path));
  if (problem == EACCES || problem == EPERM)
    return EXIT_NO_PERMISSION;
  if (problem == EROFS)
    return EXIT_CANNOT_WRITE;
  return EXIT_CANNOT_CREATE;
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
    throw ToolError(EXIT_NO_INPUT, shownName + ": cannot read: " + std::strerror(errno));
  }
  std::string text(kLargestFile + 1, '\0');
  std::size_t const size = std::fread(&text[0], 1, text.size(), file.get());
  if (std::ferror(file.get()))
    throw ToolError(EXIT_NO_INPUT, shownName + ": cannot read: " + std::strerror(errno));
  if (size > kLargestFile)
    throw ToolError(EXIT_REFUSED, shownName + ": 1 MiB or more, too big for a settings file");
  text.resize(size);
  return text;
}

void requireReadableSize(std::string const& shownName, std::string const& text) {
  if (text.size() > kLargestFile)
    throw ToolError(EXIT_REFUSED,
                    shownName + ": would hold 1 MiB or more, too big to be read back");
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
  int const exitStatus = writeFailureStatus(path, status);
  char const* const reason = exitStatus == EXIT_NO_PERMISSION   ? "permission denied"
                             : exitStatus == EXIT_CANNOT_WRITE  ? "cannot write"
                             : exitStatus == EXIT_CANNOT_CREATE ? "cannot create"
                                                                : "cannot replace";
  std::optional<std::string> now;
  try {
    now = readSettingsFile(shownName, path);
  } catch (ToolError const&) {
  }
  char const* const outcome = !now && !original ? "nothing was created"
                              : now == original ? "the file is unchanged"
                              : now == text     ? "the new text is in place but may not be synced"
                                                : "the file may be damaged";
  throw ToolError(exitStatus, shownName + ": " + reason + " (library status " +
                                  std::to_string(status) + "); " + outcome);
}

}  // namespace tamo_tool
