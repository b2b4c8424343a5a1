// The settings library as the tool uses it: through its tables only.
#ifndef TAMO_SETTINGS_TOOL_LIBRARY_H
#define TAMO_SETTINGS_TOOL_LIBRARY_H

#include <tamo/settings.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamo_tool {

settings_api_t const& api();
settings_api2_t const& api2();
// Files read, replaced and locked, each failure with what the walk saw.
settings_api4_t const& api4();
// Layouts: vendor, runtime and administrator hierarchies read as one.
settings_api5_t const& api5();

struct ContextFree {
  void operator()(settings_context_t* context) const noexcept { api().context_free(context); }
};
using Context = std::unique_ptr<settings_context_t, ContextFree>;

// A context that records refused lines without printing them.
Context newContext();

// The rules a file is read with: none, or exactly the installer's.
class ReadRules {
 public:
  explicit ReadRules(bool installer);
  ~ReadRules();
  ReadRules(ReadRules const&) = delete;
  ReadRules& operator=(ReadRules const&) = delete;

  bool installer() const { return validator != nullptr; }
  // The key as the rules store it (the installer's keys in upper case).
  std::string storedKey(std::string const& key) const;

  settings_validator_t* validator = nullptr;
  settings_key_mapper_t* keyMapper = nullptr;
};

struct RefusedLine {
  int line;       // from 0
  int character;  // from 0
  int kind;       // SETTINGS_REFUSED_*
};

struct Import {
  int status;  // of the import: 0, 313 (refused lines) or 314 (not UTF-8)
  std::vector<RefusedLine> refused;
};

// Imports text (all its bytes, as a file holding them is read) over
// context's entries with the rules, every accepted line merged. Failures
// other than refused lines and bad UTF-8 raise ToolError.
Import importText(settings_context_t* context, std::string_view text, ReadRules const& rules);

using KeyLines = std::map<std::string, std::vector<int>, std::less<>>;
// Every line of the last import that gave each of keys a value, in line
// order; found in one pass over the text.
KeyLines keyLinesOf(settings_context_t* context, std::vector<std::string> const& keys);

// Keys in byte order.
std::vector<std::string> keysOf(settings_context_t* context);
// The value's text; nothing when the key is absent.
std::optional<std::string> valueOf(settings_context_t* context, std::string const& key);
// The line that gave key its value in the last import; -1 for none.
int keyLine(settings_context_t* context, std::string const& key);
// As the export would write it.
std::string exportText(settings_context_t* context);
bool isEqual(settings_context_t* context, settings_context_t* other);
void mergeInto(settings_context_t* target, settings_context_t* source);
void eraseKey(settings_context_t* context, std::string const& key);

// A library status that is the tool's fault or the library's.
[[noreturn]] void internalFailure(char const* what, int status);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_LIBRARY_H
