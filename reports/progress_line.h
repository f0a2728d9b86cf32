// The progress of a run over many prompts, on standard error: one line rewritten in place on
// a terminal, one plain line per prompt otherwise.
#pragma once

#include <cstdio>

struct Progress {
  FILE* to;
  bool in_place;  // rewrite one line with \r (a terminal that the report does not share)
  double began;   // seconds_now() when the first prompt began
  int total;      // prompts this run takes
  int done;
};

// Needs: done prompts of total finished at time now. Writes
// "prompt D/T, E s elapsed, about R s left" (R from the mean time per prompt so far), and ends
// the in-place line once the last prompt is done.
void print_progress(Progress* p, double now);
