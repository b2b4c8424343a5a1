// Trees in which another user, the attacker (uid 1000), prepared an attack on
// root, drawn from seeds; and the oracle that judges what root did in them
// from the kernel's answers alone, without knowing how the code under test
// works.
#ifndef TAMO_TESTS_E2E_ATTACK_H
#define TAMO_TESTS_E2E_ATTACK_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
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
// kGroup, no capabilities); nullopt when no child could become it.
std::optional<std::string> asAttacker(std::function<std::string()> const& body);

// Makes as root under root what spec lists: items "KIND PATH UID:GID LAST"
// split by ";". KIND is 'd' (a folder, LAST its octal mode), 'f' (a file
// holding "password=" and the next token of prefix, LAST its mode), 'l' (a
// link, LAST its text, a leading "/" standing for root) or 'a' (on a folder,
// a default access list naming the attacker; LAST "both" sets it as the
// access list too). Any field may be "x|y|...", one drawn by rng. An item
// whose folder is missing is left out. Returns false when one failed.
bool make(std::string const& root, std::string const& spec, Rng& rng, std::string const& prefix,
          int& tokens);

// Makes seed's tree in root (an empty folder all may enter): root's part,
// then the attacker's moves tried as uid 1000, so that the kernel decides
// what it could do. Returns the moves and the kernel's answers, one a line;
// nullopt when root's part failed or no child became the attacker.
std::optional<std::string> buildTree(unsigned seed, std::string const& root);
// "SECRET_<seed>_": every token of seed's tree begins so.
std::string tokenPrefix(unsigned seed);

// Names for root to be given, relative to root, beginning in folder: what
// stands in it and its folders, names through its links and "..", new names.
std::vector<std::string> namesIn(std::string const& root, std::string const& folder);

// One name in the tree as root sees it, links not followed.
struct Node {
  char type;  // 'd' folder, 'f' regular file, 'l' link, 'p' FIFO, '?' other
  unsigned long long inode;
  long long born;  // birth time in nanoseconds, 0 where unknown: an inode number may come back
  uid_t owner;
  gid_t group;
  unsigned mode;     // 07777
  std::string data;  // a file's bytes, a link's text, a folder's names one per line
  std::string acl;   // the access and default lists as the kernel stores them
  bool sameObject(Node const& other) const { return inode == other.inode && born == other.born; }
};

// The tree, keyed by paths relative to its root ("" is the root), and what
// the attacker, asked as uid 1000, may write (files; folders it may add to)
// and read (or could, owning the file).
struct View {
  std::map<std::string, Node> tree;
  std::set<std::string> writable, readable;
};
std::optional<View> observe(std::string const& root);
bool sameTree(View const& a, View const& b);

// The breaches of the rule a run left, one readable line each. From the
// attacker's folder all of the rule applies. From a sticky folder others may
// write, root's own hard links there may lead anywhere, so only the rule of
// such folders is judged. output: what the run printed, by where.
std::vector<std::string> judge(bool fromAttackersFolder, View const& before, View const& after,
                               std::map<std::string, std::string> const& output,
                               std::string const& prefix);

// The tree as lines "path  type owner:group mode ...", root written $T.
std::string describe(View const& view, std::string const& root);

}  // namespace tamo_attack

#endif  // TAMO_TESTS_E2E_ATTACK_H
