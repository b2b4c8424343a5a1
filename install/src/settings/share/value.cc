#include "value.h"

#include <cstddef>

namespace settings_impl {

namespace {

// Lead-byte masks; the index of the first that matches is the sequence
// length minus one. A byte b matches mask m when (b & m) == ((m << 1) & 0xFF).
constexpr unsigned char kLeadMasks[] = {0x80, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};

// The length a lead byte announces, or 0 for a byte that cannot begin one.
std::ptrdiff_t sequenceLength(unsigned char byte) {
  for (std::size_t i = 0; i < sizeof kLeadMasks; ++i) {
    unsigned const mask = kLeadMasks[i];
    if ((byte & mask) == ((mask << 1) & 0xFFu)) return static_cast<std::ptrdiff_t>(i) + 1;
  }
  return 0;
}

}  // namespace

// A sequence cut off by last counts as invalid: the text ends inside a
// character, and accepting it would let a later concatenation change what the
// bytes mean. Its lead byte is reported.
char const* validateUtf8Sequence(char const* first, char const* last) {
  char const* position = first;
  while (position != last) {
    std::ptrdiff_t const length = sequenceLength(static_cast<unsigned char>(*position));
    if (length == 0 || length > last - position) return position;
    position += length;
  }
  return last;
}

}  // namespace settings_impl
