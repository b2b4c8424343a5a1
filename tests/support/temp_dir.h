// A private temporary directory for a test, removed with everything in it.
#ifndef TAMO_TESTS_SUPPORT_TEMP_DIR_H
#define TAMO_TESTS_SUPPORT_TEMP_DIR_H

#include <string>

namespace tamo_test {

class TempDir {
 public:
  TempDir();  // under $TMPDIR or /tmp
  ~TempDir();
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;

  std::string const& path() const { return root; }
  // path() + "/" + relative
  std::string file(std::string const& relative) const;

 private:
  std::string root;
};

// Whole-file helpers for tests; they fail the test on error.
void writeFile(std::string const& path, std::string const& contents);
std::string readFile(std::string const& path);
bool exists(std::string const& path);
// Permission bits (07777) of path, following links.
unsigned modeOf(std::string const& path);

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_TEMP_DIR_H
