// The C interface of the validator and key-mapper builders.
#include <tamo/settings.h>

#include <new>
#include <stdexcept>

#include "handles.h"
#include "status.h"

using settings_impl::anyNull;
using settings_impl::IConfig;
using settings_impl::invalidArgument;
using settings_impl::toHandle;
using settings_impl::translateExceptions;

namespace {

int setTypeValidator(settings_validator_builder_t* builder, char const* key,
                     IConfig::Type type) noexcept {
  if (anyNull(builder, key))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { builder->setTypeValidator(key, type); });
}

void addFixedValueRow(settings_validator_builder_t& builder, char const* key,
                      settings_fixed_value_t const& row) {
  // A row without text would have to become a string; it is refused as a
  // failure without a code of its own.
  if (row.text == nullptr)
    throw std::invalid_argument("fixed value without text");
  builder.addFixedValueValidator(key, row.text, row.value, row.flags);
}

}  // namespace

void validator_free(settings_validator_t* validator) noexcept {
  delete settings_impl::fromHandle(validator);
}

settings_validator_builder_t* validator_builder_create(void) noexcept {
  return new (std::nothrow) settings_validator_builder_t();
}

void validator_builder_free(settings_validator_builder_t* builder) noexcept {
  delete builder;
}

int validator_builder_create_validator(settings_validator_builder_t* builder,
                                       settings_validator_t** validator) noexcept {
  if (anyNull(builder, validator))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS,
                             [&] { *validator = toHandle(builder->createValidator()); });
}

int validator_builder_set_utf8_validator(settings_validator_builder_t* builder,
                                         char const* key) noexcept {
  return setTypeValidator(builder, key, IConfig::UTF8);
}

int validator_builder_set_integer_validator(settings_validator_builder_t* builder,
                                            char const* key) noexcept {
  return setTypeValidator(builder, key, IConfig::INTEGER);
}

int validator_builder_set_boolean_validator(settings_validator_builder_t* builder,
                                            char const* key) noexcept {
  return setTypeValidator(builder, key, IConfig::BOOLEAN);
}

int validator_builder_set_double_validator(settings_validator_builder_t* builder,
                                           char const* key) noexcept {
  return setTypeValidator(builder, key, IConfig::DOUBLE);
}

int validator_builder_allow_unknown_keys(settings_validator_builder_t* builder,
                                         int allow) noexcept {
  if (anyNull(builder))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { builder->allowUnknownKeys = allow != 0; });
}

int validator_builder_set_fixed_value_validator(settings_validator_builder_t* builder,
                                                char const* key, settings_fixed_value_t const* rows,
                                                int rowCount) noexcept {
  if (anyNull(builder, key, rows))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    for (int index = 0; index < rowCount; ++index)
      addFixedValueRow(*builder, key, rows[index]);
  });
}

int validator_builder_set_dirname_validator(settings_validator_builder_t* builder, char const* key,
                                            int skipPathCheck) noexcept {
  if (anyNull(builder, key))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS,
                             [&] { builder->setDirnameValidator(key, skipPathCheck != 0); });
}

void key_mapper_free(settings_key_mapper_t* keyMapper) noexcept {
  delete settings_impl::fromHandle(keyMapper);
}

settings_key_mapper_builder_t* key_mapper_builder_create(void) noexcept {
  return new (std::nothrow) settings_key_mapper_builder_t();
}

void key_mapper_builder_free(settings_key_mapper_builder_t* builder) noexcept {
  delete builder;
}

int key_mapper_builder_create_key_mapper(settings_key_mapper_builder_t* builder,
                                         settings_key_mapper_t** keyMapper) noexcept {
  if (anyNull(builder, keyMapper))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS,
                             [&] { *keyMapper = toHandle(builder->create()); });
}

int key_mapper_builder_map(settings_key_mapper_builder_t* builder, char const* from, char const* to,
                           int caseSensitive) noexcept {
  if (anyNull(builder, from, to))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS,
                             [&] { builder->map(from, to, caseSensitive != 0); });
}
