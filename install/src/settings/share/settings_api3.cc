// The C interface's third table: the writers' lock and the reads and writes
// made under it.
#include <tamo/settings.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "file_lock.h"
#include "filename.h"
#include "handles.h"
#include "lock_handle.h"
#include "status.h"

using settings_impl::anyNull;
using settings_impl::invalidArgument;
using settings_impl::translateExceptions;

int settings_lock_file(char const* fileName, int waitMilliseconds,
                       settings_lock_t** lock) noexcept {
  if (anyNull(fileName, lock) || waitMilliseconds < 0)
    return invalidArgument(SETTINGS_SOURCE_POS);
  return settings_file_lock(fileName, waitMilliseconds, lock, nullptr);
}

int settings_lock_release(settings_lock_t* lock) noexcept {
  if (anyNull(lock))
    return invalidArgument(SETTINGS_SOURCE_POS);
  std::unique_ptr<settings_lock_t> const owned(lock);
  return owned->lock.release(std::nothrow);
}

int settings_locked_file_read(settings_lock_t* lock, char const** text, size_t* size) noexcept {
  if (anyNull(lock, text, size))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return settings_impl::translateReported(SETTINGS_SOURCE_POS, &lock->lastReport, [&] {
    settings_impl::WholeText read;
    bool const exists = settings_impl::readLockedFile(lock->lock, read);
    lock->lastRead = std::move(read);
    *text = exists ? lock->lastRead.data.get() : nullptr;
    *size = exists ? lock->lastRead.size : 0;
    if (exists && *text == nullptr)
      *text = "";
  });
}

int settings_locked_file_replace(settings_lock_t* lock, char const* text, size_t size) noexcept {
  if (anyNull(lock) || (text == nullptr && size != 0))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return settings_impl::translateReported(SETTINGS_SOURCE_POS, &lock->lastReport, [&] {
    lock->lock.replace(std::string_view(size != 0 ? text : "", size));
  });
}

int context_import_from_locked_file(settings_context_t* context, settings_lock_t* lock,
                                    settings_validator_t const* validator,
                                    settings_key_mapper_t const* keyMapper, int failFast,
                                    int allowKeysWithoutValues) noexcept {
  if (anyNull(context, lock))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return settings_impl::translateReported(SETTINGS_SOURCE_POS, &lock->lastReport, [&] {
    context->importFromLockedFile(lock->lock, settings_impl::fromHandle(validator),
                                  settings_impl::fromHandle(keyMapper), failFast != 0,
                                  allowKeysWithoutValues != 0);
  });
}

int context_export_to_locked_file(settings_context_t* context, settings_lock_t* lock) noexcept {
  if (anyNull(context, lock))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return settings_impl::translateReported(SETTINGS_SOURCE_POS, &lock->lastReport,
                                          [&] { context->exportToLockedFile(lock->lock); });
}

namespace {

// Filled in slot order, frozen as the first two tables are.
constexpr settings_api3_t kApi3 = {
    settings_lock_file,           settings_lock_release,           settings_locked_file_read,
    settings_locked_file_replace, context_import_from_locked_file, context_export_to_locked_file,
};

constexpr std::size_t kSlotSize = sizeof(void (*)(void));
constexpr std::size_t kSlotCount = 6;
static_assert(sizeof(settings_api3_t) == kSlotCount * kSlotSize, "the third table has 6 slots");

#define TAMO_ASSERT_SLOT(field, index) \
  static_assert(offsetof(settings_api3_t, field) == (index)*kSlotSize, #field " moved")

TAMO_ASSERT_SLOT(settings_lock_file, 0);
TAMO_ASSERT_SLOT(settings_lock_release, 1);
TAMO_ASSERT_SLOT(settings_locked_file_read, 2);
TAMO_ASSERT_SLOT(settings_locked_file_replace, 3);
TAMO_ASSERT_SLOT(context_import_from_locked_file, 4);
TAMO_ASSERT_SLOT(context_export_to_locked_file, 5);

#undef TAMO_ASSERT_SLOT

}  // namespace

void settings_api3_get(settings_api3_t* api) noexcept {
  if (api != nullptr)
    *api = kApi3;
}
