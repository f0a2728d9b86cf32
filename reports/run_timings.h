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

// The sums over a run of many prompts, for --timings with --prompts.
struct BatchTimes {
  double started;          // start-up began
  double ended;            // the last record was written
  int prompts;             // prompts run
  int refused;             // prompt lines refused
  int64_t prompt_tokens;   // their prefill lengths
  double prompt_seconds;   // each run's start to its first answer token (the whole run in the audit)
  int64_t answer_tokens;
  double answer_seconds;
  bool answered;           // the mode generates answers
};

// Adds one prompt's run to the sums.
void add_run_times(BatchTimes* b, const RunTimes& t);

// Writes to `to`:
//   prompts: P run, R refused
//   prompt eval: N tokens, X.XX s
//   generation: M tokens, Y.YY s, Z.ZZ tokens/s    (only when the mode generates)
//   total: T.TT s                                  (start-up included)
void print_batch_times(const BatchTimes& b, FILE* to);
