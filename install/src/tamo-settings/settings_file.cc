#include "settings_file.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "library.h"
#include "tool_error.h"
#include "writer_lock.h"

namespace tamo_tool {

namespace {

constexpr std::size_t kLargestFile = 1048575;
// A lease holder on a file being read is given as long as a writer gives
// another writer by default.
constexpr int kReadWaitMilliseconds = WriterLock::kDefaultWaitSeconds * 1000;

// The name as the user gave it, up to and with its component number
// (counted as the library counts them: empty and "." components skipped).
std::string componentPrefix(std::string const& name, int number) {
  std::size_t start = 0;
  int seen = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos)
      end = name.size();
    if (end > start && name.compare(start, end - start, ".") != 0 && ++seen == number)
      return name.substr(0, end);
    start = end + 1;
  }
  return name;
}

std::string uid(long long owner) {
  return "uid " + std::to_string(owner);
}

// Why the walk stopped, in words that say no more about the place it was
// refused than the rule itself: only the owner of the object the refused
// step came from, which is the user who set the way there.
std::string refusal(std::string const& shownName, settings_file_report_t const& report) {
  if (report.reason == SETTINGS_PATH_PLANTED)
    return "refused: a file of " + uid(report.owner) +
           " in a sticky directory others may write is not written (as fs.protected_regular=2)";
  return "refused: at \"" + componentPrefix(shownName, report.component) +
         "\", a directory or link of " + uid(report.owner) +
         " leads to what is not that user's own (a user's folders and links may lead only to "
         "that user's files)";
}

std::string systemReason(int error) {
  if (error == ENOSPC || error == EDQUOT)
    return "no space";
  if (error == ENAMETOOLONG)
    return "name too long";
  return std::strerror(error != 0 ? error : EIO);
}

bool deniedBySystem(settings_file_report_t const& report) {
  return report.reason == SETTINGS_PATH_SYSTEM &&
         (report.systemError == EACCES || report.systemError == EPERM);
}

bool isRefusal(settings_file_report_t const& report) {
  return report.reason == SETTINGS_PATH_STEERED || report.reason == SETTINGS_PATH_PLANTED;
}

}  // namespace

// Why a read failed, from the library's status and report alone.
void failRead(std::string const& shownName, int status, settings_file_report_t const& report) {
  if (status == SETTINGS_FILE_TOO_BIG_ERROR)
    fileError(EXIT_REFUSED, shownName, "1 MiB or more, too big for a settings file");
  if (status == SETTINGS_FILENAME_ENCODING_ERROR)
    fileError(EXIT_REFUSED, shownName, "the name is not UTF-8 text");
  if (status == SETTINGS_INVALID_FILENAME_ERROR)
    fileError(EXIT_USAGE, shownName, "not a file name");
  if (status == SETTINGS_LOCKED_ERROR || report.reason == SETTINGS_PATH_BUSY)
    fileError(EXIT_LOCKED, shownName, "busy: another process holds a lease on it");
  if (isRefusal(report))
    fileError(EXIT_NO_PERMISSION, shownName, refusal(shownName, report) + "; nothing was read");
  if (status == SETTINGS_TOO_MANY_FILES_ERROR)
    fileError(EXIT_REFUSED, shownName, "more than 1,024 drop-ins; nothing was read");
  if (report.reason == SETTINGS_PATH_UNTRUSTED)
    fileError(EXIT_NO_PERMISSION, shownName,
              std::string("refused: ") +
                  (report.owner >= 0 ? "it belongs to " + uid(report.owner)
                                     : std::string("group or others may write it or its folder")) +
                  ", so others than root and the caller could have written it; nothing was read");
  if (deniedBySystem(report))
    fileError(EXIT_NO_PERMISSION, shownName, "cannot read: " + systemReason(report.systemError));
  switch (report.reason) {
    case SETTINGS_PATH_NOT_REGULAR:
      fileError(EXIT_NO_INPUT, shownName, "cannot read: not a regular file");
    case SETTINGS_PATH_MISSING:
      fileError(EXIT_NO_INPUT, shownName, "cannot read: " + systemReason(ENOENT));
    case SETTINGS_PATH_NOT_DIRECTORY:
      fileError(EXIT_NO_INPUT, shownName, "cannot read: " + systemReason(ENOTDIR));
    case SETTINGS_PATH_TOO_MANY_LINKS:
      fileError(EXIT_NO_INPUT, shownName, "cannot read: " + systemReason(ELOOP));
    case SETTINGS_PATH_REPLACED:
      fileError(EXIT_NO_INPUT, shownName, "cannot read: the file was replaced while it was read");
    default:
      fileError(EXIT_NO_INPUT, shownName, "cannot read: " + systemReason(report.systemError));
  }
}

namespace {

// What the file holds after a failed write, as the library saw it.
std::string outcome(bool existed, settings_file_report_t const& report) {
  switch (report.fileState) {
    case SETTINGS_FILE_NEW_UNSYNCED:
      return "the new text is in place but may not be synced";
    case SETTINGS_FILE_MAY_BE_CHANGED:
      return "the file may be damaged";
    default:
      return existed ? "the file is unchanged" : "nothing was created";
  }
}

struct WriteFailure {
  int status;
  std::string reason;
};

WriteFailure writeFailure(bool existed, int status, settings_file_report_t const& report) {
  char const* const verb = existed ? "cannot write: " : "cannot create: ";
  int const failed = existed ? EXIT_CANNOT_WRITE : EXIT_CANNOT_CREATE;
  if (status == SETTINGS_LOCKED_ERROR || report.reason == SETTINGS_PATH_BUSY)
    return {EXIT_LOCKED, "busy: another process holds a lease on it"};
  if (status == SETTINGS_FILENAME_ENCODING_ERROR)
    return {EXIT_REFUSED, "the name is not UTF-8 text"};
  if (deniedBySystem(report))
    return {EXIT_NO_PERMISSION, verb + systemReason(report.systemError)};
  switch (report.reason) {
    case SETTINGS_PATH_DANGLING:
      return {EXIT_CANNOT_CREATE, "cannot create the target of a dangling symbolic link"};
    case SETTINGS_PATH_MISSING:
      return {EXIT_CANNOT_CREATE, "cannot create: " + systemReason(ENOENT)};
    case SETTINGS_PATH_NOT_DIRECTORY:
      return {EXIT_CANNOT_CREATE, "cannot create: " + systemReason(ENOTDIR)};
    case SETTINGS_PATH_NOT_REGULAR:
      return {EXIT_CANNOT_WRITE, "cannot write: not a regular file"};
    case SETTINGS_PATH_TOO_MANY_LINKS:
      return {failed, verb + systemReason(ELOOP)};
    case SETTINGS_PATH_REPLACED:
      return {failed, std::string(verb) + "the file was replaced meanwhile"};
    case SETTINGS_PATH_SYSTEM:
      if (report.systemError == ENAMETOOLONG)
        return {EXIT_CANNOT_CREATE, verb + systemReason(report.systemError)};
      return {report.systemError == EROFS || status == SETTINGS_WRITE_FILE_ERROR ? EXIT_CANNOT_WRITE
                                                                                 : failed,
              verb + systemReason(report.systemError)};
    default:
      return {status == SETTINGS_WRITE_FILE_ERROR ? EXIT_CANNOT_WRITE : failed,
              std::string(verb) + "the library's replacement failed (status " +
                  std::to_string(status) + ")"};
  }
}

}  // namespace

std::string fileNameOf(std::string const& name) {
  if (name.find('\\') != std::string::npos)
    fileError(EXIT_REFUSED, name,
              "a backslash is not a separator here; name the file with '/' alone");
  return name;
}

// Read by the library, through the same walk as every write: another
// user's folder or link can lead only to that user's files, and the open
// never blocks (a FIFO, a device and a socket are refused before anything
// could block on them).
std::optional<std::string> readSettingsFile(std::string const& shownName, std::string const& path) {
  char* text = nullptr;
  std::size_t size = 0;
  settings_file_report_t report{};
  int const status =
      api4().settings_file_read(path.c_str(), kReadWaitMilliseconds, &text, &size, &report);
  if (status != SETTINGS_NO_ERROR)
    failRead(shownName, status, report);
  if (text == nullptr)
    return std::nullopt;
  std::unique_ptr<char, void (*)(char*)> const owned(text, api4().settings_text_free);
  return std::string(text, size);
}

void requireReadableSize(std::string const& shownName, std::string const& text) {
  if (text.size() > kLargestFile)
    fileError(EXIT_REFUSED, shownName, "would hold 1 MiB or more, too big to be read back");
}

void writeSettingsFile(std::string const& shownName, std::string const& path,
                       std::optional<std::string> const& original, std::string const& text,
                       settings_lock_t* lock) {
  requireReadableSize(shownName, text);
  settings_file_report_t report{};
  int status = SETTINGS_NO_ERROR;
  if (lock != nullptr) {
    status = api3().settings_locked_file_replace(lock, text.data(), text.size());
    api4().settings_lock_last_report(lock, &report);
  } else {
    status = api4().settings_file_replace(path.c_str(), text.data(), text.size(), &report);
  }
  if (status != SETTINGS_NO_ERROR)
    failWrite(shownName, original.has_value(), status, report);
}

void failWrite(std::string const& shownName, bool existed, int status,
               settings_file_report_t const& report) {
  if (isRefusal(report))
    fileError(EXIT_NO_PERMISSION, shownName, refusal(shownName, report) + "; nothing was changed");
  if (report.reason == SETTINGS_PATH_NOT_A_MASK)
    fileError(EXIT_REFUSED, shownName, "holds settings, not a mask; left as it is");
  WriteFailure const failure = writeFailure(existed, status, report);
  fileError(failure.status, shownName, failure.reason + "; " + outcome(existed, report));
}

}  // namespace tamo_tool
