#include "driver/run_program.h"

#include "driver/startup.h"
#include "runs/audit_run.h"
#include "runs/splice_run.h"
#include "runs/telemetry_run.h"

int run_program(int argc, char** argv, Schedule schedule) {
  static System sys;  // large (prompt buffers, context): kept off the stack
  start_up(&sys, argc, argv);
  TokenStepFn step = sys.images.token_step;
  Telemetry telemetry;
  Answer answer;
  if (schedule == Schedule::literal) {
    if (sys.opts.audit_heads) {
      run_head_audit(step, &sys.ctx, sys.prompt_ids, sys.prefill_length);
      return 0;
    }
    if (sys.opts.splice_substitute) {
      decide_splice(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, sys.opts.beta, sys.splice_buffer);
    }
    run_telemetry_and_generation(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, &telemetry, &answer);
    return 0;
  }
  const PromptPass pass = prompt_pass_of(&sys);
  if (sys.opts.audit_heads) {
    run_shared_head_audit(pass);
  } else if (sys.opts.splice_substitute) {
    run_shared_splice_run(step, pass, sys.opts.beta, sys.splice_buffer, &telemetry, &answer);
  } else {
    run_shared_telemetry_and_generation(step, pass, &telemetry, &answer);
  }
  return 0;
}
