#include "serializer.h"

#include <cstring>
#include <exception>
#include <vector>

#include "value.h"

namespace settings_impl {

namespace {

// The entry's text, or null for a key without a value.
char const* valueText(ConfigEntry const& entry) {
  return entry.value != nullptr ? entry.value->getUtf8() : entry.text;
}

// The bytes the entries take as lines: key, "=" and value, or the key alone,
// and the line end.
std::size_t textSize(EntryList const& entries) {
  std::size_t size = 0;
  for (ConfigEntry const& entry : entries) {
    size += std::strlen(entry.key) + 1;
    if (char const* text = valueText(entry))
      size += std::strlen(text) + 1;
  }
  return size;
}

}  // namespace

// A null text is a failure of the writer, not an empty text: the writer stops
// taking text, so the result ends where the failure happened.
void PlainTextEntrySerializer::append(char const* piece) {
  if (piece == nullptr)
    stopped = true;
  if (!stopped)
    text.append(piece);
}

void PlainTextEntrySerializer::append(char piece) {
  if (!stopped)
    text.push_back(piece);
}

void PlainTextEntrySerializer::serialize(char const* key, char const* value) {
  append(key);
  append('=');
  append(value);
  append('\n');
}

void PlainTextEntrySerializer::serialize(char const* key) {
  append(key);
  append('\n');
}

void PlainTextEntrySerializer::reserve(std::size_t size) {
  text.reserve(text.size() + size);
}

template <typename Body>
void ConfigSerializer::guarded(Body body) {
  try {
    body();
  } catch (std::exception const&) {
    if (failFast)
      throw;
  }
}

void ConfigSerializer::serialize(IConfig const& config) {
  if (EntryList const* entries = ConfigBuilder::entriesOf(config)) {
    serializeEntries(*entries);
    return;
  }
  serializeKeys(config);
}

// The library's own configurations hand out keys and values together, so no
// key is looked up and no value text is copied.
void ConfigSerializer::serializeEntries(EntryList const& entries) {
  guarded([&] { entrySerializer->reserve(textSize(entries)); });
  for (ConfigEntry const& entry : entries) {
    guarded([&] {
      if (char const* text = valueText(entry)) {
        entrySerializer->serialize(entry.key, text);
      } else {
        entrySerializer->serialize(entry.key);
      }
    });
  }
}

void ConfigSerializer::serializeKeys(IConfig const& config) {
  std::vector<char const*> const keys = config.getKeys();
  for (char const* key : keys) {
    guarded([&] {
      if (config.hasValue(key)) {
        entrySerializer->serialize(key, config.toUtf8(key).c_str());
      } else {
        entrySerializer->serialize(key);
      }
    });
  }
}

}  // namespace settings_impl
