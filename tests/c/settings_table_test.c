/* Calls the library through its table from C. Behaviour in depth is tested
 * in the GoogleTest suites; this program shows that the header is C, that
 * the table's slots hold the functions their names say, and that a C caller
 * can go through a whole session. */
/* mkdtemp, rmdir and unlink for the third table's file. */
#define _POSIX_C_SOURCE 200809L

#include <tamo/settings.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures = 0;
static int checks = 0;

#define CHECK(condition) check((condition), #condition, __LINE__)

static void check(int passed, char const* text, int line) {
  ++checks;
  if (!passed) {
    ++failures;
    fprintf(stderr, "line %d: check failed: %s\n", line, text);
  }
}

static settings_api_t api;

#define CHECK_SLOT(name) CHECK(api.name == name)

static void testTableSlots(void) {
  settings_api_get(NULL);
  memset(&api, 0, sizeof api);
  settings_api_get(&api);
  CHECK_SLOT(context_create);
  CHECK_SLOT(context_free);
  CHECK_SLOT(context_get_system_config_file_path);
  CHECK_SLOT(context_import_from_file);
  CHECK_SLOT(context_import_from_string);
  CHECK_SLOT(context_import_from_context);
  CHECK_SLOT(context_get_last_import_errors);
  CHECK_SLOT(context_export_to_file);
  CHECK_SLOT(context_is_empty);
  CHECK_SLOT(context_is_equal);
  CHECK_SLOT(context_iterate_keys);
  CHECK_SLOT(context_get_utf8_value);
  CHECK_SLOT(context_get_boolean_value);
  CHECK_SLOT(context_get_integer_value);
  CHECK_SLOT(context_get_double_value);
  CHECK_SLOT(context_erase_key);
  CHECK_SLOT(validator_free);
  CHECK_SLOT(validator_builder_create);
  CHECK_SLOT(validator_builder_free);
  CHECK_SLOT(validator_builder_create_validator);
  CHECK_SLOT(validator_builder_set_utf8_validator);
  CHECK_SLOT(validator_builder_set_integer_validator);
  CHECK_SLOT(validator_builder_set_boolean_validator);
  CHECK_SLOT(validator_builder_set_double_validator);
  CHECK_SLOT(validator_builder_allow_unknown_keys);
  CHECK_SLOT(validator_builder_set_fixed_value_validator);
  CHECK_SLOT(validator_builder_set_dirname_validator);
  CHECK_SLOT(key_mapper_free);
  CHECK_SLOT(key_mapper_builder_create);
  CHECK_SLOT(key_mapper_builder_free);
  CHECK_SLOT(key_mapper_builder_create_key_mapper);
  CHECK_SLOT(key_mapper_builder_map);
}

static settings_api2_t api2;

#define CHECK_SLOT2(name) CHECK(api2.name == name)

static void testSecondTable(void) {
  settings_context_t* context = api.context_create();
  settings_refused_line_t const* lines = NULL;
  char const* text = NULL;
  int count = -1;
  int line = -1;

  settings_api2_get(NULL);
  memset(&api2, 0, sizeof api2);
  settings_api2_get(&api2);
  CHECK_SLOT2(context_get_last_import_refused_lines);
  CHECK_SLOT2(context_set_stderr_reports);
  CHECK_SLOT2(context_export_to_string);
  CHECK_SLOT2(context_get_key_line);
  CHECK_SLOT2(settings_replace_file_contents);
  CHECK_SLOT2(context_import_from_buffer);
  CHECK_SLOT2(context_get_key_lines);

  CHECK(api2.context_set_stderr_reports(context, 0) == SETTINGS_NO_ERROR);
  CHECK(api.context_import_from_string(context, "b=2\nbad\na=1", NULL, NULL, 0, 0) ==
        SETTINGS_INVALID_VALUE_ERROR);
  CHECK(api2.context_get_last_import_refused_lines(context, &lines, &count) == SETTINGS_NO_ERROR);
  CHECK(count == 1 && lines[0].line == 1 && lines[0].kind == SETTINGS_REFUSED_KEY_WITHOUT_VALUE);
  CHECK(api2.context_get_key_line(context, "a", &line) == SETTINGS_NO_ERROR && line == 2);
  CHECK(api2.context_export_to_string(context, &text) == SETTINGS_NO_ERROR);
  CHECK(text != NULL && strcmp(text, "a=1\nb=2\n") == 0);
  CHECK(api2.settings_replace_file_contents(NULL, "", 0) == SETTINGS_INVALID_ARGUMENT_ERROR);
  api.context_free(context);
}

static settings_api3_t api3;

#define CHECK_SLOT3(name) CHECK(api3.name == name)

/* A whole locked read-change-write: lock, import, change, export, release. */
static void testThirdTable(void) {
  char directory[] = "/tmp/tamo-c-table-XXXXXX";
  char file[64];
  settings_context_t* context = api.context_create();
  settings_context_t* reread = api.context_create();
  settings_lock_t* lock = NULL;
  char const* text = "unset";
  char const* value = NULL;
  size_t size = 1;

  settings_api3_get(NULL);
  memset(&api3, 0, sizeof api3);
  settings_api3_get(&api3);
  CHECK_SLOT3(settings_lock_file);
  CHECK_SLOT3(settings_lock_release);
  CHECK_SLOT3(settings_locked_file_read);
  CHECK_SLOT3(settings_locked_file_replace);
  CHECK_SLOT3(context_import_from_locked_file);
  CHECK_SLOT3(context_export_to_locked_file);

  CHECK(mkdtemp(directory) != NULL);
  snprintf(file, sizeof file, "%s/app.cfg", directory);
  CHECK(api3.settings_lock_file(file, 0, &lock) == SETTINGS_NO_ERROR && lock != NULL);
  CHECK(api3.settings_locked_file_read(lock, &text, &size) == SETTINGS_NO_ERROR);
  CHECK(text == NULL && size == 0);
  CHECK(api3.context_import_from_locked_file(context, lock, NULL, NULL, 0, 0) ==
        SETTINGS_OPEN_FILE_ERROR);
  CHECK(api.context_import_from_string(context, "k=v", NULL, NULL, 0, 0) == SETTINGS_NO_ERROR);
  CHECK(api3.context_export_to_locked_file(context, lock) == SETTINGS_NO_ERROR);
  CHECK(api3.context_import_from_locked_file(reread, lock, NULL, NULL, 0, 0) == SETTINGS_NO_ERROR);
  CHECK(api.context_get_utf8_value(reread, "k", &value) == SETTINGS_NO_ERROR &&
        strcmp(value, "v") == 0);
  CHECK(api3.settings_locked_file_replace(lock, "x=1\n", 4) == SETTINGS_NO_ERROR);
  CHECK(api3.settings_locked_file_read(lock, &text, &size) == SETTINGS_NO_ERROR);
  CHECK(size == 4 && memcmp(text, "x=1\n", 4) == 0);
  CHECK(api3.settings_lock_release(lock) == SETTINGS_NO_ERROR);
  CHECK(api3.settings_lock_release(NULL) == SETTINGS_INVALID_ARGUMENT_ERROR);
  CHECK(api3.settings_lock_file(file, -1, &lock) == SETTINGS_INVALID_ARGUMENT_ERROR);
  api.context_free(reread);
  api.context_free(context);
  unlink(file);
  rmdir(directory);
}

static settings_api4_t api4;

#define CHECK_SLOT4(name) CHECK(api4.name == name)

/* Reads and replacements with their reports: a missing file, a refusal, a
 * round trip. */
static void testFourthTable(void) {
  char directory[] = "/tmp/tamo-c-table-XXXXXX";
  char file[64];
  char* text = (char*)"unset";
  size_t size = 1;
  settings_file_report_t report;
  settings_lock_t* lock = NULL;

  settings_api4_get(NULL);
  memset(&api4, 0, sizeof api4);
  settings_api4_get(&api4);
  CHECK_SLOT4(settings_file_read);
  CHECK_SLOT4(settings_text_free);
  CHECK_SLOT4(settings_file_replace);
  CHECK_SLOT4(settings_file_lock);
  CHECK_SLOT4(settings_lock_last_report);

  CHECK(mkdtemp(directory) != NULL);
  snprintf(file, sizeof file, "%s/app.cfg", directory);
  CHECK(api4.settings_file_read(file, 0, &text, &size, &report) == SETTINGS_NO_ERROR);
  CHECK(text == NULL && size == 0 && report.reason == SETTINGS_PATH_NO_REASON);
  CHECK(api4.settings_file_replace(file, "k=v\n", 4, &report) == SETTINGS_NO_ERROR);
  CHECK(api4.settings_file_read(file, 0, &text, &size, NULL) == SETTINGS_NO_ERROR);
  CHECK(size == 4 && memcmp(text, "k=v\n", 5) == 0);
  api4.settings_text_free(text);
  CHECK(api4.settings_file_replace("a\\b.cfg", "", 0, &report) == SETTINGS_INVALID_FILENAME_ERROR);
  snprintf(file, sizeof file, "%s/missing/app.cfg", directory);
  CHECK(api4.settings_file_lock(file, 0, &lock, &report) == SETTINGS_OPEN_FILE_ERROR);
  CHECK(report.reason == SETTINGS_PATH_MISSING && report.component > 0 && report.owner == -1);
  snprintf(file, sizeof file, "%s/app.cfg", directory);
  unlink(file);
  rmdir(directory);
}

static settings_api5_t api5;

#define CHECK_SLOT5(name) CHECK(api5.name == name)

/* A vendor file under a drop-in of the administrator: the value and where it
 * came from, through the table. */
static void testFifthTable(void) {
  char root[] = "/tmp/tamo-c-layout-XXXXXX";
  char path[128];
  settings_layout_t* layout = NULL;
  settings_context_t* context = api.context_create();
  char const* text = NULL;
  char const* dropIn = NULL;
  int count = 0, file = -1, line = -1, why = -1, fate = -1;
  FILE* out;

  settings_api5_get(NULL);
  memset(&api5, 0, sizeof api5);
  settings_api5_get(&api5);
  CHECK_SLOT5(settings_layout_create);
  CHECK_SLOT5(settings_layout_free);
  CHECK_SLOT5(settings_layout_add_hierarchy);
  CHECK_SLOT5(settings_layout_add_default_hierarchies);
  CHECK_SLOT5(settings_layout_set_suffix);
  CHECK_SLOT5(settings_layout_set_root);
  CHECK_SLOT5(context_import_layout);
  CHECK_SLOT5(settings_layout_file_count);
  CHECK_SLOT5(settings_layout_file);
  CHECK_SLOT5(settings_layout_file_report);
  CHECK_SLOT5(settings_layout_refused_lines);
  CHECK_SLOT5(settings_layout_key_origin_count);
  CHECK_SLOT5(settings_layout_key_origin);
  CHECK_SLOT5(settings_layout_dropin_path);
  CHECK_SLOT5(settings_layout_set_mask);

  CHECK(mkdtemp(root) != NULL);
  CHECK(api5.settings_layout_create("a/b", &layout) == SETTINGS_INVALID_FILENAME_ERROR);
  CHECK(api5.settings_layout_create("app.conf", &layout) == SETTINGS_NO_ERROR);
  CHECK(api5.settings_layout_add_hierarchy(layout, "/vendor") == SETTINGS_NO_ERROR);
  CHECK(api5.settings_layout_add_hierarchy(layout, "/admin") == SETTINGS_NO_ERROR);
  CHECK(api5.settings_layout_set_root(layout, root) == SETTINGS_NO_ERROR);
  snprintf(path, sizeof path, "%s/vendor", root);
  CHECK(mkdir(path, 0755) == 0);
  snprintf(path, sizeof path, "%s/vendor/app.conf", root);
  out = fopen(path, "w");
  CHECK(out != NULL && fputs("k=vendor\n", out) >= 0 && fclose(out) == 0);
  CHECK(api5.settings_layout_dropin_path(layout, "10.conf", 1, &dropIn, NULL) == SETTINGS_NO_ERROR);
  CHECK(api4.settings_file_replace(dropIn, "k=admin\n", 8, NULL) == SETTINGS_NO_ERROR);

  CHECK(api5.context_import_layout(context, layout, NULL, NULL, 1, 0) == SETTINGS_NO_ERROR);
  CHECK(api.context_get_utf8_value(context, "k", &text) == SETTINGS_NO_ERROR);
  CHECK(text != NULL && strcmp(text, "admin") == 0);
  CHECK(api5.settings_layout_key_origin_count(layout, "k", &count) == SETTINGS_NO_ERROR);
  CHECK(count == 2);
  CHECK(api5.settings_layout_key_origin(layout, "k", 0, &file, &line, &why, NULL, &text) == 0);
  CHECK(why == SETTINGS_ORIGIN_LATER_FILE && text != NULL && strcmp(text, "vendor") == 0);
  CHECK(api5.settings_layout_key_origin(layout, "k", 1, &file, &line, &why, NULL, NULL) == 0);
  CHECK(why == SETTINGS_ORIGIN_EFFECTIVE && line == 0);
  CHECK(api5.settings_layout_file(layout, file, &text, NULL, &fate, NULL) == SETTINGS_NO_ERROR);
  CHECK(strcmp(text, dropIn) == 0 && fate == SETTINGS_LAYOUT_APPLIED);
  CHECK(api5.settings_layout_key_origin_count(layout, "none", &count) ==
        SETTINGS_KEY_NOT_FOUND_ERROR);

  unlink(dropIn);
  snprintf(path, sizeof path, "%s/admin/app.conf.d", root);
  rmdir(path);
  snprintf(path, sizeof path, "%s/admin", root);
  rmdir(path);
  snprintf(path, sizeof path, "%s/vendor/app.conf", root);
  unlink(path);
  snprintf(path, sizeof path, "%s/vendor", root);
  rmdir(path);
  rmdir(root);
  api5.settings_layout_free(layout);
  api.context_free(context);
}

static void testNewContext(void) {
  settings_context_t* context = api.context_create();
  char const* path = NULL;
  static settings_error_desc_t const kUntouched = {-1};
  settings_error_desc_t const* errors = &kUntouched;
  int count = -1;
  int empty = -1;

  CHECK(context != NULL);
  CHECK(api.context_is_empty(context, &empty) == SETTINGS_NO_ERROR && empty == 1);
  CHECK(api.context_get_system_config_file_path(context, &path) == SETTINGS_NO_ERROR);
  CHECK(path != NULL && strcmp(path, "/etc/Vardel/Tamo/tamo.settings.cfg") == 0);
  CHECK(api.context_get_last_import_errors(context, &errors, &count) == SETTINGS_NO_ERROR);
  CHECK(errors == NULL && count == 0);
  CHECK(api.context_get_system_config_file_path(NULL, &path) == SETTINGS_INVALID_ARGUMENT_ERROR);
  api.context_free(context);
}

static void testTypedValues(void) {
  settings_context_t* context = api.context_create();
  int number = 0;
  int flag = 0;
  double real = 0.0;
  char const* text = NULL;

  CHECK(api.context_import_from_string(context, "b = 2\na: 1.5\nname=x y\nflag", NULL, NULL, 1,
                                       1) == SETTINGS_NO_ERROR);
  CHECK(api.context_get_integer_value(context, "b", &number) == SETTINGS_NO_ERROR && number == 2);
  CHECK(api.context_get_double_value(context, "a", &real) == SETTINGS_NO_ERROR && real == 1.5);
  CHECK(api.context_get_utf8_value(context, "name", &text) == SETTINGS_NO_ERROR);
  CHECK(text != NULL && strcmp(text, "x y") == 0);
  CHECK(api.context_get_boolean_value(context, "flag", &flag) == SETTINGS_NO_ERROR && flag == 1);
  number = 7;
  CHECK(api.context_get_integer_value(context, "missing", &number) == SETTINGS_KEY_NOT_FOUND_ERROR);
  CHECK(number == 7);
  api.context_free(context);
}

struct Visits {
  int count;
  int lastKeyCount;
  char keys[2][8];
};

static void eraseVisitedKey(settings_context_t* context, int keyCount, int index, char const* key,
                            void* userData) {
  struct Visits* visits = (struct Visits*)userData;
  if (index >= 0 && index < 2)
    strncpy(visits->keys[index], key, sizeof visits->keys[index] - 1);
  visits->lastKeyCount = keyCount;
  ++visits->count;
  CHECK(api.context_erase_key(context, key) == SETTINGS_NO_ERROR);
}

static void testIterationThatErases(void) {
  settings_context_t* context = api.context_create();
  struct Visits visits;
  int empty = 0;

  memset(&visits, 0, sizeof visits);
  CHECK(api.context_import_from_string(context, "b=1\na=2", NULL, NULL, 1, 0) == SETTINGS_NO_ERROR);
  CHECK(api.context_iterate_keys(context, eraseVisitedKey, &visits) == SETTINGS_NO_ERROR);
  CHECK(visits.count == 2 && visits.lastKeyCount == 2);
  CHECK(strcmp(visits.keys[0], "a") == 0 && strcmp(visits.keys[1], "b") == 0);
  CHECK(api.context_is_empty(context, &empty) == SETTINGS_NO_ERROR && empty == 1);
  api.context_free(context);
}

static void testRefusedLine(void) {
  settings_context_t* context = api.context_create();
  settings_error_desc_t const* errors = NULL;
  int count = 0;
  int number = 0;

  CHECK(api.context_import_from_string(context, "a=1\nbad line\nb=2", NULL, NULL, 0, 0) ==
        SETTINGS_INVALID_VALUE_ERROR);
  CHECK(api.context_get_last_import_errors(context, &errors, &count) == SETTINGS_NO_ERROR);
  CHECK(count == 1 && errors != NULL && errors[0].line == 1);
  CHECK(api.context_get_integer_value(context, "b", &number) == SETTINGS_NO_ERROR && number == 2);
  api.context_free(context);
}

static settings_fixed_value_t const kSwitch[] = {
    {"Enable", 1, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
    {"Disable", 0, SETTINGS_FIXED_VALUE_USE_LISTED_TEXT},
};

static void testBuilderHandles(void) {
  settings_validator_builder_t* validatorBuilder = api.validator_builder_create();
  settings_key_mapper_builder_t* mapperBuilder = api.key_mapper_builder_create();
  settings_validator_t* validator = NULL;
  settings_key_mapper_t* mapper = NULL;
  settings_context_t* context = api.context_create();
  int number = -1;
  char const* text = NULL;

  CHECK(validatorBuilder != NULL && mapperBuilder != NULL);
  CHECK(api.validator_builder_set_fixed_value_validator(validatorBuilder, "SWITCH", kSwitch, 2) ==
        SETTINGS_NO_ERROR);
  CHECK(api.validator_builder_allow_unknown_keys(validatorBuilder, 1) == SETTINGS_NO_ERROR);
  CHECK(api.validator_builder_create_validator(validatorBuilder, &validator) == SETTINGS_NO_ERROR);
  CHECK(api.key_mapper_builder_map(mapperBuilder, "SWITCH", "SWITCH", 0) == SETTINGS_NO_ERROR);
  CHECK(api.key_mapper_builder_create_key_mapper(mapperBuilder, &mapper) == SETTINGS_NO_ERROR);
  api.validator_builder_free(validatorBuilder);
  api.key_mapper_builder_free(mapperBuilder);

  CHECK(api.context_import_from_string(context, "switch=enable\nother=x", validator, mapper, 0,
                                       0) == SETTINGS_NO_ERROR);
  CHECK(api.context_get_integer_value(context, "SWITCH", &number) == SETTINGS_NO_ERROR);
  CHECK(number == 1);
  CHECK(api.context_get_utf8_value(context, "SWITCH", &text) == SETTINGS_NO_ERROR);
  CHECK(text != NULL && strcmp(text, "Enable") == 0);

  api.context_free(context);
  api.validator_free(validator);
  api.key_mapper_free(mapper);
}

static void testFreeFunctionsAcceptNull(void) {
  api.context_free(NULL);
  api.validator_free(NULL);
  api.validator_builder_free(NULL);
  api.key_mapper_free(NULL);
  api.key_mapper_builder_free(NULL);
}

int main(void) {
  testTableSlots();
  testNewContext();
  testSecondTable();
  testThirdTable();
  testFourthTable();
  testFifthTable();
  testTypedValues();
  testIterationThatErases();
  testRefusedLine();
  testBuilderHandles();
  testFreeFunctionsAcceptNull();
  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
