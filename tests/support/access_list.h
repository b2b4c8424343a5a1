// Access lists written as the kernel stores them, so that tests need no
// tool of the acl package.
#ifndef TAMO_TESTS_SUPPORT_ACCESS_LIST_H
#define TAMO_TESTS_SUPPORT_ACCESS_LIST_H

#include <sys/types.h>

#include <string>

namespace tamo_test {

// Sets attribute ("system.posix_acl_default" or "system.posix_acl_access")
// of path to: rwx for the owner and for user, r-x for the owning group and
// the others. False when the file system refuses it.
bool grantAccessList(std::string const& path, char const* attribute, uid_t user);

}  // namespace tamo_test

#endif  // TAMO_TESTS_SUPPORT_ACCESS_LIST_H
