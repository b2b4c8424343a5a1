// Status codes and the exceptions that carry them inside the library, and the
// one place where exceptions become status codes at the C boundary.
#ifndef TAMO_SETTINGS_SHARE_STATUS_H
#define TAMO_SETTINGS_SHARE_STATUS_H

#include <tamo/settings.h>

#include <exception>
#include <stdexcept>

namespace settings {

// The library's failure with a status code of its own. Its message is always
// empty: the code is the whole report.
class Exception : public std::runtime_error {
 public:
  explicit Exception(int code) : std::runtime_error(""), code(code) {}

  int code;
};

}  // namespace settings

namespace settings_impl {

template <int N>
class ExceptionCode : public settings::Exception {
 public:
  ExceptionCode() : settings::Exception(N) {}
};

using TypeMismatchError = ExceptionCode<SETTINGS_TYPE_MISMATCH_ERROR>;
using ValueFormatError = ExceptionCode<SETTINGS_VALUE_FORMAT_ERROR>;
using KeyNotFoundError = ExceptionCode<SETTINGS_KEY_NOT_FOUND_ERROR>;

// Where a conversion was asked for; handed along for diagnostics, read by nobody.
struct SourceCodePos {
  char const* file;
  char const* function;
  int line;
};

#define SETTINGS_SOURCE_POS (::settings_impl::SourceCodePos{__FILE__, __func__, __LINE__})

class IParserCursor;

int onError(SourceCodePos const& pos, settings::Exception const& e);
int onError(SourceCodePos const& pos, int code);
int onError(SourceCodePos const& pos, std::exception const& e);
int onUnknownError(SourceCodePos const& pos);
// Prints "Error reading config file: <message>" on standard error and returns
// SETTINGS_INVALID_VALUE_ERROR.
int onError(SourceCodePos const& pos, IParserCursor const& cursor, char const* message);

template <typename T>
void verifyIsEqual(T expected, T actual, int code) {
  if (!(expected == actual))
    throw settings::Exception(code);
}

template <typename T>
void verifyIsNotEqual(T unexpected, T actual, int code) {
  if (unexpected == actual)
    throw settings::Exception(code);
}

// Runs body and turns whatever it throws into a status code. The order of the
// handlers matters: settings::Exception is itself a std::exception.
template <typename Body>
int translateExceptions(SourceCodePos const& pos, Body&& body) noexcept {
  try {
    body();
    return SETTINGS_NO_ERROR;
  } catch (settings::Exception const& e) {
    return onError(pos, e);
  } catch (std::exception const& e) {
    return onError(pos, e);
  } catch (...) {
    return onUnknownError(pos);
  }
}

}  // namespace settings_impl

#endif  // TAMO_SETTINGS_SHARE_STATUS_H
