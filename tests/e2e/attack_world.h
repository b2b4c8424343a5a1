// A small tree, made from a seed, in which another user has prepared an
// attack on root: folders and files of root, of a bystander and of a group,
// each file holding a token of its own, and the attacker's folder att/,
// filled by the attacker itself as uid 1000 so that the kernel decides what
// it could do (plant links, hard links, move other users' files in).
#ifndef TAMO_TESTS_E2E_ATTACK_WORLD_H
#define TAMO_TESTS_E2E_ATTACK_WORLD_H

#include <sys/types.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace tamo_attack {

constexpr uid_t kAttacker = 1000;
constexpr uid_t kBystander = 1001;
constexpr gid_t kGroup = 2000;  // the attacker is a member

// Draws by plain modulo: the standard distributions differ between C++
// libraries, and a seed must replay the same tree wherever it is run.
class Rng {
 public:
  explicit Rng(unsigned seed) : engine(seed) {}
  unsigned below(std::size_t n) { return static_cast<unsigned>(engine() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  template <typename T>
  T const& pick(std::vector<T> const& items) {
    return items[below(items.size())];
  }

 private:
  std::mt19937 engine;
};

// Runs body in a forked child as the attacker (uid and gid 1000, member of
// kGroup, no capabilities) and returns what body returned. A child that
// could not become the attacker returns kNotTheAttacker.
std::string asAttacker(std::function<std::string()> const& body);
extern char const kNotTheAttacker[];

// The kernel's link protections a seed runs under.
struct Protection {
  int symlinks;
  int hardlinks;
  int regular;
};

// One thing done to make the tree: by root, or tried by the attacker.
struct Step {
  enum Kind { kDirectory, kFile, kLink, kHardLink, kRename, kFifo, kDefaultAcl } kind;
  bool byAttacker;
  std::string path;   // relative to the tree's root
  std::string other;  // a link's text, or the source of a hard link or rename
  uid_t owner;
  gid_t group;
  mode_t mode;
  int token;  // the file's token number, -1 for none
};

class World {
 public:
  // Draws the plan of the seed's tree; nothing is made yet.
  explicit World(unsigned seed);

  Protection const& protection() const { return protect; }
  // Makes the tree in root, an existing empty directory that every user may
  // enter. Root's steps must succeed (false otherwise); the attacker's get
  // the kernel's answer, kept for describeSteps.
  bool build(std::string const& root);

  std::string const& root() const { return top; }
  std::string path(std::string const& relative) const;
  // "SECRET_<seed>_": every token of the tree begins so.
  std::string tokenPrefix() const;
  // The attacker's tries and the kernel's answers, one per line.
  std::string describeSteps() const;
  // Names for root to be given, all beginning with "att/": what stands in
  // the attacker's folders, names through its links and "..", new names.
  std::vector<std::string> names() const;
  // The sticky folders others may write ("tmp", "gst") that the tree has.
  std::vector<std::string> stickyFolders() const;
  // What stands in folder, and a new name there, relative to the tree's root.
  std::vector<std::string> namesIn(std::string const& folder) const;

 private:
  void planVictims(Rng& rng);
  void planAttacker(Rng& rng);
  void rootDirectory(std::string const& path, uid_t owner, gid_t group, mode_t mode);
  void rootFile(std::string const& path, uid_t owner, gid_t group, mode_t mode);
  void rootLink(std::string const& path, std::string const& target);
  std::string freeName(Rng& rng, std::string const& folder) const;
  std::string linkText(Rng& rng, std::string const& from, std::string const& target) const;
  void addNamesUnder(std::string const& folder, std::vector<std::string>& out) const;

  unsigned seed;
  Protection protect{};
  std::vector<Step> steps;
  std::vector<int> answers;  // errno of each attacker step, 0 when done
  std::vector<std::string> paths;
  int tokens = 0;
  std::string top;
};

}  // namespace tamo_attack

#endif  // TAMO_TESTS_E2E_ATTACK_WORLD_H
