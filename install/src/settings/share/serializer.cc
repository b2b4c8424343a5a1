#include "serializer.h"

#include <exception>
#include <ios>
#include <vector>

namespace settings_impl {

namespace {

// A null text is a failure of the stream, not an empty text: the stream
// stops taking text, so the result ends where the failure happened.
void append(std::ostream& stream, char const* text) {
  if (text == nullptr) {
    stream.setstate(std::ios_base::badbit);
    return;
  }
  stream << text;
}

}  // namespace

void PlainTextEntrySerializer::serialize(char const* key, char const* value) {
  append(stream, key);
  append(stream, "=");
  append(stream, value);
  append(stream, "\n");
  stream.flush();
}

void PlainTextEntrySerializer::serialize(char const* key) {
  append(stream, key);
  append(stream, "\n");
  stream.flush();
}

void ConfigSerializer::serialize(IConfig const& config) {
  std::vector<char const*> const keys = config.getKeys();
  for (char const* key : keys) {
    try {
      if (config.hasValue(key)) {
        entrySerializer->serialize(key, config.toUtf8(key).c_str());
      } else {
        entrySerializer->serialize(key);
      }
    } catch (std::exception const&) {
      if (failFast)
        throw;
    }
  }
}

}  // namespace settings_impl
