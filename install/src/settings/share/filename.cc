#include "filename.h"

#include <algorithm>
#include <stdexcept>

#include "../platform/platform.h"
#include "status.h"
#include "value.h"

namespace settings_impl {

namespace {

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

// Calls visit(offset, size) for every component of text between separators
// that is neither empty nor ".", in order.
template <typename Visit>
void forEachComponent(std::string const& text, Visit visit) {
  std::size_t offset = 0;
  while (offset < text.size()) {
    std::size_t separator = offset;
    while (separator < text.size() && !isSeparator(text[separator]))
      ++separator;
    std::size_t const size = separator - offset;
    if (size != 0 && !(size == 1 && text[offset] == '.'))
      visit(offset, size);
    offset = separator + 1;
  }
}

// Cuts text at '/' and '\' and drops the void components; an absolute name
// gets one empty component in front, standing for the root. Returns whether
// the name is absolute. components is replaced only on success.
bool tokenizePath(std::string const& text, std::vector<std::string>& components) {
  if (text.empty())
    throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
  bool const absolute = isSeparator(text.front());
  std::vector<std::string> kept;
  if (absolute)
    kept.emplace_back();
  forEachComponent(
      text, [&](std::size_t offset, std::size_t size) { kept.emplace_back(text, offset, size); });
  components.swap(kept);
  return absolute;
}

// Whether text is already what canonicalize makes of it: "/" followed by
// components joined with single '/', none of them "." or "..". Every import
// canonicalizes its file name, which usually is of this form already.
bool isCanonicalText(std::string const& text) {
  if (text.empty() || text.front() != '/')
    return false;
  if (text.size() == 1)
    return true;
  if (text.back() == '/')
    return false;
  for (std::size_t offset = 1; offset <= text.size();) {
    std::size_t separator = offset;
    while (separator < text.size() && !isSeparator(text[separator]))
      ++separator;
    std::size_t const size = separator - offset;
    bool const dots = (size == 1 || size == 2) && text.compare(offset, size, "..", size) == 0;
    if (size == 0 || dots || (separator < text.size() && text[separator] != '/'))
      return false;
    offset = separator + 1;
  }
  return true;
}

// Each ".." takes away the component before it; one right after the root
// would climb above it.
void resolveParentReferences(std::vector<std::string>& components) {
  if (std::find(components.begin(), components.end(), "..") == components.end())
    return;
  std::vector<std::string> resolved;
  for (std::string& component : components) {
    if (component != "..") {
      resolved.push_back(std::move(component));
    } else if (resolved.size() <= 1) {
      throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
    } else {
      resolved.pop_back();
    }
  }
  components.swap(resolved);
}

// components begins with the root.
std::string joinAbsolute(std::vector<std::string> const& components) {
  if (components.size() <= 1)
    return "/";
  std::size_t size = 0;
  for (std::string const& component : components)
    size += component.size() + 1;
  std::string joined;
  joined.reserve(size);
  for (std::size_t i = 1; i < components.size(); ++i) {
    joined += '/';
    joined += components[i];
  }
  return joined;
}

// The working directory's components; it must name an absolute directory.
std::vector<std::string> workingDirectoryComponents() {
  std::string const directory = platform::getCurDir();
  std::vector<std::string> components;
  if (directory.empty() || !tokenizePath(directory, components)) {
    throw settings::Exception(SETTINGS_UNKNOWN_ERROR);
  }
  return components;
}

}  // namespace

FilenameBase::FilenameBase(char const* text) {
  if (text == nullptr)
    throw std::logic_error("file name expected, got a null pointer");
  path = text;
  if (path.empty())
    return;
  char const* const end = path.data() + path.size();
  if (validateUtf8Sequence(path.data(), end) != end) {
    throw settings::Exception(SETTINGS_FILENAME_ENCODING_ERROR);
  }
  platform::verifyFilenameLength(path);
  // One text reused for every component rather than a vector of them.
  std::string component;
  forEachComponent(path, [&](std::size_t offset, std::size_t size) {
    component.assign(path, offset, size);
    platform::verifyFilenameComponent(component);
  });
}

bool Filename::tokenize(std::vector<std::string>& components) const {
  return tokenizePath(path, components);
}

Filename Filename::canonicalize() const {
  if (canonical)
    return *this;
  if (isCanonicalText(path)) {
    Filename same(*this);
    same.canonical = true;
    return same;
  }
  std::vector<std::string> components;
  bool const absolute = tokenizePath(path, components);
  if (!absolute) {
    std::vector<std::string> relative;
    relative.swap(components);
    components = workingDirectoryComponents();
    components.insert(components.end(), relative.begin(), relative.end());
  }
  resolveParentReferences(components);
  std::string joined = joinAbsolute(components);
  // An absolute name that is already canonical was checked when it was made;
  // only a name that gained the working directory must be checked again.
  if (absolute && joined == path) {
    Filename same(*this);
    same.canonical = true;
    return same;
  }
  Filename result(joined);
  result.canonical = true;
  return result;
}

void refuseBackslash(std::string const& name) {
  if (name.find('\\') != std::string::npos)
    throw settings::Exception(SETTINGS_INVALID_FILENAME_ERROR);
}

std::string kernelName(char const* text) {
  Filename const name(text);
  refuseBackslash(name.getPath());
  return name.getPath();
}

}  // namespace settings_impl
