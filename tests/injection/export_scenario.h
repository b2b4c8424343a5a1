// The situations an export meets, run in a child through the injecting
// platform layer, and the contract its outcome is checked against.
#ifndef TAMO_TESTS_INJECTION_EXPORT_SCENARIO_H
#define TAMO_TESTS_INJECTION_EXPORT_SCENARIO_H

#include <sys/types.h>
#include <tamo/settings.h>

#include <string>
#include <vector>

#include "injector.h"

namespace tamo_test {

extern char const kOldText[];
extern char const kNewText[];

struct Scenario {
  enum class Runner { Plain, PrivateMounts, WithoutDacOverride };
  char const* name;
  Runner runner;
  bool inPlace;                              // the file cannot be replaced, only rewritten
  std::string exported;                      // the name given to the export, under the root
  std::string inspected;                     // the file that receives the text, under the root
  bool (*prepare)(std::string const& root);  // in the test process
  bool (*enter)(std::string const& root);    // in the child, before the export
  char const* refusedCall = "";              // a call the system refuses throughout
  int refusedError = 0;
};

std::vector<Scenario> exportScenarios();
void PrintTo(Scenario const& scenario, std::ostream* out);

// What a file was: present or not, its text and identity.
struct FileState {
  bool present = false;
  bool link = false;  // a symbolic link; its text is that of its target
  std::string text;
  ino_t inode = 0;
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  nlink_t links = 0;
};
FileState fileStateOf(std::string const& path);
// Every name under root that is not a directory, relative and sorted.
std::vector<std::string> filesUnder(std::string const& root);

// Exports kNewText to the scenario's name in a child armed with plan, and
// returns the status, or a negative result of the child runners when the
// child died. With calls, the calls the export made are written to it.
// With report, the text goes through settings_file_replace instead (which
// makes no directories), and its report is written there.
int exportInChild(Scenario const& scenario, std::string const& root, injection::Plan const& plan,
                  std::vector<std::string>* calls = nullptr,
                  settings_file_report_t* report = nullptr);

// The contract for what the file holds. Empty when the outcome keeps it,
// else what was broken.
struct Outcome {
  FileState before;
  FileState exportedBefore;  // the name exported, not followed
  std::vector<std::string> filesBefore;
  bool mayBeNew = false;        // the replacing rename had been reached
  bool mayBeChanged = false;    // an in-place rewrite had begun
  bool mayLeaveHidden = false;  // the crash fell between link and rename
};
// The outcome that keeps everything, taken from the files as they are now.
Outcome outcomeBefore(Scenario const& scenario, std::string const& root);
std::string contractBroken(Scenario const& scenario, std::string const& root,
                           Outcome const& expected, int status);

}  // namespace tamo_test

#endif  // TAMO_TESTS_INJECTION_EXPORT_SCENARIO_H
