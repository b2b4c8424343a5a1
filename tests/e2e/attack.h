// Trees in which another user, the attacker (uid 1000), prepared an attack on
// root, drawn from seeds; and an oracle that judges what root did there from
// the kernel's answers alone, not from how the code under test works.
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

using Names = std::vector<std::string>;
constexpr uid_t kAttacker = 1000;

// Draws by plain modulo: the standard distributions differ between C++
// libraries, and a seed must replay the same tree wherever it is run.
struct Rng {
  explicit Rng(unsigned seed) : engine(seed) {}
  unsigned below(std::size_t n) { return static_cast<unsigned>(engine() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  std::string const& pick(Names const& items) { return items[below(items.size())]; }
  std::mt19937 engine;
};

// Runs body in a forked child as the attacker (uid and gid 1000, member of
// group 2000); nullopt when no child could become it.
std::optional<std::string> asAttacker(std::function<std::string()> const& body);

// Makes under root the items of spec, split by ";", each "KIND PATH UID:GID
// LAST": "dir" and "file" of mode LAST (octal), the file holding "password="
// and prefix with the number ++tokens; "link" to LAST, a leading "/" standing
// for root; "acl" on a folder, naming the attacker, LAST "default" or "both"
// lists. A field "x|y" is one of them, drawn by rng. Items whose folder is
// missing are left out. False when one could not be made.
bool make(std::string const& root, std::string const& spec, Rng& rng, std::string const& prefix,
          int& tokens);
std::string tokenPrefix(unsigned seed);  // "SECRET_<seed>_", as every token of its tree

// Makes seed's tree in root (an empty folder all may enter): root's part,
// then the attacker's moves tried as uid 1000, so that the kernel decides
// what it could do. Returns the moves and the kernel's answers, one a line;
// nullopt when root's part failed or no child became the attacker.
std::optional<std::string> buildTree(unsigned seed, std::string const& root);

// Names for root to be given, relative to root, beginning in folder: what
// stands in it and its folders, names through its links and "..", new names.
Names namesIn(std::string const& root, std::string const& folder);

// One name as root sees it, links not followed. born: the birth time, as an
// inode number may come back; 0 where unknown.
struct Node {
  char type;  // 'd' folder, 'f' regular file, 'l' link, 'p' FIFO, '?' other
  unsigned long long inode;
  long long born;
  uid_t owner;
  gid_t group;
  unsigned mode;     // 07777
  std::string data;  // a file's bytes, a link's text
  std::string acl;   // the access and default lists as the kernel stores them
  bool sameObject(Node const& other) const { return inode == other.inode && born == other.born; }
};

// Every name under a root by its path relative to it ("" the root), and
// what the attacker, asked as uid 1000, may write (files; folders it may add
// names to) and read (or could, owning the file).
struct View {
  std::map<std::string, Node> tree;
  std::set<std::string> writable, readable;
};
std::optional<View> observe(std::string const& root);

// The breaches of the rule a run left, one readable line each. Names given
// from the attacker's folder are judged by all of the rule; from a sticky
// folder others may write, root's own hard links there may lead anywhere,
// so only by the rule of such folders. output: what the run printed, by where.
Names judge(bool fromAttackersFolder, View const& before, View const& after,
            std::map<std::string, std::string> const& output, std::string const& prefix);

// The tree as lines "path  type owner:group mode ...", root written $T.
std::string describe(View const& view, std::string const& root);

}  // namespace tamo_attack

#endif  // TAMO_TESTS_E2E_ATTACK_H
