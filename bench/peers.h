// What a user would pick instead of this library, doing comparable work, and
// the floor that no line-oriented reader can go below.
#ifndef TAMO_BENCH_PEERS_H
#define TAMO_BENCH_PEERS_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

typedef struct _GKeyFile GKeyFile;

namespace tamo_bench {

// inih: parses the file and stores every key and value in a std::map, the
// last value of a repeated key winning. Returns the number of keys; throws
// std::runtime_error when the file does not parse.
std::size_t inihLoad(char const* path);

// GKeyFile: loads the file (which must start with a group header) and reads
// every value of its one group. Returns the number of values read; throws
// std::runtime_error on failure.
std::size_t keyFileLoadAndRead(char const* path);

// GKeyFile: loads the file and frees it without reading anything.
void keyFileLoadOnly(char const* path);

// A loaded GKeyFile, kept for repeated saves.
class LoadedKeyFile {
 public:
  explicit LoadedKeyFile(char const* path);  // std::runtime_error
  ~LoadedKeyFile();
  LoadedKeyFile(LoadedKeyFile const&) = delete;
  LoadedKeyFile& operator=(LoadedKeyFile const&) = delete;

  // Reads every value of the group; returns how many.
  std::size_t readEveryValue() const;
  // g_key_file_save_to_file; std::runtime_error on failure.
  void saveTo(char const* path) const;

 private:
  GKeyFile* keyFile;
};

// libeconf: the layered read of project "app" (main file app.conf, drop-ins
// app.conf.d/*.conf) from a vendor folder and an administrator's folder, the
// two hierarchies it knows. Throws std::runtime_error on failure.
void econfRead(char const* vendorFolder, char const* adminFolder);

// The same read, then every key in keys looked up with econf_getStringValue
// (each string freed). Returns how many were found.
std::size_t econfReadAndLookUp(char const* vendorFolder, char const* adminFolder,
                               std::vector<std::string> const& keys);

// The same read: every key it gives (in its order) and the values of the
// keys asked for that it has, for checking that the peers read the same
// configuration. Throws std::runtime_error on failure.
struct EconfEntries {
  std::vector<std::string> keys;
  std::vector<std::pair<std::string, std::string>> values;
};
EconfEntries econfEntries(char const* vendorFolder, char const* adminFolder,
                          std::vector<std::string> const& valuesOf);

// Reads the whole file and splits it into lines with memchr. Returns the
// number of lines; throws std::runtime_error when the file cannot be read.
std::size_t readAndSplitLines(char const* path);

}  // namespace tamo_bench

#endif  // TAMO_BENCH_PEERS_H
