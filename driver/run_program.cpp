#include "driver/run_program.h"

#include "driver/startup.h"
#include "reports/console_checks.h"
#include "reports/run_timings.h"
#include "runs/audit_run.h"
#include "runs/splice_run.h"
#include "runs/telemetry_run.h"

namespace {
// Runs the mode the options chose. Returns whether an answer was generated (not in the
// audit); *answer then holds it.
bool run_mode(System& sys, Schedule schedule, Answer* answer) {
  TokenStepFn step = sys.images.token_step;
  Telemetry telemetry;
  if (schedule == Schedule::literal) {
    if (sys.opts.audit_heads) {
      run_head_audit(step, &sys.ctx, sys.prompt_ids, sys.prefill_length);
      return false;
    }
    if (sys.opts.splice_substitute) {
      decide_splice(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, sys.opts.beta, sys.splice_buffer);
    }
    run_telemetry_and_generation(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, &telemetry, answer);
    return true;
  }
  const PromptPass pass = prompt_pass_of(&sys);
  if (sys.opts.audit_heads) {
    run_shared_head_audit(pass);
    return false;
  }
  if (sys.opts.splice_substitute) {
    run_shared_splice_run(step, pass, sys.opts.beta, sys.splice_buffer, &telemetry, answer);
  } else {
    run_shared_telemetry_and_generation(step, pass, &telemetry, answer);
  }
  return true;
}
}  // namespace

int run_program(int argc, char** argv, Schedule schedule) {
  static System sys;  // large (prompt buffers, context): kept off the stack
  start_up(&sys, argc, argv);
  stop_if_output_failed();  // before minutes of work for a report nobody can read
  RunTimes times{};
  times.started = sys.started;
  times.run_began = seconds_now();
  times.prompt_tokens = sys.prefill_length;
  times.answered = run_mode(sys, schedule, &times.answer);
  times.ended = seconds_now();
  stop_if_output_failed();
  if (sys.opts.show_timings) print_run_times(times, stderr);
  return 0;
}
