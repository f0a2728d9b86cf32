#include "driver/startup.h"
#include "driver/telemetry_run.h"
#include "probe/head_audit.h"
#include "probe/splicer.h"

int main(int argc, char** argv) {
  static System sys;  // large (prompt buffers, context): kept off the stack
  start_up(&sys, argc, argv);
  TokenStepFn step = sys.images.token_step;
  if (sys.opts.audit_heads) {
    run_head_audit(step, &sys.ctx, sys.prompt_ids, sys.prefill_length);
    return 0;
  }
  if (sys.opts.splice_substitute) {
    decide_splice(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, sys.opts.beta, sys.splice_buffer);
  }
  run_telemetry_and_generation(step, &sys.ctx, sys.prompt_ids, sys.prefill_length);
  return 0;
}
