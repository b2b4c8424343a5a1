#include "status.h"

#include <iostream>

namespace settings_impl {

int onError(SourceCodePos const&, settings::Exception const& e) {
  return e.code;
}

int onError(SourceCodePos const&, int code) {
  return code;
}

int onError(SourceCodePos const&, std::exception const&) {
  return SETTINGS_UNKNOWN_ERROR;
}

int onUnknownError(SourceCodePos const&) {
  return SETTINGS_UNKNOWN_ERROR;
}

int onError(SourceCodePos const&, IParserCursor const&, char const* message) {
  // The message already names the line and character, so the cursor adds nothing.
  // The report is a courtesy: a host that asked std::cerr to throw on failure
  // must still get the refused line's status, not an exception of its stream.
  try {
    std::cerr << "Error reading config file: " << message << '\n';
    std::cerr.flush();
  } catch (...) {
  }
  try {
    if (std::cerr.fail())
      std::cerr.clear();  // a closed stderr must not poison later reports
  } catch (...) {
    // Clearing a stream without a buffer sets badbit again, and throws with it.
  }
  return SETTINGS_INVALID_VALUE_ERROR;
}

}  // namespace settings_impl
