#include "peers.h"

#include <fcntl.h>
#include <glib.h>
#include <ini.h>
#include <libeconf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

#include "inputs.h"

namespace tamo_bench {
namespace {

using StringMap = std::map<std::string, std::string>;

int storeEntry(void* user, char const* /*section*/, char const* name, char const* value) {
  (*static_cast<StringMap*>(user))[name] = value;
  return 1;
}

[[noreturn]] void failWith(char const* what, GError* error) {
  std::string message = std::string(what) + ": " + (error != nullptr ? error->message : "?");
  if (error != nullptr)
    g_error_free(error);
  throw std::runtime_error(message);
}

class Descriptor {
 public:
  explicit Descriptor(char const* path) : fd(::open(path, O_RDONLY | O_CLOEXEC)) {
    if (fd < 0)
      throw std::runtime_error(std::string("cannot open ") + path);
  }
  ~Descriptor() { ::close(fd); }
  Descriptor(Descriptor const&) = delete;
  Descriptor& operator=(Descriptor const&) = delete;

  std::vector<char> readAll() const {
    struct stat status;
    if (::fstat(fd, &status) != 0)
      throw std::runtime_error("fstat failed");
    std::vector<char> bytes(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t const got = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (got <= 0)
        throw std::runtime_error("read failed");
      done += static_cast<std::size_t>(got);
    }
    return bytes;
  }

 private:
  int fd;
};

// One libeconf read, freed with the object.
class EconfFile {
 public:
  EconfFile(char const* vendorFolder, char const* adminFolder) {
    // Blanks among the delimiters turn off libeconf's continuation lines,
    // which would join a line of spaces to the value before it; this
    // library's format has none.
    econf_err const error =
        econf_readDirs(&file, vendorFolder, adminFolder, "app", "conf", " \t=", "#");
    if (error != ECONF_SUCCESS)
      throw std::runtime_error(std::string("econf_readDirs: ") + econf_errString(error));
  }
  ~EconfFile() { econf_freeFile(file); }
  EconfFile(EconfFile const&) = delete;
  EconfFile& operator=(EconfFile const&) = delete;

  econf_file* get() const { return file; }

 private:
  econf_file* file = nullptr;
};

}  // namespace

void econfRead(char const* vendorFolder, char const* adminFolder) {
  EconfFile const file(vendorFolder, adminFolder);
}

std::size_t econfReadAndLookUp(char const* vendorFolder, char const* adminFolder,
                               std::vector<std::string> const& keys) {
  EconfFile const file(vendorFolder, adminFolder);
  std::size_t found = 0;
  for (std::string const& key : keys) {
    char* value = nullptr;
    if (econf_getStringValue(file.get(), nullptr, key.c_str(), &value) == ECONF_SUCCESS &&
        value != nullptr)
      ++found;
    std::free(value);
  }
  return found;
}

EconfEntries econfEntries(char const* vendorFolder, char const* adminFolder,
                          std::vector<std::string> const& valuesOf) {
  EconfFile const file(vendorFolder, adminFolder);
  std::size_t count = 0;
  char** keys = nullptr;
  econf_err const error = econf_getKeys(file.get(), nullptr, &count, &keys);
  if (error != ECONF_SUCCESS)
    throw std::runtime_error(std::string("econf_getKeys: ") + econf_errString(error));
  EconfEntries entries;
  entries.keys.assign(keys, keys + count);
  econf_freeArray(keys);
  for (std::string const& key : valuesOf) {
    char* value = nullptr;
    if (econf_getStringValue(file.get(), nullptr, key.c_str(), &value) == ECONF_SUCCESS &&
        value != nullptr)
      entries.values.emplace_back(key, value);
    std::free(value);
  }
  return entries;
}

std::size_t inihLoad(char const* path) {
  StringMap entries;
  if (ini_parse(path, storeEntry, &entries) != 0) {
    throw std::runtime_error(std::string("inih cannot parse ") + path);
  }
  return entries.size();
}

std::size_t keyFileLoadAndRead(char const* path) {
  return LoadedKeyFile(path).readEveryValue();
}

void keyFileLoadOnly(char const* path) {
  LoadedKeyFile const loaded(path);
}

LoadedKeyFile::LoadedKeyFile(char const* path) : keyFile(g_key_file_new()) {
  GError* error = nullptr;
  if (!g_key_file_load_from_file(keyFile, path, G_KEY_FILE_NONE, &error)) {
    g_key_file_free(keyFile);
    failWith("g_key_file_load_from_file", error);
  }
}

LoadedKeyFile::~LoadedKeyFile() {
  g_key_file_free(keyFile);
}

std::size_t LoadedKeyFile::readEveryValue() const {
  GError* error = nullptr;
  gsize count = 0;
  gchar** keys = g_key_file_get_keys(keyFile, groupName(), &count, &error);
  if (keys == nullptr)
    failWith("g_key_file_get_keys", error);
  std::size_t read = 0;
  for (gsize i = 0; i < count; ++i) {
    gchar* value = g_key_file_get_value(keyFile, groupName(), keys[i], nullptr);
    if (value != nullptr)
      ++read;
    g_free(value);
  }
  g_strfreev(keys);
  return read;
}

void LoadedKeyFile::saveTo(char const* path) const {
  GError* error = nullptr;
  if (!g_key_file_save_to_file(keyFile, path, &error))
    failWith("g_key_file_save_to_file", error);
}

std::size_t readAndSplitLines(char const* path) {
  std::vector<char> const bytes = Descriptor(path).readAll();
  if (bytes.empty())
    return 1;
  char const* position = bytes.data();
  char const* const end = position + bytes.size();
  std::size_t lines = 1;
  while (char const* eol = static_cast<char const*>(
             std::memchr(position, '\n', static_cast<std::size_t>(end - position)))) {
    ++lines;
    position = eol + 1;
  }
  return lines;
}

}  // namespace tamo_bench
