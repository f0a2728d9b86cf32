// How long a run took, for --timings: the prompt, the answer and the whole process.
#pragma once

#include <cstdint>
#include <cstdio>

#include "reports/records.h"

// Seconds on a steady clock from an arbitrary origin.
double seconds_now();

struct RunTimes {
  double started;         // start-up began
  double run_began;       // start-up was done, the mode's run began
  double ended;           // the report was complete
  int32_t prompt_tokens;  // the prefill length
  bool answered;          // a generation ran (not in the audit)
  Answer answer;          // its tokens and times, when answered
};

// Writes the timing lines to `to`:
//   prompt eval: N tokens, X.XX s                  (start of the run to the first answer token)
//   generation: M tokens, Y.YY s, Z.ZZ tokens/s    (the answer loop; M tokens printed in Y s)
//   total: T.TT s                                  (start-up included)
// The first two only when a generation ran.
void print_run_times(const RunTimes& t, FILE* to);
