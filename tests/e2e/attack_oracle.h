// What root may have done in a tree where another user attacked it, judged
// without knowing how the code under test works: snapshots of every name in
// the tree, what the attacker could change and read (asked of the kernel as
// uid 1000), and the verdict after a run.
#ifndef TAMO_TESTS_E2E_ATTACK_ORACLE_H
#define TAMO_TESTS_E2E_ATTACK_ORACLE_H

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tamo_attack {

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
  bool operator==(Node const& other) const;
};

// Every name under root, keyed by its path relative to root ("" is root).
using Snapshot = std::map<std::string, Node>;
Snapshot snapshotOf(std::string const& root);

// What the attacker can do to the names of a snapshot, asked as uid 1000.
struct AttackerView {
  bool asked = false;                           // false: no child could become the attacker
  std::set<std::string> writable;               // files it may write, folders it may add to
  std::map<std::string, std::string> readable;  // files it may read (or owns), their bytes
};
AttackerView attackerView(std::string const& root, Snapshot const& tree);

// Everything the run printed or handed back, by where it came from.
struct RunOutput {
  std::map<std::string, std::string> texts;
};

// Where the names given to root began. From the attacker's own folder every
// step may reach only the attacker's objects, so all of the verdict applies.
// From a sticky folder that others may write, root's own hard links there
// may lead anywhere, so only the rule of such folders is judged: another
// user's file in them, unless it is the folder owner's, is never written.
enum class Start { kAttackersFolder, kStickyFolder };

// The breaches of the rule a run left, one readable line each; none when it
// kept to it. Tokens are the words beginning with tokenPrefix.
std::vector<std::string> judge(Start start, Snapshot const& before, AttackerView const& could,
                               Snapshot const& after, AttackerView const& can,
                               RunOutput const& output, std::string const& tokenPrefix);

// The snapshot as lines "path  type owner:group mode ...", root's path
// written $T.
std::string describe(Snapshot const& tree, std::string const& root);

}  // namespace tamo_attack

#endif  // TAMO_TESTS_E2E_ATTACK_ORACLE_H
