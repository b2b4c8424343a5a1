#include "inputs.h"

#include <array>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace tamo_bench {
namespace {

// splitmix64: a fixed, portable sequence (the standard distributions are not
// the same on every library).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }

 private:
  std::uint64_t state;
};

// No generated line is shorter than this, so there are always enough numbers.
constexpr std::size_t kShortestLine = 30;
// The last line is a comment that pads the text to its exact size; stopping
// this far from the end keeps it shorter than every peer's line limit.
constexpr std::size_t kFillerRoom = 64;

constexpr std::array<char const*, 4> kValueTails = {"", " alpha", " beta gamma", " delta epsilon"};

// Where the installer's keys stand, as line numbers; later ones are dropped
// from a text too short to reach them.
constexpr std::array<std::size_t, 4> kInstallerLineNumbers = {97, 5003, 11011, 17021};
constexpr std::array<char const*, 4> kInstallerLines = {
    "auto_update = enable\n", "Web_Analytics = 0\n", "web_tamo = Disable\n",
    "web_tamo_security_level = h\n"};

std::vector<std::uint32_t> shuffledNumbers(std::size_t count, Random& random) {
  std::vector<std::uint32_t> numbers(count);
  for (std::size_t i = 0; i < count; ++i)
    numbers[i] = static_cast<std::uint32_t>(i);
  for (std::size_t i = count; i > 1; --i) {
    std::swap(numbers[i - 1], numbers[random.below(static_cast<std::uint32_t>(i))]);
  }
  return numbers;
}

std::string keyLine(std::uint32_t number, Random& random) {
  char line[96];
  std::snprintf(line, sizeof line, "SOME_KEY_%05u = value text %u%s\n", number, number,
                kValueTails[random.below(kValueTails.size())]);
  return line;
}

std::string commentLine(std::size_t lineNumber) {
  return "# note " + std::to_string(lineNumber) + " on the settings below\n";
}

class TextWriter {
 public:
  TextWriter(std::size_t size, std::uint64_t seed)
      : size(size), random(seed), numbers(shuffledNumbers(size / kShortestLine, random)) {
    result.text.reserve(size);
  }

  SettingsText take() {
    while (appendLine(nextLine())) {
    }
    appendFiller();
    return std::move(result);
  }

 private:
  enum Kind { KEY, COMMENT, BLANK };

  std::string nextLine() {
    if (installerLinesUsed < kInstallerLines.size() &&
        lineNumber == kInstallerLineNumbers[installerLinesUsed]) {
      kind = KEY;
      return kInstallerLines[installerLinesUsed++];
    }
    std::uint32_t const draw = random.below(100);
    if (draw < 5) {
      kind = COMMENT;
      return commentLine(lineNumber);
    }
    if (draw < 8) {
      kind = BLANK;
      return lineNumber % 2 == 0 ? "\n" : "   \n";
    }
    kind = KEY;
    return keyLine(numbers.at(numbersUsed++), random);
  }

  bool appendLine(std::string const& line) {
    if (result.text.size() + line.size() + kFillerRoom > size)
      return false;
    result.text += line;
    if (kind == KEY)
      ++result.keyLines;
    if (kind == COMMENT)
      ++result.commentLines;
    if (kind == BLANK)
      ++result.blankLines;
    ++lineNumber;
    return true;
  }

  void appendFiller() {
    std::size_t const room = size - result.text.size();
    result.text += '#';
    result.text.append(room - 2, '~');
    result.text += '\n';
    ++result.commentLines;
  }

  std::size_t size;
  Random random;
  std::vector<std::uint32_t> numbers;
  std::size_t numbersUsed = 0;
  std::size_t installerLinesUsed = 0;
  std::size_t lineNumber = 0;
  Kind kind = KEY;
  SettingsText result;
};

}  // namespace

SettingsText makeSettingsText(std::size_t size, std::uint64_t seed) {
  if (size < 4 * kFillerRoom)
    throw std::invalid_argument("settings text too small");
  return TextWriter(size, seed).take();
}

std::string makeInstallText() {
  return "AUTO_UPDATE=enable\n"
         "WEB_ANALYTICS=Disable\n"
         "web_tamo=1\n"
         "WEB_TAMO_SECURITY_LEVEL=vh\n";
}

char const* groupName() {
  return "settings";
}

std::string withGroupHeader(std::string const& text) {
  return std::string("[") + groupName() + "]\n" + text;
}

}  // namespace tamo_bench
