// Whatever a lenient reading of arbitrary bytes accepts must come back the
// same after it is written out and read again strictly. The format has no
// escapes, so this holds only as long as the reader never stores an entry
// that the writer cannot express.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "share/config_ops.h"
#include "share/parser.h"
#include "share/serializer.h"
#include "share/status.h"

namespace {

using settings_impl::IConfig;

std::unique_ptr<IConfig> parse(std::string const& text, bool failFast) {
  settings_impl::PlainTextFileConfigParser parser(text);
  parser.setFailFast(failFast);
  parser.setAllowKeysWithoutValues(true);
  return std::unique_ptr<IConfig>(parser.parse());
}

std::string serialize(IConfig const& config) {
  settings_impl::PlainTextEntrySerializer writer;
  settings_impl::ConfigSerializer(true, &writer).serialize(config);
  // As the export writes it: a first key that begins with U+FEFF goes behind
  // a blank first line, or reading it back would take that for a signature.
  std::string text = writer.getText();
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text.insert(0, "\n");
  return text;
}

void printEscaped(char const* label, std::string const& text) {
  std::fprintf(stderr, "%s: \"", label);
  for (unsigned char const c : text) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02X", c);
    }
  }
  std::fputs("\"\n", stderr);
}

[[noreturn]] void fail(char const* what, std::string const& input, std::string const& written) {
  std::fprintf(stderr, "broken round trip: %s\n", what);
  printEscaped("input", input);
  printEscaped("written", written);
  std::abort();
}

// The written text must read back without a single refused line.
std::unique_ptr<IConfig> readBack(std::string const& input, std::string const& written) {
  try {
    std::unique_ptr<IConfig> config = parse(written, true);
    if (!config)
      fail("a written line was refused", input, written);
    return config;
  } catch (settings::Exception const&) {
    fail("the written text could not be read", input, written);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string const input(reinterpret_cast<char const*>(data), size);
  std::unique_ptr<IConfig> first;
  try {
    first = parse(input, false);
  } catch (settings::Exception const& e) {
    if (e.code == SETTINGS_BUFFER_ENCODING_ERROR)
      return 0;
    throw;
  }
  if (!first)
    fail("the lenient reading returned nothing", input, "");

  std::string const written = serialize(*first);
  std::unique_ptr<IConfig> const second = readBack(input, written);
  if (!(*first == *second))
    fail("the text read back holds other entries", input, written);
  if (serialize(*second) != written)
    fail("writing again gives another text", input, written);
  return 0;
}
