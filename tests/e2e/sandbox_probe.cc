// A stand-in program for the sandbox's own test: logs COUNT numbered
// messages, writes to both output streams, optionally copies one file to
// another, and exits with EXIT.
//   sandbox_probe COUNT EXIT [FROM TO]
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5)
    return 64;
  int const count = std::atoi(argv[1]);
  for (int i = 1; i <= count; ++i)
    syslog(LOG_ERR, "%s", ("message " + std::to_string(i)).c_str());
  std::fputs("to standard output\n", stdout);
  std::fputs("to standard error\n", stderr);
  if (argc == 5) {
    std::ifstream from(argv[3], std::ios::binary);
    std::ostringstream contents;
    contents << from.rdbuf();
    std::ofstream(argv[4], std::ios::binary) << contents.str();
  }
  return std::atoi(argv[2]);
}
