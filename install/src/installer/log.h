// The installer's only output channel: the system log.
#ifndef TAMO_INSTALLER_LOG_H
#define TAMO_INSTALLER_LOG_H

class Log {
 public:
  // Formats like printf and logs the result at error priority. When the text
  // cannot be formatted, "vasprintf() failed" is logged instead.
  static void writeLogFormatted(char const* format, ...) __attribute__((format(printf, 1, 2)));

  // Logs text as it stands: it is passed as an argument of "%s", so a "%" in
  // it (say, in a file name) is never taken for a directive.
  static void writeLog(char const* text);
};

#endif  // TAMO_INSTALLER_LOG_H
