// A user's program in C++: the same session as the C program, with the
// contexts owned by smart pointers.
#include <tamo/settings.h>

#include <iostream>
#include <memory>
#include <string>

namespace {

struct ContextDeleter {
  void operator()(settings_context_t* context) const noexcept { context_free(context); }
};
using Context = std::unique_ptr<settings_context_t, ContextDeleter>;

bool roundTrip(settings_api_t const& api, std::string const& path) {
  Context written(api.context_create());
  Context read(api.context_create());
  int answer = 0;
  int equal = 0;
  return written && read &&
         api.context_import_from_string(written.get(), "answer=42\nname=tamo", nullptr, nullptr, 1,
                                        0) == SETTINGS_NO_ERROR &&
         api.context_get_integer_value(written.get(), "answer", &answer) == SETTINGS_NO_ERROR &&
         answer == 42 &&
         api.context_export_to_file(written.get(), path.c_str()) == SETTINGS_NO_ERROR &&
         api.context_import_from_file(read.get(), path.c_str(), nullptr, nullptr, 1, 0) ==
             SETTINGS_NO_ERROR &&
         api.context_is_equal(written.get(), read.get(), &equal) == SETTINGS_NO_ERROR && equal == 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  settings_api_t api;
  settings_api_get(&api);
  bool const ok = roundTrip(api, std::string(argv[1]) + "/cxx.cfg");
  std::cout << (ok ? "C++ program: ok" : "C++ program: failed") << '\n';
  return ok ? 0 : 1;
}
