#include "key_mapper.h"

#include <stdexcept>

#include "value.h"

namespace settings_impl {

namespace {

class SimpleKeyMapper : public IKeyMapper {
 public:
  SimpleKeyMapper(std::string from, std::string to, bool caseSensitive)
      : from(std::move(from)), to(std::move(to)), caseSensitive(caseSensitive) {}

  std::pair<std::string, bool> map(std::string const& key) const override {
    if (key == from)
      return {to, true};
    if (!caseSensitive && equalsIgnoringAsciiCase(key, from))
      return {to, true};
    return {key, false};
  }

 private:
  std::string from;
  std::string to;
  bool caseSensitive;
};

template <typename Mapper>
class KeyMapperFactory : public KeyMapperBuilder::IKeyMapperFactory {
 public:
  KeyMapperFactory(std::string from, std::string to, bool caseSensitive)
      : from(std::move(from)), to(std::move(to)), caseSensitive(caseSensitive) {}

  std::unique_ptr<IKeyMapper> create() const override {
    return std::make_unique<Mapper>(from, to, caseSensitive);
  }

 private:
  std::string from;
  std::string to;
  bool caseSensitive;
};

// Deletes the mappers of a list that has not been handed over yet.
class MapperListGuard {
 public:
  explicit MapperListGuard(std::vector<IKeyMapper*>& mappers) : mappers(mappers) {}
  ~MapperListGuard() {
    for (IKeyMapper* mapper : mappers)
      delete mapper;
  }
  MapperListGuard(MapperListGuard const&) = delete;
  MapperListGuard& operator=(MapperListGuard const&) = delete;

 private:
  std::vector<IKeyMapper*>& mappers;
};

}  // namespace

KeyMapper::KeyMapper(std::vector<IKeyMapper*>& mappers) {
  this->mappers.swap(mappers);
}

KeyMapper::~KeyMapper() {
  for (IKeyMapper* mapper : mappers)
    delete mapper;
}

std::string KeyMapper::map(std::string const& key) const {
  std::string current = key;
  for (auto mapper = mappers.rbegin(); mapper != mappers.rend(); ++mapper) {
    auto result = (*mapper)->map(current);
    current = std::move(result.first);
    if (result.second)
      break;
  }
  return current;
}

KeyMapperBuilder::~KeyMapperBuilder() {
  for (IKeyMapperFactory* factory : factories)
    delete factory;
}

void KeyMapperBuilder::map(char const* from, char const* to, bool caseSensitive) {
  if (from == nullptr || to == nullptr)
    throw std::invalid_argument("null key");
  auto factory = std::make_unique<KeyMapperFactory<SimpleKeyMapper>>(from, to, caseSensitive);
  factories.push_back(factory.get());
  factory.release();
}

std::unique_ptr<KeyMapper> KeyMapperBuilder::create() const {
  std::vector<IKeyMapper*> mappers;
  MapperListGuard guard(mappers);
  mappers.reserve(factories.size());
  for (IKeyMapperFactory const* factory : factories)
    mappers.push_back(factory->create().release());
  return std::make_unique<KeyMapper>(mappers);
}

}  // namespace settings_impl
