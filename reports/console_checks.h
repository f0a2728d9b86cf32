// The program's words outside its report: warnings on standard error, and the check that
// standard output really took the report.
#pragma once

// Prints "⚠ [WARNING] " followed by the formatted message and a newline on standard error.
// Standard output, the report, is left as it is.
#if defined(__MINGW32__)
void warn(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

// Needs: nothing printed yet. From now on, however the process ends, a report that could not
// be written in full (a full disk, a closed stream) is said on standard error and the exit
// status becomes 1.
void watch_standard_output();

// Ends the process (status 1, with the message above) if a write to standard output has
// failed; called where the report reaches a natural break, so a lost run stops early.
void stop_if_output_failed();
