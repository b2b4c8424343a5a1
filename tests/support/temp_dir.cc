#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace tamo_test {

TempDir::TempDir() {
  char const* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tamo-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
  }
  root = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave directories without permissions; restore them so the
  // removal can descend.
  for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      ::chmod(it->path().c_str(), 0700);
    }
  }
  std::filesystem::remove_all(root, ignored);
}

std::string TempDir::file(std::string const& relative) const {
  return root + "/" + relative;
}

void writeFile(std::string const& path, std::string const& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  out.close();
  if (!out)
    ADD_FAILURE() << "cannot write " << path;
}

std::string readFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(std::string const& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

unsigned modeOf(std::string const& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << "cannot stat " << path;
    return 0;
  }
  return st.st_mode & 07777;
}

}  // namespace tamo_test
