// The runs root makes in the attack tests: the tool, the library's calls
// (each in a child that prints what it got back) and the installer in its
// sandbox, everything they print captured, and each killed after a time
// limit so that a run that hangs fails instead of stopping the test.
#ifndef TAMO_TESTS_E2E_ATTACK_RUNS_H
#define TAMO_TESTS_E2E_ATTACK_RUNS_H

#include <string>
#include <vector>

#include "attack_oracle.h"

namespace tamo_attack {

constexpr int kTimeoutSeconds = 20;
constexpr char kSystemPath[] = "/etc/Vardel/Tamo/tamo.settings.cfg";
constexpr char kInputPath[] = "/etc/tamo/config/zlv-install.properties";

struct Outcome {
  int status = -1;  // exit status, 128 + the signal that ended it
  bool hung = false;
  RunOutput output;
};

using Names = std::vector<std::string>;

// What a successful run does to the file its name leads to; writes give
// "password" the value "changed".
// kTextualDotDot: the first table's names lose "x/.." by text before any
// step, so such a name typed by the caller never enters the attacker's
// folder and is not drawn for it.
enum Effect { kLeaves = 0, kShowsOld = 1, kWritesNew = 2, kRemovesKey = 4, kTextualDotDot = 8 };

struct EntryPoint {
  char const* label;
  int names;                           // how many file names it takes; 0: the installer
  std::vector<std::string> arguments;  // the tool's, "@1".."@3" standing for the names
  int (*library)(Names const&);        // or the library's call
  int effect;
};

extern std::vector<EntryPoint> const kEntryPoints;

struct Operation {
  EntryPoint const* entry = nullptr;
  Start start = Start::kAttackersFolder;
  Names names;      // as given
  std::string cwd;  // relative to the tree's root
  int binds = 0;    // the installer: 1 /etc/Vardel, 2 /etc/tamo, 3 both over att/
};

// The run as a line, the tree's root written $T.
std::string describe(Operation const& op, std::string const& root);

// Runs op as the caller (root) in the tree at root. The installer runs with
// root's att/ in place of its folders and workDir for its sandbox's layers.
Outcome run(Operation const& op, std::string const& root, std::string const& workDir);

}  // namespace tamo_attack

#endif  // TAMO_TESTS_E2E_ATTACK_RUNS_H
