#include "entry_list.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "value.h"

namespace settings_impl {

namespace {

// Kept copies go into blocks that grow with the list, so a small
// configuration stays small and a large copy takes few allocations.
constexpr std::size_t kSmallestBlock = 256;
constexpr std::size_t kLargestBlock = std::size_t{64} << 10;
// Dead texts are given back once they outweigh the live ones by this much.
constexpr std::size_t kToleratedDeadBytes = std::size_t{64} << 10;

// A function object rather than a function pointer, so that the standard
// algorithms inline the comparison.
struct KeyLess {
  bool operator()(ConfigEntry const& a, ConfigEntry const& b) const {
    return std::strcmp(a.key, b.key) < 0;
  }
};
constexpr KeyLess keyLess{};

// Below this many entries a range is finished by insertion.
constexpr std::size_t kInsertionRange = 24;
constexpr std::size_t kByteValues = 256;

unsigned char byteAt(ConfigEntry const& entry, std::size_t depth) {
  return static_cast<unsigned char>(entry.key[depth]);
}

// Stable insertion of entries whose keys agree before depth.
void insertionSort(ConfigEntry* first, ConfigEntry* last, std::size_t depth) {
  for (ConfigEntry* next = first + 1; next < last; ++next) {
    ConfigEntry const moving = *next;
    ConfigEntry* hole = next;
    while (hole != first && std::strcmp((hole - 1)->key + depth, moving.key + depth) > 0) {
      *hole = *(hole - 1);
      --hole;
    }
    *hole = moving;
  }
}

// How many bytes from depth on every key of the range shares with the first,
// at least 1 (the caller knows they share the byte at depth): one pass for a
// whole shared prefix instead of one per byte, each of which would fetch
// every key from memory again.
std::size_t sharedPrefix(ConfigEntry const* first, ConfigEntry const* last, std::size_t depth) {
  char const* const model = first->key + depth;
  std::size_t shared = std::strlen(model);
  for (ConfigEntry const* entry = first + 1; entry != last && shared > 1; ++entry) {
    char const* const key = entry->key + depth;
    std::size_t same = 0;
    while (same < shared && key[same] == model[same])
      ++same;
    shared = same;
  }
  return std::max<std::size_t>(shared, 1);
}

// A stable most-significant-byte radix sort of entries whose keys agree
// before depth; buffer has room for as many entries. Keys of settings files
// share long prefixes ("SOME_PREFIX_00042"), which a comparison sort would
// compare again in each of its n log n comparisons; here a byte that all
// keys of a range share costs one counting pass. The largest bucket is taken
// by the loop rather than by recursion, so the depth of recursion stays
// below log2 of the entries however the keys look.
// bytes has room for a byte per entry: each key's byte at depth is fetched
// once per pass and kept there for the distribution, since keys lie all over
// a large text and every fetch may miss the caches.
void radixSort(ConfigEntry* first, ConfigEntry* last, ConfigEntry* buffer, unsigned char* bytes,
               std::size_t depth) {
  for (;;) {
    std::size_t const count = static_cast<std::size_t>(last - first);
    if (count < kInsertionRange) {
      insertionSort(first, last, depth);
      return;
    }
    // Only the bytes between the lowest and the highest present are walked:
    // keys mostly differ in a few letters or digits.
    std::size_t counts[kByteValues] = {};
    unsigned lowest = kByteValues - 1;
    unsigned highest = 0;
    for (std::size_t i = 0; i < count; ++i) {
      unsigned const byte = byteAt(first[i], depth);
      bytes[i] = static_cast<unsigned char>(byte);
      ++counts[byte];
      lowest = std::min(lowest, byte);
      highest = std::max(highest, byte);
    }
    if (lowest == highest) {
      // Keys that all end here are equal and already in the order they came.
      if (lowest == 0)
        return;
      depth += sharedPrefix(first, last, depth);
      continue;
    }
    std::size_t starts[kByteValues + 1];
    std::size_t next[kByteValues];
    std::size_t start = 0;
    for (unsigned byte = lowest; byte <= highest; ++byte) {
      starts[byte] = next[byte] = start;
      start += counts[byte];
    }
    starts[highest + 1] = start;
    for (std::size_t i = 0; i < count; ++i)
      buffer[next[bytes[i]]++] = first[i];
    std::memcpy(first, buffer, count * sizeof *first);
    // Bucket 0 holds keys that end here: all equal, nothing to order.
    unsigned const firstByte = std::max(lowest, 1u);
    unsigned largest = firstByte;
    for (unsigned byte = firstByte; byte <= highest; ++byte) {
      if (counts[byte] > counts[largest])
        largest = byte;
    }
    for (unsigned byte = firstByte; byte <= highest; ++byte) {
      if (byte != largest && counts[byte] > 1) {
        radixSort(first + starts[byte], first + starts[byte] + counts[byte], buffer,
                  bytes + starts[byte], depth + 1);
      }
    }
    bytes += starts[largest];
    last = first + starts[largest] + counts[largest];
    first = first + starts[largest];
    ++depth;
  }
}

bool sameKey(ConfigEntry const& a, ConfigEntry const& b) {
  return std::strcmp(a.key, b.key) == 0;
}

// The first entry that is not above the one before it.
std::vector<ConfigEntry>::iterator endOfAscent(std::vector<ConfigEntry>& entries) {
  auto const last = entries.end();
  if (entries.empty())
    return last;
  for (auto it = entries.begin() + 1; it != last; ++it) {
    if (!keyLess(*(it - 1), *it))
      return it;
  }
  return last;
}

char* copyText(char* to, char const* text) {
  std::size_t const size = std::strlen(text) + 1;
  std::memcpy(to, text, size);
  return to + size;
}

}  // namespace

EntryList::~EntryList() {
  deleteValues();
}

char* EntryList::adopt(std::unique_ptr<char[]> text, std::size_t size) {
  blocks.push_back(std::move(text));
  blockBytes += size + 1;
  char* const adopted = blocks.back().get();
  adoptedFirst = adopted;
  adoptedLast = adopted + size;
  return adopted;
}

bool EntryList::isAdopted(char const* text) const {
  std::less_equal<char const*> const notAfter;
  return adoptedFirst != nullptr && notAfter(adoptedFirst, text) && notAfter(text, adoptedLast);
}

char const* EntryList::keep(char const* text, std::size_t size) {
  if (spareSize < size + 1) {
    std::size_t const grown = std::min(std::max(blockBytes, kSmallestBlock), kLargestBlock);
    std::size_t const blockSize = std::max(grown, size + 1);
    spare = reserveBlock(blockSize);
    spareSize = blockSize;
  }
  char* const copy = spare;
  std::memcpy(copy, text, size);
  copy[size] = '\0';
  spare += size + 1;
  spareSize -= size + 1;
  return copy;
}

char const* EntryList::keep(char const* text) {
  return keep(text, std::strlen(text));
}

char* EntryList::reserveBlock(std::size_t size) {
  std::unique_ptr<char[]> block(new char[size]);
  blocks.push_back(std::move(block));
  blockBytes += size;
  return blocks.back().get();
}

void EntryList::add(char const* key, char const* text, std::unique_ptr<ConfigValue> value) {
  entries.push_back(ConfigEntry{key, text, value.get()});
  value.release();
}

// Files our export writes are already in order and pass with the one check;
// a list that took in a second ordered list is two runs and is merged. Only
// other input is sorted. The sorts are stable, so of equal keys the one added
// last comes last, and the standard algorithms fall back to working in place
// when no buffer can be had, so none of this fails.
void EntryList::order() noexcept {
  auto const descent = endOfAscent(entries);
  if (descent == entries.end())
    return;
  if (std::is_sorted(descent, entries.end(), keyLess)) {
    std::inplace_merge(entries.begin(), descent, entries.end(), keyLess);
  } else {
    sortStably();
  }
  dropRepeatedKeys();
}

void EntryList::sortStably() noexcept {
  std::unique_ptr<ConfigEntry[]> buffer(new (std::nothrow) ConfigEntry[entries.size()]);
  std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[entries.size()]);
  if (!buffer || !bytes) {
    std::stable_sort(entries.begin(), entries.end(), keyLess);
    return;
  }
  radixSort(entries.data(), entries.data() + entries.size(), buffer.get(), bytes.get(), 0);
}

void EntryList::dropRepeatedKeys() noexcept {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && sameKey(entries[i], entries[i + 1])) {
      delete entries[i].value;
      continue;
    }
    entries[kept++] = entries[i];
  }
  entries.resize(kept);
}

ConfigEntry const* EntryList::find(char const* key) const {
  auto const it = std::lower_bound(entries.begin(), entries.end(), key,
                                   [](ConfigEntry const& entry, char const* wanted) {
                                     return std::strcmp(entry.key, wanted) < 0;
                                   });
  if (it == entries.end() || std::strcmp(it->key, key) != 0)
    return nullptr;
  return &*it;
}

void EntryList::erase(std::vector<char const*> const& keys) {
  std::vector<bool> erased(entries.size(), false);
  for (char const* key : keys) {
    if (ConfigEntry const* entry = find(key))
      erased[static_cast<std::size_t>(entry - entries.data())] = true;
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (erased[i]) {
      delete entries[i].value;
      continue;
    }
    entries[kept++] = entries[i];
  }
  entries.resize(kept);
}

bool EntryList::eraseOne(char const* key) noexcept {
  ConfigEntry const* const found = find(key);
  if (found == nullptr)
    return false;
  auto const at = entries.begin() + (found - entries.data());
  delete at->value;
  entries.erase(at);
  return true;
}

void EntryList::swap(EntryList& other) noexcept {
  entries.swap(other.entries);
  blocks.swap(other.blocks);
  std::swap(blockBytes, other.blockBytes);
  std::swap(spare, other.spare);
  std::swap(spareSize, other.spareSize);
  std::swap(adoptedFirst, other.adoptedFirst);
  std::swap(adoptedLast, other.adoptedLast);
}

bool EntryList::takeEntries(EntryList& source) noexcept {
  if (entries.empty()) {
    swap(source);
    source.deleteValues();
    return true;
  }
  try {
    entries.reserve(entries.size() + source.entries.size());
    blocks.reserve(blocks.size() + source.blocks.size());
  } catch (std::bad_alloc const&) {
    return false;
  }
  std::size_t const middle = entries.size();
  entries.insert(entries.end(), source.entries.begin(), source.entries.end());
  for (auto& block : source.blocks)
    blocks.push_back(std::move(block));
  blockBytes += source.blockBytes;
  EntryList emptied;
  source.entries.clear();
  source.blocks.clear();
  source.swap(emptied);
  std::inplace_merge(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(middle),
                     entries.end(), keyLess);
  dropRepeatedKeys();
  compactWhenMostlyDead();
  return true;
}

// Repeated imports into one context would otherwise keep every text they
// ever read; copying the live texts once they are outweighed bounds the
// blocks to about twice what the entries use.
void EntryList::compactWhenMostlyDead() noexcept {
  std::size_t const live = liveTextSize();
  if (blockBytes <= 2 * live + kToleratedDeadBytes)
    return;
  std::unique_ptr<char[]> block(new (std::nothrow) char[live]);
  if (!block)
    return;
  char* to = block.get();
  for (ConfigEntry& entry : entries) {
    char const* const key = to;
    to = copyText(to, entry.key);
    entry.key = key;
    if (entry.text != nullptr) {
      char const* const text = to;
      to = copyText(to, entry.text);
      entry.text = text;
    }
  }
  blocks.clear();
  blocks.push_back(std::move(block));  // the capacity is still there
  blockBytes = live;
  spare = nullptr;
  spareSize = 0;
  adoptedFirst = adoptedLast = nullptr;
}

std::size_t EntryList::liveTextSize() const noexcept {
  std::size_t size = 0;
  for (ConfigEntry const& entry : entries) {
    size += std::strlen(entry.key) + 1;
    if (entry.text != nullptr)
      size += std::strlen(entry.text) + 1;
  }
  return size;
}

void EntryList::deleteValues() noexcept {
  std::vector<ConfigEntry> taken;
  taken.swap(entries);
  for (ConfigEntry const& entry : taken)
    delete entry.value;
}

}  // namespace settings_impl
