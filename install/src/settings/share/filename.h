// File names: checked when made, cut into components, and put into canonical
// absolute form. Canonicalization is textual; it follows no link.
#ifndef TAMO_SETTINGS_SHARE_FILENAME_H
#define TAMO_SETTINGS_SHARE_FILENAME_H

#include <string>
#include <vector>

namespace settings_impl {

class FilenameBase {
 public:
  // A non-empty text must be UTF-8 (else FILENAME_ENCODING_ERROR, 312) and
  // pass the platform's name checks. A null text raises std::logic_error.
  explicit FilenameBase(char const* text);

  std::string const& getPath() const { return path; }
  char const* c_str() const { return path.c_str(); }

 protected:
  std::string path;
};

class Filename : public FilenameBase {
 public:
  explicit Filename(char const* text) : FilenameBase(text) {}
  explicit Filename(std::string const& text) : FilenameBase(text.c_str()) {}

  // Cuts the name at '/' and '\' into components without empty and "."
  // ones; an absolute name's first component is "" (the root). Returns
  // whether the name is absolute. An empty name raises
  // INVALID_FILENAME_ERROR (311).
  bool tokenize(std::vector<std::string>& components) const;
  // The absolute name without ".", ".." and empty components, the working
  // directory in front of a relative name. 311 for an empty name or ".."
  // above the root; UNKNOWN_ERROR (200) when the working directory cannot be
  // read or is not absolute; 312 when it is not UTF-8.
  Filename canonicalize() const;
  bool isCanonical() const { return canonical; }

 private:
  bool canonical = false;
};

// A caller's file name as the kernel will read it, checked as a Filename is
// (312 when not UTF-8). A backslash is INVALID_FILENAME_ERROR (311): the
// first table once read it as a separator, so a caller that screened a name
// for '/' and ".." alone could be led out of its folder by it.
std::string kernelName(char const* text);
// INVALID_FILENAME_ERROR (311) when name holds a backslash.
void refuseBackslash(std::string const& name);

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_FILENAME_H
