/*
 * tamo settings library: the C interface.
 *
 * Conventions that hold for every function below:
 * - Handles (settings_context_t and the validator, key-mapper and builder
 *   handles) are opaque pointers. Each create function hands a new handle to
 *   the caller, who frees it with the matching free function. Every free
 *   function accepts NULL and does nothing then.
 * - Every function that returns an int returns a status code: SETTINGS_NO_ERROR
 *   (0) on success, one of the codes below otherwise. No function lets an
 *   exception or a signal of its own escape.
 * - Pointer arguments are required unless the comment says "may be NULL"; a
 *   NULL required pointer gives SETTINGS_INVALID_ARGUMENT_ERROR, tested in
 *   parameter order, and nothing is changed.
 * - Out-parameters are written only on success.
 * - Texts are NUL-terminated UTF-8. Pointers handed out by a context stay
 *   valid as each function says, never past context_free.
 * - Nothing here is thread-safe: a handle is used by one thread at a time.
 *
 * Every function is also reachable through the table that settings_api_get
 * fills; the order of the table's fields is part of the interface.
 */
#ifndef TAMO_SETTINGS_H
#define TAMO_SETTINGS_H

#if defined(TAMO_SETTINGS_BUILDING)
#define TAMO_SETTINGS_EXPORT __attribute__((visibility("default")))
#else
#define TAMO_SETTINGS_EXPORT
#endif

/* No function lets an exception out; C++ callers may rely on it. */
#if defined(__cplusplus)
#define TAMO_SETTINGS_NOEXCEPT noexcept
#else
#define TAMO_SETTINGS_NOEXCEPT
#endif

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. The numbers are the interface; 308 and 310 are unassigned. */
enum {
  SETTINGS_NO_ERROR = 0,
  SETTINGS_UNKNOWN_ERROR = 200,           /* failure without a code of its own */
  SETTINGS_INVALID_ARGUMENT_ERROR = 300,  /* a required pointer is NULL */
  SETTINGS_TYPE_MISMATCH_ERROR = 301,     /* key without value, or of another type */
  SETTINGS_VALUE_FORMAT_ERROR = 302,      /* the text does not read as the asked type */
  SETTINGS_KEY_NOT_FOUND_ERROR = 303,     /* no such key */
  SETTINGS_OPEN_FILE_ERROR = 304,         /* a file cannot be opened or created */
  SETTINGS_ACCESS_DENIED_ERROR = 305,     /* owner permission bit clear (callers' own) */
  SETTINGS_WRITE_FILE_ERROR = 306,        /* the exported text was not written whole,
                                             or its rename not synced */
  SETTINGS_READ_FILE_ERROR = 307,         /* a read error while a file was read */
  SETTINGS_REMOVE_FILE_ERROR = 309,       /* a file cannot be removed */
  SETTINGS_INVALID_FILENAME_ERROR = 311,  /* empty name, ".." above the root, or a
                                             parent directory that cannot be made */
  SETTINGS_FILENAME_ENCODING_ERROR = 312, /* a file name is not UTF-8 */
  SETTINGS_INVALID_VALUE_ERROR = 313,     /* the imported text had refused lines */
  SETTINGS_BUFFER_ENCODING_ERROR = 314,   /* the text to parse is not UTF-8 */
  SETTINGS_FILE_TOO_BIG_ERROR = 315,      /* a settings file of 1 MiB or more */
  SETTINGS_LOCKED_ERROR = 316,            /* third table: another writer held the
                                             lock for the whole wait */
  SETTINGS_LOCK_REFUSED_ERROR = 317,      /* third table: the file system refuses
                                             the writers' lock */
  SETTINGS_TOO_MANY_FILES_ERROR = 318     /* fifth table: a layout of more than
                                             1,024 drop-ins */
};

/* Flags of a fixed-value row. */
enum {
  SETTINGS_FIXED_VALUE_CASE_SENSITIVE = 1, /* match only the identical bytes */
  SETTINGS_FIXED_VALUE_USE_LISTED_TEXT = 2 /* store the row's text, not the input */
};

typedef struct settings_context_t settings_context_t;
typedef struct settings_validator_t settings_validator_t;
typedef struct settings_validator_builder_t settings_validator_builder_t;
typedef struct settings_key_mapper_t settings_key_mapper_t;
typedef struct settings_key_mapper_builder_t settings_key_mapper_builder_t;

/* One refused line of the last import: its zero-based line number. */
typedef struct settings_error_desc_t {
  int line;
} settings_error_desc_t;

/* One accepted text of a fixed-value rule and the integer stored for it. */
typedef struct settings_fixed_value_t {
  char const* text;
  int value;
  int flags; /* SETTINGS_FIXED_VALUE_* bits; others are ignored */
} settings_fixed_value_t;

/* Called once per key, in ascending byte order of the keys. The key text is
 * valid until context_iterate_keys returns; the callback may change the
 * context, which does not disturb the iteration. */
typedef void (*settings_key_callback_t)(settings_context_t* context, int keyCount, int index,
                                        char const* key, void* userData);

/* The function table. Fields stand in this order for good. */
typedef struct settings_api_t {
  settings_context_t* (*context_create)(void);
  void (*context_free)(settings_context_t* context);
  int (*context_get_system_config_file_path)(settings_context_t* context, char const** path);
  int (*context_import_from_file)(settings_context_t* context, char const* fileName,
                                  settings_validator_t const* validator,
                                  settings_key_mapper_t const* keyMapper, int failFast,
                                  int allowKeysWithoutValues);
  int (*context_import_from_string)(settings_context_t* context, char const* text,
                                    settings_validator_t const* validator,
                                    settings_key_mapper_t const* keyMapper, int failFast,
                                    int allowKeysWithoutValues);
  int (*context_import_from_context)(settings_context_t* context, settings_context_t const* source);
  int (*context_get_last_import_errors)(settings_context_t* context,
                                        settings_error_desc_t const** errors, int* count);
  int (*context_export_to_file)(settings_context_t* context, char const* fileName);
  int (*context_is_empty)(settings_context_t* context, int* value);
  int (*context_is_equal)(settings_context_t* context, settings_context_t const* other, int* value);
  int (*context_iterate_keys)(settings_context_t* context, settings_key_callback_t callback,
                              void* userData);
  int (*context_get_utf8_value)(settings_context_t* context, char const* key, char const** value);
  int (*context_get_boolean_value)(settings_context_t* context, char const* key, int* value);
  int (*context_get_integer_value)(settings_context_t* context, char const* key, int* value);
  int (*context_get_double_value)(settings_context_t* context, char const* key, double* value);
  int (*context_erase_key)(settings_context_t* context, char const* key);
  void (*validator_free)(settings_validator_t* validator);
  settings_validator_builder_t* (*validator_builder_create)(void);
  void (*validator_builder_free)(settings_validator_builder_t* builder);
  int (*validator_builder_create_validator)(settings_validator_builder_t* builder,
                                            settings_validator_t** validator);
  int (*validator_builder_set_utf8_validator)(settings_validator_builder_t* builder,
                                              char const* key);
  int (*validator_builder_set_integer_validator)(settings_validator_builder_t* builder,
                                                 char const* key);
  int (*validator_builder_set_boolean_validator)(settings_validator_builder_t* builder,
                                                 char const* key);
  int (*validator_builder_set_double_validator)(settings_validator_builder_t* builder,
                                                char const* key);
  int (*validator_builder_allow_unknown_keys)(settings_validator_builder_t* builder, int allow);
  int (*validator_builder_set_fixed_value_validator)(settings_validator_builder_t* builder,
                                                     char const* key,
                                                     settings_fixed_value_t const* rows,
                                                     int rowCount);
  int (*validator_builder_set_dirname_validator)(settings_validator_builder_t* builder,
                                                 char const* key, int skipPathCheck);
  void (*key_mapper_free)(settings_key_mapper_t* keyMapper);
  settings_key_mapper_builder_t* (*key_mapper_builder_create)(void);
  void (*key_mapper_builder_free)(settings_key_mapper_builder_t* builder);
  int (*key_mapper_builder_create_key_mapper)(settings_key_mapper_builder_t* builder,
                                              settings_key_mapper_t** keyMapper);
  int (*key_mapper_builder_map)(settings_key_mapper_builder_t* builder, char const* from,
                                char const* to, int caseSensitive);
} settings_api_t;

/* Fills *api with the 32 functions; NULL is ignored. Allocates nothing. */
TAMO_SETTINGS_EXPORT void settings_api_get(settings_api_t* api) TAMO_SETTINGS_NOEXCEPT;

/* A new, empty context, or NULL when memory runs out. */
TAMO_SETTINGS_EXPORT settings_context_t* context_create(void) TAMO_SETTINGS_NOEXCEPT;
/* Frees the context; every pointer obtained from it becomes invalid. */
TAMO_SETTINGS_EXPORT void context_free(settings_context_t* context) TAMO_SETTINGS_NOEXCEPT;
/* *path: the system settings file's path, valid until context_free. */
TAMO_SETTINGS_EXPORT int context_get_system_config_file_path(
    settings_context_t* context, char const** path) TAMO_SETTINGS_NOEXCEPT;

/* Imports a settings file (at most 1,048,575 bytes) or a text and merges the
 * accepted entries over the context's; imported entries win. validator and
 * keyMapper may be NULL (no validation, keys as read). With failFast the
 * first refused line ends the import and nothing is merged; without it every
 * accepted line is merged. Each refused line is printed on standard error and
 * recorded (context_get_last_import_errors); the result is then
 * SETTINGS_INVALID_VALUE_ERROR. Other failures (304, 307, 311, 312, 314, 315)
 * leave the context unchanged. */
TAMO_SETTINGS_EXPORT int context_import_from_file(
    settings_context_t* context, char const* fileName, settings_validator_t const* validator,
    settings_key_mapper_t const* keyMapper, int failFast,
    int allowKeysWithoutValues) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int context_import_from_string(
    settings_context_t* context, char const* text, settings_validator_t const* validator,
    settings_key_mapper_t const* keyMapper, int failFast,
    int allowKeysWithoutValues) TAMO_SETTINGS_NOEXCEPT;
/* Merges source's entries over context's; source may be context itself. */
TAMO_SETTINGS_EXPORT int context_import_from_context(
    settings_context_t* context, settings_context_t const* source) TAMO_SETTINGS_NOEXCEPT;
/* *errors: the refused lines of the last file or text import (NULL when
 * none), owned by the context and valid until its next such import or
 * context_free; *count: their number. */
TAMO_SETTINGS_EXPORT int context_get_last_import_errors(settings_context_t* context,
                                                        settings_error_desc_t const** errors,
                                                        int* count) TAMO_SETTINGS_NOEXCEPT;
/* Writes the context as "key=value" lines in key order, creating missing
 * parent directories (0700, each synced into its parent). The text is
 * written into an unnamed file beside the target, given the target's owner,
 * group and permission bits, synced, and renamed over the target; the
 * directory is then synced. A symbolic link stays a link and its target is
 * replaced; other hard links to the old file keep the old text. A new file
 * gets 0644 less the umask. An empty context writes one space. The context
 * is never changed.
 *
 * What the file holds afterwards:
 *   0    the new text, synced, and the rename synced too.
 *   306  after the rename: the new text is in place but its directory
 *        could not be synced (or the staging descriptor not closed), so a
 *        power cut may still bring the old text back. Before the rename (a
 *        failed write or sync of the staging file): the old file untouched.
 *        Either way the file holds one complete text, old or new; reading
 *        it tells which.
 *   any other status: the old text, mode, owner and links untouched and
 *        nothing left beside the file; directories made for it stay.
 * A crash or power cut leaves the old or the new text, complete; only a
 * crash in the instant between naming the staging file and the rename can
 * leave a hidden ".NAME.XXXXXX" beside it (on a file system without unnamed
 * files, a crash at any time before the export returns).
 * The one exception: a file that cannot be replaced (a mount point, such as
 * a bind-mounted file, a file whose directory refuses new files, or one
 * whose owner or group this caller cannot give) is rewritten in place:
 * space is reserved first (a full disk is then 306 with the file
 * untouched), then one write, a truncate and a sync. A failure (306) or a
 * crash during that rewrite can leave the file changed: the new text, or
 * the new text followed by the end of the old one.
 *
 * A blind write: it takes no lock and does not serialize with any other
 * writer, so a concurrent read-change-write may be lost under it or lose
 * this one. Writers that meet use context_export_to_locked_file (third
 * table). */
TAMO_SETTINGS_EXPORT int context_export_to_file(settings_context_t* context,
                                                char const* fileName) TAMO_SETTINGS_NOEXCEPT;
/* *value: 1 when the context holds no key, else 0. */
TAMO_SETTINGS_EXPORT int context_is_empty(settings_context_t* context,
                                          int* value) TAMO_SETTINGS_NOEXCEPT;
/* *value: 1 when both hold the same keys with equal typed values, else 0. */
TAMO_SETTINGS_EXPORT int context_is_equal(settings_context_t* context,
                                          settings_context_t const* other,
                                          int* value) TAMO_SETTINGS_NOEXCEPT;
/* Calls callback for each key present at the start; userData may be NULL. */
TAMO_SETTINGS_EXPORT int context_iterate_keys(settings_context_t* context,
                                              settings_key_callback_t callback,
                                              void* userData) TAMO_SETTINGS_NOEXCEPT;
/* *value: the value's text, valid until the context's configuration is
 * replaced (an import, an erase) or the context is freed. */
TAMO_SETTINGS_EXPORT int context_get_utf8_value(settings_context_t* context, char const* key,
                                                char const** value) TAMO_SETTINGS_NOEXCEPT;
/* A key present without a value reads as true. */
TAMO_SETTINGS_EXPORT int context_get_boolean_value(settings_context_t* context, char const* key,
                                                   int* value) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int context_get_integer_value(settings_context_t* context, char const* key,
                                                   int* value) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int context_get_double_value(settings_context_t* context, char const* key,
                                                  double* value) TAMO_SETTINGS_NOEXCEPT;
/* SETTINGS_KEY_NOT_FOUND_ERROR when absent; the context is then unchanged. */
TAMO_SETTINGS_EXPORT int context_erase_key(settings_context_t* context,
                                           char const* key) TAMO_SETTINGS_NOEXCEPT;

TAMO_SETTINGS_EXPORT void validator_free(settings_validator_t* validator) TAMO_SETTINGS_NOEXCEPT;
/* A new builder without rules that refuses unknown keys; NULL when out of memory. */
TAMO_SETTINGS_EXPORT settings_validator_builder_t* validator_builder_create(void)
    TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT void validator_builder_free(settings_validator_builder_t* builder)
    TAMO_SETTINGS_NOEXCEPT;
/* *validator: a snapshot of the builder's rules, independent of the builder. */
TAMO_SETTINGS_EXPORT int validator_builder_create_validator(
    settings_validator_builder_t* builder, settings_validator_t** validator) TAMO_SETTINGS_NOEXCEPT;
/* Each setter replaces whatever rule the key had. */
TAMO_SETTINGS_EXPORT int validator_builder_set_utf8_validator(
    settings_validator_builder_t* builder, char const* key) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int validator_builder_set_integer_validator(
    settings_validator_builder_t* builder, char const* key) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int validator_builder_set_boolean_validator(
    settings_validator_builder_t* builder, char const* key) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int validator_builder_set_double_validator(
    settings_validator_builder_t* builder, char const* key) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int validator_builder_allow_unknown_keys(settings_validator_builder_t* builder,
                                                              int allow) TAMO_SETTINGS_NOEXCEPT;
/* Adds the rows in array order; the first failing row ends the call with its
 * status and the rows before it stay added. A row with a NULL text fails with
 * SETTINGS_UNKNOWN_ERROR. A count of 0 or less adds nothing. */
TAMO_SETTINGS_EXPORT int validator_builder_set_fixed_value_validator(
    settings_validator_builder_t* builder, char const* key, settings_fixed_value_t const* rows,
    int rowCount) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int validator_builder_set_dirname_validator(
    settings_validator_builder_t* builder, char const* key,
    int skipPathCheck) TAMO_SETTINGS_NOEXCEPT;

TAMO_SETTINGS_EXPORT void key_mapper_free(settings_key_mapper_t* keyMapper) TAMO_SETTINGS_NOEXCEPT;
/* A new builder without mappings; NULL when out of memory. */
TAMO_SETTINGS_EXPORT settings_key_mapper_builder_t* key_mapper_builder_create(void)
    TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT void key_mapper_builder_free(settings_key_mapper_builder_t* builder)
    TAMO_SETTINGS_NOEXCEPT;
/* *keyMapper: a snapshot of the builder's mappings, independent of the builder. */
TAMO_SETTINGS_EXPORT int key_mapper_builder_create_key_mapper(
    settings_key_mapper_builder_t* builder,
    settings_key_mapper_t** keyMapper) TAMO_SETTINGS_NOEXCEPT;
/* Maps the key from to to; the mapping added last is tried first. */
TAMO_SETTINGS_EXPORT int key_mapper_builder_map(settings_key_mapper_builder_t* builder,
                                                char const* from, char const* to,
                                                int caseSensitive) TAMO_SETTINGS_NOEXCEPT;

/* The second table: functions added after the first table was frozen. Its
 * fields, too, stand in this order for good; later additions are appended. */

/* What kind of line an import refused; the numbers are the interface. */
enum {
  SETTINGS_REFUSED_KEY_WITHOUT_VALUE = 301, /* no "=" or ":" and such keys not allowed */
  SETTINGS_REFUSED_EMPTY_KEY = 302,         /* nothing before the separator */
  SETTINGS_REFUSED_INVALID_KEY = 303,       /* the validator refused the key, or not UTF-8 */
  SETTINGS_REFUSED_INVALID_VALUE = 304,     /* the validator refused the value, or not UTF-8 */
  SETTINGS_REFUSED_INVALID_COMMENT = 305    /* a comment line was refused */
};

/* One refused line of the last import. */
typedef struct settings_refused_line_t {
  int line;            /* counted from 0 */
  int character;       /* byte of the line's first non-blank character, from 0 */
  int kind;            /* SETTINGS_REFUSED_* */
  char const* message; /* the text printed after "Error reading config file: ",
                          such as "\"Invalid value\" at line 3; char 1" */
} settings_refused_line_t;

/* One line of the last import that gave a key its value. */
typedef struct settings_key_line_t {
  int line;        /* counted from 0 */
  char const* key; /* the key as stored (after key mapping) */
} settings_key_line_t;

typedef struct settings_api2_t {
  int (*context_get_last_import_refused_lines)(settings_context_t* context,
                                               settings_refused_line_t const** lines, int* count);
  int (*context_set_stderr_reports)(settings_context_t* context, int enabled);
  int (*context_export_to_string)(settings_context_t* context, char const** text);
  int (*context_get_key_line)(settings_context_t* context, char const* key, int* line);
  int (*settings_replace_file_contents)(char const* fileName, char const* text, size_t size);
  int (*context_import_from_buffer)(settings_context_t* context, char const* text, size_t size,
                                    settings_validator_t const* validator,
                                    settings_key_mapper_t const* keyMapper, int failFast,
                                    int allowKeysWithoutValues);
  int (*context_get_key_lines)(settings_context_t* context, settings_key_line_t const** lines,
                               int* count);
} settings_api2_t;

/* Fills *api with the functions of the second table; NULL is ignored. */
TAMO_SETTINGS_EXPORT void settings_api2_get(settings_api2_t* api) TAMO_SETTINGS_NOEXCEPT;

/* *lines: the refused lines of the last file or text import, in line order
 * (NULL when none); the array and its messages are owned by the context and
 * valid until its next such import or context_free. *count: their number.
 * The same lines as context_get_last_import_errors, with more detail. */
TAMO_SETTINGS_EXPORT int context_get_last_import_refused_lines(
    settings_context_t* context, settings_refused_line_t const** lines,
    int* count) TAMO_SETTINGS_NOEXCEPT;
/* Whether this context's imports print a line on standard error for each
 * refused line: on (non-zero) when the context is made, off with 0. The
 * lines are recorded either way. */
TAMO_SETTINGS_EXPORT int context_set_stderr_reports(settings_context_t* context,
                                                    int enabled) TAMO_SETTINGS_NOEXCEPT;
/* *text: the context's configuration exactly as context_export_to_file would
 * write it ("key=value" lines in key order, one space for an empty context),
 * NUL-terminated, owned by the context and valid until the next call of this
 * function on it or context_free. Nothing is written anywhere. */
TAMO_SETTINGS_EXPORT int context_export_to_string(settings_context_t* context,
                                                  char const** text) TAMO_SETTINGS_NOEXCEPT;
/* *line: the line, from 0, that gave key its value in the context's last file
 * or text import (the last one, where the key stood on several lines), as
 * the key was stored (after key mapping). SETTINGS_KEY_NOT_FOUND_ERROR when
 * that import gave the key nothing, also when it was refused with failFast;
 * later erases and merges do not change the answer. */
TAMO_SETTINGS_EXPORT int context_get_key_line(settings_context_t* context, char const* key,
                                              int* line) TAMO_SETTINGS_NOEXCEPT;
/* Makes the size bytes at text (any bytes, NUL included; text may be NULL
 * when size is 0) the whole contents of fileName, with the same safe
 * replacement as context_export_to_file and its outcomes: links followed and
 * kept, owner, group and mode kept (0644 less the umask for a new file),
 * synced, nothing left behind on failure. Unlike the export it creates no
 * directory: a missing parent gives SETTINGS_OPEN_FILE_ERROR. File names as
 * for the imports (311, 312). A blind write, as context_export_to_file: it
 * takes no lock and does not serialize with anyone (see
 * settings_locked_file_replace). */
TAMO_SETTINGS_EXPORT int settings_replace_file_contents(char const* fileName, char const* text,
                                                        size_t size) TAMO_SETTINGS_NOEXCEPT;

/* Imports the size bytes at text (text may be NULL when size is 0) exactly
 * as context_import_from_file imports a file holding them: a NUL byte ends
 * only the key, value or comment it stands in, and reading goes on after it.
 * No size limit applies; otherwise as context_import_from_string. */
TAMO_SETTINGS_EXPORT int context_import_from_buffer(
    settings_context_t* context, char const* text, size_t size,
    settings_validator_t const* validator, settings_key_mapper_t const* keyMapper, int failFast,
    int allowKeysWithoutValues) TAMO_SETTINGS_NOEXCEPT;
/* *lines: every line of the context's last file or text import that gave a
 * key a value, in line order, each with its stored key; a key that stood on
 * several lines appears once per line (the last one is its value's line, as
 * context_get_key_line says). NULL and 0 when that import gave no key
 * anything. Found at the first call after an import, in one reading of the
 * text; the array and its keys are owned by the context and valid until its
 * next import or context_free. */
TAMO_SETTINGS_EXPORT int context_get_key_lines(settings_context_t* context,
                                               settings_key_line_t const** lines,
                                               int* count) TAMO_SETTINGS_NOEXCEPT;

/* The third table: the writers' lock. Every writer of this project (the
 * installer, tamo-settings set, unset and merge -o) takes it around its
 * whole read-change-write, so that writers who meet never lose each
 * other's changes: each change lands whole on top of the others, or fails
 * with nothing written.
 *
 * The lock is the kernel's. An existing file is locked itself (fcntl
 * F_OFD_SETLK, a write lock over the whole file) through a descriptor open
 * for reading and writing, which only a user who may write the file can
 * have; a new file takes that lock over before it takes the file's name.
 * A file that does not exist yet, or one the caller may not write, is
 * locked through the directory that holds it (flock), and one that appears
 * meanwhile is locked as well. A holder of the file's lock also takes the
 * directory's when it is free within a second, which keeps out writers of
 * earlier releases, who lock the directory alone; a user who holds the
 * directory's lock for longer (anyone who can read the directory can) no
 * longer makes writers wait. Neither lock leaves anything beside the file,
 * and both die with their holder, so a killed writer never blocks the next
 * one. No open made for the lock waits on another process's lease: the
 * lease is waited out within the wait like a holder of the lock. A user who
 * can read the file can still make writers wait, by holding a read lock of
 * fcntl on it, which the kernel grants to every reader.
 *
 * Readers take no lock and are never blocked; they see the old or the new
 * text whole, except during the in-place rewrite of a file that cannot be
 * replaced (a mount point, a directory that refuses new files), which the
 * lock serializes with the other writers but not with readers. Writes
 * through the first two tables take no lock and are not serialized with
 * anyone.
 *
 * A lock handle is used by one thread at a time; it is not inherited by
 * programs the process starts. */
typedef struct settings_lock_t settings_lock_t;

typedef struct settings_api3_t {
  int (*settings_lock_file)(char const* fileName, int waitMilliseconds, settings_lock_t** lock);
  int (*settings_lock_release)(settings_lock_t* lock);
  int (*settings_locked_file_read)(settings_lock_t* lock, char const** text, size_t* size);
  int (*settings_locked_file_replace)(settings_lock_t* lock, char const* text, size_t size);
  int (*context_import_from_locked_file)(settings_context_t* context, settings_lock_t* lock,
                                         settings_validator_t const* validator,
                                         settings_key_mapper_t const* keyMapper, int failFast,
                                         int allowKeysWithoutValues);
  int (*context_export_to_locked_file)(settings_context_t* context, settings_lock_t* lock);
} settings_api3_t;

/* Fills *api with the functions of the third table; NULL is ignored. */
TAMO_SETTINGS_EXPORT void settings_api3_get(settings_api3_t* api) TAMO_SETTINGS_NOEXCEPT;

/* *lock: a new handle holding the writers' lock of fileName, which need not
 * exist; its directory must. The name is found as
 * settings_replace_file_contents finds it (by the kernel, under the
 * ownership rule of the fourth table's comment; a backslash is refused with
 * SETTINGS_INVALID_FILENAME_ERROR, a name that is not UTF-8 is
 * SETTINGS_FILENAME_ENCODING_ERROR), and the lock is on the file it leads
 * to or its directory, as above.
 * Waits at most waitMilliseconds for another holder to let go (0: one try;
 * a negative wait is SETTINGS_INVALID_ARGUMENT_ERROR). A file or directory
 * renamed or replaced while the call waited is locked afresh under its name.
 *   SETTINGS_LOCKED_ERROR        another writer held it, or another process
 *                                held a lease on the file, for the whole wait.
 *   SETTINGS_LOCK_REFUSED_ERROR  the file system refuses the lock (some
 *                                network file systems); nothing serializes
 *                                writers of this file there.
 *   SETTINGS_OPEN_FILE_ERROR     the directory is missing or cannot be
 *                                opened, or the name was refused.
 * Once granted, the name is found again: the file read and replaced through
 * the handle is the one that stood under the name when the lock was had
 * (and again after each replacement through it). Read and replace the file
 * through the handle, then release it. */
TAMO_SETTINGS_EXPORT int settings_lock_file(char const* fileName, int waitMilliseconds,
                                            settings_lock_t** lock) TAMO_SETTINGS_NOEXCEPT;
/* Lets the lock go and frees the handle, whatever the result: 0, or
 * SETTINGS_OPEN_FILE_ERROR when the kernel reported a failure to unlock or
 * close (the lock is gone all the same). NULL: SETTINGS_INVALID_ARGUMENT_ERROR. */
TAMO_SETTINGS_EXPORT int settings_lock_release(settings_lock_t* lock) TAMO_SETTINGS_NOEXCEPT;
/* *text, *size: the whole locked file as it is now (at most 1,048,575
 * bytes, else SETTINGS_FILE_TOO_BIG_ERROR), NUL-terminated, owned by the
 * handle and valid until its next read or release. A file that does not
 * exist gives *text NULL and *size 0 (an empty file gives ""); one that
 * exists but cannot be opened or read gives SETTINGS_READ_FILE_ERROR, so
 * that it is never taken for a missing one. */
TAMO_SETTINGS_EXPORT int settings_locked_file_read(settings_lock_t* lock, char const** text,
                                                   size_t* size) TAMO_SETTINGS_NOEXCEPT;
/* settings_replace_file_contents on the locked file, serialized with the
 * other holders of the lock. */
TAMO_SETTINGS_EXPORT int settings_locked_file_replace(settings_lock_t* lock, char const* text,
                                                      size_t size) TAMO_SETTINGS_NOEXCEPT;
/* context_import_from_file and context_export_to_file on the locked file
 * (the export creates no directory: the locked one exists). The decisive
 * read of a read-change-write is the one made under the lock. Unlike
 * context_import_from_file, only a missing file is SETTINGS_OPEN_FILE_ERROR;
 * one that exists but cannot be opened is SETTINGS_READ_FILE_ERROR. */
TAMO_SETTINGS_EXPORT int context_import_from_locked_file(
    settings_context_t* context, settings_lock_t* lock, settings_validator_t const* validator,
    settings_key_mapper_t const* keyMapper, int failFast,
    int allowKeysWithoutValues) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT int context_export_to_locked_file(
    settings_context_t* context, settings_lock_t* lock) TAMO_SETTINGS_NOEXCEPT;

/* The fourth table: files read, replaced and locked under the ownership
 * rule, each failure with a report of what was seen.
 *
 * The ownership rule, which every function of every table that opens,
 * reads, creates, locks or replaces a file follows: a name is followed one
 * component at a time through directory descriptors, links included, and
 * each step is judged by the owner of where it comes from. From a directory
 * or link owned by a user who is neither root nor the caller (the effective
 * uid), a step may reach only that user's own objects: directories, links,
 * the final file, "..", and the root directory an absolute link text
 * restarts from. Steps from what root or the caller owns are free. Who owns
 * a link never vouches for it; the chain it was reached through does. The
 * rule holds whatever the kernel's fs.protected_* settings say. Besides, a
 * file in a sticky directory that others than its owner may write (world or
 * group) is not written unless it belongs to the caller or to the
 * directory's owner, and no directory is made where the rule would refuse
 * the step into it. A refusal is SETTINGS_OPEN_FILE_ERROR, and nothing of
 * the refused file is read, created or changed. A name holding a backslash
 * is SETTINGS_INVALID_FILENAME_ERROR in every table. */

/* Why a file operation failed (settings_file_report_t.reason). */
enum {
  SETTINGS_PATH_NO_REASON = 0,      /* the status says all */
  SETTINGS_PATH_STEERED = 1,        /* a step from another user's directory or link
                                       reached what is not that user's */
  SETTINGS_PATH_PLANTED = 2,        /* another user's file in a sticky directory
                                       others may write: not written */
  SETTINGS_PATH_NOT_REGULAR = 3,    /* the name ends in something other than a
                                       regular file */
  SETTINGS_PATH_NOT_DIRECTORY = 4,  /* a component on the way is not a directory */
  SETTINGS_PATH_MISSING = 5,        /* a directory on the way does not exist */
  SETTINGS_PATH_DANGLING = 6,       /* the name ends in a link to nothing; nothing
                                       is created where a link points */
  SETTINGS_PATH_TOO_MANY_LINKS = 7, /* more than 40 links on the way, or a loop */
  SETTINGS_PATH_SYSTEM = 8,         /* a system call failed: systemError says why */
  SETTINGS_PATH_BUSY = 9,           /* another process's lease on the file outlasted
                                       the wait */
  SETTINGS_PATH_REPLACED = 10,      /* the name came to stand for another file
                                       while it was in use */
  SETTINGS_PATH_UNTRUSTED = 11,     /* fifth table: a file of a layout that others
                                       than root and the caller could have written */
  SETTINGS_PATH_NOT_A_MASK = 12     /* fifth table: a file with settings stands where
                                       a mask was to be made or removed */
};

/* What a file holds after a failed replacement (settings_file_report_t.fileState). */
enum {
  SETTINGS_FILE_UNTOUCHED = 0,     /* as it was, or still absent: nothing was written */
  SETTINGS_FILE_NEW_UNSYNCED = 1,  /* the new text, whole, not yet safe from a power cut */
  SETTINGS_FILE_MAY_BE_CHANGED = 2 /* an in-place rewrite failed: the new text, or the
                                      new text followed by the end of the old one */
};

typedef struct settings_file_report_t {
  int reason;      /* SETTINGS_PATH_* */
  int component;   /* from 1: the component of the name at which the walk stopped
                      (a component met in a link's text counts as the one whose
                      link led there); 0 when the failure is not on the way */
  long long owner; /* for SETTINGS_PATH_STEERED, the uid whose directory or link
                      the refused step came from; for SETTINGS_PATH_PLANTED, the
                      planted file's owner; -1 otherwise */
  int systemError; /* the errno of the call that failed, or 0 */
  int fileState;   /* SETTINGS_FILE_* */
} settings_file_report_t;

typedef struct settings_api4_t {
  int (*settings_file_read)(char const* fileName, int waitMilliseconds, char** text, size_t* size,
                            settings_file_report_t* report);
  void (*settings_text_free)(char* text);
  int (*settings_file_replace)(char const* fileName, char const* text, size_t size,
                               settings_file_report_t* report);
  int (*settings_file_lock)(char const* fileName, int waitMilliseconds, settings_lock_t** lock,
                            settings_file_report_t* report);
  int (*settings_lock_last_report)(settings_lock_t* lock, settings_file_report_t* report);
} settings_api4_t;

/* Fills *api with the functions of the fourth table; NULL is ignored. */
TAMO_SETTINGS_EXPORT void settings_api4_get(settings_api4_t* api) TAMO_SETTINGS_NOEXCEPT;

/* In every function below, report may be NULL; when it is not, it is
 * written whatever the result (all zero but owner -1 on success). */

/* *text, *size: the whole file (at most 1,048,575 bytes, else
 * SETTINGS_FILE_TOO_BIG_ERROR), NUL-terminated, for the caller to free with
 * settings_text_free. A file that does not exist, or a name ending in a
 * link to nothing, gives *text NULL and *size 0 with status 0 (an empty
 * file gives a text of size 0); a missing directory on the way is
 * SETTINGS_OPEN_FILE_ERROR. The open never blocks: a FIFO, a device or a
 * socket is refused (SETTINGS_PATH_NOT_REGULAR), and a lease held by
 * another process is waited out for at most waitMilliseconds, then
 * SETTINGS_LOCKED_ERROR (SETTINGS_PATH_BUSY). A read error is
 * SETTINGS_READ_FILE_ERROR. */
TAMO_SETTINGS_EXPORT int settings_file_read(char const* fileName, int waitMilliseconds, char** text,
                                            size_t* size,
                                            settings_file_report_t* report) TAMO_SETTINGS_NOEXCEPT;
/* Frees a text of settings_file_read; NULL does nothing. */
TAMO_SETTINGS_EXPORT void settings_text_free(char* text) TAMO_SETTINGS_NOEXCEPT;
/* settings_replace_file_contents, with its report. */
TAMO_SETTINGS_EXPORT int settings_file_replace(char const* fileName, char const* text, size_t size,
                                               settings_file_report_t* report)
    TAMO_SETTINGS_NOEXCEPT;
/* settings_lock_file, with its report. */
TAMO_SETTINGS_EXPORT int settings_file_lock(char const* fileName, int waitMilliseconds,
                                            settings_lock_t** lock,
                                            settings_file_report_t* report) TAMO_SETTINGS_NOEXCEPT;
/* *report: what the last read or replacement through lock saw (all zero but
 * owner -1 when it succeeded, or before the first). */
TAMO_SETTINGS_EXPORT int settings_lock_last_report(
    settings_lock_t* lock, settings_file_report_t* report) TAMO_SETTINGS_NOEXCEPT;

/* The fifth table: layered settings. A layout names one settings file that
 * several hierarchies of folders may hold, lowest first, such as the
 * vendor's "/usr/lib/APP", "/run/APP" and the administrator's "/etc/APP",
 * each with a folder "NAME.d" of drop-ins beside the main file NAME. One
 * import reads the layout as one configuration:
 * - The main file of the highest hierarchy that has one wins whole; the
 *   lower ones are not applied.
 * - A mask is a file of zero bytes or a link whose text is "/dev/null". It
 *   adds nothing and hides the files of its name in lower hierarchies. A
 *   file of comments only is not a mask: it wins with no keys.
 * - Drop-ins are the files of every hierarchy's NAME.d whose names end in
 *   the suffix (by default the main name's, from its last dot; ".conf" when
 *   it has none). They are applied after the main file, even a masked or
 *   missing one, in the byte order of their names, whatever the locale,
 *   across hierarchies: a drop-in "50-vendor.conf" beats "10-admin.conf"
 *   wherever each lies. Of drop-ins of one name, only the highest
 *   hierarchy's counts. NAME.d is not searched below its own entries.
 * - Skipped, never read: names that begin with a dot (which covers editors'
 *   ".#NAME" and ".NAME.swp"), names that end in "~", ".rpmnew", ".rpmsave"
 *   or ".swp" or hold ".dpkg-", and names without the suffix.
 * - Missing hierarchies, files and folders are simply absent, as is a
 *   drop-in that is a link to nothing.
 * - Fail closed. The import fails, with the context unchanged, on the
 *   first file or folder it must read that cannot be: refused by the
 *   ownership rule or not regular (a FIFO, a device, a folder with the
 *   suffix: SETTINGS_OPEN_FILE_ERROR or SETTINGS_READ_FILE_ERROR), unreadable
 *   (SETTINGS_OPEN_FILE_ERROR), of 1 MiB or more (SETTINGS_FILE_TOO_BIG_ERROR),
 *   or one that others than root and the caller could have written: owned
 *   by another user, writable by group or others, or in a hierarchy or
 *   NAME.d folder that group or others may write (SETTINGS_OPEN_FILE_ERROR,
 *   reason SETTINGS_PATH_UNTRUSTED). More than 1,024 drop-ins is
 *   SETTINGS_TOO_MANY_FILES_ERROR. The layout then names the file.
 * - Keys merge as if the applied files were imported one after another:
 *   in a file, the last line of a key wins.
 * Files that were replaced or masked are read only to show what they would
 * have given (settings_layout_key_origin); one that cannot be read then is
 * passed over without error.
 *
 * A layout handle is used by one thread at a time. Paths it hands out are
 * owned by it and valid until its next import or settings_layout_free. */
typedef struct settings_layout_t settings_layout_t;

/* What became of a file or folder of a layout (settings_layout_file). */
enum {
  SETTINGS_LAYOUT_APPLIED = 0,          /* read and applied */
  SETTINGS_LAYOUT_MASK = 1,             /* a mask: hides its name below, adds nothing */
  SETTINGS_LAYOUT_REPLACED = 2,         /* not applied: the file "by" of its name
                                           in a higher hierarchy wins */
  SETTINGS_LAYOUT_MASKED = 3,           /* not applied: the mask "by" hides it */
  SETTINGS_LAYOUT_SKIPPED_HIDDEN = 4,   /* not read: its name begins with a dot */
  SETTINGS_LAYOUT_SKIPPED_LEFTOVER = 5, /* not read: an editor's or package
                                           manager's leftover */
  SETTINGS_LAYOUT_SKIPPED_SUFFIX = 6,   /* not read: its name lacks the suffix */
  SETTINGS_LAYOUT_DANGLING = 7,         /* a link to nothing: absent */
  SETTINGS_LAYOUT_REFUSED = 8           /* the import failed here; its report says why */
};

/* Why an assignment of a key is, or is not, its value (settings_layout_key_origin). */
enum {
  SETTINGS_ORIGIN_EFFECTIVE = 0,  /* the value the import gave the key */
  SETTINGS_ORIGIN_LATER_LINE = 1, /* a later line of the same file set the key */
  SETTINGS_ORIGIN_LATER_FILE = 2, /* a later applied file, "by", set the key */
  SETTINGS_ORIGIN_REPLACED = 3,   /* its file was replaced by "by", of its name
                                     in a higher hierarchy */
  SETTINGS_ORIGIN_MASKED = 4      /* its file was masked by "by" */
};

typedef struct settings_api5_t {
  int (*settings_layout_create)(char const* mainName, settings_layout_t** layout);
  void (*settings_layout_free)(settings_layout_t* layout);
  int (*settings_layout_add_hierarchy)(settings_layout_t* layout, char const* folder);
  int (*settings_layout_add_default_hierarchies)(settings_layout_t* layout, char const* project);
  int (*settings_layout_set_suffix)(settings_layout_t* layout, char const* suffix);
  int (*settings_layout_set_root)(settings_layout_t* layout, char const* root);
  int (*context_import_layout)(settings_context_t* context, settings_layout_t* layout,
                               settings_validator_t const* validator,
                               settings_key_mapper_t const* keyMapper, int failFast,
                               int allowKeysWithoutValues);
  int (*settings_layout_file_count)(settings_layout_t* layout, int* count);
  int (*settings_layout_file)(settings_layout_t* layout, int index, char const** path,
                              int* hierarchy, int* fate, int* by);
  int (*settings_layout_file_report)(settings_layout_t* layout, int index,
                                     settings_file_report_t* report);
  int (*settings_layout_refused_lines)(settings_layout_t* layout, int index,
                                       settings_refused_line_t const** lines, int* count);
  int (*settings_layout_key_origin_count)(settings_layout_t* layout, char const* key, int* count);
  int (*settings_layout_key_origin)(settings_layout_t* layout, char const* key, int index,
                                    int* file, int* line, int* why, int* by, char const** value);
  int (*settings_layout_dropin_path)(settings_layout_t* layout, char const* name, int create,
                                     char const** path, settings_file_report_t* report);
  int (*settings_layout_set_mask)(settings_layout_t* layout, char const* name, int masked,
                                  int* changed, settings_file_report_t* report);
} settings_api5_t;

/* Fills *api with the functions of the fifth table; NULL is ignored. */
TAMO_SETTINGS_EXPORT void settings_api5_get(settings_api5_t* api) TAMO_SETTINGS_NOEXCEPT;

/* *layout: a new layout of the main file mainName, a plain file name (no
 * "/", not "." or ".."; else SETTINGS_INVALID_FILENAME_ERROR; not UTF-8:
 * SETTINGS_FILENAME_ENCODING_ERROR), without hierarchies yet. */
TAMO_SETTINGS_EXPORT int settings_layout_create(char const* mainName,
                                                settings_layout_t** layout) TAMO_SETTINGS_NOEXCEPT;
TAMO_SETTINGS_EXPORT void settings_layout_free(settings_layout_t* layout) TAMO_SETTINGS_NOEXCEPT;
/* Adds folder, an absolute path, above the hierarchies added before it
 * (SETTINGS_INVALID_FILENAME_ERROR for a relative one). */
TAMO_SETTINGS_EXPORT int settings_layout_add_hierarchy(settings_layout_t* layout,
                                                       char const* folder) TAMO_SETTINGS_NOEXCEPT;
/* Adds "/usr/lib/PROJECT", "/run/PROJECT" and "/etc/PROJECT", in that order;
 * project is a relative path without "." or ".." components. */
TAMO_SETTINGS_EXPORT int settings_layout_add_default_hierarchies(
    settings_layout_t* layout, char const* project) TAMO_SETTINGS_NOEXCEPT;
/* The drop-ins' suffix, such as ".conf": not empty, no "/". */
TAMO_SETTINGS_EXPORT int settings_layout_set_suffix(settings_layout_t* layout,
                                                    char const* suffix) TAMO_SETTINGS_NOEXCEPT;
/* A folder that stands in for "/" (an image, a test): hierarchies, absolute
 * link texts and ".." stay inside it. "" or "/" is the real root again. */
TAMO_SETTINGS_EXPORT int settings_layout_set_root(settings_layout_t* layout,
                                                  char const* root) TAMO_SETTINGS_NOEXCEPT;
/* Reads the layout by the rules above and merges the result over the
 * context's entries, as context_import_from_file merges one file: the same
 * validator, key mapper and switches, applied to each file. Refused lines
 * are recorded per file (settings_layout_refused_lines) and printed as
 * "Error reading config file: PATH: MESSAGE" when the context prints
 * them; the result is then SETTINGS_INVALID_VALUE_ERROR. With failFast the
 * first refused line ends the import and nothing is merged. A layout
 * without hierarchies, or with none present, imports nothing. The
 * context's own record of its last import (context_get_key_line and the
 * like) is emptied; the layout keeps what this import saw, also when it
 * failed. */
TAMO_SETTINGS_EXPORT int context_import_layout(settings_context_t* context,
                                               settings_layout_t* layout,
                                               settings_validator_t const* validator,
                                               settings_key_mapper_t const* keyMapper, int failFast,
                                               int allowKeysWithoutValues) TAMO_SETTINGS_NOEXCEPT;
/* *count: the files and folders the last import met (0 before one), listed
 * in order of precedence, lowest first: the main files by hierarchy, then
 * the drop-ins by name and, within a name, by hierarchy. */
TAMO_SETTINGS_EXPORT int settings_layout_file_count(settings_layout_t* layout,
                                                    int* count) TAMO_SETTINGS_NOEXCEPT;
/* The index-th of them (SETTINGS_KEY_NOT_FOUND_ERROR out of range): its
 * *path (the root prefix included), the *hierarchy it lies in (from 0,
 * lowest first), its *fate (SETTINGS_LAYOUT_*) and, for REPLACED and
 * MASKED, the index of the file that did it in *by (else -1). Any of the
 * out-pointers may be NULL. */
TAMO_SETTINGS_EXPORT int settings_layout_file(settings_layout_t* layout, int index,
                                              char const** path, int* hierarchy, int* fate,
                                              int* by) TAMO_SETTINGS_NOEXCEPT;
/* *report: for a REFUSED file, why (as the fourth table reports); for the
 * others all zero but owner -1. */
TAMO_SETTINGS_EXPORT int settings_layout_file_report(
    settings_layout_t* layout, int index, settings_file_report_t* report) TAMO_SETTINGS_NOEXCEPT;
/* *lines, *count: the refused lines of the index-th file, in line order
 * (NULL and 0 when none), valid until the next import or free. */
TAMO_SETTINGS_EXPORT int settings_layout_refused_lines(settings_layout_t* layout, int index,
                                                       settings_refused_line_t const** lines,
                                                       int* count) TAMO_SETTINGS_NOEXCEPT;
/* *count: the lines of the last import's files that set key (as stored,
 * after key mapping), applied or not; SETTINGS_KEY_NOT_FOUND_ERROR when
 * none did. */
TAMO_SETTINGS_EXPORT int settings_layout_key_origin_count(settings_layout_t* layout,
                                                          char const* key,
                                                          int* count) TAMO_SETTINGS_NOEXCEPT;
/* The index-th of those lines, in order of precedence (the effective one,
 * when there is one, is the last): its *file (an index of
 * settings_layout_file), *line (from 0), *why (SETTINGS_ORIGIN_*), *by
 * (the file that beat it, or -1) and *value, the value as that line writes
 * it (NULL for a key without a value), valid until the next call of this
 * function, the next import or free. Out-pointers may be NULL;
 * SETTINGS_KEY_NOT_FOUND_ERROR out of range. */
TAMO_SETTINGS_EXPORT int settings_layout_key_origin(settings_layout_t* layout, char const* key,
                                                    int index, int* file, int* line, int* why,
                                                    int* by,
                                                    char const** value) TAMO_SETTINGS_NOEXCEPT;
/* In the two functions below, report may be NULL; when it is not, it is
 * written whatever the result, as in the fourth table. */
/* *path: where the administrator's drop-in name (a plain name with the
 * suffix that the import would read; else SETTINGS_INVALID_FILENAME_ERROR)
 * lies: in NAME.d of the highest hierarchy, the root prefix included. With
 * create, every missing folder on the way is made (mode 0755), each judged
 * by the ownership rule before it is made. Valid until the next call or
 * free. */
TAMO_SETTINGS_EXPORT int settings_layout_dropin_path(
    settings_layout_t* layout, char const* name, int create, char const** path,
    settings_file_report_t* report) TAMO_SETTINGS_NOEXCEPT;
/* Masks (masked non-zero) or unmasks the file name in the highest
 * hierarchy: the main name masks the main file, a drop-in name (with the
 * suffix) that drop-in. A mask is a link to "/dev/null", made in the folder
 * (made as settings_layout_dropin_path makes it) and synced. Unmasking
 * removes a link to "/dev/null" or an empty file there. *changed: 0 when
 * the name was already as asked. Any other file standing there is left
 * alone: SETTINGS_OPEN_FILE_ERROR with SETTINGS_PATH_NOT_A_MASK. */
TAMO_SETTINGS_EXPORT int settings_layout_set_mask(
    settings_layout_t* layout, char const* name, int masked, int* changed,
    settings_file_report_t* report) TAMO_SETTINGS_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* TAMO_SETTINGS_H */
