// The C interface's fifth table: layered settings, each value with its origin.
#include <tamo/settings.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "handles.h"
#include "layout.h"
#include "lock_handle.h"
#include "status.h"

// The library allocates layouts itself, so the handle is the object.
struct settings_layout_t : settings_impl::Layout {
  using Layout::Layout;
};

using settings_impl::anyNull;
using settings_impl::invalidArgument;
using settings_impl::translateExceptions;

namespace {

template <typename T>
void put(T* out, T value) {
  if (out != nullptr)
    *out = value;
}

// The file of index, or null out of range.
settings_impl::LayoutFile const* fileAt(settings_layout_t const* layout, int index) {
  std::vector<settings_impl::LayoutFile> const& files = layout->files();
  if (index < 0 || static_cast<std::size_t>(index) >= files.size())
    return nullptr;
  return &files[index];
}

}  // namespace

int settings_layout_create(char const* mainName, settings_layout_t** layout) noexcept {
  if (anyNull(mainName, layout))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS,
                             [&] { *layout = new settings_layout_t(mainName); });
}

void settings_layout_free(settings_layout_t* layout) noexcept {
  delete layout;
}

int settings_layout_add_hierarchy(settings_layout_t* layout, char const* folder) noexcept {
  if (anyNull(layout, folder))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { layout->addHierarchy(folder); });
}

int settings_layout_add_default_hierarchies(settings_layout_t* layout,
                                            char const* project) noexcept {
  if (anyNull(layout, project))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { layout->addDefaultHierarchies(project); });
}

int settings_layout_set_suffix(settings_layout_t* layout, char const* suffix) noexcept {
  if (anyNull(layout, suffix))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { layout->setSuffix(suffix); });
}

int settings_layout_set_root(settings_layout_t* layout, char const* root) noexcept {
  if (anyNull(layout, root))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] { layout->setRoot(root); });
}

int context_import_layout(settings_context_t* context, settings_layout_t* layout,
                          settings_validator_t const* validator,
                          settings_key_mapper_t const* keyMapper, int failFast,
                          int allowKeysWithoutValues) noexcept {
  if (anyNull(context, layout))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    layout->importInto(*context, settings_impl::fromHandle(validator),
                       settings_impl::fromHandle(keyMapper), failFast != 0,
                       allowKeysWithoutValues != 0);
  });
}

int settings_layout_file_count(settings_layout_t* layout, int* count) noexcept {
  if (anyNull(layout, count))
    return invalidArgument(SETTINGS_SOURCE_POS);
  *count = static_cast<int>(layout->files().size());
  return SETTINGS_NO_ERROR;
}

int settings_layout_file(settings_layout_t* layout, int index, char const** path, int* hierarchy,
                         int* fate, int* by) noexcept {
  if (anyNull(layout))
    return invalidArgument(SETTINGS_SOURCE_POS);
  settings_impl::LayoutFile const* file = fileAt(layout, index);
  if (file == nullptr)
    return SETTINGS_KEY_NOT_FOUND_ERROR;
  put(path, file->path.c_str());
  put(hierarchy, file->hierarchy);
  put(fate, file->fate);
  put(by, file->by);
  return SETTINGS_NO_ERROR;
}

int settings_layout_file_report(settings_layout_t* layout, int index,
                                settings_file_report_t* report) noexcept {
  if (anyNull(layout, report))
    return invalidArgument(SETTINGS_SOURCE_POS);
  settings_impl::LayoutFile const* file = fileAt(layout, index);
  if (file == nullptr)
    return SETTINGS_KEY_NOT_FOUND_ERROR;
  *report = file->report;
  return SETTINGS_NO_ERROR;
}

int settings_layout_refused_lines(settings_layout_t* layout, int index,
                                  settings_refused_line_t const** lines, int* count) noexcept {
  if (anyNull(layout, lines, count))
    return invalidArgument(SETTINGS_SOURCE_POS);
  settings_impl::LayoutFile const* file = fileAt(layout, index);
  if (file == nullptr)
    return SETTINGS_KEY_NOT_FOUND_ERROR;
  bool const applied = file->fate == SETTINGS_LAYOUT_APPLIED && file->parsed;
  auto const* refused = applied ? &file->parsed->getImportRecord().getRefused() : nullptr;
  *lines = refused != nullptr && !refused->empty() ? refused->data() : nullptr;
  *count = refused != nullptr ? static_cast<int>(refused->size()) : 0;
  return SETTINGS_NO_ERROR;
}

int settings_layout_key_origin_count(settings_layout_t* layout, char const* key,
                                     int* count) noexcept {
  if (anyNull(layout, key, count))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    std::vector<settings_impl::Assignment> const* chain = layout->origins(key);
    if (chain == nullptr)
      throw settings_impl::KeyNotFoundError();
    *count = static_cast<int>(chain->size());
  });
}

int settings_layout_key_origin(settings_layout_t* layout, char const* key, int index, int* file,
                               int* line, int* why, int* by, char const** value) noexcept {
  if (anyNull(layout, key))
    return invalidArgument(SETTINGS_SOURCE_POS);
  return translateExceptions(SETTINGS_SOURCE_POS, [&] {
    std::vector<settings_impl::Assignment> const* chain = layout->origins(key);
    if (chain == nullptr || index < 0 || static_cast<std::size_t>(index) >= chain->size())
      throw settings_impl::KeyNotFoundError();
    settings_impl::Assignment const& assignment = (*chain)[index];
    put(file, assignment.file);
    put(line, assignment.line);
    put(why, assignment.why);
    put(by, assignment.by);
    if (value != nullptr)
      *value = layout->valueAt(assignment);
  });
}

int settings_layout_dropin_path(settings_layout_t* layout, char const* name, int create,
                                char const** path, settings_file_report_t* report) noexcept {
  if (anyNull(layout, name, path)) {
    put(report, settings_impl::fileReport(SETTINGS_PATH_NO_REASON));
    return invalidArgument(SETTINGS_SOURCE_POS);
  }
  return settings_impl::translateReported(
      SETTINGS_SOURCE_POS, report, [&] { *path = layout->dropInPath(name, create != 0).c_str(); });
}

int settings_layout_set_mask(settings_layout_t* layout, char const* name, int masked, int* changed,
                             settings_file_report_t* report) noexcept {
  if (anyNull(layout, name)) {
    put(report, settings_impl::fileReport(SETTINGS_PATH_NO_REASON));
    return invalidArgument(SETTINGS_SOURCE_POS);
  }
  return settings_impl::translateReported(SETTINGS_SOURCE_POS, report, [&] {
    bool const done = layout->setMask(name, masked != 0);
    put(changed, done ? 1 : 0);
  });
}

namespace {

// Filled in slot order, frozen as the other tables are.
constexpr settings_api5_t kApi5 = {
    settings_layout_create,        settings_layout_free,
    settings_layout_add_hierarchy, settings_layout_add_default_hierarchies,
    settings_layout_set_suffix,    settings_layout_set_root,
    context_import_layout,         settings_layout_file_count,
    settings_layout_file,          settings_layout_file_report,
    settings_layout_refused_lines, settings_layout_key_origin_count,
    settings_layout_key_origin,    settings_layout_dropin_path,
    settings_layout_set_mask,
};

constexpr std::size_t kSlotSize = sizeof(void (*)(void));
constexpr std::size_t kSlotCount = 15;
static_assert(sizeof(settings_api5_t) == kSlotCount * kSlotSize, "the fifth table has 15 slots");

#define TAMO_ASSERT_SLOT(field, index) \
  static_assert(offsetof(settings_api5_t, field) == (index)*kSlotSize, #field " moved")

TAMO_ASSERT_SLOT(settings_layout_create, 0);
TAMO_ASSERT_SLOT(settings_layout_free, 1);
TAMO_ASSERT_SLOT(settings_layout_add_hierarchy, 2);
TAMO_ASSERT_SLOT(settings_layout_add_default_hierarchies, 3);
TAMO_ASSERT_SLOT(settings_layout_set_suffix, 4);
TAMO_ASSERT_SLOT(settings_layout_set_root, 5);
TAMO_ASSERT_SLOT(context_import_layout, 6);
TAMO_ASSERT_SLOT(settings_layout_file_count, 7);
TAMO_ASSERT_SLOT(settings_layout_file, 8);
TAMO_ASSERT_SLOT(settings_layout_file_report, 9);
TAMO_ASSERT_SLOT(settings_layout_refused_lines, 10);
TAMO_ASSERT_SLOT(settings_layout_key_origin_count, 11);
TAMO_ASSERT_SLOT(settings_layout_key_origin, 12);
TAMO_ASSERT_SLOT(settings_layout_dropin_path, 13);
TAMO_ASSERT_SLOT(settings_layout_set_mask, 14);

#undef TAMO_ASSERT_SLOT

}  // namespace

void settings_api5_get(settings_api5_t* api) noexcept {
  if (api != nullptr)
    *api = kApi5;
}
