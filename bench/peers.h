// What a user would pick instead of this library, doing comparable work, and
// the floor that no line-oriented reader can go below.
#ifndef TAMO_BENCH_PEERS_H
#define TAMO_BENCH_PEERS_H

#include <cstddef>
#include <string>

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

// Reads the whole file and splits it into lines with memchr. Returns the
// number of lines; throws std::runtime_error when the file cannot be read.
std::size_t readAndSplitLines(char const* path);

}  // namespace tamo_bench

#endif  // TAMO_BENCH_PEERS_H
