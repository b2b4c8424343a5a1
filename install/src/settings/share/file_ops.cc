#include "file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "status.h"

namespace settings_impl {

namespace {

// Anything that already bears the name counts, even a plain file: the open
// that follows reports it. A directory that another process creates between
// the check and mkdir is accepted too.
// A directory made here is synced into its parent: some file systems do not
// order a new directory's entry before the files later made inside it, and a
// first installation must survive a power cut.
void ensureDirectoryExists(std::string const& directory) {
  Filename const name(directory);
  if (platform::fileExist(name, std::nothrow))
    return;
  if (platform::mkdir(name, std::nothrow) != 0) {
    if (errno == EEXIST)
      return;
    throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
  }
  std::size_t const slash = directory.rfind('/');
  Filename const parent(slash == 0 ? "/" : directory.substr(0, slash));
  if (!syncDirectory(parent, std::nothrow))
    throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
}

// The descriptor of a new temporary file and its name. When mkstemp fails,
// one exclusive creation under the name it left is tried instead.
IoHandle createTempDescriptor(Filename& name) {
  std::pair<int, std::string> const created = platform::createTempFile(std::nothrow);
  name = Filename(created.second);
  if (created.first == -1)
    return createFile(name);
  return IoHandle(created.first);
}

// Room for size bytes and the NUL after them, the first used bytes of
// text copied over.
WholeText grown(WholeText& text, std::size_t size) {
  WholeText larger;
  larger.data.reset(new char[size + 1]);
  larger.size = size;
  if (text.size != 0)
    std::memcpy(larger.data.get(), text.data.get(), text.size);
  return larger;
}

// The size a regular file claims, or 0 when it claims none (a pipe, a
// device, a file of the proc file system): those are read piece by piece.
std::size_t claimedSize(int fd, bool& regular) {
  struct stat status {};
  regular = platform::fstat(fd, status, std::nothrow) == 0 && S_ISREG(status.st_mode);
  return regular && status.st_size > 0 ? static_cast<std::size_t>(status.st_size) : 0;
}

// Reads until the descriptor reports its end rather than trusting the size:
// a file that grows while it is read is still read to its end or to the
// limit. A regular file that has delivered all it claims and then less than
// was asked has ended, so a file of the size it claims costs one read.
std::size_t readUntilEnd(int fd, WholeText& text, std::size_t limit, std::size_t claimed,
                         bool regular) {
  constexpr std::size_t kPiece = std::size_t{64} << 10;
  std::size_t used = 0;
  for (;;) {
    if (used == text.size) {
      if (used >= limit)
        throw settings::Exception(SETTINGS_FILE_TOO_BIG_ERROR);
      WholeText larger = grown(text, std::min(limit, std::max(used * 2, used + kPiece)));
      text.data.swap(larger.data);
      text.size = larger.size;
    }
    std::size_t const wanted = text.size - used;
    ssize_t const got = platform::read(fd, text.data.get() + used, wanted, std::nothrow);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      throw settings::Exception(SETTINGS_READ_FILE_ERROR);
    used += static_cast<std::size_t>(got);
    if (got == 0 || (regular && used >= claimed && static_cast<std::size_t>(got) < wanted))
      return used;
  }
}

}  // namespace

WholeText copyText(char const* text, std::size_t size) {
  WholeText copy;
  copy.data.reset(new char[size + 1]);
  copy.size = size;
  std::memcpy(copy.data.get(), text, size);
  copy.data[size] = '\0';
  return copy;
}

// A regular file that claims the limit or more is too big without a read.
WholeText readWholeFile(IoHandle const& file, std::size_t limit) {
  bool regular = false;
  std::size_t const claimed = claimedSize(file.get(), regular);
  if (claimed >= limit)
    throw settings::Exception(SETTINGS_FILE_TOO_BIG_ERROR);
  WholeText text;
  if (claimed != 0)
    text = grown(text, claimed + 1);
  std::size_t const size = readUntilEnd(file.get(), text, limit, claimed, regular);
  text.size = size;
  text.data[size] = '\0';
  return text;
}

void closeStdioHandle(FILE* stream) {
  platform::closeStdioHandle(stream);
}

void closeIoHandle(int fd) {
  platform::closeIoHandle(fd);
}

IoHandle createFile(Filename const& name) {
  int const fd = platform::createFile(name, std::nothrow);
  if (fd == -1)
    throw settings::Exception(SETTINGS_OPEN_FILE_ERROR);
  return IoHandle(fd);
}

StdioHandle fopen(Filename const& name, char const* mode, std::nothrow_t const&) {
  return StdioHandle(platform::fopen(name, mode, std::nothrow));
}

StdioHandle fopen(Filename const& name, char const* mode) {
  StdioHandle stream = fopen(name, mode, std::nothrow);
  if (stream.get() == nullptr)
    throw settings::Exception(SETTINGS_OPEN_FILE_ERROR);
  return stream;
}

// When the reopen fails, glibc has already closed the stream's descriptor
// (and set it to -1) but keeps the FILE object, so held still owns it: its
// fclose then only frees the object and touches no descriptor, and nothing is
// closed twice. A stream whose reopen failed refuses all reading and writing.
// A holder of no stream (a failed non-throwing fopen) has nothing to reopen.
StdioHandle freopen(Filename const& name, char const* mode, StdioHandle& held) {
  if (held.get() == nullptr)
    throw settings::Exception(SETTINGS_OPEN_FILE_ERROR);
  FILE* const reopened = platform::freopen(name, mode, held.get(), std::nothrow);
  if (reopened == nullptr)
    throw settings::Exception(SETTINGS_OPEN_FILE_ERROR);
  held.release();
  return StdioHandle(reopened);
}

int rmdir(Filename const& name, std::nothrow_t const&) {
  return platform::rmdir(name, std::nothrow);
}

int remove(Filename const& name, std::nothrow_t const&) {
  return platform::remove(name, std::nothrow);
}

void remove(Filename const& name) {
  if (remove(name, std::nothrow) != 0)
    throw settings::Exception(SETTINGS_REMOVE_FILE_ERROR);
}

bool fileExist(Filename const& name, std::nothrow_t const&) {
  return platform::fileExist(name, std::nothrow);
}

bool syncDirectory(Filename const& directory, std::nothrow_t const&) {
  IoHandle handle(platform::openDirectory(directory, std::nothrow));
  if (handle.get() == -1 || platform::fsync(handle.get(), std::nothrow) != 0)
    return false;
  return platform::close(handle.release(), std::nothrow) == 0;
}

void ensureDirectoryTreeExist(Filename const& file) {
  if (!file.isCanonical())
    throw std::logic_error("canonicalized file name expected");
  std::vector<std::string> components;
  file.tokenize(components);
  components.pop_back();  // the file's own name
  std::string directory;  // the root, which is never created
  for (std::size_t i = 1; i < components.size(); ++i) {
    directory += "/" + components[i];
    ensureDirectoryExists(directory);
  }
}

TempFile::TempFile() : name(""), file(nullptr) {
  IoHandle descriptor = createTempDescriptor(name);
  FILE* const stream = platform::fdopen(descriptor.get(), "wb", std::nothrow);
  if (stream == nullptr)
    throw settings::Exception(SETTINGS_OPEN_FILE_ERROR);
  descriptor.release();
  file = StdioHandle(stream);
}

// A failed fclose of a kept file means bytes written through the stream never
// reached it, so it is reported as WRITE_FILE_ERROR; a file being removed has
// nothing left to lose.
void TempFile::close(bool removeFile) {
  FILE* const stream = file.isOwned() ? file.release() : nullptr;
  file = StdioHandle(nullptr);
  bool const closedWell = stream == nullptr || platform::fclose(stream, std::nothrow) == 0;
  if (removeFile) {
    remove(name);
  } else if (!closedWell) {
    throw settings::Exception(SETTINGS_WRITE_FILE_ERROR);
  }
}

int TempFile::close(bool removeFile, std::nothrow_t const&) {
  try {
    close(removeFile);
  } catch (settings::Exception const& e) {
    return e.code;
  }
  return SETTINGS_NO_ERROR;
}

}  // namespace settings_impl
