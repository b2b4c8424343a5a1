#include "bench_files.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "tamo_cases.h"

namespace tamo_bench {
namespace {

constexpr std::uint64_t kLargeSeed = 42;
constexpr std::uint64_t kHalfSeed = 4242;
constexpr std::uint64_t kOtherLargeSeed = 7;
constexpr std::uint64_t kOtherHalfSeed = 77;
constexpr std::uint64_t kHugeSeed = 4711;
constexpr std::uint64_t kLayerSeed = 31;
constexpr std::size_t kHugeStringSize = std::size_t{10} << 20;

std::string readWholeFile(std::string const& path) {
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  if (stream == nullptr)
    throw std::runtime_error("cannot read " + path);
  std::string text;
  char piece[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, stream)) > 0)
    text.append(piece, got);
  std::fclose(stream);
  return text;
}

// The large file as the library writes it: what a program reads back after
// its own export.
void writeSorted(std::string const& from, std::string const& to) {
  Context context;
  context.importFile(from.c_str(), nullptr);
  context.exportTo(to.c_str());
}

std::string makeScratchDirectory() {
  char const* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tamo-bench-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) {
    throw std::runtime_error("cannot create a directory like " + pattern);
  }
  return name.data();
}

// Makes every missing folder of path with mode 0755, whatever the umask.
void makeFolders(std::string const& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string const folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0755) == 0) {
      ::chmod(folder.c_str(), 0755);
    } else if (errno != EEXIST) {
      throw std::runtime_error("cannot create " + folder);
    }
    if (slash == std::string::npos)
      return;
  }
}

// A file of the layout: not writable by group or others, or the import
// refuses it.
void writeLayoutFile(std::string const& path, std::string const& contents) {
  writeWholeFile(path, contents);
  if (::chmod(path.c_str(), 0644) != 0)
    throw std::runtime_error("cannot change the mode of " + path);
}

void writeLayout(BenchFiles& files) {
  std::string const root = files.directory + "/layout";
  std::string const econfRoot = files.directory + "/econf";
  std::string const dropInFolder = std::string("/") + kLayoutMainName + ".d";
  files.layoutRoot = root;
  files.econfVendorFolder = root + kLayoutHierarchies[0];
  files.econfAdminFolder = econfRoot + kLayoutHierarchies[2];
  for (char const* hierarchy : kLayoutHierarchies)
    makeFolders(root + hierarchy + dropInFolder);
  makeFolders(files.econfAdminFolder + dropInFolder);
  writeLayoutFile(files.econfVendorFolder + "/" + kLayoutMainName, files.layered.mainText);
  for (LayeredSettings::DropIn const& dropIn : files.layered.dropIns) {
    std::string const path =
        root + kLayoutHierarchies[dropIn.hierarchy] + dropInFolder + "/" + dropIn.name;
    writeLayoutFile(path, dropIn.text);
    if (dropIn.hierarchy == 0)
      continue;
    std::string const link = files.econfAdminFolder + dropInFolder + "/" + dropIn.name;
    if (::link(path.c_str(), link.c_str()) != 0)
      throw std::runtime_error("cannot link " + link);
  }
}

int removeEntry(char const* path, struct stat const*, int, struct FTW*) {
  return std::remove(path);
}

// Owns the files for the program's lifetime.
class Scratch {
 public:
  Scratch() {
    files.directory = makeScratchDirectory();
    for (char const* subdirectory : {"export", "save", "flow"}) {
      ::mkdir(path(subdirectory).c_str(), 0700);
    }
    files.largeText = makeSettingsText(kLargeFileSize, kLargeSeed);
    files.halfText = makeSettingsText(kLargeFileSize / 2, kHalfSeed);
    std::string const install = makeInstallText();
    files.large = write("large.cfg", files.largeText.text);
    files.half = write("half.cfg", files.halfText.text);
    files.small = write("install.properties", install);
    files.otherLarge =
        write("other-large.cfg", makeSettingsText(kLargeFileSize, kOtherLargeSeed).text);
    files.otherHalf =
        write("other-half.cfg", makeSettingsText(kLargeFileSize / 2, kOtherHalfSeed).text);
    files.sorted = path("sorted.cfg");
    writeSorted(files.large, files.sorted);
    files.sortedKeyFile = write("sorted.ini", withGroupHeader(readWholeFile(files.sorted)));
    files.hugeString = makeSettingsText(kHugeStringSize, kHugeSeed);
    files.halfHugeString = makeSettingsText(kHugeStringSize / 2, kHugeSeed + 1);
    files.largeKeyFile = write("large.ini", withGroupHeader(files.largeText.text));
    files.halfKeyFile = write("half.ini", withGroupHeader(files.halfText.text));
    files.smallKeyFile = write("install.ini", withGroupHeader(install));
    files.exportLarge = path("export/large.cfg");
    files.exportHalf = path("export/half.cfg");
    files.exportSmall = path("export/small.cfg");
    files.saveLarge = path("save/large.ini");
    files.saveSmall = path("save/small.ini");
    files.flowSystem = write("flow/system.cfg", files.largeText.text);
    files.flowInput = write("flow/install.properties", install);
    files.layered = makeLayeredSettings(files.largeText.text, kLayerSeed);
    writeLayout(files);
  }
  ~Scratch() { ::nftw(files.directory.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }
  Scratch(Scratch const&) = delete;
  Scratch& operator=(Scratch const&) = delete;

  BenchFiles files;

 private:
  std::string path(std::string const& relative) const { return files.directory + "/" + relative; }
  std::string write(std::string const& relative, std::string const& contents) const {
    std::string const full = path(relative);
    writeWholeFile(full, contents);
    return full;
  }
};

}  // namespace

BenchFiles const& benchFiles() {
  static Scratch const scratch;
  return scratch.files;
}

void writeCountedInputs(std::string const& directory) {
  writeWholeFile(directory + "/large.cfg", makeSettingsText(kLargeFileSize, kLargeSeed).text);
  writeSorted(directory + "/large.cfg", directory + "/sorted.cfg");
}

void writeWholeFile(std::string const& path, std::string const& contents) {
  std::FILE* stream = std::fopen(path.c_str(), "wb");
  if (stream == nullptr)
    throw std::runtime_error("cannot write " + path);
  bool const written = std::fwrite(contents.data(), 1, contents.size(), stream) == contents.size();
  if (std::fclose(stream) != 0 || !written)
    throw std::runtime_error("cannot write " + path);
}

}  // namespace tamo_bench
