// Writing a configuration as "key=value" lines in key order.
#ifndef TAMO_SETTINGS_SHARE_SERIALIZER_H
#define TAMO_SETTINGS_SHARE_SERIALIZER_H

#include <cstddef>
#include <string>

#include "config.h"

namespace settings_impl {

class IConfigEntrySerializer {
 public:
  virtual ~IConfigEntrySerializer() = default;
  virtual void serialize(char const* key, char const* value) = 0;
  virtual void serialize(char const* key) = 0;
  // A hint that about size more bytes of text will follow; writers that keep
  // the text may make room for them at once.
  virtual void reserve(std::size_t /*size*/) {}
};

// Collects the text in memory. A null key or value stops the text there,
// silently: nothing is written from then on.
class PlainTextEntrySerializer : public IConfigEntrySerializer {
 public:
  void serialize(char const* key, char const* value) override;
  void serialize(char const* key) override;
  void reserve(std::size_t size) override;

  std::string getText() const { return text; }
  // The text without a copy; the writer is left empty.
  std::string takeText() {
    std::string taken;
    taken.swap(text);
    return taken;
  }
  // Whether a null key or value has stopped the text.
  bool isStopped() const { return stopped; }

 private:
  void append(char const* piece);
  void append(char piece);

  std::string text;
  bool stopped = false;
};

class ConfigSerializer {
 public:
  // entrySerializer is borrowed.
  ConfigSerializer(bool failFast, IConfigEntrySerializer* entrySerializer)
      : failFast(failFast), entrySerializer(entrySerializer) {}

  // With failFast a failing entry's exception passes on; without it the
  // entry is skipped.
  void serialize(IConfig const& config);

 private:
  void serializeEntries(EntryList const& entries);
  void serializeKeys(IConfig const& config);
  template <typename Body>
  void guarded(Body body);

  bool failFast;
  IConfigEntrySerializer* entrySerializer;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_SERIALIZER_H
