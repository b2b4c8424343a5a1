// Feeds files to the fuzz target without libFuzzer, so that every build
// replays the seed corpus and any input a fuzzing run saved. Arguments are
// files or directories (their regular files, in name order).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> collectInputs(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    fs::path const argument(argv[i]);
    if (!fs::is_directory(argument)) {
      inputs.push_back(argument);
      continue;
    }
    for (fs::directory_entry const& entry : fs::directory_iterator(argument)) {
      if (entry.is_regular_file())
        inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

bool readWhole(fs::path const& path, std::string& contents) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream)
    return false;
  contents.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  return !stream.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> const inputs = collectInputs(argc, argv);
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  for (fs::path const& path : inputs) {
    std::string contents;
    if (!readWhole(path, contents)) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    std::printf("replaying %s\n", path.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<std::uint8_t const*>(contents.data()), contents.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
