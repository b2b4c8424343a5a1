// Shared vocabulary of the tests that use the library through its C table:
// owners for the handles and short forms of the common calls.
#ifndef TAMO_TESTS_API_TEST_SUPPORT_H
#define TAMO_TESTS_API_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <tamo/settings.h>

#include <memory>
#include <string>
#include <vector>

namespace tamo_test {

inline settings_api_t const& api() {
  static settings_api_t const table = [] {
    settings_api_t filled{};
    settings_api_get(&filled);
    return filled;
  }();
  return table;
}

struct HandleFree {
  void operator()(settings_context_t* handle) const noexcept { api().context_free(handle); }
  void operator()(settings_validator_t* handle) const noexcept { api().validator_free(handle); }
  void operator()(settings_validator_builder_t* handle) const noexcept {
    api().validator_builder_free(handle);
  }
  void operator()(settings_key_mapper_t* handle) const noexcept { api().key_mapper_free(handle); }
  void operator()(settings_key_mapper_builder_t* handle) const noexcept {
    api().key_mapper_builder_free(handle);
  }
};

using Context = std::unique_ptr<settings_context_t, HandleFree>;
using Validator = std::unique_ptr<settings_validator_t, HandleFree>;
using ValidatorBuilder = std::unique_ptr<settings_validator_builder_t, HandleFree>;
using KeyMapper = std::unique_ptr<settings_key_mapper_t, HandleFree>;
using KeyMapperBuilder = std::unique_ptr<settings_key_mapper_builder_t, HandleFree>;

inline Context newContext() {
  return Context(api().context_create());
}

struct ImportOptions {
  settings_validator_t const* validator = nullptr;
  settings_key_mapper_t const* keyMapper = nullptr;
  bool failFast = true;
  bool allowKeysWithoutValues = false;
};

inline int importText(settings_context_t* context, char const* text,
                      ImportOptions const& options = {}) {
  return api().context_import_from_string(context, text, options.validator, options.keyMapper,
                                          options.failFast, options.allowKeysWithoutValues);
}

inline int importFile(settings_context_t* context, std::string const& path,
                      ImportOptions const& options = {}) {
  return api().context_import_from_file(context, path.c_str(), options.validator, options.keyMapper,
                                        options.failFast, options.allowKeysWithoutValues);
}

// A context holding what text imports to, keys without values allowed.
inline Context contextWith(char const* text) {
  Context context = newContext();
  ImportOptions options;
  options.allowKeysWithoutValues = true;
  EXPECT_EQ(importText(context.get(), text, options), SETTINGS_NO_ERROR) << text;
  return context;
}

// The keys in iteration order.
inline std::vector<std::string> keysOf(settings_context_t* context) {
  std::vector<std::string> keys;
  api().context_iterate_keys(
      context,
      [](settings_context_t*, int, int, char const* key, void* userData) {
        static_cast<std::vector<std::string>*>(userData)->push_back(key);
      },
      &keys);
  return keys;
}

// The value's text, or "<status N>" when it cannot be read.
inline std::string textOf(settings_context_t* context, char const* key) {
  char const* value = nullptr;
  int const status = api().context_get_utf8_value(context, key, &value);
  if (status != SETTINGS_NO_ERROR)
    return "<status " + std::to_string(status) + ">";
  return value;
}

// The refused lines of the last import.
inline std::vector<int> errorLinesOf(settings_context_t* context) {
  settings_error_desc_t const* errors = nullptr;
  int count = 0;
  std::vector<int> lines;
  if (api().context_get_last_import_errors(context, &errors, &count) != SETTINGS_NO_ERROR) {
    return {-1};
  }
  for (int index = 0; index < count; ++index)
    lines.push_back(errors[index].line);
  return lines;
}

}  // namespace tamo_test

#endif  // TAMO_TESTS_API_TEST_SUPPORT_H
