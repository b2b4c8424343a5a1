#include "inputs.h"

#include <array>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string_view>
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

// The layered settings' shape: how many keys of each kind every drop-in
// sets, how many keys several of them share, and how many of the drop-ins
// (the lowest names) lie in the vendor's hierarchy; the others alternate
// between the runtime and the administrator's.
constexpr std::size_t kOverridesPerDropIn = 12;
constexpr std::size_t kNewKeysPerDropIn = 20;
constexpr std::size_t kSharedKeys = 8;
constexpr std::size_t kSharedPerDropIn = 4;
constexpr int kVendorDropIns = 6;
constexpr std::array<char const*, 3> kHierarchyWords = {"vendor", "runtime", "local"};

std::string_view trimmed(std::string_view text) {
  std::size_t const first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The key lines of a generated text as key and value, in text order.
std::vector<std::pair<std::string, std::string>> assignmentsOf(std::string const& text) {
  std::vector<std::pair<std::string, std::string>> assignments;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t const end = rest.find('\n');
    std::string_view const line = trimmed(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    std::size_t const equals = line.find('=');
    if (line.empty() || line.front() == '#' || equals == std::string_view::npos)
      continue;
    assignments.emplace_back(trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
  }
  return assignments;
}

std::string assignment(std::string const& key, std::string const& value) {
  return key + " = " + value + "\n";
}

std::string sharedKey(std::size_t index) {
  char key[32];
  std::snprintf(key, sizeof key, "LAYER_SHARED_%02zu", index);
  return key;
}

std::string newKey(int number, std::size_t index) {
  char key[32];
  std::snprintf(key, sizeof key, "DROPIN_%02d_KEY_%02zu", number, index);
  return key;
}

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

LayeredSettings makeLayeredSettings(std::string mainText, std::uint64_t seed) {
  LayeredSettings result;
  result.mainText = std::move(mainText);
  std::vector<std::pair<std::string, std::string>> const mainKeys = assignmentsOf(result.mainText);
  if (mainKeys.size() < kLayerDropIns * kOverridesPerDropIn)
    throw std::invalid_argument("main text too small for the drop-ins");
  Random random(seed);
  // Each drop-in overrides main keys of its own, drawn without repetition.
  std::vector<std::uint32_t> const overridden = shuffledNumbers(mainKeys.size(), random);
  std::size_t overridesUsed = 0;
  for (int i = 0; i < kLayerDropIns; ++i) {
    int const number = 10 + 4 * i;
    int const hierarchy = i < kVendorDropIns ? 0 : 1 + i % 2;
    std::vector<std::string> lines;
    for (std::size_t k = 0; k < kOverridesPerDropIn; ++k) {
      std::string const& key = mainKeys[overridden[overridesUsed++]].first;
      lines.push_back(
          assignment(key, "override " + std::to_string(k) + " by " + std::to_string(number)));
    }
    for (std::size_t k = 0; k < kSharedPerDropIn; ++k) {
      lines.push_back(assignment(sharedKey((static_cast<std::size_t>(i) + 2 * k) % kSharedKeys),
                                 "shared, set by " + std::to_string(number)));
    }
    for (std::size_t k = 0; k < kNewKeysPerDropIn; ++k) {
      lines.push_back(assignment(
          newKey(number, k), "new value " + std::to_string(k) + " of " + std::to_string(number)));
    }
    for (std::size_t k = lines.size(); k > 1; --k)
      std::swap(lines[k - 1], lines[random.below(static_cast<std::uint32_t>(k))]);
    char name[48];
    std::snprintf(name, sizeof name, "%02d-%s.conf", number, kHierarchyWords[hierarchy]);
    std::string text = "# " + std::string(name) + ": drop-in settings\n";
    for (std::size_t k = 0; k < lines.size(); ++k) {
      text += lines[k];
      if (k == lines.size() / 2)
        text += "\n";
    }
    result.dropIns.push_back({hierarchy, name, std::move(text)});
  }
  std::map<std::string, std::string> effective(mainKeys.begin(), mainKeys.end());
  std::map<std::string, std::string> fromDropIns;
  for (LayeredSettings::DropIn const& dropIn : result.dropIns) {
    for (auto const& keyAndValue : assignmentsOf(dropIn.text))
      fromDropIns[keyAndValue.first] = effective[keyAndValue.first] = keyAndValue.second;
  }
  result.effective.assign(effective.begin(), effective.end());
  for (auto const& keyAndValue : fromDropIns)
    result.dropInKeys.push_back(keyAndValue.first);
  return result;
}

char const* groupName() {
  return "settings";
}

std::string withGroupHeader(std::string const& text) {
  return std::string("[") + groupName() + "]\n" + text;
}

}  // namespace tamo_bench
