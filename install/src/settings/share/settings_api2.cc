// The C interface's second table: the functions added after the first table
// was frozen, and the table itself.
#include <tamo/settings.h>

#include <cstddef>
#include <string>

#include "file_replace.h"
#include "filename.h"
#include "handles.h"
#include "status.h"

using settings_impl::anyNull;
using settings_impl::fromHandle;
using settings_impl::invalidArgument;
using settings_impl::translateExceptions;

int context_get_last_import_refused_lines(settings_context_t* context,
                                          settings_refused_line_t const** lines,
                                          int* count) noexcept {
  if (anyNull(context, lines, count))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    auto const& records = context->getImportRecord().getRefused();
    *lines = records.empty() ? nullptr : records.data();
    *count = static_cast<int>(records.size());
  });
}

int context_set_stderr_reports(settings_context_t* context, int enabled) noexcept {
  if (anyNull(context))
    return invalidArgument(SETTINGS_SOURCE_POS);
  context->setStderrReports(enabled != 0);
  return SETTINGS_NO_ERROR;
}

int context_export_to_string(settings_context_t* context, char const** text) noexcept {
  if (anyNull(context, text))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS,
                             [&] { *text = context->exportToString().c_str(); });
}

int context_get_key_line(settings_context_t* context, char const* key, int* line) noexcept {
  if (anyNull(context, key, line))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    int found = 0;
    if (!context->getImportRecord().findKeyLine(key, found))
      throw settings_impl::KeyNotFoundError();
    *line = found;
  });
}

int settings_replace_file_contents(char const* fileName, char const* text, size_t size) noexcept {
  // The name is the kernel's, as for any program: '/' alone separates and
  // ".." is the parent of what the name reached, link or not.
  return settings_file_replace(fileName, text, size, nullptr);
}

int context_import_from_buffer(settings_context_t* context, char const* text, size_t size,
                               settings_validator_t const* validator,
                               settings_key_mapper_t const* keyMapper, int failFast,
                               int allowKeysWithoutValues) noexcept {
  if (anyNull(context) || (text == nullptr && size != 0))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    context->importFromBuffer(size != 0 ? text : "", size, fromHandle(validator),
                              fromHandle(keyMapper), failFast != 0, allowKeysWithoutValues != 0);
  });
}

int context_get_key_lines(settings_context_t* context, settings_key_line_t const** lines,
                          int* count) noexcept {
  if (anyNull(context, lines, count))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    auto const& found = context->getImportRecord().getKeyLines();
    *lines = found.empty() ? nullptr : found.data();
    *count = static_cast<int>(found.size());
  });
}

namespace {

// Filled in slot order, frozen as the first table is.
constexpr settings_api2_t kApi2 = {
    context_get_last_import_refused_lines,
    context_set_stderr_reports,
    context_export_to_string,
    context_get_key_line,
    settings_replace_file_contents,
    context_import_from_buffer,
    context_get_key_lines,
};

constexpr std::size_t kSlotSize = sizeof(void (*)(void));
constexpr std::size_t kSlotCount = 7;
static_assert(sizeof(settings_api2_t) == kSlotCount * kSlotSize, "the second table has 7 slots");

#define TAMO_ASSERT_SLOT(field, index) \
  static_assert(offsetof(settings_api2_t, field) == (index)*kSlotSize, #field " moved")

TAMO_ASSERT_SLOT(context_get_last_import_refused_lines, 0);
TAMO_ASSERT_SLOT(context_set_stderr_reports, 1);
TAMO_ASSERT_SLOT(context_export_to_string, 2);
TAMO_ASSERT_SLOT(context_get_key_line, 3);
TAMO_ASSERT_SLOT(settings_replace_file_contents, 4);
TAMO_ASSERT_SLOT(context_import_from_buffer, 5);
TAMO_ASSERT_SLOT(context_get_key_lines, 6);

#undef TAMO_ASSERT_SLOT

}  // namespace

void settings_api2_get(settings_api2_t* api) noexcept {
  if (api != nullptr)
    *api = kApi2;
}
