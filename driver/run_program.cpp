#include "driver/run_program.h"

#include <cstring>

#include "driver/startup.h"
#include "platform/platform.h"
#include "probe/probe_tables.h"
#include "reports/console_checks.h"
#include "reports/html_report.h"
#include "reports/json_records.h"
#include "reports/progress_line.h"
#include "reports/run_timings.h"
#include "runs/audit_all_run.h"
#include "runs/audit_run.h"
#include "runs/splice_run.h"
#include "runs/steering_gate.h"
#include "runs/telemetry_run.h"

namespace {
// What one run of the mode measured.
struct ModeRecords {
  Telemetry telemetry;
  Answer answer;
  SpliceDecision splice;
  Audit audit;
  SteeringGate gate;
  bool gated;     // gate holds gated steering's decision
  AuditAll audit_all;
  Lens lens;
  bool answered;  // telemetry and answer hold a run (every mode but the audit)
  bool spliced;   // splice holds the splice mode's decision
  bool audited;   // audit holds the audit
  bool swept;     // audit_all holds the sweep over every layer
};

// Runs the mode the options chose and keeps what it measured in m.
void run_mode(System& sys, Schedule schedule, ModeRecords* m) {
  TokenStepFn step = sys.images.token_step;
  m->answered = !sys.opts.audit_heads;
  m->spliced = !sys.opts.audit_heads && sys.opts.splice_substitute;
  m->swept = sys.opts.audit_all;
  m->audited = sys.opts.audit_heads && !m->swept;
  m->lens.k = sys.opts.lens;
  Lens* const lens = sys.opts.lens > 0 ? &m->lens : nullptr;
  m->gated = steering_gated(sys.opts);
  if (schedule == Schedule::literal) {
    if (m->gated) {
      m->gate = decide_steering_gate(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, steering_gate_layers(sys.opts));
    }
    if (m->audited) {
      m->audit = run_head_audit(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, sys.opts.audit_layer);
      return;
    }
    if (m->spliced) {
      m->splice = decide_splice(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, sys.opts.beta, sys.splice_buffer);
    }
    run_telemetry_and_generation(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, &m->telemetry, &m->answer, lens);
    return;
  }
  const PromptPass pass = prompt_pass_of(&sys);
  const DepthStates states{sys.state_normed, sys.state_residual, lens};
  if (m->gated) m->gate = decide_shared_steering_gate(pass, steering_gate_layers(sys.opts));
  if (m->swept) {
    run_audit_all(pass, sys.opts.ablate_mean, &m->audit_all);
  } else if (m->audited) {
    m->audit = run_shared_head_audit(pass, sys.opts.audit_layer, sys.opts.ablate_mean);
  } else if (m->spliced) {
    m->splice = run_shared_splice_run(step, pass, sys.opts.beta, sys.splice_buffer, &m->telemetry, &m->answer, states);
  } else {
    run_shared_telemetry_and_generation(step, pass, &m->telemetry, &m->answer, states);
  }
}

const char* mode_name(const RunOptions& opts) {
  return opts.audit_all ? "audit_all" : opts.audit_heads ? "audit" : opts.splice_substitute ? "splice" : "default";
}

// Writes one record to the --json stream, or ends the run when it cannot.
void write_record(const System& sys, const PromptRecord& r) {
  if (!write_record_line(sys.records, record_line(r, run_info_of(sys)))) records_failed(sys);
}

// Keeps the record for the --report page.
void keep_for_report(System& sys, const PromptRecord& r) {
  if (sys.opts.report_path[0] != '\0') sys.report_records.push_back(record_line(r, run_info_of(sys)));
}

// Writes the --report page from the records kept, or ends the run when it cannot.
void finish_report(const System& sys) {
  if (sys.opts.report_path[0] == '\0') return;
  ReportRun run;
  run.mode = mode_name(sys.opts);
  run.prompt_file = sys.opts.prompts_path;
  run.wall_seconds = seconds_now() - sys.started;
  for (int a = 0; a < probe_axis_count(); a++) {
    run.axis_names.push_back(probe_axis_name(a));
    run.axis_labels.push_back(probe_axis_label(a));
  }
  const std::string page = report_html(report_data_json(sys.report_records, run_json(run_info_of(sys)), run));
  const std::string why = write_report_file(sys.opts.report_path, page);
  if (!why.empty()) fatal("The report could not be written to %s: %s", sys.opts.report_path, why.c_str());
}

// The record of the run that just ended for the prompt in sys.opts.prompt.
PromptRecord record_of(const System& sys, const ModeRecords& m) {
  PromptRecord r;
  r.prompt = sys.opts.prompt;
  r.mode = mode_name(sys.opts);
  r.prefill_ids = sys.prompt_ids;
  r.prefill_count = sys.prefill_length;
  r.truncated = sys.truncated;
  if (m.answered) {
    r.telemetry = &m.telemetry;
    r.answer = &m.answer;
  }
  if (m.spliced) r.splice = &m.splice;
  if (m.gated) r.gate = &m.gate;
  if (m.audited) r.audit = &m.audit;
  if (m.swept) r.audit_all = &m.audit_all;
  if (m.answered && sys.opts.lens > 0) r.lens = &m.lens;
  return r;
}

// Adds the states the run of prompt r just caught to the --states file, or ends the run.
void keep_states(System& sys, const PromptRecord& r) {
  if (sys.states.spill < 0) return;
  std::string why = state_file_add_prompt(&sys.states, r.index, sys.state_normed, sys.state_residual, sys.prompt_ids,
                                          sys.prefill_length);
  if (!why.empty()) fatal("The states could not be written to %s: %s", sys.opts.states_path, why.c_str());
  if (!sys.state_prompts.empty()) sys.state_prompts += ',';
  sys.state_prompts += state_prompt_json(r);
}

// Completes the --states file under its name.
void finish_states(System& sys) {
  if (sys.states.spill < 0) return;
  const std::string why = state_file_finish(&sys.states, "[" + sys.state_prompts + "]", run_json(run_info_of(sys)));
  if (!why.empty()) fatal("The states could not be written to %s: %s", sys.opts.states_path, why.c_str());
}

// Runs the prompt start-up left ready; returns its times.
RunTimes run_prompt(System& sys, Schedule schedule, ModeRecords* m) {
  RunTimes times{};
  times.started = sys.started;
  times.run_began = seconds_now();
  times.prompt_tokens = sys.prefill_length;
  run_mode(sys, schedule, m);
  times.answered = m->answered;
  if (m->answered) times.answer = m->answer;
  times.ended = seconds_now();
  stop_if_output_failed();
  return times;
}

Progress progress_for(int total) {
  // In place only when the report is not on the same terminal, where the two would mix.
  return Progress{stderr, stream_is_terminal(stderr) && !stream_is_terminal(stdout), seconds_now(), total, 0};
}

// The --prompts run: every line of the file this shard takes and --resume has not kept.
// Returns 3 when some lines were refused, else 0.
int run_prompt_file(System& sys, Schedule schedule) {
  static ModeRecords m;  // large (the audit's rows, the answer): kept off the stack
  std::vector<const PromptLine*> todo;
  for (const PromptLine& p : sys.prompts) {
    if (sys.opts.shard_count > 0 && p.index % sys.opts.shard_count != sys.opts.shard_index) continue;
    if (sys.kept.indexes.count(p.index) > 0) continue;
    todo.push_back(&p);
  }
  BatchTimes batch{};
  batch.started = sys.started;
  batch.answered = !sys.opts.audit_heads;
  Progress progress = progress_for(static_cast<int>(todo.size()));
  for (const PromptLine* p : todo) {
    if (!p->error.empty()) {
      warn("Prompt %lld (line %lld) refused: %s", static_cast<long long>(p->index), static_cast<long long>(p->line),
           p->error.c_str());
      batch.refused++;
      PromptRecord r;
      r.index = p->index;
      r.line = p->line;
      r.id = p->id;
      r.prompt = p->text;
      r.mode = mode_name(sys.opts);
      r.error = p->error;
      if (sys.records) write_record(sys, r);
      keep_for_report(sys, r);
    } else {
      memcpy(sys.opts.prompt, p->text.c_str(), p->text.size() + 1);
      print_input_prompt(sys);
      begin_prompt(&sys);
      add_run_times(&batch, run_prompt(sys, schedule, &m));
      PromptRecord r = record_of(sys, m);
      r.index = p->index;
      r.line = p->line;
      r.id = p->id;
      if (sys.records) write_record(sys, r);
      keep_for_report(sys, r);
      keep_states(sys, r);
    }
    progress.done++;
    if (sys.opts.show_progress) print_progress(&progress, seconds_now());
  }
  batch.ended = seconds_now();
  if (sys.opts.show_timings) print_batch_times(batch, stderr);
  return batch.refused > 0 ? 3 : 0;
}
}  // namespace

int run_program(int argc, char** argv, Schedule schedule) {
  static System sys;  // large (prompt buffers, context): kept off the stack
  start_up(&sys, argc, argv);
  // The literal schedule normalises the residual stream in place: it has no residual to keep.
  if (schedule == Schedule::literal && sys.states.spill >= 0) fatal("--states needs the shared schedule");
  // The reference program keeps only the audit of one layer by zeroing.
  if (schedule == Schedule::literal && (sys.opts.audit_all || sys.opts.ablate_mean))
    fatal("%s needs the shared schedule", sys.opts.audit_all ? "--audit-all" : "--ablate mean");
  if (sys.records_to_stdout && !silence_standard_output()) records_failed(sys);
  stop_if_output_failed();  // before minutes of work for a report nobody can read
  int status = 0;
  if (sys.opts.prompts_path[0] != '\0') {
    status = run_prompt_file(sys, schedule);
  } else {
    static ModeRecords m;
    Progress progress = progress_for(1);
    const RunTimes times = run_prompt(sys, schedule, &m);
    if (sys.opts.show_timings) print_run_times(times, stderr);
    const PromptRecord r = record_of(sys, m);
    if (sys.records) write_record(sys, r);
    keep_for_report(sys, r);
    keep_states(sys, r);
    progress.done = 1;
    if (sys.opts.show_progress) print_progress(&progress, seconds_now());
  }
  if (sys.records && fclose(sys.records) != 0) records_failed(sys);
  finish_states(sys);
  finish_report(sys);
  return status;
}
