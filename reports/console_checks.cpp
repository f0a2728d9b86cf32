#include "reports/console_checks.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void warn(const char* format, ...) {
  fputs("\xE2\x9A\xA0 [WARNING] ", stderr);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  fflush(stderr);
}

namespace {
// Runs at every exit, including exit(0) after --help and the fatal exits.
void report_failed_output() {
  // Standard output is unbuffered, so nothing is left to flush: a failed write has already
  // marked the stream.
  if (!ferror(stdout)) return;
  fputs("\xE2\x9D\x8C [FATAL] Standard output could not be written: the report is incomplete\n", stderr);
  fflush(stderr);
  _Exit(1);  // exit() again from an exit handler is not allowed
}
}  // namespace

void watch_standard_output() { atexit(report_failed_output); }

void stop_if_output_failed() {
  if (ferror(stdout)) exit(1);  // the exit handler says why
}
