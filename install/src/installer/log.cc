#include "log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void Log::writeLogFormatted(char const* format, ...) {
  char* text = nullptr;
  va_list arguments;
  va_start(arguments, format);
  int const length = vasprintf(&text, format, arguments);
  va_end(arguments);
  if (length == -1) {
    writeLog("vasprintf() failed");
    return;
  }
  writeLog(text);
  std::free(text);
}

// Informational messages go out at LOG_ERR too: whoever collects the log of an
// installation filters at that priority and must see every message. The
// process keeps the platform's default identity and facility (no openlog).
void Log::writeLog(char const* text) {
  syslog(LOG_ERR, "%s", text);
}
