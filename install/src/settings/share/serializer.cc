#include "serializer.h"

#include <cstring>
#include <exception>
#include <vector>

#include "value.h"

namespace settings_impl {

namespace {

// The bytes the entries take as lines: key, "=" and value, or the key alone,
// and the line end.
std::size_t textSize(ValueMap const& entries) {
  std::size_t size = 0;
  for (auto const& entry : entries) {
    size += entry.first.size() + 1;
    if (entry.second != nullptr)
      size += std::strlen(entry.second->getUtf8()) + 1;
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
  if (ValueMap const* entries = ConfigBuilder::entriesOf(config)) {
    serializeEntries(*entries);
    return;
  }
  serializeKeys(config);
}

// The library's own configurations hand out keys and values together, so no
// key is looked up and no value text is copied.
void ConfigSerializer::serializeEntries(ValueMap const& entries) {
  guarded([&] { entrySerializer->reserve(textSize(entries)); });
  for (auto const& entry : entries) {
    guarded([&] {
      if (entry.second != nullptr) {
        entrySerializer->serialize(entry.first.c_str(), entry.second->getUtf8());
      } else {
        entrySerializer->serialize(entry.first.c_str());
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
