// The C interface's fourth table: files read, replaced and locked under the
// ownership rule, each failure with the report of what was seen.
#include <tamo/settings.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "file_replace.h"
#include "filename.h"
#include "handles.h"
#include "lock_handle.h"
#include "status.h"
#include "target_directory.h"

using settings_impl::anyNull;
using settings_impl::translateReported;

namespace {

// The imports' limit: a settings file must end before 1 MiB.
constexpr std::size_t kFileSizeLimit = std::size_t{1} << 20;

// A copy the caller frees with settings_text_free, which is free(): the
// caller's runtime need not match ours.
char* mallocCopy(settings_impl::WholeText const& text) {
  char* copy = static_cast<char*>(std::malloc(text.size + 1));
  if (copy == nullptr)
    throw std::bad_alloc();
  if (text.size != 0)
    std::memcpy(copy, text.data.get(), text.size);
  copy[text.size] = '\0';
  return copy;
}

// A refused call writes its report too, as every call of the table does.
int invalidArgument(settings_file_report_t* report) {
  if (report != nullptr)
    *report = settings_impl::fileReport(SETTINGS_PATH_NO_REASON);
  return settings_impl::invalidArgument(SETTINGS_SOURCE_POS);
}

}  // namespace

int settings_file_read(char const* fileName, int waitMilliseconds, char** text, size_t* size,
                       settings_file_report_t* report) noexcept {
  if (anyNull(fileName, text, size) || waitMilliseconds < 0)
    return invalidArgument(report);
  return translateReported(SETTINGS_SOURCE_POS, report, [&] {
    std::optional<settings_impl::WholeText> const read =
        settings_impl::readNamedFile(settings_impl::kernelName(fileName),
                                     std::chrono::milliseconds(waitMilliseconds), kFileSizeLimit);
    *text = read ? mallocCopy(*read) : nullptr;
    *size = read ? read->size : 0;
  });
}

void settings_text_free(char* text) noexcept {
  std::free(text);
}

int settings_file_replace(char const* fileName, char const* text, size_t size,
                          settings_file_report_t* report) noexcept {
  if (anyNull(fileName) || (text == nullptr && size != 0))
    return invalidArgument(report);
  return translateReported(SETTINGS_SOURCE_POS, report, [&] {
    std::string_view const contents(size != 0 ? text : "", size);
    settings_impl::replaceFileContents(
        settings_impl::TargetDirectory::resolve(settings_impl::kernelName(fileName),
                                                settings_impl::TargetDirectory::Parents::MustExist),
        contents);
  });
}

int settings_file_lock(char const* fileName, int waitMilliseconds, settings_lock_t** lock,
                       settings_file_report_t* report) noexcept {
  if (anyNull(fileName, lock) || waitMilliseconds < 0)
    return invalidArgument(report);
  return translateReported(SETTINGS_SOURCE_POS, report, [&] {
    *lock = new settings_lock_t(settings_impl::kernelName(fileName),
                                std::chrono::milliseconds(waitMilliseconds));
  });
}

int settings_lock_last_report(settings_lock_t* lock, settings_file_report_t* report) noexcept {
  if (anyNull(lock, report))
    return settings_impl::invalidArgument(SETTINGS_SOURCE_POS);
  *report = lock->lastReport;
  return SETTINGS_NO_ERROR;
}

namespace {

// Filled in slot order, frozen as the other tables are.
constexpr settings_api4_t kApi4 = {
    settings_file_read, settings_text_free,        settings_file_replace,
    settings_file_lock, settings_lock_last_report,
};

constexpr std::size_t kSlotSize = sizeof(void (*)(void));
constexpr std::size_t kSlotCount = 5;
static_assert(sizeof(settings_api4_t) == kSlotCount * kSlotSize, "the fourth table has 5 slots");

#define TAMO_ASSERT_SLOT(field, index) \
  static_assert(offsetof(settings_api4_t, field) == (index)*kSlotSize, #field " moved")

TAMO_ASSERT_SLOT(settings_file_read, 0);
TAMO_ASSERT_SLOT(settings_text_free, 1);
TAMO_ASSERT_SLOT(settings_file_replace, 2);
TAMO_ASSERT_SLOT(settings_file_lock, 3);
TAMO_ASSERT_SLOT(settings_lock_last_report, 4);

#undef TAMO_ASSERT_SLOT

}  // namespace

void settings_api4_get(settings_api4_t* api) noexcept {
  if (api != nullptr)
    *api = kApi4;
}
