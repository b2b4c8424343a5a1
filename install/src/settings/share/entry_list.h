// The store behind a configuration: every key with its value in one vector,
// the texts in a few large blocks.
#ifndef TAMO_SETTINGS_SHARE_ENTRY_LIST_H
#define TAMO_SETTINGS_SHARE_ENTRY_LIST_H

#include <cstddef>
#include <memory>
#include <vector>

namespace settings_impl {

class ConfigValue;

// One key and its value. An untyped text, the common case, is only a text
// (text set, value null); a typed value, or whatever a validator made, is an
// owned ConfigValue (value set, text null); a key without a value has neither.
struct ConfigEntry {
  char const* key;
  char const* text;
  ConfigValue* value;

  bool hasValue() const { return text != nullptr || value != nullptr; }
};

// Entries collected in any order, then put in key order once by order().
//
// A configuration is read far more often than it is changed, and a settings
// file is read whole into memory anyway, so the store keeps that text as its
// own: keys and untyped values are NUL-terminated views into it (or into a
// block of copies), and the entries sit in one vector found by binary search.
// That costs a handful of allocations per configuration instead of a node, a
// key string and a value per entry. Texts stay where they are until the list
// is destroyed or takes in another list (takeEntries may compact them).
class EntryList {
 public:
  EntryList() = default;
  ~EntryList();
  EntryList(EntryList const&) = delete;
  EntryList& operator=(EntryList const&) = delete;

  bool empty() const { return entries.empty(); }
  void reserve(std::size_t count) { entries.reserve(count); }
  std::size_t size() const { return entries.size(); }
  ConfigEntry const* begin() const { return entries.data(); }
  ConfigEntry const* end() const { return entries.data() + entries.size(); }

  // Takes text (size bytes and a NUL after them) as one of the list's blocks
  // and returns it, now owned here, for the caller to cut keys from in place.
  char* adopt(std::unique_ptr<char[]> text, std::size_t size);
  // Whether text lies in the block adopted last, so that it stays put.
  bool isAdopted(char const* text) const;
  // A NUL-terminated copy of size bytes of text, owned by the list.
  char const* keep(char const* text, std::size_t size);
  char const* keep(char const* text);

  // Appends an entry in collection order. key and text must be owned by the
  // list (adopted or kept); value is taken over even when this throws.
  void add(char const* key, char const* text, std::unique_ptr<ConfigValue> value);

  // Key order, unique keys: of repeated keys the one added last wins, and an
  // entry without a value replaces an earlier value. Ascending input costs
  // one comparison per entry and two ascending runs one linear merge.
  void order() noexcept;
  // The entry of key in an ordered list, or null.
  ConfigEntry const* find(char const* key) const;
  // Removes the entries of the given keys from an ordered list.
  void erase(std::vector<char const*> const& keys);
  // Removes the entry of key from an ordered list, in place; its texts stay
  // in their block until the list is destroyed or compacted. False, and
  // nothing changed, when the list holds no such key.
  bool eraseOne(char const* key) noexcept;

  void swap(EntryList& other) noexcept;
  // Moves every entry and block of the ordered source into this ordered list,
  // source's entry winning for a key both hold; source is left empty. False,
  // and nothing changed, when memory for the merge cannot be had.
  bool takeEntries(EntryList& source) noexcept;

 private:
  void deleteValues() noexcept;
  void sortStably() noexcept;
  void dropRepeatedKeys() noexcept;
  void compactWhenMostlyDead() noexcept;
  std::size_t liveTextSize() const noexcept;
  char* reserveBlock(std::size_t size);

  std::vector<ConfigEntry> entries;
  std::vector<std::unique_ptr<char[]>> blocks;
  std::size_t blockBytes = 0;
  // Where kept copies go next, and how much room is left there.
  char* spare = nullptr;
  std::size_t spareSize = 0;
  char const* adoptedFirst = nullptr;
  char const* adoptedLast = nullptr;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_ENTRY_LIST_H
