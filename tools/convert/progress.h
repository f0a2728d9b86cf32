// Progress on standard error: a redrawn bar with throughput on a terminal, plain lines at
// every tenth (or half minute) otherwise, so logs of unattended runs stay short.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct Progress {
  FILE* out;            // where lines go (standard error), not owned
  bool terminal;        // redraw one line in place
  double start;         // seconds, monotonic clock
  double last_print;    // seconds of the last line drawn or printed
  int last_tenth;       // last tenth reported in plain mode
  bool drawn = false;   // a bar is on screen and needs its line ended
};

// Needs: nothing. Returns the monotonic clock in seconds.
double monotonic_seconds();

// Needs: an open stream. Fills *p for a run starting now.
void progress_start(Progress* p, FILE* out, bool terminal);

// Needs: done <= total, seconds > 0. Returns the text of one report: with bar, e.g.
// "[#########...........]  45%  2.26/5.01 GB  412 MB/s", without, e.g.
// "converted 2.26 of 5.01 GB (45%), 412 MB/s".
std::string progress_text(uint64_t done, uint64_t total, double seconds, bool bar);

// Needs: a started *p (passed as void* to fit the writer's callback). Prints when due.
void progress_update(void* p, uint64_t done, uint64_t total);

// Needs: a started *p. Ends a drawn bar's line.
void progress_finish(Progress* p);
