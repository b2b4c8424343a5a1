// Root writing where another user can write: every attack by a child of
// another uid must leave the stand-in victim as it was, and a write lands
// only on the file cat would read.
#include "share/target_directory.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/private_mounts.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"
#include "tamo/settings.h"

namespace {

using tamo_test::readFile;
using tamo_test::TempDir;
using tamo_test::writeFile;

constexpr uid_t kAttacker = 1000;
char const kShadow[] = "root:$6$secret:19000:0:99999:7:::\n";

// Runs body as the attacker: another uid, no groups, no capabilities.
bool asAttacker(std::function<bool()> const& body) {
  auto become = [] {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kAttacker, kAttacker, kAttacker) == 0 &&
                   ::setresuid(kAttacker, kAttacker, kAttacker) == 0
               ? 0
               : 1;
  };
  return tamo_test::runInChild(
             become, [&] { return body() ? 0 : 1; }, 2, 3) == 0;
}

// Sets a sysctl of fs for the scope and puts the old value back whatever
// the test does.
class FsSysctl {
 public:
  FsSysctl(std::string const& name, std::string const& value) : path("/proc/sys/fs/" + name) {
    std::ifstream in(path);
    std::getline(in, saved);
    set = !saved.empty() && write(value);
  }
  ~FsSysctl() {
    if (set)
      write(saved);
  }
  bool isSet() const { return set; }

 private:
  bool write(std::string const& value) const {
    std::ofstream out(path);
    out << value << '\n';
    out.close();
    return !out.fail();
  }

  std::string path;
  std::string saved;
  bool set = false;
};

struct FileFacts {
  std::string text;
  ino_t inode;
  uid_t owner;
  mode_t mode;
  bool operator==(FileFacts const& o) const {
    return text == o.text && inode == o.inode && owner == o.owner && mode == o.mode;
  }
};

// A link's facts are its own: following it may be refused by the kernel.
FileFacts factsOf(std::string const& path) {
  struct stat s {};
  if (::lstat(path.c_str(), &s) != 0)
    return {"", 0, 0, 0};
  std::string text(256, '\0');
  if (S_ISLNK(s.st_mode))
    text.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, ::readlink(path.c_str(), &text[0], text.size()))));
  else
    text = readFile(path);
  return {text, s.st_ino, s.st_uid, s.st_mode};
}

// The layout of every attack: a root-only victim, a sticky world-writable
// directory and the attacker's home, under a root that all may enter.
class Layout {
 public:
  Layout() {
    ::chmod(dir.path().c_str(), 0755);
    mkdir("victim", 0700);
    writeFile(path("victim/shadow"), kShadow);
    ::chmod(path("victim/shadow").c_str(), 0640);
    mkdir("sticky", 01777);
    mkdir("home", 0755);
    ::chown(path("home").c_str(), kAttacker, kAttacker);
    mkdir("d", 0755);
  }
  std::string path(std::string const& relative) const { return dir.file(relative); }
  void mkdir(std::string const& relative, mode_t mode) const {
    ::mkdir(path(relative).c_str(), mode);
    ::chmod(path(relative).c_str(), mode);
  }

 private:
  TempDir dir;
};

int replaceFile(std::string const& name) {
  return settings_replace_file_contents(name.c_str(), "NEW=1\n", 6);
}

int exportFile(std::string const& name) {
  settings_context_t* context = context_create();
  context_import_from_string(context, "NEW=1\n", nullptr, nullptr, 1, 0);
  int const status = context_export_to_file(context, name.c_str());
  context_free(context);
  return status;
}

struct Attack {
  char const* name;
  char const* sysctl;            // set on and off where it matters, or null
  bool (*plant)(Layout const&);  // as the attacker
  char const* written;           // the name root writes
  int status;                    // of both the replacement and the export
  char const* landsOn;           // the file that gets the text, or null
};

void PrintTo(Attack const& row, std::ostream* out) {
  *out << row.name;
}

bool linkToVictim(Layout const& l, std::string const& at) {
  return ::symlink(l.path("victim/shadow").c_str(), l.path(at).c_str()) == 0;
}

Attack const kAttacks[] = {
    {"LinkInStickyDirectory", "protected_symlinks",
     [](Layout const& l) { return linkToVictim(l, "sticky/app.cfg"); }, "sticky/app.cfg",
     SETTINGS_OPEN_FILE_ERROR, nullptr},
    {"OwnLinkIntoRootOnlyDirectory", nullptr,
     [](Layout const& l) { return linkToVictim(l, "home/app.cfg"); }, "home/app.cfg",
     SETTINGS_OPEN_FILE_ERROR, nullptr},
    {"DirectoryLinkIntoRootOnlyDirectory", nullptr,
     [](Layout const& l) {
       return ::symlink(l.path("victim").c_str(), l.path("home/sub").c_str()) == 0;
     },
     "home/sub/shadow", SETTINGS_OPEN_FILE_ERROR, nullptr},
    {"FilePlantedInStickyDirectory", "protected_regular",
     [](Layout const& l) {
       writeFile(l.path("sticky/job.cfg"), "A=1\n");
       return ::chmod(l.path("sticky/job.cfg").c_str(), 0666) == 0;
     },
     "sticky/job.cfg", SETTINGS_OPEN_FILE_ERROR, nullptr},
    {"OwnLinkToOwnFileIsFollowed", nullptr,
     [](Layout const& l) {
       writeFile(l.path("home/real.cfg"), "A=1\n");
       return ::symlink("real.cfg", l.path("home/app.cfg").c_str()) == 0;
     },
     "home/app.cfg", 0, "home/real.cfg"},
};

class RootUnderAttack : public testing::TestWithParam<Attack> {};

TEST_P(RootUnderAttack, LeavesTheVictimAndWritesOnlyWhatCatReads) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to play both the caller and another user";
  Attack const& row = GetParam();
  for (char const* setting : {"1", "0"}) {
    Layout layout;
    ASSERT_TRUE(asAttacker([&] { return row.plant(layout); })) << row.name;
    std::unique_ptr<FsSysctl> sysctl;
    if (row.sysctl != nullptr) {
      sysctl = std::make_unique<FsSysctl>(row.sysctl, setting);
      if (!sysctl->isSet())
        GTEST_SKIP() << "fs." << row.sysctl << " cannot be set here";
    }
    std::string const where = std::string(row.name) + (row.sysctl ? " with fs." : "") +
                              (row.sysctl ? std::string(row.sysctl) + "=" + setting : "");
    FileFacts const victim = factsOf(layout.path("victim/shadow"));
    FileFacts const named = factsOf(layout.path(row.written));
    for (auto write : {replaceFile, exportFile}) {
      EXPECT_EQ(row.status, write(layout.path(row.written))) << where;
      EXPECT_EQ(victim, factsOf(layout.path("victim/shadow"))) << where;
      if (row.landsOn != nullptr)
        EXPECT_EQ("NEW=1\n", readFile(layout.path(row.landsOn))) << where;
      else
        EXPECT_EQ(named, factsOf(layout.path(row.written))) << where;
    }
    if (row.sysctl == nullptr)
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Attacks, RootUnderAttack, testing::ValuesIn(kAttacks),
                         [](auto const& info) { return std::string(info.param.name); });

// The names the kernel gives meaning to: ".." after a link is the parent of
// where the link led, and a backslash is no separator (refused).
TEST(KernelNames, DotDotAfterALinkIsWhatCatReads) {
  Layout layout;
  layout.mkdir("d/real", 0755);
  layout.mkdir("d/real/deep", 0755);
  ASSERT_EQ(0, ::symlink("real/deep", layout.path("d/sub").c_str()));
  writeFile(layout.path("d/x.cfg"), "textual\n");
  writeFile(layout.path("d/real/x.cfg"), "kernel\n");
  EXPECT_EQ(0, replaceFile(layout.path("d/sub/../x.cfg")));
  EXPECT_EQ("NEW=1\n", readFile(layout.path("d/real/x.cfg")));
  EXPECT_EQ("textual\n", readFile(layout.path("d/x.cfg")));
}

TEST(KernelNames, BackslashIsRefusedByEveryTable) {
  Layout layout;
  std::string const evil = layout.path("sticky/evil\\..\\..\\victim\\shadow");
  writeFile(evil, "x=1\n");
  EXPECT_EQ(SETTINGS_INVALID_FILENAME_ERROR, replaceFile(evil));
  // The first table once cut names at a backslash too: "x\..\..\victim"
  // climbed out of a folder a caller had screened for '/' and "..".
  EXPECT_EQ(SETTINGS_INVALID_FILENAME_ERROR, exportFile(evil));
  settings_context_t* context = context_create();
  EXPECT_EQ(SETTINGS_INVALID_FILENAME_ERROR,
            context_import_from_file(context, evil.c_str(), nullptr, nullptr, 0, 0));
  context_free(context);
  EXPECT_EQ(kShadow, readFile(layout.path("victim/shadow")));
  EXPECT_EQ("x=1\n", readFile(evil));
}

// The attacker holds a read lease, which once made root's open for writing
// wait; when the kernel tells the attacker (SIGIO), it swaps its directory
// for a link to a root-only one and lets go. The open never waits now: the
// blind write gives up at once, and nothing lands anywhere.
TEST(LeaseRace, SwappedDirectoryDoesNotMoveTheWrite) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to play both the caller and another user";
  Layout layout;
  layout.mkdir("rootonly", 0700);
  ASSERT_TRUE(asAttacker([&] {
    ::mkdir(layout.path("home/sub").c_str(), 0755);
    writeFile(layout.path("home/sub/app.conf"), "A=1\n");
    return ::chmod(layout.path("home/sub/app.conf").c_str(), 06777) == 0;
  }));
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  pid_t const attacker = ::fork();
  if (attacker == 0) {
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    sigprocmask(SIG_BLOCK, &io, nullptr);
    bool ok = ::setgroups(0, nullptr) == 0 && ::setresgid(kAttacker, kAttacker, kAttacker) == 0 &&
              ::setresuid(kAttacker, kAttacker, kAttacker) == 0;
    int const fd = ::open(layout.path("home/sub/app.conf").c_str(), O_RDONLY);
    ok = ok && fd != -1 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    char const signal = ok ? '1' : '0';
    ::write(ready[1], &signal, 1);
    if (!ok)
      ::_exit(1);
    int received = 0;
    sigwait(&io, &received);
    ::rename(layout.path("home/sub").c_str(), layout.path("home/sub.old").c_str());
    ::symlink(layout.path("rootonly").c_str(), layout.path("home/sub").c_str());
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    ::_exit(0);
  }
  char signal = '0';
  ASSERT_EQ(1, ::read(ready[0], &signal, 1));
  ASSERT_EQ('1', signal) << "the attacker could not take its lease";
  EXPECT_EQ(SETTINGS_OPEN_FILE_ERROR, replaceFile(layout.path("home/sub/app.conf")));
  int status = 0;
  ::waitpid(attacker, &status, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_FALSE(tamo_test::exists(layout.path("rootonly/app.conf")));
  EXPECT_EQ("A=1\n", readFile(layout.path("home/sub.old/app.conf")));
}

// A file system mounted on /proc could make /proc/self/fd/N lead anywhere;
// without the privilege to link a descriptor directly, the staging file is
// then named the ordinary way.
TEST(ProcDecoy, StagingFileIsNeverLinkedThroughAForeignProc) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to mount over /proc in a namespace of its own";
  Layout layout;
  writeFile(layout.path("d/app.cfg"), "A=1\n");
  writeFile(layout.path("decoy"), "decoy=1\n");
  int const result = tamo_test::runInPrivateMounts([&] {
    return tamo_test::runWithoutDacOverride([&] {
      if (!tamo_test::mountTmpfs("/proc", 1 << 20) || ::mkdir("/proc/self", 0755) != 0 ||
          ::mkdir("/proc/self/fd", 0755) != 0)
        return -1;
      for (int fd = 0; fd < 64; ++fd)
        ::symlink(layout.path("decoy").c_str(), ("/proc/self/fd/" + std::to_string(fd)).c_str());
      return replaceFile(layout.path("d/app.cfg"));
    });
  });
  if (result == tamo_test::kNoPrivateMounts)
    GTEST_SKIP() << "no mount namespace allowed here";
  EXPECT_EQ(0, result);
  EXPECT_EQ("NEW=1\n", readFile(layout.path("d/app.cfg")));
  EXPECT_EQ("decoy=1\n", readFile(layout.path("decoy")));
  struct stat decoy {};
  ASSERT_EQ(0, ::stat(layout.path("decoy").c_str(), &decoy));
  EXPECT_EQ(1u, decoy.st_nlink);
}

// Access lists and attributes come over with the new text, on each file
// system an administrator is likely to have.
struct FileSystemCase {
  char const* name;
  char const* mkfs;  // null for tmpfs
};

void PrintTo(FileSystemCase const& row, std::ostream* out) {
  *out << row.name;
}

class AttributesSurvive : public testing::TestWithParam<FileSystemCase> {};

constexpr int kCannotMount = -50;

std::string attribute(std::string const& path, char const* name) {
  std::string value(4096, '\0');
  ssize_t const size = ::getxattr(path.c_str(), name, &value[0], value.size());
  value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
  return size < 0 ? "(none)" : value;
}

// user::rw- user:1000:--- group::r-- mask::r-- other::r--
std::string const kAcl(
    "\2\0\0\0"
    "\1\0\6\0\377\377\377\377"
    "\2\0\0\0\350\3\0\0"
    "\4\0\4\0\377\377\377\377"
    "\20\0\4\0\377\377\377\377"
    "\40\0\4\0\377\377\377\377",
    44);

TEST_P(AttributesSurvive, ReplacementAndExport) {
  if (!tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to mount file systems";
  TempDir dir;
  std::string const mnt = dir.file("mnt"), image = dir.file("image");
  ASSERT_EQ(0, ::mkdir(mnt.c_str(), 0755));
  if (GetParam().mkfs != nullptr) {
    int const fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_NE(-1, fd);
    ASSERT_EQ(0, ::ftruncate(fd, off_t{320} << 20));  // xfs's least, sparse
    ::close(fd);
    std::string const mkfs = std::string(GetParam().mkfs) + " " + image + " >/dev/null 2>&1";
    if (std::system(mkfs.c_str()) != 0)
      GTEST_SKIP() << mkfs << " failed; tools/install-deps installs it";
  }
  std::vector<char const*> names = {"system.posix_acl_access", "user.origin", "trusted.note",
                                    "security.selinux"};
  int const result = tamo_test::runInPrivateMounts([&] {
    bool const mounted =
        GetParam().mkfs == nullptr
            ? tamo_test::mountTmpfs(mnt, 1 << 20)
            : std::system(("mount -o loop " + image + " " + mnt + " 2>/dev/null").c_str()) == 0;
    if (!mounted)
      return kCannotMount;
    std::string const file = mnt + "/app.cfg";
    writeFile(file, "A=1\n");
    ::chmod(file.c_str(), 0644);
    ::setxattr(file.c_str(), "system.posix_acl_access", kAcl.data(), kAcl.size(), 0);
    ::setxattr(file.c_str(), "user.origin", "admin", 5, 0);
    ::setxattr(file.c_str(), "trusted.note", "kept", 4, 0);
    ::setxattr(file.c_str(), "security.selinux", "system_u:object_r:etc_t:s0", 27, 0);
    std::vector<std::string> before;
    for (char const* name : names)
      before.push_back(attribute(file, name));
    int lost = before[0] == "(none)" || before[1] == "(none)" ? 100 : 0;
    for (auto write : {replaceFile, exportFile}) {
      lost += write(file) == 0 ? 0 : 10;
      for (std::size_t i = 0; i < names.size(); ++i)
        lost += attribute(file, names[i]) == before[i] ? 0 : 1;
    }
    return lost;
  });
  if (result == tamo_test::kNoPrivateMounts || result == kCannotMount)
    GTEST_SKIP() << "mounting " << GetParam().name << " is refused here";
  EXPECT_EQ(0, result) << "100: the file system took no ACL or user attribute; 10: a write "
                          "failed; 1: an attribute was lost";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, AttributesSurvive,
                         testing::Values(FileSystemCase{"tmpfs", nullptr},
                                         FileSystemCase{"ext4", "mkfs.ext4 -q -F"},
                                         FileSystemCase{"xfs", "mkfs.xfs -q -f"}),
                         [](auto const& info) { return std::string(info.param.name); });

// FIFOs, devices and sockets are refused before anything could block.
TEST(NotRegular, FifoIsRefusedAtOnceByEveryRoad) {
  Layout layout;
  ASSERT_EQ(0, ::mkfifo(layout.path("d/fifo").c_str(), 0600));
  settings_context_t* context = context_create();
  EXPECT_EQ(
      SETTINGS_OPEN_FILE_ERROR,
      context_import_from_file(context, layout.path("d/fifo").c_str(), nullptr, nullptr, 1, 0));
  context_free(context);
  EXPECT_EQ(SETTINGS_OPEN_FILE_ERROR, replaceFile(layout.path("d/fifo")));
  EXPECT_EQ(SETTINGS_OPEN_FILE_ERROR, exportFile(layout.path("d/fifo")));
}

}  // namespace
