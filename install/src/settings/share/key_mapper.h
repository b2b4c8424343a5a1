// Key renaming while text is read: described on a mutable builder,
// snapshotted into an immutable key mapper that a parse borrows.
#ifndef TAMO_SETTINGS_SHARE_KEY_MAPPER_H
#define TAMO_SETTINGS_SHARE_KEY_MAPPER_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace settings_impl {

// One mapping.
class IKeyMapper {
 public:
  virtual ~IKeyMapper() = default;
  // The resulting key and whether this mapping matched; the key unchanged
  // when it did not.
  virtual std::pair<std::string, bool> map(std::string const& key) const = 0;
};

class KeyMapper {
 public:
  // Takes over the mappers, which is left empty.
  explicit KeyMapper(std::vector<IKeyMapper*>& mappers);
  ~KeyMapper();
  KeyMapper(KeyMapper const&) = delete;
  KeyMapper& operator=(KeyMapper const&) = delete;

  // The mapping added last is tried first; at most one applies.
  std::string map(std::string const& key) const;

 private:
  std::vector<IKeyMapper*> mappers;
};

class KeyMapperBuilder {
 public:
  // A recipe for one mapping.
  class IKeyMapperFactory {
   public:
    virtual ~IKeyMapperFactory() = default;
    virtual std::unique_ptr<IKeyMapper> create() const = 0;
  };

  KeyMapperBuilder() = default;
  ~KeyMapperBuilder();
  KeyMapperBuilder(KeyMapperBuilder const&) = delete;
  KeyMapperBuilder& operator=(KeyMapperBuilder const&) = delete;

  // Without caseSensitive, from also matches in any ASCII letter case. A later
  // mapping of the same key takes precedence. Null texts raise
  // std::invalid_argument.
  void map(char const* from, char const* to, bool caseSensitive);
  // A snapshot; the builder is unchanged and may create more.
  std::unique_ptr<KeyMapper> create() const;

 private:
  std::vector<IKeyMapperFactory*> factories;
};

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_KEY_MAPPER_H
