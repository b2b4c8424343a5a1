/* A user's program in C: one import, one query, one export and its re-import. */
#include <tamo/settings.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  settings_api_t api;
  settings_context_t* written;
  settings_context_t* read;
  char path[4096];
  int answer = 0;
  int equal = 0;
  int failed;

  if (argc != 2)
    return 2;
  snprintf(path, sizeof path, "%s/c.cfg", argv[1]);
  settings_api_get(&api);
  written = api.context_create();
  read = api.context_create();
  failed = written == NULL || read == NULL ||
           api.context_import_from_string(written, "answer=42\nname=tamo", NULL, NULL, 1, 0) ||
           api.context_get_integer_value(written, "answer", &answer) || answer != 42 ||
           api.context_export_to_file(written, path) ||
           api.context_import_from_file(read, path, NULL, NULL, 1, 0) ||
           api.context_is_equal(written, read, &equal) || equal != 1;
  api.context_free(read);
  api.context_free(written);
  puts(failed ? "C program: failed" : "C program: ok");
  return failed;
}
