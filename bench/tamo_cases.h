// This library's side of the benchmark: every operation goes through the C
// table, as a program linking the library would call it.
#ifndef TAMO_BENCH_TAMO_CASES_H
#define TAMO_BENCH_TAMO_CASES_H

#include <tamo/settings.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tamo_bench {

settings_api_t const& api();
settings_api5_t const& api5();

// The installer's validator and key mapper, built from its own tables.
class InstallerRules {
 public:
  InstallerRules();  // std::runtime_error when a builder call fails
  ~InstallerRules();
  InstallerRules(InstallerRules const&) = delete;
  InstallerRules& operator=(InstallerRules const&) = delete;

  settings_validator_t const* validator() const { return validatorHandle; }
  settings_key_mapper_t const* keyMapper() const { return keyMapperHandle; }

 private:
  settings_validator_t* validatorHandle = nullptr;
  settings_key_mapper_t* keyMapperHandle = nullptr;
};

// An owned context.
class Context {
 public:
  Context();  // std::bad_alloc when the library cannot make one
  ~Context();
  Context(Context const&) = delete;
  Context& operator=(Context const&) = delete;

  settings_context_t* get() const { return context; }
  // Imports with fail-fast off and keys without values refused, the
  // installer's settings; rules may be null. Throws std::runtime_error for
  // any status but 0.
  void importFile(char const* path, InstallerRules const* rules);
  // context_import_from_string, fail-fast off; std::runtime_error.
  void importString(char const* text);
  // context_import_from_context; std::runtime_error for any status but 0.
  void importFrom(Context const& source);
  void exportTo(char const* path);  // std::runtime_error for any status but 0
  // Reads every value by its key, as a program that uses them all; returns
  // how many were read.
  std::size_t readEveryValue() const;
  std::size_t keyCount() const;

 private:
  settings_context_t* context;
};

// A layout of one main file in hierarchies under a root folder, built once
// and imported as often as wanted.
class Layout {
 public:
  // std::runtime_error when the library refuses a name or folder.
  Layout(char const* mainName, std::string const& root,
         std::vector<std::string> const& hierarchies);
  ~Layout();
  Layout(Layout const&) = delete;
  Layout& operator=(Layout const&) = delete;

  // context_import_layout, no validator or key mapper, fail-fast off and
  // keys without values refused; std::runtime_error for any status but 0.
  void importInto(Context& context);

 private:
  settings_layout_t* layout = nullptr;
};

// A new context imports the layout and is freed.
void importLayoutIntoNewContext(Layout& layout);

// A new context imports the layout, the value of every key in keys is read
// with context_get_utf8_value, and it is freed. Returns how many were found.
std::size_t importLayoutAndLookUp(Layout& layout, std::vector<std::string> const& keys);

// What a program does to read a settings file: a new context imports path
// and is freed.
void importIntoNewContext(char const* path, InstallerRules const* rules);

// The same for a text through context_import_from_string.
void importStringIntoNewContext(char const* text);

// A new context imports path, every value is read back, and it is freed.
std::size_t importAndReadEveryValue(char const* path);

// The installer's run through the table, with its checks and in its order,
// on the given paths and without its logging: the system file, then the
// input file, then the export to the system file, then the four keys read as
// integers. Returns how many of the four keys read; throws
// std::runtime_error where the installer would stop.
int runInstallerFlow(InstallerRules const& rules, char const* systemFile, char const* inputFile);

}  // namespace tamo_bench

#endif  // TAMO_BENCH_TAMO_CASES_H
