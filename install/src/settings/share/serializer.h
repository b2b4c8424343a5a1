// Writing a configuration as "key=value" lines in key order.
#ifndef TAMO_SETTINGS_SHARE_SERIALIZER_H
#define TAMO_SETTINGS_SHARE_SERIALIZER_H

#include <sstream>
#include <string>

#include "config.h"

namespace settings_impl {

class IConfigEntrySerializer {
 public:
  virtual ~IConfigEntrySerializer() = default;
  virtual void serialize(char const* key, char const* value) = 0;
  virtual void serialize(char const* key) = 0;
};

// Collects the text in memory. A null key or value stops the text there.
class PlainTextEntrySerializer : public IConfigEntrySerializer {
 public:
  void serialize(char const* key, char const* value) override;
  void serialize(char const* key) override;

  std::string getText() const { return stream.str(); }

  std::ostringstream stream;
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
  bool failFast;
  IConfigEntrySerializer* entrySerializer;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_SERIALIZER_H
