// Layouts read as one configuration: each row a small tree under a private
// root, with the effective values, origins and fates it must give.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tamo/settings.h>

#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using std::string;

// A node of a tree: contents, "->TEXT" for a link, "<dir>" or "<fifo>";
// mode 0 for 0644 (0755 for folders), uid -1 for root.
struct Node {
  string path;
  char const* contents;
  unsigned mode = 0;
  int uid = -1;
};

struct Row {
  char const* name;
  std::vector<Node> tree;
  // "KEY=VALUE@FILE:LINE" for every key, in key order; or the status.
  char const* effective;
  int status = 0;
  // When set: every file's "FILE:FATE", or one key's chain "FILE:LINE:WHY".
  char const* files = nullptr;
  char const* chainKey = nullptr;
  char const* chain = nullptr;
  bool withoutDacOverride = false;
};

void build(string const& root, std::vector<Node> const& tree) {
  for (Node const& node : tree) {
    string const path = root + "/" + node.path;
    for (std::size_t slash = root.size() + 1; (slash = path.find('/', slash)) != string::npos;
         ++slash)
      ::mkdir(path.substr(0, slash).c_str(), 0755);
    string const contents = node.contents;
    bool const folder = contents == "<dir>";
    bool const link = contents.rfind("->", 0) == 0;
    int const made = folder                 ? ::mkdir(path.c_str(), 0755) * (errno != EEXIST)
                     : contents == "<fifo>" ? ::mkfifo(path.c_str(), 0644)
                     : link                 ? ::symlink(contents.substr(2).c_str(), path.c_str())
                                            : (tamo_test::writeFile(path, contents), 0);
    ASSERT_EQ(made, 0) << path;
    ASSERT_TRUE(node.mode == 0 || ::chmod(path.c_str(), node.mode) == 0) << path;
    ASSERT_TRUE(node.uid == -1 || ::lchown(path.c_str(), node.uid, node.uid) == 0) << path;
  }
}

char const* const kFates[] = {"applied",  "mask",   "replaced", "masked", "hidden",
                              "leftover", "suffix", "dangling", "refused"};
char const* const kWhys[] = {"effective", "later-line", "later-file", "replaced", "masked"};

string fileName(settings_layout_t* layout, int index, string const& root) {
  char const* path = nullptr;
  settings_layout_file(layout, index, &path, nullptr, nullptr, nullptr);
  return string(path).substr(root.size() + 1);
}

struct Reading {
  settings_context_t* context = context_create();
  settings_layout_t* layout = nullptr;
  int status = -1;
  string root;

  explicit Reading(string const& root) : root(root) {
    settings_layout_create("app.conf", &layout);
    settings_layout_add_default_hierarchies(layout, "app");
    settings_layout_set_root(layout, root.c_str());
    context_set_stderr_reports(context, 0);
  }
  ~Reading() {
    settings_layout_free(layout);
    context_free(context);
  }

  string effective() {
    string text;
    context_iterate_keys(
        context,
        [](settings_context_t* c, int, int, char const* key, void* data) {
          auto* self = static_cast<Reading*>(data);
          char const* value = nullptr;
          context_get_utf8_value(c, key, &value);
          int count = 0, file = -1, line = -1;
          settings_layout_key_origin_count(self->layout, key, &count);
          settings_layout_key_origin(self->layout, key, count - 1, &file, &line, nullptr, nullptr,
                                     nullptr);
          string& out = self->scratch;
          out += (out.empty() ? "" : " ") + string(key) + "=" + (value ? value : "") + "@" +
                 fileName(self->layout, file, self->root) + ":" + std::to_string(line + 1);
        },
        this);
    text.swap(scratch);
    return text;
  }

  string files() {
    string text;
    int count = 0;
    settings_layout_file_count(layout, &count);
    for (int i = 0; i < count; ++i) {
      int fate = 0;
      settings_layout_file(layout, i, nullptr, nullptr, &fate, nullptr);
      text += (i ? " " : "") + fileName(layout, i, root) + ":" + kFates[fate];
    }
    return text;
  }

  string chain(char const* key) {
    string text;
    int count = 0;
    settings_layout_key_origin_count(layout, key, &count);
    for (int i = 0; i < count; ++i) {
      int file = 0, line = 0, why = 0;
      char const* value = nullptr;
      settings_layout_key_origin(layout, key, i, &file, &line, &why, nullptr, &value);
      text += (i ? " " : "") + fileName(layout, file, root) + ":" + std::to_string(line + 1) + ":" +
              kWhys[why] + "=" + (value ? value : "(none)");
    }
    return text;
  }

  string scratch;
};

constexpr char kMain[] = "usr/lib/app/app.conf";
constexpr char kAdmin[] = "etc/app/app.conf";
#define VENDOR_D "usr/lib/app/app.conf.d/"
#define ADMIN_D "etc/app/app.conf.d/"

std::vector<Row> const kRows = {
    {"WorkedExampleVendorDropInBeatsAdminDropIn",
     {{kMain, "a=usr\n"},
      {kAdmin, "a=etc\nb=etc\n"},
      {VENDOR_D "a.conf", "c=usr-a\n"},
      {ADMIN_D "a.conf", "c=etc-a\nd=etc-a\n"},
      {VENDOR_D "b.conf", "d=usr-b\n"}},
     "a=etc@etc/app/app.conf:1 b=etc@etc/app/app.conf:2 c=etc-a@etc/app/app.conf.d/a.conf:1 "
     "d=usr-b@usr/lib/app/app.conf.d/b.conf:1",
     0,
     "usr/lib/app/app.conf:replaced etc/app/app.conf:applied "
     "usr/lib/app/app.conf.d/a.conf:replaced "
     "etc/app/app.conf.d/a.conf:applied usr/lib/app/app.conf.d/b.conf:applied",
     "d",
     "etc/app/app.conf.d/a.conf:2:later-file=etc-a "
     "usr/lib/app/app.conf.d/b.conf:1:effective=usr-b"},
    {"EmptyAdminFileMasksVendorFile",
     {{kMain, "k=1\n"}, {kAdmin, ""}},
     "",
     0,
     "usr/lib/app/app.conf:masked etc/app/app.conf:mask",
     "k",
     "usr/lib/app/app.conf:1:masked=1"},
    {"LinkToDevNullMasksAndDropInsStillApply",
     {{kMain, "k=1\n"}, {kAdmin, "->/dev/null"}, {VENDOR_D "10.conf", "d=1\n"}},
     "d=1@usr/lib/app/app.conf.d/10.conf:1"},
    {"CommentOnlyFileIsNoMaskButReplacesWhole",
     {{kMain, "k=1\n"}, {kAdmin, "# nothing here\n"}},
     "",
     0,
     "usr/lib/app/app.conf:replaced etc/app/app.conf:applied"},
    {"SameNamedDropInOfHigherHierarchyReplacesLower",
     {{VENDOR_D "10.conf", "k=vendor\nv=1\n"}, {ADMIN_D "10.conf", "k=admin\n"}},
     "k=admin@etc/app/app.conf.d/10.conf:1"},
    {"DropInsSortByBytesAcrossHierarchiesWhateverTheLocale",
     {{VENDOR_D "a.conf", "k=a\n"},
      {ADMIN_D "B.conf", "k=B\n"},
      {VENDOR_D "50-v.conf", "s=vendor\n"},
      {ADMIN_D "10-a.conf", "s=admin\n"}},
     "k=a@usr/lib/app/app.conf.d/a.conf:1 s=vendor@usr/lib/app/app.conf.d/50-v.conf:1"},
    {"LastLineOfAFileWinsAndEveryLineIsInTheChain",
     {{kMain, "k=1\nk=2\n"}, {ADMIN_D "10.conf", "k=3\n"}},
     "k=3@etc/app/app.conf.d/10.conf:1",
     0,
     nullptr,
     "k",
     "usr/lib/app/app.conf:1:later-line=1 usr/lib/app/app.conf:2:later-file=2 "
     "etc/app/app.conf.d/10.conf:1:effective=3"},
    {"LeftoversHiddenFilesAndOtherSuffixesAreSkipped",
     {{ADMIN_D ".#10-a.conf", "->/nowhere"},
      {ADMIN_D ".hidden.conf", "k=hidden\n"},
      {ADMIN_D "20.conf~", "k=tilde\n"},
      {ADMIN_D "30.conf.dpkg-old", "k=dpkg\n"},
      {ADMIN_D "40.conf.rpmsave", "k=rpm\n"},
      {ADMIN_D "README", "k=readme\n"},
      {ADMIN_D "50-gone.conf", "->/nowhere"},
      {ADMIN_D "10.conf", "k=kept\n"}},
     "k=kept@etc/app/app.conf.d/10.conf:1",
     0,
     "etc/app/app.conf.d/.#10-a.conf:hidden etc/app/app.conf.d/.hidden.conf:hidden "
     "etc/app/app.conf.d/10.conf:applied etc/app/app.conf.d/20.conf~:leftover "
     "etc/app/app.conf.d/30.conf.dpkg-old:leftover etc/app/app.conf.d/40.conf.rpmsave:leftover "
     "etc/app/app.conf.d/50-gone.conf:dangling etc/app/app.conf.d/README:suffix"},
    {"FolderNamedWithTheSuffixFails",
     {{kMain, "k=1\n"}, {ADMIN_D "sub.conf", "<dir>"}},
     nullptr,
     SETTINGS_READ_FILE_ERROR,
     "usr/lib/app/app.conf:applied etc/app/app.conf.d/sub.conf:refused"},
    {"FifoFailsWithoutBlocking",
     {{ADMIN_D "20-fifo.conf", "<fifo>"}},
     nullptr,
     SETTINGS_OPEN_FILE_ERROR},
    {"AnotherUsersDropInFails",
     {{ADMIN_D "10.conf", "k=planted\n", 0644, 65534}},
     nullptr,
     SETTINGS_OPEN_FILE_ERROR,
     "etc/app/app.conf.d/10.conf:refused"},
    {"WorldWritableDropInFails",
     {{VENDOR_D "10.conf", "k=1\n", 0666}},
     nullptr,
     SETTINGS_OPEN_FILE_ERROR},
    {"DropInInAFolderOthersMayWriteFails",
     {{ADMIN_D "10.conf", "k=1\n"}, {ADMIN_D, "<dir>", 01777}},
     nullptr,
     SETTINGS_OPEN_FILE_ERROR},
    {"UnreadableAdminFileFailsRatherThanFallingBack",
     {{kMain, "SECURE=no\n"}, {kAdmin, "SECURE=yes\n", 0200}},
     nullptr,
     SETTINGS_OPEN_FILE_ERROR,
     nullptr,
     nullptr,
     nullptr,
     true},
    {"NothingPresentImportsNothing", {{"etc/other", "x=1\n"}}, ""},
};

// Every row runs under a locale whose collation puts "B.conf" after "a.conf",
// made privately where none is installed: the order must not follow it.
bool underCollatingLocale() {
  static tamo_test::TempDir const locales;
  string const make =
      "localedef -i en_US -f UTF-8 " + locales.file("en_US.UTF-8") + " >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0)
    return false;
  ::setenv("LOCPATH", locales.path().c_str(), 1);
  return std::setlocale(LC_ALL, "en_US.UTF-8") != nullptr && std::strcoll("B.conf", "a.conf") > 0;
}

class LayoutRows : public ::testing::TestWithParam<Row> {
 protected:
  static void SetUpTestSuite() { collating = underCollatingLocale(); }
  static inline bool collating = false;
};

TEST_P(LayoutRows, GiveTheirValuesOriginsAndFates) {
  Row const& row = GetParam();
  RecordProperty("collating_locale", collating ? "en_US.UTF-8" : "none could be made");
  bool const givesAway = std::any_of(row.tree.begin(), row.tree.end(),
                                     [](Node const& node) { return node.uid != -1; });
  if (givesAway && !tamo_test::haveRoot())
    GTEST_SKIP() << "needs root to give a file to another user";
  tamo_test::TempDir dir;
  std::vector<Node> tree = row.tree;
  // A folder's mode is set after its files are made.
  std::stable_partition(tree.begin(), tree.end(),
                        [](Node const& n) { return string(n.contents) != "<dir>"; });
  build(dir.path(), tree);
  Reading reading(dir.path());
  if (row.withoutDacOverride) {
    int const status = tamo_test::runWithoutDacOverride(
        [&] { return context_import_layout(reading.context, reading.layout, 0, 0, 0, 1); });
    EXPECT_EQ(status, row.status);
    return;
  }
  int const status = context_import_layout(reading.context, reading.layout, nullptr, nullptr, 0, 1);
  ASSERT_EQ(status, row.status);
  EXPECT_EQ(reading.effective(), row.effective != nullptr ? row.effective : "")
      << "a failed import changes nothing";
  if (row.files != nullptr) {
    EXPECT_EQ(reading.files(), row.files);
  }
  if (row.chainKey != nullptr) {
    EXPECT_EQ(reading.chain(row.chainKey), row.chain);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutRows, ::testing::ValuesIn(kRows),
                         [](::testing::TestParamInfo<Row> const& info) { return info.param.name; });

// Refused lines name their file; with failFast nothing is merged.
TEST(LayoutImport, RefusedLinesNameTheirFileAndFailFastMergesNothing) {
  tamo_test::TempDir dir;
  build(dir.path(), {{kMain, "n=1\n"}, {ADMIN_D "10.conf", "n=x\nm=2\n"}});
  settings_validator_builder_t* builder = validator_builder_create();
  validator_builder_set_integer_validator(builder, "n");
  validator_builder_set_integer_validator(builder, "m");
  settings_validator_t* validator = nullptr;
  validator_builder_create_validator(builder, &validator);
  for (int failFast : {0, 1}) {
    Reading reading(dir.path());
    EXPECT_EQ(
        context_import_layout(reading.context, reading.layout, validator, nullptr, failFast, 1),
        SETTINGS_INVALID_VALUE_ERROR);
    settings_refused_line_t const* lines = nullptr;
    int count = 0;
    settings_layout_refused_lines(reading.layout, 1, &lines, &count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(lines[0].line, 0);
    EXPECT_EQ(reading.effective(),
              failFast ? "" : "m=2@etc/app/app.conf.d/10.conf:2 n=1@usr/lib/app/app.conf:1");
  }
  validator_free(validator);
  validator_builder_free(builder);
}

TEST(LayoutImport, RefusesMoreThan1024DropIns) {
  tamo_test::TempDir dir;
  std::vector<Node> tree;
  std::vector<string> names;
  for (int i = 0; i <= 1024; ++i)
    names.push_back(ADMIN_D + std::to_string(i) + ".conf");
  for (string const& name : names)
    tree.push_back({name, "k=1\n"});
  build(dir.path(), tree);
  Reading reading(dir.path());
  EXPECT_EQ(context_import_layout(reading.context, reading.layout, nullptr, nullptr, 0, 1),
            SETTINGS_TOO_MANY_FILES_ERROR);
}

// Masking makes a link the import takes for a mask, unmasking removes it,
// and an administrator's file with settings is never replaced by a mask.
TEST(LayoutMask, MasksUnmasksAndKeepsRealFiles) {
  tamo_test::TempDir dir;
  build(dir.path(), {{kMain, "k=1\n"}, {VENDOR_D "10.conf", "d=1\n"}});
  Reading reading(dir.path());
  int changed = -1;
  settings_file_report_t report;
  for (char const* name : {"app.conf", "10.conf"})
    EXPECT_EQ(settings_layout_set_mask(reading.layout, name, 1, &changed, &report), 0) << name;
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(context_import_layout(reading.context, reading.layout, nullptr, nullptr, 0, 1), 0);
  EXPECT_EQ(reading.effective(), "");
  EXPECT_EQ(settings_layout_set_mask(reading.layout, "10.conf", 0, &changed, &report), 0);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(settings_layout_set_mask(reading.layout, "10.conf", 0, &changed, &report), 0);
  EXPECT_EQ(changed, 0);
  tamo_test::writeFile(dir.file(ADMIN_D "20.conf"), "mine=1\n");
  EXPECT_EQ(settings_layout_set_mask(reading.layout, "20.conf", 1, &changed, &report),
            SETTINGS_OPEN_FILE_ERROR);
  EXPECT_EQ(report.reason, SETTINGS_PATH_NOT_A_MASK);
  EXPECT_EQ(tamo_test::readFile(dir.file(ADMIN_D "20.conf")), "mine=1\n");
  EXPECT_EQ(settings_layout_set_mask(reading.layout, ".x.conf", 1, &changed, &report),
            SETTINGS_INVALID_FILENAME_ERROR);
  char const* path = nullptr;
  EXPECT_EQ(settings_layout_dropin_path(reading.layout, "99-local.conf", 1, &path, &report), 0);
  EXPECT_EQ(string(path), dir.file(ADMIN_D "99-local.conf"));
  EXPECT_EQ(tamo_test::modeOf(dir.file("etc/app/app.conf.d")), 0755u);
}

}  // namespace
