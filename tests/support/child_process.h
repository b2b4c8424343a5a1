// Runs test code in a forked child and brings back the one int it returns.
#ifndef TAMO_TESTS_SUPPORT_CHILD_PROCESS_H
#define TAMO_TESTS_SUPPORT_CHILD_PROCESS_H

#include <functional>

namespace tamo_test {

// Forks; in the child runs prepare, then body when prepare returned 0, and
// sends back body's result (or prepare's, when not 0). Returns that result,
// setupFailed when the pipe or the fork failed, childDied when the child
// sent nothing or did not exit normally. The child leaves through _exit so
// that nothing of the parent's test run (atexit handlers, stdio buffers) runs
// twice; assertions made in it are lost with it.
int runInChild(std::function<int()> const& prepare, std::function<int()> const& body,
               int setupFailed, int childDied);

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_CHILD_PROCESS_H
